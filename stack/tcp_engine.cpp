#include "stack/tcp_engine.h"

#include "stack/timers.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace ryn::inet {

using namespace tcpconst;

const char *strstate(uint16_t state, char *buf, size_t size) {
    static const char *const names[] = {"LISTEN",     "SYN-SENT", "SYN-RECEIVED", "ESTABLISHED", "ESTABLISHED-CLOSING",
                                        "FIN-WAIT-1", "FIN-WAIT-2", "CLOSE-WAIT", "CLOSING",     "LAST-ACK",
                                        "TIME-WAIT",  "CLOSE-MSL", "CLOSED"};
    if (state <= TCP_CLOSED) return names[state];
    std::snprintf(buf, size, "UNKNOWN (%d)", state);
    return buf;
}

TcpEngine::TcpEngine(IpLayer &ip, TcpSettings settings) : ip_(ip), cfg_(settings) {
    own_mss_ = static_cast<uint16_t>(std::max<int>(cfg_.mtu - 40, tcp::kMinMss));
    for (auto &p : pool_) p = std::make_unique<TcpSocket>();
}

void TcpEngine::erase(TcpSocket *s) {
    // Everything but the lock (and the list link, owned by the list).
    s->ip_type = ip::kProtoTcp;
    s->ttl_exceeded = 0;
    s->error = 0;
    s->sturdiness = s->stress = 0;
    s->mode = 0;
    s->yield_fn = nullptr;
    s->notify_fn = nullptr;
    s->user_timer = 0;
    s->data_handler = nullptr;
    s->local_addr = s->peer_addr = 0;
    s->peer_port = s->local_port = 0;
    s->rx_len = 0;
    s->rx_capacity = kTcpBufferSize;
    s->rx_data = s->rx_store;
    s->state = TCP_CLOSED;
    s->rcv_next = s->snd_una = 0;
    s->state_deadline = 0;
    s->unhappy = s->recent = 0;
    s->tcp_flags = 0;
    s->peer_window = 0;
    s->tx_len = s->tx_sent = 0;
    s->cwindow = 1;
    s->wwindow = 0;
    s->srtt8 = 220;
    s->rttvar4 = 0;
    s->rtt_start = 0;
    s->rto = 1000;
    s->karn_count = 0;
    s->tos = 0;
    s->rtt_lasttran = s->rtt_time = 0;
    s->mss = own_mss_;
    s->frag = false;
    s->frag_start = s->frag_end = 0;
    s->inactive_deadline = s->data_deadline = 0;
    s->fin_sent = false;
    s->persist_ms = 0;
    s->signature = s->signature2 = kSocketSignature;
}

void TcpEngine::link(TcpSocket *s) {
    std::lock_guard<std::mutex> g(allsocs_mutex);
    if (s->linked) return;
    s->next = tcp_allsocs;
    tcp_allsocs = s;
    s->linked = 1;
}

void TcpEngine::unthread(TcpSocket *s) {
    std::lock_guard<std::mutex> g(allsocs_mutex);
    std::lock_guard<std::mutex> l(s->lock);
    if (s->linked) {
        for (TcpSocket **pp = &tcp_allsocs; *pp; pp = &(*pp)->next) {
            if (*pp == s) {
                *pp = s->next;
                break;
            }
        }
        s->linked = 0;
        s->next = nullptr;
    }
    // Unread data stays readable until drained.
    if (s->rx_len == 0) s->ip_type = 0;
    s->state = TCP_CLOSED;
}

bool TcpEngine::tcp_checkfor(TcpSocket *s) {
    std::lock_guard<std::mutex> g(allsocs_mutex);
    for (TcpSocket *p = tcp_allsocs; p; p = p->next)
        if (p == s) return true;
    return false;
}

