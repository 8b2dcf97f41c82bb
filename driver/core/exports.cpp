// exports.cpp - the exported C interface of the driver core: the device
// functions (discovery, identity, open/close, synchronous start of a board)
// and the motor functions (lookup, queries, moves, stop, zero, reset,
// release, removal) with _INF_GetMTypeName.
//
// Every function checks its indexes as index < count, works under the lock
// order of hardware.h (ListReadGuard, then OpLock, then the board's Lock) and
// lets no exception out. Nothing here sleeps with a lock held: the
// stop-and-wait loops sleep through SleepListUnlocked and look the board up
// again after every sleep. "Motor Stopped" events noted under a board's lock
// are raised by the guards once every lock is released.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

#include "hardware.h"
#include "kinetrax.h"
#include "motor.h"

namespace {

bool FitsInt32(int64_t v)
{
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

// Steps to units for a difference of two step counts, which may leave the
// 32-bit range: the motor's own conversion where it fits, the same division
// otherwise.
double UnitsOf(const SMotor &m, int64_t steps)
{
    if (FitsInt32(steps))
        return m.StepsToUnits(static_cast<int32_t>(steps));
    const float coefficient = m.Settings != nullptr ? m.Settings->Coefficient : 0.0f;
    if (coefficient == 0.0f)
        return 0.0;
    return static_cast<double>(steps) / coefficient;
}

// The board at `dev`, or nullptr when the index fails. Needs a ListReadGuard.
USBDriver *BoardAt(unsigned dev) REQUIRES_SHARED(DeviceListLock)
{
    if (dev >= DeviceList.Size())
        return nullptr;
    return DeviceList.At(dev);
}

// Index check of (dev, mot). Needs a ListReadGuard, and the board's Lock to
// keep the motor count valid while the caller uses the motor.
bool MotorIndexValid(const USBDriver &board, unsigned mot)
{
    return mot < board.MotorCount.load(std::memory_order_acquire);
}

// Runs `body` with every exception turned into `failure`.
template <class R, class F> R Guarded(R failure, F &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// Runs `body`(board, motor) under the board's lock once (dev, mot) passes the
// index check; `failure` otherwise. Needs a ListReadGuard.
template <class R, class F>
R OnMotorLocked(unsigned dev, unsigned mot, R failure, F &&body) REQUIRES_SHARED(DeviceListLock)
{
    USBDriver *board = BoardAt(dev);
    if (board == nullptr)
        return failure;
    BoardLock lock(*board);
    if (!MotorIndexValid(*board, mot))
        return failure;
    return body(*board, board->Motors[mot]);
}

// OnMotorLocked under a ListReadGuard.
template <class R, class F> R WithMotor(unsigned dev, unsigned mot, R failure, F &&body) noexcept
{
    return Guarded(failure, [&]() -> R {
        ListReadGuard list;
        return OnMotorLocked(dev, mot, failure, body);
    });
}

// The slot name (up to its first NUL, at most 10 characters) equals `name`.
bool SlotNameIs(const SMotorSettings &slot, const char *name)
{
    const size_t n = strnlen(slot.Name, sizeof slot.Name);
    return std::strlen(name) == n && std::memcmp(slot.Name, name, n) == 0;
}

// The name walk. Needs a ListReadGuard; takes each board's lock in turn.
int FindMotor(unsigned *dev, unsigned *mot, const char *name, const char *serial, int nth)
{
    int count = 0;
    const uint32_t boards = DeviceList.Size();
    for (uint32_t i = 0; i < boards; ++i) {
        USBDriver &board = *DeviceList.At(i);
        if (serial != nullptr && board.SerialNumber != serial)
            continue;   // no motor of another board can be taken
        BoardLock lock(board);
        const uint32_t motors = board.MotorCount.load(std::memory_order_acquire);
        for (uint32_t k = 0; k < motors && k < kMotorsPerBoard; ++k) {
            if (!SlotNameIs(board.Settings.MotorSettings[k], name))
                continue;
            if (serial != nullptr) {
                *dev = i;
                *mot = k;
                return 1;
            }
            if (count == nth) {
                *dev = i;
                *mot = k;
                return count;
            }
            if (count == 0) {
                *dev = i;
                *mot = k;
            }
            ++count;
        }
    }
    return serial != nullptr ? 0 : count;
}

// Name resolution of the SMN_ functions: the first motor of that name, with
// `body`(board, motor) run under the board's lock. The resolved slot is
// checked once more under that lock, since another thread may have removed
// the motor since the walk.
template <class R, class F> R WithNamedMotor(const char *name, R failure, F &&body) noexcept
{
    return Guarded(failure, [&]() -> R {
        if (name == nullptr)
            return failure;
        ListReadGuard list;
        unsigned dev = 0, mot = 0;
        if (FindMotor(&dev, &mot, name, nullptr, -1) <= 0)
            return failure;
        return OnMotorLocked(dev, mot, failure, body);
    });
}

// The (dev, mot) of the first motor of that name, or false.
bool ResolveName(const char *name, unsigned *dev, unsigned *mot)
{
    if (name == nullptr)
        return false;
    ListReadGuard list;
    return FindMotor(dev, mot, name, nullptr, -1) > 0;
}

// Stop and wait on (dev, mot) (StopAndWaitMotor), then `change` under the
// board's lock. False on a bad index, a timeout, or when the board or the
// motor went away during the wait; on the tick thread false at once while the
// motor still runs.
template <class F> bool StopAndWait(unsigned dev, unsigned mot, F &&change) noexcept
{
    return Guarded(false, [&]() -> bool {
        ListReadGuard list;
        USBDriver *board = BoardAt(dev);
        if (board == nullptr)
            return false;
        return StopAndWaitMotor(
            *board, mot, [mot](const USBDriver &b) { return MotorIndexValid(b, mot); }, change);
    });
}

// The device getters' copy: at most len-1 characters, zero fill, NUL at len-1.
bool CopyField(const std::string &value, char *buf, unsigned len)
{
    if (buf == nullptr || len == 0)
        return false;
    const size_t n = value.size() < len ? value.size() : len;
    std::memcpy(buf, value.data(), n);
    std::memset(buf + n, 0, len - n);
    buf[len - 1] = 0;
    return true;
}

// Holds `dev`'s board while `body`(board) runs; `failure` for a bad index.
template <class R, class F> R WithBoard(unsigned dev, R failure, F &&body) noexcept
{
    return Guarded(failure, [&]() -> R {
        ListReadGuard list;
        USBDriver *board = BoardAt(dev);
        if (board == nullptr)
            return failure;
        return body(*board);
    });
}

}   // namespace

extern "C" {

// ---- Device functions ---------------------------------------------------------

KX_EXPORT int _RefreshDevices(void)
{
    // Discovery appends under the list's write lock: no guard may be held here.
    return Guarded(-1, [] { return RefreshDeviceList(); });
}

KX_EXPORT unsigned int _GetDevicesCount(void)
{
    return Guarded(0u, [] {
        _RefreshDevices();
        ListReadGuard list;
        return static_cast<unsigned>(DeviceList.Size());
    });
}

KX_EXPORT bool _CheckDeviceConnection(unsigned int dev)
{
    return WithBoard(dev, false, [](USBDriver &b) { return b.Opened.load(std::memory_order_acquire); });
}

KX_EXPORT int _GetDeviceIndex(const char *serial)
{
    return Guarded(-1, [serial] {
        if (serial == nullptr)
            return -1;
        ListReadGuard list;
        return FindDeviceBySerial(serial);
    });
}

KX_EXPORT bool _GetDeviceSernum(unsigned int dev, char *buf, unsigned int len)
{
    return WithBoard(dev, false, [&](USBDriver &b) { return CopyField(b.SerialNumber, buf, len); });
}

KX_EXPORT bool _GetDeviceType(unsigned int dev, char *buf, unsigned int len)
{
    return WithBoard(dev, false, [&](USBDriver &b) { return CopyField(b.Description, buf, len); });
}

KX_EXPORT bool _GetDeviceName(unsigned int dev, char *buf, unsigned int len)
{
    return WithBoard(dev, false, [&](USBDriver &b) {
        kx::LockGuard<kx::Mutex> op(b.OpLock);
        return CopyField(b.Name, buf, len);
    });
}

KX_EXPORT bool _RenameDevice(unsigned int dev, const char *name)
{
    if (name == nullptr)
        return false;
    return WithBoard(dev, false, [&](USBDriver &b) { return b.Rename(name); });
}

KX_EXPORT bool _OpenDevice(unsigned int dev)
{
    return WithBoard(dev, false, [](USBDriver &b) {
        if (b.Opened.load(std::memory_order_acquire))
            return true;
        return b.Open();
    });
}

KX_EXPORT bool _Run(unsigned int dev)
{
    // The whole start runs under the board's lock, so the tick sees either no
    // motor started or the hold already in force, and all motors started
    // together once the hold is lifted.
    return WithBoard(dev, false, [](USBDriver &b) {
        BoardLock lock(b);
        const uint32_t count = b.MotorCount.load(std::memory_order_acquire);
        bool ok = true;
        for (uint32_t m = 0; m < count && m < kMotorsPerBoard; ++m) {
            SMotor &motor = b.Motors[m];
            // A prepared destination is measured from the zero point found
            // now; once used it is kept as absolute steps, so a second _Run
            // goes to the same place whatever the zero point does meanwhile.
            const int64_t user = motor.UserDestination();
            if (!FitsInt32(user) || !motor.MoveTo(static_cast<int32_t>(user), m + 1 < count)) {
                ok = false;
                break;
            }
            motor.Destination = motor.Target;   // also when it was there already
            motor.DestinationIsUser = false;
        }
        b.HoldStart = false;
        return ok;
    });
}

extern "C++" {
namespace {

// Runs `each`(motor) for motors 0 to MotorCount - 1 of board `dev`, in order,
// under the board's lock; nothing for a bad index.
template <class F> void ForEachMotorOf(unsigned dev, F each)
{
    WithBoard(dev, 0, [&](USBDriver &b) {
        BoardLock lock(b);
        const uint32_t count = b.MotorCount.load(std::memory_order_acquire);
        for (uint32_t m = 0; m < count && m < kMotorsPerBoard; ++m)
            each(b.Motors[m]);
        return 0;
    });
}

}   // namespace
}

KX_EXPORT void _InitializeAll(unsigned int dev)
{
    ForEachMotorOf(dev, [](SMotor &m) { m.Initialize(); });
}

KX_EXPORT void _StopAll(unsigned int dev)
{
    ForEachMotorOf(dev, [](SMotor &m) { m.Stop(); });
}

KX_EXPORT bool _CloseDevice(unsigned int dev)
{
    return WithBoard(dev, false, [](USBDriver &b) {
        b.Close(false);
        return true;
    });
}

KX_EXPORT void _CloseAllDevices(void)
{
    Guarded(0, [] {
        // Stop the tick with no lock held (a host callback on the tick thread
        // may be waiting for the list), then empty the list under the write
        // lock. A board opened by another thread in between starts the tick
        // again: stop it once more, again without the lock, and retry.
        for (;;) {
            StopTickTimer();
            ListWriteGuard list;
            if (TickTimerRunning())
                continue;
            DeviceList.DeleteAll();
            return 0;
        }
    });
}

// ---- Motor functions ----------------------------------------------------------

KX_EXPORT unsigned int _SM_GetCountInAll(void)
{
    return Guarded(0u, [] {
        ListReadGuard list;
        uint32_t total = 0;
        const uint32_t boards = DeviceList.Size();
        for (uint32_t i = 0; i < boards; ++i)
            total += DeviceList.At(i)->MotorCount.load(std::memory_order_acquire);
        return static_cast<unsigned>(total);
    });
}

KX_EXPORT bool _SM_GetInfoInAll(unsigned int index, SMotorSettings *info)
{
    return Guarded(false, [&] {
        ListReadGuard list;
        uint64_t first = 0;
        const uint32_t boards = DeviceList.Size();
        for (uint32_t i = 0; i < boards; ++i) {
            const uint32_t motors = DeviceList.At(i)->MotorCount.load(std::memory_order_acquire);
            if (index < first + motors)
                return _SM_GetInfo(i, static_cast<unsigned>(index - first), info);
            first += motors;
        }
        return false;
    });
}

KX_EXPORT bool _SM_ReleaseAll(void)
{
    return Guarded(false, [] {
        ListReadGuard list;
        const uint64_t generation = DeviceListGeneration();
        bool ok = true;
        for (uint32_t i = 0; i < DeviceList.Size(); ++i) {
            // A failed board does not end the loop.
            if (!DeviceList.At(i)->Release(kAllMotors))
                ok = false;
            if (DeviceListGeneration() != generation)
                return false;   // emptied while a release waited: the rest is gone
        }
        return ok;
    });
}

KX_EXPORT int _SM_GetIndex(unsigned int *dev, unsigned int *mot, const char *name, const char *serial, int nth)
{
    return Guarded(0, [&] {
        if (dev == nullptr || mot == nullptr || name == nullptr)
            return 0;
        ListReadGuard list;
        return FindMotor(dev, mot, name, serial, nth);
    });
}

KX_EXPORT int _SM_GetCount(unsigned int dev)
{
    return WithBoard(dev, -1,
                     [](USBDriver &b) { return static_cast<int>(b.MotorCount.load(std::memory_order_acquire)); });
}

KX_EXPORT int _SM_GetType(unsigned int dev, unsigned int mot, char *buf, unsigned int len)
{
    return WithMotor(dev, mot, -1, [&](USBDriver &, SMotor &m) {
        const uint8_t code = m.Settings->TypeCode;
        const char *name = GetMotorTypeName(code);
        if (buf != nullptr && len > 0) {
            // Bounded copy with zero fill; a name of len characters or more
            // fills the buffer without a terminator.
            const size_t n = strnlen(name, len);
            std::memcpy(buf, name, n);
            std::memset(buf + n, 0, len - n);
        }
        return static_cast<int>(static_cast<int8_t>(code));
    });
}

KX_EXPORT double _SM_GetPosition(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, 0.0, [](USBDriver &, SMotor &m) {
        return UnitsOf(m, static_cast<int64_t>(m.Position) - m.ZeroOffset);
    });
}

KX_EXPORT double _SM_GetRealPosition(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, 0.0, [](USBDriver &, SMotor &m) { return m.StepsToUnits(m.Position); });
}

KX_EXPORT double _SM_GetTarget(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, 0.0, [](USBDriver &, SMotor &m) { return UnitsOf(m, m.UserDestination()); });
}

