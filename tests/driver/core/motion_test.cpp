// motion_test.cpp - the step generator on a controlled clock: frames of every
// drive, ramp timing, short moves, retargeting, the three stop sites and where
// "Motor Stopped" is noted, the ramped stop, homing and the block clamps, unit
// conversion, and the guards against bad settings and out-of-range values.
#include "motion_fixture.h"

#include <cmath>
#include <limits>

namespace {

constexpr uint8_t k2Wire = 0x01, k4Wire = 0x85, kSync = 0x2A;

Bytes StepFrame4(uint8_t ch, uint8_t p) { return {uint8_t(ch | p), uint8_t(ch | p), uint8_t(0xF0 | p)}; }

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

}   // namespace

// ---- Frames ----------------------------------------------------------------------

TEST_F(MotionTest, FourWireAndSynchronousFramesFollowThePositionPatterns)
{
    struct Case {
        uint8_t type;
        bool half;
        uint8_t address;
        int32_t from, to;
        std::vector<uint8_t> patterns;   // of the positions from+dir .. to
    };
    const Case cases[] = {
        {k4Wire, false, 1, 1, -4, {0x08, 0x01, 0x02, 0x04, 0x08}},
        {k4Wire, false, 3, 1, 2, {0x02}},
        {k4Wire, true, 2, 0, 9, {0x0C, 0x04, 0x06, 0x02, 0x03, 0x01, 0x09, 0x08, 0x0C}},
        {k4Wire, true, 7, 0, -3, {0x09, 0x01, 0x03}},
        {kSync, false, 4, 0, 5, {0x02, 0x04, 0x01, 0x08, 0x02}},
        {kSync, false, 4, 0, -2, {0x01, 0x04}},
        {0x6B, true, 5, 0, 9, {0x0A, 0x02, 0x06, 0x04, 0x05, 0x01, 0x09, 0x08, 0x0A}},
        {0xC8, false, 6, 10, 12, {0x01, 0x08}},   // block variant, same frames
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " half " << c.half << " to " << c.to);
        M(0).Position = M(0).Target = c.from;
        Configure(0, c.address, c.type, 0, 0, 0, c.half);
        S(0).TravelLength = 1000;
        ASSERT_TRUE(Move(0, c.to));
        const uint8_t ch = AddressCodeTable[c.address];
        for (size_t k = 0; k < c.patterns.size(); ++k)
            EXPECT_EQ(Tick(int(k)), StepFrame4(ch, c.patterns[k])) << "step " << k + 1;
        EXPECT_FALSE(M(0).IsRunning());
        EXPECT_EQ(M(0).Position, c.to);
        Stops();
    }
}

TEST_F(MotionTest, TwoWireSendsTheSetUpFrameThenThePulseFrames)
{
    // Positive: set-up at once, the first step MaxStepTime later.
    Configure(0, 1, k2Wire, 0, 0, 7);
    ASSERT_TRUE(Move(0, 3));
    EXPECT_EQ(Tick(0), (Bytes{0x88, 0x88, 0x88, 0x88, 0xF8}));
    EXPECT_EQ(M(0).Position, 0);
    for (int ms = 1; ms < 7; ++ms)
        EXPECT_TRUE(Tick(ms).empty()) << ms;
    const Bytes up = {0x88, 0x88, 0x88, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x88, 0x88, 0x88, 0xF8};
    EXPECT_EQ(Tick(7), up);
    EXPECT_EQ(M(0).Position, 1);
    EXPECT_EQ(Tick(8), up);
    EXPECT_EQ(Tick(9), up);
    EXPECT_EQ(M(0).Position, 3);
    EXPECT_FALSE(M(0).IsRunning());

    // Negative, on address 2 of a block type.
    Configure(0, 2, 0x42, 0, 0, 0);
    ASSERT_TRUE(Move(0, 1));
    EXPECT_EQ(Tick(20), (Bytes{0x9C, 0x9C, 0x9C, 0x9C, 0xFC}));
    EXPECT_EQ(Tick(21), (Bytes{0x9C, 0x9C, 0x9C, 0x94, 0x94, 0x94, 0x94, 0x94, 0x94, 0x9C, 0x9C, 0x9C, 0xFC}));
    EXPECT_EQ(M(0).Position, 2);
}

// ---- Ramp timing ---------------------------------------------------------------

TEST_F(MotionTest, TwentyFiveStepMoveRampsUpCruisesAndRampsDownOnTheTickGrid)
{
    Configure(0, 1, k4Wire, 10, 5, 20, false, true);
    ASSERT_TRUE(Move(0, 25));
    const Trace t = Run(0, 0);
    ASSERT_EQ(t.stepTicks.size(), 25u);
    EXPECT_EQ(t.stepTicks.front(), 0);
    // 50/k ms after the k-th accelerating step, 5 ms cruising, then the mirror,
    // each rounded up to the next whole millisecond.
    const std::vector<int> expected = {50, 25, 17, 13, 10, 9, 8, 7,  6,  5,  5,  5,
                                       5,  5,  5,  6,  7,  8, 9, 10, 13, 17, 25, 50};
    EXPECT_EQ(Intervals(t.stepTicks), expected);
    // It stops in the tick of the 25th step, whose frame goes out before the
    // automatic release.
    EXPECT_EQ(t.stopTicks, std::vector<int>{t.stepTicks.back()});
    EXPECT_EQ(t.lastTick, Concat({StepFrame4(0x80, 0x04), {0x80, 0xF0}}));
    EXPECT_EQ(M(0).Position, 25);
    EXPECT_EQ(M(0).RampState, RampPhase::Rest);
    EXPECT_EQ(M(0).NextStepTime, 0.0);
}

