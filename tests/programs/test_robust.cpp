// The programs on bad input and in failing surroundings: every workspace
// allocation failing in turn, outputs that refuse writes (a full device, a
// closed pipe, a directory, a path that cannot be created), sinograms on
// pipes that end early or stall, absurd header sizes, non-finite samples and
// extreme geometry. Each run must end with its message and exit status, leave
// no output file unless it succeeded, and never crash; a successful run gives
// the same bytes every time and in every output form.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cbp.h"
#include "testutil.h"
#include "tiff_read.h"

namespace {

using testutil::ReadFile;
using testutil::Result;
using testutil::Quote;
using testutil::Samples;
using testutil::Sinogram;
using testutil::TempDir;
using testutil::WriteFile;

const char kNoMemory[] = "memory allocation error.\n";
const char kReadError[] = "sinogram read error\n";
const char kBadSize[] = "bad sinogram size.\n";
const char kTooLarge[] = "image too large for TIFF.\n";
const char kBandLine[] = "0.000000\t0.500000\n";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct Build {
    const char* name;
    const char* path;
    bool bands;  // the full build echoes its pass bands once the workspace is allocated
};

const Build kFixed = {"fixed", PRJSLICE_FIXED_BIN, false};
const Build kFull = {"full", PRJSLICE_BIN, true};

std::string Command(const std::string& program, const std::vector<std::string>& args)
{
    std::string command = "env -u BPF_RANGE " + Quote(program);
    for (const std::string& a : args)
        command += " " + Quote(a);
    return command;
}

std::vector<std::string> Entries(const std::string& dir)
{
    const Result r = testutil::Run("ls -A " + Quote(dir));
    std::vector<std::string> names;
    size_t at = 0;
    while (at < r.out.size()) {
        const size_t end = r.out.find('\n', at);
        names.push_back(r.out.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

// ---------------------------------------------------------------------------
// Allocation failure at each workspace block.

// The byte counts the engine asks for, in its order: the sinogram rows and
// block, the twiddles, transform buffer and spectrum (2b complex values each),
// the filtered rows and block (Kmax rows of N + 1), the two disc tables, the
// image rows and block.
std::vector<std::string> WorkspaceBytes(int N, int M)
{
    const size_t n = N, m = M, b = HalfLengthCBP(N), k = RowsCBP(N, M);
    const size_t sizes[] = {m * 8, n * m * 8, 2 * b * 16, 2 * b * 16, 2 * b * 16, k * 8,
                            k * (n + 1) * 8, n * 4, n * 4, n * 8, n * n * 8};
    std::vector<std::string> lines;
    for (size_t s : sizes)
        lines.push_back(std::to_string(s));
    return lines;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

TEST(FaultInjection, EachWorkspaceAllocationFailsCleanly)
{
    const int N = 40, M = 7;
    const std::vector<std::string> expected = WorkspaceBytes(N, M);
    ASSERT_EQ(expected.size(), 11u);
    for (const Build& build : {Build{"fixed", PRJSLICE_FAILALLOC_BIN, false},
                               Build{"full", PRJSLICE_FAILALLOC_FULL_BIN, true}}) {
        TempDir dir;
        const std::string sg = dir / "sg.bin", tg = dir / "out.tif", log = dir / "alloc.log";
        WriteFile(sg, Sinogram(N, M));
        const auto run = [&](int k) {
            std::remove(log.c_str());
            return testutil::Run("PRJSLICE_ALLOC_LOG=" + Quote(log) + " " +
                                 Command(build.path, {std::to_string(k), sg, "1", "-19.5", "0", tg}));
        };
        // No failure: eleven allocations, of the sizes and in the order above.
        Result r = run(0);
        ASSERT_EQ(r.status, 0) << build.name << ": " << r.err;
        EXPECT_EQ(Lines(ReadFile(log)), expected) << build.name;
        const std::string good = ReadFile(tg);
        ASSERT_FALSE(good.empty());
        std::remove(tg.c_str());

        for (int k = 1; k <= 11; ++k) {
            SCOPED_TRACE(std::string(build.name) + " build, allocation " + std::to_string(k));
            r = run(k);
            EXPECT_EQ(r.status, 1);
            // The bands are echoed only once the whole workspace exists.
            EXPECT_EQ(r.err, kNoMemory);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"alloc.log", "sg.bin"}));
            // Nothing is asked for after the failure.
            EXPECT_EQ(Lines(ReadFile(log)), std::vector<std::string>(expected.begin(), expected.begin() + k));
        }
        r = run(12);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, build.bands ? kBandLine : "");
        EXPECT_TRUE(ReadFile(tg) == good);
    }
}

// ---------------------------------------------------------------------------
// Outputs that refuse the TIFF or the value line.

struct OutputCase {
    const char* what;
    std::string target;    // TG
    std::string redirect;  // shell redirection of standard output, or ""
    std::string message;   // standard error after the band list
};

TEST(Output, RefusedWritesEndTheRunAndLeaveNoFile)
{
    TempDir dir;
    const std::string sg = dir / "sg.bin";
    WriteFile(sg, Sinogram(16, 5));
    ASSERT_EQ(mkdir((dir / "adir").c_str(), 0755), 0);
    const std::string file = dir / "out.tif";
    std::vector<OutputCase> cases = {
        {"a full device", "/dev/full", "", "/dev/full : file not stored.\n"},
        {"a directory", dir / "adir", "", dir / "adir" + " : file not stored.\n"},
        {"a path no one can create", "/proc/prjslice-robust.tif", "",
         "/proc/prjslice-robust.tif : file not stored.\n"},
        {"standard output on a full device", "-", ">/dev/full", "- : file not stored.\n"},
        // The TIFF is stored, then the value line is refused: the run fails
        // and the file goes.
        {"value line on a full device", file, ">/dev/full", "- : file not stored.\n"},
        {"value line on a closed standard output", file, ">&-", "- : file not stored.\n"},
    };
    // Permission is not a barrier for root, which the /proc case covers.
    if (geteuid() != 0) {
        ASSERT_EQ(mkdir((dir / "locked").c_str(), 0555), 0);
        cases.push_back({"a directory without write permission", dir / "locked/out.tif", "",
                         dir / "locked/out.tif" + " : file not stored.\n"});
    }
    for (const Build& build : {kFixed, kFull}) {
        for (const OutputCase& c : cases) {
            SCOPED_TRACE(std::string(build.name) + " build: " + c.what);
            const std::vector<std::string> before = Entries(dir.path());
            const Result r =
                testutil::Run(Command(build.path, {sg, "1", "-7.5", "0", c.target}) + " " + c.redirect);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, (build.bands ? kBandLine : "") + c.message);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(Entries(dir.path()), before);
        }
    }
    struct stat st;
    ASSERT_EQ(stat((dir / "adir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// Runs program with standard output on a pipe whose reader takes `take`
// bytes (none: the reader is gone before the run starts) and then closes
// it, standard error captured and SIGPIPE at its default, as a shell leaves it.
Result RunIntoClosedPipe(const std::vector<std::string>& argv, size_t take, const std::string& err_path)
{
    Result r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    if (take == 0)
        close(fds[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        if (take != 0)
            close(fds[0]);
        std::signal(SIGPIPE, SIG_DFL);
        dup2(fds[1], 1);
        close(fds[1]);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        close(err);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        unsetenv("BPF_RANGE");
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (take != 0) {
        std::vector<char> buffer(take);
        size_t got = 0;
        while (got < take) {
            const ssize_t n = read(fds[0], buffer.data() + got, take - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        close(fds[0]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    r.err = testutil::DropSanitizerNotices(ReadFile(err_path));
    return r;
}

TEST(Output, ClosedPipeIsAWriteErrorNotASignal)
{
    TempDir dir;
    const std::string small = dir / "small.sg", large = dir / "large.sg", tg = dir / "out.tif";
    WriteFile(small, Sinogram(16, 5));
    WriteFile(large, Sinogram(256, 3));  // a TIFF of 256 KiB: more than a pipe holds
    const struct {
        const char* what;
        std::string sinogram, offset, target;
        size_t take;
    } cases[] = {
        {"TIFF to a pipe without reader", small, "-7.5", "-", 0},
        {"TIFF to a reader that leaves early", large, "-127.5", "-", 1000},
        {"value line to a pipe without reader", small, "-7.5", tg, 0},
    };
    for (const Build& build : {kFixed, kFull}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(build.name) + " build: " + c.what);
            const Result r = RunIntoClosedPipe({build.path, c.sinogram, "1", c.offset, "0", c.target}, c.take,
                                               dir / "err");
            EXPECT_EQ(r.status, 1) << "(a negative status is the signal that ended the run)";
            EXPECT_EQ(r.err, std::string(build.bands ? kBandLine : "") + "- : file not stored.\n");
            EXPECT_FALSE(testutil::FileExists(tg));
        }
    }
}

// ---------------------------------------------------------------------------
// Sinograms on pipes, and headers that claim absurd sizes.

TEST(Input, PipesThatEndEarlyOrStall)
{
    const int N = 8, M = 5;
    TempDir dir;
    const std::string samples = testutil::DoubleBytes(Samples(N, M));
    WriteFile(dir / "sg.bin", Sinogram(N, M));
    WriteFile(dir / "head", samples.substr(0, 100));
    WriteFile(dir / "tail", samples.substr(100));
    const Result plain = testutil::Run(Command(PRJSLICE_FIXED_BIN, {dir / "sg.bin", "1", "-3.5", "0", dir / "plain.tif"}));
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::string plainTiff = ReadFile(dir / "plain.tif");

    const std::string head = "cat " + Quote(dir / "head"), tail = "cat " + Quote(dir / "tail");
    const struct {
        const char* what;
        std::string feed;  // shell commands writing the sinogram
        bool complete;
    } cases[] = {
        {"stalls inside the header", "printf '8 '; sleep 0.2; printf '5\\n'; " + head + "; " + tail, true},
        {"stalls between rows", "printf '8 5\\n'; " + head + "; sleep 0.3; " + tail, true},
        {"ends inside a row", "printf '8 5\\n'; " + head, false},
        {"stalls, then ends inside a row", "printf '8 5\\n'; sleep 0.2; " + head + "; sleep 0.3", false},
        {"ends after the header", "printf '8 5\\n'", false},
        {"ends inside the header", "printf '8'", false},
    };
    for (const Build& build : {kFixed, kFull}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(build.name) + " build: " + c.what);
            std::remove((dir / "out.tif").c_str());
            const Result r = testutil::Run("( " + c.feed + " ) | " +
                                           Command(build.path, {"-", "1", "-3.5", "0", dir / "out.tif"}));
            const std::string bands = build.bands ? kBandLine : "";
            if (c.complete) {
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(r.err, bands);
                EXPECT_EQ(r.out, plain.out);
                EXPECT_TRUE(ReadFile(dir / "out.tif") == plainTiff);
            } else {
                const bool header = std::string(c.what) == "ends inside the header";
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, header ? std::string(kBadSize) : bands + kReadError);
                EXPECT_EQ(r.out, "");
                EXPECT_FALSE(testutil::FileExists(dir / "out.tif"));
            }
        }
    }
}

// Claimed sizes far beyond the data. A regular file that is shorter than its
// header claims gets a workspace for the rows it holds, so it fails with a
// read error without claiming the memory; standard input cannot be measured,
// and its claim is allocated first. Those runs are made with a 4 GiB limit
// on the address space (in the sanitizer build, whose shadow memory needs far
// more, its own 4 GiB cap on each allocation stands in for it), where a
// claim beyond the limit must end as an allocation failure.
TEST(Input, AbsurdHeaderSizes)
{
    const std::string limit = kSanitized ? "" : "ulimit -v 4194304; ";
    const std::string four = testutil::DoubleBytes(std::vector<double>(4, 1.0));
    const struct {
        const char* what;
        std::string bytes;
        const char* offset;
        bool stdin_;
        std::string message;
        bool engine;  // fails after the workspace exists (the full build echoes its bands)
    } cases[] = {
        {"both near INT_MAX", "2147483647 2147483647\n", "-100", false, kTooLarge, false},
        {"both near INT_MAX, standard input", "2147483647 2147483647\n", "-100", true, kTooLarge, false},
        {"image bytes overflow 32 bits", "46341 46341\n", "-100", false, kTooLarge, false},
        {"N beyond int", "2147483648 1\n", "-100", false, kBadSize, false},
        {"M far beyond int", "4 99999999999999999999\n", "-1.5", false, kBadSize, false},
        {"N INT_MIN", "-2147483648 1\n", "-100", false, kBadSize, false},
        // 2 x 600000000 rows: the claimed workspace is about 34 GB, of which
        // 24 GB would be touched before the first row is read.
        {"small N, huge M, short file", "2 600000000\n", "-0.5", false, kReadError, true},
        {"small N, M INT_MAX, short file", "2 2147483647\n", "-0.5", false, kReadError, true},
        {"N 4000, M INT_MAX, short file", "4000 2147483647\n", "-100", false, kReadError, true},
        {"one row held of many", "4 1000000000\n" + four, "-1.5", false, kReadError, true},
        {"small N, huge M, standard input", "2 600000000\n", "-0.5", true, kNoMemory, false},
        {"N 4000, M INT_MAX, standard input", "4000 2147483647\n", "-100", true, kNoMemory, false},
        {"header without newline before the samples", "4 3" + testutil::DoubleBytes(Samples(4, 3)), "-1.5",
         false, kReadError, true},
    };
    for (const Build& build : {kFixed, kFull}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(build.name) + " build: " + c.what);
            TempDir dir;
            WriteFile(dir / "sg.bin", c.bytes);
            const std::string sg = c.stdin_ ? "-" : dir / "sg.bin";
            const Result r = testutil::Run((c.stdin_ ? limit : "") +
                                               Command(build.path, {sg, "1", c.offset, "0", dir / "out.tif"}),
                                           dir / "sg.bin");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, (build.bands && c.engine ? kBandLine : "") + c.message);
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(testutil::FileExists(dir / "out.tif"));
        }
    }
}

// ---------------------------------------------------------------------------
// Non-finite and extreme samples, extreme geometry.

struct Image {
    Result result;
    TiffImage tiff;
};

// Runs program with its leading arguments (a path choice, or none), the
// sinogram, dr, r0/dr, ra and an output file.
Image Reconstruct(const std::string& program, std::vector<std::string> lead, const std::string& sinogram,
                  const std::vector<std::string>& numbers)
{
    TempDir dir;
    WriteFile(dir / "sg.bin", sinogram);
    std::vector<std::string> all = lead;
    all.push_back(dir / "sg.bin");
    all.insert(all.end(), numbers.begin(), numbers.end());
    all.push_back(dir / "out.tif");
    Image image;
    image.result = testutil::Run(Command(program, all));
    std::string why;
    if (image.result.status == 0) {
        EXPECT_TRUE(ReadTiff(ReadFile(dir / "out.tif"), &image.tiff, &why)) << why;
    } else {
        EXPECT_FALSE(testutil::FileExists(dir / "out.tif"));
    }
    return image;
}

// Squared distance of pixel (i, j) from the image centre, against the disc.
enum class Place { inside, outside, edge };
Place Where(int N, double r0dr, int i, int j)
{
    const double c = (N - 1) * 0.5, radius = c - std::fabs(r0dr + c);
    const double d2 = (j - c) * (j - c) + (c - i) * (c - i);
    if (d2 < radius * radius - 1e-6)
        return Place::inside;
    if (d2 > radius * radius + 1e-6)
        return Place::outside;
    return Place::edge;
}

TEST(Samples, NonFiniteSamplesGiveANaNImageNotACrash)
{
    const double nan = std::nan(""), inf = HUGE_VAL;
    const struct {
        const char* what;
        double value;  // replaces the samples selected by every
        int every;     // 1: all samples; n: one in n
        bool nanDisc;  // every pixel inside the disc is NaN
    } cases[] = {
        {"all NaN", nan, 1, true},     {"one NaN", nan, 1000, true}, {"all +inf", inf, 1, true},
        {"one -inf", -inf, 1000, true}, {"overflowing 1e308", 1e308, 1, false},
        {"subnormal", 4.9e-324, 1, false},
    };
    for (const int N : {8, 16, 33}) {  // the scalar path, and the vector paths of this CPU
        const int M = 6;
        const double r0dr = -(N - 1) * 0.5;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", N = " + std::to_string(N));
            std::vector<double> s = Samples(N, M);
            for (size_t k = 0; k < s.size(); k += c.every)
                s[k] = c.value;
            const Image image = Reconstruct(PRJSLICE_FIXED_BIN, {}, testutil::SinogramBytes(N, M, s),
                                            {"1", std::to_string(r0dr), "0"});
            ASSERT_EQ(image.result.status, 0) << image.result.err;
            EXPECT_EQ(image.result.err, "");
            ASSERT_EQ(image.tiff.pixels.size(), static_cast<size_t>(N * N));
            EXPECT_EQ(image.result.out, image.tiff.description + "\n");
            // Outside the disc nothing is reconstructed, whatever the samples.
            float lo = INFINITY, hi = -INFINITY;
            for (int i = 0; i < N; ++i)
                for (int j = 0; j < N; ++j) {
                    const float v = image.tiff.pixels[static_cast<size_t>(i * N + j)];
                    const Place p = Where(N, r0dr, i, j);
                    if (p == Place::outside) {
                        EXPECT_EQ(v, 0.0f) << i << " " << j;
                    }
                    if (p == Place::inside && c.nanDisc) {
                        EXPECT_TRUE(std::isnan(v)) << i << " " << j;
                    }
                    if (!std::isnan(v)) {
                        lo = std::min(lo, v);
                        hi = std::max(hi, v);
                    }
                }
            // NaN pixels leave the value range to the others (pixel (0, 0),
            // outside the disc, is never NaN).
            EXPECT_EQ(image.tiff.smin, lo);
            EXPECT_EQ(image.tiff.smax, hi);
            if (c.nanDisc) {
                EXPECT_EQ(image.result.out, "0.000000\t0.000000\n");
            }
        }
    }
}

