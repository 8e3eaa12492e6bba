// A strip chart of several controllers: traces named and replaced by name
// with their points, missing readings drawn and read out as gaps, traces
// shown and hidden by the call and by the legend, export of several traces.
#include "formats/log_reader.h"
#include "rt/widgets.h"
#include "rt_fixture.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMouseEvent>

#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class ChartTraces : public RtFixture {
protected:
    rt::StripChart* chart = nullptr;

    void SetUp() override
    {
        RtFixture::SetUp();
        chart = qobject_cast<rt::StripChart*>(rt.controlWidget(main, CHART_STRIPCHART));
        ASSERT_NE(chart, nullptr);
        rt.DisplayPanel(main);
        chart->resize(900, 420);
    }
    int setTraces(const std::vector<std::string>& names, const std::vector<int>& colors = {})
    {
        return rt.SetStripChartTraces(main, CHART_STRIPCHART, names, colors);
    }
    void plot(std::vector<double> values)
    {
        ASSERT_EQ(rt.PlotStripChart(main, CHART_STRIPCHART, values.data(), static_cast<int>(values.size()), 0, 0,
                                    rt::VAL_DOUBLE),
                  0);
        clock.advance(2.0);
    }
    bool shown(int trace)
    {
        bool v = false;
        EXPECT_EQ(rt.GetStripChartTraceVisible(main, CHART_STRIPCHART, trace, &v), 0);
        return v;
    }
    void click(QPoint at)
    {
        QMouseEvent press(QEvent::MouseButtonPress, at, chart->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
        QApplication::sendEvent(chart, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, chart->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, {});
        QApplication::sendEvent(chart, &release);
    }
};

bool Gap(double v)
{
    return std::isnan(v);
}

} // namespace

TEST_F(ChartTraces, TracesNamedAgainKeepTheirPointsColoursFollowAndNewOnesStartAsGaps)
{
    ASSERT_EQ(rt.GetStripChartTraceCount(main, CHART_STRIPCHART), 2);
    plot({20, 19.5});
    ASSERT_EQ(setTraces({"SV A [1]", "PV A [1]"}, {0xffc000, 0x00a000}), 0);
    // Renamed traces are new ones: the held point has no readings for them.
    ASSERT_EQ(chart->pointCount(), 1);
    EXPECT_TRUE(Gap(chart->values(0)[0]) && Gap(chart->values(1)[0]));
    plot({25, 24.5});
    plot({26, 25.5});
    plot({27, 26.5});

    // Stage B joins in front; A keeps its points and its hidden PV stays hidden.
    ASSERT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 1, false), 0);
    ASSERT_EQ(setTraces({"SV B [2]", "PV B [2]", "SV A [1]", "PV A [1]"}, {0x8080ff, 0x0000ff, 0xffc000, 0x00a000}),
              0);
    EXPECT_EQ(rt.GetStripChartTraceCount(main, CHART_STRIPCHART), 4);
    ASSERT_EQ(chart->pointCount(), 4);
    EXPECT_DOUBLE_EQ(chart->values(2).back(), 27);
    EXPECT_DOUBLE_EQ(chart->values(3).back(), 26.5);
    EXPECT_TRUE(Gap(chart->values(0).back()) && Gap(chart->values(1)[0]));
    EXPECT_TRUE(shown(0) && shown(1) && shown(2));
    EXPECT_FALSE(shown(3));
    EXPECT_EQ(chart->graph(1)->pen().color(), QColor(0x00, 0x00, 0xff));
    EXPECT_EQ(chart->graph(3)->name(), QStringLiteral("PV A [1]"));
    plot({40, 39, 28, 27.5});
    EXPECT_DOUBLE_EQ(chart->values(1).back(), 39);

    // A goes; B's points stay where they were.
    ASSERT_EQ(setTraces({"SV B [2]", "PV B [2]"}), 0);
    ASSERT_EQ(chart->traceCount(), 2);
    EXPECT_DOUBLE_EQ(chart->values(0).back(), 40);
    EXPECT_EQ(chart->pointCount(), 5);

    // Refused as a whole: nothing changes.
    for (const auto& [names, colors] : std::vector<std::pair<std::vector<std::string>, std::vector<int>>>{
             {{}, {}},
             {{"SV", "SV"}, {}},
             {{"SV", " "}, {}},
             {{"SV", "PV"}, {0xff0000}},
             {{"SV", "PV"}, {0xff0000, 0x1000000}},
             {{"SV", "PV"}, {-1, 0}}})
        EXPECT_EQ(setTraces(names, colors), rt::RT_ERR_BAD_ARGUMENT) << names.size() << " " << colors.size();
    EXPECT_EQ(chart->graph(0)->name(), QStringLiteral("SV B [2]"));
    EXPECT_EQ(rt.SetStripChartTraces(main, PIDHELP_GRAPH, {"SV"}, {}), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.SetStripChartTraces(main, 9999, {"SV"}, {}), rt::RT_ERR_BAD_HANDLE);
    EXPECT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 2, false), rt::RT_ERR_BAD_ARGUMENT);
    bool v = false;
    EXPECT_EQ(rt.GetStripChartTraceVisible(main, CHART_STRIPCHART, -1, &v), rt::RT_ERR_BAD_ARGUMENT);

    // The panel file's own names stay what a viewer copies.
    EXPECT_EQ(chart->traceNames(), QStringLiteral("SV,PV"));
}

