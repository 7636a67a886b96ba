#include "tools/spmsim/echo.h"

#include <algorithm>
#include <cstring>
#include <string>

extern "C" {
#include "lwip/pbuf.h"
#include "lwip/tcp.h"
}

namespace spmsim {

struct EchoServers::Connection {
  EchoServers* owner;
  tcp_pcb* pcb;
  std::string pending;  // received, not yet handed to tcp_write
  bool peerClosed = false;
};

struct EchoAccess {
  static void forget(EchoServers::Connection* c) {
    auto& list = c->owner->connections_;
    list.erase(std::remove(list.begin(), list.end(), c), list.end());
    delete c;
  }

  static void detach(EchoServers::Connection* c) {
    tcp_arg(c->pcb, nullptr);
    tcp_recv(c->pcb, nullptr);
    tcp_sent(c->pcb, nullptr);
    tcp_err(c->pcb, nullptr);
  }

  // Moves pending bytes into lwIP's send buffer and opens the receive window
  // by exactly what was moved. kClosed and kAborted: c was deleted; only
  // kAborted may be reported to lwIP as ERR_ABRT.
  enum class Flush { kOpen, kClosed, kAborted };
  static err_t result(Flush f) { return f == Flush::kAborted ? ERR_ABRT : ERR_OK; }

  static Flush flush(EchoServers::Connection* c) {
    size_t moved = 0;
    while (moved < c->pending.size()) {
      size_t room = std::min<size_t>(tcp_sndbuf(c->pcb), 0xffff);
      size_t n = std::min(room, c->pending.size() - moved);
      if (n == 0) {
        break;
      }
      err_t e = tcp_write(c->pcb, c->pending.data() + moved, static_cast<u16_t>(n), TCP_WRITE_FLAG_COPY);
      if (e == ERR_MEM) {
        break;  // retried from the sent callback
      }
      if (e != ERR_OK) {
        detach(c);
        tcp_abort(c->pcb);
        forget(c);
        return Flush::kAborted;
      }
      moved += n;
    }
    if (moved > 0) {
      c->pending.erase(0, moved);
      tcp_recved(c->pcb, static_cast<u16_t>(moved));
      tcp_output(c->pcb);
    }
    if (c->peerClosed && c->pending.empty()) {
      detach(c);
      Flush how = Flush::kClosed;
      if (tcp_close(c->pcb) != ERR_OK) {
        tcp_abort(c->pcb);
        how = Flush::kAborted;
      }
      forget(c);
      return how;
    }
    return Flush::kOpen;
  }

  static err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t err) {
    auto* c = static_cast<EchoServers::Connection*>(arg);
    if (c == nullptr) {
      if (p) pbuf_free(p);
      return ERR_OK;
    }
    if (p == nullptr || err != ERR_OK) {
      if (p) pbuf_free(p);
      c->peerClosed = true;
      return result(flush(c));
    }
    (void)pcb;
    size_t old = c->pending.size();
    c->pending.resize(old + p->tot_len);
    pbuf_copy_partial(p, c->pending.data() + old, p->tot_len, 0);
    pbuf_free(p);
    return result(flush(c));
  }

  static err_t onSent(void* arg, tcp_pcb*, u16_t) {
    auto* c = static_cast<EchoServers::Connection*>(arg);
    if (c == nullptr) {
      return ERR_OK;
    }
    return result(flush(c));
  }

  static void onError(void* arg, err_t) {
    // lwIP has already freed the pcb.
    auto* c = static_cast<EchoServers::Connection*>(arg);
    if (c != nullptr) {
      forget(c);
    }
  }

  static err_t onAccept(void* arg, tcp_pcb* pcb, err_t err) {
    auto* owner = static_cast<EchoServers*>(arg);
    if (err != ERR_OK || pcb == nullptr) {
      return ERR_VAL;
    }
    auto* c = new EchoServers::Connection{owner, pcb, {}, false};
    owner->connections_.push_back(c);
    tcp_nagle_disable(pcb);
    tcp_arg(pcb, c);
    tcp_recv(pcb, &EchoAccess::onRecv);
    tcp_sent(pcb, &EchoAccess::onSent);
    tcp_err(pcb, &EchoAccess::onError);
    return ERR_OK;
  }
};

EchoServers::~EchoServers() {
  abortAll();
  for (tcp_pcb* l : listeners_) {
    tcp_arg(l, nullptr);
    tcp_close(l);
  }
}

bool EchoServers::listen(uint16_t port, std::string* error) {
  tcp_pcb* pcb = tcp_new();
  if (pcb == nullptr) {
    *error = "out of memory";
    return false;
  }
  if (tcp_bind(pcb, IP4_ADDR_ANY, port) != ERR_OK) {
    tcp_close(pcb);
    *error = "port " + std::to_string(port) + " is already in use";
    return false;
  }
  tcp_pcb* listener = tcp_listen(pcb);
  if (listener == nullptr) {
    tcp_close(pcb);
    *error = "cannot listen on port " + std::to_string(port);
    return false;
  }
  tcp_arg(listener, this);
  tcp_accept(listener, &EchoAccess::onAccept);
  listeners_.push_back(listener);
  return true;
}

void EchoServers::abortAll() {
  std::vector<Connection*> all;
  all.swap(connections_);
  for (Connection* c : all) {
    EchoAccess::detach(c);
    tcp_abort(c->pcb);
    delete c;
  }
}

}  // namespace spmsim
