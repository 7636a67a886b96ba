// TCP echo servers on the simulated terminal (lwIP raw TCP API): every byte
// a client sends comes back on the same connection. Nagle is off so small
// writes are answered at once. A client's data is taken from lwIP's receive
// window only as fast as it fits into the send buffer, so a slow reader
// slows the writer instead of growing memory.
//
// Threading: lwIP runs without an OS layer; everything here runs on the
// simulator's event-loop thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct tcp_pcb;

namespace spmsim {

class EchoServers {
 public:
  EchoServers() = default;
  ~EchoServers();
  EchoServers(const EchoServers&) = delete;
  EchoServers& operator=(const EchoServers&) = delete;

  // Listens on port (any local address). False with a reason on failure.
  bool listen(uint16_t port, std::string* error);
  // Resets every open connection (a terminal that reboots forgets them).
  void abortAll();
  size_t connectionCount() const { return connections_.size(); }

  struct Connection;  // per-client state, defined in echo.cpp

 private:
  friend struct EchoAccess;
  std::vector<tcp_pcb*> listeners_;
  std::vector<Connection*> connections_;
};

}  // namespace spmsim
