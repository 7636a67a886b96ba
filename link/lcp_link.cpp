// LCP: option callbacks for the automaton, the extra codes and the echo
// keepalive.
#include "link/lcp_link.h"

#include "link/auth.h"
#include "link/ipcp.h"
#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "link/upap.h"
#include "service/log.h"
#include "stack/timers.h"

#include <atomic>
#include <cstring>

using namespace ryn::ppp;

fsm lcp_fsm[1];
lcp_options lcp_wantoptions[1], lcp_gotoptions[1], lcp_allowoptions[1], lcp_hisoptions[1];

namespace {

constexpr int kLoopbackFail = 5;  // consecutive Naks of our magic number: the line is looped back

uint32_t xmit_accm[1][8];

std::atomic<int> g_echoInterval{0};
std::atomic<int> g_echoFails{0};
// GUARDED_BY(PPP lock); the pending count is also read by tests on other threads.
uint8_t lcp_echo_number = 0;
std::atomic<int> lcp_echos_pending{0};
bool lcp_echo_timer_running = false;

void LcpEchoCheck(fsm *f);

void LcpEchoTimeout(void *arg) {
    if (!lcp_echo_timer_running) return;
    lcp_echo_timer_running = false;
    LcpEchoCheck(static_cast<fsm *>(arg));
}

void LcpEchoCheck(fsm *f) {
    int fails = g_echoFails.load();
    if (fails != 0) {
        if (lcp_echos_pending++ >= fails) {
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP: no answer to %d echo requests: link dead", fails);
            if (f->state == OPENED) {
                // No Terminate exchange: the peer is not there to answer it.
                f->callbacks->down(f);
                f->state = CLOSED;
                link_terminated(f->unit);
            }
            lcp_echos_pending = 0;
            return;
        }
    }
    if (f->state != OPENED) return;
    uint8_t data[4];
    const lcp_options &go = lcp_gotoptions[f->unit];
    putLong(data, go.use_magic ? go.magic : 0);
    fsm_sdata(f, ECHOREQ, lcp_echo_number++, data, sizeof data);
    int interval = g_echoInterval.load();
    if (interval > 0) {
        timeout(LcpEchoTimeout, f, interval);
        lcp_echo_timer_running = true;
    }
}

void stopEcho(fsm *f) {
    if (lcp_echo_timer_running) {
        untimeout(LcpEchoTimeout, f);
        lcp_echo_timer_running = false;
    }
}

// --- automaton callbacks --------------------------------------------------

void lcp_resetci(fsm *f) {
    lcp_options &wo = lcp_wantoptions[f->unit];
    wo.magic = magic();
    wo.loops = 0;
    lcp_gotoptions[f->unit] = wo;
    peer_mru = kDefaultMru;
}

int lcp_cilen(fsm *f) {
    const lcp_options &go = lcp_gotoptions[f->unit];
    return (go.use_mru ? CILEN_SHORT : 0) + (go.use_accm ? CILEN_LONG : 0) + (go.use_chap ? CILEN_CHAP : 0) +
           (go.use_pap && !go.use_chap ? CILEN_SHORT : 0) + (go.use_quality ? CILEN_LQR : 0) +
           (go.use_magic ? CILEN_LONG : 0) + (go.use_pfc ? CILEN_VOID : 0) + (go.use_acfc ? CILEN_VOID : 0);
}

// Our request in option order; an option that does not fit is left out.
size_t buildRequest(const lcp_options &go, uint8_t *out, size_t cap) {
    OptionWriter w(out, cap);
    auto fit = [&](size_t n) { return n <= cap - w.length(); };
    if (go.use_mru && fit(CILEN_SHORT)) w.putShort(CI_MRU, go.mru);
    if (go.use_accm && fit(CILEN_LONG)) w.putLong(CI_ASYNCMAP, go.accm);
    if (go.use_chap && fit(CILEN_CHAP)) {
        const uint8_t b[5] = {CI_AUTHTYPE, CILEN_CHAP, kProtoChap >> 8, kProtoChap & 0xFF, go.chap_digest};
        w.put(b, sizeof b);
    } else if (go.use_pap && !go.use_chap && fit(CILEN_SHORT)) {
        w.putShort(CI_AUTHTYPE, kProtoPap);
    }
    if (go.use_quality && fit(CILEN_LQR)) {
        uint8_t b[8] = {CI_QUALITY, CILEN_LQR, kProtoLqr >> 8, kProtoLqr & 0xFF};
        putLong(b + 4, go.quality_period);
        w.put(b, sizeof b);
    }
    if (go.use_magic && fit(CILEN_LONG)) w.putLong(CI_MAGICNUMBER, go.magic);
    if (go.use_pfc && fit(CILEN_VOID)) w.putVoid(CI_PCOMPRESSION);
    if (go.use_acfc && fit(CILEN_VOID)) w.putVoid(CI_ACCOMPRESSION);
    return w.length();
}

void lcp_addci(fsm *f, uint8_t *out, int *length) {
    *length = static_cast<int>(buildRequest(lcp_gotoptions[f->unit], out, static_cast<size_t>(*length)));
}

// An Ack lists exactly what we asked for, byte for byte.
int lcp_ackci(fsm *f, const uint8_t *p, int len) {
    uint8_t want[64];
    size_t n = buildRequest(lcp_gotoptions[f->unit], want, sizeof want);
    return static_cast<size_t>(len) == n && memcmp(p, want, n) == 0 ? 1 : 0;
}

int lcp_nakci(fsm *f, const uint8_t *p, int len) {
    const lcp_options &go = lcp_gotoptions[f->unit];
    const lcp_options &wo = lcp_wantoptions[f->unit];
    lcp_options tr = go;
    bool looped = false;
    uint32_t met = 0;  // option types already seen in this Nak
    OptionWalker walk(p, static_cast<size_t>(len));
    Option o;
    while (walk.next(o)) {
        bool known = o.type >= CI_MRU && o.type <= CI_ACCOMPRESSION && o.type != 6;
        if (!known) continue;  // not ours to judge: skipped
        if (met & (1u << o.type)) return 0;
        met |= 1u << o.type;
        switch (o.type) {
            case CI_MRU:
                if (o.length != CILEN_SHORT) return 0;
                if (!go.use_mru) break;  // unsolicited: skipped
                if (o.valueShort() <= wo.mru || o.valueShort() < kDefaultMru) tr.mru = o.valueShort();
                break;
            case CI_ASYNCMAP:
                if (o.length != CILEN_LONG) return 0;
                if (go.use_accm) tr.accm = go.accm | o.valueLong();
                break;
            case CI_AUTHTYPE:
                if (o.length < CILEN_SHORT || go.use_pap || go.use_chap) return 0;
                break;
            case CI_QUALITY:
                if (o.length != CILEN_LQR || go.use_quality) return 0;
                break;
            case CI_MAGICNUMBER:
                if (o.length != CILEN_LONG) return 0;
                if (go.use_magic) {
                    tr.magic = magic();
                    looped = true;
                }
                break;
            case CI_PCOMPRESSION:
                if (o.length != CILEN_VOID) return 0;
                tr.use_pfc = false;
                break;
            case CI_ACCOMPRESSION:
                if (o.length != CILEN_VOID) return 0;
                tr.use_acfc = false;
                break;
        }
    }
    if (walk.malformed()) return 0;  // bytes left over
    if (f->state != OPENED) {
        if (looped) {
            if (++tr.loops >= kLoopbackFail) {
                RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP: serial line is looped back");
                lcp_gotoptions[f->unit] = tr;
                lcp_close(f->unit);
                return 1;
            }
        } else {
            tr.loops = 0;
        }
        lcp_gotoptions[f->unit] = tr;
    }
    return 1;
}

// A Reject names options we sent, in our order, with the values sent.
// Shared shape with IPCP: find each rejected option in our request.
int lcp_rejci(fsm *f, const uint8_t *p, int len) {
    uint8_t sent[64];
    size_t n = buildRequest(lcp_gotoptions[f->unit], sent, sizeof sent);
    lcp_options tr = lcp_gotoptions[f->unit];
    OptionWalker ours(sent, n);
    OptionWalker walk(p, static_cast<size_t>(len));
    Option r;
    while (walk.next(r)) {
        if (!ours.skipTo(r)) return 0;
        switch (r.type) {
            case CI_MRU: tr.use_mru = false; break;
            case CI_ASYNCMAP: tr.use_accm = false; break;
            case CI_AUTHTYPE: tr.use_chap = tr.use_pap = false; break;
            case CI_QUALITY: tr.use_quality = false; break;
            case CI_MAGICNUMBER: tr.use_magic = false; break;
            case CI_PCOMPRESSION: tr.use_pfc = false; break;
            case CI_ACCOMPRESSION: tr.use_acfc = false; break;
            default: return 0;
        }
    }
    if (walk.malformed()) return 0;
    if (f->state != OPENED) lcp_gotoptions[f->unit] = tr;
    return 1;
}

int lcp_reqci(fsm *f, const uint8_t *p, int len, uint8_t *out, int outCap, int *outLength, int rejectIfDisagree) {
    const lcp_options &go = lcp_gotoptions[f->unit];
    const lcp_options &ao = lcp_allowoptions[f->unit];
    lcp_options &ho = lcp_hisoptions[f->unit];
    ho = lcp_options{};
    // Nak and Reject lists; at most the request's size plus the PAP
    // proposal per authentication option, which is never longer.
    uint8_t nakBuf[kMaxMtu], rejBuf[kMaxMtu];
    OptionWriter nak(nakBuf, sizeof nakBuf), rej(rejBuf, sizeof rejBuf);
    OptionWalker walk(p, static_cast<size_t>(len));
    Option o;
    while (walk.next(o)) {
        enum { ACK, NAK, REJ } verdict = REJ;
        uint8_t suggest[8];
        size_t suggestLen = 0;
        switch (o.type) {
            case CI_MRU:
                if (!ao.use_mru || o.length != CILEN_SHORT) break;
                if (o.valueShort() < kMinMru) {
                    verdict = NAK;
                    suggest[0] = CI_MRU;
                    suggest[1] = CILEN_SHORT;
                    putShort(suggest + 2, kMinMru);
                    suggestLen = CILEN_SHORT;
                    break;
                }
                ho.use_mru = true;
                ho.mru = o.valueShort();
                verdict = ACK;
                break;
            case CI_ASYNCMAP:
                if (!ao.use_accm || o.length != CILEN_LONG) break;
                if (ao.accm & ~o.valueLong()) {
                    verdict = NAK;
                    suggest[0] = CI_ASYNCMAP;
                    suggest[1] = CILEN_LONG;
                    putLong(suggest + 2, ao.accm | o.valueLong());
                    suggestLen = CILEN_LONG;
                    break;
                }
                ho.use_accm = true;
                ho.accm = o.valueLong();
                verdict = ACK;
                break;
            case CI_AUTHTYPE: {
                if (o.length < CILEN_SHORT || (!ao.use_pap && !ao.use_chap)) break;
                uint16_t proto = o.valueShort();
                if (proto == kProtoPap) {
                    if (ho.use_chap || !ao.use_pap || o.length != CILEN_SHORT) break;
                    ho.use_pap = true;
                    verdict = ACK;
                    break;
                }
                if (proto == kProtoChap && (ho.use_pap || o.length != CILEN_CHAP)) break;
                if (!ao.use_pap) break;
                // Anything but PAP: propose PAP instead.
                verdict = NAK;
                suggest[0] = CI_AUTHTYPE;
                suggest[1] = CILEN_SHORT;
                putShort(suggest + 2, kProtoPap);
                suggestLen = CILEN_SHORT;
                break;
            }
            case CI_MAGICNUMBER:
                if (o.length != CILEN_LONG) break;
                if (go.use_magic && o.valueLong() == go.magic) {
                    verdict = NAK;
                    suggest[0] = CI_MAGICNUMBER;
                    suggest[1] = CILEN_LONG;
                    putLong(suggest + 2, magic());
                    suggestLen = CILEN_LONG;
                    break;
                }
                ho.use_magic = true;
                ho.magic = o.valueLong();
                verdict = ACK;
                break;
            case CI_PCOMPRESSION:
                if (!ao.use_pfc || o.length != CILEN_VOID) break;
                ho.use_pfc = true;
                verdict = ACK;
                break;
            case CI_ACCOMPRESSION:
                if (!ao.use_acfc || o.length != CILEN_VOID) break;
                ho.use_acfc = true;
                verdict = ACK;
                break;
            default:
                break;  // link quality, types 0, 6 and above 8: never
        }
        if (verdict == NAK && rejectIfDisagree) verdict = REJ;
        if (verdict == NAK) nak.put(suggest, suggestLen);
        if (verdict == REJ) rej.put(o);
    }
    if (walk.malformed()) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP: malformed option in Configure-Request: rest rejected");
        rej.put(walk.rest(), walk.restLength());
    }
    const uint8_t *answer = p;
    size_t answerLen = static_cast<size_t>(len);
    int code = CONFACK;
    if (rej.length() > 0) {
        code = CONFREJ;
        answer = rejBuf;
        answerLen = rej.length();
    } else if (nak.length() > 0) {
        code = CONFNAK;
        answer = nakBuf;
        answerLen = nak.length();
    }
    if (answerLen > static_cast<size_t>(outCap)) answerLen = static_cast<size_t>(outCap);
    if (answerLen) memcpy(out, answer, answerLen);
    *outLength = static_cast<int>(answerLen);
    return code;
}

