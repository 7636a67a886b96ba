// Link configuration: credentials the host presents when the terminal asks
// it to authenticate, the peer address of server mode, and the DNS request
// switch. Reset to factory values at every fresh start of the supervisor;
// written only by the network thread, before PPP starts.
#pragma once

#include <cstdint>

struct tagConfig {
    char user[31];
    char password[31];
    uint32_t peerAddress;  // host byte order
    uint8_t dnsRequest;
};

extern tagConfig CfgActive;

void SetFactoryConfig(tagConfig *config);
void Init_Config();
