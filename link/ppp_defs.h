// Constants of PPP in HDLC-like framing (RFC 1661/1662) as this link uses
// them: framing bytes, protocol numbers, sizes. Named once here; the framing,
// the device and the control protocols include this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ryn::ppp {

inline constexpr uint8_t kFlag = 0x7E;
inline constexpr uint8_t kEscape = 0x7D;
inline constexpr uint8_t kTrans = 0x20;
inline constexpr uint8_t kAllStations = 0xFF;  // address field
inline constexpr uint8_t kUi = 0x03;           // control field

inline constexpr uint16_t kFcsInit = 0xFFFF;
inline constexpr uint16_t kFcsGood = 0xF0B8;  // residue over a frame and its FCS

inline constexpr uint16_t kProtoIp = 0x0021;
inline constexpr uint16_t kProtoLcp = 0xC021;
inline constexpr uint16_t kProtoIpcp = 0x8021;
inline constexpr uint16_t kProtoPap = 0xC023;

// 4-byte header in front of every frame built or delivered: FF 03 proto-hi proto-lo.
inline constexpr size_t kHeaderLen = 4;
inline constexpr size_t kFcsLen = 2;
inline constexpr int kMaxMtu = 1500;
inline constexpr int kDefaultMru = 1500;
// Unescaped frame being received: address, control, protocol, payload, FCS.
inline constexpr size_t kRxCapacity = kDefaultMru + kHeaderLen + kFcsLen;
// A fully escaped maximum frame: flags, every byte of header, payload and FCS doubled.
inline constexpr size_t kTxCapacity = 3023;
static_assert(2 + 2 * (kHeaderLen + kMaxMtu + kFcsLen) <= kTxCapacity, "transmit buffer holds any frame");

// Device flag bits.
inline constexpr uint32_t kFlagPfc = 0x1;          // send with protocol-field compression
inline constexpr uint32_t kFlagAcfc = 0x2;         // send with address/control compression
inline constexpr uint32_t kFlagRxNoAcfc = 0x10;    // receive side did not negotiate ACFC
inline constexpr uint32_t kFlagIpUp = 0x100;       // IP datagrams flow

// toss values: discard up to the next flag.
inline constexpr uint8_t kTossAtOpen = 0xE0;
inline constexpr uint8_t kTossOverflow = 0xC0;

// Idle time after which an IP frame is preceded by a flag again.
inline constexpr uint32_t kFlagIdleMs = 1500;

// Control-packet codes and option types live in ppp_packet.h.

}  // namespace ryn::ppp
