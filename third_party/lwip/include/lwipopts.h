/*
 * lwIP options for the serial terminal simulator: a bare-metal style
 * (NO_SYS) IPv4 stack with PPP over serial acting as the PPP server, PAP as
 * the only authentication, TCP/UDP/ICMP, and no Ethernet, ARP or IPv6.
 *
 * Threading: NO_SYS, so every lwIP call happens on the simulator's single
 * event-loop thread; lwIP takes no locks.
 */
#ifndef RYN_LWIPOPTS_H
#define RYN_LWIPOPTS_H

#include "ryn_lwip_port.h"

/* Single-threaded, no OS layer. */
#define NO_SYS                      1
#define SYS_LIGHTWEIGHT_PROT        0
#define LWIP_SOCKET                 0
#define LWIP_NETCONN                0
#define LWIP_NETIF_API              0

/* Memory: the C heap for everything, so the sanitizers see every block and
   the simulator is not limited by fixed pools. */
#define MEM_LIBC_MALLOC             1
#define MEMP_MEM_MALLOC             1
#define MEM_ALIGNMENT               8
#define PBUF_POOL_SIZE              64

/* Protocols. */
#define LWIP_IPV4                   1
#define LWIP_IPV6                   0
#define LWIP_ARP                    0
#define LWIP_ETHERNET               0
#define LWIP_TCP                    1
#define LWIP_UDP                    1
#define LWIP_ICMP                   1
#define LWIP_RAW                    0
#define LWIP_DHCP                   0
#define LWIP_AUTOIP                 0
#define LWIP_IGMP                   0
#define LWIP_DNS                    0
#define IP_FORWARD                  0
#define IP_REASSEMBLY               1
#define IP_FRAG                     1

/* TCP sized for a 1500-byte PPP MTU; windows large enough to fill the
   unpaced pty, small enough that a paced 115200-baud line is not flooded. */
#define TCP_MSS                     1460
#define TCP_WND                     (8 * TCP_MSS)
#define TCP_SND_BUF                 (8 * TCP_MSS)
#define TCP_SND_QUEUELEN            (4 * TCP_SND_BUF / TCP_MSS)
#define MEMP_NUM_TCP_PCB            32
#define MEMP_NUM_TCP_PCB_LISTEN     16
#define MEMP_NUM_TCP_SEG            (TCP_SND_QUEUELEN + 16)
#define LWIP_TCP_KEEPALIVE          1

/* No statistics module (stats.c is not part of the build). */
#define LWIP_STATS                  0

#define LWIP_NETIF_STATUS_CALLBACK  1
#define LWIP_NETIF_LINK_CALLBACK    1

/* PPP over serial, server side, PAP only. */
#define PPP_SUPPORT                 1
#define PPPOS_SUPPORT               1
#define PPP_SERVER                  1
#define PPP_IPV4_SUPPORT            1
#define PPP_IPV6_SUPPORT            0
#define PAP_SUPPORT                 1
#define CHAP_SUPPORT                0
#define MSCHAP_SUPPORT              0
#define EAP_SUPPORT                 0
#define CCP_SUPPORT                 0
#define MPPE_SUPPORT                0
#define ECP_SUPPORT                 0
#define VJ_SUPPORT                  0
#define LQR_SUPPORT                 0
#define PPP_MD5_RANDM               0
#define PPP_NOTIFY_PHASE            0
#define PPP_MRU                     1500

/* pppd-style packet traces ("rcvd [LCP ConfReq id=0x1 ...]"). They are
   compiled in but switched at run time (ryn_lwip_debug_types), because the
   simulator also watches them to learn that an LCP packet was parsed. */
#define LWIP_DEBUG                  1
#define PRINTPKT_SUPPORT            1
#define PPP_PROTOCOLNAME            1
#define PPP_DEBUG                   LWIP_DBG_ON
#define LWIP_DBG_MIN_LEVEL          LWIP_DBG_LEVEL_ALL
#define LWIP_DBG_TYPES_ON           ryn_lwip_debug_types()

/* Random numbers (LCP magic numbers, TCP ports and sequence numbers) from a
   generator seeded by getentropy: two simulators, or a simulator and a host,
   must not pick equal magic numbers. */
#define LWIP_RAND()                 ryn_lwip_rand()

/* IP input hook, empty unless a mode installs one (see ryn_lwip_port.h). */
#define LWIP_HOOK_IP4_INPUT(pbuf, input_netif) ryn_lwip_ip4_input_hook((pbuf), (input_netif))

#if !PPP_SUPPORT || !PPPOS_SUPPORT || !PPP_SERVER || !PAP_SUPPORT
#error "the simulator needs PPP over serial in server mode with PAP"
#endif
#if LWIP_ARP || LWIP_ETHERNET || LWIP_IPV6
#error "the PPP-only simulator build has no Ethernet, ARP or IPv6"
#endif

#endif /* RYN_LWIPOPTS_H */
