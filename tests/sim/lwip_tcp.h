// TCP on the host side's lwIP (see lwip_client.h) for tests against a
// terminal: a connection that sends a buffer as the window allows, collects
// what arrives, and can half-close; a server built from the same
// connections. Everything is pumped by LwipClient::runUntil on the test's
// thread (lwIP runs without an OS layer).
#pragma once

#include <algorithm>
#include <list>
#include <memory>
#include <string>

#include "sim/lwip_client.h"

namespace simtest {

class LwipTcp {
 public:
  LwipTcp() = default;
  ~LwipTcp() { abort(); }
  LwipTcp(const LwipTcp&) = delete;
  LwipTcp& operator=(const LwipTcp&) = delete;

  // Active open to a.b.c.d:port; completes while the client is pumped.
  bool connect(const ip4_addr_t& to, uint16_t port) {
    pcb_ = tcp_new();
    if (pcb_ == nullptr) return false;
    attach(pcb_);
    return tcp_connect(pcb_, &to, port, &LwipTcp::onConnected) == ERR_OK;
  }

  // Queues bytes; they go out as lwIP's send buffer frees up (flush()).
  void send(const std::string& data) {
    pending_ += data;
    flush();
  }
  // FIN after the queued bytes.
  void shutdownWrite() {
    finWanted_ = true;
    flush();
  }
  // Moves queued bytes into lwIP; call from the pump predicate.
  void flush() {
    if (pcb_ == nullptr || !connected) return;
    bool wrote = false;
    while (sentUpTo_ < pending_.size() && tcp_sndbuf(pcb_) > 0) {
      size_t n = std::min<size_t>({tcp_sndbuf(pcb_), pending_.size() - sentUpTo_, 0xffff});
      if (tcp_write(pcb_, pending_.data() + sentUpTo_, static_cast<u16_t>(n), TCP_WRITE_FLAG_COPY) != ERR_OK) break;
      sentUpTo_ += n;
      wrote = true;
    }
    if (sentUpTo_ == pending_.size() && sentUpTo_ > 0) {
      pending_.clear();
      sentUpTo_ = 0;
    }
    if (finWanted_ && !finSent_ && pending_.empty() && tcp_shutdown(pcb_, 0, 1) == ERR_OK) {
      finSent_ = true;
      wrote = true;
    }
    if (wrote) tcp_output(pcb_);
  }
  void abort() {
    if (pcb_ != nullptr) {
      detach();
      tcp_abort(pcb_);
      pcb_ = nullptr;
    }
  }

  std::string received;
  bool connected = false;
  bool remoteClosed = false;  // the peer's FIN arrived
  bool failed = false;        // reset or aborted by lwIP
  bool closed = false;        // closed in order and retired by lwIP
  bool echo = false;          // send back whatever arrives (server side)

 private:
  friend class LwipServer;

  void attach(tcp_pcb* pcb) {
    pcb_ = pcb;
    tcp_arg(pcb, this);
    tcp_recv(pcb, &LwipTcp::onRecv);
    tcp_sent(pcb, &LwipTcp::onSent);
    tcp_err(pcb, &LwipTcp::onError);
    tcp_nagle_disable(pcb);
  }
  void detach() {
    tcp_arg(pcb_, nullptr);
    tcp_recv(pcb_, nullptr);
    tcp_sent(pcb_, nullptr);
    tcp_err(pcb_, nullptr);
  }

  static err_t onConnected(void* arg, tcp_pcb*, err_t err) {
    auto* self = static_cast<LwipTcp*>(arg);
    self->connected = err == ERR_OK;
    self->flush();
    return ERR_OK;
  }
  static err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
    auto* self = static_cast<LwipTcp*>(arg);
    if (p == nullptr) {
      self->remoteClosed = true;
      if (self->echo) self->shutdownWrite();
      return ERR_OK;
    }
    std::string piece(p->tot_len, '\0');
    pbuf_copy_partial(p, piece.data(), p->tot_len, 0);
    tcp_recved(pcb, p->tot_len);
    pbuf_free(p);
    self->received += piece;
    if (self->echo) self->send(piece);
    return ERR_OK;
  }
  static err_t onSent(void* arg, tcp_pcb*, u16_t) {
    static_cast<LwipTcp*>(arg)->flush();
    return ERR_OK;
  }
  static void onError(void* arg, err_t err) {
    auto* self = static_cast<LwipTcp*>(arg);
    // ERR_CLSD: both sides closed and lwIP retired the connection.
    if (err == ERR_CLSD) {
      self->closed = true;
    } else {
      self->failed = true;
    }
    self->pcb_ = nullptr;  // lwIP freed it
  }

  tcp_pcb* pcb_ = nullptr;
  std::string pending_;
  size_t sentUpTo_ = 0;
  bool finWanted_ = false;
  bool finSent_ = false;
};

// Accepts connections on a port: echoes each (and half-closes after the
// peer did), or with echo off only collects what arrives.
class LwipServer {
 public:
  explicit LwipServer(bool echoes = true) : echo_(echoes) {}
  ~LwipServer() {
    connections.clear();
    if (listener_ != nullptr) tcp_close(listener_);
  }

  bool listen(uint16_t port) {
    tcp_pcb* pcb = tcp_new();
    if (pcb == nullptr || tcp_bind(pcb, IP4_ADDR_ANY, port) != ERR_OK) return false;
    listener_ = tcp_listen(pcb);
    if (listener_ == nullptr) return false;
    tcp_arg(listener_, this);
    tcp_accept(listener_, &LwipServer::onAccept);
    return true;
  }

  std::list<std::unique_ptr<LwipTcp>> connections;

 private:
  static err_t onAccept(void* arg, tcp_pcb* pcb, err_t err) {
    if (err != ERR_OK || pcb == nullptr) return ERR_VAL;
    auto* self = static_cast<LwipServer*>(arg);
    auto conn = std::make_unique<LwipTcp>();
    conn->echo = self->echo_;
    conn->connected = true;
    conn->attach(pcb);
    self->connections.push_back(std::move(conn));
    return ERR_OK;
  }

  bool echo_;
  tcp_pcb* listener_ = nullptr;
};

}  // namespace simtest
