// Com: construction, the stop sequence, the services server and the
// receive/dispatch thread. The channel half lives in channel.cpp.
#include "services/com.h"

#include "service/config.h"
#include "service/log.h"
#include "service/service_thread.h"
#include "services/envelope.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace ryn::services;

namespace {

constexpr int kAcceptWaitMs = 1000;   // the server re-checks stop at least this often
constexpr int kReceiveWaitMs = 1000;  // so does the receive thread
constexpr int kBindRetryMs = 1000;

}  // namespace

ComOptions ComOptions::fromConfig() {
    ComOptions o;
    o.ipMode = g_isIpCompanion.load();
    o.tls = o.ipMode && g_CompanionInfo.useSsl != 0;
    return o;
}

Com::Com() : Com(ComOptions::fromConfig()) {}

Com::Com(const ComOptions &options)
    : terminalAddress(htonl(INADDR_LOOPBACK)),
      options_(options),
      table_(options.table ? options.table : &defaultServiceTable()) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        // Without the pipe, waits still end by their timeouts.
        RYN_LOG(OBJ_COM, LOG_ERROR, "Com: wake pipe error %d", errno);
        wake_[0] = wake_[1] = -1;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "APA iniatilize to NULL SSL");
    g_isSSLCom.store(false);
    registerServiceHandler(0x60020040, &Com::treatEchoRuvaloRequest);
    if (CreateThread(&hServerThread_, &hServerThreadAttr_, &Com::ServicesServer, this) == 0)
        hasServerThread_ = true;
    else
        RYN_LOG(OBJ_COM, LOG_ERROR, "Com: cannot start ServicesServer");
    if (options_.ipMode) {
        if (CreateThread(&hIpServerThread_, &hIpServerThreadAttr_, &Com::IpComServer, this) == 0)
            hasIpServerThread_ = true;
        else
            RYN_LOG(OBJ_COM, LOG_ERROR, "Com: cannot start IpComServer");
    }
}

Com::~Com() {
    stop.store(true);
    if (wake_[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
    }
    CloseAllConnection();

    // Threads first, descriptors after: a descriptor closed under a running
    // thread could be reused by another open and read by the wrong owner.
    if (hasServerThread_) {
        RYN_LOG(OBJ_COM, LOG_INFO, "Wait hServerThread...");
        pthread_join(hServerThread_, nullptr);
        pthread_attr_destroy(&hServerThreadAttr_);
        hasServerThread_ = false;
        RYN_LOG(OBJ_COM, LOG_INFO, "Returning from hServerThread");
    }
    {
        AutoLock lock(servicesLock_);
        retireServices();
    }
    if (hasIpServerThread_) {
        RYN_LOG(OBJ_COM, LOG_INFO, "Wait IpComServer...");
        pthread_join(hIpServerThread_, nullptr);  // it retires its echo task
        pthread_attr_destroy(&hIpServerThreadAttr_);
        hasIpServerThread_ = false;
    }
    retireEcho();
    CloseAllConnection();  // a channel accepted while stopping
    const int listenFd = socketListen.exchange(-1);
    if (listenFd >= 0) {
        RYN_LOG(OBJ_COM, LOG_INFO, "Closing socketListen %d", listenFd);
        ::close(listenFd);
    }
    for (int &fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "Leaving Com");
}

bool Com::GetStatusCom() { return channelConnected.load() && servicesConnected.load(); }

bool Com::waitStop(int ms) {
    if (stop.load()) return true;
    pollfd pfd{wake_[0], POLLIN, 0};
    if (wake_[0] >= 0)
        ::poll(&pfd, 1, ms);
    else
        ::usleep(useconds_t(ms) * 1000);
    return stop.load();
}

// ---- services server ---------------------------------------------------

void *Com::ServicesServer(void *self) {
    auto *com = static_cast<Com *>(self);
    ryn::ServiceThreadScope scope;
    RYN_LOG(OBJ_COM, LOG_INFO, "ServicesServer: Start");
    while (!com->stop.load()) {
        int fd = -1;
        if (!com->openListener(fd)) continue;
        com->socketListen.store(fd);
        com->serveListening(fd);
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "ServicesServer: Exit");
    return nullptr;
}

bool Com::openListener(int &fd) {
    for (int attempt = 0; attempt < 3 && !stop.load(); ++attempt) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) break;
        RYN_LOG(OBJ_COM, LOG_ERROR, "ServicesServer: Retry open socket");
        waitStop(1000);
    }
    if (fd < 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "ServicesServer:  SOCKET ERROR");
        waitStop(10);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.servicesPort);
    // Serial mode: only the local bridge dials in; the LAN must not reach
    // the payment services. IP mode: the terminal comes from the network.
    addr.sin_addr.s_addr = htonl(options_.ipMode ? INADDR_ANY : INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "ServicesServer: bind error %d", errno);
        ::close(fd);
        fd = -1;
        waitStop(kBindRetryMs);
        return false;
    }
    if (::listen(fd, 1) != 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "ServicesServer: listen error %d", errno);
        ::close(fd);
        fd = -1;
        waitStop(kBindRetryMs);
        return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0)
        boundPort_.store(ntohs(bound.sin_port));
    return true;
}

