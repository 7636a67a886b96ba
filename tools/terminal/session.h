// Session: the terminal logic (terminal.h) joined to its two byte streams
// for as long as both connections last. pump() moves bytes both ways:
// everything readable now is fed to the terminal, queued output is written
// as far as the streams take it. The session ends (ended() with a reason)
// when a stream closes or fails, when the terminal gives up on the host,
// or when the host leaves more output unread than the limit; pump() then
// tells the terminal (disconnected()) and returns false. The owner closes
// the streams.
//
// The streams and the terminal are the caller's and must outlive the
// session; the terminal's Output must be the session (see output()). One
// thread calls everything; time is passed in.
#pragma once

#include "tools/terminal/byte_stream.h"
#include "tools/terminal/terminal.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace simterm {

class Session final : public Terminal::Output {
public:
    using Sink = std::function<void(const std::string &line)>;

    static constexpr size_t kMaxUnsent = 8u << 20;
    static constexpr size_t kMaxReadPerPump = 256u << 10;

    // events: event lines; notes: diagnostics. maxUnsent: output bytes the
    // host may leave unread per connection before the session ends.
    Session(ByteStream &channel, ByteStream &services, Sink events, Sink notes, size_t maxUnsent = kMaxUnsent);

    // Call once with the terminal that uses this session as its Output.
    void start(Terminal &terminal, uint64_t now);
    // Reads what is there, feeds the terminal, runs its timers, writes.
    // false once the session has ended.
    bool pump(uint64_t now);
    bool ended() const { return ended_; }
    const std::string &reason() const { return reason_; }

    // poll() entries for both streams (fd -1 entries are left out).
    std::vector<pollfd> pollSet() const;
    // Milliseconds until pump() has timed work (-1: none); 0 when input is
    // already buffered.
    int pollTimeout(uint64_t now) const;

    // Terminal::Output
    void send(Conn conn, const std::string &bytes) override;
    void event(const std::string &line) override;
    void note(const std::string &line) override;
    void fail(const std::string &reason) override;

private:
    bool readFrom(Conn conn, ByteStream &stream, uint64_t now);
    bool flush(ByteStream &stream, std::string &queue, const char *name);
    void end(const std::string &reason);

    ByteStream &channel_;
    ByteStream &services_;
    Sink events_;
    Sink notes_;
    size_t maxUnsent_;
    Terminal *terminal_ = nullptr;
    std::string channelOut_;
    std::string servicesOut_;
    bool ended_ = false;
    std::string reason_;
};

}  // namespace simterm
