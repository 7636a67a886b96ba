// The simulated terminal's logic driven with byte arrays and explicit
// time: no sockets, no threads, no sleeps.
#include "tools/terminal/concert.h"
#include "tools/terminal/discovery.h"
#include "tools/terminal/message.h"
#include "tools/terminal/printer.h"
#include "tools/terminal/protocol.h"
#include "tools/terminal/terminal.h"

#include "services/wire.h"
#include "tools/host_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace simterm {
namespace {

using simtest::decode;
using simtest::transactionRequest;

// Collects what the terminal sends, cut into envelopes.
struct Recorder : Terminal::Output {
    std::vector<std::string> channel, services, events, notes;
    std::string failure;
    EnvelopeAssembler channelAsm{1u << 24}, servicesAsm{1u << 24};

    void send(Conn conn, const std::string &bytes) override {
        auto &assembler = conn == Conn::Channel ? channelAsm : servicesAsm;
        auto &out = conn == Conn::Channel ? channel : services;
        assembler.push(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        std::string m;
        while (assembler.next(m) == EnvelopeAssembler::Status::Message) out.push_back(m);
    }
    void event(const std::string &line) override { events.push_back(line); }
    void note(const std::string &line) override { notes.push_back(line); }
    void fail(const std::string &reason) override { failure = reason; }
};

std::string bytesOf(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(char(b));
    return s;
}

std::string printerAnswer(uint32_t code, uint32_t job, uint32_t status) {
    std::string record(16, '\0');
    auto *p = reinterpret_cast<unsigned char *>(record.data());
    ryn::wire::storeLe32(p, code);
    ryn::wire::storeLe32(p + 4, job);
    ryn::wire::storeLe32(p + 8, status);
    return encodeMessage(answerTag(services::kPrinterReq), {}, record);
}

class TerminalTest : public ::testing::Test {
public:
    void make(Terminal::Config config) {
        config.wallClock = [] { return std::time_t(1765411200); };  // fixed receipt date
        terminal = std::make_unique<Terminal>(std::move(config), out);
        terminal->connected(now);
    }
    void channelIn(const std::string &bytes) { feed(Conn::Channel, bytes); }
    void servicesIn(const std::string &bytes) { feed(Conn::Services, bytes); }
    void feed(Conn conn, const std::string &bytes) {
        terminal->received(conn, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), now);
    }
    // Answers printer commands like the host library until none is left.
    void answerPrinterCommands(uint32_t jobId = 7) {
        while (answered < out.services.size()) {
            const auto c = simtest::printerCommandOf(out.services[answered++]);
            servicesIn(printerAnswer(c.code, c.code == printer::kOpen ? jobId : c.jobId, 0));
        }
    }
    static Terminal::Config plain() {
        Terminal::Config c;
        c.receipt = false;
        c.echoIntervalMs = 0;
        return c;
    }

    Recorder out;
    std::unique_ptr<Terminal> terminal;
    uint64_t now = 1000;
    size_t answered = 0;
};

TEST_F(TerminalTest, DecisionRuleAndAnswerFields) {
    struct Case {
        const char *amount;  // nullptr: no amount child
        uint64_t limit;
        char status;
        const char *answered;
    };
    const Case cases[] = {
        {"00001234", 100000, '0', "00001234"},  // 12.34
        {"00001213", 100000, '7', "00001213"},  // ends in 13
        {"00000013", 100000, '7', "00000013"},
        {"00100000", 100000, '0', "00100000"},  // exactly the limit
        {"00100001", 100000, '7', "00100001"},  // above it
        {"00100001", 200000, '0', "00100001"},  // a higher limit
        {"00000000", 100000, '0', "00000000"},
        {"0000001X", 100000, '7', "00000000"},  // not a number
        {"", 100000, '7', "00000000"},
        {nullptr, 100000, '0', "00000000"},     // operation without amount
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.amount ? c.amount : "(none)");
        out = Recorder();
        Terminal::Config config = plain();
        config.rule.declineAbove = c.limit;
        make(config);
        std::vector<std::pair<uint32_t, std::string>> children = {{concert_req::kTermNum, "42"},
                                                                  {concert_req::kCurrency, "840"}};
        if (c.amount) children.emplace_back(concert_req::kAmount, c.amount);
        channelIn(encodeMessage(channel::kTransactionReq, children));
        ASSERT_EQ(out.channel.size(), 1u);
        const Tree answer = decode(out.channel[0]);
        EXPECT_EQ(answer.tag(), 0x61010000u);
        EXPECT_EQ(answer.child(concert_rsp::kStatus), std::string(1, c.status));
        EXPECT_EQ(answer.child(concert_rsp::kAmount), c.answered);
        EXPECT_EQ(answer.child(concert_rsp::kTermNum), "42");
        EXPECT_EQ(answer.child(concert_rsp::kCurrency), "840");
        EXPECT_EQ(answer.child(concert_rsp::kZoneRep)->size(), 55u);
        EXPECT_EQ(answer.child(concert_rsp::kZonePriv)->size(), 10u);
        EXPECT_FALSE(answer.child(concert_rsp::kUserData));
        EXPECT_FALSE(answer.child(concert_rsp::kExtendedData));
        ASSERT_EQ(out.events.size(), 1u);
        EXPECT_EQ(out.events[0], std::string("TRANSACTION ") + c.answered +
                                     (c.status == '0' ? " APPROVED" : " DECLINED"));
    }
}

