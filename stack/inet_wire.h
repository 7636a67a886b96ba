// Wire formats of the embedded IPv4 stack: field offsets and constants named
// once per header, bounds-checked read-only views over received bytes, the
// Internet checksum and the TCP option walk.
//
// A view never owns bytes: the caller keeps the buffer alive while the view
// is used. `parse` checks the buffer size against every length field of the
// header together, so a view that parsed can be read without further checks;
// every length taken from the wire is clamped to what was received. Pure
// functions, no state: any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace ryn::inet {

// --- Byte access ----------------------------------------------------------
inline uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t get32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// --- Internet checksum ----------------------------------------------------
// One's-complement sum of len bytes taken as native 16-bit words (a trailing
// odd byte counts as its own value), carries folded, not complemented. A
// received header is valid when the sum over it is 0xFFFF; a sender stores
// the complement of the sum taken with the field zero (storeChecksum), which
// is right in either byte order because the sum is order-symmetric.
uint16_t inchksum(const void *data, size_t len);
inline void storeChecksum(uint8_t *field, uint16_t sum) {
    uint16_t v = static_cast<uint16_t>(~sum);
    std::memcpy(field, &v, 2);
}
// Adds two partial sums (one's complement).
inline uint16_t addChecksum(uint16_t a, uint16_t b) {
    uint32_t s = uint32_t{a} + b;
    return static_cast<uint16_t>((s & 0xFFFF) + (s >> 16));
}
// Partial sum of the 12-byte pseudo header of TCP and UDP.
uint16_t pseudoHeaderSum(uint32_t src, uint32_t dst, uint8_t protocol, uint16_t length);

// --- IPv4 -----------------------------------------------------------------
namespace ip {
inline constexpr size_t kVersionIhl = 0, kTos = 1, kTotalLength = 2, kId = 4, kFragment = 6, kTtl = 8,
                        kProtocol = 9, kChecksum = 10, kSource = 12, kDestination = 16;
inline constexpr size_t kHeaderLen = 20;
inline constexpr uint8_t kProtoIcmp = 1, kProtoTcp = 6, kProtoUdp = 17;
}  // namespace ip

class Ipv4View {
public:
    // Checks version 4, IHL >= 5, IHL*4 <= total length <= received. Bytes
    // beyond the total length (link padding) are not part of the view.
    static std::optional<Ipv4View> parse(const uint8_t *data, size_t len);
    // A quoted header inside an ICMP error: its header length already
    // checked by the caller; the view covers only the avail bytes present.
    static Ipv4View parseQuote(const uint8_t *data, size_t hlen, size_t avail) { return Ipv4View(data, hlen, avail); }

    size_t headerLen() const { return hlen_; }
    size_t totalLen() const { return total_; }
    uint8_t tos() const { return p_[ip::kTos]; }
    uint16_t id() const { return get16(p_ + ip::kId); }
    uint8_t ttl() const { return p_[ip::kTtl]; }
    uint8_t protocol() const { return p_[ip::kProtocol]; }
    uint32_t source() const { return get32(p_ + ip::kSource); }
    uint32_t destination() const { return get32(p_ + ip::kDestination); }
    bool headerChecksumOk() const { return inchksum(p_, hlen_) == 0xFFFF; }
    const uint8_t *bytes() const { return p_; }
    const uint8_t *payload() const { return p_ + hlen_; }
    size_t payloadLen() const { return total_ - hlen_; }

private:
    Ipv4View(const uint8_t *p, size_t hlen, size_t total) : p_(p), hlen_(hlen), total_(total) {}
    const uint8_t *p_;
    size_t hlen_, total_;
};

// Writes a 20-byte header with its checksum.
void writeIpv4Header(uint8_t *out, uint8_t tos, uint16_t totalLen, uint16_t id, uint8_t ttl, uint8_t protocol,
                     uint32_t src, uint32_t dst);

// --- ICMP -----------------------------------------------------------------
namespace icmp {
inline constexpr size_t kType = 0, kCode = 1, kChecksum = 2, kRest = 4, kData = 8;
inline constexpr size_t kHeaderLen = 8;
inline constexpr uint8_t kEchoReply = 0, kUnreachable = 3, kSourceQuench = 4, kRedirect = 5, kEchoRequest = 8,
                         kTimeExceeded = 11, kParameterProblem = 12, kTimestamp = 13, kInfoRequest = 15,
                         kInfoReply = 16, kMaskReply = 18;
inline constexpr uint8_t kCodeProtocolUnreachable = 2, kCodePortUnreachable = 3;
}  // namespace icmp

