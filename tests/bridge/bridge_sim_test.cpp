// Host-to-terminal bridges end to end: the real network thread (hooks of
// the bridge table, the pump, PPP) over a pty to the serial terminal
// simulator, whose lwIP echo servers on ports 5188 and 7100 are the
// terminal's applications. Host programs are the test's own sockets on the
// loopback of a private network namespace, so the fixed port 5188 cannot
// collide with anything on the machine. Skipped when the simulator was not
// built.
#include "bridge/bridge.h"
#include "bridge/bridge_peer.h"
#include "stack/net_ctx_peer.h"
#include "tools/spmsim/pattern.h"

#include "ryn_service.h"
#include "service/config.h"
#include "service/manager.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace {
using namespace ryn::test;
using bridgetest::closedByPeer;
using bridgetest::connectLoopback;
using bridgetest::echoThrough;

// Before any thread exists: the whole process gets its own loopback.
const bool g_privateNetwork = bridgetest::enterPrivateNetwork();

constexpr uint16_t kChannelPort = 5188;
constexpr uint16_t kDynamicPort = 7100;
constexpr uint16_t kSourcePort = 7200;  // the terminal sends what it is asked for, then ends

using ryn::test::threadCount;

int poolInUse() {
    int n = 0;
    pthread_mutex_lock(&MngOpenCtxMutex);
    for (auto &e : OpenCtxPool) n += e.in_use ? 1 : 0;
    pthread_mutex_unlock(&MngOpenCtxMutex);
    return n;
}

// The local address of the TCP listener on `port` ("0100007F" for
// 127.0.0.1, "00000000" for every interface), or "" when none listens.
std::string listenerAddress(uint16_t port) {
    std::ifstream f("/proc/net/tcp");
    std::string line;
    std::getline(f, line);
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(f, line)) {
        char local[64] = {}, remote[64] = {}, state[8] = {};
        if (std::sscanf(line.c_str(), "%*d: %63s %63s %7s", local, remote, state) != 3) continue;
        std::string l(local);
        if (std::string(state) == "0A" && l.size() > 5 && l.substr(l.size() - 5) == want) return l.substr(0, 8);
    }
    return "";
}

// A host client that streams pattern bytes one way and reads whatever comes
// back, until the bridge closes it; for link drops and stops under load.
class Stream {
public:
    explicit Stream(int fd) : fd_(fd) {
        writer_ = std::thread([this] {
            std::vector<uint8_t> buf(4096, 0x5A);
            while (!stop_) {
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                ssize_t n = send(fd_, buf.data(), buf.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) return;
            }
        });
        reader_ = std::thread([this] {
            std::vector<uint8_t> buf(65536);
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) break;
                received_ += static_cast<size_t>(n);
            }
            ended_ = true;
        });
    }
    ~Stream() {
        stop_ = true;
        writer_.join();
        reader_.join();
        close(fd_);
    }
    size_t received() const { return received_; }
    bool ended() const { return ended_; }

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::atomic<size_t> received_{0};
    std::thread writer_, reader_;
};

class BridgeSim : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = simulatorPath();
        if (exe_.empty() || access(exe_.c_str(), X_OK) != 0)
            GTEST_SKIP() << "the serial terminal simulator is not built (scripts/fetch-lwip.sh, then reconfigure)";
        if (!g_privateNetwork) GTEST_SKIP() << "needs a private network namespace (root) for the fixed port 5188";
        resetContexts();
        // A first thread makes a sanitizer start its own helper thread now,
        // so it is not counted as one of ours later.
        std::thread([] {}).join();
        threadsBefore_ = threadCount();
        ryn::bridge::installNetworkHooks();
        log_ = std::make_unique<PrivateLog>();
        link_ = dir_.file("spm");
        home_ = std::make_unique<PrivateHome>(link_);
        sim_ = std::make_unique<Simulator>(exe_,
                                           std::vector<std::string>{"--link", link_, "--echo-port",
                                                                    std::to_string(kChannelPort), "--echo-port",
                                                                    std::to_string(kDynamicPort), "--source-port",
                                                                    std::to_string(kSourcePort), "--retry-time", "1"},
                                           dir_.file("sim.txt"));
        ASSERT_TRUE(sim_->running());
        ASSERT_TRUE(sim_->event("READY"));
        if (!startLink_) return;
        start_rynsock();
        ASSERT_TRUE(linkUp()) << readFile(dir_.file("sim.txt"));
        started_ = true;
    }
    void TearDown() override {
        if (started_) stop_rynsock();
        ryn::link::bindNetworkHooks({});
        sim_.reset();
        home_.reset();
        log_.reset();
    }

    bool linkUp() { return waitUntil([] { return is_ppp_connected() == 1; }, 60); }

    // A dynamic host-to-terminal bridge on kDynamicPort, listening.
    void addDynamic() {
        int r = AddDynamicBridgeLocal(kDynamicPort, 0);
        // -4: not listening within 100 ms on a loaded machine; it keeps trying.
        ASSERT_TRUE(r == 0 || r == -4) << r;
        ASSERT_TRUE(waitUntil([] { return listenerAddress(kDynamicPort) == "0100007F"; }));
    }

    static void echoOk(int fd, size_t bytes, uint32_t seed) {
        auto r = echoThrough(fd, bytes, seed);
        EXPECT_TRUE(r.ok) << r.error;
    }

    std::string exe_;
    TempDir dir_;
    std::string link_;
    std::unique_ptr<PrivateLog> log_;
    std::unique_ptr<PrivateHome> home_;
    std::unique_ptr<Simulator> sim_;
    int threadsBefore_ = 0;
    bool started_ = false;
    bool startLink_ = true;
};

