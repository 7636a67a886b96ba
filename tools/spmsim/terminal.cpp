#include "tools/spmsim/terminal.h"

namespace spmsim {

namespace {
const uint8_t* bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }
}  // namespace

Terminal::Terminal(Options options, Line& line, EventOut events)
    : options_(std::move(options)),
      line_(line),
      events_(std::move(events)),
      apps_([this](const std::string& event) { events_(event); }) {
  PppServer::Events& sessionEvents = *this;
  ppp_ = std::make_unique<PppServer>(
      options_.ppp, [this](const uint8_t* data, size_t len) { line_.send(data, len); }, sessionEvents);
}

Terminal::~Terminal() {
  // The session ends quietly: nobody listens to events any more.
  events_ = [](const std::string&) {};
  ppp_->hangup();
  echo_.abortAll();
  apps_.abortAll();
}

bool Terminal::start(std::string* error) {
  for (uint16_t port : options_.echoPorts) {
    std::string why;
    if (!echo_.listen(port, &why)) {
      *error = "echo server on port " + std::to_string(port) + ": " + why;
      return false;
    }
  }
  for (uint16_t port : options_.sinkPorts) {
    std::string why;
    if (!apps_.listenSink(port, &why)) {
      *error = "sink on port " + std::to_string(port) + ": " + why;
      return false;
    }
  }
  for (uint16_t port : options_.sourcePorts) {
    std::string why;
    if (!apps_.listenSource(port, &why)) {
      *error = "source on port " + std::to_string(port) + ": " + why;
      return false;
    }
  }
  return true;
}

void Terminal::received(const uint8_t* data, size_t len) {
  if (len == 0) {
    return;
  }
  if (!inSession_) {
    if (scanner_.feed(data, len)) {
      answerHandshake();
    }
    return;
  }
  // During a session the host asks again only by writing exactly "CLIENT"
  // (it restarted); before the first LCP packet any flag-free text holding
  // "CLIENT" counts too (the host missed our answer and repeated itself).
  bool again = isExactClient(data, len) || (!lcpSeen_ && hasNoFlag(data, len) && scanner_.feed(data, len));
  if (again) {
    answerHandshake();
    return;
  }
  ppp_->input(data, len);
  abortConnectionsIfDue();
}

void Terminal::answerHandshake() {
  if (inSession_) {
    endSession();
    line_.discardPending();  // stale frames of the old session
  }
  line_.sendAtomic(bytes(kServerAnswer), kServerAnswer.size());
  events_("HANDSHAKE");
  scanner_.reset();
  lcpSeen_ = false;
  inSession_ = true;
  ppp_->listen();
}

void Terminal::endSession() {
  ppp_->hangup();  // reports PPP-DOWN through onDown
  inSession_ = false;
  lcpSeen_ = false;
  scanner_.reset();
  abortDue_ = true;
  abortConnectionsIfDue();
}

void Terminal::restart() {
  line_.discardPending();
  endSession();
  line_.discardPending();
  line_.sendAtomic(bytes(kClientText), kClientText.size());
}

void Terminal::lineLost() {
  endSession();
  line_.discardPending();
}

void Terminal::runTimers() {
  PppServer::runTimers();
  abortConnectionsIfDue();
}

int Terminal::timerWaitMs() const { return PppServer::timerWaitMs(); }

void Terminal::onLcpReceived() {
  lcpSeen_ = true;
  events_("LCP-RX");
}

void Terminal::onUp(const std::string& ours, const std::string& his) {
  events_("PPP-UP " + ours + " " + his);
}

void Terminal::onDown(int /*reason*/) {
  // lwIP ended the session (host's Terminate, failed negotiation or
  // authentication, or our hangup): wait for a new handshake.
  inSession_ = false;
  lcpSeen_ = false;
  scanner_.reset();
  abortDue_ = true;
  events_("PPP-DOWN");
}

void Terminal::abortConnectionsIfDue() {
  // Deferred out of lwIP's PPP callbacks: a dead link's connections are
  // reset from the event loop, never from inside lwIP.
  if (abortDue_) {
    abortDue_ = false;
    echo_.abortAll();
    apps_.abortAll();
  }
}

}  // namespace spmsim
