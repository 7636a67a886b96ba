// The TCP engine driven by literal segments from a simulated peer
// (1.1.1.2:80) and explicit time; what the engine sends is decoded from the
// recording device. No threads, no sleeps.
#include "packet_util.h"
#include "stack/tcp_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ryn::inet {
namespace {

using testing::Bytes;

constexpr uint32_t kUs = 0x01010101, kPeer = 0x01010102;
constexpr uint16_t kPeerPort = 80;
constexpr uint8_t F = tcp::kFin, S = tcp::kSyn, R = tcp::kRst, P = tcp::kPsh, A = tcp::kAck_;

struct Sent {
    uint8_t flags;
    uint32_t seq, ack;
    uint16_t window;
    std::string data;
    std::optional<uint16_t> mss;
};

struct Device : IpDevice {
    std::vector<Bytes> frames;
    bool accept = true;
    bool transmit(uint8_t *d, size_t n) override {
        if (!accept) return false;
        frames.emplace_back(d, d + n);
        return true;
    }
};

struct Upper : IpUpper {
    TcpEngine *tcp = nullptr;
    uint32_t *now = nullptr;
    void tcpInput(const Ipv4View &ip) override { tcp->input(ip, *now); }
    void udpInput(const Ipv4View &, bool) override {}
    void tcpCancel(const Ipv4View &q, int k, int c, uint32_t g) override { tcp->tcp_cancel(q, k, c, g, *now); }
    void udpCancel(const Ipv4View &, int, int, uint32_t) override {}
};

class Tcp : public ::testing::Test {
protected:
    Tcp() {
        addr.my_ip_addr = kUs;
        addr.sin_mask = 0xFFFFFF00;
        upper.tcp = &tcp;
        upper.now = &now;
    }

    // A segment from the peer; options as hex; sums fixed unless told not to.
    Bytes segment(uint8_t flags, uint32_t seq, uint32_t ack, const std::string &data = "", uint16_t window = 8192,
                  const std::string &optsHex = "", uint16_t dport = 0) {
        Bytes opts = testing::hex(optsHex);
        size_t th = 20 + opts.size();
        Bytes d(20 + th + data.size());
        writeIpv4Header(d.data(), 0, static_cast<uint16_t>(d.size()), 1, 64, 6, kPeer, kUs);
        uint8_t *t = d.data() + 20;
        put16(t, kPeerPort);
        put16(t + 2, dport ? dport : port);
        put32(t + 4, seq);
        put32(t + 8, ack);
        t[12] = static_cast<uint8_t>((th / 4) << 4);
        t[13] = flags;
        put16(t + 14, window);
        std::copy(opts.begin(), opts.end(), t + 20);
        std::copy(data.begin(), data.end(), t + th);
        return testing::fixSums(d);
    }
    void deliver(const Bytes &d) { ipl.input(d.data(), d.size(), false, now); }
    void from(uint8_t flags, uint32_t seq, uint32_t ack, const std::string &data = "", uint16_t window = 8192,
              const std::string &opts = "") {
        deliver(segment(flags, seq, ack, data, window, opts));
    }

    // Everything sent since the last call, decoded (and checked).
    std::vector<Sent> sent() {
        std::vector<Sent> out;
        for (const Bytes &f : dev.frames) {
            auto ip = Ipv4View::parse(f.data(), f.size());
            EXPECT_TRUE(ip && ip->headerChecksumOk());
            auto t = TcpView::parse(ip->payload(), ip->payloadLen());
            EXPECT_TRUE(t && t->checksumOk(ip->source(), ip->destination()));
            out.push_back({t->flags(), t->seq(), t->ack(), t->window(),
                           std::string(reinterpret_cast<const char *>(t->data()), t->dataLen()),
                           findMssOption(t->options(), t->optionsLen())});
        }
        dev.frames.clear();
        return out;
    }
    void tick(uint32_t ms) {
        // The pass runs at most every 50 ms: step through the interval.
        for (uint32_t t = 0; t < ms; t += 50) {
            now += 50;
            tcp.timers(now);
        }
    }

    // ESTABLISHED by a passive open; peer ISN 1000, returns our ISN.
    uint32_t establishPassive(const std::string &synOpts = "020405b4") {
        tcp.tcp_listen(s, port, 0, 0, 0, now);
        from(S, 1000, 0, "", 8192, synOpts);
        auto out = sent();
        EXPECT_EQ(out.size(), 1u);
        uint32_t iss = out.empty() ? 0 : out[0].seq;
        from(A, 1001, iss + 1);
        EXPECT_EQ(s->state, TCP_ESTABLISHED);
        return iss + 1;
    }

