// The connection contexts and the pump without the network thread: the
// test's thread is the pump thread, the stack runs without a link (its
// packet driver is inert), so every state change here comes from the state
// functions themselves.
#include "stack/net_ctx_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {
using namespace ryn::test;

class Pump : public ::testing::Test {
protected:
    void SetUp() override {
        resetContexts();
        NET_Initialize();
        NET_Enter();
    }
    void TearDown() override {
        GlobalExit = 1;
        NET_Exit();
        NET_Deinitialize();
        resetContexts();
    }
    void pump(int times = 1) {
        for (int i = 0; i < times; ++i) NET_ExecPump();
    }
    PrivateLog log;
};

TEST_F(Pump, WritingOutsideConnectedFailsAndReadingReturnsNothing) {
    tagCTX_FSM &c = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    pump();
    ASSERT_EQ(stateOf(c), TCP_WAITCNX);
    ASSERT_NE(sockOf(c), nullptr);
    uint8_t data[4] = {1, 2, 3, 4};
    pthread_mutex_lock(&c.lock);
    EXPECT_EQ(NetWriteIp(&c, data, 4), -1);
    EXPECT_EQ(NetReadIp(&c, data, 4), 0);
    pthread_mutex_unlock(&c.lock);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_WAITCNX) + "NetWriteIp TCP NOT CONNECTED"), 1u);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_WAITCNX) + "NetReadIp TCP NOT CONNECTED"), 1u);
    // The blocking forms give up at once outside CONNECTED.
    EXPECT_EQ(NetWriteIpBlock(&c, data, 4, 0), -1);
    EXPECT_EQ(NetReadIpBlock(&c, data, 4, 1, 0), -1);
    EXPECT_EQ(log.count("NetReadIpBlock TCP NOT CONNECTED"), 1u);
    // A context without a socket reads -1.
    tagCTX_FSM &u = dynamicEntry(1, kDirHostToTerminal, 7001, TCP_IDLE);
    pthread_mutex_lock(&u.lock);
    EXPECT_EQ(NetReadIp(&u, data, 4), -1);
    pthread_mutex_unlock(&u.lock);
}

TEST_F(Pump, BlockingFormsEndWithZeroOnGlobalExit) {
    tagCTX_FSM &c = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    pump();
    GlobalExit = 1;
    uint8_t data[4] = {};
    EXPECT_EQ(NetReadIpBlock(&c, data, 4, 4, 0), 0);
    EXPECT_EQ(NetWriteIpBlock(&c, data, 4, 0), 0);
}

// The pump steps the fixed entries, the SOCKS slots and the dynamic entries
// created so far, in table order, then the pool contexts in use.
TEST_F(Pump, StepsTheEntriesInUseThenThePool) {
    for (int i = 0; i < kStaticContexts; ++i) setState(SrvCtx[i], TCP_LISTEN_CTX);  // host-to-terminal: LISTEN => IDLE
    nbDynamicCtx = 2;
    tagCTX_FSM *pool = getFreeOpenCtx(9);
    ASSERT_NE(pool, nullptr);
    pthread_mutex_lock(&pool->lock);
    pool->direction = kDirHostToTerminal;
    pool->terminal_port = 0;
    pool->state = TCP_LISTEN_CTX;
    pthread_mutex_unlock(&pool->lock);
    pump();
    for (int i = 0; i < kStaticContexts; ++i)
        EXPECT_EQ(stateOf(SrvCtx[i]), i <= 8 ? TCP_IDLE : TCP_LISTEN_CTX) << "entry " << i;
    EXPECT_EQ(stateOf(*pool), TCP_IDLE);
    // In order: 0..8, then the pool.
    std::string t = log.text();
    size_t at = 0;
    for (int id : {0, 1, 2, 3, 4, 5, 6, 7, 8, pool->id}) {
        size_t next = t.find("[" + std::to_string(id) + ":OUT(0)] STATE=1 LISTEN => IDLE", at);
        ASSERT_NE(next, std::string::npos) << "id " << id << "\n" << t;
        at = next;
    }
    nbDynamicCtx = kMaxDynamicBridges;
    pump();
    for (int i = 0; i < kStaticContexts; ++i) EXPECT_EQ(stateOf(SrvCtx[i]), TCP_IDLE) << "entry " << i;
}

