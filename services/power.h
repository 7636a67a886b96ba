// Power: a service of the container; created by StartService, deleted by
// CloseService. It marks the terminal as in use around every host
// operation on it: PowerOnSPM before the channel is taken, PowerOffRequest
// by the last channel user when it is done (see ChannelUse in
// services/channel_use.h). Any application thread may call both; only the
// release takes powerOffCS. Its answer to the terminal's power request is
// added with that service.
#pragma once

#include "service/primitives.h"

#include <atomic>
#include <cstdint>

extern Mutex powerOffCS;

class Power {
public:
    static constexpr int32_t kInUse = 1;     // an operation is in progress ("on")
    static constexpr int32_t kReleased = 2;  // "off"; also the initial state

    Power() = default;
    virtual ~Power() = default;
    Power(const Power &) = delete;
    Power &operator=(const Power &) = delete;

    void PowerOnSPM();
    void PowerOffRequest();
    void PowerOffSPM();

    std::atomic<int32_t> state{kReleased};
};
