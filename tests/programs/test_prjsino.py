"""prjsino end to end: raw scans written here by independent writers (h5py,
tifffile) from known line integrals, converted, and the sinograms read back.

Run by CTest through pytest with PRJSINO_BIN naming the program.
"""

import os
import subprocess

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


def run(*args, env=None, check=True):
    result = subprocess.run([PRJSINO, *map(str, args)], capture_output=True, text=True,
                            env=None if env is None else {**os.environ, **env})
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


def write_nxtomo(path, frames, keys, angles, entry="entry", units="degree"):
    with h5py.File(path, "w") as f:
        g = f.create_group(entry)
        g.attrs["NX_class"] = "NXentry"
        g["definition"] = "NXtomo"
        g.create_dataset("instrument/detector/data", data=frames)
        g["instrument/detector/image_key"] = np.asarray(keys, np.int32)
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
])
def test_round_trip(tmp_path, container, dtype, byteorder):
    gain, dark = detector()
    i0 = I0
    if dtype == "u1":   # counts up to 255
        i0, dark = 120.0, dark - 90
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
        frames = np.concatenate([darks, flats, proj])
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
    args = [out]
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
# Angles and flats: 360-degree scans, radians, falling angles, flats before
# and after the projections.

@pytest.mark.parametrize("what,theta,units,args,frames,ra", [
    ("full turn, first half", np.arange(2 * M) * 3.0, None, [], range(0, M), 0),
    ("full turn, second half", np.arange(2 * M + 1) * 3.0, None, ["--half", "2"], range(M, 2 * M), 180),
    ("radians", np.radians(np.arange(M + 1) * 3.0 + 45), "rad", [], range(0, M), 45),
    ("falling angles", 180 - np.arange(M + 1) * 3.0, "degrees", [], range(M - 1, -1, -1), 3),
    ("angles given", np.zeros(M), None, ["--angles", "-90:87"], range(0, M), -90),
])
def test_angles(tmp_path, what, theta, units, args, frames, ra):
    gain, dark = detector()
    p = line_integrals(len(theta))
    proj = gain * I0 * np.exp(-p) + dark
    flats = (gain * I0 + dark)[None]
    write_dx(tmp_path / "scan.h5", proj, flats, dark[None], theta, units)
    run(*args, tmp_path / "scan.h5", tmp_path / "out")
    values, meta = read_sinogram(tmp_path / "out" / "sino_0002.sg")
    assert float(meta["ra"]) == pytest.approx(ra, abs=1e-9)
    np.testing.assert_allclose(values, p[list(frames), 2], rtol=0, atol=1e-12)


def test_flats_before_and_after_are_interpolated_by_frame_index(tmp_path):
    """The beam fades by 10% over the scan; the flats of each series record it."""
    gain, dark = detector()
    p = line_integrals(M)
    # darks, flats, projections with an invalid frame (key 3) among them, flats
    keys = np.array([2, 2, 1, 1] + [0] * 5 + [3] + [0] * (M - 5) + [1, 1])
    index = np.arange(keys.size)
    before, after = 2.5, index[-1] - 0.5        # mean frame index of each flat series
    beam = I0 * (1 - 0.1 * (index - before) / (after - before))
    frames = np.zeros((keys.size, ROWS, N))
    frames[keys == 2] = dark
    frames[keys == 1] = gain * beam[keys == 1, None, None] + dark
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
    write_dx(tmp_path / "scan.h5", proj, flats, dark[None], np.arange(M) * 3.0)
    result = run("--clip", "1e-4", tmp_path / "scan.h5", tmp_path / "out")
    clamped = 2 + M
    assert ("prjsino: %d of %d samples clamped to the ratio 0.0001 (below it, or not a finite number)\n"
            % (clamped, M * ROWS * N)) in result.stderr
    for r in range(ROWS):
        values, _ = read_sinogram(tmp_path / "out" / ("sino_%04d.sg" % r))
        assert np.isfinite(values).all()
        assert (values <= -np.log(1e-4) + 1e-12).all()
    assert read_sinogram(tmp_path / "out" / "sino_0001.sg")[0][3, 7] == pytest.approx(-np.log(1e-4))


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
    run("--median", "--memory", "0.01", tmp_path / "scan.h5", tmp_path / "out")   # a few rows at a time
    d = np.median(darks, axis=0)
    want = -np.log((proj - d) / (np.median(flats, axis=0) - d))
    check_sinograms(tmp_path / "out", want, 0)


