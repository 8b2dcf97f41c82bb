// board_unload_test.cpp - the library's unload-time finalisation: a process
// that ends with boards still listed (their watchdogs made while a Qt
// application existed, the application already gone, the tick still running)
// runs the upper layers' unload steps, latest first, while the boards are still
// listed, then saves every board's settings file on the way out, without a
// crash or a warning.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hardware.h"
#include "lifetime.h"
#include "simbus.h"

namespace {

// Unload steps: each appends its name and the boards listed to "steps.txt".
void NoteStep(const char *name)
{
    if (FILE *f = std::fopen("steps.txt", "a")) {
        std::fprintf(f, "%s %u\n", name, DeviceList.Size());
        std::fclose(f);
    }
}
void FirstStep() { NoteStep("first"); }
void SecondStep() { NoteStep("second"); }

void Child(const std::string &dir)
{
    const int err = ::open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(err, 2);
    ::close(err);
    if (::chdir(dir.c_str()) != 0)
        std::_Exit(3);
    simbus::Reset("TRUV-kq4:U1,TRUV-RZDO:U2");
    if (!AtLibraryUnload(FirstStep) || !AtLibraryUnload(SecondStep))
        std::_Exit(5);
    {
        int argc = 1;
        char name[] = "board_unload_test";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        if (RefreshDeviceList() != 2 || DeviceList.At(0)->WatchTimer == nullptr || !TickTimerRunning())
            std::_Exit(4);
        USBDriver &b = *DeviceList.At(0);
        std::lock_guard lock(b.Lock);
        b.Motors[0].Position = 42;   // slot 0 unconfigured: coefficient 1
    }
    std::exit(0);   // static finalisation runs the unit's exit
}

TEST(UnloadTest, BoardsAreSavedAtExitAfterTheApplicationIsGone)
{
    char templ[] = "/tmp/kx-unload-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const std::string dir = templ;
    std::filesystem::create_directory(dir + "/configs");
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        Child(dir);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream err(dir + "/stderr.txt");
    const std::string text((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "");
    std::ifstream steps(dir + "/steps.txt");
    const std::string order((std::istreambuf_iterator<char>(steps)), std::istreambuf_iterator<char>());
    EXPECT_EQ(order, "second 2\nfirst 2\n");
    for (const char *serial : {"U1", "U2"}) {
        std::ifstream f(dir + "/configs/" + serial + ".hws", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        ASSERT_EQ(bytes.size(), sizeof(DeviceSettings)) << serial;
        if (std::strcmp(serial, "U1") == 0) {
            DeviceSettings s;
            std::memcpy(&s, bytes.data(), sizeof s);
            EXPECT_EQ(static_cast<float>(s.MotorSettings[0].Position), 42.0f);
        }
    }
    std::filesystem::remove_all(dir);
}

}   // namespace
