// kxlocks.cpp - the priority-inheriting mutex and its condition variable.
#include "kxlocks.h"

#include <cerrno>
#include <ctime>

namespace kx {

PiMutex::PiMutex() noexcept
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // Refused where the kernel has no priority-inheriting futexes: then an
    // ordinary mutex, which orders the same and only lends no priority.
    if (pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0 &&
        pthread_mutex_init(&m_, &attr) == 0) {
        inheriting_ = true;
    } else {
        pthread_mutex_init(&m_, nullptr);
    }
    pthread_mutexattr_destroy(&attr);
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

} // namespace kx
