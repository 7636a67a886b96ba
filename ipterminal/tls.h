// TLS for terminals on the LAN: the settings the application gives, the
// server handshake on an accepted descriptor, and the Transport that
// carries a connection's bytes through its TLS session.
//
// Settings are written by the exported setters (any thread) and copied
// under one lock by each handshake. A handshake runs under a deadline and
// returns early when `stopFd` becomes readable, so a silent peer can block
// neither the accept loop nor a stop.
#pragma once

#include "services/transport.h"

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace ryn::ip {

inline constexpr size_t kPathCapacity = 260;
inline constexpr size_t kPasswordCapacity = 32;
inline constexpr int kHandshakeTimeoutMs = 10000;

struct TlsSettings {
    std::string rootCa, certificate, key, password, dh;
};
TlsSettings tlsSettings();
void resetTlsSettingsForTesting();

// A connection's bytes through its TLS session. Writes never raise SIGPIPE
// (the session's BIO sends with MSG_NOSIGNAL). Owns the session and the
// descriptor.
class TlsTransport final : public ryn::services::Transport {
public:
    TlsTransport(int fd, SSL *ssl);
    ~TlsTransport() override;
    ssize_t receiveSome(void *buffer, size_t size) override;
    ssize_t sendSome(const void *data, size_t size) override;
    bool hasBuffered() const override;
    SSL *session() const { return ssl_; }

private:
    SSL *ssl_;
};

// The service server's hook: the handshake, then a transport owning fd
// and the session; null when the handshake failed (fd stays the caller's).
std::shared_ptr<ryn::services::Transport> secureTransport(int fd, int stopFd);

// Server handshake on `fd` with the current settings (TLS 1.2 only).
// Returns the session, or null (fd left open for the caller to close).
SSL *HandshakeSSLCom(int fd, int stopFd = -1, int timeoutMs = kHandshakeTimeoutMs);

// OpenSSL callbacks, named as the rest of the system knows them.
int verify_callback(int preverifyOk, X509_STORE_CTX *store);
int password_callback(char *buffer, int size, int rwflag, void *userdata);

}  // namespace ryn::ip
