// Goodput through the simulator's TUN mode: the Linux kernel in a private
// network namespace as the terminal's stack, lwIP in this process as the
// host's. Kernel to host (the direction the simulator paces) and host to
// kernel, unpaced and at 11520 B/s (115200 baud, ~11,100 B/s of TCP payload
// at most). Downloads are timed from the first byte to the sender's FIN;
// uploads include connection set-up. These are the reference figures for the host's own stack against
// the same peer. Needs root; skipped otherwise.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "netns/kernel_terminal.h"
#include "sim/lwip_client.h"
#include "sim/lwip_tcp.h"

namespace {

using namespace simtest;
using netnstest::KernelTerminal;
using netnstest::pythonTool;

constexpr double kLineBytesPerSecond = 11520.0;

struct Session {
  std::unique_ptr<KernelTerminal> term;
  std::unique_ptr<HostLine> host;
  std::unique_ptr<LwipClient> client;

  std::string start(const std::vector<std::string>& args) {
    std::string why = netnstest::unavailableReason();
    if (!why.empty()) return why;
    term = std::make_unique<KernelTerminal>(args);
    if (!term->ok()) return term->error();
    term->setRtoMin(1500);
    host = std::make_unique<HostLine>(term->linkPath());
    host->write("CLIENT");
    host->readUntil("CLIENTSERVER");
    if (!term->sim().waitEvent("HANDSHAKE")) return "no handshake";
    client = std::make_unique<LwipClient>(*host);
    if (!client->connect() || !client->runUntil([&] { return client->up; })) return "PPP did not come up";
    return "";
  }
};

// Kernel to host: python sends `bytes`, lwIP collects them.
void runDownload(benchmark::State& state, const std::vector<std::string>& args, size_t bytes) {
  Session s;
  std::string why = s.start(args);
  if (!why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  LwipServer sink(false);
  sink.listen(9);
  size_t total = 0;
  double seconds = 0;
  for (auto _ : state) {
    sink.connections.clear();
    // Timed from the first byte to the sender's FIN: the program's start
    // and the handshake are not the line's goodput.
    auto source = s.term->spawn(pythonTool("source-client 1.1.1.1 9 " + std::to_string(bytes)));
    std::chrono::steady_clock::time_point begin{};
    std::chrono::steady_clock::time_point end{};
    bool ok = s.client->runUntil(
        [&] {
          if (!sink.connections.empty()) {
            LwipTcp& conn = *sink.connections.front();
            if (begin == std::chrono::steady_clock::time_point{} && !conn.received.empty()) {
              begin = std::chrono::steady_clock::now();
            }
            if (conn.remoteClosed && end == std::chrono::steady_clock::time_point{}) {
              end = std::chrono::steady_clock::now();
              conn.shutdownWrite();
            }
          }
          return source->finished();
        },
        milliseconds(300000));
    if (!ok || sink.connections.empty() || sink.connections.front()->received.size() != bytes) {
      state.SkipWithError("transfer failed");
      return;
    }
    double t = std::chrono::duration<double>(end - begin).count();
    state.SetIterationTime(t);
    seconds += t;
    total += bytes;
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["share_of_11520"] = total / seconds / kLineBytesPerSecond;
  // Retransmissions by the kernel: on a paced line they should be none.
  auto stats = s.term->exec("nstat -az TcpRetransSegs | awk '/TcpRetransSegs/ {print $2}'");
  state.counters["kernel_retransmits"] = std::atof(stats.output.c_str());
}

// Host to kernel: lwIP sends `bytes` to python's sink.
void runUpload(benchmark::State& state, const std::vector<std::string>& args, size_t bytes) {
  Session s;
  std::string why = s.start(args);
  if (!why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  auto server = s.term->spawn(pythonTool("sink-server 5188"));
  if (!server->waitOutput("LISTENING")) {
    state.SkipWithError("sink server did not start");
    return;
  }
  const std::string data(bytes, 'x');
  size_t total = 0;
  double seconds = 0;
  int done = 0;
  for (auto _ : state) {
    auto begin = std::chrono::steady_clock::now();
    LwipTcp out;
    ip4_addr_t terminal;
    IP4_ADDR(&terminal, 1, 1, 1, 2);
    out.connect(terminal, 5188);
    out.send(data);
    out.shutdownWrite();
    auto reports = [&] {
      std::string o = server->output();
      int n = 0;
      for (size_t at = o.find("RECEIVED "); at != std::string::npos; at = o.find("RECEIVED ", at + 1)) ++n;
      return n;
    };
    bool ok = s.client->runUntil(
        [&] {
          out.flush();
          return out.failed || reports() > done;
        },
        milliseconds(300000));
    auto end = std::chrono::steady_clock::now();
    if (!ok || out.failed) {
      state.SkipWithError("transfer failed");
      return;
    }
    ++done;
    double t = std::chrono::duration<double>(end - begin).count();
    state.SetIterationTime(t);
    seconds += t;
    total += bytes;
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["share_of_11520"] = total / seconds / kLineBytesPerSecond;
}

void BM_TunDownloadUnpaced(benchmark::State& state) { runDownload(state, {}, 8 << 20); }
BENCHMARK(BM_TunDownloadUnpaced)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_TunUploadUnpaced(benchmark::State& state) { runUpload(state, {}, 8 << 20); }
BENCHMARK(BM_TunUploadUnpaced)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_TunDownloadPaced115200(benchmark::State& state) { runDownload(state, {"--pace", "11520"}, 200000); }
BENCHMARK(BM_TunDownloadPaced115200)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
