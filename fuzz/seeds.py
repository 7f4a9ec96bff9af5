#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/:
small valid inputs of each form, and one or two of each failure, in the
input layouts described at the top of each target's source."""

import math
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def doubles(values):
    return b"".join(struct.pack("<d", v) for v in values)


def samples(n, m):
    return doubles(1.0 + 0.125 * ((7 * k + 3 * r) % 5) + 0.5 * (k == r) for r in range(m) for k in range(n))


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# fuzz_driver: "dr\nr0/dr\nra\noptions\n" and the sinogram file.
def driver(name, args, options, sinogram):
    write("fuzz_driver", name, ("\n".join(args) + "\n" + options + "\n").encode() + sinogram)


driver("small", ["1", "-1.5", "0"], "", b"4 3\n" + samples(4, 3))
driver("stdin-stdout", ["0.5", "-3.5", "30"], "io", b"8 5\n" + samples(8, 5))
driver("vector-paths", ["1", "-7.5", "10"], "", b"16 4\n" + samples(16, 4))
driver("off-centre", ["-2", "-1e-9", "90"], "o", b"17 3\n" + samples(17, 3))
driver("short", ["1", "-1.5", "0"], "", b"4 3\n" + samples(4, 3)[:50])
driver("short-stdin", ["1", "-1.5", "0"], "i", b"4 3\n" + samples(4, 3)[:90])
driver("claims-many-rows", ["1", "-1.5", "0"], "", b"4 1000000000\n" + samples(4, 2))
driver("long-header", ["1", "-1.5", "0"], "", b"4 3" + b" " * 2100 + b"\n" + samples(4, 3))
driver("crlf", ["1", "-1.5", "0"], "", b"4 3\r\n" + samples(4, 3))
driver("no-newline", ["1", "-1.5", "0"], "", b"4 3" + samples(4, 3))
driver("too-large", ["1", "-100", "0"], "", b"40000 1\n")
driver("bad-size", ["1", "-1.5", "0"], "", b"N M\n")
driver("bad-interval", ["1e-10", "-1.5", "0"], "", b"4 3\n" + samples(4, 3))
driver("bad-offset", ["1", "-3", "0"], "", b"4 3\n" + samples(4, 3))
driver("bad-angle", ["1", "-1.5", "1e308"], "", b"4 3\n" + samples(4, 3))
driver("usage", ["1", "-1.5", "0"], "u", b"4 3\n" + samples(4, 3))
driver("nan-samples", ["1", "-1.5", "0"], "", b"4 3\n" + doubles([math.nan] * 12))

# fuzz_bpf_range: the value of BPF_RANGE.
for i, value in enumerate([
    "0:0.5", "0:0.1, 0.2:0.3", "0.1 0.2\t0.3 0.4", "0.4:0.5,0:0.1", "+1e-1:2.5E-1,.3:+0.5",
    "0x1p-4:0x1p-2", "0.1:0.2 junk", "0.1:0.2\n", "0:0.05,0.1,0.2", "0.3:0.1", "0.1:0.3,0.2:0.4",
    "nan:0.5", "0.1:inf", "", "x", "0.25", ",".join("0.%03d:0.%03d5" % (k, k) for k in range(200)),
]):
    write("fuzz_bpf_range", "value-%02d" % i, value.encode())


# fuzz_reconstruct: N, M, the offset form, dr, r0/dr, ra, the samples.
def reconstruct(name, n, m, mode, dr, r0, ra, values):
    write("fuzz_reconstruct", name,
          bytes([(n - 2) % 256, (m - 1) % 256, mode]) + doubles([dr, r0, ra]) + doubles(values))


reconstruct("centred", 8, 4, 0, 1.0, -3.5, 0.0, [1.0 + (k % 5) for k in range(32)])
reconstruct("vector", 16, 6, 0, 0.5, -7.5, 10.0, [1.0 + (k % 7) * 0.25 for k in range(96)])
reconstruct("edge", 40, 9, 0, 1.0, -1e-9, 33.0, [float(k % 3) for k in range(40)])
reconstruct("fraction", 33, 5, 1, -1.0, -0.0, 180.0, [2.0, -1.0, 0.5])
reconstruct("smallest", 2, 1, 0, 1.0, -0.5, 0.0, [1.0, 2.0])
reconstruct("non-finite", 17, 3, 0, 1e-9, -8.0, 0.0, [math.inf, -math.inf, math.nan, 1e308])


# fuzz_writer: width, height, the description and target, the text, samples.
def writer(name, width, height, desc, target, form, text, values):
    write("fuzz_writer", name,
          struct.pack("<HHBB", width - 1, height - 1, desc | target << 2 | form << 4, len(text)) + text +
          doubles(values))


writer("own-description", 3, 2, 1, 0, 0, b"", [1.5, -2.0, 0.25, 1e-40, 3e38, -0.0])
writer("no-description", 1, 1, 0, 0, 0, b"", [0.5])
writer("short-text", 16, 16, 2, 0, 0, b"abc", [float(k) for k in range(256)])
writer("text-of-four", 5, 7, 2, 1, 0, b"abcd", [1.0, 2.0])
writer("nan-first", 4, 4, 1, 0, 0, b"", [math.nan, 1.0, -1.0])
writer("beyond-float", 2, 3, 3, 1, 2, b"", [3.4028235677973366e38, -1e300, math.inf, 4.9e-324])
writer("wide", 512, 128, 3, 0, 1, b"", [0.1 * k for k in range(64)])
writer("full-device", 8, 8, 1, 2, 0, b"", [1.0])
writer("missing-directory", 8, 8, 1, 3, 0, b"", [1.0])
