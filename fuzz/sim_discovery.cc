// Fuzzes the simulated terminal's reader of the host's discovery datagram.
#include "tools/terminal/discovery.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string why;
    const auto d = simterm::parseDiscovery(data, size, &why);
    if (d) (void)simterm::encodeDiscovery(*d);
    return 0;
}
