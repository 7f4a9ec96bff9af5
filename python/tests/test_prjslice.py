"""The package against the command line: the same pixels, lines, messages
and axis; the sinogram format byte for byte; stacks; failures, interruptions
and what they leave behind."""

import _thread
import json
import os
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import prjslice
from prjslice._axis_fit import fit_axis_line, spread_rows
from conftest import children, command_line, need


def sinogram(M, N, seed):
    return np.random.default_rng(seed).uniform(0.0, 2.0, (M, N))


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def cli_slice(tmp_path, samples, dr=1.0, r0=None, ra=0.0, bands=None, fixed=False):
    """The command line's (status, image as tifffile reads it, stdout, stderr)."""
    path, tif = tmp_path / "in.sg", tmp_path / "out.tif"
    prjslice.write_sinogram(path, samples)
    r0 = -(samples.shape[1] - 1) / 2 if r0 is None else r0
    env = {"BPF_RANGE": None if bands is None else ", ".join("%.17g:%.17g" % band for band in bands)}
    status, out, err = command_line("prjslice-fixed" if fixed else "prjslice", path, dr, r0, ra, tif, env=env)
    image = need("tifffile").imread(tif) if status == 0 else None
    path.unlink(), tif.unlink(missing_ok=True)
    return status, image, out, err


# M, N, dr, r0/dr, ra, bands, fixed, the form the samples are given in
GEOMETRIES = [
    (20, 33, 1.0, None, 0.0, None, False, lambda a: a),
    (31, 48, 1.0, -20.25, 0.0, None, False, lambda a: a.astype(">f8")),
    (25, 40, 0.75, -17.5, 33.3, None, False, np.asfortranarray),
    (24, 37, -0.5, None, -12.0, None, False, lambda a: a.astype(np.float32)),
    (40, 64, 1.0, -30.0, 0.0, [(0.0, 0.1), (0.2, 0.35)], False, lambda a: a.tolist()),
    (22, 35, 2.5, -3.0, 90.0, None, True, lambda a: a),
    (1, 2, 1.0, None, 0.0, None, False, lambda a: a),
]


@pytest.mark.parametrize("M, N, dr, r0, ra, bands, fixed, form", GEOMETRIES)
def test_same_as_command_line(tmp_path, monkeypatch, M, N, dr, r0, ra, bands, fixed, form):
    monkeypatch.setenv("BPF_RANGE", "0:0.05")  # the caller's, never passed on
    samples = form(sinogram(M, N, seed=N))
    image, run = prjslice.reconstruct(samples, dr, r0, ra, bands=bands, fixed=fixed, info=True)
    status, expected, out, err = cli_slice(tmp_path, np.asarray(samples, dtype=np.float64), dr, r0, ra, bands, fixed)
    assert status == 0
    assert image.dtype == np.float32 and image.shape == (N, N) and image.flags.writeable
    assert np.array_equal(bits(image), bits(expected))
    assert run.value_line + "\n" == out
    assert (run.min, run.max) == tuple(float(v) for v in out.split("\t"))
    assert run.stderr == err and (err == "") == fixed


# prjaxis's sinograms: phantoms (prjphantom N M ra dr r0/dr), one whose last
# projection slipped 4 bins (its two estimates disagree: a warning), and two
# that do not determine the axis.
AXES = [(64, 60, 0, 1, -30.25), (101, 90, 17, 1, -45.5), "slipped", np.ones((10, 10)), sinogram(2, 10, 1)]


@pytest.mark.parametrize("case", AXES)
def test_find_axis_as_prjaxis(tmp_path, case):
    path, slipped = tmp_path / "in.sg", isinstance(case, str)
    if not isinstance(case, np.ndarray):
        assert command_line("prjphantom", *((128, 90, 0, 1, -63.5) if slipped else case), path)[0] == 0
        case = prjslice.read_sinogram(path)
        if slipped:
            case[-1] = np.concatenate([np.zeros(4), case[-1, :-4]])
    prjslice.write_sinogram(path, case)
    status, out, err = command_line("prjaxis", path)
    path.unlink()
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        try:
            assert prjslice.find_axis(case) == float(out) and status == 0
        except prjslice.ReconstructionError as failed:
            assert (str(failed) + "\n", failed.returncode, out) == (err, status, "")
            err = ""
    assert "".join(str(w.message) + "\n" for w in warned if w.category is prjslice.AxisWarning) == err
    assert len(warned) == slipped


