// Helpers of the network-thread tests: a pseudo-terminal that plays the
// terminal's end of the line, a private home naming it, waiting on
// conditions with generous deadlines, and a private log file.
#pragma once

#include "service/log.h"
#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace ryn::test {

// Polls cond until it holds or `seconds` pass; true when it held.
inline bool waitUntil(const std::function<bool()> &cond, int seconds = 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// The library's log in a private file for the duration of a test.
class PrivateLog {
public:
    PrivateLog() : path_(dir_.file("RYNLog.txt")) {
        logDestroy();
        ryn::log::setPathForTesting(path_);
        logCreate();
    }
    ~PrivateLog() {
        logDestroy();
        ryn::log::setPathForTesting("");
    }
    std::string text() const { return readFile(path_); }
    size_t count(const std::string &needle) const {
        std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }

private:
    TempDir dir_;
    std::string path_;
};

// A home directory whose activation file names `device`; RYN_HOME points at it.
class PrivateHome {
public:
    explicit PrivateHome(const std::string &device) {
        writeFile(dir_.file(".CalvorinKestova/KestovaLinux.txt"), "Name=" + device + ";Type=0");
        setenv("RYN_HOME", dir_.path().c_str(), 1);
    }
    ~PrivateHome() { unsetenv("RYN_HOME"); }
    std::string file(const std::string &name) const { return dir_.file(name); }

private:
    TempDir dir_;
};

// The terminal's end of a pseudo-terminal, raw, reached through a symlink.
class PtyPeer {
public:
    explicit PtyPeer(const std::string &linkPath) : link_(linkPath) { plug(); }
    ~PtyPeer() { unplug(); }
    void plug() {
        int slave = -1;
        char name[128];
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        close(slave);  // the host opens its own; a master reads EIO meanwhile
        fcntl(master_, F_SETFL, O_NONBLOCK);
        unlink(link_.c_str());
        symlink(name, link_.c_str());
    }
    // The cable is pulled: the line closes and the device disappears.
    void unplug() {
        unlink(link_.c_str());
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    void send(const std::string &s) { (void)!write(master_, s.data(), s.size()); }
    // Reads into the buffer what the host wrote, until it contains needle
    // (true) or `seconds` pass. The buffer keeps everything after needle.
    bool expect(const std::string &needle, int seconds = 30) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            size_t at = buffer_.find(needle);
            if (at != std::string::npos) {
                buffer_.erase(0, at + needle.size());
                return true;
            }
            auto now = std::chrono::steady_clock::now();
            if (now >= end || master_ < 0) return false;
            pollfd p{master_, POLLIN, 0};
            poll(&p, 1, 50);
            char buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) buffer_.append(buf, static_cast<size_t>(n));
        }
    }

private:
    std::string link_;
    int master_ = -1;
    std::string buffer_;
};

// Start of the host's first LCP Configure-Request on the line: flag, FF,
// 03 escaped, protocol C0 21, code 1 and identifier 1 escaped.
inline const std::string kLcpRequestStart("\x7E\xFF\x7D\x23\xC0\x21\x7D\x21\x7D\x21", 10);

}  // namespace ryn::test
