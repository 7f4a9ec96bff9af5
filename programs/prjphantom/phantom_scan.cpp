// Raw scans of the phantom volume: the frames a parallel-beam detector of R
// rows and N columns records, with flat and dark fields, so that an importer's
// flat-field correction and logarithm can be checked against the exact line
// integrals of each row's slice.
//
// Counts. Pixel (row r, column k) of a frame holds
//   projection  I = g I0(f) exp(-p) + D
//   flat field  I = g I0(f) + D
//   dark field  I = D
// where p is the line integral of row r's slice at the frame's angle and
// column k (the sample of the row's sinogram), g the pixel's gain, uniform in
// [0.9, 1.1], and D its dark level, uniform in [90, 110] counts. Gains and dark
// levels are drawn from the 64-bit Mersenne Twister seeded with the seed, gains
// first, row 0 first; so (P - D) / (F - D) = exp(-p) whatever g and D. With
// Poisson noise each pixel of every frame is then drawn from the Poisson
// distribution of that mean (by the standard library's distribution on the
// same generator, frame by frame in frame order: the same seed gives the same
// scan with the same standard library). Integer samples are the counts
// rounded to nearest and clamped to the type's range; float samples are the
// counts rounded to that precision.
//
// Defects. Each detector row gets the defective pixels asked for, at
// columns at least kDefectEdge from the ends of the row and kDefectGap from
// one another (so that every defect has sound neighbours), drawn from a
// generator of their own: so the defects change nothing else, and a scan with
// defects has the gains, dark levels and noise of the same scan without.
// With c the pixel's count after the noise (its mean without noise), lambda
// its mean, D its dark level and P the projections of the scan:
// - stripe: c -> D + (c - D)(1 + delta) in every projection (the gain has
//   moved since the flats: the sinogram's column is off by -ln(1 + delta)),
//   |delta| uniform in [0.01, 0.05];
// - partial: the same in the projections first ... last only, |delta| in
//   [0.02, 0.1], last - first + 1 uniform in [P/10, P/2], first uniform over
//   the places where the range fits;
// - nonlinear: the light c - D becomes (c - D)(L / I0)^eps in flats and
//   projections, L = lambda - D the mean light: a response I0 (L / I0)^(1 + eps),
//   which makes the column's line integrals (1 + eps) p; |eps| in [0.02, 0.1];
// - dead: c -> D + (c - lambda) sqrt(D / lambda) in flats and projections: the
//   pixel reads its dark level and a dark frame's noise;
// - saturated: c -> the largest count of the sample type (65535 for float
//   types) in every frame;
// - cluster: 2 to 6 neighbouring pixels (uniform) sharing one stripe's
//   delta.
// Every sign is + or - alike. Draws, row by row and in the order of the
// kinds above, each defect in turn: its first column (uniform over the row,
// drawn again while it would come too close to a defect already placed; a
// cluster draws its width first), then its sign and size, and for a partial
// one its length and first projection. The generator is a 64-bit Mersenne
// Twister seeded with the seed sequence (low 32 bits of the seed, high 32
// bits, kDefectStream); every number is the top 53 bits of one draw.
//
// Frames, in frame order: the darks, the flats, the projections, and with
// flats after, a second flat series. Projection m lies at the angle
// ra + m 180/M + e_m degrees, m = 0 ... P - 1, where P is M (half a turn), 2M
// (a full turn), one more with an end frame (at ra + 180 or ra + 360). The
// jitter e_m is 0, or with --jitter J uniform in [-J, J] steps of 180/M
// degrees, drawn from a second 64-bit Mersenne Twister seeded with seed + 1
// (the first one's draws stay those of a scan without jitter). Flats and
// darks carry the angle of their neighbouring projection. An invalid frame
// (zeros, image key 3) may follow the projection ceil(P/2) - 1. The beam is
//   I0(f) = I0 (1 + d (f - fb) / (fa - fb)),
// f the index in frame order, fb and fa the mean indices of the flat series
// before and after: a linear drift that flats interpolated linearly by frame
// index between the two series' means remove exactly. Without flats after,
// I0(f) = I0.
//
// Layouts (frames x rows x columns, row 0 first, in the sample type's byte
// order, little-endian unless big-endian is asked for):
// - Data Exchange (HDF5): /exchange/data (projections), /exchange/data_white
//   (flats), /exchange/data_dark (darks; a series of no frames is left out),
//   /exchange/theta (float64 projection angles, attribute units "degrees" or
//   "radians"), and the string /implements = "exchange". With a flats file
//   (darks file) its frames go to that file's /entry/data/data instead of
//   /exchange/data_white (data_dark).
// - Plain HDF5, a layout that is not recognised: the frames in frame order at
//   /entry/instrument/imaging/data, linked softly from /entry/imaging/data,
//   their image keys (int32, as NXtomo's) at /entry/instrument/imaging/image_key
//   and their angles (float64, units "degrees" or "radians") at
//   /entry/imaging/gts_theta_value; no NXtomo definition.
// - NeXus NXtomo (HDF5): group ENTRY (NX_class "NXentry", intermediate groups
//   created plain) with the string dataset definition = "NXtomo";
//   ENTRY/instrument (NXinstrument)/detector (NXdetector) with data (every
//   frame in frame order) and image_key (int32: 0 projection, 1 flat, 2 dark,
//   3 invalid); ENTRY/sample (NXsample) with rotation_angle (float64 per
//   frame, units "degree" or "rad"); ENTRY/data (NXdata, signal "data") with
//   soft links data, image_key and rotation_angle to those datasets.
// - Strings, attributes included, are scalar variable-length UTF-8 strings.
//   Datasets of frames are contiguous, or chunked one frame per chunk
//   (1 x R x N) when chunked or compressed (deflate, or the filter plugins
//   lz4 32004, bzip2 307, blosc 32001, which the library loads at run time).
// - TIFF stack: OUT/proj_K.tif, OUT/flat_K.tif, OUT/dark_K.tif with K = 0, 1,
//   ... unpadded, each one page of R rows by N columns. Multi-page TIFF:
//   OUT/proj.tif, OUT/flat.tif, OUT/dark.tif, one page per frame (no file for
//   a series of no frames; BigTIFF where a file would pass 4 GiB). Pages are
//   uncompressed, one strip, one sample per pixel, SampleFormat 1 (unsigned)
//   or 3 (IEEE float) with BitsPerSample 8, 16, 32 or 64, MinIsBlack.
//
// Angle files: text, one angle in degrees per line ("%.17g"), of each
// projection in order, or of each frame in frame order.
//
// Output: an HDF5 file is written under a hidden temporary name beside OUT and
// renamed to OUT when complete; so are the flats and darks files and the angle
// files, all renamed once all are complete. TIFF files are written into a hidden
// temporary directory inside OUT (created if missing) and renamed into OUT
// when all are complete. On failure the temporaries are removed (and OUT, if
// this run created it), so nothing appears under a final name. One frame is
// held in memory at a time.

