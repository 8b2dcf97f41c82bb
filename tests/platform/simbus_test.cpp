// simbus_test.cpp - the simulated FTDI bus through the FTDI layer's operations:
// device lists, the call record, detach and re-attach, faults, user areas, the
// trace file and the allocation-free counting mode.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "ftdi.h"
#include "periodic.h"
#include "simbus.h"

// Counts the allocations of the calling thread, to show the write path makes none.
// The replacements below pair malloc with free; GCC, seeing malloc under
// operator new once inlined, takes their free for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static thread_local unsigned long tl_allocations = 0;
void *operator new(std::size_t n)
{
    ++tl_allocations;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace ftdi;
using simbus::Op;

std::string Text(FtStatus (*get)(uint32_t, char *), uint32_t i)
{
    char buf[kTextSize];
    std::memset(buf, 'x', sizeof buf);
    if (get(i, buf) != FT_OK)
        return "<fail>";
    return buf;
}

std::vector<std::string> Devices()
{
    uint32_t n = 99;
    EXPECT_EQ(FtCountDevices(&n), FT_OK);
    std::vector<std::string> out;
    for (uint32_t i = 0; i < n; ++i)
        out.push_back(Text(FtGetDescriptionByIndex, i) + "/" + Text(FtGetSerialByIndex, i));
    return out;
}

FtHandle Open(const char *serial)
{
    FtHandle h = nullptr;
    EXPECT_EQ(FtOpenBySerial(serial, &h), FT_OK) << serial;
    return h;
}

FtStatus Write(FtHandle h, std::vector<uint8_t> bytes)
{
    uint32_t written = 0;
    return FtWriteBytes(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
}

FtStatus Status(FtHandle h)
{
    uint32_t a, b, c;
    return FtQueryStatus(h, &a, &b, &c);
}

std::string Area(FtHandle h, uint32_t size = kUserAreaSize)
{
    uint8_t buf[kUserAreaSize];
    uint32_t n = 99;
    if (FtReadUserArea(h, buf, size, &n) != FT_OK)
        return "<fail>";
    return std::string(reinterpret_cast<char *>(buf), n);
}

class SimBus : public ::testing::Test {
protected:
    void SetUp() override { simbus::Reset(); }
};

TEST_F(SimBus, DeviceListsParseLikeTheEnvironment)
{
    const std::string long70(70, 'd');
    const std::string area70(70, 'u');
    struct Case {
        const char *name;
        std::string list;   // KINETRAX_SIM_DEVICES text
        std::vector<std::string> devices;
        std::string serial, area;   // one user area to check
    } cases[] = {
        {"default", "", {"TRUV-kq4/SIM0001", "TRUV-RZDO/SIM0002"}, "SIM0001", ""},
        {"empty", "", {}, "", ""},
        {"one", "A:S1", {"A/S1"}, "S1", ""},
        {"area", "A:S1:Hello,B:S2", {"A/S1", "B/S2"}, "S1", "Hello"},
        {"colon in area", "A:S1:x:y", {"A/S1"}, "S1", "x:y"},
        {"empty fields", ",:,A:", {"/", "A/"}, "", ""},
        {"no serial skipped", "junk,A:S1", {"A/S1"}, "S1", ""},
        {"long texts cut",
         long70 + ":" + long70 + ":" + area70,
         {long70.substr(0, 63) + "/" + long70.substr(0, 63)},
         long70.substr(0, 63),
         area70.substr(0, 64)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        simbus::Reset(std::string(c.name) == "default" ? nullptr : c.list.c_str());
        EXPECT_EQ(Devices(), c.devices);
        if (!c.serial.empty() || !c.devices.empty()) {
            FtHandle h = Open(c.serial.c_str());
            EXPECT_EQ(Area(h), c.area);
            FtCloseDevice(h);
        }
    }
    // Out of range index: failure, the buffer untouched.
    char buf[kTextSize] = "keep";
    EXPECT_NE(FtGetSerialByIndex(5, buf), FT_OK);
    EXPECT_STREQ(buf, "keep");
    EXPECT_STREQ(FtBackendName(), "sim");
}

TEST_F(SimBus, RecordsEveryCallInOrderWithItsArguments)
{
    simbus::Reset("A:S1,B:S2");
    uint32_t n;
    char buf[kTextSize];
    FtCountDevices(&n);
    FtGetDescriptionByIndex(1, buf);
    FtGetSerialByIndex(1, buf);
    FtHandle h = Open("S2");
    EXPECT_EQ(FtSetPinMode(h, 0xFF, 1), FT_OK);
    EXPECT_EQ(FtSetPinClock(h, 3000000), FT_OK);
    EXPECT_EQ(Area(h), "");
    EXPECT_EQ(Write(h, {0x12, 0xF0}), FT_OK);
    EXPECT_EQ(Status(h), FT_OK);
    const uint8_t name[3] = {'a', 'b', 'c'};
    EXPECT_EQ(FtWriteUserArea(h, name, 3), FT_OK);
    EXPECT_EQ(FtCloseDevice(h), FT_OK);
    FtHandle none = nullptr;
    EXPECT_EQ(FtOpenBySerial("S3", &none), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(none, nullptr);

    struct Expect {
        Op op;
        const char *serial;
        uint32_t arg;
        FtStatus status;
    };
    const Expect want[] = {
        {Op::CountDevices, "", 0, FT_OK},       {Op::GetDescriptionByIndex, "S2", 1, FT_OK},
        {Op::GetSerialByIndex, "S2", 1, FT_OK}, {Op::OpenBySerial, "S2", 0, FT_OK},
        {Op::SetPinMode, "S2", 0xFF01, FT_OK},  {Op::SetPinClock, "S2", 3000000, FT_OK},
        {Op::ReadUserArea, "S2", 64, FT_OK},    {Op::WriteBytes, "S2", 2, FT_OK},
        {Op::QueryStatus, "S2", 0, FT_OK},      {Op::WriteUserArea, "S2", 3, FT_OK},
        {Op::CloseDevice, "S2", 0, FT_OK},      {Op::OpenBySerial, "S3", 0, FT_DEVICE_NOT_FOUND},
    };
    const auto calls = simbus::Calls();
    ASSERT_EQ(calls.size(), std::size(want));
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(simbus::OpName(want[i].op));
        EXPECT_EQ(calls[i].op, want[i].op);
        EXPECT_EQ(calls[i].serial, want[i].serial);
        EXPECT_EQ(calls[i].arg, want[i].arg);
        EXPECT_EQ(calls[i].status, want[i].status);
    }
    EXPECT_EQ(calls[7].data, (std::vector<uint8_t>{0x12, 0xF0}));
    EXPECT_EQ(calls[9].data, (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(simbus::Writes("S2"), (std::vector<std::vector<uint8_t>>{{0x12, 0xF0}}));
    EXPECT_TRUE(simbus::Writes("S1").empty());
    simbus::ClearCalls();
    EXPECT_TRUE(simbus::Calls().empty());
    EXPECT_STREQ(simbus::OpName(Op::WriteBytes), "WriteBytes");
}

TEST_F(SimBus, DetachedDeviceFailsOnOldHandlesAndComesBackWithItsUserArea)
{
    simbus::Reset("A:S1:First,B:S2");
    FtHandle h1 = Open("S1");
    FtHandle h2 = Open("S2");
    const uint8_t name[4] = {'N', 'e', 'w', 0};
    ASSERT_EQ(FtWriteUserArea(h1, name, 4), FT_OK);

    EXPECT_TRUE(simbus::Detach("S1"));
    EXPECT_FALSE(simbus::Detach("S1"));
    EXPECT_EQ(Devices(), (std::vector<std::string>{"B/S2"}));
    EXPECT_NE(Status(h1), FT_OK);
    EXPECT_NE(Write(h1, {1}), FT_OK);
    EXPECT_NE(FtSetPinMode(h1, 0xFF, 1), FT_OK);
    EXPECT_EQ(Status(h2), FT_OK);   // the other board is untouched
    FtHandle h = nullptr;
    EXPECT_NE(FtOpenBySerial("S1", &h), FT_OK);
    EXPECT_TRUE(simbus::Writes("S1").empty());

    // Back at the end of the bus order; the remembered area wins over the text.
    simbus::Attach("A", "S1", "Ignored");
    EXPECT_EQ(Devices(), (std::vector<std::string>{"B/S2", "A/S1"}));
    EXPECT_NE(Status(h1), FT_OK);   // the old handle belongs to the vanished device
    FtHandle again = Open("S1");
    EXPECT_EQ(Status(again), FT_OK);
    EXPECT_EQ(Area(again), std::string("New\0t", 5));   // 4 bytes over "First"
    EXPECT_EQ(simbus::OpenHandles(), 3u);               // the vanished one is still held
    EXPECT_EQ(FtCloseDevice(h1), FT_OK);
    EXPECT_EQ(simbus::OpenHandles(), 2u);

    // A serial never seen takes the given text; a reset that keeps areas keeps it.
    simbus::Attach("C", "S3", "Third");
    simbus::Reset("C:S3:Other", false);
    EXPECT_EQ(simbus::OpenHandles(), 0u);
    EXPECT_NE(Status(again), FT_OK);   // Reset closed every handle
    EXPECT_EQ(simbus::UserArea("S3"), (std::vector<uint8_t>{'T', 'h', 'i', 'r', 'd'}));
    simbus::Reset("C:S3:Other");
    EXPECT_EQ(simbus::UserArea("S3"), (std::vector<uint8_t>{'O', 't', 'h', 'e', 'r'}));
}

TEST_F(SimBus, UserAreaReadsWritesAndLimits)
{
    simbus::Reset("A:S1:0123456789ABCDEF");
    FtHandle h = Open("S1");
    EXPECT_EQ(Area(h, 4), "0123");
    EXPECT_EQ(Area(h, 200), "0123456789ABCDEF");   // clamped to 64, area is 16
    const uint8_t ten[10] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    EXPECT_EQ(FtWriteUserArea(h, ten, 10), FT_OK);
    EXPECT_EQ(Area(h), "abcdefghijABCDEF");
    uint8_t big[65] = {};
    EXPECT_NE(FtWriteUserArea(h, big, 65), FT_OK);
    EXPECT_EQ(Area(h), "abcdefghijABCDEF");

    simbus::SetUserArea("S1", std::vector<uint8_t>(80, 'z'));
    EXPECT_EQ(Area(h), std::string(64, 'z'));
    simbus::SetUserArea("S1", {'N', 0, 'x'});
    EXPECT_EQ(Area(h), std::string("N\0x", 3));
    EXPECT_TRUE(simbus::UserArea("never").empty());
}

TEST_F(SimBus, ADeviceIsOpenOnOneHandleAtATime)
{
    simbus::Reset("A:S1,B:S2");
    FtHandle h1 = Open("S1");
    FtHandle h = nullptr;
    EXPECT_EQ(FtOpenBySerial("S1", &h), FT_DEVICE_NOT_OPENED);   // busy, as on a real bus
    EXPECT_EQ(h, nullptr);
    FtHandle h2 = Open("S2");   // another device is not affected
    EXPECT_EQ(simbus::OpenHandles(), 2u);
    ASSERT_EQ(FtCloseDevice(h1), FT_OK);
    FtHandle again = Open("S1");   // free once its handle is closed
    EXPECT_EQ(Status(again), FT_OK);

    // A handle of a vanished device does not block the device plugged in
    // again, and closing it afterwards still frees it.
    EXPECT_TRUE(simbus::Detach("S2"));
    simbus::Attach("B", "S2");
    FtHandle replugged = Open("S2");
    EXPECT_EQ(Status(replugged), FT_OK);
    EXPECT_EQ(simbus::OpenHandles(), 3u);
    EXPECT_EQ(FtCloseDevice(h2), FT_OK);
    EXPECT_EQ(simbus::OpenHandles(), 2u);
}

TEST_F(SimBus, ChipWithoutUserAreaSaysNotSupported)
{
    simbus::Reset("A:S1:Name,B:S2:Other");
    simbus::SetNoUserArea("S1");
    FtHandle h1 = Open("S1");
    FtHandle h2 = Open("S2");
    uint8_t buf[kUserAreaSize];
    uint32_t n = 99;
    EXPECT_EQ(FtReadUserArea(h1, buf, 64, &n), FT_NOT_SUPPORTED);
    EXPECT_EQ(n, 99u);
    const uint8_t name[3] = {'x', 'y', 'z'};
    EXPECT_EQ(FtWriteUserArea(h1, name, 3), FT_NOT_SUPPORTED);
    EXPECT_EQ(simbus::UserArea("S1"), (std::vector<uint8_t>{'N', 'a', 'm', 'e'}));   // untouched
    EXPECT_EQ(Status(h1), FT_OK);                                                    // everything else works
    EXPECT_EQ(Write(h1, {1}), FT_OK);
    EXPECT_EQ(Area(h2), "Other");   // only that chip
    simbus::SetNoUserArea("S1", false);
    EXPECT_EQ(Area(h1), "Name");
    simbus::SetNoUserArea("S1");
    simbus::Reset("A:S1", false);   // a reset gives the area back
    EXPECT_EQ(Area(Open("S1")), "Name");
}

TEST_F(SimBus, FailNextFailsThatManyCallsOfOneOperation)
{
    simbus::Reset("A:S1,B:S2");
    FtHandle h1 = Open("S1");
    FtHandle h2 = Open("S2");
    simbus::FailNext(Op::WriteBytes, 2, FT_OTHER_ERROR);
    EXPECT_EQ(Status(h1), FT_OK);   // other operations unaffected
    EXPECT_EQ(Write(h1, {1}), FT_OTHER_ERROR);
    EXPECT_EQ(Write(h2, {2}), FT_OTHER_ERROR);   // any device
    EXPECT_EQ(Write(h2, {3}), FT_OK);
    EXPECT_EQ(simbus::WriteCount(), 1u);
    EXPECT_TRUE(simbus::Writes("S1").empty());
    EXPECT_EQ(simbus::Writes("S2").size(), 1u);

    simbus::FailNext(Op::OpenBySerial, 1);
    FtHandle h = nullptr;
    EXPECT_EQ(FtOpenBySerial("S1", &h), FT_IO_ERROR);
    EXPECT_EQ(h, nullptr);
    simbus::FailNext(Op::CountDevices, 1);
    uint32_t n = 77;
    EXPECT_NE(FtCountDevices(&n), FT_OK);
    EXPECT_EQ(n, 77u);
    simbus::FailNext(Op::ReadUserArea, 1);
    EXPECT_EQ(Area(h1), "<fail>");
    EXPECT_EQ(Area(h1), "");
    simbus::FailNext(Op::QueryStatus, 3);
    simbus::Reset("A:S1");   // a reset drops pending faults
    EXPECT_EQ(Status(Open("S1")), FT_OK);
}

TEST_F(SimBus, BadHandlesFailWithoutCrashing)
{
    FtHandle h = Open("SIM0001");
    EXPECT_EQ(FtCloseDevice(h), FT_OK);
    uint8_t buf[kUserAreaSize];
    uint32_t n;
    for (FtHandle bad : {h, static_cast<FtHandle>(nullptr), reinterpret_cast<FtHandle>(0xdead)}) {
        EXPECT_EQ(FtCloseDevice(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(FtSetPinMode(bad, 0xFF, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(FtSetPinClock(bad, 3000000), FT_INVALID_HANDLE);
        EXPECT_EQ(FtReadUserArea(bad, buf, 64, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FtWriteUserArea(bad, buf, 10), FT_INVALID_HANDLE);
        EXPECT_EQ(Status(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(Write(bad, {1}), FT_INVALID_HANDLE);
    }
    EXPECT_EQ(simbus::OpenHandles(), 0u);
    // Missing out-arguments are refused before they reach the bus.
    EXPECT_EQ(FtCountDevices(nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FtOpenBySerial("SIM0001", nullptr), FT_INVALID_PARAMETER);
    // A serial attached twice: the first is opened, the list shows both.
    simbus::Reset("A:DUP,B:DUP");
    EXPECT_EQ(Devices(), (std::vector<std::string>{"A/DUP", "B/DUP"}));
    FtHandle d = Open("DUP");
    EXPECT_EQ(Status(d), FT_OK);
    EXPECT_TRUE(simbus::Detach("DUP"));   // every device with that serial
    EXPECT_TRUE(Devices().empty());
}

TEST_F(SimBus, TraceFileGetsOneFlushedLinePerSuccessfulWrite)
{
    char path[] = "/tmp/kx-simtrace-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("KINETRAX_SIM_TRACE", path, 1);
    simbus::Reset("A:S1");
    unsetenv("KINETRAX_SIM_TRACE");

    const double before = kxtimer::MonotonicSeconds();
    FtHandle h = Open("S1");
    ASSERT_EQ(Write(h, {0x00, 0xAB, 0xFF, 0x10}), FT_OK);
    const uint8_t name[2] = {'O', 'k'};
    ASSERT_EQ(FtWriteUserArea(h, name, 2), FT_OK);
    simbus::FailNext(Op::WriteBytes, 1);
    ASSERT_NE(Write(h, {0x01}), FT_OK);   // not traced
    simbus::SetRecording(false);
    ASSERT_EQ(Write(h, {0x02}), FT_OK);   // counted only
    simbus::SetRecording(true);
    ASSERT_EQ(Write(h, {}), FT_OK);
    const double after = kxtimer::MonotonicSeconds();

    // Read while the bus still holds the file open: the lines are already there.
    std::ifstream in(path);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line))
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    const char *kinds[] = {"W", "U", "W"};
    const char *hex[] = {"00abff10", "4f6b", ""};
    double last = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        // "T SERIAL K HEX": T with exactly six decimals, hex lowercase, no separators.
        std::istringstream fields(lines[i]);
        std::string t, serial, kind, bytes, extra;
        fields >> t >> serial >> kind >> bytes >> extra;
        const size_t dot = t.find('.');
        ASSERT_NE(dot, std::string::npos);
        EXPECT_EQ(t.size() - dot - 1, 6u);
        EXPECT_EQ(t.find_first_not_of("0123456789."), std::string::npos);
        const double when = std::stod(t);
        EXPECT_GE(when, before - 1e-6);
        EXPECT_LE(when, after + 1e-6);
        EXPECT_GE(when, last);
        last = when;
        EXPECT_EQ(serial, "S1");
        EXPECT_EQ(kind, kinds[i]);
        EXPECT_EQ(bytes, hex[i]);
        EXPECT_TRUE(extra.empty());
        const std::string expectLine = t + " S1 " + kinds[i] + " " + hex[i];
        EXPECT_EQ(lines[i], expectLine);
    }
    simbus::Reset();   // closes the trace file
    std::remove(path);
}

TEST_F(SimBus, CountingModeWritesWithoutAllocating)
{
    FtHandle h = Open("SIM0001");
    simbus::SetRecording(false);
    const uint8_t frame[91] = {1, 2, 3};
    uint32_t written = 0;
    Write(h, {0});   // warm up
    const unsigned long before = tl_allocations;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(FtWriteBytes(h, frame, sizeof frame, &written), FT_OK);
    EXPECT_EQ(tl_allocations, before);
    EXPECT_EQ(written, sizeof frame);
    EXPECT_EQ(simbus::WriteCount(), 1001u);
    EXPECT_TRUE(simbus::Writes("SIM0001").empty());
    simbus::Reset();
    EXPECT_EQ(simbus::WriteCount(), 0u);
}

TEST_F(SimBus, ConcurrentWritersAndClients)
{
    simbus::Reset("A:S0,A:S1,A:S2,A:S3,B:S4");
    std::vector<FtHandle> hs;
    for (const char *s : {"S0", "S1", "S2", "S3"})
        hs.push_back(Open(s));
    std::atomic<bool> stop{false};
    std::thread client([&] {
        while (!stop.load()) {
            FtHandle h = Open("S4");
            Status(h);
            Area(h);
            FtCloseDevice(h);
            Devices();
            simbus::Detach("S4");
            simbus::Attach("B", "S4");
        }
    });
    std::vector<std::thread> writers;
    for (FtHandle h : hs)
        writers.emplace_back([h] {
            for (int i = 0; i < 2000; ++i)
                ASSERT_EQ(Write(h, {uint8_t(i)}), FT_OK);
        });
    for (auto &t : writers)
        t.join();
    stop = true;
    client.join();
    EXPECT_EQ(simbus::WriteCount(), 8000u);
    for (const char *s : {"S0", "S1", "S2", "S3"}) {
        const auto w = simbus::Writes(s);
        ASSERT_EQ(w.size(), 2000u);
        for (int i = 0; i < 2000; ++i)
            ASSERT_EQ(w[i][0], uint8_t(i));   // each board's bytes stay in order
    }
}

}   // namespace