TEST_F(MotionTest, TwoWireRampStartsAfterTheSetUpWait)
{
    Configure(0, 1, k2Wire, 10, 5, 20);
    ASSERT_TRUE(Move(0, 3));
    const Trace t = Run(0, 0);
    EXPECT_EQ(t.stepTicks, (std::vector<int>{20, 70, 120}));
    EXPECT_EQ(t.stopTicks, std::vector<int>{120});
}

// ---- Short moves ------------------------------------------------------------------

TEST_F(MotionTest, ShortMovesTurnToDecelerationEarly)
{
    struct Case {
        int8_t accel;
        int32_t distance;
        std::vector<int> intervals;
        int stopAfterLastStep;   // ms from the last step to the stop note
        bool releaseFrame;       // the stop tick carries the release frame
        bool stepInStopTick;     // the stop tick carries a step frame
    };
    const Case cases[] = {
        // One step, A = 10: stops when the next step would fall due (site A).
        {10, 1, {}, 50, true, false},
        // One step, A = 0: stops in the tick of its step (site B), no release.
        {0, 1, {}, 0, false, true},
        // Five steps, A = 10: 50, 25, then down with the steps left.
        {10, 5, {50, 25, 25, 50}, 0, true, true},
        // Two steps, A = 10: the second still accelerates (wait 50 / 2); the
        // motor stops when the next step would fall due (site A).
        {10, 2, {50}, 25, true, false},
        // No ramp: one step per tick, ending at the target like a ramp.
        {0, 2, {1}, 0, true, true},
        {0, 4, {1, 1, 1}, 0, true, true},
    };
    int ms = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "A " << int(c.accel) << " distance " << c.distance);
        Configure(0, 1, k4Wire, c.accel, 5, 20, false, true);
        const int32_t start = M(0).Position;
        ASSERT_TRUE(Move(0, start + c.distance));
        const Trace t = Run(0, ms);
        ASSERT_EQ(t.stepTicks.size(), size_t(c.distance));
        EXPECT_EQ(Intervals(t.stepTicks), c.intervals);
        ASSERT_EQ(t.stopTicks.size(), 1u);
        EXPECT_EQ(t.stopTicks[0] - t.stepTicks.back(), c.stopAfterLastStep);
        const bool hasRelease = t.lastTick.size() >= 2 && t.lastTick[t.lastTick.size() - 2] == 0x80 &&
                                t.lastTick.back() == 0xF0;
        EXPECT_EQ(hasRelease, c.releaseFrame);
        EXPECT_EQ(t.lastTick.size(), (c.stepInStopTick ? 3u : 0u) + (c.releaseFrame ? 2u : 0u));
        EXPECT_EQ(M(0).Position, start + c.distance);
        ms = t.end + 100;
    }
}

// ---- Retargeting --------------------------------------------------------------------

class RetargetTest : public MotionTest {
protected:
    // A 4-wire motor with A = 10, 5 ms cruise, 20 ms long wait, moving from 0
    // towards `target` and ticked until it reached `position`. Returns the
    // tick after that.
    int RunTo(int32_t target, int32_t position, bool autoRelease = false)
    {
        Configure(0, 1, k4Wire, 10, 5, 20, false, autoRelease);
        EXPECT_TRUE(Move(0, target));
        int ms = 0;
        while (M(0).Position != position && ms < 100000)
            Tick(ms++);
        lastStep = ms - 1;
        EXPECT_TRUE(Stops().empty());
        return ms;
    }
    int lastStep = 0;
};

TEST_F(RetargetTest, FurtherAheadWhileDeceleratingAcceleratesAgain)
{
    const int ms = RunTo(25, 17);   // decelerating, RampCounter 8
    ASSERT_EQ(M(0).RampState, RampPhase::Decelerate);
    ASSERT_TRUE(Move(0, 40));
    EXPECT_TRUE(Stops().empty());
    Trace t = Run(0, ms);
    t.stepTicks.insert(t.stepTicks.begin(), lastStep);
    const std::vector<int> d = Intervals(t.stepTicks);
    ASSERT_GE(d.size(), 5u);
    // 17 -> 18 keeps its wait; after 18 the ramp turns to accelerating with
    // RampCounter = 10 - 7 = 3 and waits 3 x 20 + 5 ms; then 50/8, 50/9, cruise.
    EXPECT_EQ((std::vector<int>(d.begin(), d.begin() + 5)), (std::vector<int>{7, 65, 7, 6, 5}));
    EXPECT_EQ(M(0).Position, 40);
    EXPECT_EQ(t.stopTicks.size(), 1u);
    EXPECT_EQ(t.stopTicks[0], t.stepTicks.back());
}

