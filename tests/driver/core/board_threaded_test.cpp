// board_threaded_test.cpp - the real 1 ms tick thread with clients working at
// the same time: opening, closing, releasing and discovering from several
// threads, a host handler that calls back into the library from inside the
// tick, a release that waits while another thread empties the list, and
// transient device faults from every side.
// Bounds on time are generous; these tests look for hangs, crashes and races.
#include "board_fixture.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "periodic.h"
#include "schedprio.h"
#include "stophook.h"

using namespace boardtest;

namespace {

template <class F> bool WaitFor(F done, int ms)
{
    for (int i = 0; i < ms && !done(); ++i)
        kxtimer::SleepMs(1);
    return done();
}

class TickThreadTest : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        SetTickTimerSuppressed(false);
        SetMotorStoppedHook(&TickThreadTest::OnEvent);
        inside = nullptr;
        events = 0;
    }
    void TearDown() override
    {
        _CloseAllDevices();
        SetMotorStoppedHook(nullptr);
        inside = nullptr;
        BoardTest::TearDown();
    }

    static void OnEvent(int32_t index)
    {
        if (void (*f)(int32_t) = inside.load())
            f(index);
        events.fetch_add(1);
    }

    static std::atomic<void (*)(int32_t)> inside;
    static std::atomic<int> events;
};
std::atomic<void (*)(int32_t)> TickThreadTest::inside{nullptr};
std::atomic<int> TickThreadTest::events{0};

std::string ThreadName(uint32_t tid)
{
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

TEST_F(TickThreadTest, OpenStartsTheTickAndCloseAllStopsIt)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a")}));
    EXPECT_FALSE(TickTimerRunning());
    ASSERT_EQ(_RefreshDevices(), 1);
    EXPECT_TRUE(TickTimerRunning());
    EXPECT_NE(TickTimerId, 0u);
    ASSERT_TRUE(WaitFor([] { return TickThreadId.load() != 0; }, 5000));
    const uint32_t tid = TickThreadId.load();
    EXPECT_EQ(ThreadName(tid), "kinetrax-tick");
    EXPECT_TRUE(StartTickTimer());   // already running: starts nothing

    ASSERT_TRUE(_SM_Move(0, 0, 20.0));
    ASSERT_TRUE(WaitFor([] { return !_SM_IsRunning(0, 0); }, 10000));
    EXPECT_EQ(_SM_GetPosition(0, 0), 20.0);
    EXPECT_GE(events.load(), 1);

    _CloseAllDevices();
    EXPECT_FALSE(TickTimerRunning());
    EXPECT_EQ(TickTimerId, 0u);
    StopTickTimer();   // not running: nothing
    // A new pass opens the board again and starts a new tick; the tick
    // thread id of the first tick stays.
    ASSERT_EQ(_RefreshDevices(), 1);
    EXPECT_TRUE(TickTimerRunning());
    EXPECT_EQ(TickThreadId.load(), tid);
}

// A client at normal priority that holds a board's lock while the real-time
// tick waits for it runs at the tick's priority until it lets go.
TEST_F(TickThreadTest, AClientHoldingABoardsLockRunsAtTheTicksPriority)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a")}));
    ASSERT_EQ(_RefreshDevices(), 1);
    ASSERT_TRUE(WaitFor([] { return TickThreadId.load() != 0; }, 5000));
    const long tickPriority = KernelPriority(static_cast<pid_t>(TickThreadId.load()));
    if (tickPriority >= 0)
        GTEST_SKIP() << "the tick runs at normal priority here (no SCHED_FIFO)";
    std::atomic<pid_t> holder{0};
    std::atomic<bool> release{false};
    std::thread client([&] {
        ListReadGuard list;
        USBDriver &board = *DeviceList.At(0);
        board.Lock.lock();
        holder = static_cast<pid_t>(::syscall(SYS_gettid));
        while (!release.load())
            kxtimer::SleepMs(1);
        board.Lock.unlock();
    });
    ASSERT_TRUE(WaitFor([&] { return holder.load() != 0; }, 5000));
    long lent = 0;
    WaitFor([&] { return (lent = KernelPriority(holder.load())) < 0; }, 5000);
    EXPECT_EQ(lent, tickPriority);
    release = true;
    client.join();
}

