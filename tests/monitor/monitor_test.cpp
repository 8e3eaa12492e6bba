// Polls, chart and data log on real panels (offscreen), a virtual clock and a
// scripted controller line on port 2.
#include "support/line_double.h"
#include "support/rig.h"

#include "monitor/monitor.h"
#include "rt/files.h"
#include "rt/widgets.h"

#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>
#include <csignal>
#include <ctime>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using Reply = LineDouble::Fault;

class Monitor : public ::testing::Test {
protected:
    TestRig rig;
    App& app = rig.app;
    rt::Runtime& rt = rig.rt;
    std::shared_ptr<LineDouble> line = std::make_shared<LineDouble>(rig.clock);

    void SetUp() override
    {
        line->serve = true;
        rt.ports().bind(2, "COM2  fake", line->factory());
        ASSERT_GE(rt.OpenComConfig(2, "", 19200, 0, 8, 1, 512, 512), 0);
        rt.SetComTime(2, 1.0);
        app.bus.comPort = 2;
        app.controller.address = 1;
        app.bus.portOpen = 1;
        app.bus.openStatus = 0;
        app.params.tempScale = 10.0f;
        line->regs[monitor::kPvRegister] = 248;
        line->regs[monitor::kSvRegister] = 250;
    }

    int parm() const { return app.panels.parm; }
    int chart() const { return app.panels.chart; }
    int logset() const { return app.panels.logset; }
    int yscale() const { return app.panels.yscale; }
    bool running(int panel, int timer) const
    {
        int v = 0;
        rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &v);
        return v != 0;
    }
    void openChart() { rt.Commit(parm(), PARM_OPEN_CHART); }
    void plot(int on) { rt.Commit(chart(), CHART_PLOT, on); }
    void tick() { rt.Tick(chart(), CHART_TIMER); }
    int points() const { return rt.StripChartPointCount(chart(), CHART_STRIPCHART); }
    // Turns the Log switch on with the file dialog answering `result` and `path`,
    // and the overwrite-or-append question (if any) answering `button`.
    void logOn(const std::string& path, int result = 2, int button = 0)
    {
        rig.op.queueFile(result, path);
        if (button)
            rig.op.queueButton(button);
        rt.Commit(logset(), LOGSET_LOG_SW, 1);
    }
    static std::string contents(const std::string& path)
    {
        std::string s;
        rt::ReadWholeFile(path, &s, nullptr, std::uint64_t{1} << 30);
        return s;
    }
    std::string expectedLine(float sv, float pv) const
    {
        int m = 0, d = 0, y = 0;
        rt.GetSystemDate(&m, &d, &y);
        return monitor::FormatLogLine(m, d, y, rt.TimeStr(), sv, pv) + rt::TextLineEnd();
    }
    static void writeFile(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    // The last value of trace k of the strip chart.
    double lastTraceValue(int k) const
    {
        auto* plot = qobject_cast<rt::StripChart*>(rt.controlWidget(chart(), CHART_STRIPCHART));
        if (!plot || k >= plot->traceCount() || plot->values(k).empty())
            return std::nan("");
        return plot->values(k).back();
    }
    QString yAxisLabel() const
    {
        auto* plot = qobject_cast<QCustomPlot*>(rt.controlWidget(chart(), CHART_STRIPCHART));
        return plot ? plot->yAxis->label() : QString();
    }
};

// ---- polls ----

TEST_F(Monitor, ChartTickReadsSvThenPvWithTheirDelays)
{
    openChart();
    const double t0 = rig.clock.now();
    tick();
    ASSERT_EQ(line->writes.size(), 2u);
    EXPECT_EQ(Hex(line->writes[0]), "01 03 10 01 00 01 D1 0A");
    EXPECT_EQ(Hex(line->writes[1]), "01 03 10 00 00 01 80 CA");
    // Preamble, SV with 0.03 s, preamble, PV with 0.05 s.
    EXPECT_NEAR(line->writeTimes[0] - t0, 0.05, 1e-9);
    EXPECT_NEAR(line->writeTimes[1] - t0, 0.05 + 0.03 + 0.05, 1e-9);
    EXPECT_NEAR(rig.clock.now() - t0, 0.18, 1e-9);
    EXPECT_EQ(app.bus.linkBusy, 0);
    // Trace 1 is SV, trace 2 PV.
    EXPECT_DOUBLE_EQ(lastTraceValue(0), 25.0);
    EXPECT_NEAR(lastTraceValue(1), 24.8, 1e-5);
}

