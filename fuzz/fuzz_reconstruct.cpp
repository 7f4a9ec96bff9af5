// Fuzz target: a whole small reconstruction (workspace, filter, angular
// interpolation, disc, back-projection) from arbitrary bytes.
//
// Input: byte 0 gives N = 2 ... 64, byte 1 gives M = 1 ... 64, byte 2 how
// r0/dr is taken (even: bytes 11-18 as a double, used when it lies strictly
// between 1 - N and 0; odd: that double's bit pattern as a fraction of the
// range), bytes 3-10 dr and bytes 19-26 ra (degrees) as doubles, the rest
// the samples (repeated when short, zeros when absent), all little-endian.
// Inputs the program would reject (|dr| < 1e-9, non-finite dr or ra, r0/dr
// outside its range) are skipped.
//
// Checks:
// - the disc lies on the image, and at every angle every pixel of it falls on
//   a detector coordinate d with -1 < d < N, so that the two bins read,
//   trunc(d) and the next, are on the row or its zero guard (computed here
//   from the geometry with the engine's arithmetic, apart from the engine);
// - every back-projection path the CPU runs gives the scalar image to the bit;
// - pixels outside the disc are 0, and with finite samples of moderate size
//   every pixel is finite.

#include "seams.h"

#include "cbp.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

static double DoubleAt(const uint8_t* data, size_t size, size_t at)
{
    uint64_t bits = 0;
    for (int k = 0; k < 8; ++k)
        bits |= static_cast<uint64_t>(at + k < size ? data[at + k] : 0) << (8 * k);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

static bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// The engine's geometry, step by step with its operations: the disc of radius
// centre - |r0/dr + centre|, nsub angles per measured interval (at most
// Kmax / M), the angle running from ra by adding pi / K. Returns a
// description of the first pixel off the image or off the detector.
static std::string OffTheDetector(int N, int M, double r0dr, double ra)
{
    const double pi = 3.141592653589793;
    const double centre = (N - 1) * 0.5;
    const double radius = centre - std::fabs(r0dr + centre);
    const long long Kmax = RowsCBP(N, M);
    long long nsub = static_cast<long long>(std::ceil(radius * pi / M));
    if (nsub > Kmax / M)
        nsub = Kmax / M;
    const long long K = M * nsub;
    const double step = pi / K;
    const int i0 = static_cast<int>(std::ceil(centre - radius));
    const int i1 = static_cast<int>(centre + radius);
    if (i0 < 0 || i1 > N - 1)
        return "disc rows " + std::to_string(i0) + " ... " + std::to_string(i1);
    std::vector<int> first(N), last(N);
    double v = centre - i0;
    for (int i = i0; i <= i1; ++i, v -= 1.0) {
        const double s = std::sqrt(std::fmax(radius * radius - v * v, 0.0));
        first[i] = static_cast<int>(std::ceil(centre - s));
        last[i] = static_cast<int>(centre + s);
        if (first[i] < 0 || last[i] > N - 1)
            return "disc columns of row " + std::to_string(i);
    }
    double theta = ra;
    for (long long k = 0; k < K; ++k, theta += step) {
        const double c = std::cos(theta), s = std::sin(theta);
        for (int i = i0; i <= i1; ++i) {
            const double t = (centre - i) * s - r0dr;
            for (int j = first[i]; j <= last[i]; ++j) {
                const double d = (j - centre) * c + t;
                if (!(d > -1 && d < N))
                    return "pixel " + std::to_string(i) + "," + std::to_string(j) + " angle " +
                           std::to_string(k) + " at " + std::to_string(d);
            }
        }
    }
    return "";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const int N = 2 + data[0] % 63;
    const int M = 1 + data[1] % 64;
    const double dr = DoubleAt(data, size, 3);
    double r0dr = DoubleAt(data, size, 11);
    const double raDegrees = DoubleAt(data, size, 19);
    if (data[2] % 2) {
        uint64_t bits;
        std::memcpy(&bits, &r0dr, 8);
        r0dr = (1 - N) * (static_cast<double>(bits >> 11) * 0x1p-53);
    }
    const double ra = raDegrees * 3.141592653589793 / 180;
    if (!(std::fabs(dr) >= 1e-9) || !std::isfinite(dr) || !(r0dr < 0 && r0dr > 1 - N) || !std::isfinite(ra))
        return 0;

    const std::string off = OffTheDetector(N, M, r0dr, ra);
    Expect(off.empty(), "N " + std::to_string(N) + " M " + std::to_string(M) + " r0/dr " +
                            std::to_string(r0dr) + ": " + off);

    double** P = InitCBP(N, M);
    Expect(P != nullptr, "no workspace for a tiny sinogram");
    const size_t first = 27, count = size > first ? (size - first) / 8 : 0;
    bool moderate = true;
    for (int m = 0; m < M; ++m)
        for (int k = 0; k < N; ++k) {
            const size_t n = static_cast<size_t>(m) * N + k;
            const double x = count ? DoubleAt(data, size, first + 8 * (n % count)) : 0.0;
            P[m][k] = x;
            moderate = moderate && std::fabs(x) <= 1e280;
        }

    Expect(SetPathCBP(CBP_SCALAR), "no scalar path");
    double** F = CBP(dr, r0dr, ra);
    std::vector<double> scalar;
    for (int i = 0; i < N; ++i)
        scalar.insert(scalar.end(), F[i], F[i] + N);
    const double centre = (N - 1) * 0.5, radius = centre - std::fabs(r0dr + centre);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) {
            const double v = scalar[static_cast<size_t>(i) * N + j];
            const double d2 = (j - centre) * (j - centre) + (centre - i) * (centre - i);
            if (d2 > radius * radius * (1 + 1e-12) + 1e-12)
                Expect(v == 0 && !std::signbit(v), "pixel outside the disc is not 0");
            if (moderate)
                Expect(std::isfinite(v), "finite samples give a non-finite pixel");
        }
    for (int path : {CBP_AVX2, CBP_AVX512}) {
        if (!SetPathCBP(path))
            continue;
        F = CBP(dr, r0dr, ra);
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j)
                Expect(SameBits(F[i][j], scalar[static_cast<size_t>(i) * N + j]),
                       "path " + std::to_string(path) + " differs from the scalar loop at " + std::to_string(i) +
                           "," + std::to_string(j));
    }
    TermCBP();
    return 0;
}
