// A serially attached terminal, end to end: the real libRYNService.so
// (public headers only) runs PPP over a pseudo-terminal to the serial
// simulator (spmsim --terminal, lwIP's TCP in the simulator process). The
// payment goes through the library's channel to 127.0.0.1:5188, bridge
// entry 0 and the link to the terminal's port 5188; the terminal's receipt
// comes back through its connection to the link address 1.1.1.1:5186,
// bridge entry 1 and the library's service server, which calls the
// application's print callbacks. Runs inside private mount and network
// namespaces (tests/run_private.sh): the fixed ports, /tmp/RYNLog.txt and
// the home directory are private to it.
#include "RYNService.h"
#include "tests/tools/child_process.h"
#include "e2e_app.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using simtest::ChildProcess;
using ryn::test::connected;
using ryn::test::eventually;
using ryn::test::ReceiptRecorder;
using ryn::test::rynLog;


// Parameter: the simulator's line pace in bytes per second ("" unpaced).
class SerialPayment : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        setenv("RYN_HOME", home_.path().c_str(), 1);
        ryn::test::writeFile(home_.file(".CalvorinKestova/KestovaLinux.txt"), "Name=" + link() + ";Type=0");
        ReceiptRecorder::install();
    }
    void TearDown() override {
        stopRynService();
        if (sim_) {
            sim_->write("quit\n");
            // A clean exit: the simulator survived the library (and, in
            // sanitizer builds, found nothing to report).
            EXPECT_EQ(sim_->waitExit(10000), 0) << sim_->errText();
            sim_.reset();
        }
        ReceiptRecorder::uninstall();
        unsetenv("RYN_HOME");
    }

    std::string link() const { return home_.file("terminal"); }

    void simulator(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{RYN_SPMSIM, "--link", link(), "--terminal"};
        if (*GetParam() != '\0') {
            args.push_back("--pace");
            args.push_back(GetParam());
        }
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<ChildProcess>(args);
        ASSERT_TRUE(sim_->started());
        ASSERT_GE(sim_->waitLine("READY ", true), 0) << sim_->errText();
    }

    // Runs one payment; the terminal's error code, or "failed".
    std::string pay(const char *amount) {
        ITransactionIn *in = create_itransactionin();
        ITransactionOut *out = create_itransactionout();
        in->setAmount(amount);
        in->setCurrencyCode("978");
        in->setOperation("C");
        in->setTermNum("1");
        std::string result = doTransaction(in, out) == 1 ? out->getKxError() : "failed";
        delete in;
        delete out;
        return result;
    }

    // The simulator's next line starting with prefix, from line index *from
    // on (advanced past it); empty when none came.
    std::string nextLine(const std::string &prefix, size_t *from) {
        const int at = sim_->waitLine(prefix, true, *from, 30000);
        if (at < 0) return {};
        *from = size_t(at) + 1;
        return sim_->lines()[size_t(at)];
    }

    ryn::test::TempDir home_;
    std::unique_ptr<ChildProcess> sim_;
};

// The receipt's callbacks in the order the terminal printed it.
void expectReceipt(const std::vector<std::string> &printed, const std::vector<std::string> &mustHave) {
    ASSERT_GE(printed.size(), 6u);
    EXPECT_EQ(printed.front(), "start");
    EXPECT_EQ(printed[1], "text SPMSIM MERCHANT");
    for (size_t i = 1; i + 3 < printed.size(); ++i) EXPECT_EQ(printed[i].rfind("text ", 0), 0u) << printed[i];
    EXPECT_EQ(printed[printed.size() - 3], "feed 3");
    EXPECT_EQ(printed[printed.size() - 2], "cut");
    EXPECT_EQ(printed.back(), "end");
    for (const std::string &line : mustHave)
        EXPECT_NE(std::find(printed.begin(), printed.end(), line), printed.end()) << line;
}

