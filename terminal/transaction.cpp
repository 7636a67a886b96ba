// Payment transaction: records, CONCERT fields, exchange and pushed results.
#include "terminal/transaction.h"

#include "service/log.h"
#include "service/manager.h"
#include "services/channel_use.h"
#include "services/com.h"
#include "services/envelope.h"
#include "services/power.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace ryn::terminal {
namespace {

using ryn::services::DecodeStatus;

// Where each response child goes in transactionCONCERTResp_t.
struct RespField {
    uint32_t tag;
    size_t offset;
    size_t size;
};
constexpr RespField kRespFields[] = {
    {0x40002020, 0, 2},    // terminal number
    {0x40002021, 2, 1},    // status
    {0x40002022, 3, 8},    // amount
    {0x40002023, 11, 1},   //
    {0x40002024, 12, 3},   // currency
    {0x40002025, 15, 10},  // user data 1
    {0x40002026, 25, 19},  //
    {0x40002027, 44, 4},   //
    {0x40002028, 48, 9},   //
    {0x40002029, 57, 35},  //
    {0x4000202A, 92, 38},  //
    {0x4000202B, 130, 10}, //
    {0x4000202C, 140, 10}, //
    {0x4000202D, 150, 55}, // Zone_REP
    {0x4000202E, 205, 10}, // Zone_PRIV
};
const RespField *findField(uint32_t tag) {
    for (const auto &f : kRespFields)
        if (f.tag == tag) return &f;
    return nullptr;
}
constexpr size_t kRespTermNum = 0, kRespStatus = 2, kRespAmount = 3, kRespCurrency = 12, kRespUserData = 15;

// A fixed field: right-aligned, left-padded with '0'; false when too long.
bool setPadded(char *field, size_t size, const char *text) {
    if (!text) return false;
    size_t n = strnlen(text, size + 1);
    if (n > size) return false;
    memset(field, '0', size - n);
    memcpy(field + size - n, text, n);
    return true;
}

// A one-character field; empty sets '0'.
bool setSingle(char *field, const char *text) {
    if (!text) return false;
    size_t n = strnlen(text, 2);
    if (n > 1) return false;
    *field = n ? text[0] : '0';
    return true;
}

char modeFor(char operation) {
    switch (operation) {
        case 'C':
        case 'G': return '0';
        case 'D': return '1';
        case 'H':
        case 'J':
        case 'U': return '2';
        case 'I': return 'A';
        case 'K': return '3';
        default: return ' ';
    }
}

// Copies a received field; a value shorter than its field leaves the rest
// of the output as it was (spaces or '0' padding), never NUL bytes inside
// the character record.
void copyField(const transactionCONCERTResp_t &resp, size_t from, size_t size, char *out, size_t to) {
    const void *end = memchr(resp.bytes + from, 0, size);
    const size_t n = end ? size_t(static_cast<const unsigned char *>(end) - (resp.bytes + from)) : size;
    memcpy(out + to, resp.bytes + from, n);
}

void copyIfReceived(const transactionCONCERTResp_t &resp, size_t from, size_t size, char *out, size_t to) {
    if (resp.bytes[from] != 0) copyField(resp, from, size, out, to);
}

std::string hex(const void *data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace

void buildConcertRequest(const char *record, ConcertRequest &r) {
    memset(&r, ' ', sizeof r);
    const char operation = record[in::kOperation];
    memcpy(r.termNum, record + in::kTermNum + in::kTermNumLen - 2, 2);
    if (operation == 'I')
        memcpy(r.amount, "00000000", 8);
    else
        memcpy(r.amount, record + in::kAmount + in::kAmountLen - 8, 8);
    r.constant2 = '1';
    r.constant3 = '0';
    r.mode = modeFor(operation);
    memcpy(r.currency, record + in::kCurrency, 3);
    if (record[in::kUserData1] != ' ') memcpy(r.userData, record + in::kUserData1 + in::kUserData1Len - 10, 10);
    r.constant7 = '1';
    const char auth = record[in::kAuthType];
    const char cheque = record[in::kCtrlCheque];
    if (auth == '1' || (auth == '2' && cheque == '1'))
        r.authType = '1';
    else if (auth == '2' && cheque == '2')
        r.authType = '2';
}

sTLV_TREE_NODE *encodeTransactionRequest(const ConcertRequest &r, uint32_t applicationNumber,
                                         const unsigned char *extData, uint32_t extSize) {
    sTLV_TREE_NODE *root = TlvTree_New(kTagTransactionReq);
    if (!root) return nullptr;
    struct {
        uint32_t tag;
        const char *value;
        uint32_t size;
    } children[] = {
        {0x40002000, r.termNum, 2},  {0x40002001, r.amount, 8},    {0x40002002, &r.constant2, 1},
        {0x40002003, &r.constant3, 1}, {0x40002004, &r.mode, 1},   {0x40002005, r.currency, 3},
        {0x40002006, r.userData, 10}, {0x40002007, &r.constant7, 1}, {0x40002008, &r.authType, 1},
    };
    bool ok = true;
    for (const auto &c : children)
        if (c.value[0] != ' ') ok = ok && TlvTree_AddChild(root, c.tag, c.value, c.size);
    if (applicationNumber != 0) ok = ok && TlvTree_AddChildInteger(root, 0x4000200A, applicationNumber, 4);
    if (extData && extSize != 0) ok = ok && TlvTree_AddChild(root, 0x40002009, extData, extSize);
    if (!ok) {
        TlvTree_Release(root);
        return nullptr;
    }
    return root;
}

int decodeTransactionResponse(const unsigned char *message, size_t length, uint32_t expectedRoot,
                              transactionCONCERTResp_t &resp, unsigned char *extData, uint32_t *extSize) {
    memset(&resp, 0, sizeof resp);
    const uint32_t extCapacity = extSize ? *extSize : 0;
    if (extSize) *extSize = 0;  // no extended data unless it arrives
    sTLV_TREE_NODE *tree = nullptr;
    if (ryn::services::TLVTree_DecodeServiceMsg(message, length, &tree) != DecodeStatus::Ok) return 0;
    std::unique_ptr<sTLV_TREE_NODE, void (*)(sTLV_TREE_NODE *)> owner(tree, TlvTree_Release);
    if (TlvTree_GetTag(tree) != expectedRoot) {
        // Reporting "declined" for an answer we cannot read could hide an
        // approved payment: it is a failure, not an empty success.
        RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Transaction answer with root 0x%08X instead of 0x%08X",
                TlvTree_GetTag(tree), expectedRoot);
        return 0;
    }
    int result = 1;
    for (sTLV_TREE_NODE *child = TlvTree_GetFirstChild(tree); child; child = TlvTree_GetNext(child)) {
        const uint32_t tag = TlvTree_GetTag(child);
        const uint32_t size = TlvTree_GetLength(child);
        const auto *value = static_cast<const unsigned char *>(TlvTree_GetData(child));
        RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "PDA_TAG_TRANSACTION_RSP child = 0x%x ", tag);
        if (tag == kTagRspExtendedData) {
            if (extData && extSize && value && size != 0) {
                if (extCapacity >= size) {
                    memcpy(extData, value, size);
                    *extSize = size;
                    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Extended data output");
                } else {
                    RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Extended data buffer too small (%d > %d) ", int(size),
                            int(extCapacity));
                    result = 0;
                }
            } else {
                RYN_LOG(OBJ_TRANSACTION, LOG_ERROR,
                        "Invalid extended data parameters (cLength=%d, pnExtendedDataSize=%x, pExtendedData=%x ",
                        int(size), unsigned(extSize != nullptr), unsigned(extData != nullptr));
                result = 0;
            }
            continue;
        }
        const RespField *field = findField(tag);
        if (!field || !value) continue;
        memcpy(resp.bytes + field->offset, value, size < field->size ? size : field->size);
        if (tag == 0x4000202D)
            RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Zone_Rep received: %.*s ", int(size < 55 ? size : 55), value);
        if (tag == 0x4000202E)
            RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Zone_Priv received: %.*s ", int(size < 10 ? size : 10), value);
    }
    if (!result && extSize) *extSize = 0;
    return result;
}

