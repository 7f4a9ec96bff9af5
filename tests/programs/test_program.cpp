// End-to-end tests of the prjslice driver: the programs are run as processes
// on tiny sinograms, and their exit status, standard output, standard error
// and output files are checked byte for byte. The output TIFFs are read back
// with the independent reader in tiff_read.h.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <regex>
#include <string>
#include <vector>

#include "testutil.h"
#include "tiff_read.h"

namespace {

using testutil::Result;
using testutil::Quote;
using testutil::Samples;
using testutil::Sinogram;
using testutil::TempDir;

const char kUsage[] = "usage : prjslice SG dr r0/dr ra TG\n";
const char kNotFound[] = "sinogram not found.\n";
const char kBadSize[] = "bad sinogram size.\n";
const char kBadInterval[] = "bad detector interval.\n";
const char kBadOffset[] = "bad detector offset (unit in detector interval).\n";
const char kTooLarge[] = "image too large for TIFF.\n";
const char kNoMemory[] = "memory allocation error.\n";
const char kReadError[] = "sinogram read error\n";
const char kBadAngle[] = "bad start angle.\n";

// The full build echoes its pass bands on standard error once the engine has
// allocated its workspace; with BPF_RANGE unset that is the whole band.
const char kBandLine[] = "0.000000\t0.500000\n";

struct Build {
    const char* name;
    const char* path;
    bool bands;  // writes the band list once the workspace is allocated
};

const Build kFixed = {"fixed", PRJSLICE_FIXED_BIN, false};
const Build kFull = {"full", PRJSLICE_BIN, true};

// Runs a build with the given arguments (BPF_RANGE removed from the
// environment) and standard input from stdin_path.
Result RunProgram(const Build& build, const std::vector<std::string>& args,
                  const std::string& stdin_path = "/dev/null")
{
    std::string command = "env -u BPF_RANGE " + Quote(build.path);
    for (const std::string& a : args)
        command += " " + Quote(a);
    return testutil::Run(command, stdin_path);
}

// A sinogram whose header line is given verbatim (newline included).
std::string WithHeader(const std::string& header, int N, int M)
{
    return header + testutil::DoubleBytes(Samples(N, M));
}

std::vector<std::string> DirEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Length of a little-endian TIFF from its layout: the end of its directory,
// or of the furthest value stored outside the directory.
size_t TiffLength(const std::string& b)
{
    auto get = [&b](size_t at, int size) {
        uint32_t v = 0;
        for (int k = size - 1; k >= 0; --k)
            v = (v << 8) | static_cast<unsigned char>(b.at(at + k));
        return v;
    };
    const size_t ifd = get(4, 4);
    const size_t n = get(ifd, 2);
    size_t end = ifd + 2 + 12 * n + 4;
    for (size_t i = 0; i < n; ++i) {
        const size_t at = ifd + 2 + 12 * i;
        const uint32_t type = get(at + 2, 2), count = get(at + 4, 4);
        if (type == 2 && count > 4)
            end = std::max<size_t>(end, static_cast<size_t>(get(at + 8, 4)) + count);
    }
    return end;
}

// ---------------------------------------------------------------------------
// Failures: exact message, status 1, nothing on standard output, no file.

// Placeholders in the arguments of a failure case.
const char kSG[] = "@SG";        // the case's sinogram file
const char kTG[] = "@TG";        // an output file in the scratch directory
const char kNoSG[] = "@NOSG";    // a sinogram that does not exist
const char kNoDir[] = "@NODIR";  // an output path in a missing directory

struct FailCase {
    const char* what;
    std::string sinogram;  // bytes of @SG, and of standard input when SG starts with "-"
    std::vector<std::string> args;
    std::string message;  // standard error of the fixed build
    bool engine;          // fails after the workspace has been allocated
};

void ExpectFailure(const Build& build, const FailCase& c)
{
    SCOPED_TRACE(std::string(build.name) + " build: " + c.what);
    TempDir dir;
    const std::string sg = dir / "sg.bin";
    testutil::WriteFile(sg, c.sinogram);
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
        if (a == kSG)
            args.push_back(sg);
        else if (a == kTG)
            args.push_back(dir / "out.tif");
        else if (a == kNoSG)
            args.push_back(dir / "missing.bin");
        else if (a == kNoDir)
            args.push_back(dir / "no/such/dir/out.tif");
        else
            args.push_back(a);
    }
    const bool from_stdin = !args.empty() && args[0][0] == '-';
    const Result r = RunProgram(build, args, from_stdin ? sg : "/dev/null");
    const std::string expected = (build.bands && c.engine ? kBandLine : "") + c.message;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"sg.bin"});
}

