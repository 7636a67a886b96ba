// Test helpers for the serial terminal simulator: start spmsim as a child
// process, wait for its event lines with generous deadlines, and play the
// host on its pty with raw bytes (including hand-made PPP frames).
//
// Each helper belongs to the test's thread; nothing here is shared.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

inline constexpr milliseconds kDeadline{15000};

// The spmsim binary: $RYN_SPMSIM, else the path CMake compiled in.
std::string spmsimPath();

// A private temporary directory, removed with its content at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// spmsim as a child process with piped stdin/stdout (stderr inherited).
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Consumes event lines until one starts with prefix; false on timeout or
  // end of output. The matching line goes to *line.
  bool waitEvent(const std::string& prefix, std::string* line = nullptr, milliseconds timeout = kDeadline);
  void command(const std::string& text);
  void closeStdin();
  void signal(int sig);
  // Exit status (as from waitpid), or -1 when it did not exit in time.
  int waitExit(milliseconds timeout = kDeadline);
  // Every event line read so far, for failure messages.
  std::string transcript() const;

 private:
  bool readLine(std::string* line, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  std::vector<std::string> seen_;
};

// The host's end of the line: the pty slave opened through a path, raw.
class HostLine {
 public:
  explicit HostLine(const std::string& path);
  ~HostLine();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void write(const Bytes& bytes);
  void write(const std::string& text);
  // One read with a timeout: the bytes, empty on timeout; *eof set when the
  // line hung up (read 0 or EIO).
  Bytes readOnce(milliseconds timeout, bool* eof = nullptr);
  // Reads until the bytes received since the call contain needle; returns
  // every read separately (so tests can look at read boundaries).
  std::vector<Bytes> readUntil(const std::string& needle, milliseconds timeout = kDeadline);

 private:
  int fd_ = -1;
};

std::string toString(const Bytes& b);
bool contains(const Bytes& haystack, const std::string& needle);

// HDLC-like framing of PPP over a serial line (flag 0x7e, escape 0x7d,
// FCS-16), as a host would send it before any map is negotiated: every
// control character is escaped.
uint16_t fcs16(const uint8_t* data, size_t len);
Bytes encodeFrame(uint16_t protocol, const Bytes& information);

struct Frame {
  uint16_t protocol;
  Bytes information;
};

// Collects frames from received bytes; frames with a bad FCS are counted
// and dropped.
class FrameDecoder {
 public:
  void feed(const Bytes& bytes);
  std::vector<Frame> frames;
  int badFcs = 0;

 private:
  Bytes current_;
  bool escaped_ = false;
};

}  // namespace simtest
