// Portable wrappers of the network code: bounded formatting and copying,
// error texts, a trace that logs its text verbatim, and two text helpers.
// All functions are reentrant; _ryn_strerror returns a per-thread buffer.
#pragma once

#include <cstddef>

// Bounded formatted print: at most size - 1 characters and a NUL.
int _ryn_sprintf(char *buffer, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
// Copies text, at most size - 1 characters and a NUL (nothing when size is 0).
void _ryn_strcpy(char *buffer, size_t size, const char *text);
// The system's message for an error number (valid until the thread's next call).
const char *_ryn_strerror(int code);
// The calling thread's last system error number.
int _ryn_socket_error();
// Formats into 2,048 bytes (truncating) and logs the text as it is: a "%"
// inside a traced value is written unchanged. The level is not used.
void _ryn_trace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Removes trailing spaces in place; returns text.
char *PurgeTrailingSpaces(char *text);
// Decodes Base64 text ("+" is 62, "-" is 63, "=" pads, any other character
// is skipped) into out, NUL-terminated, writing at most outSize bytes in all.
// Returns the number of decoded bytes stored (before the NUL).
size_t DecodeAuth(const char *text, char *out, size_t outSize);
void PrintBuffer(const char *title, const void *data, size_t len);
void LogInfo(const char *a, const char *b);
