#include "link/ppp.h"

#include "link/auth.h"
#include "link/lcp_link.h"
#include "link/link_config.h"
#include "link/ppp_protocols.h"
#include "link/serial_line.h"
#include "service/log.h"
#include "stack/timers.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ryn::ppp {

std::atomic<int32_t> phase{PHASE_DEAD};
std::atomic<int32_t> ifunit{-1};
uint8_t bFirst = 1;
int32_t auth_required = 0;
char user[80];
char passwd[80];
std::atomic<int32_t> peer_mru{kDefaultMru};
uint8_t outpacket_buf[kHeaderLen + kMaxMtu];

namespace {
std::mutex critSec;
// Written under both locks; read under either.
std::atomic<ppp *> g_dev{nullptr};
tagQUEUE ppp_rcv_queue = {&ppp_rcv_queue, &ppp_rcv_queue};  // GUARDED_BY(critSec)
size_t g_queued = 0;                                         // GUARDED_BY(critSec)
CalloutList g_callouts;                                      // GUARDED_BY(critSec)
uint8_t g_readBuf[8192];                                     // GUARDED_BY(critSec)

std::mutex g_addrMutex;
IpAddresses g_addresses;  // GUARDED_BY(g_addrMutex)
StackBinding g_binding;   // GUARDED_BY(g_addrMutex)

ppp *validDevice(int unit) {
    ppp *d = g_dev.load();
    return (unit == 0 && d != nullptr && d->magic == kDeviceMagic) ? d : nullptr;
}

// REQUIRES: critSec held.
void flushQueue() {
    while (ppp_rcv_queue.next != &ppp_rcv_queue) {
        tagQUEUE *n = ppp_rcv_queue.next;
        QRemove(n);
        std::free(n);
    }
    g_queued = 0;
}

void setDeviceClass(int devclass) {
    std::lock_guard<std::mutex> lock(g_addrMutex);
    if (g_binding.setDeviceClass) g_binding.setDeviceClass(devclass);
}

// Builds and writes one frame (header in place) under the transmit lock.
// Returns 0 sent, 1 refused or write failed, -1 without device.
int sendFrame(int unit, uint8_t *frame, size_t length, bool ip) {
    std::lock_guard<std::mutex> lock(ryn::link::lineLock());
    ppp *d = validDevice(unit);
    if (!d) return -1;
    uint32_t now = TIME_READ_MS();
    // Control packets always open with a flag; IP frames after an idle line,
    // and any frame after a write the line took only in part.
    bool leading = frame[2] != 0 || static_cast<uint32_t>(now - d->last_xmit) > kFlagIdleMs ||
                   ryn::link::lineNeedsFlag();
    size_t n = d->encoder.encode(frame, length, leading, d->tx_buffer.data(), d->tx_buffer.size());
    if (n == 0) {
        ++d->tx_refused;
        return 1;
    }
    if (leading) ryn::link::clearLineNeedsFlag();
    d->last_xmit = now;
    if (ryn::link::sendLocked(d->tx_buffer.data(), n) != 1) return 1;
    ++d->tx_frames;
    if (ip) d->last_ip_tx = now;
    return 0;
}

class DeviceSink final : public FrameDecoder::Sink {
public:
    explicit DeviceSink(ppp *d) : d_(d) {}
    void onFrame(const ReceivedFrame &f) override {
        ++d_->rx_frames;
        int len = static_cast<int>(f.length);
        if (f.protocol == kProtoIp) {
            // rcv_proto_ip
            if (!(d_->flags.load() & kFlagIpUp) || len == 0) return;
            d_->last_ip_rx = TIME_READ_MS();
            handle_ip_packet(d_->unit, f.payload, len);
            return;
        }
        rcv_proto_unknown(d_->unit, f.protocol, f.payload, len);
    }

private:
    ppp *d_;
};
}  // namespace

std::mutex &pppLock() { return critSec; }