TEST_F(RetargetTest, NearerWhileCruisingShortensTheRampDown)
{
    const int ms = RunTo(100, 12);
    ASSERT_EQ(M(0).RampState, RampPhase::Cruise);
    ASSERT_TRUE(Move(0, 16));
    Trace t = Run(0, ms);
    t.stepTicks.insert(t.stepTicks.begin(), lastStep);
    EXPECT_EQ(Intervals(t.stepTicks), (std::vector<int>{5, 5, 25, 50}));
    EXPECT_EQ(M(0).Position, 16);
    EXPECT_EQ(t.stopTicks, std::vector<int>{t.stepTicks.back()});
}

TEST_F(RetargetTest, OneStepAheadWhileCruisingStopsAtSiteBWithoutRelease)
{
    const int ms = RunTo(100, 12, true);
    ASSERT_TRUE(Move(0, 13));
    const Trace t = Run(0, ms);
    EXPECT_EQ(M(0).Position, 13);
    ASSERT_EQ(t.stopTicks.size(), 1u);
    EXPECT_EQ(t.stopTicks[0], t.stepTicks.back());
    EXPECT_EQ(t.lastTick, StepFrame4(0x80, 0x04));   // step frame, no release
    EXPECT_EQ(M(0).RampState, RampPhase::Cruise);    // site B keeps the state
}

TEST_F(RetargetTest, BehindWhileCruisingDeceleratesAwayThenReverses)
{
    const int ms = RunTo(100, 12);
    ASSERT_TRUE(Move(0, 0));
    EXPECT_EQ(M(0).RampState, RampPhase::Decelerate);
    EXPECT_EQ(M(0).RampCounter, 10u);
    EXPECT_TRUE(Stops().empty());
    const Trace t = Run(0, ms);
    // Ten more steps away (A), the last one waiting 50 ms, then the first step
    // back one ramp time (A x Tmin = 50 ms) after the last step away.
    EXPECT_EQ(t.maxPosition, 22);
    ASSERT_GE(t.positions.size(), 12u);
    EXPECT_EQ(t.positions[9], 22);
    EXPECT_EQ(t.positions[10], 21);
    EXPECT_EQ(t.stepTicks[10] - t.stepTicks[9], 50);
    EXPECT_EQ(t.stepTicks[11] - t.stepTicks[10], 50);   // the new ramp's first wait
    EXPECT_EQ(M(0).Position, 0);
    EXPECT_EQ(t.stopTicks, std::vector<int>{t.stepTicks.back()});
    EXPECT_LE(t.maxCounter, 10u);
}

TEST_F(RetargetTest, BehindWhileAcceleratingOrDeceleratingRunsOutTheRampThenReverses)
{
    struct Case {
        int32_t target;               // of the first move
        int32_t at;                   // position where the new target is given
        RampPhase state;              // ramp state there
        int32_t farthest;             // where the motor turns
        std::vector<int> intervals;   // from the step onto `at` to the first step back
    };
    const Case cases[] = {
        // Accelerating, 3 steps made: 7 left in the counter, each waiting
        // 50 / counter ms, then the new ramp's first wait (50 ms).
        {100, 3, RampPhase::Accelerate, 10, {17, 9, 10, 13, 17, 25, 50, 50}},
        // Decelerating towards 25 with 8 left: the same ramp runs out away
        // from the new target.
        {25, 17, RampPhase::Decelerate, 25, {7, 8, 9, 10, 13, 17, 25, 50, 50}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.at);
        M(0).Position = M(0).Target = 0;
        const int ms = RunTo(c.target, c.at);
        ASSERT_EQ(M(0).RampState, c.state);
        ASSERT_TRUE(Move(0, 0));
        Trace t = Run(0, ms);
        t.stepTicks.insert(t.stepTicks.begin(), lastStep);
        EXPECT_EQ(t.maxPosition, c.farthest);
        std::vector<int> d = Intervals(t.stepTicks);
        ASSERT_GE(d.size(), c.intervals.size());
        d.resize(c.intervals.size());
        EXPECT_EQ(d, c.intervals);
        EXPECT_EQ(M(0).Position, 0);
        EXPECT_EQ(t.stopTicks, std::vector<int>{t.stepTicks.back()});
        EXPECT_LE(t.maxCounter, 10u);
    }
}

TEST_F(RetargetTest, TwoWireReversalSendsANewSetUpFrame)
{
    Configure(0, 2, k2Wire, 2, 5, 20);
    ASSERT_TRUE(Move(0, 100));
    int ms = 0;
    while (M(0).Position != 5)
        Tick(ms++);
    ASSERT_TRUE(Move(0, 0));
    // Two more steps away, then the set-up frame of the negative direction
    // one ramp time (2 x 5 ms) later, the first step back 20 ms after it.
    std::vector<std::pair<int, Bytes>> frames;
    for (; frames.size() < 4 && ms < 10000; ++ms) {
        Bytes out = Tick(ms);
        if (!out.empty())
            frames.emplace_back(ms, out);
    }
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].second.size(), 13u);
    EXPECT_EQ(frames[1].second.size(), 13u);
    EXPECT_EQ(frames[1].second.back(), 0xF8);
    EXPECT_EQ(frames[2].second, (Bytes{0x9C, 0x9C, 0x9C, 0x9C, 0xFC}));
    EXPECT_EQ(frames[2].first - frames[1].first, 10);
    EXPECT_EQ(frames[3].second.back(), 0xFC);
    EXPECT_EQ(frames[3].first - frames[2].first, 20);
    EXPECT_EQ(M(0).Position, 6);
}

