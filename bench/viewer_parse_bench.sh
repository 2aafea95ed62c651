#!/usr/bin/env bash
# Times the analyser's parse of the large stream that bench/run_bench.sh
# makes, and checks two goals:
#   - while a parse started from the Run dialog runs, the window responds
#     (a redraw asked for is done) within 100 ms
#   - that parse costs at most 10 % more than the analyser's plain parse as
#     it was before (every parser line printed, the window not served)
#
# Usage: bench/viewer_parse_bench.sh [BENCH_BINARY]
#   BENCH_BINARY   viewer_parse_bench (argument, else
#                  build/tests/viewer_shell/viewer_parse_bench of this checkout)
# Environment: BENCH_DIR, BENCH_SECONDS as for run_bench.sh (the stream is
# made by it when missing); BENCH_RUNS runs, the fastest counts (default 5).
# Runs under xvfb-run when there is no display.
#
# Exit status: 0 goals met, 1 a goal not met, 2 set-up error.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bench=${1:-"$here/../build/tests/viewer_shell/viewer_parse_bench"}
bench_dir=${BENCH_DIR:-/tmp/psdump-bench}
seconds=${BENCH_SECONDS:-98}
runs=${BENCH_RUNS:-5}
stream="$bench_dir/bench-${seconds}s.mpg"

die() { echo "viewer_parse_bench: $*" >&2; exit 2; }
[ -x "$bench" ] || die "'$bench' not found (cmake --build build --target viewer_parse_bench)"
if [ ! -s "$stream" ]; then
    echo "no $stream yet: making it with run_bench.sh"
    BENCH_RUNS=1 "$here/run_bench.sh" >/dev/null || [ -s "$stream" ] || die "the stream could not be made"
fi
cat "$stream" >/dev/null  # into the page cache

display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a)
result=$("${display[@]}" "$bench" "$stream" "$runs" 2>&1 | grep -v '^Cannot load icon') || die "the bench failed: $result"
echo "$result"
value() { awk -v k="$1" 'index($0, k) == 1 { print $(NF - 1) }' <<<"$result"; }
before=$(value "parse before") now=$(value "parse now") wait=$(value "longest wait")
[ -n "$before" ] && [ -n "$now" ] && [ -n "$wait" ] || die "unexpected output"

met=0
if awk -v w="$wait" 'BEGIN { exit !(w <= 100) }'; then
    echo "goal: window responds within 100 ms: met (${wait} ms)"
else
    echo "goal: window responds within 100 ms: NOT MET (${wait} ms)"; met=1
fi
if awk -v a="$now" -v b="$before" 'BEGIN { exit !(a <= 1.10 * b) }'; then
    echo "goal: parse at most 10 % dearer: met (${now} s against ${before} s)"
else
    echo "goal: parse at most 10 % dearer: NOT MET (${now} s against ${before} s)"; met=1
fi
exit $met
