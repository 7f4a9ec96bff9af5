// Band-limited kernels and the BPF_RANGE grammar.
//
// The module reads BPF_RANGE once per process and ends the process on a bad
// value, so every case runs in a forked child: the child sets the variable,
// evaluates the kernels, and hands back its exit status, the exact bytes of
// its standard error and the tap values. This process itself never calls a
// kernel, so each child starts with the variable still unread.

#include "bpf.h"
#include "cbp.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Outcome {
    int status = -1;             // exit status, -1 when the child did not exit
    std::string err;             // standard error, bytes
    std::vector<double> values;  // what the child's body returned
};

const char* const unset = nullptr;

// Runs body in a child process with BPF_RANGE set to value (removed when
// null) and standard error sent to a file.
Outcome InChild(const char* value, const std::function<std::vector<double>()>& body)
{
    testutil::TempDir dir;
    const std::string errPath = dir / "err";
    const std::string valuesPath = dir / "values";
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 2) < 0)
            _exit(99);
        if (value)
            setenv("BPF_RANGE", value, 1);
        else
            unsetenv("BPF_RANGE");
        const std::vector<double> values = body();
        testutil::WriteFile(valuesPath, std::string(reinterpret_cast<const char*>(values.data()),
                                                    values.size() * sizeof(double)));
        _exit(0);
    }
    Outcome r;
    int raw = 0;
    if (pid < 0 || waitpid(pid, &raw, 0) != pid)
        return r;
    if (WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    r.err = testutil::ReadFile(errPath);
    const std::string bytes = testutil::ReadFile(valuesPath);
    r.values.resize(bytes.size() / sizeof(double));
    if (!r.values.empty())
        std::memcpy(r.values.data(), bytes.data(), r.values.size() * sizeof(double));
    return r;
}

// The first kernel evaluation of a process: reads, checks and echoes the bands.
Outcome FirstCall(const char* value)
{
    return InChild(value, [] { return std::vector<double>{BPF_C(0)}; });
}

// One band line as the module echoes it.
std::string Band(const char* lo, const char* hi)
{
    return std::string(lo) + "\t" + hi + "\n";
}

const std::string wholeBand = Band("0.000000", "0.500000");
const std::string warning = "range remains (warning) : ";

// Taps of kernel k ('R', 'S' or 'C') at the offsets ns, in one child.
std::vector<double> Taps(char k, const std::vector<int>& ns)
{
    std::vector<double> v;
    for (int n : ns)
        v.push_back(k == 'R' ? BPF_R(n) : k == 'S' ? BPF_S(n) : BPF_C(n));
    return v;
}

// The offsets -200 .. 200 and some far ones, up to the ends of int.
std::vector<int> Offsets()
{
    std::vector<int> ns;
    for (int n = -200; n <= 200; ++n)
        ns.push_back(n);
    for (int n : {1000, 4095, 4096, 12345, 1000001, 123456789, INT_MAX - 1, INT_MAX})
        ns.insert(ns.end(), {n, -n});
    ns.push_back(INT_MIN);
    return ns;
}

// ---------------------------------------------------------------------------
// The grammar, the checks in their order, and the exact messages.

struct GrammarCase {
    const char* name;
    const char* value;  // null: unset
    std::string err;
    int status;
};

