#ifndef PRJSINO_HALFTURN_H
#define PRJSINO_HALFTURN_H

// The choice of the projections that make one sinogram.
//
// The reconstructor takes M projections at the angles ra + m * 180/M degrees,
// m = 0 ... M - 1: one half turn, evenly spaced, without its end (the frame at
// ra + 180 degrees is the mirror of the one at ra). A scan holds n projections
// at stored angles a_0 ... a_{n-1}. They are taken as evenly spaced with the
// step s = (a_{n-1} - a_0)/(n - 1), and refused when any departs from
// a_0 + i s by more than a tenth of a step. The half turn then holds
// M = round(180/|s|) frames, refused unless M |s| is 180 degrees within a
// tenth of a step. Half turn h (1 or 2) keeps the frames (h - 1) M ... h M - 1;
// a frame after them at the mirror angle (an inclusive scan, 0 to 180 degrees)
// and a second half turn are left out. A scan turning the other way (s < 0)
// is taken in reverse, so that the angles grow: ra is then the angle of the
// last frame kept.

#include <string>
#include <vector>

struct HalfTurn {
    int first = 0;           // the first frame kept, in the scan's order
    int M = 0;               // frames kept: first ... first + M - 1
    bool reversed = false;   // the angles fall: sinogram row m is frame first + M - 1 - m
    double ra = 0;           // angle of sinogram row 0, degrees
    double step = 0;         // the fitted step s between neighbouring frames, degrees
    double worst = 0;        // largest departure from even spacing, in steps
    int worstFrame = 0;      // the frame that departs most
};

// Chooses half turn `half` (1 or 2) of the projection angles (degrees). False
// with a message naming the reason (and the worst frame for uneven spacing)
// when the angles do not hold such a half turn.
bool ChooseHalfTurn(const std::vector<double>& angles, int half, HalfTurn& turn, std::string& error);

// The scan frame that makes sinogram row m.
inline int FrameOfRow(const HalfTurn& turn, int m)
{
    return turn.reversed ? turn.first + turn.M - 1 - m : turn.first + m;
}

#endif
