// prjphantom: writes the parallel-beam sinogram of an analytic phantom made of
// ellipses, and optionally the phantom itself sampled at the pixel centres, so
// that reconstructions can be compared with a known answer; or a raw detector
// scan of the phantom volume (projections, flats and darks in HDF5 or TIFF
// files), so that scan importers can be.
//
//   prjphantom [options] N M ra dr r0/dr SG [TRUTH]
//   prjphantom --scan FORMAT [options] N M ra dr r0/dr OUT
//
// Units and conventions (those of the reconstructor; see also phantom.cpp):
// - The sinogram has M projections over half a turn, N bins each; row m is the
//   projection at the angle ra + m * 180/M degrees.
// - Bin k lies at the detector coordinate r0/dr + k in detector intervals from
//   the rotation axis, i.e. at (r0/dr + k) * dr in physical length.
// - Pixel (row i, column j) of the N x N image lies at x = j - (N - 1)/2,
//   y = (N - 1)/2 - i (row 0 at the top, y upwards), in detector intervals.
// - Ellipse positions and semi-axes are given in detector intervals about the
//   rotation axis; densities are per unit of physical length. The samples are
//   line integrals in physical length, so reconstructing with the same dr
//   (image values are in sample units / dr) gives back the densities.
// - The phantom is the equatorial section of a volume of ellipsoids seen by R
//   detector rows (phantom.cpp); with --row r the sinogram and truth are those
//   of row r's slice, which is what the scan's row r records.
//
// Sinogram file: the text line "N M\n", then M rows of N samples, each an IEEE
// 754 binary64 value in 8 little-endian bytes, row 0 first, no padding.
//
// Truth image: the sum of the densities of the ellipses that contain each pixel
// centre (boundary included), as a 32-bit float TIFF, or with --truth-raw as
// N * N little-endian binary64 values, row 0 first, column 0 first.
//
// Scans: counts, defective pixels, frame order and file layouts in
// phantom_scan.cpp; the texture in phantom.cpp.
//
// Exit status: 0 on success, 2 for a usage error (message and usage on
// standard error, nothing written), 1 when an output cannot be written.

#include "phantom.h"
#include "phantom_scan.h"
#include "parse.h"
#include "sif_f_fast.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
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

// The largest scan frame, R x N pixels: one frame is one HDF5 chunk, which
// must stay below 4 GiB, and at 8 bytes per sample 2^28 pixels make 2 GiB.
static const long long kMaxFramePixels = 1LL << 28;

// The most frames in a scan, far beyond any recorded one: their list is held
// in memory, and a mistyped M would only fill the disc.
static const long long kMaxFrames = 1LL << 20;

// The most texture ellipses: every projection sums over all of them, and far
// fewer already fill the object with detail.
static const int kMaxTexture = 100000;

// The noise seed when --seed is not given, so that noisy runs repeat.
static const uint64_t kDefaultSeed = 1;

