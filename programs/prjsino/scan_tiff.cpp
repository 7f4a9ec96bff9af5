// Raw scans as TIFF files, read with libtiff: the projections named by a
// file pattern (each file one frame, or a multi-page file one frame per
// page, every file of a pattern as many), flats and darks by patterns of
// their own. Each page must hold one sample per pixel in strips: unsigned or
// signed integers of 8, 16 or 32 bits or IEEE floats of 32 or 64 bits, in
// either byte order (libtiff swaps them).

#include "scan.h"

#include <tiffio.h>

#include <glob.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

// libtiff reports through handlers: the last error is kept for the message
// of the failure that follows it; warnings (unknown tags and the like) are
// not failures and are dropped.
static std::string tiffError;

static void KeepError(const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    tiffError = module ? std::string(module) + ": " + text : text;
}

static void DropWarning(const char*, const char*, va_list) {}

static std::string LibraryError()
{
    std::string text = tiffError.empty() ? "" : " (libtiff: " + tiffError + ")";
    tiffError.clear();
    return text;
}

bool IsTiffFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    if (!in.read(magic, 4))
        return false;
    return (std::memcmp(magic, "II", 2) == 0 && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
           (std::memcmp(magic, "MM", 2) == 0 && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43));
}

// Natural order: runs of digits compare as numbers, the rest byte by byte.
static bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            size_t si = i, sj = j;   // leading zeros do not change the number
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0)
                return c < 0;
            if (ei - i != ej - j)   // equal numbers: fewer leading zeros first
                return ei - i < ej - j;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The files matching a pattern, in natural order.
static std::vector<std::string> ExpandPattern(const std::string& pattern)
{
    std::vector<std::string> files;
    glob_t found;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
        files.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    std::sort(files.begin(), files.end(), NaturalLess);
    return files;
}

// One page's layout, checked against what can be read.
struct Page {
    uint32_t width = 0, length = 0;
    uint16_t bits = 0, format = SAMPLEFORMAT_UINT;
};

class TiffScan : public Scan {
public:
    ~TiffScan() override
    {
        if (open_)
            TIFFClose(open_);
    }
    void Read(const Frame& f, int row0, int count, double* out) override;
    // Adds every page of the files matching the pattern as frames.
    void Add(const std::string& pattern, const char* what, Frames& frames);

    std::vector<std::string> files;

private:
    TIFF* Select(const Frame& f);
    Page Layout(TIFF* tif, const Frame& f);

    TIFF* open_ = nullptr;
    int openFile_ = -1;
    long page_ = -1;
    std::vector<unsigned char> line_;
};

static std::string PageName(const std::string& file, long page)
{
    return page > 0 ? file + " (page " + std::to_string(page + 1) + ")" : file;
}

// Makes frame f's page the current directory of its file, keeping the file
// open for the pages after it.
TIFF* TiffScan::Select(const Frame& f)
{
    if (openFile_ != f.source) {
        if (open_)
            TIFFClose(open_);
        openFile_ = -1;
        open_ = TIFFOpen(files[f.source].c_str(), "rm");
        if (!open_)
            throw ScanError(files[f.source] + ": cannot open the TIFF file" + LibraryError());
        openFile_ = f.source;
        page_ = 0;
    }
    if (page_ != f.index) {
        const bool ok = f.index == page_ + 1 ? TIFFReadDirectory(open_) == 1
                                             : TIFFSetDirectory(open_, static_cast<tdir_t>(f.index)) == 1;
        if (!ok) {
            page_ = -1;
            throw ScanError(PageName(files[f.source], f.index) + ": cannot read the page" + LibraryError());
        }
        page_ = f.index;
    }
    return open_;
}

Page TiffScan::Layout(TIFF* tif, const Frame& f)
{
    Page p;
    uint16_t samples = 1, planar = PLANARCONFIG_CONTIG;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.length);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &p.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    const std::string name = PageName(files[f.source], f.index);
    if (TIFFIsTiled(tif))
        throw ScanError(name + ": a tiled TIFF; only TIFFs in strips are read");
    if (samples != 1)
        throw ScanError(name + ": " + std::to_string(samples) + " samples per pixel; a frame has one");
    const bool integer = (p.format == SAMPLEFORMAT_UINT || p.format == SAMPLEFORMAT_INT) &&
                         (p.bits == 8 || p.bits == 16 || p.bits == 32);
    const bool real = p.format == SAMPLEFORMAT_IEEEFP && (p.bits == 32 || p.bits == 64);
    if (!integer && !real)
        throw ScanError(name + ": samples of " + std::to_string(p.bits) + " bits in sample format " +
                        std::to_string(p.format) + "; 8-, 16- or 32-bit integers or 32- or 64-bit floats are read");
    if (p.width < 1 || p.length < 1 || p.width > kMaxSide || p.length > kMaxSide)
        throw ScanError(name + ": a page of " + std::to_string(p.width) + " x " + std::to_string(p.length) +
                        " pixels");
    return p;
}

template <typename T>
static void Widen(const unsigned char* line, int n, double* out)
{
    for (int k = 0; k < n; ++k) {
        T v;
        std::memcpy(&v, line + k * sizeof(T), sizeof(T));
        out[k] = static_cast<double>(v);
    }
}

