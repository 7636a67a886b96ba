// Binary buffer: positions, clamping, zero-fill on short reads, exact growth.
#include "ryn_tlv.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct BufferDeleter {
    void operator()(T_BIN_BUFFER *b) const { binbufDestroy(&b); }
};
using Buffer = std::unique_ptr<T_BIN_BUFFER, BufferDeleter>;

std::string contents(const T_BIN_BUFFER *b) {
    return std::string(reinterpret_cast<const char *>(binbufGet(b)), size_t(binbufSize(b)));
}

TEST(BinBuf, CreateLeavesThePositionAtTheEnd) {
    Buffer b(binbufCreate("hello", 5));
    EXPECT_EQ(binbufTell(b.get()), 5u);
    EXPECT_EQ(binbufSize(b.get()), 5u);
    char out[5];
    EXPECT_EQ(binbufRead(b.get(), out, 5), 0u);  // nothing after the position
    binbufSeek(b.get(), 0, BINBUF_SEEK_START);
    EXPECT_EQ(binbufRead(b.get(), out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "hello");

    Buffer zeros(binbufCreate(nullptr, 3));
    EXPECT_EQ(contents(zeros.get()), std::string(3, '\0'));
    Buffer empty(binbufCreate(nullptr, 0));
    EXPECT_NE(binbufGet(empty.get()), nullptr);  // a block even when empty
}

TEST(BinBuf, SeekTable) {
    struct {
        uint64_t start;
        int64_t offset;
        int whence;
        uint64_t expected;
    } cases[] = {
        {4, 3, BINBUF_SEEK_START, 3},
        {4, -3, BINBUF_SEEK_START, 0},
        {4, 99, BINBUF_SEEK_START, 10},
        {4, 2, BINBUF_SEEK_CURRENT, 6},
        {4, -5, BINBUF_SEEK_CURRENT, 0},
        {4, 7, BINBUF_SEEK_CURRENT, 10},
        {4, 3, BINBUF_SEEK_END, 7},
        {4, 11, BINBUF_SEEK_END, 0},
        {4, -2, BINBUF_SEEK_END, 10},
        {4, 3, 5, 0},
        {4, INT64_MIN, BINBUF_SEEK_CURRENT, 0},
        {4, INT64_MAX, BINBUF_SEEK_CURRENT, 10},
        {4, INT64_MIN, BINBUF_SEEK_END, 10},
    };
    Buffer b(binbufCreate("0123456789", 10));
    for (const auto &c : cases) {
        binbufSeek(b.get(), int64_t(c.start), BINBUF_SEEK_START);
        EXPECT_EQ(binbufSeek(b.get(), c.offset, c.whence), 0);
        EXPECT_EQ(binbufTell(b.get()), c.expected) << c.offset << " whence " << c.whence;
    }
    EXPECT_EQ(binbufSeek(nullptr, 0, 0), -1);
}

TEST(BinBuf, ShortReadZeroFillsAndStopsAtTheEnd) {
    Buffer b(binbufCreate("abcdefghij", 10));
    binbufSeek(b.get(), 6, BINBUF_SEEK_START);
    char out[10];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(binbufRead(b.get(), out, 10), 4u);
    EXPECT_EQ(std::string(out, 10), std::string("ghij") + std::string(6, '\0'));
    EXPECT_EQ(binbufTell(b.get()), 10u);
    EXPECT_EQ(binbufRead(b.get(), nullptr, 3), 0u);
    EXPECT_EQ(binbufRead(nullptr, out, 3), 0u);
}

TEST(BinBuf, WriteAppendsOverwritesAndExtends) {
    Buffer b(binbufCreate("abc", 3));
    EXPECT_EQ(binbufWrite(b.get(), "de", 2), 2u);  // append
    EXPECT_EQ(contents(b.get()), "abcde");
    binbufSeek(b.get(), 1, BINBUF_SEEK_START);
    EXPECT_EQ(binbufWrite(b.get(), "XY", 2), 2u);  // in place
    EXPECT_EQ(contents(b.get()), "aXYde");
    EXPECT_EQ(binbufTell(b.get()), 3u);
    EXPECT_EQ(binbufWrite(b.get(), "1234", 4), 4u);  // runs past the end
    EXPECT_EQ(contents(b.get()), "aXY1234");
    EXPECT_EQ(binbufTell(b.get()), 7u);
    EXPECT_EQ(binbufWrite(b.get(), "z", 0), 0u);
    EXPECT_EQ(binbufWrite(b.get(), nullptr, 1), 0u);
    // A length that would wrap the position is refused, nothing changes.
    EXPECT_EQ(binbufWrite(b.get(), "z", UINT64_MAX), 0u);
    EXPECT_EQ(contents(b.get()), "aXY1234");
    EXPECT_EQ(binbufGetCurrent(b.get()), binbufGet(b.get()) + 7);
}

TEST(BinBuf, ClearSetAndDestroy) {
    T_BIN_BUFFER *b = binbufCreate("abc", 3);
    binbufClear(b);
    EXPECT_EQ(binbufSize(b), 0u);
    EXPECT_EQ(binbufTell(b), 0u);
    EXPECT_NE(binbufGet(b), nullptr);
    EXPECT_EQ(binbufWrite(b, "q", 1), 1u);
    EXPECT_EQ(binbufSet(b, "xyz", 3), 0);
    EXPECT_EQ(contents(b), "xyz");
    EXPECT_EQ(binbufTell(b), 3u);
    EXPECT_EQ(binbufCast(b), b);
    binbufDestroy(&b);
    EXPECT_EQ(b, nullptr);
    binbufDestroy(&b);      // already null
    binbufDestroy(nullptr);
    EXPECT_EQ(binbufTell(nullptr), 0u);
    EXPECT_EQ(binbufSize(nullptr), 0u);
    EXPECT_EQ(binbufGet(nullptr), nullptr);
    EXPECT_EQ(binbufGetCurrent(nullptr), nullptr);
}

}  // namespace
