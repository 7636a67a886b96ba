// PPP framing: FCS, escaping under different maps, and the receive state
// machine, as tables of literal line bytes.
#include "link/ppp_frame.h"
#include "ppp_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {
using ryn::test::Bytes;
using ryn::test::onLine;
using ryn::test::withFcs;
using namespace ryn::ppp;

struct Collected {
    uint16_t protocol;
    Bytes payload;
    Bytes header;
};

class Collector final : public FrameDecoder::Sink {
public:
    std::vector<Collected> frames;
    void onFrame(const ReceivedFrame &f) override {
        frames.push_back({f.protocol, Bytes(f.payload, f.payload + f.length), Bytes(f.header(), f.header() + 4)});
    }
};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Fcs, MatchesTheStandardCheckValueAndResidue) {
    const std::string check = "123456789";
    uint16_t fcs = fcs16(kFcsInit, reinterpret_cast<const uint8_t *>(check.data()), check.size());
    EXPECT_EQ(static_cast<uint16_t>(~fcs), 0x906E);  // the X.25 check value
    Bytes framed = withFcs(Bytes(check.begin(), check.end()));
    EXPECT_EQ(fcs16(kFcsInit, framed.data(), framed.size()), kFcsGood);
}

TEST(Encoder, FirstLcpRequestUnderTheOpeningMap) {
    // Configure-Request id 1: MRU 1500, magic 0x01020304, PFC, ACFC.
    const Bytes frame = {0xFF, 0x03, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x12, 0x01, 0x04, 0x05, 0xDC,
                         0x05, 0x06, 0x01, 0x02, 0x03, 0x04, 0x07, 0x02, 0x08, 0x02};
    FrameEncoder enc;
    uint8_t out[kTxCapacity];
    size_t n = enc.encode(frame.data(), frame.size(), true, out, sizeof out);
    Bytes got(out, out + n);
    const Bytes framed = withFcs(frame);
    const Bytes fcs(framed.end() - 2, framed.end());
    Bytes expect = {0x7E, 0xFF, 0x7D, 0x23, 0xC0, 0x21, 0x7D, 0x21, 0x7D, 0x21, 0x7D, 0x20, 0x7D, 0x32,
                    0x7D, 0x21, 0x7D, 0x24, 0x7D, 0x25, 0xDC, 0x7D, 0x25, 0x7D, 0x26, 0x7D, 0x21, 0x7D, 0x22,
                    0x7D, 0x23, 0x7D, 0x24, 0x7D, 0x27, 0x7D, 0x22, 0x7D, 0x28, 0x7D, 0x22};
    for (uint8_t c : fcs) {
        if (c < 0x20 || c == 0x7D || c == 0x7E) {
            expect.push_back(0x7D);
            expect.push_back(c ^ 0x20);
        } else {
            expect.push_back(c);
        }
    }
    expect.push_back(0x7E);
    EXPECT_EQ(got, expect);
}

