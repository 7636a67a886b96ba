// Pieces shared by the fuzz targets of the IPv4 stack: a device that
// swallows what the stack sends, and a pass that rewrites the checksums of
// an input so that it reaches the code behind the checksum checks.
#pragma once

#include "stack/inet_wire.h"
#include "stack/ip_layer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace inetfuzz {

struct NullDevice : ryn::inet::IpDevice {
    bool transmit(uint8_t *d, size_t n) override {
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < n; ++i) sink = sink ^ d[i];
        return true;
    }
};

// Rewrites the IP header sum, then the TCP, UDP or ICMP sum when the
// lengths allow.
inline void fixSums(uint8_t *d, size_t n) {
    using namespace ryn::inet;
    size_t hl = size_t{d[0] & 0x0Fu} * 4;
    if (hl < 20 || hl > n) return;
    d[10] = d[11] = 0;
    storeChecksum(d + 10, inchksum(d, hl));
    size_t total = std::min<size_t>(get16(d + 2), n);
    if (total <= hl) return;
    uint8_t *p = d + hl;
    size_t len = total - hl;
    if (d[9] == ip::kProtoIcmp) {
        if (len < 4) return;
        p[2] = p[3] = 0;
        storeChecksum(p + 2, inchksum(p, len));
        return;
    }
    size_t at = d[9] == ip::kProtoUdp ? 6 : d[9] == ip::kProtoTcp ? 16 : 0;
    if (!at || len < at + 2) return;
    p[at] = p[at + 1] = 0;
    storeChecksum(p + at, addChecksum(pseudoHeaderSum(get32(d + 12), get32(d + 16), d[9], static_cast<uint16_t>(len)),
                                      inchksum(p, len)));
}

}  // namespace inetfuzz
