// ftdi_backend.h - the table of operations one FTDI backend provides, and the
// hooks by which ftdi.cpp picks the backend in use. Internal to the FTDI layer.
#pragma once

#include "ftdi.h"

namespace ftdi::detail {

struct Backend {
    const char *name;
    FtStatus (*countDevices)(uint32_t *count);
    FtStatus (*descriptionByIndex)(uint32_t index, char *buf);
    FtStatus (*serialByIndex)(uint32_t index, char *buf);
    FtStatus (*openBySerial)(const char *serial, FtHandle *handle);
    FtStatus (*setPinMode)(FtHandle handle, uint8_t mask, uint8_t mode);
    FtStatus (*setPinClock)(FtHandle handle, uint32_t rate);
    FtStatus (*readUserArea)(FtHandle handle, uint8_t *buf, uint32_t size, uint32_t *read);
    FtStatus (*writeUserArea)(FtHandle handle, const uint8_t *data, uint32_t size);
    FtStatus (*queryStatus)(FtHandle handle, uint32_t *rx, uint32_t *tx, uint32_t *event);
    FtStatus (*writeBytes)(FtHandle handle, const void *buf, uint32_t count, uint32_t *written);
    FtStatus (*closeDevice)(FtHandle handle);
};

// The backends built into this library.
const Backend &SimBackend();
#ifdef KX_HAVE_LIBFTDI
const Backend &LibftdiBackend();
// The rate ftdi_set_baudrate gets for a pin clock of `rate` (tests).
int LibftdiBaudForTest(uint32_t rate, bool bitbang);
// What happened to the pin bytes of an open handle (tests, benchmark).
struct LibftdiCounters {
    uint64_t queuedBytes = 0;       // accepted by FtWriteBytes
    uint64_t failedTransfers = 0;   // USB transfers that failed, and their bytes
    uint64_t failedBytes = 0;
    uint64_t refusedWrites = 0;   // FtWriteBytes calls refused (queue full), and their bytes
    uint64_t refusedBytes = 0;
};
LibftdiCounters LibftdiCountersForTest(FtHandle handle);
#endif

// Makes `backend` the one in use from now on (the simulated bus's Reset).
void ForceBackend(const Backend &backend);

// Copies `text` into a kTextSize buffer, cut to kTextSize-1 bytes, NUL-terminated.
void CopyText(const char *text, char *buf);

}   // namespace ftdi::detail
