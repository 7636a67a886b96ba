// The bridge table and the host-to-terminal bridges: table set-up at the
// network thread's start and join at its end, run-time additions, the host
// listener, the per-client worker and the two copy loops shared by every
// kind of bridge.
//
// Threads: the network thread (startBridges, joinBridges, the exit hook),
// application threads (AddDynamicBridge*), one listener per host-to-terminal
// entry, one worker per host client (the listener's own thread for the fixed
// ports), one host-to-terminal copy thread per connection.
//
// Locks: g_additionLock serialises additions and guards every entry's
// thread handle, `nbDynamicCtx` and the session flag; it is never taken by
// a bridge thread, so the network thread may hold it while joining them.
// Context state changes and every NetReadIp/NetWriteIp take the context's
// lock (after the pool lock when both are needed, inside net_ctx).
#include "bridge/bridge.h"

#include "link/rynsock.h"
#include "service/log.h"
#include "service/primitives.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace {

std::mutex g_additionLock;
std::condition_variable g_sessionChanged;
// True from startBridges until the network thread begins to join the
// bridges: only then may an addition start a thread, so that every thread
// started is joined by that network thread.
bool g_session = false;  // GUARDED_BY(g_additionLock)

// How long an addition waits for a network thread that has just been
// started to set up its bridges.
constexpr auto kSessionWait = std::chrono::seconds(2);
constexpr int kListenerPollMs = 10;
constexpr int kAcceptWaitMs = 1000;
constexpr int kHostWriteWaitMs = 5000;
constexpr int kNoRoomBackoffMs = 150;
constexpr int kMaxDialAttempts = 10;
constexpr int kPendingHostBytes = kBridgeBufferSize;
constexpr uint16_t kChannelPort = 5188;
constexpr uint16_t kServicesPort = 5186;
constexpr uint16_t kSocksPort = 1080;

void sleepMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool exitRequested() { return GlobalExit.load() != 0; }
bool listenerMustEnd() { return GlobalExit.load() != 0 || GlobalIdle.load() != 0; }

__attribute__((format(printf, 2, 3))) void tracef(tagCTX_FSM *ctx, const char *fmt, ...) {
    if (!ryn::log::enabled()) return;
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    CtxTrace(ctx, text);
}

// Error number and its text, for the traces that show both.
struct ErrText {
    int number;
    char buffer[128];
    const char *text;
    ErrText() : number(errno), text(strerror_r(number, buffer, sizeof buffer)) {}
};

class CtxLock {
public:
    explicit CtxLock(tagCTX_FSM *ctx) : ctx_(ctx) { pthread_mutex_lock(&ctx_->lock); }
    ~CtxLock() { pthread_mutex_unlock(&ctx_->lock); }
    CtxLock(const CtxLock &) = delete;
    CtxLock &operator=(const CtxLock &) = delete;

private:
    tagCTX_FSM *ctx_;
};

void setState(tagCTX_FSM *ctx, int32_t state) {
    CtxLock lock(ctx);
    ctx->state = state;
}

const char *stateName(int32_t s) {
    static const char *const names[] = {"IDLE", "LISTEN", "OPEN", "WAITCNX", "CONNECTED", "CLOSE"};
    return s >= 0 && s <= TCP_CLOSE ? names[s] : "?";
}

// Entry set-up shared by every kind of entry. REQUIRES: g_additionLock,
// and no thread running on the entry.
void resetEntry(int index, uint8_t direction, uint16_t terminalPort, uint16_t hostPort, uint32_t terminalAddr,
                uint32_t anyInterface) {
    tagCTX_FSM *ctx = &SrvCtx[index];
    CtxLock lock(ctx);
    ctx->spare = 0;
    ctx->id = index;
    ctx->direction = direction;
    ctx->state = TCP_LISTEN_CTX;
    ctx->sock = nullptr;
    ctx->terminal_port = terminalPort;
    ctx->host_port = hostPort;
    ctx->terminal_addr = terminalAddr;
    ctx->event = nullptr;
    ctx->ready = 0;
    ctx->any_interface = anyInterface;
    ctx->running = 0;
}