TEST_F(ChartTraces, AMissingReadingIsAGapDrawnAndReadOutAsSuch)
{
    ASSERT_EQ(setTraces({"SV Stage A [1]", "PV Stage A [1]", "SV [2]", "PV [2]"}), 0);
    const double t0 = rt.CivilNow();
    plot({25, 24.8, 40, 39.5});
    plot({25, 24.9, kNaN, kNaN});  // the second controller did not answer
    plot({25, 25.0, 40, 39.7});
    chart->replot(QCustomPlot::rpImmediateRefresh);

    // Drawn: the second controller's line breaks at the missing reading.
    const auto drawn = chart->graph(3)->data();
    ASSERT_EQ(drawn->size(), 3);
    EXPECT_TRUE(std::isnan((drawn->begin() + 1)->value));
    EXPECT_DOUBLE_EQ(chart->graph(1)->data()->at(1)->value, 24.9);

    // Read out: every shown trace by name, the gap as a dash, two to a line.
    const QString at1 = chart->readoutAt(t0 + 2.0);
    const QStringList lines = at1.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 3) << at1.toStdString();
    EXPECT_EQ(lines[0].size(), 8);  // HH:MM:SS
    EXPECT_EQ(lines[1], QStringLiteral("SV Stage A [1] 25.0   PV Stage A [1] 24.9"));
    EXPECT_EQ(lines[2], QStringLiteral("SV [2] \u2014   PV [2] \u2014"));
    // A hidden trace is not read out; a controller with both hidden has no line.
    ASSERT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 0, false), 0);
    EXPECT_TRUE(chart->readoutAt(t0 + 4.0).endsWith(QStringLiteral("\nPV Stage A [1] 25.0\nSV [2] 40.0   PV [2] 39.7")))
        << chart->readoutAt(t0 + 4.0).toStdString();
    ASSERT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 1, false), 0);
    EXPECT_EQ(chart->readoutAt(t0 + 4.0).count(QLatin1Char('\n')), 1);
    ASSERT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 1, true), 0);

    // The automatic Y fit leaves hidden traces out.
    ASSERT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 2, false), 0);
    ASSERT_EQ(rt.SetStripChartTraceVisible(main, CHART_STRIPCHART, 3, false), 0);
    ASSERT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 1, 0, 0), 0);
    chart->replot(QCustomPlot::rpImmediateRefresh);
    EXPECT_LT(chart->yAxis->range().upper, 30);
    EXPECT_TRUE(chart->graph(2)->data()->isEmpty());
}