KX_EXPORT double _SMN_GetTarget(const char *name)
{
    return WithNamedMotor(name, 0.0, [](USBDriver &, SMotor &m) { return UnitsOf(m, m.UserDestination()); });
}

KX_EXPORT double _SM_GetZero(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, 0.0, [](USBDriver &, SMotor &m) { return m.StepsToUnits(m.ZeroOffset); });
}

KX_EXPORT bool _SM_SetDestination(unsigned int dev, unsigned int mot, double destination)
{
    // Kept in user steps: _Run measures it from the zero point it finds. One
    // that leaves the step range from the zero point of now is refused.
    return WithMotor(dev, mot, false, [&](USBDriver &, SMotor &m) {
        int32_t steps = 0;
        if (!m.UnitsToStepsChecked(destination, &steps) || !FitsInt32(static_cast<int64_t>(steps) + m.ZeroOffset))
            return false;
        m.Destination = steps;
        m.DestinationIsUser = true;
        return true;
    });
}

KX_EXPORT bool _SM_SetZero(unsigned int dev, unsigned int mot)
{
    return StopAndWait(dev, mot, [](SMotor &m) {
        // A toggle: a second call makes user positions absolute again.
        m.ZeroOffset = m.ZeroOffset == 0 ? m.Position : 0;
    });
}