void translationFromCONCERTtoKx(const transactionCONCERTResp_t &resp, char *out) {
    memset(out, ' ', kOutputRecordSize);
    if (resp.bytes[kRespAmount] != 0) {
        memcpy(out, "000000000000", 12);
        copyField(resp, kRespAmount, 8, out, 4);
    }
    copyIfReceived(resp, kRespCurrency, 3, out, 12);
    memcpy(out + 34, resp.bytes[kRespStatus] == '0' ? "0000" : "0001", 4);
    copyIfReceived(resp, 25, 19, out, 39);
    copyIfReceived(resp, 48, 9, out, 58);
    if (resp.bytes[kRespTermNum] != 0) {
        memcpy(out + 68, "00000000", 8);
        copyField(resp, kRespTermNum, 2, out, 74);
    }
    copyIfReceived(resp, 92, 38, out, 77);
    copyIfReceived(resp, 57, 35, out, 115);
    copyIfReceived(resp, 44, 4, out, 158);
    if (resp.bytes[kRespUserData] != 0) {
        memset(out + 355, '0', 32);
        copyField(resp, kRespUserData, 10, out, 377);
    }
    if (resp.bytes[150] != 0) {
        copyField(resp, 150, 55, out, 439);
        RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Zone_REP = %.55s ", out + 439);
    }
    if (resp.bytes[205] != 0) {
        copyField(resp, 205, 10, out, 494);
        RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Zone_PRIV = %.10s ", out + 494);
    }
}