// The exported calls through the whole service: startRynService starts the
// network thread with the bridge table's hooks.
class ServiceBridgeSim : public BridgeSim {
protected:
    ServiceBridgeSim() { startLink_ = false; }
    void TearDown() override {
        ryn::destroyManager();
        BridgeSim::TearDown();
    }
};

TEST_F(BridgeSim, HostClientOnTheChannelPortGetsEveryByteBack) {
    int fd = connectLoopback(kChannelPort);
    ASSERT_GE(fd, 0);
    // Several MB each way; the writer starts before the terminal connection
    // is up, so the first bytes are the ones held while dialling.
    auto r = echoThrough(fd, 3u << 20, 11);
    EXPECT_TRUE(r.ok) << r.error;
    close(fd);
    EXPECT_GE(log_->count(tracePrefix(0, "OUT", kChannelPort, TCP_CONNECTED) + "Connection to terminal succeeded"), 1u);
    // The fixed bridge serves one client at a time and listens again after.
    ASSERT_TRUE(waitUntil([&] { return log_->count("Close sockets: sock=") >= 1; }));
    fd = connectLoopback(kChannelPort);
    ASSERT_GE(fd, 0);
    echoOk(fd, 100000, 12);
    close(fd);
}

TEST_F(BridgeSim, AdditionResults) {
    // The exported calls need a running service.
    EXPECT_EQ(addDynamicBridge(7000, 0), -5);
    EXPECT_EQ(addDynamicBridgeLocal(7000, 0), -5);
    EXPECT_NE(log_->text().find("ERROR_SERVICE_NOT_ACTIVE"), std::string::npos);

    auto added = [](int r) { return r == 0 || r == -4; };  // -4: still getting ready
    EXPECT_PRED1(added, AddDynamicBridgeLocal(7000, 1));
    EXPECT_EQ(AddDynamicBridgeLocal(7000, 1), -2);
    EXPECT_EQ(log_->count("Bridge already exists!!!!"), 1u);
    EXPECT_PRED1(added, AddDynamicBridgeLocal(7000, 0));  // the other direction is another bridge
    EXPECT_EQ(AddDynamicBridgeLocal(7001, 2), -4);        // neither direction: no entry used
    EXPECT_EQ(nbDynamicCtx.load(), 2);
    EXPECT_PRED1(added, AddDynamicBridgeAny(7002, 0));
    EXPECT_TRUE(waitUntil([] { return listenerAddress(7002) == "00000000"; }));
    EXPECT_TRUE(waitUntil([] { return listenerAddress(7000) == "0100007F"; }));
    for (uint16_t port = 7003; nbDynamicCtx.load() < kMaxDynamicBridges; ++port)
        ASSERT_PRED1(added, AddDynamicBridgeLocal(port, port % 2));
    EXPECT_EQ(AddDynamicBridgeLocal(7099, 0), -1);
    EXPECT_EQ(log_->count("Too many bridges!!!!"), 1u);
    EXPECT_EQ(AddDynamicBridgeLocal(7000, 0), -2);  // a duplicate is reported before a full table
    EXPECT_EQ(nbDynamicCtx.load(), kMaxDynamicBridges);
    EXPECT_EQ(log_->count("AddDynamicBridge port:7002 dir:0 ANY nbDynamicCtx=2"), 1u);

    // The network thread ends every bridge, resets the count and refuses
    // additions until it runs again.
    stop_rynsock();
    started_ = false;
    EXPECT_EQ(nbDynamicCtx.load(), 0);
    for (int i = 0; i < kStaticContexts; ++i) EXPECT_FALSE(SrvCtx[i].has_thread) << i;
    EXPECT_EQ(listenerAddress(7000), "");
    EXPECT_EQ(AddDynamicBridgeLocal(7000, 0), -3);
    EXPECT_EQ(nbDynamicCtx.load(), 0);
}

