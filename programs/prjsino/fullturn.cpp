#include "fullturn.h"

#include <algorithm>
#include <cmath>

// The widest blend: wide enough to spread a seam over many columns, narrow
// enough that a centred scan whose axis is a column off the centre still
// averages its two halves over all but the ends of the detector.
static const double kBlendColumns = 64;

static const double kPi = 3.141592653589793;


// The raised cosine from 0 at d = 0 to 1 at d >= T.
static double Rise(double d, double T)
{
    return d <= 0 ? 0 : d >= T ? 1 : (1 - std::cos(kPi * d / T)) / 2;
}

FullTurn PlanFullTurn(int N, double axis)
{
    FullTurn turn;
    turn.axis = axis;
    // Detector coordinates: the row covers columns 0 ... N - 1, its mirror
    // K - (N - 1) ... K with K = 2c rounded to a whole column, so that the
    // width does not change with a registered axis that moves by a fraction
    // of a column from band to band. Where 2c is not whole, the mirror's end
    // samples lie up to half a column beyond the detector and are taken at
    // its end column.
    const int K = static_cast<int>(std::lround(2 * axis));
    const double lo = 0, hi = N - 1, mlo = K - (N - 1), mhi = K;
    turn.offset = std::min(0, K - (N - 1));
    const int last = std::max(N - 1, K);
    turn.N = last - turn.offset + 1;
    // The overlap's width sets the blend; an end is blended only where the
    // other measurement reaches beyond it.
    const double T = std::min(kBlendColumns, std::min(hi, mhi) - std::max(lo, mlo));
    turn.direct.resize(turn.N);
    turn.mirror.resize(turn.N);
    turn.fraction.resize(turn.N);
    turn.at.resize(turn.N);
    for (int j = 0; j < turn.N; ++j) {
        const double k = j + turn.offset;
        const double u = 2 * axis - k;   // the mirror's column
        double ed = 0, em = 0;
        if (k >= lo && k <= hi)
            ed = (mlo < lo ? Rise(k - lo, T) : 1) * (mhi > hi ? Rise(hi - k, T) : 1);
        if (k >= mlo && k <= mhi)
            em = (lo < mlo ? Rise(k - mlo, T) : 1) * (hi > mhi ? Rise(mhi - k, T) : 1);
        // Where both ends meet at one column (an overlap of one column) the
        // measurement that reaches on takes it.
        if (ed + em <= 0)
            (k >= lo && k <= hi ? ed : em) = 1;
        turn.direct[j] = ed / (ed + em);
        turn.mirror[j] = em / (ed + em);
        const double clamped = std::clamp(u, 0.0, N - 1.0);
        turn.at[j] = std::min(static_cast<int>(clamped), std::max(N - 2, 0));
        turn.fraction[j] = clamped - turn.at[j];
    }
    return turn;
}

void CombineRow(const FullTurn& turn, const double* direct, const double* mirror, int N, double* out)
{
    for (int j = 0; j < turn.N; ++j) {
        const int k = j + turn.offset;
        // w_d d(k) + w_m ((1 - f) m(u0) + f m(u0 + 1)), u0 + f = 2c - k
        const double d = k >= 0 && k < N ? direct[k] : 0;
        const double f = turn.fraction[j];
        const int u = turn.at[j];
        const double m = turn.mirror[j] > 0 ? (1 - f) * mirror[u] + (f > 0 ? f * mirror[u + 1] : 0) : 0;
        out[j] = turn.direct[j] * d + turn.mirror[j] * m;
    }
}
