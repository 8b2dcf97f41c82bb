// ftdi.h - the FTDI bus as the driver core sees it: eleven operations on
// FTDI chips in asynchronous bit-bang mode.
//
// Every operation returns a status: 0 (FT_OK) is success, anything else is a
// failure; out-arguments are written only on success. The handle is the only
// state a caller keeps. No operation is retried here.
//
// The backend is chosen once, at the first call, by the environment variable
// KINETRAX_FTDI: "sim" selects the simulated bus, "libftdi" real boards through
// libftdi1 (when built with it). Unset selects libftdi when built with it, else
// sim. An unknown value gives a bus with no devices and one line on stderr.
//
// Thread safety: any operation may be called from any thread. Operations on one
// handle are serialised by the backend; the caller still keeps a board's writes
// in order by calling them from one place at a time.
#pragma once

#include <cstdint>

namespace ftdi {

using FtStatus = uint32_t;
using FtHandle = void *;

constexpr FtStatus FT_OK = 0;
constexpr FtStatus FT_INVALID_HANDLE = 1;
constexpr FtStatus FT_DEVICE_NOT_FOUND = 2;
constexpr FtStatus FT_DEVICE_NOT_OPENED = 3;
constexpr FtStatus FT_IO_ERROR = 4;
constexpr FtStatus FT_INVALID_PARAMETER = 6;
constexpr FtStatus FT_EEPROM_READ_FAILED = 11;
constexpr FtStatus FT_EEPROM_WRITE_FAILED = 12;
constexpr FtStatus FT_NOT_SUPPORTED = 17;   // the chip has no usable user area
constexpr FtStatus FT_OTHER_ERROR = 18;

constexpr unsigned kTextSize = 64;          // description / serial buffers
constexpr unsigned kUserAreaSize = 64;      // largest user-area read
constexpr unsigned kUserAreaMinimum = 10;   // a smaller user area is not usable (a board name is 10 bytes)

// Number of attached FTDI devices.
FtStatus FtCountDevices(uint32_t *count);
// Description / serial number of device `index` (0..count-1), NUL-terminated
// into a kTextSize-byte buffer.
FtStatus FtGetDescriptionByIndex(uint32_t index, char *buf);
FtStatus FtGetSerialByIndex(uint32_t index, char *buf);
// Opens the first attached device whose serial number equals `serial` exactly.
FtStatus FtOpenBySerial(const char *serial, FtHandle *handle);
// mask 0xFF, mode 1: all eight pins outputs, asynchronous bit-bang.
FtStatus FtSetPinMode(FtHandle handle, uint8_t mask, uint8_t mode);
// The rate value the core passes is 3000000 (the chip's fastest pin clock).
FtStatus FtSetPinClock(FtHandle handle, uint32_t rate);
// Reads up to `size` (<= kUserAreaSize) bytes of the EEPROM user area.
// FT_NOT_SUPPORTED: the chip has no user area the backend can use (an unknown
// EEPROM layout, none at all, or one smaller than kUserAreaMinimum bytes). That
// is a property of the chip, not an I/O error: the board then keeps its name
// elsewhere, and takes none from the chip.
FtStatus FtReadUserArea(FtHandle handle, uint8_t *buf, uint32_t size, uint32_t *read);
// Stores `size` bytes at the start of the EEPROM user area. FT_NOT_SUPPORTED
// as for FtReadUserArea; any other failure is an I/O error.
FtStatus FtWriteUserArea(FtHandle handle, const uint8_t *data, uint32_t size);
// Success means the device is still there; the three values carry no meaning.
FtStatus FtQueryStatus(FtHandle handle, uint32_t *rx, uint32_t *tx, uint32_t *event);
// Queues `count` pin bytes; success means they were accepted. Safe on the
// 1 ms tick: no allocation, no printing, no waiting for the transfer.
FtStatus FtWriteBytes(FtHandle handle, const void *buf, uint32_t count, uint32_t *written);
// Frees the handle and everything the backend holds for it. It must also
// succeed in freeing a handle whose device has vanished or failed.
FtStatus FtCloseDevice(FtHandle handle);

// Name of the backend in use ("sim", "libftdi" or "none").
const char *FtBackendName();

}   // namespace ftdi