// Reads until the connection ends; every byte is checked against the
// simulator's pattern. Bytes received, or -1 on a wrong byte or no end.
long readToEnd(int fd, uint32_t seed, bool *reset) {
    uint8_t buf[65536];
    uint64_t got = 0;
    auto end = bridgetest::Clock::now() + std::chrono::seconds(60);
    while (bridgetest::Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            *reset = n < 0;
            return static_cast<long>(got);
        }
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] != spmsim::patternByte(got + static_cast<uint64_t>(i), seed)) return -1;
        got += static_cast<uint64_t>(n);
    }
    return -1;
}

TEST_F(ServiceBridgeSim, ExportedCallsAddBridgesWhileTheServiceRuns) {
    ryn::createManager();
    EXPECT_EQ(addDynamicBridgeLocal(kDynamicPort, 0), -5);
    ASSERT_EQ(startRynService(), 1);
    ASSERT_TRUE(linkUp());
    int r = addDynamicBridgeLocal(kDynamicPort, 0);
    ASSERT_TRUE(r == 0 || r == -4) << r;
    EXPECT_EQ(addDynamicBridgeLocal(kDynamicPort, 0), -2);
    EXPECT_EQ(addDynamicBridge(kDynamicPort, 2), -4);
    EXPECT_EQ(addDynamicBridge(70000, 0), -4);  // no such port
    EXPECT_EQ(nbDynamicCtx.load(), 1);
    int fd = connectLoopback(kDynamicPort);
    ASSERT_GE(fd, 0);
    echoOk(fd, 200000, 3);
    close(fd);
    ASSERT_EQ(stopRynService(), 1);
    EXPECT_EQ(nbDynamicCtx.load(), 0);
    EXPECT_EQ(listenerAddress(kDynamicPort), "");
    EXPECT_EQ(addDynamicBridgeLocal(kDynamicPort, 0), -5);
}

// An IP terminal reaches the host directly: the calls succeed doing nothing.
TEST(ServiceBridgeIp, ExportedCallsDoNothingForAnIpTerminal) {
    TempDir home;
    setenv("RYN_HOME", home.path().c_str(), 1);
    PrivateLog log;
    ryn::createManager();
    writeFile(ryn::config::activationFilePath(), "Type=3;AddrIP=127.0.0.1;Name=test");
    ASSERT_EQ(startRynService(), 1);
    EXPECT_EQ(addDynamicBridge(7300, 0), 0);
    EXPECT_EQ(addDynamicBridgeLocal(7300, 1), 0);
    EXPECT_EQ(nbDynamicCtx.load(), 0);
    EXPECT_EQ(listenerAddress(7300), "");
    EXPECT_EQ(stopRynService(), 1);
    ryn::destroyManager();
    unsetenv("RYN_HOME");
}

TEST_F(BridgeSim, TerminalClosingDeliversWhatItSentThenClosesTheHostSide) {
    int r = AddDynamicBridgeLocal(kSourcePort, 0);
    ASSERT_TRUE(r == 0 || r == -4) << r;
    ASSERT_TRUE(waitUntil([] { return listenerAddress(kSourcePort) == "0100007F"; }));
    struct Case {
        const char *mode;
        bool everything;  // a reset may cut what was still on its way
    };
    for (const Case &c : {Case{"fin", true}, Case{"rst", false}}) {
        SCOPED_TRACE(c.mode);
        int fd = connectLoopback(kSourcePort);
        ASSERT_GE(fd, 0);
        constexpr long kBytes = 300000;
        std::string ask = std::to_string(kBytes) + " " + c.mode + " 9\n";
        ASSERT_TRUE(bridgetest::sendAll(fd, reinterpret_cast<const uint8_t *>(ask.data()), ask.size(),
                                        bridgetest::Clock::now() + std::chrono::seconds(10)));
        bool reset = false;
        long got = readToEnd(fd, 9, &reset);
        if (c.everything) {
            EXPECT_EQ(got, kBytes);
            EXPECT_FALSE(reset);
        } else {
            EXPECT_GE(got, 0);
            EXPECT_LE(got, kBytes);
        }
        close(fd);
        EXPECT_TRUE(waitUntil([] { return poolInUse() == 0; }));
    }
    EXPECT_GE(log_->count("CONNECTED => CLOSE (Connection closed by terminal)"), 1u);
}