    uint32_t now = 100000;
    uint16_t port = 23;
    IpAddressing addr;
    Device dev;
    Upper upper;
    IpLayer ipl{addr, dev, upper};
    TcpEngine tcp{ipl};
    TcpSocket *s = &tcp.pool(0);
};

TEST_F(Tcp, PassiveOpenTakesMssFromTheSyn) {
    const struct {
        const char *opts;
        uint16_t mss;
    } cases[] = {{"", 536}, {"020405b4", 1460}, {"02040000", 64}, {"02042328", 1460}, {"0101 0800 020405b4", 536}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.opts);
        tcp.tcp_listen(s, port, 0, 0, 0, now);
        from(S, 1000, 0, "", 8192, c.opts);
        auto out = sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].flags, S | A);
        EXPECT_EQ(out[0].ack, 1001u);
        EXPECT_EQ(out[0].mss, 1460);
        EXPECT_EQ(s->state, TCP_SYN_RECEIVED);
        EXPECT_EQ(s->mss, c.mss);
        tcp.tcp_abort(s, now);
        sent();
        now += 1000;  // past the reset rate limit
    }
}

TEST_F(Tcp, ActiveOpenAndLostSynBacksOff) {
    ASSERT_EQ(tcp.tcp_open(s, 0, kPeer, kPeerPort, now), 1);
    port = s->local_port;
    EXPECT_GE(port, 49152);
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, S);
    const uint32_t iss = out[0].seq;

    // Nothing answers: the SYN is resent, at growing intervals.
    std::vector<uint32_t> resentAt;
    uint32_t start = now;
    for (int i = 0; i < 200 && s->state == TCP_SYN_SENT; ++i) {
        tick(50);
        for (auto &x : sent()) {
            if (x.flags & S) {
                EXPECT_EQ(x.seq, iss);
                resentAt.push_back(now - start);
            }
        }
    }
    ASSERT_GE(resentAt.size(), 3u);
    EXPECT_GT(resentAt[2] - resentAt[1], resentAt[1] - resentAt[0]);
    // The SYN-ACK finally arrives, with a smaller MSS.
    from(S | A, 5000, iss + 1, "", 4096, "020403e8");
    out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().flags, A);
    EXPECT_EQ(out.back().ack, 5001u);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);
    EXPECT_EQ(s->mss, 1000);
}

TEST_F(Tcp, UnansweredOpenTimesOut) {
    ASSERT_EQ(tcp.tcp_open(s, 0, kPeer, kPeerPort, now), 1);
    tick(31000);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_EQ(s->error, tcperr::kStateTimeout);
    EXPECT_FALSE(tcp.tcp_checkfor(s));
}

TEST_F(Tcp, LostSynAckIsResent) {
    tcp.tcp_listen(s, port, 0, 0, 0, now);
    from(S, 1000, 0);
    auto first = sent();
    ASSERT_EQ(first.size(), 1u);
    tick(1500);
    auto again = sent();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0].flags, S | A);
    EXPECT_EQ(again[0].seq, first[0].seq);
    // The peer repeats its SYN too: answered with the SYN-ACK.
    from(S, 1000, 0);
    again = sent();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].flags, S | A);
}

TEST_F(Tcp, SynToClosedPortIsResetOncePer100ms) {
    port = 99;
    from(S, 7000, 0);
    from(S, 7000, 0);
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, R | A);
    EXPECT_EQ(out[0].seq, 0u);
    EXPECT_EQ(out[0].ack, 7001u);
    now += 100;
    from(A, 7001, 1234);
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags, R);
    EXPECT_EQ(out[0].seq, 1234u);
    now += 100;
    from(R, 7001, 0);
    EXPECT_TRUE(sent().empty());  // never answer a reset
}

TEST_F(Tcp, OutOfOrderBlockAndDuplicates) {
    establishPassive();
    // Table: segment seq and bytes, then in-order bytes expected so far.
    const struct {
        uint32_t seq;
        const char *data;
        int rxLen;
    } steps[] = {
        {1006, "fghij", 0},   // ahead: held
        {1011, "klm", 0},     // extends the block
        {1004, "def", 0},     // reaches back to the block
        {1001, "abc", 13},    // fills the gap: all in order
        {1001, "abc", 13},    // duplicate adds nothing
        {1010, "jk", 13},     // old overlap adds nothing
        {1014, "nop", 16},    // in order
    };
    for (const auto &st : steps) {
        from(A, st.seq, s->snd_una, st.data);
        EXPECT_EQ(s->rx_len, st.rxLen) << st.data;
    }
    uint8_t buf[64];
    int n = tcp.tcp_read(s, buf, sizeof buf, now);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(n)), "abcdefghijklmnop");
    EXPECT_EQ(s->rcv_next, 1017u);
}

