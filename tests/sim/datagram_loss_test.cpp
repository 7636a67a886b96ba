// Deliberate datagram loss in the simulator's ordinary mode (lwIP is the
// terminal's TCP/IP stack too) and the simulator's refusal of a TUN mode it
// cannot set up. No root needed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <string>

#include "sim/lwip_client.h"
#include "sim/lwip_tcp.h"
#include "sim/sim_harness.h"

namespace simtest {
namespace {

std::string pseudoRandom(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

TEST(DatagramLoss, LwipEchoSurvivesLossInBothDirectionsAndALostSynAck) {
  TempDir dir;
  SimProcess sim({"--link", dir.file("terminal"), "--echo-port", "7", "--drop-every", "6", "--drop-next",
                  "tx:syn-ack"});
  ASSERT_TRUE(sim.waitEvent("READY ")) << sim.transcript();
  HostLine host(dir.file("terminal"));
  host.write("CLIENT");
  host.readUntil("CLIENTSERVER");
  ASSERT_TRUE(sim.waitEvent("HANDSHAKE")) << sim.transcript();
  LwipClient client(host);
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.runUntil([&] { return client.up; }));

  const std::string data = pseudoRandom(30000, 9);
  ip4_addr_t terminal;
  IP4_ADDR(&terminal, 1, 1, 1, 2);
  LwipTcp conn;
  ASSERT_TRUE(conn.connect(terminal, 7));
  conn.send(data);
  ASSERT_TRUE(client.runUntil(
      [&] {
        conn.flush();
        return conn.failed || conn.received.size() >= data.size();
      },
      milliseconds(120000)))
      << "echoed " << conn.received.size() << " of " << data.size();
  EXPECT_FALSE(conn.failed);
  EXPECT_TRUE(conn.received == data) << "echoed bytes differ";
  EXPECT_TRUE(sim.waitEvent("DROPPED tx TCP SYN-ACK")) << sim.transcript();

  sim.command("stats");
  std::string stats;
  ASSERT_TRUE(sim.waitEvent("STATS ", &stats)) << sim.transcript();
  unsigned long rxSeen = 0, rxDropped = 0, txSeen = 0, txDropped = 0;
  ASSERT_EQ(std::sscanf(stats.c_str(), "STATS rx %lu dropped %lu tx %lu dropped %lu", &rxSeen, &rxDropped, &txSeen,
                        &txDropped),
            4)
      << stats;
  EXPECT_EQ(rxDropped, rxSeen / 6) << stats;
  EXPECT_EQ(txDropped, txSeen / 6 + 1) << stats << " (the one-shot SYN-ACK comes on top)";
  EXPECT_GT(rxDropped, 0u);
}

TEST(DatagramLoss, MissingNamespaceIsAStartFailureThatLeavesNoLink) {
  TempDir dir;
  SimProcess sim({"--link", dir.file("terminal"), "--tun", "ryn-no-such-namespace"});
  int status = sim.waitExit();
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(access(dir.file("terminal").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace simtest