uint16_t TcpEngine::findfreeport(uint16_t port) {
    if (port) return port;
    std::lock_guard<std::mutex> g(allsocs_mutex);
    if (lastportused == 0) lastportused = static_cast<uint16_t>(49152 + Random(0, 16383));
    uint16_t cand = lastportused;
    for (int i = 0; i < 16384; ++i) {
        cand = cand >= 65535 ? 49152 : static_cast<uint16_t>(cand + 1);
        bool used = false;
        for (TcpSocket *p = tcp_allsocs; p && !used; p = p->next) used = p->local_port == cand;
        if (!used && portInUse_) used = portInUse_(portInUseCtx_, cand);
        if (!used) {
            lastportused = cand;
            return cand;
        }
    }
    return 0;
}

int TcpEngine::tcp_open(TcpSocket *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, uint32_t now,
                        SockDataHandler handler, SockYieldFn yield) {
    unthread(s);
    std::unique_lock<std::mutex> l(s->lock);
    erase(s);
    s->data_handler = handler;
    s->yield_fn = yield;
    if (ip_.addressing().is_local_addr(peer_addr)) {
        s->error = tcperr::kOpenRefused;
        return 0;
    }
    l.unlock();
    uint16_t port = findfreeport(local_port);
    l.lock();
    if (port == 0) {
        s->error = tcperr::kOpenRefused;
        return 0;
    }
    s->local_port = port;
    s->peer_addr = peer_addr;
    s->peer_port = peer_port;
    s->local_addr = ip_.addressing().my_ip_addr.load();
    s->snd_una = __builtin_bswap32(now + 1);
    s->tcp_flags = tcp::kSyn;
    s->unhappy = 1;
    s->state_deadline = deadlineAfter(now, uint32_t{cfg_.sock_delay} * 1000);
    s->state = TCP_SYN_SENT;
    uint32_t cached = rtt_cache_addr[peer_addr & 15] == peer_addr ? rtt_cache_rto[peer_addr & 15].load() : 0;
    if (cached) s->rto = cached;
    l.unlock();
    link(s);
    l.lock();
    tcp_send(s, now);
    return 1;
}

int TcpEngine::tcp_listen(TcpSocket *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port,
                          uint16_t timeout_s, uint32_t now, SockDataHandler handler, SockYieldFn yield) {
    unthread(s);
    {
        std::lock_guard<std::mutex> l(s->lock);
        erase(s);
        s->data_handler = handler;
        s->yield_fn = yield;
        s->local_port = local_port;
        s->peer_addr = peer_addr;
        s->peer_port = peer_port;
        s->local_addr = ip_.addressing().my_ip_addr.load();
        s->state = TCP_LISTEN;
        if (timeout_s) s->state_deadline = deadlineAfter(now, uint32_t{timeout_s} * 1000);
    }
    link(s);
    return 1;
}

bool TcpEngine::emitSegment(TcpSocket *s, uint8_t flags, uint32_t seq, const uint8_t *data, size_t len,
                            uint16_t window) {
    const uint8_t ttl = static_cast<uint8_t>(ip_.addressing().default_ttl.load());
    const uint16_t id = static_cast<uint16_t>(++ip_id);
    return ip_.sendFromOutbuf([&](uint8_t *d, size_t cap) -> size_t {
        const bool mssOpt = (flags & tcp::kSyn) != 0;
        const size_t th = tcp::kHeaderLen + (mssOpt ? 4 : 0);
        const size_t total = ip::kHeaderLen + th + len;
        if (total > cap) return 0;
        writeIpv4Header(d, s->tos, static_cast<uint16_t>(total), id, ttl, ip::kProtoTcp, s->local_addr, s->peer_addr);
        uint8_t *t = d + ip::kHeaderLen;
        put16(t + tcp::kSrcPort, s->local_port);
        put16(t + tcp::kDstPort, s->peer_port);
        put32(t + tcp::kSeq, seq);
        put32(t + tcp::kAck, (flags & tcp::kAck_) ? s->rcv_next : 0);
        t[tcp::kOffset] = static_cast<uint8_t>((th / 4) << 4);
        t[tcp::kFlags] = flags;
        put16(t + tcp::kWindow, window);
        if (mssOpt) {
            t[20] = tcp::kOptMss;
            t[21] = 4;
            put16(t + 22, own_mss_);
        }
        if (len) std::memcpy(t + th, data, len);
        uint16_t sum = addChecksum(pseudoHeaderSum(s->local_addr, s->peer_addr, ip::kProtoTcp,
                                                   static_cast<uint16_t>(th + len)),
                                   inchksum(t, th + len));
        storeChecksum(t + tcp::kChecksum, sum);
        return total;
    });
}

