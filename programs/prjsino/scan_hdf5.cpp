// Raw scans in HDF5 files, read with the HDF5 C library.
//
// Two layouts, recognised by their content:
// - Data Exchange: /exchange/data (projections), /exchange/data_white (flats)
//   and /exchange/data_dark (darks), each frames x rows x columns, and
//   /exchange/theta, the angle of each projection, in degrees unless its
//   "units" attribute says radians.
// - NeXus NXtomo: the group (at any depth) holding a dataset "definition"
//   that reads "NXtomo" (the one named, or the only one that holds data);
//   its instrument/detector/data holds every frame in the order of
//   acquisition, instrument/detector/image_key the kind of each (a whole
//   number: 0 projection, 1 flat, 2 dark; any other is skipped), and
//   sample/rotation_angle the angle of each, in the unit its "units"
//   attribute names.
//
// - Named datasets, for a file in neither layout: the frames, and beside
//   them their image keys and angles (one per frame, or per projection), at
//   paths the user gives, links followed. A file in no layout is refused
//   with the list of its datasets of three dimensions, so that the user
//   sees what to name.
// Flats and darks may come from datasets of other files, replacing the
// scan's own.
//
// Declared sizes are checked against the limits and against each other
// before anything is read or reserved for them: a few kilobytes of HDF5 can
// declare a billion frames.
//
// Failures that the library would pass over are checked before the long
// pass: a compression filter that is not installed (it shows only when a
// chunk is read), the missing source file of a virtual dataset (read as fill
// values without an error), an external link to a file that is not there.
// The chunk cache of each dataset is made large enough for the chunks one
// frame touches, so that frames stored one per chunk, or a few per chunk, are
// read from the disk once.

#include "scan.h"

#include <hdf5.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>


// A handle of the library, closed when it goes out of scope.
class Handle {
public:
    Handle(hid_t id = H5I_INVALID_HID) : id_(id) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : id_(other.id_) { other.id_ = H5I_INVALID_HID; }
    Handle& operator=(Handle&& other) noexcept
    {
        std::swap(id_, other.id_);
        return *this;
    }
    ~Handle()
    {
        if (id_ >= 0 && H5Iis_valid(id_) > 0)
            H5Idec_ref(id_);
    }
    operator hid_t() const { return id_; }
    bool ok() const { return id_ >= 0; }

private:
    hid_t id_;
};

// The most specific description on the library's error stack: the place
// where the failure was first seen.
static herr_t Innermost(unsigned n, const H5E_error2_t* e, void* text)
{
    if (n == 0 && e->desc)
        *static_cast<std::string*>(text) = e->desc;
    return 0;
}

static std::string LibraryError()
{
    std::string text;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, Innermost, &text);
    return text.empty() ? "" : " (HDF5: " + text + ")";
}

// The dynamically loaded filters met in scans: their names, and the Debian
// packages that install them.
static std::string FilterName(H5Z_filter_t id)
{
    switch (id) {
    case 307: return " (bzip2)";
    case 32000: return " (LZF)";
    case 32001: return " (Blosc)";
    case 32004: return " (LZ4)";
    case 32008: return " (Bitshuffle)";
    case 32013: return " (ZFP)";
    default: return "";
    }
}

static std::string FilterPackage(H5Z_filter_t id)
{
    switch (id) {
    case 307: case 32004: case 32008: return "install Debian's package hdf5-filter-plugin";
    case 32001: return "install Debian's package hdf5-filter-plugin-blosc-serial";
    case 32013: return "install Debian's package hdf5-filter-plugin-zfp-serial";
    case 32000: return "install Debian's package hdf5-plugin-lzf";
    default: return "its plugin is looked for in HDF5_PLUGIN_PATH";
    }
}

