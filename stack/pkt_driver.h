// The packet driver over the PPP device and the stack that sits on it.
//
// pkt_received/pkt_send/pkt_free_ip are the thin shim to the link: they act
// only while the link has made PPP the stack's device (_pktdevclass 18).
// NetStack owns the stack's addressing, IP layer and TCP engine, binds
// itself to the link (device class and the addresses IPCP negotiates) and
// runs tcp_tick: drain every received datagram through IP input, then the
// 50 ms retransmission pass. One NetStack is bound at a time. It also holds
// the UDP sockets (udp.h).
//
// Test seam: a NetStack built over a given IpDevice never touches the link;
// datagrams for it are pushed in with `inject` and taken by the next tick.
//
// Threads: tcp_tick normally runs on the pump thread (the link
// supervisor's), but the socket layer's waiting operations tick too, so
// ticks are serialised by `tickMutex_` (recursive: a UDP data handler may
// write, and writing may tick). Order: `tickMutex_` before the engine's and
// the UDP list's locks. The socket operations of the engine may run on
// bridge threads (see tcp_engine.h for the locks). The link's callbacks
// arrive under the PPP lock and only store atomics here, so they take no
// stack lock.
#pragma once

#include "stack/ip_layer.h"
#include "stack/tcp_engine.h"
#include "stack/udp.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

extern std::atomic<uint8_t> _pktdevclass;  // 18 = the PPP serial device
extern std::atomic<uint16_t> _pktserial;   // 1 = point-to-point, no link header
extern std::atomic<uint32_t> rem_ip_addr;  // the terminal's address on the link

inline constexpr uint8_t kPppDeviceClass = 18;

// Next received datagram (after one PPP service pass) and its length, or
// nullptr; free it with pkt_free_ip. Only while the class is 18.
const uint8_t *pkt_received(uint16_t *length);
// 1 when the device took the datagram, 0 otherwise. REQUIRES: 4 writable
// bytes in front of buffer (the PPP header goes there).
int pkt_send(uint8_t *buffer, int length);
void pkt_free_ip(const uint8_t *datagram);

namespace ryn::inet {

class PppDevice final : public IpDevice {
public:
    bool transmit(uint8_t *datagram, size_t len) override {
        return len <= 0xFFFF && pkt_send(datagram, static_cast<int>(len)) == 1;
    }
};

class NetStack final : private IpUpper {
public:
    explicit NetStack(TcpSettings settings = {});
    // Test seam: the stack sends through device and receives only what
    // `inject` hands it; bindToLink is not meant for it.
    explicit NetStack(IpDevice &device, TcpSettings settings = {});
    ~NetStack() override;
    NetStack(const NetStack &) = delete;
    NetStack &operator=(const NetStack &) = delete;

    // Binds to the link (replacing any other binding) / unbinds.
    void bindToLink();
    void unbindFromLink();

    // Drains the receive queue through IP input, then the timer pass.
    void tcp_tick(uint32_t now);

    // Test seam: queues one received datagram (copied) for the next tick.
    void inject(const uint8_t *datagram, size_t len);
    // True when the stack runs over the PPP link (not a test device).
    bool usesLink() const { return usesLink_; }

    IpAddressing &addressing() { return addr_; }
    IpLayer &ip() { return ip_; }
    TcpEngine &tcp() { return tcp_; }
    UdpLayer &udp() { return udp_; }

private:
    void tcpInput(const Ipv4View &ip) override { tcp_.input(ip, now_); }
    void udpInput(const Ipv4View &ip, bool linkBroadcast) override;
    void tcpCancel(const Ipv4View &q, int kind, int code, uint32_t gw) override { tcp_.tcp_cancel(q, kind, code, gw, now_); }
    void udpCancel(const Ipv4View &q, int kind, int code, uint32_t gw) override { udp_.cancel(q, kind, code, gw); }

    const bool usesLink_;
    IpAddressing addr_;
    PppDevice dev_;
    IpLayer ip_;
    TcpEngine tcp_;
    UdpLayer udp_;
    std::recursive_mutex tickMutex_;
    uint32_t now_ = 0;  // the tick of the pass in progress; GUARDED_BY(tickMutex_)
    std::mutex injectMu_;
    std::deque<std::vector<uint8_t>> injected_;  // GUARDED_BY(injectMu_)
};

}  // namespace ryn::inet
