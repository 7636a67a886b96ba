// The connection contexts end to end: the real network thread runs the
// pump over PPP to the serial terminal simulator (lwIP), whose TCP echo
// server on port 5188 is the terminal application. The test's threads play
// the bridges. Skipped when the simulator was not built.
#include "stack/net_ctx_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {
using namespace ryn::test;

constexpr uint16_t kEchoPort = 5188;

uint64_t checksum(const uint8_t *p, size_t n, uint64_t sum = 1469598103934665603ull) {
    for (size_t i = 0; i < n; ++i) sum = (sum ^ p[i]) * 1099511628211ull;  // FNV-1a: order matters
    return sum;
}

class WithSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = simulatorPath();
        if (exe_.empty() || access(exe_.c_str(), X_OK) != 0)
            GTEST_SKIP() << "the serial terminal simulator is not built (scripts/fetch-lwip.sh, then reconfigure)";
        resetContexts();
        ryn::link::NetworkHooks hooks;
        hooks.initialize = NET_Initialize;
        hooks.enter = NET_Enter;
        hooks.execPump = NET_ExecPump;
        hooks.closeAll = NET_CloseAll;
        hooks.allClosed = NET_AllClosed;
        hooks.exit = NET_Exit;
        hooks.deinitialize = NET_Deinitialize;
        ryn::link::bindNetworkHooks(hooks);
        log_ = std::make_unique<PrivateLog>();
        link_ = dir_.file("spm");
        home_ = std::make_unique<PrivateHome>(link_);
        sim_ = std::make_unique<Simulator>(
            exe_, std::vector<std::string>{"--link", link_, "--echo-port", std::to_string(kEchoPort), "--retry-time", "1"},
            dir_.file("sim.txt"));
        ASSERT_TRUE(sim_->running());
        ASSERT_TRUE(sim_->event("READY"));
        // The bridge table's entry 7: a host-to-terminal context for the echo port.
        ctx_ = &dynamicEntry(0, kDirHostToTerminal, kEchoPort, TCP_IDLE, kTerminalLinkAddr);
        start_rynsock();
        ASSERT_TRUE(waitUntil([] { return is_ppp_connected() == 1; }, 60)) << readFile(dir_.file("sim.txt"));
    }
    void TearDown() override {
        stop_rynsock();
        ryn::link::bindNetworkHooks({});
        sim_.reset();
        home_.reset();
        log_.reset();
        resetContexts();
    }

    // What a bridge worker does to reach the terminal: OPEN, then wait.
    static bool connect(tagCTX_FSM &c) {
        setState(c, TCP_OPEN);
        return waitUntil([&] { return stateOf(c) == TCP_CONNECTED; }, 60);
    }
    static void closeCtx(tagCTX_FSM &c) { setState(c, TCP_CLOSE); }

    std::string exe_;
    TempDir dir_;
    std::string link_;
    std::unique_ptr<PrivateLog> log_;
    std::unique_ptr<PrivateHome> home_;
    std::unique_ptr<Simulator> sim_;
    tagCTX_FSM *ctx_ = nullptr;
};

TEST_F(WithSimulator, OneMegabyteEchoesThroughAStaticContext) {
    tagCTX_FSM &c = *ctx_;
    ASSERT_TRUE(connect(c));
    // The pump publishes CONNECTED before it writes the line (which carries
    // the new state), so wait for the line rather than read it at once.
    const std::string connected = tracePrefix(7, "OUT", kEchoPort, TCP_CONNECTED) + "WAITCNX => CONNECTED";
    EXPECT_TRUE(waitUntil([&] { return log_->count(connected) == 1; })) << log_->text();

    constexpr int kTotal = 1 << 20;
    std::vector<uint8_t> out(kTotal);
    std::mt19937 rng(7);
    for (auto &b : out) b = static_cast<uint8_t>(rng());
    std::atomic<int> written{-2};
    std::thread writer([&] {
        // Odd sizes: the stack must keep the byte order across partial writes.
        int at = 0;
        while (at < kTotal) {
            int n = std::min(kTotal - at, 12345);
            int r = NetWriteIpBlock(&c, out.data() + at, n, 0);
            if (r != n) {
                written = r;
                return;
            }
            at += n;
        }
        written = at;
    });
    std::vector<uint8_t> in;
    in.reserve(kTotal);
    uint8_t buf[8192];
    while (static_cast<int>(in.size()) < kTotal) {
        int r = NetReadIpBlock(&c, buf, sizeof buf, 1, 3000);  // 30 s without a byte fails
        if (r <= 0) break;
        in.insert(in.end(), buf, buf + r);
    }
    writer.join();
    EXPECT_EQ(written.load(), kTotal);
    ASSERT_EQ(in.size(), out.size());
    EXPECT_EQ(checksum(in.data(), in.size()), checksum(out.data(), out.size()));

    // A read for at least 4 bytes returns with the 4 that came, not the 1000 asked.
    const uint8_t four[4] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(NetWriteIpBlock(&c, four, 4, 0), 4);
    uint8_t back[1000] = {};
    EXPECT_EQ(NetReadIpBlock(&c, back, sizeof back, 4, 3000), 4);
    EXPECT_EQ(std::memcmp(back, four, 4), 0);
    // Nothing more comes: a bounded read gives up with 0.
    EXPECT_EQ(NetReadIpBlock(&c, back, sizeof back, 1, 5), 0);

    closeCtx(c);
    ASSERT_TRUE(waitUntil([&] { return stateOf(c) == TCP_IDLE; }));
    EXPECT_EQ(sockOf(c), nullptr);
    EXPECT_EQ(log_->count("CLOSE => LISTEN"), 1u);
    EXPECT_TRUE(waitUntil([] { return NET_AllClosed() == 1; }));
    // Closed: reading and writing fail at once.
    EXPECT_EQ(NetWriteIpBlock(&c, four, 4, 0), -1);
    EXPECT_EQ(NetReadIpBlock(&c, back, 4, 4, 0), -1);
}

