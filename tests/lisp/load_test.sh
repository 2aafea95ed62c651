#!/bin/sh
# load_test.sh LISP PSDUMP STREAM_FACTS DATA_DIR LISP_DIR
#
# Runs psdump on every sample stream in DATA_DIR (*.mpg, *.mpeg, *.vob) with
# the option word of one dialect, loads the output into a real Lisp (LISP is
# "emacs" or "sbcl") and checks from inside Lisp that `packs` holds every
# pack of the stream with the values an independent walk of its bytes finds
# (stream_facts, itself checked against the stream's .probe.txt when there is
# one).  The samples must include both stream formats.  A small stream made
# here adds time stamps above 2^32.
#
# A stream in which a start code below 0xBC stands where a packet should is
# one that psdump rejects (unknown stream_id): psdump must end with status 1
# on it, and it is not loaded.

set -u

lisp=$1
psdump=$2
facts_tool=$3
data_dir=$4
lisp_dir=$5

case $lisp in
emacs) word=elisp; suffix=el ;;
sbcl) word=cl-lisp; suffix=lisp ;;
*) echo "unknown Lisp: $lisp" >&2; exit 2 ;;
esac

if ! command -v "$lisp" >/dev/null 2>&1; then
    echo "$lisp not found; install it (apt-get install emacs-nox sbcl)" >&2
    exit 1
fi

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# A one-pack program stream whose clock and time stamps have bit 32 set:
# SCR base 2^32 (the export keeps bits 31..0), PTS 2^32 + 3600, DTS 2^32.
printf '\000\000\001\272\144\000\004\000\004\001\001\211\303\370' >"$work/bit32.mpg"
printf '\000\000\001\340\000\021\201\300\012\071\000\001\034\041\031\000\001\000\001' >>"$work/bit32.mpg"
printf '\000\000\000\000\000\000\001\271' >>"$work/bit32.mpg"

failed=0
loaded=0
formats=
for stream in "$work/bit32.mpg" "$data_dir"/*.mpg "$data_dir"/*.mpeg "$data_dir"/*.vob; do
    [ -f "$stream" ] || continue
    name=$(basename "$stream")
    probe=${stream%.*}.probe.txt
    facts=$work/$name.facts
    if [ -f "$probe" ]; then
        "$facts_tool" "$stream" "$probe" >"$facts"
    else
        "$facts_tool" "$stream" >"$facts"
    fi
    walk=$?
    if [ $walk -eq 3 ]; then
        "$psdump" "$stream" "$word" >/dev/null
        rc=$?
        if [ $rc -ne 1 ]; then
            echo "FAIL $name: psdump ended with status $rc on a stream with an unknown stream_id, not 1"
            failed=1
        else
            echo "skip $name: psdump rejects it (unknown stream_id), status 1 as expected"
        fi
        continue
    elif [ $walk -ne 0 ]; then
        echo "FAIL $name: the independent walk of the stream failed"
        failed=1
        continue
    fi

    count=$("$psdump" "$stream" print_pack_count | sed -n 's/^Total Packs = //p')
    if [ -z "$count" ]; then
        echo "FAIL $name: psdump printed no pack count"
        failed=1
        continue
    fi
    export_file=$work/$name.$suffix
    "$psdump" "$stream" "$word" >"$export_file"
    rc=$?
    if [ $rc -ne 0 ]; then
        echo "FAIL $name: psdump $word ended with status $rc"
        failed=1
        continue
    fi
    case $lisp in
    emacs) emacs --batch -Q -l "$lisp_dir/load_export.el" \
               "$export_file" "$facts" "$count" "$lisp_dir/check_packs.lisp" 2>&1 ;;
    sbcl) sbcl --script "$lisp_dir/load_export.lisp" \
               "$export_file" "$facts" "$count" "$lisp_dir/check_packs.lisp" 2>&1 ;;
    esac
    rc=$?
    if [ $rc -ne 0 ]; then
        echo "FAIL $name: loading into $lisp and checking ended with status $rc"
        failed=1
        continue
    fi
    loaded=$((loaded + 1))
    # The first element of the facts datum is the stream format; the
    # made-up stream does not count as a sample.
    [ "$stream" = "$work/bit32.mpg" ] || formats="$formats $(head -c 2 "$facts")"
done

case $formats in *"(1"*) ;; *) echo "FAIL no MPEG-1 system stream was loaded"; failed=1 ;; esac
case $formats in *"(2"*) ;; *) echo "FAIL no MPEG-2 program stream was loaded"; failed=1 ;; esac
echo "$loaded streams loaded into $lisp"
exit $failed
