// IPCP: option callbacks for the automaton and the interface bring-up.
#include "link/ipcp.h"

#include "link/auth.h"
#include "link/link_config.h"
#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "service/log.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

using namespace ryn::ppp;

fsm ipcp_fsm[1];
ipcp_options ipcp_wantoptions[1], ipcp_gotoptions[1], ipcp_allowoptions[1], ipcp_hisoptions[1];

namespace {

// The link is a /30 between the two ends.
constexpr uint32_t kLinkNetmask = 0xFFFFFFFCu;

std::string dotted(uint32_t netOrder) {
    char buf[INET_ADDRSTRLEN] = "?";
    in_addr a{netOrder};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

void ipcp_resetci(fsm *f) {
    ipcp_options &wo = ipcp_wantoptions[f->unit];
    wo.req_addr = wo.use_addr && ipcp_allowoptions[f->unit].use_addr;
    wo.accept_local = wo.our_addr == 0;
    wo.accept_remote = wo.his_addr == 0;
    wo.req_dns1 = wo.req_dns2 = CfgActive.dnsRequest != 0;
    ipcp_gotoptions[f->unit] = wo;
}

// The terminal rejected the address option: fall back to the old form.
void switchAddressForm(int unit) {
    const ipcp_options &wo = ipcp_wantoptions[unit];
    ipcp_options &go = ipcp_gotoptions[unit];
    if (wo.use_addr && !go.use_addr && !go.old_addrs) {
        go.use_addr = true;
        go.old_addrs = true;
    }
}

size_t buildRequest(const ipcp_options &go, uint8_t *out, size_t cap) {
    OptionWriter w(out, cap);
    auto fit = [&](size_t n) { return n <= cap - w.length(); };
    if (go.use_addr) {
        if (go.old_addrs && fit(CILEN_ADDRS)) {
            uint8_t b[CILEN_ADDRS] = {CI_ADDRS, CILEN_ADDRS};
            memcpy(b + 2, &go.our_addr, 4);
            memcpy(b + 6, &go.his_addr, 4);
            w.put(b, sizeof b);
        } else if (!go.old_addrs && fit(CILEN_ADDR)) {
            uint8_t b[CILEN_ADDR] = {CI_ADDR, CILEN_ADDR};
            memcpy(b + 2, &go.our_addr, 4);
            w.put(b, sizeof b);
        }
    }
    if (go.req_dns1 && fit(CILEN_ADDR)) {
        uint8_t b[CILEN_ADDR] = {CI_MS_DNS1, CILEN_ADDR};
        memcpy(b + 2, &go.dns1, 4);
        w.put(b, sizeof b);
    }
    if (go.req_dns2 && fit(CILEN_ADDR)) {
        uint8_t b[CILEN_ADDR] = {CI_MS_DNS2, CILEN_ADDR};
        memcpy(b + 2, &go.dns2, 4);
        w.put(b, sizeof b);
    }
    return w.length();
}

int ipcp_cilen(fsm *f) {
    switchAddressForm(f->unit);
    uint8_t tmp[32];
    return static_cast<int>(buildRequest(ipcp_gotoptions[f->unit], tmp, sizeof tmp));
}

void ipcp_addci(fsm *f, uint8_t *out, int *length) {
    switchAddressForm(f->unit);
    *length = static_cast<int>(buildRequest(ipcp_gotoptions[f->unit], out, static_cast<size_t>(*length)));
}

int ipcp_ackci(fsm *f, const uint8_t *p, int len) {
    uint8_t want[32];
    size_t n = buildRequest(ipcp_gotoptions[f->unit], want, sizeof want);
    return static_cast<size_t>(len) == n && memcmp(p, want, n) == 0 ? 1 : 0;
}

uint32_t rawAddr(const Option &o, size_t at) {
    uint32_t a = 0;
    if (o.valueLength() >= at + 4) memcpy(&a, o.value() + at, 4);
    return a;
}

int ipcp_nakci(fsm *f, const uint8_t *p, int len) {
    const ipcp_options &go = ipcp_gotoptions[f->unit];
    ipcp_options tr = go;
    uint32_t met = 0;
    OptionWalker walk(p, static_cast<size_t>(len));
    Option o;
    while (walk.next(o)) {
        int bit = o.type == CI_ADDRS ? 0 : o.type == CI_COMPRESSTYPE ? 1 : o.type == CI_ADDR ? 2
                  : o.type == CI_MS_DNS1 ? 3 : o.type == CI_MS_DNS2 ? 4 : -1;
        if (bit < 0) continue;  // not ours to judge
        if (met & (1u << bit)) return 0;
        met |= 1u << bit;
        switch (o.type) {
            case CI_ADDR:
            case CI_ADDRS: {
                bool oldForm = o.type == CI_ADDRS;
                if (o.length != (oldForm ? CILEN_ADDRS : CILEN_ADDR)) return 0;
                if (go.use_addr && go.old_addrs != oldForm) return 0;  // not the form we asked in
                uint32_t ours = rawAddr(o, 0);
                if (go.accept_local && ours != 0) tr.our_addr = ours;
                if (oldForm) {
                    uint32_t his = rawAddr(o, 4);
                    if (go.accept_remote && his != 0) tr.his_addr = his;
                }
                if (!go.use_addr) {
                    // Unsolicited: start negotiating the address.
                    tr.use_addr = true;
                    tr.old_addrs = oldForm;
                }
                break;
            }
            case CI_COMPRESSTYPE:
                break;  // VJ suggested: tolerated, never asked
            case CI_MS_DNS1:
            case CI_MS_DNS2: {
                if (o.length != CILEN_ADDR) return 0;
                bool first = o.type == CI_MS_DNS1;
                if (!(first ? go.req_dns1 : go.req_dns2)) break;  // never asked: skipped
                (first ? tr.dns1 : tr.dns2) = rawAddr(o, 0);
                break;
            }
        }
    }
    if (walk.malformed()) return 0;
    if (f->state != OPENED) ipcp_gotoptions[f->unit] = tr;
    return 1;
}

int ipcp_rejci(fsm *f, const uint8_t *p, int len) {
    uint8_t sent[32];
    size_t n = buildRequest(ipcp_gotoptions[f->unit], sent, sizeof sent);
    ipcp_options tr = ipcp_gotoptions[f->unit];
    OptionWalker ours(sent, n);
    OptionWalker walk(p, static_cast<size_t>(len));
    Option r;
    while (walk.next(r)) {
        if (!ours.skipTo(r)) return 0;
        switch (r.type) {
            case CI_ADDR:
            case CI_ADDRS: tr.use_addr = false; break;
            case CI_MS_DNS1: tr.req_dns1 = false; break;
            case CI_MS_DNS2: tr.req_dns2 = false; break;
            default: return 0;
        }
    }
    if (walk.malformed()) return 0;
    if (f->state != OPENED) ipcp_gotoptions[f->unit] = tr;
    return 1;
}

int ipcp_reqci(fsm *f, const uint8_t *p, int len, uint8_t *out, int outCap, int *outLength, int rejectIfDisagree) {
    int unit = f->unit;
    ipcp_options &wo = ipcp_wantoptions[unit];
    ipcp_options &go = ipcp_gotoptions[unit];
    const ipcp_options &ao = ipcp_allowoptions[unit];
    ipcp_options &ho = ipcp_hisoptions[unit];
    ho = ipcp_options{};
    uint8_t nakBuf[kMaxMtu + 16], rejBuf[kMaxMtu];
    OptionWriter nak(nakBuf, sizeof nakBuf), rej(rejBuf, sizeof rejBuf);
    OptionWalker walk(p, static_cast<size_t>(len));
    Option o;
    while (walk.next(o)) {
        enum { ACK, NAK, REJ } verdict = REJ;
        uint8_t suggest[CILEN_ADDRS];
        size_t suggestLen = 0;
        switch (o.type) {
            case CI_ADDR:
            case CI_ADDRS: {
                bool oldForm = o.type == CI_ADDRS;
                if (!ao.use_addr || o.length != (oldForm ? CILEN_ADDRS : CILEN_ADDR)) break;
                uint32_t his = rawAddr(o, 0);
                bool nakHis = false;
                if (his != wo.his_addr && (his == 0 || !wo.accept_remote)) {
                    nakHis = true;
                } else if (his == 0 && wo.his_addr == 0) {
                    // Neither side knows it: reject and stop insisting.
                    wo.req_addr = false;
                    break;
                }
                uint32_t ours = oldForm ? rawAddr(o, 4) : 0;
                bool nakOurs = false;
                if (oldForm && ours != wo.our_addr) {
                    if (ours != 0 && wo.accept_local)
                        go.our_addr = ours;
                    else
                        nakOurs = true;
                }
                if (nakHis || nakOurs) {
                    verdict = NAK;
                    suggest[0] = o.type;
                    suggest[1] = o.length;
                    uint32_t h = nakHis ? wo.his_addr : his;
                    memcpy(suggest + 2, &h, 4);
                    if (oldForm) {
                        uint32_t ou = nakOurs ? wo.our_addr : ours;
                        memcpy(suggest + 6, &ou, 4);
                    }
                    suggestLen = o.length;
                    break;
                }
                ho.use_addr = true;
                ho.old_addrs = oldForm;
                ho.his_addr = his;
                if (oldForm) ho.our_addr = ours;
                verdict = ACK;
                break;
            }
            default:
                break;  // VJ, name servers (none known here), anything else
        }
        if (verdict == NAK && rejectIfDisagree) verdict = REJ;
        if (verdict == NAK) nak.put(suggest, suggestLen);
        if (verdict == REJ) rej.put(o);
    }
    if (walk.malformed()) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "IPCP: malformed option in Configure-Request: rest rejected");
        rej.put(walk.rest(), walk.restLength());
    }
    int code = rej.length() ? CONFREJ : nak.length() ? CONFNAK : CONFACK;
    if (code != CONFREJ && !ho.use_addr && wo.req_addr && !rejectIfDisagree) {
        // Ask the terminal to state its address, once.
        if (code == CONFACK) {
            code = CONFNAK;
            wo.req_addr = false;
        }
        nak.putLong(CI_ADDR, 0);
        uint32_t h = wo.his_addr;
        memcpy(nakBuf + nak.length() - 4, &h, 4);
    }
    const uint8_t *answer = code == CONFREJ ? rejBuf : code == CONFNAK ? nakBuf : p;
    size_t answerLen = code == CONFREJ ? rej.length() : code == CONFNAK ? nak.length() : static_cast<size_t>(len);
    if (answerLen > static_cast<size_t>(outCap)) answerLen = static_cast<size_t>(outCap);
    if (answerLen) memcpy(out, answer, answerLen);
    *outLength = static_cast<int>(answerLen);
    return code;
}

