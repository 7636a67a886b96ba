// A minimal host for the terminal simulator tests, made of plain sockets
// (and optionally OpenSSL server sessions): it listens on two ephemeral
// loopback ports (channel and services), sends requests on the channel,
// and answers the terminal's services requests the way the host library
// does (printer commands: open issues job ids, everything else status 0;
// echo; pushed results acknowledged with 1). Everything received is
// recorded so tests can check order and content.
//
// Reads wait with deadlines (SO_RCVTIMEO slices), never bare sleeps.
// Threads: the services responder runs on its own thread and is joined by
// stop() or the destructor; the channel is used by the test thread.
#pragma once

#include "services/peers.h"
#include "services/wire.h"
#include "tools/terminal/message.h"
#include "tools/terminal/printer.h"
#include "tools/terminal/protocol.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using ryn::test::kDeadlineMs;

// One accepted connection, plain or TLS.
class PeerConn {
public:
    PeerConn(int fd, SSL *ssl) : fd_(fd), ssl_(ssl) {
        timeval tv{0, 100 * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        timeval sv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sv, sizeof sv);
    }
    ~PeerConn() {
        if (ssl_) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        ::close(fd_);
    }
    PeerConn(const PeerConn &) = delete;
    PeerConn &operator=(const PeerConn &) = delete;
    int fd() const { return fd_; }

    bool write(const std::string &bytes) {
        std::lock_guard<std::mutex> l(writeMu_);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ssl_ ? SSL_write(ssl_, bytes.data() + done, int(bytes.size() - done))
                                   : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }

    // One whole envelope; empty on close, error or deadline (*closed tells
    // a close apart).
    std::string readEnvelope(int timeoutMs = kDeadlineMs, bool *closed = nullptr,
                             const std::atomic<bool> *stop = nullptr) {
        if (closed) *closed = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t want = 6;
        while (pending_.size() < want) {
            if (std::chrono::steady_clock::now() > end || (stop && *stop)) return {};
            char buf[4096];
            const ssize_t n = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                pending_.append(buf, size_t(n));
            } else if (n == 0 || !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ||
                       (ssl_ && SSL_get_error(ssl_, int(n)) != SSL_ERROR_WANT_READ)) {
                if (ssl_) ERR_clear_error();
                if (closed) *closed = true;
                return {};
            }
            if (pending_.size() >= 4)
                want = size_t(ryn::wire::loadLe32(reinterpret_cast<const unsigned char *>(pending_.data()))) + 6;
        }
        std::string out = pending_.substr(0, want);
        pending_.erase(0, want);
        return out;
    }

    // True once the terminal closed this connection.
    bool seesClose(int timeoutMs = kDeadlineMs) {
        bool closed = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            readEnvelope(200, &closed);
            if (closed) return true;
        }
        return false;
    }

private:
    int fd_;
    SSL *ssl_;
    std::mutex writeMu_;
    std::string pending_;
};

inline simterm::Tree decode(const std::string &message) {
    simterm::Tree tree;
    simterm::decodeMessage(message, tree);
    return tree;
}

// One printer command as the host saw it.
struct PrinterCommand {
    uint32_t code = 0, jobId = 0, param1 = 0;
    std::string text;  // payload up to its first NUL
};

inline PrinterCommand printerCommandOf(const std::string &message) {
    PrinterCommand c;
    const std::string v = decode(message).value();
    if (v.size() < simterm::printer::kHeaderLen) return c;
    const auto *p = reinterpret_cast<const unsigned char *>(v.data());
    c.code = ryn::wire::loadLe32(p);
    c.jobId = ryn::wire::loadLe32(p + 4);
    c.param1 = ryn::wire::loadLe32(p + 8);
    c.text = std::string(v.c_str() + simterm::printer::kHeaderLen);
    return c;
}

// Listens on two loopback ports; accept() takes the terminal's channel
// then its services connection and starts the services responder.
class HostPeer {
public:
    // Read by the responder thread; tests may change it at any time.
    struct Behaviour {
        std::atomic<bool> answerPrinter{true};
        std::atomic<uint32_t> printerStatus{0};  // status of every answer but open's
        std::atomic<bool> answerEcho{true};
        std::atomic<uint8_t> pushAck{1};
    };

    // bindAddress in network byte order (default 127.0.0.1).
    explicit HostPeer(SSL_CTX *tls = nullptr, uint32_t bindAddress = htonl(INADDR_LOOPBACK))
        : tls_(tls), bindAddress_(bindAddress) {
        listen();
    }
    ~HostPeer() { stop(); closeListeners(); }

    uint16_t channelPort() const { return channelPort_; }
    uint16_t servicesPort() const { return servicesPort_; }
    Behaviour behaviour;

    // Accepts both connections (channel first). With TLS, a failed
    // handshake returns false.
    bool accept(int timeoutMs = kDeadlineMs) {
        channel_ = acceptOne(channelListen_, timeoutMs);
        if (!channel_) return false;
        services_ = acceptOne(servicesListen_, timeoutMs);
        if (!services_) return false;
        stop_ = false;
        responder_ = std::thread([this] { respond(); });
        return true;
    }
    // Accepts one connection on the channel port and runs the handshake;
    // for refusal tests. True when a connection came and its handshake
    // succeeded.
    bool acceptChannelOnly(int timeoutMs = kDeadlineMs) {
        channel_ = acceptOne(channelListen_, timeoutMs);
        return channel_ != nullptr;
    }
    bool sawConnection() const { return sawConnection_; }

