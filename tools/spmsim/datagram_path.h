// Where the simulator's IP datagrams go between the PPP link and the stack
// behind it. Installed on the PPP server's netif, it sees every datagram
// received from the host (lwIP's IPv4 input hook) and every datagram sent to
// the host (it wraps the netif's output function), applies the deliberate
// drops of DropRules, and, when a forward sink is set (TUN mode), takes the
// received datagrams away from lwIP's IP layer and hands them to the sink;
// datagrams for the host then come in through sendToHost().
//
// Threading: lwIP's single event-loop thread only. One instance per process
// (lwIP's hook and the wrapped output are process-wide); the destructor
// restores both. REQUIRES: the netif outlives this object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/spmsim/drop_rules.h"

struct netif;
struct pbuf;

namespace spmsim {

class DatagramPath {
 public:
  using EventOut = std::function<void(const std::string& line)>;
  // Gets each datagram received from the host (bytes valid for the call).
  using Forward = std::function<void(const uint8_t* data, size_t len)>;

  DatagramPath(struct netif* pppNetif, EventOut events);
  ~DatagramPath();
  DatagramPath(const DatagramPath&) = delete;
  DatagramPath& operator=(const DatagramPath&) = delete;

  DropRules& rules() { return rules_; }
  void forwardTo(Forward forward) { forward_ = std::move(forward); }

  // A datagram for the host (from the TUN device): through the drop rules
  // and out on the PPP link (a deliberate drop looks like success, as loss
  // on a line would). False when the link is not up.
  bool sendToHost(const uint8_t* data, size_t len);

  // "STATS rx N dropped N tx N dropped N" (datagrams seen and dropped).
  std::string statsLine() const;

 private:
  // Copies a pbuf chain into scratch_ (the decision needs flat bytes).
  void flatten(struct pbuf* p);
  bool dropBytes(Direction d, const uint8_t* data, size_t len);

  struct netif* netif_;
  EventOut events_;
  Forward forward_;
  DropRules rules_;
  std::vector<uint8_t> scratch_;

  friend struct DatagramPathGlue;  // lwIP's C callbacks
};

}  // namespace spmsim
