#ifndef PRJSLICE_RINGS_H
#define PRJSLICE_RINGS_H

// Stripe removal in a sinogram: the detector columns whose response departs
// from their neighbours' (the stripes that reconstruct as rings and arcs) are
// found and corrected; every other column is left exactly as it was. Method
// and conventions in rings.cpp; used by prjrings and by prjsino --rings.

#include <string>
#include <vector>

// The tuning of the detection, each with its default (the options of
// prjrings, which checks their ranges).
struct RingOptions {
    double width = 11;    // smoothing across columns: period (columns) it halves, > 2
    double fdr = 0.1;     // false discovery rate of the full-stripe test, in (0, 1)
    int blocks = 16;      // blocks of consecutive projections, >= 3
    int window = 4;       // blocks in a window of the partial test, >= 2
    double partial = 18;  // partial test threshold, typical departures; > 0
    double dead = 20;     // dead test threshold, typical spreads; > 0
};

enum class StripeKind { offset, partial, dead };

// One corrected column: the offset subtracted from it (for a partial stripe,
// outside its angle ranges), the full test's statistic z (offset over its
// standard error), and for a partial stripe the projections [first, last] of
// each range where the offset was followed projection by projection.
struct StripeColumn {
    int column;
    StripeKind kind;
    double offset, z;
    std::vector<std::pair<int, int>> ranges;
};

struct RingReport {
    int passes = 0;                     // detection passes run
    std::string skipped;                // why nothing was tested, or empty
    std::vector<StripeColumn> columns;  // in column order
};

// Corrects the sinogram of M projections of N columns, row m at P + m N, in
// place. The samples must be finite numbers. Throws std::bad_alloc.
RingReport RemoveRings(double* P, int N, int M, const RingOptions& options);

// The one-word name of a kind, as the reports print it.
const char* StripeKindName(StripeKind kind);

#endif