static const char kUsage[] =
    "usage : prjphantom [options] N M ra dr r0/dr SG [TRUTH]\n"
    "        prjphantom --scan FORMAT [options] N M ra dr r0/dr OUT\n"
    "  N      detector bins per projection (2 to 65536); image is N x N\n"
    "  M      projections over 180 degrees (at least 1)\n"
    "  ra     angle of the first projection, degrees\n"
    "  dr     detector interval (> 0); samples are line integrals in its unit\n"
    "  r0/dr  coordinate of bin 0 in detector intervals, 1 - N < r0/dr < 0\n"
    "  SG     output sinogram (\"-\": standard output)\n"
    "  TRUTH  optional output of the phantom at the pixel centres, float TIFF\n"
    "  OUT    output scan: an HDF5 file, or a directory for TIFFs (created if\n"
    "         missing; files of the same names in it are replaced)\n"
    "options:\n"
    "  --ellipse x,y,a,b,angle,density  an ellipse (repeatable; replaces the\n"
    "         default modified Shepp-Logan phantom): centre and semi-axes in\n"
    "         detector intervals about the axis, angle of the a axis in degrees\n"
    "  --noise s     add Gaussian noise of deviation s * max |sample|\n"
    "  --seed S      seed of the noise (unsigned integer, default 1); for scans\n"
    "                also of the gains and dark levels\n"
    "  --truth-raw   write TRUTH as N*N little-endian doubles, row 0 first\n"
    "  --rows R      detector rows (default 4). The object is a volume: each\n"
    "                ellipse is the equatorial section of an ellipsoid, and row\n"
    "                r (0 at the top) sees its section at the height h = (R - r\n"
    "                - 1/2)/R of its axis: the ellipse with both semi-axes\n"
    "                scaled by sqrt(1 - h^2)\n"
    "  --row r       SG and TRUTH of detector row r (0 to R - 1)\n"
    "  --texture K   add K small ellipses inside the first one (semi-axes 1 to\n"
    "                6 detector intervals, densities +-0.02 to 0.1 of its own),\n"
    "                drawn from the seed: fine detail at every radius\n"
    "  --aperture    each bin the mean of the line integrals over its width, as\n"
    "                a detector pixel reads (default: the one at its centre)\n"
    "  --            end of options\n"
    "scan formats (--scan FORMAT):\n"
    "  dx          Data Exchange HDF5: /exchange/data, data_white, data_dark,\n"
    "              theta\n"
    "  nxtomo      NeXus NXtomo HDF5: ENTRY/instrument/detector/data and\n"
    "              image_key (0 projection, 1 flat, 2 dark, 3 invalid),\n"
    "              ENTRY/sample/rotation_angle, all frames in frame order\n"
    "  plain       HDF5 in no recognised layout: /entry/instrument/imaging/data\n"
    "              (linked from /entry/imaging/data) and image_key, angles at\n"
    "              /entry/imaging/gts_theta_value, all frames in frame order\n"
    "  tiff        OUT/proj_K.tif, flat_K.tif, dark_K.tif (K = 0, 1, ...\n"
    "              unpadded), one page of R x N each\n"
    "  tiff-multi  OUT/proj.tif, flat.tif, dark.tif, one page per frame\n"
    "Frames: darks, flats, projections (m = 0 ... at ra + m * 180/M degrees),\n"
    "flats after (nxtomo). Counts per pixel: projections g * I0 * exp(-p) + D, flats\n"
    "g * I0 + D, darks D; p the line integral of the row (the --row sinogram),\n"
    "gain g in [0.9, 1.1] and dark level D in [90, 110] drawn from the seed. The\n"
    "default phantom's line integrals reach about 0.26 * N * dr: a dr between\n"
    "1/N and 4/N keeps the counts well above zero.\n"
    "scan options:\n"
    "  --i0 V          open-beam counts I0 (> 0, default 30000)\n"
    "  --dtype T       uint8, uint16 (default), uint32 (counts rounded to\n"
    "                  nearest, clamped), float32 or float64 (unrounded)\n"
    "  --poisson       Poisson counts drawn from the seed (default: the means)\n"
    "  --flats F       flat frames (default 4)\n"
    "  --darks D       dark frames (default 2)\n"
    "  --full-turn     2M projections over 360 degrees\n"
    "  --half-acquisition  a full turn, and the default phantom as wide as the\n"
    "                  farther end of the detector from the axis: with the axis\n"
    "                  off centre, the detector sees the object's one side\n"
    "  --jitter J      each projection's angle off even spacing by up to J steps\n"
    "                  (0 <= J < 0.5), uniform, drawn from the seed; the stored\n"
    "                  angles are those measured\n"
    "  --angles-file F write the projections' angles to F, one a line, degrees\n"
    "  --frame-angles F write every frame's angle to F, one a line, in frame\n"
    "                  order (darks and flats carry their neighbour's)\n"
    "  --end-frame     one more projection, at ra + 180 (ra + 360 with\n"
    "                  --full-turn)\n"
    "  --big-endian    samples big-endian (TIFF files; HDF5 types)\n"
    "  --radians       HDF5: angles in radians (units \"radians\" for dx, \"rad\"\n"
    "                  for nxtomo; default \"degrees\" and \"degree\")\n"
    "  --compress C    HDF5: deflate, lz4, bzip2 or blosc, one frame per chunk\n"
    "  --chunked       HDF5: one frame per chunk without compression\n"
    "  --entry PATH    nxtomo: the entry group (default entry), e.g.\n"
    "                  entry1/tomo_entry\n"
    "  --flats-after   a second series of F flats after the projections\n"
    "  --flats-file F  dx: the flats in F (/entry/data/data), not in the scan\n"
    "  --darks-file F  dx: the darks in F (/entry/data/data), not in the scan\n"
    "  --drift d       nxtomo, with --flats-after: beam I0 * (1 + d * (f - fb) /\n"
    "                  (fa - fb)) at frame f, fb and fa the mean frame indices of\n"
    "                  the flats before and after\n"
    "  --invalid-frame nxtomo, plain: a frame of zeros with image key 3 after\n"
    "                  projection ceil(P/2) - 1 of P\n"
    "defective pixels, K per detector row, kept apart (the noise and all else\n"
    "stay those of the scan without them; --row writes the sound truth):\n"
    "  --stripes K     gain in the projections 1 +- 0.01 to 0.05 of that in the\n"
    "                  flats (full stripes)\n"
    "  --partial K     the same, +-0.02 to 0.1, in a run of P/10 to P/2 of the\n"
    "                  P projections only (partial stripes)\n"
    "  --nonlinear K   response I0 (I / I0)^(1 +- 0.02 to 0.1)\n"
    "  --dead K        reading the dark level only\n"
    "  --saturated K   stuck at the largest count (65535 for float types)\n"
    "  --clusters K    2 to 6 neighbouring pixels sharing one stripe's gain\n"
    "                  (wide stripes)\n"
    "Options may come anywhere and take their value as --name v or --name=v;\n"
    "operands such as -127.5 are not options.\n";

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
    int rows = 4, row = -1;       // detector rows; the row written, or none
    std::vector<Ellipse> ellipses;
    int texture = 0;              // small ellipses added inside the first
    bool scan = false;            // a raw scan into scanOptions.out
    bool halfAcquisition = false; // a full turn of an object wider than the covered disc
    bool aperture = false;        // bins read the mean over their width
    PhantomScan scanOptions;
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

