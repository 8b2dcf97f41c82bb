// ftdi_emulator.h - emulated FTDI chips below the real libftdi1, for tests and
// the benchmark: the libusb-1.0 calls libftdi1 makes are answered here.
//
// How: ftdi_emulator.cpp defines every libusb-1.0 function libftdi1 imports
// (and the one the backend calls itself). Linked into a test or benchmark
// program (which exports them, ENABLE_EXPORTS), these definitions come first in
// the dynamic linker's search order, so the unchanged Debian libftdi1 binds to
// them instead of the real libusb; the real libusb stays loaded but is never
// called. libftdi1 itself is not touched: its open sequence, chip detection,
// baud-rate encoding, bit-bang requests, EEPROM reader and bulk writer all run
// as they do with a board.
//
// Why this and not umockdev: umockdev replays recorded ioctls of usbdevfs for a
// fixed script; a chip that answers dynamically (EEPROM words that change as
// they are written, a device that vanishes and comes back at a chosen moment,
// EBUSY on a second claim, per-byte arrival times) would need a hand-written
// ioctl handler in a preload library plus a running umockdev testbed per test.
// Answering at the libusb API is deterministic, needs no daemon, preload or
// extra package, and runs unchanged under ASan and TSan.
//
// What it models per chip: device and string descriptors (optionally no serial
// string), SIO reset (which leaves bit-bang mode), bit-bang mode, baud divisor, latency timer, modem status,
// EEPROM words read and written (93C46/93C56 wrap at their size; the FT232R's
// internal EEPROM takes writes only after the latency timer was set to 0x77
// and commits two words at a time; the FT230X ignores writes to its reserved
// words 0x40..0x4F), a bulk-OUT sink recording every byte with its arrival
// time, and faults on demand. The asynchronous transfer calls fail with
// LIBUSB_ERROR_NOT_SUPPORTED: nothing here uses them.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxemu {

enum class Kind {
    FT232AM,   // 93C46
    FT232BM,   // 93C46
    FT245BM,   // 93C46
    FT2232D,   // 93C56
    FT2232H,   // 93C56
    FT4232H,   // 93C56
    FT232H,    // 93C56
    FT232R,    // internal 128-byte EEPROM
    FT245R,    // internal 128-byte EEPROM
    FT230X,    // MTP memory, user area of its own
};

struct KindInfo {
    Kind kind;
    const char *name;
};
// Every kind, for table-driven tests.
const std::vector<KindInfo> &AllKinds();

// Removes every chip; counters of live libusb objects stay.
void Reset();

// Attaches a new chip with `description` and `serial` (no serial string when
// `hasSerial` is false) and an EEPROM programmed with them. Returns its id.
int Plug(Kind kind, const std::string &description, const std::string &serial, bool hasSerial = true);
// The chip vanishes: it leaves the bus, and every use of a handle opened on it
// fails with LIBUSB_ERROR_NO_DEVICE. Its state (EEPROM, settings) stays.
void Unplug(int id);
// The chip comes back as a new USB device (a new address; old handles stay dead).
void Replug(int id);

// Faults on demand.
void FailBulkTransfers(int id, int count);                   // the next `count` bulk writes fail (LIBUSB_ERROR_IO)
void CorruptEepromWrites(int id, bool on);                   // words written are stored with one bit flipped
void SetEeprom(int id, const std::vector<uint8_t> &image);   // replace the EEPROM content
// Time each control / bulk transfer takes (default 0): the wait happens with no
// emulator lock held, as a USB transfer would.
void SetTransferTime(int controlUs, int bulkUs);

struct Arrival {
    int64_t ns;      // CLOCK_MONOTONIC time the bulk transfer completed
    size_t offset;   // first byte of it in `received`
    size_t length;
};

struct Control {
    uint8_t requestType, request;
    uint16_t value, index;
};

struct View {
    bool attached = false;
    uint8_t bitMask = 0, bitMode = 0;   // last SET_BITMODE
    bool baudSet = false;
    uint16_t baudValue = 0, baudIndex = 0;   // last SET_BAUDRATE
    uint8_t latency = 16;
    std::vector<uint8_t> eeprom;     // the whole EEPROM, size of the part
    std::vector<uint8_t> received;   // every bulk-OUT byte, in order
    std::vector<Arrival> arrivals;
    std::vector<Control> controls;   // every control transfer, in order
    unsigned eepromWrites = 0;       // write requests taken (stored or not)
    size_t outsideBitbang = 0;       // bulk bytes that came while not in bit-bang mode
    bool claimed = false;            // interface 0 claimed by an open handle
};
View Snapshot(int id);
// Forgets the recorded bytes, arrivals and control transfers of chip `id`.
void ClearRecords(int id);

// Live libusb objects made by the code under test.
struct Live {
    int contexts = 0;
    int handles = 0;
    int devices = 0;   // device objects still referenced (attached ones included)
};
Live Count();

// An EEPROM image from libftdi's own builder for chip type `type` (an
// ftdi_chip_type) with an EEPROM part `part` (0x46: 128 bytes, 0x56: 256); no
// serial string when `serial` is null. Empty when the builder refuses.
std::vector<uint8_t> LibftdiEeprom(int type, int part, const std::string &manufacturer, const std::string &product,
                                   const char *serial);
// An EEPROM image as the chip's vendor tools program it for `kind`.
std::vector<uint8_t> ProgrammedEeprom(Kind kind, const std::string &manufacturer, const std::string &product,
                                      const std::string &serial, bool hasSerial = true);

int64_t NowNs();   // CLOCK_MONOTONIC

}   // namespace kxemu
