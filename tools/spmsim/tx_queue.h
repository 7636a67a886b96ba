// Transmit queue of the simulated terminal's serial line: bytes waiting to
// be written to the pty, with an optional pace (bytes per second) that
// emulates a slow UART.
//
// Pure logic: time is passed in (microseconds on any monotonic clock) and
// nothing here does I/O, so the pacing is testable without sleeps. Owned and
// used by the simulator's single event-loop thread; no locking.
//
// "Atomic" pieces (the "CLIENT"/"CLIENTSERVER" texts) are always offered in
// one contiguous chunk that starts a write of its own, because the host
// recognises a terminal restart only when "CLIENT" arrives in one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace spmsim {

class TxQueue {
 public:
  // bytesPerSecond 0 means unpaced. capacity bounds the queued bytes: a line
  // nobody reads must not grow the simulator without limit.
  explicit TxQueue(uint32_t bytesPerSecond = 0, size_t capacity = 1u << 20);

  // Appends bytes; returns false (and queues nothing) when they do not fit.
  bool push(const uint8_t* data, size_t len);
  bool pushAtomic(const uint8_t* data, size_t len);

  // Drops everything queued (a terminal restart or a pulled cable).
  void clear();

  size_t size() const { return bytes_.size() - head_; }
  bool empty() const { return size() == 0; }

  // The bytes that may be written now (pointer and length; length 0 when the
  // pace does not allow a write yet or nothing is queued).
  struct Chunk {
    const uint8_t* data;
    size_t len;
  };
  Chunk writable(uint64_t nowUs);

  // Marks n bytes of the last chunk as written (n <= chunk length).
  void consume(size_t n);

  // Milliseconds until writable() offers bytes: -1 when the queue is empty,
  // 0 when bytes can be written now.
  int waitMs(uint64_t nowUs);

  uint32_t bytesPerSecond() const { return rate_; }

 private:
  void refill(uint64_t nowUs);
  size_t nextAtomicOffset() const;  // distance from head, or SIZE_MAX
  size_t minimumChunk() const;

  uint32_t rate_;
  size_t capacity_;
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
  // Atomic pieces as [start, end) positions counted from the start of the
  // stream (consumed_ + index into bytes_ after head_).
  struct Range {
    uint64_t begin;
    uint64_t end;
  };
  std::deque<Range> atomics_;
  uint64_t consumed_ = 0;  // bytes ever consumed
  // Pacing credit in bytes (fractional), capped at burst_.
  double credit_ = 0;
  double burst_ = 0;
  uint64_t lastUs_ = 0;
  bool started_ = false;
};

}  // namespace spmsim
