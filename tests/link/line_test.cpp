// The serial line: the opener on a real pseudo-terminal, and the send path
// and pattern wait on a scripted line for what a pty cannot provoke.
#include "link/rynsock.h"
#include "link/serial_line.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {
using ryn::test::TempDir;

// A private home whose activation file says `content`.
void writeActivation(const TempDir &home, const std::string &content) {
    ryn::test::writeFile(home.file(".CalvorinKestova/KestovaLinux.txt"), content);
    setenv("RYN_HOME", home.path().c_str(), 1);
}

struct Pty {
    int master = -1, slave = -1;
    std::string slavePath;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slavePath = name;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

class Line : public ::testing::Test {
protected:
    void TearDown() override {
        StopDTEsock();
        ryn::link::setLineSysCallsForTesting(nullptr);
        unsetenv("RYN_HOME");
        GlobalExit = 0;
    }
};

TEST(DevicePath, TakenFromTheFirstPair) {
    struct Case {
        const char *text;
        const char *path;
    } cases[] = {
        {"Name=/dev/ttyACM0;Type=0", "/dev/ttyACM0"},
        {"Name=/dev/ttyACM0", "/dev/ttyACM0"},
        {"Name=/dev/x=y;Type=0", "/dev/x"},
        {"Type=0;Name=/dev/ttyACM0", "0"},  // the first pair names the device
        {"NoSeparator", ""},
        {";Name=/dev/x", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(ryn::link::devicePathFromActivation(c.text), c.path) << c.text;
}

TEST_F(Line, OpensAPtyRawNonBlockingAndCloseOnExec) {
    TempDir home;
    Pty pty;
    ASSERT_FALSE(pty.slavePath.empty());
    std::string link = home.file("spm");
    ASSERT_EQ(symlink(pty.slavePath.c_str(), link.c_str()), 0);
    writeActivation(home, "Name=" + link + ";Type=0");

    ASSERT_EQ(InitDTEsock(), 1);
    int fd = sockdtefd.load();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    // Bytes that a cooked tty would mangle pass both ways unchanged.
    const uint8_t out[] = {0x7E, 0x0D, 0x11, 0x13, 0x0A, 0x7E};
    ASSERT_EQ(SendToDteSock(out, sizeof out), 1);
    uint8_t got[16];
    ssize_t n = 0;
    for (int i = 0; i < 500 && n <= 0; ++i) {
        n = read(pty.master, got, sizeof got);
        if (n <= 0) usleep(10000);
    }
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof out));
    EXPECT_EQ(memcmp(got, out, sizeof out), 0);

    uint8_t buf[16];
    EXPECT_EQ(RcvFromDteSock(buf, sizeof buf), 0);  // nothing waiting
    ASSERT_EQ(write(pty.master, out, sizeof out), static_cast<ssize_t>(sizeof out));
    int r = 0;
    for (int i = 0; i < 500 && r == 0; ++i) {
        r = RcvFromDteSock(buf, sizeof buf);
        if (r == 0) usleep(10000);
    }
    ASSERT_EQ(r, static_cast<int>(sizeof out));
    EXPECT_EQ(memcmp(buf, out, sizeof out), 0);
}

TEST_F(Line, OpenFailsCleanly) {
    TempDir home;
    ryn::test::writeFile(home.file("plain"), "not a terminal");
    struct Case {
        const char *name;
        std::string file;  // empty: no activation file at all
    } cases[] = {
        {"no activation file", ""},
        {"no separator", "NoSeparatorHere"},
        {"device missing", "Name=" + home.file("gone") + ";Type=0"},
        {"a regular file is not a line", "Name=" + home.file("plain") + ";Type=0"},
        {"the type pair first", "Type=0;Name=/dev/null"},
    };
    GlobalExit = 1;  // keeps the one-second pause after a failure short
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir h;
        setenv("RYN_HOME", h.path().c_str(), 1);
        if (!c.file.empty()) ryn::test::writeFile(h.file(".CalvorinKestova/KestovaLinux.txt"), c.file);
        EXPECT_EQ(InitDTEsock(), 0);
        EXPECT_EQ(sockdtefd.load(), -1);
    }
}

