// listlocks.cpp - the device list's guards, the board lock, and the events and
// tick start they defer until the calling thread holds no lock any more.
//
// Each thread keeps how deeply it holds the device list (nested guards share
// the outermost hold) and a small fixed buffer of "Motor Stopped" events noted
// while it held it. Nothing here allocates, so the tick thread may use it.
#include <atomic>

#include "hardware.h"
#include "motorstopped.h"
#include "periodic.h"

namespace {

constexpr unsigned kDeferredMax = 256;   // far more than one hold can note

struct ThreadListState {
    unsigned read = 0;        // ListReadGuard depth
    unsigned write = 0;       // ListWriteGuard depth
    bool shared = false;      // the outermost read guard holds the lock shared
    bool startTick = false;   // a board opened under a guard: start the tick after it
    bool flushing = false;    // Flush is running on this thread
    unsigned count = 0;       // deferred events
    int32_t events[kDeferredMax];
};

thread_local ThreadListState tl_list;

bool HoldsList(const ThreadListState &s) { return s.read > 0 || s.write > 0; }

// Raises what this thread deferred, then a deferred tick start; called with
// no list guard held. A handler may call back into the library and so end
// guards of its own: the nested call leaves the work to the running one.
void Flush(ThreadListState &s)
{
    if (s.flushing)
        return;
    s.flushing = true;
    while (s.count > 0 && !HoldsList(s)) {
        const int32_t index = s.events[0];
        for (unsigned i = 1; i < s.count; ++i)
            s.events[i - 1] = s.events[i];
        --s.count;
        RaiseMotorStopped(index);
    }
    if (s.startTick && !HoldsList(s)) {
        s.startTick = false;
        StartTickTimer();
    }
    s.flushing = false;
}

void Defer(ThreadListState &s, int32_t index)
{
    if (s.count < kDeferredMax)
        s.events[s.count++] = index;
    // Beyond the buffer an event is dropped rather than raised under a lock.
}

} // namespace

ListReadGuard::ListReadGuard()
{
    ThreadListState &s = tl_list;
    if (s.read == 0 && s.write == 0) {
        DeviceListLock.lock_shared();
        s.shared = true;
    }
    ++s.read;
}

ListReadGuard::~ListReadGuard()
{
    ThreadListState &s = tl_list;
    if (--s.read > 0)
        return;
    if (s.shared) {
        s.shared = false;
        DeviceListLock.unlock_shared();
    }
    if (s.write == 0)
        Flush(s);
}

ListWriteGuard::ListWriteGuard()
{
    ThreadListState &s = tl_list;
    if (s.write++ == 0)
        DeviceListLock.lock();
}

ListWriteGuard::~ListWriteGuard()
{
    ThreadListState &s = tl_list;
    if (--s.write > 0)
        return;
    DeviceListLock.unlock();
    if (s.read == 0)
        Flush(s);
}

BoardLock::BoardLock(USBDriver &board) : board_(board), locked_(true) { board_.Lock.lock(); }

BoardLock::~BoardLock() { Unlock(); }

void BoardLock::Unlock()
{
    if (!locked_)
        return;
    locked_ = false;
    uint8_t stops[32];
    const unsigned n = board_.TakePendingStops(stops, sizeof stops);
    board_.Lock.unlock();
    // From here on the board is not touched: a handler may delete it.
    ThreadListState &s = tl_list;
    for (unsigned i = 0; i < n; ++i) {
        if (HoldsList(s))
            Defer(s, stops[i]);
        else
            RaiseMotorStopped(stops[i]);
    }
}

bool SleepListUnlocked(unsigned ms)
{
    const uint64_t generation = DeviceListGeneration();
    ThreadListState &s = tl_list;
    if (s.shared && s.write == 0) {
        DeviceListLock.unlock_shared();
        s.shared = false;
        const unsigned depth = s.read;
        s.read = 0;
        Flush(s);   // no lock held: the events noted so far go out now
        kxtimer::SleepMs(ms);
        s.read = depth;
        DeviceListLock.lock_shared();
        s.shared = true;
    } else {
        kxtimer::SleepMs(ms);
    }
    return DeviceListGeneration() == generation;
}

void RequestTickStart()
{
    ThreadListState &s = tl_list;
    if (HoldsList(s))
        s.startTick = true;
    else
        StartTickTimer();
}
