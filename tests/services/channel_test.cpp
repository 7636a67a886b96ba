// The host-to-terminal channel against a real TCP listener that plays the
// terminal: lazy open, one exchange, reopen after the peer closes, and the
// answers that must be refused (split then cut, late, oversized).
#include "services/channel_use.h"
#include "services/com.h"

#include "peers.h"
#include "service/log.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace ryn::services;
using namespace ryn::test;

constexpr uint32_t kRequestTag = 0x60010010;
constexpr uint32_t kField = 0x40000001;
constexpr uint32_t kTimeoutMs = 20000;

// The answer a terminal gives: tag + 0x01000000, the request's value back.
std::string answerTo(const std::string &request) {
    return envelopeOf(rootTagOf(request) + 0x01000000, {{kField, firstChildValue(request)}});
}

bool answer(int fd, const std::string &request, int) {
    writeAll(fd, answerTo(request));
    return true;
}

std::unique_ptr<Com> makeCom(uint16_t channelPort) {
    logDestroy();
    ComOptions o;
    o.servicesPort = 0;
    o.channelPort = channelPort;
    return std::make_unique<Com>(o);
}

// One exchange through the operation frame; the answer's value, or the
// failure code as text.
std::string roundTrip(Com &com, const std::string &value, uint32_t timeoutMs = kTimeoutMs,
                     uint32_t capacity = 4096) {
    ChannelUse use(com, nullptr);
    if (!use) return "no channel";
    const std::string request = envelopeOf(kRequestTag, {{kField, value}});
    std::string response(capacity, '\0');
    const int r = com.ExchangeMsg(use.slot(), timeoutMs, reinterpret_cast<const unsigned char *>(request.data()),
                                  uint32_t(request.size()),
                                  reinterpret_cast<unsigned char *>(response.data()), capacity);
    if (r <= 0) return "failed " + std::to_string(r);
    response.resize(size_t(r));
    if (rootTagOf(response) != kRequestTag + 0x01000000) return "wrong answer";
    return firstChildValue(response);
}

TEST(Channel, OpensLazilyAndExchangesOneRequest) {
    TerminalPeer terminal(answer);
    auto com = makeCom(terminal.port());
    EXPECT_EQ(terminal.accepted(), 0);
    EXPECT_EQ(roundTrip(*com, "ping"), "ping");
    EXPECT_EQ(terminal.accepted(), 1);
    EXPECT_EQ(roundTrip(*com, "again"), "again");
    EXPECT_EQ(terminal.accepted(), 1);  // kept open across operations
    EXPECT_EQ(com->connectionUsers.load(), 0);
    EXPECT_GT(g_ulLastTickCounter.load(), 0u);
}

TEST(Channel, InvalidArgumentsFailWithoutSending) {
    TerminalPeer terminal(answer);
    auto com = makeCom(terminal.port());
    uint32_t slot;
    ASSERT_TRUE(com->GetConnection(&slot));
    unsigned char req[8] = {1}, resp[64];
    EXPECT_EQ(com->ExchangeMsg(slot, 100, req, 0, resp, sizeof resp), kExchangeFailed);
    EXPECT_EQ(com->ExchangeMsg(slot, 100, nullptr, 8, resp, sizeof resp), kExchangeFailed);
    EXPECT_EQ(com->ExchangeMsg(slot, 100, req, 8, nullptr, 64), kExchangeFailed);
    EXPECT_EQ(com->ExchangeMsg(Com::kServicesSlot, 100, req, 8, resp, sizeof resp), kExchangeFailed);
    com->ReleaseConnectionUserID();
    // A valid exchange afterwards is the first thing the terminal sees.
    EXPECT_EQ(roundTrip(*com, "first"), "first");
    EXPECT_EQ(terminal.requests(), 1);
}

