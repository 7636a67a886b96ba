#include "tools/spmsim/tx_queue.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace spmsim {

namespace {
constexpr size_t kNoAtomic = std::numeric_limits<size_t>::max();
}

TxQueue::TxQueue(uint32_t bytesPerSecond, size_t capacity)
    : rate_(bytesPerSecond), capacity_(capacity) {
  // A burst of 20 ms keeps the line smooth; it must hold the longest atomic
  // text so that "CLIENTSERVER" can always go out in one write.
  burst_ = std::max(static_cast<double>(rate_) / 50.0, 16.0);
}

bool TxQueue::push(const uint8_t* data, size_t len) {
  if (len == 0) {
    return true;
  }
  if (len > capacity_ - std::min(capacity_, size())) {
    return false;
  }
  // Compact before growing when most of the buffer is already written.
  if (head_ > 0 && head_ >= bytes_.size() / 2) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  bytes_.insert(bytes_.end(), data, data + len);
  return true;
}

bool TxQueue::pushAtomic(const uint8_t* data, size_t len) {
  uint64_t begin = consumed_ + size();
  if (!push(data, len)) {
    return false;
  }
  if (len > 0) {
    atomics_.push_back({begin, begin + len});
  }
  return true;
}

void TxQueue::clear() {
  consumed_ += size();
  bytes_.clear();
  head_ = 0;
  atomics_.clear();
}

void TxQueue::refill(uint64_t nowUs) {
  if (rate_ == 0) {
    return;
  }
  if (!started_) {
    started_ = true;
    lastUs_ = nowUs;
    credit_ = burst_;
    return;
  }
  if (nowUs > lastUs_) {
    credit_ += static_cast<double>(nowUs - lastUs_) * rate_ / 1e6;
    credit_ = std::min(credit_, burst_);
  }
  lastUs_ = nowUs;
}

size_t TxQueue::nextAtomicOffset() const {
  if (atomics_.empty()) {
    return kNoAtomic;
  }
  const Range& r = atomics_.front();
  return r.begin > consumed_ ? static_cast<size_t>(r.begin - consumed_) : 0;
}

size_t TxQueue::minimumChunk() const {
  // Below this many bytes a paced write waits for more credit rather than
  // waking up for every byte (5 ms of line time).
  size_t chunk = std::max<size_t>(1, rate_ / 200);
  size_t atomicAt = nextAtomicOffset();
  if (atomicAt == 0) {
    // Whole, but never more than a full burst or it could never start.
    const Range& r = atomics_.front();
    return std::min(static_cast<size_t>(r.end - consumed_), static_cast<size_t>(burst_));
  }
  return std::min({chunk, size(), atomicAt});
}

TxQueue::Chunk TxQueue::writable(uint64_t nowUs) {
  if (empty()) {
    return {nullptr, 0};
  }
  refill(nowUs);
  size_t len = size();
  size_t atomicAt = nextAtomicOffset();
  if (atomicAt == 0) {
    // The atomic piece goes alone, whole.
    len = static_cast<size_t>(atomics_.front().end - consumed_);
  } else if (atomicAt != kNoAtomic) {
    len = std::min(len, atomicAt);  // stop in front of it
  }
  if (rate_ != 0) {
    if (credit_ + 1e-9 < static_cast<double>(minimumChunk())) {
      return {nullptr, 0};
    }
    if (atomicAt != 0) {
      len = std::min(len, static_cast<size_t>(credit_ + 1e-9));
    }
  }
  return {bytes_.data() + head_, len};
}

void TxQueue::consume(size_t n) {
  n = std::min(n, size());
  head_ += n;
  consumed_ += n;
  if (rate_ != 0) {
    credit_ = std::max(0.0, credit_ - static_cast<double>(n));
  }
  while (!atomics_.empty() && atomics_.front().end <= consumed_) {
    atomics_.pop_front();
  }
  // A partly written atomic piece is no longer atomic; the rest goes as
  // ordinary bytes.
  if (!atomics_.empty() && atomics_.front().begin < consumed_) {
    atomics_.pop_front();
  }
  if (head_ == bytes_.size()) {
    bytes_.clear();
    head_ = 0;
  }
}

int TxQueue::waitMs(uint64_t nowUs) {
  if (empty()) {
    return -1;
  }
  if (rate_ == 0) {
    return 0;
  }
  refill(nowUs);
  double need = static_cast<double>(minimumChunk()) - credit_;
  if (need <= 1e-9) {
    return 0;
  }
  double ms = need * 1000.0 / rate_;
  return std::max(1, static_cast<int>(ms + 0.999));
}

}  // namespace spmsim
