// spmsim-ip end to end: the program runs as a child process with
// --host 127.0.0.1 and ephemeral ports against a tiny host made of plain
// listening sockets (and OpenSSL server sessions pinned to TLS 1.2, with
// certificates generated for the test by the openssl command).
#include "tools/child_process.h"
#include "tools/host_peer.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <cstdlib>

namespace {

using simtest::ChildProcess;
using simtest::decode;
using simtest::HostPeer;
using simtest::transactionRequest;
namespace st = simterm;

std::vector<std::string> simArgs(const HostPeer &host, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {RYN_SPMSIM_IP,   "--host",          "127.0.0.1",
                                     "--channel-port", std::to_string(host.channelPort()),
                                     "--services-port", std::to_string(host.servicesPort()),
                                     "--retry-max",     "1000"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(SpmsimIpProcessTest, TransactionsWithReceiptAndPushedResult) {
    HostPeer host;
    ChildProcess sim(simArgs(host, {"--push-result", "--decline-above", "5000"}));
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(host.accept());
    ASSERT_GE(sim.waitLine("CONNECTED channel"), 0);
    ASSERT_GE(sim.waitLine("CONNECTED services"), 0);

    struct Case {
        const char *amount;
        const char *status;
        const char *verdict;
        uint8_t ack;
    };
    const Case cases[] = {{"00004999", "0", "APPROVED", 1}, {"00005001", "7", "DECLINED", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.amount);
        host.behaviour.pushAck = c.ack;
        const size_t from = sim.lineCount();
        const std::string answer = host.exchange(transactionRequest(c.amount));
        ASSERT_FALSE(answer.empty());
        EXPECT_EQ(decode(answer).child(st::concert_rsp::kStatus), c.status);
        const int receipt = sim.waitLine("RECEIPT printed ", true, from);
        const int tx = sim.waitLine(std::string("TRANSACTION ") + c.amount + " " + c.verdict, false, from);
        const int pushed = sim.waitLine("PUSHED " + std::to_string(c.ack), false, from);
        ASSERT_GE(receipt, 0);
        EXPECT_GT(tx, receipt);
        EXPECT_GT(pushed, tx);
    }
    EXPECT_EQ(decode(host.exchange(st::encodeMessage(st::channel::kEchoReq, {}))).tag(), 0x61010040u);
    EXPECT_GE(sim.waitLine("ECHO"), 0);
    sim.write("quit\n");
    EXPECT_GE(sim.waitLine("BYE"), 0);
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(SpmsimIpProcessTest, ReconnectsAfterTheHostRestarts) {
    HostPeer host;
    ChildProcess sim(simArgs(host, {"--no-receipt"}));
    ASSERT_TRUE(host.accept());
    ASSERT_GE(sim.waitLine("CONNECTED services"), 0);
    host.restart();
    const int down = sim.waitLine("DISCONNECTED");
    ASSERT_GE(down, 0);
    ASSERT_TRUE(host.accept());
    EXPECT_GE(sim.waitLine("CONNECTED services", false, size_t(down)), 0);
    // The new connections work.
    EXPECT_EQ(decode(host.exchange(transactionRequest("00000100"))).child(st::concert_rsp::kStatus), "0");
}

TEST(SpmsimIpProcessTest, KeepsRetryingWhileTheHostIsAway) {
    uint16_t channelPort = 0, servicesPort = 0;
    {
        // Ports that nobody listens on once these sockets are closed.
        HostPeer probe;
        channelPort = probe.channelPort();
        servicesPort = probe.servicesPort();
    }
    ChildProcess sim({RYN_SPMSIM_IP, "--host", "127.0.0.1", "--channel-port", std::to_string(channelPort),
                      "--services-port", std::to_string(servicesPort), "--retry-max", "500"});
    ASSERT_TRUE(sim.waitStderr("Connection refused"));
    ASSERT_TRUE(sim.waitStderr("reconnecting in 500 ms"));
    EXPECT_TRUE(sim.lines().empty());
    sim.write("quit\n");
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_EQ(sim.lines(), std::vector<std::string>{"BYE"});
}

TEST(SpmsimIpProcessTest, StopsCleanlyOnQuitAndSignals) {
    struct Case {
        const char *name;
        std::function<void(ChildProcess &)> stop;
    };
    const Case cases[] = {
        {"quit", [](ChildProcess &p) { p.write("status\nquit\n"); }},
        {"SIGTERM", [](ChildProcess &p) { p.signal(SIGTERM); }},
        {"SIGINT", [](ChildProcess &p) { p.signal(SIGINT); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HostPeer host;
        ChildProcess sim(simArgs(host));
        ASSERT_TRUE(host.accept());
        ASSERT_GE(sim.waitLine("CONNECTED services"), 0);
        c.stop(sim);
        EXPECT_EQ(sim.waitExit(), 0);
        const auto lines = sim.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "DISCONNECTED");
        EXPECT_EQ(lines.back(), "BYE");
        EXPECT_TRUE(host.channel().seesClose());
    }
}

TEST(SpmsimIpProcessTest, SurvivesAHostThatStopsReadingAndWriting) {
    // Closing stdin must not stop the simulator (it may run detached).
    HostPeer host;
    ChildProcess sim(simArgs(host, {"--no-receipt"}));
    sim.closeStdin();
    ASSERT_TRUE(host.accept());
    // Half a message, then the host goes: no crash, a clean reconnect.
    host.channel().write(std::string("\x40\x00\x00\x00\x00\x01\x00\x01", 8));
    host.dropConnections();
    ASSERT_GE(sim.waitLine("DISCONNECTED"), 0);
    ASSERT_TRUE(host.accept());
    EXPECT_EQ(decode(host.exchange(st::encodeMessage(st::channel::kEchoReq, {}))).tag(), 0x61010040u);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(SpmsimIpProcessTest, CommandLineErrorsAndHelp) {
    {
        ChildProcess sim({RYN_SPMSIM_IP, "--host", "127.0.0.1", "--bogus"});
        EXPECT_EQ(sim.waitExit(), 2);
        EXPECT_TRUE(sim.waitStderr("unknown option '--bogus'"));
    }
    {
        ChildProcess sim({RYN_SPMSIM_IP, "--help"});
        EXPECT_EQ(sim.waitExit(), 0);
        EXPECT_GE(sim.waitLine("  --decline-above N       decline amounts above N minor units (default 100000,"), 0);
    }
    {
        // 192.0.2.1 (a documentation address) is on no interface here.
        ChildProcess sim({RYN_SPMSIM_IP, "--listen-discovery", "--bind", "192.0.2.1", "--discovery-port", "65004"});
        EXPECT_EQ(sim.waitExit(), 1);
        EXPECT_TRUE(sim.waitStderr("cannot bind 192.0.2.1:65004"));
    }
    {
        ChildProcess sim({RYN_SPMSIM_IP, "--host", "127.0.0.1", "--tls", "--ca", "/nonexistent/ca.pem"});
        EXPECT_EQ(sim.waitExit(), 1);
        EXPECT_TRUE(sim.waitStderr("cannot load the CA file /nonexistent/ca.pem"));
    }
}

// Certificates for the TLS tests: a CA, the host's certificate and the
// terminal's client certificate signed by it, and a second, unrelated CA.
class TlsFiles {
public:
    TlsFiles() {
        const std::string d = dir_.path();
        ok_ = run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/ca.key -out " + d +
                  "/ca.pem -days 2 -subj /CN=SimTestCA") &&
              run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/other.key -out " + d +
                  "/other.pem -days 2 -subj /CN=OtherCA") &&
              leaf("host") && leaf("terminal");
    }
    bool ok() const { return ok_; }
    std::string file(const std::string &name) const { return dir_.file(name); }

private:
    static bool run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    bool leaf(const std::string &name) {
        const std::string d = dir_.path();
        return run("openssl req -newkey rsa:2048 -nodes -keyout " + d + "/" + name + ".key -out " + d + "/" + name +
                   ".csr -subj /CN=" + name) &&
               run("openssl x509 -req -in " + d + "/" + name + ".csr -CA " + d + "/ca.pem -CAkey " + d +
                   "/ca.key -CAcreateserial -days 2 -out " + d + "/" + name + ".pem");
    }
    ryn::test::TempDir dir_;
    bool ok_ = false;
};

class SpmsimIpTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { files_ = new TlsFiles; }
    static void TearDownTestSuite() {
        delete files_;
        files_ = nullptr;
    }
    void SetUp() override {
        if (!files_->ok()) GTEST_SKIP() << "the openssl command could not make the test certificates";
    }
    void TearDown() override { SSL_CTX_free(ctx_); }

    // The host's side: a TLS 1.2 server, optionally requiring a client
    // certificate issued by the test CA.
    SSL_CTX *hostContext(bool requireClientCert) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
        EXPECT_EQ(SSL_CTX_use_certificate_file(ctx_, files_->file("host.pem").c_str(), SSL_FILETYPE_PEM), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx_, files_->file("host.key").c_str(), SSL_FILETYPE_PEM), 1);
        if (requireClientCert) {
            SSL_CTX_load_verify_locations(ctx_, files_->file("ca.pem").c_str(), nullptr);
            SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
        return ctx_;
    }

    static TlsFiles *files_;
    SSL_CTX *ctx_ = nullptr;
};

TlsFiles *SpmsimIpTlsTest::files_ = nullptr;

TEST_F(SpmsimIpTlsTest, VerifiedTls12WithClientCertificate) {
    HostPeer host(hostContext(true));
    ChildProcess sim(simArgs(host, {"--tls", "--ca", files_->file("ca.pem"), "--cert", files_->file("terminal.pem"),
                                    "--key", files_->file("terminal.key"), "--push-result"}));
    ASSERT_TRUE(host.accept());
    EXPECT_EQ(host.version_, "TLSv1.2");
    const int tls = sim.waitLine("TLS ", true);
    ASSERT_GE(tls, 0);
    EXPECT_EQ(sim.lines()[size_t(tls)], "TLS " + host.cipher_);
    ASSERT_GE(sim.waitLine("CONNECTED services"), 0);
    const std::string answer = host.exchange(transactionRequest("00000713"));
    EXPECT_EQ(decode(answer).child(st::concert_rsp::kStatus), "7");
    EXPECT_GE(sim.waitLine("RECEIPT printed ", true), 0);
    EXPECT_GE(sim.waitLine("PUSHED 1"), 0);
    EXPECT_GE(host.countServices(st::services::kPrinterReq), 5u);
}

TEST_F(SpmsimIpTlsTest, HandshakesTheHostMustOrDoesRefuse) {
    struct Case {
        const char *name;
        bool requireClientCert;
        std::vector<std::string> options;
        const char *diagnostic;
    };
    const Case cases[] = {
        {"TLS 1.3 only", false, {"--tls", "--tls13-only"}, "TLS handshake failed"},
        {"host signed by another CA", false, {"--tls", "--ca", files_->file("other.pem")}, "certificate verify failed"},
        {"no client certificate", true, {"--tls", "--ca", files_->file("ca.pem")}, "TLS handshake failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Sessions hold their own reference to the context.
        SSL_CTX_free(ctx_);
        HostPeer host(hostContext(c.requireClientCert));
        ChildProcess sim(simArgs(host, c.options));
        EXPECT_FALSE(host.acceptChannelOnly());
        EXPECT_TRUE(host.sawConnection());
        EXPECT_TRUE(sim.waitStderr(c.diagnostic)) << sim.errText();
        EXPECT_TRUE(sim.waitStderr("reconnecting in"));
        EXPECT_EQ(sim.waitLine("CONNECTED channel", false, 0, 0), -1);
        sim.write("quit\n");
        EXPECT_EQ(sim.waitExit(), 0);
    }
}

}  // namespace
