// Network thread of the serial link: the start, idle and stop entry points,
// the link status, the pump period, and the hooks through which the network
// pump and the bridges join the thread.
//
// The entry points are called from the service lifecycle on the
// application's thread (serialised by a start/stop lock). The network thread
// owns the line, PPP and the embedded stack; it holds g_bridgeMutex except
// while it waits on g_bridgeCond. The globals below are atomics: written by
// the entry points and the network thread, read by any thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "link/bridge_event.h"

// Built with hidden visibility: these are exported from the library.
#pragma GCC visibility push(default)
extern "C" {
void start_rynsock(void);
void start_rynsockWithTerm(const char *terminal, uint32_t a, uint32_t b, uint32_t portIn, uint32_t portOut);
void idle_rynsock(void);
void stop_rynsock(void);
int is_ppp_connected(void);
int rynsock_connected(void);
// 1 when 1000 <= microseconds <= 10000 (the pump period becomes
// microseconds / 1000 ms), else 0 and nothing changes.
int setExchangeWaitTime1us(int microseconds);
}
#pragma GCC visibility pop

int SetExchangeWaitTime1us(int microseconds);
// Sets the pump period, clamped to 1..10 ms (0 would spin a core). Returns 1.
int Main_SetWaitTimePump1ms(int ms);
void DisconnectAll();

extern std::atomic<int32_t> GlobalExit;
extern std::atomic<int32_t> GlobalIdle;
extern std::atomic<int32_t> waitTimePump_ms;
extern std::atomic<int32_t> g_dwPortIn;
extern std::atomic<int32_t> g_dwPortOut;
extern std::atomic<int32_t> ppp_connected;
// Set by NET_CloseAll to close every bridge connection; cleared at each
// fresh start of the supervisor once the line is open again.
extern std::atomic<uint8_t> do_CloseCom;

extern std::atomic<tagBridgeTimerEvent *> g_bridgeEvent;
extern std::atomic<pthread_mutex_t *> g_bridgeMutex;
extern std::atomic<pthread_cond_t *> g_bridgeCond;

namespace ryn::link {

// What the network thread calls in the network pump and the bridges. Every
// member may be null (skipped; allClosed then counts as true). Bind before
// start_rynsock; the thread copies the table when it starts.
struct NetworkHooks {
    void (*initialize)() = nullptr;    // NET_Initialize
    void (*enter)() = nullptr;         // NET_Enter
    void (*execPump)() = nullptr;      // NET_ExecPump
    void (*closeAll)() = nullptr;      // NET_CloseAll
    int (*allClosed)() = nullptr;      // NET_AllClosed
    void (*exit)() = nullptr;          // NET_Exit
    void (*deinitialize)() = nullptr;  // NET_Deinitialize
    // Creates the fixed bridges and SOCKS servers (thread start) and joins
    // them (thread end).
    void (*startBridges)() = nullptr;
    void (*joinBridges)() = nullptr;
};
void bindNetworkHooks(const NetworkHooks &hooks);

// Current supervisor state of the running thread (diagnostics, tests).
int32_t linkState();
// Line opens that succeeded since the process started (diagnostics, tests).
uint32_t lineOpenCount();

}  // namespace ryn::link