#include "phantom_scan.h"

#include <hdf5.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <new>
#include <random>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

// Classic TIFF addresses its bytes with 32-bit offsets; a multi-page file
// whose pages and directories could pass that is written as BigTIFF. Each page
// costs its samples plus well under this many bytes of directory.
static const double kTiffLimit = 4294967295.0;
static const double kTiffPageOverhead = 512;

static const double kPi = 3.141592653589793;

// Defects keep kDefectEdge columns from the ends of a row and kDefectGap
// columns between one another.
static const int kDefectEdge = 2;
static const int kDefectGap = 6;
static const int kMaxClusterWidth = 6;

// Draws of a defect's column before the row counts as too full for it.
static const int kDefectTries = 100000;

// The third word of the defect generator's seed sequence.
static const uint32_t kDefectStream = 0x64656665;  // "defe"

// A float sample's saturation count, that of a 16-bit detector.
static const double kFloatSaturation = 65535;

// The scan being written, with its frames in frame order.
static const PhantomScan* S;
static std::vector<PhantomFrame> frames;

// Per pixel of a frame, R x N values, row 0 first: the gain g, the dark level
// D, this frame's counts, and its stored samples (native byte order).
static std::vector<double> gain, darkLevel, counts;
static std::vector<unsigned char> samples;
// The ellipses each detector row sees, and one row of line integrals.
static std::vector<std::vector<Ellipse>> slices;
static std::vector<double> integrals;
static std::mt19937_64 rng;
// Per projection: the jitter e_m of its angle, degrees.
static std::vector<double> jitter;

// The defective pixels (at r N + k), and each frame's mean counts before
// the noise, which some defects need.
enum class DefectKind { stripe, partial, nonlinear, dead, saturated };
struct DefectPixel {
    size_t at;
    DefectKind kind;
    double size;        // delta of a gain 1 + delta, or eps of a power 1 + eps
    int first, last;    // partial: the projections with the gain moved
};
static std::vector<DefectPixel> defective;
static std::vector<double> means;


// The outputs: the temporaries (files or a directory) being filled, with the
// final name of each, and whether this run created the TIFF directory OUT.
static std::vector<std::pair<std::string, std::string>> partials;
static bool createdOut;

[[noreturn]] static void Fail(const std::string& what)
{
    std::error_code ec;
    for (const auto& p : partials)
        std::filesystem::remove_all(p.first, ec);
    if (createdOut)
        std::filesystem::remove(S->out, ec);
    std::fprintf(stderr, "prjphantom: %s\n", what.c_str());
    // Not exit: the HDF5 library's exit handler would flush the failed file
    // once more, and it may crash doing so. Standard error is unbuffered and
    // nothing else is pending.
    std::_Exit(1);
}

[[noreturn]] static void WriteFailed(const std::string& reason)
{
    Fail("cannot write scan '" + S->out + "': " + reason);
}

static size_t SampleSize(SampleType t)
{
    switch (t) {
    case SampleType::UInt8: return 1;
    case SampleType::UInt16: return 2;
    case SampleType::UInt32:
    case SampleType::Float32: return 4;
    case SampleType::Float64: return 8;
    }
    return 0;
}

static size_t FramePixels() { return static_cast<size_t>(S->rows) * S->detector.N; }