void ipcp_up(fsm *f) {
    int unit = f->unit;
    ipcp_options &go = ipcp_gotoptions[unit];
    ipcp_options &ho = ipcp_hisoptions[unit];
    const ipcp_options &wo = ipcp_wantoptions[unit];
    go.default_route = go.proxy_arp = false;
    if (!ho.use_addr) ho.his_addr = wo.his_addr;
    if (ho.his_addr == 0 || go.our_addr == 0 || !auth_ip_addr(unit, ho.his_addr)) {
        // LCP stays up: the terminal has to end the link (or the echo
        // keepalive does) before the supervisor starts over.
        RYN_LOG(OBJ_NETWORK, LOG_ERROR,
                "IPCP: unusable addresses (ours %s, terminal %s): IPCP closed, LCP stays up, no IP on this link",
                dotted(go.our_addr).c_str(), dotted(ho.his_addr).c_str());
        ipcp_close(unit);
        return;
    }
    sifaddr(unit, go.our_addr, ho.his_addr, htonl(kLinkNetmask));
    sifdns(unit, go.dns1, go.dns2);
    sifup(unit);
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "IPCP up: local %s remote %s", dotted(go.our_addr).c_str(),
            dotted(ho.his_addr).c_str());
}

void ipcp_down(fsm *f) {
    sifdown(f->unit);
    cifaddr(f->unit, ipcp_gotoptions[f->unit].our_addr, ipcp_hisoptions[f->unit].his_addr);
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "IPCP down");
}

