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
    {0x00, 0x08, 0x04, 0x0C},                           // 2-wire: pulse/rest +, pulse/rest -
    {0x08, 0x04, 0x02, 0x01},                           // 4-wire, full step
    {0x08, 0x0C, 0x04, 0x06, 0x02, 0x03, 0x01, 0x09},   // 4-wire, half step
    {0x08, 0x02, 0x04, 0x01},                           // synchronous, full step
    {0x08, 0x0A, 0x02, 0x06, 0x04, 0x05, 0x01, 0x09},   // synchronous, half step
};

// A drive with no coil lines of its own: pulse and direction (2-wire).
bool IsTwoWire(uint8_t type) { return (type & (kType4Wire | kTypeSynchron)) == 0; }

// The frame of one step of a 4-wire or synchronous drive at `position`.
unsigned CoilStepFrame(uint8_t *frame, uint8_t ch, uint8_t type, bool half, uint32_t position)
{
    const bool four = (type & kType4Wire) != 0;
    const uint8_t p = half ? StepPatternTables[four ? k4WireHalf : kSyncHalf][position & 7u]
                           : StepPatternTables[four ? k4WireFull : kSyncFull][position & 3u];
    frame[0] = ch | p;
    frame[1] = ch | p;
    frame[2] = 0xF0 | p;
    return 3;
}

// The 2-wire pin nibbles of direction `dir`: the pulse and the rest between.
uint8_t TwoWirePulse(int32_t dir) { return StepPatternTables[k2Wire][dir > 0 ? 0 : 2]; }
uint8_t TwoWireRest(int32_t dir) { return StepPatternTables[k2Wire][dir > 0 ? 1 : 3]; }

// The 2-wire direction set-up frame: the rest level only.
unsigned TwoWireSetUpFrame(uint8_t *frame, uint8_t ch, int32_t dir)
{
    const uint8_t rest = TwoWireRest(dir);
    for (unsigned i = 0; i < 4; ++i)
        frame[i] = ch | rest;
    frame[4] = 0xF0 | rest;
    return 5;
}

// The 2-wire step frame: rest, pulse, rest.
unsigned TwoWireStepFrame(uint8_t *frame, uint8_t ch, int32_t dir)
{
    const uint8_t pulse = TwoWirePulse(dir);
    const uint8_t rest = TwoWireRest(dir);
    for (unsigned i = 0; i < 3; ++i)
        frame[i] = ch | rest;
    for (unsigned i = 3; i < 9; ++i)
        frame[i] = ch | pulse;
    for (unsigned i = 9; i < 12; ++i)
        frame[i] = ch | rest;
    frame[12] = 0xF0 | rest;
    return 13;
}

