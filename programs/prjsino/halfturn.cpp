#include "halfturn.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

// A whole number of steps per half turn is required of even angles up to this
// fraction of a step.
static const double kTolerance = 0.1;

// Departures from even spacing up to this fraction of a step are the rounding
// of stored angles (a float32 angle near 360 degrees is good to 3e-5 degrees,
// 3e-4 of a 0.1-degree step); beyond it the sinogram is resampled.
static const double kEven = 1e-3;

// A difference of neighbouring angles of more than this many rough steps
// counts as frames missing: jitter of up to 0.3 steps on each frame makes
// differences of at most 1.6 steps, one frame missing at least 1.75 unless its
// neighbours jitter by more than 0.125 steps.
static const double kMissing = 1.75;

// The widest gap between neighbouring projections that is interpolated over.
static const double kGap = 2;

// Grid angles may lie this many steps beyond the first or the last projection
// (the jitter of the end frames), extrapolated from the two end projections.
static const double kReach = 0.5;

static std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

// The projections j, j + 1 about the angle t of the growing angles u
// (u_j <= t < u_{j+1}, the end pair outside them), weighted for the row
// (1 - w) p_j + w p_{j+1}, w = (t - u_j)/(u_{j+1} - u_j).
static Taps Interpolate(const std::vector<double>& u, double t)
{
    const int n = static_cast<int>(u.size());
    const int j = std::clamp(static_cast<int>(std::upper_bound(u.begin(), u.end(), t) - u.begin()) - 1, 0, n - 2);
    const double w = (t - u[j]) / (u[j + 1] - u[j]);
    return Taps{Tap{j, 1 - w}, Tap{j + 1, w}};
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
    if (!(angles[n - 1] != angles[0])) {
        error = Format("the projections do not turn: the first and the last are both at %.17g degrees", angles[0]);
        return false;
    }
    // In the direction of the turn, the angles u_i = dir a_i must grow.
    const double dir = angles[n - 1] > angles[0] ? 1 : -1;
    std::vector<double> gaps(n - 1);
    for (int i = 0; i + 1 < n; ++i) {
        gaps[i] = dir * (angles[i + 1] - angles[i]);
        if (!(gaps[i] > 0)) {
            error = Format("the angles are not monotonic: projection %.0f lies at %.10g degrees, after projection "
                           "%.0f at %.10g",
                           i + 1, angles[i + 1], i, angles[i]);
            return false;
        }
    }
    std::vector<double> sorted = gaps;
    std::nth_element(sorted.begin(), sorted.begin() + (n - 1) / 2, sorted.end());
    const double rough = sorted[(n - 1) / 2];
    // c_i: the step of each projection, counting missing frames.
    std::vector<double> c(n, 0.0);
    for (int i = 0; i + 1 < n; ++i)
        c[i + 1] = c[i] + (gaps[i] > kMissing * rough ? std::round(gaps[i] / rough) : 1);
    // Least squares of u_i = a + s c_i.
    double cMean = 0, uMean = 0;
    for (int i = 0; i < n; ++i) {
        cMean += c[i] / n;
        uMean += dir * angles[i] / n;
    }
    double scc = 0, scu = 0;
    for (int i = 0; i < n; ++i) {
        scc += (c[i] - cMean) * (c[i] - cMean);
        scu += (c[i] - cMean) * (dir * angles[i] - uMean);
    }
    const double s = scu / scc, a = uMean - s * cMean;
    turn.step = dir * s;
    turn.worst = 0;
    turn.worstFrame = 0;
    for (int i = 0; i < n; ++i) {
        const double off = std::fabs(dir * angles[i] - (a + s * c[i])) / s;
        if (off > turn.worst) {
            turn.worst = off;
            turn.worstFrame = i;
        }
    }
    for (int i = 0; i + 1 < n; ++i)
        if (gaps[i] > kGap * s * (1 + 1e-9)) {
            error = Format("a gap of %.3g steps between projections %.0f and %.0f (%.10g and ", gaps[i] / s, i, i + 1,
                           angles[i]) +
                    Format("%.10g degrees): more than two steps are missing", angles[i + 1]);
            return false;
        }
    const double perHalf = 180 / s;
    const double M = std::max(1.0, std::round(perHalf));
    const double span = std::fabs(angles[n - 1] - angles[0]);
    turn.resampled = turn.worst > kEven || c[n - 1] != n - 1;
    turn.M = static_cast<int>(M);
    turn.reversed = dir < 0;
    turn.rows.assign(turn.M, Taps{});
    turn.mirror.clear();

    if (!turn.resampled) {
        if (std::fabs(perHalf - M) > kTolerance) {
            error = Format("the step of %.10g degrees does not divide a half turn (%.6g steps in 180 degrees)", s,
                           perHalf);
            return false;
        }
        turn.full = half == 0 && 2 * M <= n;
        const int h = half == 0 ? 1 : half;
        const double first = (h - 1) * M;
        if (first + M > n) {
            if (h == 1)
                error = Format("the projections span %.10g degrees, less than a half turn "
                               "(%.0f steps of the %.0f in 180 degrees)",
                               span, n - 1, M);
            else
                error = Format("the projections span %.10g degrees: there is no second half turn "
                               "(it needs %.0f projections, the scan holds %.0f)",
                               span, 2 * M, n);
            return false;
        }
        // Row m is frame first + m, or first + M - 1 - m taken in reverse;
        // its mirror lies M frames later.
        for (int m = 0; m < turn.M; ++m) {
            const int frame = static_cast<int>(first) + (turn.reversed ? turn.M - 1 - m : m);
            turn.rows[m] = Taps{Tap{frame, 1}, Tap{frame, 0}};
            if (turn.full)
                turn.mirror.push_back(Taps{Tap{frame + turn.M, 1}, Tap{frame + turn.M, 0}});
        }
        turn.first = static_cast<int>(first);
        turn.last = turn.first + (turn.full ? 2 : 1) * turn.M - 1;
        turn.ra = angles[turn.rows[0].a.frame];
        return true;
    }

    // Resampled onto the grid t_m = a + (h - 1) 180 + m 180/M of the growing
    // angles u_i = dir a_i (scan order). Sinogram row m lies at t_m, or at
    // t_{M-1-m} when the scan turns the other way (its angles are -u); its
    // mirror at 180 degrees more in u.
    std::vector<double> u(n);
    for (int i = 0; i < n; ++i)
        u[i] = dir * angles[i];
    const double grid = 180 / M;
    const double reach = kReach * s;
    const auto covered = [&](double t0) { return t0 >= u[0] - reach && t0 + (M - 1) * grid <= u[n - 1] + reach; };
    turn.full = half == 0 && covered(a + 180);
    const int h = half == 0 ? 1 : half;
    const double t0 = a + (h - 1) * 180;
    if (!covered(t0)) {
        if (h == 1)
            error = Format("the projections span %.10g degrees, less than a half turn "
                           "(%.0f steps of the %.0f in 180 degrees)",
                           span, c[n - 1], M);
        else
            error = Format("the projections span %.10g degrees: there is no second half turn "
                           "(it needs %.0f steps, the scan holds %.0f)",
                           span, 2 * M - 1, c[n - 1]);
        return false;
    }
    turn.first = n;
    turn.last = -1;
    for (int m = 0; m < turn.M; ++m) {
        const double t = t0 + (turn.reversed ? turn.M - 1 - m : m) * grid;
        turn.rows[m] = Interpolate(u, t);
        if (turn.full)
            turn.mirror.push_back(Interpolate(u, t + 180));
    }
    for (const std::vector<Taps>* list : {&turn.rows, &turn.mirror})
        for (const Taps& taps : *list)
            for (const Tap& tap : {taps.a, taps.b}) {
                turn.first = std::min(turn.first, tap.frame);
                turn.last = std::max(turn.last, tap.frame);
            }
    turn.ra = dir * (t0 + (turn.reversed ? turn.M - 1 : 0) * grid);
    return true;
}
