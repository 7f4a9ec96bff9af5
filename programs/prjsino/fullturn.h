#ifndef PRJSINO_FULLTURN_H
#define PRJSINO_FULLTURN_H

// Both half turns of a full turn in one half-turn sinogram.
//
// The projection at theta + 180 degrees is the mirror image of the one at
// theta about the rotation axis: p(theta + 180, s) = p(theta, -s). With the
// axis at detector column c (column k at s = k - c), the second half turn
// measures the first on the columns u = 2c - k: it covers the detector's own
// columns 2c - (N - 1) ... 2c. The combined sinogram spans both, from column
//   k_lo = min(0, K - (N - 1))  to  k_hi = max(N - 1, K),  K = round(2c),
// N' = k_hi - k_lo + 1 columns, its column j being detector column
// k = j + k_lo, the axis at column c - k_lo. Column j holds
//   w_d(j) d(k) + w_m(j) m(2c - k),
// d the row's projection, m the one half a turn later interpolated linearly
// between columns, w_d + w_m = 1 and each 0 where its measurement does not
// reach:
// - axis near the centre: the two cover nearly the same columns and are
//   averaged (w = 1/2), which halves the variance of the noise;
// - axis near one end (half acquisition): the second half turn carries the
//   side of the object that the detector does not reach, and N' is nearly
//   twice N.
// Where one measurement ends inside the other's columns, its weight falls to
// 0 at its last column along a raised cosine,
//   e(d) = (1 - cos(pi min(d/T, 1)))/2,  d the distance from that end,
// and w_d = e_d/(e_d + e_m), w_m = e_m/(e_d + e_m): a smooth blend that hides
// the seam a small mismatch of the two (noise, drift, an axis off by a
// fraction of a column) would leave. T is the overlap's width, at most
// kBlendColumns, so that a centred scan averages both halves nearly
// everywhere.

#include <vector>

struct FullTurn {
    double axis = 0;   // the axis, in detector columns
    int N = 0;         // columns of the combined sinogram
    int offset = 0;    // k_lo: column j is detector column j + offset
    // per column of the combined sinogram: the weights of the two half turns,
    // and where the mirror's sample lies between detector columns
    std::vector<double> direct, mirror, fraction;
    std::vector<int> at;   // the mirror's sample: (1 - fraction) m[at] + fraction m[at + 1]
};

// The combined geometry of a detector of N columns with the axis at `axis`
// (0 < axis < N - 1).
FullTurn PlanFullTurn(int N, double axis);

// One row of the combined sinogram (turn.N values) from the row's projection
// `direct` and the one half a turn later, `mirror` (N values each).
void CombineRow(const FullTurn& turn, const double* direct, const double* mirror, int N, double* out);

#endif
