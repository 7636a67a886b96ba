// UDP over the process-wide stack against the peer stack: matching,
// binding to the first sender, checksums, one held datagram, clamped
// writes, reads, handlers and ICMP notices.
#include "socket_fixture.h"

#include <cstring>

namespace ryn::inet::testing {
namespace {

using SocketUdp = SocketLayerTest;

std::string held(sock_type *s) {
    uint8_t buf[20000];
    int n = udp_read(s, buf, sizeof buf);
    return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(std::max(n, 0)));
}

// A raw IPv4/UDP datagram from the peer to us; sum: 0 = no checksum, -1 =
// right, otherwise that value.
std::vector<uint8_t> datagram(uint16_t sport, uint16_t dport, const std::string &data, int sum = -1,
                              uint32_t src = kPeerAddr, uint32_t dst = kOurAddr) {
    const size_t ulen = udp::kHeaderLen + data.size();
    std::vector<uint8_t> d(ip::kHeaderLen + ulen);
    writeIpv4Header(d.data(), 0, static_cast<uint16_t>(d.size()), 1, 64, ip::kProtoUdp, src, dst);
    uint8_t *u = d.data() + ip::kHeaderLen;
    put16(u + udp::kSrcPort, sport);
    put16(u + udp::kDstPort, dport);
    put16(u + udp::kLength, static_cast<uint16_t>(ulen));
    std::memcpy(u + udp::kHeaderLen, data.data(), data.size());
    if (sum == -1) {
        storeChecksum(u + udp::kChecksum,
                      addChecksum(pseudoHeaderSum(src, dst, ip::kProtoUdp, static_cast<uint16_t>(ulen)),
                                  inchksum(u, ulen)));
    } else {
        put16(u + udp::kChecksum, static_cast<uint16_t>(sum));
    }
    return d;
}

class UdpPeer : public SocketUdp {
protected:
    // A UDP socket on the peer stack.
    TcpSocket *peerUdp(int index, uint16_t localPort, uint16_t ourPort) {
        TcpSocket *ps = &peer->tcp().pool(index);
        EXPECT_EQ(peer->udp().open(ps, localPort, kOurAddr, ourPort, nullptr, nullptr), 1);
        return ps;
    }
    void peerWrite(TcpSocket *ps, const std::string &text) {
        EXPECT_EQ(peer->udp().write(ps, reinterpret_cast<const uint8_t *>(text.data()), static_cast<int>(text.size())),
                  static_cast<int>(text.size()));
        pump();
    }
    std::string peerHeld(TcpSocket *ps) {
        uint8_t buf[20000];
        int n = peer->udp().read(ps, buf, static_cast<int>(sizeof buf));
        return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(std::max(n, 0)));
    }
    void inject(const std::vector<uint8_t> &d) {
        theStack()->inject(d.data(), d.size());
        pump();
    }
};

TEST_F(UdpPeer, OpenSocketBindsToItsFirstSenderAndAnswersIt) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, 0, 0, nullptr), 1);
    EXPECT_EQ(u->ip_type, ip::kProtoUdp);
    EXPECT_EQ(u->local_port, 5000);
    EXPECT_EQ(u->signature, kUdpSignature);
    EXPECT_EQ(sock_sselect(u, 1), 1);
    EXPECT_EQ(_chk_socket(u), 1);
    EXPECT_EQ(sock_established(u), 1);

    TcpSocket *a = peerUdp(0, 6000, 5000);
    peerWrite(a, "hello");
    EXPECT_EQ(sock_sselect(u, 2), 2);
    EXPECT_EQ(held(u), "hello");
    EXPECT_EQ(u->peer_addr, kPeerAddr);
    EXPECT_EQ(u->peer_port, 6000);
    EXPECT_EQ(u->local_addr, kOurAddr);

    EXPECT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("reply"), 5), 5);
    pump();
    EXPECT_EQ(peerHeld(a), "reply");

    // Bound now: another sender's datagram finds no socket, and the port
    // unreachable notice kills that sender's socket.
    TcpSocket *b = peerUdp(1, 6001, 5000);
    peerWrite(b, "intruder");
    EXPECT_EQ(sock_sselect(u, 2), 0);
    EXPECT_EQ(b->ip_type, 0) << "cancelled by the ICMP notice";
    EXPECT_EQ(b->error, 7);
    EXPECT_EQ(a->ip_type, ip::kProtoUdp) << "the other socket is untouched";
    // The bound pair still works.
    peerWrite(a, "again");
    EXPECT_EQ(held(u), "again");
    sock_close(u);
    EXPECT_EQ(u->ip_type, 0);
    EXPECT_EQ(u->error, 3);
}

