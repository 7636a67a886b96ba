// LCP as far as the framing layer needs it, and the link phase operations.
//
// The host opens the link actively: at PPP start LCP sends its first
// Configure-Request (MRU 1500, a random magic number, protocol-field and
// address/control-field compression). The option negotiation automaton and
// the echo keepalive build on these entry points. Everything here runs under
// the PPP lock, except LcpEchoActivate (an atomic switch).
#pragma once

#include "link/ppp_protocols.h"

#include <cstddef>
#include <cstdint>

void lcp_init(int unit);
void lcp_lowerup(int unit);
void lcp_lowerdown(int unit);
void lcp_open(int unit);
void lcp_close(int unit);
void lcp_input(int unit, uint8_t *packet, int length);
void lcp_protrej(int unit);
void lcp_sprotrej(int unit, uint8_t *frame, int length);
void LcpEchoActivate(bool on);

void link_required(int unit);
void link_terminated(int unit);
void link_down(int unit);

namespace ryn::ppp {
extern const ControlProtocol kLcpProtocol;
// The host's Configure-Request options for a magic number: 01 04 05 DC,
// 05 06 magic, 07 02, 08 02. Returns the bytes written (14), 0 if cap is short.
size_t buildInitialLcpOptions(uint32_t magicNumber, uint8_t *out, size_t cap);
// Echo keepalive settings as the line opener left them.
int lcpEchoInterval();
int lcpEchoFails();
// Identifier and magic number of the last Configure-Request sent (tests).
uint8_t lcpLastRequestId();
uint32_t lcpRequestMagic();
}  // namespace ryn::ppp
