#include "tools/spmsim/tun.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace spmsim {

namespace {

// The serial link's addresses as the kernel holds them.
constexpr const char kTerminalAddr[] = "1.1.1.2";
constexpr const char kHostAddr[] = "1.1.1.1";
constexpr int kInitialMtu = 1500;

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes a sysctl of the current network namespace; absent IPv6 is fine.
void disableIpv6(const std::string& device) {
  std::string path = "/proc/sys/net/ipv6/conf/" + device + "/disable_ipv6";
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = ::write(fd, "1\n", 2);
    (void)n;
    ::close(fd);
  }
}

bool setAddress(int sock, const char* ifname, unsigned long request, const char* address, std::string* error) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sin.sin_addr);
  std::memcpy(&ifr.ifr_addr, &sin, sizeof sin);
  if (ioctl(sock, request, &ifr) != 0) {
    *error = failure(std::string("configuring ") + ifname);
    return false;
  }
  return true;
}

bool bringUp(int sock, const char* ifname, std::string* error) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0) {
    *error = failure(std::string("reading the flags of ") + ifname);
    return false;
  }
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(sock, SIOCSIFFLAGS, &ifr) != 0) {
    *error = failure(std::string("bringing up ") + ifname);
    return false;
  }
  return true;
}

}  // namespace

TunDevice::~TunDevice() {
  if (fd_ >= 0) ::close(fd_);
  if (control_ >= 0) ::close(control_);
}

bool TunDevice::open(const std::string& netns, std::string* error) {
  std::string path = netns.find('/') == std::string::npos ? "/run/netns/" + netns : netns;
  int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ns < 0) {
    *error = failure("network namespace " + path);
    return false;
  }
  int rc = setns(ns, CLONE_NEWNET);
  ::close(ns);
  if (rc != 0) {
    *error = failure("entering the network namespace " + path);
    return false;
  }
  // Before the device exists, so it never gets an IPv6 address.
  disableIpv6("all");
  disableIpv6("default");

  fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    *error = failure("/dev/net/tun");
    return false;
  }
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, "tun%d", IFNAMSIZ - 1);
  if (ioctl(fd_, TUNSETIFF, &ifr) != 0) {
    *error = failure("creating the TUN device");
    return false;
  }
  name_ = ifr.ifr_name;
  control_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control_ < 0) {
    *error = failure("control socket");
    return false;
  }
  return configure(error);
}

bool TunDevice::configure(std::string* error) {
  disableIpv6(name_);
  const char* ifname = name_.c_str();
  // A point-to-point /32: the kernel routes 1.1.1.1 to the device.
  if (!setAddress(control_, ifname, SIOCSIFADDR, kTerminalAddr, error) ||
      !setAddress(control_, ifname, SIOCSIFDSTADDR, kHostAddr, error) ||
      !setAddress(control_, ifname, SIOCSIFNETMASK, "255.255.255.255", error)) {
    return false;
  }
  if (!setMtu(kInitialMtu)) {
    *error = failure("setting the MTU of " + name_);
    return false;
  }
  return bringUp(control_, ifname, error) && bringUp(control_, "lo", error);
}

bool TunDevice::setMtu(int mtu) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
  ifr.ifr_mtu = mtu;
  if (ioctl(control_, SIOCSIFMTU, &ifr) != 0) {
    return false;
  }
  mtu_ = mtu;
  return true;
}

long TunDevice::read(uint8_t* buffer, size_t size) {
  ssize_t n = ::read(fd_, buffer, size);
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

bool TunDevice::write(const uint8_t* data, size_t len) {
  ssize_t n = ::write(fd_, data, len);
  return n == static_cast<ssize_t>(len);
}

}  // namespace spmsim