QueuedDatagram *takeDatagram() {
    std::lock_guard<std::mutex> lock(critSec);
    if (ppp_rcv_queue.next == &ppp_rcv_queue) return nullptr;
    tagQUEUE *n = ppp_rcv_queue.next;
    QRemove(n);
    --g_queued;
    return reinterpret_cast<QueuedDatagram *>(n);
}

void freeDatagram(QueuedDatagram *d) { std::free(d); }

size_t queuedDatagrams() {
    std::lock_guard<std::mutex> lock(critSec);
    return g_queued;
}

IpAddresses currentAddresses() {
    std::lock_guard<std::mutex> lock(g_addrMutex);
    return g_addresses;
}

void bindStack(const StackBinding &binding) {
    std::lock_guard<std::mutex> lock(g_addrMutex);
    g_binding = binding;
}

bool CalloutList::add(Fn fn, void *arg, uint32_t deadline) {
    Node *node = new (std::nothrow) Node{deadline, fn, arg, nullptr};
    if (!node) return false;
    Node **at = &head_;
    // After every node whose deadline is earlier or equal (wrap-safe).
    while (*at && !ryn::stack::tickAfter((*at)->deadline, deadline)) at = &(*at)->next;
    node->next = *at;
    *at = node;
    return true;
}

void CalloutList::remove(Fn fn, void *arg) {
    for (Node **at = &head_; *at; at = &(*at)->next) {
        if ((*at)->fn == fn && (*at)->arg == arg) {
            Node *dead = *at;
            *at = dead->next;
            delete dead;
            return;
        }
    }
}

bool CalloutList::popDue(uint32_t now, Fn &fn, void *&arg) {
    if (!head_ || !ryn::stack::tickAfter(now, head_->deadline)) return false;
    Node *n = head_;
    head_ = n->next;
    fn = n->fn;
    arg = n->arg;
    delete n;
    return true;
}

void CalloutList::clear() {
    while (head_) {
        Node *n = head_;
        head_ = n->next;
        delete n;
    }
}

size_t CalloutList::size() const {
    size_t n = 0;
    for (Node *p = head_; p; p = p->next) ++n;
    return n;
}

CalloutList &callouts() { return g_callouts; }

}  // namespace ryn::ppp

using namespace ryn::ppp;

// --- PPP main -----------------------------------------------------------

void ppp_init() { magic_init(); }

void ppp_deinit() {}

int ppp_enter(int required) {
    std::lock_guard<std::mutex> lock(critSec);
    // Timers of a previous link must never fire on this one.
    g_callouts.clear();
    int unit = ppp_dev_open();
    if (unit < 0) return -1;
    auth_required = required;
    ifunit = unit;
    const tagConfig &cfg = CfgActive;
    memset(user, 0, sizeof user);
    memset(passwd, 0, sizeof passwd);
    memcpy(passwd, cfg.password, strnlen(cfg.password, sizeof cfg.password));
    memcpy(user, cfg.user, strnlen(cfg.user, sizeof cfg.user));
    for (const ControlProtocol *p : controlProtocols())
        if (p->init) p->init(unit);
    bFirst = 1;
    phase = PHASE_ESTABLISH;
    setDeviceClass(18);
    flushQueue();
    if (const ControlProtocol *lcp = findProtocol(kProtoLcp)) {
        if (lcp->lowerup) lcp->lowerup(unit);
        if (lcp->open) lcp->open(unit);
    }
    return 0;
}

