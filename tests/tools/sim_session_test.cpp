// The terminal logic over real loopback TCP (the simulator's own streams)
// against a minimal host made of plain sockets, and the simulator's
// command-line rules.
#include "tools/spmsim-ip/net.h"
#include "tools/spmsim-ip/options.h"
#include "tools/terminal/session.h"
#include "tools/terminal/terminal.h"

#include "tools/host_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace {

using simtest::decode;
using simtest::HostPeer;
using simtest::transactionRequest;
namespace st = simterm;

// Runs a terminal session on its own thread against `host`.
class TerminalRunner {
public:
    TerminalRunner(HostPeer &host, st::Terminal::Config config) : config_(std::move(config)) {
        const spmsimip::Waiter wait = [](int fd, short events, uint64_t deadline) {
            pollfd p{fd, events, 0};
            const uint64_t now = spmsimip::nowMs();
            return ::poll(&p, 1, deadline > now ? int(deadline - now) : 0);
        };
        std::string error;
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        const int c = spmsimip::connectTcp(loopback, host.channelPort(), spmsimip::nowMs() + 20000, wait, &error);
        const int s = spmsimip::connectTcp(loopback, host.servicesPort(), spmsimip::nowMs() + 20000, wait, &error);
        if (c < 0 || s < 0) return;
        channel_ = std::make_unique<spmsimip::TcpStream>(c);
        services_ = std::make_unique<spmsimip::TcpStream>(s);
        thread_ = std::thread([this] { run(); });
    }
    ~TerminalRunner() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool ended() const { return ended_; }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> l(mu_);
        return events_;
    }
    bool waitEvent(const std::string &e) {
        return ryn::test::waitFor([&] {
            const auto all = events();
            return std::find(all.begin(), all.end(), e) != all.end();
        });
    }

private:
    void run() {
        runSession();
        // Like the simulator: a finished session closes its connections.
        channel_.reset();
        services_.reset();
    }
    void runSession() {
        st::Session session(
            *channel_, *services_,
            [this](const std::string &line) {
                std::lock_guard<std::mutex> l(mu_);
                events_.push_back(line);
            },
            nullptr);
        st::Terminal terminal(config_, session);
        session.start(terminal, spmsimip::nowMs());
        while (!stop_ && session.pump(spmsimip::nowMs())) {
            auto fds = session.pollSet();
            const int t = session.pollTimeout(spmsimip::nowMs());
            // Wake at least every 50 ms to see stop_.
            ::poll(fds.data(), fds.size(), t < 0 || t > 50 ? 50 : t);
        }
        ended_ = session.ended();
    }

    st::Terminal::Config config_;
    std::unique_ptr<spmsimip::TcpStream> channel_, services_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::mutex mu_;
    std::vector<std::string> events_;
};

st::Terminal::Config quietConfig() {
    st::Terminal::Config c;
    c.echoIntervalMs = 0;
    return c;
}

TEST(SimSessionTest, TransactionsOverTcpPrintFirstThenAnswerByTheRule) {
    HostPeer host;
    TerminalRunner terminal(host, quietConfig());
    ASSERT_TRUE(host.accept());
    struct Case {
        const char *amount;
        const char *status;
    };
    for (const Case &c : {Case{"00001234", "0"}, Case{"00004513", "7"}, Case{"00200000", "7"}}) {
        SCOPED_TRACE(c.amount);
        const size_t before = host.servicesRequests().size();
        const std::string answer = host.exchange(transactionRequest(c.amount));
        ASSERT_FALSE(answer.empty());
        const st::Tree tree = decode(answer);
        EXPECT_EQ(tree.tag(), 0x61010000u);
        EXPECT_EQ(tree.child(st::concert_rsp::kStatus), c.status);
        EXPECT_EQ(tree.child(st::concert_rsp::kAmount), c.amount);
        // The whole receipt reached the host before the answer did.
        const auto commands = host.printerCommands();
        ASSERT_GT(host.servicesRequests().size(), before);
        EXPECT_EQ(commands.back().code, st::printer::kClose);
        const bool approved = std::string(c.status) == "0";
        const auto has = [&](const std::string &text) {
            return std::any_of(commands.begin(), commands.end(),
                               [&](const simtest::PrinterCommand &p) { return p.text == text; });
        };
        EXPECT_TRUE(has(approved ? "APPROVED" : "DECLINED"));
    }
    EXPECT_TRUE(terminal.waitEvent("TRANSACTION 00200000 DECLINED"));
}

