// Fuzz target: the float TIFF writer over arbitrary sizes, descriptions and
// sample values, its file checked against the independent reader of the
// tests and against the layout.
//
// Input: bytes 0-1 and 2-3 (little-endian) give the width and height, 1 ...
// 512 each with at most 65536 pixels (the height is cut to fit); byte 4 the
// description (bits 0-1: none, the writer's own buffer, a text of the input,
// the own buffer with another value format chosen by bits 4-5) and the target
// (bits 2-3: a file, standard output, /dev/full, a path in a missing
// directory); byte 5 the length of the description text, which follows; the
// rest the samples as little-endian doubles (repeated when short, zeros when
// absent).
//
// Checks: a writable target receives exactly the layout's number of bytes,
// which the reader accepts, with every sample the double rounded to float
// (beyond the float range: the infinity of its sign, from FLT_MAX plus half an
// ulp on), SMin/SMaxSampleValue and SIF_F_min/max the smallest and largest
// double (a NaN counts only as the very first sample), and the description
// as asked. An unwritable target is reported as "<path> : file not stored."
// and leaves nothing behind.

#include "seams.h"

#include "sif_f_fast.h"
#include "tiff_read.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static std::string scratch;

static void RemoveScratch()
{
    std::remove((scratch + "/out.tif").c_str());
    rmdir(scratch.c_str());
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/dev/shm/prjslice-fuzz-XXXXXX";
    if (!mkdtemp(pattern))
        Finding("no scratch directory");
    scratch = pattern;
    std::atexit(RemoveScratch);
    return 0;
}

static double DoubleAt(const uint8_t* data, size_t at)
{
    uint64_t bits = 0;
    for (int k = 0; k < 8; ++k)
        bits |= static_cast<uint64_t>(data[at + k]) << (8 * k);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

// The float nearest to v, ties to even, computed without the writer: within
// the float range by the conversion, beyond it by the rounding rule.
static float Nearest(double v)
{
    const double limit = static_cast<double>(FLT_MAX) + 0x1p103;  // FLT_MAX + half an ulp
    if (std::fabs(v) <= FLT_MAX || std::isnan(v))
        return static_cast<float>(v);
    if (std::fabs(v) < limit)
        return std::signbit(v) ? -FLT_MAX : FLT_MAX;
    return std::signbit(v) ? -INFINITY : INFINITY;
}

static bool SameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

static bool SameDouble(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    const int width = 1 + (data[0] | data[1] << 8) % 512;
    int height = 1 + (data[2] | data[3] << 8) % 512;
    if (width * height > 65536)
        height = 65536 / width;
    const int descKind = data[4] & 3, targetKind = (data[4] >> 2) & 3, form = (data[4] >> 4) & 3;
    size_t at = 6;
    const size_t textLength = std::min<size_t>(data[5], size - at);
    std::string text(reinterpret_cast<const char*>(data + at), textLength);
    text = text.substr(0, text.find('\0'));
    at += textLength;

    const size_t count = (size - at) / 8;
    std::vector<double> pixels(static_cast<size_t>(width) * height);
    for (size_t k = 0; k < pixels.size(); ++k)
        pixels[k] = count ? DoubleAt(data, at + 8 * (k % count)) : 0.0;
    std::vector<const double*> rows;
    for (int i = 0; i < height; ++i)
        rows.push_back(pixels.data() + static_cast<size_t>(i) * width);

    static const char* const forms[4] = {"%lf\t%lf", "%g %g", "%.17g\t%.17g", "%e|%e"};
    std::strcpy(SIF_F_form, descKind == 3 ? forms[form] : forms[0]);
    const char* desc = descKind == 0 ? nullptr : descKind == 2 ? text.c_str() : SIF_F_desc;
    const std::string file = scratch + "/out.tif";
    const std::string missing = scratch + "/no/such/dir/out.tif";
    const char* const targets[4] = {file.c_str(), "-", "/dev/full", missing.c_str()};
    const char* target = targets[targetKind];
    std::remove(file.c_str());

    // Standard output and error stand in memory for the call.
    char *outData = nullptr, *errData = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* const savedOut = stdout;
    FILE* const savedErr = stderr;
    FILE* out = open_memstream(&outData, &outSize);
    FILE* err = open_memstream(&errData, &errSize);
    if (!out || !err)
        Finding("no memory streams");
    stdout = out;
    stderr = err;
    bool failed = false;
    try {
        StoreImageFile_Float(target, width, height, rows.data(), desc);
    } catch (const Unwound&) {
        failed = true;
    }
    stdout = savedOut;
    stderr = savedErr;
    std::fclose(out);
    std::fclose(err);
    const std::string printed(outData, outSize), message(errData, errSize);
    std::free(outData);
    std::free(errData);
    std::strcpy(SIF_F_form, forms[0]);

    if (targetKind >= 2) {
        Expect(failed, std::string("writing to ") + target + " succeeded");
        Expect(message == std::string(target) + " : file not stored.\n", "failure reported as " + message);
        struct stat st;
        Expect(targetKind != 2 || (stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode)), "/dev/full is gone");
        Expect(targetKind != 3 || access((scratch + "/no").c_str(), F_OK) != 0, "a directory was made");
        return 0;
    }
    Expect(!failed && message.empty(), "writing to " + std::string(target) + " failed: " + message);

    std::string bytes = printed;
    if (targetKind == 0) {
        Expect(printed.empty(), "a file target wrote on standard output");
        FILE* f = std::fopen(file.c_str(), "rb");
        Expect(f != nullptr, "no output file");
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.append(buffer, n);
        std::fclose(f);
    }

    // The smallest and largest double: the first sample, then each that is
    // below the minimum or above the maximum (a NaN is neither).
    double lo = pixels[0], hi = pixels[0];
    for (double v : pixels) {
        if (v < lo)
            lo = v;
        if (v > hi)
            hi = v;
    }
    Expect(SameDouble(SIF_F_min, lo) && SameDouble(SIF_F_max, hi), "SIF_F_min or SIF_F_max wrong");
    std::string expected;  // the description text
    if (descKind == 2) {
        expected = text;
    } else if (desc) {
        char buffer[2048];
        std::snprintf(buffer, sizeof buffer, descKind == 3 ? forms[form] : forms[0], lo, hi);
        expected = buffer;
        Expect(expected == SIF_F_desc, "SIF_F_desc is not the formatted range");
    }
    const size_t D = pixels.size() * 4;
    const size_t length = desc ? expected.size() + 1 : 0;
    const size_t total = !desc ? D + 170 : length <= 4 ? D + 182 : D + 182 + length;
    Expect(bytes.size() == total,
           "file of " + std::to_string(bytes.size()) + " bytes, the layout gives " + std::to_string(total));

    TiffImage image;
    std::string why;
    Expect(ReadTiff(bytes, &image, &why), "the reader rejects the file: " + why);
    Expect(image.width == static_cast<uint32_t>(width) && image.height == static_cast<uint32_t>(height),
           "wrong size");
    Expect(image.entries.size() == (desc ? 14u : 13u), "wrong number of entries");
    Expect(image.has_description == (desc != nullptr) && (!desc || image.description == expected),
           "wrong description");
    Expect(SameBits(image.smin, Nearest(lo)) && SameBits(image.smax, Nearest(hi)), "wrong SMin/SMaxSampleValue");
    for (size_t k = 0; k < pixels.size(); ++k)
        Expect(SameBits(image.pixels[k], Nearest(pixels[k])), "sample " + std::to_string(k) + " wrong");
    return 0;
}
