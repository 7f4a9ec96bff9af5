#!/usr/bin/python3
"""Opens the TIFFs that prjslice and its writer make with one independent
reader and checks that it gets back exactly what was written.

    check_readers.py --reader NAME --prjslice BIN --phantom BIN --pattern BIN
                     [--java-source FILE] [--ij-jar JAR]

NAME is one of libtiff (tiffinfo, tiffdump and a tiffcp round trip), tifffile,
pillow or imagej. The files under test:

  slice-file     prjslice writing a reconstructed slice to a file
  slice-stdout   the same run with TG "-": the TIFF bytes on standard output,
                 cut at the TIFF's own length; the value line must follow them
  pattern-desc   a 37 x 23 pattern written through the writer with its
                 min/max description (not square, large, tiny and subnormal
                 values)
  pattern        the same pattern with no description (13 directory entries)
  pattern-stdout the pattern without description written to standard output

Each file is first taken apart by the small TIFF parser below, which follows
the TIFF 6.0 layout and shares nothing with the writer; the pattern's pixels
are also computed here from its formula and rounded to float32 by numpy. The
reader must then report the same width and height, 32-bit float samples, the
same pixels bit for bit, the same minimum and maximum, and the same
description (or none).

Exit status: 0 when every check passed, 1 on the first mismatch, 77 (skipped)
when the reader is not installed, unless the environment variable CI is set:
continuous integration installs every reader, so there a missing one fails.
"""

import argparse
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SKIP = 77

try:
    import numpy as np
except ImportError:  # every reader check compares arrays
    np = None


class Mismatch(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Mismatch(what)


# --------------------------------------------------------------------------
# An independent TIFF parser: classic TIFF, either byte order, first
# directory, uncompressed 32-bit float samples in any number of strips.

TYPE_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8}
TYPE_CODES = {1: "B", 3: "H", 4: "I", 6: "b", 8: "h", 9: "i", 11: "f", 12: "d"}


class Tiff:
    """Fields: order ('<' or '>'), entries {tag: (type, count, values)},
    width, height, pixels (float32 array, height x width), description (str
    or None), smin, smax (float or None), end (bytes used by the file)."""


def parse_tiff(data):
    t = Tiff()
    expect(len(data) >= 8, "file shorter than a TIFF header")
    expect(data[:2] in (b"II", b"MM"), "no TIFF byte order mark")
    t.order = "<" if data[:2] == b"II" else ">"
    magic, ifd = struct.unpack(t.order + "HI", data[2:8])
    expect(magic == 42, "TIFF magic number is %d, not 42" % magic)
    (count,) = struct.unpack(t.order + "H", data[ifd:ifd + 2])
    t.end = ifd + 2 + 12 * count + 4
    t.entries = {}
    for n in range(count):
        at = ifd + 2 + 12 * n
        tag, typ, cnt = struct.unpack(t.order + "HHI", data[at:at + 8])
        size = TYPE_SIZES[typ] * cnt
        if size <= 4:
            raw = data[at + 8:at + 8 + size]
        else:
            (offset,) = struct.unpack(t.order + "I", data[at + 8:at + 12])
            raw = data[offset:offset + size]
            t.end = max(t.end, offset + size)
        if typ == 2:
            values = raw
        elif typ in (5, 10):
            values = struct.unpack(t.order + ("I" if typ == 5 else "i") * (2 * cnt), raw)
        else:
            values = struct.unpack(t.order + TYPE_CODES[typ] * cnt, raw)
        t.entries[tag] = (typ, cnt, values)

    def one(tag, default=None):
        if tag not in t.entries:
            expect(default is not None, "no tag %d" % tag)
            return default
        return t.entries[tag][2][0]

    t.width, t.height = one(256), one(257)
    expect(one(258) == 32, "BitsPerSample is not 32")
    expect(one(259, 1) == 1, "compressed")
    expect(one(277, 1) == 1, "more than one sample per pixel")
    expect(one(339, 1) == 3, "SampleFormat is not IEEE floating point")
    strips = b""
    for offset, length in zip(t.entries[273][2], t.entries[279][2]):
        strips += data[offset:offset + length]
        t.end = max(t.end, offset + length)
    expect(len(strips) == 4 * t.width * t.height, "strips do not hold width x height samples")
    t.pixels = np.frombuffer(strips, dtype=t.order + "f4").astype(np.float32).reshape(t.height, t.width)
    t.description = None
    if 270 in t.entries:
        text = t.entries[270][2]
        expect(text.endswith(b"\0"), "ImageDescription lacks its zero byte")
        t.description = text[:-1].decode("ascii")
    t.smin = t.entries[340][2][0] if 340 in t.entries else None
    t.smax = t.entries[341][2][0] if 341 in t.entries else None
    return t


