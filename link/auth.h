// Link phases (RFC 1661 section 3) and the authentication table: what LCP
// and PAP call when the link is established, authenticated, down or
// finished, and the server side's password check.
//
// Phase and pending bits are written under the PPP lock only (the phase is
// an atomic so the supervisor may read it).
#pragma once

#include <cstdint>

void link_required(int unit);
void link_established(int unit);
void link_down(int unit);
void link_terminated(int unit);
void auth_peer_success(int unit, int protocol);
void auth_peer_fail(int unit, int protocol);
void auth_withpeer_success(int unit, int protocol);
void auth_withpeer_fail(int unit, int protocol);
// 2 accepted, 3 refused; *message points at a static text.
int check_passwd(int unit, const char *user, int userLength, const char *password, int passwordLength,
                 const char **message, int *messageLength);
// 1 when the peer may use address (network byte order).
int auth_ip_addr(int unit, uint32_t address);

// Authentication still pending: 0x1 the host authenticating itself, 0x2 the
// terminal authenticating itself.
inline constexpr int32_t PAP_WITHPEER = 0x1;
inline constexpr int32_t PAP_PEER = 0x2;
extern int32_t auth_pending[1];

struct PapEntry {
    char client[31];
    char server[31];
    char secret[31];
    const char *addresses;  // address list text; empty here
};
extern PapEntry PapFile[2];
// Looks client up; copies the winning secret (NUL-terminated, at most 31
// bytes with the NUL) to secret when given. The score, or -1 when nothing
// matched.
int pap_lookup(const char *client, char *secret, const char **addresses);
