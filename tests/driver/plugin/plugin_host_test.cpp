// plugin_host_test.cpp - a host framework's view of the plug-in: it loads
// libkinetrax.so with dlopen, finds _InitQdxPlugin by name, hands it a record
// of recording slots and drives the registered functions through their
// descriptors, on the simulated bus of KINETRAX_SIM_DEVICES (two boards, or
// none in the second run of this program) with the real tick thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "descriptor_image.h"
#include "handler_cases.h"
#include "kinetrax.h"
#include "qdxplugin.h"
#include "recording_host.h"

using namespace qdxtest;

namespace {

void Settle(const char *name);

// The library and the exports the host uses besides the plug-in entry.
struct Library {
    void *handle = nullptr;
    int32_t (*InitQdxPlugin)(QdxHostFuncs *) = nullptr;
    void (*Exit)() = nullptr;
    void (*CloseAllDevices)() = nullptr;
    unsigned (*GetCountInAll)() = nullptr;
    int (*RefreshDevices)() = nullptr;
    unsigned (*GetDevicesCount)() = nullptr;
    Api api{};

    template <class F> void Bind(F &f, const char *name)
    {
        f = reinterpret_cast<F>(dlsym(handle, name));
        if (f == nullptr)
            ADD_FAILURE() << "missing export " << name;
    }
    Library()
    {
        handle = dlopen(KX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            ADD_FAILURE() << dlerror();
            return;
        }
        Bind(InitQdxPlugin, "_InitQdxPlugin");
        Bind(Exit, "_Exit");
        Bind(CloseAllDevices, "_CloseAllDevices");
        Bind(GetCountInAll, "_SM_GetCountInAll");
        Bind(RefreshDevices, "_RefreshDevices");
        Bind(GetDevicesCount, "_GetDevicesCount");
        Bind(api.SMN_GetTarget, "_SMN_GetTarget");
        Bind(api.SM_GetIndex, "_SM_GetIndex");
        Bind(api.SM_GetTarget, "_SM_GetTarget");
        Bind(api.SM_GetPosition, "_SM_GetPosition");
        Bind(api.SMN_IsRunning, "_SMN_IsRunning");
        api.Settle = Settle;
    }
};

Library &Lib()
{
    static Library lib;   // loaded once, never unloaded while the test runs
    return lib;
}

bool BusIsEmpty()
{
    const char *devices = std::getenv("KINETRAX_SIM_DEVICES");
    return devices != nullptr && devices[0] == 0;
}

unsigned ProbeMotors() { return Lib().GetCountInAll(); }

// Waits (real time, bounded) until the tick brought the motor to rest.
void Settle(const char *name)
{
    for (int i = 0; i < 1000 && Lib().api.SMN_IsRunning(name) == 1; ++i)
        usleep(10000);
    ASSERT_EQ(Lib().api.SMN_IsRunning(name), 0);
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(Lib().handle, nullptr);
        char templ[] = "/tmp/kx-plugin-host-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        std::filesystem::create_directories(dir_ / "host");
        std::filesystem::create_directories(dir_ / "cwd");
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_ / "cwd");
        hostDir_ = (dir_ / "host").string() + "/";
        WriteTestBoards(hostDir_);
        Rec().Clear();
        Rec().configDir = hostDir_;
        host_ = MakeHost(18);
    }
    void TearDown() override
    {
        if (dir_.empty())
            return;   // skipped
        if (Lib().CloseAllDevices != nullptr)
            Lib().CloseAllDevices();
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    QdxHostFuncs host_;
    std::string hostDir_;
    std::filesystem::path dir_, old_;
};

// Registered, with the eight test motors on the two boards.
class BoardsHostTest : public HostTest {
protected:
    void SetUp() override
    {
        if (BusIsEmpty())
            GTEST_SKIP() << "needs the two simulated boards";
        HostTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(Lib().InitQdxPlugin(&host_), 0);
        ASSERT_EQ(Lib().GetCountInAll(), kTestMotors);
    }
};

// Everything written to stderr while `f` runs.
template <class F> std::string CaptureStderr(F &&f)
{
    char path[] = "/tmp/kx-plugin-stderr-XXXXXX";
    const int fd = mkstemp(path);
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(fd, 2);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path);
    return text;
}

