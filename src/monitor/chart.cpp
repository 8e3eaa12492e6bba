// The chart panel: opening it, its Y scale and XYscale.txt, Plot and Exit.
#include "app/app.h"
#include "formats/chart_limits.h"
#include "formats/log_reader.h"
#include "io/end_request.h"
#include "io/file_io.h"
#include "monitor/monitor.h"
#include "rt/files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace monitor {

std::string FormatScale(const ChartScale& s)
{
    return FormatScale(s, rt::TextLineEnd());
}

namespace {

constexpr int kYAxis = 1;
constexpr int kManualScaling = 0;

void ApplyScale(App& app, const ChartScale& s)
{
    app.rt.SetAxisScalingMode(app.panels.chart, CHART_STRIPCHART, kYAxis, kManualScaling, s.yMin, s.yMax);
    app.rt.SetCtrlAttribute(app.panels.chart, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, s.xPoints);
}

void ShowScaleControls(App& app, const ChartScale& s)
{
    app.rt.SetCtrlVal(app.panels.yscale, YSCALE_YMAX, s.yMax);
    app.rt.SetCtrlVal(app.panels.yscale, YSCALE_YMIN, s.yMin);
    app.rt.SetCtrlVal(app.panels.yscale, YSCALE_XPOINTS, static_cast<int>(s.xPoints));
}

std::string Num(double v)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// The saved scale replaces the one in memory only when the chart can show it;
// with neither usable (a first run without the file) a default takes over, so
// the chart never gets an empty or upside-down range. A file that is there
// but cannot be used is said once per opening, with what the chart shows
// instead; a missing file is the normal first run and says nothing.
void LoadScale(App& app)
{
    ChartScale read = app.scale;
    std::string text, error;
    const bool present = rt::FileExists(kScaleFile);
    const bool readable = rt::ReadWholeFile(kScaleFile, &text, &error);
    if (readable)
        ParseScale(text, &read);
    if (readable && ScaleIsUsable(read)) {
        app.scale = read;
        return;
    }
    if (!ScaleIsUsable(app.scale))
        app.scale = DefaultScale(app.params.rangeLow, app.params.rangeHigh);
    if (!present)
        return;
    const std::string why =
        !readable ? "it cannot be read (" + error + ")"
                  : "the chart cannot show Y from " + Num(read.yMin) + " to " + Num(read.yMax) + " over " +
                        std::to_string(read.xPoints) + " points.\nThe bottom must lie below the top, both within " +
                        Num(rt::kStripChartMaxMagnitude) + ", and the span must be 1 to " +
                        std::to_string(rt::kStripChartMaxPoints) + " points";
    app.rt.MessagePopup("Chart Scale", std::string(kScaleFile) + " is not used: " + why + ".\nThe chart shows Y from " +
                                           Num(app.scale.yMin) + " to " + Num(app.scale.yMax) + " over " +
                                           std::to_string(app.scale.xPoints) +
                                           " points; Apply on the Y-scale panel saves them.");
}

// The PV-read switch comes back but stays off: main-panel polling resumes
// only when the operator turns it on again.
void ReleasePvRead(App& app)
{
    app.plotting = 0;
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_PV_READ, rt::ATTR_DIMMED, 0);
    // Nothing reads PV now: its last reading stays, greyed.
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_PV, rt::ATTR_DIMMED, 1);
}

// The Log switch comes back (still off or on as it was, its dimming untouched).
void ShowLogSwitch(App& app)
{
    app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_LOG_SW, rt::ATTR_VISIBLE, 1);
    app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_PLOT_NOTE, rt::ATTR_VISIBLE, 0);
}

} // namespace

// The controller's unit (0 Celsius, 1 Fahrenheit) names the Y axis, so a
// chart read off a screenshot or a printout says what its numbers are.
void ShowUnit(App& app)
{
    const char* label = app.params.cfUnit == 1 ? "Temperature (\u00B0F)" : "Temperature (\u00B0C)";
    app.rt.SetAxisLabel(app.panels.chart, CHART_STRIPCHART, kYAxis, label);
}

} // namespace monitor

TEC_CALLBACK(OpenChartPanel)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int chart = app.panels.chart;
    // Already open, perhaps plotting and logging: it is only brought forward.
    if (app.rt.IsPanelVisible(chart)) {
        app.rt.DisplayPanel(chart);
        return 0;
    }
    app.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_ENABLED, 0);
    monitor::LoadScale(app);
    app.rt.DisplayPanel(chart);
    monitor::ShowScaleControls(app, app.scale);
    monitor::ApplyScale(app, app.scale);
    monitor::ShowUnit(app);
    return 0;
}

