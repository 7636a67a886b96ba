#include "link/rynsock.h"

#include "link/link_config.h"
#include "link/ppp.h"
#include "link/serial_line.h"
#include "link/supervisor.h"
#include "service/log.h"
#include "service/primitives.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <mutex>

std::atomic<int32_t> GlobalExit{0};
std::atomic<int32_t> GlobalIdle{0};
std::atomic<int32_t> waitTimePump_ms{10};
std::atomic<int32_t> g_dwPortIn{5186};
std::atomic<int32_t> g_dwPortOut{5188};
std::atomic<int32_t> ppp_connected{0};
std::atomic<uint8_t> do_CloseCom{0};
std::atomic<tagBridgeTimerEvent *> g_bridgeEvent{nullptr};
std::atomic<pthread_mutex_t *> g_bridgeMutex{nullptr};
std::atomic<pthread_cond_t *> g_bridgeCond{nullptr};

namespace {
std::mutex g_startStop;  // serialises start and stop: two starts start one thread
pthread_t thMain;
pthread_attr_t thMainAttr;
bool thMainRunning = false;  // GUARDED_BY(g_startStop)

std::mutex g_hooksMutex;
ryn::link::NetworkHooks g_hooks;  // GUARDED_BY(g_hooksMutex)
std::atomic<int32_t> g_linkState{ryn::link::MAINFCT_BEGIN};
std::atomic<uint32_t> g_lineOpens{0};

void sleepMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000u); }

std::string dotted(uint32_t hostOrder) {
    in_addr a{htonl(hostOrder)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// The supervisor's environment on the real line, PPP and network pump.
class RealLinkEnv final : public ryn::link::LinkEnv {
public:
    explicit RealLinkEnv(const ryn::link::NetworkHooks &h) : h_(h) {}
    bool exitRequested() override { return GlobalExit.load() != 0; }
    void initConfig() override { Init_Config(); }
    int openLine() override {
        int r = InitDTEsock();
        if (r == 1) g_lineOpens.fetch_add(1);
        return r;
    }
    int sendLine(const char *b, int n) override { return SendToDteSock(b, static_cast<size_t>(n)); }
    int waitLine(const char *p, int s) override { return WaitStrFromDte(p, s); }
    void closeLine() override { StopDTEsock(); }
    void netEnter() override {
        if (h_.enter) h_.enter();
    }
    void netCloseAll() override {
        if (h_.closeAll) h_.closeAll();
    }
    void clearCloseCom() override { do_CloseCom = 0; }
    void resetPppUnit() override { ryn::ppp::ifunit = 1; }
    int pppEnter() override { return ppp_enter(0); }
    int pppRun(int report) override { return ppp_run(report); }
    void pppClose() override { ppp_close(); }
    void setConnected(bool c) override { ppp_connected = c ? 1 : 0; }
    void reportAddresses() override {
        ryn::ppp::IpAddresses a = ryn::ppp::currentAddresses();
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: IP ADDR: %s", dotted(a.ours).c_str());
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: NETWORK MASK: %s", dotted(a.mask).c_str());
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: REMOTE ADDR: %s", dotted(a.his).c_str());
    }
    void sleepMs(int ms) override { ::sleepMs(ms); }

private:
    const ryn::link::NetworkHooks &h_;
};

void mainfsm(const ryn::link::NetworkHooks &h, tagBridgeTimerEvent *ev) {
    ppp_init();
    if (h.initialize) h.initialize();
    RealLinkEnv env(h);
    ryn::link::Supervisor sup(env);
    g_linkState = sup.state();
    if (ev) pthread_mutex_lock(&ev->mutex);
    for (;;) {
        sup.step();
        g_linkState = sup.state();
        if (h.execPump) h.execPump();
        if (GlobalExit.load() != 0) break;
        if (ev)
            waitForEvent(ev, waitTimePump_ms.load());
        else
            sleepMs(waitTimePump_ms.load());
    }
    // Shutdown drain: give the connections time to close over a running link.
    if (h.closeAll) h.closeAll();
    for (int i = 0; i < 1000 && h.allClosed && !h.allClosed(); ++i) {
        sup.drainStep();
        g_linkState = sup.state();
        if (h.execPump) h.execPump();
        sleepMs(1);
    }
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "NET_ExecPump DONE");
    if (h.exit) h.exit();
    if (ppp_is_running()) ppp_close();
    StopDTEsock();
    ppp_connected = 0;
    if (h.deinitialize) h.deinitialize();
    ppp_deinit();
    g_linkState = ryn::link::MAINFCT_BEGIN;
    if (ev) pthread_mutex_unlock(&ev->mutex);
}

void *RynNetworkThread(void *) {
    ryn::link::NetworkHooks hooks;
    {
        std::lock_guard<std::mutex> lock(g_hooksMutex);
        hooks = g_hooks;
    }
    pthread_t *timer = nullptr;
    pthread_attr_t *timerAttr = nullptr;
    tagBridgeTimerEvent *ev = nullptr;
    bridgeEvent_init(&timer, &timerAttr, &ev);
    g_bridgeEvent = ev;
    g_bridgeMutex = ev ? &ev->mutex : nullptr;
    g_bridgeCond = ev ? &ev->cond : nullptr;
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "RynNetworkThread BEGIN");
    // GlobalExit and GlobalIdle were cleared by the start, before this thread
    // existed: clearing them here could lose a stop requested meanwhile.
    if (hooks.startBridges) hooks.startBridges();
    mainfsm(hooks, ev);
    if (hooks.joinBridges) hooks.joinBridges();
    g_bridgeEvent = nullptr;
    g_bridgeMutex = nullptr;
    g_bridgeCond = nullptr;
    bridgeEvent_deinit(&timer, &timerAttr, &ev);
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "RynNetworkThread END");
    return nullptr;
}