KX_EXPORT bool _SMN_SetZero(const char *name)
{
    return Guarded(false, [name] {
        unsigned dev = 0, mot = 0;
        return ResolveName(name, &dev, &mot) && _SM_SetZero(dev, mot);
    });
}

KX_EXPORT bool _SM_Move(unsigned int dev, unsigned int mot, double position)
{
    return WithMotor(dev, mot, false, [&](USBDriver &, SMotor &m) {
        int32_t steps = 0;
        return m.UnitsToStepsChecked(position, &steps) && m.MoveTo(steps, false);
    });
}

KX_EXPORT bool _SMN_Move(const char *name, double position, bool relative, int speed)
{
    (void)speed;   // the move runs on the motor's own step times and ramp
    return WithNamedMotor(name, false, [&](USBDriver &, SMotor &m) {
        double units = position;
        if (relative)
            units += UnitsOf(m, static_cast<int64_t>(m.Position) - m.ZeroOffset);
        int32_t steps = 0;
        return m.UnitsToStepsChecked(units, &steps) && m.MoveTo(steps, false);
    });
}

KX_EXPORT bool _SMN_StepMove(const char *name, int steps, bool relative)
{
    return WithNamedMotor(name, false, [&](USBDriver &, SMotor &m) {
        int64_t target = steps;
        if (relative)
            target += static_cast<int64_t>(m.Position) - m.ZeroOffset;
        return FitsInt32(target) && m.MoveTo(static_cast<int32_t>(target), false);
    });
}

