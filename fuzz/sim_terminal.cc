// Fuzzes what the simulated terminal reads from the host: arbitrary bytes
// on the channel and the services connection, cut into chunks and
// interleaved with timer ticks, through the envelope reader, the TLV
// parser, the CONCERT request reader and the printer answer view.
#include "tools/terminal/terminal.h"

#include <cstddef>
#include <cstdint>

namespace {

struct NullOutput : simterm::Terminal::Output {
    size_t sent = 0;
    void send(simterm::Conn, const std::string &bytes) override { sent += bytes.size(); }
    void event(const std::string &) override {}
    void note(const std::string &) override {}
    void fail(const std::string &) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    NullOutput out;
    simterm::Terminal::Config config;
    config.pushResult = true;
    config.echoIntervalMs = 100;
    config.maxPayload = 1u << 16;
    config.wallClock = [] { return std::time_t(0); };
    simterm::Terminal terminal(config, out);
    uint64_t now = 0;
    terminal.connected(now);
    // Each chunk: one control byte (bit 7: connection, bits 0-5: length),
    // then that many bytes.
    size_t i = 0;
    while (i < size) {
        const uint8_t control = data[i++];
        const size_t len = control & 0x3F;
        const size_t take = len < size - i ? len : size - i;
        const auto conn = (control & 0x80) ? simterm::Conn::Services : simterm::Conn::Channel;
        terminal.received(conn, data + i, take, now);
        i += take;
        if (control & 0x40) {
            now += 700;
            terminal.tick(now);
        }
        if (!terminal.isConnected()) terminal.connected(now);
    }
    return 0;
}
