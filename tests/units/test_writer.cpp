// Tests of the float TIFF writer: the file compared byte by byte with one
// assembled here from the TIFF layout, then read back by an independent
// reader; the recorded minimum, maximum and description; standard output;
// and the failures that must end the process.

#include "sif_f_fast.h"
#include "testutil.h"
#include "tiff_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

const char kDefaultForm[] = "%lf\t%lf";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The writer's globals as they stood before any test ran (the writer's
// globals are constant-initialised, so they are ready before this runs).
struct Globals {
    std::string desc, form;
    double min, max;
};
const Globals kInitial = {std::string(SIF_F_desc, sizeof SIF_F_desc),
                          std::string(SIF_F_form, sizeof SIF_F_form), SIF_F_min, SIF_F_max};

// ---------------------------------------------------------------------------
// Bytes

uint32_t FloatBits(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

uint64_t DoubleBits(double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return bits;
}

bool IsNaNWord(const std::string& b, size_t at)
{
    const uint32_t w = tiff_read_detail::Get(b, at, 4);
    return (w & 0x7F800000u) == 0x7F800000u && (w & 0x007FFFFFu) != 0;
}

std::string Le(uint32_t v, int size)
{
    std::string s;
    for (int k = 0; k < size; ++k)
        s.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
    return s;
}

std::string Hex(const std::string& b, size_t from, size_t len)
{
    std::string s;
    char buf[4];
    for (size_t k = from; k < from + len && k < b.size(); ++k) {
        std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned char>(b[k]));
        s += buf;
    }
    return s;
}

std::string Format(const char* form, double min, double max)
{
    std::vector<char> buf(4096);
    std::snprintf(buf.data(), buf.size(), form, min, max);
    return buf.data();
}

// Doubles compare equal here when their bits do (so -0 differs from 0), or
// when both are NaN.
bool SameDouble(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || DoubleBits(a) == DoubleBits(b);
}

// ---------------------------------------------------------------------------
// Images: every row its own allocation, reached only through the row pointers.

struct Image {
    int width = 0, height = 0;
    std::vector<std::vector<double>> rows;

    std::vector<const double*> Pointers() const
    {
        std::vector<const double*> p;
        for (const auto& r : rows)
            p.push_back(r.data());
        return p;
    }
    std::vector<double> Values() const
    {
        std::vector<double> v;
        for (const auto& r : rows)
            v.insert(v.end(), r.begin(), r.end());
        return v;
    }
};

Image FromValues(int width, int height, const std::vector<double>& values)
{
    Image im;
    im.width = width;
    im.height = height;
    for (int i = 0; i < height; ++i)
        im.rows.emplace_back(values.begin() + i * width, values.begin() + (i + 1) * width);
    return im;
}

// Values that mostly fall between floats, with distinct rows and columns.
Image Pattern(int width, int height)
{
    std::vector<double> v;
    for (int i = 0; i < height; ++i)
        for (int j = 0; j < width; ++j)
            v.push_back(((i * 7 + j * 13) % 17 - 8) * 0.1 + 0.01 * i - 0.003 * j);
    return FromValues(width, height, v);
}

// ---------------------------------------------------------------------------
// The expected file, assembled from the layout:
//   0      "II", 42, D + 8                     (D = width * height * 4)
//   8      the samples, row 0 first, 4 bytes each
//   D + 8  entry count (13, or 14 with ImageDescription)
//   D + 10 the entries, 12 bytes each: tag, type, count, value field
//   then   4 zero bytes (no next directory)
//   D + 182 the description with its zero byte, when that is over 4 bytes

struct Want {
    std::vector<uint32_t> sample_bits;  // expected sample words, row by row
    double min = 0, max = 0;            // expected SIF_F_min, SIF_F_max
    bool has_desc = false;
    std::string desc;                   // expected ImageDescription text
};

std::string Entry(uint16_t tag, uint16_t type, uint32_t count, const std::string& value)
{
    return Le(tag, 2) + Le(type, 2) + Le(count, 4) + value;
}
std::string Short(uint32_t v) { return Le(v, 2) + std::string(2, '\0'); }
std::string Long(uint32_t v) { return Le(v, 4); }

struct Layout {
    std::string bytes;
    std::vector<size_t> float_words;  // offsets of samples and of the min/max values
};

