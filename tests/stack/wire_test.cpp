#include "packet_util.h"
#include "stack/inet_wire.h"

#include <gtest/gtest.h>

namespace ryn::inet {
namespace {

using testing::Bytes;
using testing::hex;

TEST(Checksum, KnownVectors) {
    // A captured header whose stored sum is right sums to 0xFFFF.
    Bytes h = hex("4500 0073 0000 4000 4011 b861 c0a8 0001 c0a8 00c7");
    EXPECT_EQ(inchksum(h.data(), h.size()), 0xFFFF);
    h[8] ^= 1;  // corrupted TTL
    EXPECT_NE(inchksum(h.data(), h.size()), 0xFFFF);

    uint8_t one = 0x45;
    EXPECT_EQ(inchksum(&one, 1), 0x45);
    EXPECT_EQ(inchksum(nullptr, 0), 0);

    // Carries fold until none remain: 0xFFFF + 0xFFFF + 0x0002 = 0x20000 -> 0x0002.
    Bytes c = hex("ffff ffff 0200");
    EXPECT_EQ(inchksum(c.data(), c.size()), 0x0002);
}

TEST(Checksum, WrittenHeaderVerifies) {
    uint8_t h[20];
    writeIpv4Header(h, 0, 40, 7, 254, 6, 0x01010101, 0x01010102);
    EXPECT_EQ(inchksum(h, 20), 0xFFFF);
    auto v = Ipv4View::parse(h, 40);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->totalLen(), 40u);
    EXPECT_EQ(v->ttl(), 254);
    EXPECT_EQ(v->id(), 7);
}

struct IpCase {
    const char *name;
    const char *bytes;
    bool ok;
    size_t headerLen, totalLen;
};

TEST(Ipv4View, LengthsAgainstReceivedBytes) {
    const IpCase cases[] = {
        {"plain", "4500 0018 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", true, 20, 24},
        {"link padding not part of datagram", "4500 0016 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", true, 20, 22},
        {"with options", "4600 0018 0000 0000 fe06 0000 0101 0102 0101 0101 01010100", true, 24, 24},
        {"IHL 4", "4400 0018 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", false, 0, 0},
        {"IHL beyond bytes", "4f00 0018 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", false, 0, 0},
        {"total length beyond bytes", "4500 0100 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", false, 0, 0},
        {"total length below header", "4500 0010 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", false, 0, 0},
        {"version 6", "6500 0018 0000 0000 fe06 0000 0101 0102 0101 0101 aabbccdd", false, 0, 0},
        {"shorter than a header", "4500 0014 0000 0000 fe06 0000 0101 0102 0101", false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = hex(c.bytes);
        auto v = Ipv4View::parse(b.data(), b.size());
        ASSERT_EQ(v.has_value(), c.ok);
        if (!v) continue;
        EXPECT_EQ(v->headerLen(), c.headerLen);
        EXPECT_EQ(v->totalLen(), c.totalLen);
        EXPECT_EQ(v->payloadLen(), c.totalLen - c.headerLen);
    }
}

TEST(TcpView, DataOffsetBounds) {
    const struct {
        const char *name;
        const char *bytes;
        bool ok;
        size_t dataLen;
    } cases[] = {
        {"offset 5 with 2 data bytes", "0050 c000 00000001 00000000 5010 ffff 0000 0000 6869", true, 2},
        {"offset 6 with MSS", "0050 c000 00000001 00000000 6012 ffff 0000 0000 020405b4", true, 0},
        {"offset 4", "0050 c000 00000001 00000000 4010 ffff 0000 0000 6869", false, 0},
        {"offset 0", "0050 c000 00000001 00000000 0010 ffff 0000 0000", false, 0},
        {"offset 15 beyond segment", "0050 c000 00000001 00000000 f010 ffff 0000 0000 6869", false, 0},
        {"shorter than a header", "0050 c000 00000001 00000000 5010 ffff 0000", false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = hex(c.bytes);
        auto v = TcpView::parse(b.data(), b.size());
        ASSERT_EQ(v.has_value(), c.ok);
        if (v) {
            EXPECT_EQ(v->dataLen(), c.dataLen);
        }
    }
}

TEST(TcpOptions, MssWalk) {
    const struct {
        const char *name;
        const char *opts;
        std::optional<uint16_t> mss;
    } cases[] = {
        {"none", "", std::nullopt},
        {"MSS", "020405b4", 1460},
        {"NOPs then MSS", "0101 020405b4", 1460},
        {"after SACK-permitted and timestamps", "0402 080a 00000001 00000000 0103 0307 020401f4", 500},
        {"END before MSS", "00 020405b4", std::nullopt},
        {"length 0 stops the walk", "0800 020405b4", std::nullopt},
        {"length 1 stops the walk", "0801 020405b4", std::nullopt},
        {"length past the end", "080a 0000", std::nullopt},
        {"MSS of wrong length ignored", "020305 020405b4", 1460},
        {"MSS cut short", "020405", std::nullopt},
        {"kind without length byte", "08", std::nullopt},
        {"MSS 0", "02040000", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = hex(c.opts);
        EXPECT_EQ(findMssOption(b.data(), b.size()), c.mss);
    }
}

TEST(TcpOptions, EffectiveMss) {
    const struct {
        std::optional<uint16_t> peer;
        uint16_t own;
        int mtu;
        uint16_t expect;
    } cases[] = {
        {std::nullopt, 1460, 1500, 536},  // no option: the default
        {0, 1460, 1500, 64},               // MSS 0 cannot stall the sender
        {9000, 1460, 1500, 1460},          // above the link
        {1460, 1460, 576, 536},            // the PPP MTU is smaller
        {1000, 1460, 1500, 1000},
        {1460, 1000, 1500, 1000},          // never above our own
        {100, 1460, 60, 64},               // absurd MTU: floor holds
    };
    for (const auto &c : cases) EXPECT_EQ(effectiveMss(c.peer, c.own, c.mtu), c.expect);
}

TEST(Sequence, CompareAcrossWrap) {
    EXPECT_TRUE(seqLt(0xFFFFFFF0u, 0x10u));
    EXPECT_TRUE(seqGt(0x10u, 0xFFFFFFF0u));
    EXPECT_TRUE(seqLe(5u, 5u));
    EXPECT_TRUE(seqGe(0u, 0xFFFFFFFFu));
    EXPECT_FALSE(seqLt(0x8000000Fu, 0x10u));  // just under half the space ahead is still ahead
}

}  // namespace
}  // namespace ryn::inet
