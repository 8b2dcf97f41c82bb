// exports_threaded_test.cpp - the exported functions against the real 1 ms
// tick thread: stop-and-wait, releases of running motors, the synchronous
// start, emptying the list while motors run and from inside a host callback on
// the tick thread, and clients on several threads at once.
#include "exports_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

using kxtest::BoardsFixture;
using kxtest::Events;
using kxtest::Slot;

namespace {

constexpr uint8_t kX4 = 0x85;

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()> &done, double seconds = 5.0)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ExportsTick : public BoardsFixture {
protected:
    ExportsTick() { suppressTick_ = false; }
};

class ExportsHeld : public BoardsFixture {};   // the tick stays suppressed

TEST_F(ExportsTick, StopAndWaitLetsTheTickBringTheMotorToRest)
{
    // 4 ms per step, a ramp of 5 steps: the stop takes a few tens of ms.
    OpenBoards({Slot(1, kX4, "M", 1.0f, 0.0f, 5, 4, 4)}, {});
    ASSERT_TRUE(_SM_Move(0, 0, 10000.0));
    ASSERT_TRUE(WaitUntil([] { return _SM_GetRealPosition(0, 0) >= 10.0; }));
    ASSERT_TRUE(_SM_SetZero(0, 0));
    EXPECT_FALSE(_SM_IsRunning(0, 0));
    EXPECT_GT(_SM_GetZero(0, 0), 10.0);
    EXPECT_EQ(_SM_GetPosition(0, 0), 0.0);

    ASSERT_TRUE(_SM_Move(0, 0, 10000.0));
    ASSERT_TRUE(WaitUntil([] { return _SM_GetPosition(0, 0) >= 5.0; }));
    ASSERT_TRUE(_SM_Reset(0, 0));
    EXPECT_FALSE(_SM_IsRunning(0, 0));
    EXPECT_EQ(_SM_GetRealPosition(0, 0), 0.0);

    ASSERT_TRUE(_SMN_Move("M", 10000.0, false, 0));
    ASSERT_TRUE(WaitUntil([] { return _SM_GetRealPosition(0, 0) >= 5.0; }));
    ASSERT_TRUE(_SMN_Release("M"));
    EXPECT_FALSE(_SM_IsRunning(0, 0));
    auto writes = simbus::Writes(kSer0);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), (std::vector<uint8_t>{0x80, 0xF0}));

    ASSERT_TRUE(_SM_Move(0, 0, -10000.0));
    ASSERT_TRUE(WaitUntil([] { return _SM_IsRunning(0, 0); }));
    EXPECT_TRUE(_SM_ReleaseAll());
    EXPECT_FALSE(_SM_IsRunning(0, 0));
}

