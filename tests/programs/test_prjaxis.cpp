// The axis finder, run as a process: estimates on phantom sinograms with known
// axes, reconstructions with the estimate against those with the true axis,
// the sinograms it must refuse, the input rules it shares with prjslice, and
// its command line.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"
#include "tiff_read.h"

namespace {

using testutil::Result;
using testutil::TempDir;

// A phantom sinogram: N, M, start angle, true r0/dr, noise (relative to the
// largest sample), and ellipses replacing the default head ("" for the head).
struct Case {
    int N, M;
    double ra, r0dr, noise;
    const char* ellipses;
};

std::string Num(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string Label(const Case& c)
{
    return "N " + std::to_string(c.N) + " M " + std::to_string(c.M) + " ra " + Num(c.ra) +
           " r0/dr " + Num(c.r0dr) + " noise " + Num(c.noise) + (*c.ellipses ? " fill" : "");
}

// Writes the case's sinogram to dir/slice.sg (and the true phantom to
// dir/truth.raw).
void MakePhantom(const TempDir& dir, const Case& c)
{
    std::string options = "--truth-raw --noise " + Num(c.noise) + " --seed " + std::to_string(c.N + c.M);
    std::istringstream list(c.ellipses);
    for (std::string ellipse; list >> ellipse;)
        options += " --ellipse " + ellipse;
    const Result r = testutil::Run(std::string(PRJPHANTOM_BIN) + " " + options + " " + std::to_string(c.N) + " " +
                         std::to_string(c.M) + " " + Num(c.ra) + " 1 " + Num(c.r0dr) + " " +
                         dir / "slice.sg" + " " + dir / "truth.raw");
    ASSERT_EQ(r.status, 0) << r.err;
}

// The estimate printed for dir/slice.sg, checked to be one "%.3f" line.
std::string Estimate(const TempDir& dir)
{
    const Result r = testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "slice.sg");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    double value;
    int used = 0;
    EXPECT_EQ(std::sscanf(r.out.c_str(), "%lf%n", &value, &used), 1) << r.out;
    EXPECT_EQ(r.out.substr(used), "\n");
    const size_t point = r.out.find('.');
    EXPECT_EQ(r.out.size() - point, 5u) << "three decimals: " << r.out;
    return r.out.substr(0, used);
}

std::vector<float> Reconstruct(const TempDir& dir, const std::string& r0dr, double ra)
{
    const Result r = testutil::Run(std::string(PRJSLICE_FIXED_BIN) + " " + dir / "slice.sg" + " 1 " + r0dr + " " +
                         Num(ra) + " " + dir / "slice.tif");
    EXPECT_EQ(r.status, 0) << r.err;
    TiffImage image;
    std::string why;
    EXPECT_TRUE(ReadTiff(testutil::ReadFile(dir / "slice.tif"), &image, &why)) << why;
    return image.pixels;
}

std::vector<double> Truth(const TempDir& dir)
{
    const std::string bytes = testutil::ReadFile(dir / "truth.raw");
    std::vector<double> truth(bytes.size() / 8);
    std::memcpy(truth.data(), bytes.data(), truth.size() * 8);
    return truth;
}

double RootMeanSquare(const std::vector<float>& a, const std::vector<double>& b)
{
    double sum = 0;
    for (size_t p = 0; p < a.size(); ++p)
        sum += (a[p] - b[p]) * (a[p] - b[p]);
    return std::sqrt(sum / a.size());
}

// Ellipses filling up to 98% of the disc of radius 110.3 that every
// projection covers with the axis at bin 110.3 of 256, and 97% of the disc of
// radius 127 with the axis at bin 127 of 255.
const char kFill110[] = "0,0,108,104,0,1 30,20,20,20,0,1 -40,-50,10,30,30,-0.5";
const char kFill127[] = "3,-2,123,118,15,1 -50,30,25,15,-20,0.5 60,-40,8,8,0,-0.6";

// Centred and off-centre (by 37 to 68 bins) axes, integer, half and other
// fractions of a bin, start angles from -40 to 133 degrees, M from 90 to 1800,
// odd and even N, 1% noise, and objects filling the field of view.
const Case kCases[] = {
    {256, 180, 0, -127.5, 0, ""},      {257, 360, 0, -128, 0, ""},
    {256, 90, 25, -90.25, 0, ""},      {511, 720, -40, -315.6, 0, ""},
    {256, 1800, 10, -150.75, 0, ""},   {255, 180, 133, -80.3, 0, ""},
    {256, 180, 0, -110.3, 0, kFill110}, {256, 180, 0, -100.25, 0.01, ""},
    {512, 90, 30, -200.6, 0.01, ""},   {257, 720, 8, -165.3, 0.01, ""},
    {511, 1800, 70, -187.4, 0.01, ""}, {255, 360, 45, -127, 0.01, kFill127},
};

// What prjaxis must print for a case: the estimate within `tolerance` bins
// of the truth, and standard error empty or starting with `warning`.
struct Expected {
    Case c;
    double tolerance;
    const char* warning;
};

// Ellipses reaching beyond the disc of radius 120.3 that every projection
// covers with the axis at bin 120.3 of 256: a disc of radius 200 about the
// axis (no air at either end, the masses all equal: the centres of mass are
// blind to the axis) and one off the axis (the masses differ too), each with
// a few smaller ones inside.
const char kNoAir[] = "0,0,200,200,0,1 30,20,20,20,0,1 -40,-50,10,30,30,-0.5 50,-30,15,8,20,0.7";
const char kNoAirOff[] = "10,-5,170,150,20,1 30,20,20,20,0,1 -40,-50,10,30,30,-0.5 50,-30,15,8,20,0.7";
// An ellipse reaching 140 bins from an axis 110.3 bins from the detector's
// end: the object leaves the field of view in some projections.
const char kLeaving[] = "0,0,140,90,20,1 30,20,20,20,0,1";
// An object filling a detector of 20 bins: fewer than 8 bins on either side
// of the axis for the window of the joined turn.
const char kSmall[] = "0,0,14,12,0,1 3,2,3,2,0,0.5 -3,-2,2,3,30,-0.4";

TEST(Axis, EstimatesWithinToleranceAndWarnsWhereUnsure)
{
    // The table above (centre-of-mass fit: measured at most 0.007 bin without
    // noise, 0.049 with 1% noise), then sinograms without air, with an object
    // leaving the view, and an axis 20% of the detector off its centre. The
    // spectrum of the joined turn decides the cases without air: measured
    // 0.001 to 0.003 bin without noise; with 1% noise, over ten noise seeds,
    // at most 0.23 bin without air and 0.11 for the object leaving the view
    // (0.001 and 0.107 with the seed here; the seam of the half turn alone
    // was 0.37 and 0.17 off). On a detector too small for its window the
    // seam's value is printed, without a warning where the seam is sure.
    std::vector<Expected> table;
    for (const Case& c : kCases)
        table.push_back({c, c.noise > 0 ? 0.1 : 0.02, ""});
    const Expected more[] = {
        {{256, 180, 0, -120.3, 0, kNoAir}, 0.02, ""},
        {{256, 180, 0, -120.3, 0.01, kNoAir}, 0.25, ""},
        {{256, 360, 15, -120.3, 0, kNoAirOff}, 0.02, "warning: the centres of mass give r0/dr "},
        {{256, 180, 0, -110.3, 0, kLeaving}, 0.02, ""},
        {{256, 180, 0, -110.3, 0.01, kLeaving}, 0.15, ""},
        {{20, 90, 0, -9.3, 0, kSmall}, 0.05, ""},
        {{512, 360, 10, -0.3 * 511, 0.01, ""}, 0.05, ""},
        {{512, 360, 10, -0.7 * 511, 0.01, ""}, 0.05, ""},
    };
    table.insert(table.end(), std::begin(more), std::end(more));
    for (const Expected& e : table) {
        TempDir dir;
        MakePhantom(dir, e.c);
        const Result r = testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "slice.sg");
        EXPECT_EQ(r.status, 0) << Label(e.c) << ": " << r.err;
        if (*e.warning)
            EXPECT_EQ(r.err.rfind(e.warning, 0), 0u) << Label(e.c) << ": " << r.err;
        else
            EXPECT_EQ(r.err, "") << Label(e.c);
        EXPECT_NEAR(std::atof(r.out.c_str()), e.c.r0dr, e.tolerance) << Label(e.c) << ": " << r.out;
    }
}

