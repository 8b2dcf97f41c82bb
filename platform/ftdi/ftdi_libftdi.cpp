// ftdi_libftdi.cpp - the FTDI layer on real boards through libftdi1: devices by
// the chip's default vendor/product ids, asynchronous bit-bang, the EEPROM user
// area, and pin writes handed to a per-board writer thread so the 1 ms tick
// never waits for USB and allocates nothing.
#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>

#include "ftdi.h"
#include "ftdi_backend.h"
#include "ftdi_eeprom.h"
#include "kxlocks.h"

namespace ftdi::detail {
namespace {

namespace ee = ftdi::eeprom;

// Pin clock. libftdi's ftdi_set_baudrate multiplies the rate by 4 once
// bit-bang mode is on and then refuses a rate the chip can't make within 5 %.
// The value the core passes is the rate in the original library's terms: for
// 3000000 that library programs the chip's fastest divisor (0, the 3 MHz base
// clock on AM/BM/R/230X chips; 12 MHz / 4 on the H chips, exactly 3 MHz). So
// in bit-bang mode we hand libftdi rate / 4 (rounded): it multiplies by 4,
// lands on `rate` and programs the very divisor the original library chose
// (750000 -> 3000000 -> divisor 0). Passing 3000000 unchanged would ask for
// 12 MHz and be refused. Outside bit-bang mode the rate goes through as is.
int LibftdiBaud(uint32_t rate, bool bitbang)
{
    if (!bitbang)
        return rate > 0x7FFFFFFFu ? 0x7FFFFFFF : int(rate);
    const uint32_t quarter = (rate + 2) / 4;
    return quarter == 0 ? 1 : int(quarter);
}

ee::Chip ChipOf(const ftdi_context *ctx)
{
    switch (ctx->type) {
    case TYPE_AM: return ee::Chip::AM;
    case TYPE_BM: return ee::Chip::BM;
    case TYPE_2232C: return ee::Chip::FT2232C;
    case TYPE_R: return ee::Chip::R;
    case TYPE_2232H: return ee::Chip::FT2232H;
    case TYPE_4232H: return ee::Chip::FT4232H;
    case TYPE_232H: return ee::Chip::FT232H;
    case TYPE_230X: return ee::Chip::FT230X;
    default: return ee::Chip::Unknown;
    }
}

// One stderr line per cause and device: the watchdog and discovery retry every
// few hundred milliseconds and must not flood the terminal. An empty text
// forgets the last cause without printing.
void Complain(const std::string &key, const std::string &text)
{
    static std::mutex m;
    static auto *said = new std::map<std::string, std::string>;   // guarded by m
    std::lock_guard<std::mutex> lock(m);
    std::string &last = (*said)[key];
    if (last == text)
        return;
    last = text;
    if (text.empty())
        return;   // the cause went away: a later one is told again
    std::fprintf(stderr, "kinetrax: %s\n", text.c_str());
}

// libftdi's FTDI_DEVICE_OUT_REQTYPE, without its or-ing of two enum types.
constexpr uint8_t kDeviceOutRequest = uint8_t(int(LIBUSB_REQUEST_TYPE_VENDOR) | int(LIBUSB_RECIPIENT_DEVICE) |
                                              int(LIBUSB_ENDPOINT_OUT));
constexpr size_t kRing = 16384;   // pin bytes queued per board (over 100 ms of ticks)
constexpr int kUsbTimeoutMs = 1000;

// The tick's pin write takes the handle table's lock and then the board's ring
// lock: both inherit priority (kxlocks.h), so a client thread holding one
// while the tick waits runs at the tick's priority until it lets go.
//
// The USB lock is taken per transfer. A client operation of many transfers
// (the user-area write is a few hundred control transfers) takes it once per
// transfer, and only after the pin bytes queued so far have gone out: the
// pins wait at most one control transfer, never for the whole operation.
struct Board {
    ftdi_context *ctx = nullptr;
    std::string serial;

