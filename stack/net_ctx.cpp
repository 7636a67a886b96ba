// Connection contexts and the network pump (see net_ctx.h).
//
// Socket records: a record that sock_find_free handed out stays reserved
// for its context until sock_close gives it back, even once the stack has
// freed the connection (socket.h), so a context holding a dead record can
// never see it reused by another. Each context therefore gives back every
// record it took exactly once: in TCP_Close, or as soon as the stack says
// the connection is gone, and the pointer is cleared at that moment so no
// bridge thread reads through it afterwards.
#include "stack/net_ctx.h"

#include "link/rynsock.h"
#include "service/log.h"
#include "service/primitives.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

tagCTX_FSM SrvCtx[kStaticContexts];
std::atomic<int32_t> nbDynamicCtx{0};

MngOpenCtx OpenCtxPool[kPoolContexts];
pthread_mutex_t MngOpenCtxMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int32_t> OpenCtxIsInitialised{0};

namespace {

constexpr int kFirstPoolId = kStaticContexts;                 // 19
constexpr int kLastPoolId = kStaticContexts + kPoolContexts - 1;  // 50
constexpr uint16_t kSockModeImmediate = 0x0004;
constexpr int kPollSleepMs = 10;
constexpr uint16_t kSocksPort = 1080;

void sleepMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000u); }

bool isPoolCtx(const tagCTX_FSM *ctx) { return ctx->id >= kFirstPoolId && ctx->id <= kLastPoolId; }
MngOpenCtx &poolEntry(const tagCTX_FSM *ctx) { return OpenCtxPool[ctx->id - kFirstPoolId]; }

int lastStaticIndex() {
    int n = std::clamp(nbDynamicCtx.load(), 0, kMaxDynamicBridges);
    return kFirstDynamicEntry - 1 + n;
}

void trace(tagCTX_FSM *ctx, const char *fmt, int value) {
    char text[96];
    std::snprintf(text, sizeof text, fmt, value);
    CtxTrace(ctx, text);
}

// REQUIRES: ctx->lock. Gives the context's record back to the stack.
void closeSocket(tagCTX_FSM *ctx) {
    if (ctx->sock == nullptr) return;
    sock_close(ctx->sock);
    ctx->sock = nullptr;
}

// REQUIRES: ctx->lock. The stack was restarted or is stopping: every record
// is gone, so the context forgets its own, and a connection in progress
// closes (without touching the record).
void forgetSocket(tagCTX_FSM *ctx) {
    if (ctx->sock == nullptr) return;
    ctx->sock = nullptr;
    int32_t st = ctx->state.load();
    if (st == TCP_WAITCNX || st == TCP_CONNECTED) {
        CtxTrace(ctx, "Socket gone (stack restarted) => CLOSE");
        ctx->state = TCP_CLOSE;
    }
}

void forgetAllSockets() {
    for (int i = 0; i <= lastStaticIndex(); ++i) {
        pthread_mutex_lock(&SrvCtx[i].lock);
        forgetSocket(&SrvCtx[i]);
        pthread_mutex_unlock(&SrvCtx[i].lock);
    }
    pthread_mutex_lock(&MngOpenCtxMutex);
    for (MngOpenCtx &e : OpenCtxPool) {
        pthread_mutex_lock(&e.ctx.lock);
        forgetSocket(&e.ctx);
        pthread_mutex_unlock(&e.ctx.lock);
    }
    pthread_mutex_unlock(&MngOpenCtxMutex);
}

// ---- State functions. Each REQUIRES ctx->lock and runs on the pump thread.

void TCP_Idle(tagCTX_FSM *ctx) {
    if (do_CloseCom.load()) {
        CtxTrace(ctx, "IDLE => LISTEN (do_CloseCom)");
        ctx->state = TCP_LISTEN_CTX;
    }
}

