// A terminal on the LAN, end to end: the real libRYNService.so (public
// headers only) against the spmsim-ip terminal simulator on loopback.
// Payments approved and declined, the receipt through the callbacks, the
// pushed result, both echoes, a dead terminal dropped, and TLS: who gets in
// and who is refused. Runs inside private mount and network namespaces
// (tests/run_private.sh), so the fixed ports 5186/5188, /tmp/RYNLog.txt and
// the home directory are private to it.
#include "RYNService.h"
#include "tests/ipterminal/tls_certs.h"
#include "tests/tools/child_process.h"
#include "e2e_app.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ryn::test::TlsFiles;
using simtest::ChildProcess;
using ryn::test::connected;
using ryn::test::eventually;
using ryn::test::ReceiptRecorder;
using ryn::test::rynLog;



class IpTerminal : public ::testing::Test {
protected:
    static void SetUpTestSuite() { files_ = new TlsFiles(); }
    static void TearDownTestSuite() { delete files_; }

    void SetUp() override {
        ASSERT_TRUE(files_->ok());
        setenv("RYN_HOME", home_.path().c_str(), 1);
        ReceiptRecorder::install();
    }
    void TearDown() override {
        stopRynService();
        sim_.reset();
        ReceiptRecorder::uninstall();
        unsetenv("RYN_HOME");
    }

    void activate(bool tls) {
        ryn::test::writeFile(home_.file(".CalvorinKestova/KestovaLinux.txt"),
                             std::string("Type=3;AddrIP=127.0.0.1;Name=LANE 1;UseSsl=") + (tls ? "1" : "0"));
    }
    void simulator(std::vector<std::string> args) {
        args.insert(args.begin(), {RYN_SPMSIM_IP, "--host", "127.0.0.1", "--retry-max", "500"});
        sim_ = std::make_unique<ChildProcess>(args);
        ASSERT_TRUE(sim_->started());
    }
    void useTls(bool withCa) {
        auto set = [](int (*setter)(const char *, int), const std::string &p) {
            ASSERT_EQ(setter(p.c_str(), int(p.size())), 1);
        };
        set(setClientCertificate, files_->path("host.pem"));
        set(setDHFile, files_->path("dh.pem"));
        const std::string key = files_->path("host.key");
        ASSERT_EQ(setClientKey(key.c_str(), int(key.size()), "secret-pw", 9), 1);
        if (withCa)
            set(setRootCA, files_->path("ca.pem"));
        else
            ASSERT_EQ(setRootCA("", 0), 1);
    }
    // Runs one payment; the terminal's error code, or "failed".
    std::string pay(const char *amount) {
        ITransactionIn *in = create_itransactionin();
        ITransactionOut *out = create_itransactionout();
        in->setAmount(amount);
        in->setCurrencyCode("978");
        in->setOperation("C");
        in->setTermNum("1");
        std::string result = doTransaction(in, out) == 1 ? out->getKxError() : "failed";
        delete in;
        delete out;
        return result;
    }

    static TlsFiles *files_;
    ryn::test::TempDir home_;
    std::unique_ptr<ChildProcess> sim_;
};
TlsFiles *IpTerminal::files_ = nullptr;

TEST_F(IpTerminal, PaymentsWithTheReceiptPrintedThroughTheCallbacks) {
    activate(false);
    simulator({"--push-result"});
    ASSERT_EQ(startRynService(), 1);
    ASSERT_TRUE(eventually(connected));

    EXPECT_EQ(pay("2500"), "0000");
    std::vector<std::string> printed = ReceiptRecorder::peek();
    ASSERT_GE(printed.size(), 5u);
    EXPECT_EQ(printed.front(), "start");
    EXPECT_EQ(printed.back(), "end");
    EXPECT_EQ(printed[printed.size() - 2], "cut");
    EXPECT_NE(std::find(printed.begin(), printed.end(), "text AMOUNT 25.00 978"), printed.end());
    EXPECT_NE(std::find(printed.begin(), printed.end(), "text APPROVED"), printed.end());
    // The terminal pushed the result too, and the host took it.
    EXPECT_GE(sim_->waitLine("PUSHED 1"), 0);

    EXPECT_EQ(pay("25013"), "0001");  // the simulator declines amounts ending in 13
    EXPECT_EQ(pay("100001"), "0001");
    EXPECT_EQ(pay("1"), "0000");
}

