// UDP of the embedded stack: the header view, and the UDP sockets over the
// shared pool records (TcpSocket with ip_type 17).
//
// A UDP socket holds at most one received datagram: each arrival replaces
// the buffer. The list of open UDP sockets is guarded by `mu_`; a record's
// buffer and addresses by its own `lock` (taken after `mu_`). The engine's
// port search asks `portInUse` while holding the TCP list mutex, so the
// order is: TCP list mutex, `mu_`, a socket's lock, the IP transmit lock.
// Input and cancel run on the thread that drives the stack's tick; open,
// close, read and write may come from any thread. A data handler is called
// with no lock held.
#pragma once

#include "stack/inet_wire.h"
#include "stack/ip_layer.h"
#include "stack/tcp_engine.h"

#include <cstdint>
#include <mutex>
#include <optional>

namespace ryn::inet {

namespace udp {
inline constexpr size_t kSrcPort = 0, kDstPort = 2, kLength = 4, kChecksum = 6;
inline constexpr size_t kHeaderLen = 8;
inline constexpr size_t kPseudoHeaderLen = 12;
// Room for the IP and UDP headers within the MTU.
inline constexpr int kHeadersLen = 28;
}  // namespace udp

inline constexpr uint32_t kUdpSocketSignature = 0x3E45E154u;

class UdpView {
public:
    // The IP payload; checks the length field against 8 and against what was
    // received. The view covers the length field's bytes (trailing link
    // padding is not data).
    static std::optional<UdpView> parse(const uint8_t *data, size_t len);
    uint16_t srcPort() const { return get16(p_ + udp::kSrcPort); }
    uint16_t dstPort() const { return get16(p_ + udp::kDstPort); }
    uint16_t length() const { return static_cast<uint16_t>(len_); }
    bool hasChecksum() const { return get16(p_ + udp::kChecksum) != 0; }
    // A zero field means the sender sent no checksum: nothing to verify.
    bool checksumOk(uint32_t src, uint32_t dst) const;
    const uint8_t *bytes() const { return p_; }
    const uint8_t *data() const { return p_ + udp::kHeaderLen; }
    size_t dataLen() const { return len_ - udp::kHeaderLen; }

private:
    UdpView(const uint8_t *p, size_t len) : p_(p), len_(len) {}
    const uint8_t *p_;
    size_t len_;
};

class UdpLayer {
public:
    enum class Input { Delivered, NoSocket, Dropped };

    UdpLayer(IpLayer &ip, TcpEngine &tcp);

    // 1 opened, 0 failed (no free port: error 17). Closes s first.
    int open(TcpSocket *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, SockDataHandler handler,
             SockYieldFn yield);
    // Unlinks s; error 3 when unset; the record stops being a socket.
    int close(TcpSocket *s);
    void closeAll();
    // One datagram of at most MTU - 28 bytes; returns the bytes sent (the
    // datagram is counted as sent even when the device refused it), -1 when
    // s is not an open UDP socket.
    int write(TcpSocket *s, const uint8_t *data, int len);
    // Copies and removes min(len, held) bytes; len < 0 = everything held.
    // With buf null the held datagram is discarded.
    int read(TcpSocket *s, uint8_t *buf, int len);
    // Largest datagram payload write sends.
    int maxPayload() const;

    Input input(const Ipv4View &ip, bool linkBroadcast);
    void cancel(const Ipv4View &quoted, int kind, int code, uint32_t gateway);
    bool portInUse(uint16_t port);

private:
    IpLayer &ip_;
    TcpEngine &tcp_;
    std::mutex mu_;
    TcpSocket *udp_allsocs = nullptr;  // GUARDED_BY(mu_)
};

}  // namespace ryn::inet
