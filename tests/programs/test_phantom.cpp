// The phantom generator, run as a process: sinogram bytes, projections against
// their closed forms, the truth image, the noise and the command line.

#include "testutil.h"
#include "tiff_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using testutil::Result;
using testutil::TempDir;

const double kPi = 3.141592653589793;

// Detector geometry as given on the command line.
struct Geometry {
    int N, M;
    double ra, dr, r0dr;
};

std::string Num(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string Args(const Geometry& g)
{
    return std::to_string(g.N) + " " + std::to_string(g.M) + " " + Num(g.ra) + " " + Num(g.dr) +
           " " + Num(g.r0dr);
}

Result Phantom(const std::string& args) { return testutil::Run(std::string(PRJPHANTOM_BIN) + " " + args); }

// Little-endian binary64 values from bytes[offset...], decoded by shifts.
std::vector<double> Doubles(const std::string& bytes, size_t offset)
{
    std::vector<double> v;
    for (size_t at = offset; at + 8 <= bytes.size(); at += 8) {
        uint64_t bits = 0;
        for (int k = 7; k >= 0; --k)
            bits = (bits << 8) | static_cast<unsigned char>(bytes[at + k]);
        double d;
        std::memcpy(&d, &bits, 8);
        v.push_back(d);
    }
    return v;
}

// Runs the generator with the sinogram on standard output, checks the header
// and the size, and returns the samples, row m at [m * N].
std::vector<double> Sinogram(const std::string& options, const Geometry& g)
{
    const Result r = Phantom(options + " " + Args(g) + " -");
    EXPECT_EQ(r.status, 0) << options << "\n" << r.err;
    const std::string header = std::to_string(g.N) + " " + std::to_string(g.M) + "\n";
    EXPECT_EQ(r.out.compare(0, header.size(), header), 0);
    EXPECT_EQ(r.out.size(), header.size() + 8ull * g.N * g.M);
    std::vector<double> v = Doubles(r.out, header.size());
    v.resize(static_cast<size_t>(g.N) * g.M);
    return v;
}

double Theta(const Geometry& g, int m) { return (g.ra + m * 180.0 / g.M) * kPi / 180; }

TEST(Phantom, HeaderAndSizeSameOnFileAndStdout)
{
    const Geometry cases[] = {{2, 1, 0, 1, -0.5}, {8, 3, 10, 0.5, -3.5}, {65, 17, -5, 2, -20}};
    for (const Geometry& g : cases) {
        TempDir dir;
        const std::string header = std::to_string(g.N) + " " + std::to_string(g.M) + "\n";
        const Result file = Phantom(Args(g) + " " + (dir / "s.sg"));
        ASSERT_EQ(file.status, 0) << file.err;
        EXPECT_EQ(file.out, "");
        EXPECT_EQ(file.err, "");
        const std::string bytes = testutil::ReadFile(dir / "s.sg");
        EXPECT_EQ(bytes.substr(0, header.size()), header);
        EXPECT_EQ(bytes.size(), header.size() + 8ull * g.N * g.M);
        const Result out = Phantom(Args(g) + " -");
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.out, bytes) << "N = " << g.N;
    }
}

// A disc of radius r and density rho about the axis: at every angle the chord
// at detector coordinate s has length 2 sqrt(r^2 - s^2), both in detector
// intervals, so the sample is rho * dr * 2 sqrt(r^2 - s^2).
TEST(Phantom, CentredDiscIsTheChordLength)
{
    struct Case {
        Geometry g;
        double r, angle, rho;
    } cases[] = {
        {{64, 12, 0, 1, -31.5}, 20.3, 0, 1.5},
        {{64, 7, 33, 0.5, -20.25}, 15.7, 40, -2},
        {{65, 5, -10, 2.5, -40}, 30.6, -75, 0.7},
    };
    for (const Case& c : cases) {
        const std::string disc = "--ellipse 0,0," + Num(c.r) + "," + Num(c.r) + "," +
                                 Num(c.angle) + "," + Num(c.rho);
        const std::vector<double> p = Sinogram(disc, c.g);
        int inside = 0;
        for (int m = 0; m < c.g.M; ++m)
            for (int k = 0; k < c.g.N; ++k) {
                const double s = c.g.r0dr + k;
                const double chord = std::fabs(s) < c.r ? 2 * std::sqrt(c.r * c.r - s * s) : 0;
                inside += chord > 0;
                ASSERT_NEAR(p[m * c.g.N + k], c.rho * c.g.dr * chord, 1e-12)
                    << "r = " << c.r << ", m = " << m << ", k = " << k;
            }
        EXPECT_GT(inside, c.g.M * c.r);  // the disc does cover bins
    }
}

