// Com: owner of the service server (the terminal's requests), the services
// connection and the host-to-terminal channel. Created and deleted by the
// service container; creating it starts the server thread, deleting it
// stops and joins every thread it started and only then closes their
// descriptors.
//
// Threads:
//  - the services server (ServicesServer), for Com's whole life: accepts the
//    terminal's services connection; in serial mode it listens on 127.0.0.1
//    only (the bridge dials loopback), in IP mode on every address;
//  - the receive thread (ReceiveServicesThread), one per services
//    connection: cuts envelopes and dispatches them by root tag to the
//    service table's handlers, which run on it. A newer connection retires
//    the older one (interrupt, join, close) before it is stored;
//  - application threads use the channel (GetConnection ... ExchangeMsg ...
//    ReleaseConnectionUserID).
//
// Locks: csSendRcv (whole exchanges) is always taken before csCnx (channel
// state: slot, transport, user count, connectionOpen, currentConnection).
// servicesLock_ guards the services connection and its thread handle.
// Stop: `stop` plus a wake pipe, so every wait ends at once on deletion.
//
// IP-attached terminals dial in: the channel server (IpComServer) accepts
// the channel, each accepted channel gets an echo task (EchoThread) that
// drops it when the terminal stops answering. TLS is chosen per connection:
// an accepted descriptor is wrapped by ComOptions::secure into a TLS
// transport, so nothing above the Transport interface changes and no
// global switch can make one connection write in clear. The echo task is
// joined before the next channel is stored; it only ever closes its own
// connection.
#pragma once

#include "service/primitives.h"
#include "services/service_table.h"
#include "services/transport.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The two process-wide channel locks, in their order.
extern Mutex csSendRcv;
extern Mutex csCnx;
// Monotonic ms tick of the last request sent on the channel.
extern std::atomic<uint64_t> g_ulLastTickCounter;

namespace ryn::services {

// Ports and mode. Production uses fromConfig(); tests give port 0 (an
// ephemeral port, read back with Com::servicesPort) and their own peer's
// channel port, so parallel tests never collide.
struct ComOptions {
    uint16_t servicesPort = 5186;
    uint16_t channelPort = 5188;
    bool ipMode = false;
    // IP mode: both connections run TLS, set up by `secure` (the server
    // handshake; a transport, or null when it failed and fd stays the
    // caller's to close). stopFd ends a handshake early.
    bool tls = false;
    std::shared_ptr<Transport> (*secure)(int fd, int stopFd) = nullptr;
    // Echo keep-alive of the IP channel: first echo after idleMs without a
    // request, then retryMs between failures; the channel is dropped after
    // more than maxFailures in a row.
    uint32_t echoIdleMs = 10000;
    uint32_t echoRetryMs = 1000;
    uint32_t echoPeriodMs = 500;
    int echoMaxFailures = 3;
    const ServiceTable *table = nullptr;  // null: defaultServiceTable()

    static ComOptions fromConfig();
};

// Results of the channel's exchange functions: a byte count (> 0) only for
// one whole envelope; failures are never positive.
enum ExchangeResult : int {
    kExchangeNoAnswer = 0,   // nothing arrived in time
    kExchangeFailed = -1,    // invalid arguments, no channel, or send failed
    kExchangeBroken = -2,    // connection closed or failed mid-answer
    kExchangeMalformed = -3, // answer too large for the buffer, or not one envelope
};

}  // namespace ryn::services

class Com {
public:
    static constexpr uint32_t kChannelSlot = 0;
    static constexpr uint32_t kServicesSlot = 1;
    static constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

    Com();
    explicit Com(const ryn::services::ComOptions &options);
    virtual ~Com();
    Com(const Com &) = delete;
    Com &operator=(const Com &) = delete;

    // True when the host-to-terminal channel is open and a terminal is
    // connected to the service server.
    bool GetStatusCom();

    // The port the services server listens on; 0 until it listens.
    uint16_t servicesPort() const { return boundPort_.load(); }

    // ---- host-to-terminal channel (any application thread) ----
    // true with the slot of the open channel (opening it when needed); the
    // caller becomes a user and must call ReleaseConnectionUserID.
    bool GetConnection(uint32_t *slot);
    // Stops being a user; returns the users that remain.
    int ReleaseConnectionUserID();
    // REQUIRES: csCnx held (both).
    bool OpenConnection(uint32_t *slot);
    bool CloseConnection(uint32_t slot);
    bool CloseAllConnection();
    // One request/answer: the answer's byte count when one whole envelope
    // arrived, else an ExchangeResult (<= 0).
    int ExchangeMsg(uint32_t slot, uint32_t timeoutMs, const unsigned char *request,
                    uint32_t length, unsigned char *response, uint32_t capacity);
    // The same through a 1024-byte buffer; response is emptied first and
    // receives the answer on success.
    int ExchangeMsg(uint32_t slot, uint32_t timeoutMs, const std::string &request,
                    std::string &response);
    // REQUIRES: csSendRcv held (as ExchangeMsg does).
    void FlushData(uint32_t slot);
    int SendData(uint32_t slot, const unsigned char *data, uint32_t length);
    int ReceiveData(uint32_t slot, uint32_t timeoutMs, unsigned char *buffer, uint32_t capacity);