// One pump step from a given state under given conditions.
TEST_F(Pump, OneStepTransitions) {
    struct Case {
        const char *name;
        uint8_t direction;
        int32_t from;
        uint32_t addr;
        bool closeCom, idle, ppp;
        int32_t to;
        const char *text;  // traced with the state before the step ("" = no trace expected)
    } cases[] = {
        {"U listen rests in idle", kDirHostToTerminal, TCP_LISTEN_CTX, 0, false, false, false, TCP_IDLE, "LISTEN => IDLE"},
        {"e listen in idle mode", kDirTerminalToHost, TCP_LISTEN_CTX, 0, false, true, false, TCP_IDLE, "LISTEN => IDLE"},
        {"e listen arms", kDirTerminalToHost, TCP_LISTEN_CTX, 0, false, false, false, TCP_WAITCNX, "LISTEN => WAITCNX"},
        {"listen held while closing", kDirTerminalToHost, TCP_LISTEN_CTX, 0, true, false, false, TCP_LISTEN_CTX, ""},
        {"U listen held while closing", kDirHostToTerminal, TCP_LISTEN_CTX, 0, true, false, false, TCP_LISTEN_CTX, ""},
        {"idle stays", kDirHostToTerminal, TCP_IDLE, 0, false, false, false, TCP_IDLE, ""},
        {"idle on close-all", kDirHostToTerminal, TCP_IDLE, 0, true, false, false, TCP_LISTEN_CTX, "IDLE => LISTEN (do_CloseCom)"},
        {"open on close-all", kDirHostToTerminal, TCP_OPEN, kTerminalLinkAddr, true, false, true, TCP_LISTEN_CTX, "OPEN => LISTEN (do_CloseCom)"},
        {"open in idle mode", kDirHostToTerminal, TCP_OPEN, kTerminalLinkAddr, false, true, true, TCP_LISTEN_CTX, "OPEN => LISTEN (do_CloseCom)"},
        {"open waits for PPP", kDirHostToTerminal, TCP_OPEN, kTerminalLinkAddr, false, false, false, TCP_OPEN, ""},
        {"open without address", kDirHostToTerminal, TCP_OPEN, 0, false, false, true, TCP_CLOSE, "TCP_Open: Address is null!!!"},
        {"open dials", kDirHostToTerminal, TCP_OPEN, kTerminalLinkAddr, false, false, true, TCP_WAITCNX, "OPEN => WAITCNX"},
        {"close listens", kDirHostToTerminal, TCP_CLOSE, 0, false, false, false, TCP_LISTEN_CTX, "CLOSE => LISTEN"},
        {"connected without socket", kDirTerminalToHost, TCP_CONNECTED, 0, false, false, false, TCP_CLOSE,
         "CONNECTED => CLOSE (Connection closed by terminal)"},
        {"waitcnx without socket", kDirTerminalToHost, TCP_WAITCNX, 0, false, false, false, TCP_CLOSE, "WAITCNX => CLOSE"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        PrivateLog caseLog;
        tagCTX_FSM &c = dynamicEntry(0, k.direction, 7100, k.from, k.addr);
        do_CloseCom = k.closeCom ? 1 : 0;
        GlobalIdle = k.idle ? 1 : 0;
        ppp_connected = k.ppp ? 1 : 0;
        pump();
        EXPECT_EQ(stateOf(c), k.to);
        const char *dir = k.direction == kDirHostToTerminal ? "OUT" : " IN";
        if (*k.text) {
            std::string t = caseLog.text();
            // The trace carries the state the context had when it was
            // written (a dial marks WAITCNX before it checks the address).
            int32_t traced = k.from == TCP_OPEN && k.to != TCP_LISTEN_CTX ? TCP_WAITCNX : k.from;
            EXPECT_EQ(caseLog.count(tracePrefix(7, dir, 7100, traced) + k.text), 1u) << t;
        } else {
            EXPECT_EQ(caseLog.count("(7100)] STATE="), 0u) << caseLog.text();
        }
        // Back to a clean entry for the next case (gives back any record).
        do_CloseCom = 0;
        GlobalIdle = 0;
        setState(c, TCP_CLOSE);
        pump();
        EXPECT_EQ(sockOf(c), nullptr);
    }
}

TEST_F(Pump, ClosingGivesTheRecordBackAndClearsThePointer) {
    tagCTX_FSM &c = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    pump();
    sock_type *armed = sockOf(c);
    ASSERT_NE(armed, nullptr);
    do_CloseCom = 1;
    pump();
    EXPECT_EQ(stateOf(c), TCP_CLOSE);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_WAITCNX) + "WAITCNX => CLOSE (do_CloseCom)"), 1u);
    pump();
    EXPECT_EQ(stateOf(c), TCP_LISTEN_CTX);
    EXPECT_EQ(sockOf(c), nullptr);
    EXPECT_TRUE(waitUntil([&] {
        pump();
        return NET_AllClosed() == 1;
    }));
    // Held in LISTEN while the link is closing, re-armed once it restarts.
    pump(5);
    EXPECT_EQ(stateOf(c), TCP_LISTEN_CTX);
    do_CloseCom = 0;
    pump();
    EXPECT_EQ(stateOf(c), TCP_WAITCNX);
    EXPECT_NE(sockOf(c), nullptr);
}

