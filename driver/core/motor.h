// motor.h - motor types and the step generator of one motor (SMotor).
//
// SMotor is the run-time state of one motor: position, target and destination
// in absolute steps, the user's zero offset, and the acceleration / cruise /
// deceleration ramp that times its steps. The board's 1 ms tick calls
// StepTick, which builds the step's frame of pin bytes and appends it to the
// board's output buffer; nothing here writes to a device or allocates.
//
// Locking: every field below except Direction is guarded by Owner->Lock (see
// hardware.h); the compiler checks that through the board's Motors array,
// which is GUARDED_BY that lock (a field here can't name the lock of a board
// class that is defined after it). Direction is written only under that lock
// but may be read without it (the stop-and-wait polls). MoveTo, Stop, Initialize and StepTick
// must be called with Owner->Lock held. "Motor Stopped" is not raised from
// inside them: they note it on the board (USBDriver::NoteMotorStopped) and the
// board raises it once its lock is released (BoardLock).
#pragma once

#include <atomic>
#include <cstdint>

#include "kinetrax.h"

class USBDriver;

// ---- Motor types ----------------------------------------------------------

constexpr uint8_t kType4Wire = 0x80;   // four coil lines
constexpr uint8_t kTypeBlock = 0x40;   // mechanical end stop at position 0
constexpr uint8_t kTypeSynchron = 0x20;

struct MotorTypeInfo {
    uint8_t Code;
    const char *Name;
};

extern const MotorTypeInfo MotorTypeTable[25];

unsigned GetMotorTypeCount();                          // 25
const MotorTypeInfo *GetMotorTypeByIndex(int index);   // caller keeps index in 0..24
const char *GetMotorTypeName(uint8_t code);            // "???" when unknown; static
int GetMotorTypeIndex(uint8_t code);                   // 0 when unknown

// ---- Motors of a board ---------------------------------------------------------

// The board's motors: slots of its settings block and SMotor records alike.
constexpr unsigned kMotorsPerBoard = KX_MOTORS_PER_BOARD;
// The motor argument of a board's release that names every motor (any value
// from here up does).
constexpr unsigned kAllMotors = kMotorsPerBoard;

// ---- Wire format ------------------------------------------------------------

// Channel code by address 0..8 (high nibble of every pin byte of a frame).
extern const uint8_t AddressCodeTable[9];
// True for the addresses that name an output channel: 1 to 7. Address 0 (no
// motor), 8 (the frame-end code) and anything above have none.
inline bool HasChannel(uint8_t address) { return address >= 1 && address <= 7; }
// First byte of a slot's release frame: its channel code, or 0xFF for a slot
// without a usable channel. The frame is {ReleaseCode(address), 0xF0}.
inline uint8_t ReleaseCode(uint8_t address) { return HasChannel(address) ? AddressCodeTable[address] : 0xFF; }

constexpr unsigned kMaxFrame = 13;   // longest frame (2-wire step)

// ---- Step generator ---------------------------------------------------------

// Where a move stands on its ramp (SMotor::RampState).
enum class RampPhase : uint8_t {
    Rest,         // no move, or a move ended at its target
    Accelerate,   // waits shorten from MaxStepTime towards MinStepTime
    Cruise,       // one step per MinStepTime
    Decelerate,   // waits lengthen until the ramp or the distance runs out
};

class SMotor {
public:
    SMotor();   // every field zero

    // Starts a move from rest or retargets a running one. `target` is in user
    // steps (the zero offset is added here). `hold` keeps the whole board back
    // until a later start without hold. False only when a move from rest is
    // refused because the slot has no usable channel; a refused start changes
    // nothing.
    bool MoveTo(int32_t target, bool hold);
    // One tick: at most one step or set-up frame and one release frame.
    void StepTick(double now);
    // Ramped stop of a running motor: AccelLength more steps, or, while it
    // decelerates, rest where that deceleration ends (no reversal and no new
    // acceleration follow).
    void Stop();
    // Homing of block types (bit 0x40); other types: nothing.
    void Initialize();
    // Position, target and destination 0 (absolute steps), and the motor
    // halted at once: no further step, no event, no release.
    void ResetPosition();
    // At rest with no ramp: halted, RampState Rest, no set-up frame pending
    // and no step due.
    void ClearRamp();

