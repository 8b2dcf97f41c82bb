// listlocks.cpp - the device list's guards, the board lock, and the events and
// tick start they defer until the calling thread holds no lock any more. The
// events go out through the "Motor Stopped" hook (stophook.h).
//
// Each thread keeps how deeply it holds the device list (nested guards share
// the outermost hold) and a small fixed buffer of "Motor Stopped" events noted
// while it held it. Nothing here allocates, so the tick thread may use it.
//
// The guards' definitions are not analysed for thread safety
// (NO_THREAD_SAFETY_ANALYSIS): whether one takes or releases DeviceListLock
// depends on the thread's depth, which the analysis can't follow; their
// declarations (hardware.h) tell callers what they hold. The same holds for
// BoardLock's idempotent release and for SleepListUnlocked, which lets go of
// the caller's shared hold for the sleep.
//
// A raise pass (Flush) delivers the events pending when it began. The events
// that its handlers cause are "late": they stay at the end of the buffer
// until the next pass may take them, which on the tick thread is the next
// walk over the boards and elsewhere the thread's next call into the library.
// A handler that answers every event with a new one thus gets at most one
// per motor per tick, and the tick (and whoever waits for it to end) goes on.
#include <atomic>
#include <thread>

#include "hardware.h"
#include "periodic.h"
#include "stophook.h"

namespace {

constexpr unsigned kDeferredMax = 256;   // far more than one hold can note

struct ThreadListState {
    unsigned read = 0;           // ListReadGuard depth
    unsigned write = 0;          // ListWriteGuard depth
    bool shared = false;         // the outermost read guard holds the lock shared
    bool startTick = false;      // a board opened under a guard: start the tick after it
    bool flushing = false;       // Flush is running on this thread
    bool visiting = false;       // the tick is visiting a board (EnterTickVisit)
    bool walking = false;        // the tick's walk runs on this thread (BeginTickWalk)
    unsigned tickDeferral = 0;   // TickStartDeferral depth
    unsigned count = 0;          // deferred events
    unsigned late = 0;           // the last `late` of them wait for the next pass
    int32_t events[kDeferredMax];
};

thread_local ThreadListState tl_list;

// Events noted now wait: a list guard is held or the tick visits a board.
bool HoldsList(const ThreadListState &s) { return s.read > 0 || s.write > 0 || s.visiting; }

// The layer above's "Motor Stopped" hook; nullptr while none is installed.
std::atomic<MotorStoppedHook> gStoppedHook{nullptr};

void RaiseMotorStopped(int32_t index)
{
    if (MotorStoppedHook hook = gStoppedHook.load(std::memory_order_acquire))
        hook(index);
}

std::atomic<uint64_t> gListGeneration{0};
// Tick visits in progress, and the emptying of the list (the two handshake:
// a visit that starts sees the emptying, or the emptying sees the visit).
std::atomic<unsigned> gVisits{0};
std::atomic<bool> gEmptying{false};

// Raises what this thread deferred, then a deferred tick start; called with
// no list guard held. A handler may call back into the library and so end
// guards of its own: the nested call leaves the work to the running one.
void Flush(ThreadListState &s)
{
    if (s.flushing)
        return;
    s.flushing = true;
    while (s.count > s.late && !HoldsList(s)) {
        const int32_t index = s.events[0];
        for (unsigned i = 1; i < s.count; ++i)
            s.events[i - 1] = s.events[i];
        --s.count;
        RaiseMotorStopped(index);
    }
    if (s.startTick && !HoldsList(s) && s.tickDeferral == 0) {
        s.startTick = false;
        StartTickTimer();
    }
    s.flushing = false;
}

// Notes an event for a later raise pass. One noted during a pass is late; any
// other goes before the late ones.
void Defer(ThreadListState &s, int32_t index)
{
    // Beyond the buffer an event is dropped rather than raised under a lock.
    if (s.count >= kDeferredMax)
        return;
    if (s.flushing) {
        s.events[s.count++] = index;
        ++s.late;
        return;
    }
    for (unsigned i = s.count; i > s.count - s.late; --i)
        s.events[i] = s.events[i - 1];
    s.events[s.count - s.late] = index;
    ++s.count;
}

// A new call into the library outside a raise pass: the late events are due.
void LateEventsDue(ThreadListState &s)
{
    if (!s.flushing && !s.walking)
        s.late = 0;
}

}   // namespace