int Projections(const PhantomScan& s) { return (s.fullTurn ? 2 * s.M : s.M) + s.endFrame; }

std::vector<PhantomFrame> FrameOrder(const PhantomScan& s)
{
    const int P = Projections(s);
    const int half = (P + 1) / 2;  // the projections before the invalid frame
    std::vector<PhantomFrame> order;
    for (int n = 0; n < s.darks; ++n)
        order.push_back(PhantomFrame{kDark, n, 0, s.i0});
    for (int n = 0; n < s.flats; ++n)
        order.push_back(PhantomFrame{kFlat, n, 0, s.i0});
    for (int m = 0; m < P; ++m) {
        order.push_back(PhantomFrame{kProjection, m, m, s.i0});
        if (s.invalidFrame && m == half - 1)
            order.push_back(PhantomFrame{kInvalid, 0, m, s.i0});
    }
    if (s.flatsAfter) {
        const double fb = s.darks + (s.flats - 1) / 2.0;
        const double fa = order.size() + (s.flats - 1) / 2.0;
        for (int n = 0; n < s.flats; ++n)
            order.push_back(PhantomFrame{kFlat, s.flats + n, P - 1, s.i0});
        for (size_t f = 0; f < order.size(); ++f)
            order[f].beam = s.i0 * (1 + s.drift * (f - fb) / (fa - fb));
    }
    return order;
}

// Uniform on [0, 1): the top 53 bits of the generator.
static double Uniform() { return static_cast<double>(rng() >> 11) * 0x1p-53; }

int DefectColumns(const Defects& d)
{
    const int singles = d.stripes + d.partial + d.nonlinear + d.dead + d.saturated;
    return singles * (1 + kDefectGap) + d.clusters * (kMaxClusterWidth + kDefectGap);
}

// The defective pixels of every row (rules at the top).
static void PlaceDefects()
{
    const Defects& d = S->defects;
    const int N = S->detector.N, P = Projections(*S);
    std::seed_seq sequence{static_cast<uint32_t>(S->seed), static_cast<uint32_t>(S->seed >> 32), kDefectStream};
    std::mt19937_64 generator(sequence);
    const auto uniform = [&generator]() { return static_cast<double>(generator() >> 11) * 0x1p-53; };
    const auto sized = [&uniform](double low, double high) {
        const double sign = uniform() < 0.5 ? -1 : 1;
        return sign * (low + (high - low) * uniform());
    };
    std::vector<char> taken(N);
    for (int r = 0; r < S->rows; ++r) {
        std::fill(taken.begin(), taken.end(), 0);
        // The first column of `width` free ones, which with the gaps about
        // them are taken from then on.
        const auto place = [&](int width) {
            for (int tries = 0;; ++tries) {
                if (tries == kDefectTries)
                    Fail("the defects do not fit apart in a row of " + std::to_string(N) + " pixels: ask for fewer");
                const int c = kDefectEdge + static_cast<int>(uniform() * (N - 2 * kDefectEdge - width + 1));
                if (std::find(taken.begin() + c, taken.begin() + c + width, 1) != taken.begin() + c + width)
                    continue;
                std::fill(taken.begin() + std::max(0, c - kDefectGap), taken.begin() + std::min(N, c + width + kDefectGap), 1);
                return static_cast<size_t>(r) * N + c;
            }
        };
        for (int n = 0; n < d.stripes; ++n) {
            const size_t at = place(1);
            defective.push_back({at, DefectKind::stripe, sized(0.01, 0.05), 0, 0});
        }
        for (int n = 0; n < d.partial; ++n) {
            const size_t at = place(1);
            const double delta = sized(0.02, 0.1);
            const int length = std::max(1, P / 10 + static_cast<int>(uniform() * (P / 2 - P / 10 + 1)));
            const int first = static_cast<int>(uniform() * (P - length + 1));
            defective.push_back({at, DefectKind::partial, delta, first, first + length - 1});
        }
        for (int n = 0; n < d.nonlinear; ++n) {
            const size_t at = place(1);
            defective.push_back({at, DefectKind::nonlinear, sized(0.02, 0.1), 0, 0});
        }
        for (int n = 0; n < d.dead; ++n)
            defective.push_back({place(1), DefectKind::dead, 0, 0, 0});
        for (int n = 0; n < d.saturated; ++n)
            defective.push_back({place(1), DefectKind::saturated, 0, 0, 0});
        for (int n = 0; n < d.clusters; ++n) {
            const int width = 2 + static_cast<int>(uniform() * (kMaxClusterWidth - 1));
            const size_t at = place(width);
            const double delta = sized(0.01, 0.05);
            for (int j = 0; j < width; ++j)
                defective.push_back({at + j, DefectKind::stripe, delta, 0, 0});
        }
    }
}

// The largest count a pixel can read.
static double SaturationCount()
{
    switch (S->type) {
    case SampleType::UInt8: return std::numeric_limits<uint8_t>::max();
    case SampleType::UInt16: return std::numeric_limits<uint16_t>::max();
    case SampleType::UInt32: return std::numeric_limits<uint32_t>::max();
    case SampleType::Float32:
    case SampleType::Float64: return kFloatSaturation;
    }
    return 0;
}

