// Two complete stacks (1.1.1.1 and 1.1.1.2) joined by an in-memory wire
// that can drop every Nth datagram. Used by the transfer tests and the
// benchmark. The wire is locked so a pump thread and writer threads may
// share it.
#pragma once

#include "stack/ip_layer.h"
#include "stack/tcp_engine.h"

#include <deque>
#include <mutex>
#include <vector>

namespace ryn::inet::testing {

class LoopbackPair {
public:
    struct Wire final : IpDevice {
        std::mutex mu;
        std::deque<std::vector<uint8_t>> frames;  // GUARDED_BY(mu)
        unsigned dropEvery = 0, count = 0;        // GUARDED_BY(mu)
        bool transmit(uint8_t *d, size_t n) override {
            std::lock_guard<std::mutex> g(mu);
            ++count;
            if (dropEvery && count % dropEvery == 0) return true;  // lost on the line
            frames.emplace_back(d, d + n);
            return true;
        }
        bool pop(std::vector<uint8_t> &out) {
            std::lock_guard<std::mutex> g(mu);
            if (frames.empty()) return false;
            out = std::move(frames.front());
            frames.pop_front();
            return true;
        }
    };
    struct Side final : IpUpper {
        IpAddressing addr;
        Wire out;
        IpLayer ip{addr, out, *this};
        TcpEngine tcp{ip};
        std::atomic<uint32_t> now{0};
        void tcpInput(const Ipv4View &v) override { tcp.input(v, now); }
        void udpInput(const Ipv4View &, bool) override {}
        void tcpCancel(const Ipv4View &q, int k, int c, uint32_t g) override { tcp.tcp_cancel(q, k, c, g, now); }
        void udpCancel(const Ipv4View &, int, int, uint32_t) override {}
    };

    LoopbackPair() {
        a.addr.my_ip_addr = 0x01010101;
        b.addr.my_ip_addr = 0x01010102;
        a.addr.sin_mask = b.addr.sin_mask = 0xFFFFFF00;
    }

    // Delivers everything on the wire both ways; true if anything moved.
    bool deliver() {
        bool moved = false;
        std::vector<uint8_t> f;
        while (a.out.pop(f)) {
            b.ip.input(f.data(), f.size(), false, b.now);
            moved = true;
        }
        while (b.out.pop(f)) {
            a.ip.input(f.data(), f.size(), false, a.now);
            moved = true;
        }
        return moved;
    }
    // Advances both clocks by ms and runs their timer passes.
    void advance(uint32_t ms) {
        a.now += ms;
        b.now += ms;
        a.tcp.timers(a.now);
        b.tcp.timers(b.now);
    }

    Side a, b;
};

}  // namespace ryn::inet::testing
