// The link supervisor: the automaton that opens the serial line, runs the
// "CLIENT"/"CLIENTSERVER" handshake, starts PPP, watches it and starts over
// when the line or PPP fails. One handler per state, run once per pass of
// the network thread.
//
// The supervisor does no I/O itself: it calls the line, PPP and the network
// pump through LinkEnv, so tests drive it with a scripted environment and no
// threads. It is owned and run by the network thread only.
#pragma once

#include <cstdint>

namespace ryn::link {

enum MainState : int32_t {
    MAINFCT_BEGIN = 0,
    MAINFCT_INITMODEM,
    MAINFCT_DETECT,
    MAINFCT_WAIT,
    MAINFCT_PPP,
    MAINFCT_DISCONNECT,
    MAINFCT_DISCONNECTING,
};
const char *stateName(MainState s);

// What the supervisor drives. The real one binds the serial line, PPP and
// the network pump; tests script it.
class LinkEnv {
public:
    virtual ~LinkEnv() = default;
    virtual bool exitRequested() = 0;
    virtual void initConfig() = 0;
    virtual int openLine() = 0;                                    // InitDTEsock
    virtual int sendLine(const char *bytes, int length) = 0;       // SendToDteSock
    virtual int waitLine(const char *pattern, int seconds) = 0;    // WaitStrFromDte
    virtual void closeLine() = 0;                                  // StopDTEsock
    virtual void netEnter() = 0;
    virtual void netCloseAll() = 0;
    virtual void clearCloseCom() = 0;
    virtual void resetPppUnit() = 0;                               // ifunit = 1
    virtual int pppEnter() = 0;                                    // ppp_enter(0)
    virtual int pppRun(int report) = 0;
    virtual void pppClose() = 0;
    virtual void setConnected(bool connected) = 0;
    virtual void reportAddresses() = 0;
    virtual void sleepMs(int ms) = 0;
};

struct MainCtx {
    MainState state = MAINFCT_BEGIN;
};

class Supervisor {
public:
    explicit Supervisor(LinkEnv &env) : env_(env) {}
    MainState state() const { return ctx_.state; }
    // One handler of the current state.
    void step();
    // One pass of the shutdown drain. Only a running PPP link is serviced
    // (so connections can close over it); the handshake states are not rerun:
    // each costs a second and could start PPP while stopping.
    void drainStep();
    bool pppStartPending() const { return doPPPStart_; }

private:
    void begin();
    void initModem();
    void detect();
    void wait();
    void pppState();
    void disconnect();
    void disconnecting();

    LinkEnv &env_;
    MainCtx ctx_;
    bool doPPPStart_ = false;
};

}  // namespace ryn::link