TEST_F(TickThreadTest, HostHandlerInsideTheTickMayCloseAllAndRediscover)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a")}));
    ASSERT_EQ(_RefreshDevices(), 1);
    static std::atomic<int> handled{0};
    handled = 0;
    inside = [](int32_t) {
        if (handled.load() != 0)
            return;
        _CloseAllDevices();   // from the tick thread: no deadlock, no freed board touched
        _RefreshDevices();    // and a new board, a restarted tick
        handled = 1;
    };
    ASSERT_TRUE(_SM_Move(0, 0, 5.0));
    ASSERT_TRUE(WaitFor([] { return handled.load() == 1; }, 10000));
    inside = nullptr;
    EXPECT_EQ(DeviceList.Size(), 1u);
    EXPECT_TRUE(_CheckDeviceConnection(0));
    EXPECT_TRUE(WaitFor([] { return TickTimerRunning(); }, 2000));
    // The restarted tick moves motors again.
    ASSERT_TRUE(_SM_Move(0, 0, 9.0));
    EXPECT_TRUE(WaitFor([] { return !_SM_IsRunning(0, 0); }, 10000));
    EXPECT_EQ(_SM_GetPosition(0, 0), 9.0);
}

TEST_F(TickThreadTest, DiscoveryElsewhereWhileTheTickHandlerRediscovers)
{
    // The handler stops the tick thread from inside it; a discovery on another
    // thread then opens a new board and starts the tick, which waits for the
    // stopping thread to end, while that thread's handler asks for a
    // discovery pass of its own.
    WriteSettings("S1", Block({Slot(1, 0x85, "a")}));
    ASSERT_EQ(_RefreshDevices(), 1);
    static std::atomic<int> stage{0};
    stage = 0;
    inside = [](int32_t) {
        if (stage.load() != 0)
            return;
        _CloseAllDevices();
        stage = 1;
        kxtimer::SleepMs(300);   // the other discovery opens the board meanwhile
        _RefreshDevices();
        stage = 2;
    };
    std::thread other([] {
        while (stage.load() == 0)
            kxtimer::SleepMs(1);
        _RefreshDevices();
    });
    ASSERT_TRUE(_SM_Move(0, 0, 5.0));
    if (!WaitFor([] { return stage.load() == 2; }, 10000)) {
        ADD_FAILURE() << "discovery and the stopping tick thread wait for each other";
        std::fflush(nullptr);
        std::_Exit(1);   // the two threads never end
    }
    other.join();
    inside = nullptr;
    EXPECT_EQ(DeviceList.Size(), 1u);
    EXPECT_TRUE(WaitFor([] { return TickTimerRunning(); }, 2000));
}

