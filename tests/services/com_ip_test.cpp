// The IP half of Com with a real TCP peer playing a terminal on the LAN:
// the channel it dials in is used for exchanges, a newer channel retires
// the older one and its echo task, the echo keeps a live channel and drops
// a silent one, and the terminal's own echo is answered. Ports are
// ephemeral and the echo timings short, so nothing waits for long.
#include "services/com.h"

#include "peers.h"
#include "service/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

using namespace ryn::services;
using namespace ryn::test;

constexpr uint32_t kEchoRequest = 0x60010040;
constexpr uint32_t kEchoAnswer = 0x61010040;

std::unique_ptr<Com> ipCom(uint32_t idleMs = 3600000) {
    logDestroy();
    ComOptions o;
    o.ipMode = true;
    o.servicesPort = 0;
    o.channelPort = 0;
    o.echoIdleMs = idleMs;
    o.echoRetryMs = 50;
    o.echoPeriodMs = 20;
    auto com = std::make_unique<Com>(o);
    waitFor([&] { return com->channelListenPort() != 0 && com->servicesPort() != 0; });
    return com;
}

// The terminal's end of a channel: answers echoes (while `answering`) and
// any other request with tag + 0x01000000.
class ChannelPeer {
public:
    explicit ChannelPeer(uint16_t port) : fd_(connectLoopback(port)) {
        thread_ = std::thread([this] {
            for (;;) {
                bool eof = false;
                const std::string request = readEnvelope(fd_, 200, &eof);
                if (eof || stop_) break;
                if (request.empty()) continue;
                const uint32_t tag = rootTagOf(request);
                if (tag == kEchoRequest) {
                    ++echoes_;
                    if (!answering_) continue;
                }
                writeAll(fd_, envelopeOf(tag + 0x01000000));
            }
            closed_ = true;
        });
    }
    ~ChannelPeer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    std::atomic<bool> answering_{true};
    std::atomic<int> echoes_{0};
    std::atomic<bool> closed_{false};

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int exchange(Com &com, uint32_t tag) {
    uint32_t slot;
    if (!com.GetConnection(&slot)) return -100;
    const std::string request = envelopeOf(tag);
    unsigned char answer[256];
    const int n = com.ExchangeMsg(slot, 5000, reinterpret_cast<const unsigned char *>(request.data()),
                                  uint32_t(request.size()), answer, sizeof answer);
    com.ReleaseConnectionUserID();
    return n > 0 ? int(rootTagOf(std::string(reinterpret_cast<char *>(answer), size_t(n)))) : n;
}

TEST(ComIp, ANewerChannelRetiresTheOlderOneAndItsEchoTask) {
    auto com = ipCom();
    auto first = std::make_unique<ChannelPeer>(com->channelListenPort());
    ASSERT_TRUE(waitFor([&] { return com->channelConnected.load(); }));
    EXPECT_EQ(exchange(*com, 0x60010010), 0x61010010);

    ChannelPeer second(com->channelListenPort());
    // The older connection is closed by the host, the newer one serves.
    EXPECT_TRUE(waitFor([&] { return first->closed_.load(); }));
    EXPECT_EQ(exchange(*com, 0x60010011), 0x61010011);
    EXPECT_TRUE(com->channelConnected.load());
}

TEST(ComIp, EchoKeepsALiveChannelAndDropsASilentOne) {
    auto com = ipCom(100);
    ChannelPeer terminal(com->channelListenPort());
    ASSERT_TRUE(waitFor([&] { return com->channelConnected.load(); }));
    ASSERT_TRUE(waitFor([&] { return terminal.echoes_.load() >= 3; }));
    EXPECT_TRUE(com->channelConnected.load());
    EXPECT_FALSE(terminal.closed_.load());

    terminal.answering_ = false;
    EXPECT_TRUE(waitFor([&] { return !com->channelConnected.load(); }));
    EXPECT_TRUE(waitFor([&] { return terminal.closed_.load(); }));
    EXPECT_GE(terminal.echoes_.load(), 4);
    uint32_t slot;
    EXPECT_FALSE(com->GetConnection(&slot));
    // The terminal dials in again and is served.
    ChannelPeer again(com->channelListenPort());
    EXPECT_TRUE(waitFor([&] { return com->channelConnected.load(); }));
    EXPECT_EQ(exchange(*com, 0x60010012), 0x61010012);
}

TEST(ComIp, TheTerminalsEchoIsAnsweredOnTheServicesConnection) {
    auto com = ipCom();
    const int fd = connectLoopback(com->servicesPort());
    ASSERT_GE(fd, 0);
    writeAll(fd, envelopeOf(0x60020040));
    EXPECT_EQ(rootTagOf(readEnvelope(fd)), 0x61020040u);
    ::close(fd);
}

TEST(ComIp, DeletionWithAChannelAndEchoRunningJoinsEverything) {
    auto com = ipCom(50);
    ChannelPeer terminal(com->channelListenPort());
    ASSERT_TRUE(waitFor([&] { return terminal.echoes_.load() >= 1; }));
    com.reset();  // joins the server, the echo task and closes the channel
    EXPECT_TRUE(waitFor([&] { return terminal.closed_.load(); }));
}

}  // namespace
