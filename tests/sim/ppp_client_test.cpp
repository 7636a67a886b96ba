// A real PPP client against the simulator: lwIP runs in this test process as
// the host side (PPP client, TCP client) and negotiates with the simulator's
// lwIP server over the pty, authenticates, and exchanges TCP data.
#include <gtest/gtest.h>

#include <string>

#include "sim/lwip_client.h"
#include "sim/sim_harness.h"

namespace simtest {
namespace {

class PppClientTest : public ::testing::Test {
 protected:
  std::unique_ptr<SimProcess> start(std::vector<std::string> extra) {
    std::vector<std::string> args{"--link", dir_.file("terminal")};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<SimProcess>(args);
    EXPECT_TRUE(sim->waitEvent("READY ")) << sim->transcript();
    return sim;
  }

  void handshake(SimProcess& sim, HostLine& host) {
    host.write("CLIENT");
    auto reads = host.readUntil("CLIENTSERVER");
    Bytes all;
    for (auto& r : reads) all.insert(all.end(), r.begin(), r.end());
    ASSERT_TRUE(contains(all, "CLIENTSERVER"));
    ASSERT_TRUE(sim.waitEvent("HANDSHAKE")) << sim.transcript();
  }

  TempDir dir_;
};

TEST_F(PppClientTest, LinkComesUpWithTheTerminalsAddresses) {
  for (const char* mode : {"--silent", "--active"}) {
    SCOPED_TRACE(mode);
    auto sim = start({mode, "--retry-time", "1"});
    HostLine host(dir_.file("terminal"));
    handshake(*sim, host);
    LwipClient client(host);
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.runUntil([&] { return client.up; })) << "client error " << client.lastError;
    std::string line;
    ASSERT_TRUE(sim->waitEvent("PPP-UP", &line)) << sim->transcript();
    EXPECT_EQ(line, "PPP-UP 1.1.1.2 1.1.1.1");
    EXPECT_STREQ(ip4addr_ntoa(netif_ip4_addr(&client.netif_)), "1.1.1.1");
    EXPECT_STREQ(ip4addr_ntoa(netif_ip4_gw(&client.netif_)), "1.1.1.2");
  }
}

TEST_F(PppClientTest, PapCredentialsDecideTheSession) {
  struct Case {
    const char* user;
    const char* password;
    bool up;
  };
  const Case cases[] = {{"pos", "s3cret", true}, {"pos", "wrong", false}, {"other", "s3cret", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + ":" + c.password);
    auto sim = start({"--pap", "pos:s3cret", "--retry-time", "1"});
    HostLine host(dir_.file("terminal"));
    handshake(*sim, host);
    LwipClient client(host, c.user, c.password);
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.runUntil([&] { return client.up || client.ended; }));
    EXPECT_EQ(client.up, c.up);
    if (c.up) {
      EXPECT_TRUE(sim->waitEvent("PPP-UP")) << sim->transcript();
    } else {
      EXPECT_EQ(client.lastError, PPPERR_AUTHFAIL);
      EXPECT_TRUE(sim->waitEvent("PPP-DOWN")) << sim->transcript();
    }
  }
}

TEST_F(PppClientTest, EchoServerReturnsEveryByteValueOverAPacedLine) {
  // All 256 byte values, so escaped and flow-control characters must pass
  // a raw line unchanged; paced like a 115200-baud line.
  auto sim = start({"--pace", "11520", "--echo-port", "7", "--echo-port", "5188"});
  HostLine host(dir_.file("terminal"));
  handshake(*sim, host);
  LwipClient client(host);
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.runUntil([&] { return client.up; }));

  std::string data;
  for (int i = 0; i < 12000; ++i) data.push_back(static_cast<char>((i * 7 + i / 256) & 0xff));
  for (uint16_t port : {uint16_t(7), uint16_t(5188)}) {
    SCOPED_TRACE(port);
    TcpExchange echo;
    ASSERT_TRUE(echo.open(client, port));
    ASSERT_TRUE(echo.exchange(client, data, data.size(), milliseconds(30000)));
    EXPECT_TRUE(echo.received == data) << "echoed bytes differ";
  }
}

}  // namespace
}  // namespace simtest