TEST_F(Monitor, SignedRawValuesUnderBothScales)
{
    openChart();
    line->regs[monitor::kSvRegister] = 0xFFFF;
    line->regs[monitor::kPvRegister] = 0x8000;
    tick();
    EXPECT_FLOAT_EQ(app.live.sv, -0.1f);
    EXPECT_FLOAT_EQ(app.live.pv, -3276.8f);
    EXPECT_NEAR(rig.value(chart(), CHART_SV), -0.1, 1e-6);
    EXPECT_NEAR(rig.value(chart(), CHART_PV), -3276.8, 1e-3);

    app.params.tempScale = 1.0f;
    tick();
    EXPECT_FLOAT_EQ(app.live.sv, -1.0f);
    EXPECT_FLOAT_EQ(app.live.pv, -32768.0f);
}

TEST_F(Monitor, SvPollReplacesSetValueButNotThePanel)
{
    openChart();
    rt.SetCtrlVal(parm(), PARM_SV, 40.0);
    app.params.setValue = 40.0f;
    line->regs[monitor::kSvRegister] = 300;
    tick();
    EXPECT_FLOAT_EQ(app.params.setValue, 30.0f);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), 40.0);
}

TEST_F(Monitor, AlarmMirrorUsesStrictComparisons)
{
    app.params.alarmWatch = 1;
    app.params.alarmHigh = 80.0f;
    app.params.alarmLow = 10.0f;
    auto armed = [&] {
        rt.SetCtrlVal(parm(), PARM_CTRL_FUNC, 4);
        rt.SetCtrlVal(parm(), PARM_CTRL_LED, 1);
    };
    for (std::uint16_t raw : {800, 100}) {
        armed();
        line->regs[monitor::kPvRegister] = raw;
        rt.Tick(parm(), PARM_PV_TIMER);
        EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4) << raw;
        EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 1) << raw;
    }
    for (std::uint16_t raw : {801, 99}) {
        armed();
        line->regs[monitor::kPvRegister] = raw;
        rt.Tick(parm(), PARM_PV_TIMER);
        EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 0) << raw;
        EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 0) << raw;
    }
    // Switch off: nothing changes whatever PV is; and nothing is ever sent but reads.
    app.params.alarmWatch = 0;
    armed();
    line->regs[monitor::kPvRegister] = 0x7FFF;
    rt.Tick(parm(), PARM_PV_TIMER);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    for (const auto& r : line->writes)
        EXPECT_EQ(r[1], 0x03);
}

TEST_F(Monitor, BadAnswersAreRepeatedUntilGood)
{
    openChart();
    line->faults = {Reply::SevenBytes, Reply::SwappedCrc};
    const double t0 = rig.clock.now();
    tick();
    ASSERT_EQ(line->writes.size(), 4u);  // SV three times, then PV
    EXPECT_EQ(line->writes[0], line->writes[2]);
    // A short answer costs the whole read time-out; every repeat follows a
    // 0.05 s pause after the flush and keeps the SV post-write delay.
    EXPECT_NEAR(line->writeTimes[1] - t0, 0.05 + 0.03 + 1.0 + 0.05, 1e-9);
    EXPECT_NEAR(line->writeTimes[2] - line->writeTimes[1], 0.03 + 0.05, 1e-9);
    EXPECT_NEAR(line->writeTimes[3] - line->writeTimes[2], 0.03 + 0.05, 1e-9);
    EXPECT_FLOAT_EQ(app.live.sv, 25.0f);
    EXPECT_FLOAT_EQ(app.live.pv, 24.8f);
    EXPECT_EQ(points(), 1);
    EXPECT_FALSE(rig.visible(chart(), CHART_NO_ANSWER));
}

TEST_F(Monitor, SilentControllerCostsOneBoundedTickAndTheNextTickRecovers)
{
    openChart();
    tick();
    ASSERT_EQ(points(), 1);
    const std::string shownSv = std::to_string(rig.value(chart(), CHART_SV));

    line->regs[monitor::kSvRegister] = 333;
    line->faults = {Reply::Silent, Reply::Silent, Reply::Silent};
    const double t0 = rig.clock.now();
    tick();
    EXPECT_LE(rig.clock.now() - t0, 3.6);
    EXPECT_EQ(points(), 1);
    EXPECT_EQ(std::to_string(rig.value(chart(), CHART_SV)), shownSv);
    EXPECT_TRUE(rig.visible(chart(), CHART_NO_ANSWER));
    // The main panel waits for three missed ticks, as for every watch.
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
    EXPECT_EQ(rig.op.shown().size(), 0u);  // no popup from a polling path
    EXPECT_EQ(app.bus.linkBusy, 0);

    tick();
    EXPECT_EQ(points(), 2);
    EXPECT_FLOAT_EQ(app.live.sv, 33.3f);
    EXPECT_FALSE(rig.visible(chart(), CHART_NO_ANSWER));
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
}

