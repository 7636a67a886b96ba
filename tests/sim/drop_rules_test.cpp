// The simulator's deliberate loss: datagram classification from literal
// bytes (including impossible lengths) and the drop rules' decisions.
#include <gtest/gtest.h>

#include <vector>

#include "tools/spmsim/drop_rules.h"

namespace spmsim {
namespace {

using Bytes = std::vector<uint8_t>;

// IPv4 (20 bytes, no options) + TCP (20 bytes) + payload.
Bytes segment(uint8_t flags, size_t payload = 0) {
  size_t total = 40 + payload;
  Bytes d = {0x45, 0x00, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0, 1, 0x40, 0, 64, 6, 0, 0,
             1, 1, 1, 1, 1, 1, 1, 2,
             0x13, 0x88, 0xc0, 0x00, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, flags, 0x20, 0x00, 0, 0, 0, 0};
  d.resize(total, 0xab);
  return d;
}

TEST(DatagramClassification, ReadsFlagsAndPayloadOnlyWithinWhatArrived) {
  Bytes options = segment(tcp::kSyn);
  options[32] = 0x60;  // data offset 24: a 4-byte option inside the segment
  options.insert(options.begin() + 40, {2, 4, 5, 0xb4});
  options[3] = 44;
  Bytes truncated = segment(tcp::kAck, 100);
  truncated.resize(60);  // total length says 140
  Bytes shortIhl = segment(tcp::kAck);
  shortIhl[0] = 0x44;
  Bytes bigOffset = segment(tcp::kAck);
  bigOffset[32] = 0xf0;  // 60-byte TCP header in a 20-byte segment
  Bytes fragment = segment(tcp::kSyn, 8);
  fragment[6] = 0x00;
  fragment[7] = 0x10;  // offset 16*8: no TCP header here
  Bytes icmp = segment(0);
  icmp[9] = 1;

  struct Case {
    const char* name;
    Bytes bytes;
    bool valid;
    bool tcp;
    uint8_t flags;
    size_t payload;
    const char* text;
  };
  const Case cases[] = {
      {"syn", segment(tcp::kSyn), true, true, tcp::kSyn, 0, "TCP SYN"},
      {"syn with an mss option", options, true, true, tcp::kSyn, 0, "TCP SYN"},
      {"fin+data", segment(tcp::kFin | tcp::kAck, 10), true, true, 0x11, 10, "TCP FIN-ACK+DATA"},
      {"ack with trailing link padding", [] { Bytes d = segment(tcp::kAck, 5); d.resize(d.size() + 7); return d; }(),
       true, true, tcp::kAck, 5, "TCP ACK+DATA"},
      {"total length beyond received", truncated, false, false, 0, 0, "INVALID"},
      {"ihl below 5", shortIhl, false, false, 0, 0, "INVALID"},
      {"data offset beyond segment", bigOffset, true, false, 0, 0, "TCP"},
      {"later fragment", fragment, true, false, 0, 0, "TCP"},
      {"icmp", icmp, true, false, 0, 0, "ICMP"},
      {"empty", Bytes{}, false, false, 0, 0, "INVALID"},
      {"ipv6 version", Bytes(40, 0x60), false, false, 0, 0, "INVALID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DatagramKind k = classifyDatagram(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(k.valid, c.valid);
    EXPECT_EQ(k.tcp, c.tcp);
    EXPECT_EQ(k.tcpFlags, c.flags);
    EXPECT_EQ(k.tcpPayload, c.payload);
    EXPECT_EQ(describeDatagram(k), c.text);
  }
}

TEST(DropRules, EveryNthPerDirectionAndOneShotsInOrder) {
  DropRules rules;
  rules.setEvery(Direction::kRx, 3);
  Bytes ack = segment(tcp::kAck, 1);
  std::vector<bool> rx;
  for (int i = 0; i < 7; ++i) rx.push_back(rules.decide(Direction::kRx, ack.data(), ack.size()).drop);
  EXPECT_EQ(rx, (std::vector<bool>{false, false, true, false, false, true, false}));
  EXPECT_FALSE(rules.decide(Direction::kTx, ack.data(), ack.size()).drop) << "tx has no periodic rule";

  rules.armOnce(Direction::kTx, Match::kSynAck);
  rules.armOnce(Direction::kTx, Match::kFin);
  Bytes syn = segment(tcp::kSyn);
  Bytes synAck = segment(tcp::kSyn | tcp::kAck);
  Bytes fin = segment(tcp::kFin | tcp::kAck);
  struct Step {
    const Bytes* datagram;
    bool drop;
  };
  // A SYN is not a SYN-ACK, a FIN may fire before the SYN-ACK rule, and
  // each rule fires once.
  const Step steps[] = {{&syn, false}, {&fin, true}, {&synAck, true}, {&synAck, false}, {&fin, false}};
  for (const Step& s : steps) {
    DropRules::Verdict v = rules.decide(Direction::kTx, s.datagram->data(), s.datagram->size());
    EXPECT_EQ(v.drop, s.drop) << describeDatagram(v.kind);
    EXPECT_EQ(v.oneShot, s.drop);
  }
  EXPECT_EQ(rules.armed(Direction::kTx), 0u);
  EXPECT_EQ(rules.seen(Direction::kRx), 7u);
  EXPECT_EQ(rules.dropped(Direction::kRx), 2u);
  EXPECT_EQ(rules.dropped(Direction::kTx), 2u);
}

TEST(DropRules, NamesOfDirectionsAndKinds) {
  Match m;
  Direction d;
  EXPECT_TRUE(parseMatch("syn-ack", &m));
  EXPECT_EQ(m, Match::kSynAck);
  EXPECT_TRUE(parseMatch("data", &m));
  EXPECT_EQ(m, Match::kData);
  EXPECT_FALSE(parseMatch("SYN", &m));
  EXPECT_FALSE(parseMatch("", &m));
  EXPECT_TRUE(parseDirection("tx", &d));
  EXPECT_EQ(d, Direction::kTx);
  EXPECT_FALSE(parseDirection("both", &d));
}

}  // namespace
}  // namespace spmsim