Layout Expected(int width, int height, const Want& w)
{
    const uint32_t D = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 4;
    Layout out;
    std::string& b = out.bytes;
    b = "II" + Le(42, 2) + Le(D + 8, 4);
    for (uint32_t bits : w.sample_bits) {
        out.float_words.push_back(b.size());
        b += Le(bits, 4);
    }
    const uint32_t length = static_cast<uint32_t>(w.desc.size()) + 1;
    b += Le(w.has_desc ? 14 : 13, 2);
    b += Entry(256, 4, 1, Long(static_cast<uint32_t>(width)));
    b += Entry(257, 4, 1, Long(static_cast<uint32_t>(height)));
    b += Entry(258, 3, 1, Short(32));
    b += Entry(259, 3, 1, Short(1));
    b += Entry(262, 3, 1, Short(1));
    if (w.has_desc) {
        const std::string value = length <= 4
                                      ? w.desc + std::string(4 - w.desc.size(), '\0')
                                      : Long(D + 182);
        b += Entry(270, 2, length, value);
    }
    b += Entry(273, 4, 1, Long(8));
    b += Entry(277, 3, 1, Short(1));
    b += Entry(278, 4, 1, Long(static_cast<uint32_t>(height)));
    b += Entry(279, 4, 1, Long(D));
    b += Entry(284, 3, 1, Short(1));
    b += Entry(339, 3, 1, Short(3));
    out.float_words.push_back(b.size() + 8);
    b += Entry(340, 11, 1, Long(FloatBits(static_cast<float>(w.min))));
    out.float_words.push_back(b.size() + 8);
    b += Entry(341, 11, 1, Long(FloatBits(static_cast<float>(w.max))));
    b += Long(0);
    if (w.has_desc && length > 4)
        b += w.desc + std::string(1, '\0');
    return out;
}

// Names the part of the file an offset falls in, for failure messages.
std::string Where(size_t at, int width, int height, bool has_desc)
{
    const size_t D = static_cast<size_t>(width) * height * 4;
    const size_t entries = has_desc ? 14 : 13;
    if (at < 8)
        return "header";
    if (at < D + 8)
        return "sample row " + std::to_string((at - 8) / 4 / width) + " column " +
               std::to_string((at - 8) / 4 % width);
    if (at < D + 10)
        return "entry count";
    if (at < D + 10 + 12 * entries)
        return "directory entry " + std::to_string((at - D - 10) / 12 + 1);
    if (at < D + 14 + 12 * entries)
        return "closing zero of the directory";
    return "description text";
}

// The file must equal the expected one byte for byte, except that a NaN
// sample or limit may be any NaN.
void ExpectBytes(const std::string& actual, int width, int height, const Want& w)
{
    const Layout exp = Expected(width, height, w);
    EXPECT_EQ(actual.size(), exp.bytes.size()) << "file length";
    const size_t n = std::min(actual.size(), exp.bytes.size());
    std::vector<bool> float_word(exp.bytes.size(), false);
    for (size_t at : exp.float_words)
        float_word[at] = true;
    for (size_t at = 0; at < n; ++at) {
        if (float_word[at] && at + 4 <= n && IsNaNWord(exp.bytes, at) && IsNaNWord(actual, at)) {
            at += 3;
            continue;
        }
        if (actual[at] != exp.bytes[at]) {
            const size_t from = at >= 8 ? at - 8 : 0;
            ADD_FAILURE() << "first differing byte at offset " << at << " ("
                          << Where(at, width, height, w.has_desc) << ")\n  expected from " << from
                          << ": " << Hex(exp.bytes, from, 24) << "\n  actual   from " << from
                          << ": " << Hex(actual, from, 24);
            return;
        }
    }
}

