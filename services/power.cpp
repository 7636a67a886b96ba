#include "services/power.h"

#include "service/log.h"

Mutex powerOffCS;

void Power::PowerOnSPM() {
    state.store(kInUse);
    RYN_LOG(OBJ_POWER, LOG_INFO, "***** Power::PowerOnSPM ");
}

void Power::PowerOffRequest() {
    AutoLock lock(powerOffCS);
    PowerOffSPM();
}

void Power::PowerOffSPM() {
    state.store(kReleased);
    RYN_LOG(OBJ_POWER, LOG_INFO, "***** Power::PowerOffSPM ");
}
