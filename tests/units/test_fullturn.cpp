// Both half turns of a full turn in one sinogram: the combined columns and
// their weights, and the axis registered anywhere on the detector.

#include "fullturn.h"
#include "mirror.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// A smooth object's line integrals at detector coordinate s from the axis:
// two bumps off centre, so that the profile is nowhere its own mirror image.
double Profile(double s)
{
    return std::exp(-(s - 9) * (s - 9) / 60) + 0.6 * std::exp(-(s + 21) * (s + 21) / 20);
}

struct Case {
    const char* what;
    int N;
    double axis;
    int width, offset;   // the combined sinogram's columns, and the detector column of its first
};

// Where the measurements of the half turn and of its mirror image agree (a
// mirror image sampled from one profile), the combination is that profile at
// every column, whatever the weights; the weights sum to 1, each is 0 where
// its measurement does not reach and 1 where the other does not, and they
// change by at most pi/(2T) + a rounding from one column to the next.
TEST(FullTurn, CombinesBothHalvesIntoTheColumnsTheyCover)
{
    const Case cases[] = {
        {"axis at the centre: averaged, same width", 64, 31.5, 64, 0},
        {"axis a column right of the centre", 64, 32.5, 66, 0},
        {"axis a column left of the centre", 64, 30.5, 66, -2},
        {"half acquisition, axis near the left end", 64, 10, 107, -43},
        {"half acquisition, axis near the right end", 64, 52, 105, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const FullTurn t = PlanFullTurn(c.N, c.axis);
        ASSERT_EQ(t.N, c.width);
        EXPECT_EQ(t.offset, c.offset);
        std::vector<double> direct(c.N), mirror(c.N), out(t.N);
        for (int k = 0; k < c.N; ++k) {
            direct[k] = Profile(k - c.axis);
            mirror[k] = Profile(c.axis - k);   // half a turn later: p(theta + 180, s) = p(theta, -s)
        }
        CombineRow(t, direct.data(), mirror.data(), c.N, out.data());
        for (int j = 0; j < t.N; ++j) {
            const int k = j + t.offset;
            const bool inDirect = k >= 0 && k < c.N, inMirror = 2 * c.axis - k >= 0 && 2 * c.axis - k <= c.N - 1;
            EXPECT_NEAR(out[j], Profile(k - c.axis), 1e-12) << "column " << j;
            EXPECT_NEAR(t.direct[j] + t.mirror[j], 1, 1e-12) << j;
            if (!inDirect) {
                EXPECT_EQ(t.direct[j], 0) << j;
            }
            if (!inMirror) {
                EXPECT_EQ(t.mirror[j], 0) << j;
            }
            if (j > 0) {   // the narrowest blend here spans 20 columns
                EXPECT_LE(std::fabs(t.direct[j] - t.direct[j - 1]), 3.1415927 / 2 / 20 + 1e-9) << j;
            }
        }
        if (c.width == c.N && c.offset == 0) {   // centred: both halves count alike
            for (int j = 0; j < t.N; ++j)
                EXPECT_EQ(t.direct[j], 0.5) << j;
        }
    }
}

// The axis of rows of a mirror pair with noise, near an end of the detector
// and near its centre, on detectors wide enough that the search first runs
// on averaged columns.
TEST(FullTurn, RegistersTheAxisAnywhereOnTheDetector)
{
    const struct {
        int N;
        double axis;
    } cases[] = {{200, 20.25}, {200, 99.5}, {600, 31.75}, {600, 410.4}, {1100, 555.25}};
    std::mt19937_64 rng(3);
    std::normal_distribution<double> noise(0, 0.01);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.axis);
        const int rows = 24;
        std::vector<double> a(size_t(rows) * c.N), b(a.size());
        for (int r = 0; r < rows; ++r)
            for (int k = 0; k < c.N; ++k) {
                // each row a profile turned by its own angle: bumps at other places
                const double s = k - c.axis, shift = 5 * std::sin(r);
                a[size_t(r) * c.N + k] = Profile(s + shift) + noise(rng);
                b[size_t(r) * c.N + k] = Profile(-s + shift) + noise(rng);
            }
        const Registration found = MirrorAxisAnywhere(a.data(), b.data(), c.N, rows);
        ASSERT_TRUE(found.found) << found.why;
        EXPECT_NEAR(found.at, c.axis, 0.05);
    }
}

}  // namespace
