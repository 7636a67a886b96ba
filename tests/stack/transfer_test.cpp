// Bulk transfers between two of our stacks over an in-memory wire, with
// and without loss, and with a writer thread racing the pump.
#include "loopback_pair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ryn::inet {
namespace {

using testing::LoopbackPair;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

struct Transfer {
    unsigned dropEvery;
    size_t bytes;
};

class Bulk : public ::testing::TestWithParam<Transfer> {};

TEST_P(Bulk, ArrivesIntactThenBothClose) {
    LoopbackPair p;
    p.a.out.dropEvery = GetParam().dropEvery;
    p.b.out.dropEvery = GetParam().dropEvery;
    TcpSocket *srv = &p.b.tcp.pool(0), *cli = &p.a.tcp.pool(0);
    p.b.tcp.tcp_listen(srv, 7000, 0, 0, 0, p.b.now);
    ASSERT_EQ(p.a.tcp.tcp_open(cli, 0, 0x01010102, 7000, p.a.now), 1);

    const std::vector<uint8_t> data = pattern(GetParam().bytes);
    std::vector<uint8_t> got;
    size_t written = 0;
    bool closed = false;
    uint8_t buf[4096];
    // Simulated time only: at most ~3 hours of it.
    for (int step = 0; step < 1000000 && !(closed && srv->state >= TCP_LAST_ACK); ++step) {
        if (cli->state == TCP_ESTABLISHED && written < data.size()) {
            int n = p.a.tcp.tcp_write(cli, data.data() + written, static_cast<int>(std::min<size_t>(data.size() - written, 3000)), p.a.now);
            ASSERT_GE(n, 0);
            written += static_cast<size_t>(n);
        }
        if (written == data.size() && !closed && cli->tx_len == 0) {
            p.a.tcp.tcp_close(cli, p.a.now);
            closed = true;
        }
        p.deliver();
        int r;
        while ((r = p.b.tcp.tcp_read(srv, buf, sizeof buf, p.b.now)) > 0) got.insert(got.end(), buf, buf + r);
        p.deliver();
        p.advance(10);
        ASSERT_NE(cli->state, TCP_CLOSED) << "client error " << cli->error;
    }
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    RecordProperty("simulated_ms", static_cast<int>(p.a.now.load()));
    RecordProperty("datagrams", static_cast<int>(p.a.out.count));
    // The server read the end: it closed too.
    for (int i = 0; i < 2000 && (srv->state != TCP_CLOSED || cli->state != TCP_CLOSED); ++i) {
        p.deliver();
        p.b.tcp.tcp_read(srv, buf, sizeof buf, p.b.now);
        p.advance(10);
    }
    EXPECT_EQ(srv->state, TCP_CLOSED);
    EXPECT_EQ(cli->state, TCP_CLOSED);
    EXPECT_EQ(cli->error, tcperr::kClosedLocally);
}

INSTANTIATE_TEST_SUITE_P(Loss, Bulk,
                         ::testing::Values(Transfer{0, 3u << 20}, Transfer{7, 1u << 20}, Transfer{3, 256u << 10}));

TEST(BulkThreaded, WriterThreadRacesThePump) {
    LoopbackPair p;
    TcpSocket *srv = &p.b.tcp.pool(0), *cli = &p.a.tcp.pool(0);
    p.b.tcp.tcp_listen(srv, 7000, 0, 0, 0, p.b.now);
    ASSERT_EQ(p.a.tcp.tcp_open(cli, 0, 0x01010102, 7000, p.a.now), 1);
    const std::vector<uint8_t> data = pattern(1u << 20);
    std::atomic<bool> done{false};
    std::atomic<size_t> written{0};

    std::thread writer([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (written < data.size() && std::chrono::steady_clock::now() < deadline) {
            int n = p.a.tcp.tcp_write(cli, data.data() + written.load(),
                                      static_cast<int>(std::min<size_t>(data.size() - written, 5000)), p.a.now);
            if (n > 0) written += static_cast<size_t>(n);
            else std::this_thread::yield();
        }
        done = true;
    });
    std::vector<uint8_t> got;
    uint8_t buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (got.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
        p.deliver();
        int r;
        while ((r = p.b.tcp.tcp_read(srv, buf, sizeof buf, p.b.now)) > 0) got.insert(got.end(), buf, buf + r);
        p.advance(5);
    }
    writer.join();
    EXPECT_TRUE(done);
    EXPECT_TRUE(got == data);
}

}  // namespace
}  // namespace ryn::inet
