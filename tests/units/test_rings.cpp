// The stripe removal of rings.cpp on sinograms made here: two discs off the
// axis in Gaussian noise, with stripes of each kind put into known columns;
// and the exact medians it rests on.

#include "median.h"
#include "rings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace {

const int N = 256, M = 360;
const double kPi = 3.141592653589793;
const double kNoise = 0.01;

// Line integrals of two discs (centre radius, angle, disc radius, density)
// plus normal noise of deviation kNoise, row m at the angle m pi / M.
std::vector<double> Sinogram(uint64_t seed)
{
    const double discs[2][4] = {{30, 0.4, 70, 0.006}, {60, 2.5, 25, 0.01}};
    std::mt19937_64 generator(seed);
    std::normal_distribution<double> normal(0, kNoise);
    std::vector<double> P(size_t(N) * M);
    for (int m = 0; m < M; ++m)
        for (int k = 0; k < N; ++k) {
            double p = 0;
            for (const auto& d : discs) {
                const double s = k - (N - 1) / 2.0 - d[0] * std::cos(m * kPi / M - d[1]);
                if (std::fabs(s) < d[2])
                    p += 2 * d[3] * std::sqrt(d[2] * d[2] - s * s);
            }
            P[size_t(m) * N + k] = p + normal(generator);
        }
    return P;
}

double& At(std::vector<double>& P, int m, int k) { return P[size_t(m) * N + k]; }

// The columns whose samples differ in any bit.
std::vector<int> Changed(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<int> out;
    for (int k = 0; k < N; ++k)
        for (int m = 0; m < M; ++m)
            if (std::memcmp(&a[size_t(m) * N + k], &b[size_t(m) * N + k], sizeof(double)) != 0) {
                out.push_back(k);
                break;
            }
    return out;
}

// With the default blocks, and with the fewest (where the spread of a few
// block medians must be scaled for their number).
TEST(Rings, SoundSinogramPassesBitForBit)
{
    for (int blocks : {16, 3, 4})
        for (uint64_t seed : {1, 2, 3}) {
            const std::vector<double> sound = Sinogram(seed);
            std::vector<double> P = sound;
            RingOptions options;
            options.blocks = blocks;
            options.window = std::min(options.window, blocks);
            if (blocks < 16)
                options.fdr = 0.05;
            const RingReport report = RemoveRings(P.data(), N, M, options);
            // the rate allows a false column now and then; a few blocks tell
            // the object from a stripe less well
            EXPECT_LE(report.columns.size(), blocks < 16 ? 2u : 1u) << "seed " << seed << ", " << blocks << " blocks";
            EXPECT_EQ(Changed(sound, P).size(), report.columns.size());
        }
}

// Each kind of stripe in its columns: found, of its kind, corrected to within
// a fraction of its size, and no column far from them changed.
TEST(Rings, StripesOfEachKindAreFoundAndCorrected)
{
    struct Stripe {
        int first, last;      // columns
        StripeKind kind;      // as the report must name it
        double size;          // of the error
        double mean;          // the largest mean error left, a share of size
    };
    const std::vector<Stripe> stripes = {
        {60, 60, StripeKind::offset, 0.05, 0.1},     // full: an offset at every projection
        {100, 100, StripeKind::partial, 0.08, 0.1},  // partial: projections 90 ... 179
        {140, 140, StripeKind::dead, 1.0, 0.1},      // dead: stuck at 3 inside the disc's shadow
        {180, 183, StripeKind::offset, 0.04, 0.1},   // wide: four columns sharing an offset
        // a gain of 1.05 where the samples reach 0.8: the offset takes the
        // error's robust level, not its mean
        {205, 205, StripeKind::offset, 0.03, 0.3},
    };
    const std::vector<double> sound = Sinogram(7);
    std::vector<double> P = sound;
    for (int m = 0; m < M; ++m) {
        At(P, m, 60) += 0.05;
        if (m >= 90 && m < 180)
            At(P, m, 100) += 0.08;
        At(P, m, 140) = 3.0;
        for (int k = 180; k <= 183; ++k)
            At(P, m, k) -= 0.04;
        At(P, m, 205) *= 1.05;
    }
    const std::vector<double> striped = P;
    const RingReport report = RemoveRings(P.data(), N, M, RingOptions());

    std::map<int, const StripeColumn*> found;
    for (const StripeColumn& c : report.columns)
        found[c.column] = &c;
    std::vector<int> reported;
    for (const auto& f : found)
        reported.push_back(f.first);
    EXPECT_EQ(Changed(striped, P), reported);  // only what the report names changed

    int far = 0;
    for (int k : reported) {
        bool near = false;
        for (const Stripe& s : stripes)
            near |= k >= s.first - 3 && k <= s.last + 3;
        far += !near;
    }
    EXPECT_LE(far, 1);

    for (const Stripe& s : stripes)
        for (int k = s.first; k <= s.last; ++k) {
            ASSERT_TRUE(found.count(k)) << "column " << k;
            EXPECT_EQ(found[k]->kind, s.kind) << "column " << k;
            double mean = 0, square = 0;
            for (int m = 0; m < M; ++m) {
                const double left = At(P, m, k) - sound[size_t(m) * N + k];
                mean += left / M;
                square += left * left / M;
            }
            EXPECT_LT(std::fabs(mean), s.mean * s.size) << "column " << k;
            EXPECT_LT(std::sqrt(square), std::max(0.25 * s.size, 2 * kNoise)) << "column " << k;
        }
    // The partial stripe is followed over the windows about its projections:
    // all of them, and at most a window (4 blocks, M / 4) beyond.
    ASSERT_EQ(found[100]->ranges.size(), 1u);
    EXPECT_LE(found[100]->ranges[0].first, 90);
    EXPECT_GE(found[100]->ranges[0].first, 90 - M / 4);
    EXPECT_GE(found[100]->ranges[0].second, 179);
    EXPECT_LE(found[100]->ranges[0].second, 179 + M / 4);
}

