#ifndef PRJSLICE_TIFF_READ_H
#define PRJSLICE_TIFF_READ_H

// A small, strict reader for little-endian TIFF files holding one 32-bit
// IEEE floating-point sample per pixel, written from the TIFF 6.0 layout so
// that the tests can check our files without trusting the code that wrote
// them.
//
// TIFF 6.0 in brief, for the "II" byte order:
//   bytes 0-1  "II"; bytes 2-3  42; bytes 4-7  offset of the first image file
//   directory (IFD), on a word (even) boundary.
//   IFD: a 2-byte entry count n, n entries of 12 bytes sorted by ascending
//   tag, then the 4-byte offset of the next IFD (0 for none).
//   Entry: tag (2), field type (2), count (4), value field (4). When count
//   times the size of the type is at most 4 bytes the values themselves sit
//   left-justified in the value field; otherwise the field holds the (even)
//   offset of the values.
//   Pixel data lie in strips of RowsPerStrip rows (the last may be shorter);
//   StripOffsets and StripByteCounts give one offset and one length per strip.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct TiffEntry {
    uint16_t tag, type;
    uint32_t count;
    uint32_t value;  // raw 4-byte value field as LE uint32
};

struct TiffImage {
    uint32_t width = 0, height = 0;
    std::vector<TiffEntry> entries;  // in file order
    std::vector<float> pixels;       // width*height samples, row 0 first
    bool has_description = false;
    std::string description;  // text without the terminating zero
    float smin = 0, smax = 0;  // SMinSampleValue / SMaxSampleValue
};

namespace tiff_read_detail {

inline uint32_t Get(const std::string& b, uint64_t at, int size)
{
    uint32_t v = 0;
    for (int k = size - 1; k >= 0; --k)
        v = (v << 8) | static_cast<unsigned char>(b[static_cast<size_t>(at) + k]);
    return v;
}

// Size in bytes of one value of a TIFF 6.0 field type; 0 for a type the
// reader does not know (such entries are to be ignored by readers).
inline int TypeSize(uint16_t type)
{
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;   // BYTE ASCII SBYTE UNDEFINED
    case 3: case 8: return 2;                   // SHORT SSHORT
    case 4: case 9: case 11: return 4;          // LONG SLONG FLOAT
    case 5: case 10: case 12: return 8;         // RATIONAL SRATIONAL DOUBLE
    default: return 0;
    }
}

inline float FloatFromBits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Where the values of an entry begin: inside the value field (12-byte entry
// at entry_at, value field at entry_at + 8) or at the offset it holds.
inline uint64_t ValuesAt(const TiffEntry& e, uint64_t entry_at)
{
    return static_cast<uint64_t>(e.count) * TypeSize(e.type) <= 4 ? entry_at + 8 : e.value;
}

}  // namespace tiff_read_detail