TEST_F(Pump, CloseAllDrivesEveryContextToCloseThenHoldsThemInListen) {
    ppp_connected = 1;
    tagCTX_FSM &listening = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    tagCTX_FSM &dialling = dynamicEntry(1, kDirHostToTerminal, 7001, TCP_OPEN, kTerminalLinkAddr);
    tagCTX_FSM &resting = dynamicEntry(2, kDirHostToTerminal, 7002, TCP_LISTEN_CTX);
    pump();
    ASSERT_EQ(stateOf(listening), TCP_WAITCNX);
    ASSERT_EQ(stateOf(dialling), TCP_WAITCNX);
    ASSERT_EQ(stateOf(resting), TCP_IDLE);
    EXPECT_EQ(NET_AllClosed(), 0);

    NET_CloseAll();
    EXPECT_EQ(do_CloseCom.load(), 1);
    pump();
    EXPECT_EQ(stateOf(listening), TCP_CLOSE);
    EXPECT_EQ(stateOf(dialling), TCP_CLOSE);
    EXPECT_EQ(stateOf(resting), TCP_LISTEN_CTX);
    pump(20);
    for (tagCTX_FSM *c : {&listening, &dialling, &resting}) {
        EXPECT_EQ(stateOf(*c), TCP_LISTEN_CTX);
        EXPECT_EQ(sockOf(*c), nullptr);
    }
    EXPECT_EQ(log.count("WAITCNX => CLOSE (do_CloseCom)"), 2u);
    EXPECT_EQ(log.count("CLOSE => LISTEN"), 2u);
    EXPECT_EQ(log.count(tracePrefix(9, "OUT", 7002, TCP_IDLE) + "IDLE => LISTEN (do_CloseCom)"), 1u);
    // The SYN-SENT connection is dropped at once, the listener too: nothing
    // is left open.
    EXPECT_TRUE(waitUntil([&] {
        pump();
        return NET_AllClosed() == 1;
    }));
}

TEST_F(Pump, ListeningWithoutAFreeSocketRetriesEachPumpAndRecovers) {
    // Every record of the stack taken (each listening on a port of its own).
    std::vector<sock_type *> taken;
    for (sock_type *s; (s = sock_find_free()) != nullptr;) {
        ASSERT_NE(tcp_listen(s, static_cast<uint16_t>(20000 + taken.size()), 0, 0, nullptr, 0), 0);
        taken.push_back(s);
    }
    ASSERT_EQ(taken.size(), 64u);
    tagCTX_FSM &c = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    pump(3);
    EXPECT_EQ(stateOf(c), TCP_LISTEN_CTX);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_LISTEN_CTX) + "TCP_Listen: No available socket!!!"), 3u);
    // A host-to-terminal dial gives up instead.
    ppp_connected = 1;
    tagCTX_FSM &u = dynamicEntry(1, kDirHostToTerminal, 7001, TCP_OPEN, kTerminalLinkAddr);
    pump();
    EXPECT_EQ(stateOf(u), TCP_CLOSE);
    EXPECT_EQ(log.count("TCP_Open: No available socket!!!"), 1u);

    sock_close(taken.back());
    taken.pop_back();
    EXPECT_TRUE(waitUntil([&] {
        pump();
        return stateOf(c) == TCP_WAITCNX;
    }));
    EXPECT_EQ(sockOf(c) != nullptr, true);
    for (sock_type *s : taken) sock_close(s);
}

// The pool: 32 contexts, then none.
TEST_F(Pump, PoolHandsOutThirtyTwoContextsThenNone) {
    std::set<int> ids;
    std::vector<tagCTX_FSM *> got;
    for (int i = 0; i < kPoolContexts; ++i) {
        tagCTX_FSM *c = getFreeOpenCtx(100 + i);
        ASSERT_NE(c, nullptr);
        ids.insert(c->id);
        got.push_back(c);
        EXPECT_EQ(OpenCtxPool[c->id - kStaticContexts].host_socket, 100 + i);
    }
    EXPECT_EQ(ids.size(), 32u);
    EXPECT_EQ(*ids.begin(), 19);
    EXPECT_EQ(*ids.rbegin(), 50);
    EXPECT_EQ(getFreeOpenCtx(200), nullptr);
    // A U pool context placed in LISTEN rests in IDLE.
    setState(*got[3], TCP_LISTEN_CTX);
    got[3]->direction = kDirHostToTerminal;
    pump();
    EXPECT_EQ(stateOf(*got[3]), TCP_IDLE);
    // Neither does a terminal-to-host pool context arm a listener of its own.
    got[4]->direction = kDirTerminalToHost;
    got[4]->terminal_port = 5186;
    setState(*got[4], TCP_LISTEN_CTX);
    pump();
    EXPECT_EQ(stateOf(*got[4]), TCP_IDLE);
    EXPECT_EQ(sockOf(*got[4]), nullptr);
    // A closed pool is empty.
    NET_Exit();
    EXPECT_EQ(getFreeOpenCtx(300), nullptr);
    NET_Enter();
    EXPECT_NE(getFreeOpenCtx(300), nullptr);
}

