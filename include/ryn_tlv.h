/*
 * TLV trees and binary buffers.
 *
 * A TLV tree is the content of every message exchanged with the terminal:
 * nodes with a 32-bit tag and an optional value, arranged as a tree. The tree
 * owns its nodes; each node owns a private copy of its value. Trees are built
 * with TlvTree_New / TlvTree_AddChild*, released with TlvTree_Release (which
 * frees the whole subtree), and converted to and from the one binary format
 * (selector 0) with TlvTree_Serialize / TlvTree_Unserialize.
 *
 * T_BIN_BUFFER is a small growable byte buffer with a read/write position.
 *
 * Neither has locks: a tree or buffer is used by one thread at a time.
 * No function keeps the caller's pointers; deep walks are iterative, so any
 * depth is safe. The functions whose names begin with __TlvTree_ are the
 * working layer the TlvTree_ functions forward to; they are exported too.
 */
#ifndef RYN_TLV_H
#define RYN_TLV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; these names are its API. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Result codes of the tree operations; 0 is success. */
#define TLV_TREE_OK 0
#define TLV_TREE_ERR_FORMAT (-1000)           /* unknown selector or header */
#define TLV_TREE_ERR_BUFFER_TOO_SMALL (-1001) /* output buffer too small */
#define TLV_TREE_ERR_NULL_OUTPUT (-1002)      /* no place to store the tree */
#define TLV_TREE_ERR_BAD_INPUT (-1003)        /* null, truncated or malformed */
#define TLV_TREE_ERR_NO_MEMORY (-1004)        /* a value could not be allocated */
#define TLV_TREE_ERR_BAD_SIZE (-1005)         /* length 0 or integer width > 4 */
#define TLV_TREE_ERR_GRAFT (-1006)            /* graft refused */

/* The only serialization selector. */
#define TLV_TREE_SERIALIZER_DEFAULT 0u

typedef struct sTLV_TREE_NODE {
    struct sTLV_TREE_NODE *parent;     /* null for a root */
    uint32_t tag;
    uint32_t length;                   /* bytes in data; 0 when data is null */
    unsigned char *data;               /* owned copy of the value, or null */
    struct sTLV_TREE_NODE *prev;       /* previous sibling */
    struct sTLV_TREE_NODE *next;       /* next sibling */
    struct sTLV_TREE_NODE *firstChild;
    struct sTLV_TREE_NODE *lastChild;  /* appending is constant time */
} sTLV_TREE_NODE;

/* Walk callbacks: (from, to, user); the result is ignored. */
typedef int (*TlvTreeWalkCallback)(sTLV_TREE_NODE *from, sTLV_TREE_NODE *to, void *user);

/* Construction and editing. */
sTLV_TREE_NODE *TlvTree_New(uint32_t tag);
/* Appends a child holding a copy of data (no value when data is null or
 * length is 0); a null parent makes the node a new root. Null on failure. */
sTLV_TREE_NODE *TlvTree_AddChild(sTLV_TREE_NODE *parent, uint32_t tag, const void *data,
                                 uint32_t length);
/* Value = the `width` lowest bytes of value, least significant first;
 * width above 4 adds nothing and returns null. */
sTLV_TREE_NODE *TlvTree_AddChildInteger(sTLV_TREE_NODE *parent, uint32_t tag, uint32_t value,
                                        uint32_t width);
/* Value = the string with its terminating NUL. */
sTLV_TREE_NODE *TlvTree_AddChildString(sTLV_TREE_NODE *parent, uint32_t tag, const char *text);
int TlvTree_SetData(sTLV_TREE_NODE *node, const void *data, uint32_t length);
int TlvTree_SetDataString(sTLV_TREE_NODE *node, const char *text);
int TlvTree_SetDataInteger(sTLV_TREE_NODE *node, uint32_t value, uint32_t width);
void TlvTree_SetTag(sTLV_TREE_NODE *node, uint32_t tag);
/* Appends the root tree `child` as parent's last child: 0 or -1006. */
int TlvTree_Graft(sTLV_TREE_NODE *parent, sTLV_TREE_NODE *child);
/* Detaches the node from its parent and frees its subtree; null ignored. */
void TlvTree_Release(sTLV_TREE_NODE *node);
/* Deep copy of the node's subtree as a new root; null for null. */
sTLV_TREE_NODE *TlvTree_Copy(const sTLV_TREE_NODE *node);

/* Navigation (the node must not be null). */
sTLV_TREE_NODE *TlvTree_GetFirstChild(const sTLV_TREE_NODE *node);
sTLV_TREE_NODE *TlvTree_GetNext(const sTLV_TREE_NODE *node);
sTLV_TREE_NODE *TlvTree_GetParent(const sTLV_TREE_NODE *node);
uint32_t TlvTree_GetTag(const sTLV_TREE_NODE *node);
uint32_t TlvTree_GetLength(const sTLV_TREE_NODE *node);
void *TlvTree_GetData(const sTLV_TREE_NODE *node);
/* The node after `node` in pre-order within root's subtree, or null. */
sTLV_TREE_NODE *TlvTree_Iterate(const sTLV_TREE_NODE *node, const sTLV_TREE_NODE *root);
/* The index-th node (from 0) with `tag` in pre-order, node itself included. */
sTLV_TREE_NODE *TlvTree_Find(const sTLV_TREE_NODE *node, uint32_t tag, uint32_t index);