TEST_F(RetargetTest, AtThePositionStopsAtTheNextDueStepWithoutAStep)
{
    const int ms = RunTo(100, 12, true);
    ASSERT_TRUE(Move(0, 12));
    const Trace t = Run(0, ms);
    EXPECT_TRUE(t.stepTicks.empty());
    EXPECT_EQ(M(0).Position, 12);
    EXPECT_EQ(t.stopTicks, std::vector<int>{lastStep + 5});   // when the next step fell due
    EXPECT_EQ(t.lastTick, (Bytes{0x80, 0xF0}));               // site A releases
    EXPECT_EQ(M(0).RampState, RampPhase::Rest);
}

TEST_F(RetargetTest, SameTargetIsNotedAtOnceAndAgainAtTheEnd)
{
    const int ms = RunTo(25, 3);
    ASSERT_TRUE(Move(0, 25));
    EXPECT_EQ(Stops(), std::vector<int>{0});
    EXPECT_TRUE(M(0).IsRunning());
    const Trace t = Run(0, ms);
    EXPECT_EQ(M(0).Position, 25);
    EXPECT_EQ(t.stopTicks.size(), 1u);
}

// ---- MoveTo ---------------------------------------------------------------------------

TEST_F(MotionTest, MoveToFromRest)
{
    Configure(0, 1, k4Wire, 4, 5, 20);

    // Target already set: noted at once, true, nothing moves.
    M(0).Position = M(0).Target = 100;
    EXPECT_TRUE(Move(0, 100));
    EXPECT_EQ(Stops(), std::vector<int>{0});
    EXPECT_FALSE(M(0).IsRunning());

    // To the current position with another target: true, nothing noted, at rest.
    M(0).Target = 50;
    EXPECT_TRUE(Move(0, 100));
    EXPECT_TRUE(Stops().empty());
    EXPECT_FALSE(M(0).IsRunning());
    EXPECT_EQ(M(0).RampState, RampPhase::Accelerate);
    EXPECT_EQ(M(0).Target, 100);
    EXPECT_TRUE(Tick(0).empty());

    // The zero offset is added; the start takes the settings of the slot.
    M(0).ZeroOffset = 10;
    EXPECT_TRUE(Move(0, 5, true));
    EXPECT_EQ(M(0).Target, 15);
    EXPECT_EQ(M(0).Destination, 15);
    EXPECT_EQ(M(0).Direction.load(), -1);
    EXPECT_EQ(M(0).RampCounter, 4u);
    EXPECT_DOUBLE_EQ(M(0).RampTime, 0.020);
    EXPECT_DOUBLE_EQ(M(0).MinStepTime, 0.005);
    EXPECT_DOUBLE_EQ(M(0).MaxStepTime, 0.020);
    EXPECT_EQ(M(0).FirstStep, 1);
    EXPECT_EQ(M(0).ChannelBits, 0x80);
    EXPECT_TRUE(b.HoldStart);
    // A retarget leaves the hold alone; only a start from rest sets it.
    EXPECT_TRUE(Move(0, 0, false));
    EXPECT_TRUE(b.HoldStart);
    EXPECT_EQ(M(0).Target, 10);
    b.HoldStart = false;
    Run(0, 10);
    EXPECT_EQ(M(0).Position, 10);
    b.HoldStart = true;
    EXPECT_TRUE(Move(0, 3, false));
    EXPECT_FALSE(b.HoldStart);
}

TEST_F(MotionTest, NothingHappensBeforeTheStepFallsDue)
{
    Configure(0, 1, k4Wire, 10, 5, 20);
    ASSERT_TRUE(Move(0, 50));
    EXPECT_FALSE(Tick(0).empty());
    for (int ms = 1; ms < 50; ++ms)
        ASSERT_TRUE(Tick(ms).empty()) << ms;
    EXPECT_FALSE(Tick(50).empty());
    // At rest a tick only resets the due time.
    M(0).Direction.store(0);
    M(0).NextStepTime = 0.2;
    Tick(300);
    EXPECT_EQ(M(0).NextStepTime, 0.0);
}

// ---- Stop -----------------------------------------------------------------------------

TEST_F(RetargetTest, StopOfACruisingMotorMakesExactlyARampMoreSteps)
{
    const int ms = RunTo(100, 12);
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    EXPECT_EQ(M(0).Target, 22);
    EXPECT_EQ(M(0).Destination, 100);   // the destination is not changed
    const Trace t = Run(0, ms);
    EXPECT_EQ(t.stepTicks.size(), 10u);
    EXPECT_EQ(M(0).Position, 22);
    EXPECT_EQ(t.stopTicks, std::vector<int>{t.stepTicks.back()});
}

TEST_F(MotionTest, StopLeavesDeceleratingAndRestingMotorsAlone)
{
    Configure(0, 1, k4Wire, 10, 5, 20);
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();   // at rest
    }
    EXPECT_EQ(M(0).Target, 0);
    ASSERT_TRUE(Move(0, 25));
    int ms = 0;
    while (M(0).Position != 18)
        Tick(ms++);
    ASSERT_EQ(M(0).RampState, RampPhase::Decelerate);
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    EXPECT_EQ(M(0).Target, 25);
    // Accelerating: it may still speed up, and stops A steps on.
    const Trace rest = Run(0, ms);
    ASSERT_EQ(rest.stopTicks.size(), 1u);
    ms = rest.end;
    ASSERT_TRUE(Move(0, 100));
    while (M(0).Position != 28)
        Tick(ms++);
    ASSERT_EQ(M(0).RampState, RampPhase::Accelerate);
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    EXPECT_EQ(M(0).Target, 38);
    Run(0, ms);
    EXPECT_EQ(M(0).Position, 38);
}

