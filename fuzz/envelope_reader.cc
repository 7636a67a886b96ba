// The services stream reader fed in fuzzer-chosen chunks over a real socket
// pair: the first byte of the input seeds the chunk sizes. Every frame that
// completes is checked and decoded like the receive thread does; the reader
// must never read past what it was given nor accept an oversized length.
#include "services/envelope.h"
#include "services/wire.h"
#include "service/log.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace ryn::services;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    logDestroy();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    uint32_t seed = data[0] | 1u;
    ++data;
    --size;
    {
        PlainTransport transport(sv[0]);
        Socket socket(transport);
        Frame frame;
        size_t sent = 0, framed = 0;
        bool closed = false;
        while (!closed) {
            if (sent < size) {
                seed = seed * 1103515245u + 12345u;
                size_t chunk = 1 + (seed >> 16) % 97;
                if (chunk > size - sent) chunk = size - sent;
                if (::send(sv[1], data + sent, chunk, MSG_NOSIGNAL) != ssize_t(chunk)) std::abort();
                sent += chunk;
            }
            if (sent == size) ::shutdown(sv[1], SHUT_WR);  // the reader then sees the end
            int r;
            do {
                r = frame.read(socket, sent == size ? 1000 : 0);
                if (r == 1 && frame.isComplete()) {
                    const std::string &m = frame.getBuffer();
                    framed += m.size();
                    if (framed > size) std::abort();  // more bytes than were sent
                    sTLV_TREE_NODE *tree = nullptr;
                    const auto st = TLVTree_DecodeServiceMsg(reinterpret_cast<const unsigned char *>(m.data()),
                                                             m.size(), &tree);
                    if ((st == DecodeStatus::Ok) != (tree != nullptr)) std::abort();
                    TlvTree_Release(tree);
                    frame.reset();
                }
            } while (r == 1);
            if (r == Frame::kTooLarge) {
                if (ryn::wire::loadLe32(reinterpret_cast<const unsigned char *>(frame.getBuffer().data())) <=
                    ryn::wire::envelope::kMaxPayload)
                    std::abort();
                closed = true;
            }
            if (r == -1) closed = true;
        }
    }
    ::close(sv[1]);
    return 0;
}