int TcpEngine::tcp_send(TcpSocket *s, uint32_t now) {
    s->recent = 0;
    const bool retrans = s->karn_count == 2;
    const bool probe = s->persist_ms != 0 && s->peer_window == 0 && s->tx_len > 0;
    int start = retrans || probe ? 0 : s->tx_sent;
    int limit = std::min(probe ? 1 : s->peer_window, s->tx_len);
    int remaining = std::max(0, limit - start);
    const uint16_t window = static_cast<uint16_t>(std::max(0, freeReceiveSpace(s)));
    int off = start;
    int segments = 0;
    do {
        int n = std::min<int>(remaining, s->mss);
        uint8_t flags = static_cast<uint8_t>(s->tcp_flags);
        // The FIN follows the last byte of the send buffer, never earlier.
        if ((flags & tcp::kFin) && off + n != s->tx_len) flags &= static_cast<uint8_t>(~tcp::kFin);
        if (!(flags & tcp::kSyn) || s->state != TCP_SYN_SENT) flags |= tcp::kAck_;
        if (!emitSegment(s, flags, s->snd_una + static_cast<uint32_t>(off), s->tx_store + off,
                         static_cast<size_t>(n), window)) {
            // The bytes stay buffered; try again shortly (no nested send).
            s->rtt_time = deadlineAfter(now, s->rto / 16 + 10);
            if (s->karn_count == 0) s->karn_count = 1;
            return -1;
        }
        if (flags & tcp::kFin) s->fin_sent = true;
        off += n;
        remaining -= n;
        ++segments;
    } while (remaining > 0 && segments < s->cwindow);

    if (!probe) s->tx_sent = retrans ? off : std::max(s->tx_sent, off);
    if (!retrans) {
        s->rtt_start = (s->unhappy || s->tx_len) ? now : 0;
        s->karn_count = 0;
    } else {
        s->rto = s->rto ? std::min(s->rto * 3 / 2, kMaxRto) : 200;
    }
    // Anything awaiting acknowledgement (data, SYN, FIN) stays under the
    // retransmission timer.
    if (s->unhappy || s->tx_len > 0 || (s->tcp_flags & (tcp::kSyn | tcp::kFin))) {
        uint32_t t = probe ? s->persist_ms : s->rto + 100;
        s->rtt_time = s->rtt_lasttran = deadlineAfter(now, t);
    }
    return off - start;
}

void TcpEngine::tcp_sendsoon(TcpSocket *s, uint32_t now) {
    if (s->rto <= 9 && !s->recent) {
        s->karn_count = 0;
        tcp_send(s, now);
        s->recent = 1;
        return;
    }
    uint32_t soon = deadlineAfter(now, s->state == TCP_SYN_SENT ? 1000 : s->rto / 16 + 10);
    bool work = s->unhappy || s->tx_len > 0 || s->karn_count == 1;
    if (work && s->rtt_time && seqLe(s->rtt_time, soon)) return;
    s->rtt_time = soon;
    if (s->karn_count == 0) s->karn_count = 1;
}

