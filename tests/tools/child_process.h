// Runs spmsim-ip as a child process with pipes on stdin, stdout and stderr,
// and collects its output lines on a reader thread so tests can wait for
// an event line with a deadline. The child is ended (SIGKILL, by its pid)
// and reaped when the object goes, if it has not exited by then.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string> &argv) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        // Built before fork: the child may only make async-signal-safe calls.
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        outFd_ = out[0];
        errFd_ = err[0];
        reader_ = std::thread([this] { readLoop(); });
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            reap(20000);
        }
        if (stdin_ >= 0) ::close(stdin_);
        if (reader_.joinable()) reader_.join();
        if (outFd_ >= 0) ::close(outFd_);
        if (errFd_ >= 0) ::close(errFd_);
    }

    bool started() const { return pid_ > 0; }

    void write(const std::string &text) {
        if (stdin_ >= 0) [[maybe_unused]] ssize_t n = ::write(stdin_, text.data(), text.size());
    }
    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }
    void signal(int sig) {
        if (pid_ > 0 && !exited_) ::kill(pid_, sig);
    }

    // Waits until an output line equals `line` (or starts with it when
    // prefix is set), counting from line index `from`; returns its index
    // or -1 at the deadline.
    int waitLine(const std::string &line, bool prefix = false, size_t from = 0, int timeoutMs = 20000) {
        std::unique_lock<std::mutex> l(mu_);
        int found = -1;
        cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
            for (size_t i = from; i < lines_.size(); ++i) {
                if (lines_[i] == line || (prefix && lines_[i].rfind(line, 0) == 0)) {
                    found = int(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    bool waitStderr(const std::string &fragment, int timeoutMs = 20000) {
        std::unique_lock<std::mutex> l(mu_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                            [&] { return errText_.find(fragment) != std::string::npos; });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> l(mu_);
        return lines_;
    }
    std::string errText() {
        std::lock_guard<std::mutex> l(mu_);
        return errText_;
    }
    size_t lineCount() {
        std::lock_guard<std::mutex> l(mu_);
        return lines_.size();
    }

    // Exit status, or -1 when it did not exit in time (-2 killed by a signal).
    // The exit status once the child has exited and everything it wrote
    // has been collected (so lines() holds its last words).
    int waitExit(int timeoutMs = 20000) {
        if (!reap(timeoutMs)) return -1;
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return drained_; });
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -2;
    }

private:
    bool reap(int timeoutMs) {
        if (exited_) return true;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return true;
            }
            // Reaping has no descriptor to wait on; poll it in short steps.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void readLoop() {
        std::string out, err;
        bool outOpen = true, errOpen = true;
        while (outOpen || errOpen) {
            pollfd fds[2] = {{outOpen ? outFd_ : -1, POLLIN, 0}, {errOpen ? errFd_ : -1, POLLIN, 0}};
            if (::poll(fds, 2, 1000) <= 0) continue;
            char buf[4096];
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents) continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    (i == 0 ? outOpen : errOpen) = false;
                    continue;
                }
                std::lock_guard<std::mutex> l(mu_);
                if (i == 1) {
                    errText_.append(buf, size_t(n));
                } else {
                    out.append(buf, size_t(n));
                    size_t eol;
                    while ((eol = out.find('\n')) != std::string::npos) {
                        lines_.push_back(out.substr(0, eol));
                        out.erase(0, eol + 1);
                    }
                }
                cv_.notify_all();
            }
        }
        std::lock_guard<std::mutex> l(mu_);
        drained_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int stdin_ = -1, outFd_ = -1, errFd_ = -1;
    std::atomic<bool> exited_{false};
    int status_ = 0;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::string errText_;
    bool drained_ = false;  // both pipes reached end of file
};

}  // namespace simtest
