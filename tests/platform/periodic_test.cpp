// periodic_test.cpp - the clock and the periodic thread: it calls back, Stop
// joins, a stop from the callback and a restart (even from that callback)
// work, overruns are skipped rather than bunched, and the thread is set up as
// promised (name, timer slack, scheduling class).
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <thread>
#include <vector>

#include "periodic.h"

namespace {

using kxtimer::PeriodicThread;
constexpr int64_t kMs = 1000000;

// Waits (bounded) until `pred` holds; the real-time tests never assert on timing.
template <class P> bool WaitFor(P pred, double seconds = 10.0)
{
    const double end = kxtimer::MonotonicSeconds() + seconds;
    while (!pred()) {
        if (kxtimer::MonotonicSeconds() > end)
            return false;
        kxtimer::SleepMs(1);
    }
    return true;
}

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> sleepMs{0};
    static void Cb(void *p)
    {
        Counter *c = static_cast<Counter *>(p);
        const int now = ++c->inside;
        int m = c->maxInside.load();
        while (now > m && !c->maxInside.compare_exchange_weak(m, now)) {
        }
        if (int ms = c->sleepMs.load())
            kxtimer::SleepMs(ms);
        ++c->calls;
        --c->inside;
    }
};

TEST(Clock, MonotonicSecondsAndSleep)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const double ref = double(ts.tv_sec) + ts.tv_nsec * 1e-9;
    const double t0 = kxtimer::MonotonicSeconds();
    EXPECT_NEAR(t0, ref, 0.5);
    kxtimer::SleepMs(20);
    EXPECT_GE(kxtimer::MonotonicSeconds() - t0, 0.020);
    kxtimer::SleepMs(0);
}

TEST(PeriodicThread, CallsBackUntilStopJoins)
{
    PeriodicThread t;
    Counter c;
    EXPECT_FALSE(t.Running());
    EXPECT_FALSE(t.Start("kx-test", kMs, nullptr, &c));
    EXPECT_FALSE(t.Start("kx-test", 0, &Counter::Cb, &c));
    ASSERT_TRUE(t.Start("kx-test", kMs, &Counter::Cb, &c));
    EXPECT_TRUE(t.Running());
    EXPECT_FALSE(t.IsCurrentThread());
    EXPECT_FALSE(t.Start("kx-test", kMs, &Counter::Cb, &c));   // already running
    ASSERT_TRUE(WaitFor([&] { return c.calls >= 5; }));

    // Stop while a callback is in progress: it returns after that callback.
    c.sleepMs = 20;
    ASSERT_TRUE(WaitFor([&] { return c.inside.load() == 1; }));
    t.Stop();
    EXPECT_EQ(c.inside.load(), 0);
    EXPECT_FALSE(t.Running());
    const int after = c.calls;
    kxtimer::SleepMs(30);
    EXPECT_EQ(c.calls.load(), after);
    t.Stop();   // twice: nothing

    // And it starts again.
    c.sleepMs = 0;
    ASSERT_TRUE(t.Start("kx-test", kMs, &Counter::Cb, &c));
    ASSERT_TRUE(WaitFor([&] { return c.calls >= after + 3; }));
    EXPECT_EQ(c.maxInside.load(), 1);
}   // the destructor stops it

struct SelfStop {
    PeriodicThread *t = nullptr;
    std::atomic<int> calls{0};
    std::atomic<int> restartedCalls{0};
    std::atomic<bool> restartOk{false};
    std::atomic<bool> stillCurrent{false};
    std::atomic<bool> runningAfterStop{true};
    std::atomic<bool> restartAgainRefused{false};
    bool restart = false;
    pthread_t first{}, second{};

    static void Restarted(void *p)
    {
        SelfStop *s = static_cast<SelfStop *>(p);
        s->second = pthread_self();
        s->stillCurrent = s->t->IsCurrentThread();
        ++s->restartedCalls;
    }
    static void Cb(void *p)
    {
        SelfStop *s = static_cast<SelfStop *>(p);
        if (++s->calls != 3)
            return;
        s->first = pthread_self();
        s->t->Stop();   // only asks: it can't join itself
        s->runningAfterStop = s->t->Running();
        if (s->restart) {
            s->restartOk = s->t->Start("kx-again", kMs, &SelfStop::Restarted, s);
            s->restartAgainRefused = !s->t->Start("kx-again", kMs, &SelfStop::Restarted, s);
        }
    }
};

