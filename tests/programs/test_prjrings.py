"""prjrings end to end: raw scans of the textured phantom with each kind of
defective pixel, imported, cleaned, and compared column by column with the
same scan without defects (which has the same noise); the doors to the
method (prjrings in a pipe and on files, prjsino --rings, the package's
remove_rings) agree byte for byte; bad input fails with one message.

Run by CTest through pytest with PRJRINGS_BIN, PRJSINO_BIN and PRJPHANTOM_BIN
naming the programs, PRJSLICE_BIN their directory and PYTHONPATH the package;
PRJRINGS_TEST_SEED draws another phantom and other defects (default 1).
"""

import os
import subprocess

import numpy as np
import pytest

import prjslice

PRJRINGS = os.environ.get("PRJRINGS_BIN", "prjrings")
PRJSINO = os.environ.get("PRJSINO_BIN", "prjsino")
PHANTOM = os.environ.get("PRJPHANTOM_BIN", "prjphantom")

N, M = 512, 360
# One detector row of the textured phantom with Poisson noise, line integrals
# up to about 1; as many flats as projections, so that the flat field adds no
# stripes of its own above the noise.
SCAN = ["--scan", "dx", "--rows", "1", "--poisson", "--texture", "300", "--flats", str(M),
        "--seed", os.environ.get("PRJRINGS_TEST_SEED", "1"), str(N), str(M), "0", repr(4.0 / N),
        repr(-(N - 1) / 2)]


def run(program, *args, stdin=None, status=0):
    result = subprocess.run([program, *map(str, args)], input=stdin, capture_output=True)
    assert result.returncode == status, result.stderr.decode()
    return result


def sinogram(tmp, name, *defects):
    """The header line and samples of the scan's sinogram, with the defects
    asked for."""
    scan = tmp / (name + ".h5")
    run(PHANTOM, *SCAN[:-5], *defects, *SCAN[-5:], scan)
    data = run(PRJSINO, "--rows", "0", scan, "-").stdout
    line, samples = data[:data.index(b"\n") + 1], data[data.index(b"\n") + 1:]
    return line, np.frombuffer(samples, "<f8").reshape(M, N)


def remove(line, samples):
    """prjrings --report on the sinogram: the corrected samples and
    {column: kind} of its report."""
    result = run(PRJRINGS, "--report", "-", "-", stdin=line + samples.tobytes())
    assert result.stdout.startswith(line)
    report = {}
    for text in result.stderr.decode().splitlines()[1:]:
        words = text.split()
        assert words[0] == "column", text
        report[int(words[1])] = words[2]
    return np.frombuffer(result.stdout[len(line):], "<f8").reshape(M, N), report


def same(a, b):
    """Byte for byte, without pytest's diff of megabytes on failure."""
    return a == b


def columns(a, b):
    """The columns where two sinograms differ in any bit."""
    return set(np.flatnonzero((a.view(np.uint64) != b.view(np.uint64)).any(axis=0)).tolist())


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    return sinogram(tmp_path_factory.mktemp("clean"), "clean")


ALL = ["--stripes", "6", "--partial", "6", "--nonlinear", "6", "--dead", "2", "--saturated", "2",
       "--clusters", "2"]


