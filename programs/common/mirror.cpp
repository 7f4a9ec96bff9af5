#include "mirror.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

// Method.
//
// Both profiles are first smoothed with the weights 1/4, 1/2, 1/4 along the
// detector. The filter is symmetric, so it commutes with the mirror image and
// keeps b(k) = a(2x - k); it halves the noise variance and damps the
// frequencies near the Nyquist limit, where sharp edges sampled at points
// alias and no interpolation between bins is faithful.
//
// Coarse search. At every half bin x = t/2 of the range, the columns k whose
// mirror t - k lies on the detector, k0 = max(0, t - N + 1) ... k1 = min(N - 1, t),
// give the relative mismatch
//   D(t) = sum (a_k - b_{t-k})^2 / (sum (a_k - mean a)^2 + sum (b_{t-k} - mean b)^2),
// sums over those columns and all rows: 0 for a perfect mirror image, about 1
// for profiles unrelated to each other (noise, or air against air), and blind
// to an offset common to both. With S_a, S_aa, S_b, S_bb the sums of a, a^2
// over k0 ... k1 and of b, b^2 over t - k1 ... t - k0 (from running sums) and
// S_ab = sum a_k b_{t-k} (the one loop),
//   D(t) = (S_aa + S_bb - 2 S_ab) / (S_aa - S_a^2 / n + S_bb - S_b^2 / n).
// The best t must be a clear minimum: below kMatch, inside the range (not at
// its end, where the true axis may lie beyond), and at most half of every
// other local minimum more than kApart half bins away (a periodic pattern
// matches itself at many axes).
//
// Refinement. On the fixed columns k whose mirrors t - k stay on the detector
// for the three half bins t* - 1, t*, t* + 1 about the best one t*,
//   S(t) = sum (a_k - b_{t-k})^2
// compares samples with samples, no interpolation between bins: an
// interpolated mirror image would carry less noise at some axes than at
// others (interpolation averages neighbours), and the smaller noise would draw
// the minimum towards them by up to a few tenths of a bin at 1% noise. The
// parabola through the three values has its vertex at
//   t = t* + (S(t* - 1) - S(t* + 1)) / (2 A),  A = S(t* - 1) - 2 S(t*) + S(t* + 1),
// and the axis is x = t / 2. The smoothing makes S close to a parabola over
// the half bins either side of its minimum, so the vertex follows it to a few
// hundredths of a bin on sharp-edged data without noise.
//
// Standard error. Near its minimum S is the least-squares fit of one
// parameter to n samples whose misfit is noise of variance S(t*)/n, so
//   var t = 2 S(t*) / (n A),  var x = var t / 4,
// times 8/3: the smoothed noise is correlated over neighbouring bins (lag
// covariances 4/16 and 1/16 beside the variance 6/16 of the weights' squares),
// so a sum over n bins varies 16/6 times as much as one of n independent ones.

// Largest relative mismatch of a match (unrelated profiles give about 1).
static const double kMatch = 0.5;

// Other local minima are looked for this many half bins (2 bins) from the best.
static const int kApart = 4;

// Fewest columns for the refinement: fewer do not make a parabola worth the name.
static const int kMinColumns = 4;

// The variance of a sum of smoothed noise over that of independent samples.
static const double kCorrelation = 16.0 / 6.0;

// Smooths each row with the weights 1/4, 1/2, 1/4; the end samples keep
// their own value weighted 3/4.
static std::vector<double> Smoothed(const double* v, int N, int rows)
{
    std::vector<double> out(static_cast<size_t>(N) * rows);
    for (int r = 0; r < rows; ++r) {
        const double* in = v + static_cast<size_t>(r) * N;
        double* o = out.data() + static_cast<size_t>(r) * N;
        for (int k = 0; k < N; ++k)
            o[k] = 0.5 * in[k] + 0.25 * (in[k > 0 ? k - 1 : k] + in[k < N - 1 ? k + 1 : k]);
    }
    return out;
}

