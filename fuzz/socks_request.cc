// SOCKS 5 greeting and CONNECT request as a terminal may send them: the
// first input byte splits the rest into the greeting and the request, each
// judged as the SOCKS servers do, and every decoded request is checked
// against its own declared length.
#include "bridge/socks_wire.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace ryn::socks;
    if (size == 0) return 0;
    size_t split = data[0];
    ++data;
    --size;
    if (split > size) split = size;
    // Copies, so reads past either message land outside an allocation.
    std::vector<uint8_t> greetingBytes(data, data + split);
    std::vector<uint8_t> requestBytes(data + split, data + size);
    ByteView g(greetingBytes.data(), greetingBytes.size());
    ByteView r(requestBytes.data(), requestBytes.size());

    GreetingVerdict v = checkGreeting(g);
    if (v != GreetingVerdict::Invalid && g.size() != greeting::kLength) abort();

    RequestHead head = checkRequestHead(r);
    if (head.verdict == HeadVerdict::Complete) {
        if (head.length > request::kMaxLength || head.length < request::kHeadLength + 2) abort();
        // The server reads only the missing bytes: judge the request as it
        // would be completed, exactly at its length.
        ByteView whole = r.first(head.length);
        Destination d;
        bool ok = parseRequest(whole, &d);
        if (ok != (whole.size() == head.length)) abort();
        if (ok && d.name.size() > request::kMaxDomain) abort();
    }
    Destination d;
    if (parseRequest(r, &d) && r.size() != head.length) abort();
    return 0;
}
