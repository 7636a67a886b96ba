// Discovery: tells a terminal on the LAN where its host is.
#include "ipterminal/ip_manager.h"

#include "service/config.h"
#include "service/log.h"
#include "service/manager.h"
#include "service/service_thread.h"
#include "services/com.h"
#include "services/envelope.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ryn::ip {
namespace {

int hexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Sleeps in short steps so a stop is seen promptly.
void pause(int ms) {
    for (int waited = 0; waited < ms && g_isIpManagerStart.load(); waited += 50) usleep(50 * 1000);
}

}  // namespace

void parseMac(const char *text, size_t capacity, unsigned char mac[6]) {
    for (size_t i = 0; i < 6; ++i) {
        const size_t at = i * 3;
        int hi = at + 1 < capacity ? hexNibble(text[at]) : -1;
        int lo = at + 1 < capacity && hi >= 0 ? hexNibble(text[at + 1]) : -1;
        mac[i] = hi >= 0 && lo >= 0 ? uint8_t(hi << 4 | lo) : 0;
    }
}

std::optional<HostInterface> findInterfaceFor(in_addr terminal) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "getAddrPCandBroadcast getifaddrs error");
        return std::nullopt;
    }
    std::optional<HostInterface> found;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
        if (i->ifa_flags & IFF_LOOPBACK) continue;
        if (!(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr) continue;
        const uint32_t mask = reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr;
        const uint32_t broadcast = reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr;
        const uint32_t candidate = terminal.s_addr | ~mask;
        if (candidate != 0xFFFFFFFFu && candidate == broadcast) {
            HostInterface h;
            h.address = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr;
            h.broadcast.s_addr = broadcast;
            found = h;
        }
    }
    freeifaddrs(list);
    return found;
}

std::string discoveryDatagram(in_addr host, const char *name, const unsigned char mac[6], int32_t useSsl) {
    sTLV_TREE_NODE *root = TlvTree_New(0x81);
    if (!root) return {};
    unsigned char ssl[4];
    for (int i = 0; i < 4; ++i) ssl[i] = uint8_t(uint32_t(useSsl) >> (8 * i));
    const bool ok = TlvTree_AddChild(root, 0x91, &host.s_addr, 4) &&
                    TlvTree_AddChild(root, 0x11, name, uint32_t(strlen(name) + 1)) &&
                    TlvTree_AddChild(root, 0x12, mac, 6) && TlvTree_AddChild(root, 0x92, ssl, 4);
    std::string out = ok ? ryn::services::serializeTlv(root) : std::string();
    TlvTree_Release(root);
    return out;
}

}  // namespace ryn::ip

void *manageIpDeviceConnection(void *arg) {
    using namespace ryn::ip;
    ryn::ServiceThreadScope mark;
    auto *manager = static_cast<PDA_Manager *>(arg);
    RYN_LOG(OBJ_COM, LOG_INFO, "manageIpDeviceConnection start");
    // The record is not rewritten while the service runs; copy what we need.
    char name[sizeof g_CompanionInfo.name];
    char addrIP[sizeof g_CompanionInfo.addrIP];
    memcpy(name, g_CompanionInfo.name, sizeof name);
    memcpy(addrIP, g_CompanionInfo.addrIP, sizeof addrIP);
    name[sizeof name - 1] = addrIP[sizeof addrIP - 1] = '\0';
    unsigned char mac[6];
    parseMac(g_CompanionInfo.addrMAC, sizeof g_CompanionInfo.addrMAC, mac);
    const int32_t useSsl = g_CompanionInfo.useSsl;

    if (strcmp(addrIP, "255.255.255.255") == 0) {
        RYN_LOG(OBJ_COM, LOG_INFO, "manageIpDeviceConnection end");
        return nullptr;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "Send socket create fatal error %d", errno);
        return nullptr;
    }
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "broadcast options fatal error %d", errno);
        close(fd);
        return nullptr;
    }
    in_addr terminal{};
    const bool haveTerminal = inet_pton(AF_INET, addrIP, &terminal) == 1;
    while (g_isIpManagerStart.load()) {
        Com *com = manager ? manager->com.load() : nullptr;
        if (com && !com->GetStatusCom() && haveTerminal) {
            if (auto iface = findInterfaceFor(terminal)) {
                const std::string datagram = discoveryDatagram(iface->address, name, mac, useSsl);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(kDiscoveryPort);
                to.sin_addr = iface->broadcast;
                if (!datagram.empty() &&
                    sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to),
                           sizeof to) < 0)
                    RYN_LOG(OBJ_COM, LOG_ERROR, "sendto failed with error: %d", errno);
            }
        }
        pause(kDiscoveryPeriodMs);
    }
    close(fd);
    RYN_LOG(OBJ_COM, LOG_INFO, "manageIpDeviceConnection end");
    return nullptr;
}