Registration MirrorAxis(const double* a0, const double* b0, int N, int rows, double lo, double hi)
{
    Registration out;
    const std::vector<double> a = Smoothed(a0, N, rows), b = Smoothed(b0, N, rows);

    // Running sums of b and b^2 over the columns of all rows: B1[k] = sum over j < k.
    std::vector<double> B1(N + 1, 0.0), B2(N + 1, 0.0), A1(N + 1, 0.0), A2(N + 1, 0.0);
    for (int k = 0; k < N; ++k) {
        double sb = 0, sbb = 0, sa = 0, saa = 0;
        for (int r = 0; r < rows; ++r) {
            const double vb = b[static_cast<size_t>(r) * N + k], va = a[static_cast<size_t>(r) * N + k];
            sb += vb;
            sbb += vb * vb;
            sa += va;
            saa += va * va;
        }
        B1[k + 1] = B1[k] + sb;
        B2[k + 1] = B2[k] + sbb;
        A1[k + 1] = A1[k] + sa;
        A2[k + 1] = A2[k] + saa;
    }

    const int t0 = std::max(0, static_cast<int>(std::ceil(2 * lo)));
    const int t1 = std::min(2 * N - 2, static_cast<int>(std::floor(2 * hi)));
    if (t1 < t0) {
        out.why = "the range searched holds no half bin";
        return out;
    }
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> D(t1 - t0 + 1, inf);
    for (int t = t0; t <= t1; ++t) {
        const int k0 = std::max(0, t - N + 1), k1 = std::min(N - 1, t);
        double sab = 0;
        for (int r = 0; r < rows; ++r) {
            const double* __restrict ar = a.data() + static_cast<size_t>(r) * N;
            const double* __restrict br = b.data() + static_cast<size_t>(r) * N;
            // S_ab = sum a_k b_{t-k}
            for (int k = k0; k <= k1; ++k)
                sab += ar[k] * br[t - k];
        }
        const double n = double(k1 - k0 + 1) * rows;
        const double sa = A1[k1 + 1] - A1[k0], saa = A2[k1 + 1] - A2[k0];
        const double sb = B1[t - k0 + 1] - B1[t - k1], sbb = B2[t - k0 + 1] - B2[t - k1];
        const double spread = saa - sa * sa / n + sbb - sb * sb / n;
        if (spread > 0)
            D[t - t0] = std::max(0.0, saa + sbb - 2 * sab) / spread;
    }
    const int best = static_cast<int>(std::min_element(D.begin(), D.end()) - D.begin());
    const int last = t1 - t0;
    if (!(D[best] < inf)) {
        out.why = "the profiles are flat";
        return out;
    }
    out.mismatch = D[best];
    if (D[best] > kMatch) {
        out.why = "no axis makes them mirror images of each other";
        return out;
    }
    if (last > 0 && (best == 0 || best == last)) {
        out.why = "the best match lies at the end of the range searched";
        return out;
    }
    for (int q = 0; q <= last; ++q) {
        const bool minimum = (q == 0 || D[q] <= D[q - 1]) && (q == last || D[q] <= D[q + 1]);
        if (minimum && std::abs(q - best) > kApart && D[q] <= 2 * D[best]) {
            out.why = "several axes match equally well";
            return out;
        }
    }

    // The parabola through S at the half bins t* - 1, t*, t* + 1.
    const int t = t0 + best;
    const int c0 = std::max(0, t + 1 - (N - 1)), c1 = std::min(N - 1, t - 1);
    if (c1 - c0 + 1 < kMinColumns) {
        out.why = "too few bins to register";
        return out;
    }
    double S[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i)
        for (int r = 0; r < rows; ++r) {
            const double* __restrict ar = a.data() + static_cast<size_t>(r) * N;
            const double* __restrict br = b.data() + static_cast<size_t>(r) * N;
            // S(t) = sum (a_k - b_{t-k})^2
            for (int k = c0; k <= c1; ++k) {
                const double d = ar[k] - br[t - 1 + i - k];
                S[i] += d * d;
            }
        }
    const double A = S[0] - 2 * S[1] + S[2];
    if (!(A > 0)) {
        out.why = "the match does not change with the axis";
        return out;
    }
    const double vertex = std::max(-1.0, std::min(1.0, (S[0] - S[2]) / (2 * A)));
    const double n = double(c1 - c0 + 1) * rows;
    out.found = true;
    out.at = (t + vertex) / 2;
    out.error = std::sqrt(kCorrelation * 2 * S[1] / (n * A)) / 2;
    return out;
}

// The fewest columns two profiles must share to be compared over the whole
// detector: a few columns of smooth data match nearly anything.
static const int kMinOverlap = 16;

// The widest profiles of the first, coarse search over every axis, whose cost
// grows with the square of the width.
static const int kCoarseColumns = 256;

// Over the whole detector the search costs N^2 operations a row, too many for
// the many rows a scan's axis is registered on; so first the rows averaged
// over blocks of f columns (f the least power of two with N/f at most
// kCoarseColumns), whose block i is centred on column f i + (f - 1)/2: an
// axis X there lies at column f X + (f - 1)/2. Then the full rows about that
// column, within f columns, where it is known to a quarter of a block.
Registration MirrorAxisAnywhere(const double* a, const double* b, int N, int rows)
{
    int f = 1;
    while (N / f > kCoarseColumns)
        f *= 2;
    const int n = N / f;
    const double reach = std::max(2.0, kMinOverlap / (2.0 * f));
    if (f == 1)
        return MirrorAxis(a, b, N, rows, reach, N - 1 - reach);
    std::vector<double> ca(static_cast<size_t>(n) * rows), cb(ca.size());
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < n; ++i) {
            double sa = 0, sb = 0;
            for (int j = 0; j < f; ++j) {
                sa += a[static_cast<size_t>(r) * N + f * i + j];
                sb += b[static_cast<size_t>(r) * N + f * i + j];
            }
            ca[static_cast<size_t>(r) * n + i] = sa / f;
            cb[static_cast<size_t>(r) * n + i] = sb / f;
        }
    const Registration coarse = MirrorAxis(ca.data(), cb.data(), n, rows, reach, n - 1 - reach);
    if (!coarse.found)
        return coarse;
    const double at = f * coarse.at + (f - 1) / 2.0;
    return MirrorAxis(a, b, N, rows, std::max(at - f, kMinOverlap / 2.0), std::min(at + f, N - 1 - kMinOverlap / 2.0));
}

Registration Shift(const double* a, const double* b, int N, double most)
{
    // a(k) = b(k - t) = rev(N - 1 - k + t) with rev(j) = b(N - 1 - j): the mirror
    // image of rev about x = (N - 1 + t)/2.
    std::vector<double> rev(b, b + N);
    std::reverse(rev.begin(), rev.end());
    Registration r = MirrorAxis(a, rev.data(), N, 1, (N - 1 - most) / 2, (N - 1 + most) / 2);
    r.at = 2 * r.at - (N - 1);
    r.error *= 2;
    return r;
}
