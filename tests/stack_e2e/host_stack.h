// End-to-end harness for the embedded TCP/IP stack: the real network
// thread (start_rynsock: serial line, handshake, PPP) drives one NetStack,
// whose TCP engine the test uses directly, against a terminal on a pty
// (the simulator, with lwIP's TCP or the Linux kernel's behind it).
//
//   HostStack host(sim link path);          // private home naming the device
//   ASSERT_TRUE(host.start()) << host.why();
//   TcpSocket* s = host.socket(0);
//   ASSERT_TRUE(host.connect(s, 9));
//   host.sendAll(s, data); host.close(s);
//
// The network thread calls the pump hook every waitTimePump_ms while PPP
// runs; the hook runs tcp_tick and wakes waiters, so helpers wait on pump
// ticks with generous deadlines instead of sleeping. The engine locks each
// socket, so the test thread writes and reads while the pump thread ticks.
// One HostStack per process at a time; everything but the hook belongs to
// the test's thread.
#pragma once

#include "link/link_peer.h"
#include "link/rynsock.h"
#include "stack/pkt_driver.h"
#include "stack/timers.h"
#include "tools/spmsim/pattern.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace stacke2e {

using ryn::inet::TcpSocket;
using namespace std::chrono_literals;

inline constexpr uint32_t kTerminal = 0x01010102u;  // 1.1.1.2
inline constexpr uint32_t kHost = 0x01010101u;      // 1.1.1.1
inline constexpr std::chrono::milliseconds kLong = 120s;

// The socket's fields that tests look at, read under its lock.
struct SocketView {
    uint16_t state = ryn::inet::TCP_CLOSED;
    int32_t error = 0;
    int32_t rx_len = 0, rx_capacity = 0, tx_len = 0, peer_window = 0;
    bool linked = false;
    // Our side has seen the peer's FIN (or the connection is gone).
    bool peerFinished() const {
        using namespace ryn::inet;
        return state == TCP_CLOSE_WAIT || state == TCP_LAST_ACK || state == TCP_CLOSING || state == TCP_TIME_WAIT ||
               state == TCP_CLOSE_MSL || state == TCP_CLOSED;
    }
};

inline SocketView view(TcpSocket *s) {
    std::lock_guard<std::mutex> l(s->lock);
    SocketView v;
    v.state = s->state;
    v.error = s->error;
    v.rx_len = s->rx_len;
    v.rx_capacity = s->rx_capacity;
    v.tx_len = s->tx_len;
    v.peer_window = s->peer_window;
    v.linked = s->linked != 0;
    return v;
}

inline std::string stateName(uint16_t state) {
    char buf[32];
    return ryn::inet::strstate(state, buf, sizeof buf);
}

inline std::vector<uint8_t> pattern(size_t len, uint32_t seed, uint64_t offset = 0) {
    std::vector<uint8_t> v(len);
    spmsim::fillPattern(v.data(), len, offset, seed);
    return v;
}

inline std::string crcHex(const uint8_t *data, size_t len) {
    spmsim::Crc32 c;
    c.update(data, len);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", c.value());
    return buf;
}
inline std::string crcHex(const std::vector<uint8_t> &v) { return crcHex(v.data(), v.size()); }

class HostStack {
public:
    // device: the serial device the activation file names (the simulator's link).
    explicit HostStack(const std::string &device, int pumpMs = 1) : home_(device) {
        previousPump_ = waitTimePump_ms.load();
        Main_SetWaitTimePump1ms(pumpMs);
        stack_ = std::make_unique<ryn::inet::NetStack>();
        stack_->bindToLink();
        current() = this;
        ryn::link::NetworkHooks hooks;
        hooks.execPump = &HostStack::pump;
        ryn::link::bindNetworkHooks(hooks);
    }
    ~HostStack() {
        stop();
        ryn::link::bindNetworkHooks({});
        current() = nullptr;
        stack_->unbindFromLink();
        Main_SetWaitTimePump1ms(previousPump_);
    }
    HostStack(const HostStack &) = delete;
    HostStack &operator=(const HostStack &) = delete;

    // Starts the network thread and waits until PPP is up with our address.
    bool start(std::chrono::milliseconds timeout = 60s) {
        start_rynsock();
        started_ = true;
        bool up = waitFor([&] {
            return is_ppp_connected() == 1 && stack_->addressing().my_ip_addr.load() == kHost &&
                   _pktdevclass.load() == kPppDeviceClass;
        }, timeout);
        if (!up) why_ = "the link did not come up; log:\n" + log_.text();
        return up;
    }
    void stop() {
        if (started_) stop_rynsock();
        started_ = false;
    }
    const std::string &why() const { return why_; }
    std::string logText() const { return log_.text(); }

    ryn::inet::NetStack &stack() { return *stack_; }
    ryn::inet::TcpEngine &tcp() { return stack_->tcp(); }
    TcpSocket *socket(int i) { return &stack_->tcp().pool(i); }
    uint64_t ticks() const { return ticks_.load(); }