void TcpEngine::tcp_rtt_wind(TcpSocket *s, uint32_t now) {
    if (s->karn_count == 2) {
        s->karn_count = 0;
    } else if (s->rtt_start) {
        int64_t m = static_cast<int32_t>(now - s->rtt_start) - static_cast<int64_t>(s->srtt8 / 8);
        int64_t srtt = static_cast<int64_t>(s->srtt8) + m;
        s->srtt8 = static_cast<uint32_t>(std::clamp<int64_t>(srtt, 0, 80000));
        int64_t var = static_cast<int64_t>(s->rttvar4) - s->rttvar4 / 4 + (m < 0 ? -m : m);
        s->rttvar4 = static_cast<uint32_t>(std::clamp<int64_t>(var, 0, 20000));
        s->rto = (s->srtt8 / 4 + s->rttvar4 + 1) / 2;
        uint32_t slot = s->peer_addr & 15;
        if (rtt_cache_addr[slot] != s->peer_addr) {
            rtt_cache_addr[slot] = s->peer_addr;
            rtt_cache_rto[slot] = s->rto;
        }
        s->karn_count = 0;
        if (s->wwindow < 255) ++s->wwindow;
        if (s->wwindow >= s->cwindow) {
            if (s->cwindow < 255) ++s->cwindow;
            s->wwindow = 0;
        }
    }
    uint32_t t = deadlineAfter(now, s->rto + 100);
    if (s->rtt_time == 0 || seqLt(s->rtt_time, t)) s->rtt_time = t;
    s->data_deadline = 0;
}

void TcpEngine::abortLocked(TcpSocket *s, uint32_t now) {
    if (s->error == 0) s->error = tcperr::kAborted;
    if (s->state != TCP_LISTEN && s->state != TCP_CLOSED) {
        emitSegment(s, tcp::kRst | tcp::kAck_, s->snd_una + static_cast<uint32_t>(s->tx_sent), nullptr, 0, 0);
        if (s->state == TCP_SYN_SENT || s->state == TCP_SYN_RECEIVED) {
            s->rtt_time = 0;
            if (rtt_cache_addr[s->peer_addr & 15] == s->peer_addr) rtt_cache_rto[s->peer_addr & 15] = 0;
        }
    }
    (void)now;
    s->unhappy = 0;
    s->tx_len = s->tx_sent = 0;
    s->state = TCP_CLOSED;
}

void TcpEngine::closeLocked(TcpSocket *s, uint32_t now) {
    switch (s->state) {
    case TCP_LISTEN:
        abortLocked(s, now);
        return;
    case TCP_SYN_SENT:
        s->state = TCP_CLOSED;
        return;
    case TCP_SYN_RECEIVED:
    case TCP_ESTABLISHED:
    case TCP_ESTABLISHED_CLOSING:
        if (s->error == 0) s->error = tcperr::kClosedLocally;
        if (s->tx_len == 0) {
            s->tcp_flags = tcp::kFin | tcp::kAck_;
            s->state = TCP_FIN_WAIT_1;
            s->state_deadline = deadlineAfter(now, kHandshakeTimeout);
            s->unhappy = 1;
            s->karn_count = 0;
            tcp_send(s, now);
        } else {
            // The FIN follows once the queued data is acknowledged.
            s->tcp_flags |= tcp::kPsh | tcp::kAck_;
            if (s->state != TCP_ESTABLISHED_CLOSING) tcp_sendsoon(s, now);
            s->state = TCP_ESTABLISHED_CLOSING;
            s->unhappy = 1;
        }
        return;
    case TCP_CLOSE_WAIT:
        s->state_deadline = deadlineAfter(now, kLastAckTimeout);
        s->state = TCP_LAST_ACK;
        s->tcp_flags |= tcp::kFin | tcp::kAck_;
        s->unhappy = 1;
        if (s->karn_count != 2) s->karn_count = 0;
        tcp_send(s, now);
        return;
    default:
        return;
    }
}

void TcpEngine::tcp_close(TcpSocket *s, uint32_t now) {
    bool unlink;
    {
        std::lock_guard<std::mutex> l(s->lock);
        closeLocked(s, now);
        unlink = s->state == TCP_CLOSED;
    }
    if (unlink) unthread(s);
}

