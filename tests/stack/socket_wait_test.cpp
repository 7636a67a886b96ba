// The polling waits: establishment, data and close, with their single-pass
// results, handler results, expiry and error codes.
#include "socket_fixture.h"

namespace ryn::inet::testing {
namespace {

using SocketWait = SocketLayerTest;

int endWith7(sock_type *) { return 7; }

TEST_F(SocketWait, Delay0SinglePassReportsProgressThenEstablished) {
    TcpSocket *ps = &peer->tcp().pool(0);
    peer->tcp().tcp_listen(ps, 7000, 0, 0, 0, now());
    sock_type *s = sock_find_free();
    ASSERT_EQ(tcp_open(s, 0, kPeerAddr, 7000, nullptr), 1);
    int status = 99;
    EXPECT_EQ(_ip_delay0(s, -1, nullptr, &status), 1) << "still in SYN-SENT";
    EXPECT_EQ(status, 1);
    pump();
    EXPECT_EQ(_ip_delay0(s, -1, nullptr, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(_ip_delay0(s, 5, nullptr, nullptr), 0);
}

TEST_F(SocketWait, Delay0WaitsUntilEstablishedOrHandlerEnds) {
    TcpSocket *ps = &peer->tcp().pool(0);
    peer->tcp().tcp_listen(ps, 7000, 0, 0, 0, now());
    sock_type *s = sock_find_free();
    ASSERT_EQ(tcp_open(s, 0, kPeerAddr, 7000, nullptr), 1);
    int status = 0;
    EXPECT_EQ(_ip_delay0(s, 10, pumpHandler, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);

    sock_type *t = sock_find_free();
    toPeer.setDrop(true);
    ASSERT_EQ(tcp_open(t, 0, kPeerAddr, 7000, nullptr), 1);
    EXPECT_EQ(_ip_delay0(t, 10, endWith7, &status), 7);
    EXPECT_EQ(status, 7);
}

TEST_F(SocketWait, Delay0ExpiryClosesWithError12) {
    toPeer.setDrop(true);  // the SYN never arrives
    sock_type *s = sock_find_free();
    ASSERT_EQ(tcp_open(s, 0, kPeerAddr, 7000, nullptr), 1);
    int status = 0;
    const uint32_t start = now();
    EXPECT_EQ(_ip_delay0(s, 3, pumpHandler, &status), -1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(s->error, 12);
    EXPECT_GE(now() - start, 3000u);
    EXPECT_LT(now() - start, 3000u + 2 * stepMs);
    sock_close(s);
}

TEST_F(SocketWait, Delay0RefusedConnectionVanishes) {
    // No listener: the peer answers with a reset.
    sock_type *s = sock_find_free();
    ASSERT_EQ(tcp_open(s, 0, kPeerAddr, 7001, nullptr), 1);
    int status = 0;
    EXPECT_EQ(_ip_delay0(s, 10, pumpHandler, &status), -1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(s->error, tcperr::kRefused) << "the engine's reason is kept";

    // A record that never was a socket: vanished, error 11.
    sock_type *u = sock_find_free();
    EXPECT_EQ(_ip_delay0(u, -1, nullptr, &status), -1);
    EXPECT_EQ(u->error, 11);
    sock_close(s);
    sock_close(u);
}

TEST_F(SocketWait, Delay1ReportsDataExpiryAndLoss) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    int status = 0;
    EXPECT_EQ(_ip_delay1(s, -1, nullptr, &status), 1);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(peer->tcp().tcp_write(ps, reinterpret_cast<const uint8_t *>("ping"), 4, now()), 4);
    EXPECT_EQ(_ip_delay1(s, 10, pumpHandler, &status), 0);
    EXPECT_EQ(s->rx_len, 4);
    EXPECT_EQ(_ip_delay1(s, -1, nullptr, nullptr), 0);
    EXPECT_EQ(sock_fastread(s, nullptr, 4), 4);

    // The wait flushes what we buffered first.
    sock_noflush(s);
    ASSERT_EQ(sock_fastwrite(s, reinterpret_cast<const uint8_t *>("q"), 1), 1);
    EXPECT_EQ(_ip_delay1(s, -1, nullptr, nullptr), 1);
    pump();
    EXPECT_EQ(peerRead(ps), "q");

    // Nothing comes: error 13 and the socket is closed.
    const uint32_t start = now();
    EXPECT_EQ(_ip_delay1(s, 2, pumpHandler, &status), -1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(s->error, 13);
    EXPECT_GE(now() - start, 2000u);
    EXPECT_NE(s->state, TCP_ESTABLISHED);
    pump();
    EXPECT_EQ(ps->state, TCP_CLOSE_WAIT) << "the peer saw our FIN";
    sock_close(s);
}

TEST_F(SocketWait, Delay1EndsWhenTheConnectionIsGone) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    peer->tcp().tcp_abort(ps, now());
    int status = 0;
    EXPECT_EQ(_ip_delay1(s, 10, pumpHandler, &status), -1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(s->error, tcperr::kReset);
    sock_close(s);
}

TEST_F(SocketWait, Delay2DiscardsDataUntilClosed) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    peerSend(ps, "unread");
    sock_close(s);
    int status = 9;
    EXPECT_EQ(_ip_delay2(s, -1, nullptr, &status), 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(s->rx_len, 0) << "unread data is dropped";
    // The peer still talks, then closes: the wait ends once our side is gone.
    ASSERT_EQ(peer->tcp().tcp_write(ps, reinterpret_cast<const uint8_t *>("more"), 4, now()), 4);
    peer->tcp().tcp_close(ps, now());
    EXPECT_EQ(_ip_delay2(s, 30, pumpHandler, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s->ip_type, 0);
}

TEST_F(SocketWait, Delay2ExpiryAbortsWithError14) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    toPeer.setDrop(true);  // our FIN is never acknowledged
    sock_close(s);
    int status = 0;
    EXPECT_EQ(_ip_delay2(s, 2, pumpHandler, &status), -1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(s->error, 14);
    EXPECT_EQ(tcp_tick(s), 0) << "aborted";
    EXPECT_EQ(_ip_delay2(s, 2, endWith7, &status), 0) << "already gone";
}

TEST_F(SocketWait, UdpSocketsNeverWaitForEstablishmentOrClose) {
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    int status = 9;
    EXPECT_EQ(_ip_delay0(u, 5, nullptr, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(_ip_delay2(u, 5, nullptr, &status), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(_ip_delay1(u, -1, nullptr, &status), 1);
    sock_close(u);
}

}  // namespace
}  // namespace ryn::inet::testing