TEST_F(BridgeSim, TerminalRefusingTheConnectionIsDialledTenTimesThenTheHostIsClosed) {
    constexpr uint16_t kNobody = 7400;  // no server on the terminal: each dial is reset
    int r = AddDynamicBridgeLocal(kNobody, 0);
    ASSERT_TRUE(r == 0 || r == -4) << r;
    int fd = connectLoopback(kNobody);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closedByPeer(fd, 60));
    close(fd);
    EXPECT_EQ(log_->count("Connection to terminal failed"), 10u);
    EXPECT_EQ(log_->count("cnx_try="), 10u);
    EXPECT_EQ(log_->count("cnx_try=10 "), 1u);
    EXPECT_TRUE(waitUntil([] { return poolInUse() == 0; }));
}

TEST_F(BridgeSim, HostThatVanishesOrStopsReadingLosesItsConnectionOnly) {
    int r = AddDynamicBridgeLocal(kSourcePort, 0);
    ASSERT_TRUE(r == 0 || r == -4) << r;
    auto ask = [](int fd, const std::string &text) {
        return bridgetest::sendAll(fd, reinterpret_cast<const uint8_t *>(text.data()), text.size(),
                                   bridgetest::Clock::now() + std::chrono::seconds(10));
    };
    // Vanishes: closes after the first bytes of a long stream.
    int fd = connectLoopback(kSourcePort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ask(fd, "50000000 fin 4\n"));
    uint8_t buf[1000];
    ASSERT_TRUE(waitUntil([&] { return recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0; }));
    close(fd);
    EXPECT_TRUE(waitUntil([] { return poolInUse() == 0; }));

    // Stops reading: after 5 s without room the bridge gives up. A small
    // receive buffer, so the host's side fills quickly.
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kSourcePort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_TRUE(ask(fd, "50000000 fin 5\n"));
    EXPECT_TRUE(waitUntil([&] { return log_->count("Tx data to host: select (0)") == 1; }, 90));
    EXPECT_TRUE(waitUntil([] { return poolInUse() == 0; }));
    close(fd);

    // The bridge itself goes on.
    fd = connectLoopback(kSourcePort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ask(fd, "1000 fin 6\n"));
    bool reset = false;
    EXPECT_EQ(readToEnd(fd, 6, &reset), 1000);
    close(fd);
}

TEST_F(BridgeSim, AdditionsRacingAStopAreEitherJoinedOrRefused) {
    std::atomic<bool> stopped{false};
    std::atomic<int> added{0}, refused{0}, other{0};
    std::thread adder([&] {
        for (uint16_t port = 7500; !stopped.load(); port = port == 7511 ? 7500 : port + 1) {
            int r = AddDynamicBridgeLocal(port, port % 2);
            if (r == 0 || r == -4)
                ++added;
            else if (r == -3)
                ++refused;
            else if (r != -1 && r != -2)
                ++other;
            std::this_thread::yield();  // a full table answers at once
        }
    });
    ASSERT_TRUE(waitUntil([&] { return added.load() >= 3; }));
    stop_rynsock();
    started_ = false;
    stopped = true;
    adder.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_GE(refused.load(), 1);  // the adder's last call came after the stop
    EXPECT_EQ(nbDynamicCtx.load(), 0);
    for (int i = 0; i < kStaticContexts; ++i) EXPECT_FALSE(SrvCtx[i].has_thread) << i;
    for (uint16_t port = 7500; port <= 7511; ++port) EXPECT_EQ(listenerAddress(port), "") << port;
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore_; }, 10))
        << threadCount() << " threads, " << threadsBefore_ << " before the start";
}