// Length of the chord that the ray at detector coordinate s, angle t, cuts
// from the ellipse (centre x, y, semi-axes a, b, a-axis at angle degrees), by
// ray tracing: the ray s n + tau w, n = (cos t, sin t), w = (-sin t, cos t),
// in the ellipse's own scaled axes is (pa + tau qa, pb + tau qb), which stays
// in the unit disc between the two roots of a quadratic in tau.
double Chord(double x, double y, double a, double b, double degrees, double t, double s)
{
    const double al = degrees * kPi / 180;
    const double dx = s * std::cos(t) - x, dy = s * std::sin(t) - y;
    const double wx = -std::sin(t), wy = std::cos(t);
    const double pa = (dx * std::cos(al) + dy * std::sin(al)) / a;
    const double qa = (wx * std::cos(al) + wy * std::sin(al)) / a;
    const double pb = (-dx * std::sin(al) + dy * std::cos(al)) / b;
    const double qb = (-wx * std::sin(al) + wy * std::cos(al)) / b;
    const double A = qa * qa + qb * qb, B = 2 * (pa * qa + pb * qb), C = pa * pa + pb * pb - 1;
    const double disc = B * B - 4 * A * C;
    return disc > 0 ? std::sqrt(disc) / A : 0;
}

// A small ellipse centred at (x, y) casts its shadow about x cos t + y sin t,
// i.e. peaks at bin x cos t + y sin t - r0/dr, and every sample is the traced
// chord length times the density and dr.
TEST(Phantom, OffCentreEllipsePeaksWhereItsCentreProjects)
{
    struct Case {
        Geometry g;
        double x, y, a, b, angle, rho;
    } cases[] = {
        {{64, 6, 0, 1, -31.5}, 7.3, -4.6, 6, 1.2, 30, 1},
        {{64, 5, 17.5, 0.5, -31.5}, -10.2, 12.7, 1.5, 4, -65, 2.5},
        {{80, 7, -40, 2, -30.25}, 20.1, 5.4, 3, 1.1, 110, -1},
        {{50, 4, 200, 1, -24.5}, 0, -15.3, 2, 2.5, 0, 1},
    };
    for (const Case& c : cases) {
        const std::vector<double> p = Sinogram("--ellipse " + Num(c.x) + "," + Num(c.y) + "," +
                                                   Num(c.a) + "," + Num(c.b) + "," +
                                                   Num(c.angle) + "," + Num(c.rho),
                                               c.g);
        for (int m = 0; m < c.g.M; ++m) {
            const double* row = &p[m * c.g.N];
            const double t = Theta(c.g, m);
            const double at = c.x * std::cos(t) + c.y * std::sin(t);  // detector coordinate
            const auto peak = c.rho > 0 ? std::max_element(row, row + c.g.N)
                                        : std::min_element(row, row + c.g.N);
            EXPECT_LE(std::fabs((peak - row) - (at - c.g.r0dr)), 0.5 + 1e-9)
                << "x = " << c.x << ", y = " << c.y << ", angle " << t * 180 / kPi;
            int shadow = 0;
            for (int k = 0; k < c.g.N; ++k) {
                const double chord = Chord(c.x, c.y, c.a, c.b, c.angle, t, c.g.r0dr + k);
                shadow += chord > 0;
                ASSERT_NEAR(row[k], c.rho * c.g.dr * chord, 1e-10)
                    << "x = " << c.x << ", m = " << m << ", k = " << k;
            }
            EXPECT_GE(shadow, 2);
        }
    }
}

