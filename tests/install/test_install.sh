#!/bin/bash
# Installs the build into a temporary prefix and checks what lands there:
#   test_install.sh CMAKE BUILD_DIR BINDIR MANDIR SRC_DIR "PROGRAM..."
#
# - every program in bin, runnable from there: the installed prjslice gives
#   the same bytes as the built one, prjslice-fixed writes nothing on
#   standard error, prjstack runs the installed Python package and the
#   prjslice installed beside it;
# - the man page in man1 (also as prjslice-fixed.1) renders without a single
#   warning from groff or mandoc, and names every message the program can
#   print, as read from the sources.
# A check whose tool (groff, mandoc) is missing is skipped, and
# then so is the test (77) when all else passed; under CI (CI set) a missing
# tool fails it.

set -u
absolute() { if [[ $1 == /* ]]; then echo "$1"; else echo "$PWD/$1"; fi; }
cmake=$1 build=$(absolute "$2") bindir=$3 mandir=$4 src=$(absolute "$5")
read -r -a programs <<<"$6"

work=$(mktemp -d /tmp/prjslice-install-XXXXXX) || exit 1
trap 'rm -rf -- "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
pass() { echo "ok - $*"; }
skipped=0
lacking() {
    if [[ -n ${CI:-} ]]; then
        fail "$1 is not installed (scripts/deps.sh installs it)"
    else
        echo "SKIPPED: $1 is not installed, $2 not checked"
        skipped=1
    fi
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAILED: cmake --install"
    exit 1
fi

bin=$prefix/$bindir
for program in "${programs[@]}"; do
    [[ -x $bin/$program ]] || fail "$bin/$program is not installed"
done
page=$prefix/$mandir/man1/prjslice.1
for p in prjslice.1 prjslice-fixed.1 prjsino.1 prjrings.1; do
    [[ -f $prefix/$mandir/man1/$p ]] || fail "$prefix/$mandir/man1/$p is not installed"
done
[[ $failures -eq 0 ]] && pass "installed: ${programs[*]}, prjslice(1), prjslice-fixed(1), prjsino(1), prjrings(1)"

# The installed programs, run from the prefix.
cd "$work" || exit 1
"$bin/prjphantom" 40 30 5 1 -19.25 s.sg >/dev/null || fail "installed prjphantom"
line=$("$bin/prjslice" s.sg 1 -19.25 5 installed.tif 2>/dev/null)
status=$?
"$build/prjslice" s.sg 1 -19.25 5 built.tif >/dev/null 2>&1
if [[ $status -eq 0 && $line =~ ^-?[0-9]+\.[0-9]{6}$'\t'-?[0-9]+\.[0-9]{6}$ ]] && cmp -s installed.tif built.tif; then
    pass "installed prjslice reconstructs, prints its value line, same bytes as the built one"
else
    fail "installed prjslice: status $status, line '$line'"
fi
err=$("$bin/prjslice-fixed" s.sg 1 -19.25 5 fixed.tif 2>&1 >/dev/null)
if [[ $? -eq 0 && -z $err && -s fixed.tif ]]; then
    pass "installed prjslice-fixed runs, silent on standard error"
else
    fail "installed prjslice-fixed: '$err'"
fi
err=$("$bin/prjslice" s.sg 1 2>&1)
[[ $? -eq 1 && $err == "usage : prjslice SG dr r0/dr ra TG" ]] || fail "installed prjslice usage: '$err'"
# The launcher runs the installed package, from another directory, in a
# clean environment.
mkdir elsewhere
if (cd elsewhere && env -i PATH=/usr/bin:/bin HOME="$work" PYTHONDONTWRITEBYTECODE=1 \
        "$bin/prjstack" --no-bar 1 -19.25 5 ../stack ../s.sg >/dev/null 2>&1) &&
    cmp -s stack/s.tif built.tif && [[ -z $(ls elsewhere) ]]; then
    pass "installed prjstack runs the installed package and the prjslice installed beside it"
else
    fail "installed prjstack"
fi

# The man page.
if ! command -v groff >/dev/null; then
    lacking groff "the man page"
else
    sino_page=$prefix/$mandir/man1/prjsino.1
    rings_page=$prefix/$mandir/man1/prjrings.1
    warnings=$(for p in "$page" "$sino_page" "$rings_page"; do
        groff -man -Tutf8 -ww -z "$p" 2>&1; groff -man -Tascii -ww -z "$p" 2>&1
    done)
    if [[ -z $warnings ]]; then pass "groff renders the pages without warnings, in UTF-8 and in ASCII"; else fail "groff: $warnings"; fi
    if command -v mandoc >/dev/null; then
        lint=$(mandoc -T lint -W warning "$page" "$sino_page" "$rings_page" 2>&1)
        if [[ $? -eq 0 && -z $lint ]]; then pass "mandoc -T lint finds nothing"; else fail "mandoc: $lint"; fi
    else
        lacking mandoc "the lint of the page"
    fi

    # Every message in the sources, without the values formatted into it,
    # must stand in the rendered page.
    text=$(groff -man -Tascii -P-cbou -rLL=250n "$page" 2>/dev/null)
    mapfile -t messages < <(
        grep -ho 'Error("[^"]*")' "$src"/*.cpp | sed 's/^Error("//; s/")$//'
        grep -ho 'fprintf(stderr, "[^"]*"' "$src"/*.cpp | sed 's/^fprintf(stderr, "//; s/"$//' |
            grep -v '^%lf\\t%lf\\n$' | sed 's/%lf:%lf//; s/%s//g; s/\\n$//; s/^ *//; s/ *$//')
    missing=()
    for m in "${messages[@]}"; do
        [[ $text == *"$m"* ]] || missing+=("$m")
    done
    if [[ ${#messages[@]} -ge 12 && ${#missing[@]} -eq 0 ]]; then
        pass "the page names all ${#messages[@]} messages of the sources"
    else
        fail "messages found in the sources: ${#messages[@]}; not in the page: ${missing[*]}"
    fi
fi

if [[ $failures -gt 0 ]]; then
    echo "$failures checks failed"
    exit 1
fi
[[ $skipped -eq 0 ]] || exit 77
echo "all checks passed"