void TCP_Listen(tagCTX_FSM *ctx) {
    if (do_CloseCom.load()) return;
    // A pool context never listens: it was handed a connection, and once
    // that is over it only waits to be freed. Arming a listener on its
    // terminal port would steal the next connection from the bridge entry.
    if (ctx->direction == kDirHostToTerminal || GlobalIdle.load() || isPoolCtx(ctx)) {
        CtxTrace(ctx, "LISTEN => IDLE");
        ctx->state = TCP_IDLE;
        return;
    }
    sock_type *s = sock_find_free();
    if (s == nullptr) {
        CtxTrace(ctx, "TCP_Listen: No available socket!!!");
        return;
    }
    CtxTrace(ctx, "LISTEN ARMED");
    ctx->sock = s;
    if (tcp_listen(s, ctx->terminal_port, 0, 0, nullptr, 0) == 0) {
        CtxTrace(ctx, "TCP_Listen: tcp_listen error");
        closeSocket(ctx);  // retried at the next pump
        return;
    }
    CtxTrace(ctx, "LISTEN => WAITCNX");
    ctx->state = TCP_WAITCNX;
}

void TCP_Open(tagCTX_FSM *ctx) {
    if (do_CloseCom.load() || GlobalIdle.load() == 1) {
        CtxTrace(ctx, "OPEN => LISTEN (do_CloseCom)");
        ctx->state = TCP_LISTEN_CTX;
        return;
    }
    if (!is_ppp_connected()) return;
    // No address: no record is taken only to be given back.
    sock_type *s = ctx->terminal_addr != 0 ? sock_find_free() : nullptr;
    if (s == nullptr && ctx->terminal_addr != 0) {
        CtxTrace(ctx, "TCP_Open: No available socket!!!");
        ctx->state = TCP_CLOSE;
        return;
    }
    ctx->state = TCP_WAITCNX;
    CtxTrace(ctx, "Trying to connect to terminal");
    if (ctx->terminal_addr == 0) {
        CtxTrace(ctx, "TCP_Open: Address is null!!!");
        ctx->state = TCP_CLOSE;
        return;
    }
    ctx->sock = s;
    if (tcp_open(s, 0, ctx->terminal_addr, ctx->terminal_port, nullptr) != 0) {
        CtxTrace(ctx, "OPEN => WAITCNX");
    } else {
        CtxTrace(ctx, "OPEN => CLOSE (tcp_open error)");
        ctx->state = TCP_CLOSE;  // TCP_Close gives the record back
    }
}

void TCP_WaitCnx(tagCTX_FSM *ctx) {
    int r = ctx->sock ? _ip_delay0(ctx->sock, -1, nullptr, nullptr) : -1;
    if (r == -1) {
        // The stack has freed the connection (or there never was one).
        closeSocket(ctx);
        CtxTrace(ctx, "WAITCNX => CLOSE");
        ctx->state = TCP_CLOSE;
    } else if (r == 0) {
        ctx->state = TCP_CONNECTED;
        sock_mode(ctx->sock, kSockModeImmediate);
        CtxTrace(ctx, "WAITCNX => CONNECTED");
    }
    if (ctx->state != TCP_CLOSE && do_CloseCom.load()) {
        CtxTrace(ctx, "WAITCNX => CLOSE (do_CloseCom)");
        ctx->state = TCP_CLOSE;
    }
}

void TCP_Connected(tagCTX_FSM *ctx) {
    if (ctx->sock == nullptr || _ip_delay1(ctx->sock, -1, nullptr, nullptr) == -1) {
        closeSocket(ctx);
        CtxTrace(ctx, "CONNECTED => CLOSE (Connection closed by terminal)");
        ctx->state = TCP_CLOSE;
        return;
    }
    if (do_CloseCom.load()) {
        CtxTrace(ctx, "CONNECTED => CLOSE (do_CloseCom)");
        ctx->state = TCP_CLOSE;
        return;
    }
    uint8_t none[1];
    sock_fastread(ctx->sock, none, 0);  // lets a half-closed connection send its FIN
    if (sock_sselect(ctx->sock, 2) == 2) {
        // Signalled under the context's lock: a worker unpublishes its
        // event under the same lock before destroying it.
        tagBridgeTimerEvent *ev = ctx->event.load();
        if (ev != nullptr && ev->active.load()) signalEvent(ev);
    }
}

