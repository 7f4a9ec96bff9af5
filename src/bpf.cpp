// Band-limited kernels: the Ramachandran, Shepp and Chesler kernels with their
// frequency response kept only on a set of pass bands.
//
// Units: frequencies nu are in cycles per detector interval, 0.5 being the
// Nyquist frequency; taps are those of a unit detector interval (the engine
// applies dr, the angular step and the transform's scale).
//
// Tap n of a kernel with the even frequency response W is
//
//   h(n) = integral over -1/2 <= nu <= 1/2 of W(nu) cos(2 pi n nu) dnu
//        = 2 * sum over the bands [lo, hi] of integral lo..hi W(nu) cos(2 pi n nu) dnu,
//
// W being zero outside the bands. The three kernels keep, on the bands,
//
//   BPF_R: W = |nu|                (the ramp),
//   BPF_S: W = sin(pi |nu|) / pi   (the ramp times |sin(pi nu) / (pi nu)|),
//   BPF_C: W = |nu| cos^2(pi nu)   (the ramp smoothed by 1/4, 1/2, 1/4).
//
// The bands come from the environment variable BPF_RANGE, read at the first
// evaluation of any kernel; the whole band 0 to 0.5 (the classic kernels) when
// it is unset.

#include "bpf.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const double pi = 3.141592653589793;
static const double twoPi = 6.283185307179586;
static const double fourPi = 12.566370614359172;

// Capacity of the band table: far more bands than any detector resolves, yet
// small enough (512 KiB) to be static data, so reading the bands allocates nothing.
static const int rangeCapacity = 32768;

// One pass band, lo <= nu <= hi in cycles per detector interval.
struct Range {
    double lo;
    double hi;
};

// The band table. The ranges in use are R[0] .. R[L - 1], in the order given;
// each has 0 <= lo < hi <= 0.5 and no two overlap (they may touch). S is the
// sum of hi^2 - lo^2 over them in table order: BPF_R(0), and twice the band
// integral H at 0. s is nonzero while BPF_RANGE has still to be read.
static double S = 0.25;
static int L = 1;
static int s = 1;
static Range R[rangeCapacity] = {{0.0, 0.5}};

#ifdef PRJSLICE_FUZZ_SEAMS
// Fuzzing builds only: the fuzz target defines FuzzFail, which unwinds to it
// instead of ending the process, and calls BPF_Reset to have the next kernel
// evaluation read BPF_RANGE afresh, so that one process tries many values.
[[noreturn]] void FuzzFail();
void BPF_Reset()
{
    S = 0.25;
    L = 1;
    s = 1;
    R[0] = {0.0, 0.5};
}
#endif

// Ends the process once a bad value has been reported.
[[noreturn]] static void Quit()
{
#ifdef PRJSLICE_FUZZ_SEAMS
    FuzzFail();
#else
    std::exit(1);
#endif
}

// Reads one number at p as "%lf" does (leading white space of any kind
// skipped); stores it in x and the characters taken in used. False when no
// number can be read there.
static bool ReadNumber(const char* p, double* x, int* used)
{
    int n = 0;
    if (std::sscanf(p, "%lf%n", x, &n) != 1)
        return false;
    *used = n;
    return true;
}

// Reads BPF_RANGE into R, L and S, once per process, and echoes the bands on
// standard error. The value is a list of ranges "lo hi": the two limits are
// separated by any run of spaces, tabs and colons, the ranges by any run of
// spaces, tabs and commas (both runs possibly empty); the number reading itself
// skips white space of any kind. The list ends where a range cannot be read
// whole, at the start of that range, or when the table is full. Each range is
// checked as soon as it is read; a bad or overlapping one ends the process
// before anything else is written.
static void Env()
{
    if (!s)
        return;
    s = 0;

    const char* value = std::getenv("BPF_RANGE");
    if (value) {
        L = 0;
        S = 0.0;
        const char* p = value;
        for (;;) {
            double lo;
            double hi;
            int used;
            if (!ReadNumber(p, &lo, &used))
                break;
            const char* q = p + used;
            q += std::strspn(q, " \t:");
            if (!ReadNumber(q, &hi, &used))
                break;
            q += used;
            p = q + std::strspn(q, " \t,");

            // Stated positively so that a NaN limit ("%lf" reads "nan") is
            // rejected as well: every comparison with NaN is false.
            if (!(lo >= 0.0 && hi <= 0.5 && lo < hi)) {
                std::fprintf(stderr, "%lf:%lf : bad range.\n", lo, hi);
                Quit();
            }
            for (int i = 0; i < L; ++i) {
                if (hi > R[i].lo && R[i].hi > lo) {
                    std::fprintf(stderr, "%lf:%lf : overlapping range.\n", lo, hi);
                    Quit();
                }
            }
            R[L].lo = lo;
            R[L].hi = hi;
            ++L;
            S += hi * hi - lo * lo;
            if (L == rangeCapacity)
                break;
        }
        if (L == 0) {
            std::fprintf(stderr, "no range : %s\n", value);
            Quit();
        }
        if (*p != '\0')
            std::fprintf(stderr, "range remains (warning) : %s\n", p);
    }

    for (int i = 0; i < L; ++i)
        std::fprintf(stderr, "%lf\t%lf\n", R[i].lo, R[i].hi);
}