int ppp_run(int report) {
    std::lock_guard<std::mutex> lock(critSec);
    ppp *d = validDevice(ifunit.load());
    if (!d) {  // no link: never eat bytes meant for the handshake
        bFirst = 1;
        return -1;
    }
    int n = RcvFromDteSock(g_readBuf, sizeof g_readBuf);
    if (n == 6 && memcmp(g_readBuf, "CLIENT", 6) == 0) {
        // The terminal restarted its side of the handshake.
        phase = PHASE_DEAD;
        bFirst = 1;
        return -1;
    }
    if (n > 0) {
        DeviceSink sink(d);
        d->decoder.feed(g_readBuf, static_cast<size_t>(n), sink);
    }
    if (sockdtefd.load() < 0) {
        if (phase.load() != PHASE_DEAD) {
            if (const ControlProtocol *lcp = findProtocol(kProtoLcp); lcp && lcp->lowerdown) lcp->lowerdown(d->unit);
            link_terminated(d->unit);
            phase = PHASE_DEAD;
        }
        bFirst = 1;
        return -1;
    }
    if (phase.load() == PHASE_DEAD) {
        bFirst = 1;
        return -1;
    }
    CalloutList::Fn fn;
    void *arg;
    while (phase.load() != PHASE_DEAD && g_callouts.popDue(TIME_READ_MS(), fn, arg)) fn(arg);
    if (report && phase.load() == PHASE_NETWORK && (d->flags.load() & kFlagIpUp) && bFirst) {
        bFirst = 0;
        return 1;
    }
    return 0;
}

void ppp_close() {
    bool running;
    {
        std::lock_guard<std::mutex> lock(critSec);
        running = validDevice(ifunit.load()) != nullptr;
        if (running && sockdtefd.load() >= 0) {
            if (const ControlProtocol *lcp = findProtocol(kProtoLcp); lcp && lcp->close) lcp->close(ifunit.load());
        }
    }
    if (running && sockdtefd.load() >= 0) {
        // LCP's termination timers end this within a few seconds; the bound
        // only guards against a protocol that never reaches the dead phase.
        uint64_t start = GetTickCount64();
        while (phase.load() != PHASE_DEAD && GetTickCount64() - start < 5000) {
            ppp_run(0);
            if (phase.load() == PHASE_DEAD) break;
            usleep(100 * 1000);
        }
    }
    std::lock_guard<std::mutex> lock(critSec);
    g_callouts.clear();
    phase = PHASE_DEAD;
    ppp_dev_close(ifunit.load());
    flushQueue();
    setDeviceClass(0);
    {
        std::lock_guard<std::mutex> alock(g_addrMutex);
        g_addresses.up = false;
    }
}

// No dereference: callers hold no lock that keeps the record alive.
int ppp_is_running() { return ifunit.load() == 0 && g_dev.load() != nullptr ? 1 : 0; }

int handle_ip_packet(int unit, const uint8_t *data, int length) {
    if (unit != ifunit.load() || data == nullptr || length <= 0 || length > 0xFFFF) return 0;
    static bool fullLogged = false;  // GUARDED_BY(critSec): one line per time it fills
    if (g_queued >= kMaxQueuedDatagrams) {
        if (!fullLogged) RYN_LOG(OBJ_NETWORK, LOG_WARNING, "PPP receive queue full (%zu datagrams): dropping", g_queued);
        fullLogged = true;
        return 0;
    }
    fullLogged = false;
    size_t size = offsetof(QueuedDatagram, data) + static_cast<size_t>(length);
    auto *node = static_cast<QueuedDatagram *>(std::malloc(size));
    if (!node) return 0;
    node->length = static_cast<uint16_t>(length);
    memcpy(node->data, data, static_cast<size_t>(length));
    QInsert(&node->link, &ppp_rcv_queue);
    ++g_queued;
    return 1;
}

// --- PPP device ---------------------------------------------------------

int ppp_dev_open() {
    if (g_dev.load() != nullptr) return -1;
    ppp *d = new (std::nothrow) ppp;
    if (!d) return -1;
    d->magic = kDeviceMagic;
    d->unit = 0;
    d->in_use = 1;
    d->last_xmit = TIME_READ_MS() - kFlagIdleMs;
    d->decoder.reset();
    std::lock_guard<std::mutex> lock(ryn::link::lineLock());
    g_dev.store(d);
    return 0;
}

void ppp_dev_close(int unit) {
    if (unit != 0) return;
    std::lock_guard<std::mutex> lock(ryn::link::lineLock());
    ppp *d = g_dev.exchange(nullptr);
    if (d) d->magic = 0;
    delete d;
}

