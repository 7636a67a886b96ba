// Exported bridge additions: addDynamicBridge (all host interfaces) and
// addDynamicBridgeLocal (loopback only). Thin wrappers: each checks that the
// service runs, holds an operation guard (so a stop waits for it) and calls
// the bridge table. No exception leaves them.
#include "bridge/bridge.h"
#include "service/config.h"
#include "service/log.h"
#include "service/manager.h"

#include "ryn_service.h"

namespace {

constexpr int kNotActive = -5;
constexpr int kBadArgument = -4;  // the bridge table's code for a bad direction
constexpr int kNotStarted = -3;

int addBridge(int port, int direction, int (*add)(uint16_t, int)) {
    try {
        ryn::OperationGuard op(ryn::OperationGuard::Need::Running);
        if (!op) {
            RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_SERVICE_NOT_ACTIVE");
            return kNotActive;
        }
        if (g_isIpCompanion.load()) return 0;  // the terminal reaches the host directly
        // A port outside 1..65535 would silently become another port.
        if (port < 1 || port > 65535) {
            RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_INVALID_PARAMETER");
            return kBadArgument;
        }
        return add(static_cast<uint16_t>(port), direction);
    } catch (...) {
        return kNotStarted;
    }
}

}  // namespace

extern "C" int addDynamicBridge(int port, int direction) { return addBridge(port, direction, AddDynamicBridgeAny); }

extern "C" int addDynamicBridgeLocal(int port, int direction) {
    return addBridge(port, direction, AddDynamicBridgeLocal);
}
