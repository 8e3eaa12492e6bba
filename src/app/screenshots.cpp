#include "app/screenshots.h"

#include "app/app.h"
#include "app/overview.h"
#include "app/shell.h"
#include "rt/files.h"
#include "rt/table.h"
#include "sim/controller.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace shell {

namespace {

// Lets the event loop run (timers tick, the plant moves) for a while, or
// until a signal asks the program to end. False when it was asked to end.
bool RunFor(rt::Runtime& rt, double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&rt, &loop] {
        if (rt.ending())
            loop.quit();
    });
    watch.start(20);
    if (!rt.ending())
        loop.exec();
    return !rt.ending();
}

bool Save(App& app, int panel, const QString& folder, const char* name)
{
    QWidget* w = app.rt.panelWidget(panel);
    if (!w)
        return false;
    w->raise();
    if (!RunFor(app.rt, 0.3))
        return false;
    const QString path = QDir(folder).filePath(name);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    std::string why = "the picture could not be made";
    if (!w->grab().save(&buffer, "PNG") || !rt::WriteFileAtomically(path.toStdString(), png.toStdString(), &why)) {
        std::fprintf(stderr, "tecontrol: cannot save %s: %s\n", path.toLocal8Bit().constData(), why.c_str());
        return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
}

struct DemoStep {
    double sv;
    int param1, param2, action, loops;
};

// Warm up, hold high, cycle three times, back to room temperature.
constexpr DemoStep kDemo[] = {
    {25.0, 5, 10, 54, 0},
    {60.0, 10, 30, 54, 0},
    {40.0, 5, 15, 44, 3},
    {25.0, 5, 10, 52, 0},
};

// Four stages of a lab on one line; the last one is switched off.
struct DemoController {
    int address;
    const char* name;
    double sv;
};
constexpr DemoController kLine[] = {
    {1, "sample stage", 40.0},
    {2, "chiller", 10.0},
    {3, "heater", 60.0},
    {4, "test fixture", 25.0},
};
constexpr int kLinePort = 2;

// The overview of four simulated controllers on one line behind kLinePort,
// and the chart plotting them all: the last one falls silent a third of the
// way through `seconds`, so its row goes offline and its traces stop.
bool OverviewShot(App& app, const QString& folder, double seconds, bool* ended)
{
    rt::Runtime& rt = app.rt;
    std::vector<std::uint8_t> addresses;
    for (const DemoController& d : kLine)
        addresses.push_back(static_cast<std::uint8_t>(d.address));
    sim::Config config;
    config.speed = 3.0;
    const auto line = sim::MakeControllers(rt.clock(), addresses, config);
    for (std::size_t i = 0; i < line.size(); ++i) {
        line[i]->setReg(0x0000, static_cast<std::uint16_t>(kLine[i].sv * 10));
        line[i]->setReg(0x0002, 4);
    }
    io::Clock* clock = &rt.clock();
    rt.ports().bind(kLinePort, "COM2  four simulated controllers",
                    [line, clock] { return sim::MakeSimDevice(line, *clock); });
    auto before = std::move(app.controllers.entries);
    app.controllers.entries.clear();
    for (auto& entry : before)
        overview::RetireRecord(app, std::move(entry));
    app.controllers.selected = -1;
    for (const DemoController& d : kLine)
        controllers::Add(app.controllers, kLinePort, d.address, d.name);
    overview::Select(app, app.controllers.find(kLinePort, kLine[0].address));
    // One chart for all four: its rounds read every controller on the line.
    rt.Commit(app.panels.parm, PARM_OPEN_CHART);
    rt.SetAxisScalingMode(app.panels.chart, CHART_STRIPCHART, 1, 0, 0.0, 80.0);
    rt.Commit(app.panels.chart, CHART_PLOT, 1);
    OpenOverview(app, app.panels.parm, PARM_OPEN_OVERVIEW, rt::EVENT_COMMIT, nullptr, 0, 0);
    rt::SetTableCurrentRow(rt, app.panels.overview, OVERVIEW_TABLE, 1);
    if (!RunFor(rt, seconds / 3)) {
        *ended = true;
        return false;
    }
    line.back()->faults().silent = true;
    if (!RunFor(rt, seconds * 2 / 3)) {
        *ended = true;
        return false;
    }
    overview::Refresh(app);
    bool ok = Save(app, app.panels.chart, folder, "chart-several.png");
    ok = Save(app, app.panels.overview, folder, "overview.png") && ok;
    rt.Commit(app.panels.chart, CHART_PLOT, 0);
    return ok;
}

} // namespace

