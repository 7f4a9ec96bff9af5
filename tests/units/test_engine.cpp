// The engine: sizes, workspace layout, and reconstructions checked against a
// direct evaluation of the same sums and against objects with known images.

#include "cbp.h"

#include <cmath>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <vector>

namespace {

using Image = std::vector<double>;  // N * N, row 0 first
using Sinogram = std::vector<double>;  // M * N, row 0 first

struct Geometry {
    int N, M;
    double r0dr, ra, dr;
};

double Radius(const Geometry& g)
{
    return std::min(-g.r0dr, g.N - 1 + g.r0dr);
}

// Runs the engine on one sinogram, through the whole workspace lifecycle.
Image Reconstruct(const Geometry& g, const Sinogram& sino)
{
    double** rows = InitCBP(g.N, g.M);
    EXPECT_NE(rows, nullptr);
    for (int m = 0; m < g.M; ++m)
        std::copy(sino.begin() + m * g.N, sino.begin() + (m + 1) * g.N, rows[m]);
    double** F = CBP(g.dr, g.r0dr, g.ra);
    Image image(g.N * g.N);
    for (int i = 0; i < g.N; ++i)
        std::copy(F[i], F[i] + g.N, image.begin() + i * g.N);
    TermCBP();
    return image;
}

// Sinogram of discs (x, y, radius, density): projection 2 rho sqrt(R^2 - t^2).
struct Disc {
    double x, y, R, rho;
};

Sinogram DiscSinogram(const Geometry& g, const std::vector<Disc>& discs)
{
    Sinogram sino(g.M * g.N, 0.0);
    for (int m = 0; m < g.M; ++m) {
        const double theta = g.ra + m * M_PI / g.M;
        for (int k = 0; k < g.N; ++k) {
            for (const Disc& d : discs) {
                const double t = (g.r0dr + k) - (d.x * std::cos(theta) + d.y * std::sin(theta));
                if (std::fabs(t) < d.R)
                    sino[m * g.N + k] += 2 * d.rho * std::sqrt(d.R * d.R - t * t);
            }
        }
    }
    return sino;
}

double MaxAbs(const Image& a)
{
    double v = 0;
    for (double x : a)
        v = std::max(v, std::fabs(x));
    return v;
}

// The reconstruction written out directly: filtered projections by direct
// convolution with the Chesler taps, linear in angle between measured rows
// (the interval after the last one ending at row 0 mirrored about the axis),
// and each pixel inside the disc summed over the angles with its detector
// position computed from scratch.
Image Direct(const Geometry& g, const Sinogram& sino)
{
    const int N = g.N;
    const double centre = (N - 1) / 2.0, radius = Radius(g);
    const int nsub = static_cast<int>(std::ceil(radius * M_PI / g.M));
    const int K = g.M * nsub;
    const double step = M_PI / K;
    std::vector<std::vector<double>> filtered(g.M + 1, std::vector<double>(N + 1, 0.0));
    for (int m = 0; m < g.M; ++m)
        for (int j = 0; j < N; ++j) {
            long double sum = 0;
            for (int k = 0; k < N; ++k)
                sum += sino[m * N + k] * Chesler(j - k);
            filtered[m][j] = static_cast<double>(sum) * step / g.dr;
        }
    const double a = -2 * g.r0dr;
    for (int j = 0; j < N; ++j) {
        const int v = static_cast<int>(std::floor(a)) - j;
        const double f = a - std::floor(a);
        if (v >= 0 && v < N)
            filtered[g.M][j] = (1 - f) * filtered[0][v] + f * filtered[0][v + 1];
    }
    Image image(N * N, 0.0);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) {
            const double x = j - centre, y = centre - i;
            if (x * x + y * y > radius * radius)
                continue;
            double sum = 0;
            for (int k = 0; k < K; ++k) {
                const int m = k / nsub;
                const double t = static_cast<double>(k % nsub) / nsub;
                const double theta = g.ra + k * step;
                const double d = x * std::cos(theta) + y * std::sin(theta) - g.r0dr;
                const int idx = static_cast<int>(std::floor(d));
                const double w = d - idx;
                double q[2];
                for (int e = 0; e < 2; ++e)
                    q[e] = (1 - t) * filtered[m][idx + e] + t * filtered[m + 1][idx + e];
                sum += q[0] + (q[1] - q[0]) * w;
            }
            image[i * N + j] = sum;
        }
    return image;
}