TEST_F(RetargetTest, StopWhileDeceleratingForANewTargetRestsWhereTheDecelerationEnds)
{
    // Each case: a first move, the position where a new target is given, the
    // new target, then Stop. The motor makes the steps left in its ramp (the
    // waits of a deceleration) and rests there: no reversal, no new
    // acceleration, one "Motor Stopped".
    struct Case {
        const char *what;
        int32_t first, at, next;
        int32_t rest;                 // where it comes to rest
        std::vector<int> intervals;   // from the step onto `at`
    };
    const Case cases[] = {
        {"cruising, target far behind", 100, 30, -20000, 40, {5, 6, 7, 8, 9, 10, 13, 17, 25, 50}},
        {"accelerating, target behind", 100, 3, 0, 10, {17, 9, 10, 13, 17, 25, 50}},
        {"decelerating, target behind", 25, 17, 0, 25, {7, 8, 9, 10, 13, 17, 25, 50}},
        {"decelerating, target further on", 25, 17, 400, 25, {7, 8, 9, 10, 13, 17, 25, 50}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        M(0).Position = M(0).Target = 0;
        const int ms = RunTo(c.first, c.at, true);
        ASSERT_TRUE(Move(0, c.next));
        {
            std::lock_guard lock(b.Lock);
            M(0).Stop();
            M(0).Stop();   // a second stop changes nothing
        }
        EXPECT_EQ(M(0).Target, c.rest);
        EXPECT_EQ(M(0).Destination, c.next);   // the destination is not changed
        Trace t = Run(0, ms, 5000);
        t.stepTicks.insert(t.stepTicks.begin(), lastStep);
        EXPECT_FALSE(M(0).IsRunning());
        EXPECT_EQ(M(0).Position, c.rest);
        EXPECT_EQ(t.minPosition, c.at);   // never back past where the new target came
        EXPECT_EQ(Intervals(t.stepTicks), c.intervals);
        // Stop site C: in the tick of the last step, with the release.
        EXPECT_EQ(t.stopTicks, std::vector<int>{t.stepTicks.back()});
        EXPECT_EQ(t.lastTick.size(), 5u);
    }

    // No ramp: a target behind turns the motor at its next due step; a stop
    // before that leaves it where it is.
    Configure(0, 1, k4Wire, 0, 5, 20, false, true);
    M(0).Position = M(0).Target = 0;
    ASSERT_TRUE(Move(0, 100));
    for (int ms = 0; ms < 5; ++ms)
        Tick(ms);
    ASSERT_TRUE(Move(0, -100));
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    const Trace t = Run(0, 5, 100);
    EXPECT_TRUE(t.stepTicks.empty());
    EXPECT_EQ(M(0).Position, 5);
    EXPECT_EQ(t.stopTicks, std::vector<int>{5});
}

TEST_F(MotionTest, StopWithoutRampStopsAtTheNextDueStep)
{
    Configure(0, 1, k4Wire, 0, 5, 20);
    ASSERT_TRUE(Move(0, 100));
    Tick(0);
    Tick(1);
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    const Trace t = Run(0, 2);
    EXPECT_TRUE(t.stepTicks.empty());
    EXPECT_EQ(M(0).Position, 2);
    EXPECT_EQ(t.stopTicks, std::vector<int>{2});
}

// ---- Homing and the block clamps -------------------------------------------------------

TEST_F(MotionTest, HomingRunsPastTheEndStopAndClampsToTheZero)
{
    struct Case {
        int32_t zeroOffset;
        int32_t expectTarget;   // absolute
        int32_t expectEnd;
    };
    const Case cases[] = {{0, -1000, 0}, {50, -950, -50}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.zeroOffset);
        Configure(0, 1, 0xC5, 3, 1, 1);
        S(0).TravelLength = 1000;
        M(0).Position = M(0).Target = M(0).Destination = 100;
        M(0).ZeroOffset = c.zeroOffset;
        {
            std::lock_guard lock(b.Lock);
            M(0).Initialize();
        }
        EXPECT_EQ(M(0).Target, c.expectTarget);
        EXPECT_TRUE(M(0).IsRunning());
        const Trace t = Run(0, 0);
        // 1.1 x TravelLength steps down; the clamp acts in the tick of the last.
        EXPECT_EQ(t.stepTicks.size(), size_t(100 - c.expectTarget));
        ASSERT_GE(t.positions.size(), 2u);
        EXPECT_EQ(t.positions[t.positions.size() - 2], c.expectTarget + 1);
        EXPECT_EQ(M(0).Position, c.expectEnd);
        EXPECT_EQ(M(0).Target, c.expectEnd);
        EXPECT_EQ(M(0).Destination, c.expectEnd);
        EXPECT_EQ(t.stopTicks.size(), 1u);
    }
}

