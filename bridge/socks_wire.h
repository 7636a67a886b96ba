// The SOCKS 5 messages the link's SOCKS servers exchange with the terminal
// (CONNECT only, no authentication): field offsets and codes, a bounds-checked
// view over received bytes, and the pure checks that decide each step of a
// server's dialogue. Nothing here does I/O or keeps state, so everything may
// be called from any thread; the SOCKS threads (socks.cpp) and the fuzz
// target are the callers.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ryn::socks {

inline constexpr uint8_t kVersion = 5;
inline constexpr uint8_t kCmdConnect = 1;
inline constexpr uint8_t kAtypIpv4 = 1;
inline constexpr uint8_t kAtypDomain = 3;
inline constexpr uint8_t kAtypIpv6 = 4;
inline constexpr uint8_t kMethodNoAuth = 0x00;
inline constexpr uint8_t kMethodNoneAcceptable = 0xFF;
inline constexpr uint8_t kMaxMethods = 127;

// Reply codes (REP).
inline constexpr uint8_t kRepSucceeded = 0;
inline constexpr uint8_t kRepGeneralFailure = 1;
inline constexpr uint8_t kRepNetworkUnreachable = 3;
inline constexpr uint8_t kRepHostUnreachable = 4;
inline constexpr uint8_t kRepConnectionRefused = 5;
inline constexpr uint8_t kRepTtlExpired = 6;
inline constexpr uint8_t kRepAddressTypeNotSupported = 8;

// Greeting: VER, NMETHODS, METHOD — exactly one method is understood.
namespace greeting {
inline constexpr size_t VER = 0;
inline constexpr size_t NMETHODS = 1;
inline constexpr size_t METHOD = 2;
inline constexpr size_t kLength = 3;
}  // namespace greeting

// Request and reply: VER, CMD (REP in a reply), RSV, ATYP, address, port.
namespace request {
inline constexpr size_t VER = 0;
inline constexpr size_t CMD = 1;
inline constexpr size_t REP = 1;
inline constexpr size_t RSV = 2;
inline constexpr size_t ATYP = 3;
inline constexpr size_t ADDR = 4;
inline constexpr size_t DOMAIN_LEN = 4;
inline constexpr size_t DOMAIN = 5;
// Enough to know the whole request's length (the domain length byte).
inline constexpr size_t kHeadLength = 5;
inline constexpr size_t kIpv4Length = ADDR + 4 + 2;   // 10
inline constexpr size_t kIpv6Length = ADDR + 16 + 2;  // 22
inline constexpr size_t kDomainOverhead = DOMAIN + 2;  // L + 7
inline constexpr size_t kMaxDomain = 255;
inline constexpr size_t kMaxLength = kDomainOverhead + kMaxDomain;  // 262
}  // namespace request

inline constexpr size_t kReplyLength = 10;  // ATYP 1 reply after a connect
// The address given for a connected IPv6 host: 100.100.100.100.
inline constexpr uint8_t kPlaceholderIpv4[4] = {100, 100, 100, 100};

