// exports_fixture.h - shared set-up of the exported-interface tests: two
// simulated boards whose settings files are written into a temporary
// "configs/" directory, a recorder for "Motor Stopped", and helpers that reach
// the boards' live state.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "hardware.h"
#include "kinetrax.h"
#include "records.h"
#include "motor.h"
#include "simbus.h"
#include "stophook.h"

namespace kxtest {

using records::Slot;

// Every "Motor Stopped" raised, with a hook run inside the host's callback.
struct EventLog {
    std::mutex mutex;
    std::vector<int32_t> events;
    void (*inside)(int32_t index) = nullptr;   // runs inside the callback

    std::vector<int32_t> Take()
    {
        std::lock_guard<std::mutex> l(mutex);
        std::vector<int32_t> out;
        out.swap(events);
        return out;
    }
};
inline EventLog &Events()
{
    static EventLog log;
    return log;
}
inline void RecordEvent(int32_t index)
{
    if (Events().inside != nullptr)
        Events().inside(index);
    std::lock_guard<std::mutex> l(Events().mutex);
    Events().events.push_back(index);
}

class BoardsFixture : public ::testing::Test {
protected:
    static constexpr const char *kSer0 = "SER0";
    static constexpr const char *kSer1 = "SER1";

    void SetUp() override
    {
        SetTickTimerSuppressed(suppressTick_);
        old_ = std::filesystem::current_path();
        char templ[] = "/tmp/kx-exports-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        std::filesystem::create_directory(dir_ / "configs");
        std::filesystem::current_path(dir_);
        simbus::Reset("TRUV-kq4:SER0,TRUV-RZDO:SER1");
        SetMotorStoppedHook(RecordEvent);
        Events().inside = nullptr;
        Events().Take();
    }

    void TearDown() override
    {
        _CloseAllDevices();
        SetMotorStoppedHook(nullptr);
        Events().inside = nullptr;
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        SetTickTimerSuppressed(false);
    }

    // Writes the board's settings file with these slots (the rest reset).
    void WriteBoard(const char *serial, const std::vector<SMotorSettings> &slots)
    {
        DeviceSettings block;
        std::memset(&block, 0, sizeof block);
        for (int i = 0; i < 7; ++i)
            block.MotorSettings[i].Coefficient = 1.0f;
        for (size_t i = 0; i < slots.size() && i < 7; ++i)
            block.MotorSettings[i] = slots[i];
        std::ofstream f(std::string("configs/") + serial + ".hws", std::ios::binary);
        f.write(reinterpret_cast<const char *>(&block), sizeof block);
    }

    // Both boards with these motors, discovered and open.
    void OpenBoards(const std::vector<SMotorSettings> &b0, const std::vector<SMotorSettings> &b1)
    {
        WriteBoard(kSer0, b0);
        WriteBoard(kSer1, b1);
        ASSERT_EQ(_RefreshDevices(), 2);
        ASSERT_EQ(_SM_GetCount(0), static_cast<int>(b0.size()));
        ASSERT_EQ(_SM_GetCount(1), static_cast<int>(b1.size()));
    }

    static USBDriver &Board(unsigned dev) { return *DeviceList.At(dev); }
    static SMotor &Motor(unsigned dev, unsigned mot) { return Board(dev).Motors[mot]; }

    // One tick of every board at `now`, as the tick thread would run it.
    static void TickAt(double now)
    {
        for (uint32_t i = 0; i < DeviceList.Size(); ++i)
            DeviceList.At(i)->Tick(now);
    }
    // Ticks 1 ms apart from `start` until the motor is at rest (at most n ticks).
    static double TickUntilStopped(unsigned dev, unsigned mot, double start, unsigned n = 10000)
    {
        double t = start;
        for (unsigned i = 0; i < n && _SM_IsRunning(dev, mot); ++i, t += 0.001)
            TickAt(t);
        return t;
    }

    bool suppressTick_ = true;
    std::filesystem::path old_, dir_;
};

}   // namespace kxtest