TEST(SimSessionTest, EchoAndGarbageOnTheChannel) {
    HostPeer host;
    TerminalRunner terminal(host, quietConfig());
    ASSERT_TRUE(host.accept());
    EXPECT_EQ(host.exchange(st::encodeMessage(st::channel::kEchoReq, {})), st::encodeMessage(0x61010040, {}));
    // Broken messages with sound lengths are dropped; the stream goes on.
    host.channel().write(std::string("\x03\x00\x00\x00\x01\x00\x81\x82\x83", 9));
    host.channel().write(std::string("\x02\x00\x00\x00\x00\x01\xFF\xFF", 8));
    EXPECT_EQ(decode(host.exchange(st::encodeMessage(st::channel::kEchoReq, {}))).tag(), 0x61010040u);
    // A length no host would send ends the connection instead of a
    // 4 GiB buffer.
    host.channel().write(std::string("\xF0\xFF\xFF\xFF\x00\x01", 6));
    EXPECT_TRUE(host.channel().seesClose());
    EXPECT_TRUE(ryn::test::waitFor([&] { return terminal.ended(); }));
}

TEST(SimSessionTest, OwnEchoAndPushedResultOnTheServicesConnection) {
    HostPeer host;
    st::Terminal::Config config = quietConfig();
    config.receipt = false;
    config.pushResult = true;
    config.echoIntervalMs = 100;
    TerminalRunner terminal(host, config);
    ASSERT_TRUE(host.accept());
    EXPECT_TRUE(terminal.waitEvent("ECHO-ANSWERED"));
    EXPECT_GE(host.countServices(st::services::kEchoReq), 1u);
    ASSERT_FALSE(host.exchange(transactionRequest("00000999")).empty());
    EXPECT_TRUE(terminal.waitEvent("PUSHED 1"));
    EXPECT_EQ(host.countServices(st::services::kPushResultReq), 1u);
}

TEST(SimSessionTest, HostClosingEndsTheSession) {
    HostPeer host;
    TerminalRunner terminal(host, quietConfig());
    ASSERT_TRUE(host.accept());
    host.dropConnections();
    EXPECT_TRUE(ryn::test::waitFor([&] { return terminal.ended(); }));
}

// A stream that hands over at most 3 bytes per call and says EAGAIN every
// other call, in both directions: the short writes and would-blocks a
// loaded socket gives, which loopback TCP does not produce on demand.
class ChoppyStream : public st::ByteStream {
public:
    std::string toTerminal, fromTerminal;
    bool closed = false;
    bool neverWritable = false;
    ssize_t receive(void *buffer, size_t size) override {
        if ((flip_ = !flip_) || toTerminal.empty()) {
            if (toTerminal.empty() && closed) return 0;
            errno = EAGAIN;
            return -1;
        }
        const size_t n = std::min({size, size_t(3), toTerminal.size()});
        std::memcpy(buffer, toTerminal.data(), n);
        toTerminal.erase(0, n);
        return ssize_t(n);
    }
    ssize_t send(const void *data, size_t size) override {
        if ((flipSend_ = !flipSend_) || neverWritable) {
            errno = EAGAIN;
            return -1;
        }
        const size_t n = std::min(size, size_t(3));
        fromTerminal.append(static_cast<const char *>(data), n);
        return ssize_t(n);
    }
    int pollFd() const override { return -1; }

private:
    bool flip_ = false, flipSend_ = false;
};