TEST_F(ExportsTick, StopAndWaitOfAMotorDeceleratingForANewTargetEndsWhereItSlowsDown)
{
    // 2 ms cruise, ramp of 10: the deceleration away from a target far
    // behind takes about 60 ms; every waiting function stops the motor there
    // and succeeds, without the motor turning back.
    OpenBoards({Slot(1, kX4, "M", 1.0f, 0.0f, 10, 2, 2)}, {});
    struct Case {
        const char *what;
        bool (*call)();
        bool keepsPosition;
    };
    const Case cases[] = {
        {"_SM_Reset", [] { return _SM_Reset(0, 0); }, false},
        {"_SM_SetZero", [] { return _SM_SetZero(0, 0); }, true},
        {"_SMN_SetZero", [] { return _SMN_SetZero("M"); }, true},
        {"_SM_Release", [] { return _SM_Release(0, 0); }, true},
        {"_SMN_Release", [] { return _SMN_Release("M"); }, true},
        {"_SM_ReleaseAll", [] { return _SM_ReleaseAll(); }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const double from = _SM_GetRealPosition(0, 0);
        ASSERT_TRUE(_SM_Move(0, 0, from + 100000.0 - _SM_GetZero(0, 0)));
        ASSERT_TRUE(WaitUntil([&] { return _SM_GetRealPosition(0, 0) >= from + 20.0; }));
        ASSERT_TRUE(_SM_Move(0, 0, from - 20000.0 - _SM_GetZero(0, 0)));
        const double at = _SM_GetRealPosition(0, 0);
        const auto start = Clock::now();
        EXPECT_TRUE(c.call());
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
        EXPECT_FALSE(_SM_IsRunning(0, 0));
        if (c.keepsPosition) {
            EXPECT_GE(_SM_GetRealPosition(0, 0), at);
            EXPECT_LE(_SM_GetRealPosition(0, 0), at + 10.0);
        }
    }
}

TEST_F(ExportsTick, AWaitInAHandlerOnTheTickThreadNeitherSleepsNorHaltsTheTick)
{
    // Motor A ends a short move; its handler, on the tick thread, resets the
    // long-running motor B of the other board.
    OpenBoards({Slot(1, kX4, "A")}, {Slot(1, kX4, "B", 1.0f, 0.0f, 5, 2, 2)});
    static std::atomic<int> result;
    static std::atomic<double> took;
    static std::thread::id mainThread;
    result = -1;
    mainThread = std::this_thread::get_id();
    Events().inside = [](int32_t index) {
        if (index != 0 || std::this_thread::get_id() == mainThread || result.load() != -1)
            return;
        const double start = GetClockSeconds();
        result = _SM_Reset(1, 0) ? 1 : 0;
        took = GetClockSeconds() - start;
    };
    ASSERT_TRUE(_SM_Move(1, 0, 100000.0));
    ASSERT_TRUE(WaitUntil([] { return _SM_GetRealPosition(1, 0) >= 20.0; }));
    ASSERT_TRUE(_SM_Move(0, 0, 2.0));
    ASSERT_TRUE(WaitUntil([] { return result.load() != -1; }));
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(took.load(), 1.0);
    // The stop was issued and the tick went on: B comes to rest soon.
    EXPECT_TRUE(WaitUntil([] { return !_SM_IsRunning(1, 0); }, 2.0));
    EXPECT_LT(_SM_GetRealPosition(1, 0), 1000.0);
    EXPECT_TRUE(_SM_Reset(1, 0));   // (the handler acts only once)
    EXPECT_EQ(_SM_GetRealPosition(1, 0), 0.0);
}

TEST_F(ExportsTick, AHandlerAnsweringEveryEventGetsAboutOnePerTick)
{
    // Every "Motor Stopped" of A is answered, on the tick thread, with a move
    // to A's current target, which raises the event again.
    OpenBoards({Slot(1, kX4, "A")}, {Slot(1, kX4, "C"), Slot(2, kX4, "B")});
    static std::atomic<long> answered;
    static std::thread::id mainThread;
    answered = 0;
    mainThread = std::this_thread::get_id();
    Events().inside = [](int32_t index) {
        if (index == 0 && std::this_thread::get_id() != mainThread) {
            ++answered;
            _SM_Move(0, 0, 1.0);
        }
    };
    ASSERT_TRUE(_SM_Move(0, 0, 1.0));
    ASSERT_TRUE(WaitUntil([] { return answered.load() >= 20; }));
    // Meanwhile the other board's motor still steps.
    ASSERT_TRUE(_SM_Move(1, 1, 30.0));
    EXPECT_TRUE(WaitUntil([] { return !_SM_IsRunning(1, 1); }));
    EXPECT_EQ(_SM_GetRealPosition(1, 1), 30.0);
    const auto start = Clock::now();
    const long before = answered.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long during = answered.load() - before;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    // At most one per tick (a late tick catches up by one walk at a time).
    EXPECT_LE(during, static_cast<long>(ms) + 20);
    // Shut-down completes.
    _CloseAllDevices();
    EXPECT_FALSE(TickTimerRunning());
    Events().inside = nullptr;
}

TEST_F(ExportsHeld, StopAndWaitGivesUpAfterTenSeconds)
{
    // No tick runs, so no running motor ever comes to rest.
    OpenBoards({Slot(1, kX4, "M", 1.0f, 10.0f, 3, 4, 4), Slot(2, kX4, "N", 1.0f, 20.0f, 3, 4, 4)},
               {Slot(1, kX4, "R", 1.0f, 0.0f, 3, 4, 4)});
    ASSERT_TRUE(_SM_Move(0, 0, 100.0));
    ASSERT_TRUE(_SM_Move(0, 1, 100.0));
    ASSERT_TRUE(_SM_Move(1, 0, 100.0));
    simbus::ClearCalls();
    const auto start = Clock::now();
    std::atomic<bool> zero{true}, reset{true}, release{true};
    std::thread a([&] { zero = _SM_SetZero(0, 0); });
    std::thread b([&] { reset = _SM_Reset(0, 1); });
    std::thread c([&] { release = _SM_Release(1, 0); });
    a.join();
    b.join();
    c.join();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_FALSE(zero);
    EXPECT_FALSE(reset);
    EXPECT_FALSE(release);
    EXPECT_GE(took, 10.0);
    // Nothing was changed and nothing sent; the stop requests stay in force.
    EXPECT_EQ(_SM_GetZero(0, 0), 0.0);
    EXPECT_EQ(_SM_GetRealPosition(0, 0), 10.0);
    EXPECT_EQ(_SM_GetRealPosition(0, 1), 20.0);
    EXPECT_EQ(Motor(0, 0).Target, 13);
    EXPECT_EQ(Motor(0, 1).Target, 23);
    EXPECT_TRUE(simbus::Writes(kSer1).empty());
    EXPECT_TRUE(_SM_IsRunning(0, 0));
    _SMN_Reset("M");
    _SMN_Reset("N");
    _SMN_Reset("R");
}

TEST_F(ExportsTick, RunStartsEveryMotorOnTheSameTick)
{
    OpenBoards({Slot(1, kX4, "A"), Slot(2, kX4, "B"), Slot(3, kX4, "C")}, {});
    for (int round = 0; round < 30; ++round) {
        const double to = (round % 2 == 0) ? 2.0 : 0.0;
        for (unsigned m = 0; m < 3; ++m)
            ASSERT_TRUE(_SM_SetDestination(0, m, to));
        simbus::ClearCalls();
        ASSERT_TRUE(_Run(0));
        ASSERT_TRUE(WaitUntil([] { return !_SM_IsRunning(0, 0) && !_SM_IsRunning(0, 1) && !_SM_IsRunning(0, 2); }));
        auto writes = simbus::Writes(kSer0);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.front().size(), 9u) << "round " << round;   // three frames at once
    }
}

