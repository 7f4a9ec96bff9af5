// prjphantom: writes the parallel-beam sinogram of an analytic phantom made of
// ellipses, and optionally the phantom itself sampled at the pixel centres, so
// that reconstructions can be compared with a known answer.
//
//   prjphantom [options] N M ra dr r0/dr SG [TRUTH]
//
// Units and conventions (those of the reconstructor):
// - The sinogram has M projections over half a turn, N bins each; row m is the
//   projection at the angle ra + m * 180/M degrees.
// - Bin k lies at the detector coordinate r0/dr + k in detector intervals from
//   the rotation axis, i.e. at (r0/dr + k) * dr in physical length.
// - At angle theta the point (x, y) projects to x cos theta + y sin theta.
// - Pixel (row i, column j) of the N x N image lies at x = j - (N - 1)/2,
//   y = (N - 1)/2 - i (row 0 at the top, y upwards), in detector intervals.
// - Ellipse positions and semi-axes are given in detector intervals about the
//   rotation axis; densities are per unit of physical length. The samples are
//   line integrals in physical length, so reconstructing with the same dr
//   (image values are in sample units / dr) gives back the densities.
//
// Sinogram file: the text line "N M\n", then M rows of N samples, each an IEEE
// 754 binary64 value in 8 little-endian bytes, row 0 first, no padding.
//
// Truth image: the sum of the densities of the ellipses that contain each pixel
// centre (boundary included), as a 32-bit float TIFF, or with --truth-raw as
// N * N little-endian binary64 values, row 0 first, column 0 first.
//
// Exit status: 0 on success, 2 for a usage error (message and usage on
// standard error, nothing written), 1 when an output cannot be written.

#include "sif_f_fast.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <system_error>
#include <vector>

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "samples are written as IEEE 754 binary64");

static const double kPi = 3.141592653589793;

// The default phantom fills this fraction of the disc that every projection
// covers: its unit circle has radius kDiscFill * min(-r0/dr, N - 1 + r0/dr), so
// the outer skull (semi-axis 0.92) ends at 0.874 of the disc radius and the
// reconstruction near the disc edge never sees phantom edges.
static const double kDiscFill = 0.95;

// The most detector bins: rows are produced one at a time, but the
// reconstructor holds some 1.6 N^2 doubles, so wider sinograms serve no use
// and a mistyped N would only exhaust memory.
static const int kMaxN = 1 << 16;

// The largest TIFF truth image: width * width * 4 sample bytes plus the
// 170-byte header and directory must fit the format's 32-bit offsets.
static const int kMaxTiffSide = 32767;

// The noise seed when --seed is not given, so that noisy runs repeat.
static const uint64_t kDefaultSeed = 1;

static const char kUsage[] =
    "usage : prjphantom [options] N M ra dr r0/dr SG [TRUTH]\n"
    "  N      detector bins per projection (2 to 65536); image is N x N\n"
    "  M      projections over 180 degrees (at least 1)\n"
    "  ra     angle of the first projection, degrees\n"
    "  dr     detector interval (> 0); samples are line integrals in its unit\n"
    "  r0/dr  coordinate of bin 0 in detector intervals, 1 - N < r0/dr < 0\n"
    "  SG     output sinogram (\"-\": standard output)\n"
    "  TRUTH  optional output of the phantom at the pixel centres, float TIFF\n"
    "options:\n"
    "  --ellipse x,y,a,b,angle,density  an ellipse (repeatable; replaces the\n"
    "         default modified Shepp-Logan phantom): centre and semi-axes in\n"
    "         detector intervals about the axis, angle of the a axis in degrees\n"
    "  --noise s     add Gaussian noise of deviation s * max |sample|\n"
    "  --seed S      seed of the noise (unsigned integer, default 1)\n"
    "  --truth-raw   write TRUTH as N*N little-endian doubles, row 0 first\n"
    "  --            end of options\n"
    "Options may come anywhere and take their value as --name v or --name=v;\n"
    "operands such as -127.5 are not options.\n";

// An ellipse in detector intervals: centre (x, y), semi-axis a along the
// direction angle (radians from the x axis), semi-axis b across it.
struct Ellipse {
    double x, y, a, b, angle, density;
};

// The modified Shepp-Logan head (Shepp and Logan's ten ellipses with Toft's
// higher-contrast densities), lengths in units of the head's unit circle:
// x, y, a, b, angle in degrees, density.
static const double kSheppLogan[10][6] = {
    {0.0, 0.0, 0.69, 0.92, 0.0, 1.0},
    {0.0, -0.0184, 0.6624, 0.874, 0.0, -0.8},
    {0.22, 0.0, 0.11, 0.31, -18.0, -0.2},
    {-0.22, 0.0, 0.16, 0.41, 18.0, -0.2},
    {0.0, 0.35, 0.21, 0.25, 0.0, 0.1},
    {0.0, 0.1, 0.046, 0.046, 0.0, 0.1},
    {0.0, -0.1, 0.046, 0.046, 0.0, 0.1},
    {-0.08, -0.605, 0.046, 0.023, 0.0, 0.1},
    {0.0, -0.605, 0.023, 0.023, 0.0, 0.1},
    {0.06, -0.605, 0.023, 0.046, 0.0, 0.1},
};

