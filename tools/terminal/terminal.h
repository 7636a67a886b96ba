// The simulated payment terminal's service-protocol logic, apart from any
// transport: it answers the host's requests on the channel, and sends its
// own requests (receipt printing, pushed results, echo) on the services
// connection, one at a time, each awaiting its answer with a deadline.
//
// Bytes come in through received(); bytes to send and event lines go out
// through Output; time is passed in (milliseconds, any monotonic origin),
// and nextDeadline() says when tick() is due next. No I/O, no threads, no
// clock reads except Config::wallClock for the receipt's date.
//
// Per transaction request: optional delay, then the receipt (open, start
// receipt, text lines, feed, cut, end receipt, close; each waits for its
// answer), then the answer on the channel, then the optional pushed
// result. Channel requests are answered in arrival order; a transaction
// holds back the requests behind it until it has been answered.
//
// Threading: one thread calls everything. Output must not call back in.
#pragma once

#include "tools/terminal/concert.h"
#include "tools/terminal/message.h"

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simterm {

enum class Conn { Channel, Services };

class Terminal {
public:
    struct Config {
        DecisionRule rule;
        uint32_t delayMs = 0;
        bool receipt = true;
        bool pushResult = false;
        uint32_t answerTimeoutMs = 10000;  // each printer command, pushed result
        uint32_t echoIntervalMs = 5000;    // idle time before an echo; 0: never
        uint32_t echoTimeoutMs = 5000;
        uint32_t echoMissLimit = 3;        // unanswered echoes in a row end the session
        std::string merchant = "SPMSIM MERCHANT";
        std::string terminalNumber = "01";
        uint32_t maxPayload = 1u << 20;    // larger declared envelopes end the session
        size_t maxQueuedRequests = 64;     // channel requests waiting behind a transaction
        std::function<std::time_t()> wallClock;  // receipt date; null: time()
    };

    class Output {
    public:
        virtual ~Output() = default;
        virtual void send(Conn conn, const std::string &bytes) = 0;
        // One event line for whoever follows the terminal ("ECHO", ...).
        virtual void event(const std::string &line) = 0;
        // A diagnostic for the operator.
        virtual void note(const std::string &line) = 0;
        // The connections cannot go on (hostile stream, host silent): the
        // owner closes both and reconnects.
        virtual void fail(const std::string &reason) = 0;
    };

    Terminal(Config config, Output &out);
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Both connections are up; starts the echo clock.
    void connected(uint64_t now);
    // The connections are gone: everything in flight is forgotten.
    void disconnected();
    bool isConnected() const { return connected_; }

    void received(Conn conn, const unsigned char *data, size_t size, uint64_t now);
    void tick(uint64_t now);
    // The next time tick() has work; nullopt when nothing is timed.
    std::optional<uint64_t> nextDeadline() const;

    // Counters, for the owner and for tests.
    uint32_t transactions() const { return transactionCount_; }
    bool busy() const;

private:
    struct Pending;
    struct Job;

    void onChannelMessage(const std::string &message, uint64_t now);
    void onServicesMessage(const std::string &message, uint64_t now);
    void serveChannel(uint64_t now);
    void startTransaction(Tree request, uint64_t now);
    void advanceJob(uint64_t now);
    void finishReceipt(const std::string &outcome);
    void answerTransaction(uint64_t now);
    void sendServices(std::unique_ptr<Pending> request, uint64_t now);
    void pumpServices(uint64_t now);
    void maybeEcho(uint64_t now);
    void sendPrinter(uint32_t code, uint32_t param1, const std::string &payload, uint64_t now);

    Config config_;
    Output &out_;
    bool connected_ = false;
    EnvelopeAssembler channelIn_;
    EnvelopeAssembler servicesIn_;
    std::deque<Tree> channelQueue_;
    std::unique_ptr<Job> job_;
    std::deque<std::unique_ptr<Pending>> servicesQueue_;
    std::unique_ptr<Pending> inFlight_;
    uint64_t nextEchoAt_ = 0;
    uint32_t echoMisses_ = 0;
    uint32_t transactionCount_ = 0;
    uint32_t authSeed_ = 0x2545F491u;
};

}  // namespace simterm