TEST_F(TerminalTest, UserDataAndExtendedDataComeBackOnlyWhenGiven) {
    make(plain());
    const std::string ext = bytesOf({0, 1, 2, 0xFF, 0x81, 0x83});
    channelIn(transactionRequest("00000500", {{concert_req::kUserData, "ABCDEFGHIJ"},
                                              {concert_req::kExtendedData, ext}}));
    ASSERT_EQ(out.channel.size(), 1u);
    const Tree answer = decode(out.channel[0]);
    EXPECT_EQ(answer.child(concert_rsp::kUserData), "ABCDEFGHIJ");
    EXPECT_EQ(answer.child(concert_rsp::kExtendedData), ext);
}

TEST_F(TerminalTest, ReceiptIsPrintedInOrderBeforeTheAnswer) {
    Terminal::Config config;
    config.echoIntervalMs = 0;
    config.merchant = "CORNER SHOP";
    make(config);
    channelIn(transactionRequest("00001234"));
    // Nothing on the channel until the receipt is done.
    ASSERT_EQ(out.services.size(), 1u);
    EXPECT_TRUE(out.channel.empty());
    EXPECT_EQ(simtest::printerCommandOf(out.services[0]).code, printer::kOpen);
    EXPECT_EQ(simtest::printerCommandOf(out.services[0]).jobId, 0u);
    // One command at a time: the next goes out only after the answer.
    servicesIn(printerAnswer(printer::kOpen, 7, 0));
    ASSERT_EQ(out.services.size(), 2u);
    EXPECT_TRUE(out.channel.empty());
    answered = 1;
    answerPrinterCommands();

    std::vector<uint32_t> codes;
    std::vector<std::string> lines;
    for (const auto &m : out.services) {
        const auto c = simtest::printerCommandOf(m);
        EXPECT_EQ(decode(m).tag(), services::kPrinterReq);
        if (c.code != printer::kOpen) {
            EXPECT_EQ(c.jobId, 7u);
        }
        if (c.code == printer::kText) lines.push_back(c.text);
        if (codes.empty() || codes.back() != c.code) codes.push_back(c.code);
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{printer::kOpen, printer::kStartReceipt, printer::kText, printer::kFeed,
                                            printer::kCut, printer::kEndReceipt, printer::kClose}));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "CORNER SHOP");
    EXPECT_EQ(lines[1], "2025-12-11 00:00:00 UTC");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AMOUNT 12.34 978"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "APPROVED"), lines.end());

    ASSERT_EQ(out.channel.size(), 1u);
    EXPECT_EQ(decode(out.channel[0]).child(concert_rsp::kStatus), "0");
    EXPECT_EQ(out.events, (std::vector<std::string>{"RECEIPT printed " + std::to_string(lines.size()),
                                                    "TRANSACTION 00001234 APPROVED"}));
}

