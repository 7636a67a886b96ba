// The deterministic byte stream and the checksum that the simulator's TCP
// applications and the end-to-end tests agree on, so that a transfer can be
// checked at either end without shipping the data to compare.
//
// Stream: 32-bit little-endian words; word k of seed s is
// x = (k + s) * 2654435761 mod 2^32, then x ^ (x >> 15). Checksum: CRC-32 as
// in zlib (reflected 0xEDB88320, initial and final inversion), so a Python
// peer can use zlib.crc32. Pure functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace spmsim {

inline uint32_t patternWord(uint32_t k, uint32_t seed) {
  uint32_t x = (k + seed) * 2654435761u;
  return x ^ (x >> 15);
}

inline uint8_t patternByte(uint64_t offset, uint32_t seed) {
  return static_cast<uint8_t>(patternWord(static_cast<uint32_t>(offset >> 2), seed) >> (8 * (offset & 3)));
}

// Bytes [offset, offset + len) of the stream.
inline void fillPattern(uint8_t* out, size_t len, uint64_t offset, uint32_t seed) {
  for (size_t i = 0; i < len; ++i) out[i] = patternByte(offset + i, seed);
}

class Crc32 {
 public:
  void update(const uint8_t* data, size_t len) {
    static const std::array<uint32_t, 256> table = [] {
      std::array<uint32_t, 256> t{};
      for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int b = 0; b < 8; ++b) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
      }
      return t;
    }();
    for (size_t i = 0; i < len; ++i) crc_ = table[(crc_ ^ data[i]) & 0xFF] ^ (crc_ >> 8);
  }
  uint32_t value() const { return crc_ ^ 0xFFFFFFFFu; }

 private:
  uint32_t crc_ = 0xFFFFFFFFu;
};

// CRC-32 of the first len bytes of the stream.
inline uint32_t patternCrc(uint64_t len, uint32_t seed) {
  Crc32 crc;
  uint8_t buf[4096];
  for (uint64_t off = 0; off < len;) {
    size_t n = static_cast<size_t>(len - off < sizeof buf ? len - off : sizeof buf);
    fillPattern(buf, n, off, seed);
    crc.update(buf, n);
    off += n;
  }
  return crc.value();
}

}  // namespace spmsim
