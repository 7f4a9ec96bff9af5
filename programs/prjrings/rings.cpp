// Stripe removal: detect the columns of a sinogram whose response departs
// from their neighbours', then correct those columns only.
//
// Conventions: the sinogram holds M projections (rows) of N detector columns,
// row m at P + m N; sample (m, k) is a line integral. A stripe in column k
// reconstructs as a ring of radius |k - axis| (an arc when it covers only some
// projections); the axis itself is not needed here.
//
// Model. Sample (m, k) is
//   P(m, k) = p(m, k) + e_k(m) + n(m, k),
// p the object's line integral, n noise, e_k the error of column k: 0 for a
// sound column; a constant for a pixel whose gain changed between the flat
// fields and the projections (a full stripe, minus the log of the gain
// ratio); a constant over a range of projections only (a partial stripe: a
// gain that changed during the scan); about eps p(m, k) for a response that
// depends on the intensity; anything at all for a dead or saturated pixel,
// whose samples carry no line integral. Neighbouring columns may share one
// error (a wide stripe).
//
// What tells a stripe from the object. At one projection both change from
// column to column. Along a column they differ: a feature of the object at
// radius rho and angle phi projects at s = rho cos(theta - phi), so it
// crosses a column at few projections and dwells on it only near its turning
// point (|s| ~ rho) or near the axis; a full stripe is there at every one.
//
// Step 1, the residual across the columns. Each projection m is smoothed by
// the weighted Whittaker smoother: S_m minimises
//   sum_k w_k (P(m, k) - S_m(k))^2 + lambda sum_k (S_m(k-1) - 2 S_m(k) + S_m(k+1))^2,
// that is (W + lambda D'D) S_m = W P_m, D the second difference: a symmetric
// positive definite pentadiagonal system, factored once per pass as
// L diag(d) L' (L unit lower triangular, subdiagonals l1 and l2) and solved
// for each projection in O(N). With unit weights its response to a period of
// T columns is 1 / (1 + 16 lambda sin^4(pi / T)); the width option is the
// period it halves, lambda = 1 / (16 sin^4(pi / width)). Structure of the
// object wider than that goes into S; a stripe of one column or a few stays
// in the residual r(m, k) = P(m, k) - S_m(k). A column found striped gets the
// weight kFlaggedWeight in the next pass: S then interpolates across it, and
// across a run of flagged columns (a wide stripe), from its sound neighbours,
// and r(m, k) becomes its departure from them. (A weight of exactly 0 would
// make the system singular with all but one column flagged.)
//
// Step 2, robust statistics along the column. The projections are cut into B
// blocks (block b: projections floor(b M / B) ... floor((b + 1) M / B) - 1).
// The median of r over a block, Zb(b, k), ignores the features that cross the
// column; the median of the B block medians,
//   Z(k) = median_b Zb(b, k),
// ignores those that dwell on it in fewer than half of the blocks: Z(k) is
// the offset of column k. Its standard error comes from the spread of the
// block medians, which holds the noise and what the object adds:
//   se(k) = f_B 1.2533 * 1.4826 median_b |Zb(b, k) - Z(k)| / sqrt(B)
// (1.4826 MAD: the deviation of one block median; 1.2533 / sqrt(B): that of
// the median of B; f_B, see SmallSampleFactor, what the two lack for few
// blocks), taken as the median of this over the columns within
// kNeighbourhood of k, so that neither a stripe nor one column's chance spread
// sets its own scale.
//
// Step 3, the full-stripe test. Without a stripe, z = Z / se is about normal,
// with the two-sided p-value erfc(|z| / sqrt 2). Of the N tests, the
// Benjamini-Hochberg procedure flags the columns of the i smallest p-values,
// for the largest i whose p-value is at most fdr i / N: the expected share of
// sound columns among the flagged stays below fdr. It adapts: where few
// columns are striped it asks for |z| of 4 to 5; where most are (a detector
// whose flat field leaves every pixel a little off) it takes them down to
// |z| ~ 2. A stripe leaves an echo in the residual of its neighbours (the
// smoother half follows it): a column whose offset is less than kEchoMargin
// times the echo of one significant on its own (p <= fdr / N) waits for the
// next pass, where that one is weighted out and its echo gone, and is left
// out of the procedure's ranks meanwhile.
//
// Step 4, the partial-stripe test. In windows of W consecutive blocks
// (w = 0 ... B - W) a partial stripe moves the window's median away from Z:
//   D(w, k) = median_{b = w ... w + W - 1} Zb(b, k) - Z(k).
// So does an edge of the object that dwells on the column; but the object
// spreads over neighbouring columns, a stripe does not. Window w of column k
// is flagged when |D(w, k)| exceeds partial times the window's typical
// departure (1.4826 times the median of |D(w, j)| over the columns j within
// kNeighbourhood of k) and no column 2 or 3 away departs by kIsolation of it
// (flagged columns aside: a stripe may have a striped neighbour). The column
// is flagged when two windows running are (an edge that dwells on it for a
// block or so moves one; a stripe of two blocks or more, several).
//
// Passes. Steps 1 to 4 repeat with the flagged columns weighted out until the
// flagged set stays the same, at most kMaxPasses times (the set whose
// residual was computed last is kept); from pass kGrowFrom on a flagged
// column stays flagged, so that two columns cannot flip each other forever,
// and a pass that adds no more than 1/kSettled of the set ends them too: the
// columns found that late stand just above the bar, and each further pass
// costs as much as the first.
//
// Step 5, the correction, from the last pass. In the projections A covered by
// the flagged windows of a column its error is followed projection by
// projection: e(m) is the median of r(., k) over the projections m - L/2 ...
// m + L/2 (L the block length), which keeps the steps at the ends of a range.
// Outside A, e is the median of the block medians of the blocks clear of A (Z
// itself for a full stripe). A column whose samples do not follow their
// neighbours is dead: r(m, k) - e(m) spreads (1.4826 MAD over m) dead times
// more than r at the columns about it (the median over every
// kSampleStride-th column of the neighbourhood), or, for a column whose two
// neighbours are sound and vary (kVaries times that typical spread),
// var_m(P) is below kStuck times the variance of each of them (a sound or
// striped column varies as its neighbours do, a stuck one hardly). A dead
// column becomes S_m(k), the interpolation from its neighbours; every other
// flagged column becomes P(m, k) - e(m). Nothing is divided by a fitted
// value: an offset is subtracted, so a column that crosses air (samples near
// 0) and object alike is corrected alike. An error that depends on the
// intensity is taken at its robust level along the column.
//
// Every column that is not flagged keeps its samples bit for bit.