TEST(Channel, AnswerInThreeSegmentsIsAssembled) {
    TerminalPeer terminal([](int fd, const std::string &request, int) {
        const std::string a = answerTo(request);
        // Cut inside the length field, then inside the tree.
        for (auto [from, len] : {std::pair<size_t, size_t>{0, 2}, {2, 9}, {11, std::string::npos}}) {
            writeAll(fd, a.substr(from, len));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // separate segments
        }
        return true;
    });
    auto com = makeCom(terminal.port());
    EXPECT_EQ(roundTrip(*com, std::string(300, 's')), std::string(300, 's'));
}

TEST(Channel, PeerClosingIsSurvivedByOneReopen) {
    // The terminal answers, then drops the connection after each answer.
    TerminalPeer terminal([](int fd, const std::string &request, int) {
        writeAll(fd, answerTo(request));
        return false;
    });
    auto com = makeCom(terminal.port());
    // Each close is waited for, so the host finds the connection dead before
    // it sends (a death noticed only after sending is a failed exchange:
    // the request may have been carried out, so it is not repeated).
    EXPECT_EQ(roundTrip(*com, "one"), "one");
    ASSERT_TRUE(waitFor([&] { return terminal.closed() == 1; }));
    EXPECT_EQ(roundTrip(*com, "two"), "two");  // found dead by the flush, reopened
    ASSERT_TRUE(waitFor([&] { return terminal.closed() == 2; }));
    EXPECT_EQ(roundTrip(*com, "three"), "three");
    EXPECT_EQ(terminal.accepted(), 3);
}

TEST(Channel, CutAnswerFailsAndTheNextExchangeIsClean) {
    TerminalPeer terminal([](int fd, const std::string &request, int index) {
        if (index == 0) {
            writeAll(fd, answerTo(request).substr(0, 9));  // half an answer, then gone
            return false;
        }
        writeAll(fd, answerTo(request));
        return true;
    });
    auto com = makeCom(terminal.port());
    EXPECT_EQ(roundTrip(*com, "cut"), "failed " + std::to_string(kExchangeBroken));
    EXPECT_EQ(roundTrip(*com, "whole"), "whole");
}

TEST(Channel, OversizedAnswerIsRefusedAndTheStreamResynchronised) {
    TerminalPeer terminal([](int fd, const std::string &request, int index) {
        if (index == 0) writeAll(fd, envelopeOf(kRequestTag + 0x01000000, {{kField, std::string(5000, 'L')}}));
        else writeAll(fd, answerTo(request));
        return true;
    });
    auto com = makeCom(terminal.port());
    EXPECT_EQ(roundTrip(*com, "big", kTimeoutMs, 1024), "failed " + std::to_string(kExchangeMalformed));
    // The rest of the big answer must not be taken for the next answer.
    EXPECT_EQ(roundTrip(*com, "next", kTimeoutMs, 1024), "next");
}