def test_a_failed_rename_leaves_no_sinogram(tmp_path):
    gain, dark = detector()
    write_dx(tmp_path / "scan.h5", gain * I0 * np.exp(-line_integrals(M)) + dark, (gain * I0 + dark)[None],
             dark[None], np.arange(M) * 3.0)
    (tmp_path / "out" / "sino_0003.sg" / "x").mkdir(parents=True)   # a directory in the way
    result = run(tmp_path / "scan.h5", tmp_path / "out", check=False)
    assert result.returncode == 1
    assert result.stderr == "prjsino: %s/out/sino_0003.sg: cannot rename the finished sinogram: Is a directory\n" \
        % tmp_path
    assert os.listdir(tmp_path / "out") == ["sino_0003.sg"]


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
    assert "disagreement the last projection mirrors the first, so the 181 projections span a closed half " \
           "turn (1 degrees a step), but the angles span 179.0055 degrees; to drop the last, give " \
           "--angles 0:180\n" in info
    write_dx(tmp_path / "scan.h5", gain * I0 * np.exp(-p) + dark, (gain * I0 + dark)[None], dark[None], theta)
    assert "disagreement" not in run("--info", tmp_path / "scan.h5").stdout


# ---------------------------------------------------------------------------
# Bad input: one message, status 1 (2 for usage errors), no sinogram left.

def bad_scans(tmp):
    """name -> (arguments, message), each scan made in tmp."""
    gain, dark = detector()
    proj = gain * I0 * np.exp(-line_integrals(M)) + dark
    flats, darks, theta = (gain * I0 + dark)[None], dark[None], np.arange(M) * 3.0
    cases = {}

    def case(name, message, *args, status=1, env=None):
        cases[name] = (list(args), message, status, env)

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
    case("usage: rows", "prjsino: --rows takes A:B with 0 <= A < B (rows A ... B-1): 4:2", "--rows", "4:2",
         tmp / "good.h5", status=2)
    case("usage: raw and no-log", "prjsino: --raw and --no-log exclude each other", "--raw", "--no-log",
         tmp / "good.h5", status=2)
    case("usage: stdout of many rows", "prjsino: OUTDIR - writes one sinogram: select one row with --rows R",
         tmp / "good.h5", status=2)
    return cases


def test_bad_input_fails_with_one_message_and_leaves_nothing(tmp_path):
    cases = bad_scans(tmp_path)
    for name, (args, message, status, env) in cases.items():
        out = tmp_path / ("out-" + name.replace(" ", "-").replace(":", ""))
        target = "-" if "stdout" in name else out
        result = run(*args, target, env=env, check=False)
        assert result.returncode == status, (name, result.stderr)
        assert result.stderr.startswith(message), (name, result.stderr)
        if status == 1:
            assert result.stderr.count("\n") == 1, (name, result.stderr)
        assert not out.exists() or os.listdir(out) == [], name


# ---------------------------------------------------------------------------
# prjstack --scan: the same images as prjslice on prjsino's sinograms.

PRJSTACK = os.environ.get("PRJSTACK_BIN", "prjstack")
PRJSLICE = os.environ.get("PRJSLICE_BIN", "prjslice")
PRJAXIS = os.environ.get("PRJAXIS_BIN", "prjaxis")


