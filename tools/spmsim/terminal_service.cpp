#include "tools/spmsim/terminal_service.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/terminal/byte_stream.h"
#include "tools/terminal/session.h"

extern "C" {
#include "lwip/ip4_addr.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/tcp.h"
}

namespace spmsim {

namespace {
// lwIP's own table (err.c) is not part of our lwIP build.
const char* errorText(err_t e) {
  switch (e) {
    case ERR_OK: return "ok";
    case ERR_MEM: return "out of memory";
    case ERR_TIMEOUT: return "timed out";
    case ERR_RTE: return "no route";
    case ERR_USE: return "address in use";
    case ERR_ISCONN: return "already connected";
    case ERR_ABRT: return "aborted";
    case ERR_RST: return "reset by the peer";
    case ERR_CLSD: return "closed";
    case ERR_CONN: return "not connected";
    case ERR_VAL: return "illegal value";
    default: return "lwIP error";
  }
}
}  // namespace

// One lwIP TCP connection as the terminal logic's byte stream. lwIP's
// callbacks only record: received bytes are queued here and the receive
// window is opened only as receive() hands them out, so a slow terminal
// slows the host instead of growing memory. The stream owns its pcb until
// lwIP reports an error (then lwIP has freed it).
class LwipStream final : public simterm::ByteStream {
 public:
  LwipStream(tcp_pcb* pcb, bool connected) : pcb_(pcb), connected_(connected) {
    tcp_nagle_disable(pcb_);
    tcp_arg(pcb_, this);
    tcp_recv(pcb_, &LwipStream::onRecv);
    tcp_err(pcb_, &LwipStream::onError);
  }
  ~LwipStream() override { close(); }
  LwipStream(const LwipStream&) = delete;
  LwipStream& operator=(const LwipStream&) = delete;

  // Dials address:port; the result shows in connected() / failed().
  static std::unique_ptr<LwipStream> dial(const ip4_addr_t& address, uint16_t port, std::string* error) {
    tcp_pcb* pcb = tcp_new();
    if (pcb == nullptr) {
      *error = "out of memory";
      return nullptr;
    }
    auto stream = std::make_unique<LwipStream>(pcb, false);
    err_t e = tcp_connect(pcb, &address, port, &LwipStream::onConnected);
    if (e != ERR_OK) {
      *error = std::string("tcp_connect: ") + errorText(e);
      stream->abort();
      return nullptr;
    }
    return stream;
  }

  ssize_t receive(void* buffer, size_t size) override {
    size_t available = in_.size() - inStart_;
    if (available > 0) {
      size_t n = std::min(size, available);
      std::memcpy(buffer, in_.data() + inStart_, n);
      inStart_ += n;
      if (inStart_ == in_.size()) {
        in_.clear();
        inStart_ = 0;
      }
      openWindow(n);
      return static_cast<ssize_t>(n);
    }
    if (failed_) {
      errno = ECONNRESET;
      return -1;
    }
    if (peerClosed_) {
      return 0;
    }
    errno = EAGAIN;
    return -1;
  }

  ssize_t send(const void* data, size_t size) override {
    if (failed_ || pcb_ == nullptr) {
      errno = failed_ ? ECONNRESET : ENOTCONN;
      return -1;
    }
    if (!connected_) {
      errno = EAGAIN;
      return -1;
    }
    size_t n = std::min<size_t>({size, tcp_sndbuf(pcb_), 0xffff});
    if (n == 0) {
      errno = EAGAIN;  // lwIP's sent callback frees room; the loop pumps again
      return -1;
    }
    err_t e = tcp_write(pcb_, data, static_cast<u16_t>(n), TCP_WRITE_FLAG_COPY);
    if (e == ERR_MEM) {
      errno = EAGAIN;
      return -1;
    }
    if (e != ERR_OK) {
      errno = EIO;
      return -1;
    }
    tcp_output(pcb_);
    return static_cast<ssize_t>(n);
  }

  int pollFd() const override { return -1; }

  bool connected() const { return connected_ && !failed_; }
  bool failed() const { return failed_; }
  // The peer sent FIN and everything before it has been read.
  bool finished() const { return peerClosed_ && in_.size() == inStart_; }
  err_t error() const { return error_; }

  // Resets the connection (no FIN exchange).
  void abort() {
    if (pcb_ != nullptr) {
      detach();
      tcp_abort(pcb_);
      pcb_ = nullptr;
    }
    failed_ = true;
  }

 private:
  void openWindow(size_t n) {
    while (pcb_ != nullptr && n > 0) {
      u16_t step = static_cast<u16_t>(std::min<size_t>(n, 0xffff));
      tcp_recved(pcb_, step);
      n -= step;
    }
  }

