#!/bin/sh
# option_words_test.sh PSDUMP DATA_DIR LISP_DATA_DIR
#
# On the first sample stream in DATA_DIR that psdump reads with several
# packs: the Lisp prelude is printed once for each Lisp option word, in the
# dialect in force at that word, before any pack; the per-pack forms use
# Emacs Lisp words whenever "elisp" is given; the first pack starts `packs`
# and every later one is added at its tail; without a Lisp option word no form is
# printed.

set -u

psdump=$1
data_dir=$2
preludes=$3

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

stream=
count=0
for f in "$data_dir"/*.mpg "$data_dir"/*.mpeg "$data_dir"/*.vob; do
    [ -f "$f" ] || continue
    n=$("$psdump" "$f" print_pack_count 2>/dev/null | sed -n 's/^Total Packs = //p')
    if [ $? -eq 0 ] && [ -n "$n" ] && [ "$n" -gt 1 ]; then
        stream=$f
        count=$n
        break
    fi
done
if [ -z "$stream" ]; then
    echo "FAIL no sample stream with packs in $data_dir"
    exit 1
fi
echo "stream: $stream ($count packs)"

failed=0

# expect_run WORD FIRST-PRELUDE SECOND-PRELUDE... -- PSDUMP-ARGS...
expect_run() {
    word=$1
    shift
    : >"$work/want"
    while [ "$1" != "--" ]; do
        cat "$preludes/$1" >>"$work/want"
        shift
    done
    shift
    "$psdump" "$stream" "$@" >"$work/out"
    size=$(wc -c <"$work/want")
    if ! head -c "$size" "$work/out" | cmp -s - "$work/want"; then
        echo "FAIL psdump $*: the output does not start with the expected preludes"
        failed=1
        return
    fi
    tail -c +$((size + 1)) "$work/out" >"$work/forms"
    other=setf
    [ "$word" = setf ] && other=setq
    packs=$(grep -c "^($word current-pack (make-pack " "$work/forms")
    lists=$(grep -c "^($word packs (list current-pack))\$" "$work/forms")
    appends=$(grep -c "^($word packs (add-pack-to-packs current-pack))\$" "$work/forms")
    others=$(grep -c "^($other " "$work/forms")
    first=$(head -n 1 "$work/forms" | cut -c 1-29)
    if [ "$packs" -ne "$count" ] || [ "$lists" -ne 1 ] || [ "$appends" -ne $((count - 1)) ] ||
        [ "$others" -ne 0 ] || [ "$first" != "($word current-pack (make-pack" ]; then
        echo "FAIL psdump $*: $packs make-pack forms, $lists list and $appends append forms," \
            "$others forms with $other, first line $first"
        failed=1
        return
    fi
    echo "ok   psdump $*"
}

expect_run setf prelude-cl.lisp -- cl-lisp
expect_run setq prelude-elisp.el -- elisp
expect_run setq prelude-cl.lisp prelude-elisp.el -- cl-lisp elisp
expect_run setq prelude-elisp.el prelude-elisp.el -- elisp cl-lisp
expect_run setq prelude-cl.lisp prelude-elisp.el -- CL-Lisp ELISP

"$psdump" "$stream" >"$work/out"
if grep -q "current-pack" "$work/out"; then
    echo "FAIL psdump without a Lisp option word printed Lisp forms"
    failed=1
else
    echo "ok   psdump without a Lisp option word"
fi
exit $failed
