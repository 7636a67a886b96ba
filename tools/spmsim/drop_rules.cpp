#include "tools/spmsim/drop_rules.h"

namespace spmsim {

namespace {

// A received byte range; every read is checked against its size.
class IpDatagramView {
 public:
  IpDatagramView(const uint8_t* data, size_t len) : data_(data), len_(len) {}

  bool checkIp() const {
    if (len_ < ip4::kMinHeader || (data_[ip4::kVersionIhl] >> 4) != 4) return false;
    size_t header = headerLength();
    size_t total = totalLength();
    return header >= ip4::kMinHeader && header <= total && total <= len_;
  }
  size_t headerLength() const { return static_cast<size_t>(data_[ip4::kVersionIhl] & 0x0f) * 4; }
  size_t totalLength() const { return u16(ip4::kTotalLength); }
  uint8_t protocol() const { return data_[ip4::kProtocol]; }
  bool firstFragment() const { return (u16(ip4::kFragment) & ip4::kOffsetMask) == 0; }

 private:
  size_t u16(size_t at) const { return static_cast<size_t>(data_[at]) << 8 | data_[at + 1]; }

  const uint8_t* data_;
  size_t len_;
};

}  // namespace

DatagramKind classifyDatagram(const uint8_t* data, size_t len) {
  DatagramKind kind;
  IpDatagramView ip(data, len);
  if (data == nullptr || !ip.checkIp()) {
    return kind;
  }
  kind.valid = true;
  kind.protocol = ip.protocol();
  if (kind.protocol != ip4::kTcp || !ip.firstFragment()) {
    return kind;
  }
  size_t header = ip.headerLength();
  size_t segment = ip.totalLength() - header;  // checkIp: header <= total
  if (segment < tcp::kMinHeader) {
    return kind;
  }
  const uint8_t* t = data + header;
  size_t offset = static_cast<size_t>(t[tcp::kDataOffset] >> 4) * 4;
  if (offset < tcp::kMinHeader || offset > segment) {
    return kind;
  }
  kind.tcp = true;
  kind.tcpFlags = t[tcp::kFlags];
  kind.tcpPayload = segment - offset;
  return kind;
}

std::string describeDatagram(const DatagramKind& kind) {
  if (!kind.valid) return "INVALID";
  switch (kind.protocol) {
    case ip4::kIcmp:
      return "ICMP";
    case ip4::kUdp:
      return "UDP";
    case ip4::kTcp:
      break;
    default:
      return "IP " + std::to_string(kind.protocol);
  }
  if (!kind.tcp) return "TCP";
  std::string flags;
  auto add = [&](uint8_t bit, const char* name) {
    if (kind.tcpFlags & bit) {
      if (!flags.empty()) flags += '-';
      flags += name;
    }
  };
  add(tcp::kSyn, "SYN");
  add(tcp::kFin, "FIN");
  add(tcp::kRst, "RST");
  add(tcp::kAck, "ACK");
  if (kind.tcpPayload > 0) flags += flags.empty() ? "DATA" : "+DATA";
  return "TCP " + (flags.empty() ? std::string("NONE") : flags);
}

bool parseMatch(std::string_view name, Match* out) {
  struct Entry {
    std::string_view name;
    Match match;
  };
  static constexpr Entry kNames[] = {{"any", Match::kAny}, {"syn", Match::kSyn}, {"syn-ack", Match::kSynAck},
                                     {"fin", Match::kFin}, {"rst", Match::kRst}, {"data", Match::kData}};
  for (const Entry& e : kNames) {
    if (e.name == name) {
      *out = e.match;
      return true;
    }
  }
  return false;
}

bool parseDirection(std::string_view name, Direction* out) {
  if (name == "rx") {
    *out = Direction::kRx;
  } else if (name == "tx") {
    *out = Direction::kTx;
  } else {
    return false;
  }
  return true;
}

const char* directionName(Direction d) { return d == Direction::kRx ? "rx" : "tx"; }

bool matches(Match m, const DatagramKind& kind) {
  uint8_t f = kind.tcpFlags;
  switch (m) {
    case Match::kAny:
      return true;
    case Match::kSyn:
      return kind.tcp && (f & tcp::kSyn) && !(f & tcp::kAck);
    case Match::kSynAck:
      return kind.tcp && (f & tcp::kSyn) && (f & tcp::kAck);
    case Match::kFin:
      return kind.tcp && (f & tcp::kFin);
    case Match::kRst:
      return kind.tcp && (f & tcp::kRst);
    case Match::kData:
      return kind.tcp && kind.tcpPayload > 0;
  }
  return false;
}

void DropRules::setEvery(Direction d, uint32_t n) {
  side(d).every = n;
  side(d).sinceSet = 0;
}

void DropRules::armOnce(Direction d, Match m) { side(d).once.push_back(m); }

DropRules::Verdict DropRules::decide(Direction d, const uint8_t* data, size_t len) {
  Side& s = side(d);
  Verdict v;
  v.kind = classifyDatagram(data, len);
  ++s.seen;
  ++s.sinceSet;
  for (auto it = s.once.begin(); it != s.once.end(); ++it) {
    if (matches(*it, v.kind)) {
      s.once.erase(it);
      v.drop = true;
      v.oneShot = true;
      break;
    }
  }
  if (!v.drop && s.every != 0 && s.sinceSet % s.every == 0) {
    v.drop = true;
  }
  if (v.drop) ++s.dropped;
  return v;
}

}  // namespace spmsim