TEST_P(SerialPayment, ApprovedThenDeclinedWithTheReceiptThroughTheCallbacks) {
    // Short echo interval: the terminal's own requests on its services
    // connection are answered by the library too.
    simulator({"--echo-interval", "300"});
    ASSERT_EQ(startRynService(), 1);
    ASSERT_TRUE(eventually([] { return connected(); })) << "simulator:\n"
                                                        << sim_->errText() << "\nlog:\n"
                                                        << rynLog();
    size_t from = 0;
    EXPECT_NE(nextLine("PPP-UP", &from), "");
    EXPECT_EQ(nextLine("CONNECTED services", &from), "CONNECTED services");
    EXPECT_EQ(nextLine("CONNECTED channel", &from), "CONNECTED channel");

    EXPECT_EQ(pay("2500"), "0000");
    std::vector<std::string> printed = ReceiptRecorder::take();
    expectReceipt(printed, {"text AMOUNT 25.00 978", "text APPROVED"});
    const size_t texts = size_t(std::count_if(printed.begin(), printed.end(),
                                              [](const std::string &s) { return s.rfind("text ", 0) == 0; }));
    EXPECT_EQ(nextLine("RECEIPT ", &from), "RECEIPT printed " + std::to_string(texts));
    EXPECT_EQ(nextLine("TRANSACTION ", &from), "TRANSACTION 00002500 APPROVED");

    // The simulator declines amounts above 100000 and amounts ending in 13.
    EXPECT_EQ(pay("25013"), "0001");
    expectReceipt(ReceiptRecorder::take(), {"text AMOUNT 250.13 978", "text DECLINED"});
    EXPECT_EQ(nextLine("TRANSACTION ", &from), "TRANSACTION 00025013 DECLINED");
    EXPECT_EQ(pay("100001"), "0001");
    expectReceipt(ReceiptRecorder::take(), {"text DECLINED"});
    EXPECT_EQ(nextLine("TRANSACTION ", &from), "TRANSACTION 00100001 DECLINED");

    // The terminal's echo came back through entry 1 and the service server.
    EXPECT_GE(sim_->waitLine("ECHO-ANSWERED", false, from, 30000), 0) << sim_->errText();

    // One services connection and one channel served all three.
    const std::vector<std::string> lines = sim_->lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CONNECTED services"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DISCONNECTED"), 0);
}

// The link goes away after a payment, with both of the terminal's
// connections: the terminal reboots, or the cable is pulled and plugged
// back. The library brings the link up again, the terminal dials the
// host's services anew, and the next payment is served with its receipt.
TEST_P(SerialPayment, LinkLostThenPaidAgain) {
    simulator({"--echo-interval", "0"});
    ASSERT_EQ(startRynService(), 1);
    ASSERT_TRUE(eventually([] { return connected(); })) << sim_->errText() << "\nlog:\n" << rynLog();
    EXPECT_EQ(pay("1200"), "0000");
    expectReceipt(ReceiptRecorder::take(), {"text AMOUNT 12.00 978"});

    struct Loss {
        const char *what;
        std::vector<std::string> commands;  // each waits for its event
        std::vector<std::string> events;
        const char *amount;
        const char *printed;
    } losses[] = {
        {"terminal restart", {"restart"}, {"PPP-DOWN"}, "3400", "text AMOUNT 34.00 978"},
        {"cable pulled", {"unplug", "plug"}, {"UNPLUGGED", "READY "}, "5600", "text AMOUNT 56.00 978"},
    };
    for (const Loss &loss : losses) {
        SCOPED_TRACE(loss.what);
        size_t from = sim_->lines().size();
        for (size_t i = 0; i < loss.commands.size(); ++i) {
            sim_->write(loss.commands[i] + "\n");
            EXPECT_NE(nextLine(loss.events[i], &from), "") << sim_->errText();
        }
        EXPECT_NE(nextLine("PPP-UP", &from), "") << sim_->errText() << "\nlog:\n" << rynLog();
        EXPECT_NE(nextLine("CONNECTED services", &from), "") << sim_->errText() << "\nlog:\n" << rynLog();
        ASSERT_TRUE(eventually([] { return connected(); }));

        EXPECT_EQ(pay(loss.amount), "0000") << sim_->errText() << "\nlog:\n" << rynLog();
        expectReceipt(ReceiptRecorder::take(), {loss.printed, "text APPROVED"});
        EXPECT_EQ(nextLine("TRANSACTION ", &from), std::string("TRANSACTION 0000") + loss.amount + " APPROVED");
    }
    // Each loss ended the terminal's session once.
    const std::vector<std::string> lines = sim_->lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DISCONNECTED"), 2);
}

INSTANTIATE_TEST_SUITE_P(Line, SerialPayment, ::testing::Values("", "11520"),
                         [](const auto &info) { return *info.param ? std::string("Paced") : std::string("Unpaced"); });

}  // namespace