std::vector<std::string> Args(const char* dr, const char* r0, const char* ra,
                              const char* sg = kSG, const char* tg = kTG)
{
    return {sg, dr, r0, ra, tg};
}

const std::string kSino = Sinogram(4, 3);

// Every message the program can end with, one or more causes each.
const std::vector<FailCase> kMessageCases = {
    {"four arguments", kSino, {kSG, "1", "-1.5", "0"}, kUsage, false},
    {"six arguments", kSino, {kSG, "1", "-1.5", "0", kTG, "x"}, kUsage, false},
    {"no arguments", kSino, {}, kUsage, false},
    {"missing sinogram", kSino, Args("1", "-1.5", "0", kNoSG), kNotFound, false},
    {"empty input", "", Args("1", "-1.5", "0"), kBadSize, false},
    {"empty standard input", "", Args("1", "-1.5", "0", "-"), kBadSize, false},
    {"empty first line", "\n" + kSino, Args("1", "-1.5", "0"), kBadSize, false},
    {"numbers on two lines", WithHeader("4\n3\n", 4, 3), Args("1", "-1.5", "0"), kBadSize, false},
    {"one number only", "4\n", Args("1", "-1.5", "0"), kBadSize, false},
    {"decimal point in N", WithHeader("2.5 3\n", 2, 3), Args("1", "-0.5", "0"), kBadSize, false},
    {"text header", "N M\n", Args("1", "-1.5", "0"), kBadSize, false},
    {"N zero", WithHeader("0 3\n", 4, 3), Args("1", "-1.5", "0"), kBadSize, false},
    {"N negative", WithHeader("-4 3\n", 4, 3), Args("1", "-1.5", "0"), kBadSize, false},
    {"M zero", WithHeader("4 0\n", 4, 3), Args("1", "-1.5", "0"), kBadSize, false},
    {"M negative", WithHeader("4 -3\n", 4, 3), Args("1", "-1.5", "0"), kBadSize, false},
    {"N beyond int", WithHeader("4294967312 4\n", 4, 4), Args("1", "-1.5", "0"), kBadSize, false},
    {"M beyond int", WithHeader("2 99999999999\n", 2, 1), Args("1", "-0.5", "0"), kBadSize, false},
    {"dr zero", kSino, Args("0", "-1.5", "0"), kBadInterval, false},
    {"dr 5e-10", kSino, Args("5e-10", "-1.5", "0"), kBadInterval, false},
    {"dr -5e-10", kSino, Args("-5e-10", "-1.5", "0"), kBadInterval, false},
    {"dr just inside 1e-9", kSino, Args("9.999999999e-10", "-1.5", "0"), kBadInterval, false},
    {"dr not a number", kSino, Args("abc", "-1.5", "0"), kBadInterval, false},
    {"dr nan", kSino, Args("nan", "-1.5", "0"), kBadInterval, false},
    {"dr inf", kSino, Args("inf", "-1.5", "0"), kBadInterval, false},
    {"dr -inf", kSino, Args("-inf", "-1.5", "0"), kBadInterval, false},
    {"dr overflows", kSino, Args("1e999", "-1.5", "0"), kBadInterval, false},
    {"offset zero", kSino, Args("1", "0", "0"), kBadOffset, false},
    {"offset minus zero", kSino, Args("1", "-0", "0"), kBadOffset, false},
    {"offset positive", kSino, Args("1", "0.5", "0"), kBadOffset, false},
    {"offset at 1 - N", kSino, Args("1", "-3", "0"), kBadOffset, false},
    {"offset below 1 - N", kSino, Args("1", "-3.5", "0"), kBadOffset, false},
    {"offset not a number", kSino, Args("1", "abc", "0"), kBadOffset, false},
    {"offset nan", kSino, Args("1", "nan", "0"), kBadOffset, false},
    {"offset -nan", kSino, Args("1", "-nan", "0"), kBadOffset, false},
    {"offset -inf", kSino, Args("1", "-inf", "0"), kBadOffset, false},
    {"N 32768", "32768 1\n", Args("1", "-100", "0"), kTooLarge, false},
    // On standard input the claimed workspace is allocated before any row is
    // read (a short file gets one sized for the rows it holds: a read error).
    {"N 32767, M huge", "32767 2000000000\n", Args("1", "-100", "0", "-"), kNoMemory, false},
    {"no samples", "4 3\n", Args("1", "-1.5", "0"), kReadError, true},
    {"header without newline", "4 3", Args("1", "-1.5", "0"), kReadError, true},
    {"one sample short",
     testutil::SinogramBytes(4, 3, std::vector<double>(11, 1.0)), Args("1", "-1.5", "0"), kReadError, true},
    {"one byte short", kSino.substr(0, kSino.size() - 1), Args("1", "-1.5", "0"), kReadError, true},
    {"short standard input", kSino.substr(0, kSino.size() - 9), Args("1", "-1.5", "0", "-"), kReadError,
     true},
    {"angle inf", kSino, Args("1", "-1.5", "inf"), kBadAngle, true},
    {"angle -inf", kSino, Args("1", "-1.5", "-inf"), kBadAngle, true},
    {"angle nan", kSino, Args("1", "-1.5", "nan"), kBadAngle, true},
    {"angle times pi overflows", kSino, Args("1", "-1.5", "1e308"), kBadAngle, true},
};

