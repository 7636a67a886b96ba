// TLS server side of the IP channel (OpenSSL 3).
#include "ipterminal/tls.h"

#include "ryn_tls.h"
#include "service/log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace ryn::ip {
namespace {

std::mutex g_settingsLock;
TlsSettings g_settings;  // guarded by g_settingsLock

int storePath(std::string &slot, const char *path, int length, size_t capacity) {
    if (!path || length < 0 || size_t(length) >= capacity) return 0;
    // The stated length must also hold for the string itself.
    const size_t real = strnlen(path, size_t(length));
    std::lock_guard<std::mutex> lock(g_settingsLock);
    slot.assign(path, real);
    return 1;
}

// A socket BIO whose writes use MSG_NOSIGNAL: a terminal that vanishes
// mid-write must never raise SIGPIPE in the application.
BIO_METHOD *noSignalSocketMethod() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                     "socket without SIGPIPE");
        BIO_meth_set_write(m, [](BIO *b, const char *data, int len) -> int {
            BIO_clear_retry_flags(b);
            ssize_t n = ::send(BIO_get_fd(b, nullptr), data, size_t(len), MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
            return int(n);
        });
        BIO_meth_set_read(m, [](BIO *b, char *data, int len) -> int {
            BIO_clear_retry_flags(b);
            ssize_t n = ::recv(BIO_get_fd(b, nullptr), data, size_t(len), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
            return int(n);
        });
        BIO_meth_set_ctrl(m, [](BIO *b, int cmd, long num, void *ptr) -> long {
            switch (cmd) {
                case BIO_C_SET_FD:
                    BIO_set_data(b, reinterpret_cast<void *>(intptr_t(*static_cast<int *>(ptr))));
                    BIO_set_init(b, 1);
                    return 1;
                case BIO_C_GET_FD:
                    if (ptr) *static_cast<int *>(ptr) = int(reinterpret_cast<intptr_t>(BIO_get_data(b)));
                    return long(reinterpret_cast<intptr_t>(BIO_get_data(b)));
                case BIO_CTRL_FLUSH:
                    return 1;
                default:
                    (void)num;
                    return 0;
            }
        });
        return m;
    }();
    return method;
}

BIO *newSocketBio(int fd) {
    BIO *bio = BIO_new(noSignalSocketMethod());
    if (bio) BIO_ctrl(bio, BIO_C_SET_FD, 0, &fd);
    return bio;
}

EVP_PKEY *readDhParameters(const std::string &path) {
    BIO *in = BIO_new_file(path.c_str(), "r");
    if (!in) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "Couldn't open DH param file!");
        return nullptr;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "Start SSL Handshake 2");
    EVP_PKEY *dh = nullptr;
    OSSL_DECODER_CTX *dctx =
        OSSL_DECODER_CTX_new_for_pkey(&dh, "PEM", nullptr, "DH", OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS, nullptr, nullptr);
    if (!dctx || !OSSL_DECODER_from_bio(dctx, in)) {
        EVP_PKEY_free(dh);
        dh = nullptr;
    }
    OSSL_DECODER_CTX_free(dctx);
    BIO_free(in);
    return dh;
}

// Without a CA the terminal's certificate is asked for but not required:
// whatever it presents (or not) is accepted, after logging problems.
int verifyWithoutCa(int preverifyOk, X509_STORE_CTX *store) {
    verify_callback(preverifyOk, store);
    return 1;
}

SSL_CTX *makeContext(const TlsSettings &s, std::string &passwordHolder) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "SSL_CTX_new return ctx NULL");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    passwordHolder = s.password;
    SSL_CTX_set_default_passwd_cb(ctx, password_callback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, &passwordHolder);
    SSL_CTX_use_certificate_file(ctx, s.certificate.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, s.key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_verify_depth(ctx, 1);
    if (!s.rootCa.empty()) {
        RYN_LOG(OBJ_COM, LOG_INFO, "Load CA file %s", s.rootCa.c_str());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_callback);
        if (SSL_CTX_load_verify_locations(ctx, s.rootCa.c_str(), nullptr) != 1) {
            RYN_LOG(OBJ_COM, LOG_ERROR, "Load CA cert error");
            SSL_CTX_free(ctx);
            return nullptr;
        }
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verifyWithoutCa);
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "Start SSL Handshake 1");
    EVP_PKEY *dh = readDhParameters(s.dh);
    if (!dh || SSL_CTX_set0_tmp_dh_pkey(ctx, dh) != 1) {
        if (s.dh.empty() || dh) RYN_LOG(OBJ_COM, LOG_ERROR, "Couldn't set DH parameters!");
        EVP_PKEY_free(dh);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "Start SSL Handshake 3");
    // Everything the security level allows, but never unauthenticated or
    // unencrypted suites.
    SSL_CTX_set_cipher_list(ctx, "ALL:!aNULL:!eNULL");
    return ctx;
}

}  // namespace

TlsSettings tlsSettings() {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    return g_settings;
}

