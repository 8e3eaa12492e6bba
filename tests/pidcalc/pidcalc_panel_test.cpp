// The PID calculator panel: indicators, the seven lines and their lifetime.
#include "pidcalc/pidcalc.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <qcustomplot.h>

#include <vector>

namespace {

struct Line {
    double x1, y1, x2, y2;
    int rgb;
};

struct PidRig : TestRig {
    PidRig() : TestRig(sim::Config{}, true) {}
    int pid() const { return app.panels.pidhelp; }
    QCustomPlot* graph() const { return qobject_cast<QCustomPlot*>(rt.controlWidget(pid(), PIDHELP_GRAPH)); }
    std::vector<Line> lines() const
    {
        std::vector<Line> out;
        QCustomPlot* g = graph();
        for (int i = 0; g && i < g->itemCount(); ++i)
            if (auto* l = qobject_cast<QCPItemLine*>(g->item(i)))
                out.push_back({l->start->coords().x(), l->start->coords().y(), l->end->coords().x(),
                               l->end->coords().y(), static_cast<int>(l->pen().color().rgb() & 0xFFFFFF)});
        return out;
    }
    void setMain(double hi, double lo, double sv, int set, double p, double t5)
    {
        rt.SetCtrlVal(parm(), PARM_RANGE_HI, hi);
        rt.SetCtrlVal(parm(), PARM_RANGE_LO, lo);
        rt.SetCtrlVal(parm(), PARM_SV, sv);
        rt.SetCtrlVal(parm(), PARM_PID_P(set), p);
        rt.SetCtrlVal(parm(), PARM_PID_T5(set), t5);
    }
    void open(int set) { rt.FireEvent(parm(), PARM_PID1_HELP + (set - 1), rt::EVENT_COMMIT); }
};

void ExpectLines(const std::vector<Line>& got, std::size_t from, const std::vector<double>& ys)
{
    const int colours[] = {rt::VAL_YELLOW, rt::VAL_RED, rt::VAL_RED, rt::VAL_CYAN,
                           rt::VAL_CYAN,   rt::VAL_MAGENTA, rt::VAL_MAGENTA};
    ASSERT_GE(got.size(), from + 7);
    for (std::size_t i = 0; i < 7; ++i) {
        const Line& l = got[from + i];
        EXPECT_DOUBLE_EQ(l.x1, 1.0);
        EXPECT_DOUBLE_EQ(l.x2, 10.0);
        EXPECT_NEAR(l.y1, ys[i], 1e-4) << "line " << i + 1;
        EXPECT_NEAR(l.y2, ys[i], 1e-4) << "line " << i + 1;
        EXPECT_EQ(l.rgb, colours[i]) << "line " << i + 1;
    }
}

// Every line lies inside the axes, clear of their ends.
void ExpectAxesShowEveryLine(const PidRig& rig)
{
    QCustomPlot* g = rig.graph();
    ASSERT_NE(g, nullptr);
    const QCPRange x = g->xAxis->range();
    const QCPRange y = g->yAxis->range();
    for (const Line& l : rig.lines()) {
        for (double v : {l.x1, l.x2}) {
            EXPECT_GT(v, x.lower) << "x " << v;
            EXPECT_LT(v, x.upper) << "x " << v;
        }
        for (double v : {l.y1, l.y2}) {
            EXPECT_GT(v, y.lower) << "y " << v;
            EXPECT_LT(v, y.upper) << "y " << v;
        }
    }
}

} // namespace

TEST(PidCalcPanel, BandsAroundTheLastKnownSetValue)
{
    PidRig rig;
    rig.setMain(100, 0, 26.0, 1, 5.0, 50.0);  // panel SV edited, not sent
    rig.app.params.setValue = 25.0f;
    rig.open(1);
    EXPECT_TRUE(rig.rt.IsPanelVisible(rig.pid()));
    EXPECT_EQ(rig.intValue(rig.pid(), PIDHELP_SET), 1);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND1_A), 5.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND1_B), 5.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND2), 2.5, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_HI_A), 100.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_HI_B), 100.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_LO_A), 0.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_LO_B), 0.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_P), 5.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_T5), 50.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_SV), 26.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND1_UP), 30.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND1_DN), 20.0, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND2_UP), 27.5, 1e-6);
    EXPECT_NEAR(rig.value(rig.pid(), PIDHELP_BAND2_DN), 22.5, 1e-6);

    const auto lines = rig.lines();
    EXPECT_EQ(lines.size(), 7u);
    ExpectLines(lines, 0, {26.0, 100.0, 0.0, 30.0, 20.0, 27.5, 22.5});
    ExpectAxesShowEveryLine(rig);

    // Bands centred far outside the span still show, and so does the span.
    rig.app.params.setValue = 180.0f;
    rig.rt.FireEvent(rig.pid(), PIDHELP_UPDATE, rt::EVENT_COMMIT);
    ExpectLines(rig.lines(), 0, {26.0, 100.0, 0.0, 185.0, 175.0, 182.5, 177.5});
    ExpectAxesShowEveryLine(rig);
}

