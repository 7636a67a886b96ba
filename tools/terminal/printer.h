// Receipt printer commands as the terminal sends them (16-byte header and
// payload) and the checked view of the host's 16-byte answer record.
// Pure; any thread.
#pragma once

#include "services/wire.h"
#include "tools/terminal/protocol.h"

#include <cstdint>
#include <string>

namespace simterm {

inline std::string printerCommand(uint32_t code, uint32_t jobId, uint32_t param1, uint32_t param2,
                                  const std::string &payload = {}) {
    std::string out(printer::kHeaderLen, '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    ryn::wire::storeLe32(p + printer::kCodeOffset, code);
    ryn::wire::storeLe32(p + printer::kJobIdOffset, jobId);
    ryn::wire::storeLe32(p + printer::kParam1Offset, param1);
    ryn::wire::storeLe32(p + printer::kParam2Offset, param2);
    out += payload;
    return out;
}

// The host's answer record; valid() only for exactly 16 bytes. The caller
// keeps the record alive while the view is used.
class PrinterAnswerView {
public:
    explicit PrinterAnswerView(const std::string &record) : record_(record) {}
    bool valid() const { return record_.size() == printer::kAnswerLen; }
    uint32_t code() const { return field(printer::kCodeOffset); }
    uint32_t jobId() const { return field(printer::kJobIdOffset); }
    uint32_t status() const { return field(printer::kStatusOffset); }
    uint32_t printerStatus() const { return field(printer::kPrinterStatusOffset); }

private:
    uint32_t field(size_t offset) const {
        if (!valid()) return 0;
        return ryn::wire::loadLe32(reinterpret_cast<const unsigned char *>(record_.data()) + offset);
    }
    const std::string &record_;
};

}  // namespace simterm
