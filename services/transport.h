// Transport: one byte stream to the terminal (a services connection or the
// host-to-terminal channel). PlainTransport is TCP; a TLS transport for
// IP-attached terminals derives from the same class, so every user of a
// connection (reader, handlers, channel) is unaware of which one it has.
//
// Ownership: a transport owns its descriptor and closes it when destroyed.
// Users share it through std::shared_ptr, so a descriptor is never closed
// (and its number reused) while another thread still reads it. To end a
// connection that another thread is reading, call interrupt() (a socket
// shutdown, safe from any thread) and drop your reference; the reader sees
// end-of-stream and drops its own.
//
// Threads: one reader and one writer at a time (the owners serialise them);
// interrupt() and fd() from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace ryn::services {

class Transport {
public:
    explicit Transport(int fd) : fd_(fd) {}
    virtual ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    int fd() const { return fd_; }
    // One receive: >0 bytes, 0 peer closed, -1 error (errno set; EAGAIN and
    // EINTR mean "try again").
    virtual ssize_t receiveSome(void *buffer, size_t size) = 0;
    // One send attempt, never raising SIGPIPE: >0 bytes written (may be
    // fewer than asked), -1 error (errno set).
    virtual ssize_t sendSome(const void *data, size_t size) = 0;
    // Bytes the transport holds that poll() on fd() cannot see (TLS records
    // already decrypted).
    virtual bool hasBuffered() const { return false; }
    // Wakes a reader blocked on this connection and ends the stream for
    // both sides; the descriptor stays open until destruction.
    void interrupt();

private:
    int fd_;
};

class PlainTransport final : public Transport {
public:
    using Transport::Transport;
    ssize_t receiveSome(void *buffer, size_t size) override;
    ssize_t sendSome(const void *data, size_t size) override;
};

// Writes all `size` bytes, looping over short writes and waiting (poll) on
// EAGAIN for at most timeoutMs in total. Returns size, or -1 (errno set).
ssize_t sendAll(Transport &t, const void *data, size_t size, int timeoutMs = 30000);

// Waits until `t` is readable, `wakeFd` (may be -1) is readable, or timeoutMs
// passes (negative: forever). 1 readable, 0 timeout or woken, -1 error.
int waitReadable(Transport &t, int wakeFd, int timeoutMs);

// The connection argument of the service handlers.
using ServiceConnection = Transport;

}  // namespace ryn::services
