// The option negotiation automaton of PPP (RFC 1661), written once and
// driven by each control protocol's table of callbacks (LCP and IPCP).
//
// One record per protocol and unit, owned by that protocol. Events come from
// below (lower up/down), from the administrator side (open/close), from the
// restart timer (the callouts of ppp.h, so tests move the tick instead of
// sleeping) and from received packets. Everything runs under the PPP lock.
#pragma once

#include <cstdint>

struct fsm;

// Operations a protocol supplies. Absent (null) operations are skipped.
struct fsm_callbacks {
    void (*resetci)(fsm *f);                            // reset the options to request
    int (*cilen)(fsm *f);                               // length of our request
    void (*addci)(fsm *f, uint8_t *out, int *length);   // build our request (length in: room, out: used)
    int (*ackci)(fsm *f, const uint8_t *p, int length);  // 1 when the Ack matches our request
    int (*nakci)(fsm *f, const uint8_t *p, int length);  // 0 invalid, 1 taken, -1 stop negotiating
    int (*rejci)(fsm *f, const uint8_t *p, int length);  // 0 invalid, 1 taken
    // Judges the peer's request in p; writes the answer's options to out
    // (room outCap) and their length to *outLength; returns CONFACK, CONFNAK
    // or CONFREJ.
    int (*reqci)(fsm *f, const uint8_t *p, int length, uint8_t *out, int outCap, int *outLength, int rejectIfDisagree);
    void (*up)(fsm *f);
    void (*down)(fsm *f);
    void (*starting)(fsm *f);
    void (*finished)(fsm *f);
    void (*protreject)(int unit);
    void (*retransmit)(fsm *f);
    // Codes the automaton does not know; 1 when taken. p is the packet body.
    int (*extcode)(fsm *f, int code, int id, const uint8_t *p, int length);
    const char *proto_name;
};

enum FsmState : int32_t {
    INITIAL = 0,
    STARTING = 1,
    CLOSED = 2,
    STOPPED = 3,
    CLOSING = 4,
    STOPPING = 5,
    REQSENT = 6,
    ACKRCVD = 7,
    ACKSENT = 8,
    OPENED = 9,
};

// Automaton option bits.
inline constexpr int32_t OPT_PASSIVE = 0x1;
inline constexpr int32_t OPT_RESTART = 0x2;
inline constexpr int32_t OPT_SILENT = 0x4;

struct fsm {
    int32_t unit = 0;
    int32_t protocol = 0;
    int32_t state = INITIAL;
    int32_t options = 0;
    uint8_t last_id = 0;
    uint8_t request_id = 0;
    uint8_t reply_seen = 0;
    int32_t restart_seconds = 1;
    int32_t max_configure = 3;
    int32_t retransmits_left = 0;
    int32_t max_terminate = 2;
    int32_t nak_loops = 0;
    int32_t max_nak_loops = 5;
    const fsm_callbacks *callbacks = nullptr;
};

const char *fsm_state_name(int state);

void fsm_init(fsm *f);
void fsm_lowerup(fsm *f);
void fsm_lowerdown(fsm *f);
void fsm_open(fsm *f);
void fsm_close(fsm *f);
// A received packet of f's protocol, starting at its code byte.
void fsm_input(fsm *f, const uint8_t *packet, int length);
void fsm_protreject(fsm *f);
// Sends one packet of f's protocol; data are cut to the peer's MRU - 4.
void fsm_sdata(fsm *f, uint8_t code, uint8_t id, const uint8_t *data, int length);
// The restart timer's callout (tests fire it through the callout list).
void fsm_timeout(void *arg);