// The text of a string dataset or attribute, fixed-length or variable-length,
// with trailing zeros and blanks removed; false when it holds no string.
static bool ReadText(hid_t object, bool attribute, std::string& text)
{
    Handle type(attribute ? H5Aget_type(object) : H5Dget_type(object));
    if (!type.ok() || H5Tget_class(type) != H5T_STRING)
        return false;
    Handle space(attribute ? H5Aget_space(object) : H5Dget_space(object));
    if (!space.ok() || H5Sget_simple_extent_npoints(space) < 1)
        return false;
    Handle memory(H5Tcopy(H5T_C_S1));
    H5Tset_cset(memory, H5Tget_cset(type));   // the library converts no character set into another
    const htri_t variable = H5Tis_variable_str(type);
    if (variable < 0)
        return false;
    hsize_t one = 1;
    Handle first(H5Scopy(space));
    if (H5Sget_simple_extent_ndims(space) > 0) {
        hsize_t zero[H5S_MAX_RANK] = {};
        hsize_t ones[H5S_MAX_RANK];
        std::fill(ones, ones + H5S_MAX_RANK, 1);
        H5Sselect_hyperslab(first, H5S_SELECT_SET, zero, nullptr, ones, nullptr);
    }
    Handle single(H5Screate_simple(1, &one, nullptr));
    if (variable) {
        H5Tset_size(memory, H5T_VARIABLE);
        char* value = nullptr;
        const herr_t status = attribute ? H5Aread(object, memory, &value)
                                        : H5Dread(object, memory, single, first, H5P_DEFAULT, &value);
        if (status < 0 || !value)
            return false;
        text = value;
        H5free_memory(value);
    } else {
        const size_t size = H5Tget_size(type);
        H5Tset_size(memory, size + 1);
        std::string value(size + 1, '\0');
        const herr_t status = attribute ? H5Aread(object, memory, &value[0])
                                        : H5Dread(object, memory, single, first, H5P_DEFAULT, &value[0]);
        if (status < 0)
            return false;
        text = value.c_str();
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return true;
}

static bool ReadAttributeText(hid_t object, const char* name, std::string& text)
{
    if (H5Aexists(object, name) <= 0)
        return false;
    Handle attribute(H5Aopen(object, name, H5P_DEFAULT));
    return attribute.ok() && ReadText(attribute, true, text);
}

static std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whether every link along the path exists (the objects they point to may not).
static bool LinkExists(hid_t file, const std::string& path)
{
    for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
        const std::string prefix = path.substr(0, at);
        if (H5Lexists(file, prefix.c_str(), H5P_DEFAULT) <= 0)
            return false;
        if (at == std::string::npos)
            return true;
    }
}

// The reason an existing link does not open: an external link whose file or
// object is missing, named with its target.
static std::string WhyNotOpen(hid_t file, const std::string& path)
{
    const std::string error = LibraryError();
    for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
        const std::string prefix = path.substr(0, at);
        H5L_info_t info;
        if (H5Lget_info(file, prefix.c_str(), &info, H5P_DEFAULT) >= 0 && info.type == H5L_TYPE_EXTERNAL) {
            std::string value(info.u.val_size, '\0');
            const char* target = "";
            const char* object = "";
            unsigned flags;
            if (H5Lget_val(file, prefix.c_str(), &value[0], value.size(), H5P_DEFAULT) >= 0)
                H5Lunpack_elink_val(&value[0], value.size(), &flags, &target, &object);
            return prefix + " is an external link to " + object + " in " + target +
                   ", which cannot be opened" + error;
        }
        if (at == std::string::npos)
            break;
    }
    return "cannot open " + path + error;
}

struct Dataset {
    std::string file;   // the file that holds it (the scan, or a file of flats or darks)
    hid_t fileId = H5I_INVALID_HID;
    std::string path;
    Handle id;
    Handle space;
    int rank = 0;
    hsize_t dims[H5S_MAX_RANK] = {};
};

