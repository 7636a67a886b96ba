// TLV tree: the documented byte vectors first, then bounds, refusals,
// ownership and deep trees. Leaks and stray reads are caught by the ASan
// build of the same tests.
#include "ryn_tlv.h"
#include "services/tlv_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct TreeDeleter {
    void operator()(sTLV_TREE_NODE *n) const { TlvTree_Release(n); }
};
using Tree = std::unique_ptr<sTLV_TREE_NODE, TreeDeleter>;

Bytes serialize(const sTLV_TREE_NODE *tree) {
    const int size = TlvTree_GetSerializationSize(tree, 0);
    Bytes out(size_t(size > 0 ? size : 0));
    const int written = TlvTree_Serialize(tree, 0, out.data(), uint32_t(out.size()));
    EXPECT_EQ(written, size);
    return out;
}

// Tag, value and shape, in pre-order.
std::string describe(const sTLV_TREE_NODE *root) {
    std::string s;
    for (const sTLV_TREE_NODE *n = root; n; n = TlvTree_Iterate(n, root)) {
        int depth = 0;
        for (const sTLV_TREE_NODE *p = TlvTree_GetParent(n); p && n != root; p = TlvTree_GetParent(p)) {
            ++depth;
            if (p == root) break;
        }
        s += std::to_string(depth) + ":" + std::to_string(TlvTree_GetTag(n)) + "=";
        s.append(static_cast<const char *>(TlvTree_GetData(n)) ? static_cast<const char *>(TlvTree_GetData(n)) : "",
                 TlvTree_GetLength(n));
        s += ";";
    }
    return s;
}

// The example of the format: a receipt request root with two values.
Tree exampleTree() {
    Tree root(TlvTree_New(0x61010006));
    TlvTree_AddChild(root.get(), 0x40000001, "A", 1);
    TlvTree_AddChild(root.get(), 0x40000002, "BC", 2);
    return root;
}

const Bytes kExampleBytes = {0x00, 0x01, 0x00, 0x00, 0x81, 0x06, 0x00, 0x01, 0x61, 0x00, 0x00, 0x00,
                             0x00, 0x82, 0x81, 0x01, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00, 0x00, 0x41,
                             0x81, 0x02, 0x00, 0x00, 0x40, 0x02, 0x00, 0x00, 0x00, 0x42, 0x43, 0x83,
                             0xFF};

TEST(TlvTree, ExampleSerializesByteExactAndParsesBack) {
    Tree root = exampleTree();
    EXPECT_EQ(TlvTree_GetSerializationSize(root.get(), 0), int(kExampleBytes.size()));
    EXPECT_EQ(serialize(root.get()), kExampleBytes);

    sTLV_TREE_NODE *parsed = nullptr;
    ASSERT_EQ(TlvTree_Unserialize(&parsed, 0, kExampleBytes.data(), uint32_t(kExampleBytes.size())), 0);
    Tree back(parsed);
    EXPECT_EQ(describe(back.get()), describe(root.get()));
    EXPECT_EQ(TlvTree_GetParent(back.get()), nullptr);
}

TEST(TlvTree, SerializationSizes) {
    Tree single(TlvTree_New(1));
    EXPECT_EQ(TlvTree_GetSerializationSize(single.get(), 0), 14);
    TlvTree_AddChild(single.get(), 2, nullptr, 0);
    TlvTree_AddChild(single.get(), 3, nullptr, 0);
    EXPECT_EQ(TlvTree_GetSerializationSize(single.get(), 0), 34);
    EXPECT_EQ(TlvTree_GetSerializationSize(nullptr, 0), 5);
    EXPECT_EQ(TlvTree_GetSerializationSize(single.get(), 1), TLV_TREE_ERR_FORMAT);

    // Nested: markers close every level, siblings of the root are not written.
    Tree nested(TlvTree_New(1));
    sTLV_TREE_NODE *a = TlvTree_AddChild(nested.get(), 2, "xy", 2);
    TlvTree_AddChild(a, 3, "z", 1);
    TlvTree_AddChild(nested.get(), 4, nullptr, 0);
    const Bytes bytes = serialize(a);  // a's subtree only
    const Bytes expected = {0x00, 0x01, 0x00, 0x00, 0x81, 2, 0, 0, 0, 2, 0, 0, 0, 'x', 'y', 0x82,
                            0x81, 3, 0, 0, 0, 1, 0, 0, 0, 'z', 0x83, 0xFF};
    EXPECT_EQ(bytes, expected);
}

