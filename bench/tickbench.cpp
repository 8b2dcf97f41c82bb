// tickbench.cpp - measures the 1 ms tick on the simulated bus:
//   1. work per board-tick (7 motors ramping, writes counted not traced), on a
//      controlled clock, plus Google Benchmark figures of the same work;
//   2. lateness of the real tick thread (8 boards x 7 motors stepping every
//      tick) next to a bare clock_nanosleep loop of the same priority running
//      at the same time, normal priority and SCHED_FIFO (when permitted), idle
//      and under a CPU load; with the tick thread's CPU share and the heap
//      allocations it makes in steady state;
//   3. scale: the most boards x 7 motors that hold 1 kHz with no tick over
//      1 ms late, up to 64;
//   4. the libftdi backend over 8 emulated chips (when built with libftdi1):
//      the time a board-tick spends handing its bytes to the backend, the
//      latency from hand-over to the emulated chip, and the same during a
//      rename with USB transfers of realistic length;
//   5. the tick against client threads: 4 threads at normal priority call the
//      exports (getters, moves, stops) on the tick's boards as fast as they
//      can, idle and under a CPU load; how late each tick's walk ends.
// Usage: kx_tickbench [--full] [--seconds=S] [--no-load] [--no-gbench]
//        [--backend-only] [--clients-only] [--benchmark_* flags of Google Benchmark]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#ifdef KX_HAVE_GBENCH
#include <benchmark/benchmark.h>
#endif

#include "hardware.h"
#include "kinetrax.h"
#include "periodic.h"
#include "simbus.h"
#ifdef KX_BENCH_LIBFTDI
#include "ftdi_backend.h"
#include "ftdi_emulator.h"
#endif

// ---- allocation counting -------------------------------------------------------
// malloc & co. are interposed in this program; allocations made on the tick
// thread while counting is on are counted. (Not under the sanitizers, which
// bring their own allocator.)
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<uint64_t> g_tickAllocs{0};
__thread bool tl_isTick = false;   // initial-exec TLS: touching it never allocates
inline void NoteAlloc()
{
    if (tl_isTick && g_countAllocs.load(std::memory_order_relaxed))
        g_tickAllocs.fetch_add(1, std::memory_order_relaxed);
}
}   // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAllocsCounted = false;
#else
constexpr bool kAllocsCounted = true;
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
void *malloc(size_t n)
{
    NoteAlloc();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    NoteAlloc();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    NoteAlloc();
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n)
{
    NoteAlloc();
    return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n)
{
    NoteAlloc();
    return __libc_memalign(a, n);
}
int posix_memalign(void **out, size_t a, size_t n)
{
    NoteAlloc();
    void *p = __libc_memalign(a, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
void free(void *p) { __libc_free(p); }
}
#endif

namespace {

constexpr int64_t kMs = 1000000;
constexpr int kMotors = 7;

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t ThreadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Stats {
    size_t n = 0;
    double p50 = 0, p99 = 0, p999 = 0, max = 0;   // microseconds
    size_t over1ms = 0;
};

Stats Summarise(std::vector<int64_t> v)   // nanoseconds in, microseconds out
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        size_t i = size_t(std::ceil(q * double(v.size()))) - 1;
        return double(v[std::min(i, v.size() - 1)]) / 1000.0;
    };
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.p999 = at(0.999);
    s.max = double(v.back()) / 1000.0;
    s.over1ms = size_t(v.end() - std::upper_bound(v.begin(), v.end(), kMs));
    return s;
}

// ---- boards on the simulated bus -------------------------------------------------

std::string Serial(unsigned i)
{
    char s[16];
    std::snprintf(s, sizeof s, "BENCH%02u", i);
    return s;
}

// Seven 2-wire motors (13-byte frames, the most bytes a tick can carry).
// Ramping: a 50-step ramp up to one step per millisecond. Every tick: no ramp
// and no step wait, so each motor steps on every tick whatever the jitter.
void WriteSettings(const std::string &serial, bool everyTick)
{
    DeviceSettings block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(block.BoardName, "bench", 5);
    for (int i = 0; i < kMotors; ++i) {
        SMotorSettings &m = block.MotorSettings[i];
        m.Address = uint8_t(i + 1);
        m.TypeCode = 0x01;   // "X (2wires)"
        m.TravelLength = 2000000000;
        m.Coefficient = 1.0f;
        m.AccelLength = everyTick ? 0 : 50;
        m.MinStepTime = everyTick ? 0 : 1;
        m.MaxStepTime = everyTick ? 0 : 5;
        std::snprintf(m.Name, sizeof m.Name, "m%u", unsigned(i));
    }
    std::ofstream f("configs/" + serial + ".hws", std::ios::binary);
    f.write(reinterpret_cast<const char *>(&block), sizeof block);
}

