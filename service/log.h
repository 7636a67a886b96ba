// Internal face of the trace log.
//
// Modules log with RYN_LOG / RYN_LOG_DATA, which skip all formatting while
// the log is off (one relaxed atomic load). The file itself is managed by
// FileLogger; everything here is thread-safe: one mutex serialises records,
// and it is statically initialised so the load hook may log.
#pragma once

#include "ryn_log.h"

#include <cstdint>
#include <string>

namespace ryn::log {

// True while a logger exists. Cheap; may race with a concurrent switch-off,
// in which case logMessage drops the record.
bool enabled() noexcept;

// Clock seam for tests: wall-clock milliseconds since the epoch. Local time
// for the line is derived from the same value (localtime_r, honours TZ).
using WallClock = int64_t (*)();
void setClockForTesting(WallClock clock);  // nullptr: the real clock
// Path seam for tests; empty restores "/tmp/RYNLog.txt". Takes effect at the
// next logCreate.
void setPathForTesting(const std::string &path);

inline constexpr const char *kDefaultPath = "/tmp/RYNLog.txt";
inline constexpr const char *kEndMarker = "******************** END OF TRACE ********************";
inline constexpr size_t kEndMarkerLen = 54;
inline constexpr uint64_t kWrapOffset = 0x100000;

// Builds one line exactly as written to the file (exposed for tests).
std::string formatLine(LogLevel level, const char *file, unsigned line, const char *message,
                       int64_t wallMs, uint64_t deltaMs);

}  // namespace ryn::log

#define RYN_LOG(obj, level, ...)                                                     \
    do {                                                                             \
        if (::ryn::log::enabled())                                                   \
            ::logMessage((obj), (level), __FILE__, __LINE__, nullptr, 0, __VA_ARGS__); \
    } while (0)

#define RYN_LOG_DATA(obj, level, data, len, ...)                                       \
    do {                                                                               \
        if (::ryn::log::enabled())                                                     \
            ::logMessage((obj), (level), __FILE__, __LINE__, (data), (len), __VA_ARGS__); \
    } while (0)
