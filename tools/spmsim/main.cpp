// spmsim: plays a serially attached payment terminal on a pseudo-terminal
// pair, for developing and testing the host library without hardware.
//
// One thread: a poll loop over the pty master, stdin (control commands),
// a signalfd (SIGINT/SIGTERM/SIGHUP), lwIP's timers and, in TUN mode, the
// TUN device whose datagrams the kernel's stack exchanges with the host.
// Events go to stdout, one per line, flushed; diagnostics go to stderr.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/spmsim/datagram_path.h"
#include "tools/spmsim/drop_rules.h"
#include "tools/spmsim/line.h"
#include "tools/spmsim/terminal.h"
#include "tools/spmsim/terminal_service.h"
#include "tools/spmsim/tun.h"
#include "tools/spmsim/tx_queue.h"

extern "C" {
#include "lwip/netif.h"
}

namespace {

using spmsim::DatagramPath;
using spmsim::Direction;
using spmsim::Match;
using spmsim::PtyLine;
using spmsim::TunDevice;
using spmsim::Terminal;
using spmsim::TxQueue;

const char kUsage[] =
    "Usage: spmsim [OPTIONS]\n"
    "Plays a serially attached payment terminal on a pseudo-terminal pair:\n"
    "answers \"CLIENT\" with \"CLIENTSERVER\", then runs a PPP server and TCP/IP\n"
    "stack (the terminal is 1.1.1.2 and assigns the host 1.1.1.1).\n"
    "\n"
    "Options:\n"
    "  --link PATH          make PATH a symbolic link to the pty's slave device;\n"
    "                       point the host at PATH (removed again on exit)\n"
    "  --silent             wait for the host's first LCP request (default)\n"
    "  --active             send our own LCP request first\n"
    "  --pap USER:PASS      require PAP authentication with these credentials\n"
    "  --pace BYTES_PER_SEC limit what the terminal writes to the line\n"
    "                       (11520 emulates 115200 baud); default unlimited\n"
    "  --echo-port N        TCP echo server on port N (repeatable)\n"
    "  --sink-port N        TCP sink on port N: reads everything, reports its\n"
    "                       size and CRC-32 at the client's FIN (repeatable)\n"
    "  --source-port N      TCP source on port N: the client asks for\n"
    "                       \"<bytes> fin|half|rst <seed>\\n\" (repeatable)\n"
    "  --terminal           the payment terminal: serves the host's channel on\n"
    "                       TCP port 5188, dials the host's services at\n"
    "                       1.1.1.1:5186 (receipts, echo); events CONNECTED\n"
    "                       channel|services, DISCONNECTED, TRANSACTION <amount>\n"
    "                       APPROVED|DECLINED, RECEIPT <outcome>, ECHO, ECHO-ANSWERED\n"
    "  --decline-above N    with --terminal: decline amounts above N minor units\n"
    "                       (default 100000); amounts ending in 13 are declined\n"
    "  --delay MS           with --terminal: wait before printing and answering\n"
    "  --echo-interval MS   with --terminal: idle time before the terminal's echo\n"
    "                       request to the host (default 5000; 0: never)\n"
    "  --retry-time SEC     PPP negotiation restart timer, 1-255 (default 3)\n"
    "  --trace              PPP packet trace on stderr\n"
    "  --tun NETNS          TUN mode: lwIP does PPP only; IP datagrams go to a TUN\n"
    "                       device in network namespace NETNS (a name from\n"
    "                       'ip netns add', or a path such as /proc/PID/ns/net),\n"
    "                       where the Linux kernel is 1.1.1.2 peer 1.1.1.1 and\n"
    "                       runs the terminal's applications; IPv6 is switched\n"
    "                       off there. Not with --echo-port.\n"
    "  --drop-every N       drop every Nth IP datagram in each direction\n"
    "  --drop-rx-every N    drop every Nth IP datagram received from the host\n"
    "  --drop-tx-every N    drop every Nth IP datagram sent to the host\n"
    "  --drop-next DIR:KIND drop the next datagram of direction DIR (rx, tx) of\n"
    "                       KIND (any, syn, syn-ack, fin, rst, data); repeatable\n"
    "  --no-stdin           do not read commands from stdin (stop with a signal)\n"
    "  --help               this text\n"
    "\n"
    "Commands on stdin, one per line:\n"
    "  restart   the terminal reboots: queued output is lost, PPP ends, and it\n"
    "            sends exactly \"CLIENT\"\n"
    "  unplug    pull the cable: the pty is closed and the link removed\n"
    "  plug      plug it back in: a new pty, the link recreated\n"
    "  drop DIR KIND  like --drop-next, armed now\n"
    "  stats     print the datagram counters (STATS line)\n"
    "  connect PORT BYTES [SEED]  open a TCP connection to the host's PORT,\n"
    "            send BYTES of the test pattern, close\n"
    "  hold / release  sinks stop / resume reading (their window closes)\n"
    "  quit      exit (end of stdin, SIGINT and SIGTERM do the same)\n"
    "\n"
    "Events on stdout, one per line:\n"
    "  READY <slave path>, HANDSHAKE, LCP-RX, PPP-UP <terminal> <host>,\n"
    "  PPP-DOWN, UNPLUGGED, BYE; with --tun first TUN <device>; for a one-shot\n"
    "  drop DROPPED <dir> <what> (e.g. DROPPED tx TCP SYN-ACK);\n"
    "  STATS rx <seen> dropped <n> tx <seen> dropped <n>;\n"
    "  SINK <port> <bytes> <crc32>, SINK-RESET <port> <bytes>,\n"
    "  SOURCE <port> SENT|GOT|RESET-SENT|RESET ..., CONNECT <port> SENT|FAILED ...\n";

struct Settings {
  std::string link;
  Terminal::Options terminal;
  uint32_t pace = 0;
  bool readStdin = true;
  std::string tunNetns;
  uint32_t dropEvery[2] = {0, 0};  // by Direction
  std::vector<std::pair<Direction, Match>> dropNext;
  bool terminalService = false;  // --terminal
  bool terminalTuned = false;    // a --terminal setting was given
  spmsim::TerminalService::Options service;
};

// "rx syn-ack" or "rx:syn-ack".
bool parseDrop(const std::string& text, std::pair<Direction, Match>* out) {
  size_t sep = text.find_first_of(": ");
  if (sep == std::string::npos) return false;
  size_t kind = text.find_first_not_of(": ", sep);
  return kind != std::string::npos && spmsim::parseDirection(text.substr(0, sep), &out->first) &&
         spmsim::parseMatch(text.substr(kind), &out->second);
}

bool parseUnsigned(const char* text, unsigned long min, unsigned long max, unsigned long* out) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v < min || v > max) {
    return false;
  }
  *out = v;
  return true;
}

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "spmsim: %s\nTry 'spmsim --help'.\n", message.c_str());
  std::exit(2);
}

