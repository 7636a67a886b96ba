// Link bring-up time: from start_rynsock (what startRynService runs for a
// serial terminal) until is_ppp_connected() is 1, against the silent serial
// terminal simulator with the line paced at 11,520 B/s, at pump periods of
// 10 ms and 1 ms. The supervisor's fixed 100 ms pause before PPP is the floor.
// Needs the simulator: RYN_SPMSIM or the path built in.
#include "link/rynsock.h"
#include "service/log.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
pid_t launch(const std::string &exe, const std::string &link, int &stdinFd) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        for (int fd = 3; fd < 256; ++fd) close(fd);
        execl(exe.c_str(), exe.c_str(), "--link", link.c_str(), "--silent", "--pace", "11520",
              static_cast<char *>(nullptr));
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

void BM_StartToConnected(benchmark::State &state) {
    const std::string exe = simulatorPath();
    if (exe.empty() || access(exe.c_str(), X_OK) != 0) {
        state.SkipWithError("the serial terminal simulator is not built");
        return;
    }
    const int pumpMs = static_cast<int>(state.range(0));
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
        pid_t pid = launch(exe, link, simIn);
        setExchangeWaitTime1us(pumpMs * 1000);
        state.ResumeTiming();
        start_rynsock();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (is_ppp_connected() != 1 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.PauseTiming();
        if (is_ppp_connected() != 1) state.SkipWithError("the link did not come up");
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
BENCHMARK(BM_StartToConnected)->ArgName("pump_ms")->Arg(10)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
