// OKA_Printer: the host-side receipt printer. The terminal sends one print
// command per request (open a job, text, image, feed, cut, ...); each is
// handed to the application's print callbacks and answered with a 16-byte
// status record. One instance, owned by the service container; it runs
// only on the services receive thread, one command at a time, so its job
// state needs no lock.
#pragma once

#include "ryn_tlv.h"
#include "services/transport.h"

#include <cstdint>
#include <string>

class OKA_Printer {
public:
    static constexpr uint32_t kRequestTag = 0x60010006;
    static constexpr uint32_t kResponseTag = 0x61010006;

    OKA_Printer() = default;
    virtual ~OKA_Printer() = default;
    OKA_Printer(const OKA_Printer &) = delete;
    OKA_Printer &operator=(const OKA_Printer &) = delete;

    // Service handler: decodes, executes, answers on the connection.
    static int treatRequest(ryn::services::ServiceConnection &connection, const unsigned char *message,
                            uint32_t length);
    // The command stream (root value) of a request, or null.
    static T_BIN_BUFFER *decodeRequest(const unsigned char *message, uint32_t length);
    // The response envelope for a response record (empty record: no value).
    static std::string encodeResponse(T_BIN_BUFFER *record);
    // Executes one command stream; a new buffer with the response record
    // (empty when the stream is shorter than its 16-byte header).
    T_BIN_BUFFER *treatOkaPrinterCommand(T_BIN_BUFFER *command);

    // The callback calls; each returns the command's status.
    uint32_t ShouldPrintText(const char *text);
    uint32_t ShouldPrintImage(uint32_t width, uint32_t height, const unsigned char *data, uint32_t length);
    uint32_t ShouldFeedPaper(uint32_t lines);
    uint32_t ShouldCutPaper();
    uint32_t ShouldAddSignature();
    uint32_t ShouldStartReceipt(uint8_t type);
    uint32_t ShouldEndReceipt();

    uint32_t lastJobId = 0;
    uint32_t currentJobId = 0;
    uint8_t justify = 2;
    uint8_t mode = 0;
    uint8_t font = 0;
    uint8_t bold = 0;
    uint8_t charset = 0;

private:
    void resetFormatting();
};
