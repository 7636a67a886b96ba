#include "stack/timers.h"

#include "service/log.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>

namespace {
std::atomic<ryn::stack::TickSource> g_tickSource{nullptr};

uint32_t monotonicTick() {
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return kTickUnavailable;
    uint32_t t = static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                       static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
    // A genuine reading equal to the "unavailable" marker is one millisecond early.
    return t == kTickUnavailable ? t - 1 : t;
}

std::mutex g_randomMutex;
std::mt19937 g_random(12345u);  // GUARDED_BY(g_randomMutex)
}  // namespace

namespace ryn::stack {
void setTickSourceForTesting(TickSource source) { g_tickSource.store(source); }
}  // namespace ryn::stack

uint32_t TIME_READ_MS() {
    ryn::stack::TickSource src = g_tickSource.load(std::memory_order_relaxed);
    return src ? src() : monotonicTick();
}

uint32_t GetTime() { return TIME_READ_MS(); }

uint32_t set_timeout(uint32_t ms) {
    uint32_t now = TIME_READ_MS();
    if (now == kTickUnavailable) {
        RYN_LOG(OBJ_NETWORK, LOG_ERROR, "set_timeout: -1");
        return kTickUnavailable;
    }
    uint32_t deadline = now + ms;
    if (deadline < now)
        RYN_LOG(OBJ_NETWORK, LOG_ERROR, "set_timeout: OVERFLOW time=%x ms=%x time+ms=%x", now, ms, deadline);
    // 0 means "no deadline" and the marker means "invalid": a real deadline
    // that lands on either is moved just past them.
    if (deadline == 0 || deadline == kTickUnavailable) deadline = 1;
    return deadline;
}

static int checkDeadline(uint32_t deadline) {
    if (deadline == 0) return 0;
    if (deadline == kTickUnavailable) {
        RYN_LOG(OBJ_NETWORK, LOG_ERROR, "chk_timeout: value=-1");
        return 0;
    }
    uint32_t now = TIME_READ_MS();
    if (now == kTickUnavailable) {
        RYN_LOG(OBJ_NETWORK, LOG_ERROR, "chk_timeout: time=-1");
        return 0;
    }
    return ryn::stack::tickAfter(now, deadline) ? 1 : 0;
}

int chk_timeout(uint32_t deadline) { return checkDeadline(deadline); }
int chk_timeout_notrace(uint32_t deadline) { return checkDeadline(deadline); }

void delay_seconds(uint16_t seconds) {
    timespec ts{static_cast<time_t>(seconds), 0};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

uint64_t GetTickCount64() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void magic_init() {
    // The tick alone gives few distinct seeds; two ends seeded alike pick the
    // same magic numbers and see a looped-back line. Mix in the kernel's entropy.
    uint32_t seed = TIME_READ_MS() & 0xFFFFu;
    uint32_t extra = 0;
    if (getentropy(&extra, sizeof extra) == 0) seed ^= extra;
    std::lock_guard<std::mutex> lock(g_randomMutex);
    g_random.seed(seed);
}

uint32_t magic() {
    std::lock_guard<std::mutex> lock(g_randomMutex);
    // A product of two draws is biased towards even values and zero; one
    // draw is uniform. Zero is not a valid magic number.
    uint32_t v = 0;
    while (v == 0) v = static_cast<uint32_t>(g_random());
    return v;
}

uint32_t Random(uint32_t a, uint32_t b) {
    uint32_t low = a < b ? a : b;
    uint32_t high = a < b ? b : a;
    uint64_t span = static_cast<uint64_t>(high) - low + 1;
    std::lock_guard<std::mutex> lock(g_randomMutex);
    return low + static_cast<uint32_t>(static_cast<uint64_t>(g_random()) % span);
}