// A worker that ends the way a bridge connection does: it closes its host
// side (releaseCtxSocket, then the context's lock), then lingers until the
// test lets it go.
struct Worker {
    tagCTX_FSM *ctx = nullptr;
    std::atomic<bool> releaseNow{false};
    std::atomic<bool> mayEnd{false};
    std::atomic<bool> ended{false};
    static void *body(void *arg) {
        auto *w = static_cast<Worker *>(arg);
        while (!w->releaseNow.load() && !GlobalExit.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        releaseCtxSocket(w->ctx);
        pthread_mutex_lock(&w->ctx->lock);
        uint8_t b[8];
        (void)NetReadIp(w->ctx, b, sizeof b);
        pthread_mutex_unlock(&w->ctx->lock);
        while (!w->mayEnd.load() && !GlobalExit.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        w->ended = true;
        return nullptr;
    }
};

TEST_F(Pump, ReleasedContextIsFreedOnlyAfterItsWorkerEnded) {
    Worker w;
    w.ctx = getFreeOpenCtx(42);
    ASSERT_NE(w.ctx, nullptr);
    ASSERT_EQ(w.ctx->id, 19);
    w.ctx->direction = kDirHostToTerminal;
    w.ctx->terminal_port = 7000;
    ASSERT_EQ(startCtxThread(w.ctx, Worker::body, &w), 0);
    MngOpenCtx &entry = OpenCtxPool[0];

    pump(3);  // running: nothing to free
    EXPECT_EQ(stateOf(*w.ctx), TCP_IDLE);
    w.releaseNow = true;
    ASSERT_TRUE(waitUntil([&] { return stateOf(*w.ctx) == TCP_CLOSE; }));
    EXPECT_EQ(log.count(tracePrefix(19, "OUT", 7000, TCP_IDLE) + "releaseCtxSocket 19"), 1u);
    EXPECT_EQ(log.count(tracePrefix(19, "OUT", 7000, TCP_CLOSE) + "releaseCtxSocket 19 => TCP_CLOSE"), 1u);
    pump();
    EXPECT_EQ(stateOf(*w.ctx), TCP_LISTEN_CTX);
    // The worker still runs: the entry stays taken, however often the pump runs.
    pump(10);
    {
        pthread_mutex_lock(&MngOpenCtxMutex);
        EXPECT_EQ(entry.in_use, 1);
        EXPECT_EQ(entry.release_requested, 1);
        EXPECT_EQ(entry.host_socket, -1);
        pthread_mutex_unlock(&MngOpenCtxMutex);
    }
    tagCTX_FSM *other = getFreeOpenCtx(43);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, w.ctx);
    EXPECT_EQ(log.count("releaseCtxIfNeed 19"), 0u);

    w.mayEnd = true;
    ASSERT_TRUE(waitUntil([&] {
        pump();
        pthread_mutex_lock(&MngOpenCtxMutex);
        bool freed = entry.in_use == 0;
        pthread_mutex_unlock(&MngOpenCtxMutex);
        return freed;
    }));
    EXPECT_TRUE(w.ended.load());
    EXPECT_EQ(log.count("releaseCtxIfNeed 19"), 1u);
    EXPECT_EQ(log.count("releaseCtxIfNeed DONE"), 1u);
    EXPECT_EQ(entry.release_requested, 0);
    EXPECT_FALSE(w.ctx->has_thread);
    EXPECT_EQ(getFreeOpenCtx(44), w.ctx);  // the first free entry again
}

TEST_F(Pump, ReleaseOfAStaticContextChangesNothing) {
    tagCTX_FSM &c = dynamicEntry(0, kDirHostToTerminal, 7000, TCP_CONNECTED);
    releaseCtxSocket(&c);
    EXPECT_EQ(stateOf(c), TCP_CONNECTED);
    EXPECT_EQ(log.count("releaseCtxSocket"), 0u);
    setState(c, TCP_IDLE);
}

// NET_Exit joins the workers still holding pool contexts; a worker that
// needs the pool mutex and its context's lock on its way out must not
// deadlock with it.
TEST_F(Pump, ExitJoinsWorkersThatNeedThePoolLocksOnTheirWayOut) {
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < 4; ++i) {
        auto w = std::make_unique<Worker>();
        w->ctx = getFreeOpenCtx(50 + i);
        ASSERT_NE(w->ctx, nullptr);
        ASSERT_EQ(startCtxThread(w->ctx, Worker::body, w.get()), 0);
        workers.push_back(std::move(w));
    }
    // One worker is already on its way out and lingers there.
    workers[0]->releaseNow = true;
    ASSERT_TRUE(waitUntil([&] { return stateOf(*workers[0]->ctx) == TCP_CLOSE; }));

