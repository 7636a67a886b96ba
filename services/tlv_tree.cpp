// TLV tree: node model, walk, edit operations and the default binary format.
//
// Every walk here is iterative (the pre-order step __TlvTree_GetNextNode, or
// list splicing for release), so trees of any depth, including ones built
// from hostile input, cannot exhaust the stack. Received bytes are read only
// through wire::ByteReader.
#include "ryn_tlv.h"

#include "services/wire.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

namespace tlv = ryn::wire::tlv;

sTLV_TREE_NODE *mut(const sTLV_TREE_NODE *n) { return const_cast<sTLV_TREE_NODE *>(n); }

uint32_t valueLength(const sTLV_TREE_NODE *n) { return n->data ? n->length : 0; }

void freeNode(sTLV_TREE_NODE *n) {
    std::free(n->data);
    std::free(n);
}

// Integer values travel least significant byte first, whatever the host.
void integerBytes(uint32_t value, unsigned char out[4]) { ryn::wire::storeLe32(out, value); }

// Serializer state shared with the marker callbacks.
struct Writer {
    unsigned char *buffer;
    uint64_t size;
    uint64_t pos;
    bool overflow;

    void put(unsigned char b) {
        if (pos >= size) {
            overflow = true;
            return;
        }
        buffer[pos++] = b;
    }
};

int writeDown(sTLV_TREE_NODE *, sTLV_TREE_NODE *, void *user) {
    static_cast<Writer *>(user)->put(tlv::kDown);
    return 0;
}
int writeUp(sTLV_TREE_NODE *, sTLV_TREE_NODE *, void *user) {
    static_cast<Writer *>(user)->put(tlv::kUp);
    return 0;
}
int countMarker(sTLV_TREE_NODE *, sTLV_TREE_NODE *, void *user) {
    ++*static_cast<uint64_t *>(user);
    return 0;
}

// 64-bit size of the default serialization.
uint64_t serializationSize(const sTLV_TREE_NODE *root) {
    uint64_t total = tlv::kHeaderLen + 1;  // header and end marker
    uint64_t markers = 0;
    for (const sTLV_TREE_NODE *n = root; n;
         n = __TlvTree_GetNextNode(n, root, countMarker, countMarker, nullptr, &markers))
        total += tlv::kNodeHeaderLen + valueLength(n);
    return total + markers;
}

}  // namespace