def bits(a):
    """The float32 array as its bit patterns, so that -0.0 and subnormals
    compare exactly."""
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def same_pixels(a, b):
    return a.shape == b.shape and np.array_equal(bits(a), bits(b))


def same_float(x, y):
    return np.float32(x).view(np.uint32) == np.float32(y).view(np.uint32)


# --------------------------------------------------------------------------
# The files under test.

class Fixture:
    def __init__(self, name, path, pixels, description):
        self.name, self.path = name, path
        self.pixels = pixels  # float32, height x width: what must be read back
        self.description = description  # text or None
        self.height, self.width = pixels.shape
        self.min = np.float32(pixels.min())
        self.max = np.float32(pixels.max())


def pattern(width, height):
    """The samples of tiff_pattern, computed here: doubles, then float32."""
    k = np.arange(width * height, dtype=np.int64)
    v = ((k * 7919) % 1000 - 500).astype(np.float64) / 37.0
    v[1], v[2], v[3] = 3e38, -2.5e-40, 1e-30
    return v, v.astype(np.float32).reshape(height, width)


def run(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    expect(result.returncode == 0, "%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                           result.stderr.decode(errors="replace")))
    return result


def make_fixtures(tmp, args):
    fixtures = []
    sg = os.path.join(tmp, "slice.sg")
    run([args.phantom, "48", "40", "10", "0.5", "-23.25", sg])
    geometry = ["0.5", "-23.25", "10"]

    path = os.path.join(tmp, "slice-file.tif")
    line = run([args.prjslice, sg] + geometry + [path]).stdout
    data = open(path, "rb").read()
    t = parse_tiff(data)
    expect(t.end == len(data), "slice-file: %d bytes after the TIFF" % (len(data) - t.end))
    expect(line == (t.description + "\n").encode(), "value line %r is not the description %r"
           % (line, t.description))
    low, high = (float(x) for x in t.description.split("\t"))
    expect(abs(low - t.pixels.min()) <= 5e-7 + 1e-7 * abs(low), "description minimum is not the pixels'")
    expect(abs(high - t.pixels.max()) <= 5e-7 + 1e-7 * abs(high), "description maximum is not the pixels'")
    expect(same_float(t.smin, t.pixels.min()) and same_float(t.smax, t.pixels.max()),
           "SMinSampleValue/SMaxSampleValue are not the pixels' range")
    expect(np.count_nonzero(t.pixels) > t.width * t.height // 2, "slice-file: mostly zero")
    fixtures.append(Fixture("slice-file", path, t.pixels, t.description))

    # Standard output: the TIFF, then the value line. Cut at the TIFF's length.
    out = run([args.prjslice, sg] + geometry + ["-"]).stdout
    s = parse_tiff(out)
    expect(out[:s.end] == data, "TIFF on standard output differs from the file")
    expect(out[s.end:] == line, "after the TIFF on standard output: %r, not the value line" % out[s.end:])
    path = os.path.join(tmp, "slice-stdout.tif")
    open(path, "wb").write(out[:s.end])
    fixtures.append(Fixture("slice-stdout", path, s.pixels, s.description))

    width, height = 37, 23
    doubles, floats = pattern(width, height)
    text = "%f\t%f" % (doubles.min(), doubles.max())
    for name, extra, description in (("pattern-desc", ["desc"], text), ("pattern", [], None)):
        path = os.path.join(tmp, name + ".tif")
        run([args.pattern, str(width), str(height), path] + extra)
        data = open(path, "rb").read()
        t = parse_tiff(data)
        expect(t.end == len(data), name + ": bytes after the TIFF")
        expect(len(t.entries) == (14 if description else 13), name + ": wrong number of entries")
        expect(same_pixels(t.pixels, floats), name + ": pixels are not the pattern")
        expect(t.description == description, name + ": description %r" % t.description)
        fixtures.append(Fixture(name, path, floats, description))
    out = run([args.pattern, str(width), str(height), "-"]).stdout
    expect(out == data, "pattern on standard output differs from the file")
    path = os.path.join(tmp, "pattern-stdout.tif")
    open(path, "wb").write(out)
    fixtures.append(Fixture("pattern-stdout", path, floats, None))
    return fixtures


# --------------------------------------------------------------------------
# The readers. Each has missing() (a reason, or None when installed) and
# check(fixture, tmp), which raises Mismatch.

def check_range(f, low, high, who):
    expect(same_float(low, f.min) and same_float(high, f.max),
           "%s: %s reports min/max %r %r, not %r %r" % (f.name, who, low, high, f.min, f.max))


def close_float(text, value):
    """A float printed with six significant digits (libtiff's %g)."""
    return abs(float(text) - float(value)) <= 1e-5 * abs(float(value)) + 1e-37


class LibTiff:
    tools = ("tiffinfo", "tiffdump", "tiffcp")

    def missing(self):
        absent = [t for t in self.tools if not shutil.which(t)]
        return "libtiff tools not installed: " + " ".join(absent) if absent else None

    @staticmethod
    def tiffinfo(path):
        """tiffinfo -d: the directory as libtiff reads it, and the strips as
        libtiff decodes them (hex bytes, in this machine's byte order)."""
        text = run(["tiffinfo", "-d", path]).stdout.decode("latin-1")
        fields, data = {}, bytearray()
        in_data = False
        for line in text.splitlines():
            if re.match(r"^Strip \d+:", line):
                in_data = True
                continue
            if in_data and re.match(r"^( [0-9a-f]{2})*$", line):
                data += bytes(int(h, 16) for h in line.split())
                continue
            in_data = False
            m = re.match(r"^  Image Width: (\d+) Image Length: (\d+)", line)
            if m:
                fields["width"], fields["height"] = int(m.group(1)), int(m.group(2))
            m = re.match(r"^  ([^:]+): (.*)$", line)
            if m:
                fields[m.group(1)] = m.group(2)
        return fields, np.frombuffer(bytes(data), dtype="=f4")

    def check_tiffinfo(self, f, path):
        fields, samples = self.tiffinfo(path)
        expect(fields.get("width") == f.width and fields.get("height") == f.height,
               "%s: tiffinfo size %r x %r" % (f.name, fields.get("width"), fields.get("height")))
        expect(fields.get("Bits/Sample") == "32", f.name + ": tiffinfo Bits/Sample")
        expect(fields.get("Sample Format") == "IEEE floating point", f.name + ": tiffinfo Sample Format")
        expect(fields.get("Compression Scheme") == "None", f.name + ": tiffinfo compression")
        expect(fields.get("ImageDescription") == f.description,
               "%s: tiffinfo description %r" % (f.name, fields.get("ImageDescription")))
        expect(close_float(fields["SMin Sample Value"], f.min), f.name + ": tiffinfo SMin Sample Value")
        expect(close_float(fields["SMax Sample Value"], f.max), f.name + ": tiffinfo SMax Sample Value")
        pixels = samples.reshape(f.height, f.width) if samples.size == f.pixels.size else samples
        expect(same_pixels(pixels, f.pixels), "%s: libtiff decodes other pixels (%s)" % (f.name, path))
        check_range(f, pixels.min(), pixels.max(), "libtiff data")

    def check_tiffdump(self, f):
        text = run(["tiffdump", f.path]).stdout.decode("latin-1")
        tags = {}
        for m in re.finditer(r"^\S+ \((\d+)\) (\w+) \(\d+\) (\d+)<(.*)>$", text, re.M):
            tags[int(m.group(1))] = (m.group(2), int(m.group(3)), m.group(4))
        expect(tags.get(256) == ("LONG", 1, str(f.width)), "%s: tiffdump ImageWidth %r" % (f.name, tags.get(256)))
        expect(tags.get(257) == ("LONG", 1, str(f.height)), f.name + ": tiffdump ImageLength")
        expect(tags.get(258) == ("SHORT", 1, "32"), f.name + ": tiffdump BitsPerSample")
        expect(tags.get(339) == ("SHORT", 1, "3"), f.name + ": tiffdump SampleFormat")
        expect(tags.get(279) == ("LONG", 1, str(4 * f.width * f.height)), f.name + ": tiffdump StripByteCounts")
        expect(tags.get(340, ("",))[0] == "FLOAT" and close_float(tags[340][2], f.min), f.name + ": tiffdump SMin")
        expect(tags.get(341, ("",))[0] == "FLOAT" and close_float(tags[341][2], f.max), f.name + ": tiffdump SMax")
        if f.description is None:
            expect(270 not in tags, f.name + ": tiffdump shows a description")
        else:
            # tiffdump escapes the tab and shows the zero byte; it cuts a
            # long text and ends it with " ...".
            full = f.description.replace("\t", "\\t") + "\\0"
            typ, count, shown = tags.get(270, ("", 0, ""))
            if shown.endswith(" ..."):
                shown = shown[:-4]
                expect(len(shown) >= 10, f.name + ": tiffdump cuts the description short")
                full = full[:len(shown)]
            expect((typ, count, shown) == ("ASCII", len(f.description) + 1, full),
                   "%s: tiffdump ImageDescription %r" % (f.name, tags.get(270)))

    def check_round_trip(self, f, tmp):
        """tiffcp rewrites the file big-endian in strips of 5 rows, then back
        to little-endian: libtiff must keep every sample (swapped as 32-bit
        values) and the tags."""
        big = os.path.join(tmp, f.name + "-big.tif")
        back = os.path.join(tmp, f.name + "-back.tif")
        run(["tiffcp", "-B", "-r", "5", f.path, big])
        run(["tiffcp", "-L", big, back])
        for path, order in ((big, ">"), (back, "<")):
            t = parse_tiff(open(path, "rb").read())
            expect(t.order == order, "%s: tiffcp wrote byte order %s" % (path, t.order))
            expect((t.width, t.height) == (f.width, f.height), path + ": size changed")
            expect(same_pixels(t.pixels, f.pixels), path + ": pixels changed in the tiffcp round trip")
            expect(t.description == f.description, path + ": description changed")
            expect(same_float(t.smin, f.min) and same_float(t.smax, f.max), path + ": SMin/SMax changed")
        expect(len(parse_tiff(open(big, "rb").read()).entries[273][2]) == (f.height + 4) // 5,
               f.name + ": tiffcp did not write strips of 5 rows")
        self.check_tiffinfo(f, big)

    def check(self, f, tmp):
        self.check_tiffinfo(f, f.path)
        self.check_tiffdump(f)
        self.check_round_trip(f, tmp)


class TiffFile:
    def missing(self):
        try:
            import tifffile  # noqa: F401
        except ImportError:
            return "Python module tifffile not installed"
        return None

    def check(self, f, tmp):
        import tifffile
        data = open(f.path, "rb").read()
        for source in (f.path, io.BytesIO(data)):
            with tifffile.TiffFile(source) as tif:
                page = tif.pages[0]
                expect(len(tif.pages) == 1, f.name + ": tifffile sees more than one page")
                expect(page.shape == (f.height, f.width), "%s: tifffile shape %r" % (f.name, page.shape))
                expect(page.dtype == np.float32 and page.bitspersample == 32,
                       "%s: tifffile dtype %s" % (f.name, page.dtype))
                pixels = page.asarray()
                expect(same_pixels(pixels, f.pixels), f.name + ": tifffile reads other pixels")
                check_range(f, pixels.min(), pixels.max(), "tifffile")
                tags = page.tags
                check_range(f, tags["SMinSampleValue"].value, tags["SMaxSampleValue"].value,
                            "tifffile SMin/SMaxSampleValue")
                if f.description is None:
                    expect("ImageDescription" not in tags, f.name + ": tifffile finds a description")
                else:
                    expect(page.description == f.description,
                           "%s: tifffile description %r" % (f.name, page.description))
        expect(same_pixels(tifffile.imread(f.path), f.pixels), f.name + ": tifffile.imread")


class Pillow:
    def missing(self):
        try:
            import PIL.Image  # noqa: F401
        except ImportError:
            return "Python module PIL (Pillow) not installed"
        return None

    def check(self, f, tmp):
        from PIL import Image
        with Image.open(f.path) as image:
            expect(image.format == "TIFF", f.name + ": Pillow format " + str(image.format))
            expect(image.mode == "F", "%s: Pillow mode %s, not 32-bit float" % (f.name, image.mode))
            expect(image.size == (f.width, f.height), "%s: Pillow size %r" % (f.name, image.size))
            pixels = np.asarray(image)
            expect(pixels.dtype == np.float32, f.name + ": Pillow array dtype " + str(pixels.dtype))
            expect(same_pixels(pixels, f.pixels), f.name + ": Pillow reads other pixels")
            low, high = image.getextrema()
            check_range(f, low, high, "Pillow getextrema")
            expect(image.tag_v2.get(258) in (32, (32,)), f.name + ": Pillow BitsPerSample")
            expect(image.tag_v2.get(270) == f.description,
                   "%s: Pillow description %r" % (f.name, image.tag_v2.get(270)))


class ImageJ:
    def __init__(self, args):
        self.jar, self.source = args.ij_jar, args.java_source
        self.classes = None

    def missing(self):
        absent = [t for t in ("java", "javac") if not shutil.which(t)]
        if not os.path.isfile(self.jar):
            absent.append(self.jar)
        return "ImageJ or a JDK not installed: " + " ".join(absent) if absent else None

    def check(self, f, tmp):
        if self.classes is None:
            self.classes = os.path.join(tmp, "classes")
            os.mkdir(self.classes)
            run(["javac", "-nowarn", "-cp", self.jar, "-d", self.classes, self.source])
        raw = os.path.join(tmp, f.name + ".imagej.raw")
        out = run(["java", "-Djava.awt.headless=true", "-cp", self.jar + os.pathsep + self.classes,
                   "OpenWithImageJ", f.path, raw]).stdout.decode()
        keys = ("width", "height", "bitdepth", "min", "max", "description")
        report = dict(line.split(" ", 1) for line in out.splitlines() if line.split(" ", 1)[0] in keys)
        expect(len(report) == len(keys), "%s: ImageJ reported %r" % (f.name, out))
        expect((int(report["width"]), int(report["height"])) == (f.width, f.height),
               "%s: ImageJ size %s x %s" % (f.name, report["width"], report["height"]))
        expect(report["bitdepth"] == "32", f.name + ": ImageJ bit depth " + report["bitdepth"])
        check_range(f, float(report["min"]), float(report["max"]), "ImageJ statistics")
        shown = "none" if f.description is None else f.description.replace("\\", "\\\\").replace("\t", "\\t")
        expect(report["description"] == shown, "%s: ImageJ description %r" % (f.name, report["description"]))
        pixels = np.fromfile(raw, dtype="<f4")
        expect(pixels.size == f.pixels.size, f.name + ": ImageJ holds %d pixels" % pixels.size)
        expect(same_pixels(pixels.reshape(f.height, f.width), f.pixels), f.name + ": ImageJ reads other pixels")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reader", required=True, choices=["libtiff", "tifffile", "pillow", "imagej"])
    parser.add_argument("--prjslice", required=True)
    parser.add_argument("--phantom", required=True)
    parser.add_argument("--pattern", required=True)
    parser.add_argument("--java-source", default=os.path.join(os.path.dirname(__file__), "OpenWithImageJ.java"))
    parser.add_argument("--ij-jar", default="/usr/share/java/ij.jar")
    args = parser.parse_args()

    readers = {"libtiff": LibTiff(), "tifffile": TiffFile(), "pillow": Pillow(), "imagej": ImageJ(args)}
    reader = readers[args.reader]
    absent = "numpy not installed" if np is None else reader.missing()
    if absent:
        if os.environ.get("CI"):
            print("FAILED: %s (scripts/deps.sh installs it)" % absent)
            return 1
        print("SKIPPED: " + absent)
        return SKIP

    with tempfile.TemporaryDirectory(prefix="prjslice-readers-") as tmp:
        try:
            fixtures = make_fixtures(tmp, args)
            for f in fixtures:
                reader.check(f, tmp)
                print("%s: %s %d x %d float32, min %r max %r, description %r: read back exactly"
                      % (args.reader, f.name, f.width, f.height, float(f.min), float(f.max), f.description))
        except Mismatch as e:
            print("FAILED: " + str(e))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
