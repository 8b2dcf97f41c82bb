// motor.cpp - the step generator of one motor: starting and retargeting a
// move, the frames of every drive type, the acceleration / cruise /
// deceleration ramp, the ramped stop, homing of block types and the unit
// conversions.
//
// Every member runs with Owner->Lock held (the tick, or a client call through
// the board) and takes no lock itself. The analysis checks that for the
// callers (the board's Motors are GUARDED_BY its Lock) but can't follow Owner
// back to the board: the members that touch the board assert the lock for it. StepTick allocates nothing and does no
// I/O: its frame is built on the stack and appended to the board's buffer.
//
// A move runs on the ramp length it started with (AccelSteps): a change of the
// slot's AccelLength during a move takes effect at the next start from rest,
// so every ramp wait stays at least MinStepTime. Ramp counters never wrap: a
// ramp of length 0 is handled on its own (one step per tick, nothing to
// decelerate), the counter stays within the ramp length, and no position,
// target or destination leaves the 32-bit range.
#include "motor.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "hardware.h"

namespace {

constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();

// Low-nibble patterns of the drives.
enum PatternTable { k2Wire, k4WireFull, k4WireHalf, kSyncFull, kSyncHalf };
const uint8_t StepPatternTables[5][8] = {
    {0x00, 0x08, 0x04, 0x0C},                         // 2-wire: pulse/rest +, pulse/rest -
    {0x08, 0x04, 0x02, 0x01},                         // 4-wire, full step
    {0x08, 0x0C, 0x04, 0x06, 0x02, 0x03, 0x01, 0x09}, // 4-wire, half step
    {0x08, 0x02, 0x04, 0x01},                         // synchronous, full step
    {0x08, 0x0A, 0x02, 0x06, 0x04, 0x05, 0x01, 0x09}, // synchronous, half step
};

int32_t Saturate(int64_t v)
{
    return v < kMin32 ? kMin32 : v > kMax32 ? kMax32 : static_cast<int32_t>(v);
}

// A step falls due at the first tick whose time is not below NextStepTime. A
// due time this close above the tick's time counts as reached, so that a wait
// of whole milliseconds does not lose a tick to the rounding of now + wait.
constexpr double kDueSlack = 1e-7;   // s

int32_t SignOf(int64_t v) { return v > 0 ? 1 : v < 0 ? -1 : 0; }

// units x coefficient rounded half away from zero, as a wide integer.
// False when the product is not finite or the result leaves the 32-bit range;
// *clamped then holds 0 (not finite) or the nearest 32-bit value.
bool RoundSteps(double units, float coefficient, int32_t *clamped)
{
    const double x = units * static_cast<double>(coefficient);
    if (!std::isfinite(x)) {
        *clamped = 0;
        return false;
    }
    const double r = std::trunc(x > 0 ? x + 0.5 : x - 0.5);
    if (r < static_cast<double>(kMin32)) {
        *clamped = kMin32;
        return false;
    }
    if (r > static_cast<double>(kMax32)) {
        *clamped = kMax32;
        return false;
    }
    *clamped = static_cast<int32_t>(r);
    return true;
}

} // namespace

SMotor::SMotor() = default;

uint32_t SMotor::AccelLength() const
{
    if (Settings == nullptr)
        return 0;
    const int a = Settings->AccelLength;   // sign-extended byte
    return a < 0 ? 0u : static_cast<uint32_t>(a);
}

int32_t SMotor::UnitsToSteps(double units) const
{
    int32_t steps = 0;
    RoundSteps(units, Settings != nullptr ? Settings->Coefficient : 0.0f, &steps);
    return steps;
}

bool SMotor::UnitsToStepsChecked(double units, int32_t *steps) const
{
    int32_t value = 0;
    if (steps == nullptr || !RoundSteps(units, Settings != nullptr ? Settings->Coefficient : 0.0f, &value))
        return false;
    *steps = value;
    return true;
}

float UnitsToFloat(double units)
{
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isnan(units))
        return 0.0f;
    if (units > kMax)
        return std::numeric_limits<float>::max();
    if (units < -kMax)
        return -std::numeric_limits<float>::max();
    return static_cast<float>(units);
}

double SMotor::StepsToUnits(int32_t steps) const
{
    const float c = Settings != nullptr ? Settings->Coefficient : 0.0f;
    if (c == 0.0f || std::isnan(c))
        return 0.0;
    return static_cast<double>(steps) / static_cast<double>(c);
}