TEST_F(Tcp, SequenceWrapsInsideData) {
    tcp.tcp_listen(s, port, 0, 0, 0, now);
    from(S, 0xFFFFFFFDu, 0);
    uint32_t iss = sent().at(0).seq;
    from(A, 0xFFFFFFFEu, iss + 1);
    from(A, 0x00000002u, iss + 1, "ef");     // after the wrap, ahead
    from(A, 0xFFFFFFFEu, iss + 1, "abcd");  // crosses the wrap
    EXPECT_EQ(s->rx_len, 6);
    EXPECT_EQ(s->rcv_next, 4u);
}

TEST_F(Tcp, FinOnDataSegmentThenReadAndClose) {
    uint32_t una = establishPassive();
    from(A | F | P, 1001, una, "bye");
    EXPECT_EQ(s->state, TCP_CLOSE_WAIT);
    EXPECT_EQ(s->error, tcperr::kClosedByPeer);
    EXPECT_EQ(s->rcv_next, 1005u);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().ack, 1005u);

    uint8_t buf[16];
    EXPECT_EQ(tcp.tcp_read(s, buf, sizeof buf, now), 3);
    sent();
    // Reading at the end sends our FIN.
    EXPECT_EQ(tcp.tcp_read(s, buf, sizeof buf, now), 0);
    EXPECT_EQ(s->state, TCP_LAST_ACK);
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].flags & F, F);
    EXPECT_EQ(out[0].seq, una);
    from(A, 1005, una + 1);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_FALSE(tcp.tcp_checkfor(s));
}

TEST_F(Tcp, HalfCloseKeepsWritingAndFinGoesLast) {
    uint32_t una = establishPassive("020400c8");  // MSS 200
    from(A | F, 1001, una);
    ASSERT_EQ(s->state, TCP_CLOSE_WAIT);
    sent();
    std::string payload(500, 'x');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(tcp.tcp_write(s, reinterpret_cast<const uint8_t *>(payload.data()), 500, now), 500);
    tcp.tcp_close(s, now);
    EXPECT_EQ(s->state, TCP_LAST_ACK);
    // Collect until everything is out (the congestion window opens as ACKs come).
    std::string got;
    bool finSeen = false;
    for (int round = 0; round < 20 && !finSeen; ++round) {
        tick(1000);
        for (auto &x : sent()) {
            if (x.seq == una + got.size() && !x.data.empty()) got += x.data;
            if (x.flags & F) {
                EXPECT_EQ(x.seq + x.data.size(), una + 500u);  // FIN after the last byte only
                finSeen = true;
            }
        }
        from(A, 1002, una + static_cast<uint32_t>(got.size()));
        EXPECT_EQ(s->state, TCP_LAST_ACK);  // data acknowledged, the FIN not yet
    }
    EXPECT_EQ(got, payload);
    ASSERT_TRUE(finSeen);
    from(A, 1002, una + 501);
    EXPECT_EQ(s->state, TCP_CLOSED);
}

TEST_F(Tcp, CloseWithQueuedDataWaitsForTheAck) {
    uint32_t una = establishPassive();
    std::string data(5000, 'q');
    EXPECT_EQ(tcp.tcp_write(s, reinterpret_cast<const uint8_t *>(data.data()), 5000, now), 5000);
    tcp.tcp_close(s, now);
    EXPECT_EQ(s->state, TCP_ESTABLISHED_CLOSING);
    for (auto &x : sent()) EXPECT_EQ(x.flags & F, 0);
    from(A, 1001, una + 4000);
    EXPECT_EQ(s->state, TCP_ESTABLISHED_CLOSING);
    for (auto &x : sent()) EXPECT_EQ(x.flags & F, 0);
    from(A, 1001, una + 5000);
    EXPECT_EQ(s->state, TCP_FIN_WAIT_1);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().flags & F, F);
    EXPECT_EQ(out.back().seq, una + 5000);
    // Peer's ACK, then its FIN: FIN-WAIT-2, TIME-WAIT, closed after 2 s.
    from(A, 1001, una + 5001);
    EXPECT_EQ(s->state, TCP_FIN_WAIT_2);
    from(A | F, 1001, una + 5001);
    EXPECT_EQ(s->state, TCP_TIME_WAIT);
    tick(2100);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_FALSE(tcp.tcp_checkfor(s));
}