def test_prjstack_scan_matches_prjslice_on_the_sinograms(tmp_path):
    import shutil
    if not shutil.which("parallel"):
        if os.environ.get("CI"):
            pytest.fail("GNU parallel is not installed")
        pytest.skip("GNU parallel is not installed")
    rows = 7
    gain, dark = detector(rows)
    x = np.arange(N) - 21.75                   # the axis off the detector centre
    theta = np.arange(M + 1) * 3.0 + 20
    p = np.empty((M + 1, rows, N))
    for k, t in enumerate(np.radians(theta)):
        for r in range(rows):                  # a disc of radius 8 + r about (3, -2)
            s = x - (3 * np.cos(t) - 2 * np.sin(t))
            p[k, r] = 0.04 * 2 * np.sqrt(np.clip((8 + r) ** 2 - s * s, 0, None))
    write_dx(tmp_path / "scan.h5", gain * I0 * np.exp(-p) + dark, (gain * I0 + dark)[None], dark[None], theta)
    run("--rows", "1:6", tmp_path / "scan.h5", tmp_path / "sg")
    middle = subprocess.run([PRJAXIS, tmp_path / "sg" / "sino_0003.sg"], capture_output=True, text=True,
                            check=True).stdout.strip()
    out = tmp_path / "out"
    stack = [PRJSTACK, "-j", "2", "--no-bar", "-p", PRJSLICE, "--scan", tmp_path / "scan.h5", "--rows", "1:6",
             "--band", "2", "0.5", "auto", out]
    result = subprocess.run(stack, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "prjstack: r0/dr %s (prjaxis on row 3)\n" % middle in result.stderr
    names = ["sino_%04d" % r for r in range(1, 6)]
    assert sorted(f for f in os.listdir(out) if not f.startswith("prjstack")) == \
        sorted([n + ".tif" for n in names] + ["ranges.csv"])   # the scratch directory is gone
    csv = ["row,image,min,max"]
    for r, name in zip(range(1, 6), names):
        single = subprocess.run([PRJSLICE, tmp_path / "sg" / (name + ".sg"), "0.5", middle, "20",
                                 tmp_path / (name + ".tif")], capture_output=True, text=True, check=True)
        assert open(out / (name + ".tif"), "rb").read() == open(tmp_path / (name + ".tif"), "rb").read()
        csv.append("%d,%s,%s" % (r, out / (name + ".tif"), single.stdout.strip().replace("\t", ",")))
    assert open(out / "ranges.csv").read() == "\n".join(csv) + "\n"
    # --resume imports and runs only the missing slice
    os.remove(out / "sino_0004.tif")
    result = subprocess.run(stack[:-3] + ["--resume", "0.5", middle, out], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "5 slices, 4 already done, 1 to reconstruct" in result.stderr
    assert open(out / "sino_0004.tif", "rb").read() == open(tmp_path / "sino_0004.tif", "rb").read()
    # a band that cannot be imported: its rows fail with prjsino's message,
    # the bands before it are done, and the CSV and summary still follow
    raw = tmp_path / "raw"
    raw.mkdir()
    for k, frame in enumerate(counts(gain * I0 * np.exp(-p) + dark, "<u2")):
        tifffile.imwrite(raw / ("proj_%d.tif" % k), frame, photometric="minisblack", rowsperstrip=1)
    data = open(raw / "proj_40.tif", "rb").read()
    open(raw / "proj_40.tif", "wb").write(data[:len(data) - 3 * N * 2])   # rows 4 to 6 cut off
    failed = subprocess.run([PRJSTACK, "--no-bar", "-p", PRJSLICE, "--scan", raw / "proj_*.tif", "--raw",
                             "--angles", "20:200", "--band", "2", "0.5", middle, tmp_path / "cut"],
                            capture_output=True, text=True)
    assert failed.returncode == 1, failed.stderr
    assert sorted(os.listdir(tmp_path / "cut")) == \
        ["prjstack.log", "ranges.csv"] + ["sino_%04d.tif" % r for r in range(4)]
    assert "prjstack: 3 of 7 slices failed:\n  row 4: prjsino: %s/proj_40.tif: cannot read row 4" % raw \
        in failed.stderr
    assert "  row 5: prjsino: %s/proj_40.tif: cannot read row 4" % raw in failed.stderr
    assert "  row 6: not imported, after the failure of rows 4 to 5\n" in failed.stderr
    assert len(open(tmp_path / "cut" / "ranges.csv").read().splitlines()) == 5