#include "rings.h"

#include "median.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <iterator>
#include <map>
#include <numeric>
#include <vector>

static const double kPi = 3.141592653589793;

// Local scales are medians over the columns k - kNeighbourhood ... k +
// kNeighbourhood: wide enough that a few stripes do not set them, narrow
// enough to follow the noise from air to object.
static const int kNeighbourhood = 20;

// The weight of a flagged column in the smoother (see step 1).
static const double kFlaggedWeight = 1e-6;

// Passes of detection: the flagged set settles in two to four; from pass
// kGrowFrom (counted from 0) on it can only grow, so it settles by the last,
// or sooner once a pass adds no more than 1/kSettled of it.
static const int kMaxPasses = 8;
static const int kGrowFrom = 3;
static const int kSettled = 100;

// A partial stripe stands alone: the columns 2 and 3 away from it (its
// immediate neighbours carry the smoother's echo of it, and may be a stripe
// of their own), unless flagged, depart by less than kIsolation of it.
static const double kIsolation = 1.0 / 3.0;
static const int kSpread = 3;

// The standard deviation of normal data is 1.4826 times their median
// absolute deviation; the median of n normal values has the deviation
// 1.2533 sigma / sqrt(n).
static const double kMadToSigma = 1.4826;
static const double kMedianError = 1.2533;

// Departures below this share of the largest |sample| are rounding, not
// stripes: the floor of every scale, so that a noise-free sinogram is not
// flagged for its last bits.
static const double kRounding = 1e-12;

// The dead test compares a column's spread with that of every
// kSampleStride-th column about it: a median of 10 or 11 spreads.
static const int kSampleStride = 4;

// A column is taken for the echo of a stronger stripe unless its offset
// exceeds the echo this many times.
static const double kEchoMargin = 2;

// A later pass recomputes the block medians of the columns whose residual a
// changed flag moves by more than this share of the change (see Reach).
static const double kReachTolerance = 1e-6;

// A block's median takes at most kMaxBlockRows of its projections, evenly
// spread: at M = 1800 and 16 blocks, 64 of 112, which bounds the cost of a
// pass for long scans while their medians stay far more precise than those
// of a short one.
static const int kMaxBlockRows = 64;

// A column is stuck when it varies by less than kStuck of the variance of
// each neighbour (a third of its deviation); the test needs them to vary by
// kVaries times the typical residual spread.
static const double kStuck = 0.1;
static const double kVaries = 3;

// The fewest columns and blocks the statistics make sense for, and the fewest
// projections in a block.
static const int kMinColumns = 5;
static const int kMinBlocks = 3;
static const int kMinBlockRows = 2;

// Projections smoothed side by side: enough independent recurrences to fill
// the core's pipeline.
static const int kInterleave = 4;

// Running maxima side by side in the search for the largest sample: two
// vector registers.
static const int kLanes = 4;

// Columns gathered at a time from the rows of a block for their medians: a
// few cache lines of each row.
static const int kChunk = 32;

// Rows read at a time when columns are copied out (see Columns): the
// columns' cache lines stay while the rows are read.
static const int kGatherRows = 16;

const char* StripeKindName(StripeKind kind)
{
    switch (kind) {
    case StripeKind::offset: return "offset";
    case StripeKind::partial: return "partial";
    case StripeKind::dead: return "dead";
    }
    return "";
}

