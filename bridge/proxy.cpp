// Terminal-to-host bridges and the outbound connections of the SOCKS
// servers: the listener of a terminal-to-host entry (the terminal connects
// to a link port, the host's 127.0.0.1:host_port is dialled), the worker
// that relays one such connection, the non-blocking connect with its
// errno-to-reply mapping, and the terminal's name resolution with the
// placeholder address for IPv6-only names.
#include "bridge/proxy.h"

#include "bridge/socks_wire.h"
#include "link/rynsock.h"
#include "service/log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace {

using ryn::bridge::AddrInfoList;
using ryn::bridge::resolutionStore;

void ctxTracef(tagCTX_FSM *ctx, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void ctxTracef(tagCTX_FSM *ctx, const char *fmt, ...) {
    if (!ryn::log::enabled()) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    CtxTrace(ctx, text);
}

const char *errText(int err, char *buf, size_t size) {
    // GNU strerror_r returns the text (maybe not in buf).
    return strerror_r(err, buf, size);
}

bool stopping() { return GlobalExit.load() != 0 || GlobalIdle.load() != 0; }

// Sleeps ms milliseconds in 10 ms steps; false (early) once `stop` holds.
template <typename Stop>
bool sleepUnless(int ms, Stop stop) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (stop()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !stop();
}

int newHostSocket(tagCTX_FSM *ctx) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        int err = errno;
        char buf[128];
        ctxTracef(ctx, "Socket error (%d: %s)", err, errText(err, buf, sizeof buf));
    }
    return s;
}

bool isFixedPort(uint16_t port) { return port == 5186 || port == 5188 || port == 1080; }

// Heap record of a pool worker: the worker frees it.
void *poolWorker(void *arg) {
    auto *record = static_cast<BridgeConnection *>(arg);
    manageRuvaloToOpenOsBridge(record);
    delete record;
    return nullptr;
}

// Hands the entry's terminal connection to a pool context and starts its
// worker. false when no pool context is free (the host socket is closed).
bool handToPool(tagCTX_FSM *entry, int hostSocket) {
    auto *record = new (std::nothrow) BridgeConnection{nullptr, hostSocket};
    tagCTX_FSM *pool = record ? getFreeOpenCtx(hostSocket) : nullptr;
    if (pool == nullptr) {
        delete record;
        ::shutdown(hostSocket, SHUT_RDWR);
        ::close(hostSocket);
        CtxTrace(entry, "accept() failed: no more context free");
        return false;
    }
    record->ctx = pool;
    // The entry's lock, then the pool context's (no thread takes them the
    // other way round): the terminal connection moves in one step, so the
    // pump never sees it on both contexts or on neither.
    pthread_mutex_lock(&entry->lock);
    if (entry->state.load() != TCP_CONNECTED) {
        // The terminal left while the host was dialled: the entry's socket
        // is no longer that connection (it may already listen again).
        pthread_mutex_unlock(&entry->lock);
        delete record;
        CtxTrace(entry, "Connection to terminal lost");
        closeSockets(hostSocket, pool);  // frees the pool context
        return false;
    }
    CtxTrace(pool, "Start manageRuvaloToOpenOsBridge...");
    pthread_mutex_lock(&pool->lock);
    pool->sock = entry->sock;
    pool->spare = entry->spare;
    pool->terminal_port = entry->terminal_port;
    pool->host_port = entry->host_port;
    pool->terminal_addr = entry->terminal_addr;
    pool->ready.store(entry->ready.load());
    pool->any_interface = entry->any_interface;
    pool->direction = entry->direction;
    pool->state.store(TCP_CONNECTED);
    entry->sock = nullptr;
    entry->state.store(TCP_OPEN);  // terminal_addr 0: the pump closes it and listens again
    pthread_mutex_unlock(&entry->lock);
    // Started and recorded under the pool context's lock: the pump frees
    // the context only once this worker has ended and been joined.
    bool started = startCtxThreadLocked(pool, poolWorker, record) == 0;
    pthread_mutex_unlock(&pool->lock);
    if (!started) {
        delete record;
        CtxTrace(pool, "manageRuvaloToOpenOsBridge: thread not started");
        closeSockets(hostSocket, pool);
    }
    return true;
}

}  // namespace