void TcpEngine::tcp_abort(TcpSocket *s, uint32_t now) {
    {
        std::lock_guard<std::mutex> l(s->lock);
        abortLocked(s, now);
    }
    unthread(s);
}

int TcpEngine::tcp_write(TcpSocket *s, const uint8_t *data, int len, uint32_t now) {
    std::lock_guard<std::mutex> l(s->lock);
    // Writing after the peer's FIN (half-close) is allowed.
    if (s->state != TCP_ESTABLISHED && s->state != TCP_CLOSE_WAIT) return -1;
    if (len <= 0 || !data) return 0;
    // The send buffer is the built-in one whatever receive buffer is in use.
    int n = std::min(len, std::min(s->rx_capacity, kTcpBufferSize) - s->tx_len);
    if (n <= 0) return 0;
    const bool wasEmpty = s->tx_len == 0;
    std::memcpy(s->tx_store + s->tx_len, data, static_cast<size_t>(n));
    s->tx_len += n;
    s->unhappy = 1;
    if (cfg_.sock_data_timeout) s->data_deadline = deadlineAfter(now, uint32_t{cfg_.sock_data_timeout} * 1000);
    if (s->mode & 0x4000) {
        s->mode &= static_cast<uint16_t>(~0x4000);
    } else if (s->peer_window <= s->tx_sent) {
        // The window is closed: the persist timer probes it; no bare ACK now.
        if (s->rtt_time == 0) s->rtt_time = deadlineAfter(now, s->rto + 100);
    } else if ((s->mode & 0x0004) || wasEmpty || s->tx_len > s->mss / 2) {
        if (s->karn_count != 2) s->karn_count = 0;
        // A failed transmission leaves the bytes queued for the timer; they
        // were accepted, so report them.
        tcp_send(s, now);
    } else {
        tcp_sendsoon(s, now);
    }
    return n;
}

int TcpEngine::tcp_read(TcpSocket *s, uint8_t *buffer, int len, uint32_t now) {
    bool unlink = false;
    int n = 0;
    {
        std::lock_guard<std::mutex> l(s->lock);
        if (s->rx_len == 0) {
            if (s->state == TCP_CLOSE_WAIT) closeLocked(s, now);
            unlink = s->state == TCP_CLOSED && s->linked;
        } else {
            if (len < 0) len = s->rx_capacity;
            n = std::min(len, s->rx_len);
            if (buffer) std::memcpy(buffer, s->rx_data, static_cast<size_t>(n));
            size_t extent = static_cast<size_t>(s->rx_len - n) + (s->frag ? s->frag_end - s->rcv_next : 0);
            std::memmove(s->rx_data, s->rx_data + n, extent);
            s->rx_len -= n;
            bool canSend = s->state >= TCP_SYN_RECEIVED && s->state <= TCP_LAST_ACK;
            if (canSend) {
                if (s->rx_len > 0 || s->frag) {
                    tcp_sendsoon(s, now);
                } else {
                    if (s->karn_count != 2) s->karn_count = 0;
                    tcp_send(s, now);  // window update
                }
            }
            if (s->state == TCP_CLOSED && s->rx_len == 0 && !s->linked) s->ip_type = 0;
        }
    }
    if (unlink) unthread(s);
    return n;
}

