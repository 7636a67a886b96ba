// Figures of the SOCKS servers over the serial link, with the Linux kernel
// in a namespace as the terminal (simulator in TUN mode):
//  - set-up time of a SOCKS connection (connect, greeting, CONNECT, reply)
//    over the line paced at 11520 bit/s and unpaced;
//  - goodput through SOCKS against the same transfer through the fixed
//    terminal-to-host bridge (entry 1), and their ratio: a host-to-terminal
//    download unpaced (2 MB), and a terminal-to-host upload over the paced
//    line (64 KB; the pace applies to what the terminal writes).
// Needs root, /dev/net/tun and iproute2; exits 77 otherwise.
//
//   bench_socks_link [--quick]     (--quick: paced run only)
#include "proxy_fixture.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

using namespace proxytest;
using namespace std::chrono_literals;

constexpr uint16_t kServerPort = 16100;  // the host's download source or upload sink; entry 1's host port
constexpr uint16_t kEchoPort = 16101;

struct Transfer {
    double bytes = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? bytes / seconds : 0; }
};

bool parseTransfer(const std::string &out, const std::string &word, Transfer *d) {
    auto at = out.find(word + " ");
    if (at == std::string::npos) return false;
    std::istringstream in(out.substr(at + word.size() + 1));
    return static_cast<bool>(in >> d->bytes >> d->seconds);
}

// Paced: upload (the pace limits the terminal's writes); unpaced: download.
bool run(bool paced, size_t bytes, const std::string &dir) {
    std::vector<std::string> simArgs;
    if (paced) simArgs = {"--pace", "11520"};
    ProxyLink link(simArgs, kServerPort);
    std::string why;
    if (!link.start(&why)) {
        std::fprintf(stderr, "link: %s\n", why.c_str());
        return false;
    }
    if (paced) link.term().setRtoMin(1500);
    std::unique_ptr<netnstest::Background> server;
    const std::string listen = "exec socat TCP-LISTEN:" + std::to_string(kServerPort) + ",bind=127.0.0.1,reuseaddr,fork ";
    if (paced) {
        server = startHostProgram(listen + "SYSTEM:'head -c " + std::to_string(bytes) + " >/dev/null && echo DONE'");
    } else {
        const std::string file = dir + "/payload";
        std::string body(bytes, '\0');
        uint32_t x = 99;
        for (auto &c : body) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
        ryn::test::writeFile(file, body);
        server = startHostProgram(listen + "OPEN:'" + file + "',rdonly");
    }
    auto echo = startHostProgram("exec socat TCP-LISTEN:" + std::to_string(kEchoPort) +
                                 ",bind=127.0.0.1,reuseaddr,fork PIPE");
    if (!server || !echo ||
        !ryn::test::waitUntil([] { return hostPortAccepts(kServerPort) && hostPortAccepts(kEchoPort); }, 30))
        return false;

    const char *line = paced ? "paced 11520 B/s" : "unpaced";
    auto setup = link.terminal(probeTool("setup 1.1.1.1 1080 127.0.0.1 " + std::to_string(kEchoPort) + " 10"), 300s);
    std::printf("[%s] SOCKS set-up (connect to CONNECT reply), median min max ms: %s", line,
                setup.output.find("SETUP_MS ") == 0 ? setup.output.c_str() + 9 : ("failed: " + setup.output).c_str());

    const std::string word = paced ? "UPLOAD" : "DOWNLOAD";
    const std::string size = paced ? " " + std::to_string(bytes) : "";
    const std::string verb = paced ? "upload" : "download";
    auto d1 = link.terminal(probeTool(verb + " 1.1.1.1 5186" + size), 600s);
    auto d2 = link.terminal(probeTool(verb + " 1.1.1.1 1080" + size + " 127.0.0.1 " + std::to_string(kServerPort)),
                            600s);
    Transfer direct, socks;
    if (!parseTransfer(d1.output, word, &direct) || !parseTransfer(d2.output, word, &socks)) {
        std::printf("[%s] %s failed:\n%s\n%s\n", line, verb.c_str(), d1.output.c_str(), d2.output.c_str());
        return false;
    }
    std::printf("[%s] %s of %zu bytes (%s):\n", line, verb.c_str(), bytes,
                paced ? "terminal to host" : "host to terminal");
    std::printf("    fixed bridge (entry 1): %.0f bytes in %.3f s = %.1f KB/s\n", direct.bytes, direct.seconds,
                direct.rate() / 1024);
    std::printf("    through SOCKS:          %.0f bytes in %.3f s = %.1f KB/s\n", socks.bytes, socks.seconds,
                socks.rate() / 1024);
    std::printf("    ratio SOCKS / fixed bridge: %.2f\n", direct.rate() > 0 ? socks.rate() / direct.rate() : 0.0);
    std::fflush(stdout);
    return direct.bytes == static_cast<double>(bytes) && socks.bytes == static_cast<double>(bytes);
}

}  // namespace

int main(int argc, char **argv) {
    if (auto why = netnstest::unavailableReason(); !why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 77;
    }
    PrivateHostNet net;
    net.SetUp();
    if (!hostNetProblem().empty()) {
        std::printf("skipped: %s\n", hostNetProblem().c_str());
        return 77;
    }
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    ryn::test::TempDir dir;
    bool ok = true;
    if (!quick) ok = run(false, 2 * 1024 * 1024, dir.path()) && ok;
    ok = run(true, 64 * 1024, dir.path()) && ok;
    return ok ? 0 : 1;
}
