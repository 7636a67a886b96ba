// Test harness for the Linux kernel as the terminal's TCP/IP stack: a
// private network namespace, the simulator in TUN mode feeding it (lwIP
// does PPP only; the kernel holds 1.1.1.2 peer 1.1.1.1 on a TUN device, IPv6
// off), and ordinary programs run in the namespace as the terminal's
// applications (python3, socat, ss, ip).
//
//   if (auto why = netnstest::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
//   netnstest::KernelTerminal term({"--pace", "11520"});
//   ASSERT_TRUE(term.ok()) << term.error();
//   term.setRtoMin(1500);
//   auto server = term.spawn(netnstest::pythonTool("echo-server 5188"));
//   server->waitOutput("LISTENING");
//   ... open term.linkPath() as the host's serial device, "CLIENT", PPP ...
//
// Namespaces are named "ryn-test-<pid>-<n>", created by the constructor and
// deleted (after every spawned program and the simulator are stopped) by the
// destructor; nothing touches the machine's own namespace. Needs root,
// /dev/net/tun and iproute2: check unavailableReason() first (tests skip).
//
// Everything here belongs to the test's thread; nothing is shared.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_harness.h"

namespace netnstest {

using simtest::milliseconds;
using simtest::kDeadline;

// Empty when namespaces, TUN devices and iproute2 are usable here; else a
// message for GTEST_SKIP (or for a script's exit status 77).
std::string unavailableReason();

// "python3 <path of netns_tool.py> <args>": echo server, checked client,
// ping (see netns_tool.py).
std::string pythonTool(const std::string& args);

// A program started in the background (its own process group); stdout and
// stderr are collected. Killed (the whole group) at destruction.
class Background {
 public:
  Background(pid_t pid, int outputFd) : pid_(pid), out_(outputFd) {}
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Reads output until it contains text; false on timeout or exit.
  bool waitOutput(const std::string& text, milliseconds timeout = kDeadline);
  // true once exited (status as from waitpid in *status).
  bool finished(int* status = nullptr);
  // Exit status (waitpid form), or -1 on timeout.
  int wait(milliseconds timeout = kDeadline);
  std::string output();

 private:
  void drain();

  pid_t pid_;
  int out_;
  int status_ = -1;
  std::string output_;
};

class NetNamespace {
 public:
  NetNamespace();
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

  struct Result {
    int status = -1;  // exit code, -1 when killed or timed out
    std::string output;
  };
  // Runs a shell command in the namespace and waits for it.
  Result exec(const std::string& command, milliseconds timeout = kDeadline);
  // Starts a shell command in the namespace.
  std::unique_ptr<Background> spawn(const std::string& command);

 private:
  std::string name_;
  bool ok_ = false;
};

class KernelTerminal {
 public:
  // Starts spmsim --tun <namespace> --link <temp>/terminal plus extraArgs
  // and waits for its TUN and READY events.
  explicit KernelTerminal(const std::vector<std::string>& extraArgs = {});
  ~KernelTerminal();

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  const std::string& linkPath() const { return link_; }
  const std::string& tunName() const { return tun_; }
  simtest::SimProcess& sim() { return *sim_; }
  NetNamespace& ns() { return ns_; }

  NetNamespace::Result exec(const std::string& command, milliseconds timeout = kDeadline) {
    return ns_.exec(command, timeout);
  }
  std::unique_ptr<Background> spawn(const std::string& command) { return ns_.spawn(command); }
  // Raises the kernel's minimum RTO on the route to the host: on a paced
  // line its 200 ms default fires on data merely queued for the line.
  bool setRtoMin(int milliseconds);
  // Polls `ss` until a TCP listener on port exists in the namespace (for
  // servers that do not announce themselves, such as socat).
  bool waitListening(uint16_t port, milliseconds timeout = kDeadline);

 private:
  // Declared first, so destroyed last: the simulator leaves before the
  // namespace is deleted.
  NetNamespace ns_;
  simtest::TempDir dir_;
  std::unique_ptr<simtest::SimProcess> sim_;
  std::string link_;
  std::string tun_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace netnstest
