// The back-projection of an angle block with AVX2: four neighbouring pixels
// per vector, four vectors (a 16-pixel segment of a row) whose sums stay in
// registers across the block's angles.
//
// As in the AVX-512 form, a window of consecutive bins replaces gathers: the
// four pixels of a vector fall on bins idx0 - 4 ... idx0 + 4 at most, so the
// eight bins from base = idx0 (idx0 - 4 when c < 0), clamped to [0, N - 8],
// hold every bin idx they need, and the window of the eight differences
// q[e + 1] - q[e] beside it every slope. A difference is the same operation
// on the same two bins whether taken before or after the pick, so picking
// q[idx] and q[idx + 1] - q[idx] with one shared index gives the scalar
// loop's values. AVX2 has no two-source permutation of doubles: each bin is
// picked from both halves of a window by a permutation of 32-bit pairs, and
// the half it lies in is chosen by a blend.

#include "backproject.h"

#include <immintrin.h>

// Element r of the window lo:hi per 64-bit lane, given the 32-bit pairs
// (2r, 2r + 1) (taken modulo 8 by the permutation) and upper, set where r > 3.
static inline __m256d Pick(__m256d lo, __m256d hi, __m256i pairs, __m256d upper)
{
    const __m256d a = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(lo), pairs));
    const __m256d b = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(hi), pairs));
    return _mm256_blendv_pd(a, b, upper);
}

// Adds the block's angles to the n (1 ... 4V) pixels of row f from column j0.
template <int V>
static void Segment(const double* const* Q, double* f, int j0, int n, int N, double centre,
                    const double* cosines, const double* t, int count)
{
    const __m256d lanes = _mm256_set_pd(3, 2, 1, 0);
    const __m128i one = _mm_set1_epi32(1);
    const __m128i three = _mm_set1_epi32(3);
    const int top = N - 8;
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
            const __m256d dlo = _mm256_sub_pd(_mm256_loadu_pd(q + base + 1), lo);
            const __m256d dhi = _mm256_sub_pd(_mm256_loadu_pd(q + base + 5), hi);
            const __m128i rel = _mm_sub_epi32(idx, _mm_set1_epi32(base));
            const __m128i twice = _mm_add_epi32(rel, rel);
            const __m128i next = _mm_add_epi32(twice, one);
            const __m256i pairs =
                _mm256_set_m128i(_mm_unpackhi_epi32(twice, next), _mm_unpacklo_epi32(twice, next));
            const __m256d upper = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(rel, three)));
            const __m256d q0 = Pick(lo, hi, pairs, upper);
            const __m256d slope = Pick(dlo, dhi, pairs, upper);
            sum[v] = _mm256_add_pd(sum[v], _mm256_add_pd(q0, _mm256_mul_pd(slope, w)));
        }
    }
    for (int v = 0; v < V; ++v)
        _mm256_maskstore_pd(f + j0 + 4 * v, mask[v], sum[v]);
}

void BackProjectAVX2(const double* const* Q, double* const* F, const int* H0, const int* dH,
                     int i0, int i1, int N, double centre, double r0dr,
                     const double* cosines, const double* sines, int count)
{
    ForEachSegment(H0, dH, i0, i1, centre, r0dr, sines, count, 16,
                   [&](int i, int j0, int n, const double* t) {
                       switch ((n + 3) / 4) {
                       case 1: Segment<1>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 2: Segment<2>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 3: Segment<3>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       default: Segment<4>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       }
                   });
}
