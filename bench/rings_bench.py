#!/usr/bin/python3
"""Stripe removal measured: what prjrings takes out of the rings, what it
costs clean data, and its time.

Quality. prjphantom --scan makes raw scans of one detector row of the
textured phantom with Poisson noise (N columns, M projections, --texture
300, as many flats as projections so that the flat field adds no stripes of
its own), once without defects and once with each kind of defective pixel
(and all together); the scans share their noise. prjsino imports each,
prjslice reconstructs it, and prjrings cleans the defective ones. For each
kind it prints, of the error image (the image less that of the scan without
defects), the ring energy and the arc energy before and after prjrings and
their ratios. On the scan without defects it prints the columns prjrings
touches and the harm: the growth of the image's RMS error against the
phantom's truth inside the reconstructed disc. Metrics as docs/rings.md
defines them.

Real data (--tooth PATH, a Data Exchange scan): every row imported, the axis
taken from the importer's axis= field (or prjaxis), and the ring energy of
the image after prjrings against today's.

Time (--time): prjrings through the program (file to file, median of
--runs) on a 512 x 720 sinogram, and at 2048 x 1800 against prjslice's own
reconstruction of the same sinogram; both on a scan of 100 flats, whose flat
field stripes many columns, and on the same with defects.

usage: bench/rings_bench.py [--build DIR] [--work DIR] [--columns N]
                            [--projections M] [--seed S] [--tooth PATH]
                            [--time] [--runs R]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import time

import numpy as np

KINDS = [
    ("full", ["--stripes", "20"]),
    ("partial", ["--partial", "20"]),
    ("intensity", ["--nonlinear", "20"]),
    ("dead", ["--dead", "5", "--saturated", "5"]),
    ("wide", ["--clusters", "8"]),
    ("all", ["--stripes", "10", "--partial", "10", "--nonlinear", "10", "--dead", "3", "--saturated", "3",
             "--clusters", "4"]),
]


def profiles(image, radius, sectors=1):
    """The azimuthal mean of the image in 1-pixel radius bins about its
    centre (the axis), for each of `sectors` equal angular sectors."""
    n = image.shape[0]
    centre = (n - 1) / 2
    x = np.arange(n) - centre
    y = centre - np.arange(n)
    X, Y = np.meshgrid(x, y)
    bins = np.floor(np.hypot(X, Y)).astype(int)
    count = int(np.floor(radius)) + 1
    sector = np.floor(np.mod(np.arctan2(Y, X), 2 * np.pi) / (2 * np.pi) * sectors).astype(int) % sectors
    out = []
    for s in range(sectors):
        inside = (sector == s) & (bins < count)
        sums = np.bincount(bins[inside], weights=image[inside], minlength=count)
        counts = np.bincount(bins[inside], minlength=count)
        out.append(np.where(counts > 0, sums / np.maximum(counts, 1), np.nan))
    return out


def energy(profile, radius):
    """RMS over the bins 3 ... 0.95 radius of the profile less its running
    median of 9 bins (fewer at the ends of the profile)."""
    median = np.array([np.nanmedian(profile[max(0, i - 4):i + 5]) for i in range(len(profile))])
    rest = (profile - median)[3:int(np.floor(0.95 * radius)) + 1]
    rest = rest[np.isfinite(rest)]
    return float(np.sqrt(np.mean(rest * rest)))


def ring_energy(image, radius):
    return energy(profiles(image, radius)[0], radius)


def arc_energy(image, radius):
    return max(energy(p, radius) for p in profiles(image, radius, 8))


class Programs:
    def __init__(self, build, work):
        self.build, self.work = build, work

    def path(self, name):
        return os.path.join(self.build, name)

    def run(self, name, *args, stdin=None):
        return subprocess.run([self.path(name), *map(str, args)], input=stdin, capture_output=True,
                              check=True)

    def sinogram(self, name, phantom, defects=()):
        """prjphantom --scan, then prjsino --rows 0: the sinogram's file."""
        scan = os.path.join(self.work, name + ".h5")
        out = os.path.join(self.work, name + ".sg")
        self.run("prjphantom", "--scan", "dx", "--rows", "1", *phantom[:-5], *defects, *phantom[-5:], scan)
        with open(out, "wb") as f:
            f.write(self.run("prjsino", "--rows", "0", scan, "-").stdout)
        os.remove(scan)
        return out

    def rings(self, path):
        out = path[:-3] + "-rings.sg"
        self.run("prjrings", path, out)
        return out

    def image(self, path, dr, r0):
        """prjslice's image of the sinogram in path, as float64."""
        tif = path[:-3] + ".tif"
        self.run("prjslice", path, repr(dr), repr(r0), "0", tif)
        data = open(tif, "rb").read()
        os.remove(tif)
        ifd = int.from_bytes(data[4:8], "little")
        entries = {}
        for k in range(int.from_bytes(data[ifd:ifd + 2], "little")):
            at = ifd + 2 + 12 * k
            tag, kind = (int.from_bytes(data[at + o:at + o + 2], "little") for o in (0, 2))
            entries[tag] = int.from_bytes(data[at + 8:at + (10 if kind == 3 else 12)], "little")
        n = entries[256]
        return np.frombuffer(data, "<f4", n * n, entries[273]).reshape(n, n).astype(np.float64)


def samples(path):
    data = open(path, "rb").read()
    line = data[:data.index(b"\n") + 1]
    n, m = (int(v) for v in line.split()[:2])
    return line, np.frombuffer(data[len(line):], "<f8", n * m).reshape(m, n)


