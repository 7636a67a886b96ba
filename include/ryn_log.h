/*
 * Trace log of the service library.
 *
 * One process-wide text file, "/tmp/RYNLog.txt", wrapping at 1 MiB behind an
 * end marker. Logging is on by default; there is no level filter, only on or
 * off. All functions are thread-safe and may be called before the service is
 * started or after it is stopped.
 */
#ifndef RYN_LOG_H
#define RYN_LOG_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum LogLevel {
    LOG_FATAL = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 3,
    LOG_DEBUG = 4,
    LOG_SEND = 5,
    LOG_RECEIVE = 6,
    LOG_BINARY = 7,
    /* Any int is a valid level (written as "UNKNOWN:"); keeps the enum 32-bit. */
    LOG_LEVEL_MIN_ = -0x7fffffff - 1,
    LOG_LEVEL_MAX_ = 0x7fffffff
} LogLevel;

/* The module that logs; kept in the record, not written to the file. */
typedef enum LogObject {
    OBJ_CNX = 1,
    OBJ_INFO = 2,
    OBJ_SERVICE = 3,
    OBJ_POWER = 4,
    OBJ_SIGNCAPTURE = 6,
    OBJ_TIME = 7,
    OBJ_TRANSACTION = 8,
    OBJ_UPDATE = 9,
    OBJ_MANAGER = 10,
    OBJ_COM = 11,
    OBJ_MESSAGE = 12,
    OBJ_OKA_PRINTER = 13,
    OBJ_PRINTER = 15,
    OBJ_BARCODE = 16,
    OBJ_BACKLIGHT = 17,
    OBJ_NETWORK = 18,
    OBJ_FILESHARING = 19,
    OBJ_FILESHARING_PRIVATE = 20,
    OBJ_DEFAULT = 21,
    OBJ_MIN_ = -0x7fffffff - 1,
    OBJ_MAX_ = 0x7fffffff
} LogObject;

/* Switch consulted by the load hook; 1 at load. Change it with enableDebugLog. */
extern unsigned char isdebugLog;

/* Opens the log file if the log is off; does nothing when it is on. */
void logCreate(void);
/* Closes the log file; later records are dropped until logCreate. */
void logDestroy(void);
/* 1 while the log is on, else 0. Test it before formatting a record. */
int logIsInitialized(void);
/* Writes one record (message cut at 1023 characters). `file` must not be
 * null; `data` (may be null) is kept in the record but not written. */
void logMessage(LogObject object, LogLevel level, const char *file, int line,
                const void *data, size_t dataLength, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 7, 8)))
#endif
    ;
/* Sets isdebugLog and opens (non-zero) or closes (0) the log. */
void enableDebugLog(int enable);
/* The value of isdebugLog: 1 or 0. */
int isDebugLogEnabled(void);

#ifdef __cplusplus
}
#endif

#endif