TEST(Sizes, HalfLengthFollowsTheRoundedLogarithm)
{
    const int same[] = {2, 4, 8, 16, 64, 128, 256, 4096, 8192, 16384, 32768, 65536};
    const int doubled[] = {32, 512, 1024, 2048};
    for (int n : same)
        EXPECT_EQ(HalfLengthCBP(n), n) << n;
    for (int n : doubled)
        EXPECT_EQ(HalfLengthCBP(n), 2 * n) << n;
    const int other[][2] = {{1, 1}, {3, 4}, {5, 8}, {33, 64}, {500, 512}, {1000, 1024},
                            {2047, 2048}, {2049, 4096}, {32767, 32768}};
    for (const auto& c : other)
        EXPECT_EQ(HalfLengthCBP(c[0]), c[1]) << c[0];
}

TEST(Sizes, RowsOfTheFilteredTable)
{
    const long long cases[][3] = {{512, 360, 1080}, {1000, 180, 1620}, {2, 1, 2}, {3, 1, 4},
                                  {500, 360, 1080}, {256, 1, 401}, {2048, 1800, 3600},
                                  {32767, 2147483647, 2147483647}};
    for (const auto& c : cases)
        EXPECT_EQ(RowsCBP(static_cast<int>(c[0]), static_cast<int>(c[1])), c[2]) << c[0] << " " << c[1];
}

TEST(Workspace, RowsAreContiguousAndRefusedWhenTooLarge)
{
    double** P = InitCBP(7, 5);
    ASSERT_NE(P, nullptr);
    for (int m = 1; m < 5; ++m)
        EXPECT_EQ(P[m] - P[m - 1], 7);
    for (int m = 0; m < 5; ++m)
        for (int j = 0; j < 7; ++j)
            P[m][j] = 0.0;
    double** F = CBP(1, -3, 0);
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(F[i] - F[i - 1], 7);
    TermCBP();
    // Byte counts that cannot be formed are allocation failures.
    EXPECT_EQ(InitCBP(2147483647, 2147483647), nullptr);
    EXPECT_EQ(InitCBP(32767, 2147483647), nullptr);
}

TEST(Reconstruction, EqualsTheDirectSums)
{
    const Geometry cases[] = {
        {16, 40, -7.5, 0.0, 1.0},     // nsub = 1
        {17, 6, -8.0, 0.3, 1.0},      // nsub = 5, odd N
        {33, 7, -12.3, 1.0, -0.7},    // non-integer axis, negative dr
        {20, 1, -9.5, 0.5, 2.0},      // a single projection and its mirror
        {24, 9, -16.25, -2.0, 1.0},   // axis beyond the centre
        {37, 3, -30.0, 4.0, 0.5},     // axis near the end
    };
    for (const Geometry& g : cases) {
        std::mt19937_64 gen(g.N * 100 + g.M);
        std::uniform_real_distribution<double> u(0, 1);
        Sinogram sino(g.M * g.N);
        for (double& v : sino)
            v = u(gen);
        const Image got = Reconstruct(g, sino), want = Direct(g, sino);
        const double centre = (g.N - 1) / 2.0, r = Radius(g), tolerance = 1e-13 * MaxAbs(want);
        for (int i = 0; i < g.N; ++i)
            for (int j = 0; j < g.N; ++j) {
                const double x = j - centre, y = centre - i;
                if (std::fabs(x * x + y * y - r * r) < 1e-9)
                    continue;  // on the rim: inside or not by rounding
                ASSERT_NEAR(got[i * g.N + j], want[i * g.N + j], tolerance)
                    << "N " << g.N << " M " << g.M << " pixel " << i << "," << j;
                if (x * x + y * y > r * r) {
                    ASSERT_EQ(got[i * g.N + j], 0.0);
                }
            }
    }
}