  void detach() {
    tcp_arg(pcb_, nullptr);
    tcp_recv(pcb_, nullptr);
    tcp_err(pcb_, nullptr);
  }

  // Orderly close; a pcb lwIP cannot close now (out of memory) is reset.
  void close() {
    if (pcb_ == nullptr) return;
    detach();
    if (tcp_close(pcb_) != ERR_OK) tcp_abort(pcb_);
    pcb_ = nullptr;
  }

  static err_t onConnected(void* arg, tcp_pcb*, err_t err) {
    auto* self = static_cast<LwipStream*>(arg);
    if (self != nullptr && err == ERR_OK) self->connected_ = true;
    return ERR_OK;
  }

  static err_t onRecv(void* arg, tcp_pcb*, pbuf* p, err_t err) {
    auto* self = static_cast<LwipStream*>(arg);
    if (self == nullptr || err != ERR_OK) {
      if (p != nullptr) pbuf_free(p);
      return ERR_OK;
    }
    if (p == nullptr) {
      self->peerClosed_ = true;
      return ERR_OK;
    }
    size_t old = self->in_.size();
    self->in_.resize(old + p->tot_len);
    pbuf_copy_partial(p, self->in_.data() + old, p->tot_len, 0);
    pbuf_free(p);
    return ERR_OK;
  }

  static void onError(void* arg, err_t err) {
    // lwIP has already freed the pcb.
    auto* self = static_cast<LwipStream*>(arg);
    if (self == nullptr) return;
    self->pcb_ = nullptr;
    self->failed_ = true;
    self->error_ = err;
  }

  tcp_pcb* pcb_;
  bool connected_;
  bool peerClosed_ = false;
  bool failed_ = false;
  err_t error_ = ERR_OK;
  std::string in_;  // received, not yet handed out; bounded by the window
  size_t inStart_ = 0;
};

// A session of both connections with its terminal logic.
struct TerminalService::Running {
  Running(LwipStream& channel, LwipStream& services, const simterm::Terminal::Config& config, const Sink& events,
          const Sink& notes)
      : session(channel, services, events, notes), terminal(config, session) {}
  simterm::Session session;
  simterm::Terminal terminal;
};

namespace {

err_t onAccept(void* arg, tcp_pcb* pcb, err_t err) {
  auto* service = static_cast<TerminalService*>(arg);
  if (service == nullptr || err != ERR_OK || pcb == nullptr) {
    return ERR_VAL;
  }
  service->accepted(std::make_unique<LwipStream>(pcb, true));
  return ERR_OK;
}

std::string addressText(const uint8_t (&a)[4], uint16_t port) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]) + ":" + std::to_string(port);
}

}  // namespace

TerminalService::TerminalService(Options options, struct netif* link, Sink events, Sink notes)
    : options_(std::move(options)), link_(link), events_(std::move(events)), notes_(std::move(notes)) {
  redialMs_ = options_.firstRedialMs;
}

TerminalService::~TerminalService() {
  session_.reset();
  incoming_.clear();
  channel_.reset();
  services_.reset();
  if (listener_ != nullptr) {
    tcp_arg(listener_, nullptr);
    tcp_close(listener_);
  }
}

bool TerminalService::start(std::string* error) {
  tcp_pcb* pcb = tcp_new();
  if (pcb == nullptr) {
    *error = "out of memory";
    return false;
  }
  if (tcp_bind(pcb, IP4_ADDR_ANY, options_.channelPort) != ERR_OK) {
    tcp_close(pcb);
    *error = "port " + std::to_string(options_.channelPort) + " is already in use";
    return false;
  }
  listener_ = tcp_listen(pcb);
  if (listener_ == nullptr) {
    tcp_close(pcb);
    *error = "cannot listen on port " + std::to_string(options_.channelPort);
    return false;
  }
  tcp_arg(listener_, this);
  tcp_accept(listener_, &onAccept);
  return true;
}

void TerminalService::accepted(std::unique_ptr<LwipStream> stream) { incoming_.push_back(std::move(stream)); }

bool TerminalService::linkUp() const {
  return link_ != nullptr && netif_is_up(link_) && !ip4_addr_isany_val(*netif_ip4_addr(link_));
}

void TerminalService::scheduleRedial(uint64_t now) {
  redialAt_ = now + redialMs_;
  redialMs_ = std::min(redialMs_ * 2, options_.maxRedialMs);
}

