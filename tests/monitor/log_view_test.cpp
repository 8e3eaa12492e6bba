// "Open log…" on the chart panel: a data log in whatever state opens in a
// viewer of its own that says what it read, the file untouched, even while
// the program is logging into it; what is no data log gets one message.
#include "formats/log_reader.h"
#include "monitor/monitor.h"
#include "rt/files.h"
#include "rt/log_viewer.h"
#include "rt/widgets.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>

#include <chrono>
#include <cmath>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::vector<rt::LogViewer*> Viewers()
{
    std::vector<rt::LogViewer*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<rt::LogViewer*>(w); v && v->isVisible())
            out.push_back(v);
    return out;
}

void CloseViewers()
{
    for (rt::LogViewer* v : Viewers())
        v->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::string Slurp(const std::string& path)
{
    std::string s;
    rt::ReadWholeFile(path, &s, nullptr, std::uint64_t{1} << 30);
    return s;
}

void OpenLog(TestRig& rig, const std::string& path)
{
    rig.op.queueFile(1, path);
    rig.rt.Commit(rig.app.panels.chart, CHART_OPEN_LOG);
}

} // namespace

TEST(LogViewer, ShowsARecordedRunAndWhatWasSkippedWithoutChangingTheFile)
{
    TestRig rig;
    const std::string path = rig.path("run.dat");
    const std::string text = "  Date,       Time,     SV,    PV\r\n"
                             "3/7/2012, 14:05:09,  25.0,  24.8\r\n"
                             "3/7/2012, 14:05:10,  25.0,  24.9\r\n"
                             "\x7f\x45\x4c\x46 garbage\r\n"
                             "  Date,       Time,     SV,    PV\r\n"
                             "3/8/2012, 09:00:00,  30.0,  25.3\r\n"
                             "3/8/2012, 09:00";
    ASSERT_TRUE(rt::WriteFileAtomically(path, text));
    rig.op.clear();
    const QDateTime modified = QFileInfo(QString::fromStdString(path)).lastModified();

    OpenLog(rig, path);
    ExpectFileRequest(rig.op.lastFileRequest(),
                      FileRequest("*.dat", "*.dat; *.txt; *.csv", "Select a data log to view", 3, false));
    const std::vector<rt::LogViewer*> viewers = Viewers();
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_EQ(viewers[0]->status(),
              "3 lines read, 2 skipped (the first at line 4); the last line was incomplete");
    EXPECT_TRUE(viewers[0]->windowTitle().startsWith("run.dat"));
    rt::StripChart* chart = viewers[0]->chart();
    ASSERT_EQ(chart->pointCount(), 3);
    EXPECT_DOUBLE_EQ(chart->values(1).back(), 25.3);
    EXPECT_EQ(chart->graph(1)->name(), "PV");
    EXPECT_EQ(chart->graph(1)->pen().color(), QColor("#00c853"));
    // The whole run in view, not following anything.
    EXPECT_FALSE(chart->isLive());
    EXPECT_LT(chart->xAxis->range().lower, chart->times().front());
    EXPECT_GT(chart->xAxis->range().upper, chart->times().back());
    EXPECT_TRUE(rig.op.shown().size() == 1) << "no message besides the file dialog";

    EXPECT_EQ(Slurp(path), text);
    EXPECT_EQ(QFileInfo(QString::fromStdString(path)).lastModified(), modified);
    CloseViewers();
}

TEST(LogViewer, ShowsEveryControllerOfALogOfSeveralWithALegend)
{
    TestRig rig;
    const std::string path = rig.path("rack.dat");
    // A one-controller section first: its readings are the first controller's.
    ASSERT_TRUE(rt::WriteFileAtomically(path, "  Date,       Time,     SV,    PV\n"
                                              "3/7/2012, 14:05:08,  24.0,  23.0\n"
                                              "  Date,       Time,     SV stage-A [1], PV stage-A [1], SV [2], PV [2]\n"
                                              "3/7/2012, 14:05:09,  25.0,  24.8,  40.0,  39.0\n"
                                              "3/7/2012, 14:05:10,,,  40.0,  39.5\n"
                                              "3/7/2012, 14:05:11,  25.0,  24.9,,\n"));
    rig.op.clear();
    OpenLog(rig, path);
    const std::vector<rt::LogViewer*> viewers = Viewers();
    ASSERT_EQ(viewers.size(), 1u);
    EXPECT_EQ(viewers[0]->status(), "4 lines read, 0 skipped; 2 controllers");
    rt::StripChart* chart = viewers[0]->chart();
    ASSERT_EQ(chart->traceNameList(),
              QStringList({"SV stage-A [1]", "PV stage-A [1]", "SV [2]", "PV [2]"}));
    EXPECT_TRUE(chart->legendShown());
    ASSERT_EQ(chart->pointCount(), 4);
    const double t0 = rt::CivilSeconds({2012, 3, 7, 14, 5, 8});
    EXPECT_EQ(chart->times(), std::vector<double>({t0, t0 + 1, t0 + 2, t0 + 3}));
    EXPECT_DOUBLE_EQ(chart->values(1)[0], 23.0);
    EXPECT_DOUBLE_EQ(chart->values(1)[3], 24.9);
    EXPECT_TRUE(std::isnan(chart->values(0)[2]));
    EXPECT_TRUE(std::isnan(chart->values(3)[0]) && std::isnan(chart->values(3)[3]));
    EXPECT_DOUBLE_EQ(chart->values(3)[2], 39.5);
    // Each controller's pair in colours of its own.
    EXPECT_NE(chart->graph(1)->pen().color(), chart->graph(3)->pen().color());
    EXPECT_NE(chart->graph(0)->pen().color(), chart->graph(1)->pen().color());
    // The live chart's traces are untouched.
    auto* live = qobject_cast<rt::StripChart*>(rig.rt.controlWidget(rig.app.panels.chart, CHART_STRIPCHART));
    EXPECT_EQ(live->traceNameList(), QStringList({"SV", "PV"}));
    CloseViewers();

    // With the live chart on several controllers, a one-controller log still shows its SV and PV.
    ASSERT_EQ(rig.rt.SetStripChartTraces(rig.app.panels.chart, CHART_STRIPCHART,
                                         {"SV a [1]", "PV a [1]", "SV b [2]", "PV b [2]"}, {}),
              0);
    const std::string one = rig.path("one.dat");
    ASSERT_TRUE(rt::WriteFileAtomically(one, "  Date,       Time,     SV,    PV\n3/7/2012, 14:05:08,  24.0,  23.0\n"));
    OpenLog(rig, one);
    ASSERT_EQ(Viewers().size(), 1u);
    EXPECT_EQ(Viewers()[0]->chart()->traceNameList(), QStringList({"SV", "PV"}));
    EXPECT_DOUBLE_EQ(Viewers()[0]->chart()->values(1)[0], 23.0);
    CloseViewers();
}

