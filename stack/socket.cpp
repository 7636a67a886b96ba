// The pool and lifecycle of the process-wide stack, the operations that
// dispatch on a record's protocol, the polling waits, the line-mode
// operations and the IPv4 text helpers.
#include "stack/socket.h"

#include "service/log.h"
#include "stack/timers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

using ryn::inet::NetStack;
using ryn::inet::theStack;
namespace ip = ryn::inet::ip;
namespace sockmode = ryn::inet::sockmode;

namespace {
std::atomic<NetStack *> g_stack{nullptr};
std::mutex g_lifeMu;                         // sock_init/sock_deinit against each other
ryn::inet::IpDevice *g_testDevice = nullptr;  // GUARDED_BY(g_lifeMu)
std::atomic<sock_yield_fn> system_yield{nullptr};

// Error codes of the waits and writes.
constexpr int32_t kErrVanished = 11, kErrOpenTimeout = 12, kErrDataTimeout = 13, kErrCloseTimeout = 14,
                  kErrWrite = 15, kErrEnqueue = 16;

uint32_t now() { return TIME_READ_MS(); }

bool isTcp(const sock_type *s) { return s && s->ip_type == ip::kProtoTcp; }
bool isUdp(const sock_type *s) { return s && s->ip_type == ip::kProtoUdp; }

// Close / abort that keep the caller's ownership (the waits use them).
int closeSocket(NetStack *st, sock_type *s) {
    if (isTcp(s)) {
        st->tcp().tcp_close(s, now());
        return tcp_tick(s);
    }
    if (isUdp(s)) st->udp().close(s);
    return 0;
}
void abortSocket(NetStack *st, sock_type *s) {
    if (isTcp(s)) {
        st->tcp().tcp_abort(s, now());
        return;
    }
    st->udp().close(s);
}

int finish(int result, int *status) {
    if (status) *status = result;
    return result;
}

// seconds > 0 arms the socket's timer; 0 waits without limit; < 0 means a
// single pass, which never looks at the timer.
void armTimer(sock_type *s, int seconds) {
    std::lock_guard<std::mutex> l(s->lock);
    s->user_timer = seconds > 0 ? set_timeout(static_cast<uint32_t>(seconds) * 1000u) : 0;
}
bool timerExpired(sock_type *s) {
    uint32_t t;
    {
        std::lock_guard<std::mutex> l(s->lock);
        t = s->user_timer;
    }
    return t != 0 && chk_timeout(t) != 0;
}
void setError(sock_type *s, int32_t code, bool onlyWhenUnset = false) {
    std::lock_guard<std::mutex> l(s->lock);
    if (!onlyWhenUnset || s->error == 0) s->error = code;
}

// One turn's tail: the per-call handler (nonzero ends the wait with its
// value), then the socket's yield function. A wait with neither would spin,
// so it rests a millisecond instead.
bool handlerEnds(sock_type *s, sock_yield_fn handler, bool once, int *result) {
    if (handler) {
        int r = handler(s);
        if (r) {
            *result = r;
            return true;
        }
    }
    sock_yield_fn y;
    {
        std::lock_guard<std::mutex> l(s->lock);
        y = s->yield_fn;
    }
    if (y) y(s);
    else if (!once && !handler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return false;
}

uint16_t stateOf(sock_type *s) {
    std::lock_guard<std::mutex> l(s->lock);
    return s->state;
}
}  // namespace

namespace ryn::inet {
NetStack *theStack() { return g_stack.load(std::memory_order_acquire); }

void setStackDeviceForTesting(IpDevice *device) {
    std::lock_guard<std::mutex> g(g_lifeMu);
    g_testDevice = device;
}
}  // namespace ryn::inet

// --- Pool and lifecycle -----------------------------------------------------

void sock_init() {
    std::lock_guard<std::mutex> g(g_lifeMu);
    if (g_stack.load()) return;
    NetStack *st = g_testDevice ? new NetStack(*g_testDevice) : new NetStack();
    g_stack.store(st, std::memory_order_release);
}

int sock_enter() {
    NetStack *st = theStack();
    if (!st) return 1;
    sock_exit();
    st->tcp().resetPool();
    magic_init();
    if (st->usesLink()) st->bindToLink();
    return 0;
}

void sock_exit() {
    NetStack *st = theStack();
    if (!st) return;
    st->tcp().tcp_shutdown(now());
    st->udp().closeAll();
    if (st->usesLink()) st->unbindFromLink();
}

void sock_deinit() {
    std::lock_guard<std::mutex> g(g_lifeMu);
    NetStack *st = g_stack.exchange(nullptr);
    if (!st) return;
    st->tcp().tcp_shutdown(now());
    st->udp().closeAll();
    delete st;  // unbinds from the link
}

sock_type *sock_find_free() {
    NetStack *st = theStack();
    if (!st) return nullptr;
    for (int i = 0; i < ryn::inet::TcpEngine::kPoolSize; ++i) {
        sock_type *s = &st->tcp().pool(i);
        {
            std::lock_guard<std::mutex> l(s->lock);
            if (s->reserved || s->linked || s->state != ryn::inet::TCP_CLOSED) continue;
            s->reserved = true;
            // Whatever a given-back record still held is nobody's now.
            s->ip_type = 0;
            s->rx_len = 0;
            s->frag = false;
        }
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "sock_find_free = %d s=%x", i,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(s)));
        return s;
    }
    return nullptr;
}