// The band integral
//
//   H(x) = sum over the bands of integral lo..hi nu cos(nu x) dnu
//        = sum of [hi sin(hi x) - lo sin(lo x)] / x + [cos(hi x) - cos(lo x)] / x^2
//
// (by parts: the antiderivative of nu cos(nu x) is nu sin(nu x)/x + cos(nu x)/x^2).
// H is even in x. At x = 0 both quotients are 0/0, though H has the limit
// sum (hi^2 - lo^2)/2 = S/2 there; the kernels never call H(0) and use S/2
// instead. They call it only at multiples of 2 pi, where the quotients are
// well conditioned. The cosine sum is divided by x once, added to the sine
// terms, and the whole divided by x once more.
static double H(double x)
{
    double K = 0.0;
    for (int i = 0; i < L; ++i)
        K += std::cos(R[i].hi * x) - std::cos(R[i].lo * x);
    double A = K / x;
    for (int i = 0; i < L; ++i)
        A += R[i].hi * std::sin(R[i].hi * x) - R[i].lo * std::sin(R[i].lo * x);
    return A / x;
}

// The ramp on the bands: h(n) = 2 sum integral lo..hi nu cos(2 pi n nu) dnu
// = 2 H(2 pi n); at n = 0 the integral of nu is sum (hi^2 - lo^2) = S.
double BPF_R(int n)
{
    if (s)
        Env();
    if (n == 0)
        return S;
    return 2.0 * H(twoPi * n);
}

// sin(pi nu)/pi on the bands. With a = (2n - 1) pi and b = (2n + 1) pi,
// sin(pi nu) cos(2 pi n nu) = [sin(b nu) - sin(a nu)] / 2, so
//
//   h(n) = (2/pi) sum integral lo..hi sin(pi nu) cos(2 pi n nu) dnu = (Ta - Tb) / pi,
//   Ta = sum [cos(a hi) - cos(a lo)] / a,   Tb = sum [cos(b hi) - cos(b lo)] / b.
//
// a and b are odd multiples of pi, never 0. 2n - 1 and 2n + 1 are formed in
// double, where they are exact for every int n and cannot overflow.
double BPF_S(int n)
{
    if (s)
        Env();
    const double a = (2.0 * n - 1.0) * pi;
    const double b = (2.0 * n + 1.0) * pi;
    double Ca = 0.0;
    double Cb = 0.0;
    for (int i = 0; i < L; ++i) {
        Ca += std::cos(a * R[i].hi) - std::cos(a * R[i].lo);
        Cb += std::cos(b * R[i].hi) - std::cos(b * R[i].lo);
    }
    const double Ta = Ca / a;
    const double Tb = Cb / b;
    return (Ta - Tb) / pi;
}

// |nu| cos^2(pi nu) on the bands. cos^2(pi nu) = 1/2 + [exp(2 pi i nu) +
// exp(-2 pi i nu)] / 4 shifts the ramp's taps, so
//
//   h(n) = BPF_R(n)/2 + [BPF_R(n - 1) + BPF_R(n + 1)] / 4
//        = H(2 pi n) + [H(2 pi (n - 1)) + H(2 pi (n + 1))] / 2.
//
// At n = 0 and n = +-1 one of the three terms is H(0); being even, H is taken
// at |x|, and H(0) is replaced by its value S/2:
//   n = 0:   H(2 pi) + S/2                (the two neighbours are H(+-2 pi)),
//   n = +-1: H(4 pi)/2 + (H(2 pi) + S/4).
// n - 1 and n + 1 are formed in double, exact for every int n.
double BPF_C(int n)
{
    if (s)
        Env();
    if (n == 0)
        return H(twoPi) + 0.5 * S;
    if (n == 1 || n == -1)
        return 0.5 * H(fourPi) + (H(twoPi) + 0.25 * S);
    const double x = n;
    return H(twoPi * x) + 0.5 * (H(twoPi * (x - 1.0)) + H(twoPi * (x + 1.0)));
}