ppp *ppp_dev(int unit) {
    ppp *d = validDevice(unit);
    if (!d) {
        if (unit == 0) {
            ppp *raw = g_dev.load();
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "ppp_dev is NULL (unit=%d) magic=%x", unit, raw ? raw->magic : 0);
        } else {
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "ppp_dev is NULL (unit=%d)", unit);
        }
    }
    return d;
}

int ppp_dev_xmit(int unit, uint8_t *datagram, int length) {
    if (datagram == nullptr || length <= 0) return 0;
    {
        std::lock_guard<std::mutex> lock(ryn::link::lineLock());
        ppp *d = validDevice(unit);
        if (!d) return -1;
        if (!(d->flags.load() & kFlagIpUp)) return 1;
        int mtu = d->mtu.load();
        if (length > mtu) {
            // Refused whole: a truncated datagram would be corrupt data.
            ++d->tx_refused;
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "ppp_dev_xmit: datagram of %d bytes refused, mtu %d", length, mtu);
            return 1;
        }
    }
    uint8_t *h = datagram - kHeaderLen;
    h[0] = kAllStations;
    h[1] = kUi;
    h[2] = kProtoIp >> 8;
    h[3] = kProtoIp & 0xFF;
    int r = sendFrame(unit, h, static_cast<size_t>(length) + kHeaderLen, true);
    return r < 0 ? -1 : r;
}

int ppp_dev_mtu(int unit) {
    std::lock_guard<std::mutex> lock(ryn::link::lineLock());
    ppp *d = validDevice(unit);
    return d ? d->mtu.load() : 0;
}

int ppp_tty_write(int unit, uint8_t *frame, int length) {
    if (frame == nullptr || length < static_cast<int>(kHeaderLen)) return 0;
    {
        std::lock_guard<std::mutex> lock(ryn::link::lineLock());
        ppp *d = validDevice(unit);
        if (!d) return -1;
        if (length - static_cast<int>(kHeaderLen) > d->mtu.load()) return 0;  // never cut a packet
    }
    int r = sendFrame(unit, frame, static_cast<size_t>(length), false);
    return r < 0 ? -1 : length;
}

int output(int unit, uint8_t *frame, int length) { return ppp_tty_write(unit, frame, length) > 0 ? 0 : 1; }

void ppp_send_config(int unit, int mtu, uint32_t asyncmap, int pcomp, int accomp) {
    std::lock_guard<std::mutex> lock(ryn::link::lineLock());
    ppp *d = validDevice(unit);
    if (!d) return;
    d->mtu = mtu < kMaxMtu ? (mtu < 0 ? 0 : mtu) : kMaxMtu;
    auto map = d->encoder.xmitMap();
    map[0] = asyncmap;
    d->encoder.setXmitMap(map);
    d->encoder.setCompression(pcomp != 0, accomp != 0);
    uint32_t f = d->flags.load() & ~(kFlagPfc | kFlagAcfc);
    if (pcomp) f |= kFlagPfc;
    if (accomp) f |= kFlagAcfc;
    d->flags = f;
}

void ppp_recv_config(int unit, int mru, uint32_t asyncmap, int, int accomp) {
    ppp *d = validDevice(unit);
    if (!d) return;
    d->mru = mru < kDefaultMru ? (mru < 0 ? 0 : mru) : kDefaultMru;
    d->decoder.setMru(d->mru);
    d->decoder.setRecvMap(asyncmap);
    if (accomp)
        d->flags.fetch_and(~kFlagRxNoAcfc);
    else
        d->flags.fetch_or(kFlagRxNoAcfc);
}