TEST_F(UdpPeer, ExactMatchWinsOverAnOpenSocketOnTheSamePort) {
    // An open socket listed first, then one bound to the peer's port 6000,
    // also on port 5000 (the port search is bypassed by opening directly).
    sock_type *open = sock_find_free();
    sock_type *exact = sock_find_free();
    ASSERT_EQ(udp_open(exact, 5000, kPeerAddr, 6000, nullptr), 1);
    ASSERT_EQ(udp_open(open, 5001, 0xFFFFFFFFu, 0, nullptr), 1);
    open->local_port = 5000;  // both on 5000; `open` is at the head of the list

    TcpSocket *a = peerUdp(0, 6000, 5000);
    TcpSocket *b = peerUdp(1, 6002, 5000);
    peerWrite(a, "to exact");
    peerWrite(b, "to open");
    EXPECT_EQ(held(exact), "to exact");
    EXPECT_EQ(held(open), "to open");
    EXPECT_EQ(open->peer_addr, 0xFFFFFFFFu) << "a broadcast peer is not rebound";
    sock_close(open);
    sock_close(exact);
}

TEST_F(UdpPeer, SecondDatagramReplacesTheFirst) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    TcpSocket *a = peerUdp(0, 6000, 5000);
    peerWrite(a, "first datagram");
    peerWrite(a, "second");
    EXPECT_EQ(u->rx_len, 6);
    EXPECT_EQ(held(u), "second");
    EXPECT_EQ(held(u), "");
    // An empty datagram leaves the buffer alone.
    peerWrite(a, "third");
    peerWrite(a, "");
    EXPECT_EQ(held(u), "third");
}

TEST_F(UdpPeer, ChecksumZeroIsAcceptedAndAWrongOneDropped) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    inject(datagram(6000, 5000, "no sum", 0));
    EXPECT_EQ(held(u), "no sum");
    inject(datagram(6000, 5000, "good sum"));
    EXPECT_EQ(held(u), "good sum");
    inject(datagram(6000, 5000, "bad sum", 0x1234));
    EXPECT_EQ(held(u), "");
    // A forged datagram cannot bind an open socket either.
    sock_type *o = sock_find_free();
    ASSERT_EQ(udp_open(o, 5005, 0, 0, nullptr), 1);
    inject(datagram(6000, 5005, "forged", 0x1234));
    EXPECT_EQ(o->peer_addr, 0u);
    // Length fields below 8 or beyond the datagram are dropped.
    auto shortLen = datagram(6000, 5000, "xyz", 0);
    put16(shortLen.data() + ip::kHeaderLen + udp::kLength, 7);
    inject(shortLen);
    auto longLen = datagram(6000, 5000, "xyz", 0);
    put16(longLen.data() + ip::kHeaderLen + udp::kLength, 100);
    inject(longLen);
    EXPECT_EQ(u->rx_len, 0);
}

TEST_F(UdpPeer, NoChecksumModeSendsZeroAndTheSumIsRightOtherwise) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    std::vector<uint8_t> f;
    ASSERT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("abc"), 3), 3);
    ASSERT_TRUE(takeOurFrame(f));
    auto ipv = Ipv4View::parse(f.data(), f.size());
    ASSERT_TRUE(ipv);
    EXPECT_EQ(ipv->protocol(), ip::kProtoUdp);
    EXPECT_EQ(ipv->totalLen(), 31u);
    auto dg = UdpView::parse(ipv->payload(), ipv->payloadLen());
    ASSERT_TRUE(dg);
    EXPECT_TRUE(dg->hasChecksum());
    EXPECT_TRUE(dg->checksumOk(kOurAddr, kPeerAddr));
    EXPECT_EQ(dg->srcPort(), 5000);
    EXPECT_EQ(dg->dstPort(), 6000);

    sock_mode(u, sockmode::kUdpNoChecksum);
    ASSERT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("abc"), 3), 3);
    ASSERT_TRUE(takeOurFrame(f));
    ipv = Ipv4View::parse(f.data(), f.size());
    dg = UdpView::parse(ipv->payload(), ipv->payloadLen());
    ASSERT_TRUE(dg);
    EXPECT_FALSE(dg->hasChecksum());
    // ... and the peer takes it.
    TcpSocket *a = peerUdp(0, 6000, 5000);
    ASSERT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("zero"), 4), 4);
    pump();
    EXPECT_EQ(peerHeld(a), "zero");
}