// out[k] = median of x over the columns within kNeighbourhood of k, from a
// sorted copy of the window that slides along.
static void LocalMedian(const std::vector<double>& x, std::vector<double>& out)
{
    const int N = static_cast<int>(x.size());
    std::vector<double> window(x.begin(), x.begin() + std::min(N, kNeighbourhood));
    std::sort(window.begin(), window.end());
    out.resize(N);
    for (int k = 0; k < N; ++k) {
        const bool enters = k + kNeighbourhood < N, leaves = k - kNeighbourhood - 1 >= 0;
        if (enters && leaves) {
            // the value that enters takes the place of the one that leaves,
            // the values between them moved by one
            const double in = x[k + kNeighbourhood];
            auto at = std::lower_bound(window.begin(), window.end(), x[k - kNeighbourhood - 1]);
            for (; at + 1 != window.end() && at[1] < in; ++at)
                at[0] = at[1];
            for (; at != window.begin() && at[-1] > in; --at)
                at[0] = at[-1];
            *at = in;
        } else if (enters) {
            window.insert(std::upper_bound(window.begin(), window.end(), x[k + kNeighbourhood]),
                          x[k + kNeighbourhood]);
        } else if (leaves) {
            window.erase(std::lower_bound(window.begin(), window.end(), x[k - kNeighbourhood - 1]));
        }
        const size_t n = window.size();
        out[k] = n % 2 ? window[n / 2] : (window[n / 2] + window[n / 2 - 1]) / 2;
    }
}

// The smoother of step 1 for one set of weights: A = W + lambda D'D as
// L diag(delta) L'. The N - 2 second differences give D'D the rows
// 1, -4, 6, -4, 1 about the diagonal inside and 1, -2, 1 / -2, 5, -4, 1 in the
// first two rows (mirrored at the end). With a1(i) = A(i, i-1),
// a2(i) = A(i, i-2), equating A with L diag(delta) L':
//   l2(i) = a2(i) / delta(i-2),
//   l1(i) = (a1(i) - l2(i) l1(i-1) delta(i-2)) / delta(i-1),
//   delta(i) = a0(i) - l1(i)^2 delta(i-1) - l2(i)^2 delta(i-2);
// d keeps 1 / delta for the solves. N is at least 4.
struct Smoother {
    std::vector<double> d, l1, l2;

    void Factor(const std::vector<double>& weight, double lambda)
    {
        const int N = static_cast<int>(weight.size());
        std::vector<double> a0(N, 0.0), a1(N, 0.0), a2(N, 0.0), delta(N);
        const double c[3] = {1, -2, 1};
        for (int j = 0; j + 2 < N; ++j)  // second difference j: columns j, j + 1, j + 2
            for (int x = 0; x < 3; ++x) {
                a0[j + x] += lambda * c[x] * c[x];
                if (x > 0)
                    a1[j + x] += lambda * c[x] * c[x - 1];
                if (x > 1)
                    a2[j + x] += lambda * c[x] * c[x - 2];
            }
        d.assign(N, 0.0);
        l1.assign(N, 0.0);
        l2.assign(N, 0.0);
        for (int i = 0; i < N; ++i) {
            l2[i] = i > 1 ? a2[i] / delta[i - 2] : 0;
            l1[i] = i > 0 ? (a1[i] - (i > 1 ? l2[i] * l1[i - 1] * delta[i - 2] : 0)) / delta[i - 1] : 0;
            delta[i] = a0[i] + weight[i] - (i > 0 ? l1[i] * l1[i] * delta[i - 1] : 0) -
                       (i > 1 ? l2[i] * l2[i] * delta[i - 2] : 0);
            d[i] = 1 / delta[i];
        }
    }

    // The residuals r = p - S of kInterleave projections p (rows p[j] of
    // N values, into r[j]), S the solution of A S = W p, through s (N
    // kInterleave values, s(i) of row j at s[i kInterleave + j]). The
    // recurrences are sequential along i; the rows side by side keep the
    // core busy while each waits for its previous terms. The first two and
    // the last two columns, whose recurrences lack terms, are done apart
    // from the loops.
    void Residual(const double* const* p, const double* __restrict weight, double* __restrict s,
                  double* const* r) const
    {
        const int N = static_cast<int>(d.size());
        const int J = kInterleave;
        const double* __restrict L1 = l1.data();
        const double* __restrict L2 = l2.data();
        const double* __restrict D = d.data();
        // L y = W p: y(i) = w(i) p(i) - l1(i) y(i-1) - l2(i) y(i-2)
        for (int j = 0; j < J; ++j) {
            s[j] = weight[0] * p[j][0];
            s[J + j] = weight[1] * p[j][1] - L1[1] * s[j];
        }
        for (int i = 2; i < N; ++i)
            for (int j = 0; j < J; ++j)
                s[i * J + j] = weight[i] * p[j][i] - L1[i] * s[(i - 1) * J + j] - L2[i] * s[(i - 2) * J + j];
        // L' S = y / delta: S(i) = y(i) / delta(i) - l1(i+1) S(i+1) - l2(i+2) S(i+2),
        // and r(i) = p(i) - S(i) as S(i) is found
        for (int j = 0; j < J; ++j) {
            s[(N - 1) * J + j] = s[(N - 1) * J + j] * D[N - 1];
            s[(N - 2) * J + j] = s[(N - 2) * J + j] * D[N - 2] - L1[N - 1] * s[(N - 1) * J + j];
            r[j][N - 1] = p[j][N - 1] - s[(N - 1) * J + j];
            r[j][N - 2] = p[j][N - 2] - s[(N - 2) * J + j];
        }
        for (int i = N - 3; i >= 0; --i)
            for (int j = 0; j < J; ++j) {
                s[i * J + j] = s[i * J + j] * D[i] - L1[i + 1] * s[(i + 1) * J + j] - L2[i + 2] * s[(i + 2) * J + j];
                r[j][i] = p[j][i] - s[i * J + j];
            }
    }
};

