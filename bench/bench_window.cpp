// The window's input latency while it plots 8 controllers on one line: the
// real window (panels, callbacks, the chart's timer, the poller's rounds and
// the overview's rows) on the real clock, the controllers on the several-
// station line double answering after the wire time at 19200 baud. Key
// presses are posted to the main panel's set-value field every 20 to 60 ms
// and timed from posting to their delivery.
//
//   bench_window [--seconds S]
#include "support/bench_support.h"
#include "support/bus_double.h"
#include "app/app.h"
#include "app/shell.h"
#include "protocol/registers.h"
#include "rt/runtime.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kBaud = 19200;
constexpr int kPort = 3;
constexpr int kControllers = 8;
constexpr double kLimitMs = 50.0;

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct LatencyProbe : QObject {
    std::vector<double> latencies;
    std::vector<qint64> posted;
    QElapsedTimer clock;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::KeyPress && !posted.empty()) {
            latencies.push_back(static_cast<double>(clock.nsecsElapsed() - posted.front()) / 1e6);
            posted.erase(posted.begin());
        }
        return false;
    }
};

void RunFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication qapp(argc, argv);
    double seconds = 30.0;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[++i]);
    // The window writes its serial settings and chart scale where it runs.
    QTemporaryDir work;
    QDir::setCurrent(work.path());

    io::RealClock clock;
    rt::ScriptedOperator op;
    rt::Runtime runtime(clock, op);
    App app(runtime);
    runtime.setPanelSearchPath({TEC_UI_DIR});
    shell::BindCallbacks(app);
    if (!shell::LoadPanels(app)) {
        std::printf("window input latency: the panels could not be loaded FAIL\n");
        return 1;
    }
    BusDouble wire(clock);
    wire.answerDelay = bench::WireTime(16, kBaud);
    for (int a = 1; a <= kControllers; ++a) {
        BusDouble::Station& st = wire.stations[static_cast<std::uint8_t>(a)];
        st.regs[tecreg::kIdentity] = 0xF101;
        st.regs[tecreg::kWorkingSv] = 250;
        st.regs[tecreg::kPv] = static_cast<std::uint16_t>(240 + a);
    }
    runtime.ports().bind(kPort, "COM3  eight controllers (line double)", wire.factory());
    app.bus.baudRate = kBaud;

    // As the operator does: connect to address 1, add the other seven in the
    // overview (left open), open the chart and plot.
    const int parm = app.panels.parm;
    const int ov = app.panels.overview;
    const int chart = app.panels.chart;
    runtime.DisplayPanel(parm);
    runtime.SetCtrlVal(parm, PARM_COMPORT, kPort);
    runtime.SetCtrlVal(parm, PARM_CTRL_ID, 1);
    runtime.FireEvent(parm, PARM_COMPORT, rt::EVENT_COMMIT);
    if (app.bus.openStatus < 0) {
        std::printf("window input latency: no connection to address 1 FAIL\n");
        return 1;
    }
    runtime.Commit(parm, PARM_OPEN_OVERVIEW);
    for (int a = 2; a <= kControllers; ++a) {
        runtime.SetCtrlVal(ov, OVERVIEW_PORT, kPort);
        runtime.SetCtrlVal(ov, OVERVIEW_ADDRESS, a);
        runtime.Commit(ov, OVERVIEW_ADD);
    }
    runtime.Commit(parm, PARM_OPEN_CHART);
    runtime.Commit(chart, CHART_PLOT, 1);
    std::uint64_t rounds = 0;
    app.poller.subscribe([&](const core::Round& r) { rounds += r.pvOnly ? 0 : 1; });
    // Until every controller's scale is known and each has been read.
    QElapsedTimer warm;
    warm.start();
    auto allRead = [&] {
        for (const auto& c : app.controllers.entries)
            if (c->counters.answered == 0)
                return false;
        return app.controllers.size() == kControllers;
    };
    while (!allRead() && warm.elapsed() < 30000)
        RunFor(0.1);
    if (!allRead()) {
        std::printf("window input latency: not every controller was read within 30 s FAIL\n");
        return 1;
    }

    LatencyProbe probe;
    QWidget* target = runtime.controlWidget(parm, PARM_SV);
    probe.clock.start();
    target->installEventFilter(&probe);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> gap(20, 60);
    QTimer poster;
    poster.setSingleShot(true);
    QObject::connect(&poster, &QTimer::timeout, [&] {
        probe.posted.push_back(probe.clock.nsecsElapsed());
        QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier));
        poster.start(gap(rng));
    });
    std::vector<std::uint64_t> answeredBefore;
    for (const auto& c : app.controllers.entries)
        answeredBefore.push_back(c->counters.answered);
    const std::uint64_t roundsBefore = rounds;
    const std::size_t sentBefore = wire.sent.size();
    poster.start(gap(rng));
    RunFor(seconds);
    poster.stop();
    target->removeEventFilter(&probe);

    std::uint64_t fewest = ~std::uint64_t{0};
    for (int i = 0; i < app.controllers.size(); ++i)
        fewest = std::min(fewest, app.controllers.at(i)->counters.answered - answeredBefore[static_cast<std::size_t>(i)]);
    const double p99 = Percentile(probe.latencies, 0.99);
    const double median = Percentile(probe.latencies, 0.5);
    const double worst = probe.latencies.empty() ? 0 : *std::max_element(probe.latencies.begin(), probe.latencies.end());
    const bool ok = p99 <= kLimitMs && fewest > 0 && !probe.latencies.empty();
    std::printf("window input latency, %d controllers plotted through the real window (chart tick 1 s, overview "
                "open), %.0f s:\n",
                kControllers, seconds);
    std::printf("  %zu key presses, %llu rounds, %zu requests, fewest readings of one controller %llu\n",
                probe.latencies.size(), static_cast<unsigned long long>(rounds - roundsBefore),
                wire.sent.size() - sentBefore, static_cast<unsigned long long>(fewest));
    std::printf("  latency median %.2f ms, 99th percentile %.2f ms, worst %.2f ms (limit %.0f ms at the 99th) %s\n",
                median, p99, worst, kLimitMs, ok ? "PASS" : "FAIL");
    runtime.Commit(chart, CHART_PLOT, 0);
    return ok ? 0 : 1;
}
