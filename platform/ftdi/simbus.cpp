// simbus.cpp - the simulated FTDI bus: virtual boards in bus order, EEPROM user
// areas kept for the life of the process, a record of every call, fault
// injection and the write trace file.
#include "simbus.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "ftdi_backend.h"
#include "kxlocks.h"
#include "periodic.h"

namespace simbus {
namespace {

using ftdi::FtHandle;
using ftdi::FtStatus;

constexpr unsigned kOpCount = 11;
constexpr size_t kMaxCalls = 262144;   // the record keeps the latest calls

struct Device {
    std::string description;
    std::string serial;
    bool attached = true;   // guarded by Bus::m
};

// The tick's pin write takes the bus's lock: it inherits priority (kxlocks.h).
struct Bus {
    kx::PiMutex m;
    bool initialised = false;                                         // guarded by m
    std::vector<std::shared_ptr<Device>> devices;                     // guarded by m; bus order
    std::map<std::string, std::vector<uint8_t>, std::less<>> areas;   // guarded by m
    std::set<std::string, std::less<>> noUserArea;                    // guarded by m; serials
    std::map<uintptr_t, std::shared_ptr<Device>> handles;             // guarded by m
    uintptr_t nextHandle = 1;                                         // guarded by m
    std::deque<Call> calls;                                           // guarded by m
    unsigned failCount[kOpCount] = {};                                // guarded by m
    FtStatus failStatus[kOpCount] = {};                               // guarded by m
    bool recording = true;                                            // guarded by m
    uint64_t writeCount = 0;                                          // guarded by m
    FILE *trace = nullptr;                                            // guarded by m
};

// Never destroyed: boards may still be closed by the library's own teardown
// after static objects are gone.
Bus &B()
{
    static Bus *bus = new Bus;
    return *bus;
}

std::string Cut(const std::string &s, size_t max) { return s.size() > max ? s.substr(0, max) : s; }

void AttachLocked(Bus &b, const std::string &description, const std::string &serial, const std::string &userArea)
{
    auto d = std::make_shared<Device>();
    d->description = Cut(description, ftdi::kTextSize - 1);
    d->serial = Cut(serial, ftdi::kTextSize - 1);
    if (b.areas.find(d->serial) == b.areas.end()) {
        const std::string text = Cut(userArea, ftdi::kUserAreaSize);
        b.areas[d->serial] = std::vector<uint8_t>(text.begin(), text.end());
    }
    b.devices.push_back(std::move(d));
}

void ParseDevicesLocked(Bus &b, const char *list)
{
    const std::string all = list;
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos)
            end = all.size();
        const std::string entry = all.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty())
            continue;
        const size_t c1 = entry.find(':');
        if (c1 == std::string::npos) {
            std::fprintf(stderr,
                         "kinetrax: simulated bus: device \"%s\" has no serial number "
                         "(description:serial[:user area]); skipped\n",
                         entry.c_str());
            continue;
        }
        const size_t c2 = entry.find(':', c1 + 1);
        const std::string description = entry.substr(0, c1);
        const std::string serial = entry.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
        const std::string area = c2 == std::string::npos ? std::string() : entry.substr(c2 + 1);
        AttachLocked(b, description, serial, area);
    }
}

void OpenTraceLocked(Bus &b)
{
    if (b.trace) {
        std::fclose(b.trace);
        b.trace = nullptr;
    }
    const char *path = std::getenv("KINETRAX_SIM_TRACE");
    if (!path || !*path)
        return;
    b.trace = std::fopen(path, "a");
    if (!b.trace)
        std::fprintf(stderr, "kinetrax: simulated bus: can't open trace file \"%s\"\n", path);
}

void SetUpLocked(Bus &b, const char *devices)
{
    b.devices.clear();
    ParseDevicesLocked(b, devices ? devices : "TRUV-kq4:SIM0001,TRUV-RZDO:SIM0002");
    OpenTraceLocked(b);
    b.initialised = true;
}

// The bus, locked and set up from the environment on first use.
class Locked {
public:
    Locked() : lock_(B().m)
    {
        Bus &b = B();
        if (!b.initialised) {
            const char *env = std::getenv("KINETRAX_SIM_DEVICES");
            SetUpLocked(b, env);   // unset: the two default boards
        }
    }
    Bus *operator->() const { return &B(); }
    Bus &operator*() const { return B(); }

private:
    kx::LockGuard<kx::PiMutex> lock_;
};

