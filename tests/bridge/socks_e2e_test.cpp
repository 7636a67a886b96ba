// The SOCKS servers on link port 1080 from the terminal's side: the Linux
// kernel in a namespace is the terminal (1.1.1.2), its applications (curl,
// ncat, a raw client) reach servers on the host's loopback through the real
// network thread, and every failure of the reply table is provoked for real
// in the test's private host network (see proxy_fixture.h).
#include "proxy_fixture.h"

#include "bridge/proxy.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

using namespace proxytest;
using namespace std::chrono_literals;
using ryn::test::waitUntil;

const auto *const kHostNet = ::testing::AddGlobalTestEnvironment(new PrivateHostNet);

constexpr uint16_t kHttpPort = 18080;
constexpr uint16_t kHttp6Port = 18086;
constexpr uint16_t kEchoPort = 17007;

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string port16(uint16_t port) {
    return hex(std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)});
}

// Request CONNECT to an IPv4 address given as 8 hex digits.
std::string v4Request(const std::string &addrHex, uint16_t port) { return "050100" "01" + addrHex + port16(port); }

std::string nameRequest(const std::string &name, uint16_t port) {
    return "050100" "03" + hex(std::string(1, static_cast<char>(name.size()))) + hex(name) + port16(port);
}

// The request as the server echoes it with REP set.
std::string withRep(std::string request, const char *rep) {
    request.replace(2, 2, rep);
    return request;
}

class SocksE2E : public ::testing::Test {
protected:
    void SetUp() override {
        PROXYTEST_REQUIRE_HOST_NET();
        std::string why;
        threadsBeforeLink_ = threadCount();
        link_ = std::make_unique<ProxyLink>();
        if (!link_->start(&why)) FAIL() << why;
    }
    void TearDown() override { link_.reset(); }

    // One dialogue of the raw client on the terminal; its printed lines.
    std::string probe(const std::string &steps) {
        auto r = link_->terminal(probeTool("steps 1.1.1.1 1080 " + steps), 60s);
        EXPECT_EQ(r.status, 0) << r.output;
        return r.output;
    }

    // A dialogue whose first part must get no answer: the client sends
    // `bad` and waits at a gate; once the server has traced `trace`, the
    // gate opens and the client greets again. The next two bytes must be
    // the method selection: an answer to `bad` would arrive first.
    void expectSilentThenGreetingAnswered(const std::string &bad, const std::string &trace, bool greetFirst) {
        SCOPED_TRACE(trace + " after " + bad);
        std::string gate = dir_.file("gate" + std::to_string(++gates_));
        size_t before = link_->log().count(trace);
        std::string steps = greetFirst ? "send:050100 recv:2:20 " : "";
        steps += "send:" + bad + " wait:" + gate + " send:050100 recv:2:20";
        auto client = link_->term().spawn(probeTool("steps 1.1.1.1 1080 " + steps));
        ASSERT_TRUE(client);
        EXPECT_TRUE(waitUntil([&] { return link_->log().count(trace) > before; }, 60)) << link_->log().text();
        ryn::test::writeFile(gate, "open");
        EXPECT_EQ(client->wait(60s), 0);
        std::string expected = greetFirst ? "RECV 0500\nRECV 0500\n" : "RECV 0500\n";
        EXPECT_EQ(client->output(), expected);
    }

    std::unique_ptr<ProxyLink> link_;
    int threadsBeforeLink_ = 0;
    ryn::test::TempDir dir_;
    int gates_ = 0;
};

std::unique_ptr<netnstest::Background> httpServer(const std::string &dir, const char *bind, uint16_t port) {
    auto server = startHostProgram("cd '" + dir + "' && exec python3 -u -m http.server --bind " + bind + " " +
                                   std::to_string(port));
    if (server && !server->waitOutput("Serving HTTP", 30s)) return nullptr;
    return server;
}

std::string hostCommandOutput(const std::string &command) {
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// A file of `size` pseudo-random printable bytes; its content.
std::string makeFile(const std::string &path, size_t size) {
    std::string body;
    body.reserve(size);
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        body += static_cast<char>('!' + (x >> 16) % 90);
    }
    ryn::test::writeFile(path, body);
    return body;
}

