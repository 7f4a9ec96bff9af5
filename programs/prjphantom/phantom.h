#ifndef PRJSLICE_PHANTOM_H
#define PRJSLICE_PHANTOM_H

// The analytic phantom shared by prjphantom's sinogram and scan writers: a
// volume of ellipsoids, its slices seen by the detector rows, and the exact
// line integrals of a slice (conventions in phantom.cpp).

#include <cstdint>
#include <vector>

// An ellipse in detector intervals: centre (x, y), semi-axis a along the
// direction angle (radians from the x axis), semi-axis b across it, density
// per unit of physical length.
struct Ellipse {
    double x, y, a, b, angle, density;
};

// The detector: N bins, bin k at the coordinate r0dr + k detector intervals
// from the rotation axis, dr the physical length of one interval. A bin reads
// the line integral at its centre, or with `aperture` their mean over its
// width, as a detector pixel does.
struct Detector {
    int N;
    double r0dr, dr;
    bool aperture = false;
};

// The angle in radians of projection m when M projections span 180 degrees
// from ra degrees: ra pi/180 + m pi/M.
double ProjectionAngle(double ra, int m, int M);

// The ellipses that detector row `row` of `rows` sees: the cross-sections of
// the ellipsoids whose equatorial sections are `phantom`.
std::vector<Ellipse> SliceEllipses(const std::vector<Ellipse>& phantom, int row, int rows);

// The N line integrals of `slice` at the angle theta (radians) into `row`.
void ProjectSlice(const std::vector<Ellipse>& slice, double theta, const Detector& d, double* row);

// `count` small ellipses of the object's texture inside the first ellipse of
// `phantom`, drawn from `seed` (rules in phantom.cpp).
std::vector<Ellipse> Texture(const std::vector<Ellipse>& phantom, int count, uint64_t seed);

#endif
