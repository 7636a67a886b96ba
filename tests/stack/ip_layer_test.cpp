// IP input and ICMP driven by literal datagrams; a recording device and a
// recording upper layer stand in for PPP and the transports.
#include "packet_util.h"
#include "stack/ip_layer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ryn::inet {
namespace {

using testing::Bytes;
using testing::fixSums;
using testing::hex;

struct RecordingDevice : IpDevice {
    std::vector<Bytes> sent;
    bool accept = true;
    bool transmit(uint8_t *d, size_t n) override {
        sent.emplace_back(d, d + n);
        return accept;
    }
};

struct RecordingUpper : IpUpper {
    std::vector<std::string> calls;
    void tcpInput(const Ipv4View &ip) override { calls.push_back("tcp " + std::to_string(ip.payloadLen())); }
    void udpInput(const Ipv4View &ip, bool bc) override {
        calls.push_back("udp " + std::to_string(ip.payloadLen()) + (bc ? " bc" : ""));
    }
    void tcpCancel(const Ipv4View &q, int kind, int code, uint32_t gw) override {
        calls.push_back("tcpCancel " + std::to_string(kind) + " " + std::to_string(code) + " " + std::to_string(gw) +
                        " port " + std::to_string(get16(q.payload())));
    }
    void udpCancel(const Ipv4View &, int kind, int code, uint32_t) override {
        calls.push_back("udpCancel " + std::to_string(kind) + " " + std::to_string(code));
    }
};

class IpInput : public ::testing::Test {
protected:
    void SetUp() override {
        addr.my_ip_addr = 0x01010101;  // 1.1.1.1
        addr.sin_mask = 0xFFFFFF00;
    }
    IpAddressing addr;
    RecordingDevice dev;
    RecordingUpper upper;
    IpLayer ipl{addr, dev, upper};
};

// Own address 1.1.1.1, the terminal 1.1.1.2.
constexpr const char *kTcpToUs = "4500 0028 0001 0000 4006 0000 01010102 01010101 "
                                 "c000 0050 00000001 00000000 5002 2000 0000 0000";

TEST_F(IpInput, Demultiplexing) {
    const struct {
        const char *name;
        std::string bytes;
        bool linkBroadcast;
        bool fix;
        std::vector<std::string> calls;
    } cases[] = {
        {"TCP to us", kTcpToUs, false, true, {"tcp 20"}},
        {"TCP to a foreign address", "4500 0028 0001 0000 4006 0000 01010102 01010109 "
                                     "c000 0050 00000001 00000000 5002 2000 0000 0000", false, true, {}},
        {"TCP as link broadcast", kTcpToUs, true, true, {}},
        {"TCP to loopback", "4500 0028 0001 0000 4006 0000 01010102 7f000001 "
                            "c000 0050 00000001 00000000 5002 2000 0000 0000", false, true, {"tcp 20"}},
        {"UDP to limited broadcast", "4500 001c 0001 0000 4011 0000 01010102 ffffffff 0044 0043 0008 0000", false,
         true, {"udp 8"}},
        {"UDP whose low 16 bits alone match", "4500 001c 0001 0000 4011 0000 01010102 09090101 0044 0043 0008 0000",
         false, true, {}},
        {"bad IP header sum", kTcpToUs, false, false, {}},
        {"total length beyond received", "4500 0040 0001 0000 4006 0000 01010102 01010101 "
                                         "c000 0050 00000001 00000000 5002 2000 0000 0000", false, true, {}},
        {"IHL 3", "4300 0028 0001 0000 4006 0000 01010102 01010101 "
                  "c000 0050 00000001 00000000 5002 2000 0000 0000", false, true, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        upper.calls.clear();
        Bytes d = hex(c.bytes);
        if (c.fix) d = fixSums(d);
        ipl.input(d.data(), d.size(), c.linkBroadcast, 1000);
        EXPECT_EQ(upper.calls, c.calls);
        EXPECT_TRUE(dev.sent.empty());
    }
}

TEST_F(IpInput, UnknownProtocolIsProtocolUnreachable) {
    // Protocol 2, 32 bytes: the answer quotes header + 8 bytes.
    Bytes d = fixSums(hex("4500 0020 0009 0000 4002 0000 01010102 01010101 1122334455667788 99aabbccddeeff00"));
    ipl.input(d.data(), d.size(), false, 0);
    ASSERT_EQ(dev.sent.size(), 1u);
    Bytes expect = fixSums(hex("4500 0038 0000 0000 fe01 0000 01010101 01010102 0302 0000 00000000") );
    Bytes &r = dev.sent[0];
    ASSERT_EQ(r.size(), 56u);
    EXPECT_EQ(inchksum(r.data(), 20), 0xFFFF);
    EXPECT_EQ(inchksum(r.data() + 20, 36), 0xFFFF);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 20), Bytes(expect.begin(), expect.begin() + 20));
    EXPECT_EQ(r[20], 3);
    EXPECT_EQ(r[21], 2);
    EXPECT_EQ(Bytes(r.begin() + 28, r.end()), Bytes(d.begin(), d.begin() + 28));

    // A short one (22 bytes) is quoted whole, nothing beyond it.
    Bytes s = fixSums(hex("4500 0016 000a 0000 4002 0000 01010102 01010101 abcd"));
    ipl.input(s.data(), s.size(), false, 0);
    ASSERT_EQ(dev.sent.size(), 2u);
    EXPECT_EQ(dev.sent[1].size(), 20u + 8u + 22u);
    EXPECT_EQ(get16(dev.sent[1].data() + 4), 1);  // ICMP identification counts on

