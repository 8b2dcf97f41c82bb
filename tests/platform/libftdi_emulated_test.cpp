// libftdi_emulated_test.cpp - the libftdi backend run through the real libftdi1
// over emulated FTDI chips (ftdi_emulator.h): discovery, open, the pin clock,
// a second open refused, the user-area name on every chip and its failures,
// chips without a usable user area through the board and the exported
// functions, pin bytes of 8 boards at 1 kHz, failed transfers, unplug and
// replug through the board record, a rename during fast motion, and leaks over
// many cycles.
#include <gtest/gtest.h>

#include <libftdi1/ftdi.h>

#include <dirent.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"
#include "ftdi.h"
#include "ftdi_backend.h"
#include "ftdi_eeprom.h"
#include "ftdi_emulator.h"

extern "C" int convert_baudrate_UT_export(int baudrate, struct ftdi_context *ftdi, unsigned short *value,
                                          unsigned short *index);

namespace {

using namespace ftdi;
namespace ee = ftdi::eeprom;
using Bytes = std::vector<uint8_t>;

ee::Chip EeChip(kxemu::Kind k)
{
    switch (k) {
    case kxemu::Kind::FT232AM: return ee::Chip::AM;
    case kxemu::Kind::FT232BM:
    case kxemu::Kind::FT245BM: return ee::Chip::BM;
    case kxemu::Kind::FT2232D: return ee::Chip::FT2232C;
    case kxemu::Kind::FT2232H: return ee::Chip::FT2232H;
    case kxemu::Kind::FT4232H: return ee::Chip::FT4232H;
    case kxemu::Kind::FT232H: return ee::Chip::FT232H;
    case kxemu::Kind::FT232R:
    case kxemu::Kind::FT245R: return ee::Chip::R;
    case kxemu::Kind::FT230X: return ee::Chip::FT230X;
    }
    return ee::Chip::Unknown;
}

ftdi_chip_type LibftdiType(kxemu::Kind k)
{
    switch (EeChip(k)) {
    case ee::Chip::AM: return TYPE_AM;
    case ee::Chip::BM: return TYPE_BM;
    case ee::Chip::FT2232C: return TYPE_2232C;
    case ee::Chip::FT2232H: return TYPE_2232H;
    case ee::Chip::FT4232H: return TYPE_4232H;
    case ee::Chip::FT232H: return TYPE_232H;
    case ee::Chip::FT230X: return TYPE_230X;
    default: return TYPE_R;
    }
}

// Puts the checksum the chip computes into the last word of a `size`-byte image.
void FixChecksum(ee::Chip chip, Bytes &image, size_t size)
{
    const uint16_t sum = ee::Checksum(chip, image.data(), size);
    image[size - 2] = uint8_t(sum & 0xFF);
    image[size - 1] = uint8_t(sum >> 8);
}

// A programmed `size`-byte image whose last string grows until `left` bytes
// remain before the checksum, and those hold text (as a longer name once
// written there might leave): a layout we know, with a user area of `left`
// bytes (`left` even: strings are whole words).
Bytes WithUserAreaOf(ee::Chip chip, Bytes image, size_t size, size_t left)
{
    ee::UserArea ua;
    if (!ee::Locate(chip, image.data(), size, &ua))
        return {};
    const size_t at = image[0x12] & (size - 1);   // the serial string, the last one
    const size_t grown = ua.offset + ua.size - at - left;
    image[0x13] = image[at] = uint8_t(grown);
    std::memset(image.data() + at + grown, 'x', left);
    FixChecksum(chip, image, size);
    return image;
}

// Waits (up to 5 s) until `done` holds: for work of the backend's writer thread.
template <class F> bool Eventually(F done)
{
    for (int i = 0; i < 5000; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

FtHandle OpenAndSetUp(const char *serial)
{
    FtHandle h = nullptr;
    EXPECT_EQ(FtOpenBySerial(serial, &h), FT_OK) << serial;
    if (!h)
        return nullptr;
    EXPECT_EQ(FtSetPinMode(h, 0xFF, 1), FT_OK);
    EXPECT_EQ(FtSetPinClock(h, 3000000), FT_OK);
    return h;
}

// The board tests' temporary directory, with the libftdi backend over an
// empty emulated bus.
class Emulated : public boardtest::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        kxemu::Reset();
        detail::ForceBackend(detail::LibftdiBackend());
    }
    void TearDown() override
    {
        BoardTest::TearDown();   // closes any board first
        kxemu::Reset();
    }
};

TEST_F(Emulated, DiscoveryListsEveryChipAlsoOneWithoutSerial)
{
    std::vector<std::string> serials;
    for (const auto &k : kxemu::AllKinds()) {
        serials.push_back(std::string("KX") + k.name);
        kxemu::Plug(k.kind, "TRUV-kq4", serials.back());
    }
    kxemu::Plug(kxemu::Kind::FT232R, "TRUV-RZDO", "", false);
    serials.push_back("");
    uint32_t n = 0;
    ASSERT_EQ(FtCountDevices(&n), FT_OK);
    ASSERT_EQ(n, serials.size());
    for (uint32_t i = 0; i < n; ++i) {
        char d[kTextSize] = "x", s[kTextSize] = "x";
        ASSERT_EQ(FtGetDescriptionByIndex(i, d), FT_OK);
        ASSERT_EQ(FtGetSerialByIndex(i, s), FT_OK);
        EXPECT_STREQ(d, i + 1 == n ? "TRUV-RZDO" : "TRUV-kq4");
        EXPECT_EQ(s, serials[i]);
    }
    char s[kTextSize];
    EXPECT_EQ(FtGetSerialByIndex(n, s), FT_DEVICE_NOT_FOUND);

    // The device without a serial opens by the empty serial, and discovery
    // lists it as a board.
    FtHandle h = OpenAndSetUp("");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(FtCloseDevice(h), FT_OK);
    EXPECT_EQ(_RefreshDevices(), int(n));
    EXPECT_EQ(DeviceList.At(n - 1)->SerialNumber, "");
    EXPECT_TRUE(DeviceList.At(n - 1)->Opened);
}

TEST_F(Emulated, OpenSetsBitBangAndTheFastestDivisorOnEveryChip)
{
    ftdi_context *f = ftdi_new();
    ASSERT_NE(f, nullptr);
    for (const auto &k : kxemu::AllKinds()) {
        SCOPED_TRACE(k.name);
        const int id = kxemu::Plug(k.kind, "TRUV-kq4", k.name);
        FtHandle h = OpenAndSetUp(k.name);
        ASSERT_NE(h, nullptr);
        const kxemu::View v = kxemu::Snapshot(id);
        EXPECT_EQ(v.bitMask, 0xFF);
        EXPECT_EQ(v.bitMode, 1);
        ASSERT_TRUE(v.baudSet);
        // What libftdi encodes for the chip's fastest pin clock (3 MHz).
        f->type = LibftdiType(k.kind);
        unsigned short value = 0, index = 0;
        ASSERT_EQ(convert_baudrate_UT_export(3000000, f, &value, &index), 3000000);
        EXPECT_EQ(v.baudValue, value);
        EXPECT_EQ(v.baudIndex, index);
        EXPECT_EQ(v.baudValue & 0x3FFF,
                  (f->type == TYPE_2232H || f->type == TYPE_4232H || f->type == TYPE_232H) ? 4 : 0);
        EXPECT_TRUE(v.claimed);
        EXPECT_EQ(FtCloseDevice(h), FT_OK);
        EXPECT_FALSE(kxemu::Snapshot(id).claimed);
    }
    ftdi_free(f);
}

// A claimed interface can't be claimed again (EBUSY): a second open of an
// open board fails and leaves nothing behind; once closed, it opens again.
TEST_F(Emulated, SecondOpenOfAnOpenChipIsRefused)
{
    kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "E1");
    FtHandle first = OpenAndSetUp("E1");
    ASSERT_NE(first, nullptr);
    const kxemu::Live live = kxemu::Count();
    FtHandle second = nullptr;
    EXPECT_EQ(FtOpenBySerial("E1", &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(kxemu::Count().handles, live.handles);
    EXPECT_EQ(kxemu::Count().contexts, live.contexts);
    EXPECT_EQ(FtCloseDevice(first), FT_OK);
    EXPECT_EQ(FtOpenBySerial("E1", &second), FT_OK);
    EXPECT_EQ(FtCloseDevice(second), FT_OK);
}

// Rename, close, reopen, name back, on every chip; no EEPROM byte outside the
// name's bytes and the checksum ever changes.
TEST_F(Emulated, UserAreaNameRoundTripOnEveryChip)
{
    for (const auto &k : kxemu::AllKinds()) {
        SCOPED_TRACE(k.name);
        const int id = kxemu::Plug(k.kind, "TRUV-kq4", k.name);
        const Bytes original = kxemu::Snapshot(id).eeprom;
        const ee::Chip chip = EeChip(k.kind);
        const size_t size = ee::DetectSize(chip, original.data(), std::min(original.size(), ee::kMaxImage));
        ee::UserArea ua;
        ASSERT_TRUE(ee::Locate(chip, original.data(), size, &ua));
        if (chip == ee::Chip::FT230X) {
            EXPECT_EQ(ua.offset, 0x24u);
        }

        FtHandle h = OpenAndSetUp(k.name);
        ASSERT_NE(h, nullptr);
        uint8_t area[kUserAreaSize];
        uint32_t read = 99;
        ASSERT_EQ(FtReadUserArea(h, area, sizeof area, &read), FT_OK);
        EXPECT_GE(read, 10u);
        EXPECT_EQ(area[0], 0);   // never named

        for (const char *name : {"Bench left", "Z\0\0\0\0\0\0\0\0"}) {
            const kxemu::View set = kxemu::Snapshot(id);
            ASSERT_EQ(FtWriteUserArea(h, reinterpret_cast<const uint8_t *>(name), 10), FT_OK);
            const kxemu::View after = kxemu::Snapshot(id);   // the pins as they were
            EXPECT_EQ(after.bitMode, 1);
            EXPECT_EQ(after.baudValue, set.baudValue);
            EXPECT_EQ(after.baudIndex, set.baudIndex);
            EXPECT_EQ(FtCloseDevice(h), FT_OK);
            h = OpenAndSetUp(k.name);
            ASSERT_NE(h, nullptr);
            read = 0;
            ASSERT_EQ(FtReadUserArea(h, area, sizeof area, &read), FT_OK);
            ASSERT_GE(read, 10u);
            EXPECT_EQ(0, std::memcmp(area, name, 10));

            const kxemu::View v = kxemu::Snapshot(id);
            ASSERT_EQ(v.eeprom.size(), original.size());
            for (size_t i = 0; i < original.size(); ++i) {
                const size_t at = i % size;   // a small part's second half mirrors the first
                const bool name = at >= ua.offset && at < ua.offset + 10;
                const bool checksum = at >= size - 2;
                if (!name && !checksum) {
                    ASSERT_EQ(v.eeprom[i], original[i]) << "byte " << i;
                }
            }
            EXPECT_EQ(ee::Checksum(chip, v.eeprom.data(), size), v.eeprom[size - 2] | v.eeprom[size - 1] << 8);
            EXPECT_EQ(v.latency, 16);   // put back after the write
        }
        // The same name again writes nothing.
        const unsigned writes = kxemu::Snapshot(id).eepromWrites;
        ASSERT_EQ(FtWriteUserArea(h, reinterpret_cast<const uint8_t *>("Z\0\0\0\0\0\0\0\0"), 10), FT_OK);
        EXPECT_EQ(kxemu::Snapshot(id).eepromWrites, writes);
        EXPECT_EQ(FtCloseDevice(h), FT_OK);
    }
}

// A chip with no user area we can use is "not supported", which is not an
// I/O error; an EEPROM that keeps something else than was written is one.
TEST_F(Emulated, UserAreaFailuresAreToldApart)
{
    const Bytes programmed = kxemu::ProgrammedEeprom(kxemu::Kind::FT232BM, "FTDI", "TRUV-kq4", "B1");
    Bytes badChecksum = programmed;
    badChecksum[0x30] ^= 1;
    struct Case {
        const char *name;
        Bytes eeprom;
        bool corrupt;
        FtStatus read, write;
    } cases[] = {
        {"blank (no EEPROM)", Bytes(128, 0xFF), false, FT_NOT_SUPPORTED, FT_NOT_SUPPORTED},
        {"unknown layout", badChecksum, false, FT_NOT_SUPPORTED, FT_NOT_SUPPORTED},
        {"user area of 8 bytes", WithUserAreaOf(ee::Chip::BM, programmed, 128, 8), false, FT_NOT_SUPPORTED,
         FT_NOT_SUPPORTED},
        {"reads back wrong", programmed, true, FT_OK, FT_EEPROM_WRITE_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kxemu::Reset();
        const int id = kxemu::Plug(kxemu::Kind::FT232BM, "TRUV-kq4", "B1");
        ASSERT_EQ(c.eeprom.size(), 128u);
        kxemu::SetEeprom(id, c.eeprom);
        kxemu::CorruptEepromWrites(id, c.corrupt);
        FtHandle h = OpenAndSetUp("B1");
        ASSERT_NE(h, nullptr);
        uint8_t area[kUserAreaSize];
        uint32_t read = 0;
        EXPECT_EQ(FtReadUserArea(h, area, sizeof area, &read), c.read);
        EXPECT_EQ(FtWriteUserArea(h, reinterpret_cast<const uint8_t *>("Bench left"), 10), c.write);
        if (c.write == FT_NOT_SUPPORTED) {
            EXPECT_EQ(kxemu::Snapshot(id).eepromWrites, 0u);
        }
        // A vanished chip is an I/O error, whatever its EEPROM.
        kxemu::Unplug(id);
        EXPECT_EQ(FtReadUserArea(h, area, sizeof area, &read), FT_EEPROM_READ_FAILED);
        EXPECT_EQ(FtWriteUserArea(h, reinterpret_cast<const uint8_t *>("Bench left"), 10), FT_EEPROM_READ_FAILED);
        EXPECT_EQ(FtCloseDevice(h), FT_OK);
    }
}

// A chip without a usable user area (none, a layout we don't know, or one too
// small for the name), through discovery and the exported functions: it is
// listed and opened without a name from the chip, a rename and a close write
// no EEPROM word (nor reset the chip), the save succeeds, and the name and a
// motor's position come back from the settings file after the board was
// forgotten, unplugged, found again and reopened.
TEST_F(Emulated, ChipWithoutUserAreaKeepsNameAndPositionInTheSettingsFile)
{
    enum class Image { Blank, BadChecksum, StringInHeader, AreaTooSmall };
    struct Case {
        const char *name;
        kxemu::Kind kind;
        Image image;
    } cases[] = {
        {"FT232R, blank EEPROM", kxemu::Kind::FT232R, Image::Blank},
        {"FT2232H, no EEPROM", kxemu::Kind::FT2232H, Image::Blank},
        {"FT230X, blank MTP", kxemu::Kind::FT230X, Image::Blank},
        {"FT232BM, wrong checksum", kxemu::Kind::FT232BM, Image::BadChecksum},
        {"FT232R, a string inside the header", kxemu::Kind::FT232R, Image::StringInHeader},
        {"FT230X, a string inside the header", kxemu::Kind::FT230X, Image::StringInHeader},
        {"FT232R, 6 bytes left after the strings", kxemu::Kind::FT232R, Image::AreaTooSmall},
        {"FT2232D, 6 bytes left after the strings", kxemu::Kind::FT2232D, Image::AreaTooSmall},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kxemu::Reset();
        Bytes image = kxemu::ProgrammedEeprom(c.kind, "FTDI", "TRUV-kq4", "N1");
        ASSERT_GE(image.size(), 128u);
        const ee::Chip chip = EeChip(c.kind);
        const size_t size = image.size() > 128 ? 256 : 128;
        switch (c.image) {
        case Image::Blank: image.assign(size, 0xFF); break;
        case Image::BadChecksum: image[size - 2] ^= 1; break;
        case Image::StringInHeader:
            image[0x0E] = uint8_t((image[0x0E] & ~(size - 1)) | 0x02);   // the manufacturer string at byte 2
            FixChecksum(chip, image, size);
            break;
        case Image::AreaTooSmall: image = WithUserAreaOf(chip, image, size, 6); break;
        }
        ee::UserArea ua;
        ASSERT_EQ(ee::Locate(chip, image.data(), size, &ua) ? ua.size : 0u, c.image == Image::AreaTooSmall ? 6u : 0u);

        WriteSettings("N1", boardtest::Block({boardtest::Slot(1, 0x85, "a", 0.0f, 2.0f)}));
        const int id = kxemu::Plug(c.kind, "TRUV-kq4", "N1");
        kxemu::SetEeprom(id, image);
        const Bytes eeprom = kxemu::Snapshot(id).eeprom;

        ASSERT_EQ(_RefreshDevices(), 1);
        ASSERT_TRUE(_CheckDeviceConnection(0));
        char name[32] = {};
        ASSERT_TRUE(_GetDeviceName(0, name, sizeof name));
        EXPECT_STREQ(name, "TRUV-kq40");   // the chip gives none, the file has none
        kxemu::ClearRecords(id);

        EXPECT_TRUE(_RenameDevice(0, "Bench left"));   // the save succeeds
        ASSERT_TRUE(_GetDeviceName(0, name, sizeof name));
        EXPECT_STREQ(name, "Bench left");
        ASSERT_TRUE(_SM_Move(0, 0, 4.5));   // 9 steps
        USBDriver *board = DeviceList.At(0);
        for (int ms = 0; ms < 5000 && _SM_IsRunning(0, 0); ++ms)
            board->Tick(10.0 + ms * 0.001);
        ASSERT_FALSE(_SM_IsRunning(0, 0));
        EXPECT_EQ(_SM_GetPosition(0, 0), 4.5);
        EXPECT_TRUE(_CloseDevice(0));
        EXPECT_FALSE(_CheckDeviceConnection(0));

        kxemu::View v = kxemu::Snapshot(id);
        EXPECT_EQ(v.eepromWrites, 0u);
        EXPECT_EQ(v.eeprom, eeprom);
        for (const kxemu::Control &ctl : v.controls) {
            EXPECT_NE(ctl.request, SIO_WRITE_EEPROM_REQUEST);
            EXPECT_NE(ctl.request, SIO_RESET_REQUEST);   // bit-bang mode never left
        }
        EXPECT_FALSE(v.received.empty());   // the motor's frames went out
        DeviceSettings saved;
        const Bytes file = boardtest::ReadFile(SettingsPath("N1"));
        ASSERT_EQ(file.size(), sizeof saved);
        std::memcpy(&saved, file.data(), sizeof saved);
        EXPECT_EQ(std::string(saved.BoardName, strnlen(saved.BoardName, kBoardNameBytes)), "Bench left");
        EXPECT_EQ(static_cast<float>(saved.MotorSettings[0].Position), 4.5f);   // a copy: the record is packed

        // Forgotten, unplugged and plugged in again: found, opened, and the
        // file's name and position are back.
        _CloseAllDevices();
        kxemu::Unplug(id);
        kxemu::Replug(id);
        ASSERT_EQ(_RefreshDevices(), 1);
        ASSERT_TRUE(_CheckDeviceConnection(0));
        ASSERT_TRUE(_GetDeviceName(0, name, sizeof name));
        EXPECT_STREQ(name, "Bench left");
        EXPECT_EQ(_SM_GetPosition(0, 0), 4.5);
        _CloseAllDevices();
        v = kxemu::Snapshot(id);
        EXPECT_EQ(v.eepromWrites, 0u);
        EXPECT_EQ(v.eeprom, eeprom);
    }
}

// The FT232R's internal EEPROM takes writes only after libftdi's preparation
// (the latency timer at 0x77); the backend prepares it and puts the timer back.
TEST_F(Emulated, Ft232rEepromWriteIsPrepared)
{
    const int id = kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "R1");
    FtHandle h = OpenAndSetUp("R1");
    ASSERT_NE(h, nullptr);
    kxemu::ClearRecords(id);
    ASSERT_EQ(FtWriteUserArea(h, reinterpret_cast<const uint8_t *>("Bench left"), 10), FT_OK);
    const kxemu::View v = kxemu::Snapshot(id);
    // Reset, modem status, latency 0x77, then the first EEPROM write.
    std::vector<uint8_t> before;
    for (const kxemu::Control &c : v.controls) {
        if (c.request == SIO_WRITE_EEPROM_REQUEST)
            break;
        if (c.request != SIO_READ_EEPROM_REQUEST)
            before.push_back(c.request);
    }
    // (the pin mode and clock again right after the reset).
    EXPECT_EQ(before, (std::vector<uint8_t>{SIO_RESET_REQUEST, SIO_SET_BITMODE_REQUEST, SIO_SET_BAUDRATE_REQUEST,
                                            SIO_GET_LATENCY_TIMER_REQUEST, SIO_POLL_MODEM_STATUS_REQUEST,
                                            SIO_SET_LATENCY_TIMER_REQUEST}));
    EXPECT_EQ(v.latency, 16);
    EXPECT_EQ(v.bitMode, 1);
    EXPECT_EQ(FtCloseDevice(h), FT_OK);
}

// 8 boards x 7 four-wire motors stepping on every tick of the real tick
// thread for 2 s: every frame reaches its chip, and each motor's frames come
// in step order (the coil pattern advances by one per frame) and are as many
// as the steps the motor made.
TEST_F(Emulated, PinBytesOfEightBoardsArriveCompleteAndInOrder)
{
    constexpr unsigned kBoards = 8, kMotors = 7;
    std::vector<SMotorSettings> slots;
    for (uint8_t m = 0; m < kMotors; ++m)
        slots.push_back(MakeRecord({.address = uint8_t(m + 1), .type = 0x85, .name = "m", .length = 2000000000}));
    std::vector<int> ids;
    for (unsigned b = 0; b < kBoards; ++b) {
        const std::string serial = "P" + std::to_string(b);
        WriteSettings(serial.c_str(), boardtest::Block(slots));
        ids.push_back(kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", serial));
    }
    SetTickTimerSuppressed(false);
    ASSERT_EQ(_RefreshDevices(), int(kBoards));
    for (unsigned b = 0; b < kBoards; ++b)
        for (unsigned m = 0; m < kMotors; ++m)
            ASSERT_TRUE(_SM_Move(b, m, 1e8));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    StopTickTimer();
    std::vector<detail::LibftdiCounters> counters;
    std::vector<std::vector<int32_t>> steps(kBoards);
    for (unsigned b = 0; b < kBoards; ++b) {
        USBDriver *board = DeviceList.At(b);
        counters.push_back(detail::LibftdiCountersForTest(board->Handle));
        for (unsigned m = 0; m < kMotors; ++m)
            steps[b].push_back(board->Motors[m].Position);
    }
    _CloseAllDevices();                                 // drains the queues
    const uint8_t full[4] = {0x08, 0x04, 0x02, 0x01};   // four-wire full-step patterns by position & 3
    for (unsigned b = 0; b < kBoards; ++b) {
        SCOPED_TRACE("board " + std::to_string(b));
        EXPECT_EQ(counters[b].refusedWrites + counters[b].failedTransfers, 0u);
        const kxemu::View v = kxemu::Snapshot(ids[b]);
        ASSERT_EQ(v.received.size(), counters[b].queuedBytes);
        EXPECT_EQ(v.outsideBitbang, 0u);
        std::vector<int32_t> frames(kMotors, 0);
        const Bytes &r = v.received;
        for (size_t i = 0; i + 1 < r.size();) {
            const unsigned motor = (r[i] >> 4) - 8;   // channel bits 0x80..0xE0: addresses 1..7
            ASSERT_LT(motor, kMotors) << "byte " << i;
            if (r[i + 1] == 0xF0) {   // a release frame (the open's)
                i += 2;
                continue;
            }
            ASSERT_LT(i + 2, r.size());
            ASSERT_EQ(r[i + 1], r[i]) << "byte " << i;
            ASSERT_EQ(r[i + 2], 0xF0 | (r[i] & 0x0F)) << "byte " << i;
            ++frames[motor];
            ASSERT_EQ(r[i] & 0x0F, full[frames[motor] & 3]) << "motor " << motor << " frame " << frames[motor];
            i += 3;
        }
        EXPECT_EQ(frames, steps[b]);
        EXPECT_GT(steps[b][0], 100);   // they did step (on every tick once started)
    }
}

// A failed transfer loses its own bytes only; the failure is counted and
// reported once by the status query; the next tick's bytes go out.
TEST_F(Emulated, FailedTransferCostsOnlyItsOwnBytes)
{
    const int id = kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "F1");
    FtHandle h = OpenAndSetUp("F1");
    ASSERT_NE(h, nullptr);
    kxemu::ClearRecords(id);
    kxemu::FailBulkTransfers(id, 1);
    const uint8_t a[4] = {1, 2, 3, 4}, b[3] = {5, 6, 7};
    uint32_t written = 0;
    ASSERT_EQ(FtWriteBytes(h, a, sizeof a, &written), FT_OK);
    ASSERT_TRUE(Eventually([&] { return detail::LibftdiCountersForTest(h).failedTransfers == 1; }));
    EXPECT_EQ(FtWriteBytes(h, b, sizeof b, &written), FT_OK);   // not refused for the earlier failure
    ASSERT_TRUE(Eventually([&] { return kxemu::Snapshot(id).received.size() == 3; }));
    EXPECT_EQ(kxemu::Snapshot(id).received, (Bytes{5, 6, 7}));
    const detail::LibftdiCounters c = detail::LibftdiCountersForTest(h);
    EXPECT_EQ(c.failedBytes, 4u);
    EXPECT_EQ(c.queuedBytes, 7u);
    uint32_t rx, tx, ev;
    EXPECT_EQ(FtQueryStatus(h, &rx, &tx, &ev), FT_IO_ERROR);   // told once
    EXPECT_EQ(FtQueryStatus(h, &rx, &tx, &ev), FT_OK);
    EXPECT_EQ(FtCloseDevice(h), FT_OK);
}

// A board whose transfer failed once and which stays attached is closed by
// the watchdog and reopened at once: the lost handle is freed, so the new one
// can claim the interface.
TEST_F(Emulated, TransientFailureIsReopenedByTheWatchdog)
{
    WriteSettings("T1", boardtest::Block({boardtest::Slot(1, 0x85, "a", 0.0f, 2.0f)}));
    const int id = kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "T1");
    USBDriver b("TRUV-kq4", "T1");
    ASSERT_TRUE(b.Open());
    kxemu::FailBulkTransfers(id, 1);
    ASSERT_TRUE(b.Release(8));
    ASSERT_TRUE(Eventually([&] { return detail::LibftdiCountersForTest(b.Handle).failedTransfers == 1; }));
    b.OnWatchTimer();   // status fails: closed as lost, reopened
    EXPECT_TRUE(b.Opened);
    EXPECT_EQ(kxemu::Count().handles, 1);
    EXPECT_TRUE(kxemu::Snapshot(id).claimed);
    b.OnWatchTimer();
    EXPECT_TRUE(b.Opened);
}

// Unplugged: closed as lost (positions saved, user area untouched); replugged:
// reopened with the positions restored and the name from the chip.
TEST_F(Emulated, UnplugAndReplugThroughTheBoard)
{
    WriteSettings("U1", boardtest::Block({boardtest::Slot(1, 0x85, "a", 0.0f, 2.0f)}, "Left"));
    const int id = kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "U1");
    {
        USBDriver first("TRUV-kq4", "U1");
        ASSERT_TRUE(first.Open());
        first.Close(false);   // stores the name "Left" on the chip
    }
    USBDriver b("TRUV-kq4", "U1");
    ASSERT_TRUE(b.Open());
    EXPECT_EQ(b.Name, "Left");
    {
        std::lock_guard lock(b.Lock);
        b.Motors[0].Position = 9;   // 4.5 units
        b.Motors[0].Target = 9;
    }
    const Bytes eeprom = kxemu::Snapshot(id).eeprom;
    kxemu::Unplug(id);
    b.OnWatchTimer();   // lost, and a reopen attempt that fails
    EXPECT_FALSE(b.Opened);
    EXPECT_EQ(kxemu::Count().handles, 0);   // the lost handle is freed
    DeviceSettings saved;
    Bytes file = boardtest::ReadFile(SettingsPath("U1"));
    ASSERT_EQ(file.size(), sizeof saved);
    std::memcpy(&saved, file.data(), sizeof saved);
    EXPECT_EQ(static_cast<float>(saved.MotorSettings[0].Position), 4.5f);   // a copy: the record is packed
    b.OnWatchTimer();
    EXPECT_FALSE(b.Opened);

