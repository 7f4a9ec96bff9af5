#!/usr/bin/python3
"""Reads the raw scans of prjphantom --scan back with independent readers
(h5py for HDF5, tifffile for TIFF) and checks them.

    check_scans.py --phantom BIN

For each case of the table: the layout (groups, datasets, NeXus classes and
links, file names), shapes, sample types and byte order, chunks and filters,
angles and their units, image keys; and that the flat-field corrected
logarithm -ln((P - D) / (F - D)) of every detector row, from the stored
noiseless counts with D and F the means of the stored darks and flats
(interpolated linearly by frame index between the two flat series when the
beam drifts), equals that row's sinogram from prjphantom --row to the
rounding of the stored samples. Then Poisson noise: repeatable by seed, of
Poisson variance about the noiseless counts.

Exit status: 0 when every check passed, 1 on the first mismatch, 77 (skipped)
when h5py, numpy or tifffile is missing, unless the environment variable CI
is set: continuous integration installs them, so there a missing one fails.
"""

import argparse
import os
import subprocess
import sys
import tempfile

SKIP = 77

try:
    import h5py
    import numpy as np
    import tifffile
except ImportError as e:
    h5py = None
    missing = str(e)


class Mismatch(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Mismatch(what)


# The cases: format, sample type, options, geometry N M ra dr r0/dr, rows.
# dr keeps the line integrals of order 1 (at most about 0.26 N dr).
CASES = [
    ("dx", "uint16", [], (64, 10, 0, 0.03, -31.5), 3),
    ("dx", "float32", ["--big-endian", "--compress", "deflate", "--radians"], (48, 7, 12.5, 0.05, -20.25), 4),
    ("dx", "float64", ["--compress", "lz4", "--full-turn", "--end-frame", "--darks", "0"], (40, 6, -30, 0.06, -19.5), 2),
    ("dx", "uint32", ["--chunked", "--i0", "1e6", "--flats", "1"], (33, 5, 90, 0.1, -16), 5),
    ("nxtomo", "uint16", ["--entry", "entry1/tomo_entry", "--flats-after", "--drift", "0.1", "--invalid-frame",
                          "--compress", "blosc"], (64, 9, 0, 0.03, -31.5), 3),
    ("nxtomo", "float32", ["--full-turn", "--end-frame", "--compress", "bzip2", "--big-endian", "--radians"],
     (32, 4, 5, 0.05, -15.5), 2),
    ("nxtomo", "uint8", ["--i0", "120", "--chunked", "--invalid-frame", "--flats-after"], (30, 3, 0, 0.05, -12), 1),
    ("nxtomo", "float64", ["--flats-after", "--drift", "-0.2", "--big-endian"], (36, 5, 45, 0.04, -17.5), 2),
    ("tiff", "uint16", ["--end-frame"], (40, 12, 0, 0.05, -19.5), 3),
    ("tiff", "float32", ["--big-endian", "--darks", "1"], (24, 4, 30, 0.1, -11.5), 2),
    ("tiff", "uint8", ["--i0", "120", "--full-turn"], (20, 3, 0, 0.1, -9.5), 2),
    ("tiff-multi", "uint16", ["--full-turn"], (40, 5, 0, 0.05, -19.5), 3),
    ("tiff-multi", "float64", ["--big-endian", "--flats", "2", "--darks", "0"], (24, 4, -10, 0.1, -11.5), 2),
    ("tiff-multi", "uint32", ["--i0", "1e6"], (20, 3, 0, 0.1, -9.5), 2),
]

FILTER_IDS = {"deflate": "gzip", "lz4": "32004", "bzip2": "307", "blosc": "32001"}


def option(options, name, default=None):
    return options[options.index(name) + 1] if name in options else default


def run(phantom, args):
    env = dict(os.environ)
    if "blosc" in args:
        # The blosc filter plugin never frees its compressor's global context,
        # which the leak checker of the sanitizer build would report.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    r = subprocess.run([phantom] + [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    expect(r.returncode == 0, "prjphantom %s: status %d: %s" % (" ".join(map(str, args)), r.returncode,
                                                              r.stderr.decode(errors="replace")))
    return r.stdout


