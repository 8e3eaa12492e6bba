// The window serving its controller under load: tecsim with wire-time
// emulation at 19200 baud on a pseudo-terminal, the window's poller asking a
// round every second on the window's event loop, the server on the same
// loop. First with no client, then with 20 API clients asking 10 times a
// second each (a connection per request) and 20 page clients streaming the
// rounds. Prints the window's poll round over its protocol floor (target at
// most 1.03), the API's median and 99th percentile answer times (targets 5
// ms and 20 ms) and the CPU time of the window's thread per second of each
// phase (the clients run on threads of this process and are not counted).
#include "app/serve.h"
#include "link/transact.h"
#include "support/bench_support.h"
#include "support/http_load.h"
#include "support/loopback.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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
constexpr double kPhaseSeconds = 20;

using Clock = std::chrono::steady_clock;
using bench::Percentile;

int Connect(int port) { return testsupport::ConnectLoopback(port); }
bool Exchange(int fd, const std::string& request) { return bench::HttpExchange(fd, request); }
// CPU seconds of the main thread (the window's event loop).
double MainThreadCpu() { return bench::CpuSecondsOf("/proc/self/task/" + std::to_string(::getpid()) + "/stat"); }

void Stream(int port, std::atomic<bool>* stop, std::atomic<int>* events)
{
    bench::FollowEvents(Connect(port), *stop, [events](const std::string&) { ++*events; });
}

struct Phase {
    std::vector<double> rounds;
    std::vector<double> latencies;
    double cpuPerSecond = 0;
    int failures = 0;
    int events = 0;
};

Phase Run(App& app, int port, bool clients)
{
    Phase ph;
    std::mutex m;
    std::atomic<bool> stop{false};
    std::atomic<int> events{0};
    std::atomic<bool> measuring{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    const int sub = app.poller.subscribe([&](const core::Round& r) {
        if (measuring && !r.entries.empty() && r.entries.front().sample.valid)
            ph.rounds.push_back(app.rt.clock().now() - r.time);
    });
    if (clients) {
        for (int k = 0; k < kStreamClients; ++k)
            threads.emplace_back([&] {
                Stream(port, &stop, &events);
                ++finished;
            });
        for (int k = 0; k < kApiClients; ++k)
            threads.emplace_back([&, k] {
                const std::string req = "GET /api/v1/controllers/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
                auto next = Clock::now() + std::chrono::milliseconds(5 * k);
                while (!stop) {
                    std::this_thread::sleep_until(next);
                    next += std::chrono::milliseconds(100);
                    const auto t0 = Clock::now();
                    const int fd = Connect(port);
                    const bool ok = fd >= 0 && Exchange(fd, req);
                    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
                    if (fd >= 0)
                        ::close(fd);
                    std::lock_guard<std::mutex> lock(m);
                    if (!measuring)
                        continue;
                    if (ok)
                        ph.latencies.push_back(t);
                    else
                        ++ph.failures;
                }
                ++finished;
            });
    }
    auto runFor = [](double seconds) {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    };
    runFor(2);  // settle in
    measuring = true;
    const double cpu0 = MainThreadCpu();
    const auto t0 = Clock::now();
    runFor(kPhaseSeconds);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    ph.cpuPerSecond = (MainThreadCpu() - cpu0) / wall;
    {
        std::lock_guard<std::mutex> lock(m);
        measuring = false;
    }
    stop = true;
    // The clients finish their last requests while the loop still answers.
    while (finished < static_cast<int>(threads.size()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    for (std::thread& t : threads)
        t.join();
    app.poller.unsubscribe(sub);
    ph.events = events;
    return ph;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::signal(SIGPIPE, SIG_IGN);
    QApplication qt(argc, argv);
    char dir[] = "/tmp/bench-window-server-XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    ::setenv("XDG_CONFIG_HOME", dir, 1);
    ::setenv("XDG_RUNTIME_DIR", dir, 1);

    bench::SimProcess sim;
    std::string error;
    if (!sim.start({"--wire-time", "--baud", std::to_string(kBaud)}, &error)) {
        std::fprintf(stderr, "bench_window_server: %s\n", error.c_str());
        return 1;
    }
    bench::BenchApp b(1, sim.device(), false);
    if (!b.openLink(kBaud)) {
        std::fprintf(stderr, "bench_window_server: cannot open %s\n", sim.device().c_str());
        return 1;
    }
    App& app = b.app;
    app.controller.address = 1;
    app.controller.port = 1;
    if (const std::string why = serve::Start(app, "127.0.0.1:0"); !why.empty()) {
        std::fprintf(stderr, "bench_window_server: %s\n", why.c_str());
        return 1;
    }
    const std::string url = serve::Url(app);
    const int port = std::atoi(url.c_str() + url.rfind(':') + 1);
    // The window's rounds, one a second, as the chart asks them.
    app.poller.setControllers({&app.controller});
    app.poller.setInterval(1.0);
    app.rt.WakeService(app.pollService);

    const double floor = 2 * comlink::kPreambleDelay + bench::TransactionFloor(comlink::kSvPostWriteDelay, 8, kBaud) +
                         bench::TransactionFloor(comlink::kPostWriteDelay, 8, kBaud);
    std::printf("window server: %d API clients at 10/s and %d streaming clients, %.0f s per phase\n", kApiClients,
                kStreamClients, kPhaseSeconds);
    const Phase idle = Run(app, port, false);
    const Phase busy = Run(app, port, true);
    serve::Stop(app);

    const double r0 = Percentile(idle.rounds, 0.5), r1 = Percentile(busy.rounds, 0.5);
    bench::Report("window poll round, no clients (median)", r0, floor);
    const double ratio = bench::Report("window poll round with clients (median)", r1, floor);
    std::printf("window poll round with clients (slowest): %.2f ms over %zu rounds\n",
                Percentile(busy.rounds, 1.0) * 1000, busy.rounds.size());
    const double median = Percentile(busy.latencies, 0.5) * 1000, p99 = Percentile(busy.latencies, 0.99) * 1000;
    std::printf("API answers: %zu, failed %d; median %.2f ms (target 5), 99th percentile %.2f ms (target 20)\n",
                busy.latencies.size(), busy.failures, median, p99);
    std::printf("stream events received: %d\n", busy.events);
    const double extra = (busy.cpuPerSecond - idle.cpuPerSecond) * 100;
    std::printf("window thread CPU: %.2f %% of a core without clients, %.2f %% with them: +%.2f %% (target 5)\n",
                idle.cpuPerSecond * 100, busy.cpuPerSecond * 100, extra);
    const bool ok = ratio <= 1.03 && median <= 5 && p99 <= 20 && extra <= 5 && busy.failures == 0;
    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 1;
}