void SetMotorStoppedHook(MotorStoppedHook hook) { gStoppedHook.store(hook, std::memory_order_release); }

uint64_t DeviceListGeneration() { return gListGeneration.load(std::memory_order_acquire); }

namespace ptrlist_detail {

void BeforeDeleteAll()
{
    gEmptying.store(true, std::memory_order_seq_cst);
    // A visit ends within one board's tick; the tick thread's own host
    // handlers run outside visits, so this never waits for itself.
    while (gVisits.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
}

void AfterDeleteAll()
{
    gListGeneration.fetch_add(1, std::memory_order_acq_rel);
    gEmptying.store(false, std::memory_order_seq_cst);
}

}   // namespace ptrlist_detail

bool EnterTickVisit()
{
    gVisits.fetch_add(1, std::memory_order_seq_cst);
    if (gEmptying.load(std::memory_order_seq_cst)) {
        gVisits.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    tl_list.visiting = true;
    return true;
}

void BeginTickWalk()
{
    ThreadListState &s = tl_list;
    s.walking = true;
    s.late = 0;   // the handlers' events of the last walk are due now
}

void EndTickWalk() { tl_list.walking = false; }

bool RunsTheTick() { return tl_list.walking || OnTickThread(); }

void LeaveTickVisit()
{
    ThreadListState &s = tl_list;
    s.visiting = false;
    gVisits.fetch_sub(1, std::memory_order_seq_cst);
    if (!HoldsList(s))
        Flush(s);
}

ListReadGuard::ListReadGuard() NO_THREAD_SAFETY_ANALYSIS
{
    ThreadListState &s = tl_list;
    if (s.read == 0 && s.write == 0) {
        LateEventsDue(s);
        DeviceListLock.lock_shared();
        s.shared = true;
    }
    ++s.read;
}

ListReadGuard::~ListReadGuard() NO_THREAD_SAFETY_ANALYSIS
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

ListWriteGuard::ListWriteGuard() NO_THREAD_SAFETY_ANALYSIS
{
    ThreadListState &s = tl_list;
    if (s.write++ == 0) {
        if (s.read == 0)
            LateEventsDue(s);
        DeviceListLock.lock();
    }
}

ListWriteGuard::~ListWriteGuard() NO_THREAD_SAFETY_ANALYSIS
{
    ThreadListState &s = tl_list;
    if (--s.write > 0)
        return;
    DeviceListLock.unlock();
    if (s.read == 0)
        Flush(s);
}

BoardLock::BoardLock(USBDriver &board) NO_THREAD_SAFETY_ANALYSIS : board_(board), locked_(true) { board_.Lock.lock(); }

BoardLock::~BoardLock() NO_THREAD_SAFETY_ANALYSIS { Unlock(); }

void BoardLock::Unlock() NO_THREAD_SAFETY_ANALYSIS
{
    if (!locked_)
        return;
    locked_ = false;
    uint8_t stops[32];
    const unsigned n = board_.TakePendingStops(stops, sizeof stops);
    board_.Lock.unlock();
    // From here on the board is not touched: a handler may delete it.
    ThreadListState &s = tl_list;
    for (unsigned i = 0; i < n; ++i)
        Defer(s, stops[i]);
    if (n > 0 && !HoldsList(s))
        Flush(s);
}

bool SleepListUnlocked(unsigned ms) NO_THREAD_SAFETY_ANALYSIS
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

TickStartDeferral::TickStartDeferral() { ++tl_list.tickDeferral; }

TickStartDeferral::~TickStartDeferral()
{
    ThreadListState &s = tl_list;
    if (--s.tickDeferral == 0 && !HoldsList(s))
        Flush(s);
}

void RequestTickStart()
{
    ThreadListState &s = tl_list;
    if (HoldsList(s) || s.tickDeferral > 0)
        s.startTick = true;
    else
        StartTickTimer();
}
