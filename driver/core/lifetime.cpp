// lifetime.cpp - the library's load and unload, in one place.
//
// Load, when the library is mapped (before any export can be called):
//   1. the empty device list (HardwareStaticInit);
//   2. the clock (InitClock).
// Unload, at process exit (the shared library is linked nodelete, so a
// dlclose leaves it mapped) or when a program that links the objects ends:
//   1. the steps of the layers above (AtLibraryUnload), latest first: the
//      control window's end-of-application routine is withdrawn from Qt;
//   2. the tick is stopped, every board deleted (each saves its settings file
//      and closes its device) and the list's arrays freed (HardwareStaticExit).
// Nothing else in the library runs code at load or unload: the control window
// itself goes with the Qt application (a post-routine the window layer adds
// when it first shows it).
//
// The device list and its lock are defined here, before the object that runs
// these steps: objects of one unit are destroyed in the reverse order of
// their definition, so both outlive the unload.
#include <atomic>
#include <shared_mutex>

#include "hardware.h"
#include "lifetime.h"

kx::SharedMutex DeviceListLock;
DynPtrListMgr<USBDriver> DeviceList;

namespace {

constexpr unsigned kUnloadStepsMax = 4;
std::atomic<void (*)()> gUnloadSteps[kUnloadStepsMax] = {};
std::atomic<unsigned> gUnloadStepCount{0};   // places claimed in gUnloadSteps

void RunUnloadSteps()
{
    for (unsigned i = gUnloadStepCount.load(std::memory_order_acquire); i > 0; --i)
        if (void (*step)() = gUnloadSteps[i - 1].load(std::memory_order_acquire))
            step();
}

struct LibraryLifetime {
    LibraryLifetime()
    {
        HardwareStaticInit();
        InitClock();
    }
    ~LibraryLifetime()
    {
        RunUnloadSteps();
        HardwareStaticExit();
    }
};
LibraryLifetime gLibraryLifetime;

}   // namespace

bool AtLibraryUnload(void (*step)())
{
    unsigned n = gUnloadStepCount.load(std::memory_order_relaxed);
    do {
        if (n >= kUnloadStepsMax)
            return false;
    } while (!gUnloadStepCount.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel));
    gUnloadSteps[n].store(step, std::memory_order_release);
    return true;
}
