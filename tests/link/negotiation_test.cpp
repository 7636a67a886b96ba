// LCP, IPCP and PAP byte for byte: the test plays the terminal on a socket
// pair with literal packets and moves a fake tick for the timers. These are
// the cases the simulator's PPP never produces (malformed options, loops,
// stale identifiers, rejects).
#include "link/auth.h"
#include "link/ipcp.h"
#include "link/lcp_link.h"
#include "link/link_config.h"
#include "link/link_peer.h"
#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "link/ppp_wire.h"
#include "link/serial_line.h"
#include "link/upap.h"
#include "stack/timers.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {
using namespace ryn::ppp;
using namespace ryn::test;

std::atomic<uint32_t> g_now{500000};
uint32_t fakeTick() { return g_now.load(); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A control packet: code, id, length, data.
Bytes cp(uint8_t code, uint8_t id, const Bytes &data = {}) {
    Bytes p{code, id, static_cast<uint8_t>((data.size() + 4) >> 8), static_cast<uint8_t>(data.size() + 4)};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

Bytes ourLcpOptions() { return cat({{0x01, 0x04, 0x05, 0xDC, 0x05, 0x06}, be32(lcpRequestMagic()), {0x07, 0x02, 0x08, 0x02}}); }

const Bytes kPeerMagic{0x05, 0x06, 0x11, 0x22, 0x33, 0x44};

class Negotiation : public ::testing::Test {
protected:
    void SetUp() override {
        ryn::stack::setTickSourceForTesting(fakeTick);
        LcpEchoActivate(false);  // a line opened by an earlier test switches it on
        startLink();
    }
    void TearDown() override {
        endLink();
        LcpEchoActivate(false);
        ryn::stack::setTickSourceForTesting(nullptr);
    }
    void startLink(int authRequired = 0) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        peer_ = sv[1];
        ryn::link::adoptLineForTesting(sv[0]);
        Init_Config();
        ppp_init();
        ASSERT_EQ(ppp_enter(authRequired), 0);
        auto first = sent();
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].payload, cp(CONFREQ, 1, ourLcpOptions()));
    }
    // The line goes first, so the close does not wait for a Terminate-Ack.
    void endLink() {
        StopDTEsock();
        ppp_close();
        if (peer_ >= 0) close(peer_);
        peer_ = -1;
    }
    void freshLink() {
        endLink();
        startLink();
    }
    // One packet from the terminal, then one service pass.
    int input(uint16_t protocol, const Bytes &packet) {
        Bytes frame = cat({{0xFF, 0x03, static_cast<uint8_t>(protocol >> 8), static_cast<uint8_t>(protocol)}, packet});
        Bytes line = onLine(withFcs(frame));
        EXPECT_EQ(::send(peer_, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
        return ppp_run(0);
    }
    int lcp(const Bytes &packet) { return input(kProtoLcp, packet); }
    int ipcp(const Bytes &packet) { return input(kProtoIpcp, packet); }
    int pap(const Bytes &packet) { return input(kProtoPap, packet); }
    // Moves the tick past the next whole-second timer and runs a pass.
    int elapse(uint32_t ms) {
        g_now += ms;
        return ppp_run(0);
    }
    std::vector<Frame> sent() {
        Bytes out;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(peer_, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
        return decodeFrames(out);
    }
    std::vector<Bytes> sentOf(uint16_t protocol) {
        std::vector<Bytes> out;
        for (auto &f : sent())
            if (f.protocol == protocol) out.push_back(f.payload);
        return out;
    }
    // LCP up: the terminal acks our request and its own (peerOptions) is acked.
    void openLcp(const Bytes &peerOptions = kPeerMagic) {
        lcp(cp(CONFACK, lcpLastRequestId(), ourLcpOptions()));
        lcp(cp(CONFREQ, 0x42, peerOptions));
        ASSERT_EQ(lcp_fsm[0].state, OPENED);
    }
    // IPCP up as the terminal runs it: Nak our 0.0.0.0 with 1.1.1.1, ask
    // for hisAddress, ack our second request.
    void openIpcp(const Bytes &hisAddress = {1, 1, 1, 2}) {
        ipcp(cp(CONFNAK, 1, {0x03, 0x06, 1, 1, 1, 1}));
        ipcp(cp(CONFREQ, 1, cat({{0x03, 0x06}, hisAddress})));
        ipcp(cp(CONFACK, 2, {0x03, 0x06, 1, 1, 1, 1}));
    }
    int peer_ = -1;
};

// The host's judgement of the terminal's Configure-Request.
TEST_F(Negotiation, LcpConfigureRequestJudgement) {
    struct Case {
        const char *name;
        Bytes request;
        uint8_t code;
        Bytes answer;
    } cases[] = {
        {"MRU below 128", {0x01, 0x04, 0x00, 0x64}, CONFNAK, {0x01, 0x04, 0x00, 0x80}},
        {"CHAP proposed", {0x03, 0x05, 0xC2, 0x23, 0x05}, CONFNAK, {0x03, 0x04, 0xC0, 0x23}},
        {"other authentication protocol", {0x03, 0x04, 0xC2, 0x27}, CONFNAK, {0x03, 0x04, 0xC0, 0x23}},
        {"everything acceptable",
         cat({{0x01, 0x04, 0x05, 0xDC, 0x02, 0x06, 0, 0, 0, 0, 0x03, 0x04, 0xC0, 0x23}, kPeerMagic, {0x07, 0x02, 0x08, 0x02}}),
         CONFACK,
         cat({{0x01, 0x04, 0x05, 0xDC, 0x02, 0x06, 0, 0, 0, 0, 0x03, 0x04, 0xC0, 0x23}, kPeerMagic, {0x07, 0x02, 0x08, 0x02}})},
        {"empty request", {}, CONFACK, {}},
        {"any async map", {0x02, 0x06, 0xFF, 0xFF, 0xFF, 0xFF}, CONFACK, {0x02, 0x06, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"unknown type 13 beside a valid MRU", {0x01, 0x04, 0x05, 0xDC, 0x0D, 0x03, 0x01}, CONFREJ, {0x0D, 0x03, 0x01}},
        {"reject wins over Nak", {0x01, 0x04, 0x00, 0x64, 0x04, 0x08, 0xC0, 0x25, 0, 0, 0, 0x0A}, CONFREJ,
         {0x04, 0x08, 0xC0, 0x25, 0, 0, 0, 0x0A}},
        {"types 0 and 6", {0x00, 0x02, 0x06, 0x02}, CONFREJ, {0x00, 0x02, 0x06, 0x02}},
        {"zero length: the rest is one rejected block", {0x01, 0x04, 0x05, 0xDC, 0x0D, 0x00, 0x07, 0x02}, CONFREJ,
         {0x0D, 0x00, 0x07, 0x02}},
        {"length 1", {0x07, 0x01}, CONFREJ, {0x07, 0x01}},
        {"length past the end", {0x01, 0x04, 0x05, 0xDC, 0x05, 0x09, 0x11, 0x22, 0x33, 0x44}, CONFREJ,
         {0x05, 0x09, 0x11, 0x22, 0x33, 0x44}},
        {"one stray byte", {0x01, 0x04, 0x05, 0xDC, 0x07}, CONFREJ, {0x07}},
        {"MRU of wrong length", {0x01, 0x03, 0x05}, CONFREJ, {0x01, 0x03, 0x05}},
        {"async map of wrong length", {0x02, 0x04, 0, 0}, CONFREJ, {0x02, 0x04, 0, 0}},
        {"authentication too short", {0x03, 0x03, 0xC0}, CONFREJ, {0x03, 0x03, 0xC0}},
        {"PAP of wrong length", {0x03, 0x05, 0xC0, 0x23, 0x00}, CONFREJ, {0x03, 0x05, 0xC0, 0x23, 0x00}},
        {"CHAP of wrong length", {0x03, 0x04, 0xC2, 0x23}, CONFREJ, {0x03, 0x04, 0xC2, 0x23}},
        {"CHAP after PAP was accepted", {0x03, 0x04, 0xC0, 0x23, 0x03, 0x05, 0xC2, 0x23, 0x05}, CONFREJ,
         {0x03, 0x05, 0xC2, 0x23, 0x05}},
        {"link quality", {0x04, 0x08, 0xC0, 0x25, 0, 0, 0, 0x0A}, CONFREJ, {0x04, 0x08, 0xC0, 0x25, 0, 0, 0, 0x0A}},
        {"magic number of wrong length", {0x05, 0x04, 0x11, 0x22}, CONFREJ, {0x05, 0x04, 0x11, 0x22}},
        {"PFC of wrong length", {0x07, 0x03, 0x00}, CONFREJ, {0x07, 0x03, 0x00}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        freshLink();
        lcp(cp(CONFREQ, 0x33, c.request));
        auto out = sentOf(kProtoLcp);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], cp(c.code, 0x33, c.answer));
        EXPECT_EQ(lcp_fsm[0].state, c.code == CONFACK ? ACKSENT : REQSENT);
    }
}

TEST_F(Negotiation, OurOwnMagicNumberIsNakedWithAnotherOne) {
    lcp(cp(CONFREQ, 0x10, cat({{0x05, 0x06}, be32(lcpRequestMagic())})));
    auto out = sentOf(kProtoLcp);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), 10u);
    EXPECT_EQ(Bytes(out[0].begin(), out[0].begin() + 6), (Bytes{CONFNAK, 0x10, 0x00, 0x0A, 0x05, 0x06}));
    EXPECT_NE(Bytes(out[0].begin() + 6, out[0].end()), be32(lcpRequestMagic()));
}

