// The host's TLS server handshake against real OpenSSL clients: which
// terminals get in, which are refused, and that a silent peer or a stop
// cannot hold the handshake.
#include "ipterminal/tls.h"
#include "ryn_tls.h"
#include "service/log.h"
#include "services/peers.h"
#include "tls_certs.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

namespace {

using namespace ryn::test;
using ryn::ip::HandshakeSSLCom;

struct Client {
    std::string cert, key;
    bool tls13Only = false;
    bool silent = false;  // connects and never speaks
};
Client tls13Only() {
    Client c;
    c.tls13Only = true;
    return c;
}
Client silent() {
    Client c;
    c.silent = true;
    return c;
}

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { files_ = new TlsFiles(); }
    static void TearDownTestSuite() { delete files_; }
    void SetUp() override {
        logDestroy();
        ASSERT_TRUE(files_->ok()) << "openssl could not make the test certificates";
        ryn::ip::resetTlsSettingsForTesting();
        set(setClientCertificate, files_->path("host.pem"));
        set(setDHFile, files_->path("dh.pem"));
        const std::string key = files_->path("host.key");
        ASSERT_EQ(setClientKey(key.c_str(), int(key.size()), "secret-pw", 9), 1);
    }
    static void set(int (*setter)(const char *, int), const std::string &path) {
        ASSERT_EQ(setter(path.c_str(), int(path.size())), 1);
    }

    // Runs our handshake on one end of a loopback connection and the client
    // on the other; true when both sides completed it.
    bool handshake(const Client &c, int timeoutMs = 10000, int stopFd = -1) {
        uint16_t port;
        const int listener = listenLoopback(port);
        auto client = std::async(std::launch::async, [&] { return runClient(c, port); });
        const int fd = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        SSL *ssl = HandshakeSSLCom(fd, stopFd, timeoutMs);
        bool serverOk = ssl != nullptr;
        if (ssl) {
            // Prove the session carries data, then close.
            ryn::ip::TlsTransport t(fd, ssl);
            char b[5] = {};
            size_t got = 0;
            while (got < 4) {
                ssize_t n = t.receiveSome(b + got, 4 - got);
                if (n <= 0) break;
                got += size_t(n);
            }
            serverOk = got == 4 && std::string(b) == "ping" && ryn::services::sendAll(t, "pong", 4) == 4;
        } else {
            ::close(fd);
        }
        const bool clientOk = client.get();
        return serverOk && clientOk;
    }

    static bool runClient(const Client &c, uint16_t port) {
        // The test's client uses OpenSSL's plain socket BIO, which may write
        // after the host refused it: keep that SIGPIPE on this thread only.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        const int fd = connectLoopback(port);
        if (c.silent) {
            // Hold the connection open without a word until the host gives up.
            seesClose(fd, 30000);
            ::close(fd);
            return false;
        }
        SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
        if (c.tls13Only) SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
        if (!c.cert.empty()) {
            SSL_CTX_use_certificate_file(ctx, files_->path(c.cert).c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(ctx, files_->path(c.key).c_str(), SSL_FILETYPE_PEM);
        }
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        bool ok = SSL_connect(ssl) == 1 && SSL_write(ssl, "ping", 4) == 4;
        char b[5] = {};
        ok = ok && SSL_read(ssl, b, 4) == 4 && std::string(b) == "pong";
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
        return ok;
    }

    static TlsFiles *files_;
};
TlsFiles *Tls::files_ = nullptr;

TEST_F(Tls, WithoutCaACertificateIsAskedForButNotRequired) {
    EXPECT_TRUE(handshake({}));
    EXPECT_TRUE(handshake({"terminal.pem", "terminal.key"}));
    EXPECT_TRUE(handshake({"rogue.pem", "rogue.key"}));  // presented, unverifiable, still accepted
}

TEST_F(Tls, WithCaOnlyATerminalSignedByItGetsIn) {
    set(setRootCA, files_->path("ca.pem"));
    EXPECT_TRUE(handshake({"terminal.pem", "terminal.key"}));
    EXPECT_FALSE(handshake({}));
    EXPECT_FALSE(handshake({"rogue.pem", "rogue.key"}));
}

TEST_F(Tls, OnlyTls12IsSpoken) { EXPECT_FALSE(handshake(tls13Only())); }

TEST_F(Tls, MissingFilesFailEveryHandshake) {
    set(setDHFile, files_->path("no-such-dh.pem"));
    EXPECT_FALSE(handshake({}));
    SetUp();
    set(setRootCA, files_->path("no-such-ca.pem"));
    EXPECT_FALSE(handshake({"terminal.pem", "terminal.key"}));
}

TEST_F(Tls, ASilentPeerCannotHoldTheHandshake) {
    EXPECT_FALSE(handshake(silent(), 300));
    // A stop ends the wait at once, whatever the deadline.
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    ASSERT_EQ(write(stop[1], "x", 1), 1);
    EXPECT_FALSE(handshake(silent(), 600000, stop[0]));
    close(stop[0]);
    close(stop[1]);
}

// The terminal vanishes: the host's writes fail, and no SIGPIPE reaches
// the application (this thread does not block it).
TEST_F(Tls, WritingToAVanishedTerminalRaisesNoSignal) {
    uint16_t port;
    const int listener = listenLoopback(port);
    auto client = std::async(std::launch::async, [&] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        const int fd = connectLoopback(port);
        SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        const bool ok = SSL_connect(ssl) == 1;
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
        return ok;
    });
    const int fd = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    SSL *ssl = HandshakeSSLCom(fd);
    ASSERT_NE(ssl, nullptr);
    ASSERT_TRUE(client.get());
    ryn::ip::TlsTransport t(fd, ssl);
    const std::string block(16384, 'x');
    ssize_t last = 0;
    for (int i = 0; i < 100 && last >= 0; ++i) last = ryn::services::sendAll(t, block.data(), block.size(), 2000);
    EXPECT_EQ(last, -1);
}

TEST(TlsSettings, LengthsAreChecked) {
    ryn::ip::resetTlsSettingsForTesting();
    const std::string p259(259, 'p'), p260(260, 'p');
    EXPECT_EQ(setRootCA(p259.c_str(), 259), 1);
    EXPECT_EQ(setRootCA(p260.c_str(), 260), 0);
    EXPECT_EQ(setDHFile(nullptr, 3), 0);
    EXPECT_EQ(setClientCertificate("a.pem", -1), 0);
    EXPECT_EQ(setClientKey("k.pem", 5, "0123456789012345678901234567890", 31), 1);
    EXPECT_EQ(setClientKey("k.pem", 5, "01234567890123456789012345678901", 32), 0);
    // A stated length longer than the string copies the string only.
    EXPECT_EQ(setRootCA("ca.pem", 200), 1);
    EXPECT_EQ(ryn::ip::tlsSettings().rootCa, "ca.pem");
    ryn::ip::resetTlsSettingsForTesting();
}

TEST(TlsPassword, CallbackFitsOrRefuses) {
    std::string pw = "secret";
    char buf[7];
    EXPECT_EQ(ryn::ip::password_callback(buf, 7, 0, &pw), 6);
    EXPECT_STREQ(buf, "secret");
    EXPECT_EQ(ryn::ip::password_callback(buf, 6, 0, &pw), 0);
}

}  // namespace
