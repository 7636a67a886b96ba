// IP-mode payment round trip through the library (DoTransaction: request
// tree, envelope, channel exchange, decode, translation) against a raw TCP
// ping-pong of the same bytes on loopback, in the same run; and both again
// over TLS 1.2. The terminal is a minimal peer answering a canned approval,
// so the figures are the host's own cost per payment.
#include "ipterminal/tls.h"
#include "ryn_tls.h"
#include "service/log.h"
#include "service/manager.h"
#include "services/com.h"
#include "services/envelope.h"
#include "services/power.h"
#include "terminal/transaction.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace ryn::terminal;

std::string cannedAnswer() {
    sTLV_TREE_NODE *root = TlvTree_New(kTagTransactionRsp);
    TlvTree_AddChild(root, 0x40002020, "01", 2);
    TlvTree_AddChild(root, 0x40002021, "0", 1);
    TlvTree_AddChild(root, 0x40002022, "00002500", 8);
    TlvTree_AddChild(root, 0x40002024, "978", 3);
    std::string out = ryn::services::serializeTlv(root);
    TlvTree_Release(root);
    return out;
}

std::string sampleRequest() {
    TransactionIn in;
    in.setAmount("2500");
    in.setCurrencyCode("978");
    in.setOperation("C");
    in.setTermNum("1");
    char record[kRequestRecordSize];
    in.fillRequestRecord(record);
    ConcertRequest r;
    buildConcertRequest(record, r);
    sTLV_TREE_NODE *tree = encodeTransactionRequest(r, 0, nullptr, 0);
    std::string out = ryn::services::serializeTlv(tree);
    TlvTree_Release(tree);
    return out;
}

// One side of a byte stream, plain or TLS.
struct Stream {
    int fd = -1;
    SSL *ssl = nullptr;
    ssize_t read(void *b, size_t n) { return ssl ? SSL_read(ssl, b, int(n)) : ::recv(fd, b, n, 0); }
    ssize_t write(const void *b, size_t n) { return ssl ? SSL_write(ssl, b, int(n)) : ::send(fd, b, n, MSG_NOSIGNAL); }
    bool readEnvelope(std::string &out) {
        out.clear();
        size_t want = 6;
        char buf[4096];
        while (out.size() < want) {
            ssize_t n = read(buf, std::min(sizeof buf, want - out.size()));
            if (n <= 0) return false;
            out.append(buf, size_t(n));
            if (want == 6 && out.size() >= 4) {
                uint32_t len;
                memcpy(&len, out.data(), 4);
                want = 6 + len;
            }
        }
        return true;
    }
};

int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The terminal: answers every request on `s` with the canned answer.
void answerLoop(Stream s, std::atomic<bool> &stop) {
    const std::string answer = cannedAnswer();
    std::string request;
    while (!stop && s.readEnvelope(request)) s.write(answer.data(), answer.size());
}

struct TlsFilesForBench {
    std::string dir;
    TlsFilesForBench() {
        char t[] = "/tmp/ryn-bench-tls-XXXXXX";
        dir = mkdtemp(t);
        std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=host -keyout " + dir +
                     "/host.key -out " + dir + "/host.pem >/dev/null 2>&1 && openssl genpkey -genparam -algorithm DH "
                     "-pkeyopt group:ffdhe2048 -out " + dir + "/dh.pem >/dev/null 2>&1")
                        .c_str());
    }
    ~TlsFilesForBench() { std::system(("rm -rf " + dir).c_str()); }
};

