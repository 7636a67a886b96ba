// The TCP engine of the embedded stack: a pool of 64 socket records with
// their 16 KB receive and send buffers, the list of live sockets, the state
// machine, the single out-of-order block, the congestion window, RTT/RTO
// estimation, retransmission with back-off, the persist timer and the state
// time-outs. Time comes in as `now` (ms tick, wrapping); segments go out
// through IpLayer::sendFromOutbuf; segments come in through `input`.
//
// Threads: `input` and `timers` run on the thread that drives the stack's
// tick; read/write/close/abort may come from other threads. Locks, in order:
// `allsocs_mutex` (membership of the list) before a socket's `lock` (its
// buffers and state) before the IP layer's transmit lock. A path that must
// unlink a socket while holding its lock releases the lock first. Both are
// plain mutexes. The engine allocates nothing after construction.
#pragma once

#include "stack/inet_wire.h"
#include "stack/ip_layer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace ryn::inet {

enum TcpState : uint16_t {
    TCP_LISTEN = 0,
    TCP_SYN_SENT = 1,
    TCP_SYN_RECEIVED = 2,
    TCP_ESTABLISHED = 3,
    TCP_ESTABLISHED_CLOSING = 4,
    TCP_FIN_WAIT_1 = 5,
    TCP_FIN_WAIT_2 = 6,
    TCP_CLOSE_WAIT = 7,
    TCP_CLOSING = 8,
    TCP_LAST_ACK = 9,
    TCP_TIME_WAIT = 10,
    TCP_CLOSE_MSL = 11,
    TCP_CLOSED = 12,
};
const char *strstate(uint16_t state, char *buf, size_t size);

namespace tcperr {
inline constexpr int32_t kClosedLocally = 1, kClosedByPeer = 2, kAborted = 4, kInactive = 5, kStateTimeout = 6,
                         kRefused = 9, kReset = 10, kOpenRefused = 17, kDataTimeout = 20;
}

namespace tcpconst {
// State time-outs (ms), the reset rate limit, the peer window cap.
inline constexpr uint32_t kHandshakeTimeout = 13000, kLastAckTimeout = 10000, kTimeWait = 2000;
inline constexpr uint32_t kRstInterval = 100;
inline constexpr int32_t kMaxPeerWindow = 32767;
}  // namespace tcpconst

inline constexpr uint32_t kSocketSignature = 0x538F25A3u;
inline constexpr int32_t kTcpBufferSize = 16384;

struct TcpSocket;
// Called on each turn of the socket layer's waiting loops; a nonzero result
// is ignored by them (the per-call handler is the one that can end a wait).
using SockYieldFn = int (*)(TcpSocket *);
// Told about each ICMP notice (kind = ICMP type) that matches the socket;
// called with no stack lock held.
using SockNotifyFn = void (*)(TcpSocket *, int kind);
// Takes in-order data instead of the receive buffer and returns how many
// bytes it consumed. TCP calls it under the socket's lock with both header
// pointers null, so it must not call operations on the same socket; UDP
// calls it with no lock held and passes the pseudo and UDP headers.
using SockDataHandler = int (*)(TcpSocket *, const uint8_t *data, int len, const uint8_t *pseudo_hdr,
                                const uint8_t *udp_hdr);

// Mode bits shared with the socket layer.
namespace sockmode {
inline constexpr uint16_t kAscii = 0x0001, kUdpNoChecksum = 0x0002, kImmediate = 0x0004, kSawCr = 0x2000,
                          kNoFlushNext = 0x4000;
}

