// Connection contexts and the network pump: the layer between the stack's
// TCP connections and the bridges. Each context ties one terminal-side
// connection to one host-side socket and the bridge thread that copies
// between them; a six-state machine that NET_ExecPump steps on the network
// thread opens, accepts and closes the terminal side.
//
// Contexts: the 19 static entries of the bridge table `SrvCtx` (0, 1 fixed
// bridges; 2..6 SOCKS; 7..18 dynamic, `nbDynamicCtx` of them in use) and the
// pool `MngOpenCtx` of 32 that listening bridges take per host client.
// Locks, in order: `MngOpenCtxMutex` before a context's `lock` before the
// stack's locks. The pump runs every state function under the context's
// lock; bridge threads take it only around one NetReadIp/NetWriteIp or a
// state change. `nbDynamicCtx` changes only under the bridge-addition lock
// (bridge/bridge.h).
#pragma once

#include "link/bridge_event.h"
#include "stack/socket.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

enum tagCTX_STATE : int32_t {
    TCP_IDLE = 0,
    TCP_LISTEN_CTX = 1,
    TCP_OPEN = 2,
    TCP_WAITCNX = 3,
    TCP_CONNECTED = 4,
    TCP_CLOSE = 5,
};

inline constexpr uint8_t kDirHostToTerminal = 'U';  // 0x55
inline constexpr uint8_t kDirTerminalToHost = 'e';  // 0x65
inline constexpr int kStaticContexts = 19;
inline constexpr int kFirstDynamicEntry = 7;
inline constexpr int kMaxDynamicBridges = 12;
inline constexpr int kPoolContexts = 32;
inline constexpr uint32_t kTerminalLinkAddr = 0x01010102u;  // 1.1.1.2

struct tagCTX_FSM {
    uint8_t spare = 0;
    uint8_t direction = 0;
    int32_t id = 0;
    std::atomic<int32_t> state{TCP_LISTEN_CTX};  // written under lock; read anywhere
    sock_type *sock = nullptr;                   // GUARDED_BY(lock)
    uint16_t terminal_port = 0;
    uint16_t host_port = 0;
    uint32_t terminal_addr = 0;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_t thread{};
    bool has_thread = false;
    pthread_attr_t thread_attr{};
    std::atomic<tagBridgeTimerEvent *> event{nullptr};
    std::atomic<int32_t> ready{0};
    uint32_t any_interface = 0;
    std::atomic<uint32_t> running{0};  // GUARDED_BY(lock) for writes
};

struct MngOpenCtx {
    tagCTX_FSM ctx;
    int32_t in_use = 0;             // GUARDED_BY(MngOpenCtxMutex)
    int32_t release_requested = 0;  // GUARDED_BY(MngOpenCtxMutex)
    int32_t host_socket = -1;       // GUARDED_BY(MngOpenCtxMutex)
};

extern tagCTX_FSM SrvCtx[kStaticContexts];
extern std::atomic<int32_t> nbDynamicCtx;

// Lifecycle, called by the network thread (bound through
// ryn::link::bindNetworkHooks).
void NET_Initialize();
void NET_Enter();
void NET_ExecPump();
void NET_CloseAll();
int NET_AllClosed();
void NET_Exit();
void NET_Deinitialize();

// Pool, called by the bridges.
tagCTX_FSM *getFreeOpenCtx(int host_socket);
void releaseCtxSocket(tagCTX_FSM *ctx);

// Starts a pool context's worker and records it under the context's lock
// (REQUIRES: ctx->lock not held), so the pump frees the entry only once the
// worker has ended and been joined; the entry is never handed to a new
// worker while the old one still runs. 0 on success (CreateThread's result).
int startCtxThread(tagCTX_FSM *ctx, void *(*body)(void *), void *arg);
// The same with ctx->lock already held by the caller.
int startCtxThreadLocked(tagCTX_FSM *ctx, void *(*body)(void *), void *arg);

// The pool itself; the entry's lock guards its context, `MngOpenCtxMutex` the
// in_use / release_requested / host_socket words. Both locks are statically
// initialised and live for the whole process, so a bridge thread that
// outlives the pump never takes a destroyed lock.
extern MngOpenCtx OpenCtxPool[kPoolContexts];
extern pthread_mutex_t MngOpenCtxMutex;
extern std::atomic<int32_t> OpenCtxIsInitialised;

// Data, called by bridge threads. The plain forms REQUIRE ctx->lock; the
// blocking forms take it around each attempt.
int NetReadIp(tagCTX_FSM *ctx, uint8_t *buffer, int len);
int NetWriteIp(tagCTX_FSM *ctx, const uint8_t *data, int len);
int NetReadIpBlock(tagCTX_FSM *ctx, uint8_t *buffer, int size, int minimum, int max_idle);
int NetWriteIpBlock(tagCTX_FSM *ctx, const uint8_t *data, int len, int max_idle);

// "[%d:%s(%d)] STATE=%d %s" under OBJ_NETWORK at LOG_INFO.
void CtxTrace(tagCTX_FSM *ctx, const char *text);
