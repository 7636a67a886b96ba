// Control protocols of PPP, plugged in by protocol number.
//
// Each protocol (LCP, IPCP, PAP) supplies one table of operations; the PPP
// device routes received frames through the table and PPP start/close drive
// LCP through it. All operations run under the PPP lock. Absent operations
// are skipped.
#pragma once

#include <cstdint>
#include <span>

namespace ryn::ppp {

struct ControlProtocol {
    uint16_t protocol;
    const char *name;
    void (*init)(int unit);
    // A received packet, starting at its code byte.
    void (*input)(int unit, uint8_t *packet, int length);
    // The peer rejected this protocol.
    void (*protrej)(int unit);
    // LCP only: link events and the state the demultiplexer needs.
    void (*lowerup)(int unit);
    void (*lowerdown)(int unit);
    void (*open)(int unit);
    void (*close)(int unit);
    bool (*opened)(int unit);
    // LCP only: Protocol-Reject for a frame (frame from its FF 03 header on).
    void (*sprotrej)(int unit, uint8_t *frame, int length);
};

// The protocols in use, LCP first (defined in ppp_protocols.cpp).
std::span<const ControlProtocol *const> controlProtocols();
const ControlProtocol *findProtocol(uint16_t protocol);
// Tests replace the table; an empty span restores the built-in one.
void setControlProtocolsForTesting(std::span<const ControlProtocol *const> table);

}  // namespace ryn::ppp
