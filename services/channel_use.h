// ChannelUse: the frame every host operation on the terminal puts around
// its exchange. Construction marks the terminal in use (Power::PowerOnSPM)
// and takes the channel (Com::GetConnection); destruction gives the channel
// back and releases the mark when no other user remains. Scoped to one
// application thread; Com and Power must outlive it.
#pragma once

#include "services/com.h"
#include "services/power.h"

#include <cstdint>

namespace ryn::services {

class ChannelUse {
public:
    // power may be null (no marking).
    ChannelUse(Com &com, Power *power);
    ~ChannelUse();
    ChannelUse(const ChannelUse &) = delete;
    ChannelUse &operator=(const ChannelUse &) = delete;

    explicit operator bool() const { return connected_; }
    uint32_t slot() const { return slot_; }

private:
    Com &com_;
    Power *power_;
    uint32_t slot_ = Com::kNoSlot;
    bool connected_ = false;
};

}  // namespace ryn::services