void Com::serveListening(int listenFd) {
    for (;;) {
        pollfd pfd[2] = {{listenFd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(pfd, wake_[0] >= 0 ? 2 : 1, kAcceptWaitMs);
        if (stop.load()) {
            RYN_LOG(OBJ_COM, LOG_INFO, "ServicesServer: select stop");
            return;
        }
        reapFinishedServices();
        if (r <= 0 || !(pfd[0].revents & POLLIN)) continue;
        acceptOne(listenFd);
    }
}

void Com::acceptOne(int listenFd) {
    RYN_LOG(OBJ_COM, LOG_INFO, "ServicesServer: accept");
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "ServicesServer: accept error %d", errno);
        waitStop(10);
        return;
    }
    TransportPtr connection;
    if (options_.ipMode) {
        connection = secureAccepted(fd, "services");
        if (!connection) return;
        servicesTlsUp_.store(options_.tls);
        if (options_.tls && channelTlsUp_.load()) g_isSSLCom.store(true);
    } else {
        connection = std::make_shared<PlainTransport>(fd);
    }

    if (!options_.ipMode) {
        // The terminal is up: open the channel towards it as well.
        uint32_t slot;
        if (GetConnection(&slot)) {
            channelConnected.store(true);
            ReleaseConnectionUserID();
        }
    }

    AutoLock lock(servicesLock_);
    retireServices();
    services_ = connection;
    socketServer.store(fd);
    RYN_LOG(OBJ_COM, LOG_INFO, "ServicesServer: connected %d", fd);
    servicesFinished_.store(false);
    servicesConnected.store(true);
    // The thread gets its connection with it: it must not need
    // servicesLock_, which its joiner may hold.
    auto *args = new ReceiveArgs{this, connection};
    if (CreateThread(&hServicesThread_, &hServicesThreadAttr_, &Com::ReceiveServicesThread, args) == 0) {
        hasServicesThread_ = true;
    } else {
        delete args;
        RYN_LOG(OBJ_COM, LOG_ERROR, "ServicesServer: cannot start ReceiveServicesThread");
        servicesConnected.store(false);
        services_.reset();
        socketServer.store(-1);
    }
}

void Com::retireServices() {
    if (services_) services_->interrupt();
    if (hasServicesThread_) {
        RYN_LOG(OBJ_COM, LOG_INFO, "Wait hServicesThread...");
        pthread_join(hServicesThread_, nullptr);
        pthread_attr_destroy(&hServicesThreadAttr_);
        hasServicesThread_ = false;
        RYN_LOG(OBJ_COM, LOG_INFO, "End hServicesThread");
    }
    const int fd = socketServer.exchange(-1);
    if (fd >= 0) RYN_LOG(OBJ_COM, LOG_INFO, "Closing socketServer %d", fd);
    services_.reset();  // the last reference closes the descriptor
    servicesConnected.store(false);
}

void Com::reapFinishedServices() {
    if (!servicesFinished_.load()) return;
    AutoLock lock(servicesLock_);
    if (servicesFinished_.exchange(false)) retireServices();
}

// ---- receive and dispatch ------------------------------------------------

void *Com::ReceiveServicesThread(void *arg) {
    std::unique_ptr<ReceiveArgs> args(static_cast<ReceiveArgs *>(arg));
    Com *com = args->com;
    ryn::ServiceThreadScope scope;
    com->receiveLoop(args->connection);
    args->connection.reset();
    com->servicesConnected.store(false);
    com->servicesFinished_.store(true);
    RYN_LOG(OBJ_COM, LOG_INFO, "ReceiveServicesThread END");
    return nullptr;
}

void Com::receiveLoop(const TransportPtr &connection) {
    Socket socket(*connection, wake_[0]);
    Frame frame;
    RYN_LOG(OBJ_COM, LOG_INFO, "ReceiveServicesThread Start");
    while (!stop.load()) {
        int r;
        try {
            r = frame.read(socket, kReceiveWaitMs);
        } catch (const SocketError &e) {
            connection->interrupt();
            RYN_LOG(OBJ_COM, LOG_ERROR, "Connection closed error %d", e.getLastError());
            return;
        }
        if (r == 0) continue;
        if (r == -1) {
            RYN_LOG(OBJ_COM, LOG_INFO, "ReceiveServicesThread frame.read false");
            connection->interrupt();
            return;
        }
        if (r == Frame::kTooLarge) {
            RYN_LOG(OBJ_COM, LOG_ERROR, "ReceiveServicesThread: declared payload %u above %u, closing",
                    EnvelopeView(reinterpret_cast<const unsigned char *>(frame.getBuffer().data()),
                                 frame.getBuffer().size())
                        .payloadLength(),
                    ryn::wire::envelope::kMaxPayload);
            connection->interrupt();
            return;
        }
        if (!frame.isComplete()) {
            RYN_LOG(OBJ_COM, LOG_DEBUG, "Incomplete message receive");
            continue;
        }
        const std::string message = frame.getBuffer();
        frame.reset();
        dispatch(*connection, message);
    }
}

void Com::dispatch(ServiceConnection &connection, const std::string &message) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(message.data());
    sTLV_TREE_NODE *tree = nullptr;
    if (TLVTree_DecodeServiceMsg(bytes, message.size(), &tree) != DecodeStatus::Ok) return;
    const uint32_t tag = TlvTree_GetTag(tree);
    TlvTree_Release(tree);

    const ServiceEntry *entry = table_->find(tag);
    const ServiceHandler handler = entry ? entry->handler.load() : nullptr;
    if (!handler) {
        RYN_LOG(OBJ_COM, LOG_WARNING, "TAG 0x%08X", tag);
        return;
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "%s", entry->name);
    try {
        handler(connection, bytes, uint32_t(message.size()));
    } catch (...) {
        // A handler's failure must not end the services connection.
        RYN_LOG(OBJ_COM, LOG_ERROR, "%s: handler failed", entry->name);
    }
}
