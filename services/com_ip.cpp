// The IP half of Com: the channel server that accepts an IP terminal's
// channel connection, its echo keep-alive, and the answer to the terminal's
// own echo.
#include "service/log.h"
#include "service/service_thread.h"
#include "services/com.h"
#include "services/envelope.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

using namespace ryn::services;

std::atomic<bool> g_isSSLCom{false};
char g_CurrentAddrPC[16] = "";

namespace {

constexpr uint32_t kEchoRequest = 0x60010040;
constexpr uint32_t kEchoAnswer = 0x61010040;
constexpr uint32_t kTerminalEchoAnswer = 0x61020040;
constexpr uint32_t kEchoTimeoutMs = 1000;
constexpr uint32_t kEchoAnswerCapacity = 256;
constexpr int kAcceptPollMs = 100;

// The envelope of a tree that is a single root with `tag`.
std::string echoEnvelope(uint32_t tag) {
    sTLV_TREE_NODE *root = TlvTree_New(tag);
    if (!root) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "TLVTree_EncodeEchoRequest : Error in encode tag %d", int(tag));
        return {};
    }
    std::string out = serializeTlv(root);
    TlvTree_Release(root);
    return out;
}

}  // namespace

Com::TransportPtr Com::secureAccepted(int fd, const char *what) {
    if (!options_.tls) {
        g_isSSLCom.store(false);
        return std::make_shared<PlainTransport>(fd);
    }
    TransportPtr t = options_.secure ? options_.secure(fd, wake_[0]) : nullptr;
    if (!t) {
        g_isSSLCom.store(false);
        ::close(fd);
        RYN_LOG(OBJ_COM, LOG_ERROR, "SSL_accept() error use no ssl connection");
        return nullptr;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "SSL_accept() ok use ssl connection (%s)", what);
    return t;
}

bool Com::openIpListener(int &fd) {
    for (int attempt = 0; attempt < 3 && !stop.load(); ++attempt) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) break;
        RYN_LOG(OBJ_COM, LOG_ERROR, "IpComServer: Retry open socket");
        waitStop(1000);
    }
    if (fd < 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "IpComServer:  SOCKET ERROR");
        waitStop(10);
        return false;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: Socket opened socketIpListen %d", fd);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.channelPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);  // the terminal comes from the LAN
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "IpComServer: bind/listen error %d", errno);
        ::close(fd);
        fd = -1;
        waitStop(1000);
        return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0) ipBoundPort_.store(ntohs(bound.sin_port));
    return true;
}

void *Com::IpComServer(void *self) {
    auto *com = static_cast<Com *>(self);
    ryn::ServiceThreadScope scope;
    RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: Start");
    while (!com->stop.load()) {
        int fd = -1;
        if (!com->openIpListener(fd)) continue;
        com->socketIpListen.store(fd);
        com->serveIpListening(fd);
        RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: Exit accept loop");
        const int open = com->socketIpListen.exchange(-1);
        if (open >= 0) {
            RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: socketIpListen %d", open);
            ::close(open);
        }
    }
    com->retireEcho();
    RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: Exit");
    return nullptr;
}

void Com::serveIpListening(int listenFd) {
    while (!stop.load()) {
        pollfd pfd[2] = {{listenFd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(pfd, wake_[0] >= 0 ? 2 : 1, kAcceptPollMs);
        if (stop.load()) return;
        if (r <= 0 || !(pfd[0].revents & POLLIN)) continue;
        acceptChannel(listenFd);
    }
}

void Com::acceptChannel(int listenFd) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: accept... %d", fd);
    if (fd < 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "IpComServer: accept error %d", errno);
        waitStop(100);
        return;
    }
    TransportPtr t = secureAccepted(fd, "channel");
    if (!t) return;
    channelTlsUp_.store(options_.tls);
    if (options_.tls && servicesTlsUp_.load()) g_isSSLCom.store(true);

    // The previous channel's echo task ends before the new channel is
    // stored: it must never act on a connection that is not its own.
    retireEcho();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    {
        AutoLock lock(csCnx);
        dropChannel();
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) == 0)
            inet_ntop(AF_INET, &local.sin_addr, g_CurrentAddrPC, sizeof g_CurrentAddrPC);
        installChannel(fd, t);
        channelConnected.store(true);
        connectionOpen = true;
        currentConnection = kChannelSlot;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "IpComServer: connected %d", fd);
    const uint32_t generation = echoGeneration_.load();
    auto *args = new EchoArgs{this, t, generation};
    if (CreateThread(&hEchoThread_, &hEchoThreadAttr_, &Com::EchoThread, args) == 0) {
        hasEchoThread_ = true;
    } else {
        delete args;
        RYN_LOG(OBJ_COM, LOG_ERROR, "IpComServer: cannot start EchoThread");
    }
}

