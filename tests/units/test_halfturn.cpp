// The choice of one half turn of evenly spaced projections from the stored
// angles of a scan.

#include "halfturn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

// n angles from `first` in steps of `step` degrees.
std::vector<double> Even(int n, double first, double step)
{
    std::vector<double> a(n);
    for (int i = 0; i < n; ++i)
        a[i] = first + i * step;
    return a;
}

struct Case {
    const char* what;
    std::vector<double> angles;
    int half;
    int first, M;        // expected frames first ... first + M - 1
    bool reversed;
    double ra;
    const char* error;   // expected start of the message, or null
};

TEST(HalfTurn, ChoosesTheFramesOrRefusesWithTheReason)
{
    std::vector<double> jittered = Even(180, 0, 1);
    jittered[17] += 0.09;             // within a tenth of a step
    std::vector<double> uneven = Even(180, 0, 1);
    uneven[42] += 0.2;
    std::vector<double> tied = Even(120, 0, 1.5);   // exact in binary: the two departures tie
    tied[7] += 0.375;
    tied[20] += 0.375;
    std::vector<double> notFinite = Even(90, 0, 2);
    notFinite[5] = std::numeric_limits<double>::quiet_NaN();
    const double pi = 3.141592653589793;
    std::vector<double> radians = Even(181, 0, pi / 180);
    for (double& a : radians)
        a *= 180 / pi;                // as the reader converts them
    const Case cases[] = {
        {"open half turn", Even(180, 0, 1), 1, 0, 180, false, 0, nullptr},
        {"end frame at 180 left out", Even(181, 0, 1), 1, 0, 180, false, 0, nullptr},
        {"start angle kept", Even(91, 30.5, 2), 1, 0, 90, false, 30.5, nullptr},
        {"full turn, first half", Even(720, 0, 0.5), 1, 0, 360, false, 0, nullptr},
        {"full turn with end, second half", Even(721, 0, 0.5), 2, 360, 360, false, 180, nullptr},
        {"falling angles taken in reverse", Even(181, 180, -1), 1, 0, 180, true, 1, nullptr},
        {"radians converted", radians, 1, 0, 180, false, 0, nullptr},
        {"jitter below a tenth of a step", jittered, 1, 0, 180, false, 0, nullptr},
        {"uneven", uneven, 1, 0, 0, false, 0,
         "the angles are not evenly spaced: projection 42 lies at 42.2 degrees, 0.2 steps"},
        {"tied, in steps of 1.5 degrees: the first named", tied, 1, 0, 0, false, 0,
         "the angles are not evenly spaced: projection 7 lies at 10.875 degrees, 0.25 steps"},
        {"less than a half turn", Even(100, 0, 1), 1, 0, 0, false, 0,
         "the projections span 99 degrees, less than a half turn (99 steps of the 180"},
        {"no second half", Even(181, 0, 1), 2, 0, 0, false, 0,
         "the projections span 180 degrees: there is no second half turn"},
        {"step not dividing 180", Even(100, 0, 1.9), 1, 0, 0, false, 0,
         "the step of 1.9 degrees does not divide a half turn"},
        {"not finite", notFinite, 1, 0, 0, false, 0, "the angle of projection 5 is not a finite number"},
        {"no turn", std::vector<double>(10, 3.0), 1, 0, 0, false, 0, "the projections do not turn"},
        {"one frame", Even(1, 0, 1), 1, 0, 0, false, 0, "at least 2 projections are needed; the scan holds 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HalfTurn turn;
        std::string error;
        const bool ok = ChooseHalfTurn(c.angles, c.half, turn, error);
        if (c.error) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error.compare(0, std::string(c.error).size(), c.error), 0) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(turn.first, c.first);
        EXPECT_EQ(turn.M, c.M);
        EXPECT_EQ(turn.reversed, c.reversed);
        EXPECT_NEAR(turn.ra, c.ra, 1e-12);
        EXPECT_EQ(FrameOfRow(turn, 0), c.reversed ? c.first + c.M - 1 : c.first);
        EXPECT_EQ(FrameOfRow(turn, c.M - 1), c.reversed ? c.first : c.first + c.M - 1);
    }
}

}  // namespace
