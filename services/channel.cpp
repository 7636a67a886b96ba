// The host-to-terminal channel half of Com: one TCP connection shared by
// counting users, opened lazily, reopened once when found dead, and one
// request/answer exchange at a time under csSendRcv.
#include "service/log.h"
#include "services/com.h"
#include "services/envelope.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

using namespace ryn::services;

Mutex csSendRcv;
Mutex csCnx;
std::atomic<uint64_t> g_ulLastTickCounter{0};

namespace {

constexpr int kConnectAttempts = 3;
constexpr int kConnectRetryMs = 200;
constexpr size_t kFlushChunk = 512;
constexpr uint32_t kStringExchangeCapacity = 1024;
constexpr size_t kHeaderLen = ryn::wire::envelope::kHeaderLen;

}  // namespace

Com::TransportPtr Com::channel() {
    AutoLock lock(csCnx);
    return channel_;
}

void Com::installChannel(int fd, TransportPtr transport) {
    channel_ = std::move(transport);
    socketConnect.store(fd);
}

void Com::dropChannel() {
    if (!channel_) return;
    RYN_LOG(OBJ_COM, LOG_INFO, "Closing socket %d", channel_->fd());
    // An exchange may still hold a reference: wake it; the descriptor is
    // closed when the last reference goes.
    channel_->interrupt();
    channel_.reset();
    socketConnect.store(-1);
    if (openSockets > 0) --openSockets;
}

bool Com::GetConnection(uint32_t *slot) {
    if (!slot) return false;
    *slot = kNoSlot;
    bool ok = false;
    RYN_LOG(OBJ_COM, LOG_DEBUG, "GetConnection: EnterCriticalSection");
    {
        AutoLock lock(csCnx);
        if (connectionOpen && channel_) {
            *slot = currentConnection;
            ok = true;
        } else {
            connectionOpen = false;
            uint32_t opened;
            if (OpenConnection(&opened)) {
                connectionOpen = true;
                currentConnection = opened;
                *slot = opened;
                ok = true;
            }
        }
        if (ok) connectionUsers.fetch_add(1);
    }
    RYN_LOG(OBJ_COM, LOG_DEBUG, "GetConnection: LeaveCriticalSection");
    return ok;
}

int Com::ReleaseConnectionUserID() {
    AutoLock lock(csCnx);
    if (connectionUsers.load() > 0) connectionUsers.fetch_sub(1);
    return connectionUsers.load();
}

bool Com::OpenConnection(uint32_t *slot) {
    RYN_LOG(OBJ_COM, LOG_INFO, "OpenConnection");
    *slot = kNoSlot;
    if (openSockets != 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "Max opened sockets reached");
        return false;
    }
    if (options_.ipMode) {
        // The terminal dials in; nothing to open here.
        if (!channel_) return false;
        *slot = kChannelSlot;
        return true;
    }
    if (channel_ || stop.load()) return false;

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.channelPort);
    addr.sin_addr.s_addr = terminalAddress;
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        // A socket whose connect failed is not reused: its state is unspecified.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            RYN_LOG(OBJ_COM, LOG_ERROR, "OpenConnection: socket error %d", errno);
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            ++openSockets;
            installChannel(fd, std::make_shared<PlainTransport>(fd));
            *slot = kChannelSlot;
            RYN_LOG(OBJ_COM, LOG_INFO,
                    "Connect successfull OpenSockets=%d  SocketId=%u  FreeSocket=%d (socket=0x%x)",
                    openSockets, kChannelSlot, 1 - openSockets, unsigned(fd));
            return true;
        }
        const int err = errno;
        ::close(fd);
        RYN_LOG(OBJ_COM, LOG_ERROR, "Connect to terminal failed, GetLastError = %d", err);
        if (attempt < kConnectAttempts && waitStop(kConnectRetryMs)) break;
    }
    return false;
}

bool Com::CloseConnection(uint32_t slot) {
    // Only the channel slot is ours to close here; the services connection
    // belongs to its receive thread's lifecycle.
    if (slot == kChannelSlot) dropChannel();
    return true;
}

bool Com::CloseAllConnection() {
    RYN_LOG(OBJ_COM, LOG_INFO, "CloseAllConnection");
    {
        AutoLock lock(csCnx);
        CloseConnection(kChannelSlot);
        connectionOpen = false;
        channelConnected.store(false);
        // Each session ends with its transport's last reference.
        channelTlsUp_.store(false);
        g_isSSLCom.store(false);
    }
    RYN_LOG(OBJ_COM, LOG_INFO, "CloseAllConnection END");
    return true;
}

void Com::reopenChannel(uint32_t slot) {
    AutoLock lock(csCnx);
    CloseConnection(slot);
    uint32_t opened;
    if (OpenConnection(&opened)) {
        connectionOpen = true;
        currentConnection = opened;
    } else {
        connectionOpen = false;
    }
}

