#include "link/serial_line.h"

#include "link/lcp_link.h"
#include "link/rynsock.h"
#include "service/config.h"
#include "service/log.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

std::atomic<int32_t> sockdtefd{-1};

namespace ryn::link {
namespace {
std::mutex g_lineLock;
std::atomic<bool> g_needsFlag{false};

const LineSysCalls kRealCalls{
    [](int fd, const void *b, size_t n) { return ::write(fd, b, n); },
    [](int fd, void *b, size_t n) { return ::read(fd, b, n); },
    [](pollfd *f, nfds_t n, int t) { return ::poll(f, n, t); },
};
std::atomic<const LineSysCalls *> g_calls{&kRealCalls};

const LineSysCalls &calls() { return *g_calls.load(std::memory_order_acquire); }

// Sleeps about ms milliseconds, returning early once a stop is requested.
void pauseUnlessExit(int ms) {
    for (int slept = 0; slept < ms && GlobalExit.load() == 0; slept += 50) usleep(50 * 1000);
}

// REQUIRES: g_lineLock held.
void closeLocked() {
    int fd = sockdtefd.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool configureRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcflush(fd, TCIFLUSH);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}
}  // namespace

std::mutex &lineLock() { return g_lineLock; }
bool lineNeedsFlag() { return g_needsFlag.load(); }
void clearLineNeedsFlag() { g_needsFlag.store(false); }

std::string_view devicePathFromActivation(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    text = text.substr(0, text.find(';'));
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) return {};
    std::string_view rest = text.substr(eq + 1);
    return rest.substr(0, rest.find('='));
}

int sendLocked(const void *bytes, size_t length) {
    int fd = sockdtefd.load();
    if (fd < 0) return 0;
    const auto *p = static_cast<const uint8_t *>(bytes);
    size_t done = 0;
    int waitedMs = 0;
    while (done < length) {
        ssize_t n = calls().write(fd, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            int err = errno;
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "SendToDteSock ret < 0 errno=%d - %s ", err, strerror(err));
            if (done > 0) g_needsFlag.store(true);
            return 0;
        }
        // The line is full: wait for room, within a bounded budget.
        if (waitedMs >= kWriteBudgetMs) break;
        pollfd pfd{fd, POLLOUT, 0};
        int slice = kWriteBudgetMs - waitedMs < 50 ? kWriteBudgetMs - waitedMs : 50;
        calls().poll(&pfd, 1, slice);
        waitedMs += slice;
    }
    if (done == length) return 1;
    if (done == 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "SendToDteSock ret < 0 errno=%d - %s ", EAGAIN, strerror(EAGAIN));
        return 0;
    }
    // Part of a frame went out: the next frame must open with a flag.
    g_needsFlag.store(true);
    return 1;
}

void setLineSysCallsForTesting(const LineSysCalls *c) { g_calls.store(c ? c : &kRealCalls, std::memory_order_release); }

void adoptLineForTesting(int fd) {
    std::lock_guard<std::mutex> lock(g_lineLock);
    closeLocked();
    sockdtefd.store(fd);
    g_needsFlag.store(false);
}

}  // namespace ryn::link

using namespace ryn::link;

int InitDTEsock() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "InitDTESock ");
    std::string path = ryn::config::activationFilePath();
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "InitDTESock homedir=%s", path.c_str());
    int cfd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // never hang on a FIFO
    if (cfd < 0) {
        RYN_LOG(OBJ_NETWORK, LOG_ERROR,
                "rynsock: no terminal selected, launch Kestova application and select a terminal ");
        pauseUnlessExit(1000);
        return 0;
    }
    char text[101] = {};
    size_t got = 0;
    while (got < 100) {
        ssize_t n = ::read(cfd, text + got, 100 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(cfd);
    text[got] = '\0';
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "InitDTESock get companion: %s", text);
    std::string device(devicePathFromActivation(std::string_view(text, got)));
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "InitDTESock com=%s", device.c_str());

    int fd = device.empty() ? -1 : ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && (!isatty(fd) || !configureRaw(fd))) {
        // Not a terminal device (or it refuses the settings): not our line.
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "InitDTESock terminal=%d", -1);
        pauseUnlessExit(1000);
        return 0;
    }
    LcpEchoActivate(true);
    {
        std::lock_guard<std::mutex> lock(lineLock());
        closeLocked();  // never leak a descriptor, even if misused
        sockdtefd.store(fd);
        clearLineNeedsFlag();
    }
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "InitDTESock terminal=%d", fd);
    return 1;
}

int SendToDteSock(const void *bytes, size_t length) {
    std::lock_guard<std::mutex> lock(lineLock());
    return sendLocked(bytes, length);
}

int RcvFromDteSock(void *buffer, size_t size) {
    std::lock_guard<std::mutex> lock(lineLock());
    int fd = sockdtefd.load();
    if (fd < 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "RcvFromDteSock sockdtefd not initialize");
        return -1;
    }
    ssize_t n;
    do {
        n = calls().read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n < 0) {
        int err = errno;
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "RcvFromDteSock ret < 0 errno=%d - %s ", err, strerror(err));
    } else {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "RcvFromDteSock %d close(sockdtefd)", 0);
    }
    closeLocked();
    return -1;
}

void StopDTEsock() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "StopDTEsock ");
    std::lock_guard<std::mutex> lock(lineLock());
    closeLocked();
}

int WaitStrFromDte(const char *pattern, int seconds) {
    int polls = seconds * 10;
    if (polls <= 0 || pattern == nullptr) return 0;
    const size_t patLen = strlen(pattern);
    // 256 bytes including the terminator, which always has its place.
    char window[256] = {};
    size_t held = 0;
    for (int i = 0; i < polls; ++i) {
        if (GlobalExit.load() != 0) return 0;
        int n = RcvFromDteSock(window + held, sizeof window - 1 - held);
        if (n < 0) {
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "WaitStrFromDte %d < 0", n);
            return -1;
        }
        if (n > 0) {
            for (size_t k = held; k < held + static_cast<size_t>(n); ++k) {
                unsigned char c = static_cast<unsigned char>(window[k]);
                if (c == '%' || c < 0x20) window[k] = ' ';
            }
            held += static_cast<size_t>(n);
            window[held] = '\0';
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "WaitStrFromDte %d > 0", n);
        }
        if (patLen <= held && strstr(window, pattern) != nullptr) {
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "WaitStrFromDte : %s", window);
            return 1;
        }
        if (held > patLen) {
            // Keep the tail so a pattern cut across two reads is still found.
            memmove(window, window + held - patLen, patLen);
            held = patLen;
            window[held] = '\0';
        }
        // Wait for the next bytes, at most one poll period.
        int fd = sockdtefd.load();
        if (fd < 0) continue;
        pollfd pfd{fd, POLLIN, 0};
        calls().poll(&pfd, 1, 100);
    }
    return 0;
}
