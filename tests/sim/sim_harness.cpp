#include "sim/sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace simtest {

using Clock = std::chrono::steady_clock;

namespace {
int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}
}  // namespace

std::string spmsimPath() {
  const char* env = std::getenv("RYN_SPMSIM");
  if (env != nullptr && *env != '\0') {
    return env;
  }
  return RYN_SPMSIM;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/spmsim-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::string path = spmsimPath();
  std::vector<std::string> argvStore{path};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // The simulator must not outlive a crashed test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    closeStdin();
    if (waitExit(milliseconds(5000)) == -1) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (stdout_ >= 0) close(stdout_);
}

void SimProcess::command(const std::string& text) {
  std::string line = text + "\n";
  if (stdin_ >= 0) {
    ssize_t n = ::write(stdin_, line.data(), line.size());
    (void)n;
  }
}

void SimProcess::closeStdin() {
  if (stdin_ >= 0) {
    close(stdin_);
    stdin_ = -1;
  }
}

void SimProcess::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int SimProcess::waitExit(milliseconds timeout) {
  if (pid_ <= 0) {
    return -1;
  }
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (Clock::now() >= deadline) {
      return -1;
    }
    // Polling a child's exit has no descriptor to wait on; 10 ms steps.
    poll(nullptr, 0, 10);
  }
}

bool SimProcess::readLine(std::string* line, Clock::time_point deadline) {
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      seen_.push_back(*line);
      return true;
    }
    pollfd p{stdout_, POLLIN, 0};
    int r = poll(&p, 1, remainingMs(deadline));
    if (r <= 0) {
      return false;
    }
    char buf[512];
    ssize_t n = ::read(stdout_, buf, sizeof buf);
    if (n <= 0) {
      return false;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

bool SimProcess::waitEvent(const std::string& prefix, std::string* line, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::string l;
  while (readLine(&l, deadline)) {
    if (l.compare(0, prefix.size(), prefix) == 0) {
      if (line) *line = l;
      return true;
    }
  }
  return false;
}

std::string SimProcess::transcript() const {
  std::string all;
  for (const auto& l : seen_) all += l + "\n";
  return all;
}

HostLine::HostLine(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    return;
  }
  termios tio{};
  tcgetattr(fd_, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd_, TCSANOW, &tio);
  tcflush(fd_, TCIFLUSH);
}

HostLine::~HostLine() {
  if (fd_ >= 0) close(fd_);
}

void HostLine::write(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 1000);
    } else {
      return;
    }
  }
}

void HostLine::write(const std::string& text) { write(Bytes(text.begin(), text.end())); }

Bytes HostLine::readOnce(milliseconds timeout, bool* eof) {
  if (eof) *eof = false;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, remainingMs(deadline));
    if (r <= 0) {
      return {};
    }
    uint8_t buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
      return Bytes(buf, buf + n);
    }
    if (n == 0 || (n < 0 && errno == EIO)) {
      if (eof) *eof = true;
      return {};
    }
    if (Clock::now() >= deadline) {
      return {};
    }
  }
}

std::vector<Bytes> HostLine::readUntil(const std::string& needle, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::vector<Bytes> reads;
  Bytes all;
  while (Clock::now() < deadline) {
    bool eof = false;
    Bytes b = readOnce(milliseconds(remainingMs(deadline)), &eof);
    if (eof) break;
    if (b.empty()) continue;
    reads.push_back(b);
    all.insert(all.end(), b.begin(), b.end());
    if (contains(all, needle)) break;
  }
  return reads;
}

std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

bool contains(const Bytes& haystack, const std::string& needle) {
  return toString(haystack).find(needle) != std::string::npos;
}

uint16_t fcs16(const uint8_t* data, size_t len) {
  uint16_t fcs = 0xffff;
  for (size_t i = 0; i < len; ++i) {
    fcs ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      fcs = (fcs & 1) ? static_cast<uint16_t>((fcs >> 1) ^ 0x8408) : static_cast<uint16_t>(fcs >> 1);
    }
  }
  return static_cast<uint16_t>(fcs ^ 0xffff);
}

Bytes encodeFrame(uint16_t protocol, const Bytes& information) {
  Bytes body{0xff, 0x03, static_cast<uint8_t>(protocol >> 8), static_cast<uint8_t>(protocol & 0xff)};
  body.insert(body.end(), information.begin(), information.end());
  uint16_t fcs = fcs16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(fcs & 0xff));
  body.push_back(static_cast<uint8_t>(fcs >> 8));
  Bytes out{0x7e};
  for (uint8_t b : body) {
    if (b < 0x20 || b == 0x7d || b == 0x7e) {
      out.push_back(0x7d);
      out.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7e);
  return out;
}

void FrameDecoder::feed(const Bytes& bytes) {
  for (uint8_t b : bytes) {
    if (b == 0x7e) {
      if (current_.size() >= 4) {
        if (fcs16(current_.data(), current_.size()) != 0x0f47) {
          ++badFcs;  // the good-FCS residue of FCS-16 over data + FCS
        } else {
          // Address/control may be compressed away; protocol may be 1 byte.
          size_t i = 0;
          if (current_.size() >= 2 && current_[0] == 0xff && current_[1] == 0x03) i = 2;
          uint16_t protocol = current_[i];
          ++i;
          if ((protocol & 1) == 0 && i < current_.size()) {
            protocol = static_cast<uint16_t>((protocol << 8) | current_[i]);
            ++i;
          }
          size_t end = current_.size() - 2;
          if (i <= end) {
            frames.push_back({protocol, Bytes(current_.begin() + static_cast<std::ptrdiff_t>(i),
                                              current_.begin() + static_cast<std::ptrdiff_t>(end))});
          }
        }
      }
      current_.clear();
      escaped_ = false;
      continue;
    }
    if (b == 0x7d) {
      escaped_ = true;
      continue;
    }
    current_.push_back(escaped_ ? static_cast<uint8_t>(b ^ 0x20) : b);
    escaped_ = false;
  }
}

}  // namespace simtest
