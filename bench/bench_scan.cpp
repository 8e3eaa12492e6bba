// tecctl scan of addresses 1-247 against tecsim with wire-time emulation at
// 19200 baud and two controllers on the line: process start to exit, median
// of three. Target: at most 15 s. The floor is what the scan's own waits
// cost: every address's window and settling, the two answers' wire time.
#include "support/bench_support.h"
#include "tecctl/scan.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBaud = 19200;
constexpr double kTarget = 15.0;

// Runs tecctl to its end; seconds from fork to exit, and what it printed.
double RunTecctl(const std::vector<std::string>& args, std::string* out)
{
    const std::string exe = bench::BinDir() + "/tecctl";
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return -1;
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    char buf[512];
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
        out->append(buf, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? t : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication qtApp(argc, argv);
    bench::SimProcess sim;
    std::string error;
    if (!sim.start({"--wire-time", "--baud", std::to_string(kBaud), "--addresses", "17,200"}, &error)) {
        std::fprintf(stderr, "bench_scan: %s\n", error.c_str());
        return 1;
    }
    const std::string expected = "address 17: model 0xF1 (VEXAMAX), identity 0x23\n"
                                 "address 200: model 0xF1 (VEXAMAX), identity 0x23\n";
    std::vector<double> runs;
    for (int i = 0; i < 3; ++i) {
        std::string out;
        const double t = RunTecctl({"--port", sim.device(), "--baud", std::to_string(kBaud), "scan"}, &out);
        if (t < 0 || out != expected) {
            std::fprintf(stderr, "bench_scan: the scan failed or found other than 17 and 200:\n%s", out.c_str());
            return 1;
        }
        runs.push_back(t);
    }
    std::sort(runs.begin(), runs.end());
    const double median = runs[1];
    const tecctl::ScanTiming timing = tecctl::ScanTimingFor(kBaud);
    const double floor = 247 * (timing.window + timing.quiet) + 2 * bench::WireTime(8, kBaud);
    std::printf("scan 1-247, two controllers, %d baud: %.2f s (floor of its waits %.2f s: %.1f ms window + "
                "%.1f ms settling per address; target at most %.0f s) %s\n",
                kBaud, median, floor, timing.window * 1000, timing.quiet * 1000, kTarget,
                median <= kTarget ? "ok" : "OVER");
    return median <= kTarget ? 0 : 1;
}
