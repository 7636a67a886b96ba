// Feeds arbitrary line bytes to the PPP frame decoder in chunks of varying
// size, under every receive map the first bytes select, and checks that each
// delivered frame lies inside the buffer with its rebuilt header.
#include "link/ppp_frame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
class CheckingSink final : public ryn::ppp::FrameDecoder::Sink {
public:
    void onFrame(const ryn::ppp::ReceivedFrame &f) override {
        if (f.length == 0 || f.length > ryn::ppp::kRxCapacity) abort();
        const uint8_t *h = f.header();
        if (h[0] != 0xFF || h[1] != 0x03 || (h[2] << 8 | h[3]) != f.protocol) abort();
        last.assign(f.payload, f.payload + f.length);
        lastProtocol = f.protocol;
    }
    std::vector<uint8_t> last;
    unsigned lastProtocol = 0;
};
}  // namespace

// Valid frames too: the input's bodies get an FCS and are stuffed under a
// map the input picks, so the protocol field parse sees well-formed frames
// of every length, and each must come back byte for byte.
void roundTrip(const uint8_t *data, size_t size) {
    ryn::ppp::FrameEncoder enc;
    std::array<uint32_t, 8> map{};
    for (size_t i = 0; i < 8 && i < size; ++i) map[i] = data[i] * 0x01010101u;
    enc.setXmitMap(map);
    enc.setCompression(size > 8 && (data[8] & 1), size > 8 && (data[8] & 2));
    ryn::ppp::FrameDecoder dec;
    CheckingSink sink;
    const uint8_t flag = ryn::ppp::kFlag;
    dec.feed(&flag, 1, sink);
    std::vector<uint8_t> out(ryn::ppp::kTxCapacity);
    size_t pos = 9;
    while (pos < size) {
        size_t len = data[pos++] * 8u;
        if (len > size - pos) len = size - pos;
        if (len < ryn::ppp::kHeaderLen || len > ryn::ppp::kHeaderLen + ryn::ppp::kMaxMtu) {
            pos += len;
            continue;
        }
        std::vector<uint8_t> frame(data + pos, data + pos + len);
        frame[0] = 0xFF;
        frame[1] = 0x03;
        frame[2] &= 0xFE;  // a valid 2-byte protocol: even high byte,
        frame[3] |= 0x01;  // odd low byte
        // 0x00FF compressed to one byte before a 03 would read as FF 03.
        if (frame[2] == 0 && frame[3] == 0xFF) frame[3] = 0x21;
        pos += len;
        size_t n = enc.encode(frame.data(), frame.size(), true, out.data(), out.size());
        if (n == 0) abort();
        uint32_t before = dec.framesDelivered();
        dec.feed(out.data(), n, sink);
        bool empty = frame.size() == ryn::ppp::kHeaderLen;
        if (dec.framesDelivered() != before + (empty ? 0 : 1)) abort();
        if (!empty && (sink.last != std::vector<uint8_t>(frame.begin() + 4, frame.end()) ||
                       sink.lastProtocol != (frame[2] << 8 | frame[3])))
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    if (data[0] & 0x80) {
        roundTrip(data + 1, size - 1);
        return 0;
    }
    ryn::ppp::FrameDecoder dec;
    dec.setRecvMap(data[0] & 1 ? 0xFFFFFFFFu : (data[0] & 2 ? 0x000A0000u : 0));
    dec.setMru(data[1] & 1 ? 1500 : 128 + data[1]);
    size_t chunk = 1 + data[2] % 64;
    CheckingSink sink;
    for (size_t pos = 3; pos < size; pos += chunk) dec.feed(data + pos, size - pos < chunk ? size - pos : chunk, sink);
    return 0;
}