int tcp_tick(sock_type *s) {
    NetStack *st = theStack();
    if (!st) return 0;
    if (s) st->tcp().unlinkIfClosed(s);
    st->tcp_tick(now());
    return s ? s->ip_type.load() : 0;
}

int tcp_allclosed() {
    NetStack *st = theStack();
    return st ? st->tcp().tcp_allclosed() : 1;
}

// --- Opening ------------------------------------------------------------------

namespace {
// A record that is to become a TCP socket stops being a UDP one first.
void leaveUdp(NetStack *st, sock_type *s) {
    if (isUdp(s)) st->udp().close(s);
}
}  // namespace

int tcp_open(sock_type *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, sock_data_handler handler) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    leaveUdp(st, s);
    s->reserved = true;
    return st->tcp().tcp_open(s, local_port, peer_addr, peer_port, now(), handler, system_yield.load());
}

int tcp_listen(sock_type *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port,
               sock_data_handler handler, uint16_t timeout_s) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    leaveUdp(st, s);
    s->reserved = true;
    return st->tcp().tcp_listen(s, local_port, peer_addr, peer_port, timeout_s, now(), handler,
                                system_yield.load());
}

int udp_open(sock_type *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, sock_data_handler handler) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    if (isTcp(s) || s->linked) st->tcp().tcp_abort(s, now());
    return st->udp().open(s, local_port, peer_addr, peer_port, handler, system_yield.load());
}

int udp_close(sock_type *s) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    return st->udp().close(s);
}

int udp_write(sock_type *s, const uint8_t *data, int len) {
    NetStack *st = theStack();
    if (!st || !s) return -1;
    return st->udp().write(s, data, len);
}

int udp_read(sock_type *s, uint8_t *buf, int len) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    return st->udp().read(s, buf, len);
}

// --- Operations used by the connection contexts -------------------------------

int sock_mode(sock_type *s, uint16_t bits) {
    if (!s) return 0;
    std::lock_guard<std::mutex> l(s->lock);
    s->mode = static_cast<uint16_t>(bits | (s->mode & ~(sockmode::kAscii | sockmode::kUdpNoChecksum)));
    return s->mode;
}

int sock_fastread(sock_type *s, uint8_t *buf, int len) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    // "Everything held" is only safe when nothing is copied out.
    if (len < 0 && buf) len = 0;
    if (isUdp(s)) return st->udp().read(s, buf, len);
    if (isTcp(s)) return st->tcp().tcp_read(s, buf, len, now());
    return 0;
}