TEST_F(MotionTest, BlockTypesAreClampedAtTheTravelLength)
{
    for (uint8_t type : {uint8_t(0xC5), uint8_t(0x85)}) {
        SCOPED_TRACE(int(type));
        Configure(0, 1, type, 0);
        S(0).TravelLength = 1000;
        M(0).Position = M(0).Target = 1190;
        ASSERT_TRUE(Move(0, 1200));
        Run(0, 0);
        const int32_t expect = type == 0xC5 ? 1000 : 1200;
        EXPECT_EQ(M(0).Position, expect);
        EXPECT_EQ(M(0).Target, expect);
        EXPECT_EQ(M(0).Destination, 1200);
    }
}

TEST_F(MotionTest, InitializeOfOtherTypesDoesNothing)
{
    for (uint8_t type : {uint8_t(0x01), uint8_t(0x85), uint8_t(0x2A), uint8_t(0x00)}) {
        Configure(0, 1, type, 0);
        S(0).TravelLength = 1000;
        M(0).Position = M(0).Target = 100;
        {
            std::lock_guard lock(b.Lock);
            M(0).Initialize();
        }
        EXPECT_EQ(M(0).Target, 100) << int(type);
        EXPECT_FALSE(M(0).IsRunning());
        EXPECT_TRUE(Stops().empty());
    }
}

// ---- Unit conversion -------------------------------------------------------------------

TEST_F(MotionTest, UnitsToStepsRoundsHalfAwayFromZeroAndNeverOverflows)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        float coefficient;
        double units;
        int32_t steps;
        bool fits;
    };
    const Case cases[] = {
        {1.0f, 2.5, 3, true},
        {1.0f, -2.5, -3, true},
        {1.0f, 0.49, 0, true},
        {1.0f, -0.5, -1, true},
        {1.0f, 0.0, 0, true},
        {200.0f, 1.25, 250, true},
        {0.5f, -3.0, -2, true},
        {0.0f, 123.4, 0, true},
        {1.0f, 2147483647.0, INT32_MAX, true},
        {1.0f, -2147483648.0, INT32_MIN, true},
        {1.0f, 2147483647.5, INT32_MAX, false},
        {1.0f, 1e12, INT32_MAX, false},
        {1.0f, -1e12, INT32_MIN, false},
        {1.0f, inf, 0, false},
        {1.0f, -inf, 0, false},
        {1.0f, nan, 0, false},
        {0.0f, inf, 0, false},
        {std::numeric_limits<float>::quiet_NaN(), 5.0, 0, false},
        {std::numeric_limits<float>::infinity(), 5.0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.coefficient << " x " << c.units);
        S(0).Coefficient = c.coefficient;
        EXPECT_EQ(M(0).UnitsToSteps(c.units), c.steps);
        int32_t steps = 77;
        EXPECT_EQ(M(0).UnitsToStepsChecked(c.units, &steps), c.fits);
        EXPECT_EQ(steps, c.fits ? c.steps : 77);
    }
}

TEST_F(MotionTest, StepsToUnitsDividesByTheCoefficient)
{
    S(0).Coefficient = 4.0f;
    EXPECT_DOUBLE_EQ(M(0).StepsToUnits(10), 2.5);
    EXPECT_DOUBLE_EQ(M(0).StepsToUnits(INT32_MIN), INT32_MIN / 4.0);
    for (float c : {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        S(0).Coefficient = c;
        EXPECT_EQ(M(0).StepsToUnits(12345), 0.0);
    }
}

// ---- Bad settings and out-of-range values -------------------------------------------------

TEST_F(MotionTest, NegativeRampLengthIsTakenAsNoRamp)
{
    for (int8_t accel : {int8_t(-1), int8_t(-128)}) {
        SCOPED_TRACE(int(accel));
        Configure(0, 1, k4Wire, accel, 5, 20);
        EXPECT_EQ(M(0).AccelLength(), 0u);
        const int32_t start = M(0).Position;
        ASSERT_TRUE(Move(0, start + 3));
        const Trace t = Run(0, 0, 100);
        EXPECT_FALSE(M(0).IsRunning());
        EXPECT_EQ(t.stepTicks, (std::vector<int>{0, 1, 2}));
        EXPECT_EQ(S(0).AccelLength, accel);   // the stored byte stays
    }
    S(0).AccelLength = 127;
    EXPECT_EQ(M(0).AccelLength(), 127u);
}

TEST_F(MotionTest, WithoutRampATargetBehindTurnsTheMotorAtOnce)
{
    Configure(0, 1, k4Wire, 0, 5, 20);
    ASSERT_TRUE(Move(0, 100));
    for (int ms = 0; ms < 5; ++ms)
        Tick(ms);
    ASSERT_EQ(M(0).Position, 5);
    ASSERT_TRUE(Move(0, 0));
    EXPECT_TRUE(Tick(5).empty());   // no further step away
    EXPECT_EQ(M(0).Direction.load(), -1);
    const Trace t = Run(0, 6, 1000);
    EXPECT_EQ(t.positions, (std::vector<int32_t>{4, 3, 2, 1, 0}));
    EXPECT_EQ(t.stepTicks.front(), 6);
    EXPECT_EQ(M(0).Position, 0);
    EXPECT_FALSE(M(0).IsRunning());
    EXPECT_LE(t.maxCounter, 100u);
    EXPECT_EQ(t.stopTicks.size(), 1u);
}

TEST_F(MotionTest, AMoveKeepsTheRampLengthItStartedWith)
{
    // A = 10, 5 ms cruise, 25 steps; AccelLength changed after step `at`.
    // The step times stay those of the unchanged ramp; a stop after the change
    // makes the ramp's 10 steps.
    const std::vector<int> unchanged = {50, 25, 17, 13, 10, 9, 8, 7,  6,  5,  5,  5,
                                        5,  5,  5,  6,  7,  8, 9, 10, 13, 17, 25, 50};
    struct Case {
        int at;      // steps made before the change
        int8_t to;   // new AccelLength
    };
    const Case cases[] = {{4, 20}, {4, 127}, {4, 0}, {4, -1}, {12, 127}, {18, 2}, {18, 0}, {18, 100}};
    int ms = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "after step " << c.at << " A -> " << int(c.to));
        Configure(0, 1, k4Wire, 10, 5, 20);
        M(0).Position = M(0).Target = 0;
        ASSERT_TRUE(Move(0, 25));
        std::vector<int> steps;
        for (; M(0).Position < c.at; ++ms) {
            const int32_t before = M(0).Position;
            Tick(ms);
            if (M(0).Position != before)
                steps.push_back(ms);
        }
        S(0).AccelLength = c.to;
        const Trace t = Run(0, ms);
        steps.insert(steps.end(), t.stepTicks.begin(), t.stepTicks.end());
        EXPECT_EQ(Intervals(steps), unchanged);
        EXPECT_EQ(M(0).Position, 25);
        EXPECT_EQ(t.stopTicks, std::vector<int>{steps.back()});
        ms = t.end + 100;
    }

    // Stop after raising A mid-cruise: the 10 steps of the move's ramp.
    Configure(0, 1, k4Wire, 10, 5, 20);
    M(0).Position = M(0).Target = 0;
    ASSERT_TRUE(Move(0, 1000));
    while (M(0).Position < 30)
        Tick(ms++);
    S(0).AccelLength = 100;
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    EXPECT_EQ(M(0).Target, 40);
    const Trace t = Run(0, ms);
    EXPECT_EQ(M(0).Position, 40);
    for (int d : Intervals(t.stepTicks))
        EXPECT_GE(d, 5);
    // The next move from rest takes the new length.
    ASSERT_TRUE(Move(0, 0));
    EXPECT_EQ(M(0).RampCounter, 100u);
    EXPECT_DOUBLE_EQ(M(0).RampTime, 0.5);
}