void lcp_up(fsm *f) {
    int unit = f->unit;
    lcp_options &wo = lcp_wantoptions[unit];
    lcp_options &go = lcp_gotoptions[unit];
    lcp_options &ho = lcp_hisoptions[unit];
    const lcp_options &ao = lcp_allowoptions[unit];
    if (!go.use_magic) go.magic = 0;
    if (!ho.use_magic) ho.magic = 0;
    int hisMru = ho.use_mru ? ho.mru : kDefaultMru;
    ppp_send_config(unit, hisMru < ao.mru ? hisMru : ao.mru, ho.use_accm ? ho.accm : 0xFFFFFFFFu, ho.use_pfc,
                    ho.use_acfc);
    int ourMru = go.use_mru ? (go.mru > wo.mru ? go.mru : wo.mru) : kDefaultMru;
    ppp_recv_config(unit, ourMru, go.use_accm ? go.accm : 0, go.use_pfc, go.use_acfc);
    if (ho.use_mru) peer_mru = ho.mru;
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP up: peer mru %d, pap asked of us %d", hisMru, ho.use_pap ? 1 : 0);
    upap_lowerup(unit);
    ipcp_lowerup(unit);
    lcp_echo_number = 0;
    lcp_echos_pending = 0;
    stopEcho(f);
    if (g_echoInterval.load() != 0) LcpEchoCheck(f);
    link_established(unit);
}

