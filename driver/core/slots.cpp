// slots.cpp - the board's motor slots (store, add, remove), its rename, and the
// store half of a motor setup (the slot change and the save).
//
// A slot's settings and the motor's run-time record share an index. Removing a
// motor moves the later slots down and their run-time state with them; a motor
// added at an index starts at position 0 with zero offset 0. Everything runs on
// the caller's thread under the board's OpLock and Lock, so the tick sees
// either the old slots or the new ones.
#include <cstring>
#include <mutex>

#include "hardware.h"

namespace {

// The run-time record at rest with position, target, destination and zero 0.
void ClearRunState(SMotor &m)
{
    m.ClearRamp();
    m.ResetPosition();
    m.ZeroOffset = 0;
}

}   // namespace

void PutBoardName(char *dst, const char *name, size_t n)
{
    if (n > kBoardNameBytes)
        n = kBoardNameBytes;
    std::memcpy(dst, name, n);
    std::memset(dst + n, 0, kBoardNameBytes - n);
}

bool USBDriver::SetMotorSettings(int slot, const SMotorSettings *settings, bool checkAddress)
{
    kx::LockGuard<kx::Mutex> op(OpLock);
    BoardLock lock(*this);
    return SetMotorSettingsLocked(slot, settings, checkAddress);
}

bool USBDriver::SetMotorSettingsLocked(int slot, const SMotorSettings *settings, bool checkAddress)
{
    if (slot < 0 || slot >= static_cast<int>(kMotorsPerBoard) || settings == nullptr)
        return false;
    try {
        const SMotorSettings s = *settings;   // the record may be the slot below
        if (checkAddress) {
            const uint32_t count = MotorCount.load(std::memory_order_relaxed);
            for (uint32_t j = 0; j < count && j < kMotorsPerBoard; ++j) {
                if (static_cast<int>(j) != slot && Settings.MotorSettings[j].Address == s.Address)
                    return false;
            }
        }
        PutBoardName(Settings.BoardName, Name.data(), Name.size());
        SMotorSettings &d = Settings.MotorSettings[slot];
        const size_t n = strnlen(s.Name, sizeof s.Name);
        std::memcpy(d.Name, s.Name, n);
        std::memset(d.Name + n, 0, sizeof d.Name - n);
        d.Address = s.Address;
        d.TypeCode = s.TypeCode;
        d.Position = s.Position;
        d.Zero = s.Zero;
        d.TravelLength = s.TravelLength;
        d.Coefficient = s.Coefficient;
        d.StartPosition = s.StartPosition;
        d.AccelLength = s.AccelLength;
        d.MinStepTime = s.MinStepTime;
        d.MaxStepTime = s.MaxStepTime;
        d.HalfSteps = s.HalfSteps;
        d.AutoRelease = s.AutoRelease;
        return true;
    } catch (...) {
        return false;
    }
}

int USBDriver::AddMotor(const SMotorSettings *settings)
{
    kx::LockGuard<kx::Mutex> op(OpLock);
    BoardLock lock(*this);
    // A board that is not open counts no motor (its slots come back with the
    // next Open), so none can be moved on it; its save would fail anyway.
    if (!Opened.load(std::memory_order_relaxed))
        return -1;
    const uint32_t count = MotorCount.load(std::memory_order_relaxed);
    if (count >= kMotorsPerBoard)
        return -1;
    if (!SetMotorSettingsLocked(static_cast<int>(count), settings, true))
        return -1;
    // Not the state of a motor that used this index before.
    ClearRunState(Motors[count]);
    MotorCount.store(count + 1, std::memory_order_release);
    return static_cast<int>(count);
}

bool USBDriver::RemoveMotor(unsigned motor)
{
    kx::LockGuard<kx::Mutex> op(OpLock);
    BoardLock lock(*this);
    const uint32_t count = MotorCount.load(std::memory_order_relaxed);
    if (motor >= count || count > kMotorsPerBoard)
        return false;
    for (uint32_t k = motor; k < count; ++k) {
        if (Motors[k].IsRunning())
            return false;
    }
    for (uint32_t k = motor + 1; k < count; ++k) {
        if (!SetMotorSettingsLocked(static_cast<int>(k - 1), &Settings.MotorSettings[k], false))
            return false;
        // The motor's run-time state moves with its settings.
        SMotor &to = Motors[k - 1];
        const SMotor &from = Motors[k];
        to.Position = from.Position;
        to.Target = from.Target;
        to.Destination = from.Destination;
        to.DestinationIsUser = from.DestinationIsUser;
        to.ZeroOffset = from.ZeroOffset;
        to.ClearRamp();   // at rest (checked above), with no ramp
    }
    MotorCount.store(count - 1, std::memory_order_release);
    ResetMotorSettings(static_cast<int>(count - 1));
    ClearRunState(Motors[count - 1]);
    return true;
}

bool USBDriver::Rename(const char *name)
{
    if (name == nullptr)
        return false;
    kx::LockGuard<kx::Mutex> op(OpLock);
    const size_t n = std::strlen(name);
    {
        kx::LockGuard<kx::PiMutex> lock(Lock);
        PutBoardName(Settings.BoardName, name, n);
    }
    Name.assign(name, n);
    return SaveSettingsLocked(false);
}

bool CheckMotorSetupSlot(unsigned dev, int mot, uint64_t *generation)
{
    ListReadGuard list;
    if (dev >= DeviceList.Size())
        return false;
    USBDriver *board = DeviceList.At(dev);
    // Signed comparison: any negative mot (a new motor) passes.
    if (mot >= 0 && static_cast<unsigned>(mot) >= board->MotorCount.load(std::memory_order_acquire))
        return false;
    *generation = DeviceListGeneration();
    return true;
}

int StoreMotorSetup(unsigned dev, int mot, const SMotorSettings &s, uint64_t generation)
{
    ListReadGuard list;
    if (DeviceListGeneration() != generation || dev >= DeviceList.Size())
        return -1;
    USBDriver *board = DeviceList.At(dev);
    if (mot < 0) {
        mot = board->AddMotor(&s);
    } else if (static_cast<unsigned>(mot) >= board->MotorCount.load(std::memory_order_acquire) ||
               !board->SetMotorSettings(mot, &s, true)) {
        // (a motor removed while the dialog was open is not written back)
        mot = -1;
    }
    if (mot < 0)
        return -1;
    return board->SaveSettings(false) ? mot : -1;
}
