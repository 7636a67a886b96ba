// Helpers of the bridge tests and benchmarks: a private network namespace
// for the whole test process (the bridges listen on fixed host ports such as
// 127.0.0.1:5188, which other programs of the machine may use), host
// clients on the loopback, and a checked echo exchange through a bridge.
//
// Everything belongs to the calling thread except echoThrough, which runs
// its own writer thread and joins it before returning.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace bridgetest {

using Clock = std::chrono::steady_clock;

// Moves the process into a network namespace of its own with the loopback
// up. Call before any thread exists (a static initialiser does). False when
// the machine does not allow it; the tests then share the machine's ports.
inline bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

// A connected TCP socket to 127.0.0.1:port, or -1 (retried on refusal until
// the deadline: a listener may be about to open).
inline int connectLoopback(uint16_t port, int seconds = 30) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    do {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return -1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            // TCP_NODELAY's value: <netinet/tcp.h> clashes with the context states' names.
            constexpr int kTcpNoDelay = 1;
            int one = 1;
            setsockopt(s, IPPROTO_TCP, kTcpNoDelay, &one, sizeof one);
            return s;
        }
        close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < end);
    return -1;
}

// Deterministic bytes for a seed (xorshift32), so the reader checks every
// byte against what the writer sent without keeping a copy.
class Pattern {
public:
    explicit Pattern(uint32_t seed) : x_(seed ? seed : 0x9E3779B9u) {}
    uint8_t next() {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 17;
        x_ ^= x_ << 5;
        return static_cast<uint8_t>(x_ >> 24);
    }
    void fill(uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i) p[i] = next();
    }

private:
    uint32_t x_;
};

inline bool sendAll(int fd, const uint8_t *p, size_t n, Clock::time_point end) {
    while (n > 0) {
        pollfd pf{fd, POLLOUT, 0};
        if (poll(&pf, 1, 100) < 0) return false;
        if (Clock::now() > end) return false;
        if (!(pf.revents & (POLLOUT | POLLERR | POLLHUP))) continue;
        ssize_t s = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (s < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (s <= 0) return false;
        p += s;
        n -= static_cast<size_t>(s);
    }
    return true;
}

struct EchoResult {
    bool ok = false;
    std::string error;
    size_t received = 0;
    double seconds = 0;
};

// Sends `bytes` pattern bytes on fd from a thread of its own while reading
// the echo here; every byte is checked. The socket stays open.
inline EchoResult echoThrough(int fd, size_t bytes, uint32_t seed, int seconds = 120, size_t chunk = 16384) {
    EchoResult r;
    auto start = Clock::now();
    auto end = start + std::chrono::seconds(seconds);
    std::atomic<bool> writeOk{true};
    std::thread writer([&] {
        Pattern p(seed);
        std::vector<uint8_t> buf(chunk);
        for (size_t done = 0; done < bytes;) {
            size_t n = std::min(chunk, bytes - done);
            p.fill(buf.data(), n);
            if (!sendAll(fd, buf.data(), n, end)) {
                writeOk = false;
                return;
            }
            done += n;
        }
    });
    Pattern expect(seed);
    std::vector<uint8_t> buf(65536);
    while (r.received < bytes) {
        pollfd pf{fd, POLLIN, 0};
        poll(&pf, 1, 100);
        if (Clock::now() > end) {
            r.error = "timed out after " + std::to_string(r.received) + " of " + std::to_string(bytes) + " bytes";
            break;
        }
        if (!(pf.revents & (POLLIN | POLLERR | POLLHUP))) continue;
        ssize_t n = recv(fd, buf.data(), std::min(buf.size(), bytes - r.received), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            r.error = "connection ended after " + std::to_string(r.received) + " of " + std::to_string(bytes) +
                      " bytes (" + (n == 0 ? std::string("closed") : std::string(strerror(errno))) + ")";
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[static_cast<size_t>(i)] != expect.next()) {
                r.error = "wrong byte at offset " + std::to_string(r.received + static_cast<size_t>(i));
                break;
            }
        }
        if (!r.error.empty()) break;
        r.received += static_cast<size_t>(n);
    }
    if (!r.error.empty()) shutdown(fd, SHUT_RDWR);  // unblocks the writer
    writer.join();
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.ok = r.error.empty() && r.received == bytes && writeOk;
    if (r.error.empty() && !writeOk) r.error = "the writer failed";
    return r;
}

// True when the peer closes or resets fd within the deadline (no data expected).
inline bool closedByPeer(int fd, int seconds = 30) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) continue;
        char c;
        ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
    }
    return false;
}

}  // namespace bridgetest
