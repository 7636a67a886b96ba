// The serial simulator's payment terminal (spmsim --terminal) against a
// host played by lwIP in this process: PPP over the pty, the host's service
// server on 1.1.1.1:5186 answering the terminal's printer commands and
// echoes, and the channel to 1.1.1.2:5188 carrying payment requests. The
// messages are built and read with the terminal logic's codecs (their
// agreement with the library's is sim_compat_test's job; the whole library
// against the simulator is tests/e2e). The simulator's side is what the
// host library's bridges reach over the link.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "services/wire.h"
#include "sim/lwip_tcp.h"
#include "sim/sim_harness.h"
#include "tools/terminal/message.h"
#include "tools/terminal/printer.h"
#include "tools/terminal/protocol.h"

namespace simtest {
namespace {

namespace st = simterm;

std::mutex g_mu;
std::vector<std::string> g_printed;

void record(const std::string& what) {
  std::lock_guard<std::mutex> l(g_mu);
  g_printed.push_back(what);
}
std::vector<std::string> printed() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_printed;
}

// The host's service server on lwIP: takes the terminal's connections on
// 5186 and answers printer commands through the library's printer service
// and echo requests with an empty answer.
class HostServices {
 public:
  bool listen() { return server_.listen(st::kServicesPort); }
  size_t connections() const { return server_.connections.size(); }
  LwipTcp* latest() { return server_.connections.empty() ? nullptr : server_.connections.back().get(); }
  int echoes = 0;
  int dropped = 0;  // undecodable messages

  // Answers what arrived; call from the pump predicate.
  void serve() {
    for (auto& conn : server_.connections) {
      State& state = states_[conn.get()];
      if (conn->received.empty()) continue;
      state.in.push(reinterpret_cast<const unsigned char*>(conn->received.data()), conn->received.size());
      conn->received.clear();
      std::string message;
      while (state.in.next(message) == st::EnvelopeAssembler::Status::Message) {
        st::Tree tree;
        if (st::decodeMessage(message, tree) != st::DecodeError::None) {
          ++dropped;
          continue;
        }
        if (tree.tag() == st::services::kPrinterReq) {
          const std::string command = tree.value();
          if (command.size() < st::printer::kHeaderLen) {
            ++dropped;
            continue;
          }
          conn->send(st::encodeMessage(st::answerTag(st::services::kPrinterReq), {}, print(command)));
        } else if (tree.tag() == st::services::kEchoReq) {
          ++echoes;
          conn->send(st::encodeMessage(st::answerTag(st::services::kEchoReq), {}));
        } else {
          ++dropped;
        }
      }
    }
  }

 private:
  struct State {
    st::EnvelopeAssembler in{1u << 20};
  };
  static uint32_t field(const std::string& record, size_t offset) {
    return ryn::wire::loadLe32(reinterpret_cast<const unsigned char*>(record.data()) + offset);
  }
  // A printer that records what it is asked to do and answers "done":
  // code, job id (1 from the open on), status 0, printer status 0.
  std::string print(const std::string& command) {
    namespace pr = st::printer;
    const uint32_t code = field(command, pr::kCodeOffset);
    const std::string payload = command.substr(pr::kHeaderLen);
    switch (code) {
      case pr::kStartReceipt: record("start"); break;
      case pr::kEndReceipt: record("end"); break;
      case pr::kCut: record("cut"); break;
      case pr::kFeed: record("feed " + std::to_string(field(command, pr::kParam1Offset))); break;
      case pr::kText: record("text " + std::string(payload.c_str())); break;
      default: break;
    }
    std::string answer(pr::kAnswerLen, '\0');
    auto* a = reinterpret_cast<unsigned char*>(answer.data());
    ryn::wire::storeLe32(a + pr::kCodeOffset, code);
    ryn::wire::storeLe32(a + pr::kJobIdOffset, 1);
    return answer;
  }