TEST_F(ChartTraces, TheLegendShowsAndHidesEachTraceByAClick)
{
    ASSERT_EQ(setTraces({"SV A [1]", "PV A [1]", "SV B [2]", "PV B [2]", "SV C [3]", "PV C [3]"}), 0);
    for (int i = 0; i < 20; ++i)
        plot({25, 24, 30, 29, 35, 34});
    // Before the call the panel file's legend is only a picture: a click on it is a click on the plot.
    chart->replot(QCustomPlot::rpImmediateRefresh);
    auto entry = [&](int trace) { return chart->legend->itemWithPlottable(chart->graph(trace)); };
    click(entry(3)->outerRect().center());
    EXPECT_TRUE(shown(3));

    ASSERT_EQ(rt.SetStripChartLegend(main, CHART_STRIPCHART, true), 0);
    chart->replot(QCustomPlot::rpImmediateRefresh);
    ASSERT_TRUE(chart->legend->visible());
    // Under the plot, not over it.
    EXPECT_GE(entry(0)->outerRect().top(), chart->axisRect()->outerRect().bottom());
    // Four to a row, so two controllers' SV and PV share a row and every name is readable.
    EXPECT_EQ(entry(3)->outerRect().top(), entry(0)->outerRect().top());
    EXPECT_GT(entry(3)->outerRect().left(), entry(2)->outerRect().right());
    EXPECT_GT(entry(4)->outerRect().top(), entry(0)->outerRect().top());
    EXPECT_GT(entry(0)->outerRect().width(), QFontMetrics(chart->legend->font()).horizontalAdvance("SV A [1]"));
    const QColor colour = entry(3)->textColor();
    click(entry(3)->outerRect().center());
    EXPECT_FALSE(shown(3));
    EXPECT_NE(entry(3)->textColor(), colour) << "a hidden trace's entry is greyed";
    EXPECT_FALSE(chart->graph(3)->visible());
    EXPECT_TRUE(shown(2) && shown(4));
    EXPECT_TRUE(chart->isLive()) << "a click on the legend scrolls nothing";
    chart->replot(QCustomPlot::rpImmediateRefresh);
    click(entry(3)->outerRect().center());
    EXPECT_TRUE(shown(3));
    EXPECT_EQ(entry(3)->textColor(), colour);

    ASSERT_EQ(rt.SetStripChartLegend(main, CHART_STRIPCHART, false), 0);
    EXPECT_FALSE(chart->legend->visible());
}

TEST_F(ChartTraces, SeveralTracesExportAsTheLogOfSeveralControllersAndReadBack)
{
    // Two traces: the one-controller log, as before.
    plot({25, 24.8});
    const std::string two = chart->csvText(false, "\n");
    EXPECT_EQ(two.substr(0, two.find('\n')), "  Date,       Time,     SV,    PV");

    ASSERT_EQ(setTraces({"SV Stage A [1]", "PV Stage A [1]", "SV [2]", "PV [2]", "SV oven, top", "PV oven, top"}), 0);
    plot({25, 24.8, 40, 39.5, 1, 2});
    plot({25.5, 25.0, kNaN, kNaN, 1, 2});
    plot({26, 25.2, 41, kNaN, 3, 4});  // half a reading cannot be written: none is
    const std::string text = chart->csvText(false, "\r\n");
    EXPECT_EQ(text.substr(0, text.find('\r')),
              "  Date,       Time,     SV Stage A [1], PV Stage A [1], SV [2], PV [2], SV oven  top [3], PV oven  top [3]");
    const monitor::LogReadResult read = monitor::ReadDataLog(text);
    EXPECT_EQ(read.skipped, 0u);
    EXPECT_EQ(read.dataLines, 4u);
    ASSERT_EQ(read.series.size(), 3u);
    EXPECT_EQ(read.series[0].label, "Stage A");
    EXPECT_EQ(read.series[0].address, 1);
    ASSERT_EQ(read.series[0].points.size(), 3u);  // the first point was before the traces had these names
    EXPECT_DOUBLE_EQ(read.series[0].points[1].sv, 25.5);
    EXPECT_DOUBLE_EQ(read.series[0].points[2].pv, 25.2);
    EXPECT_DOUBLE_EQ(read.series[0].points[2].t, chart->times()[3]);
    ASSERT_EQ(read.series[1].points.size(), 1u);
    EXPECT_DOUBLE_EQ(read.series[1].points[0].pv, 39.5);
    EXPECT_EQ(read.series[2].points.size(), 3u);

    // Two pairs that name the same controller still make a log that reads back as two.
    ASSERT_EQ(setTraces({"SV a, [1]", "PV a, [1]", "SV a [1]", "PV a [1]"}), 0);
    plot({1, 2, 3, 4});
    const monitor::LogReadResult twice = monitor::ReadDataLog(chart->csvText(false, "\n"));
    ASSERT_EQ(twice.series.size(), 2u);
    EXPECT_EQ(twice.series[1].label, "a (2)");
    EXPECT_DOUBLE_EQ(twice.series[1].points.back().pv, 4);

    // In view only: the points the view shows.
    chart->showTimeRange(chart->times()[2] - 0.5, chart->times()[3] + 0.5);  // clamped to 5 s
    EXPECT_EQ(monitor::ReadDataLog(chart->csvText(true, "\n")).dataLines, 2u);
}