TEST(Axis, ReconstructsAsWellAsTheTrueAxis)
{
    // Reconstructions with the printed estimate (0.001 to 0.004 bin off here)
    // are not the true-axis images to rounding, but differ from them by
    // 0.1 to 0.5% of the reconstruction's own rms error against the phantom
    // (at most 0.0025 in a pixel, for densities up to 1); an axis half a bin
    // off moves the image by 55 to 65% of that error (0.3 in a pixel).
    for (const int index : {0, 2, 3, 5, 6}) {
        const Case& c = kCases[index];
        TempDir dir;
        MakePhantom(dir, c);
        const std::vector<float> withTruth = Reconstruct(dir, Num(c.r0dr), c.ra);
        const std::vector<float> withEstimate = Reconstruct(dir, Estimate(dir), c.ra);
        const std::vector<float> halfBinOff = Reconstruct(dir, Num(c.r0dr + 0.5), c.ra);
        const std::vector<double> truth = Truth(dir);
        ASSERT_EQ(withTruth.size(), truth.size());
        ASSERT_EQ(withEstimate.size(), truth.size());
        const std::vector<double> reference(withTruth.begin(), withTruth.end());
        const double own = RootMeanSquare(withTruth, truth);
        const double shift = RootMeanSquare(withEstimate, reference);
        EXPECT_LT(shift, 0.02 * own) << Label(c);
        EXPECT_GT(RootMeanSquare(halfBinOff, reference), 0.3 * own) << Label(c);
    }
}

