// Wire constants and the bounds-checked reader of the service protocol.
//
// Everything received from the terminal is read through ByteReader: each
// read checks the remaining length first and fails (returns false, consumes
// nothing) instead of reading past the end. The TLV serialization markers
// and the envelope layout are named here once. Pure data; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ryn::wire {

// Little-endian helpers over bytes that are known to be in bounds.
inline uint32_t loadLe32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t loadLe16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
inline void storeLe32(unsigned char *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void storeLe16(unsigned char *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Non-owning cursor over received bytes. The caller keeps them alive.
class ByteReader {
public:
    ByteReader(const unsigned char *data, size_t size) : data_(data), size_(data ? size : 0) {}

    size_t remaining() const { return size_ - pos_; }
    size_t position() const { return pos_; }
    bool empty() const { return pos_ == size_; }
    // True when at least n bytes remain (no overflow for any n).
    bool has(size_t n) const { return n <= remaining(); }

    bool readU8(uint8_t &v) {
        if (!has(1)) return false;
        v = data_[pos_++];
        return true;
    }
    bool readLe32(uint32_t &v) {
        if (!has(4)) return false;
        v = loadLe32(data_ + pos_);
        pos_ += 4;
        return true;
    }
    bool readLe16(uint16_t &v) {
        if (!has(2)) return false;
        v = loadLe16(data_ + pos_);
        pos_ += 2;
        return true;
    }
    // Hands out a pointer to the next n bytes and skips them.
    bool readSpan(size_t n, const unsigned char *&out) {
        if (!has(n)) return false;
        out = data_ + pos_;
        pos_ += n;
        return true;
    }

private:
    const unsigned char *data_;
    size_t size_;
    size_t pos_ = 0;
};

// TLV default serialization (selector 0).
namespace tlv {
inline constexpr unsigned char kHeader[4] = {0x00, 0x01, 0x00, 0x00};
inline constexpr size_t kHeaderLen = 4;
inline constexpr size_t kCheckedHeaderBytes = 3;  // byte 3 is not checked
inline constexpr unsigned char kNode = 0x81;
inline constexpr unsigned char kDown = 0x82;
inline constexpr unsigned char kUp = 0x83;
inline constexpr unsigned char kEnd = 0xFF;
inline constexpr size_t kNodeHeaderLen = 9;  // marker, tag (4), length (4)
}  // namespace tlv

// Service message envelope: payload length (LE32), protocol (LE16), payload.
namespace envelope {
inline constexpr size_t kLengthOffset = 0;
inline constexpr size_t kProtocolOffset = 4;
inline constexpr size_t kHeaderLen = 6;
inline constexpr uint16_t kProtocol = 0x0100;
// Legitimate messages, receipt and signature images included, stay far
// below this; a declared length above it is a broken or hostile peer, and
// the connection is closed instead of allocating.
inline constexpr uint32_t kMaxPayload = 4u * 1024 * 1024;
// Answers carry the request's tag plus this.
inline constexpr uint32_t kAnswerTagOffset = 0x01000000;
}  // namespace envelope

}  // namespace ryn::wire
