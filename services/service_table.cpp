#include "services/service_table.h"

namespace ryn::services {

namespace {

// Handlers are registered by their services.
ServiceEntry kEntries[] = {
    {0x60010005, "MESSAGE_REQ", nullptr},
    {0x60010006, "OKA_PRINTER_REQ", nullptr},
    {0x6001000C, "PDA_TAG_GET_POWER_REQ", nullptr},
    {0x60020002, "SIGNATURE_CAPTURE_REQ", nullptr},
    {0x60020003, "GET_COM_STATE_REQ", nullptr},
    {0x60020004, "SET_COM_CHANNEL_REQ", nullptr},
    {0x60020006, "PDA_TAG_BARCODE_EVENT_REQ", nullptr},
    {0x60020009, "PDA_TAG_GET_PDA_INFO_REQ", nullptr},
    {0x6002000D, "PDA_TAG_SND_TRANSACTION_RESULT_REQ", nullptr},
    {0x6002000E, "PDA_TAG_ADDON_INFO_REQ", nullptr},
    {0x6002000F, "PDA_TAG_GETHOSTBYNAME_REQ", nullptr},
    {0x60020010, "PDA_TAG_GETDOMAINENAME_REQ", nullptr},
    {0x60020040, "PDA_TAG_ECHO_RUVALO_REQ", nullptr},
};

const ServiceTable kTable{kEntries, sizeof kEntries / sizeof kEntries[0]};

}  // namespace

const ServiceTable &defaultServiceTable() { return kTable; }

bool registerServiceHandler(uint32_t tag, ServiceHandler handler) {
    for (ServiceEntry &e : kEntries) {
        if (e.tag != tag) continue;
        e.handler.store(handler);
        return true;
    }
    return false;
}

}  // namespace ryn::services
