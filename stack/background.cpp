#include "stack/background.h"

#include <array>
#include <mutex>

void (*volatile wattcpd)() = nullptr;

namespace {
std::mutex g_mutex;
std::array<BackgroundFn, kBackgroundSlots> backd{};  // GUARDED_BY(g_mutex)
int lastd = 0;                                        // GUARDED_BY(g_mutex)
}  // namespace

int addwattcpd(BackgroundFn fn) {
    if (fn == nullptr) return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    wattcpd = dowattcpd;
    for (int i = 0; i < kBackgroundSlots; ++i) {
        if (backd[i] == nullptr) {
            backd[i] = fn;
            if (i + 1 > lastd) lastd = i + 1;
            return 0;
        }
    }
    return -1;
}

void delwattcpd(BackgroundFn fn) {
    if (fn == nullptr) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int i = 0; i < lastd; ++i) {
        if (backd[i] != fn) continue;
        backd[i] = nullptr;
        // One past the highest filled slot above the emptied one, or one past
        // the emptied slot when none above it is filled.
        int newLast = i + 1;
        for (int j = lastd - 1; j > i; --j) {
            if (backd[j] != nullptr) {
                newLast = j + 1;
                break;
            }
        }
        lastd = newLast;
        return;
    }
}

void dowattcpd() {
    std::array<BackgroundFn, kBackgroundSlots> copy;
    int last;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        copy = backd;
        last = lastd;
    }
    for (int i = 0; i < last; ++i)
        if (copy[i] != nullptr) copy[i]();
}

void backgroundon() {}
void backgroundoff() {}
void backgroundfn(BackgroundFn) {}

namespace ryn::stack {
int backgroundLastSlot() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return lastd;
}
void resetBackgroundForTesting() {
    std::lock_guard<std::mutex> lock(g_mutex);
    backd.fill(nullptr);
    lastd = 0;
}
}  // namespace ryn::stack
