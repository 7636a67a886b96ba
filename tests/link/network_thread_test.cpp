// The network thread on a real pseudo-terminal whose other end the test
// plays: handshake, PPP start, restart, cable pull, stop, pacing.
#include "link/link_peer.h"
#include "link/rynsock.h"
#include "link/supervisor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

namespace {
using namespace ryn::test;
using ryn::link::linkState;

class NetworkThread : public ::testing::Test {
protected:
    void TearDown() override {
        stop_rynsock();
        ryn::link::bindNetworkHooks({});
        waitTimePump_ms = 10;
    }
};

TEST_F(NetworkThread, HandshakeThroughNoiseAndSilenceThenPppThenRestartThenCablePull) {
    PrivateLog log;
    TempDir dir;
    PtyPeer peer(dir.file("spm"));
    PrivateHome home(dir.file("spm"));
    start_rynsock();

    ASSERT_TRUE(peer.expect("CLIENT"));
    ASSERT_TRUE(peer.expect("CLIENT"));  // no answer for a second: sent again
    peer.send(std::string("\x01%%\x7f", 4) + "xxCLIENTSE");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // make it two reads, usually
    peer.send("RVERyy");
    ASSERT_TRUE(peer.expect(kLcpRequestStart));
    ASSERT_TRUE(waitUntil([] { return linkState() == ryn::link::MAINFCT_PPP; }));
    EXPECT_EQ(is_ppp_connected(), 0);  // no negotiation yet: IP never comes up

    // The terminal restarts: exactly "CLIENT". The host ends the link and
    // runs the handshake again on a reopened line.
    uint32_t opens = ryn::link::lineOpenCount();
    peer.send("CLIENT");
    ASSERT_TRUE(peer.expect("CLIENT"));
    EXPECT_TRUE(waitUntil([&] { return ryn::link::lineOpenCount() == opens + 1; }));
    peer.send("CLIENTSERVER");
    ASSERT_TRUE(peer.expect(kLcpRequestStart));
    EXPECT_GE(log.count("Mainfsm: MAINFCT_PPP -> MAINFCT_DISCONNECT"), 1u);

    // Cable pull: back to the start, one failed open per second until the
    // device returns.
    opens = ryn::link::lineOpenCount();
    peer.unplug();
    ASSERT_TRUE(waitUntil([&] { return log.count("InitDTESock terminal=-1") >= 2; }));
    EXPECT_EQ(linkState(), ryn::link::MAINFCT_BEGIN);
    EXPECT_EQ(ryn::link::lineOpenCount(), opens);
    peer.plug();
    ASSERT_TRUE(peer.expect("CLIENT"));
    EXPECT_EQ(ryn::link::lineOpenCount(), opens + 1);

    stop_rynsock();
    std::string text = log.text();
    EXPECT_NE(text.find("RynNetworkThread END"), std::string::npos);
    EXPECT_NE(text.find("stop_rynsock END"), std::string::npos);
}

TEST_F(NetworkThread, StopsWhileTheDeviceIsMissing) {
    PrivateLog log;
    TempDir dir;
    PrivateHome home(dir.file("nothing-here"));
    start_rynsock();
    ASSERT_TRUE(waitUntil([&] { return log.count("InitDTESock terminal=-1") >= 1; }));
    stop_rynsock();  // the one-second pause after a failed open ends with the stop
    EXPECT_EQ(log.count("RynNetworkThread END"), 1u);
}

TEST_F(NetworkThread, StopsWhileConnectedAndTerminatesTheLink) {
    PrivateLog log;
    TempDir dir;
    PtyPeer peer(dir.file("spm"));
    PrivateHome home(dir.file("spm"));
    start_rynsock();
    ASSERT_TRUE(peer.expect("CLIENT"));
    peer.send("CLIENTSERVER");
    ASSERT_TRUE(peer.expect(kLcpRequestStart));
    ASSERT_TRUE(waitUntil([] { return linkState() == ryn::link::MAINFCT_PPP; }));
    size_t detects = log.count("Mainfsm: MAINFCT_DETECT");
    stop_rynsock();
    // LCP Terminate-Request (code 5, escaped) went out before the line closed.
    EXPECT_TRUE(peer.expect(std::string("\xC0\x21\x7D\x25", 4), 5));
    EXPECT_EQ(log.count("Mainfsm: MAINFCT_DETECT"), detects);  // the stop did not rerun the handshake
}

TEST_F(NetworkThread, StopDuringTheHandshakeDoesNotRerunItWhileDraining) {
    PrivateLog log;
    TempDir dir;
    PtyPeer peer(dir.file("spm"));  // a terminal that never answers
    PrivateHome home(dir.file("spm"));
    ryn::link::NetworkHooks hooks;
    hooks.allClosed = [] { return 0; };  // connections that never finish closing
    ryn::link::bindNetworkHooks(hooks);
    start_rynsock();
    ASSERT_TRUE(peer.expect("CLIENT"));
    ASSERT_TRUE(waitUntil([] { return linkState() == ryn::link::MAINFCT_DETECT; }));
    size_t detects = log.count("Mainfsm: MAINFCT_DETECT");
    stop_rynsock();  // 1000 drain passes; a handshake pass each would take a second
    EXPECT_LE(log.count("Mainfsm: MAINFCT_DETECT"), detects + 1);  // at most the pass under way
    EXPECT_EQ(log.count("Mainfsm: MAINFCT_WAIT"), 0u);
    EXPECT_EQ(log.count("NET_ExecPump DONE"), 1u);
}

std::atomic<int> g_bridgeStarts{0};
std::atomic<int> g_bridgeJoins{0};

TEST_F(NetworkThread, ConcurrentStartsStartOneThreadAndStopAlwaysJoins) {
    TempDir dir;
    PrivateHome home(dir.file("nothing-here"));
    ryn::link::NetworkHooks hooks;
    hooks.startBridges = [] { g_bridgeStarts++; };
    hooks.joinBridges = [] { g_bridgeJoins++; };
    ryn::link::bindNetworkHooks(hooks);
    for (int round = 0; round < 5; ++round) {
        std::barrier sync(2);
        std::thread other([&] {
            sync.arrive_and_wait();
            start_rynsock();
        });
        sync.arrive_and_wait();
        start_rynsock();
        other.join();
        stop_rynsock();
        EXPECT_EQ(g_bridgeStarts.load(), round + 1);
        EXPECT_EQ(g_bridgeJoins.load(), round + 1);
    }
    // A stop right after a start is never lost.
    for (int i = 0; i < 20; ++i) {
        start_rynsock();
        stop_rynsock();
    }
    stop_rynsock();  // nothing running: returns
}

TEST_F(NetworkThread, PortsOfTheFixedBridges) {
    TempDir dir;
    PrivateHome home(dir.file("nothing-here"));
    start_rynsockWithTerm("name", 0, 0, 7000, 7001);
    EXPECT_EQ(g_dwPortIn.load(), 7000);
    EXPECT_EQ(g_dwPortOut.load(), 7001);
    start_rynsockWithTerm("name", 0, 0, 1, 2);  // running: no change
    EXPECT_EQ(g_dwPortOut.load(), 7001);
    start_rynsock();  // running: only the ports are reset
    EXPECT_EQ(g_dwPortIn.load(), 5186);
    EXPECT_EQ(g_dwPortOut.load(), 5188);
    idle_rynsock();
    EXPECT_EQ(GlobalIdle.load(), 1);
    stop_rynsock();
    start_rynsock();
    EXPECT_EQ(GlobalIdle.load(), 0);  // a new start clears idle
}

TEST(PumpPeriod, SettersAcceptOrClamp) {
    struct Case {
        int us;
        int result;
        int ms;
    } cases[] = {{5000, 1, 5}, {999, 0, 5}, {10001, 0, 5}, {2500, 1, 2}, {1000, 1, 1}, {10000, 1, 10}, {-1, 0, 10}};
    for (const auto &c : cases) {
        EXPECT_EQ(SetExchangeWaitTime1us(c.us), c.result) << c.us;
        EXPECT_EQ(waitTimePump_ms.load(), c.ms) << c.us;
    }
    EXPECT_EQ(setExchangeWaitTime1us(3000), 1);
    EXPECT_EQ(waitTimePump_ms.load(), 3);
    struct Clamp {
        int in, out;
    } clamps[] = {{0, 1}, {-5, 1}, {1, 1}, {7, 7}, {10, 10}, {50, 10}};
    for (const auto &c : clamps) {
        EXPECT_EQ(Main_SetWaitTimePump1ms(c.in), 1);
        EXPECT_EQ(waitTimePump_ms.load(), c.out) << c.in;
    }
    waitTimePump_ms = 10;
}

TEST(PacingEvent, TimerWakesTheWaitingOwnerAndDeinitJoins) {
    pthread_t *h = nullptr;
    pthread_attr_t *a = nullptr;
    tagBridgeTimerEvent *ev = nullptr;
    bridgeEvent_init(&h, &a, &ev);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(ev->active.load(), 1);
    pthread_mutex_lock(&ev->mutex);
    for (int i = 0; i < 5; ++i) waitForEvent(ev, 10);  // each returns on a tick
    pthread_mutex_unlock(&ev->mutex);
    bridgeEvent_deinit(&h, &a, &ev);
    EXPECT_EQ(ev, nullptr);
    EXPECT_EQ(h, nullptr);
    bridgeEvent_deinit(&h, &a, &ev);  // absent: nothing
    waitForEvent(nullptr, 1);         // no event: a plain sleep
}

}  // namespace
