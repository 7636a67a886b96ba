// Binary buffer: a growable byte block with a read/write position.
//
// Growth is exact (no spare capacity). All size arithmetic is checked so a
// length near 2^64 fails instead of wrapping. No locks: one thread at a time.
#include "ryn_tlv.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// realloc that treats a 0-byte request as 1 byte: the block is never null.
unsigned char *resizeBlock(unsigned char *block, uint64_t size) {
    if (size > std::numeric_limits<size_t>::max()) return nullptr;
    return static_cast<unsigned char *>(std::realloc(block, size ? size_t(size) : 1));
}

}  // namespace

extern "C" {

T_BIN_BUFFER *binbufCreate(const void *src, uint64_t length) {
    auto *buffer = static_cast<T_BIN_BUFFER *>(std::calloc(1, sizeof(T_BIN_BUFFER)));
    if (!buffer) return nullptr;
    binbufSet(buffer, src, length);
    return buffer;
}

int binbufSet(T_BIN_BUFFER *buffer, const void *src, uint64_t length) {
    if (!buffer) return -1;
    std::free(buffer->data);
    buffer->data = resizeBlock(nullptr, length);
    if (!buffer->data) {
        buffer->size = buffer->position = 0;
        return -1;
    }
    if (src)
        std::memcpy(buffer->data, src, size_t(length));
    else
        std::memset(buffer->data, 0, size_t(length ? length : 1));
    buffer->size = buffer->position = length;
    return 0;
}

void binbufDestroy(T_BIN_BUFFER **buffer) {
    if (!buffer || !*buffer) return;
    std::free((*buffer)->data);
    std::free(*buffer);
    *buffer = nullptr;
}

uint64_t binbufRead(T_BIN_BUFFER *buffer, void *dst, uint64_t length) {
    if (!buffer || !dst || length == 0 || !buffer->data) return 0;
    const uint64_t left = buffer->size - buffer->position;
    if (left < length) {
        std::memset(dst, 0, size_t(length));
        std::memcpy(dst, buffer->data + buffer->position, size_t(left));
        buffer->position = buffer->size;
        return left;
    }
    std::memcpy(dst, buffer->data + buffer->position, size_t(length));
    buffer->position += length;
    return length;
}

uint64_t binbufWrite(T_BIN_BUFFER *buffer, const void *src, uint64_t length) {
    if (!buffer || !src || length == 0 || !buffer->data) return 0;
    if (length > std::numeric_limits<uint64_t>::max() - buffer->position) return 0;
    const uint64_t end = buffer->position + length;
    if (end > buffer->size) {
        unsigned char *grown = resizeBlock(buffer->data, end);
        if (!grown) return 0;
        buffer->data = grown;
        buffer->size = end;
    }
    std::memcpy(buffer->data + buffer->position, src, size_t(length));
    buffer->position = end;
    return length;
}

int binbufSeek(T_BIN_BUFFER *buffer, int64_t offset, int whence) {
    if (!buffer) return -1;
    // Clamp each candidate into 0..size without overflowing.
    const uint64_t size = buffer->size;
    auto clampAdd = [size](uint64_t base, int64_t delta) -> uint64_t {
        if (delta < 0) {
            const uint64_t back = uint64_t(-(delta + 1)) + 1;  // no overflow at INT64_MIN
            return back >= base ? 0 : base - back;
        }
        const uint64_t fwd = uint64_t(delta);
        return fwd >= size - base ? size : base + fwd;
    };
    switch (whence) {
    case BINBUF_SEEK_START: buffer->position = clampAdd(0, offset); break;
    case BINBUF_SEEK_CURRENT: buffer->position = clampAdd(buffer->position, offset); break;
    case BINBUF_SEEK_END:
        // "offset back from the end": size - offset.
        buffer->position = offset == std::numeric_limits<int64_t>::min()
                               ? size
                               : clampAdd(size, -offset);
        break;
    default: buffer->position = 0; break;
    }
    return 0;
}

uint64_t binbufTell(const T_BIN_BUFFER *buffer) { return buffer ? buffer->position : 0; }
uint64_t binbufSize(const T_BIN_BUFFER *buffer) { return buffer ? buffer->size : 0; }
unsigned char *binbufGet(const T_BIN_BUFFER *buffer) { return buffer ? buffer->data : nullptr; }
unsigned char *binbufGetCurrent(const T_BIN_BUFFER *buffer) {
    return buffer && buffer->data ? buffer->data + buffer->position : nullptr;
}

void binbufClear(T_BIN_BUFFER *buffer) {
    if (!buffer) return;
    unsigned char *small = resizeBlock(buffer->data, 0);
    if (small) buffer->data = small;  // on failure the old block stays, still valid
    buffer->size = buffer->position = 0;
}

T_BIN_BUFFER *binbufCast(void *pointer) { return static_cast<T_BIN_BUFFER *>(pointer); }

}  // extern "C"
