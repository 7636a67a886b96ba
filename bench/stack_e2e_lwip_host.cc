// The reference host for bench/stack_e2e.cc: lwIP's PPP and TCP in a
// process of its own (lwIP and our link layer cannot share one), moving
// bytes of the test stream to the simulator's sink or from its source, so
// the benchmark can put our stack's goodput next to lwIP<->lwIP over the
// same pty.
//
//   stack_e2e_lwip_host LINK up|down BYTES SEED
//
// prints "RESULT <bytes> <seconds> <cpu seconds> <first byte seconds>" (timed from the
// established connection to the peer's FIN; CPU of this whole process over
// the same span) or "ERROR <why>", and exits 0 or 1.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/lwip_tcp.h"
#include "tools/spmsim/pattern.h"

namespace {

using namespace simtest;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int fail(const std::string& why) {
  std::printf("ERROR %s\n", why.c_str());
  return 1;
}

std::string stream(size_t len, uint32_t seed) {
  std::string s(len, '\0');
  spmsim::fillPattern(reinterpret_cast<uint8_t*>(s.data()), len, 0, seed);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[2], "up") != 0 && std::strcmp(argv[2], "down") != 0)) {
    std::fprintf(stderr, "usage: %s LINK up|down BYTES SEED\n", argv[0]);
    return 2;
  }
  const bool up = std::strcmp(argv[2], "up") == 0;
  const size_t bytes = std::strtoull(argv[3], nullptr, 10);
  const auto seed = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
  const milliseconds deadline(600000);

  HostLine line(argv[1]);
  if (!line.isOpen()) return fail("cannot open the line");
  line.write("CLIENT");
  line.readUntil("CLIENTSERVER");
  LwipClient client(line);
  if (!client.connect() || !client.runUntil([&] { return client.up; })) return fail("PPP did not come up");

  ip4_addr_t terminal;
  IP4_ADDR(&terminal, 1, 1, 1, 2);
  LwipTcp conn;
  if (!conn.connect(terminal, up ? 9 : 19) || !client.runUntil([&] { return conn.connected || conn.failed; }) ||
      !conn.connected) {
    return fail("no connection");
  }
  const std::string data = up ? stream(bytes, seed) : std::string();
  const double cpu0 = cpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  if (up) {
    conn.send(data);
    conn.shutdownWrite();
  } else {
    conn.send(std::to_string(bytes) + " fin " + std::to_string(seed) + "\n");
  }
  double firstByte = 0;
  bool done = client.runUntil(
      [&] {
        conn.flush();
        if (firstByte == 0 && !conn.received.empty()) {
          firstByte = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        return conn.remoteClosed || conn.failed;
      },
      deadline);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = cpuSeconds() - cpu0;
  if (!done || conn.failed) return fail("transfer did not finish");
  if (!up && conn.received != stream(bytes, seed)) return fail("received data differs");
  std::printf("RESULT %zu %.6f %.6f %.6f\n", bytes, seconds, cpu, firstByte);
  return 0;
}
