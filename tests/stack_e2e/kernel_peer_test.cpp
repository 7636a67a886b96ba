// Our stack end to end against the Linux kernel's TCP/IP: the simulator in
// TUN mode does PPP only and hands the IP datagrams to a TUN device in a
// private network namespace, where the kernel holds the terminal's address
// 1.1.1.2 and python3 programs (kernel_apps.py) are the terminal's
// applications. The kernel brings what lwIP does not: SACK and timestamp
// options on its SYN, window scaling offers, fast retransmission, challenge
// ACKs for resets that are not exactly in sequence. Needs root; skipped
// otherwise.
#include "netns/kernel_terminal.h"
#include "stack_e2e/host_stack.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <fstream>
#include <memory>

namespace stacke2e {
namespace {

using namespace ryn::inet;
using netnstest::Background;
using netnstest::KernelTerminal;

constexpr simtest::milliseconds kAppDeadline{120000};

std::string appCommand(const std::string &args) { return "python3 -u '" RYN_E2E_APPS "' " + args; }

// The first whole line of an application's output that starts with
// prefix, waiting for it; empty on timeout or exit.
std::string lineOf(Background &app, const std::string &prefix) {
    auto end = std::chrono::steady_clock::now() + kAppDeadline;
    for (;;) {
        std::string out = app.output();
        for (size_t at = 0; at < out.size();) {
            size_t nl = out.find('\n', at);
            if (nl == std::string::npos) break;
            if (out.compare(at, prefix.size(), prefix) == 0) return out.substr(at, nl - at);
            at = nl + 1;
        }
        auto left = std::chrono::duration_cast<simtest::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        if (app.finished() && app.output() == out) return {};
        // The prefix may be there already with its line still incomplete:
        // then this only paces the re-check.
        if (app.waitOutput(prefix, std::min(left, simtest::milliseconds(100)))) poll(nullptr, 0, 5);
    }
}

class KernelPeer : public ::testing::Test {
public:
    // Starts an application in the namespace; servers are waited for until
    // they listen.
    Background &app(const std::string &args, bool server = true) {
        apps_.push_back(term_->spawn(appCommand(args)));
        Background &a = *apps_.back();
        if (server) {
            EXPECT_TRUE(a.waitOutput("LISTENING")) << args << ": " << a.output();
        }
        return a;
    }
    bool request(TcpSocket *s, size_t len, const char *mode, uint32_t seed) {
        std::string r = std::to_string(len) + " " + mode + " " + std::to_string(seed) + "\n";
        return host_->sendAll(s, reinterpret_cast<const uint8_t *>(r.data()), r.size());
    }

protected:
    void SetUp() override {
        if (auto why = netnstest::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
    }
    void start(const std::vector<std::string> &simArgs = {}) {
        term_ = std::make_unique<KernelTerminal>(simArgs);
        ASSERT_TRUE(term_->ok()) << term_->error();
        host_ = std::make_unique<HostStack>(term_->linkPath());
        ASSERT_TRUE(host_->start()) << host_->why() << "\nsimulator:\n" << term_->sim().transcript();
    }
    void TearDown() override {
        host_.reset();  // stops the network thread: LCP terminates the link
        apps_.clear();
        term_.reset();  // the simulator, then the namespace
    }
    Background &tool(const std::string &args) {
        apps_.push_back(term_->spawn(netnstest::pythonTool(args)));
        return *apps_.back();
    }
    unsigned long simReceived() {
        term_->sim().command("stats");
        std::string line;
        unsigned long rx = 0;
        if (!term_->sim().waitEvent("STATS ", &line) || std::sscanf(line.c_str(), "STATS rx %lu", &rx) != 1) {
            ADD_FAILURE() << "no STATS line: " << term_->sim().transcript();
        }
        return rx;
    }

    std::unique_ptr<KernelTerminal> term_;
    std::unique_ptr<HostStack> host_;
    std::vector<std::unique_ptr<Background>> apps_;
};

void report(const char *what, size_t bytes, std::chrono::steady_clock::time_point begin) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("[ info ] %s: %zu bytes in %.2f s\n", what, bytes, s);
}

// Ping and the answers to a closed port or an unknown protocol, seen by the
// kernel's own sockets in the namespace.
TEST_F(KernelPeer, PingAndUnreachableNotices) {
    ASSERT_NO_FATAL_FAILURE(start());
    Background &ping = tool("ping 1.1.1.1 5");
    EXPECT_EQ(lineOf(ping, "REPLIES"), "REPLIES 5") << ping.output();
    struct Probe {
        const char *args, *expected;
    };
    const Probe probes[] = {
        {"probe-tcp 1.1.1.1 4444", "REFUSED"},      // our RST to a SYN without listener
        {"probe-udp 1.1.1.1 4445", "REFUSED"},      // ICMP port unreachable
        {"probe-proto 1.1.1.1 253", "PROTO-UNREACHABLE"},
    };
    for (const Probe &p : probes) {
        SCOPED_TRACE(p.args);
        Background &probe = app(p.args, false);
        EXPECT_EQ(probe.wait(kAppDeadline), 0) << probe.output();
        EXPECT_EQ(probe.output(), std::string(p.expected) + "\n");
    }
}

// Host to terminal, closing while data is still queued; then terminal to
// host, where the kernel closes right after its last write (its FIN rides
// on the last data) and we close after it.
void bulkEachWay(KernelPeer &t, HostStack &host, const char *name, size_t upBytes, size_t downBytes) {
    {
        Background &sink = t.app("sink 9");
        TcpSocket *s = host.socket(0);
        ASSERT_TRUE(host.connect(s, 9));
        auto data = pattern(upBytes, 11);
        auto begin = std::chrono::steady_clock::now();
        ASSERT_TRUE(host.sendAll(s, data));
        EXPECT_GT(view(s).tx_len, 0);
        host.close(s);
        EXPECT_EQ(lineOf(sink, "SINK"), "SINK " + std::to_string(upBytes) + " " + crcHex(data)) << sink.output();
        report((std::string(name) + ", upload").c_str(), data.size(), begin);
        EXPECT_TRUE(host.waitRetired(s)) << stateName(view(s).state);
        EXPECT_EQ(view(s).error, tcperr::kClosedLocally);
    }
    {
        Background &source = t.app("source 19");
        TcpSocket *s = host.socket(1);
        ASSERT_TRUE(host.connect(s, 19));
        ASSERT_TRUE(t.request(s, downBytes, "fin", 21));
        std::vector<uint8_t> got;
        auto begin = std::chrono::steady_clock::now();
        ASSERT_TRUE(host.receiveUntilFin(s, &got)) << got.size() << " " << stateName(view(s).state);
        report((std::string(name) + ", download").c_str(), got.size(), begin);
        EXPECT_EQ(got.size(), downBytes);
        EXPECT_TRUE(got == pattern(downBytes, 21)) << "data differs";
        EXPECT_EQ(lineOf(source, "SENT"), "SENT " + std::to_string(downBytes));
        EXPECT_EQ(view(s).state, TCP_CLOSE_WAIT);
        host.close(s);
        EXPECT_TRUE(host.waitFor([&] { return !view(s).linked; })) << stateName(view(s).state);
        EXPECT_EQ(view(s).error, tcperr::kClosedByPeer);
    }
}

TEST_F(KernelPeer, BulkEachWayWithCloses) {
    ASSERT_NO_FATAL_FAILURE(start());
    bulkEachWay(*this, *host_, "clean line", 4u << 20, 4u << 20);
}

// Every 7th datagram lost in each direction: the data arrives intact. What
// we receive goes slowly: within our 16 KB window the kernel gets too few
// duplicate ACKs for a fast retransmission, so each loss costs it a
// retransmission time-out (with back-off when the retransmission is lost
// too); hence the smaller download.
TEST_F(KernelPeer, SteadyLossEachWay) {
    ASSERT_NO_FATAL_FAILURE(start({"--drop-every", "7"}));
    bulkEachWay(*this, *host_, "every 7th datagram lost each way", 512u << 10, 64u << 10);
}

// Half-close each way: the kernel shuts down its side and reads on; we shut
// down ours and read on.
TEST_F(KernelPeer, HalfCloseEachWay) {
    ASSERT_NO_FATAL_FAILURE(start());
    {
        SCOPED_TRACE("the terminal half-closes, the host goes on sending");
        Background &source = app("source 19");
        TcpSocket *s = host_->socket(2);
        ASSERT_TRUE(host_->connect(s, 19));
        ASSERT_TRUE(request(s, 100000, "half", 31));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got));
        EXPECT_TRUE(got == pattern(100000, 31));
        ASSERT_EQ(view(s).state, TCP_CLOSE_WAIT);
        auto back = pattern(300000, 32);
        ASSERT_TRUE(host_->sendAll(s, back));
        host_->close(s);
        EXPECT_EQ(lineOf(source, "GOT"), "GOT 300000 " + crcHex(back)) << source.output();
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; })) << stateName(view(s).state);
    }
    {
        SCOPED_TRACE("the host half-closes, the terminal goes on sending");
        Background &echo = tool("echo-server 7 --once");
        ASSERT_TRUE(echo.waitOutput("LISTENING")) << echo.output();
        TcpSocket *s = host_->socket(3);
        ASSERT_TRUE(host_->connect(s, 7));
        auto data = pattern(300000, 33);
        std::vector<uint8_t> echoed;
        ASSERT_TRUE(host_->sendCloseWhileReading(s, data, s, &echoed)) << echoed.size() << " " << stateName(view(s).state);
        EXPECT_TRUE(echoed == data) << echoed.size();
        EXPECT_TRUE(host_->waitRetired(s));
    }
}