    kxemu::Replug(id);
    b.OnWatchTimer();
    ASSERT_TRUE(b.Opened);
    EXPECT_EQ(b.Motors[0].Position, 9);
    EXPECT_EQ(b.Name, "Left");
    EXPECT_EQ(kxemu::Snapshot(id).eeprom, eeprom);
    const kxemu::View v = kxemu::Snapshot(id);
    EXPECT_EQ(v.bitMode, 1);
    EXPECT_FALSE(v.received.empty());   // the release frames of the reopen
}

// A rename while seven motors step on every tick: the user-area write (a few
// hundred control transfers of 1 ms each here) lets the pin bytes through
// between its transfers, so no tick's frames are refused or lost, and all of
// them reach the chip.
TEST_F(Emulated, RenameDuringFastMotionLosesNoFrame)
{
    std::vector<SMotorSettings> slots;
    for (uint8_t m = 0; m < 7; ++m)   // two-wire motors, a step on every tick
        slots.push_back(MakeRecord({.address = uint8_t(m + 1), .type = 0x01, .name = "m", .length = 2000000000}));
    WriteSettings("M1", boardtest::Block(slots));
    const int id = kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "M1");
    kxemu::SetTransferTime(1000, 100);
    SetTickTimerSuppressed(false);
    ASSERT_EQ(_RefreshDevices(), 1);
    USBDriver *b = DeviceList.At(0);
    for (unsigned m = 0; m < 7; ++m)
        ASSERT_TRUE(_SM_Move(0, m, 1e8));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t before = detail::LibftdiCountersForTest(b->Handle).queuedBytes;
    ASSERT_TRUE(_RenameDevice(0, "Fast"));
    const uint64_t during = detail::LibftdiCountersForTest(b->Handle).queuedBytes - before;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    StopTickTimer();
    const detail::LibftdiCounters c = detail::LibftdiCountersForTest(b->Handle);
    _CloseAllDevices();   // drains the queue
    EXPECT_EQ(c.refusedWrites, 0u);
    EXPECT_EQ(c.failedTransfers, 0u);
    EXPECT_GT(during, 91u * 100);   // the motors kept stepping through the rename
    const kxemu::View v = kxemu::Snapshot(id);
    EXPECT_EQ(v.received.size(), c.queuedBytes);   // in order: one queue, one writer
    EXPECT_EQ(v.outsideBitbang, 0u);               // none while the EEPROM write's reset had left bit-bang mode
}

