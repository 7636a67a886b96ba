// Reader of the activated-terminal file: pairs "key=value" separated by ";",
// taken byte for byte (line ends belong to keys and values), first
// occurrence of a key wins, keys walked in ascending byte order.
#include "service/config.h"

#include "service/log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

CompanionInfo g_CompanionInfo = {};
std::atomic<bool> g_isIpCompanion{false};

namespace ryn::config {
namespace {

// The standard base-10 conversion (leading blanks, a sign, digits up to the
// first non-digit), but a value without digits or outside 32 bits is refused
// instead of being silently clamped.
bool parseInt32(std::string_view v, int32_t &out) {
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || (v[i] >= '\t' && v[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) negative = v[i++] == '-';
    int64_t value = 0;
    size_t digits = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (v[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) return false;
    }
    if (digits == 0) return false;
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool copyBounded(std::string_view v, char *dst, size_t capacity) {
    if (v.size() > capacity - 1) return false;
    memcpy(dst, v.data(), v.size());
    dst[v.size()] = '\0';
    return true;
}

}  // namespace

std::string homeDirectory() {
    const char *override = getenv("RYN_HOME");
    if (override && *override) return override;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw {};
    struct passwd *result = nullptr;
    while (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return result && result->pw_dir ? result->pw_dir : "";
}

std::string activationFilePath() { return homeDirectory() + "/.CalvorinKestova/KestovaLinux.txt"; }

int parseActivation(std::string_view text, CompanionInfo &info, bool &isIp) {
    info = CompanionInfo{};
    isIp = false;
    std::map<std::string_view, std::string_view> pairs;
    std::string_view remaining = text;
    for (;;) {
        size_t eq = remaining.find('=');
        if (eq == std::string_view::npos) break;
        std::string_view key = remaining.substr(0, eq);
        std::string_view rest = remaining.substr(eq + 1);
        size_t semi = rest.find(';');
        std::string_view value = rest.substr(0, semi);
        pairs.emplace(key, value);  // an existing key keeps its first value
        remaining = semi == std::string_view::npos ? rest : rest.substr(semi + 1);
    }

    bool ok = true;
    for (const auto &[key, value] : pairs) {
        if (key == "Name") {
            if (!copyBounded(value, info.name, sizeof info.name)) {
                RYN_LOG(OBJ_SERVICE, LOG_ERROR, "Name terminal size too long");
                ok = false;
            }
        } else if (key == "AddrMAC") {
            if (!copyBounded(value, info.addrMAC, sizeof info.addrMAC)) {
                RYN_LOG(OBJ_SERVICE, LOG_ERROR, "MAC Address size too long");
                ok = false;
            }
        } else if (key == "AddrIP") {
            if (!copyBounded(value, info.addrIP, sizeof info.addrIP)) {
                RYN_LOG(OBJ_SERVICE, LOG_ERROR, "IP Address size too long");
                ok = false;
            }
        } else if (key == "UseSsl") {
            if (!parseInt32(value, info.useSsl)) {
                RYN_LOG(OBJ_SERVICE, LOG_ERROR, "UseSsl value is not a 32-bit number");
                ok = false;
            }
        } else if (key == "Type") {
            if (!parseInt32(value, info.type)) {
                RYN_LOG(OBJ_SERVICE, LOG_ERROR, "Type value is not a 32-bit number");
                ok = false;
            }
        }
    }
    if (!ok) return 0;
    isIp = info.type == kCompanionIp;
    RYN_LOG(OBJ_SERVICE, LOG_INFO, "GetActivatedCompanion %s Type:%d", info.name, info.type);
    return 1;
}

}  // namespace ryn::config

int getActivatedDevice() {
    using namespace ryn::config;
    std::string path = activationFilePath();
    g_CompanionInfo = CompanionInfo{};
    g_isIpCompanion = false;

    std::string text;
    bool readable = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxActivationFile) {
            text.resize(static_cast<size_t>(st.st_size));
            size_t got = 0;
            while (got < text.size()) {
                ssize_t r = read(fd, text.data() + got, text.size() - got);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                got += static_cast<size_t>(r);
            }
            text.resize(got);
            readable = true;
        }
        close(fd);
    }
    if (!readable) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "Unable to read file KestovaLinux, maybe file don't exists");
        return 0;
    }
    bool isIp = false;
    int result = parseActivation(text, g_CompanionInfo, isIp);
    g_isIpCompanion = result == 1 && isIp;
    return result;
}
