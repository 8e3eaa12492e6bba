// Strip chart scrolling, point cap and Y scale; graph lines and rescaling.
#include "rt_fixture.h"
#include "rt/widgets.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

namespace {
// Points i = from..to-1 (SV i, PV i + 0.5), the clock moving `every` seconds after each.
void plotPoints(rt::Runtime& rt, io::VirtualClock& clock, int panel, int from, int to, double every = 2.0)
{
    for (int i = from; i < to; ++i) {
        const float sv_pv[2] = {static_cast<float>(i), static_cast<float>(i) + 0.5f};
        ASSERT_EQ(rt.PlotStripChart(panel, CHART_STRIPCHART, sv_pv, 2, 0, 0, rt::VAL_FLOAT), 0);
        clock.advance(every);
    }
}

QCPRange xRange(rt::Runtime& rt, int panel)
{
    int mode = -1;
    double lo = 0, hi = 0;
    EXPECT_EQ(rt.GetAxisScalingMode(panel, CHART_STRIPCHART, 0, &mode, &lo, &hi), 0);
    return {lo, hi};
}
} // namespace

// Each point sits at the local time it was plotted; live, the view is the
// last `pointsPerScreen` points at the X increment, starting at the first
// point until that many have come.
TEST_F(RtFixture, StripChartPlotsEachPointAtItsClockTime)
{
    auto* chart = qobject_cast<rt::StripChart*>(rt.controlWidget(main, CHART_STRIPCHART));
    ASSERT_EQ(chart->traceCount(), 2);
    EXPECT_EQ(chart->graph(0)->name(), QStringLiteral("SV"));
    EXPECT_EQ(chart->graph(1)->pen().color(), QColor(0x00, 0xc8, 0x53));
    EXPECT_TRUE(chart->legend->visible());
    EXPECT_EQ(attr(CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN), 50);
    double inc = 0;
    rt.GetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, &inc);
    EXPECT_DOUBLE_EQ(inc, 2.0);

    const double t0 = rt.CivilNow();
    // The virtual clock starts at 2023-11-14 22:13:20 UTC; the local time is
    // that plus the zone's offset, a whole number of minutes.
    EXPECT_EQ(std::fmod(t0 - 1700000000.0, 60.0), 0.0);
    plotPoints(rt, clock, main, 0, 10);
    EXPECT_EQ(rt.StripChartPointCount(main, CHART_STRIPCHART), 10);
    EXPECT_DOUBLE_EQ(xRange(rt, main).lower, t0);
    EXPECT_DOUBLE_EQ(xRange(rt, main).upper, t0 + 49 * 2.0);
    EXPECT_DOUBLE_EQ(chart->times().back(), t0 + 18.0);
    EXPECT_DOUBLE_EQ(chart->values(1).back(), 9.5);

    plotPoints(rt, clock, main, 10, 110);
    EXPECT_DOUBLE_EQ(xRange(rt, main).upper, t0 + 218.0);
    EXPECT_DOUBLE_EQ(xRange(rt, main).lower, t0 + 120.0);

    const double both[2] = {1.25, 2.5};
    ASSERT_EQ(rt.PlotStripChart(main, CHART_STRIPCHART, both, 2, 0, 0, rt::VAL_DOUBLE), 0);
    EXPECT_DOUBLE_EQ(chart->values(0).back(), 1.25);
    EXPECT_EQ(rt.PlotStripChart(main, CHART_STRIPCHART, both, 2, 0, 0, 99), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.PlotStripChart(main, CHART_STRIPCHART, both, 1, 0, 0, rt::VAL_DOUBLE), rt::RT_ERR_BAD_ARGUMENT);
    // The clock set back: the point is kept, at the newest time, never before it.
    clock.advance(2);
    ASSERT_EQ(rt.PlotStripChart(main, CHART_STRIPCHART, both, 2, 0, 0, rt::VAL_DOUBLE), 0);
    chart->addPoint({7, 8}, t0);
    EXPECT_DOUBLE_EQ(chart->times().back(), t0 + 222.0);

    // A new X increment or span changes the width of the live window; points stay where they are.
    ASSERT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, 0.5), 0);
    ASSERT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, 11), 0);
    EXPECT_DOUBLE_EQ(xRange(rt, main).lower, t0 + 222.0 - 5.0);
    EXPECT_DOUBLE_EQ(chart->times()[1], t0 + 2.0);
    EXPECT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, 0), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, 0.0), rt::RT_ERR_BAD_ARGUMENT);

    ASSERT_EQ(rt.ClearStripChart(main, CHART_STRIPCHART), 0);
    EXPECT_EQ(rt.StripChartPointCount(main, CHART_STRIPCHART), 0);
    clock.advance(100);
    plotPoints(rt, clock, main, 0, 1);
    EXPECT_DOUBLE_EQ(xRange(rt, main).lower, t0 + 322.0);
}