void BM_PaymentThroughLibrary(benchmark::State &state) {
    const bool tls = state.range(0) != 0;
    logDestroy();
    static TlsFilesForBench files;
    if (tls) {
        const std::string cert = files.dir + "/host.pem", key = files.dir + "/host.key", dh = files.dir + "/dh.pem";
        setClientCertificate(cert.c_str(), int(cert.size()));
        setClientKey(key.c_str(), int(key.size()), "", 0);
        setDHFile(dh.c_str(), int(dh.size()));
        setRootCA("", 0);
    }
    ryn::createManager();
    PDA_Manager *m = gpPDA_Manager.load();
    ryn::services::ComOptions o;
    o.ipMode = true;
    o.tls = tls;
    o.secure = &ryn::ip::secureTransport;
    o.servicesPort = 0;
    o.channelPort = 0;
    o.echoIdleMs = 3600000;  // no echo during the measurement
    m->power = new Power();
    Com *com = new Com(o);
    m->com = com;
    m->state = 1;
    while (com->channelListenPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    Stream terminal;
    terminal.fd = connectTo(com->channelListenPort());
    SSL_CTX *ctx = nullptr;
    if (tls) {
        ctx = SSL_CTX_new(TLS_client_method());
        terminal.ssl = SSL_new(ctx);
        SSL_set_fd(terminal.ssl, terminal.fd);
        SSL_connect(terminal.ssl);
    }
    while (!com->channelConnected.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<bool> stop{false};
    std::thread peer(answerLoop, terminal, std::ref(stop));

    TransactionIn in;
    in.setAmount("2500");
    in.setCurrencyCode("978");
    in.setOperation("C");
    in.setTermNum("1");
    char record[kRequestRecordSize], output[kOutputRecordSize];
    in.fillRequestRecord(record);
    for (auto _ : state) {
        if (DoTransaction(m, record, output) != 1) state.SkipWithError("payment failed");
    }
    state.SetItemsProcessed(state.iterations());
    stop = true;
    m->CloseService();  // closes the channel; the peer's read ends
    peer.join();
    if (terminal.ssl) SSL_free(terminal.ssl);
    if (ctx) SSL_CTX_free(ctx);
    ::close(terminal.fd);
    ryn::destroyManager();
}
BENCHMARK(BM_PaymentThroughLibrary)->Arg(0)->Arg(1)->ArgNames({"tls"})->UseRealTime();

// The same bytes as a bare request/answer ping-pong over loopback TCP.
void BM_RawPingPong(benchmark::State &state) {
    const bool tls = state.range(0) != 0;
    static TlsFilesForBench files;
    int sv[2];
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(listener, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    std::thread connector([&] { sv[1] = connectTo(ntohs(a.sin_port)); });
    sv[0] = ::accept(listener, nullptr, nullptr);
    connector.join();
    ::close(listener);
    const int one = 1;
    setsockopt(sv[0], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    Stream host{sv[0], nullptr}, terminal{sv[1], nullptr};
    SSL_CTX *sctx = nullptr, *cctx = nullptr;
    if (tls) {
        sctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_max_proto_version(sctx, TLS1_2_VERSION);
        SSL_CTX_use_certificate_file(sctx, (files.dir + "/host.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(sctx, (files.dir + "/host.key").c_str(), SSL_FILETYPE_PEM);
        cctx = SSL_CTX_new(TLS_client_method());
        host.ssl = SSL_new(sctx);
        terminal.ssl = SSL_new(cctx);
        SSL_set_fd(host.ssl, host.fd);
        SSL_set_fd(terminal.ssl, terminal.fd);
        std::thread t([&] { SSL_connect(terminal.ssl); });
        SSL_accept(host.ssl);
        t.join();
    }
    std::atomic<bool> stop{false};
    std::thread peer(answerLoop, terminal, std::ref(stop));
    const std::string request = sampleRequest();
    std::string answer;
    for (auto _ : state) {
        host.write(request.data(), request.size());
        if (!host.readEnvelope(answer)) state.SkipWithError("peer gone");
    }
    state.SetItemsProcessed(state.iterations());
    stop = true;
    ::shutdown(sv[0], SHUT_RDWR);
    peer.join();
    if (host.ssl) SSL_free(host.ssl);
    if (terminal.ssl) SSL_free(terminal.ssl);
    if (sctx) SSL_CTX_free(sctx);
    if (cctx) SSL_CTX_free(cctx);
    ::close(sv[0]);
    ::close(sv[1]);
}
BENCHMARK(BM_RawPingPong)->Arg(0)->Arg(1)->ArgNames({"tls"})->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