// With the partial test off (a window of all the blocks, and the defaults on
// 8 or 9 projections), a full stripe is still found and corrected.
TEST(Rings, FullStripeWithoutThePartialTest)
{
    const std::vector<double> sound = Sinogram(3);
    for (int blocks : {8, 16}) {
        std::vector<double> P = sound;
        for (int m = 0; m < M; ++m)
            At(P, m, 60) += 0.05;
        RingOptions options;
        options.blocks = options.window = blocks;
        const RingReport report = RemoveRings(P.data(), N, M, options);
        const std::vector<int> changed = Changed(sound, P);
        ASSERT_EQ(std::count(changed.begin(), changed.end(), 60), 1) << blocks << " blocks";
        EXPECT_LE(changed.size(), 2u) << blocks << " blocks";  // and a false column now and then
        double mean = 0;
        for (int m = 0; m < M; ++m)
            mean += (At(P, m, 60) - sound[size_t(m) * N + 60]) / M;
        EXPECT_LT(std::fabs(mean), 0.005) << blocks << " blocks";
    }
}

TEST(Rings, TooSmallToTestIsLeftAlone)
{
    std::vector<double> P = {0, 1, 2, 3, 9, 1, 2, 3, 0, 1, 2, 3};  // 4 columns, 3 projections
    const std::vector<double> before = P;
    const RingReport report = RemoveRings(P.data(), 4, 3, RingOptions());
    EXPECT_FALSE(report.skipped.empty());
    EXPECT_TRUE(report.columns.empty());
    EXPECT_EQ(P, before);
}

// The median as std::nth_element gives it (the mean of the middle two for
// even n); reorders v.
double ReferenceMedian(std::vector<double> v)
{
    const size_t h = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + h, v.end());
    return v.size() % 2 ? v[h] : (v[h] + *std::max_element(v.begin(), v.begin() + h)) / 2;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The network over 5 columns side by side and the selection, against
// std::nth_element: every length up to 70 (the block lengths; odd and even)
// and a few long ones (the selection's own rounds), on values of each order
// that quickselect and the networks might get wrong: random, many ties, all
// equal, sorted, reversed, and an organ pipe.
TEST(Median, EqualsNthElement)
{
    const int width = 5;
    std::mt19937_64 generator(7);
    std::normal_distribution<double> normal(0, 1);
    const auto value = [&](int pattern, int i, int n) -> double {
        switch (pattern) {
        case 0: return normal(generator);
        case 1: return static_cast<double>(generator() % 4);
        case 2: return 2.5;
        case 3: return i;
        case 4: return n - i;
        default: return std::min(i, n - i) + 0.5 * (generator() % 2);
        }
    };
    std::vector<int> lengths;
    for (int n = 1; n <= 70; ++n)
        lengths.push_back(n);
    for (int n : {255, 1799, 1800})
        lengths.push_back(n);
    for (const int n : lengths) {
        const MedianNetwork network(n);
        for (int pattern = 0; pattern < 6; ++pattern) {
            std::vector<double> rows(static_cast<size_t>(n) * width), out(width);
            std::vector<std::vector<double>> columns(width, std::vector<double>(n));
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < width; ++c)
                    rows[static_cast<size_t>(i) * width + c] = columns[c][i] = value(pattern, i, n);
            network(rows.data(), width, out.data());
            for (int c = 0; c < width; ++c) {
                const double expected = ReferenceMedian(columns[c]);
                EXPECT_TRUE(SameBits(out[c], expected)) << "network, n " << n << " pattern " << pattern;
                EXPECT_TRUE(SameBits(Median(columns[c].data(), n), expected))
                    << "selection, n " << n << " pattern " << pattern;
            }
        }
    }
}

}  // namespace
