// Tags and record layouts the simulated terminal speaks, named once.
//
// The terminal is the mirror image of the host library: it answers the
// host's requests on the channel (0x6001nnnn -> 0x6101nnnn) and sends its
// own requests on the services connection (0x6001/0x6002nnnn, answered with
// the tag plus 0x01000000). Pure constants; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simterm {

inline constexpr uint32_t kAnswerOffset = 0x01000000;
inline constexpr uint32_t answerTag(uint32_t request) { return request + kAnswerOffset; }
// Root tags the host may send as requests on the channel.
inline constexpr bool isRequestTag(uint32_t tag) { return (tag & 0xFF000000u) == 0x60000000u; }

// Host -> terminal, on the channel.
namespace channel {
inline constexpr uint32_t kEchoReq = 0x60010040;
inline constexpr uint32_t kTransactionReq = 0x60010000;
}  // namespace channel

// Terminal -> host, on the services connection.
namespace services {
inline constexpr uint32_t kPrinterReq = 0x60010006;
inline constexpr uint32_t kEchoReq = 0x60020040;
inline constexpr uint32_t kPushResultReq = 0x6002000D;
inline constexpr uint32_t kPushResultState = 0x400020A0;
}  // namespace services

// CONCERT request children (host -> terminal).
namespace concert_req {
inline constexpr uint32_t kTermNum = 0x40002000;      // 2
inline constexpr uint32_t kAmount = 0x40002001;       // 8
inline constexpr uint32_t kConstant2 = 0x40002002;    // 1
inline constexpr uint32_t kConstant3 = 0x40002003;    // 1
inline constexpr uint32_t kMode = 0x40002004;         // 1
inline constexpr uint32_t kCurrency = 0x40002005;     // 3
inline constexpr uint32_t kUserData = 0x40002006;     // 10
inline constexpr uint32_t kConstant7 = 0x40002007;    // 1
inline constexpr uint32_t kAuthType = 0x40002008;     // 1
inline constexpr uint32_t kExtendedData = 0x40002009; // n
inline constexpr uint32_t kAppNumber = 0x4000200A;    // LE32
}  // namespace concert_req

// CONCERT response children (terminal -> host) and their sizes.
namespace concert_rsp {
inline constexpr uint32_t kTermNum = 0x40002020;
inline constexpr size_t kTermNumLen = 2;
inline constexpr uint32_t kStatus = 0x40002021;
inline constexpr uint32_t kAmount = 0x40002022;
inline constexpr size_t kAmountLen = 8;
inline constexpr uint32_t kCurrency = 0x40002024;
inline constexpr size_t kCurrencyLen = 3;
inline constexpr uint32_t kUserData = 0x40002025;
inline constexpr size_t kUserDataLen = 10;
inline constexpr uint32_t kZoneRep = 0x4000202D;
inline constexpr size_t kZoneRepLen = 55;
inline constexpr uint32_t kZonePriv = 0x4000202E;
inline constexpr size_t kZonePrivLen = 10;
inline constexpr uint32_t kExtendedData = 0x4000202F;
inline constexpr char kApproved = '0';
inline constexpr char kDeclined = '7';
}  // namespace concert_rsp

// Receipt printer commands: a 16-byte little-endian header (code, jobId,
// parameter 1, parameter 2) and a payload; the host answers with a 16-byte
// record (code, jobId, status, printer status).
namespace printer {
inline constexpr size_t kHeaderLen = 16;
inline constexpr size_t kCodeOffset = 0;
inline constexpr size_t kJobIdOffset = 4;
inline constexpr size_t kParam1Offset = 8;
inline constexpr size_t kParam2Offset = 12;
inline constexpr size_t kAnswerLen = 16;
inline constexpr size_t kStatusOffset = 8;
inline constexpr size_t kPrinterStatusOffset = 12;

inline constexpr uint32_t kOpen = 0x40003500;
inline constexpr uint32_t kClose = 0x40003501;
inline constexpr uint32_t kText = 0x40003502;
inline constexpr uint32_t kFeed = 0x40003504;
inline constexpr uint32_t kCut = 0x4000350B;
inline constexpr uint32_t kStartReceipt = 0x4000350D;
inline constexpr uint32_t kEndReceipt = 0x4000350E;
}  // namespace printer

// Discovery datagram (host -> terminal, UDP broadcast).
namespace discovery {
inline constexpr uint16_t kPort = 65004;
inline constexpr uint32_t kRoot = 0x81;
inline constexpr uint32_t kHostAddress = 0x91;  // 4 bytes, network order
inline constexpr uint32_t kName = 0x11;         // NUL-terminated
inline constexpr uint32_t kMac = 0x12;          // 6 bytes
inline constexpr uint32_t kUseSsl = 0x92;       // LE32
}  // namespace discovery

// Default TCP ports on the host.
inline constexpr uint16_t kChannelPort = 5188;
inline constexpr uint16_t kServicesPort = 5186;

}  // namespace simterm