int DoTransactionEx(PDA_Manager *manager, uint32_t applicationNumber, const char *requestRecord,
                    char *outputRecord, const unsigned char *reqExtData, uint32_t reqExtSize,
                    unsigned char *rspExtData, uint32_t *rspExtSize) {
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO,
            "Do TransactionEx pPDA_Manager=0x%x, nApplicationNumber=0x%x, pTransactionReqIn=0x%x, "
            "pTransactionRepOut=0x%x, pReqExtendedData=0x%x, nReqExtendedDataSize=0x%x, pRspExtendedData=0x%x, "
            "pnRspExtendedDataSize=0x%x",
            unsigned(uintptr_t(manager)), applicationNumber, unsigned(uintptr_t(requestRecord)),
            unsigned(uintptr_t(outputRecord)), unsigned(uintptr_t(reqExtData)), reqExtSize,
            unsigned(uintptr_t(rspExtData)), unsigned(uintptr_t(rspExtSize)));
    if (!manager || !requestRecord || !outputRecord) return 0;
    Com *com = manager->com.load();
    if (!com) return 0;
    transactionCONCERTResp_t resp{};
    memset(outputRecord, ' ', kOutputRecordSize);

    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Do Transaction (amount = %.12s)", requestRecord + in::kAmount);
    ConcertRequest request;
    buildConcertRequest(requestRecord, request);
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Do Transaction (Kx amount = %.8s)", request.amount);
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Start transaction");
    RYN_LOG_DATA(OBJ_TRANSACTION, LOG_BINARY, &request, sizeof request, "Transaction request %s",
                 hex(&request, sizeof request).c_str());
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Encode transaction ");
    sTLV_TREE_NODE *tree = encodeTransactionRequest(request, applicationNumber, reqExtData, reqExtSize);
    std::string envelope = tree ? ryn::services::serializeTlv(tree) : std::string();
    TlvTree_Release(tree);
    if (envelope.empty() || envelope.size() > kMaxRequestEnvelope) {
        RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Transaction failed");
        if (rspExtSize) *rspExtSize = 0;
        return 0;
    }

    int result = 0;
    {
        ryn::services::ChannelUse channel(*com, manager->power.load());
        if (!channel) {
            RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Transaction failed");
            if (rspExtSize) *rspExtSize = 0;
            return 0;
        }
        RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Do Transaction (timeout = %d)", int(kExchangeTimeoutMs));
        std::vector<unsigned char> answer(kResponseBufferSize);
        int n = com->ExchangeMsg(channel.slot(), kExchangeTimeoutMs,
                                 reinterpret_cast<const unsigned char *>(envelope.data()),
                                 uint32_t(envelope.size()), answer.data(), uint32_t(answer.size()));
        if (n > 0)
            result = decodeTransactionResponse(answer.data(), size_t(n), kTagTransactionRsp, resp, rspExtData,
                                               rspExtSize);
        else if (rspExtSize)
            *rspExtSize = 0;
        if (result == 1) {
            RYN_LOG_DATA(OBJ_TRANSACTION, LOG_BINARY, resp.bytes, sizeof resp.bytes, "Transaction response %s",
                         hex(resp.bytes, sizeof resp.bytes).c_str());
            translationFromCONCERTtoKx(resp, outputRecord);
        } else {
            RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Transaction failed");
        }
    }
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "End transaction");
    return result;
}

