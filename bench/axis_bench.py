#!/usr/bin/python3
"""How far prjaxis lands from the true axis, and whether it warns when it is off.

    bench/axis_bench.py BUILD [TOOTH.h5]

BUILD is the build directory (prjphantom, prjaxis, prjslice-fixed at its
top). Phantom sinograms of five kinds, five noise seeds each: the
error |printed - true| in bins, the largest per kind, and every case off by
more than a bin without a warning (there must be none). With a real scan
(Data Exchange, imported by prjsino), each row's estimate against the
sharpest reconstruction by two measures over the disc of 0.9 of the covered
radius: the r0/dr that maximises the gradient energy sum |grad f|^2, and the
one that minimises the total variation sum |grad f| (forward differences), on
a grid of 0.05 bins (parabola through the best three). Then each row cut to fewer
columns about its axis, so that the object fills the cut and its ends hold no air: prjaxis on
the cut against the whole row's sharpest by total variation. numpy and tifffile.
"""

import os
import subprocess
import sys
import tempfile

import numpy as np
import tifffile

BUILD = sys.argv[1]
PHANTOM = os.path.join(BUILD, "prjphantom")
AXIS = os.path.join(BUILD, "prjaxis")
SINO = os.path.join(BUILD, "prjsino")
SLICE = os.path.join(BUILD, "prjslice-fixed")
TMP = tempfile.mkdtemp()


def textured(c, n, extent, seed, count=80):
    """A large ellipse (semi-axes extent * the covered radius) with count small
    ellipses of densities -0.4 ... 0.4 inside it."""
    rng = np.random.default_rng(seed)
    h = min(c, n - 1 - c)
    out = ["0,0,%g,%g,20,1" % (extent[0] * h, extent[1] * h)]
    for _ in range(count):
        r, a = np.sqrt(rng.uniform()) * min(extent) * h * 0.95, rng.uniform(0, 2 * np.pi)
        out.append("%.3f,%.3f,%.3f,%.3f,%.1f,%.3f" % (r * np.cos(a), r * np.sin(a), rng.uniform(2, 0.08 * h),
                                                     rng.uniform(2, 0.08 * h), rng.uniform(0, 180),
                                                     rng.uniform(-0.4, 0.4)))
    return out


# kind: (N, M, ra, axis column, noise, ellipses(seed) or None for the head)
KINDS = {
    "noisy head, 1%": (512, 360, 10, 255.5, 0.01, None),
    "axis 20% off centre, 1%": (512, 360, 10, 0.3 * 511 + 0.37, 0.01, None),
    "no air, textured": (512, 360, 0, 255.3, 0.0, lambda s: textured(255.3, 512, (1.35, 1.15), s)),
    "no air, textured, 0.2%": (512, 360, 0, 255.3, 0.002, lambda s: textured(255.3, 512, (1.35, 1.15), s)),
    "no air, textured, 1%": (512, 360, 0, 255.3, 0.01, lambda s: textured(255.3, 512, (1.35, 1.15), s)),
    "leaving the view, textured": (512, 360, 17, 220.7, 0.0, lambda s: textured(220.7, 512, (1.27, 0.8), s)),
    "leaving the view, textured, 1%": (512, 360, 17, 220.7, 0.01, lambda s: textured(220.7, 512, (1.27, 0.8), s)),
}


# Cuts of a real row: half the width, and the offset of the cut's centre from the axis, in columns.
CUTS = ((100, 0), (100, 30), (120, -40), (80, 20))


def estimate(path):
    r = subprocess.run([AXIS, path], capture_output=True, text=True)
    return (float(r.stdout) if r.returncode == 0 else None), r.stderr.strip()


