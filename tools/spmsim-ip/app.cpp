#include "tools/spmsim-ip/app.h"

#include "tools/spmsim-ip/net.h"
#include "tools/terminal/discovery.h"
#include "tools/terminal/session.h"
#include "tools/terminal/terminal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace spmsimip {

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

constexpr uint32_t kFirstRetryMs = 500;
constexpr size_t kMaxCommandLine = 4096;
constexpr size_t kMaxDatagram = 2048;

class Simulator {
public:
    Simulator(const Options &o, std::FILE *events, std::FILE *diag) : o_(o), events_(events), diag_(diag) {}
    ~Simulator() {
        if (discoveryFd_ >= 0) ::close(discoveryFd_);
    }

    int run();

private:
    void event(const std::string &line) {
        std::fprintf(events_, "%s\n", line.c_str());
        std::fflush(events_);
    }
    void note(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        std::fputs("spmsim-ip: ", diag_);
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(diag_, fmt, ap);
        va_end(ap);
        std::fputc('\n', diag_);
        std::fflush(diag_);
    }

    // Control descriptors (signals, stdin) appended to a poll set.
    void addControl(std::vector<pollfd> &fds) const {
        fds.push_back({g_signalPipe[0], POLLIN, 0});
        if (stdinOpen_) fds.push_back({STDIN_FILENO, POLLIN, 0});
    }
    void handleControl(const std::vector<pollfd> &fds);
    void readCommands();
    // Waits for fd (or only for control input when fd is -1) until the
    // deadline: 1 ready, 0 timed out, -1 stopped.
    int wait(int fd, short events, uint64_t deadline);
    bool pause(uint32_t ms) { return wait(-1, 0, nowMs() + ms) == 0; }

    bool waitDiscovery(uint32_t &host, bool &useSsl);
    // True when both connections came up.
    bool serve(uint32_t host, bool useTls);
    std::unique_ptr<simterm::ByteStream> open(const char *name, uint32_t host, uint16_t port, bool useTls);

    const Options &o_;
    std::FILE *events_;
    std::FILE *diag_;
    std::unique_ptr<TlsClient> tls_;
    int discoveryFd_ = -1;
    bool stop_ = false;
    bool stdinOpen_ = true;
    std::string commandBuffer_;
    unsigned badDatagrams_ = 0;
    bool warnedUnverified_ = false;
};

void Simulator::readCommands() {
    char buf[512];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        stdinOpen_ = false;  // no more commands; keep running
        return;
    }
    if (n < 0) return;
    commandBuffer_.append(buf, size_t(n));
    size_t eol;
    while ((eol = commandBuffer_.find('\n')) != std::string::npos) {
        std::string line = commandBuffer_.substr(0, eol);
        commandBuffer_.erase(0, eol + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line == "quit") {
            stop_ = true;
        } else if (!line.empty()) {
            note("unknown command '%.64s' (known: quit)", line.c_str());
        }
    }
    if (commandBuffer_.size() > kMaxCommandLine) commandBuffer_.clear();
}

void Simulator::handleControl(const std::vector<pollfd> &fds) {
    for (const pollfd &p : fds) {
        if (!p.revents) continue;
        if (p.fd == g_signalPipe[0]) {
            char buf[16];
            while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
            }
            stop_ = true;
        } else if (p.fd == STDIN_FILENO && stdinOpen_) {
            readCommands();
        }
    }
}

int Simulator::wait(int fd, short events, uint64_t deadline) {
    while (!stop_) {
        const uint64_t now = nowMs();
        if (now >= deadline) return 0;
        std::vector<pollfd> fds;
        if (fd >= 0) fds.push_back({fd, events, 0});
        addControl(fds);
        const uint64_t left = deadline - now;
        const int r = ::poll(fds.data(), fds.size(), left > 60000 ? 60000 : int(left));
        if (r < 0) {
            if (errno == EINTR) continue;
            note("poll: %s", std::strerror(errno));
            return -1;
        }
        handleControl(fds);
        if (stop_) break;
        if (fd >= 0 && fds[0].revents) return 1;
    }
    return -1;
}

