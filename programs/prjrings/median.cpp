// Exact medians. The values are finite, so any exact method gives the same
// median, bit for bit (for even n the mean of the middle two, the upper plus
// the lower over 2), but for the sign of a zero where +0 and -0 tie.

#include "median.h"

#include <algorithm>
#include <cstddef>

// Selection. Quickselect: the values of the range that holds position h are
// split about a pivot x (the median of the first, middle and last) into
// those < x, those == x and those > x, and the part that holds h is kept. A
// split moves every value, whatever it is, and advances the end of the front
// part by the outcome of the comparison: no branch on the data, which a
// random order would mispredict half the time. Ties cost no extra round: the
// == part is split off at once. After kMaxRounds rounds (the pivots chosen
// badly, by chance or by the order of the data), std::nth_element finishes,
// as it does for ranges of kSmallRange or fewer values.
static const int kMaxRounds = 64;
static const int kSmallRange = 16;

// Moves the values of v[a ... b - 1] below x (strict) or not above x to the
// front, keeping the rest behind them; returns the end of the front part.
template <bool strict>
static int Split(double* v, int a, int b, double x)
{
    int end = a;
    for (int i = a; i < b; ++i) {
        const double y = v[i];
        v[i] = v[end];
        v[end] = y;
        end += strict ? y < x : y <= x;
    }
    return end;
}

// Places the h-th smallest of v[0 ... n - 1] at v[h], the smaller ones
// before it and the larger ones after.
static void Select(double* v, int n, int h)
{
    int a = 0, b = n;  // position h lies in v[a ... b - 1]
    for (int round = 0; b - a > kSmallRange && round < kMaxRounds; ++round) {
        const double first = v[a], middle = v[a + (b - a) / 2], last = v[b - 1];
        const double x = std::max(std::min(first, middle), std::min(std::max(first, middle), last));
        const int below = Split<true>(v, a, b, x);
        if (h < below) {
            b = below;
            continue;
        }
        const int through = Split<false>(v, below, b, x);
        if (h < through)
            return;  // v[h] == x
        a = through;
    }
    std::nth_element(v + a, v + h, v + b);
}

double Median(double* v, int n)
{
    const int h = n / 2;
    Select(v, n, h);
    const double upper = v[h];
    return n % 2 ? upper : (upper + *std::max_element(v, v + h)) / 2;
}

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
// are read. The min and max being exact, position h ends with the same value
// as after any exact selection.

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