TEST_F(IpTerminal, EchoesBothWaysAndADeadTerminalIsDropped) {
    activate(false);
    simulator({"--echo-interval", "300"});
    ASSERT_EQ(startRynService(), 1);
    ASSERT_TRUE(eventually(connected));
    EXPECT_GE(sim_->waitLine("ECHO-ANSWERED"), 0) << "the host answers the terminal's echo";
    // After 10 s without a request the host echoes the terminal.
    EXPECT_GE(sim_->waitLine("ECHO", false, 0, 30000), 0);
    EXPECT_TRUE(connected());
    // A frozen terminal: the host gives up after its failed echoes.
    sim_->signal(SIGSTOP);
    EXPECT_TRUE(eventually([] { return !connected(); }, 60s));
    EXPECT_NE(rynLog().find("EchoTask: close connection"), std::string::npos);
    sim_->signal(SIGCONT);
    // The terminal comes back and is served again.
    EXPECT_TRUE(eventually(connected, 60s));
    EXPECT_EQ(pay("700"), "0000");
}

TEST_F(IpTerminal, TlsWithoutCaAcceptsTerminalsWithOrWithoutCertificate) {
    activate(true);
    useTls(false);
    simulator({"--tls"});
    ASSERT_EQ(startRynService(), 1);
    ASSERT_TRUE(eventually(connected));
    EXPECT_EQ(pay("2500"), "0000");
    stopRynService();
    sim_.reset();

    simulator({"--tls", "--cert", files_->path("rogue.pem"), "--key", files_->path("rogue.key")});
    ASSERT_EQ(startRynService(), 1);
    EXPECT_TRUE(eventually(connected));
}

TEST_F(IpTerminal, TlsWithCaRefusesUnknownTerminals) {
    activate(true);
    useTls(true);
    ASSERT_EQ(startRynService(), 1);
    struct Case {
        const char *what;
        std::vector<std::string> args;
    } refused[] = {
        {"no certificate", {"--tls"}},
        {"rogue certificate", {"--tls", "--cert", files_->path("rogue.pem"), "--key", files_->path("rogue.key")}},
        {"TLS 1.3 only",
         {"--tls", "--tls13-only", "--cert", files_->path("terminal.pem"), "--key", files_->path("terminal.key")}},
    };
    for (const auto &c : refused) {
        auto countRefusals = [] {
            const std::string log = rynLog();
            size_t n = 0;
            for (size_t at = 0; (at = log.find("SSL_accept() error use no ssl connection", at)) != std::string::npos; ++at)
                ++n;
            return n;
        };
        const size_t seen = countRefusals();
        simulator(c.args);
        EXPECT_TRUE(eventually([&] { return countRefusals() > seen; })) << c.what;
        EXPECT_FALSE(connected()) << c.what;
        sim_.reset();
    }
    simulator({"--tls", "--ca", files_->path("ca.pem"), "--cert", files_->path("terminal.pem"), "--key",
               files_->path("terminal.key")});
    EXPECT_TRUE(eventually(connected));
    EXPECT_EQ(pay("1200"), "0000");
    EXPECT_GE(sim_->waitLine("TLS ", true), 0);
}

// A second, unrelated TLS client: openssl s_client completes a TLS 1.2
// handshake with the terminal's certificate on the channel port.
TEST_F(IpTerminal, OpensslClientHandshakes) {
    activate(true);
    useTls(true);
    ASSERT_EQ(startRynService(), 1);
    const std::string cmd = "echo | timeout 20 openssl s_client -connect 127.0.0.1:5188 -tls1_2 -CAfile " +
                            files_->path("ca.pem") + " -cert " + files_->path("terminal.pem") + " -key " +
                            files_->path("terminal.key") + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    EXPECT_NE(out.find("Protocol  : TLSv1.2"), std::string::npos) << out;
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
}

}  // namespace