// Non-owning view of received bytes; every read is checked against the
// length the caller really holds.
class ByteView {
public:
    constexpr ByteView() = default;
    constexpr ByteView(const uint8_t *data, size_t size) : data_(data), size_(data ? size : 0) {}
    constexpr size_t size() const { return size_; }
    constexpr const uint8_t *data() const { return data_; }
    constexpr bool has(size_t offset, size_t count = 1) const {
        return offset <= size_ && count <= size_ - offset;
    }
    // 0 past the end (callers check has() first where it matters).
    constexpr uint8_t u8(size_t offset) const { return has(offset) ? data_[offset] : 0; }
    constexpr uint16_t be16(size_t offset) const {
        return has(offset, 2) ? static_cast<uint16_t>(data_[offset] << 8 | data_[offset + 1]) : 0;
    }
    constexpr ByteView first(size_t n) const { return ByteView(data_, n < size_ ? n : size_); }

private:
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

enum class GreetingVerdict {
    Invalid,  // not exactly 3 bytes, or VER not 5: "Invalid data!!!", no answer
    Silent,   // NMETHODS 0 or above 127: no answer
    Refuse,   // METHOD not 0: answer 05 FF
    Accept,   // answer 05 00
};

constexpr GreetingVerdict checkGreeting(ByteView g) {
    if (g.size() != greeting::kLength || g.u8(greeting::VER) != kVersion) return GreetingVerdict::Invalid;
    uint8_t n = g.u8(greeting::NMETHODS);
    if (n == 0 || n > kMaxMethods) return GreetingVerdict::Silent;
    if (g.u8(greeting::METHOD) != kMethodNoAuth) return GreetingVerdict::Refuse;
    return GreetingVerdict::Accept;
}

enum class HeadVerdict {
    WrongMessage,        // fewer than 5 bytes or VER not 5
    CommandNotSupported, // CMD not CONNECT or RSV not 0
    UnknownAddressType,  // ATYP not 1, 3 or 4
    Complete,            // `length` is the whole request's length
};

struct RequestHead {
    HeadVerdict verdict = HeadVerdict::WrongMessage;
    uint8_t atyp = 0;
    size_t length = 0;  // total bytes of the request (Complete only)
};

// Judges the first bytes of a request (at least kHeadLength are needed) and
// tells how long the whole request must be.
constexpr RequestHead checkRequestHead(ByteView r) {
    RequestHead h;
    if (!r.has(0, request::kHeadLength) || r.u8(request::VER) != kVersion) return h;
    if (r.u8(request::CMD) != kCmdConnect || r.u8(request::RSV) != 0) {
        h.verdict = HeadVerdict::CommandNotSupported;
        return h;
    }
    h.atyp = r.u8(request::ATYP);
    switch (h.atyp) {
    case kAtypIpv4: h.length = request::kIpv4Length; break;
    case kAtypIpv6: h.length = request::kIpv6Length; break;
    case kAtypDomain: h.length = request::kDomainOverhead + r.u8(request::DOMAIN_LEN); break;
    default: h.verdict = HeadVerdict::UnknownAddressType; return h;
    }
    h.verdict = HeadVerdict::Complete;
    return h;
}

// A complete CONNECT request, decoded.
struct Destination {
    uint8_t atyp = 0;
    uint8_t ipv4[4] = {};       // network order (ATYP 1)
    std::string name;           // at most 255 bytes (ATYP 3)
    uint16_t port = 0;          // host order
};

// Decodes a request whose head checked Complete and whose size equals the
// head's length; false otherwise (the caller traces "Uncomplete message").
inline bool parseRequest(ByteView r, Destination *out) {
    RequestHead h = checkRequestHead(r);
    if (h.verdict != HeadVerdict::Complete || r.size() != h.length) return false;
    Destination d;
    d.atyp = h.atyp;
    d.port = r.be16(h.length - 2);
    if (h.atyp == kAtypIpv4) {
        for (size_t i = 0; i < 4; ++i) d.ipv4[i] = r.u8(request::ADDR + i);
    } else if (h.atyp == kAtypDomain) {
        size_t len = r.u8(request::DOMAIN_LEN);
        if (!r.has(request::DOMAIN, len)) return false;
        d.name.assign(reinterpret_cast<const char *>(r.data() + request::DOMAIN), len);
    }
    *out = std::move(d);
    return true;
}

// Reply code for a failed connect's error number.
constexpr uint8_t replyForErrno(int err) {
    switch (err) {
    case ENETUNREACH: return kRepNetworkUnreachable;
    case ETIMEDOUT: return kRepTtlExpired;
    case ECONNREFUSED: return kRepConnectionRefused;
    case EHOSTUNREACH: return kRepHostUnreachable;
    default: return kRepGeneralFailure;
    }
}

// Rewrites the first kReplyLength bytes of `reply` (REQUIRES: it holds that
// many) into the answer to a successful connect.
inline void writeConnectedReply(uint8_t *reply, const uint8_t ipv4[4], uint16_t port) {
    reply[request::VER] = kVersion;
    reply[request::REP] = kRepSucceeded;
    reply[request::RSV] = 0;
    reply[request::ATYP] = kAtypIpv4;
    std::memcpy(reply + request::ADDR, ipv4, 4);
    reply[request::ADDR + 4] = static_cast<uint8_t>(port >> 8);
    reply[request::ADDR + 5] = static_cast<uint8_t>(port & 0xFF);
}

}  // namespace ryn::socks