    GlobalExit = 1;  // how the bridges are told to end
    auto done = std::async(std::launch::async, [] { NET_Exit(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "NET_Exit deadlocked";
    for (auto &w : workers) EXPECT_TRUE(w->ended.load());
    for (MngOpenCtx &e : OpenCtxPool) {
        EXPECT_EQ(e.in_use, 0);
        EXPECT_EQ(e.release_requested, 0);
        EXPECT_EQ(e.host_socket, -1);
        EXPECT_FALSE(e.ctx.has_thread);
    }
    // A worker cannot be started on a pool that is closed (it would never be joined).
    Worker late;
    late.ctx = &OpenCtxPool[5].ctx;
    EXPECT_NE(startCtxThread(late.ctx, Worker::body, &late), 0);
    NET_Enter();
}

TEST_F(Pump, ExitAndRestartLeaveNoContextWithARecord) {
    tagCTX_FSM &c = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    pump();
    ASSERT_NE(sockOf(c), nullptr);
    // A link restart resets the stack: the context forgets its record and
    // closes the connection in progress.
    NET_Enter();
    EXPECT_EQ(sockOf(c), nullptr);
    EXPECT_EQ(stateOf(c), TCP_CLOSE);
    pump(2);
    EXPECT_EQ(stateOf(c), TCP_WAITCNX);
    ASSERT_NE(sockOf(c), nullptr);
    GlobalExit = 1;
    NET_Exit();
    EXPECT_EQ(sockOf(c), nullptr);
    GlobalExit = 0;
    NET_Enter();
}

TEST_F(Pump, TraceNamesTheDirection) {
    struct Case {
        uint8_t direction;
        uint16_t port;
        const char *dir;
    } cases[] = {{kDirHostToTerminal, 5188, "OUT"}, {kDirTerminalToHost, 1080, " SS"}, {kDirTerminalToHost, 5186, " IN"},
                 {kDirHostToTerminal, 1080, "OUT"}};
    for (const Case &k : cases) {
        tagCTX_FSM &c = dynamicEntry(0, k.direction, k.port, TCP_IDLE);
        CtxTrace(&c, "hello %d");
        EXPECT_EQ(log.count(tracePrefix(7, k.dir, k.port, TCP_IDLE) + "hello %d"), 1u) << k.dir;
    }
}

// ---- With a terminal on an in-memory wire: real connections through the
// state functions.

class PumpWithTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        resetContexts();
        terminal_ = std::make_unique<WireTerminal>();
        NET_Initialize();
        NET_Enter();
        terminal_->attach();
        ppp_connected = 1;
    }
    void TearDown() override {
        pumpThread_.reset();
        GlobalExit = 1;
        NET_Exit();
        NET_Deinitialize();
        terminal_.reset();
        resetContexts();
    }
    void pump(int times = 1) {
        for (int i = 0; i < times; ++i) NET_ExecPump();
    }
    // Pumps until cond holds (the terminal's thread moves its side).
    template <class F>
    bool pumpUntil(F cond) {
        return waitUntil([&] {
            pump();
            return cond();
        });
    }
    // A host-to-terminal context connected to the terminal's listener on record 0.
    tagCTX_FSM &connectedDial(uint16_t port) {
        EXPECT_EQ(terminal_->listen(0, port), 1);
        tagCTX_FSM &c = dynamicEntry(0, kDirHostToTerminal, port, TCP_OPEN, kTerminalLinkAddr);
        EXPECT_TRUE(pumpUntil([&] { return stateOf(c) == TCP_CONNECTED; }));
        EXPECT_TRUE(waitUntil([&] { return terminal_->stateOf(0) == ryn::inet::TCP_ESTABLISHED; }));
        return c;
    }
    static int readLocked(tagCTX_FSM &c, uint8_t *buf, int len) {
        pthread_mutex_lock(&c.lock);
        int n = NetReadIp(&c, buf, len);
        pthread_mutex_unlock(&c.lock);
        return n;
    }
    static int writeLocked(tagCTX_FSM &c, const std::string &text) {
        pthread_mutex_lock(&c.lock);
        int n = NetWriteIp(&c, reinterpret_cast<const uint8_t *>(text.data()), static_cast<int>(text.size()));
        pthread_mutex_unlock(&c.lock);
        return n;
    }

    PrivateLog log;
    std::unique_ptr<WireTerminal> terminal_;
    std::unique_ptr<PumpThread> pumpThread_;
};

TEST_F(PumpWithTerminal, TerminalConnectsToAListeningContextAndClosesIt) {
    tagCTX_FSM &c = dynamicEntry(0, kDirTerminalToHost, 7000, TCP_LISTEN_CTX);
    pump();
    ASSERT_EQ(stateOf(c), TCP_WAITCNX);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_LISTEN_CTX) + "LISTEN ARMED"), 1u);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_LISTEN_CTX) + "LISTEN => WAITCNX"), 1u);

    ASSERT_EQ(terminal_->open(0, 7000), 1);
    ASSERT_TRUE(pumpUntil([&] { return stateOf(c) == TCP_CONNECTED; }));
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_CONNECTED) + "WAITCNX => CONNECTED"), 1u);
    sock_type *first = sockOf(c);
    ASSERT_NE(first, nullptr);
    {
        std::lock_guard<std::mutex> l(first->lock);
        EXPECT_NE(first->mode & 0x0004, 0) << "every write goes out at once";
    }

    // Both ways.
    ASSERT_TRUE(waitUntil([&] { return terminal_->stateOf(0) == ryn::inet::TCP_ESTABLISHED; }));
    ASSERT_EQ(terminal_->write(0, "hello"), 5);
    std::string got;
    ASSERT_TRUE(pumpUntil([&] {
        uint8_t b[16];
        int n = readLocked(c, b, sizeof b);
        if (n > 0) got.append(reinterpret_cast<char *>(b), static_cast<size_t>(n));
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(writeLocked(c, "world"), 5);
    std::string back;
    ASSERT_TRUE(pumpUntil([&] {
        back += terminal_->read(0);
        return back.size() >= 5;
    }));
    EXPECT_EQ(back, "world");
    EXPECT_EQ(log.count("TCP NOT CONNECTED"), 0u);

    // The terminal closes: the context answers with its own FIN, and once
    // the connection is gone the context has no record left to read through.
    terminal_->close(0);
    ASSERT_TRUE(pumpUntil([&] { return stateOf(c) == TCP_CLOSE; }));
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_CONNECTED) + "CONNECTED => CLOSE (Connection closed by terminal)"),
              1u);
    EXPECT_EQ(sockOf(c), nullptr);
    uint8_t b[4];
    EXPECT_EQ(readLocked(c, b, sizeof b), -1);
    EXPECT_EQ(writeLocked(c, "late"), -1);
    pump();
    EXPECT_EQ(stateOf(c), TCP_LISTEN_CTX);
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 7000, TCP_CLOSE) + "CLOSE => LISTEN"), 1u);
    // A new listener, and the terminal can come again.
    pump();
    ASSERT_EQ(stateOf(c), TCP_WAITCNX);
    ASSERT_EQ(terminal_->open(1, 7000), 1);
    ASSERT_TRUE(pumpUntil([&] { return stateOf(c) == TCP_CONNECTED; }));
}