TEST(Axis, ConstantOffsetDoesNotMoveTheEstimate)
{
    // The window is symmetric about the axis, so an offset adds mass on both
    // sides of it evenly; summed over the whole detector, this one would pull
    // the axis, 37 bins off-centre, 6.5 bins towards the centre.
    TempDir dir;
    MakePhantom(dir, kCases[2]);
    const std::string plain = Estimate(dir);
    const std::string bytes = testutil::ReadFile(dir / "slice.sg");
    const size_t start = bytes.find('\n') + 1;
    std::vector<double> samples((bytes.size() - start) / 8);
    std::memcpy(samples.data(), bytes.data() + start, samples.size() * 8);
    for (double& v : samples)
        v += 3.0;  // 6.5% of the largest sample
    testutil::WriteFile(dir / "slice.sg", testutil::SinogramBytes(256, 90, samples));
    EXPECT_EQ(Estimate(dir), plain);
}

// Writes the case's sinogram with its last projection moved `bins` bins
// along the detector (a glitch of the stage), and runs prjaxis on it.
Result RunWithLastRowMoved(const TempDir& dir, const Case& c, int bins)
{
    MakePhantom(dir, c);
    const std::string bytes = testutil::ReadFile(dir / "slice.sg");
    const size_t start = bytes.find('\n') + 1;
    std::vector<double> samples((bytes.size() - start) / 8);
    std::memcpy(samples.data(), bytes.data() + start, samples.size() * 8);
    double* last = &samples[static_cast<size_t>(c.M - 1) * c.N];
    std::memmove(last + bins, last, (c.N - bins) * 8);
    testutil::WriteFile(dir / "slice.sg", testutil::SinogramBytes(c.N, c.M, samples));
    return testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "slice.sg");
}

