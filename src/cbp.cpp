// Reconstruction engine: workspace, radix-2 transform, classic kernels and the
// convolution back-projection itself.
//
// Conventions (also in cbp.h): row m of the sinogram is the projection at the
// angle start + m * pi / M; detector bin k lies at r0/dr + k detector
// intervals from the rotation axis, so the axis is at bin -r0/dr; pixel
// (i, j) lies at x = j - (N - 1)/2, y = (N - 1)/2 - i and falls on the
// detector coordinate x cos theta + y sin theta; image values are in units of
// the samples divided by dr.

#include "cbp.h"

#include "backproject.h"

#ifdef PRJSLICE_BPF
#include "bpf.h"
#endif

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

static const double pi = 3.141592653589793;
static const double ln2 = 0.6931471805599453;

// The workspace. Complex arrays hold (re, im) pairs interleaved; each
// two-dimensional array is a row-pointer array over one contiguous block
// reached (and freed) through row 0.
static int N;             // detector bins; width and height of the image
static int M;             // measured projections over half a turn
static int b;             // transform half-length: a power of two >= N
static int Kmax;          // rows of Q: the most back-projection angles
static double** P;        // M rows of N doubles: the sinogram
static double* E;         // 2b complex: E[t] = exp(i pi t / 2b)
static double* Z;         // 2b complex: transform buffer, interpolation pairs
static double* G;         // 2b complex: spectrum of the kernel taps
static double** Q;        // Kmax rows of N + 1 doubles, the last a 0.0 guard
static int* H0;           // N: first column of each image row inside the disc
static int* dH;           // N: columns of each row inside the disc, minus one
static double** F;        // N rows of N doubles: the image

// ---------------------------------------------------------------------------
// Classic kernels, sampled at integer detector offsets for a unit interval.
// In frequency (nu in cycles per interval, |nu| <= 1/2): Ramachandran is the
// ramp |nu|, Shepp is |nu| |sin(pi nu)/(pi nu)|, Chesler is |nu| cos^2(pi nu),
// i.e. the ramp taps smoothed by the weights 1/4, 1/2, 1/4.

static const double pi2 = 9.869604401089358;       // pi^2 as a double
static const double twoPi2 = 19.739208802178716;   // 2 pi^2, exactly twice pi2
static const double chesler0 = 0.07433940817883111;   // 1/8 - 1/(2 pi^2)
static const double chesler1 = 0.011839408178831112;  // 1/16 - 1/(2 pi^2)

double Ramachandran(int n)
{
    if (n == 0)
        return 0.25;
    if (n % 2 != 0) {
        const double x = n;
        return -1.0 / ((pi2 * x) * x);
    }
    return 0.0;
}

double Shepp(int n)
{
    const double x = n;
    return 2.0 / ((1.0 - (4.0 * x) * x) * pi2);
}

double Chesler(int n)
{
    if (n == 0)
        return chesler0;
    if (n == 1 || n == -1)
        return chesler1;
    const double x = n;
    if (n % 2 != 0)
        return -1.0 / ((twoPi2 * x) * x);
    // Even n: the two odd neighbours give -(n^2 + 1) / (2 pi^2 (n^2 - 1)^2).
    const double s = x * x;
    return -(s + 1.0) / ((s - 1.0) * (twoPi2 * (s - 1.0)));
}

// The kernel whose taps build the spectrum: band-limited in the full build.
static double Kernel(int n)
{
#ifdef PRJSLICE_BPF
    return BPF_C(n);
#else
    return Chesler(n);
#endif
}

// ---------------------------------------------------------------------------
// Sizes.

// b = 2^ceil(ln N / ln 2), the quotient kept with a 64-bit significand. For an
// exact power of two the rounding of ln N decides between b = N and b = 2N;
// either places the data so that the circular convolution is linear.
int HalfLengthCBP(int n)
{
    const long double q = static_cast<long double>(std::log(static_cast<double>(n))) /
                          static_cast<long double>(ln2);
    const int k = static_cast<int>(std::ceil(q));
    return k < 31 ? 1 << k : INT_MAX;  // INT_MAX: no power of two fits
}

// Kmax = M ceil((N - 1) pi / 2 / M), with extended precision: the least
// multiple of M for which neighbouring angles lie at most one interval apart on
// the largest disc an N-bin detector covers.
long long RowsCBP(int n, int m)
{
    const long double q = static_cast<long double>(n - 1) * 0.5L *
                          static_cast<long double>(pi) / static_cast<long double>(m);
    return static_cast<long long>(m) * static_cast<long long>(std::ceil(q));
}

// malloc of count items of size bytes; a null pointer when the byte count
// does not fit a size_t.
static void* Allocate(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    return std::malloc(count * size);
}

