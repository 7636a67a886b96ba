// Fixture for the socket layer: the process-wide stack (1.1.1.1) built over
// an in-memory wire, and a second complete stack (1.1.1.2) as its peer. The
// clock is the test's: pump() moves every datagram both ways and ticks both
// stacks at the current time; advance(ms) moves the clock first.
#pragma once

#include "stack/socket.h"
#include "stack/timers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ryn::inet::testing {

inline constexpr uint32_t kOurAddr = 0x01010101, kPeerAddr = 0x01010102, kMask = 0xFFFFFF00;

struct CaptureWire final : IpDevice {
    std::mutex mu;
    std::deque<std::vector<uint8_t>> frames;  // GUARDED_BY(mu)
    bool drop = false;                        // GUARDED_BY(mu): the line loses everything
    bool transmit(uint8_t *d, size_t n) override {
        std::lock_guard<std::mutex> g(mu);
        if (!drop) frames.emplace_back(d, d + n);
        return true;
    }
    bool pop(std::vector<uint8_t> &out) {
        std::lock_guard<std::mutex> g(mu);
        if (frames.empty()) return false;
        out = std::move(frames.front());
        frames.pop_front();
        return true;
    }
    void setDrop(bool on) {
        std::lock_guard<std::mutex> g(mu);
        drop = on;
    }
};

class SocketLayerTest : public ::testing::Test {
public:
    static std::atomic<uint32_t> &clock() {
        static std::atomic<uint32_t> c{100000};
        return c;
    }
    static uint32_t readClock() { return clock().load(); }

    // The running test, for the plain-function handlers the waits take.
    static SocketLayerTest *&current() {
        static SocketLayerTest *t = nullptr;
        return t;
    }
    // A wait handler that lets the wire and the clock move on each turn.
    static int pumpHandler(sock_type *) {
        current()->advance(current()->stepMs);
        return 0;
    }

    void SetUp() override {
        current() = this;
        clock() = 100000;
        ryn::stack::setTickSourceForTesting(readClock);
        setStackDeviceForTesting(&toPeer);
        sock_init();
        ASSERT_NE(theStack(), nullptr);
        ASSERT_EQ(sock_enter(), 0);
        theStack()->addressing().my_ip_addr = kOurAddr;
        theStack()->addressing().sin_mask = kMask;
        peer = std::make_unique<NetStack>(toUs);
        peer->addressing().my_ip_addr = kPeerAddr;
        peer->addressing().sin_mask = kMask;
    }
    void TearDown() override {
        sock_exit();
        sock_deinit();
        setStackDeviceForTesting(nullptr);
        ryn::stack::setTickSourceForTesting(nullptr);
        current() = nullptr;
    }

    uint32_t now() const { return clock().load(); }

    // Frames our stack sent that the test wants to look at instead of the peer.
    bool takeOurFrame(std::vector<uint8_t> &f) { return toPeer.pop(f); }

    // Moves everything both ways until the wire is quiet.
    void pump() {
        for (int round = 0; round < 100; ++round) {
            bool moved = false;
            std::vector<uint8_t> f;
            while (toPeer.pop(f)) {
                peer->inject(f.data(), f.size());
                moved = true;
            }
            peer->tcp_tick(now());
            while (toUs.pop(f)) {
                theStack()->inject(f.data(), f.size());
                moved = true;
            }
            tcp_tick(nullptr);
            if (!moved) return;
        }
    }
    void advance(uint32_t ms) {
        clock() += ms;
        pump();
    }

    // A connection from our stack to a listener on the peer; both ends
    // established. Returns our socket; *peerSock is the peer's record.
    sock_type *connect(TcpSocket **peerSock, uint16_t port = 7000, int peerIndex = 0) {
        TcpSocket *ps = &peer->tcp().pool(peerIndex);
        peer->tcp().tcp_listen(ps, port, 0, 0, 0, now());
        sock_type *s = sock_find_free();
        EXPECT_NE(s, nullptr);
        if (!s) return nullptr;
        EXPECT_EQ(tcp_open(s, 0, kPeerAddr, port, nullptr), 1);
        pump();
        EXPECT_EQ(s->state, TCP_ESTABLISHED);
        EXPECT_EQ(ps->state, TCP_ESTABLISHED);
        *peerSock = ps;
        return s;
    }
    void peerSend(TcpSocket *ps, const std::string &text) {
        ASSERT_EQ(peer->tcp().tcp_write(ps, reinterpret_cast<const uint8_t *>(text.data()),
                                        static_cast<int>(text.size()), now()),
                  static_cast<int>(text.size()));
        pump();
        // Until the peer's data is acknowledged (ours may delay its ACK).
        for (int i = 0; i < 400 && ps->tx_len > 0; ++i) advance(10);
    }
    // Lets the simulated clock run for ms in small steps.
    void settle(uint32_t ms) {
        for (uint32_t t = 0; t < ms; t += 10) advance(10);
    }
    std::string peerRead(TcpSocket *ps) {
        uint8_t buf[20000];
        int n = peer->tcp().tcp_read(ps, buf, sizeof buf, now());
        pump();
        return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(std::max(n, 0)));
    }

    // Moves a whole byte string from our socket to the peer's, pumping.
    std::string sendAll(sock_type *s, TcpSocket *ps, const std::string &data) {
        std::string got;
        size_t sent = 0;
        for (int turn = 0; turn < 10000 && got.size() < data.size(); ++turn) {
            if (sent < data.size()) {
                int n = sock_fastwrite(s, reinterpret_cast<const uint8_t *>(data.data()) + sent,
                                       static_cast<int>(data.size() - sent));
                if (n > 0) sent += static_cast<size_t>(n);
            }
            pump();
            got += peerRead(ps);
        }
        return got;
    }
    // Moves a whole byte string from the peer to our socket, reading with
    // sock_fastread in chunks of at most `chunk`.
    std::string receiveAll(sock_type *s, TcpSocket *ps, const std::string &data, int chunk = 4096) {
        std::string got;
        size_t sent = 0;
        std::vector<uint8_t> buf(static_cast<size_t>(chunk));
        for (int turn = 0; turn < 10000 && got.size() < data.size(); ++turn) {
            if (sent < data.size()) {
                int n = peer->tcp().tcp_write(ps, reinterpret_cast<const uint8_t *>(data.data()) + sent,
                                              static_cast<int>(data.size() - sent), now());
                if (n > 0) sent += static_cast<size_t>(n);
            }
            pump();
            int n = sock_fastread(s, buf.data(), chunk);
            if (n > 0) got.append(reinterpret_cast<char *>(buf.data()), static_cast<size_t>(n));
        }
        return got;
    }

    uint32_t stepMs = 250;  // clock step of pumpHandler
    CaptureWire toPeer, toUs;
    std::unique_ptr<NetStack> peer;
};

}  // namespace ryn::inet::testing