void TCP_Close(tagCTX_FSM *ctx) {
    closeSocket(ctx);
    CtxTrace(ctx, "CLOSE => LISTEN");
    ctx->state = TCP_LISTEN_CTX;
}

using StateFn = void (*)(tagCTX_FSM *);
constexpr StateFn fnFSM_Tcpip[] = {TCP_Idle, TCP_Listen, TCP_Open, TCP_WaitCnx, TCP_Connected, TCP_Close};

// REQUIRES: MngOpenCtxMutex and ctx->lock. Frees a released pool entry once
// its worker has ended; never waits for it.
void releaseCtxIfNeed(tagCTX_FSM *ctx) {
    if (!isPoolCtx(ctx)) return;
    MngOpenCtx &e = poolEntry(ctx);
    if (!e.in_use || e.host_socket != -1) return;
    if (ctx->has_thread) {
        int rc = pthread_tryjoin_np(ctx->thread, nullptr);
        if (rc == EBUSY) return;  // still running: retried at the next pump
        ctx->has_thread = false;
    }
    trace(ctx, "releaseCtxIfNeed %d", ctx->id);
    closeSocket(ctx);  // a free entry holds no record
    e.in_use = 0;
    e.release_requested = 0;
    CtxTrace(ctx, "releaseCtxIfNeed DONE");
}

void manageCtx(tagCTX_FSM *ctx) {
    tcp_tick(nullptr);
    pthread_mutex_lock(&ctx->lock);
    int32_t st = ctx->state.load();
    if (st >= TCP_IDLE && st <= TCP_CLOSE) fnFSM_Tcpip[st](ctx);
    st = ctx->state.load();
    if (ctx->id != 0 && (st == TCP_IDLE || st == TCP_LISTEN_CTX)) releaseCtxIfNeed(ctx);
    pthread_mutex_unlock(&ctx->lock);
}

void ctx_init() {
    pthread_mutex_lock(&MngOpenCtxMutex);
    OpenCtxIsInitialised = 0;
    for (int i = 0; i < kPoolContexts; ++i) {
        pthread_mutex_lock(&OpenCtxPool[i].ctx.lock);
        OpenCtxPool[i].ctx.id = kFirstPoolId + i;
        pthread_mutex_unlock(&OpenCtxPool[i].ctx.lock);
    }
    pthread_mutex_unlock(&MngOpenCtxMutex);
}

void ctx_enter() {
    pthread_mutex_lock(&MngOpenCtxMutex);
    if (!OpenCtxIsInitialised.load()) {
        for (int i = 0; i < kPoolContexts; ++i) {
            MngOpenCtx &e = OpenCtxPool[i];
            pthread_mutex_lock(&e.ctx.lock);
            e.ctx.id = kFirstPoolId + i;
            e.in_use = 0;
            e.release_requested = 0;
            e.host_socket = -1;
            pthread_mutex_unlock(&e.ctx.lock);
        }
        OpenCtxIsInitialised = 1;
    }
    pthread_mutex_unlock(&MngOpenCtxMutex);
}

// Joins the workers of the entries still in use with both locks released:
// a worker ending through closeSockets takes the pool mutex and then its
// context's lock (it finds the pool closed and returns at once).
void ctx_exit() {
    pthread_mutex_lock(&MngOpenCtxMutex);
    OpenCtxIsInitialised = 0;
    for (MngOpenCtx &e : OpenCtxPool) {
        pthread_mutex_lock(&e.ctx.lock);
        forgetSocket(&e.ctx);
        if (e.in_use && e.ctx.has_thread) {
            pthread_t t = e.ctx.thread;
            pthread_mutex_unlock(&e.ctx.lock);
            pthread_mutex_unlock(&MngOpenCtxMutex);
            pthread_join(t, nullptr);
            pthread_mutex_lock(&MngOpenCtxMutex);
            pthread_mutex_lock(&e.ctx.lock);
            e.ctx.has_thread = false;
        }
        e.in_use = 0;
        e.release_requested = 0;
        e.host_socket = -1;
        pthread_mutex_unlock(&e.ctx.lock);
    }
    pthread_mutex_unlock(&MngOpenCtxMutex);
    // The static entries' bridge threads are joined after the stack is gone:
    // leave them no record to touch.
    for (int i = 0; i <= lastStaticIndex(); ++i) {
        pthread_mutex_lock(&SrvCtx[i].lock);
        forgetSocket(&SrvCtx[i]);
        pthread_mutex_unlock(&SrvCtx[i].lock);
    }
}

}  // namespace