TEST_F(Monitor, PvFailureAfterGoodSvPlotsAndLogsNothing)
{
    openChart();
    logOn(rig.path("pv.dat"));
    plot(1);
    line->faults = {Reply::Good, Reply::BadCrc, Reply::BadCrc, Reply::BadCrc};
    const float pvBefore = app.live.pv;
    tick();
    EXPECT_EQ(points(), 0);
    EXPECT_FLOAT_EQ(app.live.pv, pvBefore);
    EXPECT_EQ(contents(rig.path("pv.dat")), std::string(monitor::kLogHeader) + rt::TextLineEnd());
}

TEST_F(Monitor, CallbacksIgnoreOtherEvents)
{
    openChart();
    for (int e : {int(rt::EVENT_COMMIT), int(rt::EVENT_RIGHT_CLICK), 2}) {
        GetData(app, chart(), CHART_TIMER, e, nullptr, 0, 0);
        ReadPV(app, parm(), PARM_PV_TIMER, e, nullptr, 0, 0);
    }
    EXPECT_TRUE(line->writes.empty());
    rt.SetCtrlVal(parm(), PARM_PV_READ, 1);
    for (int e : {rt::EVENT_TIMER_TICK, rt::EVENT_RIGHT_CLICK})
        PVRd(app, parm(), PARM_PV_READ, e, nullptr, 0, 0);
    EXPECT_FALSE(running(parm(), PARM_PV_TIMER));
}

// ---- the two PV polls and Plot ----

TEST_F(Monitor, PollStateTable)
{
    rt.Commit(parm(), PARM_PV_READ, 1);  // main-panel polling
    EXPECT_TRUE(running(parm(), PARM_PV_TIMER));
    EXPECT_FALSE(rig.dimmed(parm(), PARM_PV));
    rt.Tick(parm(), PARM_PV_TIMER);
    EXPECT_NEAR(rig.value(parm(), PARM_PV), 24.8, 1e-4);

    openChart();
    EXPECT_FALSE(running(chart(), CHART_TIMER));
    plot(1);  // chart polling
    EXPECT_EQ(app.plotting, 1);
    EXPECT_TRUE(running(chart(), CHART_TIMER));
    EXPECT_FALSE(running(parm(), PARM_PV_TIMER));
    EXPECT_EQ(rig.intValue(parm(), PARM_PV_READ), 0);
    EXPECT_TRUE(rig.dimmed(parm(), PARM_PV_READ));
    EXPECT_FALSE(rig.dimmed(parm(), PARM_PV)) << "it shows the chart's reading";

    plot(0);  // idle: the switch comes back but stays off
    EXPECT_EQ(app.plotting, 0);
    EXPECT_FALSE(running(chart(), CHART_TIMER));
    EXPECT_FALSE(rig.dimmed(parm(), PARM_PV_READ));
    EXPECT_EQ(rig.intValue(parm(), PARM_PV_READ), 0);
    EXPECT_TRUE(rig.dimmed(parm(), PARM_PV));
    EXPECT_FALSE(running(parm(), PARM_PV_TIMER));

    rt.Commit(parm(), PARM_PV_READ, 1);
    EXPECT_FALSE(rig.dimmed(parm(), PARM_PV));
    rt.Commit(parm(), PARM_PV_READ, 0);
    EXPECT_TRUE(rig.dimmed(parm(), PARM_PV));
    EXPECT_FALSE(running(parm(), PARM_PV_TIMER));
}

TEST_F(Monitor, PlotAndChartExitShowAndHideTheLogSwitchWithoutTouchingItsDimming)
{
    openChart();
    plot(1);
    rt.Commit(chart(), CHART_LOG_SETUP);  // opened while plotting: dimmed
    EXPECT_TRUE(rig.dimmed(logset(), LOGSET_LOG_SW));
    EXPECT_FALSE(rig.visible(logset(), LOGSET_LOG_SW));
    EXPECT_TRUE(rig.visible(logset(), LOGSET_PLOT_NOTE));
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 0);  // logging off

    plot(0);
    EXPECT_TRUE(rig.visible(logset(), LOGSET_LOG_SW));
    EXPECT_FALSE(rig.visible(logset(), LOGSET_PLOT_NOTE));
    EXPECT_TRUE(rig.dimmed(logset(), LOGSET_LOG_SW));

    plot(1);
    rt.Commit(chart(), CHART_EXIT);
    EXPECT_TRUE(rig.visible(logset(), LOGSET_LOG_SW));
    EXPECT_TRUE(rig.dimmed(logset(), LOGSET_LOG_SW));
    EXPECT_FALSE(rt.IsPanelVisible(chart()));
    EXPECT_EQ(rig.intValue(chart(), CHART_PLOT), 0);
    EXPECT_FALSE(running(chart(), CHART_TIMER));

    openChart();
    rt.Commit(chart(), CHART_LOG_SETUP);  // reopened while idle: undimmed
    EXPECT_FALSE(rig.dimmed(logset(), LOGSET_LOG_SW));
}

