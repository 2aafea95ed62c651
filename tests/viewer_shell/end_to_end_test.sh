#!/usr/bin/env bash
# Starts the real analyser on a sample stream under the test display and
# works its toolbar with xdotool: Packs and Clocks open their windows, Run
# closes them and shows the Run dialog, Quit ends the program with status 0.
# With a build directory as third argument the program is first installed
# into a scratch prefix and the installed one is run, as a new user would:
# it must find its icons and plug-in glue without a configuration file.
# With "no-guile" as third argument the interpreter library cannot be
# found: the program must say so, run all the same, and its Plugins button
# must only print that plug-ins are not available.
set -euo pipefail
viewer=$1
data=$2
mode=${3:-}
build=
if [ "$mode" = no-guile ]; then
  export TARVEL_VIEWER_GUILE_LIBRARY=/nonexistent/libguile.so
elif [ -n "$mode" ]; then
  build=$mode
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "no display: run this test through tests/support/own_display.sh (or under xvfb-run)" >&2
  exit 1
fi
command -v xdotool >/dev/null || { echo "xdotool is not installed" >&2; exit 1; }

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid"; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
export HOME=$work   # a new user: no configuration file
if [ -n "$build" ]; then
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  viewer=$work/prefix/bin/tarvel_viewer
fi

"$viewer" "$data/mpeg2_bframes_ffmpeg.mpg" >out.txt 2>err.txt &
pid=$!

# Every wait is for a condition, polled, with a limit far above what a
# loaded machine needs.
limit_tenths=600

wait_window() {  # name -> window id
  local id
  for _ in $(seq $limit_tenths); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  echo "window \"$1\" did not appear" >&2
  cat out.txt err.txt >&2
  return 1
}

window_gone() {
  for _ in $(seq $limit_tenths); do
    if ! xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "window \"$1\" is still shown" >&2
  return 1
}

main=$(wait_window Tarvel)
eval "$(xdotool getwindowgeometry --shell "$main")"
# The six tool buttons share the toolbar's width equally (border 5). Other
# windows may cover the main window (the test display has no window
# manager), so it is raised before each click, in the same connection to
# the server, which carries out its requests in order.
click() {
  local x=$((5 + (WIDTH - 10) * (2 * $1 + 1) / 12))
  # the toolbar row, above the status line
  xdotool windowraise "$main" mousemove --window "$main" "$x" 35 click 1
}

click 2                  # Packs
wait_window "Pack Overview" >/dev/null
click 4                  # Clocks
wait_window "Clock Relationships" >/dev/null
if [ "$mode" = no-guile ]; then
  click 5                # Plugins (what it prints is checked at the end)
fi
click 1                  # Run
wait_window "Run Dialog" >/dev/null
window_gone "Pack Overview"
window_gone "Clock Relationships"
click 0                  # Quit

for _ in $(seq $limit_tenths); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "the program did not end after Quit" >&2
  exit 1
fi
status=0
wait "$pid" || status=$?
pid=
if [ "$status" -ne 0 ]; then
  echo "exit status $status" >&2
  cat out.txt err.txt >&2
  exit 1
fi
if grep -q "Cannot load icon" err.txt || grep -q "Could not open plugins directory" out.txt; then
  echo "the program did not find its data files" >&2
  cat out.txt err.txt >&2
  exit 1
fi
if [ "$mode" = no-guile ]; then
  expected=$(printf 'Could not load guile library:\n%s%s\n' \
    "/nonexistent/libguile.so: cannot open shared object file: No such file or directory" \
    "Plugins will not be available")
  if [ "$(head -n 2 out.txt)" != "$expected" ] || ! grep -qx "Plugins are not available " out.txt; then
    echo "unexpected output without the interpreter:" >&2
    cat out.txt >&2
    exit 1
  fi
elif grep -q "Plugins are not available" out.txt; then
  echo "plug-ins should be available with the interpreter installed" >&2
  exit 1
fi
echo "end-to-end: passed"