Settings parseArguments(int argc, char** argv) {
  enum {
    kLink = 1000,
    kSilent,
    kActive,
    kPap,
    kPace,
    kEcho,
    kRetry,
    kTrace,
    kNoStdin,
    kHelp,
    kTun,
    kDropEvery,
    kDropRxEvery,
    kDropTxEvery,
    kDropNext,
    kSink,
    kSource
  };
  enum { kTerminal = 2000, kDeclineAbove, kDelay, kEchoInterval };
  static const option longOptions[] = {
      {"link", required_argument, nullptr, kLink},       {"silent", no_argument, nullptr, kSilent},
      {"active", no_argument, nullptr, kActive},         {"pap", required_argument, nullptr, kPap},
      {"pace", required_argument, nullptr, kPace},       {"echo-port", required_argument, nullptr, kEcho},
      {"retry-time", required_argument, nullptr, kRetry}, {"trace", no_argument, nullptr, kTrace},
      {"no-stdin", no_argument, nullptr, kNoStdin},      {"help", no_argument, nullptr, kHelp},
      {"tun", required_argument, nullptr, kTun},          {"drop-every", required_argument, nullptr, kDropEvery},
      {"drop-rx-every", required_argument, nullptr, kDropRxEvery},
      {"drop-tx-every", required_argument, nullptr, kDropTxEvery},
      {"drop-next", required_argument, nullptr, kDropNext},
      {"sink-port", required_argument, nullptr, kSink},
      {"source-port", required_argument, nullptr, kSource},
      {"terminal", no_argument, nullptr, kTerminal},
      {"decline-above", required_argument, nullptr, kDeclineAbove},
      {"delay", required_argument, nullptr, kDelay},
      {"echo-interval", required_argument, nullptr, kEchoInterval},
      {nullptr, 0, nullptr, 0}};
  Settings s;
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "", longOptions, nullptr);
    if (c == -1) {
      break;
    }
    unsigned long v = 0;
    switch (c) {
      case kLink:
        if (optarg[0] == '\0') usageError("--link needs a path");
        s.link = optarg;
        break;
      case kSilent:
        s.terminal.ppp.active = false;
        break;
      case kActive:
        s.terminal.ppp.active = true;
        break;
      case kPap: {
        std::string arg = optarg;
        size_t colon = arg.find(':');
        if (colon == std::string::npos || colon == 0) usageError("--pap wants USER:PASS");
        s.terminal.ppp.papUser = arg.substr(0, colon);
        s.terminal.ppp.papPassword = arg.substr(colon + 1);
        if (s.terminal.ppp.papUser.size() > 255 || s.terminal.ppp.papPassword.size() > 255) {
          usageError("--pap: user name and password are limited to 255 bytes each");
        }
        break;
      }
      case kPace:
        if (!parseUnsigned(optarg, 1, 100000000, &v)) usageError("--pace wants bytes per second (1-100000000)");
        s.pace = static_cast<uint32_t>(v);
        break;
      case kEcho:
        if (!parseUnsigned(optarg, 1, 65535, &v)) usageError("--echo-port wants a TCP port (1-65535)");
        s.terminal.echoPorts.push_back(static_cast<uint16_t>(v));
        break;
      case kSink:
      case kSource:
        if (!parseUnsigned(optarg, 1, 65535, &v)) usageError("--sink-port/--source-port want a TCP port (1-65535)");
        (c == kSink ? s.terminal.sinkPorts : s.terminal.sourcePorts).push_back(static_cast<uint16_t>(v));
        break;
      case kTerminal:
        s.terminalService = true;
        break;
      case kDeclineAbove:
        if (!parseUnsigned(optarg, 0, 999999999999ul, &v)) usageError("--decline-above wants minor units (0-999999999999)");
        s.service.terminal.rule.declineAbove = v;
        s.terminalTuned = true;
        break;
      case kDelay:
      case kEchoInterval:
        if (!parseUnsigned(optarg, 0, 3600000, &v)) usageError("--delay and --echo-interval want milliseconds (0-3600000)");
        (c == kDelay ? s.service.terminal.delayMs : s.service.terminal.echoIntervalMs) = static_cast<uint32_t>(v);
        s.terminalTuned = true;
        break;
      case kRetry:
        if (!parseUnsigned(optarg, 1, 255, &v)) usageError("--retry-time wants seconds (1-255)");
        s.terminal.ppp.retrySeconds = static_cast<int>(v);
        break;
      case kTrace:
        s.terminal.ppp.trace = true;
        break;
      case kNoStdin:
        s.readStdin = false;
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        std::exit(0);
      case kTun:
        if (optarg[0] == '\0') usageError("--tun needs a network namespace");
        s.tunNetns = optarg;
        break;
      case kDropEvery:
      case kDropRxEvery:
      case kDropTxEvery:
        if (!parseUnsigned(optarg, 1, 1000000, &v)) usageError("--drop-*every wants a count (1-1000000)");
        if (c != kDropTxEvery) s.dropEvery[static_cast<int>(Direction::kRx)] = static_cast<uint32_t>(v);
        if (c != kDropRxEvery) s.dropEvery[static_cast<int>(Direction::kTx)] = static_cast<uint32_t>(v);
        break;
      case kDropNext: {
        std::pair<Direction, Match> rule;
        if (!parseDrop(optarg, &rule)) {
          usageError("--drop-next wants DIR:KIND (DIR rx or tx; KIND any, syn, syn-ack, fin, rst, data)");
        }
        s.dropNext.push_back(rule);
        break;
      }
      default:
        if (optopt != 0) {
          usageError(std::string("option ") + argv[optind - 1] + " needs a value");
        }
        usageError(std::string("unknown option: ") + argv[optind - 1]);
    }
  }
  if (optind < argc) {
    usageError(std::string("unexpected argument: ") + argv[optind]);
  }
  if (!s.tunNetns.empty() && !s.terminal.echoPorts.empty()) {
    usageError("--echo-port has no effect with --tun (run the server in the namespace)");
  }
  if (!s.tunNetns.empty() && (!s.terminal.sinkPorts.empty() || !s.terminal.sourcePorts.empty())) {
    usageError("--sink-port and --source-port have no effect with --tun (run the program in the namespace)");
  }
  if (s.terminalService && !s.tunNetns.empty()) {
    usageError("--terminal does not work with --tun (the kernel in the namespace has the terminal's IP)");
  }
  for (uint16_t port : s.terminal.echoPorts) {
    if (s.terminalService && port == s.service.channelPort) usageError("--terminal serves port 5188; choose another --echo-port");
  }
  if (s.terminalTuned && !s.terminalService) {
    usageError("--decline-above, --delay and --echo-interval need --terminal");
  }
  return s;
}