void TcpEngine::timers(uint32_t now) {
    uint32_t pd = pass_deadline.load();
    if (pd && !deadlinePassed(pd, now)) return;
    pass_deadline = deadlineAfter(now, kPassPeriod);

    std::vector<TcpSocket *> live;  // reserved capacity: no allocation in steady state
    live.reserve(kPoolSize);
    {
        std::lock_guard<std::mutex> g(allsocs_mutex);
        for (TcpSocket *p = tcp_allsocs; p && live.size() < kPoolSize; p = p->next) live.push_back(p);
    }
    for (TcpSocket *s : live) {
        bool unlink = false;
        {
            std::lock_guard<std::mutex> l(s->lock);
            if (s->state == TCP_CLOSED) {
                unlink = true;
            } else {
                if ((s->tx_len > 0 || s->unhappy || s->karn_count == 1) && deadlinePassed(s->rtt_time, now)) {
                    s->rtt_time = 0;
                    const bool dataState = s->state == TCP_ESTABLISHED || s->state == TCP_ESTABLISHED_CLOSING ||
                                           s->state == TCP_CLOSE_WAIT || s->state == TCP_LAST_ACK;
                    if (dataState && s->peer_window == 0 && s->tx_len > 0 && s->karn_count != 1) {
                        // Persist: probe the closed window with one byte, backing off.
                        s->persist_ms = s->persist_ms ? std::min(s->persist_ms * 2, kMaxRto)
                                                      : std::max<uint32_t>(s->rto, 200);
                        s->karn_count = 0;
                        tcp_send(s, now);
                    } else {
                        if (s->karn_count == 0) {
                            s->wwindow = 0;
                            s->karn_count = 2;
                            s->tx_sent = 0;
                            s->cwindow = static_cast<uint8_t>(std::max(1, (3 * s->cwindow + 3) / 4));
                        }
                        if (s->tx_len) s->tcp_flags |= tcp::kPsh | tcp::kAck_;
                        tcp_send(s, now);
                    }
                }
                if (deadlinePassed(s->data_deadline, now)) {
                    s->error = tcperr::kDataTimeout;
                    abortLocked(s, now);
                    unlink = true;
                } else if (deadlinePassed(s->inactive_deadline, now)) {
                    s->error = tcperr::kInactive;
                    s->inactive_deadline = 0;
                    closeLocked(s, now);
                    unlink = s->state == TCP_CLOSED;
                } else if (deadlinePassed(s->state_deadline, now)) {
                    if (s->state == TCP_TIME_WAIT) {
                        s->state = TCP_CLOSED;
                        unlink = true;
                    } else if (s->state != TCP_ESTABLISHED && s->state != TCP_ESTABLISHED_CLOSING) {
                        s->error = tcperr::kStateTimeout;
                        abortLocked(s, now);
                        unlink = true;
                    }
                }
            }
        }
        if (unlink) unthread(s);
    }
}

void TcpEngine::tcp_cancel(const Ipv4View &quoted, int kind, int code, uint32_t gateway, uint32_t now) {
    (void)gateway;
    const uint8_t *q = quoted.payload();
    const uint16_t srcPort = get16(q), dstPort = get16(q + 2);
    std::vector<TcpSocket *> hits;
    hits.reserve(kPoolSize);
    {
        std::lock_guard<std::mutex> g(allsocs_mutex);
        for (TcpSocket *p = tcp_allsocs; p; p = p->next)
            if (p->local_port == srcPort && p->peer_port == dstPort && p->peer_addr == quoted.destination())
                hits.push_back(p);
    }
    for (TcpSocket *s : hits) {
        bool unlink = false;
        SockNotifyFn notify;
        {
            std::lock_guard<std::mutex> l(s->lock);
            notify = s->notify_fn;
            int k = kind;
            if (k == 5) {
                if (s->state >= TCP_FIN_WAIT_1 && s->error == 0 && code != 0) s->error = code;
            }
            if (k == 11) {
                if (s->ttl_exceeded < 255) ++s->ttl_exceeded;
                k = 3;
            }
            if (k == 3) {
                uint8_t prev = s->stress;
                if (s->stress < 255) ++s->stress;
                if (s->sturdiness < prev && s->sturdiness < 100) {
                    s->rx_len = 0;
                    s->error = code ? code : 8;
                    abortLocked(s, now);
                    unlink = true;
                } else {
                    k = 4;
                }
            }
            if (k == 4) {
                s->srtt8 = std::min<uint32_t>(s->srtt8 * 4, 80000);
                s->rttvar4 = std::min<uint32_t>(s->rttvar4 * 4, 20000);
                s->cwindow = s->wwindow = 1;
                s->rto = std::min(s->rto * 4, kMaxRto);
            } else if (k == 12) {
                abortLocked(s, now);
                unlink = true;
            }
        }
        if (unlink) unthread(s);
        if (notify) notify(s, kind);
    }
}

