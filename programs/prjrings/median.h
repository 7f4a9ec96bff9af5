#ifndef PRJSLICE_MEDIAN_H
#define PRJSLICE_MEDIAN_H

// Exact medians: of one array by selection, of many columns at once by a
// comparator network (methods in median.cpp).

#include <vector>

// The median of v[0 ... n - 1], n >= 1 (the mean of the middle two for even
// n); reorders v. The values must be finite.
double Median(double* v, int n);

class MedianNetwork {
public:
    // The network for n >= 1 values.
    explicit MedianNetwork(int n);

    int size() const { return n_; }

    // The medians of width columns side by side: v holds n rows of width
    // values (row i at v + i width), out[c] gets the median of column c (the
    // mean of the middle two for even n). Reorders v.
    void operator()(double* v, int width, double* out) const;

private:
    // Comparator (low, high), low < high: min to low, max to high, each
    // only where a later comparator or the middle reads it.
    struct Comparator {
        int low, high;
        bool keepLow, keepHigh;
    };
    int n_;
    std::vector<Comparator> comparators_;
};

#endif
