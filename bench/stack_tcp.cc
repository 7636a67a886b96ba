// Bulk TCP through two of our stacks joined by an in-memory wire: the CPU
// the IP input, checksums and the TCP engine cost per megabyte moved (no
// serial line, no PPP framing), and the same with one datagram in 7 lost.
#include "stack/loopback_pair.h"  // tests/stack

#include <benchmark/benchmark.h>

#include <vector>

namespace {
using ryn::inet::TcpSocket;
using ryn::inet::testing::LoopbackPair;

void BM_TcpBulk(benchmark::State &state) {
    const size_t bytes = 1u << 20;
    std::vector<uint8_t> data(bytes, 0x5A);
    uint8_t buf[8192];
    for (auto _ : state) {
        LoopbackPair p;
        p.a.out.dropEvery = p.b.out.dropEvery = static_cast<unsigned>(state.range(0));
        TcpSocket *srv = &p.b.tcp.pool(0), *cli = &p.a.tcp.pool(0);
        p.b.tcp.tcp_listen(srv, 7000, 0, 0, 0, p.b.now);
        p.a.tcp.tcp_open(cli, 0, 0x01010102, 7000, p.a.now);
        size_t written = 0, got = 0;
        for (int step = 0; step < 1000000 && got < bytes; ++step) {
            if (written < bytes) {
                int n = p.a.tcp.tcp_write(cli, data.data() + written, static_cast<int>(bytes - written), p.a.now);
                if (n > 0) written += static_cast<size_t>(n);
            }
            p.deliver();
            int r;
            while ((r = p.b.tcp.tcp_read(srv, buf, sizeof buf, p.b.now)) > 0) got += static_cast<size_t>(r);
            p.deliver();
            p.advance(10);
        }
        if (got != bytes) state.SkipWithError("transfer incomplete");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_TcpBulk)->Arg(0)->Arg(7)->Unit(benchmark::kMillisecond);

void BM_Checksum1500(benchmark::State &state) {
    std::vector<uint8_t> d(1500, 0xA5);
    for (auto _ : state) benchmark::DoNotOptimize(ryn::inet::inchksum(d.data(), d.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1500);
}
BENCHMARK(BM_Checksum1500);
}  // namespace

BENCHMARK_MAIN();