// The file read back by the independent reader.
void ExpectReadBack(const std::string& actual, int width, int height, const Want& w)
{
    TiffImage img;
    std::string why;
    ASSERT_TRUE(ReadTiff(actual, &img, &why)) << why;
    EXPECT_EQ(img.width, static_cast<uint32_t>(width));
    EXPECT_EQ(img.height, static_cast<uint32_t>(height));
    EXPECT_EQ(img.entries.size(), w.has_desc ? 14u : 13u);
    ASSERT_EQ(img.pixels.size(), w.sample_bits.size());
    for (size_t k = 0; k < img.pixels.size(); ++k) {
        const uint32_t got = FloatBits(img.pixels[k]);
        const bool both_nan = std::isnan(img.pixels[k]) &&
                              (w.sample_bits[k] & 0x7F800000u) == 0x7F800000u &&
                              (w.sample_bits[k] & 0x007FFFFFu) != 0;
        EXPECT_TRUE(got == w.sample_bits[k] || both_nan)
            << "pixel " << k << ": read " << std::hex << got << ", expected " << w.sample_bits[k];
    }
    EXPECT_EQ(img.has_description, w.has_desc);
    EXPECT_EQ(img.description, w.has_desc ? w.desc : "");
    EXPECT_TRUE(SameDouble(img.smin, static_cast<float>(w.min))) << img.smin;
    EXPECT_TRUE(SameDouble(img.smax, static_cast<float>(w.max))) << img.smax;
}

void ExpectFile(const std::string& actual, int width, int height, const Want& w)
{
    ExpectBytes(actual, width, height, w);
    ExpectReadBack(actual, width, height, w);
}

std::vector<uint32_t> CastBits(const Image& im)
{
    std::vector<uint32_t> bits;
    for (double v : im.Values())
        bits.push_back(FloatBits(static_cast<float>(v)));
    return bits;
}

// ---------------------------------------------------------------------------
// Running the writer

// Puts another format in place for one scope and restores the old one.
class FormGuard {
public:
    explicit FormGuard(const std::string& form)
    {
        std::memcpy(saved_, SIF_F_form, sizeof saved_);
        std::memset(SIF_F_form, 0, sizeof SIF_F_form);
        std::memcpy(SIF_F_form, form.c_str(), form.size() + 1);
    }
    ~FormGuard() { std::memcpy(SIF_F_form, saved_, sizeof saved_); }
    FormGuard(const FormGuard&) = delete;
    FormGuard& operator=(const FormGuard&) = delete;

private:
    char saved_[sizeof SIF_F_form];
};

void SetDesc(const std::string& text)
{
    std::memset(SIF_F_desc, 0, sizeof SIF_F_desc);
    std::memcpy(SIF_F_desc, text.c_str(), text.size() + 1);
}

// Writes im to path, which first holds a longer file, so that the writer
// must truncate it; returns the new contents.
std::string WriteOver(const std::string& path, const Image& im, const char* desc)
{
    const size_t D = static_cast<size_t>(im.width) * im.height * 4;
    WriteFile(path, std::string(D + 4000, 'x'));
    const std::vector<const double*> rows = im.Pointers();
    StoreImageFile_Float(path.c_str(), im.width, im.height, rows.data(), desc);
    return ReadFile(path);
}

struct ChildResult {
    int status = -1;  // exit status, -1 when the child did not exit normally
    std::string out, err;
};

// Runs body in a forked child with standard output and error sent to files;
// the child ends with _exit(0) unless body ends it first, so nothing is
// flushed for it after body returns.
ChildResult InChild(const std::function<void()>& body)
{
    TempDir dir;
    const std::string out = dir / "out", err = dir / "err";
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(99);
        close(o);
        close(e);
        body();
        _exit(0);
    }
    ChildResult r;
    int raw = 0;
    if (pid > 0 && waitpid(pid, &raw, 0) == pid && WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

// Inside a child: replaces standard output by path.
void StdoutTo(const char* path)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0 || dup2(fd, 1) < 0)
        _exit(98);
    close(fd);
}

// ---------------------------------------------------------------------------

TEST(WriterGlobals, StartAsDeclared)
{
    EXPECT_EQ(kInitial.desc, std::string(2048, '\0'));
    EXPECT_EQ(kInitial.form, std::string(kDefaultForm) + std::string(2048 - 7, '\0'));
    EXPECT_TRUE(SameDouble(kInitial.min, 0.0));
    EXPECT_TRUE(SameDouble(kInitial.max, 0.0));
}

// Header, directory and description over image shapes and descriptions.
enum class Desc { kNone, kOwn, kText };

struct LayoutCase {
    const char* name;
    int width, height;
    Desc kind;
    std::string text;    // kText: the description passed in another buffer
    std::string preset;  // contents of SIF_F_desc before the call
    std::string form;    // format in SIF_F_form, empty for the default
};

