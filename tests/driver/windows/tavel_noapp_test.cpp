// tavel_noapp_test.cpp - the control window's exports in a client without a Qt
// application object: they do nothing and report false, and _Exit still
// closes the boards.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "Tavelwindow.h"
#include "hardware.h"
#include "kinetrax.h"
#include "simbus.h"

namespace {

TEST(TavelNoApplication, WindowExportsDoNothing) {
  char tmpl[] = "/tmp/kx-tavel-noapp-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  std::memset(ConfigDir, 0, sizeof ConfigDir);
  std::strncpy(ConfigDir, (dir + "/").c_str(), sizeof ConfigDir - 1);
  SetTickTimerSuppressed(true);
  simbus::Reset("TRUV-kq4:SER1");
  ASSERT_EQ(_RefreshDevices(), 1);

  EXPECT_EQ(_DlgTavel, nullptr); // as the library was loaded
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
  ExitLibrary(); // twice: nothing left to do
  std::filesystem::remove_all(dir);
}

} // namespace