TEST_F(SocksE2E, CurlAndNcatReachHostServersThroughTheProxy) {
    std::string body = makeFile(dir_.file("www/file.txt"), 200 * 1024);
    auto server = httpServer(dir_.file("www"), "127.0.0.1", kHttpPort);
    ASSERT_TRUE(server);
    const std::string url = "/file.txt";
    const std::string expectedSize = std::to_string(body.size());

    // The proxy resolves the name (address type 3).
    auto byName = link_->terminal("curl -sS --max-time 60 --socks5-basic --socks5-hostname 1.1.1.1:1080 "
                                  "-o /dev/null -w '%{http_code} %{size_download}' http://localhost:" +
                                  std::to_string(kHttpPort) + url);
    EXPECT_EQ(byName.output, "200 " + expectedSize);
    EXPECT_GE(link_->log().count("Obtaining IP address for hostname=localhost port=" + std::to_string(kHttpPort)), 1u);

    // The client sends the address (type 1); the content must arrive intact.
    auto byAddress = link_->terminal("curl -sS --max-time 60 --socks5-basic --socks5 1.1.1.1:1080 http://127.0.0.1:" +
                                     std::to_string(kHttpPort) + url + " | cmp - '" + dir_.file("www/file.txt") +
                                     "' && echo SAME");
    EXPECT_EQ(byAddress.output, "SAME\n");

    // --no-shutdown: a terminal's half-close ends its bridged connection at
    // once, before the answer could come back.
    auto viaNcat = link_->terminal("printf 'GET " + url +
                                   " HTTP/1.0\\r\\n\\r\\n' | ncat --no-shutdown --proxy 1.1.1.1:1080 "
                                   "--proxy-type socks5 "
                                   "127.0.0.1 " + std::to_string(kHttpPort) + " 2>/dev/null | head -c 15");
    EXPECT_EQ(viaNcat.output, "HTTP/1.0 200 OK");
    EXPECT_EQ(link_->log().count("Invalid data!!!"), 0u) << link_->log().text();

    // Every entry is listening again once the clients have gone.
    EXPECT_TRUE(waitUntil(socksEntriesListening, 60));
}

TEST_F(SocksE2E, EachConnectFailureGivesItsReplyCode) {
    const int fdsBefore = openDescriptors();
    struct Case {
        const char *name;
        std::string request;
        std::string reply;
    } cases[] = {
        {"refused: closed port", v4Request("7f000001", 1), ""},
        {"network unreachable: no route", v4Request("c0000201", 80), ""},
        {"host unreachable: unreachable route", v4Request("c6336407", 80), ""},
        {"timed out: dropped SYN", v4Request("0a090902", 80), ""},
        {"name that does not resolve", nameRequest("nonexistent.invalid", 80), ""},
        {"255-byte name that does not resolve", nameRequest(std::string(255, 'a'), 80), ""},
        {"IPv6 address", "05010004" "20010db8000000000000000000000001" "0050", ""},
    };
    cases[0].reply = withRep(cases[0].request, "05");
    cases[1].reply = withRep(cases[1].request, "03");
    cases[2].reply = withRep(cases[2].request, "04");
    cases[3].reply = withRep(cases[3].request, "06");
    cases[4].reply = withRep(cases[4].request, "01");
    cases[5].reply = withRep(cases[5].request, "01");
    cases[6].reply = withRep(cases[6].request, "08");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = probe("send:050100 recv:2:20 send:" + c.request + " recv:" +
                                std::to_string(c.reply.size() / 2) + ":30");
        EXPECT_EQ(out, "RECV 0500\nRECV " + c.reply + "\n");
    }
    EXPECT_GE(link_->log().count("Connection to host: Error in delayed connection (111: Connection refused)"), 1u);
    EXPECT_GE(link_->log().count("Send error 6 to socks client"), 1u);
    EXPECT_GE(link_->log().count("getaddrinfo error: "), 2u);
    EXPECT_GE(link_->log().count("Address type not supported"), 1u);

    // A method other than "no authentication" is refused.
    EXPECT_EQ(probe("send:050102 recv:2:20"), "RECV 05ff\n");
    EXPECT_GE(link_->log().count("Invalid authentication parameter!!!"), 1u);
    EXPECT_TRUE(waitUntil(socksEntriesListening, 60));
    // Every host socket of the failed attempts was closed.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == fdsBefore; }, 60))
        << openDescriptors() << " descriptors, " << fdsBefore << " before";
}