int32_t Saturate(int64_t v) { return v < kMin32 ? kMin32 : v > kMax32 ? kMax32 : static_cast<int32_t>(v); }

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

}   // namespace

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
            RampState = RampPhase::Decelerate;
            const uint32_t a = RampLength();
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
    RampState = RampPhase::Accelerate;
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
    if (RampState != RampPhase::Decelerate) {
        Target = Saturate(static_cast<int64_t>(Position) + static_cast<int64_t>(dir) * RampLength());
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

void SMotor::ResetPosition()
{
    Position = 0;
    Target = 0;
    Destination = 0;
    DestinationIsUser = false;
    SetDir(0);
}

void SMotor::ClearRamp()
{
    SetDir(0);
    RampState = RampPhase::Rest;
    RampCounter = 0;
    FirstStep = 0;
    NextStepTime = 0;
}

void SMotor::ComeToRest(bool release)
{
    Owner->Lock.AssertHeld();
    SetDir(0);
    Owner->NoteMotorStopped(Index);
    NextStepTime = 0;
    if (release) {
        RampState = RampPhase::Rest;
        if (Settings->AutoRelease != 0)
            Owner->AppendReleaseFrame(Index);
    }
}

void SMotor::Reverse(int32_t towards)
{
    SetDir(towards);
    RampState = RampPhase::Accelerate;
    RampCounter = RampLength();
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
    if (TurnsInPlace(dir)) {
        Reverse(-dir);
        NextStepTime = now + RampTime;
        return;
    }
    if (NeedsSetUpFrame()) {
        // The position and the ramp wait for the next frame.
        SendSetUpFrame(dir);
        NextStepTime = now + MaxStepTime;
        return;
    }
    SendStep(dir);

    // What is left: the distance while heading for the target, else the rest
    // of the current ramp.
    const int64_t distance = static_cast<int64_t>(Target) - Position;
    const int32_t ahead = SignOf(distance);
    const uint32_t left = ahead == dir ? static_cast<uint32_t>(std::llabs(distance)) : RampCounter;

    // Stop site B: nothing left to do after this step.
    if (left == 0) {
        ComeToRest(false);
        return;
    }
    double wait = 0;
    const bool running = RampLength() == 0 ? NextWaitWithoutRamp(dir, ahead, left, &wait)
                                           : NextWaitOnRamp(dir, ahead, left, &wait);
    if (running)
        NextStepTime = now + wait;
}

bool SMotor::TurnsInPlace(int32_t dir) const
{
    const bool atLimit = dir > 0 ? Position == kMax32 : Position == kMin32;
    return SignOf(static_cast<int64_t>(Target) - Position) == -dir &&
           ((RampState == RampPhase::Decelerate && RampCounter == 0) || atLimit);
}

bool SMotor::NeedsSetUpFrame() const { return FirstStep != 0 && IsTwoWire(Settings->TypeCode); }

void SMotor::SendSetUpFrame(int32_t dir)
{
    uint8_t frame[kMaxFrame];
    const unsigned length = TwoWireSetUpFrame(frame, ChannelBits, dir);
    FirstStep = 0;
    Owner->Lock.AssertHeld();
    Owner->AppendFrame(frame, length);
}

void SMotor::SendStep(int32_t dir)
{
    Position += dir;
    uint8_t frame[kMaxFrame];
    const uint8_t type = Settings->TypeCode;
    const unsigned length = IsTwoWire(type) ? TwoWireStepFrame(frame, ChannelBits, dir)
                                            : CoilStepFrame(frame, ChannelBits, type, Settings->HalfSteps != 0,
                                                            static_cast<uint32_t>(Position));
    FirstStep = 0;
    Owner->Lock.AssertHeld();
    Owner->AppendFrame(frame, length);
}

bool SMotor::NextWaitWithoutRamp(int32_t dir, int32_t ahead, uint32_t left, double *wait)
{
    // One step per tick, and nothing to decelerate over, so the motor counts
    // as accelerating (a stop takes effect at the next due step). The counter
    // follows the distance left so that the step onto the target ends the
    // move as a ramp does (stop site C).
    if (ahead == dir) {
        RampState = RampPhase::Accelerate;
        RampCounter = left;
        *wait = 0;
        return true;
    }
    RampCounter = 0;
    if (ahead == 0) {
        ArriveAtTarget();
        return false;
    }
    Reverse(ahead);
    *wait = RampTime;
    return true;
}

bool SMotor::NextWaitOnRamp(int32_t dir, int32_t ahead, uint32_t left, double *wait)
{
    const uint32_t a = RampLength();
    switch (RampState) {
    case RampPhase::Accelerate: {
        if (RampCounter > 0)
            RampCounter -= 1;
        const uint32_t made = a - RampCounter;   // steps of this ramp so far, >= 1
        if (left < made) {
            RampState = RampPhase::Decelerate;
            RampCounter = left;
            *wait = RampTime / left;
        } else if (RampCounter == 0) {
            RampState = RampPhase::Cruise;
            *wait = MinStepTime;
        } else {
            // AccelSteps - RampCounter while the ramp length is unchanged.
            *wait = RampTime / made;
        }
        return true;
    }
    case RampPhase::Rest:   // not reached while running; cruise
        RampState = RampPhase::Cruise;
        [[fallthrough]];
    case RampPhase::Cruise:
        *wait = MinStepTime;
        if (left <= a) {
            RampState = RampPhase::Decelerate;
            RampCounter = left;
        }
        return true;
    case RampPhase::Decelerate:
        if (RampCounter > 0)
            RampCounter -= 1;
        if (left > RampCounter && ahead == dir) {
            // The target lies further ahead than the ramp needs.
            RampState = RampPhase::Accelerate;
            RampCounter = a - RampCounter;
            *wait = RampCounter * MaxStepTime + MinStepTime;
        } else if (RampCounter != 0) {
            *wait = RampTime / RampCounter;
        } else if (ahead == 0) {
            ArriveAtTarget();
            return false;
        } else {
            // Ran out with the target behind: a new ramp as from rest, whose
            // first frame waits like the first step of a ramp.
            Reverse(ahead);
            *wait = RampTime;
        }
        return true;
    }
    return true;
}

void SMotor::ArriveAtTarget()
{
    ComeToRest(true);   // stop site C
    ClampAtBlock();
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