TEST(BpfRange, GrammarMessagesAndStatus)
{
    const std::vector<GrammarCase> cases = {
        {"unset", unset, wholeBand, 0},
        {"whole band", "0:0.5", wholeBand, 0},
        {"touching", "0:0.2,0.2:0.5", Band("0.000000", "0.200000") + Band("0.200000", "0.500000"), 0},
        {"descending, echoed as given", "0.2:0.5,0:0.2",
         Band("0.200000", "0.500000") + Band("0.000000", "0.200000"), 0},
        {"runs of blanks, colons and commas", " \t0.1 \t: :\t0.2 ,\t,, 0.3\t0.35 0.4 0.45",
         Band("0.100000", "0.200000") + Band("0.300000", "0.350000") + Band("0.400000", "0.450000"), 0},
        {"signs, exponents, bare points", "+1e-1:2.5E-1,.3:+0.5",
         Band("0.100000", "0.250000") + Band("0.300000", "0.500000"), 0},
        {"lo exactly 0 and hi exactly 0.5", "0.4:0.5,0:0.1",
         Band("0.400000", "0.500000") + Band("0.000000", "0.100000"), 0},
        {"limits echoed with six decimals", "0.0000004:0.1234567", Band("0.000000", "0.123457"), 0},
        // The number reading skips any white space, the separator runs only blanks.
        {"newline between ranges", "0.1:0.2\n0.3:0.4",
         Band("0.100000", "0.200000") + Band("0.300000", "0.400000"), 0},
        {"newline between limits", "0.1\n0.2", Band("0.100000", "0.200000"), 0},
        {"newline before the colon", "0.1\n:0.2", "no range : 0.1\n:0.2\n", 1},
        {"comma inside the only range", "0.1,0.2", "no range : 0.1,0.2\n", 1},
        {"comma inside a later range", "0:0.05,0.1,0.2",
         warning + "0.1,0.2\n" + Band("0.000000", "0.050000"), 0},
        {"colons throughout", "0.1:0.2:0.3:0.4", warning + ":0.3:0.4\n" + Band("0.100000", "0.200000"), 0},
        {"missing second number", "0.1:0.2,0.3", warning + "0.3\n" + Band("0.100000", "0.200000"), 0},
        {"missing second number after colon", "0.1:0.2, 0.3: ",
         warning + "0.3: \n" + Band("0.100000", "0.200000"), 0},
        {"trailing blanks and commas", "0.1:0.2 \t, ,\t", Band("0.100000", "0.200000"), 0},
        {"trailing newline", "0.1:0.2\n", warning + "\n\n" + Band("0.100000", "0.200000"), 0},
        {"trailing text", "0.1:0.2;", warning + ";\n" + Band("0.100000", "0.200000"), 0},
        {"empty", "", "no range : \n", 1},
        {"blanks only", " \t", "no range :  \t\n", 1},
        {"no number at start", "x0.1:0.2", "no range : x0.1:0.2\n", 1},
        {"colon at start", ":0.1:0.2", "no range : :0.1:0.2\n", 1},
        {"one number", "0.25", "no range : 0.25\n", 1},
        {"lo above hi", "0.3:0.1", "0.300000:0.100000 : bad range.\n", 1},
        {"equal limits", "0.2:0.2", "0.200000:0.200000 : bad range.\n", 1},
        {"negative lo", "-0.1:0.2", "-0.100000:0.200000 : bad range.\n", 1},
        {"hi above 0.5", "0.1:0.6", "0.100000:0.600000 : bad range.\n", 1},
        {"hi just above 0.5", "0.1:0.5000001", "0.100000:0.500000 : bad range.\n", 1},
        {"infinite hi", "0.1:inf", "0.100000:inf : bad range.\n", 1},
        {"NaN lo", "nan:0.5", "nan:0.500000 : bad range.\n", 1},
        {"NaN hi", "0:nan", "0.000000:nan : bad range.\n", 1},
        {"bad after good, text after it unread", "0:0.1,0.3:0.2,junk", "0.300000:0.200000 : bad range.\n", 1},
        {"overlapping", "0.1:0.3,0.2:0.4", "0.200000:0.400000 : overlapping range.\n", 1},
        {"contained", "0.1:0.4,0.2:0.3", "0.200000:0.300000 : overlapping range.\n", 1},
        {"repeated", "0.1:0.2,0.1:0.2", "0.100000:0.200000 : overlapping range.\n", 1},
        {"overlapping an earlier one", "0:0.1,0.3:0.4,0.2:0.31", "0.200000:0.310000 : overlapping range.\n", 1},
        {"bad checked before overlap", "0.1:0.3,0.2:0.6", "0.200000:0.600000 : bad range.\n", 1},
    };
    for (const GrammarCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome r = FirstCall(c.value);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

// A full table of 32768 narrow ranges [i/1e5, i/1e5 + 5e-6], followed by tail.
// The expected band list is built from the same decimal texts.
void FullTable(const std::string& tail, std::string* value, std::string* bands)
{
    char lo[16];
    char hi[16];
    for (int i = 0; i < 32768; ++i) {
        std::snprintf(lo, sizeof lo, "0.%05d", i);
        std::snprintf(hi, sizeof hi, "0.%06d", 10 * i + 5);
        *value += std::string(lo) + ":" + hi + ",";
        *bands += Band((std::string(lo) + "0").c_str(), hi);
    }
    *value += tail;
}

TEST(BpfRange, TableCapacity)
{
    struct {
        const char* tail;
        std::string warned;
    } cases[] = {
        {"", ""},
        {" \t,", ""},
        // The 32769th range is never read, so never checked.
        {"0.9:1.0 junk", warning + "0.9:1.0 junk\n"},
        {" , 0.4:0.5", warning + "0.4:0.5\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        std::string value;
        std::string bands;
        FullTable(c.tail, &value, &bands);
        const Outcome r = FirstCall(value.c_str());
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.err == c.warned + bands) << r.err.substr(0, 200);
    }
}

TEST(BpfRange, AnyKernelReadsTheVariableOnceOnly)
{
    for (char k : {'R', 'S', 'C'}) {
        SCOPED_TRACE(k);
        Outcome r = InChild("0.3:0.1", [k] { return Taps(k, {3}); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "0.300000:0.100000 : bad range.\n");

        // Later changes of the variable are not seen, and the list is echoed once.
        r = InChild("0.1:0.2", [k] {
            std::vector<double> v = Taps(k, {0});
            setenv("BPF_RANGE", "0.3:0.1", 1);
            v.push_back(BPF_R(0));
            unsetenv("BPF_RANGE");
            v.push_back(BPF_R(0));
            return v;
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, Band("0.100000", "0.200000"));
        ASSERT_EQ(r.values.size(), 3u);
        EXPECT_EQ(r.values[1], 0.2 * 0.2 - 0.1 * 0.1);
        EXPECT_EQ(r.values[2], r.values[1]);
    }
}

// ---------------------------------------------------------------------------
// Tap values.

// The whole band, unset or given, and the whole band cut into touching pieces
// in any order: the classic kernels to rounding, at every offset.
TEST(BpfKernels, WholeBandGivesTheClassicKernels)
{
    const std::vector<int> ns = Offsets();
    const struct {
        char kernel;
        double (*classic)(int);
    } kernels[] = {{'R', Ramachandran}, {'S', Shepp}, {'C', Chesler}};
    for (const char* value : {unset, "0:0.5", "0:0.2,0.2:0.5", "0.3:0.5,0:0.1,0.1:0.3"}) {
        for (const auto& k : kernels) {
            SCOPED_TRACE(std::string(value ? value : "unset") + " " + k.kernel);
            const Outcome r = InChild(value, [&] { return Taps(k.kernel, ns); });
            ASSERT_EQ(r.status, 0);
            ASSERT_EQ(r.values.size(), ns.size());
            for (size_t i = 0; i < ns.size(); ++i)
                EXPECT_NEAR(r.values[i], k.classic(ns[i]), 1e-15) << "n = " << ns[i];
        }
    }
}

// Tap n as an integral over the bands, 2 sum integral lo..hi W(nu) cos(2 pi n nu)
// dnu, by composite five-point Gauss-Legendre quadrature.
double Quadrature(const std::vector<std::pair<double, double>>& bands, double (*W)(double), int n)
{
    static const double x[5] = {-0.9061798459386640, -0.5384693101056831, 0.0,
                                0.5384693101056831, 0.9061798459386640};
    static const double w[5] = {0.2369268850561891, 0.4786286704993665, 0.5688888888888889,
                                0.4786286704993665, 0.2369268850561891};
    const double pi = 3.141592653589793;
    const int pieces = 400;
    double sum = 0.0;
    for (const auto& band : bands) {
        const double h = (band.second - band.first) / pieces;
        for (int p = 0; p < pieces; ++p) {
            const double mid = band.first + (p + 0.5) * h;
            for (int q = 0; q < 5; ++q) {
                const double nu = mid + 0.5 * h * x[q];
                sum += 0.5 * h * w[q] * W(nu) * std::cos(2.0 * pi * n * nu);
            }
        }
    }
    return 2.0 * sum;
}

double Ramp(double nu) { return nu; }
double Sine(double nu) { return std::sin(3.141592653589793 * nu) / 3.141592653589793; }
double RampCos2(double nu)
{
    const double c = std::cos(3.141592653589793 * nu);
    return nu * c * c;
}

TEST(BpfKernels, TapsAreTheBandIntegrals)
{
    const struct {
        const char* value;
        std::vector<std::pair<double, double>> bands;
    } configs[] = {
        {"0.3:0.42,0.05:0.15", {{0.3, 0.42}, {0.05, 0.15}}},
        {"0.2:0.5", {{0.2, 0.5}}},
        {"0:0.07", {{0.0, 0.07}}},
    };
    const struct {
        char kernel;
        double (*W)(double);
    } kernels[] = {{'R', Ramp}, {'S', Sine}, {'C', RampCos2}};
    std::vector<int> ns;
    for (int n = -40; n <= 40; ++n)
        ns.push_back(n);
    for (const auto& c : configs) {
        for (const auto& k : kernels) {
            SCOPED_TRACE(std::string(c.value) + " " + k.kernel);
            const Outcome r = InChild(c.value, [&] { return Taps(k.kernel, ns); });
            ASSERT_EQ(r.values.size(), ns.size());
            for (size_t i = 0; i < ns.size(); ++i)
                EXPECT_NEAR(r.values[i], Quadrature(c.bands, k.W, ns[i]), 1e-14) << "n = " << ns[i];
        }
    }
}

// BPF_R(0) is the band sum of hi^2 - lo^2; every kernel is even; the Chesler
// taps are the ramp taps smoothed by 1/4, 1/2, 1/4.
TEST(BpfKernels, BandSumEvennessAndSmoothing)
{
    const int T = 300;
    const struct {
        const char* value;
        double sum;  // hi^2 - lo^2 added up in the order given
    } configs[] = {
        {"0.3:0.42,0.05:0.15", (0.0 + (0.42 * 0.42 - 0.3 * 0.3)) + (0.15 * 0.15 - 0.05 * 0.05)},
        {"0.2:0.5,0:0.2", (0.0 + (0.5 * 0.5 - 0.2 * 0.2)) + (0.2 * 0.2 - 0.0)},
        {"0.01:0.02", 0.0 + (0.02 * 0.02 - 0.01 * 0.01)},
    };
    for (const auto& c : configs) {
        SCOPED_TRACE(c.value);
        const Outcome r = InChild(c.value, [] {
            std::vector<double> v{BPF_R(0)};
            for (char k : {'R', 'S', 'C'})
                for (int n = -T - 1; n <= T + 1; ++n)
                    v.push_back(k == 'R' ? BPF_R(n) : k == 'S' ? BPF_S(n) : BPF_C(n));
            return v;
        });
        const size_t taps = 2 * T + 3;
        ASSERT_EQ(r.values.size(), 1 + 3 * taps);
        EXPECT_EQ(r.values[0], c.sum);
        const double* R = &r.values[1 + (T + 1)];  // R[n], n = -T - 1 .. T + 1
        const double* S = R + taps;
        const double* C = S + taps;
        for (int n = 1; n <= T + 1; ++n) {
            EXPECT_NEAR(R[-n], R[n], 1e-17) << "n = " << n;
            EXPECT_NEAR(S[-n], S[n], 1e-17) << "n = " << n;
            EXPECT_NEAR(C[-n], C[n], 1e-17) << "n = " << n;
        }
        for (int n = -T; n <= T; ++n)
            EXPECT_NEAR(C[n], 0.5 * R[n] + 0.25 * (R[n - 1] + R[n + 1]), 1e-16) << "n = " << n;
    }
}

}  // namespace