# Sinogram files: the header line and the number of samples after it; the
# fields read and whether writing them back gives the same bytes, or the
# message that both read_sinogram and prjslice refuse the file with.
FILES = [
    (b"5 3\n", 15, {}, True),
    (b"5 3 ra=12.345678901234567 row=7\n", 15, {"ra": 12.345678901234567, "row": 7}, True),
    (b"4 2 ra=0.10000000000000001 row=-1\n", 8, {"ra": 0.1, "row": -1}, True),
    (b"3 4 ra=-1e-300\n", 12, {"ra": -1e-300}, True),
    (b"3 1 ra=-0 row=0\n", 3, {"ra": -0.0, "row": 0}, True),
    (b"3 2 \r\n", 6, {}, False),
    (b"3 2 made by x note=a=b\n", 6, {"note": "a=b"}, False),
    (b"3 2 row=4 " + b"#" * 3000 + b" ra=1\n", 6, {"row": 4}, False),  # beyond 2047 bytes: skipped
    (b"", 0, "bad sinogram size.", None),
    (b"5\n3\n", 15, "bad sinogram size.", None),
    (b"0 3\n", 0, "bad sinogram size.", None),
    (b"2147483648 1\n", 0, "bad sinogram size.", None),
    (b"5.0 3\n", 15, "bad sinogram size.", None),
    (b"5 3\n", 14, "sinogram read error", None),
    (b"5 3 ra=east\n", 15, "bad sinogram header field ra=east", None),  # prjslice reads these
    (b"5 3 row=1.5\n", 15, "bad sinogram header field row=1.5", None),
]


@pytest.mark.parametrize("line, count, expected, same", FILES)
def test_sinogram_files(tmp_path, line, count, expected, same):
    # Random doubles, -0.0 and a NaN with a payload: every bit must survive.
    values = np.random.default_rng(count).normal(size=count).view(np.uint64)
    values[:2] = [0x8000000000000000, 0x7FF8DEADBEEF0001][:count]
    data = line + values.astype("<u8").tobytes()
    (tmp_path / "a.sg").write_bytes(data + (b"" if same is None else b"not read"))
    status, _, err = command_line("prjslice", tmp_path / "a.sg", 1, -0.5, 0, tmp_path / "a.tif")
    (tmp_path / "a.tif").unlink(missing_ok=True)
    refused = same is None and "field" not in expected
    assert (status == 1 and err.endswith(expected + "\n")) if refused else status == 0
    if same is None:
        with pytest.raises(ValueError) as refused:
            prjslice.read_sinogram(tmp_path / "a.sg")
        assert str(refused.value) == expected
        return
    N, M = map(int, line.split()[:2])
    samples, fields = prjslice.read_sinogram(tmp_path / "a.sg", meta=True)
    assert fields == expected and [type(v) for v in fields.values()] == [type(v) for v in expected.values()]
    assert samples.dtype == np.float64 and samples.shape == (M, N) and samples.flags.writeable
    assert samples.tobytes() == data[len(line):]
    prjslice.write_sinogram(tmp_path / "b.sg", samples, **(fields if same else {}))
    assert (tmp_path / "b.sg").read_bytes() == (data if same else b"%d %d\n" % (N, M) + data[len(line):])
    with pytest.raises(TypeError, match="not angle"):
        prjslice.write_sinogram(tmp_path / "c.sg", samples, angle=3)


@pytest.mark.parametrize("iterable", [False, True])
def test_stack_slice_by_slice(capfd, iterable):
    need("tqdm")
    stack = np.stack([sinogram(30, 41, seed=s) for s in range(5)])
    given = (s for s in stack) if iterable else stack
    images, runs = prjslice.reconstruct_stack(given, 0.5, -19.0, 7.5, jobs=2, progress=True, info=True,
                                              bands=[(0.05, 0.4)])
    assert images.shape == (5, 41, 41) and images.dtype == np.float32
    for s in range(5):
        image, run = prjslice.reconstruct(stack[s], 0.5, -19.0, 7.5, bands=[(0.05, 0.4)], info=True)
        assert np.array_equal(bits(images[s]), bits(image)) and runs[s] == run
    assert ("5slice" if iterable else "5/5") in capfd.readouterr().err


# A stand-in that refuses sinograms starting with a negative sample.
FAIL_NEGATIVE = """#!/usr/bin/python3
import struct, subprocess, sys
data = sys.stdin.buffer.read()
if struct.unpack_from("<d", data, data.index(b"\\n") + 1)[0] < 0:
    sys.exit("sinogram read error")
sys.exit(subprocess.run(["REAL"] + sys.argv[1:], input=data).returncode)
"""


