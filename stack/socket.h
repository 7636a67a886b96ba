// The stack's socket interface: the process-wide stack with its pool of 64
// socket records, UDP, the socket operations that dispatch on a record's
// protocol, the polling wait operations and the IPv4 text helpers.
//
// A `sock_type` is one pool record (TCP and UDP share the record; `ip_type`
// says which: 6 TCP, 17 UDP, 0 unused). The stack exists from sock_init to
// sock_deinit and runs between sock_enter and sock_exit, driven by tcp_tick
// on the network pump's thread. sock_find_free is meant for the pump
// thread; the other operations may be called from bridge threads (they lock
// per socket, see tcp_engine.h; the UDP list has its own lock, udp.h). The
// waiting and looping operations tick the stack themselves (ticks are
// serialised) and may block the calling thread for their whole wait.
//
// Ownership: a record handed out by sock_find_free, or opened with
// tcp_open/tcp_listen/udp_open, belongs to its caller until sock_close or
// sock_abort gives it back. Until then it is never handed out again, even
// when its connection has gone (a dead record only reports ip_type 0), so
// an owner can never find another connection under its pointer. sock_enter
// (a fresh stack start, after everything was aborted) takes every record
// back.
#pragma once

#include "stack/pkt_driver.h"
#include "stack/tcp_engine.h"

#include <cstdint>
#include <string>

using sock_type = ryn::inet::TcpSocket;
using sock_yield_fn = int (*)(sock_type *);
using sock_data_handler = int (*)(sock_type *, const uint8_t *data, int len, const uint8_t *pseudo_hdr,
                                  const uint8_t *udp_hdr);

inline constexpr uint32_t kUdpSignature = 0x3E45E154u;

namespace ryn::inet {
// The process-wide stack, null outside sock_init..sock_deinit.
NetStack *theStack();
// Test seam: when set before sock_init, the stack is built over this device
// (see NetStack's test constructor) and sock_enter does not bind the link.
// nullptr restores the PPP device for the next sock_init.
void setStackDeviceForTesting(IpDevice *device);
// The domain name setdomainname stored (a copy).
std::string domainName();
}  // namespace ryn::inet

// Pool and lifecycle.
void sock_init();
int sock_enter();  // nonzero when the stack failed to start
void sock_exit();
void sock_deinit();
sock_type *sock_find_free();

// The stack tick: drains received datagrams, runs the 50 ms pass. With a
// socket: a TCP socket in CLOSED without unread data is unlinked first;
// returns its ip_type (0 once gone), 0 for null.
int tcp_tick(sock_type *s);
int tcp_allclosed();

// Used by the connection contexts.
int sock_mode(sock_type *s, uint16_t bits);
int sock_fastread(sock_type *s, uint8_t *buf, int len);
int sock_fastwrite(sock_type *s, const uint8_t *data, int len);
int sock_sselect(sock_type *s, int what);
int sock_close(sock_type *s);
void sock_abort(sock_type *s);
int _ip_delay0(sock_type *s, int seconds, sock_yield_fn handler, int *status);
int _ip_delay1(sock_type *s, int seconds, sock_yield_fn handler, int *status);
int _ip_delay2(sock_type *s, int seconds, sock_yield_fn handler, int *status);

// Opening (thin over the engine, with the stack's clock).
int tcp_open(sock_type *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, sock_data_handler handler);
int tcp_listen(sock_type *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port,
               sock_data_handler handler, uint16_t timeout_s);

// The rest of the interface.
void sock_yield(sock_type *s, sock_yield_fn fn);
int sock_read(sock_type *s, uint8_t *buf, int len);
int sock_write(sock_type *s, const uint8_t *data, int len);
// TCP: copies what fits the send buffer (the caller's memory is free on
// return) and returns the bytes taken. UDP: datagrams of at most MTU - 28
// bytes; a failed one sets error 16.
int sock_enqueue(sock_type *s, const uint8_t *data, int len);
// len < 0: nothing. buf and len > 0: buf (len bytes, kept alive by the
// caller until it gives the record back; sock_close/sock_abort move off it)
// becomes the receive buffer, refused when the data held would not fit.
// Otherwise the built-in buffer, whatever len says. The capacity also
// bounds what the send buffer takes, but never past the send buffer's own
// storage.
void sock_setbuf(sock_type *s, uint8_t *buf, int len);
void sock_flush(sock_type *s);
void sock_noflush(sock_type *s);
void sock_flushnext(sock_type *s);
int sock_putc(sock_type *s, int c);
int sock_getc(sock_type *s);
int sock_puts(sock_type *s, const char *text);
int sock_gets(sock_type *s, char *buf, int size);
int sock_dataready(sock_type *s);
int sock_established(sock_type *s);
void sock_sturdy(sock_type *s, int level);
int sock_printf(sock_type *s, const char *format, ...);
int _chk_socket(sock_type *s);

// UDP.
int udp_open(sock_type *s, uint16_t local_port, uint32_t peer_addr, uint16_t peer_port, sock_data_handler handler);
int udp_close(sock_type *s);
int udp_write(sock_type *s, const uint8_t *data, int len);
int udp_read(sock_type *s, uint8_t *buf, int len);

// Address helpers.
uint32_t aton(const char *text);
int isaddr(const char *text);
uint32_t _ryn_inet_addr(const char *text);
// The text lives in a per-thread buffer, overwritten by the thread's next call.
char *_ryn_inet_ntoa(uint32_t addr_network_order);
// In the stack's namespace: the C library declares functions of these names.
namespace ryn::inet {
uint32_t gethostid();
uint32_t sethostid(uint32_t addr);
int setdomainname(const char *name, int len);
}  // namespace ryn::inet
