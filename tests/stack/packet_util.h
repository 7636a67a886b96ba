// Test helpers: literal datagrams from hex text, and a fixer that writes
// correct IP, ICMP and TCP checksums so a table can state only the fields
// that matter (and then corrupt one on purpose).
#pragma once

#include "stack/inet_wire.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace ryn::inet::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string &text) {
    Bytes out;
    int hi = -1;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

// Fixes the IP header sum and, per protocol, the ICMP or TCP sum; the total
// length field is left as written (tests lie in it on purpose).
inline Bytes fixSums(Bytes d) {
    if (d.size() < 20) return d;
    size_t hl = size_t{d[0] & 0x0Fu} * 4;
    if (hl < 20 || hl > d.size()) return d;
    d[10] = d[11] = 0;
    storeChecksum(&d[10], inchksum(d.data(), hl));
    size_t total = std::min<size_t>(get16(&d[2]), d.size());
    if (total <= hl) return d;
    uint8_t *p = d.data() + hl;
    size_t n = total - hl;
    if (d[9] == 1 && n >= 4) {
        p[2] = p[3] = 0;
        storeChecksum(p + 2, inchksum(p, n));
    } else if (d[9] == 6 && n >= 18) {
        p[16] = p[17] = 0;
        uint16_t s = addChecksum(pseudoHeaderSum(get32(&d[12]), get32(&d[16]), 6, static_cast<uint16_t>(n)), inchksum(p, n));
        storeChecksum(p + 16, s);
    }
    return d;
}

}  // namespace ryn::inet::testing
