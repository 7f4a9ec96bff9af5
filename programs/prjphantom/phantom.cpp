// The analytic phantom: ellipses in a plane, stacked into a volume of
// ellipsoids, and their exact parallel-beam line integrals.
//
// Units and conventions (those of the reconstructor):
// - Bin k lies at the detector coordinate r0/dr + k in detector intervals from
//   the rotation axis, i.e. at (r0/dr + k) * dr in physical length.
// - At angle theta the point (x, y) projects to x cos theta + y sin theta.
// - Ellipse positions and semi-axes are in detector intervals about the
//   rotation axis; densities are per unit of physical length, so the line
//   integrals are a density times a physical length.
//
// The volume: each ellipse (x, y, a, b, angle, density) is the equatorial
// section of an ellipsoid with semi-axes a, b in the plane and c along the
// rotation axis, centred at height z = 0. Of R detector rows, row r (row 0 at
// the top) sees the plane z_r = h_r c with h_r = (R - r - 1/2) / R, where the
// ellipsoid's section is the same ellipse, centre, angle and density kept,
// with both semi-axes scaled by s_r = sqrt(1 - h_r^2). The rows look at the
// upper halves of the ellipsoids: s_r grows strictly with r, from about
// 1/sqrt(R) under the top to sqrt(1 - 1/(4 R^2)) just above the equator, so
// no row is empty and no two are alike. The frames of a scan show domes.
//
// Texture: small ellipses inside the first (outer) ellipse, so that the
// object has fine detail at every radius and not only the flat regions and
// few edges of its large ellipses. Each has its centre uniform in the first
// ellipse shrunk to kTextureFill of its size, semi-axes uniform in [1, 6]
// detector intervals, its a axis at an angle uniform in [0, 180) degrees, and
// the density +-[0.02, 0.1] times the first ellipse's |density|, either sign
// alike. They are drawn from a 64-bit Mersenne Twister seeded with the seed
// sequence (low 32 bits of the seed, high 32 bits, kTextureStream), each in
// turn: the centre's two coordinates in the unit disc (pairs drawn in the
// square until one falls inside), the two semi-axes, the angle, the sign and
// the size of the density, every number the top 53 bits of one draw.

#include "phantom.h"

#include <algorithm>
#include <cmath>
#include <random>

// Texture centres keep this share of the outer ellipse's size, away from its
// rim.
static const double kTextureFill = 0.85;

// The third word of the texture generator's seed sequence, which keeps it
// apart from the other generators drawn from the same seed.
static const uint32_t kTextureStream = 0x74657874;  // "text"

static const double kPi = 3.141592653589793;

double ProjectionAngle(double ra, int m, int M) { return ra * kPi / 180 + m * kPi / M; }

std::vector<Ellipse> SliceEllipses(const std::vector<Ellipse>& phantom, int row, int rows)
{
    const double h = (rows - row - 0.5) / rows;
    const double s = std::sqrt(1 - h * h);
    std::vector<Ellipse> slice = phantom;
    for (Ellipse& e : slice) {
        e.a *= s;
        e.b *= s;
    }
    return slice;
}

// v clamped to the bin indices 0 ... N (NaN to 0).
static int BinIndex(double v, int N) { return v > 0 ? (v < N ? static_cast<int>(v) : N) : 0; }