KX_EXPORT bool _SM_IsRunning(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, false, [](USBDriver &, SMotor &m) { return m.IsRunning(); });
}

KX_EXPORT int _SMN_IsRunning(const char *name)
{
    return WithNamedMotor(name, -1, [](USBDriver &b, SMotor &m) {
        if (!b.Opened.load(std::memory_order_acquire))
            return -1;
        return m.IsRunning() ? 1 : 0;
    });
}

KX_EXPORT bool _SM_GetInfo(unsigned int dev, unsigned int mot, SMotorSettings *info)
{
    if (info == nullptr)
        return false;
    return WithMotor(dev, mot, false, [&](USBDriver &, SMotor &m) {
        SMotorSettings out;
        std::memcpy(&out, m.Settings, sizeof out);
        std::memset(out.Name, 0, sizeof out.Name);
        std::memcpy(out.Name, m.Settings->Name, strnlen(m.Settings->Name, sizeof out.Name));
        out.Position = UnitsToFloat(m.StepsToUnits(m.Position));
        out.Zero = UnitsToFloat(m.StepsToUnits(m.ZeroOffset));
        std::memcpy(info, &out, sizeof out);
        return true;
    });
}

KX_EXPORT bool _SM_Stop(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, false, [](USBDriver &, SMotor &m) {
        m.Stop();
        return true;
    });
}

