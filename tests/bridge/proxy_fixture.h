// End-to-end harness of the terminal-to-host proxy and the SOCKS servers:
// the real network thread with every bridge (installNetworkHooks), the
// simulator in TUN mode so that the Linux kernel in a private namespace is
// the terminal (1.1.1.2; we are 1.1.1.1), and ordinary programs (curl,
// ncat, python3) as the terminal's applications.
//
// The whole test process first moves into a network namespace of its own
// (PrivateHostNet, a global environment set up before any thread starts),
// so the "host" that the SOCKS servers dial is private too: the loopback, no
// default route (connects to other networks fail with ENETUNREACH), an
// unreachable route for 198.51.100.0/24 (EHOSTUNREACH), 10.9.9.0/24 on a TUN
// device nobody reads (a SYN to 10.9.9.2 is dropped; with a single SYN retry
// the connect times out in about three seconds: ETIMEDOUT). The device also
// carries an IPv6 address, so that the resolver's "configured families"
// rule keeps IPv6 answers such as ::1. Host-side servers are started in that
// namespace with startHostProgram.
//
// Needs root, /dev/net/tun and iproute2; tests skip otherwise. Everything
// belongs to the test's thread.
#pragma once

#include "bridge/bridge.h"
#include "link/link_peer.h"
#include "link/rynsock.h"
#include "netns/kernel_terminal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace proxytest {

using namespace std::chrono_literals;

// Set when the private host namespace could not be made; tests skip with it.
inline std::string &hostNetProblem() {
    static std::string why = "the private host network was not set up";
    return why;
}

inline int runHere(const std::string &command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class PrivateHostNet : public ::testing::Environment {
public:
    void SetUp() override {
        if (auto why = netnstest::unavailableReason(); !why.empty()) {
            hostNetProblem() = why;
            return;
        }
        if (unshare(CLONE_NEWNET) != 0) {
            hostNetProblem() = "unshare(CLONE_NEWNET) failed";
            return;
        }
        if (runHere("ip link set lo up && ip route add unreachable 198.51.100.0/24 && "
                    "ip tuntap add mode tun name drop0 && ip addr add 10.9.9.1/24 dev drop0 && "
                    "ip -6 addr add 2001:db8:9::1/64 dev drop0 nodad && ip link set drop0 up && "
                    "sysctl -q -w net.ipv4.tcp_syn_retries=1") != 0) {
            hostNetProblem() = "could not configure the private host network";
            return;
        }
        hostNetProblem().clear();
    }
};

// A program of the host (in the test's private namespace), killed with its
// process group at destruction; output collected like netnstest's.
inline std::unique_ptr<netnstest::Background> startHostProgram(const std::string &command) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execlp("sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return nullptr;
    }
    return std::make_unique<netnstest::Background>(pid, out[0]);
}

// Open descriptors of this process (leak checks).
inline int openDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the directory's own descriptor
}

// True when a TCP server of the host accepts on 127.0.0.1:port.
inline bool hostPortAccepts(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

using ryn::test::threadCount;

inline bool socksEntriesListening() {
    for (int i = 2; i <= 6; ++i)
        if (SrvCtx[i].state.load() != TCP_WAITCNX) return false;
    return true;
}

// The network thread with all bridges against the kernel terminal; entry 1
// reaches the host's 127.0.0.1:portIn.
class ProxyLink {
public:
    explicit ProxyLink(const std::vector<std::string> &simArgs = {}, uint16_t portIn = 5186)
        : term_(simArgs), portIn_(portIn) {}
    ~ProxyLink() { stop(); }

    bool start(std::string *why) {
        if (!term_.ok()) {
            *why = "simulator: " + term_.error();
            return false;
        }
        home_ = std::make_unique<ryn::test::PrivateHome>(term_.linkPath());
        ryn::bridge::installNetworkHooks();
        start_rynsockWithTerm(nullptr, 0, 0, portIn_, 5188);
        started_ = true;
        if (!ryn::test::waitUntil([] { return is_ppp_connected() == 1 && socksEntriesListening(); }, 60)) {
            *why = "the link or the SOCKS listeners did not come up; log:\n" + log_.text();
            return false;
        }
        return true;
    }
    void stop() {
        if (started_) stop_rynsock();
        started_ = false;
        ryn::link::bindNetworkHooks({});
    }

    netnstest::KernelTerminal &term() { return term_; }
    const ryn::test::PrivateLog &log() const { return log_; }
    // Runs a command as the terminal's application.
    netnstest::NetNamespace::Result terminal(const std::string &command, std::chrono::milliseconds timeout = 60s) {
        return term_.exec(command, timeout);
    }

private:
    ryn::test::PrivateLog log_;
    netnstest::KernelTerminal term_;
    std::unique_ptr<ryn::test::PrivateHome> home_;
    uint16_t portIn_;
    bool started_ = false;
};

inline std::string probeTool(const std::string &args) {
    return std::string("python3 -u '") + RYN_SOCKS_PROBE + "' " + args;
}

}  // namespace proxytest

#define PROXYTEST_REQUIRE_HOST_NET()                                                       \
    do {                                                                                   \
        if (!::proxytest::hostNetProblem().empty()) GTEST_SKIP() << ::proxytest::hostNetProblem(); \
    } while (0)
