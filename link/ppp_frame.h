// HDLC-like framing of PPP over an asynchronous serial line (RFC 1662):
// FCS-16, byte stuffing under a 256-bit transmit map, and the receive state
// machine (escape, toss, drop map, length and FCS checks, header rebuild).
//
// Pure code: no I/O, no clock, no locks. The PPP device owns one encoder and
// one decoder and guards them: the encoder with the transmit lock, the
// decoder with the PPP lock.
#pragma once

#include "link/ppp_defs.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ryn::ppp {

// Running FCS-16 over data (polynomial 0x8408, bit-reversed).
uint16_t fcs16(uint16_t fcs, const uint8_t *data, size_t len);

// A received frame, after the framing layer: the protocol and the payload.
// header() points at 4 writable bytes directly in front of the payload that
// hold FF 03 proto-hi proto-lo, so a handler can hand the whole frame on.
struct ReceivedFrame {
    uint16_t protocol;
    uint8_t *payload;
    size_t length;
    uint8_t *header() const { return payload - kHeaderLen; }
};

// Bounds-checked view of an unescaped frame with its FCS already removed:
// optional FF 03, a 1- or 2-byte protocol, then the payload.
class FrameView {
public:
    // False when the protocol field is missing or incomplete.
    static bool parse(uint8_t *data, size_t len, uint16_t &protocol, size_t &payloadOffset);
};

class FrameEncoder {
public:
    FrameEncoder();
    // Full 256-bit map: bit c set escapes byte value c.
    void setXmitMap(const std::array<uint32_t, 8> &map);
    const std::array<uint32_t, 8> &xmitMap() const { return xmitMap_; }
    void setCompression(bool pfc, bool acfc) { pfc_ = pfc; acfc_ = acfc; }
    bool escapes(uint8_t c) const { return escape_[c] != 0; }

    // Encodes frame (which starts with the 4-byte header FF 03 proto-hi
    // proto-lo) into out. Returns the bytes written, or 0 when the frame is
    // shorter than its header or out cannot hold the encoded frame.
    size_t encode(const uint8_t *frame, size_t len, bool leadingFlag, uint8_t *out, size_t cap) const;

private:
    std::array<uint32_t, 8> xmitMap_{};
    std::array<uint8_t, 256> escape_{};
    bool pfc_ = false;
    bool acfc_ = false;
};

class FrameDecoder {
public:
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void onFrame(const ReceivedFrame &frame) = 0;
    };

    FrameDecoder();
    // Control characters (0..31) whose bit is set are line noise and dropped.
    void setRecvMap(uint32_t map) { recvMap_ = map; }
    uint32_t recvMap() const { return recvMap_; }
    void setMru(int mru);
    int mru() const { return mru_; }
    // Back to the state after open: everything before the next flag is discarded.
    void reset();
    void feed(const uint8_t *data, size_t len, Sink &sink);

    uint32_t receiveErrors() const { return errors_; }
    uint32_t framesDelivered() const { return frames_; }
    uint8_t toss() const { return toss_; }

private:
    void endOfFrame(Sink &sink);

    uint32_t recvMap_ = 0;
    int mru_ = kDefaultMru;
    uint8_t escape_ = 0;
    uint8_t toss_ = kTossAtOpen;
    uint16_t fcs_ = kFcsInit;
    size_t count_ = 0;
    uint32_t errors_ = 0;
    uint32_t frames_ = 0;
    // kHeaderLen spare bytes in front so the full header can be rebuilt
    // ahead of a payload whose address/control or protocol was compressed.
    std::array<uint8_t, kHeaderLen + kRxCapacity> buf_{};
};

}  // namespace ryn::ppp
