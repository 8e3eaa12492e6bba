// Chart benchmarks: one chart tick against tecsim on a pseudo-terminal
// against its floor of fixed waits and wire time; a week of points held:
// adding a point and redrawing, zoom and scroll steps, its memory; eight
// controllers' traces over a week: their memory against one controller's and
// their redraw; opening a week-long log in the viewer; memory over a million
// ticks on the virtual clock.
#include "app/app.h"
#include "app/shell.h"
#include "formats/chart_axis.h"
#include "formats/log_reader.h"
#include "io/clock.h"
#include "monitor/monitor.h"
#include "rt/files.h"
#include "rt/log_viewer.h"
#include "rt/runtime.h"
#include "rt/widgets.h"
#include "sim/controller.h"
#include "support/bench_support.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

using bench::RssKiB;

constexpr int kPtyPort = 7;
constexpr int kSimPort = 1;

double Seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Processor time of this thread: what a step costs whatever else the machine runs.
double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A whole system on its own clock: run-time, panels and callbacks, no port yet.
struct System {
    explicit System(io::Clock& clock) : rt(clock, op), app(rt)
    {
        rt.setPanelSearchPath({TEC_UI_DIR});
        shell::BindCallbacks(app);
        if (!shell::LoadPanels(app)) {
            std::fprintf(stderr, "bench_chart: the panels could not be loaded from %s\n", TEC_UI_DIR);
            std::exit(1);
        }
        app.poller.subscribe([this](const core::Round&) { ++rounds; });
    }
    // Opens the port as a connection leaves it, without identification traffic.
    bool usePort(int port)
    {
        if (rt.OpenComConfig(port, "", 19200, 0, 8, 1, 512, 512) < 0)
            return false;
        rt.SetComTime(port, 1.0);
        app.bus.comPort = static_cast<std::uint16_t>(port);
        app.controller.address = 1;
        app.bus.portOpen = 1;
        app.bus.openStatus = 0;
        app.params.tempScale = 10.0f;
        return true;
    }
    void openChart() { rt.Commit(app.panels.parm, PARM_OPEN_CHART); }
    // One chart tick and the round it asks for, the event loop running
    // meanwhile; false when its poll read gave up.
    bool tick()
    {
        const std::uint64_t before = rounds;
        rt.Tick(app.panels.chart, CHART_TIMER);
        while (rounds == before)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return app.misses.poll == 0;
    }
    std::uint64_t rounds = 0;

    rt::ScriptedOperator op;
    rt::Runtime rt;
    App app;
};

// tecsim, started here and ended by its process id.
struct Tecsim {
    pid_t pid = -1;
    std::string path;

    bool start(const std::vector<std::string>& args)
    {
        const std::string exe = std::string(TEC_BIN_DIR) + "/sim/tecsim";
        if (access(exe.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "bench_chart: %s is not built\n", exe.c_str());
            return false;
        }
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line names the terminal: "tecsim: /dev/pts/N".
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        const std::string prefix = "tecsim: ";
        if (line.rfind(prefix, 0) != 0) {
            std::fprintf(stderr, "bench_chart: tecsim said \"%s\"\n", line.c_str());
            stop();
            return false;
        }
        path = line.substr(prefix.size());
        return true;
    }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }
    ~Tecsim() { stop(); }
};

bool BenchTickOnPty()
{
    const int baud = 19200;
    Tecsim sim;
    if (!sim.start({"--wire-time", "--baud", std::to_string(baud)}))
        return false;
    io::RealClock clock;
    System s(clock);
    s.rt.ports().bindDevice(kPtyPort, sim.path);
    if (!s.usePort(kPtyPort)) {
        std::fprintf(stderr, "bench_chart: cannot open %s\n", sim.path.c_str());
        return false;
    }
    s.openChart();
    // Request and answer of one poll, 10 bits a byte.
    const double wire = 16 * 10.0 / baud;
    const double floor = 0.05 + std::max(0.03, wire) + 0.05 + std::max(0.05, wire);
    for (int i = 0; i < 3; ++i)
        s.tick();
    std::vector<double> times;
    int failed = 0;
    for (int i = 0; i < 50; ++i) {
        const double t0 = Seconds();
        if (!s.tick())
            ++failed;
        times.push_back(Seconds() - t0);
    }
    const double median = Median(times);
    const double worst = *std::max_element(times.begin(), times.end());
    std::printf("chart tick on a pty (tecsim --wire-time --baud %d), 50 ticks:\n", baud);
    std::printf("  floor %.4f s (wire %.4f s), median %.4f s, worst %.4f s, ratio %.4f (limit 1.03) %s\n", floor, wire,
                median, worst, median / floor, median / floor <= 1.03 ? "PASS" : "FAIL");
    std::printf("  ticks without an answer: %d; last PV %.1f, SV %.1f\n", failed, s.app.live.pv, s.app.live.sv);
    return median / floor <= 1.03 && failed == 0;
}