// Projection of one ellipse onto a detector row.
//
// Write the ellipse as p = c + L q with q in the unit disc, c = (x0, y0) and
// L = Rot(alpha) diag(A, B), so |det L| = A B. At angle theta the ray at
// detector coordinate s is the line p . u = s with u = (cos theta, sin theta).
// In q it becomes q . w = t with w = L^T u and t = s - c . u, where
//   |w|^2 = a^2 = A^2 cos^2(theta - alpha) + B^2 sin^2(theta - alpha),
// i.e. a line at distance t/a from the centre of the unit disc, which it cuts
// in a chord of length 2 sqrt(1 - t^2/a^2) when t^2 < a^2. Lines at s and
// s + ds enclose a strip of width ds/a in q, and areas scale by A B, so the
// line integral of the density rho is
//   P(s) = rho * A B * 2 sqrt(1 - t^2/a^2) / a = 2 rho A B sqrt(a^2 - t^2) / a^2.
// Its integral over s is rho pi A B at every angle, and a is the half width of
// the shadow. Here all lengths are physical (detector intervals times dr), so
// s_k = (r0/dr + k) dr and P is a length times a density.
//
// With an aperture, bin k reads the mean of P over its width dr, t from
// t_k - dr/2 to t_k + dr/2. With t clamped to [-a, a], where the chord ends,
//   int sqrt(a^2 - t^2) dt = G(t) = a^2 (u sqrt(1 - u^2) + asin u) / 2, u = t/a,
// so the bin reads 2 rho A B / a^2 (G(t_hi) - G(t_lo)) / dr. The mean has no
// square-root cusp where the shadow's edge crosses the bin: it is smooth in
// the angle as the edge moves.
//
// Only the bins from floor to ceil of the shadow's ends, (c . u -+ a) / dr -
// r0/dr, half a bin wider with an aperture, can see the ellipse.
static void AddProjection(const Ellipse& e, double theta, const Detector& det, double* row)
{
    const double dr = det.dr;
    const double A = e.a * dr, B = e.b * dr;
    const double c = std::cos(theta), s = std::sin(theta);
    const double cr = std::cos(theta - e.angle), sr = std::sin(theta - e.angle);
    const double a2 = A * A * cr * cr + B * B * sr * sr;
    if (!(a2 > 0))
        return;  // semi-axes so small that their squares vanish: no shadow
    const double centre = (e.x * c + e.y * s) * dr;  // c . u
    const double factor = 2 * e.density * A * B / a2;
    const double half = std::sqrt(a2);
    const double reach = det.aperture ? 0.5 : 0.0;
    const int k0 = BinIndex(std::floor((centre - half) / dr - det.r0dr - reach), det.N);
    const int k1 = BinIndex(std::ceil((centre + half) / dr - det.r0dr + reach) + 1, det.N);
    const auto G = [half, a2](double t) {
        const double u = std::min(std::max(t / half, -1.0), 1.0);
        return 0.5 * a2 * (u * std::sqrt(1 - u * u) + std::asin(u));
    };
    for (int k = k0; k < k1; ++k) {
        const double t = (det.r0dr + k) * dr - centre;
        if (det.aperture) {
            row[k] += factor * (G(t + 0.5 * dr) - G(t - 0.5 * dr)) / dr;
        } else {
            const double d = a2 - t * t;
            if (d > 0)
                row[k] += factor * std::sqrt(d);
        }
    }
}

void ProjectSlice(const std::vector<Ellipse>& slice, double theta, const Detector& d, double* row)
{
    for (int k = 0; k < d.N; ++k)
        row[k] = 0.0;
    for (const Ellipse& e : slice)
        AddProjection(e, theta, d, row);
}

std::vector<Ellipse> Texture(const std::vector<Ellipse>& phantom, int count, uint64_t seed)
{
    std::seed_seq sequence{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), kTextureStream};
    std::mt19937_64 generator(sequence);
    const auto uniform = [&generator]() { return static_cast<double>(generator() >> 11) * 0x1p-53; };
    const Ellipse& host = phantom.front();
    const double c = std::cos(host.angle), s = std::sin(host.angle);
    std::vector<Ellipse> texture;
    for (int n = 0; n < count; ++n) {
        double u, v;
        do {
            u = 2 * uniform() - 1;
            v = 2 * uniform() - 1;
        } while (u * u + v * v > 1);
        // (u, v) in the host's axes: u along its a axis, v along b
        const double x = host.x + kTextureFill * (u * host.a * c - v * host.b * s);
        const double y = host.y + kTextureFill * (u * host.a * s + v * host.b * c);
        const double a = 1 + 5 * uniform(), b = 1 + 5 * uniform();
        const double angle = kPi * uniform();
        const double sign = uniform() < 0.5 ? -1 : 1;
        const double density = sign * (0.02 + 0.08 * uniform()) * std::fabs(host.density);
        texture.push_back(Ellipse{x, y, a, b, angle, density});
    }
    return texture;
}
