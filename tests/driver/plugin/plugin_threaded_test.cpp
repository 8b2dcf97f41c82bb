// plugin_threaded_test.cpp - "Motor Stopped" from the real 1 ms tick thread,
// with a host whose RaiseEvent calls back into the library from inside.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "handler_cases.h"
#include "host_folder.h"
#include "hardware.h"
#include "kinetrax.h"
#include "motorstopped.h"
#include "qdxplugin.h"
#include "recording_host.h"
#include "simbus.h"

using namespace qdxtest;

namespace {

// The host registered on the two test boards with the real tick running;
// `inside` runs inside its RaiseEvent.
class PluginThreaded : public ::testing::Test {
protected:
    void Register(int32_t eventId, void (*inside)(int32_t))
    {
        dir_ = PrepareHostFolder("/tmp/kx-plugin-thr-XXXXXX");
        ASSERT_FALSE(dir_.empty());
        Rec().eventId = eventId;
        Rec().inside = inside;
        host_ = MakeHost(18);
        ASSERT_EQ(_InitQdxPlugin(&host_), 0);
        ASSERT_TRUE(TickTimerRunning());
    }

    void TearDown() override
    {
        Rec().inside = nullptr;
        _CloseAllDevices();
        QdxHost = nullptr;
        std::error_code ec;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ec);
    }

    std::string dir_;
    QdxHostFuncs host_;
};

// What the host saw when it called back from inside its RaiseEvent.
struct Inside {
    std::atomic<int> calls{0};
    std::atomic<int> running{-2};
    std::atomic<unsigned> count{0};
    std::atomic<bool> moveStarted{false};
    std::atomic<bool> gotInfo{false};
};
Inside g_inside;

void CallBack(int32_t index)
{
    const int n = ++g_inside.calls;
    if (index != 1)
        return;
    g_inside.running = _SMN_IsRunning("Lift");
    g_inside.count = _SM_GetCountInAll();
    SMotorSettings s;
    g_inside.gotInfo = _SM_GetInfoInAll(1, &s);
    // The first stop sends Lift back: a move started from inside the event.
    if (n == 1)
        g_inside.moveStarted = _SMN_Move("Lift", 2.5, false, 0);
}

TEST_F(PluginThreaded, MotorStoppedFromTheTickThreadMayCallBackIntoTheLibrary)
{
    Register(31, CallBack);

    ASSERT_TRUE(_SMN_Move("Lift", 2.6, false, 0));   // ten 1 ms steps
    ASSERT_TRUE(Rec().WaitRaises(2)) << "no Motor Stopped within 10 s";
    const std::vector<Raise> raises = Rec().Raises();
    for (const Raise &r : raises) {
        EXPECT_EQ(r.id, 31);
        EXPECT_EQ(r.argument, 1);
        EXPECT_NE(r.thread, std::this_thread::get_id()) << "not raised on the tick thread";
    }
    EXPECT_EQ(g_inside.running.load(), 0);
    EXPECT_EQ(g_inside.count.load(), kTestMotors);
    EXPECT_TRUE(g_inside.gotInfo.load());
    EXPECT_TRUE(g_inside.moveStarted.load());
    EXPECT_DOUBLE_EQ(_SM_GetPosition(0, 1), 2.5);
}

// From "Motor Stopped" of X-axis on the tick thread: "Set Zero" and "Release
// Motor" of the running Slow. They must not wait there.
struct WaitsInside {
    std::atomic<int> calls{0};
    std::atomic<int> zero{-1}, release{-1};
    std::atomic<double> took{-1};
};
WaitsInside g_waits;

void CallWaitsBack(int32_t index)
{
    if (index != 0 || ++g_waits.calls != 1)
        return;
    const double start = GetClockSeconds();
    // A failure: the handler's result 1 and Succes 0.
    Block out(0xAB);
    if (Call("Set Zero", NameIn("Slow"), out) == 1)
        g_waits.zero = out.Get<int32_t>(0);
    if (Call("Release Motor", NameIn("Slow"), out) == 1)
        g_waits.release = out.Get<int32_t>(0);
    g_waits.took = GetClockSeconds() - start;
}

TEST_F(PluginThreaded, WaitingFunctionsCalledFromTheTickThreadStopTheMotorAndFailAtOnce)
{
    Register(32, CallWaitsBack);

    ASSERT_TRUE(_SMN_Move("Slow", 1000.0, false, 0));
    ASSERT_TRUE(_SMN_Move("X-axis", 2.0, false, 0));   // one step, then the event
    ASSERT_TRUE(Rec().WaitRaises(1)) << "no Motor Stopped within 10 s";
    EXPECT_EQ(g_waits.zero.load(), 0);
    EXPECT_EQ(g_waits.release.load(), 0);
    EXPECT_GE(g_waits.took.load(), 0.0);
    EXPECT_LT(g_waits.took.load(), 1.0);
    // The stop was asked for and the tick went on: Slow comes to rest and
    // raises its own event.
    ASSERT_TRUE(Rec().WaitRaises(2)) << "Slow did not stop";
    EXPECT_EQ(_SMN_IsRunning("Slow"), 0);
    Block out(0xAB);
    ASSERT_EQ(Call("Set Zero", NameIn("Slow"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 1);
}

}   // namespace
