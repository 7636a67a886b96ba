// The simulated terminal's serial line: a pseudo-terminal pair whose slave
// side the host opens as its serial device (optionally through a symbolic
// link), with both ends in raw mode.
//
// The simulator keeps its own descriptor on the slave open for the life of
// the line: the raw settings then survive the host closing and reopening
// the device, and bytes the host has not read yet can be discarded on a
// simulated terminal restart. Only the master is read and written.
//
// Owned and used by the simulator's single event-loop thread; no locking.
// Writes never block: the caller queues what the pty does not take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace spmsim {

class PtyLine {
 public:
  PtyLine() = default;
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // Creates the pty pair and, when linkPath is not empty, makes linkPath a
  // symbolic link to the slave (replacing an older symbolic link, never a
  // regular file). On failure returns false with a readable reason.
  bool open(const std::string& linkPath, std::string* error);

  // Closes both ends and removes the link if it still points at our slave.
  // The host's next read sees the line hang up.
  void close();

  bool isOpen() const { return master_ >= 0; }
  int masterFd() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  enum class Status { kData, kNothing, kNoHost, kFailed };
  struct ReadResult {
    Status status;
    size_t count;
  };
  // Non-blocking read from the master. kNoHost: the pty reports EIO, which a
  // master does while no slave descriptor is open.
  ReadResult read(uint8_t* buffer, size_t size);

  // Non-blocking write to the master: bytes accepted (possibly fewer than
  // asked, 0 when the pty is full), or -1 on a hard error.
  long write(const uint8_t* data, size_t len);

  // Discards what was written but not yet read by the host.
  void discardUnread();

 private:
  int master_ = -1;
  int slaveKeeper_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};

}  // namespace spmsim
