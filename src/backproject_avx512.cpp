// The back-projection of an angle block with AVX-512 (F and DQ): eight
// neighbouring pixels per vector, up to eight vectors (a 64-pixel segment of
// a row) whose sums stay in registers across the block's angles.
//
// Each pixel gains q[idx] + s[idx] w with the slope s[e] = q[e + 1] - q[e]:
// the scalar loop's subtraction on the same two bins, done once per bin as the
// block is staged instead of once per pixel and angle, so the sum is the same
// to the bit. The staged row keeps bins and slopes in groups of 8 bins (8
// values, then 8 slopes), 64-byte aligned, with a group of zeros before bin 0
// and one after the group of bin N - 1.
//
// Gathers are replaced by a window of 16 bins, two groups, from which one
// two-source permutation of the values and one of the slopes pick each
// pixel's bin.

#include "backproject.h"

#include <immintrin.h>

alignas(64) static double stage[stageDoubles];  // staged rows of the block's angles

// Doubles of one staged row of N bins: groups -1 ... (N - 1) / 8 + 1.
static long long StagedRow(int N)
{
    return 16LL * ((N - 1) / 8 + 3);
}

// Stages the count rows of Q: group g of row k at stage + k row + 16 (g + 1).
static void Stage(const double* const* Q, int N, int count, long long row)
{
    const int groups = (N - 1) / 8 + 2;
    for (int k = 0; k < count; ++k) {
        double* r = stage + k * row;
        const double* q = Q[k];
        _mm512_store_pd(r, _mm512_setzero_pd());
        _mm512_store_pd(r + 8, _mm512_setzero_pd());
        for (int g = 0; g < groups; ++g) {
            // Bins e = 8 g ... 8 g + 7 below N: q[e] and q[e + 1] - q[e] (the
            // last reads the 0.0 guard q[N]); the others 0.
            const int valid = N - 8 * g;
            const __mmask8 in = valid >= 8 ? 0xff : valid > 0 ? static_cast<__mmask8>((1u << valid) - 1) : 0;
            const __m512d bins = _mm512_maskz_loadu_pd(in, q + 8 * g);
            const __m512d next = _mm512_maskz_loadu_pd(in, q + 8 * g + 1);
            _mm512_store_pd(r + 16 * (g + 1), bins);
            _mm512_store_pd(r + 16 * (g + 1) + 8, _mm512_maskz_sub_pd(in, next, bins));
        }
    }
}