// Messages the server does not answer; the terminal connection is kept and
// a new greeting on it is answered.
TEST_F(SocksE2E, UnansweredMessagesKeepTheConnection) {
    expectSilentThenGreetingAnswered("040100507f00000100", "Invalid data!!!", false);  // SOCKS 4
    expectSilentThenGreetingAnswered("05020002", "Invalid data!!!", false);
    expectSilentThenGreetingAnswered(v4Request("7f000001", 80).replace(2, 2, "02"), "Command not supported (02 00)",
                                     true);
    expectSilentThenGreetingAnswered("0501000200", "Unknown address type (02)", true);
    expectSilentThenGreetingAnswered("050100017f00", "Uncomplete message", true);         // truncated
    expectSilentThenGreetingAnswered(v4Request("7f000001", 80) + "474554", "Uncomplete message", true);  // oversized
}

// The terminal gives up while the host's connect is still pending (its SYN
// is dropped): the attempt is abandoned without a reply, the entry listens
// again.
TEST_F(SocksE2E, PendingConnectEndsWhenTheTerminalLeaves) {
    const std::string gate = dir_.file("leave");
    auto client = link_->term().spawn(
        probeTool("steps 1.1.1.1 1080 send:050100 recv:2:20 send:" + v4Request("0a090902", 80) + " wait:" + gate +
                  " close"));
    ASSERT_TRUE(client);
    // The terminal leaves once the host's connect is under way.
    ASSERT_TRUE(waitUntil([&] { return link_->log().count("Trying to connect to [10.9.9.2]:80") == 1; }, 60))
        << link_->log().text();
    ryn::test::writeFile(gate, "go");
    EXPECT_EQ(client->wait(60s), 0);
    EXPECT_EQ(client->output(), "RECV 0500\n");
    const std::string abandoned =
        "Connection to host interrupted because connection to terminal has been closed by peer!";
    EXPECT_TRUE(waitUntil([&] { return link_->log().count(abandoned) == 1; }, 60)) << link_->log().text();
    EXPECT_EQ(link_->log().count("Send error"), 0u);
    EXPECT_TRUE(waitUntil(socksEntriesListening, 60));
}

TEST_F(SocksE2E, PlaceholderAddressReachesAnIpv6OnlyHostOnce) {
    ryn::test::writeFile(dir_.file("www6/index.txt"), "six");
    auto server = httpServer(dir_.file("www6"), "::1", kHttp6Port);
    ASSERT_TRUE(server);

    std::unique_ptr<char, decltype(&free)> v4(GetHostByName("localhost"), free);
    ASSERT_TRUE(v4);
    EXPECT_STREQ(v4.get(), "127.0.0.1");
    EXPECT_EQ(ryn::bridge::resolutionStore().placeholder(), 0u);

    std::unique_ptr<char, decltype(&free)> six(GetHostByName("::1"), free);
    ASSERT_TRUE(six);
    EXPECT_STREQ(six.get(), "100.100.100.100");
    EXPECT_EQ(link_->log().count("GetHostByName IP resolved is an IPv6. For legacy reason, we return an IPv4."), 1u);

    const std::string get = hex("GET /index.txt HTTP/1.0\r\n\r\n");
    std::string out = probe("send:050100 recv:2:20 send:" + v4Request("64646464", kHttp6Port) + " recv:10:30 send:" +
                            get + " recv:12:30");
    EXPECT_EQ(out, "RECV 0500\nRECV 0500000164646464" + port16(kHttp6Port) + "\nRECV " + hex("HTTP/1.0 200") + "\n");
    EXPECT_GE(link_->log().count("Trying to connect to [::1]:" + std::to_string(kHttp6Port)), 1u);

    // The saved list was used up: the same address is now an ordinary
    // IPv4 destination, and this host has no route to it.
    EXPECT_EQ(probe("send:050100 recv:2:20 send:" + v4Request("64646464", kHttp6Port) + " recv:10:30"),
              "RECV 0500\nRECV " + withRep(v4Request("64646464", kHttp6Port), "03") + "\n");

    // A placeholder without a saved list (a resolution that produced none).
    ryn::bridge::resolutionStore().finishResolution(nullptr, true);
    EXPECT_EQ(probe("send:050100 recv:2:20 send:" + v4Request("64646464", 80) + " recv:10:30"),
              "RECV 0500\nRECV " + withRep(v4Request("64646464", 80), "01") + "\n");
    EXPECT_EQ(link_->log().count("No host to check"), 1u);
    EXPECT_EQ(ryn::bridge::resolutionStore().placeholder(), 0u);

    // A name that does not resolve: empty text, the placeholder cleared,
    // the previous list kept.
    std::unique_ptr<char, decltype(&free)> again(GetHostByName("::1"), free);
    ASSERT_TRUE(again);
    std::unique_ptr<char, decltype(&free)> none(GetHostByName("nonexistent.invalid"), free);
    ASSERT_TRUE(none);
    EXPECT_STREQ(none.get(), "");
    EXPECT_EQ(link_->log().count("GetHostByName trying to resolve nonexistent.invalid"), 1u);
    EXPECT_EQ(ryn::bridge::resolutionStore().placeholder(), 0u);
    EXPECT_TRUE(ryn::bridge::resolutionStore().hasList());
}

