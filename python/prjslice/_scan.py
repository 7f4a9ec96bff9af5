"""Raw scans through the importer prjsino: its report, the rotation axis of
a row, and bands of rows streamed sinogram by sinogram.

prjsino --rows A:B SCAN - writes the sinograms of rows A ... B-1 on its
standard output one after another, each whole: its header line
"N M ra=RA row=R", then M x N little-endian doubles. The importer holds a
band until its last projection is read; here each sinogram is taken off the
pipe in turn and handed on, into an array or spliced into a child's
standard input, so that memory stays bounded by one band and no sinogram
touches a disk.
"""

import json
import os
import signal
import subprocess
import threading
import warnings
from dataclasses import dataclass

import numpy as np

from ._axis_fit import fit_axis_line, spread_rows
from ._formats import HEADER_BYTES, _SIZES, _fields
from ._programs import Children, ReconstructionError, failure, on_worker, program
from ._reconstruct import AxisWarning, reconstruct_stack


class Processes:
    """Children whose pipes the caller reads as they run (prjsino's bands, the
    batch runner's slices), started as Children starts its own: on a worker
    thread (on_worker), so that a Ctrl-C cannot land between a child's start
    and its registration. stop() kills and reaps every one still running (the
    whole session of one started in a session of its own), and no new one
    starts."""

    def __init__(self):
        self._lock = threading.Lock()
        self._started = []
        self._stopped = False

    def start(self, argv, **options):
        """subprocess.Popen(argv, **options), started on a worker thread."""
        return on_worker(self, self._popen, argv, options)

    def _popen(self, argv, options):
        with self._lock:
            if self._stopped:
                raise InterruptedError("prjslice: the call was interrupted")
            process = subprocess.Popen(argv, **options)
            self._started.append((process, options.get("start_new_session", False)))
            return process

    def stop(self):
        while True:  # another Ctrl-C meanwhile does not cut it short
            try:
                with self._lock:
                    self._stopped = True
                for process, session in self._started:
                    if process.poll() is None:
                        if session:
                            os.killpg(process.pid, signal.SIGKILL)
                        else:
                            process.kill()
                    process.wait()
                return
            except KeyboardInterrupt:
                continue


def collect(path, args, samples=b""):
    """(returncode, stdout bytes, stderr text) of one whole run, started on a
    worker thread with samples on its standard input; a Ctrl-C kills and
    reaps it."""
    children = Children()
    return on_worker(children, children.run, path, args, b"", samples, None)


def report(prjsino, options, scan):
    """prjsino --info --format json on the scan, with the importer's options:
    the report as a dict. A failure raises ReconstructionError (returncode
    2: a usage error of the options)."""
    code, out, err = collect(prjsino, ["--info", "--format", "json", *options, "--", os.fspath(scan)])
    if code != 0:
        raise failure(prjsino, code, err)
    return json.loads(out.decode("utf-8", "surrogateescape"))


def header_axis(line):
    """The r0/dr that a sinogram's header line gives: minus the axis= column
    the importer wrote, or None where it wrote none."""
    sizes = _SIZES.match(line)
    fields = _fields(line[sizes.end():line.find(b"\n")]) if sizes else {}
    return -fields["axis"] if "axis" in fields else None


def sinogram_axis(prjaxis, path=None, samples=b""):
    """The r0/dr of one sinogram, a file at path or the bytes of samples:
    (r0/dr, where it came from, prjaxis's doubts as a list of lines). The
    header's axis= holds where it is there; otherwise prjaxis's estimate. A
    sinogram that determines no axis (prjaxis exits 1) gives (None, prjaxis's
    message, []); another failure of prjaxis raises its ReconstructionError."""
    if path is None:
        head = samples[:HEADER_BYTES + 1]
    else:
        try:
            with open(path, "rb") as f:
                head = f.read(HEADER_BYTES + 1)
        except OSError as error:
            return None, "%s: %s" % (path, error.strerror), []
    given = header_axis(head)
    if given is not None:
        return given, "the importer's axis=", []
    argument = [] if path is None else ["./" + path if path.startswith("-") else os.fspath(path)]
    code, out, err = collect(prjaxis, argument or ["-"], samples)
    lines = [line for line in err.splitlines() if line.strip()]
    if code == 1:
        return None, lines[-1] if lines else "prjaxis exit status 1", []
    if code != 0:
        raise failure(prjaxis, code, err)
    return float(out.decode("ascii")), "prjaxis", lines


