#!/usr/bin/python3
"""The scan importer against a plain copy of the same bytes.

Makes a synthetic scan with prjphantom --scan (Data Exchange, uncompressed,
contiguous uint16, or with --chunked one frame per chunk; 1024 rows x 1024 columns x 900 projections by default, the
phantom's flats and darks with it), then alternates, RUNS times each:

  prjsino   prjsino SCAN OUTDIR: every row's sinogram, one pass over the frames
  copy      cat SCAN > /dev/null, then dd writing as many bytes as the
            sinograms hold into one file: reading the scan and writing the
            output at the speed of the page cache and the disk

Outputs are removed and the dirty pages written back (sync, not timed) before
every run, so that each starts alike. Prints the median wall time of each,
their ratio, and prjsino's peak resident memory.

With --full-turn the scan holds 2M frames over 360 degrees and prjsino
combines both half turns into one sinogram of M rows (registering the axis
first); with --jitter J its angles are off even spacing by up to J steps and
prjsino resamples them.

usage: bench/prjsino_bench.py [--build DIR] [--work DIR] [--runs R]
                              [--rows R] [--columns N] [--frames M] [--chunked]
                              [--full-turn] [--jitter J]
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import time


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--work", default="/tmp/prjsino-bench")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rows", type=int, default=1024)
    parser.add_argument("--columns", type=int, default=1024)
    parser.add_argument("--frames", type=int, default=900)
    parser.add_argument("--chunked", action="store_true")
    parser.add_argument("--full-turn", action="store_true")
    parser.add_argument("--jitter", type=float, default=0)
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    scan = os.path.join(args.work, "scan.h5")
    out = os.path.join(args.work, "sinograms")
    copy = os.path.join(args.work, "copy.bin")
    n, m, rows = args.columns, args.frames, args.rows
    made = timed([os.path.join(args.build, "prjphantom"), "--scan", "dx", "--rows", str(rows),
                  "--dtype", "uint16", *(["--chunked"] if args.chunked else []),
                  *(["--full-turn"] if args.full_turn else []), *(["--jitter", str(args.jitter)] if args.jitter else []), str(n), str(m), "0", str(2.0 / n), str(-(n - 1) / 2), scan],
                 stdout=subprocess.DEVNULL)
    print("scan: %d rows x %d columns x %d projections, %.2f GB, made in %.1f s"
          % (rows, n, m * (2 if args.full_turn else 1), os.path.getsize(scan) / 1e9, made))
    sinogram_bytes = rows * m * n * 8

    times = {"prjsino": [], "copy": []}
    peak = 0
    for _ in range(args.runs):
        for what in ("prjsino", "copy"):
            shutil.rmtree(out, ignore_errors=True)
            if os.path.exists(copy):
                os.remove(copy)
            subprocess.run(["sync"], check=True)
            if what == "prjsino":
                times[what].append(timed([os.path.join(args.build, "prjsino"), scan, out],
                                         stderr=subprocess.DEVNULL))
                peak = max(peak, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
            else:
                times[what].append(timed("cat '%s' > /dev/null && dd if=/dev/zero of='%s' bs=8M count=%d "
                                         "iflag=count_bytes status=none" % (scan, copy, sinogram_bytes),
                                         shell=True))
    shutil.rmtree(out, ignore_errors=True)
    if os.path.exists(copy):
        os.remove(copy)
    for what, values in times.items():
        print("%-8s median %.2f s of %s" % (what, statistics.median(values),
                                             ", ".join("%.2f" % v for v in values)))
    print("ratio    %.2f" % (statistics.median(times["prjsino"]) / statistics.median(times["copy"])))
    print("prjsino peak RSS %.0f MiB" % (peak / 1024))


if __name__ == "__main__":
    main()
