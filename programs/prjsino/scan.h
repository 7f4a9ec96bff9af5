#ifndef PRJSINO_SCAN_H
#define PRJSINO_SCAN_H

// A raw scan as the detector recorded it: frames of three kinds (projections
// of the sample, flat fields with the beam and no sample, dark fields without
// beam), each an image of rows x columns counts, read row band by row band as
// doubles whatever their stored type. The readers for HDF5 (Data Exchange,
// NeXus NXtomo) and TIFF files fill one of these.
//
// Every failure is reported by throwing ScanError with a message that names
// the file and the cause.

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct ScanError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Frame {
    int source = 0;   // the dataset or file of the scan that holds it
    long index = 0;   // its frame (or page) within that source
    long order = -1;  // its position in the order of acquisition, -1 when not recorded
};

// The most frames a scan may declare. Its angles and image keys are held
// whole (16 bytes a frame at most), so this bounds them by 1 GiB; a larger
// count is a damaged or hostile file, not a scan.
constexpr long kMaxFrames = 1L << 26;

// The most pixels a frame may have along either side. The largest detectors
// have about 2^14; a larger size is a damaged or hostile file, and one row of
// it is held as doubles before anything else is checked.
constexpr long kMaxSide = 1L << 20;

// A list of frames, held as runs of consecutive frames of one source (a
// dataset of a million frames is one run), read like a vector of Frame.
class Frames {
public:
    // Appends frames index ... index + count - 1 of the source, whose order
    // of acquisition starts at order (-1: not recorded); continues the last
    // run when they follow it.
    void Add(int source, long index, long order, long count = 1)
    {
        if (count == 0)
            return;
        if (!runs_.empty()) {
            Run& last = runs_.back();
            if (last.source == source && last.index + last.count == index &&
                (order < 0 ? last.order < 0 : last.order >= 0 && last.order + last.count == order)) {
                last.count += count;
                size_ += count;
                return;
            }
        }
        runs_.push_back(Run{source, index, order, count, size_});
        size_ += count;
    }
    size_t size() const { return static_cast<size_t>(size_); }
    bool empty() const { return size_ == 0; }
    Frame operator[](size_t k) const
    {
        const long at = static_cast<long>(k);
        const auto after = std::upper_bound(runs_.begin(), runs_.end(), at,
                                            [](long a, const Run& r) { return a < r.start; });
        const Run& r = *(after - 1);
        return Frame{r.source, r.index + (at - r.start), r.order < 0 ? -1 : r.order + (at - r.start)};
    }
    Frame back() const { return (*this)[size() - 1]; }

    class Iterator {
    public:
        Iterator(const Frames& frames, size_t k) : frames_(&frames), k_(k) {}
        Frame operator*() const { return (*frames_)[k_]; }
        Iterator& operator++()
        {
            ++k_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return k_ != other.k_; }

    private:
        const Frames* frames_;
        size_t k_;
    };
    Iterator begin() const { return Iterator(*this, 0); }
    Iterator end() const { return Iterator(*this, size()); }

private:
    struct Run {
        int source;
        long index, order, count;
        long start;   // its first frame's place in the list
    };
    std::vector<Run> runs_;
    long size_ = 0;
};

class Scan {
public:
    virtual ~Scan() = default;
    // Reads rows row0 ... row0 + count - 1 of frame f: count * columns values,
    // row by row, into out.
    virtual void Read(const Frame& f, int row0, int count, double* out) = 0;

    std::string container;   // what the file is, e.g. "HDF5, NeXus NXtomo (entry /entry)"
    std::string sampleType;  // the stored samples, e.g. "uint16, little-endian"
    int rows = 0, columns = 0;
    Frames projections, flats, darks;
    std::vector<double> angles;  // degrees, one per projection; empty when none are stored
    std::string anglesFrom;      // where they came from, e.g. "/exchange/theta, degrees"
    std::vector<long> otherFrames;  // frames skipped as neither projection, flat nor dark
    long frameCount = 0;            // frames in the order of acquisition, 0 when it is not recorded
    std::string flatsFrom, darksFrom;  // flats and darks taken from other files: where
};

// What the user names of an HDF5 scan: an NXtomo entry to read whatever else
// the file holds (empty: the one that holds data); for a layout that is not
// recognised, the frames, their image keys and angles (paths in the scan
// file, links followed); flats and darks from other files ("FILE" or
// "FILE:PATH"). Empty where not given.
struct Hdf5Names {
    std::string entry;
    std::string data, imageKey, rotationAngle;
    std::string flats, darks;
};

// Opens an HDF5 file in the Data Exchange or the NeXus NXtomo layout,
// recognised by its content, or in the layout that `names` gives. The chunk
// cache of each dataset holds the chunks that one frame touches, up to
// cacheBytes.
std::unique_ptr<Scan> OpenHdf5Scan(const std::string& path, size_t cacheBytes, const Hdf5Names& names);

// True when the file begins with the HDF5 signature.
bool IsHdf5File(const std::string& path);

// Opens the projections named by a file pattern (or one multi-page file),
// with flats and darks from their own patterns (either may be empty).
std::unique_ptr<Scan> OpenTiffScan(const std::string& projections, const std::string& flats,
                                   const std::string& darks);

// True when the file begins with a TIFF byte-order mark and magic number.
bool IsTiffFile(const std::string& path);

#endif