namespace {

// The work of one sinogram: the residual of the last pass and its block
// statistics.
struct Work {
    double* P;
    int N, M, B, W;
    bool partialTest;
    double lambda, floor;
    std::vector<int> edges;          // block b: projections edges[b] ... edges[b + 1] - 1
    std::vector<int> rows, firstRow; // the projections in the block medians, those of
                                     // block b at rows[firstRow[b]] ... rows[firstRow[b + 1] - 1]
    std::vector<double> r;           // M x N residual P - S
    std::vector<double> weight;      // per column
    Smoother smoother;               // of these weights
    std::vector<double> echo;        // a stripe's echo j columns away, j = 0 ... reach
    std::vector<double> Zb;          // B x N block medians
    std::vector<double> Z, se;       // offset and its standard error, per column
    std::vector<char> full;          // flagged by the full test
    std::vector<char> window;        // (B - W + 1) x N flagged partial windows
    std::map<int, MedianNetwork> networks;  // by the count of values

    const MedianNetwork& Network(int n) { return networks.try_emplace(n, n).first->second; }
};

}  // namespace

// The residual of the projections rows[0 ... n - 1] (step 1), kInterleave at
// a time (the last group repeats its last projection to fill up).
static void Residual(Work& w, const int* rows, int n)
{
    std::vector<double> s(static_cast<size_t>(w.N) * kInterleave);
    const double* p[kInterleave];
    double* r[kInterleave];
    for (int i = 0; i < n; i += kInterleave) {
        for (int j = 0; j < kInterleave; ++j) {
            const size_t m = static_cast<size_t>(rows[std::min(i + j, n - 1)]);
            p[j] = w.P + m * w.N;
            r[j] = w.r.data() + m * w.N;
        }
        w.smoother.Residual(p, w.weight.data(), s.data(), r);
    }
}

// The residual of the projections of block b and Zb of its columns marked in
// dirty (step 2), while its rows are in the cache. The medians are taken
// kChunk columns at a time by the median network, the chunk's rows copied
// side by side into values (row i at values[i chunk]); a column not dirty
// keeps its block median.
static void Block(Work& w, int b, const std::vector<char>& dirty, std::vector<double>& values)
{
    const int N = w.N;
    const int* rows = w.rows.data() + w.firstRow[b];
    const int n = w.firstRow[b + 1] - w.firstRow[b];
    Residual(w, rows, n);
    const MedianNetwork& median = w.Network(n);
    double medians[kChunk];
    for (int k0 = 0; k0 < N; k0 += kChunk) {
        const int chunk = std::min(kChunk, N - k0);
        if (std::none_of(dirty.begin() + k0, dirty.begin() + k0 + chunk, [](char d) { return d; }))
            continue;
        for (int i = 0; i < n; ++i) {
            const double* r = w.r.data() + static_cast<size_t>(rows[i]) * N + k0;
            std::copy(r, r + chunk, values.begin() + static_cast<size_t>(i) * chunk);
        }
        median(values.data(), chunk, medians);
        for (int c = 0; c < chunk; ++c)
            if (dirty[k0 + c])
                w.Zb[static_cast<size_t>(b) * N + k0 + c] = medians[c];
    }
}

// The factors 1.4826 (MAD to deviation) and 1.2533 / sqrt(B) (deviation of
// a median) hold for many values. For B normal block medians the deviation of
// their median over the median (over columns) of 1.4826 times their MAD is
// larger by f_B: measured by drawing 4 million sets of B normal values for
// each B from 3 to 24 (relative error below 1e-3); from there on f_B follows
// 1 + 1/B for odd B and 1 + 1/(2 B) for even B within 0.3%. (With one of B
// deviations about the median exactly 0, for odd B, their median is the
// smaller.) Without it the test takes noise for stripes with few blocks:
// about a third of the columns of a clean sinogram at B = 3.
static double SmallSampleFactor(int B)
{
    static const double measured[] = {1.7304, 1.2961, 1.2807, 1.1433, 1.1706, 1.0910, 1.1226, 1.0642,
                                      1.0952, 1.0490, 1.0783, 1.0405, 1.0661, 1.0330, 1.0570, 1.0281,
                                      1.0509, 1.0242, 1.0443, 1.0221, 1.0414, 1.0202};  // B = 3 ... 24
    if (B - 3 < static_cast<int>(std::size(measured)))
        return measured[B - 3];
    return B % 2 ? 1 + 1.0 / B : 1 + 0.5 / B;
}