void CtxTrace(tagCTX_FSM *ctx, const char *text) {
    const char *dir = ctx->direction == kDirHostToTerminal ? "OUT" : (ctx->terminal_port == kSocksPort ? " SS" : " IN");
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "[%d:%s(%d)] STATE=%d %s", ctx->id, dir, ctx->terminal_port, ctx->state.load(),
            text);
}

void NET_Initialize() {
    sock_init();
    ctx_init();
}

void NET_Enter() {
    // sock_enter resets every record: no context may keep one across it.
    forgetAllSockets();
    sock_enter();
    ctx_enter();
}

void NET_Exit() {
    sock_exit();
    ctx_exit();
}

void NET_Deinitialize() { sock_deinit(); }

void NET_CloseAll() { do_CloseCom = 1; }

int NET_AllClosed() { return tcp_allclosed(); }

void NET_ExecPump() {
    for (int i = 0; i <= lastStaticIndex(); ++i) manageCtx(&SrvCtx[i]);
    if (!OpenCtxIsInitialised.load()) return;
    pthread_mutex_lock(&MngOpenCtxMutex);
    for (MngOpenCtx &e : OpenCtxPool) {
        pthread_mutex_lock(&e.ctx.lock);
        if (!e.in_use) {
            pthread_mutex_unlock(&e.ctx.lock);
            continue;
        }
        if (e.ctx.state.load() == TCP_LISTEN_CTX && e.release_requested) {
            releaseCtxIfNeed(&e.ctx);
            pthread_mutex_unlock(&e.ctx.lock);
            continue;
        }
        pthread_mutex_unlock(&e.ctx.lock);
        manageCtx(&e.ctx);
    }
    pthread_mutex_unlock(&MngOpenCtxMutex);
}

tagCTX_FSM *getFreeOpenCtx(int host_socket) {
    if (!OpenCtxIsInitialised.load()) return nullptr;
    tagCTX_FSM *found = nullptr;
    pthread_mutex_lock(&MngOpenCtxMutex);
    if (OpenCtxIsInitialised.load()) {
        for (MngOpenCtx &e : OpenCtxPool) {
            pthread_mutex_lock(&e.ctx.lock);
            if (!e.in_use) {
                e.in_use = 1;
                e.release_requested = 0;
                e.host_socket = host_socket;
                // A clean context: the caller fills in the rest.
                e.ctx.sock = nullptr;
                e.ctx.state = TCP_IDLE;
                e.ctx.event = nullptr;
                e.ctx.ready = 0;
                e.ctx.running = 0;
                found = &e.ctx;
            }
            pthread_mutex_unlock(&e.ctx.lock);
            if (found) break;
        }
    }
    pthread_mutex_unlock(&MngOpenCtxMutex);
    return found;
}

void releaseCtxSocket(tagCTX_FSM *ctx) {
    if (ctx == nullptr || !OpenCtxIsInitialised.load()) return;
    pthread_mutex_lock(&MngOpenCtxMutex);
    pthread_mutex_lock(&ctx->lock);
    // Only a context that really is a pool entry (its id indexes the pool).
    if (OpenCtxIsInitialised.load() && isPoolCtx(ctx) && &poolEntry(ctx).ctx == ctx) {
        MngOpenCtx &e = poolEntry(ctx);
        trace(ctx, "releaseCtxSocket %d", ctx->id);
        e.host_socket = -1;
        ctx->state = TCP_CLOSE;
        e.release_requested = 1;
        trace(ctx, "releaseCtxSocket %d => TCP_CLOSE", ctx->id);
    }
    pthread_mutex_unlock(&ctx->lock);
    pthread_mutex_unlock(&MngOpenCtxMutex);
}

