// The radix-2 transform against a direct DFT and its known transforms.

#include "cbp.h"
#include "reference_fft.h"

#include <cmath>
#include <complex>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

using cplx = std::complex<double>;

// The twiddle table of a transform of length n: E[t] = exp(i pi t / n).
std::vector<double> Twiddles(int n)
{
    std::vector<double> E(2 * n);
    for (int t = 0; t < n; ++t) {
        E[2 * t] = std::cos(M_PI * t / n);
        E[2 * t + 1] = std::sin(M_PI * t / n);
    }
    return E;
}

std::vector<cplx> Transform(std::vector<cplx> x)
{
    const int n = static_cast<int>(x.size());
    const std::vector<double> E = Twiddles(n);
    FFT(n, E.data(), reinterpret_cast<double*>(x.data()));
    return x;
}

std::vector<cplx> Random(int n, unsigned seed)
{
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<cplx> x(n);
    for (cplx& v : x)
        v = {u(gen), u(gen)};
    return x;
}

double MaxDiff(const std::vector<cplx>& a, const std::vector<cplx>& b)
{
    double d = 0;
    for (size_t k = 0; k < a.size(); ++k)
        d = std::max(d, std::abs(a[k] - b[k]));
    return d;
}

TEST(FFT, MatchesDirectDft)
{
    for (int n = 1; n <= 2048; n *= 2) {
        const std::vector<cplx> x = Random(n, n);
        std::vector<cplx> direct(n);
        for (int k = 0; k < n; ++k) {
            long double re = 0, im = 0;
            for (int j = 0; j < n; ++j) {
                const long double phase = -2 * M_PIl * ((static_cast<long>(j) * k) % n) / n;
                re += x[j].real() * std::cos(phase) - x[j].imag() * std::sin(phase);
                im += x[j].real() * std::sin(phase) + x[j].imag() * std::cos(phase);
            }
            direct[k] = {static_cast<double>(re), static_cast<double>(im)};
        }
        EXPECT_LT(MaxDiff(Transform(x), direct), 1e-14 * n * std::log2(2.0 * n)) << "n = " << n;
    }
}

TEST(FFT, SmallLengthsExactly)
{
    EXPECT_EQ(Transform({{3.5, -2}}), std::vector<cplx>({{3.5, -2}}));
    EXPECT_EQ(Transform({{1, 2}, {5, -7}}), std::vector<cplx>({{6, -5}, {-4, 9}}));
    // n = 4: X = (a, b, c, d) gives (a+b+c+d, a-ib-c+id, a-b+c-d, a+ib-c-id),
    // exact but for the rounding of cos(pi/2) in the table.
    EXPECT_LT(MaxDiff(Transform({{1, 0}, {2, 0}, {4, 0}, {8, 0}}),
                      {{15, 0}, {-3, 6}, {-5, 0}, {-3, -6}}),
              1e-14);
}

TEST(FFT, KnownTransforms)
{
    for (int n : {8, 64, 1024}) {
        std::vector<cplx> impulse(n), constant(n, 1.0);
        impulse[0] = 1;
        EXPECT_EQ(MaxDiff(Transform(impulse), std::vector<cplx>(n, 1.0)), 0.0);
        std::vector<cplx> dc(n);
        dc[0] = n;
        EXPECT_LT(MaxDiff(Transform(constant), dc), 1e-12 * n);
        // exp(+2 pi i j k0 / n) is the pure frequency k0.
        for (int k0 : {1, 3, n / 2, n - 1}) {
            std::vector<cplx> wave(n), line(n);
            for (int j = 0; j < n; ++j)
                wave[j] = std::polar(1.0, 2 * M_PI * ((static_cast<long>(j) * k0) % n) / n);
            line[k0] = n;
            EXPECT_LT(MaxDiff(Transform(wave), line), 1e-12 * n) << n << " " << k0;
        }
    }
}

TEST(FFT, RoundTripThroughConjugation)
{
    // conj(FFT(conj(FFT(x)))) = n x.
    for (int n : {2, 16, 512, 4096}) {
        const std::vector<cplx> x = Random(n, 7 * n);
        std::vector<cplx> y = Transform(x);
        for (cplx& v : y)
            v = std::conj(v);
        y = Transform(y);
        for (cplx& v : y)
            v = std::conj(v) / static_cast<double>(n);
        EXPECT_LT(MaxDiff(x, y), 1e-14 * std::log2(n) + 1e-15) << n;
    }
}

TEST(FFT, EqualsTheTextbookLoopOrderToTheBit)
{
    for (int n = 1; n <= 16384; n *= 2) {
        const std::vector<double> E = Twiddles(n);
        const std::vector<cplx> x = Random(n, 11 * n);
        std::vector<cplx> reference = x;
        ReferenceFFT(n, E.data(), reinterpret_cast<double*>(reference.data()), -1);
        ASSERT_EQ(Transform(x), reference) << n;
    }
}

TEST(FFT, OddTwiddlesAreNeverRead)
{
    const int n = 256;
    std::vector<cplx> a = Random(n, 3), b = a;
    std::vector<double> E = Twiddles(n);
    FFT(n, E.data(), reinterpret_cast<double*>(a.data()));
    for (int t = 1; t < n; t += 2)
        E[2 * t] = E[2 * t + 1] = std::nan("");
    FFT(n, E.data(), reinterpret_cast<double*>(b.data()));
    EXPECT_EQ(a, b);
}

}  // namespace
