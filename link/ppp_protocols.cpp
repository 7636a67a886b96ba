#include "link/ppp_protocols.h"

#include "link/ipcp.h"
#include "link/lcp_link.h"
#include "link/upap.h"

#include <atomic>

namespace ryn::ppp {
namespace {
// Routed by protocol number; LCP first (PPP start initialises them in this order).
const ControlProtocol *const kBuiltIn[] = {&kLcpProtocol, &kIpcpProtocol, &kPapProtocol};

std::atomic<const ControlProtocol *const *> g_table{kBuiltIn};
std::atomic<size_t> g_count{sizeof kBuiltIn / sizeof kBuiltIn[0]};
}  // namespace

std::span<const ControlProtocol *const> controlProtocols() { return {g_table.load(), g_count.load()}; }

const ControlProtocol *findProtocol(uint16_t protocol) {
    for (const ControlProtocol *p : controlProtocols())
        if (p->protocol == protocol) return p;
    return nullptr;
}

void setControlProtocolsForTesting(std::span<const ControlProtocol *const> table) {
    if (table.empty()) {
        g_count.store(0);
        g_table.store(kBuiltIn);
        g_count.store(sizeof kBuiltIn / sizeof kBuiltIn[0]);
    } else {
        g_count.store(0);
        g_table.store(table.data());
        g_count.store(table.size());
    }
}

}  // namespace ryn::ppp
