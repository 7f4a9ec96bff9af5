// prjrings: removes stripes (the causes of rings and arcs) from a sinogram.
//
//   prjrings [options] SG OUT
//
// SG and OUT are sinograms in the reconstructor's format: the text line
// "N M" (possibly followed on the same line by fields such as the importer's
// "ra=... row=..."), then M rows of N IEEE 754 binary64 samples, little-
// endian, row 0 first. "-" reads standard input or writes standard output, so
// that the program sits in a pipe between the importer and the reconstructor.
// The header line goes to OUT byte for byte as it came (N and M are read from
// its first 2047 bytes, as the reconstructor reads them); bytes after the
// last row are not read. The columns found striped are corrected and every
// other sample is written bit for bit as read (method in rings.cpp).
//
// OUT is written under a temporary name beside it and renamed when complete,
// so that a failed run leaves OUT as it was (and OUT may be SG itself); an
// OUT that exists and is not a regular file (a device, a pipe) is written in
// place. --report writes on standard error what was corrected: a summary line,
// then one line per column.
//
// Exit status: 0 done; 1 with one message on standard error when SG cannot be
// read or holds a sample that is not a finite number, or OUT cannot be
// written; 2 for a usage error.

#include "parse.h"
#include "prjslice.h"
#include "rings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "samples are IEEE 754 binary64");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "samples are read and written from memory as little-endian binary64");

// The largest sinogram: the samples and the residual and smooth of the same
// size must fit the address space with room to spare.
static const size_t kMaxSamples = std::numeric_limits<size_t>::max() / (4 * sizeof(double));

// The longest header line passed through: a line is text, and input without
// a newline in its first megabyte is no sinogram (it would be held whole).
static const size_t kMaxHeaderBytes = 1 << 20;

static const char kUsage[] =
    "usage : prjrings [options] SG OUT\n"
    "  SG   sinogram (\"N M\" line, then M rows of N little-endian doubles);\n"
    "       \"-\" reads standard input\n"
    "  OUT  the corrected sinogram, same header line; \"-\" writes standard output\n"
    "options:\n"
    "  --fdr Q       false discovery rate of the full-stripe test, 0 < Q < 1\n"
    "                (default 0.1; smaller flags fewer columns)\n"
    "  --width T     structure across the detector with a period of T columns\n"
    "                is halved by the smoothing; narrower is tested for\n"
    "                stripes (T > 2, default 11)\n"
    "  --blocks B    blocks of consecutive projections for the robust\n"
    "                statistics (B >= 3, default 16)\n"
    "  --window W    blocks in a window of the partial-stripe test (W >= 2,\n"
    "                default 4; W >= B turns the test off)\n"
    "  --partial T   threshold of the partial-stripe test, in typical\n"
    "                departures (T > 0, default 18)\n"
    "  --dead T      threshold of the dead-column test, in typical spreads\n"
    "                (T > 0, default 20)\n"
    "  --report      write what was corrected on standard error\n"
    "  -h, --help    this text\n"
    "Options take their value as --name v or --name=v; -- ends them.\n"
    "Exit status: 0 done, 1 the sinogram cannot be read or OUT written, 2 usage error.\n";

struct Options {
    std::string sg, out;
    RingOptions rings;
    bool report = false;
};

[[noreturn]] static void UsageError(const std::string& what)
{
    std::fprintf(stderr, "prjrings: %s\n%s", what.c_str(), kUsage);
    std::exit(2);
}

// The output's temporary name while it is written, removed on failure.
static std::string temporary;

[[noreturn]] static void Fail(const std::string& message)
{
    if (!temporary.empty())
        std::remove(temporary.c_str());
    std::fprintf(stderr, "prjrings: %s\n", message.c_str());
    std::exit(1);
}

static Options ParseArguments(int argc, char** argv)
{
    Options o;
    std::vector<std::string> operands;
    for (int n = 1; n < argc; ++n) {
        if (TakeOperand(n, argc, argv, operands))
            continue;
        std::string word = argv[n];
        if (word == "-h" || word == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (word == "--report") {
            o.report = true;
            continue;
        }
        std::string value;
        const size_t equals = word.find('=');
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
            word.resize(equals);
        } else if (n + 1 < argc) {
            value = argv[++n];
        } else {
            UsageError("option " + word + " needs a value");
        }
        RingOptions& r = o.rings;
        const char* v = value.c_str();
        if (word == "--fdr") {
            if (!ParseDouble(v, &r.fdr) || !(r.fdr > 0 && r.fdr < 1))
                UsageError("--fdr takes a rate between 0 and 1: " + value);
        } else if (word == "--width") {
            if (!ParseDouble(v, &r.width) || !(r.width > 2))
                UsageError("--width takes a period of more than 2 columns: " + value);
        } else if (word == "--blocks") {
            if (!ParseInt(v, &r.blocks) || r.blocks < 3)
                UsageError("--blocks takes an integer of at least 3: " + value);
        } else if (word == "--window") {
            if (!ParseInt(v, &r.window) || r.window < 2)
                UsageError("--window takes an integer of at least 2: " + value);
        } else if (word == "--partial" || word == "--dead") {
            double& t = word == "--partial" ? r.partial : r.dead;
            if (!ParseDouble(v, &t) || !(t > 0))
                UsageError(word + " takes a positive threshold: " + value);
        } else {
            UsageError("unknown option " + word);
        }
    }
    if (operands.size() != 2)
        UsageError("expected SG and OUT, got " + std::to_string(operands.size()) + " operands");
    o.sg = operands[0];
    o.out = operands[1];
    return o;
}