def imported_axis(prjsino, prjaxis, options, scan, row):
    """sinogram_axis of one row of the scan, imported by prjsino; a row that
    prjsino cannot import raises its ReconstructionError."""
    code, sinogram, err = collect(prjsino, [*options, "--rows", str(row), "--", os.fspath(scan), "-"])
    if code != 0:
        raise failure(prjsino, code, err)
    return sinogram_axis(prjaxis, samples=sinogram)


def axis_line(rows, estimate, note, warn, label=lambda row: "row %d" % row):
    """The straight line r0/dr = r0 + slope * row through the axes of rows
    spread over the stack (rows: the stack's row numbers in order, each a
    number the line is fitted against). estimate(row) gives a row's
    (r0/dr or None, where from, doubts); note(text) is told every estimate,
    every row skipped and the line, warn(text) prjaxis's doubts and every
    row off the line by more than half a bin; label(row) names a row.
    Raises ValueError when no row determines the axis."""
    estimates = {}
    for index in spread_rows(0, len(rows) - 1):
        value, source, doubts = estimate(rows[index])
        for line in doubts:
            warn("%s: %s" % (label(rows[index]), line))
        if value is None:
            note("%s determines no axis (%s); skipped" % (label(rows[index]), source))
        else:
            note("%s: r0/dr %r (%s)" % (label(rows[index]), value, source))
            estimates[rows[index]] = value
    if not estimates:
        raise ValueError("no row determines the axis (%s)" % source)
    fit = fit_axis_line(estimates)
    note("axis: r0/dr %.3f %+.6g * row (a slope of %.6g bins per row, through %d of %d rows)"
         % (fit.r0, fit.slope, fit.slope, len(fit.used), len(estimates)))
    for row, value in sorted(fit.outliers.items()):
        warn("warning: %s: r0/dr %r lies %.3g bins off the line" % (label(row), value, abs(value - fit.at(row))))
    return fit


def full_turn_options(options, found):
    """The importer's options with the axis of a full turn fixed at the one
    registered for the whole selection, so that every band is combined
    about the same axis into the same N (each band registered on its own
    rows could differ)."""
    if found.get("full_turn") and "--axis" not in options:
        return [*options, "--axis", repr(float(found["full_turn"]["axis"]))]
    return options


