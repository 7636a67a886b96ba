// The simulator as a POS developer (or the link tests) use it: a child
// process with a pty, driven with raw bytes and hand-made PPP frames.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "sim/sim_harness.h"

namespace simtest {
namespace {

constexpr uint16_t kLcp = 0xc021;
constexpr uint8_t kConfReq = 1;
constexpr uint8_t kConfAck = 2;

// LCP Configure-Request: MRU 1500 and a magic number.
Bytes lcpConfigureRequest(uint8_t id, uint32_t magic) {
  return {kConfReq, id, 0x00, 0x0e,                                  // code, id, length 14
          0x01, 0x04, 0x05, 0xdc,                                    // MRU 1500
          0x05, 0x06, static_cast<uint8_t>(magic >> 24), static_cast<uint8_t>(magic >> 16),
          static_cast<uint8_t>(magic >> 8), static_cast<uint8_t>(magic)};  // magic number
}

// Reads frames from the line until pred matches one or the deadline passes.
template <typename Pred>
bool readFrameUntil(HostLine& host, FrameDecoder& dec, Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + kDeadline;
  size_t checked = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    for (; checked < dec.frames.size(); ++checked) {
      if (pred(dec.frames[checked])) return true;
    }
    dec.feed(host.readOnce(milliseconds(200)));
  }
  return false;
}

class SimulatorTest : public ::testing::Test {
 protected:
  std::string link() const { return dir_.file("terminal"); }

  std::unique_ptr<SimProcess> start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--link", link()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<SimProcess>(args);
    std::string ready;
    EXPECT_TRUE(sim->waitEvent("READY ", &ready)) << sim->transcript();
    return sim;
  }

  // Host side of the handshake; returns every read until the answer.
  void handshake(SimProcess& sim, HostLine& host) {
    host.write("CLIENT");
    auto reads = host.readUntil("CLIENTSERVER");
    Bytes all;
    for (auto& r : reads) all.insert(all.end(), r.begin(), r.end());
    ASSERT_TRUE(contains(all, "CLIENTSERVER")) << toString(all);
    ASSERT_TRUE(sim.waitEvent("HANDSHAKE")) << sim.transcript();
  }

  TempDir dir_;
};

TEST_F(SimulatorTest, AnswersClientSplitAndAfterNoiseOnlyOnce) {
  auto sim = start();
  HostLine host(link());
  ASSERT_TRUE(host.isOpen());
  // Text that is not the request must not be answered: the first bytes the
  // host ever reads are the answer to the real request that follows.
  host.write(std::string("\x01%client CLIEN\r\n", 16));
  host.write("xx\x13\x11 CLIENTSE");  // "CLIENT" split...
  host.write("RVER");                 // ...is found across reads
  auto reads = host.readUntil("CLIENTSERVER");
  Bytes all;
  for (auto& r : reads) all.insert(all.end(), r.begin(), r.end());
  EXPECT_EQ(toString(all), "CLIENTSERVER");
  EXPECT_TRUE(sim->waitEvent("HANDSHAKE")) << sim->transcript();
}

TEST_F(SimulatorTest, HandMadeLcpRequestIsAcknowledgedByLwip) {
  auto sim = start({"--silent"});
  HostLine host(link());
  ASSERT_TRUE(host.isOpen());
  handshake(*sim, host);
  Bytes request = lcpConfigureRequest(0x2a, 0x11223344);
  // Split inside the frame: the terminal reassembles across reads.
  Bytes frame = encodeFrame(kLcp, request);
  host.write(Bytes(frame.begin(), frame.begin() + 7));
  host.write(Bytes(frame.begin() + 7, frame.end()));

  FrameDecoder dec;
  bool acked = readFrameUntil(host, dec, [&](const Frame& f) {
    return f.protocol == kLcp && f.information.size() >= 4 && f.information[0] == kConfAck &&
           f.information[1] == 0x2a;
  });
  ASSERT_TRUE(acked) << "frames seen: " << dec.frames.size() << ", bad FCS: " << dec.badFcs;
  // The acknowledgement repeats our options exactly.
  for (const Frame& f : dec.frames) {
    if (f.protocol == kLcp && f.information[0] == kConfAck) {
      Bytes expected = request;
      expected[0] = kConfAck;
      EXPECT_EQ(f.information, expected);
    }
  }
  EXPECT_EQ(dec.badFcs, 0);
  EXPECT_TRUE(sim->waitEvent("LCP-RX")) << sim->transcript();
}