// A reset from either side ends the connection at once. Our reset on a
// connection with data in flight is not exactly at the kernel's next
// expected sequence number: the kernel answers with a challenge ACK, and
// our answer to that (a reset at the acknowledged number) ends it.
TEST_F(KernelPeer, ResetEachWay) {
    ASSERT_NO_FATAL_FAILURE(start());
    {
        SCOPED_TRACE("the terminal resets after its data was acknowledged");
        Background &source = app("source 19");
        TcpSocket *s = host_->socket(4);
        ASSERT_TRUE(host_->connect(s, 19));
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
        EXPECT_EQ(lineOf(source, "RESET-SENT"), "RESET-SENT 50000") << source.output();
        EXPECT_TRUE(host_->waitFor([&] { return view(s).state == TCP_CLOSED; }));
        EXPECT_EQ(view(s).error, tcperr::kReset);
        EXPECT_EQ(host_->tcp().tcp_write(s, got.data(), 10, TIME_READ_MS()), -1);
    }
    {
        SCOPED_TRACE("the host aborts while sending");
        Background &sink = app("sink 9");
        TcpSocket *s = host_->socket(5);
        ASSERT_TRUE(host_->connect(s, 9));
        ASSERT_TRUE(host_->sendAll(s, pattern(60000, 42)));
        host_->abort(s);
        EXPECT_FALSE(lineOf(sink, "SINK-RESET").empty()) << sink.output();
        EXPECT_FALSE(view(s).linked);
    }
}

