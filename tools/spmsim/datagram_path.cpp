#include "tools/spmsim/datagram_path.h"

#include <cstdio>

extern "C" {
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "ryn_lwip_port.h"
}

namespace spmsim {

namespace {
DatagramPath* g_active = nullptr;
netif_output_fn g_originalOutput = nullptr;
}  // namespace

// lwIP's C callbacks, with access to the instance.
struct DatagramPathGlue {
  static int input(struct pbuf* p, struct netif* inp, void* ctx) {
    auto* self = static_cast<DatagramPath*>(ctx);
    if (inp != self->netif_) {
      return 0;
    }
    self->flatten(p);
    if (self->dropBytes(Direction::kRx, self->scratch_.data(), self->scratch_.size())) {
      pbuf_free(p);
      return 1;
    }
    if (self->forward_) {
      self->forward_(self->scratch_.data(), self->scratch_.size());
      pbuf_free(p);
      return 1;
    }
    return 0;
  }

  static err_t output(struct netif* nif, struct pbuf* p, const ip4_addr_t* addr) {
    DatagramPath* self = g_active;
    if (self != nullptr && nif == self->netif_) {
      self->flatten(p);
      if (self->dropBytes(Direction::kTx, self->scratch_.data(), self->scratch_.size())) {
        return ERR_OK;  // lost on the line: the sender cannot tell
      }
    }
    return g_originalOutput(nif, p, addr);
  }
};

DatagramPath::DatagramPath(struct netif* pppNetif, EventOut events) : netif_(pppNetif), events_(std::move(events)) {
  if (g_active != nullptr) {
    std::fprintf(stderr, "spmsim: only one datagram path per process\n");
    std::abort();
  }
  g_active = this;
  g_originalOutput = netif_->output;
  netif_->output = &DatagramPathGlue::output;
  ryn_lwip_set_ip4_input_hook(&DatagramPathGlue::input, this);
}

DatagramPath::~DatagramPath() {
  ryn_lwip_set_ip4_input_hook(nullptr, nullptr);
  netif_->output = g_originalOutput;
  g_active = nullptr;
}

void DatagramPath::flatten(struct pbuf* p) {
  scratch_.resize(p->tot_len);
  pbuf_copy_partial(p, scratch_.data(), p->tot_len, 0);
}

bool DatagramPath::dropBytes(Direction d, const uint8_t* data, size_t len) {
  DropRules::Verdict v = rules_.decide(d, data, len);
  if (v.oneShot) {
    events_(std::string("DROPPED ") + directionName(d) + " " + describeDatagram(v.kind));
  }
  return v.drop;
}

bool DatagramPath::sendToHost(const uint8_t* data, size_t len) {
  if (len == 0 || len > 0xffff) {
    return false;
  }
  struct pbuf* p = pbuf_alloc(PBUF_IP, static_cast<u16_t>(len), PBUF_RAM);
  if (p == nullptr) {
    return false;
  }
  pbuf_take(p, data, static_cast<u16_t>(len));
  // Through the wrapped output, so the drop rules see it like any other.
  err_t err = netif_->output(netif_, p, nullptr);
  pbuf_free(p);
  return err == ERR_OK;
}

std::string DatagramPath::statsLine() const {
  return "STATS rx " + std::to_string(rules_.seen(Direction::kRx)) + " dropped " +
         std::to_string(rules_.dropped(Direction::kRx)) + " tx " + std::to_string(rules_.seen(Direction::kTx)) +
         " dropped " + std::to_string(rules_.dropped(Direction::kTx));
}

}  // namespace spmsim