namespace ryn::bridge {

ConnectionEvent::ConnectionEvent(tagCTX_FSM *ctx) : ctx_(ctx) {
    bridgeEvent_init(&thread_, &attr_, &event_);
    if (event_) pthread_mutex_lock(&event_->mutex);
    pthread_mutex_lock(&ctx_->lock);
    ctx_->event.store(event_);
    pthread_mutex_unlock(&ctx_->lock);
}

ConnectionEvent::~ConnectionEvent() {
    pthread_mutex_lock(&ctx_->lock);
    if (ctx_->event.load() == event_) ctx_->event.store(nullptr);
    pthread_mutex_unlock(&ctx_->lock);
    if (event_) pthread_mutex_unlock(&event_->mutex);
    bridgeEvent_deinit(&thread_, &attr_, &event_);
}

void relayConnection(tagCTX_FSM *ctx, int hostSocket) {
    BridgeConnection record{ctx, hostSocket};
    pthread_mutex_lock(&ctx->lock);
    ctx->running.store(1);
    pthread_mutex_unlock(&ctx->lock);
    pthread_t out;
    if (pthread_create(&out, nullptr, bridgeConnectionsOut, &record) != 0) {
        CtxTrace(ctx, "bridgeConnectionsOut: thread not started");
        pthread_mutex_lock(&ctx->lock);
        ctx->running.store(0);
        pthread_mutex_unlock(&ctx->lock);
        return;
    }
    bridgeConnectionsIn(ctx, hostSocket);
    pthread_join(out, nullptr);
}

}  // namespace ryn::bridge

void *manageRuvaloToOpenOsBridge(void *arg) {
    auto *record = static_cast<BridgeConnection *>(arg);
    tagCTX_FSM *ctx = record->ctx;
    {
        ryn::bridge::ConnectionEvent event(ctx);
        ryn::bridge::relayConnection(ctx, record->hostSocket);
        closeSockets(record->hostSocket, ctx);
    }
    return nullptr;
}

void *RuvaloToOpenOsBridge(void *arg) {
    auto *ctx = static_cast<tagCTX_FSM *>(arg);
    CtxTrace(ctx, "Start thread");
    int hostSocket = newHostSocket(ctx);
    while (hostSocket >= 0 && !stopping()) {
        ctx->ready.store(1);
        CtxTrace(ctx, "Waiting for connection from terminal");
        bool connected = false;
        while (!connected) {
            while (!stopping() && ctx->state.load() != TCP_CONNECTED)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (stopping()) break;

            CtxTrace(ctx, "Connection from terminal succeeded");
            sockaddr_in host{};
            host.sin_family = AF_INET;
            host.sin_port = htons(ctx->host_port);
            host.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(hostSocket, reinterpret_cast<sockaddr *>(&host), sizeof host) == 0) {
                connected = true;
                break;
            }
            int err = errno;
            char buf[128];
            ctxTracef(ctx, "Connection to host: Error (%d: %s)", err, errText(err, buf, sizeof buf));
            // A socket whose connect failed is in no state to be reused;
            // the terminal's connection stays open while we retry.
            ::close(hostSocket);
            hostSocket = -1;
            sleepUnless(1000, stopping);
            hostSocket = newHostSocket(ctx);
            if (hostSocket < 0) break;
        }
        if (!connected) break;

        CtxTrace(ctx, "Connection to host succeeded");
        if (isFixedPort(ctx->terminal_port)) {
            BridgeConnection record{ctx, hostSocket};
            manageRuvaloToOpenOsBridge(&record);  // closes hostSocket
        } else {
            // At most one new terminal connection per second; without a free
            // pool context the terminal's connection waits on the entry.
            handToPool(ctx, hostSocket);
            sleepUnless(1000, stopping);
        }
        // Either way hostSocket now belongs to someone else, or is closed.
        hostSocket = newHostSocket(ctx);
    }
    if (hostSocket >= 0) closeSockets(hostSocket, ctx);
    CtxTrace(ctx, "Stop thread");
    return nullptr;
}