void lcp_down(fsm *f) {
    int unit = f->unit;
    stopEcho(f);
    ipcp_lowerdown(unit);
    upap_lowerdown(unit);
    sifdown(unit);
    ppp_send_config(unit, kMaxMtu, 0xFFFFFFFFu, 0, 0);
    ppp_recv_config(unit, kDefaultMru, 0, 0, 0);
    peer_mru = kDefaultMru;
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP down");
    link_down(unit);
}

void lcp_starting(fsm *f) { link_required(f->unit); }
void lcp_finished(fsm *f) { link_terminated(f->unit); }

int lcp_extcode(fsm *f, int code, int id, const uint8_t *p, int len) {
    switch (code) {
        case PROTREJ:
            if (len >= 2 && f->state == OPENED) demuxprotrej(f->unit, getShort(p));
            return 1;
        case ECHOREQ: {
            if (f->state != OPENED) return 1;
            if (len < 4) {
                // No room for our magic number: dropped, never overrun.
                RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP: short Echo-Request (%d bytes) dropped", len);
                return 1;
            }
            uint8_t reply[kMaxMtu];
            size_t n = static_cast<size_t>(len) < sizeof reply ? static_cast<size_t>(len) : sizeof reply;
            memcpy(reply, p, n);
            const lcp_options &go = lcp_gotoptions[f->unit];
            putLong(reply, go.use_magic ? go.magic : 0);
            fsm_sdata(f, ECHOREP, static_cast<uint8_t>(id), reply, static_cast<int>(n));
            return 1;
        }
        case ECHOREP: {
            if (len < 4) return 1;
            const lcp_options &go = lcp_gotoptions[f->unit];
            if (go.use_magic && getLong(p) == go.magic) {
                RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP: our own Echo-Request came back: line looped back?");
                return 1;
            }
            lcp_echos_pending = 0;
            return 1;
        }
        case DISCREQ:
            return 1;
        default:
            return 0;
    }
}

