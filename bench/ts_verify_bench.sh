#!/usr/bin/env bash
# Times psverify on a large transport stream against an ffmpeg pass over the
# same file, in the same run, and checks its goals:
#   - psverify takes at most half the time of
#     `ffmpeg -i FILE -map 0 -c copy -f null -`
#   - psverify peaks below 64 MB resident memory
#   - its memory stays flat: the peak over the whole file is at most 4 MB
#     above the peak over the file's first 50 MB
#
# Usage: bench/ts_verify_bench.sh [PSVERIFY]
#   PSVERIFY          psverify binary (argument, else $PSVERIFY, else
#                     build/verify/psverify of this checkout)
# Environment:
#   BENCH_DIR         where the stream is made once and kept
#                     (default /tmp/psdump-bench)
#   BENCH_TS_SECONDS  length of the stream in seconds (default 220, ~500 MB)
#   BENCH_RUNS        runs per command; the fastest wall time and the largest
#                     peak memory count (default 5)
#
# Exit status: 0 goals met, 1 a goal not met or a command failed (psverify
# exiting 2 counts as failed: it could not read the stream), 2 set-up error.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
psverify=${1:-${PSVERIFY:-"$here/../build/verify/psverify"}}
bench_dir=${BENCH_DIR:-/tmp/psdump-bench}
seconds=${BENCH_TS_SECONDS:-220}
runs=${BENCH_RUNS:-5}
rss_goal_kb=$((64 * 1024))
flat_kb=$((4 * 1024))
head_packets=266000  # 188-byte packets in the first ~50 MB

die() { echo "ts_verify_bench: $*" >&2; exit 2; }
command -v ffmpeg >/dev/null 2>&1 || die "ffmpeg not found (apt-get install -y ffmpeg)"
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install -y time)"
[ -x "$psverify" ] || die "psverify binary '$psverify' not found (build it, or pass its path)"
case $runs in ''|*[!0-9]*|0) die "BENCH_RUNS must be a positive number" ;; esac
case $seconds in ''|*[!0-9]*|0) die "BENCH_TS_SECONDS must be a positive number" ;; esac

mkdir -p "$bench_dir" || die "cannot create $bench_dir"
stream="$bench_dir/bench-ts-${seconds}s.ts"
head_stream="$bench_dir/bench-ts-${seconds}s-head.ts"
log="$bench_dir/ts-bench.log"
timing=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$timing" "$errors"' EXIT
: >"$log"

# --- the stream -------------------------------------------------------------
# One program at a constant 18 Mbit/s multiplex rate (null packets fill the
# rest): 720x576 25 fps noisy test pattern as MPEG-2 video MP@ML at a
# constant 15 Mbit/s (vbv_buffer_size 1835008 bits) on PID 0x100, MP2
# 192 kbit/s on PID 0x101.  The noise keeps the encoder from reaching the
# rate with stuffing.  220 s gives about 2.6 million packets.
if [ ! -s "$stream" ]; then
    echo "making $stream (${seconds} s at 18 Mbit/s, under a minute on 2 cores) ..."
    if ! ffmpeg -hide_banner -nostdin -loglevel error -y \
        -f lavfi -i "testsrc2=size=720x576:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -map 0:v -map 1:a -vf "noise=alls=30:allf=t" \
        -c:v mpeg2video -b:v 15M -minrate 15M -maxrate 15M -bufsize 1835008 -g 12 -bf 2 \
        -c:a mp2 -b:a 192k -muxrate 18000000 -f mpegts "$stream.part" 2>>"$log"; then
        rm -f "$stream.part"
        die "ffmpeg could not make the stream (see $log)"
    fi
    mv "$stream.part" "$stream"
    rm -f "$head_stream"
fi
if [ ! -s "$head_stream" ]; then
    head -c $((188 * head_packets)) "$stream" >"$head_stream" || die "cannot write $head_stream"
fi
cat "$stream" "$head_stream" >/dev/null  # into the page cache

. "$here/measure.sh"

echo "stream: $stream ($(( $(stat -c %s "$stream") / 1048576 )) MiB), head: first $(( $(stat -c %s "$head_stream") / 1048576 )) MiB of it, best of $runs run(s)"
measure psverify "$psverify" "$stream"
measure psverify_head "$psverify" "$head_stream"
measure ffmpeg ffmpeg -hide_banner -nostdin -loglevel quiet -i "$stream" -map 0 -c copy -f null -

met=1
for name in psverify psverify_head; do
    state=${name}_state error=${name}_error
    if [ "${!state}" != ok ]; then
        echo "psverify failed on $([ $name = psverify ] && echo "$stream" || echo "$head_stream")" \
             "(${!state})${!error:+: ${!error}}"
    fi
done
if [ "$psverify_state" != ok ]; then
    echo "goal: at most half of ffmpeg's time: NOT MET (psverify failed)"; met=0
elif [ "$ffmpeg_state" != ok ]; then
    echo "goal: at most half of ffmpeg's time: NOT MET (ffmpeg failed, see $log)"; met=0
elif awk -v a="$psverify_wall" -v b="$ffmpeg_wall" 'BEGIN { exit !(a <= 0.5 * b) }'; then
    echo "goal: at most half of ffmpeg's time: met (${psverify_wall} s <= 0.5 x ${ffmpeg_wall} s)"
else
    echo "goal: at most half of ffmpeg's time: NOT MET (${psverify_wall} s > 0.5 x ${ffmpeg_wall} s)"; met=0
fi
if [ "$psverify_state" != ok ]; then
    echo "goal: psverify under 64 MB: NOT MET (psverify failed)"; met=0
elif [ "$psverify_peak" -lt "$rss_goal_kb" ]; then
    echo "goal: psverify under 64 MB: met (${psverify_peak} kB)"
else
    echo "goal: psverify under 64 MB: NOT MET (${psverify_peak} kB)"; met=0
fi
if [ "$psverify_state" != ok ] || [ "$psverify_head_state" != ok ]; then
    echo "goal: memory flat: NOT MET (psverify failed)"; met=0
elif [ "$psverify_peak" -le $((psverify_head_peak + flat_kb)) ]; then
    echo "goal: memory flat: met (${psverify_peak} kB, first 50 MB ${psverify_head_peak} kB)"
else
    echo "goal: memory flat: NOT MET (${psverify_peak} kB, first 50 MB ${psverify_head_peak} kB)"; met=0
fi
[ $met -eq 1 ] && { echo "all goals met"; exit 0; }
echo "goals not met"
exit 1
