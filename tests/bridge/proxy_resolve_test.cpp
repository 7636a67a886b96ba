// The terminal's name resolution without the network: which text a
// resolved list gives the terminal, and the saved list behind the
// placeholder address, handed to exactly one SOCKS request.
#include "bridge/proxy.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {
using ryn::bridge::AddrInfoList;
using ryn::bridge::ResolutionStore;
using ryn::bridge::textForTerminal;

// A hand-made list of numeric addresses ("v4:1.2.3.4" or "v6:::1"), kept
// alive by the vectors of the test.
struct HandList {
    std::vector<sockaddr_storage> addrs;
    std::vector<addrinfo> nodes;
    explicit HandList(const std::vector<std::string> &items) : addrs(items.size()), nodes(items.size()) {
        for (size_t i = 0; i < items.size(); ++i) {
            addrinfo &ai = nodes[i];
            ai.ai_socktype = SOCK_STREAM;
            ai.ai_addr = reinterpret_cast<sockaddr *>(&addrs[i]);
            if (items[i].rfind("v4:", 0) == 0) {
                auto *in = reinterpret_cast<sockaddr_in *>(&addrs[i]);
                in->sin_family = AF_INET;
                inet_pton(AF_INET, items[i].c_str() + 3, &in->sin_addr);
                ai.ai_family = AF_INET;
                ai.ai_addrlen = sizeof(sockaddr_in);
            } else {
                auto *in6 = reinterpret_cast<sockaddr_in6 *>(&addrs[i]);
                in6->sin6_family = AF_INET6;
                inet_pton(AF_INET6, items[i].c_str() + 3, &in6->sin6_addr);
                ai.ai_family = AF_INET6;
                ai.ai_addrlen = sizeof(sockaddr_in6);
            }
            if (i + 1 < items.size()) ai.ai_next = &nodes[i + 1];
        }
    }
    const addrinfo *get() const { return nodes.empty() ? nullptr : &nodes[0]; }
};

TEST(ResolutionText, FirstUsableIpv4ElsePlaceholder) {
    struct Case {
        const char *name;
        std::vector<std::string> list;
        std::string text;
        bool placeholder;
    } cases[] = {
        {"IPv6 first, then IPv4", {"v6:2001:db8::1", "v4:0.0.0.0", "v4:192.0.2.7", "v4:192.0.2.8"}, "192.0.2.7", false},
        {"IPv4 only", {"v4:127.0.0.1"}, "127.0.0.1", false},
        {"IPv6 only", {"v6:2001:db8::1", "v6:2001:db8::2"}, "100.100.100.100", true},
        {"only 0.0.0.0", {"v4:0.0.0.0"}, "", false},
        {"IPv6 and 0.0.0.0", {"v4:0.0.0.0", "v6:::1"}, "100.100.100.100", true},
        {"empty", {}, "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HandList l(c.list);
        bool placeholder = !c.placeholder;
        EXPECT_EQ(textForTerminal(l.get(), &placeholder), c.text);
        EXPECT_EQ(placeholder, c.placeholder);
    }
}

AddrInfoList numeric(const char *text) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    EXPECT_EQ(getaddrinfo(text, "80", &hints, &found), 0) << text;
    return AddrInfoList(found);
}

uint32_t placeholderAddr() {
    in_addr a{};
    inet_pton(AF_INET, "100.100.100.100", &a);
    return a.s_addr;
}

TEST(ResolutionStore, PlaceholderServesOneRequestThenIsOrdinary) {
    ResolutionStore store;
    AddrInfoList got;
    EXPECT_FALSE(store.takeForPlaceholder(placeholderAddr(), &got)) << "nothing resolved yet";

    store.beginResolution();
    store.finishResolution(numeric("2001:db8::5"), true);
    EXPECT_EQ(store.placeholder(), placeholderAddr());
    EXPECT_FALSE(store.takeForPlaceholder(htonl(0x7F000001), &got)) << "another address";
    EXPECT_TRUE(store.hasList());

    ASSERT_TRUE(store.takeForPlaceholder(placeholderAddr(), &got));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->ai_family, AF_INET6);
    EXPECT_EQ(store.placeholder(), 0u);
    EXPECT_FALSE(store.hasList());
    AddrInfoList again;
    EXPECT_FALSE(store.takeForPlaceholder(placeholderAddr(), &again)) << "the second request is ordinary";
}

TEST(ResolutionStore, AResolutionWithIpv4KeepsThePlaceholderClear) {
    ResolutionStore store;
    store.finishResolution(numeric("2001:db8::5"), true);
    store.beginResolution();  // a new name: the old placeholder no longer applies
    EXPECT_EQ(store.placeholder(), 0u);
    store.finishResolution(numeric("192.0.2.1"), false);
    EXPECT_EQ(store.placeholder(), 0u);
    EXPECT_TRUE(store.hasList());
    AddrInfoList got;
    EXPECT_FALSE(store.takeForPlaceholder(placeholderAddr(), &got));
}

// The services thread resolving while SOCKS threads consume: every list is
// freed exactly once (ASan/TSan builds would report otherwise), and each
// placeholder is consumed at most once.
TEST(ResolutionStore, ConcurrentResolveAndConsume) {
    ResolutionStore store;
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::vector<std::thread> consumers;
    for (int t = 0; t < 4; ++t)
        consumers.emplace_back([&] {
            while (!done.load()) {
                AddrInfoList got;
                if (store.takeForPlaceholder(placeholderAddr(), &got)) {
                    ASSERT_NE(got, nullptr);
                    ++taken;
                }
            }
        });
    constexpr int kRounds = 2000;
    for (int i = 0; i < kRounds; ++i) {
        store.beginResolution();
        store.finishResolution(numeric("2001:db8::9"), true);
    }
    done = true;
    for (auto &t : consumers) t.join();
    EXPECT_LE(taken.load(), kRounds);
}

}  // namespace
