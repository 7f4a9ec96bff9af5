"""prjsino end to end: raw scans written here by independent writers (h5py,
tifffile) from known line integrals, converted, and the sinograms read back.

Run by CTest through pytest with PRJSINO_BIN naming the program.
"""

import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import time

import numpy as np
import pytest

if os.environ.get("CI"):   # continuous integration installs the writers: a missing one fails
    import h5py
    import tifffile
else:
    h5py = pytest.importorskip("h5py")
    tifffile = pytest.importorskip("tifffile")

PRJSINO = os.environ.get("PRJSINO_BIN", "prjsino")

ROWS, N, M = 5, 48, 60          # detector rows, columns, projections per half turn
I0, DARK = 30000.0, 100.0


def line_integrals(frames, rows=ROWS):
    """A smooth p(frame, row, column) between about 0.2 and 1.4."""
    m = np.arange(frames)[:, None, None]
    r = np.arange(rows)[None, :, None]
    c = np.arange(N)[None, None, :]
    return 0.8 + 0.5 * np.sin(c / 6.0 + m * 0.07) * np.cos(r / 2.5) + 0.1 * r / rows


def detector(rows=ROWS):
    """Per-pixel gain and dark level."""
    rng = np.random.default_rng(7)
    return rng.uniform(0.9, 1.1, (rows, N)), DARK + rng.uniform(0, 8, (rows, N))


def counts(values, dtype):
    """Counts as the detector stores them: rounded and clamped for integers."""
    dtype = np.dtype(dtype)
    if dtype.kind in "ui":
        info = np.iinfo(dtype)
        return np.clip(np.rint(values), info.min, info.max).astype(dtype)
    return values.astype(dtype)


def dead_pid():
    """The id of a process that has ended and been reaped."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


def file_size_limit(size):
    """A preexec_fn that limits the files a child writes to size bytes (ulimit -f), or None."""
    return None if size is None else lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size,) * 2)


def run(*args, env=None, check=True, file_size=None):
    """prjsino with args; file_size: a limit (ulimit -f) in bytes on the files it writes."""
    limit = file_size_limit(file_size)
    result = subprocess.run([PRJSINO, *map(str, args)], capture_output=True, text=True,
                            env=None if env is None else {**os.environ, **env}, preexec_fn=limit)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def read_sinogram(path):
    data = open(path, "rb").read()
    header, _, samples = data.partition(b"\n")
    fields = header.decode().split()
    n, m = int(fields[0]), int(fields[1])
    meta = dict(f.split("=", 1) for f in fields[2:])
    values = np.frombuffer(samples, "<f8")
    assert values.size == n * m
    return values.reshape(m, n), meta


def expected(projections, flats, darks):
    """-ln((I - D)/(F - D)) from the stored counts, in double precision."""
    dark = darks.astype(np.float64).mean(axis=0)
    span = flats.astype(np.float64).mean(axis=0) - dark
    return -np.log((projections.astype(np.float64) - dark) / span)


def check_sinograms(outdir, want, ra, rows=range(ROWS)):
    """Every row's file: name, header and samples (to rounding)."""
    names = sorted(os.listdir(outdir))
    assert names == ["sino_%04d.sg" % r for r in rows]
    for r in rows:
        values, meta = read_sinogram(os.path.join(outdir, "sino_%04d.sg" % r))
        # these frames are not the projections of an object: the axis their
        # mirror image gives, where the scan has the frame half a turn on, is
        # checked on the phantom's scans instead
        meta.pop("axis", None)
        assert meta == {"ra": "%.17g" % ra, "row": str(r)}
        np.testing.assert_allclose(values, want[:, r, :], rtol=0, atol=1e-12)


def write_dx(path, proj, flats, darks, theta, units=None, **options):
    with h5py.File(path, "w") as f:
        f.create_dataset("/exchange/data", data=proj, **options)
        f.create_dataset("/exchange/data_white", data=flats, **options)
        f.create_dataset("/exchange/data_dark", data=darks, **options)
        if theta is not None:
            f["/exchange/theta"] = theta
            if units:
                f["/exchange/theta"].attrs["units"] = units


def write_nxtomo(path, frames, keys, angles, entry="entry", units="degree", mode="w"):
    """keys as given when an array (floats included), else int32."""
    with h5py.File(path, mode) as f:
        g = f.create_group(entry)
        g.attrs["NX_class"] = "NXentry"
        g["definition"] = "NXtomo"
        g.create_dataset("instrument/detector/data", data=frames)
        g["instrument/detector/image_key"] = keys if isinstance(keys, np.ndarray) else np.asarray(keys, np.int32)
        g["sample/rotation_angle"] = angles
        g["sample/rotation_angle"].attrs["units"] = units


# ---------------------------------------------------------------------------
# Containers and sample types: the sinograms equal -ln((I - D)/(F - D)) of
# the stored counts to rounding, and the true line integrals to the rounding
# of the counts.

@pytest.mark.parametrize("container,dtype,byteorder", [
    ("dx", "u2", "<"), ("dx", "f4", ">"), ("dx-chunked", "u2", "<"), ("dx-deflate", "u2", "<"), ("dx-lz4", "u2", "<"),
    ("dx-blosc", "u4", "<"), ("nxtomo", "u2", ">"), ("nxtomo", "f8", "<"),
    ("tiff", "u1", "<"), ("tiff", "u2", ">"), ("tiff", "i4", "<"), ("tiff", "f4", ">"),
    ("tiff", "f8", "<"), ("tiff-multi", "u2", "<"), ("tiff-multi", "f4", ">"),
    ("tiff", "i2", ">"), ("tiff-multi", "i2", "<"),
])
def test_round_trip(tmp_path, container, dtype, byteorder):
    gain, dark = detector()
    i0 = I0
    if dtype == "u1":   # counts up to 255
        i0, dark = 120.0, dark - 90
    if dtype == "i2":   # an offset-corrected detector: darks below 0, read wrongly as unsigned
        i0, dark = 20000.0, dark - 150
    p = line_integrals(M + 1)           # an inclusive half turn: the end frame is left out
    proj = counts(gain * i0 * np.exp(-p) + dark, byteorder + dtype)
    flats = counts(np.repeat((gain * i0 + dark)[None], 3, 0), byteorder + dtype)
    darks = counts(np.repeat(dark[None], 2, 0), byteorder + dtype)
    theta = np.linspace(10, 190, M + 1)
    scan = tmp_path / "scan.h5"
    args = []
    if container.startswith("dx"):
        compression = {"dx-chunked": {}, "dx-deflate": {"compression": "gzip"}, "dx-lz4": {"compression": 32004},
                       "dx-blosc": {"compression": 32001}}.get(container)
        if compression is not None:
            compression["chunks"] = (1, ROWS, N)
        write_dx(scan, proj, flats, darks, theta, **(compression or {}))
    elif container == "nxtomo":
        frames = np.concatenate([darks, flats, proj]).astype(proj.dtype)   # numpy's concatenation is native-endian
        keys = [2] * 2 + [1] * 3 + [0] * (M + 1)
        write_nxtomo(scan, frames, keys, np.concatenate([[10] * 5, theta]), entry="entry1/tomo_entry")
    else:
        scan = tmp_path / "raw"
        scan.mkdir()
        if container == "tiff":
            # unpadded numbers: only a natural sort puts proj_10 after proj_9
            for k, frame in enumerate(proj):
                tifffile.imwrite(scan / ("proj_%d.tif" % k), frame, photometric="minisblack")
            for kind, stack in (("flat", flats), ("dark", darks)):
                for k, frame in enumerate(stack):
                    tifffile.imwrite(scan / ("%s_%d.tif" % (kind, k)), frame, photometric="minisblack")
            pattern = "raw/%s_*.tif"
        else:
            for kind, stack in (("proj", proj), ("flat", flats), ("dark", darks)):
                tifffile.imwrite(scan / ("%s.tif" % kind), stack, photometric="minisblack")
            pattern = "raw/%s.tif"
        os.chdir(tmp_path)
        scan = pattern % "proj"
        args = ["--flats", pattern % "flat", "--darks", pattern % "dark", "--angles", "10:190"]
    # the blosc plugin keeps a context it never frees, which the sanitizer
    # build's leak checker would report as ours
    env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"} if "blosc" in container else None
    run(*args, scan, tmp_path / "out", env=env)
    check_sinograms(tmp_path / "out", expected(proj, flats, darks)[:M], 10)
    kind = {"u": "uint", "i": "int", "f": "float"}[np.dtype(dtype).kind] + str(8 * np.dtype(dtype).itemsize)
    order = "" if dtype == "u1" else ", big-endian" if byteorder == ">" else ", little-endian"
    assert "sample type  %s%s\n" % (kind, order) in run("--info", *args, scan, env=env).stdout
    # the rounding of the stored counts bounds the error against the truth:
    # dp = dI/(I - D) - dF/(F - D) + dD (1/(I - D) - 1/(F - D))
    rounding = 0.5 if np.dtype(dtype).kind in "ui" else 1e-6 * i0
    bound = 2 * rounding * (1 / (gain * i0 * np.exp(-p[:M])).min() + 1 / (gain * i0).min())
    for r in range(ROWS):
        values, _ = read_sinogram(tmp_path / "out" / ("sino_%04d.sg" % r))
        assert np.abs(values - p[:M, r]).max() <= bound


