// ByteStream: one connection to the host as the terminal logic sees it, a
// plain byte stream. Implemented over TCP and TLS sockets by the IP
// simulator, and over an embedded stack's TCP by the serial one.
//
// Calls never block and never raise SIGPIPE. One thread uses a stream.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace simterm {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // >0 bytes read; 0 the peer closed; -1 with errno (EAGAIN: nothing now).
    virtual ssize_t receive(void *buffer, size_t size) = 0;
    // >0 bytes taken (may be fewer than asked); -1 with errno (EAGAIN: try
    // later).
    virtual ssize_t send(const void *data, size_t size) = 0;
    // Descriptor to wait on, or -1 when the owner learns of input another
    // way.
    virtual int pollFd() const = 0;
    // poll() events to wait for; TLS may need to read in order to write.
    virtual short pollEvents(bool outputPending) const {
        return short(POLLIN | (outputPending ? POLLOUT : 0));
    }
    // Input already read from the descriptor but not yet handed out (TLS
    // records), which poll() cannot see.
    virtual bool hasBuffered() const { return false; }
};

}  // namespace simterm