TEC_CALLBACK(ChgYScale)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    int mode = 0;
    double yMin = app.scale.yMin;
    double yMax = app.scale.yMax;
    int points = app.scale.xPoints;
    app.rt.GetAxisScalingMode(app.panels.chart, CHART_STRIPCHART, monitor::kYAxis, &mode, &yMin, &yMax);
    app.rt.GetCtrlAttribute(app.panels.chart, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &points);
    app.scale.yMin = yMin;
    app.scale.yMax = yMax;
    app.scale.xPoints = points;
    app.rt.DisplayPanel(app.panels.yscale);
    monitor::ShowScaleControls(app, app.scale);
    return 0;
}

TEC_CALLBACK(CloseYscale)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    ChartScale s;
    int points = 0;
    app.rt.GetCtrlVal(app.panels.yscale, YSCALE_YMAX, &s.yMax);
    app.rt.GetCtrlVal(app.panels.yscale, YSCALE_YMIN, &s.yMin);
    app.rt.GetCtrlVal(app.panels.yscale, YSCALE_XPOINTS, &points);
    s.xPoints = points;
    if (!monitor::ScaleIsUsable(s)) {
        app.rt.MessagePopup("Chart Scale", "The bottom of the Y axis must be below its top,\n"
                                           "and the X span must be 1 to " +
                                               std::to_string(rt::kStripChartMaxPoints) + " points.");
        return 0;
    }
    app.scale = s;
    monitor::ApplyScale(app, s);
    app.rt.HidePanel(app.panels.yscale);
    std::string error;
    if (!rt::WriteFileAtomically(monitor::kScaleFile, monitor::FormatScale(s), &error))
        app.rt.MessagePopup("Chart Scale", std::string("The scale is in use but could not be saved to ") +
                                               monitor::kScaleFile + ":\n" + error);
    return 0;
}

TEC_CALLBACK(ClearChart)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    app.rt.ClearStripChart(app.panels.chart, CHART_STRIPCHART);
    return 0;
}

TEC_CALLBACK(Plot)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(monitor::kPlotHelpTitle, monitor::kPlotHelpText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    int on = 0;
    app.rt.GetCtrlVal(app.panels.chart, CHART_PLOT, &on);
    const int parm = app.panels.parm;
    const int chart = app.panels.chart;
    if (on) {
        app.plotting = 1;
        // At most one of the two PV polls runs.
        app.rt.SetCtrlVal(parm, PARM_PV_READ, 0);
        app.rt.SetCtrlAttribute(parm, PARM_PV_READ, rt::ATTR_DIMMED, 1);
        app.rt.SetCtrlAttribute(parm, PARM_PV_TIMER, rt::ATTR_ENABLED, 0);
        // The main panel's PV follows the chart's poll (GetData), so it stays lit.
        app.rt.SetCtrlAttribute(parm, PARM_PV, rt::ATTR_DIMMED, 0);
        app.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_ENABLED, 1);
        app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_LOG_SW, rt::ATTR_VISIBLE, 0);
        app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_PLOT_NOTE, rt::ATTR_VISIBLE, 1);
        if (app.log.logging == 1)
            app.rt.SetCtrlVal(chart, CHART_LOG_LED, 1);
        monitor::ShowUnit(app);
    } else {
        monitor::ReleasePvRead(app);
        app.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_ENABLED, 0);
        monitor::ShowLogSwitch(app);
        if (app.log.logging == 1)
            app.rt.SetCtrlVal(chart, CHART_LOG_LED, 0);
    }
    monitor::ResetPollMisses(app);
    return 0;
}

TEC_CALLBACK(ChartExit)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(monitor::kChartExitHelpTitle, monitor::kChartExitHelpText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    if (app.plotting == 1) {
        monitor::ReleasePvRead(app);
        monitor::ShowLogSwitch(app);
    }
    app.rt.SetCtrlVal(app.panels.chart, CHART_PLOT, app.plotting);
    app.rt.SetCtrlAttribute(app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, 0);
    monitor::ResetPollMisses(app);
    monitor::EndLogging(app);
    app.rt.HidePanel(app.panels.chart);
    return 0;
}