TEST(PeriodicThread, StopFromTheCallbackThenStartFromOutside)
{
    PeriodicThread t;
    SelfStop s;
    s.t = &t;
    ASSERT_TRUE(t.Start("kx-self", kMs, &SelfStop::Cb, &s));
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
    EXPECT_FALSE(s.runningAfterStop.load());
    kxtimer::SleepMs(20);
    EXPECT_EQ(s.calls.load(), 3);   // the thread ended after that callback

    Counter c;
    ASSERT_TRUE(t.Start("kx-self", kMs, &Counter::Cb, &c));   // joins the old thread first
    ASSERT_TRUE(WaitFor([&] { return c.calls >= 3; }));
    t.Stop();
    EXPECT_EQ(s.calls.load(), 3);
}

TEST(PeriodicThread, StopThenStartFromTheCallbackKeepsTheThread)
{
    PeriodicThread t;
    SelfStop s;
    s.t = &t;
    s.restart = true;
    ASSERT_TRUE(t.Start("kx-self", kMs, &SelfStop::Cb, &s));
    ASSERT_TRUE(WaitFor([&] { return s.restartedCalls >= 3; }));
    EXPECT_TRUE(s.restartOk.load());
    EXPECT_TRUE(s.restartAgainRefused.load());   // running again: a second Start is refused
    EXPECT_TRUE(t.Running());
    EXPECT_TRUE(s.stillCurrent.load());
    EXPECT_TRUE(pthread_equal(s.first, s.second));
    EXPECT_EQ(s.calls.load(), 3);   // the old callback is no longer called
    t.Stop();
    const int n = s.restartedCalls;
    kxtimer::SleepMs(20);
    EXPECT_EQ(s.restartedCalls.load(), n);
}

// A self-stopping thread still inside its callback while another thread starts
// the timer again: the new thread waits for the old one, never two callbacks at once.
struct Overlap {
    PeriodicThread *t = nullptr;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    static void Cb(void *p)
    {
        Overlap *o = static_cast<Overlap *>(p);
        const int now = ++o->inside;
        if (now > o->maxInside)
            o->maxInside = now;
        if (++o->calls == 1) {
            o->t->Stop();
            o->stopped = true;
            kxtimer::SleepMs(30);
            // Too late to undo: another thread is restarting the timer.
            o->t->Start("kx-late", kMs, &Overlap::Cb, o);
        }
        --o->inside;
    }
};

TEST(PeriodicThread, RestartFromOutsideWaitsForTheEndingCallback)
{
    PeriodicThread t;
    Overlap o;
    o.t = &t;
    ASSERT_TRUE(t.Start("kx-ovl", kMs, &Overlap::Cb, &o));
    ASSERT_TRUE(WaitFor([&] { return o.stopped.load(); }));
    ASSERT_TRUE(t.Start("kx-ovl", kMs, &Overlap::Cb, &o));
    ASSERT_TRUE(WaitFor([&] { return o.calls >= 5; }));
    t.Stop();
    EXPECT_EQ(o.maxInside.load(), 1);
}

// Deadlines that passed during a long callback are skipped: after a 20 ms
// overrun of a 1 ms period, the next 5 ms hold at most 5 + 2 calls (a bunched
// catch-up would make ~20 calls at once).
struct Overrun {
    std::atomic<int> calls{0};
    std::vector<double> starts;   // written by the thread only, read after Stop
    static void Cb(void *p)
    {
        Overrun *o = static_cast<Overrun *>(p);
        if (o->starts.size() < 4000)
            o->starts.push_back(kxtimer::MonotonicSeconds());
        if (++o->calls == 3)
            kxtimer::SleepMs(20);
    }
};

TEST(PeriodicThread, OverrunSkipsMissedDeadlines)
{
    PeriodicThread t;
    Overrun o;
    o.starts.reserve(4000);
    ASSERT_TRUE(t.Start("kx-overrun", kMs, &Overrun::Cb, &o));
    ASSERT_TRUE(WaitFor([&] { return o.calls >= 40; }));
    t.Stop();
    ASSERT_GE(o.starts.size(), 4u);
    const double resume = o.starts[2] + 0.020;   // the long callback ended after this
    int inWindow = 0;
    for (double s : o.starts)
        if (s >= resume && s < resume + 0.005)
            ++inWindow;
    EXPECT_LE(inWindow, 7);
}

struct Probe {
    PeriodicThread *t = nullptr;
    std::atomic<bool> done{false};
    char name[16] = {};
    unsigned long slack = 0;
    int policy = -1;
    bool current = false;
    static void Cb(void *p)
    {
        Probe *pr = static_cast<Probe *>(p);
        if (pr->done)
            return;
        pthread_getname_np(pthread_self(), pr->name, sizeof pr->name);
        pr->slack = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
        pr->policy = sched_getscheduler(0);
        pr->current = pr->t->IsCurrentThread();
        pr->done = true;
    }
};

