// prjsino: turns a raw parallel-beam scan into sinograms, one per detector
// row, in the reconstructor's input format.
//
//   prjsino [options] SCAN OUTDIR
//   prjsino --info [options] SCAN
//
// SCAN is an HDF5 file (Data Exchange or NeXus NXtomo, or datasets named by
// --data, --image-key and --rotation-angle), a multi-page TIFF, or a pattern
// of TIFF files (expanded here, in natural order). OUTDIR receives
// sino_RRRR.sg for every selected detector row R (zero-padded to the width of
// the detector's last row, so that lexical and natural order are row order);
// "-" writes the selected rows' sinograms to standard output one after another,
// in row order (each delimited by its header line).
//
// Normalisation: each sample of a projection becomes the line integral
//   p = -ln((I - D) / (F - D)),
// I the projection's count, D and F the per-pixel mean (or median) of the
// darks and of the flats. Flats taken in several series (before and after the
// projections) are interpolated linearly by frame index between the series'
// mean frame indices. A ratio below the floor --clip (not positive included),
// not a finite number, or of a pixel whose F - D is not positive, is set to
// the floor, and the samples so clamped are counted and reported: the output
// holds finite numbers only. --raw takes the frames as the ratio itself,
// --no-log as p itself (non-finite values set to 0, counted).
//
// Angles: one half turn of M evenly spaced projections (without the frame at
// its end, which mirrors its first) makes the sinogram, whose rows lie at
// ra + m 180/M degrees; uneven angles are resampled onto that grid by
// interpolation in angle (halfturn.h). A full turn gives both half turns,
// combined about the rotation axis into one sinogram of N' columns
// (fullturn.h). The header line of each sinogram is "N M ra=RA row=R" or
// "N M ra=RA row=R axis=C": N columns, M projections, the angle of its first
// row (%.17g), its detector row, and the column C of the rotation axis
// (%.3f): of a full turn, the axis both half turns were combined about, in
// the combined sinogram's columns; else where the scan holds the frame half a
// turn from the first, the axis about which that frame's row is the mirror
// image of the first's (left out for a row that does not determine it). The
// reconstructor reads N and M and passes over the rest. Then M rows of N
// little-endian binary64 values.
//
// --rings removes the stripes of every sinogram (the method of prjrings, its
// defaults) once the pass has written it whole, before its rename; to
// standard output each sinogram is held whole and corrected before it goes.
//
// One pass over the kept projections serves every selected row: a block of
// consecutive sinogram rows is made from its projections, read and
// normalised, then each detector row's part of it is written to that row's
// file at its place, opening one file at a time. A full turn first reads a
// few pairs of projections on a few rows to find the axis.
// Memory: the block (--memory, default 256 MiB, at least one projection of
// the selected rows), the dark mean and the flat means of the selected rows,
// the two frames that give the axes (their selected rows), and each HDF5
// dataset's chunk cache (the chunks one frame touches, at most half the
// budget); medians also hold every frame of a flat series, for as many rows
// at a time as fit the budget. Several rows on standard output (or one with
// --rings) are held whole instead of the block (rows x M x N values), one
// projection in flight.
//
// Files are written under hidden temporary names in OUTDIR
// (.NAME.part-HOST-PID) and renamed once all are whole; a failed or
// interrupted run removes them, and a run in OUTDIR those that killed runs of
// this host left. Every final name is checked before the pass (a directory
// in the way fails the run at once); a rename that fails all the same leaves
// the sinograms renamed before it, which are whole, and names the rows not
// written.
//
// Exit status: 0 on success; 1 with one message on standard error when the
// scan cannot be read or does not make a sinogram, or an output cannot be
// written (no sinogram of the run is left, unless its renames had begun);
// 2 for a usage error.

#include "angles.h"
#include "fullturn.h"
#include "halfturn.h"
#include "mirror.h"
#include "parse.h"
#include "rings.h"
#include "scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "samples are written as IEEE 754 binary64");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "samples are written from memory as little-endian binary64");

static const char kUsage[] =
    "usage : prjsino [options] SCAN OUTDIR\n"
    "        prjsino --info [options] SCAN\n"
    "  SCAN    HDF5 file (Data Exchange or NeXus NXtomo, or name its datasets),\n"
    "          multi-page TIFF, or a pattern of TIFF files, one projection each\n"
    "          (quote it: proj_*.tif)\n"
    "  OUTDIR  directory for sino_ROW.sg, one sinogram per detector row\n"
    "          (\"-\": the selected rows' sinograms on standard output, in row order)\n"
    "options:\n"
    "  --rows A:B        detector rows A ... B-1 (or one row: --rows R); default all\n"
    "  --angles F:L      the projections evenly spaced from F to L degrees, inclusive\n"
    "                    (instead of the angles in the file; or --angles-file)\n"
    "  --angles-file F   the angles in degrees, one a line: one per projection, one\n"
    "                    per frame, or with the end angles repeated for reference frames\n"
    "  --half H          the half turn to use, 1 or 2; default: both of a full turn,\n"
    "                    combined about the axis, else the first\n"
    "  --axis C          the detector column of the rotation axis of a full turn\n"
    "                    (default: registration of the two half turns)\n"
    "  --entry PATH      the NXtomo entry to read, of a file that holds several\n"
    "  --flats PATTERN   flat-field TIFF files (TIFF scans); for HDF5 scans FILE or\n"
    "                    FILE:PATH, a dataset of another HDF5 file\n"
    "  --darks PATTERN   dark-field files, as --flats\n"
    "  --data PATH       HDF5: the dataset of frames (frames x rows x columns)\n"
    "  --image-key PATH  HDF5, with --data: the kind of each frame (0 projection,\n"
    "                    1 flat, 2 dark)\n"
    "  --rotation-angle PATH  HDF5, with --data: the angle of each frame\n"
    "  --median          per-pixel medians of the flats and darks instead of means\n"
    "  --clip FLOOR      smallest transmission before the logarithm (default 1e-6)\n"
    "  --raw             the frames are transmissions already: p = -ln(I)\n"
    "  --no-log          the frames are line integrals already: p = I\n"
    "  --memory MIB      memory for the block of projections (default 256)\n"
    "  --rings           remove stripes from every sinogram, as prjrings does\n"
    "  --info            print a summary of the scan, write nothing\n"
    "  --format F        the summary as text (default) or json\n"
    "  -h, --help        this text\n"
    "Options take their value as --name v or --name=v.\n"
    "Exit status: 0 done, 1 the scan makes no sinogram or an output fails, 2 usage error.\n";

// The largest block of projections in one write: the vector of a write holds
// one piece per projection, and the system takes at most IOV_MAX pieces.
static const int kMaxBlock = IOV_MAX;

// A frame half a turn from the first lies within this fraction of a step of
// the first angle + 180 degrees, as the half turn's frames lie on their steps.
static const double kAxisAngle = 0.1;

// A row's axis goes on its header line when its standard error is at most
// this many bins; a row that determines it no better gets none.
static const double kAxisError = 0.5;

enum class Mode { flatField, raw, noLog };

