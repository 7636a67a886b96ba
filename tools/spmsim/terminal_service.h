// The simulated terminal's payment application behind PPP (spmsim
// --terminal): the terminal logic of tools/terminal served over lwIP's TCP.
//
// Two connections make one session, as with a real terminal on a serial
// link:
// - the channel: the host connects to our port 5188 (its bridge carries
//   its local 127.0.0.1:5188 there) and sends its requests (payments);
// - the services connection: we dial the host's link address 1.1.1.1 port
//   5186 (the host bridges it to its service server) to have receipts
//   printed and to send echoes.
// We dial as soon as PPP is up, and again after a pause whenever the
// connection fails or the session ends. A channel accepted before the
// services connection is up waits (its bytes stay queued) until it is. A
// session ends when either connection closes or fails, when the terminal
// gives up on the host, or when a newer channel arrives: both connections
// are then closed (the newer channel is kept) and the services connection
// is dialled again. Events go out as lines: CONNECTED channel, CONNECTED
// services, DISCONNECTED, and the terminal logic's own (TRANSACTION ...,
// RECEIPT ..., ECHO-ANSWERED).
//
// Threading: lwIP runs without an OS layer on the simulator's event-loop
// thread, and so does everything here. lwIP's callbacks only record what
// happened (bytes, connects, closes); reading, writing, closing and
// dialling happen in poll(), which the loop calls outside lwIP. Time is
// passed in (milliseconds, any monotonic origin).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/terminal/terminal.h"

struct netif;
struct tcp_pcb;

namespace spmsim {

class LwipStream;

class TerminalService {
 public:
  struct Options {
    simterm::Terminal::Config terminal;
    uint16_t channelPort = 5188;
    uint8_t hostAddress[4] = {1, 1, 1, 1};
    uint16_t servicesPort = 5186;
    uint32_t firstRedialMs = 500;   // pause after a failed dial, doubled up to maxRedialMs
    uint32_t maxRedialMs = 5000;
    uint32_t connectTimeoutMs = 10000;
  };

  using Sink = std::function<void(const std::string& line)>;

  // link: the PPP interface; the service works while it is up with an
  // address. events: event lines (stdout); notes: diagnostics (stderr).
  TerminalService(Options options, struct netif* link, Sink events, Sink notes);
  ~TerminalService();
  TerminalService(const TerminalService&) = delete;
  TerminalService& operator=(const TerminalService&) = delete;

  // Listens on the channel port; false with a reason.
  bool start(std::string* error);
  // Everything due now: follows the link, dials, accepts, runs the session.
  // Call after lwIP had its input and timers, outside any lwIP callback.
  void poll(uint64_t nowMs);
  // Milliseconds until poll() has timed work; -1 for none.
  int waitMs(uint64_t nowMs) const;
  // Resets every connection (the terminal lost its link).
  void abortAll();

  bool inSession() const { return session_ != nullptr; }

  // Called from lwIP's accept callback only.
  void accepted(std::unique_ptr<LwipStream> stream);

 private:
  bool linkUp() const;
  void dial(uint64_t now);
  void endSession(const std::string& reason, uint64_t now);
  void dropServices(uint64_t now);
  void scheduleRedial(uint64_t now);
  // DISCONNECTED once nothing announced is left.
  void settle();

  Options options_;
  struct netif* link_;
  Sink events_;
  Sink notes_;
  tcp_pcb* listener_ = nullptr;
  bool wasUp_ = false;
  bool announced_ = false;  // a CONNECTED since the last DISCONNECTED
  bool servicesAnnounced_ = false;
  std::vector<std::unique_ptr<LwipStream>> incoming_;  // accepted, not yet looked at
  std::unique_ptr<LwipStream> channel_;
  std::unique_ptr<LwipStream> services_;
  uint64_t dialDeadline_ = 0;
  uint64_t redialAt_ = 0;
  uint32_t redialMs_ = 0;
  struct Running;
  std::unique_ptr<Running> session_;
};

}  // namespace spmsim