TEST_F(HostTest, WrongHeaderVersionIsRefusedWithItsBox)
{
    // No QApplication in this host: the box goes to stderr as "title: text".
    QdxHostFuncs host = MakeHost(17);
    int32_t result = 0;
    const std::string err = CaptureStderr([&] { result = Lib().InitQdxPlugin(&host); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "Plugin version check failed: Plugin \"kinetrax\" was compiled with header files ver. 18, "
                   "this version is 17, please recompile the plugin.\n");
    EXPECT_TRUE(Rec().Calls().empty());
    EXPECT_EQ(Lib().GetCountInAll(), 0u) << "boards opened";
}

TEST_F(HostTest, RegistrationCallsTheHostInOrderThenOpensTheBoards)
{
    Rec().probe = ProbeMotors;
    ASSERT_EQ(Lib().InitQdxPlugin(&host_), 0);
    EXPECT_EQ(Rec().Calls(), RegistrationCalls());
    EXPECT_EQ(Rec().probes, std::vector<unsigned>(RegistrationCalls().size(), 0u))
        << "boards opened before the registration ended";
    EXPECT_EQ(Lib().GetCountInAll(), BusIsEmpty() ? 0u : kTestMotors);
    EXPECT_EQ(Lib().GetDevicesCount(), BusIsEmpty() ? 0u : 2u);
    EXPECT_NE(Rec().menuCallback, nullptr);
    EXPECT_NE(Rec().exitCallback, nullptr);
    ASSERT_NE(Rec().eventIdAddress, nullptr);
}

TEST_F(HostTest, DescriptorsHoldEveryByte)
{
    ASSERT_EQ(Lib().InitQdxPlugin(&host_), 0);
    const std::vector<DescriptorImage> expected = ExpectedDescriptors();
    ASSERT_EQ(Rec().functions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        ExpectDescriptorBytes(Rec().functions[i], expected[i]);
    }
    ExpectEventDescriptorBytes(Rec().event);
}

TEST_F(BoardsHostTest, MotorInfo) { MotorInfoCases(); }

TEST_F(BoardsHostTest, UnknownNames) { UnknownNameCases(); }

TEST_F(BoardsHostTest, Moves) { MoveCases(Lib().api); }

TEST_F(BoardsHostTest, SharedName) { SharedNameCases(Lib().api); }

TEST_F(BoardsHostTest, MotorState) { MotorStateCases(Lib().api); }

TEST_F(BoardsHostTest, MotorStoppedArrivesWithTheRegisteredIdAndTheMotorIndex)
{
    // The host re-registers with another id for the event.
    Rec().Clear();
    Rec().configDir = hostDir_;
    Rec().eventId = 9001;
    ASSERT_EQ(Lib().InitQdxPlugin(&host_), 0);
    Block out;
    // "TenLetters" is motor 4 of board SER1: ten 1 ms steps.
    ASSERT_EQ(Call("Move Motor", MoveIn(10.0, 0, "TenLetters"), out), 0);
    ASSERT_TRUE(Rec().WaitRaises(1)) << "no Motor Stopped within 10 s";
    const Raise r = Rec().Raises()[0];
    EXPECT_EQ(r.id, 9001);
    EXPECT_EQ(r.argument, 4);
    EXPECT_NE(r.thread, std::this_thread::get_id());
    EXPECT_EQ(Lib().api.SMN_IsRunning("TenLetters"), 0);
}

TEST_F(BoardsHostTest, TheExitSymbolIsTheLibrarysAndClosesTheBoards)
{
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(reinterpret_cast<void *>(Lib().Exit), dlsym(libc, "_Exit"));
    dlclose(libc);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            std::lock_guard<std::mutex> l(Rec().mutex);
            Rec().raises.clear();
        }
        Block out;
        ASSERT_EQ(Call("Move Motor", MoveIn(3.0, 0, "TenLetters"), out), 0);
        ASSERT_TRUE(Rec().WaitRaises(1));
        std::filesystem::remove(hostDir_ + "SER1.hws");
        // The library's own _Exit, then the host's "Exit" event: both return
        // with every board closed and its settings file written.
        if (round == 0)
            Lib().Exit();
        else
            Rec().exitCallback();
        EXPECT_EQ(Lib().GetCountInAll(), 0u);
        ASSERT_TRUE(std::filesystem::exists(hostDir_ + "SER1.hws"));
        EXPECT_EQ(std::filesystem::file_size(hostDir_ + "SER1.hws"), sizeof(DeviceSettings));
        ASSERT_EQ(Lib().RefreshDevices(), 2);
        EXPECT_DOUBLE_EQ(Lib().api.SM_GetPosition(1, 4), 3.0);
        ASSERT_EQ(Call("Move Motor", MoveIn(0.0, 0, "TenLetters"), out), 0);
        ASSERT_TRUE(Rec().WaitRaises(2));
    }
}

}   // namespace
