#include "tools/spmsim/apps.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/spmsim/pattern.h"

extern "C" {
#include "lwip/ip4_addr.h"
#include "lwip/pbuf.h"
#include "lwip/tcp.h"
}

namespace spmsim {

namespace {
enum Kind { kSink = 0, kSource = 1, kConnect = 2 };
enum class Mode { kFin, kHalf, kRst };
// A request line longer than this is no request.
constexpr size_t kMaxRequest = 64;

struct Listener {
  TcpApps* owner;
  Kind kind;
  uint16_t port;
};

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}
}  // namespace

struct TcpApps::Conn {
  Conn(TcpApps* o, tcp_pcb* p, Kind k, uint16_t n) : owner(o), pcb(p), kind(k), port(n) {}
  TcpApps* owner;
  tcp_pcb* pcb;
  Kind kind;
  uint16_t port;
  // Received side.
  uint64_t got = 0;
  Crc32 crc;
  uint32_t withheld = 0;  // sink: taken but not yet opened in the window
  // Sending side (source, connect).
  std::string request;
  bool requested = false;
  Mode mode = Mode::kFin;
  uint64_t total = 0;
  uint64_t written = 0;
  uint32_t seed = 0;
  bool sendDone = false;
};

struct AppsAccess {
  using Conn = TcpApps::Conn;
  // What a helper did to the connection: kAborted means lwIP must hear
  // ERR_ABRT from the callback; after kGone and kAborted c is deleted.
  enum class Fate { kOpen, kGone, kAborted };
  static err_t result(Fate f) { return f == Fate::kAborted ? ERR_ABRT : ERR_OK; }

  static void emit(Conn* c, const std::string& what) { c->owner->events_(what); }
  static std::string name(Conn* c) {
    return std::string(c->kind == kSink ? "SINK " : c->kind == kSource ? "SOURCE " : "CONNECT ") +
           std::to_string(c->port);
  }

  static void forget(Conn* c) {
    auto& list = c->owner->conns_;
    list.erase(std::remove(list.begin(), list.end(), c), list.end());
    delete c;
  }
  static void detach(tcp_pcb* pcb) {
    tcp_arg(pcb, nullptr);
    tcp_recv(pcb, nullptr);
    tcp_sent(pcb, nullptr);
    tcp_err(pcb, nullptr);
  }
  static void attach(Conn* c) {
    tcp_arg(c->pcb, c);
    tcp_recv(c->pcb, &AppsAccess::onRecv);
    tcp_sent(c->pcb, &AppsAccess::onSent);
    tcp_err(c->pcb, &AppsAccess::onError);
    tcp_nagle_disable(c->pcb);
  }
  static Fate close(Conn* c) {
    detach(c->pcb);
    Fate f = Fate::kGone;
    if (tcp_close(c->pcb) != ERR_OK) {
      tcp_abort(c->pcb);
      f = Fate::kAborted;
    }
    forget(c);
    return f;
  }
  static Fate abort(Conn* c) {
    detach(c->pcb);
    tcp_abort(c->pcb);
    forget(c);
    return Fate::kAborted;
  }

  // Moves as much of the stream into lwIP as its send buffer takes, then
  // finishes per mode once everything is written (and, for rst, acknowledged).
  static Fate pump(Conn* c) {
    uint8_t buf[8192];
    bool wrote = false;
    while (c->written < c->total) {
      size_t room = tcp_sndbuf(c->pcb);
      size_t n = static_cast<size_t>(std::min<uint64_t>({room, c->total - c->written, sizeof buf}));
      if (n == 0) break;
      fillPattern(buf, n, c->written, c->seed);
      err_t e = tcp_write(c->pcb, buf, static_cast<u16_t>(n), TCP_WRITE_FLAG_COPY);
      if (e == ERR_MEM) break;  // again from the sent callback
      if (e != ERR_OK) return abort(c);
      c->written += n;
      wrote = true;
    }
    if (c->written == c->total && !c->sendDone) {
      c->sendDone = true;
      emit(c, name(c) + " SENT " + std::to_string(c->total));
      if (c->mode == Mode::kFin) return close(c);  // the FIN joins the queued data
      if (c->mode == Mode::kHalf) {
        tcp_shutdown(c->pcb, 0, 1);
        wrote = false;  // tcp_shutdown sent it
      }
    }
    if (wrote) tcp_output(c->pcb);
    if (c->sendDone && c->mode == Mode::kRst && tcp_sndqueuelen(c->pcb) == 0) {
      emit(c, name(c) + " RESET-SENT " + std::to_string(c->total));
      return abort(c);
    }
    return Fate::kOpen;
  }

  // "<bytes> <mode> <seed>"; false when malformed.
  static bool parseRequest(Conn* c, const std::string& line) {
    char mode[8] = {};
    unsigned long long bytes = 0;
    unsigned long seed = 0;
    if (std::sscanf(line.c_str(), "%llu %7s %lu", &bytes, mode, &seed) != 3) return false;
    if (std::strcmp(mode, "fin") == 0) {
      c->mode = Mode::kFin;
    } else if (std::strcmp(mode, "half") == 0) {
      c->mode = Mode::kHalf;
    } else if (std::strcmp(mode, "rst") == 0) {
      c->mode = Mode::kRst;
    } else {
      return false;
    }
    c->total = bytes;
    c->seed = static_cast<uint32_t>(seed);
    return true;
  }

