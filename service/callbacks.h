// The application's callback table. Slots are atomics: the application may
// register while service threads read them. Services load a slot once and
// call the loaded pointer (a null slot takes the service's default path).
#pragma once

#include "ryn_callbacks.h"

#include <atomic>

struct CallbackTable {
    std::atomic<RynBarcodeEventCallback> barcodeEvent{nullptr};
    std::atomic<RynSignCapCallback> signatureCapture{nullptr};
    std::atomic<RynPrintTextCallback> printText{nullptr};
    std::atomic<RynPrintImageCallback> printImage{nullptr};
    std::atomic<RynFeedPaperCallback> feedPaper{nullptr};
    std::atomic<RynCutPaperCallback> cutPaper{nullptr};
    std::atomic<RynStartReceiptCallback> startReceipt{nullptr};
    std::atomic<RynEndReceiptCallback> endReceipt{nullptr};
    std::atomic<RynAddSignatureCallback> addSignature{nullptr};
    std::atomic<RynBarcodeClosedCallback> barcodeClosed{nullptr};
    std::atomic<RynBarcodeEventExtCallback> barcodeEventExt{nullptr};
};

extern CallbackTable g_sCallbacks;