    // From the subnet's broadcast address: nothing.
    Bytes b = fixSums(hex("4500 0016 000a 0000 4002 0000 010101ff 01010101 abcd"));
    ipl.input(b.data(), b.size(), false, 0);
    EXPECT_EQ(dev.sent.size(), 2u);
}

TEST_F(IpInput, EchoRequestAnswered) {
    Bytes req = fixSums(hex("4500 0024 1234 0000 4001 0000 01010102 01010101 0800 0000 abcd 0001 70696e67 21212121"));
    ipl.input(req.data(), req.size(), false, 0);
    ipl.input(req.data(), req.size(), false, 0);
    ASSERT_EQ(dev.sent.size(), 2u);
    Bytes expect = fixSums(hex("4500 0024 0000 0000 fe01 0000 01010101 01010102 0000 0000 abcd 0001 70696e67 21212121"));
    EXPECT_EQ(dev.sent[0], expect);
    EXPECT_EQ(get16(dev.sent[1].data() + 4), 1);

    const struct {
        const char *name;
        const char *bytes;
        bool fix;
    } ignored[] = {
        {"from a broadcast source", "4500 0024 1234 0000 4001 0000 010101ff 01010101 0800 0000 abcd 0001 70696e67 21212121", true},
        {"to a foreign address", "4500 0024 1234 0000 4001 0000 01010102 01010107 0800 0000 abcd 0001 70696e67 21212121", true},
        {"bad ICMP sum", "4500 0024 1234 0000 4001 0000 01010102 01010101 0800 0000 abcd 0001 70696e67 21212121", false},
        {"ICMP shorter than its header", "4500 0018 1234 0000 4001 0000 01010102 01010101 0800 f7ff", true},
    };
    for (const auto &c : ignored) {
        SCOPED_TRACE(c.name);
        Bytes d = hex(c.bytes);
        if (c.fix) d = fixSums(d);
        else {
            // Correct IP sum, zero ICMP sum.
            d = fixSums(d);
            d[22] ^= 0xFF;
        }
        ipl.input(d.data(), d.size(), false, 0);
        EXPECT_EQ(dev.sent.size(), 2u);
    }
    // A device that refuses is not retried by ICMP (and nothing crashes).
    dev.accept = false;
    ipl.input(req.data(), req.size(), false, 0);
    EXPECT_EQ(dev.sent.size(), 3u);
}

TEST_F(IpInput, NoticesReachTheTransport) {
    // Quoted: our TCP segment 1.1.1.1:49152 -> 1.1.1.2:80, cut after 8 bytes.
    const std::string quoteTcp = "4500 0028 0001 0000 fe06 0000 01010101 01010102 c000 0050 00000001";
    const std::string quoteUdp = "4500 001c 0001 0000 fe11 0000 01010101 01010102 c000 0035 0008 0000";
    const std::string quoteForeign = "4500 0028 0001 0000 fe06 0000 01010105 01010102 c000 0050 00000001";
    const std::string head = "4500 0038 0001 0000 4001 0000 01010102 01010101 ";
    const struct {
        const char *name;
        std::string bytes;
        std::vector<std::string> calls;
    } cases[] = {
        {"port unreachable, TCP", head + "0303 0000 00000000 " + quoteTcp, {"tcpCancel 3 53 0 port 49152"}},
        {"port unreachable, UDP", head + "0303 0000 00000000 " + quoteUdp, {"udpCancel 3 53"}},
        {"code above 15", head + "0310 0000 00000000 " + quoteTcp, {}},
        {"quoted source not ours", head + "0303 0000 00000000 " + quoteForeign, {}},
        {"quote cut inside its header", "4500 0028 0001 0000 4001 0000 01010102 01010101 0303 0000 00000000 4500 0028 0001 0000", {}},
        {"source quench", head + "0400 0000 00000000 " + quoteTcp, {"tcpCancel 4 0 0 port 49152"}},
        {"time exceeded code 0", head + "0b00 0000 00000000 " + quoteTcp, {"tcpCancel 11 0 0 port 49152"}},
        {"time exceeded code 1", head + "0b01 0000 00000000 " + quoteTcp, {}},
        {"parameter problem", head + "0c00 0000 00000000 " + quoteTcp, {"tcpCancel 12 0 0 port 49152"}},
        {"redirect inside the subnet", head + "0501 0000 01010103 " + quoteTcp, {"tcpCancel 5 51 16843011 port 49152"}},
        {"redirect outside the subnet", head + "0501 0000 02020203 " + quoteTcp, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        upper.calls.clear();
        Bytes d = fixSums(hex(c.bytes));
        // fixSums took the total length; pad it to what was written.
        d[2] = static_cast<uint8_t>(d.size() >> 8);
        d[3] = static_cast<uint8_t>(d.size());
        d = fixSums(d);
        ipl.input(d.data(), d.size(), false, 0);
        EXPECT_EQ(upper.calls, c.calls);
    }
    EXPECT_TRUE(dev.sent.empty());
}

TEST_F(IpInput, EchoReplyRememberedOnce) {
    // Offset 4 carries the send time 500; the reply arrives at 2000.
    Bytes d = fixSums(hex("4500 0020 0001 0000 4001 0000 01010102 01010101 0000 0000 000001f4 00000007"));
    ipl.input(d.data(), d.size(), false, 2000);
    uint32_t number = 0;
    EXPECT_EQ(ipl.chkPing(0x01010109, &number), 0xFFFFFFFFu);
    EXPECT_EQ(ipl.chkPing(0x01010102, &number), 2500u);
    EXPECT_EQ(number, 7u);
    EXPECT_EQ(ipl.chkPing(0x01010102, &number), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace ryn::inet
