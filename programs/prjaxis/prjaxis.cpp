// prjaxis: finds the rotation axis of a parallel-beam sinogram and prints the
// value to pass to prjslice as r0/dr.
//
//   prjaxis SG
//
// Conventions (those of the reconstructor):
// - The sinogram has M projections over half a turn, N bins each; row m is the
//   projection at the angle ra + m * 180/M degrees. Neither ra nor the detector
//   interval is needed: the axis is found in detector bins.
// - Bin k lies at the coordinate r0/dr + k from the rotation axis, so the axis
//   lies at bin c = -r0/dr. The program prints -c with three decimals.
//
// Sinogram: the text line "N M" (read into a 2048-byte buffer; the rest of a
// longer line is skipped; text after the two integers is ignored), then M rows
// of N samples, each an IEEE 754 binary64 value in 8 little-endian bytes, row
// 0 first; bytes after the last row are not read. Any SG starting with "-"
// reads standard input, except "--help" and the other words of "--" and a
// letter, which are options.
//
// Exit status: 0 with the value printed (and warnings, one line each, on
// standard error: two of the estimates below disagree by more than a bin, or
// the one printed is uncertain); 2 for a usage error; 1 when the sinogram
// cannot be read or does not determine the axis, with one message on
// standard error and nothing on standard output.
//
// Three estimates, and the choice between them.
//
// The centre-of-mass fit (below) uses every projection and is the most
// precise, but it holds only for an object that stays inside the field of
// view with air around it. The seam of the half turn (see FindSeam) registers
// the last projection with the mirror image of the first: it needs no air and
// finds the axis anywhere in the middle half of the detector, but two
// projections carry its noise. The spectrum of the joined turn (see
// FindJoinedTurn) needs no air either and gathers the axis from every
// projection, but only searches about a first estimate: the seam's. The fit
// is printed when the data show that it holds: the masses of the projections
// equal (within kMassSpread) and air at both ends of the window about the
// axis (within kAirLevel of the largest sample). Otherwise the joined turn's
// estimate is printed, or the seam's where the joined turn finds none. Where
// two estimates lie more than a bin apart, a warning gives both; where
// neither the fit nor the seam holds, the sinogram is refused.
//
// Method 1: the sinusoid of the centres of mass.
//
// The projection of an object f(x, y) at the angle theta is
//   p(s, theta) = integral of f along the line x cos theta + y sin theta = s,
// s measured from the axis. Integrating over s covers the plane once, so
//   integral p ds = integral f = W            (the same mass at every angle),
//   integral s p ds = integral (x cos theta + y sin theta) f
//                   = W (X cos theta + Y sin theta),
// with (X, Y) the centre of mass of the object. In bins, s = k - c, so the
// centre of mass of row m, sum_k k p_m(k) / W, lies at
//   mu_m = c + X cos theta_m + Y sin theta_m,
// a sinusoid about the axis. Least squares of mu_m = a + b cos t_m + e sin t_m
// over the rows, with t_m = m pi / M, give c = a: the start angle ra only
// turns (b, e), so t_m may start at 0, and over half a turn the three
// functions 1, cos t, sin t are independent for M >= 3.
//
// The window. Sums over the whole detector also gather the noise of bins far
// from the axis, with a long lever arm k - c, and any constant offset of the
// samples, whose mass sits around the detector centre and pulls c towards it.
// Only the disc about the axis that every projection covers, of radius
// h = min(c, N - 1 - c) bins, can hold an object that stays in view, so the
// sums take the bins within h of the current estimate c:
//   w_k = clamp(h + 1/2 - |k - c|, 0, 1)
// (the fraction of the cell [k - 1/2, k + 1/2] inside [c - h - 1/2, c + h + 1/2]),
//   W_m = sum_k w_k p_m(k),  U_m = sum_k w_k (k - c) p_m(k),
// the first moments about c are divided by the mean mass over the rows (the
// masses are equal in theory, and the mean is the least noisy), the sinusoid
// is fitted to them, c moves by the fitted constant, and the fit is repeated
// about the new c until c settles. At the true axis the window is symmetric
// about it, so a constant offset adds equal mass on both sides and no first
// moment. Where the object leaves the field of view in some projections the
// masses W_m differ, and where it fills the window its ends hold no air; the
// fit is then not trusted.
//
// Accuracy: the sums are exact for the integrals when the projections are
// smooth on the scale of a bin. Point samples of sharp edges are not: the
// mass and moment of each edge then depend on where it falls between bins,
// an error that averages out over the rows except near the angles where the
// edge turns back. It leaves a few thousandths of a bin for a sharp-edged
// object 200 bins across, a few hundredths for one 90 bins across; noise of
// 1% of the largest sample adds a few hundredths at M = 90 to 720.