// A week of points at one a second, as the chart holds it: adding a point and
// redrawing with the live span and with the whole week on screen, zoom and
// scroll steps, and the memory the week takes.
bool BenchWeek()
{
    io::VirtualClock clock;
    System s(clock);
    s.openChart();
    const int chart = s.app.panels.chart;
    auto* widget = qobject_cast<rt::StripChart*>(s.rt.controlWidget(chart, CHART_STRIPCHART));
    s.rt.ReplotNow(chart, CHART_STRIPCHART);
    constexpr int kHeld = rt::StripChart::kKeepPoints;
    float pair[2] = {25.0f, 24.0f};
    const long emptyRss = RssKiB();
    const double fillStart = Seconds();
    for (int i = 0; i < kHeld; ++i) {
        // A slowly cycling set value and a PV that follows it with sensor noise.
        pair[0] = 25.0f + 20.0f * static_cast<float>(std::sin(i / 3000.0));
        pair[1] = pair[0] - 0.5f + 0.1f * static_cast<float>((i * 7919LL) % 13) / 13.0f;
        s.rt.PlotStripChart(chart, CHART_STRIPCHART, pair, 2, 0, 0, rt::VAL_FLOAT);
        clock.advance(1.0);
    }
    const double fillTime = Seconds() - fillStart;
    const long weekRss = RssKiB();
    const int held = s.rt.StripChartPointCount(chart, CHART_STRIPCHART);
    const double grown = (weekRss - emptyRss) / 1024.0;
    bool ok = held >= kHeld && grown <= 100.0;
    std::printf("a week at 1 s: %d points per trace held (filled in %.1f s)\n", held, fillTime);
    std::printf("  memory above an empty chart %.1f MB (limit 100 MB) %s\n", grown, grown <= 100.0 ? "PASS" : "FAIL");

    for (int span : {300, kHeld}) {
        s.rt.SetCtrlAttribute(chart, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, span);
        s.rt.ReplotNow(chart, CHART_STRIPCHART);
        std::vector<double> times;
        for (int i = 0; i < 200; ++i) {
            pair[0] += 0.01f;
            const double t0 = Seconds();
            s.rt.PlotStripChart(chart, CHART_STRIPCHART, pair, 2, 0, 0, rt::VAL_FLOAT);
            s.rt.ReplotNow(chart, CHART_STRIPCHART);
            times.push_back(Seconds() - t0);
            clock.advance(1.0);
        }
        const double median = Median(times) * 1000.0;
        std::printf("  add a point and redraw, %s on screen (%d px wide): median %.3f ms, worst %.3f ms "
                    "(limit 5 ms) %s\n",
                    span == kHeld ? "the whole week" : "the live span of 300 points", widget->width(), median,
                    *std::max_element(times.begin(), times.end()) * 1000.0, median <= 5.0 ? "PASS" : "FAIL");
        ok = ok && median <= 5.0;
    }

    // Looking back over the week: zoom in step by step, then scroll back.
    widget->showAll();
    std::vector<double> zoom, scroll;
    const double centre = widget->xAxis->range().center();
    for (int i = 0; i < 40; ++i) {
        const double t0 = Seconds();
        widget->zoomTime(0.8, centre);
        s.rt.ReplotNow(chart, CHART_STRIPCHART);
        zoom.push_back(Seconds() - t0);
    }
    widget->showAll();
    widget->zoomTime(0.5, centre);
    for (int i = 0; i < 40; ++i) {
        const double t0 = Seconds();
        widget->scrollTime(-widget->xAxis->range().size() / 10);
        s.rt.ReplotNow(chart, CHART_STRIPCHART);
        scroll.push_back(Seconds() - t0);
    }
    for (auto [what, times] : {std::pair<const char*, std::vector<double>&>{"zoom", zoom}, {"scroll", scroll}}) {
        const double median = Median(times) * 1000.0;
        std::printf("  a %s step from the whole week down to seconds: median %.3f ms, worst %.3f ms (limit 16 ms) "
                    "%s\n",
                    what, median, *std::max_element(times.begin(), times.end()) * 1000.0,
                    median <= 16.0 ? "PASS" : "FAIL");
        ok = ok && median <= 16.0;
    }
    return ok;
}

