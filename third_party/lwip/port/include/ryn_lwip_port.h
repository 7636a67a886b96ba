/*
 * Our small lwIP port for the serial terminal simulator: clock, random
 * numbers, the trace sink and the IP input hook.
 *
 * Threading: lwIP runs NO_SYS on one thread; the setters below are meant to
 * be called on that same thread (usually once, at start-up).
 * Included from lwipopts.h, so this header is plain C and includes no lwIP
 * header.
 */
#ifndef RYN_LWIP_PORT_H
#define RYN_LWIP_PORT_H

#ifdef __cplusplus
extern "C" {
#endif

struct pbuf;
struct netif;

/* Random 32-bit values for lwIP; seeded from getentropy on first use. */
unsigned int ryn_lwip_rand(void);

/* Trace output. lwIP's debug messages are assembled into whole lines and
   handed to the sink (without the trailing newline); the default sink
   writes them to stderr. Messages are produced only while enabled. */
typedef void (*ryn_lwip_trace_sink)(const char *line, void *ctx);
void ryn_lwip_set_trace_sink(ryn_lwip_trace_sink sink, void *ctx);
void ryn_lwip_set_trace_enabled(int enabled);
int ryn_lwip_debug_types(void);
void ryn_lwip_diag(const char *fmt, ...);
void ryn_lwip_assert(const char *msg, const char *file, int line);

/* IPv4 input hook: a mode that takes datagrams away from lwIP's IP layer
   (for example to hand them to a TUN device) installs a handler returning 1
   when it consumed (and freed) the pbuf. No handler: lwIP processes all. */
typedef int (*ryn_lwip_ip4_input_fn)(struct pbuf *p, struct netif *inp, void *ctx);
void ryn_lwip_set_ip4_input_hook(ryn_lwip_ip4_input_fn fn, void *ctx);
int ryn_lwip_ip4_input_hook(struct pbuf *p, struct netif *inp);

#ifdef __cplusplus
}
#endif

#endif /* RYN_LWIP_PORT_H */