TEST_F(TerminalTest, ReceiptFailuresStillAnswerTheTransaction) {
    struct Case {
        const char *name;
        std::function<void(TerminalTest &)> host;
        const char *event;
    };
    const Case cases[] = {
        {"no answer", [](TerminalTest &t) { t.now += 10000; t.terminal->tick(t.now); }, "RECEIPT failed timeout"},
        {"open refused", [](TerminalTest &t) { t.servicesIn(printerAnswer(printer::kOpen, 0, 1)); },
         "RECEIPT failed refused"},
        {"short record",
         [](TerminalTest &t) { t.servicesIn(encodeMessage(answerTag(services::kPrinterReq), {}, "short")); },
         "RECEIPT failed bad-answer"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        out = Recorder();
        Terminal::Config config;
        config.echoIntervalMs = 0;
        config.answerTimeoutMs = 10000;
        make(config);
        channelIn(transactionRequest("00000200"));
        ASSERT_EQ(out.services.size(), 1u);
        now += 9999;
        terminal->tick(now);
        EXPECT_TRUE(out.channel.empty()) << "answered before the printer's deadline";
        c.host(*this);
        ASSERT_EQ(out.channel.size(), 1u);
        EXPECT_EQ(out.events, (std::vector<std::string>{c.event, "TRANSACTION 00000200 APPROVED"}));
        EXPECT_FALSE(terminal->busy());
    }
}

TEST_F(TerminalTest, LateAnswerToATimedOutCommandIsNotTakenForTheNextOne) {
    Terminal::Config config;
    config.echoIntervalMs = 0;
    make(config);
    channelIn(transactionRequest("00000100"));
    now += config.answerTimeoutMs;
    terminal->tick(now);  // the open timed out; the transaction is answered
    channelIn(transactionRequest("00000300"));
    ASSERT_EQ(out.services.size(), 2u);  // the second transaction's open
    // The host's late answer to the first open arrives now: it is an open
    // answer too, so it is taken (jobId 5); a stale text answer is not.
    servicesIn(printerAnswer(printer::kText, 5, 0));
    EXPECT_EQ(out.services.size(), 2u);
    servicesIn(printerAnswer(printer::kOpen, 5, 0));
    ASSERT_EQ(out.services.size(), 3u);
    EXPECT_EQ(simtest::printerCommandOf(out.services[2]).jobId, 5u);
}

TEST_F(TerminalTest, ChannelRequestsAreAnsweredInOrderBehindATransaction) {
    Terminal::Config config;
    config.echoIntervalMs = 0;
    make(config);
    // A transaction, an echo and an unsupported request in one segment.
    channelIn(transactionRequest("00000700") + encodeMessage(channel::kEchoReq, {}) +
              encodeMessage(0x60010011, {{0x40001111, "x"}}));
    EXPECT_TRUE(out.channel.empty());
    answerPrinterCommands();
    ASSERT_EQ(out.channel.size(), 3u);
    EXPECT_EQ(decode(out.channel[0]).tag(), 0x61010000u);
    const Tree echo = decode(out.channel[1]);
    EXPECT_EQ(echo.tag(), 0x61010040u);
    EXPECT_EQ(TlvTree_GetFirstChild(echo.get()), nullptr);
    const Tree other = decode(out.channel[2]);
    EXPECT_EQ(other.tag(), 0x61010011u);
    EXPECT_EQ(TlvTree_GetFirstChild(other.get()), nullptr);
    EXPECT_EQ(out.events.back(), "UNSUPPORTED 0x60010011");
}

TEST_F(TerminalTest, DelayHoldsTheReceiptAndTheAnswer) {
    Terminal::Config config = plain();
    config.delayMs = 1500;
    make(config);
    channelIn(transactionRequest("00000100"));
    EXPECT_EQ(terminal->nextDeadline(), now + 1500);
    terminal->tick(now + 1499);
    EXPECT_TRUE(out.channel.empty());
    terminal->tick(now + 1500);
    EXPECT_EQ(out.channel.size(), 1u);
}

TEST_F(TerminalTest, PushedResultCarriesTheAnswerAndReportsTheAck) {
    for (int ack : {1, 0}) {
        SCOPED_TRACE(ack);
        out = Recorder();
        Terminal::Config config = plain();
        config.pushResult = true;
        make(config);
        channelIn(transactionRequest("00004213"));
        ASSERT_EQ(out.channel.size(), 1u);
        ASSERT_EQ(out.services.size(), 1u);
        const Tree answer = decode(out.channel[0]);
        const Tree pushed = decode(out.services[0]);
        EXPECT_EQ(pushed.tag(), 0x6002000Du);
        for (uint32_t tag : {concert_rsp::kTermNum, concert_rsp::kStatus, concert_rsp::kAmount,
                             concert_rsp::kCurrency, concert_rsp::kZoneRep, concert_rsp::kZonePriv})
            EXPECT_EQ(pushed.child(tag), answer.child(tag)) << std::hex << tag;
        servicesIn(encodeMessage(0x6102000D, {{services::kPushResultState, std::string(1, char(ack))}}));
        EXPECT_EQ(out.events.back(), "PUSHED " + std::to_string(ack));
    }
}

TEST_F(TerminalTest, OwnEchoAfterIdleAndGivingUpOnASilentHost) {
    Terminal::Config config = plain();
    config.echoIntervalMs = 5000;
    config.echoTimeoutMs = 2000;
    config.echoMissLimit = 3;
    make(config);
    EXPECT_EQ(terminal->nextDeadline(), now + 5000);
    terminal->tick(now + 4999);
    EXPECT_TRUE(out.services.empty());
    now += 5000;
    terminal->tick(now);
    ASSERT_EQ(out.services.size(), 1u);
    EXPECT_EQ(decode(out.services[0]).tag(), 0x60020040u);
    servicesIn(encodeMessage(0x61020040, {}));
    EXPECT_EQ(out.events.back(), "ECHO-ANSWERED");
    // Silence: three misses in a row end the session.
    for (int miss = 0; miss < 3; ++miss) {
        const auto next = terminal->nextDeadline();
        ASSERT_TRUE(next);
        now = *next;
        terminal->tick(now);  // sends the echo
        now += 2000;
        terminal->tick(now);  // its deadline
    }
    EXPECT_EQ(out.services.size(), 4u);
    EXPECT_FALSE(out.failure.empty());
    EXPECT_FALSE(terminal->isConnected());
}

TEST_F(TerminalTest, HostEchoIsAnsweredAtOnce) {
    make(plain());
    channelIn(encodeMessage(channel::kEchoReq, {}));
    ASSERT_EQ(out.channel.size(), 1u);
    EXPECT_EQ(out.channel[0], encodeMessage(0x61010040, {}));
    EXPECT_EQ(out.events, std::vector<std::string>{"ECHO"});
}

TEST_F(TerminalTest, MalformedInputIsDroppedAndTheStreamKeepsItsFooting) {
    const std::string echo = encodeMessage(channel::kEchoReq, {});
    std::string badProtocol = echo;
    badProtocol[4] = 0x01;
    badProtocol[5] = 0x00;
    struct Case {
        const char *name;
        std::string bytes;
    };
    const Case cases[] = {
        {"protocol 0x0001", badProtocol},
        {"payload length 0", bytesOf({0, 0, 0, 0, 0, 1})},
        {"payload not a tree", bytesOf({3, 0, 0, 0, 0, 1, 0x81, 0x82, 0x83})},
        {"tree without end", bytesOf({4, 0, 0, 0, 0, 1, 0, 1, 0, 0})},
        {"an answer, not a request", encodeMessage(0x61010040, {})},
        {"node length past the end",
         bytesOf({14, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0x81, 0, 0, 1, 0x60, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        out = Recorder();
        make(plain());
        channelIn(c.bytes);
        EXPECT_TRUE(out.channel.empty());
        EXPECT_TRUE(out.failure.empty());
        channelIn(echo);  // the next message is read normally
        EXPECT_EQ(out.channel.size(), 1u);
    }
}

TEST_F(TerminalTest, HugeDeclaredLengthEndsTheSessionWithoutBuffering) {
    for (Conn conn : {Conn::Channel, Conn::Services}) {
        out = Recorder();
        make(plain());
        feed(conn, bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0, 1}));
        EXPECT_FALSE(out.failure.empty());
        EXPECT_FALSE(terminal->isConnected());
    }
}

TEST_F(TerminalTest, MessagesSplitAnywhereAreReassembled) {
    make(plain());
    const std::string stream = encodeMessage(channel::kEchoReq, {}) + transactionRequest("00000042");
    for (char byte : stream) channelIn(std::string(1, byte));
    ASSERT_EQ(out.channel.size(), 2u);
    EXPECT_EQ(decode(out.channel[1]).child(concert_rsp::kAmount), "00000042");
}

TEST(EnvelopeAssemblerTest, TwoMessagesInOnePushAndALimit) {
    EnvelopeAssembler a(64);
    const std::string one = encodeMessage(0x60010040, {});
    const std::string two = encodeMessage(0x60010000, {{0x40002001, "00000100"}});
    const std::string both = one + two;
    a.push(reinterpret_cast<const unsigned char *>(both.data()), both.size());
    std::string m;
    ASSERT_EQ(a.next(m), EnvelopeAssembler::Status::Message);
    EXPECT_EQ(m, one);
    ASSERT_EQ(a.next(m), EnvelopeAssembler::Status::Message);
    EXPECT_EQ(m, two);
    EXPECT_EQ(a.next(m), EnvelopeAssembler::Status::NeedMore);
    EXPECT_EQ(a.pending(), 0u);
    const std::string big = bytesOf({65, 0, 0, 0});
    a.push(reinterpret_cast<const unsigned char *>(big.data()), big.size());
    EXPECT_EQ(a.next(m), EnvelopeAssembler::Status::TooLarge);
    EXPECT_EQ(a.next(m), EnvelopeAssembler::Status::TooLarge);
}

TEST(DiscoveryTest, ReadsTheHostsDatagram) {
    // Root 0x81 with host 10.9.9.1, name "T1", MAC and useSsl 1.
    const std::string datagram =
        bytesOf({69, 0, 0, 0, 0, 1,                                   // envelope
                 0, 1, 0, 0,                                           // tree header
                 0x81, 0x81, 0, 0, 0, 0, 0, 0, 0,                      // root
                 0x82,                                                 //
                 0x81, 0x91, 0, 0, 0, 4, 0, 0, 0, 10, 9, 9, 1,         // host address
                 0x81, 0x11, 0, 0, 0, 3, 0, 0, 0, 'T', '1', 0,         // name
                 0x81, 0x12, 0, 0, 0, 6, 0, 0, 0, 0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E,  // MAC
                 0x81, 0x92, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0,          // useSsl
                 0x83, 0xFF});
    ASSERT_EQ(datagram.size(), 75u);
    const auto d = parseDiscovery(reinterpret_cast<const unsigned char *>(datagram.data()), datagram.size());
    ASSERT_TRUE(d);
    EXPECT_EQ(addressText(d->hostAddress), "10.9.9.1");
    EXPECT_EQ(d->name, "T1");
    EXPECT_TRUE(d->hasMac);
    EXPECT_EQ(d->mac[5], 0x5E);
    EXPECT_TRUE(d->useSsl);
    EXPECT_EQ(encodeDiscovery(*d), datagram);
}

TEST(DiscoveryTest, RefusesWhatIsNotAnAnnouncement) {
    struct Case {
        const char *name;
        std::string bytes;
    };
    const Case cases[] = {
        {"other root", encodeMessage(0x82, {{discovery::kHostAddress, bytesOf({10, 9, 9, 1})}})},
        {"no address", encodeMessage(discovery::kRoot, {{discovery::kName, std::string("T1", 3)}})},
        {"short address", encodeMessage(discovery::kRoot, {{discovery::kHostAddress, bytesOf({10, 9, 9})}})},
        {"not an envelope", "hello"},
        {"truncated", encodeMessage(discovery::kRoot, {{discovery::kHostAddress, bytesOf({10, 9, 9, 1})}}).substr(0, 20)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        EXPECT_FALSE(parseDiscovery(reinterpret_cast<const unsigned char *>(c.bytes.data()), c.bytes.size(), &why));
        EXPECT_FALSE(why.empty());
    }
}

}  // namespace
}  // namespace simterm
