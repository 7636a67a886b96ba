// PAP client and server.
#include "link/upap.h"

#include "link/auth.h"
#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "service/log.h"

#include <cstring>

using namespace ryn::ppp;

upap_state upap[1];

namespace {

// Authenticate-Ack/Nak body: message length (1), message.
constexpr size_t kMsgLenAt = 0;

void sendPap(int unit, uint8_t code, uint8_t id, const uint8_t *data, size_t len) {
    size_t room = sizeof outpacket_buf - kHeaderLen - kCpHeaderLen;
    if (len > room) len = room;
    uint8_t *p = outpacket_buf;
    p[0] = kAllStations;
    p[1] = kUi;
    putShort(p + 2, kProtoPap);
    p[kHeaderLen + kCpCode] = code;
    p[kHeaderLen + kCpId] = id;
    putShort(p + kHeaderLen + kCpLength, static_cast<uint16_t>(len + kCpHeaderLen));
    if (len) memcpy(p + kHeaderLen + kCpHeaderLen, data, len);
    output(unit, outpacket_buf, static_cast<int>(kHeaderLen + kCpHeaderLen + len));
}

void upap_timeout(void *arg);
void upap_reqtimeout(void *arg);

void upap_sauthreq(upap_state *u) {
    uint8_t body[2 + 255 + 255];
    size_t n = 0;
    body[n++] = static_cast<uint8_t>(u->user_length);
    memcpy(body + n, u->user, u->user_length);
    n += u->user_length;
    body[n++] = static_cast<uint8_t>(u->password_length);
    memcpy(body + n, u->password, u->password_length);
    n += u->password_length;
    sendPap(u->unit, UPAP_AUTHREQ, ++u->last_id, body, n);
    timeout(upap_timeout, u, u->timeout_seconds);
    ++u->transmissions;
    u->client_state = UPAPCS_AUTHREQ;
}

void upap_sresp(upap_state *u, uint8_t code, uint8_t id, const char *msg, int msgLen) {
    uint8_t body[1 + 255];
    if (msgLen > 255) msgLen = 255;
    body[kMsgLenAt] = static_cast<uint8_t>(msgLen);
    if (msgLen) memcpy(body + 1, msg, static_cast<size_t>(msgLen));
    sendPap(u->unit, code, id, body, 1 + static_cast<size_t>(msgLen));
}

void upap_timeout(void *arg) {
    upap_state *u = static_cast<upap_state *>(arg);
    if (u->client_state != UPAPCS_AUTHREQ) return;
    if (u->transmissions >= u->max_transmissions) {
        RYN_LOG(OBJ_NETWORK, LOG_ERROR, "PAP: no answer to %d Authenticate-Requests", u->transmissions);
        u->client_state = UPAPCS_BADAUTH;
        auth_withpeer_fail(u->unit, kProtoPap);
        return;
    }
    upap_sauthreq(u);
}

void upap_reqtimeout(void *arg) {
    upap_state *u = static_cast<upap_state *>(arg);
    if (u->server_state != UPAPCS_AUTHREQ) return;
    RYN_LOG(OBJ_NETWORK, LOG_ERROR, "PAP: the terminal did not authenticate in time");
    auth_peer_fail(u->unit, kProtoPap);
    u->server_state = UPAPCS_BADAUTH;
}

void startListening(upap_state *u) {
    u->server_state = UPAPCS_AUTHREQ;
    if (u->request_timeout > 0) timeout(upap_reqtimeout, u, u->request_timeout);
}

// Ack or Nak body: a message length that fits the packet.
bool validResponse(const uint8_t *body, size_t len) { return len >= 1 && body[kMsgLenAt] <= len - 1; }

void rauthreq(upap_state *u, uint8_t id, const uint8_t *body, size_t len) {
    if (u->server_state < UPAPCS_AUTHREQ) return;
    if (u->server_state == UPAPCS_OPEN) {
        upap_sresp(u, UPAP_AUTHACK, id, "", 0);
        return;
    }
    if (u->server_state == UPAPCS_BADAUTH) {
        upap_sresp(u, UPAP_AUTHNAK, id, "", 0);
        return;
    }
    if (len < 1) return;
    size_t ulen = body[0];
    if (len < 1 + ulen + 1) return;
    size_t plen = body[1 + ulen];
    if (len < 2 + ulen + plen) return;
    const char *msg = nullptr;
    int msgLen = 0;
    int ret = check_passwd(u->unit, reinterpret_cast<const char *>(body + 1), static_cast<int>(ulen),
                           reinterpret_cast<const char *>(body + 2 + ulen), static_cast<int>(plen), &msg, &msgLen);
    upap_sresp(u, ret == 2 ? UPAP_AUTHACK : UPAP_AUTHNAK, id, msg, msgLen);
    untimeout(upap_reqtimeout, u);
    if (ret == 2) {
        u->server_state = UPAPCS_OPEN;
        auth_peer_success(u->unit, kProtoPap);
    } else {
        u->server_state = UPAPCS_BADAUTH;
        auth_peer_fail(u->unit, kProtoPap);
    }
}

void rauthresp(upap_state *u, bool ack, const uint8_t *body, size_t len) {
    if (u->client_state != UPAPCS_AUTHREQ) return;
    if (!validResponse(body, len)) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "PAP: malformed Authenticate-%s dropped", ack ? "Ack" : "Nak");
        return;
    }
    if (ack) {
        untimeout(upap_timeout, u);
        u->client_state = UPAPCS_OPEN;
        auth_withpeer_success(u->unit, kProtoPap);
    } else {
        // The timer stays set and finds nothing to do.
        u->client_state = UPAPCS_BADAUTH;
        RYN_LOG(OBJ_NETWORK, LOG_ERROR, "PAP: the terminal refused our credentials");
        auth_withpeer_fail(u->unit, kProtoPap);
    }
}

}  // namespace

