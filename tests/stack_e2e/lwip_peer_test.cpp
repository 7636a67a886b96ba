// Our stack end to end against lwIP's TCP in the serial terminal simulator:
// the network thread brings the link up over a pty, the test drives the
// TCP engine, and the simulator's sink, source, echo and connect
// applications are the terminal's side. Each transfer is checked by size
// and CRC-32 at the receiving end.
#include "stack_e2e/host_stack.h"
#include "stack_e2e/sim_events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace stacke2e {
namespace {

using namespace ryn::inet;
using simtest::SimProcess;

constexpr uint16_t kEchoPort = 7, kSinkPort = 9, kSourcePort = 19;

class LwipPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(simtest::spmsimPath().c_str(), X_OK) != 0) GTEST_SKIP() << "the simulator is not built";
    }
    void start(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args{"--link",        dir_.file("terminal"),        "--sink-port",
                                      std::to_string(kSinkPort), "--source-port", std::to_string(kSourcePort),
                                      "--echo-port", std::to_string(kEchoPort),    "--retry-time",
                                      "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<SimProcess>(args);
        ASSERT_TRUE(sim_->waitEvent("READY ")) << sim_->transcript();
        events_ = std::make_unique<SimEvents>(*sim_);
        host_ = std::make_unique<HostStack>(dir_.file("terminal"));
        ASSERT_TRUE(host_->start()) << host_->why() << "\nsimulator:\n" << sim_->transcript();
    }
    void TearDown() override {
        host_.reset();  // stops the network thread: LCP terminates the link
        events_.reset();
        sim_.reset();
    }
    void command(const std::string &c) { sim_->command(c); }
    std::string expectedSink(size_t len, uint32_t seed) {
        return "SINK " + std::to_string(kSinkPort) + " " + std::to_string(len) + " " + crcHex(pattern(len, seed));
    }
    // Asks the source for bytes of the pattern with a close mode.
    bool request(TcpSocket *s, size_t len, const char *mode, uint32_t seed) {
        std::string r = std::to_string(len) + " " + mode + " " + std::to_string(seed) + "\n";
        return host_->sendAll(s, reinterpret_cast<const uint8_t *>(r.data()), r.size());
    }

    simtest::TempDir dir_;
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<SimEvents> events_;
    std::unique_ptr<HostStack> host_;
};

void report(const char *what, size_t bytes, std::chrono::steady_clock::time_point begin) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("[ info ] %s: %zu bytes in %.2f s\n", what, bytes, s);
}

struct LossCase {
    const char *name;
    std::vector<std::string> simArgs;
    size_t upBytes, downBytes;
};
// Several MB where nothing is lost; less where every 7th datagram is (a
// loss lwIP does not repair by fast retransmission costs its coarse
// retransmission time-out, a second or more).
const LossCase kLossCases[] = {
    {"clean line", {}, 4u << 20, 4u << 20},
    {"every 7th datagram lost each way", {"--drop-every", "7"}, 192u << 10, 48u << 10},
};

// Host to terminal: bulk data, then close while data is still queued (the
// FIN follows the last byte once the buffer drains).
TEST_F(LwipPeer, UploadThenCloseWithDataQueued) {
    for (const auto &c : kLossCases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start(c.simArgs));
        TcpSocket *s = host_->socket(0);
        ASSERT_TRUE(host_->connect(s, kSinkPort));
        auto data = pattern(c.upBytes, 11);
        auto begin = std::chrono::steady_clock::now();
        ASSERT_TRUE(host_->sendAll(s, data));
        report(c.name, data.size(), begin);
        EXPECT_GT(view(s).tx_len, 0);  // still queued when we close
        host_->close(s);
        EXPECT_EQ(events_->next("SINK "), expectedSink(c.upBytes, 11)) << events_->transcript();
        EXPECT_TRUE(host_->waitRetired(s)) << stateName(view(s).state);
        EXPECT_EQ(view(s).error, tcperr::kClosedLocally);
        TearDown();
    }
}

// Terminal to host: bulk data; lwIP closes right after its last write, so
// its FIN rides on the last data segment. We close after the peer.
TEST_F(LwipPeer, DownloadThenPeerClosesFirst) {
    for (const auto &c : kLossCases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start(c.simArgs));
        TcpSocket *s = host_->socket(1);
        ASSERT_TRUE(host_->connect(s, kSourcePort));
        ASSERT_TRUE(request(s, c.downBytes, "fin", 21));
        std::vector<uint8_t> got;
        auto begin = std::chrono::steady_clock::now();
        ASSERT_TRUE(host_->receiveUntilFin(s, &got)) << got.size() << " bytes, " << stateName(view(s).state);
        report(c.name, got.size(), begin);
        EXPECT_EQ(got.size(), c.downBytes);
        EXPECT_TRUE(got == pattern(c.downBytes, 21)) << "data differs";
        EXPECT_EQ(view(s).state, TCP_CLOSE_WAIT);
        host_->close(s);  // LAST-ACK until our FIN is acknowledged
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; })) << stateName(view(s).state);
        EXPECT_EQ(view(s).error, tcperr::kClosedByPeer);
        TearDown();
    }
}