TEST(SimSessionTest, ShortWritesAndWouldBlockKeepMessagesWhole) {
    ChoppyStream channel, services;
    std::vector<std::string> events;
    st::Session session(channel, services, [&](const std::string &e) { events.push_back(e); }, nullptr);
    st::Terminal::Config config;
    config.echoIntervalMs = 0;
    config.receipt = false;
    config.pushResult = true;
    st::Terminal terminal(config, session);
    session.start(terminal, 0);
    channel.toTerminal = st::encodeMessage(st::channel::kEchoReq, {}) + transactionRequest("00000321");
    // Whole envelopes among the bytes written so far.
    const auto whole = [](const std::string &bytes) {
        st::EnvelopeAssembler cut(1u << 20);
        cut.push(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        std::vector<std::string> out;
        std::string m;
        while (cut.next(m) == st::EnvelopeAssembler::Status::Message) out.push_back(m);
        return out;
    };
    for (int i = 0; i < 10000 && session.pump(0) &&
                    (whole(channel.fromTerminal).size() < 2 || whole(services.fromTerminal).empty());
         ++i) {
    }
    const auto answers = whole(channel.fromTerminal);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], st::encodeMessage(0x61010040, {}));
    EXPECT_EQ(decode(answers[1]).child(st::concert_rsp::kAmount), "00000321");
    // The pushed result, also written in pieces, then the host's ack.
    const auto pushed = whole(services.fromTerminal);
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(decode(pushed[0]).tag(), 0x6002000Du);
    services.toTerminal = st::encodeMessage(0x6102000D, {{st::services::kPushResultState, std::string(1, '\x01')}});
    for (int i = 0; i < 1000 && session.pump(0) && events.back() != "PUSHED 1"; ++i) {
    }
    EXPECT_EQ(events, (std::vector<std::string>{"ECHO", "TRANSACTION 00000321 APPROVED", "PUSHED 1"}));
    // A close seen on either stream ends the session.
    channel.closed = true;
    for (int i = 0; i < 10 && session.pump(0); ++i) {
    }
    EXPECT_TRUE(session.ended());
    EXPECT_NE(session.reason().find("closed"), std::string::npos);
}

TEST(SimSessionTest, AHostThatNeverReadsEndsTheSessionInsteadOfGrowingMemory) {
    ChoppyStream channel, services;
    channel.neverWritable = true;
    st::Session session(channel, services, nullptr, nullptr, /*maxUnsent=*/100);
    st::Terminal::Config config;
    config.echoIntervalMs = 0;
    st::Terminal terminal(config, session);
    session.start(terminal, 0);
    for (int i = 0; i < 10; ++i) channel.toTerminal += st::encodeMessage(st::channel::kEchoReq, {});
    for (int i = 0; i < 1000 && session.pump(0); ++i) {
    }
    EXPECT_TRUE(session.ended());
    EXPECT_EQ(session.reason(), "channel: the host does not read");
    EXPECT_FALSE(terminal.isConnected());
}

TEST(SpmsimIpOptionsTest, CommandLineRules) {
    struct Case {
        std::vector<std::string> args;
        const char *error;  // nullptr: accepted
    };
    const Case cases[] = {
        {{"--host", "127.0.0.1"}, nullptr},
        {{"--listen-discovery", "--bind", "10.9.9.2"}, nullptr},
        {{"--host=10.0.0.1", "--channel-port=7000", "--services-port", "7001", "--tls", "--ca", "ca.pem"}, nullptr},
        {{}, "exactly one"},
        {{"--host", "127.0.0.1", "--listen-discovery"}, "exactly one"},
        {{"--host", "localhost"}, "IPv4"},
        {{"--host", "127.0.0.1", "--channel-port", "0"}, "bad value"},
        {{"--host", "127.0.0.1", "--channel-port", "65536"}, "bad value"},
        {{"--host", "127.0.0.1", "--delay", "-5"}, "bad value"},
        {{"--host", "127.0.0.1", "--decline-above"}, "needs a value"},
        {{"--host", "127.0.0.1", "--frobnicate"}, "unknown option"},
        {{"--host", "127.0.0.1", "--cert", "c.pem"}, "go together"},
        {{"--host", "127.0.0.1", "--ca", "ca.pem"}, "need --tls"},
        {{"--host", "127.0.0.1", "--tls=yes"}, "takes no value"},
        {{"--host", "127.0.0.1", "--channel-port", "7000", "--services-port", "7000"}, "must differ"},
    };
    for (const Case &c : cases) {
        std::string joined;
        for (const auto &a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        std::string error;
        const auto o = spmsimip::parseOptions(c.args, &error);
        if (!c.error) {
            EXPECT_TRUE(o) << error;
        } else {
            EXPECT_FALSE(o);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    const auto o = spmsimip::parseOptions({"--host", "127.0.0.1", "--decline-above", "500", "--no-receipt",
                                           "--push-result", "--delay", "250"},
                                          nullptr);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->declineAbove, 500u);
    EXPECT_FALSE(o->receipt);
    EXPECT_TRUE(o->pushResult);
    EXPECT_EQ(o->delayMs, 250u);
    EXPECT_EQ(o->channelPort, 5188);
    EXPECT_EQ(o->servicesPort, 5186);
}

}  // namespace
