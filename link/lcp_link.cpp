// LCP entry points at the level of the framing layer: the host's first
// Configure-Request at open, Terminate-Request at close, Protocol-Reject,
// and the link phase operations. The option negotiation automaton (answers
// to the terminal's requests, retransmission timers, echo keepalive) builds
// on these and replaces the bodies marked below.
#include "link/lcp_link.h"

#include "link/ppp.h"
#include "service/log.h"
#include "stack/timers.h"

#include <atomic>
#include <cstring>

namespace ryn::ppp {
namespace {
// GUARDED_BY(PPP lock)
uint8_t g_lastId = 0;
uint8_t g_requestId = 0;
uint32_t g_wantMagic = 0;
bool g_opened = false;

std::atomic<int> g_echoInterval{0};
std::atomic<int> g_echoFails{0};

// One LCP packet in outpacket_buf: header, code, id, length, data cut to
// the peer's MRU.
void sendLcp(int unit, uint8_t code, uint8_t id, const uint8_t *data, size_t len) {
    size_t room = static_cast<size_t>(peer_mru.load()) - 4;
    if (len > room) len = room;
    uint8_t *p = outpacket_buf;
    p[0] = kAllStations;
    p[1] = kUi;
    p[2] = kProtoLcp >> 8;
    p[3] = kProtoLcp & 0xFF;
    p[4] = code;
    p[5] = id;
    size_t total = 4 + len;
    p[6] = static_cast<uint8_t>(total >> 8);
    p[7] = static_cast<uint8_t>(total & 0xFF);
    if (len) memmove(p + 8, data, len);
    output(unit, outpacket_buf, static_cast<int>(kHeaderLen + total));
}

bool lcpOpened(int) { return g_opened; }
}  // namespace

const ControlProtocol kLcpProtocol{
    kProtoLcp, "LCP", lcp_init, lcp_input, lcp_protrej, lcp_lowerup, lcp_lowerdown, lcp_open, lcp_close,
    lcpOpened, lcp_sprotrej,
};

size_t buildInitialLcpOptions(uint32_t m, uint8_t *out, size_t cap) {
    const uint8_t opts[] = {
        0x01, 0x04, 0x05, 0xDC,  // MRU 1500
        0x05, 0x06, static_cast<uint8_t>(m >> 24), static_cast<uint8_t>(m >> 16), static_cast<uint8_t>(m >> 8),
        static_cast<uint8_t>(m),  // magic number
        0x07, 0x02,               // protocol-field compression
        0x08, 0x02,               // address-and-control-field compression
    };
    if (cap < sizeof opts) return 0;
    memcpy(out, opts, sizeof opts);
    return sizeof opts;
}

int lcpEchoInterval() { return g_echoInterval.load(); }
int lcpEchoFails() { return g_echoFails.load(); }
uint8_t lcpLastRequestId() { return g_requestId; }
uint32_t lcpRequestMagic() { return g_wantMagic; }

}  // namespace ryn::ppp

using namespace ryn::ppp;

void lcp_init(int) {
    g_lastId = 0;
    g_requestId = 0;
    g_opened = false;
    g_wantMagic = magic();
}

void lcp_lowerup(int unit) {
    sifdown(unit);
    uint32_t map[8] = {};
    map[3] = 0x60000000u;  // 0x7D and 0x7E only
    ppp_set_xaccm(unit, map);
    // Until negotiated: every control character escaped, nothing compressed.
    ppp_send_config(unit, kMaxMtu, 0xFFFFFFFFu, 0, 0);
    ppp_recv_config(unit, kDefaultMru, 0, 0, 0);
    peer_mru = kDefaultMru;
}

void lcp_lowerdown(int) { g_opened = false; }

void lcp_open(int unit) {
    uint8_t opts[32];
    size_t n = buildInitialLcpOptions(g_wantMagic, opts, sizeof opts);
    g_requestId = ++g_lastId;
    sendLcp(unit, kConfReq, g_requestId, opts, n);
}

void lcp_close(int unit) {
    g_requestId = ++g_lastId;
    sendLcp(unit, kTermReq, g_requestId, nullptr, 0);
    // Without the automaton there is no Terminate-Ack to wait for.
    g_opened = false;
    link_terminated(unit);
}

void lcp_input(int, uint8_t *packet, int length) {
    if (length >= 2) RYN_LOG(OBJ_NETWORK, LOG_INFO, "lcp_input code=%d id=%d len=%d", packet[0], packet[1], length);
}

void lcp_protrej(int) {}

void lcp_sprotrej(int unit, uint8_t *frame, int length) {
    if (frame == nullptr || length < 2) return;
    sendLcp(unit, kProtRej, ++g_lastId, frame + 2, static_cast<size_t>(length - 2));
}

void LcpEchoActivate(bool on) {
    g_echoInterval = on ? 1 : 0;
    g_echoFails = on ? 5 : 0;
}

void link_required(int) {}

void link_terminated(int) {
    if (phase.load() != PHASE_DEAD) phase = PHASE_DEAD;
}

void link_down(int) { phase = PHASE_TERMINATE; }
