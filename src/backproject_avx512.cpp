// The back-projection of an angle block with AVX-512 (F and DQ): eight
// neighbouring pixels per vector, up to eight vectors (a 64-pixel segment of
// a row) whose sums stay in registers across the block's angles.
//
// Gathering Q[k][idx] and Q[k][idx + 1] per pixel is replaced by a window:
// along a row d changes by c per pixel with |c| <= 1, so the eight pixels of
// a vector fall on bins idx0 - 8 ... idx0 + 8 at most (idx0 the first pixel's
// bin). Sixteen consecutive bins from base = idx0 (or idx0 - 8 when c < 0),
// loaded as two vectors, hold every bin the eight need, and one two-source
// permutation per neighbour picks them out. base is clamped to [0, N - 15],
// so nothing outside the row (guard included) is read; the bins of the valid
// pixels lie in [0, N] and stay inside the clamped window.

#include "backproject.h"

#include <immintrin.h>

// Adds the block's angles to the n (1 ... 8V) pixels of row f from column j0.
template <int V>
static void Segment(const double* const* Q, double* f, int j0, int n, int N, double centre,
                    const double* cosines, const double* t, int count)
{
    const __m512d lanes = _mm512_set_pd(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i one = _mm512_set1_epi64(1);
    const long long top = N - 15;
    __m512d x[V], sum[V];
    __mmask8 mask[V];
    for (int v = 0; v < V; ++v) {
        const int valid = n - 8 * v;
        mask[v] = valid >= 8 ? 0xff : static_cast<__mmask8>((1u << valid) - 1);
        x[v] = _mm512_add_pd(_mm512_set1_pd(j0 + 8 * v - centre), lanes);
        sum[v] = _mm512_maskz_loadu_pd(mask[v], f + j0 + 8 * v);
    }
    for (int k = 0; k < count; ++k) {
        const double* q = Q[k];
        const __m512d c = _mm512_set1_pd(cosines[k]);
        const __m512d tk = _mm512_set1_pd(t[k]);
        const long long back = cosines[k] < 0 ? 8 : 0;
        for (int v = 0; v < V; ++v) {
            // d = x c + t; sum += q[idx] + (q[idx + 1] - q[idx]) w.
            const __m512d d = _mm512_add_pd(_mm512_mul_pd(x[v], c), tk);
            const __m512i idx = _mm512_cvttpd_epi64(d);
            const __m512d w = _mm512_sub_pd(d, _mm512_cvtepi64_pd(idx));
            long long base = static_cast<long long>(_mm512_cvtsd_f64(d)) - back;
            base = base < 0 ? 0 : base > top ? top : base;
            const __m512d lo = _mm512_loadu_pd(q + base);
            const __m512d hi = _mm512_loadu_pd(q + base + 8);
            const __m512i rel = _mm512_sub_epi64(idx, _mm512_set1_epi64(base));
            const __m512d q0 = _mm512_permutex2var_pd(lo, rel, hi);
            const __m512d q1 = _mm512_permutex2var_pd(lo, _mm512_add_epi64(rel, one), hi);
            sum[v] = _mm512_add_pd(sum[v], _mm512_add_pd(q0, _mm512_mul_pd(_mm512_sub_pd(q1, q0), w)));
        }
    }
    for (int v = 0; v < V; ++v)
        _mm512_mask_storeu_pd(f + j0 + 8 * v, mask[v], sum[v]);
}

void BackProjectAVX512(const double* const* Q, double* const* F, const int* H0, const int* dH,
                       int i0, int i1, int N, double centre, double r0dr,
                       const double* cosines, const double* sines, int count)
{
    ForEachSegment(H0, dH, i0, i1, centre, r0dr, sines, count, 64,
                   [&](int i, int j0, int n, const double* t) {
                       switch ((n + 7) / 8) {
                       case 1: Segment<1>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 2: Segment<2>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 3: Segment<3>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 4: Segment<4>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 5: Segment<5>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 6: Segment<6>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       case 7: Segment<7>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       default: Segment<8>(Q, F[i], j0, n, N, centre, cosines, t, count); break;
                       }
                   });
}
