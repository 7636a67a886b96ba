#include "tools/spmsim/line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace spmsim {

namespace {

// Raw 8N1 at 115200: no echo (it would loop frames back), no CR/NL mapping
// and no XON/XOFF (they would mangle 0x0d, 0x11 and 0x13 once the peers
// negotiate an empty control-character map).
bool makeRaw(int fd, std::string* error, const char* which) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    *error = std::string("cannot read the terminal settings of the ") + which + ": " + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    *error = std::string("cannot set raw mode on the ") + which + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool pointsTo(const std::string& link, const std::string& target) {
  char buf[4096];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) {
    return false;
  }
  buf[n] = '\0';
  return target == buf;
}

}  // namespace

PtyLine::~PtyLine() { close(); }

bool PtyLine::open(const std::string& linkPath, std::string* error) {
  close();
  int master = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) {
    *error = std::string("cannot open /dev/ptmx: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    *error = std::string("cannot prepare the pseudo-terminal: ") + std::strerror(errno);
    ::close(master);
    return false;
  }
  int keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (keeper < 0) {
    *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    ::close(master);
    return false;
  }
  if (!makeRaw(master, error, "pty master") || !makeRaw(keeper, error, "pty slave")) {
    ::close(keeper);
    ::close(master);
    return false;
  }
  if (!linkPath.empty()) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      *error = linkPath + " exists and is not a symbolic link; refusing to replace it";
      ::close(keeper);
      ::close(master);
      return false;
    }
    // Create under a temporary name and rename over the old link, so the
    // path never points at nothing while the line comes up.
    std::string tmp = linkPath + ".spmsim-tmp";
    ::unlink(tmp.c_str());
    if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), linkPath.c_str()) != 0) {
      *error = "cannot create the link " + linkPath + ": " + std::strerror(errno);
      ::unlink(tmp.c_str());
      ::close(keeper);
      ::close(master);
      return false;
    }
  }
  master_ = master;
  slaveKeeper_ = keeper;
  slavePath_ = name;
  linkPath_ = linkPath;
  return true;
}

void PtyLine::close() {
  if (!linkPath_.empty() && pointsTo(linkPath_, slavePath_)) {
    ::unlink(linkPath_.c_str());
  }
  linkPath_.clear();
  if (slaveKeeper_ >= 0) {
    ::close(slaveKeeper_);
    slaveKeeper_ = -1;
  }
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
  }
  slavePath_.clear();
}

PtyLine::ReadResult PtyLine::read(uint8_t* buffer, size_t size) {
  if (master_ < 0) {
    return {Status::kFailed, 0};
  }
  for (;;) {
    ssize_t n = ::read(master_, buffer, size);
    if (n > 0) {
      return {Status::kData, static_cast<size_t>(n)};
    }
    if (n == 0) {
      return {Status::kNothing, 0};
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return {Status::kNothing, 0};
    }
    if (errno == EIO) {
      return {Status::kNoHost, 0};
    }
    return {Status::kFailed, 0};
  }
}

long PtyLine::write(const uint8_t* data, size_t len) {
  if (master_ < 0) {
    return -1;
  }
  for (;;) {
    ssize_t n = ::write(master_, data, len);
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    if (errno == EIO) {
      return 0;  // no host on the slave side: keep the bytes queued
    }
    return -1;
  }
}

void PtyLine::discardUnread() {
  if (slaveKeeper_ >= 0) {
    tcflush(slaveKeeper_, TCIFLUSH);
  }
}

}  // namespace spmsim