  LwipServer server_{false};
  std::map<LwipTcp*, State> states_;
};

std::string paymentRequest(const std::string& amount) {
  namespace rq = st::concert_req;
  return st::encodeMessage(st::channel::kTransactionReq, {{rq::kTermNum, "01"},
                                                          {rq::kAmount, std::string(8 - amount.size(), '0') + amount},
                                                          {rq::kMode, "0"},
                                                          {rq::kCurrency, "978"}});
}

// The terminal's verdict from a whole answer envelope: "approved",
// "declined", or what was wrong with it.
std::string verdict(const std::string& answer) {
  st::Tree tree;
  if (st::decodeMessage(answer, tree) != st::DecodeError::None) return "undecodable";
  if (tree.tag() != st::answerTag(st::channel::kTransactionReq)) return "wrong tag";
  const auto status = tree.child(st::concert_rsp::kStatus);
  if (!status || status->size() != 1) return "no status";
  if ((*status)[0] == st::concert_rsp::kApproved) return "approved";
  if ((*status)[0] == st::concert_rsp::kDeclined) return "declined";
  return "status " + *status;
}

ip4_addr_t terminalAddress() {
  ip4_addr_t a;
  IP4_ADDR(&a, 1, 1, 1, 2);
  return a;
}

class SerialTerminalTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> l(g_mu);
    g_printed.clear();
  }

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--link", dir_.file("terminal"), "--terminal", "--retry-time", "1"};
    if (*GetParam() != '\0') {
      args.push_back("--pace");
      args.push_back(GetParam());
    }
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<SimProcess>(args);
    ASSERT_TRUE(sim_->waitEvent("READY ")) << sim_->transcript();
    line_ = std::make_unique<HostLine>(dir_.file("terminal"));
    ASSERT_TRUE(line_->isOpen());
  }

  // Handshake and PPP as the host does it.
  void linkUp() {
    client_.reset();
    line_->write("CLIENT");
    Bytes all;
    for (auto& r : line_->readUntil("CLIENTSERVER")) all.insert(all.end(), r.begin(), r.end());
    ASSERT_TRUE(contains(all, "CLIENTSERVER"));
    client_ = std::make_unique<LwipClient>(*line_);
    ASSERT_TRUE(client_->connect());
    ASSERT_TRUE(pump([&] { return client_->up; })) << "PPP error " << client_->lastError;
  }

  // Pumps lwIP (and the host's services) until done() holds.
  bool pump(const std::function<bool()>& done, milliseconds timeout = milliseconds(30000)) {
    return client_->runUntil(
        [&] {
          services_.serve();
          return done();
        },
        timeout);
  }

  // Sends one payment on the channel and waits for its whole answer.
  std::string pay(LwipTcp& channel, const char* amount) {
    st::EnvelopeAssembler in(1u << 20);
    std::string answer;
    size_t seen = channel.received.size();
    channel.send(paymentRequest(amount));
    bool done = pump([&] {
      channel.flush();
      if (channel.received.size() > seen) {
        in.push(reinterpret_cast<const unsigned char*>(channel.received.data()) + seen,
                channel.received.size() - seen);
        seen = channel.received.size();
      }
      return channel.failed || in.next(answer) == st::EnvelopeAssembler::Status::Message;
    });
    if (!done || channel.failed) return "no answer";
    return verdict(answer);
  }

  std::unique_ptr<LwipTcp> openChannel() {
    auto channel = std::make_unique<LwipTcp>();
    EXPECT_TRUE(channel->connect(terminalAddress(), st::kChannelPort));
    EXPECT_TRUE(pump([&] { return channel->connected || channel->failed; }));
    EXPECT_TRUE(channel->connected);
    return channel;
  }

  void expectReceiptInOrder() {
    std::vector<std::string> p = printed();
    ASSERT_GE(p.size(), 5u);
    EXPECT_EQ(p.front(), "start");
    EXPECT_EQ(p[1], "text SPMSIM MERCHANT");
    EXPECT_EQ(p[p.size() - 3], "feed 3");
    EXPECT_EQ(p[p.size() - 2], "cut");
    EXPECT_EQ(p.back(), "end");
  }

  TempDir dir_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<HostLine> line_;
  std::unique_ptr<LwipClient> client_;
  HostServices services_;
};