    // units x Coefficient, rounded half away from zero. NaN and infinity give
    // 0; values beyond the 32-bit range are clamped to it.
    int32_t UnitsToSteps(double units) const;
    // The same conversion, refusing (false, *steps untouched) a value that is
    // not finite or whose step count does not fit a signed 32-bit value.
    bool UnitsToStepsChecked(double units, int32_t *steps) const;
    // steps / Coefficient; 0.0 when Coefficient is 0.
    double StepsToUnits(int32_t steps) const;

    bool IsRunning() const { return Direction.load(std::memory_order_acquire) != 0; }
    // The slot's ramp length: AccelLength read sign-extended, negative values
    // taken as 0 (a settings file or caller may store any byte). A move keeps
    // the value it started with (AccelSteps).
    uint32_t AccelLength() const;
    // The destination in user steps (relative to the zero point), wide.
    int64_t UserDestination() const
    {
        return DestinationIsUser ? Destination : static_cast<int64_t>(Destination) - ZeroOffset;
    }

    USBDriver *Owner = nullptr;           // set by the board's constructor
    SMotorSettings *Settings = nullptr;   // the motor's slot in the board's block
    int32_t Index = 0;                    // 0..kMotorsPerBoard-1, argument of "Motor Stopped"
    uint8_t ChannelBits = 0;              // AddressCodeTable[Address] at the start
    int32_t Position = 0;                 // absolute steps
    int32_t Target = 0;                   // absolute steps the ramp runs to
    int32_t Destination = 0;              // absolute steps, or user steps (below)
    // Destination holds user steps prepared by _SM_SetDestination and not yet
    // used: _Run measures them from the zero point it finds. Every other
    // write of Destination stores absolute steps and clears this.
    bool DestinationIsUser = false;
    uint32_t RampCounter = 0;
    RampPhase RampState = RampPhase::Rest;
    uint8_t FirstStep = 0;               // 2-wire: send the set-up frame next
    std::atomic<int32_t> Direction{0};   // -1, 0, +1; non-zero = running
    int32_t ZeroOffset = 0;              // absolute steps of the user's zero
    double NextStepTime = 0;             // s; 0 = at the next tick
    double RampTime = 0;                 // s, AccelLength x MinStepTime
    double AccelSteps = 0;               // ramp length fixed at the start
    double MaxStepTime = 0;              // s
    double MinStepTime = 0;              // s

private:
    // The ramp length of the current move, fixed at its start.
    uint32_t RampLength() const { return static_cast<uint32_t>(AccelSteps); }
    int32_t Dir() const { return Direction.load(std::memory_order_relaxed); }
    void SetDir(int32_t d) { Direction.store(d, std::memory_order_release); }
    // Direction = 0 and the stop noted; with `release` also RampState = Rest
    // and the automatic release when the slot asks for it.
    void ComeToRest(bool release);
    // The ramp ran out with the target behind: head for it with a new ramp.
    void Reverse(int32_t towards);
    // End of a move of a block type: position kept within 0..TravelLength.
    void ClampAtBlock();

    // The steps of StepTick, in the order it takes them.
    // The target lies behind the motor and it can make no step away from it
    // (no ramp left, or the end of the position range): it turns in place.
    bool TurnsInPlace(int32_t dir) const;
    // A 2-wire motor that has to send its direction set-up frame first.
    bool NeedsSetUpFrame() const;
    // Appends the 2-wire set-up frame (no step is made).
    void SendSetUpFrame(int32_t dir);
    // Makes one step in `dir` and appends its frame.
    void SendStep(int32_t dir);
    // The wait before the next step of a move without a ramp; false when the
    // move ended (the motor is at rest).
    bool NextWaitWithoutRamp(int32_t dir, int32_t ahead, uint32_t left, double *wait);
    // The wait before the next step along the ramp, moving the ramp on; false
    // when the move ended. `ahead` is the sign of the distance to the target,
    // `left` what is left of the move (heading for the target) or the ramp.
    bool NextWaitOnRamp(int32_t dir, int32_t ahead, uint32_t left, double *wait);
    // Arrival at the target after a step (rest, release, block clamp).
    void ArriveAtTarget();
};

// A value in units as the 32-bit float of a settings record, clamped to the
// float range (a tiny coefficient gives positions beyond it); NaN gives 0.
float UnitsToFloat(double units);
