#include "link/supervisor.h"

#include "service/log.h"

namespace ryn::link {

const char *stateName(MainState s) {
    switch (s) {
        case MAINFCT_BEGIN: return "MAINFCT_BEGIN";
        case MAINFCT_INITMODEM: return "MAINFCT_INITMODEM";
        case MAINFCT_DETECT: return "MAINFCT_DETECT";
        case MAINFCT_WAIT: return "MAINFCT_WAIT";
        case MAINFCT_PPP: return "MAINFCT_PPP";
        case MAINFCT_DISCONNECT: return "MAINFCT_DISCONNECT";
        case MAINFCT_DISCONNECTING: return "MAINFCT_DISCONNECTING";
    }
    return "?";
}

void Supervisor::step() {
    // MainFct: one handler per state.
    switch (ctx_.state) {
        case MAINFCT_BEGIN: begin(); break;
        case MAINFCT_INITMODEM: initModem(); break;
        case MAINFCT_DETECT: detect(); break;
        case MAINFCT_WAIT: wait(); break;
        case MAINFCT_PPP: pppState(); break;
        case MAINFCT_DISCONNECT: disconnect(); break;
        case MAINFCT_DISCONNECTING: disconnecting(); break;
    }
}

void Supervisor::drainStep() {
    if (ctx_.state == MAINFCT_PPP || ctx_.state == MAINFCT_DISCONNECT || ctx_.state == MAINFCT_DISCONNECTING) step();
}

void Supervisor::begin() {
    if (env_.exitRequested()) {
        env_.setConnected(false);
        return;
    }
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_BEGIN");
    env_.initConfig();
    if (env_.openLine() != 1) return;  // the open already paused
    env_.setConnected(false);
    env_.netEnter();
    env_.clearCloseCom();
    doPPPStart_ = false;
    env_.resetPppUnit();
    ctx_.state = MAINFCT_INITMODEM;
}

void Supervisor::initModem() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_INITMODEM");
    env_.sendLine("CLIENT", 6);
    ctx_.state = MAINFCT_DETECT;
}

void Supervisor::detect() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_DETECT");
    int r = env_.waitLine("CLIENTSERVER", 1);
    if (r == 1) {
        doPPPStart_ = true;
        ctx_.state = MAINFCT_WAIT;
    } else if (r == 0) {
        env_.sendLine("CLIENT", 6);
    } else {
        ctx_.state = MAINFCT_BEGIN;
    }
}

void Supervisor::wait() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_WAIT");
    if (!doPPPStart_) return;
    doPPPStart_ = false;
    env_.sleepMs(100);
    if (env_.pppEnter() == 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_WAIT -> MAINFCT_PPP");
        ctx_.state = MAINFCT_PPP;
    } else {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_WAIT -> MAINFCT_DISCONNECT");
        ctx_.state = MAINFCT_DISCONNECT;
    }
}

void Supervisor::pppState() {
    int r = env_.pppRun(1);
    if (r == -1) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_PPP -> MAINFCT_DISCONNECT");
        env_.netCloseAll();
        env_.pppClose();
        env_.setConnected(false);
        ctx_.state = MAINFCT_DISCONNECT;
    } else if (r == 1) {
        env_.setConnected(true);
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_PPP: Connected");
        env_.reportAddresses();
    }
}

void Supervisor::disconnect() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_DISCONNECT -> MAINFCT_DISCONNECTING");
    ctx_.state = MAINFCT_DISCONNECTING;
}

void Supervisor::disconnecting() {
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "Mainfsm: MAINFCT_DISCONNECTING -> MAINFCT_BEGIN");
    env_.closeLine();
    ctx_.state = MAINFCT_BEGIN;
}

}  // namespace ryn::link
