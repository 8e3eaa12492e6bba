#include "app/screenshots.h"

#include "app/app.h"
#include "app/shell.h"
#include "rt/files.h"

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

// Lets the event loop run (timers tick, the plant moves) for a while.
void RunFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

bool Save(App& app, int panel, const QString& folder, const char* name)
{
    QWidget* w = app.rt.panelWidget(panel);
    if (!w)
        return false;
    w->raise();
    RunFor(0.3);
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

} // namespace

int TakeScreenshots(App& app, const std::string& folder, double chartSeconds)
{
    rt::Runtime& rt = app.rt;
    const QString dir = QString::fromStdString(folder);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "tecontrol: cannot make %s\n", folder.c_str());
        return 1;
    }
    // The main panel with the process value read live.
    rt.Commit(app.panels.parm, PARM_PV_READ, 1);
    RunFor(2.5);
    bool ok = Save(app, app.panels.parm, dir, "main-panel.png");
    rt.Commit(app.panels.parm, PARM_PV_READ, 0);

    // The chart of a run: the set value steps up a quarter into the plot and
    // the controller brings the process value after it.
    rt.Commit(app.panels.parm, PARM_OPEN_CHART);
    rt.Commit(app.panels.chart, CHART_PLOT, 1);
    RunFor(chartSeconds / 4);
    rt.SetCtrlVal(app.panels.parm, PARM_SV, 70.0);
    rt.Commit(app.panels.parm, PARM_SV_SEND);
    RunFor(chartSeconds * 3 / 4);
    ok = Save(app, app.panels.chart, dir, "chart.png") && ok;
    rt.Commit(app.panels.chart, CHART_PLOT, 0);
    rt.HidePanel(app.panels.chart);

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

    Quit(app, app.panels.parm, PARM_QUIT, rt::EVENT_COMMIT, nullptr, 0, 0);
    return ok ? 0 : 1;
}

} // namespace shell
