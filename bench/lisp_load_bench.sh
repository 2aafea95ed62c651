#!/usr/bin/env bash
# Times loading psdump's Lisp exports of the benchmark stream into SBCL and
# Emacs, and checks the goal: the Common-Lisp export loads in SBCL in under
# 30 s.  For comparison it also loads the first BENCH_OLD_PACKS packs with
# the old `(append packs (list current-pack))` form, which grows with the
# square of the pack count, and the same packs with the tail form.
#
# Usage: bench/lisp_load_bench.sh [PSDUMP]
# Environment:
#   BENCH_DIR        where the stream is (made by run_bench.sh) and the
#                    exports go (default /tmp/psdump-bench)
#   BENCH_SECONDS    length of the stream run_bench.sh made (default 98)
#   BENCH_OLD_PACKS  packs for the old-form comparison (default 20000; 0 skips it)
#   BENCH_EMACS      0 skips the Emacs load (default 1)
#
# Exit status: 0 goal met, 1 goal not met or a load failed, 2 set-up error.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
psdump=${1:-${PSDUMP:-"$here/../build/dump/psdump"}}
bench_dir=${BENCH_DIR:-/tmp/psdump-bench}
seconds=${BENCH_SECONDS:-98}
old_packs=${BENCH_OLD_PACKS:-20000}
with_emacs=${BENCH_EMACS:-1}
stream="$bench_dir/bench-${seconds}s.mpg"
goal_seconds=30

die() { echo "lisp_load_bench: $*" >&2; exit 2; }
command -v sbcl >/dev/null 2>&1 || die "sbcl not found (apt-get install -y sbcl)"
[ -x "$psdump" ] || die "psdump binary '$psdump' not found (build it, or pass its path)"
[ -s "$stream" ] || die "$stream not found: run bench/run_bench.sh first"

work="$bench_dir/lisp"
mkdir -p "$work" || die "cannot create $work"
"$psdump" "$stream" cl-lisp >"$work/export.lisp" || die "psdump cl-lisp failed"
packs=$(grep -c '^(setf current-pack (make-pack ' "$work/export.lisp")
echo "export: $work/export.lisp ($(( $(stat -c %s "$work/export.lisp") / 1048576 )) MB, $packs packs)"

# seconds_of COMMAND...: runs it, prints its wall time; its output (the pack
# count the loader prints) must show the expected count, in $want.
seconds_of() {
    local start end out
    start=$(date +%s.%N)
    out=$("$@" 2>/dev/null | sed -n 's/^packs: //p')
    end=$(date +%s.%N)
    if [ "$out" != "$want" ]; then
        echo "FAILED (packs: '${out}', expected $want)"
        return 1
    fi
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f\n", b - a }'
}
sbcl_load() {
    sbcl --noinform --non-interactive --no-userinit --no-sysinit --load "$1" \
        --eval '(progn (format t "packs: ~d~%" (length packs)) (finish-output))'
}
emacs_load() {
    emacs --batch -Q --eval "(defalias 'compile #'byte-compile)" -l "$1" \
        --eval '(princ (format "packs: %d\n" (length packs)))'
}

failed=0
want=$packs
sbcl_s=$(seconds_of sbcl_load "$work/export.lisp") || failed=1
echo "SBCL, whole export:  $sbcl_s s"
if [ "$with_emacs" != 0 ] && command -v emacs >/dev/null 2>&1; then
    "$psdump" "$stream" elisp >"$work/export.el" || die "psdump elisp failed"
    emacs_s=$(seconds_of emacs_load "$work/export.el") || failed=1
    echo "Emacs, whole export: $emacs_s s"
fi

if [ "$old_packs" -gt 0 ] && [ "$old_packs" -lt "$packs" ]; then
    # The first $old_packs packs, with the tail form and with the old form.
    awk -v k="$old_packs" '{ print } /^\(setf packs / && ++n == k { exit }' "$work/export.lisp" >"$work/cut.lisp"
    sed 's/^(setf packs (add-pack-to-packs current-pack))$/(setf packs (append packs (list current-pack)))/' \
        "$work/cut.lisp" >"$work/cut-old.lisp"
    want=$old_packs
    echo "SBCL, first $old_packs packs, tail form:   $(seconds_of sbcl_load "$work/cut.lisp") s"
    echo "SBCL, first $old_packs packs, append form: $(seconds_of sbcl_load "$work/cut-old.lisp") s"
fi
rm -rf "$work"

if [ $failed -eq 0 ] && awk -v s="$sbcl_s" -v g="$goal_seconds" 'BEGIN { exit !(s < g) }'; then
    echo "goal: SBCL loads the export in under $goal_seconds s: met ($sbcl_s s)"
    exit 0
fi
echo "goal: SBCL loads the export in under $goal_seconds s: NOT MET ($sbcl_s)"
exit 1