/* Serialization. */
int TlvTree_GetSerializationSize(const sTLV_TREE_NODE *node, uint32_t selector);
/* Bytes written, or an error code; never writes past `size`. */
int TlvTree_Serialize(const sTLV_TREE_NODE *node, uint32_t selector, unsigned char *buffer,
                      uint32_t size);
/* 0 and *tree set; or an error code and *tree null (never a partial tree).
 * A serialization that holds no node at all is refused (-1003). */
int TlvTree_Unserialize(sTLV_TREE_NODE **tree, uint32_t selector, const unsigned char *data,
                        uint32_t length);

/* Working layer. */
sTLV_TREE_NODE *__TlvTree_New(uint32_t tag);
/* A detached node with a copy of the value; null when memory is exhausted. */
sTLV_TREE_NODE *__TlvTree_NewNode(uint32_t tag, const void *data, uint32_t length);
/* Links a detached node as parent's last child. */
void __TlvTree_AddChild(sTLV_TREE_NODE *parent, sTLV_TREE_NODE *child);
/* Unlinks the node from its parent and siblings (its subtree stays). */
void __TlvTree_RemoveChild(sTLV_TREE_NODE *node);
/* Frees one node and its value, not its children. */
void __TlvTree_DeleteNode(sTLV_TREE_NODE *node);
sTLV_TREE_NODE *__TlvTree_GetNextNode(const sTLV_TREE_NODE *node, const sTLV_TREE_NODE *root,
                                      TlvTreeWalkCallback down, TlvTreeWalkCallback up,
                                      TlvTreeWalkCallback sibling, void *user);
sTLV_TREE_NODE *__TlvTree_Find(const sTLV_TREE_NODE *node, uint32_t tag, uint32_t index);
sTLV_TREE_NODE *__TlvTree_Copy(const sTLV_TREE_NODE *node);
int __TlvTree_Graft(sTLV_TREE_NODE *parent, sTLV_TREE_NODE *child);
void __TlvTree_Release(sTLV_TREE_NODE *node);
int __TlvTree_SetData(sTLV_TREE_NODE *node, const void *data, uint32_t length);
void __TlvTree_SetTag(sTLV_TREE_NODE *node, uint32_t tag);
sTLV_TREE_NODE *__TlvTree_GetFirstChild(const sTLV_TREE_NODE *node);
sTLV_TREE_NODE *__TlvTree_GetNext(const sTLV_TREE_NODE *node);
sTLV_TREE_NODE *__TlvTree_GetParent(const sTLV_TREE_NODE *node);
uint32_t __TlvTree_GetTag(const sTLV_TREE_NODE *node);
uint32_t __TlvTree_GetLength(const sTLV_TREE_NODE *node);
void *__TlvTree_GetData(const sTLV_TREE_NODE *node);
int __TlvTree_GetSerializationSize(const sTLV_TREE_NODE *node, uint32_t selector);
int __TlvTree_Serialize(const sTLV_TREE_NODE *node, uint32_t selector, unsigned char *buffer,
                        uint32_t size);
int __TlvTree_Unserialize(sTLV_TREE_NODE **tree, uint32_t selector, const unsigned char *data,
                          uint32_t length);
int __TlvTree_GetSerializationSize_Default(const sTLV_TREE_NODE *node);
int __TlvTree_Serialize_Default(const sTLV_TREE_NODE *node, unsigned char *buffer, uint32_t size);
int __TlvTree_Unserialize_Default(sTLV_TREE_NODE **tree, const unsigned char *data,
                                  uint32_t length);

/* Binary buffer. */
typedef struct T_BIN_BUFFER {
    uint64_t position; /* 0..size */
    uint64_t size;     /* valid bytes */
    unsigned char *data;
} T_BIN_BUFFER;

/* Whence values of binbufSeek. */
#define BINBUF_SEEK_CURRENT 0
#define BINBUF_SEEK_START 1
#define BINBUF_SEEK_END (-1)

/* A copy of src (zero-filled when src is null); position at the end. */
T_BIN_BUFFER *binbufCreate(const void *src, uint64_t length);
/* Replaces the contents; 0, or -1 on a null buffer or failed allocation. */
int binbufSet(T_BIN_BUFFER *buffer, const void *src, uint64_t length);
void binbufDestroy(T_BIN_BUFFER **buffer);
uint64_t binbufRead(T_BIN_BUFFER *buffer, void *dst, uint64_t length);
uint64_t binbufWrite(T_BIN_BUFFER *buffer, const void *src, uint64_t length);
int binbufSeek(T_BIN_BUFFER *buffer, int64_t offset, int whence);
uint64_t binbufTell(const T_BIN_BUFFER *buffer);
uint64_t binbufSize(const T_BIN_BUFFER *buffer);
unsigned char *binbufGet(const T_BIN_BUFFER *buffer);
unsigned char *binbufGetCurrent(const T_BIN_BUFFER *buffer);
void binbufClear(T_BIN_BUFFER *buffer);
T_BIN_BUFFER *binbufCast(void *pointer);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
