// The service container's lifecycle, in process: start/stop/status, the
// order of deletion, a stop waiting for an operation in flight, and calls
// refused from service threads. The log goes to a private file.
#include "ryn_service.h"
#include "service/config.h"
#include "service/log.h"
#include "service/manager.h"
#include "service/service_thread.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("RYN_HOME", home_.path().c_str(), 1);
        logDestroy();
        ryn::log::setPathForTesting(home_.file("RYNLog.txt"));
        logCreate();
        ryn::createManager();
        // IP mode: its least manager thread needs no serial device.
        ryn::test::writeFile(ryn::config::activationFilePath(), "Type=3;AddrIP=127.0.0.1;Name=test");
    }
    void TearDown() override {
        ryn::destroyManager();
        logDestroy();
        ryn::log::setPathForTesting("");
        unsetenv("RYN_HOME");
    }
    std::string log() const { return ryn::test::readFile(home_.file("RYNLog.txt")); }
    bool logHas(const std::string &text) const { return log().find(text) != std::string::npos; }
    // Polls the log for a line; generous deadline, no fixed sleeps.
    bool waitForLog(const std::string &text) const {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (logHas(text)) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    ryn::test::TempDir home_;
};

TEST_F(Lifecycle, StartStatusStopAndTheirRefusals) {
    char status = 7;
    EXPECT_EQ(serverStatus(&status), 0);
    EXPECT_EQ(status, 7);
    EXPECT_TRUE(logHas("ERROR_SERVICE_NOT_ACTIVE"));

    ASSERT_EQ(startRynService(), 1);
    EXPECT_EQ(gpPDA_Manager.load()->state.load(), 1);
    EXPECT_TRUE(logHas("start ip mode"));
    EXPECT_EQ(serverStatus(&status), 1);
    EXPECT_EQ(status, 0);  // no terminal yet
    EXPECT_EQ(startRynService(), 0);
    EXPECT_TRUE(logHas("ERROR_RYN_SERVICE_ALREADY_STARTED"));

    ASSERT_EQ(stopRynService(), 1);
    EXPECT_EQ(gpPDA_Manager.load()->state.load(), 0);
    EXPECT_EQ(stopRynService(), 0);
    EXPECT_TRUE(logHas("ERROR_RYN_SERVICE_NOT_STARTED"));
    EXPECT_EQ(serverStatus(&status), 0);
}

TEST_F(Lifecycle, ServicesAreDeletedInOrderComLast) {
    ASSERT_EQ(startRynService(), 1);
    ASSERT_EQ(stopRynService(), 1);
    const char *order[] = {"Service is OFF use", "Stop signature", "Signature stopped", "Stop time", "Time stopped",
                           "Stop message", "Message stopped", "Stop message", "Message stopped", "Stop cnx",
                           "Cnx stopped", "OKA_printer stopped", "Stop Info", "Info stopped", "Stop Printer",
                           "Printer stopped", "Stop Barcode", "Barcode stopped", "Stop power", "Power stopped",
                           "Stop com", "Com stopped", "Clean up ", "Terminated "};
    std::string text = log();
    size_t at = text.find("stopRynService ");
    ASSERT_NE(at, std::string::npos);
    for (const char *line : order) {
        size_t next = text.find(std::string("\t") + line + "\n", at);
        ASSERT_NE(next, std::string::npos) << line;
        at = next + 1;
    }
}

TEST_F(Lifecycle, InitializeAloneCreatesServicesThatStartRefusesAndStopRemoves) {
    EXPECT_EQ(PDA_ManagerInitialize(), 0);
    EXPECT_EQ(gpPDA_Manager.load()->state.load(), 2);
    char status = 7;
    EXPECT_EQ(serverStatus(&status), 1);  // status answers with services alone
    ryn::OperationGuard op;               // operations need a running service
    EXPECT_FALSE(op);
    EXPECT_EQ(startRynService(), 0);
    EXPECT_EQ(stopRynService(), 1);
    EXPECT_EQ(gpPDA_Manager.load()->state.load(), 0);
}

TEST_F(Lifecycle, StopWaitsForAnOperationInFlight) {
    ASSERT_EQ(startRynService(), 1);
    std::promise<void> holding, release;
    std::thread operation([&] {
        ryn::OperationGuard op;
        ASSERT_TRUE(op);
        holding.set_value();
        release.get_future().wait();
        // Still usable: the stop is waiting for us.
        EXPECT_NE(op.manager()->com.load(), nullptr);
    });
    holding.get_future().wait();
    EXPECT_GE(g_bServiceInUse.load(), 1);
    auto stopped = std::async(std::launch::async, [] { return stopRynService(); });
    ASSERT_TRUE(waitForLog("\tWaiting\n"));
    EXPECT_TRUE(logHas("Service is ON use"));
    EXPECT_EQ(stopped.wait_for(0s), std::future_status::timeout);
    // A new operation is refused while the stop is under way.
    {
        ryn::OperationGuard late;
        EXPECT_FALSE(late);
    }
    release.set_value();
    operation.join();
    EXPECT_EQ(stopped.get(), 1);
    EXPECT_EQ(g_bServiceInUse.load(), 0);
}

// Two overlapping operations: the stop waits for the last one, not the first.
TEST_F(Lifecycle, OverlappingOperationsAreAllWaitedFor) {
    ASSERT_EQ(startRynService(), 1);
    std::promise<void> firstDone;
    std::promise<void> secondRelease;
    std::atomic<int> held{0};
    std::thread first([&] {
        ryn::OperationGuard op;
        held++;
        firstDone.get_future().wait();
    });
    std::thread second([&] {
        ryn::OperationGuard op;
        held++;
        secondRelease.get_future().wait();
        EXPECT_NE(op.manager()->com.load(), nullptr);
    });
    while (held.load() < 2) std::this_thread::yield();
    auto stopped = std::async(std::launch::async, [] { return stopRynService(); });
    firstDone.set_value();
    first.join();
    ASSERT_TRUE(waitForLog("\tWaiting\n"));
    EXPECT_EQ(stopped.wait_for(0s), std::future_status::timeout);
    secondRelease.set_value();
    second.join();
    EXPECT_EQ(stopped.get(), 1);
}

TEST_F(Lifecycle, StopFromAServiceThreadIsRefusedNotDeadlocked) {
    ASSERT_EQ(startRynService(), 1);
    int fromService = -1, fromOperation = -1;
    std::thread([&] {
        ryn::ServiceThreadScope mark;
        fromService = stopRynService();
    }).join();
    std::thread([&] {
        ryn::OperationGuard op;
        fromOperation = stopRynService();
    }).join();
    EXPECT_EQ(fromService, 0);
    EXPECT_EQ(fromOperation, 0);
    EXPECT_TRUE(logHas("stopRynService refused"));
    EXPECT_EQ(gpPDA_Manager.load()->state.load(), 1);
    EXPECT_EQ(stopRynService(), 1);
}

TEST_F(Lifecycle, RestartRereadsTheActivationFile) {
    ASSERT_EQ(startRynService(), 1);
    EXPECT_TRUE(g_isIpCompanion.load());
    ASSERT_EQ(stopRynService(), 1);
    ryn::test::writeFile(ryn::config::activationFilePath(), "Name=/nonexistent/tty;Type=0");
    ASSERT_EQ(startRynService(), 1);
    EXPECT_FALSE(g_isIpCompanion.load());
    EXPECT_TRUE(logHas("start_rynsock"));
    ASSERT_EQ(stopRynService(), 1);
    EXPECT_TRUE(logHas("stop_rynsock END"));
}

}  // namespace
