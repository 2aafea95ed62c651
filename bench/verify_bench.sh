#!/usr/bin/env bash
# Times psverify on the large benchmark stream against an ffmpeg pass over
# the same file, in the same run, and checks its goals:
#   - psverify takes at most half the time of
#     `ffmpeg -i FILE -map 0 -c copy -f null -`
#   - psverify peaks below 64 MB resident memory
#
# Usage: bench/verify_bench.sh [PSVERIFY]
#   PSVERIFY       psverify binary (argument, else $PSVERIFY, else
#                  build/verify/psverify of this checkout)
# Environment:
#   BENCH_DIR      where bench/run_bench.sh keeps its stream
#                  (default /tmp/psdump-bench); when the stream is not there
#                  yet, run_bench.sh is run once to make it
#   BENCH_SECONDS  length of that stream in seconds (default 98, ~500 MB)
#   BENCH_RUNS     runs per command; the fastest wall time and the largest
#                  peak memory count (default 5)
#
# Exit status: 0 goals met, 1 a goal not met or a command failed,
# 2 set-up error.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
psverify=${1:-${PSVERIFY:-"$here/../build/verify/psverify"}}
bench_dir=${BENCH_DIR:-/tmp/psdump-bench}
seconds=${BENCH_SECONDS:-98}
runs=${BENCH_RUNS:-5}
rss_goal_kb=$((64 * 1024))
stream="$bench_dir/bench-${seconds}s.mpg"
timing=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$timing" "$errors"' EXIT

die() { echo "verify_bench: $*" >&2; exit 2; }
command -v ffmpeg >/dev/null 2>&1 || die "ffmpeg not found (apt-get install -y ffmpeg)"
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install -y time)"
[ -x "$psverify" ] || die "psverify binary '$psverify' not found (build it, or pass its path)"
case $runs in ''|*[!0-9]*|0) die "BENCH_RUNS must be a positive number" ;; esac
if [ ! -s "$stream" ]; then
    echo "no $stream yet: making it with bench/run_bench.sh"
    BENCH_RUNS=1 "$here/run_bench.sh" >/dev/null || [ -s "$stream" ] || die "could not make $stream"
fi
cat "$stream" >/dev/null  # into the page cache

. "$here/measure.sh"

echo "stream: $stream ($(( $(stat -c %s "$stream") / 1048576 )) MiB), best of $runs run(s)"
measure psverify "$psverify" "$stream"
measure ffmpeg ffmpeg -hide_banner -nostdin -loglevel quiet -i "$stream" -map 0 -c copy -f null -

met=1
if [ "$ffmpeg_state" != ok ]; then
    echo "goal: at most half of ffmpeg's time: NOT MET (ffmpeg failed)"; met=0
elif awk -v a="$psverify_wall" -v b="$ffmpeg_wall" 'BEGIN { exit !(a <= 0.5 * b) }'; then
    echo "goal: at most half of ffmpeg's time: met (${psverify_wall} s <= 0.5 x ${ffmpeg_wall} s)"
else
    echo "goal: at most half of ffmpeg's time: NOT MET (${psverify_wall} s > 0.5 x ${ffmpeg_wall} s)"; met=0
fi
if [ "$psverify_peak" -lt "$rss_goal_kb" ]; then
    echo "goal: psverify under 64 MB: met (${psverify_peak} kB)"
else
    echo "goal: psverify under 64 MB: NOT MET (${psverify_peak} kB)"; met=0
fi
[ $met -eq 1 ] && { echo "all goals met"; exit 0; }
echo "goals not met"
exit 1
