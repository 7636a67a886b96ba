// The activated terminal: the per-user file that names it, and the record
// filled from it at every start.
//
// getActivatedDevice runs on the thread that starts the service, before any
// service thread of that start exists; service threads read g_CompanionInfo
// afterwards without a lock, and it is never re-read while running.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

struct CompanionInfo {
    char addrIP[20];
    char addrMAC[20];
    char name[248];
    int32_t type;
    int32_t useSsl;
};

// Companion types; only kCompanionIp changes the service's behaviour.
enum CompanionType : int32_t { kCompanionUsb = 0, kCompanionBt = 1, kCompanionCom = 2, kCompanionIp = 3 };

extern CompanionInfo g_CompanionInfo;
extern std::atomic<bool> g_isIpCompanion;

// 1: read, every recognised value fitted; 0: no file or a value was refused.
int getActivatedDevice();

namespace ryn::config {

// Home of the process's real user from the password database. The
// environment variable RYN_HOME, when set and not empty, replaces it: tools
// and tests use it so they never touch the user's real activation file.
std::string homeDirectory();

// home + "/.CalvorinKestova/KestovaLinux.txt"
std::string activationFilePath();

// The reader's parsing step on a file's bytes: fills `info` (cleared first)
// and `isIp`; logs like getActivatedDevice; 1 on success.
int parseActivation(std::string_view text, CompanionInfo &info, bool &isIp);

// Files above this size are refused rather than read into memory.
inline constexpr size_t kMaxActivationFile = 64 * 1024;

}  // namespace ryn::config
