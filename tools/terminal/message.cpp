#include "tools/terminal/message.h"

#include "services/envelope.h"
#include "services/wire.h"

namespace simterm {

namespace env = ryn::wire::envelope;

EnvelopeAssembler::EnvelopeAssembler(uint32_t maxPayload) : maxPayload_(maxPayload) {}

void EnvelopeAssembler::push(const unsigned char *data, size_t size) {
    if (poisoned_ || !data || size == 0) return;
    // Drop what was handed out before growing, so the buffer stays bounded
    // by one envelope plus the bytes that arrived with it.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(reinterpret_cast<const char *>(data), size);
}

EnvelopeAssembler::Status EnvelopeAssembler::next(std::string &out) {
    if (poisoned_) return Status::TooLarge;
    const auto *p = reinterpret_cast<const unsigned char *>(buffer_.data()) + start_;
    ryn::services::EnvelopeView view(p, pending());
    if (!view.hasLength()) return Status::NeedMore;
    if (view.payloadLength() > maxPayload_) {
        poisoned_ = true;
        buffer_.clear();
        start_ = 0;
        return Status::TooLarge;
    }
    if (!view.complete()) return Status::NeedMore;
    const size_t total = size_t(view.totalLength());
    out.assign(buffer_, start_, total);
    start_ += total;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Status::Message;
}

void EnvelopeAssembler::reset() {
    buffer_.clear();
    start_ = 0;
    poisoned_ = false;
}

std::string Tree::value() const {
    if (!root_) return {};
    const void *data = TlvTree_GetData(root_);
    return data ? std::string(static_cast<const char *>(data), TlvTree_GetLength(root_)) : std::string();
}

std::optional<std::string> Tree::child(uint32_t tag) const {
    if (!root_) return std::nullopt;
    for (sTLV_TREE_NODE *c = TlvTree_GetFirstChild(root_); c; c = TlvTree_GetNext(c)) {
        if (TlvTree_GetTag(c) != tag) continue;
        const void *data = TlvTree_GetData(c);
        return data ? std::string(static_cast<const char *>(data), TlvTree_GetLength(c)) : std::string();
    }
    return std::nullopt;
}

bool Tree::add(uint32_t tag, const std::string &value) {
    return root_ && TlvTree_AddChild(root_, tag, value.data(), uint32_t(value.size())) != nullptr;
}

DecodeError decodeMessage(const std::string &message, Tree &out) {
    out = Tree();
    ryn::services::EnvelopeView view(reinterpret_cast<const unsigned char *>(message.data()),
                                     message.size());
    if (!view.hasHeader() || view.protocol() != env::kProtocol || !view.exact())
        return DecodeError::ProtocolOrSize;
    if (view.payloadLength() == 0) return DecodeError::EmptyPayload;
    sTLV_TREE_NODE *root = nullptr;
    if (TlvTree_Unserialize(&root, TLV_TREE_SERIALIZER_DEFAULT, view.payload(), view.payloadLength()) !=
            TLV_TREE_OK ||
        !root)
        return DecodeError::BadTree;
    out = Tree(root);
    return DecodeError::None;
}

std::string encodeMessage(const Tree &tree) {
    return tree ? ryn::services::serializeTlv(tree.get()) : std::string();
}

std::string encodeMessage(uint32_t rootTag, const std::vector<std::pair<uint32_t, std::string>> &children,
                          const std::string &rootValue) {
    Tree tree(rootTag);
    if (!tree) return {};
    if (!rootValue.empty() &&
        TlvTree_SetData(tree.get(), rootValue.data(), uint32_t(rootValue.size())) != TLV_TREE_OK)
        return {};
    for (const auto &[tag, value] : children)
        if (!tree.add(tag, value)) return {};
    return encodeMessage(tree);
}

}  // namespace simterm
