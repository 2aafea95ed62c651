#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those that
# are missing; as root, or through sudo), then configures and builds the
# project into build/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev googletest
  clang libclang-rt-14-dev
  ffmpeg mjpegtools tstools
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  emacs-nox sbcl
  libgtk-3-dev guile-3.0-libs
  xvfb xauth xdotool time
  jq parallel python3 python3-dogtail at-spi2-core dbus-x11 python3-xlib imagemagick
  scdoc man-db groff-base dpkg-dev lintian desktop-file-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  SUDO=()
  if [ "$(id -u)" -ne 0 ]; then SUDO=(sudo); fi
  echo "Installing: ${missing[*]}"
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$ROOT/build" -j"$(nproc)"