// The defects applied to the counts of frame f, whose means are in `means`.
static void ApplyDefects(const PhantomFrame& f)
{
    for (const DefectPixel& p : defective) {
        const double D = darkLevel[p.at], lambda = means[p.at];
        double& c = counts[p.at];
        switch (p.kind) {
        case DefectKind::stripe:
            if (f.key == kProjection)
                c = D + (c - D) * (1 + p.size);
            break;
        case DefectKind::partial:
            if (f.key == kProjection && f.m >= p.first && f.m <= p.last)
                c = D + (c - D) * (1 + p.size);
            break;
        case DefectKind::nonlinear:
            if (f.key != kDark)
                c = D + (c - D) * std::pow((lambda - D) / S->i0, p.size);
            break;
        case DefectKind::dead:
            if (f.key != kDark)
                c = D + (c - lambda) * std::sqrt(D / lambda);
            break;
        case DefectKind::saturated:
            c = SaturationCount();
            break;
        }
    }
}

// The samples of one type: counts rounded to nearest and clamped for
// integers, rounded to the precision for floats.
template <typename T>
static void Store(const double* values, size_t n, unsigned char* bytes)
{
    for (size_t i = 0; i < n; ++i) {
        T v;
        if constexpr (std::is_integral_v<T>)
            v = static_cast<T>(std::clamp(std::round(values[i]), 0.0,
                                          static_cast<double>(std::numeric_limits<T>::max())));
        else
            v = static_cast<T>(values[i]);
        std::memcpy(bytes + i * sizeof(T), &v, sizeof(T));
    }
}

// counts and samples for frame f.
static void MakeFrame(const PhantomFrame& f)
{
    const int N = S->detector.N;
    const size_t n = FramePixels();
    if (f.key == kInvalid) {
        std::fill(counts.begin(), counts.end(), 0.0);
    } else {
        const double theta = ProjectionAngle(S->ra, f.m, S->M) + jitter[f.m] * (kPi / 180);
        for (int r = 0; r < S->rows; ++r) {
            const size_t at = static_cast<size_t>(r) * N;
            if (f.key == kProjection)
                ProjectSlice(slices[r], theta, S->detector, integrals.data());
            for (int k = 0; k < N; ++k) {
                const double beam = f.key == kDark ? 0.0 : gain[at + k] * f.beam;
                // g I0(f) exp(-p) + D, with p = 0 for a flat.
                counts[at + k] = (f.key == kProjection ? beam * std::exp(-integrals[k]) : beam) +
                                 darkLevel[at + k];
            }
        }
        if (!defective.empty())
            means = counts;
        if (S->poisson)
            for (double& c : counts)
                c = static_cast<double>(std::poisson_distribution<long long>(c)(rng));
        ApplyDefects(f);
    }
    switch (S->type) {
    case SampleType::UInt8: Store<uint8_t>(counts.data(), n, samples.data()); break;
    case SampleType::UInt16: Store<uint16_t>(counts.data(), n, samples.data()); break;
    case SampleType::UInt32: Store<uint32_t>(counts.data(), n, samples.data()); break;
    case SampleType::Float32: Store<float>(counts.data(), n, samples.data()); break;
    case SampleType::Float64: Store<double>(counts.data(), n, samples.data()); break;
    }
}

// The angle that frame f carries, in the unit it is stored in.
static double StoredAngle(const PhantomFrame& f, bool radians)
{
    return radians ? ProjectionAngle(S->ra, f.m, S->M) + jitter[f.m] * (kPi / 180)
                   : S->ra + f.m * 180.0 / S->M + jitter[f.m];
}

// A hidden temporary name of this process beside the output `out`, created
// here so that a missing or read-only directory is reported plainly; renamed
// to `out` by Finish.
static std::string Temporary(const std::string& out, const char* what)
{
    const std::filesystem::path path(out);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        Fail(std::string("cannot write ") + what + " '" + out + "': " + std::strerror(EISDIR));
    const std::filesystem::path dir = path.parent_path().empty() ? "." : path.parent_path();
    const std::string temporary =
        (dir / ("." + path.filename().string() + "." + std::to_string(getpid()) + ".partial")).string();
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0)
        Fail(std::string("cannot create ") + what + " '" + out + "': " + std::strerror(errno));
    close(fd);
    partials.emplace_back(temporary, out);
    return temporary;
}

// Renames every temporary file to its final name, then removes the
// temporary directories (those without one).
static void Finish()
{
    for (const auto& p : partials)
        if (!p.second.empty() && std::rename(p.first.c_str(), p.second.c_str()) != 0)
            Fail("cannot rename '" + p.first + "' to '" + p.second + "': " + std::strerror(errno));
    std::error_code ec;
    for (const auto& p : partials)
        if (p.second.empty())
            std::filesystem::remove(p.first, ec);
    partials.clear();
    createdOut = false;  // OUT now holds the scan
}