TEST(Channel, LateAnswerIsNotTakenForTheNextOne) {
    std::mutex mu;
    std::condition_variable cv;
    bool release = false, staleSent = false;
    TerminalPeer terminal([&](int fd, const std::string &request, int index) {
        if (index == 0) {
            std::unique_lock<std::mutex> l(mu);
            cv.wait(l, [&] { return release; });
            writeAll(fd, answerTo(request));  // after the host gave up
            staleSent = true;
            cv.notify_all();
            return true;
        }
        writeAll(fd, answerTo(request));
        return true;
    });
    auto com = makeCom(terminal.port());
    EXPECT_EQ(roundTrip(*com, "slow", 50), "failed " + std::to_string(kExchangeNoAnswer));
    {
        std::unique_lock<std::mutex> l(mu);
        release = true;
        cv.notify_all();
        cv.wait(l, [&] { return staleSent; });
    }
    // The stale answer has reached the host's socket before the next request.
    ASSERT_TRUE(waitFor([&] {
        pollfd p{com->socketConnect.load(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    EXPECT_EQ(roundTrip(*com, "fresh"), "fresh");
}

TEST(Channel, RefusedThreeTimesGivesNoConnection) {
    uint16_t port;
    const int fd = listenLoopback(port);
    ::close(fd);  // nothing listens there now
    auto com = makeCom(port);
    uint32_t slot = 0;
    EXPECT_FALSE(com->GetConnection(&slot));
    EXPECT_EQ(slot, Com::kNoSlot);
    EXPECT_EQ(com->connectionUsers.load(), 0);
    unsigned char req[6] = {0}, resp[16];
    EXPECT_EQ(com->ExchangeMsg(0, 100, req, 6, resp, sizeof resp), kExchangeFailed);
}

TEST(Channel, StringExchangeUsesItsOwnBuffer) {
    TerminalPeer terminal(answer);
    auto com = makeCom(terminal.port());
    uint32_t slot;
    ASSERT_TRUE(com->GetConnection(&slot));
    std::string response = "stale";
    const std::string request = envelopeOf(kRequestTag, {{kField, "s"}});
    EXPECT_EQ(com->ExchangeMsg(slot, kTimeoutMs, request, response), int(answerTo(request).size()));
    EXPECT_EQ(response, answerTo(request));
    // Above the 1024-byte buffer: refused, and the response stays empty.
    const std::string big = envelopeOf(kRequestTag, {{kField, std::string(2000, 'b')}});
    EXPECT_EQ(com->ExchangeMsg(slot, kTimeoutMs, big, response), kExchangeMalformed);
    EXPECT_TRUE(response.empty());
    com->ReleaseConnectionUserID();
}

// Two application threads at once: each gets its own answer, and only the
// last user to leave releases the terminal.
TEST(Channel, ConcurrentUsersShareTheChannelAndTheLastReleasesPower) {
    TerminalPeer terminal(answer);
    auto com = makeCom(terminal.port());
    Power power;
    std::mutex mu;
    std::condition_variable cv;
    int inside = 0;
    bool firstLeft = false;
    std::string results[2];
    auto worker = [&](int i) {
        {
            ChannelUse use(*com, &power);
            ASSERT_TRUE(use);
            {
                // Both hold the channel before either exchanges or leaves.
                std::unique_lock<std::mutex> l(mu);
                ++inside;
                cv.notify_all();
                cv.wait(l, [&] { return inside == 2; });
            }
            const std::string value = "thread" + std::to_string(i);
            const std::string request = envelopeOf(kRequestTag, {{kField, value}});
            std::string response;
            com->ExchangeMsg(use.slot(), kTimeoutMs, request, response);
            results[i] = firstChildValue(response);
            if (i == 1) {
                std::unique_lock<std::mutex> l(mu);
                cv.wait(l, [&] { return firstLeft; });
                // The first user left while this one holds the channel.
                EXPECT_EQ(power.state.load(), Power::kInUse);
            }
        }
        if (i == 0) {
            std::lock_guard<std::mutex> l(mu);
            firstLeft = true;
            cv.notify_all();
        }
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(results[0], "thread0");
    EXPECT_EQ(results[1], "thread1");
    EXPECT_EQ(power.state.load(), Power::kReleased);
    EXPECT_EQ(com->connectionUsers.load(), 0);
}

TEST(Channel, DeletionWakesAnExchangeWaitingForItsAnswer) {
    std::atomic<bool> got{false};
    TerminalPeer terminal([&](int, const std::string &, int) {
        got = true;
        return true;  // never answers
    });
    auto com = makeCom(terminal.port());
    std::atomic<int> result{1};
    std::thread app([&] {
        uint32_t slot;
        ASSERT_TRUE(com->GetConnection(&slot));
        const std::string request = envelopeOf(kRequestTag);
        std::string response;
        result = com->ExchangeMsg(slot, 900000, request, response);
    });
    ASSERT_TRUE(waitFor([&] { return got.load(); }));
    // Stop: the exchange returns long before its 900 s timeout.
    com->stop.store(true);
    com->CloseAllConnection();
    app.join();
    EXPECT_LE(result.load(), 0);
}

}  // namespace
