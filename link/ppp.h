// The PPP device (one unit, 0) over the serial line, and PPP main: start,
// service pass, close, the callout timers, the receive queue of IP datagrams
// and the interface operations the control protocols use.
//
// Control protocols plug in by protocol number through ppp_protocols.h; this
// module routes received frames to them and gives them output() and timers.
//
// Locks, in order: the PPP lock (critSec) serialises ppp_enter, ppp_run,
// ppp_close, the control protocols, the callouts and the receive queue; the
// transmit lock (the serial line lock) covers building a frame and writing
// it, and freeing the device. ppp_dev_xmit runs without the PPP lock on the
// sending thread. Code under the PPP lock takes no stack lock.
#pragma once

#include "link/ppp_defs.h"
#include "link/ppp_frame.h"
#include "stack/queue.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ryn::ppp {

inline constexpr int32_t kDeviceMagic = 0x5002;

// The device record. Framing state lives in the encoder (transmit side,
// guarded by the transmit lock) and the decoder (receive side, PPP lock).
struct ppp {
    int32_t magic = 0;
    int32_t unit = 0;
    uint8_t in_use = 0;
    std::atomic<uint32_t> flags{0};
    std::atomic<int32_t> mtu{kMaxMtu};
    int32_t mru = kDefaultMru;
    uint32_t last_xmit = 0;  // GUARDED_BY(transmit lock)
    FrameEncoder encoder;    // GUARDED_BY(transmit lock)
    FrameDecoder decoder;    // GUARDED_BY(PPP lock)
    std::array<uint8_t, kTxCapacity> tx_buffer{};  // GUARDED_BY(transmit lock)
    // Diagnostics only.
    uint32_t rx_frames = 0, tx_frames = 0, tx_refused = 0;
    uint32_t last_ip_rx = 0, last_ip_tx = 0;
};

// Link phases (RFC 1661).
enum Phase : int32_t { PHASE_DEAD = 0, PHASE_ESTABLISH = 1, PHASE_AUTHENTICATE = 2, PHASE_NETWORK = 3, PHASE_TERMINATE = 4 };

// PPP main state. Written under the PPP lock; the atomics are also read
// without it (the supervisor, the stack's send path).
extern std::atomic<int32_t> phase;
extern std::atomic<int32_t> ifunit;
extern uint8_t bFirst;
extern int32_t auth_required;
extern char user[80];
extern char passwd[80];
extern std::atomic<int32_t> peer_mru;
extern uint8_t outpacket_buf[kHeaderLen + kMaxMtu];

// The PPP lock.
std::mutex &pppLock();

// Received IP datagram, one heap block: queue links, length, then the bytes.
struct QueuedDatagram {
    tagQUEUE link;
    uint16_t length;
    uint8_t data[1];
};
// The receive queue holds at most this many datagrams; more are dropped
// (a stack that stopped reading must not let the terminal fill memory).
inline constexpr size_t kMaxQueuedDatagrams = 256;
// Takes the oldest datagram off ppp_rcv_queue (caller frees it with
// freeDatagram), or nullptr. Takes the PPP lock.
QueuedDatagram *takeDatagram();
void freeDatagram(QueuedDatagram *d);
size_t queuedDatagrams();

// Addresses given to the stack by sifaddr (host byte order), and the hook
// through which the stack follows them. Until the stack binds it, the link
// keeps them here for its own report.
struct IpAddresses {
    uint32_t ours = 0, his = 0, mask = 0, dns = 0;
    bool up = false;
};
IpAddresses currentAddresses();
struct StackBinding {
    // The link is (18) or is no longer (0) the stack's device.
    void (*setDeviceClass)(int devclass) = nullptr;
    // Saves the stack's netmask and address, then sets the new ones.
    void (*setAddresses)(uint32_t ours, uint32_t his, uint32_t mask) = nullptr;
    // Puts back what setAddresses saved.
    void (*restoreAddresses)() = nullptr;
    void (*setNameserver)(uint32_t dns) = nullptr;
};
void bindStack(const StackBinding &binding);

// Callout list ordered by deadline; pure (time is passed in). Guarded by the
// PPP lock in use.
class CalloutList {
public:
    using Fn = void (*)(void *);
    ~CalloutList() { clear(); }
    // Inserted after every node with an earlier or equal deadline. False
    // when the node cannot be allocated (the timer is then not set).
    bool add(Fn fn, void *arg, uint32_t deadline);
    // Removes the first node with fn and arg; nothing if none.
    void remove(Fn fn, void *arg);
    // Pops the first node whose deadline has passed at now; false if none.
    bool popDue(uint32_t now, Fn &fn, void *&arg);
    void clear();
    size_t size() const;

private:
    struct Node {
        uint32_t deadline;
        Fn fn;
        void *arg;
        Node *next;
    };
    Node *head_ = nullptr;
};
// The callout list of the running link (tests inspect it).
CalloutList &callouts();

}  // namespace ryn::ppp

// --- PPP main -----------------------------------------------------------
void ppp_init();
void ppp_deinit();
// 0 when the device was opened and LCP started, -1 when it could not be opened.
int ppp_enter(int required);
// -1 link over, 0 running, 1 (report != 0) first pass after IP came up.
int ppp_run(int report);
void ppp_close();
int ppp_is_running();
// 1 when queued, 0 when dropped. REQUIRES: the PPP lock (the service pass
// calls it for every IP frame it receives).
int handle_ip_packet(int unit, const uint8_t *data, int length);

// --- PPP device ---------------------------------------------------------
int ppp_dev_open();
void ppp_dev_close(int unit);
ryn::ppp::ppp *ppp_dev(int unit);
// 0 sent, 1 not sent (IP down, larger than the MTU, or the line write
// failed), -1 no device; 0 for an empty datagram. REQUIRES: 4 writable bytes
// in front of datagram.
int ppp_dev_xmit(int unit, uint8_t *datagram, int length);
// Largest datagram ppp_dev_xmit accepts now (the stack sizes its segments by it).
int ppp_dev_mtu(int unit);
// Sends a frame whose 4-byte header is in place; the bytes handed over, 0
// when refused, -1 without device.
int ppp_tty_write(int unit, uint8_t *frame, int length);
// 0 when ppp_tty_write took the packet, 1 otherwise.
int output(int unit, uint8_t *frame, int length);
void ppp_send_config(int unit, int mtu, uint32_t asyncmap, int pcomp, int accomp);
void ppp_recv_config(int unit, int mru, uint32_t asyncmap, int pcomp, int accomp);
void ppp_set_xaccm(int unit, const uint32_t map[8]);
int sifup(int unit);
int isifup(int unit);
int sifdown(int unit);
int sifaddr(int unit, uint32_t our, uint32_t his, uint32_t mask);
int sifdns(int unit, uint32_t dns1, uint32_t dns2);
int cifaddr(int unit, uint32_t our, uint32_t his);
int sifdefaultroute(int unit, uint32_t gateway);
int cifdefaultroute(int unit, uint32_t gateway);
int sifproxyarp(int unit, uint32_t his);
int cifproxyarp(int unit, uint32_t his);
void rcv_proto_unknown(int unit, uint16_t protocol, uint8_t *payload, int length);
void demuxprotrej(int unit, uint16_t protocol);

// --- Timers (run inside the service pass, under the PPP lock) -----------
void timeout(void (*function)(void *), void *argument, int seconds);
void untimeout(void (*function)(void *), void *argument);