// What a chart of `controllers` controllers (an SV and a PV trace each)
// holding a week at one point a second adds to the process: the chart as the
// panel file has it for one controller, else its traces named and the legend
// shown, one controller silent an hour a day. Run in a process of its own
// (--week-rss N) so that what one measurement frees cannot hide the next's
// growth; it prints "rss-kib K" and, for several, the redraw of the whole
// week: "redraw-ms MEDIAN P99".
int WeekRssChild(int controllers)
{
    io::VirtualClock clock;
    System s(clock);
    s.openChart();
    const int chart = s.app.panels.chart;
    const int traces = 2 * controllers;
    if (controllers > 1) {
        std::vector<std::string> names;
        std::vector<int> colors;
        for (int c = 1; c <= controllers; ++c) {
            const std::string tail = "Stage " + std::string(1, static_cast<char>('A' + c - 1)) + " [" +
                                     std::to_string(c) + "]";
            names.push_back("SV " + tail);
            names.push_back("PV " + tail);
            colors.push_back(0x80a0ff);
            colors.push_back(0x2050ff);
        }
        if (s.rt.SetStripChartTraces(chart, CHART_STRIPCHART, names, colors) != 0 ||
            s.rt.SetStripChartLegend(chart, CHART_STRIPCHART, true) != 0)
            return 1;
    }
    s.rt.ReplotNow(chart, CHART_STRIPCHART);
    constexpr int kHeld = rt::StripChart::kKeepPoints;
    std::vector<double> values(static_cast<std::size_t>(traces));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const long before = RssKiB();
    for (int i = 0; i < kHeld; ++i) {
        for (int c = 0; c < controllers; ++c) {
            const double sv = 25.0 + 5.0 * c + 20.0 * std::sin(i / 3000.0 + c);
            const bool silent = c == controllers - 1 && controllers > 1 && i % 86400 < 3600;
            values[2 * static_cast<std::size_t>(c)] = silent ? nan : sv;
            values[2 * static_cast<std::size_t>(c) + 1] =
                silent ? nan : sv - 0.5 + 0.1 * static_cast<double>((i * 7919LL + c) % 13) / 13.0;
        }
        s.rt.PlotStripChart(chart, CHART_STRIPCHART, values.data(), traces, 0, 0, rt::VAL_DOUBLE);
        clock.advance(1.0);
    }
    auto* widget = qobject_cast<rt::StripChart*>(s.rt.controlWidget(chart, CHART_STRIPCHART));
    widget->showAll();
    s.rt.ReplotNow(chart, CHART_STRIPCHART);
    const long after = RssKiB();
    if (s.rt.StripChartPointCount(chart, CHART_STRIPCHART) < kHeld)
        return 1;
    std::printf("rss-kib %ld\n", after - before);
    if (controllers > 1) {
        // The whole week on screen redrawn as it is (the cursor moved, the
        // window uncovered), then with every trace decimated afresh (the view
        // set again, as a point arriving in view or a resize does).
        for (bool afresh : {false, true}) {
            std::vector<double> times, cpu;
            for (int i = 0; i < 300; ++i) {
                const double t0 = Seconds(), c0 = CpuSeconds();
                if (afresh)
                    widget->showAll();
                s.rt.ReplotNow(chart, CHART_STRIPCHART);
                times.push_back(Seconds() - t0);
                cpu.push_back(CpuSeconds() - c0);
            }
            std::sort(times.begin(), times.end());
            std::printf("%s %.3f %.3f %d %.3f\n", afresh ? "decimate-ms" : "redraw-ms", Median(times) * 1000.0,
                        times[static_cast<std::size_t>(0.99 * static_cast<double>(times.size() - 1))] * 1000.0,
                        widget->width(), Median(cpu) * 1000.0);
        }
    }
    return 0;
}

