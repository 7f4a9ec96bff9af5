"""prjslice from Python: numpy in, numpy out.

Drives the prjslice programs through pipes (no temporary files) and returns
exactly what the command line computes:

    reconstruct(sinogram, dr=1.0, r0=None, ra=0.0, *, bands=None, fixed=False, info=False)
    reconstruct_stack(sinograms, dr=1.0, r0=None, ra=0.0, *, bands=None, fixed=False,
                      jobs=None, progress=False, info=False)
    reconstruct_scan(path, rows=None, dr=1.0, r0="auto", *, band=64, ..., info=False)
    find_axis(sinogram) -> float
    read_sinogram(path, *, meta=False)
    write_sinogram(path, array, **meta)

The programs are those of the prefix this package was installed into, or of
the directory named by the environment variable PRJSLICE_BIN (bindir()).
"""

from ._formats import read_sinogram, write_sinogram
from ._programs import ReconstructionError, bindir
from ._reconstruct import AxisWarning, RunInfo, find_axis, reconstruct, reconstruct_stack
from ._rings import remove_rings
from ._scan import ScanInfo, reconstruct_scan

__all__ = ["AxisWarning", "ReconstructionError", "RunInfo", "ScanInfo", "bindir", "find_axis", "read_sinogram",
           "reconstruct", "reconstruct_scan", "reconstruct_stack", "remove_rings", "write_sinogram"]