TEST_F(Negotiation, SixthNakableRequestIsRejectedInstead) {
    for (int i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        lcp(cp(CONFREQ, static_cast<uint8_t>(i), {0x01, 0x04, 0x00, 0x64}));
        auto out = sentOf(kProtoLcp);
        ASSERT_EQ(out.size(), 1u);
        Bytes expect = i < 6 ? cp(CONFNAK, static_cast<uint8_t>(i), {0x01, 0x04, 0x00, 0x80})
                             : cp(CONFREJ, 6, {0x01, 0x04, 0x00, 0x64});
        EXPECT_EQ(out[0], expect);
    }
}

TEST_F(Negotiation, StaleRepeatedOrWrongAcksAreIgnored) {
    Bytes wrongMagic = ourLcpOptions();
    wrongMagic[6] ^= 0xFF;
    lcp(cp(CONFACK, 2, ourLcpOptions()));        // stale identifier
    lcp(cp(CONFACK, 1, wrongMagic));             // not what we asked
    lcp(cp(CONFACK, 1, {0x01, 0x04, 0x05, 0xDC}));  // options missing
    EXPECT_EQ(lcp_fsm[0].state, REQSENT);
    lcp(cp(CONFACK, 1, ourLcpOptions()));
    EXPECT_EQ(lcp_fsm[0].state, ACKRCVD);
    lcp(cp(CONFACK, 1, ourLcpOptions()));  // a second Ack for the same request
    EXPECT_EQ(lcp_fsm[0].state, ACKRCVD);
    EXPECT_TRUE(sentOf(kProtoLcp).empty());
    // A Nak for the request already acked changes nothing either.
    lcp(cp(CONFNAK, 1, {0x07, 0x02}));
    EXPECT_EQ(lcp_fsm[0].state, ACKRCVD);
    EXPECT_TRUE(sentOf(kProtoLcp).empty());
}

