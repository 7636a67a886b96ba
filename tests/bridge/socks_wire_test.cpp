// The SOCKS 5 dialogue's decisions on literal byte arrays: greetings,
// request heads and lengths, decoding, the reply codes of failed connects.
#include "bridge/socks_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {
using namespace ryn::socks;
using Bytes = std::vector<uint8_t>;

ByteView view(const Bytes &b) { return ByteView(b.data(), b.size()); }

TEST(SocksGreeting, VerdictTable) {
    struct Case {
        const char *name;
        Bytes bytes;
        GreetingVerdict verdict;
    } cases[] = {
        {"no authentication", {0x05, 0x01, 0x00}, GreetingVerdict::Accept},
        {"127 methods still understood", {0x05, 0x7F, 0x00}, GreetingVerdict::Accept},
        {"GSS-API offered too (4 bytes)", {0x05, 0x02, 0x00, 0x01}, GreetingVerdict::Invalid},
        {"two methods, 4 bytes", {0x05, 0x02, 0x00, 0x02}, GreetingVerdict::Invalid},
        {"only username/password", {0x05, 0x01, 0x02}, GreetingVerdict::Refuse},
        {"SOCKS 4 CONNECT", {0x04, 0x01, 0x00, 0x50, 0x7F, 0x00, 0x00, 0x01, 0x00}, GreetingVerdict::Invalid},
        {"SOCKS 4 version, 3 bytes", {0x04, 0x01, 0x00}, GreetingVerdict::Invalid},
        {"zero methods", {0x05, 0x00, 0x00}, GreetingVerdict::Silent},
        {"128 methods", {0x05, 0x80, 0x00}, GreetingVerdict::Silent},
        {"truncated", {0x05, 0x01}, GreetingVerdict::Invalid},
        {"nothing", {}, GreetingVerdict::Invalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(checkGreeting(view(c.bytes)), c.verdict);
    }
}

TEST(SocksRequest, HeadTellsTheWholeLength) {
    struct Case {
        const char *name;
        Bytes bytes;
        HeadVerdict verdict;
        size_t length;
    } cases[] = {
        {"IPv4", {0x05, 0x01, 0x00, 0x01, 0xCB}, HeadVerdict::Complete, 10},
        {"name of 11", {0x05, 0x01, 0x00, 0x03, 11}, HeadVerdict::Complete, 18},
        {"name of 255", {0x05, 0x01, 0x00, 0x03, 255}, HeadVerdict::Complete, 262},
        {"empty name", {0x05, 0x01, 0x00, 0x03, 0}, HeadVerdict::Complete, 7},
        {"IPv6", {0x05, 0x01, 0x00, 0x04, 0x20}, HeadVerdict::Complete, 22},
        {"BIND", {0x05, 0x02, 0x00, 0x01, 0x7F}, HeadVerdict::CommandNotSupported, 0},
        {"UDP ASSOCIATE", {0x05, 0x03, 0x00, 0x01, 0x7F}, HeadVerdict::CommandNotSupported, 0},
        {"reserved byte set", {0x05, 0x01, 0x01, 0x01, 0x7F}, HeadVerdict::CommandNotSupported, 0},
        {"address type 2", {0x05, 0x01, 0x00, 0x02, 0x7F}, HeadVerdict::UnknownAddressType, 0},
        {"address type 0xFF", {0x05, 0x01, 0x00, 0xFF, 0x7F}, HeadVerdict::UnknownAddressType, 0},
        {"four bytes only", {0x05, 0x01, 0x00, 0x01}, HeadVerdict::WrongMessage, 0},
        {"version 4", {0x04, 0x01, 0x00, 0x01, 0x7F}, HeadVerdict::WrongMessage, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RequestHead h = checkRequestHead(view(c.bytes));
        EXPECT_EQ(h.verdict, c.verdict);
        if (c.verdict == HeadVerdict::Complete) {
            EXPECT_EQ(h.length, c.length);
        }
    }
}

Bytes nameRequest(const std::string &name, uint16_t port) {
    Bytes b(5 + name.size());
    const uint8_t head[5] = {0x05, 0x01, 0x00, 0x03, static_cast<uint8_t>(name.size())};
    std::copy(head, head + 5, b.begin());
    std::copy(name.begin(), name.end(), b.begin() + 5);
    b.push_back(static_cast<uint8_t>(port >> 8));
    b.push_back(static_cast<uint8_t>(port));
    return b;
}

TEST(SocksRequest, DecodesIpv4AndNames) {
    Destination d;
    Bytes v4{0x05, 0x01, 0x00, 0x01, 0xCB, 0x00, 0x71, 0x05, 0x01, 0xBB};
    ASSERT_TRUE(parseRequest(view(v4), &d));
    EXPECT_EQ(d.atyp, kAtypIpv4);
    EXPECT_EQ(Bytes(d.ipv4, d.ipv4 + 4), (Bytes{203, 0, 113, 5}));
    EXPECT_EQ(d.port, 443);

    std::string longest(255, 'a');
    Bytes r = nameRequest(longest, 8080);
    ASSERT_EQ(r.size(), 262u);
    ASSERT_TRUE(parseRequest(view(r), &d));
    EXPECT_EQ(d.atyp, kAtypDomain);
    EXPECT_EQ(d.name, longest);
    EXPECT_EQ(d.port, 8080);

    ASSERT_TRUE(parseRequest(view(nameRequest("", 80)), &d));
    EXPECT_EQ(d.name, "");
}

// Requests whose size does not match their own length are never decoded:
// no byte past the received ones is read, none beyond the request is taken.
TEST(SocksRequest, WrongSizesAreRefused) {
    Bytes full = nameRequest("example.test", 80);
    Destination d;
    for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE(cut);
        Bytes truncated(full.begin(), full.begin() + static_cast<long>(cut));
        EXPECT_FALSE(parseRequest(view(truncated), &d));
    }
    Bytes oversized = full;
    oversized.push_back(0x47);
    EXPECT_FALSE(parseRequest(view(oversized), &d));
    Bytes v4long{0x05, 0x01, 0x00, 0x01, 127, 0, 0, 1, 0, 80, 'G', 'E', 'T'};
    EXPECT_FALSE(parseRequest(view(v4long), &d));
    // A view never reads past its own end.
    Bytes two{0x05, 0x01};
    EXPECT_EQ(view(two).u8(2), 0);
    EXPECT_EQ(view(two).be16(1), 0);
    EXPECT_FALSE(ByteView(nullptr, 10).has(0));
}

TEST(SocksReply, ErrnoToReplyCode) {
    struct Case {
        int err;
        uint8_t rep;
    } cases[] = {
        {ENETUNREACH, 3}, {ETIMEDOUT, 6}, {ECONNREFUSED, 5}, {EHOSTUNREACH, 4},
        {EACCES, 1},      {EINPROGRESS, 1}, {EADDRNOTAVAIL, 1}, {0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        EXPECT_EQ(replyForErrno(c.err), c.rep);
    }
}

TEST(SocksReply, ConnectedReplyIsTenBytes) {
    uint8_t reply[16];
    std::fill(std::begin(reply), std::end(reply), 0xEE);
    const uint8_t addr[4] = {203, 0, 113, 5};
    writeConnectedReply(reply, addr, 443);
    EXPECT_EQ(Bytes(reply, reply + 10), (Bytes{0x05, 0x00, 0x00, 0x01, 0xCB, 0x00, 0x71, 0x05, 0x01, 0xBB}));
    EXPECT_EQ(reply[10], 0xEE);
}

}  // namespace