    std::mutex eeprom;                  // one user-area read or write at a time (taken before the others)
    std::mutex usb;                     // every use of ctx: the writer's bulk writes and client transfers
    bool bitbang = false;               // guarded by usb
    uint8_t pinMask = 0, pinMode = 0;   // the last pin mode set; guarded by usb
    uint32_t pinRate = 0;               // the last pin clock set (0: none); guarded by usb

    kx::PiMutex ringLock;
    kx::PiCondVar ringCv;   // the writer: bytes queued, or stop
    kx::PiCondVar doneCv;   // clients: the writer finished a chunk
    uint8_t ring[kRing] GUARDED_BY(ringLock);
    size_t head GUARDED_BY(ringLock) = 0, used GUARDED_BY(ringLock) = 0;
    uint64_t queued GUARDED_BY(ringLock) = 0;   // bytes ever queued
    uint64_t done GUARDED_BY(ringLock) = 0;     // bytes the writer ever finished (sent or failed)
    bool stop GUARDED_BY(ringLock) = false;
    uint8_t chunk[kRing];   // the writer thread's own

    std::atomic<bool> failed{false};                            // a transfer failed since the last status query
    std::atomic<uint64_t> failedTransfers{0}, failedBytes{0};   // pin bytes lost in failed transfers
    std::atomic<uint64_t> refusedWrites{0}, refusedBytes{0};    // writes refused (queue full)
    std::thread writer;

    ~Board()
    {
        if (writer.joinable()) {
            {
                kx::LockGuard<kx::PiMutex> lock(ringLock);
                stop = true;
            }
            ringCv.NotifyOne();
            writer.join();
        }
        if (ctx) {
            std::lock_guard<std::mutex> lock(usb);
            ftdi_usb_close(ctx);   // also for a vanished device: it frees the handle
            ftdi_free(ctx);
        }
    }

    // The USB lock for one client transfer, taken once the pin bytes queued
    // before the call have been written (or failed).
    std::unique_lock<std::mutex> UsbAfterPins()
    {
        {
            kx::LockGuard<kx::PiMutex> lock(ringLock);
            const uint64_t target = queued;
            const int64_t deadline = kx::MonotonicNs() + int64_t(2 * kUsbTimeoutMs) * 1000000;
            while (done < target && !stop && doneCv.WaitUntil(ringLock, deadline)) {
            }
        }
        return std::unique_lock<std::mutex>(usb);
    }