// ---- the data log ----

TEST_F(Monitor, RecordingWritesHeaderAndOneExactLinePerTick)
{
    const std::string path = rig.path("run 1.dat");
    openChart();
    logOn(path);
    EXPECT_EQ(app.log.logging, 1);
    ExpectFileRequest(rig.op.lastFileRequest(),
                      FileRequest("*.dat", "*.dat; *.txt", "Select Filename to log data", 1, true));
    EXPECT_EQ(rig.op.count("File Exist!"), 0);

    plot(1);
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 1);
    std::string expected = std::string("  Date,       Time,     SV,    PV") + rt::TextLineEnd();
    tick();
    expected += expectedLine(25.0f, 24.8f);
    rig.clock.advance(1.0);
    line->regs[monitor::kSvRegister] = static_cast<std::uint16_t>(-50);
    tick();
    expected += expectedLine(-5.0f, 24.8f);
    // Each line is with the system before the tick ends.
    EXPECT_EQ(contents(path), expected);

    plot(0);
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 0);
    plot(1);  // continues in the same file
    tick();
    expected += expectedLine(-5.0f, 24.8f);
    rt.Commit(chart(), CHART_EXIT);
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    EXPECT_TRUE(rig.visible(logset(), LOGSET_LOG_SW));
    EXPECT_FALSE(rig.visible(logset(), LOGSET_PLOT_NOTE));
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 0);
    EXPECT_EQ(contents(path), expected);
}

// Pressing "Chart..." again while recording only brings the chart forward.
TEST_F(Monitor, OpeningTheChartAgainKeepsPlottingAndLogging)
{
    const std::string path = rig.path("run.dat");
    openChart();
    logOn(path);
    plot(1);
    tick();
    const std::string first = expectedLine(25.0f, 24.8f);
    openChart();
    EXPECT_TRUE(running(chart(), CHART_TIMER));
    EXPECT_EQ(rig.intValue(chart(), CHART_PLOT), 1);
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 1);
    rig.clock.advance(1.0);
    tick();
    EXPECT_EQ(points(), 2);
    EXPECT_EQ(contents(path), std::string(monitor::kLogHeader) + rt::TextLineEnd() + first + expectedLine(25.0f, 24.8f));
}

TEST_F(Monitor, LogLineTakesDateAndTimeFromTheRunTimeClock)
{
    // Move the virtual clock to 08:15:00 local time on 5 January 2024.
    std::tm when{};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 5;
    when.tm_hour = 8;
    when.tm_min = 15;
    when.tm_isdst = -1;
    const double target = static_cast<double>(std::mktime(&when));
    const double nowSeconds = static_cast<double>(rig.clock.wallMillis()) / 1000.0;
    ASSERT_GT(target, nowSeconds);
    // The tick itself spends 0.18 s before the date is read.
    rig.clock.advance(target - nowSeconds);

    const std::string path = rig.path("jan.dat");
    openChart();
    logOn(path);
    plot(1);
    line->regs[monitor::kSvRegister] = static_cast<std::uint16_t>(-50);
    tick();
    EXPECT_EQ(contents(path), std::string(monitor::kLogHeader) + rt::TextLineEnd() + "1/5/2024, 08:15:00,  -5.0,  24.8" +
                                  rt::TextLineEnd());
}

TEST_F(Monitor, ChartExitWhileArmedClosesTheFile)
{
    const std::string path = rig.path("armed.dat");
    openChart();
    logOn(path);
    ASSERT_EQ(app.log.logging, 1);
    rt.Commit(chart(), CHART_EXIT);
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_FALSE(app.log.logFile);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    EXPECT_FALSE(rt.IsPanelVisible(chart()));
    // A stray tick after the exit writes nothing.
    tick();
    EXPECT_EQ(contents(path), std::string(monitor::kLogHeader) + rt::TextLineEnd());
}

