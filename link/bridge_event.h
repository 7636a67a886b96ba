// Pacing event: a condition variable that a timer thread signals every
// waitTimePump_ms milliseconds, used by the network thread and by each
// bridge connection to pace their loops.
//
// The owner holds the event's mutex whenever it is not waiting; the timer
// (and a bridge with data for the owner) signals only when it can take the
// mutex without blocking, i.e. while the owner waits. A tick that finds the
// owner working is dropped: ticks never accumulate. The three allocations
// made by bridgeEvent_init belong to its caller and are freed by
// bridgeEvent_deinit, which joins the timer thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct tagBridgeTimerEvent {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    std::atomic<int32_t> active;
    std::atomic<int32_t> timer_running;
};

// Leaves *event null (and logs) when an allocation or the timer thread fails.
void bridgeEvent_init(pthread_t **threadHandle, pthread_attr_t **threadAttr, tagBridgeTimerEvent **event);
void bridgeEvent_deinit(pthread_t **threadHandle, pthread_attr_t **threadAttr, tagBridgeTimerEvent **event);
// Waits for the next signal when the event is active (REQUIRES: the caller
// holds event->mutex); otherwise sleeps ms milliseconds.
void waitForEvent(tagBridgeTimerEvent *event, int ms);
// Wakes the owner if it is waiting; a no-op while it works.
void signalEvent(tagBridgeTimerEvent *event);