std::ostream& operator<<(std::ostream& os, const LayoutCase& c) { return os << c.name; }

class WriterLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(WriterLayout, MatchesLayoutAndReadsBack)
{
    const LayoutCase& c = GetParam();
    const Image im = Pattern(c.width, c.height);
    const std::vector<double> v = im.Values();
    FormGuard form(c.form.empty() ? kDefaultForm : c.form);
    const std::string form_before(SIF_F_form, sizeof SIF_F_form);
    SetDesc(c.preset);
    SIF_F_min = 1234.5;
    SIF_F_max = -1234.5;

    Want w;
    w.sample_bits = CastBits(im);
    w.min = *std::min_element(v.begin(), v.end());
    w.max = *std::max_element(v.begin(), v.end());
    w.has_desc = c.kind != Desc::kNone;
    if (c.kind == Desc::kOwn)
        w.desc = Format(c.form.empty() ? kDefaultForm : c.form.c_str(), w.min, w.max);
    else if (c.kind == Desc::kText)
        w.desc = c.text;

    TempDir dir;
    std::vector<char> other(c.text.begin(), c.text.end());
    other.push_back('\0');
    const char* desc = c.kind == Desc::kNone ? nullptr
                       : c.kind == Desc::kOwn ? SIF_F_desc
                                              : other.data();
    const std::string bytes = WriteOver(dir / "out.tif", im, desc);

    ExpectFile(bytes, c.width, c.height, w);
    EXPECT_TRUE(SameDouble(SIF_F_min, w.min)) << SIF_F_min;
    EXPECT_TRUE(SameDouble(SIF_F_max, w.max)) << SIF_F_max;
    EXPECT_EQ(std::string(SIF_F_desc), c.kind == Desc::kOwn ? w.desc : c.preset);
    EXPECT_EQ(std::string(SIF_F_form, sizeof SIF_F_form), form_before) << "format was changed";
    EXPECT_EQ(std::string(other.data()), c.text) << "caller's description was changed";
}

const std::string kPreset = "left as it was";
const std::string kLong(1000, 'q');

INSTANTIATE_TEST_SUITE_P(
    Shapes, WriterLayout,
    testing::Values(
        LayoutCase{"own_1x1", 1, 1, Desc::kOwn, "", kPreset, ""},
        LayoutCase{"own_2x3", 2, 3, Desc::kOwn, "", kPreset, ""},
        LayoutCase{"own_3x2", 3, 2, Desc::kOwn, "", kLong, ""},
        LayoutCase{"own_256x256", 256, 256, Desc::kOwn, "", kPreset, ""},
        LayoutCase{"none_1x1", 1, 1, Desc::kNone, "", kPreset, ""},
        LayoutCase{"none_2x3", 2, 3, Desc::kNone, "", kPreset, ""},
        LayoutCase{"none_256x256", 256, 256, Desc::kNone, "", kPreset, ""},
        LayoutCase{"empty_text", 2, 3, Desc::kText, "", kPreset, ""},
        LayoutCase{"one_char", 2, 3, Desc::kText, "a", kPreset, ""},
        LayoutCase{"three_chars_1x1", 1, 1, Desc::kText, "abc", kPreset, ""},
        LayoutCase{"three_chars_2x3", 2, 3, Desc::kText, "abc", kPreset, ""},
        LayoutCase{"four_chars_1x1", 1, 1, Desc::kText, "abcd", kPreset, ""},
        LayoutCase{"four_chars_2x3", 2, 3, Desc::kText, "abcd", kPreset, ""},
        LayoutCase{"long_text_256x256", 256, 256, Desc::kText, kLong, kPreset, ""},
        // Same text as SIF_F_desc but another buffer: written unchanged, and
        // SIF_F_desc is not refilled.
        LayoutCase{"same_text_other_buffer", 2, 3, Desc::kText, "0.000000\t0.000000",
                   "0.000000\t0.000000", ""},
        LayoutCase{"own_custom_form", 2, 3, Desc::kOwn, "", kPreset, "min=%.3e max=%.3e"},
        // A custom format may give a text short enough for the value field.
        LayoutCase{"own_custom_form_short", 1, 1, Desc::kOwn, "", kPreset, "%.0f"},
        LayoutCase{"own_custom_form_literal", 2, 3, Desc::kOwn, "", kPreset, "fixed"}),
    [](const testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.name); });

