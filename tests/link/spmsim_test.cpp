// The network thread against the serial terminal simulator: an independent
// PPP server and TCP/IP stack on a pseudo-terminal. Skipped when the
// simulator was not built.
#include "link/link_peer.h"
#include "link/ppp.h"
#include "link/rynsock.h"
#include "link/spmsim_process.h"
#include "link/supervisor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {
using namespace ryn::test;
using ryn::link::linkState;

class AgainstSimulator : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        exe_ = simulatorPath();
        if (exe_.empty() || access(exe_.c_str(), X_OK) != 0)
            GTEST_SKIP() << "the serial terminal simulator is not built (scripts/fetch-lwip.sh, then reconfigure)";
    }
    void TearDown() override { stop_rynsock(); }
    std::string exe_;
};

TEST_P(AgainstSimulator, FirstLcpRequestIsReceivedAndParsedByTheTerminal) {
    PrivateLog log;
    TempDir dir;
    const std::string link = dir.file("spm"), trace = dir.file("trace.txt");
    PrivateHome home(link);
    Simulator sim(exe_, {"--link", link, GetParam(), "--trace"}, trace);
    ASSERT_TRUE(sim.running());
    ASSERT_TRUE(sim.event("READY"));
    start_rynsock();
    ASSERT_TRUE(sim.event("HANDSHAKE"));
    ASSERT_TRUE(sim.event("LCP-RX"));
    EXPECT_TRUE(waitUntil([] { return linkState() == ryn::link::MAINFCT_PPP; }));
    // lwIP's own trace shows our request with the options we asked for.
    EXPECT_TRUE(waitUntil([&] { return readFile(trace).find("rcvd [LCP ConfReq id=0x1 <mru 1500> <magic 0x") != std::string::npos; }, 10))
        << readFile(trace);
    EXPECT_NE(readFile(trace).find("<pcomp> <accomp>]"), std::string::npos);
    stop_rynsock();
    EXPECT_EQ(log.count("RynNetworkThread END"), 1u);
}

TEST_P(AgainstSimulator, TerminalRestartAndCablePull) {
    PrivateLog log;
    TempDir dir;
    const std::string link = dir.file("spm");
    PrivateHome home(link);
    Simulator sim(exe_, {"--link", link, GetParam()}, dir.file("trace.txt"));
    ASSERT_TRUE(sim.event("READY"));
    start_rynsock();
    ASSERT_TRUE(sim.event("HANDSHAKE"));
    ASSERT_TRUE(sim.event("LCP-RX"));

    // The terminal reboots: the host drops the link and handshakes again.
    uint32_t opens = ryn::link::lineOpenCount();
    sim.command("restart");
    ASSERT_TRUE(sim.event("HANDSHAKE"));
    ASSERT_TRUE(sim.event("LCP-RX"));
    EXPECT_EQ(ryn::link::lineOpenCount(), opens + 1);
    EXPECT_GE(log.count("Mainfsm: MAINFCT_PPP -> MAINFCT_DISCONNECT"), 1u);

    // The cable is pulled: back to the start, reopening once per second.
    sim.command("unplug");
    ASSERT_TRUE(sim.event("UNPLUGGED"));
    ASSERT_TRUE(waitUntil([&] { return log.count("InitDTESock terminal=-1") >= 2; }));
    EXPECT_EQ(linkState(), ryn::link::MAINFCT_BEGIN);
    sim.command("plug");
    ASSERT_TRUE(sim.event("READY"));
    ASSERT_TRUE(sim.event("HANDSHAKE"));
    ASSERT_TRUE(sim.event("LCP-RX"));

    // Stop while the device is missing.
    sim.command("unplug");
    ASSERT_TRUE(sim.event("UNPLUGGED"));
    ASSERT_TRUE(waitUntil([] { return linkState() == ryn::link::MAINFCT_BEGIN; }));
    stop_rynsock();
    EXPECT_EQ(log.count("RynNetworkThread END"), 1u);
}

// Everything the supervisor reports for a link that came up.
void expectConnectedReport(const PrivateLog &log) {
    std::string t = log.text();
    EXPECT_NE(t.find("Mainfsm: MAINFCT_PPP: Connected"), std::string::npos);
    EXPECT_NE(t.find("Mainfsm: IP ADDR: 1.1.1.1"), std::string::npos);
    EXPECT_NE(t.find("Mainfsm: NETWORK MASK: 255.255.255.252"), std::string::npos);
    EXPECT_NE(t.find("Mainfsm: REMOTE ADDR: 1.1.1.2"), std::string::npos);
}

bool connected() { return is_ppp_connected() == 1; }