// REQUIRES: g_startStop held.
void startThread() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "start_rynsock");
    GlobalExit = 0;
    GlobalIdle = 0;
    g_linkState = ryn::link::MAINFCT_BEGIN;
    if (CreateThread(&thMain, &thMainAttr, RynNetworkThread, nullptr) == 0) thMainRunning = true;
}
}  // namespace

namespace ryn::link {
void bindNetworkHooks(const NetworkHooks &hooks) {
    std::lock_guard<std::mutex> lock(g_hooksMutex);
    g_hooks = hooks;
}
int32_t linkState() { return g_linkState.load(); }
uint32_t lineOpenCount() { return g_lineOpens.load(); }
}  // namespace ryn::link

extern "C" void start_rynsock(void) {
    std::lock_guard<std::mutex> lock(g_startStop);
    g_dwPortIn = 5186;
    g_dwPortOut = 5188;
    if (thMainRunning) return;
    startThread();
}

extern "C" void start_rynsockWithTerm(const char *, uint32_t, uint32_t, uint32_t portIn, uint32_t portOut) {
    std::lock_guard<std::mutex> lock(g_startStop);
    if (thMainRunning) return;
    g_dwPortIn = static_cast<int32_t>(portIn);
    g_dwPortOut = static_cast<int32_t>(portOut);
    startThread();
}

extern "C" void idle_rynsock(void) {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "idle_rynsock");
    GlobalIdle = 1;
}

extern "C" void stop_rynsock(void) {
    std::lock_guard<std::mutex> lock(g_startStop);
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "stop_rynsock");
    GlobalExit = 1;
    if (thMainRunning) {
        pthread_join(thMain, nullptr);
        pthread_attr_destroy(&thMainAttr);
        thMainRunning = false;
    }
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "stop_rynsock END");
}

extern "C" int is_ppp_connected(void) { return ppp_connected.load(); }
extern "C" int rynsock_connected(void) { return ppp_connected.load(); }

int SetExchangeWaitTime1us(int us) {
    if (us < 1000 || us > 10000) return 0;
    waitTimePump_ms = us / 1000;
    return 1;
}

extern "C" int setExchangeWaitTime1us(int us) { return SetExchangeWaitTime1us(us); }

int Main_SetWaitTimePump1ms(int ms) {
    waitTimePump_ms = ms < 1 ? 1 : (ms > 10 ? 10 : ms);
    return 1;
}

void DisconnectAll() {}
