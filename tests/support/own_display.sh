#!/usr/bin/env bash
# Runs a command on an X server of its own:
#   own_display.sh COMMAND [ARG...]
# Xvfb picks a free display number itself (-displayfd), so tests started side
# by side (ctest -j) never share a display, its pointer, its focus or its
# windows, and never race for the same number.  The server is stopped when
# the command ends; the command's exit status is passed on.  Listing the
# tests of a test program (--gtest_list_tests) needs no display.
set -uo pipefail
for arg in "$@"; do
  if [ "$arg" = --gtest_list_tests ]; then exec "$@"; fi
done
command -v Xvfb >/dev/null || { echo "own_display.sh: Xvfb is not installed (Debian package xvfb)" >&2; exit 1; }

# Servers of this script start and stop one at a time: a server that is
# going away removes its socket files, which must not be those of one that
# is choosing its number at that moment.
lock=${TMPDIR:-/tmp}/own_display.lock
exec {lock_fd}>>"$lock"

log=$(mktemp)
server=
stop() {
  if [ -n "$server" ]; then
    flock "$lock_fd"
    kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    flock -u "$lock_fd"
  fi
  rm -f "$log"
}
trap stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# -noreset: a server resets when its last client leaves, and a client that
# connects meanwhile is refused ("cannot open display"); a test's clients
# (xdotool, say) come and go while the program under test starts.
flock "$lock_fd"
coproc XVFB { exec Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp -noreset 2>"$log"; }
server=$XVFB_PID
from_server=${XVFB[0]}
# The number comes once the server accepts connections; a generous limit
# for a loaded machine.
number=
read -r -t 60 -u "$from_server" number
flock -u "$lock_fd"
if [ -z "$number" ]; then
  echo "own_display.sh: Xvfb did not start:" >&2
  cat "$log" >&2
  exit 1
fi
export DISPLAY=":$number"
unset XAUTHORITY
"$@"