TEST_F(PumpWithTerminal, DialledConnectionIsClosedByCloseAllAndHeldUntilTheLinkRestarts) {
    tagCTX_FSM &c = connectedDial(5188);
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5188, TCP_WAITCNX) + "Trying to connect to terminal"), 1u);
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5188, TCP_WAITCNX) + "OPEN => WAITCNX"), 1u);
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5188, TCP_CONNECTED) + "WAITCNX => CONNECTED"), 1u);
    EXPECT_EQ(NET_AllClosed(), 0);

    NET_CloseAll();
    pump();
    EXPECT_EQ(stateOf(c), TCP_CLOSE);
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5188, TCP_CONNECTED) + "CONNECTED => CLOSE (do_CloseCom)"), 1u);
    pump();
    EXPECT_EQ(stateOf(c), TCP_LISTEN_CTX);
    EXPECT_EQ(sockOf(c), nullptr);
    // The terminal sees the FIN and closes its side; the close completes.
    ASSERT_TRUE(pumpUntil([&] { return terminal_->stateOf(0) == ryn::inet::TCP_CLOSE_WAIT; }));
    terminal_->close(0);
    EXPECT_TRUE(pumpUntil([] { return NET_AllClosed() == 1; }));
    pump(10);
    EXPECT_EQ(stateOf(c), TCP_LISTEN_CTX);
    EXPECT_EQ(log.count("LISTEN => IDLE"), 0u);
    // The next link start clears the flag: a host-to-terminal context rests.
    do_CloseCom = 0;
    pump();
    EXPECT_EQ(stateOf(c), TCP_IDLE);
}