# The phantom's raw scans against the exact sinograms of its rows.

PRJPHANTOM = os.environ.get("PRJPHANTOM_BIN", "prjphantom")


@pytest.mark.parametrize("scan_format,options", [
    ("dx", ["--dtype", "uint16", "--end-frame", "--big-endian"]),
    ("nxtomo", ["--dtype", "float32", "--flats-after", "--drift", "0.08", "--invalid-frame",
                "--entry", "entry1/tomo", "--radians"]),
    ("nxtomo", ["--dtype", "uint16", "--full-turn", "--compress", "deflate"]),
    ("tiff", ["--dtype", "uint16", "--end-frame"]),
    ("tiff-multi", ["--dtype", "float32", "--big-endian"]),
])
def test_phantom_scans_give_the_line_integrals_of_their_rows(tmp_path, scan_format, options):
    rows, n, m, geometry = 4, 40, 36, ["12.5", "0.04", "-21.25"]   # ra, dr, r0/dr: the axis off centre
    out = tmp_path / ("scan.h5" if scan_format in ("dx", "nxtomo") else "scan")
    subprocess.run([PRJPHANTOM, "--scan", scan_format, "--rows", str(rows), *options, str(n), str(m),
                    *geometry, out], check=True, capture_output=True)
    args = ["--half", "1", out] if "--full-turn" in options else [out]
    if scan_format == "tiff":
        end = 12.5 + (m if "--end-frame" in options else m - 1) * 180 / m
        args = ["--flats", out / "flat_*.tif", "--darks", out / "dark_*.tif", "--angles", "12.5:%r" % end,
                out / "proj_*.tif"]
    elif scan_format == "tiff-multi":
        args = ["--flats", out / "flat.tif", "--darks", out / "dark.tif", "--angles",
                "12.5:%r" % (12.5 + (m - 1) * 180 / m), out / "proj.tif"]
    run(*args, tmp_path / "out")
    for r in range(rows):
        subprocess.run([PRJPHANTOM, "--rows", str(rows), "--row", str(r), str(n), str(m), *geometry,
                        tmp_path / "truth.sg"], check=True, capture_output=True)
        truth, _ = read_sinogram(tmp_path / "truth.sg")
        values, meta = read_sinogram(tmp_path / "out" / ("sino_%04d.sg" % r))
        assert float(meta["ra"]) == pytest.approx(12.5, abs=1e-9)
        # the frame half a turn from the first gives the axis, at column 21.25
        if "--end-frame" in options or "--full-turn" in options:
            assert float(meta["axis"]) == pytest.approx(21.25, abs=0.3), meta   # measured 0.27 on these 40 bins
        else:
            assert "axis" not in meta
        # rounding to whole counts of at least 0.9 I0 exp(-p) - the smallest
        # gain - moves p by at most about 1/(I - D) + 1/(F - D)
        if "uint16" in options:
            bound = 1.0 / (0.9 * 30000 * np.exp(-truth.max())) + 1.0 / (0.9 * 30000)
        else:
            bound = 1e-6
        assert np.abs(values - truth).max() <= bound


# ---------------------------------------------------------------------------
# Layouts the recognised readers do not describe: datasets named by path
# (through soft and external links), flats and darks in files of their own,
# angle files of one line per projection or per frame. The phantom's raw
# scans, against the exact sinograms of their rows.

def phantom(*args):
    subprocess.run([PRJPHANTOM, *map(str, args)], check=True, capture_output=True)


def exact_sinogram(tmp, n, m, ra, r0dr, row, rows, ellipses=(), detector=()):
    """prjphantom's sinogram of one detector row (dr 0.04), with the
    detector's options."""
    options = [x for e in ellipses for x in ("--ellipse", e)]
    phantom("--rows", rows, "--row", row, *options, *detector, n, m, ra, 0.04, r0dr, tmp / "exact.sg")
    return read_sinogram(tmp / "exact.sg")[0]


def external_frames(tmp):
    """The plain layout's frames in frames.h5, and scan.h5 holding only links
    to them, by external link, under other names."""
    phantom("--scan", "plain", "--dtype", "float32", "--rows", 3, 40, 36, 12.5, 0.04, -21.25, tmp / "frames.h5")
    with h5py.File(tmp / "scan.h5", "w") as f:
        for name, target in (("data", "data"), ("keys", "image_key")):
            f["/entry/imaging/" + name] = h5py.ExternalLink("frames.h5", "/entry/instrument/imaging/" + target)
        f["/entry/imaging/theta"] = h5py.ExternalLink("frames.h5", "/entry/imaging/gts_theta_value")
    return ["--data", "/entry/imaging/data", "--image-key", "/entry/imaging/keys", "--rotation-angle",
            "/entry/imaging/theta", tmp / "scan.h5"]


@pytest.mark.parametrize("layout,scan,options,args,source", [
    ("named paths, through a soft link", "plain", ["--invalid-frame"],
     ["--data", "entry/imaging/data", "--image-key", "/entry/instrument/imaging/image_key", "--rotation-angle",
      "/entry/imaging/gts_theta_value", "{out}"], "/entry/imaging/gts_theta_value, degrees"),
    ("named paths, through external links", None, [], external_frames, "/entry/imaging/theta, degrees"),
    ("flats and darks in files of their own", "dx", ["--flats-file", "{tmp}/flats.h5", "--darks-file",
                                                     "{tmp}/darks.h5"],
     ["--flats", "{tmp}/flats.h5", "--darks", "{tmp}/darks.h5:entry/data/data", "{out}"],
     "/exchange/theta, degrees"),
    ("angle file, one line a projection", "tiff", ["--angles-file", "{tmp}/angles.txt"],
     ["--angles-file", "{tmp}/angles.txt", "--flats", "{out}/flat_*.tif", "--darks", "{out}/dark_*.tif",
      "{out}/proj_*.tif"], "{tmp}/angles.txt, one line per projection"),
    ("angle file, one line a frame with reference rows at both ends", "tiff-multi",
     ["--flats-after", "--frame-angles", "{tmp}/angles.txt"],
     ["--angles-file", "{tmp}/angles.txt", "--flats", "{out}/flat.tif", "--darks", "{out}/dark.tif",
      "{out}/proj.tif"], "{tmp}/angles.txt, lines 7 to 42; lines 1 to 6 (repeats of the first angle); "
     "lines 43 to 46 (repeats of the last angle) skipped as reference frames"),
    ("angle file, one line a frame of an NXtomo scan", "nxtomo", ["--invalid-frame", "--frame-angles",
                                                                  "{tmp}/angles.txt"],
     ["--angles-file", "{tmp}/angles.txt", "{out}"], "{tmp}/angles.txt, one line per frame"),
])
def test_layouts_give_the_line_integrals_of_their_rows(tmp_path, layout, scan, options, args, source):
    rows, n, m = 3, 40, 36
    out = tmp_path / ("scan" if scan and scan.startswith("tiff") else "scan.h5")
    fill = lambda v: v.format(tmp=tmp_path, out=out) if isinstance(v, str) else v
    if scan:
        phantom("--scan", scan, "--dtype", "float32", "--rows", rows, *map(fill, options), n, m, 12.5, 0.04,
                -21.25, out)
        args = [fill(a) for a in args]
    else:
        args = args(tmp_path)
    info = run("--info", *args).stdout
    assert "angles       12.5 to 187.5 degrees (%s)\n" % fill(source) in info
    run(*args, tmp_path / "out")
    for r in range(rows):
        values, meta = read_sinogram(tmp_path / "out" / ("sino_%04d.sg" % r))
        assert float(meta["ra"]) == pytest.approx(12.5, abs=1e-9)
        # float32 counts: the ratio to its rounding
        np.testing.assert_allclose(values, exact_sinogram(tmp_path, n, m, 12.5, -21.25, r, rows), rtol=0,
                                   atol=1e-6)


# Full turns and uneven angles: the sinograms against the exact line
# integrals at their rows' angles, in the columns the header gives. An object
# of a few ellipses, so that the exact sinogram of the stitched width holds
# the same object.

TURN_ELLIPSES = ["2,-3,14,9,20,1", "-8,6,5,3,-30,0.5", "15,10,4,4,0,0.8"]