void TerminalService::dial(uint64_t now) {
  ip4_addr_t host;
  IP4_ADDR(&host, options_.hostAddress[0], options_.hostAddress[1], options_.hostAddress[2],
           options_.hostAddress[3]);
  std::string error;
  services_ = LwipStream::dial(host, options_.servicesPort, &error);
  if (!services_) {
    notes_("cannot connect the services to " + addressText(options_.hostAddress, options_.servicesPort) + ": " +
           error);
    scheduleRedial(now);
    return;
  }
  servicesAnnounced_ = false;
  dialDeadline_ = now + options_.connectTimeoutMs;
}

void TerminalService::settle() {
  if (announced_ && !channel_ && !(services_ && servicesAnnounced_)) {
    events_("DISCONNECTED");
    announced_ = false;
  }
}

void TerminalService::endSession(const std::string& reason, uint64_t now) {
  // Both connections go: the host reopens the channel when it next needs
  // it, and its service server accepts our next dial.
  notes_("connection lost: " + reason);
  session_.reset();
  channel_.reset();
  services_.reset();
  settle();
  redialMs_ = options_.firstRedialMs;
  scheduleRedial(now);
}

void TerminalService::dropServices(uint64_t now) {
  if (services_->failed() || services_->finished()) {
    notes_(std::string(servicesAnnounced_ ? "the services connection to " : "cannot connect the services to ") +
           addressText(options_.hostAddress, options_.servicesPort) + ": " +
           (services_->failed() ? errorText(services_->error()) : "closed by the host"));
  } else {
    notes_("cannot connect the services to " + addressText(options_.hostAddress, options_.servicesPort) +
           ": no answer");
    services_->abort();
  }
  services_.reset();
  settle();
  scheduleRedial(now);
}

void TerminalService::abortAll() {
  incoming_.clear();
  session_.reset();
  if (channel_) channel_->abort();
  if (services_) services_->abort();
  channel_.reset();
  services_.reset();
  settle();
}

void TerminalService::poll(uint64_t now) {
  if (!linkUp()) {
    // The link went down: lwIP has reset the connections already (their
    // address is gone); forget them and dial again once it is back.
    if (wasUp_) abortAll();
    incoming_.clear();
    wasUp_ = false;
    return;
  }
  if (!wasUp_) {
    wasUp_ = true;
    redialMs_ = options_.firstRedialMs;
    redialAt_ = now;
  }

  // Channels the host opened since the last call; the newest wins.
  std::vector<std::unique_ptr<LwipStream>> arrived;
  arrived.swap(incoming_);
  for (auto& stream : arrived) {
    if (stream->failed()) continue;
    if (session_) {
      endSession("the host opened a new channel", now);
    } else if (channel_) {
      notes_("a new channel replaces the one waiting for the services connection");
    }
    channel_ = std::move(stream);
    events_("CONNECTED channel");
    announced_ = true;
  }

  if (!session_) {
    // Waiting for the pair: drop what closed meanwhile.
    if (channel_ && (channel_->failed() || channel_->finished())) {
      notes_("the channel closed before the services connection was up");
      channel_.reset();
      settle();
    }
    if (services_ && services_->connected() && !servicesAnnounced_) {
      servicesAnnounced_ = true;
      redialMs_ = options_.firstRedialMs;
      events_("CONNECTED services");
      announced_ = true;
    }
    if (services_ && (services_->failed() || services_->finished() ||
                      (!services_->connected() && now >= dialDeadline_))) {
      dropServices(now);
    }
    if (!services_ && now >= redialAt_) dial(now);
    if (channel_ && services_ && services_->connected()) {
      session_ = std::make_unique<Running>(*channel_, *services_, options_.terminal, events_, notes_);
      session_->session.start(session_->terminal, now);
    }
  }

  if (session_ && !session_->session.pump(now)) {
    endSession(session_->session.reason(), now);
  }
}

int TerminalService::waitMs(uint64_t now) const {
  if (!linkUp()) return -1;
  if (!incoming_.empty()) return 0;
  int64_t wait = -1;
  auto consider = [&wait, now](uint64_t at) {
    int64_t ms = at > now ? static_cast<int64_t>(at - now) : 0;
    if (wait < 0 || ms < wait) wait = ms;
  };
  if (!services_) {
    consider(redialAt_);
  } else if (!services_->connected()) {
    consider(dialDeadline_);
  }
  if (session_) {
    int t = session_->session.pollTimeout(now);
    if (t >= 0) consider(now + static_cast<uint64_t>(t));
  }
  return wait < 0 ? -1 : static_cast<int>(std::min<int64_t>(wait, 60000));
}

}  // namespace spmsim
