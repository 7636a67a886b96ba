// Least IP connection manager: it keeps its thread alive until the stop
// flag is cleared, polling often enough for a prompt stop. Discovery and the
// channel server are added on top of this loop.
#include "ipterminal/ip_manager.h"

#include "service/manager.h"
#include "service/service_thread.h"

#include <unistd.h>

void *manageIpDeviceConnection(void *) {
    ryn::ServiceThreadScope mark;
    while (g_isIpManagerStart.load()) usleep(20 * 1000);
    return nullptr;
}
