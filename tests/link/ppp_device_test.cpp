// The PPP device over a line whose other end the test holds: the first LCP
// request, the service pass, IP in both directions, the MTU, flags, the
// callout timers and the demultiplexer.
#include "link/auth.h"
#include "link/lcp_link.h"
#include "link/link_config.h"
#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "link/ppp_protocols.h"
#include "link/serial_line.h"
#include "link/ppp_wire.h"
#include "stack/timers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

namespace {
using namespace ryn::ppp;
using namespace ryn::test;

std::atomic<uint32_t> g_now{100000};
uint32_t fakeTick() { return g_now.load(); }

class Device : public ::testing::Test {
protected:
    void SetUp() override {
        ryn::stack::setTickSourceForTesting(fakeTick);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        peer_ = sv[1];
        ryn::link::adoptLineForTesting(sv[0]);
        Init_Config();
        ppp_init();
        ASSERT_EQ(ppp_enter(0), 0);
    }
    void TearDown() override {
        // A test's own protocol table knows no Terminate exchange: drop the
        // line first so the close does not wait for one.
        if (findProtocol(kProtoLcp) != &kLcpProtocol) StopDTEsock();
        closeLink();
        StopDTEsock();
        if (peer_ >= 0) close(peer_);
        ryn::ppp::setControlProtocolsForTesting({});
        ryn::link::setLineSysCallsForTesting(nullptr);
        ryn::stack::setTickSourceForTesting(nullptr);
    }
    // Everything the host wrote so far, as raw line bytes.
    Bytes drain() {
        Bytes out;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(peer_, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
        return out;
    }
    std::vector<Frame> frames(const Bytes &line) { return decodeFrames(line); }
    void send(const Bytes &line) {
        ASSERT_EQ(::send(peer_, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
    }
    // ppp_close waits for LCP's Terminate exchange; the peer's Terminate-Ack
    // is on the line before the close starts, so no termination timer (the
    // tick is frozen) has to run out.
    void closeLink() {
        if (peer_ >= 0 && sockdtefd.load() >= 0) {
            Bytes ack = onLine(withFcs({0xFF, 0x03, 0xC0, 0x21, 0x06, 0x01, 0x00, 0x04}));
            ASSERT_EQ(::send(peer_, ack.data(), ack.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ack.size()));
        }
        ppp_close();
    }
    // Up and running IP, as IPCP would leave it.
    void ipUp() {
        ASSERT_EQ(sifaddr(0, htonl(0x01010101), htonl(0x01010102), htonl(0xFFFFFFFC)), 1);
        ASSERT_EQ(sifup(0), 1);
        phase = PHASE_NETWORK;
    }
    int peer_ = -1;
};

TEST_F(Device, EnterSendsTheFirstLcpConfigureRequest) {
    Bytes line = drain();
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.front(), 0x7E);
    for (size_t i = 0; i < line.size(); ++i) ASSERT_GE(line[i], 0x20) << "control byte not escaped at " << i;
    auto f = frames(line);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].protocol, kProtoLcp);
    uint32_t m = lcpRequestMagic();
    Bytes expect = {0x01, 0x01, 0x00, 0x12, 0x01, 0x04, 0x05, 0xDC, 0x05, 0x06, static_cast<uint8_t>(m >> 24),
                    static_cast<uint8_t>(m >> 16), static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m), 0x07,
                    0x02, 0x08, 0x02};
    EXPECT_EQ(f[0].payload, expect);
    EXPECT_NE(m, 0u);
    EXPECT_EQ(ppp_is_running(), 1);
    EXPECT_EQ(ppp_enter(0), -1);  // a device is already open
}

