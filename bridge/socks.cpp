// The SOCKS 5 servers on link port 1080: one thread per entry (2..6), each
// serving one terminal connection at a time: greeting, CONNECT request,
// outbound connection (proxy.cpp), then the two copy loops. A failed step
// keeps the terminal connection and waits for a new greeting on it.
//
// Each thread owns its entry's connection event and an 8192-byte request
// buffer, reused for the reply. The saved resolution (placeholder address)
// is shared with the services thread through ResolutionStore.
#include "bridge/proxy.h"
#include "bridge/socks_wire.h"
#include "link/rynsock.h"
#include "service/log.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

namespace socks = ryn::socks;
using ryn::bridge::AddrInfoList;

void ctxTracef(tagCTX_FSM *ctx, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void ctxTracef(tagCTX_FSM *ctx, const char *fmt, ...) {
    if (!ryn::log::enabled()) return;
    char text[600];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    CtxTrace(ctx, text);
}

constexpr int kGreetingIdlePolls = 1000;  // 10 s of silence
constexpr int kCompletionIdlePolls = 100;
constexpr int kSendIdleTries = 100;

bool sendToTerminal(tagCTX_FSM *ctx, const uint8_t *data, size_t length) {
    return NetWriteIpBlock(ctx, data, static_cast<int>(length), kSendIdleTries) == static_cast<int>(length);
}

// Reads at least `minimum` bytes into buf (at most `size`); the count read,
// 0 when none counted (idle, stop), traced like every read of the dialogue.
size_t readFromTerminal(tagCTX_FSM *ctx, uint8_t *buf, size_t size, size_t minimum, int idlePolls) {
    int n = NetReadIpBlock(ctx, buf, static_cast<int>(size), static_cast<int>(minimum), idlePolls);
    ctxTracef(ctx, "Rx data from terminal (len=%d)", n);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Connects to an IPv4 destination, through the saved list when it is the
// placeholder address of an IPv6-only name. Host socket or -1.
int connectIpv4(tagCTX_FSM *ctx, const socks::Destination &d, uint8_t *buf) {
    uint32_t addr;
    std::memcpy(&addr, d.ipv4, 4);
    AddrInfoList saved;
    if (ryn::bridge::resolutionStore().takeForPlaceholder(addr, &saved)) {
        if (!saved) {
            CtxTrace(ctx, "No host to check");
            buf[socks::request::REP] = socks::kRepGeneralFailure;
            sendToTerminal(ctx, buf, socks::request::kIpv4Length);
            return -1;
        }
        return proxy_host_connection(ctx, saved.get(), d.port, buf, socks::request::kIpv4Length);
    }
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = addr;
    addrinfo one{};
    one.ai_family = AF_INET;
    one.ai_socktype = SOCK_STREAM;
    one.ai_protocol = IPPROTO_TCP;
    one.ai_addrlen = sizeof in;
    one.ai_addr = reinterpret_cast<sockaddr *>(&in);
    return proxy_host_connection(ctx, &one, d.port, buf, socks::request::kIpv4Length);
}

int connectName(tagCTX_FSM *ctx, const socks::Destination &d, uint8_t *buf, size_t requestLength) {
    char port[8];
    snprintf(port, sizeof port, "%u", d.port);
    ctxTracef(ctx, "Obtaining IP address for hostname=%s port=%s", d.name.c_str(), port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(d.name.c_str(), port, &hints, &found);
    if (rc != 0) {
        ctxTracef(ctx, "getaddrinfo error: %s\n", gai_strerror(rc));
        buf[socks::request::REP] = socks::kRepGeneralFailure;
        sendToTerminal(ctx, buf, requestLength);
        return -1;
    }
    AddrInfoList list(found);
    return proxy_host_connection(ctx, list.get(), d.port, buf, static_cast<int>(requestLength));
}

// One dialogue on a connected terminal: greeting, request, connect, relay.
// Returns when the dialogue ended, successfully relayed or not.
void serveTerminal(tagCTX_FSM *ctx, uint8_t *buf, size_t bufSize) {
    CtxTrace(ctx, "Connection from terminal succeeded");
    size_t n = readFromTerminal(ctx, buf, bufSize, socks::greeting::kLength, kGreetingIdlePolls);
    switch (socks::checkGreeting(socks::ByteView(buf, n))) {
    case socks::GreetingVerdict::Invalid: CtxTrace(ctx, "Invalid data!!!"); return;
    case socks::GreetingVerdict::Silent: return;
    case socks::GreetingVerdict::Refuse: {
        CtxTrace(ctx, "Invalid authentication parameter!!!");
        const uint8_t refuse[2] = {socks::kVersion, socks::kMethodNoneAcceptable};
        sendToTerminal(ctx, refuse, sizeof refuse);
        return;
    }
    case socks::GreetingVerdict::Accept: break;
    }
    const uint8_t accept[2] = {socks::kVersion, socks::kMethodNoAuth};
    if (!sendToTerminal(ctx, accept, sizeof accept)) return;

    n = readFromTerminal(ctx, buf, bufSize, socks::request::kHeadLength, kGreetingIdlePolls);
    socks::ByteView view(buf, n);
    socks::RequestHead head = socks::checkRequestHead(view);
    switch (head.verdict) {
    case socks::HeadVerdict::WrongMessage: ctxTracef(ctx, "Wrong message (%02x)", view.u8(0)); return;
    case socks::HeadVerdict::CommandNotSupported:
        ctxTracef(ctx, "Command not supported (%02x %02x)", view.u8(socks::request::CMD),
                  view.u8(socks::request::RSV));
        return;
    case socks::HeadVerdict::UnknownAddressType:
        ctxTracef(ctx, "Unknown address type (%02x)", view.u8(socks::request::ATYP));
        return;
    case socks::HeadVerdict::Complete: break;
    }
    // Only the missing bytes are read: the request never grows past its
    // own length (at most 262 bytes, well inside the buffer).
    if (n < head.length)
        n += readFromTerminal(ctx, buf + n, head.length - n, head.length - n, kCompletionIdlePolls);
    socks::Destination dest;
    if (n != head.length || !socks::parseRequest(socks::ByteView(buf, n), &dest)) {
        CtxTrace(ctx, "Uncomplete message");
        return;
    }

    int hostSocket = -1;
    switch (dest.atyp) {
    case socks::kAtypIpv4: hostSocket = connectIpv4(ctx, dest, buf); break;
    case socks::kAtypDomain: hostSocket = connectName(ctx, dest, buf, n); break;
    default:
        CtxTrace(ctx, "Address type not supported");
        buf[socks::request::REP] = socks::kRepAddressTypeNotSupported;
        sendToTerminal(ctx, buf, n);
        return;
    }
    if (hostSocket < 0) return;
    ryn::bridge::relayConnection(ctx, hostSocket);
    closeSockets(hostSocket, ctx);
}

}  // namespace

void *SocksServer(void *entry) {
    auto *ctx = static_cast<tagCTX_FSM *>(entry);
    CtxTrace(ctx, "Start thread");
    {
        ryn::bridge::ConnectionEvent event(ctx);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[kBridgeBufferSize]);
        while (GlobalExit.load() == 0) {
            while (GlobalExit.load() == 0 && ctx->state.load() != TCP_CONNECTED) waitForEvent(event.get(), 10);
            if (GlobalExit.load() != 0) break;
            serveTerminal(ctx, buf.get(), kBridgeBufferSize);
        }
    }
    CtxTrace(ctx, "Stop thread");
    return nullptr;
}