struct Options {
    int N = 0, M = 0;
    double ra = 0, dr = 0, r0dr = 0;
    const char* sg = nullptr;
    const char* truth = nullptr;
    bool truthRaw = false;
    double noise = 0;
    uint64_t seed = kDefaultSeed;
    std::vector<Ellipse> ellipses;
};

[[noreturn]] static void UsageError(const std::string& what)
{
    std::fprintf(stderr, "prjphantom: %s\n%s", what.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] static void Fail(const std::string& what)
{
    std::fprintf(stderr, "prjphantom: %s\n", what.c_str());
    std::exit(1);
}

// Strict conversions: the whole text must be one finite number.
static bool ParseDouble(const char* text, double* value)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

static bool ParseInt(const char* text, int* value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

static bool ParseSeed(const char* text, uint64_t* value)
{
    if (*text < '0' || *text > '9')  // strtoull would accept a sign
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != '\0' || errno == ERANGE)
        return false;
    *value = v;
    return true;
}

// "x,y,a,b,angle,density": six numbers separated by commas, a and b positive.
static bool ParseEllipse(const char* text, Ellipse* e)
{
    double v[6];
    std::string rest = text;
    for (int n = 0; n < 6; ++n) {
        const size_t comma = rest.find(',');
        if ((comma == std::string::npos) != (n == 5))
            return false;
        if (!ParseDouble(rest.substr(0, comma).c_str(), &v[n]))
            return false;
        if (n < 5)
            rest = rest.substr(comma + 1);
    }
    if (!(v[2] > 0) || !(v[3] > 0))
        return false;
    *e = Ellipse{v[0], v[1], v[2], v[3], v[4] * kPi / 180, v[5]};
    return true;
}

static Options ParseArguments(int argc, char** argv)
{
    Options o;
    std::vector<const char*> pos;
    bool optionsEnded = false;
    for (int n = 1; n < argc; ++n) {
        std::string arg = argv[n];
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            pos.push_back(argv[n]);  // "-" and negative numbers are operands
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--truth-raw") {
            o.truthRaw = true;
            continue;
        }
        // The options with a value take it as "--name=value" or "--name value".
        std::string name = arg, value;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name != "--ellipse" && name != "--noise" && name != "--seed")
            UsageError("unknown option " + arg);
        if (eq == std::string::npos) {
            if (n + 1 >= argc)
                UsageError(name + " needs a value");
            value = argv[++n];
        }
        if (name == "--ellipse") {
            Ellipse e;
            if (!ParseEllipse(value.c_str(), &e))
                UsageError("bad ellipse '" + value + "' (want x,y,a,b,angle,density with a, b > 0)");
            o.ellipses.push_back(e);
        } else if (name == "--noise") {
            if (!ParseDouble(value.c_str(), &o.noise) || o.noise < 0)
                UsageError("bad noise level '" + value + "' (want a number >= 0)");
        } else if (!ParseSeed(value.c_str(), &o.seed)) {
            UsageError("bad seed '" + value + "' (want an unsigned integer)");
        }
    }

    if (pos.size() < 6 || pos.size() > 7)
        UsageError("expected 6 or 7 arguments, got " + std::to_string(pos.size()));
    if (!ParseInt(pos[0], &o.N) || o.N < 2 || o.N > kMaxN)
        UsageError(std::string("bad N '") + pos[0] + "' (want an integer from 2 to " +
                   std::to_string(kMaxN) + ")");
    if (!ParseInt(pos[1], &o.M) || o.M < 1)
        UsageError(std::string("bad M '") + pos[1] + "' (want an integer >= 1)");
    if (!ParseDouble(pos[2], &o.ra))
        UsageError(std::string("bad ra '") + pos[2] + "'");
    if (!ParseDouble(pos[3], &o.dr) || !(o.dr > 0))
        UsageError(std::string("bad dr '") + pos[3] + "' (want a number > 0)");
    if (!ParseDouble(pos[4], &o.r0dr) || !(o.r0dr < 0) || !(o.r0dr > 1.0 - o.N))
        UsageError(std::string("bad r0/dr '") + pos[4] + "' (want 1 - N < r0/dr < 0)");
    o.sg = pos[5];
    if (pos.size() == 7) {
        o.truth = pos[6];
        if (std::strcmp(o.sg, "-") == 0 && std::strcmp(o.truth, "-") == 0)
            UsageError("SG and TRUTH cannot both be standard output");
        if (!o.truthRaw && o.N > kMaxTiffSide)
            UsageError("N above " + std::to_string(kMaxTiffSide) +
                       " is too large for a TIFF truth (use --truth-raw)");
    }

    if (o.ellipses.empty()) {
        // The unit circle of the head goes onto kDiscFill of the covered disc.
        const double R = kDiscFill * std::fmin(-o.r0dr, o.N - 1 + o.r0dr);
        for (const auto& s : kSheppLogan)
            o.ellipses.push_back(
                Ellipse{s[0] * R, s[1] * R, s[2] * R, s[3] * R, s[4] * kPi / 180, s[5]});
    }
    return o;
}