int sock_fastwrite(sock_type *s, const uint8_t *data, int len) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    if (isUdp(s)) return st->udp().write(s, data, std::min(len, st->udp().maxPayload()));
    if (!isTcp(s)) return 0;
    if (len > 0) {
        std::lock_guard<std::mutex> l(s->lock);
        if (s->state == ryn::inet::TCP_ESTABLISHED || s->state == ryn::inet::TCP_CLOSE_WAIT)
            s->tcp_flags |= ryn::inet::tcp::kPsh;
    }
    return st->tcp().tcp_write(s, data, len, now());
}

int sock_sselect(sock_type *s, int what) {
    if (!s) return 4;
    if (what == 2) {
        int32_t held;
        {
            std::lock_guard<std::mutex> l(s->lock);
            held = s->rx_len;
        }
        if (held) return 2;
        return s->ip_type == 0 ? 4 : 0;
    }
    uint16_t type = s->ip_type;
    if (type == 0) return 4;
    if (what != 1) return 0;
    return sock_established(s) ? 1 : 0;
}

int sock_close(sock_type *s) {
    NetStack *st = theStack();
    if (!st || !s) return 0;
    // The owner's receive buffer may die once it gave the record back, but a
    // closing connection still takes data: it goes to the built-in one.
    st->tcp().releaseCallerBuffer(s);
    int r = closeSocket(st, s);
    s->reserved = false;
    return r;
}

void sock_abort(sock_type *s) {
    NetStack *st = theStack();
    if (!st || !s) return;
    abortSocket(st, s);
    st->tcp().releaseCallerBuffer(s);
    s->reserved = false;
}

// --- Waits --------------------------------------------------------------------

int _ip_delay0(sock_type *s, int seconds, sock_yield_fn handler, int *status) {
    NetStack *st = theStack();
    if (!st || !s) return finish(-1, status);
    if (isUdp(s)) return finish(0, status);
    const bool once = seconds < 0;
    if (!once) armTimer(s, seconds);
    for (;;) {
        if (isTcp(s) && stateOf(s) > ryn::inet::TCP_SYN_RECEIVED) return finish(0, status);
        if (!tcp_tick(s)) {
            setError(s, kErrVanished, true);
            return finish(-1, status);
        }
        if (!once && timerExpired(s)) {
            setError(s, kErrOpenTimeout);
            closeSocket(st, s);
            return finish(-1, status);
        }
        int r;
        if (handlerEnds(s, handler, once, &r)) return finish(r, status);
        if (once) return finish(1, status);
    }
}

int _ip_delay1(sock_type *s, int seconds, sock_yield_fn handler, int *status) {
    NetStack *st = theStack();
    if (!st || !s) return finish(-1, status);
    const bool once = seconds < 0;
    if (!once) armTimer(s, seconds);
    sock_flush(s);
    for (;;) {
        if (sock_dataready(s)) return finish(0, status);
        if (!tcp_tick(s)) return finish(-1, status);
        if (!once && timerExpired(s)) {
            setError(s, kErrDataTimeout);
            closeSocket(st, s);
            return finish(-1, status);
        }
        int r;
        if (handlerEnds(s, handler, once, &r)) return finish(r, status);
        if (once) return finish(1, status);
    }
}

int _ip_delay2(sock_type *s, int seconds, sock_yield_fn handler, int *status) {
    NetStack *st = theStack();
    if (!st || !s) return finish(-1, status);
    if (isUdp(s)) {
        if (status) *status = 1;
        return 0;
    }
    const bool once = seconds < 0;
    if (!once) armTimer(s, seconds);
    for (;;) {
        // Unread data is dropped (through the read path, which keeps the
        // window and any out-of-order block right).
        if (isTcp(s)) st->tcp().tcp_read(s, nullptr, -1, now());
        if (!tcp_tick(s)) return finish(0, status);
        if (!once && timerExpired(s)) {
            setError(s, kErrCloseTimeout);
            abortSocket(st, s);
            return finish(-1, status);
        }
        int r;
        if (handlerEnds(s, handler, once, &r)) return finish(r, status);
        if (once) return finish(1, status);
    }
}

