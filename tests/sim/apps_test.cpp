// The simulator's TCP test applications (sink, source, connect, hold)
// against a known-good host: lwIP's PPP and TCP in this test process. What
// the applications report must match what went over the wire, since the
// end-to-end tests of the host's own stack trust these reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/lwip_tcp.h"
#include "sim/sim_harness.h"
#include "tools/spmsim/pattern.h"

namespace simtest {
namespace {

constexpr milliseconds kLong{120000};

std::string patternText(size_t len, uint32_t seed) {
  std::string s(len, '\0');
  spmsim::fillPattern(reinterpret_cast<uint8_t*>(s.data()), len, 0, seed);
  return s;
}

std::string crcHex(const std::string& s) {
  spmsim::Crc32 c;
  c.update(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", c.value());
  return buf;
}

class SimAppsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--link", dir_.file("terminal"), "--sink-port", "9",
                                                                 "--source-port", "19", "--retry-time", "1"});
    ASSERT_TRUE(sim_->waitEvent("READY ")) << sim_->transcript();
    host_ = std::make_unique<HostLine>(dir_.file("terminal"));
    host_->write("CLIENT");
    host_->readUntil("CLIENTSERVER");
    ASSERT_TRUE(sim_->waitEvent("HANDSHAKE")) << sim_->transcript();
    client_ = std::make_unique<LwipClient>(*host_);
    ASSERT_TRUE(client_->connect());
    ASSERT_TRUE(client_->runUntil([&] { return client_->up; }));
    IP4_ADDR(&terminal_, 1, 1, 1, 2);
  }
  void TearDown() override {
    client_.reset();
    host_.reset();
    sim_.reset();
  }
  // Pumps lwIP until done(), flushing conn's queued bytes on the way.
  bool run(LwipTcp& conn, const std::function<bool()>& done) {
    return client_->runUntil(
        [&] {
          conn.flush();
          return done();
        },
        kLong);
  }
  // Pumps lwIP until the simulator printed a line starting with prefix.
  // The simulator's stdout is read with short waits between pump rounds.
  bool event(const std::string& prefix, std::string* line, LwipTcp* conn = nullptr) {
    auto end = std::chrono::steady_clock::now() + kLong;
    while (std::chrono::steady_clock::now() < end) {
      if (sim_->waitEvent(prefix, line, milliseconds(20))) return true;
      client_->runUntil(
          [&] {
            if (conn) conn->flush();
            return false;
          },
          milliseconds(20));
    }
    return false;
  }

  TempDir dir_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<HostLine> host_;
  std::unique_ptr<LwipClient> client_;
  ip4_addr_t terminal_{};
};

TEST_F(SimAppsTest, SinkReportsSizeAndCrcOfWhatArrived) {
  const std::string data = patternText(300000, 5);
  LwipTcp conn;
  ASSERT_TRUE(conn.connect(terminal_, 9));
  ASSERT_TRUE(run(conn, [&] { return conn.connected || conn.failed; }));
  conn.send(data);
  conn.shutdownWrite();
  std::string line;
  ASSERT_TRUE(event("SINK ", &line, &conn)) << sim_->transcript();
  EXPECT_EQ(line, "SINK 9 300000 " + crcHex(data));
  ASSERT_TRUE(run(conn, [&] { return conn.remoteClosed || conn.failed; }));
  EXPECT_FALSE(conn.failed);
}

TEST_F(SimAppsTest, SinkThatIsHeldTakesEverythingAfterRelease) {
  sim_->command("hold");
  const std::string data = patternText(100000, 6);
  LwipTcp conn;
  ASSERT_TRUE(conn.connect(terminal_, 9));
  conn.send(data);
  conn.shutdownWrite();
  // The sink's window (8 segments) holds far less than the data: nothing
  // can be reported while held.
  ASSERT_TRUE(run(conn, [&] { return conn.connected || conn.failed; }));
  sim_->command("stats");  // a sync point: commands are handled in order
  std::string stats;
  ASSERT_TRUE(event("STATS ", &stats, &conn));
  EXPECT_FALSE(sim_->transcript().find("SINK 9") != std::string::npos) << sim_->transcript();
  sim_->command("release");
  std::string line;
  ASSERT_TRUE(event("SINK ", &line, &conn)) << sim_->transcript();
  EXPECT_EQ(line, "SINK 9 100000 " + crcHex(data));
}