// REQUIRES: g_additionLock. CreateThread's result (0 = started).
int startEntryThread(tagCTX_FSM *ctx, void *(*body)(void *)) {
    int rc = CreateThread(&ctx->thread, &ctx->thread_attr, body, ctx);
    if (rc == 0) {
        ctx->has_thread = true;
    } else {
        pthread_attr_destroy(&ctx->thread_attr);
    }
    return rc;
}

// REQUIRES: g_additionLock.
void joinEntryThread(tagCTX_FSM *ctx) {
    if (!ctx->has_thread) return;
    pthread_join(ctx->thread, nullptr);
    pthread_attr_destroy(&ctx->thread_attr);
    ctx->has_thread = false;
}

// REQUIRES: g_additionLock.
int addStaticLocked(int index, uint16_t terminalPort, uint16_t hostPort, int direction) {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "AddStaticBridge [%d] port:%d <-> %d dir:%d", index, hostPort, terminalPort,
            direction);
    if (index < 0 || index >= kStaticContexts || SrvCtx[index].has_thread) return -1;
    if (direction == 0) {
        resetEntry(index, kDirHostToTerminal, terminalPort, hostPort, kTerminalLinkAddr, 0);
        return startEntryThread(&SrvCtx[index], OpenOsToRuvaloBridge);
    }
    if (direction == 1) {
        resetEntry(index, kDirTerminalToHost, terminalPort, hostPort, 0, 0);
        return startEntryThread(&SrvCtx[index], RuvaloToOpenOsBridge);
    }
    return -1;
}

// REQUIRES: g_additionLock.
int addSocksLocked(int index, uint16_t port) {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "AddSocksServer [%d] port:%d", index, port);
    if (index < 0 || index >= kStaticContexts || SrvCtx[index].has_thread) return -1;
    resetEntry(index, kDirTerminalToHost, port, 0, 0, 0);
    return startEntryThread(&SrvCtx[index], SocksServer);
}

// REQUIRES: g_additionLock. Joins the threads of entries 0 .. 6 + nbDynamicCtx.
void joinEntriesLocked() {
    int last = kFirstDynamicEntry + nbDynamicCtx.load();
    for (int i = 0; i < last && i < kStaticContexts; ++i) joinEntryThread(&SrvCtx[i]);
}

// The network thread's end, before the pool is torn down: no bridge thread
// may still read a context or a stack socket once NET_Exit runs.
void joinBridgeThreadsThenExit() {
    {
        std::lock_guard<std::mutex> lock(g_additionLock);
        g_session = false;
        joinEntriesLocked();
    }
    NET_Exit();
}

// Leaves the terminal side of an abandoned connection attempt: an entry
// still dialling (OPEN, WAITCNX) is closed so the stack drops the attempt
// instead of connecting with nobody bridging.
void abandonDial(tagCTX_FSM *ctx) {
    CtxLock lock(ctx);
    int32_t s = ctx->state.load();
    if (s == TCP_OPEN || s == TCP_WAITCNX) {
        tracef(ctx, "%s => CLOSE", stateName(s));
        ctx->state = TCP_CLOSE;
    }
}

void closeIfConnected(tagCTX_FSM *ctx) {
    CtxLock lock(ctx);
    if (ctx->state.load() == TCP_CONNECTED) {
        CtxTrace(ctx, "CONNECTED => CLOSE");
        ctx->state = TCP_CLOSE;
    }
}

// Worker of a pool context: owns its record and frees it at the end.
void *poolWorkerMain(void *record) {
    manageOpenOsToRuvaloBridge(record);
    delete static_cast<BridgeConnection *>(record);
    return nullptr;
}

// Waits until a previous attempt's close has been processed by the pump
// (the context rests in IDLE or LISTEN), so a new OPEN never overwrites a
// CLOSE whose socket is still to be closed. False on GlobalExit.
bool waitUntilAtRest(tagCTX_FSM *ctx) {
    for (;;) {
        if (exitRequested()) return false;
        int32_t s = ctx->state.load();
        if (s == TCP_IDLE || s == TCP_LISTEN_CTX) return true;
        sleepMs(kListenerPollMs);
    }
}

