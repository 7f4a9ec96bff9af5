#ifndef PRJSLICE_SIF_F_FAST_H
#define PRJSLICE_SIF_F_FAST_H

#include <cstdint>

// A TIFF addresses its bytes with 32-bit offsets: the N x N float samples, the
// 14-entry directory (182 bytes with the header) and the longest value line
// (636 bytes with its zero) must stay below 4 GiB.
constexpr uint64_t tiffLimit = uint64_t(1) << 32;
constexpr uint64_t tiffOverhead = 182 + 636;

// Description buffer: passed as the description, it is first filled with the
// image's minimum and maximum formatted by SIF_F_form.
extern char SIF_F_desc[2048];
// Smallest and largest sample of the image last written (double values).
extern double SIF_F_min;
extern double SIF_F_max;
// printf-style format of the description: minimum first, then maximum.
extern char SIF_F_form[2048];

// Writes height rows of width doubles as an uncompressed single-strip
// little-endian TIFF of 32-bit floats to path ("-" is standard output), with
// desc as ImageDescription (none when null). A file that cannot be created or
// completely written is reported ("<path> : file not stored."), removed, and
// ends the process with exit status 1.
void StoreImageFile_Float(const char* path, int width, int height,
                          const double* const* rows, const char* desc);

#endif