TEST(Encoder, EscapesExactlyWhatTheMapSaysAndCompresses) {
    // An IP datagram of bytes that different maps treat differently.
    const Bytes frame = {0xFF, 0x03, 0x00, 0x21, 0x01, 0x11, 0x13, 0x41, 0x7D, 0x7E, 0x5E};
    struct Case {
        const char *name;
        uint32_t word0;
        bool pfc, acfc, leading;
        Bytes head;  // expected bytes before the FCS
    } cases[] = {
        {"opening map", 0xFFFFFFFFu, false, false, true,
         {0x7E, 0xFF, 0x7D, 0x23, 0x7D, 0x20, 0x21, 0x7D, 0x21, 0x7D, 0x31, 0x7D, 0x33, 0x41, 0x7D, 0x5D, 0x7D, 0x5E, 0x5E}},
        // The peer's ACCM 0x000A0000 with both compressions: 7E 21 ..., only
        // 0x11, 0x13, 0x7D and 0x7E escaped.
        {"accm 000A0000 pfc acfc", 0x000A0000u, true, true, true,
         {0x7E, 0x21, 0x01, 0x7D, 0x31, 0x7D, 0x33, 0x41, 0x7D, 0x5D, 0x7D, 0x5E, 0x5E}},
        {"accm 0, no leading flag", 0, true, false, false,
         {0xFF, 0x03, 0x21, 0x01, 0x11, 0x13, 0x41, 0x7D, 0x5D, 0x7D, 0x5E, 0x5E}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FrameEncoder enc;
        std::array<uint32_t, 8> map{};
        map[0] = c.word0;
        map[3] = 0x60000000u;
        enc.setXmitMap(map);
        enc.setCompression(c.pfc, c.acfc);
        uint8_t out[kTxCapacity];
        size_t n = enc.encode(frame.data(), frame.size(), c.leading, out, sizeof out);
        ASSERT_GT(n, c.head.size());
        EXPECT_EQ(Bytes(out, out + c.head.size()), c.head);
        EXPECT_EQ(out[n - 1], 0x7E);
        // And the decoder gets the datagram back whatever was compressed.
        FrameDecoder dec;
        Collector sink;
        const uint8_t flag = 0x7E;
        dec.feed(&flag, 1, sink);
        dec.feed(out, n, sink);
        ASSERT_EQ(sink.frames.size(), 1u);
        EXPECT_EQ(sink.frames[0].protocol, kProtoIp);
        EXPECT_EQ(sink.frames[0].payload, Bytes(frame.begin() + 4, frame.end()));
    }
}

TEST(Encoder, NeverStuffsBytesThatWouldReadAsFlagOrEscape) {
    // A map asking for every byte: stuffed 0x5D and 0x5E would become 7D 7D
    // and 7D 7E on the line, a corrupt and a cut frame.
    FrameEncoder enc;
    std::array<uint32_t, 8> all;
    all.fill(0xFFFFFFFFu);
    enc.setXmitMap(all);
    EXPECT_FALSE(enc.escapes(0x5D));
    EXPECT_FALSE(enc.escapes(0x5E));
    EXPECT_TRUE(enc.escapes(0x41));
    const Bytes frame = {0xFF, 0x03, 0x00, 0x21, 0x5D, 0x5E, 0x7D, 0x7E, 0x41};
    uint8_t out[kTxCapacity];
    size_t n = enc.encode(frame.data(), frame.size(), true, out, sizeof out);
    FrameDecoder dec;
    Collector sink;
    dec.feed(out, n, sink);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0].payload, Bytes(frame.begin() + 4, frame.end()));
}

TEST(Encoder, RefusesWhatItCannotHold) {
    FrameEncoder enc;
    Bytes big(kHeaderLen + kMaxMtu, 0x7E);  // every byte needs escaping
    big[0] = 0xFF;
    big[1] = 0x03;
    big[2] = 0x00;
    big[3] = 0x21;
    std::vector<uint8_t> out(kTxCapacity);
    EXPECT_GT(enc.encode(big.data(), big.size(), true, out.data(), out.size()), 0u);
    EXPECT_EQ(enc.encode(big.data(), big.size(), true, out.data(), 100), 0u);
    EXPECT_EQ(enc.encode(big.data(), 3, true, out.data(), out.size()), 0u);  // no full header
}

const Bytes kLcpBody = {0xFF, 0x03, 0xC0, 0x21, 0x09, 0x07, 0x00, 0x08, 0xDE, 0xAD, 0xBE, 0xEF};
const Bytes kLcpPayload(kLcpBody.begin() + 4, kLcpBody.end());

struct RxCase {
    const char *name;
    Bytes line;
    size_t frames;
    uint32_t errors;
};

