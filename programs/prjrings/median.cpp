// The median of n values as a comparator network, applied to many columns at
// once: the columns lie side by side in a row of memory, so a comparator is a
// min and a max over two rows that the compiler turns into vector
// instructions, with no branch on the data.
//
// The network is Batcher's odd-even merge sort. For n a power of two it sorts
// runs of length p = 1, 2, 4 ... by merging pairs of sorted runs: the merge
// compares elements k = p, p/2, ..., 1 apart, each time only pairs i, i + k
// within one block of 2p (the test (i / 2p == (i + k) / 2p)). For other n
// it is the network of the next power of two with the comparators that touch
// positions >= n left out: those positions hold +infinity in the larger
// network, so a comparator with them never moves anything. After the network
// position h of a column holds its h-th smallest value (counted from 0).
//
// Only positions h = n / 2 (and h - 1 for even n) are read. Going backwards
// from them, a comparator whose outputs are both unread is dropped; one with
// one output read keeps that half (a min or a max alone), and its two inputs
// are read. The values are finite, so min and max are exact order
// statistics: the medians equal those of any exact selection, bit for bit
// (for even n the mean of the middle two, (v[h] + v[h - 1]) / 2).

#include "median.h"

#include <algorithm>

MedianNetwork::MedianNetwork(int n) : n_(n)
{
    std::vector<Comparator> all;
    for (int p = 1; p < n; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < n; j += 2 * k)
                for (int i = 0; i < std::min(k, n - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        all.push_back({i + j, i + j + k, true, true});
    std::vector<char> read(n, 0);
    read[n / 2] = 1;
    if (n % 2 == 0)
        read[n / 2 - 1] = 1;
    for (auto q = all.rbegin(); q != all.rend(); ++q) {
        q->keepLow = read[q->low];
        q->keepHigh = read[q->high];
        if (q->keepLow || q->keepHigh) {
            comparators_.push_back(*q);
            read[q->low] = read[q->high] = 1;
        }
    }
    std::reverse(comparators_.begin(), comparators_.end());
}

void MedianNetwork::operator()(double* v, int width, double* out) const
{
    for (const Comparator& q : comparators_) {
        double* __restrict a = v + static_cast<size_t>(q.low) * width;
        double* __restrict b = v + static_cast<size_t>(q.high) * width;
        // (a, b) = (min(a, b), max(a, b)), or the half that is read
        if (q.keepLow && q.keepHigh)
            for (int c = 0; c < width; ++c) {
                const double x = a[c], y = b[c];
                a[c] = std::min(x, y);
                b[c] = std::max(x, y);
            }
        else if (q.keepLow)
            for (int c = 0; c < width; ++c)
                a[c] = std::min(a[c], b[c]);
        else
            for (int c = 0; c < width; ++c)
                b[c] = std::max(a[c], b[c]);
    }
    const int h = n_ / 2;
    const double* upper = v + static_cast<size_t>(h) * width;
    const double* lower = upper - width;
    if (n_ % 2)
        std::copy(upper, upper + width, out);
    else
        for (int c = 0; c < width; ++c)
            out[c] = (upper[c] + lower[c]) / 2;
}