// Runs WeekRssChild in a process of its own and reads what it printed.
struct Redraw {
    double median = 0, p99 = 0, cpu = 0;
};

bool WeekRss(int controllers, long* kib, Redraw* redraw, Redraw* afresh, int* width)
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return false;
    self[n] = 0;
    const std::string command = "'" + std::string(self) + "' --week-rss " + std::to_string(controllers);
    FILE* child = popen(command.c_str(), "r");
    if (!child)
        return false;
    char line[256];
    bool got = false;
    while (std::fgets(line, sizeof line, child)) {
        got = std::sscanf(line, "rss-kib %ld", kib) == 1 || got;
        std::sscanf(line, "redraw-ms %lf %lf %d %lf", &redraw->median, &redraw->p99, width, &redraw->cpu);
        std::sscanf(line, "decimate-ms %lf %lf %d %lf", &afresh->median, &afresh->p99, width, &afresh->cpu);
    }
    return pclose(child) == 0 && got;
}

// Eight controllers over a week: memory within eight times one controller's
// plus 20 MB, the whole week's 16 traces redrawn within 5 ms at the median.
bool BenchEightControllers()
{
    long one = 0, eight = 0;
    Redraw redraw, afresh, unused;
    int width = 0, unusedWidth = 0;
    if (!WeekRss(1, &one, &unused, &unused, &unusedWidth) || !WeekRss(8, &eight, &redraw, &afresh, &width)) {
        std::printf("eight controllers over a week: the measuring process failed FAIL\n");
        return false;
    }
    const double limit = 8.0 * one / 1024.0 + 20.0;
    const bool memoryOk = eight / 1024.0 <= limit;
    std::printf("a week at 1 s, memory above an empty chart (each in a process of its own):\n");
    std::printf("  one controller (2 traces) %.1f MB; eight controllers (16 traces) %.1f MB (limit 8 x %.1f + 20 = "
                "%.1f MB) %s\n",
                one / 1024.0, eight / 1024.0, one / 1024.0, limit, memoryOk ? "PASS" : "FAIL");
    std::printf("  redraw of the 16 traces over the whole week (%d px wide): median %.3f ms, p99 %.3f ms, processor "
                "time %.3f ms (limit 5 ms at the median) %s\n",
                width, redraw.median, redraw.p99, redraw.cpu, redraw.median <= 5.0 ? "PASS" : "FAIL");
    std::printf("  the same with every trace decimated afresh (a point arriving in view, a resize): median %.3f ms, "
                "p99 %.3f ms, processor time %.3f ms (limit 16 ms at the median) %s\n",
                afresh.median, afresh.p99, afresh.cpu, afresh.median <= 16.0 ? "PASS" : "FAIL");
    return memoryOk && redraw.median <= 5.0 && afresh.median <= 16.0;
}