TEST_F(BridgeSim, DynamicBridgeServes32ClientsAtOnceAndClosesThe33rd) {
    addDynamic();
    std::vector<int> fds;
    // One after the other: the listen backlog is a single connection, and a
    // burst of clients would wait for their SYN retransmissions.
    for (int i = 0; i < kPoolContexts; ++i) {
        int fd = connectLoopback(kDynamicPort);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        echoOk(fd, 100, 500 + i);
    }
    // All 32 at once, each with its own pool context and threads.
    {
        std::vector<std::thread> ts;
        for (int i = 0; i < kPoolContexts; ++i) ts.emplace_back(echoOk, fds[i], 65536, 100 + i);
        for (auto &t : ts) t.join();
    }
    EXPECT_EQ(poolInUse(), kPoolContexts);

    int extra = connectLoopback(kDynamicPort);
    ASSERT_GE(extra, 0);
    EXPECT_TRUE(closedByPeer(extra));
    close(extra);
    EXPECT_EQ(log_->count("accept() failed: no more context free"), 1u);

    // One client leaves: its context is freed once its worker ended, and a
    // new client is served with it.
    close(fds.back());
    fds.pop_back();
    ASSERT_TRUE(waitUntil([] { return poolInUse() == kPoolContexts - 1; }));
    int next = connectLoopback(kDynamicPort);
    ASSERT_GE(next, 0);
    echoOk(next, 20000, 7);
    fds.push_back(next);
    for (int fd : fds) close(fd);
    EXPECT_TRUE(waitUntil([] { return poolInUse() == 0; }));
}

TEST_F(BridgeSim, LinkDropClosesEveryBridgedConnectionAndNewOnesWorkAfter) {
    addDynamic();
    std::vector<std::unique_ptr<Stream>> streams;
    for (uint16_t port : {kChannelPort, kDynamicPort, kDynamicPort, kDynamicPort}) {
        int fd = connectLoopback(port);
        ASSERT_GE(fd, 0);
        streams.push_back(std::make_unique<Stream>(fd));
    }
    ASSERT_TRUE(waitUntil([&] {
        for (auto &s : streams)
            if (s->received() < 50000) return false;
        return true;
    }, 60));
    sim_->command("unplug");
    ASSERT_TRUE(sim_->event("UNPLUGGED"));
    EXPECT_TRUE(waitUntil([&] {
        for (auto &s : streams)
            if (!s->ended()) return false;
        return true;
    }, 60));
    streams.clear();
    // Until the line is open again nobody listens: host clients are refused.
    EXPECT_TRUE(waitUntil([] { return listenerAddress(kChannelPort).empty() && listenerAddress(kDynamicPort).empty(); }));
    EXPECT_TRUE(waitUntil([] { return poolInUse() == 0; }));
    EXPECT_TRUE(waitUntil([] { return is_ppp_connected() == 0; }));

    sim_->command("plug");
    ASSERT_TRUE(sim_->event("READY"));
    ASSERT_TRUE(linkUp());
    for (uint16_t port : {kChannelPort, kDynamicPort}) {
        int fd = connectLoopback(port);
        ASSERT_GE(fd, 0);
        echoOk(fd, 200000, port);
        close(fd);
    }
}

TEST_F(BridgeSim, StopUnderTrafficJoinsEveryThread) {
    addDynamic();
    std::vector<std::unique_ptr<Stream>> streams;
    for (uint16_t port : {kChannelPort, kDynamicPort, kDynamicPort, kDynamicPort, kDynamicPort}) {
        int fd = connectLoopback(port);
        ASSERT_GE(fd, 0);
        streams.push_back(std::make_unique<Stream>(fd));
    }
    ASSERT_TRUE(waitUntil([&] {
        for (auto &s : streams)
            if (s->received() < 50000) return false;
        return true;
    }, 60));
    stop_rynsock();
    started_ = false;
    // Every bridge thread was joined: the host sides are closed, no entry
    // or pool context keeps a thread.
    EXPECT_TRUE(waitUntil([&] {
        for (auto &s : streams)
            if (!s->ended()) return false;
        return true;
    }, 10));
    streams.clear();
    EXPECT_EQ(nbDynamicCtx.load(), 0);
    EXPECT_EQ(poolInUse(), 0);
    for (int i = 0; i < kStaticContexts; ++i) EXPECT_FALSE(SrvCtx[i].has_thread) << i;
    for (auto &e : OpenCtxPool) EXPECT_FALSE(e.ctx.has_thread);
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore_; }, 10))
        << threadCount() << " threads, " << threadsBefore_ << " before the start";
    EXPECT_EQ(listenerAddress(kChannelPort), "");
    EXPECT_EQ(listenerAddress(kDynamicPort), "");
}

}  // namespace
