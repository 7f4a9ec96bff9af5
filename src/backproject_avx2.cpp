// The back-projection of an angle block with AVX2: four neighbouring pixels
// per vector, four vectors (a 16-pixel segment of a row) whose sums stay in
// registers across the block's angles.
//
// As in the AVX-512 form, a window of consecutive bins replaces gathers: the
// four pixels of a vector fall on bins idx0 - 4 ... idx0 + 4 at most, so the
// eight bins from base = idx0 (idx0 - 4 when c < 0), clamped to [0, N - 7],
// hold every bin they need. AVX2 has no two-source permutation of doubles:
// each bin is picked from both halves of the window by a permutation of
// 32-bit pairs, and the half it lies in is chosen by a blend.

#include "backproject.h"

#include <immintrin.h>

// Element r (0 ... 7) of the window lo:hi, per 64-bit lane.
static inline __m256d Pick(__m256d lo, __m256d hi, __m256i r)
{
    const __m256i twice = _mm256_add_epi64(r, r);
    const __m256i pairs =
        _mm256_or_si256(twice, _mm256_slli_epi64(_mm256_add_epi64(twice, _mm256_set1_epi64x(1)), 32));
    const __m256d a = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(lo), pairs));
    const __m256d b = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(hi), pairs));
    const __m256d upper = _mm256_castsi256_pd(_mm256_cmpgt_epi64(r, _mm256_set1_epi64x(3)));
    return _mm256_blendv_pd(a, b, upper);
}

// Adds the block's angles to the n (1 ... 4V) pixels of row f from column j0.
template <int V>
static void Segment(const double* const* Q, double* f, int j0, int n, int N, double centre,
                    const double* cosines, const double* t, int count)
{
    const __m256d lanes = _mm256_set_pd(3, 2, 1, 0);
    const __m256i one = _mm256_set1_epi64x(1);
    const int top = N - 7;
    __m256d x[V], sum[V];
    __m256i mask[V];
    for (int v = 0; v < V; ++v) {
        const long long valid = n - 4 * v;
        mask[v] = _mm256_cmpgt_epi64(_mm256_set1_epi64x(valid), _mm256_set_epi64x(3, 2, 1, 0));
        x[v] = _mm256_add_pd(_mm256_set1_pd(j0 + 4 * v - centre), lanes);
        sum[v] = _mm256_maskload_pd(f + j0 + 4 * v, mask[v]);
    }
    for (int k = 0; k < count; ++k) {
        const double* q = Q[k];
        const __m256d c = _mm256_set1_pd(cosines[k]);
        const __m256d tk = _mm256_set1_pd(t[k]);
        const int back = cosines[k] < 0 ? 4 : 0;
        for (int v = 0; v < V; ++v) {
            // d = x c + t; sum += q[idx] + (q[idx + 1] - q[idx]) w.
            const __m256d d = _mm256_add_pd(_mm256_mul_pd(x[v], c), tk);
            const __m128i idx = _mm256_cvttpd_epi32(d);
            const __m256d w = _mm256_sub_pd(d, _mm256_cvtepi32_pd(idx));
            int base = static_cast<int>(_mm256_cvtsd_f64(d)) - back;
            base = base < 0 ? 0 : base > top ? top : base;
            const __m256d lo = _mm256_loadu_pd(q + base);
            const __m256d hi = _mm256_loadu_pd(q + base + 4);
            const __m256i rel = _mm256_cvtepi32_epi64(_mm_sub_epi32(idx, _mm_set1_epi32(base)));
            const __m256d q0 = Pick(lo, hi, rel);
            const __m256d q1 = Pick(lo, hi, _mm256_add_epi64(rel, one));
            sum[v] = _mm256_add_pd(sum[v], _mm256_add_pd(q0, _mm256_mul_pd(_mm256_sub_pd(q1, q0), w)));
        }
    }
    for (int v = 0; v < V; ++v)
        _mm256_maskstore_pd(f + j0 + 4 * v, mask[v], sum[v]);
}

void BackProjectAVX2(const double* const* Q, double* const* F, const int* H0, const int* dH,
                     int i0, int i1, int N, double centre, double r0dr,
                     const double* cosines, const double* sines, int count)
{
    double t[angleBlock];
    for (int i = i0; i <= i1; ++i) {
        const double y = centre - i;
        for (int k = 0; k < count; ++k)
            t[k] = y * sines[k] - r0dr;
        const int end = H0[i] + dH[i] + 1;
        for (int j0 = H0[i]; j0 < end; j0 += 16) {
            const int n = end - j0 < 16 ? end - j0 : 16;
            switch ((n + 3) / 4) {
            case 1: Segment<1>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
            case 2: Segment<2>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
            case 3: Segment<3>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
            default: Segment<4>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
            }
        }
    }
}
