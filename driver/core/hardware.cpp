// hardware.cpp - the board record: construction and destruction.
// (Open/Close, settings files, the tick, the lists, discovery and the slot
// operations follow in this unit.)
#include "hardware.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>

USBDriver::USBDriver(const std::string &description, const std::string &serial)
    : Description(description), SerialNumber(serial)
{
    char count[16];
    std::snprintf(count, sizeof count, "%u", DeviceList.Size());
    Name = description + count;
    std::memset(&Settings, 0, sizeof Settings);
    ResetSettings();
    for (int i = 0; i < 7; ++i) {
        Motors[i].Owner = this;
        Motors[i].Settings = &Settings.MotorSettings[i];
        Motors[i].Index = i;
        Motors[i].NextStepTime = 0;
    }
    std::memset(OutBuffer, 0, sizeof OutBuffer);
    // The watchdog fires on this thread while it runs a Qt event loop; a
    // thread without an event dispatcher gets none (and no warning).
    if (QThread::currentThread()->eventDispatcher() != nullptr) {
        WatchTimer = new QTimer();
        WatchTimer->setInterval(250);
        QObject::connect(WatchTimer, &QTimer::timeout, [this] { OnWatchTimer(); });
        WatchTimer->start();
    }
}

USBDriver::~USBDriver()
{
    delete WatchTimer;
    WatchTimer = nullptr;
    Close(false);
}

// TODO(board): everything below is a placeholder until the board unit lands.
bool USBDriver::Open() { return false; }
void USBDriver::Close(bool) {}
void USBDriver::OnWatchTimer() {}
