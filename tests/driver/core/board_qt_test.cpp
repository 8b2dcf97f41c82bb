// board_qt_test.cpp - the 250 ms watchdog as a Qt timer: it runs in the event
// loop of the thread that discovered the board, closes an unplugged board as
// lost and reopens it once it is back.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "board_fixture.h"

using namespace boardtest;

namespace {

// Runs the event loop until `done` holds, for at most `ms`.
template <class F> bool RunUntil(F done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}

TEST_F(BoardTest, WatchdogInTheEventLoopClosesAndReopens)
{
    int argc = 1;
    char name[] = "board_qt_test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    WriteSettings("S1", Block({Slot(1, 0x85, "a", 3.0f)}));
    ASSERT_EQ(RefreshDeviceList(), 1);
    USBDriver &b = *DeviceList.At(0);
    ASSERT_NE(b.WatchTimer, nullptr);
    EXPECT_EQ(b.WatchTimer->interval(), 250);
    EXPECT_EQ(b.Motors[0].Position, 3);

    // A board a client closed is reopened by its watchdog.
    b.Close(false);
    EXPECT_TRUE(RunUntil([&] { return b.Opened.load(); }, 3000));

    {
        std::lock_guard lock(b.Lock);
        b.Motors[0].Position = 8;
    }
    ASSERT_TRUE(simbus::Detach("S1"));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(RunUntil([&] { return !b.Opened.load(); }, 3000));
    EXPECT_LT(clock.elapsed(), 2000);   // one watchdog period, with a generous margin
    DeviceSettings saved;
    const Bytes file = ReadFile(SettingsPath("S1"));
    ASSERT_EQ(file.size(), sizeof saved);
    std::memcpy(&saved, file.data(), sizeof saved);
    EXPECT_EQ(static_cast<float>(saved.MotorSettings[0].Position), 8.0f);

    simbus::Attach("TRUV-kq4", "S1");
    ASSERT_TRUE(RunUntil([&] { return b.Opened.load(); }, 3000));
    EXPECT_EQ(b.Motors[0].Position, 8);
    _CloseAllDevices();
    EXPECT_EQ(DeviceList.Size(), 0u);
}

}   // namespace
