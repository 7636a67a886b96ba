// The IPv4 text helpers and the domain name.
#include "stack/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <thread>

namespace {

struct AtonCase {
    const char *text;
    uint32_t addr;
};

TEST(SocketText, AtonReadsDottedSpacedAndBracketedForms) {
    const AtonCase cases[] = {
        {"10.0.0.1", 0x0A000001},
        {"[10.0.0.1]", 0x0A000001},
        {"10 0 0 1", 0x0A000001},
        {"192.168.1.2", 0xC0A80102},
        {"255.255.255.255", 0xFFFFFFFF},
        {"0.0.0.0", 0},
        {"1.2.3.4 trailing", 0x01020304},
        // Only the low 8 bits of each number count.
        {"257.1.1.1", 0x01010101},
        {"1.2.3.260", 0x01020304},
        // A number too large for any integer type: the low byte of its value
        // (99999999999999999999 mod 2^32 = 0x630FFFFF) is used.
        {"99999999999999999999.0.0.1", 0xFF000001},
        // A missing separator gives 0.
        {"10.0.0", 0},
        {"10", 0},
        {"", 0},
        // A separator with no number reads as 0 for that byte.
        {"10...", 0x0A000000},
    };
    for (const auto &c : cases) EXPECT_EQ(aton(c.text), c.addr) << c.text;
    EXPECT_EQ(aton(nullptr), 0u);
}

TEST(SocketText, IsaddrAcceptsOnlyAddressCharacters) {
    const std::pair<const char *, int> cases[] = {
        {"10.0.0.1", 1}, {"[10.0.0.1]", 1}, {"1 2 3 4", 1}, {"", 1},
        {"host.example", 0}, {"10.0.0.1\t", 0}, {"10.0.0.-1", 0}, {"0x0A.0.0.1", 0},
    };
    for (const auto &[text, want] : cases) EXPECT_EQ(isaddr(text), want) << '"' << text << '"';
    EXPECT_EQ(isaddr(nullptr), 0);
}

TEST(SocketText, InetAddrParsesOnlyAddressText) {
    EXPECT_EQ(_ryn_inet_addr("192.168.1.2"), 0xC0A80102u);
    EXPECT_EQ(_ryn_inet_addr("[1.1.1.2]"), 0x01010102u);
    EXPECT_EQ(_ryn_inet_addr("a.b.c.d"), 0u);
    EXPECT_EQ(_ryn_inet_addr("10.0.0.1x"), 0u);
    EXPECT_EQ(_ryn_inet_addr("10.0.0"), 0u);
}

TEST(SocketText, NtoaPrintsNetworkOrderBytesInMemoryOrder) {
    EXPECT_STREQ(_ryn_inet_ntoa(htonl(0xC0A80102)), "192.168.1.2");
    EXPECT_STREQ(_ryn_inet_ntoa(htonl(0xFFFFFFFF)), "255.255.255.255");
    EXPECT_STREQ(_ryn_inet_ntoa(0), "0.0.0.0");
    // The buffer is reused by the next call of the same thread.
    char *first = _ryn_inet_ntoa(htonl(0x01020304));
    char *second = _ryn_inet_ntoa(htonl(0x05060708));
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "5.6.7.8");
    // ... but not by another thread's.
    std::thread([] { _ryn_inet_ntoa(htonl(0x0A0A0A0A)); }).join();
    EXPECT_STREQ(second, "5.6.7.8");
}

TEST(SocketText, SetdomainnameStoresUpToFiftyCharacters) {
    using ryn::inet::domainName;
    using ryn::inet::setdomainname;
    const std::string fifty(50, 'd');
    ASSERT_EQ(setdomainname("example.test", 12), 0);
    EXPECT_EQ(domainName(), "example.test");
    // len counts characters: a longer text is cut.
    ASSERT_EQ(setdomainname("shop.example.test", 4), 0);
    EXPECT_EQ(domainName(), "shop");
    ASSERT_EQ(setdomainname(fifty.c_str(), 50), 0);
    EXPECT_EQ(domainName(), fifty);
    // 51 characters are refused and change nothing.
    const std::string fiftyOne(51, 'x');
    EXPECT_EQ(setdomainname(fiftyOne.c_str(), 51), -1);
    EXPECT_EQ(domainName(), fifty);
    EXPECT_EQ(setdomainname("abc", -1), -1);
    EXPECT_EQ(setdomainname(nullptr, 3), -1);
    EXPECT_EQ(domainName(), fifty);
    // Empty clears it; a NUL inside ends the name.
    ASSERT_EQ(setdomainname("ab\0cd", 5), 0);
    EXPECT_EQ(domainName(), "ab");
    ASSERT_EQ(setdomainname("", 0), 0);
    EXPECT_EQ(domainName(), "");
}

}  // namespace
