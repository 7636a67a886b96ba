#include "services/transport.h"

#include "service/primitives.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace ryn::services {

Transport::~Transport() {
    if (fd_ >= 0) ::close(fd_);
}

void Transport::interrupt() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

ssize_t PlainTransport::receiveSome(void *buffer, size_t size) { return ::recv(fd(), buffer, size, 0); }

ssize_t PlainTransport::sendSome(const void *data, size_t size) {
    return ::send(fd(), data, size, MSG_NOSIGNAL);
}

ssize_t sendAll(Transport &t, const void *data, size_t size, int timeoutMs) {
    const auto *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    const double deadline = GetTickCount() + timeoutMs;
    while (done < size) {
        ssize_t n = t.sendSome(p + done, size - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const double left = deadline - GetTickCount();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            pollfd pfd{t.fd(), POLLOUT, 0};
            if (::poll(&pfd, 1, int(left) + 1) < 0 && errno != EINTR) return -1;
            continue;
        }
        if (n == 0) errno = EPIPE;
        return -1;
    }
    return ssize_t(done);
}

int waitReadable(Transport &t, int wakeFd, int timeoutMs) {
    if (t.hasBuffered()) return 1;
    pollfd pfd[2] = {{t.fd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    for (;;) {
        int r = ::poll(pfd, count, timeoutMs < 0 ? -1 : timeoutMs);
        if (r < 0 && errno == EINTR) continue;  // a signal is not a socket error
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (count == 2 && pfd[1].revents) return 0;
        // POLLHUP/POLLERR: the next receive reports it.
        return 1;
    }
}

}  // namespace ryn::services