uint64_t nowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void emit(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The Line of the terminal: a pace-limited queue in front of the pty.
class QueuedLine : public Terminal::Line {
 public:
  QueuedLine(PtyLine& pty, TxQueue& queue) : pty_(pty), queue_(queue) {}

  void send(const uint8_t* data, size_t len) override { enqueue(data, len, false); }
  void sendAtomic(const uint8_t* data, size_t len) override { enqueue(data, len, true); }
  void discardPending() override {
    queue_.clear();
    pty_.discardUnread();
  }

  // Writes what the pace and the pty allow; never blocks.
  void pump() {
    while (pty_.isOpen()) {
      TxQueue::Chunk chunk = queue_.writable(nowUs());
      if (chunk.len == 0) {
        return;
      }
      long n = pty_.write(chunk.data, chunk.len);
      if (n < 0) {
        std::fprintf(stderr, "spmsim: write to the pty failed: %s\n", std::strerror(errno));
        queue_.clear();
        return;
      }
      queue_.consume(static_cast<size_t>(n));
      if (static_cast<size_t>(n) < chunk.len) {
        return;  // pty full: wait for POLLOUT
      }
    }
  }

 private:
  void enqueue(const uint8_t* data, size_t len, bool atomic) {
    if (!pty_.isOpen()) {
      return;  // cable pulled: the bytes go nowhere
    }
    bool ok = atomic ? queue_.pushAtomic(data, len) : queue_.push(data, len);
    if (!ok && !warned_) {
      std::fprintf(stderr, "spmsim: nobody reads the line; dropping output\n");
      warned_ = true;
    } else if (ok) {
      warned_ = false;
    }
  }

  PtyLine& pty_;
  TxQueue& queue_;
  bool warned_ = false;
};

class Simulator {
 public:
  explicit Simulator(Settings settings)
      : settings_(std::move(settings)),
        queue_(settings_.pace),
        line_(pty_, queue_),
        terminal_(settings_.terminal, line_, emit) {}

  int run() {
    std::string error;
    if (!terminal_.start(&error)) {
      std::fprintf(stderr, "spmsim: %s\n", error.c_str());
      return 1;
    }
    if (settings_.terminalService && !startTerminalService()) {
      return 1;
    }
    if (!setUpDatagramPath()) {
      return 1;
    }
    if (!setUpSignals()) {
      return 1;
    }
    if (!plug()) {
      return 1;
    }
    loop();
    terminal_.lineLost();
    pty_.close();
    emit("BYE");
    return 0;
  }

 private:
  // The payment application behind PPP (--terminal).
  bool startTerminalService() {
    service_ = std::make_unique<spmsim::TerminalService>(
        settings_.service, terminal_.pppNetif(), emit,
        [](const std::string& line) { std::fprintf(stderr, "spmsim: %s\n", line.c_str()); });
    std::string error;
    if (!service_->start(&error)) {
      std::fprintf(stderr, "spmsim: terminal: %s\n", error.c_str());
      return false;
    }
    return true;
  }

  bool setUpSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
      std::perror("spmsim: sigprocmask");
      return false;
    }
    signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
      std::perror("spmsim: signalfd");
      return false;
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
  }

  bool setUpDatagramPath() {
    path_ = std::make_unique<DatagramPath>(terminal_.pppNetif(), emit);
    for (Direction d : {Direction::kRx, Direction::kTx}) {
      path_->rules().setEvery(d, settings_.dropEvery[static_cast<int>(d)]);
    }
    for (const auto& rule : settings_.dropNext) path_->rules().armOnce(rule.first, rule.second);
    if (settings_.tunNetns.empty()) {
      return true;
    }
    std::string error;
    if (!tun_.open(settings_.tunNetns, &error)) {
      std::fprintf(stderr, "spmsim: %s\n", error.c_str());
      return false;
    }
    path_->forwardTo([this](const uint8_t* data, size_t len) {
      if (!tun_.write(data, len)) ++tunWriteLosses_;
    });
    emit("TUN " + tun_.name());
    return true;
  }

  // Datagrams from the kernel go out on the line; bounded per call so the
  // line and the timers get their turn.
  void readTun() {
    for (int i = 0; i < 64; ++i) {
      long n = tun_.read(tunBuffer_.data(), tunBuffer_.size());
      if (n <= 0) {
        if (n < 0) std::fprintf(stderr, "spmsim: reading the TUN device failed: %s\n", std::strerror(errno));
        return;
      }
      path_->sendToHost(tunBuffer_.data(), static_cast<size_t>(n));
    }
  }

  // The kernel must not send more than the PPP link carries.
  void followLinkMtu() {
    struct netif* nif = terminal_.pppNetif();
    if (tun_.isOpen() && nif->mtu >= kMinimumIpMtu && nif->mtu != tun_.mtu() && !tun_.setMtu(nif->mtu)) {
      std::fprintf(stderr, "spmsim: setting the MTU of %s failed: %s\n", tun_.name().c_str(), std::strerror(errno));
    }
  }

  bool plug() {
    std::string error;
    if (!pty_.open(settings_.link, &error)) {
      std::fprintf(stderr, "spmsim: %s\n", error.c_str());
      return false;
    }
    queue_.clear();
    noHostUntilUs_ = 0;
    terminal_.lineLost();  // a fresh terminal on a fresh line
    emit("READY " + pty_.slavePath());
    return true;
  }

  void unplug() {
    terminal_.lineLost();
    queue_.clear();
    pty_.close();
    emit("UNPLUGGED");
  }

  void command(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
    size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? std::string() : text.substr(start);
    if (text.empty()) {
      return;
    }
    if (text == "quit") {
      quit_ = true;
    } else if (text == "restart") {
      if (!pty_.isOpen()) {
        std::fprintf(stderr, "spmsim: restart: the line is unplugged\n");
        return;
      }
      terminal_.restart();
    } else if (text == "unplug") {
      if (!pty_.isOpen()) {
        std::fprintf(stderr, "spmsim: unplug: already unplugged\n");
        return;
      }
      unplug();
    } else if (text == "plug") {
      if (pty_.isOpen()) {
        std::fprintf(stderr, "spmsim: plug: already plugged in\n");
        return;
      }
      if (!plug()) {
        std::fprintf(stderr, "spmsim: plug failed; still unplugged\n");
      }
    } else if (text.compare(0, 5, "drop ") == 0) {
      std::pair<Direction, Match> rule;
      if (!parseDrop(text.substr(5), &rule)) {
        std::fprintf(stderr, "spmsim: drop wants DIR KIND (DIR rx or tx; KIND any, syn, syn-ack, fin, rst, data)\n");
        return;
      }
      path_->rules().armOnce(rule.first, rule.second);
    } else if (text == "stats") {
      emit(path_->statsLine());
    } else if (text.compare(0, 8, "connect ") == 0) {
      unsigned port = 0;
      unsigned long long bytes = 0;
      unsigned long seed = 1;
      std::string error;
      if (std::sscanf(text.c_str() + 8, "%u %llu %lu", &port, &bytes, &seed) < 2 || port == 0 || port > 65535) {
        std::fprintf(stderr, "spmsim: connect wants PORT BYTES [SEED]\n");
      } else if (!terminal_.apps().connect(static_cast<uint16_t>(port), bytes, static_cast<uint32_t>(seed), &error)) {
        emit("CONNECT " + std::to_string(port) + " FAILED " + error);
      }
    } else if (text == "hold" || text == "release") {
      terminal_.apps().hold(text == "hold");
    } else {
      std::fprintf(stderr, "spmsim: unknown command '%s' (commands: restart, unplug, plug, drop, stats, connect, hold, release, quit)\n",
                   text.c_str());
    }
  }

  void readStdin() {
    char buf[512];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return;
      std::fprintf(stderr, "spmsim: stdin: %s; stopping\n", std::strerror(errno));
      quit_ = true;
      return;
    }
    if (n == 0) {
      if (!pendingCommand_.empty()) command(pendingCommand_);
      quit_ = true;  // end of the control stream
      return;
    }
    pendingCommand_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while (!quit_ && (nl = pendingCommand_.find('\n')) != std::string::npos) {
      std::string one = pendingCommand_.substr(0, nl);
      pendingCommand_.erase(0, nl + 1);
      command(one);
    }
    if (pendingCommand_.size() > 4096) {
      pendingCommand_.clear();  // not a command stream
    }
  }

  void readLine() {
    uint8_t buf[4096];
    // Bounded: lwIP timers and stdin must get their turn on a busy line.
    for (int i = 0; i < 16 && pty_.isOpen(); ++i) {
      PtyLine::ReadResult r = pty_.read(buf, sizeof buf);
      if (r.status == PtyLine::Status::kData) {
        terminal_.received(buf, r.count);
        continue;
      }
      if (r.status == PtyLine::Status::kNoHost) {
        // No slave side open: poll again a little later instead of spinning.
        noHostUntilUs_ = nowUs() + kNoHostRetryMs * 1000u;
      } else if (r.status == PtyLine::Status::kFailed) {
        std::fprintf(stderr, "spmsim: reading the pty failed: %s; unplugging\n", std::strerror(errno));
        unplug();
      }
      return;
    }
  }

  void loop() {
    while (!quit_) {
      line_.pump();
      followLinkMtu();
      pollfd fds[4];
      nfds_t count = 0;
      fds[count++] = {signalFd_, POLLIN, 0};
      int stdinIndex = -1;
      if (settings_.readStdin && stdinOpen_) {
        stdinIndex = static_cast<int>(count);
        fds[count++] = {STDIN_FILENO, POLLIN, 0};
      }
      int lineIndex = -1;
      uint64_t now = nowUs();
      int timeout = terminal_.timerWaitMs();
      if (service_) {
        int wait = service_->waitMs(now / 1000u);
        if (wait >= 0) timeout = timeout < 0 ? wait : std::min(timeout, wait);
      }
      bool hostWait = noHostUntilUs_ > now;
      if (pty_.isOpen() && !hostWait) {
        short events = POLLIN;
        int wait = queue_.waitMs(now);
        if (wait == 0) {
          events |= POLLOUT;
        } else if (wait > 0) {
          timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        lineIndex = static_cast<int>(count);
        fds[count++] = {pty_.masterFd(), events, 0};
      } else if (hostWait) {
        int wait = static_cast<int>((noHostUntilUs_ - now + 999) / 1000);
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
      }
      int tunIndex = -1;
      // While the line is backed up, datagrams wait in the kernel's queue.
      if (tun_.isOpen() && queue_.size() < kTunBackpressureBytes) {
        tunIndex = static_cast<int>(count);
        fds[count++] = {tun_.fd(), POLLIN, 0};
      }
      int ready = ::poll(fds, count, timeout);
      if (ready < 0 && errno != EINTR) {
        std::perror("spmsim: poll");
        return;
      }
      if (ready > 0) {
        if (fds[0].revents & POLLIN) {
          signalfd_siginfo info;
          while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          }
          quit_ = true;
        }
        if (stdinIndex >= 0 && fds[stdinIndex].revents) {
          readStdin();
        }
        if (!quit_ && lineIndex >= 0 && pty_.isOpen() && fds[lineIndex].revents) {
          short ev = fds[lineIndex].revents;
          if (ev & (POLLIN | POLLERR)) {
            readLine();
          } else if (ev & POLLHUP) {
            noHostUntilUs_ = nowUs() + kNoHostRetryMs * 1000u;
          }
        }
        if (!quit_ && tunIndex >= 0 && (fds[tunIndex].revents & POLLIN)) {
          readTun();
        }
      }
      terminal_.runTimers();
      if (service_) service_->poll(nowUs() / 1000u);
    }
  }

  static constexpr uint64_t kNoHostRetryMs = 100;
  static constexpr size_t kTunBackpressureBytes = 16 * 1024;
  static constexpr int kMinimumIpMtu = 68;

  Settings settings_;
  PtyLine pty_;
  TxQueue queue_;
  QueuedLine line_;
  Terminal terminal_;
  int signalFd_ = -1;
  bool stdinOpen_ = true;
  bool quit_ = false;
  uint64_t noHostUntilUs_ = 0;
  std::string pendingCommand_;
  std::unique_ptr<DatagramPath> path_;
  std::unique_ptr<spmsim::TerminalService> service_;  // --terminal; destroyed before terminal_ (its netif)
  TunDevice tun_;
  std::vector<uint8_t> tunBuffer_ = std::vector<uint8_t>(65536);
  uint64_t tunWriteLosses_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings = parseArguments(argc, argv);
  Simulator simulator(std::move(settings));
  return simulator.run();
}
