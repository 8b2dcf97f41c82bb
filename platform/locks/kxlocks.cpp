// kxlocks.cpp - the priority-inheriting mutex and its condition variable.
#include "kxlocks.h"

#include <cerrno>
#include <ctime>

namespace kx {

namespace {
constexpr int kSpins = 1000;   // looks before waiting in the kernel (about 30 us)
}   // namespace

PiMutex::PiMutex() noexcept
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // Refused where the kernel has no priority-inheriting futexes: then an
    // ordinary mutex, which orders the same and only lends no priority.
    if (pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0 && pthread_mutex_init(&m_, &attr) == 0) {
        inheriting_ = true;
    } else {
        pthread_mutex_init(&m_, nullptr);
    }
    pthread_mutexattr_destroy(&attr);
}

void PiMutex::lock()
{
    // glibc keeps the owner's thread id in __lock (0: free); reading it keeps
    // the spin off the lock's cache line until the lock looks free.
    for (int i = 0; i < kSpins; ++i) {
        if (__atomic_load_n(&m_.__data.__lock, __ATOMIC_RELAXED) == 0 && pthread_mutex_trylock(&m_) == 0)
            return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    pthread_mutex_lock(&m_);
}

PiCondVar::PiCondVar() noexcept
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&c_, &attr);
    pthread_condattr_destroy(&attr);
}

PiCondVar::~PiCondVar() { pthread_cond_destroy(&c_); }

bool PiCondVar::WaitUntil(PiMutex &m, int64_t deadlineNs)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    return pthread_cond_timedwait(&c_, m.native(), &ts) != ETIMEDOUT;
}

int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}   // namespace kx
