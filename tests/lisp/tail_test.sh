#!/bin/sh
# tail_test.sh LISP PSDUMP DATA_DIR
#
# The export adds each pack at a tail pointer.  Loaded into a real Lisp
# (LISP is "emacs" or "sbcl"), `packs` must hold the packs in stream order
# (their offsets as the make-pack forms give them):
#   - for the whole export, and for the export loaded twice in one image;
#   - for the export cut after the first, second and middle pack (the packs
#     up to the cut);
#   - for an export whose packs alternate between the old append form and
#     the tail form.

set -u

lisp=$1
psdump=$2
data_dir=$3

case $lisp in
emacs) word=elisp; set=setq ;;
sbcl) word=cl-lisp; set=setf ;;
*) echo "unknown Lisp: $lisp" >&2; exit 2 ;;
esac

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

stream=
for f in "$data_dir"/*.mpg "$data_dir"/*.vob; do
    if "$psdump" "$f" "$word" >"$work/export" 2>/dev/null &&
        [ "$(grep -c "^($set current-pack (make-pack " "$work/export")" -gt 4 ]; then
        stream=$f
        break
    fi
done
[ -n "$stream" ] || { echo "FAIL no sample stream with packs in $data_dir"; exit 1; }
echo "stream: $stream"
sed -n "s/^($set current-pack (make-pack \([0-9]*\) .*/\1/p" "$work/export" >"$work/offsets"
count=$(wc -l <"$work/offsets")

# offsets_after_load FILE...: the offsets in `packs` after loading the
# files in order into one image.
offsets_after_load() {
    loads=
    for f in "$@"; do loads="$loads --load $f"; done
    case $lisp in
    # shellcheck disable=SC2086
    emacs) emacs --batch -Q --eval "(defalias 'compile #'byte-compile)" $(echo "$loads" | sed 's/--load/-l/g') \
               --eval '(dolist (p packs) (princ (format "offset %d\n" (aref p 0))))' ;;
    # shellcheck disable=SC2086
    sbcl) sbcl --noinform --non-interactive --no-userinit --no-sysinit $loads \
              --eval '(progn (dolist (p packs) (format t "offset ~d~%" (svref p 0))) (finish-output))' ;;
    esac 2>/dev/null | sed -n 's/^offset //p'
}

failed=0
# expect NAME N FILE...: loading FILE... leaves the first N packs.
expect() {
    name=$1 n=$2
    shift 2
    head -n "$n" "$work/offsets" >"$work/want"
    offsets_after_load "$@" >"$work/got"
    if cmp -s "$work/want" "$work/got"; then
        echo "ok   $name: $n packs"
    else
        echo "FAIL $name: packs hold $(wc -l <"$work/got") offsets, not the first $n of the stream"
        failed=1
    fi
}

# cut_after K: the export up to the form that adds the K-th pack.
cut_after() {
    awk -v k="$1" -v p="^[(]$set packs " '{ print } $0 ~ p && ++n == k { exit }' "$work/export"
}

expect "whole export" "$count" "$work/export"
expect "export loaded twice" "$count" "$work/export" "$work/export"
for k in 1 2 $((count / 2)); do
    cut_after "$k" >"$work/cut$k"
    expect "cut after pack $k" "$k" "$work/cut$k"
done
awk -v old="($set packs (append packs (list current-pack)))" -v p="^[(]$set packs [(]add-pack-to-packs " \
    '$0 ~ p && ++n % 2 == 1 { print old; next } { print }' "$work/export" >"$work/mixed"
expect "old and tail forms mixed" "$count" "$work/mixed"
exit $failed
