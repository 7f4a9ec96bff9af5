#!/usr/bin/python3
"""End-to-end benchmark of prjslice against scikit-image's iradon.

For each size it makes a phantom sinogram with prjphantom (axis at bin N/2,
where scikit-image puts it too), runs prjslice as a whole process under
/usr/bin/time -v, runs scikit-image's iradon (Hann filter, linear
interpolation) on the same sinogram in this process, and measures both
against the true phantom sampled on each one's own pixel grid (ours has the
axis between the middle pixels for even N, scikit-image's on pixel N/2).

Writes the table of docs/performance.md (between its marker lines) and docs/performance.png.
Needs Debian's python3-numpy, python3-skimage and python3-matplotlib.

usage: bench/e2e.py [--build DIR] [--runs R] [--docs DIR]
"""

import argparse
import math
import os
import re
import statistics
import subprocess
import tempfile
import time

# Single-threaded peers: no threaded BLAS or FFT behind numpy.
for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import numpy as np  # noqa: E402
from skimage.transform import iradon  # noqa: E402

CASES = [(512, 360), (1024, 720), (2048, 720), (2048, 1800)]

# The modified Shepp-Logan head: centre, semi-axes (unit circle), angle in
# degrees, density.
SHEPP_LOGAN = [
    (0.0, 0.0, 0.69, 0.92, 0.0, 1.0),
    (0.0, -0.0184, 0.6624, 0.874, 0.0, -0.8),
    (0.22, 0.0, 0.11, 0.31, -18.0, -0.2),
    (-0.22, 0.0, 0.16, 0.41, 18.0, -0.2),
    (0.0, 0.35, 0.21, 0.25, 0.0, 0.1),
    (0.0, 0.1, 0.046, 0.046, 0.0, 0.1),
    (0.0, -0.1, 0.046, 0.046, 0.0, 0.1),
    (-0.08, -0.605, 0.046, 0.023, 0.0, 0.1),
    (0.0, -0.605, 0.023, 0.023, 0.0, 0.1),
    (0.06, -0.605, 0.023, 0.046, 0.0, 0.1),
]


def ellipse_options(radius):
    options = []
    for x, y, a, b, angle, rho in SHEPP_LOGAN:
        options += ["--ellipse", "%r,%r,%r,%r,%r,%r" % (x * radius, y * radius, a * radius,
                                                       b * radius, angle, rho)]
    return options


def half_length(n):
    """The engine's transform half-length: the power of two from the rounded
    logarithm, which doubles the exact powers 32, 512, 1024 and 2048."""
    b = 1 << max(0, math.ceil(math.log2(n)))
    return 2 * b if n in (32, 512, 1024, 2048) else b


def workspace_bytes(n, m):
    b = half_length(n)
    kmax = m * math.ceil((n - 1) * 0.5 * math.pi / m)
    return (m * 8 + n * m * 8 + 3 * 2 * b * 16 + kmax * 8 + kmax * (n + 1) * 8 + 2 * n * 4
            + n * 8 + n * n * 8)


def disc_updates(n, m, r0dr):
    """Pixel-angle updates of the back-projection: K angles over the disc."""
    centre = (n - 1) / 2
    radius = centre - abs(r0dr + centre)
    k = m * math.ceil(radius * math.pi / m)
    pixels = 0
    for i in range(math.ceil(centre - radius), int(centre + radius) + 1):
        s = math.sqrt(max(radius * radius - (centre - i) ** 2, 0.0))
        pixels += int(centre + s) - math.ceil(centre - s) + 1
    return k * pixels


def timed(command):
    """Wall seconds and peak resident KiB of a command, from /usr/bin/time -v."""
    result = subprocess.run(["/usr/bin/time", "-v"] + command, capture_output=True, text=True,
                            check=True)
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", result.stderr)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    seconds = 0.0
    for part in wall.group(1).split(":"):
        seconds = seconds * 60 + float(part)
    return seconds, int(rss.group(1))


def read_sinogram(path):
    raw = open(path, "rb").read()
    newline = raw.index(b"\n")
    n, m = (int(v) for v in raw[:newline].split()[:2])
    return np.frombuffer(raw[newline + 1:], dtype="<f8").reshape(m, n)


def read_tiff_pixels(path, n):
    # Our files hold the samples right after the 8-byte header.
    return np.frombuffer(open(path, "rb").read()[8:8 + 4 * n * n], dtype="<f4").reshape(n, n)


