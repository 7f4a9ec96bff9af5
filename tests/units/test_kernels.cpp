// The classic kernels against their tabulated values, closed forms and the
// smoothing identity that defines the Chesler kernel.

#include "cbp.h"

#include <climits>
#include <cmath>
#include <gtest/gtest.h>

namespace {

const double pi2 = M_PI * M_PI;

struct Row {
    int n;
    double ramachandran, shepp, chesler;
};

// Values to 15 significant digits.
const Row table[] = {
    {0, 0.25, 0.202642367284676, 0.0743394081788311},
    {1, -0.101321183642338, -0.0675474557615585, 0.0118394081788311},
    {2, 0, -0.0135094911523117, -0.0281447732339827},
    {3, -0.0112579092935931, -0.00578978192241930, -0.00562895464679654},
    {4, 0, -0.00321654551245517, -0.00382768915982165},
    {5, -0.00405284734569351, -0.00204689259883511, -0.00202642367284676},
    {10, 0, -0.000507875607229763, -0.000522060991117035},
    {101, -9.93247560458169e-6, -4.96635951485615e-6, -4.96623780229084e-6},
};

void ExpectClose(double expected, double actual, int n, const char* kernel)
{
    EXPECT_NEAR(actual, expected, 1e-14 * std::fabs(expected)) << kernel << " at n = " << n;
}

TEST(Kernels, TabulatedValuesAtBothSigns)
{
    for (const Row& row : table) {
        for (int n : {row.n, -row.n}) {
            ExpectClose(row.ramachandran, Ramachandran(n), n, "Ramachandran");
            ExpectClose(row.shepp, Shepp(n), n, "Shepp");
            ExpectClose(row.chesler, Chesler(n), n, "Chesler");
        }
    }
    EXPECT_EQ(Chesler(0), 0.07433940817883111);
    EXPECT_EQ(Chesler(1), 0.011839408178831112);
}

TEST(Kernels, EvenToTheBitAndClosedForms)
{
    for (int n = 1; n <= 5000; ++n) {
        ASSERT_EQ(Ramachandran(n), Ramachandran(-n)) << n;
        ASSERT_EQ(Shepp(n), Shepp(-n)) << n;
        ASSERT_EQ(Chesler(n), Chesler(-n)) << n;
        const double x = n;
        const double ramp = n % 2 ? -1 / (pi2 * x * x) : 0.0;
        EXPECT_NEAR(Ramachandran(n), ramp, 1e-15 * std::fabs(ramp));
        EXPECT_NEAR(Shepp(n), 2 / (pi2 * (1 - 4 * x * x)), 1e-15 / (x * x));
        const double chesler = n == 1   ? 1.0 / 16 - 1 / (2 * pi2)
                               : n % 2 ? -1 / (2 * pi2 * x * x)
                                       : -(x * x + 1) / (2 * pi2 * (x * x - 1) * (x * x - 1));
        EXPECT_NEAR(Chesler(n), chesler, 1e-15 * std::fabs(chesler)) << n;
    }
}

TEST(Kernels, CheslerIsTheSmoothedRamp)
{
    for (int n = -3000; n <= 3000; ++n) {
        const double smoothed =
            0.5 * Ramachandran(n) + 0.25 * (Ramachandran(n - 1) + Ramachandran(n + 1));
        ASSERT_NEAR(Chesler(n), smoothed, 1e-17) << n;
    }
}

TEST(Kernels, TapsSumToZero)
{
    // The response vanishes at zero frequency: the tail beyond T sums to
    // about -2 / (pi^2 T) for the ramp, half that for the others.
    const int T = 100000;
    double r = 0, s = 0, c = 0;
    for (int n = -T; n <= T; ++n) {
        r += Ramachandran(n);
        s += Shepp(n);
        c += Chesler(n);
    }
    for (double sum : {r, s, c}) {
        EXPECT_GT(sum, 0.0);
        EXPECT_LT(sum, 1.1e-6);
    }
}

TEST(Kernels, ExtremeOffsetsDoNotOverflow)
{
    for (int n : {INT_MAX, INT_MIN, INT_MIN + 1, 46341, -46341}) {
        for (double tap : {Ramachandran(n), Shepp(n), Chesler(n)}) {
            EXPECT_TRUE(std::isfinite(tap)) << n;
            EXPECT_LE(tap, 0.0) << n;
            EXPECT_GT(tap, -1e-9) << n;
        }
    }
}

}  // namespace
