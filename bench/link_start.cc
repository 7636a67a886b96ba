// Time from start_rynsock until the supervisor has started PPP (the host's
// first LCP request is on the line), against a silent serial terminal
// simulator. Needs the simulator: RYN_SPMSIM or the path built in.
#include "link/rynsock.h"
#include "link/supervisor.h"
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

void BM_StartToPpp(benchmark::State &state) {
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
        pid_t pid = launch(exe, link, simIn);
        state.ResumeTiming();
        start_rynsock();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ryn::link::linkState() != ryn::link::MAINFCT_PPP && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.PauseTiming();
        if (ryn::link::linkState() != ryn::link::MAINFCT_PPP) state.SkipWithError("PPP did not start");
        stop_rynsock();
        (void)!write(simIn, "quit\n", 5);
        close(simIn);
        int status;
        waitpid(pid, &status, 0);
        state.ResumeTiming();
    }
    unsetenv("RYN_HOME");
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_StartToPpp)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