TEST_F(RtFixture, StripChartYScale)
{
    int mode = -1;
    double lo = 0, hi = 0;
    ASSERT_EQ(rt.GetAxisScalingMode(main, CHART_STRIPCHART, 1, &mode, &lo, &hi), 0);
    EXPECT_EQ(mode, 0);
    EXPECT_DOUBLE_EQ(lo, -10);
    EXPECT_DOUBLE_EQ(hi, 150);
    ASSERT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 0, 20, 80), 0);
    rt.GetAxisScalingMode(main, CHART_STRIPCHART, 1, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(lo, 20);
    EXPECT_DOUBLE_EQ(hi, 80);
    // An empty or inverted range is refused and the scale kept.
    EXPECT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 0, 80, 20), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 0, 5, 5), rt::RT_ERR_BAD_ARGUMENT);
    rt.GetAxisScalingMode(main, CHART_STRIPCHART, 1, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(lo, 20);
    EXPECT_DOUBLE_EQ(hi, 80);
    // Points outside the manual range do not move it.
    plotPoints(rt, clock, main, 500, 510);
    rt.GetAxisScalingMode(main, CHART_STRIPCHART, 1, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(hi, 80);
    EXPECT_EQ(rt.SetAxisScalingMode(main, PARM_SV, 1, 0, 0, 1), rt::RT_ERR_BAD_ARGUMENT);
}

TEST_F(RtFixture, StripChartRefusesWhatItCannotShowInsteadOfShowingSomethingElse)
{
    // The limits agree with the plotting library's own: a range it would
    // silently ignore is refused, and one it keeps is accepted.
    const double ends[] = {-1e308, -1e250, -2e249, -1e6, -1, 0, 1e-300, 1e-281, 1e-279, 1, 1e6, 2e249, 1e250, 1e308};
    for (double lo : ends) {
        for (double hi : ends) {
            if (lo < hi) {
                EXPECT_EQ(rt::StripChartRangeShowable(lo, hi), QCPRange::validRange(lo, hi)) << lo << " .. " << hi;
            }
        }
    }
    ASSERT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 0, 20, 80), 0);
    for (const auto& [lo, hi] : std::vector<std::pair<double, double>>{{-1e308, 1e308}, {0, 1e-300}, {-1e300, 0}}) {
        EXPECT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 0, lo, hi), rt::RT_ERR_BAD_ARGUMENT) << lo;
        int mode = -1;
        double a = 0, b = 0;
        rt.GetAxisScalingMode(main, CHART_STRIPCHART, 1, &mode, &a, &b);
        EXPECT_EQ(a, 20);
        EXPECT_EQ(b, 80);
    }
    // A span beyond the points the chart holds is refused, not clamped.
    ASSERT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, 500), 0);
    for (double bad : {2147483647.0, rt::kStripChartMaxPoints + 1.0, 0.0, -3.0, 1e300}) {
        EXPECT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, bad), rt::RT_ERR_BAD_ARGUMENT)
            << bad;
        int points = 0;
        rt.GetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, &points);
        EXPECT_EQ(points, 500);
    }
    EXPECT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, rt::kStripChartMaxPoints), 0);
}

// A week at one point a second is kept; beyond it the oldest go, a chunk at once.
TEST_F(RtFixture, StripChartHoldsAWeekAndThenDropsTheOldest)
{
    auto* chart = qobject_cast<rt::StripChart*>(rt.controlWidget(main, CHART_STRIPCHART));
    const int total = rt::StripChart::kKeepPoints + 3 * rt::StripChart::kDropChunk + 7;
    for (int i = 0; i < total; ++i)
        chart->addPoint({static_cast<double>(i), static_cast<double>(-i)}, 1000.0 + i);
    const int held = rt.StripChartPointCount(main, CHART_STRIPCHART);
    EXPECT_GE(held, rt::StripChart::kKeepPoints);
    EXPECT_LE(held, rt::StripChart::kKeepPoints + rt::StripChart::kDropChunk);
    EXPECT_EQ(static_cast<int>(chart->values(1).size()), held);
    // The newest points are kept, the oldest dropped.
    EXPECT_DOUBLE_EQ(chart->values(0).back(), total - 1);
    EXPECT_DOUBLE_EQ(chart->values(0).front(), total - held);
    EXPECT_DOUBLE_EQ(chart->values(1).front(), -(total - held));
    EXPECT_DOUBLE_EQ(chart->times().front(), 1000.0 + total - held);
}