TEST_F(TickThreadTest, ReleaseWaitGivesUpWhenTheListIsEmptied)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a")}));
    ASSERT_EQ(_RefreshDevices(), 1);
    {
        // Running but held: only the tick could bring it to rest, and it won't.
        ListReadGuard list;
        BoardLock lock(*DeviceList.At(0));
        ASSERT_TRUE(DeviceList.At(0)->Motors[0].MoveTo(1000000, true));
        DeviceList.At(0)->HoldStart = true;
    }
    std::atomic<int> result{-1};
    const auto start = std::chrono::steady_clock::now();
    std::thread waiter([&] { result = _SM_Release(0, 0) ? 1 : 0; });
    kxtimer::SleepMs(100);
    _CloseAllDevices();
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(TickThreadTest, ClientsOpenCloseReleaseAndDiscoverWhileTheTickRuns)
{
    simbus::Reset("TRUV-kq4:S1,TRUV-RZDO:S2");
    WriteSettings("S1", Block({Slot(1, 0x85, "a"), Slot(2, 0x85, "b")}));
    WriteSettings("S2", Block({Slot(1, 0x01, "c")}));
    ASSERT_EQ(_RefreshDevices(), 2);
    inside = [](int32_t) {
        unsigned dev = 0, mot = 0;
        _SM_GetIndex(&dev, &mot, "a", nullptr, 0);   // a handler reading back
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!stop)
            _RefreshDevices();
    });
    threads.emplace_back([&] {
        while (!stop) {
            _CloseDevice(0);
            _OpenDevice(0);
            _SM_ReleaseAll();
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            _SM_Move(0, i % 2, (i % 7) * 3.0);
            _SM_Move(1, 0, (i % 5) * 2.0);
            _SM_Release(1, 0);
            _RenameDevice(1, i % 2 ? "Even" : "Odd");
            kxtimer::SleepMs(1);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            if (i % 50 == 49)
                _CloseAllDevices();
            ListReadGuard list;
            if (DeviceList.Size() > 0)
                DeviceList.At(0)->OnWatchTimer();
            kxtimer::SleepMs(2);
        }
    });
    kxtimer::SleepMs(1500);
    stop = true;
    for (std::thread &t : threads)
        t.join();
    inside = nullptr;
    EXPECT_GE(_RefreshDevices(), 2);
    EXPECT_TRUE(TickTimerRunning());
}

TEST_F(TickThreadTest, FailedQueriesOpensAndNameWritesWhileTheTickRuns)
{
    // Transient faults from every side while the tick steps the motors: status
    // queries that close a board as lost, Opens that fail at their release,
    // name writes that fail. Afterwards each board is open on one handle.
    simbus::Reset("TRUV-kq4:S1,TRUV-RZDO:S2");
    WriteSettings("S1", Block({Slot(1, 0x85, "a"), Slot(2, 0x85, "b")}));
    WriteSettings("S2", Block({Slot(1, 0x01, "c")}));
    ASSERT_EQ(_RefreshDevices(), 2);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {   // the watchdogs, with a failing query now and then
        for (int i = 0; !stop; ++i) {
            if (i % 3 == 0)
                simbus::FailNext(simbus::Op::QueryStatus, 1);
            {
                ListReadGuard list;
                for (uint32_t d = 0; d < DeviceList.Size(); ++d)
                    DeviceList.At(d)->OnWatchTimer();
            }
            kxtimer::SleepMs(1);
        }
    });
    threads.emplace_back([&] {   // closes and Opens that fail at their release
        for (int i = 0; !stop; ++i) {
            _CloseDevice(i % 2);
            simbus::FailNext(simbus::Op::WriteBytes, 1);
            _OpenDevice(i % 2);
            kxtimer::SleepMs(2);
        }
    });
    threads.emplace_back([&] {   // clients moving, renaming and removing nothing
        for (int i = 0; !stop; ++i) {
            _SM_Move(0, i % 2, (i % 7) * 3.0);
            _SMN_Move("c", (i % 5) * 2.0, false, 0);
            if (i % 4 == 0)
                simbus::FailNext(simbus::Op::WriteUserArea, 1);
            _RenameDevice(1, i % 2 ? "Even" : "Odd");
            kxtimer::SleepMs(1);
        }
    });
    kxtimer::SleepMs(1500);
    stop = true;
    for (std::thread &t : threads)
        t.join();
    for (simbus::Op op : {simbus::Op::QueryStatus, simbus::Op::WriteBytes, simbus::Op::WriteUserArea})
        simbus::FailNext(op, 0);
    EXPECT_EQ(_RefreshDevices(), 2);
    EXPECT_TRUE(_CheckDeviceConnection(0));
    EXPECT_TRUE(_CheckDeviceConnection(1));
    EXPECT_EQ(simbus::OpenHandles(), 2u);
    EXPECT_EQ(_SM_GetCount(0), 2);
    EXPECT_EQ(ReadFile(SettingsPath("S2")).size(), 289u);
}

}   // namespace