bool SMotor::MoveTo(int32_t target, bool hold)
{
    if (Settings == nullptr || Owner == nullptr)
        return false;
    Owner->Lock.AssertHeld();
    const int64_t absolute = static_cast<int64_t>(target) + ZeroOffset;
    if (absolute < kMin32 || absolute > kMax32)
        return false;   // no such position: refused, nothing changed
    const int32_t t = static_cast<int32_t>(absolute);

    if (t == Target) {
        Owner->NoteMotorStopped(Index);
        return true;
    }

    const int32_t dir = Dir();
    if (dir != 0) {
        Target = t;
        Destination = t;
        DestinationIsUser = false;
        if (SignOf(static_cast<int64_t>(t) - Position) != dir) {
            // Behind the motor or at its position: decelerate. A ramp of
            // length 0 has nothing to decelerate over; the motor turns (or
            // stops) at its next due step.
            RampState = 3;
            const uint32_t a = Ramp();
            if (a == 0)
                RampCounter = 0;
            else if (RampCounter == 0)
                RampCounter = a;
        }
        return true;
    }

    // A start from rest needs a channel; a refused start changes nothing.
    if (!HasChannel(Settings->Address))
        return false;

    Target = t;
    Destination = t;
    DestinationIsUser = false;
    ChannelBits = AddressCodeTable[Settings->Address];
    MaxStepTime = Settings->MaxStepTime * 0.001;
    MinStepTime = Settings->MinStepTime * 0.001;
    RampCounter = AccelLength();
    RampTime = RampCounter * MinStepTime;
    AccelSteps = RampCounter;
    RampState = 1;
    FirstStep = 1;
    NextStepTime = 0;
    Owner->HoldStart = hold;
    // Last, so that the motor counts as running only once its move is set up.
    SetDir(SignOf(static_cast<int64_t>(t) - Position));
    return true;
}

void SMotor::Stop()
{
    const int32_t dir = Dir();
    if (dir == 0)
        return;
    if (RampState != 3) {
        Target = Saturate(static_cast<int64_t>(Position) + static_cast<int64_t>(dir) * Ramp());
        return;
    }
    // Decelerating. Towards its own target, reached within this ramp (or at
    // it already): it comes to rest there anyway. Otherwise the deceleration
    // leads to a reversal (target behind) or to a new acceleration (target
    // further on): the motor rests where the deceleration ends instead.
    const int64_t left = static_cast<int64_t>(Target) - Position;
    if (left == 0 || (SignOf(left) == dir && static_cast<uint64_t>(std::llabs(left)) <= RampCounter))
        return;
    Target = Saturate(static_cast<int64_t>(Position) + static_cast<int64_t>(dir) * RampCounter);
}

void SMotor::Initialize()
{
    if (Settings == nullptr || (Settings->TypeCode & kTypeBlock) == 0)
        return;
    const double v = std::trunc(static_cast<double>(Position) - static_cast<double>(Settings->TravelLength) * 1.1);
    const int32_t target = v < kMin32 ? kMin32 : v > kMax32 ? kMax32 : static_cast<int32_t>(v);
    MoveTo(target, false);
}

void SMotor::ComeToRest(bool release)
{
    Owner->Lock.AssertHeld();
    SetDir(0);
    Owner->NoteMotorStopped(Index);
    NextStepTime = 0;
    if (release) {
        RampState = 0;
        if (Settings->AutoRelease != 0)
            Owner->AutoRelease(Index);
    }
}

void SMotor::Reverse(int32_t towards)
{
    SetDir(towards);
    RampState = 1;
    RampCounter = Ramp();
    FirstStep = 1;   // a 2-wire motor sends a new set-up frame first
}