TEST(Axis, WarnsWhenTheTwoEstimatesDisagree)
{
    // The last projection moved 4 bins: the seam puts the axis 2 bins off.
    // With air, the centres of mass barely notice and still hold; the fit
    // (moved 0.1 bin) is printed, with both values.
    {
        TempDir dir;
        const Result r = RunWithLastRowMoved(dir, kCases[0], 4);
        EXPECT_EQ(r.status, 0);
        EXPECT_NEAR(std::atof(r.out.c_str()), -127.5, 0.2) << r.out;
        double com = 0, seam = 0;
        EXPECT_EQ(std::sscanf(r.err.c_str(), "warning: the centres of mass give r0/dr %lf, the seam of the half turn %lf",
                              &com, &seam), 2)
            << r.err;
        EXPECT_EQ(com, std::atof(r.out.c_str()));
        EXPECT_NEAR(seam, -129.5, 0.1);
        EXPECT_NE(r.err.find("; printed the first\n"), std::string::npos) << r.err;
    }
    // Without air the spectrum of the joined turn decides: the one glitched
    // row pulls it by less than a bin, and the warning gives the seam's value
    // beside the one printed.
    {
        TempDir dir;
        const Result r = RunWithLastRowMoved(dir, {256, 180, 0, -120.3, 0, kNoAir}, 4);
        EXPECT_EQ(r.status, 0);
        double seam = 0, error = 0, turn = 0;
        EXPECT_EQ(std::sscanf(r.err.c_str(), "warning: the seam of the half turn %lf (+-%lf), the spectrum of the joined turn %lf",
                              &seam, &error, &turn), 3)
            << r.err;
        EXPECT_NEAR(seam, -122.3, 0.1);
        EXPECT_EQ(turn, std::atof(r.out.c_str()));
        EXPECT_NEAR(turn, -120.3, 1.0);
        EXPECT_NE(r.err.find("; printed the second\n"), std::string::npos) << r.err;
    }
}

// Sinogram files of 8 bins: the header, then rows given as functions of the
// row m and bin k.
std::string Sinogram(int N, int M, double (*sample)(int m, int k))
{
    std::vector<double> v;
    for (int m = 0; m < M; ++m)
        for (int k = 0; k < N; ++k)
            v.push_back(sample(m, k));
    return testutil::SinogramBytes(N, M, v);
}

TEST(Axis, RefusesSinogramsThatDoNotDetermineIt)
{
    const char kConstant[] = "sinogram is constant along the detector: it does not determine the axis.\n";
    const std::string kNone = "the sinogram does not determine the axis: the centre-of-mass fit ";
    const auto kNoSeam = [](int last) {
        return "; the seam of the half turn finds none (row " + std::to_string(last) +
               " against the mirror image of row 0: no axis makes them mirror images of each other).\n";
    };
    const struct {
        const char* name;
        std::string bytes;
        std::string err;
    } cases[] = {
        {"zero", Sinogram(8, 6, [](int, int) { return 0.0; }), kConstant},
        {"constant", Sinogram(8, 6, [](int, int) { return 2.5; }), kConstant},
        {"constant rows", Sinogram(8, 6, [](int m, int) { return 1.0 + m; }), kConstant},
        {"NaN", Sinogram(8, 6, [](int m, int k) { return m == 3 && k == 5 ? std::nan("") : 1.0 + k % 2; }),
         "sinogram holds a sample that is not a finite number.\n"},
        {"infinity", Sinogram(8, 6, [](int m, int) { return m == 5 ? HUGE_VAL : 1.0; }),
         "sinogram holds a sample that is not a finite number.\n"},
        {"cancelling", Sinogram(8, 6, [](int, int k) { return k % 2 ? 1.0 : -1.0; }),
         kNone + "finds none (the samples cancel out: no net mass about the axis)" + kNoSeam(5)},
        {"two rows", Sinogram(8, 2, [](int, int k) { return 1.0 * k; }),
         "sinogram too small to determine the axis: 8 bins and 2 projections (at least 3 and 3).\n"},
        {"two bins", Sinogram(2, 6, [](int, int k) { return 1.0 * k; }),
         "sinogram too small to determine the axis: 2 bins and 6 projections (at least 3 and 3).\n"},
        {"mass at one end", Sinogram(8, 6, [](int, int k) { return k == 7 ? 1.0 : 0.0; }),
         kNone + "finds none (the centres of mass put the axis at bin 7.000, not inside the detector)" + kNoSeam(5)},
        // An empty row, then the mass at bin 0, then at bins 1 and 2: each
        // window the estimate moves to sees other bins, and it never settles.
        {"mass that jumps",
         Sinogram(4, 3, [](int m, int k) { return (m == 1 && k == 0) || (m == 2 && (k == 1 || k == 2)) ? 2.0 : 0.0; }),
         kNone + "finds none (the centre-of-mass estimate does not settle)" + kNoSeam(2)},
        // No air at the ends, and rows that are the mirror image of nothing.
        {"no air, no mirror", Sinogram(64, 6, [](int m, int k) { return 10.0 + (k * 7 + m * 13) % 11; }),
         kNone + "does not hold (the detector has no air at the ends of the window about the axis)" + kNoSeam(5)},
    };
    for (const auto& c : cases) {
        TempDir dir;
        testutil::WriteFile(dir / "slice.sg", c.bytes);
        const Result r = testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "slice.sg");
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
    }
}