// We stop reading: our window closes and the kernel probes it; we resume
// and every byte arrives.
TEST_F(KernelPeer, HostStopsReadingThenResumes) {
    ASSERT_NO_FATAL_FAILURE(start());
    Background &source = app("source 19");
    TcpSocket *s = host_->socket(6);
    ASSERT_TRUE(host_->connect(s, 19));
    ASSERT_TRUE(request(s, 400000, "fin", 51));
    ASSERT_TRUE(host_->waitFor([&] {
        auto v = view(s);
        return v.rx_len == v.rx_capacity;
    })) << view(s).rx_len;
    ASSERT_TRUE(host_->waitTicks(1500));  // across several of the kernel's probes
    std::vector<uint8_t> got;
    ASSERT_TRUE(host_->receiveUntilFin(s, &got));
    EXPECT_TRUE(got == pattern(400000, 51)) << got.size();
    EXPECT_EQ(lineOf(source, "SENT"), "SENT 400000");
    host_->close(s);
}

// The kernel stops reading: its window closes, we probe it with backing-off
// probes (not a segment per pump period) and go on once it opens.
TEST_F(KernelPeer, TerminalStopsReadingThenResumes) {
    ASSERT_NO_FATAL_FAILURE(start());
    simtest::TempDir dir;
    const std::string go = dir.file("go");
    Background &sink = app("sink 9 --rcvbuf 4096 --hold " + go);
    TcpSocket *s = host_->socket(7);
    ASSERT_TRUE(host_->connect(s, 9));
    ASSERT_TRUE(sink.waitOutput("ACCEPTED"));
    const size_t total = 300000;
    auto data = pattern(total, 61);
    size_t written = 0;
    ASSERT_TRUE(host_->fillUntilWindowShut(s, data, &written)) << "window " << view(s).peer_window << " queued " << view(s).tx_len;
    unsigned long before = simReceived();
    ASSERT_TRUE(host_->waitTicks(3000));
    unsigned long after = simReceived();
    EXPECT_GE(after - before, 1u) << "no zero-window probe";
    EXPECT_LE(after - before, 30u) << "datagrams sent while the window was shut";
    std::ofstream(go).put('\n');
    ASSERT_TRUE(host_->sendAll(s, data.data() + written, total - written));
    host_->close(s);
    EXPECT_EQ(lineOf(sink, "SINK "), "SINK " + std::to_string(total) + " " + crcHex(data)) << sink.output();
}

