#ifndef PRJSLICE_TOOLS_MIRROR_AXIS_H
#define PRJSLICE_TOOLS_MIRROR_AXIS_H

// The rotation axis from projections half a turn apart.
//
// In parallel beam the projection at theta + 180 degrees is the mirror image
// of the one at theta about the rotation axis: with the axis at column x,
//   b(u) = a(2x - u).
// Given lines a_l (rows of projections) and b_l (the same rows half a turn
// later), each of N columns, the axis is the x at which the b_l, mirrored,
// match the a_l best. The match is the correlation over the columns c that
// both cover (0 <= 2x - c <= N - 1, the overlap):
//   rho(x) = sum_l cov_l(a, b') / sqrt(sum_l var_l(a) * sum_l var_l(b')),
// b'_l(c) = b_l(2x - c), the covariances and variances of each line about its
// own means over the overlap. Subtracting the means makes a constant offset
// (a flat-field drift, air that is not quite zero) match nothing, and dividing
// by the variances makes overlaps of any width comparable, so that an axis
// near one end of the detector (half acquisition, where the overlap is
// narrow) is found like one near the centre. Overlaps narrower than
// kMinOverlap columns are not considered: a few columns of smooth data
// correlate with anything.
//
// rho is evaluated only where 2x is a whole number, so that b' is sampled at
// columns. Interpolating b between columns would average its noise, and the
// smoother b' would correlate better at fractional positions whatever the
// axis: on a noisy scan that pulls the answer by a fifth of a column towards
// the quarter columns. Between half columns the axis is the vertex of the
// parabola through the best rho and its two neighbours.
//
// The search: rho at every half column on the lines averaged over blocks of f
// columns (f the least power of two with N/f <= kCoarseColumns; a block of f
// columns is sampled at its centre), then at full width over the half columns
// within f columns of the best, then the parabola.

#include <algorithm>
#include <cmath>
#include <vector>

struct MirrorAxis {
    double column = 0;        // the axis, in columns of the lines
    double correlation = 0;   // rho at the best half column: 1 for a perfect mirror image
};

namespace mirror_axis {

// Overlaps narrower than this are not compared.
static const int kMinOverlap = 16;

// The coarse search runs on lines of at most this many columns: the cost of a
// search over every axis grows with the square of the width.
static const int kCoarseColumns = 256;

// rho at the axis x = k/2 over the lines, or -2 where the overlap is narrower
// than `least` columns or holds no variation.
inline double Correlation(const std::vector<const double*>& a, const std::vector<const double*>& b, int N, int k,
                          int least)
{
    const int c0 = std::max(0, k - (N - 1)), c1 = std::min(N - 1, k);
    const int n = c1 - c0 + 1;
    if (n < least)
        return -2;
    double cov = 0, varA = 0, varB = 0;
    for (size_t l = 0; l < a.size(); ++l) {
        const double* al = a[l];
        const double* bl = b[l];
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        for (int c = c0; c <= c1; ++c) {
            // a(c) against b'(c) = b(k - c)
            const double u = al[c], v = bl[k - c];
            sa += u;
            sb += v;
            saa += u * u;
            sbb += v * v;
            sab += u * v;
        }
        cov += sab - sa * sb / n;
        varA += saa - sa * sa / n;
        varB += sbb - sb * sb / n;
    }
    const double scale = std::sqrt(varA * varB);
    return scale > 0 ? cov / scale : -2;
}

// The k in from ... to with the largest rho, and that rho; rho -2 when none
// can be compared.
inline int Best(const std::vector<const double*>& a, const std::vector<const double*>& b, int N, int from, int to,
                int least, double& rho)
{
    int best = from;
    rho = -2;
    for (int k = from; k <= to; ++k) {
        const double r = Correlation(a, b, N, k, least);
        if (r > rho) {
            rho = r;
            best = k;
        }
    }
    return best;
}

}  // namespace mirror_axis

// The axis of lines a[l] and b[l] (N columns each, b half a turn after a).
// False when no axis gives an overlap of kMinOverlap columns with any
// variation in it.
inline bool FindMirrorAxis(const std::vector<const double*>& a, const std::vector<const double*>& b, int N,
                           MirrorAxis& found)
{
    using namespace mirror_axis;
    if (a.empty() || a.size() != b.size() || N < kMinOverlap)
        return false;
    // Coarse: the lines averaged over blocks of f columns; block i has its
    // centre at column f i + (f - 1)/2, so the axis at block kc/2 lies at
    // column (f kc + f - 1)/2.
    int f = 1;
    while (N / f > kCoarseColumns)
        f *= 2;
    const int n = N / f;
    std::vector<double> coarse(2 * a.size() * size_t(n));
    std::vector<const double*> ca, cb;
    for (size_t l = 0; l < a.size(); ++l)
        for (int side = 0; side < 2; ++side) {
            const double* line = side ? b[l] : a[l];
            double* out = coarse.data() + (2 * l + side) * size_t(n);
            for (int i = 0; i < n; ++i) {
                double sum = 0;
                for (int j = 0; j < f; ++j)
                    sum += line[f * i + j];
                out[i] = sum / f;
            }
            (side ? cb : ca).push_back(out);
        }
    double rho;
    const int kc = Best(ca, cb, n, 1, 2 * n - 3, std::max(4, kMinOverlap / f), rho);
    if (rho < -1)
        return false;
    // Fine: the half columns within f columns of the coarse axis.
    const int centre = f * kc + f - 1;
    const int k = Best(a, b, N, std::max(1, centre - 2 * f), std::min(2 * N - 3, centre + 2 * f), kMinOverlap, rho);
    if (rho < -1)
        return false;
    // The vertex of the parabola through rho at k - 1, k, k + 1, in half columns.
    const double left = Correlation(a, b, N, k - 1, kMinOverlap);
    const double right = Correlation(a, b, N, k + 1, kMinOverlap);
    const double curvature = left - 2 * rho + right;
    double vertex = 0;
    if (left > -1 && right > -1 && curvature < 0)
        vertex = std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
    found.column = (k + vertex) / 2;
    found.correlation = rho;
    return true;
}

#endif
