// Fuzz target: BPF_RANGE. The input (up to its first zero byte) is set as the
// variable's value, the band table is returned to its state at process start
// (BPF_Reset), and the kernels are evaluated; what the module writes on
// standard error is captured.
//
// A value is either rejected, with exactly one line: "lo:hi : bad range.",
// "lo:hi : overlapping range." or "no range : <value>"; or accepted, with at
// most the warning "range remains (warning) : <rest>" (rest a tail of the
// value) followed by one "lo<TAB>hi" line per band, each with 0 <= lo <= hi
// <= 0.5 as printed, and taps that are finite, even in n and bounded by the
// integral of the kernel's response over the whole band: |BPF_R| <= 1/4,
// |BPF_S| <= 2/pi^2, |BPF_C| <= 1/8 - 1/(2 pi^2). BPF_R(0) is the sum of
// hi^2 - lo^2, which the printed limits must give to their rounding.

#include "seams.h"

#include "bpf.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

void BPF_Reset();

static bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// "lo<TAB>hi\n" lines from at to the end; their count and sum of hi^2 - lo^2.
static bool BandLines(const std::string& err, size_t at, int* count, double* sum)
{
    *count = 0;
    *sum = 0;
    while (at < err.size()) {
        const size_t end = err.find('\n', at);
        if (end == std::string::npos)
            return false;
        const std::string line = err.substr(at, end - at);
        double lo, hi;
        int used = 0;
        if (std::sscanf(line.c_str(), "%lf\t%lf%n", &lo, &hi, &used) != 2 ||
            static_cast<size_t>(used) != line.size() || line.find('\t') == std::string::npos)
            return false;
        if (!(lo >= 0 && lo <= hi && hi <= 0.5))
            return false;
        *sum += hi * hi - lo * lo;
        ++*count;
        at = end + 1;
    }
    return *count > 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string value(reinterpret_cast<const char*>(data),
                            strnlen(reinterpret_cast<const char*>(data), size));
    // putenv with one buffer: setenv would keep a copy of every value tried.
    static std::string assignment;
    assignment = "BPF_RANGE=" + value;
    putenv(&assignment[0]);
    BPF_Reset();

    static const int offsets[] = {1, 2, 3, 7, 64, 1000, 123457, INT_MAX - 1, INT_MAX};
    double r0 = 0, taps[3][2][sizeof offsets / sizeof offsets[0]];
    char* errData = nullptr;
    size_t errSize = 0;
    FILE* const saved = stderr;
    FILE* mem = open_memstream(&errData, &errSize);
    if (!mem)
        Finding("no memory stream");
    stderr = mem;
    bool rejected = false;
    try {
        r0 = BPF_R(0);
        for (size_t k = 0; k < sizeof offsets / sizeof offsets[0]; ++k)
            for (int sign = 0; sign < 2; ++sign) {
                const int n = sign ? -offsets[k] : offsets[k];
                taps[0][sign][k] = BPF_R(n);
                taps[1][sign][k] = BPF_S(n);
                taps[2][sign][k] = BPF_C(n);
            }
    } catch (const Unwound&) {
        rejected = true;
    }
    stderr = saved;
    std::fclose(mem);
    const std::string err(errData, errSize);
    std::free(errData);

    if (rejected) {
        const bool one = err.find('\n') == err.size() - 1;
        Expect(err == "no range : " + value + "\n" ||
                   (one && (EndsWith(err, " : bad range.\n") || EndsWith(err, " : overlapping range.\n"))),
               "rejection reported as \"" + err + "\"");
        return 0;
    }

    // An optional warning with a tail of the value, then the band lines.
    int count = 0;
    double sum = 0;
    bool parsed = BandLines(err, 0, &count, &sum);
    const std::string warning = "range remains (warning) : ";
    for (size_t rest = 1; !parsed && rest <= value.size() && err.compare(0, warning.size(), warning) == 0;
         ++rest) {
        const size_t at = warning.size() + rest;
        parsed = err.size() > at && err.compare(warning.size(), rest, value, value.size() - rest, rest) == 0 &&
                 err[at] == '\n' && BandLines(err, at + 1, &count, &sum);
    }
    Expect(parsed, "accepted value echoed as \"" + err.substr(0, 300) + "\"");
    Expect(r0 > 0 && r0 <= 0.25 * (1 + 1e-12), "BPF_R(0) = " + std::to_string(r0));
    Expect(std::fabs(r0 - sum) <= 1.1e-6 * count, "BPF_R(0) is not the sum over the echoed bands");

    const double bounds[3] = {0.25, 2 / (M_PI * M_PI), 0.125 - 1 / (2 * M_PI * M_PI)};
    const char* names[3] = {"BPF_R", "BPF_S", "BPF_C"};
    for (int kernel = 0; kernel < 3; ++kernel)
        for (size_t k = 0; k < sizeof offsets / sizeof offsets[0]; ++k) {
            const double a = taps[kernel][0][k], b = taps[kernel][1][k];
            const std::string at = std::string(names[kernel]) + "(" + std::to_string(offsets[k]) + ")";
            Expect(std::isfinite(a) && std::fabs(a) <= bounds[kernel] + 1e-9, at + " = " + std::to_string(a));
            Expect(std::memcmp(&a, &b, sizeof a) == 0, at + " is not even");
        }
    return 0;
}
