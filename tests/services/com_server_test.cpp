// The service server end to end on loopback: a real TCP client plays the
// terminal's services connection; requests reach their handler through the
// table and are answered; bad requests are dropped without closing; the
// connection's life drives the status.
#include "services/com.h"

#include "peers.h"
#include "test_util.h"
#include "service/log.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace ryn::services;
using namespace ryn::test;

constexpr uint32_t kEchoTag = 0x60020009;  // a table tag with a test handler
constexpr uint32_t kUnservedTag = 0x60020003;  // in the table, no handler
constexpr uint32_t kField = 0x40000001;

std::mutex g_seenLock;
std::vector<std::string> g_seen;  // first-child values, in dispatch order

std::vector<std::string> seen() {
    std::lock_guard<std::mutex> l(g_seenLock);
    return g_seen;
}

// Answers with the request's tag + 0x01000000 and the same first value.
int echoHandler(ServiceConnection &connection, const unsigned char *message, uint32_t length) {
    const std::string request(reinterpret_cast<const char *>(message), length);
    const std::string value = firstChildValue(request);
    {
        std::lock_guard<std::mutex> l(g_seenLock);
        g_seen.push_back(value);
    }
    const std::string answer = envelopeOf(rootTagOf(request) + 0x01000000, {{kField, value}});
    return int(sendAll(connection, answer.data(), answer.size()));
}

int throwingHandler(ServiceConnection &, const unsigned char *, uint32_t) { throw std::runtime_error("boom"); }

ServiceEntry kEntries[] = {
    {kEchoTag, "PDA_TAG_GET_PDA_INFO_REQ", echoHandler},
    {kUnservedTag, "GET_COM_STATE_REQ", nullptr},
    {0x60020004, "SET_COM_CHANNEL_REQ", throwingHandler},
};
const ServiceTable kTable{kEntries, 3};

class ComServer : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> l(g_seenLock);
            g_seen.clear();
        }
        logDestroy();  // never the real log file
        terminal_ = std::make_unique<TerminalPeer>([](int, const std::string &, int) { return true; });
        ComOptions o;
        o.servicesPort = 0;
        o.channelPort = terminal_->port();
        o.table = &kTable;
        com_ = std::make_unique<Com>(o);
        ASSERT_TRUE(waitFor([&] { return com_->servicesPort() != 0; }));
    }
    void TearDown() override {
        for (int fd : clients_) ::close(fd);
        com_.reset();
        terminal_.reset();
    }
    int connectClient() {
        const int fd = connectLoopback(com_->servicesPort());
        EXPECT_GE(fd, 0);
        clients_.push_back(fd);
        return fd;
    }
    std::string ask(int fd, const std::string &value) {
        writeAll(fd, envelopeOf(kEchoTag, {{kField, value}}));
        return readEnvelope(fd);
    }

    std::unique_ptr<TerminalPeer> terminal_;
    std::unique_ptr<Com> com_;
    std::vector<int> clients_;
};

TEST_F(ComServer, RequestReachesItsHandlerAndIsAnswered) {
    const int fd = connectClient();
    const std::string answer = ask(fd, "hello");
    EXPECT_EQ(rootTagOf(answer), kEchoTag + 0x01000000);
    EXPECT_EQ(firstChildValue(answer), "hello");
    // Serial mode: the terminal being up opens the channel too.
    EXPECT_TRUE(waitFor([&] { return com_->GetStatusCom(); }));
    EXPECT_TRUE(waitFor([&] { return terminal_->accepted() == 1; }));
}

TEST_F(ComServer, BackToBackRequestsAreDispatchedInOrder) {
    const int fd = connectClient();
    writeAll(fd, envelopeOf(kEchoTag, {{kField, "one"}}) + envelopeOf(kEchoTag, {{kField, "two"}}));
    EXPECT_EQ(firstChildValue(readEnvelope(fd)), "one");
    EXPECT_EQ(firstChildValue(readEnvelope(fd)), "two");
    EXPECT_EQ(seen(), (std::vector<std::string>{"one", "two"}));
}

TEST_F(ComServer, BadRequestsAreDroppedAndTheConnectionStays) {
    const int fd = connectClient();
    std::string badProtocol = envelopeOf(kEchoTag, {{kField, "p"}});
    badProtocol[4] = 0x01;
    badProtocol[5] = 0x00;
    const std::string drops[] = {
        std::string("\0\0\0\0\0\x01", 6),                          // payload length 0
        envelopeOf(0x6002FFFF),                                    // tag not in the table
        envelopeOf(kUnservedTag),                                  // no handler yet
        envelopeOf(0x60020004),                                    // the handler throws
        badProtocol,                                               // protocol 0x0001
        std::string("\x05\0\0\0\0\x01\x00\x01\x00\x00\xFF", 11),   // a tree without node
        std::string("\x03\0\0\0\0\x01\x00\x02\x00", 9),            // not a tree
    };
    for (const auto &d : drops) writeAll(fd, d);
    const std::string answer = ask(fd, "still here");
    EXPECT_EQ(firstChildValue(answer), "still here");
    EXPECT_EQ(seen(), std::vector<std::string>{"still here"});  // nothing else reached it
}

