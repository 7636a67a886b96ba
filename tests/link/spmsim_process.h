// The serial terminal simulator (spmsim) as a child process of a test:
// commands on its stdin, events from its stdout, its diagnostics in a file.
// Owned by one thread.
#pragma once

#include "link/link_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace ryn::test {

// The simulator to run: $RYN_SPMSIM, else the one this build made, else "".
inline std::string simulatorPath() {
    if (const char *env = getenv("RYN_SPMSIM"); env && *env) return env;
#ifdef RYN_SPMSIM_PATH
    return RYN_SPMSIM_PATH;
#else
    return "";
#endif
}

class Simulator {
public:
    Simulator(const std::string &exe, const std::vector<std::string> &args, const std::string &tracePath) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        // Built before fork: the child makes only async-signal-safe calls.
        std::vector<char *> argv{const_cast<char *>(exe.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int err = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (err >= 0) dup2(err, 2);
            for (int fd = 3; fd < 256; ++fd) close(fd);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (pid_ < 0) {
            close(in[1]);
            close(out[0]);
            return;
        }
        in_ = in[1];
        out_ = out[0];
        fcntl(out_, F_SETFL, O_NONBLOCK);
    }
    ~Simulator() {
        command("quit");
        if (in_ >= 0) close(in_);
        int status = 0;
        bool exited = pid_ <= 0 || waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10);
        if (!exited) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        if (out_ >= 0) close(out_);
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void command(const std::string &c) {
        std::string line = c + "\n";
        if (in_ >= 0) (void)!write(in_, line.data(), line.size());
    }
    // Waits for the next event line that starts with `prefix`; earlier
    // lines are consumed.
    bool event(const std::string &prefix, int seconds = 30) {
        return waitUntil(
            [&] {
                char buf[1024];
                ssize_t n;
                while ((n = read(out_, buf, sizeof buf)) > 0) pending_.append(buf, static_cast<size_t>(n));
                for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
                    std::string l = pending_.substr(0, nl);
                    pending_.erase(0, nl + 1);
                    if (l.rfind(prefix, 0) == 0) return true;
                }
                return false;
            },
            seconds);
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
};

}  // namespace ryn::test
