#!/usr/bin/env bash
# Times psdump on a large MPEG-2 program stream against ffmpeg passes over
# the same file, and checks the speed and memory goals:
#   - the text dump is no slower than `ffmpeg -i FILE -map 0 -c copy -f null -`
#   - the JSON export is no slower than the text dump
#   - extract_streams is no slower than ffmpeg's stream copy of the same
#     elementary streams into files
#   - every psdump run peaks below 16 MB resident memory
#
# Usage: bench/run_bench.sh [PSDUMP]
#   PSDUMP         psdump binary (argument, else $PSDUMP, else
#                  build/dump/psdump of this checkout)
# Environment:
#   BENCH_DIR      work directory for the stream and scratch files
#                  (default /tmp/psdump-bench); the stream is kept there and
#                  reused by later runs
#   BENCH_SECONDS  length of the stream in seconds (default 98, ~500 MB)
#   BENCH_RUNS     runs per command; the fastest wall time and the largest
#                  peak memory are reported (default 3)
#
# Exit status: 0 goals met, 1 a goal not met or a command failed,
# 2 set-up error (missing tool, no psdump binary, stream not made).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
psdump=${1:-${PSDUMP:-"$here/../build/dump/psdump"}}
bench_dir=${BENCH_DIR:-/tmp/psdump-bench}
seconds=${BENCH_SECONDS:-98}
runs=${BENCH_RUNS:-3}
rss_goal_kb=$((16 * 1024))

die() { echo "run_bench: $*" >&2; exit 2; }

