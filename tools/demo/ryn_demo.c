/*
 * ryn_demo: an example point-of-sale application in plain C.
 *
 * It registers receipt-printing callbacks, starts the service for the
 * activated terminal, waits for the terminal to connect, runs one payment,
 * prints the result and the receipt the terminal sent, and draws that
 * receipt into a PNG file. Everything it uses comes from RYNService.h.
 *
 *   ryn_demo [--amount MINOR_UNITS] [--currency CODE] [--receipt FILE.png]
 *            [--wait SECONDS]
 */
#include "RYNService.h"
#include "receipt_image.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* The receipt as the callbacks receive it; they run on the library's
 * service thread, the main thread reads it after the payment. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static char g_receiptText[16384];
static ReceiptImage *g_image;
static int g_receipts;

static void append_text(const char *line) {
    size_t used = strlen(g_receiptText);
    snprintf(g_receiptText + used, sizeof g_receiptText - used, "%s\n", line);
}

static void on_print_text(const char *text, unsigned char font, unsigned char justify, int sizeA, int sizeB,
                          int inverse, int bold, unsigned char charset) {
    (void)font, (void)sizeB, (void)inverse, (void)bold, (void)charset;
    pthread_mutex_lock(&g_lock);
    /* A text command may hold several lines. */
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", text);
    for (char *line = copy, *next; line; line = next) {
        next = strchr(line, '\n');
        if (next) *next++ = '\0';
        if (!next && *line == '\0') break;
        append_text(line);
        /* What the numbers mean is this application's choice: 1 centres,
         * 3 right-aligns, anything else (2 is the terminal's default) is
         * left-aligned. */
        receipt_image_text(g_image, line, justify == 1 ? 1 : justify == 3 ? 2 : 0, sizeA >= 2 ? 2 : 1);
    }
    pthread_mutex_unlock(&g_lock);
}

static void on_print_image(uint64_t width, uint64_t height, const unsigned char *data, unsigned int length,
                           unsigned char justify) {
    (void)data, (void)justify;
    pthread_mutex_lock(&g_lock);
    char note[96];
    snprintf(note, sizeof note, "[image %llux%llu, %u bytes]", (unsigned long long)width,
             (unsigned long long)height, length);
    append_text(note);
    receipt_image_text(g_image, note, 1, 1);
    pthread_mutex_unlock(&g_lock);
}

static void on_feed(unsigned int lines) {
    pthread_mutex_lock(&g_lock);
    for (unsigned int i = 0; i < lines && i < 10; i++) append_text("");
    receipt_image_feed(g_image, (int)(lines < 10 ? lines : 10));
    pthread_mutex_unlock(&g_lock);
}

static void on_cut(void) {
    pthread_mutex_lock(&g_lock);
    append_text("- - - - - - - - - - - - - - - - - - - -");
    receipt_image_cut(g_image);
    pthread_mutex_unlock(&g_lock);
}

static int on_start_receipt(unsigned char type) {
    (void)type;
    pthread_mutex_lock(&g_lock);
    g_receipts++;
    pthread_mutex_unlock(&g_lock);
    return 0; /* printer ready */
}

static int on_end_receipt(void) { return 0; /* printed */ }

static void usage(void) {
    fprintf(stderr,
            "usage: ryn_demo [--amount MINOR_UNITS] [--currency CODE] [--receipt FILE.png] [--wait SECONDS]\n"
            "Runs one payment on the activated terminal and prints its receipt.\n");
}

