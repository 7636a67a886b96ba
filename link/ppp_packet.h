// Bounds-checked views of received control packets (LCP, IPCP, PAP) and of
// their option lists, and the codes and option types of those protocols.
//
// A view never owns bytes: the caller keeps the buffer alive while the view
// is used. Every read goes through a length check first; nothing here
// dereferences a byte outside [data, data + length). Pure code, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ryn::ppp {

// Control packet header: code, identifier, length (big-endian, code to end).
inline constexpr size_t kCpCode = 0;
inline constexpr size_t kCpId = 1;
inline constexpr size_t kCpLength = 2;
inline constexpr size_t kCpHeaderLen = 4;

// Codes shared by LCP and IPCP, and LCP's own.
enum CpCode : uint8_t {
    CONFREQ = 1,
    CONFACK = 2,
    CONFNAK = 3,
    CONFREJ = 4,
    TERMREQ = 5,
    TERMACK = 6,
    CODEREJ = 7,
    PROTREJ = 8,
    ECHOREQ = 9,
    ECHOREP = 10,
    DISCREQ = 11,
};

// PAP codes.
enum PapCode : uint8_t { UPAP_AUTHREQ = 1, UPAP_AUTHACK = 2, UPAP_AUTHNAK = 3 };

// LCP option types and lengths.
inline constexpr uint8_t CI_MRU = 1, CI_ASYNCMAP = 2, CI_AUTHTYPE = 3, CI_QUALITY = 4, CI_MAGICNUMBER = 5,
                         CI_PCOMPRESSION = 7, CI_ACCOMPRESSION = 8;
inline constexpr int CILEN_VOID = 2, CILEN_SHORT = 4, CILEN_CHAP = 5, CILEN_LONG = 6, CILEN_LQR = 8;
inline constexpr uint16_t kMinMru = 128;
inline constexpr uint8_t kChapDigestMd5 = 5;
inline constexpr uint16_t kProtoChap = 0xC223;
inline constexpr uint16_t kProtoLqr = 0xC025;

// IPCP option types and lengths.
inline constexpr uint8_t CI_ADDRS = 1, CI_COMPRESSTYPE = 2, CI_ADDR = 3, CI_MS_DNS1 = 129, CI_MS_DNS2 = 131;
inline constexpr int CILEN_ADDRS = 10, CILEN_ADDR = 6;

inline uint16_t getShort(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t getLong(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void putShort(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void putLong(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A received control packet. Valid only when at least the header arrived
// and 4 <= length field <= bytes received; bytes beyond the length field are
// not part of the packet.
class ControlPacket {
public:
    ControlPacket(const uint8_t *data, int received) {
        if (data == nullptr || received < static_cast<int>(kCpHeaderLen)) return;
        size_t len = getShort(data + kCpLength);
        if (len < kCpHeaderLen || len > static_cast<size_t>(received)) return;
        data_ = data;
        length_ = len;
    }
    bool valid() const { return data_ != nullptr; }
    uint8_t code() const { return data_[kCpCode]; }
    uint8_t id() const { return data_[kCpId]; }
    // The whole packet, header included, as the length field gives it.
    const uint8_t *packet() const { return data_; }
    size_t length() const { return length_; }
    const uint8_t *body() const { return data_ + kCpHeaderLen; }
    size_t bodyLength() const { return length_ - kCpHeaderLen; }

private:
    const uint8_t *data_ = nullptr;
    size_t length_ = 0;
};

// One option of a configuration packet: type, length (type and length bytes
// included) and the value bytes.
struct Option {
    uint8_t type = 0;
    uint8_t length = 0;
    const uint8_t *start = nullptr;  // the type byte
    const uint8_t *value() const { return start + 2; }
    size_t valueLength() const { return length - 2u; }
    uint16_t valueShort() const { return valueLength() >= 2 ? getShort(value()) : 0; }
    uint32_t valueLong(size_t at = 0) const { return valueLength() >= at + 4 ? getLong(value() + at) : 0; }
};

// Walks an option list. next() yields options whose 2 <= length <= bytes
// left; at the first one that breaks that rule the walk stops with
// malformed() set and rest() naming the bytes from that option on. A zero
// length therefore ends the walk instead of stalling it.
class OptionWalker {
public:
    OptionWalker(const uint8_t *data, size_t length) : p_(data), left_(data ? length : 0) {}
    bool next(Option &o) {
        if (left_ == 0 || malformed_) return false;
        if (left_ < 2 || p_[1] < 2 || p_[1] > left_) {
            malformed_ = true;
            return false;
        }
        o.type = p_[0];
        o.length = p_[1];
        o.start = p_;
        p_ += o.length;
        left_ -= o.length;
        return true;
    }
    bool malformed() const { return malformed_; }
    // Advances to the next option that equals `wanted` byte for byte (a
    // Reject must list options as sent, in our order); false when none is left.
    bool skipTo(const Option &wanted) {
        Option o;
        while (next(o))
            if (o.length == wanted.length && std::memcmp(o.start, wanted.start, o.length) == 0) return true;
        return false;
    }
    const uint8_t *rest() const { return p_; }
    size_t restLength() const { return left_; }

private:
    const uint8_t *p_;
    size_t left_;
    bool malformed_ = false;
};

// Appends bytes to a fixed buffer; writes past the end are dropped and
// remembered, never performed.
class OptionWriter {
public:
    OptionWriter(uint8_t *out, size_t cap) : out_(out), cap_(cap) {}
    void put(const uint8_t *bytes, size_t n) {
        if (n > cap_ - len_) {
            overflow_ = true;
            return;
        }
        for (size_t i = 0; i < n; ++i) out_[len_ + i] = bytes[i];
        len_ += n;
    }
    void put(const Option &o) { put(o.start, o.length); }
    void putVoid(uint8_t type) {
        const uint8_t b[2] = {type, 2};
        put(b, 2);
    }
    void putShort(uint8_t type, uint16_t v) {
        uint8_t b[4] = {type, 4};
        ryn::ppp::putShort(b + 2, v);
        put(b, 4);
    }
    void putLong(uint8_t type, uint32_t v) {
        uint8_t b[6] = {type, 6};
        ryn::ppp::putLong(b + 2, v);
        put(b, 6);
    }
    size_t length() const { return len_; }
    bool overflow() const { return overflow_; }

private:
    uint8_t *out_;
    size_t cap_;
    size_t len_ = 0;
    bool overflow_ = false;
};

}  // namespace ryn::ppp
