"""The sinogram format, read and written, and the slice TIFF, read.

Sinogram: one text line "N M", optionally followed on the same line by
key=value fields separated by single spaces, as the scan importer writes
them:

    N M ra=DEGREES row=R[ axis=COLUMN]\\n

ra is the start angle written with "%.17g" (so that the double reads back
exactly), row a decimal integer, axis the detector column of the rotation
axis ("%.3f"), which the importer writes where the scan holds the frame half
a turn from the first. prjslice reads N and M and ignores the rest
of the line. Then M rows of N samples, each an IEEE 754 binary64 value in
little-endian byte order, row 0 first; bytes after the last row are not read.

The header is read as prjslice reads it: a line of at most 2047 bytes (the
rest of a longer one is skipped), two decimal ints after optional white
space, both positive.
"""

import operator
import os
import re
import stat

import numpy as np

# The header line is read into 2048 bytes, newline and terminating zero included.
HEADER_BYTES = 2047

INT_MAX = 2**31 - 1

_SIZES = re.compile(rb"[ \t\n\v\f\r]*([+-]?[0-9]+)[ \t\n\v\f\r]*([+-]?[0-9]+)")

# The fields the importer writes, in its order, with their formats and types.
_FIELDS = {"ra": ("%.17g", float), "row": ("%d", int), "axis": ("%.3f", float)}


def as_sinogram(sinogram, what="sinogram"):
    """The (M, N) array as C-contiguous little-endian float64; ValueError
    unless it is 2-D, non-empty and real."""
    a = np.asarray(sinogram)
    if a.dtype.kind not in "biuf":
        raise ValueError("%s must hold real numbers, not %s" % (what, a.dtype))
    if a.ndim != 2 or a.size == 0:
        raise ValueError("%s must be a non-empty 2-D (M, N) array, not of shape %s" % (what, a.shape))
    if a.shape[0] > INT_MAX or a.shape[1] > INT_MAX:
        raise ValueError("%s of shape %s: sizes beyond %d" % (what, a.shape, INT_MAX))
    return np.ascontiguousarray(a, dtype="<f8")


def header(N, M, **meta):
    """The header line "N M[ ra=...][ row=...]\\n" as bytes; TypeError for a
    field the format does not have."""
    unknown = sorted(set(meta) - set(_FIELDS))
    if unknown:
        raise TypeError("sinogram header fields are %s, not %s" % (", ".join(_FIELDS), ", ".join(unknown)))
    text = "%d %d" % (N, M)
    for key, (form, kind) in _FIELDS.items():
        if key in meta:
            value = float(meta[key]) if kind is float else operator.index(meta[key])
            text += " %s=%s" % (key, form % value)
    return (text + "\n").encode("ascii")


def _fields(rest):
    """The key=value fields after N and M: ra a float, row an int, any other
    key kept as text."""
    meta = {}
    for token in rest.decode("ascii", "replace").split():
        key, equals, value = token.partition("=")
        if not equals or not key:
            continue
        kind = _FIELDS[key][1] if key in _FIELDS else str
        try:
            meta[key] = kind(value)
        except ValueError:
            raise ValueError("bad sinogram header field %s" % token) from None
    return meta


def read_sinogram(path, *, meta=False):
    """Reads a sinogram file into an (M, N) float64 array.

    With meta=True returns (array, fields): the dict of the header's
    key=value fields, {"ra": float, "row": int} as the importer writes them
    (other keys as text; {} for a plain "N M" header).

    ValueError with prjslice's messages: "bad sinogram size." for a header
    without two positive ints, "sinogram read error" for fewer samples than
    it announces.
    """
    with open(path, "rb") as f:
        line = f.readline(HEADER_BYTES)
        if not line.endswith(b"\n"):
            while True:
                rest = f.readline(1 << 16)
                if not rest or rest.endswith(b"\n"):
                    break
        sizes = _SIZES.match(line)
        if not sizes:
            raise ValueError("bad sinogram size.")
        N, M = (int(v) for v in sizes.groups())
        if not (0 < N <= INT_MAX and 0 < M <= INT_MAX):
            raise ValueError("bad sinogram size.")
        fields = _fields(line[sizes.end():])

        # A regular file is measured first, so that a header claiming more
        # than the file holds costs no memory; other files are read whole.
        count = N * M
        info = os.fstat(f.fileno())
        if stat.S_ISREG(info.st_mode):
            if info.st_size - f.tell() < 8 * count:
                raise ValueError("sinogram read error")
            array = np.fromfile(f, dtype="<f8", count=count)
        else:
            data = f.read(8 * count)
            if len(data) < 8 * count:
                raise ValueError("sinogram read error")
            array = np.frombuffer(data, dtype="<f8").copy()
    # Native float64, row m at [m]: the same values, bit for bit.
    array = array.astype(np.float64, copy=False).reshape(M, N)
    return (array, fields) if meta else array


def write_sinogram(path, array, **meta):
    """Writes the (M, N) array as a sinogram file, with the header fields
    given (ra=DEGREES, row=R) in the importer's form."""
    samples = as_sinogram(array)
    M, N = samples.shape
    line = header(N, M, **meta)
    with open(path, "wb") as f:
        f.write(line)
        f.write(memoryview(samples).cast("B"))


def read_slice(data, out=None):
    """The image and the text after it from the bytes prjslice writes on
    standard output with TG "-": an uncompressed, single-strip, little-endian
    TIFF of float32 samples, then the value line. Returns (image, rest); the
    image is native float32, written into out when given. ValueError for
    bytes that hold no such TIFF (cut short, or another layout)."""

    def need(end):
        if end > len(data):
            raise ValueError("wrote a TIFF cut short at byte %d" % len(data))

    def number(at, size):
        need(at + size)
        return int.from_bytes(data[at:at + size], "little")

    if data[:4] != b"II*\0":
        raise ValueError("wrote no little-endian TIFF")
    ifd = number(4, 4)
    count = number(ifd, 2)
    entries = {}
    end = ifd + 2 + 12 * count + 4
    for n in range(count):
        at = ifd + 2 + 12 * n
        tag, kind, values = number(at, 2), number(at + 2, 2), number(at + 4, 4)
        entries[tag] = number(at + 8, 2 if kind == 3 else 4)
        if kind == 2 and values > 4:  # ASCII stored after the directory
            end = max(end, entries[tag] + values)
    if any(tag not in entries for tag in (256, 257, 258, 273, 279, 339)):
        raise ValueError("wrote a TIFF without the tags of an image")
    width, height, strip = entries[256], entries[257], entries[273]
    if entries[258] != 32 or entries[339] != 3 or entries[279] != 4 * width * height:
        raise ValueError("wrote no single-strip float32 TIFF")
    need(max(strip + 4 * width * height, end))
    pixels = np.frombuffer(data, dtype="<f4", count=width * height, offset=strip).reshape(height, width)
    if out is None:
        out = np.empty((height, width), dtype=np.float32)
    np.copyto(out, pixels)
    return out, data[end:]
