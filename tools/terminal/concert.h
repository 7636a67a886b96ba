// The payment the simulated terminal runs: reading the host's CONCERT
// request, the approve/decline rule, the CONCERT response children and the
// receipt text. Pure functions over values; any thread.
//
// Decision rule: approve unless the amount (minor units) is above
// `declineAbove` or its last two digits are 13. An amount that is not 1 to
// 12 decimal digits is declined. A missing amount counts as 0.
#pragma once

#include "tools/terminal/message.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simterm {

struct TransactionRequest {
    std::optional<std::string> termNum;
    std::optional<std::string> amount;
    std::optional<char> mode;
    std::optional<std::string> currency;
    std::optional<std::string> userData;
    std::optional<std::string> authType;
    std::optional<std::string> extendedData;
    uint32_t applicationNumber = 0;
};

// Reads the children of a transaction request tree (root 0x60010000).
// Unknown children are ignored; values are kept as received (a trailing
// NUL is dropped).
TransactionRequest parseTransactionRequest(const Tree &tree);

struct DecisionRule {
    uint64_t declineAbove = 100000;
};

struct Decision {
    bool approved = false;
    bool amountValid = false;
    uint64_t amountMinor = 0;
    std::string amountField;  // 8 digits, as answered
};

Decision decide(const TransactionRequest &request, const DecisionRule &rule);

// What identifies one transaction in the answer and on the receipt.
struct TransactionInfo {
    uint32_t number = 0;        // running count since start, from 1
    std::string authCode;       // 6 digits when approved
    std::string terminalNumber; // default for a request without one
};

// The CONCERT response children, in the order they are sent; also the
// children of a pushed result.
std::vector<std::pair<uint32_t, std::string>> responseChildren(const TransactionRequest &request,
                                                               const Decision &decision,
                                                               const TransactionInfo &info);

// "12.34" from 1234 minor units.
std::string formatAmount(uint64_t minor);

// The receipt's text lines.
std::vector<std::string> receiptLines(const std::string &merchant, std::time_t when,
                                      const TransactionRequest &request, const Decision &decision,
                                      const TransactionInfo &info);

}  // namespace simterm