// Adds the staged angles to the n (1 ... 8V) pixels of row f from column j0.
//
// The window: along a row d changes by c per pixel, |c| <= 1, and rounding is
// monotone, so for c >= 0 the bins of the eight pixels satisfy
// idx0 <= idx <= idx0 + 8 (idx0 the first pixel's bin; d7 - d0 = 7c up to
// rounding, less than 8, so the truncations differ by at most 8, and a d in
// (-1, 0) at the disc's rim truncates to 0 like the scalar loop's). The window
// starts at base = idx0 rounded down to a multiple of 8, at least idx0 - 7, so
// base + 15 >= idx0 + 8 covers them. For c < 0, idx0 - 8 <= idx <= idx0, and
// base = that multiple minus 8, in idx0 - 15 ... idx0 - 8, covers them too.
// c = 1 and c = -1 exactly are the widest cases, still 9 bins.
//
// The weight w = d - trunc(d) comes from one instruction (VREDUCEPD with
// truncation); like the scalar loop's d - idx it is exact, the fraction of a
// double being a double, so the two agree (d in (-1, 0) gives d itself).
//
// The permutation picks lane i of (a, b) by the low four bits of idx[i], bit 3
// choosing b: bin e sits at e mod 16 when a holds the group of the window
// whose bins have bit 3 clear, at (base + 8) rounded down to 16, and b the
// other, at base | 8. For base a multiple of 16 these are the window's lower
// and upper halves, for an odd multiple of 8 the halves swapped. The index is
// the bin itself: no subtraction of base, no clamping. The first pixel of a
// vector always lies on the disc, where d is in [0, N - 1] up to rounding, so
// idx0 is in [0, N - 1] and the groups read lie in -1 ... (N - 1) / 8 + 1,
// inside the staged row. Lanes past the segment's end may hold any index;
// only its low four bits count, they pick inside the window, and the lane is
// never stored.
template <int V>
static void Segment(long long row, double* f, int j0, int n, double centre,
                    const double* cosines, const double* t, int count)
{
    const __m512d lanes = _mm512_set_pd(7, 6, 5, 4, 3, 2, 1, 0);
    __m512d x[V], sum[V];
    __mmask8 mask[V];
    for (int v = 0; v < V; ++v) {
        const int valid = n - 8 * v;
        mask[v] = valid >= 8 ? 0xff : static_cast<__mmask8>((1u << valid) - 1);
        x[v] = _mm512_add_pd(_mm512_set1_pd(j0 + 8 * v - centre), lanes);
        sum[v] = _mm512_maskz_loadu_pd(mask[v], f + j0 + 8 * v);
    }
    for (int k = 0; k < count; ++k) {
        const double* group0 = stage + k * row + 16;
        const __m512d c = _mm512_set1_pd(cosines[k]);
        const __m512d tk = _mm512_set1_pd(t[k]);
        const long long back = cosines[k] < 0 ? 8 : 0;
        EachVector(std::make_integer_sequence<int, V>(), [&](int v) {
            // d = x c + t; w = d - trunc(d); sum += q[idx] + s[idx] w.
            const __m512d d = _mm512_add_pd(_mm512_mul_pd(x[v], c), tk);
            const __m512i idx = _mm512_cvttpd_epi64(d);
            const __m512d w = _mm512_reduce_pd(d, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
            const long long base = (static_cast<long long>(_mm512_cvtsd_f64(d)) & ~7LL) - back;
            const double* a = group0 + 2 * ((base + 8) & ~15LL);
            const double* b = group0 + 2 * (base | 8);
            const __m512d q0 = _mm512_permutex2var_pd(_mm512_load_pd(a), idx, _mm512_load_pd(b));
            const __m512d s0 = _mm512_permutex2var_pd(_mm512_load_pd(a + 8), idx, _mm512_load_pd(b + 8));
            sum[v] = _mm512_add_pd(sum[v], _mm512_add_pd(q0, _mm512_mul_pd(s0, w)));
        });
    }
    for (int v = 0; v < V; ++v)
        _mm512_mask_storeu_pd(f + j0 + 8 * v, mask[v], sum[v]);
}

void BackProjectAVX512(const double* const* Q, double* const* F, const int* H0, const int* dH,
                       int i0, int i1, int N, double centre, double r0dr,
                       const double* cosines, const double* sines, int count)
{
    const long long row = StagedRow(N);
    const int fit = stageDoubles / row < angleBlock ? static_cast<int>(stageDoubles / row) : angleBlock;
    for (int k0 = 0; k0 < count; k0 += fit) {
        const int part = count - k0 < fit ? count - k0 : fit;
        Stage(Q + k0, N, part, row);
        const double* c = cosines + k0;
        ForEachSegment(H0, dH, i0, i1, centre, r0dr, sines + k0, part, 64, rowBand,
                       [&](int i, int j0, int n, const double* t) {
                           switch ((n + 7) / 8) {
                           case 1: Segment<1>(row, F[i], j0, n, centre, c, t, part); break;
                           case 2: Segment<2>(row, F[i], j0, n, centre, c, t, part); break;
                           case 3: Segment<3>(row, F[i], j0, n, centre, c, t, part); break;
                           case 4: Segment<4>(row, F[i], j0, n, centre, c, t, part); break;
                           case 5: Segment<5>(row, F[i], j0, n, centre, c, t, part); break;
                           case 6: Segment<6>(row, F[i], j0, n, centre, c, t, part); break;
                           case 7: Segment<7>(row, F[i], j0, n, centre, c, t, part); break;
                           default: Segment<8>(row, F[i], j0, n, centre, c, t, part); break;
                           }
                       });
    }
}