// The first bytes and the pieces the edge cases name, spelt out as numbers.
TEST(WriterLayoutFacts, OffsetsOfKnownSizes)
{
    TempDir dir;
    {
        const Image im = Pattern(256, 256);
        const std::string b = WriteOver(dir / "a.tif", im, SIF_F_desc);
        const std::string head("\x49\x49\x2A\x00\x08\x00\x04\x00", 8);
        EXPECT_EQ(b.substr(0, 8), head);
        const size_t D = 256 * 256 * 4;
        EXPECT_EQ(b.size(), D + 182 + std::strlen(SIF_F_desc) + 1);
        EXPECT_EQ(b.substr(D + 182), std::string(SIF_F_desc) + std::string(1, '\0'));
    }
    {
        const Image im = Pattern(1, 1);
        const std::string b = WriteOver(dir / "b.tif", im, SIF_F_desc);
        EXPECT_EQ(b.substr(4, 4), std::string("\x0c\x00\x00\x00", 4));  // directory at 12
        EXPECT_EQ(b.substr(186), std::string(SIF_F_desc) + std::string(1, '\0'));
        EXPECT_EQ(b.substr(12 + 2 + 5 * 12 + 8, 4), std::string("\xba\x00\x00\x00", 4));  // 186
    }
    {
        const Image im = Pattern(2, 3);
        const std::string b = WriteOver(dir / "c.tif", im, nullptr);
        EXPECT_EQ(b.size(), 24u + 170u);
    }
}

// Conversion to single precision: round to nearest, ties to even, with
// overflow to infinity; each expected word is worked out by hand.
TEST(WriterSamples, RoundToNearestEven)
{
    const double fmax = FLT_MAX;  // (2 - 2^-23) 2^127
    struct Sample {
        double v;
        uint32_t bits;
    };
    const std::vector<Sample> table = {
        {0.1, 0x3DCCCCCDu},
        {3.14159265358979323846, 0x40490FDBu},
        {1 + std::ldexp(1, -24), 0x3F800000u},                        // tie, down to even
        {1 + 3 * std::ldexp(1, -24), 0x3F800002u},                    // tie, up to even
        {1 + std::ldexp(1, -24) + std::ldexp(1, -40), 0x3F800001u},   // above the tie
        {1 + std::ldexp(1, -24) - std::ldexp(1, -50), 0x3F800000u},   // below the tie
        {-(1 + 3 * std::ldexp(1, -24)), 0xBF800002u},
        {16777217.0, 0x4B800000u},                                    // 2^24 + 1
        {16777219.0, 0x4B800002u},                                    // 2^24 + 3
        {std::ldexp(1, -150), 0x00000000u},                           // half the least subnormal
        {3 * std::ldexp(1, -150), 0x00000002u},
        {std::ldexp(1, -150) + std::ldexp(1, -160), 0x00000001u},
        {-std::ldexp(1, -150), 0x80000000u},
        {std::ldexp(1, -126) - std::ldexp(1, -150), 0x00800000u},     // tie up to FLT_MIN
        {-0.0, 0x80000000u},
        {fmax, 0x7F7FFFFFu},
        {fmax + std::ldexp(1, 103) - std::ldexp(1, 75), 0x7F7FFFFFu}, // just below the tie
        {fmax + std::ldexp(1, 103), 0x7F800000u},                     // tie: overflows
        {-(fmax + std::ldexp(1, 103)), 0xFF800000u},
        {1e300, 0x7F800000u},
        {-1e300, 0xFF800000u},
    };
    const int width = 4, height = static_cast<int>((table.size() + 3) / 4);
    std::vector<double> values(static_cast<size_t>(width * height), 0.0);
    Want w;
    w.sample_bits.assign(values.size(), 0);
    for (size_t k = 0; k < table.size(); ++k) {
        values[k] = table[k].v;
        w.sample_bits[k] = table[k].bits;
    }
    const Image im = FromValues(width, height, values);
    // The limits keep their double values; only entries 13 and 14 overflow.
    w.min = -1e300;
    w.max = 1e300;
    w.has_desc = true;
    w.desc = Format(kDefaultForm, -1e300, 1e300);

    TempDir dir;
    const std::string bytes = WriteOver(dir / "r.tif", im, SIF_F_desc);
    ExpectFile(bytes, width, height, w);
    EXPECT_EQ(SIF_F_min, -1e300);
    EXPECT_EQ(SIF_F_max, 1e300);
    EXPECT_EQ(std::string(SIF_F_desc), w.desc);
    EXPECT_GT(w.desc.size(), 600u);  // 301 digits each, not "inf"
}

