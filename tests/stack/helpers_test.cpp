// The receive queue, the background list and the text helpers.
#include "service/log.h"
#include "stack/background.h"
#include "stack/platform.h"
#include "stack/queue.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Item {
    tagQUEUE link;
    int value;
};

TEST(Queue, IsFifoAndRemovalLeavesNodesSelfLinked) {
    tagQUEUE head;
    QInit(&head);
    Item items[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
    for (auto &it : items) QInsert(&it.link, &head);
    EXPECT_EQ(QRemove(&items[1].link), &items[0].link);  // returns its predecessor
    EXPECT_EQ(items[1].link.next, &items[1].link);
    EXPECT_EQ(items[1].link.prev, &items[1].link);
    std::vector<int> order;
    while (head.next != &head) {
        auto *it = reinterpret_cast<Item *>(head.next);
        order.push_back(it->value);
        QRemove(head.next);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_EQ(head.prev, &head);
}

std::vector<int> g_calls;
void notRegistered() {}
template <int N>
void bg() {
    g_calls.push_back(N);
}

TEST(Background, FiftySlotsAndRemovalKeepsHigherSlotsRunning) {
    ryn::stack::resetBackgroundForTesting();
    BackgroundFn fns[5] = {bg<0>, bg<1>, bg<2>, bg<3>, bg<4>};
    for (auto f : fns) ASSERT_EQ(addwattcpd(f), 0);
    EXPECT_EQ(wattcpd, &dowattcpd);

    delwattcpd(bg<2>);  // a filled slot above stays reachable
    EXPECT_EQ(ryn::stack::backgroundLastSlot(), 5);
    delwattcpd(bg<4>);  // the highest: nothing filled above it
    EXPECT_EQ(ryn::stack::backgroundLastSlot(), 5);
    delwattcpd(notRegistered);  // not registered: no change
    EXPECT_EQ(ryn::stack::backgroundLastSlot(), 5);
    g_calls.clear();
    dowattcpd();
    EXPECT_EQ(g_calls, (std::vector<int>{0, 1, 3}));

    ryn::stack::resetBackgroundForTesting();
    for (int i = 0; i < kBackgroundSlots; ++i) ASSERT_EQ(addwattcpd(bg<0>), 0);
    EXPECT_EQ(addwattcpd(bg<1>), -1);  // the 51st
    ryn::stack::resetBackgroundForTesting();
}

TEST(DecodeAuth, DecodesGroupsSkipsStrangersAndStaysInItsBuffer) {
    struct Case {
        const char *in;
        size_t outSize;
        const char *expect;
    } cases[] = {
        {"YWJj", 16, "abc"},
        {"YWI=", 16, "ab"},
        {"YQ==", 16, "a"},
        {"YW/Jj", 16, "abc"},           // "/" is not in this alphabet: skipped
        {"dXNlcjpwYXNz", 64, "user:pass"},
        {"Pz8-", 16, "?\?\?"},          // "-" is 63 here
        {"Pz8+", 16, "?\?>"},           // "+" is 62
        {"YWJjZGVmZ2hp", 4, "abc"},     // output bounded by its size
        {"", 4, ""},
        {"AAAA", 8, ""},                // a decoded zero byte ends the string
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        std::vector<char> out(c.outSize + 8, 'X');
        DecodeAuth(c.in, out.data(), c.outSize);
        EXPECT_STREQ(out.data(), c.expect);
        EXPECT_EQ(out[c.outSize], 'X');  // nothing written past the buffer
    }
}

TEST(TextHelpers, TrailingSpacesAndBoundedCopies) {
    char spaces[] = "    ";
    EXPECT_STREQ(PurgeTrailingSpaces(spaces), "");
    char word[] = "ab c  ";
    EXPECT_STREQ(PurgeTrailingSpaces(word), "ab c");
    char buf[6];
    _ryn_strcpy(buf, sizeof buf, "abcdefgh");
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(_ryn_sprintf(buf, sizeof buf, "%d", 1234567), 7);
    EXPECT_STREQ(buf, "12345");
    EXPECT_NE(std::string(_ryn_strerror(2)).size(), 0u);
}

TEST(Trace, LogsTracedValuesVerbatim) {
    ryn::test::TempDir dir;
    logDestroy();
    ryn::log::setPathForTesting(dir.file("log.txt"));
    logCreate();
    _ryn_trace(3, "host=%s", "100%d%n.example");
    logDestroy();
    ryn::log::setPathForTesting("");
    EXPECT_NE(ryn::test::readFile(dir.file("log.txt")).find("host=100%d%n.example"), std::string::npos);
}

}  // namespace
