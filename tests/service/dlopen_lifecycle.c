/*
 * Loads the real libRYNService.so with dlopen, as an application would,
 * and runs the service through its lifecycle. Runs inside a private mount
 * namespace (tests/run_private.sh): /tmp and the home directory are private.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;
#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                      \
        }                                                                    \
    } while (0)

typedef int (*int_fn)(void);
typedef int (*status_fn)(char *);

static char *read_log(void) {
    FILE *f = fopen("/tmp/RYNLog.txt", "rb");
    if (!f) return NULL;
    char *buf = calloc(1, 2 << 20);
    size_t n = fread(buf, 1, (2 << 20) - 1, f);
    buf[n] = 0;
    fclose(f);
    return buf;
}

/* Occurrences of a text in the log; the log only grows in these runs. */
static int log_count(const char *text) {
    char *log = read_log();
    int count = 0;
    if (log) {
        for (const char *p = log; (p = strstr(p, text)) != NULL; p += strlen(text)) count++;
        free(log);
    }
    return count;
}

static void write_activation(const char *content) {
    const char *home = getenv("RYN_TEST_HOME");
    char path[512];
    snprintf(path, sizeof path, "%s/.CalvorinKestova", home);
    mkdir(path, 0700);
    snprintf(path, sizeof path, "%s/.CalvorinKestova/KestovaLinux.txt", home);
    FILE *f = fopen(path, "wb");
    if (!f) { perror(path); exit(2); }
    fputs(content, f);
    fclose(f);
}

static void *must_sym(void *lib, const char *name) {
    void *p = dlsym(lib, name);
    if (!p) { fprintf(stderr, "missing symbol %s\n", name); exit(2); }
    return p;
}

int main(int argc, char **argv) {
    if (argc < 2 || !getenv("RYN_TEST_HOME")) {
        fprintf(stderr, "usage: run through run_private.sh with the library path\n");
        return 2;
    }
    struct stat st;
    CHECK(stat("/tmp/RYNLog.txt", &st) != 0 && errno == ENOENT); /* private /tmp */

    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) { fprintf(stderr, "dlopen: %s\n", dlerror()); return 2; }
    int_fn start = (int_fn)must_sym(lib, "startRynService");
    int_fn stop = (int_fn)must_sym(lib, "stopRynService");
    int_fn init = (int_fn)must_sym(lib, "PDA_ManagerInitialize");
    status_fn status = (status_fn)must_sym(lib, "serverStatus");

    /* The load hook opened the log and created the container. */
    CHECK(stat("/tmp/RYNLog.txt", &st) == 0);
    CHECK((st.st_mode & 0777) == 0600);
    CHECK(log_count("PDA_Manager: DllMain attached") == 1);
    CHECK(log_count("PDA_Manager::PDA_Manager() ") == 1);

    /* Before any start: not active. */
    char s = 42;
    CHECK(status(&s) == 0 && s == 42);
    CHECK(log_count("ERROR_SERVICE_NOT_ACTIVE") == 1);

    /* No activation file: serial mode, start still succeeds. */
    CHECK(start() == 1);
    CHECK(log_count("Unable to read file KestovaLinux, maybe file don't exists") == 1);
    CHECK(log_count("start_rynsock") >= 1);
    CHECK(status(&s) == 1 && s == 0);
    CHECK(start() == 0);
    CHECK(log_count("ERROR_RYN_SERVICE_ALREADY_STARTED") == 1);
    CHECK(stop() == 1);
    CHECK(log_count("Com stopped") == 1 && log_count("Terminated ") == 1);
    CHECK(stop() == 0);
    CHECK(log_count("ERROR_RYN_SERVICE_NOT_STARTED") == 1);
    CHECK(status(&s) == 0);

    /* Start again, now as an IP terminal: the file is re-read. */
    write_activation("Type=3;AddrIP=127.0.0.1;Name=lab terminal;UseSsl=0");
    CHECK(start() == 1);
    CHECK(log_count("GetActivatedCompanion lab terminal Type:3") == 1);
    CHECK(log_count("start ip mode") == 1);
    CHECK(stop() == 1);
    CHECK(log_count("Terminated ") == 2);

    /* Services created without a start: start refuses, stop stops. */
    CHECK(init() == 0);
    CHECK(start() == 0);
    CHECK(log_count("ERROR_RYN_SERVICE_ALREADY_STARTED") == 2);
    CHECK(stop() == 1);
    CHECK(log_count("Terminated ") == 3);

    /* Unloading while running stops the service first. */
    write_activation("Name=/dev/null;Type=0");
    CHECK(start() == 1);
    CHECK(dlclose(lib) == 0);
    CHECK(log_count("PDA_Manager: DllMain detached") == 1);
    CHECK(log_count("Terminated ") == 4);
    /* The log was closed last: the end marker follows the newest record. */
    char *log = read_log();
    CHECK(log && strstr(log, "Terminated \n******************** END OF TRACE ********************"));
    free(log);

    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("dlopen lifecycle: all checks passed\n");
    return 0;
}