TEST(Axis, ReadsSinogramsAsTheReconstructorDoes)
{
    // A small phantom sinogram whose samples follow the different headers.
    TempDir dir;
    ASSERT_EQ(testutil::Run(std::string(PRJPHANTOM_BIN) + " 32 12 0 1 -14.25 " + dir / "ref.sg").status, 0);
    const std::string reference = testutil::ReadFile(dir / "ref.sg");
    const std::string samples = reference.substr(reference.find('\n') + 1);
    const Result expected = testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "ref.sg");
    ASSERT_EQ(expected.status, 0) << expected.err;

    const std::string kBadSize = "bad sinogram size.\n";
    const struct {
        std::string name, file, err;  // err "" for a run that prints the reference estimate
    } cases[] = {
        {"carriage return and comment", "32 12\r # scan 7\n" + samples, ""},
        {"leading blanks", "  32\t12\n" + samples, ""},
        {"over-long header line, skipped", "32 12 " + std::string(3000, 'x') + "\n" + samples, ""},
        {"extra bytes after the samples", "32 12\n" + samples + "trailing", ""},
        {"empty file", "", kBadSize},
        {"one number per line", "32\n12\n" + samples, kBadSize},
        {"number beyond int", "4294967328 12\n" + samples, kBadSize},
        {"decimal point", "32.0 12\n" + samples, kBadSize},
        {"zero projections", "32 0\n" + samples, kBadSize},
        {"negative bins", "-32 12\n" + samples, kBadSize},
        {"one sample short", "32 12\n" + samples.substr(0, samples.size() - 8), "sinogram read error\n"},
        {"header larger than the input", "32 1000000\n" + samples, "sinogram read error\n"},
    };
    for (const auto& c : cases) {
        testutil::WriteFile(dir / "slice.sg", c.file);
        for (const std::string& source : {dir / "slice.sg", std::string("-"), std::string("-anything")}) {
            const Result r = testutil::Run(std::string(PRJAXIS_BIN) + " " + source, dir / "slice.sg");
            EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.name << " from " << source;
            EXPECT_EQ(r.err, c.err) << c.name << " from " << source;
            EXPECT_EQ(r.out, c.err.empty() ? expected.out : "") << c.name << " from " << source;
        }
    }
    const Result missing = testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "missing.sg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "sinogram not found.\n");
    const Result full = testutil::Run(std::string(PRJAXIS_BIN) + " " + dir / "ref.sg" + " >/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "cannot write standard output.\n");
}

TEST(Axis, CommandLine)
{
    const Result help = testutil::Run(std::string(PRJAXIS_BIN) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage : prjaxis SG\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    const struct {
        const char* args;
        const char* first;  // first line on standard error
    } cases[] = {
        {"", "prjaxis: expected one sinogram, got 0 arguments\n"},
        {"a.sg b.sg", "prjaxis: expected one sinogram, got 2 arguments\n"},
        {"--verbose a.sg", "prjaxis: unknown option --verbose\n"},
        {"--axis", "prjaxis: unknown option --axis\n"},
    };
    for (const auto& c : cases) {
        const Result r = testutil::Run(std::string(PRJAXIS_BIN) + " " + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err, c.first + help.out) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

}  // namespace
