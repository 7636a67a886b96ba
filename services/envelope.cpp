#include "services/envelope.h"

#include "service/log.h"

#include <cerrno>
#include <cstring>

namespace ryn::services {

namespace env = wire::envelope;

DecodeStatus TLVTree_DecodeServiceMsg(const unsigned char *message, size_t length,
                                      sTLV_TREE_NODE **tree) {
    *tree = nullptr;
    EnvelopeView view(message, length);
    if (!view.hasHeader() || view.protocol() != env::kProtocol || !view.exact()) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "TLVTree_DecodeServiceMsg: protocol %d or size error %u",
                int(view.protocol()), view.payloadLength());
        return DecodeStatus::ProtocolOrSize;
    }
    if (view.payloadLength() == 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "TLVTree_DecodeServiceMsg: PDA_STATUS_INVALID_PARAMETERS");
        return DecodeStatus::EmptyPayload;
    }
    if (TlvTree_Unserialize(tree, TLV_TREE_SERIALIZER_DEFAULT, view.payload(), view.payloadLength()) !=
        TLV_TREE_OK) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "TLVTree_DecodeServiceMsg: PDA_STATUS_INVALID_HANDLE");
        return DecodeStatus::BadTree;
    }
    return DecodeStatus::Ok;
}

std::string serializeTlv(const sTLV_TREE_NODE *tree) {
    const int size = TlvTree_GetSerializationSize(tree, TLV_TREE_SERIALIZER_DEFAULT);
    if (size <= 0) return {};
    std::string out(env::kHeaderLen + size_t(size), '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    if (encodeEnvelope(tree, p, out.size()) < 0) return {};
    return out;
}

int encodeEnvelope(const sTLV_TREE_NODE *tree, unsigned char *buffer, size_t capacity) {
    if (!buffer || capacity < env::kHeaderLen) return -1;
    const size_t room = capacity - env::kHeaderLen;
    const int written = TlvTree_Serialize(tree, TLV_TREE_SERIALIZER_DEFAULT, buffer + env::kHeaderLen,
                                          room > UINT32_MAX ? UINT32_MAX : uint32_t(room));
    if (written <= 0) return -1;
    wire::storeLe32(buffer + env::kLengthOffset, uint32_t(written));
    wire::storeLe16(buffer + env::kProtocolOffset, env::kProtocol);
    return int(env::kHeaderLen) + written;
}

SocketError::SocketError(int error)
    : std::runtime_error(std::strerror(error)), error_(error) {}

Socket::Socket(Transport &transport, int wakeFd)
    : transport_(transport), wakeFd_(wakeFd), buffer_(new unsigned char[kBufferSize]) {}

int Socket::read(int timeoutMs) {
    const int ready = waitReadable(transport_, wakeFd_, timeoutMs);
    if (ready == 0) return 0;
    if (ready < 0) throw SocketError(errno);
    for (;;) {
        const ssize_t n = transport_.receiveSome(buffer_.get(), kBufferSize);
        if (n == 0) return -1;
        if (n > 0) {
            received_ = uint32_t(n);
            consumed_ = 0;
            return 1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        throw SocketError(errno);
    }
}

int Socket::receive(std::string &out, size_t count, int timeoutMs) {
    for (;;) {
        const size_t held = received_ - consumed_;
        const char *from = reinterpret_cast<const char *>(buffer_.get()) + consumed_;
        if (held >= count) {
            out.append(from, count);
            consumed_ += uint32_t(count);
            return 1;
        }
        out.append(from, held);
        count -= held;
        received_ = consumed_ = 0;
        const int r = read(timeoutMs);
        if (r <= 0) return r;
    }
}

std::string Frame::getPayload() const {
    if (!isComplete()) return {};
    return bytes_.substr(env::kHeaderLen);
}

int Frame::read(Socket &socket, int timeoutMs) {
    if (bytes_.size() < 4) {
        const int r = socket.receive(bytes_, 4 - bytes_.size(), timeoutMs);
        if (r <= 0 || bytes_.size() < 4) return r;
    }
    const EnvelopeView v = view();
    if (v.payloadLength() > env::kMaxPayload) return kTooLarge;
    const uint64_t total = v.totalLength();
    if (bytes_.size() >= total) return 1;
    return socket.receive(bytes_, size_t(total - bytes_.size()), timeoutMs);
}

}  // namespace ryn::services
