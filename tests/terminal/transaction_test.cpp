// Payment transaction: the records and CONCERT fields as tables of bytes,
// the answers that must fail, pushed results, and one payment end to end
// against a real TCP peer playing the terminal.
#include "ryn_transaction.h"
#include "service/log.h"
#include "service/manager.h"
#include "services/com.h"
#include "services/peers.h"
#include "services/power.h"
#include "terminal/transaction.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <memory>

namespace {

using namespace ryn::terminal;
using namespace ryn::test;

using Children = std::map<uint32_t, std::string>;

Children childrenOf(sTLV_TREE_NODE *tree) {
    Children out;
    for (sTLV_TREE_NODE *c = TlvTree_GetFirstChild(tree); c; c = TlvTree_GetNext(c))
        out[TlvTree_GetTag(c)] =
            std::string(static_cast<const char *>(TlvTree_GetData(c)), TlvTree_GetLength(c));
    return out;
}

Children requestChildren(TransactionIn &in, uint32_t app = 0, const std::string &ext = "") {
    char record[kRequestRecordSize];
    in.fillRequestRecord(record);
    ConcertRequest request;
    buildConcertRequest(record, request);
    sTLV_TREE_NODE *tree = encodeTransactionRequest(
        request, app, reinterpret_cast<const unsigned char *>(ext.data()), uint32_t(ext.size()));
    EXPECT_EQ(TlvTree_GetTag(tree), kTagTransactionReq);
    Children c = childrenOf(tree);
    TlvTree_Release(tree);
    return c;
}

TEST(TransactionIn, SettersPadAndRefuse) {
    TransactionIn in;
    EXPECT_TRUE(in.setAmount("1234"));
    EXPECT_EQ(std::string(in.getAmount(), 12), "000000001234");
    EXPECT_FALSE(in.setAmount("1234567890123"));
    EXPECT_EQ(std::string(in.getAmount(), 12), "000000001234");
    EXPECT_FALSE(in.setAmount(nullptr));
    EXPECT_TRUE(in.setCurrencyCode("978"));
    EXPECT_FALSE(in.setCurrencyCode("9781"));
    EXPECT_TRUE(in.setTermNum("42"));
    EXPECT_EQ(std::string(in.getTermNum(), 8), "00000042");
    EXPECT_TRUE(in.setOperation(""));
    EXPECT_EQ(*in.getOperation(), '0');
    EXPECT_FALSE(in.setOperation("CC"));
    EXPECT_TRUE(in.setUserData1("ABC"));
    EXPECT_EQ(std::string(in.getUserData1(), 32), std::string(29, '0') + "ABC");
}

TEST(TransactionRequest, ChildrenFromTheRecord) {
    struct Case {
        const char *operation, *auth, *cheque;
        const char *mode;        // nullptr: no mode child
        const char *authChild;   // nullptr: no 0x40002008
        const char *amount;
    } cases[] = {
        {"C", "1", "0", "0", "1", "00001234"}, {"G", "2", "1", "0", "1", "00001234"},
        {"D", "2", "2", "1", "2", "00001234"}, {"H", "2", "3", "2", nullptr, "00001234"},
        {"J", "0", "0", "2", nullptr, "00001234"}, {"U", "", "", "2", nullptr, "00001234"},
        {"I", "1", "1", "A", "1", "00000000"}, {"K", "1", "1", "3", "1", "00001234"},
        {"E", "1", "1", nullptr, "1", "00001234"},
    };
    for (const auto &c : cases) {
        TransactionIn in;
        in.setAmount("1234");
        in.setCurrencyCode("978");
        in.setTermNum("12345678");
        in.setOperation(c.operation);
        in.setAuthorizationType(c.auth);
        in.setCtrlCheque(c.cheque);
        Children ch = requestChildren(in);
        EXPECT_EQ(ch[0x40002000], "78") << c.operation;
        EXPECT_EQ(ch[0x40002001], c.amount) << c.operation;
        EXPECT_EQ(ch[0x40002002], "1");
        EXPECT_EQ(ch[0x40002003], "0");
        EXPECT_EQ(ch[0x40002005], "978");
        EXPECT_EQ(ch[0x40002007], "1");
        EXPECT_EQ(ch.count(0x40002004), c.mode ? 1u : 0u) << c.operation;
        if (c.mode) {
            EXPECT_EQ(ch[0x40002004], c.mode) << c.operation;
        }
        EXPECT_EQ(ch.count(0x40002008), c.authChild ? 1u : 0u) << c.operation << c.auth << c.cheque;
        if (c.authChild) {
            EXPECT_EQ(ch[0x40002008], c.authChild);
        }
        EXPECT_EQ(ch.count(0x40002006), 0u) << "no user data set";
        EXPECT_EQ(ch.count(0x4000200A), 0u);
        EXPECT_EQ(ch.count(0x40002009), 0u);
    }
}

TEST(TransactionRequest, UserDataApplicationAndExtendedData) {
    TransactionIn in;
    in.setAmount("1");
    in.setOperation("C");
    in.setUserData1("0123456789ABCDEFGHIJ");
    Children ch = requestChildren(in, 0x01020304, "ext");
    EXPECT_EQ(ch[0x40002006], "ABCDEFGHIJ");
    EXPECT_EQ(ch[0x4000200A], std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(ch[0x40002009], "ext");
    // A fresh object's terminal number is blank: no terminal child.
    EXPECT_EQ(ch.count(0x40002000), 0u);
}

std::string response(const std::vector<std::pair<uint32_t, std::string>> &children,
                     uint32_t root = kTagTransactionRsp) {
    return envelopeOf(root, children);
}

int decode(const std::string &message, transactionCONCERTResp_t &resp, unsigned char *ext = nullptr,
           uint32_t *extSize = nullptr, uint32_t root = kTagTransactionRsp) {
    return decodeTransactionResponse(reinterpret_cast<const unsigned char *>(message.data()), message.size(), root,
                                     resp, ext, extSize);
}

TEST(TransactionResponse, ApprovedAnswerTranslatesIntoTheOutputRecord) {
    transactionCONCERTResp_t resp;
    ASSERT_EQ(decode(response({{0x40002020, "42"},
                               {0x40002021, "0"},
                               {0x40002022, "00001234"},
                               {0x40002024, "978"},
                               {0x40002025, "USERDATA10"},
                               {0x4000202D, "REP"},
                               {0x4000202E, "PRIV"},
                               {0x40009999, "unknown child ignored"}}),
                     resp),
              1);
    char out[kOutputRecordSize];
    translationFromCONCERTtoKx(resp, out);
    TransactionOut result;
    result.fillFromOutputRecord(out);
    EXPECT_STREQ(result.getAmount(), "000000001234");
    EXPECT_STREQ(result.getCurrencyCode(), "978");
    EXPECT_STREQ(result.getKxError(), "0000");
    EXPECT_STREQ(result.getTerminalNumber(), "00000042");
    EXPECT_STREQ(result.getUserData1(), (std::string(22, '0') + "USERDATA10").c_str());
    EXPECT_EQ(std::string(result.getPrivateData()), "REP" + std::string(52, ' ') + "PRIV" + std::string(14, ' '));
}

TEST(TransactionResponse, DeclinedOrSilentStatusIsKxError0001) {
    for (const auto &message : {response({{0x40002021, "7"}}), response({{0x40002022, "00000001"}}), response({})}) {
        transactionCONCERTResp_t resp;
        ASSERT_EQ(decode(message, resp), 1);
        char out[kOutputRecordSize];
        translationFromCONCERTtoKx(resp, out);
        EXPECT_EQ(std::string(out + 34, 4), "0001");
    }
}

TEST(TransactionResponse, AnswersThatMustFail) {
    transactionCONCERTResp_t resp;
    // Another root tag is not "declined": the payment's fate is unknown.
    EXPECT_EQ(decode(response({{0x40002021, "0"}}, 0x61010006), resp), 0);
    std::string truncated = response({{0x40002021, "0"}});
    truncated.pop_back();
    EXPECT_EQ(decode(truncated, resp), 0);
    EXPECT_EQ(decode("", resp), 0);
}

TEST(TransactionResponse, ExtendedDataFitsOrFails) {
    const std::string ext300(300, 'x');
    transactionCONCERTResp_t resp;
    unsigned char buffer[400];
    uint32_t size = 200;
    EXPECT_EQ(decode(response({{0x40002021, "0"}, {kTagRspExtendedData, ext300}}), resp, buffer, &size), 0);
    EXPECT_EQ(size, 0u);
    size = 400;
    EXPECT_EQ(decode(response({{0x40002021, "0"}, {kTagRspExtendedData, ext300}}), resp, buffer, &size), 1);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 300), ext300);
    size = 400;  // no extended data in the answer: size 0
    EXPECT_EQ(decode(response({{0x40002021, "0"}}), resp, buffer, &size), 1);
    EXPECT_EQ(size, 0u);
    // The plain form has nowhere to put it.
    EXPECT_EQ(decode(response({{0x40002021, "0"}, {kTagRspExtendedData, "e"}}), resp), 0);
}