// The link comes up with or without PAP, in both terminal modes; our echo
// requests are answered; a stop sends LCP Terminate-Request and completes.
TEST_P(AgainstSimulator, ComesUpAnswersEchoesAndTerminatesOnStop) {
    struct Case {
        const char *name;
        std::vector<std::string> extra;
    } cases[] = {
        {"no authentication", {}},
        {"PAP required, right credentials", {"--pap", "bredliwat:bredliwat"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PrivateLog log;
        TempDir dir;
        const std::string link = dir.file("spm"), trace = dir.file("trace.txt");
        PrivateHome home(link);
        std::vector<std::string> args{"--link", link, GetParam(), "--trace", "--retry-time", "1"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Simulator sim(exe_, args, trace);
        ASSERT_TRUE(sim.event("READY"));
        auto start = std::chrono::steady_clock::now();
        start_rynsock();
        ASSERT_TRUE(sim.event("PPP-UP 1.1.1.2 1.1.1.1")) << readFile(trace);
        ASSERT_TRUE(waitUntil(connected)) << log.text();
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("[ info ] %s, %s terminal: connected after %lld ms\n", c.name, GetParam(),
                    static_cast<long long>(ms.count()));
        expectConnectedReport(log);
        ryn::ppp::IpAddresses a = ryn::ppp::currentAddresses();
        EXPECT_EQ(a.ours, 0x01010101u);
        EXPECT_EQ(a.his, 0x01010102u);
        EXPECT_EQ(a.mask, 0xFFFFFFFCu);
        if (!c.extra.empty()) {
            EXPECT_NE(readFile(trace).find("rcvd [PAP AuthReq id=0x1 user=\"bredliwat\" password=\"bredliwat\"]"),
                      std::string::npos)
                << readFile(trace);
        }
        // The terminal answers the host's keepalive, which holds the link.
        EXPECT_TRUE(waitUntil([&] { return readFile(trace).find("sent [LCP EchoRep") != std::string::npos; }, 10));
        EXPECT_TRUE(connected());

        stop_rynsock();
        EXPECT_NE(readFile(trace).find("rcvd [LCP TermReq"), std::string::npos) << readFile(trace);
        EXPECT_TRUE(sim.event("PPP-DOWN", 10));
        EXPECT_EQ(log.count("RynNetworkThread END"), 1u);
        EXPECT_EQ(is_ppp_connected(), 0);
    }
}

// The terminal refuses our credentials: no IP, the failure is logged, and
// the link starts over once the terminal ends it.
TEST_P(AgainstSimulator, WrongPapCredentialsNeverConnect) {
    PrivateLog log;
    TempDir dir;
    const std::string link = dir.file("spm"), trace = dir.file("trace.txt");
    PrivateHome home(link);
    Simulator sim(exe_, {"--link", link, GetParam(), "--trace", "--retry-time", "1", "--pap", "bredliwat:other"}, trace);
    ASSERT_TRUE(sim.event("READY"));
    start_rynsock();
    ASSERT_TRUE(waitUntil([&] { return log.count("PAP: the terminal refused our credentials") >= 1; })) << log.text();
    EXPECT_TRUE(waitUntil([&] { return log.count("Mainfsm: MAINFCT_PPP -> MAINFCT_DISCONNECT") >= 1; }));
    EXPECT_EQ(log.count("Mainfsm: MAINFCT_PPP: Connected"), 0u);
    EXPECT_EQ(is_ppp_connected(), 0);
    stop_rynsock();
}

// The terminal freezes: five unanswered echo requests later the host
// declares the link dead and starts over; thawed, the terminal connects again.
TEST_P(AgainstSimulator, FrozenTerminalIsDetectedByTheKeepaliveThenReconnects) {
    PrivateLog log;
    TempDir dir;
    const std::string link = dir.file("spm");
    PrivateHome home(link);
    Simulator sim(exe_, {"--link", link, GetParam(), "--retry-time", "1"}, dir.file("trace.txt"));
    ASSERT_TRUE(sim.event("READY"));
    start_rynsock();
    ASSERT_TRUE(waitUntil(connected)) << log.text();
    ASSERT_EQ(kill(sim.pid(), SIGSTOP), 0);
    EXPECT_TRUE(waitUntil([] { return !connected(); }, 30));
    EXPECT_EQ(log.count("LCP: no answer to 5 echo requests: link dead"), 1u) << log.text();
    EXPECT_GE(log.count("Mainfsm: MAINFCT_PPP -> MAINFCT_DISCONNECT"), 1u);
    ASSERT_EQ(kill(sim.pid(), SIGCONT), 0);
    EXPECT_TRUE(waitUntil(connected, 60)) << log.text();
    EXPECT_EQ(log.count("Mainfsm: MAINFCT_PPP: Connected"), 2u);
    stop_rynsock();
}

// The terminal restarts while connected: the host drops the link and
// connects again.
TEST_P(AgainstSimulator, TerminalRestartWhileConnectedReconnects) {
    PrivateLog log;
    TempDir dir;
    const std::string link = dir.file("spm");
    PrivateHome home(link);
    Simulator sim(exe_, {"--link", link, GetParam(), "--retry-time", "1"}, dir.file("trace.txt"));
    ASSERT_TRUE(sim.event("READY"));
    start_rynsock();
    ASSERT_TRUE(waitUntil(connected)) << log.text();
    sim.command("restart");
    ASSERT_TRUE(waitUntil([&] { return log.count("Mainfsm: MAINFCT_PPP: Connected") >= 2; }, 60)) << log.text();
    EXPECT_TRUE(connected());
    expectConnectedReport(log);
    stop_rynsock();
}

INSTANTIATE_TEST_SUITE_P(Modes, AgainstSimulator, ::testing::Values("--silent", "--active"),
                         [](const auto &info) { return std::string(info.param + 2); });

}  // namespace