// One terminal-to-host step; *moved = bytes forwarded. 0 or -1.
int forwardTerminalToHost(tagCTX_FSM *ctx, int hostSocket, int *moved) {
    uint8_t buffer[kBridgeBufferSize];
    *moved = 0;
    int n;
    {
        CtxLock lock(ctx);
        n = NetReadIp(ctx, buffer, sizeof buffer);
    }
    if (n == 0) return 0;
    if (n < 0) {
        CtxTrace(ctx, "Rx data from terminal: Error");
        return -1;
    }
    tracef(ctx, "Rx data from terminal (len=%d)", n);
    int sent = 0;
    while (sent < n) {
        pollfd p{hostSocket, POLLOUT, 0};
        int r = poll(&p, 1, kHostWriteWaitMs);
        if (r == 0) {
            tracef(ctx, "Tx data to host: select (%d)", 0);
            return -1;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            ErrText e;
            tracef(ctx, "Tx data to host: select error (%d: %s)", e.number, e.text);
            return -1;
        }
        ssize_t s = send(hostSocket, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (s < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            ErrText e;
            tracef(ctx, "Tx data to host: send error (%d: %s)", e.number, e.text);
            return -1;
        }
        if (s == 0) return -1;
        tracef(ctx, "Tx data to host (len=%d)", static_cast<int>(s));
        sent += static_cast<int>(s);
        // The rest waits for the host to read (the poll above); a stop ends it.
        if (sent < n && exitRequested()) return -1;
    }
    *moved = n;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Adding bridges

int AddStaticBridge(int index, uint16_t terminalPort, uint16_t hostPort, int direction) {
    std::lock_guard<std::mutex> lock(g_additionLock);
    return addStaticLocked(index, terminalPort, hostPort, direction);
}

int AddSocksServer(int index, uint16_t port) {
    std::lock_guard<std::mutex> lock(g_additionLock);
    return addSocksLocked(index, port);
}

int AddDynamicBridgeExt(uint16_t terminalPort, uint16_t hostPort, int direction, int anyInterface) {
    std::unique_lock<std::mutex> lock(g_additionLock);
    const int count = nbDynamicCtx.load();
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "AddDynamicBridge port:%d dir:%d %s nbDynamicCtx=%d", terminalPort, direction,
            anyInterface ? "ANY" : "LOCAL", count);
    // A thread started now must have a network thread to join it.
    if (!exitRequested() && !g_session)
        g_sessionChanged.wait_for(lock, kSessionWait, [] { return g_session || GlobalExit.load() != 0; });
    if (exitRequested() || !g_session) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "AddDynamicBridge refused: the network thread is %s",
                exitRequested() ? "stopping" : "not running");
        return -3;
    }
    const uint8_t wanted = direction == 0 ? kDirHostToTerminal : (direction == 1 ? kDirTerminalToHost : 0);
    for (int i = 0; i < count; ++i) {
        const tagCTX_FSM &e = SrvCtx[kFirstDynamicEntry + i];
        if (wanted != 0 && e.terminal_port == terminalPort && e.direction == wanted) {
            RYN_LOG(OBJ_NETWORK, LOG_INFO, "Bridge already exists!!!!");
            return -2;
        }
    }
    if (count >= kMaxDynamicBridges) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Too many bridges!!!!");
        return -1;
    }
    if (wanted == 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "AddDynamicBridge: direction %d is neither 0 nor 1", direction);
        return -4;
    }
    const int index = kFirstDynamicEntry + count;
    tagCTX_FSM *ctx = &SrvCtx[index];
    int rc;
    if (direction == 0) {
        resetEntry(index, kDirHostToTerminal, terminalPort, hostPort, kTerminalLinkAddr, anyInterface ? 1 : 0);
        rc = startEntryThread(ctx, OpenOsToRuvaloBridge);
    } else {
        resetEntry(index, kDirTerminalToHost, terminalPort, hostPort, 0, 0);
        rc = startEntryThread(ctx, RuvaloToOpenOsBridge);
    }
    if (rc != 0) return -3;
    nbDynamicCtx = count + 1;  // the pump steps the entry from now on
    for (int i = 0; i < 10; ++i) {
        if (ctx->ready.load() == 1) return 0;
        sleepMs(10);
    }
    return ctx->ready.load() == 1 ? 0 : -4;
}

