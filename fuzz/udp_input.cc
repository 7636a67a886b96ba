// Feeds arbitrary bytes to a whole stack (IP input, ICMP notices, TCP and
// UDP sockets): a UDP socket bound to one peer, one open to any sender (it
// binds to the first), one with a data handler, and a TCP listener. Byte 0
// picks the tick step; bit 7 keeps the bytes' own checksums.
#include "fuzz/inet_fuzz.h"
#include "stack/pkt_driver.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
using namespace ryn::inet;

using inetfuzz::fixSums;
using inetfuzz::NullDevice;

int handler(TcpSocket *, const uint8_t *data, int len, const uint8_t *pseudo, const uint8_t *udpHdr) {
    volatile uint8_t sink = 0;
    for (int i = 0; i < len; ++i) sink = sink ^ data[i];
    for (size_t i = 0; i < udp::kPseudoHeaderLen; ++i) sink = sink ^ pseudo[i];
    for (size_t i = 0; i < udp::kHeaderLen; ++i) sink = sink ^ udpHdr[i];
    return len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static NullDevice dev;
    static NetStack st(dev);
    static uint32_t now = 1000;
    static bool init = [] {
        st.addressing().my_ip_addr = 0x01010101;
        st.addressing().sin_mask = 0xFFFFFF00;
        return true;
    }();
    (void)init;
    if (size == 0) return 0;
    now += data[0] * 37u;
    TcpSocket *bound = &st.tcp().pool(0), *open = &st.tcp().pool(1), *handled = &st.tcp().pool(2);
    TcpSocket *listener = &st.tcp().pool(3);
    // Fresh sockets each run, so binding to a sender is exercised every time.
    st.udp().open(bound, 53, 0x01010102, 5353, nullptr, nullptr);
    st.udp().open(open, 68, 0, 0, nullptr, nullptr);
    st.udp().open(handled, 69, 0xFFFFFFFFu, 0, handler, nullptr);
    if (!st.tcp().tcp_checkfor(listener)) st.tcp().tcp_listen(listener, 23, 0, 0, 0, now);

    static uint8_t frame[65536];
    size_t n = std::min(size - 1, sizeof frame);
    std::memcpy(frame, data + 1, n);
    if (!(data[0] & 0x80) && n >= 20) fixSums(frame, n);
    st.inject(frame, n);
    st.tcp_tick(now);

    uint8_t buf[512];
    st.udp().read(bound, buf, sizeof buf);
    st.udp().read(open, nullptr, -1);
    if (open->ip_type == ip::kProtoUdp) st.udp().write(open, buf, 100);
    st.tcp().tcp_read(listener, buf, sizeof buf, now);
    return 0;
}
