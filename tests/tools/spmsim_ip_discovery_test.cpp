// spmsim-ip finding its host by the discovery broadcast. Runs only as root,
// inside two network namespaces made for the test and joined by a veth
// pair (host 10.9.9.1/24, terminal 10.9.9.2/24): nothing is broadcast in
// the machine's own namespace. Skipped when they cannot be made.
#include "tools/child_process.h"
#include "tools/host_peer.h"
#include "tools/terminal/discovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>

#include <cstdlib>

namespace {

using simtest::ChildProcess;
using simtest::decode;
using simtest::HostPeer;
namespace st = simterm;

bool run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class NamespacePair {
public:
    NamespacePair() {
        const std::string id = std::to_string(::getpid());
        host_ = "simiph" + id;
        terminal_ = "simipt" + id;
        const std::string vh = "vsh" + id, vt = "vst" + id;
        ok_ = ::geteuid() == 0 && run("ip netns add " + host_) && run("ip netns add " + terminal_) &&
              run("ip link add " + vh + " type veth peer name " + vt) && run("ip link set " + vh + " netns " + host_) &&
              run("ip link set " + vt + " netns " + terminal_) &&
              run("ip -n " + host_ + " addr add 10.9.9.1/24 broadcast 10.9.9.255 dev " + vh) &&
              run("ip -n " + terminal_ + " addr add 10.9.9.2/24 broadcast 10.9.9.255 dev " + vt) &&
              run("ip -n " + host_ + " link set " + vh + " up") && run("ip -n " + terminal_ + " link set " + vt + " up") &&
              run("ip -n " + host_ + " link set lo up") && run("ip -n " + terminal_ + " link set lo up");
    }
    ~NamespacePair() {
        // Deleting a namespace deletes the veth end in it, and its peer.
        run("ip netns del " + host_);
        run("ip netns del " + terminal_);
    }
    bool ok() const { return ok_; }
    const std::string &host() const { return host_; }
    const std::string &terminal() const { return terminal_; }

    // Runs fn on a thread that has joined the host namespace: sockets it
    // makes live there, whichever thread uses them later.
    void inHost(const std::function<void()> &fn) const {
        std::thread t([&] {
            const int fd = ::open(("/run/netns/" + host_).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) fn();
            if (fd >= 0) ::close(fd);
        });
        t.join();
    }

private:
    std::string host_, terminal_;
    bool ok_ = false;
};

// Broadcasts the host's announcement (and some noise) every 200 ms.
class Announcer {
public:
    Announcer(int fd, std::string datagram) : fd_(fd), datagram_(std::move(datagram)) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Announcer() {
        {
            std::lock_guard<std::mutex> l(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
        ::close(fd_);
    }

private:
    void loop() {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(st::discovery::kPort);
        inet_pton(AF_INET, "10.9.9.255", &to.sin_addr);
        const std::string noise = "not an announcement";
        std::unique_lock<std::mutex> l(mu_);
        while (!stop_) {
            ::sendto(fd_, noise.data(), noise.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            ::sendto(fd_, datagram_.data(), datagram_.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            cv_.wait_for(l, std::chrono::milliseconds(200), [this] { return stop_; });
        }
    }
    int fd_;
    std::string datagram_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

TEST(SpmsimIpDiscoveryTest, FindsTheHostByItsBroadcastAndAgainAfterADrop) {
    NamespacePair ns;
    if (!ns.ok()) GTEST_SKIP() << "needs root and network namespaces with veth pairs";

    std::unique_ptr<HostPeer> host;
    int udp = -1;
    in_addr hostAddr{};
    inet_pton(AF_INET, "10.9.9.1", &hostAddr);
    ns.inHost([&] {
        host = std::make_unique<HostPeer>(nullptr, hostAddr.s_addr);
        udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    });
    ASSERT_TRUE(host);
    ASSERT_GE(udp, 0);

    ChildProcess sim({"/usr/sbin/ip", "netns", "exec", ns.terminal(), RYN_SPMSIM_IP, "--listen-discovery",
                      "--channel-port", std::to_string(host->channelPort()), "--services-port",
                      std::to_string(host->servicesPort()), "--retry-max", "500"});
    st::Discovery d;
    d.hostAddress = hostAddr.s_addr;
    d.name = "10.9.9.2";
    d.mac = {0x02, 0x00, 0x00, 0x09, 0x09, 0x02};
    Announcer announcer(udp, st::encodeDiscovery(d));

    ASSERT_GE(sim.waitLine("DISCOVERED 10.9.9.1"), 0) << sim.errText();
    ASSERT_TRUE(host->accept());
    ASSERT_GE(sim.waitLine("CONNECTED services"), 0);
    EXPECT_EQ(decode(host->exchange(simtest::transactionRequest("00002500"))).child(st::concert_rsp::kStatus), "0");
    EXPECT_TRUE(sim.waitStderr("ignored a datagram from 10.9.9.1"));

    // The host drops the terminal: it listens for the host again.
    host->dropConnections();
    const int down = sim.waitLine("DISCONNECTED");
    ASSERT_GE(down, 0);
    EXPECT_GE(sim.waitLine("DISCOVERED 10.9.9.1", false, size_t(down)), 0);
    ASSERT_TRUE(host->accept());
    EXPECT_EQ(decode(host->exchange(st::encodeMessage(st::channel::kEchoReq, {}))).tag(), 0x61010040u);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
}

}  // namespace
