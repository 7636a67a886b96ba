/*
 * The public headers compile as C99, and every exported function and
 * variable has the type an application expects: each is taken by address
 * into a pointer of that exact type (a mismatch fails to compile).
 */
#include "RYNService.h"

#include <stdio.h>
#include <string.h>

static void on_barcode(const char *code, unsigned int length) { (void)code; (void)length; }

int main(void) {
    int (*p_start)(void) = startRynService;
    int (*p_stop)(void) = stopRynService;
    int (*p_status)(char *) = serverStatus;
    int (*p_init)(void) = PDA_ManagerInitialize;
    int (*p_pump)(int) = setExchangeWaitTime1us;
    void (*p_log_create)(void) = logCreate;
    void (*p_log_destroy)(void) = logDestroy;
    int (*p_log_init)(void) = logIsInitialized;
    void (*p_log_message)(LogObject, LogLevel, const char *, int, const void *, size_t, const char *, ...) = logMessage;
    void (*p_enable)(int) = enableDebugLog;
    int (*p_enabled)(void) = isDebugLogEnabled;
    unsigned char *p_switch = &isdebugLog;
    void (*p_reg_barcode)(RynBarcodeEventCallback) = registerBarcodeEventCallback;
    void (*p_reg_sign)(RynSignCapCallback) = registerSignCapCallback;
    void (*p_reg_barcode_ext)(RynBarcodeEventExtCallback) = registerBarcodeEventExtCallback;
    void (*p_reg_all)(RynCallbacks) = registerCallback;
    ITransactionIn *(*p_create_in)(void) = create_itransactionin;
    ITransactionOut *(*p_create_out)(void) = create_itransactionout;
    int (*p_do)(ITransactionIn *, ITransactionOut *) = doTransaction;
    int (*p_do_ex)(ITransactionIn *, ITransactionOut *, unsigned int, const unsigned char *, unsigned int,
                   unsigned char *, unsigned int *) = doTransactionEx;

    if (!p_pump || p_pump(999) != 0 || p_pump(10001) != 0 || p_pump(2500) != 1) return 1;
    if (!p_start || !p_stop || !p_status || !p_init || !p_log_create || !p_log_destroy || !p_log_init ||
        !p_log_message || !p_enable || !p_enabled || !p_switch || !p_reg_barcode || !p_reg_sign ||
        !p_reg_barcode_ext || !p_reg_all || !p_create_in || !p_create_out || !p_do || !p_do_ex)
        return 1;

    /* The transaction objects work from C through their function tables. */
    ITransactionIn *in = create_itransactionin();
    ITransactionOut *out = create_itransactionout();
    if (!in || !out) return 1;
    if (!in->fn->setAmount(in, "1234") || memcmp(in->fn->getAmount(in), "000000001234", 12) != 0) return 1;
    if (in->fn->setAmount(in, "1234567890123")) return 1;
    if (!in->fn->setOperation(in, "") || in->fn->getOperation(in)[0] != '0') return 1;
    if (!in->fn->setUserData1(in, "ab") || memcmp(in->fn->getUserData1(in) + 30, "ab", 2) != 0) return 1;
    if (strcmp(out->fn->getKxError(out), "") != 0 || strcmp(out->fn->getPrivateData(out), "") != 0) return 1;
    if (doTransaction(in, out) != 0) return 1; /* the service is not running */
    ryn_transaction_in_release(in);
    ryn_transaction_out_release(out);

    /* A table with eleven slots in order, passed by value. */
    RynCallbacks table = {0};
    table.barcodeEvent = on_barcode;
    registerCallback(table);
    if (sizeof(RynCallbacks) != 11 * sizeof(void (*)(void))) return 1;
    printf("C headers: all exports have their expected types\n");
    return 0;
}