@pytest.mark.parametrize("turn,options,args,n,axis,extra,bound", [
    ("second half of a full turn", ["--full-turn"], ["--half", "2"], 40, 21.25, [], 1e-9),
    ("centred full turn, axis given", ["--full-turn"], ["--axis", "19.5"], 40, 19.5, [], 1e-9),
    ("centred full turn, axis registered", ["--full-turn"], [], 40, 19.5, [], 1e-4),
    ("full turn off centre, axis registered", ["--full-turn"], [], 40, 17.6, [], 0.02),
    ("half acquisition", ["--full-turn"], [], 40, 10, ["-26,0,6,8,10,0.7"], 0.02),
    ("jitter of 0.3 steps, resampled", ["--jitter", "0.3"], [], 40, 21.25, [], None),
    ("jitter, bins that read their width's mean", ["--aperture", "--jitter", "0.3"], [], 40, 21.25, [], None),
    ("jitter over a full turn", ["--full-turn", "--jitter", "0.3"], ["--axis", "19.5"], 40, 19.5, [], None),
])
def test_turns_give_the_line_integrals_at_their_angles(tmp_path, turn, options, args, n, axis, extra, bound):
    # jittered angles in finer steps, where interpolation in angle pays
    m, ellipses = 144 if "--jitter" in options else 36, TURN_ELLIPSES + extra
    detector = [o for o in options if o == "--aperture"]
    shape = [x for e in ellipses for x in ("--ellipse", e)]
    phantom("--scan", "dx", "--dtype", "float64", "--rows", 2, *shape, *options, n, m, 12.5, 0.04, -axis,
            tmp_path / "scan.h5")
    report = run(*args, "--rows", 1, tmp_path / "scan.h5", tmp_path / "out").stderr
    assert ("resampled onto even angles" in report) == ("--jitter" in options), report
    values, meta = read_sinogram(tmp_path / "out" / "sino_0001.sg")
    ra = float(meta["ra"])
    if "--half" in args:
        assert ra == pytest.approx(192.5, abs=1e-9)
    # the detector's column c is column c - offset of the sinogram, whose
    # axis the header gives (%.3f)
    offset = round(axis - float(meta["axis"])) if "--full-turn" in options else 0
    if "--full-turn" in options and "--half" not in args:
        assert float(meta["axis"]) == pytest.approx(axis - offset, abs=0.0051 if bound and bound < 1e-3 else 0.03)
        # the combined width holds both half turns' columns
        assert values.shape[1] == max(n - 1, round(2 * axis)) - min(0, round(2 * axis) - n + 1) + 1
    exact = exact_sinogram(tmp_path, values.shape[1], m, ra, offset - axis, 1, 2, ellipses, detector)
    error = np.sqrt(((values - exact) ** 2).mean())
    if bound is not None:
        assert error <= bound, error
    else:
        # resampled: closer to the exact line integrals at the even angles than
        # the measured projections taken as if they were evenly spaced
        run(*args, "--rows", 1, "--angles", "12.5:%r" % (12.5 + (len(h5py.File(tmp_path / "scan.h5")
                                                                      ["/exchange/theta"]) - 1) * 180.0 / m),
            tmp_path / "scan.h5", tmp_path / "even")
        as_if_even, even_meta = read_sinogram(tmp_path / "even" / "sino_0001.sg")
        even_exact = exact_sinogram(tmp_path, values.shape[1], m, float(even_meta["ra"]), offset - axis, 1, 2,
                                    ellipses, detector)
        # twice as close where the bins integrate over their width (no cusp
        # where an edge crosses a bin: interpolation gains its order)
        ratio = error / np.sqrt(((as_if_even - even_exact) ** 2).mean())
        assert ratio < (0.5 if detector else 0.75), ratio


# ---------------------------------------------------------------------------
# Angles and flats: 360-degree scans, radians, falling angles, flats before
# and after the projections.

@pytest.mark.parametrize("what,theta,units,args,frames,ra", [
    ("full turn, first half", np.arange(2 * M) * 3.0, None, ["--half", "1"], range(0, M), 0),
    ("full turn, second half", np.arange(2 * M + 1) * 3.0, None, ["--half", "2"], range(M, 2 * M), 180),
    ("radians", np.radians(np.arange(M + 1) * 3.0 + 45), "rad", [], range(0, M), np.radians(45.0) * (180 / np.pi)),
    ("falling angles", 180 - np.arange(M + 1) * 3.0, "degrees", [], range(M - 1, -1, -1), 3),
    ("angles given", np.zeros(M), None, ["--angles", "-90:87"], range(0, M), -90),
    ("17 significant digits", np.arange(M + 1) * 3.0 + 0.30000000000000004, None, [], range(0, M),
     0.30000000000000004),
])
def test_angles(tmp_path, what, theta, units, args, frames, ra):
    gain, dark = detector()
    p = line_integrals(len(theta))
    proj = gain * I0 * np.exp(-p) + dark
    flats = (gain * I0 + dark)[None]
    write_dx(tmp_path / "scan.h5", proj, flats, dark[None], theta, units)
    run(*args, tmp_path / "scan.h5", tmp_path / "out")
    values, meta = read_sinogram(tmp_path / "out" / "sino_0002.sg")
    assert meta["ra"] == "%.17g" % ra
    np.testing.assert_allclose(values, p[list(frames), 2], rtol=0, atol=1e-12)


def test_nxtomo_entry_is_the_one_named_or_the_only_one_with_data(tmp_path):
    gain, dark = detector()
    p = line_integrals(M + 1)
    frames = np.concatenate([dark[None], (gain * I0 + dark)[None], gain * I0 * np.exp(-p) + dark])
    angles = np.concatenate([[0, 0], np.arange(M) * 3.0])
    with h5py.File(tmp_path / "scan.h5", "w") as f:   # first by name, without data
        f["a/definition"] = "NXtomo"
    write_nxtomo(tmp_path / "scan.h5", frames[:-1], [2, 1] + [0] * M, angles, entry="b", mode="a")
    result = run(tmp_path / "scan.h5", tmp_path / "b")
    assert "NeXus NXtomo (entry /b)" in result.stderr
    check_sinograms(tmp_path / "b", expected(frames[2:-1], frames[1:2], frames[:1]), 0)
    other = np.concatenate([frames[:2], frames[3:]])    # the projections one step on
    write_nxtomo(tmp_path / "scan.h5", other, [2, 1] + [0] * M, angles, entry="c", mode="a")
    result = run("--entry", "/c/", tmp_path / "scan.h5", tmp_path / "c")
    assert "NeXus NXtomo (entry /c)" in result.stderr
    check_sinograms(tmp_path / "c", expected(other[2:], other[1:2], other[:1]), 0)


def test_flats_before_and_after_are_interpolated_by_frame_index(tmp_path):
    """The beam fades by 10% over the scan; the mean of each flat series
    records it, while its single flats lie 5% above and below."""
    gain, dark = detector()
    p = line_integrals(M)
    # darks, flats, projections with an invalid frame (key 3) among them, flats
    keys = np.array([2, 2, 1, 1] + [0] * 5 + [3] + [0] * (M - 5) + [1, 1])
    index = np.arange(keys.size)
    before, after = 2.5, index[-1] - 0.5        # mean frame index of each flat series
    beam = I0 * (1 - 0.1 * (index - before) / (after - before))
    frames = np.zeros((keys.size, ROWS, N))
    frames[keys == 2] = dark
    flat_beam = I0 * np.array([1.05, 0.95, 0.9 * 1.05, 0.9 * 0.95])   # the series' means on the beam
    frames[keys == 1] = gain * flat_beam[:, None, None] + dark
    frames[keys == 0] = gain * beam[keys == 0, None, None] * np.exp(-p) + dark
    angles = np.zeros(keys.size)
    angles[keys == 0] = np.arange(M) * 3.0
    write_nxtomo(tmp_path / "scan.h5", frames, keys, angles)
    run(tmp_path / "scan.h5", tmp_path / "out")
    for r in range(ROWS):
        values, _ = read_sinogram(tmp_path / "out" / ("sino_%04d.sg" % r))
        np.testing.assert_allclose(values, p[:, r], rtol=0, atol=1e-12)


# ---------------------------------------------------------------------------
# Clamping: counted, reported once, and the output stays finite.

