#include "tools/spmsim-ip/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace spmsimip {

uint64_t nowMs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string tlsErrors() {
    std::string out;
    while (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out.empty() ? "unknown TLS error" : out;
}

TcpStream::~TcpStream() {
    if (fd_ >= 0) ::close(fd_);
}

ssize_t TcpStream::receive(void *buffer, size_t size) { return ::recv(fd_, buffer, size, 0); }

ssize_t TcpStream::send(const void *data, size_t size) { return ::send(fd_, data, size, MSG_NOSIGNAL); }

int connectTcp(uint32_t addressNetworkOrder, uint16_t port, uint64_t deadlineMs, const Waiter &wait,
               std::string *error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = addressNetworkOrder;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            *error = std::strerror(errno);
            ::close(fd);
            return -1;
        }
        const int ready = wait(fd, POLLOUT, deadlineMs);
        if (ready <= 0) {
            *error = ready == 0 ? "timed out" : "stopped";
            ::close(fd);
            return -1;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            *error = std::strerror(soError);
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

std::unique_ptr<TlsClient> TlsClient::create(const TlsSettings &s, std::string *error) {
    std::unique_ptr<TlsClient> c(new TlsClient);
    c->ctx_ = SSL_CTX_new(TLS_client_method());
    if (!c->ctx_) {
        *error = "cannot create the TLS context: " + tlsErrors();
        return nullptr;
    }
    const int version = s.tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION;
    SSL_CTX_set_min_proto_version(c->ctx_, version);
    SSL_CTX_set_max_proto_version(c->ctx_, version);
    SSL_CTX_set_mode(c->ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!s.caFile.empty()) {
        if (SSL_CTX_load_verify_locations(c->ctx_, s.caFile.c_str(), nullptr) != 1) {
            *error = "cannot load the CA file " + s.caFile + ": " + tlsErrors();
            return nullptr;
        }
        SSL_CTX_set_verify(c->ctx_, SSL_VERIFY_PEER, nullptr);
        c->verifies_ = true;
    } else {
        SSL_CTX_set_verify(c->ctx_, SSL_VERIFY_NONE, nullptr);
    }
    if (!s.certFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(c->ctx_, s.certFile.c_str()) != 1) {
            *error = "cannot load the certificate " + s.certFile + ": " + tlsErrors();
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(c->ctx_, s.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            *error = "cannot load the key " + s.keyFile + ": " + tlsErrors();
            return nullptr;
        }
        if (SSL_CTX_check_private_key(c->ctx_) != 1) {
            *error = "the key " + s.keyFile + " does not match the certificate: " + tlsErrors();
            return nullptr;
        }
    }
    return c;
}

TlsClient::~TlsClient() { SSL_CTX_free(ctx_); }

std::unique_ptr<TlsStream> TlsStream::handshake(TlsClient &client, int fd, uint64_t deadlineMs,
                                                const Waiter &wait, std::string *error) {
    ERR_clear_error();
    SSL *ssl = SSL_new(client.context());
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        *error = "cannot create the TLS session: " + tlsErrors();
        SSL_free(ssl);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<TlsStream> stream(new TlsStream(ssl, fd));
    for (;;) {
        const int ret = SSL_connect(ssl);
        if (ret == 1) return stream;
        const int err = SSL_get_error(ssl, ret);
        short events = 0;
        if (err == SSL_ERROR_WANT_READ) events = POLLIN;
        else if (err == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        if (events == 0) {
            if (err == SSL_ERROR_SSL) {
                const long verify = SSL_get_verify_result(ssl);
                *error = "TLS handshake failed: " + tlsErrors();
                if (verify != X509_V_OK)
                    *error += std::string(" (certificate: ") + X509_verify_cert_error_string(verify) + ")";
            } else {
                *error = "TLS handshake failed: the host closed the connection";
            }
            return nullptr;
        }
        const int ready = wait(fd, events, deadlineMs);
        if (ready <= 0) {
            *error = ready == 0 ? "TLS handshake timed out" : "stopped";
            return nullptr;
        }
    }
}

TlsStream::~TlsStream() {
    // One non-blocking close_notify; the peer may already be gone.
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ::close(fd_);
}

ssize_t TlsStream::result(int ret) {
    wantWrite_ = false;
    switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ:
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_WANT_WRITE:
        wantWrite_ = true;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        if (errno == 0) return 0;  // closed without close_notify
        return -1;
    default:
        ERR_clear_error();
        // OpenSSL 3 reports a close without close_notify this way too.
        errno = ECONNRESET;
        return -1;
    }
}

ssize_t TlsStream::receive(void *buffer, size_t size) {
    ERR_clear_error();
    errno = 0;
    const int ret = SSL_read(ssl_, buffer, size > INT32_MAX ? INT32_MAX : int(size));
    if (ret > 0) {
        wantWrite_ = false;  // else poll() would keep reporting writable
        return ret;
    }
    return result(ret);
}

ssize_t TlsStream::send(const void *data, size_t size) {
    ERR_clear_error();
    errno = 0;
    const int ret = SSL_write(ssl_, data, size > INT32_MAX ? INT32_MAX : int(size));
    if (ret > 0) {
        wantWrite_ = false;
        return ret;
    }
    const ssize_t r = result(ret);
    if (r == 0) {
        errno = EPIPE;
        return -1;
    }
    return r;
}

short TlsStream::pollEvents(bool outputPending) const {
    return short(POLLIN | (outputPending || wantWrite_ ? POLLOUT : 0));
}

bool TlsStream::hasBuffered() const { return SSL_pending(ssl_) > 0; }

std::string TlsStream::cipher() const {
    const char *name = SSL_get_cipher_name(ssl_);
    return name ? name : "unknown";
}

std::string TlsStream::version() const { return SSL_get_version(ssl_); }

int openDiscoverySocket(const std::string &address, uint16_t port, std::string *error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        *error = "bad address " + address;
        ::close(fd);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        *error = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace spmsimip