void TraceLocked(Bus &b, const std::string &serial, char kind, const uint8_t *data, uint32_t n)
{
    if (!b.trace)
        return;
    std::fprintf(b.trace, "%.6f %s %c ", kxtimer::MonotonicSeconds(), serial.c_str(), kind);
    static const char kHex[] = "0123456789abcdef";
    char chunk[257];
    uint32_t i = 0;
    while (i < n) {
        unsigned k = 0;
        for (; k < 256 && i < n; ++i) {
            chunk[k++] = kHex[data[i] >> 4];
            chunk[k++] = kHex[data[i] & 15];
        }
        chunk[k] = '\0';
        std::fputs(chunk, b.trace);
    }
    std::fputc('\n', b.trace);
    std::fflush(b.trace);
}

void RecordLocked(Bus &b, Op op, const std::string &serial, uint32_t arg, FtStatus status,
                  const uint8_t *data = nullptr, uint32_t n = 0)
{
    Call c;
    c.op = op;
    c.serial = serial;
    c.arg = arg;
    if (n)
        c.data.assign(data, data + n);
    c.status = status;
    if (b.calls.size() >= kMaxCalls)
        b.calls.pop_front();
    b.calls.push_back(std::move(c));
}

// The pending fault of `op`, consumed; 0 when none.
FtStatus TakeFault(Bus &b, Op op)
{
    const unsigned i = static_cast<unsigned>(op);
    if (b.failCount[i] == 0)
        return ftdi::FT_OK;
    --b.failCount[i];
    return b.failStatus[i] ? b.failStatus[i] : ftdi::FT_IO_ERROR;
}

// The serial of "no device". Never destroyed, like the bus: closes made while
// the library unloads still record their calls after this unit's statics are gone.
const std::string &NoSerial()
{
    static const std::string *none = new std::string;
    return *none;
}

Device *FindHandle(Bus &b, FtHandle h)
{
    auto it = b.handles.find(reinterpret_cast<uintptr_t>(h));
    return it == b.handles.end() ? nullptr : it->second.get();
}

// Common front of the operations on an open handle: fault, handle, device.
FtStatus CheckHandle(Bus &b, Op op, FtHandle h, Device *&dev)
{
    dev = FindHandle(b, h);
    if (FtStatus f = TakeFault(b, op))
        return f;
    if (!dev)
        return ftdi::FT_INVALID_HANDLE;
    if (!dev->attached)
        return ftdi::FT_IO_ERROR;
    return ftdi::FT_OK;
}

const std::string &SerialOf(const Device *dev) { return dev ? dev->serial : NoSerial(); }

// ---- backend operations -------------------------------------------------------

FtStatus SimCount(uint32_t *count)
{
    Locked b;
    FtStatus st = TakeFault(*b, Op::CountDevices);
    if (!st)
        *count = static_cast<uint32_t>(b->devices.size());
    RecordLocked(*b, Op::CountDevices, NoSerial(), 0, st);
    return st;
}

FtStatus SimByIndex(Op op, uint32_t index, char *buf)
{
    Locked b;
    const Device *dev = index < b->devices.size() ? b->devices[index].get() : nullptr;
    FtStatus st = TakeFault(*b, op);
    if (!st && !dev)
        st = ftdi::FT_DEVICE_NOT_FOUND;
    if (!st)
        ftdi::detail::CopyText(op == Op::GetDescriptionByIndex ? dev->description.c_str() : dev->serial.c_str(), buf);
    RecordLocked(*b, op, SerialOf(dev), index, st);
    return st;
}
FtStatus SimDescription(uint32_t index, char *buf) { return SimByIndex(Op::GetDescriptionByIndex, index, buf); }
FtStatus SimSerial(uint32_t index, char *buf) { return SimByIndex(Op::GetSerialByIndex, index, buf); }