namespace ryn::ppp {
const ControlProtocol kPapProtocol{
    kProtoPap, "PAP", upap_init, upap_input, upap_protrej, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};
}

void upap_init(int unit) {
    if (unit != 0) return;
    upap_state &u = upap[unit];
    u = upap_state{};
    u.unit = unit;
    u.timeout_seconds = 3;
    u.max_transmissions = 10;
    u.request_timeout = 30;
}

void upap_authwithpeer(int unit, const char *user, const char *password) {
    if (unit != 0 || user == nullptr || password == nullptr) return;
    upap_state &u = upap[unit];
    u.user = user;
    size_t ul = strnlen(user, 255), pl = strnlen(password, 255);
    u.user_length = static_cast<uint16_t>(ul);
    u.password = password;
    u.password_length = static_cast<uint16_t>(pl);
    u.transmissions = 0;
    if (u.client_state == UPAPCS_INITIAL || u.client_state == UPAPCS_PENDING) {
        u.client_state = UPAPCS_PENDING;
        return;
    }
    upap_sauthreq(&u);
}

void upap_authpeer(int unit) {
    if (unit != 0) return;
    upap_state &u = upap[unit];
    if (u.server_state == UPAPCS_INITIAL || u.server_state == UPAPCS_PENDING) {
        u.server_state = UPAPCS_PENDING;
        return;
    }
    startListening(&u);
}

void upap_lowerup(int unit) {
    if (unit != 0) return;
    upap_state &u = upap[unit];
    if (u.client_state == UPAPCS_INITIAL)
        u.client_state = UPAPCS_CLOSED;
    else if (u.client_state == UPAPCS_PENDING)
        upap_sauthreq(&u);
    if (u.server_state == UPAPCS_INITIAL)
        u.server_state = UPAPCS_CLOSED;
    else if (u.server_state == UPAPCS_PENDING)
        startListening(&u);
}

void upap_lowerdown(int unit) {
    if (unit != 0) return;
    upap_state &u = upap[unit];
    // Both timers go, whatever the state: none may fire on the next link phase.
    untimeout(upap_timeout, &u);
    untimeout(upap_reqtimeout, &u);
    u.client_state = UPAPCS_INITIAL;
    u.server_state = UPAPCS_INITIAL;
}

void upap_input(int unit, uint8_t *packet, int length) {
    if (unit != 0) return;
    ControlPacket pkt(packet, length);
    if (!pkt.valid()) return;  // malformed: dropped silently
    upap_state &u = upap[unit];
    switch (pkt.code()) {
        case UPAP_AUTHREQ: rauthreq(&u, pkt.id(), pkt.body(), pkt.bodyLength()); break;
        case UPAP_AUTHACK: rauthresp(&u, true, pkt.body(), pkt.bodyLength()); break;
        case UPAP_AUTHNAK: rauthresp(&u, false, pkt.body(), pkt.bodyLength()); break;
        default: break;
    }
}

void upap_protrej(int unit) {
    if (unit != 0) return;
    upap_state &u = upap[unit];
    if (u.client_state == UPAPCS_AUTHREQ) auth_withpeer_fail(unit, kProtoPap);
    if (u.server_state == UPAPCS_AUTHREQ) auth_peer_fail(unit, kProtoPap);
    upap_lowerdown(unit);
}