// Half-close in both directions: after the peer's FIN we keep sending
// (CLOSE-WAIT), and after our FIN we keep receiving (FIN-WAIT).
TEST_F(LwipPeer, HalfCloseEachWay) {
    ASSERT_NO_FATAL_FAILURE(start());
    {
        SCOPED_TRACE("the terminal half-closes, the host goes on sending");
        TcpSocket *s = host_->socket(2);
        ASSERT_TRUE(host_->connect(s, kSourcePort));
        ASSERT_TRUE(request(s, 100000, "half", 31));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got));
        EXPECT_TRUE(got == pattern(100000, 31));
        ASSERT_EQ(view(s).state, TCP_CLOSE_WAIT);
        auto back = pattern(300000, 32);
        ASSERT_TRUE(host_->sendAll(s, back));
        host_->close(s);
        EXPECT_EQ(events_->next("SOURCE 19 GOT"), "SOURCE 19 GOT 300000 " + crcHex(back)) << events_->transcript();
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; })) << stateName(view(s).state);
    }
    {
        SCOPED_TRACE("the host half-closes, the terminal goes on sending");
        TcpSocket *s = host_->socket(3);
        ASSERT_TRUE(host_->connect(s, kEchoPort));
        // Read while writing: the echo stops reading when we do.
        auto data = pattern(200000, 33);
        std::vector<uint8_t> echoed;
        ASSERT_TRUE(host_->sendCloseWhileReading(s, data, s, &echoed)) << echoed.size() << " " << stateName(view(s).state);
        EXPECT_EQ(echoed.size(), data.size());
        EXPECT_TRUE(echoed == data);
        EXPECT_TRUE(host_->waitRetired(s));
    }
}

// A reset from either side ends the connection at once.
TEST_F(LwipPeer, ResetEachWay) {
    ASSERT_NO_FATAL_FAILURE(start());
    {
        SCOPED_TRACE("the terminal resets after its data was acknowledged");
        TcpSocket *s = host_->socket(4);
        ASSERT_TRUE(host_->connect(s, kSourcePort));
        ASSERT_TRUE(request(s, 50000, "rst", 41));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got, kLong, 50000));
        // The reset discards what we had not read yet (the peer may reset as
        // soon as our ACK shows the bytes buffered): what was read is intact,
        // and no more than one receive buffer of it can be lost.
        const auto sent = pattern(50000, 41);
        ASSERT_LE(got.size(), sent.size());
        EXPECT_GE(got.size(), sent.size() - kTcpBufferSize);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin())) << got.size();
        EXPECT_FALSE(events_->next("SOURCE 19 RESET-SENT").empty()) << events_->transcript();
        EXPECT_TRUE(host_->waitFor([&] { return view(s).state == TCP_CLOSED; }));
        EXPECT_EQ(view(s).error, tcperr::kReset);
        EXPECT_EQ(host_->tcp().tcp_write(s, got.data(), 10, TIME_READ_MS()), -1);
    }
    {
        SCOPED_TRACE("the host aborts while sending");
        TcpSocket *s = host_->socket(5);
        ASSERT_TRUE(host_->connect(s, kSinkPort));
        ASSERT_TRUE(host_->sendAll(s, pattern(60000, 42)));
        host_->abort(s);
        EXPECT_FALSE(events_->next("SINK-RESET 9").empty()) << events_->transcript();
        EXPECT_FALSE(view(s).linked);
    }
}

// We stop reading: our window closes, lwIP probes it; we resume and every
// byte arrives.
TEST_F(LwipPeer, HostStopsReadingThenResumes) {
    ASSERT_NO_FATAL_FAILURE(start());
    TcpSocket *s = host_->socket(6);
    ASSERT_TRUE(host_->connect(s, kSourcePort));
    ASSERT_TRUE(request(s, 300000, "fin", 51));
    ASSERT_TRUE(host_->waitFor([&] {
        auto v = view(s);
        return v.rx_len == v.rx_capacity;
    })) << view(s).rx_len;
    // Hold the window shut across several of lwIP's persist probes.
    ASSERT_TRUE(host_->waitTicks(1500));
    std::vector<uint8_t> got;
    ASSERT_TRUE(host_->receiveUntilFin(s, &got));
    EXPECT_EQ(got.size(), 300000u);
    EXPECT_TRUE(got == pattern(300000, 51));
    host_->close(s);
}