// ---------------------------------------------------------------------------
// Radix-2 decimation-in-time transform of n complex values in place.
// sign = -1: forward, X'[k] = sum_j X[j] exp(-2 pi i j k / n), the twiddles
// conjugated; sign = +1: the inverse direction without normalisation.
// The twiddle of span 2m and offset k is E[k n / m] = exp(+2 pi i k / 2m).

static void Transform(int n, const double* E_, double* X, int sign)
{
    const int h = n / 2;
    if (n > 2) {
        // Bit reversal: i walks down from n - 2 while j = rev(i) follows by a
        // reversed decrement (clear the bits from h down to the first set one).
        int j = n - 1;
        for (int i = n - 2; i > 0; --i) {
            int bit = h;
            while (!(j & bit)) {
                j |= bit;
                bit >>= 1;
            }
            j &= ~bit;
            if (j > i) {
                double t = X[2 * i];
                X[2 * i] = X[2 * j];
                X[2 * j] = t;
                t = X[2 * i + 1];
                X[2 * i + 1] = X[2 * j + 1];
                X[2 * j + 1] = t;
            }
        }
    }
    // Stages of half-span m: the butterflies of a stage are independent, so
    // running the groups outer and the twiddle index inner (a contiguous
    // sweep of X) gives the same values as any other order.
    for (int m = 1; m < n; m *= 2) {
        const int a = n / m;
        for (int r = 0; r < n; r += 2 * m) {
            double* __restrict p = X + 2 * r;
            double* __restrict q = X + 2 * (r + m);
            for (int k = 0; k < m; ++k) {
                // t = w q; q = p - t; p = p + t, with w = E[k a] (conjugated forward).
                const double wr = E_[2 * (k * a)];
                const double wi = sign * E_[2 * (k * a) + 1];
                const double tr = wr * q[2 * k] - wi * q[2 * k + 1];
                const double ti = wr * q[2 * k + 1] + wi * q[2 * k];
                q[2 * k] = p[2 * k] - tr;
                q[2 * k + 1] = p[2 * k + 1] - ti;
                p[2 * k] = p[2 * k] + tr;
                p[2 * k + 1] = p[2 * k + 1] + ti;
            }
        }
    }
}

void FFT(int n, const double* E_, double* X)
{
    Transform(n, E_, X, -1);
}

// ---------------------------------------------------------------------------
// Workspace.

double** InitCBP(int n, int m)
{
    const int half = HalfLengthCBP(n);
    const long long rows = RowsCBP(n, m);
    if (half > INT_MAX / 2 || rows > INT_MAX)
        return nullptr;
    const size_t width = static_cast<size_t>(n);
    const size_t length = 2 * static_cast<size_t>(half);  // complex values

    if (!(P = static_cast<double**>(Allocate(m, sizeof(double*)))))
        return nullptr;
    if (width > SIZE_MAX / m || !(P[0] = static_cast<double*>(Allocate(width * m, sizeof(double)))))
        return nullptr;
    if (!(E = static_cast<double*>(Allocate(length, 2 * sizeof(double)))))
        return nullptr;
    if (!(Z = static_cast<double*>(Allocate(length, 2 * sizeof(double)))))
        return nullptr;
    if (!(G = static_cast<double*>(Allocate(length, 2 * sizeof(double)))))
        return nullptr;
    if (!(Q = static_cast<double**>(Allocate(rows, sizeof(double*)))))
        return nullptr;
    if (width + 1 > SIZE_MAX / rows ||
        !(Q[0] = static_cast<double*>(Allocate((width + 1) * rows, sizeof(double)))))
        return nullptr;
    if (!(H0 = static_cast<int*>(Allocate(width, sizeof(int)))))
        return nullptr;
    if (!(dH = static_cast<int*>(Allocate(width, sizeof(int)))))
        return nullptr;
    if (!(F = static_cast<double**>(Allocate(width, sizeof(double*)))))
        return nullptr;
    if (width > SIZE_MAX / width || !(F[0] = static_cast<double*>(Allocate(width * width, sizeof(double)))))
        return nullptr;

    for (int r = 1; r < m; ++r)
        P[r] = P[r - 1] + n;
    Q[0][n] = 0.0;
    for (long long r = 1; r < rows; ++r) {
        Q[r] = Q[r - 1] + (n + 1);
        Q[r][n] = 0.0;
    }
    for (int r = 1; r < n; ++r)
        F[r] = F[r - 1] + n;

    // Twiddles, and the kernel taps h(t - b) at t = 0 ... 2b - 1: offset 0
    // lands at index b, the offsets -b ... b - 1 each once, in order.
    const double delta = pi / (2.0 * half);
    for (size_t t = 0; t < length; ++t) {
        const double theta = static_cast<double>(t) * delta;
        E[2 * t] = std::cos(theta);
        E[2 * t + 1] = std::sin(theta);
        Z[2 * t] = Kernel(static_cast<int>(t) - half);
        Z[2 * t + 1] = 0.0;
    }
    FFT(static_cast<int>(length), E, Z);
    for (size_t t = 0; t < 2 * length; ++t)
        G[t] = Z[t];

    N = n;
    M = m;
    b = half;
    Kmax = static_cast<int>(rows);
    return P;
}

