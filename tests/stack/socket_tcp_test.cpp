// Socket operations over a real TCP connection between the process-wide
// stack and a peer stack: select, fast read/write, line mode, receive
// buffers, enqueue, and the pool's hand-out rule.
#include "socket_fixture.h"

#include <cstring>
#include <set>

namespace ryn::inet::testing {
namespace {

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

class SocketTcp : public SocketLayerTest {
protected:
    static TcpSocket *&peerToAbort() {
        static TcpSocket *p = nullptr;
        return p;
    }
};

TEST_F(SocketTcp, SelectReportsDataUntilDrainedThenUnusedOnceGone) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sock_sselect(s, 1), 1);
    EXPECT_EQ(sock_sselect(s, 2), 0);
    EXPECT_EQ(sock_sselect(s, 3), 0);
    EXPECT_EQ(sock_established(s), 1);
    EXPECT_EQ(_chk_socket(s), 2);

    // The peer sends and closes; we close too before reading: the
    // connection ends with the data still held.
    peerSend(ps, "hello world");
    peer->tcp().tcp_close(ps, now());
    settle(200);
    EXPECT_EQ(s->state, TCP_CLOSE_WAIT);
    EXPECT_EQ(sock_sselect(s, 1), 1);
    theStack()->tcp().tcp_close(s, now());
    settle(200);
    EXPECT_EQ(s->state, TCP_CLOSED);
    EXPECT_EQ(tcp_tick(s), ip::kProtoTcp) << "a record with unread data stays a socket";
    EXPECT_EQ(sock_sselect(s, 1), 0);
    uint8_t buf[8];
    EXPECT_EQ(sock_sselect(s, 2), 2);
    ASSERT_EQ(sock_fastread(s, buf, 5), 5);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
    EXPECT_EQ(sock_sselect(s, 2), 2);
    ASSERT_EQ(sock_fastread(s, buf, sizeof buf), 6);
    EXPECT_EQ(std::memcmp(buf, " world", 6), 0);
    EXPECT_EQ(sock_sselect(s, 2), 4);
    EXPECT_EQ(sock_sselect(s, 1), 4);
    EXPECT_EQ(sock_sselect(s, 0), 4);
    EXPECT_EQ(sock_fastread(s, buf, sizeof buf), 0);
    EXPECT_EQ(sock_fastwrite(s, buf, 1), 0);
    EXPECT_EQ(_chk_socket(s), 0);
    EXPECT_EQ(sock_close(s), 0);
}

TEST_F(SocketTcp, ResetDropsHeldDataAndTheRecordIsUnused) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    peerSend(ps, "lost");
    peer->tcp().tcp_abort(ps, now());
    pump();
    EXPECT_EQ(s->error, tcperr::kReset);
    EXPECT_EQ(tcp_tick(s), 0);
    EXPECT_EQ(sock_sselect(s, 2), 4);
    sock_close(s);
}

TEST_F(SocketTcp, PeerCloseKeepsDataSelectableAndCloseWaitWritable) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    peerSend(ps, "last words");
    peer->tcp().tcp_close(ps, now());
    settle(200);
    EXPECT_EQ(s->state, TCP_CLOSE_WAIT);
    EXPECT_EQ(sock_sselect(s, 1), 1);
    EXPECT_EQ(sock_sselect(s, 2), 2);
    uint8_t buf[32];
    ASSERT_EQ(sock_fastread(s, buf, sizeof buf), 10);
    EXPECT_EQ(sock_sselect(s, 2), 0) << "drained but still our socket";
    // Half-close: we may still answer.
    EXPECT_EQ(sock_fastwrite(s, reinterpret_cast<const uint8_t *>("bye"), 3), 3);
    pump();
    EXPECT_EQ(peerRead(ps), "bye");
    EXPECT_EQ(sock_close(s), ip::kProtoTcp);
    settle(200);
    EXPECT_EQ(tcp_tick(s), 0);
    EXPECT_EQ(sock_sselect(s, 2), 4);
}

