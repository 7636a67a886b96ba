// The simulated payment terminal's behaviour on its serial line, apart from
// any transport: answer the host's "CLIENT" with "CLIENTSERVER", then run a
// PPP server session (ppp_server.h) with TCP services (echo.h) behind it;
// simulate a reboot (send exactly "CLIENT") or a pulled cable on request.
//
// Bytes from the line come in through received(); bytes for the line go to
// the Line interface; milestones are reported as event lines ("HANDSHAKE",
// "LCP-RX", "PPP-UP <terminal> <host>", "PPP-DOWN").
//
// Threading: one thread (the event loop) calls everything, including
// lwIP. Owns its PppServer and EchoServers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/spmsim/apps.h"
#include "tools/spmsim/echo.h"
#include "tools/spmsim/handshake.h"
#include "tools/spmsim/ppp_server.h"

namespace spmsim {

class Terminal : private PppServer::Events {
 public:
  class Line {
   public:
    virtual ~Line() = default;
    virtual void send(const uint8_t* data, size_t len) = 0;
    // Sent in one piece: the host must read it in one read.
    virtual void sendAtomic(const uint8_t* data, size_t len) = 0;
    // Forgets everything sent but not yet read by the host.
    virtual void discardPending() = 0;
  };

  struct Options {
    PppServer::Config ppp;
    std::vector<uint16_t> echoPorts;
    std::vector<uint16_t> sinkPorts;
    std::vector<uint16_t> sourcePorts;
  };

  using EventOut = std::function<void(const std::string& line)>;

  Terminal(Options options, Line& line, EventOut events);
  ~Terminal() override;

  // Opens the TCP services; false with a reason when one cannot listen.
  bool start(std::string* error);

  // Bytes the host sent.
  void received(const uint8_t* data, size_t len);
  // The terminal reboots: its queued output is lost, PPP ends without a
  // goodbye, and it announces itself with exactly "CLIENT".
  void restart();
  // The cable is gone (or back): the terminal forgets its session.
  void lineLost();

  void runTimers();
  int timerWaitMs() const;

  bool inSession() const { return inSession_; }
  // The PPP link's network interface (for the datagram path of TUN mode).
  struct netif* pppNetif() { return ppp_->netif(); }
  // The test applications (sink, source, connect; see apps.h).
  TcpApps& apps() { return apps_; }

 private:
  void onLcpReceived() override;
  void onUp(const std::string& ours, const std::string& his) override;
  void onDown(int reason) override;

  void answerHandshake();
  void endSession();
  void abortConnectionsIfDue();

  Options options_;
  Line& line_;
  EventOut events_;
  std::unique_ptr<PppServer> ppp_;
  EchoServers echo_;
  TcpApps apps_;
  HandshakeScanner scanner_;
  bool inSession_ = false;
  bool lcpSeen_ = false;
  bool abortDue_ = false;
};

}  // namespace spmsim
