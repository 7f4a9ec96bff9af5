#include "halfturn.h"

#include <cmath>
#include <cstdio>

// Departures from even spacing, and from a whole number of steps per half
// turn, are allowed up to this fraction of a step.
static const double kTolerance = 0.1;

static std::string Format(const char* format, double a, double b = 0, double c = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

bool ChooseHalfTurn(const std::vector<double>& angles, int half, HalfTurn& turn, std::string& error)
{
    const int n = static_cast<int>(angles.size());
    if (n < 2) {
        error = Format("at least 2 projections are needed; the scan holds %.0f", n);
        return false;
    }
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(angles[i])) {
            error = Format("the angle of projection %.0f is not a finite number", i);
            return false;
        }
    const double s = (angles[n - 1] - angles[0]) / (n - 1);
    if (!(std::fabs(s) > 0) || !std::isfinite(s)) {
        error = Format("the projections do not turn: the first and the last are both at %.17g degrees",
                       angles[0]);
        return false;
    }
    turn.step = s;
    turn.worst = 0;
    turn.worstFrame = 0;
    for (int i = 0; i < n; ++i) {
        const double off = std::fabs(angles[i] - (angles[0] + i * s)) / std::fabs(s);
        if (off > turn.worst) {
            turn.worst = off;
            turn.worstFrame = i;
        }
    }
    if (turn.worst > kTolerance) {
        error = Format("the angles are not evenly spaced: projection %.0f lies at %.10g degrees, "
                       "%.3g steps from even spacing",
                       turn.worstFrame, angles[turn.worstFrame], turn.worst);
        return false;
    }
    const double perHalf = 180 / std::fabs(s);
    const double M = std::round(perHalf);
    if (M < 1 || std::fabs(perHalf - M) > kTolerance) {
        error = Format("the step of %.10g degrees does not divide a half turn (%.6g steps in 180 degrees)",
                       std::fabs(s), perHalf);
        return false;
    }
    const double first = (half - 1) * M;
    if (first + M > n) {
        const double span = std::fabs(angles[n - 1] - angles[0]);
        if (half == 1)
            error = Format("the projections span %.10g degrees, less than a half turn "
                           "(%.0f steps of the %.0f in 180 degrees)",
                           span, n - 1, M);
        else
            error = Format("the projections span %.10g degrees: there is no second half turn "
                           "(it needs %.0f projections, the scan holds %.0f)",
                           span, 2 * M, n);
        return false;
    }
    turn.first = static_cast<int>(first);
    turn.M = static_cast<int>(M);
    turn.reversed = s < 0;
    turn.ra = angles[FrameOfRow(turn, 0)];
    return true;
}
