// simbus.h - the simulated FTDI bus: virtual boards with an EEPROM user area, a
// record of every call and write, and fault injection. It is the library's
// no-hardware mode and what the tests drive.
//
// Environment contract (read when the bus is first used, or at Reset):
//   KINETRAX_SIM_DEVICES  comma-separated "description:serial" or
//                         "description:serial:user-area text" (text <= 64 bytes).
//                         Unset: TRUV-kq4:SIM0001,TRUV-RZDO:SIM0002 with empty
//                         user areas. Set and empty: no device at all.
//   KINETRAX_SIM_TRACE    file that gets one flushed line per successful write:
//                         "T SERIAL W HEXBYTES" (FtWriteBytes) or
//                         "T SERIAL U HEXBYTES" (FtWriteUserArea); T is
//                         GetClockSeconds() with 6 decimals, hex lowercase.
//
// User areas are remembered for the life of the process, also across a detach
// and a re-attach of the same serial number.
//
// Like a real USB device, an attached device is open on one handle at a time:
// opening it again while a handle on it is open fails with
// FT_DEVICE_NOT_OPENED. A handle opened before a detach does not block the
// re-attached device (it is another attachment), and it can still be closed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ftdi.h"

namespace simbus {

enum class Op {
    CountDevices,
    GetDescriptionByIndex,
    GetSerialByIndex,
    OpenBySerial,
    SetPinMode,
    SetPinClock,
    ReadUserArea,
    WriteUserArea,
    QueryStatus,
    WriteBytes,
    CloseDevice,
};
const char *OpName(Op op);

struct Call {
    Op op;
    std::string serial;          // device the call concerns ("" for the count query)
    uint32_t arg = 0;            // index, mask<<8|mode, rate or size, as the op takes
    std::vector<uint8_t> data;   // bytes written (WriteBytes, WriteUserArea)
    ftdi::FtStatus status = 0;   // what the call returned
};

// Makes the simulated bus the backend in use (whatever KINETRAX_FTDI says),
// closes every handle, clears the call record and pending faults (also
// SetNoUserArea), and attaches
// the devices of `devices` (same syntax as KINETRAX_SIM_DEVICES; nullptr = the
// two default boards). User areas remembered so far are kept unless
// `forgetUserAreas`.
void Reset(const char *devices = nullptr, bool forgetUserAreas = true);

// Attaches a device at the end of the bus order. A user area remembered for the
// serial wins over `userArea` unless the serial was never seen.
void Attach(const std::string &description, const std::string &serial, const std::string &userArea = "");
// Detaches every device with this serial: its status queries and writes fail
// from now on, also on handles opened before. False when none was attached.
bool Detach(const std::string &serial);

// The next `n` calls of `op` fail with `status` (any device).
void FailNext(Op op, unsigned n, ftdi::FtStatus status = ftdi::FT_IO_ERROR);

// Gives the chips with this serial number no usable user area (`none`), or
// their user area back: their FtReadUserArea and FtWriteUserArea then fail
// with FT_NOT_SUPPORTED, every other operation works. Reset gives every chip
// its user area back.
void SetNoUserArea(const std::string &serial, bool none = true);

// Every call since the last Reset/ClearCalls, in order (the latest 262144 are
// kept, so a long run in the no-hardware mode doesn't grow without bound).
std::vector<Call> Calls();
void ClearCalls();
std::vector<std::vector<uint8_t>> Writes(const std::string &serial);   // FtWriteBytes payloads
std::vector<uint8_t> UserArea(const std::string &serial);              // current user area
void SetUserArea(const std::string &serial, const std::vector<uint8_t> &bytes);
unsigned OpenHandles();   // handles opened and not closed

// Counting mode for benchmarks: writes are counted but neither recorded nor
// traced, and FtWriteBytes allocates nothing. Reset turns recording back on.
void SetRecording(bool on);
uint64_t WriteCount();   // successful FtWriteBytes since Reset

}   // namespace simbus