    // Writes the queued bytes in order; stops once the queue is empty after Close.
    void WriterMain()
    {
        sched_param sp{};
        sp.sched_priority = 70;   // just below the tick when real-time is permitted
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
        pthread_setname_np(pthread_self(), "kinetrax-usb");
        for (;;) {
            size_t n = 0;
            {
                kx::LockGuard<kx::PiMutex> lock(ringLock);
                while (used == 0 && !stop)
                    ringCv.Wait(ringLock);
                if (used == 0)
                    return;
                while (used) {
                    const size_t run = std::min(used, kRing - head);
                    std::memcpy(chunk + n, ring + head, run);
                    n += run;
                    head = (head + run) % kRing;
                    used -= run;
                }
            }
            {
                std::lock_guard<std::mutex> lock(usb);
                if (ftdi_write_data(ctx, chunk, int(n)) != int(n)) {
                    failedTransfers.fetch_add(1, std::memory_order_relaxed);
                    failedBytes.fetch_add(n, std::memory_order_relaxed);
                    failed.store(true, std::memory_order_release);
                }
            }
            {
                kx::LockGuard<kx::PiMutex> lock(ringLock);
                done += n;
            }
            doneCv.NotifyAll();
        }
    }
};

// Live handles; a handle is the Board's address.
kx::PiMutex g_handlesLock;
std::map<FtHandle, std::shared_ptr<Board>> *
    g_handles PT_GUARDED_BY(g_handlesLock) = new std::map<FtHandle, std::shared_ptr<Board>>;

std::shared_ptr<Board> Find(FtHandle h)
{
    kx::LockGuard<kx::PiMutex> lock(g_handlesLock);
    auto it = g_handles->find(h);
    return it == g_handles->end() ? nullptr : it->second;
}

// Enumeration context shared by the count and by-index queries.
std::mutex g_enumLock;
ftdi_context *g_enum = nullptr;   // guarded by g_enumLock; made at first use, kept

ftdi_context *EnumContext()
{
    if (!g_enum) {
        g_enum = ftdi_new();
        if (!g_enum)
            Complain("usb", "can't use USB (libusb could not be initialised)");
    }
    return g_enum;
}

FtStatus Count(uint32_t *count)
{
    std::lock_guard<std::mutex> lock(g_enumLock);
    ftdi_context *ctx = EnumContext();
    if (!ctx)
        return FT_OTHER_ERROR;
    ftdi_device_list *list = nullptr;
    const int n = ftdi_usb_find_all(ctx, &list, 0, 0);   // 0, 0: the chip's default ids
    ftdi_list_free(&list);
    if (n < 0)
        return FT_OTHER_ERROR;
    *count = uint32_t(n);
    return FT_OK;
}

// The serial string of `dev` into `text` (kTextSize): "" for a device that
// has no serial string (its descriptor's index is 0), not a failure. Returns
// libftdi's result (0 on success).
int SerialOf(ftdi_context *ctx, libusb_device *dev, char *text)
{
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) < 0)
        return -11;
    if (desc.iSerialNumber == 0) {
        text[0] = '\0';
        return 0;
    }
    return ftdi_usb_get_strings(ctx, dev, nullptr, 0, nullptr, 0, text, kTextSize);
}

FtStatus StringByIndex(uint32_t index, char *buf, bool serial)
{
    std::lock_guard<std::mutex> lock(g_enumLock);
    ftdi_context *ctx = EnumContext();
    if (!ctx)
        return FT_OTHER_ERROR;
    ftdi_device_list *list = nullptr;
    const int n = ftdi_usb_find_all(ctx, &list, 0, 0);
    if (n < 0)
        return FT_OTHER_ERROR;
    ftdi_device_list *at = list;
    for (uint32_t i = 0; at && i < index; ++i)
        at = at->next;
    FtStatus st = FT_DEVICE_NOT_FOUND;
    if (at) {
        char text[kTextSize] = {};
        const int r = serial ? SerialOf(ctx, at->dev, text)
                             : ftdi_usb_get_strings(ctx, at->dev, nullptr, 0, text, kTextSize, nullptr, 0);
        if (r == 0) {
            text[kTextSize - 1] = '\0';
            CopyText(text, buf);
            st = FT_OK;
        } else {
            Complain("strings", std::string("can't read the USB strings of an FTDI device: ") +
                                    ftdi_get_error_string(ctx) +
                                    (r == -4 ? " (permission? see \"Using real boards\" in the README)" : ""));
            st = FT_OTHER_ERROR;
        }
    }
    ftdi_list_free(&list);
    return st;
}
FtStatus Description(uint32_t index, char *buf) { return StringByIndex(index, buf, false); }
FtStatus Serial(uint32_t index, char *buf) { return StringByIndex(index, buf, true); }

