// Cutting a byte stream into service envelopes, and the small tree helpers
// the simulated terminal builds and reads messages with.
//
// EnvelopeAssembler takes bytes as they arrive (any split) and hands out
// whole envelopes. It never trusts the declared length: a length above the
// cap poisons the stream (the connection must be dropped), and it buffers
// at most one envelope plus what arrived behind it. One owner thread.
//
// Tree is a move-only owner of a TLV tree; fieldOf() copies a child's value
// with its length checked.
#pragma once

#include "ryn_tlv.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simterm {

class EnvelopeAssembler {
public:
    enum class Status { NeedMore, Message, TooLarge };

    explicit EnvelopeAssembler(uint32_t maxPayload);

    // Adds received bytes. After TooLarge every call keeps returning it.
    void push(const unsigned char *data, size_t size);
    // Message: `out` holds one whole envelope (header included).
    Status next(std::string &out);
    // Bytes held that do not make a whole envelope yet.
    size_t pending() const { return buffer_.size() - start_; }
    void reset();

private:
    uint32_t maxPayload_;
    std::string buffer_;
    size_t start_ = 0;
    bool poisoned_ = false;
};

// Owner of a tree; releases it when destroyed.
class Tree {
public:
    Tree() = default;
    explicit Tree(sTLV_TREE_NODE *root) : root_(root) {}
    explicit Tree(uint32_t rootTag) : root_(TlvTree_New(rootTag)) {}
    ~Tree() { TlvTree_Release(root_); }
    Tree(Tree &&o) noexcept : root_(std::exchange(o.root_, nullptr)) {}
    Tree &operator=(Tree &&o) noexcept {
        if (this != &o) {
            TlvTree_Release(root_);
            root_ = std::exchange(o.root_, nullptr);
        }
        return *this;
    }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;

    sTLV_TREE_NODE *get() const { return root_; }
    explicit operator bool() const { return root_ != nullptr; }
    uint32_t tag() const { return root_ ? TlvTree_GetTag(root_) : 0; }
    // The root's value.
    std::string value() const;
    // The first direct child with this tag, or nullopt.
    std::optional<std::string> child(uint32_t tag) const;
    bool add(uint32_t tag, const std::string &value);

private:
    sTLV_TREE_NODE *root_ = nullptr;
};

// Why a received message was not usable.
enum class DecodeError { None, ProtocolOrSize, EmptyPayload, BadTree };

// Checks a whole envelope and parses its tree.
DecodeError decodeMessage(const std::string &message, Tree &out);

// The envelope of a tree; empty when the tree cannot be serialized.
std::string encodeMessage(const Tree &tree);
// Envelope of a root with direct children (tag, value), in order.
std::string encodeMessage(uint32_t rootTag, const std::vector<std::pair<uint32_t, std::string>> &children,
                          const std::string &rootValue = {});

}  // namespace simterm
