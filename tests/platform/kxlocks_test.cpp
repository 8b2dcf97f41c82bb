// kxlocks_test.cpp - the priority-inheriting mutex lends its holder the
// priority of a real-time thread waiting for it, and its condition variable
// wakes and times out.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "kxlocks.h"
#include "schedprio.h"

namespace {

bool FifoPermitted()
{
    bool ok = false;
    std::thread t([&] {
        sched_param sp{};
        sp.sched_priority = 10;
        ok = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
    });
    t.join();
    return ok;
}

TEST(PiMutex, HolderRunsAtTheWaitingRealTimeThreadsPriority)
{
    kx::PiMutex m;
    ASSERT_TRUE(m.PriorityInheriting());
    if (!FifoPermitted())
        GTEST_SKIP() << "SCHED_FIFO not permitted here";
    std::atomic<pid_t> holderTid{0};
    std::atomic<bool> release{false}, waiterGotIt{false};
    std::thread holder([&] {   // normal priority
        m.lock();
        holderTid = static_cast<pid_t>(::syscall(SYS_gettid));
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m.unlock();
    });
    while (holderTid.load() == 0)
        std::this_thread::yield();
    const pid_t tid = holderTid.load();
    EXPECT_GE(KernelPriority(tid), 0);   // not real-time by itself
    std::thread waiter([&] {
        sched_param sp{};
        sp.sched_priority = 50;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
        m.lock();
        waiterGotIt = true;
        m.unlock();
    });
    long boosted = 0;
    for (int i = 0; i < 5000 && (boosted = KernelPriority(tid)) >= 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(boosted, -51);   // FIFO 50, lent by the waiter
    release = true;
    holder.join();
    waiter.join();
    EXPECT_TRUE(waiterGotIt.load());
}

TEST(PiCondVar, WakesAWaiterAndTimesOut)
{
    kx::PiMutex m;
    kx::PiCondVar cv;
    bool ready = false;
    std::thread t([&] {
        kx::LockGuard<kx::PiMutex> lock(m);
        ready = true;
        cv.NotifyAll();
    });
    {
        kx::LockGuard<kx::PiMutex> lock(m);
        const int64_t deadline = kx::MonotonicNs() + 10'000'000'000;
        while (!ready && cv.WaitUntil(m, deadline)) {
        }
        EXPECT_TRUE(ready);
        const int64_t start = kx::MonotonicNs();
        EXPECT_FALSE(cv.WaitUntil(m, start + 20'000'000));   // nobody signals: times out
        EXPECT_GE(kx::MonotonicNs() - start, 20'000'000);
    }
    t.join();
}

}   // namespace
