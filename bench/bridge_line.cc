// Figures of the host-to-terminal bridge of the channel port (entry 0) on an
// emulated 115200-baud line: the serial terminal simulator paces what the
// terminal writes at 11,520 B/s; the network thread, the pump and the
// bridge threads run in this process, a host client on 127.0.0.1:5188 (in a
// private network namespace when allowed).
//
//   goodput   terminal-to-host (simulator source on 5188, paced) and
//             host-to-terminal (simulator sink on 5188; the simulator does
//             not pace what the host writes, so this shows the bridge's own
//             ceiling), against the ~11,100 B/s payload ceiling of the line
//   latency   16-byte request and answer through an echo on 5188, median and
//             99th percentile, at pump periods 10 ms and 1 ms, against the
//             wire time of the paced answer
//   CPU       this process (getrusage), link up and idle, and while the
//             paced source runs at full line rate
//
// Each phase runs a few seconds. Not a test: it prints figures.
#include "bridge/bridge.h"
#include "bridge/bridge_peer.h"
#include "stack/net_ctx_peer.h"
#include "tools/spmsim/pattern.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {
using namespace ryn::test;
using bridgetest::Clock;

const bool g_privateNetwork = bridgetest::enterPrivateNetwork();

constexpr int kPace = 11520;
constexpr double kPayloadCeiling = 11100.0;
constexpr uint16_t kPort = 5188;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Payload rate the paced line allows for `bytes` of the source's pattern
// when the sender escapes every control character (no ACCM asked of the
// terminal) as well as 0x7D and 0x7E: 1460-byte segments, 40 bytes of IP
// and TCP headers and about 8 of PPP framing each.
double escapedCeiling(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> data(bytes);
    spmsim::fillPattern(data.data(), bytes, 0, seed);
    size_t escapes = 0;
    for (uint8_t b : data) escapes += (b < 0x20 || b == 0x7D || b == 0x7E) ? 1 : 0;
    size_t segments = (bytes + 1459) / 1460;
    double line = static_cast<double>(bytes + escapes + segments * (40 + 8));
    return kPace * static_cast<double>(bytes) / line;
}

// Per-thread CPU time (ns) and wake-ups, by thread id (creation order).
struct ThreadUse {
    long long cpuNs = 0, wakeups = 0;
};
std::map<int, ThreadUse> threadUse() {
    std::map<int, ThreadUse> m;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/schedstat");
            ThreadUse u;
            long long wait = 0;
            if (f >> u.cpuNs >> wait >> u.wakeups) m[std::atoi(e->d_name)] = u;
        }
        closedir(d);
    }
    return m;
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// One simulator and one run of the network thread with the bridges.
class Session {
public:
    explicit Session(const std::vector<std::string> &apps) {
        std::string exe = simulatorPath();
        if (exe.empty() || access(exe.c_str(), X_OK) != 0) return;
        link_ = dir_.file("spm");
        home_ = std::make_unique<PrivateHome>(link_);
        std::vector<std::string> args{"--link", link_, "--pace", std::to_string(kPace)};
        args.insert(args.end(), apps.begin(), apps.end());
        sim_ = std::make_unique<Simulator>(exe, args, dir_.file("sim.txt"));
        if (!sim_->running() || !sim_->event("READY")) return;
        resetContexts();
        ryn::bridge::installNetworkHooks();
        start_rynsock();
        up_ = waitUntil([] { return is_ppp_connected() == 1; }, 60);
    }
    ~Session() {
        stop_rynsock();
        ryn::link::bindNetworkHooks({});
        sim_.reset();
    }
    bool up() const { return up_; }
    Simulator &sim() { return *sim_; }

private:
    TempDir dir_;
    std::string link_;
    std::unique_ptr<PrivateHome> home_;
    std::unique_ptr<Simulator> sim_;
    bool up_ = false;
};

bool recvExactly(int fd, size_t n, Clock::time_point end, Clock::time_point *first = nullptr) {
    std::vector<uint8_t> buf(65536);
    size_t got = 0;
    while (got < n && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t r = recv(fd, buf.data(), std::min(buf.size(), n - got), MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) return false;
        if (got == 0 && first) *first = Clock::now();
        got += static_cast<size_t>(r);
    }
    return got == n;
}

void terminalToHost() {
    Session s({"--source-port", std::to_string(kPort)});
    if (!s.up()) {
        std::printf("terminal-to-host goodput: link did not come up\n");
        return;
    }
    constexpr size_t kBytes = 60000;  // about 5.5 s at line rate
    int fd = bridgetest::connectLoopback(kPort);
    std::string ask = std::to_string(kBytes) + " fin 1\n";
    bridgetest::sendAll(fd, reinterpret_cast<const uint8_t *>(ask.data()), ask.size(),
                        Clock::now() + std::chrono::seconds(10));
    double cpu0 = cpuSeconds();
    Clock::time_point first;
    auto start = Clock::now();
    bool ok = recvExactly(fd, kBytes, start + std::chrono::seconds(60), &first);
    double wall = since(start);
    double cpu = cpuSeconds() - cpu0;
    double rate = static_cast<double>(kBytes) / since(first);
    close(fd);
    if (!ok) {
        std::printf("terminal-to-host goodput: transfer failed\n");
        return;
    }
    std::printf("terminal-to-host goodput (entry 0, paced %d B/s): %.0f B/s = %.1f%% of %.0f B/s payload ceiling\n",
                kPace, rate, 100.0 * rate / kPayloadCeiling, kPayloadCeiling);
    double escaped = escapedCeiling(kBytes, 1);
    std::printf("  line ceiling for this data with every control character escaped: %.0f B/s (goodput = %.1f%% of "
                "it)\n",
                escaped, 100.0 * rate / escaped);
    std::printf("CPU at full paced line rate: %.2f%% of a core (%.3f s CPU in %.2f s)\n", 100.0 * cpu / wall, cpu,
                wall);
}

