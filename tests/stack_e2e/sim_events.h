// Event lines of the simulator read in order with a cursor, so a test can
// wait for one event without losing others that arrived first (a DROPPED
// line before the SINK report, say).
#pragma once

#include "sim/sim_harness.h"

#include <sstream>
#include <string>
#include <vector>

namespace stacke2e {

class SimEvents {
public:
    explicit SimEvents(simtest::SimProcess &sim) : sim_(sim) {}

    // The next line (after the cursor) starting with prefix, waiting for it
    // when it has not arrived yet. Empty on timeout.
    std::string next(const std::string &prefix, simtest::milliseconds timeout = simtest::milliseconds(120000)) {
        if (std::string l = scan(prefix); !l.empty()) return l;
        std::string line;
        if (!sim_.waitEvent(prefix, &line, timeout)) return {};
        // waitEvent consumed everything up to the match: scan again so the
        // cursor passes exactly the matching line.
        std::string l = scan(prefix);
        return l.empty() ? line : l;
    }
    // Whether a line starting with prefix arrived after the cursor (no wait).
    bool seen(const std::string &prefix) const {
        auto lines = split(sim_.transcript());
        for (size_t i = cursor_; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::string transcript() const { return sim_.transcript(); }

private:
    static std::vector<std::string> split(const std::string &text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    std::string scan(const std::string &prefix) {
        auto lines = split(sim_.transcript());
        for (size_t i = cursor_; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) {
                cursor_ = i + 1;
                return lines[i];
            }
        }
        return {};
    }

    simtest::SimProcess &sim_;
    size_t cursor_ = 0;
};

}  // namespace stacke2e