    // Thread bodies. ServicesServer's argument is the Com;
    // ReceiveServicesThread's a ReceiveArgs it takes ownership of.
    static void *ServicesServer(void *self);
    static void *ReceiveServicesThread(void *args);
    // IP mode: the channel server (argument: the Com) and the echo task
    // (argument: an EchoArgs it takes ownership of).
    static void *IpComServer(void *self);
    static void *EchoThread(void *args);
    // Service handler of the terminal's echo (0x60020040).
    static int treatEchoRuvaloRequest(ryn::services::ServiceConnection &connection, const unsigned char *message,
                                      uint32_t length);

    // The port the IP channel server listens on; 0 until it listens.
    uint16_t channelListenPort() const { return ipBoundPort_.load(); }

    // Fields read by other services (status, logging).
    std::atomic<int> socketListen{-1};
    std::atomic<int> socketIpListen{-1};
    std::atomic<int> connectionUsers{0};    // guarded by csCnx for updates
    std::atomic<bool> channelConnected{false};
    std::atomic<bool> servicesConnected{false};
    uint32_t terminalAddress;               // network order; 127.0.0.1
    std::atomic<int> socketConnect{-1};     // channel descriptor (slot 0), for logs
    std::atomic<int> socketServer{-1};      // services descriptor (slot 1), for logs
    int openSockets = 0;                    // guarded by csCnx
    uint32_t currentConnection = kNoSlot;   // guarded by csCnx
    bool connectionOpen = false;            // guarded by csCnx
    std::atomic<bool> stop{false};

private:
    using TransportPtr = std::shared_ptr<ryn::services::Transport>;
    struct ReceiveArgs {
        Com *com;
        TransportPtr connection;
    };
    struct EchoArgs {
        Com *com;
        TransportPtr channel;
        uint32_t generation;
    };

    void serveListening(int listenFd);
    bool openListener(int &fd);
    void acceptOne(int listenFd);
    void retireServices();                  // REQUIRES: servicesLock_ held
    void reapFinishedServices();
    void receiveLoop(const TransportPtr &connection);
    void dispatch(ryn::services::ServiceConnection &connection, const std::string &message);
    bool waitStop(int ms);                  // true when stopped meanwhile

    TransportPtr channel();                 // snapshot under csCnx
    void installChannel(int fd, TransportPtr transport);  // REQUIRES: csCnx
    void dropChannel();                     // REQUIRES: csCnx
    void reopenChannel(uint32_t slot);      // REQUIRES: csSendRcv; takes csCnx
    int receiveAnswer(ryn::services::Transport &t, uint32_t timeoutMs, unsigned char *buffer,
                      uint32_t capacity);

    ryn::services::ComOptions options_;
    const ryn::services::ServiceTable *table_;
    int wake_[2] = {-1, -1};                // written once on stop; never drained
    std::atomic<uint16_t> boundPort_{0};

    pthread_t hServerThread_{};
    pthread_attr_t hServerThreadAttr_{};
    bool hasServerThread_ = false;

    Mutex servicesLock_;
    TransportPtr services_;                 // guarded by servicesLock_
    pthread_t hServicesThread_{};           // guarded by servicesLock_
    pthread_attr_t hServicesThreadAttr_{};
    bool hasServicesThread_ = false;        // guarded by servicesLock_
    std::atomic<bool> servicesFinished_{false};

    TransportPtr channel_;                  // guarded by csCnx

    // IP mode.
    bool openIpListener(int &fd);
    void serveIpListening(int listenFd);
    void acceptChannel(int listenFd);
    TransportPtr secureAccepted(int fd, const char *what);
    void retireEcho();                      // only on the IpComServer thread or in ~Com
    void echoLoop(const TransportPtr &mine, uint32_t generation);
    std::atomic<uint16_t> ipBoundPort_{0};
    pthread_t hIpServerThread_{};
    pthread_attr_t hIpServerThreadAttr_{};
    bool hasIpServerThread_ = false;
    pthread_t hEchoThread_{};
    pthread_attr_t hEchoThreadAttr_{};
    bool hasEchoThread_ = false;            // IpComServer thread, then ~Com after its join
    std::atomic<uint32_t> echoGeneration_{0};
    std::atomic<bool> channelTlsUp_{false};
    std::atomic<bool> servicesTlsUp_{false};
};

// Set when both IP connections run TLS (status only: each connection
// carries its own transport).
extern std::atomic<bool> g_isSSLCom;
// The host's own address on the IP channel, dotted (at most 15 characters).
extern char g_CurrentAddrPC[16];
