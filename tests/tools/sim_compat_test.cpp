// The simulated terminal against the host library's own codecs, without
// sockets: the library's discovery datagram, its transaction request and
// response translation, and its receipt printer service answering the
// simulator's print commands. If the two sides drift apart, this fails.
#include "ipterminal/ip_manager.h"
#include "ryn_callbacks.h"
#include "services/envelope.h"
#include "services/oka_printer.h"
#include "terminal/transaction.h"
#include "tools/terminal/discovery.h"
#include "tools/terminal/protocol.h"
#include "tools/terminal/terminal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

namespace {

namespace st = simterm;

struct Recorder : st::Terminal::Output {
    std::vector<std::string> channel, services, events;
    void send(st::Conn conn, const std::string &bytes) override {
        (conn == st::Conn::Channel ? channel : services).push_back(bytes);
    }
    void event(const std::string &line) override { events.push_back(line); }
    void note(const std::string &) override {}
    void fail(const std::string &) override {}
};

st::Terminal::Config quiet(bool receipt) {
    st::Terminal::Config c;
    c.receipt = receipt;
    c.echoIntervalMs = 0;
    c.wallClock = [] { return std::time_t(0); };
    return c;
}

TEST(SimCompatTest, ReadsTheLibrarysDiscoveryDatagram) {
    in_addr host{};
    inet_pton(AF_INET, "192.168.7.1", &host);
    const unsigned char mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    for (int32_t useSsl : {0, 1}) {
        const std::string datagram = ryn::ip::discoveryDatagram(host, "192.168.7.20", mac, useSsl);
        const auto d = st::parseDiscovery(reinterpret_cast<const unsigned char *>(datagram.data()), datagram.size());
        ASSERT_TRUE(d);
        EXPECT_EQ(st::addressText(d->hostAddress), "192.168.7.1");
        EXPECT_EQ(d->name, "192.168.7.20");
        EXPECT_EQ(std::memcmp(d->mac.data(), mac, 6), 0);
        EXPECT_EQ(d->useSsl, useSsl != 0);
    }
}

TEST(SimCompatTest, TransactionRoundTripThroughTheLibrarysRecords) {
    struct Case {
        const char *amount;
        const char *kxError;
        const char *amountOut;
    };
    for (const Case &c : {Case{"1234", "0000", "000000001234"}, Case{"4213", "0001", "000000004213"},
                          Case{"100001", "0001", "000000100001"}}) {
        SCOPED_TRACE(c.amount);
        ryn::terminal::TransactionIn in;
        ASSERT_TRUE(in.setAmount(c.amount));
        ASSERT_TRUE(in.setCurrencyCode("978"));
        ASSERT_TRUE(in.setTermNum("12345678"));
        ASSERT_TRUE(in.setOperation("C"));
        ASSERT_TRUE(in.setUserData1("USERDATA-0123456789"));
        char record[ryn::terminal::kRequestRecordSize];
        in.fillRequestRecord(record);
        ryn::terminal::ConcertRequest req{};
        ryn::terminal::buildConcertRequest(record, req);
        const unsigned char ext[] = {1, 2, 3, 0, 0xFF};
        sTLV_TREE_NODE *tree = ryn::terminal::encodeTransactionRequest(req, 0, ext, sizeof ext);
        const std::string request = ryn::services::serializeTlv(tree);
        TlvTree_Release(tree);

        Recorder out;
        st::Terminal terminal(quiet(false), out);
        terminal.connected(0);
        terminal.received(st::Conn::Channel, reinterpret_cast<const unsigned char *>(request.data()), request.size(), 0);
        ASSERT_EQ(out.channel.size(), 1u);

        ryn::terminal::transactionCONCERTResp_t resp{};
        unsigned char extOut[64];
        uint32_t extSize = sizeof extOut;
        ASSERT_EQ(ryn::terminal::decodeTransactionResponse(
                      reinterpret_cast<const unsigned char *>(out.channel[0].data()), out.channel[0].size(),
                      0x61010000, resp, extOut, &extSize),
                  1);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(extOut), extSize),
                  std::string(reinterpret_cast<const char *>(ext), sizeof ext));
        char output[ryn::terminal::kOutputRecordSize];
        ryn::terminal::translationFromCONCERTtoKx(resp, output);
        ryn::terminal::TransactionOut result;
        result.fillFromOutputRecord(output);
        EXPECT_STREQ(result.getKxError(), c.kxError);
        EXPECT_STREQ(result.getAmount(), c.amountOut);
        EXPECT_STREQ(result.getCurrencyCode(), "978");
        EXPECT_STREQ(result.getTerminalNumber(), "00000078");
        EXPECT_STREQ(result.getUserData1(), "00000000000000000000000123456789");
        EXPECT_EQ(std::string(result.getPrivateData(), 5), "SPMSI");  // Zone_REP
    }
}

std::mutex g_printedMu;
std::vector<std::string> g_printed;

TEST(SimCompatTest, ReceiptPrintedByTheLibrarysPrinterService) {
    RynCallbacks callbacks{};
    callbacks.printText = [](const char *text, unsigned char, unsigned char, int, int, int, int, unsigned char) {
        std::lock_guard<std::mutex> l(g_printedMu);
        g_printed.emplace_back(text);
    };
    callbacks.feedPaper = [](unsigned int) {};
    callbacks.cutPaper = [] {};
    callbacks.startReceipt = [](unsigned char) { return 0; };
    callbacks.endReceipt = [] { return 0; };
    registerCallback(callbacks);

    OKA_Printer printer;
    Recorder out;
    st::Terminal terminal(quiet(true), out);
    terminal.connected(0);
    const std::string request = st::encodeMessage(st::channel::kTransactionReq, {{st::concert_req::kAmount, "00002000"}});
    terminal.received(st::Conn::Channel, reinterpret_cast<const unsigned char *>(request.data()), request.size(), 0);
    // Route each print command through the library's printer service.
    for (size_t i = 0; i < out.services.size() && i < 100; ++i) {
        const std::string &m = out.services[i];
        T_BIN_BUFFER *command = OKA_Printer::decodeRequest(reinterpret_cast<const unsigned char *>(m.data()),
                                                           uint32_t(m.size()));
        ASSERT_NE(command, nullptr);
        T_BIN_BUFFER *answer = printer.treatOkaPrinterCommand(command);
        const std::string reply = OKA_Printer::encodeResponse(answer);
        binbufDestroy(&command);
        binbufDestroy(&answer);
        terminal.received(st::Conn::Services, reinterpret_cast<const unsigned char *>(reply.data()), reply.size(), 0);
    }
    registerCallback(RynCallbacks{});

    ASSERT_EQ(out.channel.size(), 1u);
    std::lock_guard<std::mutex> l(g_printedMu);
    ASSERT_FALSE(g_printed.empty());
    EXPECT_EQ(g_printed.front(), "SPMSIM MERCHANT");
    EXPECT_EQ(out.events, (std::vector<std::string>{"RECEIPT printed " + std::to_string(g_printed.size()),
                                                    "TRANSACTION 00002000 APPROVED"}));
    EXPECT_EQ(printer.currentJobId, 0u);  // the job was closed
    EXPECT_EQ(printer.lastJobId, 1u);
}

}  // namespace