bool Simulator::waitDiscovery(uint32_t &host, bool &useSsl) {
    unsigned char buf[kMaxDatagram];
    // Announcements that queued up while we were connected are stale.
    while (::recv(discoveryFd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
    for (;;) {
        const int r = wait(discoveryFd_, POLLIN, UINT64_MAX);
        if (r < 0) return false;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(discoveryFd_, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0) continue;
        std::string why;
        std::optional<simterm::Discovery> d;
        if (size_t(n) > sizeof buf)
            why = "datagram too large";
        else
            d = simterm::parseDiscovery(buf, size_t(n), &why);
        if (!d) {
            if (badDatagrams_++ % 20 == 0)
                note("ignored a datagram from %s: %s", simterm::addressText(from.sin_addr.s_addr).c_str(),
                     why.c_str());
            continue;
        }
        host = d->hostAddress;
        useSsl = d->useSsl;
        event("DISCOVERED " + simterm::addressText(host));
        return true;
    }
}

std::unique_ptr<simterm::ByteStream> Simulator::open(const char *name, uint32_t host, uint16_t port,
                                                     bool useTls) {
    const uint64_t deadline = nowMs() + o_.connectTimeoutMs;
    const Waiter waiter = [this](int fd, short events, uint64_t until) { return wait(fd, events, until); };
    std::string error;
    const int fd = connectTcp(host, port, deadline, waiter, &error);
    if (fd < 0) {
        if (!stop_)
            note("cannot connect the %s to %s:%u: %s", name, simterm::addressText(host).c_str(), unsigned(port),
                 error.c_str());
        return nullptr;
    }
    if (!useTls) {
        event(std::string("CONNECTED ") + name);
        return std::make_unique<TcpStream>(fd);
    }
    auto stream = TlsStream::handshake(*tls_, fd, deadline, waiter, &error);
    if (!stream) {
        if (!stop_) note("%s: %s", name, error.c_str());
        return nullptr;
    }
    event("TLS " + stream->cipher());
    event(std::string("CONNECTED ") + name);
    return stream;
}

bool Simulator::serve(uint32_t host, bool useTls) {
    if (useTls && !tls_) {
        std::string error;
        tls_ = TlsClient::create({o_.tls13Only, o_.caFile, o_.certFile, o_.keyFile}, &error);
        if (!tls_) {
            note("%s", error.c_str());
            return false;
        }
    }
    if (useTls && !tls_->verifiesHost() && !warnedUnverified_) {
        note("TLS without --ca: the host's certificate is not verified");
        warnedUnverified_ = true;
    }
    auto channel = open("channel", host, o_.channelPort, useTls);
    if (!channel) return false;
    auto services = open("services", host, o_.servicesPort, useTls);
    if (!services) {
        channel.reset();
        event("DISCONNECTED");
        return false;
    }

    simterm::Terminal::Config config;
    config.rule.declineAbove = o_.declineAbove;
    config.delayMs = o_.delayMs;
    config.receipt = o_.receipt;
    config.pushResult = o_.pushResult;
    config.answerTimeoutMs = o_.answerTimeoutMs;
    config.echoIntervalMs = o_.echoIntervalMs;
    config.merchant = o_.merchant;
    config.terminalNumber = o_.terminalNumber;

    simterm::Session session(
        *channel, *services, [this](const std::string &line) { event(line); },
        [this](const std::string &line) { note("%s", line.c_str()); });
    simterm::Terminal terminal(config, session);
    session.start(terminal, nowMs());
    while (!stop_ && session.pump(nowMs())) {
        std::vector<pollfd> fds = session.pollSet();
        const size_t sessionFds = fds.size();
        addControl(fds);
        const int r = ::poll(fds.data(), fds.size(), session.pollTimeout(nowMs()));
        if (r < 0 && errno != EINTR) {
            note("poll: %s", std::strerror(errno));
            stop_ = true;
            break;
        }
        if (r > 0) handleControl(std::vector<pollfd>(fds.begin() + long(sessionFds), fds.end()));
    }
    if (session.ended()) note("connection lost: %s", session.reason().c_str());
    terminal.disconnected();
    services.reset();
    channel.reset();
    event("DISCONNECTED");
    return true;
}

int Simulator::run() {
    if (o_.listenDiscovery) {
        std::string error;
        discoveryFd_ = openDiscoverySocket(o_.bindAddress, o_.discoveryPort, &error);
        if (discoveryFd_ < 0) {
            note("%s", error.c_str());
            return 1;
        }
    }
    if (o_.tls || !o_.caFile.empty() || !o_.certFile.empty()) {
        // Load the files now so that a wrong path is reported at once.
        std::string error;
        tls_ = TlsClient::create({o_.tls13Only, o_.caFile, o_.certFile, o_.keyFile}, &error);
        if (!tls_) {
            note("%s", error.c_str());
            return 1;
        }
    }
    in_addr given{};
    if (!o_.host.empty()) inet_pton(AF_INET, o_.host.c_str(), &given);

    uint32_t retry = kFirstRetryMs;
    while (!stop_) {
        uint32_t host = given.s_addr;
        bool useTls = o_.tls;
        if (o_.listenDiscovery) {
            bool announced = false;
            if (!waitDiscovery(host, announced)) break;
            useTls = useTls || announced;
        }
        const bool wasUp = serve(host, useTls);
        if (stop_) break;
        if (wasUp) retry = kFirstRetryMs;
        note("reconnecting in %u ms", retry);
        if (!pause(retry)) break;
        retry = retry * 2 > o_.retryMaxMs ? o_.retryMaxMs : retry * 2;
        if (retry < kFirstRetryMs) retry = kFirstRetryMs;
    }
    event("BYE");
    return 0;
}

}  // namespace

int runSimulator(const Options &options, std::FILE *events, std::FILE *diag) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(diag, "spmsim-ip: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    struct sigaction oldInt{}, oldTerm{}, oldPipe{};
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &oldPipe);

    int status;
    {
        Simulator sim(options, events, diag);
        status = sim.run();
    }

    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
    return status;
}

}  // namespace spmsimip