// A lost control segment is sent again: a SYN-ACK either way, a FIN either
// way.
TEST_F(KernelPeer, LostControlSegments) {
    {
        SCOPED_TRACE("the terminal's SYN-ACK is lost");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "tx:syn-ack"}));
        Background &sink = app("sink 9");
        TcpSocket *s = host_->socket(8);
        ASSERT_TRUE(host_->connect(s, 9));
        EXPECT_TRUE(term_->sim().waitEvent("DROPPED tx TCP SYN-ACK")) << term_->sim().transcript();
        auto data = pattern(20000, 71);
        ASSERT_TRUE(host_->sendAll(s, data));
        host_->close(s);
        EXPECT_EQ(lineOf(sink, "SINK "), "SINK 20000 " + crcHex(data)) << sink.output();
        TearDown();
    }
    {
        SCOPED_TRACE("our SYN-ACK is lost (the terminal connects to us)");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "rx:syn-ack"}));
        TcpSocket *s = host_->socket(9);
        host_->tcp().tcp_listen(s, 5001, 0, 0, 0, TIME_READ_MS());
        Background &client = app("connect 1.1.1.1 5001 150000 72", false);
        ASSERT_TRUE(host_->accept(s));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got));
        EXPECT_TRUE(got == pattern(150000, 72)) << got.size();
        host_->close(s);
        EXPECT_EQ(lineOf(client, "CONNECT"), "CONNECT SENT 150000") << client.output();
        EXPECT_TRUE(term_->sim().waitEvent("DROPPED rx TCP SYN-ACK")) << term_->sim().transcript();
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; }));
        TearDown();
    }
    {
        SCOPED_TRACE("the terminal's FIN is lost");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "tx:fin"}));
        Background &source = app("source 19");
        TcpSocket *s = host_->socket(10);
        ASSERT_TRUE(host_->connect(s, 19));
        ASSERT_TRUE(request(s, 3000, "fin", 73));
        std::vector<uint8_t> got;
        ASSERT_TRUE(host_->receiveUntilFin(s, &got));
        EXPECT_TRUE(got == pattern(3000, 73)) << got.size();
        std::string dropped;
        EXPECT_TRUE(term_->sim().waitEvent("DROPPED tx TCP FIN", &dropped)) << term_->sim().transcript();
        std::printf("[ info ] %s\n", dropped.c_str());
        EXPECT_EQ(lineOf(source, "SENT"), "SENT 3000");
        host_->close(s);
        EXPECT_TRUE(host_->waitFor([&] { return !view(s).linked; }));
        TearDown();
    }
    {
        SCOPED_TRACE("our FIN is lost");
        ASSERT_NO_FATAL_FAILURE(start({"--drop-next", "rx:fin"}));
        Background &sink = app("sink 9");
        TcpSocket *s = host_->socket(11);
        ASSERT_TRUE(host_->connect(s, 9));
        auto data = pattern(5000, 74);
        ASSERT_TRUE(host_->sendAll(s, data));
        host_->close(s);
        EXPECT_TRUE(term_->sim().waitEvent("DROPPED rx TCP FIN")) << term_->sim().transcript();
        EXPECT_EQ(lineOf(sink, "SINK "), "SINK 5000 " + crcHex(data)) << sink.output();
        EXPECT_TRUE(host_->waitRetired(s)) << stateName(view(s).state);
    }
}

}  // namespace
}  // namespace stacke2e