FtStatus Open(const char *serial, FtHandle *handle)
{
    auto board = std::make_shared<Board>();
    board->serial = serial;
    board->ctx = ftdi_new();
    if (!board->ctx) {
        Complain("usb", "can't use USB (libusb could not be initialised)");
        return FT_OTHER_ERROR;
    }
    ftdi_context *ctx = board->ctx;
    ftdi_device_list *list = nullptr;
    if (ftdi_usb_find_all(ctx, &list, 0, 0) < 0)
        return FT_DEVICE_NOT_FOUND;
    libusb_device *dev = nullptr;
    for (ftdi_device_list *d = list; d && !dev; d = d->next) {
        char s[kTextSize] = {};
        if (SerialOf(ctx, d->dev, s) == 0 && std::strncmp(s, serial, kTextSize) == 0)
            dev = d->dev;
    }
    if (!dev) {
        ftdi_list_free(&list);
        return FT_DEVICE_NOT_FOUND;
    }
    const int r = ftdi_usb_open_dev(ctx, dev);
    ftdi_list_free(&list);
    if (r < 0) {
        std::string cause = ftdi_get_error_string(ctx);
        if (r == -8 || r == -4)
            cause += " (no permission: install platform/ftdi/99-kinetrax-ftdi.rules, see the README)";
        else if (r == -5)
            cause += " (another program, or the kernel's serial driver, holds it)";
        Complain("open " + board->serial, "can't open FTDI device " + board->serial + ": " + cause);
        return FT_DEVICE_NOT_OPENED;
    }
    Complain("open " + board->serial, "");   // a later failure is reported again
    ctx->usb_write_timeout = kUsbTimeoutMs;
    ctx->usb_read_timeout = kUsbTimeoutMs;
    try {
        board->writer = std::thread(&Board::WriterMain, board.get());
    } catch (...) {
        return FT_OTHER_ERROR;
    }
    {
        kx::LockGuard<kx::PiMutex> lock(g_handlesLock);
        (*g_handles)[board.get()] = board;
    }
    *handle = board.get();
    return FT_OK;
}

FtStatus PinMode(FtHandle h, uint8_t mask, uint8_t mode)
{
    auto b = Find(h);
    if (!b)
        return FT_INVALID_HANDLE;
    auto lock = b->UsbAfterPins();
    if (ftdi_set_bitmode(b->ctx, mask, mode) < 0)
        return FT_IO_ERROR;
    b->bitbang = mode != BITMODE_RESET;
    b->pinMask = mask;
    b->pinMode = mode;
    return FT_OK;
}

FtStatus PinClock(FtHandle h, uint32_t rate)
{
    auto b = Find(h);
    if (!b)
        return FT_INVALID_HANDLE;
    if (rate == 0)
        return FT_INVALID_PARAMETER;
    auto lock = b->UsbAfterPins();
    if (ftdi_set_baudrate(b->ctx, LibftdiBaud(rate, b->bitbang)) < 0)
        return FT_IO_ERROR;
    b->pinRate = rate;
    return FT_OK;
}

// Reads the EEPROM image word by word (one USB lock per word) and its size.
bool ReadImage(Board &b, uint8_t (&image)[ee::kMaxImage], size_t *size)
{
    const ee::Chip chip = ChipOf(b.ctx);
    // The FT232R's internal EEPROM is 64 words; other parts are read as
    // libftdi reads them (128 words; a 93C46 repeats itself).
    const int words = chip == ee::Chip::R ? 64 : int(ee::kMaxImage / 2);
    std::memset(image, 0xFF, sizeof image);
    for (int w = 0; w < words; ++w) {
        unsigned short value = 0;
        auto lock = b.UsbAfterPins();
        if (ftdi_read_eeprom_location(b.ctx, w, &value) < 0)
            return false;
        image[2 * w] = uint8_t(value & 0xFF);
        image[2 * w + 1] = uint8_t(value >> 8);
    }
    *size = ee::DetectSize(chip, image, size_t(2 * words));
    return true;
}

// The user area of an image read from the chip, when it is one a name can be
// kept in: a layout we know, with room for kUserAreaMinimum bytes.
bool UsableArea(ee::Chip chip, const uint8_t *image, size_t size, ee::UserArea *ua)
{
    return ee::Locate(chip, image, size, ua) && ua->size >= kUserAreaMinimum;
}

