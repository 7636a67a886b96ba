#include "stack/udp.h"

#include <algorithm>
#include <vector>

namespace ryn::inet {

namespace {
constexpr int32_t kErrUdpClosed = 3, kErrUdpCancelled = 7, kErrNoPort = 17;

void putPseudoHeader(uint8_t *out, uint32_t src, uint32_t dst, uint16_t length) {
    put32(out, src);
    put32(out + 4, dst);
    out[8] = 0;
    out[9] = ip::kProtoUdp;
    put16(out + 10, length);
}
}  // namespace

std::optional<UdpView> UdpView::parse(const uint8_t *data, size_t len) {
    if (!data || len < udp::kHeaderLen) return std::nullopt;
    size_t field = get16(data + udp::kLength);
    // A length beyond the received bytes cannot be checked or delivered.
    if (field < udp::kHeaderLen || field > len) return std::nullopt;
    return UdpView(data, field);
}

bool UdpView::checksumOk(uint32_t src, uint32_t dst) const {
    if (!hasChecksum()) return true;
    uint16_t sum = addChecksum(pseudoHeaderSum(src, dst, ip::kProtoUdp, length()), inchksum(p_, len_));
    return sum == 0xFFFF;
}

UdpLayer::UdpLayer(IpLayer &ip, TcpEngine &tcp) : ip_(ip), tcp_(tcp) {}

int UdpLayer::maxPayload() const {
    return std::min<int>(tcp_.mtu(), static_cast<int>(IpLayer::kMaxDatagram)) - udp::kHeadersLen;
}

bool UdpLayer::portInUse(uint16_t port) {
    std::lock_guard<std::mutex> g(mu_);
    for (TcpSocket *p = udp_allsocs; p; p = p->next)
        if (p->local_port == port) return true;
    return false;
}

int UdpLayer::open(TcpSocket *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port,
                   SockDataHandler handler, SockYieldFn yield) {
    close(s);
    uint16_t port = tcp_.findfreeport(local_port);
    std::lock_guard<std::mutex> g(mu_);
    {
        std::lock_guard<std::mutex> l(s->lock);
        s->next = nullptr;
        s->ttl_exceeded = 0;
        s->error = 0;
        s->yield_fn = yield;
        s->notify_fn = nullptr;
        s->sturdiness = s->stress = 0;
        s->mode = 0;
        s->user_timer = 0;
        s->data_handler = handler;
        s->rx_len = 0;
        s->rx_capacity = kTcpBufferSize;
        s->rx_data = s->rx_store;
        s->frag = false;
        s->state = TCP_CLOSED;
        s->reserved = true;
        if (port == 0) {
            s->ip_type = 0;
            s->error = kErrNoPort;
            return 0;
        }
        s->local_port = port;
        s->local_addr = ip_.addressing().my_ip_addr.load();
        s->peer_addr = peer_addr;
        s->peer_port = peer_port;
        s->signature = kUdpSocketSignature;
        s->ip_type = ip::kProtoUdp;
    }
    s->next = udp_allsocs;
    udp_allsocs = s;
    s->udp_linked = true;
    return 1;
}

int UdpLayer::close(TcpSocket *s) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (s->udp_linked) {
            for (TcpSocket **pp = &udp_allsocs; *pp; pp = &(*pp)->next) {
                if (*pp == s) {
                    *pp = s->next;
                    break;
                }
            }
            s->udp_linked = false;
            s->next = nullptr;
        }
    }
    std::lock_guard<std::mutex> l(s->lock);
    if (s->ip_type == ip::kProtoUdp) {
        if (s->error == 0) s->error = kErrUdpClosed;
        s->ip_type = 0;
        s->rx_len = 0;
    }
    return 0;
}

void UdpLayer::closeAll() {
    for (;;) {
        TcpSocket *s;
        {
            std::lock_guard<std::mutex> g(mu_);
            s = udp_allsocs;
        }
        if (!s) return;
        close(s);
    }
}

int UdpLayer::write(TcpSocket *s, const uint8_t *data, int len) {
    if (len < 0 || (len > 0 && !data)) return -1;
    uint32_t src, dst;
    uint16_t sport, dport;
    bool noSum;
    {
        std::lock_guard<std::mutex> l(s->lock);
        if (s->ip_type != ip::kProtoUdp) return -1;
        src = s->local_addr;
        dst = s->peer_addr;
        sport = s->local_port;
        dport = s->peer_port;
        noSum = (s->mode & sockmode::kUdpNoChecksum) != 0;
    }
    const int n = std::min(len, maxPayload());
    const uint8_t ttl = static_cast<uint8_t>(ip_.addressing().default_ttl.load());
    const uint16_t id = tcp_.nextIpId();
    ip_.sendFromOutbuf([&](uint8_t *d, size_t cap) -> size_t {
        const size_t total = ip::kHeaderLen + udp::kHeaderLen + static_cast<size_t>(n);
        if (total > cap) return 0;
        writeIpv4Header(d, 0, static_cast<uint16_t>(total), id, ttl, ip::kProtoUdp, src, dst);
        uint8_t *u = d + ip::kHeaderLen;
        const uint16_t ulen = static_cast<uint16_t>(udp::kHeaderLen + static_cast<size_t>(n));
        put16(u + udp::kSrcPort, sport);
        put16(u + udp::kDstPort, dport);
        put16(u + udp::kLength, ulen);
        put16(u + udp::kChecksum, 0);
        if (n) std::memcpy(u + udp::kHeaderLen, data, static_cast<size_t>(n));
        if (!noSum) {
            uint16_t sum = addChecksum(pseudoHeaderSum(src, dst, ip::kProtoUdp, ulen), inchksum(u, ulen));
            // A computed zero goes out as all ones: zero means "no checksum".
            if (sum == 0xFFFF) put16(u + udp::kChecksum, 0xFFFF);
            else storeChecksum(u + udp::kChecksum, sum);
        }
        return total;
    });
    return n;  // output ignores a refused send
}