def test_clamped_samples_are_counted_and_finite(tmp_path):
    gain, dark = detector()
    p = line_integrals(M)
    proj = gain * I0 * np.exp(-p) + dark
    proj[3, 1, 7] = dark[1, 7] - 5          # below the dark level
    proj[9, 2, 8] = np.nan
    flats = (gain * I0 + dark)[None].copy()
    flats[0, 4, 0] = dark[4, 0]             # a dead pixel: F - D = 0 in every projection
    flats[0, 3, 1] = dark[3, 1] - 4         # and one with F - D < 0, where I - D < 0 too: a ratio of 2
    proj[:, 3, 1] = dark[3, 1] - 8
    write_dx(tmp_path / "scan.h5", proj, flats, dark[None], np.arange(M) * 3.0)
    result = run("--clip", "1e-4", tmp_path / "scan.h5", tmp_path / "out")
    clamped = 2 + 2 * M
    assert ("prjsino: %d of %d samples clamped to the ratio 0.0001 (below it, or not a finite number)\n"
            % (clamped, M * ROWS * N)) in result.stderr
    for r in range(ROWS):
        values, _ = read_sinogram(tmp_path / "out" / ("sino_%04d.sg" % r))
        assert np.isfinite(values).all()
        assert (values <= -np.log(1e-4) + 1e-12).all()
    assert read_sinogram(tmp_path / "out" / "sino_0001.sg")[0][3, 7] == pytest.approx(-np.log(1e-4))
    assert (read_sinogram(tmp_path / "out" / "sino_0003.sg")[0][:, 1] == -np.log(1e-4)).all()


@pytest.mark.parametrize("option,fill,report", [
    ("--raw", -np.log(1e-6), "clamped to the ratio 1e-06 (below it, or not a finite number)"),
    ("--no-log", 0.0, "not finite, set to 0"),
])
def test_raw_and_no_log_frames(tmp_path, option, fill, report):
    """Frames stored as transmissions exp(-p) (--raw) or as p (--no-log), with a NaN and an infinity."""
    p = line_integrals(M)
    frames = np.exp(-p) if option == "--raw" else p.copy()
    frames[3, 1, 7], frames[9, 2, 8] = np.nan, np.inf
    write_dx(tmp_path / "scan.h5", frames, frames[:1], frames[:1], np.arange(M) * 3.0)
    result = run(option, tmp_path / "scan.h5", tmp_path / "out")
    assert "prjsino: 2 of %d samples %s\n" % (M * ROWS * N, report) in result.stderr
    p[3, 1, 7] = p[9, 2, 8] = fill
    check_sinograms(tmp_path / "out", p, 0)


def test_medians_of_flats_and_darks(tmp_path):
    """Outliers in one flat and one dark do not reach a median of 4 (an even count)."""
    gain, dark = detector()
    p = line_integrals(M)
    rng = np.random.default_rng(3)
    flats = gain * I0 * rng.uniform(0.98, 1.02, (4, ROWS, N)) + dark
    darks = dark + rng.uniform(-2, 2, (4, ROWS, N))
    flats[1, 2, 5] = 1e6
    darks[3, 0, 9] = 1e4
    proj = gain * I0 * np.exp(-p) + dark
    write_dx(tmp_path / "scan.h5", proj, flats, darks, np.arange(M) * 3.0)
    run("--median", "--memory", "0.003", tmp_path / "scan.h5", tmp_path / "out")   # 2 rows of 4 frames at a time
    d = np.median(darks, axis=0)
    want = -np.log((proj - d) / (np.median(flats, axis=0) - d))
    check_sinograms(tmp_path / "out", want, 0)


def test_temporaries_of_killed_runs_are_removed_and_others_kept(tmp_path):
    """Only those of this host whose process is gone: a live run's, or one on
    another host sharing the directory, stay."""
    gain, dark = detector()
    write_dx(tmp_path / "scan.h5", gain * I0 * np.exp(-line_integrals(M)) + dark, (gain * I0 + dark)[None],
             dark[None], np.arange(M) * 3.0)
    host, gone = socket.gethostname().replace(".", "_"), dead_pid()
    out = tmp_path / "out"
    out.mkdir()
    kept = [".sino_0001.sg.part-%s-%d" % (host, os.getpid()), ".sino_0001.sg.part-other_host-%d" % gone,
            ".sino_0001.sg.part-%d" % gone, ".sino_0002.sg.part-%s-%dx" % (host, gone)]
    for name in kept + [".sino_0001.sg.part-%s-%d" % (host, gone), ".sino_00012.sg.part-%s-%d" % (host, gone)]:
        (out / name).write_bytes(b"part")
    run(tmp_path / "scan.h5", out)
    assert sorted(os.listdir(out)) == sorted(kept + ["sino_%04d.sg" % r for r in range(ROWS)])


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_an_interrupted_run_leaves_nothing(tmp_path, signal_number):
    """Projections stored outside the file: frame 0 in a file, the rest in a
    FIFO no one writes. The run makes its temporaries, then blocks opening
    the FIFO; the signal finds it there, whenever it comes."""
    frame = ROWS * N * 8
    open(tmp_path / "frame0", "wb").write(np.full(ROWS * N, 0.5).tobytes())
    os.mkfifo(tmp_path / "rest")
    with h5py.File(tmp_path / "scan.h5", "w") as f:
        f.create_dataset("/exchange/data", (M, ROWS, N), "<f8", external=[
            (str(tmp_path / "frame0"), 0, frame), (str(tmp_path / "rest"), 0, (M - 1) * frame)])
        f["/exchange/theta"] = np.arange(M) * 3.0
    out = tmp_path / "out"
    child = subprocess.Popen([PRJSINO, "--raw", tmp_path / "scan.h5", out], stderr=subprocess.PIPE)
    # every temporary with its header: each counted for removal
    while not (out.is_dir() and len(os.listdir(out)) == ROWS and
               all(os.path.getsize(out / name) > 0 for name in os.listdir(out))):
        assert child.poll() is None, child.stderr.read()
        time.sleep(0.01)
    assert all(name.startswith(".sino_") for name in os.listdir(out))
    child.send_signal(signal_number)
    assert child.wait() == -signal_number
    assert os.listdir(out) == []


# ---------------------------------------------------------------------------
# Selected rows, standard output, --info.

def test_rows_standard_output_and_info(tmp_path):
    gain, dark = detector(rows=12)
    p = line_integrals(M, rows=12)
    proj = gain * I0 * np.exp(-p) + dark
    write_dx(tmp_path / "scan.h5", proj, (gain * I0 + dark)[None], dark[None], np.arange(M) * 3.0)
    run("--rows", "9:11", tmp_path / "scan.h5", tmp_path / "out")
    assert sorted(os.listdir(tmp_path / "out")) == ["sino_0009.sg", "sino_0010.sg"]
    piped = subprocess.run([PRJSINO, "--rows", "10", tmp_path / "scan.h5", "-"], capture_output=True)
    assert piped.returncode == 0
    assert piped.stdout == open(tmp_path / "out" / "sino_0010.sg", "rb").read()
    info = run("--info", tmp_path / "scan.h5").stdout
    for line in ["container    HDF5, Data Exchange", "frames       60 projections, 1 flats, 1 darks",
                 "shape        12 rows x 48 columns", "sample type  float64, little-endian",
                 "kept         projections 0 to 59", "ra           0", "M            60"]:
        assert line + "\n" in info
    # 10001 rows, declared in chunks never written (they read as the fill value
    # 0.5): names padded to the five digits of row 10000
    with h5py.File(tmp_path / "tall.h5", "w") as f:
        f.create_dataset("/exchange/data", (M, 10001, N), "f4", chunks=(1, 16, N), fillvalue=0.5)
        f["/exchange/theta"] = np.arange(M) * 3.0
    run("--raw", "--rows", "9999:10001", tmp_path / "tall.h5", tmp_path / "tall")
    assert sorted(os.listdir(tmp_path / "tall")) == ["sino_09999.sg", "sino_10000.sg"]
    values, meta = read_sinogram(tmp_path / "tall" / "sino_10000.sg")
    assert meta["row"] == "10000" and (values == np.log(2)).all()


# --info --format json against the text report and the files written; "-"
# against the files, one after another. A scan name that JSON must escape.
@pytest.mark.parametrize("rows, name", [(["--rows", "10"], "scan.h5"), (["--rows", "3:7"], 'we"ird\\\tname.h5'),
                                        ([], "scan.h5"), (["--rows", "3:7", "--rings"], "scan.h5")])
