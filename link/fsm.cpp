#include "link/fsm.h"

#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "service/log.h"

#include <cstring>

using namespace ryn::ppp;

namespace {

// Room for the answer to a Configure-Request: the peer's options, plus what
// a protocol appends to a Nak (IPCP asks for an address).
constexpr int kReplyCap = kMaxMtu + 16;

void call(void (*fn)(fsm *), fsm *f) {
    if (fn) fn(f);
}

// Configure-Request: a new one (retransmit false) or a repetition.
void fsm_sconfreq(fsm *f, bool retransmit) {
    const fsm_callbacks *cb = f->callbacks;
    if (f->state != REQSENT && f->state != ACKRCVD && f->state != ACKSENT) {
        // Not currently negotiating: start from the options we want.
        call(cb->resetci, f);
        f->nak_loops = 0;
    }
    if (!retransmit) {
        f->retransmits_left = f->max_configure;
        f->request_id = ++f->last_id;
    }
    f->reply_seen = 0;
    uint8_t opts[kMaxMtu];
    int len = 0;
    if (cb->cilen && cb->addci) {
        int room = peer_mru.load() - static_cast<int>(kCpHeaderLen);
        if (room > static_cast<int>(sizeof opts)) room = sizeof opts;
        len = cb->cilen(f);
        if (len > room) len = room;
        if (len < 0) len = 0;
        cb->addci(f, opts, &len);
    }
    fsm_sdata(f, CONFREQ, f->request_id, opts, len);
    --f->retransmits_left;
    timeout(fsm_timeout, f, f->restart_seconds);
}

void fsm_stermreq(fsm *f) {
    f->request_id = ++f->last_id;
    fsm_sdata(f, TERMREQ, f->request_id, nullptr, 0);
    timeout(fsm_timeout, f, f->restart_seconds);
    --f->retransmits_left;
}

void terminate(fsm *f, int newState) {
    if (f->state != OPENED)
        untimeout(fsm_timeout, f);
    else
        call(f->callbacks->down, f);
    f->retransmits_left = f->max_terminate;
    fsm_stermreq(f);
    f->state = newState;
}

void rconfreq(fsm *f, uint8_t id, const uint8_t *body, int len) {
    switch (f->state) {
        case CLOSED:
            fsm_sdata(f, TERMACK, id, nullptr, 0);  // the peer must not think the link is open
            return;
        case CLOSING:
        case STOPPING:
            return;
        case OPENED:
            call(f->callbacks->down, f);
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        case STOPPED:
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        default:
            break;
    }
    uint8_t reply[kReplyCap];
    int replyLen = 0;
    int code;
    if (f->callbacks->reqci) {
        code = f->callbacks->reqci(f, body, len, reply, sizeof reply, &replyLen, f->nak_loops >= f->max_nak_loops);
    } else if (len > 0) {
        code = CONFREJ;
        replyLen = len;
        memcpy(reply, body, static_cast<size_t>(len));
    } else {
        code = CONFACK;
    }
    fsm_sdata(f, static_cast<uint8_t>(code), id, reply, replyLen);
    if (code == CONFACK) {
        if (f->state == ACKRCVD) {
            untimeout(fsm_timeout, f);
            f->state = OPENED;
            call(f->callbacks->up, f);
        } else {
            f->state = ACKSENT;
        }
        f->nak_loops = 0;
    } else {
        if (f->state != ACKRCVD) f->state = REQSENT;
        if (code == CONFNAK) ++f->nak_loops;
    }
}

void rconfack(fsm *f, uint8_t id, const uint8_t *body, int len) {
    if (id != f->request_id || f->reply_seen) return;  // stale or repeated
    bool ok = f->callbacks->ackci ? f->callbacks->ackci(f, body, len) != 0 : len == 0;
    if (!ok) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s: received bad Ack", f->callbacks->proto_name);
        return;
    }
    f->reply_seen = 1;
    switch (f->state) {
        case CLOSED:
        case STOPPED:
            fsm_sdata(f, TERMACK, id, nullptr, 0);
            break;
        case REQSENT:
            f->state = ACKRCVD;
            f->retransmits_left = f->max_configure;
            break;
        case ACKRCVD:
            untimeout(fsm_timeout, f);
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        case ACKSENT:
            untimeout(fsm_timeout, f);
            f->state = OPENED;
            f->retransmits_left = f->max_configure;
            call(f->callbacks->up, f);
            break;
        case OPENED:
            call(f->callbacks->down, f);
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        default:
            break;
    }
}

