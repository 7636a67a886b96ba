#include "tools/spmsim/ppp_server.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include "lwip/init.h"
#include "lwip/ip4_addr.h"
#include "lwip/netif.h"
#include "lwip/timeouts.h"
#include "netif/ppp/ppp.h"
#include "netif/ppp/pppos.h"
#include "ryn_lwip_port.h"
// Ends a session without the Terminate exchange (lwIP's carrier-lost path).
void link_terminated(ppp_pcb* pcb);
}

namespace spmsim {

namespace {
// Addresses of the serial link: the terminal is 1.1.1.2 and hands the host
// 1.1.1.1; IPCP carries no netmask, so the /30 is set locally.
constexpr uint8_t kOurAddr[4] = {1, 1, 1, 2};
constexpr uint8_t kHisAddr[4] = {1, 1, 1, 1};
constexpr uint8_t kNetmask[4] = {255, 255, 255, 252};
// The trace line lwIP prints when it decoded a received LCP packet.
constexpr const char kLcpReceivedTrace[] = "rcvd [LCP ";

ip4_addr_t toAddr(const uint8_t (&a)[4]) {
  ip4_addr_t addr;
  IP4_ADDR(&addr, a[0], a[1], a[2], a[3]);
  return addr;
}
}  // namespace

void initLwip() {
  static bool done = false;
  if (!done) {
    lwip_init();
    done = true;
  }
}

PppServer::PppServer(Config config, Output output, Events& events)
    : config_(std::move(config)), output_(std::move(output)), events_(events), netif_(new ::netif()) {
  initLwip();
  pcb_ = pppos_create(netif_, &PppServer::outputCallback, &PppServer::statusCallback, this);
  if (pcb_ == nullptr) {
    std::fprintf(stderr, "spmsim: lwIP could not create the PPP interface\n");
    std::abort();
  }
  ip4_addr_t ours = toAddr(kOurAddr);
  ip4_addr_t his = toAddr(kHisAddr);
  ppp_set_ipcp_ouraddr(pcb_, &ours);
  ppp_set_ipcp_hisaddr(pcb_, &his);
  if (!config_.papUser.empty()) {
    // lwIP keeps the pointers: config_ owns the strings for our lifetime.
    ppp_set_auth(pcb_, PPPAUTHTYPE_PAP, config_.papUser.c_str(), config_.papPassword.c_str());
    ppp_set_auth_required(pcb_, 1);
  }
  ppp_set_silent(pcb_, config_.active ? 0 : 1);
  pcb_->settings.fsm_timeout_time = static_cast<u8_t>(config_.retrySeconds);
  netif_set_default(netif_);
  ryn_lwip_set_trace_sink(&PppServer::traceSink, this);
  updateTraceSwitch();
}

PppServer::~PppServer() {
  hangup();
  ppp_free(pcb_);
  ryn_lwip_set_trace_sink(nullptr, nullptr);
  ryn_lwip_set_trace_enabled(0);
  delete netif_;
}

bool PppServer::running() const { return pcb_->phase != PPP_PHASE_DEAD; }

bool PppServer::listen() {
  if (running()) {
    return false;
  }
  lcpSeen_ = false;
  up_ = false;
  listening_ = true;
  updateTraceSwitch();
  if (ppp_listen(pcb_) != ERR_OK) {
    listening_ = false;
    updateTraceSwitch();
    return false;
  }
  return true;
}

void PppServer::hangup() {
  if (!running()) {
    return;
  }
  pcb_->err_code = PPPERR_CONNECT;
  link_terminated(pcb_);
}

void PppServer::input(const uint8_t* data, size_t len) {
  if (!running() || len == 0) {
    return;
  }
  pppos_input(pcb_, const_cast<u8_t*>(data), static_cast<int>(len));
}

void PppServer::runTimers() { sys_check_timeouts(); }

int PppServer::timerWaitMs() {
  u32_t ms = sys_timeouts_sleeptime();
  if (ms == SYS_TIMEOUTS_SLEEPTIME_INFINITE) {
    return -1;
  }
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

void PppServer::updateTraceSwitch() {
  // Traces cost formatting, so they run only when shown or while we still
  // wait for the session's first LCP packet.
  ryn_lwip_set_trace_enabled(config_.trace || (listening_ && !lcpSeen_));
}

void PppServer::traceSink(const char* line, void* ctx) {
  auto* self = static_cast<PppServer*>(ctx);
  if (self->config_.trace) {
    std::fprintf(stderr, "%s\n", line);
  }
  if (self->listening_ && !self->lcpSeen_ &&
      std::strncmp(line, kLcpReceivedTrace, sizeof kLcpReceivedTrace - 1) == 0) {
    self->lcpSeen_ = true;
    self->updateTraceSwitch();
    self->events_.onLcpReceived();
  }
}

uint32_t PppServer::outputCallback(ppp_pcb_s*, uint8_t* data, uint32_t len, void* ctx) {
  auto* self = static_cast<PppServer*>(ctx);
  self->output_(data, len);
  return len;
}

void PppServer::statusCallback(ppp_pcb_s* pcb, int err, void* ctx) {
  auto* self = static_cast<PppServer*>(ctx);
  if (err == PPPERR_NONE) {
    ip4_addr_t mask = toAddr(kNetmask);
    netif_set_netmask(pcb->netif, &mask);
    netif_set_default(pcb->netif);
    char ours[16];
    char his[16];
    ip4addr_ntoa_r(netif_ip4_addr(pcb->netif), ours, sizeof ours);
    ip4addr_ntoa_r(netif_ip4_gw(pcb->netif), his, sizeof his);
    self->up_ = true;
    self->events_.onUp(ours, his);
    return;
  }
  bool wasListening = self->listening_;
  self->listening_ = false;
  self->up_ = false;
  self->updateTraceSwitch();
  if (wasListening) {
    self->events_.onDown(err);
  }
}

}  // namespace spmsim
