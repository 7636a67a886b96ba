#include "service/callbacks.h"

CallbackTable g_sCallbacks;

extern "C" {

void registerBarcodeEventCallback(RynBarcodeEventCallback callback) { g_sCallbacks.barcodeEvent = callback; }
void registerSignCapCallback(RynSignCapCallback callback) { g_sCallbacks.signatureCapture = callback; }
void registerBarcodeEventExtCallback(RynBarcodeEventExtCallback callback) { g_sCallbacks.barcodeEventExt = callback; }

void registerCallback(RynCallbacks table) {
    g_sCallbacks.barcodeEvent = table.barcodeEvent;
    g_sCallbacks.signatureCapture = table.signatureCapture;
    g_sCallbacks.printText = table.printText;
    g_sCallbacks.printImage = table.printImage;
    g_sCallbacks.feedPaper = table.feedPaper;
    g_sCallbacks.cutPaper = table.cutPaper;
    g_sCallbacks.startReceipt = table.startReceipt;
    g_sCallbacks.endReceipt = table.endReceipt;
    g_sCallbacks.addSignature = table.addSignature;
    g_sCallbacks.barcodeClosed = table.barcodeClosed;
    g_sCallbacks.barcodeEventExt = table.barcodeEventExt;
}

}  // extern "C"
