#include "stack/ip_layer.h"

#include <algorithm>

namespace ryn::inet {

namespace {
// Added to a negative echo time: the sender's clock wrapped at the day
// boundary it counts in.
constexpr uint32_t kPingWrapCorrection = 1573040;
}  // namespace

void IpLayer::input(const uint8_t *data, size_t len, bool linkBroadcast, uint32_t now) {
    auto ip = Ipv4View::parse(data, len);
    if (!ip || !ip->headerChecksumOk()) return;
    uint32_t dst = ip->destination();
    switch (ip->protocol()) {
    case ip::kProtoTcp:
        if (!linkBroadcast && addr_.is_local_addr(dst)) upper_.tcpInput(*ip);
        return;
    case ip::kProtoUdp:
        // Full 32-bit own-address test, the same as TCP's.
        if (linkBroadcast || addr_.is_ip_brdcast(dst) || addr_.my_ip_addr.load() == 0 || addr_.is_local_addr(dst))
            upper_.udpInput(*ip, linkBroadcast);
        return;
    case ip::kProtoIcmp:
        icmpHandler(*ip, linkBroadcast, now);
        return;
    default:
        if (!linkBroadcast && addr_.is_local_addr(dst)) icmpUnreach(*ip, icmp::kCodeProtocolUnreachable);
        return;
    }
}

void IpLayer::icmpHandler(const Ipv4View &ip, bool linkBroadcast, uint32_t now) {
    if (linkBroadcast) return;
    if (ip.destination() - addr_.my_ip_addr.load() > addr_.multihomes.load()) return;
    auto msg = IcmpView::parse(ip.payload(), ip.payloadLen());
    if (!msg || !msg->checksumOk()) return;
    uint8_t type = msg->type(), code = msg->code();
    if (type == icmp::kMaskReply) return;

    std::optional<Ipv4View> quoted;
    bool informational = type == icmp::kEchoReply || type == icmp::kEchoRequest || type == icmp::kTimestamp ||
                         type == icmp::kInfoReply;
    if (!informational) {
        quoted = msg->quoted();
        // A notice must quote a datagram we sent.
        if (!quoted || !addr_.is_local_addr(quoted->source())) return;
    }

    switch (type) {
    case icmp::kEchoReply: {
        std::lock_guard<std::mutex> g(pingLock);
        ping_hcache = ip.source();
        int32_t t = static_cast<int32_t>(now + 1000 - msg->rest());
        if (t < 0) t += kPingWrapCorrection;
        ping_tcache = static_cast<uint32_t>(t);
        ping_number = msg->length() >= icmp::kData + 4 ? get32(msg->bytes() + icmp::kData) : 0;
        return;
    }
    case icmp::kUnreachable:
        if (code > 15) return;
        if (quoted->protocol() == ip::kProtoTcp) upper_.tcpCancel(*quoted, 3, code + 50, 0);
        else if (quoted->protocol() == ip::kProtoUdp) upper_.udpCancel(*quoted, 3, code + 50, 0);
        return;
    case icmp::kSourceQuench:
        if (quoted->protocol() == ip::kProtoTcp) upper_.tcpCancel(*quoted, 4, 0, 0);
        return;
    case icmp::kRedirect: {
        if (code > 3) return;
        uint32_t gw = msg->rest();
        uint32_t mask = addr_.sin_mask.load();
        if ((gw & mask) != (addr_.my_ip_addr.load() & mask)) return;
        // No link addresses on the serial device: nothing to re-register.
        if (quoted->protocol() == ip::kProtoTcp) upper_.tcpCancel(*quoted, 5, code + 50, gw);
        else if (quoted->protocol() == ip::kProtoUdp) upper_.udpCancel(*quoted, 5, code + 50, gw);
        return;
    }
    case icmp::kEchoRequest: {
        if (addr_.is_ip_brdcast(ip.source())) return;
        size_t n = msg->length();
        if (n + ip::kHeaderLen > kMaxDatagram) return;
        std::lock_guard<std::mutex> g(txLock);
        uint8_t *d = outbuf + kLinkHeader;
        std::memset(outbuf, 0, sizeof outbuf);
        std::memcpy(d + ip::kHeaderLen, msg->bytes(), n);
        d[ip::kHeaderLen + icmp::kType] = icmp::kEchoReply;
        icmpReplyLocked(d, ip.destination(), ip.source(), n);
        return;
    }
    case icmp::kTimeExceeded:
        if (code == 0 && quoted->protocol() == ip::kProtoTcp) upper_.tcpCancel(*quoted, 11, 0, 0);
        return;
    case icmp::kParameterProblem:
        if (quoted->protocol() == ip::kProtoTcp) upper_.tcpCancel(*quoted, 12, 0, 0);
        else if (quoted->protocol() == ip::kProtoUdp) upper_.udpCancel(*quoted, 12, 0, 0);
        return;
    default:
        return;
    }
}

void IpLayer::icmpUnreach(const Ipv4View &offending, uint8_t code) {
    if (addr_.is_ip_brdcast(offending.source())) return;
    size_t quote = std::min(offending.totalLen(), offending.headerLen() + 8);
    std::lock_guard<std::mutex> g(txLock);
    std::memset(outbuf, 0, sizeof outbuf);
    uint8_t *d = outbuf + kLinkHeader;
    uint8_t *m = d + ip::kHeaderLen;
    m[icmp::kType] = icmp::kUnreachable;
    m[icmp::kCode] = code;
    std::memcpy(m + icmp::kData, offending.bytes(), quote);
    uint32_t src = offending.destination();
    icmpReplyLocked(d, src, offending.source(), icmp::kHeaderLen + quote);
}

bool IpLayer::icmpReplyLocked(uint8_t *d, uint32_t src, uint32_t dst, size_t icmpLen) {
    uint8_t *m = d + ip::kHeaderLen;
    put16(m + icmp::kChecksum, 0);
    storeChecksum(m + icmp::kChecksum, inchksum(m, icmpLen));
    writeIpv4Header(d, 0, static_cast<uint16_t>(icmpLen + ip::kHeaderLen), icmp_id++,
                    static_cast<uint8_t>(addr_.default_ttl.load()), ip::kProtoIcmp, src, dst);
    // ICMP output ignores a failed send.
    return dev_.transmit(d, icmpLen + ip::kHeaderLen);
}

uint32_t IpLayer::chkPing(uint32_t host, uint32_t *number) {
    std::lock_guard<std::mutex> g(pingLock);
    if (host == 0 || host != ping_hcache) return 0xFFFFFFFFu;
    ping_hcache = 0;
    if (number) *number = ping_number;
    return ping_tcache;
}

}  // namespace ryn::inet