// Minimum and maximum over the double values, NaN handling, and their
// appearance in entries 13 and 14 and in the description.
struct RangeCase {
    const char* name;
    int width, height;
    std::vector<double> values;
    double min, max;
};

std::ostream& operator<<(std::ostream& os, const RangeCase& c) { return os << c.name; }

class WriterRange : public testing::TestWithParam<RangeCase> {};

TEST_P(WriterRange, LimitsAndDescription)
{
    const RangeCase& c = GetParam();
    const Image im = FromValues(c.width, c.height, c.values);
    Want w;
    w.sample_bits = CastBits(im);
    w.min = c.min;
    w.max = c.max;
    w.has_desc = true;
    w.desc = Format(kDefaultForm, c.min, c.max);

    TempDir dir;
    SIF_F_min = 77;
    SIF_F_max = 77;
    const std::string bytes = WriteOver(dir / "m.tif", im, SIF_F_desc);
    ExpectFile(bytes, c.width, c.height, w);
    EXPECT_TRUE(SameDouble(SIF_F_min, c.min)) << SIF_F_min;
    EXPECT_TRUE(SameDouble(SIF_F_max, c.max)) << SIF_F_max;
    EXPECT_EQ(std::string(SIF_F_desc), w.desc);
}

const double kUp = 1 + std::ldexp(1, -40), kDown = 1 - std::ldexp(1, -40);

INSTANTIATE_TEST_SUITE_P(
    Values, WriterRange,
    testing::Values(
        RangeCase{"first_is_max", 3, 1, {5, -1, 2}, -1, 5},
        RangeCase{"first_is_min", 1, 3, {-5, 1, 2}, -5, 2},
        RangeCase{"down_then_up", 2, 3, {3, 2, 1, 2, 3, 4}, 1, 4},
        RangeCase{"extremes_last", 7, 1, {0, 1, -1, 2, -2, 3, -3}, -3, 3},
        // Differences below single precision still count.
        RangeCase{"beyond_float_precision", 3, 1, {1.0, kUp, kDown}, kDown, kUp},
        RangeCase{"beyond_float_range", 2, 2, {1e300, -1e300, 3e38, 1e39}, -1e300, 1e300},
        RangeCase{"infinities", 2, 2, {0, kInf, -kInf, 1}, -kInf, kInf},
        RangeCase{"nan_not_first", 3, 2, {1, kNaN, -2, 3, kNaN, 0.5}, -2, 3},
        RangeCase{"nan_first", 2, 2, {kNaN, 1, -2, 3}, kNaN, kNaN},
        RangeCase{"nan_first_1x1", 1, 1, {kNaN}, kNaN, kNaN},
        RangeCase{"all_equal", 3, 3, std::vector<double>(9, 0.7), 0.7, 0.7},
        // 0 neither lowers nor raises a -0 that came first.
        RangeCase{"negative_zero_first", 2, 1, {-0.0, 0.0}, -0.0, -0.0}),
    [](const testing::TestParamInfo<RangeCase>& p) { return std::string(p.param.name); });

TEST(WriterRangeFacts, EqualLimitsGiveEqualEntries)
{
    TempDir dir;
    const Image im = FromValues(2, 2, std::vector<double>(4, -3.25));
    const std::string b = WriteOver(dir / "e.tif", im, nullptr);
    const size_t D = 16;
    const std::string min_entry = b.substr(D + 10 + 11 * 12, 12);
    const std::string max_entry = b.substr(D + 10 + 12 * 12, 12);
    EXPECT_EQ(min_entry.substr(8), max_entry.substr(8));
    EXPECT_EQ(min_entry.substr(8), Le(FloatBits(-3.25f), 4));
    EXPECT_EQ(SIF_F_min, -3.25);
    EXPECT_EQ(SIF_F_max, -3.25);
}

