// spmsim-ip: a payment terminal attached over IP, for trying the host
// library without hardware. See docs/simulator-ip.md or --help.
#include "tools/spmsim-ip/app.h"
#include "tools/spmsim-ip/options.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    const std::string program = argc > 0 ? argv[0] : "spmsim-ip";
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string error;
    const auto options = spmsimip::parseOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "spmsim-ip: %s\nTry '%s --help'.\n", error.c_str(), program.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(spmsimip::usage(program).c_str(), stdout);
        return 0;
    }
    try {
        return spmsimip::runSimulator(*options, stdout, stderr);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "spmsim-ip: fatal: %s\n", e.what());
        return 1;
    }
}
