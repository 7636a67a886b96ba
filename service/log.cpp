// The trace log: one text file, newest record just before an end marker,
// wrapping to offset 0 once the write position passes 1 MiB.
//
// All state is constant-initialised: the library's load hook logs before any
// dynamic initialiser of this library may have run.
#include "service/log.h"

#include "service/primitives.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

unsigned char isdebugLog = 1;

namespace ryn::log {
namespace {

// A record as handed to the sink.
struct Log {
    LogObject object = OBJ_DEFAULT;
    LogLevel level = LOG_FATAL;
    unsigned line = 0;
    const char *file = "";
    const char *message = "";
    const void *data = nullptr;  // kept for sinks that want it; not written
    size_t dataLength = 0;
};

class Logger {
public:
    virtual ~Logger() = default;
    virtual void log(const Log &record) = 0;
};

int64_t realWallClock() { return ToolsGetTickCount64(); }

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards everything below
Logger *g_logger = nullptr;
std::atomic<bool> g_enabled{false};
WallClock g_clock = nullptr;
char g_path[4096] = {};  // empty: kDefaultPath

int64_t nowMs() { return g_clock ? g_clock() : realWallClock(); }

struct Locked {
    Locked() { pthread_mutex_lock(&g_mutex); }
    ~Locked() { pthread_mutex_unlock(&g_mutex); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

bool writeAll(int fd, const char *p, size_t n, off_t at) {
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return true;
}

// Finds the first end marker within the first kSearchWindow bytes, reading
// in chunks: a large or foreign file is never read whole into memory.
constexpr uint64_t kSearchWindow = kWrapOffset + 64 * 1024;
constexpr size_t kChunk = 64 * 1024;

bool findMarker(int fd, uint64_t &afterMarker) {
    char *buf = new (std::nothrow) char[kChunk + kEndMarkerLen];
    if (!buf) return false;  // allocation failure: start at offset 0
    size_t carried = 0;
    uint64_t base = 0;  // file offset of buf[0]
    bool found = false;
    while (base + carried < kSearchWindow) {
        ssize_t r = pread(fd, buf + carried, kChunk, static_cast<off_t>(base + carried));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        size_t have = carried + static_cast<size_t>(r);
        void *hit = memmem(buf, have, kEndMarker, kEndMarkerLen);
        if (hit) {
            afterMarker = base + static_cast<uint64_t>(static_cast<char *>(hit) - buf) + kEndMarkerLen;
            found = true;
            break;
        }
        // Keep the tail that could start a marker split across chunks.
        size_t keep = have < kEndMarkerLen - 1 ? have : kEndMarkerLen - 1;
        memmove(buf, buf + have - keep, keep);
        base += have - keep;
        carried = keep;
    }
    delete[] buf;
    return found;
}

// The only sink. The file lives in a world-writable directory, so it is
// opened without following links and used only when it is a regular file of
// our own user; otherwise the logger stays silent.
class FileLogger final : public Logger {
public:
    explicit FileLogger(const char *path) {
        previousTick_ = lastTick_ = nowMs();
        fd_ = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd_ >= 0) {
            struct stat st {};
            if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
                close(fd_);
                fd_ = -1;
                return;
            }
            uint64_t after = 0;
            if (findMarker(fd_, after)) pos_ = after;
        } else if (errno == ENOENT) {
            fd_ = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
    }
    ~FileLogger() override {
        if (fd_ >= 0) close(fd_);
    }

    void log(const Log &r) override {
        previousTick_ = lastTick_;
        lastTick_ = nowMs();
        // A clock stepped backwards gives a zero delta, not a huge one.
        uint64_t delta = lastTick_ >= previousTick_ ? static_cast<uint64_t>(lastTick_ - previousTick_) : 0;
        if (fd_ < 0) return;
        std::string line = formatLine(r.level, r.file, r.line, r.message, lastTick_, delta);
        // The newest record overwrites the marker in front of it. We know
        // where we wrote it; the read-back is only needed when we did not.
        if (pos_ >= kEndMarkerLen && (markerBehind_ || markerAt(pos_ - kEndMarkerLen))) pos_ -= kEndMarkerLen;
        markerBehind_ = false;
        uint64_t end = pos_ + line.size();
        if (end <= kWrapOffset) {
            line.append(kEndMarker, kEndMarkerLen);  // one write for line and marker
            if (writeAll(fd_, line.data(), line.size(), static_cast<off_t>(pos_))) {
                pos_ += line.size();
                markerBehind_ = true;
            }
            return;
        }
        if (!writeAll(fd_, line.data(), line.size(), static_cast<off_t>(pos_))) return;
        pos_ = 0;
        if (writeAll(fd_, kEndMarker, kEndMarkerLen, 0)) {
            pos_ = kEndMarkerLen;
            markerBehind_ = true;
        }
    }

private:
    bool markerAt(uint64_t offset) const {
        char back[kEndMarkerLen];
        return pread(fd_, back, kEndMarkerLen, static_cast<off_t>(offset)) == static_cast<ssize_t>(kEndMarkerLen) &&
               memcmp(back, kEndMarker, kEndMarkerLen) == 0;
    }

    int fd_ = -1;
    uint64_t pos_ = 0;
    bool markerBehind_ = false;  // we wrote the marker just before pos_
    int64_t previousTick_ = 0;
    int64_t lastTick_ = 0;
};

const char *label(LogLevel level) {
    switch (level) {
        case LOG_FATAL: return "FATAL:   ";
        case LOG_ERROR: return "ERROR:   ";
        case LOG_WARNING: return "WARNING: ";
        case LOG_INFO: return "INFO:    ";
        case LOG_DEBUG: return "DEBUG:   ";
        case LOG_SEND: return "SEND:    ";
        case LOG_RECEIVE: return "RECEIVE: ";
        case LOG_BINARY: return "BINARY:  ";
        default: break;
    }
    return "UNKNOWN:";
}

}  // namespace

bool enabled() noexcept { return g_enabled.load(std::memory_order_relaxed); }

void setClockForTesting(WallClock clock) {
    Locked lock;
    g_clock = clock;
}

void setPathForTesting(const std::string &path) {
    Locked lock;
    snprintf(g_path, sizeof g_path, "%s", path.c_str());
}

std::string formatLine(LogLevel level, const char *file, unsigned line, const char *message, int64_t wallMs,
                       uint64_t deltaMs) {
    time_t secs = static_cast<time_t>(wallMs / 1000);
    struct tm tm {};
    localtime_r(&secs, &tm);
    const char *slash = strrchr(file, '/');
    const char *base = slash ? slash + 1 : file;
    char head[160];
    int n = snprintf(head, sizeof head, "%s%02d:%02d:%02d %02d/%02d/%04d (%08lu)\t%20s:%u  \t", label(level),
                     tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                     static_cast<unsigned long>(deltaMs), base, line);
    std::string out;
    if (n >= static_cast<int>(sizeof head)) {
        // A very long base name: format again at full size.
        out.resize(static_cast<size_t>(n) + 1);
        snprintf(out.data(), out.size(), "%s%02d:%02d:%02d %02d/%02d/%04d (%08lu)\t%20s:%u  \t", label(level),
                 tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                 static_cast<unsigned long>(deltaMs), base, line);
        out.resize(static_cast<size_t>(n));
    } else if (n > 0) {
        out.assign(head, static_cast<size_t>(n));
    }
    out += message;
    out += '\n';
    return out;
}

}  // namespace ryn::log

using namespace ryn::log;

extern "C" {

void logCreate(void) {
    Locked lock;
    if (g_logger) return;
    g_logger = new (std::nothrow) FileLogger(g_path[0] ? g_path : kDefaultPath);
    g_enabled.store(g_logger != nullptr);
}

void logDestroy(void) {
    Locked lock;
    g_enabled.store(false);
    delete g_logger;
    g_logger = nullptr;
}

int logIsInitialized(void) {
    Locked lock;
    return g_logger ? 1 : 0;
}

void logMessage(LogObject object, LogLevel level, const char *file, int line, const void *data, size_t dataLength,
                const char *format, ...) {
    Locked lock;
    if (!g_logger || !format) return;
    char message[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);  // cut at 1023 characters
    va_end(ap);
    Log record;
    record.object = object;
    record.level = level;
    record.line = static_cast<unsigned>(line);
    record.file = file ? file : "";
    record.message = message;
    record.data = data;
    record.dataLength = data ? dataLength : 0;
    try {
        g_logger->log(record);
    } catch (...) {
        // Out of memory while formatting: the record is lost, the caller is not.
    }
}

void enableDebugLog(int enable) {
    isdebugLog = enable ? 1 : 0;
    if (enable)
        logCreate();
    else
        logDestroy();
}

int isDebugLogEnabled(void) { return isdebugLog ? 1 : 0; }

}  // extern "C"