// --- The rest of the interface ------------------------------------------------

void sock_yield(sock_type *s, sock_yield_fn fn) {
    if (!s) {
        system_yield = fn;
        return;
    }
    std::lock_guard<std::mutex> l(s->lock);
    s->yield_fn = fn;
}

int sock_read(sock_type *s, uint8_t *buf, int len) {
    if (!s || !buf || len <= 0) return 0;
    int total = 0;
    do {
        int n = sock_fastread(s, buf + total, len - total);
        if (n > 0) total += n;
        if (total >= len) break;
        sock_yield_fn y;
        {
            std::lock_guard<std::mutex> l(s->lock);
            y = s->yield_fn;
        }
        if (y) y(s);
        else if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (tcp_tick(s));
    return total;
}

namespace {
int writeOnce(NetStack *st, sock_type *s, const uint8_t *data, int len) {
    if (isUdp(s)) return st->udp().write(s, data, std::min(len, st->udp().maxPayload()));
    if (!isTcp(s)) return -1;
    {
        std::lock_guard<std::mutex> l(s->lock);
        if (s->state == ryn::inet::TCP_ESTABLISHED || s->state == ryn::inet::TCP_CLOSE_WAIT)
            s->tcp_flags |= ryn::inet::tcp::kPsh;
    }
    return st->tcp().tcp_write(s, data, len, now());
}
}  // namespace

int sock_write(sock_type *s, const uint8_t *data, int len) {
    NetStack *st = theStack();
    if (!st || !s || s->ip_type == 0) return -1;
    if (len <= 0 || !data) return 0;
    int total = 0;
    while (total < len) {
        if (!tcp_tick(s)) return -1;
        int r = writeOnce(st, s, data + total, len - total);
        sock_yield_fn y;
        {
            std::lock_guard<std::mutex> l(s->lock);
            y = s->yield_fn;
        }
        if (y) y(s);
        if (r < 0) {
            setError(s, kErrWrite);
            return -1;
        }
        if (r == 0) break;
        total += r;
    }
    return total;
}

int sock_enqueue(sock_type *s, const uint8_t *data, int len) {
    NetStack *st = theStack();
    if (!st || !s || len <= 0 || !data) return 0;
    if (isTcp(s)) {
        // Copied into the send buffer: the caller's memory is free on return.
        int r = st->tcp().tcp_write(s, data, len, now());
        return r;
    }
    if (!isUdp(s)) return 0;
    int total = 0;
    const int chunk = st->udp().maxPayload();
    while (total < len) {
        int r = st->udp().write(s, data + total, std::min(chunk, len - total));
        if (r <= 0) {
            setError(s, kErrEnqueue);
            break;
        }
        total += r;
    }
    return total;
}

void sock_setbuf(sock_type *s, uint8_t *buf, int len) {
    NetStack *st = theStack();
    if (!st || !s || len < 0) return;
    st->tcp().setbuf(s, buf && len > 0 ? buf : nullptr, len);
}

void sock_flush(sock_type *s) {
    NetStack *st = theStack();
    if (st && isTcp(s)) st->tcp().tcp_flush(s, now());
}

void sock_noflush(sock_type *s) {
    if (!isTcp(s)) return;
    std::lock_guard<std::mutex> l(s->lock);
    s->tcp_flags ^= ryn::inet::tcp::kPsh;
    s->mode |= sockmode::kNoFlushNext;
}

void sock_flushnext(sock_type *s) {
    if (!isTcp(s)) return;
    std::lock_guard<std::mutex> l(s->lock);
    s->tcp_flags |= ryn::inet::tcp::kPsh;
    s->mode &= static_cast<uint16_t>(~sockmode::kNoFlushNext);
}

int sock_established(sock_type *s) {
    if (!s) return 0;
    if (isUdp(s)) return 1;
    if (!isTcp(s)) return 0;
    uint16_t state = stateOf(s);
    return state == ryn::inet::TCP_ESTABLISHED || state == ryn::inet::TCP_ESTABLISHED_CLOSING ||
           state == ryn::inet::TCP_CLOSE_WAIT;
}

void sock_sturdy(sock_type *s, int level) {
    NetStack *st = theStack();
    if (!st || !s) return;
    bool abort;
    {
        std::lock_guard<std::mutex> l(s->lock);
        s->sturdiness = static_cast<uint8_t>(std::clamp(level, 0, 255));
        abort = level < s->stress;
    }
    if (abort) abortSocket(st, s);
}

int sock_printf(sock_type *, const char *, ...) { return 0; }

int _chk_socket(sock_type *s) {
    if (!s) return 0;
    if (isTcp(s)) return stateOf(s) <= ryn::inet::TCP_CLOSED ? 2 : 0;
    return isUdp(s) ? 1 : 0;
}

// --- Line mode ------------------------------------------------------------------

namespace {
// Bytes removed from the front of the receive buffer through the read path
// (which keeps the window and the out-of-order block right).
void consume(sock_type *s, int n) {
    NetStack *st = theStack();
    if (!st || n <= 0) return;
    if (isUdp(s)) st->udp().read(s, nullptr, n);
    else if (isTcp(s)) st->tcp().tcp_read(s, nullptr, n, now());
}

// After a line that ended in CR at the very end of the data, a following LF
// (or NUL) belongs to that line: drop it once it shows up.
void dropLeftoverTerminator(sock_type *s) {
    bool drop = false;
    {
        std::lock_guard<std::mutex> l(s->lock);
        if (!(s->mode & sockmode::kSawCr) || s->rx_len == 0) return;
        s->mode &= static_cast<uint16_t>(~sockmode::kSawCr);
        drop = s->rx_data[0] == '\n' || s->rx_data[0] == '\0';
    }
    if (drop) consume(s, 1);
}

// A line without a terminator is still handed out when no more can come:
// the buffer is full or the peer has finished.
bool takesUnterminated(const sock_type *s) {
    if (s->rx_len >= s->rx_capacity) return true;
    return s->ip_type == ip::kProtoTcp && (s->state == ryn::inet::TCP_LAST_ACK || s->state == ryn::inet::TCP_CLOSED);
}

const uint8_t *findEol(const uint8_t *p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i] == '\r' || p[i] == '\n') return p + i;
    return nullptr;
}
}  // namespace