TEST_F(SimAppsTest, SourceSendsThePatternAndClosesPerMode) {
  {
    SCOPED_TRACE("fin");
    LwipTcp conn;
    ASSERT_TRUE(conn.connect(terminal_, 19));
    conn.send("250000 fin 7\n");
    ASSERT_TRUE(run(conn, [&] { return conn.remoteClosed || conn.failed; }));
    EXPECT_FALSE(conn.failed);
    EXPECT_TRUE(conn.received == patternText(250000, 7)) << conn.received.size();
    std::string line;
    ASSERT_TRUE(event("SOURCE 19 SENT", &line));
    EXPECT_EQ(line, "SOURCE 19 SENT 250000");
  }
  {
    SCOPED_TRACE("half: the source reads on after its FIN");
    LwipTcp conn;
    ASSERT_TRUE(conn.connect(terminal_, 19));
    conn.send("40000 half 8\n");
    ASSERT_TRUE(run(conn, [&] { return conn.remoteClosed || conn.failed; }));
    EXPECT_TRUE(conn.received == patternText(40000, 8)) << conn.received.size();
    const std::string back = patternText(120000, 9);
    conn.send(back);
    conn.shutdownWrite();
    std::string line;
    ASSERT_TRUE(event("SOURCE 19 GOT", &line, &conn)) << sim_->transcript();
    EXPECT_EQ(line, "SOURCE 19 GOT 120000 " + crcHex(back));
  }
  {
    SCOPED_TRACE("rst: a reset once the data is acknowledged");
    LwipTcp conn;
    ASSERT_TRUE(conn.connect(terminal_, 19));
    conn.send("30000 rst 10\n");
    ASSERT_TRUE(run(conn, [&] { return conn.failed || conn.remoteClosed; }));
    EXPECT_TRUE(conn.failed) << "expected a reset";
    EXPECT_FALSE(conn.remoteClosed);
    EXPECT_TRUE(conn.received == patternText(30000, 10)) << conn.received.size();
    std::string line;
    ASSERT_TRUE(event("SOURCE 19 RESET-SENT", &line));
    EXPECT_EQ(line, "SOURCE 19 RESET-SENT 30000");
  }
}

TEST_F(SimAppsTest, SourceResetsAMalformedRequest) {
  const std::string requests[] = {"12 sideways 1\n", "lots fin 1\n", std::string(100, 'x')};
  for (const std::string& request : requests) {
    SCOPED_TRACE(request);
    LwipTcp conn;
    ASSERT_TRUE(conn.connect(terminal_, 19));
    conn.send(request);
    ASSERT_TRUE(run(conn, [&] { return conn.failed || conn.remoteClosed; }));
    EXPECT_TRUE(conn.failed);
    EXPECT_TRUE(conn.received.empty());
  }
}

TEST_F(SimAppsTest, ConnectSendsToTheHostOrReportsTheFailure) {
  LwipServer server(false);
  ASSERT_TRUE(server.listen(5001));
  sim_->command("connect 5001 180000 11");
  ASSERT_TRUE(client_->runUntil(
      [&] { return !server.connections.empty() && server.connections.front()->remoteClosed; }, kLong));
  EXPECT_TRUE(server.connections.front()->received == patternText(180000, 11))
      << server.connections.front()->received.size();
  std::string line;
  ASSERT_TRUE(event("CONNECT 5001 ", &line));
  EXPECT_EQ(line, "CONNECT 5001 SENT 180000");

  // No listener: lwIP answers the SYN with a reset.
  sim_->command("connect 5002 10 1");
  ASSERT_TRUE(event("CONNECT 5002 ", &line));
  EXPECT_EQ(line.rfind("CONNECT 5002 FAILED ", 0), 0u) << line;
}

}  // namespace
}  // namespace simtest