// A running container whose Com dials the test's terminal peer.
class Payment : public ::testing::Test {
protected:
    void SetUp() override {
        logDestroy();
        ryn::createManager();
        manager_ = gpPDA_Manager.load();
    }
    void TearDown() override {
        manager_->CloseService();
        ryn::destroyManager();
    }
    void run(uint16_t channelPort) {
        ryn::services::ComOptions o;
        o.servicesPort = 0;
        o.channelPort = channelPort;
        manager_->power = new Power();
        manager_->com = new Com(o);
        manager_->state = 1;
    }
    PDA_Manager *manager_ = nullptr;
};

TEST_F(Payment, ApprovedAndDeclinedThroughTheExportedCalls) {
    TerminalPeer terminal([](int fd, const std::string &request, int) {
        sTLV_TREE_NODE *tree = nullptr;
        ryn::services::TLVTree_DecodeServiceMsg(reinterpret_cast<const unsigned char *>(request.data()),
                                                request.size(), &tree);
        Children c = childrenOf(tree);
        TlvTree_Release(tree);
        // Approve up to 100.00, decline above.
        const bool approve = std::stoul(c[0x40002001]) <= 10000;
        writeAll(fd, response({{0x40002020, c[0x40002000]},
                               {0x40002021, approve ? "0" : "7"},
                               {0x40002022, c[0x40002001]},
                               {0x40002024, c[0x40002005]}}));
        return true;
    });
    run(terminal.port());
    ITransactionIn *in = create_itransactionin();
    ITransactionOut *out = create_itransactionout();
    ASSERT_TRUE(in && out);
    in->setAmount("2500");
    in->setCurrencyCode("978");
    in->setOperation("C");
    in->setTermNum("7");
    ASSERT_EQ(doTransaction(in, out), 1);
    EXPECT_STREQ(out->getKxError(), "0000");
    EXPECT_STREQ(out->getAmount(), "000000002500");
    EXPECT_STREQ(out->getTerminalNumber(), "00000007");
    in->setAmount("25000");
    ASSERT_EQ(doTransaction(in, out), 1);
    EXPECT_STREQ(out->getKxError(), "0001");
    EXPECT_EQ(doTransaction(nullptr, out), 0);
    EXPECT_EQ(manager_->power.load()->state.load(), Power::kReleased);
    delete in;
    delete out;
}