FtStatus ReadUa(FtHandle h, uint8_t *buf, uint32_t size, uint32_t *read)
{
    auto b = Find(h);
    if (!b)
        return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> op(b->eeprom);
    uint8_t image[ee::kMaxImage];
    size_t eeSize = 0;
    if (!ReadImage(*b, image, &eeSize))
        return FT_EEPROM_READ_FAILED;
    ee::UserArea ua;
    if (!UsableArea(ChipOf(b->ctx), image, eeSize, &ua))
        return FT_NOT_SUPPORTED;   // blank, absent, of a layout we don't know, or too small
    const uint32_t n = ua.size < size ? uint32_t(ua.size) : size;
    std::memcpy(buf, image + ua.offset, n);
    *read = n;
    return FT_OK;
}

// One control transfer under its own USB lock (after the queued pin bytes).
bool Control(Board &b, uint8_t request, uint16_t value, uint16_t index)
{
    auto lock = b.UsbAfterPins();
    return libusb_control_transfer(b.ctx->usb_dev, kDeviceOutRequest, request, value, index, nullptr, 0,
                                   kUsbTimeoutMs) >= 0;
}

FtStatus WriteUa(FtHandle h, const uint8_t *data, uint32_t size)
{
    auto b = Find(h);
    if (!b)
        return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> op(b->eeprom);
    const ee::Chip chip = ChipOf(b->ctx);
    uint8_t before[ee::kMaxImage];
    size_t eeSize = 0;
    if (!ReadImage(*b, before, &eeSize))
        return FT_EEPROM_READ_FAILED;
    uint8_t after[ee::kMaxImage];
    std::memcpy(after, before, sizeof after);
    ee::UserArea ua;
    if (!UsableArea(chip, before, eeSize, &ua) || !ee::Patch(chip, after, eeSize, data, size))
        return FT_NOT_SUPPORTED;   // no user area we can use, or too small for `size`: nothing written
    if (std::memcmp(before, after, eeSize) == 0)
        return FT_OK;   // already stored: no write wears the EEPROM
    // Before writing, the steps libftdi's ftdi_write_eeprom takes (traced by
    // its authors from FTDI's own programmer): an SIO reset, a modem-status
    // poll and the latency timer at 0x77. The FT232R's internal EEPROM takes
    // no write without them; the external 93Cx6 parts don't mind. The latency
    // timer only paces reads from the chip; it is put back afterwards.
    // Nothing says the SIO reset leaves bit-bang mode on every chip: the pin
    // mode and clock are set again before the USB lock goes to a pin write.
    unsigned char latency = 0;
    {
        auto lock = b->UsbAfterPins();
        if (ftdi_usb_reset(b->ctx) < 0)
            return FT_EEPROM_WRITE_FAILED;
        const bool pins = (!b->bitbang || ftdi_set_bitmode(b->ctx, b->pinMask, b->pinMode) >= 0) &&
                          (!b->pinRate || ftdi_set_baudrate(b->ctx, LibftdiBaud(b->pinRate, b->bitbang)) >= 0);
        if (!pins || ftdi_get_latency_timer(b->ctx, &latency) < 0)
            return FT_EEPROM_WRITE_FAILED;
    }
    {
        unsigned short modem = 0;
        auto lock = b->UsbAfterPins();
        if (ftdi_poll_modem_status(b->ctx, &modem) < 0 || ftdi_set_latency_timer(b->ctx, 0x77) < 0)
            return FT_EEPROM_WRITE_FAILED;
    }
    // Only the words that changed, each with the other word of its aligned
    // pair (the FT232R's EEPROM commits 32 bits at a time).
    bool ok = true;
    for (size_t pair = 0; ok && pair < eeSize / 2; pair += 2) {
        bool changed = false;
        for (size_t w = pair; w < pair + 2; ++w)
            changed |= before[2 * w] != after[2 * w] || before[2 * w + 1] != after[2 * w + 1];
        if (!changed)
            continue;
        for (size_t w = pair; ok && w < pair + 2; ++w)
            ok = Control(*b, SIO_WRITE_EEPROM_REQUEST, uint16_t(after[2 * w] | after[2 * w + 1] << 8), uint16_t(w));
    }
    {
        auto lock = b->UsbAfterPins();
        if (latency > 0 && ftdi_set_latency_timer(b->ctx, latency) < 0)
            ok = false;
    }
    if (!ok)
        return FT_EEPROM_WRITE_FAILED;
    uint8_t check[ee::kMaxImage];
    size_t checkSize = 0;
    if (!ReadImage(*b, check, &checkSize) || std::memcmp(check, after, eeSize) != 0)
        return FT_EEPROM_WRITE_FAILED;
    return FT_OK;
}

