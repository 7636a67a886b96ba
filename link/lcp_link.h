// LCP on the negotiation automaton (fsm.h): the options the host asks for
// and accepts, its answers to the terminal's requests, Naks and Rejects,
// the extra codes and the echo keepalive that detects a dead link.
//
// The host opens the link actively: at PPP start LCP sends a Configure-
// Request (MRU 1500, a random magic number, protocol-field and address/
// control-field compression). It never asks the terminal to authenticate
// and accepts the terminal's demand that the host authenticate with PAP.
// Everything here runs under the PPP lock, except LcpEchoActivate (atomic).
#pragma once

#include "link/fsm.h"
#include "link/ppp_protocols.h"

#include <cstddef>
#include <cstdint>

// One LCP option record (want, got, allow, his).
struct lcp_options {
    bool passive = false, silent = false, restart = false;
    bool use_mru = false, use_accm = false, use_pap = false, use_chap = false, use_magic = false;
    bool use_pfc = false, use_acfc = false, use_quality = false;
    uint16_t mru = 0;
    uint8_t chap_digest = 0;
    uint32_t accm = 0;
    uint32_t magic = 0;
    int32_t loops = 0;
    uint32_t quality_period = 0;
};

extern fsm lcp_fsm[1];
extern lcp_options lcp_wantoptions[1], lcp_gotoptions[1], lcp_allowoptions[1], lcp_hisoptions[1];

void lcp_init(int unit);
void lcp_lowerup(int unit);
void lcp_lowerdown(int unit);
void lcp_open(int unit);
void lcp_close(int unit);
void lcp_input(int unit, uint8_t *packet, int length);
void lcp_protrej(int unit);
void lcp_sprotrej(int unit, uint8_t *frame, int length);
void LcpEchoActivate(bool on);

namespace ryn::ppp {
extern const ControlProtocol kLcpProtocol;
// Echo keepalive settings as the line opener left them.
int lcpEchoInterval();
int lcpEchoFails();
// Unanswered Echo-Requests so far (tests).
int lcpEchoPending();
// Identifier and magic number of the current Configure-Request (tests).
uint8_t lcpLastRequestId();
uint32_t lcpRequestMagic();
}  // namespace ryn::ppp
