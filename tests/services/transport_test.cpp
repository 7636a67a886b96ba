// Writes to the terminal: short writes and EAGAIN are looped over (a fake
// transport provokes them; the kernel will not on demand), and a peer that
// has gone never raises SIGPIPE (a real socket pair shows it).
#include "services/transport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

using namespace ryn::services;

// Accepts at most 3 bytes per call and refuses every other call with EAGAIN
// or EINTR. Its descriptor is a real, writable socket, so the wait after
// EAGAIN returns at once.
class TrickleTransport final : public Transport {
public:
    explicit TrickleTransport(int fd) : Transport(fd) {}
    ssize_t receiveSome(void *, size_t) override { return 0; }
    ssize_t sendSome(const void *data, size_t size) override {
        if (++calls % 2 == 0) {
            errno = (calls % 4 == 0) ? EINTR : EAGAIN;
            return -1;
        }
        const size_t n = size < 3 ? size : 3;
        written.append(static_cast<const char *>(data), n);
        return ssize_t(n);
    }
    int calls = 0;
    std::string written;
};

TEST(Transport, SendAllLoopsOverShortWritesAndEagain) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    TrickleTransport t(sv[0]);
    const std::string message = "0123456789abcdefghij";
    EXPECT_EQ(sendAll(t, message.data(), message.size()), ssize_t(message.size()));
    EXPECT_EQ(t.written, message);
    ::close(sv[1]);
}

TEST(Transport, WritingToAVanishedPeerFailsWithoutSigpipe) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    PlainTransport t(sv[0]);
    ::close(sv[1]);
    const std::string block(1 << 16, 'x');
    // The default disposition of SIGPIPE would end this process here.
    EXPECT_EQ(sendAll(t, block.data(), block.size()), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST(Transport, InterruptWakesAWaitingReader) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    PlainTransport t(sv[0]);
    t.interrupt();
    EXPECT_EQ(waitReadable(t, -1, -1), 1);  // would block forever otherwise
    char c;
    EXPECT_EQ(t.receiveSome(&c, 1), 0);
    ::close(sv[1]);
}

}  // namespace