TEST_F(Negotiation, NakAndRejectShapeTheNextRequest) {
    struct Case {
        const char *name;
        uint8_t code;
        Bytes options;
        bool taken;
        Bytes expectPrefix;  // of the next request's options, when taken
    } cases[] = {
        {"PFC and ACFC Nak'd", CONFNAK, {0x07, 0x02, 0x08, 0x02}, true, {0x01, 0x04, 0x05, 0xDC, 0x05, 0x06}},
        {"smaller MRU suggested", CONFNAK, {0x01, 0x04, 0x02, 0x40}, true, {0x01, 0x04, 0x02, 0x40, 0x05, 0x06}},
        {"MRU Nak of wrong length", CONFNAK, {0x01, 0x05, 0x02, 0x40, 0x00}, false, {}},
        {"same option twice", CONFNAK, {0x07, 0x02, 0x07, 0x02}, false, {}},
        {"bytes left over", CONFNAK, {0x07, 0x02, 0x08}, false, {}},
        {"zero-length option", CONFNAK, {0x07, 0x00}, false, {}},
        {"unknown option skipped", CONFNAK, {0x0D, 0x03, 0x00}, true, {0x01, 0x04, 0x05, 0xDC, 0x05, 0x06}},
        {"MRU rejected", CONFREJ, {0x01, 0x04, 0x05, 0xDC}, true, {0x05, 0x06}},
        {"rejected with another value", CONFREJ, {0x01, 0x04, 0x05, 0xDD}, false, {}},
        {"rejected out of order", CONFREJ, {0x07, 0x02, 0x01, 0x04, 0x05, 0xDC}, false, {}},
        {"option never asked", CONFREJ, {0x02, 0x06, 0, 0, 0, 0}, false, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        freshLink();
        lcp(cp(c.code, 1, c.options));
        auto out = sentOf(kProtoLcp);
        if (!c.taken) {
            EXPECT_TRUE(out.empty());
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0][0], CONFREQ);
        EXPECT_EQ(out[0][1], 2);
        Bytes opts(out[0].begin() + 4, out[0].end());
        ASSERT_GE(opts.size(), c.expectPrefix.size());
        EXPECT_EQ(Bytes(opts.begin(), opts.begin() + c.expectPrefix.size()), c.expectPrefix);
        if (c.code == CONFNAK && c.options[0] == 0x07) {
            EXPECT_EQ(opts.size(), 10u);  // no PFC, no ACFC
        }
    }
}

TEST_F(Negotiation, LoopedBackLineIsDetectedAtTheFifthNakOfOurMagic) {
    // Everything we send comes straight back.
    int terminated = 0;
    for (int round = 1; round <= 8 && !terminated; ++round) {
        SCOPED_TRACE(round);
        Bytes request = cp(CONFREQ, lcpLastRequestId(), ourLcpOptions());
        lcp(request);  // our own request: its magic is ours, so we Nak it
        auto naks = sentOf(kProtoLcp);
        ASSERT_EQ(naks.size(), 1u);
        ASSERT_EQ(naks[0][0], CONFNAK);
        lcp(naks[0]);  // our Nak of our magic number
        for (auto &p : sentOf(kProtoLcp))
            if (p[0] == TERMREQ) terminated = round;
    }
    EXPECT_EQ(terminated, 5);
    EXPECT_EQ(lcp_fsm[0].state, CLOSING);
}