struct Options {
    std::string scan, outdir, flats, darks, entry;
    std::string data, imageKey, rotationAngle, anglesFile;
    int rowFirst = 0, rowEnd = -1;   // rows rowFirst ... rowEnd - 1; -1: to the last
    bool angles = false;
    double angleFirst = 0, angleLast = 0;
    int half = 0;                    // 0: both half turns of a full turn, else the first
    bool axisGiven = false;
    double axis = 0;
    bool median = false;
    double clip = 1e-6;
    Mode mode = Mode::flatField;
    double memory = 256;
    bool info = false;
    bool rings = false;              // stripes removed from every sinogram
    bool json = false;   // --info as one JSON object
};

[[noreturn]] static void UsageError(const std::string& what)
{
    std::fprintf(stderr, "prjsino: %s\n%s", what.c_str(), kUsage);
    std::exit(2);
}

// The files of this run: temporaries[0 ... temporaryCount - 1] made so far,
// of which the first renamedCount renamed to names[...]. A failure, or a
// signal that ends the run, removes the temporaries not renamed; a renamed
// file holds a whole sinogram, and stays.
static std::vector<std::string> temporaries, names;
static volatile sig_atomic_t temporaryCount = 0, renamedCount = 0;

static void RemoveOutputs()
{
    for (sig_atomic_t k = renamedCount; k < temporaryCount; ++k)
        unlink(temporaries[k].c_str());
}

static void OnSignal(int number)
{
    RemoveOutputs();
    signal(number, SIG_DFL);
    raise(number);
}

[[noreturn]] static void Fail(const std::string& message)
{
    RemoveOutputs();
    temporaryCount = 0;
    std::fprintf(stderr, "prjsino: %s\n", message.c_str());
    std::exit(1);
}

static Options ParseArguments(int argc, char** argv)
{
    Options o;
    std::vector<std::string> operands;
    bool raw = false, noLog = false;
    for (int n = 1; n < argc; ++n) {
        if (TakeOperand(n, argc, argv, operands))
            continue;
        std::string word = argv[n];
        std::string value;
        const size_t equals = word.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = word.substr(equals + 1);
            word.resize(equals);
        }
        const auto take = [&]() -> const std::string& {
            if (!inlineValue) {
                if (n + 1 >= argc)
                    UsageError("option " + word + " needs a value");
                value = argv[++n];
            }
            return value;
        };
        if (word == "-h" || word == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (word == "--info" || word == "--median" || word == "--raw" || word == "--no-log" ||
                   word == "--rings") {
            if (inlineValue)
                UsageError("option " + word + " takes no value");
            o.info |= word == "--info";
            o.rings |= word == "--rings";
            o.median |= word == "--median";
            raw |= word == "--raw";
            noLog |= word == "--no-log";
        } else if (word == "--rows") {
            const std::string& v = take();
            const size_t colon = v.find(':');
            if (colon == std::string::npos) {
                if (!ParseInt(v.c_str(), &o.rowFirst) || o.rowFirst < 0 || o.rowFirst == INT_MAX)
                    UsageError("--rows takes A:B or one row R, counted from 0: " + v);
                o.rowEnd = o.rowFirst + 1;
            } else if (!ParseInt(v.substr(0, colon).c_str(), &o.rowFirst) ||
                       !ParseInt(v.substr(colon + 1).c_str(), &o.rowEnd) ||
                       o.rowFirst < 0 || o.rowEnd <= o.rowFirst) {
                UsageError("--rows takes A:B with 0 <= A < B (rows A ... B-1): " + v);
            }
        } else if (word == "--angles") {
            const std::string& v = take();
            const size_t colon = v.find(':');
            if (colon == std::string::npos || !ParseDouble(v.substr(0, colon).c_str(), &o.angleFirst) ||
                !ParseDouble(v.substr(colon + 1).c_str(), &o.angleLast) || o.angleFirst == o.angleLast)
                UsageError("--angles takes FIRST:LAST, two different angles in degrees: " + v);
            o.angles = true;
        } else if (word == "--half") {
            const std::string& v = take();
            if (!ParseInt(v.c_str(), &o.half) || (o.half != 1 && o.half != 2))
                UsageError("--half takes 1 or 2: " + v);
        } else if (word == "--axis") {
            const std::string& v = take();
            if (!ParseDouble(v.c_str(), &o.axis))
                UsageError("--axis takes a detector column: " + v);
            o.axisGiven = true;
        } else if (word == "--flats") {
            o.flats = take();
        } else if (word == "--darks") {
            o.darks = take();
        } else if (word == "--data" || word == "--image-key" || word == "--rotation-angle" ||
                   word == "--angles-file") {
            std::string& path = word == "--data" ? o.data : word == "--image-key" ? o.imageKey
                              : word == "--rotation-angle" ? o.rotationAngle : o.anglesFile;
            path = take();
            if (path.empty())
                UsageError(word + " takes a path");
        } else if (word == "--entry") {
            o.entry = take();
            if (o.entry.empty())
                UsageError("--entry takes the path of an NXtomo group");
        } else if (word == "--clip") {
            const std::string& v = take();
            if (!ParseDouble(v.c_str(), &o.clip) || !(o.clip > 0) || o.clip > 1)
                UsageError("--clip takes a transmission in (0, 1]: " + v);
        } else if (word == "--format") {
            const std::string& v = take();
            if (v != "text" && v != "json")
                UsageError("--format takes text or json: " + v);
            o.json = v == "json";
        } else if (word == "--memory") {
            const std::string& v = take();
            if (!ParseDouble(v.c_str(), &o.memory) || !(o.memory > 0))
                UsageError("--memory takes a positive number of MiB: " + v);
        } else {
            UsageError("unknown option " + word);
        }
    }
    if (raw && noLog)
        UsageError("--raw and --no-log exclude each other");
    if (o.angles && !o.anglesFile.empty())
        UsageError("--angles and --angles-file exclude each other");
    if (o.data.empty() && (!o.imageKey.empty() || !o.rotationAngle.empty()))
        UsageError("--image-key and --rotation-angle name datasets beside the frames: give --data too");
    if (o.axisGiven && o.half != 0)
        UsageError("--axis combines both half turns, --half takes one");
    if (o.json && !o.info)
        UsageError("--format json needs --info");
    o.mode = raw ? Mode::raw : noLog ? Mode::noLog : Mode::flatField;
    const size_t wanted = o.info ? 1 : 2;
    if (operands.size() != wanted)
        UsageError(o.info ? "expected SCAN" : "expected SCAN and OUTDIR");
    o.scan = operands[0];
    if (!o.info)
        o.outdir = operands[1];
    return o;
}

