#include "tools/terminal/session.h"

#include <cerrno>
#include <cstring>

namespace simterm {

Session::Session(ByteStream &channel, ByteStream &services, Sink events, Sink notes, size_t maxUnsent)
    : channel_(channel),
      services_(services),
      events_(std::move(events)),
      notes_(std::move(notes)),
      maxUnsent_(maxUnsent) {}

void Session::start(Terminal &terminal, uint64_t now) {
    terminal_ = &terminal;
    terminal.connected(now);
}

void Session::send(Conn conn, const std::string &bytes) {
    if (ended_) return;
    std::string &queue = conn == Conn::Channel ? channelOut_ : servicesOut_;
    if (queue.size() + bytes.size() > maxUnsent_) {
        end(std::string(conn == Conn::Channel ? "channel" : "services") + ": the host does not read");
        return;
    }
    queue += bytes;
}

void Session::event(const std::string &line) {
    if (events_) events_(line);
}

void Session::note(const std::string &line) {
    if (notes_) notes_(line);
}

void Session::fail(const std::string &reason) { end(reason); }

void Session::end(const std::string &reason) {
    // The terminal is told in pump(), outside its own calls: end() may run
    // inside one of them (a send that overflows).
    if (ended_) return;
    ended_ = true;
    reason_ = reason;
}

bool Session::readFrom(Conn conn, ByteStream &stream, uint64_t now) {
    const char *name = conn == Conn::Channel ? "channel" : "services";
    unsigned char buf[16384];
    size_t total = 0;
    while (!ended_ && total < kMaxReadPerPump) {
        const ssize_t n = stream.receive(buf, sizeof buf);
        if (n > 0) {
            total += size_t(n);
            terminal_->received(conn, buf, size_t(n), now);
            continue;
        }
        if (n == 0) {
            end(std::string(name) + ": closed by the host");
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        end(std::string(name) + ": " + std::strerror(errno));
        return false;
    }
    return !ended_;
}

bool Session::flush(ByteStream &stream, std::string &queue, const char *name) {
    size_t done = 0;
    while (done < queue.size()) {
        const ssize_t n = stream.send(queue.data() + done, queue.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        queue.erase(0, done);
        end(std::string(name) + ": " + (n < 0 ? std::strerror(errno) : "send failed"));
        return false;
    }
    queue.erase(0, done);
    return true;
}

bool Session::pump(uint64_t now) {
    if (!terminal_) return false;
    if (!ended_ && readFrom(Conn::Channel, channel_, now) && readFrom(Conn::Services, services_, now)) {
        terminal_->tick(now);
        if (!ended_ && flush(channel_, channelOut_, "channel")) flush(services_, servicesOut_, "services");
    }
    if (ended_) {
        terminal_->disconnected();
        return false;
    }
    return true;
}

std::vector<pollfd> Session::pollSet() const {
    std::vector<pollfd> out;
    if (channel_.pollFd() >= 0)
        out.push_back({channel_.pollFd(), channel_.pollEvents(!channelOut_.empty()), 0});
    if (services_.pollFd() >= 0)
        out.push_back({services_.pollFd(), services_.pollEvents(!servicesOut_.empty()), 0});
    return out;
}

int Session::pollTimeout(uint64_t now) const {
    if (channel_.hasBuffered() || services_.hasBuffered()) return 0;
    if (!terminal_) return -1;
    const auto next = terminal_->nextDeadline();
    if (!next) return -1;
    if (*next <= now) return 0;
    const uint64_t wait = *next - now;
    return wait > 60000 ? 60000 : int(wait);
}

}  // namespace simterm
