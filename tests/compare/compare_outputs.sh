#!/usr/bin/env bash
# Runs two builds of psdump and psverify over the same streams, in every
# output mode, and reports every stream whose standard output, standard
# error, extraction files or exit status differ between them.
#
#   compare_outputs.sh OLD_DIR NEW_DIR STREAM...
#
# OLD_DIR and NEW_DIR each hold a psdump and a psverify.  Exit status 0 when
# every run agrees, 1 otherwise.  Used to check that a change of the code
# leaves what the programs write as it was.
set -uo pipefail
old=$1 new=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
runs=0

# Runs one command in a fresh directory (extraction files land there) and
# records what it wrote.  $1: result directory; the rest: the command.
record() {
    local out=$1
    shift
    mkdir -p "$out/cwd"
    (cd "$out/cwd" && "$@" >"$out/stdout" 2>"$out/stderr"; echo $? >"$out/status")
}

for stream in "$@"; do
    abs=$(readlink -f "$stream")
    for mode in "" "print_pack_count" "json" "elisp" "cl-lisp" "extract_streams print_pack_count" "json extract_streams"; do
        runs=$((runs + 1))
        rm -rf "$work/a" "$work/b"
        # shellcheck disable=SC2086
        record "$work/a" "$old/psdump" "$abs" $mode
        # shellcheck disable=SC2086
        record "$work/b" "$new/psdump" "$abs" $mode
        if ! diff -r -q "$work/a" "$work/b" >/dev/null; then
            echo "DIFFERS: psdump $stream $mode"
            diff -r "$work/a" "$work/b" | head -n 20
            failed=1
        fi
    done
    for opts in "" "--json" "--max-events 0"; do
        runs=$((runs + 1))
        rm -rf "$work/a" "$work/b"
        # shellcheck disable=SC2086
        record "$work/a" "$old/psverify" $opts "$abs"
        # shellcheck disable=SC2086
        record "$work/b" "$new/psverify" $opts "$abs"
        if ! diff -r -q "$work/a" "$work/b" >/dev/null; then
            echo "DIFFERS: psverify $opts $stream"
            diff -r "$work/a" "$work/b" | head -n 20
            failed=1
        fi
    done
done
echo "compared $runs runs over $# streams"
exit $failed