// lwIP stops reading: its window closes; we probe it (persist timer, backing
// off, not a bare segment every pump period) and resume when it opens.
TEST_F(LwipPeer, TerminalStopsReadingThenResumes) {
    ASSERT_NO_FATAL_FAILURE(start());
    command("hold");
    TcpSocket *s = host_->socket(7);
    ASSERT_TRUE(host_->connect(s, kSinkPort));
    const size_t total = 200000;
    auto data = pattern(total, 61);
    size_t written = 0;
    ASSERT_TRUE(host_->fillUntilWindowShut(s, data, &written)) << "window " << view(s).peer_window << " queued " << view(s).tx_len;
    // Count what we send while the window stays shut (about three seconds
    // of pump ticks): probes back off, so a handful, not one per tick.
    command("stats");
    std::string before = events_->next("STATS");
    ASSERT_TRUE(host_->waitTicks(3000));
    command("stats");
    std::string after = events_->next("STATS");
    unsigned long rx0 = 0, rx1 = 0;
    ASSERT_EQ(std::sscanf(before.c_str(), "STATS rx %lu", &rx0), 1) << before;
    ASSERT_EQ(std::sscanf(after.c_str(), "STATS rx %lu", &rx1), 1) << after;
    EXPECT_GE(rx1 - rx0, 1u) << "no zero-window probe";
    EXPECT_LE(rx1 - rx0, 30u) << "segments sent while the window was shut";
    command("release");
    ASSERT_TRUE(host_->sendAll(s, data.data() + written, total - written));
    host_->close(s);
    EXPECT_EQ(events_->next("SINK "), expectedSink(total, 61)) << events_->transcript();
}

// A lost control segment is retransmitted: SYN-ACK either way, FIN either way.
TEST_F(LwipPeer, LostControlSegments) {
    {
        SCOPED_TRACE("the terminal's SYN-ACK is lost");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "tx:syn-ack"}));
        TcpSocket *s = host_->socket(8);
        ASSERT_TRUE(host_->connect(s, kEchoPort));
        EXPECT_FALSE(events_->next("DROPPED tx TCP SYN-ACK").empty());
        auto data = pattern(20000, 71);
        ASSERT_TRUE(host_->sendAll(s, data));
        std::vector<uint8_t> echoed;
        ASSERT_TRUE(host_->waitFor([&] {
            host_->readAvailable(s, &echoed);
            return echoed.size() >= data.size();
        }));
        EXPECT_TRUE(echoed == data);
        host_->close(s);
        TearDown();
    }
    {
        SCOPED_TRACE("our SYN-ACK is lost (the terminal connects to us)");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "rx:syn-ack"}));
        TcpSocket *s = host_->socket(9);
        host_->tcp().tcp_listen(s, 5001, 0, 0, 0, TIME_READ_MS());
        command("connect 5001 150000 72");
        ASSERT_TRUE(host_->accept(s));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got));
        EXPECT_FALSE(events_->next("DROPPED rx TCP SYN-ACK").empty());
        EXPECT_EQ(events_->next("CONNECT 5001"), "CONNECT 5001 SENT 150000");
        EXPECT_TRUE(got == pattern(150000, 72)) << got.size();
        host_->close(s);
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; }));
        TearDown();
    }
    {
        SCOPED_TRACE("the terminal's FIN, on its last data segment, is lost");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "tx:fin"}));
        TcpSocket *s = host_->socket(10);
        ASSERT_TRUE(host_->connect(s, kSourcePort));
        ASSERT_TRUE(request(s, 3000, "fin", 73));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got));
        EXPECT_TRUE(got == pattern(3000, 73)) << got.size();
        // The source closes with its data still unsent, so lwIP puts the
        // FIN on the last data segment: that whole segment was lost.
        EXPECT_EQ(events_->next("DROPPED tx TCP FIN"), "DROPPED tx TCP FIN-ACK+DATA") << events_->transcript();
        host_->close(s);
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; }));
        TearDown();
    }
    {
        SCOPED_TRACE("our FIN is lost");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "rx:fin"}));
        TcpSocket *s = host_->socket(11);
        ASSERT_TRUE(host_->connect(s, kSinkPort));
        ASSERT_TRUE(host_->sendAll(s, pattern(5000, 74)));
        host_->close(s);
        EXPECT_FALSE(events_->next("DROPPED rx TCP FIN").empty()) << events_->transcript();
        EXPECT_EQ(events_->next("SINK "), expectedSink(5000, 74)) << events_->transcript();
        EXPECT_TRUE(host_->waitRetired(s)) << stateName(view(s).state);
    }
}

// Several connections at once in both directions share the link.
TEST_F(LwipPeer, ConcurrentConnectionsBothWays) {
    ASSERT_NO_FATAL_FAILURE(start());
    TcpSocket *up = host_->socket(12), *down = host_->socket(13);
    ASSERT_TRUE(host_->connect(up, kSinkPort));
    ASSERT_TRUE(host_->connect(down, kSourcePort));
    ASSERT_TRUE(request(down, 1u << 20, "fin", 82));
    auto data = pattern(1u << 20, 81);
    std::vector<uint8_t> got;
    ASSERT_TRUE(host_->sendCloseWhileReading(up, data, down, &got));
    EXPECT_TRUE(got == pattern(1u << 20, 82)) << got.size();
    EXPECT_EQ(events_->next("SINK "), expectedSink(1u << 20, 81));
    host_->close(down);
}

}  // namespace
}  // namespace stacke2e
