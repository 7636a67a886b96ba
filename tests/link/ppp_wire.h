// Test helpers for PPP on the wire: FCS, escaping into a line frame, and
// decoding what the host wrote back into frames.
#pragma once

#include "link/ppp_frame.h"

#include <cstdint>
#include <vector>

namespace ryn::test {

using Bytes = std::vector<uint8_t>;

inline Bytes withFcs(Bytes body) {
    uint16_t fcs = static_cast<uint16_t>(~ryn::ppp::fcs16(ryn::ppp::kFcsInit, body.data(), body.size()));
    body.push_back(static_cast<uint8_t>(fcs & 0xFF));
    body.push_back(static_cast<uint8_t>(fcs >> 8));
    return body;
}

// A frame as the terminal puts it on the line: flags, every control byte escaped.
inline Bytes onLine(const Bytes &body) {
    Bytes out{0x7E};
    for (uint8_t c : body) {
        if (c < 0x20 || c == 0x7D || c == 0x7E) {
            out.push_back(0x7D);
            out.push_back(c ^ 0x20);
        } else {
            out.push_back(c);
        }
    }
    out.push_back(0x7E);
    return out;
}

struct Frame {
    uint16_t protocol;
    Bytes payload;
};

class Collector final : public ryn::ppp::FrameDecoder::Sink {
public:
    std::vector<Frame> frames;
    void onFrame(const ryn::ppp::ReceivedFrame &f) override {
        frames.push_back({f.protocol, Bytes(f.payload, f.payload + f.length)});
    }
};

// Decodes line bytes into frames (a frame sent soon after another has no
// leading flag, so one is fed first).
inline std::vector<Frame> decodeFrames(const Bytes &line) {
    ryn::ppp::FrameDecoder dec;
    Collector c;
    const uint8_t flag = ryn::ppp::kFlag;
    dec.feed(&flag, 1, c);
    dec.feed(line.data(), line.size(), c);
    return c.frames;
}

}  // namespace ryn::test
