// TLV unserialize on arbitrary bytes. On success the tree must serialize to
// exactly GetSerializationSize bytes and those must parse to the same tree;
// on failure no tree is handed back (leaks are caught by the sanitizer).
#include "ryn_tlv.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

static bool sameTree(const sTLV_TREE_NODE *a, const sTLV_TREE_NODE *b) {
    const sTLV_TREE_NODE *x = a, *y = b;
    while (x && y) {
        if (TlvTree_GetTag(x) != TlvTree_GetTag(y) || TlvTree_GetLength(x) != TlvTree_GetLength(y)) return false;
        if (TlvTree_GetLength(x) && std::memcmp(TlvTree_GetData(x), TlvTree_GetData(y), TlvTree_GetLength(x)) != 0)
            return false;
        // Same shape: the same number of children at each step.
        if ((TlvTree_GetFirstChild(x) == nullptr) != (TlvTree_GetFirstChild(y) == nullptr)) return false;
        if ((TlvTree_GetNext(x) == nullptr) != (TlvTree_GetNext(y) == nullptr) && x != a) return false;
        x = TlvTree_Iterate(x, a);
        y = TlvTree_Iterate(y, b);
    }
    return x == nullptr && y == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX) return 0;
    sTLV_TREE_NODE *tree = reinterpret_cast<sTLV_TREE_NODE *>(1);
    const int r = TlvTree_Unserialize(&tree, 0, data, uint32_t(size));
    if (r != 0) {
        if (tree != nullptr) std::abort();
        return 0;
    }
    if (!tree || TlvTree_GetParent(tree) || TlvTree_GetNext(tree)) std::abort();
    const int need = TlvTree_GetSerializationSize(tree, 0);
    if (need <= 0) std::abort();
    std::vector<unsigned char> out(static_cast<size_t>(need));
    if (TlvTree_Serialize(tree, 0, out.data(), uint32_t(out.size())) != need) std::abort();
    if (need > 5 && TlvTree_Serialize(tree, 0, out.data(), uint32_t(need - 1)) != TLV_TREE_ERR_BUFFER_TOO_SMALL)
        std::abort();
    TlvTree_Serialize(tree, 0, out.data(), uint32_t(out.size()));
    sTLV_TREE_NODE *again = nullptr;
    if (TlvTree_Unserialize(&again, 0, out.data(), uint32_t(out.size())) != 0) std::abort();
    if (!sameTree(tree, again)) std::abort();
    sTLV_TREE_NODE *copy = TlvTree_Copy(tree);
    if (!sameTree(tree, copy)) std::abort();
    TlvTree_Release(copy);
    TlvTree_Release(again);
    TlvTree_Release(tree);
    return 0;
}