// Closes everything, puts `n` boards on the bus and opens them.
bool OpenBoards(unsigned n, bool everyTick)
{
    _CloseAllDevices();
    std::string list;
    for (unsigned i = 0; i < n; ++i) {
        WriteSettings(Serial(i), everyTick);
        list += (i ? "," : "") + std::string("TRUV-kq4:") + Serial(i);
    }
    simbus::Reset(list.c_str());
    simbus::SetRecording(false);
    const int listed = _RefreshDevices();
    if (listed != int(n)) {
        std::fprintf(stderr, "kx_tickbench: %d of %u boards opened\n", listed, n);
        return false;
    }
    for (unsigned b = 0; b < n; ++b)
        if (_SM_GetCount(b) != kMotors)
            return false;
    return true;
}

// OpenBoards(n, true) without starting the tick (the runs start it themselves).
bool OpenBoardsTickStopped(unsigned n)
{
    SetTickTimerSuppressed(true);
    const bool opened = OpenBoards(n, true);
    SetTickTimerSuppressed(false);
    return opened;
}

// Every motor of every board heads for a far target (steps every tick once its
// ramp is done).
void MoveAllFar(unsigned n, double sign)
{
    for (unsigned b = 0; b < n; ++b)
        for (unsigned m = 0; m < kMotors; ++m)
            _SM_Move(b, m, sign * 1e8);
}

// ---- 1. work per board-tick on a controlled clock ----------------------------------

struct Work {
    Stats board;   // one board's Tick
    Stats all;     // the 8 boards of one tick
    double writesPerBoardTick = 0;
};

// Back-and-forth moves of 200 steps: ramp up, a short cruise, ramp down.
void Reissue(unsigned n, std::vector<int> &dir)
{
    for (unsigned b = 0; b < n; ++b)
        for (unsigned m = 0; m < kMotors; ++m)
            if (!_SM_IsRunning(b, m)) {
                int &d = dir[b * kMotors + m];
                d = -d;
                _SM_Move(b, m, d > 0 ? 200.0 + m : 0.0);
            }
}

Work MeasureWork(unsigned boards, unsigned ticks)
{
    Work w;
    std::vector<int> dir(boards * kMotors, -1);
    std::vector<int64_t> perBoard, perTick;
    perBoard.reserve(size_t(boards) * ticks);
    perTick.reserve(ticks);
    double now = GetClockSeconds();
    for (unsigned t = 0; t < 2000; ++t, now += 0.001) {   // warm-up
        Reissue(boards, dir);
        for (unsigned b = 0; b < boards; ++b)
            DeviceList.At(b)->Tick(now);
    }
    const uint64_t writes0 = simbus::WriteCount();
    for (unsigned t = 0; t < ticks; ++t, now += 0.001) {
        Reissue(boards, dir);
        const int64_t start = NowNs();
        int64_t prev = start;
        for (unsigned b = 0; b < boards; ++b) {
            DeviceList.At(b)->Tick(now);
            const int64_t after = NowNs();
            perBoard.push_back(after - prev);
            prev = after;
        }
        perTick.push_back(prev - start);
    }
    w.writesPerBoardTick = double(simbus::WriteCount() - writes0) / (double(boards) * ticks);
    w.board = Summarise(perBoard);
    w.all = Summarise(perTick);
    return w;
}

// ---- 2. lateness of the real tick and of a bare loop ------------------------------

// Filled by the tick thread through the wake probe.
struct TickRecorder {
    std::vector<int64_t> late;   // reserved before recording starts
    std::atomic<bool> recording{false};
    std::atomic<bool> finishing{false};
    std::atomic<bool> done{false};
    int64_t cpu0 = -1, cpu1 = -1, wall0 = 0, wall1 = 0;   // tick thread's own
    int policy = -1;

