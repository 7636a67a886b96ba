// Command line of spmsim-ip, the simulated IP-attached payment terminal.
// parseOptions is pure (no I/O) so the rules are testable; usage() is the
// --help text, which also states the approve/decline rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace spmsimip {

struct Options {
    // Where the host is: given, or learnt from its discovery broadcast.
    std::string host;                 // --host
    bool listenDiscovery = false;     // --listen-discovery
    std::string bindAddress = "0.0.0.0";
    uint16_t discoveryPort = 65004;
    uint16_t channelPort = 5188;
    uint16_t servicesPort = 5186;

    bool tls = false;
    bool tls13Only = false;
    std::string caFile, certFile, keyFile;

    uint64_t declineAbove = 100000;
    uint32_t delayMs = 0;
    bool receipt = true;
    bool pushResult = false;
    uint32_t echoIntervalMs = 5000;
    uint32_t answerTimeoutMs = 10000;
    uint32_t connectTimeoutMs = 5000;
    uint32_t retryMaxMs = 10000;
    std::string merchant = "SPMSIM MERCHANT";
    std::string terminalNumber = "01";

    bool help = false;
};

// nullopt with *error set when the command line is wrong.
std::optional<Options> parseOptions(const std::vector<std::string> &args, std::string *error);

std::string usage(const std::string &program);

}  // namespace spmsimip