command -v ffmpeg >/dev/null 2>&1 || die "ffmpeg not found (apt-get install -y ffmpeg)"
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install -y time)"
case $runs in ''|*[!0-9]*|0) die "BENCH_RUNS must be a positive number" ;; esac
case $seconds in ''|*[!0-9]*|0) die "BENCH_SECONDS must be a positive number" ;; esac
if [[ $psdump != */* ]]; then
    found=$(type -P "$psdump") || die "psdump '$psdump' not found in PATH"
    psdump=$found
fi
[ -x "$psdump" ] || die "psdump binary '$psdump' not found or not executable (build it, or pass its path)"
psdump=$(cd "$(dirname "$psdump")" && pwd)/$(basename "$psdump")

mkdir -p "$bench_dir" || die "cannot create $bench_dir"
bench_dir=$(cd "$bench_dir" && pwd)
stream="$bench_dir/bench-${seconds}s.mpg"
scratch="$bench_dir/scratch"
timing="$bench_dir/time.txt"
log="$bench_dir/bench.log"
: >"$log"

# --- the stream -------------------------------------------------------------
# MPEG-2 program stream: 720x576 noisy test pattern at 40 Mbit/s constant
# rate with B-frames, MP2 audio in 0xC0 and AC-3 audio in private_stream_1.
# The noise keeps the encoder from reaching the rate with tiny pictures, so
# the file has about 244000 packs of 2048 bytes.
if [ -s "$stream" ]; then
    echo "reusing $stream ($(( $(stat -c %s "$stream") / 1048576 )) MB)"
else
    echo "making $stream (${seconds} s of 40 Mbit/s MPEG-2, takes under a minute) ..."
    tmp="$stream.part"
    if ! ffmpeg -hide_banner -nostdin -loglevel error -y \
        -f lavfi -i "testsrc2=size=720x576:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=$seconds" \
        -map 0:v -map 1:a -map 2:a \
        -vf "noise=alls=30:allf=t" \
        -c:v mpeg2video -b:v 40M -minrate 40M -maxrate 40M -bufsize 9781248 -g 12 -bf 2 \
        -c:a:0 mp2 -b:a:0 192k -c:a:1 ac3 -b:a:1 192k -ac 2 \
        -f vob "$tmp" 2>>"$log"; then
        rm -f "$tmp"
        die "ffmpeg could not make the stream (see $log)"
    fi
    mv "$tmp" "$stream"
    echo "made $stream ($(( $(stat -c %s "$stream") / 1048576 )) MB)"
fi
size_mb=$(( $(stat -c %s "$stream") / 1048576 ))

# Read the file once so every timed command finds it in the page cache.
cat "$stream" >/dev/null

# --- timing -----------------------------------------------------------------
names=() walls=() peaks=() states=()

# wall_seconds FILE: the elapsed time from `time -v` output, in seconds.
wall_seconds() {
    awk -F': ' '/Elapsed \(wall clock\) time/ {
        n = split($2, p, ":"); s = 0
        for (i = 1; i <= n; i++) s = s * 60 + p[i]
        printf "%.2f\n", s
    }' "$1"
}
peak_kb() {
    awk -F': ' '/Maximum resident set size/ { print $2 + 0 }' "$1"
}

# measure NAME DIR STDOUT COMMAND...: runs COMMAND $runs times in DIR with its
# standard output sent to STDOUT, records the best wall time, the largest
# peak memory and whether every run exited 0.
measure() {
    local name=$1 dir=$2 out=$3 run best="" peak=0 state=ok rc w k
    shift 3
    echo "timing: $name"
    for ((run = 1; run <= runs; run++)); do
        (cd "$dir" && /usr/bin/time -v -o "$timing" "$@" >"$out" 2>>"$log")
        rc=$?
        if [ $rc -ne 0 ] || ! grep -q 'Exit status: 0' "$timing"; then
            state="exit $rc"
        fi
        w=$(wall_seconds "$timing")
        k=$(peak_kb "$timing")
        [ -n "$w" ] || { w=0; state="no timing"; }
        [ -n "$k" ] || k=0
        if [ -z "$best" ] || awk -v a="$w" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$w
        fi
        [ "$k" -gt "$peak" ] && peak=$k
        rm -f "$scratch"/0x*.mpeg "$scratch"/es.*
    done
    names+=("$name") walls+=("$best") peaks+=("$peak") states+=("$state")
}

rm -rf "$scratch"
mkdir -p "$scratch"

measure "psdump"                 "$scratch" /dev/null "$psdump" "$stream"
measure "psdump cl-lisp"         "$scratch" /dev/null "$psdump" "$stream" cl-lisp
measure "psdump extract_streams" "$scratch" /dev/null "$psdump" "$stream" extract_streams
measure "ffmpeg copy (peer)"     "$scratch" /dev/null \
    ffmpeg -hide_banner -nostdin -loglevel error -i "$stream" -map 0 -c copy -f null -
measure "psdump json"            "$scratch" /dev/null "$psdump" "$stream" json
# The same elementary streams as extract_streams writes, copied into files.
measure "ffmpeg stream copy"     "$scratch" /dev/null \
    ffmpeg -hide_banner -nostdin -loglevel error -i "$stream" \
    -map 0:v:0 -c copy -f mpeg2video es.m2v -map 0:a:0 -c copy -f mp2 es.mp2 \
    -map 0:a:1 -c copy -f ac3 es.ac3
rm -rf "$scratch"

# --- report -----------------------------------------------------------------
echo
echo "stream: $stream ($size_mb MB), psdump: $psdump, best of $runs run(s)"
printf '%-24s %10s %10s  %s\n' "command" "wall s" "peak MB" "status"
for i in "${!names[@]}"; do
    printf '%-24s %10s %10.1f  %s\n' "${names[$i]}" "${walls[$i]}" \
        "$(awk -v k="${peaks[$i]}" 'BEGIN { print k / 1024 }')" "${states[$i]}"
done
echo

met=1
# at_most NAME A B: the goal "command A's wall time <= command B's".
at_most() {
    local name=$1 a=$2 b=$3
    if [ "${states[$a]}" != ok ] || [ "${states[$b]}" != ok ]; then
        echo "goal: $name: NOT MET (a command failed, see $log)"
        met=0
    elif awk -v x="${walls[$a]}" -v y="${walls[$b]}" 'BEGIN { exit !(x <= y) }'; then
        echo "goal: $name: met (${walls[$a]} s <= ${walls[$b]} s)"
    else
        echo "goal: $name: NOT MET (${walls[$a]} s > ${walls[$b]} s)"
        met=0
    fi
}
at_most "text dump no slower than ffmpeg" 0 3
at_most "JSON export no slower than the text dump" 4 0
at_most "extract_streams no slower than ffmpeg's stream copy" 2 5
for i in 0 1 2 4; do
    if [ "${states[$i]}" != ok ]; then
        echo "goal: ${names[$i]} under 16 MB: NOT MET (${states[$i]}, see $log)"
        met=0
    elif [ "${peaks[$i]}" -lt "$rss_goal_kb" ]; then
        echo "goal: ${names[$i]} under 16 MB: met (${peaks[$i]} kB)"
    else
        echo "goal: ${names[$i]} under 16 MB: NOT MET (${peaks[$i]} kB)"
        met=0
    fi
done

# The buffer replay's model over the same stream, when the test build that
# holds its driver is there.
build_dir=$(dirname "$(dirname "$psdump")")
if [ -x "$build_dir/tests/buffer_analysis/buffer_replay_bench" ]; then
    echo
    echo "buffer replay model (headless) beside the text dump:"
    "$(dirname "${BASH_SOURCE[0]}")/replay_bench.sh" "$build_dir" "$stream" || true
fi

if [ $met -eq 1 ]; then
    echo "all goals met"
    exit 0
fi
echo "goals not met"
exit 1