TEST_F(SimulatorTest, FrameWithBadFcsIsNotParsed) {
  auto sim = start();
  HostLine host(link());
  handshake(*sim, host);
  Bytes bad = encodeFrame(kLcp, lcpConfigureRequest(0x07, 0x01020304));
  bad[bad.size() - 2] ^= 0x01;  // corrupt the FCS (last byte before the flag)
  host.write(bad);
  host.write(encodeFrame(kLcp, lcpConfigureRequest(0x08, 0x01020304)));
  FrameDecoder dec;
  bool acked = readFrameUntil(host, dec, [](const Frame& f) {
    return f.protocol == kLcp && f.information.size() >= 2 && f.information[0] == kConfAck;
  });
  ASSERT_TRUE(acked);
  // Only the intact request (id 8) was answered.
  for (const Frame& f : dec.frames) {
    if (f.protocol == kLcp && f.information[0] == kConfAck) {
      EXPECT_EQ(f.information[1], 0x08);
    }
  }
}

TEST_F(SimulatorTest, ActiveTerminalSendsItsOwnRequestFirst) {
  auto sim = start({"--active"});
  HostLine host(link());
  handshake(*sim, host);
  FrameDecoder dec;
  bool request = readFrameUntil(host, dec, [](const Frame& f) {
    return f.protocol == kLcp && !f.information.empty() && f.information[0] == kConfReq;
  });
  EXPECT_TRUE(request) << "frames seen: " << dec.frames.size();
}

TEST_F(SimulatorTest, RestartSendsExactlyClientInOneReadAndEndsPpp) {
  // A slow line keeps lwIP's frames queued: the restart must drop them.
  auto sim = start({"--pace", "300"});
  HostLine host(link());
  handshake(*sim, host);
  host.write(encodeFrame(kLcp, lcpConfigureRequest(0x01, 0x55667788)));
  ASSERT_TRUE(sim->waitEvent("LCP-RX")) << sim->transcript();
  // The host reads nothing meanwhile: lwIP's answers pile up unread.
  sim->command("restart");
  ASSERT_TRUE(sim->waitEvent("PPP-DOWN")) << sim->transcript();
  // Everything the host reads from now on is the one "CLIENT", in one read:
  // the rebooted terminal lost the frames it had not sent yet.
  auto reads = host.readUntil("CLIENT");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(toString(reads[0]), "CLIENT");
  // A freshly booted terminal answers the next handshake.
  handshake(*sim, host);
}

TEST_F(SimulatorTest, RepeatedRequestBeforeLcpIsAnsweredAgain) {
  // A host that missed the answer repeats "CLIENT"; before any PPP frame
  // arrived, text holding it is a request even when not read alone.
  auto sim = start();
  HostLine host(link());
  handshake(*sim, host);
  host.write("CLIENTCLIENT");
  ASSERT_TRUE(sim->waitEvent("PPP-DOWN")) << sim->transcript();
  ASSERT_TRUE(sim->waitEvent("HANDSHAKE")) << sim->transcript();
  auto reads = host.readUntil("CLIENTSERVER");
  Bytes all;
  for (auto& r : reads) all.insert(all.end(), r.begin(), r.end());
  EXPECT_EQ(toString(all), "CLIENTSERVER");
}

TEST_F(SimulatorTest, HostRestartDuringPppIsAnsweredWithANewHandshake) {
  auto sim = start();
  HostLine host(link());
  handshake(*sim, host);
  host.write(encodeFrame(kLcp, lcpConfigureRequest(0x01, 0x0a0b0c0d)));
  ASSERT_TRUE(sim->waitEvent("LCP-RX")) << sim->transcript();
  // "CLIENT" inside a frame is data, not a request: an unknown option
  // carrying it is rejected like any other.
  Bytes request{kConfReq, 0x03, 0x00, 0x0c, 0x99, 0x08, 'C', 'L', 'I', 'E', 'N', 'T'};
  host.write(encodeFrame(kLcp, request));
  FrameDecoder dec;
  ASSERT_TRUE(readFrameUntil(host, dec, [](const Frame& f) {
    return f.protocol == kLcp && f.information.size() >= 2 && f.information[0] == 4 /* Configure-Reject */ &&
           f.information[1] == 0x03;
  }));
  // Exactly "CLIENT" in one read is a restarted host.
  host.write("CLIENT");
  ASSERT_TRUE(sim->waitEvent("PPP-DOWN")) << sim->transcript();
  ASSERT_TRUE(sim->waitEvent("HANDSHAKE")) << sim->transcript();
  auto reads = host.readUntil("CLIENTSERVER");
  Bytes all;
  for (auto& r : reads) all.insert(all.end(), r.begin(), r.end());
  EXPECT_TRUE(contains(all, "CLIENTSERVER"));
  // The new session takes LCP again.
  host.write(encodeFrame(kLcp, lcpConfigureRequest(0x02, 0x0a0b0c0d)));
  EXPECT_TRUE(sim->waitEvent("LCP-RX")) << sim->transcript();
}