// The sum of a projection times dr is the mass rho pi A B (A, B in physical
// length) at every angle, up to the sampling of the chord profile, whose
// relative error falls like (1 / semi-axis)^1.5; exactly when each bin reads
// the mean over its width, and then each bin is the traced chord's mean.
TEST(Phantom, MassIsTheSameAtEveryAngle)
{
    struct Case {
        Geometry g;
        std::string ellipse;  // empty: the default head
        double mass;          // in detector intervals squared
        double tolerance;     // relative
        bool aperture = false;
    } cases[] = {
        {{128, 9, 11, 0.5, -63.25}, "5,-3,40,25,25,1.3", 1.3 * kPi * 40 * 25, 2e-3},
        {{160, 6, -30, 2, -80.5}, "-8,6,30,50,-70,-0.6", -0.6 * kPi * 30 * 50, 2e-3},
        {{128, 9, 11, 0.5, -63.25}, "5,-3,40,25,25,1.3", 1.3 * kPi * 40 * 25, 1e-12, true},
        {{64, 7, -30, 2, -31.5}, "-8,6,3,1.2,-70,-0.6", -0.6 * kPi * 3 * 1.2, 1e-12, true},
        // The modified Shepp-Logan head on the unit circle scaled to 0.95 of
        // the covered disc (radius 255.5): sum of rho pi a b over its ellipses,
        // sampled finely enough that the smallest ellipses span several bins.
        {{512, 8, 3, 1, -255.5}, "",
         kPi * std::pow(0.95 * 255.5, 2) *
             (0.69 * 0.92 - 0.8 * 0.6624 * 0.874 - 0.2 * (0.11 * 0.31 + 0.16 * 0.41) +
              0.1 * (0.21 * 0.25 + 2 * 0.046 * 0.046 + 2 * 0.046 * 0.023 + 0.023 * 0.023)),
         1e-3},
    };
    for (const Case& c : cases) {
        const std::vector<double> p = Sinogram(
            (c.aperture ? "--aperture " : "") + (c.ellipse.empty() ? "" : "--ellipse " + c.ellipse), c.g);
        const double expected = c.mass * c.g.dr * c.g.dr;
        double x, y, a, b, degrees, rho;
        std::sscanf(c.ellipse.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf", &x, &y, &a, &b, &degrees, &rho);
        for (int m = 0; m < c.g.M; ++m) {
            double sum = 0;
            for (int k = 0; k < c.g.N; ++k) {
                sum += p[m * c.g.N + k];
                if (!c.aperture)
                    continue;
                const int steps = 4000;  // midpoint rule: error ~ steps^-1.5 where an edge crosses
                double mean = 0;
                for (int j = 0; j < steps; ++j)
                    mean += Chord(x, y, a, b, degrees, Theta(c.g, m), c.g.r0dr + k - 0.5 + (j + 0.5) / steps);
                ASSERT_NEAR(p[m * c.g.N + k], rho * c.g.dr * mean / steps, 1e-4 * std::fabs(rho) * c.g.dr)
                    << "ellipse '" << c.ellipse << "', m = " << m << ", k = " << k;
            }
            EXPECT_NEAR(sum * c.g.dr / expected, 1, c.tolerance)
                << "ellipse '" << c.ellipse << "', m = " << m;
        }
    }
}

// Truth of user ellipses, classified independently by the focal property:
// inside when the distances to the two foci add up to at most twice the
// larger semi-axis.
TEST(Phantom, TruthMarksTheEllipses)
{
    struct E {
        double x, y, a, b, angle, rho;
    } ellipses[] = {{0, 0, 20, 12, 30, 1}, {6, 2, 3, 5, -50, 0.5}};
    const int N = 64;
    TempDir dir;
    std::string options;
    for (const E& e : ellipses)
        options += " --ellipse " + Num(e.x) + "," + Num(e.y) + "," + Num(e.a) + "," + Num(e.b) +
                   "," + Num(e.angle) + "," + Num(e.rho);
    const std::string geometry = Args({N, 4, 0, 0.5, -31.5}) + " " + (dir / "s.sg") + " ";
    const Result raw = Phantom("--truth-raw" + options + " " + geometry + (dir / "t.raw"));
    ASSERT_EQ(raw.status, 0) << raw.err;
    const std::string bytes = testutil::ReadFile(dir / "t.raw");
    ASSERT_EQ(bytes.size(), 8ull * N * N);
    const std::vector<double> truth = Doubles(bytes, 0);

    int checked[2] = {0, 0};
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) {
            const double x = j - (N - 1) / 2.0, y = (N - 1) / 2.0 - i;
            double expected = 0;
            bool onEdge = false;
            for (const E& e : ellipses) {
                const double big = std::max(e.a, e.b), f = std::sqrt(std::fabs(e.a * e.a - e.b * e.b));
                const double along = (e.a >= e.b ? e.angle : e.angle + 90) * kPi / 180;
                const double fx = f * std::cos(along), fy = f * std::sin(along);
                const double d = std::hypot(x - e.x - fx, y - e.y - fy) +
                                 std::hypot(x - e.x + fx, y - e.y + fy) - 2 * big;
                onEdge |= std::fabs(d) < 1e-6;
                expected += d < 0 ? e.rho : 0;
            }
            if (onEdge)
                continue;
            ASSERT_NEAR(truth[i * N + j], expected, 1e-15) << "pixel " << i << ", " << j;
            ++checked[expected != 0];
        }
    EXPECT_GT(checked[0], 1000);
    EXPECT_GT(checked[1], 500);

    // The same image as a float TIFF.
    const Result tiff = Phantom(options + " " + geometry + (dir / "t.tif"));
    ASSERT_EQ(tiff.status, 0) << tiff.err;
    TiffImage image;
    std::string why;
    ASSERT_TRUE(ReadTiff(testutil::ReadFile(dir / "t.tif"), &image, &why)) << why;
    ASSERT_EQ(image.width, static_cast<uint32_t>(N));
    ASSERT_EQ(image.height, static_cast<uint32_t>(N));
    for (int n = 0; n < N * N; ++n)
        ASSERT_EQ(image.pixels[n], static_cast<float>(truth[n])) << "sample " << n;
}