// Z and se of every column from the block medians (step 2), by the median
// network over kChunk columns at a time as in Block.
static void BlockStatistics(Work& w, std::vector<double>& values)
{
    const int N = w.N, B = w.B;
    std::vector<double> spread(N);
    // Z = median_b Zb, spread = median_b |Zb - Z|
    const MedianNetwork& median = w.Network(B);
    for (int k0 = 0; k0 < N; k0 += kChunk) {
        const int chunk = std::min(kChunk, N - k0);
        for (int b = 0; b < B; ++b) {
            const double* zb = w.Zb.data() + static_cast<size_t>(b) * N + k0;
            std::copy(zb, zb + chunk, values.begin() + static_cast<size_t>(b) * chunk);
        }
        median(values.data(), chunk, w.Z.data() + k0);
        for (int b = 0; b < B; ++b)
            for (int c = 0; c < chunk; ++c)
                values[static_cast<size_t>(b) * chunk + c] =
                    std::fabs(w.Zb[static_cast<size_t>(b) * N + k0 + c] - w.Z[k0 + c]);
        median(values.data(), chunk, spread.data() + k0);
    }
    LocalMedian(spread, w.se);
    for (double& v : w.se)
        v = std::max(SmallSampleFactor(B) * kMedianError * kMadToSigma * v / std::sqrt(double(B)), w.floor);
}

// How far a change of one column's weight moves the smooth measurably: the
// smoother's response to one column decays as |z|^j at j columns, z the root
// inside the unit circle of 1 + lambda (z - 2 + 1/z)^2 = 0, i.e. of
//   z^2 - (2 + i / sqrt(lambda)) z + 1 = 0.
// Beyond the distance where |z|^j falls below kReachTolerance the block
// medians of the last pass stand.
static int Reach(double lambda)
{
    const std::complex<double> c(2, 1 / std::sqrt(lambda));
    const std::complex<double> root = std::sqrt(c * c - 4.0);
    const double z = std::min(std::abs((c + root) / 2.0), std::abs((c - root) / 2.0));
    return static_cast<int>(std::ceil(std::log(kReachTolerance) / std::log(z)));
}

// The echo of a stripe in the residual: a column of offset 1 among sound
// ones leaves echo[j] times its own residual in the columns j away (the
// residual of a unit spike, which the smoother half follows, relative to the
// spike's own), for j = 0 ... reach.
static std::vector<double> Echo(double lambda, int reach)
{
    const int n = 2 * reach + 1;
    std::vector<double> spike(n, 0.0), weight(n, 1.0), s(static_cast<size_t>(n) * kInterleave), r(n);
    spike[reach] = 1;
    Smoother smoother;
    smoother.Factor(weight, lambda);
    const double* p[kInterleave];
    double* out[kInterleave];
    std::fill(p, p + kInterleave, spike.data());
    std::fill(out, out + kInterleave, r.data());
    smoother.Residual(p, weight.data(), s.data(), out);
    std::vector<double> echo(reach + 1);
    for (int j = 0; j <= reach; ++j)
        echo[j] = std::fabs(r[reach + j] / r[reach]);
    return echo;
}

// The full-stripe test (step 3) into w.full. The columns are taken in the
// order of |z| (the p-values of large |z| all round to 0). Those significant
// on their own (p at most fdr / N) cast echoes; a column not yet flagged
// whose offset is less than kEchoMargin times the largest echo cast on it
// waits for the next pass, where the stronger one is weighted out and its
// echo gone. The Benjamini-Hochberg procedure at the rate fdr then runs over
// the columns that do not wait (the echoes of a few gross stripes would
// otherwise crowd its ranks and lower the bar for the rest).
static void FullTest(Work& w, const std::vector<char>& flagged, double fdr)
{
    const int N = w.N, reach = static_cast<int>(w.echo.size()) - 1;
    std::vector<double> z(N);
    for (int k = 0; k < N; ++k)
        z[k] = std::fabs(w.Z[k] / w.se[k]);
    std::vector<int> order(N);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&z](int a, int b) { return z[a] > z[b]; });
    const auto p = [&z](int k) { return std::erfc(z[k] / std::sqrt(2.0)); };

    std::vector<double> echo(N, 0.0);  // the largest echo cast on each column
    std::vector<int> tested;           // the columns that do not wait, in order
    for (const int k : order) {
        if (!flagged[k] && std::fabs(w.Z[k]) < kEchoMargin * echo[k])
            continue;
        tested.push_back(k);
        if (!flagged[k] && p(k) <= fdr / N)
            for (int j = std::max(0, k - reach); j <= std::min(N - 1, k + reach); ++j)
                echo[j] = std::max(echo[j], std::fabs(w.Z[k]) * w.echo[std::abs(j - k)]);
    }
    const int n = static_cast<int>(tested.size());
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (p(tested[i]) <= fdr * (i + 1) / n)
            count = i + 1;
    std::fill(w.full.begin(), w.full.end(), 0);
    for (int i = 0; i < count; ++i)
        w.full[tested[i]] = 1;
}

