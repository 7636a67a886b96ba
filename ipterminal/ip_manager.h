// IP connection manager: the thread that serves a terminal on the LAN. It
// runs while g_isIpManagerStart is set; stopRynService clears the flag and
// joins it.
#pragma once

void *manageIpDeviceConnection(void *manager);