// Offsets at the ends of their range put the disc's edge on the first or last
// detector bin; every path must stay on the detector there (a bin index off
// the row would read a neighbouring row or beyond the workspace) and give a
// finite image, zero outside the disc.
TEST(Geometry, ExtremeOffsetsStayOnTheDetector)
{
    for (const int N : {2, 3, 5, 16, 17, 40}) {
        std::vector<std::string> offsets = {"-1e-300", "-1e-9", "-0.5", "-0.999999999"};
        for (const char* above : {"1e-9", "1e-12", "0.5"}) {
            char text[64];
            std::snprintf(text, sizeof text, "%.17g", (1.0 - N) + std::atof(above));
            offsets.push_back(text);
        }
        offsets.push_back(std::to_string(-(N - 1) * 0.5));
        for (const int M : {1, 7}) {
            const std::vector<double> s = Samples(N, M);
            for (const std::string& offset : offsets) {
                const double r0dr = std::atof(offset.c_str());
                if (!(r0dr < 0 && r0dr > 1 - N))
                    continue;
                for (const char* path : {"0", "1", "2"}) {
                    if (N < 16 && *path != '0')
                        continue;  // the vector paths need 16 bins; below, all run the scalar loop
                    SCOPED_TRACE("N " + std::to_string(N) + ", M " + std::to_string(M) + ", offset " + offset +
                                 ", path " + path);
                    const Image image = Reconstruct(PRJSLICE_PATH_BIN, {path}, testutil::SinogramBytes(N, M, s),
                                                    {"1", offset, "33"});
                    if (image.result.status == 77)
                        continue;  // this CPU cannot run the path
                    ASSERT_EQ(image.result.status, 0) << image.result.err;
                    ASSERT_EQ(image.tiff.pixels.size(), static_cast<size_t>(N * N));
                    for (int i = 0; i < N; ++i)
                        for (int j = 0; j < N; ++j) {
                            const float v = image.tiff.pixels[static_cast<size_t>(i * N + j)];
                            EXPECT_TRUE(std::isfinite(v)) << i << " " << j;
                            if (Where(N, r0dr, i, j) == Place::outside) {
                                EXPECT_EQ(v, 0.0f) << i << " " << j;
                            }
                        }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Determinism.

TEST(Determinism, SameBytesEveryRunAndEveryForm)
{
    TempDir dir;
    const int N = 40, M = 9;
    const std::string sg = dir / "sg.bin";
    WriteFile(sg, Sinogram(N, M));
    for (const Build& build : {kFixed, kFull}) {
        for (const char* bands : {"", "BPF_RANGE=0.05:0.3 "}) {
            if (!build.bands && *bands)
                continue;
            SCOPED_TRACE(std::string(build.name) + " build " + bands);
            const std::string prefix = *bands ? bands : "env -u BPF_RANGE ";
            const auto command = [&](const std::string& in, const std::string& out) {
                return prefix + Quote(build.path) + " " + Quote(in) + " 0.7 -17.25 12 " + Quote(out);
            };
            const Result first = testutil::Run(command(sg, dir / "a.tif"));
            const Result second = testutil::Run(command(sg, dir / "b.tif"));
            const Result piped = testutil::Run(command("-", "-"), sg);
            ASSERT_EQ(first.status, 0) << first.err;
            const std::string a = ReadFile(dir / "a.tif");
            EXPECT_EQ(second.status, 0);
            EXPECT_EQ(second.out, first.out);
            EXPECT_EQ(second.err, first.err);
            EXPECT_TRUE(ReadFile(dir / "b.tif") == a);
            // Standard output: the same TIFF bytes, then the same value line.
            EXPECT_EQ(piped.status, 0);
            EXPECT_EQ(piped.err, first.err);
            ASSERT_GT(piped.out.size(), a.size());
            EXPECT_TRUE(piped.out.compare(0, a.size(), a) == 0);
            EXPECT_EQ(piped.out.substr(a.size()), first.out);
        }
    }
}

}  // namespace
