// The simulated terminal's PPP server and TCP/IP stack: lwIP's PPP over
// serial in server mode (it assigns the host 1.1.1.1 and is 1.1.1.2),
// optionally requiring PAP.
//
// Transport-free: serial bytes come in through input(), bytes for the line
// leave through the Output callback, and session changes are reported to
// PppServer::Events. IP datagrams go to lwIP's own IP layer (and so to the
// TCP servers of echo.h); a mode that forwards them elsewhere installs
// lwIP's IPv4 input hook (ryn_lwip_set_ip4_input_hook) and sends through
// netif()->output.
//
// Threading: lwIP runs without an OS layer, so every call here and every
// lwIP call anywhere in the program must come from the one event-loop
// thread. Only one PppServer may exist at a time (lwIP's trace sink is
// global).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct netif;
struct ppp_pcb_s;

namespace spmsim {

class PppServer {
 public:
  struct Config {
    bool active = false;       // send our LCP request first (else wait)
    std::string papUser;       // empty: no authentication
    std::string papPassword;
    int retrySeconds = 3;      // restart timer of the negotiation
    bool trace = false;        // pppd-style trace on stderr
  };

  class Events {
   public:
    virtual ~Events() = default;
    // The first LCP packet of the session was received and parsed.
    virtual void onLcpReceived() = 0;
    // IPCP is up; addresses in dotted form (terminal, host).
    virtual void onUp(const std::string& ours, const std::string& his) = 0;
    // The session ended (lwIP's PPPERR_* code).
    virtual void onDown(int reason) = 0;
  };

  using Output = std::function<void(const uint8_t* data, size_t len)>;

  PppServer(Config config, Output output, Events& events);
  ~PppServer();
  PppServer(const PppServer&) = delete;
  PppServer& operator=(const PppServer&) = delete;

  // Starts a session: waits for the host's LCP request (silent) or sends
  // ours first (active). REQUIRES: !running().
  bool listen();
  // Ends the session at once, as if the carrier was lost: no Terminate
  // exchange, every PPP timer of the session cancelled; onDown is reported.
  void hangup();
  // Serial bytes from the host.
  void input(const uint8_t* data, size_t len);
  // lwIP's timers; call at least every timerWaitMs() milliseconds.
  static void runTimers();
  static int timerWaitMs();  // -1: no timer pending

  bool running() const;
  bool up() const { return up_; }
  struct netif* netif() { return netif_; }

 private:
  static void statusCallback(ppp_pcb_s* pcb, int err, void* ctx);
  static uint32_t outputCallback(ppp_pcb_s* pcb, uint8_t* data, uint32_t len, void* ctx);
  static void traceSink(const char* line, void* ctx);
  void updateTraceSwitch();

  Config config_;
  Output output_;
  Events& events_;
  struct netif* netif_;
  ppp_pcb_s* pcb_ = nullptr;
  bool listening_ = false;
  bool lcpSeen_ = false;
  bool up_ = false;
};

// Initialises lwIP once per process (safe to call again).
void initLwip();

}  // namespace spmsim