def test_stack_with_failed_slices(standin):
    """Slices 1 and 3 fail; the others are finished and kept."""
    stack = np.stack([sinogram(12, 16, seed=s) for s in range(5)])
    stack[[1, 3], 0, 0] = -1
    standin("prjslice", FAIL_NEGATIVE)
    with pytest.raises(prjslice.ReconstructionError) as failed:
        prjslice.reconstruct_stack(list(stack), jobs=3)
    error = failed.value
    assert str(error) == "slice 1: sinogram read error (2 of 5 slices failed: 1, 3)"
    assert [(e.slice, e.message, e.returncode) for e in error.failures] == [(1, "sinogram read error", 1),
                                                                             (3, "sinogram read error", 1)]
    for s in range(5):
        expected = np.full((16, 16), np.nan) if s in (1, 3) else prjslice.reconstruct(stack[s])
        assert np.array_equal(bits(error.partial[s]), bits(expected))


# Failed runs: the program's own message, status and standard error, as on
# the command line.
FAILURES = [
    (dict(r0=5.0), "bad detector offset (unit in detector interval)."),
    (dict(r0=-15.0), "bad detector offset (unit in detector interval)."),
    (dict(dr=0.0), "bad detector interval."),
    (dict(ra=float("inf")), "bad start angle."),
    (dict(bands=[(0.3, 0.1)]), "0.300000:0.100000 : bad range."),
    (dict(bands=[(0.0, 0.2), (0.1, 0.3)]), "0.100000:0.300000 : overlapping range."),
    (dict(bands=[]), "no range : "),
]


@pytest.mark.parametrize("options, message", FAILURES)
def test_failure_carries_the_program_text(tmp_path, options, message):
    samples = sinogram(10, 16, seed=2)
    with pytest.raises(prjslice.ReconstructionError) as failed:
        prjslice.reconstruct(samples, **options)
    status, _, _, err = cli_slice(tmp_path, samples, **options)
    error = failed.value
    assert (str(error), error.message, error.returncode, error.stderr) == (message, message, status, err)
    assert error.slice is None and os.path.basename(error.program) == "prjslice"


# Programs that end badly in other ways: (which, stand-in, the message, the
# exit status); the image a stand-in cuts short is the real program's.
BROKEN = [
    ("prjslice", "kill -KILL $$", "prjslice ended by signal SIGKILL", -9),
    ("prjslice", "exit 3", "prjslice failed with exit status 3", 3),
    ("prjslice", "cat >/dev/null", "prjslice: wrote no little-endian TIFF", 0),
    ("prjslice", "REAL \"$@\" | head -c 200", "prjslice: wrote a TIFF cut short at byte 200", 0),
    ("prjaxis", "cat >/dev/null", "prjaxis wrote no axis", 0),
]


@pytest.mark.parametrize("name, script, message, status", BROKEN)
def test_broken_runs_raise_reconstruction_errors(standin, name, script, message, status):
    standin(name, "#!/bin/sh\n" + script + "\n")
    call = prjslice.find_axis if name == "prjaxis" else prjslice.reconstruct
    with pytest.raises(prjslice.ReconstructionError) as failed:
        call(sinogram(10, 16, seed=5))
    assert (str(failed.value), failed.value.returncode) == (message, status)


def test_failed_slices_in_slice_order(standin, tmp_path):
    """Slice 0 fails after slice 1 has: the errors still come in slice order."""
    standin("prjslice", """#!/bin/sh
read N M rest
if [ "$M" = 2 ]; then
    while [ ! -e %s ]; do sleep 0.01; done
    echo first >&2
else
    touch %s
    echo second >&2
fi
exit 1
""" % ((tmp_path / "flag",) * 2))
    with pytest.raises(prjslice.ReconstructionError) as failed:
        prjslice.reconstruct_stack([np.ones((2, 4)), np.ones((3, 4))], jobs=2)
    assert str(failed.value) == "slice 0: first (2 of 2 slices failed: 0, 1)"
    assert [e.message for e in failed.value.failures] == ["first", "second"]


def test_no_child_starts_after_stop():
    children = prjslice._programs.Children()
    children.stop()
    with pytest.raises(InterruptedError):
        children.run(prjslice._programs.program("prjslice"), ["-", "1", "-1", "0", "-"], b"3 3\n",
                     np.ones((3, 3)), None)


@pytest.mark.parametrize("value", [np.ones(5), np.ones((2, 3, 4)), np.ones((0, 4)), np.ones((3, 2)) * 1j,
                                   [["a"]], [[1, 2], [3]]])