int DoTransaction(PDA_Manager *manager, const char *requestRecord, char *outputRecord) {
    return DoTransactionEx(manager, 0, requestRecord, outputRecord, nullptr, 0, nullptr, nullptr);
}

int ReadTransactionResult(PDA_Manager *manager, char *outputRecord) {
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Entered ReadTransactionResult ");
    if (!manager || !outputRecord) return 0;
    AutoLock lock(manager->transactionResultLock);
    if (!manager->transactionResult) {
        RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "No transaction result received yet ");
        return 0;
    }
    translationFromCONCERTtoKx(*manager->transactionResult, outputRecord);
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Exit ReadTransactionResult ");
    return 1;
}

int ReceiveTransactionResult(ryn::services::ServiceConnection &connection, const unsigned char *message,
                             uint32_t length) {
    PDA_Manager *manager = gpPDA_Manager.load();
    if (!manager) return -1;
    // Decode into a temporary record: a malformed push never wipes the
    // result already stored.
    transactionCONCERTResp_t decoded{};
    const bool ok = decodeTransactionResponse(message, length, kTagPushedResultReq, decoded, nullptr, nullptr) == 1;
    if (ok) {
        AutoLock lock(manager->transactionResultLock);
        if (!manager->transactionResult) {
            manager->transactionResult = new (std::nothrow) transactionCONCERTResp_t{};
            if (!manager->transactionResult) {
                RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Not enough memory to allocate transactionCONCERTResp_t ");
                return -1;
            }
        }
        *manager->transactionResult = decoded;
    }
    RYN_LOG(OBJ_TRANSACTION, LOG_INFO, "Transaction Result state = %s ", ok ? "Success" : "Failure");
    sTLV_TREE_NODE *answer = TlvTree_New(kTagPushedResultRsp);
    if (!answer) return -1;
    unsigned char state = ok ? 1 : 0;
    std::string envelope;
    if (TlvTree_AddChild(answer, kTagPushedResultState, &state, 1)) envelope = ryn::services::serializeTlv(answer);
    TlvTree_Release(answer);
    if (envelope.empty()) return -1;
    return int(ryn::services::sendAll(connection, envelope.data(), envelope.size()));
}

TransactionIn::TransactionIn() { memset(record_, ' ', sizeof record_); }

bool TransactionIn::setAmount(const char *v) { return setPadded(record_ + in::kAmount, in::kAmountLen, v); }
bool TransactionIn::setTermNum(const char *v) { return setPadded(record_ + in::kTermNum, in::kTermNumLen, v); }
bool TransactionIn::setCurrencyCode(const char *v) { return setPadded(record_ + in::kCurrency, in::kCurrencyLen, v); }
bool TransactionIn::setOperation(const char *v) { return setSingle(record_ + in::kOperation, v); }
bool TransactionIn::setAuthorizationType(const char *v) { return setSingle(record_ + in::kAuthType, v); }
bool TransactionIn::setCtrlCheque(const char *v) { return setSingle(record_ + in::kCtrlCheque, v); }
bool TransactionIn::setUserData1(const char *v) { return setPadded(record_ + in::kUserData1, in::kUserData1Len, v); }