// The angle of each given frame, in degrees, one a line.
static void WriteAngleFile(const std::string& out, const std::vector<PhantomFrame>& of)
{
    const std::string temporary = Temporary(out, "angle file");
    FILE* file = std::fopen(temporary.c_str(), "w");
    bool ok = file != nullptr;
    for (size_t k = 0; ok && k < of.size(); ++k)
        ok = std::fprintf(file, "%.17g\n", StoredAngle(of[k], false)) > 0;
    if (file && std::fclose(file) != 0)
        ok = false;
    if (!ok)
        Fail("cannot write angle file '" + out + "': " + std::strerror(errno));
}

// ---------------------------------------------------------------------------
// HDF5. Every call is checked; the library's own error printing is off, and a
// failure is reported with the description of its innermost error.

// The innermost error's description; of a failed system call only the
// system's message, which the description quotes as "error message = '...'".
static herr_t InnermostError(unsigned n, const H5E_error2_t* e, void* text)
{
    if (n > 0 || !e->desc)
        return 0;
    std::string desc = e->desc;
    const std::string quote = "error message = '";
    const size_t at = desc.find(quote), end = desc.find('\'', at + quote.size());
    if (at != std::string::npos && end != std::string::npos)
        desc = desc.substr(at + quote.size(), end - at - quote.size());
    *static_cast<std::string*>(text) = desc;
    return 0;
}

[[noreturn]] static void Hdf5Failed(const char* call)
{
    std::string reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, InnermostError, &reason);
    WriteFailed(std::string(call) + (reason.empty() ? "" : ": " + reason));
}

static hid_t Id(hid_t id, const char* call)
{
    if (id < 0)
        Hdf5Failed(call);
    return id;
}

static void Ok(herr_t status, const char* call)
{
    if (status < 0)
        Hdf5Failed(call);
}

struct Filter {
    const char* name;
    H5Z_filter_t id;
    std::vector<unsigned> parameters;
};

// The filters by name: deflate at level 6; bzip2 with 900 kB blocks; blosc's
// first four parameters are filled in by the filter, then level 5, byte
// shuffle, the blosclz compressor; lz4 with its default block size.
static const Filter kFilters[] = {
    {"deflate", H5Z_FILTER_DEFLATE, {6}},
    {"lz4", 32004, {}},
    {"bzip2", 307, {9}},
    {"blosc", 32001, {0, 0, 0, 0, 5, 1, 0}},
};

bool KnownFilter(const std::string& name)
{
    for (const Filter& f : kFilters)
        if (name == f.name)
            return true;
    return false;
}

static const Filter* ChosenFilter()
{
    for (const Filter& f : kFilters)
        if (S->compress == f.name)
            return &f;
    return nullptr;
}

// The file type of the samples, in the requested byte order, and the native
// type they are held in.
static hid_t SampleFileType()
{
    const bool be = S->bigEndian;
    switch (S->type) {
    case SampleType::UInt8: return be ? H5T_STD_U8BE : H5T_STD_U8LE;
    case SampleType::UInt16: return be ? H5T_STD_U16BE : H5T_STD_U16LE;
    case SampleType::UInt32: return be ? H5T_STD_U32BE : H5T_STD_U32LE;
    case SampleType::Float32: return be ? H5T_IEEE_F32BE : H5T_IEEE_F32LE;
    case SampleType::Float64: return be ? H5T_IEEE_F64BE : H5T_IEEE_F64LE;
    }
    return -1;
}

static hid_t SampleMemoryType()
{
    switch (S->type) {
    case SampleType::UInt8: return H5T_NATIVE_UINT8;
    case SampleType::UInt16: return H5T_NATIVE_UINT16;
    case SampleType::UInt32: return H5T_NATIVE_UINT32;
    case SampleType::Float32: return H5T_NATIVE_FLOAT;
    case SampleType::Float64: return H5T_NATIVE_DOUBLE;
    }
    return -1;
}

static hid_t StringType()
{
    const hid_t type = Id(H5Tcopy(H5T_C_S1), "H5Tcopy");
    Ok(H5Tset_size(type, H5T_VARIABLE), "H5Tset_size");
    Ok(H5Tset_cset(type, H5T_CSET_UTF8), "H5Tset_cset");
    return type;
}

static void StringAttribute(hid_t object, const char* name, const char* value)
{
    const hid_t type = StringType(), space = Id(H5Screate(H5S_SCALAR), "H5Screate");
    const hid_t attribute = Id(H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT), "H5Acreate2");
    Ok(H5Awrite(attribute, type, &value), "H5Awrite");
    Ok(H5Aclose(attribute), "H5Aclose");
    Ok(H5Sclose(space), "H5Sclose");
    Ok(H5Tclose(type), "H5Tclose");
}

