/*
 * Compiler and platform glue for lwIP on Linux (glibc, gcc or clang).
 */
#ifndef RYN_LWIP_ARCH_CC_H
#define RYN_LWIP_ARCH_CC_H

#include <endian.h>
#include <stdlib.h>
#include "ryn_lwip_port.h"

#ifndef BYTE_ORDER
#define BYTE_ORDER __BYTE_ORDER
#endif

#define LWIP_PLATFORM_DIAG(x) do { ryn_lwip_diag x; } while (0)
#define LWIP_PLATFORM_ASSERT(x) do { ryn_lwip_assert((x), __FILE__, __LINE__); } while (0)

#endif /* RYN_LWIP_ARCH_CC_H */