TEST_F(PumpWithTerminal, DialRefusedByTheTerminalEndsInIdle) {
    tagCTX_FSM &c = dynamicEntry(0, kDirHostToTerminal, 5999, TCP_OPEN, kTerminalLinkAddr);
    ASSERT_TRUE(pumpUntil([&] { return stateOf(c) == TCP_IDLE; }));
    std::string t = log.text();
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5999, TCP_WAITCNX) + "WAITCNX => CLOSE"), 1u) << t;
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5999, TCP_CLOSE) + "CLOSE => LISTEN"), 1u) << t;
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5999, TCP_LISTEN_CTX) + "LISTEN => IDLE"), 1u) << t;
    EXPECT_EQ(sockOf(c), nullptr);
    EXPECT_TRUE(pumpUntil([] { return NET_AllClosed() == 1; }));
}

TEST_F(PumpWithTerminal, FailedOpenGivesItsRecordBack) {
    // The stack refuses to dial its own address.
    tagCTX_FSM &c = dynamicEntry(0, kDirHostToTerminal, 5188, TCP_OPEN, WireTerminal::kHostAddr);
    pump();
    EXPECT_EQ(stateOf(c), TCP_CLOSE);
    EXPECT_EQ(log.count(tracePrefix(7, "OUT", 5188, TCP_WAITCNX) + "OPEN => CLOSE (tcp_open error)"), 1u);
    pump(2);
    EXPECT_EQ(stateOf(c), TCP_IDLE);
    EXPECT_EQ(sockOf(c), nullptr);
    // Every record of the stack is free again.
    std::vector<sock_type *> all;
    for (sock_type *s; (s = sock_find_free()) != nullptr;) all.push_back(s);
    EXPECT_EQ(all.size(), 64u);
    for (sock_type *s : all) sock_close(s);
}

TEST_F(PumpWithTerminal, DataFromTheTerminalWakesTheWaitingBridge) {
    tagCTX_FSM &c = connectedDial(5188);
    tagBridgeTimerEvent ev;
    pthread_cond_init(&ev.cond, nullptr);
    pthread_mutex_init(&ev.mutex, nullptr);
    ev.active = 1;
    ev.timer_running = 0;
    std::atomic<bool> waiting{false}, woke{false};
    std::thread bridge([&] {
        pthread_mutex_lock(&ev.mutex);
        waiting = true;
        pthread_cond_wait(&ev.cond, &ev.mutex);
        woke = true;
        pthread_mutex_unlock(&ev.mutex);
    });
    ASSERT_TRUE(waitUntil([&] { return waiting.load(); }));
    pthread_mutex_lock(&c.lock);
    c.event = &ev;
    pthread_mutex_unlock(&c.lock);
    pump(20);  // nothing to read: no wake-up
    EXPECT_FALSE(woke.load());
    ASSERT_EQ(terminal_->write(0, "x"), 1);
    EXPECT_TRUE(pumpUntil([&] { return woke.load(); }));
    if (!woke.load()) {
        pthread_mutex_lock(&ev.mutex);
        pthread_cond_signal(&ev.cond);
        pthread_mutex_unlock(&ev.mutex);
    }
    bridge.join();
    pthread_mutex_lock(&c.lock);
    c.event = nullptr;
    pthread_mutex_unlock(&c.lock);
    pthread_cond_destroy(&ev.cond);
    pthread_mutex_destroy(&ev.mutex);
}

