// Link start-up against the silent serial terminal simulator (needs it:
// RYN_SPMSIM or the path built in):
// - BM_StartToPpp: start_rynsock until the supervisor has started PPP (the
//   host's first LCP request is on the line), unpaced line;
// - BM_StartToConnected: start_rynsock (what startRynService runs for a
//   serial terminal) until is_ppp_connected() is 1, with the line paced at
//   11,520 B/s, at pump periods of 10 ms and 1 ms. The supervisor's fixed
//   100 ms pause before PPP is the floor.
#include "link/rynsock.h"
#include "link/supervisor.h"
#include "ryn_service.h"
#include "service/log.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {
std::string simulatorPath() {
    if (const char *env = getenv("RYN_SPMSIM"); env && *env) return env;
#ifdef RYN_SPMSIM_PATH
    return RYN_SPMSIM_PATH;
#else
    return "";
#endif
}

// Launches the simulator and returns once it printed READY.
pid_t launch(const std::string &exe, const std::string &link, bool paced, int &stdinFd) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        for (int fd = 3; fd < 256; ++fd) close(fd);
        if (paced)
            execl(exe.c_str(), exe.c_str(), "--link", link.c_str(), "--silent", "--pace", "11520",
                  static_cast<char *>(nullptr));
        else
            execl(exe.c_str(), exe.c_str(), "--link", link.c_str(), "--silent", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdinFd = in[1];
    std::string text;
    char buf[256];
    ssize_t n;
    while (text.find("READY") == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, n);
    close(out[0]);
    return pid;
}

// Times start_rynsock until `reached` holds, one fresh simulator per run.
void timeStart(benchmark::State &state, bool paced, int pumpMs, const std::function<bool()> &reached,
               const char *failure) {
    const std::string exe = simulatorPath();
    if (exe.empty() || access(exe.c_str(), X_OK) != 0) {
        state.SkipWithError("the serial terminal simulator is not built");
        return;
    }
    logDestroy();
    char dirTemplate[] = "/tmp/ryn-bench-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    std::string link = dir + "/spm";
    std::filesystem::create_directories(dir + "/.CalvorinKestova");
    std::ofstream(dir + "/.CalvorinKestova/KestovaLinux.txt") << "Name=" << link << ";Type=0";
    setenv("RYN_HOME", dir.c_str(), 1);
    for (auto _ : state) {
        state.PauseTiming();
        int simIn = -1;
        pid_t pid = launch(exe, link, paced, simIn);
        setExchangeWaitTime1us(pumpMs * 1000);
        state.ResumeTiming();
        start_rynsock();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!reached() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.PauseTiming();
        if (!reached()) state.SkipWithError(failure);
        stop_rynsock();
        (void)!write(simIn, "quit\n", 5);
        close(simIn);
        int status;
        waitpid(pid, &status, 0);
        state.ResumeTiming();
    }
    setExchangeWaitTime1us(10000);
    unsetenv("RYN_HOME");
    std::filesystem::remove_all(dir);
}

void BM_StartToPpp(benchmark::State &state) {
    timeStart(state, false, 10, [] { return ryn::link::linkState() == ryn::link::MAINFCT_PPP; },
              "PPP did not start");
}
BENCHMARK(BM_StartToPpp)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_StartToConnected(benchmark::State &state) {
    timeStart(state, true, static_cast<int>(state.range(0)), [] { return is_ppp_connected() == 1; },
              "the link did not come up");
}
BENCHMARK(BM_StartToConnected)->ArgName("pump_ms")->Arg(10)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
