// Helpers of the connection-context tests: a clean pump (contexts, pool,
// globals) around each test, and the serial terminal simulator as a child
// process driven through its stdin and stdout.
//
// Everything here belongs to the test's thread.
#pragma once

#include "link/link_peer.h"
#include "link/rynsock.h"
#include "link/spmsim_process.h"
#include "stack/net_ctx.h"
#include "stack/timers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ryn::test {

// Puts every static context and the link globals back to their start
// values (the pump must not be running). Entries rest as host-to-terminal
// contexts in IDLE, so the pump leaves those a test does not set up alone.
inline void resetContexts() {
    for (int i = 0; i < kStaticContexts; ++i) {
        tagCTX_FSM &c = SrvCtx[i];
        pthread_mutex_lock(&c.lock);
        c.id = i;
        c.spare = 0;
        c.direction = kDirHostToTerminal;
        c.state = TCP_IDLE;
        c.sock = nullptr;
        c.terminal_port = 0;
        c.host_port = 0;
        c.terminal_addr = 0;
        c.has_thread = false;
        c.event = nullptr;
        c.ready = 0;
        c.any_interface = 0;
        c.running = 0;
        pthread_mutex_unlock(&c.lock);
    }
    nbDynamicCtx = 0;
    do_CloseCom = 0;
    GlobalIdle = 0;
    GlobalExit = 0;
    ppp_connected = 0;
}

// Sets up dynamic entry 7 + k (and counts it), as the bridge table would.
inline tagCTX_FSM &dynamicEntry(int k, uint8_t direction, uint16_t port, int32_t state,
                                uint32_t addr = 0) {
    tagCTX_FSM &c = SrvCtx[kFirstDynamicEntry + k];
    pthread_mutex_lock(&c.lock);
    c.id = kFirstDynamicEntry + k;
    c.direction = direction;
    c.terminal_port = port;
    c.host_port = port;
    c.terminal_addr = addr;
    c.state = state;
    pthread_mutex_unlock(&c.lock);
    if (nbDynamicCtx.load() < k + 1) nbDynamicCtx = k + 1;
    return c;
}

inline int32_t stateOf(tagCTX_FSM &c) { return c.state.load(); }

inline sock_type *sockOf(tagCTX_FSM &c) {
    pthread_mutex_lock(&c.lock);
    sock_type *s = c.sock;
    pthread_mutex_unlock(&c.lock);
    return s;
}

inline void setState(tagCTX_FSM &c, int32_t state) {
    pthread_mutex_lock(&c.lock);
    c.state = state;
    pthread_mutex_unlock(&c.lock);
}

// The trace line prefix of a context, as CtxTrace writes it.
inline std::string tracePrefix(int id, const char *dir, int port, int state) {
    return "[" + std::to_string(id) + ":" + dir + "(" + std::to_string(port) + ")] STATE=" + std::to_string(state) +
           " ";
}

// A terminal without a link: the process-wide stack (1.1.1.1) is built over
// an in-memory wire to a second complete stack at the terminal's address,
// which its own thread ticks. Datagrams are queued to the other side and
// taken by its next tick. Start it before NET_Initialize; stop it after
// NET_Deinitialize.
class WireTerminal {
public:
    static constexpr uint32_t kHostAddr = 0x01010101u;

    struct Wire final : ryn::inet::IpDevice {
        std::atomic<ryn::inet::NetStack *> to{nullptr};
        std::atomic<bool> cut{false};  // the line loses everything
        bool transmit(uint8_t *d, size_t n) override {
            ryn::inet::NetStack *s = to.load();
            if (s && !cut.load()) s->inject(d, n);
            return true;
        }
    };

    WireTerminal() {
        terminal_ = std::make_unique<ryn::inet::NetStack>(toHost_);
        terminal_->addressing().my_ip_addr = kTerminalLinkAddr;
        terminal_->addressing().sin_mask = 0xFFFFFF00u;
        toTerminal_.to = terminal_.get();
        ryn::inet::setStackDeviceForTesting(&toTerminal_);
        ticker_ = std::thread([this] {
            while (!stop_.load()) {
                terminal_->tcp_tick(TIME_READ_MS());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~WireTerminal() {
        ryn::inet::setStackDeviceForTesting(nullptr);
        toTerminal_.to = nullptr;
        toHost_.to = nullptr;
        stop_ = true;
        ticker_.join();
    }
    WireTerminal(const WireTerminal &) = delete;
    WireTerminal &operator=(const WireTerminal &) = delete;

    // Once the host's stack exists (after NET_Enter): addresses and the way back.
    void attach() {
        ryn::inet::theStack()->addressing().my_ip_addr = kHostAddr;
        ryn::inet::theStack()->addressing().sin_mask = 0xFFFFFF00u;
        toHost_.to = ryn::inet::theStack();
    }
    void cut(bool on) {
        toTerminal_.cut = on;
        toHost_.cut = on;
    }

    ryn::inet::TcpEngine &tcp() { return terminal_->tcp(); }
    ryn::inet::TcpSocket *record(int i) { return &terminal_->tcp().pool(i); }
    uint16_t stateOf(int i) {
        ryn::inet::TcpSocket *s = record(i);
        std::lock_guard<std::mutex> l(s->lock);
        return s->state;
    }
    int listen(int i, uint16_t port) { return tcp().tcp_listen(record(i), port, 0, 0, 0, TIME_READ_MS()); }
    int open(int i, uint16_t port) { return tcp().tcp_open(record(i), 0, kHostAddr, port, TIME_READ_MS()); }
    int write(int i, const std::string &text) {
        return tcp().tcp_write(record(i), reinterpret_cast<const uint8_t *>(text.data()),
                               static_cast<int>(text.size()), TIME_READ_MS());
    }
    std::string read(int i) {
        uint8_t buf[4096];
        int n = tcp().tcp_read(record(i), buf, sizeof buf, TIME_READ_MS());
        return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(n > 0 ? n : 0));
    }
    void close(int i) { tcp().tcp_close(record(i), TIME_READ_MS()); }
    void abort(int i) { tcp().tcp_abort(record(i), TIME_READ_MS()); }

private:
    Wire toTerminal_, toHost_;
    std::unique_ptr<ryn::inet::NetStack> terminal_;
    std::atomic<bool> stop_{false};
    std::thread ticker_;
};

// The network thread's part, for tests whose own thread plays a bridge:
// one pump step every millisecond until destroyed.
class PumpThread {
public:
    PumpThread()
        : thread_([this] {
              while (!stop_.load()) {
                  NET_ExecPump();
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~PumpThread() {
        stop_ = true;
        thread_.join();
    }
    PumpThread(const PumpThread &) = delete;
    PumpThread &operator=(const PumpThread &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace ryn::test
