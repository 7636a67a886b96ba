// Host-to-terminal bridges with the Linux kernel as the terminal's TCP: the
// simulator in TUN mode carries PPP, a socat echo server on 1.1.1.2 in a
// network namespace is the terminal's application, and the real network
// thread with its bridges runs in this process (itself in a private network
// namespace, so 127.0.0.1:5188 is ours alone). Needs root; skipped
// otherwise.
#include "bridge/bridge.h"
#include "bridge/bridge_peer.h"
#include "link/rynsock.h"
#include "netns/kernel_terminal.h"
#include "service/log.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {
using namespace ryn::test;
using bridgetest::connectLoopback;
using bridgetest::echoThrough;

const bool g_privateNetwork = bridgetest::enterPrivateNetwork();

constexpr uint16_t kChannelPort = 5188;
constexpr uint16_t kDynamicPort = 7100;

bool waitFor(bool (*cond)(), int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

class BridgeKernel : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = netnstest::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
        if (!g_privateNetwork) GTEST_SKIP() << "needs a private network namespace for the fixed port 5188";
        if (system("command -v socat >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs socat";
        term_ = std::make_unique<netnstest::KernelTerminal>();
        ASSERT_TRUE(term_->ok()) << term_->error();
        for (uint16_t port : {kChannelPort, kDynamicPort}) {
            servers_.push_back(term_->spawn("exec socat TCP-LISTEN:" + std::to_string(port) +
                                            ",bind=1.1.1.2,reuseaddr,fork PIPE"));
            ASSERT_TRUE(term_->waitListening(port));
        }
        logDestroy();
        ryn::log::setPathForTesting(dir_.file("RYNLog.txt"));
        logCreate();
        writeFile(dir_.file("home/.CalvorinKestova/KestovaLinux.txt"), "Name=" + term_->linkPath() + ";Type=0");
        setenv("RYN_HOME", dir_.file("home").c_str(), 1);
        ryn::bridge::installNetworkHooks();
        start_rynsock();
        started_ = true;
        ASSERT_TRUE(waitFor([] { return is_ppp_connected() == 1; }, 60)) << readFile(dir_.file("RYNLog.txt"));
    }
    void TearDown() override {
        if (started_) stop_rynsock();
        ryn::link::bindNetworkHooks({});
        unsetenv("RYN_HOME");
        logDestroy();
        ryn::log::setPathForTesting("");
        servers_.clear();
        term_.reset();
    }

    TempDir dir_;
    std::unique_ptr<netnstest::KernelTerminal> term_;
    std::vector<std::unique_ptr<netnstest::Background>> servers_;
    bool started_ = false;
};

TEST_F(BridgeKernel, ChannelPortAndADynamicBridgeEchoEveryByte) {
    int fd = connectLoopback(kChannelPort);
    ASSERT_GE(fd, 0);
    auto r = echoThrough(fd, 3u << 20, 21);
    EXPECT_TRUE(r.ok) << r.error;
    close(fd);

    int added = AddDynamicBridgeLocal(kDynamicPort, 0);
    ASSERT_TRUE(added == 0 || added == -4) << added;
    constexpr int kClients = 8;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        fds.push_back(connectLoopback(kDynamicPort));
        ASSERT_GE(fds.back(), 0);
    }
    std::vector<bridgetest::EchoResult> results(kClients);
    std::vector<std::thread> ts;
    for (int i = 0; i < kClients; ++i)
        ts.emplace_back([&, i] { results[i] = echoThrough(fds[i], 256u << 10, 30 + i); });
    for (auto &t : ts) t.join();
    for (int i = 0; i < kClients; ++i) {
        EXPECT_TRUE(results[i].ok) << i << ": " << results[i].error;
        close(fds[i]);
    }
}

}  // namespace