const fsm_callbacks lcp_callbacks = {
    lcp_resetci, lcp_cilen,    lcp_addci, lcp_ackci,     lcp_nakci, lcp_rejci,   lcp_reqci, lcp_up,
    lcp_down,    lcp_starting, lcp_finished, nullptr, nullptr, lcp_extcode, "LCP",
};

bool lcpOpened(int unit) { return unit == 0 && lcp_fsm[0].state == OPENED; }

}  // namespace

namespace ryn::ppp {
const ControlProtocol kLcpProtocol{
    kProtoLcp, "LCP", lcp_init, lcp_input, lcp_protrej, lcp_lowerup, lcp_lowerdown, lcp_open, lcp_close,
    lcpOpened, lcp_sprotrej,
};

int lcpEchoInterval() { return g_echoInterval.load(); }
int lcpEchoFails() { return g_echoFails.load(); }
int lcpEchoPending() { return lcp_echos_pending; }
uint8_t lcpLastRequestId() { return lcp_fsm[0].request_id; }
uint32_t lcpRequestMagic() { return lcp_gotoptions[0].magic; }
}  // namespace ryn::ppp

void lcp_init(int unit) {
    if (unit != 0) return;
    fsm *f = &lcp_fsm[unit];
    f->unit = unit;
    f->protocol = kProtoLcp;
    f->callbacks = &lcp_callbacks;
    fsm_init(f);
    lcp_options &wo = lcp_wantoptions[unit];
    wo = lcp_options{};
    wo.use_mru = wo.use_magic = wo.use_pfc = wo.use_acfc = true;
    wo.mru = kDefaultMru;
    wo.accm = 0;
    wo.chap_digest = kChapDigestMd5;
    lcp_options &ao = lcp_allowoptions[unit];
    ao = lcp_options{};
    ao.use_mru = ao.use_accm = ao.use_pap = ao.use_magic = ao.use_pfc = ao.use_acfc = true;
    ao.mru = kDefaultMru;
    ao.accm = 0;
    ao.chap_digest = kChapDigestMd5;
    lcp_gotoptions[unit] = lcp_options{};
    lcp_hisoptions[unit] = lcp_options{};
    memset(xmit_accm[unit], 0, sizeof xmit_accm[unit]);
    xmit_accm[unit][3] = 0x60000000u;  // 0x7D and 0x7E
    lcp_echo_number = 0;
    lcp_echos_pending = 0;
    lcp_echo_timer_running = false;
}

