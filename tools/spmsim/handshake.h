// The terminal's side of the "CLIENT"/"CLIENTSERVER" detection handshake.
//
// The host writes "CLIENT" (no terminator) about once a second until the
// terminal answers with text containing "CLIENTSERVER". HandshakeScanner
// finds "CLIENT" in the bytes the terminal receives, also when it is cut
// across two reads or surrounded by line noise. Pure logic, no I/O; used by
// one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace spmsim {

inline constexpr std::string_view kClientText = "CLIENT";
inline constexpr std::string_view kServerAnswer = "CLIENTSERVER";

class HandshakeScanner {
 public:
  // Returns true when the bytes seen since the last reset() (or the last
  // match) now contain "CLIENT".
  bool feed(const uint8_t* data, size_t len);
  void reset() { held_ = 0; }

 private:
  // Keeps only the last kClientText.size() - 1 bytes: enough to match a
  // text cut anywhere, and nothing grows.
  char tail_[8] = {};
  size_t held_ = 0;
};

// A read of exactly "CLIENT" while PPP runs: the host has restarted its side
// and wants a new handshake (frames never look like this: they carry 0x7e).
bool isExactClient(const uint8_t* data, size_t len);

// True when the bytes contain no PPP flag (0x7e): plain text, not framing.
bool hasNoFlag(const uint8_t* data, size_t len);

}  // namespace spmsim