int AddDynamicBridge(uint16_t port, int direction, int anyInterface) {
    return AddDynamicBridgeExt(port, port, direction, anyInterface);
}
int AddDynamicBridgeLocal(uint16_t port, int direction) { return AddDynamicBridge(port, direction, 0); }
int AddDynamicBridgeAny(uint16_t port, int direction) { return AddDynamicBridge(port, direction, 1); }
int AddDynamicBridgeExtLocal(uint16_t terminalPort, uint16_t hostPort, int direction) {
    return AddDynamicBridgeExt(terminalPort, hostPort, direction, 0);
}
int AddDynamicBridgeExtAny(uint16_t terminalPort, uint16_t hostPort, int direction) {
    return AddDynamicBridgeExt(terminalPort, hostPort, direction, 1);
}

// ---------------------------------------------------------------------------
// Shared by every bridge

void closeSockets(int hostSocket, tagCTX_FSM *ctx) {
    tracef(ctx, "Close sockets: sock=%d", hostSocket);
    if (hostSocket != -1) {
        shutdown(hostSocket, SHUT_RDWR);
        close(hostSocket);
    }
    if (ctx->id >= kStaticContexts) {
        // A pool context may be handed on once released: release it last.
        closeIfConnected(ctx);
        releaseCtxSocket(ctx);
    } else {
        releaseCtxSocket(ctx);
        closeIfConnected(ctx);
    }
    sleepMs(100);
}

int prepareSocketListen(tagCTX_FSM *ctx) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        ErrText e;
        tracef(ctx, "Socket error (%d: %s)", e.number, e.text);
        return -1;
    }
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        ErrText e;
        tracef(ctx, "setsockopt error (%d: %s)", e.number, e.text);
        close(s);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(ctx->host_port);
    addr.sin_addr.s_addr = htonl(ctx->any_interface == 1 ? INADDR_ANY : INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ErrText e;
        tracef(ctx, "bind error (%d: %s)", e.number, e.text);
        close(s);
        return -1;
    }
    if (listen(s, 1) != 0) {
        ErrText e;
        tracef(ctx, "listen error (%d: %s)", e.number, e.text);
        close(s);
        return -1;
    }
    CtxTrace(ctx, "Listening...");
    return s;
}

int sendBytesToTerminal(tagCTX_FSM *ctx, const uint8_t *data, int length) {
    int done = 0;
    while (done < length) {
        int n;
        {
            CtxLock lock(ctx);
            n = NetWriteIp(ctx, data + done, length - done);
        }
        if (n < 0) {
            CtxTrace(ctx, "Tx data to terminal: Error");
            return -1;
        }
        if (n > 0) {
            tracef(ctx, "Tx data to terminal (len=%d)", n);
            done += n;
            continue;
        }
        tracef(ctx, "Tx data to terminal: No more room (left=%d). Wait for 150ms", length - done);
        // Retry each pump period within the back-off: the stack frees room
        // only when the pump runs, and a fast link would otherwise idle for
        // most of the 150 ms.
        for (int waited = 0; waited < kNoRoomBackoffMs;) {
            int step = waitTimePump_ms.load();
            if (step < 1) step = 1;
            sleepMs(step);
            waited += step;
            if (exitRequested()) return -1;
            int room;
            {
                CtxLock lock(ctx);
                room = NetWriteIp(ctx, data + done, length - done);
            }
            if (room < 0) {
                CtxTrace(ctx, "Tx data to terminal: Error");
                return -1;
            }
            if (room > 0) {
                tracef(ctx, "Tx data to terminal (len=%d)", room);
                done += room;
                break;
            }
        }
    }
    return length;
}

