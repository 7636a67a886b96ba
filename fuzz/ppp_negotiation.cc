// Feeds arbitrary LCP, IPCP, PAP and unknown-protocol packets to the
// negotiation, with LCP optionally opened first (so IPCP and PAP are live)
// and the timers fired between packets. No device is open: what the host
// would send is built in full and then dropped.
//
// Input: byte 0 selects the set-up (bit 0: the host requires the terminal
// to authenticate; bit 1: LCP opened first, bit 2: the terminal asked us for
// PAP; bit 3: echo keepalive on). Then records: selector (1), length (1),
// packet. Selector % 5: 0 LCP, 1 IPCP, 2 PAP, 3 another protocol, 4 fire
// the due timers.
#include "link/ipcp.h"
#include "link/lcp_link.h"
#include "link/link_config.h"
#include "link/ppp.h"
#include "link/ppp_packet.h"
#include "link/ppp_protocols.h"
#include "link/upap.h"
#include "stack/timers.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
using namespace ryn::ppp;

// Delivers a packet the way the device does: 4 header bytes precede it,
// since a Protocol-Reject quotes the frame from its protocol field.
void deliver(uint16_t protocol, const uint8_t *data, size_t len) {
    std::vector<uint8_t> frame(kHeaderLen + len);
    frame[0] = kAllStations;
    frame[1] = kUi;
    putShort(frame.data() + 2, protocol);
    if (len) memcpy(frame.data() + kHeaderLen, data, len);
    rcv_proto_unknown(0, protocol, frame.data() + kHeaderLen, static_cast<int>(len));
}

void fireTimers() {
    uint32_t later = TIME_READ_MS() + 3600000u;
    CalloutList::Fn fn;
    void *arg;
    // Timers re-arm themselves; each protocol gives up after a bounded count.
    for (int i = 0; i < 200 && callouts().popDue(later, fn, arg); ++i) fn(arg);
}

void openLcp(bool papAsked) {
    uint8_t ack[4 + 14];
    ack[0] = CONFACK;
    ack[1] = lcpLastRequestId();
    putShort(ack + 2, sizeof ack);
    const uint8_t opts[] = {0x01, 0x04, 0x05, 0xDC, 0x05, 0x06, 0, 0, 0, 0, 0x07, 0x02, 0x08, 0x02};
    memcpy(ack + 4, opts, sizeof opts);
    putLong(ack + 4 + 6, lcpRequestMagic());
    deliver(kProtoLcp, ack, sizeof ack);
    uint8_t req[4 + 6 + 4] = {CONFREQ, 0x42, 0, 0, 0x05, 0x06, 0x11, 0x22, 0x33, 0x44, 0x03, 0x04, 0xC0, 0x23};
    size_t n = papAsked ? sizeof req : sizeof req - 4;
    putShort(req + 2, static_cast<uint16_t>(n));
    deliver(kProtoLcp, req, n);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint8_t setup = data[0];
    callouts().clear();
    Init_Config();
    auth_required = setup & 1;
    LcpEchoActivate((setup & 8) != 0);
    peer_mru = kDefaultMru;
    phase = PHASE_ESTABLISH;
    for (const ControlProtocol *p : controlProtocols())
        if (p->init) p->init(0);
    lcp_lowerup(0);
    lcp_open(0);
    if (setup & 2) openLcp((setup & 4) != 0);
    size_t at = 1;
    while (at + 2 <= size) {
        uint8_t sel = data[at] % 5;
        size_t len = data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        const uint8_t *p = data + at;
        at += len;
        switch (sel) {
            case 0: deliver(kProtoLcp, p, len); break;
            case 1: deliver(kProtoIpcp, p, len); break;
            case 2: deliver(kProtoPap, p, len); break;
            case 3: deliver(len >= 2 ? getShort(p) : 0x80FD, p, len); break;
            case 4: fireTimers(); break;
        }
    }
    fireTimers();
    lcp_close(0);
    fireTimers();
    callouts().clear();
    return 0;
}