// Projection of one ellipse onto a detector row.
//
// Write the ellipse as p = c + L q with q in the unit disc, c = (x0, y0) and
// L = Rot(alpha) diag(A, B), so |det L| = A B. At angle theta the ray at
// detector coordinate s is the line p . u = s with u = (cos theta, sin theta).
// In q it becomes q . w = t with w = L^T u and t = s - c . u, where
//   |w|^2 = a^2 = A^2 cos^2(theta - alpha) + B^2 sin^2(theta - alpha),
// i.e. a line at distance t/a from the centre of the unit disc, which it cuts
// in a chord of length 2 sqrt(1 - t^2/a^2) when t^2 < a^2. Lines at s and
// s + ds enclose a strip of width ds/a in q, and areas scale by A B, so the
// line integral of the density rho is
//   P(s) = rho * A B * 2 sqrt(1 - t^2/a^2) / a = 2 rho A B sqrt(a^2 - t^2) / a^2.
// Its integral over s is rho pi A B at every angle, and a is the half width of
// the shadow. Here all lengths are physical (detector intervals times dr), so
// s_k = (r0/dr + k) dr and P is a length times a density.
static void AddProjection(const Ellipse& e, double theta, const Options& o, double* row)
{
    const double dr = o.dr;
    const double A = e.a * dr, B = e.b * dr;
    const double c = std::cos(theta), s = std::sin(theta);
    const double cr = std::cos(theta - e.angle), sr = std::sin(theta - e.angle);
    const double a2 = A * A * cr * cr + B * B * sr * sr;
    const double centre = (e.x * c + e.y * s) * dr;  // c . u
    const double factor = 2 * e.density * A * B / a2;
    for (int k = 0; k < o.N; ++k) {
        const double t = (o.r0dr + k) * dr - centre;
        const double d = a2 - t * t;
        if (d > 0)
            row[k] += factor * std::sqrt(d);
    }
}

// Row m of the noiseless sinogram, at the angle ra + m pi / M (radians).
static void ProjectRow(const Options& o, int m, double* row)
{
    const double theta = o.ra * kPi / 180 + m * kPi / o.M;
    for (int k = 0; k < o.N; ++k)
        row[k] = 0.0;
    for (const Ellipse& e : o.ellipses)
        AddProjection(e, theta, o, row);
}

// Standard normal deviates from a 64-bit Mersenne Twister by the Box-Muller
// transform, so that a seed gives the same noise with every standard library
// (std::normal_distribution is not specified bit for bit). Deviates come in
// pairs: the cosine one first, then the sine one.
static std::mt19937_64 rng;  // the uniform source, seeded once
static double spare;        // the sine deviate of the last pair
static bool haveSpare;      // whether spare is still unused

static double Gauss()
{
    if (haveSpare) {
        haveSpare = false;
        return spare;
    }
    // Uniforms on (0, 1): 53 random bits, offset by half a step, so log(u1)
    // is always finite.
    const double u1 = (static_cast<double>(rng() >> 11) + 0.5) * 0x1p-53;
    const double u2 = (static_cast<double>(rng() >> 11) + 0.5) * 0x1p-53;
    const double r = std::sqrt(-2 * std::log(u1));
    spare = r * std::sin(2 * kPi * u2);
    haveSpare = true;
    return r * std::cos(2 * kPi * u2);
}

// The output stream being written: a file opened "wb", or standard output for
// "-". Every write is checked; on failure the message names the output, and a
// partially written regular file is removed (never a device such as /dev/full).
static FILE* out;
static const char* outPath;
static const char* outWhat;

static void OpenOutput(const char* path, const char* what)
{
    outPath = path;
    outWhat = what;
    out = std::strcmp(path, "-") == 0 ? stdout : std::fopen(path, "wb");
    if (!out)
        Fail(std::string("cannot create ") + what + " '" + path + "': " + std::strerror(errno));
}

