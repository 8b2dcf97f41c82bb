// plugin_test.cpp - the plug-in adapter in-process: the header version check
// and its box, the registration sequence, the descriptors, the eleven
// handlers, and "Motor Stopped" on a controlled clock (no tick thread).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "descriptor_image.h"
#include "handler_cases.h"
#include "hardware.h"
#include "kinetrax.h"
#include "motorstopped.h"
#include "msgbox.h"
#include "qdxfunctions.h"
#include "qdxplugin.h"
#include "recording_host.h"
#include "simbus.h"

using namespace qdxtest;

namespace {

struct Box {
    QWidget *owner;
    std::string text, title;
    MsgIcon icon;
};

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTickTimerSuppressed(true);
        old_ = std::filesystem::current_path();
        char templ[] = "/tmp/kx-plugin-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        // The boards' files lie only in the host's directory; the fallback
        // "configs/" of the current directory holds nothing.
        std::filesystem::create_directories(dir_ / "host");
        std::filesystem::create_directories(dir_ / "cwd" / "configs");
        std::filesystem::current_path(dir_ / "cwd");
        hostDir_ = (dir_ / "host").string() + "/";
        simbus::Reset(kTestDevices);
        Rec().Clear();
        Rec().configDir = hostDir_;
        host_ = MakeHost(18);
        std::memset(ConfigDir, 0, sizeof ConfigDir);
        QdxHost = nullptr;
        MotorStoppedEventId = 0;
        SetMessageBoxHook([this](QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon) {
            boxes_.push_back({owner, text, title, icon});
        });
    }

    void TearDown() override
    {
        SetMessageBoxHook({});
        _CloseAllDevices();
        QdxHost = nullptr;
        std::memset(ConfigDir, 0, sizeof ConfigDir);
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        SetTickTimerSuppressed(false);
    }

    void Register()
    {
        WriteTestBoards(hostDir_);
        ASSERT_EQ(_InitQdxPlugin(&host_), 0);
        ASSERT_EQ(_SM_GetCountInAll(), kTestMotors);
    }

    // One tick of every board at `now`, as the tick thread runs it.
    static void TickAt(double now)
    {
        for (uint32_t i = 0; i < DeviceList.Size(); ++i)
            DeviceList.At(i)->Tick(now);
    }
    static void TickUntilAtRest(const char *name)
    {
        double t = GetClockSeconds();
        for (int i = 0; i < 100000 && _SMN_IsRunning(name) == 1; ++i, t += 0.001)
            TickAt(t);
        ASSERT_EQ(_SMN_IsRunning(name), 0);
    }

    static Api DirectApi()
    {
        return Api{_SMN_GetTarget, _SM_GetIndex, _SM_GetTarget, _SM_GetPosition, _SMN_IsRunning, TickUntilAtRest};
    }

    QdxHostFuncs host_;
    std::vector<Box> boxes_;
    std::string hostDir_;
    std::filesystem::path old_, dir_;
};

TEST_F(PluginTest, WrongHeaderVersionShowsTheBoxAndRegistersNothing)
{
    WriteTestBoards(hostDir_);
    for (int32_t version : {17, 19, 0, -18}) {
        SCOPED_TRACE(version);
        boxes_.clear();
        QdxHostFuncs host = MakeHost(version);
        EXPECT_EQ(_InitQdxPlugin(&host), -1);
        ASSERT_EQ(boxes_.size(), 1u);
        EXPECT_EQ(boxes_[0].owner, nullptr);
        EXPECT_EQ(boxes_[0].text, "Plugin \"kinetrax\" was compiled with header files ver. 18, this version is " +
                                      std::to_string(version) + ", please recompile the plugin.");
        EXPECT_EQ(boxes_[0].title, "Plugin version check failed");
        EXPECT_EQ(boxes_[0].icon, MsgIcon::Warning);
        EXPECT_TRUE(Rec().Calls().empty());
        EXPECT_EQ(QdxHost, nullptr);
        EXPECT_STREQ(ConfigDir, "");
        EXPECT_TRUE(simbus::Calls().empty()) << "the bus was touched";
    }

    // A motor stopping now raises nothing.
    std::strcpy(ConfigDir, hostDir_.c_str());
    ASSERT_EQ(_RefreshDevices(), 2);
    ASSERT_TRUE(_SMN_Move("Lift", 2.5, false, 0));   // its own target: stops at once
    TickAt(GetClockSeconds());
    EXPECT_TRUE(Rec().Raises().empty());
}

TEST_F(PluginTest, FailedCheckAfterSuccessKeepsTheFirstHost)
{
    Register();
    QdxHostFuncs other = MakeHost(17);
    EXPECT_EQ(_InitQdxPlugin(&other), -1);
    EXPECT_EQ(QdxHost, &host_);
    Rec().raises.clear();
    ASSERT_TRUE(_SMN_Move("Lift", 2.5, false, 0));
    ASSERT_EQ(Rec().Raises().size(), 1u);
    EXPECT_EQ(Rec().Raises()[0].id, 77);
}