TEST_F(SimulatorTest, UnplugHangsUpAndRemovesTheLinkPlugBringsItBack) {
  auto sim = start();
  std::string firstTarget(4096, '\0');
  ASSERT_GT(readlink(link().c_str(), firstTarget.data(), firstTarget.size()), 0);
  {
    HostLine host(link());
    handshake(*sim, host);
    sim->command("unplug");
    ASSERT_TRUE(sim->waitEvent("UNPLUGGED")) << sim->transcript();
    bool eof = false;
    for (int i = 0; i < 20 && !eof; ++i) host.readOnce(milliseconds(500), &eof);
    EXPECT_TRUE(eof) << "the host must see the line hang up";
    struct stat st {};
    EXPECT_NE(lstat(link().c_str(), &st), 0) << "the device path must vanish";
  }
  sim->command("plug");
  std::string ready;
  ASSERT_TRUE(sim->waitEvent("READY ", &ready)) << sim->transcript();
  char target[4096] = {};
  ASSERT_GT(readlink(link().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(ready, std::string("READY ") + target);
  HostLine again(link());
  ASSERT_TRUE(again.isOpen());
  handshake(*sim, again);
}

TEST_F(SimulatorTest, QuitAndSignalsRemoveTheLinkAndSayBye) {
  struct Case {
    const char* name;
    int how;  // 0 quit command, 1 end of stdin, else a signal
  };
  const Case cases[] = {{"quit", 0}, {"end of stdin", 1}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto sim = start();
    if (c.how == 0) sim->command("quit");
    else if (c.how == 1) sim->closeStdin();
    else sim->signal(c.how);
    EXPECT_TRUE(sim->waitEvent("BYE")) << sim->transcript();
    int status = sim->waitExit();
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st {};
    EXPECT_NE(lstat(link().c_str(), &st), 0);
  }
}

TEST_F(SimulatorTest, RefusesBadOptionsWithAClearMessage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--pace", "0"},        {"--pace", "fast"},  {"--echo-port", "70000"}, {"--echo-port", "-1"},
      {"--pap", "nocolon"},   {"--pap", ":pass"},  {"--retry-time", "0"},    {"--frobnicate"},
      {"stray-argument"},     {"--link"},
      {"--drop-every", "0"},  {"--drop-rx-every", "x"}, {"--drop-next", "both:syn"}, {"--drop-next", "rx:SYN"},
      {"--drop-next", "rx"},  {"--tun", ""},       {"--tun", "some-ns", "--echo-port", "7"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    SimProcess sim(args);
    int status = sim.waitExit();
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
  }
}

TEST_F(SimulatorTest, EchoPortUsedTwiceIsAStartFailure) {
  SimProcess sim({"--link", link(), "--echo-port", "7", "--echo-port", "7"});
  int status = sim.waitExit();
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  struct stat st {};
  EXPECT_NE(lstat(link().c_str(), &st), 0) << "no link is left behind";
}

TEST_F(SimulatorTest, NeverReplacesARegularFileWithTheLink) {
  {
    std::ofstream f(link());
    f << "precious";
  }
  SimProcess sim({"--link", link()});
  int status = sim.waitExit();
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  std::ifstream f(link());
  std::string content;
  f >> content;
  EXPECT_EQ(content, "precious");
}

TEST_F(SimulatorTest, KeepsServingWhileNoHostHasTheLineOpen) {
  // The active terminal keeps retrying its LCP request with nobody reading;
  // a host arriving later still gets a prompt handshake.
  auto sim = start({"--active", "--retry-time", "1"});
  {
    HostLine first(link());
    handshake(*sim, first);
  }  // the host closes the device and goes away for a while
  HostLine later(link());
  ASSERT_TRUE(later.isOpen());
  later.write("CLIENT");
  auto reads = later.readUntil("CLIENTSERVER");
  Bytes all;
  for (auto& r : reads) all.insert(all.end(), r.begin(), r.end());
  EXPECT_TRUE(contains(all, "CLIENTSERVER"));
}

}  // namespace
}  // namespace simtest
