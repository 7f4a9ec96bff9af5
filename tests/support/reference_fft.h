#ifndef PRJSLICE_REFERENCE_FFT_H
#define PRJSLICE_REFERENCE_FFT_H

// The radix-2 transform in its textbook loop order, twiddle index outer and
// groups inner: the reference that the engine's transform (groups outer) must
// equal to the bit, and the baseline of the transform benchmark.
// sign = -1 forward (twiddles conjugated), +1 inverse; no normalisation.

#include <utility>

inline void ReferenceFFT(int n, const double* E, double* X, int sign)
{
    if (n > 2) {
        for (int i = 1, j = 0; i < n; ++i) {
            int bit = n >> 1;
            for (; j & bit; bit >>= 1)
                j ^= bit;
            j ^= bit;
            if (i < j) {
                std::swap(X[2 * i], X[2 * j]);
                std::swap(X[2 * i + 1], X[2 * j + 1]);
            }
        }
    }
    for (int m = 1; m < n; m *= 2)
        for (int k = 0; k < m; ++k) {
            const double er = E[2 * (k * (n / m))], ei = E[2 * (k * (n / m)) + 1];
            for (int r = 0; r < n / (2 * m); ++r) {
                double* p = X + 2 * (2 * m * r + k);
                double* q = p + 2 * m;
                // Forward: t = conj(E) q; inverse: t = E q.
                const double tr = sign < 0 ? er * q[0] + ei * q[1] : er * q[0] - ei * q[1];
                const double ti = sign < 0 ? er * q[1] - ei * q[0] : ei * q[0] + er * q[1];
                q[0] = p[0] - tr;
                q[1] = p[1] - ti;
                p[0] = p[0] + tr;
                p[1] = p[1] + ti;
            }
        }
}

#endif
