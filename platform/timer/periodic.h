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
#include <cstdint>
#include <pthread.h>

namespace kxtimer {

// Seconds on CLOCK_MONOTONIC. Only differences mean anything.
double MonotonicSeconds();
// Sleeps the calling thread for `ms` milliseconds.
void SleepMs(unsigned ms);

class PeriodicThread {
public:
    using Callback = void (*)(void *user);

    PeriodicThread() = default;
    ~PeriodicThread();                     // Stop()
    PeriodicThread(const PeriodicThread &) = delete;
    PeriodicThread &operator=(const PeriodicThread &) = delete;

    // Starts the thread (named `name`, at most 15 characters). False when it
    // is already running or the thread can't be created.
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
    static void *Main(void *self);
    void Join();

    pthread_t thread_{};                  // owned by Start/Stop's caller
    bool joinable_ = false;               // caller side only
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> realtime_{false};
    int64_t periodNs_ = 1000000;
    Callback cb_ = nullptr;
    void *user_ = nullptr;
    char name_[16] = {};
};

} // namespace kxtimer