TEST(Reconstruction, BlobPeaksWhereItLies)
{
    // A Gaussian blob at (x, y) projects to a Gaussian centred at
    // x cos theta + y sin theta, whatever the start angle.
    const double sigma = 3.0;
    const struct { double x, y, ra, r0dr; } blobs[] = {
        {10, -7, 0.0, -32.0}, {-12, 5, 0.7, -32.0}, {3, 14, 2.0, -27.25}, {-8, -9, -1.0, -34.5}};
    for (const auto& blob : blobs) {
        const Geometry g{65, 90, blob.r0dr, blob.ra, 1.0};
        Sinogram sino(g.M * g.N);
        for (int m = 0; m < g.M; ++m) {
            const double theta = g.ra + m * M_PI / g.M;
            const double s0 = blob.x * std::cos(theta) + blob.y * std::sin(theta);
            for (int k = 0; k < g.N; ++k) {
                const double t = g.r0dr + k - s0;
                sino[m * g.N + k] = std::sqrt(2 * M_PI) * sigma * std::exp(-t * t / (2 * sigma * sigma));
            }
        }
        const Image image = Reconstruct(g, sino);
        const size_t peak = std::max_element(image.begin(), image.end()) - image.begin();
        EXPECT_EQ(static_cast<double>(peak / g.N), 32 - blob.y) << blob.x << "," << blob.y;
        EXPECT_EQ(static_cast<double>(peak % g.N), 32 + blob.x) << blob.x << "," << blob.y;
        EXPECT_NEAR(image[peak], 1.0, 0.1);  // the density at the blob's centre
    }
}

TEST(Reconstruction, UniformDiscWithoutBias)
{
    for (const Geometry& g : {Geometry{128, 180, -63.5, 0.0, 1.0}, Geometry{101, 120, -45.3, 0.4, 1.0}}) {
        const Image image = Reconstruct(g, DiscSinogram(g, {{3, -2, 30, 1.0}}));
        const double centre = (g.N - 1) / 2.0;
        double sum = 0, worst = 0;
        int count = 0;
        for (int i = 0; i < g.N; ++i)
            for (int j = 0; j < g.N; ++j) {
                const double x = j - centre - 3, y = centre - i + 2;
                if (x * x + y * y < 25 * 25) {
                    sum += image[i * g.N + j];
                    worst = std::max(worst, std::fabs(image[i * g.N + j] - 1.0));
                    ++count;
                } else if (x * x + y * y > 33 * 33 && x * x + y * y < 37 * 37) {
                    EXPECT_NEAR(image[i * g.N + j], 0.0, 0.04);  // ringing of the sharp edge
                }
            }
        EXPECT_NEAR(sum / count, 1.0, 0.002);
        EXPECT_LT(worst, 0.02);
    }
}

TEST(Reconstruction, ScalesWithTheDetectorInterval)
{
    const Geometry unit{40, 30, -19.5, 0.2, 1.0};
    const Sinogram sino = DiscSinogram(unit, {{2, 1, 10, 1.0}, {-6, -4, 4, 0.5}});
    const Image base = Reconstruct(unit, sino);
    for (double dr : {2.5, -1.0, -0.25}) {
        Geometry g = unit;
        g.dr = dr;
        const Image scaled = Reconstruct(g, sino);
        for (size_t p = 0; p < base.size(); ++p)
            ASSERT_NEAR(scaled[p], base[p] / dr, 1e-14 * MaxAbs(base) / std::fabs(dr)) << dr;
    }
}

