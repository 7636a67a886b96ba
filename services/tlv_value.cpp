#include "services/tlv_value.h"

#include <cstring>

namespace ryn::services {

bool tlvInteger(const sTLV_TREE_NODE *node, uint32_t &value) {
    const uint32_t len = TlvTree_GetLength(node);
    if (len == 0 || len > 4) return false;
    const auto *p = static_cast<const unsigned char *>(TlvTree_GetData(node));
    uint32_t v = 0;
    for (uint32_t i = 0; i < len; ++i) v |= uint32_t(p[i]) << (8 * i);
    value = v;
    return true;
}

size_t tlvText(const sTLV_TREE_NODE *node, char *out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    const auto *p = static_cast<const char *>(TlvTree_GetData(node));
    size_t n = 0;
    if (p) {
        const size_t len = TlvTree_GetLength(node);
        const void *nul = std::memchr(p, '\0', len);
        n = nul ? size_t(static_cast<const char *>(nul) - p) : len;
        if (n > capacity - 1) n = capacity - 1;
        std::memcpy(out, p, n);
    }
    out[n] = '\0';
    return n;
}

std::string tlvString(const sTLV_TREE_NODE *node, size_t maxLength) {
    const auto *p = static_cast<const char *>(TlvTree_GetData(node));
    if (!p) return {};
    const size_t len = TlvTree_GetLength(node);
    const void *nul = std::memchr(p, '\0', len);
    size_t n = nul ? size_t(static_cast<const char *>(nul) - p) : len;
    if (n > maxLength) n = maxLength;
    return std::string(p, n);
}

const sTLV_TREE_NODE *tlvChild(const sTLV_TREE_NODE *parent, uint32_t tag) {
    for (const sTLV_TREE_NODE *c = TlvTree_GetFirstChild(parent); c; c = TlvTree_GetNext(c))
        if (TlvTree_GetTag(c) == tag) return c;
    return nullptr;
}

}  // namespace ryn::services
