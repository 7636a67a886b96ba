// Receipt printer commands from the terminal, turned into the
// application's print callbacks.
#include "services/oka_printer.h"

#include "service/callbacks.h"
#include "service/log.h"
#include "service/manager.h"
#include "services/envelope.h"
#include "services/wire.h"

#include <cstring>
#include <memory>

namespace {

namespace cmd {
constexpr uint32_t kOpen = 0x40003500, kClose = 0x40003501, kText = 0x40003502, kImage = 0x40003503,
                   kFeed = 0x40003504, kStatus = 0x40003505, kIntensity = 0x40003506, kFont = 0x40003507,
                   kCharset = 0x40003508, kJustify = 0x40003509, kMode = 0x4000350A, kCut = 0x4000350B,
                   kSignature = 0x4000350C, kStartReceipt = 0x4000350D, kEndReceipt = 0x4000350E;
constexpr size_t kHeaderLen = 16;
constexpr size_t kResponseLen = 16;
}  // namespace cmd

// Message logged when a command arrives for a job that is not open.
const char *wrongJobMessage(uint32_t code) {
    switch (code) {
        case cmd::kClose: return "OKA printer close, wrong jobId=%d (%d)";
        case cmd::kText: return "OKA printer print text, wrong jobId=%d (%d)";
        case cmd::kImage: return "OKA printer print image, wrong jobId=%d (%d)";
        case cmd::kFeed: return "OKA printer feed paper, wrong jobId=%d (%d)";
        case cmd::kStatus: return "OKA printer get status, wrong jobId=%d (%d)";
        case cmd::kIntensity: return "OKA printer intensity, wrong jobId=%d (%d)";
        case cmd::kFont: return "OKA printer set font, wrong jobId=%d (%d)";
        case cmd::kCharset: return "OKA printer charset, wrong jobId=%d (%d)";
        case cmd::kJustify: return "OKA printer justify, wrong jobId=%d (%d)";
        case cmd::kMode: return "OKA printer mode, wrong jobId=%d (%d)";
        case cmd::kCut: return "OKW cut paper, wrong jobId=%d (%d)";
        case cmd::kSignature: return "OKA printer add signature, wrong jobId=%d (%d)";
        case cmd::kStartReceipt: return "OKA printer start receipt, wrong jobId=%d (%d)";
        case cmd::kEndReceipt: return "OKA printer end receipt, wrong jobId=%d (%d)";
        default: return nullptr;
    }
}

using BufferPtr = std::unique_ptr<T_BIN_BUFFER, void (*)(T_BIN_BUFFER *)>;
void destroyBuffer(T_BIN_BUFFER *b) { binbufDestroy(&b); }

}  // namespace

void OKA_Printer::resetFormatting() {
    justify = 2;
    mode = 0;
    font = 0;
    charset = 0;
}

uint32_t OKA_Printer::ShouldPrintText(const char *text) {
    RynPrintTextCallback cb = g_sCallbacks.printText.load();
    if (!cb) return 1;
    const int sizeA = (mode & 0x20) ? 2 : (mode & 0x04) ? 4 : 1;
    const int sizeB = (mode & 0x10) ? 2 : (mode & 0x02) ? 4 : 1;
    const int inverse = (mode & 0x80) ? 1 : 0;
    cb(text, font, justify, sizeA, sizeB, inverse, bold, charset);
    return 0;
}

uint32_t OKA_Printer::ShouldPrintImage(uint32_t width, uint32_t height, const unsigned char *data, uint32_t length) {
    RynPrintImageCallback cb = g_sCallbacks.printImage.load();
    if (!cb) return 1;
    cb(width, height, data, length, justify);
    return 0;
}

uint32_t OKA_Printer::ShouldFeedPaper(uint32_t lines) {
    RynFeedPaperCallback cb = g_sCallbacks.feedPaper.load();
    if (!cb) return 1;
    cb(lines);
    return 0;
}

