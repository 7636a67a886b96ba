// The socket operations from other threads while a pump thread ticks the
// stack: a stream echoed by the peer and a UDP exchange, with waits that
// tick too (run under the thread sanitizer in CI).
#include "socket_fixture.h"

#include <chrono>
#include <thread>

namespace ryn::inet::testing {
namespace {

using SocketThreads = SocketLayerTest;

TEST_F(SocketThreads, StreamAndDatagramsFromOtherThreadsWhileThePumpRuns) {
    TcpSocket *ps = nullptr;
    sock_type *s = connect(&ps);
    ASSERT_NE(s, nullptr);
    sock_type *u = sock_find_free();
    ASSERT_EQ(udp_open(u, 5000, kPeerAddr, 6000, nullptr), 1);
    TcpSocket *pu = &peer->tcp().pool(5);
    ASSERT_EQ(peer->udp().open(pu, 6000, kOurAddr, 5000, nullptr, nullptr), 1);

    std::string up(200000, '\0');
    for (size_t i = 0; i < up.size(); ++i) up[i] = static_cast<char>(i * 131 + (i >> 9));
    std::atomic<bool> stop{false};
    std::atomic<int> datagramsEchoed{0};

    // The pump thread: moves the wire, runs the clock, and is the peer's
    // application (echoes the stream and each datagram).
    std::thread pumpThread([&] {
        uint8_t buf[4096];
        while (!stop.load()) {
            advance(10);
            int n = peer->tcp().tcp_read(ps, buf, sizeof buf, now());
            for (int off = 0; n > 0 && off < n && !stop.load();) {
                int w = peer->tcp().tcp_write(ps, buf + off, n - off, now());
                if (w > 0) off += w;
                else advance(10);
            }
            int d = peer->udp().read(pu, buf, sizeof buf);
            if (d > 0) {
                peer->udp().write(pu, buf, d);
                datagramsEchoed.fetch_add(1);
            }
            std::this_thread::yield();
        }
    });

    // A UDP thread: sends a datagram, waits for its echo with single-pass
    // waits (which tick the stack from this thread too).
    std::thread udpThread([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int i = 0; i < 20 && std::chrono::steady_clock::now() < deadline; ++i) {
            const std::string msg = "datagram " + std::to_string(i);
            sock_fastwrite(u, reinterpret_cast<const uint8_t *>(msg.data()), static_cast<int>(msg.size()));
            std::string got;
            while (std::chrono::steady_clock::now() < deadline) {
                _ip_delay1(u, -1, nullptr, nullptr);
                uint8_t buf[64];
                int n = sock_fastread(u, buf, sizeof buf);
                if (n > 0) {
                    got.assign(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
                    break;
                }
                std::this_thread::yield();
            }
            EXPECT_EQ(got, msg);
        }
    });

    // This thread: writes the stream and reads the echo.
    std::string echoed;
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    uint8_t buf[8192];
    while (echoed.size() < up.size() && std::chrono::steady_clock::now() < deadline) {
        if (sent < up.size()) {
            int n = sock_fastwrite(s, reinterpret_cast<const uint8_t *>(up.data()) + sent,
                                   static_cast<int>(std::min<size_t>(up.size() - sent, 3000)));
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if (sock_sselect(s, 2) == 2) {
            int n = sock_fastread(s, buf, sizeof buf);
            if (n > 0) echoed.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
        }
        std::this_thread::yield();
    }
    udpThread.join();
    stop = true;
    pumpThread.join();
    EXPECT_TRUE(echoed == up) << echoed.size() << " of " << up.size() << " bytes echoed";
    EXPECT_EQ(datagramsEchoed.load(), 20);
    sock_close(u);
    sock_close(s);
}

}  // namespace
}  // namespace ryn::inet::testing