    PeerConn &channel() { return *channel_; }
    PeerConn &services() { return *services_; }

    // Sends a request on the channel and returns the answer (empty on
    // deadline or close).
    std::string exchange(const std::string &request, int timeoutMs = kDeadlineMs) {
        if (!channel_->write(request)) return {};
        return channel_->readEnvelope(timeoutMs);
    }

    std::vector<std::string> servicesRequests() {
        std::lock_guard<std::mutex> l(mu_);
        return requests_;
    }
    std::vector<PrinterCommand> printerCommands() {
        std::vector<PrinterCommand> out;
        for (const auto &m : servicesRequests())
            if (decode(m).tag() == simterm::services::kPrinterReq) out.push_back(printerCommandOf(m));
        return out;
    }
    size_t countServices(uint32_t tag) {
        size_t n = 0;
        for (const auto &m : servicesRequests()) n += decode(m).tag() == tag;
        return n;
    }

    // Drops both connections (the terminal sees the host go away).
    void dropConnections() {
        stop();
        channel_.reset();
        services_.reset();
    }
    // Host restart: connections and listeners go, then listen again on
    // the same ports.
    void restart() {
        dropConnections();
        closeListeners();
        listen(channelPort_, servicesPort_);
    }

    void stop() {
        stop_ = true;
        if (responder_.joinable()) responder_.join();
    }

private:
    int listenOn(uint16_t &port) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = bindAddress_;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            return -1;
        }
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        return fd;
    }
    void listen(uint16_t channelPort = 0, uint16_t servicesPort = 0) {
        channelPort_ = channelPort;
        servicesPort_ = servicesPort;
        channelListen_ = listenOn(channelPort_);
        servicesListen_ = listenOn(servicesPort_);
    }
    void closeListeners() {
        if (channelListen_ >= 0) ::close(channelListen_);
        if (servicesListen_ >= 0) ::close(servicesListen_);
        channelListen_ = servicesListen_ = -1;
    }

    std::unique_ptr<PeerConn> acceptOne(int listenFd, int timeoutMs) {
        pollfd pfd{listenFd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) <= 0) return nullptr;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return nullptr;
        sawConnection_ = true;
        ryn::test::noDelay(fd);
        SSL *ssl = nullptr;
        if (tls_) {
            timeval tv{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ssl = SSL_new(tls_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                ERR_clear_error();
                SSL_free(ssl);
                ::close(fd);
                return nullptr;
            }
            cipher_ = SSL_get_cipher_name(ssl);
            version_ = SSL_get_version(ssl);
        }
        return std::make_unique<PeerConn>(fd, ssl);
    }

public:
    std::string cipher_, version_;

private:
    void respond() {
        uint32_t lastJob = 0;
        while (!stop_) {
            bool closed = false;
            const std::string m = services_->readEnvelope(200, &closed, &stop_);
            if (closed) return;
            if (m.empty()) continue;
            {
                std::lock_guard<std::mutex> l(mu_);
                requests_.push_back(m);
            }
            const simterm::Tree t = decode(m);
            namespace sv = simterm::services;
            if (t.tag() == sv::kPrinterReq && behaviour.answerPrinter) {
                const PrinterCommand c = printerCommandOf(m);
                uint32_t job = c.jobId, status = behaviour.printerStatus;
                if (c.code == simterm::printer::kOpen) {
                    job = ++lastJob;
                    status = 0;
                }
                std::string record(16, '\0');
                auto *p = reinterpret_cast<unsigned char *>(record.data());
                ryn::wire::storeLe32(p, c.code);
                ryn::wire::storeLe32(p + 4, job);
                ryn::wire::storeLe32(p + 8, status);
                services_->write(simterm::encodeMessage(simterm::answerTag(sv::kPrinterReq), {}, record));
            } else if (t.tag() == sv::kEchoReq && behaviour.answerEcho) {
                services_->write(simterm::encodeMessage(simterm::answerTag(sv::kEchoReq), {}));
            } else if (t.tag() == sv::kPushResultReq) {
                services_->write(simterm::encodeMessage(
                    simterm::answerTag(sv::kPushResultReq),
                    {{sv::kPushResultState, std::string(1, char(behaviour.pushAck.load()))}}));
            }
        }
    }

    SSL_CTX *tls_;
    uint32_t bindAddress_;
    int channelListen_ = -1, servicesListen_ = -1;
    uint16_t channelPort_ = 0, servicesPort_ = 0;
    std::unique_ptr<PeerConn> channel_, services_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> sawConnection_{false};
    std::thread responder_;
    std::mutex mu_;
    std::vector<std::string> requests_;
};

// A transaction request as the host library builds it.
inline std::string transactionRequest(const std::string &amount,
                                      std::vector<std::pair<uint32_t, std::string>> extra = {}) {
    namespace rq = simterm::concert_req;
    std::vector<std::pair<uint32_t, std::string>> children = {
        {rq::kTermNum, "42"}, {rq::kAmount, amount}, {rq::kConstant2, "1"}, {rq::kConstant3, "0"},
        {rq::kMode, "0"},     {rq::kCurrency, "978"}, {rq::kConstant7, "1"}};
    for (auto &e : extra) children.push_back(std::move(e));
    return simterm::encodeMessage(simterm::channel::kTransactionReq, children);
}

}  // namespace simtest
