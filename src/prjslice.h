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

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The header line is read into a buffer of this many bytes, newline and
// terminating zero included; the rest of a longer line is skipped.
constexpr int headerBytes = 2048;

// Reads a decimal int as "%d" would, after optional white space; false when
// there is none or it lies outside the range of int.
inline bool ReadHeaderInt(const char*& p, int& value)
{
    char* end;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    p = end;
    return true;
}

// N and M from the start of a header line (its first headerBytes - 1 bytes,
// as read into the buffer): false unless it begins with two ints, both
// positive.
inline bool ParseSinogramHeader(const char* header, int& N, int& M)
{
    const char* p = header;
    return ReadHeaderInt(p, N) && ReadHeaderInt(p, M) && N > 0 && M > 0;
}

// Reads the header line of a sinogram into N and M, leaving in at the first
// sample: the rest of a line longer than the buffer is read to its newline,
// once N and M have been read from its start (so that input which is no
// header fails at once). False when no line can be read, it does not begin
// with two ints, or either is not positive.
inline bool ReadSinogramHeader(FILE* in, int& N, int& M)
{
    char header[headerBytes] = {};
    if (!std::fgets(header, sizeof header, in))
        return false;
    if (!ParseSinogramHeader(header, N, M))
        return false;
    if (!std::memchr(header, '\n', sizeof header - 1)) {
        int c;
        while ((c = std::getc(in)) != EOF && c != '\n') {
        }
    }
    return true;
}

#endif
