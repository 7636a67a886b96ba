// The host side played by lwIP inside a test or benchmark process: a PPP
// client over a HostLine and a small TCP client, both pumped by the calling
// thread (lwIP runs without an OS layer; one client at a time per process).
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "sim/sim_harness.h"

extern "C" {
#include "lwip/init.h"
#include "lwip/ip4_addr.h"
#include "lwip/netif.h"
#include "lwip/tcp.h"
#include "lwip/timeouts.h"
#include "netif/ppp/ppp.h"
#include "netif/ppp/pppos.h"
// Ends a session at once (lwIP's carrier-lost path), so no timer survives.
void link_terminated(ppp_pcb* pcb);
}

namespace simtest {

class LwipClient {
 public:
  explicit LwipClient(HostLine& line, const char* user = nullptr, const char* password = nullptr) : line_(line) {
    static bool initialised = false;
    if (!initialised) {
      lwip_init();
      initialised = true;
    }
    pcb_ = pppos_create(&netif_, &LwipClient::output, &LwipClient::status, this);
    if (user != nullptr) {
      ppp_set_auth(pcb_, PPPAUTHTYPE_PAP, user, password);
    }
    netif_set_default(&netif_);
  }

  ~LwipClient() {
    if (pcb_->phase != PPP_PHASE_DEAD) {
      link_terminated(pcb_);
    }
    ppp_free(pcb_);
  }

  LwipClient(const LwipClient&) = delete;
  LwipClient& operator=(const LwipClient&) = delete;

  bool connect() { return ppp_connect(pcb_, 0) == ERR_OK; }

  // Feeds the line into lwIP and runs its timers until done() or timeout.
  bool runUntil(const std::function<bool()>& done, milliseconds timeout = kDeadline) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pollfd p{line_.fd(), POLLIN, 0};
      poll(&p, 1, 10);
      if (p.revents & POLLIN) {
        uint8_t buf[4096];
        ssize_t n = ::read(line_.fd(), buf, sizeof buf);
        if (n > 0) pppos_input(pcb_, buf, static_cast<int>(n));
      }
      sys_check_timeouts();
    }
    return true;
  }

  bool up = false;
  bool ended = false;
  int lastError = PPPERR_NONE;
  struct netif netif_ {};

 private:
  static u32_t output(ppp_pcb*, u8_t* data, u32_t len, void* ctx) {
    static_cast<LwipClient*>(ctx)->line_.write(Bytes(data, data + len));
    return len;
  }
  static void status(ppp_pcb*, int err, void* ctx) {
    auto* self = static_cast<LwipClient*>(ctx);
    self->lastError = err;
    self->up = err == PPPERR_NONE;
    if (err != PPPERR_NONE) self->ended = true;
  }

  HostLine& line_;
  ppp_pcb* pcb_ = nullptr;
};

// A TCP connection to the terminal (1.1.1.2) that sends a buffer and
// collects what comes back.
class TcpExchange {
 public:
  ~TcpExchange() { close(); }

  bool open(LwipClient& client, uint16_t port) {
    pcb_ = tcp_new();
    tcp_arg(pcb_, this);
    tcp_recv(pcb_, &TcpExchange::onRecv);
    tcp_err(pcb_, &TcpExchange::onError);
    ip4_addr_t terminal;
    IP4_ADDR(&terminal, 1, 1, 1, 2);
    if (tcp_connect(pcb_, &terminal, port, &TcpExchange::onConnected) != ERR_OK) return false;
    return client.runUntil([&] { return connected || failed; }) && connected;
  }

  // Sends data and pumps until `expect` bytes came back (or failure).
  bool exchange(LwipClient& client, const std::string& data, size_t expect, milliseconds timeout) {
    size_t sent = 0;
    return client.runUntil(
               [&] {
                 while (!failed && sent < data.size() && tcp_sndbuf(pcb_) > 0) {
                   size_t n = std::min<size_t>(tcp_sndbuf(pcb_), data.size() - sent);
                   if (tcp_write(pcb_, data.data() + sent, static_cast<u16_t>(n), TCP_WRITE_FLAG_COPY) != ERR_OK) {
                     break;
                   }
                   sent += n;
                   tcp_output(pcb_);
                 }
                 return failed || received.size() >= expect;
               },
               timeout) &&
           !failed;
  }

  void close() {
    if (pcb_ != nullptr && !failed) {
      tcp_arg(pcb_, nullptr);
      tcp_recv(pcb_, nullptr);
      tcp_err(pcb_, nullptr);
      tcp_abort(pcb_);
    }
    pcb_ = nullptr;
  }

  std::string received;
  bool connected = false;
  bool failed = false;

 private:
  static err_t onConnected(void* arg, tcp_pcb*, err_t err) {
    static_cast<TcpExchange*>(arg)->connected = err == ERR_OK;
    return ERR_OK;
  }
  static err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
    auto* self = static_cast<TcpExchange*>(arg);
    if (p == nullptr) return ERR_OK;
    size_t old = self->received.size();
    self->received.resize(old + p->tot_len);
    pbuf_copy_partial(p, self->received.data() + old, p->tot_len, 0);
    tcp_recved(pcb, p->tot_len);
    pbuf_free(p);
    return ERR_OK;
  }
  static void onError(void* arg, err_t) {
    auto* self = static_cast<TcpExchange*>(arg);
    self->failed = true;
    self->pcb_ = nullptr;  // lwIP freed it
  }

  tcp_pcb* pcb_ = nullptr;
};

}  // namespace simtest