static std::unique_ptr<Scan> OpenScan(const Options& o, size_t budget)
{
    struct stat st;
    const bool exists = stat(o.scan.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        throw ScanError(o.scan + ": a directory; give a pattern of its TIFF files, such as '" + o.scan +
                        "/proj_*.tif'");
    if (exists && access(o.scan.c_str(), R_OK) != 0)
        throw ScanError(o.scan + ": " + std::strerror(errno));
    if (exists && IsHdf5File(o.scan))
        return OpenHdf5Scan(o.scan, budget / 2,
                            Hdf5Names{o.entry, o.data, o.imageKey, o.rotationAngle, o.flats, o.darks});
    if (!o.entry.empty() || !o.data.empty()) {
        if (!exists)
            throw ScanError(o.scan + ": no such file");
        UsageError("--entry, --data, --image-key and --rotation-angle name parts of an HDF5 scan");
    }
    if (exists && !IsTiffFile(o.scan))
        throw ScanError(o.scan + ": neither an HDF5 nor a TIFF file");
    return OpenTiffScan(o.scan, o.flats, o.darks);
}

// The per-pixel reference of a series of frames over rows row0 ... row0 +
// count - 1: their mean, or with `median` their median (the mean of the two
// middle values for an even number).
static std::vector<double> Reference(Scan& scan, const Frames& frames, int row0, int count,
                                     bool median, size_t budget)
{
    const size_t n = size_t(count) * scan.columns;
    std::vector<double> out(n, 0.0);
    if (!median) {
        std::vector<double> frame(n);
        for (const Frame& f : frames) {
            scan.Read(f, row0, count, frame.data());
            for (size_t q = 0; q < n; ++q)
                out[q] += frame[q];
        }
        for (double& v : out)
            v /= frames.size();
        return out;
    }
    const size_t rowBytes = frames.size() * scan.columns * sizeof(double);
    const int band = static_cast<int>(std::max<size_t>(1, std::min<size_t>(count, budget / rowBytes)));
    std::vector<double> stack(frames.size() * band * scan.columns);
    std::vector<double> values(frames.size());
    for (int r = 0; r < count; r += band) {
        const int rows = std::min(band, count - r);
        const size_t m = size_t(rows) * scan.columns;
        for (size_t k = 0; k < frames.size(); ++k)
            scan.Read(frames[k], row0 + r, rows, stack.data() + k * m);
        for (size_t q = 0; q < m; ++q) {
            for (size_t k = 0; k < frames.size(); ++k)
                values[k] = stack[k * m + q];
            const size_t h = values.size() / 2;
            std::nth_element(values.begin(), values.begin() + h, values.end());
            double v = values[h];
            if (values.size() % 2 == 0)
                v = (v + *std::max_element(values.begin(), values.begin() + h)) / 2;
            out[size_t(r) * scan.columns + q] = v;
        }
    }
    return out;
}

// The flat-field normalisation of the selected rows: the dark level D and,
// for each series of flats taken one after another, F - D and the series'
// mean frame index. A projection between two series takes F - D interpolated
// linearly by its frame index; one outside them, or of a scan that does not
// record the order of its frames, that of the nearest series.
struct Normalisation {
    std::vector<double> dark;
    std::vector<std::vector<double>> span;   // F - D of each series
    std::vector<double> at;                  // mean frame index of each series
    std::vector<double> between;             // F - D at a projection between two series
    Mode mode = Mode::flatField;
    double clip = 0;
    uint64_t clamped = 0;
};

static Normalisation Prepare(Scan& scan, const Options& o, int row0, int count, size_t budget)
{
    Normalisation z;
    z.mode = o.mode;
    z.clip = o.clip;
    if (o.mode != Mode::flatField)
        return z;
    const size_t n = size_t(count) * scan.columns;
    z.dark = scan.darks.empty() ? std::vector<double>(n, 0.0)
                                : Reference(scan, scan.darks, row0, count, o.median, budget);
    // Series of flats: frames one after another in the order of acquisition;
    // all of them one series when the order is not recorded.
    std::vector<Frames> series;
    for (const Frame& f : scan.flats) {
        if (series.empty() || (f.order >= 0 && series.back().back().order != f.order - 1))
            series.emplace_back();
        series.back().Add(f.source, f.index, f.order);
    }
    for (const Frames& s : series) {
        std::vector<double> span = Reference(scan, s, row0, count, o.median, budget);
        for (size_t q = 0; q < n; ++q)
            span[q] -= z.dark[q];
        double at = 0;
        for (const Frame& f : s)
            at += f.order;
        z.span.push_back(std::move(span));
        z.at.push_back(at / s.size());
    }
    if (z.span.size() > 1)
        z.between.resize(n);
    return z;
}

// Turns the counts of one projection (frame f, the selected rows) into line
// integrals in place.
static void Normalise(Normalisation& z, const Frame& f, double* values, size_t n)
{
    uint64_t clamped = 0;
    if (z.mode == Mode::noLog) {
        for (size_t q = 0; q < n; ++q)
            if (!std::isfinite(values[q])) {
                values[q] = 0;
                ++clamped;
            }
        z.clamped += clamped;
        return;
    }
    const double* span = nullptr;
    if (z.mode == Mode::flatField) {
        size_t s = 0;
        while (s + 1 < z.at.size() && z.at[s + 1] <= f.order)
            ++s;
        if (z.at.size() == 1 || f.order <= z.at[0] || s + 1 == z.at.size()) {
            span = z.span[s].data();
        } else {
            // F - D at frame index f, between the series s and s + 1:
            //   (1 - t) span_s + t span_{s+1},  t = (f - at_s) / (at_{s+1} - at_s)
            const double t = (f.order - z.at[s]) / (z.at[s + 1] - z.at[s]);
            const double* a = z.span[s].data();
            const double* b = z.span[s + 1].data();
            for (size_t q = 0; q < n; ++q)
                z.between[q] = (1 - t) * a[q] + t * b[q];
            span = z.between.data();
        }
    }
    const double* dark = z.dark.data();
    const double floor = z.clip;
    for (size_t q = 0; q < n; ++q) {
        // p = -ln((I - D) / (F - D)), the ratio held at or above the floor
        // (raw: p = -ln(I))
        double ratio = span ? (values[q] - dark[q]) / span[q] : values[q];
        if (!(ratio >= floor && ratio <= std::numeric_limits<double>::max() && (!span || span[q] > 0))) {
            ratio = floor;
            ++clamped;
        }
        values[q] = -std::log(ratio);
    }
    z.clamped += clamped;
}

// Normalised projections of the selected rows, each read once while it is
// needed. A sinogram row takes at most two projections, and its mirror two
// more, and both run through the scan in one direction: four frames serve a
// pass.
class FrameCache {
public:
    FrameCache(Scan& scan, Normalisation& z, int row0, int count)
        : scan_(scan), z_(z), row0_(row0), count_(count), n_(size_t(count) * scan.columns)
    {
        for (Entry& e : entries_)
            e.values.resize(n_);
    }
    // Projection `frame`: count x columns values.
    const double* Get(int frame)
    {
        Entry* oldest = &entries_[0];
        for (Entry& e : entries_) {
            if (e.frame == frame) {
                e.used = ++clock_;
                return e.values.data();
            }
            if (e.used < oldest->used)
                oldest = &e;
        }
        const Frame f = scan_.projections[frame];
        oldest->frame = -1;
        scan_.Read(f, row0_, count_, oldest->values.data());
        Normalise(z_, f, oldest->values.data(), n_);
        oldest->frame = frame;
        oldest->used = ++clock_;
        return oldest->values.data();
    }
    static const int kFrames = 4;

private:
    struct Entry {
        int frame = -1;
        uint64_t used = 0;
        std::vector<double> values;
    };
    Scan& scan_;
    Normalisation& z_;
    int row0_, count_;
    size_t n_;
    uint64_t clock_ = 0;
    Entry entries_[kFrames];
};

// A sinogram row from its projections: w_a p_a + w_b p_b (n values).
static void Gather(FrameCache& cache, const Taps& taps, size_t n, double* out)
{
    const double* a = cache.Get(taps.a.frame);
    if (taps.b.weight == 0) {
        std::copy(a, a + n, out);
        return;
    }
    const double* b = cache.Get(taps.b.frame);
    const double wa = taps.a.weight, wb = taps.b.weight;
    for (size_t q = 0; q < n; ++q)
        out[q] = wa * a[q] + wb * b[q];
}

// The registration of a full turn's axis reads this many detector rows about
// the middle of the selection and this many pairs of sinogram rows spread
// over the half turn: enough to average out noise, few enough to cost a small
// fraction of the pass over the frames.
static const int kAxisRows = 16;
static const int kAxisPairs = 32;

// The rotation axis of a full turn from the projections of the first half
// turn and the mirror images of those half a turn later, anywhere on the
// detector (half acquisition puts it near one end).
static Registration RegisterAxis(Scan& scan, const Options& o, const HalfTurn& turn, int row0, int count,
                                 size_t budget)
{
    const int rows = std::min(count, kAxisRows);
    const int from = row0 + (count - rows) / 2;
    const int N = scan.columns;
    const size_t n = size_t(rows) * N;
    Normalisation z = Prepare(scan, o, from, rows, budget);
    FrameCache cache(scan, z, from, rows);
    const int pairs = std::min(turn.M, kAxisPairs);
    std::vector<double> direct(pairs * n), mirror(pairs * n);
    for (int k = 0; k < pairs; ++k) {
        const int m = static_cast<int>(int64_t(k) * turn.M / pairs);
        Gather(cache, turn.rows[m], n, direct.data() + k * n);
        Gather(cache, turn.mirror[m], n, mirror.data() + k * n);
    }
    const Registration axis = MirrorAxisAnywhere(direct.data(), mirror.data(), N, pairs * rows);
    if (!axis.found)
        throw ScanError(o.scan + ": the two half turns give no rotation axis: registered on " +
                        std::to_string(pairs) + " pairs of projections half a turn apart, " + axis.why +
                        "; give --axis COLUMN, or --half 1 for the first half turn alone");
    return axis;
}

// Writes all of a buffer at a file offset.
static bool WriteAt(int fd, const struct iovec* pieces, int count, off_t offset)
{
    std::vector<struct iovec> rest(pieces, pieces + count);
    size_t at = 0;
    while (at < rest.size()) {
        const ssize_t written = pwritev(fd, rest.data() + at, static_cast<int>(std::min<size_t>(rest.size() - at, kMaxBlock)), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        offset += written;
        size_t left = static_cast<size_t>(written);
        while (at < rest.size() && left >= rest[at].iov_len)
            left -= rest[at++].iov_len;
        if (at < rest.size()) {
            rest[at].iov_base = static_cast<char*>(rest[at].iov_base) + left;
            rest[at].iov_len -= left;
        }
    }
    return true;
}

// The header line; axis NaN for none.
static std::string Header(int N, int M, double ra, int row, double axis)
{
    char text[160];
    const int n = std::snprintf(text, sizeof text, "%d %d ra=%.17g row=%d", N, M, ra, row);
    if (std::isfinite(axis))
        std::snprintf(text + n, sizeof text - n, " axis=%.3f", axis);
    return std::string(text) + "\n";
}

static std::string Degrees(double angle)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", angle);
    return text;
}

static std::string Range(int first, int last)
{
    return first == last ? std::to_string(first) : std::to_string(first) + " to " + std::to_string(last);
}

// The digits of the detector's last row: every name of a scan is padded to
// them, whatever rows a run selects.
static int RowDigits(int rows)
{
    int digits = 1;
    for (int last = rows - 1; last >= 10; last /= 10)
        ++digits;
    return std::max(digits, 4);
}

// The file name of row r's sinogram.
static std::string SinogramName(int rows, int r)
{
    char name[64];
    std::snprintf(name, sizeof name, "sino_%0*d.sg", RowDigits(rows), r);
    return name;
}

// A full turn's two half turns combined: the geometry, and where its axis
// came from.
struct Combination {
    FullTurn geometry;
    std::string axisFrom;
};

// The check for a closed half turn: the last projection against the mirror
// image of the first, and its neighbour for scale, on up to 16 rows about the
// middle of the selection (0 a perfect mirror image, 1 none).
struct Mirror {
    Registration last, before;  // projections n - 1 and n - 2 against projection 0
    std::string disagreement;   // the data close a half turn that the angles do not; empty when they agree
};

// Made where the projections span about a half turn; false elsewhere.
static bool CheckMirror(Scan& scan, const Options& o, const std::vector<double>& angles, const HalfTurn& turn,
                        int row0, int count, size_t budget, Mirror& out)
{
    const int n = static_cast<int>(scan.projections.size());
    if (n < 3 || std::fabs(angles.back() - angles.front()) > 270)
        return false;
    const int rows = std::min(count, 16);
    const int from = row0 + (count - rows) / 2;
    Normalisation z = Prepare(scan, o, from, rows, budget);
    const size_t size = size_t(rows) * scan.columns;
    std::vector<double> first(size), last(size), before(size);
    const int frames[3] = {0, n - 1, n - 2};
    double* into[3] = {first.data(), last.data(), before.data()};
    for (int k = 0; k < 3; ++k) {
        scan.Read(scan.projections[frames[k]], from, rows, into[k]);
        Normalise(z, scan.projections[frames[k]], into[k], size);
    }
    const int N = scan.columns;
    out.last = MirrorAxis(first.data(), last.data(), N, rows, (N - 1) / 4.0, 3 * (N - 1) / 4.0);
    out.before = MirrorAxis(first.data(), before.data(), N, rows, (N - 1) / 4.0, 3 * (N - 1) / 4.0);
    const bool dataClosed = out.last.mismatch < out.before.mismatch / 4;
    const double span = std::fabs(angles.back() - angles.front());
    const bool anglesClosed = std::fabs(span - 180) <= std::fabs(turn.step) / 10;
    if (dataClosed && !anglesClosed) {
        char text[512];
        std::snprintf(text, sizeof text,
                      "the last projection mirrors the first, so the %d projections span a closed half turn "
                      "(%.10g degrees a step), but the angles span %.10g degrees; to drop the last, give "
                      "--angles %.10g:%.10g",
                      n, 180.0 / (n - 1), span, angles.front(),
                      angles.front() + (angles.back() > angles.front() ? 180 : -180));
        out.disagreement = text;
    }
    return true;
}

// --info: what the scan holds and what would be kept; the angles checked
// against the data where the projections span about a half turn.
static void PrintInfo(Scan& scan, const Options& o, const std::vector<double>& angles, const std::string& anglesFrom,
                      const HalfTurn& turn, const Combination* full, int row0, int count, size_t budget)
{
    const int n = static_cast<int>(scan.projections.size());
    std::printf("container    %s\n", scan.container.c_str());
    std::printf("frames       %d projections, %zu flats, %zu darks", n, scan.flats.size(), scan.darks.size());
    if (!scan.otherFrames.empty())
        std::printf(", %zu others skipped", scan.otherFrames.size());
    if (!scan.flatsFrom.empty())
        std::printf("; flats from %s", scan.flatsFrom.c_str());
    if (!scan.darksFrom.empty())
        std::printf("; darks from %s", scan.darksFrom.c_str());
    std::printf("\nshape        %d rows x %d columns\n", scan.rows, scan.columns);
    std::printf("sample type  %s\n", scan.sampleType.c_str());
    std::printf("angles       %.10g to %.10g degrees (%s)\n", angles.front(), angles.back(), anglesFrom.c_str());
    std::printf("step         %.10g degrees\n", turn.step);
    std::printf("worst        %.3g steps from even spacing (projection %d)\n", turn.worst, turn.worstFrame);
    if (turn.resampled)
        std::printf("resampled    onto %d even angles a half turn, by interpolation in angle between the measured "
                    "projections: they depart from even spacing by up to %.3g steps (projection %d)\n",
                    turn.M, turn.worst, turn.worstFrame);
    std::printf("kept         projections %s", Range(turn.first, turn.last).c_str());
    if (turn.full)
        std::printf(", both half turns");
    if (turn.reversed)
        std::printf(", in reverse order");
    if (full) {
        const FullTurn& g = full->geometry;
        std::printf("\naxis         column %.3f of the detector (%s)\n", g.axis, full->axisFrom.c_str());
        std::printf("combined     the second half turn mirrored about the axis onto the first: %s; N %d -> %d, "
                    "the axis at column %.3f",
                    g.N > scan.columns ? "averaged where both cover a column, stitched beyond"
                                       : "averaged",
                    scan.columns, g.N, g.axis - g.offset);
    }
    std::printf("\nra           %.17g\nM            %d\n", turn.ra, turn.M);
    if (full)
        std::printf("N            %d\n", full->geometry.N);
    std::printf("rows         %s\n", Range(row0, row0 + count - 1).c_str());
    std::printf("files        %s%s\n", SinogramName(scan.rows, row0).c_str(),
                count > 1 ? (" ... " + SinogramName(scan.rows, row0 + count - 1)).c_str() : "");
    Mirror mirror;
    if (!CheckMirror(scan, o, angles, turn, row0, count, budget, mirror))
        return;
    char best[96];
    if (mirror.last.found)
        std::snprintf(best, sizeof best, "best axis at column %.2f", mirror.last.at);
    else
        std::snprintf(best, sizeof best, "no axis: %s", mirror.last.why);
    std::printf("mirror       projection %d against the mirror image of projection 0: %.3g (%s); projection %d: %.3g\n",
                n - 1, mirror.last.mismatch, best, n - 2, mirror.before.mismatch);
    if (!mirror.disagreement.empty())
        std::printf("disagreement %s\n", mirror.disagreement.c_str());
}

// A JSON string: quotes, backslashes and control characters escaped; other
// bytes as they are (file names in the system's encoding).
static std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A JSON number that reads back as the same double (null for one that JSON
// cannot hold).
static std::string Json(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// A text member that may be missing: the string, or null.
static std::string JsonOrNull(const std::string& text)
{
    return text.empty() ? "null" : Json(text);
}

// A registration: the mismatch and the axis column, or why there is none.
static std::string Json(int projection, const Registration& r)
{
    return "{\"projection\": " + std::to_string(projection) + ", \"mismatch\": " + Json(r.mismatch) +
           ", \"axis_column\": " + (r.found ? Json(r.at) : "null") +
           ", \"no_axis\": " + (r.found ? "null" : Json(std::string(r.why))) + "}";
}

// --info --format json: the same report as one JSON object, for programs.
// Its members are an interface (documented in prjsino(1)): new ones may be
// added, none renamed. "sinograms" gives the file name of every selected
// row: the naming rule lives here alone.
static void PrintInfoJson(Scan& scan, const Options& o, const std::vector<double>& angles,
                          const std::string& anglesFrom, const HalfTurn& turn, const Combination* full, int row0,
                          int count, size_t budget)
{
    std::printf("{\n  \"scan\": %s,\n  \"container\": %s,\n", Json(o.scan).c_str(), Json(scan.container).c_str());
    std::printf("  \"frames\": {\"projections\": %zu, \"flats\": %zu, \"darks\": %zu, \"others\": %zu},\n",
                scan.projections.size(), scan.flats.size(), scan.darks.size(), scan.otherFrames.size());
    std::printf("  \"flats_from\": %s,\n  \"darks_from\": %s,\n", JsonOrNull(scan.flatsFrom).c_str(),
                JsonOrNull(scan.darksFrom).c_str());
    std::printf("  \"shape\": {\"rows\": %d, \"columns\": %d},\n  \"sample_type\": %s,\n", scan.rows, scan.columns,
                Json(scan.sampleType).c_str());
    std::printf("  \"angles\": {\"first\": %s, \"last\": %s, \"from\": %s},\n", Json(angles.front()).c_str(),
                Json(angles.back()).c_str(), Json(anglesFrom).c_str());
    std::printf("  \"step\": %s,\n  \"worst\": {\"steps\": %s, \"projection\": %d},\n  \"resampled\": %s,\n",
                Json(turn.step).c_str(), Json(turn.worst).c_str(), turn.worstFrame, turn.resampled ? "true" : "false");
    std::printf("  \"kept\": {\"first\": %d, \"last\": %d, \"both_half_turns\": %s, \"reversed\": %s},\n",
                turn.first, turn.last, turn.full ? "true" : "false", turn.reversed ? "true" : "false");
    std::printf("  \"full_turn\": ");
    if (full)
        std::printf("{\"axis\": %s, \"axis_from\": %s, \"columns\": %d, \"combined_axis\": %s},\n",
                    Json(full->geometry.axis).c_str(), Json(full->axisFrom).c_str(), full->geometry.N,
                    Json(full->geometry.axis - full->geometry.offset).c_str());
    else
        std::printf("null,\n");
    std::printf("  \"ra\": %s,\n  \"M\": %d,\n  \"N\": %d,\n", Json(turn.ra).c_str(), turn.M,
                full ? full->geometry.N : scan.columns);
    std::printf("  \"rows\": {\"first\": %d, \"last\": %d},\n  \"sinograms\": [", row0, row0 + count - 1);
    for (int r = row0; r < row0 + count; ++r)
        std::printf("%s\n    {\"row\": %d, \"file\": %s}", r == row0 ? "" : ",", r,
                    Json(SinogramName(scan.rows, r)).c_str());
    const int n = static_cast<int>(scan.projections.size());
    Mirror mirror;
    if (CheckMirror(scan, o, angles, turn, row0, count, budget, mirror))
        std::printf("\n  ],\n  \"mirror\": %s,\n  \"mirror_before\": %s,\n", Json(n - 1, mirror.last).c_str(),
                    Json(n - 2, mirror.before).c_str());
    else
        std::printf("\n  ],\n  \"mirror\": null,\n  \"mirror_before\": null,\n");
    std::printf("  \"disagreement\": %s\n}\n", JsonOrNull(mirror.disagreement).c_str());
}


// The frame half a turn from the one of sinogram row 0 (the scan's frame at
// the first angle + 180 degrees, or - 180), within a tenth of a step; -1 when
// the scan holds none.
static int MirrorFrame(const std::vector<double>& angles, const HalfTurn& turn)
{
    const int first = FrameOfRow(turn, 0), n = static_cast<int>(angles.size());
    for (const int j : {first + turn.M, first - turn.M})
        if (j >= 0 && j < n &&
            std::fabs(std::fabs(angles[j] - angles[first]) - 180) <= std::fabs(turn.step) * kAxisAngle)
            return j;
    return -1;
}

// The axis of each selected row from the frame of sinogram row 0 and the
// frame half a turn from it, which is its mirror image about the axis: the
// column, or NaN where the scan holds no such frame, or where the two rows
// are not mirror images of each other within kAxisError bins (air, or a row
// without structure). Both frames are read and normalised whole for the
// selected rows; the clamped samples of the normalisation are counted once,
// when the sinograms are written.
static std::vector<double> MirrorAxes(Scan& scan, Normalisation& z, int first, int mirror, int row0, int count)
{
    const int N = scan.columns;
    std::vector<double> axes(count, std::numeric_limits<double>::quiet_NaN());
    if (mirror < 0)
        return axes;
    const size_t n = size_t(count) * N;
    std::vector<double> a(n), b(n);
    const uint64_t clamped = z.clamped;
    scan.Read(scan.projections[first], row0, count, a.data());
    Normalise(z, scan.projections[first], a.data(), n);
    scan.Read(scan.projections[mirror], row0, count, b.data());
    Normalise(z, scan.projections[mirror], b.data(), n);
    z.clamped = clamped;
    for (int r = 0; r < count; ++r) {
        const Registration axis = MirrorAxis(a.data() + size_t(r) * N, b.data() + size_t(r) * N, N, 1,
                                             (N - 1) / 4.0, 3 * (N - 1) / 4.0);
        if (axis.found && axis.error <= kAxisError)
            axes[r] = axis.at;
    }
    return axes;
}

static std::string Clamped(double floor)
{
    char text[96];
    std::snprintf(text, sizeof text, "clamped to the ratio %g (below it, or not a finite number)", floor);
    return text;
}

// This machine's name as temporaries carry it, its dots made underscores
// (as prjstack's do).
static std::string HostTag()
{
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    std::string tag = host[0] ? host : "localhost";
    std::replace(tag.begin(), tag.end(), '.', '_');
    return tag;
}

static bool AllDigits(const std::string& text, size_t from, size_t to)
{
    if (from >= to)
        return false;
    for (size_t k = from; k < to; ++k)
        if (!std::isdigit(static_cast<unsigned char>(text[k])))
            return false;
    return true;
}

// Removes the temporaries that runs of this host left in dir when they were
// killed outright (SIGKILL, a scheduler's time limit): those named
// .sino_ROW.sg.part-HOST-PID whose process no longer runs. Those of live
// runs, and of runs on other hosts sharing the directory, stay.
static void RemoveStaleTemporaries(const std::string& dir, const std::string& host)
{
    DIR* entries = opendir(dir.c_str());
    if (!entries)
        return;   // the run's own files report what is wrong with the directory
    const std::string middle = ".sg.part-" + host + "-";
    while (const struct dirent* e = readdir(entries)) {
        const std::string name = e->d_name;
        const size_t at = name.find(middle);
        if (name.compare(0, 6, ".sino_") != 0 || at == std::string::npos || !AllDigits(name, 6, at) ||
            !AllDigits(name, at + middle.size(), name.size()) || name.size() - at - middle.size() > 9)
            continue;
        const pid_t pid = static_cast<pid_t>(std::atol(name.c_str() + at + middle.size()));
        // a file named for this process is older than it: its files are not made yet
        if (pid == getpid() || (kill(pid, 0) != 0 && errno == ESRCH))
            unlinkat(dirfd(entries), name.c_str(), 0);
    }
    closedir(entries);
}

// Writes a block of normalised projections m0 ... m0 + frames - 1 (each the
// selected rows, count x N values) into the sinograms: in the file of row r
// the block's part of that row goes after the header and the m0 projections
// before it. On standard output the block goes out as it is for one row;
// for several rows, held (M sinogram rows of N values a detector row, one
// detector row after another) receives each detector row's part, to be
// written once whole. Returns the failure, or an empty text.
static std::string WriteBlock(const double* values, int frames, int m0, int count, int N, int M,
                              const std::vector<std::string>& headers, bool toStdout, double* held)
{
    const size_t frameValues = size_t(count) * N;
    if (held) {
        for (int k = 0; k < frames; ++k)
            for (int r = 0; r < count; ++r)
                std::memcpy(held + (size_t(r) * M + m0 + k) * N, values + k * frameValues + size_t(r) * N,
                            N * sizeof(double));
        return "";
    }
    if (toStdout)
        return std::fwrite(values, sizeof(double), frames * frameValues, stdout) == frames * frameValues
                   ? ""
                   : "cannot write standard output: " + std::string(std::strerror(errno));
    std::vector<struct iovec> pieces(frames);
    for (int r = 0; r < count; ++r) {
        for (int k = 0; k < frames; ++k)
            pieces[k] = {const_cast<double*>(values + k * frameValues + size_t(r) * N), N * sizeof(double)};
        const int fd = open(temporaries[r].c_str(), O_WRONLY | O_CLOEXEC);
        const off_t at = off_t(headers[r].size()) + off_t(m0) * N * off_t(sizeof(double));
        const bool ok = fd >= 0 && WriteAt(fd, pieces.data(), frames, at);
        const int error = errno;
        if (fd < 0 || close(fd) != 0 || !ok)
            return temporaries[r] + ": cannot write: " + std::strerror(fd < 0 || !ok ? error : errno);
    }
    return "";
}

// --rings: the stripes of the sinogram in `path`, whose samples follow a
// header line of `offset` bytes, removed in place (prjrings' method, with its
// defaults). Returns the columns corrected; throws the failure as text.
static size_t RemoveStripes(const std::string& path, size_t offset, int N, int M)
{
    std::vector<double> samples(size_t(N) * M);
    FILE* f = std::fopen(path.c_str(), "r+b");
    const auto failed = [&](const char* what) {
        const std::string reason = std::strerror(errno);
        if (f)
            std::fclose(f);
        return path + ": cannot " + what + " for --rings: " + reason;
    };
    if (!f)
        throw failed("open");
    if (fseeko(f, off_t(offset), SEEK_SET) != 0 || std::fread(samples.data(), sizeof(double), samples.size(), f) != samples.size())
        throw failed("read");
    const size_t corrected = RemoveRings(samples.data(), N, M, RingOptions()).columns.size();
    if (fseeko(f, off_t(offset), SEEK_SET) != 0 || std::fwrite(samples.data(), sizeof(double), samples.size(), f) != samples.size())
        throw failed("write");
    if (std::fclose(f) != 0) {
        f = nullptr;
        throw failed("write");
    }
    return corrected;
}

// Writes the sinograms of rows row0 ... row0 + count - 1, in one pass over
// the kept projections; then reports what was chosen, what was clamped and
// what was written.
static void Convert(Scan& scan, const Options& o, const HalfTurn& turn, const Combination* full, int mirror,
                    int row0, int count, size_t budget, const std::string& chosen)
{
    // Each sinogram row is one projection read in place, or is made from the
    // projections in the frame cache: interpolated in angle, combined with
    // its mirror into N columns.
    const int columns = scan.columns, M = turn.M;
    const int N = full ? full->geometry.N : columns;
    const bool inPlace = !turn.resampled && !full;
    const size_t projectionValues = size_t(count) * columns;
    const size_t cacheBytes =
        inPlace ? 0 : (FrameCache::kFrames + (full ? 2 : 0)) * projectionValues * sizeof(double);
    const size_t frameValues = size_t(count) * N;
    const size_t frameBytes = frameValues * sizeof(double);
    const size_t blocks = budget > cacheBytes ? budget - cacheBytes : 0;
    const bool toStdout = o.outdir == "-";
    // Standard output takes the sinograms one after another: one row goes
    // out as it is made; several, or one to correct with --rings, are held
    // until the last projection is read, each sinogram row copied into them
    // as it comes (no blocks in flight).
    const bool holding = toStdout && (count > 1 || o.rings);
    const int block = holding ? 1
                              : static_cast<int>(std::max<size_t>(
                                    1, std::min<size_t>({blocks / 2 / frameBytes, size_t(M), size_t(kMaxBlock)})));

    std::vector<std::string> headers(count);
    if (!toStdout) {
        struct stat st;
        if (stat(o.outdir.c_str(), &st) != 0 && mkdir(o.outdir.c_str(), 0777) != 0)
            Fail(o.outdir + ": cannot make the directory: " + std::strerror(errno));
        if (stat(o.outdir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            Fail(o.outdir + ": not a directory");
        const std::string host = HostTag();
        RemoveStaleTemporaries(o.outdir, host);
        temporaries.resize(count);
        names.resize(count);
        for (int r = 0; r < count; ++r) {
            const std::string name = SinogramName(scan.rows, row0 + r);
            names[r] = o.outdir + "/" + name;
            temporaries[r] = o.outdir + "/." + name + ".part-" + host + "-" + std::to_string(getpid());
            // a rename cannot replace a directory: found now, not after the pass
            if (lstat(names[r].c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                Fail(names[r] + ": a directory, where the sinogram of row " + std::to_string(row0 + r) + " goes");
        }
    }
    Normalisation z = Prepare(scan, o, row0, count, budget);
    const std::vector<double> axes = full ? std::vector<double>(count, full->geometry.axis - full->geometry.offset)
                                          : MirrorAxes(scan, z, FrameOfRow(turn, 0), mirror, row0, count);
    for (int r = 0; r < count; ++r)
        headers[r] = Header(N, M, turn.ra, row0 + r, axes[r]);
    std::unique_ptr<FrameCache> cache;
    std::vector<double> direct, mirrored;
    if (!inPlace) {
        cache = std::make_unique<FrameCache>(scan, z, row0, count);
        direct.resize(full ? projectionValues : 0);
        mirrored.resize(full ? projectionValues : 0);
    }
    std::vector<double> held(holding ? size_t(count) * M * N : 0);
    if (toStdout) {
        signal(SIGPIPE, SIG_IGN);
        if (!holding && std::fputs(headers[0].c_str(), stdout) == EOF)
            Fail("cannot write standard output: " + std::string(std::strerror(errno)));
    } else {
        for (int r = 0; r < count; ++r) {
            const int fd = open(temporaries[r].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0)
                Fail(temporaries[r] + ": cannot create: " + std::strerror(errno));
            temporaryCount = r + 1;
            const struct iovec header = {&headers[r][0], headers[r].size()};
            const bool ok = WriteAt(fd, &header, 1, 0);
            if (close(fd) != 0 || !ok)
                Fail(temporaries[r] + ": cannot write: " + std::strerror(errno));
        }
    }

    // Two blocks: the projections of one are read and normalised while the
    // other is written.
    std::vector<double> values[2] = {std::vector<double>(size_t(block) * frameValues),
                                     std::vector<double>(size_t(block) * frameValues)};
    std::future<std::string> writing;
    const auto written = [&writing]() {
        if (writing.valid()) {
            const std::string error = writing.get();
            if (!error.empty())
                Fail(error);
        }
    };
    for (int m0 = 0, b = 0; m0 < M; m0 += block, b ^= 1) {
        const int frames = std::min(block, M - m0);
        for (int k = 0; k < frames; ++k) {
            const int m = m0 + k;
            double* frame = values[b].data() + k * frameValues;
            if (inPlace) {
                const Frame f = scan.projections[FrameOfRow(turn, m)];
                scan.Read(f, row0, count, frame);
                Normalise(z, f, frame, frameValues);
            } else if (!full) {
                Gather(*cache, turn.rows[m], frameValues, frame);
            } else {
                Gather(*cache, turn.rows[m], projectionValues, direct.data());
                Gather(*cache, turn.mirror[m], projectionValues, mirrored.data());
                for (int r = 0; r < count; ++r)
                    CombineRow(full->geometry, direct.data() + size_t(r) * columns,
                               mirrored.data() + size_t(r) * columns, columns, frame + size_t(r) * N);
            }
        }
        written();
        writing = std::async(std::launch::async, WriteBlock, values[b].data(), frames, m0, count, N, M,
                             std::cref(headers), toStdout, holding ? held.data() : nullptr);
    }
    written();
    size_t stripes = 0;
    for (int r = 0; r < count && o.rings && toStdout; ++r)  // each held sinogram corrected whole
        stripes += RemoveRings(held.data() + size_t(r) * M * N, N, M, RingOptions()).columns.size();
    if (o.rings && !toStdout) {
        try {
            for (int r = 0; r < count; ++r)
                stripes += RemoveStripes(temporaries[r], headers[r].size(), N, M);
        } catch (const std::string& error) {
            Fail(error);
        }
    }
    if (toStdout) {
        const size_t rowValues = size_t(M) * N;
        for (int r = 0; r < count && holding; ++r)
            if (std::fputs(headers[r].c_str(), stdout) == EOF ||
                std::fwrite(held.data() + r * rowValues, sizeof(double), rowValues, stdout) != rowValues)
                Fail("cannot write standard output: " + std::string(std::strerror(errno)));
        if (std::fflush(stdout) != 0)
            Fail("cannot write standard output: " + std::string(std::strerror(errno)));
    } else {
        const auto rows = [](int first, int last) { return (first == last ? "row " : "rows ") + Range(first, last); };
        for (int r = 0; r < count; ++r) {
            if (rename(temporaries[r].c_str(), names[r].c_str()) != 0)
                Fail(names[r] + ": cannot rename the finished sinogram: " + std::strerror(errno) +
                     (r == 0 ? std::string()
                             : "; the sinograms of " + rows(row0, row0 + r - 1) + " are written, those of " +
                                   rows(row0 + r, row0 + count - 1) + " are not"));
            renamedCount = r + 1;
        }
        temporaryCount = 0;
    }

    std::fprintf(stderr, "prjsino: %s\n", chosen.c_str());
    const uint64_t samples = uint64_t(M) * frameValues;
    if (z.clamped > 0)
        std::fprintf(stderr, "prjsino: %llu of %llu samples %s\n", static_cast<unsigned long long>(z.clamped),
                     static_cast<unsigned long long>(samples),
                     o.mode == Mode::noLog ? "not finite, set to 0"
                                           : Clamped(o.clip).c_str());
    if (o.rings)
        std::fprintf(stderr, "prjsino: stripes removed: %zu columns corrected in %d sinogram%s\n", stripes, count,
                     count == 1 ? "" : "s");
    if (!toStdout)
        std::fprintf(stderr, "prjsino: %s\n", (count == 1 ? names[0] : names[0] + " ... " + names[count - 1]).c_str());
}

int main(int argc, char** argv)
{
    const Options o = ParseArguments(argc, argv);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        signal(s, OnSignal);
    // A write past the file-size limit (ulimit -f) fails with EFBIG and is
    // reported like any other, rather than ending the run by SIGXFSZ.
    signal(SIGXFSZ, SIG_IGN);
    const size_t budget = static_cast<size_t>(o.memory * 1048576.0);
    try {
        std::unique_ptr<Scan> scan = OpenScan(o, budget);
        if (scan->projections.empty())
            throw ScanError(o.scan + ": no projections");
        const int row0 = o.rowFirst;
        const int rowEnd = o.rowEnd < 0 ? scan->rows : o.rowEnd;
        if (row0 >= scan->rows || rowEnd > scan->rows)
            throw ScanError("rows " + Range(row0, rowEnd - 1) + " lie outside the detector, whose rows are 0 to " +
                            std::to_string(scan->rows - 1));
        if (o.mode == Mode::flatField && scan->flats.empty())
            throw ScanError(o.scan + ": no flats" + (scan->container.compare(0, 4, "TIFF") == 0 ? " (--flats)" : "") +
                            "; give --raw if the frames are transmissions already, --no-log if they are line "
                            "integrals");
        std::vector<double> angles = scan->angles;
        std::string anglesFrom = scan->anglesFrom;
        if (o.angles) {
            const size_t n = scan->projections.size();
            angles.resize(n);
            for (size_t i = 0; i < n; ++i)
                angles[i] = n == 1 ? o.angleFirst
                                   : o.angleFirst + (o.angleLast - o.angleFirst) * double(i) / double(n - 1);
            anglesFrom = "--angles";
        } else if (!o.anglesFile.empty()) {
            angles = ReadAnglesFile(o.anglesFile, *scan, anglesFrom);
        } else if (angles.empty()) {
            throw ScanError(o.scan + ": no angles in the scan; give --angles FIRST:LAST or --angles-file FILE" +
                            (o.data.empty() || !o.rotationAngle.empty() ? "" : ", or name them with --rotation-angle"));
        }
        HalfTurn turn;
        std::string why;
        if (!ChooseHalfTurn(angles, o.half, turn, why))
            throw ScanError(o.scan + ": " + why);
        std::unique_ptr<Combination> full;
        if (turn.full) {
            full = std::make_unique<Combination>();
            double axis = o.axis;
            if (o.axisGiven) {
                if (!(axis > 0 && axis < scan->columns - 1))
                    throw ScanError("--axis " + Degrees(axis) + " does not lie inside the detector, whose columns "
                                    "are 0 to " + std::to_string(scan->columns - 1));
                full->axisFrom = "--axis";
            } else {
                const Registration found = RegisterAxis(*scan, o, turn, row0, rowEnd - row0, budget);
                axis = found.at;
                char text[160];
                std::snprintf(text, sizeof text, "registered on %d pairs of projections half a turn apart, "
                              "%d rows; mismatch %.3g, standard error %.2g columns", std::min(turn.M, kAxisPairs),
                              std::min(rowEnd - row0, kAxisRows), found.mismatch, found.error);
                full->axisFrom = text;
            }
            full->geometry = PlanFullTurn(scan->columns, axis);
        } else if (o.axisGiven) {
            throw ScanError(o.scan + ": --axis is for a full turn, and the projections hold one half turn");
        }
        if (o.info) {
            (o.json ? PrintInfoJson : PrintInfo)(*scan, o, angles, anglesFrom, turn, full.get(), row0,
                                                 rowEnd - row0, budget);
            if (std::fflush(stdout) != 0 || std::ferror(stdout))
                Fail("cannot write standard output: " + std::string(std::strerror(errno)));
            return 0;
        }
        const int n = static_cast<int>(angles.size());
        std::string left;
        if (turn.first > 0)
            left += "; projections before it (the first half turn) are left out";
        if (turn.last + 1 < n && !turn.resampled)
            left += "; projection " + std::to_string(turn.last + 1) + ", at " + Degrees(angles[turn.last + 1]) +
                    " degrees, " + (turn.full ? "repeats" : "mirrors") + " the first" +
                    (turn.last + 2 < n ? ", and those after it, are left out" : " and is left out");
        else if (turn.last + 1 < n)
            left += "; projections after it are left out";
        char ra[32];
        std::snprintf(ra, sizeof ra, "%.17g", turn.ra);
        std::string chosen = o.scan + ": " + scan->container + ", " + std::to_string(turn.last - turn.first + 1) +
                             " of " + std::to_string(n) + " projections kept (" + Range(turn.first, turn.last) +
                             "), ra " + ra + ", M " + std::to_string(turn.M) + left;
        if (turn.resampled) {
            char text[160];
            std::snprintf(text, sizeof text, "; resampled onto even angles by interpolation in angle (the angles "
                          "depart from even spacing by up to %.3g steps)", turn.worst);
            chosen += text;
        }
        if (full) {
            const FullTurn& g = full->geometry;
            char text[200];
            std::snprintf(text, sizeof text, "; both half turns combined about the axis at detector column %.6g "
                          "(%s), N %d, axis=%.3f", g.axis, o.axisGiven ? "--axis" : "registered", g.N,
                          g.axis - g.offset);
            chosen += text;
        }
        Convert(*scan, o, turn, full.get(), full ? -1 : MirrorFrame(angles, turn), row0, rowEnd - row0, budget,
                chosen);
    } catch (const ScanError& e) {
        Fail(e.what());
    } catch (const std::bad_alloc&) {
        Fail("memory allocation error");
    }
    return 0;
}
