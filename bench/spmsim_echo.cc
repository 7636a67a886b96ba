// Throughput of the serial terminal simulator: TCP echo through its PPP
// server over a pty, with lwIP in this process playing the host's stack.
// Unpaced shows the simulator's own cost; paced at 11520 B/s shows how much
// of an emulated 115200-baud line a transfer gets.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "sim/lwip_client.h"
#include "sim/sim_harness.h"

namespace {

using namespace simtest;

struct Session {
  TempDir dir;
  std::unique_ptr<SimProcess> sim;
  std::unique_ptr<HostLine> host;
  std::unique_ptr<LwipClient> client;
  TcpExchange echo;

  bool start(std::vector<std::string> extra) {
    std::vector<std::string> args{"--link", dir.file("terminal"), "--echo-port", "7"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<SimProcess>(args);
    if (!sim->waitEvent("READY ")) return false;
    host = std::make_unique<HostLine>(dir.file("terminal"));
    host->write("CLIENT");
    host->readUntil("CLIENTSERVER");
    if (!sim->waitEvent("HANDSHAKE")) return false;
    client = std::make_unique<LwipClient>(*host);
    if (!client->connect() || !client->runUntil([&] { return client->up; })) return false;
    return echo.open(*client, 7);
  }

  ~Session() {
    echo.close();
    client.reset();
  }
};

void runEcho(benchmark::State& state, std::vector<std::string> options, size_t chunk) {
  Session s;
  if (!s.start(std::move(options))) {
    state.SkipWithError("simulator session did not come up");
    return;
  }
  std::string data(chunk, '\0');
  for (size_t i = 0; i < chunk; ++i) data[i] = static_cast<char>(i * 31 + 7);
  size_t total = 0;
  for (auto _ : state) {
    s.echo.received.clear();
    if (!s.echo.exchange(*s.client, data, data.size(), milliseconds(120000))) {
      state.SkipWithError("echo failed");
      return;
    }
    total += data.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
}

void BM_EchoUnpaced(benchmark::State& state) { runEcho(state, {}, 256 * 1024); }
BENCHMARK(BM_EchoUnpaced)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EchoPaced115200(benchmark::State& state) { runEcho(state, {"--pace", "11520"}, 23040); }
BENCHMARK(BM_EchoPaced115200)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
