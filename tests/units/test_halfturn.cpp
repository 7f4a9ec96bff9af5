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
    bool resampled = false, full = false;
    int worst = -1;      // the frame that departs most from even spacing, -1: not checked
};

// Every row's taps are two neighbouring projections whose weights sum to 1
// and interpolate the angles to the row's own, ra + m 180/M (the mirror's
// 180 degrees from it): linear interpolation reproduces a linear function.
void ExpectRowsAtTheirAngles(const std::vector<double>& angles, const HalfTurn& turn)
{
    for (int m = 0; m < turn.M; ++m) {
        const double want = turn.ra + m * 180.0 / turn.M;
        for (int side = 0; side < (turn.full ? 2 : 1); ++side) {
            const Taps& t = side ? turn.mirror[m] : turn.rows[m];
            ASSERT_NEAR(t.a.weight + t.b.weight, 1, 1e-12) << m;
            EXPECT_LE(std::abs(t.b.frame - t.a.frame), 1) << m;
            const double at = t.a.weight * angles[t.a.frame] + t.b.weight * angles[t.b.frame];
            EXPECT_NEAR(side ? std::fabs(at - want) : at - want, side ? 180 : 0, 1e-9) << "row " << m;
        }
    }
}

TEST(HalfTurn, ChoosesTheFramesOrRefusesWithTheReason)
{
    std::vector<double> jittered = Even(180, 0, 1);
    jittered[17] += 0.09;             // within a tenth of a step
    std::vector<double> uneven = Even(180, 0, 1);
    uneven[42] += 0.2;
    std::vector<double> tied = Even(120, 0, 1.5);   // exact in binary: the two departures tie
    tied[7] += 0.375;
    tied[112] += 0.375;                                // as far from the middle: the fit leaves them tied
    std::vector<double> notFinite = Even(90, 0, 2);
    notFinite[5] = std::numeric_limits<double>::quiet_NaN();
    const double pi = 3.141592653589793;
    std::vector<double> radians = Even(181, 0, pi / 180);
    for (double& a : radians)
        a *= 180 / pi;                // as the reader converts them
    std::vector<double> missing = Even(181, 0, 1);
    missing.erase(missing.begin() + 50);                    // a gap of two steps
    std::vector<double> gap = missing;
    gap.erase(gap.begin() + 50);                            // three steps
    std::vector<double> jitteredShort = Even(120, 0, 1);
    jitteredShort[5] += 0.2;
    std::vector<double> backwards = Even(90, 0, 2);
    std::swap(backwards[30], backwards[31]);
    std::vector<double> encoder = Even(721, 10, 0.5);       // jitter of up to 0.3 steps
    for (size_t i = 0; i < encoder.size(); ++i)
        encoder[i] += 0.15 * std::sin(1.7 * i * i);
    const Case cases[] = {
        {"open half turn", Even(180, 0, 1), 1, 0, 180, false, 0, nullptr},
        {"end frame at 180 left out", Even(181, 0, 1), 1, 0, 180, false, 0, nullptr},
        {"start angle kept", Even(91, 30.5, 2), 1, 0, 90, false, 30.5, nullptr},
        {"full turn, first half", Even(720, 0, 0.5), 1, 0, 360, false, 0, nullptr},
        {"full turn with end, second half", Even(721, 0, 0.5), 2, 360, 360, false, 180, nullptr},
        {"falling angles taken in reverse", Even(181, 180, -1), 1, 0, 180, true, 1, nullptr},
        {"radians converted", radians, 1, 0, 180, false, 0, nullptr},
        {"jitter below a tenth of a step, resampled", jittered, 1, 0, 180, false, 0.09 / 180, nullptr, true, false,
         17},
        {"uneven, resampled", uneven, 1, 0, 180, false, 0.2 / 180, nullptr, true, false, 42},
        {"tied, in steps of 1.5 degrees: the first named", tied, 1, 0, 120, false, 0.75 / 120, nullptr, true,
         false, 7},
        {"a frame missing, resampled", missing, 1, 0, 180, false, 0, nullptr, true},
        {"a gap of three steps", gap, 1, 0, 0, false, 0,
         "a gap of 3 steps between projections 49 and 50 (49 and 52 degrees): more than two steps are missing"},
        {"not monotonic", backwards, 1, 0, 0, false, 0,
         "the angles are not monotonic: projection 31 lies at 60 degrees, after projection 30 at 62"},
        {"full turn, both halves", Even(720, 0, 0.5), 0, 0, 360, false, 0, nullptr, false, true},
        {"full turn with end, both halves", Even(721, 0, 0.5), 0, 0, 360, false, 0, nullptr, false, true},
        {"full turn falling, both halves", Even(720, 359.5, -0.5), 0, 0, 360, true, 180, nullptr, false, true},
        {"half turn, both asked: the one", Even(181, 0, 1), 0, 0, 180, false, 0, nullptr},
        {"encoder jitter over a full turn", encoder, 0, 0, 360, false, 10, nullptr, true, true},
        {"uneven, short of a half turn", jitteredShort, 0, 0, 0, false, 0,
         "the projections span 119 degrees, less than a half turn (119 steps of the 180"},
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
        EXPECT_EQ(turn.resampled, c.resampled);
        EXPECT_EQ(turn.full, c.full);
        if (c.worst >= 0) {
            EXPECT_EQ(turn.worstFrame, c.worst);
        }
        ExpectRowsAtTheirAngles(c.angles, turn);
        if (c.resampled) {
            EXPECT_NEAR(turn.ra, c.ra, 0.01);   // the fitted start
            continue;
        }
        EXPECT_NEAR(turn.ra, c.ra, 1e-12);
        EXPECT_EQ(FrameOfRow(turn, 0), c.reversed ? c.first + c.M - 1 : c.first);
        EXPECT_EQ(FrameOfRow(turn, c.M - 1), c.reversed ? c.first : c.first + c.M - 1);
        if (c.full) {   // the mirror of each row lies M frames after it
            EXPECT_EQ(turn.mirror[0].a.frame, FrameOfRow(turn, 0) + c.M);
        }
    }
}

}  // namespace