namespace monitor {

const char* const kPlotHelpTitle = "<Plot> Help";
const char* const kPlotHelpText =
    "Chart plotting sync with the data log timer.\n\t\t\t\t\t\t  When Log switch(in the 'Log Setup') is ON and\n"
    "\t\t\t\t\t\t  the Plot button is ON, the data is logged; and the LED is on. \n"
    "\t\t\t\t\t\t  Data is not logged if Plot button is OFF.\n"
    "\t\t\t\t\t\t  If you need to change the plotting frequency, goto Log Setup\n"
    "\t\t\t\t\t\t  and use the Ringknub to set the timing.";
const char* const kChartExitHelpTitle = "<Chart Exit> Help";
const char* const kChartExitHelpText =
    "During data logging and plotting, if Exit is pressed,\n\t\t\t\tthe logging and plotting will be terminated.";
const char* const kLogSetupHelpTitle = "<Log Timer/File Setup> Help";
const char* const kLogSetupHelpText =
    "1. To change update rate on the strip chart.\n2. To change update rate to the log file.\n"
    "3. Setup filename for data logging.\n4. While plotting, data logging switch is disabled.\n";

const char* const kLiveHelpTitle = "<Live> Help";
const char* const kLiveHelpText =
    "The chart keeps the whole run (a week at one point a second).\n"
    "Drag it to scroll back, turn the wheel to zoom the time (with Ctrl the Y axis),\n"
    "Shift-drag a box to zoom into it, double-click to restore the Y scale.\n"
    "From the keyboard: Left/Right and Page Up/Down scroll, + and - zoom, Home shows the whole run.\n"
    "While you look back new points keep arriving; Live (or End) follows them again.";
const char* const kOpenLogHelpTitle = "<Open Log> Help";
const char* const kOpenLogHelpText =
    "Opens a data log (.dat) in a chart window of its own, with the same scrolling,\n"
    "zooming, readout and export as this chart. The file is only read, never changed,\n"
    "and may be the one being logged to now.\n"
    "Lines that cannot be read are skipped and counted.";
const char* const kOpenLogTitle = "Open Log";

// Larger files are refused before they are read: a week at one line a
// second is about 20 MB, so this is some three months of it, whose points
// (48 bytes each while they are handed to the chart) stay well within memory.
constexpr std::uint64_t kMaxLogBytes = std::uint64_t{256} << 20;

namespace {

// A controller's colours by its place in the log: PV in the colour, SV in a
// lighter shade of it, so each pair reads as one controller.
int ControllerPvColor(std::size_t place)
{
    static const int colors[] = {0x00c853, 0x2979ff, 0xd50000, 0x8e24aa, 0xef6c00, 0x0097a7, 0x6d4c41, 0xc51162};
    return colors[place % (sizeof colors / sizeof colors[0])];
}

int Lighter(int rgb)
{
    int out = 0;
    for (int shift : {16, 8, 0})
        out |= (((rgb >> shift) & 0xff) + 0xff) / 2 << shift;
    return out;
}

// Shows every controller of a several-controller log in a viewer of its own.
void ShowSeveralLog(App& app, const std::string& title, LogReadResult read)
{
    // Lines of a one-controller section count as the shown controller's:
    // `points` holds them with that controller's own.
    if (read.shownSeries >= 0)
        read.series[static_cast<std::size_t>(read.shownSeries)].points = std::move(read.points);
    read.points = {};
    // One row per time any controller has a reading; each controller's values
    // at that time, or a gap. Readings of the same time each take a row, in order.
    const std::size_t n = read.series.size();
    std::vector<double> times;
    std::vector<std::vector<double>> values(2 * n);
    std::vector<std::size_t> next(n, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (;;) {
        double t = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < n; ++k)
            if (next[k] < read.series[k].points.size())
                t = std::min(t, read.series[k].points[next[k]].t);
        if (std::isinf(t))
            break;
        times.push_back(t);
        for (std::size_t k = 0; k < n; ++k) {
            const auto& points = read.series[k].points;
            const bool here = next[k] < points.size() && points[next[k]].t == t;
            values[2 * k].push_back(here ? points[next[k]].sv : nan);
            values[2 * k + 1].push_back(here ? points[next[k]].pv : nan);
            next[k] += here ? 1 : 0;
        }
    }
    std::vector<std::string> names;
    std::vector<int> colors;
    for (std::size_t k = 0; k < n; ++k) {
        const LogSeries& s = read.series[k];
        const std::string tail = (s.label.empty() ? "" : s.label + " ") + "[" + std::to_string(s.address) + "]";
        names.push_back("SV " + tail);
        names.push_back("PV " + tail);
        colors.push_back(Lighter(ControllerPvColor(k)));
        colors.push_back(ControllerPvColor(k));
    }
    for (LogSeries& s : read.series)
        s.points = {};
    // Every controller is shown, so the status says how many rather than which.
    read.shownSeries = -1;
    const std::string status = DescribeLogRead(read) + "; " + std::to_string(n) + " controllers";
    app.rt.ShowChartWindow(app.panels.chart, CHART_STRIPCHART, title, status, std::move(times), std::move(values),
                           names, colors);
}

} // namespace

} // namespace monitor