TEST_F(Device, ServicePassEndsTheLinkOnRestartOrLineLoss) {
    drain();
    EXPECT_EQ(ppp_run(1), 0);
    // "CLIENT" inside a longer read is frame bytes, not a restart.
    send({'C', 'L', 'I', 'E', 'N', 'T', 'X'});
    EXPECT_EQ(ppp_run(1), 0);
    send({'C', 'L', 'I', 'E', 'N', 'T'});
    EXPECT_EQ(ppp_run(1), -1);
    EXPECT_EQ(phase.load(), PHASE_DEAD);
    ppp_close();
    ASSERT_EQ(ppp_enter(0), 0);
    EXPECT_EQ(ppp_run(0), 0);
    close(peer_);
    peer_ = -1;
    EXPECT_EQ(ppp_run(1), -1);  // hang-up
    EXPECT_EQ(sockdtefd.load(), -1);
    EXPECT_EQ(ppp_run(1), -1);
}

TEST_F(Device, ReportsIpUpOncePerLink) {
    drain();
    ipUp();
    EXPECT_EQ(ppp_run(0), 0);  // without report the first pass is not consumed
    EXPECT_EQ(ppp_run(1), 1);
    EXPECT_EQ(ppp_run(1), 0);
    IpAddresses a = currentAddresses();
    EXPECT_EQ(a.ours, 0x01010101u);
    EXPECT_EQ(a.his, 0x01010102u);
    EXPECT_EQ(a.mask, 0xFFFFFFFCu);
}

TEST_F(Device, ReceivedDatagramsAreQueuedOnlyWhileIpIsUp) {
    drain();
    Bytes dgram(1500, 0);
    for (size_t i = 0; i < dgram.size(); ++i) dgram[i] = static_cast<uint8_t>(i * 7);
    Bytes full = {0xFF, 0x03, 0x00, 0x21};
    full.insert(full.end(), dgram.begin(), dgram.end());
    send(onLine(withFcs(full)));
    ppp_run(0);
    EXPECT_EQ(queuedDatagrams(), 0u);  // IP not up yet: dropped

    ipUp();
    // A full-size datagram with its 4 header bytes (1506 bytes with FCS), and
    // a compressed one (no FF 03, one protocol byte).
    send(onLine(withFcs(full)));
    send(onLine(withFcs({0x21, 0x45, 0x00, 0x01})));
    for (int i = 0; i < 100 && queuedDatagrams() < 2; ++i) ppp_run(0);
    ASSERT_EQ(queuedDatagrams(), 2u);
    QueuedDatagram *d = takeDatagram();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Bytes(d->data, d->data + d->length), dgram);
    freeDatagram(d);
    d = takeDatagram();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Bytes(d->data, d->data + d->length), (Bytes{0x45, 0x00, 0x01}));
    freeDatagram(d);
    EXPECT_EQ(takeDatagram(), nullptr);
    std::lock_guard<std::mutex> lock(pppLock());
    EXPECT_EQ(handle_ip_packet(1, dgram.data(), 10), 0);  // another unit
}

// A stack that stops reading cannot make the terminal fill memory.
TEST_F(Device, TheReceiveQueueIsBounded) {
    drain();
    ipUp();
    const Bytes dgram = {0x45, 0x00, 0x00, 0x14};
    {
        std::lock_guard<std::mutex> lock(pppLock());
        for (size_t i = 0; i < kMaxQueuedDatagrams; ++i) ASSERT_EQ(handle_ip_packet(ifunit.load(), dgram.data(), 4), 1);
        EXPECT_EQ(handle_ip_packet(ifunit.load(), dgram.data(), 4), 0);
    }
    EXPECT_EQ(queuedDatagrams(), kMaxQueuedDatagrams);
    freeDatagram(takeDatagram());
    {
        std::lock_guard<std::mutex> lock(pppLock());
        EXPECT_EQ(handle_ip_packet(ifunit.load(), dgram.data(), 4), 1);  // room again
    }
    while (QueuedDatagram *d = takeDatagram()) freeDatagram(d);
}