class Band:
    """The sinograms of rows first ... end - 1, streamed from one prjsino.

    next(row) reads the header of the next sinogram, which must be row's;
    its samples are then taken with read(), pass_to(fd) or skip() before the
    next. close() waits for prjsino once all are taken, kill() ends it
    (either may be called twice).
    """

    def __init__(self, processes, prjsino, options, scan, first, end):
        self.path, self.first, self.end = prjsino, first, end
        self.process = processes.start(
            [prjsino, *options, "--rows", "%d:%d" % (first, end), "--", os.fspath(scan), "-"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.fd = self.process.stdout.fileno()
        self.left = 0  # bytes of samples of the current sinogram not yet taken

    def _ended(self, what):
        """The error of a stream that ends or goes wrong before a sinogram:
        prjsino's own, or else what went wrong."""
        self.process.kill()
        code = self.process.wait()
        if code not in (0, -9):
            return failure(self.path, code, self.process.stderr.read().decode("utf-8", "replace"))
        return ReconstructionError("prjsino's output %s" % what, code, "", self.path)

    def next(self, row):
        """The header of row's sinogram: (N, M, fields)."""
        line = bytearray()
        while not line.endswith(b"\n"):  # byte by byte: the samples stay in the pipe
            byte = os.read(self.fd, 1)
            if not byte or len(line) >= HEADER_BYTES:
                raise self._ended("ends before the sinogram of row %d" % row if not byte
                                  else "has no header line before row %d" % row)
            line += byte
        sizes = _SIZES.match(line)
        fields = _fields(line[sizes.end():]) if sizes else {}
        if not sizes or fields.get("row") != row:
            raise self._ended("has no header of row %d: %r" % (row, bytes(line)))
        N, M = (int(v) for v in sizes.groups())
        self.header, self.left = bytes(line), 8 * N * M
        return N, M, fields

    def read(self, N, M):
        """The current sinogram's samples as an (M, N) float64 array."""
        samples = np.empty((M, N), dtype="<f8")
        into = memoryview(samples).cast("B")
        while self.left:
            count = self.process.stdout.readinto(into[into.nbytes - self.left:])
            if not count:
                raise self._ended("ends within a sinogram")
            self.left -= count
        return samples.astype(np.float64, copy=False)

    def pass_to(self, fd):
        """Writes the current sinogram into fd (a pipe or file), its samples
        spliced, without a copy here. Returns False when the reader went
        away: the rest is then skipped."""
        try:
            header = memoryview(self.header)
            while header:
                header = header[os.write(fd, header):]
            self._splice(fd)
        except BrokenPipeError:
            self.skip()
            return False
        return True

    def skip(self):
        with open(os.devnull, "wb") as null:
            self._splice(null.fileno())

    def _splice(self, fd):
        while self.left:
            count = os.splice(self.fd, fd, self.left)
            if not count:
                raise self._ended("ends within a sinogram")
            self.left -= count

    def close(self):
        """Waits for prjsino after the last sinogram: its standard error (the
        clamped samples it counted). Raises its ReconstructionError."""
        if os.read(self.fd, 1):
            raise self._ended("goes on after row %d" % (self.end - 1))
        self.process.stdout.close()
        errors = self.process.stderr.read().decode("utf-8", "replace")
        code = self.process.wait()
        if code != 0:
            raise failure(self.path, code, errors)
        return errors

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()


def importer_options(rows=None, angles=None, half=None, flats=None, darks=None, median=False, clip=None,
                     raw=False, no_log=False, memory=None):
    """prjsino's options for these arguments of reconstruct_scan."""
    options = []
    if isinstance(rows, range):
        if rows.step != 1:
            raise ValueError("rows must be consecutive, not %r" % (rows,))
        rows = (rows.start, rows.stop)
    if rows is not None:
        first, end = (rows, rows + 1) if isinstance(rows, int) else rows
        options += ["--rows", "%d:%d" % (first, end)]
    if angles is not None:
        options += ["--angles", "%r:%r" % (float(angles[0]), float(angles[1]))]
    for name, value, text in (("--half", half, lambda v: "%d" % v), ("--flats", flats, os.fspath),
                              ("--darks", darks, os.fspath), ("--clip", clip, lambda v: repr(float(v))),
                              ("--memory", memory, lambda v: repr(float(v)))):
        if value is not None:
            options += [name, text(value)]
    for name, value in (("--median", median), ("--raw", raw), ("--no-log", no_log)):
        if value:
            options.append(name)
    return options


@dataclass(frozen=True)
class ScanInfo:
    """What reconstruct_scan reports beside the images.

    r0        the r0/dr the slices were made with (for "auto", a list: the
              fitted line's value at each row)
    ra        the start angle, the scan's (its sinograms' ra)
    rows      the detector row of each image
    report    prjsino's report (prjsino --info --format json) as a dict
    importer  what prjsino wrote on standard error for each band: the
              projections it kept, the samples it clamped
    runs      one RunInfo per slice
    """

    r0: float
    ra: float
    rows: list
    report: dict
    importer: list
    runs: list


class _Rows:
    """The sinograms of rows, read off prjsino's pipe a band at a time: a
    sized iterable of (M, N) arrays. close() ends the band being read."""

    def __init__(self, prjsino, options, scan, rows, band):
        self.prjsino, self.options, self.scan, self.rows, self.band = prjsino, options, scan, rows, band
        self.reading, self.messages, self.processes = None, [], Processes()

    def __len__(self):
        return len(self.rows)

    def __iter__(self):
        for at in range(0, len(self.rows), self.band):
            rows = self.rows[at:at + self.band]
            self.reading = Band(self.processes, self.prjsino, self.options, self.scan, rows[0], rows[-1] + 1)
            for row in rows:
                N, M, _ = self.reading.next(row)
                yield self.reading.read(N, M)
            self.messages.append(self.reading.close())
            self.close()

    def close(self):
        if self.reading is not None:
            self.reading.kill()
            self.reading = None


def reconstruct_scan(path, rows=None, dr=1.0, r0="auto", *, band=64, angles=None, half=None, flats=None,
                     darks=None, median=False, clip=None, raw=False, no_log=False, rings=False, bands=None, fixed=False,
                     jobs=None, progress=False, info=False):
    """Reconstructs the detector rows of a raw scan; returns the (S, N, N)
    float32 images, one per row in row order.

    path     the scan as prjsino reads it: an HDF5 file (Data Exchange or
             NeXus NXtomo), a multi-page TIFF or a pattern of TIFF files
    rows     None (every row), a row R, or range(A, B) or (A, B) for the
             rows A ... B-1
    dr       detector interval
    r0       r0/dr: "auto", a number, or None (the detector centre). "auto"
             estimates the axis on at least five rows spread over the
             selection (the importer's axis= where it determines one, else
             prjaxis's; rows that determine none are skipped), fits a
             straight line through them and gives each row the line's
             value; a row off the line by more than half a bin warns
             (AxisWarning). For a full turn the header's axis= is the one
             the halves were combined about, and N the combined sinogram's.
    band     rows imported at a time; prjsino holds a band's sinograms in
             memory (band x M x N x 8 bytes)
    angles, half, flats, darks, median, clip, raw, no_log, rings
             prjsino's options (angles=(FIRST, LAST) in degrees)
    bands, fixed, jobs, progress
             as in reconstruct_stack
    info     return (images, ScanInfo): the axis used, the scan's start
             angle, the rows, prjsino's report and messages, and each slice's
             RunInfo

    The start angle is the scan's. Each sinogram goes from prjsino's
    standard output through this process into its prjslice's standard
    input: nothing is written to disk, and at most a band and jobs
    sinograms are held at once. A scan or options that prjsino refuses
    raise ReconstructionError with its message (ValueError for a usage
    error); when no row determines an axis, ReconstructionError ("no row
    determines the axis (prjaxis's message)"), prjaxis's doubts AxisWarning; failed slices raise as in reconstruct_stack.
    """
    if int(band) < 1:
        raise ValueError("band must be at least 1 row, not %r" % (band,))
    prjsino = program("prjsino")
    options = importer_options(angles=angles, half=half, flats=flats, darks=darks, median=median, clip=clip,
                               raw=raw, no_log=no_log)
    if rings:
        options.append("--rings")
    selection = importer_options(rows=rows)
    try:
        found = report(prjsino, options + selection, path)
    except ReconstructionError as error:
        if error.returncode == 2:
            raise ValueError(error.stderr.splitlines()[0]) from None
        raise
    selected = [s["row"] for s in found["sinograms"]]
    if isinstance(r0, str):
        if r0 != "auto":
            raise ValueError('r0 must be a number, None or "auto", not %r' % r0)
        prjaxis = program("prjaxis")
        options = full_turn_options(options, found)
        try:
            fit = axis_line(selected, lambda row: imported_axis(prjsino, prjaxis, options, path, row),
                            lambda text: None, lambda text: warnings.warn(text, AxisWarning, stacklevel=4))
        except ValueError as error:
            raise ReconstructionError(str(error), 1, "", prjaxis) from None
        r0 = [fit.at(row) for row in selected]
    else:
        options = full_turn_options(options, found)
    sinograms = _Rows(prjsino, options, path, selected, int(band))
    try:
        images, runs = reconstruct_stack(sinograms, dr, r0, found["ra"], bands=bands, fixed=fixed, jobs=jobs,
                                         progress=progress, info=True)
    finally:
        sinograms.close()
    if not info:
        return images
    used = -(found["N"] - 1) / 2 if r0 is None else r0 if isinstance(r0, list) else float(r0)
    return images, ScanInfo(used, found["ra"], selected, found, sinograms.messages, runs)