TEST_F(Negotiation, RetransmitsThreeTimesThenGivesUp) {
    EXPECT_EQ(elapse(1000), 0);
    EXPECT_TRUE(sentOf(kProtoLcp).empty());  // due strictly after the second
    EXPECT_EQ(elapse(1), 0);
    EXPECT_EQ(sentOf(kProtoLcp), (std::vector<Bytes>{cp(CONFREQ, 1, ourLcpOptions())}));  // same identifier
    EXPECT_EQ(elapse(1001), 0);
    EXPECT_EQ(sentOf(kProtoLcp).size(), 1u);
    EXPECT_EQ(elapse(1001), 0);  // a second after the third: LCP gives up...
    EXPECT_TRUE(sentOf(kProtoLcp).empty());
    EXPECT_EQ(ppp_run(0), -1);  // ...and the next pass reports the link over
    EXPECT_EQ(lcp_fsm[0].state, STOPPED);
    EXPECT_EQ(phase.load(), PHASE_DEAD);
}

TEST_F(Negotiation, UnknownCodesGetCodeRejectAndCodeRejectIsHonoured) {
    lcp(cp(0x0E, 0x07, {0xAA, 0xBB}));
    EXPECT_EQ(sentOf(kProtoLcp), (std::vector<Bytes>{cp(CODEREJ, 2, cp(0x0E, 0x07, {0xAA, 0xBB}))}));
    lcp(cp(CONFACK, 1, ourLcpOptions()));
    ASSERT_EQ(lcp_fsm[0].state, ACKRCVD);
    lcp(cp(CODEREJ, 9, {0x0E}));  // header of the rejected packet missing: ignored
    EXPECT_EQ(lcp_fsm[0].state, ACKRCVD);
    lcp(cp(CODEREJ, 9, cp(0x0E, 0x07)));
    EXPECT_EQ(lcp_fsm[0].state, REQSENT);
    // Malformed packets: shorter than a header, or a length past the bytes.
    lcp({0x01, 0x01, 0x00});
    lcp({0x01, 0x01, 0x00, 0x09, 0x01, 0x04});
    lcp({0x01, 0x01, 0x00, 0x03});
    EXPECT_TRUE(sentOf(kProtoLcp).empty());
}

TEST_F(Negotiation, ProtocolRejectBothWays) {
    openLcp();
    sent();
    // An unknown protocol from the terminal.
    input(0x80FD, {0x01, 0x02, 0x00, 0x04});
    auto out = sentOf(kProtoLcp);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0], PROTREJ);
    EXPECT_EQ(Bytes(out[0].begin() + 4, out[0].end()), (Bytes{0x80, 0xFD, 0x01, 0x02, 0x00, 0x04}));
    // The terminal rejects IPCP: IPCP goes down.
    ASSERT_EQ(ipcp_fsm[0].state, REQSENT);
    lcp(cp(PROTREJ, 3, {0x80, 0x21, 0x01, 0x01, 0x00, 0x04}));
    EXPECT_EQ(ipcp_fsm[0].state, STARTING);
    EXPECT_EQ(lcp_fsm[0].state, OPENED);
}