int sock_putc(sock_type *s, int c) {
    if (!s) return -1;
    if (c == '\r' || c == '\n') sock_flushnext(s);
    uint8_t byte = static_cast<uint8_t>(c);
    return sock_write(s, &byte, 1) == 1 ? byte : -1;
}

int sock_getc(sock_type *s) {
    uint8_t byte = 0;
    return sock_read(s, &byte, 1) == 1 ? byte : -1;
}

int sock_puts(sock_type *s, const char *text) {
    if (!s || !text) return 0;
    const int len = static_cast<int>(std::strlen(text));
    bool ascii;
    {
        std::lock_guard<std::mutex> l(s->lock);
        ascii = (s->mode & sockmode::kAscii) != 0;
    }
    if (ascii) {
        sock_noflush(s);
        sock_write(s, reinterpret_cast<const uint8_t *>(text), len);
        sock_flushnext(s);
        sock_write(s, reinterpret_cast<const uint8_t *>("\r\n"), 2);
    } else {
        sock_flushnext(s);
        sock_write(s, reinterpret_cast<const uint8_t *>(text), len);
    }
    // The whole line goes out now, not at the next send-soon pass.
    sock_flush(s);
    return len;
}

int sock_gets(sock_type *s, char *buf, int size) {
    if (!s || !buf || size <= 0) return 0;
    buf[0] = '\0';
    dropLeftoverTerminator(s);
    int copied = 0, remove = 0;
    {
        std::lock_guard<std::mutex> l(s->lock);
        const int n = s->rx_len;
        if (n <= 0) return 0;
        const uint8_t *data = s->rx_data;
        const uint8_t *eol = findEol(data, n);
        if (eol) {
            const int line = static_cast<int>(eol - data);
            copied = std::min(line, size - 1);
            remove = copied;
            // A line longer than the caller's buffer keeps its rest (and
            // its terminator) for the next call.
            if (copied == line) {
                int term = 1;
                if (*eol == '\r') {
                    if (line + 1 < n && data[line + 1] == '\n') term = 2;
                    else if (line + 1 == n) s->mode |= sockmode::kSawCr;
                }
                remove += term;
            }
        } else if (takesUnterminated(s)) {
            copied = remove = std::min(n, size - 1);
        } else {
            return 0;
        }
        std::memcpy(buf, data, static_cast<size_t>(copied));
        buf[copied] = '\0';
    }
    consume(s, remove);
    return copied;
}

