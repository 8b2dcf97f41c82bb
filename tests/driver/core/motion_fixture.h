// motion_fixture.h - a board record whose motors are ticked by hand on a
// controlled clock (whole milliseconds), with the frames and the "Motor
// Stopped" notes of every tick collected. No tick thread, no device.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <vector>

#include "hardware.h"
#include "motor.h"

using Bytes = std::vector<uint8_t>;

class MotionTest : public ::testing::Test {
protected:
    USBDriver b{"TRUV-kq4", "T1"};
    unsigned motors = 1;   // motors 0..motors-1 are ticked

    SMotorSettings &S(int i) { return b.Settings.MotorSettings[i]; }
    SMotor &M(int i) { return b.Motors[i]; }

    // A configured slot: channel `address`, type, ramp of `accel` steps,
    // cruise `tmin` ms, set-up wait `tmax` ms.
    void Configure(int i, uint8_t address, uint8_t type, int8_t accel = 0, uint16_t tmin = 0, uint16_t tmax = 0,
                   bool half = false, bool autoRelease = false)
    {
        SMotorSettings &s = S(i);
        s.Address = address;
        s.TypeCode = type;
        s.AccelLength = accel;
        s.MinStepTime = tmin;
        s.MaxStepTime = tmax;
        s.HalfSteps = half ? 1 : 0;
        s.AutoRelease = autoRelease ? 1 : 0;
        if (motors < static_cast<unsigned>(i) + 1)
            motors = i + 1;
    }

    bool Move(int i, int32_t target, bool hold = false)
    {
        std::lock_guard lock(b.Lock);
        return M(i).MoveTo(target, hold);
    }

    // One board tick at `ms`: clear the buffer, step the motors, return what
    // the board would write.
    Bytes Tick(int ms)
    {
        std::lock_guard lock(b.Lock);
        b.ClearOutput();
        for (unsigned i = 0; i < motors; ++i)
            b.Motors[i].StepTick(ms * 0.001);
        return Bytes(b.OutBuffer, b.OutBuffer + b.OutLength);
    }

    // The "Motor Stopped" notes since the last call.
    std::vector<int> Stops()
    {
        std::lock_guard lock(b.Lock);
        uint8_t buf[64];
        const unsigned n = b.TakePendingStops(buf, sizeof buf);
        return std::vector<int>(buf, buf + n);
    }

    // Ticks every millisecond from `from` until motor `i` is at rest (or
    // `limit` ticks passed). Records the tick of every change of its position
    // and the tick of its stop note. Returns the tick after the last one run.
    struct Trace {
        std::vector<int> stepTicks;       // tick of each position change
        std::vector<int32_t> positions;   // position after it
        std::vector<int> stopTicks;       // ticks at which motor i was noted
        int32_t maxPosition = INT32_MIN;
        int32_t minPosition = INT32_MAX;
        uint32_t maxCounter = 0;   // largest RampCounter seen
        Bytes lastTick;            // bytes of the tick that stopped it
        int end = 0;
    };
    Trace Run(int i, int from, int limit = 100000)
    {
        Trace t;
        int ms = from;
        for (; ms < from + limit; ++ms) {
            const int32_t before = M(i).Position;
            Bytes out = Tick(ms);
            if (M(i).Position != before) {
                t.stepTicks.push_back(ms);
                t.positions.push_back(M(i).Position);
            }
            t.maxPosition = std::max(t.maxPosition, M(i).Position);
            t.minPosition = std::min(t.minPosition, M(i).Position);
            t.maxCounter = std::max(t.maxCounter, M(i).RampCounter);
            for (int s : Stops())
                if (s == i)
                    t.stopTicks.push_back(ms);
            if (!M(i).IsRunning()) {
                t.lastTick = out;
                ++ms;
                break;
            }
        }
        t.end = ms;
        return t;
    }

    static std::vector<int> Intervals(const std::vector<int> &ticks)
    {
        std::vector<int> d;
        for (size_t k = 1; k < ticks.size(); ++k)
            d.push_back(ticks[k] - ticks[k - 1]);
        return d;
    }
};