TEST(TlvTree, SerializeNeverWritesPastTheBuffer) {
    Tree root = exampleTree();
    const int need = TlvTree_GetSerializationSize(root.get(), 0);
    for (int size = 0; size < need; ++size) {
        Bytes buf(size_t(size) + 8, 0xEE);
        EXPECT_EQ(TlvTree_Serialize(root.get(), 0, buf.data(), uint32_t(size)), TLV_TREE_ERR_BUFFER_TOO_SMALL)
            << size;
        for (size_t i = size_t(size); i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << "size " << size;
    }
    unsigned char five[5];
    EXPECT_EQ(TlvTree_Serialize(nullptr, 0, five, 5), 5);
    EXPECT_EQ(Bytes(five, five + 5), (Bytes{0x00, 0x01, 0x00, 0x00, 0xFF}));
    unsigned char four[4];
    EXPECT_EQ(TlvTree_Serialize(nullptr, 0, four, 4), TLV_TREE_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(TlvTree_Serialize(root.get(), 7, five, 5), TLV_TREE_ERR_FORMAT);
}

struct ParseCase {
    const char *name;
    Bytes data;
    int result;
    uint32_t rootTag;  // when result is 0
};

TEST(TlvTree, UnserializeTable) {
    const ParseCase cases[] = {
        {"byte 3 ignored", {0x00, 0x01, 0x00, 0x07, 0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0xFF}, 0, 9},
        {"wrong header", {0x00, 0x02, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0xFF}, TLV_TREE_ERR_FORMAT, 0},
        {"three bytes", {0x00, 0x01, 0x00}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"node header ends the data", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0, 0, 0, 0}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"up marker at top level ends", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0x83}, 0, 9},
        {"value ends the data", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 2, 0, 0, 0, 'a', 'b'}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"value past the data", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 9, 0, 0, 0, 'a', 0xFF}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"length near 2^32", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"no end marker", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0x82}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"unknown marker", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0x84, 0xFF}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"truncated child", {0x00, 0x01, 0x00, 0x00, 0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0x82, 0x81, 1, 0, 0}, TLV_TREE_ERR_BAD_INPUT, 0},
        // A serialization of no node at all would hand back a null root.
        {"no node", {0x00, 0x01, 0x00, 0x00, 0xFF}, TLV_TREE_ERR_BAD_INPUT, 0},
        {"only markers", {0x00, 0x01, 0x00, 0x00, 0x82, 0x83}, TLV_TREE_ERR_BAD_INPUT, 0},
        // Two top-level trees: the last is returned, the first is freed.
        {"two top-level trees",
         {0x00, 0x01, 0x00, 0x00, 0x81, 7, 0, 0, 0, 1, 0, 0, 0, 'q', 0x82, 0x81, 8, 0, 0, 0, 0, 0, 0, 0, 0x83,
          0x81, 9, 0, 0, 0, 0, 0, 0, 0, 0xFF},
         0, 9},
    };
    for (const auto &c : cases) {
        sTLV_TREE_NODE *tree = reinterpret_cast<sTLV_TREE_NODE *>(0x1);  // must be overwritten
        EXPECT_EQ(TlvTree_Unserialize(&tree, 0, c.data.data(), uint32_t(c.data.size())), c.result) << c.name;
        if (c.result == 0) {
            ASSERT_NE(tree, nullptr) << c.name;
            EXPECT_EQ(TlvTree_GetTag(tree), c.rootTag) << c.name;
            EXPECT_EQ(TlvTree_GetNext(tree), nullptr) << c.name;
            TlvTree_Release(tree);
        } else {
            EXPECT_EQ(tree, nullptr) << c.name;
        }
    }
}