void resetTlsSettingsForTesting() {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    g_settings = TlsSettings{};
}

int password_callback(char *buffer, int size, int, void *userdata) {
    const auto *password = static_cast<const std::string *>(userdata);
    if (!password || !buffer || size <= 0 || password->size() + 1 > size_t(size)) return 0;
    memcpy(buffer, password->c_str(), password->size() + 1);
    return int(password->size());
}

int verify_callback(int preverifyOk, X509_STORE_CTX *store) {
    if (preverifyOk) return preverifyOk;
    X509 *cert = X509_STORE_CTX_get_current_cert(store);
    char issuer[256] = "", subject[256] = "";
    if (cert) {
        X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer);
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    }
    const int err = X509_STORE_CTX_get_error(store);
    RYN_LOG(OBJ_COM, LOG_ERROR, "Error with certificate at depth: %d!", X509_STORE_CTX_get_error_depth(store));
    RYN_LOG(OBJ_COM, LOG_ERROR, "\tIssuer: %s", issuer);
    RYN_LOG(OBJ_COM, LOG_ERROR, "\tSubject: %s", subject);
    RYN_LOG(OBJ_COM, LOG_ERROR, "\tError %d: %s", err, X509_verify_cert_error_string(err));
    return preverifyOk;
}

SSL *HandshakeSSLCom(int fd, int stopFd, int timeoutMs) {
    RYN_LOG(OBJ_COM, LOG_INFO, "Start SSL Handshake");
    const TlsSettings settings = tlsSettings();
    std::string password;
    SSL_CTX *ctx = makeContext(settings, password);
    if (!ctx) return nullptr;
    SSL *ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the session keeps its own reference
    BIO *bio = ssl ? newSocketBio(fd) : nullptr;
    if (!ssl || !bio) {
        BIO_free(bio);
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_bio(ssl, bio, bio);
    RYN_LOG(OBJ_COM, LOG_INFO, "Start SSL Handshake 4");

    // Non-blocking for the handshake only, so the deadline and the stop
    // descriptor are honoured.
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool ok = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        const int r = SSL_accept(ssl);
        if (r == 1) {
            ok = true;
            break;
        }
        const int err = SSL_get_error(ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd pfd[2] = {{fd, short(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(pfd, stopFd >= 0 ? 2 : 1, int(left));
        if (n < 0 && errno != EINTR) break;
        if (stopFd >= 0 && pfd[1].revents) break;
    }
    fcntl(fd, F_SETFL, flags);
    if (!ok) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "SSL_accept SSL error");
        SSL_free(ssl);  // no shutdown alert on a handshake that never finished
        return nullptr;
    }
    return ssl;
}

std::shared_ptr<ryn::services::Transport> secureTransport(int fd, int stopFd) {
    SSL *ssl = HandshakeSSLCom(fd, stopFd);
    if (!ssl) return nullptr;
    return std::make_shared<TlsTransport>(fd, ssl);
}

TlsTransport::TlsTransport(int fd, SSL *ssl) : Transport(fd), ssl_(ssl) {}

TlsTransport::~TlsTransport() {
    if (ssl_) {
        SSL_shutdown(ssl_);
        SSL_free(ssl_);
    }
}

ssize_t TlsTransport::receiveSome(void *buffer, size_t size) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, int(size > 0x40000000 ? 0x40000000 : size));
    if (n > 0) return n;
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    if (err == SSL_ERROR_SYSCALL && errno == 0) return 0;  // peer closed without close_notify
    if (errno == 0) errno = EPROTO;
    return -1;
}

ssize_t TlsTransport::sendSome(const void *data, size_t size) {
    ERR_clear_error();
    const int n = SSL_write(ssl_, data, int(size > 0x40000000 ? 0x40000000 : size));
    if (n > 0) return n;
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    if (errno == 0) errno = EPIPE;
    return -1;
}

bool TlsTransport::hasBuffered() const { return SSL_pending(ssl_) > 0; }

}  // namespace ryn::ip

extern "C" {

int setRootCA(const char *path, int length) {
    return ryn::ip::storePath(ryn::ip::g_settings.rootCa, path, length, ryn::ip::kPathCapacity);
}
int setClientCertificate(const char *path, int length) {
    return ryn::ip::storePath(ryn::ip::g_settings.certificate, path, length, ryn::ip::kPathCapacity);
}
int setDHFile(const char *path, int length) {
    return ryn::ip::storePath(ryn::ip::g_settings.dh, path, length, ryn::ip::kPathCapacity);
}
int setClientKey(const char *path, int pathLength, const char *password, int passwordLength) {
    if (!password || passwordLength < 0 || size_t(passwordLength) >= ryn::ip::kPasswordCapacity) return 0;
    if (!ryn::ip::storePath(ryn::ip::g_settings.key, path, pathLength, ryn::ip::kPathCapacity)) return 0;
    return ryn::ip::storePath(ryn::ip::g_settings.password, password, passwordLength, ryn::ip::kPasswordCapacity);
}

}  // extern "C"
