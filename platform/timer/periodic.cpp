// periodic.cpp - CLOCK_MONOTONIC seconds, millisecond sleeps, and the periodic
// real-time thread that drives the 1 ms tick.
#include "periodic.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/prctl.h>

namespace kxtimer {
namespace {

constexpr int64_t kNsPerSec = 1000000000;
// SCHED_FIFO priority of the thread: above ordinary real-time helpers, below
// the kernel's own per-CPU threads at the top of the range.
constexpr int kFifoPriority = 80;

thread_local const PeriodicThread *tl_current = nullptr;
// Deadline of the callback running on this thread; -1 outside callbacks.
thread_local int64_t tl_deadlineNs = -1;

std::atomic<WakeProbe> g_probe{nullptr};
std::atomic<void *> g_probeUser{nullptr};
std::atomic<WakeProbe> g_doneProbe{nullptr};
std::atomic<void *> g_doneProbeUser{nullptr};
std::atomic<bool> g_realtimeAllowed{true};

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

timespec ToTimespec(int64_t ns)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSec);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSec);
    return ts;
}

void SleepUntil(int64_t deadlineNs)
{
    const timespec ts = ToTimespec(deadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void CopyName(char (&dst)[16], const char *name)
{
    size_t n = name ? std::strlen(name) : 0;
    if (n > 15)
        n = 15;
    if (n)
        std::memcpy(dst, name, n);
    dst[n] = '\0';
}

}   // namespace

double MonotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double CurrentDeadlineSeconds() { return tl_deadlineNs < 0 ? -1.0 : double(tl_deadlineNs) / double(kNsPerSec); }

void SleepMs(unsigned ms) { SleepUntil(NowNs() + int64_t(ms) * 1000000); }

void SetWakeProbe(WakeProbe probe, void *user)
{
    g_probeUser.store(user, std::memory_order_release);
    g_probe.store(probe, std::memory_order_release);
}

void SetDoneProbe(WakeProbe probe, void *user)
{
    g_doneProbeUser.store(user, std::memory_order_release);
    g_doneProbe.store(probe, std::memory_order_release);
}

void SetRealtimeAllowed(bool allowed) { g_realtimeAllowed.store(allowed, std::memory_order_release); }

PeriodicThread::~PeriodicThread() { Stop(); }

bool PeriodicThread::IsCurrentThread() const { return tl_current == this; }

void PeriodicThread::SetState(State s)
{
    state_ = s;
    running_.store(s == State::Running, std::memory_order_release);
}

bool PeriodicThread::Start(const char *name, int64_t periodNs, Callback cb, void *user)
{
    if (!cb || periodNs <= 0)
        return false;
    std::unique_lock<std::mutex> lock(m_);
    if (IsCurrentThread()) {
        // From the callback: only a stop this callback asked for can be undone.
        if (state_ != State::SelfStopping)
            return false;
        CopyName(name_, name);
        periodNs_ = periodNs;
        cb_ = cb;
        user_ = user;
        restarted_ = true;
        stop_.store(false, std::memory_order_release);
        pthread_setname_np(pthread_self(), name_);
        SetState(State::Running);
        return true;
    }
    joined_.wait(lock, [this] { return state_ != State::Joining; });
    if (state_ == State::Running)
        return false;
    if (state_ == State::SelfStopping) {
        // The old thread ends by itself; join it before a new one starts, so
        // two callbacks never run at once.
        const pthread_t old = thread_;
        SetState(State::Joining);
        lock.unlock();
        pthread_join(old, nullptr);
        lock.lock();
        SetState(State::Idle);
        joined_.notify_all();
    }
    CopyName(name_, name);
    periodNs_ = periodNs;
    cb_ = cb;
    user_ = user;
    restarted_ = false;
    realtime_.store(false, std::memory_order_relaxed);
    stop_.store(false, std::memory_order_release);
    if (pthread_create(&thread_, nullptr, &PeriodicThread::Main, this) != 0)
        return false;
    SetState(State::Running);
    return true;
}

void PeriodicThread::Stop()
{
    std::unique_lock<std::mutex> lock(m_);
    if (IsCurrentThread()) {
        if (state_ == State::Running) {
            stop_.store(true, std::memory_order_release);
            SetState(State::SelfStopping);
        }
        return;
    }
    joined_.wait(lock, [this] { return state_ != State::Joining; });
    if (state_ == State::Idle)
        return;
    stop_.store(true, std::memory_order_release);
    const pthread_t t = thread_;
    SetState(State::Joining);
    lock.unlock();
    pthread_join(t, nullptr);
    lock.lock();
    SetState(State::Idle);
    joined_.notify_all();
}

void *PeriodicThread::Main(void *self)
{
    PeriodicThread *t = static_cast<PeriodicThread *>(self);
    tl_current = t;
    pthread_setname_np(pthread_self(), t->name_);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param sp{};
    const int maxPrio = sched_get_priority_max(SCHED_FIFO);
    sp.sched_priority = kFifoPriority < maxPrio ? kFifoPriority : maxPrio;
    // Not permitted (no CAP_SYS_NICE, no RLIMIT_RTPRIO): stay at normal priority.
    t->realtime_.store(g_realtimeAllowed.load(std::memory_order_acquire) &&
                           pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0,
                       std::memory_order_relaxed);

    int64_t next = NowNs() + t->periodNs_;
    while (!t->stop_.load(std::memory_order_acquire)) {
        SleepUntil(next);
        if (t->stop_.load(std::memory_order_acquire))
            break;
        if (WakeProbe probe = g_probe.load(std::memory_order_acquire))
            probe(g_probeUser.load(std::memory_order_acquire), next, NowNs());
        tl_deadlineNs = next;
        t->cb_(t->user_);
        tl_deadlineNs = -1;
        if (WakeProbe probe = g_doneProbe.load(std::memory_order_acquire))
            probe(g_doneProbeUser.load(std::memory_order_acquire), next, NowNs());
        if (t->restarted_) {
            t->restarted_ = false;
            next = NowNs() + t->periodNs_;
            continue;
        }
        next += t->periodNs_;
        const int64_t now = NowNs();
        if (next <= now)   // deadlines that passed meanwhile are skipped, not bunched
            next += ((now - next) / t->periodNs_ + 1) * t->periodNs_;
    }
    tl_current = nullptr;
    return nullptr;
}

}   // namespace kxtimer