// "Open log..." on a week-long log: read, parsed and shown in its window.
bool BenchOpenLog()
{
    io::VirtualClock clock;
    System s(clock);
    s.openChart();
    constexpr int kLines = 604800;
    std::vector<monitor::LogPoint> points(kLines);
    const double start = rt::CivilSeconds({2026, 12, 1, 0, 0, 0});
    for (int i = 0; i < kLines; ++i)
        points[static_cast<std::size_t>(i)] = {start + i, 25.0 + 20.0 * std::sin(i / 3000.0),
                                                24.5 + 20.0 * std::sin(i / 3000.0) + ((i * 7919LL) % 13) / 130.0};
    const std::string path = QDir::current().filePath("week.dat").toStdString();
    const std::string text = monitor::FormatDataLog(points, "\r\n");
    if (!rt::WriteFileAtomically(path, text))
        return false;
    std::vector<double> times;
    std::string status;
    for (int run = 0; run < 3; ++run) {
        s.op.queueFile(1, path);
        const double t0 = Seconds();
        s.rt.Commit(s.app.panels.chart, CHART_OPEN_LOG);
        rt::LogViewer* viewer = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* v = qobject_cast<rt::LogViewer*>(w); v && v->isVisible())
                viewer = v;
        if (!viewer)
            return false;
        viewer->chart()->replot(QCustomPlot::rpImmediateRefresh);
        times.push_back(Seconds() - t0);
        status = viewer->status().toStdString();
        viewer->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    const double median = Median(times);
    std::printf("open a week-long log (%d lines, %.1f MB) in the viewer: median %.3f s of 3 (limit 1 s) %s\n", kLines,
                text.size() / 1e6, median, median <= 1.0 ? "PASS" : "FAIL");
    std::printf("  the viewer says: %s\n", status.c_str());
    return median <= 1.0;
}

bool BenchMemory()
{
    io::VirtualClock clock;
    System s(clock);
    auto controller = std::make_shared<sim::Controller>(clock);
    io::Clock* c = &clock;
    s.rt.ports().bind(kSimPort, "COM1  simulated controller",
                      [controller, c] { return sim::MakeSimDevice(controller, *c); });
    if (!s.usePort(kSimPort))
        return false;
    s.openChart();
    // Log every tick too.
    s.op.queueFile(2, QDir::current().filePath("memory.dat").toStdString());
    s.rt.Commit(s.app.panels.logset, LOGSET_LOG_SW, 1);
    s.rt.Commit(s.app.panels.chart, CHART_PLOT, 1);
    const bool logging = s.app.log.logging == 1;

    constexpr long kTicks = 1000000;
    constexpr long kStep = 100000;
    const long start = RssKiB();
    std::vector<long> rss;
    long failed = 0;
    const double t0 = Seconds();
    for (long i = 1; i <= kTicks; ++i) {
        const double before = clock.now();
        if (!s.tick())
            ++failed;
        clock.sleepUntil(before + 1.0);  // one tick a second
        // The simulator records every request for tests; that record is no
        // part of the system measured here.
        if (i % 1000 == 0)
            controller->clearRequests();
        if (i % kStep == 0)
            rss.push_back(RssKiB());
    }
    const double elapsed = Seconds() - t0;
    std::printf("memory over %ld ticks on the virtual clock (in-process simulator, logging %s), %.1f s:\n", kTicks,
                logging ? "on" : "off", elapsed);
    std::printf("  RSS at start %ld KiB; every %ld ticks:", start, kStep);
    for (long r : rss)
        std::printf(" %ld", r);
    std::printf(" KiB\n");
    const long growth = rss.back() - start;
    // Flat once the chart holds its week of points (from tick 610,848): the
    // samples after that grow by no more than a few pages.
    const std::size_t full = (rt::StripChart::kKeepPoints + rt::StripChart::kDropChunk) / kStep;
    const long lateGrowth = rss.back() - rss[std::min(full, rss.size() - 1)];
    const bool ok = growth <= 64 * 1024 && lateGrowth <= 1024;
    std::printf("  growth %.1f MB (limit 64 MB), once the chart holds a week %.1f MB (limit 1 MB), ticks without an "
                "answer %ld %s\n",
                growth / 1024.0, lateGrowth / 1024.0, failed, ok ? "PASS" : "FAIL");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        quick = quick || std::strcmp(argv[i], "--quick") == 0;
        if (std::strcmp(argv[i], "--week-rss") == 0 && i + 1 < argc)
            return WeekRssChild(std::atoi(argv[i + 1]));
    }

    bool ok = true;
    ok = BenchTickOnPty() && ok;
    ok = BenchWeek() && ok;
    ok = BenchEightControllers() && ok;
    ok = BenchOpenLog() && ok;
    if (!quick)
        ok = BenchMemory() && ok;
    return ok ? 0 : 1;
}
