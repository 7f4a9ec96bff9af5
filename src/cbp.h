#ifndef PRJSLICE_CBP_H
#define PRJSLICE_CBP_H

// Convolution back-projection of one parallel-beam slice.
//
// Units and conventions (for the whole engine):
// - A sinogram has M projections over half a turn, N detector bins each;
//   row m is taken at the angle start + m * pi / M.
// - Detector bin k lies at the coordinate r0/dr + k, in detector intervals
//   from the rotation axis; the axis lies at bin -r0/dr.
// - Pixel (row i, column j) of the N x N image lies at x = j - (N - 1)/2,
//   y = (N - 1)/2 - i: the centre of the image is on the axis, x grows to the
//   right, y upwards. At angle theta it falls on the detector coordinate
//   x cos theta + y sin theta.
// - Image values are in units of the sinogram samples divided by dr.
//
// Calling order: InitCBP, fill the returned M rows, CBP, read the image, TermCBP.

// Allocates the workspace for M projections of N bins (N >= 2, M >= 1),
// builds the twiddle table and the kernel spectrum. Returns the M sinogram
// rows to fill, or a null pointer when memory is short.
double** InitCBP(int N, int M);

// Reconstructs the slice from the filled sinogram rows. dr: detector interval;
// r0dr: coordinate of bin 0 in detector intervals, 1 - N < r0dr < 0; ra: angle
// of row 0 in radians. Returns the N image rows, owned by the engine.
double** CBP(double dr, double r0dr, double ra);

// Back-projection paths, all giving the same image to the last bit: the plain
// scalar loop, AVX2 and AVX-512. CBP takes the fastest the CPU runs.
enum { CBP_SCALAR = 0, CBP_AVX2 = 1, CBP_AVX512 = 2 };

// The path CBP takes for rows of N bins: the one a test chose, else the
// fastest the CPU runs; the scalar loop below 16 bins, the width of the
// vector paths' window, and AVX2 instead of AVX-512 for rows too long for its
// staging buffer (over 262128 bins).
int PathCBP(int N);

// Makes CBP take the given path (for tests and benchmarks); false, and no
// change, when the CPU cannot run it.
bool SetPathCBP(int path);

// Frees the whole workspace.
void TermCBP();

// Forward, unnormalised, in-place radix-2 transform of n (a power of two)
// interleaved complex values X, with the twiddle table E[t] =
// (cos(pi t / n), sin(pi t / n)), of which only even t are read.
void FFT(int n, const double* E, double* X);

// Half-length b of the transform for N bins: a power of two, at least N.
int HalfLengthCBP(int N);

// Rows of the filtered-projection table: M * ceil((N - 1) * pi / (2 M)).
long long RowsCBP(int N, int M);

// The classic kernels, sampled at the detector offset n (unit interval).
double Ramachandran(int n);
double Shepp(int n);
double Chesler(int n);

#endif