FtStatus SimOpen(const char *serial, FtHandle *handle)
{
    Locked b;
    FtStatus st = TakeFault(*b, Op::OpenBySerial);
    std::shared_ptr<Device> found;
    if (!st) {
        for (const auto &d : b->devices)
            if (d->serial == serial) {
                found = d;
                break;
            }
        if (!found)
            st = ftdi::FT_DEVICE_NOT_FOUND;
    }
    if (!st) {
        // Like a real USB device: one open handle at a time. A handle of the
        // same attachment that was never closed keeps the device busy.
        for (const auto &h : b->handles)
            if (h.second == found) {
                st = ftdi::FT_DEVICE_NOT_OPENED;
                break;
            }
    }
    if (!st) {
        const uintptr_t id = b->nextHandle++;
        b->handles.emplace(id, found);
        *handle = reinterpret_cast<FtHandle>(id);
    }
    RecordLocked(*b, Op::OpenBySerial, serial, 0, st);
    return st;
}

FtStatus SimPinMode(FtHandle h, uint8_t mask, uint8_t mode)
{
    Locked b;
    Device *dev;
    const FtStatus st = CheckHandle(*b, Op::SetPinMode, h, dev);
    RecordLocked(*b, Op::SetPinMode, SerialOf(dev), uint32_t(mask) << 8 | mode, st);
    return st;
}

FtStatus SimPinClock(FtHandle h, uint32_t rate)
{
    Locked b;
    Device *dev;
    FtStatus st = CheckHandle(*b, Op::SetPinClock, h, dev);
    if (!st && rate == 0)
        st = ftdi::FT_INVALID_PARAMETER;
    RecordLocked(*b, Op::SetPinClock, SerialOf(dev), rate, st);
    return st;
}

FtStatus SimReadUa(FtHandle h, uint8_t *buf, uint32_t size, uint32_t *read)
{
    Locked b;
    Device *dev;
    FtStatus st = CheckHandle(*b, Op::ReadUserArea, h, dev);
    if (!st && b->noUserArea.count(dev->serial))
        st = ftdi::FT_NOT_SUPPORTED;
    if (!st) {
        const std::vector<uint8_t> &area = b->areas[dev->serial];
        const uint32_t n = area.size() < size ? static_cast<uint32_t>(area.size()) : size;
        if (n)
            std::memcpy(buf, area.data(), n);
        *read = n;
    }
    RecordLocked(*b, Op::ReadUserArea, SerialOf(dev), size, st);
    return st;
}

FtStatus SimWriteUa(FtHandle h, const uint8_t *data, uint32_t size)
{
    Locked b;
    Device *dev;
    FtStatus st = CheckHandle(*b, Op::WriteUserArea, h, dev);
    if (!st && b->noUserArea.count(dev->serial))
        st = ftdi::FT_NOT_SUPPORTED;
    if (!st) {
        // Like the chip's EEPROM: the bytes replace the start of the area, the
        // rest of it stays.
        std::vector<uint8_t> &area = b->areas[dev->serial];
        if (area.size() < size)
            area.resize(size);
        if (size)
            std::memcpy(area.data(), data, size);
        TraceLocked(*b, dev->serial, 'U', data, size);
    }
    RecordLocked(*b, Op::WriteUserArea, SerialOf(dev), size, st, data, size);
    return st;
}

FtStatus SimStatus(FtHandle h, uint32_t *rx, uint32_t *tx, uint32_t *event)
{
    Locked b;
    Device *dev;
    const FtStatus st = CheckHandle(*b, Op::QueryStatus, h, dev);
    if (!st)
        *rx = *tx = *event = 0;
    RecordLocked(*b, Op::QueryStatus, SerialOf(dev), 0, st);
    return st;
}

// On the tick path: in counting mode it neither allocates nor prints.
FtStatus SimWrite(FtHandle h, const void *buf, uint32_t count, uint32_t *written)
{
    Locked b;
    Device *dev;
    const FtStatus st = CheckHandle(*b, Op::WriteBytes, h, dev);
    const uint8_t *bytes = static_cast<const uint8_t *>(buf);
    if (!st) {
        *written = count;
        ++b->writeCount;
    }
    if (b->recording) {
        if (!st)
            TraceLocked(*b, dev->serial, 'W', bytes, count);
        RecordLocked(*b, Op::WriteBytes, SerialOf(dev), count, st, bytes, count);
    }
    return st;
}

