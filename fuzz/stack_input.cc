// Feeds arbitrary bytes to IP input; TCP goes into a real engine holding a
// listener on port 23 and a connection in progress, so option walks, the
// out-of-order block and every state's input path see hostile segments.
// Byte 0 picks the tick step, so the timers run too.
#include "fuzz/inet_fuzz.h"
#include "stack/ip_layer.h"
#include "stack/tcp_engine.h"

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {
using namespace ryn::inet;

using inetfuzz::fixSums;
using inetfuzz::NullDevice;
struct EngineUpper : IpUpper {
    TcpEngine *tcp = nullptr;
    uint32_t now = 0;
    void tcpInput(const Ipv4View &ip) override { tcp->input(ip, now); }
    void udpInput(const Ipv4View &, bool) override {}
    void tcpCancel(const Ipv4View &q, int k, int c, uint32_t g) override { tcp->tcp_cancel(q, k, c, g, now); }
    void udpCancel(const Ipv4View &q, int, int, uint32_t) override { (void)q.payload()[q.payloadLen() - 1]; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static IpAddressing addr;
    static NullDevice dev;
    static EngineUpper upper;
    static IpLayer ipl(addr, dev, upper);
    static TcpEngine tcp(ipl);
    static bool init = [] {
        addr.my_ip_addr = 0x01010101;
        upper.tcp = &tcp;
        return true;
    }();
    (void)init;
    if (size == 0) return 0;
    upper.now += data[0] * 37u;
    TcpSocket *listener = &tcp.pool(0), *client = &tcp.pool(1);
    if (!tcp.tcp_checkfor(listener)) tcp.tcp_listen(listener, 23, 0, 0, 0, upper.now);
    if (!tcp.tcp_checkfor(client)) {
        tcp.tcp_open(client, 40000, 0x01010102, 80, upper.now);
        tcp.tcp_write(client, data, static_cast<int>(size), upper.now);
    }
    // Most inputs get valid sums, or the checks in front would hide every
    // deeper path; bit 7 of byte 0 keeps the bytes as they came.
    static uint8_t frame[65536];
    size_t n = std::min(size - 1, sizeof frame);
    std::memcpy(frame, data + 1, n);
    if (!(data[0] & 0x80) && n >= 20) fixSums(frame, n);
    ipl.input(frame, n, false, upper.now);
    uint8_t buf[512];
    tcp.tcp_read(listener, buf, sizeof buf, upper.now);
    tcp.timers(upper.now);
    return 0;
}