uint32_t OKA_Printer::ShouldCutPaper() {
    if (RynCutPaperCallback cb = g_sCallbacks.cutPaper.load()) cb();
    return 0;
}

uint32_t OKA_Printer::ShouldAddSignature() {
    RynAddSignatureCallback cb = g_sCallbacks.addSignature.load();
    if (!cb) return 1;
    cb();
    return 0;
}

uint32_t OKA_Printer::ShouldStartReceipt(uint8_t type) {
    RynStartReceiptCallback cb = g_sCallbacks.startReceipt.load();
    if (!cb) return 1;
    return cb(type) == 0 ? 0 : 1;
}

uint32_t OKA_Printer::ShouldEndReceipt() {
    RynEndReceiptCallback cb = g_sCallbacks.endReceipt.load();
    if (!cb) return 1;
    return cb() == 0 ? 0 : 1;
}

T_BIN_BUFFER *OKA_Printer::treatOkaPrinterCommand(T_BIN_BUFFER *command) {
    T_BIN_BUFFER *response = binbufCreate(nullptr, 0);
    if (!response || !command) return response;
    binbufSeek(command, 0, BINBUF_SEEK_START);
    unsigned char header[cmd::kHeaderLen];
    if (binbufRead(command, header, sizeof header) != sizeof header) return response;
    using ryn::wire::loadLe32;
    const uint32_t code = loadLe32(header);
    const uint32_t jobId = loadLe32(header + 4);
    const uint32_t param1 = loadLe32(header + 8);
    const uint32_t param2 = loadLe32(header + 12);
    const uint8_t low = uint8_t(param1);
    const unsigned char *payload = binbufGet(command) + cmd::kHeaderLen;
    const uint32_t payloadLen = uint32_t(binbufSize(command) - cmd::kHeaderLen);

    uint32_t answerJob = jobId;
    uint32_t status = 1;
    uint32_t printerStatus = 0;
    const char *wrong = wrongJobMessage(code);
    if (code == cmd::kOpen) {
        lastJobId = lastJobId == UINT32_MAX ? 1 : lastJobId + 1;  // 0 is never issued
        currentJobId = answerJob = lastJobId;
        resetFormatting();
        status = 0;
        RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer open, jobId=%d", int(currentJobId));
    } else if (wrong && (currentJobId == 0 || jobId != currentJobId)) {
        RYN_LOG(OBJ_OKA_PRINTER, LOG_ERROR, wrong, int(jobId), int(currentJobId));
        if (code == cmd::kStatus) printerStatus = 1;
    } else {
        switch (code) {
            case cmd::kClose:
                currentJobId = 0;
                status = 0;
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer close, jobId=%d", int(jobId));
                break;
            case cmd::kText: {
                // The payload is text up to its first NUL, or to its end.
                const void *nul = memchr(payload, 0, payloadLen);
                std::string text(reinterpret_cast<const char *>(payload),
                                 nul ? size_t(static_cast<const unsigned char *>(nul) - payload) : payloadLen);
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer text, jobId=%d, %s", int(jobId), text.c_str());
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer text, %02x", text.empty() ? 0 : unsigned(uint8_t(text[0])));
                status = ShouldPrintText(text.c_str());
                break;
            }
            case cmd::kImage:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer image, jobId=%d, w=%d, h=%d", int(jobId), int(param1),
                        int(param2));
                status = ShouldPrintImage(param1, param2, payload, payloadLen);
                break;
            case cmd::kFeed:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer feed paper, jobId=%d, n=%d", int(jobId), int(param1));
                status = ShouldFeedPaper(param1);
                break;
            case cmd::kStatus:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer get status, jobId=%d", int(jobId));
                status = 0;
                break;
            case cmd::kIntensity:
                bold = low > 128 ? 1 : 0;
                status = 0;
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer intensity, jobId=%d, intensity=%d", int(jobId), low);
                break;
            case cmd::kFont:
                font = low;
                status = 0;
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer font, jobId=%d, font=%d", int(jobId), low);
                break;
            case cmd::kCharset:
                charset = low;
                status = 0;
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer charset, jobId=%d, charset=%d", int(jobId), low);
                break;
            case cmd::kJustify:
                justify = low;
                status = 0;
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer justify, jobId=%d, justify=%d", int(jobId), low);
                break;
            case cmd::kMode:
                mode = low;
                status = 0;
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer mode, jobId=%d, mode=%d", int(jobId), low);
                break;
            case cmd::kCut:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKW cut paper, jobId=%d", int(jobId));
                status = ShouldCutPaper();
                resetFormatting();
                break;
            case cmd::kSignature:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer add signature, jobId=%d", int(jobId));
                status = ShouldAddSignature();
                break;
            case cmd::kStartReceipt:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer start receipt, jobId=%d", int(jobId));
                status = ShouldStartReceipt(low);
                break;
            case cmd::kEndReceipt:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_INFO, "OKA printer end receipt, jobId=%d", int(jobId));
                status = ShouldEndReceipt();
                break;
            default:
                RYN_LOG(OBJ_OKA_PRINTER, LOG_WARNING, "OKA printer unknown command, jobId=%d", int(jobId));
                break;
        }
    }
    unsigned char record[cmd::kResponseLen];
    ryn::wire::storeLe32(record, code);
    ryn::wire::storeLe32(record + 4, answerJob);
    ryn::wire::storeLe32(record + 8, status);
    ryn::wire::storeLe32(record + 12, printerStatus);
    binbufWrite(response, record, sizeof record);
    return response;
}

