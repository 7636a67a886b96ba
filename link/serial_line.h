// The serial line to the terminal: the device named by the activated-terminal
// file, opened raw at 115200 8N1, with raw send/receive, a pattern wait for
// the "CLIENT"/"CLIENTSERVER" handshake, and close.
//
// Threads: the network thread opens, closes and runs the pattern wait; PPP
// sends and receives from the network thread or any thread that makes the
// stack send or take a datagram. The line lock (also PPP's transmit lock)
// guards the descriptor: every write, read and close happens under it, so no
// thread ever writes to a descriptor number that was closed and reused.
// sockdtefd is atomic so the "is the line open" test needs no lock.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

extern std::atomic<int32_t> sockdtefd;

// 1 when the device is open and configured, 0 otherwise (after a pause of
// about one second, cut short by GlobalExit). REQUIRES: no line open.
int InitDTEsock();
// 1 when the bytes went to the line (see below), 0 on failure or no line.
int SendToDteSock(const void *bytes, size_t length);
// Bytes read (> 0); 0 when nothing waits; -1 when no line is open or it
// failed or hung up (it is then closed).
int RcvFromDteSock(void *buffer, size_t size);
void StopDTEsock();
// 1 when the received text contains pattern, 0 after `seconds` without it
// (at once for seconds <= 0, or when GlobalExit is set), -1 on line failure.
int WaitStrFromDte(const char *pattern, int seconds);

namespace ryn::link {

// The line lock. PPP holds it while it builds a frame and writes it.
std::mutex &lineLock();
// SendToDteSock for a caller that already holds lineLock().
//
// A write the line takes only in part is completed with a bounded poll; if
// the line still refuses the rest, the call succeeds (the peer's FCS check
// discards the cut frame) and lineNeedsFlag() turns true until the next
// frame has been started with a flag, so the cut frame cannot swallow it.
int sendLocked(const void *bytes, size_t length);
bool lineNeedsFlag();
void clearLineNeedsFlag();
// How long a write may wait for room on the line before giving up the rest.
inline constexpr int kWriteBudgetMs = 500;

// The device path as the opener takes it from the file's first 100 bytes:
// text up to the first ";", then the part after the first "=" up to a
// following "=" or the end. Empty when there is none.
std::string_view devicePathFromActivation(std::string_view firstBytes);

// Test seam for faults a pseudo-terminal cannot provoke (EAGAIN, short
// writes): replaces the system calls of the send and receive paths.
struct LineSysCalls {
    ssize_t (*write)(int fd, const void *buf, size_t n);
    ssize_t (*read)(int fd, void *buf, size_t n);
    int (*poll)(pollfd *fds, nfds_t n, int timeoutMs);
};
void setLineSysCallsForTesting(const LineSysCalls *calls);  // nullptr: the real ones
// Installs an already-open descriptor as the line (tests of send/receive).
void adoptLineForTesting(int fd);

}  // namespace ryn::link
