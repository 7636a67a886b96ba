// The terminal-to-host side of the bridges: the outbound connection
// machinery the SOCKS servers use (connectToSocket, proxy_host_connection,
// the socket helpers) and the name resolution the terminal asks of the host
// (GetHostByName), with the placeholder address that hides IPv6-only hosts.
//
// Threads: connectToSocket and proxy_host_connection run on the SOCKS thread
// that asked; GetHostByName on the services thread. The saved resolution
// (the last address list and the placeholder address) is shared by them and
// guarded by the resolution lock inside ResolutionStore: a SOCKS thread
// detaches the list under the lock and then owns it alone.
#pragma once

// stack/socket.h declares the stack's own gethostid(), whose return type
// clashes with <unistd.h>'s; the bridges never call the stack's one.
#include <unistd.h>
#define gethostid ryn_stack_gethostid
#include "bridge/bridge.h"
#undef gethostid

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

// 16 bytes of text: the address given to the terminal for a name that has
// only IPv6 addresses.
inline constexpr char fakeIPV4ToSend[16] = "100.100.100.100";

// Connection worker of a terminal-to-host entry (or of its pool context);
// `record` is a BridgeConnection* owned by the caller for the worker's life.
void *manageRuvaloToOpenOsBridge(void *record);

// Connects the non-blocking `socket` to `address`. 0 connected; a positive
// error number on failure; -1 when abandoned because the context left
// CONNECTED or the service is stopping. Never closes `socket`: the caller
// owns it and closes it exactly once.
int connectToSocket(tagCTX_FSM *ctx, int socket, const sockaddr *address, socklen_t addressLength);

// Tries each address of the list with `port` (host order); answers the
// terminal with the SOCKS reply built in `reply` (REQUIRES: `reply` holds at
// least max(replyLength, 10) bytes). The connected host socket (blocking),
// or -1 after the failure reply was sent (or nothing when abandoned).
int proxy_host_connection(tagCTX_FSM *ctx, const addrinfo *addressList, uint16_t port, uint8_t *reply,
                          int replyLength);

// Both return the socket, or -1 when the mode or option could not be set.
int setSocketNonBlocking(tagCTX_FSM *ctx, int socket, bool on);
int setSocketWindowSize(tagCTX_FSM *ctx, int socket);
inline constexpr int kHostReceiveBufferCap = 4096;

// A malloc'ed 16-byte text (the caller frees it with free()): the name's
// first IPv4 address, "100.100.100.100" for an IPv6-only name, or empty when
// the name does not resolve.
char *GetHostByName(const char *name);

namespace ryn::bridge {

struct AddrInfoFree {
    void operator()(addrinfo *list) const {
        if (list) freeaddrinfo(list);
    }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// What GetHostByName tells the terminal for a resolved list: the first
// IPv4 address that is not 0.0.0.0 as dotted text, else the placeholder
// text when an IPv6 address occurs (*placeholder = true), else "".
inline std::string textForTerminal(const addrinfo *list, bool *placeholder) {
    *placeholder = false;
    bool sawIpv6 = false;
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET6) sawIpv6 = true;
        if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in;
            std::memcpy(&in, ai->ai_addr, sizeof in);
            if (in.sin_addr.s_addr == 0) continue;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
            return text;
        }
    }
    if (sawIpv6) {
        *placeholder = true;
        return fakeIPV4ToSend;
    }
    return "";
}

// The last resolution made for the terminal (`addrToCheckFromGetHostByName`)
// and the placeholder address (`ipv4ToCheckFromGetHostByName`, network
// order, 0 = none). Every member takes the resolution lock; a list handed
// out is detached first, so it is used and freed by one owner only.
class ResolutionStore {
public:
    // Start of a resolution: the placeholder is cleared.
    void beginResolution() {
        std::lock_guard<std::mutex> l(mu_);
        placeholder_ = 0;
    }
    // End of a successful resolution: the saved list is replaced (the old
    // one freed, outside the lock) and the placeholder set when asked.
    void finishResolution(AddrInfoList list, bool placeholder) {
        AddrInfoList old;
        std::lock_guard<std::mutex> l(mu_);
        old.swap(list_);
        list_ = std::move(list);
        if (placeholder) inet_pton(AF_INET, fakeIPV4ToSend, &placeholder_);
    }
    // For a SOCKS request to `ipv4` (network order): when the placeholder is
    // set and equal, detaches the saved list into *list (null when none),
    // clears both saved values and returns true; false otherwise.
    bool takeForPlaceholder(uint32_t ipv4, AddrInfoList *list) {
        std::lock_guard<std::mutex> l(mu_);
        if (placeholder_ == 0 || placeholder_ != ipv4) return false;
        *list = std::move(list_);
        placeholder_ = 0;
        return true;
    }
    uint32_t placeholder() {
        std::lock_guard<std::mutex> l(mu_);
        return placeholder_;
    }
    bool hasList() {
        std::lock_guard<std::mutex> l(mu_);
        return list_ != nullptr;
    }

private:
    std::mutex mu_;
    AddrInfoList list_;         // GUARDED_BY(mu_)
    uint32_t placeholder_ = 0;  // GUARDED_BY(mu_)
};

inline ResolutionStore &resolutionStore() {
    static ResolutionStore store;
    return store;
}

// The connection event of a worker (or SOCKS server) thread: created and
// locked by the constructor (the owner holds its mutex except inside
// waits), published in the context's `event`, and unpublished under the
// context lock before it is destroyed, so the pump never signals a dying
// event. Lives on the owner's thread. get() is null when it could not be
// created (waits then sleep instead).
class ConnectionEvent {
public:
    explicit ConnectionEvent(tagCTX_FSM *ctx);
    ~ConnectionEvent();
    ConnectionEvent(const ConnectionEvent &) = delete;
    ConnectionEvent &operator=(const ConnectionEvent &) = delete;
    tagBridgeTimerEvent *get() const { return event_; }

private:
    tagCTX_FSM *ctx_;
    pthread_t *thread_ = nullptr;
    pthread_attr_t *attr_ = nullptr;
    tagBridgeTimerEvent *event_ = nullptr;
};

// Runs both copy loops over one connection (bridgeConnectionsOut on a
// thread of its own, bridgeConnectionsIn here) until either stops. REQUIRES:
// the calling thread owns the context's ConnectionEvent. The host socket is
// left open for the caller's closeSockets.
void relayConnection(tagCTX_FSM *ctx, int hostSocket);

}  // namespace ryn::bridge