TEST(PeriodicThread, ThreadIsNamedAndTuned)
{
    PeriodicThread t;
    Probe p;
    p.t = &t;
    ASSERT_TRUE(t.Start("kinetrax-tick-with-a-long-name", kMs, &Probe::Cb, &p));
    ASSERT_TRUE(WaitFor([&] { return p.done.load(); }));
    t.Stop();
    EXPECT_STREQ(p.name, "kinetrax-tick-w");   // cut to 15 characters
    // 1 ns; the kernel gives a real-time thread no slack at all.
    EXPECT_LE(p.slack, 1u);
    if (!t.Realtime()) {
        EXPECT_EQ(p.slack, 1u);
    }
    EXPECT_TRUE(p.current);
    // SCHED_FIFO exactly when the thread says it got it (tests run unprivileged too).
    EXPECT_EQ(p.policy == SCHED_FIFO, t.Realtime());
}

struct Wakes {
    std::atomic<int> n{0};
    int64_t deadline[64] = {}, woke[64] = {};
    static void Probe(void *p, int64_t deadlineNs, int64_t wokeNs)
    {
        Wakes *w = static_cast<Wakes *>(p);
        const int i = w->n.load();
        if (i < 64) {
            w->deadline[i] = deadlineNs;
            w->woke[i] = wokeNs;
            w->n.store(i + 1);
        }
    }
};

TEST(PeriodicThread, WakeProbeSeesEachDeadlineAndRealtimeCanBeRefused)
{
    Wakes w;
    kxtimer::SetWakeProbe(&Wakes::Probe, &w);
    kxtimer::SetRealtimeAllowed(false);
    PeriodicThread t;
    Probe p;
    p.t = &t;
    ASSERT_TRUE(t.Start("kx-probe", kMs, &Probe::Cb, &p));
    ASSERT_TRUE(WaitFor([&] { return w.n.load() >= 64 && p.done.load(); }));
    t.Stop();
    kxtimer::SetWakeProbe(nullptr, nullptr);
    kxtimer::SetRealtimeAllowed(true);
    EXPECT_FALSE(t.Realtime());
    EXPECT_NE(p.policy, SCHED_FIFO);
    for (int i = 0; i < 64; ++i) {
        EXPECT_GE(w.woke[i], w.deadline[i]);
        if (i > 0) {
            // On the 1 ms grid, each deadline after the one before.
            EXPECT_GT(w.deadline[i], w.deadline[i - 1]);
            EXPECT_EQ((w.deadline[i] - w.deadline[0]) % kMs, 0);
        }
    }
}

TEST(PeriodicThread, StartStopFromManyThreads)
{
    PeriodicThread t;
    Counter c;
    std::vector<std::thread> th;
    for (int i = 0; i < 4; ++i)
        th.emplace_back([&] {
            for (int k = 0; k < 50; ++k) {
                t.Start("kx-race", kMs, &Counter::Cb, &c);
                if (k % 3 == 0)
                    kxtimer::SleepMs(1);
                t.Stop();
            }
        });
    for (auto &x : th)
        x.join();
    t.Stop();
    EXPECT_FALSE(t.Running());
    EXPECT_LE(c.maxInside.load(), 1);
}

}   // namespace

// The callback's time is its deadline: whole periods apart whatever the
// wake-up jitter, and -1 anywhere else.
TEST(PeriodicThread, CallbackTimesAreWholePeriodsApart)
{
    struct Seen {
        std::atomic<int> n{0};
        double t[20] = {};
        static void Cb(void *p)
        {
            Seen *s = static_cast<Seen *>(p);
            const int i = s->n.load();
            if (i < 20) {
                s->t[i] = kxtimer::CurrentDeadlineSeconds();
                s->n.store(i + 1);
            }
        }
    } seen;
    EXPECT_LT(kxtimer::CurrentDeadlineSeconds(), 0.0);
    PeriodicThread thread;
    ASSERT_TRUE(thread.Start("kx-deadline", kMs, &Seen::Cb, &seen));
    ASSERT_TRUE(WaitFor([&] { return seen.n.load() >= 20; }));
    thread.Stop();
    for (int i = 1; i < 20; ++i) {
        const double periods = (seen.t[i] - seen.t[i - 1]) / 1e-3;
        EXPECT_GE(periods, 0.999) << i;
        EXPECT_NEAR(periods, double(int64_t(periods + 0.5)), 1e-6) << i;
    }
}
