#!/usr/bin/python3
"""Full turns and uneven angles on the phantom: the figures of docs/import-turns.md.

Each case makes raw scans with prjphantom --scan, imports them with prjsino
and, where the figure is about the slice, reconstructs them with prjslice:

  half acquisition  a 360-degree scan on a detector of N columns with the axis
                    40 columns from its edge, the phantom nearly twice the
                    detector's half width, stitched by prjsino; against a
                    half-turn scan on an ideal detector wide enough for the
                    whole object (the stitched width), both with the same
                    counts per sample. RMSE of each slice against the
                    phantom inside the disc both reconstruct.
  centred 360       a 360-degree scan with the axis at the detector centre and
                    Poisson counts: the standard deviation of the slice inside
                    a region where the phantom is flat, both half turns
                    averaged against the first half turn alone (--half 1).
  jitter            projections at angles up to 0.3 steps off even spacing:
                    prjsino's sinogram resampled onto even angles, and the
                    measured projections taken as if they were evenly spaced
                    (--angles FIRST:LAST), each against the exact line
                    integrals at its angles (prjphantom's sinogram); with
                    bins that read the mean over their width, as a detector
                    pixel does (--aperture), and with point samples.

usage: bench/prjsino_turns.py [--build DIR] [--work DIR] [--seeds S]
"""

import argparse
import os
import subprocess

import numpy as np


def run(*command):
    return subprocess.run([str(c) for c in command], check=True, capture_output=True, text=True)


def read_sinogram(path):
    data = open(path, "rb").read()
    header, _, samples = data.partition(b"\n")
    fields = header.decode().split()
    meta = dict(f.split("=", 1) for f in fields[2:])
    return np.frombuffer(samples, "<f8").reshape(int(fields[1]), int(fields[0])), meta


def read_raw(path, n):
    return np.fromfile(path, "<f8").reshape(n, n)


def read_tiff(path):
    import tifffile
    return tifffile.imread(path).astype(np.float64)


