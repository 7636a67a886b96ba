#include "link/bridge_event.h"

#include "link/rynsock.h"
#include "service/log.h"

#include <time.h>

#include <cstring>
#include <new>

namespace {
void sleepMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void *RynBridgeTimer(void *arg) {
    auto *ev = static_cast<tagBridgeTimerEvent *>(arg);
    while (ev->timer_running.load() == 1) {
        sleepMs(waitTimePump_ms.load());
        signalEvent(ev);
    }
    return nullptr;
}
}  // namespace

void signalEvent(tagBridgeTimerEvent *ev) {
    if (ev == nullptr || ev->active.load() != 1) return;
    if (pthread_mutex_trylock(&ev->mutex) != 0) return;  // the owner is working
    int rc = pthread_cond_signal(&ev->cond);
    if (rc != 0) {
        char text[128];
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "RynBridgeTimer signal error:%s", strerror_r(rc, text, sizeof text));
    }
    pthread_mutex_unlock(&ev->mutex);
}

void bridgeEvent_init(pthread_t **threadHandle, pthread_attr_t **threadAttr, tagBridgeTimerEvent **event) {
    *threadHandle = nullptr;
    *threadAttr = nullptr;
    *event = nullptr;
    auto *h = new (std::nothrow) pthread_t{};
    auto *a = new (std::nothrow) pthread_attr_t{};
    auto *ev = new (std::nothrow) tagBridgeTimerEvent{};
    if (!h || !a || !ev) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "ERROR: fail to allocate bridge resources");
        delete h;
        delete a;
        delete ev;
        return;
    }
    ev->timer_running = 1;
    pthread_mutex_init(&ev->mutex, nullptr);
    pthread_cond_init(&ev->cond, nullptr);
    ev->active = 1;
    pthread_attr_init(a);
    if (pthread_create(h, a, RynBridgeTimer, ev) != 0) {
        RYN_LOG(OBJ_NETWORK, LOG_INFO, "ERROR: fail to allocate bridge resources");
        pthread_attr_destroy(a);
        pthread_cond_destroy(&ev->cond);
        pthread_mutex_destroy(&ev->mutex);
        delete h;
        delete a;
        delete ev;
        return;
    }
    *threadHandle = h;
    *threadAttr = a;
    *event = ev;
}

void bridgeEvent_deinit(pthread_t **threadHandle, pthread_attr_t **threadAttr, tagBridgeTimerEvent **event) {
    if (!threadHandle || !threadAttr || !event || !*threadHandle || !*threadAttr || !*event) return;
    tagBridgeTimerEvent *ev = *event;
    ev->active = 0;
    ev->timer_running = 0;
    pthread_join(**threadHandle, nullptr);
    pthread_attr_destroy(*threadAttr);
    pthread_cond_destroy(&ev->cond);
    pthread_mutex_destroy(&ev->mutex);
    delete *threadHandle;
    delete *threadAttr;
    delete ev;
    *threadHandle = nullptr;
    *threadAttr = nullptr;
    *event = nullptr;
}

void waitForEvent(tagBridgeTimerEvent *ev, int ms) {
    if (ev && ev->active.load() == 1) {
        pthread_cond_wait(&ev->cond, &ev->mutex);
        return;
    }
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "waitForEvent bridge Event not init");
    sleepMs(ms);
}