TEST(PidCalcPanel, DegenerateSpanAndZeroBand)
{
    PidRig rig;
    rig.app.params.setValue = 40.0f;
    rig.setMain(50, 50, 40, 3, 5.0, 50.0);
    rig.open(3);
    EXPECT_EQ(rig.intValue(rig.pid(), PIDHELP_SET), 3);
    ExpectLines(rig.lines(), 0, {40, 50, 50, 40, 40, 40, 40});
    // The graph still has a visible height when lines coincide.
    ExpectAxesShowEveryLine(rig);
    rig.setMain(40, 40, 40, 3, 5.0, 50.0);
    rig.rt.FireEvent(rig.pid(), PIDHELP_UPDATE, rt::EVENT_COMMIT);
    ExpectLines(rig.lines(), 0, {40, 40, 40, 40, 40, 40, 40});
    ExpectAxesShowEveryLine(rig);

    rig.setMain(200, -50, 40, 3, 0.0, 50.0);
    rig.rt.FireEvent(rig.pid(), PIDHELP_UPDATE, rt::EVENT_COMMIT);
    EXPECT_EQ(rig.value(rig.pid(), PIDHELP_BAND1_A), 0.0);
    EXPECT_EQ(rig.value(rig.pid(), PIDHELP_BAND2), 0.0);
    ExpectLines(rig.lines(), 0, {40, 200, -50, 40, 40, 40, 40});
}

TEST(PidCalcPanel, OpeningAddsLinesUpdateKeepsOnlyTheSelectedSet)
{
    PidRig rig;
    rig.app.params.setValue = 25.0f;
    rig.setMain(100, 0, 25, 1, 5.0, 50.0);
    rig.setMain(100, 0, 25, 2, 10.0, 20.0);
    rig.open(1);
    rig.open(2);
    auto lines = rig.lines();
    ASSERT_EQ(lines.size(), 14u);
    ExpectLines(lines, 0, {25, 100, 0, 30, 20, 27.5, 22.5});
    ExpectLines(lines, 7, {25, 100, 0, 35, 15, 27, 23});
    EXPECT_EQ(rig.intValue(rig.pid(), PIDHELP_SET), 2);
    ExpectAxesShowEveryLine(rig);

    rig.rt.FireEvent(rig.pid(), PIDHELP_UPDATE, rt::EVENT_COMMIT);
    lines = rig.lines();
    ASSERT_EQ(lines.size(), 7u);
    ExpectLines(lines, 0, {25, 100, 0, 35, 15, 27, 23});
    EXPECT_EQ(rig.app.pidSet, 2);

    // Closing empties the graph; the set is kept for the next update.
    rig.rt.FireEvent(rig.pid(), PIDHELP_EXIT, rt::EVENT_COMMIT);
    EXPECT_FALSE(rig.rt.IsPanelVisible(rig.pid()));
    EXPECT_TRUE(rig.lines().empty());
    rig.rt.FireEvent(rig.pid(), PIDHELP_UPDATE, rt::EVENT_COMMIT);
    ExpectLines(rig.lines(), 0, {25, 100, 0, 35, 15, 27, 23});
    EXPECT_TRUE(rig.wire().empty());
}

TEST(PidCalcPanel, HelpText)
{
    PidRig rig;
    rig.rt.FireEvent(rig.pid(), PIDHELP_UPDATE, rt::EVENT_RIGHT_CLICK);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.op.shown()[0].title, "<PID Calc> Help");
    EXPECT_EQ(rig.op.shown()[0].text, "The values CANNOT be changed in this window.\n\t\t\t\t\t\t  Change the value at the "
                                      "PID parameter window\n\t\t\t\t\t\t  then press 'Update' button to see the result.");
    EXPECT_TRUE(rig.lines().empty());
}
