#ifndef PRJSLICE_MEDIAN_H
#define PRJSLICE_MEDIAN_H

// Exact medians of many columns at once by a comparator network (method in
// median.cpp).

#include <vector>

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