class Hdf5Scan : public Scan {
public:
    void Read(const Frame& f, int row0, int count, double* out) override;
    Dataset* Open(const std::string& path, bool required) { return Open(id, file, path, required); }
    Dataset* Open(hid_t where, const std::string& name, const std::string& path, bool required);
    void CheckStack(Dataset& d);
    void AddKeyed(Dataset* data, Dataset* keys, Dataset* rotation, bool perProjection);
    Dataset* References(const std::string& given, const char* what);
    std::vector<double> ReadAngles(Dataset& d, std::string& unitsFrom);
    void CheckList(const Dataset& d, const char* what, hsize_t frames, const std::string& of);
    std::vector<int> ReadKeys(Dataset& d);

    std::string file;
    size_t cacheBytes = 0;   // the largest chunk cache of a dataset
    Handle id;
    std::vector<Dataset*> sources;
    std::vector<std::unique_ptr<Dataset>> datasets;
    std::vector<Handle> others;   // files of flats and darks
};

static std::string Describe(hid_t type)
{
    const H5T_class_t kind = H5Tget_class(type);
    const size_t bits = 8 * H5Tget_size(type);
    std::string name;
    if (kind == H5T_INTEGER)
        name = (H5Tget_sign(type) == H5T_SGN_NONE ? "uint" : "int") + std::to_string(bits);
    else if (kind == H5T_FLOAT)
        name = "float" + std::to_string(bits);
    else
        return "";
    if (bits > 8)
        name += H5Tget_order(type) == H5T_ORDER_BE ? ", big-endian" : ", little-endian";
    return name;
}

Dataset* Hdf5Scan::Open(hid_t where, const std::string& name, const std::string& path, bool required)
{
    if (!LinkExists(where, path)) {
        if (required)
            throw ScanError(name + ": no dataset " + path);
        return nullptr;
    }
    auto d = std::make_unique<Dataset>();
    d->file = name;
    d->fileId = where;
    d->path = path;
    d->id = Handle(H5Dopen2(where, path.c_str(), H5P_DEFAULT));
    if (!d->id.ok())
        throw ScanError(name + ": " + WhyNotOpen(where, path));
    d->space = Handle(H5Dget_space(d->id));
    d->rank = H5Sget_simple_extent_dims(d->space, d->dims, nullptr);
    if (d->rank < 0)
        throw ScanError(name + ": cannot read the shape of " + path + LibraryError());
    datasets.push_back(std::move(d));
    return datasets.back().get();
}

