// kxlocks.h - lock types whose rules the compiler checks.
//
// Clang's thread-safety analysis (-Wthread-safety) reads the attributes below:
// a field marked GUARDED_BY(m) may only be touched with m held, a function
// marked REQUIRES(m) only called with it held, and so on. Other compilers see
// nothing (the macros expand to nothing). The lock types are capabilities the
// analysis knows, with scoped guards:
//   kx::Mutex        an ordinary mutex (std::mutex), for locks the tick never takes;
//   kx::PiMutex      a priority-inheriting mutex (PTHREAD_PRIO_INHERIT), for every
//                    lock the 1 ms tick takes: a normal-priority thread holding it
//                    runs at the priority of the real-time tick waiting for it, so
//                    a busy CPU cannot keep the tick waiting behind a preempted client;
//   kx::SharedMutex  a shared mutex (std::shared_mutex), exclusive or shared;
//   kx::PiCondVar    a condition variable for a PiMutex (CLOCK_MONOTONIC timeouts).
#pragma once

#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define KX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kx {

class CAPABILITY("mutex") Mutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

private:
    std::mutex m_;
};

// Like std::mutex, its destructor does nothing: a lock of static storage stays
// usable by the unload-time finalisation, whatever the order statics end in
// (a priority-inheriting mutex holds no resource besides its memory).
class CAPABILITY("mutex") PiMutex {
public:
    PiMutex() noexcept;   // a plain mutex where the system has no priority inheritance
    PiMutex(const PiMutex &) = delete;
    PiMutex &operator=(const PiMutex &) = delete;
    // A short spin first: a priority-inheriting mutex that is taken waits in
    // the kernel and is then handed to the waiter, which costs far more than
    // the fraction of a microsecond the locks here are held for; a holder
    // that was preempted meanwhile is lent the waiter's priority once it waits.
    void lock() ACQUIRE();
    void unlock() RELEASE() { pthread_mutex_unlock(&m_); }
    bool try_lock() TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_) == 0; }
    // Tells the analysis that the caller holds the lock, where it cannot see
    // it (checks nothing at run time).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}
    bool PriorityInheriting() const { return inheriting_; }
    pthread_mutex_t *native() { return &m_; }

private:
    pthread_mutex_t m_;
    bool inheriting_ = false;
};

class CAPABILITY("mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex &) = delete;
    SharedMutex &operator=(const SharedMutex &) = delete;
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

private:
    std::shared_mutex m_;
};

// Holds `m` exclusively for the guard's scope.
template <class M> class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(M &m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~LockGuard() RELEASE() { m_.unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    M &m_;
};

// Condition variable for a PiMutex; spurious wake-ups as with any.
class PiCondVar {
public:
    PiCondVar() noexcept;
    ~PiCondVar();
    PiCondVar(const PiCondVar &) = delete;
    PiCondVar &operator=(const PiCondVar &) = delete;
    void Wait(PiMutex &m) REQUIRES(m) { pthread_cond_wait(&c_, m.native()); }
    // False once CLOCK_MONOTONIC passed `deadlineNs`.
    bool WaitUntil(PiMutex &m, int64_t deadlineNs) REQUIRES(m);
    void NotifyOne() { pthread_cond_signal(&c_); }
    void NotifyAll() { pthread_cond_broadcast(&c_); }

private:
    pthread_cond_t c_;
};

// CLOCK_MONOTONIC now, in nanoseconds (the scale of PiCondVar::WaitUntil).
int64_t MonotonicNs();

}   // namespace kx
