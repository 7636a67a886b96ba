// Framing throughput: encoding and decoding full-size IP frames under the
// map used before negotiation (every control character escaped) and the
// usual negotiated one (ACCM 0). Catches per-byte allocation or logging.
#include "link/ppp_frame.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {
using namespace ryn::ppp;

std::vector<uint8_t> datagramFrame() {
    std::vector<uint8_t> f = {0xFF, 0x03, 0x00, 0x21};
    std::mt19937 rng(7);
    for (int i = 0; i < kMaxMtu; ++i) f.push_back(static_cast<uint8_t>(rng()));
    return f;
}

FrameEncoder encoderFor(uint32_t word0) {
    FrameEncoder enc;
    std::array<uint32_t, 8> map{};
    map[0] = word0;
    map[3] = 0x60000000u;
    enc.setXmitMap(map);
    return enc;
}

void BM_Encode(benchmark::State &state) {
    const auto frame = datagramFrame();
    FrameEncoder enc = encoderFor(static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> out(kTxCapacity);
    for (auto _ : state) {
        size_t n = enc.encode(frame.data(), frame.size(), true, out.data(), out.size());
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_Encode)->Arg(0xFFFFFFFF)->Arg(0);

class Null final : public FrameDecoder::Sink {
public:
    size_t bytes = 0;
    void onFrame(const ReceivedFrame &f) override { bytes += f.length; }
};

void BM_Decode(benchmark::State &state) {
    const auto frame = datagramFrame();
    FrameEncoder enc = encoderFor(static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> line(kTxCapacity);
    line.resize(enc.encode(frame.data(), frame.size(), true, line.data(), line.size()));
    FrameDecoder dec;
    Null sink;
    for (auto _ : state) {
        dec.feed(line.data(), line.size(), sink);
        benchmark::DoNotOptimize(sink.bytes);
    }
    if (sink.bytes == 0) state.SkipWithError("no frame decoded");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_Decode)->Arg(0xFFFFFFFF)->Arg(0);
}  // namespace

BENCHMARK_MAIN();
