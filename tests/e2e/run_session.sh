#!/usr/bin/env bash
# Runs viewer_session.py on its own display (started by OWN_DISPLAY,
# tests/support/own_display.sh) and its own accessibility bus:
#   run_session.sh OWN_DISPLAY TARVEL_VIEWER PSDUMP TEST_DATA_DIR
# Needs python3-dogtail, at-spi2-core, dbus, xvfb and imagemagick.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
own_display=$1
shift
if [ -z "${TARVEL_E2E_INNER:-}" ]; then
  export TARVEL_E2E_INNER=1
  exec dbus-run-session -- "$own_display" "$0" "$own_display" "$@"
fi
launcher=/usr/libexec/at-spi-bus-launcher
[ -x "$launcher" ] || { echo "at-spi2-core is not installed" >&2; exit 1; }
"$launcher" --launch-immediately &
bus=$!
trap 'kill $bus 2>/dev/null || true' EXIT
export GTK_MODULES=gail:atk-bridge NO_AT_BRIDGE=0
/usr/bin/python3 "$here/viewer_session.py" "$@"