void hostToTerminal() {
    Session s({"--sink-port", std::to_string(kPort)});
    if (!s.up()) {
        std::printf("host-to-terminal goodput: link did not come up\n");
        return;
    }
    constexpr size_t kBytes = 1 << 20;
    int fd = bridgetest::connectLoopback(kPort);
    std::vector<uint8_t> data(kBytes, 0xA5);
    auto start = Clock::now();
    bool ok = bridgetest::sendAll(fd, data.data(), data.size(), start + std::chrono::seconds(120));
    shutdown(fd, SHUT_WR);
    ok = ok && s.sim().event("SINK " + std::to_string(kPort) + " " + std::to_string(kBytes), 120);
    double wall = since(start);
    close(fd);
    if (!ok) {
        std::printf("host-to-terminal goodput: transfer failed\n");
        return;
    }
    std::printf("host-to-terminal goodput (entry 0, host writes not paced by the simulator): %.0f B/s = %.1fx the "
                "payload ceiling\n",
                kBytes / wall, kBytes / wall / kPayloadCeiling);
}

void latencyAndIdle() {
    Session s({"--echo-port", std::to_string(kPort)});
    if (!s.up()) {
        std::printf("latency: link did not come up\n");
        return;
    }
    // Idle: the link up, the pump and the timers ticking, no connection.
    auto before = threadUse();
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    double seconds = since(t0);
    double idle = (cpuSeconds() - cpu0) / seconds;
    auto after = threadUse();
    std::printf("CPU with the link up and idle (pump 10 ms): %.3f%% of a core\n", 100.0 * idle);
    std::printf("  per thread (creation order): CPU %% and wake-ups per second\n");
    int index = 0;
    for (auto &[tid, u] : after) {
        auto b = before.find(tid);
        if (b == before.end()) continue;
        std::printf("    #%-2d %6.3f%% %6.0f/s\n", index++, 100.0 * (u.cpuNs - b->second.cpuNs) / 1e9 / seconds,
                    (u.wakeups - b->second.wakeups) / seconds);
    }

    int fd = bridgetest::connectLoopback(kPort);
    const uint8_t request[16] = {'p', 'i', 'n', 'g'};
    // One bridged connection open and silent: its worker, copy thread and
    // pacing timer wake every pump period.
    if (!bridgetest::sendAll(fd, request, sizeof request, Clock::now() + std::chrono::seconds(10)) ||
        !recvExactly(fd, sizeof request, Clock::now() + std::chrono::seconds(30))) {
        std::printf("latency: the connection did not come up\n");
        close(fd);
        return;
    }
    cpu0 = cpuSeconds();
    t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::printf("CPU with one bridged connection open and silent: %.3f%% of a core\n",
                100.0 * (cpuSeconds() - cpu0) / since(t0));
    // Answer on the paced line: 16 bytes + 40 of IP and TCP headers + about
    // 8 of PPP framing.
    const double wireMs = 1000.0 * (16 + 40 + 8) / kPace;
    for (int pump : {10, 1}) {
        Main_SetWaitTimePump1ms(pump);
        std::vector<double> ms;
        for (int i = 0; i < 60; ++i) {
            auto t = Clock::now();
            if (!bridgetest::sendAll(fd, request, sizeof request, t + std::chrono::seconds(10)) ||
                !recvExactly(fd, sizeof request, t + std::chrono::seconds(10))) {
                std::printf("latency: exchange failed\n");
                close(fd);
                return;
            }
            if (i >= 10) ms.push_back(1000.0 * since(t));  // the first ones open the connection
        }
        std::sort(ms.begin(), ms.end());
        std::printf("request/answer latency, pump %2d ms: median %.1f ms, p99 %.1f ms (wire time of the answer "
                    "%.1f ms)\n",
                    pump, ms[ms.size() / 2], ms[ms.size() * 99 / 100], wireMs);
    }
    Main_SetWaitTimePump1ms(10);
    close(fd);
}

}  // namespace

int main() {
    if (simulatorPath().empty()) {
        std::printf("the serial terminal simulator is not built\n");
        return 0;
    }
    if (!g_privateNetwork) std::printf("(no private network namespace: using the machine's 127.0.0.1:%d)\n", kPort);
    PrivateLog log;
    logDestroy();  // the figures are for a service with its log switched off
    terminalToHost();
    hostToTerminal();
    latencyAndIdle();
    return 0;
}