#include "cbp.h"
#include "mirror.h"
#include "prjslice.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "samples are read as IEEE 754 binary64");

static const double kPi = 3.141592653589793;

// Samples are read and decoded in blocks of this many values.
static const int kReadBlock = 4096;

// The fewest projections: the sinusoid of the centres of mass has three
// unknowns.
static const int kMinRows = 3;

// The fewest bins: an axis strictly inside the detector with a bin on each
// side of it.
static const int kMinBins = 3;

// The axis must lie at least this many bins inside the ends of the detector:
// closer to an end, the disc that every projection covers is narrower than a
// bin and there is nothing to reconstruct.
static const double kEdgeBins = 0.5;

// The windowed fit is repeated until the estimate moves less than kSettled
// bins; data on which kMaxFits fits do not settle do not determine the axis.
static const double kSettled = 1e-9;
static const int kMaxFits = 200;

// The masses of the projections are equal for an object that stays inside the
// field of view; noise of a few percent of the largest sample moves them by
// well under a percent. With a larger spread (root mean square over the mean)
// the centre-of-mass fit is not trusted.
static const double kMassSpread = 0.02;

// The samples must mostly share one sign: the net mass at least this fraction
// of the mass of their magnitudes. Data that cancel out (a difference or a
// band-pass of projections, pure noise) have no centre of mass.
static const double kNetMass = 0.5;

// Air: the bins at the ends of the window about the axis hold at most this
// fraction of the largest sample in every projection. It passes noise of a few
// percent and a small constant offset, and fails an object cut by the ends.
static const double kAirLevel = 0.1;

// The shifts between neighbouring rows about the seam are averaged over at
// most this many degrees on each side: wide enough to average the noise of
// several rows, narrow enough that the motion stays close to linear.
static const double kVelocitySpan = 2.0;

// The shifts between neighbouring rows are looked for this many bins beyond
// the largest motion of one step.
static const double kShiftMargin = 2.0;

// The two estimates disagree when they lie more than a bin apart.
static const double kDisagree = 1.0;

// A standard error of the seam's estimate above this many bins draws a warning.
static const double kUncertain = 0.25;

static const char kUsage[] =
    "usage : prjaxis SG\n"
    "  SG  sinogram (\"N M\" line, then M rows of N little-endian doubles over\n"
    "      180 degrees); any SG starting with \"-\" reads standard input\n"
    "Prints r0/dr, the coordinate of bin 0 from the rotation axis in detector\n"
    "intervals, to pass to prjslice: the axis lies at bin -r0/dr.\n"
    "options:\n"
    "  --help  print this text and exit\n";

// The sinogram: M rows of N samples, row m at P[m * N].
static int N, M;
static std::unique_ptr<double[]> P;