TEST_F(MotionTest, ChangesOfRampOrTargetNeverGiveEndlessRunsOrWaits)
{
    // No ramp, retargeted further ahead when the move was nearly done: it
    // carries on one step per tick (no wait of a wrapped counter x 1 s).
    Configure(0, 1, k4Wire, 0, 5, 1000);
    ASSERT_TRUE(Move(0, 3));
    Tick(0);
    Tick(1);
    ASSERT_TRUE(Move(0, 10));
    Trace t = Run(0, 2, 50);
    EXPECT_EQ(M(0).Position, 10);
    EXPECT_EQ(t.end, 10);

    // The ramp length changed during a move, either way.
    for (auto [before, after] : {std::pair<int8_t, int8_t>{10, 2}, {0, 10}, {10, 0}, {3, 100}}) {
        SCOPED_TRACE(testing::Message() << int(before) << " -> " << int(after));
        M(0).Position = M(0).Target = 0;
        Configure(0, 1, k4Wire, before, 5, 20);
        ASSERT_TRUE(Move(0, 60));
        int ms = 0;
        while (M(0).Position < 12)
            Tick(ms++);
        S(0).AccelLength = after;
        ASSERT_TRUE(Move(0, 40));
        t = Run(0, ms, 20000);
        EXPECT_FALSE(M(0).IsRunning());
        EXPECT_EQ(M(0).Position, 40);
        EXPECT_LE(t.maxCounter, 127u);
        // And back behind the motor.
        M(0).Position = M(0).Target = 0;
        S(0).AccelLength = before;
        ASSERT_TRUE(Move(0, 60));
        ms = 0;
        while (M(0).Position < 12)
            Tick(ms++);
        S(0).AccelLength = after;
        ASSERT_TRUE(Move(0, 0));
        t = Run(0, ms, 20000);
        EXPECT_FALSE(M(0).IsRunning());
        EXPECT_EQ(M(0).Position, 0);
        EXPECT_LE(t.maxCounter, 127u);
    }
}

TEST_F(MotionTest, SlotsWithoutUsableChannelRefuseToStartAndStayRefused)
{
    for (uint8_t address : {uint8_t(0), uint8_t(8), uint8_t(9), uint8_t(200)}) {
        SCOPED_TRACE(int(address));
        Configure(0, address, k4Wire, 0);
        M(0).Position = 5;
        M(0).Target = 5;
        M(0).Destination = 7;
        for (int call = 0; call < 2; ++call) {
            EXPECT_FALSE(Move(0, 10));
            EXPECT_EQ(M(0).Target, 5);
            EXPECT_EQ(M(0).Destination, 7);
            EXPECT_FALSE(M(0).IsRunning());
            EXPECT_TRUE(Stops().empty());
        }
        std::lock_guard lock(b.Lock);
        b.ClearOutput();
        b.AppendReleaseFrame(0);
        EXPECT_EQ(Bytes(b.OutBuffer, b.OutBuffer + b.OutLength), (Bytes{0xFF, 0xF0}));
    }
    // Every usable address has its channel in the frames and the release.
    for (uint8_t address = 1; address <= 7; ++address) {
        Configure(0, address, k4Wire, 0, 0, 0, false, true);
        M(0).Position = M(0).Target = 0;
        ASSERT_TRUE(Move(0, 1));
        const uint8_t ch = uint8_t(0x80 + 0x10 * (address - 1));
        EXPECT_EQ(Tick(0), StepFrame4(ch, 0x04));
        std::lock_guard lock(b.Lock);
        b.ClearOutput();
        b.AppendReleaseFrame(0);
        EXPECT_EQ(Bytes(b.OutBuffer, b.OutBuffer + b.OutLength), (Bytes{ch, 0xF0}));
    }
    Stops();
}

