// The simulator's TUN mode: lwIP only does PPP and the Linux kernel in a
// private network namespace is the terminal's TCP/IP stack. The host side is
// lwIP in this test process (PPP client and TCP); the terminal's
// applications are python3 programs in the namespace. Skipped unless root.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <openssl/evp.h>

#include "netns/kernel_terminal.h"
#include "sim/lwip_client.h"
#include "sim/lwip_tcp.h"

extern "C" {
#include "lwip/inet_chksum.h"
#include "lwip/prot/icmp.h"
#include "lwip/prot/ip4.h"
#include "ryn_lwip_port.h"
}

namespace simtest {
namespace {

using netnstest::KernelTerminal;
using netnstest::pythonTool;

constexpr milliseconds kBulkDeadline{120000};

ip4_addr_t terminalAddr() {
  ip4_addr_t a;
  IP4_ADDR(&a, 1, 1, 1, 2);
  return a;
}

std::string pseudoRandom(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string sha256Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < len; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// Where two strings first differ, for failure messages.
std::string firstDifference(const std::string& got, const std::string& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return "got " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
         " bytes, first difference at " + std::to_string(i);
}

class TunModeTest : public ::testing::Test {
 protected:
  struct NetNamespaceRun {
    bool finished = false;
    int exitCode = -1;
    std::string output;
  };

  void SetUp() override {
    std::string why = netnstest::unavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  // Starts the terminal and brings PPP up with lwIP as the host.
  void bringUp(const std::vector<std::string>& args = {}) {
    term_ = std::make_unique<KernelTerminal>(args);
    ASSERT_TRUE(term_->ok()) << term_->error();
    host_ = std::make_unique<HostLine>(term_->linkPath());
    ASSERT_TRUE(host_->isOpen());
    host_->write("CLIENT");
    Bytes all;
    for (auto& r : host_->readUntil("CLIENTSERVER")) all.insert(all.end(), r.begin(), r.end());
    ASSERT_TRUE(contains(all, "CLIENTSERVER"));
    ASSERT_TRUE(term_->sim().waitEvent("HANDSHAKE")) << term_->sim().transcript();
    client_ = std::make_unique<LwipClient>(*host_);
    ASSERT_TRUE(client_->connect());
    ASSERT_TRUE(client_->runUntil([&] { return client_->up; })) << "PPP error " << client_->lastError;
    ASSERT_TRUE(term_->sim().waitEvent("PPP-UP")) << term_->sim().transcript();
  }

  // Runs a program in the namespace to completion while lwIP is pumped.
  NetNamespaceRun runPumped(const std::string& command, milliseconds timeout = kBulkDeadline) {
    auto program = term_->spawn(command);
    NetNamespaceRun run;
    if (!program) return run;
    int status = -1;
    client_->runUntil([&] { return program->finished(&status); }, timeout);
    run.finished = program->finished(&status);
    run.exitCode = run.finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = program->output();
    return run;
  }

  // Host → kernel echo server: sends data, half-closes, expects it back
  // followed by the server's FIN.
  void echoThroughKernel(const std::string& data, uint16_t port) {
    auto server = term_->spawn(pythonTool("echo-server " + std::to_string(port) + " --once"));
    ASSERT_TRUE(server->waitOutput("LISTENING")) << server->output();
    LwipTcp conn;
    ASSERT_TRUE(conn.connect(terminalAddr(), port));
    conn.send(data);
    conn.shutdownWrite();
    ASSERT_TRUE(client_->runUntil(
        [&] {
          conn.flush();
          return conn.failed || conn.remoteClosed;
        },
        kBulkDeadline))
        << firstDifference(conn.received, data);
    EXPECT_FALSE(conn.failed);
    EXPECT_TRUE(conn.received == data) << firstDifference(conn.received, data);
    EXPECT_TRUE(server->waitOutput("ECHOED " + std::to_string(data.size()))) << server->output();
  }

  std::unique_ptr<KernelTerminal> term_;
  std::unique_ptr<HostLine> host_;
  std::unique_ptr<LwipClient> client_;
};

// Catches ICMP echo replies for the host side (lwIP has no ping client).
struct EchoReplies {
  static int hook(pbuf* p, netif*, void* ctx) {
    uint8_t b[28];
    if (p->tot_len < sizeof b || pbuf_copy_partial(p, b, sizeof b, 0) != sizeof b) return 0;
    if ((b[0] & 0x0f) != 5 || b[9] != IP_PROTO_ICMP || b[20] != ICMP_ER) return 0;
    static_cast<EchoReplies*>(ctx)->seqs.push_back(static_cast<uint16_t>(b[26] << 8 | b[27]));
    pbuf_free(p);
    return 1;
  }
  std::vector<uint16_t> seqs;
};

void sendEchoRequest(netif* nif, uint16_t seq) {
  const char body[] = "host ping";
  uint16_t total = static_cast<uint16_t>(20 + 8 + sizeof body);
  pbuf* p = pbuf_alloc(PBUF_IP, total, PBUF_RAM);
  auto* b = static_cast<uint8_t*>(p->payload);
  std::memset(b, 0, total);
  const uint8_t ip[20] = {0x45, 0, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0, 7, 0, 0, 64,
                          IP_PROTO_ICMP, 0, 0, 1, 1, 1, 1, 1, 1, 1, 2};
  std::memcpy(b, ip, sizeof ip);
  uint16_t sum = inet_chksum(b, 20);
  std::memcpy(b + 10, &sum, 2);
  uint8_t* icmp = b + 20;
  icmp[0] = ICMP_ECHO;
  icmp[4] = 0x12;
  icmp[5] = 0x34;
  icmp[6] = static_cast<uint8_t>(seq >> 8);
  icmp[7] = static_cast<uint8_t>(seq);
  std::memcpy(icmp + 8, body, sizeof body);
  sum = inet_chksum(icmp, static_cast<uint16_t>(8 + sizeof body));
  std::memcpy(icmp + 2, &sum, 2);
  ip4_addr_t dst = terminalAddr();
  nif->output(nif, p, &dst);
  pbuf_free(p);
}

TEST_F(TunModeTest, KernelAndHostAnswerEachOthersPings) {
  ASSERT_NO_FATAL_FAILURE(bringUp());
  // The kernel holds the link's addresses and nothing of IPv6, so all it
  // sends is what its applications ask for.
  auto addresses = term_->exec("ip -o addr show dev " + term_->tunName());
  EXPECT_NE(addresses.output.find("inet 1.1.1.2 peer 1.1.1.1/32"), std::string::npos) << addresses.output;
  EXPECT_EQ(addresses.output.find("inet6"), std::string::npos) << addresses.output;

  EchoReplies replies;
  ryn_lwip_set_ip4_input_hook(&EchoReplies::hook, &replies);
  for (uint16_t seq = 1; seq <= 3; ++seq) {
    sendEchoRequest(&client_->netif_, seq);
    bool answered = client_->runUntil(
        [&] { return std::find(replies.seqs.begin(), replies.seqs.end(), seq) != replies.seqs.end(); });
    EXPECT_TRUE(answered) << "no reply from the kernel to echo request " << seq;
  }
  ryn_lwip_set_ip4_input_hook(nullptr, nullptr);

  // The kernel's request is answered by lwIP's ICMP on the host side.
  NetNamespaceRun ping = runPumped(pythonTool("ping 1.1.1.1 3"));
  EXPECT_EQ(ping.exitCode, 0) << ping.output;
  EXPECT_NE(ping.output.find("REPLIES 3"), std::string::npos) << ping.output;
}

TEST_F(TunModeTest, HostOpensToKernelAndBulkDataComesBackIntact) {
  ASSERT_NO_FATAL_FAILURE(bringUp());
  ASSERT_NO_FATAL_FAILURE(echoThroughKernel(pseudoRandom(3 << 20, 7), 5188));
}

TEST_F(TunModeTest, KernelOpensToHostAndBulkDataComesBackIntact) {
  ASSERT_NO_FATAL_FAILURE(bringUp());
  LwipServer server;
  ASSERT_TRUE(server.listen(7));
  NetNamespaceRun run = runPumped(pythonTool("echo-client 1.1.1.1 7 3000000 11"));
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("OK 3000000 "), std::string::npos) << run.output;
}

TEST_F(TunModeTest, OneWayBulkOnAPacedLineArrivesWithItsChecksum) {
  // 115200 baud; the kernel's RTO floor raised as a paced line needs.
  ASSERT_NO_FATAL_FAILURE(bringUp({"--pace", "11520"}));
  ASSERT_TRUE(term_->setRtoMin(1500));

  // Kernel to host: the paced direction.
  LwipServer sink(false);  // collects, closes after the sender
  ASSERT_TRUE(sink.listen(9));
  auto source = term_->spawn(pythonTool("source-client 1.1.1.1 9 90000 21"));
  LwipTcp* conn = nullptr;
  ASSERT_TRUE(client_->runUntil(
      [&] {
        if (conn == nullptr && !sink.connections.empty()) conn = sink.connections.front().get();
        if (conn != nullptr && conn->remoteClosed) conn->shutdownWrite();
        return source->finished();
      },
      kBulkDeadline))
      << source->output();
  ASSERT_NE(conn, nullptr);
  EXPECT_NE(source->output().find("SENT 90000 " + sha256Hex(conn->received)), std::string::npos)
      << source->output() << " received " << conn->received.size();

  // Host to kernel: the kernel's sink reports what arrived.
  auto server = term_->spawn(pythonTool("sink-server 5188"));
  ASSERT_TRUE(server->waitOutput("LISTENING")) << server->output();
  const std::string data = pseudoRandom(90000, 22);
  LwipTcp out;
  ASSERT_TRUE(out.connect(terminalAddr(), 5188));
  out.send(data);
  out.shutdownWrite();
  std::string expected = "RECEIVED 90000 " + sha256Hex(data);
  ASSERT_TRUE(client_->runUntil(
      [&] {
        out.flush();
        return out.failed || server->waitOutput(expected, milliseconds(0));
      },
      kBulkDeadline))
      << server->output();
  EXPECT_FALSE(out.failed);
}

TEST_F(TunModeTest, EveryNthDatagramLostBothWaysStillDeliversEverything) {
  ASSERT_NO_FATAL_FAILURE(bringUp({"--drop-every", "9"}));
  ASSERT_NO_FATAL_FAILURE(echoThroughKernel(pseudoRandom(120000, 3), 5188));

  term_->sim().command("stats");
  std::string stats;
  ASSERT_TRUE(term_->sim().waitEvent("STATS ", &stats)) << term_->sim().transcript();
  unsigned long rxSeen = 0, rxDropped = 0, txSeen = 0, txDropped = 0;
  ASSERT_EQ(std::sscanf(stats.c_str(), "STATS rx %lu dropped %lu tx %lu dropped %lu", &rxSeen, &rxDropped, &txSeen,
                        &txDropped),
            4)
      << stats;
  EXPECT_GT(rxDropped, 0u) << stats;
  EXPECT_GT(txDropped, 0u) << stats;
  EXPECT_EQ(rxDropped, rxSeen / 9) << stats;
  EXPECT_EQ(txDropped, txSeen / 9) << stats;
}

TEST_F(TunModeTest, LostControlSegmentsAreRecoveredByRetransmission) {
  struct Case {
    const char* rule;        // --drop-next
    bool kernelOpens;        // else the host opens
    const char* event;       // expected DROPPED event prefix
  };
  const Case cases[] = {
      {"tx:syn-ack", false, "DROPPED tx TCP SYN-ACK"},  // the kernel's SYN-ACK to the host
      {"rx:syn-ack", true, "DROPPED rx TCP SYN-ACK"},   // the host's SYN-ACK to the kernel
      {"tx:fin", false, "DROPPED tx TCP FIN"},          // the kernel's FIN after the echo
      {"rx:fin", true, "DROPPED rx TCP FIN"},           // the host's FIN after the echo
  };
  const std::string data = pseudoRandom(30000, 5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    ASSERT_NO_FATAL_FAILURE(bringUp({"--drop-next", c.rule}));
    if (c.kernelOpens) {
      LwipServer server;
      ASSERT_TRUE(server.listen(7));
      NetNamespaceRun run = runPumped(pythonTool("echo-client 1.1.1.1 7 30000 5"));
      EXPECT_EQ(run.exitCode, 0) << run.output;
      EXPECT_NE(run.output.find("OK 30000 "), std::string::npos) << run.output;
    } else {
      ASSERT_NO_FATAL_FAILURE(echoThroughKernel(data, 5188));
    }
    EXPECT_TRUE(term_->sim().waitEvent(c.event)) << term_->sim().transcript();
    client_.reset();
    host_.reset();
    term_.reset();
  }
}

}  // namespace
}  // namespace simtest
