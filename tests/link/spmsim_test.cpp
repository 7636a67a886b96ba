// The network thread against the serial terminal simulator: an independent
// PPP server and TCP/IP stack on a pseudo-terminal. Skipped when the
// simulator was not built.
#include "link/link_peer.h"
#include "link/rynsock.h"
#include "link/supervisor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {
using namespace ryn::test;
using ryn::link::linkState;

std::string simulatorPath() {
    if (const char *env = getenv("RYN_SPMSIM"); env && *env) return env;
#ifdef RYN_SPMSIM_PATH
    return RYN_SPMSIM_PATH;
#else
    return "";
#endif
}

// One simulator process: commands on its stdin, events from its stdout,
// its PPP trace in a file.
class Simulator {
public:
    Simulator(const std::string &exe, const std::vector<std::string> &args, const std::string &tracePath) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int err = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (err >= 0) dup2(err, 2);
            std::vector<char *> argv{const_cast<char *>(exe.c_str())};
            for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            for (int fd = 3; fd < 256; ++fd) close(fd);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
        fcntl(out_, F_SETFL, O_NONBLOCK);
    }
    ~Simulator() {
        command("quit");
        if (in_ >= 0) close(in_);
        int status = 0;
        bool exited = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10);
        if (!exited && pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        if (out_ >= 0) close(out_);
    }
    bool running() const { return pid_ > 0; }
    void command(const std::string &c) {
        std::string line = c + "\n";
        if (in_ >= 0) (void)!write(in_, line.data(), line.size());
    }
    // Waits for the next event line that starts with `prefix`; earlier
    // lines are consumed.
    bool event(const std::string &prefix, int seconds = 30) {
        return waitUntil(
            [&] {
                char buf[1024];
                ssize_t n;
                while ((n = read(out_, buf, sizeof buf)) > 0) pending_.append(buf, static_cast<size_t>(n));
                for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
                    std::string l = pending_.substr(0, nl);
                    pending_.erase(0, nl + 1);
                    if (l.rfind(prefix, 0) == 0) return true;
                }
                return false;
            },
            seconds);
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
};

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

INSTANTIATE_TEST_SUITE_P(Modes, AgainstSimulator, ::testing::Values("--silent", "--active"),
                         [](const auto &info) { return std::string(info.param + 2); });

}  // namespace