TEST_F(PluginTest, RegistrationCallsTheHostInOrderThenOpensTheBoards)
{
    for (const char *devices : {kTestDevices, ""}) {
        SCOPED_TRACE(devices);
        _CloseAllDevices();
        simbus::Reset(devices);
        Rec().Clear();
        Rec().configDir = hostDir_;
        Rec().probe = [] { return static_cast<unsigned>(DeviceList.Size() + simbus::Calls().size()); };
        WriteTestBoards(hostDir_);
        std::memset(ConfigDir, 0, sizeof ConfigDir);

        ASSERT_EQ(_InitQdxPlugin(&host_), 0);
        EXPECT_EQ(Rec().Calls(), RegistrationCalls());
        EXPECT_EQ(Rec().probes, std::vector<unsigned>(RegistrationCalls().size(), 0u))
            << "the bus was used before the registration ended";
        EXPECT_EQ(QdxHost, &host_);
        EXPECT_EQ(std::string(ConfigDir), hostDir_);

        ASSERT_EQ(Rec().functions.size(), kQdxFunctionCount);
        for (unsigned i = 0; i < kQdxFunctionCount; ++i)
            EXPECT_EQ(Rec().functions[i], &QdxFunctionTable[i]) << i;
        EXPECT_EQ(Rec().event, &MotorStoppedDescriptor);
        EXPECT_EQ(Rec().menuCallback, &OnDevicesMenuClick);
        EXPECT_EQ(Rec().exitCallback, &OnHostExit);
        EXPECT_EQ(MotorStoppedEventId, 77);

        // The boards loaded their motors from the host's directory.
        const bool boards = devices[0] != 0;
        EXPECT_EQ(DeviceList.Size(), boards ? 2u : 0u);
        EXPECT_EQ(_SM_GetCountInAll(), boards ? kTestMotors : 0u);
    }
}

TEST_F(PluginTest, AnOverlongConfigDirIsCutAtItsLastByte)
{
    Rec().overlongConfigDir = true;
    ASSERT_EQ(_InitQdxPlugin(&host_), 0);
    EXPECT_EQ(ConfigDir[511], 0);
    EXPECT_EQ(std::strlen(ConfigDir), 511u);
    // The boards fall back to "configs/" and still open.
    EXPECT_EQ(DeviceList.Size(), 2u);
}

TEST_F(PluginTest, DescriptorsHoldEveryByte)
{
    const QdxHandler handlers[kQdxFunctionCount] = {QdxMotorInfo, QdxSetupMotor,   QdxMotorIsRunning, QdxMotorPosition,
                                                    QdxMoveMotor, QdxMove2Motor,   QdxQuickMoveMotor, QdxStopMotor,
                                                    QdxSetZero,   QdxReleaseMotor, QdxResetMotor};
    const std::vector<DescriptorImage> expected = ExpectedDescriptors();
    ASSERT_EQ(expected.size(), kQdxFunctionCount);
    for (unsigned i = 0; i < kQdxFunctionCount; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(QdxFunctionTable[i].Handler, handlers[i]);
        ExpectDescriptorBytes(&QdxFunctionTable[i], expected[i]);
    }
    ExpectEventDescriptorBytes(&MotorStoppedDescriptor);
}

TEST_F(PluginTest, MotorInfo)
{
    Register();
    MotorInfoCases();
}

TEST_F(PluginTest, UnknownNames)
{
    Register();
    UnknownNameCases();
}

TEST_F(PluginTest, Moves)
{
    Register();
    MoveCases(DirectApi());
}

TEST_F(PluginTest, SharedName)
{
    Register();
    SharedNameCases(DirectApi());
}

TEST_F(PluginTest, MotorState)
{
    Register();
    MotorStateCases(DirectApi());
}

TEST_F(PluginTest, HandlersWithoutAHostStillWork)
{
    WriteTestBoards(hostDir_);
    std::strcpy(ConfigDir, hostDir_.c_str());
    ASSERT_EQ(_RefreshDevices(), 2);
    const char *name = "X-axis";
    EXPECT_EQ(QdxMoveMotor(0, MoveIn(3.0, 0, name).bytes, nullptr), 0);   // no log, no crash
    EXPECT_EQ(_SMN_GetTarget("X-axis"), 3.0);
    EXPECT_EQ(QdxMotorInfo(0, nullptr, nullptr), 1);
    EXPECT_EQ(QdxMotorPosition(0, nullptr, nullptr), 1);
}

TEST_F(PluginTest, MotorStoppedCarriesTheHostsIdAndTheMotorIndex)
{
    Rec().eventId = 4242;
    Register();
    Rec().raises.clear();

    // Lift is motor 1 of board SER0; TenLetters motor 4 of SER1.
    ASSERT_TRUE(_SMN_Move("Lift", 2.6, false, 0));
    EXPECT_TRUE(Rec().Raises().empty());
    TickUntilAtRest("Lift");
    ASSERT_TRUE(_SMN_Move("TenLetters", 3.0, false, 0));
    TickUntilAtRest("TenLetters");
    // The target it already has: raised at once on this thread.
    ASSERT_TRUE(_SMN_Move("TenLetters", 3.0, false, 0));

    const std::vector<Raise> raises = Rec().Raises();
    ASSERT_EQ(raises.size(), 3u);
    const int32_t indexes[] = {1, 4, 4};
    for (size_t i = 0; i < raises.size(); ++i) {
        EXPECT_EQ(raises[i].id, 4242);
        EXPECT_EQ(raises[i].argument, indexes[i]);
    }
}

TEST_F(PluginTest, HostExitClosesEveryBoard)
{
    Register();
    ASSERT_TRUE(_SMN_Move("Lift", 3.0, false, 0));
    TickUntilAtRest("Lift");
    std::filesystem::remove(hostDir_ + "SER0.hws");
    ASSERT_NE(Rec().exitCallback, nullptr);
    Rec().exitCallback();
    EXPECT_EQ(DeviceList.Size(), 0u);
    EXPECT_EQ(QdxHost, &host_);
    // The board saved its settings, with Lift at 3.0, into the host's directory.
    ASSERT_TRUE(std::filesystem::exists(hostDir_ + "SER0.hws"));
    ASSERT_EQ(std::filesystem::file_size(hostDir_ + "SER0.hws"), sizeof(DeviceSettings));
    EXPECT_EQ(_RefreshDevices(), 2);
    EXPECT_DOUBLE_EQ(_SM_GetPosition(0, 1), 3.0);
}

}   // namespace