// The blocking forms on a bridge's thread while the network thread pumps.
TEST_F(PumpWithTerminal, BlockingReadsAndWrites) {
    tagCTX_FSM &c = connectedDial(5188);
    pumpThread_ = std::make_unique<PumpThread>();
    using namespace std::chrono_literals;

    // At least 4 of up to 100 bytes: returns with the 4 that came.
    uint8_t buf[100] = {};
    auto reader = std::async(std::launch::async, [&] { return NetReadIpBlock(&c, buf, sizeof buf, 4, 0); });
    ASSERT_EQ(terminal_->write(0, "pi"), 2);
    ASSERT_EQ(terminal_->write(0, "ng"), 2);
    ASSERT_EQ(reader.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 4);
    EXPECT_EQ(std::memcmp(buf, "ping", 4), 0);

    // Nothing comes: a bounded read gives up with 0; an unbounded one ends
    // with 0 when the service stops.
    EXPECT_EQ(NetReadIpBlock(&c, buf, sizeof buf, 1, 5), 0);
    auto unbounded = std::async(std::launch::async, [&] { return NetReadIpBlock(&c, buf, sizeof buf, 1, 0); });
    EXPECT_EQ(unbounded.wait_for(50ms), std::future_status::timeout);
    GlobalExit = 1;
    ASSERT_EQ(unbounded.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(unbounded.get(), 0);
    GlobalExit = 0;

    // A terminal that does not read: the send buffer and its window fill,
    // and a write with max_idle 5 gives up with 0.
    std::vector<uint8_t> big(256 * 1024, 0x5A);
    auto writer = std::async(std::launch::async, [&] { return NetWriteIpBlock(&c, big.data(), static_cast<int>(big.size()), 5); });
    ASSERT_EQ(writer.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(writer.get(), 0);
    EXPECT_EQ(stateOf(c), TCP_CONNECTED);

    // The terminal drops the connection: a waiting read fails with -1.
    auto lost = std::async(std::launch::async, [&] { return NetReadIpBlock(&c, buf, sizeof buf, 1, 0); });
    terminal_->abort(0);
    ASSERT_EQ(lost.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(lost.get(), -1);
    EXPECT_GE(log.count("NetReadIpBlock TCP NOT CONNECTED"), 1u);
    EXPECT_EQ(NetWriteIpBlock(&c, big.data(), 10, 0), -1);
    EXPECT_TRUE(waitUntil([&] { return sockOf(c) == nullptr && stateOf(c) == TCP_IDLE; }));
}

// The terminal-to-host path: the bridge moves the accepted connection into
// a pool context and sends its entry back to listening; the pool context
// serves the connection, is released when the host side closes, and is
// freed once its worker ended.
TEST_F(PumpWithTerminal, AcceptedConnectionMovesToAPoolContext) {
    tagCTX_FSM &entry = dynamicEntry(0, kDirTerminalToHost, 5186, TCP_LISTEN_CTX);
    pump();
    ASSERT_EQ(terminal_->open(0, 5186), 1);
    ASSERT_TRUE(pumpUntil([&] { return stateOf(entry) == TCP_CONNECTED; }));

    tagCTX_FSM *pool = getFreeOpenCtx(77);
    ASSERT_NE(pool, nullptr);
    pthread_mutex_lock(&entry.lock);
    pthread_mutex_lock(&pool->lock);
    pool->sock = entry.sock;
    pool->direction = entry.direction;
    pool->terminal_port = entry.terminal_port;
    pool->state = TCP_CONNECTED;
    entry.sock = nullptr;
    entry.state = TCP_OPEN;
    std::atomic<bool> mayEnd{false};
    struct Arg {
        tagCTX_FSM *ctx;
        std::atomic<bool> *mayEnd;
    } arg{pool, &mayEnd};
    ASSERT_EQ(startCtxThreadLocked(pool,
                                   [](void *a) -> void * {
                                       auto *x = static_cast<Arg *>(a);
                                       while (!x->mayEnd->load() && !GlobalExit.load())
                                           std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                       releaseCtxSocket(x->ctx);
                                       return nullptr;
                                   },
                                   &arg),
              0);
    pthread_mutex_unlock(&entry.lock);
    pthread_mutex_unlock(&pool->lock);

    // The entry: OPEN without an address, CLOSE, LISTEN, a new listener.
    ASSERT_TRUE(pumpUntil([&] { return stateOf(entry) == TCP_WAITCNX; }));
    EXPECT_EQ(log.count(tracePrefix(7, " IN", 5186, TCP_WAITCNX) + "TCP_Open: Address is null!!!"), 1u);
    EXPECT_NE(sockOf(entry), nullptr);
    EXPECT_NE(sockOf(entry), sockOf(*pool));
    // The pool context carries the connection meanwhile.
    ASSERT_EQ(terminal_->write(0, "abc"), 3);
    std::string got;
    ASSERT_TRUE(pumpUntil([&] {
        uint8_t b[8];
        int n = readLocked(*pool, b, sizeof b);
        if (n > 0) got.append(reinterpret_cast<char *>(b), static_cast<size_t>(n));
        return got.size() >= 3;
    }));
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(stateOf(*pool), TCP_CONNECTED);

    // The host side closes: the pool context closes the terminal side and
    // is freed after its worker ended.
    mayEnd = true;
    MngOpenCtx &e = OpenCtxPool[pool->id - kStaticContexts];
    ASSERT_TRUE(pumpUntil([&] {
        pthread_mutex_lock(&MngOpenCtxMutex);
        bool freed = e.in_use == 0;
        pthread_mutex_unlock(&MngOpenCtxMutex);
        return freed;
    }));
    EXPECT_EQ(sockOf(*pool), nullptr);
    EXPECT_EQ(log.count("releaseCtxIfNeed DONE"), 1u);
    ASSERT_TRUE(pumpUntil([&] { return terminal_->stateOf(0) == ryn::inet::TCP_CLOSE_WAIT; }));
    terminal_->close(0);
    EXPECT_TRUE(pumpUntil([&] { return terminal_->stateOf(0) == ryn::inet::TCP_CLOSED; }));
    EXPECT_EQ(stateOf(entry), TCP_WAITCNX);
}

}  // namespace