// The partial windows of every column (step 4) into w.window.
static void PartialTest(Work& w, const std::vector<char>& flagged, double threshold)
{
    const int N = w.N, W = w.W, windows = w.B - w.W + 1;
    const MedianNetwork& median = w.Network(W);
    std::vector<double> blocks(static_cast<size_t>(W) * N), departure(N), typical;
    for (int v = 0; v < windows; ++v) {
        // the window's median of every column at once, then its departure
        std::copy(w.Zb.begin() + static_cast<ptrdiff_t>(v) * N, w.Zb.begin() + static_cast<ptrdiff_t>(v + W) * N,
                  blocks.begin());
        median(blocks.data(), N, departure.data());
        for (int k = 0; k < N; ++k)
            departure[k] = std::fabs(departure[k] - w.Z[k]);
        LocalMedian(departure, typical);
        for (int k = 0; k < N; ++k) {
            double neighbours = 0;
            for (int j = std::max(0, k - kSpread); j <= std::min(N - 1, k + kSpread); ++j)
                if (std::abs(j - k) > 1 && !flagged[j])
                    neighbours = std::max(neighbours, departure[j]);
            const double scale = std::max(kMadToSigma * typical[k], w.floor);
            w.window[static_cast<size_t>(v) * N + k] =
                departure[k] > threshold * scale && neighbours < kIsolation * departure[k];
        }
    }
}

// Whether column k has two flagged partial windows in a row (an edge of the
// object that dwells on the column for a block or so flags one; a stripe of
// two blocks or more, several).
static bool HasWindow(const Work& w, int k)
{
    for (int v = 0; v + w.W < w.B; ++v)
        if (w.window[static_cast<size_t>(v) * w.N + k] && w.window[static_cast<size_t>(v + 1) * w.N + k])
            return true;
    return false;
}

// The spread of x[0 ... n - 1] about its median, 1.4826 MAD; reorders x.
static double Spread(double* x, int n)
{
    const double centre = Median(x, n);
    for (int i = 0; i < n; ++i)
        x[i] = std::fabs(x[i] - centre);
    return kMadToSigma * Median(x, n);
}

// The variance of x[0 ... n - 1].
static double Variance(const double* x, int n)
{
    double mean = 0, square = 0;
    for (int i = 0; i < n; ++i)
        mean += x[i];
    mean /= n;
    for (int i = 0; i < n; ++i)
        square += (x[i] - mean) * (x[i] - mean);
    return square / n;
}

// The columns of an M x N matrix X (row m at X + m N) that the correction
// reads, copied once into contiguous columns: reading a column in place
// touches a cache line per sample.
struct Columns {
    int M = 0;
    std::vector<int> at;        // column k at data + at[k] M, or -1 if not copied
    std::vector<double> data;

    // Room for the columns marked in want, in column order; returns them.
    std::vector<int> Shape(int N, int rowCount, const std::vector<char>& want)
    {
        M = rowCount;
        at.assign(N, -1);
        std::vector<int> list;
        for (int k = 0; k < N; ++k)
            if (want[k]) {
                at[k] = static_cast<int>(list.size());
                list.push_back(k);
            }
        data.resize(list.size() * static_cast<size_t>(M));
        return list;
    }

    // Copies the columns marked in want, kGatherRows rows at a time.
    void Gather(const double* X, int N, int rowCount, const std::vector<char>& want)
    {
        const std::vector<int> list = Shape(N, rowCount, want);
        for (int m0 = 0; m0 < M; m0 += kGatherRows)
            for (size_t i = 0; i < list.size(); ++i)
                for (int m = m0; m < std::min(M, m0 + kGatherRows); ++m)
                    data[i * M + m] = X[static_cast<size_t>(m) * N + list[i]];
    }

    const double* operator()(int k) const { return data.data() + static_cast<size_t>(at[k]) * M; }
};

// Whether column k, between the sound columns k - 1 and k + 1, is stuck: it
// varies by less than kStuck of the variance of both neighbours, where they
// vary (kVaries times the typical spread of the residual about the column;
// in air there is nothing to follow). A sound or striped column varies as its
// neighbours do (an offset, over all projections or some, adds to its
// variance); one stuck at a value (saturated, or dead with the dark's noise
// only) hardly varies at all. Both neighbours must vary: at the edge of the
// object one side is air.
static bool Stuck(const Columns& P, int k, double typical)
{
    const double least = std::min(Variance(P(k - 1), P.M), Variance(P(k + 1), P.M));
    return least >= kVaries * kVaries * typical * typical && Variance(P(k), P.M) < kStuck * least;
}

