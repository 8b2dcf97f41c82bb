// board_fixture.h - set-up shared by the board tests: a temporary current
// directory with "configs/", the simulated bus reset to chosen devices, no tick
// thread (the tests tick by hand), and helpers for settings files and slots.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "hardware.h"
#include "kinetrax.h"
#include "records.h"
#include "motor.h"
#include "simbus.h"

namespace boardtest {

using Bytes = std::vector<uint8_t>;

inline SMotorSettings Slot(uint8_t address, uint8_t type, const char *name = "", float position = 0.0f,
                           float coefficient = 1.0f)
{
    return MakeRecord(
        {.address = address, .type = type, .name = name, .coefficient = coefficient, .position = position});
}

// A settings block with every slot reset and these slots filled in.
inline DeviceSettings Block(const std::vector<SMotorSettings> &filled, const char *boardName = "")
{
    return MakeBlock(filled, boardName);
}

inline void WriteFile(const std::filesystem::path &path, const void *data, size_t n)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(static_cast<const char *>(data), static_cast<std::streamsize>(n));
}

inline Bytes ReadFile(const std::filesystem::path &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline Bytes BytesOf(const void *p, size_t n)
{
    const uint8_t *b = static_cast<const uint8_t *>(p);
    return Bytes(b, b + n);
}

// The names in a directory, sorted.
inline std::vector<std::string> DirectoryEntries(const std::filesystem::path &dir)
{
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// While it lives, no file of the process grows beyond `bytes`: a write past it
// fails (EFBIG) instead of raising SIGXFSZ. Shows a save whose write fails.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit r = old_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit old_;
    sighandler_t oldHandler_;
};

inline std::vector<simbus::Op> Ops(const std::vector<simbus::Call> &calls)
{
    std::vector<simbus::Op> out;
    for (const simbus::Call &c : calls)
        out.push_back(c.op);
    return out;
}

inline unsigned CountOp(const std::vector<simbus::Call> &calls, simbus::Op op)
{
    unsigned n = 0;
    for (const simbus::Call &c : calls)
        n += c.op == op ? 1 : 0;
    return n;
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTickTimerSuppressed(true);
        old_ = std::filesystem::current_path();
        char templ[] = "/tmp/kx-board-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        std::filesystem::create_directory(dir_ / "configs");
        std::filesystem::current_path(dir_);
        std::memset(ConfigDir, 0, sizeof ConfigDir);
        simbus::Reset("TRUV-kq4:S1");
    }

    void TearDown() override
    {
        _CloseAllDevices();
        std::memset(ConfigDir, 0, sizeof ConfigDir);
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        SetTickTimerSuppressed(false);
    }

    std::filesystem::path SettingsPath(const char *serial) const
    {
        return dir_ / "configs" / (std::string(serial) + ".hws");
    }
    void WriteSettings(const char *serial, const DeviceSettings &b) { WriteFile(SettingsPath(serial), &b, sizeof b); }

    std::filesystem::path old_, dir_;
};

}   // namespace boardtest