// One record of the pool. TCP and UDP share it (ip_type 6 / 17 / 0 unused).
// Fields are guarded by `lock` unless noted.
struct TcpSocket {
    TcpSocket *next = nullptr;  // GUARDED_BY(the list the record is on)
    // Written under `lock`; read without it by the socket layer's dispatch.
    std::atomic<uint16_t> ip_type{0};
    uint8_t ttl_exceeded = 0;
    int32_t error = 0;
    SockYieldFn yield_fn = nullptr;
    SockNotifyFn notify_fn = nullptr;
    uint8_t sturdiness = 0, stress = 0;
    uint16_t mode = 0;
    uint32_t user_timer = 0;  // deadline of the socket layer's waits
    SockDataHandler data_handler = nullptr;
    uint32_t local_addr = 0, peer_addr = 0;
    uint16_t peer_port = 0, local_port = 0;
    int32_t rx_len = 0;
    int32_t rx_capacity = kTcpBufferSize;
    uint8_t *rx_data = rx_store;  // receive buffer in use (rx_store or a caller's, see setbuf)
    uint8_t rx_store[kTcpBufferSize];
    uint32_t signature = 0;
    uint16_t state = TCP_CLOSED;
    uint32_t rcv_next = 0, snd_una = 0;
    uint32_t state_deadline = 0;
    uint8_t unhappy = 0, recent = 0;
    uint16_t tcp_flags = 0;
    int32_t peer_window = 0;
    int32_t tx_len = 0, tx_sent = 0;
    uint8_t cwindow = 1, wwindow = 0;
    uint32_t srtt8 = 0, rttvar4 = 0, rtt_start = 0, rto = 0;
    uint8_t karn_count = 0, tos = 0;
    uint32_t rtt_lasttran = 0, rtt_time = 0;
    uint16_t mss = 0;
    // The pending out-of-order block. A flag, not frag_start == 0, marks it:
    // 0 is a valid sequence number.
    bool frag = false;
    uint32_t frag_start = 0, frag_end = 0;
    uint32_t inactive_deadline = 0, data_deadline = 0;
    uint8_t tx_store[kTcpBufferSize];
    uint32_t signature2 = 0;
    uint8_t linked = 0;
    // Our FIN has been sent (its sequence number is snd_una + tx_len).
    bool fin_sent = false;
    // Zero-window probing: back-off interval of the next probe (0 = off).
    uint32_t persist_ms = 0;
    // Handed out by the socket layer (sock_find_free or an open) and not yet
    // given back by sock_close/sock_abort: such a record is never handed
    // out again, even once its connection is gone, so an owner still holding
    // a dead record cannot see it reused under its feet.
    std::atomic<bool> reserved{false};
    bool udp_linked = false;  // on the UDP list; GUARDED_BY(the UDP list lock)
    std::mutex lock;
};

struct TcpSettings {
    uint16_t sock_delay = 30;
    uint16_t sock_inactive = 0;
    uint16_t sock_data_timeout = 120;
    uint16_t mtu = 1500;
};

class TcpEngine {
public:
    static constexpr int kPoolSize = 64;
    static constexpr uint32_t kPassPeriod = 50;
    static constexpr uint32_t kMaxRto = 60000;

    TcpEngine(IpLayer &ip, TcpSettings settings = {});

    TcpSocket &pool(int i) { return *pool_[static_cast<size_t>(i)]; }

    // Active open: 1 started, 0 failed with error 17. handler/yield go into
    // the record before it is listed.
    int tcp_open(TcpSocket *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, uint32_t now,
                 SockDataHandler handler = nullptr, SockYieldFn yield = nullptr);
    // Passive open; peer 0 accepts any peer; timeout_s 0 = wait forever.
    int tcp_listen(TcpSocket *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, uint16_t timeout_s,
                   uint32_t now, SockDataHandler handler = nullptr, SockYieldFn yield = nullptr);
    // Bytes copied (buffer may be null: discard); len < 0 = up to capacity.
    int tcp_read(TcpSocket *s, uint8_t *buffer, int len, uint32_t now);
    // Bytes accepted (possibly fewer than len), or -1 when the state allows no writing.
    int tcp_write(TcpSocket *s, const uint8_t *data, int len, uint32_t now);
    void tcp_close(TcpSocket *s, uint32_t now);
    void tcp_abort(TcpSocket *s, uint32_t now);
    void tcp_cancel(const Ipv4View &quoted, int kind, int code, uint32_t gateway, uint32_t now);

    // One TCP datagram accepted by IP input.
    void input(const Ipv4View &ip, uint32_t now);
    // The retransmission and time-out pass; runs at most every 50 ms.
    void timers(uint32_t now);

    bool tcp_checkfor(TcpSocket *s);
    bool tcp_established(TcpSocket *s) { return s->state > TCP_SYN_RECEIVED; }
    uint16_t findfreeport(uint16_t port);

