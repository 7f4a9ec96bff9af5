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

class Scan {
public:
    virtual ~Scan() = default;
    // Reads rows row0 ... row0 + count - 1 of frame f: count * columns values,
    // row by row, into out.
    virtual void Read(const Frame& f, int row0, int count, double* out) = 0;

    std::string container;   // what the file is, e.g. "HDF5, NeXus NXtomo (entry /entry)"
    std::string sampleType;  // the stored samples, e.g. "uint16, little-endian"
    int rows = 0, columns = 0;
    std::vector<Frame> projections, flats, darks;
    std::vector<double> angles;  // degrees, one per projection; empty when none are stored
    std::string anglesFrom;      // where they came from, e.g. "/exchange/theta, degrees"
    std::vector<long> otherFrames;  // frames skipped as neither projection, flat nor dark
    long frameCount = 0;            // frames in the order of acquisition, 0 when it is not recorded
    std::string flatsFrom, darksFrom;  // flats and darks taken from other files: where
};

// Datasets of an HDF5 scan named by the user: the frames, their image keys
// and angles in the scan file (paths, links followed), for a layout that is
// not recognised; flats and darks from other files ("FILE" or "FILE:PATH").
// Empty where not given.
struct Hdf5Names {
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
