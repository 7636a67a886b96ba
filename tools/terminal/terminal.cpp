#include "tools/terminal/terminal.h"

#include "tools/terminal/printer.h"
#include "tools/terminal/protocol.h"

#include <cstdio>

namespace simterm {

namespace {

std::string hexTag(uint32_t tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

const char *decodeErrorText(DecodeError e) {
    switch (e) {
    case DecodeError::ProtocolOrSize: return "bad protocol field or size";
    case DecodeError::EmptyPayload: return "empty payload";
    case DecodeError::BadTree: return "payload is not a TLV tree";
    case DecodeError::None: break;
    }
    return "ok";
}

constexpr uint32_t kEchoRetryMs = 1000;
constexpr uint32_t kFeedLines = 3;

}  // namespace

// One request of ours on the services connection, awaiting its answer.
struct Terminal::Pending {
    std::string bytes;
    uint32_t answerTag = 0;
    uint32_t printerCode = 0;  // printer commands: the answer record must echo it
    uint32_t timeoutMs = 0;
    uint64_t deadline = 0;
    std::string what;
    // answer null: no answer before the deadline.
    std::function<void(const Tree *answer, uint64_t now)> done;
};

// A transaction between its request and its answer on the channel.
struct Terminal::Job {
    enum class Stage { Delay, Printing };
    struct Command {
        uint32_t code;
        uint32_t param1;
        std::string payload;
        bool isText;
    };
    TransactionRequest request;
    Decision decision;
    TransactionInfo info;
    Stage stage = Stage::Delay;
    uint64_t readyAt = 0;
    std::vector<std::string> lines;
    std::vector<Command> commands;
    size_t step = 0;
    uint32_t jobId = 0;
    uint32_t printed = 0;
};

Terminal::Terminal(Config config, Output &out)
    : config_(std::move(config)), out_(out), channelIn_(config_.maxPayload), servicesIn_(config_.maxPayload) {}

Terminal::~Terminal() = default;

void Terminal::connected(uint64_t now) {
    disconnected();
    connected_ = true;
    nextEchoAt_ = now + config_.echoIntervalMs;
}

void Terminal::disconnected() {
    connected_ = false;
    channelIn_.reset();
    servicesIn_.reset();
    channelQueue_.clear();
    job_.reset();
    servicesQueue_.clear();
    inFlight_.reset();
    echoMisses_ = 0;
}

bool Terminal::busy() const { return job_ || inFlight_ || !servicesQueue_.empty() || !channelQueue_.empty(); }

void Terminal::received(Conn conn, const unsigned char *data, size_t size, uint64_t now) {
    if (!connected_) return;
    EnvelopeAssembler &in = conn == Conn::Channel ? channelIn_ : servicesIn_;
    in.push(data, size);
    std::string message;
    for (;;) {
        const auto status = in.next(message);
        if (status == EnvelopeAssembler::Status::NeedMore) break;
        if (status == EnvelopeAssembler::Status::TooLarge) {
            const std::string reason = std::string(conn == Conn::Channel ? "channel" : "services") +
                                       ": declared message length above the limit";
            disconnected();
            out_.fail(reason);
            return;
        }
        if (conn == Conn::Channel)
            onChannelMessage(message, now);
        else
            onServicesMessage(message, now);
        if (!connected_) return;  // an Output call may have ended the session
    }
}

void Terminal::onChannelMessage(const std::string &message, uint64_t now) {
    Tree tree;
    if (const DecodeError e = decodeMessage(message, tree); e != DecodeError::None) {
        out_.note(std::string("channel: message dropped: ") + decodeErrorText(e));
        return;
    }
    if (!isRequestTag(tree.tag())) {
        out_.note("channel: unexpected message " + hexTag(tree.tag()) + " dropped");
        return;
    }
    if (channelQueue_.size() >= config_.maxQueuedRequests) {
        out_.note("channel: too many requests waiting, " + hexTag(tree.tag()) + " dropped");
        return;
    }
    channelQueue_.push_back(std::move(tree));
    serveChannel(now);
}

void Terminal::serveChannel(uint64_t now) {
    while (connected_ && !job_ && !channelQueue_.empty()) {
        Tree request = std::move(channelQueue_.front());
        channelQueue_.pop_front();
        const uint32_t tag = request.tag();
        if (tag == channel::kTransactionReq) {
            startTransaction(std::move(request), now);
        } else if (tag == channel::kEchoReq) {
            out_.send(Conn::Channel, encodeMessage(answerTag(tag), {}));
            out_.event("ECHO");
        } else {
            out_.send(Conn::Channel, encodeMessage(answerTag(tag), {}));
            out_.note("channel: request " + hexTag(tag) + " not supported, answered without content");
            out_.event("UNSUPPORTED " + hexTag(tag));
        }
    }
}

void Terminal::startTransaction(Tree request, uint64_t now) {
    auto job = std::make_unique<Job>();
    job->request = parseTransactionRequest(request);
    job->decision = decide(job->request, config_.rule);
    job->info.number = ++transactionCount_;
    job->info.terminalNumber = config_.terminalNumber;
    // A fresh pseudo-random authorisation code per approval (xorshift).
    authSeed_ ^= authSeed_ << 13;
    authSeed_ ^= authSeed_ >> 17;
    authSeed_ ^= authSeed_ << 5;
    char auth[8];
    std::snprintf(auth, sizeof auth, "%06u", authSeed_ % 1000000u);
    job->info.authCode = auth;
    job->readyAt = now + config_.delayMs;
    job_ = std::move(job);
    advanceJob(now);
}

void Terminal::advanceJob(uint64_t now) {
    if (!job_ || job_->stage != Job::Stage::Delay || now < job_->readyAt) return;
    if (!config_.receipt) {
        answerTransaction(now);
        return;
    }
    Job &job = *job_;
    job.stage = Job::Stage::Printing;
    const std::time_t when = config_.wallClock ? config_.wallClock() : std::time(nullptr);
    job.lines = receiptLines(config_.merchant, when, job.request, job.decision, job.info);
    job.commands.push_back({printer::kStartReceipt, 0, {}, false});
    for (const std::string &line : job.lines)
        job.commands.push_back({printer::kText, 0, line + std::string(1, '\0'), true});
    job.commands.push_back({printer::kFeed, kFeedLines, {}, false});
    job.commands.push_back({printer::kCut, 0, {}, false});
    job.commands.push_back({printer::kEndReceipt, 0, {}, false});
    job.commands.push_back({printer::kClose, 0, {}, false});
    sendPrinter(printer::kOpen, 0, {}, now);
}

void Terminal::sendPrinter(uint32_t code, uint32_t param1, const std::string &payload, uint64_t now) {
    auto p = std::make_unique<Pending>();
    const uint32_t jobId = code == printer::kOpen ? 0 : job_->jobId;
    p->bytes = encodeMessage(services::kPrinterReq, {}, printerCommand(code, jobId, param1, 0, payload));
    p->answerTag = answerTag(services::kPrinterReq);
    p->printerCode = code;
    p->timeoutMs = config_.answerTimeoutMs;
    p->what = "printer command " + hexTag(code);
    p->done = [this, code](const Tree *answer, uint64_t when) {
        if (!job_ || job_->stage != Job::Stage::Printing) return;
        if (!answer) {
            finishReceipt("failed timeout");
            answerTransaction(when);
            return;
        }
        const std::string record = answer->value();
        PrinterAnswerView view(record);
        if (!view.valid()) {
            finishReceipt("failed bad-answer");
            answerTransaction(when);
            return;
        }
        Job &job = *job_;
        if (code == printer::kOpen) {
            if (view.status() != 0 || view.jobId() == 0) {
                finishReceipt("failed refused");
                answerTransaction(when);
                return;
            }
            job.jobId = view.jobId();
        } else if (view.status() == 0 && job.commands[job.step].isText) {
            ++job.printed;
        }
        if (code != printer::kOpen) ++job.step;
        if (job.step < job.commands.size()) {
            const Job::Command &next = job.commands[job.step];
            sendPrinter(next.code, next.param1, next.payload, when);
            return;
        }
        finishReceipt("printed " + std::to_string(job.printed));
        answerTransaction(when);
    };
    sendServices(std::move(p), now);
}

void Terminal::finishReceipt(const std::string &outcome) { out_.event("RECEIPT " + outcome); }

void Terminal::answerTransaction(uint64_t now) {
    if (!job_) return;
    std::unique_ptr<Job> job = std::move(job_);
    const auto children = responseChildren(job->request, job->decision, job->info);
    const std::string answer = encodeMessage(answerTag(channel::kTransactionReq), children);
    if (answer.empty()) {
        out_.note("channel: transaction answer could not be built");
    } else {
        out_.send(Conn::Channel, answer);
    }
    out_.event("TRANSACTION " + job->decision.amountField + (job->decision.approved ? " APPROVED" : " DECLINED"));
    if (config_.pushResult) {
        auto p = std::make_unique<Pending>();
        p->bytes = encodeMessage(services::kPushResultReq, children);
        p->answerTag = answerTag(services::kPushResultReq);
        p->timeoutMs = config_.answerTimeoutMs;
        p->what = "pushed result";
        p->done = [this](const Tree *ack, uint64_t) {
            if (!ack) {
                out_.event("PUSHED timeout");
                return;
            }
            const auto state = ack->child(services::kPushResultState);
            out_.event(std::string("PUSHED ") + (state && state->size() == 1 && (*state)[0] == 1 ? "1" : "0"));
        };
        sendServices(std::move(p), now);
    }
    serveChannel(now);
}

void Terminal::sendServices(std::unique_ptr<Pending> request, uint64_t now) {
    if (request->bytes.empty()) {
        out_.note("services: " + request->what + " could not be built");
        return;
    }
    servicesQueue_.push_back(std::move(request));
    pumpServices(now);
}

void Terminal::pumpServices(uint64_t now) {
    if (!connected_ || inFlight_ || servicesQueue_.empty()) return;
    inFlight_ = std::move(servicesQueue_.front());
    servicesQueue_.pop_front();
    inFlight_->deadline = now + inFlight_->timeoutMs;
    out_.send(Conn::Services, inFlight_->bytes);
}

void Terminal::onServicesMessage(const std::string &message, uint64_t now) {
    Tree tree;
    if (const DecodeError e = decodeMessage(message, tree); e != DecodeError::None) {
        out_.note(std::string("services: message dropped: ") + decodeErrorText(e));
        return;
    }
    bool matches = inFlight_ && tree.tag() == inFlight_->answerTag;
    if (matches && inFlight_->printerCode != 0) {
        // A late answer to a command that already timed out must not be
        // taken for the answer to the current one.
        const std::string record = tree.value();
        PrinterAnswerView view(record);
        matches = !view.valid() || view.code() == inFlight_->printerCode;
    }
    if (!matches) {
        out_.note("services: unexpected message " + hexTag(tree.tag()) + " dropped");
        return;
    }
    std::unique_ptr<Pending> done = std::move(inFlight_);
    nextEchoAt_ = now + config_.echoIntervalMs;
    if (done->done) done->done(&tree, now);
    pumpServices(now);
}

void Terminal::maybeEcho(uint64_t now) {
    if (!connected_ || config_.echoIntervalMs == 0 || inFlight_ || !servicesQueue_.empty() || now < nextEchoAt_)
        return;
    auto p = std::make_unique<Pending>();
    p->bytes = encodeMessage(services::kEchoReq, {});
    p->answerTag = answerTag(services::kEchoReq);
    p->timeoutMs = config_.echoTimeoutMs;
    p->what = "echo";
    p->done = [this](const Tree *answer, uint64_t when) {
        if (answer) {
            echoMisses_ = 0;
            out_.event("ECHO-ANSWERED");
            return;
        }
        ++echoMisses_;
        out_.note("services: echo not answered (" + std::to_string(echoMisses_) + " in a row)");
        if (config_.echoMissLimit != 0 && echoMisses_ >= config_.echoMissLimit) {
            disconnected();
            out_.fail("the host does not answer echo requests");
            return;
        }
        nextEchoAt_ = when + kEchoRetryMs;
    };
    sendServices(std::move(p), now);
}

void Terminal::tick(uint64_t now) {
    if (!connected_) return;
    if (inFlight_ && now >= inFlight_->deadline) {
        std::unique_ptr<Pending> expired = std::move(inFlight_);
        out_.note("services: no answer to " + expired->what);
        if (expired->done) expired->done(nullptr, now);
        if (!connected_) return;
        pumpServices(now);
    }
    advanceJob(now);
    maybeEcho(now);
}

std::optional<uint64_t> Terminal::nextDeadline() const {
    if (!connected_) return std::nullopt;
    std::optional<uint64_t> next;
    auto consider = [&next](uint64_t t) {
        if (!next || t < *next) next = t;
    };
    if (inFlight_) consider(inFlight_->deadline);
    if (job_ && job_->stage == Job::Stage::Delay) consider(job_->readyAt);
    if (config_.echoIntervalMs != 0 && !inFlight_ && servicesQueue_.empty()) consider(nextEchoAt_);
    return next;
}

}  // namespace simterm
