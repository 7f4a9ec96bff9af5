"""Stripe removal, computed by prjrings.

The sinogram goes to prjrings through a pipe and comes back corrected: the
columns it finds striped are changed, every other sample is returned bit for
bit as given. The result is the program's output, byte for byte.
"""

import numpy as np

from ._formats import as_sinogram, header
from ._programs import Children, ReconstructionError, failure, on_worker, program

# The keyword arguments and the options they become, with their types.
_OPTIONS = {"fdr": ("--fdr", float), "width": ("--width", float), "blocks": ("--blocks", int),
            "window": ("--window", int), "partial": ("--partial", float), "dead": ("--dead", float)}


def remove_rings(sinogram, *, fdr=None, width=None, blocks=None, window=None, partial=None, dead=None,
                 report=False):
    """The (M, N) sinogram with its stripes removed, as a new float64 array.

    The keywords are prjrings' options (None: its default): fdr the false
    discovery rate of the full-stripe test, width the period in columns that
    the smoothing across the detector halves, blocks the blocks of
    projections, window the blocks of a partial-stripe window, partial and
    dead the thresholds of those tests. With report=True returns (array,
    text), text the report prjrings writes with --report: a summary line,
    then "column K KIND ..." for each corrected column.

    ValueError for a sinogram that is not a real 2-D array; ReconstructionError
    with prjrings' message when it refuses the sinogram or an option.
    """
    samples = as_sinogram(sinogram)
    M, N = samples.shape
    args = []
    for key, value in (("fdr", fdr), ("width", width), ("blocks", blocks), ("window", window),
                       ("partial", partial), ("dead", dead)):
        if value is not None:
            option, kind = _OPTIONS[key]
            # repr gives the shortest text that reads back as the same double.
            args += [option, repr(kind(value))]
    if report:
        args.append("--report")
    path = program("prjrings")
    line = header(N, M)
    children = Children()
    code, out, err = on_worker(children, children.run, path, [*args, "-", "-"], line, samples, None)
    if code == 2:  # a usage error: the message, then the usage text
        raise ReconstructionError(err.splitlines()[0], code, err, path)
    if code != 0:
        raise failure(path, code, err)
    if out[:len(line)] != line or len(out) != len(line) + 8 * M * N:
        raise ReconstructionError("prjrings wrote no sinogram of %d x %d" % (M, N), code, err, path)
    corrected = np.frombuffer(out, dtype="<f8", count=M * N, offset=len(line)).astype(np.float64).reshape(M, N)
    return (corrected, err) if report else corrected