# kind, phantom options, the least share of the defective columns with a
# stripe to speak of (a mean offset of 10 standard errors) that must be found,
# and the largest RMS of their errors after the correction over that before.
# Partial stripes and responses that depend on the intensity leave errors
# that vary along the column, of which an offset takes the level only.
@pytest.mark.parametrize("kind,defects,found,left", [
    ("stripes", ["--stripes", "12"], 1.0, 0.1),
    ("partial", ["--partial", "12"], 0.6, 0.65),
    ("nonlinear", ["--nonlinear", "12"], 0.8, 0.45),
    ("dead", ["--dead", "4"], 1.0, 0.01),
    ("saturated", ["--saturated", "4"], 1.0, 0.01),
    ("clusters", ["--clusters", "4"], 1.0, 0.1),
    ("all", ALL, 0.8, 0.05),
    ("none", [], 1.0, 0.0),
])
def test_defects_are_found_and_corrected_and_sound_columns_kept(tmp_path, clean, kind, defects, found, left):
    line, sound = clean
    defect_line, striped = sinogram(tmp_path, kind, *defects)
    assert defect_line == line
    defective = columns(sound, striped)   # the scans share their noise: only these differ
    assert bool(defective) == bool(defects)
    corrected, report = remove(line, striped)

    # Every column left out of the report keeps its samples bit for bit.
    assert columns(striped, corrected) == set(report)
    assert set(report.values()) <= {"offset", "partial", "dead"}
    # Few columns away from the defects are touched: the texture has a few
    # that look striped at |z| ~ 3, which the test takes where stripes abound
    # (its false discovery rate is a share of the discoveries).
    near = {k + d for k in defective for d in range(-3, 4)}
    assert len(set(report) - near) <= (N // 32 if defects else N // 100), sorted(set(report) - near)
    if not defects:
        return

    error = striped - sound
    noise = np.std(np.diff(sound, axis=0)) / np.sqrt(2)
    striped_columns = [k for k in defective if abs(error[:, k].mean()) > 10 * noise / np.sqrt(M)]
    missed = [k for k in striped_columns if k not in report]
    assert len(missed) <= (1 - found) * len(striped_columns), missed
    after = corrected - sound
    k = sorted(defective)
    assert np.sqrt(np.mean(after[:, k]**2)) <= left * np.sqrt(np.mean(error[:, k]**2))


def test_the_phantom_confines_its_defects_to_their_columns(tmp_path):
    """Without noise, the imported scan with defects is the sound row
    sinogram (texture included) in every column but the defective ones, of
    which each kind asked for is there."""
    geometry = ["--texture", "50", "--rows", "1", "--seed", "3", "64", "40", "0", repr(4 / 64), "-31.5"]
    run(PHANTOM, "--row", "0", *geometry, tmp_path / "row.sg")
    sound = np.frombuffer((tmp_path / "row.sg").read_bytes().split(b"\n", 1)[1], "<f8").reshape(40, 64)
    scan = tmp_path / "scan.h5"
    run(PHANTOM, "--scan", "dx", "--dtype", "float64", "--stripes", "1", "--partial", "1", "--dead", "1",
        "--saturated", "1", *geometry, scan)
    data = run(PRJSINO, scan, "-").stdout
    striped = np.frombuffer(data.split(b"\n", 1)[1], "<f8").reshape(40, 64)
    off = np.abs(striped - sound) > 1e-9
    bad = np.flatnonzero(off.any(axis=0))
    assert len(bad) == 4, bad
    # the stripe, the dead and the saturated pixel in every projection, the
    # partial one in a run of 4 to 20 of the 40
    rows = sorted(off[:, bad].sum(axis=0))
    assert rows[1:] == [40, 40, 40] and 4 <= rows[0] <= 20, rows


def test_the_doors_agree_byte_for_byte(tmp_path):
    """prjrings on a file, in a pipe, prjsino --rings to a directory and to
    standard output, and prjslice.remove_rings give the same samples; the
    header line passes through as it came."""
    scan = tmp_path / "scan.h5"
    run(PHANTOM, *SCAN[:-5], "--rows", "2", *ALL, *SCAN[-5:], scan)
    plain = run(PRJSINO, "--rows", "1", scan, "-").stdout
    piped = run(PRJRINGS, "-", "-", stdin=plain).stdout
    assert not same(piped, plain)
    assert same(run(PRJSINO, "--rings", "--rows", "1", scan, "-").stdout, piped)
    run(PRJSINO, "--rings", scan, tmp_path / "rings")
    assert same((tmp_path / "rings" / "sino_0001.sg").read_bytes(), piped)
    (tmp_path / "plain.sg").write_bytes(plain)
    run(PRJRINGS, tmp_path / "plain.sg", tmp_path / "out.sg")
    assert same((tmp_path / "out.sg").read_bytes(), piped)
    line = plain[:plain.index(b"\n") + 1]
    array = prjslice.remove_rings(prjslice.read_sinogram(tmp_path / "plain.sg"))
    assert same(line + array.astype("<f8").tobytes(), piped)

    # Any header line, however long, goes out as it came in; in place too.
    long = b"%d %d" % (N, M) + b" x" * 2000 + b" ra=0\r\n"
    (tmp_path / "long.sg").write_bytes(long + plain[len(line):])
    run(PRJRINGS, tmp_path / "long.sg", tmp_path / "long.sg")
    assert same((tmp_path / "long.sg").read_bytes(), long + piped[len(line):])


def test_options_reach_the_method(tmp_path):
    """A stricter rate flags fewer columns; the package passes its keywords
    as the program's options."""
    line, striped = sinogram(tmp_path, "all", *ALL)
    strict = run(PRJRINGS, "--fdr", "1e-9", "--report", "-", "-", stdin=line + striped.tobytes())
    loose = run(PRJRINGS, "--report", "-", "-", stdin=line + striped.tobytes())
    count = lambda result: len(result.stderr.splitlines()) - 1   # noqa: E731
    assert 0 < count(strict) < count(loose)
    array, report = prjslice.remove_rings(striped, fdr=1e-9, report=True)
    assert same(line + array.tobytes(), strict.stdout) and report == strict.stderr.decode()
    with pytest.raises(prjslice.ReconstructionError, match="--blocks takes an integer of at least 3: 2"):
        prjslice.remove_rings(striped, blocks=2)


VALID = b"8 6\n" + np.arange(48, dtype="<f8").tobytes()


@pytest.mark.parametrize("stdin,args,status,message", [
    (b"", ["-", "-"], 1, "prjrings: bad sinogram size."),
    (b"8 0\n", ["-", "-"], 1, "prjrings: bad sinogram size."),
    (b"8 6\n" + bytes(8 * 47), ["-", "-"], 1, "prjrings: sinogram read error"),
    # (an id of its own: pytest puts the test's id into the children's environment)
    pytest.param(b"8 6 " + b"x" * (1 << 20), ["-", "-"], 1,
                 "prjrings: sinogram header line longer than 1048576 bytes.", id="long-header"),
    (b"8 6\n" + np.r_[np.zeros(10), np.nan, np.zeros(37)].astype("<f8").tobytes(), ["-", "-"], 1,
     "prjrings: sinogram holds a sample that is not a finite number (row 1, column 2)."),
    (VALID, ["--fdr", "1", "-", "-"], 2, "prjrings: --fdr takes a rate between 0 and 1: 1"),
    (VALID, ["--width=2", "-", "-"], 2, "prjrings: --width takes a period of more than 2 columns: 2"),
    (VALID, ["--dead", "0", "-", "-"], 2, "prjrings: --dead takes a positive threshold: 0"),
    (VALID, ["-", "-", "--window"], 2, "prjrings: option --window needs a value"),
    (VALID, ["--rings", "-", "-"], 2, "prjrings: unknown option --rings"),
    (VALID, ["-"], 2, "prjrings: expected SG and OUT, got 1 operands"),
])
def test_bad_input_fails_with_one_message(stdin, args, status, message):
    result = run(PRJRINGS, *args, stdin=stdin, status=status)
    assert result.stderr.decode().splitlines()[0] == message
    assert result.stdout == b""


def test_small_sinograms_pass_unchanged_and_a_failed_write_keeps_out(tmp_path):
    small = b"4 6 row=1\n" + np.arange(24, dtype="<f8").tobytes()
    result = run(PRJRINGS, "--report", "-", "-", stdin=small)
    assert same(result.stdout, small)
    assert result.stderr.decode() == ("prjrings: 4 columns, 6 projections: too small to test for stripes (at "
                                      "least 5 columns and 6 projections); nothing corrected\n")
    (tmp_path / "out.sg").write_bytes(b"kept")
    run(PRJRINGS, "-", tmp_path / "out.sg", stdin=VALID[:-8], status=1)
    assert (tmp_path / "out.sg").read_bytes() == b"kept"
    assert os.listdir(tmp_path) == ["out.sg"]
    failed = run(PRJRINGS, "-", "/dev/full", stdin=VALID, status=1)
    assert failed.stderr.decode() == "prjrings: /dev/full: cannot write: No space left on device\n"