int sock_dataready(sock_type *s) {
    if (!s) return 0;
    bool ascii;
    {
        std::lock_guard<std::mutex> l(s->lock);
        ascii = (s->mode & sockmode::kAscii) != 0;
        if (!ascii) return s->rx_len;
    }
    dropLeftoverTerminator(s);
    std::lock_guard<std::mutex> l(s->lock);
    const int n = s->rx_len;
    if (n <= 0) return 0;
    if (findEol(s->rx_data, n) || takesUnterminated(s)) return n;
    return 0;
}

// --- IPv4 text helpers --------------------------------------------------------

namespace {
std::mutex g_domainMu;
char def_domain[51] = {};  // GUARDED_BY(g_domainMu)

// The decimal number at the front of text, like atoi but without overflow:
// only its low 8 bits are used, and wrapping keeps them right.
uint32_t leadingNumber(const char *text) {
    while (*text == ' ' || *text == '\t') ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint32_t v = 0;
    while (*text >= '0' && *text <= '9') v = v * 10u + static_cast<uint32_t>(*text++ - '0');
    return negative ? 0u - v : v;
}
}  // namespace

uint32_t aton(const char *text) {
    if (!text) return 0;
    if (*text == '[') ++text;
    uint32_t addr = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        addr |= (leadingNumber(text) & 0xFFu) << shift;
        if (shift == 0) break;
        const char *sep = std::strchr(text, '.');
        if (!sep) sep = std::strchr(text, ' ');
        if (!sep) return 0;
        text = sep + 1;
    }
    return addr;
}

int isaddr(const char *text) {
    if (!text) return 0;
    for (; *text; ++text) {
        char c = *text;
        if (c != ' ' && c != '.' && c != '[' && c != ']' && (c < '0' || c > '9')) return 0;
    }
    return 1;
}

uint32_t _ryn_inet_addr(const char *text) { return isaddr(text) ? aton(text) : 0; }

char *_ryn_inet_ntoa(uint32_t addr_network_order) {
    // One buffer per thread: a call on another thread cannot overwrite it.
    thread_local char text[20];
    uint8_t b[4];
    std::memcpy(b, &addr_network_order, 4);
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

uint32_t ryn::inet::gethostid() {
    NetStack *st = theStack();
    return st ? st->addressing().my_ip_addr.load() : 0;
}

uint32_t ryn::inet::sethostid(uint32_t addr) {
    if (NetStack *st = theStack()) st->addressing().my_ip_addr = addr;
    return addr;
}

int ryn::inet::setdomainname(const char *name, int len) {
    if (len > 50 || len < 0 || (!name && len > 0)) return -1;
    std::lock_guard<std::mutex> g(g_domainMu);
    size_t n = name ? strnlen(name, static_cast<size_t>(len)) : 0;
    std::memcpy(def_domain, name ? name : "", n);
    def_domain[n] = '\0';
    return 0;
}

std::string ryn::inet::domainName() {
    std::lock_guard<std::mutex> g(g_domainMu);
    return def_domain;
}