TEST_F(Device, DatagramsAboveTheMtuAreRefusedNeverCut) {
    drain();
    std::vector<uint8_t> room(4 + 1501, 0x45);
    uint8_t *dgram = room.data() + 4;
    EXPECT_EQ(ppp_dev_xmit(0, dgram, 20), 1);  // IP not up
    ipUp();
    EXPECT_EQ(ppp_dev_mtu(0), 1500);
    EXPECT_EQ(ppp_dev_xmit(0, dgram, 1501), 1);
    EXPECT_TRUE(drain().empty());
    ppp_send_config(0, 576, 0xFFFFFFFFu, 0, 0);
    EXPECT_EQ(ppp_dev_mtu(0), 576);
    EXPECT_EQ(ppp_dev_xmit(0, dgram, 577), 1);
    EXPECT_TRUE(drain().empty());
    ASSERT_EQ(ppp_dev_xmit(0, dgram, 576), 0);
    auto f = frames(drain());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].payload, Bytes(dgram, dgram + 576));
    EXPECT_EQ(ppp_dev_xmit(0, nullptr, 0), 0);
    EXPECT_EQ(ppp_dev_xmit(3, dgram, 10), -1);
}

TEST_F(Device, NegotiatedMapAndCompressionOnTheWire) {
    drain();
    ipUp();
    ppp_send_config(0, 1500, 0x000A0000u, 1, 1);
    uint8_t room[4 + 6] = {0, 0, 0, 0, 0x01, 0x11, 0x13, 0x7D, 0x7E, 0x41};
    g_now += 2000;
    ASSERT_EQ(ppp_dev_xmit(0, room + 4, 6), 0);
    Bytes line = drain();
    Bytes head(line.begin(), line.begin() + 11);
    EXPECT_EQ(head, (Bytes{0x7E, 0x21, 0x01, 0x7D, 0x31, 0x7D, 0x33, 0x7D, 0x5D, 0x7D, 0x5E}));
}

TEST_F(Device, LeadingFlagAfterIdleOrACutFrame) {
    drain();
    ipUp();
    uint8_t room[4 + 8] = {};
    g_now += 2000;
    ASSERT_EQ(ppp_dev_xmit(0, room + 4, 8), 0);
    EXPECT_EQ(drain().front(), 0x7E);  // 2 s after the last frame
    g_now += 10;
    ASSERT_EQ(ppp_dev_xmit(0, room + 4, 8), 0);
    EXPECT_NE(drain().front(), 0x7E);  // 10 ms after it

    // The line takes only part of the next frame and then no more...
    static int budget;
    budget = 5;
    static const ryn::link::LineSysCalls stalling{
        [](int fd, const void *b, size_t n) -> ssize_t {
            if (budget <= 0) {
                errno = EAGAIN;
                return -1;
            }
            size_t k = std::min(n, static_cast<size_t>(budget));
            budget -= static_cast<int>(k);
            return write(fd, b, k);
        },
        [](int fd, void *b, size_t n) { return read(fd, b, n); },
        [](pollfd *, nfds_t, int) { return 0; },
    };
    ryn::link::setLineSysCallsForTesting(&stalling);
    g_now += 10;
    EXPECT_EQ(ppp_dev_xmit(0, room + 4, 8), 0);
    ryn::link::setLineSysCallsForTesting(nullptr);
    drain();
    // ...so the frame after it opens with a flag even 10 ms later, and the
    // peer gets it intact.
    g_now += 10;
    room[4] = 0x45;
    ASSERT_EQ(ppp_dev_xmit(0, room + 4, 8), 0);
    Bytes line = drain();
    EXPECT_EQ(line.front(), 0x7E);
    FrameDecoder dec;
    Collector c;
    const uint8_t cut[] = {0x21, 0x00, 0x00};  // the peer's view: a cut frame first
    dec.feed(&line[0], 1, c);
    dec.feed(cut, sizeof cut, c);
    dec.feed(line.data(), line.size(), c);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].payload[0], 0x45);
}