int startCtxThreadLocked(tagCTX_FSM *ctx, void *(*body)(void *), void *arg) {
    // A pool entry of a closed pool would never be joined.
    if (isPoolCtx(ctx) && !OpenCtxIsInitialised.load()) return EAGAIN;
    if (ctx->has_thread) return EBUSY;
    int rc = CreateThread(&ctx->thread, &ctx->thread_attr, body, arg);
    pthread_attr_destroy(&ctx->thread_attr);  // the thread no longer needs it
    if (rc == 0) ctx->has_thread = true;
    return rc;
}

int startCtxThread(tagCTX_FSM *ctx, void *(*body)(void *), void *arg) {
    pthread_mutex_lock(&ctx->lock);
    int rc = startCtxThreadLocked(ctx, body, arg);
    pthread_mutex_unlock(&ctx->lock);
    return rc;
}

int NetReadIp(tagCTX_FSM *ctx, uint8_t *buffer, int len) {
    if (ctx->sock == nullptr) return -1;
    if (ctx->state.load() != TCP_CONNECTED) CtxTrace(ctx, "NetReadIp TCP NOT CONNECTED");
    // A negative length would mean "the whole receive buffer" to the stack.
    if (buffer == nullptr || len <= 0) return 0;
    if (sock_sselect(ctx->sock, 2) != 2) return 0;
    int n = sock_fastread(ctx->sock, buffer, len);
    return n < 0 ? -1 : n;
}

int NetWriteIp(tagCTX_FSM *ctx, const uint8_t *data, int len) {
    if (ctx->state.load() != TCP_CONNECTED || ctx->sock == nullptr) {
        CtxTrace(ctx, "NetWriteIp TCP NOT CONNECTED");
        return -1;
    }
    if (len < 0 || (data == nullptr && len > 0)) return -1;
    // The stack freed the connection: its record takes nothing any more,
    // which is a failure, not a full send buffer.
    if (sock_sselect(ctx->sock, 0) == 4) return -1;
    if (len == 0) return 0;
    int n = sock_fastwrite(ctx->sock, data, len);
    return n < 0 ? -1 : n;
}

int NetReadIpBlock(tagCTX_FSM *ctx, uint8_t *buffer, int size, int minimum, int max_idle) {
    if (buffer == nullptr || size <= 0) return -1;
    // More than fits could never be reached; less than one byte is one byte.
    minimum = std::clamp(minimum, 1, size);
    int total = 0;
    int idle = 0;
    for (;;) {
        if (GlobalExit.load()) return 0;
        pthread_mutex_lock(&ctx->lock);
        if (ctx->state.load() != TCP_CONNECTED) {
            CtxTrace(ctx, "NetReadIpBlock TCP NOT CONNECTED");
            pthread_mutex_unlock(&ctx->lock);
            return -1;
        }
        int n = NetReadIp(ctx, buffer + total, size - total);
        pthread_mutex_unlock(&ctx->lock);
        if (n < 0) return -1;
        if (n > 0) {
            total += n;
            if (total >= minimum) return total;
            continue;
        }
        if (max_idle != 0 && ++idle >= max_idle) return 0;
        sleepMs(kPollSleepMs);
    }
}

int NetWriteIpBlock(tagCTX_FSM *ctx, const uint8_t *data, int len, int max_idle) {
    if (len < 0 || (data == nullptr && len > 0)) return -1;
    int sent = 0;
    int idle = 0;
    while (sent < len) {
        if (GlobalExit.load()) return 0;
        pthread_mutex_lock(&ctx->lock);
        int n = NetWriteIp(ctx, data + sent, len - sent);
        pthread_mutex_unlock(&ctx->lock);
        if (n < 0) return -1;
        if (n > 0) {
            sent += n;
            continue;
        }
        if (max_idle != 0 && ++idle >= max_idle) return 0;
        sleepMs(kPollSleepMs);
    }
    return len;
}
