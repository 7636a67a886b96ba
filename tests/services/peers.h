// Real TCP peers on loopback for the service tests: a terminal that accepts
// the host's channel and answers each enveloped request with a scripted
// reply, and a client that plays the terminal's side of the services
// connection. Ports are ephemeral, so tests run in parallel safely. Waits
// are condition-based with generous deadlines, never bare sleeps.
#pragma once

#include "ryn_tlv.h"
#include "services/envelope.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ryn::test {

inline constexpr int kDeadlineMs = 20000;

inline bool waitFor(const std::function<bool()> &condition, int ms = kDeadlineMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += size_t(n);
    }
}

inline void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Reads one whole envelope (header first, then the rest). Empty on EOF,
// error or deadline; `eof` tells a clean close apart.
inline std::string readEnvelope(int fd, int timeoutMs = kDeadlineMs, bool *eof = nullptr) {
    std::string out;
    size_t want = 6;
    if (eof) *eof = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return {};
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(left)) <= 0) continue;
        char buf[4096];
        const size_t ask = std::min(sizeof buf, want - out.size());
        const ssize_t n = ::recv(fd, buf, ask, 0);
        if (n <= 0) {
            if (eof) *eof = (n == 0);
            return {};
        }
        out.append(buf, size_t(n));
        if (out.size() >= 4 && want == 6) {
            const uint32_t payload = wire::loadLe32(reinterpret_cast<const unsigned char *>(out.data()));
            want = size_t(payload) + 6;
        }
    }
    return out;
}

// True once the peer has closed `fd` (EOF or reset) within the deadline.
inline bool seesClose(int fd, int timeoutMs = kDeadlineMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

// Envelope of a tree with a root tag and optional children (tag, value).
inline std::string envelopeOf(uint32_t rootTag,
                              const std::vector<std::pair<uint32_t, std::string>> &children = {}) {
    sTLV_TREE_NODE *root = TlvTree_New(rootTag);
    for (const auto &[tag, value] : children)
        TlvTree_AddChild(root, tag, value.data(), uint32_t(value.size()));
    std::string out = services::serializeTlv(root);
    TlvTree_Release(root);
    return out;
}

// Root tag of an envelope, 0 when it does not decode.
inline uint32_t rootTagOf(const std::string &message) {
    sTLV_TREE_NODE *tree = nullptr;
    if (services::TLVTree_DecodeServiceMsg(reinterpret_cast<const unsigned char *>(message.data()),
                                           message.size(), &tree) != services::DecodeStatus::Ok)
        return 0;
    const uint32_t tag = TlvTree_GetTag(tree);
    TlvTree_Release(tree);
    return tag;
}

inline std::string firstChildValue(const std::string &message) {
    sTLV_TREE_NODE *tree = nullptr;
    if (services::TLVTree_DecodeServiceMsg(reinterpret_cast<const unsigned char *>(message.data()),
                                           message.size(), &tree) != services::DecodeStatus::Ok)
        return {};
    std::string value;
    if (sTLV_TREE_NODE *c = TlvTree_GetFirstChild(tree))
        value.assign(static_cast<const char *>(TlvTree_GetData(c)), TlvTree_GetLength(c));
    TlvTree_Release(tree);
    return value;
}

inline int listenLoopback(uint16_t &port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(fd, 8);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

inline int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    noDelay(fd);
    return fd;
}

// The terminal's end of the channel: accepts connections one after the
// other on 127.0.0.1:<ephemeral> and hands every whole request envelope to
// the responder, which writes whatever it likes on the connection (or
// closes it by returning false).
class TerminalPeer {
public:
    using Responder = std::function<bool(int fd, const std::string &request, int index)>;

    explicit TerminalPeer(Responder responder) : responder_(std::move(responder)) {
        listenFd_ = listenLoopback(port_);
        thread_ = std::thread([this] { run(); });
    }
    ~TerminalPeer() {
        stop_ = true;
        thread_.join();
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    int requests() const { return requests_.load(); }
    int closed() const { return closed_.load(); }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> l(mu_);
        return received_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) continue;
            noDelay(fd);
            ++accepted_;
            serve(fd);
            ::close(fd);
            ++closed_;
        }
    }
    void serve(int fd) {
        while (!stop_) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            bool eof = false;
            const std::string request = readEnvelope(fd, kDeadlineMs, &eof);
            if (request.empty()) return;
            int index;
            {
                std::lock_guard<std::mutex> l(mu_);
                received_.push_back(request);
                index = requests_++;
            }
            if (!responder_(fd, request, index)) return;
        }
    }

    Responder responder_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> requests_{0};
    std::atomic<int> closed_{0};
    std::mutex mu_;
    std::vector<std::string> received_;
    std::thread thread_;
};

}  // namespace ryn::test
