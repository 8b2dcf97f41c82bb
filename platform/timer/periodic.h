// periodic.h - the clock and a periodic real-time thread, standing in for the
// platform's multimedia timer.
//
// PeriodicThread wakes on absolute deadlines (clock_nanosleep, TIMER_ABSTIME on
// CLOCK_MONOTONIC), one period apart, and calls its callback once per deadline.
// A late wake-up does not bunch calls: deadlines that already passed are
// skipped. It asks for SCHED_FIFO when the process may use it and otherwise
// runs at normal priority without complaint; timer slack is reduced to 1 ns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>

namespace kxtimer {

// Seconds on CLOCK_MONOTONIC. Only differences mean anything.
double MonotonicSeconds();
// On a PeriodicThread inside its callback: the deadline (MonotonicSeconds
// scale) the callback runs for. Deadlines lie exactly one period apart, so
// times taken from them keep the grid whatever the wake-up jitter. -1 on any
// other thread or outside the callback.
double CurrentDeadlineSeconds();
// Sleeps the calling thread for `ms` milliseconds.
void SleepMs(unsigned ms);

// Measurement hooks for the benchmark (the library never sets them).
// A wake probe, when set, is called by every PeriodicThread on its own thread
// after each wake-up and before the callback, with the deadline it woke for
// and the time it woke (CLOCK_MONOTONIC nanoseconds). It must not block.
using WakeProbe = void (*)(void *user, int64_t deadlineNs, int64_t wokeNs);
void SetWakeProbe(WakeProbe probe, void *user);   // nullptr: none (the default)
// A done probe, when set, is called the same way after each callback returns,
// with the deadline and the time the callback ended.
void SetDoneProbe(WakeProbe probe, void *user);   // nullptr: none (the default)
// Whether threads started from now on ask for SCHED_FIFO (default true).
void SetRealtimeAllowed(bool allowed);

class PeriodicThread {
public:
    using Callback = void (*)(void *user);

    PeriodicThread() = default;
    ~PeriodicThread();   // Stop()
    PeriodicThread(const PeriodicThread &) = delete;
    PeriodicThread &operator=(const PeriodicThread &) = delete;

    // Starts the thread (named `name`, at most 15 characters). False when it
    // is already running or the thread can't be created. Called from the
    // callback after that callback's own Stop(), it cancels the stop: the same
    // thread goes on with the new name, period, callback and user value, its
    // next call one period after this one.
    bool Start(const char *name, int64_t periodNs, Callback cb, void *user);
    // Stops and joins: when it returns, no callback runs any more. Called from
    // the callback's own thread it only asks the thread to end after the
    // current callback (it can't join itself); a later Start or the
    // destructor joins it.
    void Stop();
    bool Running() const { return running_.load(std::memory_order_acquire); }
    bool IsCurrentThread() const;
    bool Realtime() const { return realtime_.load(std::memory_order_relaxed); }

private:
    // Idle: no thread. Running: the thread calls back. SelfStopping: the
    // callback asked to stop; the thread ends (or has ended) and waits to be
    // joined. Joining: a Start or Stop on another thread is joining it.
    enum class State { Idle, Running, SelfStopping, Joining };

    static void *Main(void *self);
    void SetState(State s);   // with m_ held

    mutable std::mutex m_;
    std::condition_variable joined_;     // signalled when Joining ends
    State state_ = State::Idle;          // guarded by m_
    pthread_t thread_{};                 // guarded by m_ (valid unless Idle)
    std::atomic<bool> running_{false};   // state_ == Running, for Running()
    std::atomic<bool> stop_{false};      // read by the thread each period
    std::atomic<bool> realtime_{false};
    // Set by Start before the thread exists, or by the thread itself (a
    // restart from its own callback); read by the thread.
    int64_t periodNs_ = 1000000;
    Callback cb_ = nullptr;
    void *user_ = nullptr;
    bool restarted_ = false;   // the thread's own: restart from the callback
    char name_[16] = {};
};

}   // namespace kxtimer