TEST_F(Tcp, SimultaneousCloseAndFinAckTogether) {
    const struct {
        const char *name;
        uint8_t flags;
        bool ackOurFin;
        uint16_t state;
    } cases[] = {
        {"FIN crossing ours", A | F, false, TCP_CLOSING},
        {"FIN with the ACK of ours", A | F, true, TCP_TIME_WAIT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t una = establishPassive();
        tcp.tcp_close(s, now);
        ASSERT_EQ(s->state, TCP_FIN_WAIT_1);
        from(c.flags, 1001, c.ackOurFin ? una + 1 : una);
        EXPECT_EQ(s->state, c.state);
        if (c.state == TCP_CLOSING) {
            from(A, 1002, una + 1);
            EXPECT_EQ(s->state, TCP_TIME_WAIT);
        }
        tcp.tcp_abort(s, now);
        sent();
        now += 1000;
    }
}

TEST_F(Tcp, LostFinIsRetransmitted) {
    uint32_t una = establishPassive();
    tcp.tcp_close(s, now);
    sent();
    tick(2000);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].flags & F, F);
    EXPECT_EQ(out[0].seq, una);
}

TEST_F(Tcp, TransientTransmitFailureKeepsTheBytes) {
    uint32_t una = establishPassive();
    dev.accept = false;
    EXPECT_EQ(tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("0123456789"), 10, now), 10);
    EXPECT_EQ(s->tx_len, 10);
    dev.accept = true;
    tick(1500);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].seq, una);
    EXPECT_EQ(out[0].data, "0123456789");
}

TEST_F(Tcp, RetransmissionBacksOffAndRttUpdatesRto) {
    uint32_t una = establishPassive();
    tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("hello"), 5, now);
    ASSERT_EQ(sent().size(), 1u);
    // An ACK 120 ms later is a sample.
    now += 120;
    from(A, 1001, una + 5);
    EXPECT_NE(s->rto, 1000u);
    uint32_t rto = s->rto;
    EXPECT_EQ(rto, (s->srtt8 / 4 + s->rttvar4 + 1) / 2);

    tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("again"), 5, now);
    sent();
    std::vector<uint32_t> at;
    uint32_t start = now;
    for (int i = 0; i < 400 && at.size() < 4; ++i) {
        tick(50);
        for (auto &x : sent())
            if (x.data == "again") at.push_back(now - start);
    }
    ASSERT_EQ(at.size(), 4u);
    for (size_t i = 2; i < at.size(); ++i) EXPECT_GT(at[i] - at[i - 1], at[i - 1] - at[i - 2]);
    // Karn: the ACK of a retransmitted segment is no sample.
    from(A, 1001, una + 10);
    EXPECT_EQ(s->tx_len, 0);
    EXPECT_GT(s->rto, rto);
}

TEST_F(Tcp, ZeroWindowIsProbedNotFlooded) {
    uint32_t una = establishPassive();
    tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("abcdef"), 6, now);
    sent();
    from(A, 1001, una + 6, "", 0);  // all taken, window closed
    tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("ghij"), 4, now);
    EXPECT_TRUE(sent().empty());

    std::vector<uint32_t> probes;
    uint32_t start = now;
    for (int i = 0; i < 300; ++i) {  // 15 s
        tick(50);
        for (auto &x : sent()) {
            EXPECT_EQ(x.data.size(), 1u) << "only probes while the window is closed";
            EXPECT_EQ(x.seq, una + 6);
            probes.push_back(now - start);
            from(A, 1001, una + 6, "", 0);  // the peer answers, still closed
        }
    }
    ASSERT_GE(probes.size(), 3u);
    EXPECT_LE(probes.size(), 8u);
    EXPECT_GT(probes[2] - probes[1], probes[1] - probes[0]);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);

    // Window update: the rest goes at once.
    from(A, 1001, una + 6, "", 4096);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].seq, una + 6);
    EXPECT_EQ(out[0].data, "ghij");
}

