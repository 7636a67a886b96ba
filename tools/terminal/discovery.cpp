#include "tools/terminal/discovery.h"

#include "services/wire.h"
#include "tools/terminal/message.h"
#include "tools/terminal/protocol.h"

#include <arpa/inet.h>

#include <cstring>

namespace simterm {

namespace {
bool refuse(std::string *why, const char *text) {
    if (why) *why = text;
    return false;
}
}  // namespace

std::optional<Discovery> parseDiscovery(const unsigned char *data, size_t size, std::string *why) {
    if (!data) {
        refuse(why, "no data");
        return std::nullopt;
    }
    Tree tree;
    if (decodeMessage(std::string(reinterpret_cast<const char *>(data), size), tree) != DecodeError::None) {
        refuse(why, "not a service envelope");
        return std::nullopt;
    }
    if (tree.tag() != discovery::kRoot) {
        refuse(why, "not a discovery message");
        return std::nullopt;
    }
    Discovery d;
    const auto addr = tree.child(discovery::kHostAddress);
    if (!addr || addr->size() != 4) {
        refuse(why, "host address missing or not 4 bytes");
        return std::nullopt;
    }
    std::memcpy(&d.hostAddress, addr->data(), 4);
    if (const auto name = tree.child(discovery::kName)) d.name = std::string(name->c_str());
    if (const auto mac = tree.child(discovery::kMac); mac && mac->size() == d.mac.size()) {
        std::memcpy(d.mac.data(), mac->data(), d.mac.size());
        d.hasMac = true;
    }
    if (const auto ssl = tree.child(discovery::kUseSsl)) {
        uint32_t v = 0;
        for (size_t i = 0; i < ssl->size() && i < 4; ++i) v |= uint32_t(uint8_t((*ssl)[i])) << (8 * i);
        d.useSsl = v != 0;
    }
    return d;
}

std::string encodeDiscovery(const Discovery &d) {
    Tree tree(discovery::kRoot);
    std::string addr(4, '\0');
    std::memcpy(addr.data(), &d.hostAddress, 4);
    tree.add(discovery::kHostAddress, addr);
    tree.add(discovery::kName, d.name + std::string(1, '\0'));
    tree.add(discovery::kMac, std::string(reinterpret_cast<const char *>(d.mac.data()), d.mac.size()));
    std::string ssl(4, '\0');
    ryn::wire::storeLe32(reinterpret_cast<unsigned char *>(ssl.data()), d.useSsl ? 1 : 0);
    tree.add(discovery::kUseSsl, ssl);
    return encodeMessage(tree);
}

std::string addressText(uint32_t networkOrder) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = networkOrder;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace simterm
