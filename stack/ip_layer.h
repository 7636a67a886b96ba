// IP input demultiplexer and ICMP of the embedded stack, over an injected
// device: received datagrams are pushed in with `input`, every outgoing
// datagram leaves through IpDevice::transmit from the shared transmit
// buffer `outbuf`. TCP and UDP input and their ICMP notices go to the
// IpUpper the owner supplies.
//
// Threads: `input` runs on whichever thread drives the stack's tick; the
// transmit path (`sendFromOutbuf`, `icmpUnreach`) may be called from any
// thread. `txLock` guards `outbuf` and `icmp_id` from building a datagram to
// handing it to the device; the ping cache is guarded by its own lock.
// Addresses are host byte order and read through `IpAddressing`, which the
// owner updates when the link (re)negotiates.
#pragma once

#include "stack/inet_wire.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ryn::inet {

// Own addressing; written when IPCP completes, read by every path.
struct IpAddressing {
    std::atomic<uint32_t> my_ip_addr{0};
    std::atomic<uint32_t> sin_mask{0xFFFFFE00u};  // 255.255.254.0 until IPCP sets it
    std::atomic<uint16_t> multihomes{0};
    std::atomic<uint32_t> default_ttl{254};

    // Own address (within the multihome range) or loopback.
    bool is_local_addr(uint32_t a) const {
        return (a - my_ip_addr.load()) <= multihomes.load() || (a >> 24) == 127;
    }
    bool is_ip_brdcast(uint32_t a) const { return (a | sin_mask.load()) == 0xFFFFFFFFu; }
};

// The device: sends exactly len datagram bytes; 4 writable bytes precede
// them (the PPP header goes there). True when the device took it.
class IpDevice {
public:
    virtual ~IpDevice() = default;
    virtual bool transmit(uint8_t *datagram, size_t len) = 0;
};

// The transport layers and their ICMP notices. kind is the ICMP type
// (3 unreachable, 4 quench, 5 redirect, 11 time exceeded, 12 parameter).
class IpUpper {
public:
    virtual ~IpUpper() = default;
    virtual void tcpInput(const Ipv4View &ip) = 0;
    virtual void udpInput(const Ipv4View &ip, bool linkBroadcast) = 0;
    virtual void tcpCancel(const Ipv4View &quoted, int kind, int code, uint32_t gateway) = 0;
    virtual void udpCancel(const Ipv4View &quoted, int kind, int code, uint32_t gateway) = 0;
};

class IpLayer {
public:
    static constexpr size_t kLinkHeader = 14;
    static constexpr size_t kOutbufSize = 1524;
    static constexpr size_t kMaxDatagram = kOutbufSize - kLinkHeader;

    IpLayer(IpAddressing &addr, IpDevice &dev, IpUpper &upper) : addr_(addr), dev_(dev), upper_(upper) {}

    // One received datagram (len bytes as received). Malformed or
    // mis-summed datagrams are dropped silently. now: tick in ms.
    void input(const uint8_t *data, size_t len, bool linkBroadcast, uint32_t now);

    // Type 3 with code, quoting the offending datagram's header + 8 bytes.
    void icmpUnreach(const Ipv4View &offending, uint8_t code);

    // Last echo reply from host: elapsed time (and its first data word in
    // *number), once; 0xFFFFFFFF for any other host.
    uint32_t chkPing(uint32_t host, uint32_t *number);

    // Builds into outbuf under txLock: fill(datagram area, capacity) returns
    // the datagram length (0 = nothing to send); the datagram is sent.
    template <class Fill>
    bool sendFromOutbuf(Fill &&fill) {
        std::lock_guard<std::mutex> g(txLock);
        std::memset(outbuf, 0, sizeof outbuf);
        size_t n = fill(outbuf + kLinkHeader, kMaxDatagram);
        if (n == 0 || n > kMaxDatagram) return false;
        return dev_.transmit(outbuf + kLinkHeader, n);
    }

    IpAddressing &addressing() { return addr_; }
    // ICMP identification counter (post-incremented). GUARDED_BY(txLock)
    uint16_t icmp_id = 0;

private:
    void icmpHandler(const Ipv4View &ip, bool linkBroadcast, uint32_t now);
    // REQUIRES: txLock. Checksums the ICMP message at datagram+20 and writes the IP header.
    bool icmpReplyLocked(uint8_t *datagram, uint32_t src, uint32_t dst, size_t icmpLen);

    IpAddressing &addr_;
    IpDevice &dev_;
    IpUpper &upper_;
    std::mutex txLock;
    uint8_t outbuf[kOutbufSize] = {};  // GUARDED_BY(txLock)

    std::mutex pingLock;
    uint32_t ping_hcache = 0, ping_tcache = 0, ping_number = 0;  // GUARDED_BY(pingLock)
};

}  // namespace ryn::inet