def test_report_and_stream_of_selected_rows(tmp_path, rows, name):
    gain, dark = detector(rows=12)
    proj = gain * I0 * np.exp(-line_integrals(M, rows=12)) + dark
    scan = tmp_path / name
    write_dx(scan, proj, (gain * I0 + dark)[None], dark[None], np.arange(M) * 3.0)
    run(*rows, scan, tmp_path / "out")
    files = sorted(os.listdir(tmp_path / "out"))
    report = json.loads(run("--info", "--format", "json", *rows, scan).stdout)
    text = run("--info", *rows, scan).stdout
    assert report["scan"] == str(scan)
    assert [(s["row"], s["file"]) for s in report["sinograms"]] == [(int(f[5:9]), f) for f in files]
    assert (report["rows"]["first"], report["rows"]["last"]) == (int(files[0][5:9]), int(files[-1][5:9]))
    assert (report["container"], report["sample_type"], report["frames"]) == \
        ("HDF5, Data Exchange", "float64, little-endian", {"projections": 60, "flats": 1, "darks": 1, "others": 0})
    for label, value in [("container", report["container"]), ("ra", "%.17g" % report["ra"]), ("M", report["M"]),
                         ("kept", "projections %d to %d" % (report["kept"]["first"], report["kept"]["last"])),
                         ("shape", "%d rows x %d columns" % (report["shape"]["rows"], report["shape"]["columns"]))]:
        assert "%-12s %s\n" % (label, value) in text
    assert report["N"] == N and report["disagreement"] is None
    assert "mirror       projection 59 against the mirror image of projection 0: %.3g " % \
        report["mirror"]["mismatch"] in text
    streamed = subprocess.run([PRJSINO, *rows, scan, "-"], capture_output=True)
    assert streamed.returncode == 0
    whole = b"".join(open(tmp_path / "out" / f, "rb").read() for f in files)
    assert streamed.stdout == whole


def test_info_finds_a_closed_half_turn_the_angles_miss(tmp_path):
    """181 frames whose last mirrors the first, stored over 0 to 179.0055 degrees."""
    n = 181
    theta = np.linspace(0, 180, n)
    x = np.arange(N) - 23.5                         # the axis between columns 23 and 24
    p = np.empty((n, ROWS, N))
    for k, t in enumerate(np.radians(theta)):
        # a small off-axis disc of radius 6 at (9, 4): its chord lengths
        s = x - (9 * np.cos(t) + 4 * np.sin(t))
        p[k] = 0.05 * 2 * np.sqrt(np.clip(36 - s * s, 0, None))
    gain, dark = detector()
    write_dx(tmp_path / "scan.h5", gain * I0 * np.exp(-p) + dark, (gain * I0 + dark)[None], dark[None],
             np.linspace(0, 179.0055, n))
    info = run("--info", tmp_path / "scan.h5").stdout
    assert "M            181\n" in info
    assert "best axis at column 23.5" in info
    disagreement = "the last projection mirrors the first, so the 181 projections span a closed half " \
        "turn (1 degrees a step), but the angles span 179.0055 degrees; to drop the last, give --angles 0:180"
    assert "disagreement %s\n" % disagreement in info
    report = json.loads(run("--info", "--format", "json", tmp_path / "scan.h5").stdout)
    assert report["disagreement"] == disagreement and report["mirror"]["axis_column"] == 23.5
    # stored over 0 to 180 they agree; 0.95 steps short of 180 degrees (181 frames of 180/180.95 degrees),
    # far beyond the tenth of a step a closed half turn allows, they do not
    for last, disagree in ((180, False), (180 / (1 + 0.95 / 180), True)):
        write_dx(tmp_path / "scan.h5", gain * I0 * np.exp(-p) + dark, (gain * I0 + dark)[None], dark[None],
                 np.linspace(0, last, n))
        assert ("disagreement" in run("--info", tmp_path / "scan.h5").stdout) == disagree, last


# ---------------------------------------------------------------------------
# Bad input: one message, status 1 (2 for usage errors), no sinogram left.

def outdir(tmp, name):
    return tmp / ("out-" + name.replace(" ", "-").replace(":", ""))


def declared(path, datasets):
    """An HDF5 file whose datasets given as a shape are declared only:
    chunked, no chunk stored, so that any size costs nothing on disk."""
    with h5py.File(path, "w") as f:
        for name, value in datasets.items():
            if isinstance(value, tuple):
                f.create_dataset(name, shape=value, chunks=(1,) * (len(value) - 1) + (min(value[-1], 4096),))
            else:
                f[name] = value