// Stopping the network thread while one SOCKS connection relays and
// another waits for its host: every bridge thread ends and is joined.
TEST_F(SocksE2E, StopWhileRelayingAndConnectingJoinsEveryThread) {
    auto echo = startHostProgram("exec socat TCP-LISTEN:" + std::to_string(kEchoPort) +
                                 ",bind=127.0.0.1,reuseaddr,fork PIPE");
    ASSERT_TRUE(echo);
    ASSERT_TRUE(waitUntil([] { return hostPortAccepts(kEchoPort); }, 30));
    const std::string gate = dir_.file("never");
    auto relaying = link_->term().spawn(probeTool("steps 1.1.1.1 1080 send:050100 recv:2:20 send:" +
                                                  v4Request("7f000001", kEchoPort) + " recv:10:30 send:6869 "
                                                  "recv:2:30 wait:" + gate));
    auto connecting = link_->term().spawn(probeTool("steps 1.1.1.1 1080 send:050100 recv:2:20 send:" +
                                                    v4Request("0a090902", 80) + " wait:" + gate));
    ASSERT_TRUE(relaying && connecting);
    ASSERT_TRUE(relaying->waitOutput("RECV 6869", 60s)) << relaying->output();
    ASSERT_TRUE(waitUntil([&] { return link_->log().count("Trying to connect to [10.9.9.2]:80") == 1; }, 60));

    link_->stop();
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBeforeLink_; }, 60))
        << threadCount() << " threads, " << threadsBeforeLink_ << " before the link started";
    EXPECT_EQ(link_->log().count("Send error"), 0u);
    ryn::test::writeFile(gate, "go");
}

// More terminal connections than servers: five are served at once, the
// others are refused until an entry listens again and are served then;
// afterwards no thread or descriptor is left behind.
TEST_F(SocksE2E, MoreClientsThanServersAreServedFiveAtATimeWithoutLeaks) {
    // An echo server serving every connection at once.
    auto echo = startHostProgram("exec socat TCP-LISTEN:" + std::to_string(kEchoPort) +
                                 ",bind=127.0.0.1,reuseaddr,fork PIPE");
    ASSERT_TRUE(echo);
    ASSERT_TRUE(waitUntil([] { return hostPortAccepts(kEchoPort); }, 30));
    const int threadsBefore = threadCount();
    const int fdsBefore = openDescriptors();

    const std::string release = dir_.file("release");
    auto clients = link_->term().spawn(probeTool("multi 1.1.1.1 1080 8 127.0.0.1 " + std::to_string(kEchoPort) +
                                                 " " + release));
    ASSERT_TRUE(clients);
    auto servedCount = [&] {
        std::string out = clients->output();
        size_t n = 0;
        for (size_t at = out.find("SERVED"); at != std::string::npos; at = out.find("SERVED", at + 1)) ++n;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return servedCount() >= 5; }, 90)) << clients->output();
    // All five entries carry a held connection: nobody else can be served.
    for (int i = 2; i <= 6; ++i) EXPECT_EQ(SrvCtx[i].state.load(), TCP_CONNECTED) << i;
    EXPECT_EQ(servedCount(), 5u) << clients->output();
    // Each host connection's receive buffer is capped (the kernel shows
    // twice the 4096 bytes asked for).
    std::string sockets = hostCommandOutput("ss -tmnH 'dport = :" + std::to_string(kEchoPort) + "'");
    size_t capped = 0;
    for (size_t at = sockets.find(",rb8192,"); at != std::string::npos; at = sockets.find(",rb8192,", at + 1)) ++capped;
    EXPECT_EQ(capped, 5u) << sockets;

    ryn::test::writeFile(release, "go");
    EXPECT_TRUE(clients->waitOutput("DONE 8", 180s)) << clients->output();
    EXPECT_EQ(clients->output().find("FAILED"), std::string::npos) << clients->output();
    clients.reset();

    EXPECT_TRUE(waitUntil(socksEntriesListening, 60));
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore; }, 60))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == fdsBefore; }, 60))
        << openDescriptors() << " descriptors, " << fdsBefore << " before";
}

}  // namespace