static void StringDataset(hid_t parent, const char* name, const char* value)
{
    const hid_t type = StringType(), space = Id(H5Screate(H5S_SCALAR), "H5Screate");
    const hid_t set = Id(H5Dcreate2(parent, name, type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "H5Dcreate2");
    Ok(H5Dwrite(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value), "H5Dwrite");
    Ok(H5Dclose(set), "H5Dclose");
    Ok(H5Sclose(space), "H5Sclose");
    Ok(H5Tclose(type), "H5Tclose");
}

// A group at path (intermediate groups created), with its NeXus class if any.
static hid_t Group(hid_t parent, const std::string& path, const char* nxClass)
{
    const hid_t links = Id(H5Pcreate(H5P_LINK_CREATE), "H5Pcreate");
    Ok(H5Pset_create_intermediate_group(links, 1), "H5Pset_create_intermediate_group");
    const hid_t group = Id(H5Gcreate2(parent, path.c_str(), links, H5P_DEFAULT, H5P_DEFAULT), "H5Gcreate2");
    Ok(H5Pclose(links), "H5Pclose");
    if (nxClass)
        StringAttribute(group, "NX_class", nxClass);
    return group;
}

// A one-dimensional dataset of n values, written at once.
static hid_t Vector(hid_t parent, const char* name, hid_t fileType, hid_t memoryType,
                    const void* values, hsize_t n)
{
    const hid_t space = Id(H5Screate_simple(1, &n, nullptr), "H5Screate_simple");
    const hid_t set = Id(H5Dcreate2(parent, name, fileType, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "H5Dcreate2");
    Ok(H5Dwrite(set, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values), "H5Dwrite");
    Ok(H5Sclose(space), "H5Sclose");
    return set;
}

// The angles of the given frames, with their units.
static void Angles(hid_t parent, const char* name, const std::vector<PhantomFrame>& of, const char* units[2])
{
    std::vector<double> angles;
    for (const PhantomFrame& f : of)
        angles.push_back(StoredAngle(f, S->radians));
    const hid_t set = Vector(parent, name, S->bigEndian ? H5T_IEEE_F64BE : H5T_IEEE_F64LE,
                             H5T_NATIVE_DOUBLE, angles.data(), angles.size());
    StringAttribute(set, "units", units[S->radians]);
    Ok(H5Dclose(set), "H5Dclose");
}

// A dataset of `count` frames, contiguous or one frame per chunk.
static hid_t FrameDataset(hid_t parent, const char* name, hsize_t count)
{
    const hsize_t dims[3] = {count, static_cast<hsize_t>(S->rows), static_cast<hsize_t>(S->detector.N)};
    const hsize_t chunk[3] = {1, dims[1], dims[2]};
    const hid_t space = Id(H5Screate_simple(3, dims, nullptr), "H5Screate_simple");
    const hid_t create = Id(H5Pcreate(H5P_DATASET_CREATE), "H5Pcreate");
    Ok(H5Pset_fill_time(create, H5D_FILL_TIME_NEVER), "H5Pset_fill_time");  // every sample is written
    const Filter* filter = ChosenFilter();
    if (S->chunked || filter)
        Ok(H5Pset_chunk(create, 3, chunk), "H5Pset_chunk");
    // Optional, as deflate always is: a chunk that a filter cannot shrink is
    // stored as it is (blosc refuses such chunks).
    if (filter)
        Ok(H5Pset_filter(create, filter->id, H5Z_FLAG_OPTIONAL, filter->parameters.size(),
                         filter->parameters.data()),
           "H5Pset_filter");
    const hid_t set = Id(H5Dcreate2(parent, name, SampleFileType(), space, H5P_DEFAULT, create, H5P_DEFAULT), "H5Dcreate2");
    Ok(H5Pclose(create), "H5Pclose");
    Ok(H5Sclose(space), "H5Sclose");
    return set;
}

// Writes the frames into their datasets: frame f goes to set[f] at position
// at[f], one frame at a time.
static void WriteFrames(const std::vector<hid_t>& set, const std::vector<hsize_t>& at)
{
    const hsize_t one[3] = {1, static_cast<hsize_t>(S->rows), static_cast<hsize_t>(S->detector.N)};
    const hid_t memory = Id(H5Screate_simple(3, one, nullptr), "H5Screate_simple");
    for (size_t f = 0; f < frames.size(); ++f) {
        MakeFrame(frames[f]);
        const hsize_t start[3] = {at[f], 0, 0};
        const hid_t space = Id(H5Dget_space(set[f]), "H5Dget_space");
        Ok(H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, one, nullptr), "H5Sselect_hyperslab");
        Ok(H5Dwrite(set[f], SampleMemoryType(), memory, space, H5P_DEFAULT, samples.data()), "H5Dwrite");
        Ok(H5Sclose(space), "H5Sclose");
    }
    Ok(H5Sclose(memory), "H5Sclose");
}

// A file of flats or darks: /entry/data/data, frames of one kind.
static hid_t ReferenceFile(const std::string& out, hsize_t count, hid_t& set)
{
    const hid_t file = Id(H5Fcreate(Temporary(out, "reference file").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), "H5Fcreate");
    const hid_t group = Group(file, "entry/data", nullptr);
    set = FrameDataset(group, "data", count);
    Ok(H5Gclose(group), "H5Gclose");
    return file;
}

static void WriteDataExchange(hid_t file)
{
    StringDataset(file, "implements", "exchange");
    const hid_t exchange = Group(file, "exchange", nullptr);
    const char* names[3] = {"data", "data_white", "data_dark"};  // by image key
    const std::string* apart[3] = {nullptr, &S->flatsFile, &S->darksFile};
    hsize_t count[3] = {0, 0, 0};
    std::vector<PhantomFrame> projections;
    for (const PhantomFrame& f : frames) {
        ++count[f.key];
        if (f.key == kProjection)
            projections.push_back(f);
    }
    hid_t sets[3], files[3] = {-1, -1, -1};
    for (int key = 0; key < 3; ++key) {
        if (apart[key] && !apart[key]->empty())
            files[key] = ReferenceFile(*apart[key], count[key], sets[key]);
        else
            sets[key] = count[key] ? FrameDataset(exchange, names[key], count[key]) : -1;
    }
    std::vector<hid_t> set;
    std::vector<hsize_t> at;
    for (const PhantomFrame& f : frames) {
        set.push_back(sets[f.key]);
        at.push_back(f.index);
    }
    WriteFrames(set, at);
    for (int key = 0; key < 3; ++key) {
        if (sets[key] >= 0)
            Ok(H5Dclose(sets[key]), "H5Dclose");
        if (files[key] >= 0)
            Ok(H5Fclose(files[key]), "H5Fclose");
    }
    const char* units[2] = {"degrees", "radians"};
    Angles(exchange, "theta", projections, units);
    Ok(H5Gclose(exchange), "H5Gclose");
}

// Every frame in frame order in `group`/data with its image keys beside it;
// their angles are written by the caller.
static void KeyedFrames(hid_t group)
{
    const hid_t data = FrameDataset(group, "data", frames.size());
    std::vector<hsize_t> at;
    std::vector<int32_t> keys;
    for (size_t f = 0; f < frames.size(); ++f) {
        at.push_back(f);
        keys.push_back(frames[f].key);
    }
    WriteFrames(std::vector<hid_t>(frames.size(), data), at);
    Ok(H5Dclose(data), "H5Dclose");
    Ok(H5Dclose(Vector(group, "image_key", S->bigEndian ? H5T_STD_I32BE : H5T_STD_I32LE,
                       H5T_NATIVE_INT32, keys.data(), keys.size())),
       "H5Dclose");
}

static void WriteNXtomo(hid_t file)
{
    const std::string entry = S->entry;
    const hid_t group = Group(file, entry, "NXentry");
    StringDataset(group, "definition", "NXtomo");
    const hid_t instrument = Group(group, "instrument", "NXinstrument");
    const hid_t detector = Group(instrument, "detector", "NXdetector");
    KeyedFrames(detector);
    Ok(H5Gclose(detector), "H5Gclose");
    Ok(H5Gclose(instrument), "H5Gclose");

    const hid_t sample = Group(group, "sample", "NXsample");
    const char* units[2] = {"degree", "rad"};
    Angles(sample, "rotation_angle", frames, units);
    Ok(H5Gclose(sample), "H5Gclose");

    const hid_t plot = Group(group, "data", "NXdata");
    StringAttribute(plot, "signal", "data");
    const std::string links[3][2] = {{"data", "instrument/detector/data"},
                                     {"image_key", "instrument/detector/image_key"},
                                     {"rotation_angle", "sample/rotation_angle"}};
    for (const auto& link : links)
        Ok(H5Lcreate_soft(("/" + entry + "/" + link[1]).c_str(), plot, link[0].c_str(), H5P_DEFAULT, H5P_DEFAULT),
           "H5Lcreate_soft");
    Ok(H5Gclose(plot), "H5Gclose");
    Ok(H5Gclose(group), "H5Gclose");
}

static void WritePlain(hid_t file)
{
    const hid_t imaging = Group(file, "entry/instrument/imaging", nullptr);
    KeyedFrames(imaging);
    Ok(H5Gclose(imaging), "H5Gclose");
    const hid_t plot = Group(file, "entry/imaging", nullptr);
    Ok(H5Lcreate_soft("/entry/instrument/imaging/data", plot, "data", H5P_DEFAULT, H5P_DEFAULT), "H5Lcreate_soft");
    const char* units[2] = {"degrees", "radians"};
    Angles(plot, "gts_theta_value", frames, units);
    Ok(H5Gclose(plot), "H5Gclose");
}

static void WriteHdf5()
{
    const Filter* filter = ChosenFilter();
    if (filter && H5Zfilter_avail(filter->id) <= 0)
        Fail(std::string("the HDF5 filter ") + filter->name + " (" + std::to_string(filter->id) +
             ") is not available: install it (Debian: hdf5-filter-plugin, "
             "hdf5-filter-plugin-blosc-serial) or set HDF5_PLUGIN_PATH");
    const hid_t file = Id(H5Fcreate(Temporary(S->out, "scan").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), "H5Fcreate");
    if (S->format == ScanFormat::DataExchange)
        WriteDataExchange(file);
    else if (S->format == ScanFormat::NXtomo)
        WriteNXtomo(file);
    else
        WritePlain(file);
    Ok(H5Fclose(file), "H5Fclose");
}

// ---------------------------------------------------------------------------
// TIFF, through libtiff: its last error message is kept for the report.

static std::string tiffError = "write error";

// libtiff's message, with the system's reason when a system call set errno
// (cleared before each libtiff call).
static void KeepTiffError(const char*, const char* format, va_list ap)
{
    const int error = errno;
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    tiffError = text;
    if (error)
        tiffError += std::string(": ") + std::strerror(error);
}

static TIFF* OpenTiff(const std::string& path, size_t pages)
{
    const double bytes = pages * (FramePixels() * static_cast<double>(SampleSize(S->type)) + kTiffPageOverhead);
    const std::string mode = std::string("w") + (S->bigEndian ? "b" : "l") + (bytes > kTiffLimit ? "8" : "");
    errno = 0;
    TIFF* tiff = TIFFOpen(path.c_str(), mode.c_str());
    if (!tiff)
        WriteFailed(tiffError);
    return tiff;
}

// The current frame's samples as the next page of tiff.
static void WritePage(TIFF* tiff)
{
    const bool isFloat = S->type == SampleType::Float32 || S->type == SampleType::Float64;
    const int ok =
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(S->detector.N)) &&
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(S->rows)) &&
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(8 * SampleSize(S->type))) &&
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, isFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT) &&
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(S->rows));
    // libtiff swaps the samples into the file's byte order in place.
    errno = 0;
    if (!ok || TIFFWriteEncodedStrip(tiff, 0, samples.data(), samples.size()) < 0 ||
        !TIFFWriteDirectory(tiff))
        WriteFailed(tiffError);
}

