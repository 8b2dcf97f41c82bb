// discovery.cpp - finds the controller boards among the attached FTDI devices,
// opens new ones and adds them to the device list, reopens known closed ones.
#include <cstring>
#include <mutex>

#include "hardware.h"

namespace {

// One pass at a time: two passes must not both make a board for one device.
// Taken before any list guard (see the lock order in hardware.h).
kx::Mutex DiscoveryLock ACQUIRED_BEFORE(DeviceListLock);

bool IsBoardDescription(const char *description)
{
    return std::strcmp(description, "TRUV-kq4") == 0 || std::strcmp(description, "TRUV-RZDO") == 0;
}

}   // namespace

int FindDeviceBySerial(const char *serial)
{
    if (serial == nullptr)
        return -1;
    const uint32_t count = DeviceList.Size();
    for (uint32_t i = 0; i < count; ++i) {
        if (DeviceList.At(i)->SerialNumber == serial)
            return static_cast<int>(i);
    }
    return -1;
}

int RefreshDeviceList()
{
    // Declared first, so ended last: a board opened here starts the tick only
    // once DiscoveryLock is released, since the start may wait for a stopping
    // tick thread whose host handler is waiting for a discovery pass.
    TickStartDeferral tickStart;
    kx::LockGuard<kx::Mutex> pass(DiscoveryLock);
    uint32_t count = 0;
    if (ftdi::FtCountDevices(&count) != ftdi::FT_OK || count == 0)
        return -1;   // the boards already listed stay listed
    for (uint32_t index = 0; index < count; ++index) {
        char description[ftdi::kTextSize] = {};
        if (ftdi::FtGetDescriptionByIndex(index, description) != ftdi::FT_OK)
            continue;
        description[sizeof description - 1] = 0;
        if (!IsBoardDescription(description))
            continue;
        char serial[ftdi::kTextSize] = {};
        if (ftdi::FtGetSerialByIndex(index, serial) != ftdi::FT_OK)
            continue;
        serial[sizeof serial - 1] = 0;
        {
            ListReadGuard list;
            const int known = FindDeviceBySerial(serial);
            if (known >= 0) {
                USBDriver *board = DeviceList.At(static_cast<uint32_t>(known));
                if (!board->Opened.load(std::memory_order_acquire))
                    board->Open();   // its result is not looked at
                continue;
            }
        }
        // A new board: it joins the list only once it is open, so the tick
        // never sees a board being opened for the first time.
        USBDriver *board = new USBDriver(description, serial);
        if (!board->Open()) {
            delete board;
            continue;
        }
        bool added;
        {
            ListWriteGuard list;
            added = DeviceList.Add(board);
        }
        if (!added)
            delete board;   // no room in the list: closed (settings saved) and dropped
    }
    return static_cast<int>(DeviceList.Size());
}
