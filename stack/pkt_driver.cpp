#include "stack/pkt_driver.h"

#include "link/ppp.h"

#include <cstddef>

std::atomic<uint8_t> _pktdevclass{0};
std::atomic<uint16_t> _pktserial{0};
std::atomic<uint32_t> rem_ip_addr{0};

const uint8_t *pkt_received(uint16_t *length) {
    if (_pktdevclass.load() != kPppDeviceClass) return nullptr;
    ppp_run(0);
    ryn::ppp::QueuedDatagram *d = ryn::ppp::takeDatagram();
    if (!d) return nullptr;
    if (length) *length = d->length;
    return d->data;
}

int pkt_send(uint8_t *buffer, int length) {
    if (_pktdevclass.load() != kPppDeviceClass || !buffer || length <= 0) return 0;
    ppp_run(0);
    return ppp_dev_xmit(ryn::ppp::ifunit.load(), buffer, length) == 0 ? 1 : 0;
}

void pkt_free_ip(const uint8_t *datagram) {
    if (!datagram) return;
    auto *node = reinterpret_cast<ryn::ppp::QueuedDatagram *>(const_cast<uint8_t *>(datagram) -
                                                              offsetof(ryn::ppp::QueuedDatagram, data));
    ryn::ppp::freeDatagram(node);
}

namespace ryn::inet {

namespace {
std::atomic<NetStack *> g_bound{nullptr};

void onDeviceClass(int devclass) {
    _pktdevclass = static_cast<uint8_t>(devclass);
    _pktserial = devclass == kPppDeviceClass ? 1 : 0;
}
// What setAddresses replaced; written and read only in the link's
// callbacks, which it serialises.
uint32_t g_savedAddr = 0, g_savedMask = 0;

void onAddresses(uint32_t ours, uint32_t his, uint32_t mask) {
    rem_ip_addr = his;
    if (NetStack *s = g_bound.load()) {
        g_savedAddr = s->addressing().my_ip_addr.load();
        g_savedMask = s->addressing().sin_mask.load();
        s->addressing().my_ip_addr = ours;
        if (mask) s->addressing().sin_mask = mask;
    }
}
void onRestore() {
    rem_ip_addr = 0;
    if (NetStack *s = g_bound.load()) {
        s->addressing().my_ip_addr = g_savedAddr;
        s->addressing().sin_mask = g_savedMask ? g_savedMask : 0xFFFFFE00u;
    }
}
}  // namespace

namespace {
bool udpPortInUse(void *udp, uint16_t port) { return static_cast<UdpLayer *>(udp)->portInUse(port); }
}  // namespace

NetStack::NetStack(TcpSettings settings)
    : usesLink_(true), ip_(addr_, dev_, *this), tcp_(ip_, settings), udp_(ip_, tcp_) {
    tcp_.setPortInUseCheck(udpPortInUse, &udp_);
}

NetStack::NetStack(IpDevice &device, TcpSettings settings)
    : usesLink_(false), ip_(addr_, device, *this), tcp_(ip_, settings), udp_(ip_, tcp_) {
    tcp_.setPortInUseCheck(udpPortInUse, &udp_);
}

NetStack::~NetStack() { unbindFromLink(); }

void NetStack::bindToLink() {
    g_bound = this;
    ryn::ppp::StackBinding b;
    b.setDeviceClass = onDeviceClass;
    b.setAddresses = onAddresses;
    b.restoreAddresses = onRestore;
    ryn::ppp::bindStack(b);
    // Addresses negotiated before the binding.
    auto cur = ryn::ppp::currentAddresses();
    if (cur.up) {
        onAddresses(cur.ours, cur.his, cur.mask);
        onDeviceClass(kPppDeviceClass);
    }
}

void NetStack::unbindFromLink() {
    NetStack *self = this;
    if (g_bound.compare_exchange_strong(self, nullptr)) {
        ryn::ppp::bindStack(ryn::ppp::StackBinding{});
        onDeviceClass(0);
    }
}

void NetStack::udpInput(const Ipv4View &ip, bool linkBroadcast) {
    if (udp_.input(ip, linkBroadcast) != UdpLayer::Input::NoSocket) return;
    // A closed port is reported to a sender that addressed us alone.
    if (linkBroadcast || addr_.is_ip_brdcast(ip.destination()) || !addr_.is_local_addr(ip.destination())) return;
    ip_.icmpUnreach(ip, icmp::kCodePortUnreachable);
}

void NetStack::inject(const uint8_t *datagram, size_t len) {
    std::lock_guard<std::mutex> g(injectMu_);
    injected_.emplace_back(datagram, datagram + len);
}

void NetStack::tcp_tick(uint32_t now) {
    std::lock_guard<std::recursive_mutex> t(tickMutex_);
    now_ = now;
    if (usesLink_) {
        uint16_t len = 0;
        while (const uint8_t *d = pkt_received(&len)) {
            ip_.input(d, len, false, now);
            pkt_free_ip(d);
        }
    } else {
        for (;;) {
            std::vector<uint8_t> d;
            {
                std::lock_guard<std::mutex> g(injectMu_);
                if (injected_.empty()) break;
                d = std::move(injected_.front());
                injected_.pop_front();
            }
            ip_.input(d.data(), d.size(), false, now);
        }
    }
    tcp_.timers(now);
}

}  // namespace ryn::inet