KX_EXPORT bool _SMN_Stop(const char *name)
{
    return WithNamedMotor(name, false, [](USBDriver &, SMotor &m) {
        m.Stop();
        return true;
    });
}

KX_EXPORT bool _SM_Initialize(unsigned int dev, unsigned int mot)
{
    return WithMotor(dev, mot, false, [](USBDriver &, SMotor &m) {
        m.Initialize();
        return true;
    });
}

KX_EXPORT bool _SM_Reset(unsigned int dev, unsigned int mot)
{
    return StopAndWait(dev, mot, [](SMotor &m) { m.ResetPosition(); });
}

KX_EXPORT bool _SMN_Reset(const char *name)
{
    // At once, without stop or wait: a running motor just stops stepping at
    // the next tick, with no event and no release.
    return WithNamedMotor(name, false, [](USBDriver &, SMotor &m) {
        m.ResetPosition();
        return true;
    });
}

KX_EXPORT bool _SM_Release(unsigned int dev, unsigned int mot)
{
    return WithBoard(dev, false, [mot](USBDriver &b) {
        if (!MotorIndexValid(b, mot))
            return false;
        return b.Release(mot);
    });
}

KX_EXPORT bool _SMN_Release(const char *name)
{
    return Guarded(false, [name] {
        unsigned dev = 0, mot = 0;
        return ResolveName(name, &dev, &mot) && _SM_Release(dev, mot);
    });
}

KX_EXPORT bool _SM_Remove(unsigned int dev, unsigned int mot)
{
    return WithBoard(dev, false, [mot](USBDriver &b) {
        if (!MotorIndexValid(b, mot))
            return false;
        if (!b.RemoveMotor(mot))
            return false;
        // The motor is gone even when the save fails.
        return b.SaveSettings(false);
    });
}

KX_EXPORT int _INF_GetMTypeName(int type, const char **typeName)
{
    return Guarded(0, [&] {
        const char *name = GetMotorTypeName(static_cast<uint8_t>(type & 0xFF));
        if (typeName != nullptr)
            *typeName = name;
        return static_cast<int>(std::strlen(name));
    });
}

}   // extern "C"