  static err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t err) {
    auto* c = static_cast<Conn*>(arg);
    if (c == nullptr) {
      if (p != nullptr) {
        tcp_recved(pcb, p->tot_len);
        pbuf_free(p);
      }
      return ERR_OK;
    }
    if (p == nullptr || err != ERR_OK) {
      if (p != nullptr) pbuf_free(p);
      // The host's FIN.
      if (c->kind == kSink || (c->kind == kSource && c->mode == Mode::kHalf && c->sendDone)) {
        std::string what = c->kind == kSink ? name(c) + " " : name(c) + " GOT ";
        emit(c, what + std::to_string(c->got) + " " + hex32(c->crc.value()));
        return result(close(c));
      }
      if (c->kind == kSource && c->mode == Mode::kRst) return ERR_OK;  // still owes the reset
      return result(close(c));
    }
    const u16_t len = p->tot_len;
    if (c->kind == kSource && !c->requested) {
      std::string piece(len, '\0');
      pbuf_copy_partial(p, piece.data(), len, 0);
      pbuf_free(p);
      tcp_recved(pcb, len);
      c->request += piece;
      size_t nl = c->request.find('\n');
      if (nl == std::string::npos) {
        if (c->request.size() > kMaxRequest) return result(abort(c));
        return ERR_OK;
      }
      // Bytes after the request line count as received data.
      std::string rest = c->request.substr(nl + 1);
      if (!parseRequest(c, c->request.substr(0, nl))) return result(abort(c));
      c->requested = true;
      c->got += rest.size();
      c->crc.update(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
      return result(pump(c));
    }
    for (pbuf* q = p; q != nullptr; q = q->next) c->crc.update(static_cast<const uint8_t*>(q->payload), q->len);
    c->got += len;
    pbuf_free(p);
    if (c->kind == kSink && c->owner->held_) {
      c->withheld += len;
    } else {
      tcp_recved(pcb, len);
    }
    return ERR_OK;
  }

  static err_t onSent(void* arg, tcp_pcb*, u16_t) {
    auto* c = static_cast<Conn*>(arg);
    if (c == nullptr || c->kind == kSink || (c->kind == kSource && !c->requested)) return ERR_OK;
    return result(pump(c));
  }

  static void onError(void* arg, err_t err) {
    auto* c = static_cast<Conn*>(arg);
    if (c == nullptr) return;  // lwIP has freed the pcb
    if (c->kind == kConnect && !c->sendDone) {
      emit(c, name(c) + " FAILED " + std::to_string(err));
    } else if (c->kind == kSink) {
      emit(c, "SINK-RESET " + std::to_string(c->port) + " " + std::to_string(c->got));
    } else {
      emit(c, name(c) + " RESET " + std::to_string(c->got));
    }
    forget(c);
  }

  static err_t onConnected(void* arg, tcp_pcb*, err_t err) {
    auto* c = static_cast<Conn*>(arg);
    if (c == nullptr) return ERR_OK;
    if (err != ERR_OK) return ERR_OK;  // onError follows
    c->requested = true;
    return result(pump(c));
  }

  static err_t onAccept(void* arg, tcp_pcb* pcb, err_t err) {
    auto* l = static_cast<Listener*>(arg);
    if (l == nullptr || err != ERR_OK || pcb == nullptr) return ERR_VAL;
    auto* c = new Conn(l->owner, pcb, l->kind, l->port);
    l->owner->conns_.push_back(c);
    attach(c);
    return ERR_OK;
  }
};

TcpApps::~TcpApps() {
  abortAll();
  for (tcp_pcb* l : listeners_) {
    delete static_cast<Listener*>(l->callback_arg);
    tcp_arg(l, nullptr);
    tcp_close(l);
  }
}

bool TcpApps::listen(uint16_t port, int kind, std::string* error) {
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
  tcp_arg(listener, new Listener{this, static_cast<Kind>(kind), port});
  tcp_accept(listener, &AppsAccess::onAccept);
  listeners_.push_back(listener);
  return true;
}

bool TcpApps::listenSink(uint16_t port, std::string* error) { return listen(port, kSink, error); }
bool TcpApps::listenSource(uint16_t port, std::string* error) { return listen(port, kSource, error); }

bool TcpApps::connect(uint16_t port, uint64_t bytes, uint32_t seed, std::string* error) {
  tcp_pcb* pcb = tcp_new();
  if (pcb == nullptr) {
    *error = "out of memory";
    return false;
  }
  auto* c = new Conn(this, pcb, kConnect, port);
  c->total = bytes;
  c->seed = seed;
  conns_.push_back(c);
  AppsAccess::attach(c);
  ip4_addr_t host;
  IP4_ADDR(&host, 1, 1, 1, 1);
  if (tcp_connect(pcb, &host, port, &AppsAccess::onConnected) != ERR_OK) {
    AppsAccess::abort(c);
    *error = "tcp_connect failed";
    return false;
  }
  return true;
}

void TcpApps::hold(bool on) {
  held_ = on;
  if (on) return;
  for (Conn* c : conns_) {
    while (c->withheld > 0) {
      u16_t n = static_cast<u16_t>(std::min<uint32_t>(c->withheld, 0xffff));
      tcp_recved(c->pcb, n);
      c->withheld -= n;
    }
  }
}

void TcpApps::abortAll() {
  std::vector<Conn*> all;
  all.swap(conns_);
  for (Conn* c : all) {
    AppsAccess::detach(c->pcb);
    tcp_abort(c->pcb);
    delete c;
  }
}

}  // namespace spmsim
