// Costs of the hot loops, single-threaded: ns per pixel-angle update of each
// back-projection path, and ns per transform of the textbook loop order, the
// engine's order and (when built with it) FFTW, at the lengths the engine uses.
// Compare the rows of one run as ratios; absolute times drift between runs.

#include "backproject.h"
#include "cbp.h"
#include "reference_fft.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <random>
#include <vector>
#ifdef PRJSLICE_FFTW
#include <fftw3.h>
#endif

namespace {

// One block of angles over the whole disc of an N x N image, axis centred:
// spread over the half turn (as across the blocks of a run), or consecutive
// (as within one, at the angle step of N bins from 360 projections).
struct Scene {
    int N, i0, i1;
    double centre;
    std::vector<double> q, f, cosines, sines;
    std::vector<double*> Q, F;
    std::vector<int> H0, dH;
    double updates = 0;

    Scene(int n, bool consecutive) : N(n), centre((n - 1) / 2.0), q(angleBlock * (n + 1)), f(n * n),
                            cosines(angleBlock), sines(angleBlock), Q(angleBlock), F(n), H0(n), dH(n)
    {
        std::mt19937_64 gen(n);
        std::uniform_real_distribution<double> u(-1, 1);
        const double step = M_PI / (consecutive ? RowsCBP(n, 360) : angleBlock);
        for (int k = 0; k < angleBlock; ++k) {
            Q[k] = q.data() + k * (n + 1);
            for (int j = 0; j < n; ++j)
                Q[k][j] = u(gen);
            Q[k][n] = 0.0;
            const double theta = 0.3 + k * step;
            cosines[k] = std::cos(theta);
            sines[k] = std::sin(theta);
        }
        for (int i = 0; i < n; ++i)
            F[i] = f.data() + i * n;
        i0 = 0;
        i1 = n - 1;
        for (int i = i0; i <= i1; ++i) {
            const double v = centre - i, s = std::sqrt(std::fmax(centre * centre - v * v, 0.0));
            H0[i] = static_cast<int>(std::ceil(centre - s));
            dH[i] = static_cast<int>(centre + s) - H0[i];
            updates += (dH[i] + 1.0) * angleBlock;
        }
    }
};

template <void (*Path)(const double* const*, double* const*, const int*, const int*, int, int, int,
                       double, double, const double*, const double*, int)>
void BM_BackProject(benchmark::State& state)
{
    Scene s(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        Path(s.Q.data(), s.F.data(), s.H0.data(), s.dH.data(), s.i0, s.i1, s.N, s.centre, -s.centre,
             s.cosines.data(), s.sines.data(), angleBlock);
        benchmark::ClobberMemory();
    }
    state.counters["ns/update"] = benchmark::Counter(
        s.updates, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

bool Supports(int path)
{
    const int before = PathCBP(512);
    const bool ok = SetPathCBP(path);
    SetPathCBP(before);
    return ok;
}

struct Signal {
    std::vector<double> E, x;
    explicit Signal(int n) : E(2 * n), x(2 * n)
    {
        for (int t = 0; t < n; ++t) {
            E[2 * t] = std::cos(M_PI * t / n);
            E[2 * t + 1] = std::sin(M_PI * t / n);
        }
        std::mt19937_64 gen(n);
        std::uniform_real_distribution<double> u(-1, 1);
        for (double& v : x)
            v = u(gen);
    }
};

void BM_TransformTextbook(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    Signal s(n);
    for (auto _ : state) {
        ReferenceFFT(n, s.E.data(), s.x.data(), -1);
        benchmark::ClobberMemory();
    }
}

void BM_TransformEngine(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    Signal s(n);
    for (auto _ : state) {
        FFT(n, s.E.data(), s.x.data());
        benchmark::ClobberMemory();
    }
}

#ifdef PRJSLICE_FFTW
void BM_TransformFFTW(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    Signal s(n);
    fftw_complex* data = reinterpret_cast<fftw_complex*>(s.x.data());
    fftw_plan plan = fftw_plan_dft_1d(n, data, data, FFTW_FORWARD, FFTW_MEASURE);
    Signal fresh(n);  // planning overwrote the data
    s.x = fresh.x;
    for (auto _ : state) {
        fftw_execute(plan);
        benchmark::ClobberMemory();
    }
    fftw_destroy_plan(plan);
}
BENCHMARK(BM_TransformFFTW)->RangeMultiplier(2)->Range(1024, 16384);
#endif

BENCHMARK(BM_TransformTextbook)->RangeMultiplier(2)->Range(1024, 16384);
BENCHMARK(BM_TransformEngine)->RangeMultiplier(2)->Range(1024, 16384);
void BackProjectSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"N", "consecutive"})->ArgsProduct({{512, 1024, 2048}, {0, 1}})->Unit(benchmark::kMillisecond);
}
BENCHMARK_TEMPLATE(BM_BackProject, BackProjectScalar)->Apply(BackProjectSizes);

}  // namespace

int main(int argc, char** argv)
{
    if (Supports(CBP_AVX2))
        benchmark::RegisterBenchmark("BM_BackProject<BackProjectAVX2>", BM_BackProject<BackProjectAVX2>)
            ->Apply(BackProjectSizes);
    if (Supports(CBP_AVX512))
        benchmark::RegisterBenchmark("BM_BackProject<BackProjectAVX512>", BM_BackProject<BackProjectAVX512>)
            ->Apply(BackProjectSizes);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