extern "C" {

// ---- working layer -------------------------------------------------------

sTLV_TREE_NODE *__TlvTree_NewNode(uint32_t tag, const void *data, uint32_t length) {
    auto *node = static_cast<sTLV_TREE_NODE *>(std::calloc(1, sizeof(sTLV_TREE_NODE)));
    if (!node) return nullptr;
    node->tag = tag;
    if (data && length) {
        node->data = static_cast<unsigned char *>(std::malloc(length));
        if (!node->data) {
            std::free(node);
            return nullptr;
        }
        std::memcpy(node->data, data, length);
        node->length = length;
    }
    return node;
}

sTLV_TREE_NODE *__TlvTree_New(uint32_t tag) { return __TlvTree_NewNode(tag, nullptr, 0); }

void __TlvTree_AddChild(sTLV_TREE_NODE *parent, sTLV_TREE_NODE *child) {
    if (!parent || !child) return;
    child->parent = parent;
    child->next = nullptr;
    child->prev = parent->lastChild;
    if (parent->lastChild)
        parent->lastChild->next = child;
    else
        parent->firstChild = child;
    parent->lastChild = child;
}

void __TlvTree_RemoveChild(sTLV_TREE_NODE *node) {
    if (!node) return;
    sTLV_TREE_NODE *parent = node->parent;
    if (node->prev)
        node->prev->next = node->next;
    else if (parent)
        parent->firstChild = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else if (parent)
        parent->lastChild = node->prev;
    node->parent = node->prev = node->next = nullptr;
}

void __TlvTree_DeleteNode(sTLV_TREE_NODE *node) {
    if (node) freeNode(node);
}

sTLV_TREE_NODE *__TlvTree_GetNextNode(const sTLV_TREE_NODE *node, const sTLV_TREE_NODE *root,
                                      TlvTreeWalkCallback down, TlvTreeWalkCallback up,
                                      TlvTreeWalkCallback sibling, void *user) {
    if (!node) return nullptr;
    if (node->firstChild) {
        if (down) down(mut(node), node->firstChild, user);
        return node->firstChild;
    }
    if (node == root) return nullptr;
    const sTLV_TREE_NODE *cur = node;
    for (;;) {
        if (cur->next) {
            if (sibling) sibling(mut(cur), cur->next, user);
            return cur->next;
        }
        sTLV_TREE_NODE *parent = cur->parent;
        if (!parent) return nullptr;
        if (up) up(mut(cur), parent, user);
        if (parent == root) return nullptr;
        cur = parent;
    }
}

sTLV_TREE_NODE *__TlvTree_Find(const sTLV_TREE_NODE *node, uint32_t tag, uint32_t index) {
    for (const sTLV_TREE_NODE *n = node; n;
         n = __TlvTree_GetNextNode(n, node, nullptr, nullptr, nullptr, nullptr)) {
        if (n->tag != tag) continue;
        if (index == 0) return mut(n);
        --index;
    }
    return nullptr;
}

void __TlvTree_Release(sTLV_TREE_NODE *node) {
    if (!node) return;
    __TlvTree_RemoveChild(node);
    // Flatten as we go: a visited node's children are appended to the list
    // being walked, so every descendant is reached without recursion.
    sTLV_TREE_NODE *tail = node->lastChild;
    sTLV_TREE_NODE *cur = node->firstChild;
    while (cur) {
        if (cur->firstChild) {
            tail->next = cur->firstChild;
            tail = cur->lastChild;
        }
        sTLV_TREE_NODE *next = cur->next;
        freeNode(cur);
        cur = next;
    }
    freeNode(node);
}

sTLV_TREE_NODE *__TlvTree_Copy(const sTLV_TREE_NODE *node) {
    if (!node) return nullptr;
    sTLV_TREE_NODE *copy = __TlvTree_NewNode(node->tag, node->data, valueLength(node));
    if (!copy) return nullptr;
    const sTLV_TREE_NODE *src = node;
    sTLV_TREE_NODE *dst = copy;
    for (;;) {
        const sTLV_TREE_NODE *from;
        sTLV_TREE_NODE *into;
        if (src->firstChild) {
            from = src->firstChild;
            into = dst;
        } else {
            while (src != node && !src->next) {
                src = src->parent;
                dst = dst->parent;
            }
            if (src == node) break;
            from = src->next;
            into = dst->parent;
        }
        sTLV_TREE_NODE *n = __TlvTree_NewNode(from->tag, from->data, valueLength(from));
        if (!n) {
            // A copy missing some fields would pass for a whole one.
            __TlvTree_Release(copy);
            return nullptr;
        }
        __TlvTree_AddChild(into, n);
        src = from;
        dst = n;
    }
    return copy;
}

int __TlvTree_Graft(sTLV_TREE_NODE *parent, sTLV_TREE_NODE *child) {
    if (!parent || !child || child->parent) return TLV_TREE_ERR_GRAFT;
    const sTLV_TREE_NODE *top = parent;
    while (top->parent) top = top->parent;
    if (top == child) return TLV_TREE_ERR_GRAFT;  // would make a cycle
    __TlvTree_AddChild(parent, child);
    return TLV_TREE_OK;
}

int __TlvTree_SetData(sTLV_TREE_NODE *node, const void *data, uint32_t length) {
    if (!node) return TLV_TREE_ERR_BAD_INPUT;
    if (node->data && node->length == length && length != 0) {
        if (data) std::memmove(node->data, data, length);  // may be the node's own bytes
        return TLV_TREE_OK;
    }
    unsigned char *fresh = nullptr;
    if (data && length) {
        fresh = static_cast<unsigned char *>(std::malloc(length));
        if (fresh) std::memcpy(fresh, data, length);  // before freeing: data may alias the old value
    }
    std::free(node->data);
    node->data = fresh;
    node->length = fresh ? length : 0;
    return (data && length && !fresh) ? TLV_TREE_ERR_NO_MEMORY : TLV_TREE_OK;
}

void __TlvTree_SetTag(sTLV_TREE_NODE *node, uint32_t tag) {
    if (node) node->tag = tag;
}

sTLV_TREE_NODE *__TlvTree_GetFirstChild(const sTLV_TREE_NODE *node) {
    return node ? node->firstChild : nullptr;
}
sTLV_TREE_NODE *__TlvTree_GetNext(const sTLV_TREE_NODE *node) { return node ? node->next : nullptr; }
sTLV_TREE_NODE *__TlvTree_GetParent(const sTLV_TREE_NODE *node) {
    return node ? node->parent : nullptr;
}
uint32_t __TlvTree_GetTag(const sTLV_TREE_NODE *node) { return node ? node->tag : 0; }
uint32_t __TlvTree_GetLength(const sTLV_TREE_NODE *node) { return node ? valueLength(node) : 0; }
void *__TlvTree_GetData(const sTLV_TREE_NODE *node) { return node ? node->data : nullptr; }

int __TlvTree_GetSerializationSize_Default(const sTLV_TREE_NODE *node) {
    uint64_t size = serializationSize(node);
    return size > INT_MAX ? TLV_TREE_ERR_BAD_SIZE : int(size);
}

int __TlvTree_Serialize_Default(const sTLV_TREE_NODE *node, unsigned char *buffer, uint32_t size) {
    if (!buffer || size <= tlv::kCheckedHeaderBytes) return TLV_TREE_ERR_BUFFER_TOO_SMALL;
    // The count is returned as an int: never use more than that can report.
    Writer w{buffer, size > uint32_t(INT_MAX) ? uint64_t(INT_MAX) : size, 0, false};
    for (unsigned char b : tlv::kHeader) w.put(b);
    for (const sTLV_TREE_NODE *n = node; n && !w.overflow;
         n = __TlvTree_GetNextNode(n, node, writeDown, writeUp, nullptr, &w)) {
        const uint32_t len = valueLength(n);
        if (w.size - w.pos < tlv::kNodeHeaderLen + uint64_t(len)) return TLV_TREE_ERR_BUFFER_TOO_SMALL;
        w.buffer[w.pos] = tlv::kNode;
        ryn::wire::storeLe32(w.buffer + w.pos + 1, n->tag);
        ryn::wire::storeLe32(w.buffer + w.pos + 5, len);
        w.pos += tlv::kNodeHeaderLen;
        if (len) std::memcpy(w.buffer + w.pos, n->data, len);
        w.pos += len;
    }
    w.put(tlv::kEnd);
    if (w.overflow) return TLV_TREE_ERR_BUFFER_TOO_SMALL;
    return int(w.pos);
}

int __TlvTree_Unserialize_Default(sTLV_TREE_NODE **tree, const unsigned char *data,
                                  uint32_t length) {
    *tree = nullptr;
    if (length <= tlv::kCheckedHeaderBytes) return TLV_TREE_ERR_BAD_INPUT;
    if (std::memcmp(data, tlv::kHeader, tlv::kCheckedHeaderBytes) != 0) return TLV_TREE_ERR_FORMAT;

    ryn::wire::ByteReader in(data + tlv::kHeaderLen, length - tlv::kHeaderLen);
    sTLV_TREE_NODE *top = nullptr;     // the tree handed back
    sTLV_TREE_NODE *parent = nullptr;  // where new nodes go; null = top level
    sTLV_TREE_NODE *last = nullptr;    // last node added
    int result = TLV_TREE_ERR_BAD_INPUT;
    for (;;) {
        uint8_t marker;
        if (!in.readU8(marker)) goto fail;  // ran out before the end marker
        switch (marker) {
        case tlv::kNode: {
            uint32_t tag = 0, len = 0;
            const unsigned char *value = nullptr;
            // A value-less node still needs one byte after it (a marker).
            if (!in.has(8 + 1)) goto fail;
            in.readLe32(tag);
            in.readLe32(len);
            if (len != 0) {
                if (!in.has(size_t(len) + 1)) goto fail;
                in.readSpan(len, value);
            }
            sTLV_TREE_NODE *n = __TlvTree_NewNode(tag, value, len);
            if (!n) {
                result = TLV_TREE_ERR_NO_MEMORY;
                goto fail;
            }
            if (parent) {
                __TlvTree_AddChild(parent, n);
            } else {
                // Only the last top-level tree is returned; earlier ones
                // are complete here and must not leak.
                __TlvTree_Release(top);
                top = n;
            }
            last = n;
            break;
        }
        case tlv::kDown:
            parent = last;
            break;
        case tlv::kUp:
            if (!parent) goto done;
            last = parent;
            parent = parent->parent;
            break;
        case tlv::kEnd:
            goto done;
        default:
            goto fail;
        }
    }
done:
    // "Success" with no tree would hand callers a null root.
    if (!top) return TLV_TREE_ERR_BAD_INPUT;
    *tree = top;
    return TLV_TREE_OK;
fail:
    __TlvTree_Release(top);
    return result;
}

int __TlvTree_GetSerializationSize(const sTLV_TREE_NODE *node, uint32_t selector) {
    if (selector != TLV_TREE_SERIALIZER_DEFAULT) return TLV_TREE_ERR_FORMAT;
    return __TlvTree_GetSerializationSize_Default(node);
}

int __TlvTree_Serialize(const sTLV_TREE_NODE *node, uint32_t selector, unsigned char *buffer,
                        uint32_t size) {
    if (selector != TLV_TREE_SERIALIZER_DEFAULT) return TLV_TREE_ERR_FORMAT;
    return __TlvTree_Serialize_Default(node, buffer, size);
}

int __TlvTree_Unserialize(sTLV_TREE_NODE **tree, uint32_t selector, const unsigned char *data,
                          uint32_t length) {
    if (!tree) return TLV_TREE_ERR_NULL_OUTPUT;
    *tree = nullptr;
    if (!data) return TLV_TREE_ERR_BAD_INPUT;
    if (length == 0) return TLV_TREE_ERR_BAD_SIZE;
    if (selector != TLV_TREE_SERIALIZER_DEFAULT) return TLV_TREE_ERR_FORMAT;
    return __TlvTree_Unserialize_Default(tree, data, length);
}

// ---- exported layer --------------------------------------------------------

sTLV_TREE_NODE *TlvTree_New(uint32_t tag) { return __TlvTree_New(tag); }

sTLV_TREE_NODE *TlvTree_AddChild(sTLV_TREE_NODE *parent, uint32_t tag, const void *data,
                                 uint32_t length) {
    sTLV_TREE_NODE *n = __TlvTree_NewNode(tag, data, length);
    if (n && parent) __TlvTree_AddChild(parent, n);
    return n;
}

sTLV_TREE_NODE *TlvTree_AddChildInteger(sTLV_TREE_NODE *parent, uint32_t tag, uint32_t value,
                                        uint32_t width) {
    if (width > 4) return nullptr;
    unsigned char bytes[4];
    integerBytes(value, bytes);
    return TlvTree_AddChild(parent, tag, bytes, width);
}

sTLV_TREE_NODE *TlvTree_AddChildString(sTLV_TREE_NODE *parent, uint32_t tag, const char *text) {
    if (!text) return TlvTree_AddChild(parent, tag, nullptr, 0);
    const size_t len = std::strlen(text) + 1;
    if (len > UINT32_MAX) return nullptr;
    return TlvTree_AddChild(parent, tag, text, uint32_t(len));
}

int TlvTree_SetData(sTLV_TREE_NODE *node, const void *data, uint32_t length) {
    return __TlvTree_SetData(node, data, length);
}

int TlvTree_SetDataString(sTLV_TREE_NODE *node, const char *text) {
    if (!text) return __TlvTree_SetData(node, nullptr, 0);
    const size_t len = std::strlen(text) + 1;
    if (len > UINT32_MAX) return TLV_TREE_ERR_BAD_SIZE;
    return __TlvTree_SetData(node, text, uint32_t(len));
}

int TlvTree_SetDataInteger(sTLV_TREE_NODE *node, uint32_t value, uint32_t width) {
    if (width > 4) return TLV_TREE_ERR_BAD_SIZE;
    unsigned char bytes[4];
    integerBytes(value, bytes);
    return __TlvTree_SetData(node, bytes, width);
}

void TlvTree_SetTag(sTLV_TREE_NODE *node, uint32_t tag) { __TlvTree_SetTag(node, tag); }
int TlvTree_Graft(sTLV_TREE_NODE *parent, sTLV_TREE_NODE *child) {
    return __TlvTree_Graft(parent, child);
}
void TlvTree_Release(sTLV_TREE_NODE *node) { __TlvTree_Release(node); }
sTLV_TREE_NODE *TlvTree_Copy(const sTLV_TREE_NODE *node) { return __TlvTree_Copy(node); }

sTLV_TREE_NODE *TlvTree_GetFirstChild(const sTLV_TREE_NODE *node) {
    return __TlvTree_GetFirstChild(node);
}
sTLV_TREE_NODE *TlvTree_GetNext(const sTLV_TREE_NODE *node) { return __TlvTree_GetNext(node); }
sTLV_TREE_NODE *TlvTree_GetParent(const sTLV_TREE_NODE *node) { return __TlvTree_GetParent(node); }
uint32_t TlvTree_GetTag(const sTLV_TREE_NODE *node) { return __TlvTree_GetTag(node); }
uint32_t TlvTree_GetLength(const sTLV_TREE_NODE *node) { return __TlvTree_GetLength(node); }
void *TlvTree_GetData(const sTLV_TREE_NODE *node) { return __TlvTree_GetData(node); }

sTLV_TREE_NODE *TlvTree_Iterate(const sTLV_TREE_NODE *node, const sTLV_TREE_NODE *root) {
    return __TlvTree_GetNextNode(node, root, nullptr, nullptr, nullptr, nullptr);
}

sTLV_TREE_NODE *TlvTree_Find(const sTLV_TREE_NODE *node, uint32_t tag, uint32_t index) {
    return __TlvTree_Find(node, tag, index);
}

int TlvTree_GetSerializationSize(const sTLV_TREE_NODE *node, uint32_t selector) {
    return __TlvTree_GetSerializationSize(node, selector);
}
int TlvTree_Serialize(const sTLV_TREE_NODE *node, uint32_t selector, unsigned char *buffer,
                      uint32_t size) {
    return __TlvTree_Serialize(node, selector, buffer, size);
}
int TlvTree_Unserialize(sTLV_TREE_NODE **tree, uint32_t selector, const unsigned char *data,
                        uint32_t length) {
    return __TlvTree_Unserialize(tree, selector, data, length);
}

}  // extern "C"