void lcp_lowerup(int unit) {
    if (unit != 0) return;
    sifdown(unit);
    ppp_set_xaccm(unit, xmit_accm[unit]);
    // Until negotiated: every control character escaped, nothing compressed.
    ppp_send_config(unit, kMaxMtu, 0xFFFFFFFFu, 0, 0);
    ppp_recv_config(unit, kDefaultMru, 0, 0, 0);
    peer_mru = kDefaultMru;
    lcp_allowoptions[unit].accm = xmit_accm[unit][0];
    fsm_lowerup(&lcp_fsm[unit]);
}

void lcp_lowerdown(int unit) {
    if (unit == 0) fsm_lowerdown(&lcp_fsm[unit]);
}

void lcp_open(int unit) {
    if (unit != 0) return;
    fsm *f = &lcp_fsm[unit];
    const lcp_options &wo = lcp_wantoptions[unit];
    f->options &= ~(OPT_PASSIVE | OPT_SILENT);
    if (wo.passive) f->options |= OPT_PASSIVE;
    if (wo.silent) f->options |= OPT_SILENT;
    fsm_open(f);
}

void lcp_close(int unit) {
    if (unit != 0) return;
    fsm *f = &lcp_fsm[unit];
    if (f->state == STOPPED && (f->options & (OPT_PASSIVE | OPT_SILENT))) {
        // Waiting for the peer: nothing to terminate.
        f->state = CLOSED;
        link_terminated(unit);
        return;
    }
    fsm_close(f);
}

void lcp_input(int unit, uint8_t *packet, int length) {
    if (unit != 0) return;
    fsm *f = &lcp_fsm[unit];
    int before = f->state;
    fsm_input(f, packet, length);
    if (before == REQSENT && f->state == ACKSENT) {
        // The peer may send with the options we asked for right after its Ack.
        const lcp_options &go = lcp_gotoptions[unit];
        ppp_recv_config(unit, kDefaultMru, go.use_accm ? go.accm : 0, go.use_pfc, go.use_acfc);
    }
}

void lcp_protrej(int unit) {
    if (unit != 0) return;
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "LCP: the peer rejected LCP");
    fsm_protreject(&lcp_fsm[unit]);
}

void lcp_sprotrej(int unit, uint8_t *frame, int length) {
    if (unit != 0 || frame == nullptr || length < 4) return;
    fsm *f = &lcp_fsm[unit];
    fsm_sdata(f, PROTREJ, ++f->last_id, frame + 2, length - 2);
}

void LcpEchoActivate(bool on) {
    g_echoInterval = on ? 1 : 0;
    g_echoFails = on ? 5 : 0;
}