// Reads the header line as it stands (to its newline, any length; without a
// newline, to the end of the input) into header and the samples into P.
static void ReadSinogram(const std::string& path, std::string& header, int& N, int& M,
                         std::unique_ptr<double[]>& P)
{
    FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!in)
        Fail(path + ": " + std::strerror(errno));
    for (int c; (c = std::getc(in)) != EOF;) {
        header.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
        if (header.size() == kMaxHeaderBytes)
            Fail("sinogram header line longer than " + std::to_string(kMaxHeaderBytes) + " bytes.");
    }
    if (std::ferror(in))
        Fail(path + ": " + std::strerror(errno));
    if (header.empty() || !ParseSinogramHeader(header.substr(0, headerBytes - 1).c_str(), N, M))
        Fail("bad sinogram size.");
    const size_t count = static_cast<size_t>(N) * static_cast<size_t>(M);
    if (count > kMaxSamples)
        Fail("memory allocation error.");
    P.reset(new (std::nothrow) double[count]);
    if (!P)
        Fail("memory allocation error.");
    if (std::fread(P.get(), sizeof(double), count, in) != count)
        Fail("sinogram read error");
    if (in != stdin)
        std::fclose(in);
    for (size_t q = 0; q < count; ++q)
        if (!std::isfinite(P[q]))
            Fail("sinogram holds a sample that is not a finite number (row " + std::to_string(q / N) +
                 ", column " + std::to_string(q % N) + ").");
}

// Writes the header and the samples to path: through a temporary beside it,
// renamed when complete, unless path is standard output or an existing file
// that is not a regular one.
static void WriteSinogram(const std::string& path, const std::string& header, const double* P, size_t count)
{
    FILE* out = stdout;
    if (path != "-") {
        struct stat st;
        const bool special = stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
        if (!special) {
            const size_t slash = path.rfind('/');
            const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
            temporary = dir + "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".prjrings-" +
                        std::to_string(getpid());
        }
        out = std::fopen(special ? path.c_str() : temporary.c_str(), "wb");
        if (!out) {
            const std::string reason = std::strerror(errno);
            temporary.clear();  // not created
            Fail(path + ": cannot create: " + reason);
        }
    }
    errno = 0;
    const bool written = std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
                         std::fwrite(P, sizeof(double), count, out) == count;
    const int error = errno;
    const bool closed = out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
    if (!written || !closed)
        Fail(path + ": cannot write: " + std::strerror(!written && error ? error : errno ? errno : EIO));
    if (!temporary.empty() && std::rename(temporary.c_str(), path.c_str()) != 0)
        Fail(path + ": cannot rename the finished sinogram: " + std::strerror(errno));
    temporary.clear();
}

// The report: a summary line, then one line per corrected column.
static void Report(const RingReport& report, int N, int M)
{
    int count[3] = {0, 0, 0};
    for (const StripeColumn& c : report.columns)
        ++count[static_cast<int>(c.kind)];
    if (!report.skipped.empty()) {
        std::fprintf(stderr, "prjrings: %d columns, %d projections: %s; nothing corrected\n", N, M,
                     report.skipped.c_str());
        return;
    }
    std::fprintf(stderr, "prjrings: %d columns, %d projections: %zu corrected (%d offset, %d partial, %d dead) in %d passes\n",
                 N, M, report.columns.size(), count[0], count[1], count[2], report.passes);
    for (const StripeColumn& c : report.columns) {
        std::fprintf(stderr, "column %d %s", c.column, StripeKindName(c.kind));
        if (c.kind != StripeKind::dead)
            std::fprintf(stderr, " %.6g z %.1f", c.offset, c.z);
        for (const auto& range : c.ranges)
            std::fprintf(stderr, " projections %d-%d", range.first, range.second);
        std::fputc('\n', stderr);
    }
}

int main(int argc, char** argv)
{
    const Options o = ParseArguments(argc, argv);
    std::string header;
    int N = 0, M = 0;
    std::unique_ptr<double[]> P;
    ReadSinogram(o.sg, header, N, M, P);
    RingReport report;
    try {
        report = RemoveRings(P.get(), N, M, o.rings);
    } catch (const std::bad_alloc&) {
        Fail("memory allocation error.");
    }
    WriteSinogram(o.out, header, P.get(), static_cast<size_t>(N) * M);
    if (o.report)
        Report(report, N, M);
    return 0;
}