// "-" is standard output; the writer flushes it itself, so the bytes are
// complete even though the child ends without flushing.
TEST(WriterPaths, HyphenWritesStandardOutput)
{
    const Image im = Pattern(5, 3);
    const std::vector<double> v = im.Values();
    TempDir dir;
    const std::string stray = dir / "-";
    const ChildResult r = InChild([&] {
        if (chdir(dir.path().c_str()) != 0)
            _exit(97);
        const std::vector<const double*> rows = im.Pointers();
        StoreImageFile_Float("-", im.width, im.height, rows.data(), SIF_F_desc);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(FileExists(stray)) << "a file named - was created";
    Want w;
    w.sample_bits = CastBits(im);
    w.min = *std::min_element(v.begin(), v.end());
    w.max = *std::max_element(v.begin(), v.end());
    w.has_desc = true;
    w.desc = Format(kDefaultForm, w.min, w.max);
    ExpectFile(r.out, im.width, im.height, w);
}

TEST(WriterPaths, HyphenAndMoreIsAFileName)
{
    const Image im = Pattern(2, 3);
    const std::vector<double> v = im.Values();
    TempDir dir;
    const ChildResult r = InChild([&] {
        if (chdir(dir.path().c_str()) != 0)
            _exit(97);
        const std::vector<const double*> rows = im.Pointers();
        StoreImageFile_Float("-x", im.width, im.height, rows.data(), nullptr);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(FileExists(dir / "-x"));
    Want w;
    w.sample_bits = CastBits(im);
    w.min = *std::min_element(v.begin(), v.end());
    w.max = *std::max_element(v.begin(), v.end());
    ExpectFile(ReadFile(dir / "-x"), im.width, im.height, w);
}

// Failures: each ends the process with status 1 and "<path> : file not
// stored." on standard error, and leaves no partial regular file behind.

ChildResult WriteInChild(const std::string& path, int size, const std::function<void()>& before = {})
{
    const Image im = Pattern(size, size);
    return InChild([&] {
        if (before)
            before();
        const std::vector<const double*> rows = im.Pointers();
        StoreImageFile_Float(path.c_str(), im.width, im.height, rows.data(), SIF_F_desc);
    });
}

TEST(WriterFailures, MissingDirectory)
{
    TempDir dir;
    const std::string path = dir / "no-such-dir/out.tif";
    const ChildResult r = WriteInChild(path, 2);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path + " : file not stored.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FileExists(dir / "no-such-dir"));
}

// A device that refuses every write: a 1 x 1 file fits the stream's buffer,
// so only the close can fail; a 256 x 256 one fails while writing.
TEST(WriterFailures, DeviceFull)
{
    TempDir dir;
    const std::string link = dir / "full";
    ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    // Through a link first: a writer that wrongly removes a non-regular
    // output loses only the link, and the device itself is not tried.
    for (int size : {1, 256}) {
        const ChildResult r = WriteInChild(link, size);
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.err, link + " : file not stored.\n") << size;
        struct stat st;
        ASSERT_EQ(lstat(link.c_str(), &st), 0) << "the output, not a regular file, was removed";
    }
    for (int size : {1, 256}) {
        const ChildResult r = WriteInChild("/dev/full", size);
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.err, "/dev/full : file not stored.\n") << size;
        struct stat st;
        ASSERT_EQ(stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

// A file-size limit cuts the regular file short at several places: in the
// samples, in the directory, in the description; for the small files the
// cut shows only when the stream's buffer goes out at the close, for the
// 256 x 256 one while writing. The partial file is removed.
TEST(WriterFailures, ShortWriteRemovesPartialFile)
{
    const size_t D16 = 16 * 16 * 4;
    const struct {
        int size;
        rlim_t limit;
    } cases[] = {{16, 500}, {16, D16 + 8 + 50}, {16, D16 + 182 + 5}, {1, 100}, {256, 4096}};
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir / "cut.tif";
        const ChildResult r = WriteInChild(path, c.size, [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit lim = {c.limit, c.limit};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
                _exit(96);
        });
        EXPECT_EQ(r.status, 1) << c.size << " cut at " << c.limit;
        EXPECT_EQ(r.err, path + " : file not stored.\n") << c.size << " cut at " << c.limit;
        EXPECT_FALSE(FileExists(path)) << c.size << " cut at " << c.limit;
    }
}

// Standard output that refuses writes is reported under the name "-"; a file
// named "-" in the working directory is not touched.
TEST(WriterFailures, StandardOutputFull)
{
    for (int size : {1, 256}) {
        TempDir dir;
        WriteFile(dir / "-", "keep");
        const ChildResult r = WriteInChild("-", size, [&] {
            StdoutTo("/dev/full");
            if (chdir(dir.path().c_str()) != 0)
                _exit(97);
        });
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.err, "- : file not stored.\n") << size;
        EXPECT_EQ(ReadFile(dir / "-"), "keep") << size;
    }
}

// ---------------------------------------------------------------------------
// The reader itself must reject what is not a well-formed float TIFF, or the
// read-back checks above would prove little. Its inputs here are built from
// the layout, not by the writer.

TEST(TiffReader, AcceptsLayoutAndRejectsDamage)
{
    const int width = 3, height = 2;
    const uint32_t D = width * height * 4;
    Want w;
    for (int k = 0; k < width * height; ++k)
        w.sample_bits.push_back(FloatBits(static_cast<float>(k) - 2.5f));
    w.min = -2.5;
    w.max = 2.5;
    w.has_desc = true;
    w.desc = "a long enough text";
    const std::string good = Expected(width, height, w).bytes;
    TiffImage img;
    std::string why;
    ASSERT_TRUE(ReadTiff(good, &img, &why)) << why;
    EXPECT_EQ(img.width, 3u);
    EXPECT_EQ(img.height, 2u);
    EXPECT_EQ(img.entries.size(), 14u);
    EXPECT_EQ(img.entries[5].tag, 270);
    EXPECT_EQ(img.entries[5].value, D + 182);
    ASSERT_EQ(img.pixels.size(), 6u);
    EXPECT_EQ(img.pixels[0], -2.5f);
    EXPECT_EQ(img.pixels[5], 2.5f);
    EXPECT_EQ(img.description, w.desc);
    EXPECT_EQ(img.smin, -2.5f);
    EXPECT_EQ(img.smax, 2.5f);

    const size_t dir = D + 8;
    auto entry = [&](int k) { return dir + 2 + 12 * static_cast<size_t>(k - 1); };
    auto patch = [&](size_t at, const std::string& bytes) {
        std::string b = good;
        b.replace(at, bytes.size(), bytes);
        return b;
    };
    const struct {
        const char* what;
        std::string bytes;
    } damaged[] = {
        {"big-endian mark", patch(0, "MM")},
        {"wrong magic", patch(2, Le(43, 2))},
        {"directory beyond the end", patch(4, Le(static_cast<uint32_t>(good.size() + 1) & ~1u, 4))},
        {"odd directory offset", patch(4, Le(dir + 1, 4))},
        {"no entries", patch(dir, Le(0, 2))},
        {"too many entries", patch(dir, Le(20, 2))},
        {"truncated description", good.substr(0, good.size() - 3)},
        {"description without zero", patch(good.size() - 1, "x")},
        {"16 bits per sample", patch(entry(3) + 8, Le(16, 2))},
        {"compressed", patch(entry(4) + 8, Le(5, 2))},
        {"integer samples", patch(entry(12) + 8, Le(1, 2))},
        {"no SampleFormat", patch(entry(12), Le(338, 2))},
        {"strip too short", patch(entry(10) + 8, Le(D - 4, 4))},
        {"strip beyond the end", patch(entry(7) + 8, Le(static_cast<uint32_t>(good.size()), 4))},
        {"tags out of order", patch(entry(1), Le(258, 2))},
        {"two samples per pixel", patch(entry(8) + 8, Le(2, 2))},
        {"width not matching the strip", patch(entry(1) + 8, Le(2, 4))},
    };
    for (const auto& d : damaged) {
        TiffImage bad;
        std::string reason;
        EXPECT_FALSE(ReadTiff(d.bytes, &bad, &reason)) << d.what;
        EXPECT_FALSE(reason.empty()) << d.what;
    }
}

}  // namespace