def row_sinogram(phantom, geometry, rows, row, ra):
    """The --row sinogram of one detector row, starting at the angle ra."""
    N, M, _, dr, r0dr = geometry
    data = run(phantom, ["--rows", rows, "--row", row, N, M, repr(ra), repr(dr), repr(r0dr), "-"])
    header = ("%d %d\n" % (N, M)).encode()
    expect(data.startswith(header), "sinogram header")
    return np.frombuffer(data[len(header):], dtype="<f8").reshape(M, N)


class Frames:
    """A scan as read back: keys, the frame kinds in frame order (0 projection,
    1 flat, 2 dark, 3 invalid); data, the frames as arrays; for HDF5 also the
    datasets (sets) and the projection angles with their units and type, for
    TIFF the pages."""


def expected_order(options, P):
    F, D = int(option(options, "--flats", 4)), int(option(options, "--darks", 2))
    keys = [2] * D + [1] * F + [0] * P
    if "--invalid-frame" in options:
        keys.insert(D + F + (P + 1) // 2, 3)
    if "--flats-after" in options:
        keys += [1] * F
    return keys


def read_dx(path, options, shape, P):
    f = h5py.File(path, "r")
    expect(f["implements"][()] == b"exchange", "/implements")
    x = f["exchange"]
    names = {0: "data", 1: "data_white", 2: "data_dark"}
    keys = expected_order(options, P)
    for key, name in names.items():
        count = keys.count(key)
        expect((name in x) == (count > 0), "/exchange/%s present: %s" % (name, name in x))
        if count:
            expect(x[name].shape == (count,) + shape, "%s shape %s" % (name, x[name].shape))
    frames = Frames()
    frames.keys = [k for k in (2, 1, 0) for _ in range(keys.count(k))]
    frames.data = [x[names[k]][n] for k in (2, 1, 0) for n in range(keys.count(k))]
    frames.sets = [x[names[k]] for k in (2, 1, 0) if keys.count(k)]
    frames.angles = x["theta"][:]
    frames.units = x["theta"].attrs["units"]
    frames.angle_type = x["theta"].dtype
    return frames


def read_nxtomo(path, options, shape, P):
    f = h5py.File(path, "r")
    entry = option(options, "--entry", "entry")
    e = f[entry]
    expect(e.attrs["NX_class"] == "NXentry", "entry NX_class")
    expect(e["definition"][()] == b"NXtomo", "definition")
    for group, nx in (("instrument", "NXinstrument"), ("instrument/detector", "NXdetector"),
                      ("sample", "NXsample"), ("data", "NXdata")):
        expect(e[group].attrs["NX_class"] == nx, "%s NX_class" % group)
    for name, target in (("data", "instrument/detector/data"), ("image_key", "instrument/detector/image_key"),
                         ("rotation_angle", "sample/rotation_angle")):
        link = e["data"].get(name, getlink=True)
        expect(isinstance(link, h5py.SoftLink) and link.path == "/%s/%s" % (entry, target), "link data/" + name)
    expect(e["data"].attrs["signal"] == "data", "NXdata signal")
    d = e["instrument/detector/data"]
    keys = e["instrument/detector/image_key"]
    expect(list(keys[:]) == expected_order(options, P), "image keys %s" % list(keys[:]))
    expect(keys.dtype == np.dtype(">i4" if "--big-endian" in options else "<i4"), "image_key type")
    expect(d.shape == (len(keys),) + shape, "data shape %s" % (d.shape,))
    frames = Frames()
    frames.keys = list(keys[:])
    frames.data = [d[n] for n in range(d.shape[0])]
    frames.sets = [d]
    a = e["sample/rotation_angle"]
    frames.all_angles, frames.units, frames.angle_type = a[:], a.attrs["units"], a.dtype
    frames.angles = a[:][np.array(frames.keys) == 0]
    return frames


def read_tiff(path, options, shape, P, multi):
    keys = expected_order(options, P)
    series = {2: "dark", 1: "flat", 0: "proj"}  # in frame order
    names = {k: (["%s.tif" % name] if keys.count(k) else []) if multi else
             ["%s_%d.tif" % (name, n) for n in range(keys.count(k))] for k, name in series.items()}
    files = sorted(os.listdir(path))
    expect(files == sorted(sum(names.values(), [])), "files %s" % files)
    frames = Frames()
    frames.keys, frames.data, frames.pages = [], [], []
    for key in series:
        count = keys.count(key)
        for name in names[key]:
            with tifffile.TiffFile(os.path.join(path, name)) as t:
                expect(len(t.pages) == (count if multi else 1), "%s: %d pages" % (name, len(t.pages)))
                for page in t.pages:
                    expect(page.shape == shape, "%s: page shape %s" % (name, page.shape))
                    expect(page.compression == 1 and page.samplesperpixel == 1, name + ": compression, samples")
                    expect(t.byteorder == (">" if "--big-endian" in options else "<"), name + ": byte order")
                    frames.keys.append(key)
                    frames.data.append(page.asarray())
                    frames.pages.append(page)
    frames.angles = None
    return frames


def check_case(phantom, tmp, case, number):
    fmt, dtype, options, geometry, rows = case
    N, M, ra, dr, r0dr = geometry
    full, end = "--full-turn" in options, "--end-frame" in options
    P = (2 * M if full else M) + end
    out = os.path.join(tmp, "scan%d" % number + (".h5" if fmt in ("dx", "nxtomo") else ""))
    run(phantom, ["--scan", fmt, "--dtype", dtype, "--rows", rows] + options +
        [N, M, repr(ra), repr(dr), repr(r0dr), out])
    shape = (rows, N)
    stored = np.dtype(dtype).newbyteorder(">" if "--big-endian" in options else "<")
    if fmt == "dx":
        frames = read_dx(out, options, shape, P)
    elif fmt == "nxtomo":
        frames = read_nxtomo(out, options, shape, P)
    else:
        frames = read_tiff(out, options, shape, P, fmt == "tiff-multi")

    # Sample type and byte order, storage.
    if fmt in ("dx", "nxtomo"):
        compress = option(options, "--compress")
        for s in frames.sets:
            expect(s.dtype == stored, "%s: dtype %s, want %s" % (s.name, s.dtype.str, stored.str))
            chunked = compress is not None or "--chunked" in options
            expect(s.chunks == ((1,) + shape if chunked else None), "%s: chunks %s" % (s.name, s.chunks))
            expect(list(s._filters) == ([FILTER_IDS[compress]] if compress else []), "filters %s" % s._filters)
        # Angles: projection m at ra + m 180/M degrees.
        degrees = ra + np.arange(P) * 180.0 / M
        radians = "--radians" in options
        want = np.deg2rad(degrees) if radians else degrees
        expect(np.allclose(frames.angles, want, rtol=0, atol=1e-12), "angles %s" % frames.angles)
        units = {("dx", False): "degrees", ("dx", True): "radians",
                 ("nxtomo", False): "degree", ("nxtomo", True): "rad"}[(fmt, radians)]
        expect(frames.units == units, "units %r" % frames.units)
        expect(frames.angle_type == np.dtype(">f8" if "--big-endian" in options else "<f8"), "angle type")
        if fmt == "nxtomo":
            # Flats and darks carry the angle of the neighbouring projection.
            keys = np.array(frames.keys)
            first = np.argmax(keys == 0)
            last = len(keys) - 1 - np.argmax(keys[::-1] == 0)
            for f, key in enumerate(keys):
                if key in (1, 2):
                    expect(frames.all_angles[f] == frames.all_angles[first if f < first else last],
                           "angle of frame %d" % f)
    else:
        for page in frames.pages:
            expect(page.dtype == np.dtype(dtype), "page dtype %s" % page.dtype)

    # -ln((P - D) / (F - D)) against the --row sinograms; without darks the
    # dark level is unknown, and only the layout is checked.
    if frames.keys.count(2) == 0:
        return "%s %s %s: %d frames of %d x %d, no darks" % (fmt, dtype, " ".join(options), len(frames.keys), rows, N)
    data = [np.asarray(d, dtype=np.float64) for d in frames.data]
    keys = np.array(frames.keys)
    dark = np.mean([d for d, k in zip(data, keys) if k == 2], axis=0)
    flats = [(f, d) for f, (d, k) in enumerate(zip(data, keys)) if k == 1]
    if 3 in keys:
        expect(not data[int(np.argmax(keys == 3))].any(), "invalid frame not zeros")
    drift = float(option(options, "--drift", 0))
    F = int(option(options, "--flats", 4))
    before, after = flats[:F], flats[F:]
    mean = np.mean([d for _, d in flats], axis=0)
    if after:
        fb, fa = np.mean([f for f, _ in before]), np.mean([f for f, _ in after])
        mb, ma = np.mean([d for _, d in before], axis=0), np.mean([d for _, d in after], axis=0)

    def unit(v):  # the rounding of a stored sample of value v
        if dtype.startswith("uint"):
            return 0.5
        return np.abs(v) * np.finfo(dtype).eps

    # Projection m of the scan is row m % M of the sinogram from ra + 180 (m // M).
    references = [[row_sinogram(phantom, geometry, rows, r, ra + 180 * turn) for r in range(rows)]
                  for turn in range((P - 1) // M + 1)]
    expect(np.ptp(np.concatenate([r.ravel() for r in references[0]])) > 0.1, "line integrals of order 1")
    projections = [(f, d) for f, (d, k) in enumerate(zip(data, keys)) if k == 0]
    expect(len(projections) == P, "%d projections" % len(projections))
    worst_mean = 0.0
    for m, (f, p) in enumerate(projections):
        flat = mb + (ma - mb) * (f - fb) / (fa - fb) if after else mean
        estimate = -np.log((p - dark) / (flat - dark))
        sinogram = np.array([references[m // M][r][m % M] for r in range(rows)])
        tolerance = 1.5 * ((unit(p) + unit(dark)) / (p - dark) + (unit(flat) + unit(dark)) / (flat - dark)) + 1e-12
        error = np.abs(estimate - sinogram)
        expect((error <= tolerance).all(), "projection %d: -ln((P - D)/(F - D)) off the sinogram by %g (allowed %g)"
               % (m, error.max(), tolerance.flat[np.argmax(error - tolerance)]))
        worst_mean = max(worst_mean, np.abs(-np.log((p - dark) / (mean - dark)) - sinogram).max())
    if after:
        # The beam at the mean of the flats after is 1 + d times that before,
        # and the plain mean of all flats misses by about d/2.
        change = (ma - dark) / (mb - dark) - 1
        expect(np.allclose(change, drift, rtol=0, atol=2 * unit(ma) / (mb - dark).min()),
               "beam change %s" % change.flat[0])
    if drift:
        expect(worst_mean > abs(drift) / 4, "plain mean of the flats only %g off with drift %g" % (worst_mean, drift))
    return "%s %s %s: %d frames of %d x %d" % (fmt, dtype, " ".join(options), len(keys), rows, N)


def check_poisson(phantom, tmp):
    """Poisson counts: the same seed gives the same file, another seed another;
    over 64 flats the per-pixel mean deviates from the noiseless counts by
    sqrt(counts / 64), and so does each flat by sqrt(counts)."""
    geometry = ["--rows", 4, "--flats", 64, "--i0", 400, "--dtype", "float64", 64, 3, 0, 0.05, -31.5]
    def scan(name, *extra):
        path = os.path.join(tmp, name)
        run(phantom, ["--scan", "dx"] + list(extra) + geometry + [path])
        return h5py.File(path, "r")["exchange/data_white"][:]
    clean, a, b, c = scan("clean.h5"), scan("a.h5", "--poisson"), scan("b.h5", "--poisson"), scan("c.h5", "--poisson", "--seed", 9)
    expect((a == b).all() and not (a == c).all(), "Poisson counts repeat by seed")
    expect((a == np.round(a)).all(), "Poisson counts are integers")
    expect((clean == clean[0]).all(), "noiseless flats alike")
    z = (a - clean) / np.sqrt(clean)
    expect(abs(z.mean()) < 5 / np.sqrt(z.size), "Poisson mean: z mean %g" % z.mean())
    expect(abs(z.std() - 1) < 0.05, "Poisson variance: z deviation %g" % z.std())
    return "poisson: flats of mean and variance the noiseless counts"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--phantom", required=True)
    args = parser.parse_args()
    if h5py is None:
        if os.environ.get("CI"):
            print("FAILED: %s (scripts/deps.sh installs it)" % missing)
            return 1
        print("SKIPPED: " + missing)
        return SKIP
    with tempfile.TemporaryDirectory(prefix="prjslice-scans-") as tmp:
        try:
            for number, case in enumerate(CASES):
                print(check_case(args.phantom, tmp, case, number) + ": as written")
            print(check_poisson(args.phantom, tmp))
        except Mismatch as e:
            print("FAILED: " + str(e))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