TEST_F(ComServer, DroppedRequestsAreLoggedWithTheirReason) {
    TempDir dir;
    ryn::log::setPathForTesting(dir.file("RYNLog.txt"));
    logCreate();
    const int fd = connectClient();
    writeAll(fd, std::string("\0\0\0\0\0\x01", 6));
    writeAll(fd, envelopeOf(0x6002FFFF));
    ASSERT_EQ(firstChildValue(ask(fd, "sync")), "sync");  // both were handled before it
    logDestroy();
    ryn::log::setPathForTesting("");
    const std::string log = readFile(dir.file("RYNLog.txt"));
    EXPECT_NE(log.find("TLVTree_DecodeServiceMsg: PDA_STATUS_INVALID_PARAMETERS"), std::string::npos);
    EXPECT_NE(log.find("TAG 0x6002FFFF"), std::string::npos);
    EXPECT_NE(log.find("PDA_TAG_GET_PDA_INFO_REQ"), std::string::npos);
}

TEST_F(ComServer, DeclaredPayloadAboveTheCapClosesTheConnection) {
    const int fd = connectClient();
    ASSERT_TRUE(waitFor([&] { return com_->servicesConnected.load(); }));
    writeAll(fd, std::string("\x01\x00\x00\x40\x00\x01", 6));  // 1 GiB announced
    EXPECT_TRUE(seesClose(fd));
    EXPECT_TRUE(waitFor([&] { return !com_->servicesConnected.load(); }));
    // The server keeps listening.
    EXPECT_EQ(firstChildValue(ask(connectClient(), "again")), "again");
}

TEST_F(ComServer, PeerCloseClearsTheStatusAndANewConnectionIsServed) {
    const int fd = connectClient();
    ASSERT_EQ(firstChildValue(ask(fd, "a")), "a");
    ASSERT_TRUE(waitFor([&] { return com_->GetStatusCom(); }));
    ::shutdown(fd, SHUT_RDWR);
    EXPECT_TRUE(waitFor([&] { return !com_->servicesConnected.load(); }));
    EXPECT_FALSE(com_->GetStatusCom());
    EXPECT_EQ(firstChildValue(ask(connectClient(), "b")), "b");
}

TEST_F(ComServer, NewConnectionRetiresTheOlderOne) {
    const int first = connectClient();
    ASSERT_EQ(firstChildValue(ask(first, "old")), "old");
    const int second = connectClient();
    EXPECT_EQ(firstChildValue(ask(second, "new")), "new");
    EXPECT_TRUE(seesClose(first));  // shut down by the host, not left dangling
    EXPECT_TRUE(com_->servicesConnected.load());
}

TEST_F(ComServer, SerialModeListensOnLoopbackOnly) {
    const int listenFd = com_->socketListen.load();
    ASSERT_GE(listenFd, 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listenFd, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(ComServer, DeletionWhileAClientIsConnectedJoinsEverything) {
    const int fd = connectClient();
    ASSERT_EQ(firstChildValue(ask(fd, "x")), "x");
    writeAll(fd, envelopeOf(kEchoTag).substr(0, 3));  // the reader waits mid-frame
    com_.reset();
    EXPECT_TRUE(seesClose(fd));
}

// A port that cannot be bound is retried after a pause, and deletion stays
// prompt meanwhile.
TEST(ComServerBind, BusyPortIsRetriedUntilFree) {
    logDestroy();
    uint16_t port;
    const int blocker = listenLoopback(port);
    ComOptions o;
    o.servicesPort = port;
    o.channelPort = 1;
    o.table = &kTable;
    {
        Com busy(o);
        // Nothing to wait for that would prove the failure; the object is
        // deleted while its server is between bind attempts.
        EXPECT_EQ(busy.servicesPort(), 0);
    }
    auto com = std::make_unique<Com>(o);
    ::close(blocker);
    EXPECT_TRUE(waitFor([&] { return com->servicesPort() == port; }));
    const int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    writeAll(fd, envelopeOf(kEchoTag, {{kField, "bound"}}));
    EXPECT_EQ(firstChildValue(readEnvelope(fd)), "bound");
    ::close(fd);
}

// The default table serves what the services register, and nothing else.
TEST(ComServerDefaultTable, RegisteredHandlersAreDispatched) {
    logDestroy();
    {
        std::lock_guard<std::mutex> l(g_seenLock);
        g_seen.clear();
    }
    constexpr uint32_t kDomainTag = 0x60020010;
    EXPECT_FALSE(registerServiceHandler(0x6002FFFF, echoHandler));
    ASSERT_TRUE(registerServiceHandler(kDomainTag, echoHandler));
    ComOptions o;
    o.servicesPort = 0;
    o.channelPort = 1;
    Com com(o);
    ASSERT_TRUE(waitFor([&] { return com.servicesPort() != 0; }));
    const int fd = connectLoopback(com.servicesPort());
    ASSERT_GE(fd, 0);
    writeAll(fd, envelopeOf(0x60020009, {{kField, "unregistered"}}));  // dropped
    writeAll(fd, envelopeOf(kDomainTag, {{kField, "served"}}));
    const std::string answer = readEnvelope(fd);
    EXPECT_EQ(rootTagOf(answer), kDomainTag + 0x01000000);
    EXPECT_EQ(firstChildValue(answer), "served");
    EXPECT_EQ(seen(), std::vector<std::string>{"served"});
    registerServiceHandler(kDomainTag, nullptr);
    ::close(fd);
}

TEST(ComServerIpMode, ListensOnAllAddressesAndHasNoChannelUntilTheTerminalDials) {
    logDestroy();
    ComOptions o;
    o.servicesPort = 0;
    o.ipMode = true;
    o.table = &kTable;
    Com com(o);
    ASSERT_TRUE(waitFor([&] { return com.servicesPort() != 0; }));
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(com.socketListen.load(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_ANY));
    uint32_t slot = 7;
    EXPECT_FALSE(com.GetConnection(&slot));
    EXPECT_EQ(com.connectionUsers.load(), 0);
}

}  // namespace
