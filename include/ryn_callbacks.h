/*
 * Application callbacks.
 *
 * The terminal asks the host to print receipts, capture a signature or
 * deliver a scanned barcode; the library calls these functions for that, on
 * its own service thread (never on the thread that registered them). A slow
 * callback delays the terminal's next request. Registering is safe at any
 * time, also while the service runs; a null pointer clears a slot.
 */
#ifndef RYN_CALLBACKS_H
#define RYN_CALLBACKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Slot 0: a scanned code (NUL-terminated copy) and its length. */
typedef void (*RynBarcodeEventCallback)(const char *code, unsigned int length);
/* Slot 1: capture a signature of width x height within timeoutMs; write the
 * image into buffer, its size into *length; return 0 on success. */
typedef int (*RynSignCapCallback)(unsigned short width, unsigned short height,
                                  unsigned int timeoutMs, unsigned char *buffer,
                                  unsigned int *length);
/* Slot 2: print a line of text with the terminal's formatting. */
typedef void (*RynPrintTextCallback)(const char *text, unsigned char font,
                                     unsigned char justify, int sizeFactorA,
                                     int sizeFactorB, int inverse, int bold,
                                     unsigned char charset);
/* Slot 3: print a monochrome image. */
typedef void (*RynPrintImageCallback)(uint64_t width, uint64_t height,
                                      const unsigned char *data,
                                      unsigned int length,
                                      unsigned char justify);
/* Slot 4: feed the paper by a number of lines. */
typedef void (*RynFeedPaperCallback)(unsigned int lines);
/* Slot 5: cut the paper. */
typedef void (*RynCutPaperCallback)(void);
/* Slot 6: a receipt begins; return 0 when the printer is ready. */
typedef int (*RynStartReceiptCallback)(unsigned char receiptType);
/* Slot 7: the receipt ends; return 0 when it was printed. */
typedef int (*RynEndReceiptCallback)(void);
/* Slot 8: leave room for the cardholder's signature. */
typedef void (*RynAddSignatureCallback)(void);
/* Slot 9: the terminal closed its barcode reader. */
typedef void (*RynBarcodeClosedCallback)(void);
/* Slot 10: a scanned code with its symbology identifier text. */
typedef void (*RynBarcodeEventExtCallback)(const char *code, unsigned int length,
                                           const char *symbology,
                                           unsigned int symbologyLength);

/* All eleven slots, in slot order, for registerCallback. */
typedef struct RynCallbacks {
    RynBarcodeEventCallback barcodeEvent;       /* 0 */
    RynSignCapCallback signatureCapture;        /* 1 */
    RynPrintTextCallback printText;             /* 2 */
    RynPrintImageCallback printImage;           /* 3 */
    RynFeedPaperCallback feedPaper;             /* 4 */
    RynCutPaperCallback cutPaper;               /* 5 */
    RynStartReceiptCallback startReceipt;       /* 6 */
    RynEndReceiptCallback endReceipt;           /* 7 */
    RynAddSignatureCallback addSignature;       /* 8 */
    RynBarcodeClosedCallback barcodeClosed;     /* 9 */
    RynBarcodeEventExtCallback barcodeEventExt; /* 10 */
} RynCallbacks;

void registerBarcodeEventCallback(RynBarcodeEventCallback callback);
void registerSignCapCallback(RynSignCapCallback callback);
void registerBarcodeEventExtCallback(RynBarcodeEventExtCallback callback);
/* Replaces all eleven slots; null entries clear their slot. */
void registerCallback(RynCallbacks table);

#ifdef __cplusplus
}
#endif

#endif
