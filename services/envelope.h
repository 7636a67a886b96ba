// The service message envelope and its readers.
//
// Every message in both directions is: payload length (LE32), protocol
// (LE16, 0x0100), then one TLV tree (default serialization). EnvelopeView
// reads the header of received bytes without trusting it; serializeTlv and
// encodeEnvelope build messages; TLVTree_DecodeServiceMsg checks a received
// message and parses its tree.
//
// Socket and Frame cut a byte stream into envelopes. They belong to the one
// thread that reads the connection; the transport must outlive them.
#pragma once

#include "ryn_tlv.h"
#include "services/transport.h"
#include "services/wire.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace ryn::services {

// Checked view of an envelope's header over received bytes.
class EnvelopeView {
public:
    EnvelopeView(const unsigned char *data, size_t size) : data_(data), size_(data ? size : 0) {}
    bool hasLength() const { return size_ >= 4; }
    bool hasHeader() const { return size_ >= wire::envelope::kHeaderLen; }
    // 0 until the 4 length bytes are there.
    uint32_t payloadLength() const { return hasLength() ? wire::loadLe32(data_) : 0; }
    uint64_t totalLength() const { return uint64_t(payloadLength()) + wire::envelope::kHeaderLen; }
    uint16_t protocol() const {
        return hasHeader() ? wire::loadLe16(data_ + wire::envelope::kProtocolOffset) : 0;
    }
    bool complete() const { return hasLength() && size_ >= totalLength(); }
    bool exact() const { return hasLength() && size_ == totalLength(); }
    const unsigned char *payload() const { return data_ + wire::envelope::kHeaderLen; }

private:
    const unsigned char *data_;
    size_t size_;
};

// Outcome of checking a received message, in the order of the checks.
enum class DecodeStatus {
    Ok,
    ProtocolOrSize,  // protocol field not 0x0100, or size not payload + 6
    EmptyPayload,    // payload length 0
    BadTree,         // the payload is not a tree
};

// Checks the envelope and parses its tree into *tree (the caller releases
// it). Logs each refusal. On failure *tree is null.
DecodeStatus TLVTree_DecodeServiceMsg(const unsigned char *message, size_t length,
                                      sTLV_TREE_NODE **tree);

// The envelope of `tree`: header and serialization; empty when the tree
// cannot be serialized.
std::string serializeTlv(const sTLV_TREE_NODE *tree);

// Writes the envelope of `tree` into buffer; returns the total length, or
// -1 when it does not fit in capacity (nothing useful is written then).
int encodeEnvelope(const sTLV_TREE_NODE *tree, unsigned char *buffer, size_t capacity);

// Failure of a system call on a connection; carries errno.
class SocketError : public std::runtime_error {
public:
    explicit SocketError(int error);
    int getLastError() const { return error_; }

private:
    int error_;
};

// Read side of one connection, with a read-ahead buffer so a burst of
// several envelopes costs one system read.
class Socket {
public:
    static constexpr size_t kBufferSize = 0xC000;

    // wakeFd (may be -1): when readable, waits end early as a timeout.
    Socket(Transport &transport, int wakeFd = -1);

    // 1 data read, 0 timeout (or woken), -1 peer closed; throws SocketError.
    int read(int timeoutMs);
    // Appends exactly count bytes to out: 1 done, else read's 0 or -1
    // (bytes already appended stay).
    int receive(std::string &out, size_t count, int timeoutMs);
    bool isDataReceived() const { return received_ != 0; }

private:
    Transport &transport_;
    int wakeFd_;
    std::unique_ptr<unsigned char[]> buffer_;
    uint32_t received_ = 0;
    uint32_t consumed_ = 0;
};

// One envelope being assembled from a Socket.
class Frame {
public:
    // read's result when the declared payload is above the cap: the stream
    // cannot be trusted any more and the connection should be closed.
    static constexpr int kTooLarge = -2;

    // 1 progress, 0 timeout, -1 peer closed, kTooLarge; throws SocketError.
    int read(Socket &socket, int timeoutMs);
    bool isComplete() const { return view().complete(); }
    bool isPartial() const { return !bytes_.empty(); }
    bool checkProtocol() const {
        return view().hasHeader() && view().protocol() == wire::envelope::kProtocol;
    }
    // The payload when complete, else empty.
    std::string getPayload() const;
    const std::string &getBuffer() const { return bytes_; }
    void reset() { bytes_.clear(); }

private:
    EnvelopeView view() const {
        return {reinterpret_cast<const unsigned char *>(bytes_.data()), bytes_.size()};
    }
    std::string bytes_;
};

}  // namespace ryn::services
