// Fuzzes the simulator's datagram classifier and drop rules: IPv4 and TCP
// headers as the host (or the kernel behind the TUN device) sends them.
//
// Input layout: byte 0 selects the rules (bits 0-2: drop every N in rx,
// bits 3-5: a one-shot match armed for tx); the rest is one datagram, fed
// once in each direction.
#include <cstddef>
#include <cstdint>

#include "tools/spmsim/drop_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  spmsim::DropRules rules;
  rules.setEvery(spmsim::Direction::kRx, data[0] & 0x07);
  static constexpr spmsim::Match kMatches[] = {spmsim::Match::kAny, spmsim::Match::kSyn, spmsim::Match::kSynAck,
                                               spmsim::Match::kFin, spmsim::Match::kRst, spmsim::Match::kData};
  rules.armOnce(spmsim::Direction::kTx, kMatches[((data[0] >> 3) & 0x07) % 6]);
  const uint8_t* datagram = data + 1;
  size_t len = size - 1;
  spmsim::DropRules::Verdict rx = rules.decide(spmsim::Direction::kRx, datagram, len);
  spmsim::DropRules::Verdict tx = rules.decide(spmsim::Direction::kTx, datagram, len);
  // What the classifier reports must lie inside what was received.
  if (rx.kind.tcpPayload > len || tx.kind.tcpPayload != rx.kind.tcpPayload) {
    __builtin_trap();
  }
  (void)spmsim::describeDatagram(rx.kind);
  return 0;
}