TEST(TlvTree, UnserializeChecksArgumentsInOrder) {
    const unsigned char data[] = {0x00, 0x01, 0x00, 0x00, 0xFF};
    sTLV_TREE_NODE *tree = nullptr;
    EXPECT_EQ(TlvTree_Unserialize(nullptr, 5, nullptr, 0), TLV_TREE_ERR_NULL_OUTPUT);
    EXPECT_EQ(TlvTree_Unserialize(&tree, 5, nullptr, 0), TLV_TREE_ERR_BAD_INPUT);
    EXPECT_EQ(TlvTree_Unserialize(&tree, 5, data, 0), TLV_TREE_ERR_BAD_SIZE);
    EXPECT_EQ(TlvTree_Unserialize(&tree, 5, data, sizeof data), TLV_TREE_ERR_FORMAT);
    EXPECT_EQ(tree, nullptr);
}

TEST(TlvTree, EveryTruncationAndByteFlipFailsCleanly) {
    Tree root = exampleTree();
    TlvTree_AddChildInteger(TlvTree_GetFirstChild(root.get()), 0x40000003, 0x01020304, 4);
    const Bytes good = serialize(root.get());
    for (size_t len = 1; len < good.size(); ++len) {
        sTLV_TREE_NODE *tree = nullptr;
        EXPECT_NE(TlvTree_Unserialize(&tree, 0, good.data(), uint32_t(len)), 0) << len;
        EXPECT_EQ(tree, nullptr) << len;
    }
    for (size_t i = 0; i < good.size(); ++i) {
        for (unsigned char v : {0x00, 0x81, 0x82, 0x83, 0xFF, 0x7F}) {
            Bytes bad = good;
            bad[i] = v;
            sTLV_TREE_NODE *tree = nullptr;
            if (TlvTree_Unserialize(&tree, 0, bad.data(), uint32_t(bad.size())) == 0) {
                ASSERT_NE(tree, nullptr);
                TlvTree_Release(tree);
            } else {
                EXPECT_EQ(tree, nullptr);
            }
        }
    }
}

TEST(TlvTree, IntegerAndStringValues) {
    Tree root(TlvTree_New(1));
    struct {
        uint32_t width;
        Bytes expected;
    } widths[] = {{0, {}}, {1, {0x78}}, {2, {0x78, 0x56}}, {4, {0x78, 0x56, 0x34, 0x12}}};
    for (const auto &w : widths) {
        sTLV_TREE_NODE *n = TlvTree_AddChildInteger(root.get(), 2, 0x12345678, w.width);
        ASSERT_NE(n, nullptr);
        const auto *p = static_cast<const unsigned char *>(TlvTree_GetData(n));
        EXPECT_EQ(Bytes(p, p + TlvTree_GetLength(n)), w.expected) << w.width;
    }
    EXPECT_EQ(TlvTree_AddChildInteger(root.get(), 2, 1, 5), nullptr);
    EXPECT_EQ(TlvTree_Find(root.get(), 2, 4), nullptr);  // nothing added for width 5

    sTLV_TREE_NODE *s = TlvTree_AddChildString(root.get(), 3, "hi");
    EXPECT_EQ(TlvTree_GetLength(s), 3u);
    EXPECT_EQ(std::memcmp(TlvTree_GetData(s), "hi", 3), 0);
    EXPECT_EQ(TlvTree_SetDataInteger(s, 7, 5), TLV_TREE_ERR_BAD_SIZE);
    EXPECT_EQ(TlvTree_SetDataInteger(s, 0xABCD, 2), 0);
    EXPECT_EQ(TlvTree_GetLength(s), 2u);
    EXPECT_EQ(TlvTree_SetDataString(s, "xyz"), 0);
    EXPECT_STREQ(static_cast<const char *>(TlvTree_GetData(s)), "xyz");
}

TEST(TlvTree, SetDataOverwritesInPlaceAndAcceptsItsOwnBytes) {
    Tree n(TlvTree_New(1));
    ASSERT_EQ(TlvTree_SetData(n.get(), "abcd", 4), 0);
    void *block = TlvTree_GetData(n.get());
    ASSERT_EQ(TlvTree_SetData(n.get(), "wxyz", 4), 0);
    EXPECT_EQ(TlvTree_GetData(n.get()), block);  // same length: in place
    // Shrinking to a part of its own value: the source is read before the
    // old block is freed.
    auto *own = static_cast<const char *>(TlvTree_GetData(n.get()));
    ASSERT_EQ(TlvTree_SetData(n.get(), own + 1, 2), 0);
    EXPECT_EQ(std::string(static_cast<const char *>(TlvTree_GetData(n.get())), 2), "xy");
    ASSERT_EQ(TlvTree_SetData(n.get(), nullptr, 0), 0);
    EXPECT_EQ(TlvTree_GetData(n.get()), nullptr);
    EXPECT_EQ(TlvTree_GetLength(n.get()), 0u);
}

