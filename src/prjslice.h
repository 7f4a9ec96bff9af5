#ifndef PRJSLICE_PRJSLICE_H
#define PRJSLICE_PRJSLICE_H

// prjslice SG dr r0/dr ra TG
//
// Reconstructs one slice from the sinogram SG and writes it to TG as a float
// TIFF; prints the smallest and largest pixel value, separated by a tab.
//   SG     sinogram file; any text starting with "-" reads standard input
//   dr     detector interval (spacing of neighbouring bins), |dr| >= 1e-9
//   r0/dr  coordinate of bin 0 from the rotation axis, in detector intervals;
//          1 - N < r0/dr < 0, so that the axis lies inside the detector
//   ra     angle of the first projection, in degrees
//   TG     output TIFF; exactly "-" writes standard output
//
// Sinogram format: one text line "N M" (bins per projection, projections over
// half a turn) ended by a newline, then M rows of N little-endian IEEE 754
// binary64 samples; row m is taken at the angle ra + m * 180 / M degrees.

#include <cstdint>

// The header line is read into a buffer of this many bytes, newline and
// terminating zero included; the rest of a longer line is skipped.
constexpr int headerBytes = 2048;

// A TIFF addresses its bytes with 32-bit offsets: the N x N float samples, the
// 14-entry directory (182 bytes with the header) and the longest value line
// (636 bytes with its zero) must stay below 4 GiB.
constexpr uint64_t tiffLimit = uint64_t(1) << 32;
constexpr uint64_t tiffOverhead = 182 + 636;

#endif