TEST_F(ExportsTick, CloseAllWhileMotorsRunAndClientsCall)
{
    std::atomic<bool> stop{false};
    // Another client thread keeps calling in while the list fills and empties.
    std::thread reader([&] {
        char buf[16];
        unsigned dev = 0, mot = 0;
        while (!stop.load()) {
            _SM_GetCountInAll();
            _SM_GetPosition(0, 0);
            _SM_GetIndex(&dev, &mot, "B", nullptr, -1);
            _GetDeviceName(1, buf, sizeof buf);
            _SMN_IsRunning("A");
            _SM_IsRunning(1, 0);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 5; ++round) {
        OpenBoards({Slot(1, kX4, "A"), Slot(2, kX4, "C")}, {Slot(1, kX4, "B")});
        ASSERT_TRUE(_SM_Move(0, 0, 500.0));
        ASSERT_TRUE(_SMN_Move("B", -500.0, false, 0));
        ASSERT_TRUE(_SMN_StepMove("C", 300, true));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        _CloseAllDevices();
        EXPECT_FALSE(TickTimerRunning());
        EXPECT_EQ(_SM_GetCount(0), -1);
    }
    stop = true;
    reader.join();
}

TEST_F(ExportsTick, CloseAllFromAHostCallbackOnTheTickThread)
{
    OpenBoards({Slot(1, kX4, "A")}, {Slot(1, kX4, "B")});
    static std::atomic<bool> closed;
    static std::thread::id mainThread;
    closed = false;
    mainThread = std::this_thread::get_id();
    Events().inside = [](int32_t) {
        if (std::this_thread::get_id() != mainThread && !closed.exchange(true))
            _CloseAllDevices();
    };
    ASSERT_TRUE(_SM_Move(0, 0, 3.0));
    ASSERT_TRUE(_SM_Move(1, 0, 1000.0));
    ASSERT_TRUE(WaitUntil([] { return closed.load() && _SM_GetCount(0) == -1; }));
    EXPECT_TRUE(WaitUntil([] { return !TickTimerRunning(); }));
    // The library is usable again afterwards.
    Events().inside = nullptr;
    EXPECT_EQ(_RefreshDevices(), 2);
    EXPECT_TRUE(_SM_Move(0, 0, 0.0));
}

}   // namespace