TEST(LogViewer, OpensTheLogBeingWrittenAndTheLogGoesOn)
{
    TestRig rig;
    ASSERT_GE(rig.connect(), 0);
    const std::string path = rig.path("live.dat");
    rig.rt.Commit(rig.parm(), PARM_OPEN_CHART);
    rig.op.queueFile(2, path);
    rig.rt.Commit(rig.app.panels.logset, LOGSET_LOG_SW, 1);
    rig.rt.Commit(rig.app.panels.chart, CHART_PLOT, 1);
    for (int i = 0; i < 3; ++i) {
        rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
        rig.clock.advance(1.0);
    }
    OpenLog(rig, path);
    ASSERT_EQ(Viewers().size(), 1u);
    EXPECT_EQ(Viewers()[0]->status(), "3 lines read, 0 skipped");
    EXPECT_EQ(rig.app.log.logging, 1);
    rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
    const monitor::LogReadResult after = monitor::ReadDataLog(Slurp(path));
    EXPECT_EQ(after.points.size(), 4u);
    EXPECT_EQ(after.skipped, 0u);
    // The viewer's points sit where the live chart drew them, to the second the log keeps.
    auto* live = qobject_cast<rt::StripChart*>(rig.rt.controlWidget(rig.app.panels.chart, CHART_STRIPCHART));
    const std::vector<double>& read = Viewers()[0]->chart()->times();
    ASSERT_EQ(read.size(), 3u);
    for (std::size_t i = 0; i < read.size(); ++i)
        EXPECT_EQ(std::floor(live->times()[i]), read[i]) << i;
    CloseViewers();
}

TEST(LogViewer, WhatIsNoDataLogGetsOneMessageAndNoWindow)
{
    TestRig rig;
    const std::string binary = rig.path("picture.dat");
    std::string bytes(4096, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 37 % 251);
    ASSERT_TRUE(rt::WriteFileAtomically(binary, bytes));
    ASSERT_TRUE(rt::WriteFileAtomically(rig.path("empty.dat"), ""));
    for (const std::string& path : {binary, rig.path("empty.dat"), rig.path("missing.dat")}) {
        rig.op.clear();
        OpenLog(rig, path);
        EXPECT_TRUE(Viewers().empty()) << path;
        ASSERT_EQ(rig.op.shown().size(), 2u) << path;
        EXPECT_EQ(rig.op.shown()[1].title, "Open Log");
        EXPECT_NE(rig.op.shown()[1].text.find(path), std::string::npos);
    }
    EXPECT_NE(rig.op.shown()[1].text.find("could not be read"), std::string::npos);
    rig.op.clear();
    rig.op.queueFile(0, "");
    rig.rt.Commit(rig.app.panels.chart, CHART_OPEN_LOG);
    EXPECT_EQ(rig.op.shown().size(), 1u) << "cancelled: nothing more";
}

#ifdef Q_OS_UNIX
// A log larger than the viewer holds (sparse, so the test writes nothing) and
// a FIFO are refused at once, before a byte is read, with why.
TEST(LogViewer, WhatItCannotHoldIsRefusedAtOnce)
{
    TestRig rig;
    const std::string huge = rig.path("year.dat");
    const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 1200LL << 20), 0);
    ::close(fd);
    const std::string fifo = rig.path("pipe.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {huge, "it is 1.2 GB, more than the 256 MB a file of its kind may have."},
        {fifo, "it is a FIFO (named pipe), not a regular file."}};
    for (const auto& [path, why] : cases) {
        rig.op.clear();
        const auto start = std::chrono::steady_clock::now();
        OpenLog(rig, path);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_TRUE(Viewers().empty());
        ASSERT_EQ(rig.op.shown().size(), 2u) << path;
        EXPECT_EQ(rig.op.shown()[1].text, "The log " + path + " could not be read:\n" + why);
    }
}
#endif