void SMotor::StepTick(double now)
{
    if (now + kDueSlack < NextStepTime)
        return;
    const int32_t dir = Dir();
    if (dir == 0) {
        NextStepTime = 0;
        return;
    }
    if (Settings == nullptr || Owner == nullptr)
        return;
    Owner->Lock.AssertHeld();

    // Stop site A: the step falls due at the target.
    if (Position == Target) {
        ComeToRest(true);
        return;
    }

    const uint32_t a = Ramp();

    // The target lies behind and no ramp is left to run away from it (a ramp
    // of length 0), or the position range ends here: turn without a step.
    const bool atLimit = dir > 0 ? Position == kMax32 : Position == kMin32;
    if (SignOf(static_cast<int64_t>(Target) - Position) == -dir &&
        ((RampState == 3 && RampCounter == 0) || atLimit)) {
        Reverse(-dir);
        NextStepTime = now + RampTime;
        return;
    }

    // The frame of this step.
    uint8_t frame[kMaxFrame];
    unsigned length = 0;
    const uint8_t type = Settings->TypeCode;
    const uint8_t ch = ChannelBits;
    if ((type & (kType4Wire | kTypeSynchron)) != 0) {
        Position += dir;
        const bool half = Settings->HalfSteps != 0;
        const bool four = (type & kType4Wire) != 0;
        const uint32_t bits = static_cast<uint32_t>(Position);
        const uint8_t p = half ? StepPatternTables[four ? k4WireHalf : kSyncHalf][bits & 7u]
                               : StepPatternTables[four ? k4WireFull : kSyncFull][bits & 3u];
        frame[0] = ch | p;
        frame[1] = ch | p;
        frame[2] = 0xF0 | p;
        length = 3;
        FirstStep = 0;
    } else {
        const uint8_t *two = StepPatternTables[k2Wire];
        const uint8_t pulse = dir > 0 ? two[0] : two[2];
        const uint8_t rest = dir > 0 ? two[1] : two[3];
        if (FirstStep != 0) {
            // Direction set-up: the position and the ramp wait for the next frame.
            for (unsigned i = 0; i < 4; ++i)
                frame[i] = ch | rest;
            frame[4] = 0xF0 | rest;
            FirstStep = 0;
            NextStepTime = now + MaxStepTime;
            Owner->AppendFrame(frame, 5);
            return;
        }
        Position += dir;
        for (unsigned i = 0; i < 3; ++i)
            frame[i] = ch | rest;
        for (unsigned i = 3; i < 9; ++i)
            frame[i] = ch | pulse;
        for (unsigned i = 9; i < 12; ++i)
            frame[i] = ch | rest;
        frame[12] = 0xF0 | rest;
        length = 13;
    }
    Owner->AppendFrame(frame, length);

    // What is left: the distance while heading for the target, else the rest
    // of the current ramp.
    const int64_t left = static_cast<int64_t>(Target) - Position;
    const int32_t s = SignOf(left);
    const uint32_t rem = s == dir ? static_cast<uint32_t>(std::llabs(left)) : RampCounter;

    // Stop site B: nothing left to do after this step.
    if (rem == 0) {
        ComeToRest(false);
        return;
    }

    double wait = 0;
    if (a == 0) {
        // No ramp: one step per tick, and nothing to decelerate over, so the
        // motor counts as accelerating (a stop takes effect at the next due
        // step). The counter follows the distance left so that the step onto
        // the target ends the move as a ramp does (stop site C).
        if (s == dir) {
            RampState = 1;
            RampCounter = rem;
        } else {
            RampCounter = 0;
            if (s == 0) {
                ComeToRest(true);   // stop site C
                ClampAtBlock();
                return;
            }
            Reverse(s);
            wait = RampTime;
        }
        NextStepTime = now + wait;
        return;
    }

    switch (RampState) {
    case 1: {   // accelerating
        if (RampCounter > 0)
            RampCounter -= 1;
        const uint32_t made = a - RampCounter;   // steps of this ramp so far, >= 1
        if (rem < made) {
            RampState = 3;
            RampCounter = rem;
            wait = RampTime / rem;
        } else if (RampCounter == 0) {
            RampState = 2;
            wait = MinStepTime;
        } else {
            // AccelSteps - RampCounter while the ramp length is unchanged.
            wait = RampTime / made;
        }
        break;
    }
    default:    // not reached while running; cruise
        RampState = 2;
        [[fallthrough]];
    case 2:     // cruising
        wait = MinStepTime;
        if (rem <= a) {
            RampState = 3;
            RampCounter = rem;
        }
        break;
    case 3:     // decelerating
        if (RampCounter > 0)
            RampCounter -= 1;
        if (rem > RampCounter && s == dir) {
            // The target lies further ahead than the ramp needs.
            RampState = 1;
            RampCounter = a - RampCounter;
            wait = RampCounter * MaxStepTime + MinStepTime;
        } else if (RampCounter != 0) {
            wait = RampTime / RampCounter;
        } else if (s == 0) {
            ComeToRest(true);   // stop site C
            ClampAtBlock();
            return;
        } else {
            // Ran out with the target behind: a new ramp as from rest, whose
            // first frame waits like the first step of a ramp.
            Reverse(s);
            wait = RampTime;
        }
        break;
    }
    NextStepTime = now + wait;
}

void SMotor::ClampAtBlock()
{
    if ((Settings->TypeCode & kTypeBlock) == 0)
        return;
    if (Position > Settings->TravelLength) {
        Position = Settings->TravelLength;
        Target = Settings->TravelLength;
    }
    if (Position < 0) {
        const int32_t zero = Saturate(-static_cast<int64_t>(ZeroOffset));
        Position = zero;
        Target = zero;
        Destination = zero;
        DestinationIsUser = false;
    }
}
