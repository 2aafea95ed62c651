#!/usr/bin/env bash
# The cost of the analyser's stream model, and the time to open a stream the
# size of a full DVD, with two goals:
#   - the model costs under 16 MB on the large benchmark stream: the peak
#     memory of the analyser's parse of it, minus the peak for a small
#     stream, in the same run
#   - a 4.7 GB stream of the same kind (the benchmark stream over and over)
#     opens in under 10 s; ffmpeg's demux pass over it is timed beside it
#
# Usage: bench/model_memory_bench.sh [MODEL_BENCH]
#   MODEL_BENCH  model_bench (argument, else build/tests/parser/model_bench)
# Environment: BENCH_DIR, BENCH_SECONDS as for run_bench.sh (the stream is
# made by it when missing).  The 4.7 GB stream is made in BENCH_DIR and
# removed at the end; nothing of it is kept.
#
# Exit status: 0 goals met, 1 a goal not met, 2 set-up error.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bench=${1:-"$here/../build/tests/parser/model_bench"}
bench_dir=${BENCH_DIR:-/tmp/psdump-bench}
seconds=${BENCH_SECONDS:-98}
stream="$bench_dir/bench-${seconds}s.mpg"
small="$here/../tests/data/dvd_ac3_ffmpeg.vob"
big="$bench_dir/dvd-4.7GB.mpg"

die() { echo "model_memory_bench: $*" >&2; exit 2; }
[ -x "$bench" ] || die "'$bench' not found (cmake --build build --target model_bench)"
if [ ! -s "$stream" ]; then
    echo "no $stream yet: making it with run_bench.sh"
    BENCH_RUNS=1 "$here/run_bench.sh" >/dev/null || [ -s "$stream" ] || die "the stream could not be made"
fi
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }

small_run=$("$bench" "$small") || die "model_bench failed on $small"
large_run=$("$bench" "$stream") || die "model_bench failed on $stream"
packs=$(value packs "$large_run")
extra_kb=$(( $(value peak_kb "$large_run") - $(value peak_kb "$small_run") ))
echo "model on $(basename "$stream"): $packs packs, $(( extra_kb / 1024 )) MB over a small stream" \
     "($(( extra_kb * 1024 / packs )) bytes a pack), parsed in $(value seconds "$large_run") s"

# A stream of 4.7 GB: the benchmark stream end to end.
trap 'rm -f "$big"' EXIT
target=$((4700 * 1000 * 1000))
size=$(stat -c %s "$stream")
: >"$big" || die "cannot write $big"
while [ "$(stat -c %s "$big")" -lt "$target" ]; do cat "$stream" >>"$big" || die "cannot write $big"; done
cat "$big" >/dev/null  # into the page cache, as far as it fits
big_run=$("$bench" "$big") || die "model_bench failed on $big"
open_s=$(value seconds "$big_run")
echo "4.7 GB stream ($(( $(stat -c %s "$big") / 1000000 )) MB, $(value packs "$big_run") packs): opened in $open_s s," \
     "model $(( ($(value peak_kb "$big_run") - $(value peak_kb "$small_run")) / 1024 )) MB"
ffmpeg_s=$( { /usr/bin/time -f %e ffmpeg -nostdin -loglevel error -i "$big" -map 0 -c copy -f null - ; } 2>&1 | tail -n 1)
echo "ffmpeg -map 0 -c copy -f null over it: $ffmpeg_s s"

status=0
if [ "$extra_kb" -ge $((16 * 1024)) ]; then echo "GOAL NOT MET: model costs 16 MB or more"; status=1; fi
if awk -v s="$open_s" 'BEGIN { exit !(s >= 10) }'; then echo "GOAL NOT MET: 4.7 GB stream took 10 s or more"; status=1; fi
[ $status -eq 0 ] && echo "goals met"
exit $status