int sendFromOsToRuvalo(tagCTX_FSM *ctx, int hostSocket) {
    pollfd p{hostSocket, POLLIN, 0};
    int wait = waitTimePump_ms.load();
    int r = poll(&p, 1, wait < 1 ? 1 : wait);
    if (r < 0) {
        if (errno == EINTR) return 0;
        ErrText e;
        tracef(ctx, "Rx data from host: Error select (%d: %s)", e.number, e.text);
        return -1;
    }
    if (r == 0) return 0;
    uint8_t buffer[kBridgeBufferSize];
    ssize_t n = recv(hostSocket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        tracef(ctx, "Rx data from host (len=%d)", static_cast<int>(n));
        int len = static_cast<int>(n);
        return sendBytesToTerminal(ctx, buffer, len) == len ? len : -1;
    }
    if (n == 0) {
        CtxTrace(ctx, "Rx data from host: Socket closed");
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    ErrText e;
    tracef(ctx, "Rx data from host: Error recv (%d: %s)", e.number, e.text);
    return -1;
}

int sendFromRuvaloToOs(tagCTX_FSM *ctx, int hostSocket) {
    int moved = 0;
    return forwardTerminalToHost(ctx, hostSocket, &moved);
}

void *bridgeConnectionsOut(void *record) {
    auto *rec = static_cast<BridgeConnection *>(record);
    tagCTX_FSM *ctx = rec->ctx;
    CtxTrace(ctx, "bridgeConnectionsOut : START");
    while (!exitRequested()) {
        int32_t state;
        {
            CtxLock lock(ctx);
            state = ctx->state.load();
        }
        if (state != TCP_CONNECTED) {
            CtxTrace(ctx, "Connection to terminal lost");
            break;
        }
        if (ctx->running.load() == 0) break;
        int n = sendFromOsToRuvalo(ctx, rec->hostSocket);
        if (n < 0) {
            CtxTrace(ctx, "send to Ruvalo failed");
            break;
        }
        if (n > 0) {
            CtxTrace(ctx, "bridgeConnectionsOut : SetEvent");
            signalEvent(g_bridgeEvent.load());  // the pump sends it without waiting for its tick
        }
    }
    {
        CtxLock lock(ctx);
        ctx->running = 0;
    }
    CtxTrace(ctx, "bridgeConnectionsOut : END");
    return nullptr;
}

void bridgeConnectionsIn(tagCTX_FSM *ctx, int hostSocket) {
    CtxTrace(ctx, "bridgeConnectionsIn : START");
    bool more = false;  // the last step filled its buffer: read again at once
    while (!exitRequested()) {
        if (!more) waitForEvent(ctx->event.load(), waitTimePump_ms.load());
        int moved = 0;
        if (forwardTerminalToHost(ctx, hostSocket, &moved) < 0) break;
        more = moved == kBridgeBufferSize;
        if (ctx->state.load() != TCP_CONNECTED) {
            // What the terminal sent before closing still goes to the host.
            for (int i = 0; i < 64 && moved > 0 && !exitRequested(); ++i)
                if (forwardTerminalToHost(ctx, hostSocket, &moved) < 0) break;
            CtxTrace(ctx, "Connection to terminal lost");
            break;
        }
        if (ctx->running.load() == 0) break;
    }
    {
        CtxLock lock(ctx);
        ctx->running = 0;
    }
    CtxTrace(ctx, "bridgeConnectionsIn : END");
}

// ---------------------------------------------------------------------------
// Host-to-terminal listener and worker

void *OpenOsToRuvaloBridge(void *entry) {
    auto *ctx = static_cast<tagCTX_FSM *>(entry);
    CtxTrace(ctx, "Start thread");
    while (!listenerMustEnd()) {
        while (!listenerMustEnd() && ctx->state.load() != TCP_IDLE) sleepMs(kListenerPollMs);
        if (listenerMustEnd()) break;
        CtxTrace(ctx, "state=TCP IDLE");
        int listenSocket = prepareSocketListen(ctx);
        if (listenSocket < 0) {
            for (int i = 0; i < 100 && !listenerMustEnd(); ++i) sleepMs(kListenerPollMs);
            continue;
        }
        CtxTrace(ctx, "Waiting for connection...");
        while (!listenerMustEnd()) {
            int32_t state = ctx->state.load();
            if (state != TCP_IDLE) {
                tracef(ctx, "state=%d", state);
                break;
            }
            ctx->ready = 1;
            pollfd p{listenSocket, POLLIN, 0};
            int r = poll(&p, 1, kAcceptWaitMs);
            if (r < 0) {
                if (errno != EINTR) {
                    ErrText e;
                    tracef(ctx, "select() failed: %d - %s", e.number, e.text);
                    sleepMs(kListenerPollMs);
                }
                continue;
            }
            if (r == 0) continue;
            CtxTrace(ctx, "Accepting connection...");
            int hostSocket = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (hostSocket < 0) {
                ErrText e;
                tracef(ctx, "accept() failed: %d - %s", e.number, e.text);
                break;
            }
            const uint16_t port = ctx->terminal_port;
            if (port == kServicesPort || port == kChannelPort || port == kSocksPort) {
                // One client at a time; the next ones wait in the backlog.
                BridgeConnection record{ctx, hostSocket};
                manageOpenOsToRuvaloBridge(&record);
                continue;
            }
            tagCTX_FSM *pool = getFreeOpenCtx(hostSocket);
            if (pool == nullptr) {
                shutdown(hostSocket, SHUT_RDWR);
                close(hostSocket);
                CtxTrace(ctx, "accept() failed: no more context free");
                continue;
            }
            auto *record = new (std::nothrow) BridgeConnection{pool, hostSocket};
            int rc = -1;
            {
                CtxLock lock(pool);
                pool->sock = nullptr;
                pool->state = TCP_IDLE;
                pool->spare = ctx->spare;
                pool->terminal_port = ctx->terminal_port;
                pool->host_port = ctx->host_port;
                pool->terminal_addr = ctx->terminal_addr;
                pool->ready = ctx->ready.load();
                pool->any_interface = ctx->any_interface;
                pool->direction = ctx->direction;
                pool->running = 0;
                pool->event = nullptr;
                if (record) rc = startCtxThreadLocked(pool, poolWorkerMain, record);
            }
            if (rc != 0) {
                delete record;
                CtxTrace(pool, "Connection worker not started");
                closeSockets(hostSocket, pool);
            }
        }
        CtxTrace(ctx, "Closing socketListen");
        close(listenSocket);
    }
    CtxTrace(ctx, "Stop thread");
    return nullptr;
}

void *manageOpenOsToRuvaloBridge(void *record) {
    auto *rec = static_cast<BridgeConnection *>(record);
    tagCTX_FSM *ctx = rec->ctx;
    const int hostSocket = rec->hostSocket;

    pthread_t *timer = nullptr;
    pthread_attr_t *timerAttr = nullptr;
    tagBridgeTimerEvent *event = nullptr;
    bridgeEvent_init(&timer, &timerAttr, &event);
    if (event) pthread_mutex_lock(&event->mutex);  // released only inside the waits
    {
        CtxLock lock(ctx);
        ctx->event = event;
    }

    uint8_t pending[kPendingHostBytes];
    int pendingLength = 0;
    int attempts = 0;
    bool hostOpen = true;
    for (;;) {
        if (!waitUntilAtRest(ctx)) break;
        setState(ctx, TCP_OPEN);  // the pump dials terminal_addr:terminal_port
        while (ctx->state.load() == TCP_OPEN && !exitRequested()) waitForEvent(event, waitTimePump_ms.load());
        if (exitRequested()) break;
        CtxTrace(ctx, "Connection to terminal in progress");
        while (ctx->state.load() == TCP_WAITCNX && !exitRequested() && hostOpen) {
            if (pendingLength == kPendingHostBytes) {  // full: leave the rest in the host socket
                sleepMs(10);
                continue;
            }
            pollfd p{hostSocket, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            ssize_t n = recv(hostSocket, pending + pendingLength, static_cast<size_t>(kPendingHostBytes - pendingLength),
                             MSG_DONTWAIT);
            if (n > 0) {
                pendingLength += static_cast<int>(n);
                tracef(ctx, "Rx data from host (len=%d)", static_cast<int>(n));
            } else if (n == 0) {
                CtxTrace(ctx, "Rx data from host: Socket closed");
                hostOpen = false;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                ErrText e;
                tracef(ctx, "Rx data from host: Error recv (%d: %s)", e.number, e.text);
                hostOpen = false;
            }
        }
        const int32_t state = ctx->state.load();
        if (state == TCP_CONNECTED && hostOpen && !exitRequested()) {
            CtxTrace(ctx, "Connection to terminal succeeded");
            tracef(ctx, "after while state=%d", state);
            if (pendingLength > 0 && sendBytesToTerminal(ctx, pending, pendingLength) != pendingLength) break;
            {
                CtxLock lock(ctx);
                ctx->running = 1;
            }
            BridgeConnection outRecord{ctx, hostSocket};
            pthread_t out;
            if (pthread_create(&out, nullptr, bridgeConnectionsOut, &outRecord) != 0) {
                CtxTrace(ctx, "bridgeConnectionsOut : not started");
                CtxLock lock(ctx);
                ctx->running = 0;
                break;
            }
            bridgeConnectionsIn(ctx, hostSocket);
            pthread_join(out, nullptr);
            break;
        }
        if (exitRequested() || !hostOpen) {
            tracef(ctx, "after while state=%d", state);
            break;
        }
        CtxTrace(ctx, "Connection to terminal failed");
        ++attempts;
        sleepMs(500);
        tracef(ctx, "cnx_try=%d state=%d", attempts, ctx->state.load());
        if (attempts < kMaxDialAttempts && hostOpen && !exitRequested() && rynsock_connected() == 1) continue;
        tracef(ctx, "after while state=%d", ctx->state.load());
        break;
    }

    abandonDial(ctx);
    // Unpublish before destroying: the pump signals the event under the lock.
    {
        CtxLock lock(ctx);
        ctx->event = nullptr;
    }
    if (event) pthread_mutex_unlock(&event->mutex);
    bridgeEvent_deinit(&timer, &timerAttr, &event);
    closeSockets(hostSocket, ctx);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Network thread hooks

namespace ryn::bridge {

void startBridges() {
    {
        std::lock_guard<std::mutex> lock(g_additionLock);
        // The previous network thread joined its bridges and reset the count.
        nbDynamicCtx = 0;
        addStaticLocked(0, kChannelPort, static_cast<uint16_t>(g_dwPortOut.load()), 0);
        addStaticLocked(1, kServicesPort, static_cast<uint16_t>(g_dwPortIn.load()), 1);
        for (int i = 2; i < kFirstDynamicEntry; ++i) addSocksLocked(i, kSocksPort);
        g_session = true;
    }
    g_sessionChanged.notify_all();
}

void joinBridges() {
    std::lock_guard<std::mutex> lock(g_additionLock);
    g_session = false;
    joinEntriesLocked();
    nbDynamicCtx = 0;
}

void installNetworkHooks() {
    ryn::link::NetworkHooks hooks;
    hooks.initialize = NET_Initialize;
    hooks.enter = NET_Enter;
    hooks.execPump = NET_ExecPump;
    hooks.closeAll = NET_CloseAll;
    hooks.allClosed = NET_AllClosed;
    hooks.exit = joinBridgeThreadsThenExit;
    hooks.deinitialize = NET_Deinitialize;
    hooks.startBridges = startBridges;
    hooks.joinBridges = joinBridges;
    ryn::link::bindNetworkHooks(hooks);
}

}  // namespace ryn::bridge