T_BIN_BUFFER *OKA_Printer::decodeRequest(const unsigned char *message, uint32_t length) {
    sTLV_TREE_NODE *tree = nullptr;
    if (ryn::services::TLVTree_DecodeServiceMsg(message, length, &tree) != ryn::services::DecodeStatus::Ok)
        return nullptr;
    T_BIN_BUFFER *buffer = binbufCreate(TlvTree_GetData(tree), TlvTree_GetLength(tree));
    TlvTree_Release(tree);
    return buffer;
}

std::string OKA_Printer::encodeResponse(T_BIN_BUFFER *record) {
    sTLV_TREE_NODE *tree = TlvTree_New(kResponseTag);
    if (!tree) return {};
    if (record && binbufSize(record) != 0 &&
        TlvTree_SetData(tree, binbufGet(record), uint32_t(binbufSize(record))) != 0) {
        TlvTree_Release(tree);
        return {};
    }
    std::string envelope = ryn::services::serializeTlv(tree);
    TlvTree_Release(tree);
    return envelope;
}

int OKA_Printer::treatRequest(ryn::services::ServiceConnection &connection, const unsigned char *message,
                              uint32_t length) {
    PDA_Manager *manager = gpPDA_Manager.load();
    OKA_Printer *self = manager ? manager->okaPrinter.load() : nullptr;
    BufferPtr command(decodeRequest(message, length), destroyBuffer);
    if (!self || !command) {
        RYN_LOG(OBJ_OKA_PRINTER, LOG_ERROR, "Cannot get request");
        return -1;
    }
    RYN_LOG_DATA(OBJ_OKA_PRINTER, LOG_BINARY, binbufGet(command.get()), size_t(binbufSize(command.get())),
                 "SPM->OKA");
    BufferPtr response(self->treatOkaPrinterCommand(command.get()), destroyBuffer);
    if (response)
        RYN_LOG_DATA(OBJ_OKA_PRINTER, LOG_BINARY, binbufGet(response.get()), size_t(binbufSize(response.get())),
                     "SPM<-OKA");
    std::string envelope = encodeResponse(response.get());
    if (envelope.empty()) {
        RYN_LOG(OBJ_OKA_PRINTER, LOG_ERROR, "Cannot send response");
        return -1;
    }
    return int(ryn::services::sendAll(connection, envelope.data(), envelope.size()));
}
