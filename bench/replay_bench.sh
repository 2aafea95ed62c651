#!/usr/bin/env bash
# Speed of the buffer replay's model, driven without a window over the
# benchmark stream, beside the time of `psdump FILE > /dev/null`.
#
# Usage: bench/replay_bench.sh [BUILD_DIR] [STREAM]
#   BUILD_DIR  build tree with dump/psdump and
#              tests/buffer_analysis/buffer_replay_bench (default: build)
#   STREAM     default: the stream bench/run_bench.sh makes,
#              /tmp/psdump-bench/bench-98s.mpg (run that script once first)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
stream=${2:-/tmp/psdump-bench/bench-98s.mpg}
psdump=$build/dump/psdump
bench=$build/tests/buffer_analysis/buffer_replay_bench
for f in "$psdump" "$bench"; do [ -x "$f" ] || { echo "replay_bench: $f not built" >&2; exit 2; }; done
[ -s "$stream" ] || { echo "replay_bench: no stream $stream (run bench/run_bench.sh first)" >&2; exit 2; }
cat "$stream" >/dev/null  # into the page cache
TIMEFORMAT=%R
for _ in 1 2 3; do
    t=$( { time "$psdump" "$stream" >/dev/null 2>&1; } 2>&1 )
    echo "psdump FILE > /dev/null: $t s"
done
for _ in 1 2 3; do "$bench" "$stream" quiet 2>&1 | sed -n 1p; done