TEST_F(Payment, NoTerminalIsAFailureNotADecline) {
    uint16_t port;
    int fd = listenLoopback(port);
    ::close(fd);  // nothing listens there any more
    run(port);
    TransactionIn in;
    TransactionOut out;
    in.setAmount("100");
    EXPECT_EQ(doTransaction(&in, &out), 0);
    EXPECT_STREQ(out.getKxError(), "");
}

TEST_F(Payment, PushedResultsAreKeptUntilReplacedByAGoodOne) {
    run(1);
    char out[kOutputRecordSize];
    EXPECT_EQ(ReadTransactionResult(manager_, out), 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ryn::services::PlainTransport connection(sv[0]);
    auto push = [&](const std::string &message) {
        EXPECT_GT(ReceiveTransactionResult(connection, reinterpret_cast<const unsigned char *>(message.data()),
                                           uint32_t(message.size())),
                  0);
        std::string answer = readEnvelope(sv[1]);
        EXPECT_EQ(rootTagOf(answer), kTagPushedResultRsp);
        return firstChildValue(answer);
    };
    EXPECT_EQ(push(response({{0x40002021, "0"}, {0x40002022, "00000500"}}, kTagPushedResultReq)), std::string(1, 1));
    ASSERT_EQ(ReadTransactionResult(manager_, out), 1);
    EXPECT_EQ(std::string(out, 12), "000000000500");
    // A malformed push is refused and leaves the stored result alone.
    EXPECT_EQ(push(response({{0x40002021, "0"}, {kTagRspExtendedData, "x"}}, kTagPushedResultReq)),
              std::string(1, 0));
    ASSERT_EQ(ReadTransactionResult(manager_, out), 1);
    EXPECT_EQ(std::string(out, 12), "000000000500");
    EXPECT_EQ(std::string(out + 34, 4), "0000");
    ::close(sv[1]);
}

}  // namespace