TEST(TlvTree, FindAndIterateInPreOrder) {
    Tree root(TlvTree_New(5));
    sTLV_TREE_NODE *a = TlvTree_AddChild(root.get(), 5, "a", 1);
    sTLV_TREE_NODE *a1 = TlvTree_AddChild(a, 6, nullptr, 0);
    sTLV_TREE_NODE *a2 = TlvTree_AddChild(a, 5, "c", 1);
    sTLV_TREE_NODE *b = TlvTree_AddChild(root.get(), 6, nullptr, 0);
    EXPECT_EQ(TlvTree_Find(root.get(), 5, 0), root.get());
    EXPECT_EQ(TlvTree_Find(root.get(), 5, 1), a);
    EXPECT_EQ(TlvTree_Find(root.get(), 5, 2), a2);
    EXPECT_EQ(TlvTree_Find(root.get(), 5, 3), nullptr);
    EXPECT_EQ(TlvTree_Find(root.get(), 6, 1), b);
    EXPECT_EQ(TlvTree_Find(a, 6, 1), nullptr);  // stays inside a's subtree

    const std::vector<sTLV_TREE_NODE *> order = {root.get(), a, a1, a2, b};
    std::vector<sTLV_TREE_NODE *> seen;
    for (sTLV_TREE_NODE *n = root.get(); n; n = TlvTree_Iterate(n, root.get())) seen.push_back(n);
    EXPECT_EQ(seen, order);
}

TEST(TlvTree, GraftRefusals) {
    Tree root(TlvTree_New(1));
    sTLV_TREE_NODE *child = TlvTree_AddChild(root.get(), 2, nullptr, 0);
    Tree loose(TlvTree_New(3));
    EXPECT_EQ(TlvTree_Graft(nullptr, loose.get()), TLV_TREE_ERR_GRAFT);
    EXPECT_EQ(TlvTree_Graft(root.get(), nullptr), TLV_TREE_ERR_GRAFT);
    EXPECT_EQ(TlvTree_Graft(root.get(), child), TLV_TREE_ERR_GRAFT);       // has a parent
    EXPECT_EQ(TlvTree_Graft(child, root.get()), TLV_TREE_ERR_GRAFT);       // would be a cycle
    EXPECT_EQ(TlvTree_Graft(root.get(), root.get()), TLV_TREE_ERR_GRAFT);
    ASSERT_EQ(TlvTree_Graft(child, loose.get()), 0);
    sTLV_TREE_NODE *grafted = loose.release();
    EXPECT_EQ(TlvTree_GetParent(grafted), child);
    EXPECT_EQ(TlvTree_Find(root.get(), 3, 0), grafted);
    TlvTree_Release(grafted);  // detaches from child
    EXPECT_EQ(TlvTree_GetFirstChild(child), nullptr);
}

TEST(TlvTree, ReleaseDetachesFromSiblings) {
    Tree root(TlvTree_New(1));
    sTLV_TREE_NODE *a = TlvTree_AddChild(root.get(), 2, nullptr, 0);
    sTLV_TREE_NODE *b = TlvTree_AddChild(root.get(), 3, "b", 1);
    sTLV_TREE_NODE *c = TlvTree_AddChild(root.get(), 4, nullptr, 0);
    TlvTree_AddChild(b, 5, "deep", 4);
    TlvTree_Release(b);
    EXPECT_EQ(TlvTree_GetNext(a), c);
    TlvTree_Release(c);
    TlvTree_Release(a);
    EXPECT_EQ(TlvTree_GetFirstChild(root.get()), nullptr);
    TlvTree_AddChild(root.get(), 6, nullptr, 0);  // the list is usable again
    EXPECT_EQ(TlvTree_GetTag(TlvTree_GetFirstChild(root.get())), 6u);
}