TEST_F(UdpPeer, OversizedWritesAreClampedToOneDatagram) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    const int maxPayload = 1500 - 28;
    std::string big(3000, 'u');
    for (int i = 0; i < 3000; ++i) big[static_cast<size_t>(i)] = static_cast<char>('a' + i % 26);
    const auto *p = reinterpret_cast<const uint8_t *>(big.data());
    std::vector<uint8_t> f;

    EXPECT_EQ(udp_write(u, p, 3000), maxPayload);
    ASSERT_TRUE(takeOurFrame(f));
    EXPECT_EQ(f.size(), 1500u);
    EXPECT_FALSE(takeOurFrame(f)) << "one datagram only";
    EXPECT_EQ(sock_fastwrite(u, p, 70000), maxPayload);
    ASSERT_TRUE(takeOurFrame(f));
    EXPECT_EQ(f.size(), 1500u);
    EXPECT_FALSE(takeOurFrame(f));
    EXPECT_EQ(udp_write(u, p, -5), -1);

    // sock_write and sock_enqueue send the rest in further datagrams.
    TcpSocket *a = peerUdp(0, 6000, 5000);
    EXPECT_EQ(sock_write(u, p, 3000), 3000);
    std::vector<size_t> sizes;
    while (takeOurFrame(f)) sizes.push_back(f.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{1500, 1500, 28 + 3000 - 2 * maxPayload}));
    EXPECT_EQ(sock_enqueue(u, p, 3000), 3000);
    sizes.clear();
    std::vector<uint8_t> last;
    while (takeOurFrame(f)) {
        sizes.push_back(f.size());
        last = f;
    }
    EXPECT_EQ(sizes.size(), 3u);
    // The peer holds the last datagram: the tail of the text.
    peer->inject(last.data(), last.size());
    pump();
    EXPECT_EQ(peerHeld(a), big.substr(2 * static_cast<size_t>(maxPayload)));
}

TEST_F(UdpPeer, ReadTakesPartsDiscardsAndClampsToCapacity) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    TcpSocket *a = peerUdp(0, 6000, 5000);
    peerWrite(a, "abcdef");
    uint8_t buf[8] = {};
    EXPECT_EQ(udp_read(u, buf, 3), 3);
    EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);
    EXPECT_EQ(sock_fastread(u, buf, 8), 3);
    EXPECT_EQ(std::memcmp(buf, "def", 3), 0);
    EXPECT_EQ(udp_read(u, buf, 8), 0);

    // Null buffer with room for it all: discarded, its length returned.
    peerWrite(a, "discard me");
    EXPECT_EQ(udp_read(u, nullptr, 100), 10);
    EXPECT_EQ(u->rx_len, 0);
    // Null buffer with less: that many bytes dropped from the front.
    peerWrite(a, "0123456789");
    EXPECT_EQ(udp_read(u, nullptr, 4), 4);
    EXPECT_EQ(held(u), "456789");
    // len < 0: everything held (no buffer needed to say how much).
    peerWrite(a, "all of it");
    EXPECT_EQ(udp_read(u, nullptr, -1), 9);

    // A datagram larger than a small receive buffer is cut to it.
    std::vector<uint8_t> store(4);
    sock_setbuf(u, store.data(), 4);
    peerWrite(a, "truncated");
    EXPECT_EQ(u->rx_len, 4);
    EXPECT_EQ(held(u), "trun");
    sock_close(u);
    EXPECT_EQ(u->rx_data, u->rx_store);
}

struct HandlerLog {
    std::string data;
    uint16_t pseudoLen = 0, srcPort = 0;
    int calls = 0;
};
HandlerLog g_handled;
int udpHandler(sock_type *, const uint8_t *data, int len, const uint8_t *pseudo, const uint8_t *udpHdr) {
    ++g_handled.calls;
    g_handled.data.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(len));
    g_handled.pseudoLen = get16(pseudo + 10);
    g_handled.srcPort = get16(udpHdr + udp::kSrcPort);
    return len;
}

TEST_F(UdpPeer, DataHandlerTakesDatagramsInsteadOfTheBuffer) {
    g_handled = {};
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, 0, 0, udpHandler), 1);
    TcpSocket *a = peerUdp(0, 6000, 5000);
    peerWrite(a, "to the handler");
    EXPECT_EQ(g_handled.calls, 1);
    EXPECT_EQ(g_handled.data, "to the handler");
    EXPECT_EQ(g_handled.pseudoLen, 8 + 14);
    EXPECT_EQ(g_handled.srcPort, 6000);
    EXPECT_EQ(u->rx_len, 0);
    sock_close(u);
}

