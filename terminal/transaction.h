// Payment transaction: the application's records, the CONCERT request and
// response fields exchanged with the terminal, and the translation between
// them. Pure record functions (build, encode, decode, translate) are
// separate from DoTransactionEx, which runs the exchange, so they can be
// tested on bytes alone.
//
// Threads: DoTransactionEx runs on the caller's thread and holds the
// channel for the whole exchange; ReceiveTransactionResult runs on the
// services thread; both stored-result paths take the container's
// transactionResultLock.
#pragma once

#include "ryn_tlv.h"
#include "ryn_transaction.h"
#include "services/transport.h"

#include <cstddef>
#include <cstdint>
#include <string>

class PDA_Manager;

namespace ryn::terminal {

inline constexpr size_t kRequestRecordSize = 384;
inline constexpr size_t kOutputRecordSize = 512;
inline constexpr size_t kConcertRequestSize = 28;
inline constexpr size_t kConcertResponseSize = 215;
inline constexpr uint32_t kExchangeTimeoutMs = 900000;
inline constexpr size_t kResponseBufferSize = 16584;
inline constexpr size_t kMaxRequestEnvelope = 32767;

inline constexpr uint32_t kTagTransactionReq = 0x60010000;
inline constexpr uint32_t kTagTransactionRsp = 0x61010000;
inline constexpr uint32_t kTagPushedResultReq = 0x6002000D;
inline constexpr uint32_t kTagPushedResultRsp = 0x6102000D;
inline constexpr uint32_t kTagPushedResultState = 0x400020A0;
inline constexpr uint32_t kTagRspExtendedData = 0x4000202F;

// Offsets and sizes of the input (request) record.
namespace in {
inline constexpr size_t kAmount = 0, kAmountLen = 12;
inline constexpr size_t kCurrency = 12, kCurrencyLen = 3;
inline constexpr size_t kOperation = 30;
inline constexpr size_t kTermNum = 36, kTermNumLen = 8;
inline constexpr size_t kAuthType = 126;
inline constexpr size_t kCtrlCheque = 144;
inline constexpr size_t kUserData1 = 181, kUserData1Len = 32;
}  // namespace in

// The CONCERT request fields, as sent (a space in the first byte of a
// field leaves its child out).
struct ConcertRequest {
    char termNum[2];
    char amount[8];
    char constant2;
    char constant3;
    char mode;
    char currency[3];
    char userData[10];
    char constant7;
    char authType;
};
static_assert(sizeof(ConcertRequest) == kConcertRequestSize);

// The CONCERT response record; zero bytes mean "not received".
struct transactionCONCERTResp_t {
    unsigned char bytes[kConcertResponseSize];
};

// Fills the CONCERT request fields from a 384-byte request record.
void buildConcertRequest(const char *record, ConcertRequest &request);

// The request tree (root 0x60010000); null when out of memory.
sTLV_TREE_NODE *encodeTransactionRequest(const ConcertRequest &request, uint32_t applicationNumber,
                                         const unsigned char *extData, uint32_t extSize);

// Decodes a whole received message (envelope included) whose root must be
// `expectedRoot` into `resp` (zeroed first). Extended data (0x4000202F) goes
// to extData when it fits in *extSize; *extSize is 0 when none arrived.
// 1 when decoded, 0 on any failure (including a wrong root tag).
int decodeTransactionResponse(const unsigned char *message, size_t length, uint32_t expectedRoot,
                              transactionCONCERTResp_t &resp, unsigned char *extData, uint32_t *extSize);

// Writes the 512-byte output record (spaces first) from the response.
void translationFromCONCERTtoKx(const transactionCONCERTResp_t &resp, char *output);

// The record interface.
int DoTransactionEx(PDA_Manager *manager, uint32_t applicationNumber, const char *requestRecord,
                    char *outputRecord, const unsigned char *reqExtData, uint32_t reqExtSize,
                    unsigned char *rspExtData, uint32_t *rspExtSize);
int DoTransaction(PDA_Manager *manager, const char *requestRecord, char *outputRecord);
int ReadTransactionResult(PDA_Manager *manager, char *outputRecord);

// Service handler of 0x6002000D, a result the terminal pushes on its own.
int ReceiveTransactionResult(ryn::services::ServiceConnection &connection, const unsigned char *message,
                             uint32_t length);

class TransactionIn final : public ITransactionIn {
public:
    TransactionIn();
    bool setAmount(const char *amount) override;
    const char *getAmount() override { return record_ + in::kAmount; }
    bool setTermNum(const char *number) override;
    const char *getTermNum() override { return record_ + in::kTermNum; }
    bool setCurrencyCode(const char *code) override;
    const char *getCurrencyCode() override { return record_ + in::kCurrency; }
    bool setOperation(const char *operation) override;
    const char *getOperation() override { return record_ + in::kOperation; }
    bool setAuthorizationType(const char *type) override;
    const char *getAuthorizationType() override { return record_ + in::kAuthType; }
    bool setCtrlCheque(const char *control) override;
    const char *getCtrlCheque() override { return record_ + in::kCtrlCheque; }
    bool setUserData1(const char *data) override;
    const char *getUserData1() override { return record_ + in::kUserData1; }

    // The request record built from the fields (doTransaction's step).
    void fillRequestRecord(char *record);

private:
    char record_[kRequestRecordSize];
};

class TransactionOut final : public ITransactionOut {
public:
    TransactionOut();
    const char *getAmount() override { return amount_; }
    const char *getKxError() override { return kxError_; }
    const char *getCurrencyCode() override { return currency_; }
    const char *getTerminalNumber() override { return termNum_; }
    const char *getUserData1() override { return userData1_; }
    const char *getPrivateData() override { return privateData_; }

    void fillFromOutputRecord(const char *output);

private:
    char amount_[13];
    char kxError_[5];
    char currency_[4];
    char termNum_[9];
    char userData1_[33];
    char privateData_[74];
};

}  // namespace ryn::terminal
