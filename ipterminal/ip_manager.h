// IP connection manager: while the service runs in IP mode, announce the
// host on the terminal's subnet (UDP broadcast to port 65004, every 500 ms,
// only while the terminal is not connected). It runs while
// g_isIpManagerStart is set; stopRynService clears the flag and joins it.
#pragma once

#include "ryn_tlv.h"

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

void *manageIpDeviceConnection(void *manager);

namespace ryn::ip {

inline constexpr uint16_t kDiscoveryPort = 65004;
inline constexpr int kDiscoveryPeriodMs = 500;

struct HostInterface {
    in_addr address;    // the host's address on it
    in_addr broadcast;  // where the datagram goes
};

// The first non-loopback IPv4 interface whose subnet holds `terminal`.
std::optional<HostInterface> findInterfaceFor(in_addr terminal);

// Six bytes from "xx?xx?xx?xx?xx?xx" (two hex digits and one separator per
// byte); a malformed group gives 0 for its byte.
void parseMac(const char *text, size_t capacity, unsigned char mac[6]);

// The discovery envelope: root 0x81 with the host address, the terminal's
// name, its MAC address and the TLS switch.
std::string discoveryDatagram(in_addr host, const char *name, const unsigned char mac[6], int32_t useSsl);

}  // namespace ryn::ip