def quality(p, n, m, seed):
    dr, r0 = 4.0 / n, -(n - 1) / 2
    radius = (n - 1) / 2
    phantom = ["--poisson", "--texture", "300", "--flats", str(m), "--seed", str(seed),
               str(n), str(m), "0", repr(dr), repr(r0)]
    clean = p.sinogram("clean", phantom)
    clean_image = p.image(clean, dr, r0)
    print("| kind | ring energy before | after | ratio | arc energy before | after | ratio | columns touched |")
    print("|---|---|---|---|---|---|---|---|")
    for kind, defects in KINDS:
        striped = p.sinogram(kind, phantom, defects)
        cleaned = p.rings(striped)
        before = p.image(striped, dr, r0) - clean_image
        after = p.image(cleaned, dr, r0) - clean_image
        touched = int((samples(striped)[1] != samples(cleaned)[1]).any(axis=0).sum())
        rb, ra = ring_energy(before, radius), ring_energy(after, radius)
        ab, aa = arc_energy(before, radius), arc_energy(after, radius)
        print("| %s | %.3g | %.3g | %.3f | %.3g | %.3g | %.3f | %d |" % (kind, rb, ra, ra / rb, ab, aa, aa / ab, touched))

    truth = os.path.join(p.work, "truth.raw")
    p.run("prjphantom", "--rows", "1", "--row", "0", "--texture", "300", "--seed", str(seed), "--truth-raw",
          str(n), str(m), "0", repr(dr), repr(r0), os.path.join(p.work, "truth.sg"), truth)
    t = np.fromfile(truth, "<f8").reshape(n, n)
    cleaned = p.rings(clean)
    touched = int((samples(clean)[1] != samples(cleaned)[1]).any(axis=0).sum())
    x = np.arange(n) - (n - 1) / 2
    X, Y = np.meshgrid(x, x)
    disc = np.hypot(X, Y) <= radius
    error_before = np.sqrt(np.mean((clean_image - t)[disc] ** 2))
    error_after = np.sqrt(np.mean((p.image(cleaned, dr, r0) - t)[disc] ** 2))
    print("\nscan without defects: %d of %d columns touched (%.2f%%); image RMS error against the truth %.6g "
          "before, %.6g after: harm %+.3f%%" % (touched, n, 100 * touched / n, error_before, error_after,
                                                100 * (error_after / error_before - 1)))


def tooth(p, path):
    out = os.path.join(p.work, "tooth")
    shutil.rmtree(out, ignore_errors=True)
    p.run("prjsino", path, out)
    print("\n| tooth row | axis (bin) | ring energy today | after | ratio | arc ratio | columns corrected |")
    print("|---|---|---|---|---|---|---|")
    for name in sorted(os.listdir(out)):
        sino = os.path.join(out, name)
        line, values = samples(sino)
        found = re.search(rb"axis=([0-9.]+)", line)
        axis = float(found.group(1)) if found else -float(p.run("prjaxis", sino).stdout)
        n = values.shape[1]
        radius = min(axis, n - 1 - axis)
        cleaned = p.rings(sino)
        today, after = p.image(sino, 1.0, -axis), p.image(cleaned, 1.0, -axis)
        corrected = int((values != samples(cleaned)[1]).any(axis=0).sum())
        rt, ra = ring_energy(today, radius), ring_energy(after, radius)
        print("| %s | %.2f | %.3g | %.3g | %.3f | %.3f | %d |" % (name, axis, rt, ra, ra / rt,
                                                               arc_energy(after, radius) / arc_energy(today, radius),
                                                               corrected))


def median_time(command, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, capture_output=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def timing(p, runs, seed):
    print("\n| sinogram | prjrings (s) | prjslice (s) | share |")
    print("|---|---|---|---|")
    for n, m, texture in ((512, 720, "300"), (2048, 1800, "1200")):
        dr, r0 = 4.0 / n, -(n - 1) / 2
        scale = n // 512
        phantom = ["--poisson", "--texture", texture, "--flats", "100", "--seed", str(seed),
                   str(n), str(m), "0", repr(dr), repr(r0)]
        defects = [str(int(v) * scale) if v.isdigit() else v for v in KINDS[-1][1]]
        # With 100 flats the flat field's own noise stripes many columns
        # (some 460 of 2048): the heavily striped case, which takes the most
        # detection passes; the defects add the other kinds.
        for what, chosen in (("flat-field stripes", []), ("the same with defects", defects)):
            sino = p.sinogram("time-%d-%d" % (n, len(chosen)), phantom, chosen)
            out = sino[:-3] + "-out.sg"
            rings = median_time([p.path("prjrings"), sino, out], runs)
            line = "| %d x %d, %s | %.3f |" % (n, m, what, rings)
            if n == 2048:
                recon = median_time([p.path("prjslice"), sino, repr(dr), repr(r0), "0", sino[:-3] + ".tif"], runs)
                line += " %.2f | %.1f%% |" % (recon, 100 * rings / recon)
            else:
                line += " | |"
            print(line)
            os.remove(sino)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--work", default="/tmp/rings-bench")
    parser.add_argument("--columns", type=int, default=512)
    parser.add_argument("--projections", type=int, default=360)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--tooth")
    parser.add_argument("--time", action="store_true")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    p = Programs(os.path.abspath(args.build), args.work)
    quality(p, args.columns, args.projections, args.seed)
    if args.tooth:
        tooth(p, args.tooth)
    if args.time:
        timing(p, args.runs, args.seed)


if __name__ == "__main__":
    main()
