// The host's discovery datagram (UDP port 65004): an envelope whose tree
// has root 0x81 and children host address (0x91, 4 bytes, network order),
// terminal name (0x11, NUL-terminated), Ethernet address (0x12, 6 bytes)
// and useSsl (0x92, LE32). parseDiscovery checks every length; encode is
// for tests and tools. Pure; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace simterm {

struct Discovery {
    uint32_t hostAddress = 0;  // network byte order, as in sockaddr_in
    std::string name;          // up to its first NUL
    std::array<uint8_t, 6> mac{};
    bool hasMac = false;
    bool useSsl = false;
};

// nullopt when the datagram is not a discovery message or the host
// address is missing or malformed (the other fields are optional).
std::optional<Discovery> parseDiscovery(const unsigned char *data, size_t size, std::string *why = nullptr);

std::string encodeDiscovery(const Discovery &d);

// "a.b.c.d" of an address in network byte order.
std::string addressText(uint32_t networkOrder);

}  // namespace simterm