TEST_P(SerialTerminalTest, PaymentsApprovedAndDeclinedWithTheReceiptPrintedOnTheHost) {
  start({"--decline-above", "50000", "--echo-interval", "300"});
  ASSERT_TRUE(services_.listen());
  linkUp();
  // The terminal dials the host's services as soon as PPP is up.
  ASSERT_TRUE(pump([&] { return services_.connections() == 1 && services_.latest()->connected; }));
  auto channel = openChannel();
  ASSERT_TRUE(channel->connected);

  EXPECT_EQ(pay(*channel, "2500"), "approved");
  expectReceiptInOrder();
  const std::vector<std::string> p = printed();
  EXPECT_NE(std::find(p.begin(), p.end(), "text AMOUNT 25.00 978"), p.end());
  EXPECT_NE(std::find(p.begin(), p.end(), "text APPROVED"), p.end());
  const size_t texts = size_t(std::count_if(p.begin(), p.end(), [](auto& s) { return s.rfind("text ", 0) == 0; }));

  {
    std::lock_guard<std::mutex> l(g_mu);
    g_printed.clear();
  }
  struct Case {
    const char* amount;
    const char* verdict;
  } cases[] = {{"50001", "declined"}, {"4213", "declined"}, {"50000", "approved"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.amount);
    EXPECT_EQ(pay(*channel, c.amount), c.verdict);
  }
  // Idle: the terminal's echo is answered by the host.
  EXPECT_TRUE(pump([&] { return services_.echoes >= 1; }));
  EXPECT_EQ(services_.dropped, 0);
  EXPECT_EQ(services_.connections(), 1u);  // one services connection throughout

  std::string line;
  ASSERT_TRUE(sim_->waitEvent("CONNECTED services")) << sim_->transcript();
  ASSERT_TRUE(sim_->waitEvent("CONNECTED channel")) << sim_->transcript();
  ASSERT_TRUE(sim_->waitEvent("RECEIPT ", &line)) << sim_->transcript();
  EXPECT_EQ(line, "RECEIPT printed " + std::to_string(texts));
  ASSERT_TRUE(sim_->waitEvent("TRANSACTION ", &line));
  EXPECT_EQ(line, "TRANSACTION 00002500 APPROVED");
  ASSERT_TRUE(sim_->waitEvent("TRANSACTION ", &line));
  EXPECT_EQ(line, "TRANSACTION 00050001 DECLINED");
  ASSERT_TRUE(sim_->waitEvent("TRANSACTION ", &line));
  EXPECT_EQ(line, "TRANSACTION 00004213 DECLINED");
  ASSERT_TRUE(sim_->waitEvent("TRANSACTION ", &line));
  EXPECT_EQ(line, "TRANSACTION 00050000 APPROVED");
  EXPECT_TRUE(sim_->waitEvent("ECHO-ANSWERED")) << sim_->transcript();
}

// The host opens the channel (and sends its request) before its service
// server takes the terminal's connection: the request waits and is served
// once the services connection is up.
TEST_P(SerialTerminalTest, ChannelOpenedBeforeTheServicesConnectionWaitsForIt) {
  start({"--echo-interval", "0"});
  linkUp();
  auto channel = openChannel();
  ASSERT_TRUE(channel->connected);
  channel->send(paymentRequest("1200"));
  // The terminal's dial is refused while nobody listens; it tries again.
  ASSERT_TRUE(services_.listen());
  st::EnvelopeAssembler in(1u << 20);
  std::string answer;
  ASSERT_TRUE(pump([&] {
    channel->flush();
    in.push(reinterpret_cast<const unsigned char*>(channel->received.data()), channel->received.size());
    channel->received.clear();
    return channel->failed || in.next(answer) == st::EnvelopeAssembler::Status::Message;
  })) << sim_->transcript();
  EXPECT_EQ(verdict(answer), "approved");
  expectReceiptInOrder();
}

// A newer channel replaces the old one (the host reopened it): the old
// one and the services connection are closed, the terminal dials again,
// and the new channel is served.
TEST_P(SerialTerminalTest, NewerChannelReplacesTheOldOne) {
  start({"--echo-interval", "0"});
  ASSERT_TRUE(services_.listen());
  linkUp();
  auto first = openChannel();
  EXPECT_EQ(pay(*first, "100"), "approved");
  auto second = openChannel();
  EXPECT_EQ(pay(*second, "200"), "approved");
  EXPECT_TRUE(pump([&] { return first->remoteClosed || first->failed; }));
  EXPECT_EQ(services_.connections(), 2u);
  ASSERT_TRUE(sim_->waitEvent("DISCONNECTED")) << sim_->transcript();
  ASSERT_TRUE(sim_->waitEvent("CONNECTED channel")) << sim_->transcript();
  std::string line;
  ASSERT_TRUE(sim_->waitEvent("TRANSACTION ", &line));
  EXPECT_EQ(line, "TRANSACTION 00000200 APPROVED");
}

// The terminal reboots: its connections go with the link; once the host
// brings the link up again the terminal dials anew and pays again.
TEST_P(SerialTerminalTest, TerminalRestartThenServedAgain) {
  start({"--echo-interval", "0"});
  ASSERT_TRUE(services_.listen());
  linkUp();
  auto channel = openChannel();
  EXPECT_EQ(pay(*channel, "300"), "approved");
  sim_->command("restart");
  ASSERT_TRUE(sim_->waitEvent("PPP-DOWN")) << sim_->transcript();
  ASSERT_TRUE(sim_->waitEvent("DISCONNECTED")) << sim_->transcript();
  channel->abort();
  channel.reset();
  linkUp();
  ASSERT_TRUE(pump([&] { return services_.connections() >= 2 && services_.latest()->connected; }));
  channel = openChannel();
  EXPECT_EQ(pay(*channel, "400"), "approved");
}

INSTANTIATE_TEST_SUITE_P(Line, SerialTerminalTest, ::testing::Values("", "11520"),
                         [](const auto& info) { return *info.param ? std::string("Paced") : std::string("Unpaced"); });

}  // namespace
}  // namespace simtest
