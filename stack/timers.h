// Millisecond tick and deadline arithmetic shared by PPP, the embedded stack
// and the bridges, plus the small random-number helpers of the link.
//
// A tick is the monotonic clock in milliseconds truncated to 32 bits; a
// deadline is a tick value, 0 meaning "no deadline". Deadlines are compared
// with a signed difference, so they stay correct across the 49.7-day wrap of
// the tick. Every function may be called from any thread. The clock seam is
// for tests only and must not be changed while other threads read the tick.
#pragma once

#include <cstdint>

// Tick reported when the monotonic clock cannot be read; also an invalid deadline.
inline constexpr uint32_t kTickUnavailable = 0xFFFFFFFFu;

uint32_t TIME_READ_MS();
uint32_t GetTime();
// Deadline ms milliseconds from now. Never returns 0 (which would mean "no
// deadline"); kTickUnavailable when the clock cannot be read.
uint32_t set_timeout(uint32_t ms);
// 1 when the deadline has passed, 0 otherwise; 0 and kTickUnavailable never expire.
int chk_timeout(uint32_t deadline);
int chk_timeout_notrace(uint32_t deadline);
void delay_seconds(uint16_t seconds);
// Monotonic milliseconds for elapsed-time measurements (not wall-clock time,
// so setting the system clock does not distort them).
uint64_t GetTickCount64();

// Seeds the generator behind magic() and Random() (called at each link start).
void magic_init();
// A non-zero random 32-bit number (PPP magic numbers).
uint32_t magic();
// Uniform integer between a and b inclusive, in either order.
uint32_t Random(uint32_t a, uint32_t b);

namespace ryn::stack {
// Test seam: replaces the monotonic tick source; nullptr restores the clock.
using TickSource = uint32_t (*)();
void setTickSourceForTesting(TickSource source);
// True when deadline a is strictly later than tick b, wrap-safe.
inline bool tickAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }
}  // namespace ryn::stack