inline bool ReadTiff(const std::string& bytes, TiffImage* out, std::string* why)
{
    using namespace tiff_read_detail;
    static_assert(sizeof(float) == 4, "float must be IEEE 754 binary32");
    const uint64_t size = bytes.size();
    auto fail = [why](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    *out = TiffImage();

    if (size < 8)
        return fail("file shorter than the 8-byte header");
    if (bytes[0] != 'I' || bytes[1] != 'I')
        return fail("byte order mark is not \"II\"");
    if (Get(bytes, 2, 2) != 42)
        return fail("magic number is not 42");
    const uint64_t ifd = Get(bytes, 4, 4);
    if (ifd < 8 || ifd % 2 != 0)
        return fail("directory offset " + std::to_string(ifd) + " is below 8 or odd");
    if (ifd + 2 > size)
        return fail("directory offset beyond the end of the file");
    const uint32_t n = Get(bytes, ifd, 2);
    if (n == 0)
        return fail("directory has no entries");
    if (ifd + 2 + 12ull * n + 4 > size)
        return fail("directory runs past the end of the file");

    // Entries, with the position of each one's values.
    std::vector<uint64_t> values_at;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t at = ifd + 2 + 12ull * i;
        TiffEntry e;
        e.tag = static_cast<uint16_t>(Get(bytes, at, 2));
        e.type = static_cast<uint16_t>(Get(bytes, at + 2, 2));
        e.count = Get(bytes, at + 4, 4);
        e.value = Get(bytes, at + 8, 4);
        if (i > 0 && e.tag <= out->entries.back().tag)
            return fail("tags not in ascending order at entry " + std::to_string(i + 1));
        const uint64_t total = static_cast<uint64_t>(e.count) * TypeSize(e.type);
        if (TypeSize(e.type) != 0 && total > 4) {
            if (e.value % 2 != 0)
                return fail("odd value offset in tag " + std::to_string(e.tag));
            if (e.value + total > size)
                return fail("values of tag " + std::to_string(e.tag) + " run past the end");
        }
        out->entries.push_back(e);
        values_at.push_back(ValuesAt(e, at));
    }
    auto find = [&](uint16_t tag) -> int {
        for (size_t i = 0; i < out->entries.size(); ++i)
            if (out->entries[i].tag == tag)
                return static_cast<int>(i);
        return -1;
    };
    // The unsigned integers of an entry of type SHORT or LONG.
    auto uints = [&](int i, std::vector<uint32_t>* v) {
        const TiffEntry& e = out->entries[static_cast<size_t>(i)];
        if (e.type != 3 && e.type != 4)
            return false;
        const int s = TypeSize(e.type);
        v->clear();
        for (uint32_t k = 0; k < e.count; ++k)
            v->push_back(Get(bytes, values_at[static_cast<size_t>(i)] + static_cast<uint64_t>(k) * s, s));
        return true;
    };
    // A single SHORT or LONG; def when the tag is absent and has a default.
    auto single = [&](uint16_t tag, bool required, uint32_t def, uint32_t* v) {
        const int i = find(tag);
        if (i < 0) {
            *v = def;
            return !required;
        }
        std::vector<uint32_t> values;
        if (!uints(i, &values) || values.size() != 1)
            return false;
        *v = values[0];
        return true;
    };

    uint32_t bits = 0, compression = 0, photometric = 0, spp = 0, format = 0, planar = 0;
    uint32_t rows_per_strip = 0;
    if (!single(256, true, 0, &out->width) || out->width == 0)
        return fail("ImageWidth missing, malformed or 0");
    if (!single(257, true, 0, &out->height) || out->height == 0)
        return fail("ImageLength missing, malformed or 0");
    if (!single(258, true, 1, &bits) || bits != 32)
        return fail("BitsPerSample missing or not a single 32");
    if (!single(259, false, 1, &compression) || compression != 1)
        return fail("Compression is not 1 (none)");
    if (!single(262, true, 0, &photometric) || photometric > 1)
        return fail("PhotometricInterpretation missing or not 0/1 (grey)");
    if (!single(277, false, 1, &spp) || spp != 1)
        return fail("SamplesPerPixel is not 1");
    if (!single(278, false, 0xFFFFFFFFu, &rows_per_strip) || rows_per_strip == 0)
        return fail("RowsPerStrip malformed or 0");
    if (!single(284, false, 1, &planar) || (planar != 1 && planar != 2))
        return fail("PlanarConfiguration malformed");
    if (!single(339, true, 1, &format) || format != 3)
        return fail("SampleFormat missing or not 3 (IEEE floating point)");

    // Strips: one offset and one byte count per RowsPerStrip rows.
    const int offsets_i = find(273), counts_i = find(279);
    if (offsets_i < 0 || counts_i < 0)
        return fail("StripOffsets or StripByteCounts missing");
    std::vector<uint32_t> offsets, counts;
    if (!uints(offsets_i, &offsets) || !uints(counts_i, &counts))
        return fail("StripOffsets or StripByteCounts of a wrong type");
    const uint64_t rps = rows_per_strip < out->height ? rows_per_strip : out->height;
    const uint64_t strips = (out->height + rps - 1) / rps;
    if (offsets.size() != strips || counts.size() != strips)
        return fail("strip count does not match ImageLength / RowsPerStrip");
    const uint64_t row_bytes = 4ull * out->width;
    out->pixels.reserve(static_cast<size_t>(out->width) * out->height);
    for (uint64_t s = 0; s < strips; ++s) {
        const uint64_t rows = s + 1 < strips ? rps : out->height - s * rps;
        if (counts[s] != rows * row_bytes)
            return fail("strip " + std::to_string(s) + " holds " + std::to_string(counts[s]) +
                        " bytes, expected " + std::to_string(rows * row_bytes));
        if (static_cast<uint64_t>(offsets[s]) + counts[s] > size)
            return fail("strip " + std::to_string(s) + " runs past the end of the file");
        for (uint64_t k = 0; k < counts[s]; k += 4)
            out->pixels.push_back(FloatFromBits(Get(bytes, offsets[s] + k, 4)));
    }

    // ImageDescription: zero-terminated ASCII.
    const int desc_i = find(270);
    if (desc_i >= 0) {
        const TiffEntry& e = out->entries[static_cast<size_t>(desc_i)];
        if (e.type != 2 || e.count == 0)
            return fail("ImageDescription not ASCII or empty");
        const uint64_t at = values_at[static_cast<size_t>(desc_i)];
        if (bytes[static_cast<size_t>(at + e.count - 1)] != '\0')
            return fail("ImageDescription lacks its terminating zero");
        out->has_description = true;
        out->description = bytes.substr(static_cast<size_t>(at), e.count - 1);
    }

    // SMinSampleValue / SMaxSampleValue: one FLOAT or DOUBLE each.
    for (uint16_t tag : {uint16_t(340), uint16_t(341)}) {
        const int i = find(tag);
        if (i < 0)
            continue;
        const TiffEntry& e = out->entries[static_cast<size_t>(i)];
        float v;
        if (e.type == 11 && e.count == 1) {
            v = FloatFromBits(e.value);
        } else if (e.type == 12 && e.count == 1) {
            const uint64_t at = values_at[static_cast<size_t>(i)];
            const uint64_t b = Get(bytes, at, 4) | static_cast<uint64_t>(Get(bytes, at + 4, 4)) << 32;
            double d;
            std::memcpy(&d, &b, 8);
            v = static_cast<float>(d);
        } else {
            return fail("SMin/SMaxSampleValue not a single FLOAT or DOUBLE");
        }
        (tag == 340 ? out->smin : out->smax) = v;
    }
    return true;
}

#endif