void rconfnakrej(fsm *f, uint8_t code, uint8_t id, const uint8_t *body, int len) {
    if (id != f->request_id || f->reply_seen) return;
    int (*judge)(fsm *, const uint8_t *, int) = code == CONFNAK ? f->callbacks->nakci : f->callbacks->rejci;
    int ret = judge ? judge(f, body, len) : 0;
    if (ret == 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s: received bad %s", f->callbacks->proto_name,
                code == CONFNAK ? "Nak" : "Reject");
        return;
    }
    f->reply_seen = 1;
    switch (f->state) {
        case CLOSED:
        case STOPPED:
            fsm_sdata(f, TERMACK, id, nullptr, 0);
            break;
        case REQSENT:
        case ACKSENT:
            untimeout(fsm_timeout, f);
            if (ret < 0)
                f->state = STOPPED;
            else
                fsm_sconfreq(f, false);
            break;
        case ACKRCVD:
            untimeout(fsm_timeout, f);
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        case OPENED:
            call(f->callbacks->down, f);
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        default:
            break;  // closing: the callback may have closed us
    }
}

void rtermreq(fsm *f, uint8_t id) {
    switch (f->state) {
        case ACKRCVD:
        case ACKSENT:
            f->state = REQSENT;
            break;
        case OPENED:
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s: terminated by the peer", f->callbacks->proto_name);
            call(f->callbacks->down, f);
            f->retransmits_left = 0;
            f->state = STOPPING;
            timeout(fsm_timeout, f, f->restart_seconds);
            break;
        default:
            break;
    }
    fsm_sdata(f, TERMACK, id, nullptr, 0);
}

void rtermack(fsm *f) {
    switch (f->state) {
        case CLOSING:
            untimeout(fsm_timeout, f);
            f->state = CLOSED;
            call(f->callbacks->finished, f);
            break;
        case STOPPING:
            untimeout(fsm_timeout, f);
            f->state = STOPPED;
            call(f->callbacks->finished, f);
            break;
        case ACKRCVD:
            f->state = REQSENT;
            break;
        case OPENED:
            // The layer went down: negotiate again from Req-Sent, so a later
            // Ack or Terminate does not run `down` a second time.
            call(f->callbacks->down, f);
            fsm_sconfreq(f, false);
            f->state = REQSENT;
            break;
        default:
            break;
    }
}

}  // namespace

const char *fsm_state_name(int state) {
    static const char *const kNames[] = {"Initial", "Starting", "Closed",  "Stopped",  "Closing",
                                         "Stopping", "Req-Sent", "Ack-Rcvd", "Ack-Sent", "Opened"};
    return state >= 0 && state <= OPENED ? kNames[state] : "?";
}

void fsm_init(fsm *f) {
    f->state = INITIAL;
    f->options = 0;
    f->last_id = 0;
    f->request_id = 0;
    f->reply_seen = 0;
    f->restart_seconds = 1;
    f->max_configure = 3;
    f->max_terminate = 2;
    f->max_nak_loops = 5;
    f->nak_loops = 0;
    f->retransmits_left = 0;
}

// The lower layer is up and the protocol is open: a silent protocol waits
// for the peer's request, otherwise ours goes out.
static void beginNegotiation(fsm *f) {
    if (f->options & OPT_SILENT) {
        f->state = STOPPED;
    } else {
        fsm_sconfreq(f, false);
        f->state = REQSENT;
    }
}

void fsm_lowerup(fsm *f) {
    switch (f->state) {
        case INITIAL:
            f->state = CLOSED;
            break;
        case STARTING:
            beginNegotiation(f);
            break;
        default:
            break;
    }
}

void fsm_lowerdown(fsm *f) {
    switch (f->state) {
        case CLOSED:
            f->state = INITIAL;
            break;
        case STOPPED:
            f->state = STARTING;
            call(f->callbacks->starting, f);
            break;
        case CLOSING:
            f->state = INITIAL;
            untimeout(fsm_timeout, f);
            break;
        case STOPPING:
        case REQSENT:
        case ACKRCVD:
        case ACKSENT:
            f->state = STARTING;
            untimeout(fsm_timeout, f);
            break;
        case OPENED:
            call(f->callbacks->down, f);
            f->state = STARTING;
            break;
        default:
            break;
    }
}

void fsm_open(fsm *f) {
    switch (f->state) {
        case INITIAL:
            f->state = STARTING;
            call(f->callbacks->starting, f);
            break;
        case CLOSED:
            beginNegotiation(f);
            break;
        case CLOSING:
            f->state = STOPPING;
            [[fallthrough]];
        case STOPPED:
        case OPENED:
            if (f->options & OPT_RESTART) {
                fsm_lowerdown(f);
                fsm_lowerup(f);
            }
            break;
        default:
            break;
    }
}