TEST_F(Monitor, ExistingFileOverwriteAppendExitEscapeEnter)
{
    const std::string path = rig.path("old.dat");
    const std::string old = std::string("old line") + rt::TextLineEnd();
    const std::string header = std::string(monitor::kLogHeader) + rt::TextLineEnd();
    openChart();
    struct Case {
        int button;
        std::string file;
        int logging;
    };
    const Case cases[] = {
        {1, header, 1},
        {2, old, 1},
        {3, old, 0},
        {rt::ScriptedOperator::kEscape, old, 0},
        {rt::ScriptedOperator::kEnter, header, 1},
    };
    for (const Case& c : cases) {
        writeFile(path, old);
        logOn(path, 1, c.button);
        const rt::GenericPopup& q = rig.op.lastGeneric();
        EXPECT_EQ(q.title, "File Exist!");
        EXPECT_EQ(q.text, "File already exist, do you want to overwrite or append");
        EXPECT_EQ(q.button1, "Overwrite");
        EXPECT_EQ(q.button2, "Append");
        EXPECT_EQ(q.button3, "Exit");
        EXPECT_EQ(q.focusButton, 1);
        EXPECT_EQ(q.enterButton, 1);
        EXPECT_EQ(q.escapeButton, 3);
        EXPECT_EQ(app.log.logging, c.logging) << c.button;
        EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), c.logging) << c.button;
        EXPECT_EQ(contents(path), c.file) << c.button;
        rt.Commit(logset(), LOGSET_LOG_SW, 0);
        EXPECT_EQ(app.log.logging, 0);
    }
    // Appending adds lines after the last one, with no second header.
    writeFile(path, old);
    logOn(path, 1, 2);
    plot(1);
    tick();
    EXPECT_EQ(contents(path), old + expectedLine(25.0f, 24.8f));
}

TEST_F(Monitor, CancelledOrFailedDialogLeavesLoggingOff)
{
    openChart();
    logOn(rig.path("x.dat"), 0);
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    EXPECT_TRUE(rig.op.shown().size() == 1 && rig.op.shown()[0].kind == "file");

    rig.op.clear();
    logOn("", rt::RT_ERR_DIALOG);
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    EXPECT_EQ(rig.op.count("Data Log"), 1);
}

TEST_F(Monitor, FileThatCannotBeOpenedIsReportedAndLoggingStaysOff)
{
    openChart();
    const std::string path = rig.path("no such folder/log.dat");
    logOn(path);
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_FALSE(app.log.logFile);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    ASSERT_EQ(rig.op.count("Data Log"), 1);
    EXPECT_NE(rig.op.shown().back().text.find(path), std::string::npos);
}

#ifndef _WIN32
TEST_F(Monitor, FullDiskStopsLoggingOnceAndKeepsPlotting)
{
    openChart();
    // A device is no log: refused before it is opened.
    logOn("/dev/full", 1, 2);  // exists: append
    EXPECT_EQ(app.log.logging, 0);
    ASSERT_EQ(rig.op.count("Data Log"), 1);
    EXPECT_NE(rig.op.shown().back().text.find("a character device, not a regular file"), std::string::npos);
    rig.op.clear();

    const std::string path = rig.path("full.dat");
    logOn(path);
    ASSERT_EQ(app.log.logging, 1);
    plot(1);
    // The disk is full: a file size limit at the header's end, as ENOSPC would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit full = old;
    full.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(path));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    tick();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_FALSE(app.log.logFile);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 0);
    ASSERT_EQ(rig.op.count("Data Log"), 1);
    EXPECT_NE(rig.op.shown().back().text.find(path), std::string::npos);
    tick();  // the chart goes on, with no second popup
    EXPECT_EQ(points(), 2);
    EXPECT_EQ(rig.op.count("Data Log"), 1);
    EXPECT_TRUE(running(chart(), CHART_TIMER));
}
#endif

