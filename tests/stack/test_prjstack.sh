#!/bin/bash
# Tests of programs/prjstack/prjstack on a small stack of phantom sinograms:
#   test_prjstack.sh PRJSTACK PRJSLICE PRJSLICE_FIXED PRJPHANTOM
#
# - every slice byte-identical to a single prjslice run, its CSV row equal to
#   that run's value line, in natural order;
# - bad sinograms in the middle reported by name with their own message, the
#   others finished, exit status 1, nothing left under the bad slices' names;
# - --resume runs exactly the unfinished slices, and nothing when all are done;
# - a run killed mid-slice leaves no image under a final name, and --resume
#   then finishes the stack;
# - --part I/P cuts the stack into parts that cover it exactly once;
# - remote machines through GNU parallel's ssh logins (ssh replaced by a
#   stand-in that runs the job here in a clean environment), BPF_RANGE passed on;
# - lists, another program, awkward file names (and their CSV fields); a
#   clash of slice names;
# - -j and -g; the messages for a slice that vanished and for a missing GNU
#   parallel.
# Skips (77) when GNU parallel is not installed, except under CI.

set -u
absolute() { if [[ $1 == /* ]]; then echo "$1"; else echo "$PWD/$1"; fi; }
prjstack=$(absolute "$1") prjslice=$(absolute "$2") fixed=$(absolute "$3") phantom=$(absolute "$4")

if ! command -v parallel >/dev/null; then
    if [[ -n ${CI:-} ]]; then
        echo "FAILED: GNU parallel is not installed (scripts/deps.sh installs it)"
        exit 1
    fi
    echo "SKIPPED: GNU parallel is not installed"
    exit 77
fi

work=$(mktemp -d /tmp/prjstack-test-XXXXXX) || exit 1
trap 'rm -rf -- "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
pass() { echo "ok - $*"; }

# Geometry shared by the whole stack: 48 bins, 36 projections, axis off the
# detector centre, a detector interval other than 1, a start angle.
N=48 M=36 dr=0.5 r0=-23.25 ra=12.5
sinogram() { "$phantom" --ellipse "$2,-3,14,9,$3,1" --ellipse "-6,5,4,6,0,0.5" $N $M $ra $dr $r0 "$1" >/dev/null; }

# reference PROGRAM SG TIF: a single run; its value line as "min,max".
reference() {
    local line
    line=$("$1" "$2" $dr $r0 $ra "$3" 2>/dev/null) || return 1
    printf '%s\n' "${line//$'\t'/,}"
}

# same_as_single PROGRAM OUTDIR SG...: each slice's image equals a single run.
same_as_single() {
    local program=$1 out=$2 sg name bad=0
    shift 2
    mkdir -p ref
    for sg in "$@"; do
        name=${sg##*/}
        name=${name%.*}
        reference "$program" "$sg" "ref/$name.tif" >/dev/null || { fail "single run of $sg failed"; bad=1; continue; }
        cmp -s "ref/$name.tif" "$out/$name.tif" || { fail "$out/$name.tif differs from a single run"; bad=1; }
    done
    return $bad
}

joblines() { tail -n +2 "$1" | grep -c .; }

# same_csv EXPECTED ACTUAL WHAT: the CSV written equals the one expected.
same_csv() {
    if cmp -s "$1" "$2"; then
        pass "$3"
    else
        fail "$3: the CSV differs:"
        diff "$1" "$2"
    fi
}

# --- A stack of 11 slices, two of them bad ---------------------------------

mkdir stack
for k in 1 2 3 4 5 6 7 8 9 10 11; do
    sinogram "stack/slice_$k.sg" $((k - 6)) $((15 * k))
done
good=(stack/slice_{1,2,3,4,6,8,9,10,11}.sg)
head -c 2000 stack/slice_1.sg >stack/slice_5.sg       # samples cut short
printf 'no size here\n' >stack/slice_7.sg               # no header
printf 'not a sinogram\n' >stack/notes.txt              # not matched by *.sg

"$prjstack" -j 2 --no-bar -p "$prjslice" $dr $r0 $ra out stack >run1.out 2>run1.err
status=$?
if [[ $status -eq 1 ]]; then pass "a stack with bad slices exits with status 1"; else fail "exit status $status with bad slices"; fi
if grep -qxF "  stack/slice_5.sg: sinogram read error" run1.err &&
    grep -qxF "  stack/slice_7.sg: bad sinogram size." run1.err &&
    grep -qxF "prjstack: 2 of 11 slices failed:" run1.err; then
    pass "bad slices reported by name with their own message"
else
    fail "failure report:"
    cat run1.err
fi
[[ ! -e out/slice_5.tif && ! -e out/slice_7.tif ]] || fail "an image stands under a failed slice's name"
[[ -z $(find out -name '.*.tif.part-*') ]] || fail "temporary files left: $(find out -name '.*.tif.part-*')"
[[ ! -s run1.out ]] || fail "prjstack wrote on standard output: $(cat run1.out)"
same_as_single "$prjslice" out "${good[@]}" && pass "the 9 good slices are byte-identical to single runs"
[[ $(joblines out/prjstack.log) -eq 11 ]] || fail "job log has $(joblines out/prjstack.log) jobs, not 11"

# CSV: one row per finished slice, natural order, each equal to the single
# run's value line.
{
    echo "sinogram,image,min,max"
    for sg in "${good[@]}"; do
        name=${sg##*/}
        echo "$sg,out/${name%.sg}.tif,$(reference "$prjslice" "$sg" ref/x.tif)"
    done
} >expected.csv
same_csv expected.csv out/ranges.csv "CSV holds every finished slice's value line, in natural order"

# --- Resume ------------------------------------------------------------------

sinogram stack/slice_5.sg -1 75
sinogram stack/slice_7.sg 1 105
stat -c '%n %i %y' out/*.tif >before.stat
[[ $(wc -l <before.stat) -eq 9 ]] || fail "not 9 images before resuming: $(cat before.stat)"
"$prjstack" -j 2 --no-bar --resume -p "$prjslice" $dr $r0 $ra out stack >/dev/null 2>run2.err
status=$?
[[ $status -eq 0 ]] || { fail "resume exit status $status"; cat run2.err; }
added=$(tail -n +13 out/prjstack.log | cut -f 9 | sed 's/.* --slice //' | sort | tr '\n' ' ')
if [[ $(joblines out/prjstack.log) -eq 13 && $added == "stack/slice_5.sg stack/slice_7.sg " ]]; then
    pass "--resume runs exactly the two unfinished slices"
else
    fail "resume ran:"
    tail -n +13 out/prjstack.log
fi
mapfile -t kept < <(sed 's/ .*//' before.stat)
if stat -c '%n %i %y' "${kept[@]}" | cmp -s - before.stat; then
    pass "--resume leaves finished images untouched"
else
    fail "--resume rewrote finished images"
fi
same_as_single "$prjslice" out stack/slice_{5,7}.sg && pass "resumed slices identical to single runs"
[[ $(grep -c . out/ranges.csv) -eq 12 ]] || fail "CSV after resume has $(($(grep -c . out/ranges.csv) - 1)) rows, not 11"
grep -q '^stack/slice_5.sg,out/slice_5.tif,' out/ranges.csv || fail "CSV lacks the resumed slice_5"

cp out/prjstack.log log.before
"$prjstack" --no-bar --resume -p "$prjslice" $dr $r0 $ra out stack >/dev/null 2>run3.err
status=$?
if [[ $status -eq 0 ]] && cmp -s log.before out/prjstack.log && grep -q "11 already done, 0 to reconstruct" run3.err; then
    pass "--resume on a finished stack runs nothing"
else
    fail "second resume (status $status):"
    cat run3.err
fi

# --- Interrupted -------------------------------------------------------------

# A reconstructor that writes the start of an image and hangs.
cat >slow <<'EOF'
#!/bin/sh
printf 'II*\000partial' >"$5"
exec sleep 60
EOF
chmod +x slow
# interrupt SIGNAL DIR: starts the stack into DIR with the slow program, in
# a session of its own, and once two slices are being written sends SIGNAL to
# every process of that session (prjstack, GNU parallel, which gives each job
# a process group of its own, the jobs and the slow programs), as a terminal's
# hang-up or a batch system's kill would. Prints how many were being written.
interrupt() {
    local pid
    TMPDIR=$work setsid "$prjstack" -j 2 --no-bar -p "$work/slow" $dr $r0 $ra "$2" stack >/dev/null 2>"$2.err" &
    pid=$!
    for _ in $(seq 100); do
        [[ $(find "$2" -name '.*.tif.part-*' 2>/dev/null | wc -l) -ge 2 ]] && break
        sleep 0.1
    done
    find "$2" -name '.*.tif.part-*' | wc -l
    # shellcheck disable=SC2046
    kill "-$1" $(ps -o pid= -s "$pid") 2>/dev/null
    wait "$pid"
}

started=$(interrupt TERM cut)
status=$?
left=$(find cut -name '*.tif' -o -name '.*.tif.part-*')
if [[ $started -ge 2 && $status -ne 0 && -z $left ]] && grep -q "interrupted; run again with --resume" cut.err; then
    pass "a run stopped while writing leaves nothing behind and says so"
else
    fail "stopped run: $started slices started, status $status, left: $left"
    cat cut.err
fi

# SIGKILL: no clean-up at all; still no image under a final name.
started=$(interrupt KILL killed)
left=$(find killed -name '*.tif')
if [[ $started -ge 2 && -z $left ]]; then
    pass "a run killed while writing leaves no image under a final name"
else
    fail "killed run: $started slices started, left: $left"
fi
if "$prjstack" -j 2 --no-bar --resume -p "$prjslice" $dr $r0 $ra killed stack >/dev/null 2>&1 &&
    same_as_single "$prjslice" killed stack/slice_{1..11}.sg && [[ -z $(find killed -name '.*.tif.part-*') ]]; then
    pass "--resume finishes a killed stack and clears what the killed slices left"
else
    fail "--resume after the kill: $(find killed -name '.*.tif.part-*')"
fi

# --- Parts -------------------------------------------------------------------

for p in 1 2 3; do
    "$prjstack" --no-bar --part $p/3 -p "$prjslice" $dr $r0 $ra parts stack >/dev/null 2>&1 || fail "part $p/3 failed"
done
[[ $(tail -q -n +2 parts/ranges.2-of-3.csv | cut -d, -f1 | tr '\n' ' ') == "stack/slice_4.sg stack/slice_5.sg stack/slice_6.sg stack/slice_7.sg " ]] ||
    fail "part 2/3 of 11 is not slices 4 to 7: $(cat parts/ranges.2-of-3.csv)"
ran=$(for p in 1 2 3; do tail -n +2 parts/prjstack.$p-of-3.log | cut -f 9; done | sort)
if [[ $(sort -u <<<"$ran" | wc -l) -eq 11 && $(wc -l <<<"$ran") -eq 11 ]]; then
    pass "--part 1/3, 2/3, 3/3 run every slice exactly once"
else
    fail "parts ran: $ran"
fi

# --- Other machines ----------------------------------------------------------

# Stands in for ssh: drops the options and the host and runs the command here
# in the environment of a fresh login, so that only what GNU parallel carries
# over reaches the job.
cat >fakessh <<'EOF'
#!/bin/sh
while [ $# -gt 0 ]; do case $1 in -*) shift ;; *) break ;; esac; done
shift
[ "$1" = "--" ] && shift
exec env -i HOME="$HOME" PATH=/usr/bin:/bin SHELL=/bin/sh sh -c "$*"
EOF
chmod +x fakessh
PARALLEL_SSH=$work/fakessh BPF_RANGE=0:0.25 "$prjstack" --no-bar -S 1/nodeA -S 1/nodeB -p "$prjslice" \
    $dr $r0 $ra remote stack >/dev/null 2>remote.err
status=$?
hosts=$(tail -n +2 remote/prjstack.log | cut -f 2 | sort -u | tr '\n' ' ')
[[ $status -eq 0 && $hosts == "nodeA nodeB " ]] || { fail "remote run (status $status, hosts $hosts)"; cat remote.err; }
export BPF_RANGE=0:0.25
if same_as_single "$prjslice" remote stack/slice_{1..11}.sg; then
    pass "slices run through ssh logins, with BPF_RANGE, match single runs"
fi
unset BPF_RANGE

# --- Lists, another program, awkward names, clashes --------------------------

cp -- stack/slice_3.sg -dash.sg
cp stack/slice_4.sg "odd name 'q'.sg"
cp stack/slice_5.sg a,b.sg
cp stack/slice_6.sg 'say "hi".sg'
if printf '%s\n' "-dash.sg" "odd name 'q'.sg" a,b.sg 'say "hi".sg' |
    "$prjstack" --no-bar -l - -p "$fixed" $dr $r0 $ra odd >/dev/null 2>odd.err &&
    [[ -f odd/-dash.tif ]] && same_as_single "$fixed" odd ./-dash.sg "odd name 'q'.sg" a,b.sg 'say "hi".sg'; then
    pass "a list from standard input, prjslice-fixed, names with a leading dash, spaces, quotes and commas"
else
    fail "list run"
    cat odd.err
fi
# A field holding a comma or a double quote is quoted, its quotes doubled.
{
    echo "sinogram,image,min,max"
    echo "-dash.sg,odd/-dash.tif,$(reference "$fixed" ./-dash.sg ref/x.tif)"
    echo "odd name 'q'.sg,odd/odd name 'q'.tif,$(reference "$fixed" "odd name 'q'.sg" ref/x.tif)"
    echo "\"a,b.sg\",\"odd/a,b.tif\",$(reference "$fixed" a,b.sg ref/x.tif)"
    echo "\"say \"\"hi\"\".sg\",\"odd/say \"\"hi\"\".tif\",$(reference "$fixed" 'say "hi".sg' ref/x.tif)"
} >odd.csv
same_csv odd.csv odd/ranges.csv "CSV fields with commas and quotes are quoted"

mkdir other && cp stack/slice_1.sg other/
"$prjstack" --no-bar -p "$prjslice" $dr $r0 $ra clash stack other >/dev/null 2>clash.err
status=$?
if [[ $status -eq 2 && ! -e clash/slice_1.tif ]] && grep -q "would both make clash/slice_1.tif" clash.err; then
    pass "two sinograms of one slice name are refused before anything runs"
else
    fail "clash (status $status)"
    cat clash.err
fi

# --- Options and messages --------------------------------------------------

# -j and -g: a stand-in reconstructor records GNU parallel's job slot of each
# slice and waits (10 s at most) until three slices have started, so that with
# -j 3 three run at once, and never more.
mkdir raws
for k in 1 2 3 4 5 6; do cp stack/slice_$k.sg raws/r$k.raw; done
cp stack/slice_7.sg raws/s7.sg
cat >slots <<EOF
#!/bin/sh
echo "\$PARALLEL_JOBSLOT" >>"$work/slots.log"
for _ in \$(seq 100); do [ \$(wc -l <"$work/slots.log") -ge 3 ] && break; sleep 0.1; done
cp "$work/ref/x.tif" "\$5"
EOF
chmod +x slots
"$prjstack" --no-bar -j 3 -g '*.raw' -p "$work/slots" $dr $r0 $ra globbed raws >/dev/null 2>globbed.err
status=$?
images=$(cd globbed && echo *.tif)
slots=$(sort -u slots.log | tr '\n' ' ')
if [[ $status -eq 0 && $images == "r1.tif r2.tif r3.tif r4.tif r5.tif r6.tif" && $slots == "1 2 3 " ]]; then
    pass "-g picks the files of a directory, -j 3 runs three slices at once"
else
    fail "-j 3 -g '*.raw': status $status, images $images, job slots $slots"
    cat globbed.err
fi

# expect_error STATUS LINE COMMAND...: the run exits with STATUS and LINE is a
# whole line of its standard error.
expect_error() {
    local status=$1 line=$2 err got
    shift 2
    err=$("$@" 2>&1 >/dev/null)
    got=$?
    if [[ $got -eq $status ]] && grep -qxF -- "$line" <<<"$err"; then
        pass "$line"
    else
        fail "expected status $status and '$line', got $got:"
        printf '%s\n' "$err"
    fi
}
# A slice whose job dies without a word (its whole process group killed).
printf '#!/bin/sh\nkill -KILL 0\n' >vanish
chmod +x vanish
mkdir empty
expect_error 1 "  stack/slice_1.sg: not reconstructed (see gone/prjstack.log)" \
    "$prjstack" --no-bar -p "$work/vanish" $dr $r0 $ra gone stack/slice_1.sg
expect_error 2 "prjstack: GNU parallel is not installed" \
    env PATH="$work/empty" "$prjstack" --no-bar -p "$prjslice" $dr $r0 $ra none stack

if [[ $failures -gt 0 ]]; then
    echo "$failures checks failed"
    exit 1
fi
echo "all checks passed"