int setSocketNonBlocking(tagCTX_FSM *ctx, int socket, bool on) {
    int flags = fcntl(socket, F_GETFL);
    if (flags < 0) {
        int err = errno;
        char buf[128];
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "[%d] Error fcntl(F_GETFL) (%s)\n", ctx->id, errText(err, buf, sizeof buf));
        return -1;
    }
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(socket, F_SETFL, flags) < 0) {
        int err = errno;
        char buf[128];
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "[%d] Error fcntl(F_SETFL) (%s)\n", ctx->id, errText(err, buf, sizeof buf));
        return -1;
    }
    return socket;
}

int setSocketWindowSize(tagCTX_FSM *ctx, int socket) {
    char buf[128];
    int size = 0;
    socklen_t len = sizeof size;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) {
        int err = errno;
        ctxTracef(ctx, "getsockopt SO_RCVBUF error(%d: %s)", err, errText(err, buf, sizeof buf));
        return socket;
    }
    if (size > kHostReceiveBufferCap) {
        size = kHostReceiveBufferCap;
        if (setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            int err = errno;
            ctxTracef(ctx, "setsockopt SO_RCVBUF error (%d: %s)", err, errText(err, buf, sizeof buf));
            return socket;
        }
        len = sizeof size;
        if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) {
            int err = errno;
            ctxTracef(ctx, "getsockopt SO_RCVBUF error (%d: %s)", err, errText(err, buf, sizeof buf));
        }
    }
    return socket;
}

namespace {

std::string addressText(const sockaddr *a, uint16_t *port) {
    char text[INET6_ADDRSTRLEN] = "?";
    *port = 0;
    if (a->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(a);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        *port = ntohs(in->sin_port);
    } else if (a->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(a);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        *port = ntohs(in6->sin6_port);
    }
    return text;
}

// Why an attempt must be given up (the terminal left, or the service stops);
// traces the reason. Nothing closes the host socket here: its owner does.
bool abandoned(tagCTX_FSM *ctx) {
    if (ctx->state.load() != TCP_CONNECTED) {
        CtxTrace(ctx, "Connection to host interrupted because connection to terminal has been closed by peer!");
        return true;
    }
    if (GlobalExit.load() != 0) {
        CtxTrace(ctx, "Connection to host interrupted because service has been stopped\n");
        return true;
    }
    return false;
}

}  // namespace

int connectToSocket(tagCTX_FSM *ctx, int socket, const sockaddr *address, socklen_t addressLength) {
    char buf[128];
    uint16_t port = 0;
    std::string text = addressText(address, &port);
    ctxTracef(ctx, "Trying to connect to [%s]:%d", text.c_str(), port);

    int result = 0;
    if (::connect(socket, address, addressLength) != 0) {
        int err = errno;
        if (err != EINPROGRESS) {
            ctxTracef(ctx, "Connection to host: Error in connect (%d: %s)\n", err, errText(err, buf, sizeof buf));
            result = err;
        } else {
            CtxTrace(ctx, "EINPROGRESS in connect() - selecting\n");
            for (;;) {
                pollfd p{socket, POLLOUT, 0};
                int n = ::poll(&p, 1, 1000);
                if (n == 0 || (n < 0 && errno == EINTR)) {
                    // No overall limit: the host's own TCP time-out ends a
                    // hopeless connect; the terminal or a stop end it sooner.
                    if (abandoned(ctx)) return -1;
                    continue;
                }
                if (n < 0) {
                    err = errno;
                    ctxTracef(ctx, "Connection to host: Error in select (%d: %s)\n", err,
                              errText(err, buf, sizeof buf));
                    result = err;
                    break;
                }
                int pending = 0;
                socklen_t len = sizeof pending;
                if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) {
                    err = errno;
                    ctxTracef(ctx, "Connection to host: Error in getsockopt() %d\n", err);
                    result = err;
                } else if (pending != 0) {
                    ctxTracef(ctx, "Connection to host: Error in delayed connection (%d: %s)\n", pending,
                              errText(pending, buf, sizeof buf));
                    result = pending;
                } else if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    CtxTrace(ctx, "Error in delayed connection()\n");
                    result = EINPROGRESS;
                }
                break;
            }
        }
    }
    if (abandoned(ctx)) return -1;
    return result;
}