void ppp_set_xaccm(int unit, const uint32_t map[8]) {
    std::array<uint32_t, 8> m;
    for (int i = 0; i < 8; ++i) m[i] = map[i];
    m[1] = 0;                       // 0x20..0x3F are never escaped
    m[0x5E >> 5] &= ~(1u << (0x5E & 31));
    m[0x7D >> 5] |= 1u << (0x7D & 31);
    m[0x7E >> 5] |= 1u << (0x7E & 31);
    // Refused when a byte and its value XOR 0x20 would both be escaped.
    if ((m[2] & m[3]) || (m[4] & m[5]) || (m[6] & m[7])) return;
    std::lock_guard<std::mutex> lock(ryn::link::lineLock());
    if (ppp *d = validDevice(unit)) d->encoder.setXmitMap(m);
}

int sifup(int unit) {
    ppp *d = validDevice(unit);
    if (!d) return 0;
    d->flags.fetch_or(kFlagIpUp);
    std::lock_guard<std::mutex> lock(g_addrMutex);
    g_addresses.up = true;
    return 1;
}

int isifup(int unit) {
    ppp *d = validDevice(unit);
    return d && (d->flags.load() & kFlagIpUp) ? 1 : 0;
}

int sifdown(int unit) {
    ppp *d = validDevice(unit);
    if (!d) return 0;
    d->flags.fetch_and(~kFlagIpUp);
    std::lock_guard<std::mutex> lock(g_addrMutex);
    g_addresses = IpAddresses{};
    if (g_binding.restoreAddresses) g_binding.restoreAddresses();
    return 1;
}

int sifaddr(int unit, uint32_t our, uint32_t his, uint32_t mask) {
    if (!validDevice(unit)) return 0;
    std::lock_guard<std::mutex> lock(g_addrMutex);
    g_addresses.ours = ntohl(our);
    g_addresses.his = ntohl(his);
    g_addresses.mask = ntohl(mask);
    if (g_binding.setAddresses) g_binding.setAddresses(g_addresses.ours, g_addresses.his, g_addresses.mask);
    return 1;
}

int sifdns(int unit, uint32_t dns1, uint32_t) {
    if (!validDevice(unit)) return 0;
    std::lock_guard<std::mutex> lock(g_addrMutex);
    g_addresses.dns = ntohl(dns1);
    if (g_binding.setNameserver) g_binding.setNameserver(g_addresses.dns);
    return 1;
}

int cifaddr(int unit, uint32_t, uint32_t) { return validDevice(unit) ? 1 : 0; }
int sifdefaultroute(int unit, uint32_t) { return validDevice(unit) ? 1 : 0; }
int cifdefaultroute(int unit, uint32_t) { return validDevice(unit) ? 1 : 0; }
int sifproxyarp(int unit, uint32_t) { return validDevice(unit) ? 1 : 0; }
int cifproxyarp(int unit, uint32_t) { return validDevice(unit) ? 1 : 0; }

void rcv_proto_unknown(int unit, uint16_t protocol, uint8_t *payload, int length) {
    const ControlProtocol *lcp = findProtocol(kProtoLcp);
    if (protocol == kProtoLcp) {  // LCP in every state
        if (lcp && lcp->input) lcp->input(unit, payload, length);
        return;
    }
    if (!lcp || !lcp->opened || !lcp->opened(unit)) return;  // discarded until LCP is open
    const ControlProtocol *p = findProtocol(protocol);
    if (p && p->input) {
        p->input(unit, payload, length);
        return;
    }
    if (lcp->sprotrej) lcp->sprotrej(unit, payload - kHeaderLen, length + static_cast<int>(kHeaderLen));
}

void demuxprotrej(int unit, uint16_t protocol) {
    if (protocol != kProtoIpcp && protocol != kProtoLcp && protocol != kProtoPap) return;
    const ControlProtocol *p = findProtocol(protocol);
    if (p && p->protrej) p->protrej(unit);
}

void timeout(void (*function)(void *), void *argument, int seconds) {
    if (seconds < 0) seconds = 0;
    g_callouts.add(function, argument, set_timeout(static_cast<uint32_t>(seconds) * 1000u));
}

void untimeout(void (*function)(void *), void *argument) { g_callouts.remove(function, argument); }
