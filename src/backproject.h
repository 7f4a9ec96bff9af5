#ifndef PRJSLICE_BACKPROJECT_H
#define PRJSLICE_BACKPROJECT_H

#include <utility>

// Back-projection of one block of angles onto the disc of the image, in three
// interchangeable forms: the plain scalar loop and two vector forms, each
// compiled for its instruction set and chosen by the CPU at run time.
//
// Pixel (i, j) at the angle with cosine c and sine s falls on detector bin
//   d = x c + t,   x = j - centre,   t = y s - r0/dr,   y = centre - i,
// and gains Q[k][idx] + (Q[k][idx + 1] - Q[k][idx]) w with idx = trunc(d),
// w = d - idx. Every form evaluates exactly these operations, in this order,
// with no fused multiply-add, and adds the angles of the block to each pixel
// in the order k = 0 ... count - 1: their images agree to the last bit.
//
// Q: the count rows of the block (N + 1 doubles, the last a 0.0 guard);
// F: the image rows; rows i0 ... i1 hold the disc, row i the columns
// H0[i] ... H0[i] + dH[i]; cosines, sines: the count angles of the block.
// The vector forms need N >= 16 (their window of bins is 16 wide), the
// AVX-512 form also N <= maxBinsAVX512.

// The AVX-512 form copies the rows of a block into a staging buffer of
// stageDoubles (4 MiB, beside the workspace, touched only as far as used):
// per group of 8 bins their 8 values and 8 slopes, zeros past bin N - 1, and
// one group of zeros before bin 0 and one after the group of bin N - 1, so
// 16 ((N - 1) / 8 + 3) doubles a row (integer division). A block is staged in
// parts of as many angles as fit, up to angleBlock (all 64 up to N = 4080);
// maxBinsAVX512 is the largest N of which one row fits.
constexpr long long stageDoubles = 1 << 19;
constexpr int maxBinsAVX512 = static_cast<int>(8 * (stageDoubles / 16 - 2));

// Angles per block: the partial sums of a row segment stay in registers
// across a block, so that the image is read and written once per block.
constexpr int angleBlock = 64;

// The most image rows of a band (below).
constexpr int rowBand = 8;

// Calls segment(i, j0, n, t) for every disc row i, in runs of at most width
// columns from j0 = H0[i] (n columns each), with t[k] = y sines[k] - r0/dr,
// the row's term of the detector position at each angle of the block. The
// rows go in bands of `band` (1 ... rowBand): the first segment of each row
// of the band, then the second, and so on, so that the bins a band reads at
// one angle lie close together in the cache. Each pixel still takes the
// block's angles in order: the order of the segments does not change it.
template <typename Segment>
inline void ForEachSegment(const int* H0, const int* dH, int i0, int i1, double centre, double r0dr,
                           const double* sines, int count, int width, int band, Segment segment)
{
    double t[rowBand][angleBlock];
    for (int top = i0; top <= i1; top += band) {
        const int rows = i1 - top + 1 < band ? i1 - top + 1 : band;
        int widest = 0;
        for (int r = 0; r < rows; ++r) {
            const double y = centre - (top + r);
            for (int k = 0; k < count; ++k)
                t[r][k] = y * sines[k] - r0dr;
            widest = dH[top + r] + 1 > widest ? dH[top + r] + 1 : widest;
        }
        for (int from = 0; from < widest; from += width)
            for (int r = 0; r < rows; ++r) {
                const int i = top + r, j0 = H0[i] + from, end = H0[i] + dH[i] + 1;
                if (j0 < end)
                    segment(i, j0, end - j0 < width ? end - j0 : width, t[r]);
            }
    }
}

// body(0), ..., body(V - 1), written out, so that the vectors of a segment
// stay in registers rather than in an array in memory.
template <typename Body, int... v>
inline void EachVector(std::integer_sequence<int, v...>, Body body)
{
    (body(v), ...);
}

void BackProjectScalar(const double* const* Q, double* const* F, const int* H0, const int* dH,
                       int i0, int i1, int N, double centre, double r0dr,
                       const double* cosines, const double* sines, int count);
void BackProjectAVX2(const double* const* Q, double* const* F, const int* H0, const int* dH,
                     int i0, int i1, int N, double centre, double r0dr,
                     const double* cosines, const double* sines, int count);
void BackProjectAVX512(const double* const* Q, double* const* F, const int* H0, const int* dH,
                       int i0, int i1, int N, double centre, double r0dr,
                       const double* cosines, const double* sines, int count);

#endif