def test_refused_arrays(value):
    for call in (prjslice.reconstruct, prjslice.find_axis, lambda v: prjslice.reconstruct_stack([v])):
        with pytest.raises(ValueError):
            call(value)
    with pytest.raises(ValueError, match="full build"):
        prjslice.reconstruct(np.ones((3, 3)), bands=[(0, 0.5)], fixed=True)


def interrupt_when(count):
    """Sends SIGINT to the main thread once count children are running."""
    main = threading.get_ident()

    def watch():
        deadline = time.monotonic() + 20
        while len(children()) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        signal.pthread_kill(main, signal.SIGINT)

    threading.Thread(target=watch, daemon=True).start()


@pytest.mark.parametrize("call, running", [
    (lambda s: prjslice.reconstruct(s), 1),
    (lambda s: prjslice.reconstruct_stack([s] * 6, jobs=3), 3),
    (lambda s: prjslice.find_axis(s), 1),
])
def test_interrupted_call_kills_its_children(standin, call, running):
    for name in ("prjslice", "prjaxis"):
        standin(name, "#!/bin/sh\nexec sleep 60\n")
    interrupt_when(running)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        call(sinogram(10, 16, seed=4))
    assert time.monotonic() - started < 10 and children() == []


class InterruptAt:
    """A trace of the lines that the package, subprocess and the thread pool
    run, on any thread, which at the point-th line first reached delivers
    SIGINT as the kernel would: Python runs the handler on the main thread,
    at its next instruction. point None only counts the lines."""

    FILES = ("/prjslice/", "/subprocess.py", "/concurrent/futures/thread.py")

    def __init__(self, point=None):
        self.point, self.lines, self.lock, self.reached = point, 0, threading.Lock(), set()
        self.delivered = False

    def __call__(self, frame, event, arg):
        if event != "call" or not any(f in frame.f_code.co_filename for f in self.FILES):
            return None
        return self.line

    def line(self, frame, event, arg):
        if event == "line":
            with self.lock:
                where = (frame.f_code.co_filename, frame.f_lineno)
                now = where not in self.reached
                if now:
                    self.reached.add(where)
                    self.lines += 1
                    now = self.lines == self.point
            if now:
                self.delivered = True
                _thread.interrupt_main()
        return self.line

    def run(self, call):
        """call() under the trace; whether a KeyboardInterrupt left it (or
        arrived just after it returned). Threads interleave differently from
        run to run, so a point near the end may not be reached: then no
        interrupt is delivered."""
        threading.settrace(self)
        sys.settrace(self)
        try:
            try:
                call()
            finally:
                sys.settrace(None)
                threading.settrace(None)
            for _ in range(1000):  # lets a pending handler run here
                pass
        except KeyboardInterrupt:
            return True
        except prjslice.ReconstructionError:
            pass
        return False


@pytest.mark.parametrize("call", [
    lambda s: prjslice.reconstruct(s),
    lambda s: prjslice.reconstruct_stack([s] * 3, jobs=2),
    lambda s: prjslice.find_axis(s),
])
def test_interrupt_at_every_point_of_the_start(call):
    """Ctrl-C at each line of starting, running and reaping the children:
    the call ends by KeyboardInterrupt with no child left, running or
    unreaped."""
    samples = sinogram(4, 6, seed=4)
    count = InterruptAt()
    assert not count.run(lambda: call(samples)) and count.lines > 100
    for point in range(1, count.lines + 1):
        interrupt = InterruptAt(point)
        assert interrupt.run(lambda: call(samples)) == interrupt.delivered, point
        assert children() == [], point


def test_finding_the_programs(monkeypatch, tmp_path):
    monkeypatch.setenv("PRJSLICE_BIN", str(tmp_path / "nowhere"))
    with pytest.raises(FileNotFoundError, match="nowhere/prjslice is not an executable"):
        prjslice.reconstruct(np.ones((3, 3)))
    monkeypatch.delenv("PRJSLICE_BIN")
    monkeypatch.setenv("PATH", os.path.dirname(prjslice._programs.__file__))
    with pytest.raises(FileNotFoundError, match="set PRJSLICE_BIN"):
        prjslice.find_axis(np.ones((3, 3)))


# ---------------------------------------------------------------------------
# A raw scan to a volume: the images and value lines of prjslice on the
# sinogram files prjsino writes, the axis prjaxis finds on them, the report.

def phantom_scan(path):
    """A Data Exchange scan of 6 rows of 48 columns, 40 projections from 10
    degrees, the axis off the detector centre."""
    if not os.access(os.path.join(prjslice.bindir(), "prjsino"), os.X_OK):
        pytest.skip("prjsino is not built (PRJSLICE_IMPORT=OFF)")
    status, _, err = command_line("prjphantom", "--scan", "dx", "--rows", 6, 48, 40, 10, 0.04, -21.75, path)
    assert status == 0, err
    return path


