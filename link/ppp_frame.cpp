#include "link/ppp_frame.h"

#include <cstring>

namespace ryn::ppp {

namespace {
constexpr std::array<uint16_t, 256> makeFcsTable() {
    std::array<uint16_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = b;
        for (int i = 0; i < 8; ++i) v = (v & 1) ? (v >> 1) ^ 0x8408u : v >> 1;
        t[b] = static_cast<uint16_t>(v);
    }
    return t;
}
constexpr std::array<uint16_t, 256> kFcsTable = makeFcsTable();

inline uint16_t fcsStep(uint16_t fcs, uint8_t c) {
    return static_cast<uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ c) & 0xFF]);
}
}  // namespace

uint16_t fcs16(uint16_t fcs, const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; ++i) fcs = fcsStep(fcs, data[i]);
    return fcs;
}

bool FrameView::parse(uint8_t *data, size_t len, uint16_t &protocol, size_t &payloadOffset) {
    size_t pos = 0;
    if (len >= 2 && data[0] == kAllStations && data[1] == kUi) pos = 2;
    if (pos >= len) return false;
    if (data[pos] & 1) {  // compressed: one odd byte
        protocol = data[pos];
        pos += 1;
    } else {
        if (pos + 2 > len) return false;
        protocol = static_cast<uint16_t>(data[pos] << 8 | data[pos + 1]);
        pos += 2;
    }
    payloadOffset = pos;
    return true;
}

FrameEncoder::FrameEncoder() {
    std::array<uint32_t, 8> map{};
    map[0] = 0xFFFFFFFFu;  // every control character
    map[3] = 0x60000000u;  // 0x7D and 0x7E
    setXmitMap(map);
}

void FrameEncoder::setXmitMap(const std::array<uint32_t, 8> &map) {
    xmitMap_ = map;
    for (unsigned c = 0; c < 256; ++c) escape_[c] = (map[c >> 5] >> (c & 31)) & 1;
    // Flag and escape must always be stuffed, whatever a map says; 0x5D and
    // 0x5E never, since stuffed they would read 7D 7D and 7D 7E.
    escape_[kFlag] = 1;
    escape_[kEscape] = 1;
    escape_[kEscape ^ kTrans] = 0;
    escape_[kFlag ^ kTrans] = 0;
}

size_t FrameEncoder::encode(const uint8_t *frame, size_t len, bool leadingFlag, uint8_t *out, size_t cap) const {
    if (len < kHeaderLen) return 0;
    // Worst case: two flags, every byte (and both FCS bytes) doubled.
    if (cap < 2 + 2 * (len + kFcsLen)) return 0;
    size_t n = 0;
    uint16_t fcs = kFcsInit;
    auto stuff = [&](uint8_t c) {
        fcs = fcsStep(fcs, c);
        if (escape_[c]) {
            out[n++] = kEscape;
            out[n++] = static_cast<uint8_t>(c ^ kTrans);
        } else {
            out[n++] = c;
        }
    };
    auto put = [&](uint8_t c) {  // FCS bytes: stuffed but not summed
        if (escape_[c]) {
            out[n++] = kEscape;
            out[n++] = static_cast<uint8_t>(c ^ kTrans);
        } else {
            out[n++] = c;
        }
    };
    if (leadingFlag) out[n++] = kFlag;
    if (!(frame[0] == kAllStations && frame[1] == kUi && acfc_)) {
        stuff(frame[0]);
        stuff(frame[1]);
    }
    if (!(pfc_ && frame[2] == 0)) stuff(frame[2]);
    stuff(frame[3]);
    for (size_t i = kHeaderLen; i < len; ++i) stuff(frame[i]);
    fcs = static_cast<uint16_t>(~fcs);
    put(static_cast<uint8_t>(fcs & 0xFF));
    put(static_cast<uint8_t>(fcs >> 8));
    out[n++] = kFlag;
    return n;
}

FrameDecoder::FrameDecoder() { reset(); }

void FrameDecoder::setMru(int mru) { mru_ = mru < 0 ? 0 : (mru > kDefaultMru ? kDefaultMru : mru); }

void FrameDecoder::reset() {
    escape_ = 0;
    toss_ = kTossAtOpen;
    fcs_ = kFcsInit;
    count_ = 0;
}

void FrameDecoder::feed(const uint8_t *data, size_t len, Sink &sink) {
    uint8_t *const store = buf_.data() + kHeaderLen;
    for (size_t i = 0; i < len; ++i) {
        uint8_t c = data[i];
        if (c == kEscape) {
            escape_ = kTrans;
            continue;
        }
        if (c == kFlag) {
            endOfFrame(sink);
            continue;
        }
        if (c < 0x20 && ((recvMap_ >> c) & 1)) continue;  // line noise; escape state kept
        c ^= escape_;
        escape_ = 0;
        if (toss_ != 0) continue;
        if (count_ < kRxCapacity) {
            store[count_++] = c;
            fcs_ = fcsStep(fcs_, c);
        } else {
            ++errors_;
            toss_ = kTossOverflow;
        }
    }
}

void FrameDecoder::endOfFrame(Sink &sink) {
    uint8_t *const store = buf_.data() + kHeaderLen;
    const bool drop = escape_ != 0 || toss_ != 0;  // escape before flag, or tossing
    const size_t count = count_;
    const uint16_t fcs = fcs_;
    count_ = 0;
    fcs_ = kFcsInit;
    escape_ = 0;
    toss_ = 0;
    if (drop || count == 0) return;
    // Longest acceptable: address, control, 2-byte protocol, mru bytes, FCS.
    if (count < 4 || count > static_cast<size_t>(mru_) + kHeaderLen + kFcsLen || fcs != kFcsGood) {
        ++errors_;
        return;
    }
    size_t len = count - kFcsLen;
    uint16_t protocol = 0;
    size_t off = 0;
    if (!FrameView::parse(store, len, protocol, off) || off >= len) {
        ++errors_;  // no protocol field, or nothing after it
        return;
    }
    uint8_t *payload = store + off;
    // off <= 4 and the buffer has kHeaderLen spare bytes in front of store,
    // so the rebuilt header never leaves the buffer.
    uint8_t *h = payload - kHeaderLen;
    h[0] = kAllStations;
    h[1] = kUi;
    h[2] = static_cast<uint8_t>(protocol >> 8);
    h[3] = static_cast<uint8_t>(protocol & 0xFF);
    ++frames_;
    sink.onFrame(ReceivedFrame{protocol, payload, len - off});
}

}  // namespace ryn::ppp