TEST_F(Device, TransmitMapRules) {
    struct Case {
        const char *name;
        uint32_t map[8];
        bool accepted;
    } cases[] = {
        {"plain", {0, 0, 0, 0x60000000u, 0, 0, 0, 0}, true},
        {"0x20..0x3F cannot be escaped", {0, 0xFFFFFFFFu, 0, 0, 0, 0, 0, 0}, true},
        {"0x41 and 0x61 both", {0, 0, 1u << 1, 1u << 1, 0, 0, 0, 0}, false},
        {"0xC0 and 0xE0 both", {0, 0, 0, 0, 0, 0, 1u, 1u}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t before[8] = {0, 0, 0, 0x60000000u, 0, 0, 0, 0x80000000u};
        ppp_set_xaccm(0, before);
        ppp_set_xaccm(0, c.map);
        ppp *d = ppp_dev(0);
        ASSERT_NE(d, nullptr);
        EXPECT_FALSE(d->encoder.escapes(0x21));
        EXPECT_FALSE(d->encoder.escapes(0x5E));
        EXPECT_TRUE(d->encoder.escapes(0x7D));
        EXPECT_TRUE(d->encoder.escapes(0x7E));
        EXPECT_EQ(d->encoder.escapes(0xFF), !c.accepted);  // the old map's bit stays when refused
    }
}

// Records which protocol handler saw what.
std::vector<std::string> g_seen;
bool g_lcpOpen = false;
Bytes g_rejected;
const ControlProtocol kFakeLcp{
    kProtoLcp, "LCP", nullptr, [](int, uint8_t *, int) { g_seen.push_back("lcp"); }, nullptr, nullptr, nullptr,
    nullptr, nullptr, [](int) { return g_lcpOpen; },
    [](int, uint8_t *frame, int len) { g_rejected.assign(frame, frame + len); g_seen.push_back("protrej"); },
};
const ControlProtocol kFakeIpcp{
    kProtoIpcp, "IPCP", nullptr, [](int, uint8_t *, int) { g_seen.push_back("ipcp"); },
    [](int) { g_seen.push_back("ipcp-rejected"); }, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};
const ControlProtocol *const kFakeTable[] = {&kFakeLcp, &kFakeIpcp};

TEST_F(Device, DemultiplexesByProtocol) {
    drain();
    setControlProtocolsForTesting(kFakeTable);
    struct Case {
        const char *name;
        bool lcpOpen;
        Bytes body;
        std::vector<std::string> seen;
    } cases[] = {
        {"LCP before LCP is open", false, {0xFF, 0x03, 0xC0, 0x21, 1, 1, 0, 4}, {"lcp"}},
        {"IPCP before LCP is open: discarded", false, {0xFF, 0x03, 0x80, 0x21, 1, 1, 0, 4}, {}},
        {"IPCP once LCP is open", true, {0xFF, 0x03, 0x80, 0x21, 1, 1, 0, 4}, {"ipcp"}},
        {"CCP while LCP is open: Protocol-Reject", true, {0xFF, 0x03, 0x80, 0xFD, 1, 1, 0, 4}, {"protrej"}},
        {"CCP before LCP is open: discarded", false, {0xFF, 0x03, 0x80, 0xFD, 1, 1, 0, 4}, {}},
        {"IP while IP is down: not a control protocol", true, {0xFF, 0x03, 0x00, 0x21, 0x45}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_seen.clear();
        g_lcpOpen = c.lcpOpen;
        send(onLine(withFcs(c.body)));
        ppp_run(0);
        EXPECT_EQ(g_seen, c.seen);
    }
    // The reject carries the whole frame: header, protocol, then the payload.
    EXPECT_EQ(g_rejected, (Bytes{0xFF, 0x03, 0x80, 0xFD, 1, 1, 0, 4}));
    g_seen.clear();
    demuxprotrej(0, kProtoIpcp);
    demuxprotrej(0, 0x80FD);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"ipcp-rejected"}));
}

