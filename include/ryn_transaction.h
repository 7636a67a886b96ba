/*
 * Payment transactions.
 *
 * Fill a TransactionIn (amount, currency, operation, ...), run it with
 * doTransaction and read the result from a TransactionOut. Both objects
 * come from create_itransactionin / create_itransactionout and are released
 * through their interface (C: ryn_transaction_in_release). doTransaction
 * blocks the calling thread until the terminal answers (up to 15 minutes);
 * one transaction runs at a time, others wait for the channel.
 *
 * From C++ the objects are ordinary abstract classes; from C they are
 * structures whose first member points at their table of functions, in the
 * same order, each taking the object itself first.
 */
#ifndef RYN_TRANSACTION_H
#define RYN_TRANSACTION_H

#ifdef __cplusplus

class ITransactionIn {
public:
    /* Each setter: false (field unchanged) when the text is too long. */
    virtual bool setAmount(const char *amount) = 0;          /* <= 12 digits, minor units */
    virtual const char *getAmount() = 0;                     /* 12 characters, not NUL-terminated */
    virtual bool setTermNum(const char *number) = 0;         /* <= 8 characters */
    virtual const char *getTermNum() = 0;
    virtual bool setCurrencyCode(const char *code) = 0;      /* <= 3 characters, e.g. "978" */
    virtual const char *getCurrencyCode() = 0;
    virtual bool setOperation(const char *operation) = 0;    /* 1 character, e.g. "C" debit */
    virtual const char *getOperation() = 0;
    virtual bool setAuthorizationType(const char *type) = 0; /* 1 character */
    virtual const char *getAuthorizationType() = 0;
    virtual bool setCtrlCheque(const char *control) = 0;     /* 1 character */
    virtual const char *getCtrlCheque() = 0;
    virtual bool setUserData1(const char *data) = 0;         /* <= 32 characters */
    virtual const char *getUserData1() = 0;
    virtual ~ITransactionIn() {}
};

class ITransactionOut {
public:
    /* NUL-terminated strings, filled by doTransaction. */
    virtual const char *getAmount() = 0;         /* 12 digits */
    virtual const char *getKxError() = 0;        /* "0000" approved, else declined/failed */
    virtual const char *getCurrencyCode() = 0;   /* 3 */
    virtual const char *getTerminalNumber() = 0; /* 8 */
    virtual const char *getUserData1() = 0;      /* 32 */
    virtual const char *getPrivateData() = 0;    /* 73 */
    virtual ~ITransactionOut() {}
};

extern "C" {

#else /* C */

#include <stdbool.h>

typedef struct ITransactionIn ITransactionIn;
typedef struct ITransactionOut ITransactionOut;

typedef struct ITransactionInFunctions {
    bool (*setAmount)(ITransactionIn *self, const char *amount);
    const char *(*getAmount)(ITransactionIn *self);
    bool (*setTermNum)(ITransactionIn *self, const char *number);
    const char *(*getTermNum)(ITransactionIn *self);
    bool (*setCurrencyCode)(ITransactionIn *self, const char *code);
    const char *(*getCurrencyCode)(ITransactionIn *self);
    bool (*setOperation)(ITransactionIn *self, const char *operation);
    const char *(*getOperation)(ITransactionIn *self);
    bool (*setAuthorizationType)(ITransactionIn *self, const char *type);
    const char *(*getAuthorizationType)(ITransactionIn *self);
    bool (*setCtrlCheque)(ITransactionIn *self, const char *control);
    const char *(*getCtrlCheque)(ITransactionIn *self);
    bool (*setUserData1)(ITransactionIn *self, const char *data);
    const char *(*getUserData1)(ITransactionIn *self);
    void (*destroyInPlace)(ITransactionIn *self); /* not for applications */
    void (*release)(ITransactionIn *self);        /* destroys and frees */
} ITransactionInFunctions;

struct ITransactionIn {
    const ITransactionInFunctions *fn;
};

typedef struct ITransactionOutFunctions {
    const char *(*getAmount)(ITransactionOut *self);
    const char *(*getKxError)(ITransactionOut *self);
    const char *(*getCurrencyCode)(ITransactionOut *self);
    const char *(*getTerminalNumber)(ITransactionOut *self);
    const char *(*getUserData1)(ITransactionOut *self);
    const char *(*getPrivateData)(ITransactionOut *self);
    void (*destroyInPlace)(ITransactionOut *self); /* not for applications */
    void (*release)(ITransactionOut *self);        /* destroys and frees */
} ITransactionOutFunctions;

struct ITransactionOut {
    const ITransactionOutFunctions *fn;
};

static inline void ryn_transaction_in_release(ITransactionIn *in) { if (in) in->fn->release(in); }
static inline void ryn_transaction_out_release(ITransactionOut *out) { if (out) out->fn->release(out); }

#endif

/* New objects; null when out of memory. */
ITransactionIn *create_itransactionin(void);
ITransactionOut *create_itransactionout(void);

/* Runs a payment. 1: the terminal answered and `out` holds its result (see
 * getKxError for approval); 0: no answer (service not running, no
 * terminal, timeout, malformed answer; see the log). */
int doTransaction(ITransactionIn *in, ITransactionOut *out);

/* The same with an application number (0: none) and extended data both
 * ways. *pnRspExtendedDataSize: capacity of pRspExtendedData on entry, bytes
 * received on return (0 when none). */
int doTransactionEx(ITransactionIn *in, ITransactionOut *out, unsigned int nApplicationNumber,
                    const unsigned char *pReqExtendedData, unsigned int nReqExtendedDataSize,
                    unsigned char *pRspExtendedData, unsigned int *pnRspExtendedDataSize);

#ifdef __cplusplus
}
#endif

#endif
