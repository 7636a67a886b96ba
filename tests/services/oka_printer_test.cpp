// The receipt printer service: command streams in, callbacks and 16-byte
// status records out.
#include "service/callbacks.h"
#include "service/log.h"
#include "services/oka_printer.h"
#include "services/peers.h"
#include "services/wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

using namespace ryn::test;

std::vector<std::string> g_calls;

void onText(const char *text, unsigned char font, unsigned char justify, int a, int b, int inverse, int bold,
            unsigned char charset) {
    g_calls.push_back("text " + std::string(text) + " f" + std::to_string(font) + " j" + std::to_string(justify) +
                      " a" + std::to_string(a) + " b" + std::to_string(b) + " i" + std::to_string(inverse) + " B" +
                      std::to_string(bold) + " c" + std::to_string(charset));
}
void onImage(uint64_t w, uint64_t h, const unsigned char *, unsigned len, unsigned char) {
    g_calls.push_back("image " + std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(len));
}
void onFeed(unsigned n) { g_calls.push_back("feed " + std::to_string(n)); }
void onCut() { g_calls.push_back("cut"); }
int onStart(unsigned char type) {
    g_calls.push_back("start " + std::to_string(type));
    return 0;
}
int onEnd() {
    g_calls.push_back("end");
    return 5;  // any non-zero: not printed
}

struct Answer {
    uint32_t code, job, status, printerStatus;
    bool empty;
};

class OkaPrinter : public ::testing::Test {
protected:
    void SetUp() override {
        logDestroy();
        g_calls.clear();
        RynCallbacks cb{};
        cb.printText = onText;
        cb.printImage = onImage;
        cb.feedPaper = onFeed;
        cb.cutPaper = onCut;
        cb.startReceipt = onStart;
        cb.endReceipt = onEnd;
        registerCallback(cb);
    }
    void TearDown() override { registerCallback(RynCallbacks{}); }

    Answer command(uint32_t code, uint32_t job, uint32_t p1 = 0, uint32_t p2 = 0, const std::string &payload = "") {
        unsigned char header[16];
        ryn::wire::storeLe32(header, code);
        ryn::wire::storeLe32(header + 4, job);
        ryn::wire::storeLe32(header + 8, p1);
        ryn::wire::storeLe32(header + 12, p2);
        std::string stream(reinterpret_cast<char *>(header), 16);
        stream += payload;
        return raw(stream);
    }
    Answer raw(const std::string &stream) {
        T_BIN_BUFFER *in = binbufCreate(stream.data(), stream.size());
        T_BIN_BUFFER *out = printer_.treatOkaPrinterCommand(in);
        Answer a{};
        a.empty = binbufSize(out) == 0;
        if (binbufSize(out) == 16) {
            const unsigned char *p = binbufGet(out);
            a = {ryn::wire::loadLe32(p), ryn::wire::loadLe32(p + 4), ryn::wire::loadLe32(p + 8),
                 ryn::wire::loadLe32(p + 12), false};
        }
        binbufDestroy(&in);
        binbufDestroy(&out);
        return a;
    }
    OKA_Printer printer_;
};

constexpr uint32_t kOpen = 0x40003500, kClose = 0x40003501, kText = 0x40003502, kImage = 0x40003503,
                   kFeed = 0x40003504, kStatus = 0x40003505, kIntensity = 0x40003506, kJustify = 0x40003509,
                   kMode = 0x4000350A, kCut = 0x4000350B, kSignature = 0x4000350C, kStart = 0x4000350D,
                   kEnd = 0x4000350E;

TEST_F(OkaPrinter, AReceiptReachesTheCallbacksInOrder) {
    Answer open = command(kOpen, 0);
    EXPECT_EQ(open.status, 0u);
    ASSERT_EQ(open.job, 1u);
    EXPECT_EQ(command(kStart, 1, 3).status, 0u);
    EXPECT_EQ(command(kText, 1, 0, 0, std::string("TOTAL 12.50\0junk", 16)).status, 0u);
    EXPECT_EQ(command(kText, 1, 0, 0, "no terminator").status, 0u);
    EXPECT_EQ(command(kImage, 1, 8, 2, std::string(2, '\xff')).status, 0u);
    EXPECT_EQ(command(kFeed, 1, 3).status, 0u);
    EXPECT_EQ(command(kCut, 1).status, 0u);
    EXPECT_EQ(command(kEnd, 1).status, 1u);  // the callback said it was not printed
    EXPECT_EQ(command(kSignature, 1).status, 1u);  // no callback registered
    EXPECT_EQ(command(kClose, 1).status, 0u);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"start 3", "text TOTAL 12.50 f0 j2 a1 b1 i0 B0 c0",
                                                 "text no terminator f0 j2 a1 b1 i0 B0 c0", "image 8x2 2", "feed 3",
                                                 "cut", "end"}));
}

TEST_F(OkaPrinter, CommandsForAJobThatIsNotOpenAreRefused) {
    EXPECT_EQ(command(kText, 0, 0, 0, "x").status, 1u);  // before any open
    Answer s = command(kStatus, 7);
    EXPECT_EQ(s.status, 1u);
    EXPECT_EQ(s.printerStatus, 1u);
    EXPECT_EQ(command(kOpen, 0).job, 1u);
    EXPECT_EQ(command(kOpen, 0).job, 2u);
    EXPECT_EQ(command(kText, 1, 0, 0, "old job").status, 1u);
    EXPECT_EQ(command(kText, 2, 0, 0, "new job").status, 0u);
    EXPECT_EQ(command(kClose, 2).status, 0u);
    EXPECT_EQ(command(kText, 2, 0, 0, "closed").status, 1u);
    EXPECT_EQ(command(0x400035FF, 2).status, 1u);  // unknown
    EXPECT_EQ(g_calls, (std::vector<std::string>{"text new job f0 j2 a1 b1 i0 B0 c0"}));
}

TEST_F(OkaPrinter, FormattingStateAndItsResets) {
    const uint32_t job = command(kOpen, 0).job;
    command(kIntensity, job, 129);
    command(kMode, job, 0x24 | 0x80);
    command(kJustify, job, 0);
    command(kText, job, 0, 0, "a");
    command(kIntensity, job, 128);
    command(kMode, job, 0x12);
    command(kText, job, 0, 0, "b");
    RynCallbacks textOnly{};
    textOnly.printText = onText;
    registerCallback(textOnly);
    EXPECT_EQ(command(kCut, job).status, 0u);  // no cut callback: still done
    command(kText, job, 0, 0, "c");
    EXPECT_EQ(g_calls, (std::vector<std::string>{"text a f0 j0 a2 b1 i1 B1 c0", "text b f0 j0 a1 b2 i0 B0 c0",
                                                 "text c f0 j2 a1 b1 i0 B0 c0"}));
}

TEST_F(OkaPrinter, JobIdsWrapPastZero) {
    printer_.lastJobId = UINT32_MAX;
    EXPECT_EQ(command(kOpen, 0).job, 1u);
}

TEST_F(OkaPrinter, ShortStreamGetsAnAnswerWithoutRecord) {
    EXPECT_TRUE(raw(std::string(10, '\0')).empty);
    T_BIN_BUFFER *empty = binbufCreate(nullptr, 0);
    std::string envelope = OKA_Printer::encodeResponse(empty);
    binbufDestroy(&empty);
    EXPECT_EQ(rootTagOf(envelope), OKA_Printer::kResponseTag);
    EXPECT_EQ(firstChildValue(envelope), "");
}

}  // namespace