const fsm_callbacks ipcp_callbacks = {
    ipcp_resetci, ipcp_cilen, ipcp_addci, ipcp_ackci, ipcp_nakci, ipcp_rejci, ipcp_reqci, ipcp_up,
    ipcp_down,    nullptr,    nullptr,    nullptr,    nullptr,    nullptr,    "IPCP",
};

}  // namespace

namespace ryn::ppp {
const ControlProtocol kIpcpProtocol{
    kProtoIpcp, "IPCP", ipcp_init, ipcp_input, ipcp_protrej, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};
}

void ipcp_init(int unit) {
    if (unit != 0) return;
    fsm *f = &ipcp_fsm[unit];
    f->unit = unit;
    f->protocol = kProtoIpcp;
    f->callbacks = &ipcp_callbacks;
    fsm_init(f);
    ipcp_options &wo = ipcp_wantoptions[unit];
    ipcp_options &ao = ipcp_allowoptions[unit];
    wo = ipcp_options{};
    ao = ipcp_options{};
    wo.use_addr = true;
    if (auth_required == 0) {
        wo.our_addr = 0;
        wo.his_addr = 0;
        wo.dns1 = 0;  // the stack knows no name server at this point
    } else {
        // Server mode: the terminal gets the configured peer address. The
        // stack's own address is not known to the link (0: the terminal
        // must name it).
        wo.our_addr = 0;
        wo.his_addr = htonl(CfgActive.peerAddress);
    }
    wo.vj_protocol = ao.vj_protocol = 0x002D;
    wo.max_slot = ao.max_slot = 15;
    wo.compress_slot = ao.compress_slot = 0;
    ao.use_addr = true;
    ipcp_gotoptions[unit] = ipcp_options{};
    ipcp_hisoptions[unit] = ipcp_options{};
}

void ipcp_open(int unit) {
    if (unit == 0) fsm_open(&ipcp_fsm[unit]);
}
void ipcp_close(int unit) {
    if (unit == 0) fsm_close(&ipcp_fsm[unit]);
}
void ipcp_lowerup(int unit) {
    if (unit == 0) fsm_lowerup(&ipcp_fsm[unit]);
}
void ipcp_lowerdown(int unit) {
    if (unit == 0) fsm_lowerdown(&ipcp_fsm[unit]);
}
void ipcp_input(int unit, uint8_t *packet, int length) {
    if (unit == 0) fsm_input(&ipcp_fsm[unit], packet, length);
}
void ipcp_protrej(int unit) {
    if (unit == 0) fsm_lowerdown(&ipcp_fsm[unit]);
}
