/*
 * lwIP port functions: the millisecond clock (sys_now, sys_jiffies), the
 * random source, trace assembly and the IP input hook.
 *
 * Threading: lwIP runs NO_SYS on a single thread; the static state below
 * belongs to that thread.
 */
#include "lwip/opt.h"
#include "lwip/sys.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <sys/random.h>

static uint64_t monotonic_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

/* lwIP compares these with wrap-around, so truncating to 32 bits is fine. */
u32_t sys_now(void) { return (u32_t)monotonic_ms(); }
u32_t sys_jiffies(void) { return (u32_t)monotonic_ms(); }

/* splitmix64: small, fast, and good enough for magic numbers and ports once
   the seed is unpredictable. */
static uint64_t rand_state;
static int rand_seeded;

unsigned int ryn_lwip_rand(void) {
  if (!rand_seeded) {
    if (getentropy(&rand_state, sizeof rand_state) != 0) {
      /* Without entropy, at least differ between processes and runs. */
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      rand_state = ((uint64_t)getpid() << 32) ^ (uint64_t)ts.tv_nsec ^ (uint64_t)ts.tv_sec;
    }
    rand_seeded = 1;
  }
  uint64_t z = (rand_state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return (unsigned int)(z >> 32);
}

/* Trace lines. */
static ryn_lwip_trace_sink trace_sink;
static void *trace_ctx;
static int trace_enabled;
static char trace_line[1200];
static size_t trace_len;

void ryn_lwip_set_trace_sink(ryn_lwip_trace_sink sink, void *ctx) {
  trace_sink = sink;
  trace_ctx = ctx;
}

void ryn_lwip_set_trace_enabled(int enabled) { trace_enabled = enabled != 0; }

int ryn_lwip_debug_types(void) { return trace_enabled ? LWIP_DBG_ON : 0; }

static void deliver_line(void) {
  trace_line[trace_len] = '\0';
  if (trace_sink) {
    trace_sink(trace_line, trace_ctx);
  } else {
    fprintf(stderr, "%s\n", trace_line);
  }
  trace_len = 0;
}

void ryn_lwip_diag(const char *fmt, ...) {
  char piece[1100];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(piece, sizeof piece, fmt, ap);
  va_end(ap);
  if (n < 0) {
    return;
  }
  size_t len = (size_t)n < sizeof piece ? (size_t)n : sizeof piece - 1;
  for (size_t i = 0; i < len; ++i) {
    if (piece[i] == '\n') {
      deliver_line();
    } else if (trace_len < sizeof trace_line - 1) {
      trace_line[trace_len++] = piece[i];
    }
  }
}

void ryn_lwip_assert(const char *msg, const char *file, int line) {
  fprintf(stderr, "lwIP assertion \"%s\" failed at %s:%d\n", msg, file, line);
  fflush(stderr);
  abort();
}

static ryn_lwip_ip4_input_fn ip4_hook;
static void *ip4_hook_ctx;

void ryn_lwip_set_ip4_input_hook(ryn_lwip_ip4_input_fn fn, void *ctx) {
  ip4_hook = fn;
  ip4_hook_ctx = ctx;
}

int ryn_lwip_ip4_input_hook(struct pbuf *p, struct netif *inp) {
  return ip4_hook ? ip4_hook(p, inp, ip4_hook_ctx) : 0;
}
