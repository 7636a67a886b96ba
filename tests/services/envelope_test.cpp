// Envelope building and checking, and the stream reader (Socket + Frame)
// over a real socket pair.
#include "services/envelope.h"

#include "peers.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace {

using namespace ryn::services;
using ryn::test::envelopeOf;

std::string hex(const std::string &s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

const unsigned char *u(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

TEST(Envelope, AddonInfoRequestIsByteExact) {
    sTLV_TREE_NODE *root = TlvTree_New(0x6002000E);
    const std::string msg = serializeTlv(root);
    EXPECT_EQ(hex(msg), "0E 00 00 00 00 01 00 01 00 00 81 0E 00 02 60 00 00 00 00 FF");

    unsigned char buf[64];
    EXPECT_EQ(encodeEnvelope(root, buf, sizeof buf), int(msg.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), msg.size()), msg);
    // One byte short of header + serialization: refused, not truncated.
    EXPECT_EQ(encodeEnvelope(root, buf, msg.size() - 1), -1);
    TlvTree_Release(root);
}

TEST(Envelope, DecodeTable) {
    const std::string good = envelopeOf(0x60020009, {{0x40000001, "x"}});
    std::string badProtocol = good;
    badProtocol[4] = 0x01;
    badProtocol[5] = 0x00;
    std::string badTree = good;
    badTree[6] = 0x07;
    std::string longer = good + "Z";
    struct {
        const char *name;
        std::string bytes;
        DecodeStatus status;
    } cases[] = {
        {"good", good, DecodeStatus::Ok},
        {"protocol 0x0001", badProtocol, DecodeStatus::ProtocolOrSize},
        {"one byte short", good.substr(0, good.size() - 1), DecodeStatus::ProtocolOrSize},
        {"one byte more", longer, DecodeStatus::ProtocolOrSize},
        {"header only", good.substr(0, 5), DecodeStatus::ProtocolOrSize},
        {"empty payload", std::string("\0\0\0\0\0\x01", 6), DecodeStatus::EmptyPayload},
        {"tree header wrong", badTree, DecodeStatus::BadTree},
        {"tree without node", std::string("\x05\0\0\0\0\x01\0\x01\0\0\xFF", 11), DecodeStatus::BadTree},
    };
    for (const auto &c : cases) {
        sTLV_TREE_NODE *tree = nullptr;
        EXPECT_EQ(TLVTree_DecodeServiceMsg(u(c.bytes), c.bytes.size(), &tree), c.status) << c.name;
        EXPECT_EQ(tree != nullptr, c.status == DecodeStatus::Ok) << c.name;
        TlvTree_Release(tree);
    }
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        transport_ = std::make_unique<PlainTransport>(sv[0]);
        writer_ = sv[1];
        socket_ = std::make_unique<Socket>(*transport_);
    }
    void TearDown() override {
        socket_.reset();
        if (writer_ >= 0) ::close(writer_);
    }
    void send(const std::string &bytes) { ryn::test::writeAll(writer_, bytes); }
    // Reads until the frame is complete or the read says otherwise.
    int readWhole(Frame &f) {
        int r;
        do {
            r = f.read(*socket_, 5000);
        } while (r == 1 && !f.isComplete());
        return r;
    }

    std::unique_ptr<PlainTransport> transport_;
    std::unique_ptr<Socket> socket_;
    int writer_ = -1;
};

TEST_F(StreamTest, TwoEnvelopesInOneSegmentNeedOneSystemRead) {
    const std::string a = envelopeOf(0x60010006, {{0x40000001, "first"}});
    const std::string b = envelopeOf(0x60020003);
    send(a + b);
    Frame f;
    ASSERT_EQ(readWhole(f), 1);
    EXPECT_EQ(f.getBuffer(), a);
    EXPECT_TRUE(f.checkProtocol());
    EXPECT_EQ(f.getPayload(), a.substr(6));
    // The second envelope is already buffered: it completes with a zero
    // timeout, which could not succeed if a system read were needed.
    f.reset();
    EXPECT_TRUE(socket_->isDataReceived());
    EXPECT_EQ(f.read(*socket_, 0), 1);
    EXPECT_TRUE(f.isComplete());
    EXPECT_EQ(f.getBuffer(), b);
}

TEST_F(StreamTest, SplitEnvelopeCompletesAfterATimeout) {
    const std::string m = envelopeOf(0x60020009, {{0x40000001, std::string(100, 'p')}});
    Frame f;
    // Zero timeouts: whatever has arrived is taken, then the read times out.
    auto drain = [&] {
        int r;
        do {
            r = f.read(*socket_, 0);
        } while (r == 1 && !f.isComplete());
        return r;
    };
    send(m.substr(0, 2));  // not even the whole length field
    EXPECT_EQ(drain(), 0);
    EXPECT_TRUE(f.isPartial());
    EXPECT_EQ(f.getBuffer().size(), 2u);
    send(m.substr(2, 30));
    EXPECT_EQ(drain(), 0);
    EXPECT_EQ(f.getBuffer().size(), 32u);
    EXPECT_FALSE(f.isComplete());
    EXPECT_EQ(f.getPayload(), "");
    send(m.substr(32));
    ASSERT_EQ(drain(), 1);
    EXPECT_EQ(f.getBuffer(), m);
}

TEST_F(StreamTest, ZeroPayloadIsCompleteButRejected) {
    const std::string empty("\0\0\0\0\0\x01", 6);
    send(empty);
    Frame f;
    ASSERT_EQ(readWhole(f), 1);
    EXPECT_TRUE(f.isComplete());
    sTLV_TREE_NODE *tree = nullptr;
    EXPECT_EQ(TLVTree_DecodeServiceMsg(u(f.getBuffer()), f.getBuffer().size(), &tree),
              DecodeStatus::EmptyPayload);
}

TEST_F(StreamTest, AbsurdDeclaredLengthIsRefusedBeforeAllocating) {
    send(std::string("\xFF\xFF\xFF\x7F\x00\x01", 6));
    Frame f;
    EXPECT_EQ(readWhole(f), Frame::kTooLarge);
    EXPECT_LT(f.getBuffer().size(), 8u);
}

TEST_F(StreamTest, PeerCloseIsNotAnError) {
    send(envelopeOf(0x60020003).substr(0, 3));
    ::close(writer_);
    writer_ = -1;
    Frame f;
    EXPECT_EQ(readWhole(f), -1);
    EXPECT_TRUE(f.isPartial());
}

}  // namespace
