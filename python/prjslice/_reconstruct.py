"""Slices, stacks and the rotation axis, each computed by the programs.

Conventions (those of prjslice): row m of an (M, N) sinogram is the
projection at the angle ra + m * 180 / M degrees; detector bin k lies at
r0/dr + k detector intervals from the rotation axis, so the axis lies at bin
-r0/dr. The (N, N) image has its centre on the axis, row 0 at the top, pixels
one detector interval wide, values in units of the samples divided by dr;
pixels outside the disc that every projection covers are 0.
"""

import concurrent.futures
import os
import sys
import warnings
from collections.abc import Sized
from dataclasses import dataclass

import numpy as np

from ._formats import as_sinogram, header, read_slice
from ._programs import Children, ReconstructionError, failure, on_worker, program


class AxisWarning(UserWarning):
    """prjaxis found the axis but doubts it (its two estimates disagree, or the
    one printed is uncertain)."""


@dataclass(frozen=True)
class RunInfo:
    """What one prjslice run reported beside the image.

    value_line  its standard output line, "min<TAB>max" with six decimals
    min, max    the two numbers of that line (of the pixels that are numbers)
    stderr      its standard error: the full build's pass-band list, one
                "lo<TAB>hi" line each; empty for prjslice-fixed
    """

    value_line: str
    min: float
    max: float
    stderr: str


class _Slices:
    """The program and arguments common to the slices of one call."""

    def __init__(self, dr, r0, ra, bands, fixed):
        if fixed and bands is not None:
            raise ValueError("bands need the full build: prjslice-fixed has the Chesler kernel only")
        self.path = program("prjslice-fixed" if fixed else "prjslice")
        # r0 is one r0/dr for every slice, or a list of one per slice.
        self.r0 = [float(v) for v in r0] if isinstance(r0, list) else None if r0 is None else float(r0)
        self.dr, self.ra = float(dr), float(ra)
        # The child sees BPF_RANGE only as bands gives it, never the caller's.
        self.env = {k: v for k, v in os.environ.items() if k != "BPF_RANGE"}
        if bands is not None:
            self.env["BPF_RANGE"] = ",".join("%r:%r" % (float(lo), float(hi)) for lo, hi in bands)

    def run(self, children, samples, out=None, slice=None):
        """Reconstructs one converted sinogram: (image, RunInfo), or the
        ReconstructionError of the failed run."""
        M, N = samples.shape
        r0 = self.r0[slice] if isinstance(self.r0, list) else self.r0
        r0 = -(N - 1) / 2 if r0 is None else r0
        # repr gives the shortest text that atof reads back as the same double.
        args = ["-", repr(self.dr), repr(r0), repr(self.ra), "-"]
        code, out_bytes, err = children.run(self.path, args, header(N, M), samples, self.env)
        if code != 0:
            return failure(self.path, code, err, slice)
        try:
            image, rest = read_slice(out_bytes, out)
            line = rest.decode("ascii").rstrip("\n")
            low, high = (float(v) for v in line.split("\t"))
        except ValueError as bad:  # a program that ended well but wrote a broken image
            return ReconstructionError("%s: %s" % (os.path.basename(self.path), bad), code, err,
                                       self.path, slice)
        return image, RunInfo(line, low, high, err)


def reconstruct(sinogram, dr=1.0, r0=None, ra=0.0, *, bands=None, fixed=False, info=False):
    """Reconstructs one slice; returns its (N, N) float32 image.

    sinogram  (M, N) array-like: M projections over half a turn, N bins each
    dr        detector interval (negative flips the sign of the image)
    r0        r0/dr, the coordinate of bin 0 from the axis in detector
              intervals; None puts the axis at the detector centre, -(N-1)/2
    ra        angle of the first projection, in degrees
    bands     pass bands [(lo, hi), ...] in cycles per detector interval, as
              BPF_RANGE; None is the whole band 0:0.5 (a BPF_RANGE in the
              environment is not passed on)
    fixed     run prjslice-fixed, the fixed-kernel build (no bands)
    info      return (image, RunInfo) instead of the image alone

    The pixels are those of the TIFF that the command line writes, bit for
    bit. A failed run raises ReconstructionError with the program's message;
    a sinogram that is not 2-D, non-empty and real raises ValueError.
    """
    samples = as_sinogram(sinogram)
    slices = _Slices(dr, r0, ra, bands, fixed)
    children = Children()
    result = on_worker(children, slices.run, children, samples)
    if isinstance(result, ReconstructionError):
        raise result
    return result if info else result[0]


