#ifndef PRJSLICE_PROGRAMS_MIRROR_H
#define PRJSLICE_PROGRAMS_MIRROR_H

// Registration of detector profiles: where one is the mirror image of
// another, and how far one is shifted against another.
//
// A parallel projection half a turn later is the mirror image of the first
// about the rotation axis: p(theta + 180, s) = p(theta, -s), s measured from
// the axis. In detector bins, with the axis at bin c, b(k) = a(2c - k). Both
// programs that look for the axis this way (the axis finder on the seam of a
// half-turn sinogram, the scan importer on a projection and the one at 180
// degrees from it) share this code.

// The outcome of one registration.
struct Registration {
    bool found = false;   // a distinct best match inside the range searched
    double at = 0;        // the mirror axis, or the shift, in bins
    double error = 0;     // its standard error from the noise left at the match, in bins
    double mismatch = 0;  // mean square of a minus the mirrored b at the best half bin,
                          // over the variance of the two (0 for a perfect match, 1 for no relation)
    const char* why = ""; // when not found: why not
};

// The axis x in [lo, hi] about which b (rows x N samples, row r at b + r N) is
// the mirror image of a: a(r, k) = b(r, 2x - k). The range must keep x at
// least a quarter of the detector inside its ends.
Registration MirrorAxis(const double* a, const double* b, int N, int rows, double lo, double hi);

// The axis anywhere on the detector where a and b share at least
// kMinOverlap columns, as in half acquisition, where it lies near one end:
// MirrorAxis first on the rows averaged over blocks of columns, at most
// kCoarseColumns of them, then at full width about the block's axis.
Registration MirrorAxisAnywhere(const double* a, const double* b, int N, int rows);

// The shift t, |t| <= most, by which the profile a (N samples) is b moved
// along the detector: a(k) = b(k - t).
Registration Shift(const double* a, const double* b, int N, double most);

#endif
