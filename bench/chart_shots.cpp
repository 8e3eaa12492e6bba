// Pictures of the chart and the log viewer for the README: a day of the
// simulated controller on the virtual clock (one tick a second, logged to a
// file), then the chart scrolled back and zoomed with the cursor on a step,
// the whole day, and the viewer on the recorded log. Run it on a display
// (xvfb-run); it writes chart-zoomed.png, chart-day.png and log-viewer.png
// into the folder it is given.
#include "app/app.h"
#include "app/shell.h"
#include "formats/chart_axis.h"
#include "io/clock.h"
#include "rt/log_viewer.h"
#include "rt/runtime.h"
#include "rt/widgets.h"
#include "sim/controller.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QMouseEvent>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>
#include <map>
#include <memory>

namespace {

void Settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

void PointAt(rt::StripChart* chart, double t)
{
    chart->replot(QCustomPlot::rpImmediateRefresh);
    const QPointF at(chart->xAxis->coordToPixel(t), chart->axisRect()->rect().center().y());
    QMouseEvent move(QEvent::MouseMove, at, chart->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(chart, &move);
    chart->replot(QCustomPlot::rpImmediateRefresh);
}

bool Save(QWidget* w, const QString& path)
{
    Settle();
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    const QString out = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".")).absolutePath();
    QTemporaryDir work;
    QDir::setCurrent(work.path());

    const QDateTime start(QDate(2026, 12, 7), QTime(8, 0, 0), Qt::LocalTime);
    io::VirtualClock clock(start.toMSecsSinceEpoch());
    rt::ScriptedOperator op;
    rt::Runtime rt(clock, op);
    App app(rt);
    rt.setPanelSearchPath({TEC_UI_DIR});
    shell::BindCallbacks(app);
    if (!shell::LoadPanels(app))
        return 1;
    auto controller = std::make_shared<sim::Controller>(clock);
    controller->setReg(0x0000, 250);
    controller->setReg(0x0002, 4);
    rt::Clock* c = &clock;
    rt.ports().bind(1, "COM1  simulated controller", [controller, c] { return sim::MakeSimDevice(controller, *c); });
    if (shell::StartUp(app, 1) < 0)
        return 1;

    const int chart = app.panels.chart;
    rt.Commit(app.panels.parm, PARM_OPEN_CHART);
    const std::string log = QDir(work.path()).filePath("day.dat").toStdString();
    op.queueFile(2, log);
    rt.Commit(app.panels.logset, LOGSET_LOG_SW, 1);
    rt.Commit(chart, CHART_PLOT, 1);

    // A day of set points, by the hour from 08:00.
    const std::map<int, int> setPoints = {{0, 250}, {1, 600}, {4, 450}, {7, 800}, {10, 100}, {14, 350}, {18, 250},
                                          {22, 500}};
    const double t0 = clock.now();
    for (int s = 0; s < 86400; ++s) {
        if (s % 3600 == 0)
            if (auto it = setPoints.find(s / 3600); it != setPoints.end())
                controller->setReg(0x0000, static_cast<std::uint16_t>(it->second));
        rt.Tick(chart, CHART_TIMER);
        clock.sleepUntil(t0 + s + 1);
        if (s % 1000 == 0)
            controller->clearRequests();
    }

    auto* strip = qobject_cast<rt::StripChart*>(rt.controlWidget(chart, CHART_STRIPCHART));
    QWidget* panel = rt.panelWidget(chart);
    panel->resize(1000, 620);  // as it opens on a 1024 x 768 screen
    rt.DisplayPanel(chart);
    Settle();
    // Scrolled back to the step to 80 degrees at 15:00 and zoomed to its hour.
    const double day = rt::CivilSeconds({2026, 12, 7, 0, 0, 0});
    strip->showTimeRange(day + 14.75 * 3600, day + 15.75 * 3600);
    PointAt(strip, day + 15 * 3600 + 7 * 60 + 30);
    bool ok = Save(panel, out + "/chart-zoomed.png");
    strip->showAll();
    PointAt(strip, day + 24 * 3600 + 2 * 3600);
    ok = Save(panel, out + "/chart-day.png") && ok;

    op.queueFile(1, log);
    rt.Commit(chart, CHART_OPEN_LOG);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* viewer = qobject_cast<rt::LogViewer*>(w); viewer && viewer->isVisible()) {
            viewer->resize(1000, 600);
            Settle();
            viewer->chart()->showTimeRange(day + 21 * 3600, day + 27 * 3600);
            PointAt(viewer->chart(), day + 22 * 3600 + 40 * 60);
            ok = Save(viewer, out + "/log-viewer.png") && ok;
            std::printf("viewer: %s\n", qPrintable(viewer->status()));
        }

    // Eight controllers on the chart: two hours, the third silent for twenty
    // minutes, the fifth's SV hidden from the legend, the cursor on the gap.
    rt.Commit(chart, CHART_PLOT, 0);
    rt.ClearStripChart(chart, CHART_STRIPCHART);
    std::vector<std::string> names;
    std::vector<int> colors;
    const int palette[] = {0x00c853, 0x2979ff, 0xd50000, 0x8e24aa, 0xef6c00, 0x0097a7, 0x6d4c41, 0xc51162};
    for (int k = 0; k < 8; ++k) {
        const std::string tail = "Stage " + std::string(1, static_cast<char>('A' + k)) + " [" + std::to_string(k + 1) + "]";
        names.push_back("SV " + tail);
        names.push_back("PV " + tail);
        int light = 0;
        for (int shift : {16, 8, 0})
            light |= (((palette[k] >> shift) & 0xff) + 0xff) / 2 << shift;
        colors.push_back(light);
        colors.push_back(palette[k]);
    }
    rt.SetStripChartTraces(chart, CHART_STRIPCHART, names, colors);
    rt.SetStripChartLegend(chart, CHART_STRIPCHART, true);
    rt.SetAxisScalingMode(chart, CHART_STRIPCHART, 1, 0, 0, 100);
    const double from = clock.now();
    std::vector<double> values(16);
    for (int s = 0; s < 7200; ++s) {
        for (int k = 0; k < 8; ++k) {
            const double sv = 15.0 + 10.0 * k + (s > 1800 + 300 * k ? 5.0 : 0.0);
            const double pv = sv - (s > 1800 + 300 * k ? 5.0 * std::exp(-(s - 1800 - 300 * k) / 240.0) : 0.0) +
                              0.2 * std::sin(s / 37.0 + k);
            const bool silent = k == 2 && s >= 3000 && s < 4200;
            values[2 * k] = silent ? std::nan("") : sv;
            values[2 * k + 1] = silent ? std::nan("") : pv;
        }
        rt.PlotStripChart(chart, CHART_STRIPCHART, values.data(), 16, 0, 0, rt::VAL_DOUBLE);
        clock.sleepUntil(from + s + 1);
    }
    rt.SetStripChartTraceVisible(chart, CHART_STRIPCHART, 8, false);
    strip->showAll();
    Settle();
    PointAt(strip, rt.CivilNow() - 7200 + 3500);
    ok = Save(panel, out + "/chart-eight.png") && ok;
    return ok ? 0 : 1;
}
