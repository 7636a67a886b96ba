#include "services/channel_use.h"

#include "service/log.h"

namespace ryn::services {

ChannelUse::ChannelUse(Com &com, Power *power) : com_(com), power_(power) {
    if (power_) power_->PowerOnSPM();
    connected_ = com_.GetConnection(&slot_);
    if (!connected_ && power_) power_->PowerOffRequest();
}

ChannelUse::~ChannelUse() {
    if (!connected_) return;
    if (com_.ReleaseConnectionUserID() == 0) {
        if (power_) power_->PowerOffRequest();
    } else {
        RYN_LOG(OBJ_COM, LOG_INFO, "Another User is connected : don't call PowerOffRequest");
    }
}

}  // namespace ryn::services
