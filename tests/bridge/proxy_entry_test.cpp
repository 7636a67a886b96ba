// Entry 1, the terminal's fixed connection to the host's services port:
// the terminal connects to link port 5186 while nothing listens on the
// host's port; the bridge retries every second, keeping the terminal's
// connection open, and the bytes flow once a server is up.
#include "proxy_fixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace proxytest;
using namespace std::chrono_literals;
using ryn::test::waitUntil;

const auto *const kHostNet = ::testing::AddGlobalTestEnvironment(new PrivateHostNet);

constexpr uint16_t kServicesHostPort = 15186;

std::string hexOf(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(ProxyEntry, TerminalWaitsForTheHostServerThenBytesFlow) {
    PROXYTEST_REQUIRE_HOST_NET();
    {
        ProxyLink link({}, kServicesHostPort);
        std::string why;
        ASSERT_TRUE(link.start(&why)) << why;

        // A terminal application that sends, reads the whole echo, then
        // closes (a terminal's close ends the bridged connection at once).
        std::string payload;
        for (int i = 0; i < 3000; ++i) payload += static_cast<char>(i * 7 + i / 256);
        const std::string hexPayload = hexOf(payload);
        const std::string dialogue = probeTool("steps 1.1.1.1 5186 send:" + hexPayload + " recv:" +
                                               std::to_string(payload.size()) + ":120");
        auto client = link.term().spawn(dialogue);
        ASSERT_TRUE(client);
        // The host side is retried while the terminal's connection waits.
        const std::string refused = "Connection to host: Error (111: Connection refused)";
        ASSERT_TRUE(waitUntil([&] { return link.log().count(refused) >= 2; }, 60)) << link.log().text();
        EXPECT_EQ(SrvCtx[1].state.load(), TCP_CONNECTED);
        EXPECT_EQ(link.log().count("Connection to host succeeded"), 0u);

        auto server = startHostProgram(netnstest::pythonTool("echo-server " + std::to_string(kServicesHostPort)));
        ASSERT_TRUE(server && server->waitOutput("LISTENING", 30s));
        EXPECT_EQ(client->wait(120s), 0) << link.log().text();
        EXPECT_EQ(client->output(), "RECV " + hexPayload + "\n");
        EXPECT_GE(link.log().count("Connection to host succeeded"), 1u);

        // The entry listens for the terminal's next connection, which is
        // served at once now.
        auto again = link.terminal(dialogue, 120s);
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.output, "RECV " + hexPayload + "\n");
    }
}

// A dynamic terminal-to-host bridge hands each terminal connection to a
// pool context and listens again: several connections run at once, and
// when they end no thread or descriptor is left behind.
TEST(ProxyEntry, DynamicBridgeCarriesConcurrentConnectionsThroughThePool) {
    PROXYTEST_REQUIRE_HOST_NET();
    constexpr uint16_t kPort = 7000;
    ProxyLink link;
    std::string why;
    ASSERT_TRUE(link.start(&why)) << why;
    auto echo = startHostProgram("exec socat TCP-LISTEN:" + std::to_string(kPort) + ",bind=127.0.0.1,reuseaddr,fork PIPE");
    ASSERT_TRUE(echo);
    ASSERT_TRUE(waitUntil([] { return hostPortAccepts(kPort); }, 30));
    ASSERT_EQ(AddDynamicBridgeLocal(kPort, 1), 0);
    const int threadsBefore = threadCount();
    const int fdsBefore = openDescriptors();

    ryn::test::TempDir dir;
    const std::string gate = dir.file("release");
    constexpr int kClients = 3;
    std::vector<std::unique_ptr<netnstest::Background>> clients;
    std::vector<std::string> payloads;
    for (int i = 0; i < kClients; ++i) {
        payloads.push_back(hexOf(std::string(1500, static_cast<char>('a' + i))));
        // A refused client retries: the bridge takes one connection a second.
        clients.push_back(link.term().spawn(probeTool("steps-retry 1.1.1.1 " + std::to_string(kPort) + " send:" +
                                                      payloads.back() + " recv:1500:120 wait:" + gate + " close")));
        ASSERT_TRUE(clients.back());
    }
    // Every client has its echo while all three connections are open.
    for (int i = 0; i < kClients; ++i)
        EXPECT_TRUE(clients[i]->waitOutput("RECV " + payloads[i] + "\n", 120s)) << i << ": " << clients[i]->output();
    EXPECT_GE(link.log().count("Start manageRuvaloToOpenOsBridge..."), static_cast<size_t>(kClients));
    ryn::test::writeFile(gate, "go");
    for (auto &c : clients) EXPECT_EQ(c->wait(60s), 0);
    clients.clear();

    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore; }, 60))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == fdsBefore; }, 60))
        << openDescriptors() << " descriptors, " << fdsBefore << " before";
}

}  // namespace
