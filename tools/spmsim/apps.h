// The terminal's TCP applications for end-to-end tests of the host's stack
// (lwIP raw TCP API, terminal side):
//  - sink: reads everything a client sends and, at the client's FIN,
//    reports "SINK <port> <bytes> <crc32>" and closes; a reset is reported
//    as "SINK-RESET <port> <bytes>". While held, the sink stops taking data
//    out of lwIP's receive window (the window closes) until released.
//  - source: the client asks "<bytes> <mode> <seed>\n"; the source sends
//    that much of the pattern stream (pattern.h), then per mode:
//      fin   closes (the FIN rides on the last data segment when it can);
//      half  shuts down its sending side, reads what the host sends until
//            its FIN, reports "SOURCE <port> GOT <bytes> <crc32>", closes;
//      rst   once everything is acknowledged, resets the connection and
//            reports "SOURCE <port> RESET-SENT <bytes>".
//    Each finished send is reported as "SOURCE <port> SENT <bytes>".
//  - connect: an active open to the host (1.1.1.1:port) that sends bytes of
//    the stream and closes: "CONNECT <port> SENT <bytes>" or
//    "CONNECT <port> FAILED <lwIP error>".
//
// Threading: lwIP runs without an OS layer; everything here runs on the
// simulator's event-loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct tcp_pcb;

namespace spmsim {

class TcpApps {
 public:
  using EventOut = std::function<void(const std::string&)>;

  explicit TcpApps(EventOut events) : events_(std::move(events)) {}
  ~TcpApps();
  TcpApps(const TcpApps&) = delete;
  TcpApps& operator=(const TcpApps&) = delete;

  bool listenSink(uint16_t port, std::string* error);
  bool listenSource(uint16_t port, std::string* error);
  // False (with a reason) when the open cannot even start.
  bool connect(uint16_t port, uint64_t bytes, uint32_t seed, std::string* error);
  // Sinks stop (true) or resume (false) reading.
  void hold(bool on);
  // Resets every connection (the terminal lost its session).
  void abortAll();

  struct Conn;  // defined in apps.cpp

 private:
  friend struct AppsAccess;
  bool listen(uint16_t port, int kind, std::string* error);

  EventOut events_;
  std::vector<tcp_pcb*> listeners_;
  std::vector<Conn*> conns_;
  bool held_ = false;
};

}  // namespace spmsim
