// tavel_shutdown_test.cpp - the library shut down from a thread other than the
// control window's (a host's "Exit" on its own thread, or from inside a tick
// on the tick thread): the window's refresh stops at once and reopens no
// board, the window is destroyed on its own thread (also when one of its boxes
// is open), and the boards stay closed until a client opens them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTemporaryDir>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <unistd.h>

#include "Tavelwindow.h"
#include "dialogs_fixture.h"
#include "handler_cases.h"
#include "kinetrax.h"
#include "motorstopped.h"
#include "qdxplugin.h"
#include "recording_host.h"
#include "simbus.h"

namespace {

class OffThreadExit : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(kxdlg::Boards(dir, nullptr));   // the two default simulated boards
        _ShowSetupWin();
        w = _DlgTavel;
        ASSERT_NE(w, nullptr);
        w->TimerTimer(w->Timer);
        ASSERT_EQ(simbus::OpenHandles(), 2u);
        QObject::connect(w, &QObject::destroyed, [this] { destroyedOn = QThread::currentThread(); });
    }
    void TearDown() override
    {
        SetMessageBoxHook({});
        KxExit();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SetTickTimerSuppressed(false);
    }
    static void OnWorker(void (*call)()) { std::thread(call).join(); }
    static void HandleEvents()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QTemporaryDir dir;
    QPointer<TDlgTavel> w;
    QThread *destroyedOn = nullptr;
};

TEST_F(OffThreadExit, RefreshStopsAtOnceAndTheWindowGoesOnItsOwnThread)
{
    OnWorker([] { KxExit(); });
    EXPECT_EQ(simbus::OpenHandles(), 0u);
    // Not destroyed on the worker; the refresh reopens nothing.
    ASSERT_FALSE(w.isNull());
    EXPECT_TRUE(w->Stopped());
    w->TimerTimer(w->Timer);
    w->RefreshMotorList();
    EXPECT_EQ(simbus::OpenHandles(), 0u);

    HandleEvents();
    EXPECT_TRUE(w.isNull());
    EXPECT_EQ(destroyedOn, QApplication::instance()->thread());
    EXPECT_EQ(_DlgTavel, nullptr);
    EXPECT_FALSE(_IsSetupWinOpened());
    EXPECT_EQ(simbus::OpenHandles(), 0u);

    // With no window, another shut-down from a worker does nothing more.
    OnWorker([] { _CloseSetupWin(); });
    HandleEvents();
    EXPECT_EQ(simbus::OpenHandles(), 0u);

    // A client opens them again.
    EXPECT_EQ(_RefreshDevices(), 2);
    EXPECT_EQ(simbus::OpenHandles(), 2u);
}

TEST_F(OffThreadExit, WindowShownAgainBeforeItsCloseArrivesIsANewOne)
{
    OnWorker([] { KxExit(); });
    _ShowSetupWin();
    EXPECT_TRUE(w.isNull()) << "the stopped window was shown again";
    ASSERT_NE(_DlgTavel, nullptr);
    EXPECT_FALSE(_DlgTavel->Stopped());
    HandleEvents();   // the old window's close finds nothing to do
    ASSERT_NE(_DlgTavel, nullptr);
    EXPECT_TRUE(_DlgTavel->isVisible());
    _DlgTavel->TimerTimer(_DlgTavel->Timer);
    EXPECT_EQ(simbus::OpenHandles(), 2u);
}

TEST_F(OffThreadExit, WindowWithAnOpenBoxGoesWhenTheBoxIsClosed)
{
    // "Stop" with no motor selected opens its box; the host exits on its
    // thread while the box is open, and the box's loop handles the close.
    bool aliveAfterClose = false;
    SetMessageBoxHook([&](QWidget *, const std::string &, const std::string &, MsgIcon) {
        OnWorker([] { KxExit(); });
        QCoreApplication::sendPostedEvents();
        aliveAfterClose = !w.isNull() && w->Retired() && !w->isVisible();
    });
    w->LvMotorList->clearSelection();
    w->BttnStop->click();
    EXPECT_TRUE(aliveAfterClose) << "destroyed under its own handler";
    HandleEvents();
    EXPECT_TRUE(w.isNull());
    EXPECT_EQ(destroyedOn, QApplication::instance()->thread());
    EXPECT_EQ(_DlgTavel, nullptr);
    EXPECT_EQ(simbus::OpenHandles(), 0u);
}

// The host's "Exit" from inside its "Motor Stopped" handler, on the tick
// thread, while the window exists: nothing waits for the other, the window
// goes on its own thread and the boards stay closed.
TEST(TickThreadExit, HostExitInsideATickClosesWindowAndBoards)
{
    char templ[] = "/tmp/kx-shutdown-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const std::string hostDir = std::string(templ) + "/";
    simbus::Reset(qdxtest::kTestDevices);
    qdxtest::WriteTestBoards(hostDir);
    qdxtest::Rec().Clear();
    qdxtest::Rec().configDir = hostDir;
    static std::atomic<bool> exited{false};
    static std::atomic<bool> onTick{false};
    exited = false;
    qdxtest::Rec().inside = [](int32_t) {
        if (exited.exchange(true))
            return;
        onTick = OnTickThread();
        qdxtest::Rec().exitCallback();
    };
    QdxHostFuncs host = qdxtest::MakeHost(18);
    ASSERT_EQ(_InitQdxPlugin(&host), 0);
    ASSERT_TRUE(TickTimerRunning());
    _ShowSetupWin();
    QPointer<TDlgTavel> w = _DlgTavel;
    ASSERT_FALSE(w.isNull());
    QThread *destroyedOn = nullptr;
    QObject::connect(w, &QObject::destroyed, [&] { destroyedOn = QThread::currentThread(); });
    w->TimerTimer(w->Timer);

    ASSERT_TRUE(_SMN_Move("Lift", 2.6, false, 0));   // ten 1 ms steps
    ASSERT_TRUE(qdxtest::Rec().WaitRaises(1)) << "no Motor Stopped within 10 s";
    for (int i = 0; i < 1000 && (TickTimerRunning() || simbus::OpenHandles() != 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(onTick);
    EXPECT_FALSE(TickTimerRunning());
    EXPECT_EQ(simbus::OpenHandles(), 0u);
    ASSERT_FALSE(w.isNull());
    w->TimerTimer(w->Timer);
    EXPECT_EQ(simbus::OpenHandles(), 0u);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(w.isNull());
    EXPECT_EQ(destroyedOn, QApplication::instance()->thread());
    EXPECT_EQ(_DlgTavel, nullptr);
    EXPECT_EQ(simbus::OpenHandles(), 0u);

    _CloseAllDevices();   // joins the tick thread that ended itself
    qdxtest::Rec().inside = nullptr;
    QdxHost = nullptr;
    std::memset(ConfigDir, 0, sizeof ConfigDir);
    std::error_code ec;
    std::filesystem::remove_all(templ, ec);
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
