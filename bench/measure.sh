# Sourced by the psverify benchmarks: `measure`, the best wall time and the
# largest peak memory of a command over $runs runs, with /usr/bin/time.
# Needs $runs, $timing and $errors (scratch files); standard error of every
# run is added to $log when it is set.

# measure NAME COMMAND...: best wall time and largest peak over $runs runs.
# psverify may exit 1 (a stream that does not conform) and still count;
# exit 2 (a file it cannot read) does not.  The first failing run's standard
# error is kept in NAME_error.
measure() {
    local name=$1 best="" peak=0 state=ok error="" w k x
    shift
    for ((run = 1; run <= runs; run++)); do
        /usr/bin/time -f '%e %M %x' -o "$timing" "$@" >/dev/null 2>"$errors"
        cat "$errors" >>"${log:-/dev/null}"
        read -r w k x < <(tail -n 1 "$timing")
        grep -q 'terminated by signal' "$timing" && x=$(grep -o 'signal [0-9]*' "$timing")
        if [ "$x" != 0 ] && { [ "$name" = ffmpeg ] || [ "$x" != 1 ]; }; then
            [ "$state" = ok ] && error=$(head -n 1 "$errors")
            state="exit $x"
            [[ $x == signal* ]] && state=$x
        fi
        if [ -z "$best" ] || awk -v a="$w" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$w; fi
        [ "$k" -gt "$peak" ] && peak=$k
    done
    printf '%-14s %8s s %8.1f MB  %s\n' "$name" "$best" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$state"
    printf -v "${name}_wall" %s "$best"
    printf -v "${name}_peak" %s "$peak"
    printf -v "${name}_state" %s "$state"
    printf -v "${name}_error" %s "$error"
}