int TakeScreenshots(App& app, const std::string& folder, double chartSeconds)
{
    rt::Runtime& rt = app.rt;
    const QString dir = QString::fromStdString(folder);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "tecontrol: cannot make %s\n", folder.c_str());
        return 1;
    }
    // A signal ends the run as Quit does, at the next wait, with the pictures
    // not yet taken left out (and said so).
    auto endedBySignal = [&app] {
        std::fprintf(stderr, "tecontrol: ended by a signal; not every picture was taken\n");
        Quit(app, app.panels.parm, PARM_QUIT, rt::EVENT_COMMIT, nullptr, 0, 0);
        return 1;
    };
    // The main panel with the process value read live.
    rt.Commit(app.panels.parm, PARM_PV_READ, 1);
    if (!RunFor(rt, 2.5))
        return endedBySignal();
    bool ok = Save(app, app.panels.parm, dir, "main-panel.png");
    rt.Commit(app.panels.parm, PARM_PV_READ, 0);

    // The chart of a run: the set value steps up a quarter into the plot and
    // the controller brings the process value after it.
    rt.Commit(app.panels.parm, PARM_OPEN_CHART);
    rt.Commit(app.panels.chart, CHART_PLOT, 1);
    if (!RunFor(rt, chartSeconds / 4))
        return endedBySignal();
    rt.SetCtrlVal(app.panels.parm, PARM_SV, 70.0);
    rt.Commit(app.panels.parm, PARM_SV_SEND);
    if (!RunFor(rt, chartSeconds * 3 / 4))
        return endedBySignal();
    ok = Save(app, app.panels.chart, dir, "chart.png") && ok;
    rt.Commit(app.panels.chart, CHART_PLOT, 0);
    rt.HidePanel(app.panels.chart);
    if (rt.ending())
        return endedBySignal();

    rt.Commit(app.panels.parm, PARM_OPEN_SCRIPT);
    int k = 1;
    for (const DemoStep& s : kDemo) {
        rt.SetCtrlVal(app.panels.script, SCRIPT_SV(k), s.sv);
        rt.SetCtrlVal(app.panels.script, SCRIPT_PARAM1(k), s.param1);
        rt.SetCtrlVal(app.panels.script, SCRIPT_PARAM2(k), s.param2);
        rt.SetCtrlVal(app.panels.script, SCRIPT_LOOPS(k), s.loops);
        rt.Commit(app.panels.script, SCRIPT_ACTION(k), s.action);
        ++k;
    }
    rt.SetCtrlVal(app.panels.script, SCRIPT_TOL_BAND, 0.5);
    rt.Commit(app.panels.script, SCRIPT_SAVE_CTRL);
    ok = Save(app, app.panels.script, dir, "step-program.png") && ok;
    if (rt.ending())
        return endedBySignal();
    rt.HidePanel(app.panels.script);

    bool ended = false;
    ok = OverviewShot(app, dir, 36.0, &ended) && ok;
    if (ended || rt.ending())
        return endedBySignal();

    Quit(app, app.panels.parm, PARM_QUIT, rt::EVENT_COMMIT, nullptr, 0, 0);
    return ok ? 0 : 1;
}

} // namespace shell
