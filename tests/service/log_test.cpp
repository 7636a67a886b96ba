// The trace file: line format, cut, marker, wrap and reopen, driven with a
// fake wall clock and TZ=UTC so every byte is predictable.
#include "service/log.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ryn::log;
using ryn::test::readFile;
using ryn::test::TempDir;
using ryn::test::writeFile;

namespace {

std::atomic<int64_t> g_now{0};
int64_t fakeClock() { return g_now.load(); }

// 2026-12-11 12:34:56.000 UTC
constexpr int64_t kBase = 1796992496000;
const std::string kMarker(kEndMarker);

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        logDestroy();
        g_now = kBase;
        setClockForTesting(fakeClock);
        path_ = dir_.file("RYNLog.txt");
        setPathForTesting(path_);
    }
    void TearDown() override {
        logDestroy();
        setClockForTesting(nullptr);
        setPathForTesting("");
    }
    std::string contents() const { return readFile(path_); }
    TempDir dir_;
    std::string path_;
};

TEST(LogFormat, LinesAsWritten) {
    setenv("TZ", "UTC", 1);
    tzset();
    struct Case {
        LogLevel level;
        const char *file;
        unsigned line;
        uint64_t delta;
        const char *expected;
    } cases[] = {
        {LOG_INFO, "/src/service/manager.cpp", 42, 7,
         "INFO:    12:34:56 11/12/2026 (00000007)\t         manager.cpp:42  \tmsg\n"},
        {LOG_ERROR, "bare.c", 1, 0, "ERROR:   12:34:56 11/12/2026 (00000000)\t              bare.c:1  \tmsg\n"},
        {LOG_BINARY, "a/b/c/a_name_longer_than_twenty.cpp", 9, 123456789,
         "BINARY:  12:34:56 11/12/2026 (123456789)\ta_name_longer_than_twenty.cpp:9  \tmsg\n"},
        {static_cast<LogLevel>(8), "x.c", 3, 1, "UNKNOWN:12:34:56 11/12/2026 (00000001)\t                 x.c:3  \tmsg\n"},
        {static_cast<LogLevel>(-1), "x.c", 3, 1, "UNKNOWN:12:34:56 11/12/2026 (00000001)\t                 x.c:3  \tmsg\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(formatLine(c.level, c.file, c.line, "msg", kBase, c.delta), c.expected) << c.file;
}

TEST_F(LogFile, CreatesPrivateFileWithRecordThenMarker) {
    logCreate();
    ASSERT_EQ(logIsInitialized(), 1);
    g_now = kBase + 25;
    logMessage(OBJ_SERVICE, LOG_INFO, "dir/file.cpp", 10, nullptr, 0, "hello %d", 5);
    EXPECT_EQ(contents(), "INFO:    12:34:56 11/12/2026 (00000025)\t            file.cpp:10  \thello 5\n" + kMarker);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogFile, CutsMessagesAt1023Characters) {
    logCreate();
    std::string longText(5000, 'x');
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "%s", longText.c_str());
    std::string text = contents();
    size_t tab = text.rfind('\t');
    size_t nl = text.find('\n', tab);
    EXPECT_EQ(nl - tab - 1, 1023u);
}

TEST_F(LogFile, ReopenContinuesRightAfterTheMarker) {
    logCreate();
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "first");
    logDestroy();
    const std::string l1 = formatLine(LOG_INFO, "f.c", 1, "first", kBase, 0);
    const std::string l2 = formatLine(LOG_INFO, "f.c", 2, "second", kBase, 0);
    ASSERT_EQ(contents(), l1 + kMarker);
    // Older records after the marker stay until the trace reaches them.
    const std::string tail(500, 'z');
    writeFile(path_, l1 + kMarker + tail);
    logCreate();
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 2, nullptr, 0, "second");
    EXPECT_EQ(contents(), l1 + l2 + kMarker + tail.substr(l2.size()));
}

TEST_F(LogFile, FileWithoutMarkerIsOverwrittenFromTheStart) {
    writeFile(path_, std::string(300, 'o'));
    logCreate();
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "new");
    std::string text = contents();
    EXPECT_EQ(text.rfind("INFO:    ", 0), 0u);
    size_t marker = text.find(kMarker);
    ASSERT_NE(marker, std::string::npos);
    EXPECT_EQ(text.size(), 300u);  // the old tail stays
    EXPECT_EQ(text.substr(marker + kMarker.size()), std::string(300 - marker - kMarker.size(), 'o'));
}

TEST_F(LogFile, WrapsOncePastOneMebibyte) {
    logCreate();
    const std::string body(900, 'r');
    const size_t lineSize = formatLine(LOG_INFO, "f.c", 1, body.c_str(), kBase, 0).size();
    // Enough records to pass 1 MiB with the last one.
    const size_t records = kWrapOffset / lineSize + 1;
    for (size_t i = 0; i < records; ++i) logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "%s", body.c_str());
    std::string text = contents();
    ASSERT_EQ(text.find(kMarker), 0u) << "the marker moves to offset 0 after the wrap";
    EXPECT_EQ(text.size(), records * lineSize);  // the crossing record was written whole
    EXPECT_GT(text.size(), kWrapOffset);
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 2, nullptr, 0, "after wrap");
    text = contents();
    EXPECT_EQ(text.rfind("INFO:    ", 0), 0u);
    EXPECT_NE(text.find("after wrap\n" + kMarker), std::string::npos);
}

TEST_F(LogFile, ClockSteppedBackGivesZeroDelta) {
    logCreate();
    g_now = kBase - 60000;
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "back");
    EXPECT_NE(contents().find("(00000000)"), std::string::npos);
}

TEST_F(LogFile, RefusesSymlinkAndForeignFiles) {
    std::string target = dir_.file("victim");
    writeFile(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    logCreate();
    EXPECT_EQ(logIsInitialized(), 1);  // on, but silent
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "must not land");
    EXPECT_EQ(readFile(target), "precious");

    logDestroy();
    unlink(path_.c_str());
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);  // not a regular file: never opened for writing
    logCreate();
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "must not block");
    SUCCEED();
}

TEST_F(LogFile, SwitchOffDropsRecordsAndSwitchOnContinues) {
    enableDebugLog(0);
    EXPECT_EQ(isDebugLogEnabled(), 0);
    EXPECT_EQ(logIsInitialized(), 0);
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "dropped");
    enableDebugLog(1);
    EXPECT_EQ(isDebugLogEnabled(), 1);
    logMessage(OBJ_SERVICE, LOG_INFO, "f.c", 1, nullptr, 0, "kept");
    std::string text = contents();
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find("kept"), std::string::npos);
}

// Records from several threads never interleave, also while the log is
// switched off and on underneath them.
TEST_F(LogFile, ConcurrentWritersAndSwitching) {
    setClockForTesting(nullptr);
    logCreate();
    std::atomic<bool> go{true};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([t, &go] {
            for (int i = 0; i < 2000 && go; ++i) RYN_LOG(OBJ_NETWORK, LOG_DEBUG, "thread %d record %d end", t, i);
        });
    for (int i = 0; i < 20; ++i) {
        enableDebugLog(i % 2);
    }
    enableDebugLog(1);
    for (auto &w : writers) w.join();
    std::string text = contents();
    text = text.substr(0, text.find(kMarker));
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        ASSERT_NE(nl, std::string::npos);
        std::string line = text.substr(start, nl - start);
        EXPECT_EQ(line.rfind("DEBUG:   ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 4), " end") << line;
        start = nl + 1;
    }
}

}  // namespace
