// The kernel side of the simulator's TUN mode: a TUN device (IFF_TUN |
// IFF_NO_PI, so every read and write is exactly one IPv4 datagram) in a
// network namespace, where the Linux kernel plays the terminal as 1.1.1.2
// with the host 1.1.1.1 as its point-to-point peer. IPv6 is switched off in
// that namespace so the kernel sends nothing but what its applications ask
// for; its loopback interface is brought up.
//
// open() moves the calling process into the namespace (setns), so it must
// be called while the process has a single thread, before anything else
// needs the original network namespace (the simulator needs none).
//
// Owned and used by the simulator's single event-loop thread; no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace spmsim {

class TunDevice {
 public:
  TunDevice() = default;
  ~TunDevice();
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;

  // netns: a name made by "ip netns add" (/run/netns/NAME) or a path to a
  // namespace file (e.g. /proc/PID/ns/net). False with a reason on failure.
  bool open(const std::string& netns, std::string* error);

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

  // Follows the PPP link's MTU so the kernel never sends what the link
  // cannot carry.
  bool setMtu(int mtu);
  int mtu() const { return mtu_; }

  // One datagram: its length, 0 when none is waiting, -1 on a hard error.
  long read(uint8_t* buffer, size_t size);
  // One datagram to the kernel; false when it was not taken (the kernel's
  // input is full: the datagram is lost, as on a congested line).
  bool write(const uint8_t* data, size_t len);

 private:
  bool configure(std::string* error);

  int fd_ = -1;
  int control_ = -1;  // datagram socket in the namespace, for interface ioctls
  std::string name_;
  int mtu_ = 0;
};

}  // namespace spmsim