unsigned CountEntries(const char *dir)
{
    unsigned n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// 100 unplug and replug cycles of two boards through the watchdog leave no
// thread, libusb context, handle or file descriptor behind.
TEST_F(Emulated, UnplugReplugCyclesLeakNothing)
{
    const int a = kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", "C1");
    const int c = kxemu::Plug(kxemu::Kind::FT2232H, "TRUV-kq4", "C2");
    ASSERT_EQ(_RefreshDevices(), 2);   // the enumeration context exists from here on
    USBDriver *boards[2] = {DeviceList.At(0), DeviceList.At(1)};
    // Each board: one libusb context and one handle (the enumeration context
    // is kept), one writer thread.
    const unsigned threads0 = CountEntries("/proc/self/task");
    const unsigned fds0 = CountEntries("/proc/self/fd");
    const kxemu::Live live0 = kxemu::Count();
    EXPECT_EQ(live0.handles, 2);
    for (int cycle = 0; cycle < 100; ++cycle) {
        kxemu::Unplug(cycle % 2 ? a : c);
        if (cycle % 3 == 0)
            kxemu::Unplug(cycle % 2 ? c : a);
        for (USBDriver *b : boards)
            b->OnWatchTimer();
        kxemu::Replug(a);
        kxemu::Replug(c);
        if (cycle % 5 == 0)
            _RefreshDevices();
        for (USBDriver *b : boards)
            b->OnWatchTimer();
        ASSERT_TRUE(boards[0]->Opened && boards[1]->Opened) << "cycle " << cycle;
    }
    EXPECT_EQ(CountEntries("/proc/self/task"), threads0);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds0);
    const kxemu::Live live = kxemu::Count();
    EXPECT_EQ(live.contexts, live0.contexts);
    EXPECT_EQ(live.handles, live0.handles);
    EXPECT_EQ(live.devices, live0.devices);
}

}   // namespace