int UdpLayer::read(TcpSocket *s, uint8_t *buf, int len) {
    std::lock_guard<std::mutex> l(s->lock);
    if (s->ip_type != ip::kProtoUdp) return 0;
    if (len < 0) len = s->rx_len;
    if (!buf && len >= s->rx_len) {
        int n = s->rx_len;
        s->rx_len = 0;
        return n;
    }
    int n = std::min(len, s->rx_len);
    if (n <= 0) return 0;
    if (buf) std::memcpy(buf, s->rx_data, static_cast<size_t>(n));
    std::memmove(s->rx_data, s->rx_data + n, static_cast<size_t>(s->rx_len - n));
    s->rx_len -= n;
    return n;
}

UdpLayer::Input UdpLayer::input(const Ipv4View &ip, bool linkBroadcast) {
    auto dg = UdpView::parse(ip.payload(), ip.payloadLen());
    if (!dg) return Input::Dropped;
    // Verified before any socket is looked at, so a forged datagram can
    // neither bind a socket to its sender nor reach a handler.
    if (!dg->checksumOk(ip.source(), ip.destination())) return Input::Dropped;

    const uint32_t src = ip.source(), dst = ip.destination();
    const uint32_t mask = ip_.addressing().sin_mask.load();
    TcpSocket *s = nullptr;
    SockDataHandler handler = nullptr;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!udp_allsocs) return Input::NoSocket;
        if (udp_allsocs->signature != kUdpSocketSignature) return Input::Dropped;
        if (!linkBroadcast) {
            for (TcpSocket *p = udp_allsocs; p; p = p->next) {
                if (p->signature != kUdpSocketSignature) return Input::Dropped;
                if (p->peer_port && dg->dstPort() == p->local_port && dg->srcPort() == p->peer_port &&
                    (dst & mask) == (p->local_addr & mask) && src == p->peer_addr) {
                    s = p;
                    break;
                }
            }
        }
        if (!s) {
            for (TcpSocket *p = udp_allsocs; p; p = p->next) {
                if ((p->peer_addr == 0 || p->peer_addr == 0xFFFFFFFFu) && p->local_port == dg->dstPort()) {
                    s = p;
                    break;
                }
            }
        }
        if (!s) return Input::NoSocket;
        std::lock_guard<std::mutex> l(s->lock);
        if (s->peer_addr == 0) {
            // A socket open to anyone answers the first sender.
            s->peer_port = dg->srcPort();
            s->peer_addr = src;
            if (!ip_.addressing().is_ip_brdcast(dst)) s->local_addr = dst;
        }
        if (dg->dataLen() == 0) return Input::Delivered;
        handler = s->data_handler;
        if (!handler) {
            int n = static_cast<int>(std::min<size_t>(dg->dataLen(), static_cast<size_t>(s->rx_capacity)));
            std::memcpy(s->rx_data, dg->data(), static_cast<size_t>(n));
            s->rx_len = n;
            return Input::Delivered;
        }
    }
    uint8_t pseudo[udp::kPseudoHeaderLen];
    putPseudoHeader(pseudo, src, dst, dg->length());
    handler(s, dg->data(), static_cast<int>(dg->dataLen()), pseudo, dg->bytes());
    return Input::Delivered;
}

void UdpLayer::cancel(const Ipv4View &quoted, int kind, int code, uint32_t gateway) {
    (void)gateway;  // no link addresses to re-resolve on the serial device
    // The quote holds at least the 8 bytes of the UDP header (ICMP checked).
    if (quoted.payloadLen() < udp::kHeaderLen) return;
    const uint16_t srcPort = get16(quoted.payload() + udp::kSrcPort);
    const uint16_t dstPort = get16(quoted.payload() + udp::kDstPort);
    TcpSocket *found = nullptr;
    bool exact = false;
    std::vector<std::pair<TcpSocket *, SockNotifyFn>> tell;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (TcpSocket *p = udp_allsocs; p && !found; p = p->next) {
            if (p->peer_port && p->peer_port == dstPort && p->local_port == srcPort &&
                p->peer_addr == quoted.destination()) {
                found = p;
                exact = true;
            }
        }
        for (TcpSocket *p = udp_allsocs; p && !found; p = p->next)
            if (p->peer_port == 0 && p->local_port == srcPort) found = p;
        if (!found) {
            for (TcpSocket *p = udp_allsocs; p; p = p->next) {
                std::lock_guard<std::mutex> l(p->lock);
                if (p->notify_fn) tell.emplace_back(p, p->notify_fn);
            }
        }
    }
    if (!found) {
        for (auto &[p, fn] : tell) fn(p, kind);
        return;
    }
    SockNotifyFn notify;
    bool dead = !(kind == icmp::kRedirect && exact);
    {
        std::lock_guard<std::mutex> l(found->lock);
        if (found->error == 0) found->error = code;
        notify = found->notify_fn;
    }
    if (notify) notify(found, kind);
    if (dead) {
        close(found);
        std::lock_guard<std::mutex> l(found->lock);
        found->error = kErrUdpCancelled;
    }
}

}  // namespace ryn::inet
