#include "service/primitives.h"

#include <ctime>

int InitializeCriticalSection(pthread_mutex_t *cs) { return pthread_mutex_init(cs, nullptr); }
int DeleteCriticalSection(pthread_mutex_t *cs) { return pthread_mutex_destroy(cs); }
int EnterCriticalSection(pthread_mutex_t *cs) { return pthread_mutex_lock(cs); }
int TryEnterCriticalSection(pthread_mutex_t *cs) { return pthread_mutex_trylock(cs); }
int LeaveCriticalSection(pthread_mutex_t *cs) { return pthread_mutex_unlock(cs); }

Mutex::~Mutex() { DeleteCriticalSection(&cs_); }

int CreateThread(pthread_t *thread, pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    pthread_attr_init(attr);
    return pthread_create(thread, attr, start, arg);
}

double GetTickCount() {
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1000000.0;
}

int64_t ToolsGetTickCount64() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
