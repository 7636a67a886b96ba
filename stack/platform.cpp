#include "stack/platform.h"

#include "service/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int _ryn_sprintf(char *buffer, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buffer, size, format, ap);
    va_end(ap);
    return n;
}

void _ryn_strcpy(char *buffer, size_t size, const char *text) {
    if (size == 0) return;
    size_t n = text ? strnlen(text, size - 1) : 0;
    if (n) memcpy(buffer, text, n);
    buffer[n] = '\0';
}

const char *_ryn_strerror(int code) {
    thread_local char text[128];
    // GNU strerror_r may return a static string instead of filling ours.
    const char *r = strerror_r(code, text, sizeof text);
    return r;
}

int _ryn_socket_error() { return errno; }

void _ryn_trace(int, const char *format, ...) {
    if (!ryn::log::enabled()) return;
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    RYN_LOG(OBJ_NETWORK, LOG_INFO, "%s", text);
}

char *PurgeTrailingSpaces(char *text) {
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
    return text;
}

namespace {
int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '-') return 63;
    return -1;
}
}  // namespace

size_t DecodeAuth(const char *text, char *out, size_t outSize) {
    if (outSize == 0) return 0;
    size_t stored = 0;
    out[0] = '\0';
    unsigned values[4];
    int have = 0, pads = 0;
    auto put = [&](unsigned byte) {
        if (stored + 1 < outSize) out[stored++] = static_cast<char>(byte);
    };
    for (const char *p = text; p && *p; ++p) {
        if (*p == '=') {
            if (have == 0) continue;  // padding with nothing before it
            values[have++] = 0;
            ++pads;
        } else {
            int v = base64Value(*p);
            if (v < 0) continue;
            if (pads) {  // data after padding starts a new group
                pads = 0;
                have = 0;
            }
            values[have++] = static_cast<unsigned>(v);
        }
        if (have == 4) {
            unsigned group = values[0] << 18 | values[1] << 12 | values[2] << 6 | values[3];
            put(group >> 16 & 0xFF);
            if (pads < 2) put(group >> 8 & 0xFF);
            if (pads < 1) put(group & 0xFF);
            have = 0;
            pads = 0;
        }
    }
    out[stored] = '\0';
    // Consumers treat the result as a string: a decoded zero byte ends it.
    return strlen(out);
}

void PrintBuffer(const char *, const void *, size_t) {}
void LogInfo(const char *, const char *) {}