void TcpEngine::unlinkIfClosed(TcpSocket *s) {
    bool unlink;
    {
        std::lock_guard<std::mutex> l(s->lock);
        unlink = s->ip_type == ip::kProtoTcp && s->state == TCP_CLOSED && s->rx_len == 0;
    }
    if (unlink) unthread(s);
}

int TcpEngine::tcp_allclosed() {
    std::lock_guard<std::mutex> g(allsocs_mutex);
    for (TcpSocket *p = tcp_allsocs; p; p = p->next) {
        std::lock_guard<std::mutex> l(p->lock);
        if (p->state <= TCP_LAST_ACK) return 0;
    }
    return 1;
}

void TcpEngine::tcp_shutdown(uint32_t now) {
    for (;;) {
        TcpSocket *s;
        {
            std::lock_guard<std::mutex> g(allsocs_mutex);
            s = tcp_allsocs;
        }
        if (!s) return;
        tcp_abort(s, now);  // unlinks s, so the walk always advances
    }
}

void TcpEngine::resetPool() {
    std::lock_guard<std::mutex> g(allsocs_mutex);
    for (auto &p : pool_) {
        std::lock_guard<std::mutex> l(p->lock);
        if (p->linked) continue;
        p->state = TCP_CLOSED;
        p->ip_type = 0;
        p->rx_len = 0;
        p->frag = false;
        p->rx_data = p->rx_store;
        p->rx_capacity = kTcpBufferSize;
        p->reserved = false;
    }
}

void TcpEngine::tcp_flush(TcpSocket *s, uint32_t now) {
    std::lock_guard<std::mutex> l(s->lock);
    s->mode &= static_cast<uint16_t>(~sockmode::kNoFlushNext);
    if (s->tx_len <= 0) return;
    s->tcp_flags |= tcp::kPsh;
    if (s->tx_sent == 0 && s->state >= TCP_ESTABLISHED && s->state <= TCP_LAST_ACK) {
        if (s->karn_count != 2) s->karn_count = 0;
        tcp_send(s, now);
    }
}

bool TcpEngine::setbuf(TcpSocket *s, uint8_t *buf, int len) {
    // The window field is 16 bits: more receive space could not be offered.
    constexpr int kMaxWindow = 0xFFFF;
    uint8_t *target = buf ? buf : s->rx_store;
    int capacity = buf ? std::min(len, kMaxWindow) : kTcpBufferSize;
    if (capacity <= 0) return false;
    std::lock_guard<std::mutex> l(s->lock);
    // Held bytes: the in-order data and any out-of-order block beyond it.
    size_t held = static_cast<size_t>(s->rx_len) + (s->frag ? s->frag_end - s->rcv_next : 0);
    if (held > static_cast<size_t>(capacity)) return false;
    if (held && target != s->rx_data) std::memmove(target, s->rx_data, held);
    s->rx_data = target;
    s->rx_capacity = capacity;
    return true;
}

void TcpEngine::releaseCallerBuffer(TcpSocket *s) {
    std::lock_guard<std::mutex> l(s->lock);
    if (s->rx_data == s->rx_store) return;
    size_t held = static_cast<size_t>(s->rx_len) + (s->frag ? s->frag_end - s->rcv_next : 0);
    if (held > static_cast<size_t>(kTcpBufferSize)) {
        s->frag = false;
        s->rx_len = std::min(s->rx_len, kTcpBufferSize);
        held = static_cast<size_t>(s->rx_len);
    }
    std::memmove(s->rx_store, s->rx_data, held);
    s->rx_data = s->rx_store;
    s->rx_capacity = kTcpBufferSize;
}

}  // namespace ryn::inet