int main(int argc, char **argv) {
    const char *amount = "2500", *currency = "978", *receiptPath = "receipt.png";
    int waitSeconds = 30;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--amount") && i + 1 < argc) amount = argv[++i];
        else if (!strcmp(argv[i], "--currency") && i + 1 < argc) currency = argv[++i];
        else if (!strcmp(argv[i], "--receipt") && i + 1 < argc) receiptPath = argv[++i];
        else if (!strcmp(argv[i], "--wait") && i + 1 < argc) waitSeconds = atoi(argv[++i]);
        else {
            usage();
            return 2;
        }
    }

    g_image = receipt_image_new(40);
    if (!g_image) return 1;
    RynCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.printText = on_print_text;
    callbacks.printImage = on_print_image;
    callbacks.feedPaper = on_feed;
    callbacks.cutPaper = on_cut;
    callbacks.startReceipt = on_start_receipt;
    callbacks.endReceipt = on_end_receipt;
    registerCallback(callbacks); /* before the service starts */

    /* TLS files, used when the activated terminal says UseSsl=1. */
    const char *tlsDir = getenv("RYN_DEMO_TLS_DIR");
    if (tlsDir) {
        char path[4][256];
        snprintf(path[0], sizeof path[0], "%s/host.pem", tlsDir);
        snprintf(path[1], sizeof path[1], "%s/host.key", tlsDir);
        snprintf(path[2], sizeof path[2], "%s/dh.pem", tlsDir);
        snprintf(path[3], sizeof path[3], "%s/ca.pem", tlsDir);
        if (!setClientCertificate(path[0], (int)strlen(path[0])) ||
            !setClientKey(path[1], (int)strlen(path[1]), "", 0) || !setDHFile(path[2], (int)strlen(path[2])) ||
            !setRootCA(path[3], (int)strlen(path[3]))) {
            fprintf(stderr, "ryn_demo: TLS file paths too long\n");
            return 2;
        }
        printf("TLS: the terminal must present a certificate signed by %s\n", path[3]);
    }

    if (!startRynService()) {
        fprintf(stderr, "ryn_demo: the service did not start (see /tmp/RYNLog.txt)\n");
        return 1;
    }
    printf("Service started; waiting up to %d s for the terminal...\n", waitSeconds);
    fflush(stdout);
    char connected = 0;
    for (int i = 0; i < waitSeconds * 10 && !connected; i++) {
        serverStatus(&connected);
        if (!connected) nanosleep(&(struct timespec){0, 100000000}, NULL);
    }
    if (!connected) {
        fprintf(stderr, "ryn_demo: no terminal connected (is the simulator running?)\n");
        stopRynService();
        return 1;
    }
    printf("Terminal connected.\n");

    ITransactionIn *in = create_itransactionin();
    ITransactionOut *out = create_itransactionout();
    if (!in || !out || !in->fn->setAmount(in, amount) || !in->fn->setCurrencyCode(in, currency) ||
        !in->fn->setOperation(in, "C") || !in->fn->setTermNum(in, "1")) {
        fprintf(stderr, "ryn_demo: invalid amount or currency\n");
        stopRynService();
        return 2;
    }
    printf("Payment of %s (minor units, currency %s)...\n", amount, currency);
    fflush(stdout);
    int ok = doTransaction(in, out);
    int status = 0;
    if (!ok) {
        printf("Payment FAILED: no answer from the terminal (see /tmp/RYNLog.txt)\n");
        status = 1;
    } else {
        int approved = strcmp(out->fn->getKxError(out), "0000") == 0;
        printf("Payment %s: amount %s, currency %s, terminal %s, error code %s\n", approved ? "APPROVED" : "DECLINED",
               out->fn->getAmount(out), out->fn->getCurrencyCode(out), out->fn->getTerminalNumber(out),
               out->fn->getKxError(out));
        status = approved ? 0 : 3;
    }

    pthread_mutex_lock(&g_lock);
    printf("\nReceipt (%d printed by the terminal on this host):\n%s\n", g_receipts, g_receiptText);
    if (receipt_image_write_png(g_image, receiptPath) == 0)
        printf("Receipt image written to %s\n", receiptPath);
    else
        fprintf(stderr, "ryn_demo: could not write %s\n", receiptPath);
    pthread_mutex_unlock(&g_lock);

    ryn_transaction_in_release(in);
    ryn_transaction_out_release(out);
    stopRynService();
    receipt_image_free(g_image);
    return status;
}