void fsm_close(fsm *f) {
    switch (f->state) {
        case STARTING:
            f->state = INITIAL;
            break;
        case STOPPED:
            f->state = CLOSED;
            break;
        case STOPPING:
            f->state = CLOSING;
            break;
        case REQSENT:
        case ACKRCVD:
        case ACKSENT:
        case OPENED:
            terminate(f, CLOSING);
            break;
        default:
            break;
    }
}

void fsm_timeout(void *arg) {
    fsm *f = static_cast<fsm *>(arg);
    switch (f->state) {
        case CLOSING:
        case STOPPING:
            if (f->retransmits_left <= 0) {
                f->state = f->state == CLOSING ? CLOSED : STOPPED;
                call(f->callbacks->finished, f);
            } else {
                fsm_stermreq(f);
            }
            break;
        case REQSENT:
        case ACKRCVD:
        case ACKSENT:
            if (f->retransmits_left <= 0) {
                RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s: timeout sending Config-Requests", f->callbacks->proto_name);
                f->state = STOPPED;
                if (!(f->options & OPT_PASSIVE)) call(f->callbacks->finished, f);
            } else {
                call(f->callbacks->retransmit, f);
                fsm_sconfreq(f, true);
                if (f->state == ACKRCVD) f->state = REQSENT;
            }
            break;
        default:
            break;
    }
}

void fsm_protreject(fsm *f) {
    switch (f->state) {
        case CLOSING:
            untimeout(fsm_timeout, f);
            [[fallthrough]];
        case CLOSED:
            f->state = CLOSED;
            call(f->callbacks->finished, f);
            break;
        case STOPPING:
        case REQSENT:
        case ACKRCVD:
        case ACKSENT:
            untimeout(fsm_timeout, f);
            [[fallthrough]];
        case STOPPED:
            f->state = STOPPED;
            call(f->callbacks->finished, f);
            break;
        case OPENED:
            terminate(f, STOPPING);
            break;
        default:
            break;
    }
}

void fsm_input(fsm *f, const uint8_t *packet, int length) {
    ControlPacket pkt(packet, length);
    if (!pkt.valid()) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s: short or inconsistent packet (%d bytes)", f->callbacks->proto_name, length);
        return;
    }
    if (f->state == INITIAL || f->state == STARTING) return;
    const uint8_t *body = pkt.body();
    int len = static_cast<int>(pkt.bodyLength());
    switch (pkt.code()) {
        case CONFREQ: rconfreq(f, pkt.id(), body, len); break;
        case CONFACK: rconfack(f, pkt.id(), body, len); break;
        case CONFNAK:
        case CONFREJ: rconfnakrej(f, pkt.code(), pkt.id(), body, len); break;
        case TERMREQ: rtermreq(f, pkt.id()); break;
        case TERMACK: rtermack(f); break;
        case CODEREJ:
            if (len >= static_cast<int>(kCpHeaderLen)) {
                RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s: Code-Reject of code %d", f->callbacks->proto_name, body[0]);
                if (f->state == ACKRCVD) f->state = REQSENT;
            }
            break;
        default:
            if (!f->callbacks->extcode || !f->callbacks->extcode(f, pkt.code(), pkt.id(), body, len))
                fsm_sdata(f, CODEREJ, ++f->last_id, pkt.packet(), static_cast<int>(pkt.length()));
            break;
    }
}

void fsm_sdata(fsm *f, uint8_t code, uint8_t id, const uint8_t *data, int length) {
    int room = peer_mru.load() - static_cast<int>(kCpHeaderLen);
    if (room > kMaxMtu - static_cast<int>(kCpHeaderLen)) room = kMaxMtu - static_cast<int>(kCpHeaderLen);
    if (length > room) length = room;
    if (length < 0 || data == nullptr) length = 0;
    uint8_t *p = outpacket_buf;
    p[0] = kAllStations;
    p[1] = kUi;
    putShort(p + 2, static_cast<uint16_t>(f->protocol));
    // Data first: they may already lie in the output buffer.
    if (length) memmove(p + kHeaderLen + kCpHeaderLen, data, static_cast<size_t>(length));
    p[kHeaderLen + kCpCode] = code;
    p[kHeaderLen + kCpId] = id;
    putShort(p + kHeaderLen + kCpLength, static_cast<uint16_t>(length + kCpHeaderLen));
    output(f->unit, outpacket_buf, static_cast<int>(kHeaderLen + kCpHeaderLen) + length);
}