FtStatus SimClose(FtHandle h)
{
    Locked b;
    auto it = b->handles.find(reinterpret_cast<uintptr_t>(h));
    std::shared_ptr<Device> dev = it == b->handles.end() ? nullptr : it->second;
    FtStatus st = TakeFault(*b, Op::CloseDevice);
    if (!st && !dev)
        st = ftdi::FT_INVALID_HANDLE;
    if (!st)
        b->handles.erase(it);
    RecordLocked(*b, Op::CloseDevice, SerialOf(dev.get()), 0, st);
    return st;
}

const ftdi::detail::Backend kSim = {
    "sim",       SimCount,  SimDescription, SimSerial, SimOpen,  SimPinMode,
    SimPinClock, SimReadUa, SimWriteUa,     SimStatus, SimWrite, SimClose,
};

}   // namespace

const char *OpName(Op op)
{
    static const char *const kNames[kOpCount] = {
        "CountDevices", "GetDescriptionByIndex", "GetSerialByIndex", "OpenBySerial", "SetPinMode",  "SetPinClock",
        "ReadUserArea", "WriteUserArea",         "QueryStatus",      "WriteBytes",   "CloseDevice",
    };
    const unsigned i = static_cast<unsigned>(op);
    return i < kOpCount ? kNames[i] : "?";
}

void Reset(const char *devices, bool forgetUserAreas)
{
    {
        kx::LockGuard<kx::PiMutex> lock(B().m);
        Bus &b = B();
        b.handles.clear();
        b.calls.clear();
        for (unsigned i = 0; i < kOpCount; ++i)
            b.failCount[i] = 0;
        if (forgetUserAreas)
            b.areas.clear();
        b.noUserArea.clear();
        b.recording = true;
        b.writeCount = 0;
        SetUpLocked(b, devices);
    }
    ftdi::detail::ForceBackend(kSim);
}

void Attach(const std::string &description, const std::string &serial, const std::string &userArea)
{
    Locked b;
    AttachLocked(*b, description, serial, userArea);
}

bool Detach(const std::string &serial)
{
    Locked b;
    const std::string key = Cut(serial, ftdi::kTextSize - 1);
    bool any = false;
    for (auto it = b->devices.begin(); it != b->devices.end();) {
        if ((*it)->serial == key) {
            (*it)->attached = false;
            it = b->devices.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

void FailNext(Op op, unsigned n, ftdi::FtStatus status)
{
    Locked b;
    const unsigned i = static_cast<unsigned>(op);
    if (i >= kOpCount)
        return;
    b->failCount[i] = n;
    b->failStatus[i] = status;
}

void SetNoUserArea(const std::string &serial, bool none)
{
    Locked b;
    const std::string key = Cut(serial, ftdi::kTextSize - 1);
    if (none)
        b->noUserArea.insert(key);
    else
        b->noUserArea.erase(key);
}

std::vector<Call> Calls()
{
    Locked b;
    return std::vector<Call>(b->calls.begin(), b->calls.end());
}

void ClearCalls()
{
    Locked b;
    b->calls.clear();
}

std::vector<std::vector<uint8_t>> Writes(const std::string &serial)
{
    Locked b;
    std::vector<std::vector<uint8_t>> out;
    for (const Call &c : b->calls)
        if (c.op == Op::WriteBytes && c.status == ftdi::FT_OK && c.serial == serial)
            out.push_back(c.data);
    return out;
}

std::vector<uint8_t> UserArea(const std::string &serial)
{
    Locked b;
    auto it = b->areas.find(serial);
    return it == b->areas.end() ? std::vector<uint8_t>() : it->second;
}

void SetUserArea(const std::string &serial, const std::vector<uint8_t> &bytes)
{
    Locked b;
    std::vector<uint8_t> &area = b->areas[Cut(serial, ftdi::kTextSize - 1)];
    area.assign(bytes.begin(), bytes.size() > ftdi::kUserAreaSize ? bytes.begin() + ftdi::kUserAreaSize : bytes.end());
}

unsigned OpenHandles()
{
    Locked b;
    return static_cast<unsigned>(b->handles.size());
}

void SetRecording(bool on)
{
    Locked b;
    b->recording = on;
}

uint64_t WriteCount()
{
    Locked b;
    return b->writeCount;
}

}   // namespace simbus

namespace ftdi::detail {
const Backend &SimBackend() { return simbus::kSim; }
}   // namespace ftdi::detail