TEST_F(SocketTcp, FastReadWriteMoveLargeStreamsIntactBothWays) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    const std::string up = pattern(300000, 1), down = pattern(300000, 2);
    EXPECT_TRUE(sendAll(s, ps, up) == up);
    EXPECT_TRUE(receiveAll(s, ps, down, 1000) == down);
    // A write never takes more than the send buffer holds.
    std::string big = pattern(50000, 3);
    int n = sock_fastwrite(s, reinterpret_cast<const uint8_t *>(big.data()), static_cast<int>(big.size()));
    EXPECT_GT(n, 0);
    EXPECT_LE(n, kTcpBufferSize);
    EXPECT_EQ(sock_fastwrite(s, nullptr, 0), 0);
    // A negative length with a buffer cannot overrun it.
    peerSend(ps, pattern(3000, 4));
    uint8_t small[16];
    EXPECT_EQ(sock_fastread(s, small, -1), 0);
}

TEST_F(SocketTcp, SockReadAndWriteLoopUntilDoneOrGone) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    const std::string msg = "0123456789";
    EXPECT_EQ(sock_write(s, reinterpret_cast<const uint8_t *>(msg.data()), 10), 10);
    pump();
    EXPECT_EQ(peerRead(ps), msg);
    peerSend(ps, "abcdef");
    uint8_t buf[6];
    EXPECT_EQ(sock_read(s, buf, 6), 6);
    EXPECT_EQ(std::memcmp(buf, "abcdef", 6), 0);
    peerSend(ps, "xy");
    EXPECT_EQ(sock_getc(s), 'x');
    EXPECT_EQ(sock_getc(s), 'y');
    // The peer vanishes while sock_read waits for more: it returns what it
    // got; then sock_getc has nothing and writes fail.
    peerSend(ps, "z");
    peerToAbort() = ps;
    sock_yield(s, [](sock_type *) {
        if (TcpSocket *p = peerToAbort()) {
            current()->peer->tcp().tcp_abort(p, current()->now());
            peerToAbort() = nullptr;
        }
        current()->pump();
        return 0;
    });
    uint8_t more[4] = {};
    EXPECT_EQ(sock_read(s, more, 4), 1);
    EXPECT_EQ(more[0], 'z');
    EXPECT_EQ(sock_getc(s), -1);
    EXPECT_EQ(sock_write(s, more, 1), -1);
    sock_close(s);
}

TEST_F(SocketTcp, SockWriteOnClosingSocketSetsError15) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    theStack()->tcp().tcp_close(s, now());  // FIN-WAIT: no more writing
    EXPECT_EQ(sock_write(s, reinterpret_cast<const uint8_t *>("x"), 1), -1);
    EXPECT_EQ(s->error, 15);
    EXPECT_EQ(sock_write(&theStack()->tcp().pool(63), reinterpret_cast<const uint8_t *>("x"), 1), -1)
        << "an unused record";
}

TEST_F(SocketTcp, LineModeSplitsOnCrLfCrOrLfAndKeepsPartialLines) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    sock_mode(s, sockmode::kAscii);
    char line[64];
    EXPECT_EQ(sock_dataready(s), 0);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 0);

    peerSend(ps, "one\r\ntwo\nthr");
    EXPECT_GT(sock_dataready(s), 0);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 3);
    EXPECT_STREQ(line, "one");
    EXPECT_EQ(sock_gets(s, line, sizeof line), 3);
    EXPECT_STREQ(line, "two");
    // "thr" has no terminator yet: not ready, not handed out.
    EXPECT_EQ(sock_dataready(s), 0);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 0);
    EXPECT_STREQ(line, "");

    // A CR at the very end of the data: its LF arrives later and is dropped.
    peerSend(ps, "ee\r");
    EXPECT_EQ(sock_gets(s, line, sizeof line), 5);
    EXPECT_STREQ(line, "three");
    peerSend(ps, "\nfour\r");
    EXPECT_GT(sock_dataready(s), 0);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 4);
    EXPECT_STREQ(line, "four");
    peerSend(ps, std::string("\0five\n", 6));
    EXPECT_EQ(sock_gets(s, line, sizeof line), 4);
    EXPECT_STREQ(line, "five");

    // A line longer than the caller's buffer comes out in pieces.
    peerSend(ps, "abcdefgh\nnext\n");
    EXPECT_EQ(sock_gets(s, line, 4), 3);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(sock_gets(s, line, 4), 3);
    EXPECT_STREQ(line, "def");
    EXPECT_EQ(sock_gets(s, line, 4), 2);
    EXPECT_STREQ(line, "gh");
    EXPECT_EQ(sock_gets(s, line, sizeof line), 4);
    EXPECT_STREQ(line, "next");
    // Empty lines are lines.
    peerSend(ps, "\n\r\nx\n");
    EXPECT_EQ(sock_gets(s, line, sizeof line), 0);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 0);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 1);
    EXPECT_STREQ(line, "x");

    // Once the connection is closing on our side too (LAST-ACK), an
    // unterminated rest is a line.
    peerSend(ps, "tail");
    peer->tcp().tcp_close(ps, now());
    settle(200);
    EXPECT_EQ(s->state, TCP_CLOSE_WAIT);
    EXPECT_EQ(sock_dataready(s), 0);
    toPeer.setDrop(true);  // keep LAST-ACK: our FIN is not acknowledged
    theStack()->tcp().tcp_close(s, now());
    EXPECT_EQ(s->state, TCP_LAST_ACK);
    EXPECT_EQ(sock_dataready(s), 4);
    EXPECT_EQ(sock_gets(s, line, sizeof line), 4);
    EXPECT_STREQ(line, "tail");
    sock_close(s);
}

