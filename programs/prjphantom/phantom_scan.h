#ifndef PRJSLICE_PHANTOM_SCAN_H
#define PRJSLICE_PHANTOM_SCAN_H

// Raw detector scans of the phantom volume, as a beamline would record them:
// projections, flat fields and dark fields in HDF5 (Data Exchange, NeXus
// NXtomo) or TIFF files (layouts and counts in phantom_scan.cpp).

#include "phantom.h"

#include <cstdint>
#include <string>
#include <vector>

enum class ScanFormat { DataExchange, NXtomo, Plain, Tiff, TiffMulti };
enum class SampleType { UInt8, UInt16, UInt32, Float32, Float64 };

// Defective pixels, per detector row: each of the first five kinds counts
// single pixels, clusters counts groups of 2 to 6 neighbouring pixels (rules
// in phantom_scan.cpp).
struct Defects {
    int stripes = 0;     // gain in the projections off that in the flats
    int partial = 0;     // gain off in a range of projections only
    int nonlinear = 0;   // response a power of the intensity
    int dead = 0;        // no response to the beam
    int saturated = 0;   // stuck at the largest count
    int clusters = 0;    // neighbours sharing a gain off as stripes'
};

struct PhantomScan {
    ScanFormat format = ScanFormat::DataExchange;
    Detector detector{};
    int rows = 4;                    // detector rows, the slices of the volume
    int M = 0;                       // projections per half turn
    double ra = 0;                   // angle of the first projection, degrees
    std::vector<Ellipse> phantom;    // the volume's equatorial section
    bool fullTurn = false;           // 2M projections over 360 degrees
    bool endFrame = false;           // one more projection at the end angle
    double i0 = 30000;               // open-beam counts at unit gain
    bool poisson = false;            // Poisson counts instead of their means
    uint64_t seed = 1;               // of the gains, dark levels and noise
    SampleType type = SampleType::UInt16;
    bool bigEndian = false;
    int flats = 4, darks = 2;
    bool flatsAfter = false;         // NXtomo: a second flat series at the end
    double drift = 0;                // beam change between the flat series
    bool radians = false;            // angles stored in radians
    std::string compress;            // HDF5 filter name, empty for none
    bool chunked = false;            // HDF5: one frame per chunk
    std::string entry = "entry";     // NXtomo entry group path
    bool invalidFrame = false;       // NXtomo: one frame of image key 3
    double jitter = 0;               // angles off even spacing by up to this many steps
    std::string anglesFile;          // text file of the projections' angles, or empty
    std::string frameAnglesFile;     // text file of every frame's angle, or empty
    std::string flatsFile, darksFile;  // Data Exchange: flats, darks in files of their own
    Defects defects;                 // defective pixels of every row
    std::string out;                 // HDF5 file or TIFF directory
};

// NXtomo's image keys, which also name a frame's kind.
enum ImageKey { kProjection = 0, kFlat = 1, kDark = 2, kInvalid = 3 };

// One frame of the scan: its kind, its index in its series (the K of
// proj_K.tif), the projection whose angle it carries, and the beam I0(f).
struct PhantomFrame {
    int key, index, m;
    double beam;
};

// The number of projections, and every frame in frame order.
int Projections(const PhantomScan& scan);
std::vector<PhantomFrame> FrameOrder(const PhantomScan& scan);

// The detector columns that the defects of one row need at least, each with
// the gap kept beside it, for the check that they can fit the row.
int DefectColumns(const Defects& d);

// The HDF5 filter names that --compress takes.
bool KnownFilter(const std::string& name);

// Writes the scan, or reports on standard error and exits with status 1,
// leaving nothing under the output's final name.
void WriteScan(const PhantomScan& scan);

#endif