TEST_F(MotionTest, TargetsOutsideThe32BitRangeAreRefused)
{
    Configure(0, 1, k4Wire, 10, 1, 1);
    M(0).ZeroOffset = INT32_MAX - 5;
    M(0).Target = M(0).Destination = 3;
    EXPECT_FALSE(Move(0, 10));
    EXPECT_EQ(M(0).Target, 3);
    EXPECT_EQ(M(0).Destination, 3);
    EXPECT_FALSE(M(0).IsRunning());
    M(0).ZeroOffset = -10;
    EXPECT_FALSE(Move(0, INT32_MIN));
    EXPECT_EQ(M(0).Target, 3);
    EXPECT_TRUE(Stops().empty());
}

TEST_F(MotionTest, NoArithmeticLeavesThe32BitRange)
{
    // A stop near the top of the range saturates its target.
    Configure(0, 1, k4Wire, 10, 1, 1);
    M(0).Position = M(0).Target = INT32_MAX - 3;
    ASSERT_TRUE(Move(0, INT32_MAX - 1));
    Tick(0);
    ASSERT_EQ(M(0).RampState, RampPhase::Accelerate);
    {
        std::lock_guard lock(b.Lock);
        M(0).Stop();
    }
    EXPECT_EQ(M(0).Target, INT32_MAX);
    Trace t = Run(0, 1);
    EXPECT_EQ(M(0).Position, INT32_MAX);

    // Decelerating away from a target behind, at the end of the range: it
    // turns there instead of stepping past it.
    M(0).Position = M(0).Target = INT32_MAX - 2;
    ASSERT_TRUE(Move(0, INT32_MAX));
    Tick(10000);
    ASSERT_TRUE(Move(0, INT32_MAX - 10));
    t = Run(0, 10001);
    EXPECT_EQ(t.maxPosition, INT32_MAX);
    EXPECT_EQ(M(0).Position, INT32_MAX - 10);
    EXPECT_FALSE(M(0).IsRunning());

    // Homing from the bottom of the range saturates the homing target.
    Configure(0, 1, 0xC5, 0);
    S(0).TravelLength = INT32_MAX;
    M(0).Position = M(0).Target = INT32_MIN + 5;
    {
        std::lock_guard lock(b.Lock);
        M(0).Initialize();
    }
    EXPECT_EQ(M(0).Target, INT32_MIN);
    Run(0, 30000);
    EXPECT_EQ(M(0).Position, 0);   // clamped to -ZeroOffset

    // The block clamp of a zero offset at the bottom of the range.
    M(0).ZeroOffset = INT32_MIN;
    M(0).Position = M(0).Target = 0;
    ASSERT_TRUE(Move(0, -5 - INT32_MIN));   // absolute -5
    Run(0, 40000);
    EXPECT_EQ(M(0).Position, INT32_MAX);
    EXPECT_EQ(M(0).Destination, INT32_MAX);
}

// ---- Two motors in one tick ---------------------------------------------------------------

TEST_F(MotionTest, StepAndReleaseFramesOfTwoMotorsShareTheTick)
{
    // Motor 0 steps every tick; motor 1 stops at site A at 50 ms with release.
    Configure(0, 1, k4Wire, 0);
    Configure(1, 2, k4Wire, 10, 5, 20, false, true);
    ASSERT_TRUE(Move(0, 100));
    ASSERT_TRUE(Move(1, 1));
    for (int ms = 0; ms < 50; ++ms)
        Tick(ms);
    EXPECT_TRUE(Stops().empty());
    EXPECT_EQ(Tick(50), Concat({StepFrame4(0x80, 0x01), {0x90, 0xF0}}));   // motor 0 at 51
    EXPECT_EQ(Stops(), std::vector<int>{1});

    // Motor 0 takes its last step with release in the tick where motor 1 steps:
    // step, release, then the other motor's step.
    M(0).Direction.store(0);
    M(0).Position = M(0).Target = 0;
    Configure(0, 1, k4Wire, 0, 0, 0, false, true);
    Configure(1, 2, k4Wire, 0);
    M(1).Position = M(1).Target = 0;
    ASSERT_TRUE(Move(0, 2));
    ASSERT_TRUE(Move(1, 100));
    Tick(100);
    EXPECT_EQ(Tick(101), Concat({StepFrame4(0x80, 0x02), {0x80, 0xF0}, StepFrame4(0x90, 0x02)}));
    EXPECT_EQ(Stops(), std::vector<int>{0});
}
