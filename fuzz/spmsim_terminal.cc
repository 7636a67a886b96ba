// Fuzzes what the serial terminal simulator reads from the host: handshake
// detection and lwIP's PPP-over-serial input behind it, fed in reads of
// varying sizes, with restarts in between.
//
// Input layout: byte 0 bit 0 = answer a handshake first; then records of
// [control byte][data]: control & 0x3f + 1 = read length, control bit 6 =
// simulate a terminal restart before the read, bit 7 = run lwIP's timers.
#include <cstddef>
#include <cstdint>

#include "tools/spmsim/terminal.h"

namespace {

class NullLine : public spmsim::Terminal::Line {
 public:
  void send(const uint8_t*, size_t len) override { sent += len; }
  void sendAtomic(const uint8_t*, size_t len) override { sent += len; }
  void discardPending() override {}
  size_t sent = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  NullLine line;
  spmsim::Terminal::Options options;
  options.ppp.papUser = "pos";
  options.ppp.papPassword = "pw";
  spmsim::Terminal terminal(options, line, [](const std::string&) {});
  if (data[0] & 1) {
    static const uint8_t kClient[] = {'C', 'L', 'I', 'E', 'N', 'T'};
    terminal.received(kClient, sizeof kClient);
  }
  size_t pos = 1;
  while (pos < size) {
    uint8_t control = data[pos++];
    size_t len = static_cast<size_t>(control & 0x3f) + 1;
    if (len > size - pos) {
      len = size - pos;
    }
    if (control & 0x40) {
      terminal.restart();
    }
    terminal.received(data + pos, len);
    if (control & 0x80) {
      terminal.runTimers();
    }
    pos += len;
  }
  return 0;
}
