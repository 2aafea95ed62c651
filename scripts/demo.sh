#!/usr/bin/env bash
# Set-up and build, then dump a small MPEG-1 system stream shipped in the
# repository and print its pack count.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/build/dump/psdump" "$ROOT/tests/data/mpeg1_ffmpeg.mpg" print_pack_count