void TiffScan::Read(const Frame& f, int row0, int count, double* out)
{
    TIFF* tif = Select(f);
    const Page p = Layout(tif, f);
    const std::string name = PageName(files[f.source], f.index);
    if (int(p.length) != rows || int(p.width) != columns)
        throw ScanError(name + ": a frame of " + std::to_string(p.length) + " x " + std::to_string(p.width) +
                        " pixels, the first projection has " + std::to_string(rows) + " x " +
                        std::to_string(columns));
    line_.resize(static_cast<size_t>(TIFFScanlineSize(tif)));
    if (line_.size() < size_t(columns) * p.bits / 8)
        throw ScanError(name + ": its rows are shorter than its width" + LibraryError());
    for (int r = 0; r < count; ++r) {
        if (TIFFReadScanline(tif, line_.data(), static_cast<uint32_t>(row0 + r)) != 1)
            throw ScanError(name + ": cannot read row " + std::to_string(row0 + r) + LibraryError());
        double* row = out + size_t(r) * columns;
        const unsigned char* bytes = line_.data();
        if (p.format == SAMPLEFORMAT_IEEEFP)
            p.bits == 32 ? Widen<float>(bytes, columns, row) : Widen<double>(bytes, columns, row);
        else if (p.format == SAMPLEFORMAT_INT)
            p.bits == 8 ? Widen<int8_t>(bytes, columns, row)
            : p.bits == 16 ? Widen<int16_t>(bytes, columns, row) : Widen<int32_t>(bytes, columns, row);
        else
            p.bits == 8 ? Widen<uint8_t>(bytes, columns, row)
            : p.bits == 16 ? Widen<uint16_t>(bytes, columns, row) : Widen<uint32_t>(bytes, columns, row);
    }
}

// Every file of a stack holds as many pages as the others: a file with one
// more (a camera's preview page) would shift every angle after it.
void TiffScan::Add(const std::string& pattern, const char* what, Frames& frames)
{
    std::vector<std::string> matched;
    if (IsTiffFile(pattern))
        matched.push_back(pattern);
    else
        matched = ExpandPattern(pattern);
    if (matched.empty())
        throw ScanError(pattern + ": no such file, and no file matches it as a pattern (" + what + ")");
    std::vector<tdir_t> pageCounts;
    for (const std::string& file : matched) {
        if (!IsTiffFile(file))
            throw ScanError(file + ": not a TIFF file (" + what + ")");
        TIFF* tif = TIFFOpen(file.c_str(), "rm");
        if (!tif)
            throw ScanError(file + ": cannot open the TIFF file" + LibraryError());
        tiffError.clear();
        const tdir_t pages = TIFFNumberOfDirectories(tif);
        if (!tiffError.empty()) {
            TIFFClose(tif);
            throw ScanError(file + ": cannot read its pages, after the first " + std::to_string(pages) +
                            "; the file is damaged or cut short" + LibraryError());
        }
        files.push_back(file);
        const Frame first{static_cast<int>(files.size() - 1), 0, -1};
        Page p;
        try {
            p = Layout(tif, first);
        } catch (...) {
            TIFFClose(tif);
            throw;
        }
        const bool bigEndian = TIFFIsBigEndian(tif);
        TIFFClose(tif);
        if (rows == 0) {
            rows = static_cast<int>(p.length);
            columns = static_cast<int>(p.width);
            sampleType = (p.format == SAMPLEFORMAT_IEEEFP ? "float" : p.format == SAMPLEFORMAT_INT ? "int" : "uint") +
                         std::to_string(p.bits);
            if (p.bits > 8)
                sampleType += bigEndian ? ", big-endian" : ", little-endian";
        } else if (int(p.length) != rows || int(p.width) != columns) {
            throw ScanError(file + ": a frame of " + std::to_string(p.length) + " x " + std::to_string(p.width) +
                            " pixels (" + what + "); the first projection has " + std::to_string(rows) + " x " +
                            std::to_string(columns));
        }
        frames.Add(first.source, 0, -1, long(pages));
        pageCounts.push_back(pages);
    }
    // the count most files hold (of equally many, the first file's), and the
    // first file that holds another
    std::map<tdir_t, size_t> holding;   // page count -> files that hold it
    for (tdir_t c : pageCounts)
        ++holding[c];
    tdir_t usual = pageCounts[0];
    for (const auto& [c, n] : holding)
        if (n > holding[usual])
            usual = c;
    const size_t most = holding[usual];
    for (size_t k = 0; k < matched.size(); ++k)
        if (pageCounts[k] != usual)
            throw ScanError(matched[k] + ": " + std::to_string(pageCounts[k]) + (pageCounts[k] == 1 ? " page" : " pages") +
                            ", where " + std::to_string(most) + " of the " + std::to_string(matched.size()) +
                            " files of the " + what + " hold " + std::to_string(usual) +
                            "; the files of a stack hold as many frames each");
}

std::unique_ptr<Scan> OpenTiffScan(const std::string& projections, const std::string& flats,
                                   const std::string& darks)
{
    TIFFSetErrorHandler(KeepError);
    TIFFSetWarningHandler(DropWarning);
    auto scan = std::make_unique<TiffScan>();
    scan->Add(projections, "projections", scan->projections);
    if (!flats.empty())
        scan->Add(flats, "flats", scan->flats);
    if (!darks.empty())
        scan->Add(darks, "darks", scan->darks);
    const int files = scan->projections.back().source + 1;   // the projections' files come first
    scan->container = files == 1 ? "TIFF, one file of " + std::to_string(scan->projections.size()) + " pages"
                                 : "TIFF, " + std::to_string(files) + " files";
    return scan;
}
