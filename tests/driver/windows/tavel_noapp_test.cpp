// tavel_noapp_test.cpp - the control window's exports in a client without a Qt
// application object: they do nothing and report false, and _Exit still
// closes the boards; a window open when the application object goes goes too.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include <QApplication>

#include "Tavelwindow.h"
#include "hardware.h"
#include "kinetrax.h"
#include "simbus.h"

namespace {

TEST(TavelNoApplication, WindowExportsDoNothing)
{
    char tmpl[] = "/tmp/kx-tavel-noapp-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::memset(ConfigDir, 0, sizeof ConfigDir);
    std::strncpy(ConfigDir, (dir + "/").c_str(), sizeof ConfigDir - 1);
    SetTickTimerSuppressed(true);
    simbus::Reset("TRUV-kq4:SER1");
    ASSERT_EQ(_RefreshDevices(), 1);

    EXPECT_EQ(_DlgTavel, nullptr);   // as the library was loaded
    _ShowSetupWin();
    EXPECT_EQ(_DlgTavel, nullptr);
    EXPECT_FALSE(_IsSetupWinOpened());
    EXPECT_FALSE(_IsSetupWinVisible());
    _CloseSetupWin();
    EXPECT_EQ(_DlgTavel, nullptr);

    // _Exit: no window to close, the boards are closed all the same.
    KxExit();
    EXPECT_EQ(_SM_GetCountInAll(), 0u);
    EXPECT_TRUE(std::filesystem::exists(dir + "/SER1.hws"));
    ExitLibrary();   // twice: nothing left to do
    std::filesystem::remove_all(dir);
}

// A client whose Qt application object goes while the control window is
// open: the window goes with it, so _Exit afterwards has nothing left to
// close and nothing leaks.
TEST(TavelNoApplication, WindowGoesWithTheApplication)
{
    simbus::Reset("");
    {
        int argc = 1;
        char arg0[] = "tavel_noapp_test";
        char *argv[] = {arg0, nullptr};
        QApplication app(argc, argv);
        _ShowSetupWin();
        ASSERT_NE(_DlgTavel, nullptr);
        EXPECT_TRUE(_IsSetupWinVisible());
    }
    EXPECT_EQ(_DlgTavel, nullptr);
    {
        // A later application object gets a window of its own.
        int argc = 1;
        char arg0[] = "tavel_noapp_test";
        char *argv[] = {arg0, nullptr};
        QApplication app(argc, argv);
        EXPECT_FALSE(_IsSetupWinOpened());
        _ShowSetupWin();
        ASSERT_NE(_DlgTavel, nullptr);
        EXPECT_TRUE(_IsSetupWinVisible());
        QApplication::processEvents();
    }
    KxExit();
    EXPECT_EQ(_DlgTavel, nullptr);
}

}   // namespace