// Causes that come together: the message shows which check runs first.
const std::vector<FailCase> kOrderCases = {
    {"argument count before the sinogram", kSino, {kNoSG, "0", "0", "nan"}, kUsage, false},
    {"missing sinogram before bad numbers", kSino, Args("0", "0", "nan", kNoSG, kNoDir), kNotFound, false},
    {"bad header before bad dr", "0 3\n", Args("0", "0", "0"), kBadSize, false},
    {"bad header before bad output", "4\n3\n", Args("1", "-1.5", "0", kSG, kNoDir), kBadSize, false},
    {"bad dr before bad offset", kSino, Args("0", "0", "0"), kBadInterval, false},
    {"bad offset before TIFF size", "32768 1\n", Args("1", "0", "0"), kBadOffset, false},
    {"TIFF size before allocation", "32768 2000000000\n", Args("1", "-100", "0"), kTooLarge, false},
    {"read error before bad angle", "4 3\n" + testutil::DoubleBytes({1, 2, 3}), Args("1", "-1.5", "inf"),
     kReadError, true},
    {"bad angle before bad output", kSino, Args("1", "-1.5", "nan", kSG, kNoDir), kBadAngle, true},
};

class Driver : public ::testing::TestWithParam<Build> {};

TEST_P(Driver, EachFailureEndsWithItsMessage)
{
    for (const FailCase& c : kMessageCases)
        ExpectFailure(GetParam(), c);
}