TEST_F(WithSimulator, LinkDropClosesTheContextAndHoldsItUntilTheLinkRestarts) {
    tagCTX_FSM &c = *ctx_;
    ASSERT_TRUE(connect(c));
    sim_->command("restart");
    ASSERT_TRUE(sim_->event("PPP-DOWN"));
    // CONNECTED => CLOSE => LISTEN, held there while the link is down; once
    // the line is reopened a host-to-terminal context rests in IDLE again.
    ASSERT_TRUE(waitUntil([&] { return log_->count("CLOSE => LISTEN") >= 1; }));
    std::string t = log_->text();
    EXPECT_TRUE(t.find("CONNECTED => CLOSE (do_CloseCom)") != std::string::npos ||
                t.find("CONNECTED => CLOSE (Connection closed by terminal)") != std::string::npos)
        << t;
    EXPECT_EQ(sockOf(c), nullptr);
    EXPECT_TRUE(waitUntil([] { return NET_AllClosed() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return stateOf(c) == TCP_IDLE; }, 60));
    // The link comes back and the context dials again.
    ASSERT_TRUE(waitUntil([] { return is_ppp_connected() == 1; }, 60));
    ASSERT_TRUE(connect(c));
    const uint8_t hi[2] = {'h', 'i'};
    ASSERT_EQ(NetWriteIpBlock(&c, hi, 2, 0), 2);
    uint8_t back[2] = {};
    EXPECT_EQ(NetReadIpBlock(&c, back, 2, 2, 3000), 2);
    closeCtx(c);
}

// A pool context the way a bridge uses it: taken for a host client, a
// worker dials and exchanges, closes its host side and ends; the pump
// frees the entry after the worker ended.
struct PoolWorker {
    tagCTX_FSM *ctx = nullptr;
    std::atomic<int> result{0};
    static void *body(void *arg) {
        auto *w = static_cast<PoolWorker *>(arg);
        tagCTX_FSM &c = *w->ctx;
        setState(c, TCP_OPEN);
        if (!waitUntil([&] { return stateOf(c) == TCP_CONNECTED; }, 60)) {
            w->result = -1;
        } else {
            const uint8_t msg[5] = {'h', 'e', 'l', 'l', 'o'};
            uint8_t back[5] = {};
            if (NetWriteIpBlock(&c, msg, 5, 0) != 5 || NetReadIpBlock(&c, back, 5, 5, 3000) != 5 ||
                std::memcmp(msg, back, 5) != 0)
                w->result = -2;
            else
                w->result = 1;
        }
        releaseCtxSocket(&c);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // as closeSockets does
        return nullptr;
    }
};

TEST_F(WithSimulator, PoolContextsCarryConnectionsAndAreFreedAfterTheirWorkers) {
    constexpr int kWorkers = 4;
    PoolWorker workers[kWorkers];
    for (int i = 0; i < kWorkers; ++i) {
        tagCTX_FSM *c = getFreeOpenCtx(1000 + i);
        ASSERT_NE(c, nullptr);
        pthread_mutex_lock(&c->lock);
        c->direction = kDirHostToTerminal;
        c->terminal_port = kEchoPort;
        c->terminal_addr = kTerminalLinkAddr;
        pthread_mutex_unlock(&c->lock);
        workers[i].ctx = c;
        ASSERT_EQ(startCtxThread(c, PoolWorker::body, &workers[i]), 0);
    }
    auto allFree = [] {
        pthread_mutex_lock(&MngOpenCtxMutex);
        bool free = true;
        for (const MngOpenCtx &e : OpenCtxPool) free = free && e.in_use == 0;
        pthread_mutex_unlock(&MngOpenCtxMutex);
        return free;
    };
    ASSERT_TRUE(waitUntil(allFree, 60));
    for (const PoolWorker &w : workers) EXPECT_EQ(w.result.load(), 1);
    EXPECT_EQ(log_->count("releaseCtxIfNeed DONE"), static_cast<size_t>(kWorkers));
    EXPECT_EQ(log_->count("=> TCP_CLOSE"), static_cast<size_t>(kWorkers));
    EXPECT_TRUE(waitUntil([] { return NET_AllClosed() == 1; }));
}

}  // namespace
