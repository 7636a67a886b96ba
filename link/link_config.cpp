#include "link/link_config.h"

#include <cstring>

tagConfig CfgActive;

void SetFactoryConfig(tagConfig *config) {
    memset(config, 0, sizeof *config);
    static const char kFactorySecret[] = "bredliwat";
    memcpy(config->password, kFactorySecret, sizeof kFactorySecret);
    memcpy(config->user, kFactorySecret, sizeof kFactorySecret);
    config->peerAddress = 192u << 24 | 168u << 16 | 0u << 8 | 100u;
    config->dnsRequest = 0;
}

void Init_Config() { SetFactoryConfig(&CfgActive); }
