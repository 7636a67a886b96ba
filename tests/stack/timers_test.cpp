// Deadlines and random numbers, driven by an explicit tick.
#include "stack/timers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

namespace {
std::atomic<uint32_t> g_now{0};
uint32_t fakeTick() { return g_now.load(); }

class Deadlines : public ::testing::Test {
protected:
    void SetUp() override { ryn::stack::setTickSourceForTesting(fakeTick); }
    void TearDown() override { ryn::stack::setTickSourceForTesting(nullptr); }
};

struct DeadlineCase {
    const char *name;
    uint32_t setAt;           // tick when set_timeout runs
    uint32_t ms;
    uint32_t expectDeadline;  // what set_timeout returns
    uint32_t notYetAt;        // chk_timeout is 0 here
    uint32_t expiredAt;       // and 1 here
};

TEST_F(Deadlines, ExpireStrictlyAfterTheirTickAndAcrossTheWrap) {
    const DeadlineCase cases[] = {
        {"zero ms expires one ms later", 1000, 0, 1000, 1000, 1001},
        {"plain", 5000, 250, 5250, 5250, 5251},
        // Near the wrap the deadline is small while the tick is still large:
        // an unsigned compare would call it expired at once.
        {"wraps past 2^32", 0xFFFFFF00u, 0x200, 0x100, 0xFFFFFF80u, 0x101},
        // Landing exactly on 0 must not turn into "no deadline".
        {"lands on zero", 0xFFFFFF00u, 0x100, 1, 0, 2},
        {"lands on the invalid marker", 0xFFFFFF00u, 0xFF, 1, 0xFFFFFFF0u, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_now = c.setAt;
        uint32_t d = set_timeout(c.ms);
        EXPECT_EQ(d, c.expectDeadline);
        g_now = c.notYetAt;
        EXPECT_EQ(chk_timeout(d), 0);
        EXPECT_EQ(chk_timeout_notrace(d), 0);
        g_now = c.expiredAt;
        EXPECT_EQ(chk_timeout(d), 1);
    }
}

TEST_F(Deadlines, NoDeadlineAndClockFailureNeverExpire) {
    g_now = 123456;
    EXPECT_EQ(chk_timeout(0), 0);
    EXPECT_EQ(chk_timeout(kTickUnavailable), 0);
    g_now = kTickUnavailable;  // the clock cannot be read
    EXPECT_EQ(set_timeout(10), kTickUnavailable);
    EXPECT_EQ(chk_timeout(5), 0);
}

TEST(RealClock, TickAdvancesAndDeadlinePasses) {
    uint32_t d = set_timeout(1);
    ASSERT_NE(d, 0u);
    // Generous: the tick must move within a few seconds even on a loaded machine.
    for (int i = 0; i < 5000 && !chk_timeout(d); ++i) {
        timespec ts{0, 1000000};
        nanosleep(&ts, nullptr);
    }
    EXPECT_EQ(chk_timeout(d), 1);
}

TEST(RandomNumbers, StayInRangeInEitherOrder) {
    magic_init();
    std::set<uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        uint32_t v = Random(5, 3);
        ASSERT_GE(v, 3u);
        ASSERT_LE(v, 5u);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(Random(7, 7), 7u);
    // The full range must not overflow the span computation.
    (void)Random(0, 0xFFFFFFFFu);
    for (int i = 0; i < 1000; ++i) ASSERT_NE(magic(), 0u);
}
}  // namespace
