#include "tools/terminal/concert.h"

#include "tools/terminal/protocol.h"

#include <cstdio>

namespace simterm {

namespace {

std::optional<std::string> textChild(const Tree &tree, uint32_t tag) {
    auto v = tree.child(tag);
    if (v && !v->empty() && v->back() == '\0') v->pop_back();
    return v;
}

// Right-aligns `value` in `size` characters: keeps its last `size`
// characters, pads on the left with `pad`.
std::string fitRight(const std::string &value, size_t size, char pad) {
    if (value.size() >= size) return value.substr(value.size() - size);
    return std::string(size - value.size(), pad) + value;
}

std::string fitLeft(const std::string &value, size_t size, char pad) {
    if (value.size() >= size) return value.substr(0, size);
    return value + std::string(size - value.size(), pad);
}

}  // namespace

TransactionRequest parseTransactionRequest(const Tree &tree) {
    namespace rq = concert_req;
    TransactionRequest r;
    r.termNum = textChild(tree, rq::kTermNum);
    r.amount = textChild(tree, rq::kAmount);
    if (auto m = tree.child(rq::kMode); m && !m->empty()) r.mode = (*m)[0];
    r.currency = textChild(tree, rq::kCurrency);
    r.userData = textChild(tree, rq::kUserData);
    r.authType = textChild(tree, rq::kAuthType);
    r.extendedData = tree.child(rq::kExtendedData);
    if (auto a = tree.child(rq::kAppNumber)) {
        uint32_t v = 0;
        for (size_t i = 0; i < a->size() && i < 4; ++i) v |= uint32_t(uint8_t((*a)[i])) << (8 * i);
        r.applicationNumber = v;
    }
    return r;
}

Decision decide(const TransactionRequest &request, const DecisionRule &rule) {
    Decision d;
    const std::string amount = request.amount.value_or("0");
    d.amountValid = !amount.empty() && amount.size() <= 12;
    uint64_t v = 0;
    for (char c : amount) {
        if (c < '0' || c > '9') {
            d.amountValid = false;
            break;
        }
        v = v * 10 + uint64_t(c - '0');
    }
    if (!d.amountValid) {
        d.amountField = std::string(concert_rsp::kAmountLen, '0');
        return d;
    }
    d.amountMinor = v;
    d.amountField = fitRight(std::to_string(v), concert_rsp::kAmountLen, '0');
    d.approved = v <= rule.declineAbove && v % 100 != 13;
    return d;
}

std::vector<std::pair<uint32_t, std::string>> responseChildren(const TransactionRequest &request,
                                                               const Decision &decision,
                                                               const TransactionInfo &info) {
    namespace rs = concert_rsp;
    std::vector<std::pair<uint32_t, std::string>> out;
    const std::string term = request.termNum && !request.termNum->empty() ? *request.termNum
                                                                          : info.terminalNumber;
    out.emplace_back(rs::kTermNum, fitRight(term, rs::kTermNumLen, '0'));
    out.emplace_back(rs::kStatus, std::string(1, decision.approved ? rs::kApproved : rs::kDeclined));
    out.emplace_back(rs::kAmount, decision.amountField);
    const std::string currency = request.currency && !request.currency->empty() ? *request.currency : "978";
    out.emplace_back(rs::kCurrency, fitRight(currency, rs::kCurrencyLen, '0'));
    if (request.userData && !request.userData->empty())
        out.emplace_back(rs::kUserData, fitRight(*request.userData, rs::kUserDataLen, '0'));

    char zone[96];
    std::snprintf(zone, sizeof zone, "SPMSIM TXN %06u %s AUTH %s", info.number % 1000000u,
                  decision.approved ? "APPROVED" : "DECLINED",
                  decision.approved ? info.authCode.c_str() : "------");
    out.emplace_back(rs::kZoneRep, fitLeft(zone, rs::kZoneRepLen, ' '));
    std::snprintf(zone, sizeof zone, "TXN%07u", info.number % 10000000u);
    out.emplace_back(rs::kZonePriv, fitLeft(zone, rs::kZonePrivLen, ' '));
    if (request.extendedData) out.emplace_back(rs::kExtendedData, *request.extendedData);
    return out;
}

std::string formatAmount(uint64_t minor) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu.%02llu", static_cast<unsigned long long>(minor / 100),
                  static_cast<unsigned long long>(minor % 100));
    return buf;
}

std::vector<std::string> receiptLines(const std::string &merchant, std::time_t when,
                                      const TransactionRequest &request, const Decision &decision,
                                      const TransactionInfo &info) {
    std::vector<std::string> lines;
    lines.push_back(merchant);
    std::tm tm{};
    gmtime_r(&when, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    lines.emplace_back(buf);
    const std::string term = request.termNum && !request.termNum->empty() ? *request.termNum
                                                                          : info.terminalNumber;
    std::snprintf(buf, sizeof buf, "TERMINAL %.8s  TXN %06u", term.c_str(), info.number % 1000000u);
    lines.emplace_back(buf);
    const std::string currency = request.currency && !request.currency->empty() ? *request.currency : "978";
    lines.push_back("AMOUNT " + (decision.amountValid ? formatAmount(decision.amountMinor) : std::string("?")) +
                    " " + fitRight(currency, concert_rsp::kCurrencyLen, '0'));
    lines.emplace_back(decision.approved ? "APPROVED" : "DECLINED");
    if (decision.approved) lines.push_back("AUTH " + info.authCode);
    lines.emplace_back("THANK YOU");
    return lines;
}

}  // namespace simterm