TEC_CALLBACK(ChartLive)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(monitor::kLiveHelpTitle, monitor::kLiveHelpText);
        return 0;
    }
    if (event == rt::EVENT_COMMIT)
        app.rt.StripChartFollowLive(app.panels.chart, CHART_STRIPCHART);
    return 0;
}

TEC_CALLBACK(ChartRestoreY)
{
    if (event == rt::EVENT_COMMIT)
        app.rt.StripChartRestoreY(app.panels.chart, CHART_STRIPCHART);
    return 0;
}

TEC_CALLBACK(ChartExport)
{
    if (event == rt::EVENT_COMMIT)
        app.rt.ExportStripChart(app.panels.chart, CHART_STRIPCHART);
    return 0;
}

TEC_CALLBACK(OpenLogViewer)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(monitor::kOpenLogHelpTitle, monitor::kOpenLogHelpText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    rt::FileSelect ask;
    ask.defaultFileSpec = "*.dat";
    ask.fileTypeList = "*.dat; *.txt; *.csv";
    ask.title = "Select a data log to view";
    ask.buttonLabel = 3;
    std::string path;
    const int chosen = app.rt.FileSelectPopup(ask, &path);
    if (chosen == 0)
        return 0;
    if (chosen < 0 || path.empty()) {
        app.rt.MessagePopup(monitor::kOpenLogTitle, "The file dialog could not be shown.");
        return 0;
    }
    // Read in pieces, the size checked before the first: only the points are
    // held, and the window is repainted between pieces.
    std::string error;
    io::FileReader file;
    if (!file.open(path, monitor::kMaxLogBytes, &error)) {
        app.rt.MessagePopup(monitor::kOpenLogTitle, "The log " + path + " could not be read:\n" + error + ".");
        return 0;
    }
    monitor::DataLogReader reader;
    std::vector<char> piece(std::size_t{4} << 20);
    for (;;) {
        const long long n = file.read(piece.data(), piece.size(), &error);
        if (n < 0) {
            app.rt.MessagePopup(monitor::kOpenLogTitle, "The log " + path + " could not be read:\n" + error + ".");
            return 0;
        }
        if (n == 0)
            break;
        reader.feed(std::string_view(piece.data(), static_cast<std::size_t>(n)));
        app.rt.ProcessDrawEvents();
        if (io::EndRequested())
            return 0;
    }
    file.close();
    piece = {};
    monitor::LogReadResult read = reader.finish();
    const std::string why = monitor::WhyNoPoints(read);
    if (!why.empty()) {
        app.rt.MessagePopup(monitor::kOpenLogTitle, path + ":\n" + why);
        return 0;
    }
    const std::size_t slash = path.find_last_of("/\\");
    const std::string title = (slash == std::string::npos ? path : path.substr(slash + 1)) + " \u2014 Data log";
    if (read.series.size() > 1) {
        monitor::ShowSeveralLog(app, title, std::move(read));
        return 0;
    }
    std::vector<double> times(read.points.size());
    std::vector<std::vector<double>> values(2, std::vector<double>(read.points.size()));
    for (std::size_t i = 0; i < read.points.size(); ++i) {
        times[i] = read.points[i].t;
        values[0][i] = read.points[i].sv;
        values[1][i] = read.points[i].pv;
    }
    const std::string status = monitor::DescribeLogRead(read);
    read.points = {};
    app.rt.ShowChartWindow(app.panels.chart, CHART_STRIPCHART, title, status, std::move(times), std::move(values));
    return 0;
}
