#include "netns/kernel_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace netnstest {

using Clock = std::chrono::steady_clock;

namespace {

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Forks `ip netns exec NS sh -c command` (or plain sh when ns is empty) with
// stdout and stderr on a pipe; the child leads its own process group.
pid_t startShell(const std::string& ns, const std::string& command, int* outputFd) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
    if (getppid() != parent) _exit(127);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    if (ns.empty()) {
      execlp("sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    } else {
      execlp("ip", "ip", "netns", "exec", ns.c_str(), "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  setpgid(pid, pid);  // also from here, so a kill right away reaches the group
  close(out[1]);
  *outputFd = out[0];
  return pid;
}

NetNamespace::Result runShell(const std::string& ns, const std::string& command, milliseconds timeout) {
  NetNamespace::Result result;
  int fd = -1;
  pid_t pid = startShell(ns, command, &fd);
  if (pid < 0) return result;
  Background child(pid, fd);
  int status = child.wait(timeout);
  result.output = child.output();
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

std::string toolPath() {
  const char* env = std::getenv("RYN_NETNS_TOOL");
  if (env != nullptr && *env != '\0') return env;
  return RYN_NETNS_TOOL;
}

}  // namespace

std::string unavailableReason() {
  if (geteuid() != 0) return "needs root for network namespaces and a TUN device";
  if (access("/dev/net/tun", R_OK | W_OK) != 0) return "no /dev/net/tun";
  if (runShell("", "command -v ip && command -v python3 && command -v ss", milliseconds(5000)).status != 0) {
    return "needs iproute2 (ip, ss) and python3";
  }
  NetNamespace probe;
  if (!probe.ok()) return "cannot create a network namespace (ip netns add failed)";
  return "";
}

std::string pythonTool(const std::string& args) { return "python3 -u '" + toolPath() + "' " + args; }

Background::~Background() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

void Background::drain() {
  if (out_ < 0) return;
  for (;;) {
    char buf[4096];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n > 0) {
      output_.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      close(out_);
      out_ = -1;
    }
    return;  // EAGAIN: nothing more now
  }
}

bool Background::waitOutput(const std::string& text, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  fcntl(out_, F_SETFL, O_NONBLOCK);
  for (;;) {
    drain();
    if (output_.find(text) != std::string::npos) return true;
    if (out_ < 0 || Clock::now() >= deadline) return false;
    pollfd p{out_, POLLIN, 0};
    poll(&p, 1, remainingMs(deadline));
  }
}

bool Background::finished(int* status) {
  if (pid_ > 0) {
    int s = 0;
    if (waitpid(pid_, &s, WNOHANG) == pid_) {
      status_ = s;
      kill(-pid_, SIGKILL);  // whatever the leader left behind in its group
      pid_ = -1;
    }
  }
  if (pid_ > 0) return false;
  if (status) *status = status_;
  return true;
}

int Background::wait(milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  if (out_ >= 0) fcntl(out_, F_SETFL, O_NONBLOCK);
  while (!finished()) {
    if (Clock::now() >= deadline) return -1;
    drain();
    // The output pipe shows activity and the end; a child's exit itself has
    // no descriptor, so the wait is cut into short polls.
    if (out_ >= 0) {
      pollfd p{out_, POLLIN, 0};
      poll(&p, 1, std::min(50, remainingMs(deadline)));
    } else {
      poll(nullptr, 0, 10);
    }
  }
  drain();
  return status_;
}

std::string Background::output() {
  if (out_ >= 0) {
    fcntl(out_, F_SETFL, O_NONBLOCK);
    drain();
  }
  return output_;
}

NetNamespace::NetNamespace() {
  static std::atomic<int> counter{0};
  name_ = "ryn-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  ok_ = runShell("", "ip netns add " + name_, milliseconds(10000)).status == 0;
}

NetNamespace::~NetNamespace() {
  if (ok_) runShell("", "ip netns del " + name_, milliseconds(10000));
}

NetNamespace::Result NetNamespace::exec(const std::string& command, milliseconds timeout) {
  return runShell(name_, command, timeout);
}

std::unique_ptr<Background> NetNamespace::spawn(const std::string& command) {
  int fd = -1;
  pid_t pid = startShell(name_, command, &fd);
  if (pid < 0) return nullptr;
  return std::make_unique<Background>(pid, fd);
}

KernelTerminal::KernelTerminal(const std::vector<std::string>& extraArgs) {
  if (!ns_.ok()) {
    error_ = "ip netns add " + ns_.name() + " failed";
    return;
  }
  link_ = dir_.file("terminal");
  std::vector<std::string> args{"--tun", ns_.name(), "--link", link_};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  sim_ = std::make_unique<simtest::SimProcess>(args);
  std::string line;
  if (!sim_->waitEvent("TUN ", &line)) {
    error_ = "spmsim did not report its TUN device:\n" + sim_->transcript();
    return;
  }
  tun_ = line.substr(4);
  if (!sim_->waitEvent("READY ")) {
    error_ = "spmsim did not report READY:\n" + sim_->transcript();
    return;
  }
  ok_ = true;
}

KernelTerminal::~KernelTerminal() = default;

bool KernelTerminal::setRtoMin(int ms) {
  return exec("ip route change 1.1.1.1 dev " + tun_ + " proto kernel scope link src 1.1.1.2 rto_min " +
              std::to_string(ms) + "ms")
             .status == 0;
}

bool KernelTerminal::waitListening(uint16_t port, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::string command = "ss -Hltn 'sport = :" + std::to_string(port) + "' | grep -q .";
  while (Clock::now() < deadline) {
    if (exec(command, milliseconds(remainingMs(deadline))).status == 0) return true;
    poll(nullptr, 0, 50);  // a condition without a descriptor: poll it
  }
  return false;
}

}  // namespace netnstest