class _Counter:
    """A plain progress counter on standard error, where tqdm is missing."""

    def __init__(self, total):
        self.total, self.done = total, 0

    def update(self, n):
        self.done += n
        sys.stderr.write("\rprjslice: %d%s slices" % (self.done, "" if self.total is None else "/%d" % self.total))
        sys.stderr.flush()

    def close(self):
        sys.stderr.write("\n")


def _progress_bar(total):
    try:
        from tqdm.auto import tqdm  # a widget in notebooks, text elsewhere
    except ImportError:
        return _Counter(total)
    return tqdm(total=total, unit="slice")


def reconstruct_stack(sinograms, dr=1.0, r0=None, ra=0.0, *, bands=None, fixed=False,
                      jobs=None, progress=False, info=False):
    """Reconstructs a stack of slices; returns the (S, N, N) float32 images.

    sinograms is an (S, M, N) array or an iterable of (M, N) sinograms with
    one N (read as needed: at most jobs are held at once). dr, r0, ra, bands
    and fixed apply to every slice as in reconstruct; r0 may also be a list
    of one r0/dr per slice. Up to jobs programs run
    at once (default: the CPU count); the images come in the input's order.
    progress=True shows a progress bar (tqdm where installed, else a counter
    on standard error). info=True returns (images, [RunInfo per slice]).

    A failed slice does not stop the others. Once all have finished, the
    first failed one raises ReconstructionError naming it ("slice 3: bad
    sinogram size."); its failures holds every failed slice's error and its
    partial the whole stack with the failed slices NaN. A sinogram that is
    not 2-D, or of another N than the first, raises ValueError at once.
    """
    jobs = (os.cpu_count() or 1) if jobs is None else int(jobs)
    if jobs < 1:
        raise ValueError("jobs must be at least 1, not %d" % jobs)
    if isinstance(sinograms, np.ndarray) and sinograms.ndim != 3:
        raise ValueError("a stack of sinograms must be an (S, M, N) array, not of shape %s"
                         % (sinograms.shape,))
    # Arrays, sequences and other sized inputs: their images go straight into
    # the stack. Other iterables are gathered and stacked at the end.
    total = len(sinograms) if isinstance(sinograms, Sized) else None
    slices = _Slices(dr, r0, ra, bands, fixed)
    children = Children()
    bar = _progress_bar(total) if progress else None
    stack, images, runs, errors = None, [], [], []
    running = {}  # future: slice index
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=jobs)

    def collect(done):
        for future in done:
            index = running.pop(future)
            result = future.result()
            if isinstance(result, ReconstructionError):
                errors.append(result)
            else:
                images[index], runs[index] = result
            if bar is not None:
                bar.update(1)

    try:
        for index, sinogram in enumerate(sinograms):
            if len(running) >= jobs:
                collect(concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED).done)
            samples = as_sinogram(sinogram, "sinogram %d" % index)
            if index == 0:
                N = samples.shape[1]
                if total is not None:
                    stack = np.empty((total, N, N), dtype=np.float32)
            elif samples.shape[1] != N:
                raise ValueError("sinogram %d has %d bins, sinogram 0 has %d: a stack has one N"
                                 % (index, samples.shape[1], N))
            images.append(None)
            runs.append(None)
            target = None if stack is None else stack[index]
            running[pool.submit(slices.run, children, samples, target, index)] = index
        collect(concurrent.futures.wait(running).done)
    except BaseException:
        children.stop()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        if bar is not None:
            bar.close()
    if not images:
        raise ValueError("no sinograms to reconstruct")

    for error in errors:
        images[error.slice] = np.full((N, N), np.nan, dtype=np.float32)
    if stack is None:
        stack = np.stack(images)
    else:
        for error in errors:
            stack[error.slice] = np.nan
    if errors:
        errors.sort(key=lambda error: error.slice)
        first = errors[0]
        if len(errors) > 1:
            first.args = ("%s (%d of %d slices failed: %s)" % (
                first, len(errors), len(images), ", ".join(str(e.slice) for e in errors)),)
        first.failures, first.partial = errors, stack
        raise first
    return (stack, runs) if info else stack


def find_axis(sinogram):
    """The r0/dr that prjaxis finds for the (M, N) sinogram, as a float (to
    three decimals, as it prints it). Its warnings become AxisWarning; a
    sinogram that does not determine the axis raises ReconstructionError."""
    samples = as_sinogram(sinogram)
    path = program("prjaxis")
    M, N = samples.shape
    children = Children()
    code, out, err = on_worker(children, children.run, path, ["-"], header(N, M), samples, None)
    if code != 0:
        raise failure(path, code, err)
    for line in err.splitlines():
        if line.strip():
            warnings.warn(line, AxisWarning, stacklevel=2)
    try:
        return float(out)
    except ValueError:
        raise ReconstructionError("prjaxis wrote no axis", code, err, path) from None
