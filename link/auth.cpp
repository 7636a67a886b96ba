// Link phases and the authentication table.
#include "link/auth.h"

#include "link/ipcp.h"
#include "link/lcp_link.h"
#include "link/link_config.h"
#include "link/ppp.h"
#include "link/upap.h"
#include "service/log.h"

#include <arpa/inet.h>

#include <cstring>

using namespace ryn::ppp;

int32_t auth_pending[1];
PapEntry PapFile[2];

namespace {
const char *addresses[1] = {nullptr};  // granted by the authentication entry; none here

void copyField(char (&dst)[31], const char *src) {
    size_t n = strnlen(src, sizeof dst - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void enterNetwork(int unit) {
    phase = PHASE_NETWORK;
    ipcp_open(unit);
}
}  // namespace

int pap_lookup(const char *client, char *secret, const char **addrs) {
    copyField(PapFile[0].client, CfgActive.user);
    copyField(PapFile[0].server, "*");
    copyField(PapFile[0].secret, CfgActive.password);
    copyField(PapFile[1].client, "");
    copyField(PapFile[1].server, "*");
    copyField(PapFile[1].secret, "");
    PapFile[0].addresses = nullptr;  // no address lists in this system
    PapFile[1].addresses = nullptr;
    static const char kOurName[] = "";  // the host has no name of its own here
    int best = -1;
    const PapEntry *winner = nullptr;
    for (const PapEntry &e : PapFile) {
        int score;
        if (strcmp(e.client, client) == 0)
            score = strcmp(e.client, "*") == 0 ? 0 : 2;
        else if (strcmp(e.client, "*") == 0)
            score = 0;
        else
            continue;
        if (strcmp(e.server, kOurName) == 0)
            score += strcmp(e.server, "*") == 0 ? 0 : 1;
        else if (strcmp(e.server, "*") != 0)
            continue;
        if (score > best) {
            best = score;
            winner = &e;
        }
    }
    if (winner) {
        if (secret) memcpy(secret, winner->secret, sizeof winner->secret);
        if (addrs) *addrs = winner->addresses;
    }
    return best;
}

void link_required(int) {}

void link_established(int unit) {
    if (unit != 0) return;
    const lcp_options &go = lcp_gotoptions[unit];
    const lcp_options &wo = lcp_wantoptions[unit];
    const lcp_options &ho = lcp_hisoptions[unit];
    if (auth_required && !(go.use_pap || go.use_chap)) {
        // The terminal refused to authenticate.
        if (!wo.use_pap) {
            RYN_LOG(OBJ_NETWORK, LOG_ERROR, "auth: the terminal must authenticate but was not asked to");
            lcp_close(unit);
            phase = PHASE_TERMINATE;
            return;
        }
        // Only an entry for exactly the empty name, with an empty secret,
        // lets an unauthenticated terminal in.
        char secret[31] = {};
        const char *addrs = nullptr;
        if (pap_lookup("", secret, &addrs) < 2 || secret[0] != '\0') {
            RYN_LOG(OBJ_NETWORK, LOG_ERROR, "auth: the terminal refused to authenticate");
            lcp_close(unit);
            phase = PHASE_TERMINATE;
            return;
        }
        addresses[unit] = addrs;
    }
    phase = PHASE_AUTHENTICATE;
    int pending = 0;
    if (go.use_pap) {
        upap_authpeer(unit);
        pending |= PAP_PEER;
    }
    if (ho.use_pap) {
        upap_authwithpeer(unit, user, passwd);
        pending |= PAP_WITHPEER;
    }
    auth_pending[unit] = pending;
    if (!pending) enterNetwork(unit);
}

static void authDone(int unit, int protocol, int32_t bit) {
    if (unit != 0 || protocol != kProtoPap) return;
    auth_pending[unit] &= ~bit;
    if (auth_pending[unit] == 0) enterNetwork(unit);
}

void auth_withpeer_success(int unit, int protocol) {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "auth: the terminal accepted our credentials");
    authDone(unit, protocol, PAP_WITHPEER);
}

void auth_peer_success(int unit, int protocol) { authDone(unit, protocol, PAP_PEER); }

void auth_peer_fail(int unit, int) {
    RYN_LOG(OBJ_NETWORK, LOG_ERROR, "auth: the terminal failed to authenticate: closing the link");
    lcp_close(unit);
    phase = PHASE_TERMINATE;
}

void auth_withpeer_fail(int, int) {
    // LCP stays up: the terminal ends the link or the echo keepalive does;
    // until then the link carries no IP and the supervisor keeps waiting.
    RYN_LOG(OBJ_NETWORK, LOG_ERROR,
            "auth: PAP authentication with the terminal failed; LCP stays up until the terminal ends the link");
}

void link_down(int unit) {
    ipcp_close(unit);
    phase = PHASE_TERMINATE;
}

void link_terminated(int) {
    if (phase.load() != PHASE_DEAD) phase = PHASE_DEAD;
}

int check_passwd(int unit, const char *name, int nameLength, const char *password, int passwordLength,
                 const char **message, int *messageLength) {
    char u[80], p[80];
    int ul = nameLength < 0 ? 0 : nameLength > 79 ? 79 : nameLength;
    int pl = passwordLength < 0 ? 0 : passwordLength > 79 ? 79 : passwordLength;
    memcpy(u, name, static_cast<size_t>(ul));
    u[ul] = '\0';
    memcpy(p, password, static_cast<size_t>(pl));
    p[pl] = '\0';
    char secret[31] = {};
    const char *addrs = nullptr;
    // The empty name's entry stands for a terminal that does not
    // authenticate at all; it must not let a PAP login in with any password.
    if (ul == 0 || pap_lookup(u, secret, &addrs) < 0 || (secret[0] != '\0' && strcmp(secret, p) != 0)) {
        static const char kRefused[] = "Login incorrect";
        *message = kRefused;
        *messageLength = sizeof kRefused - 1;
        return 3;
    }
    static const char kAccepted[] = "Login ok";
    *message = kAccepted;
    *messageLength = sizeof kAccepted - 1;
    if (unit == 0) addresses[unit] = addrs;
    return 2;
}

int auth_ip_addr(int unit, uint32_t address) {
    uint32_t first = ntohl(address) >> 24;
    if (first == 127 || first >= 224) return 0;
    if (unit != 0 || addresses[unit] == nullptr) return 1;  // no list: any usable address
    return addresses[unit][0] != '\0' ? 1 : 0;
}
