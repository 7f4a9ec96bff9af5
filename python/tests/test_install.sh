#!/bin/sh
# The Python package installed into a temporary prefix:
#   test_install.sh CMAKE BUILD_DIR PYTHON PYTHON_DIR BINDIR
#
# - cmake --install puts it in PREFIX/PYTHON_DIR, with the path to PREFIX/BINDIR;
# - imported from there in a clean environment (no PRJSLICE_BIN, PATH without
#   the programs, another working directory), it runs the installed programs
#   and gets the built prjslice's pixels and value line;
# - a DESTDIR install records the same relative path.
# Skips (77) when numpy is missing, except under CI.

set -u
cmake=$1 build=$(cd "$2" && pwd) python=$3 pydir=$4 bindir=$5

if ! "$python" -c "import numpy" 2>/dev/null; then
    if [ -n "${CI:-}" ]; then echo "FAILED: numpy is not installed (scripts/deps.sh installs it)"; exit 1; fi
    echo "SKIPPED: numpy is not installed"
    exit 77
fi

work=$(mktemp -d /tmp/prjslice-python-install-XXXXXX) || exit 1
trap 'rm -rf -- "$work"' EXIT
prefix=$work/prefix
for dest in "" "$work/stage"; do
    if ! DESTDIR=$dest "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
        cat "$work/install.log"
        echo "FAILED: cmake --install (DESTDIR '$dest')"
        exit 1
    fi
done
if ! cmp "$prefix/$pydir/prjslice/_install.py" "$work/stage$prefix/$pydir/prjslice/_install.py"; then
    echo "FAILED: a DESTDIR install records another path to the programs"
    exit 1
fi

cd "$work" || exit 1
"$build/prjphantom" 40 30 5 1 -19.25 s.sg >/dev/null &&
    "$build/prjslice" s.sg 1 -19.25 5 built.tif >built.line 2>/dev/null &&
    "$build/prjaxis" s.sg >built.axis || { echo "FAILED: the built programs"; exit 1; }
mkdir elsewhere && cd elsewhere || exit 1
env -i PATH=/usr/bin:/bin HOME="$work" PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$prefix/$pydir" \
    "$python" - "$prefix" "$prefix/$bindir" <<'EOF'
import os, sys
import numpy as np
import prjslice

prefix, bindir = sys.argv[1:]
assert prjslice.__file__.startswith(prefix + "/"), prjslice.__file__
assert os.path.samefile(prjslice.bindir(), bindir), prjslice.bindir()
samples = prjslice.read_sinogram("../s.sg")
image, run = prjslice.reconstruct(samples, 1, -19.25, 5, info=True)
tif = open("../built.tif", "rb").read()
# The built TIFF holds its 40 x 40 float32 samples from byte 8 on.
assert image.tobytes() == np.frombuffer(tif, "<f4", 1600, 8).tobytes(), "pixels differ"
assert run.value_line + "\n" == open("../built.line").read(), run.value_line
axis = prjslice.find_axis(samples)
assert axis == float(open("../built.axis").read()), axis
assert os.listdir(".") == []
print("ok - the installed package runs the installed programs: the built pixels, value line and axis %.3f" % axis)
EOF
