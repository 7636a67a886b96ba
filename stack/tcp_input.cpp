// Segment arrival: socket lookup, the per-state input, acknowledgement,
// data and the out-of-order block, and resets for stray segments.
#include "stack/tcp_engine.h"

#include "stack/timers.h"

#include <algorithm>
#include <vector>

namespace ryn::inet {

using namespace tcpconst;

int TcpEngine::processAck(TcpSocket *s, uint32_t ack, bool *finAcked) {
    *finAcked = false;
    int32_t d = static_cast<int32_t>(ack - s->snd_una);
    int32_t most = s->tx_len + (s->fin_sent ? 1 : 0);
    if (d < 0 || d > most) return -1;
    int32_t bytes = std::min(d, s->tx_len);
    if (bytes) {
        std::memmove(s->tx_store, s->tx_store + bytes, static_cast<size_t>(s->tx_len - bytes));
        s->tx_len -= bytes;
        s->tx_sent = std::max(0, s->tx_sent - bytes);
    }
    s->snd_una = ack;
    if (d > bytes) {
        *finAcked = true;
        s->fin_sent = false;
        s->tcp_flags &= static_cast<uint16_t>(~tcp::kFin);
    }
    return d;
}

int TcpEngine::processData(TcpSocket *s, const TcpView &seg, bool *stale) {
    *stale = false;
    if (s->stress) --s->stress;
    if (seg.has(tcp::kSyn) || seg.has(tcp::kRst) || seg.dataLen() == 0) return 0;
    const uint8_t *data = seg.data();
    const uint32_t L = static_cast<uint32_t>(seg.dataLen());
    const uint32_t seq = seg.seq();
    int32_t d = static_cast<int32_t>(s->rcv_next - seq);
    int32_t room = freeReceiveSpace(s);
    if (s->data_handler) {
        // The handler takes in-order bytes only; what it leaves, and any
        // segment ahead of rcv_next, the peer sends again.
        if (d < 0) return 0;
        if (static_cast<uint32_t>(d) >= L) {
            *stale = true;
            return 0;
        }
        const int avail = static_cast<int>(L - static_cast<uint32_t>(d));
        int took = s->data_handler(s, data + d, avail, nullptr, nullptr);
        took = std::clamp(took, 0, avail);
        s->rcv_next += static_cast<uint32_t>(took);
        s->unhappy = s->tx_len != 0 || (s->tcp_flags & tcp::kFin);
        if (took == 0) *stale = true;
        return took;
    }
    if (d >= 0) {
        if (static_cast<uint32_t>(d) >= L) {
            *stale = true;
            return 0;
        }
        uint32_t n = std::min<uint32_t>(L - static_cast<uint32_t>(d), static_cast<uint32_t>(std::max(room, 0)));
        if (s->frag) n = std::min(n, s->frag_start - s->rcv_next);
        if (n == 0) {
            *stale = true;
            return 0;
        }
        std::memcpy(s->rx_data + s->rx_len, data + d, n);
        s->rx_len += static_cast<int32_t>(n);
        s->rcv_next += n;
        if (s->frag && s->rcv_next == s->frag_start) {
            s->rx_len += static_cast<int32_t>(s->frag_end - s->frag_start);
            s->rcv_next = s->frag_end;
            s->frag = false;
        }
        s->unhappy = s->tx_len != 0 || (s->tcp_flags & tcp::kFin);
        return static_cast<int>(n);
    }
    // Ahead of rcv_next: keep it in the one out-of-order block.
    auto store = [&](uint32_t from, uint32_t to) {  // sequence range within the segment
        uint32_t ahead = from - s->rcv_next;
        int64_t space = static_cast<int64_t>(room) - ahead;
        if (space <= 0) return uint32_t{0};
        uint32_t n = std::min<uint32_t>(to - from, static_cast<uint32_t>(space));
        std::memcpy(s->rx_data + s->rx_len + ahead, data + (from - seq), n);
        return n;
    };
    uint32_t end = seq + L;
    if (!s->frag) {
        uint32_t n = store(seq, end);
        if (n) {
            s->frag = true;
            s->frag_start = seq;
            s->frag_end = seq + n;
        }
    } else {
        bool touches = seqLe(seq, s->frag_end) && seqGe(end, s->frag_start);
        if (!touches) return 0;
        if (seqLt(seq, s->frag_start)) {
            if (store(seq, s->frag_start) == s->frag_start - seq) s->frag_start = seq;
        }
        if (seqGt(end, s->frag_end)) s->frag_end += store(s->frag_end, end);
    }
    return 0;
}

void TcpEngine::sendRst(const Ipv4View &ip, const TcpView &seg, uint32_t now) {
    if (seg.has(tcp::kRst)) return;
    {
        std::lock_guard<std::mutex> g(rstMutex);
        if (rst_deadline && !deadlinePassed(rst_deadline, now)) return;
        rst_deadline = deadlineAfter(now, kRstInterval);
    }
    uint32_t seq = 0, ack = 0;
    uint8_t flags;
    if (seg.has(tcp::kAck_)) {
        seq = seg.ack();
        flags = tcp::kRst;
    } else {
        ack = seg.seq() + seg.seqLen();
        flags = tcp::kRst | tcp::kAck_;
    }
    const uint8_t ttl = static_cast<uint8_t>(ip_.addressing().default_ttl.load());
    const uint16_t id = static_cast<uint16_t>(++ip_id);
    ip_.sendFromOutbuf([&](uint8_t *d, size_t) -> size_t {
        writeIpv4Header(d, ip.tos(), 40, id, ttl, ip::kProtoTcp, ip.destination(), ip.source());
        uint8_t *t = d + ip::kHeaderLen;
        put16(t + tcp::kSrcPort, seg.dstPort());
        put16(t + tcp::kDstPort, seg.srcPort());
        put32(t + tcp::kSeq, seq);
        put32(t + tcp::kAck, ack);
        t[tcp::kOffset] = 0x50;
        t[tcp::kFlags] = flags;
        storeChecksum(t + tcp::kChecksum,
                      addChecksum(pseudoHeaderSum(ip.destination(), ip.source(), ip::kProtoTcp, 20), inchksum(t, 20)));
        return 40;
    });
}

void TcpEngine::input(const Ipv4View &ip, uint32_t now) {
    auto seg = TcpView::parse(ip.payload(), ip.payloadLen());
    // The checksum is verified before any field is acted on, RST included.
    if (!seg || !seg->checksumOk(ip.source(), ip.destination())) return;
    TcpSocket *s = nullptr;
    {
        std::unique_lock<std::mutex> g(allsocs_mutex);
        TcpSocket *listener = nullptr;
        for (TcpSocket *p = tcp_allsocs; p; p = p->next) {
            if (p->signature != kSocketSignature || p->signature2 != kSocketSignature) return;
            if (p->peer_port && ip.destination() == p->local_addr && seg->dstPort() == p->local_port &&
                seg->srcPort() == p->peer_port && ip.source() == p->peer_addr) {
                s = p;
                break;
            }
            if (!listener && p->state == TCP_LISTEN && p->peer_port == 0 && p->local_port == seg->dstPort() &&
                (p->peer_addr == 0 || p->peer_addr == ip.source()))
                listener = p;
        }
        if (!s && seg->has(tcp::kSyn) && !seg->has(tcp::kAck_)) s = listener;
        if (s) s->lock.lock();
    }
    if (!s) {
        sendRst(ip, *seg, now);
        return;
    }
    bool unlink;
    {
        std::lock_guard<std::mutex> l(s->lock, std::adopt_lock);
        if (cfg_.sock_inactive) s->inactive_deadline = deadlineAfter(now, uint32_t{cfg_.sock_inactive} * 1000);
        unlink = segmentArrives(s, ip, *seg, now);
    }
    if (unlink) unthread(s);
}

bool TcpEngine::segmentArrives(TcpSocket *s, const Ipv4View &ip, const TcpView &seg, uint32_t now) {
    const uint32_t seq = seg.seq(), ack = seg.ack();
    const bool SYN = seg.has(tcp::kSyn), ACK = seg.has(tcp::kAck_), FIN = seg.has(tcp::kFin);

    if (seg.has(tcp::kRst)) {
        if (s->state == TCP_LISTEN || s->state == TCP_CLOSED) return false;
        if (s->state == TCP_SYN_SENT) {
            if (!ACK || ack != s->snd_una + 1) return false;
            s->error = tcperr::kRefused;
        } else {
            // Only a reset inside the receive window ends the connection.
            uint32_t win = static_cast<uint32_t>(std::max(1, freeReceiveSpace(s)));
            if (!(seqGe(seq, s->rcv_next) && seqLt(seq, s->rcv_next + win))) return false;
            s->error = tcperr::kReset;
        }
        s->state = TCP_CLOSED;
        s->rx_len = 0;
        s->tx_len = s->tx_sent = 0;
        s->unhappy = 0;
        return true;
    }

    auto takePeerMss = [&] {
        s->mss = effectiveMss(findMssOption(seg.options(), seg.optionsLen()), own_mss_, cfg_.mtu);
    };
    auto takeWindow = [&] { s->peer_window = std::min<int32_t>(seg.window(), kMaxPeerWindow); };

    switch (s->state) {
    case TCP_LISTEN:
        if (!SYN) {
            if (ACK) sendRst(ip, seg, now);
            return false;
        }
        s->tos = std::max(s->tos, ip.tos());
        s->rcv_next = seq + 1;
        s->peer_port = seg.srcPort();
        s->peer_addr = ip.source();
        s->local_addr = ip.destination();
        takePeerMss();
        takeWindow();
        s->snd_una = __builtin_bswap32(now + 1);
        s->state = TCP_SYN_RECEIVED;
        s->unhappy = 1;
        s->tcp_flags = tcp::kSyn | tcp::kAck_;
        s->karn_count = 0;
        tcp_send(s, now);
        s->state_deadline = deadlineAfter(now, kHandshakeTimeout);
        return false;

    case TCP_SYN_SENT:
        if (ACK && ack != s->snd_una + 1) {
            sendRst(ip, seg, now);
            return false;
        }
        if (!SYN) return false;
        s->tos = std::max(s->tos, ip.tos());
        takePeerMss();
        takeWindow();
        s->rcv_next = seq + 1;
        if (ACK) {
            tcp_rtt_wind(s, now);
            s->snd_una += 1;
            s->state = TCP_ESTABLISHED;
            s->state_deadline = 0;
            s->unhappy = 0;
            s->tcp_flags = tcp::kAck_;
            s->rto = std::max<uint32_t>(s->rto, 200);
            tcp_send(s, now);
        } else {
            // Simultaneous open.
            s->state = TCP_SYN_RECEIVED;
            s->tcp_flags = tcp::kSyn | tcp::kAck_;
            s->state_deadline = deadlineAfter(now, kHandshakeTimeout);
            tcp_send(s, now);
        }
        return false;

    case TCP_SYN_RECEIVED:
        if (SYN && !ACK) {
            tcp_send(s, now);  // our SYN-ACK was lost
            return false;
        }
        if (!ACK) return false;
        if (ack != s->snd_una + 1) {
            sendRst(ip, seg, now);
            return false;
        }
        tcp_rtt_wind(s, now);
        s->snd_una = ack;
        takeWindow();
        s->state = TCP_ESTABLISHED;
        s->unhappy = 0;
        s->state_deadline = 0;
        s->tcp_flags = tcp::kAck_;
        s->rto = std::max<uint32_t>(s->rto, 200);
        break;  // data or FIN on this ACK is taken below

    case TCP_CLOSED:
    case TCP_CLOSE_MSL:
        return false;
    default:
        break;
    }

    // Synchronized states.
    if (SYN) {
        // The peer missed our ACK of its SYN.
        tcp_send(s, now);
        return false;
    }
    if (!ACK) return false;

    const uint32_t prevUna = s->snd_una;
    const int32_t prevWindow = s->peer_window;
    bool finAcked = false;
    int acked = processAck(s, ack, &finAcked);
    if (acked >= 0) {
        if (ack != prevUna) tcp_rtt_wind(s, now);
        if (s->persist_ms && cfg_.sock_data_timeout)
            s->data_deadline = deadlineAfter(now, uint32_t{cfg_.sock_data_timeout} * 1000);  // the peer is alive
        takeWindow();
        if (s->peer_window > 0) s->persist_ms = 0;
    }

    bool stale = false;
    int fresh = 0;
    const bool takesData = s->state == TCP_ESTABLISHED || s->state == TCP_ESTABLISHED_CLOSING ||
                           s->state == TCP_FIN_WAIT_1 || s->state == TCP_FIN_WAIT_2;
    if (takesData)
        fresh = processData(s, seg, &stale);
    else if (seg.dataLen() > 0)
        stale = true;
    s->unhappy = s->tx_len != 0 || (s->tcp_flags & tcp::kFin) != 0;

    bool ackNow = false;
    const uint32_t finSeq = seq + static_cast<uint32_t>(seg.dataLen());
    if (FIN && takesData && !s->frag && finSeq == s->rcv_next) {
        s->rcv_next += 1;
        ackNow = true;
        switch (s->state) {
        case TCP_ESTABLISHED:
        case TCP_ESTABLISHED_CLOSING:
            if (s->error == 0) s->error = tcperr::kClosedByPeer;
            {
                const bool closing = s->state == TCP_ESTABLISHED_CLOSING;
                s->state = TCP_CLOSE_WAIT;
                if (closing) closeLocked(s, now);  // LAST-ACK; the FIN follows the queued data
            }
            break;
        case TCP_FIN_WAIT_1:
            if (finAcked) {
                s->state = TCP_TIME_WAIT;
                s->state_deadline = deadlineAfter(now, kTimeWait);
            } else {
                s->state = TCP_CLOSING;
                s->state_deadline = deadlineAfter(now, kHandshakeTimeout);
            }
            finAcked = false;
            break;
        case TCP_FIN_WAIT_2:
            s->state = TCP_TIME_WAIT;
            s->state_deadline = deadlineAfter(now, kTimeWait);
            break;
        default:
            break;
        }
    } else if (FIN && finSeq + 1 == s->rcv_next) {
        ackNow = true;  // a repeated FIN: our ACK was lost
    }

    if (finAcked) {
        s->unhappy = 0;
        switch (s->state) {
        case TCP_FIN_WAIT_1:
            s->state = TCP_FIN_WAIT_2;
            s->state_deadline = deadlineAfter(now, kHandshakeTimeout);
            break;
        case TCP_CLOSING:
            s->state = TCP_TIME_WAIT;
            s->state_deadline = deadlineAfter(now, kTimeWait);
            break;
        case TCP_LAST_ACK:
            s->state = TCP_CLOSED;
            return true;
        default:
            break;
        }
    } else if (s->state == TCP_LAST_ACK && acked > 0) {
        s->state_deadline = deadlineAfter(now, kLastAckTimeout);  // still draining
    }

    if (s->state == TCP_ESTABLISHED_CLOSING && s->tx_len == 0) {
        closeLocked(s, now);  // sends the FIN
        return false;
    }

    const bool more = acked > 0 && s->tx_len > s->tx_sent;
    const bool opened = s->peer_window > prevWindow && prevWindow < s->mss && s->tx_len > s->tx_sent;
    if (ackNow || stale || s->frag || more || opened || fresh > s->mss / 2) {
        if (s->karn_count != 2) s->karn_count = 0;
        tcp_send(s, now);
    } else if (fresh > 0) {
        tcp_sendsoon(s, now);
    }
    return false;
}

}  // namespace ryn::inet