TEST(TlvTree, CopyIsDeepAndDetached) {
    Tree root = exampleTree();
    TlvTree_AddChild(TlvTree_GetFirstChild(root.get()), 0x40000009, "n", 1);
    Tree copy(TlvTree_Copy(TlvTree_GetFirstChild(root.get())));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(TlvTree_GetParent(copy.get()), nullptr);
    EXPECT_EQ(TlvTree_GetNext(copy.get()), nullptr);
    EXPECT_EQ(describe(copy.get()), describe(TlvTree_GetFirstChild(root.get())));
    EXPECT_NE(TlvTree_GetData(copy.get()), TlvTree_GetData(TlvTree_GetFirstChild(root.get())));
    EXPECT_EQ(TlvTree_Copy(nullptr), nullptr);
}

// Depth far beyond any stack: every walk is iterative.
TEST(TlvTree, VeryDeepTreesAreSafe) {
    constexpr int kDepth = 200000;
    Tree root(TlvTree_New(0));
    sTLV_TREE_NODE *n = root.get();
    for (int i = 1; i < kDepth; ++i) n = TlvTree_AddChild(n, uint32_t(i), "v", 1);
    const Bytes bytes = serialize(root.get());
    ASSERT_FALSE(bytes.empty());
    sTLV_TREE_NODE *parsed = nullptr;
    ASSERT_EQ(TlvTree_Unserialize(&parsed, 0, bytes.data(), uint32_t(bytes.size())), 0);
    Tree back(parsed);
    EXPECT_EQ(TlvTree_GetTag(TlvTree_Find(back.get(), kDepth - 1, 0)), uint32_t(kDepth - 1));
    Tree copy(TlvTree_Copy(back.get()));
    EXPECT_EQ(serialize(copy.get()), bytes);
}

}  // namespace

namespace {

using ryn::services::tlvChild;
using ryn::services::tlvInteger;
using ryn::services::tlvString;
using ryn::services::tlvText;

// Values as they arrive from the wire, whatever width the layout promises.
TEST(TlvValue, IntegersAreReadWithinTheirLength) {
    Tree root(TlvTree_New(1));
    struct {
        Bytes value;
        bool ok;
        uint32_t expected;
    } cases[] = {
        {{}, false, 0xDEAD},                                 // no value at all
        {{0x07}, true, 7},                                   // 1 byte where 4 are expected
        {{0x34, 0x12}, true, 0x1234},
        {{0x78, 0x56, 0x34, 0x12}, true, 0x12345678},
        {{1, 2, 3, 4, 5}, false, 0xDEAD},                    // wider than any integer
    };
    for (const auto &c : cases) {
        sTLV_TREE_NODE *n = TlvTree_AddChild(root.get(), 2, c.value.data(), uint32_t(c.value.size()));
        uint32_t v = 0xDEAD;
        EXPECT_EQ(tlvInteger(n, v), c.ok) << c.value.size();
        EXPECT_EQ(v, c.expected) << c.value.size();
    }
    uint32_t v = 0;
    EXPECT_FALSE(tlvInteger(nullptr, v));
}

TEST(TlvValue, TextsAreBoundedAndTerminated) {
    Tree root(TlvTree_New(1));
    sTLV_TREE_NODE *plain = TlvTree_AddChildString(root.get(), 2, "host");
    sTLV_TREE_NODE *unterminated = TlvTree_AddChild(root.get(), 3, "abcdef", 6);
    sTLV_TREE_NODE *inner = TlvTree_AddChild(root.get(), 4, "ab\0cd", 5);
    sTLV_TREE_NODE *empty = TlvTree_AddChild(root.get(), 5, nullptr, 0);
    char out[4];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(tlvText(unterminated, out, sizeof out), 3u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(tlvText(inner, out, sizeof out), 2u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(tlvText(empty, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(tlvText(plain, out, 0), 0u);
    EXPECT_EQ(tlvString(plain, 100), "host");
    EXPECT_EQ(tlvString(unterminated, 2), "ab");
    EXPECT_EQ(tlvChild(root.get(), 4), inner);
    EXPECT_EQ(tlvChild(root.get(), 9), nullptr);
}

}  // namespace