static void WriteTiffs()
{
    if (mkdir(S->out.c_str(), 0777) == 0) {
        createdOut = true;
    } else {
        std::error_code ec;
        if (errno != EEXIST || !std::filesystem::is_directory(S->out, ec))
            Fail("cannot create scan '" + S->out + "': " +
                 std::strerror(errno == EEXIST ? ENOTDIR : errno));
    }
    std::string temporary = S->out + "/.prjphantom-XXXXXX";
    if (!mkdtemp(&temporary[0]))
        Fail("cannot create scan '" + S->out + "': " + std::strerror(errno));
    const std::string partial = temporary;
    partials.emplace_back(partial, "");

    const char* series[3] = {"proj", "flat", "dark"};  // by image key
    std::vector<std::string> names;
    if (S->format == ScanFormat::TiffMulti) {
        size_t count[3] = {0, 0, 0};
        for (const PhantomFrame& f : frames)
            ++count[f.key];
        TIFF* files[3] = {nullptr, nullptr, nullptr};
        for (int key = 0; key < 3; ++key)
            if (count[key]) {
                names.push_back(std::string(series[key]) + ".tif");
                files[key] = OpenTiff(partial + "/" + names.back(), count[key]);
            }
        for (const PhantomFrame& f : frames) {
            MakeFrame(f);
            WritePage(files[f.key]);
        }
        for (TIFF* file : files)
            if (file)
                TIFFClose(file);
    } else {
        for (const PhantomFrame& f : frames) {
            names.push_back(std::string(series[f.key]) + "_" + std::to_string(f.index) + ".tif");
            TIFF* file = OpenTiff(partial + "/" + names.back(), 1);
            MakeFrame(f);
            WritePage(file);
            TIFFClose(file);
        }
    }
    // The files move into OUT when all outputs are complete; then the
    // temporary directory is removed.
    for (const std::string& name : names)
        partials.emplace_back(partial + "/" + name, S->out + "/" + name);
}

