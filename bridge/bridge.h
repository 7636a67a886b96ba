// The bridge table and its threads: host-to-terminal bridges (a host
// listener per entry, a worker per host client, two copy loops per
// connection), terminal-to-host bridges (proxy.cpp) and the SOCKS servers
// (socks.cpp), all over the connection contexts of stack/net_ctx.h.
//
// Entries 0 and 1 (fixed bridges) and 2..6 (SOCKS) are created by the
// network thread when it starts (startBridges) and joined when it ends
// (joinBridges); dynamic entries 7..18 are added at run time by
// AddDynamicBridgeExt, serialised by the bridge-addition lock, and end with
// the network thread. Bridge threads end on GlobalExit/GlobalIdle.
#pragma once

#include "stack/net_ctx.h"

#include <cstdint>

// Given to each connection worker and copy thread; valid for the worker's life.
struct BridgeConnection {
    tagCTX_FSM *ctx = nullptr;
    int hostSocket = -1;
};

inline constexpr int kBridgeBufferSize = 8192;

// Network thread only (startBridges): entries 0 and 1; the SOCKS entries.
int AddStaticBridge(int index, uint16_t terminalPort, uint16_t hostPort, int direction);
int AddSocksServer(int index, uint16_t port);
// 0 running; -1 table full; -2 same terminal port and direction exists;
// -3 the worker thread could not be started, or the network thread is not
// running its bridges (not started, or a stop has begun); -4 not ready
// within 100 ms (the bridge stays and keeps trying) or bad direction.
int AddDynamicBridgeExt(uint16_t terminalPort, uint16_t hostPort, int direction, int anyInterface);
int AddDynamicBridge(uint16_t port, int direction, int anyInterface);
int AddDynamicBridgeLocal(uint16_t port, int direction);
int AddDynamicBridgeAny(uint16_t port, int direction);
int AddDynamicBridgeExtLocal(uint16_t terminalPort, uint16_t hostPort, int direction);
int AddDynamicBridgeExtAny(uint16_t terminalPort, uint16_t hostPort, int direction);

#pragma GCC visibility push(default)
extern "C" {
int addDynamicBridge(int port, int direction);
int addDynamicBridgeLocal(int port, int direction);
}
#pragma GCC visibility pop

// Shared by every kind of bridge.
// Host-to-terminal worker of one host client (record: a BridgeConnection*
// owned by whoever started the worker, valid for the worker's whole life).
void *manageOpenOsToRuvaloBridge(void *record);
// One copy step each way: bytes forwarded (0 nothing), -1 on failure.
int sendFromOsToRuvalo(tagCTX_FSM *ctx, int hostSocket);
int sendFromRuvaloToOs(tagCTX_FSM *ctx, int hostSocket);
void closeSockets(int hostSocket, tagCTX_FSM *ctx);
int prepareSocketListen(tagCTX_FSM *ctx);
int sendBytesToTerminal(tagCTX_FSM *ctx, const uint8_t *data, int length);
void *bridgeConnectionsOut(void *record);  // thread body; record is a BridgeConnection*
void bridgeConnectionsIn(tagCTX_FSM *ctx, int hostSocket);

// Thread bodies (arg: the entry's tagCTX_FSM*).
void *OpenOsToRuvaloBridge(void *entry);
void *RuvaloToOpenOsBridge(void *entry);  // proxy.cpp
void *SocksServer(void *entry);           // socks.cpp

namespace ryn::bridge {
// Binds NET_* and the bridge start/join into the network thread; call
// before start_rynsock.
void installNetworkHooks();
// Network thread start/end: entries 0, 1 and the SOCKS servers / join all
// bridge threads and reset nbDynamicCtx (under the addition lock).
void startBridges();
void joinBridges();
}  // namespace ryn::bridge
