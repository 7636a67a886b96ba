// How fast the simulated terminal's logic turns requests into answers:
// echo requests, transactions without a receipt, and transactions with the
// whole receipt exchange (the host's printer answers are prepared bytes).
// No sockets: this measures the protocol work the simulator adds to a test.
#include "services/wire.h"
#include "tools/terminal/protocol.h"
#include "tools/terminal/terminal.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

namespace st = simterm;

struct CountingOutput : st::Terminal::Output {
    size_t channelBytes = 0;
    std::vector<std::string> services;
    void send(st::Conn conn, const std::string &bytes) override {
        if (conn == st::Conn::Channel)
            channelBytes += bytes.size();
        else
            services.push_back(bytes);
    }
    void event(const std::string &) override {}
    void note(const std::string &) override {}
    void fail(const std::string &) override {}
};

std::string transaction() {
    return st::encodeMessage(st::channel::kTransactionReq, {{st::concert_req::kTermNum, "42"},
                                                            {st::concert_req::kAmount, "00001234"},
                                                            {st::concert_req::kCurrency, "978"},
                                                            {st::concert_req::kUserData, "ABCDEFGHIJ"}});
}

std::string printerAnswer(uint32_t code) {
    std::string record(16, '\0');
    auto *p = reinterpret_cast<unsigned char *>(record.data());
    ryn::wire::storeLe32(p, code);
    ryn::wire::storeLe32(p + 4, 1);
    return st::encodeMessage(st::answerTag(st::services::kPrinterReq), {}, record);
}

st::Terminal::Config config(bool receipt) {
    st::Terminal::Config c;
    c.receipt = receipt;
    c.echoIntervalMs = 0;
    c.wallClock = [] { return std::time_t(0); };
    return c;
}

void feed(st::Terminal &t, st::Conn conn, const std::string &bytes) {
    t.received(conn, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), 0);
}

void BM_EchoRequests(benchmark::State &state) {
    CountingOutput out;
    st::Terminal t(config(false), out);
    t.connected(0);
    const std::string echo = st::encodeMessage(st::channel::kEchoReq, {});
    for (auto _ : state) feed(t, st::Conn::Channel, echo);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EchoRequests);

void BM_TransactionWithoutReceipt(benchmark::State &state) {
    CountingOutput out;
    st::Terminal t(config(false), out);
    t.connected(0);
    const std::string request = transaction();
    for (auto _ : state) feed(t, st::Conn::Channel, request);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TransactionWithoutReceipt);

void BM_TransactionWithReceipt(benchmark::State &state) {
    CountingOutput out;
    st::Terminal t(config(true), out);
    t.connected(0);
    const std::string request = transaction();
    const std::string open = printerAnswer(st::printer::kOpen);
    for (auto _ : state) {
        out.services.clear();
        feed(t, st::Conn::Channel, request);
        // Answer each printer command as it comes, like the host.
        for (size_t i = 0; i < out.services.size(); ++i) {
            const std::string value = [&] {
                st::Tree tree;
                st::decodeMessage(out.services[i], tree);
                return tree.value();
            }();
            const uint32_t code = ryn::wire::loadLe32(reinterpret_cast<const unsigned char *>(value.data()));
            feed(t, st::Conn::Services, printerAnswer(code));
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TransactionWithReceipt);

}  // namespace

BENCHMARK_MAIN();
