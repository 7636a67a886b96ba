#include "service/primitives.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(Primitives, TryEnterOnAHeldSectionReportsBusyWithoutBlocking) {
    pthread_mutex_t cs;
    ASSERT_EQ(InitializeCriticalSection(&cs), 0);
    ASSERT_EQ(EnterCriticalSection(&cs), 0);
    int other = -1;
    std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
    EXPECT_NE(other, 0);
    EXPECT_EQ(LeaveCriticalSection(&cs), 0);
    std::thread([&] {
        other = TryEnterCriticalSection(&cs);
        if (other == 0) LeaveCriticalSection(&cs);
    }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(DeleteCriticalSection(&cs), 0);
}

TEST(Primitives, AutoLockReleasesOnEveryExit) {
    Mutex m;
    try {
        AutoLock lock(m);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(m.try_lock());
    m.unlock();
}

TEST(Primitives, EventNeverBlocks) {
    Event e;
    e.reset();
    EXPECT_EQ(e.wait(1000000), 0);
    e.set();
    EXPECT_EQ(e.wait(0), 0);
}

TEST(Primitives, CreateThreadReusesItsAttributes) {
    pthread_t a, b;
    pthread_attr_t attr;
    std::atomic<int> ran{0};
    auto body = [](void *p) -> void * {
        static_cast<std::atomic<int> *>(p)->fetch_add(1);
        return nullptr;
    };
    ASSERT_EQ(CreateThread(&a, &attr, body, &ran), 0);
    ASSERT_EQ(CreateThread(&b, &attr, body, &ran), 0);
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
    EXPECT_EQ(ran.load(), 2);
}

TEST(Primitives, ClocksRun) {
    double m1 = GetTickCount();
    int64_t w1 = ToolsGetTickCount64();
    EXPECT_GT(m1, 0.0);
    EXPECT_GT(w1, 1600000000000);  // after 2020
    EXPECT_GE(GetTickCount(), m1);
}

}  // namespace
