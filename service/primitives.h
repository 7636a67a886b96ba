// Platform primitives under the names the rest of the library uses:
// critical sections over pthread mutexes, a scoped lock, a no-op event, a
// thread starter and two clocks. All are thin and thread-safe as POSIX is.
#pragma once

#include <pthread.h>
#include <cstdint>

int InitializeCriticalSection(pthread_mutex_t *cs);
int DeleteCriticalSection(pthread_mutex_t *cs);
int EnterCriticalSection(pthread_mutex_t *cs);
// 0 when the lock was taken, non-zero (busy) otherwise; never blocks.
int TryEnterCriticalSection(pthread_mutex_t *cs);
int LeaveCriticalSection(pthread_mutex_t *cs);

// Non-recursive mutex. Constructible before any static constructor has run
// (constant-initialised), so module-level instances are safe in load hooks.
class Mutex {
public:
    constexpr Mutex() noexcept = default;
    virtual ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    void lock() { EnterCriticalSection(&cs_); }
    void unlock() { LeaveCriticalSection(&cs_); }
    bool try_lock() { return TryEnterCriticalSection(&cs_) == 0; }
    pthread_mutex_t *native() { return &cs_; }

private:
    pthread_mutex_t cs_ = PTHREAD_MUTEX_INITIALIZER;
};

// Scope guard: locks in the constructor, unlocks on every exit path.
class AutoLock {
public:
    explicit AutoLock(Mutex &m) : m_(&m) { m_->lock(); }
    explicit AutoLock(Mutex *m) : m_(m) { m_->lock(); }
    virtual ~AutoLock() { m_->unlock(); }
    AutoLock(const AutoLock &) = delete;
    AutoLock &operator=(const AutoLock &) = delete;

private:
    Mutex *m_;
};

// Kept for the mailbox's calls: it holds no state and never blocks; readers
// poll their queue instead.
class Event {
public:
    Event() = default;
    virtual ~Event() = default;
    void set() {}
    void reset() {}
    int wait(unsigned long /*timeoutMs*/) { return 0; }
};

// pthread_attr_init(attr) then pthread_create; 0 on success. The thread is
// joinable: whoever starts it joins it.
int CreateThread(pthread_t *thread, pthread_attr_t *attr, void *(*start)(void *), void *arg);

// Monotonic milliseconds (fractional); 0.0 if the clock cannot be read.
double GetTickCount();
// Wall-clock milliseconds since the epoch.
int64_t ToolsGetTickCount64();