TEST_F(RtFixture, GraphLinesRescaleAxesWithMargin)
{
    auto* graph = qobject_cast<rt::Graph*>(rt.controlWidget(main, PIDHELP_GRAPH));
    const int a = rt.PlotLine(main, PIDHELP_GRAPH, 0, 0, 10, 20, rt::VAL_YELLOW);
    const int b = rt.PlotLine(main, PIDHELP_GRAPH, 100, -50, 100, 50, rt::VAL_RED);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, a);
    EXPECT_EQ(graph->lineCount(), 2);
    int mode = 0;
    double lo = 0, hi = 0;
    rt.GetAxisScalingMode(main, PIDHELP_GRAPH, 0, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(lo, -10);  // 10 % of the 0..100 span
    EXPECT_DOUBLE_EQ(hi, 110);
    rt.GetAxisScalingMode(main, PIDHELP_GRAPH, 1, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(lo, -60);
    EXPECT_DOUBLE_EQ(hi, 60);

    // A single point-like line still gets at least one unit of margin.
    ASSERT_EQ(rt.DeleteGraphPlot(main, PIDHELP_GRAPH, b, 0), 0);
    ASSERT_EQ(rt.DeleteGraphPlot(main, PIDHELP_GRAPH, a, 0), 0);
    rt.PlotLine(main, PIDHELP_GRAPH, 5, 5, 5.5, 5, rt::VAL_CYAN);
    rt.GetAxisScalingMode(main, PIDHELP_GRAPH, 1, &mode, &lo, &hi);
    EXPECT_DOUBLE_EQ(lo, 4);
    EXPECT_DOUBLE_EQ(hi, 6);
    EXPECT_EQ(graph->lineCount(), 1);

    EXPECT_EQ(rt.DeleteGraphPlot(main, PIDHELP_GRAPH, -1, 1), 0);
    EXPECT_EQ(graph->lineCount(), 0);
    EXPECT_EQ(graph->itemCount(), 0);
    EXPECT_EQ(rt.DeleteGraphPlot(main, PIDHELP_GRAPH, a, 1), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.PlotLine(main, CHART_STRIPCHART, 0, 0, 1, 1, rt::VAL_RED), rt::RT_ERR_BAD_ARGUMENT);
}

// A day of points on screen at once, smooth and as noisy as a loose sensor
// lead makes them: the redraw stays a small part of a one-second tick. The
// bound only catches a redraw that draws every point (seconds); the chart
// benchmark holds the real figure, which a loaded or sanitized build misses.
TEST_F(RtFixture, StripChartRedrawsADayOfNoisyDataQuickly)
{
    auto* chart = qobject_cast<rt::StripChart*>(rt.controlWidget(main, CHART_STRIPCHART));
    rt.DisplayPanel(main);
    rt.panelWidget(main)->resize(900, 600);
    chart->resize(800, 400);
    constexpr int kDay = 86400;
    ASSERT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, 1.0), 0);
    ASSERT_EQ(rt.SetCtrlAttribute(main, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, kDay), 0);
    ASSERT_EQ(rt.SetAxisScalingMode(main, CHART_STRIPCHART, 1, 0, -10, 150), 0);
    struct DataSet {
        const char* name;
        double (*pv)(int i);
    } sets[] = {
        {"smooth", [](int i) { return 25.0 + 20.0 * std::sin(i / 3000.0); }},
        {"noisy", [](int i) { return 60.0 + 50.0 * (((i * 7919) % 101) / 101.0 - 0.5); }},
        {"spikes", [](int i) { return (i % 2) ? 140.0 : -5.0; }},
    };
    for (const DataSet& set : sets) {
        ASSERT_EQ(rt.ClearStripChart(main, CHART_STRIPCHART), 0);
        std::vector<double> p(2);
        for (int i = 0; i < kDay; ++i) {
            p[0] = 25.0;
            p[1] = set.pv(i);
            chart->addPoint(p, i);
        }
        std::vector<qint64> ns;
        QElapsedTimer t;
        for (int i = 0; i < 9; ++i) {
            t.start();
            p[1] = set.pv(kDay + i);
            chart->addPoint(p, kDay + i);
            rt.ReplotNow(main, CHART_STRIPCHART);
            ns.push_back(t.nsecsElapsed());
        }
        std::nth_element(ns.begin(), ns.begin() + 4, ns.end());
        EXPECT_LT(ns[4], 250'000'000) << set.name << ": median redraw " << ns[4] / 1000 << " us";
    }
}