int proxy_host_connection(tagCTX_FSM *ctx, const addrinfo *addressList, uint16_t port, uint8_t *reply,
                          int replyLength) {
    namespace socks = ryn::socks;
    uint8_t lastCode = 0;
    for (const addrinfo *ai = addressList; ai != nullptr; ai = ai->ai_next) {
        sockaddr_storage addr{};
        socklen_t addrLength = 0;
        uint8_t replyAddr[4];
        if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in;
            std::memcpy(&in, ai->ai_addr, sizeof in);
            if (in.sin_addr.s_addr == 0) continue;
            in.sin_port = htons(port);
            std::memcpy(&addr, &in, sizeof in);
            addrLength = sizeof in;
            std::memcpy(replyAddr, &in.sin_addr.s_addr, 4);
        } else if (ai->ai_family == AF_INET6 && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 in6;
            std::memcpy(&in6, ai->ai_addr, sizeof in6);
            in6.sin6_port = htons(port);
            std::memcpy(&addr, &in6, sizeof in6);
            addrLength = sizeof in6;
            std::memcpy(replyAddr, socks::kPlaceholderIpv4, 4);
        } else {
            continue;
        }
        int s = ::socket(ai->ai_family, (ai->ai_socktype ? ai->ai_socktype : SOCK_STREAM) | SOCK_CLOEXEC,
                         ai->ai_protocol);
        if (s < 0) continue;
        if (setSocketNonBlocking(ctx, s, true) < 0) {
            ::close(s);
            continue;
        }
        setSocketWindowSize(ctx, s);
        int rc = connectToSocket(ctx, s, reinterpret_cast<const sockaddr *>(&addr), addrLength);
        if (rc == 0) {
            CtxTrace(ctx, "Connection to host succeeded");
            setSocketNonBlocking(ctx, s, false);
            socks::writeConnectedReply(reply, replyAddr, port);
            if (NetWriteIpBlock(ctx, reply, static_cast<int>(socks::kReplyLength), 100) ==
                static_cast<int>(socks::kReplyLength))
                return s;
            ::close(s);
            return -1;
        }
        ::close(s);  // the one close of this socket, whatever the outcome
        if (rc < 0) return -1;
        lastCode = socks::replyForErrno(rc);
    }
    if (lastCode != 0) {
        ctxTracef(ctx, "Send error %d to socks client", lastCode);
        reply[socks::request::REP] = lastCode;
    } else {
        CtxTrace(ctx, "Could not connect to any host\n");
        reply[socks::request::REP] = socks::kRepHostUnreachable;
    }
    NetWriteIpBlock(ctx, reply, replyLength, 100);
    return -1;
}

char *GetHostByName(const char *name) {
    auto *result = static_cast<char *>(calloc(1, 16));
    if (result == nullptr) return nullptr;
    if (name == nullptr) return result;
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s trying to resolve %s", "GetHostByName", name);
    auto &store = resolutionStore();
    store.beginResolution();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_V4MAPPED | AI_ADDRCONFIG;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0) return result;
    AddrInfoList list(found);
    bool placeholder = false;
    std::string text = ryn::bridge::textForTerminal(list.get(), &placeholder);
    snprintf(result, 16, "%s", text.c_str());
    if (placeholder)
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s IP resolved is an IPv6. For legacy reason, we return an IPv4.",
                "GetHostByName");
    store.finishResolution(std::move(list), placeholder);
    return result;
}