TEST(Reconstruction, HalfTurnLaterIsTheMirroredSinogram)
{
    // The projection at theta + pi is the one at theta reversed about the
    // axis; with the axis at the centre, bin k becomes bin N - 1 - k.
    const Geometry g{48, 36, -23.5, 0.3, 1.0};
    const Sinogram sino = DiscSinogram(g, {{9, 4, 5, 1.0}, {-3, -10, 7, 0.7}});
    Sinogram mirrored(sino.size());
    for (int m = 0; m < g.M; ++m)
        for (int k = 0; k < g.N; ++k)
            mirrored[m * g.N + k] = sino[m * g.N + g.N - 1 - k];
    Geometry later = g;
    later.ra = g.ra + M_PI;
    const Image a = Reconstruct(g, sino), b = Reconstruct(later, mirrored);
    for (size_t p = 0; p < a.size(); ++p)
        ASSERT_NEAR(a[p], b[p], 1e-10 * MaxAbs(a));
}

TEST(Reconstruction, TinyDiscs)
{
    // Even N with the axis within half a bin of the end: no pixel at all.
    const Image none = Reconstruct({8, 4, -0.3, 0.0, 1.0}, Sinogram(32, 1.0));
    EXPECT_EQ(MaxAbs(none), 0.0);
    // Odd N with a radius below one bin: the centre pixel alone.
    const Image one = Reconstruct({9, 4, -7.6, 0.0, 1.0}, Sinogram(36, 1.0));
    for (int p = 0; p < 81; ++p) {
        if (p != 40) {
            EXPECT_EQ(one[p], 0.0) << p;
        }
    }
    EXPECT_NE(one[40], 0.0);
}

}  // namespace

namespace {

TEST(Paths, EveryPathGivesTheScalarImageToTheBit)
{
    const Geometry cases[] = {
        {5, 3, -2.0, 0.0, 1.0},        // below the vector width
        {15, 4, -7.0, 0.5, 1.0},
        {16, 40, -7.5, 0.0, 1.0},      // nsub = 1, smallest vector row
        {17, 6, -8.0, 0.3, 1.0},
        {33, 7, -12.3, 1.0, -0.7},     // non-integer axis, negative dr
        {40, 1, -19.5, 0.5, 2.0},      // M = 1
        {64, 9, -50.25, -2.0, 1.0},    // axis beyond the centre
        {48, 5, -0.75, 0.2, 1.0},      // radius under one bin
        {257, 30, -128.0, 2.5, 1.0},   // several angle blocks and segments
        {300, 200, -100.6, -0.9, 0.3}, // off-centre, many segments per row
        {41, 8, -1.7, M_PI, 1.0},      // c = -1 exactly, windows from below bin 0
        {41, 8, -39.2, M_PI, 1.0},     // c = -1 on the last bins
        {70, 4, -1.3, 0.0, -1.0},      // c = 1 exactly, disc on the first bins
        {70, 4, -67.9, 0.0, 1.0},      // and on the last, windows reaching past N
        {200, 6, -(99.5 - 0x1p-46), 0.0, 1.0},   // c = 1: d a hair below a bin, the window 4 bins off
        {2002, 4, -24.49999999999994, 0.0, 1.0}, // centre + radius rounds up: the last row's radicand < 0
    };
    for (const Geometry& g : cases) {
        std::mt19937_64 gen(g.N * 7 + g.M);
        std::uniform_real_distribution<double> u(-1, 1);
        Sinogram sino(g.M * g.N);
        for (double& v : sino)
            v = u(gen);
        ASSERT_TRUE(SetPathCBP(CBP_SCALAR));
        const Image scalar = Reconstruct(g, sino);
        for (int path : {CBP_AVX2, CBP_AVX512}) {
            if (!SetPathCBP(path)) {
                std::cerr << "this CPU cannot run path " << path << ": not compared\n";
                continue;
            }
            const Image image = Reconstruct(g, sino);
            for (size_t p = 0; p < image.size(); ++p)
                ASSERT_EQ(image[p], scalar[p]) << "path " << path << " N " << g.N << " pixel " << p;
        }
        SetPathCBP(CBP_SCALAR);
    }
    EXPECT_FALSE(SetPathCBP(7));
}

}  // namespace