    // --- For the socket layer ---------------------------------------------
    // A TCP record in CLOSED without unread data leaves the list and stops
    // being a socket (ip_type 0). REQUIRES: s->lock not held.
    void unlinkIfClosed(TcpSocket *s);
    // 1 when no listed socket is in a state up to LAST-ACK.
    int tcp_allclosed();
    // Aborts every listed socket (the stack stops).
    void tcp_shutdown(uint32_t now);
    // Stack start: every record not listed is marked CLOSED, not a socket
    // and not reserved. Whatever was listed must have been shut down first.
    void resetPool();
    // Clears the next-write skip; with data buffered sets PSH and, when
    // nothing is in flight, sends at once.
    void tcp_flush(TcpSocket *s, uint32_t now);
    // Receive buffer: buf null = the built-in one. len is clamped to what
    // the 16-bit window can say; the change is refused (false) when the
    // data already held would not fit. The send buffer is never affected.
    // REQUIRES: the caller's buffer outlives its use by the record.
    bool setbuf(TcpSocket *s, uint8_t *buf, int len);
    // Back to the built-in receive buffer whatever it holds: what does not
    // fit is dropped (the owner is giving the record back).
    void releaseCallerBuffer(TcpSocket *s);
    // Identification for the stack's TCP and UDP output (shared counter).
    uint16_t nextIpId() { return static_cast<uint16_t>(++ip_id); }
    // Ports findfreeport must also skip (the UDP list); called under the
    // list mutex, so it must not call back into the engine.
    using PortInUse = bool (*)(void *ctx, uint16_t port);
    void setPortInUseCheck(PortInUse fn, void *ctx) {
        portInUse_ = fn;
        portInUseCtx_ = ctx;
    }
    uint16_t mtu() const { return cfg_.mtu; }

private:
    // All below REQUIRE s->lock unless noted.
    int tcp_send(TcpSocket *s, uint32_t now);
    void tcp_sendsoon(TcpSocket *s, uint32_t now);
    void tcp_rtt_wind(TcpSocket *s, uint32_t now);
    // Returns -1 unacceptable, else bytes (and FIN) acknowledged.
    int processAck(TcpSocket *s, uint32_t ack, bool *finAcked);
    // Returns the number of new in-order bytes; *stale when the segment
    // carried data and none of it was new.
    int processData(TcpSocket *s, const TcpView &seg, bool *stale);
    bool emitSegment(TcpSocket *s, uint8_t flags, uint32_t seq, const uint8_t *data, size_t len, uint16_t window);
    void sendRst(const Ipv4View &ip, const TcpView &seg, uint32_t now);
    void abortLocked(TcpSocket *s, uint32_t now);
    void closeLocked(TcpSocket *s, uint32_t now);
    // Decides the state-dependent part of input; true when s must be unlinked.
    bool segmentArrives(TcpSocket *s, const Ipv4View &ip, const TcpView &seg, uint32_t now);
    void erase(TcpSocket *s);
    // Takes allsocs_mutex then s->lock; REQUIRES s->lock not held.
    void unthread(TcpSocket *s);
    void link(TcpSocket *s);
    int freeReceiveSpace(const TcpSocket *s) const { return s->rx_capacity - s->rx_len; }

    IpLayer &ip_;
    TcpSettings cfg_;
    uint16_t own_mss_;
    std::array<std::unique_ptr<TcpSocket>, kPoolSize> pool_;
    std::mutex allsocs_mutex;
    TcpSocket *tcp_allsocs = nullptr;  // GUARDED_BY(allsocs_mutex)
    uint16_t lastportused = 0;         // GUARDED_BY(allsocs_mutex)
    std::atomic<uint32_t> ip_id{0};
    std::mutex rstMutex;
    uint32_t rst_deadline = 0;  // GUARDED_BY(rstMutex)
    std::atomic<uint32_t> pass_deadline{0};
    std::array<std::atomic<uint32_t>, 16> rtt_cache_addr{}, rtt_cache_rto{};
    PortInUse portInUse_ = nullptr;
    void *portInUseCtx_ = nullptr;
};

// Deadline ms after now; never 0 (0 means "none").
inline uint32_t deadlineAfter(uint32_t now, uint32_t ms) {
    uint32_t d = now + ms;
    return d ? d : 1;
}
// A set deadline that now has reached, compared across the tick's wrap.
inline bool deadlinePassed(uint32_t deadline, uint32_t now) {
    return deadline != 0 && static_cast<int32_t>(now - deadline) >= 0;
}

}  // namespace ryn::inet
