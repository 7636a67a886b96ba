// The link supervisor driven by a scripted environment: each row gives the
// state, what the environment answers, the calls expected and the next state.
#include "link/supervisor.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {
using namespace ryn::link;

class ScriptedEnv final : public LinkEnv {
public:
    bool exit = false;
    std::deque<int> opens, waits, enters, runs;
    std::vector<std::string> calls;

    bool exitRequested() override { return exit; }
    void initConfig() override { calls.push_back("config"); }
    int openLine() override { return take(opens, "open"); }
    int sendLine(const char *b, int n) override {
        calls.push_back("send " + std::string(b, static_cast<size_t>(n)));
        return 1;
    }
    int waitLine(const char *p, int s) override {
        calls.push_back("wait " + std::string(p) + " " + std::to_string(s));
        return pop(waits);
    }
    void closeLine() override { calls.push_back("close"); }
    void netEnter() override { calls.push_back("netEnter"); }
    void netCloseAll() override { calls.push_back("netCloseAll"); }
    void clearCloseCom() override { calls.push_back("clearCloseCom"); }
    void resetPppUnit() override { calls.push_back("unit=1"); }
    int pppEnter() override { return take(enters, "pppEnter"); }
    int pppRun(int report) override {
        calls.push_back("pppRun " + std::to_string(report));
        return pop(runs);
    }
    void pppClose() override { calls.push_back("pppClose"); }
    void setConnected(bool c) override { calls.push_back(c ? "connected" : "disconnected"); }
    void reportAddresses() override { calls.push_back("report"); }
    void sleepMs(int ms) override { calls.push_back("sleep " + std::to_string(ms)); }

private:
    static int pop(std::deque<int> &q) {
        int v = q.front();
        q.pop_front();
        return v;
    }
    int take(std::deque<int> &q, const char *name) {
        calls.push_back(name);
        return pop(q);
    }
};

using Calls = std::vector<std::string>;

struct Row {
    const char *name;
    MainState from;  // reached through the happy path before the row runs
    std::deque<int> opens, waits, enters, runs;
    bool exit;
    Calls calls;
    MainState to;
};

// Drives a supervisor to `target` along the happy path.
void reach(Supervisor &s, ScriptedEnv &env, MainState target) {
    env.opens = {1};
    env.waits = {1};
    env.enters = {0};
    while (s.state() != target) s.step();
    env.calls.clear();
}

TEST(Supervisor, StateTable) {
    const Row rows[] = {
        {"open fails: stay", MAINFCT_BEGIN, {0}, {}, {}, {}, false, {"config", "open"}, MAINFCT_BEGIN},
        {"open succeeds", MAINFCT_BEGIN, {1}, {}, {}, {}, false,
         {"config", "open", "disconnected", "netEnter", "clearCloseCom", "unit=1"}, MAINFCT_INITMODEM},
        {"stopping: no open", MAINFCT_BEGIN, {}, {}, {}, {}, true, {"disconnected"}, MAINFCT_BEGIN},
        {"handshake starts", MAINFCT_INITMODEM, {}, {}, {}, {}, false, {"send CLIENT"}, MAINFCT_DETECT},
        {"answer found", MAINFCT_DETECT, {}, {1}, {}, {}, false, {"wait CLIENTSERVER 1"}, MAINFCT_WAIT},
        {"silence: resend", MAINFCT_DETECT, {}, {0}, {}, {}, false, {"wait CLIENTSERVER 1", "send CLIENT"},
         MAINFCT_DETECT},
        {"line lost while detecting", MAINFCT_DETECT, {}, {-1}, {}, {}, false, {"wait CLIENTSERVER 1"},
         MAINFCT_BEGIN},
        {"PPP starts", MAINFCT_WAIT, {}, {}, {0}, {}, false, {"sleep 100", "pppEnter"}, MAINFCT_PPP},
        {"PPP cannot start", MAINFCT_WAIT, {}, {}, {-1}, {}, false, {"sleep 100", "pppEnter"}, MAINFCT_DISCONNECT},
        {"PPP running", MAINFCT_PPP, {}, {}, {}, {0}, false, {"pppRun 1"}, MAINFCT_PPP},
        {"IP up", MAINFCT_PPP, {}, {}, {}, {1}, false, {"pppRun 1", "connected", "report"}, MAINFCT_PPP},
        {"link over", MAINFCT_PPP, {}, {}, {}, {-1}, false,
         {"pppRun 1", "netCloseAll", "pppClose", "disconnected"}, MAINFCT_DISCONNECT},
        {"disconnect", MAINFCT_DISCONNECT, {}, {}, {}, {}, false, {}, MAINFCT_DISCONNECTING},
        {"disconnecting", MAINFCT_DISCONNECTING, {}, {}, {}, {}, false, {"close"}, MAINFCT_BEGIN},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ScriptedEnv env;
        Supervisor s(env);
        if (r.from == MAINFCT_DISCONNECT || r.from == MAINFCT_DISCONNECTING) {
            reach(s, env, MAINFCT_WAIT);
            env.enters = {-1};
            s.step();
            if (r.from == MAINFCT_DISCONNECTING) s.step();
            env.calls.clear();
        } else {
            reach(s, env, r.from);
        }
        ASSERT_EQ(s.state(), r.from);
        env.opens = r.opens;
        env.waits = r.waits;
        env.enters = r.enters;
        env.runs = r.runs;
        env.exit = r.exit;
        s.step();
        EXPECT_EQ(env.calls, r.calls);
        EXPECT_EQ(s.state(), r.to);
    }
}

TEST(Supervisor, WaitWithoutAnAnswerDoesNotStartPpp) {
    ScriptedEnv env;
    Supervisor s(env);
    reach(s, env, MAINFCT_WAIT);
    env.enters = {0};
    s.step();
    ASSERT_EQ(s.state(), MAINFCT_PPP);
    EXPECT_FALSE(s.pppStartPending());
}

TEST(Supervisor, ShutdownDrainServicesPppButNeverTheHandshake) {
    struct Case {
        const char *name;
        MainState at;
        std::deque<int> runs;
        Calls calls;
        MainState to;
    } cases[] = {
        {"detecting: nothing", MAINFCT_DETECT, {}, {}, MAINFCT_DETECT},
        {"waiting: PPP is not started", MAINFCT_WAIT, {}, {}, MAINFCT_WAIT},
        {"opening: nothing", MAINFCT_INITMODEM, {}, {}, MAINFCT_INITMODEM},
        {"PPP keeps running", MAINFCT_PPP, {0}, {"pppRun 1"}, MAINFCT_PPP},
        {"PPP ends", MAINFCT_PPP, {-1}, {"pppRun 1", "netCloseAll", "pppClose", "disconnected"}, MAINFCT_DISCONNECT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedEnv env;
        Supervisor s(env);
        reach(s, env, c.at);
        env.exit = true;
        env.runs = c.runs;
        s.drainStep();
        EXPECT_EQ(env.calls, c.calls);
        EXPECT_EQ(s.state(), c.to);
    }
}

}  // namespace