TEST_F(Tcp, ResetNeedsAGoodSumAndTheWindow) {
    establishPassive();
    const struct {
        const char *name;
        bool breakSum;
        uint32_t seq;
        bool resets;
    } cases[] = {
        {"bad checksum", true, 1001, false},
        {"outside the window", false, 1001 + 40000, false},
        {"behind rcv_next", false, 1000, false},
        {"in the window", false, 1001, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes d = segment(R, c.seq, 0);
        if (c.breakSum) d[20 + 16] ^= 0x55;
        deliver(d);
        EXPECT_EQ(s->state == TCP_CLOSED, c.resets);
    }
    EXPECT_EQ(s->error, tcperr::kReset);
    EXPECT_FALSE(tcp.tcp_checkfor(s));
}

TEST_F(Tcp, RefusedOpen) {
    ASSERT_EQ(tcp.tcp_open(s, 0, kPeer, kPeerPort, now), 1);
    port = s->local_port;
    uint32_t iss = sent().at(0).seq;
    from(R | A, 0, iss + 7);  // wrong ack: ignored
    EXPECT_EQ(s->state, TCP_SYN_SENT);
    from(R | A, 0, iss + 1);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_EQ(s->error, tcperr::kRefused);
}

TEST_F(Tcp, DeadlinesAcrossTheTickWrap) {
    EXPECT_TRUE(deadlinePassed(0x00000010u, 0x00000010u));
    EXPECT_TRUE(deadlinePassed(0xFFFFFFF0u, 0x00000005u));
    EXPECT_FALSE(deadlinePassed(0x00000005u, 0xFFFFFFF0u));
    EXPECT_FALSE(deadlinePassed(0, 12345));
    EXPECT_NE(deadlineAfter(0xFFFFFFFFu, 1), 0u);

    // A retransmission scheduled just before the wrap fires just after it, not at once.
    now = 0xFFFFFF00u;
    uint32_t una = establishPassive();
    tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("w"), 1, now);
    sent();
    tick(200);
    EXPECT_TRUE(sent().empty());
    tick(1200);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].seq, una);
    EXPECT_LT(now, 0x1000u);
}

TEST_F(Tcp, MalformedSegmentsAreDropped) {
    uint32_t una = establishPassive();
    const struct {
        const char *name;
        size_t offsetByte;  // index into the datagram
        uint8_t value;
    } cases[] = {
        {"data offset 4", 20 + 12, 0x40},
        {"data offset 15", 20 + 12, 0xF0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes d = segment(A, 1001, una, "zz");
        d[c.offsetByte] = c.value;
        d = testing::fixSums(d);
        deliver(d);
        EXPECT_EQ(s->rx_len, 0);
    }
    // Total length shorter than the TCP header it claims.
    Bytes d = segment(A, 1001, una, "zz");
    d[3] = 30;
    deliver(testing::fixSums(d));
    EXPECT_EQ(s->rx_len, 0);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);
}

TEST_F(Tcp, IcmpUnreachableBeyondToleranceAborts) {
    uint32_t una = establishPassive();
    (void)una;
    // Quoted: our segment 1.1.1.1:23 -> 1.1.1.2:80.
    std::string quote = "4500 0028 0001 0000 fe06 0000 01010101 01010102 0017 0050 00000001";
    Bytes icmp = testing::hex("4500 0038 0001 0000 4001 0000 01010102 01010101 0303 0000 00000000 " + quote);
    icmp = testing::fixSums(icmp);
    deliver(icmp);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);  // first notice: backs off
    deliver(icmp);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_EQ(s->error, 53);
}

}  // namespace
}  // namespace ryn::inet

namespace ryn::inet {
namespace {

class TcpTimeouts : public Tcp {};

TEST_F(TcpTimeouts, UnacknowledgedDataAbortsAfterTheDataTimeout) {
    establishPassive();
    tcp.tcp_write(s, reinterpret_cast<const uint8_t *>("lost"), 4, now);
    tick(119000);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);  // still retransmitting
    tick(2000);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_EQ(s->error, tcperr::kDataTimeout);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().flags & R, R);
}

TEST_F(TcpTimeouts, StateTimeoutsPerState) {
    // FIN-WAIT-2 without the peer's FIN, LAST-ACK without the ACK.
    uint32_t una = establishPassive();
    tcp.tcp_close(s, now);
    from(A, 1001, una + 1);
    ASSERT_EQ(s->state, TCP_FIN_WAIT_2);
    tick(13100);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_EQ(s->error, tcperr::kStateTimeout);  // a time-out overwrites the reason

    sent();
    now += 1000;
    una = establishPassive();
    from(A | F, 1001, una);
    tcp.tcp_close(s, now);
    ASSERT_EQ(s->state, TCP_LAST_ACK);
    tick(10100);
    EXPECT_EQ(s->state, TCP_CLOSED);
}

}  // namespace
}  // namespace ryn::inet