    static void Probe(void *self, int64_t deadline, int64_t woke)
    {
        TickRecorder *r = static_cast<TickRecorder *>(self);
        tl_isTick = true;
        if (!r->recording.load(std::memory_order_acquire) || r->done.load(std::memory_order_relaxed))
            return;
        if (r->cpu0 < 0) {
            r->cpu0 = ThreadCpuNs();
            r->wall0 = NowNs();
            r->policy = sched_getscheduler(0);
        }
        if (r->late.size() < r->late.capacity())
            r->late.push_back(woke - deadline);
        if (r->finishing.load(std::memory_order_acquire)) {
            r->cpu1 = ThreadCpuNs();
            r->wall1 = NowNs();
            r->done.store(true, std::memory_order_release);
        }
    }
};

// The machine's own limit: a 1 ms clock_nanosleep(TIMER_ABSTIME) loop doing
// nothing, at the priority the tick thread gets, skipping missed deadlines the
// same way.
struct BareLoop {
    std::vector<int64_t> late;
    std::atomic<bool> recording{false};
    std::atomic<bool> stop{false};
    bool fifo = false;
    bool gotFifo = false;
    int64_t cpu0 = -1, cpu1 = -1, wall0 = 0, wall1 = 0;
    std::thread thread;

    void Run()
    {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        if (fifo) {
            sched_param sp{};
            sp.sched_priority = 80;   // as the tick thread
            gotFifo = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
        }
        int64_t next = NowNs() + kMs;
        while (!stop.load(std::memory_order_acquire)) {
            timespec ts{time_t(next / 1000000000), long(next % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            const int64_t woke = NowNs();
            if (recording.load(std::memory_order_relaxed) && late.size() < late.capacity()) {
                if (cpu0 < 0) {
                    cpu0 = ThreadCpuNs();
                    wall0 = woke;
                }
                late.push_back(woke - next);
                cpu1 = ThreadCpuNs();
                wall1 = NowNs();
            }
            next += kMs;
            const int64_t now = NowNs();
            if (next <= now)
                next += ((now - next) / kMs + 1) * kMs;
        }
    }
};

// nproc busy threads at normal priority.
struct CpuLoad {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    void Start(unsigned n)
    {
        stop = false;
        for (unsigned i = 0; i < n; ++i)
            threads.emplace_back([this] {
                volatile double x = 1.0;
                while (!stop.load(std::memory_order_relaxed))
                    for (int k = 0; k < 10000; ++k)
                        x = x * 1.0000001 + 1e-9;
            });
    }
    void Stop()
    {
        stop = true;
        for (auto &t : threads)
            t.join();
        threads.clear();
    }
};

struct Phase {
    bool fifo = false;
    bool loaded = false;
    bool tickFifo = false, bareFifo = false;
    Stats tick, bare;
    double cpuShare = 0, bareCpuShare = 0;
    uint64_t allocs = 0;
    double writesPerBoardTick = 0;
};

Phase RunPhase(unsigned boards, bool fifo, bool loaded, double seconds, bool withBare = true)
{
    Phase p;
    p.fifo = fifo;
    p.loaded = loaded;
    kxtimer::SetRealtimeAllowed(fifo);
    StopTickTimer();
    TickRecorder rec;
    const size_t cap = size_t(seconds * 1000) + 2000;
    rec.late.reserve(cap);
    kxtimer::SetWakeProbe(&TickRecorder::Probe, &rec);
    StartTickTimer();
    BareLoop bare;
    bare.fifo = fifo;
    bare.late.reserve(cap);
    if (withBare)
        bare.thread = std::thread([&] { bare.Run(); });
    CpuLoad load;
    if (loaded)
        load.Start(std::max(1u, std::thread::hardware_concurrency()));
    MoveAllFar(boards, 1.0);
    kxtimer::SleepMs(400);   // ramps done, threads settled
    const uint64_t writes0 = simbus::WriteCount();
    g_tickAllocs = 0;
    g_countAllocs = true;
    rec.recording = true;
    bare.recording = true;
    kxtimer::SleepMs(unsigned(seconds * 1000));
    rec.finishing = true;
    for (int i = 0; i < 1000 && !rec.done.load(); ++i)
        kxtimer::SleepMs(1);
    bare.recording = false;
    g_countAllocs = false;
    const uint64_t writes = simbus::WriteCount() - writes0;
    if (loaded)
        load.Stop();
    bare.stop = true;
    if (bare.thread.joinable())
        bare.thread.join();
    StopTickTimer();   // joins the tick thread: its records are complete
    kxtimer::SetWakeProbe(nullptr, nullptr);
    MoveAllFar(boards, -1.0);
    p.tickFifo = rec.policy == SCHED_FIFO;
    p.bareFifo = bare.gotFifo;
    p.tick = Summarise(rec.late);
    p.bare = Summarise(bare.late);
    p.allocs = g_tickAllocs.load();
    if (rec.cpu1 > rec.cpu0 && rec.wall1 > rec.wall0)
        p.cpuShare = double(rec.cpu1 - rec.cpu0) / double(rec.wall1 - rec.wall0);
    if (bare.cpu1 > bare.cpu0 && bare.wall1 > bare.wall0)
        p.bareCpuShare = double(bare.cpu1 - bare.cpu0) / double(bare.wall1 - bare.wall0);
    p.writesPerBoardTick = rec.late.empty() ? 0 : double(writes) / (double(boards) * rec.late.size());
    kxtimer::SetRealtimeAllowed(true);
    return p;
}

bool FifoPermitted()
{
    std::atomic<bool> ok{false};
    std::thread t([&] {
        sched_param sp{};
        sp.sched_priority = 80;
        ok = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
    });
    t.join();
    return ok;
}

// ---- Google Benchmark: the same work, as repeated micro-measurements ----------------

#ifdef KX_HAVE_GBENCH
void BM_BoardTick7Motors(benchmark::State &state)
{
    std::vector<int> dir(kMotors, -1);
    double now = GetClockSeconds();
    USBDriver &board = *DeviceList.At(0);
    for (auto _ : state) {
        board.Tick(now);
        now += 0.001;
        if ((int64_t(now * 1000) & 63) == 0) {
            state.PauseTiming();
            Reissue(1, dir);
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_BoardTick7Motors);

void BM_TickAllBoards(benchmark::State &state)
{
    std::vector<int> dir(DeviceList.Size() * kMotors, -1);
    double now = GetClockSeconds();
    for (auto _ : state) {
        for (uint32_t b = 0; b < DeviceList.Size(); ++b)
            DeviceList.At(b)->Tick(now);
        now += 0.001;
        if ((int64_t(now * 1000) & 63) == 0) {
            state.PauseTiming();
            Reissue(DeviceList.Size(), dir);
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_TickAllBoards);

void BM_SimWriteCounted(benchmark::State &state)
{
    const uint8_t frame[91] = {1};
    uint32_t written = 0;
    ftdi::FtHandle h = DeviceList.At(0)->Handle;
    for (auto _ : state)
        benchmark::DoNotOptimize(ftdi::FtWriteBytes(h, frame, sizeof frame, &written));
}
BENCHMARK(BM_SimWriteCounted);
#endif

void PrintStatsRow(const char *what, const Stats &s)
{
    std::printf("| %-28s | %8.1f | %8.1f | %8.1f | %8.1f | %6zu | %7zu |\n", what, s.p50, s.p99, s.p999, s.max,
                s.over1ms, s.n);
}

// A row named "<what>, FIFO|normal, idle|loaded".
void PrintRunRow(const char *what, bool fifo, bool loaded, const Stats &s)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s, %s, %s", what, fifo ? "FIFO" : "normal", loaded ? "loaded" : "idle");
    PrintStatsRow(name, s);
}

#ifdef KX_BENCH_LIBFTDI
// ---- 4. the libftdi backend over emulated chips ---------------------------------------

struct BackendRun {
    Stats tick;      // one board's Tick, bytes handed to the backend included
    Stats bare;      // the same board-tick's FtWriteBytes alone
    Stats latency;   // hand-over to the chip, per board-tick
    uint64_t refused = 0, failed = 0, lost = 0;
    double renameMs = 0;
};

// 8 FT232R boards on the emulated bus, opened through discovery, 7 motors each
// stepping on every tick; the bench itself ticks them every millisecond (real
// time) for `seconds`. With `rename`, board 0 is renamed on another thread
// half-way, while control transfers take `controlUs` and bulk ones `bulkUs`.
BackendRun RunBackend(double seconds, bool rename, int controlUs, int bulkUs)
{
    BackendRun r;
    constexpr unsigned kBoards = 8;
    SetTickTimerSuppressed(true);
    _CloseAllDevices();
    kxemu::Reset();
    std::vector<int> ids;
    for (unsigned i = 0; i < kBoards; ++i) {
        WriteSettings(Serial(i), true);
        ids.push_back(kxemu::Plug(kxemu::Kind::FT232R, "TRUV-kq4", Serial(i)));
    }
    ftdi::detail::ForceBackend(ftdi::detail::LibftdiBackend());
    if (_RefreshDevices() != int(kBoards)) {
        std::fprintf(stderr, "kx_tickbench: the emulated boards did not open\n");
        return r;
    }
    kxemu::SetTransferTime(controlUs, bulkUs);
    MoveAllFar(kBoards, 1.0);
    // This thread ticks as the tick thread would: at its SCHED_FIFO priority
    // when permitted (the boards' writer threads run just below it).
    sched_param normal{}, fifo{};
    int policy = SCHED_OTHER;
    pthread_getschedparam(pthread_self(), &policy, &normal);
    fifo.sched_priority = 80;
    const bool fifoSet = pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) == 0;
    const unsigned ticks = unsigned(seconds * 1000);
    struct Handover {
        int64_t ns;
        uint64_t end;   // bytes queued since the open after this board-tick (the chip's count too)
    };
    std::vector<std::vector<Handover>> handovers(kBoards);
    for (auto &h : handovers)
        h.reserve(ticks);
    std::vector<int64_t> perBoard;
    perBoard.reserve(size_t(ticks) * kBoards);
    std::atomic<bool> renamed{false};
    std::thread renamer;
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (unsigned t = 0; t < ticks; ++t) {
        if (rename && t == ticks / 2)
            renamer = std::thread([&r, &renamed] {
                const int64_t t0 = NowNs();
                _RenameDevice(0, "Bench A");
                r.renameMs = double(NowNs() - t0) / 1e6;
                renamed = true;
            });
        next.tv_nsec += kMs;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        const double now = GetClockSeconds();
        for (unsigned b = 0; b < kBoards; ++b) {
            USBDriver *board = DeviceList.At(b);
            const int64_t t0 = NowNs();
            board->Tick(now);
            const int64_t t1 = NowNs();
            perBoard.push_back(t1 - t0);
            handovers[b].push_back({t1, ftdi::detail::LibftdiCountersForTest(board->Handle).queuedBytes});
        }
    }
    if (renamer.joinable())
        renamer.join();
    r.tick = Summarise(perBoard);
    std::vector<ftdi::detail::LibftdiCounters> counters;
    for (unsigned b = 0; b < kBoards; ++b)
        counters.push_back(ftdi::detail::LibftdiCountersForTest(DeviceList.At(b)->Handle));
    // The hand-over alone: one board-tick's bytes (91) into the backend's queue.
    {
        uint8_t frame[91] = {};
        USBDriver *board = DeviceList.At(1);
        std::vector<int64_t> bare;
        for (unsigned t = 0; t < 2000; ++t) {
            uint32_t written = 0;
            const int64_t t0 = NowNs();
            ftdi::FtWriteBytes(board->Handle, frame, sizeof frame, &written);
            bare.push_back(NowNs() - t0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        r.bare = Summarise(bare);
    }
    if (fifoSet)
        pthread_setschedparam(pthread_self(), policy, &normal);
    kxemu::SetTransferTime(0, 0);
    _CloseAllDevices();   // drains every queue
    std::vector<int64_t> latency;
    for (unsigned b = 0; b < kBoards; ++b) {
        const kxemu::View v = kxemu::Snapshot(ids[b]);
        r.refused += counters[b].refusedWrites;
        r.failed += counters[b].failedTransfers;
        uint64_t prev = 0;
        size_t a = 0;
        for (const Handover &h : handovers[b]) {
            if (h.end == prev)
                continue;   // nothing written this tick
            prev = h.end;
            while (a < v.arrivals.size() && v.arrivals[a].offset + v.arrivals[a].length < h.end)
                ++a;
            if (a == v.arrivals.size()) {
                ++r.lost;
                continue;
            }
            latency.push_back(v.arrivals[a].ns - h.ns);
        }
    }
    r.latency = Summarise(latency);
    return r;
}

void PrintBackend(double seconds)
{
    std::printf("\n## libftdi backend (8 emulated FT232R boards x 7 motors stepping every tick, %.1f s, ticked by the "
                "bench at 1 kHz)\n\n",
                seconds);
    std::printf("| run                          |   median |      p99 |    p99.9 |      max | >1 ms  | samples |\n");
    std::printf("|------------------------------|---------:|---------:|---------:|---------:|-------:|--------:|\n");
    const BackendRun plain = RunBackend(seconds, false, 0, 0);
    PrintStatsRow("board-tick incl. hand-over (us)", plain.tick);
    PrintStatsRow("hand-over alone, 91 B (us)", plain.bare);
    PrintStatsRow("hand-over -> chip (us)", plain.latency);
    const BackendRun renamed = RunBackend(std::max(seconds, 2.0), true, 1000, 125);
    PrintStatsRow("rename: board-tick (us)", renamed.tick);
    PrintStatsRow("rename: hand-over -> chip (us)", renamed.latency);
    std::printf("\nno USB time: refused writes %llu, failed transfers %llu, board-ticks not arrived %llu\n",
                (unsigned long long)plain.refused, (unsigned long long)plain.failed, (unsigned long long)plain.lost);
    std::printf("rename of board 0 with 1 ms control / 125 us bulk transfers: took %.0f ms; refused writes %llu, "
                "failed transfers %llu, board-ticks not arrived %llu\n",
                renamed.renameMs, (unsigned long long)renamed.refused, (unsigned long long)renamed.failed,
                (unsigned long long)renamed.lost);
}
#endif

// ---- 5. the tick against client threads ------------------------------------------
//
// Client threads at normal priority call the exports on the boards the tick
// steps, while (loaded) a busy thread per CPU competes with them. A client
// preempted while it holds a board's lock keeps the tick waiting for that lock
// until the client runs again, unless the lock lends it the tick's priority.
// Measured: deadline to the end of each tick's walk over the boards.

struct DoneRecorder {
    std::vector<int64_t> late;   // reserved before recording starts
    std::atomic<bool> recording{false};

    static void Probe(void *self, int64_t deadline, int64_t done)
    {
        DoneRecorder *r = static_cast<DoneRecorder *>(self);
        if (r->recording.load(std::memory_order_acquire) && r->late.size() < r->late.capacity())
            r->late.push_back(done - deadline);
    }
};

struct ClientRun {
    bool loaded = false;
    bool tickFifo = false;
    Stats end;    // deadline to the end of the walk
    Stats wake;   // deadline to the wake-up
    double callsPerSecond = 0;
};

constexpr unsigned kClientThreads = 4;

// One client: getters, moves and stops on random motors of the `boards` boards.
void ClientLoop(unsigned boards, unsigned seed, const std::atomic<bool> &stop, std::atomic<uint64_t> &calls)
{
    uint32_t x = seed * 2654435761u + 1;
    uint64_t n = 0;
    SMotorSettings info;
    while (!stop.load(std::memory_order_relaxed)) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const unsigned b = x % boards, m = (x >> 8) % kMotors;
        switch ((x >> 16) % 8) {
        case 0: (void)_SM_GetPosition(b, m); break;
        case 1: (void)_SM_IsRunning(b, m); break;
        case 2: (void)_SM_GetTarget(b, m); break;
        case 3: (void)_SM_GetInfo(b, m, &info); break;
        case 4: (void)_SM_GetRealPosition(b, m); break;
        case 5: _SM_Stop(b, m); break;
        default: _SM_Move(b, m, (x & 1 ? 1e8 : -1e8)); break;
        }
        ++n;
    }
    calls.fetch_add(n, std::memory_order_relaxed);
}

ClientRun RunClients(unsigned boards, bool loaded, double seconds)
{
    ClientRun r;
    r.loaded = loaded;
    kxtimer::SetRealtimeAllowed(true);
    StopTickTimer();
    TickRecorder wake;
    DoneRecorder done;
    const size_t cap = size_t(seconds * 1000) + 2000;
    wake.late.reserve(cap);
    done.late.reserve(cap);
    kxtimer::SetWakeProbe(&TickRecorder::Probe, &wake);
    kxtimer::SetDoneProbe(&DoneRecorder::Probe, &done);
    StartTickTimer();
    CpuLoad load;
    if (loaded)
        load.Start(std::max(1u, std::thread::hardware_concurrency()));
    MoveAllFar(boards, 1.0);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0};
    std::vector<std::thread> clients;
    for (unsigned i = 0; i < kClientThreads; ++i)
        clients.emplace_back([&, i] { ClientLoop(boards, i + 1, stop, calls); });
    kxtimer::SleepMs(400);   // threads settled
    const int64_t t0 = NowNs();
    wake.recording = true;
    done.recording = true;
    kxtimer::SleepMs(unsigned(seconds * 1000));
    done.recording = false;
    wake.finishing = true;
    for (int i = 0; i < 1000 && !wake.done.load(); ++i)
        kxtimer::SleepMs(1);
    stop = true;
    for (auto &t : clients)
        t.join();
    const int64_t t1 = NowNs();
    if (loaded)
        load.Stop();
    StopTickTimer();   // joins the tick thread: its records are complete
    kxtimer::SetWakeProbe(nullptr, nullptr);
    kxtimer::SetDoneProbe(nullptr, nullptr);
    MoveAllFar(boards, -1.0);
    r.tickFifo = wake.policy == SCHED_FIFO;
    r.end = Summarise(done.late);
    r.wake = Summarise(wake.late);
    r.callsPerSecond = double(calls.load()) / (double(t1 - t0) / 1e9);
    return r;
}

void PrintClients(double seconds, bool withLoad)
{
    std::printf("\n## Tick against client threads (8 boards x 7 motors, %u client threads at normal priority "
                "calling getters, moves and stops, %.1f s per run)\n\n",
                kClientThreads, seconds);
    std::printf("| run                          |   p50 us |   p99 us | p99.9 us |   max us | >1 ms  |   ticks |\n");
    std::printf("|------------------------------|---------:|---------:|---------:|---------:|-------:|--------:|\n");
    std::vector<ClientRun> runs;
    for (bool loaded : {false, true}) {
        if (loaded && !withLoad)
            continue;
        const ClientRun r = RunClients(8, loaded, seconds);
        PrintRunRow("walk end", r.tickFifo, loaded, r.end);
        PrintRunRow("wake-up", r.tickFifo, loaded, r.wake);
        runs.push_back(r);
    }
    std::printf("\n");
    for (const ClientRun &r : runs)
        std::printf("client calls per second, %s: %.0f\n", r.loaded ? "loaded" : "idle", r.callsPerSecond);
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

}   // namespace

int main(int argc, char **argv)
{
    double seconds = 2.0, scaleSeconds = 1.0;
    bool withLoad = true, withGbench = true, backendOnly = false, clientsOnly = false;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--full") {
            seconds = 10.0;
            scaleSeconds = 5.0;
        } else if (a.rfind("--seconds=", 0) == 0) {
            seconds = std::atof(a.c_str() + 10);
        } else if (a == "--no-load") {
            withLoad = false;
        } else if (a == "--no-gbench") {
            withGbench = false;
        } else if (a == "--backend-only") {
            backendOnly = true;
        } else if (a == "--clients-only") {
            clientsOnly = true;
        } else if (a == "--help" || a == "-h") {
            std::printf("usage: %s [--full] [--seconds=S] [--no-load] [--no-gbench] [--backend-only] [--clients-only] "
                        "[--benchmark_*]\n",
                        argv[0]);
            return 0;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (seconds <= 0)
        seconds = 2.0;

    // A scratch directory for the boards' settings files.
    char dirTemplate[] = "/tmp/kx-tickbench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = dirTemplate;
    std::filesystem::create_directory(dir / "configs");
    std::filesystem::current_path(dir);

    const bool fifoOk = FifoPermitted();
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    std::printf("kx_tickbench: %u CPUs, SCHED_FIFO %s, %.1f s per lateness run, allocations %s\n\n", cpus,
                fifoOk ? "permitted" : "not permitted", seconds,
                kAllocsCounted ? "counted" : "not counted (sanitizer build)");

    // Closes the boards and removes the scratch directory.
    auto finish = [&dir] {
        _CloseAllDevices();
        std::filesystem::current_path("/");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        return 0;
    };
    if (backendOnly) {
#ifdef KX_BENCH_LIBFTDI
        PrintBackend(seconds);
#endif
        return finish();
    }
    if (clientsOnly) {
        if (!OpenBoardsTickStopped(8))
            return 1;
        PrintClients(seconds, withLoad);
        return finish();
    }

    // 1. Work per board-tick, controlled clock, no tick thread.
    SetTickTimerSuppressed(true);
    if (!OpenBoards(8, false))
        return 1;
    const Work w = MeasureWork(8, 20000);
    std::printf("## Work per tick (8 boards x 7 motors ramping, controlled clock, writes counted)\n\n");
    std::printf("| figure                       |   median |      p99 |    p99.9 |      max | >1 ms  | samples |\n");
    std::printf("|------------------------------|---------:|---------:|---------:|---------:|-------:|--------:|\n");
    PrintStatsRow("one board's tick (us)", w.board);
    PrintStatsRow("all 8 boards' tick (us)", w.all);
    std::printf("\nwrites per board-tick: %.3f\n\n", w.writesPerBoardTick);

#ifdef KX_HAVE_GBENCH
    if (withGbench) {
        std::printf("## Google Benchmark (same boards, controlled clock)\n\n");
        std::fflush(stdout);
        int gargc = int(rest.size());
        benchmark::Initialize(&gargc, rest.data());
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        std::printf("\n");
    }
#else
    (void)withGbench;
#endif
    // The controlled clock ran ahead of real time: start the real tick on
    // freshly opened boards.
    if (!OpenBoards(8, true))
        return 1;
    SetTickTimerSuppressed(false);

    // 2. Lateness of the real tick thread next to the bare loop.
    std::printf(
        "## Tick lateness (8 boards x 7 motors stepping every tick; tick and bare loop run at the same time)\n\n");
    std::printf("| run                          |   p50 us |   p99 us | p99.9 us |   max us | >1 ms  |   ticks |\n");
    std::printf("|------------------------------|---------:|---------:|---------:|---------:|-------:|--------:|\n");
    std::vector<Phase> phases;
    for (bool fifo : {false, true}) {
        if (fifo && !fifoOk)
            continue;
        for (bool loaded : {false, true}) {
            if (loaded && !withLoad)
                continue;
            const Phase p = RunPhase(8, fifo, loaded, seconds);
            PrintRunRow("tick", p.tickFifo, loaded, p.tick);
            PrintRunRow("bare loop", p.bareFifo, loaded, p.bare);
            phases.push_back(p);
        }
    }
    std::printf("\n| run                          | p99 ratio | p99.9 ratio | tick CPU share | bare CPU share | tick "
                "allocations | writes/board-tick |\n");
    std::printf("|------------------------------|----------:|------------:|---------------:|---------------:|----------"
                "-------:|------------------:|\n");
    for (const Phase &p : phases) {
        char name[64];
        std::snprintf(name, sizeof name, "%s, %s", p.fifo ? "FIFO" : "normal", p.loaded ? "loaded" : "idle");
        std::printf("| %-28s | %9.2f | %11.2f | %13.2f%% | %13.2f%% | %16s | %17.3f |\n", name,
                    Ratio(p.tick.p99, p.bare.p99), Ratio(p.tick.p999, p.bare.p999), 100.0 * p.cpuShare,
                    100.0 * p.bareCpuShare, kAllocsCounted ? std::to_string(p.allocs).c_str() : "n/a",
                    p.writesPerBoardTick);
    }
    if (withLoad)
        std::printf("\nload: %u busy-loop threads at normal priority (one per CPU)\n", cpus);

    // 3. Scale: boards x 7 motors at 1 kHz with no tick over 1 ms late.
    std::printf("\n## Scale (%s, idle, %.1f s per size)\n\n", fifoOk ? "FIFO" : "normal", scaleSeconds);
    std::printf("| boards | motors |   p99 us |   max us | >1 ms | bare p99 us | bare >1 ms | tick CPU share | "
                "writes/board-tick |\n");
    std::printf("|-------:|-------:|---------:|---------:|------:|------------:|-----------:|---------------:|---------"
                "---------:|\n");
    unsigned best = 0, bestVsBare = 0;
    bool holding = true, holdingVsBare = true;
    for (unsigned n : {8u, 16u, 32u, 48u, 64u}) {
        if (!OpenBoardsTickStopped(n))
            break;
        const Phase p = RunPhase(n, fifoOk, false, scaleSeconds);
        std::printf("| %6u | %6u | %8.1f | %8.1f | %5zu | %11.1f | %10zu | %13.2f%% | %17.3f |\n", n, n * kMotors,
                    p.tick.p99, p.tick.max, p.tick.over1ms, p.bare.p99, p.bare.over1ms, 100.0 * p.cpuShare,
                    p.writesPerBoardTick);
        if (holding && p.tick.over1ms == 0 && p.tick.n > 0)
            best = n;
        else
            holding = false;
        if (holdingVsBare && p.tick.n > 0 && p.tick.over1ms <= p.bare.over1ms)
            bestVsBare = n;
        else
            holdingVsBare = false;
    }
    std::printf("\nlargest size with no tick over 1 ms late: %u boards x 7 motors\n", best);
    std::printf("largest size with no more ticks over 1 ms late than the bare loop: %u boards x 7 motors\n",
                bestVsBare);

    // 5. The tick against client threads.
    if (!OpenBoardsTickStopped(8))
        return 1;
    PrintClients(seconds, withLoad);

#ifdef KX_BENCH_LIBFTDI
    // 4. The libftdi backend (the simulated bus is done with from here on).
    PrintBackend(seconds);
#endif
    return finish();
}