def bad_scans(tmp):
    """name -> (arguments, message, status, env, files left in the output,
    standard output), each scan made in tmp."""
    gain, dark = detector()
    proj = gain * I0 * np.exp(-line_integrals(M)) + dark
    flats, darks, theta = (gain * I0 + dark)[None], dark[None], np.arange(M) * 3.0
    cases = {}

    def case(name, message, *args, status=1, env=None, left=(), stdout=None, file_size=None):
        cases[name] = (list(args), message, status, env, sorted(left), stdout, file_size)

    case("missing file", "prjsino: %s/none.h5: no such file, and no file matches it as a pattern "
         "(projections)" % tmp, "%s/none.h5" % tmp)
    open(tmp / "text.h5", "w").write("not a scan\n")
    case("not HDF5 or TIFF", "prjsino: %s/text.h5: neither an HDF5 nor a TIFF file" % tmp, tmp / "text.h5")
    with h5py.File(tmp / "empty.h5", "w") as f:
        f["/exchange/other"] = 1
    case("no layout", "prjsino: %s/empty.h5: neither a Data Exchange file (no /exchange/data) nor a NeXus "
         "NXtomo file (no group whose definition is NXtomo)" % tmp, tmp / "empty.h5")
    write_nxtomo(tmp / "nokey.h5", proj, [0] * M, theta)
    with h5py.File(tmp / "nokey.h5", "r+") as f:
        del f["entry/instrument/detector/image_key"]
    case("missing dataset", "prjsino: %s/nokey.h5: no dataset /entry/instrument/detector/image_key" % tmp,
         tmp / "nokey.h5")
    write_dx(tmp / "shapes.h5", proj, flats[:, :, :40], darks, theta)
    case("shapes differ", "prjsino: %s/shapes.h5: the frames of /exchange/data_white are 5 x 40 pixels, "
         "those of /exchange/data 5 x 48" % tmp, tmp / "shapes.h5")
    write_dx(tmp / "lz4.h5", proj, flats, darks, theta, compression=32004, chunks=(1, ROWS, N))
    (tmp / "no-plugins").mkdir()
    case("filter not installed", "prjsino: %s/lz4.h5: /exchange/data is compressed with HDF5 filter 32004 "
         "(LZ4), which is not installed; install Debian's package hdf5-filter-plugin" % tmp, tmp / "lz4.h5",
         env={"HDF5_PLUGIN_PATH": str(tmp / "no-plugins")})
    write_dx(tmp / "good.h5", proj, flats, darks, theta)
    write_dx(tmp / "source.h5", proj, flats, darks, theta)
    with h5py.File(tmp / "external.h5", "w") as f:
        f["/exchange/data"] = h5py.ExternalLink("source.h5", "/exchange/data")
        f["/exchange/data_white"] = flats
        f["/exchange/theta"] = theta
    layout = h5py.VirtualLayout(shape=proj.shape, dtype=proj.dtype)
    layout[:] = h5py.VirtualSource("source.h5", "/exchange/data", shape=proj.shape)
    with h5py.File(tmp / "virtual.h5", "w") as f:
        f.create_virtual_dataset("/exchange/data", layout)
        f["/exchange/data_white"] = flats
        f["/exchange/theta"] = theta
    # the virtual dataset and the external link both open while source.h5 is there
    run(tmp / "virtual.h5", tmp / "ok-virtual")
    run(tmp / "external.h5", tmp / "ok-external")
    os.rename(tmp / "source.h5", tmp / "gone.h5")
    case("external link", "prjsino: %s/external.h5: /exchange/data is an external link to /exchange/data in "
         "source.h5, which cannot be opened" % tmp, tmp / "external.h5")
    case("virtual source", "prjsino: %s/virtual.h5: /exchange/data is a virtual dataset whose source "
         "/exchange/data in source.h5 is missing" % tmp, tmp / "virtual.h5")
    tifffile.imwrite(tmp / "whole.tif", counts(proj, "<u2"), photometric="minisblack")
    data = open(tmp / "whole.tif", "rb").read()
    open(tmp / "cut.tif", "wb").write(data[:len(data) // 2])
    case("truncated TIFF", "prjsino: %s/cut.tif: cannot read its pages, after the first 1; the file is "
         "damaged or cut short" % tmp, tmp / "cut.tif", "--raw", "--angles", "0:177")
    (tmp / "frames").mkdir()
    for k, frame in enumerate(counts(proj, "<u2")):
        tifffile.imwrite(tmp / "frames" / ("proj_%d.tif" % k), frame, photometric="minisblack")
    data = open(tmp / "frames" / "proj_30.tif", "rb").read()
    open(tmp / "frames" / "proj_30.tif", "wb").write(data[:len(data) - 200])
    case("frame cut short in the pass", "prjsino: %s/frames/proj_30.tif: cannot read row 0 (libtiff: " % tmp,
         tmp / "frames" / "proj_*.tif", "--raw", "--angles", "0:177")
    write_dx(tmp / "short.h5", proj, flats, darks, np.arange(M) * 2.0)
    case("less than a half turn", "prjsino: %s/short.h5: the projections span 118 degrees, less than a half "
         "turn (59 steps of the 90 in 180 degrees)" % tmp, tmp / "short.h5")
    nan = theta.copy()
    nan[7] = np.nan
    write_dx(tmp / "nan.h5", proj, flats, darks, nan)
    case("angle not finite", "prjsino: %s/nan.h5: the angle of projection 7 is not a finite number" % tmp,
         tmp / "nan.h5")
    case("rows outside", "prjsino: rows 3 to 5 lie outside the detector, whose rows are 0 to 4",
         "--rows", "3:6", tmp / "good.h5")
    write_dx(tmp / "noflat.h5", proj, flats, darks, theta)
    with h5py.File(tmp / "noflat.h5", "r+") as f:
        del f["/exchange/data_white"]
    case("no flats", "prjsino: %s/noflat.h5: no flats; give --raw if the frames are transmissions already, "
         "--no-log if they are line integrals" % tmp, tmp / "noflat.h5")
    # a directory where an earlier run wrote row 5: found before the pass,
    # and the earlier run's other sinograms stay
    tall_gain, tall_dark = detector(rows=10)
    write_dx(tmp / "tall.h5", tall_gain * I0 * np.exp(-line_integrals(M, rows=10)) + tall_dark,
             (tall_gain * I0 + tall_dark)[None], tall_dark[None], theta)
    earlier = outdir(tmp, "directory in the way")
    run("--rows", "0:8", tmp / "tall.h5", earlier)
    os.remove(earlier / "sino_0005.sg")
    (earlier / "sino_0005.sg" / "x").mkdir(parents=True)
    case("directory in the way", "prjsino: %s/sino_0005.sg: a directory, where the sinogram of row 5 goes\n"
         % earlier, tmp / "tall.h5", left=["sino_%04d.sg" % r for r in range(8)])
    # a stack of 37 files, one with a second page of the same size
    (tmp / "pages").mkdir()
    for k, frame in enumerate(counts(gain * I0 * np.exp(-line_integrals(37)) + dark, "<u2")):
        tifffile.imwrite(tmp / "pages" / ("proj_%d.tif" % k), np.stack([frame] * (2 if k == 12 else 1)),
                         photometric="minisblack")
    case("a file of two pages in a stack", "prjsino: %s/pages/proj_12.tif: 2 pages, where 36 of the 37 files of "
         "the projections hold 1; the files of a stack hold as many frames each\n" % tmp,
         tmp / "pages" / "proj_*.tif", "--raw", "--angles", "0:180")
    # sizes declared in a few kilobytes: checked before memory is reserved
    declared(tmp / "frames.h5", {"/exchange/data": (10 ** 9, ROWS, N), "/exchange/data_white": flats,
                                 "/exchange/theta": theta})
    case("10^9 frames", "prjsino: %s/frames.h5: /exchange/data holds 1000000000 frames, more than 67108864 of "
         "a scan\n" % tmp, tmp / "frames.h5")
    declared(tmp / "theta.h5", {"/exchange/data": proj, "/exchange/data_white": flats,
                                "/exchange/theta": (10 ** 9,)})
    case("10^9 angles", "prjsino: %s/theta.h5: /exchange/theta holds 1000000000 angles for 60 projections\n"
         % tmp, tmp / "theta.h5")
    declared(tmp / "wide.h5", {"/exchange/data": (M, ROWS, 2 ** 31), "/exchange/data_white": (1, ROWS, 2 ** 31),
                               "/exchange/theta": theta})
    case("frames 2^31 wide", "prjsino: %s/wide.h5: /exchange/data has frames of 5 x 2147483648 pixels, more "
         "than 1048576 a side\n" % tmp, tmp / "wide.h5")
    nx = {"/entry/definition": "NXtomo", "/entry/instrument/detector/data": (10 ** 9, ROWS, N),
          "/entry/instrument/detector/image_key": (10 ** 9,), "/entry/sample/rotation_angle": (10 ** 9,)}
    declared(tmp / "keys.h5", nx)
    case("NXtomo of 10^9 frames", "prjsino: %s/keys.h5: /entry/instrument/detector/data holds 1000000000 "
         "frames, more than 67108864 of a scan\n" % tmp, tmp / "keys.h5")
    declared(tmp / "rotation.h5", {**nx, "/entry/instrument/detector/data": proj,
                                   "/entry/instrument/detector/image_key": np.zeros(M, np.int32)})
    case("10^9 rotation angles", "prjsino: %s/rotation.h5: /entry/sample/rotation_angle holds 1000000000 angles "
         "for the 60 frames of /entry/instrument/detector/data\n" % tmp, tmp / "rotation.h5")
    # NXtomo: image keys that are not whole numbers, two entries, units
    # that are not text
    frames, angles = np.concatenate([darks, flats, proj]), np.concatenate([[0, 0], theta])
    for name, key in (("half", 0.5), ("nan", np.nan), ("huge", 2 ** 40)):
        keys = np.array([2, 1] + [0] * M, np.float64 if name != "huge" else np.int64)
        keys[7] = key
        write_nxtomo(tmp / ("key-%s.h5" % name), frames, keys, angles)
        case("image key " + name, "prjsino: %s/key-%s.h5: /entry/instrument/detector/image_key holds %g for frame "
             "7, which is not an image key (a whole number: 0 projection, 1 flat, 2 dark)\n" % (tmp, name, key),
             tmp / ("key-%s.h5" % name))
    write_nxtomo(tmp / "two.h5", frames, [2, 1] + [0] * M, angles, entry="entry1")
    write_nxtomo(tmp / "two.h5", frames, [2, 1] + [0] * M, angles, entry="entry2", mode="a")
    case("two entries", "prjsino: %s/two.h5: 2 NXtomo entries hold data: /entry1, /entry2; choose one with "
         "--entry\n" % tmp, tmp / "two.h5")
    case("no such entry", "prjsino: %s/two.h5: no NXtomo entry /entry3 (--entry); its NXtomo entries: /entry1, "
         "/entry2\n" % tmp, "--entry", "entry3", tmp / "two.h5")
    write_nxtomo(tmp / "units.h5", frames, [2, 1] + [0] * M, angles, units=1.0)
    case("numeric units", "prjsino: %s/units.h5: the units attribute of the angles /entry/sample/rotation_angle "
         "is not text; it should read degrees or radians\n" % tmp, tmp / "units.h5")
    case("info to a full output", "prjsino: cannot write standard output: No space left on device\n",
         "--info", tmp / "good.h5", stdout="/dev/full")
    case("info to a closed output", "prjsino: cannot write standard output: Bad file descriptor\n",
         "--info", tmp / "good.h5", stdout="closed")
    case("usage: rows", "prjsino: --rows takes A:B with 0 <= A < B (rows A ... B-1): 4:2", "--rows", "4:2",
         tmp / "good.h5", status=2)
    case("usage: raw and no-log", "prjsino: --raw and --no-log exclude each other", "--raw", "--no-log",
         tmp / "good.h5", status=2)
    case("usage: format without info", "prjsino: --format json needs --info", "--format", "json",
         tmp / "good.h5", status=2)
    case("usage: empty rows", "prjsino: --rows takes A:B with 0 <= A < B (rows A ... B-1): 2:2", "--rows", "2:2",
         tmp / "good.h5", status=2)
    write_dx(tmp / "rows.h5", proj, flats[:, :4], darks, theta)
    case("flats of another row count", "prjsino: %s/rows.h5: the frames of /exchange/data_white are 4 x 48 pixels, "
         "those of /exchange/data 5 x 48" % tmp, tmp / "rows.h5")
    for kind, frames in (("flat", flats), ("dark", darks[:, :4])):
        tifffile.imwrite(tmp / ("%s.tif" % kind), counts(frames, "<u2"), photometric="minisblack")
    case("TIFF darks of another row count", "prjsino: %s/dark.tif: a frame of 4 x 48 pixels (darks); the first "
         "projection has 5 x 48" % tmp, "--flats", tmp / "flat.tif", "--darks", tmp / "dark.tif", "--angles",
         "0:177", tmp / "whole.tif")
    layout = h5py.VirtualLayout(shape=proj.shape, dtype=proj.dtype)
    layout[:M // 2] = h5py.VirtualSource("good.h5", "/exchange/data", shape=proj.shape)[:M // 2]
    with h5py.File(tmp / "partial.h5", "w") as f:
        f.create_virtual_dataset("/exchange/data", layout)
        f["/exchange/data_white"] = flats
        f["/exchange/theta"] = theta
    case("virtual dataset partly mapped", "prjsino: %s/partial.h5: /exchange/data is a virtual dataset whose "
         "sources give 7200 of its 14400 samples; the others would read as fill values" % tmp, tmp / "partial.h5")
    with tifffile.TiffWriter(tmp / "pages.tif") as pages:
        for k, frame in enumerate(counts(proj, "<u2")):
            pages.write(frame if k != 30 else np.vstack([frame, frame[:1]]), photometric="minisblack")
    case("later page of another shape", "prjsino: %s/pages.tif (page 31): a frame of 6 x 48 pixels, the first "
         "projection has 5 x 48" % tmp, tmp / "pages.tif", "--raw", "--angles", "0:177")
    case("file size limit", "prjsino: %s/out-file-size-limit/.sino_0000.sg.part-" % tmp, tmp / "good.h5",
         file_size=4096)
    # named datasets, other files of flats, angle files, uneven and full turns
    case("named path missing", "prjsino: %s/good.h5: no dataset /entry/none" % tmp, "--data", "entry/none",
         tmp / "good.h5")
    case("named path not 3-D", "prjsino: %s/good.h5: /exchange/theta is not a stack of frames (frames x rows x "
         "columns): it has 1 dimensions" % tmp, "--data", "/exchange/theta", tmp / "good.h5")
    with h5py.File(tmp / "unknown.h5", "w") as f:
        f["/a/frames"] = proj
        f["/a/again"] = h5py.SoftLink("/a/frames")
        f["/b"] = theta
    case("unrecognised layout", "prjsino: %s/unknown.h5: neither a Data Exchange file (no /exchange/data) nor a "
         "NeXus NXtomo file (no group whose definition is NXtomo); its datasets of three dimensions: "
         "/a/again (60 x 5 x 48); name the frames with --data PATH\n" % tmp, tmp / "unknown.h5")
    case("flats file of several stacks", "prjsino: %s/good.h5: its datasets of three dimensions: /exchange/data "
         "(60 x 5 x 48), /exchange/data_dark (1 x 5 x 48), /exchange/data_white (1 x 5 x 48); name the flats as "
         "%s/good.h5:PATH" % (tmp, tmp), "--flats", tmp / "good.h5", tmp / "good.h5")
    case("flats file missing", "prjsino: %s/none.h5:/x: no such file (flats)" % tmp, "--flats",
         "%s/none.h5:/x" % tmp, tmp / "good.h5")
    angle_files = {"bad-line": ["# degrees"] + ["%r" % a for a in theta[:3]] + ["3.0 deg"],
                   "few": ["%r" % a for a in theta[:50]],
                   "repeated": ["%r" % a for a in theta[:31]] + ["%r" % theta[30]] * 2 + ["%r" % a for a in
                                                                                          theta[31:]],
                   "backwards": ["%r" % a for a in np.r_[theta[:30], theta[31], theta[30], theta[32:]]],
                   "gap": ["%r" % a for a in np.r_[theta[:40], theta[40:] + 9]]}
    for name, lines in angle_files.items():
        open(tmp / (name + ".txt"), "w").write("\n".join(lines) + "\n")
    case("angle file with a bad line", "prjsino: %s/bad-line.txt line 5: not an angle in degrees: \"3.0 deg\""
         % tmp, "--angles-file", tmp / "bad-line.txt", tmp / "good.h5")
    case("angle file of too few lines", "prjsino: %s/few.txt holds 50 angles for 60 projections\n" % tmp,
         "--angles-file", tmp / "few.txt", tmp / "good.h5")
    case("angle file with repeats inside", "prjsino: %s/repeated.txt holds 62 angles for 60 projections, and "
         "repeats of its first and last angle (the rows of reference frames) do not make up the 2 extra; line 32 "
         "is out of order: 90 after 90\n" % tmp, "--angles-file", tmp / "repeated.txt", tmp / "good.h5")
    case("angles not monotonic", "prjsino: %s/good.h5: the angles are not monotonic: projection 31 lies at 90 "
         "degrees, after projection 30 at 93" % tmp, "--angles-file", tmp / "backwards.txt", tmp / "good.h5")
    case("a gap of four steps", "prjsino: %s/good.h5: a gap of 4 steps between projections 39 and 40 (117 and "
         "129 degrees): more than two steps are missing" % tmp, "--angles-file", tmp / "gap.txt", tmp / "good.h5")
    rng = np.random.default_rng(5)
    write_dx(tmp / "full.h5", gain * I0 * np.exp(-rng.uniform(0.2, 1.4, (2 * M, ROWS, N))) + dark, flats, darks,
             np.arange(2 * M) * 3.0)
    case("axis outside the detector", "prjsino: --axis 60 does not lie inside the detector, whose columns are 0 "
         "to 47", "--axis", "60", tmp / "full.h5")
    case("half turns that mirror nothing", "prjsino: %s/full.h5: the two half turns give no rotation axis: "
         "registered on 32 pairs of projections half a turn apart, no axis makes them mirror images of each other; "
         "give --axis COLUMN, or --half 1 for the first half turn alone" % tmp, tmp / "full.h5")
    case("axis of a half turn", "prjsino: %s/good.h5: --axis is for a full turn, and the projections hold one "
         "half turn" % tmp, "--axis", "20", tmp / "good.h5")
    case("usage: image key without data", "prjsino: --image-key and --rotation-angle name datasets beside the "
         "frames: give --data too", "--image-key", "/k", tmp / "good.h5", status=2)
    case("usage: angles twice", "prjsino: --angles and --angles-file exclude each other", "--angles", "0:177",
         "--angles-file", tmp / "few.txt", tmp / "good.h5", status=2)
    case("usage: axis and half", "prjsino: --axis combines both half turns, --half takes one", "--axis", "20",
         "--half", "1", tmp / "good.h5", status=2)
    case("usage: data of a TIFF", "prjsino: --entry, --data, --image-key and --rotation-angle name parts of an "
         "HDF5 scan", "--data", "/x", tmp / "whole.tif", status=2)
    return cases


def test_bad_input_fails_with_one_message_and_leaves_nothing(tmp_path):
    cases = bad_scans(tmp_path)
    for name, (args, message, status, env, left, stdout, file_size) in cases.items():
        out = outdir(tmp_path, name)
        target = [] if "--info" in args else ["-"] if "stdout" in name else [out]
        limit = file_size_limit(file_size)
        with open(stdout if stdout not in (None, "closed") else os.devnull, "wb") as sink:
            result = subprocess.run([PRJSINO, *map(str, args + target)], stdout=sink, stderr=subprocess.PIPE,
                                    text=True, env=None if env is None else {**os.environ, **env},
                                    preexec_fn=(lambda: os.close(1)) if stdout == "closed" else limit)
        assert result.returncode == status, (name, result.stderr)
        assert result.stderr.startswith(message), (name, result.stderr)
        if status == 1:
            assert result.stderr.count("\n") == 1, (name, result.stderr)
        assert sorted(os.listdir(out)) == left if out.exists() else not left, name


# ---------------------------------------------------------------------------
# prjstack --scan: the same images as prjslice on prjsino's sinograms, each
# handed through a pipe here, through scratch files to other machines.

PRJSTACK = os.environ.get("PRJSTACK_BIN", "prjstack")
PRJSLICE = os.environ.get("PRJSLICE_BIN", "prjslice")
PRJAXIS = os.environ.get("PRJAXIS_BIN", "prjaxis")


def disc_scan(path, rows):
    """A disc of radius 8 + r about (3, -2) in row r, the axis off the
    detector centre, 61 projections from 20 to 200 degrees; and the counts."""
    gain, dark = detector(rows)
    x = np.arange(N) - 21.75
    theta = np.arange(M + 1) * 3.0 + 20
    p = np.empty((M + 1, rows, N))
    for k, t in enumerate(np.radians(theta)):
        for r in range(rows):
            s = x - (3 * np.cos(t) - 2 * np.sin(t))
            p[k, r] = 0.04 * 2 * np.sqrt(np.clip((8 + r) ** 2 - s * s, 0, None))
    write_dx(path, gain * I0 * np.exp(-p) + dark, (gain * I0 + dark)[None], dark[None], theta)
    return gain * I0 * np.exp(-p) + dark


def test_prjstack_scan_matches_prjslice_on_the_sinograms(tmp_path):
    rows = 7
    frames = disc_scan(tmp_path / "scan.h5", rows)
    run("--rows", "1:6", tmp_path / "scan.h5", tmp_path / "sg")
    middle = subprocess.run([PRJAXIS, tmp_path / "sg" / "sino_0003.sg"], capture_output=True, text=True,
                            check=True).stdout.strip()
    out = tmp_path / "out"
    # prjstack finds prjsino and prjaxis beside itself or prjslice, else on PATH
    env = {**os.environ, "PATH": os.pathsep.join([os.path.dirname(os.path.abspath(PRJSINO)),
                                                  os.path.dirname(os.path.abspath(PRJAXIS)), os.environ["PATH"]])}
    stack = [PRJSTACK, "-j", "2", "--no-bar", "-p", PRJSLICE, "--scan", tmp_path / "scan.h5", "--rows", "1:6",
             "--band", "2", "0.5", "auto", out]
    result = subprocess.run(stack, capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    # auto: the importer's axis= of each of the five rows (the scan holds
    # the frame at 200 degrees), a straight line through them
    axes = []
    for r in range(1, 6):
        header = subprocess.run([PRJSINO, "--rows", str(r), tmp_path / "scan.h5", "-"], capture_output=True,
                                check=True).stdout.split(b"\n")[0].decode()
        axes.append(-float(header.partition(" axis=")[2]))
        assert "prjstack: row %d: r0/dr %r (the importer's axis=)\n" % (r, axes[-1]) in result.stderr
    slope, r0 = (float(v) for v in np.polyfit(range(1, 6), axes, 1))
    assert "(a slope of %.6g bins per row, through 5 of 5 rows)\n" % slope in result.stderr
    names = ["sino_%04d" % r for r in range(1, 6)]
    assert sorted(f for f in os.listdir(out) if "prjstack" not in f) == \
        sorted([n + ".tif" for n in names] + ["ranges.csv"])
    csv = ["row,image,min,max"]
    for r, name in zip(range(1, 6), names):
        single = subprocess.run([PRJSLICE, tmp_path / "sg" / (name + ".sg"), "0.5", repr(r0 + slope * r), "20",
                                 tmp_path / (name + ".tif")], capture_output=True, text=True, check=True)
        assert open(out / (name + ".tif"), "rb").read() == open(tmp_path / (name + ".tif"), "rb").read()
        csv.append("%d,%s,%s" % (r, out / (name + ".tif"), single.stdout.strip().replace("\t", ",")))
    assert open(out / "ranges.csv").read() == "\n".join(csv) + "\n"
    # --resume imports and runs only the missing slice, and removes the
    # scratch directory of a killed run of this host; a live run's, and one
    # of another host sharing OUTDIR, stay
    os.remove(out / "sino_0004.tif")
    host, gone = socket.gethostname().replace(".", "_"), dead_pid()
    kept = [".prjsino.%s-%d.Ab12Cd" % (host, os.getpid()), ".prjsino.other_host-%d.Ef34Gh" % gone]
    for name in kept + [".prjsino.%s-%d.Ij56Kl" % (host, gone)]:
        (out / name).mkdir()
        (out / name / "sino_0002.sg").write_bytes(b"band")
    result = subprocess.run(stack[:-3] + ["--resume", "0.5", "auto", out], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert sorted(f for f in os.listdir(out) if f.startswith(".prjsino.")) == sorted(kept)
    assert "5 slices, 4 already done, 1 to reconstruct" in result.stderr
    assert open(out / "sino_0004.tif", "rb").read() == open(tmp_path / "sino_0004.tif", "rb").read()
    # slices that refuse their arguments before reading their sinogram: the
    # rest of each is passed over, and the stream stays in step
    refused = subprocess.run(stack[:-3] + ["0.5", "5", tmp_path / "refused"], capture_output=True, text=True,
                             env=env)
    assert refused.returncode == 1
    assert refused.stderr.endswith("prjstack: 5 of 5 slices failed:\n" + "".join(
        "  row %d: bad detector offset (unit in detector interval).\n" % r for r in range(1, 6)))
    # a band that cannot be imported: its rows fail with prjsino's message,
    # the bands before it are done, and the CSV and summary still follow
    raw = tmp_path / "raw"
    raw.mkdir()
    for k, frame in enumerate(counts(frames, "<u2")):
        tifffile.imwrite(raw / ("proj_%d.tif" % k), frame, photometric="minisblack", rowsperstrip=1)
    data = open(raw / "proj_40.tif", "rb").read()
    open(raw / "proj_40.tif", "wb").write(data[:len(data) - 3 * N * 2])   # rows 4 to 6 cut off
    failed = subprocess.run([PRJSTACK, "--no-bar", "-p", PRJSLICE, "--scan", raw / "proj_*.tif", "--raw",
                             "--angles", "20:200", "--band", "2", "0.5", middle, tmp_path / "cut"],
                            capture_output=True, text=True, env=env)
    assert failed.returncode == 1, failed.stderr
    assert sorted(os.listdir(tmp_path / "cut")) == \
        [".prjstack.values", "prjstack.log", "ranges.csv"] + ["sino_%04d.tif" % r for r in range(4)]
    assert "prjstack: 3 of 7 slices failed:\n  row 4: prjsino: %s/proj_40.tif: cannot read row 4" % raw \
        in failed.stderr
    assert "  row 5: prjsino: %s/proj_40.tif: cannot read row 4" % raw in failed.stderr
    assert "  row 6: not imported, after the failure of rows 4 to 5\n" in failed.stderr
    assert len(open(tmp_path / "cut" / "ranges.csv").read().splitlines()) == 5


# Stands in for ssh: runs the command here in a fresh login's environment.
FAKESSH = """#!/bin/sh
while [ $# -gt 0 ]; do case $1 in -*) shift ;; *) break ;; esac; done
shift
[ "$1" = "--" ] && shift
exec env -i HOME="$HOME" PATH=/usr/bin:/bin SHELL=/bin/sh sh -c "$*"
"""

# A reconstructor that notes where its sinogram comes from (a pipe, or a
# file) and how many sinogram files lie in OUTDIR, then runs prjslice.
WITNESS = """#!/bin/sh
if [ "$1" = - ] && [ -p /dev/stdin ]; then from=pipe; else from=file; fi
echo "$from $(find OUT -name '*.sg' | wc -l)" >>LOG
exec REAL "$@"
"""


# A reconstructor for one band of five rows on one slot: the slice of row r
# waits until the sinograms of the rows before it are gone (those slices have
# finished, so prjstack removes them), 20 s at most, then notes how many lie
# in OUTDIR.
WAITING = """#!/bin/sh
row=${1##*sino_}
row=$(expr "${row%.sg}" + 0)
i=0
while [ "$(find OUT -name '*.sg' | wc -l)" -gt $((5 - row)) ] && [ $i -lt 200 ]; do sleep 0.1; i=$((i + 1)); done
echo "file $(find OUT -name '*.sg' | wc -l)" >>LOG
exec REAL "$@"
"""


@pytest.mark.parametrize("remote", [False, True, "one slot"])
def test_prjstack_scan_streams_here_and_takes_bounded_scratch_elsewhere(tmp_path, remote):
    if remote and not shutil.which("parallel"):
        if os.environ.get("CI"):
            pytest.fail("GNU parallel is not installed")
        pytest.skip("GNU parallel is not installed")
    disc_scan(tmp_path / "scan.h5", 5)
    out, log, bin = tmp_path / "out", tmp_path / "log", tmp_path / "bin"
    bin.mkdir()
    for name, real in (("prjsino", PRJSINO), ("prjaxis", PRJAXIS)):
        os.symlink(os.path.abspath(real), bin / name)
    (bin / "prjslice").write_text((WAITING if remote == "one slot" else WITNESS).replace("OUT", str(out)).replace("LOG", str(log))
                                  .replace("REAL", os.path.abspath(PRJSLICE)))
    (bin / "prjslice").chmod(0o755)
    # What runs of this machine left: one whose process is gone, one alive.
    host = socket.gethostname().replace(".", "_")
    for pid in (dead_pid(), os.getpid()):
        os.makedirs(out / (".prjsino.%s-%d.Ab12Cd" % (host, pid)))
    remote_options = ["-S", "1/nodeA"] if remote == "one slot" else ["-j", "2", "-S", "1/nodeA", "-S", "1/nodeB"] \
        if remote else ["-j", "2"]
    env = dict(os.environ, PARALLEL_SSH=str(tmp_path / "fakessh"))
    (tmp_path / "fakessh").write_text(FAKESSH)
    (tmp_path / "fakessh").chmod(0o755)
    result = subprocess.run([PRJSTACK, "--no-bar", *remote_options, "-p", bin / "prjslice", "--scan",
                             tmp_path / "scan.h5", "--band", "5" if remote == "one slot" else "2", "0.5", "auto", out],
                            capture_output=True,
                            text=True, env=env)
    assert result.returncode == 0, result.stderr
    notes = sorted(open(log).read().split("\n")[:-1])
    if remote == "one slot":   # each removed as its slice finishes, not with its band
        assert notes == ["file %d" % k for k in range(1, 6)], notes
    elif remote:   # one band's files at most
        assert len(notes) == 5 and all(n.startswith("file ") and 1 <= int(n[5:]) <= 2 for n in notes), notes
    else:        # through pipes, and not one sinogram file
        assert notes == ["pipe 0"] * 5
    scratch = sorted(f for f in os.listdir(out) if f.startswith(".prjsino."))
    assert scratch == [".prjsino.%s-%d.Ab12Cd" % (host, os.getpid())]
    assert len(open(out / "ranges.csv").read().splitlines()) == 6