void Com::FlushData(uint32_t slot) {
    TransportPtr t = channel();
    if (!t) return;
    unsigned char scratch[kFlushChunk];
    size_t discarded = 0;
    for (;;) {
        if (waitReadable(*t, -1, 0) <= 0) break;
        const ssize_t n = t->receiveSome(scratch, sizeof scratch);
        if (n > 0) {
            discarded += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        RYN_LOG(OBJ_COM, LOG_WARNING, "FlushData: Connection closed");
        reopenChannel(slot);
        return;
    }
    if (discarded) RYN_LOG(OBJ_COM, LOG_WARNING, "FlushData: %zu stale bytes discarded", discarded);
}

int Com::SendData(uint32_t slot, const unsigned char *data, uint32_t length) {
    TransportPtr t = channel();
    if (!t) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "Can't open data connection");
        return -1;
    }
    if (sendAll(*t, data, length) == ssize_t(length)) {
        RYN_LOG(OBJ_COM, LOG_DEBUG, "Send data: size=%u", length);
        return int(length);
    }
    RYN_LOG(OBJ_COM, LOG_ERROR, "Can't send data : socket=0x%x, error=%d", unsigned(t->fd()), errno);
    t.reset();
    reopenChannel(slot);
    t = channel();
    if (!t) return -1;
    if (sendAll(*t, data, length) == ssize_t(length)) {
        RYN_LOG(OBJ_COM, LOG_INFO, "send retry succeed");
        return int(length);
    }
    RYN_LOG(OBJ_COM, LOG_ERROR, "Can't send data again : socket=0x%x, error=%d", unsigned(t->fd()), errno);
    return -1;
}

int Com::receiveAnswer(Transport &t, uint32_t timeoutMs, unsigned char *buffer, uint32_t capacity) {
    const double deadline = GetTickCount() + double(timeoutMs);
    uint64_t expected = 0;  // whole envelope, known once 4 bytes are in
    uint32_t received = 0;
    for (;;) {
        const double left = deadline - GetTickCount();
        const int waitMs = left <= 0 ? 0 : left >= double(INT_MAX - 1) ? INT_MAX - 1 : int(left) + 1;
        const int ready = waitReadable(t, wake_[0], waitMs);
        if (ready <= 0) {
            RYN_LOG(OBJ_COM, LOG_ERROR, "Select failed on reception because of %s",
                    ready < 0 ? "Socket Error" : "Timeout");
            if (ready == 0 && received == 0) return kExchangeNoAnswer;
            return kExchangeBroken;  // half an answer: the stream is out of step
        }
        // The header first, then exactly the rest: never read into the
        // bytes of whatever the terminal sends next.
        const uint64_t want = expected ? expected - received : kHeaderLen - received;
        const ssize_t n = t.receiveSome(buffer + received, size_t(want));
        if (n == 0) {
            RYN_LOG(OBJ_COM, LOG_ERROR, "ReceiveData: Connection closed");
            return kExchangeBroken;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            RYN_LOG(OBJ_COM, LOG_ERROR, "recv failed: %d", errno);
            return kExchangeBroken;
        }
        received += uint32_t(n);
        if (!expected && received >= 4) {
            expected = EnvelopeView(buffer, received).totalLength();
            RYN_LOG(OBJ_COM, LOG_DEBUG, "Expected Length: %llu", (unsigned long long)expected);
            if (expected > capacity) {
                RYN_LOG(OBJ_COM, LOG_ERROR, "Answer of %llu bytes exceeds the %u-byte buffer",
                        (unsigned long long)expected, capacity);
                return kExchangeMalformed;
            }
        }
        if (expected && received == expected) {
            RYN_LOG(OBJ_COM, LOG_DEBUG, "Complete message");
            return int(received);
        }
        if (expected)
            RYN_LOG(OBJ_COM, LOG_DEBUG, "Uncomplete message: wait for more data (%llu  left data)",
                    (unsigned long long)(expected - received));
    }
}

int Com::ReceiveData(uint32_t slot, uint32_t timeoutMs, unsigned char *buffer, uint32_t capacity) {
    if (!buffer || capacity < kHeaderLen) return kExchangeFailed;
    TransportPtr t = channel();
    if (!t) return kExchangeFailed;
    const int r = receiveAnswer(*t, timeoutMs, buffer, capacity);
    t.reset();
    if ((r == kExchangeBroken || r == kExchangeMalformed) && !stop.load()) {
        // The rest of that answer would be taken for the next one's.
        reopenChannel(slot);
    }
    return r;
}

int Com::ExchangeMsg(uint32_t slot, uint32_t timeoutMs, const unsigned char *request, uint32_t length,
                     unsigned char *response, uint32_t capacity) {
    AutoLock lock(csSendRcv);
    if (!request || length == 0 || !response || capacity < kHeaderLen || slot != kChannelSlot) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "SEND INVALID PARAMETERS !!!");
        return kExchangeFailed;
    }
    FlushData(slot);
    if (SendData(slot, request, length) < 0) {
        RYN_LOG(OBJ_COM, LOG_ERROR, "SendData error %d", errno);
        return kExchangeFailed;
    }
    g_ulLastTickCounter.store(uint64_t(GetTickCount()));
    return ReceiveData(slot, timeoutMs, response, capacity);
}

int Com::ExchangeMsg(uint32_t slot, uint32_t timeoutMs, const std::string &request, std::string &response) {
    response.clear();
    unsigned char buffer[kStringExchangeCapacity];
    const int r = ExchangeMsg(slot, timeoutMs, reinterpret_cast<const unsigned char *>(request.data()),
                              uint32_t(request.size()), buffer, sizeof buffer);
    if (r > 0) response.assign(reinterpret_cast<const char *>(buffer), size_t(r));
    return r;
}