void TermCBP()
{
    std::free(F[0]);
    std::free(F);
    std::free(dH);
    std::free(H0);
    std::free(Q[0]);
    std::free(Q);
    std::free(G);
    std::free(Z);
    std::free(E);
    std::free(P[0]);
    std::free(P);
}

// ---------------------------------------------------------------------------
// Filtering. With projection p in Z[b + k] (k = 0 ... N - 1) and tap h(d) in
// the kernel buffer at b + d, the circular convolution of length 2b gives at
// index j the sum over k of p(k) h(j - k), wrapped modulo 2b. For j < N the
// offsets j - k lie in 1 - N ... N - 1, inside -b ... b - 1, so no term wraps
// twice and the first N outputs are the linear convolution; the placement of p
// at b cancels the placement of the taps at b (b + b = 2b wraps to 0).

//
// Two real projections are filtered in one complex transform: with z = p + i p'
// and the kernel real and even, its spectrum G is real (to rounding), so the
// filtered z is (p * h) + i (p' * h): the real part is one filtered
// projection, the imaginary part the other.
static void Filter(double scale, int nsub)
{
    const int n2 = 2 * b;
    for (int m = 0; m < M; m += 2) {
        const double* __restrict p = P[m];
        const double* __restrict p2 = m + 1 < M ? P[m + 1] : nullptr;
        for (int t = 0; t < 2 * n2; ++t)
            Z[t] = 0.0;
        for (int j = 0; j < N; ++j)
            Z[2 * (b + j)] = p[j];
        if (p2)
            for (int j = 0; j < N; ++j)
                Z[2 * (b + j) + 1] = p2[j];
        Transform(n2, E, Z, -1);
        for (int k = 0; k < n2; ++k) {
            const double zr = Z[2 * k], zi = Z[2 * k + 1];
            const double gr = G[2 * k], gi = G[2 * k + 1];
            Z[2 * k] = zr * gr - zi * gi;
            Z[2 * k + 1] = zi * gr + zr * gi;
        }
        Transform(n2, E, Z, +1);
        double* __restrict q = Q[m * nsub];
        for (int j = 0; j < N; ++j)
            q[j] = Z[2 * j] * scale;
        if (p2) {
            double* __restrict q2 = Q[(m + 1) * nsub];
            for (int j = 0; j < N; ++j)
                q2[j] = Z[2 * j + 1] * scale;
        }
    }
}

// Angular interpolation: between measured rows m nsub and (m + 1) nsub the
// rows m nsub + r are linear in r. The interval after the last measured
// projection ends at the angle start + pi, where the projection is row 0
// mirrored about the axis: bin jj there sees bin a - jj of row 0, a = -2 r0/dr.
// The mirror is built in row 1, which only the interval m = 0 (processed
// last) overwrites.
static void Interpolate(double r0dr, int nsub)
{
    const double a = r0dr * -2.0;
    const int u = static_cast<int>(a);
    const double f = a - u;
    const double* q0 = Q[0];
    double* mirror = Q[1];
    for (int jj = 0; jj < N; ++jj) {
        const int v = u - jj;
        mirror[jj] = (v >= 0 && v <= N - 1) ? q0[v] + f * (q0[v + 1] - q0[v]) : 0.0;
    }
    const double steps = nsub;
    for (int m = M - 1; m >= 0; --m) {
        const double* cur = Q[m * nsub];
        const double* next = m == M - 1 ? Q[1] : Q[(m + 1) * nsub];
        for (int j = 0; j < N; ++j) {
            Z[2 * j] = cur[j];
            Z[2 * j + 1] = (next[j] - cur[j]) / steps;
        }
        for (int r = 1; r < nsub; ++r) {
            double* __restrict q = Q[m * nsub + r];
            for (int j = 0; j < N; ++j)
                q[j] = Z[2 * j] + r * Z[2 * j + 1];
        }
    }
}