TEST_F(SocketTcp, LineModeHandsOutAFullBufferWithoutTerminator) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> store(32);
    sock_setbuf(s, store.data(), 32);
    sock_mode(s, sockmode::kAscii);
    ASSERT_EQ(peer->tcp().tcp_write(ps, reinterpret_cast<const uint8_t *>(std::string(40, 'q').data()), 40, now()),
              40);
    pump();
    EXPECT_EQ(s->rx_len, 32);
    EXPECT_EQ(sock_dataready(s), 32);
    char line[64];
    EXPECT_EQ(sock_gets(s, line, sizeof line), 32);
    EXPECT_EQ(std::string(line), std::string(32, 'q'));
    sock_close(s);
}

TEST_F(SocketTcp, BinaryModeDataReadyIsTheHeldCountAndPutsFlushes) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    peerSend(ps, "ab");
    EXPECT_EQ(sock_dataready(s), 2);
    EXPECT_EQ(sock_puts(s, "binary"), 6);
    pump();
    EXPECT_EQ(peerRead(ps), "binary");
    sock_mode(s, sockmode::kAscii);
    EXPECT_EQ(sock_puts(s, "text"), 4);
    pump();
    EXPECT_EQ(peerRead(ps), "text\r\n") << "sent without waiting for a timer";
    EXPECT_EQ(sock_putc(s, '!'), '!');
    EXPECT_EQ(sock_putc(s, '\n'), '\n');
    settle(500);
    EXPECT_EQ(peerRead(ps), "!\n");
    EXPECT_EQ(sock_printf(s, "%d", 5), 0);
    // sock_mode keeps the other bits and replaces the two low ones.
    sock_mode(s, sockmode::kUdpNoChecksum);
    EXPECT_EQ(s->mode & (sockmode::kAscii | sockmode::kUdpNoChecksum), sockmode::kUdpNoChecksum);
}

TEST_F(SocketTcp, SetbufNeverRaisesCapacityPastStorage) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    // No buffer with a length larger than the built-in one: the built-in
    // one's real size stays the capacity.
    sock_setbuf(s, nullptr, 100000);
    EXPECT_EQ(s->rx_capacity, kTcpBufferSize);
    EXPECT_EQ(s->rx_data, s->rx_store);
    sock_setbuf(s, nullptr, -1);
    EXPECT_EQ(s->rx_capacity, kTcpBufferSize);
    // The peer fills more than the buffer holds; nothing overruns it (the
    // address sanitizer would say) and the stream arrives intact.
    const std::string down = pattern(60000, 5);
    EXPECT_TRUE(receiveAll(s, ps, down, 8000) == down);

    // A caller's buffer larger than the built-in one: receiving uses all of
    // it, but the send buffer keeps its own size.
    std::vector<uint8_t> big(60000);
    sock_setbuf(s, big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(s->rx_capacity, 60000);
    const std::string more = pattern(100000, 6);
    EXPECT_TRUE(receiveAll(s, ps, more, 30000) == more);
    const std::string up = pattern(60000, 7);
    int n = sock_fastwrite(s, reinterpret_cast<const uint8_t *>(up.data()), static_cast<int>(up.size()));
    EXPECT_GT(n, 0);
    EXPECT_LE(n, kTcpBufferSize);
    std::string first;
    for (int i = 0; i < 200 && first.size() < static_cast<size_t>(n); ++i) {
        advance(10);
        first += peerRead(ps);
    }
    EXPECT_TRUE(first == up.substr(0, static_cast<size_t>(n)));
    // A caller's buffer too small for the data held is refused.
    peerSend(ps, pattern(100, 8));
    uint8_t tiny[10];
    sock_setbuf(s, tiny, sizeof tiny);
    EXPECT_EQ(s->rx_data, big.data());
    EXPECT_EQ(s->rx_len, 100);
    sock_close(s);
}