// The writer's own message carries the path it was given.
TEST_P(Driver, UnwritableOutputIsReported)
{
    const Build& build = GetParam();
    const std::string bands = build.bands ? kBandLine : "";
    {
        TempDir dir;
        const std::string sg = dir / "sg.bin";
        testutil::WriteFile(sg, kSino);
        const std::string tg = dir / "no/such/dir/out.tif";
        const Result r = RunProgram(build, {sg, "1", "-1.5", "0", tg});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, bands + tg + " : file not stored.\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"sg.bin"});
    }
    {
        TempDir dir;
        const std::string sg = dir / "sg.bin";
        testutil::WriteFile(sg, kSino);
        const Result r = RunProgram(build, {sg, "1", "-1.5", "0", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, bands + "/dev/full : file not stored.\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_P(Driver, ChecksRunInOrder)
{
    for (const FailCase& c : kOrderCases)
        ExpectFailure(GetParam(), c);
}

// A successful run: status 0, one value line on standard output equal to the
// TIFF's description, nothing on standard error but the band list.
TEST_P(Driver, SuccessPrintsOneValueLine)
{
    const Build& build = GetParam();
    TempDir dir;
    const int N = 8, M = 4;
    const std::string sg = dir / "sg.bin", tg = dir / "out.tif";
    testutil::WriteFile(sg, Sinogram(N, M));
    const Result r = RunProgram(build, {sg, "0.5", "-3.5", "10", tg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, build.bands ? kBandLine : "");
    ASSERT_TRUE(testutil::FileExists(tg));

    TiffImage image;
    std::string why;
    ASSERT_TRUE(ReadTiff(testutil::ReadFile(tg), &image, &why)) << why;
    EXPECT_EQ(image.width, static_cast<uint32_t>(N));
    EXPECT_EQ(image.height, static_cast<uint32_t>(N));
    ASSERT_TRUE(image.has_description);
    EXPECT_EQ(r.out, image.description + "\n");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    EXPECT_TRUE(std::regex_match(image.description, std::regex("-?[0-9]+\\.[0-9]{6}\t-?[0-9]+\\.[0-9]{6}")))
        << image.description;

    // The printed range is the range of the pixels (before the conversion to
    // float, rounded to six decimals).
    ASSERT_EQ(image.pixels.size(), static_cast<size_t>(N * N));
    const float lo = *std::min_element(image.pixels.begin(), image.pixels.end());
    const float hi = *std::max_element(image.pixels.begin(), image.pixels.end());
    EXPECT_EQ(image.smin, lo);
    EXPECT_EQ(image.smax, hi);
    double dmin = 0, dmax = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%lf\t%lf", &dmin, &dmax), 2);
    EXPECT_NEAR(dmin, lo, 1e-6 * std::max(1.0, std::fabs(dmin)));
    EXPECT_NEAR(dmax, hi, 1e-6 * std::max(1.0, std::fabs(dmax)));
    EXPECT_LT(dmin, dmax);
}

INSTANTIATE_TEST_SUITE_P(Builds, Driver, ::testing::Values(kFixed, kFull),
                         [](const ::testing::TestParamInfo<Build>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// Successful runs of the fixed build that must agree with a plain run.

struct Output {
    Result result;
    std::string tiff;  // the file written, or the TIFF part of standard output
};

// Runs the fixed build on the given sinogram bytes (as a file, or as standard
// input when SG starts with "-") and returns its output.
Output RunOn(const std::string& sinogram, std::vector<std::string> args)
{
    TempDir dir;
    const std::string sg = dir / "sg.bin", tg = dir / "out.tif";
    testutil::WriteFile(sg, sinogram);
    const bool from_stdin = args[0][0] == '-';
    if (args[0] == kSG)
        args[0] = sg;
    if (args[4] == kTG)
        args[4] = tg;
    Output o;
    o.result = RunProgram(kFixed, args, from_stdin ? sg : "/dev/null");
    o.tiff = testutil::ReadFile(tg);
    return o;
}

struct SameCase {
    const char* what;
    std::string sinogram;
    std::vector<std::string> args;
};

// Each case must give exactly the bytes of the plain run: same file, same
// value line, status 0, silent standard error.
void ExpectSameAsPlain(const std::vector<SameCase>& cases)
{
    const Output plain = RunOn(Sinogram(4, 3), Args("1", "-1.5", "0"));
    ASSERT_EQ(plain.result.status, 0) << plain.result.err;
    ASSERT_FALSE(plain.tiff.empty());
    for (const SameCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Output o = RunOn(c.sinogram, c.args);
        EXPECT_EQ(o.result.status, 0);
        EXPECT_EQ(o.result.err, "");
        EXPECT_EQ(o.result.out, plain.result.out);
        EXPECT_TRUE(o.tiff == plain.tiff);
    }
}

// "4 3", filler and a newline: a header line of the given length in bytes.
std::string LongHeader(size_t bytes) { return "4 3" + std::string(bytes - 4, 'x') + "\n"; }

TEST(DriverInput, HeaderFormsAndTrailingBytes)
{
    const std::string samples = testutil::DoubleBytes(Samples(4, 3));
    ExpectSameAsPlain({
        {"text after the numbers", "4 3 projections of 4 bins\n" + samples, Args("1", "-1.5", "0")},
        {"carriage return and newline", "4 3\r\n" + samples, Args("1", "-1.5", "0")},
        {"leading and inner white space", "  4 \t 3\n" + samples, Args("1", "-1.5", "0")},
        {"explicit signs", "+4 +3\n" + samples, Args("1", "-1.5", "0")},
        {"over-long header line", "4 3" + std::string(3000, ' ') + "\n" + samples, Args("1", "-1.5", "0")},
        {"header line of 2047 bytes", LongHeader(2047) + samples, Args("1", "-1.5", "0")},
        {"header line of 2048 bytes", LongHeader(2048) + samples, Args("1", "-1.5", "0")},
        {"header line of 2049 bytes", LongHeader(2049) + samples, Args("1", "-1.5", "0")},
        {"bytes after the samples", Sinogram(4, 3) + "trailing bytes" + std::string(100, '\0'),
         Args("1", "-1.5", "0")},
    });
}

TEST(DriverInput, AnyLeadingHyphenReadsStandardInput)
{
    ExpectSameAsPlain({
        {"hyphen", Sinogram(4, 3), Args("1", "-1.5", "0", "-")},
        {"hyphen and text", Sinogram(4, 3), Args("1", "-1.5", "0", "-anything")},
        {"double hyphen", Sinogram(4, 3), Args("1", "-1.5", "0", "--")},
        {"hyphen and a missing path", Sinogram(4, 3), Args("1", "-1.5", "0", "-/no/such/file")},
    });
}

TEST(DriverArgs, NumbersConvertLikeAtof)
{
    ExpectSameAsPlain({
        {"angle not a number", Sinogram(4, 3), Args("1", "-1.5", "abc")},
        {"angle empty", Sinogram(4, 3), Args("1", "-1.5", "")},
        {"angle with trailing text", Sinogram(4, 3), Args("1", "-1.5", "0deg")},
        {"angle minus zero", Sinogram(4, 3), Args("1", "-1.5", "-0")},
        {"interval with trailing text", Sinogram(4, 3), Args("1mm", "-1.5", "0")},
        {"interval with leading space", Sinogram(4, 3), Args(" 1", "-1.5", "0")},
        {"offset with trailing text", Sinogram(4, 3), Args("1", "-1.5bins", "0")},
        {"offset as exponent", Sinogram(4, 3), Args("1", "-15e-1", "0")},
    });
}

// Accepted or rejected with the detector-interval message, nothing else.
TEST(DriverArgs, DetectorIntervalBounds)
{
    struct Case {
        const char* dr;
        bool accepted;
    };
    const Case cases[] = {
        {"1e-9", true},   {"-1e-9", true}, {"-0.5", true},  {"1e300", true},
        {"5e-10", false}, {"0", false},    {"-0", false},   {"-9.99e-10", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dr);
        const Output o = RunOn(Sinogram(4, 3), Args(c.dr, "-1.5", "0"));
        EXPECT_EQ(o.result.status, c.accepted ? 0 : 1);
        EXPECT_EQ(o.result.err, c.accepted ? "" : kBadInterval);
        EXPECT_EQ(o.tiff.empty(), !c.accepted);
    }
}

TEST(DriverArgs, DetectorOffsetBounds)
{
    struct Case {
        int N;
        const char* offset;
        bool accepted;
    };
    const Case cases[] = {
        {256, "-127.5", true}, {256, "-0.5", true},   {256, "-254.999", true}, {256, "-1e-300", true},
        {256, "0", false},     {256, "-255", false},  {256, "-300", false},    {256, "1", false},
        {1, "-0.5", false},    {1, "-1e-300", false}, {1, "0", false},         {1, "-1", false},
        {1, "0.5", false},     {2, "-0.5", true},     {2, "-1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.N) + " bins, offset " + c.offset);
        const Output o = RunOn(testutil::SinogramBytes(c.N, 1, std::vector<double>(c.N, 0.0)),
                               Args("1", c.offset, "0"));
        EXPECT_EQ(o.result.status, c.accepted ? 0 : 1);
        EXPECT_EQ(o.result.err, c.accepted ? "" : kBadOffset);
        if (c.accepted)
            EXPECT_EQ(o.result.out, "0.000000\t0.000000\n");  // a zero sinogram gives a zero image
        else
            EXPECT_EQ(o.result.out, "");
        EXPECT_EQ(o.tiff.empty(), !c.accepted);
    }
}

// ---------------------------------------------------------------------------
// Output and the numbers handed to the reconstruction.

// "-" as output: the TIFF on standard output, then the value line.
TEST(DriverOutput, StandardOutputCarriesTiffThenValueLine)
{
    const Output file = RunOn(Sinogram(8, 5), Args("1", "-3.5", "0"));
    ASSERT_EQ(file.result.status, 0);
    const Output piped = RunOn(Sinogram(8, 5), Args("1", "-3.5", "0", kSG, "-"));
    EXPECT_EQ(piped.result.status, 0);
    EXPECT_EQ(piped.result.err, "");
    EXPECT_TRUE(piped.tiff.empty());  // no file named after the output

    const std::string& out = piped.result.out;
    ASSERT_GE(out.size(), 8u);
    const size_t length = TiffLength(out);
    ASSERT_LE(length, out.size());
    const std::string tiff = out.substr(0, length), line = out.substr(length);
    EXPECT_TRUE(tiff == file.tiff);
    EXPECT_EQ(line, file.result.out);

    TiffImage image;
    std::string why;
    ASSERT_TRUE(ReadTiff(tiff, &image, &why)) << why;
    EXPECT_EQ(line, image.description + "\n");
}

// A file whose name merely begins with a hyphen is a file, not standard output.
TEST(DriverOutput, HyphenPrefixedOutputIsAFile)
{
    TempDir dir;
    const std::string sg = dir / "sg.bin";
    testutil::WriteFile(sg, Sinogram(4, 3));
    const std::string command = "cd " + Quote(dir.path()) + " && " + Quote(PRJSLICE_FIXED_BIN) + " " +
                                Quote(sg) + " 1 -1.5 0 -out.tif";
    const Result r = testutil::Run(command);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    TiffImage image;
    std::string why;
    ASSERT_TRUE(ReadTiff(testutil::ReadFile(dir / "-out.tif"), &image, &why)) << why;
    EXPECT_EQ(r.out, image.description + "\n");
}

std::vector<float> Pixels(const Output& o)
{
    TiffImage image;
    std::string why;
    EXPECT_TRUE(ReadTiff(o.tiff, &image, &why)) << why;
    return image.pixels;
}

float MaxAbs(const std::vector<float>& v)
{
    float m = 0;
    for (float x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

// The image values are in units of the samples divided by the interval.
TEST(DriverGeometry, ImageScalesWithInverseInterval)
{
    const std::vector<float> one = Pixels(RunOn(Sinogram(8, 4), Args("1", "-3.5", "0")));
    const std::vector<float> two = Pixels(RunOn(Sinogram(8, 4), Args("2", "-3.5", "0")));
    ASSERT_EQ(one.size(), 64u);
    ASSERT_EQ(two.size(), 64u);
    ASSERT_GT(MaxAbs(one), 0.0f);
    const float tol = 1e-6f * MaxAbs(one);
    for (size_t i = 0; i < one.size(); ++i)
        EXPECT_NEAR(two[i], one[i] / 2, tol) << "pixel " << i;
}

// The start angle is read in degrees: the projection at theta + 180 degrees is
// the one at theta mirrored about the axis, so a sinogram started at 0 and the
// same sinogram with every row reversed, started at 180, give one image. With
// the angle taken as radians they would not agree.
TEST(DriverGeometry, StartAngleIsInDegrees)
{
    const int N = 8, M = 5;
    std::vector<double> s = Samples(N, M), mirrored;
    for (int m = 0; m < M; ++m)
        for (int k = N - 1; k >= 0; --k)
            mirrored.push_back(s[static_cast<size_t>(m * N + k)]);
    const std::vector<float> a = Pixels(RunOn(testutil::SinogramBytes(N, M, s), Args("1", "-3.5", "0")));
    const std::vector<float> b =
        Pixels(RunOn(testutil::SinogramBytes(N, M, mirrored), Args("1", "-3.5", "180")));
    const std::vector<float> c =
        Pixels(RunOn(testutil::SinogramBytes(N, M, mirrored), Args("1", "-3.5", "0")));
    ASSERT_EQ(a.size(), static_cast<size_t>(N * N));
    ASSERT_EQ(b.size(), a.size());
    ASSERT_EQ(c.size(), a.size());
    const float tol = 1e-5f * MaxAbs(a);
    size_t differ = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(b[i], a[i], tol) << "pixel " << i;
        differ += std::fabs(c[i] - a[i]) > 100 * tol;
    }
    EXPECT_GT(differ, 0u) << "the mirrored sinogram must matter at 0 degrees";
}

}  // namespace