// The default head at N = 65, axis at bin 32: its unit circle has radius
// 0.95 * 32 = 30.4. Values from the textbook layout: the skull rim (1), the
// brain (1 - 0.8), the top blob at (0, 0.35) (+0.1), the two ventricles at
// x = +-0.22 (-0.2, the left one larger), and the brain's downward shift of
// 0.0184 that puts the pixel 27 below the centre inside the brain but the one
// 27 above it on the rim.
TEST(Phantom, DefaultHeadTruth)
{
    const int N = 65;
    TempDir dir;
    const Result r =
        Phantom("--truth-raw " + Args({N, 2, 0, 1, -32}) + " " + (dir / "s") + " " + (dir / "t"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<double> truth = Doubles(testutil::ReadFile(dir / "t"), 0);
    ASSERT_EQ(truth.size(), static_cast<size_t>(N * N));
    const struct {
        int x, y;
        double value;
    } pixels[] = {{0, 0, 0.2}, {0, 27, 1.0}, {0, -27, 0.2}, {0, 11, 0.3},
                  {7, 9, 0.2}, {-7, 9, 0.0}, {32, 32, 0.0}, {0, 29, 0.0}};
    for (const auto& p : pixels)
        EXPECT_NEAR(truth[(32 - p.y) * N + (p.x + 32)], p.value, 1e-12)
            << "x = " << p.x << ", y = " << p.y;
}

TEST(Phantom, NoiseIsSeededAndScaled)
{
    const Geometry g{64, 64, 0, 1, -31.5};
    const std::vector<double> clean = Sinogram("", g);
    const Result a = Phantom("--noise 0.05 --seed 7 " + Args(g) + " -");
    const Result b = Phantom("--noise=0.05 --seed=7 " + Args(g) + " -");
    const Result c = Phantom("--noise 0.05 --seed 8 " + Args(g) + " -");
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.out.size(), c.out.size());
    EXPECT_NE(a.out, c.out);
    EXPECT_EQ(Phantom("--noise 0 --seed 7 " + Args(g) + " -").out, Phantom(Args(g) + " -").out);

    // The added noise: zero mean, deviation 0.05 * max |sample|, seed to seed.
    double peak = 0;
    for (double v : clean)
        peak = std::max(peak, std::fabs(v));
    const std::string header = "64 64\n";
    for (const Result* r : {&a, &c}) {
        const std::vector<double> noisy = Doubles(r->out, header.size());
        ASSERT_EQ(noisy.size(), clean.size());
        double sum = 0, squares = 0;
        for (size_t n = 0; n < clean.size(); ++n) {
            sum += noisy[n] - clean[n];
            squares += (noisy[n] - clean[n]) * (noisy[n] - clean[n]);
        }
        const double count = static_cast<double>(clean.size()), sigma = 0.05 * peak;
        EXPECT_LT(std::fabs(sum / count), 5 * sigma / std::sqrt(count));
        EXPECT_NEAR(std::sqrt(squares / count) / sigma, 1, 0.06);
    }
}

TEST(Phantom, UsageErrorsExitTwoAndWriteNothing)
{
    const std::string g = " 8 3 0 1 -3.5 SG";
    const struct {
        std::string args;  // SG stands for the output path
        std::string reason;
    } cases[] = {
        {"", "expected 6 or 7 arguments, got 0"},
        {"8 3 0 1 -3.5", "expected 6 or 7 arguments, got 5"},
        {"8 3 0 1 -3.5 SG t extra", "expected 6 or 7 arguments, got 8"},
        {"1 3 0 1 -0.5 SG", "bad N '1'"},
        {"65537 3 0 1 -0.5 SG", "bad N '65537'"},
        {"8x 3 0 1 -3.5 SG", "bad N '8x'"},
        {"8 0 0 1 -3.5 SG", "bad M '0'"},
        {"8 3 zz 1 -3.5 SG", "bad ra 'zz'"},
        {"8 3 0 0 -3.5 SG", "bad dr '0'"},
        {"8 3 0 -1 -3.5 SG", "bad dr '-1'"},
        {"8 3 0 nan -3.5 SG", "bad dr 'nan'"},
        {"8 3 0 1 0 SG", "bad r0/dr '0'"},
        {"8 3 0 1 -7 SG", "bad r0/dr '-7'"},
        {"--ellipse 1,2,3,4,5 8 3 0 1 -3.5 SG", "bad ellipse '1,2,3,4,5'"},
        {"--ellipse 1,2,0,4,5,1 8 3 0 1 -3.5 SG", "bad ellipse '1,2,0,4,5,1'"},
        {"--ellipse 1,2,3,4,5,1x 8 3 0 1 -3.5 SG", "bad ellipse '1,2,3,4,5,1x'"},
        {"--noise -1 8 3 0 1 -3.5 SG", "bad noise level '-1'"},
        {"--seed -3 8 3 0 1 -3.5 SG", "bad seed '-3'"},
        {"8 3 0 1 -3.5 SG --seed", "--seed needs a value"},
        {"--bogus 8 3 0 1 -3.5 SG", "unknown option --bogus"},
        {"8 3 0 1 -3.5 - -", "SG and TRUTH cannot both be standard output"},
        {"40000 1 0 1 -3.5 SG t", "too large for a TIFF truth"},
        {"--scan zip" + g, "bad scan format 'zip' (want dx, nxtomo, plain, tiff or tiff-multi)"},
        {"--scan dx 8 3 0 1 -3.5 SG extra", "expected 6 arguments with --scan, got 7"},
        {"--scan dx --noise 0.1" + g, "--noise cannot be used with --scan"},
        {"--scan tiff --truth-raw" + g, "--truth-raw cannot be used with --scan"},
        {"--scan dx --row 1" + g, "--row cannot be used with --scan"},
        {"--poisson" + g, "--poisson needs --scan"},
        {"--row 0 --flats 3" + g, "--flats needs --scan"},
        {"--rows 3" + g, "--rows needs --row or --scan"},
        {"--rows 3 --row 3" + g, "bad row '3' (want 0 to 2 of 3 rows)"},
        {"--row 4" + g, "bad row '4' (want 0 to 3 of 4 rows)"},
        {"--row -1" + g, "bad row '-1'"},
        {"--scan dx --rows 0" + g, "bad rows '0'"},
        {"--scan dx --dtype int16" + g, "bad dtype 'int16'"},
        {"--scan dx --i0 0" + g, "bad i0 '0'"},
        {"--scan dx --darks -1" + g, "bad darks '-1'"},
        {"--scan dx --drift x" + g, "bad drift 'x'"},
        {"--scan dx --compress zstd" + g, "bad filter 'zstd' (want deflate, lz4, bzip2 or blosc)"},
        {"--scan tiff --compress lz4" + g, "--compress is for HDF5 scans (dx, nxtomo, plain) only"},
        {"--scan tiff-multi --radians" + g, "--radians is for HDF5 scans (dx, nxtomo, plain) only"},
        {"--scan nxtomo --flats-file f.h5" + g, "--flats-file is for --scan dx only"},
        {"--scan tiff --invalid-frame" + g, "--invalid-frame is for --scan nxtomo and plain only"},
        {"--scan dx --jitter 0.5" + g, "bad jitter '0.5' (want 0 <= J < 0.5 steps: the angles stay in order)"},
        {"--scan dx --darks 0 --darks-file d.h5" + g, "--darks-file needs at least one dark"},
        {"--jitter 0.1" + g, "--jitter needs --scan"},
        {"--scan dx --entry e" + g, "--entry is for --scan nxtomo only"},
        {"--scan nxtomo --entry a//b" + g, "bad entry 'a//b'"},
        {"--scan nxtomo --entry /a" + g, "bad entry '/a'"},
        {"--scan nxtomo --drift 0.1" + g, "--drift needs --flats-after"},
        {"--scan nxtomo --flats-after --flats 0" + g, "--flats-after needs at least one flat"},
        {"--scan nxtomo --flats-after --drift -1" + g, "makes the beam vanish"},
        {"--scan dx --rows 4097 65536 3 0 1 -3.5 SG", "a frame of 4097 x 65536 pixels is too large"},
        {"--scan dx --full-turn 8 524288 0 1 -3.5 SG", "too many frames (at most 1048576)"},
        {"--scan dx 8 3 0 1 -3.5 -", "OUT cannot be standard output"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::string args = c.args;
        const size_t at = args.find("SG");
        if (at != std::string::npos)
            args.replace(at, 2, dir / "s.sg");
        const Result r = testutil::Run("cd '" + dir.path() + "' && " + PRJPHANTOM_BIN + " " + args);
        EXPECT_EQ(r.status, 2) << c.args;
        const std::string first = r.err.substr(0, r.err.find('\n'));
        EXPECT_EQ(first.rfind("prjphantom: ", 0), 0u) << r.err;
        // A build without HDF5 and libtiff refuses every scan at its --scan.
        const std::string reason = PRJSLICE_IMPORT || c.args.find("--scan") == std::string::npos
                                       ? c.reason
                                       : "--scan needs a build with HDF5 and libtiff (PRJSLICE_IMPORT=ON)";
        EXPECT_NE(first.find(reason), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find("usage : prjphantom [options] N M ra dr r0/dr SG [TRUTH]\n"
                             "        prjphantom --scan FORMAT [options] N M ra dr r0/dr OUT\n"),
                  std::string::npos);
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(testutil::Run("ls -A '" + dir.path() + "'").out, "") << c.args;
    }
}

TEST(Phantom, OutputFailuresExitOne)
{
    TempDir dir;
    const struct {
        std::string args, message;
    } cases[] = {
        {"8 3 0 1 -3.5 " + (dir / "no/s.sg"), "cannot create sinogram '" + (dir / "no/s.sg")},
        {"8 3 0 1 -3.5 /dev/full", "cannot write sinogram '/dev/full'"},
        {"--truth-raw 8 3 0 1 -3.5 " + (dir / "s.sg") + " /dev/full",
         "cannot write truth '/dev/full'"},
    };
    for (const auto& c : cases) {
        const Result r = Phantom(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err.rfind("prjphantom: " + c.message, 0), 0u) << r.err;
    }
}

}  // namespace

namespace {

// Row r of R sees every ellipse with both semi-axes scaled by sqrt(1 - h^2),
// h = (R - r - 1/2) / R: the same sinogram, byte for byte, as those scaled
// ellipses given outright; and the rows all differ.
TEST(Phantom, RowSinogramIsTheScaledSlice)
{
    const Geometry g{40, 5, 10, 0.5, -19.5};
    const double ellipses[2][6] = {{0, 0, 15, 9, 30, 1}, {4, -3, 5, 2, -20, 0.5}};
    for (const int R : {1, 3, 4}) {
        std::vector<std::string> rows;
        for (int r = 0; r < R; ++r) {
            const double h = (R - r - 0.5) / R, s = std::sqrt(1 - h * h);
            std::string given, scaled;
            for (const auto& e : ellipses) {
                given += " --ellipse " + Num(e[0]) + "," + Num(e[1]) + "," + Num(e[2]) + "," +
                         Num(e[3]) + "," + Num(e[4]) + "," + Num(e[5]);
                scaled += " --ellipse " + Num(e[0]) + "," + Num(e[1]) + "," + Num(e[2] * s) + "," +
                          Num(e[3] * s) + "," + Num(e[4]) + "," + Num(e[5]);
            }
            const Result row = Phantom("--rows " + std::to_string(R) + " --row=" + std::to_string(r) +
                                       given + " " + Args(g) + " -");
            ASSERT_EQ(row.status, 0) << row.err;
            EXPECT_EQ(row.out, Phantom(scaled + " " + Args(g) + " -").out) << "row " << r << " of " << R;
            for (const std::string& other : rows)
                EXPECT_NE(row.out, other) << "row " << r << " of " << R;
            rows.push_back(row.out);
        }
    }
}

// Failures exit 1 with one message and leave nothing under a final name, nor
// any temporary; a TIFF directory that the run created is removed again, one
// that existed keeps what it held. A file-size limit (with SIGXFSZ ignored, so
// that writes fail with EFBIG) stops HDF5 and TIFF writes part way.
TEST(Phantom, ScanWriteFailuresLeaveNothing)
{
    if (!PRJSLICE_IMPORT)
        GTEST_SKIP() << "built without raw scans (PRJSLICE_IMPORT=OFF)";
    const std::string big = " --rows 8 1024 20 0 0.001 -511.5 ";
    const std::string small = " 8 3 0 1 -3.5 ";
    const struct {
        std::string setup, args;  // run in a scratch directory
        std::string message;      // after "prjphantom: "
        std::string left;         // what the scratch directory holds afterwards
    } cases[] = {
        {"true", "--scan dx" + small + "no/s.h5", "cannot create scan 'no/s.h5': No such file or directory", ""},
        {"mkdir d", "--scan nxtomo" + small + "d", "cannot write scan 'd': Is a directory", "./d\n"},
        {"touch f", "--scan tiff" + small + "f", "cannot create scan 'f': Not a directory", "./f\n"},
        {"export HDF5_PLUGIN_PATH=/nonexistent", "--scan dx --compress lz4" + small + "s.h5",
         "the HDF5 filter lz4 (32004) is not available", ""},
        {"ulimit -f 10", "--scan dx" + big + "s.h5", "cannot write scan 's.h5': H5Dwrite: File too large", ""},
        {"ulimit -f 10", "--scan nxtomo --compress deflate" + big + "s.nx", "cannot write scan 's.nx': ", ""},
        {"ulimit -f 10", "--scan tiff" + big + "stack", "cannot write scan 'stack': ", ""},
        {"mkdir stack && touch stack/keep && ulimit -f 10", "--scan tiff-multi" + big + "stack",
         "cannot write scan 'stack': ", "./stack\n./stack/keep\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const Result r = testutil::Run("cd '" + dir.path() + "' && trap '' XFSZ && " + c.setup + " && " +
                                       PRJPHANTOM_BIN + " " + c.args);
        EXPECT_EQ(r.status, 1) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("prjphantom: " + c.message, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(testutil::Run("cd '" + dir.path() + "' && find . -mindepth 1 | sort").out, c.left) << c.args;
    }
}

}  // namespace