TEST_F(Negotiation, EchoRequestsAreAnsweredOnlyWhenOpenAndWellFormed) {
    lcp(cp(ECHOREQ, 5, {0, 0, 0, 0}));  // not open yet: no answer, no Code-Reject
    EXPECT_TRUE(sentOf(kProtoLcp).empty());
    openLcp();
    sent();
    lcp(cp(ECHOREQ, 5, {0x11, 0x22, 0x33, 0x44, 'h', 'i'}));
    EXPECT_EQ(sentOf(kProtoLcp), (std::vector<Bytes>{cp(ECHOREP, 5, cat({be32(lcpRequestMagic()), {'h', 'i'}}))}));
    lcp(cp(ECHOREQ, 6, {0x11, 0x22}));  // too short for our magic number: dropped
    lcp(cp(DISCREQ, 7, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_TRUE(sentOf(kProtoLcp).empty());
}

TEST_F(Negotiation, KeepaliveEndsTheLinkAfterFiveUnansweredRequests) {
    LcpEchoActivate(true);
    openLcp();
    auto echoRequests = [&] {
        int n = 0;
        for (auto &p : sentOf(kProtoLcp))
            if (p[0] == ECHOREQ) {
                EXPECT_EQ(Bytes(p.begin() + 4, p.end()), be32(lcpRequestMagic()));
                ++n;
            }
        return n;
    };
    EXPECT_EQ(echoRequests(), 1);  // the first check runs as LCP opens
    lcp(cp(ECHOREP, 0, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(lcpEchoPending(), 0);
    int requests = 0, result = 0;
    for (int i = 0; i < 10 && result == 0; ++i) {
        result = elapse(1001);
        requests += echoRequests();
        // Our own request looped back is no answer.
        if (result == 0) lcp(cp(ECHOREP, 9, be32(lcpRequestMagic())));
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(requests, 5);
    EXPECT_EQ(phase.load(), PHASE_DEAD);
    EXPECT_EQ(lcp_fsm[0].state, CLOSED);
    EXPECT_EQ(isifup(0), 0);
}

TEST_F(Negotiation, IpcpTakesTheAddressTheTerminalGivesAndReportsIpUp) {
    openLcp();
    EXPECT_EQ(phase.load(), PHASE_NETWORK);
    EXPECT_EQ(sentOf(kProtoIpcp), (std::vector<Bytes>{cp(CONFREQ, 1, {0x03, 0x06, 0, 0, 0, 0})}));
    ipcp(cp(CONFNAK, 1, {0x03, 0x06, 1, 1, 1, 1}));
    EXPECT_EQ(sentOf(kProtoIpcp), (std::vector<Bytes>{cp(CONFREQ, 2, {0x03, 0x06, 1, 1, 1, 1})}));
    ipcp(cp(CONFREQ, 1, {0x03, 0x06, 1, 1, 1, 2}));
    EXPECT_EQ(sentOf(kProtoIpcp), (std::vector<Bytes>{cp(CONFACK, 1, {0x03, 0x06, 1, 1, 1, 2})}));
    EXPECT_EQ(ppp_run(1), 0);
    ipcp(cp(CONFACK, 2, {0x03, 0x06, 1, 1, 1, 1}));
    EXPECT_EQ(ipcp_fsm[0].state, OPENED);
    EXPECT_EQ(ppp_run(1), 1);
    IpAddresses a = currentAddresses();
    EXPECT_EQ(a.ours, 0x01010101u);
    EXPECT_EQ(a.his, 0x01010102u);
    EXPECT_EQ(a.mask, 0xFFFFFFFCu);
    EXPECT_TRUE(a.up);
    // LCP going down takes IP down with it.
    lcp(cp(TERMREQ, 0x50));
    EXPECT_EQ(isifup(0), 0);
    EXPECT_FALSE(currentAddresses().up);
    EXPECT_EQ(phase.load(), PHASE_TERMINATE);
}

TEST_F(Negotiation, IpcpConfigureRequestJudgement) {
    struct Case {
        const char *name;
        Bytes request;
        uint8_t code;
        Bytes answer;
        // A second, empty request afterwards: answered like this.
        uint8_t emptyAgainCode;
    } cases[] = {
        {"terminal states its address", {0x03, 0x06, 1, 1, 1, 2}, CONFACK, {0x03, 0x06, 1, 1, 1, 2}, CONFNAK},
        {"0.0.0.0: neither side knows it", {0x03, 0x06, 0, 0, 0, 0}, CONFREJ, {0x03, 0x06, 0, 0, 0, 0}, CONFACK},
        {"no address: asked for, once", {}, CONFNAK, {0x03, 0x06, 0, 0, 0, 0}, CONFACK},
        {"VJ and DNS rejected together",
         {0x02, 0x06, 0x00, 0x2D, 0x0F, 0x00, 0x81, 0x06, 0, 0, 0, 0, 0x03, 0x06, 1, 1, 1, 2},
         CONFREJ,
         {0x02, 0x06, 0x00, 0x2D, 0x0F, 0x00, 0x81, 0x06, 0, 0, 0, 0},
         CONFNAK},
        {"address of wrong length", {0x03, 0x05, 1, 1, 1}, CONFREJ, {0x03, 0x05, 1, 1, 1}, CONFNAK},
        {"zero-length option", {0x03, 0x00, 0x03, 0x06, 1, 1, 1, 2}, CONFREJ, {0x03, 0x00, 0x03, 0x06, 1, 1, 1, 2},
         CONFNAK},
        {"old two-address form", {0x01, 0x0A, 1, 1, 1, 2, 1, 1, 1, 1}, CONFACK, {0x01, 0x0A, 1, 1, 1, 2, 1, 1, 1, 1},
         CONFNAK},
        {"secondary DNS", {0x83, 0x06, 0, 0, 0, 0}, CONFREJ, {0x83, 0x06, 0, 0, 0, 0}, CONFNAK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        freshLink();
        openLcp();
        sent();
        ipcp(cp(CONFREQ, 7, c.request));
        EXPECT_EQ(sentOf(kProtoIpcp), (std::vector<Bytes>{cp(c.code, 7, c.answer)}));
        ipcp(cp(CONFREQ, 8));
        auto again = sentOf(kProtoIpcp);
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again[0][0], c.emptyAgainCode);
    }
}

TEST_F(Negotiation, IpcpNakIsValidatedBeforeUse) {
    struct Case {
        const char *name;
        Bytes nak;
        Bytes nextRequest;  // empty: the Nak was ignored
    } cases[] = {
        {"address suggested", {0x03, 0x06, 1, 1, 1, 1}, {0x03, 0x06, 1, 1, 1, 1}},
        {"0.0.0.0 suggested: not taken", {0x03, 0x06, 0, 0, 0, 0}, {0x03, 0x06, 0, 0, 0, 0}},
        {"VJ suggested: tolerated", {0x02, 0x06, 0x00, 0x2D, 0x0F, 0x00}, {0x03, 0x06, 0, 0, 0, 0}},
        {"address twice", {0x03, 0x06, 1, 1, 1, 1, 0x03, 0x06, 1, 1, 1, 3}, {}},
        {"address of wrong length", {0x03, 0x04, 1, 1}, {}},
        {"option overruns", {0x03, 0x08, 1, 1, 1, 1}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        freshLink();
        openLcp();
        sent();
        ipcp(cp(CONFNAK, 1, c.nak));
        auto out = sentOf(kProtoIpcp);
        if (c.nextRequest.empty()) {
            EXPECT_TRUE(out.empty());
        } else {
            EXPECT_EQ(out, (std::vector<Bytes>{cp(CONFREQ, 2, c.nextRequest)}));
        }
    }
}

// The terminal claims a loopback address: IPCP opens and closes at once,
// no address reaches the stack, and LCP stays up (the link then carries no
// IP until the terminal or the keepalive ends it) - logged as such.
TEST_F(Negotiation, LoopbackPeerAddressClosesIpcpButLeavesLcpUp) {
    PrivateLog log;
    openLcp();
    sent();
    openIpcp({127, 0, 0, 1});
    auto out = sentOf(kProtoIpcp);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back()[0], TERMREQ);
    EXPECT_EQ(ipcp_fsm[0].state, CLOSING);
    EXPECT_FALSE(currentAddresses().up);
    EXPECT_EQ(isifup(0), 0);
    EXPECT_EQ(lcp_fsm[0].state, OPENED);
    EXPECT_EQ(ppp_run(1), 0);
    EXPECT_EQ(log.count("IPCP: unusable addresses (ours 1.1.1.1, terminal 127.0.0.1)"), 1u) << log.text();
}

const Bytes kPapRequest = cat({{UPAP_AUTHREQ, 1, 0x00, 0x18, 9}, Bytes{'b', 'r', 'e', 'd', 'l', 'i', 'w', 'a', 't'},
                               {9}, Bytes{'b', 'r', 'e', 'd', 'l', 'i', 'w', 'a', 't'}});

TEST_F(Negotiation, PapClientAuthenticatesBeforeIpcp) {
    openLcp(cat({{0x03, 0x04, 0xC0, 0x23}, kPeerMagic}));
    EXPECT_EQ(phase.load(), PHASE_AUTHENTICATE);
    EXPECT_EQ(sentOf(kProtoPap), (std::vector<Bytes>{kPapRequest}));
    EXPECT_TRUE(sentOf(kProtoIpcp).empty());
    pap({UPAP_AUTHACK, 1, 0x00, 0x05, 0x05});  // message length past the end: dropped
    EXPECT_EQ(upap[0].client_state, UPAPCS_AUTHREQ);
    pap({UPAP_AUTHACK, 1, 0x00, 0x07, 0x02, 'o', 'k'});
    EXPECT_EQ(upap[0].client_state, UPAPCS_OPEN);
    EXPECT_EQ(phase.load(), PHASE_NETWORK);
    EXPECT_EQ(sentOf(kProtoIpcp).size(), 1u);
}

// Refused or unanswered: PAP fails, IPCP never starts, and LCP stays up
// until the terminal ends the link (logged clearly).
TEST_F(Negotiation, PapFailureLeavesLcpUpWithoutIp) {
    struct Case {
        const char *name;
        bool nak;
        int requests;
    } cases[] = {{"refused", true, 1}, {"never answered", false, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PrivateLog log;
        freshLink();
        openLcp(cat({{0x03, 0x04, 0xC0, 0x23}, kPeerMagic}));
        int requests = static_cast<int>(sentOf(kProtoPap).size());
        if (c.nak) pap({UPAP_AUTHNAK, 1, 0x00, 0x05, 0x00});
        for (int i = 0; i < 12; ++i) {
            elapse(3001);
            for (auto &p : sentOf(kProtoPap)) {
                EXPECT_EQ(p[0], UPAP_AUTHREQ);
                EXPECT_EQ(p[1], requests + 1);  // a new identifier each time
                ++requests;
            }
            lcp(cp(ECHOREP, 0, {0x11, 0x22, 0x33, 0x44}));  // the terminal is alive
        }
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(upap[0].client_state, UPAPCS_BADAUTH);
        EXPECT_EQ(lcp_fsm[0].state, OPENED);
        EXPECT_EQ(phase.load(), PHASE_AUTHENTICATE);
        EXPECT_EQ(ipcp_fsm[0].state, CLOSED);
        EXPECT_EQ(log.count("LCP stays up until the terminal ends the link"), 1u);
    }
}

TEST_F(Negotiation, PapServerChecksTheTerminalsCredentials) {
    struct Case {
        const char *name;
        Bytes request;
        Bytes answer;  // empty: ignored
        int state;
        int lcpState;  // refused: the host ends the link
    } cases[] = {
        {"right credentials", kPapRequest, cat({{UPAP_AUTHACK, 1, 0x00, 0x0D, 8}, Bytes{'L', 'o', 'g', 'i', 'n', ' ', 'o', 'k'}}),
         UPAPCS_OPEN, OPENED},
        {"wrong password",
         cat({{UPAP_AUTHREQ, 3, 0x00, 0x12, 9}, Bytes{'b', 'r', 'e', 'd', 'l', 'i', 'w', 'a', 't'}, {3, 'b', 'a', 'd'}}),
         cat({{UPAP_AUTHNAK, 3, 0x00, 0x14, 15},
              Bytes{'L', 'o', 'g', 'i', 'n', ' ', 'i', 'n', 'c', 'o', 'r', 'r', 'e', 'c', 't'}}),
         UPAPCS_INITIAL, CLOSING},
        {"empty user name, any password",
         {UPAP_AUTHREQ, 8, 0x00, 0x09, 0, 3, 'a', 'n', 'y'},
         cat({{UPAP_AUTHNAK, 8, 0x00, 0x14, 15},
              Bytes{'L', 'o', 'g', 'i', 'n', ' ', 'i', 'n', 'c', 'o', 'r', 'r', 'e', 'c', 't'}}),
         UPAPCS_INITIAL, CLOSING},
        {"user name past the end", {UPAP_AUTHREQ, 4, 0x00, 0x07, 9, 'a', 'b'}, {}, UPAPCS_AUTHREQ, OPENED},
        {"password length missing", {UPAP_AUTHREQ, 5, 0x00, 0x06, 1, 'a'}, {}, UPAPCS_AUTHREQ, OPENED},
        {"password past the end", {UPAP_AUTHREQ, 6, 0x00, 0x08, 1, 'a', 5, 'b'}, {}, UPAPCS_AUTHREQ, OPENED},
        {"no data", {UPAP_AUTHREQ, 7, 0x00, 0x04}, {}, UPAPCS_AUTHREQ, OPENED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        freshLink();
        openLcp();
        sent();
        upap_authpeer(0);
        ASSERT_EQ(upap[0].server_state, UPAPCS_AUTHREQ);
        pap(c.request);
        auto out = sentOf(kProtoPap);
        EXPECT_EQ(lcp_fsm[0].state, c.lcpState);
        if (c.answer.empty()) {
            EXPECT_TRUE(out.empty());
        } else {
            EXPECT_EQ(out, (std::vector<Bytes>{c.answer}));
        }
        EXPECT_EQ(upap[0].server_state, c.state);
    }
}

TEST_F(Negotiation, StopTerminatesAndWaitsForTheAck) {
    openLcp();
    sent();
    std::lock_guard<std::mutex> lock(pppLock());
    lcp_close(0);
    EXPECT_EQ(lcp_fsm[0].state, CLOSING);
    EXPECT_EQ(phase.load(), PHASE_TERMINATE);
    auto out = sent();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().protocol, kProtoLcp);
    EXPECT_EQ(out.back().payload[0], TERMREQ);
}

}  // namespace

// The automaton alone, driven through a bare protocol table: state, event,
// packets sent, next state, callbacks run.
namespace automaton {
std::string g_calls;
const fsm_callbacks kBare = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    [](fsm *) { g_calls += "up "; },
    [](fsm *) { g_calls += "down "; },
    [](fsm *) { g_calls += "starting "; },
    [](fsm *) { g_calls += "finished "; },
    nullptr, nullptr, nullptr, "TEST",
};
enum Event { LowerUp, LowerDown, Open, OpenRestart, Close, RcvConfReq, RcvTermReq, RcvTermAck, ProtReject, Timeout };
}  // namespace automaton

TEST_F(Negotiation, AutomatonTransitions) {
    using namespace automaton;
    struct Case {
        int state;
        Event event;
        int options;
        std::vector<uint8_t> codes;  // packets sent, in order
        int next;
        const char *calls;
    } cases[] = {
        {INITIAL, LowerUp, 0, {}, CLOSED, ""},
        {STARTING, LowerUp, 0, {CONFREQ}, REQSENT, ""},
        {STARTING, LowerUp, OPT_SILENT, {}, STOPPED, ""},
        {CLOSED, LowerDown, 0, {}, INITIAL, ""},
        {STOPPED, LowerDown, 0, {}, STARTING, "starting "},
        {CLOSING, LowerDown, 0, {}, INITIAL, ""},
        {ACKSENT, LowerDown, 0, {}, STARTING, ""},
        {OPENED, LowerDown, 0, {}, STARTING, "down "},
        {INITIAL, Open, 0, {}, STARTING, "starting "},
        {CLOSED, Open, 0, {CONFREQ}, REQSENT, ""},
        {CLOSED, Open, OPT_SILENT, {}, STOPPED, ""},
        {CLOSING, Open, 0, {}, STOPPING, ""},
        {OPENED, OpenRestart, OPT_RESTART, {CONFREQ}, REQSENT, "down "},
        {STARTING, Close, 0, {}, INITIAL, ""},
        {STOPPED, Close, 0, {}, CLOSED, ""},
        {STOPPING, Close, 0, {}, CLOSING, ""},
        {REQSENT, Close, 0, {TERMREQ}, CLOSING, ""},
        {OPENED, Close, 0, {TERMREQ}, CLOSING, "down "},
        {CLOSED, RcvConfReq, 0, {TERMACK}, CLOSED, ""},
        {CLOSING, RcvConfReq, 0, {}, CLOSING, ""},
        {STOPPED, RcvConfReq, 0, {CONFREQ, CONFACK}, ACKSENT, ""},
        {ACKRCVD, RcvConfReq, 0, {CONFACK}, OPENED, "up "},
        {OPENED, RcvConfReq, 0, {CONFREQ, CONFACK}, ACKSENT, "down "},
        {CLOSED, RcvTermReq, 0, {TERMACK}, CLOSED, ""},
        {ACKSENT, RcvTermReq, 0, {TERMACK}, REQSENT, ""},
        {OPENED, RcvTermReq, 0, {TERMACK}, STOPPING, "down "},
        {CLOSING, RcvTermAck, 0, {}, CLOSED, "finished "},
        {STOPPING, RcvTermAck, 0, {}, STOPPED, "finished "},
        {ACKRCVD, RcvTermAck, 0, {}, REQSENT, ""},
        // Down and renegotiating: never left in Opened after `down`.
        {OPENED, RcvTermAck, 0, {CONFREQ}, REQSENT, "down "},
        {CLOSED, ProtReject, 0, {}, CLOSED, "finished "},
        {ACKSENT, ProtReject, 0, {}, STOPPED, "finished "},
        {OPENED, ProtReject, 0, {TERMREQ}, STOPPING, "down "},
        {CLOSING, Timeout, 0, {}, CLOSED, "finished "},
        {REQSENT, Timeout, OPT_PASSIVE, {}, STOPPED, ""},
        {REQSENT, Timeout, 0, {}, STOPPED, "finished "},
    };
    const uint16_t kProto = 0x8057;  // a protocol of its own: LCP and IPCP stay out of it
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(fsm_state_name(c.state)) + " event " + std::to_string(c.event));
        fsm f;
        f.protocol = kProto;
        f.callbacks = &kBare;
        fsm_init(&f);
        f.state = c.state;
        f.options = c.options;
        f.retransmits_left = 0;  // for the timeouts: nothing left to send
        g_calls.clear();
        sent();
        switch (c.event) {
            case LowerUp: fsm_lowerup(&f); break;
            case LowerDown: fsm_lowerdown(&f); break;
            case Open:
            case OpenRestart: fsm_open(&f); break;
            case Close: fsm_close(&f); break;
            case RcvConfReq: fsm_input(&f, cp(CONFREQ, 9).data(), 4); break;
            case RcvTermReq: fsm_input(&f, cp(TERMREQ, 9).data(), 4); break;
            case RcvTermAck: fsm_input(&f, cp(TERMACK, 9).data(), 4); break;
            case ProtReject: fsm_protreject(&f); break;
            case Timeout: fsm_timeout(&f); break;
        }
        std::vector<uint8_t> codes;
        for (auto &fr : sent())
            if (fr.protocol == kProto) codes.push_back(fr.payload[0]);
        EXPECT_EQ(codes, c.codes);
        EXPECT_EQ(f.state, c.next) << fsm_state_name(f.state);
        EXPECT_EQ(g_calls, c.calls);
        untimeout(fsm_timeout, &f);  // f dies here: no timer may outlive it
    }
}

// Server mode (never used by the supervisor): the host requires the terminal
// to authenticate but does not ask it to, so an opened LCP is closed again.
TEST_F(Negotiation, RequiredAuthenticationThatWasNeverAskedEndsTheLink) {
    endLink();
    startLink(1);
    lcp(cp(CONFACK, 1, ourLcpOptions()));
    lcp(cp(CONFREQ, 0x42, kPeerMagic));
    auto out = sentOf(kProtoLcp);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back()[0], TERMREQ);
    EXPECT_EQ(lcp_fsm[0].state, CLOSING);
    EXPECT_EQ(phase.load(), PHASE_TERMINATE);
    EXPECT_TRUE(sentOf(kProtoIpcp).empty());
    lcp(cp(TERMACK, out.back()[1]));
    EXPECT_EQ(phase.load(), PHASE_DEAD);
}
