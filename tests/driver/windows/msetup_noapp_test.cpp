// msetup_noapp_test.cpp - a client without a Qt application object: records
// are stored (and saved even when the board's name write fails), the dialog
// is refused, message boxes go to stderr.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "hardware.h"
#include "kinetrax.h"
#include "msgbox.h"
#include "msetup.h"
#include "records.h"
#include "simbus.h"

namespace {

class NoApplication : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kx-noapp-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::memset(ConfigDir, 0, sizeof ConfigDir);
        std::strncpy(ConfigDir, (dir_ + "/").c_str(), sizeof ConfigDir - 1);
        SetTickTimerSuppressed(true);
        simbus::Reset("TRUV-kq4:SER1");
        ASSERT_EQ(_RefreshDevices(), 1);
    }
    void TearDown() override
    {
        _CloseAllDevices();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

TEST_F(NoApplication, RecordsAreStoredAndTheDialogIsRefused)
{
    SMotorSettings s;
    std::memset(&s, 0, sizeof s);
    s.Address = 1;
    s.TypeCode = 0x85;
    s.Coefficient = 2.0f;
    std::memcpy(s.Name, "Lonely", 6);
    EXPECT_EQ(_SM_Setup(0, -1, &s), 0);
    s.Address = 2;
    EXPECT_EQ(_SM_Setup(0, -1, &s), 1);
    EXPECT_EQ(_SM_GetCount(0), 2);
    EXPECT_EQ(_SM_Setup(0, 0, nullptr), -1);
    EXPECT_EQ(_SM_Setup(0, -1, nullptr), -1);
    EXPECT_FALSE(_SMN_Setup("Lonely"));
    EXPECT_EQ(_DlgMotorSetup, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/SER1.hws"));
}

TEST_F(NoApplication, AFailedNameWriteStillSavesTheRecord)
{
    const SMotorSettings s = MakeRecord({.address = 3, .type = 0x86, .name = "Kept"});
    simbus::FailNext(simbus::Op::WriteUserArea, 1);
    EXPECT_EQ(_SM_Setup(0, -1, &s), -1);   // the failed name write is reported
    DeviceSettings saved;
    std::ifstream f(dir_ + "/SER1.hws", std::ios::binary);
    ASSERT_TRUE(f.read(reinterpret_cast<char *>(&saved), sizeof saved));
    EXPECT_EQ(saved.MotorSettings[0].Address, 3);   // but the record is in the file
    EXPECT_EQ(std::memcmp(saved.MotorSettings[0].Name, "Kept", 4), 0);
}

TEST_F(NoApplication, MessageBoxWritesToStderr)
{
    testing::internal::CaptureStderr();
    KxMessageBox(nullptr, "Device is unpluged", "Error", MsgIcon::Error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Device is unpluged\n");
}

}   // namespace