void TransactionIn::fillRequestRecord(char *record) {
    memset(record, ' ', kRequestRecordSize);
    memcpy(record + in::kAmount, getAmount(), in::kAmountLen);
    memcpy(record + in::kAuthType, getAuthorizationType(), 1);
    memcpy(record + in::kCtrlCheque, getCtrlCheque(), 1);
    memcpy(record + in::kCurrency, getCurrencyCode(), in::kCurrencyLen);
    memcpy(record + in::kOperation, getOperation(), 1);
    memcpy(record + in::kTermNum, getTermNum(), in::kTermNumLen);
    memcpy(record + in::kUserData1, getUserData1(), in::kUserData1Len);
}

TransactionOut::TransactionOut() {
    amount_[0] = kxError_[0] = currency_[0] = termNum_[0] = userData1_[0] = privateData_[0] = '\0';
}

void TransactionOut::fillFromOutputRecord(const char *out) {
    auto take = [out](char *dst, size_t from, size_t size) {
        memcpy(dst, out + from, size);
        dst[size] = '\0';
    };
    take(amount_, 0, 12);
    take(currency_, 12, 3);
    take(kxError_, 34, 4);
    take(termNum_, 68, 8);
    take(userData1_, 355, 32);
    take(privateData_, 439, 73);
}

}  // namespace ryn::terminal

using namespace ryn::terminal;

namespace {

// Both transaction entry points: checks, records, and the call.
int runTransaction(ITransactionIn *in, ITransactionOut *out, uint32_t app, const unsigned char *reqExt,
                   uint32_t reqExtSize, unsigned char *rspExt, unsigned int *rspExtSize, bool extended) {
    try {
        ryn::OperationGuard op;
        if (!op) {
            RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_SERVICE_NOT_ACTIVE");
            return 0;
        }
        if (!in || !out) {
            RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_INVALID_USER_BUFFER");
            return 0;
        }
        // Only our own objects carry the records we read.
        auto *request = dynamic_cast<TransactionIn *>(in);
        auto *result = dynamic_cast<TransactionOut *>(out);
        if (!request || !result) {
            RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_INVALID_USER_BUFFER");
            return 0;
        }
        char record[kRequestRecordSize];
        char output[kOutputRecordSize];
        request->fillRequestRecord(record);
        int r = extended ? DoTransactionEx(op.manager(), app, record, output, reqExt, reqExtSize, rspExt, rspExtSize)
                         : DoTransaction(op.manager(), record, output);
        if (r != 1) return r;
        result->fillFromOutputRecord(output);
        return 1;
    } catch (...) {
        RYN_LOG(OBJ_TRANSACTION, LOG_ERROR, "Transaction failed");
        return 0;
    }
}

}  // namespace

extern "C" {

ITransactionIn *create_itransactionin(void) { return new (std::nothrow) TransactionIn(); }
ITransactionOut *create_itransactionout(void) { return new (std::nothrow) TransactionOut(); }

int doTransaction(ITransactionIn *in, ITransactionOut *out) {
    return runTransaction(in, out, 0, nullptr, 0, nullptr, nullptr, false);
}

int doTransactionEx(ITransactionIn *in, ITransactionOut *out, unsigned int nApplicationNumber,
                    const unsigned char *pReqExtendedData, unsigned int nReqExtendedDataSize,
                    unsigned char *pRspExtendedData, unsigned int *pnRspExtendedDataSize) {
    return runTransaction(in, out, nApplicationNumber, pReqExtendedData, nReqExtendedDataSize, pRspExtendedData,
                          pnRspExtendedDataSize, true);
}

}  // extern "C"