TEST_F(UdpPeer, CancelWithoutMatchTellsEverySocketWithANotifyFunction) {
    static int told = 0;
    told = 0;
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    u->notify_fn = [](TcpSocket *, int kind) { told += kind == icmp::kUnreachable ? 1 : 100; };
    // The peer has no socket on 6000: its port unreachable notice quotes our
    // datagram; the exact match finds u and kills it.
    ASSERT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("x"), 1), 1);
    pump();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(u->ip_type, 0);
    EXPECT_EQ(u->error, 7);
    EXPECT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("x"), 1), -1) << "a dead socket sends nothing";
    sock_close(u);
}

// An ICMP notice from the peer quoting the datagram our socket sent.
std::vector<uint8_t> icmpNotice(const std::vector<uint8_t> &ours, uint8_t type, uint8_t code, uint32_t rest) {
    const size_t quoted = ip::kHeaderLen + udp::kHeaderLen;
    std::vector<uint8_t> d(ip::kHeaderLen + icmp::kHeaderLen + quoted);
    writeIpv4Header(d.data(), 0, static_cast<uint16_t>(d.size()), 9, 64, ip::kProtoIcmp, kPeerAddr, kOurAddr);
    uint8_t *m = d.data() + ip::kHeaderLen;
    m[icmp::kType] = type;
    m[icmp::kCode] = code;
    put32(m + icmp::kRest, rest);
    std::memcpy(m + icmp::kData, ours.data(), quoted);
    storeChecksum(m + icmp::kChecksum, inchksum(m, icmp::kHeaderLen + quoted));
    return d;
}

TEST_F(UdpPeer, RedirectKeepsTheExactSocketAndUnreachableKillsAnOpenOne) {
    static int kinds = 0;
    kinds = 0;
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    u->notify_fn = [](TcpSocket *, int kind) { kinds = kinds * 100 + kind; };
    ASSERT_EQ(udp_write(u, reinterpret_cast<const uint8_t *>("r"), 1), 1);
    std::vector<uint8_t> ours;
    ASSERT_TRUE(takeOurFrame(ours));
    inject(icmpNotice(ours, icmp::kRedirect, 1, 0x01010103));
    EXPECT_EQ(kinds, 5);
    EXPECT_EQ(u->ip_type, ip::kProtoUdp) << "a redirect does not end the socket";
    EXPECT_EQ(u->error, 51);

    // A socket open to anyone (peer port 0) is found by its port alone.
    sock_type *o = sock_find_free();
    ASSERT_EQ(udp_open(o, 5001, 0, 0, nullptr), 1);
    std::vector<uint8_t> fake = ours;
    put16(fake.data() + ip::kHeaderLen + udp::kSrcPort, 5001);
    put16(fake.data() + ip::kHeaderLen + udp::kDstPort, 7777);
    inject(icmpNotice(fake, icmp::kUnreachable, 3, 0));
    EXPECT_EQ(o->ip_type, 0);
    EXPECT_EQ(o->error, 7);
    EXPECT_EQ(u->ip_type, ip::kProtoUdp);
    EXPECT_EQ(kinds, 5) << "only the socket found is told";
    sock_close(u);
    sock_close(o);
}

TEST_F(UdpPeer, PortSearchSkipsPortsInUseByUdp) {
    sock_type *u = sock_find_free();
    sock_type *v = sock_find_free();
    ASSERT_EQ(udp_open(u, 0, kPeerAddr, 6000, nullptr), 1);
    ASSERT_EQ(udp_open(v, 0, kPeerAddr, 6000, nullptr), 1);
    EXPECT_NE(u->local_port, 0);
    EXPECT_NE(u->local_port, v->local_port);
    // A TCP open picks yet another one.
    TcpSocket *ps = &peer->tcp().pool(0);
    peer->tcp().tcp_listen(ps, 7000, 0, 0, 0, now());
    sock_type *t = sock_find_free();
    ASSERT_EQ(tcp_open(t, 0, kPeerAddr, 7000, nullptr), 1);
    EXPECT_NE(t->local_port, u->local_port);
    EXPECT_NE(t->local_port, v->local_port);
    // A record reopened as TCP leaves the UDP list.
    ASSERT_EQ(tcp_open(u, 0, kPeerAddr, 7000, nullptr), 1);
    EXPECT_EQ(u->ip_type, ip::kProtoTcp);
    TcpSocket *a = peerUdp(1, 6000, v->local_port);
    peerWrite(a, "still v");
    EXPECT_EQ(held(v), "still v");
}

}  // namespace
}  // namespace ryn::inet::testing