// A group path: names separated by single slashes, none empty, "." or "..".
static bool ParseGroupPath(const std::string& path)
{
    size_t at = 0;
    for (;;) {
        const size_t slash = path.find('/', at);
        const std::string name = path.substr(at, slash == std::string::npos ? slash : slash - at);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (slash == std::string::npos)
            return true;
        at = slash + 1;
    }
}

// Options of a raw scan alone, and of the sinogram alone.
static const char* const kScanOptions[] = {
    "--i0", "--dtype", "--poisson", "--flats", "--darks", "--full-turn", "--end-frame",
    "--big-endian", "--radians", "--compress", "--chunked", "--entry", "--flats-after",
    "--drift", "--invalid-frame", "--half-acquisition", "--jitter", "--angles-file",
    "--frame-angles", "--flats-file", "--darks-file", "--stripes", "--partial", "--nonlinear", "--dead",
    "--saturated", "--clusters"};
static const char* const kSinogramOptions[] = {"--noise", "--truth-raw", "--row"};

static bool Among(const std::string& name, const char* const* names, size_t count)
{
    for (size_t n = 0; n < count; ++n)
        if (name == names[n])
            return true;
    return false;
}

#ifdef PRJPHANTOM_RAW_SCANS
// Checks of a scan's options against its format and each other.
static void CheckScan(const Options& o, const std::vector<std::string>& given)
{
    const PhantomScan& s = o.scanOptions;
    const bool hdf5 = s.format != ScanFormat::Tiff && s.format != ScanFormat::TiffMulti;
    for (const std::string& name : given) {
        if (Among(name, kSinogramOptions, std::size(kSinogramOptions)))
            UsageError(name + " cannot be used with --scan");
        if ((name == "--radians" || name == "--compress" || name == "--chunked") && !hdf5)
            UsageError(name + " is for HDF5 scans (dx, nxtomo, plain) only");
        if ((name == "--entry" || name == "--drift") && s.format != ScanFormat::NXtomo)
            UsageError(name + " is for --scan nxtomo only");
        if (name == "--invalid-frame" && s.format != ScanFormat::NXtomo && s.format != ScanFormat::Plain)
            UsageError(name + " is for --scan nxtomo and plain only");
        if ((name == "--flats-file" || name == "--darks-file") && s.format != ScanFormat::DataExchange)
            UsageError(name + " is for --scan dx only");
    }
    if (s.drift != 0 && !s.flatsAfter)
        UsageError("--drift needs --flats-after");
    if (s.flatsAfter && s.flats == 0)
        UsageError("--flats-after needs at least one flat");
    if (static_cast<long long>(s.rows) * o.N > kMaxFramePixels)
        UsageError("a frame of " + std::to_string(s.rows) + " x " + std::to_string(o.N) +
                   " pixels is too large (at most " + std::to_string(kMaxFramePixels) + ")");
    const long long P = (s.fullTurn ? 2LL : 1LL) * o.M + s.endFrame;
    if (P + s.invalidFrame + (s.flatsAfter ? 2LL : 1LL) * s.flats + s.darks > kMaxFrames)
        UsageError("too many frames (at most " + std::to_string(kMaxFrames) + ")");
    for (const PhantomFrame& f : FrameOrder(s))
        if (!(f.beam > 0))
            UsageError("the drift makes the beam vanish (want 1 + d (f - fb)/(fa - fb) > 0 in every frame)");
    if (DefectColumns(s.defects) > o.N - 4)
        UsageError("too many defects for a row of " + std::to_string(o.N) +
                   " pixels (with the gaps kept between them they need more)");
    if (s.out == "-")
        UsageError("OUT cannot be standard output");
    if (s.flats == 0 && !s.flatsFile.empty())
        UsageError("--flats-file needs at least one flat");
    if (s.darks == 0 && !s.darksFile.empty())
        UsageError("--darks-file needs at least one dark");
}
#endif

