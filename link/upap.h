// PAP (RFC 1334) in both roles: the client (the host authenticating itself
// to the terminal with the configured credentials) and the server (the
// terminal authenticating itself, only when the host requires it).
//
// One record per unit; timers are the PPP callouts. Everything here runs
// under the PPP lock.
#pragma once

#include "link/ppp_protocols.h"

#include <cstdint>

enum UpapState : int32_t {
    UPAPCS_INITIAL = 0,
    UPAPCS_CLOSED = 1,
    UPAPCS_PENDING = 2,
    UPAPCS_AUTHREQ = 3,  // client: request sent; server: listening (UPAPSS_LISTEN)
    UPAPCS_OPEN = 4,
    UPAPCS_BADAUTH = 5,
};

struct upap_state {
    int32_t unit = 0;
    const char *user = nullptr;
    uint16_t user_length = 0;
    const char *password = nullptr;
    uint16_t password_length = 0;
    int32_t client_state = UPAPCS_INITIAL;
    int32_t server_state = UPAPCS_INITIAL;
    uint8_t last_id = 0;
    int32_t timeout_seconds = 3;
    int32_t transmissions = 0;
    int32_t max_transmissions = 10;
    int32_t request_timeout = 30;
};

extern upap_state upap[1];

void upap_init(int unit);
void upap_authwithpeer(int unit, const char *user, const char *password);
void upap_authpeer(int unit);
void upap_lowerup(int unit);
void upap_lowerdown(int unit);
void upap_input(int unit, uint8_t *packet, int length);
void upap_protrej(int unit);

namespace ryn::ppp {
extern const ControlProtocol kPapProtocol;
}