    // Re-checks cond after every pump tick (and at least every 50 ms) until
    // it holds or the timeout passes.
    bool waitFor(const std::function<bool()> &cond, std::chrono::milliseconds timeout = kLong) {
        auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            uint64_t seen = ticks_.load();
            if (cond()) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            std::unique_lock<std::mutex> l(tickMutex_);
            tickCond_.wait_for(l, 50ms, [&] { return ticks_.load() != seen; });
        }
    }
    // Waits for n further pump ticks (a span of protocol time, not a sync).
    bool waitTicks(uint64_t n) {
        uint64_t until = ticks_.load() + n;
        return waitFor([&] { return ticks_.load() >= until; });
    }

    // Active open to the terminal; true once established.
    bool connect(TcpSocket *s, uint16_t port, std::chrono::milliseconds timeout = 60s) {
        if (tcp().tcp_open(s, 0, kTerminal, port, TIME_READ_MS()) != 1) return false;
        waitFor([&] { return view(s).state != ryn::inet::TCP_SYN_SENT; }, timeout);
        return tcp().tcp_established(s) && view(s).state != ryn::inet::TCP_CLOSED;
    }
    // Passive open: waits until a peer connected (established or later).
    bool accept(TcpSocket *s, std::chrono::milliseconds timeout = 60s) {
        return waitFor([&] {
            auto v = view(s);
            return v.state > ryn::inet::TCP_SYN_RECEIVED;
        }, timeout);
    }

    // Writes everything, waiting for room in the send buffer. False when the
    // socket refuses writing (closed, reset).
    bool sendAll(TcpSocket *s, const uint8_t *data, size_t len, std::chrono::milliseconds timeout = kLong) {
        size_t done = 0;
        auto end = std::chrono::steady_clock::now() + timeout;
        while (done < len) {
            int chunk = static_cast<int>(std::min<size_t>(len - done, 65536));
            int n = tcp().tcp_write(s, data + done, chunk, TIME_READ_MS());
            if (n < 0) return false;
            done += static_cast<size_t>(n);
            if (n == 0) {
                if (std::chrono::steady_clock::now() >= end) return false;
                waitFor([&] { return view(s).tx_len < ryn::inet::kTcpBufferSize; }, 1s);
                uint64_t t = ticks_.load();
                waitFor([&] { return ticks_.load() != t; }, 1s);
            }
        }
        return true;
    }
    bool sendAll(TcpSocket *s, const std::vector<uint8_t> &v) { return sendAll(s, v.data(), v.size()); }

    // Takes what is buffered without ever reading an empty buffer (which,
    // after the peer's FIN, would close our side).
    size_t readAvailable(TcpSocket *s, std::vector<uint8_t> *out) {
        size_t total = 0;
        uint8_t buf[16384];
        while (view(s).rx_len > 0) {
            int n = tcp().tcp_read(s, buf, sizeof buf, TIME_READ_MS());
            if (n <= 0) break;
            if (out) out->insert(out->end(), buf, buf + n);
            total += static_cast<size_t>(n);
        }
        return total;
    }
    // Reads until the peer's FIN (or reset) and an empty buffer, or until
    // `limit` bytes when given.
    bool receiveUntilFin(TcpSocket *s, std::vector<uint8_t> *out, std::chrono::milliseconds timeout = kLong,
                         size_t limit = SIZE_MAX) {
        size_t got = 0;
        return waitFor([&] {
            got += readAvailable(s, out);
            if (got >= limit) return true;
            auto v = view(s);
            return v.rx_len == 0 && v.peerFinished();
        }, timeout);
    }

    // Sends `data` on `out` and closes it after the last byte, while reading
    // `in` into *got (a peer that echoes stops reading when we do); true once
    // everything went out and `in` has the peer's FIN with all of it read.
    bool sendCloseWhileReading(TcpSocket *out, const std::vector<uint8_t> &data, TcpSocket *in,
                               std::vector<uint8_t> *got) {
        size_t written = 0;
        return waitFor([&] {
            if (written < data.size()) {
                int n = tcp().tcp_write(out, data.data() + written, static_cast<int>(data.size() - written),
                                        TIME_READ_MS());
                if (n > 0) written += static_cast<size_t>(n);
                if (written == data.size()) close(out);
            }
            readAvailable(in, got);
            auto v = view(in);
            return written == data.size() && v.rx_len == 0 && v.peerFinished();
        });
    }
    // Writes `data` until the peer's window is shut and our send buffer
    // full; *written counts what the engine took.
    bool fillUntilWindowShut(TcpSocket *s, const std::vector<uint8_t> &data, size_t *written) {
        return waitFor([&] {
            int n = tcp().tcp_write(s, data.data() + *written, static_cast<int>(data.size() - *written),
                                    TIME_READ_MS());
            if (n > 0) *written += static_cast<size_t>(n);
            auto v = view(s);
            return v.peer_window == 0 && v.tx_len == ryn::inet::kTcpBufferSize;
        });
    }

    void close(TcpSocket *s) { tcp().tcp_close(s, TIME_READ_MS()); }
    void abort(TcpSocket *s) { tcp().tcp_abort(s, TIME_READ_MS()); }
    // Waits until the engine retired the socket (TIME-WAIT counts as done:
    // it lasts seconds and carries nothing).
    bool waitRetired(TcpSocket *s, std::chrono::milliseconds timeout = 60s) {
        return waitFor([&] {
            auto v = view(s);
            return !v.linked || v.state == ryn::inet::TCP_TIME_WAIT;
        }, timeout);
    }

private:
    static HostStack *&current() {
        static HostStack *h = nullptr;
        return h;
    }
    // Runs on the network thread, which start/stop order against the test
    // thread's use of `current()`.
    static void pump() {
        HostStack *h = current();
        if (!h) return;
        h->stack_->tcp_tick(TIME_READ_MS());
        {
            std::lock_guard<std::mutex> l(h->tickMutex_);
            ++h->ticks_;
        }
        h->tickCond_.notify_all();
    }

    ryn::test::PrivateLog log_;
    ryn::test::PrivateHome home_;
    std::unique_ptr<ryn::inet::NetStack> stack_;
    int previousPump_ = 10;
    bool started_ = false;
    std::string why_;
    std::mutex tickMutex_;
    std::condition_variable tickCond_;
    std::atomic<uint64_t> ticks_{0};
};

}  // namespace stacke2e