def rmse(image, truth, centre, radius):
    rows, cols = np.mgrid[0:truth.shape[0], 0:truth.shape[1]]
    inside = (rows - centre) ** 2 + (cols - centre) ** 2 <= radius ** 2
    return float(np.sqrt(np.mean((image[inside] - truth[inside]) ** 2)))


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(top, "build"))
    parser.add_argument("--runs", type=int, default=3, help="runs of prjslice per size (median)")
    parser.add_argument("--docs", default=os.path.join(top, "docs"))
    args = parser.parse_args()
    prjslice = os.path.join(args.build, "prjslice")
    prjphantom = os.path.join(args.build, "prjphantom")

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for n, m in CASES:
            r0dr = -n / 2  # axis on bin N/2, as scikit-image assumes
            radius = n / 2 - 1  # distance to the nearer detector end
            phantom = ellipse_options(0.95 * radius)
            sino, truth, image = (os.path.join(tmp, f) for f in ("s.sg", "t.raw", "o.tif"))
            subprocess.run([prjphantom, "--truth-raw"] + phantom +
                           [str(n), str(m), "0", "1", repr(r0dr), sino, truth], check=True)
            # The same phantom on scikit-image's grid: N + 1 pixels about the
            # axis on pixel N/2, of which it returns the first N.
            peer_truth = os.path.join(tmp, "p.raw")
            subprocess.run([prjphantom, "--truth-raw"] + phantom +
                           [str(n + 1), "1", "0", "1", repr(r0dr), os.devnull, peer_truth],
                           check=True)

            walls, rss = [], 0
            for _ in range(args.runs):
                wall, peak = timed([prjslice, sino, "1", repr(r0dr), "0", image])
                walls.append(wall)
                rss = max(rss, peak)
            ours = read_tiff_pixels(image, n)
            ours_error = rmse(ours, np.fromfile(truth, "<f8").reshape(n, n), (n - 1) / 2,
                              0.95 * radius)

            data = read_sinogram(sino)
            start = time.perf_counter()
            peer = iradon(data.T, theta=np.arange(m) * 180.0 / m, filter_name="hann",
                          interpolation="linear", circle=True, output_size=n)
            peer_wall = time.perf_counter() - start
            peer_error = rmse(peer, np.fromfile(peer_truth, "<f8").reshape(n + 1, n + 1)[:n, :n],
                              n // 2, 0.95 * radius)

            wall = statistics.median(walls)
            row = dict(n=n, m=m, wall=wall, spread=max(walls) - min(walls),
                       ns=wall * 1e9 / disc_updates(n, m, r0dr), rss=rss * 1024,
                       workspace=workspace_bytes(n, m), error=ours_error, peer_wall=peer_wall,
                       peer_error=peer_error)
            rows.append(row)
            print("N=%(n)d M=%(m)d: %(wall).2f s (%(ns).3f ns/update), peak %(rss)d B, "
                  "workspace %(workspace)d B, RMSE %(error).4f; iradon %(peer_wall).2f s, "
                  "RMSE %(peer_error).4f" % row, flush=True)

    os.makedirs(args.docs, exist_ok=True)
    table = ["| N | M | prjslice wall (s) | ns per update | peak RSS − workspace (MiB) "
             "| RMSE | iradon Hann wall (s) | iradon RMSE | speed-up |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        table.append("| %d | %d | %.2f ± %.2f | %.3f | %.1f | %.4f | %.1f | %.4f | %.1f× |" % (
            r["n"], r["m"], r["wall"], r["spread"] / 2, r["ns"],
            (r["rss"] - r["workspace"]) / 2 ** 20, r["error"], r["peer_wall"],
            r["peer_error"], r["peer_wall"] / r["wall"]))
    replace_table(os.path.join(args.docs, "performance.md"), "\n".join(table) + "\n")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    labels = ["N=%d\nM=%d" % (r["n"], r["m"]) for r in rows]
    x = np.arange(len(rows))
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.bar(x - 0.2, [r["wall"] for r in rows], 0.4, label="prjslice")
    ax.bar(x + 0.2, [r["peer_wall"] for r in rows], 0.4, label="scikit-image iradon (Hann)")
    ax.set_yscale("log")
    ax.set_ylabel("wall time, one slice, single thread (s)")
    ax.set_xticks(x)
    ax.set_xticklabels(labels)
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(args.docs, "performance.png"), dpi=100)


def replace_table(path, table):
    """Puts the table between the page's two marker lines, keeping the rest."""
    begin, end = "<!-- e2e.py table -->\n", "<!-- end of e2e.py table -->\n"
    page = open(path).read() if os.path.exists(path) else begin + end
    head, _, rest = page.partition(begin)
    _, _, tail = rest.partition(end)
    with open(path, "w") as out:
        out.write(head + begin + table + end + tail)


if __name__ == "__main__":
    main()