[[noreturn]] static void AbortOutput(bool closed)
{
    const std::string reason = errno ? std::strerror(errno) : "write error";
    if (out != stdout) {
        if (!closed)
            std::fclose(out);
        std::error_code ec;
        if (std::filesystem::is_regular_file(outPath, ec))
            std::remove(outPath);
    }
    Fail(std::string("cannot write ") + outWhat + " '" + outPath + "': " + reason);
}

static void WriteOutput(const void* bytes, size_t size)
{
    errno = 0;
    if (std::fwrite(bytes, 1, size, out) != size)
        AbortOutput(false);
}

static void CloseOutput()
{
    errno = 0;
    if (out == stdout ? std::fflush(out) != 0 : std::fclose(out) != 0)
        AbortOutput(true);  // a failed fclose has still released the stream
}

// n doubles as 8 little-endian bytes each.
static void EncodeDoubles(const double* values, int n, unsigned char* bytes)
{
    for (int k = 0; k < n; ++k) {
        uint64_t bits;
        std::memcpy(&bits, &values[k], 8);
        for (int b = 0; b < 8; ++b)
            bytes[8 * k + b] = static_cast<unsigned char>(bits >> (8 * b));
    }
}

static void WriteSinogram(const Options& o)
{
    std::vector<double> row(o.N);
    std::vector<unsigned char> bytes(8 * static_cast<size_t>(o.N));

    // The noise deviation is relative to the largest noiseless sample, so a
    // first pass finds it; the second pass recomputes the same rows.
    double sigma = 0;
    if (o.noise > 0) {
        double peak = 0;
        for (int m = 0; m < o.M; ++m) {
            ProjectRow(o, m, row.data());
            for (double v : row)
                peak = std::fmax(peak, std::fabs(v));
        }
        sigma = o.noise * peak;
    }
    rng.seed(o.seed);

    OpenOutput(o.sg, "sinogram");
    const std::string header = std::to_string(o.N) + " " + std::to_string(o.M) + "\n";
    WriteOutput(header.data(), header.size());
    for (int m = 0; m < o.M; ++m) {
        ProjectRow(o, m, row.data());
        if (sigma > 0)
            for (double& v : row)
                v += sigma * Gauss();
        EncodeDoubles(row.data(), o.N, bytes.data());
        WriteOutput(bytes.data(), bytes.size());
    }
    CloseOutput();
}

// Row i of the phantom: at each pixel centre (x, y) the sum of the densities
// of the ellipses whose closed region holds it, tested in each ellipse's own
// axes, u along a and v along b: inside when u^2 + v^2 <= 1. Densities are
// added in the order the ellipses are given.
static void TruthRow(const Options& o, int i, double* row)
{
    const double y = (o.N - 1) * 0.5 - i;
    for (int j = 0; j < o.N; ++j)
        row[j] = 0.0;
    for (const Ellipse& e : o.ellipses) {
        const double c = std::cos(e.angle), s = std::sin(e.angle);
        for (int j = 0; j < o.N; ++j) {
            const double x = j - (o.N - 1) * 0.5;
            const double u = ((x - e.x) * c + (y - e.y) * s) / e.a;
            const double v = (-(x - e.x) * s + (y - e.y) * c) / e.b;
            if (u * u + v * v <= 1)
                row[j] += e.density;
        }
    }
}

static void WriteTruth(const Options& o)
{
    const int N = o.N;
    if (o.truthRaw) {
        std::vector<double> row(N);
        std::vector<unsigned char> bytes(8 * static_cast<size_t>(N));
        OpenOutput(o.truth, "truth");
        for (int i = 0; i < N; ++i) {
            TruthRow(o, i, row.data());
            EncodeDoubles(row.data(), N, bytes.data());
            WriteOutput(bytes.data(), bytes.size());
        }
        CloseOutput();
        return;
    }
    // The TIFF writer takes the whole image as rows; it reports and ends the
    // process itself when the file cannot be written.
    std::vector<double> image(static_cast<size_t>(N) * N);
    std::vector<const double*> rows(N);
    for (int i = 0; i < N; ++i) {
        rows[i] = &image[static_cast<size_t>(i) * N];
        TruthRow(o, i, &image[static_cast<size_t>(i) * N]);
    }
    StoreImageFile_Float(o.truth, N, N, rows.data(), nullptr);
    if (std::strcmp(o.truth, "-") == 0 && std::fflush(stdout) != 0)
        Fail("cannot write truth to standard output");
}

int main(int argc, char** argv)
{
    const Options o = ParseArguments(argc, argv);
    try {
        WriteSinogram(o);
        if (o.truth)
            WriteTruth(o);
    } catch (const std::bad_alloc&) {
        Fail("not enough memory for N = " + std::to_string(o.N));
    }
    return 0;
}