static Options ParseArguments(int argc, char** argv)
{
    Options o;
    PhantomScan& s = o.scanOptions;
    std::vector<const char*> pos;
    std::vector<std::string> given;  // the options met, by name
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
        bool* flag = arg == "--truth-raw"       ? &o.truthRaw
                     : arg == "--aperture"      ? &o.aperture
                     : arg == "--poisson"       ? &s.poisson
                     : arg == "--full-turn"     ? &s.fullTurn
                     : arg == "--half-acquisition" ? &o.halfAcquisition
                     : arg == "--end-frame"     ? &s.endFrame
                     : arg == "--big-endian"    ? &s.bigEndian
                     : arg == "--radians"       ? &s.radians
                     : arg == "--chunked"       ? &s.chunked
                     : arg == "--flats-after"   ? &s.flatsAfter
                     : arg == "--invalid-frame" ? &s.invalidFrame
                                                : nullptr;
        if (flag) {
            *flag = true;
            given.push_back(arg);
            continue;
        }
        // The options with a value take it as "--name=value" or "--name value".
        std::string name = arg, value;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        static const char* const valued[] = {"--ellipse", "--noise",     "--seed",      "--scan",
                                             "--rows",    "--row",       "--i0",        "--dtype",
                                             "--flats",   "--darks",     "--drift",     "--compress",
                                             "--entry",   "--jitter",    "--angles-file", "--frame-angles",
                                             "--flats-file", "--darks-file", "--texture", "--stripes",
                                             "--partial", "--nonlinear", "--dead",      "--saturated",
                                             "--clusters"};
        if (!Among(name, valued, std::size(valued)))
            UsageError("unknown option " + arg);
        if (eq == std::string::npos) {
            if (n + 1 >= argc)
                UsageError(name + " needs a value");
            value = argv[++n];
        }
        given.push_back(name);
        const char* v = value.c_str();
        if (name == "--ellipse") {
            Ellipse e;
            if (!ParseEllipse(v, &e))
                UsageError("bad ellipse '" + value + "' (want x,y,a,b,angle,density with a, b > 0)");
            o.ellipses.push_back(e);
        } else if (name == "--noise") {
            if (!ParseDouble(v, &o.noise) || o.noise < 0)
                UsageError("bad noise level '" + value + "' (want a number >= 0)");
        } else if (name == "--seed") {
            if (!ParseSeed(v, &o.seed))
                UsageError("bad seed '" + value + "' (want an unsigned integer)");
        } else if (name == "--scan") {
#ifndef PRJPHANTOM_RAW_SCANS
            UsageError("--scan needs a build with HDF5 and libtiff (PRJSLICE_IMPORT=ON)");
#endif
            o.scan = true;
            if (value == "dx")
                s.format = ScanFormat::DataExchange;
            else if (value == "nxtomo")
                s.format = ScanFormat::NXtomo;
            else if (value == "plain")
                s.format = ScanFormat::Plain;
            else if (value == "tiff")
                s.format = ScanFormat::Tiff;
            else if (value == "tiff-multi")
                s.format = ScanFormat::TiffMulti;
            else
                UsageError("bad scan format '" + value + "' (want dx, nxtomo, plain, tiff or tiff-multi)");
        } else if (name == "--rows") {
            if (!ParseInt(v, &o.rows) || o.rows < 1)
                UsageError("bad rows '" + value + "' (want an integer >= 1)");
        } else if (name == "--row") {
            if (!ParseInt(v, &o.row) || o.row < 0)
                UsageError("bad row '" + value + "' (want an integer >= 0)");
        } else if (name == "--i0") {
            if (!ParseDouble(v, &s.i0) || !(s.i0 > 0))
                UsageError("bad i0 '" + value + "' (want a number > 0)");
        } else if (name == "--dtype") {
            const char* types[] = {"uint8", "uint16", "uint32", "float32", "float64"};
            const size_t t = std::find(std::begin(types), std::end(types), value) - std::begin(types);
            if (t == std::size(types))
                UsageError("bad dtype '" + value + "' (want uint8, uint16, uint32, float32 or float64)");
            s.type = static_cast<SampleType>(t);
        } else if (name == "--flats" || name == "--darks" || name == "--texture" || name == "--stripes" ||
                   name == "--partial" || name == "--nonlinear" || name == "--dead" || name == "--saturated" ||
                   name == "--clusters") {
            Defects& d = s.defects;
            int* count = name == "--flats"       ? &s.flats
                         : name == "--darks"     ? &s.darks
                         : name == "--texture"   ? &o.texture
                         : name == "--stripes"   ? &d.stripes
                         : name == "--partial"   ? &d.partial
                         : name == "--nonlinear" ? &d.nonlinear
                         : name == "--dead"      ? &d.dead
                         : name == "--saturated" ? &d.saturated
                                                 : &d.clusters;
            if (!ParseInt(v, count) || *count < 0)
                UsageError("bad " + name.substr(2) + " '" + value + "' (want an integer >= 0)");
        } else if (name == "--drift") {
            if (!ParseDouble(v, &s.drift))
                UsageError("bad drift '" + value + "'");
        } else if (name == "--jitter") {
            if (!ParseDouble(v, &s.jitter) || !(s.jitter >= 0 && s.jitter < 0.5))
                UsageError("bad jitter '" + value + "' (want 0 <= J < 0.5 steps: the angles stay in order)");
        } else if (name == "--angles-file" || name == "--frame-angles" || name == "--flats-file" ||
                   name == "--darks-file") {
            if (value.empty() || value == "-")
                UsageError(name + " takes a file name");
            (name == "--angles-file"    ? s.anglesFile
             : name == "--frame-angles" ? s.frameAnglesFile
             : name == "--flats-file"   ? s.flatsFile
                                        : s.darksFile) = value;
        } else if (name == "--compress") {
#ifdef PRJPHANTOM_RAW_SCANS
            if (!KnownFilter(value))
                UsageError("bad filter '" + value + "' (want deflate, lz4, bzip2 or blosc)");
#endif
            s.compress = value;
        } else {
            if (!ParseGroupPath(value))
                UsageError("bad entry '" + value + "' (want a group path such as entry1/tomo_entry)");
            s.entry = value;
        }
    }

    if (o.scan ? pos.size() != 6 : pos.size() < 6 || pos.size() > 7)
        UsageError(std::string(o.scan ? "expected 6 arguments with --scan" : "expected 6 or 7 arguments") +
                   ", got " + std::to_string(pos.size()));
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
    if (o.row >= o.rows)
        UsageError("bad row '" + std::to_string(o.row) + "' (want 0 to " +
                   std::to_string(o.rows - 1) + " of " + std::to_string(o.rows) + " rows)");

    if (o.ellipses.empty()) {
        // The unit circle of the head goes onto kDiscFill of the covered disc;
        // in half acquisition onto kDiscFill of the disc that both half turns
        // cover, to the farther end of the detector.
        const double R = kDiscFill * (o.halfAcquisition ? std::fmax(-o.r0dr, o.N - 1 + o.r0dr)
                                                        : std::fmin(-o.r0dr, o.N - 1 + o.r0dr));
        for (const auto& e : kSheppLogan)
            o.ellipses.push_back(
                Ellipse{e[0] * R, e[1] * R, e[2] * R, e[3] * R, e[4] * kPi / 180, e[5]});
    }
    if (o.texture > kMaxTexture)
        UsageError("bad texture '" + std::to_string(o.texture) + "' (want at most " +
                   std::to_string(kMaxTexture) + " ellipses)");
    const std::vector<Ellipse> texture = Texture(o.ellipses, o.texture, o.seed);
    o.ellipses.insert(o.ellipses.end(), texture.begin(), texture.end());

    if (o.scan) {
        s.fullTurn |= o.halfAcquisition;
        s.detector = Detector{o.N, o.r0dr, o.dr, o.aperture};
        s.rows = o.rows;
        s.M = o.M;
        s.ra = o.ra;
        s.phantom = o.ellipses;
        s.seed = o.seed;
        s.out = pos[5];
#ifdef PRJPHANTOM_RAW_SCANS
        CheckScan(o, given);
#endif
        return o;
    }
    for (const std::string& name : given)
        if (Among(name, kScanOptions, std::size(kScanOptions)))
            UsageError(name + " needs --scan");
    if (o.row < 0 && std::find(given.begin(), given.end(), "--rows") != given.end())
        UsageError("--rows needs --row or --scan");
    o.sg = pos[5];
    if (pos.size() == 7) {
        o.truth = pos[6];
        if (std::strcmp(o.sg, "-") == 0 && std::strcmp(o.truth, "-") == 0)
            UsageError("SG and TRUTH cannot both be standard output");
        if (!o.truthRaw && o.N > kMaxTiffSide)
            UsageError("N above " + std::to_string(kMaxTiffSide) +
                       " is too large for a TIFF truth (use --truth-raw)");
    }
    if (o.row >= 0)
        o.ellipses = SliceEllipses(o.ellipses, o.row, o.rows);
    return o;
}

// Row m of the noiseless sinogram.
static void ProjectRow(const Options& o, int m, double* row)
{
    ProjectSlice(o.ellipses, ProjectionAngle(o.ra, m, o.M), Detector{o.N, o.r0dr, o.dr, o.aperture}, row);
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
#ifdef PRJPHANTOM_RAW_SCANS
    if (o.scan) {
        WriteScan(o.scanOptions);
        return 0;
    }
#endif
    try {
        WriteSinogram(o);
        if (o.truth)
            WriteTruth(o);
    } catch (const std::bad_alloc&) {
        Fail("not enough memory for N = " + std::to_string(o.N));
    }
    return 0;
}
