// The server under load: tecsim with wire-time emulation at 19200 baud on a
// pseudo-terminal, the headless server over it polling every second. First
// with no client, then with 20 API clients asking 10 times a second each (a
// connection per request, with its connect time counted) and
// 20 page clients streaming the rounds. Prints the poll round over its
// protocol floor (target at most 1.03), the API's median and 99th percentile
// answer times (targets 5 ms and 20 ms) and the server's CPU time per second
// of each phase (target: at most 5 % of a core more with the clients).
#include "link/transact.h"
#include "support/bench_support.h"
#include "support/http_load.h"
#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBaud = 19200;
constexpr int kApiClients = 20;
constexpr int kStreamClients = 20;
constexpr double kPhaseSeconds = 30;

using Clock = std::chrono::steady_clock;

using testsupport::ConnectLoopback;
using bench::Percentile;

bool Exchange(int fd, const std::string& request) { return bench::HttpExchange(fd, request); }
double CpuSeconds(pid_t pid) { return bench::CpuSecondsOf("/proc/" + std::to_string(pid) + "/stat"); }

// Reads a stream and keeps each round's duration; ends when told.
void Stream(int port, std::atomic<bool>* stop, std::vector<double>* rounds, std::mutex* m, std::atomic<int>* events)
{
    bench::FollowEvents(ConnectLoopback(port), *stop, [&](const std::string& event) {
        const std::size_t at = event.find("\"roundSeconds\": ");
        if (at == std::string::npos)
            return;
        ++*events;
        if (rounds) {
            std::lock_guard<std::mutex> lock(*m);
            rounds->push_back(std::atof(event.c_str() + at + 16));
        }
    });
}

struct Phase {
    std::vector<double> rounds;      // seconds
    std::vector<double> latencies;   // seconds
    double cpuPerSecond = 0;
    int failures = 0;
    int events = 0;
};

Phase Run(int port, pid_t server, bool clients)
{
    Phase ph;
    std::mutex m;
    std::atomic<bool> stop{false};
    std::atomic<int> events{0};
    std::vector<std::thread> threads;
    // The rounds are read from one stream in both phases.
    threads.emplace_back(Stream, port, &stop, &ph.rounds, &m, &events);
    if (clients) {
        for (int k = 1; k < kStreamClients; ++k)
            threads.emplace_back(Stream, port, &stop, nullptr, &m, &events);
        for (int k = 0; k < kApiClients; ++k)
            threads.emplace_back([&, k] {
                // A script's way: one connection per request (as curl in a
                // loop), so the clients at any moment stay well under the limit.
                const std::string req = "GET /api/v1/controllers/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
                auto next = Clock::now() + std::chrono::milliseconds(5 * k);
                while (!stop) {
                    std::this_thread::sleep_until(next);
                    next += std::chrono::milliseconds(100);
                    const auto t0 = Clock::now();
                    const int fd = ConnectLoopback(port);
                    const bool ok = fd >= 0 && Exchange(fd, req);
                    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
                    if (fd >= 0)
                        ::close(fd);
                    std::lock_guard<std::mutex> lock(m);
                    if (ok)
                        ph.latencies.push_back(t);
                    else
                        ++ph.failures;
                }
            });
    }
    // Settle in, then measure the server's CPU over the phase.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    {
        std::lock_guard<std::mutex> lock(m);
        ph.rounds.clear();
        ph.latencies.clear();
        ph.failures = 0;
    }
    const double cpu0 = CpuSeconds(server);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kPhaseSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    ph.cpuPerSecond = (CpuSeconds(server) - cpu0) / wall;
    stop = true;
    for (std::thread& t : threads)
        t.join();
    ph.events = events;
    return ph;
}

} // namespace

int main()
{
    std::signal(SIGPIPE, SIG_IGN);
    bench::SimProcess sim;
    std::string error;
    if (!sim.start({"--wire-time", "--baud", std::to_string(kBaud)}, &error)) {
        std::fprintf(stderr, "bench_server: %s\n", error.c_str());
        return 1;
    }
    char dir[] = "/tmp/bench-server-XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    int out[2];
    if (::pipe(out) != 0)
        return 1;
    const pid_t server = ::fork();
    if (server == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::setenv("XDG_CONFIG_HOME", dir, 1);
        ::execl(FIXTURE_PATH, FIXTURE_PATH, sim.device().c_str(), "--interval", "1", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    const std::size_t colon = line.rfind(':', line.find(' ', 8));
    const int port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
    if (line.rfind("serving ", 0) != 0 || port <= 0) {
        std::fprintf(stderr, "bench_server: the server did not start (%s)\n", line.c_str());
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
        return 1;
    }

    const double floor = 2 * comlink::kPreambleDelay + bench::TransactionFloor(comlink::kSvPostWriteDelay, 8, kBaud) +
                         bench::TransactionFloor(comlink::kPostWriteDelay, 8, kBaud);
    std::printf("server: %d API clients at 10/s and %d streaming clients, %.0f s per phase\n", kApiClients,
                kStreamClients, kPhaseSeconds);
    const Phase idle = Run(port, server, false);
    const Phase busy = Run(port, server, true);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);

    const double r0 = Percentile(idle.rounds, 0.5), r1 = Percentile(busy.rounds, 0.5);
    bench::Report("poll round, no clients (median)", r0, floor);
    const double ratio = bench::Report("poll round with clients (median)", r1, floor);
    std::printf("poll round with clients (slowest): %.2f ms\n", Percentile(busy.rounds, 1.0) * 1000);
    const double median = Percentile(busy.latencies, 0.5) * 1000, p99 = Percentile(busy.latencies, 0.99) * 1000;
    std::printf("API answers: %zu, failed %d; median %.2f ms (target 5), 99th percentile %.2f ms (target 20)\n",
                busy.latencies.size(), busy.failures, median, p99);
    std::printf("stream events received: %d\n", busy.events);
    const double extra = (busy.cpuPerSecond - idle.cpuPerSecond) * 100;
    std::printf("server CPU: %.2f %% of a core without clients, %.2f %% with them: +%.2f %% (target 5)\n",
                idle.cpuPerSecond * 100, busy.cpuPerSecond * 100, extra);
    const bool ok = ratio <= 1.03 && median <= 5 && p99 <= 20 && extra <= 5 && busy.failures == 0;
    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 1;
}
