#include "stack/inet_wire.h"

#include <algorithm>

namespace ryn::inet {

uint16_t inchksum(const void *data, size_t len) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint64_t sum = 0;
    while (len >= 2) {
        uint16_t w;
        std::memcpy(&w, p, 2);
        sum += w;
        p += 2;
        len -= 2;
    }
    if (len) {
        // Zero-padded to a native word: on this little-endian target the
        // byte keeps its own value.
        uint8_t pad[2] = {*p, 0};
        uint16_t w;
        std::memcpy(&w, pad, 2);
        sum += w;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

uint16_t pseudoHeaderSum(uint32_t src, uint32_t dst, uint8_t protocol, uint16_t length) {
    uint8_t ph[12];
    put32(ph, src);
    put32(ph + 4, dst);
    ph[8] = 0;
    ph[9] = protocol;
    put16(ph + 10, length);
    return inchksum(ph, sizeof ph);
}

std::optional<Ipv4View> Ipv4View::parse(const uint8_t *data, size_t len) {
    if (!data || len < ip::kHeaderLen) return std::nullopt;
    if ((data[ip::kVersionIhl] >> 4) != 4) return std::nullopt;
    size_t hlen = size_t{data[ip::kVersionIhl] & 0x0Fu} * 4;
    size_t total = get16(data + ip::kTotalLength);
    if (hlen < ip::kHeaderLen || total < hlen || total > len) return std::nullopt;
    return Ipv4View(data, hlen, total);
}

void writeIpv4Header(uint8_t *out, uint8_t tos, uint16_t totalLen, uint16_t id, uint8_t ttl, uint8_t protocol,
                     uint32_t src, uint32_t dst) {
    out[ip::kVersionIhl] = 0x45;
    out[ip::kTos] = tos;
    put16(out + ip::kTotalLength, totalLen);
    put16(out + ip::kId, id);
    put16(out + ip::kFragment, 0);
    out[ip::kTtl] = ttl;
    out[ip::kProtocol] = protocol;
    put16(out + ip::kChecksum, 0);
    put32(out + ip::kSource, src);
    put32(out + ip::kDestination, dst);
    storeChecksum(out + ip::kChecksum, inchksum(out, ip::kHeaderLen));
}

std::optional<IcmpView> IcmpView::parse(const uint8_t *data, size_t len) {
    if (!data || len < icmp::kHeaderLen) return std::nullopt;
    return IcmpView(data, len);
}

std::optional<Ipv4View> IcmpView::quoted() const {
    auto q = Ipv4View::parse(p_ + icmp::kData, len_ - icmp::kData);
    if (q) return q;
    // Quotes are usually cut after 8 transport bytes, so the quoted total
    // length exceeds what is here: accept the header plus 8 bytes, bounded
    // by what was received.
    const uint8_t *d = p_ + icmp::kData;
    size_t avail = len_ - icmp::kData;
    if (avail < ip::kHeaderLen || (d[ip::kVersionIhl] >> 4) != 4) return std::nullopt;
    size_t hlen = size_t{d[ip::kVersionIhl] & 0x0Fu} * 4;
    if (hlen < ip::kHeaderLen || hlen + 8 > avail) return std::nullopt;
    return Ipv4View::parseQuote(d, hlen, avail);
}

bool TcpView::checksumOk(uint32_t src, uint32_t dst) const {
    if (len_ > 0xFFFF) return false;
    uint16_t s = addChecksum(pseudoHeaderSum(src, dst, ip::kProtoTcp, static_cast<uint16_t>(len_)), inchksum(p_, len_));
    return s == 0xFFFF;
}

std::optional<TcpView> TcpView::parse(const uint8_t *data, size_t len) {
    if (!data || len < tcp::kHeaderLen) return std::nullopt;
    size_t hlen = static_cast<size_t>(data[tcp::kOffset] >> 4) * 4;
    if (hlen < tcp::kHeaderLen || hlen > len) return std::nullopt;
    return TcpView(data, hlen, len);
}

std::optional<uint16_t> findMssOption(const uint8_t *opts, size_t len) {
    size_t i = 0;
    std::optional<uint16_t> mss;
    while (i < len) {
        uint8_t kind = opts[i];
        if (kind == tcp::kOptEnd) break;
        if (kind == tcp::kOptNop) {
            ++i;
            continue;
        }
        if (i + 1 >= len) break;
        size_t olen = opts[i + 1];
        if (olen < 2 || i + olen > len) break;  // malformed: stop, never loop
        if (kind == tcp::kOptMss && olen == 4) mss = get16(opts + i + 2);
        i += olen;
    }
    return mss;
}

uint16_t effectiveMss(std::optional<uint16_t> peerOption, uint16_t ownMss, int linkMtu) {
    int hi = linkMtu - 40;
    if (hi < tcp::kMinMss) hi = tcp::kMinMss;
    int v = peerOption ? *peerOption : tcp::kDefaultMss;
    v = std::clamp(v, int{tcp::kMinMss}, hi);
    if (ownMss >= tcp::kMinMss && v > ownMss) v = ownMss;
    return static_cast<uint16_t>(v);
}

}  // namespace ryn::inet
