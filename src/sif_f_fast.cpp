// Float TIFF writer: one uncompressed strip of 32-bit IEEE samples,
// little-endian, with the value range in SMinSampleValue, SMaxSampleValue and
// (on request) ImageDescription.
//
// File layout, D = width * height * 4 sample bytes, all numbers little-endian:
//
//   offset      size  content
//   0           2     "II"
//   2           2     42
//   4           4     D + 8, offset of the only directory
//   8           D     samples, row 0 first, column 0 first, float32 each
//   D + 8       2     entry count: 14 with a description, 13 without
//   D + 10      12n   entries: tag u16, type u16, count u32, value 4 bytes
//   D + 178     4     0, no next directory (D + 166 with 13 entries)
//   D + 182     len   description with its zero byte, when len > 4
//
// Entries in tag order (type 2 ASCII, 3 SHORT, 4 LONG, 11 FLOAT):
//   256 ImageWidth LONG width          257 ImageLength LONG height
//   258 BitsPerSample SHORT 32         259 Compression SHORT 1
//   262 Photometric SHORT 1            270 ImageDescription ASCII len
//   273 StripOffsets LONG 8            277 SamplesPerPixel SHORT 1
//   278 RowsPerStrip LONG height       279 StripByteCounts LONG D
//   284 PlanarConfiguration SHORT 1    339 SampleFormat SHORT 3
//   340 SMinSampleValue FLOAT min      341 SMaxSampleValue FLOAT max
// A SHORT value fills the first two value bytes, then two zero bytes. An
// ASCII value of at most 4 bytes (zero byte included) stands in the value
// field itself, padded with zero bytes; a longer one is replaced by its
// offset D + 182, right after the 14-entry directory.

#include "sif_f_fast.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

static_assert(std::numeric_limits<float>::is_iec559, "float must be IEEE 754 binary32");
static_assert(std::numeric_limits<double>::is_iec559, "double must be IEEE 754 binary64");

char SIF_F_desc[2048];
double SIF_F_min;
double SIF_F_max;
char SIF_F_form[2048] = "%lf\t%lf";

// Samples converted per write: a small buffer, never one of the image's size.
static const int chunk = 1024;

// The stream being written and its path, for the failure report.
static FILE* out;
static const char* target;

// Removes what was written of the output when it is a regular file (never a
// device, pipe or other special file named as the target).
static void Discard()
{
    std::error_code error;
    if (std::filesystem::is_regular_file(target, error))
        std::remove(target);
}

#ifdef PRJSLICE_FUZZ_SEAMS
// Fuzzing builds only: defined by the fuzz target, it unwinds to it instead
// of ending the process, so that one process tries many images.
[[noreturn]] void FuzzFail();
#endif

// Reports that the output could not be stored, removes a partial file and
// ends the process. A file that could not be opened was not written and stays.
[[noreturn]] static void Fail()
{
    if (out && out != stdout) {
        std::fclose(out);
        Discard();
    }
    std::fprintf(stderr, "%s : file not stored.\n", target);
#ifdef PRJSLICE_FUZZ_SEAMS
    FuzzFail();
#else
    std::exit(1);
#endif
}

static void Put(const unsigned char* bytes, size_t count)
{
    if (std::fwrite(bytes, 1, count, out) != count)
        Fail();
}

static void Put16(unsigned v)
{
    const unsigned char bytes[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    Put(bytes, 2);
}

static void Store32(unsigned char* at, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        at[k] = static_cast<unsigned char>(v >> (8 * k));
}

static void Put32(uint32_t v)
{
    unsigned char bytes[4];
    Store32(bytes, v);
    Put(bytes, 4);
}

// Round to nearest even; magnitudes from FLT_MAX + half an ulp on overflow to
// infinity, as an IEEE conversion does (a C++ cast would leave them undefined).
static uint32_t FloatBits(double v)
{
    const double overflow = 0x1.ffffffp127;
    float f;
    if (v >= overflow)
        f = std::numeric_limits<float>::infinity();
    else if (v <= -overflow)
        f = -std::numeric_limits<float>::infinity();
    else
        f = static_cast<float>(v);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

static void PutEntry(unsigned tag, unsigned type, uint32_t count, uint32_t value)
{
    Put16(tag);
    Put16(type);
    Put32(count);
    Put32(value);
}

void StoreImageFile_Float(const char* path, int width, int height,
                          const double* const* rows, const char* desc)
{
    target = path;
    out = nullptr;
    if (std::strcmp(path, "-") == 0)
        out = stdout;
    else if (!(out = std::fopen(path, "wb")))
        Fail();

    const uint32_t D = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 4u;
    const unsigned char magic[4] = {'I', 'I', 42, 0};
    Put(magic, 4);
    Put32(D + 8);

    // Minimum and maximum over the doubles, before conversion; a value that
    // lowers the minimum cannot raise the maximum. A leading NaN stays.
    SIF_F_min = SIF_F_max = rows[0][0];
    unsigned char buffer[4 * chunk];
    for (int i = 0; i < height; ++i) {
        const double* row = rows[i];
        for (int j0 = 0; j0 < width; j0 += chunk) {
            const int count = width - j0 < chunk ? width - j0 : chunk;
            for (int j = 0; j < count; ++j) {
                const double v = row[j0 + j];
                if (v < SIF_F_min)
                    SIF_F_min = v;
                else if (v > SIF_F_max)
                    SIF_F_max = v;
                Store32(buffer + 4 * j, FloatBits(v));
            }
            Put(buffer, 4 * static_cast<size_t>(count));
        }
    }

    uint32_t length = 0;  // description bytes, zero byte included
    if (desc) {
        if (desc == SIF_F_desc)
            std::snprintf(SIF_F_desc, sizeof SIF_F_desc, SIF_F_form, SIF_F_min, SIF_F_max);
        length = static_cast<uint32_t>(std::strlen(desc)) + 1;
    }

    Put16(desc ? 14 : 13);
    PutEntry(256, 4, 1, static_cast<uint32_t>(width));
    PutEntry(257, 4, 1, static_cast<uint32_t>(height));
    PutEntry(258, 3, 1, 32);
    PutEntry(259, 3, 1, 1);
    PutEntry(262, 3, 1, 1);
    if (desc) {
        Put16(270);
        Put16(2);
        Put32(length);
        if (length > 4) {
            Put32(D + 182);
        } else {
            unsigned char value[4] = {0, 0, 0, 0};
            std::memcpy(value, desc, length);
            Put(value, 4);
        }
    }
    PutEntry(273, 4, 1, 8);
    PutEntry(277, 3, 1, 1);
    PutEntry(278, 4, 1, static_cast<uint32_t>(height));
    PutEntry(279, 4, 1, D);
    PutEntry(284, 3, 1, 1);
    PutEntry(339, 3, 1, 3);
    PutEntry(340, 11, 1, FloatBits(SIF_F_min));
    PutEntry(341, 11, 1, FloatBits(SIF_F_max));
    Put32(0);
    if (length > 4)
        Put(reinterpret_cast<const unsigned char*>(desc), length);

    // A file is stored only once it is closed without error; standard output
    // stays open, flushed so that a failed write is still seen here.
    if (out == stdout) {
        if (std::fflush(stdout) != 0)
            Fail();
    } else {
        const int closed = std::fclose(out);
        out = nullptr;
        if (closed != 0) {
            Discard();
            Fail();
        }
    }
}