class IcmpView {
public:
    static std::optional<IcmpView> parse(const uint8_t *data, size_t len);
    uint8_t type() const { return p_[icmp::kType]; }
    uint8_t code() const { return p_[icmp::kCode]; }
    uint32_t rest() const { return get32(p_ + icmp::kRest); }
    bool checksumOk() const { return inchksum(p_, len_) == 0xFFFF; }
    const uint8_t *bytes() const { return p_; }
    size_t length() const { return len_; }
    // The datagram quoted by an error message: its IP header plus at least
    // the 8 bytes that hold the transport ports; nullopt when cut shorter.
    std::optional<Ipv4View> quoted() const;

private:
    IcmpView(const uint8_t *p, size_t len) : p_(p), len_(len) {}
    const uint8_t *p_;
    size_t len_;
};

// --- TCP ------------------------------------------------------------------
namespace tcp {
inline constexpr size_t kSrcPort = 0, kDstPort = 2, kSeq = 4, kAck = 8, kOffset = 12, kFlags = 13, kWindow = 14,
                        kChecksum = 16, kUrgent = 18;
inline constexpr size_t kHeaderLen = 20;
inline constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck_ = 0x10, kUrg = 0x20;
inline constexpr uint8_t kOptEnd = 0, kOptNop = 1, kOptMss = 2;
inline constexpr uint16_t kDefaultMss = 536;  // no MSS option on the SYN
inline constexpr uint16_t kMinMss = 64;
}  // namespace tcp

class TcpView {
public:
    // Checks data offset >= 5 and the header within len (the IP payload).
    static std::optional<TcpView> parse(const uint8_t *data, size_t len);
    uint16_t srcPort() const { return get16(p_ + tcp::kSrcPort); }
    uint16_t dstPort() const { return get16(p_ + tcp::kDstPort); }
    uint32_t seq() const { return get32(p_ + tcp::kSeq); }
    uint32_t ack() const { return get32(p_ + tcp::kAck); }
    uint8_t flags() const { return p_[tcp::kFlags] & 0x3F; }
    bool has(uint8_t f) const { return (flags() & f) != 0; }
    uint16_t window() const { return get16(p_ + tcp::kWindow); }
    size_t headerLen() const { return hlen_; }
    const uint8_t *options() const { return p_ + tcp::kHeaderLen; }
    size_t optionsLen() const { return hlen_ - tcp::kHeaderLen; }
    const uint8_t *data() const { return p_ + hlen_; }
    size_t dataLen() const { return len_ - hlen_; }
    size_t length() const { return len_; }
    const uint8_t *bytes() const { return p_; }
    // Checksum over the segment with the pseudo header of src/dst.
    bool checksumOk(uint32_t src, uint32_t dst) const;
    // Sequence space the segment occupies: data, plus one each for SYN and FIN.
    uint32_t seqLen() const { return static_cast<uint32_t>(dataLen()) + (has(tcp::kSyn) ? 1 : 0) + (has(tcp::kFin) ? 1 : 0); }

private:
    TcpView(const uint8_t *p, size_t hlen, size_t len) : p_(p), hlen_(hlen), len_(len) {}
    const uint8_t *p_;
    size_t hlen_, len_;
};

// Walks the option area; returns the MSS value when an MSS option of the
// exact length 4 is present. Stops at END, at a length byte below 2 or one
// that runs past the area, so a hostile walk can never stall or overrun.
std::optional<uint16_t> findMssOption(const uint8_t *opts, size_t len);
// The MSS to use toward a peer: its option (536 when absent), clamped to
// [64, linkMtu - 40], and never above our own.
uint16_t effectiveMss(std::optional<uint16_t> peerOption, uint16_t ownMss, int linkMtu);

// Wrap-safe sequence comparisons.
inline bool seqLt(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
inline bool seqLe(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }
inline bool seqGt(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }
inline bool seqGe(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

}  // namespace ryn::inet
