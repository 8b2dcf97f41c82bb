// ftdi.cpp - the FTDI layer's front: picks the backend once (KINETRAX_FTDI) and
// hands every operation to it.
#include "ftdi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ftdi_backend.h"

namespace ftdi {
namespace detail {
namespace {

// A bus with no devices: what an unknown KINETRAX_FTDI value gives.
FtStatus NoneCount(uint32_t *count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = 0;
    return FT_OK;
}
FtStatus NoneByIndex(uint32_t, char *) { return FT_DEVICE_NOT_FOUND; }
FtStatus NoneOpen(const char *, FtHandle *) { return FT_DEVICE_NOT_FOUND; }
FtStatus NonePinMode(FtHandle, uint8_t, uint8_t) { return FT_INVALID_HANDLE; }
FtStatus NonePinClock(FtHandle, uint32_t) { return FT_INVALID_HANDLE; }
FtStatus NoneReadUa(FtHandle, uint8_t *, uint32_t, uint32_t *) { return FT_INVALID_HANDLE; }
FtStatus NoneWriteUa(FtHandle, const uint8_t *, uint32_t) { return FT_INVALID_HANDLE; }
FtStatus NoneStatus(FtHandle, uint32_t *, uint32_t *, uint32_t *) { return FT_INVALID_HANDLE; }
FtStatus NoneWrite(FtHandle, const void *, uint32_t, uint32_t *) { return FT_INVALID_HANDLE; }
FtStatus NoneClose(FtHandle) { return FT_INVALID_HANDLE; }

const Backend kNone = {
    "none",       NoneCount,  NoneByIndex, NoneByIndex, NoneOpen,  NonePinMode,
    NonePinClock, NoneReadUa, NoneWriteUa, NoneStatus,  NoneWrite, NoneClose,
};

std::atomic<const Backend *> g_backend{nullptr};
std::once_flag g_chooseOnce;

const Backend *Choose()
{
    const char *want = std::getenv("KINETRAX_FTDI");
    if (!want) {
#ifdef KX_HAVE_LIBFTDI
        return &LibftdiBackend();
#else
        return &SimBackend();
#endif
    }
    if (std::strcmp(want, "sim") == 0)
        return &SimBackend();
#ifdef KX_HAVE_LIBFTDI
    if (std::strcmp(want, "libftdi") == 0)
        return &LibftdiBackend();
#endif
    std::fprintf(stderr,
                 "kinetrax: KINETRAX_FTDI=\"%s\" names no FTDI backend of this build; "
                 "no devices are attached\n",
                 want);
    return &kNone;
}

const Backend &Get()
{
    const Backend *b = g_backend.load(std::memory_order_acquire);
    if (b)
        return *b;
    std::call_once(g_chooseOnce, [] {
        const Backend *expected = nullptr;
        g_backend.compare_exchange_strong(expected, Choose(), std::memory_order_acq_rel);
    });
    return *g_backend.load(std::memory_order_acquire);
}

}   // namespace

void ForceBackend(const Backend &backend) { g_backend.store(&backend, std::memory_order_release); }

void CopyText(const char *text, char *buf)
{
    size_t n = text ? std::strlen(text) : 0;
    if (n > kTextSize - 1)
        n = kTextSize - 1;
    if (n)
        std::memcpy(buf, text, n);
    buf[n] = '\0';
}

}   // namespace detail

using detail::Get;

FtStatus FtCountDevices(uint32_t *count) { return count ? Get().countDevices(count) : FT_INVALID_PARAMETER; }
FtStatus FtGetDescriptionByIndex(uint32_t index, char *buf)
{
    return buf ? Get().descriptionByIndex(index, buf) : FT_INVALID_PARAMETER;
}
FtStatus FtGetSerialByIndex(uint32_t index, char *buf)
{
    return buf ? Get().serialByIndex(index, buf) : FT_INVALID_PARAMETER;
}
FtStatus FtOpenBySerial(const char *serial, FtHandle *handle)
{
    return handle ? Get().openBySerial(serial ? serial : "", handle) : FT_INVALID_PARAMETER;
}
FtStatus FtSetPinMode(FtHandle handle, uint8_t mask, uint8_t mode) { return Get().setPinMode(handle, mask, mode); }
FtStatus FtSetPinClock(FtHandle handle, uint32_t rate) { return Get().setPinClock(handle, rate); }
FtStatus FtReadUserArea(FtHandle handle, uint8_t *buf, uint32_t size, uint32_t *read)
{
    if (!buf || !read)
        return FT_INVALID_PARAMETER;
    return Get().readUserArea(handle, buf, size > kUserAreaSize ? kUserAreaSize : size, read);
}
FtStatus FtWriteUserArea(FtHandle handle, const uint8_t *data, uint32_t size)
{
    if ((!data && size) || size > kUserAreaSize)
        return FT_INVALID_PARAMETER;
    return Get().writeUserArea(handle, data, size);
}
FtStatus FtQueryStatus(FtHandle handle, uint32_t *rx, uint32_t *tx, uint32_t *event)
{
    if (!rx || !tx || !event)
        return FT_INVALID_PARAMETER;
    return Get().queryStatus(handle, rx, tx, event);
}
FtStatus FtWriteBytes(FtHandle handle, const void *buf, uint32_t count, uint32_t *written)
{
    if ((!buf && count) || !written)
        return FT_INVALID_PARAMETER;
    return Get().writeBytes(handle, buf, count, written);
}
FtStatus FtCloseDevice(FtHandle handle) { return Get().closeDevice(handle); }

const char *FtBackendName() { return Get().name; }

}   // namespace ftdi
