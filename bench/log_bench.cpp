// Cost of logging: records per second with the log on (one and two
// threads, each record formatted, read back for the marker and written),
// and the cost of a call site while the log is off.
#include "service/log.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string benchPath() {
    static std::string path = [] {
        char tmpl[] = "/tmp/ryn-bench-XXXXXX";
        std::string dir = mkdtemp(tmpl);
        return dir + "/RYNLog.txt";
    }();
    return path;
}

void BM_LogOn(benchmark::State &state) {
    if (state.thread_index() == 0) {
        logDestroy();
        ryn::log::setPathForTesting(benchPath());
        logCreate();
    }
    int i = 0;
    for (auto _ : state) RYN_LOG(OBJ_NETWORK, LOG_INFO, "tcp_tick socket %d state %s window %u", i++, "ESTABLISHED", 4096u);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        logDestroy();
        unlink(benchPath().c_str());
    }
}
BENCHMARK(BM_LogOn)->Threads(1)->Threads(2)->UseRealTime();

void BM_LogOffCallSite(benchmark::State &state) {
    logDestroy();
    int i = 0;
    for (auto _ : state) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "tcp_tick socket %d state %s window %u", i++, "ESTABLISHED", 4096u);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LogOffCallSite);

// What a caller pays when it asks the exported function first.
void BM_LogIsInitializedOff(benchmark::State &state) {
    logDestroy();
    for (auto _ : state) benchmark::DoNotOptimize(logIsInitialized());
}
BENCHMARK(BM_LogIsInitializedOff);

}  // namespace

BENCHMARK_MAIN();
