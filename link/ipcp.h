// IPCP on the negotiation automaton: agrees on the two IP addresses and
// hands them, with the fixed 30-bit netmask, to the stack (sifaddr/sifup).
//
// In client mode (the only one the supervisor uses) the host asks for
// address 0.0.0.0 so the terminal names it, and accepts the terminal's own
// address. VJ compression and name server options are rejected. Everything
// here runs under the PPP lock.
#pragma once

#include "link/fsm.h"
#include "link/ppp_protocols.h"

#include <cstdint>

struct ipcp_options {
    bool use_addr = false, old_addrs = false, req_addr = false, default_route = false, proxy_arp = false;
    bool use_vj = false, old_vj = false, accept_local = false, accept_remote = false, req_dns1 = false,
         req_dns2 = false;
    uint16_t vj_protocol = 0;
    uint8_t max_slot = 0;
    uint8_t compress_slot = 0;
    uint32_t our_addr = 0;  // network byte order
    uint32_t his_addr = 0;  // network byte order
    uint32_t dns1 = 0, dns2 = 0;
};

extern fsm ipcp_fsm[1];
extern ipcp_options ipcp_wantoptions[1], ipcp_gotoptions[1], ipcp_allowoptions[1], ipcp_hisoptions[1];

void ipcp_init(int unit);
void ipcp_open(int unit);
void ipcp_close(int unit);
void ipcp_lowerup(int unit);
void ipcp_lowerdown(int unit);
void ipcp_input(int unit, uint8_t *packet, int length);
void ipcp_protrej(int unit);

namespace ryn::ppp {
extern const ControlProtocol kIpcpProtocol;
}