TEST_F(Line, HangupClosesTheLineAndLaterSendsFail) {
    TempDir home;
    auto *pty = new Pty;
    writeActivation(home, "Name=" + pty->slavePath + ";Type=0");
    ASSERT_EQ(InitDTEsock(), 1);
    delete pty;  // the cable is pulled: both ends go away
    uint8_t buf[8];
    int r = 0;
    for (int i = 0; i < 500 && r == 0; ++i) {
        r = RcvFromDteSock(buf, sizeof buf);
        if (r == 0) usleep(10000);
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(sockdtefd.load(), -1);
    EXPECT_EQ(SendToDteSock("CLIENT", 6), 0);
    EXPECT_EQ(RcvFromDteSock(buf, sizeof buf), -1);
}

// --- scripted line ------------------------------------------------------

struct Script {
    // Reads: a chunk of bytes, or an errno value (EAGAIN, EIO) when empty
    // with err set.
    struct Read {
        std::string bytes;
        int err;
    };
    std::deque<Read> reads;
    int readCalls = 0;
    // Writes: how many bytes each call accepts (negative: errno).
    std::deque<int> writes;
    std::string written;
};
Script *g_script = nullptr;

ssize_t scriptedRead(int, void *buf, size_t n) {
    ++g_script->readCalls;
    if (g_script->reads.empty()) {
        errno = EAGAIN;
        return -1;
    }
    Script::Read r = g_script->reads.front();
    g_script->reads.pop_front();
    if (r.err) {
        errno = r.err;
        return -1;
    }
    size_t k = std::min(n, r.bytes.size());
    memcpy(buf, r.bytes.data(), k);
    if (k < r.bytes.size()) g_script->reads.push_front({r.bytes.substr(k), 0});
    return static_cast<ssize_t>(k);
}

ssize_t scriptedWrite(int, const void *buf, size_t n) {
    int accept = g_script->writes.empty() ? -EAGAIN : g_script->writes.front();
    if (!g_script->writes.empty()) g_script->writes.pop_front();
    if (accept < 0) {
        errno = -accept;
        return -1;
    }
    size_t k = std::min(n, static_cast<size_t>(accept));
    g_script->written.append(static_cast<const char *>(buf), k);
    return static_cast<ssize_t>(k);
}

int scriptedPoll(pollfd *, nfds_t, int) { return 0; }

const ryn::link::LineSysCalls kScripted{scriptedWrite, scriptedRead, scriptedPoll};

class ScriptedLine : public Line {
protected:
    void SetUp() override {
        g_script = &script;
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        close(fds[1]);
        ryn::link::adoptLineForTesting(fds[0]);  // a real descriptor, never really used
        ryn::link::setLineSysCallsForTesting(&kScripted);
    }
    Script script;
};

TEST_F(ScriptedLine, PatternWait) {
    struct Case {
        const char *name;
        std::vector<Script::Read> reads;
        int seconds;
        int result;
    } cases[] = {
        {"answer split across two reads", {{"CLIENTSE", 0}, {"", EAGAIN}, {"RVER", 0}}, 1, 1},
        {"line noise and percent signs first", {{std::string("\x01\x7f%%\r\n\0garbage", 15), 0}, {"xxCLIENTSERVERyy", 0}}, 1, 1},
        {"answer stops short, then silence", {{"CLIENTSERV", 0}}, 1, 0},
        {"zero seconds: no read at all", {{"CLIENTSERVER", 0}}, 0, 0},
        {"read error", {{"CLIENT", 0}, {"", EIO}}, 1, -1},
        {"hang-up", {{"", 0}}, 1, -1},
        // More than the window holds before the answer: the window keeps
        // room for its terminator and its tail.
        {"long noise then the answer", {{std::string(600, 'n') + "CLIENTSERVER", 0}}, 1, 1},
        {"answer straddling the window edge", {{std::string(250, 'n') + "CLIENTSERVER", 0}}, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        close(fds[1]);
        ryn::link::adoptLineForTesting(fds[0]);
        script = Script{};
        script.reads.assign(c.reads.begin(), c.reads.end());
        EXPECT_EQ(WaitStrFromDte("CLIENTSERVER", c.seconds), c.result);
        if (c.seconds == 0) {
            EXPECT_EQ(script.readCalls, 0);
        }
    }
}

TEST_F(ScriptedLine, SendCompletesShortWritesAndWaitsOutEagain) {
    const std::string frame = "~frame-bytes-0123456789~";
    struct Case {
        const char *name;
        std::deque<int> writes;
        int result;
        std::string written;
        bool needsFlag;
    } cases[] = {
        {"one write", {100}, 1, frame, false},
        {"short writes", {3, 5, 1, 100}, 1, frame, false},
        {"EAGAIN, then room", {-EAGAIN, -EAGAIN, 7, -EAGAIN, 100}, 1, frame, false},
        // The line never takes the rest: success (the FCS guards the peer)
        // but the next frame has to open with a flag.
        {"stalls after part of the frame", {5}, 1, frame.substr(0, 5), true},
        {"nothing taken at all", {}, 0, "", false},
        {"write error", {-EIO}, 0, "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        script = Script{};
        script.writes = c.writes;
        ryn::link::clearLineNeedsFlag();
        EXPECT_EQ(SendToDteSock(frame.data(), frame.size()), c.result);
        EXPECT_EQ(script.written, c.written);
        EXPECT_EQ(ryn::link::lineNeedsFlag(), c.needsFlag);
        EXPECT_GE(sockdtefd.load(), 0);  // a failed write leaves the line open
    }
}

}  // namespace
