// Sockets of the IP terminal: non-blocking TCP and TLS client streams (the
// ByteStream of the terminal logic), the TLS client context, and the UDP
// listener for the host's discovery broadcast.
//
// Every stream owns its descriptor (and TLS session) and closes it when
// destroyed. Sends never raise SIGPIPE (MSG_NOSIGNAL; the program also
// ignores SIGPIPE for OpenSSL's own writes). One thread uses each object.
#pragma once

#include "tools/terminal/byte_stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace spmsimip {

// Waits for `events` on fd until deadlineMs (steady ms); the hook lets the
// caller watch its own control descriptors meanwhile. 1 ready, 0 timed out,
// -1 error or stopped by the caller.
using Waiter = std::function<int(int fd, short events, uint64_t deadlineMs)>;

uint64_t nowMs();

class TcpStream : public simterm::ByteStream {
public:
    explicit TcpStream(int fd) : fd_(fd) {}
    ~TcpStream() override;
    ssize_t receive(void *buffer, size_t size) override;
    ssize_t send(const void *data, size_t size) override;
    int pollFd() const override { return fd_; }

private:
    int fd_;
};

// Connects a non-blocking TCP socket; -1 with *error set on failure.
int connectTcp(uint32_t addressNetworkOrder, uint16_t port, uint64_t deadlineMs, const Waiter &wait,
               std::string *error);

struct TlsSettings {
    bool tls13Only = false;
    std::string caFile, certFile, keyFile;
};

class TlsClient {
public:
    // nullptr with *error set when a file cannot be loaded.
    static std::unique_ptr<TlsClient> create(const TlsSettings &settings, std::string *error);
    ~TlsClient();
    SSL_CTX *context() const { return ctx_; }
    bool verifiesHost() const { return verifies_; }

private:
    TlsClient() = default;
    SSL_CTX *ctx_ = nullptr;
    bool verifies_ = false;
};

class TlsStream : public simterm::ByteStream {
public:
    // Runs the client handshake on the connected fd (taking ownership of
    // it); nullptr with *error set on failure.
    static std::unique_ptr<TlsStream> handshake(TlsClient &client, int fd, uint64_t deadlineMs,
                                                const Waiter &wait, std::string *error);
    ~TlsStream() override;
    ssize_t receive(void *buffer, size_t size) override;
    ssize_t send(const void *data, size_t size) override;
    int pollFd() const override { return fd_; }
    short pollEvents(bool outputPending) const override;
    bool hasBuffered() const override;
    std::string cipher() const;
    std::string version() const;

private:
    TlsStream(SSL *ssl, int fd) : ssl_(ssl), fd_(fd) {}
    ssize_t result(int ret);
    SSL *ssl_;
    int fd_;
    bool wantWrite_ = false;
};

// UDP socket bound to address:port for the discovery broadcast; -1 with
// *error set.
int openDiscoverySocket(const std::string &address, uint16_t port, std::string *error);

// Error text of the OpenSSL error queue (emptied).
std::string tlsErrors();

}  // namespace spmsimip