void WriteScan(const PhantomScan& scan)
{
    S = &scan;
    try {
        frames = FrameOrder(scan);
        const size_t n = FramePixels();
        gain.resize(n);
        darkLevel.resize(n);
        counts.resize(n);
        samples.resize(n * SampleSize(scan.type));
        integrals.resize(scan.detector.N);
        for (int r = 0; r < scan.rows; ++r)
            slices.push_back(SliceEllipses(scan.phantom, r, scan.rows));
        rng.seed(scan.seed);
        for (double& g : gain)
            g = 0.9 + 0.2 * Uniform();
        for (double& d : darkLevel)
            d = 90 + 20 * Uniform();
        PlaceDefects();

        // The jitter from its own generator, seeded next to the first.
        std::mt19937_64 jitterRng(scan.seed + 1);
        jitter.assign(Projections(scan), 0.0);
        if (scan.jitter > 0)
            for (double& e : jitter)
                e = scan.jitter * (180.0 / scan.M) * (2 * (static_cast<double>(jitterRng() >> 11) * 0x1p-53) - 1);

        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        TIFFSetErrorHandler(KeepTiffError);
        TIFFSetWarningHandler(nullptr);
        if (!scan.anglesFile.empty()) {
            std::vector<PhantomFrame> projections;
            for (const PhantomFrame& f : frames)
                if (f.key == kProjection)
                    projections.push_back(f);
            WriteAngleFile(scan.anglesFile, projections);
        }
        if (!scan.frameAnglesFile.empty())
            WriteAngleFile(scan.frameAnglesFile, frames);
        if (scan.format == ScanFormat::Tiff || scan.format == ScanFormat::TiffMulti)
            WriteTiffs();
        else
            WriteHdf5();
        Finish();
    } catch (const std::bad_alloc&) {
        Fail("not enough memory for a scan of " + std::to_string(scan.rows) + " x " +
             std::to_string(scan.detector.N) + " pixels");
    }
}