class Bench:
    def __init__(self, build, work):
        self.phantom = os.path.join(build, "prjphantom")
        self.sino = os.path.join(build, "prjsino")
        self.slice = os.path.join(build, "prjslice")
        self.work = work
        os.makedirs(work, exist_ok=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def imported(self, scan, *options):
        """The one row's sinogram of prjsino, and its header fields."""
        out = self.path("sinogram.sg")
        with open(out, "wb") as f:
            subprocess.run([self.sino, *map(str, options), "--rows", "0", scan, "-"], stdout=f, check=True,
                           stderr=subprocess.DEVNULL)
        return out, read_sinogram(out)

    def slice_of(self, sinogram, dr, r0dr, ra):
        image = self.path("slice.tif")
        run(self.slice, sinogram, dr, r0dr, ra, image)
        return read_tiff(image)


def half_acquisition(b, seed, poisson):
    n, m, axis = 256, 360, 40
    wide = 2 * (n - 1 - axis) + 1          # the stitched width: the axis at its centre
    dr = 2.0 / wide
    noise = ["--poisson", "--seed", seed] if poisson else ["--dtype", "float32"]
    scan = b.path("half.h5")
    run(b.phantom, "--scan", "dx", "--half-acquisition", "--rows", "1", *noise, n, m, 0, dr, "--", -axis, scan)
    sinogram, (values, meta) = b.imported(scan)
    stitched = b.slice_of(sinogram, dr, -float(meta["axis"]), 0)
    ideal_scan = b.path("wide.h5")
    run(b.phantom, "--scan", "dx", "--rows", "1", *noise, wide, m, 0, dr, "--", -(wide - 1) / 2, ideal_scan)
    sinogram, _ = b.imported(ideal_scan)
    ideal = b.slice_of(sinogram, dr, -(wide - 1) / 2, 0)
    truth = b.path("truth.raw")
    run(b.phantom, "--rows", "1", "--row", "0", "--truth-raw", wide, m, 0, dr, "--", -(wide - 1) / 2,
        b.path("truth.sg"), truth)
    t = read_raw(truth, wide)
    if stitched.shape != t.shape:
        raise SystemExit("the stitched slice is %s, the ideal one %s" % (stitched.shape, t.shape))
    y, x = np.mgrid[0:wide, 0:wide] - (wide - 1) / 2
    disc = x * x + y * y < ((wide - 1) / 2 - 2) ** 2
    rmse = [np.sqrt(((im - t)[disc] ** 2).mean()) for im in (stitched, ideal)]
    return float(meta["axis"]) - (wide - 1) / 2 + 0, values.shape[1], rmse


def centred(b, seed):
    n, m, i0 = 256, 360, 3000
    dr, r0dr = 2.0 / n, -(n - 1) / 2
    scan = b.path("centred.h5")
    run(b.phantom, "--scan", "dx", "--full-turn", "--poisson", "--i0", i0, "--seed", seed, "--rows", "1", n, m, 0,
        dr, "--", r0dr, scan)
    # inside the fifth ellipse of the head (centre (0, 0.35), semi-axes 0.21
    # and 0.25 of the head's radius 0.95 * 127.5, scaled by 0.87 in row 0 of
    # 1), where the phantom is flat: a disc of 0.1 of the head's radius
    R = 0.95 * (n - 1) / 2
    y, x = np.mgrid[0:n, 0:n]
    x, y = x - (n - 1) / 2, (n - 1) / 2 - y
    flat = x * x + (y - 0.35 * R) ** 2 < (0.1 * R) ** 2
    deviations = []
    for options in (["--half", "1"], []):
        sinogram, (_, meta) = b.imported(scan, *options)
        image = b.slice_of(sinogram, dr, -float(meta.get("axis", -r0dr)), 0)
        deviations.append(image[flat].std())
    return deviations


def jitter(b, n, m, seed, aperture):
    dr, r0dr = 2.0 / n, -(n - 1) / 2
    detector = ["--aperture"] if aperture else []
    scan = b.path("jitter.h5")
    run(b.phantom, "--scan", "dx", *detector, "--jitter", 0.3, "--seed", seed, "--dtype", "float64", "--rows", "1",
        n, m, 0, dr, "--", r0dr, scan)
    errors = []
    for options in ([], ["--angles", "0:%r" % ((m - 1) * 180.0 / m)]):
        _, (values, meta) = b.imported(scan, *options)
        exact = b.path("exact.sg")
        run(b.phantom, *detector, "--rows", "1", "--row", "0", n, m, meta["ra"], dr, "--", r0dr, exact)
        errors.append(np.sqrt(((values - read_sinogram(exact)[0]) ** 2).mean()))
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--work", default="/tmp/prjsino-turns")
    parser.add_argument("--seeds", type=int, default=3)
    args = parser.parse_args()
    b = Bench(args.build, args.work)
    seeds = range(1, args.seeds + 1)

    print("half acquisition: N 256, axis 40 columns from the edge, M 360 a half turn; RMSE of the slice")
    for poisson in (False, True):
        for seed in (seeds if poisson else [1]):
            error, width, (stitched, ideal) = half_acquisition(b, seed, poisson)
            print("  %-14s seed %d: stitched to %d columns (axis %+.4f off), RMSE %.5f, ideal detector %.5f, "
                  "ratio %.4f" % ("Poisson" if poisson else "without noise", seed, width, error, stitched, ideal,
                                  stitched / ideal))
    print("centred 360: N 256, M 360 a half turn, Poisson counts of I0 3000; deviation in a flat region")
    for seed in seeds:
        first, both = centred(b, seed)
        print("  seed %d: first half turn %.5f, both %.5f, ratio %.4f" % (seed, first, both, both / first))
    print("jitter of up to 0.3 steps: RMS error of the sinogram against the exact line integrals")
    for aperture in (True, False):
        print("  bins reading %s" % ("the mean over their width (a detector pixel)" if aperture
                                     else "the line integral at their centre"))
        for n, m in ((256, 400), (256, 800), (128, 400)):
            for seed in seeds:
                resampled, even = jitter(b, n, m, seed, aperture)
                print("    N %d, M %d, seed %d: resampled %.3g, taken as even %.3g, ratio %.4f"
                      % (n, m, seed, resampled, even, resampled / even))


if __name__ == "__main__":
    main()