void Com::retireEcho() {
    if (!hasEchoThread_) return;
    echoGeneration_.fetch_add(1);
    RYN_LOG(OBJ_COM, LOG_INFO, "Wait hEchoThread...");
    pthread_join(hEchoThread_, nullptr);
    pthread_attr_destroy(&hEchoThreadAttr_);
    hasEchoThread_ = false;
}

void *Com::EchoThread(void *arg) {
    std::unique_ptr<EchoArgs> args(static_cast<EchoArgs *>(arg));
    ryn::ServiceThreadScope scope;
    args->com->echoLoop(args->channel, args->generation);
    return nullptr;
}

void Com::echoLoop(const TransportPtr &mine, uint32_t generation) {
    RYN_LOG(OBJ_COM, LOG_INFO, "EchoTask: Start");
    g_ulLastTickCounter.store(uint64_t(GetTickCount()));
    const std::string request = echoEnvelope(kEchoRequest);
    uint32_t idleLimit = options_.echoIdleMs;
    int failures = 0;
    bool dead = false;
    auto current = [&] { return !stop.load() && echoGeneration_.load() == generation; };
    while (current() && !request.empty()) {
        if (waitStop(int(options_.echoPeriodMs)) || !current()) break;
        if (channel() != mine) {
            dead = true;  // closed under us (a broken exchange drops it)
            break;
        }
        const uint64_t now = uint64_t(GetTickCount());
        if (now - g_ulLastTickCounter.load() <= idleLimit) continue;
        uint32_t slot;
        if (!GetConnection(&slot)) {
            dead = true;
            break;
        }
        unsigned char answer[kEchoAnswerCapacity];
        const int n = ExchangeMsg(slot, kEchoTimeoutMs, reinterpret_cast<const unsigned char *>(request.data()),
                                  uint32_t(request.size()), answer, sizeof answer);
        ReleaseConnectionUserID();
        sTLV_TREE_NODE *tree = nullptr;
        const bool ok = n > 0 && TLVTree_DecodeServiceMsg(answer, size_t(n), &tree) == DecodeStatus::Ok &&
                        TlvTree_GetTag(tree) == kEchoAnswer;
        TlvTree_Release(tree);
        if (ok) {
            RYN_LOG(OBJ_COM, LOG_DEBUG, "EchoTask: OK");
            idleLimit = options_.echoIdleMs;
            failures = 0;
            continue;
        }
        ++failures;
        RYN_LOG(OBJ_COM, LOG_WARNING, "EchoTask: error=%d", n);
        if (failures > options_.echoMaxFailures) {
            dead = true;
            break;
        }
        idleLimit = options_.echoRetryMs;
    }
    if (dead && echoGeneration_.load() == generation) {
        // Our channel is gone or silent: close it (only if it is still ours)
        // and the services connection, so discovery starts over.
        {
            AutoLock lock(csCnx);
            channelConnected.store(false);
            RYN_LOG(OBJ_COM, LOG_INFO, "EchoTask: close connection ");
            if (channel_ == mine) {
                RYN_LOG(OBJ_COM, LOG_INFO, "Close asocket = %d", mine->fd());
                dropChannel();
            }
            connectionOpen = false;
            channelTlsUp_.store(false);
            g_isSSLCom.store(false);
        }
        AutoLock lock(servicesLock_);
        if (services_) services_->interrupt();
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "EchoTask: Exit");
}

int Com::treatEchoRuvaloRequest(ServiceConnection &connection, const unsigned char *, uint32_t) {
    const std::string answer = echoEnvelope(kTerminalEchoAnswer);
    const int written = answer.empty() ? -1 : int(sendAll(connection, answer.data(), answer.size()));
    RYN_LOG(OBJ_COM, LOG_INFO, "treatEchoRuvaloRequest response = %d", written);
    return written;
}