// Checks that a dataset is a stack of frames that can be read as numbers:
// three dimensions within the limits, integer or float samples, every filter
// installed, every source of a virtual dataset present; reopens a chunked one
// with a chunk cache that holds the chunks of a frame; reads one row to probe
// it.
void Hdf5Scan::CheckStack(Dataset& d)
{
    if (d.rank != 3)
        throw ScanError(d.file + ": " + d.path + " is not a stack of frames (frames x rows x columns): it has " +
                        std::to_string(d.rank) + " dimensions");
    if (d.dims[1] > hsize_t(kMaxSide) || d.dims[2] > hsize_t(kMaxSide))
        throw ScanError(d.file + ": " + d.path + " has frames of " + std::to_string(d.dims[1]) + " x " +
                        std::to_string(d.dims[2]) + " pixels, more than " + std::to_string(kMaxSide) +
                        " a side");
    if (d.dims[0] > hsize_t(kMaxFrames))
        throw ScanError(d.file + ": " + d.path + " holds " + std::to_string(d.dims[0]) + " frames, more than " +
                        std::to_string(kMaxFrames) + " of a scan");
    Handle type(H5Dget_type(d.id));
    if (Describe(type).empty())
        throw ScanError(d.file + ": " + d.path + " does not hold integer or floating-point samples");
    Handle create(H5Dget_create_plist(d.id));
    const int filters = H5Pget_nfilters(create);
    for (int k = 0; k < filters; ++k) {
        unsigned flags, config;
        size_t values = 0;
        const H5Z_filter_t filter = H5Pget_filter2(create, k, &flags, &values, nullptr, 0, nullptr, &config);
        if (filter >= 0 && H5Zfilter_avail(filter) <= 0)
            throw ScanError(d.file + ": " + d.path + " is compressed with HDF5 filter " + std::to_string(filter) +
                            FilterName(filter) + ", which is not installed; " + FilterPackage(filter));
    }
    const H5D_layout_t layout = H5Pget_layout(create);
    if (layout == H5D_VIRTUAL) {
        size_t count = 0;
        H5Pget_virtual_count(create, &count);
        const std::string here = d.file.find('/') == std::string::npos ? "" : d.file.substr(0, d.file.rfind('/') + 1);
        hssize_t mapped = 0;   // samples that the mappings give a source
        for (size_t k = 0; k < count; ++k) {
            Handle selected(H5Pget_virtual_vspace(create, k));
            mapped += selected.ok() ? std::max<hssize_t>(0, H5Sget_select_npoints(selected)) : 0;
            std::string source(H5Pget_virtual_filename(create, k, nullptr, 0) + 1, '\0');
            std::string object(H5Pget_virtual_dsetname(create, k, nullptr, 0) + 1, '\0');
            H5Pget_virtual_filename(create, k, &source[0], source.size());
            H5Pget_virtual_dsetname(create, k, &object[0], object.size());
            source = source.c_str();
            object = object.c_str();
            bool found = false;
            if (source == ".") {
                found = LinkExists(d.fileId, object);
            } else {
                for (const std::string& candidate : {source[0] == '/' ? source : here + source, source}) {
                    if (H5Fis_hdf5(candidate.c_str()) <= 0)
                        continue;
                    Handle other(H5Fopen(candidate.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
                    if (other.ok() && LinkExists(other, object)) {
                        found = true;
                        break;
                    }
                }
            }
            if (!found)
                throw ScanError(d.file + ": " + d.path + " is a virtual dataset whose source " + object + " in " +
                                source + " is missing");
        }
        const hssize_t samples = H5Sget_simple_extent_npoints(d.space);
        if (mapped < samples)
            throw ScanError(d.file + ": " + d.path + " is a virtual dataset whose sources give " +
                            std::to_string(mapped) + " of its " + std::to_string(samples) +
                            " samples; the others would read as fill values");
    }
    if (layout == H5D_CHUNKED) {
        hsize_t chunk[3];
        H5Pget_chunk(create, 3, chunk);
        const hsize_t touched = ((d.dims[1] + chunk[1] - 1) / chunk[1]) * ((d.dims[2] + chunk[2] - 1) / chunk[2]);
        const size_t bytes = std::min<size_t>(cacheBytes, touched * chunk[0] * chunk[1] * chunk[2] *
                                                                  H5Tget_size(type));
        Handle access(H5Pcreate(H5P_DATASET_ACCESS));
        H5Pset_chunk_cache(access, std::max<size_t>(521, 100 * touched + 1), bytes, 1.0);
        d.id = Handle(H5Dopen2(d.fileId, d.path.c_str(), access));
        if (!d.id.ok())
            throw ScanError(d.file + ": cannot open " + d.path + LibraryError());
    }
    if (d.dims[0] > 0 && d.dims[1] > 0 && d.dims[2] > 0) {
        std::vector<double> row(d.dims[2]);
        sources.push_back(&d);
        Read(Frame{static_cast<int>(sources.size() - 1), 0, -1}, 0, 1, row.data());
        sources.pop_back();
    }
}

void Hdf5Scan::Read(const Frame& f, int row0, int count, double* out)
{
    Dataset& d = *sources[f.source];
    const hsize_t start[3] = {hsize_t(f.index), hsize_t(row0), 0};
    const hsize_t size[3] = {1, hsize_t(count), d.dims[2]};
    // a memory space of the selection's own shape keeps the library on its
    // fast path for chunked datasets
    Handle memory(H5Screate_simple(3, size, nullptr));
    if (H5Sselect_hyperslab(d.space, H5S_SELECT_SET, start, nullptr, size, nullptr) < 0 ||
        H5Dread(d.id, H5T_NATIVE_DOUBLE, memory, d.space, H5P_DEFAULT, out) < 0)
        throw ScanError(d.file + ": cannot read frame " + std::to_string(f.index) + " of " + d.path +
                        LibraryError());
}

// The angles of a one-dimensional dataset (its length checked by the
// caller), in degrees: radians when its "units" attribute says so ("rad",
// "radian", "radians"), degrees when it says "deg", "degree" or "degrees" or
// has none.
std::vector<double> Hdf5Scan::ReadAngles(Dataset& d, std::string& from)
{
    std::string units;
    double scale = 1;
    const bool named = ReadAttributeText(d.id, "units", units);
    if (!named && H5Aexists(d.id, "units") > 0)
        throw ScanError(d.file + ": the units attribute of the angles " + d.path +
                        " is not text; it should read degrees or radians");
    std::vector<double> values(d.dims[0]);
    if (!values.empty() && H5Dread(d.id, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0)
        throw ScanError(d.file + ": cannot read the angles " + d.path + LibraryError());
    if (named) {
        const std::string unit = Lower(units);
        if (unit == "rad" || unit == "radian" || unit == "radians")
            scale = 180 / 3.14159265358979323846;
        else if (unit != "deg" && unit != "degree" && unit != "degrees")
            throw ScanError(d.file + ": the angles " + d.path + " are in unknown units \"" + units + "\"");
    }
    for (double& a : values)
        a *= scale;
    from = d.path + (scale == 1 ? ", degrees" : ", radians");
    return values;
}

// Checks that a one-dimensional list of `what` (angles, keys) holds one value
// for each of `frames` frames, named `of`; before anything is read, so that a
// declared length is never trusted for memory.
void Hdf5Scan::CheckList(const Dataset& d, const char* what, hsize_t frames, const std::string& of)
{
    if (d.rank != 1)
        throw ScanError(d.file + ": " + d.path + " is not a list of " + what + ": it has " + std::to_string(d.rank) +
                        " dimensions");
    if (d.dims[0] != frames)
        throw ScanError(d.file + ": " + d.path + " holds " + std::to_string(d.dims[0]) + " " + what + " for " + of);
}

// The image key of every frame: whole numbers, stored as integers or floats.
std::vector<int> Hdf5Scan::ReadKeys(Dataset& d)
{
    std::vector<double> values(d.dims[0]);
    if (!values.empty() && H5Dread(d.id, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0)
        throw ScanError(d.file + ": cannot read " + d.path + LibraryError());
    std::vector<int> keys(values.size());
    for (size_t k = 0; k < values.size(); ++k) {
        const double v = values[k];
        if (!(std::fabs(v) <= INT_MAX) || v != std::floor(v)) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", v);
            throw ScanError(d.file + ": " + d.path + " holds " + text + " for frame " + std::to_string(k) +
                            ", which is not an image key (a whole number: 0 projection, 1 flat, 2 dark)");
        }
        keys[k] = static_cast<int>(v);
    }
    return keys;
}

// The datasets of three dimensions in a file, each once whatever the links
// to it ("/path (frames x rows x columns)"), for a message that shows what
// there is to name. Links are followed where they resolve.
struct Listing {
    std::vector<std::string> found;
    std::vector<std::pair<unsigned long, haddr_t>> seen;
};

static herr_t ListStack(hid_t group, const char* name, const H5L_info_t*, void* data)
{
    auto* listing = static_cast<Listing*>(data);
    H5O_info_t info;
    if (H5Oget_info_by_name2(group, name, &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0 || info.type != H5O_TYPE_DATASET)
        return 0;
    const std::pair<unsigned long, haddr_t> object(info.fileno, info.addr);
    if (std::find(listing->seen.begin(), listing->seen.end(), object) != listing->seen.end())
        return 0;
    listing->seen.push_back(object);
    Handle set(H5Dopen2(group, name, H5P_DEFAULT));
    Handle space(set.ok() ? H5Dget_space(set) : H5I_INVALID_HID);
    hsize_t dims[H5S_MAX_RANK];
    if (space.ok() && H5Sget_simple_extent_dims(space, dims, nullptr) == 3)
        listing->found.push_back("/" + std::string(name) + " (" + std::to_string(dims[0]) + " x " +
                                 std::to_string(dims[1]) + " x " + std::to_string(dims[2]) + ")");
    return 0;
}

static std::vector<std::string> Stacks(hid_t file)
{
    Listing listing;
    H5Lvisit(file, H5_INDEX_NAME, H5_ITER_NATIVE, ListStack, &listing);
    return listing.found;
}

// The most datasets a message lists.
static const size_t kListed = 12;

static std::string ListStacks(const std::vector<std::string>& stacks)
{
    if (stacks.empty())
        return "it holds no dataset of three dimensions";
    std::string text = "its datasets of three dimensions: ";
    for (size_t k = 0; k < stacks.size() && k < kListed; ++k)
        text += (k ? ", " : "") + stacks[k];
    if (stacks.size() > kListed)
        text += " and " + std::to_string(stacks.size() - kListed) + " more";
    return text;
}

// A path from the root, as the user may give it without the leading slash.
static std::string Absolute(const std::string& path)
{
    return path.compare(0, 1, "/") == 0 ? path : "/" + path;
}

// The groups whose "definition" dataset reads NXtomo, in the order of their
// names.
static herr_t VisitLink(hid_t group, const char* name, const H5L_info_t* info, void* data)
{
    auto* entries = static_cast<std::vector<std::string>*>(data);
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    if (info->type != H5L_TYPE_HARD || std::strcmp(base, "definition") != 0)
        return 0;
    Handle definition(H5Dopen2(group, name, H5P_DEFAULT));
    std::string text;
    if (definition.ok() && ReadText(definition, false, text) && Lower(text) == "nxtomo") {
        std::string entry = "/" + std::string(name, base - name);
        if (entry.size() > 1)
            entry.pop_back();
        entries->push_back(entry);
    }
    return 0;
}

static std::string Joined(const std::vector<std::string>& entries)
{
    std::string text;
    for (const std::string& e : entries)
        text += (text.empty() ? "" : ", ") + e;
    return text;
}

// The NXtomo entry to read: the one named (with or without its leading
// slash), else the only one, else the only one that holds data; a choice
// among several with data is left to the user, naming them.
static std::string ChooseEntry(hid_t file, const std::string& path, std::string wanted)
{
    std::vector<std::string> entries;
    H5Lvisit(file, H5_INDEX_NAME, H5_ITER_INC, VisitLink, &entries);
    if (!wanted.empty()) {
        if (wanted[0] != '/')
            wanted = "/" + wanted;
        while (wanted.size() > 1 && wanted.back() == '/')
            wanted.pop_back();
        if (std::find(entries.begin(), entries.end(), wanted) == entries.end())
            throw ScanError(path + ": no NXtomo entry " + wanted + " (--entry); " +
                            (entries.empty() ? "the file has none" : "its NXtomo entries: " + Joined(entries)));
        return wanted;
    }
    if (entries.empty())
        throw ScanError(path + ": neither a Data Exchange file (no /exchange/data) nor a NeXus NXtomo "
                               "file (no group whose definition is NXtomo); " +
                        ListStacks(Stacks(file)) + "; name the frames with --data PATH");
    std::vector<std::string> withData;
    for (const std::string& e : entries)
        if (LinkExists(file, (e == "/" ? "" : e) + "/instrument/detector/data"))
            withData.push_back(e);
    if (withData.size() > 1)
        throw ScanError(path + ": " + std::to_string(withData.size()) + " NXtomo entries hold data: " +
                        Joined(withData) + "; choose one with --entry");
    return withData.empty() ? entries.front() : withData.front();
}

// Frames of kinds by image key (0 projection, 1 flat, 2 dark; any other value
// skipped) in the order of acquisition, and the angles of the projections
// from a list of one angle per frame, or where perProjection allows it one
// per projection. Both lengths are checked before either list is read.
void Hdf5Scan::AddKeyed(Dataset* data, Dataset* keys, Dataset* rotation, bool perProjection)
{
    const std::string frames = "the " + std::to_string(data->dims[0]) + " frames of " + data->path;
    CheckList(*keys, "keys", data->dims[0], frames);
    const bool perFrame = rotation && !(perProjection && rotation->rank == 1 && rotation->dims[0] != data->dims[0]);
    if (perFrame)
        CheckList(*rotation, "angles", data->dims[0], frames);
    const std::vector<int> key = ReadKeys(*keys);
    sources.push_back(data);
    const int source = static_cast<int>(sources.size() - 1);
    for (size_t k = 0; k < key.size(); ++k) {
        if (key[k] == 0)
            projections.Add(source, long(k), long(k));
        else if (key[k] == 1)
            flats.Add(source, long(k), long(k));
        else if (key[k] == 2)
            darks.Add(source, long(k), long(k));
        else
            otherFrames.push_back(long(k));
    }
    frameCount = long(key.size());
    if (!rotation)
        return;
    if (!perFrame) {
        CheckList(*rotation, "angles", projections.size(),
                  std::to_string(projections.size()) + " projections (nor for " + frames + ")");
        angles = ReadAngles(*rotation, anglesFrom);
        anglesFrom += ", one per projection";
        return;
    }
    const std::vector<double> rotationAngles = ReadAngles(*rotation, anglesFrom);
    for (const Frame& f : projections)
        angles.push_back(rotationAngles[f.index]);
}

// Flats or darks from a file of their own, given as FILE or FILE:PATH; without
// a path, the file's one dataset of three dimensions.
Dataset* Hdf5Scan::References(const std::string& given, const char* what)
{
    std::string name = given, path;
    const auto exists = [](const std::string& candidate) {
        struct stat st;
        return stat(candidate.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    };
    const size_t colon = given.rfind(':');
    if (!exists(given) && colon != std::string::npos && exists(given.substr(0, colon))) {
        name = given.substr(0, colon);
        path = Absolute(given.substr(colon + 1));
    }
    if (!exists(name))
        throw ScanError(given + ": no such file (" + what + ")");
    if (H5Fis_hdf5(name.c_str()) <= 0)
        throw ScanError(name + ": not an HDF5 file (" + what + "); the " + what + " of an HDF5 scan are read from "
                        "HDF5 files");
    Handle other(H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    if (!other.ok())
        throw ScanError(name + ": cannot open the HDF5 file" + LibraryError());
    if (path.empty()) {
        const std::vector<std::string> stacks = Stacks(other);
        if (stacks.size() != 1)
            throw ScanError(name + ": " + ListStacks(stacks) + "; name the " + what + " as " + name + ":PATH");
        path = stacks[0].substr(0, stacks[0].find(" ("));
    }
    Dataset* d = Open(other, name, path, true);
    others.push_back(std::move(other));
    CheckStack(*d);
    return d;
}

bool IsHdf5File(const std::string& path)
{
    return H5Fis_hdf5(path.c_str()) > 0;
}

std::unique_ptr<Scan> OpenHdf5Scan(const std::string& path, size_t cacheBytes, const Hdf5Names& names)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    auto scan = std::make_unique<Hdf5Scan>();
    Hdf5Scan& s = *scan;
    s.file = path;
    s.cacheBytes = cacheBytes;
    s.id = Handle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    if (!s.id.ok())
        throw ScanError(path + ": cannot open the HDF5 file" + LibraryError());

    const std::string& entryOption = names.entry;
    Dataset* data;
    if (!names.data.empty()) {
        s.container = "HDF5, named datasets (--data " + Absolute(names.data) + ")";
        data = s.Open(Absolute(names.data), true);
        s.CheckStack(*data);
        Dataset* keys = names.imageKey.empty() ? nullptr : s.Open(Absolute(names.imageKey), true);
        Dataset* rotation = names.rotationAngle.empty() ? nullptr : s.Open(Absolute(names.rotationAngle), true);
        if (keys) {
            s.AddKeyed(data, keys, rotation, true);
        } else {
            // every frame a projection
            if (rotation)
                s.CheckList(*rotation, "angles", data->dims[0], std::to_string(data->dims[0]) + " projections");
            s.sources.push_back(data);
            s.projections.Add(0, 0, 0, long(data->dims[0]));
            s.frameCount = long(data->dims[0]);
            if (rotation)
                s.angles = s.ReadAngles(*rotation, s.anglesFrom);
        }
    } else if (entryOption.empty() && LinkExists(s.id, "/exchange/data")) {
        s.container = "HDF5, Data Exchange";
        data = s.Open("/exchange/data", true);
        Dataset* flats = s.Open("/exchange/data_white", false);
        Dataset* darks = s.Open("/exchange/data_dark", false);
        for (Dataset* d : {data, flats, darks})
            if (d)
                s.CheckStack(*d);
        const auto add = [&](Dataset* d, Frames& frames) {
            if (!d)
                return;
            s.sources.push_back(d);
            frames.Add(static_cast<int>(s.sources.size() - 1), 0, -1, long(d->dims[0]));
        };
        add(data, s.projections);
        add(flats, s.flats);
        add(darks, s.darks);
        if (Dataset* theta = s.Open("/exchange/theta", false)) {
            s.CheckList(*theta, "angles", data->dims[0], std::to_string(data->dims[0]) + " projections");
            s.angles = s.ReadAngles(*theta, s.anglesFrom);
        }
    } else {
        const std::string chosen = ChooseEntry(s.id, path, entryOption);
        const std::string entry = chosen == "/" ? "" : chosen;
        s.container = "HDF5, NeXus NXtomo (entry " + chosen + ")";
        data = s.Open(entry + "/instrument/detector/data", true);
        s.CheckStack(*data);
        Dataset* keys = s.Open(entry + "/instrument/detector/image_key", true);
        Dataset* rotation = s.Open(entry + "/sample/rotation_angle", true);
        s.AddKeyed(data, keys, rotation, false);
    }
    const auto replace = [&](const std::string& given, const char* what, Frames& frames, std::string& from) {
        if (given.empty())
            return;
        Dataset* d = s.References(given, what);
        s.sources.push_back(d);
        frames = Frames();
        frames.Add(static_cast<int>(s.sources.size() - 1), 0, -1, long(d->dims[0]));
        from = d->file + ":" + d->path;
    };
    replace(names.flats, "flats", s.flats, s.flatsFrom);
    replace(names.darks, "darks", s.darks, s.darksFrom);
    s.rows = static_cast<int>(data->dims[1]);
    s.columns = static_cast<int>(data->dims[2]);
    if (s.rows < 1 || s.columns < 1)
        throw ScanError(path + ": " + data->path + " has frames of " + std::to_string(data->dims[1]) + " x " +
                        std::to_string(data->dims[2]) + " pixels");
    for (Dataset* d : s.sources)
        if (d->dims[1] != data->dims[1] || d->dims[2] != data->dims[2])
            throw ScanError(path + ": the frames of " + d->path + " are " + std::to_string(d->dims[1]) + " x " +
                            std::to_string(d->dims[2]) + " pixels, those of " + data->path + " " +
                            std::to_string(s.rows) + " x " + std::to_string(s.columns));
    Handle type(H5Dget_type(data->id));
    s.sampleType = Describe(type);
    return scan;
}
