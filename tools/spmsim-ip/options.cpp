#include "tools/spmsim-ip/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace spmsimip {

namespace {

bool parseUnsigned(const std::string &text, uint64_t max, uint64_t &out) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max) return false;
    out = v;
    return true;
}

bool isIpv4(const std::string &text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string> &args, std::string *error) {
    Options o;
    auto fail = [error](const std::string &text) {
        if (error) *error = text;
        return std::nullopt;
    };
    using Setter = std::function<bool(const std::string &)>;
    auto number = [](auto &field, uint64_t max) {
        return Setter([&field, max](const std::string &v) {
            uint64_t n = 0;
            if (!parseUnsigned(v, max, n)) return false;
            field = static_cast<std::remove_reference_t<decltype(field)>>(n);
            return true;
        });
    };
    auto port = [](uint16_t &field) {
        return Setter([&field](const std::string &v) {
            uint64_t n = 0;
            if (!parseUnsigned(v, 65535, n) || n == 0) return false;
            field = uint16_t(n);
            return true;
        });
    };
    auto text = [](std::string &field) {
        return Setter([&field](const std::string &v) {
            if (v.empty()) return false;
            field = v;
            return true;
        });
    };
    const std::map<std::string, Setter> withValue = {
        {"--host", text(o.host)},
        {"--bind", text(o.bindAddress)},
        {"--discovery-port", port(o.discoveryPort)},
        {"--channel-port", port(o.channelPort)},
        {"--services-port", port(o.servicesPort)},
        {"--ca", text(o.caFile)},
        {"--cert", text(o.certFile)},
        {"--key", text(o.keyFile)},
        {"--decline-above", number(o.declineAbove, 999999999999ull)},
        {"--delay", number(o.delayMs, 3600000)},
        {"--echo-interval", number(o.echoIntervalMs, 3600000)},
        {"--answer-timeout", number(o.answerTimeoutMs, 3600000)},
        {"--connect-timeout", number(o.connectTimeoutMs, 600000)},
        {"--retry-max", number(o.retryMaxMs, 3600000)},
        {"--merchant", text(o.merchant)},
        {"--terminal-number", text(o.terminalNumber)},
    };
    const std::map<std::string, bool *> flags = {
        {"--listen-discovery", &o.listenDiscovery}, {"--tls", &o.tls},
        {"--tls13-only", &o.tls13Only},             {"--push-result", &o.pushResult},
        {"--help", &o.help},                        {"-h", &o.help},
    };
    bool noReceipt = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--no-receipt") {
            noReceipt = true;
            continue;
        }
        if (auto f = flags.find(arg); f != flags.end()) {
            if (inlineValue) return fail("option " + arg + " takes no value");
            *f->second = true;
            continue;
        }
        auto s = withValue.find(arg);
        if (s == withValue.end()) return fail("unknown option '" + args[i] + "'");
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (i + 1 >= args.size()) return fail("option " + arg + " needs a value");
            value = args[++i];
        }
        if (!s->second(value)) return fail("bad value '" + value + "' for " + arg);
    }
    if (o.help) return o;
    o.receipt = !noReceipt;
    if (o.host.empty() == !o.listenDiscovery)
        return fail("give exactly one of --host ADDR and --listen-discovery");
    if (!o.host.empty() && !isIpv4(o.host)) return fail("--host needs an IPv4 address, not '" + o.host + "'");
    if (!isIpv4(o.bindAddress)) return fail("--bind needs an IPv4 address, not '" + o.bindAddress + "'");
    if (o.certFile.empty() != o.keyFile.empty()) return fail("--cert and --key go together");
    if ((o.tls13Only || !o.caFile.empty() || !o.certFile.empty()) && !o.tls && !o.listenDiscovery)
        return fail("--tls13-only, --ca, --cert and --key need --tls");
    if (o.terminalNumber.size() > 8) return fail("--terminal-number takes at most 8 characters");
    if (o.channelPort == o.servicesPort) return fail("the channel and services ports must differ");
    return o;
}

std::string usage(const std::string &program) {
    return "Usage: " + program + R"( (--host ADDR | --listen-discovery) [options]

Plays a payment terminal attached over IP. It connects to the host's channel
port (the host sends requests, the terminal answers) and to its services port
(the terminal sends its own requests: receipt printing, pushed results, echo).

Finding the host:
  --host ADDR             connect to the host at this IPv4 address
  --listen-discovery      wait for the host's discovery broadcast and connect
                          to the address it announces (TLS when it says so)
  --bind ADDR             address to receive discovery on (default 0.0.0.0)
  --discovery-port N      UDP port of the discovery broadcast (default 65004)
  --channel-port N        host's channel port (default 5188)
  --services-port N       host's services port (default 5186)
  --connect-timeout MS    per connection attempt (default 5000)
  --retry-max MS          longest wait between reconnection attempts; the wait
                          starts at 500 ms and doubles (default 10000)

TLS (the terminal is the TLS client on both connections):
  --tls                   use TLS 1.2
  --ca FILE               verify the host's certificate against this CA (PEM);
                          without it the host is not verified
  --cert FILE --key FILE  present this client certificate and key (PEM)
  --tls13-only            offer TLS 1.3 only (a terminal the host must refuse)

Payments:
  A transaction is approved unless its amount, in minor units, is above the
  --decline-above limit or its last two digits are 13 (e.g. 12.13). An amount
  that is not 1 to 12 digits is declined; a missing amount counts as 0.
  --decline-above N       decline amounts above N minor units (default 100000,
                          i.e. 1000.00)
  --delay MS              wait this long before printing and answering
  --no-receipt            do not print the receipt on the host
  --push-result           after answering, push the result on the services
                          connection as well
  --merchant TEXT         first receipt line (default "SPMSIM MERCHANT")
  --terminal-number NN    terminal number when the request has none (default 01)
  --answer-timeout MS     wait for each host answer on the services connection
                          (default 10000)
  --echo-interval MS      echo the host after this much idle time on the
                          services connection; 0 disables (default 5000).
                          Three unanswered echoes in a row drop the connections.

Events, one per line on standard output:
  DISCOVERED <host-ip>, CONNECTED channel, CONNECTED services, TLS <cipher>,
  ECHO (the host's echo answered), ECHO-ANSWERED (the host answered ours),
  TRANSACTION <amount> <APPROVED|DECLINED>, RECEIPT printed <n lines>,
  RECEIPT failed <timeout|refused|bad-answer>, PUSHED <0|1|timeout>,
  UNSUPPORTED <tag>, DISCONNECTED, BYE.
Diagnostics go to standard error. Type "quit" on standard input, or send
SIGINT or SIGTERM, to stop.

Exit status: 0 after a clean stop, 1 on a fatal error (e.g. the discovery port
cannot be bound, a TLS file cannot be loaded), 2 for a bad command line.
)";
}

}  // namespace spmsimip