[[noreturn]] static void UsageError(const std::string& what)
{
    std::fprintf(stderr, "prjaxis: %s\n%s", what.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] static void Fail(const std::string& message)
{
    std::fputs(message.c_str(), stderr);
    std::fputc('\n', stderr);
    std::exit(1);
}

// Reads the whole sinogram into P, with the messages of the reconstructor for
// the failures it shares with it.
static void ReadSinogram(const char* path)
{
    FILE* in = path[0] == '-' ? stdin : std::fopen(path, "rb");
    if (!in)
        Fail("sinogram not found.");

    if (!ReadSinogramHeader(in, N, M))
        Fail("bad sinogram size.");
    if (N < kMinBins || M < kMinRows)
        Fail("sinogram too small to determine the axis: " + std::to_string(N) + " bins and " +
             std::to_string(M) + " projections (at least " + std::to_string(kMinBins) + " and " +
             std::to_string(kMinRows) + ").");

    // Not value-initialised: the memory is touched only as samples arrive,
    // so a header that claims more than the input holds ends in a read error.
    const size_t count = static_cast<size_t>(N) * static_cast<size_t>(M);
    P.reset(new (std::nothrow) double[count]);
    if (!P)
        Fail("memory allocation error.");
    unsigned char bytes[8 * kReadBlock];
    for (size_t at = 0; at < count;) {
        const size_t n = count - at < size_t(kReadBlock) ? count - at : size_t(kReadBlock);
        if (std::fread(bytes, 8, n, in) < n)
            Fail("sinogram read error");
        for (size_t i = 0; i < n; ++i, ++at) {
            uint64_t bits = 0;
            for (int b = 7; b >= 0; --b)
                bits = (bits << 8) | bytes[8 * i + b];
            std::memcpy(&P[at], &bits, 8);
        }
    }
    if (in != stdin)
        std::fclose(in);
}

// Checks that the samples can determine an axis: all finite, and some row
// that is not constant along the detector (an empty, zero or constant
// sinogram has nothing whose centre could move with the angle).
static void CheckSamples()
{
    bool structure = false;
    for (int m = 0; m < M; ++m) {
        const double* row = &P[static_cast<size_t>(m) * N];
        for (int k = 0; k < N; ++k) {
            if (!std::isfinite(row[k]))
                Fail("sinogram holds a sample that is not a finite number.");
            if (row[k] != row[0])
                structure = true;
        }
    }
    if (!structure)
        Fail("sinogram is constant along the detector: it does not determine the axis.");
}

// What the centre-of-mass fit found: the axis c, the spread of the masses,
// whether the ends of the window are air; or why it found nothing.
struct CentreOfMass {
    bool found = false;
    double c = 0, spread = 0;
    bool air = false;
    std::string why;
};

// One fit of the sinusoid with the window about c: the fitted constant, the
// axis relative to c, in *shift; the root mean square of the masses W_m over
// their mean in *spread. False when the windowed samples cancel out.
static bool FitAbout(double c, double* shift, double* spread)
{
    const double h = std::fmin(c, N - 1 - c);
    std::vector<double> w(N);
    for (int k = 0; k < N; ++k)
        w[k] = std::fmax(0.0, std::fmin(1.0, h + 0.5 - std::fabs(k - c)));

    // Masses, first moments about c and the magnitudes' mass, row by row.
    std::vector<double> W(M), U(M);
    double mean = 0, magnitude = 0;
    for (int m = 0; m < M; ++m) {
        const double* __restrict row = &P[static_cast<size_t>(m) * N];
        double mass = 0, moment = 0, absolute = 0;
        for (int k = 0; k < N; ++k) {
            const double v = w[k] * row[k];
            mass += v;
            moment += (k - c) * v;
            absolute += std::fabs(v);
        }
        W[m] = mass;
        U[m] = moment;
        mean += mass;
        magnitude += absolute;
    }
    mean /= M;
    magnitude /= M;
    if (!(std::fabs(mean) >= kNetMass * magnitude) || mean == 0)
        return false;
    double square = 0;
    for (int m = 0; m < M; ++m)
        square += (W[m] - mean) * (W[m] - mean);
    *spread = std::sqrt(square / M) / std::fabs(mean);

    // Normal equations of mu_m = a + b cos t_m + e sin t_m, mu_m = U_m / mean,
    // solved by elimination (the matrix is positive definite for M >= 3).
    double A[3][4] = {};
    for (int m = 0; m < M; ++m) {
        const double t = kPi * m / M;
        const double f[3] = {1.0, std::cos(t), std::sin(t)};
        const double mu = U[m] / mean;
        for (int r = 0; r < 3; ++r) {
            for (int q = 0; q < 3; ++q)
                A[r][q] += f[r] * f[q];
            A[r][3] += f[r] * mu;
        }
    }
    for (int r = 0; r < 3; ++r)
        for (int q = r + 1; q < 3; ++q) {
            const double g = A[q][r] / A[r][r];
            for (int z = r; z < 4; ++z)
                A[q][z] -= g * A[r][z];
        }
    double x[3];
    for (int r = 2; r >= 0; --r) {
        double v = A[r][3];
        for (int q = r + 1; q < 3; ++q)
            v -= A[r][q] * x[q];
        x[r] = v / A[r][r];
    }
    *shift = x[0];
    return true;
}

// Whether the window about c has air at both ends: the bins nearest its two
// ends hold at most kAirLevel of the largest sample in every projection.
static bool AirAtTheEnds(double c)
{
    const double h = std::fmin(c, N - 1 - c);
    const int first = static_cast<int>(std::ceil(c - h)), last = static_cast<int>(std::floor(c + h));
    double largest = 0, ends = 0;
    for (size_t q = 0; q < static_cast<size_t>(N) * M; ++q)
        largest = std::fmax(largest, std::fabs(P[q]));
    for (int m = 0; m < M; ++m) {
        const double* row = &P[static_cast<size_t>(m) * N];
        ends = std::fmax(ends, std::fmax(std::fabs(row[first]), std::fabs(row[last])));
    }
    return ends <= kAirLevel * largest;
}

// The bin of the axis by the centres of mass: the fixed point c = g(c) of the
// windowed fit g, started with the window over the whole detector. For an
// object inside the field of view g is flat (the window only drops empty
// bins) and one or two fits settle; where it is not, g(c) - c* ~ k (c - c*)
// with k up to 0.9, so the iteration is sped up by Steffensen's rule: from
// c, c1 = g(c), c2 = g(c1), the line through the two steps meets the fixed
// point at
//   c - (c1 - c)^2 / (c2 - 2 c1 + c).
static CentreOfMass FindCentreOfMass()
{
    CentreOfMass out;
    // One windowed fit about c: the next estimate, which must lie inside the detector.
    const auto refit = [&out](double c, double* next) {
        double shift = 0;
        if (!FitAbout(c, &shift, &out.spread)) {
            out.why = "the samples cancel out: no net mass about the axis";
            return false;
        }
        *next = c + shift;
        if (!(*next >= kEdgeBins && *next <= N - 1 - kEdgeBins)) {
            char text[96];
            std::snprintf(text, sizeof text, "the centres of mass put the axis at bin %.3f, not inside the detector",
                          *next);
            out.why = text;
            return false;
        }
        return true;
    };
    double c = (N - 1) / 2.0;
    for (int fits = 0;; fits += 2) {
        if (fits >= kMaxFits) {
            out.why = "the centre-of-mass estimate does not settle";
            return out;
        }
        double c1, c2;
        if (!refit(c, &c1))
            return out;
        if (std::fabs(c1 - c) < kSettled) {
            c = c1;
            break;
        }
        if (!refit(c1, &c2))
            return out;
        if (std::fabs(c2 - c1) < kSettled) {
            c = c2;
            break;
        }
        const double bend = c2 - 2 * c1 + c;
        const double next = bend != 0 ? c - (c1 - c) * (c1 - c) / bend : c2;
        c = next >= kEdgeBins && next <= N - 1 - kEdgeBins ? next : c2;
    }
    out.found = true;
    out.c = c;
    out.air = AirAtTheEnds(c);
    return out;
}

// What the seam of the half turn gives: the axis c with its standard error,
// or why it gives none.
struct Seam {
    bool found = false;
    double c = 0, error = 0;
    std::string why;
};

// Method 2: the axis from the seam of the half turn, which needs no air.
//
// The mirror image of projection m about the axis is the projection half a
// turn later, p(theta + 180, s) = p(theta, -s). Rows 0 ... M - 1 followed by
// the mirror images of rows 0 ... M - 1 about a trial axis x make a full turn
// q_0 ... q_{2M-1}, which is continuous across the seam between q_{M-1} (row
// M - 1) and q_M (the mirror image of row 0) only for the true axis c: for
// any other x the mirrored half is shifted by 2 (x - c) bins.
//
// Across the seam the object also turns by one step: q_M(s) = q_{M-1}(s - v),
// with v the motion of the profile in one step. The registration of row M - 1
// with the mirror image of row 0 finds the axis x1 with p_0(2 x1 - s) =
// p_{M-1}(s), while q_M(s) = p_0(2c - s) = p_{M-1}(s - v); so
//   c = x1 + v / 2.
// The motion v is the mean of the shifts between neighbouring rows on both
// sides of the seam, K steps each (K steps spanning at most kVelocitySpan
// degrees, at least one): before it, row M - k against row M - k - 1; after
// it, the mirror images of rows k and k - 1, whose shift is minus that of row
// k against row k - 1 (the mirror turns shifts round). Profiles move smoothly
// with the angle, so the mean over steps placed symmetrically about the seam
// is the motion at the seam up to terms of third order in the step.
//
// The axis is looked for in the middle half of the detector, where the
// mirror image keeps at least half of the bins; the shifts up to the farthest
// motion of one step, (N / 2) sin(180/M degrees), and kShiftMargin bins more.
static Seam FindSeam()
{
    Seam out;
    const double step = kPi / M;
    const auto row = [](int m) { return &P[static_cast<size_t>(m) * N]; };
    const Registration x1 = MirrorAxis(row(M - 1), row(0), N, 1, (N - 1) / 4.0, 3 * (N - 1) / 4.0);
    if (!x1.found) {
        out.why = std::string("row ") + std::to_string(M - 1) + " against the mirror image of row 0: " + x1.why;
        return out;
    }
    const int K = std::max(1, std::min(static_cast<int>(kVelocitySpan * kPi / 180 / step), (M - 2) / 2));
    const double most = std::fmin((N - 1) / 2.0, N / 2.0 * std::sin(step) + kShiftMargin);
    double sum = 0, variance = 0;
    int count = 0;
    for (int k = 1; k <= K; ++k) {
        const Registration shifts[2] = {Shift(row(M - k), row(M - k - 1), N, most),
                                        Shift(row(k), row(k - 1), N, most)};
        const double sign[2] = {1, -1};
        for (int i = 0; i < 2; ++i)
            if (shifts[i].found) {
                sum += sign[i] * shifts[i].at;
                variance += shifts[i].error * shifts[i].error;
                ++count;
            }
    }
    if (count == 0) {
        out.why = "the rows next to the seam do not register with each other";
        return out;
    }
    const double v = sum / count;
    out.found = true;
    out.c = x1.at + v / 2;
    out.error = std::sqrt(x1.error * x1.error + variance / (4.0 * count * count));
    return out;
}

// What the spectrum of the joined turn gives: the axis c, or why it gives none.
struct JoinedTurn {
    bool found = false;
    double c = 0;
    std::string why;
};

// Method 3: the axis from the spectrum of the joined turn, which needs no air
// and uses every projection.
//
// Rows 0 ... M - 1 followed by their mirror images about a trial axis x join
// into a full turn q_0 ... q_{2M-1} at the angles t_m = m pi / M. In bins
// about the axis, a point of the object at the distance r from it traces
// s(t) = r cos(t - phi); at the detector frequency rho its contribution
// exp(-i rho r cos(t - phi)), as a function of the angle, has no harmonics n
// beyond |n| = rho r (Bessel functions J_n(rho r), which vanish there). So
// the full turn of an object within R bins of the axis has its spectrum in
// the double wedge |n| <= rho R. About a wrong axis x = c + e the mirrored
// half is moved by 2 e bins against the first: the joined turn jumps at its
// two seams, and the jumps spread over every harmonic, beyond the wedge too.
// The energy outside the wedge,
//   E(x) = sum over rho, and |n| > rho R + margin, of |Q_x(n, rho)|^2,
// is least at the true axis. It gathers the jump from every projection that
// is still alike across the seam at that frequency: many rows at low
// frequencies, where profiles change slowly with the angle, few at high ones.
// And it compares no interpolated samples: the mirror image about x is the
// spectrum of the row conjugated and turned by exp(-2 i rho x), exact for any
// x, so noise weighs alike at every trial axis.
//
// With P_m(rho) the transform of row m (zero padded to L bins, rho =
// 2 pi j / L), the joined turn at the frequency rho is
//   u_m = P_m(rho),  u_{M+m} = conj(P_m(rho)) exp(-2 i rho x),  m < M,
// and Q_x(n, rho) its transform over the 2M angles (harmonic n at index n
// mod 2M). Real rows give -rho the energy of rho, so the sum runs over
// rho > 0 up to the last frequency with harmonics outside the wedge. The
// 2M-point transforms go through power-of-two ones by Bluestein's identity
// nm = (n^2 + m^2 - (n - m)^2) / 2:
//   Q(n) = w_n sum_m (u_m w_m) conj(w_{n-m}),  w_k = exp(-i pi k^2 / 2M),
// a convolution, done by transforms of length Lb >= 4M - 1; |w_n| = 1, so
// the energy needs only the convolution.
//
// The window. The detector ends cut the traces of an object that leaves the
// view, and the turn joined about x is consistent only over the bins whose
// mirror images lie on the detector too. So each row is weighted by a window
// symmetric about the trial axis itself (one fixed about another axis would
// draw the estimate towards that one), of half-width h, the same for every
// trial so that the same amount of noise enters each; its last T bins fall
// to zero as 1/2 - 1/2 cos. Everything the joined turn then holds lies within
// R = h of the axis. The window spreads each frequency over about 1/T of its
// neighbours, so the harmonics reach ~ R/T beyond the wedge: the margin is
// kWedgeMargin R/T. An object wider than the window sends harmonics beyond
// the wedge too, nearly alike about every trial axis; one reaching far
// beyond it (a sample several times wider than the window) weighs against
// the jump, and the estimate may drift by a few tenths of a bin.
//
// Noise. It is white, while the projections' spectrum falls with the
// frequency; each row is smoothed with a Gaussian of kSmoothing bins (the
// transform times exp(-rho^2 sigma^2 / 2), symmetric, so it commutes with
// the mirror), which keeps the frequencies where the projections stand above
// the noise. The mirror pairs the noise of one half with that of the other,
// so the estimate's error grows with the noise: about 0.1 bin (rms) at noise
// of 1% of the largest sample on 512 bins and 360 projections of an object
// filling the field of view.
//
// The search. E is evaluated at trial axes kTrialStep apart, going downhill
// from the seam's estimate (within kReach bins of a centre, on about a new one
// where it gets that far, up to kWander bins); the parabola through the least
// value and its two neighbours gives the axis. E is close to a parabola
// within a bin of its minimum, where the jump changes the smoothed rows in
// proportion to e.

// The trial axes about one centre lie within this many bins of it; the
// window's half-width leaves them room on the detector.
static const double kReach = 1.5;
// The search goes on about new centres up to this many bins from the seam's
// estimate, whose error can reach a few bins where noise is strong.
static const double kWander = 4;
// Trial axes are this many bins apart.
static const double kTrialStep = 0.25;
// The window falls to zero over this many bins (at most a quarter of its
// half-width): a slower fall spreads less beyond the wedge, a faster one
// keeps more of the detector.
static const double kTaper = 32;
// The margin beyond the wedge, in units of R/T.
static const double kWedgeMargin = 2;
// The Gaussian that smooths each row, standard deviation in bins.
static const double kSmoothing = 2;
// The fewest bins of the window's half-width: fewer hold too little of a
// profile to tell the jump from the window's own fall.
static const double kMinHalfWidth = 8;

// Power of two at least n.
static int PowerOfTwo(int n)
{
    int p = 1;
    while (p < n)
        p *= 2;
    return p;
}

// Forward transform of n (a power of two) complex values in place, with the
// twiddle table E of n values (exp(i pi t / n)); the inverse direction
// through conjugates.
using Complex = std::complex<double>;
static void Transform(std::vector<Complex>& v, const std::vector<Complex>& E, bool inverse)
{
    if (inverse)
        for (Complex& z : v)
            z = std::conj(z);
    FFT(static_cast<int>(v.size()), reinterpret_cast<const double*>(E.data()), reinterpret_cast<double*>(v.data()));
    if (inverse)
        for (Complex& z : v)
            z = std::conj(z);
}

static std::vector<Complex> Twiddles(int n)
{
    std::vector<Complex> E(n);
    for (int t = 0; t < n; ++t)
        E[t] = std::polar(1.0, kPi * t / n);
    return E;
}

// The energy outside the wedge of the turn joined about trial axes, with a
// window of half-width h and the tables the transforms share.
class JoinedTurnEnergy {
  public:
    explicit JoinedTurnEnergy(double h)
        : h_(h), T_(std::fmin(kTaper, h / 4)), L_(PowerOfTwo(2 * N)), K_(2 * M), Lb_(PowerOfTwo(4 * M - 1)),
          EL_(Twiddles(L_)), Eb_(Twiddles(Lb_)), w_(K_), B_(Lb_)
    {
        // Frequencies rho_j = 2 pi j / L, j <= J: the last with harmonics
        // outside the wedge, rho R + margin < M.
        const double margin = kWedgeMargin * h_ / T_;
        J_ = std::min(L_ / 2 - 1, static_cast<int>((M - margin) / h_ * L_ / (2 * kPi)));
        for (int j = 0; j <= std::max(J_, 0); ++j) {
            const double rho = 2 * kPi * j / L_;
            smoothing_.push_back(std::exp(-0.5 * rho * rho * kSmoothing * kSmoothing));
        }
        // The chirp w_k = exp(-i pi k^2 / 2M) (k^2 taken modulo 4M, whole turns
        // dropped) and the transform of the kernel conj(w_k), k = 1 - 2M ... 2M - 1.
        for (int k = 0; k < K_; ++k)
            w_[k] = std::polar(1.0, -kPi * double((static_cast<long long>(k) * k) % (2 * K_)) / K_);
        B_[0] = std::conj(w_[0]);
        for (int k = 1; k < K_; ++k)
            B_[k] = B_[Lb_ - k] = std::conj(w_[k]);
        Transform(B_, Eb_, false);
    }

    // Whether any frequency has harmonics outside the wedge.
    bool Usable() const { return J_ >= 1; }

    double operator()(double x) const
    {
        // The rows windowed about x, transformed and smoothed: S[m * (J + 1) + j].
        std::vector<double> window(N);
        for (int k = 0; k < N; ++k) {
            const double inside = std::fmax(0.0, std::fmin(1.0, (h_ - std::fabs(k - x)) / T_));
            window[k] = 0.5 - 0.5 * std::cos(kPi * inside);
        }
        std::vector<Complex> S(static_cast<size_t>(M) * (J_ + 1)), row(L_);
        for (int m = 0; m < M; ++m) {
            const double* p = &P[static_cast<size_t>(m) * N];
            std::fill(row.begin(), row.end(), Complex());
            for (int k = 0; k < N; ++k)
                row[k] = p[k] * window[k];
            // P_m(rho_j) exp(-rho_j^2 sigma^2 / 2)
            Transform(row, EL_, false);
            for (int j = 0; j <= J_; ++j)
                S[static_cast<size_t>(m) * (J_ + 1) + j] = row[j] * smoothing_[j];
        }
        const double margin = kWedgeMargin * h_ / T_;
        double energy = 0;
        std::vector<Complex> a(Lb_);
        for (int j = 1; j <= J_; ++j) {
            const double rho = 2 * kPi * j / L_;
            const Complex turn = std::polar(1.0, -2 * rho * x);
            std::fill(a.begin(), a.end(), Complex());
            // a_m = u_m w_m, with u_{M+m} = conj(u_m) exp(-2 i rho x)
            for (int m = 0; m < M; ++m) {
                const Complex u = S[static_cast<size_t>(m) * (J_ + 1) + j];
                a[m] = u * w_[m];
                a[M + m] = std::conj(u) * turn * w_[M + m];
            }
            Transform(a, Eb_, false);
            // The convolution with conj(w), through its transform B.
            for (int k = 0; k < Lb_; ++k)
                a[k] *= B_[k];
            Transform(a, Eb_, true);
            // |Q(n)| = |a_n| / Lb; the energy of the harmonics |n| > rho R + margin.
            const double edge = rho * h_ + margin;
            for (int k = 0; k < K_; ++k) {
                const int n = k < M ? k : k - K_;
                if (std::abs(n) > edge)
                    energy += std::norm(a[k]);
            }
        }
        return energy / (double(Lb_) * Lb_);
    }

  private:
    double h_, T_;
    int L_, K_, Lb_, J_ = 0;
    std::vector<Complex> EL_, Eb_, w_, B_;
    std::vector<double> smoothing_;
};

// The axis by the spectrum of the joined turn, searched downhill from start
// (the seam's estimate): within kReach bins of a centre, the window's
// half-width fixed for it; where the walk reaches that far, on about a new
// centre there, at most kWander bins from the start. Each new centre lies
// kReach - kTrialStep bins or more from the last; as the window changes with
// the centre, a walk could turn back to an earlier centre, so the centres are
// counted too: no more than kWander needs.
static JoinedTurn FindJoinedTurn(double start)
{
    JoinedTurn out;
    const int centres = static_cast<int>(std::ceil(kWander / (kReach - kTrialStep))) + 1;
    double centre = start;
    for (int visit = 0;; ++visit) {
        const double h = std::fmin(centre, N - 1 - centre) - kReach;
        if (h < kMinHalfWidth) {
            out.why = "fewer than " + std::to_string(static_cast<int>(kMinHalfWidth)) + " bins on either side of the axis";
            return out;
        }
        const JoinedTurnEnergy energy(h);
        if (!energy.Usable()) {
            out.why = "too few projections for harmonics beyond the wedge";
            return out;
        }
        // E at x - step, x, x + step, x moving downhill.
        double x = centre, below = energy(x - kTrialStep), at = energy(x), above = energy(x + kTrialStep);
        while ((below < at || above < at) && std::fabs(x - centre) < kReach - kTrialStep) {
            const double direction = below < above ? -1 : 1;
            x += direction * kTrialStep;
            if (direction < 0) {
                above = at;
                at = below;
                below = energy(x - kTrialStep);
            } else {
                below = at;
                at = above;
                above = energy(x + kTrialStep);
            }
        }
        if (below >= at && above >= at) {
            const double bend = below - 2 * at + above;
            out.found = true;
            out.c = x + (bend > 0 ? 0.5 * kTrialStep * (below - above) / bend : 0.0);
            return out;
        }
        if (std::fabs(x - start) + kReach > kWander || visit + 1 == centres) {
            char text[80];
            std::snprintf(text, sizeof text, "no least energy within %.0f bins of the seam's estimate", kWander);
            out.why = text;
            return out;
        }
        centre = x;
    }
}

// The axis to print, and the warnings it needs. The centre-of-mass fit is
// the most precise where it holds: the masses of the projections equal and
// air at both ends of the window. Otherwise the spectrum of the joined turn
// decides, searched about the seam's estimate, and where it finds no least
// energy there the seam does. Where the centres of mass and the value
// printed lie more than kDisagree bins apart, or the seam and the spectrum
// do, a warning gives both values. With neither the fit nor the seam, the
// sinogram is refused.
static double ChooseAxis()
{
    const CentreOfMass com = FindCentreOfMass();
    const Seam seam = FindSeam();
    const bool holds = com.found && com.spread <= kMassSpread && com.air;
    char why[160] = "";
    if (com.found && com.spread > kMassSpread)
        std::snprintf(why, sizeof why, "the projections' masses differ by %.1f%% (rms)", 100 * com.spread);
    else if (com.found && !com.air)
        std::snprintf(why, sizeof why, "the detector has no air at the ends of the window about the axis");
    if (!holds && !seam.found)
        Fail("the sinogram does not determine the axis: the centre-of-mass fit " +
             (com.found ? "does not hold (" + std::string(why) + ")" : "finds none (" + com.why + ")") +
             "; the seam of the half turn finds none (" + seam.why + ").");
    const JoinedTurn turn = holds ? JoinedTurn() : FindJoinedTurn(seam.c);
    const double printed = holds ? com.c : turn.found ? turn.c : seam.c;

    // Beside the fit, the warnings name the joined turn where it was found,
    // else the seam.
    char seamText[80], turnText[80];
    std::snprintf(seamText, sizeof seamText, "the seam of the half turn %.3f (+-%.2f)", -seam.c, seam.error);
    std::snprintf(turnText, sizeof turnText, "the spectrum of the joined turn %.3f", -turn.c);
    const double beside = turn.found ? turn.c : seam.c;
    if (com.found && seam.found && std::fabs(com.c - beside) > kDisagree)
        std::fprintf(stderr, "warning: the centres of mass give r0/dr %.3f, %s; printed the %s%s%s\n", -com.c,
                     turn.found ? turnText : seamText, holds ? "first" : "second", holds ? "" : ": ", holds ? "" : why);
    if (turn.found && std::fabs(turn.c - seam.c) > kDisagree)
        std::fprintf(stderr, "warning: %s, %s; printed the second\n", seamText, turnText);
    if (!holds && !turn.found && seam.error > kUncertain)
        std::fprintf(stderr, "warning: the seam of the half turn determines the axis only to +-%.2f bins\n", seam.error);
    return printed;
}

int main(int argc, char** argv)
{
    // "--help" anywhere asks for the usage; other words of "--" and a letter
    // are unknown options; every other word starting with "-" is standard input.
    for (int n = 1; n < argc; ++n)
        if (std::strcmp(argv[n], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    for (int n = 1; n < argc; ++n)
        if (std::strncmp(argv[n], "--", 2) == 0 && std::isalpha(static_cast<unsigned char>(argv[n][2])))
            UsageError(std::string("unknown option ") + argv[n]);
    if (argc != 2)
        UsageError("expected one sinogram, got " + std::to_string(argc - 1) + " arguments");

    double c;
    try {
        ReadSinogram(argv[1]);
        CheckSamples();
        c = ChooseAxis();
    } catch (const std::bad_alloc&) {
        Fail("memory allocation error.");
    }
    std::printf("%.3f\n", -c);
    if (std::fflush(stdout) != 0)
        Fail("cannot write standard output.");
    return 0;
}
