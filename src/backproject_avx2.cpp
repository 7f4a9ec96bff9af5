// The back-projection of an angle block with AVX2: four neighbouring pixels
// per vector, four vectors (a 16-pixel segment of a row) whose sums stay in
// registers across the block's angles.
//
// As in the AVX-512 form, a window of consecutive bins replaces gathers. Along
// a row d changes by c per pixel, |c| <= 1, so the four pixels of a vector
// fall on the four bins from base = idx0 (idx0 - 3 when c < 0; idx0 the first
// pixel's bin) unless rounding pushes one of them a bin further. base is
// clamped to [0, N - 4], so the window of bins q[base ... base + 3] and the
// window of slopes q[e + 1] - q[e] beside it stay inside the row, guard
// included. A slope is the same operation on the same two bins whether taken
// before or after the pick, so picking bin and slope with one shared index
// gives the scalar loop's values; the pick is a permutation of 32-bit pairs.
// The rare vector whose bins leave the window (and the invalid lanes past the
// end of a row) take its bins one lane at a time.

#include "backproject.h"

#include <immintrin.h>

// Bins q[idx] and slopes q[idx + 1] - q[idx] one lane at a time; idx clamped to
// the row, which changes only lanes that are never stored.
static inline void LaneByLane(const double* q, __m128i idx, int N, __m256d* bins, __m256d* slopes)
{
    alignas(16) int at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), idx);
    double b[4], s[4];
    for (int l = 0; l < 4; ++l) {
        const int e = at[l] < 0 ? 0 : at[l] > N - 1 ? N - 1 : at[l];
        b[l] = q[e];
        s[l] = q[e + 1] - q[e];
    }
    *bins = _mm256_loadu_pd(b);
    *slopes = _mm256_loadu_pd(s);
}

// Adds the block's angles to the n (1 ... 4V) pixels of row f from column j0.
template <int V>
static void Segment(const double* const* Q, double* f, int j0, int n, int N, double centre,
                    const double* cosines, const double* t, int count)
{
    const __m256d lanes = _mm256_set_pd(3, 2, 1, 0);
    const __m128i one = _mm_set1_epi32(1);
    const __m128i outside = _mm_set1_epi32(~3);  // bits of a lane's rel outside 0 ... 3
    const int top = N - 4;
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
        const int back = cosines[k] < 0 ? 3 : 0;
        EachVector(std::make_integer_sequence<int, V>(), [&](int v) {
            // d = x c + t; sum += q[idx] + (q[idx + 1] - q[idx]) w.
            const __m256d d = _mm256_add_pd(_mm256_mul_pd(x[v], c), tk);
            const __m128i idx = _mm256_cvttpd_epi32(d);
            const __m256d w = _mm256_sub_pd(d, _mm256_cvtepi32_pd(idx));
            int base = static_cast<int>(_mm256_cvtsd_f64(d)) - back;
            base = base < 0 ? 0 : base > top ? top : base;
            const __m128i rel = _mm_sub_epi32(idx, _mm_set1_epi32(base));
            __m256d q0, slope;
            if (_mm_testz_si128(rel, outside)) {
                const __m256d bins = _mm256_loadu_pd(q + base);
                const __m256d slopes = _mm256_sub_pd(_mm256_loadu_pd(q + base + 1), bins);
                const __m128i twice = _mm_add_epi32(rel, rel);
                const __m128i next = _mm_add_epi32(twice, one);
                const __m256i pairs =
                    _mm256_set_m128i(_mm_unpackhi_epi32(twice, next), _mm_unpacklo_epi32(twice, next));
                q0 = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(bins), pairs));
                slope = _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(slopes), pairs));
            } else {
                LaneByLane(q, idx, N, &q0, &slope);
            }
            sum[v] = _mm256_add_pd(sum[v], _mm256_add_pd(q0, _mm256_mul_pd(slope, w)));
        });
    }
    for (int v = 0; v < V; ++v)
        _mm256_maskstore_pd(f + j0 + 4 * v, mask[v], sum[v]);
}

void BackProjectAVX2(const double* const* Q, double* const* F, const int* H0, const int* dH,
                     int i0, int i1, int N, double centre, double r0dr,
                     const double* cosines, const double* sines, int count)
{
    ForEachSegment(H0, dH, i0, i1, centre, r0dr, sines, count, 16, 1,
                   [&](int i, int j0, int n, const double* t) {
                       switch ((n + 3) / 4) {
                       case 1: Segment<1>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 2: Segment<2>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 3: Segment<3>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       default: Segment<4>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       }
                   });
}