// e(m) = median of x over m - half ... m + half (clipped to the column) for
// the m with inRange[m], from a sorted copy of the window that slides along.
static void RunningMedian(const double* x, int M, const std::vector<char>& inRange, int half, double* e)
{
    std::vector<double> window;
    int a = 0, b = -1;  // the window holds x[a ... b]
    for (int m = 0; m < M; ++m) {
        if (!inRange[m])
            continue;
        const int a1 = std::max(0, m - half), b1 = std::min(M - 1, m + half);
        if (a1 > b || b1 < a) {  // a new run: fill afresh
            window.assign(x + a1, x + b1 + 1);
            std::sort(window.begin(), window.end());
        } else {
            for (; a < a1; ++a)
                window.erase(std::lower_bound(window.begin(), window.end(), x[a]));
            for (; b < b1; ++b)
                window.insert(std::upper_bound(window.begin(), window.end(), x[b + 1]), x[b + 1]);
        }
        a = a1;
        b = b1;
        const size_t n = window.size();
        e[m] = n % 2 ? window[n / 2] : (window[n / 2 - 1] + window[n / 2]) / 2;
    }
}

// Corrects the flagged columns from the last pass (step 5).
static void Correct(Work& w, const std::vector<char>& flagged, double deadThreshold, RingReport& report)
{
    const int N = w.N, M = w.M, B = w.B;
    const int half = M / B / 2;
    std::vector<double> column(M), blocks(B), about;
    std::vector<char> inRange(M);

    // The columns read: of r, the flagged ones and the sampled ones (every
    // kSampleStride-th) about them; of P, the isolated flagged ones and
    // their neighbours (the stuck test).
    std::vector<char> wantR(N, 0), wantP(N, 0);
    for (int k = 0; k < N; ++k) {
        if (!flagged[k])
            continue;
        wantR[k] = 1;
        for (int j = std::max(0, k - kNeighbourhood); j <= std::min(N - 1, k + kNeighbourhood); ++j)
            wantR[j] |= j % kSampleStride == 0;
        if (k > 0 && !flagged[k - 1] && k < N - 1 && !flagged[k + 1])
            wantP[k - 1] = wantP[k] = wantP[k + 1] = 1;
    }
    Columns r, P;
    r.Gather(w.r.data(), N, M, wantR);
    P.Gather(w.P, N, M, wantP);
    // What each flagged column loses (e, or r for a dead one), subtracted
    // from P at the end, row by row; in the memory of the residual, read no
    // more (and already mapped).
    Columns e;
    e.data.swap(w.r);
    e.Shape(N, M, flagged);
    // The spread of r of the sampled columns, memoised.
    std::vector<double> spread(N, -1.0);
    for (int k = 0; k < N; ++k) {
        if (!flagged[k])
            continue;
        StripeColumn c{k, StripeKind::offset, w.Z[k], w.Z[k] / w.se[k], {}};

        // The projections of the flagged windows, and the blocks clear of them.
        std::fill(inRange.begin(), inRange.end(), 0);
        for (int v = 0; w.partialTest && v + w.W <= B; ++v)
            if (w.window[static_cast<size_t>(v) * N + k])
                std::fill(inRange.begin() + w.edges[v], inRange.begin() + w.edges[v + w.W], 1);
        int clear = 0;
        for (int b = 0; b < B; ++b)
            if (!inRange[w.edges[b]])
                blocks[clear++] = w.Zb[static_cast<size_t>(b) * N + k];
        if (clear < B) {
            c.kind = StripeKind::partial;
            c.offset = clear > 0 ? Median(blocks.data(), clear) : 0.0;
        }
        // e(m): the running median of r over the ranges, the offset elsewhere.
        const double* rk = r(k);
        double* ek = e.data.data() + static_cast<size_t>(e.at[k]) * M;
        std::fill(ek, ek + M, c.offset);
        RunningMedian(rk, M, inRange, half, ek);

        // Dead: r - e spreads far more than r at the columns about it, or
        // the column is stuck.
        about.clear();
        for (int j = std::max(0, k - kNeighbourhood); j <= std::min(N - 1, k + kNeighbourhood); ++j)
            if (j % kSampleStride == 0) {
                if (spread[j] < 0) {
                    std::copy(r(j), r(j) + M, column.begin());
                    spread[j] = Spread(column.data(), M);
                }
                about.push_back(spread[j]);
            }
        const double typical = std::max(about.empty() ? 0.0 : Median(about.data(), static_cast<int>(about.size())),
                                        w.floor);
        for (int m = 0; m < M; ++m)
            column[m] = rk[m] - ek[m];
        const bool isolated = k > 0 && !flagged[k - 1] && k < N - 1 && !flagged[k + 1];
        if (Spread(column.data(), M) > deadThreshold * typical || (isolated && Stuck(P, k, typical))) {
            // S = P - r, the interpolation from the neighbours
            std::copy(rk, rk + M, ek);
            report.columns.push_back({k, StripeKind::dead, c.offset, c.z, {}});
            continue;
        }
        for (int m = 0; m < M; ++m) {
            if (inRange[m] && (m == 0 || !inRange[m - 1]))
                c.ranges.emplace_back(m, m);
            if (inRange[m])
                c.ranges.back().second = m;
        }
        report.columns.push_back(c);
    }
    for (int m = 0; m < M; ++m)
        for (const StripeColumn& c : report.columns)
            w.P[static_cast<size_t>(m) * N + c.column] -= e(c.column)[m];
}

