#ifndef PRJSINO_HALFTURN_H
#define PRJSINO_HALFTURN_H

// The choice of the projections that make one sinogram.
//
// The reconstructor takes M projections at the angles ra + m * 180/M degrees,
// m = 0 ... M - 1: one half turn, evenly spaced, without its end (the frame at
// ra + 180 degrees is the mirror of the one at ra). A scan holds n projections
// at stored angles a_0 ... a_{n-1}, which must be monotonic (a scan turning
// the other way, s < 0, is taken in reverse, so that the sinogram's angles
// grow) and leave no gap of more than two steps.
//
// The step. The median of the differences of neighbouring angles gives a
// rough step s0; a difference of more than 1.75 s0 counts as round(d/s0)
// steps (frames missing), any other as one, which numbers the projections by
// their step c_i. The step s and the start a are then the least-squares line
// a_i = a + s c_i. A projection's departure from even spacing is
// |a_i - a - s c_i| / |s| steps.
//
// Even angles (every departure within a thousandth of a step, no frame
// missing): the projections are taken as they are. The half turn holds
// M = round(180/|s|) frames, refused unless M |s| is 180 degrees within a
// tenth of a step. Half turn h (1 or 2) keeps the frames (h - 1) M ... h M - 1;
// a frame after them at the mirror angle (an inclusive scan, 0 to 180 degrees)
// and a second half turn are left out; ra is the angle of the first row's
// frame.
//
// Uneven angles (encoder jitter, a missing frame): the sinogram is resampled
// onto the even grid t_m = a + (h - 1) 180 + m 180/M, M = round(180/|s|), by
// linear interpolation in angle between the two measured projections about
// each t_m: row m = (1 - w) p_j + w p_{j+1}, w = (t_m - a_j)/(a_{j+1} - a_j).
// Grid angles up to half a step beyond the first or last projection (jitter
// of the end frames) are extrapolated from the two end projections.
//
// Full turns. When half is 0 and the scan holds a second half turn, both are
// used: `mirror` gives the projection at the angle of each row + 180 degrees,
// evenly taken or resampled like `rows`, which the caller mirrors about the
// rotation axis (p(theta + 180, s) = p(theta, -s)) and combines with the row.

#include <string>
#include <vector>

// One measured projection's share of a sinogram row.
struct Tap {
    int frame = 0;       // the projection, in the scan's order
    double weight = 0;
};

// A sinogram row: w_a p_a + w_b p_b (b's weight 0 when the row is one frame).
struct Taps {
    Tap a, b;
};

struct HalfTurn {
    int first = 0;           // the first frame used, in the scan's order
    int last = 0;            // the last frame used
    int M = 0;               // rows of the sinogram
    bool reversed = false;   // the angles fall: the frames are taken from the last to the first
    double ra = 0;           // angle of sinogram row 0, degrees
    double step = 0;         // the fitted step s between neighbouring frames, degrees
    double worst = 0;        // largest departure from even spacing, in steps
    int worstFrame = 0;      // the frame that departs most
    bool resampled = false;  // rows interpolated in angle onto the even grid
    bool full = false;       // both half turns: mirror[m] lies at the angle of row m + 180 degrees
    std::vector<Taps> rows, mirror;
};

// Chooses half turn `half` (1 or 2) of the projection angles (degrees), or
// with half 0 both half turns of a full turn, else the first. False with a
// message naming the reason (and the projections concerned) when the angles
// do not hold such a half turn.
bool ChooseHalfTurn(const std::vector<double>& angles, int half, HalfTurn& turn, std::string& error);

// The scan frame that makes sinogram row m of evenly spaced angles.
inline int FrameOfRow(const HalfTurn& turn, int m)
{
    return turn.rows[m].a.frame;
}

#endif
