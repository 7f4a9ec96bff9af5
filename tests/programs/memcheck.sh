#!/bin/sh
# Valgrind's memcheck over representative prjslice runs:
#   memcheck.sh PRJSLICE PRJSLICE_FIXED PRJSLICE_PATH PRJPHANTOM
# Every run must end with its own exit status and message, with no invalid
# read or write and no use of an undefined value. A successful run must have
# freed every block (the workspace is released by TermCBP; leak kinds "all").
# A failing run ends through exit() at once, with the workspace still held by
# the engine's statics and the input stream open, as designed: there only
# lost blocks count (definite, indirect and possible), never still reachable
# ones.
#
# Valgrind offers no AVX-512: under it the CPU reports none, so the programs
# take their AVX2 path by themselves; the scalar path is run through
# PRJSLICE_PATH. (The AVX-512 path is checked by the sanitizer build.)
set -u
prjslice=$1 fixed=$2 forced=$3 phantom=$4

if ! command -v valgrind >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then
        echo "valgrind is not installed (scripts/deps.sh installs it)"
        exit 1
    fi
    echo "valgrind is not installed: skipped"
    exit 77
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$phantom" 64 40 0 1 -31.5 "$dir/s.sg" >/dev/null || exit 1
# N = 65 with the axis on the centre bin: pixels of the disc's edge fall on
# bin N - 1 exactly and read the zero guard after it, in every row of Q.
"$phantom" 65 40 0 1 -32 "$dir/edge.sg" >/dev/null || exit 1
head -c 1000 "$dir/s.sg" >"$dir/short.sg"
printf 'sixty-four forty\n' >"$dir/bad.sg"
band=$(printf '0.000000\t0.500000')
failed=0

# check NAME STATUS ERR LEAKS STDIN OUTPUT -- PROGRAM ARGS...
# OUTPUT: the output file that must exist afterwards (success) or not
# (failure); "-" when it is standard output or a device.
check() {
    name=$1 status=$2 err=$3 leaks=$4 input=$5 output=$6
    shift 7
    rm -f "$dir/out.tif"
    valgrind -q --trace-children=yes --error-exitcode=99 --leak-check=full --errors-for-leak-kinds="$leaks" \
        --show-leak-kinds="$leaks" --log-file="$dir/vg.log" "$@" \
        <"$input" >"$dir/stdout" 2>"$dir/stderr"
    got=$?
    problem=""
    [ "$got" -eq "$status" ] || problem="exit status $got, expected $status"
    [ "$(cat "$dir/stderr")" = "$err" ] || problem="$problem; standard error: $(cat "$dir/stderr")"
    if [ "$status" -eq 0 ]; then
        [ -s "$dir/stdout" ] || problem="$problem; nothing on standard output"
        [ "$output" = - ] || [ -s "$output" ] || problem="$problem; no output file"
    else
        [ "$output" = - ] || [ ! -e "$output" ] || problem="$problem; output file left behind"
    fi
    if [ -n "$problem" ]; then
        echo "FAIL $name: $problem"
        cat "$dir/vg.log"
        failed=$((failed + 1))
    else
        echo "ok   $name"
    fi
}

all=definite,indirect,possible,reachable
lost=definite,indirect,possible
out=$dir/out.tif

check "full build, file to file" 0 "$band" $all /dev/null "$out" -- \
    env -u BPF_RANGE "$prjslice" "$dir/s.sg" 1 -31.5 0 "$out"
check "full build, two bands, standard input to standard output" 0 \
    "$(printf '0.000000\t0.100000\n0.200000\t0.300000')" $all "$dir/s.sg" - -- \
    env BPF_RANGE='0:0.1, 0.2:0.3' "$prjslice" - 0.5 -31.5 30 -
check "fixed build, scalar path, file to file" 0 "" $all /dev/null "$out" -- \
    "$forced" 0 "$dir/s.sg" 1 -20.25 0 "$out"
check "fixed build, off-centre axis" 0 "" $all /dev/null "$out" -- \
    "$fixed" "$dir/s.sg" 1 -50.5 0 "$out"
check "fixed build, disc edge on the last bin" 0 "" $all /dev/null "$out" -- \
    "$fixed" "$dir/edge.sg" 1 -32 0 "$out"
check "fixed build, scalar path, disc edge on the last bin" 0 "" $all /dev/null "$out" -- \
    "$forced" 0 "$dir/edge.sg" 1 -32 0 "$out"
check "bad header" 1 "bad sinogram size." $lost /dev/null "$out" -- \
    "$fixed" "$dir/bad.sg" 1 -31.5 0 "$out"
check "short sinogram" 1 "$(printf '%s\nsinogram read error' "$band")" $lost /dev/null "$out" -- \
    env -u BPF_RANGE "$prjslice" "$dir/short.sg" 1 -31.5 0 "$out"
check "short sinogram on standard input" 1 "sinogram read error" $lost "$dir/short.sg" "$out" -- \
    "$fixed" - 1 -31.5 0 "$out"
check "bad BPF_RANGE" 1 "0.300000:0.100000 : bad range." $lost /dev/null "$out" -- \
    env BPF_RANGE=0.3:0.1 "$prjslice" "$dir/s.sg" 1 -31.5 0 "$out"
check "unwritable output" 1 "/dev/full : file not stored." $lost /dev/null - -- \
    "$fixed" "$dir/s.sg" 1 -31.5 0 /dev/full
check "value line refused" 1 "- : file not stored." $lost /dev/null "$out" -- \
    sh -c 'exec "$@" >/dev/full' sh "$fixed" "$dir/s.sg" 1 -31.5 0 "$out"

if [ "$failed" -ne 0 ]; then
    echo "$failed of the memcheck runs failed"
    exit 1
fi
echo "all memcheck runs clean"
