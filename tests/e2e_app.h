// The application side of the end-to-end tests that load the real library:
// print callbacks that record the receipt in order, and small waits on the
// service's status. Callbacks arrive on the library's service thread.
#pragma once

#include "RYNService.h"
#include "test_util.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ryn::test {

class ReceiptRecorder {
public:
    // Registers the print callbacks (before the service starts) and forgets
    // anything recorded so far.
    static void install() {
        RynCallbacks cb{};
        cb.printText = onText;
        cb.feedPaper = onFeed;
        cb.cutPaper = onCut;
        cb.startReceipt = onStart;
        cb.endReceipt = onEnd;
        registerCallback(cb);
        take();
    }
    static void uninstall() { registerCallback(RynCallbacks{}); }
    // What was printed since the last take: "start", "text <line>",
    // "feed <n>", "cut", "end".
    static std::vector<std::string> take() {
        std::lock_guard<std::mutex> l(mu());
        std::vector<std::string> out;
        out.swap(printed());
        return out;
    }
    static std::vector<std::string> peek() {
        std::lock_guard<std::mutex> l(mu());
        return printed();
    }

private:
    static std::mutex &mu() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &printed() {
        static std::vector<std::string> v;
        return v;
    }
    static void record(std::string what) {
        std::lock_guard<std::mutex> l(mu());
        printed().push_back(std::move(what));
    }
    static void onText(const char *text, unsigned char, unsigned char, int, int, int, int, unsigned char) {
        record(std::string("text ") + text);
    }
    static void onFeed(unsigned lines) { record("feed " + std::to_string(lines)); }
    static void onCut() { record("cut"); }
    static int onStart(unsigned char) {
        record("start");
        return 0;
    }
    static int onEnd() {
        record("end");
        return 0;
    }
};

inline bool eventually(const std::function<bool()> &condition, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The service runs and the terminal is connected.
inline bool connected() {
    char status = 0;
    return serverStatus(&status) == 1 && status == 1;
}

inline std::string rynLog() { return readFile("/tmp/RYNLog.txt"); }

}  // namespace ryn::test