RingReport RemoveRings(double* P, int N, int M, const RingOptions& o)
{
    RingReport report;
    const int B = std::min(o.blocks, M / kMinBlockRows);
    if (N < kMinColumns || B < kMinBlocks) {
        report.skipped = "too small to test for stripes (at least " + std::to_string(kMinColumns) +
                         " columns and " + std::to_string(kMinBlocks * kMinBlockRows) + " projections)";
        return report;
    }

    Work w;
    w.P = P;
    w.N = N;
    w.M = M;
    w.B = B;
    w.W = o.window;
    w.partialTest = o.window < B;
    const double sine = std::sin(kPi / o.width);
    w.lambda = 1 / (16 * sine * sine * sine * sine);
    // the largest |sample|, in kLanes running maxima side by side (one alone
    // would wait on each comparison)
    const size_t count = static_cast<size_t>(N) * M;
    double lanes[kLanes] = {};
    size_t q = 0;
    for (; q + kLanes <= count; q += kLanes)
        for (int j = 0; j < kLanes; ++j)
            lanes[j] = std::max(lanes[j], std::fabs(P[q + j]));
    for (; q < count; ++q)
        lanes[0] = std::max(lanes[0], std::fabs(P[q]));
    w.floor = kRounding * *std::max_element(lanes, lanes + kLanes);
    w.edges.resize(B + 1);
    for (int b = 0; b <= B; ++b)
        w.edges[b] = static_cast<int>(static_cast<long long>(b) * M / B);
    for (int b = 0; b < B; ++b) {
        const int n = w.edges[b + 1] - w.edges[b], used = std::min(n, kMaxBlockRows);
        w.firstRow.push_back(static_cast<int>(w.rows.size()));
        for (int i = 0; i < used; ++i)
            w.rows.push_back(w.edges[b] + static_cast<int>(static_cast<long long>(i) * n / used));
    }
    w.firstRow.push_back(static_cast<int>(w.rows.size()));
    w.r.resize(static_cast<size_t>(N) * M);
    w.weight.assign(N, 1.0);
    w.Zb.resize(static_cast<size_t>(B) * N);
    w.Z.resize(N);
    w.full.resize(N);
    w.window.assign(w.partialTest ? static_cast<size_t>(B - w.W + 1) * N : 0, 0);

    // The first pass computes the block medians of every column; a later one
    // those within the reach of a column whose flag changed.
    const int reach = Reach(w.lambda);
    w.echo = Echo(w.lambda, reach);
    std::vector<char> flagged(N, 0), next(N), dirty(N, 1);
    std::vector<double> values(static_cast<size_t>(std::max(kMaxBlockRows, B)) * kChunk);  // for Block, BlockStatistics
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        for (int k = 0; k < N; ++k)
            w.weight[k] = flagged[k] ? kFlaggedWeight : 1.0;
        w.smoother.Factor(w.weight, w.lambda);
        for (int b = 0; b < B; ++b)
            Block(w, b, dirty, values);
        BlockStatistics(w, values);
        FullTest(w, flagged, o.fdr);
        if (w.partialTest)
            PartialTest(w, flagged, o.partial);
        report.passes = pass + 1;
        // From pass kGrowFrom on, a flagged column stays flagged: a column
        // whose weight moves its neighbour's residual could otherwise flip
        // the two forever.
        for (int k = 0; k < N; ++k)
            next[k] = w.full[k] || (w.partialTest && HasWindow(w, k)) || (pass >= kGrowFrom && flagged[k]);
        long changed = 0, kept = 0;
        for (int k = 0; k < N; ++k) {
            changed += next[k] != flagged[k];
            kept += flagged[k];
        }
        if (changed == 0 || pass + 1 == kMaxPasses || (pass >= kGrowFrom && changed * kSettled <= kept))
            break;
        std::fill(dirty.begin(), dirty.end(), 0);
        for (int k = 0; k < N; ++k)
            if (next[k] != flagged[k])
                std::fill(dirty.begin() + std::max(0, k - reach), dirty.begin() + std::min(N, k + reach + 1), 1);
        flagged = next;
    }
    // The residual of every projection, for the correction: those the
    // passes left out.
    std::vector<char> done(M, 0);
    for (const int m : w.rows)
        done[m] = 1;
    std::vector<int> rest;
    for (int m = 0; m < M; ++m)
        if (!done[m])
            rest.push_back(m);
    if (!rest.empty())
        Residual(w, rest.data(), static_cast<int>(rest.size()));
    // The windows of the last pass count for its flagged columns only, and
    // in runs of two or more only (see HasWindow).
    const int windows = w.partialTest ? B - w.W + 1 : 0;
    std::vector<char> run(windows);
    for (int k = 0; k < N; ++k) {
        for (int v = 0; v < windows; ++v) {
            const auto at = [&](int u) { return u >= 0 && u < windows && w.window[static_cast<size_t>(u) * N + k]; };
            run[v] = flagged[k] && at(v) && (at(v - 1) || at(v + 1));
        }
        for (int v = 0; v < windows; ++v)
            w.window[static_cast<size_t>(v) * N + k] = run[v];
    }
    Correct(w, flagged, o.dead, report);
    return report;
}
