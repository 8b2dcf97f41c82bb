// ticktimer.cpp - the clock and the 1 ms tick: a periodic real-time thread
// ("kinetrax-tick") that ticks every board of the device list in list order.
//
// The tick reads the list without its lock (see hardware.h and ptrlist.h) and
// takes only each board's Lock; emptying the list waits for the visit of a
// board in progress (EnterTickVisit) and ends the walk. StopTickTimer returns when no tick runs any
// more; called from a tick (a host handler inside it) it only asks the thread
// to end after that tick, which then reads the list's Count again and so finds
// an emptied list empty.
#include <sys/syscall.h>
#include <unistd.h>

#include "hardware.h"
#include "periodic.h"

int64_t ClockFrequency = 0;
kx::PiMutex TickTimerLock;
uint32_t TickTimerId = 0;
std::atomic<uint32_t> TickThreadId{0};

namespace {

constexpr int64_t kTickPeriodNs = 1000000;   // 1 ms

uint32_t gNextId GUARDED_BY(TickTimerLock) = 0;
std::atomic<bool> gSuppressed{false};

// Never destroyed: the unload-time finalisation stops it after other static
// objects may be gone.
kxtimer::PeriodicThread &TickThread()
{
    static kxtimer::PeriodicThread *thread = new kxtimer::PeriodicThread;
    return *thread;
}

void TickCallback(void *) { TickTimerProc(0, 0, 0, 0, 0); }

// TickTimerId follows the thread's state.
void UpdateIdLocked() REQUIRES(TickTimerLock)
{
    if (!TickThread().Running())
        TickTimerId = 0;
    else if (TickTimerId == 0)
        TickTimerId = ++gNextId == 0 ? ++gNextId : gNextId;
}

}   // namespace

void InitClock() { ClockFrequency = 1000000000; }

double GetClockSeconds() { return kxtimer::MonotonicSeconds(); }

bool StartTickTimer()
{
    if (gSuppressed.load(std::memory_order_acquire))
        return true;
    kxtimer::PeriodicThread &thread = TickThread();
    if (thread.Running())
        return true;
    // Start may wait for a stopping thread to be joined, so no lock is held
    // around it; of two starting threads one starts and the other sees it run.
    const bool started = thread.Start("kinetrax-tick", kTickPeriodNs, &TickCallback, nullptr);
    kx::LockGuard<kx::PiMutex> lock(TickTimerLock);
    UpdateIdLocked();
    return started || thread.Running();
}

void StopTickTimer()
{
    TickThread().Stop();
    kx::LockGuard<kx::PiMutex> lock(TickTimerLock);
    UpdateIdLocked();
}

bool TickTimerRunning() { return TickThread().Running(); }

bool OnTickThread() { return TickThread().IsCurrentThread(); }

void SetTickTimerSuppressed(bool suppressed)
{
    gSuppressed.store(suppressed, std::memory_order_release);
    if (suppressed)
        StopTickTimer();
}

void TickTimerProc(unsigned, unsigned, uintptr_t, uintptr_t, uintptr_t)
{
    // The thread's priority was raised by the periodic thread itself.
    if (TickThreadId.load(std::memory_order_relaxed) == 0)
        TickThreadId.store(static_cast<uint32_t>(::syscall(SYS_gettid)), std::memory_order_relaxed);
    TickAllDevices();
}

void TickAllDevices()
{
    // On the tick thread the tick's time is the deadline it woke for: step
    // times are whole milliseconds after a tick, so reading the clock after a
    // wake-up that is a few microseconds earlier or later than the last one
    // would turn a 5 ms wait into 6 ms now and then.
    double now = kxtimer::CurrentDeadlineSeconds();
    if (now < 0)
        now = GetClockSeconds();
    struct Walk {
        Walk() { BeginTickWalk(); }
        ~Walk() { EndTickWalk(); }
    } walk;
    // Count is read again before each board: a handler raised after one
    // board's tick may have emptied the list. The events a board notes are
    // raised after its visit, when the board is no longer touched.
    for (uint32_t i = 0;; ++i) {
        if (!EnterTickVisit())
            return;   // the list is being emptied (by another thread)
        if (i >= DeviceList.Size()) {
            LeaveTickVisit();
            return;
        }
        DeviceList.At(i)->Tick(now);
        LeaveTickVisit();
    }
}
