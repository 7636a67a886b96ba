#include "tools/spmsim/handshake.h"

#include <algorithm>
#include <cstring>

namespace spmsim {

bool HandshakeScanner::feed(const uint8_t* data, size_t len) {
  const size_t keep = kClientText.size() - 1;
  static_assert(sizeof(tail_) >= 5);
  size_t pos = 0;
  while (pos < len) {
    // Window = held tail + the next slice of input, small and on the stack.
    char window[64 + 8];
    std::memcpy(window, tail_, held_);
    size_t take = std::min<size_t>(64, len - pos);
    std::memcpy(window + held_, data + pos, take);
    size_t wlen = held_ + take;
    pos += take;
    std::string_view view(window, wlen);
    if (view.find(kClientText) != std::string_view::npos) {
      held_ = 0;
      return true;
    }
    held_ = std::min(keep, wlen);
    std::memcpy(tail_, window + wlen - held_, held_);
  }
  return false;
}

bool isExactClient(const uint8_t* data, size_t len) {
  return len == kClientText.size() && std::memcmp(data, kClientText.data(), len) == 0;
}

bool hasNoFlag(const uint8_t* data, size_t len) {
  return std::memchr(data, 0x7e, len) == nullptr;
}

}  // namespace spmsim