// The plain loop: pixel (i, j) at the angle (c, s) falls on detector bin
//   d = x c + t,   x = j - centre,   t = y s - r0/dr,   y = centre - i,
// which inside the disc lies in [0, N - 1] up to rounding; with idx = trunc(d)
// and w = d - idx it gains Q[k][idx] + (Q[k][idx + 1] - Q[k][idx]) w. At
// d = N - 1 the right neighbour is the 0.0 guard Q[k][N], read with weight 0.
// d is formed afresh for every pixel, not by adding c along the row, so its
// rounding error stays that of one product and one sum.
void BackProjectScalar(const double* const* Q_, double* const* F_, const int* H0_, const int* dH_,
                       int i0, int i1, int n, double centre, double r0dr,
                       const double* cosines, const double* sines, int count)
{
    ForEachSegment(H0_, dH_, i0, i1, centre, r0dr, sines, count, n, 1,
                   [&](int i, int j0, int columns, const double* t) {
                       double* __restrict f = F_[i];
                       for (int k = 0; k < count; ++k) {
                           const double* __restrict q = Q_[k];
                           const double c = cosines[k];
                           for (int j = j0; j < j0 + columns; ++j) {
                               const double d = (j - centre) * c + t[k];
                               const int idx = static_cast<int>(d);
                               const double w = d - idx;
                               f[j] = f[j] + (q[idx] + (q[idx + 1] - q[idx]) * w);
                           }
                       }
                   });
}

using BackProject = void (*)(const double* const*, double* const*, const int*, const int*, int,
                             int, int, double, double, const double*, const double*, int);

// The back-projection path for rows of 16 to maxBinsAVX512 bins: the fastest
// this CPU runs, unless a test chose one (-1 until either is known).
static int path = -1;

static bool Runs(int candidate)
{
    switch (candidate) {
    case CBP_SCALAR: return true;
    case CBP_AVX2: return __builtin_cpu_supports("avx2");
    case CBP_AVX512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    default: return false;
    }
}

bool SetPathCBP(int candidate)
{
    if (!Runs(candidate))
        return false;
    path = candidate;
    return true;
}

int PathCBP(int bins)
{
    if (path < 0)
        path = Runs(CBP_AVX512) ? CBP_AVX512 : Runs(CBP_AVX2) ? CBP_AVX2 : CBP_SCALAR;
    if (bins < 16)
        return CBP_SCALAR;
    if (path == CBP_AVX512 && bins > maxBinsAVX512)
        return Runs(CBP_AVX2) ? CBP_AVX2 : CBP_SCALAR;
    return path;
}

double** CBP(double dr, double r0dr, double ra)
{
    const double centre = (N - 1) * 0.5;
    const double radius = centre - std::fabs(r0dr + centre);
    const double radius2 = radius * radius;
    // Angles per measured interval, so that neighbouring angles lie at most
    // one detector interval apart on the edge of the disc; never more than the
    // rows allocated, whatever the rounding of the two evaluations.
    int nsub = static_cast<int>(std::ceil(radius * pi / M));
    if (nsub > Kmax / M)
        nsub = Kmax / M;
    const int K = M * nsub;
    const double step = pi / K;
    const double scale = step / (2.0 * b * dr);

    Filter(scale, nsub);
    if (nsub > 1)
        Interpolate(r0dr, nsub);

    // Disc extents: row i holds the columns with (j - centre)^2 + v^2 <= radius^2,
    // v = centre - i; a radicand that rounding makes negative counts as 0.
    const int i0 = static_cast<int>(std::ceil(centre - radius));
    const int i1 = static_cast<int>(centre + radius);
    double v = centre - i0;
    for (int i = i0; i <= i1; ++i, v -= 1.0) {
        const double s = std::sqrt(std::fmax(radius2 - v * v, 0.0));
        H0[i] = static_cast<int>(std::ceil(centre - s));
        dH[i] = static_cast<int>(centre + s) - H0[i];
    }

    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j)
            F[i][j] = 0.0;

    // Back-projection, in blocks of angles; the angle runs by adding step.
    const int chosen = PathCBP(N);
    const BackProject backProject = chosen == CBP_AVX512 ? BackProjectAVX512
                                    : chosen == CBP_AVX2 ? BackProjectAVX2
                                                         : BackProjectScalar;
    double cosines[angleBlock], sines[angleBlock];
    double theta = ra;
    for (int k0 = 0; k0 < K; k0 += angleBlock) {
        const int count = K - k0 < angleBlock ? K - k0 : angleBlock;
        for (int k = 0; k < count; ++k, theta += step) {
            cosines[k] = std::cos(theta);
            sines[k] = std::sin(theta);
        }
        backProject(Q + k0, F, H0, dH, i0, i1, N, centre, r0dr, cosines, sines, count);
    }
    return F;
}