# rows, r0, band, jobs
SCANS = [(None, "auto", 4, 2), (range(1, 4), -21.75, 1, 1), (3, None, 64, None), ((2, 6), "auto", 3, 3)]


@pytest.mark.parametrize("rows, r0, band, jobs", SCANS)
def test_scan_to_volume_as_the_command_line(tmp_path, rows, r0, band, jobs):
    tifffile = need("tifffile")
    scan = phantom_scan(tmp_path / "scan.h5")
    images, info = prjslice.reconstruct_scan(scan, rows, 0.04, r0, band=band, jobs=jobs, info=True)
    first, end = (0, 6) if rows is None else (rows, rows + 1) if isinstance(rows, int) else \
        (rows.start, rows.stop) if isinstance(rows, range) else rows
    selection = ["--rows", "%d:%d" % (first, end)]
    status, out, err = command_line("prjsino", "--info", "--format", "json", *selection, scan)
    assert status == 0 and info.report == json.loads(out)
    assert command_line("prjsino", *selection, scan, tmp_path / "sg")[0] == 0
    files = sorted(os.listdir(tmp_path / "sg"))
    assert info.rows == [int(f[5:9]) for f in files] and info.ra == 10
    if r0 == "auto":   # the line through prjaxis's estimates on five rows spread over the selection
        spread = [info.rows[k] for k in spread_rows(0, len(files) - 1)]
        fit = fit_axis_line({row: float(command_line("prjaxis", tmp_path / "sg" / ("sino_%04d.sg" % row))[1])
                             for row in spread})
        r0 = [fit.at(row) for row in info.rows]
    assert info.r0 == (-23.5 if r0 is None else r0)
    assert images.shape == (len(files), 48, 48) and images.dtype == np.float32
    for k, (image, run, name) in enumerate(zip(images, info.runs, files)):
        status, out, _ = command_line("prjslice", tmp_path / "sg" / name, 0.04,
                                      repr(info.r0[k] if isinstance(info.r0, list) else info.r0), 10,
                                      tmp_path / "s.tif")
        assert status == 0 and run.value_line + "\n" == out
        assert np.array_equal(bits(image), bits(tifffile.imread(tmp_path / "s.tif")))
    assert len(info.importer) == -(-len(files) // band) and "40 of 40 projections kept" in info.importer[0]


# arguments, the error and its text
SCAN_FAILURES = [
    (dict(rows=(3, 9)), prjslice.ReconstructionError, "prjsino: rows 3 to 8 lie outside the detector, whose rows "
                                                      "are 0 to 5"),
    (dict(clip=3), ValueError, "prjsino: --clip takes a transmission in (0, 1]: 3.0"),
    (dict(raw=True, no_log=True), ValueError, "prjsino: --raw and --no-log exclude each other"),
    (dict(rows=range(0, 6, 2)), ValueError, "rows must be consecutive, not range(0, 6, 2)"),
    (dict(r0="middle"), ValueError, "r0 must be a number, None or \"auto\", not 'middle'"),
    (dict(band=0), ValueError, "band must be at least 1 row, not 0"),
    (dict(r0=5.0, rows=(1, 3)), prjslice.ReconstructionError, "slice 0: bad detector offset (unit in detector "
                                                             "interval). (2 of 2 slices failed: 0, 1)"),
    (dict(standin="#!/bin/sh\ncat >/dev/null\necho 'no axis here' >&2\nexit 1\n"), prjslice.ReconstructionError,
     "no row determines the axis (no axis here)"),
]


@pytest.mark.parametrize("arguments, error, text", SCAN_FAILURES)
def test_scan_failures_carry_the_program_text(tmp_path, standin, arguments, error, text):
    scan = phantom_scan(tmp_path / "scan.h5")
    if "standin" in arguments:
        standin("prjaxis", arguments.pop("standin"))
    with pytest.raises(error) as failed:
        prjslice.reconstruct_scan(scan, dr=0.04, **arguments)
    assert str(failed.value) == text


def test_interrupted_scan_kills_its_children(tmp_path, standin):
    """Interrupted while prjsino streams and two slices run."""
    scan = phantom_scan(tmp_path / "scan.h5")
    standin("prjslice", "#!/bin/sh\nexec sleep 60\n")
    interrupt_when(3)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        prjslice.reconstruct_scan(scan, dr=0.04, r0=-21.75, jobs=2)
    assert time.monotonic() - started < 10 and children() == []