// A pin transfer that failed since the last query is reported here, once: the
// watchdog then closes the board and reopens it while it is attached.
FtStatus Status(FtHandle h, uint32_t *rx, uint32_t *tx, uint32_t *event)
{
    auto b = Find(h);
    if (!b)
        return FT_INVALID_HANDLE;
    if (b->failed.exchange(false, std::memory_order_acq_rel))
        return FT_IO_ERROR;
    unsigned short modem = 0;
    {
        auto lock = b->UsbAfterPins();
        if (ftdi_poll_modem_status(b->ctx, &modem) < 0)
            return FT_IO_ERROR;   // a vanished device fails here
    }
    *rx = 0;
    *tx = 0;
    *event = modem;
    return FT_OK;
}

// On the tick: copies the bytes into the board's queue and wakes its writer.
// No allocation, no printing, no wait for USB. An earlier transfer's failure
// does not refuse these bytes (the status query reports it); only a full
// queue does, and the refusal is this write's failure.
FtStatus Write(FtHandle h, const void *buf, uint32_t count, uint32_t *written)
{
    auto b = Find(h);
    if (!b)
        return FT_INVALID_HANDLE;
    {
        kx::LockGuard<kx::PiMutex> lock(b->ringLock);
        if (kRing - b->used < count) {
            b->refusedWrites.fetch_add(1, std::memory_order_relaxed);
            b->refusedBytes.fetch_add(count, std::memory_order_relaxed);
            return FT_IO_ERROR;   // the device stopped taking bytes
        }
        const uint8_t *src = static_cast<const uint8_t *>(buf);
        size_t tail = (b->head + b->used) % kRing;
        for (uint32_t left = count; left;) {
            const size_t run = std::min<size_t>(left, kRing - tail);
            std::memcpy(b->ring + tail, src, run);
            src += run;
            left -= uint32_t(run);
            tail = (tail + run) % kRing;
        }
        b->used += count;
        b->queued += count;
    }
    b->ringCv.NotifyOne();
    *written = count;
    return FT_OK;
}

FtStatus Close(FtHandle h)
{
    std::shared_ptr<Board> b;
    {
        kx::LockGuard<kx::PiMutex> lock(g_handlesLock);
        auto it = g_handles->find(h);
        if (it == g_handles->end())
            return FT_INVALID_HANDLE;
        b = std::move(it->second);
        g_handles->erase(it);
    }
    return FT_OK;   // the last reference drains the queue and closes the device
}

const Backend kLibftdi = {
    "libftdi", Count, Description, Serial, Open, PinMode, PinClock, ReadUa, WriteUa, Status, Write, Close,
};

}   // namespace

const Backend &LibftdiBackend() { return kLibftdi; }

// For tests: the rate handed to ftdi_set_baudrate for a pin clock of `rate`.
int LibftdiBaudForTest(uint32_t rate, bool bitbang) { return LibftdiBaud(rate, bitbang); }

LibftdiCounters LibftdiCountersForTest(FtHandle handle)
{
    LibftdiCounters c;
    if (auto b = Find(handle)) {
        {
            kx::LockGuard<kx::PiMutex> lock(b->ringLock);
            c.queuedBytes = b->queued;
        }
        c.failedTransfers = b->failedTransfers.load();
        c.failedBytes = b->failedBytes.load();
        c.refusedWrites = b->refusedWrites.load();
        c.refusedBytes = b->refusedBytes.load();
    }
    return c;
}

}   // namespace ftdi::detail