TEST_F(Monitor, RemovedLogFileStopsLoggingAndIsReported)
{
    const std::string path = rig.path("gone.dat");
    openChart();
    logOn(path);
    plot(1);
    tick();
    ASSERT_EQ(app.log.logging, 1);
    std::filesystem::remove(path);
    tick();
    EXPECT_EQ(app.log.logging, 0);
    EXPECT_FALSE(app.log.logFile);
    EXPECT_EQ(rig.intValue(logset(), LOGSET_LOG_SW), 0);
    EXPECT_EQ(rig.intValue(chart(), CHART_LOG_LED), 0);
    ASSERT_EQ(rig.op.count("Data Log"), 1);
    EXPECT_NE(rig.op.shown().back().text.find(path), std::string::npos);
    EXPECT_EQ(points(), 2);
    tick();
    EXPECT_EQ(rig.op.count("Data Log"), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Monitor, LongLogPathIsKept)
{
    const std::string folder = rig.path(std::string(240, 'd'));
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + std::string(60, 'f') + ".dat";
    writeFile(path, "");
    openChart();
    logOn(path, 1, 1);
    EXPECT_EQ(app.log.logging, 1);
    EXPECT_EQ(app.log.logPath, path);
    EXPECT_EQ(contents(path), std::string(monitor::kLogHeader) + rt::TextLineEnd());
}

TEST_F(Monitor, IntervalChangeAppliedOnlyWhenItDiffers)
{
    openChart();
    const int c = chart();
    rt.Commit(c, CHART_LOG_SETUP);
    rt.SetCtrlVal(logset(), LOGSET_INTERVAL, 5.0);
    rt.Commit(logset(), LOGSET_CLOSE);
    EXPECT_FALSE(rt.IsPanelVisible(logset()));
    double v = 0;
    rt.GetCtrlAttribute(c, CHART_TIMER, rt::ATTR_INTERVAL, &v);
    EXPECT_DOUBLE_EQ(v, 5.0);
    rt.GetCtrlAttribute(c, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, &v);
    EXPECT_DOUBLE_EQ(v, 5.0);
    int span = 0;
    rt.GetCtrlAttribute(c, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &span);
    EXPECT_EQ(span, app.scale.xPoints);

    // Closing with the value shown at opening changes nothing.
    rt.SetCtrlAttribute(c, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, 2.5);
    rt.SetCtrlAttribute(c, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, 77);
    rt.Commit(c, CHART_LOG_SETUP);
    rt.Commit(logset(), LOGSET_CLOSE);
    rt.GetCtrlAttribute(c, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, &v);
    EXPECT_DOUBLE_EQ(v, 2.5);
    rt.GetCtrlAttribute(c, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &span);
    EXPECT_EQ(span, 77);
}

TEST_F(Monitor, DataLogButtonOpensTheChartAndItsLogSetup)
{
    ASSERT_FALSE(rt.IsPanelVisible(chart()));
    rt.Commit(parm(), PARM_DATA_LOG);
    EXPECT_TRUE(rt.IsPanelVisible(chart()));
    EXPECT_TRUE(rt.IsPanelVisible(logset()));
    EXPECT_TRUE(monitor::ScaleIsUsable(app.scale));

    // While plotting it leaves the chart running.
    rt.Commit(logset(), LOGSET_CLOSE);
    plot(1);
    rt.Commit(parm(), PARM_DATA_LOG);
    EXPECT_TRUE(running(chart(), CHART_TIMER));
    EXPECT_TRUE(rig.dimmed(logset(), LOGSET_LOG_SW));
}

// ---- scale ----

TEST_F(Monitor, ScaleFileIsAppliedAtEachOpeningAndSavedExactly)
{
    writeFile(rig.path("XYscale.txt"), "120.000000 -10.000000 300\r\n");
    openChart();
    int mode = -1, span = 0;
    double lo = 0, hi = 0;
    rt.GetAxisScalingMode(chart(), CHART_STRIPCHART, 1, &mode, &lo, &hi);
    rt.GetCtrlAttribute(chart(), CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &span);
    EXPECT_DOUBLE_EQ(lo, -10);
    EXPECT_DOUBLE_EQ(hi, 120);
    EXPECT_EQ(span, 300);
    EXPECT_DOUBLE_EQ(rig.value(yscale(), YSCALE_YMAX), 120);
    EXPECT_EQ(rig.intValue(yscale(), YSCALE_XPOINTS), 300);
    EXPECT_FALSE(rt.IsPanelVisible(yscale()));

    // The Y-scale panel shows what the chart really has, not what the file holds.
    writeFile(rig.path("XYscale.txt"), "50 0 10\n");
    rt.SetAxisScalingMode(chart(), CHART_STRIPCHART, 1, 0, 5.0, 95.0);
    rt.Commit(chart(), CHART_YSCALE);
    EXPECT_TRUE(rt.IsPanelVisible(yscale()));
    EXPECT_DOUBLE_EQ(rig.value(yscale(), YSCALE_YMIN), 5.0);
    EXPECT_DOUBLE_EQ(rig.value(yscale(), YSCALE_YMAX), 95.0);

    rt.SetCtrlVal(yscale(), YSCALE_YMIN, 0.0);
    rt.SetCtrlVal(yscale(), YSCALE_YMAX, 150.0);
    rt.SetCtrlVal(yscale(), YSCALE_XPOINTS, 100);
    rt.Commit(yscale(), YSCALE_CLOSE);
    EXPECT_FALSE(rt.IsPanelVisible(yscale()));
    EXPECT_EQ(contents(rig.path("XYscale.txt")), std::string("150.000000 0.000000 100") + rt::TextLineEnd());
    rt.GetAxisScalingMode(chart(), CHART_STRIPCHART, 1, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(hi, 150);

    // A later opening re-reads the file.
    writeFile(rig.path("XYscale.txt"), "60 20 42\n");
    rt.Commit(chart(), CHART_EXIT);
    openChart();
    rt.GetAxisScalingMode(chart(), CHART_STRIPCHART, 1, &mode, &lo, &hi);
    rt.GetCtrlAttribute(chart(), CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &span);
    EXPECT_DOUBLE_EQ(lo, 20);
    EXPECT_DOUBLE_EQ(hi, 60);
    EXPECT_EQ(span, 42);
}

TEST_F(Monitor, MissingOrBadScaleFileGivesAUsableScale)
{
    openChart();  // no file, first opening
    EXPECT_TRUE(monitor::ScaleIsUsable(app.scale));
    int mode = -1;
    double lo = 0, hi = 0;
    rt.GetAxisScalingMode(chart(), CHART_STRIPCHART, 1, &mode, &lo, &hi);
    EXPECT_LT(lo, hi);

    // An upside-down file does not replace the scale in use.
    const ChartScale before = app.scale;
    writeFile(rig.path("XYscale.txt"), "0 100 0\n");
    rt.Commit(chart(), CHART_EXIT);
    openChart();
    EXPECT_DOUBLE_EQ(app.scale.yMax, before.yMax);
    EXPECT_EQ(app.scale.xPoints, before.xPoints);
}

TEST_F(Monitor, ScaleFileBeyondTheChartsLimitsGivesTheDefaultAndOneMessage)
{
    app.params.rangeLow = -20;
    app.params.rangeHigh = 150;
    const ChartScale fallback = monitor::DefaultScale(-20, 150);
    for (const char* text : {"1e308 -1e308 100\n", "1e-300 0 100\n", "100 0 2147483647\n", "100 0 604801\n"}) {
        SCOPED_TRACE(text);
        app.scale = ChartScale{};  // a fresh run
        writeFile(rig.path("XYscale.txt"), text);
        rig.op.clear();
        openChart();
        EXPECT_DOUBLE_EQ(app.scale.yMin, fallback.yMin);
        EXPECT_DOUBLE_EQ(app.scale.yMax, fallback.yMax);
        EXPECT_EQ(app.scale.xPoints, fallback.xPoints);
        // The chart shows what the program says it shows.
        int mode = -1, span = 0;
        double lo = 0, hi = 0;
        rt.GetAxisScalingMode(chart(), CHART_STRIPCHART, 1, &mode, &lo, &hi);
        rt.GetCtrlAttribute(chart(), CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &span);
        EXPECT_DOUBLE_EQ(lo, -20);
        EXPECT_DOUBLE_EQ(hi, 150);
        EXPECT_EQ(span, fallback.xPoints);
        EXPECT_EQ(rig.intValue(yscale(), YSCALE_XPOINTS), fallback.xPoints);
        ASSERT_EQ(rig.op.shown().size(), 1u);
        EXPECT_EQ(rig.op.shown()[0].title, "Chart Scale");
        EXPECT_NE(rig.op.shown()[0].text.find("XYscale.txt"), std::string::npos) << rig.op.shown()[0].text;
        EXPECT_NE(rig.op.shown()[0].text.find("Y from -20 to 150 over 300 points"), std::string::npos)
            << rig.op.shown()[0].text;
        EXPECT_EQ(contents(rig.path("XYscale.txt")), text) << "the file is left for the operator to replace";
        rt.Commit(chart(), CHART_EXIT);
    }
}

#ifndef _WIN32
TEST_F(Monitor, ScaleFileThatIsAFifoDoesNotHoldTheChart)
{
    ASSERT_EQ(::mkfifo(rig.path("XYscale.txt").c_str(), 0600), 0);
    ::alarm(30);  // a blocked open would otherwise hold the test until ctest's time-out
    openChart();
    ::alarm(0);
    EXPECT_TRUE(rt.IsPanelVisible(chart()));
    EXPECT_TRUE(monitor::ScaleIsUsable(app.scale));
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_NE(rig.op.shown()[0].text.find("it is a FIFO (named pipe), not a regular file"), std::string::npos)
        << rig.op.shown()[0].text;
}
#endif

TEST_F(Monitor, CloseYscaleRefusesAnUnusableScale)
{
    writeFile(rig.path("XYscale.txt"), "100.000000 0.000000 300\n");
    openChart();
    rt.Commit(chart(), CHART_YSCALE);
    for (auto [top, bottom, span] : {std::tuple{50.0, 50.0, 10}, {10.0, 20.0, 10}, {100.0, 0.0, 700000}}) {
        rt.SetCtrlVal(yscale(), YSCALE_YMAX, top);
        rt.SetCtrlVal(yscale(), YSCALE_YMIN, bottom);
        rt.SetCtrlVal(yscale(), YSCALE_XPOINTS, span);
        rig.op.clear();
        rt.Commit(yscale(), YSCALE_CLOSE);
        EXPECT_EQ(rig.op.shown().size(), 1u);
        EXPECT_TRUE(rt.IsPanelVisible(yscale()));
        EXPECT_EQ(contents(rig.path("XYscale.txt")), "100.000000 0.000000 300\n");
        EXPECT_DOUBLE_EQ(app.scale.yMax, 100.0);
    }
}

TEST_F(Monitor, YAxisNamesTheUnit)
{
    app.params.cfUnit = 0;
    openChart();
    EXPECT_EQ(yAxisLabel(), QString::fromUtf8("Temperature (\u00B0C)"));
    // A unit changed while the chart is up shows from the next Plot on.
    app.params.cfUnit = 1;
    plot(1);
    EXPECT_EQ(yAxisLabel(), QString::fromUtf8("Temperature (\u00B0F)"));
}

TEST_F(Monitor, ClearChartEmptiesItAndTheNextTickPlotsAtOnce)
{
    openChart();
    plot(1);
    tick();
    tick();
    EXPECT_EQ(points(), 2);
    rt.Commit(chart(), CHART_CLEAR);
    EXPECT_EQ(points(), 0);
    tick();
    EXPECT_EQ(points(), 1);
}

TEST_F(Monitor, HelpTextsOnRightClick)
{
    openChart();
    rt.FireEvent(chart(), CHART_PLOT, rt::EVENT_RIGHT_CLICK);
    rt.FireEvent(chart(), CHART_EXIT, rt::EVENT_RIGHT_CLICK);
    rt.FireEvent(chart(), CHART_LOG_SETUP, rt::EVENT_RIGHT_CLICK);
    const auto& shown = rig.op.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].title, "<Plot> Help");
    EXPECT_EQ(shown[0].text,
              "Chart plotting sync with the data log timer.\n\t\t\t\t\t\t  When Log switch(in the 'Log Setup') is ON "
              "and\n\t\t\t\t\t\t  the Plot button is ON, the data is logged; and the LED is on. \n\t\t\t\t\t\t  Data "
              "is not logged if Plot button is OFF.\n\t\t\t\t\t\t  If you need to change the plotting frequency, goto "
              "Log Setup\n\t\t\t\t\t\t  and use the Ringknub to set the timing.");
    EXPECT_EQ(shown[1].title, "<Chart Exit> Help");
    EXPECT_EQ(shown[1].text,
              "During data logging and plotting, if Exit is pressed,\n\t\t\t\tthe logging and plotting will be "
              "terminated.");
    EXPECT_EQ(shown[2].title, "<Log Timer/File Setup> Help");
    EXPECT_EQ(shown[2].text,
              "1. To change update rate on the strip chart.\n2. To change update rate to the log file.\n3. Setup "
              "filename for data logging.\n4. While plotting, data logging switch is disabled.\n");
    // Right clicks change nothing else.
    EXPECT_EQ(app.plotting, 0);
    EXPECT_TRUE(rt.IsPanelVisible(chart()));
}

} // namespace

// ---- with the simulated controller, through a real connection ----

TEST(MonitorWithSimulator, ChartTicksFollowTheController)
{
    TestRig rig;
    ASSERT_GE(rig.connect(), 0);
    App& app = rig.app;
    rig.rt.Commit(app.panels.parm, PARM_OPEN_CHART);
    rig.rt.Commit(app.panels.chart, CHART_PLOT, 1);
    rig.clearWire();
    for (int i = 0; i < 5; ++i) {
        rig.clock.advance(1.0);
        rig.rt.Tick(app.panels.chart, CHART_TIMER);
    }
    EXPECT_EQ(rig.wire().size(), 10u);
    EXPECT_EQ(rig.rt.StripChartPointCount(app.panels.chart, CHART_STRIPCHART), 5);
    const double scale = app.params.tempScale;
    EXPECT_NEAR(app.live.sv, static_cast<std::int16_t>(rig.sim->reg(0x1001)) / scale, 1e-4);
    EXPECT_NEAR(app.live.pv, rig.sim->processValue(), 0.2);
    EXPECT_FLOAT_EQ(app.params.setValue, app.live.sv);
}