def phantoms():
    print("| kind | N x M | worst error (bins) | mean error | warned | off > 1 bin, unwarned |")
    print("|---|---|---|---|---|---|")
    for kind, (n, m, ra, c, noise, ellipses) in KINDS.items():
        errors, warned, silent = [], 0, 0
        for seed in range(1, 6):
            path = os.path.join(TMP, "p.sg")
            args = [PHANTOM, "--noise", str(noise), "--seed", str(seed)]
            for e in (ellipses(seed) if ellipses else []):
                args += ["--ellipse", e]
            subprocess.run(args + [str(n), str(m), str(ra), "1", repr(-c), path], check=True)
            value, err = estimate(path)
            error = abs(value + c) if value is not None else float("inf")
            errors.append(error)
            warned += bool(err)
            silent += error > 1 and not err
        print("| %s | %d x %d | %.3f | %.3f | %d of 5 | %d |" % (kind, n, m, max(errors), np.mean(errors), warned,
                                                               silent))


def sharpness(sg, n, r0):
    """(gradient energy, -total variation): both larger for a sharper image."""
    out = os.path.join(TMP, "s.tif")
    subprocess.run([SLICE, sg, "1", repr(r0), "0", out], check=True, capture_output=True)
    f = tifffile.imread(out).astype(float)
    c = -r0
    y, x = np.mgrid[0:n, 0:n]
    disc = np.hypot(x - (n - 1) / 2, y - (n - 1) / 2)[:-1, :-1] < 0.9 * min(c, n - 1 - c)
    gx, gy = np.diff(f, axis=1)[:-1, :], np.diff(f, axis=0)[:, :-1]
    g2 = (gx ** 2 + gy ** 2)[disc]
    return g2.sum(), -np.sqrt(g2).sum()


def tooth(scan):
    out = os.path.join(TMP, "tooth")
    subprocess.run([SINO, scan, out], check=True, capture_output=True)
    sharpest = {}
    print("\n| row | prjaxis r0/dr | sharpest by gradient energy | by total variation | differences (bins) | warnings |")
    print("|---|---|---|---|---|---|")
    for name in sorted(os.listdir(out)):
        sg = os.path.join(out, name)
        n = int(open(sg, "rb").readline().split()[0])
        value, err = estimate(sg)
        grid = np.arange(value - 1.5, value + 1.5001, 0.05)
        measures = np.array([sharpness(sg, n, r0) for r0 in grid])
        bests = []
        for s in measures.T:
            i = int(np.argmax(s))
            best = grid[i]
            if 0 < i < len(grid) - 1:
                best += 0.05 * 0.5 * (s[i - 1] - s[i + 1]) / (s[i - 1] - 2 * s[i] + s[i + 1])
            bests.append(best)
        print("| %s | %.3f | %.3f | %.3f | %.3f, %.3f | %s |" % (name, value, bests[0], bests[1], abs(value - bests[0]),
                                                               abs(value - bests[1]), err or "none"))
        sharpest[name] = bests[1]
    print("\n| row | columns | prjaxis r0/dr (whole row's bins) | off the sharpest (TV) | printed |")
    print("|---|---|---|---|---|")
    for name in sorted(sharpest):
        header, samples = open(os.path.join(out, name), "rb").read().split(b"\n", 1)
        n, m = (int(v) for v in header.split()[:2])
        rows = np.frombuffer(samples[:8 * n * m], "<f8").reshape(m, n)
        axis = int(round(-sharpest[name]))
        for half, offset in CUTS:
            first = axis + offset - half
            cut = os.path.join(TMP, "cut.sg")
            with open(cut, "wb") as f:
                f.write(b"%d %d\n" % (2 * half, m))
                f.write(rows[:, first:first + 2 * half].tobytes())
            value, err = estimate(cut)
            printed = "the second" if "printed the second" in err else "the first" if err else "no warning"
            print("| %s | %d to %d | %.3f | %.3f | %s |" % (name, first, first + 2 * half - 1, value - first,
                                                         abs(value - first - sharpest[name]), printed))


phantoms()
if len(sys.argv) > 2:
    tooth(sys.argv[2])