TEST_F(Device, ProtocolRejectGoesOutAsLcp) {
    drain();
    uint8_t frame[] = {0xFF, 0x03, 0x80, 0xFD, 0x01, 0x02, 0x00, 0x04};
    lcp_sprotrej(0, frame, sizeof frame);
    auto f = frames(drain());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].protocol, kProtoLcp);
    ASSERT_EQ(f[0].payload.size(), 4u + 6u);
    EXPECT_EQ(f[0].payload[0], PROTREJ);
    EXPECT_EQ(Bytes(f[0].payload.begin() + 4, f[0].payload.end()), (Bytes{0x80, 0xFD, 0x01, 0x02, 0x00, 0x04}));
}

// An LCP that sends nothing and, on close, ends the link at once.
const ControlProtocol kInertLcp{
    kProtoLcp, "LCP", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, [](int unit) { link_terminated(unit); },
    nullptr, nullptr,
};

int g_fired = 0;
void countFire(void *arg) { g_fired += *static_cast<int *>(arg); }

TEST_F(Device, CalloutsFireInThePassAndNeverOnTheNextLink) {
    drain();
    static int one = 1, ten = 10;
    g_fired = 0;
    timeout(countFire, &one, 1);
    timeout(countFire, &ten, 2);
    untimeout(countFire, &ten);
    g_now += 1000;
    ppp_run(0);
    EXPECT_EQ(g_fired, 0);  // due strictly after its deadline
    g_now += 1;
    ppp_run(0);
    EXPECT_EQ(g_fired, 1);

    timeout(countFire, &ten, 1);  // set on this link...
    closeLink();
    // The next link without LCP's own restart timer, so the list must be empty.
    static const ControlProtocol *const kQuietTable[] = {&kInertLcp};
    setControlProtocolsForTesting(kQuietTable);
    ASSERT_EQ(ppp_enter(0), 0);
    g_now += 5000;
    ppp_run(0);
    EXPECT_EQ(g_fired, 1);  // ...never fires on the next one
    EXPECT_EQ(callouts().size(), 0u);
}

// A bridge thread keeps sending while the network thread services, closes
// and reopens the link and finally closes the line: no send may touch a
// freed device or a closed descriptor (run under the sanitizers).
TEST_F(Device, SendersRaceCloseAndReopenSafely) {
    drain();
    ipUp();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        uint8_t room[4 + 64] = {};
        while (!stop.load()) {
            if (ppp_dev_xmit(0, room + 4, 64) == 0) sent++;
            Bytes junk(256);
            (void)!read(peer_, junk.data(), junk.size());  // keep the line from filling
        }
    });
    // An LCP that ends at once: this is about the device, not the Terminate exchange.
    static const ControlProtocol *const kQuietTable[] = {&kInertLcp};
    setControlProtocolsForTesting(kQuietTable);
    for (int i = 0; i < 50; ++i) {
        ppp_run(0);
        ppp_close();
        ASSERT_EQ(ppp_enter(0), 0);
        ipUp();
    }
    ASSERT_TRUE([&] {
        for (int i = 0; i < 3000 && sent.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return sent.load() > 0;
    }());
    StopDTEsock();
    stop = true;
    sender.join();
    uint8_t room[4 + 8] = {};
    EXPECT_EQ(ppp_dev_xmit(0, room + 4, 8), 1);  // the line is gone: not sent
}

TEST(Callouts, OrderedByDeadlineEqualOnesInTheOrderSet) {
    CalloutList list;
    static int a, b, c, d;
    CalloutList::Fn f = [](void *) {};
    ASSERT_TRUE(list.add(f, &a, 500));
    ASSERT_TRUE(list.add(f, &b, 100));
    ASSERT_TRUE(list.add(f, &c, 500));
    ASSERT_TRUE(list.add(f, &d, 0xFFFFFFF0u));  // set just before the wrap: earliest
    list.remove(f, &a);
    list.remove(f, &a);  // not there any more: nothing
    std::vector<void *> order;
    CalloutList::Fn fn;
    void *arg;
    EXPECT_FALSE(list.popDue(0xFFFFFFF0u, fn, arg));
    while (list.popDue(1000, fn, arg)) order.push_back(arg);
    EXPECT_EQ(order, (std::vector<void *>{&d, &b, &c}));
}

}  // namespace
