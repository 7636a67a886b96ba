// Deliberate datagram loss for the simulator's loss tests: "drop every Nth
// IP datagram" per direction, and one-shot rules such as "drop the next
// SYN-ACK sent to the host". Directions are seen from the terminal: rx is
// what the host sent, tx is what goes to the host.
//
// Pure logic: datagrams come in as bytes and are only classified (through
// the bounds-checked IpDatagramView), never changed. Owned and used by the
// simulator's single event-loop thread; no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace spmsim {

enum class Direction { kRx = 0, kTx = 1 };

// IPv4 header fields we read, named once.
namespace ip4 {
inline constexpr size_t kMinHeader = 20;
inline constexpr size_t kVersionIhl = 0;
inline constexpr size_t kTotalLength = 2;
inline constexpr size_t kFragment = 6;  // flags + fragment offset
inline constexpr size_t kProtocol = 9;
inline constexpr uint16_t kOffsetMask = 0x1fff;
inline constexpr uint8_t kIcmp = 1;
inline constexpr uint8_t kTcp = 6;
inline constexpr uint8_t kUdp = 17;
}  // namespace ip4

namespace tcp {
inline constexpr size_t kMinHeader = 20;
inline constexpr size_t kDataOffset = 12;
inline constexpr size_t kFlags = 13;
inline constexpr uint8_t kFin = 0x01;
inline constexpr uint8_t kSyn = 0x02;
inline constexpr uint8_t kRst = 0x04;
inline constexpr uint8_t kAck = 0x10;
}  // namespace tcp

// What a datagram is, as far as drop rules care. valid is false for bytes
// that are no well-formed IPv4 datagram (they still count as datagrams).
struct DatagramKind {
  bool valid = false;
  uint8_t protocol = 0;
  bool tcp = false;        // a TCP segment with a complete header
  uint8_t tcpFlags = 0;
  size_t tcpPayload = 0;
};

// Reads an IPv4 datagram's header (and a TCP header behind it) from bytes,
// checking every length against what was received.
DatagramKind classifyDatagram(const uint8_t* data, size_t len);
// "TCP SYN-ACK", "TCP FIN-ACK+DATA", "ICMP", "UDP", "IP 47", "INVALID".
std::string describeDatagram(const DatagramKind& kind);

enum class Match { kAny, kSyn, kSynAck, kFin, kRst, kData };
// Names: any, syn, syn-ack, fin, rst, data.
bool parseMatch(std::string_view name, Match* out);
bool parseDirection(std::string_view name, Direction* out);
const char* directionName(Direction d);
bool matches(Match m, const DatagramKind& kind);

class DropRules {
 public:
  // 0 switches the periodic drop off; otherwise datagrams N, 2N, ... of the
  // direction are dropped (counting from the moment this is set).
  void setEvery(Direction d, uint32_t n);
  // Drops the next datagram of direction d that matches m (rules of one
  // direction fire in the order armed).
  void armOnce(Direction d, Match m);

  struct Verdict {
    bool drop = false;
    bool oneShot = false;  // a one-shot rule fired (worth an event)
    DatagramKind kind;
  };
  Verdict decide(Direction d, const uint8_t* data, size_t len);

  uint64_t seen(Direction d) const { return side(d).seen; }
  uint64_t dropped(Direction d) const { return side(d).dropped; }
  size_t armed(Direction d) const { return side(d).once.size(); }

 private:
  struct Side {
    uint32_t every = 0;
    uint64_t sinceSet = 0;
    uint64_t seen = 0;
    uint64_t dropped = 0;
    std::deque<Match> once;
  };
  Side& side(Direction d) { return sides_[static_cast<int>(d)]; }
  const Side& side(Direction d) const { return sides_[static_cast<int>(d)]; }

  Side sides_[2];
};

}  // namespace spmsim