TEST(Decoder, LiteralLineBytes) {
    const Bytes good = onLine(withFcs(kLcpBody));
    Bytes badFcs = withFcs(kLcpBody);
    badFcs.back() ^= 0x01;
    Bytes escBeforeFlag = onLine(withFcs(kLcpBody));
    escBeforeFlag.insert(escBeforeFlag.end() - 1, 0x7D);
    Bytes datagram1500(1500, 0x45);
    Bytes full1500 = cat({{0xFF, 0x03, 0x00, 0x21}, datagram1500});
    Bytes over1501 = cat({{0xFF, 0x03, 0x00, 0x21}, Bytes(1501, 0x45)});
    Bytes overflow = cat({{0xFF, 0x03, 0x00, 0x21}, Bytes(2000, 0x45)});

    const RxCase cases[] = {
        {"back-to-back flags: empty frame", {0x7E, 0x7E, 0x7E}, 0, 0},
        {"one frame", good, 1, 0},
        {"bytes before the first flag are discarded", cat({{0x41, 0x42, 0x43, 0xFF, 0x03, 0xC0}, good}), 1, 0},
        {"bad FCS", onLine(badFcs), 0, 1},
        {"escape directly before the flag: dropped silently", escBeforeFlag, 0, 0},
        {"3 bytes", onLine({0xFF, 0x03, 0xC0}), 0, 1},
        {"4 bytes: address, control and FCS only", onLine(withFcs({0xFF, 0x03})), 0, 1},
        {"5 bytes: protocol without payload", onLine(withFcs({0xFF, 0x03, 0x21})), 0, 1},
        {"half a protocol field", onLine(withFcs({0xFF, 0x03, 0xC0})), 0, 1},
        {"1500-byte datagram with its full header", onLine(withFcs(full1500)), 1, 0},
        {"1501-byte datagram: longer than the MRU", onLine(withFcs(over1501)), 0, 1},
        {"overflow, then the next frame is intact", cat({onLine(withFcs(overflow)), good}), 1, 1},
        {"two frames sharing a flag", cat({good, Bytes(good.begin() + 1, good.end())}), 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Whole, and split at every possible point between two reads.
        for (size_t split = 0; split <= c.line.size(); split += (c.line.size() > 64 ? 97 : 1)) {
            FrameDecoder dec;
            Collector sink;
            dec.feed(c.line.data(), split, sink);
            dec.feed(c.line.data() + split, c.line.size() - split, sink);
            ASSERT_EQ(sink.frames.size(), c.frames) << "split at " << split;
            EXPECT_EQ(dec.receiveErrors(), c.errors) << "split at " << split;
        }
    }
}

TEST(Decoder, DeliversProtocolPayloadAndRebuiltHeader) {
    struct Case {
        const char *name;
        Bytes body;
        uint16_t protocol;
        Bytes payload;
    } cases[] = {
        {"full header", kLcpBody, kProtoLcp, kLcpPayload},
        {"address and control omitted", {0xC0, 0x21, 0x09, 0x07, 0x00, 0x04}, kProtoLcp, {0x09, 0x07, 0x00, 0x04}},
        {"both compressed: IP with one protocol byte", {0x21, 0x45, 0x00}, kProtoIp, {0x45, 0x00}},
        {"compressed protocol after FF 03", {0xFF, 0x03, 0x21, 0x45}, kProtoIp, {0x45}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FrameDecoder dec;
        Collector sink;
        Bytes line = onLine(withFcs(c.body));
        dec.feed(line.data(), line.size(), sink);
        ASSERT_EQ(sink.frames.size(), 1u);
        EXPECT_EQ(sink.frames[0].protocol, c.protocol);
        EXPECT_EQ(sink.frames[0].payload, c.payload);
        EXPECT_EQ(sink.frames[0].header, (Bytes{0xFF, 0x03, static_cast<uint8_t>(c.protocol >> 8),
                                                  static_cast<uint8_t>(c.protocol & 0xFF)}));
    }
}

TEST(Decoder, DropMapIgnoresLineNoiseButKeepsEscapes) {
    FrameDecoder dec;
    dec.setRecvMap(1u << 0x11 | 1u << 0x13);  // XON/XOFF inserted by the line
    Collector sink;
    Bytes line = onLine(withFcs(kLcpBody));
    // Noise inside the frame and between an escape and its byte.
    line.insert(line.begin() + 3, 0x11);
    auto esc = std::find(line.begin() + 1, line.end(), 0x7D);
    line.insert(esc + 1, 0x13);
    dec.feed(line.data(), line.size(), sink);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0].payload, kLcpPayload);

    FrameDecoder plain;  // without the map the same bytes are data: bad FCS
    Collector sink2;
    plain.feed(line.data(), line.size(), sink2);
    EXPECT_EQ(sink2.frames.size(), 0u);
    EXPECT_EQ(plain.receiveErrors(), 1u);
}

TEST(Decoder, SmallerMruRefusesLongerFrames) {
    FrameDecoder dec;
    dec.setMru(128);
    Collector sink;
    Bytes ok = onLine(withFcs(cat({{0xFF, 0x03, 0x00, 0x21}, Bytes(128, 1)})));
    Bytes tooLong = onLine(withFcs(cat({{0xFF, 0x03, 0x00, 0x21}, Bytes(129, 1)})));
    dec.feed(ok.data(), ok.size(), sink);
    dec.feed(tooLong.data(), tooLong.size(), sink);
    EXPECT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(dec.receiveErrors(), 1u);
}

}  // namespace
