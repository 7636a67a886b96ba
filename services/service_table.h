// The table of requests the terminal sends to the host: root tag, the name
// logged on receipt, and the handler (a static member of the service
// concerned). An entry without a handler is treated like an unknown tag
// (logged and dropped) until its service registers one.
//
// Services register their handler in the default table with
// registerServiceHandler (typically from the container when it creates
// them), so this library does not depend on the services built above it.
// Handlers are atomic: registering while the receive thread dispatches is
// safe.
//
// A handler runs on the services receive thread, one request at a time. It
// gets the connection, the whole message (6-byte header included) and its
// length, decodes the request itself, writes its answer envelope on the
// connection in one sendAll, and returns the write result (-1 on failure).
#pragma once

#include "services/transport.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ryn::services {

using ServiceHandler = int (*)(ServiceConnection &connection, const unsigned char *message,
                               uint32_t length);

struct ServiceEntry {
    uint32_t tag;
    const char *name;
    std::atomic<ServiceHandler> handler;  // null: not served yet
};

struct ServiceTable {
    ServiceEntry *entries;
    size_t count;
    const ServiceEntry *find(uint32_t tag) const {
        for (size_t i = 0; i < count; ++i)
            if (entries[i].tag == tag) return &entries[i];
        return nullptr;
    }
};

// The terminal's thirteen requests.
const ServiceTable &defaultServiceTable();

// Sets (or with null clears) the handler of a tag of the default table;
// false when the tag is not one of the thirteen.
bool registerServiceHandler(uint32_t tag, ServiceHandler handler);

}  // namespace ryn::services