TEST_F(SocketTcp, CloseMovesOffTheCallersBufferBeforeItDies) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    auto store = std::make_unique<std::vector<uint8_t>>(2048);
    sock_setbuf(s, store->data(), 2048);
    peerSend(ps, "held");
    sock_close(s);
    EXPECT_EQ(s->rx_data, s->rx_store);
    EXPECT_EQ(s->rx_capacity, kTcpBufferSize);
    store.reset();
    // The closing connection still takes the peer's data (half-close): it
    // must land in the record's own buffer, not the freed one.
    pump();
    EXPECT_EQ(ps->state, TCP_CLOSE_WAIT);
    peerSend(ps, pattern(1500, 9));
    EXPECT_EQ(s->rx_data, s->rx_store);
}

TEST_F(SocketTcp, EnqueueCopiesTheCallersData) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    const std::string msg = pattern(5000, 10);
    {
        auto scratch = std::make_unique<std::vector<uint8_t>>(msg.begin(), msg.end());
        EXPECT_EQ(sock_enqueue(s, scratch->data(), static_cast<int>(scratch->size())), 5000);
        std::fill(scratch->begin(), scratch->end(), uint8_t{0xEE});
    }  // freed before anything reached the wire beyond the first window
    std::string got;
    for (int i = 0; i < 50 && got.size() < msg.size(); ++i) {
        advance(50);
        got += peerRead(ps);
    }
    EXPECT_TRUE(got == msg);
    EXPECT_EQ(sock_enqueue(s, nullptr, 5), 0);
}

TEST_F(SocketTcp, HandedOutRecordIsNeverHandedOutAgainUntilClosed) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    std::set<sock_type *> taken{s};
    for (int i = 1; i < TcpEngine::kPoolSize; ++i) {
        sock_type *r = sock_find_free();
        ASSERT_NE(r, nullptr) << i;
        EXPECT_TRUE(taken.insert(r).second) << "record handed out twice";
    }
    EXPECT_EQ(sock_find_free(), nullptr);
    // The connection dies under its owner: the record stays the owner's.
    peer->tcp().tcp_abort(ps, now());
    pump();
    EXPECT_EQ(tcp_tick(s), 0);
    EXPECT_EQ(sock_find_free(), nullptr);
    // Given back, it is the one free record.
    sock_close(s);
    EXPECT_EQ(sock_find_free(), s);
    // A fresh start takes every record back.
    sock_enter();
    theStack()->addressing().my_ip_addr = kOurAddr;
    for (int i = 0; i < TcpEngine::kPoolSize; ++i) EXPECT_NE(sock_find_free(), nullptr);
}

int systemYield(sock_type *) { return 0; }
int ownYield(sock_type *) { return 0; }

TEST_F(SocketTcp, SystemYieldGoesIntoSocketsOpenedLater) {
    sock_type *before = sock_find_free();
    ASSERT_EQ(udp_open(before, 5000, kPeerAddr, 6000, nullptr), 1);
    sock_yield(nullptr, systemYield);
    sock_type *t = sock_find_free();
    ASSERT_EQ(tcp_open(t, 0, kPeerAddr, 7000, nullptr), 1);
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5001, kPeerAddr, 6000, nullptr), 1);
    EXPECT_EQ(before->yield_fn, nullptr);
    EXPECT_EQ(t->yield_fn, systemYield);
    EXPECT_EQ(u->yield_fn, systemYield);
    sock_yield(u, ownYield);
    EXPECT_EQ(u->yield_fn, ownYield);
    sock_yield(nullptr, nullptr);
    sock_close(before);
    sock_close(t);
    sock_close(u);
}

TEST_F(SocketTcp, SturdyAbortsBelowStress) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    s->stress = 10;
    sock_sturdy(s, 20);
    EXPECT_EQ(s->state, TCP_ESTABLISHED);
    sock_sturdy(s, 5);
    pump();
    EXPECT_EQ(tcp_tick(s), 0);
    EXPECT_EQ(ps->state, TCP_CLOSED) << "the peer saw the reset";
}

}  // namespace
}  // namespace ryn::inet::testing
