// What the main window shows is what the controller holds: nothing before it
// is read, the unit read, the chart's reading of PV, the held value after a
// refused write, and no parameter file saved from values nobody read. Real
// panels (offscreen), scripted operator, simulated controller.
#include "support/rig.h"

#include "monitor/monitor.h"
#include "protocol/parameter_set.h"
#include "protocol/registers.h"
#include "rt/files.h"
#include "rt/widgets.h"

#include <gtest/gtest.h>

#include <QFile>

namespace {

const std::string kDash = "\u2014";

class Truth : public ::testing::Test {
protected:
    TestRig rig;
    App& app = rig.app;
    rt::Runtime& rt = rig.rt;

    int parm() const { return app.panels.parm; }
    std::string text(int panel, int control) const
    {
        std::string t;
        rt.GetCtrlVal(panel, control, &t);
        return t;
    }
    bool noValue(int panel, int control) const
    {
        int v = 0;
        EXPECT_EQ(rt.GetCtrlAttribute(panel, control, rt::ATTR_NO_VALUE, &v), 0) << control;
        return v != 0;
    }
    // The controller's register value of a temperature at its decimal point.
    std::uint16_t raw(double degrees) const
    {
        return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(degrees * app.params.tempScale)));
    }
    // The controller refuses the next n requests.
    void refuseNext(int n)
    {
        rig.sim->faults().exceptionCode = 3;
        rig.sim->faults().remaining = n;
    }
    bool fileExists(const std::string& name) const { return QFile::exists(QString::fromStdString(rig.path(name))); }
};

TEST_F(Truth, ANeverConnectedPanelShowsNoValueAndNoModel)
{
    for (int c : {PARM_PV, PARM_SV, PARM_ALARM_HIGH, PARM_RANGE_LO, PARM_SW_FILTER, PARM_OUTPUT_LEVEL, PARM_PID1_P,
                  PARM_PID2_I, PARM_PID4_D, PARM_PID3_BOUND, PARM_IDENT_LO}) {
        EXPECT_TRUE(noValue(parm(), c)) << c;
        EXPECT_EQ(text(parm(), c), kDash) << c << ": no unit and no number before a reading";
    }
    for (int c : {PARM_CF_UNIT, PARM_SENSOR_TYPE, PARM_DIR_REV, PARM_DECIMAL_PNT, PARM_CTRL_FUNC}) {
        EXPECT_TRUE(noValue(parm(), c)) << c;
        EXPECT_EQ(text(parm(), c), "") << c << ": no choice shown";
    }
    EXPECT_TRUE(noValue(app.panels.chart, CHART_PV));
    EXPECT_EQ(text(parm(), PARM_MODEL), "");
    EXPECT_FALSE(app.params.fromController());
}

TEST_F(Truth, ThePidBandsOfValuesNeverReadAreNotDrawn)
{
    const int help = app.panels.pidhelp;
    auto* graph = qobject_cast<rt::Graph*>(rt.controlWidget(help, PIDHELP_GRAPH));
    ASSERT_TRUE(graph);
    rt.Commit(parm(), PARM_PID2_HELP);
    EXPECT_TRUE(rt.IsPanelVisible(help));
    EXPECT_EQ(graph->lineCount(), 0);
    for (int c : {PIDHELP_BAND1_A, PIDHELP_BAND2, PIDHELP_SV, PIDHELP_HI_A})
        EXPECT_EQ(text(help, c), kDash) << c;
    rt.Commit(help, PIDHELP_EXIT);

    ASSERT_GE(rig.connect(), 0);
    rt.Commit(parm(), PARM_PID2_HELP);
    EXPECT_EQ(graph->lineCount(), 7);
    EXPECT_FALSE(noValue(help, PIDHELP_BAND1_A));
    EXPECT_NE(text(help, PIDHELP_BAND1_A), kDash);
}

TEST_F(Truth, AConnectedPanelShowsEveryValueWithItsUnit)
{
    ASSERT_GE(rig.connect(), 0);
    EXPECT_EQ(text(parm(), PARM_MODEL), "VEXAMAX");
    EXPECT_EQ(text(parm(), PARM_IDENT_LO), "35");
    EXPECT_FALSE(noValue(parm(), PARM_SV));
    EXPECT_FALSE(noValue(parm(), PARM_CF_UNIT));
    ASSERT_EQ(app.params.cfUnit, 0);
    for (int c : {PARM_SV, PARM_ALARM_HIGH, PARM_ALARM_LOW, PARM_RANGE_HI, PARM_RANGE_LO, PARM_REG30, PARM_PID1_BOUND})
        EXPECT_TRUE(QString::fromStdString(text(parm(), c)).endsWith(" \u00B0C")) << text(parm(), c);
    EXPECT_TRUE(noValue(app.panels.chart, CHART_SV)) << "the chart has read nothing yet";
    for (int n = 1; n <= 4; ++n) {
        EXPECT_TRUE(QString::fromStdString(text(parm(), PARM_PID_I(n))).endsWith(" s")) << text(parm(), PARM_PID_I(n));
        EXPECT_TRUE(QString::fromStdString(text(parm(), PARM_PID_D(n))).endsWith(" s")) << text(parm(), PARM_PID_D(n));
    }
    // The controller set to Fahrenheit (at its keypad): the next reading says so everywhere.
    rig.sim->setReg(tecreg::kCfUnit, 1);
    rt.Commit(parm(), PARM_READ_ALL);
    EXPECT_TRUE(QString::fromStdString(text(parm(), PARM_SV)).endsWith(" \u00B0F")) << text(parm(), PARM_SV);
    rt.Commit(parm(), PARM_PV_READ, 1);
    rt.Tick(parm(), PARM_PV_TIMER);
    EXPECT_TRUE(QString::fromStdString(text(parm(), PARM_PV)).endsWith(" \u00B0F")) << text(parm(), PARM_PV);
    EXPECT_TRUE(QString::fromStdString(text(app.panels.script, SCRIPT_SV(1))).endsWith(" \u00B0F"));
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST_F(Truth, AModelF0ControllerIsNamedVexa)
{
    rig.sim->setReg(0x1F00, 0xF023);
    ASSERT_GE(rig.connect(), 0);
    EXPECT_EQ(text(parm(), PARM_MODEL), "VEXA");
}

TEST_F(Truth, ARefusedIdentificationLeavesNoModelShown)
{
    ASSERT_GE(rig.connect(), 0);
    rig.sim->setReg(0x1F00, 0x0023);
    EXPECT_LT(rig.connect(), 0);
    EXPECT_EQ(text(parm(), PARM_MODEL), "");
    EXPECT_TRUE(noValue(parm(), PARM_IDENT_LO));
}

TEST_F(Truth, WhileTheChartPollsTheMainPanelShowsItsPv)
{
    ASSERT_GE(rig.connect(), 0);
    rt.Commit(parm(), PARM_OPEN_CHART);
    rt.Commit(app.panels.chart, CHART_PLOT, 1);
    for (double pv : {31.5, 36.2, 39.9}) {
        rig.sim->setReg(monitor::kPvRegister, raw(pv));
        rig.clock.advance(1.0);
        rig.clearWire();
        rt.Tick(app.panels.chart, CHART_TIMER);
        EXPECT_EQ(rig.wire().size(), 2u) << "the chart's two reads, nothing more";
        EXPECT_NEAR(rig.value(parm(), PARM_PV), pv, 0.051);
        EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_PV), rig.value(app.panels.chart, CHART_PV));
        EXPECT_FALSE(rig.dimmed(parm(), PARM_PV)) << "a live reading is not greyed";
    }
    rt.Commit(app.panels.chart, CHART_PLOT, 0);
    EXPECT_TRUE(rig.dimmed(parm(), PARM_PV)) << "nothing reads PV any more";
}

TEST_F(Truth, ARefusedOrUnansweredSetValueGoesBackToTheHeldOne)
{
    ASSERT_GE(rig.connect(), 0);
    const double held = rig.value(parm(), PARM_SV);
    rt.SetCtrlVal(parm(), PARM_SV, 999.0);
    rt.Commit(parm(), PARM_SV_SEND);
    EXPECT_EQ(rig.op.count("Parameter Error"), 1);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), held);
    EXPECT_FLOAT_EQ(app.params.setValue, static_cast<float>(held));

    rig.sim->faults().silent = true;
    rt.SetCtrlVal(parm(), PARM_SV, held + 5.0);
    rt.Commit(parm(), PARM_SV_SEND);
    EXPECT_EQ(rig.op.count("Controller Not Answering"), 1);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), held);
    rig.sim->faults().silent = false;

    // Taken: the field keeps the new value.
    rt.SetCtrlVal(parm(), PARM_SV, held + 5.0);
    rt.Commit(parm(), PARM_SV_SEND);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), held + 5.0);
    EXPECT_EQ(rig.sim->reg(tecreg::kSetValue), raw(held + 5.0));
}

TEST_F(Truth, RefusedSensorFieldsAndChoicesGoBackAndTheTakenOnesStay)
{
    ASSERT_GE(rig.connect(), 0);
    const double rangeHigh = rig.value(parm(), PARM_RANGE_HI);
    const double rangeLow = rig.value(parm(), PARM_RANGE_LO);
    rt.SetCtrlVal(parm(), PARM_RANGE_HI, rangeHigh - 10.0);
    rt.SetCtrlVal(parm(), PARM_RANGE_LO, rangeLow + 1.0);
    // The first write of the seven (range high) is refused, the others taken.
    refuseNext(1);
    rt.Commit(parm(), PARM_SENSOR_UPDATE);
    EXPECT_EQ(rig.op.count("Parameter Refused"), 1);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_RANGE_HI), rangeHigh);
    EXPECT_FLOAT_EQ(app.params.rangeHigh, static_cast<float>(rangeHigh));
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_RANGE_LO), rangeLow + 1.0);

    // A unit the controller refuses: the selector shows the one it holds.
    refuseNext(1);
    rt.Commit(parm(), PARM_CF_UNIT, 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_CF_UNIT), 0);
    EXPECT_EQ(app.params.cfUnit, 0);
    EXPECT_TRUE(QString::fromStdString(text(parm(), PARM_SV)).endsWith(" \u00B0C"));

    // An alarm switch whose four mode writes are all refused.
    const int alarmSwitch = rig.intValue(parm(), PARM_ALARM_SW);
    refuseNext(4);
    rt.Commit(parm(), PARM_ALARM_SW, alarmSwitch ? 0 : 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_SW), alarmSwitch);
    EXPECT_EQ(app.params.alarmWatch, alarmSwitch);

    // A PID set whose P is refused: that term goes back, the rest of the update stays.
    const double p1 = rig.value(parm(), PARM_PID1_P);
    rt.SetCtrlVal(parm(), PARM_PID1_P, p1 + 1.0);
    rt.SetCtrlVal(parm(), PARM_PID2_I, 77);
    refuseNext(2);  // set 1: its boundary, then P
    rt.Commit(parm(), PARM_PID_UPDATE);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_PID1_P), p1);
    EXPECT_EQ(rig.intValue(parm(), PARM_PID2_I), 77);
    EXPECT_EQ(app.params.pidI[1], 77);
}

TEST_F(Truth, AFieldNeverReadIsNotSent)
{
    ASSERT_GE(rig.connect(), 0);
    rt.SetCtrlAttribute(parm(), PARM_REG31, rt::ATTR_NO_VALUE, 1);
    rig.clearWire();
    rt.Commit(parm(), PARM_SENSOR_UPDATE);
    EXPECT_EQ(rig.op.count("Value Not Read"), 1);
    EXPECT_TRUE(rig.wire().empty());
    // The operator's own value is sent.
    rt.SetCtrlVal(parm(), PARM_REG31, 12.0);
    rt.Commit(parm(), PARM_SENSOR_UPDATE);
    EXPECT_EQ(rig.wire().size(), 7u);
}

TEST_F(Truth, SaveIsRefusedUntilEverythingWasReadFromTheController)
{
    rig.op.queueFile(2, rig.path("saved.prm"));
    rt.Commit(parm(), PARM_SAVE_FILE);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.op.shown()[0].kind, "message") << "told before any file is asked for";
    EXPECT_EQ(rig.op.shown()[0].title, "Nothing to Save");
    EXPECT_NE(rig.op.shown()[0].text.find("Read all"), std::string::npos);
    EXPECT_FALSE(fileExists("saved.prm"));

    ASSERT_GE(rig.connect(), 0);
    rig.op.clear();
    rt.Commit(parm(), PARM_SAVE_FILE);  // the queued answer is used now
    EXPECT_TRUE(fileExists("saved.prm"));
    EXPECT_EQ(rig.op.count("Nothing to Save"), 0);

    // A file loaded but not written (the controller fell silent): the panel
    // holds the file's values, which are not the controller's.
    rig.op.queueFile(1, rig.path("saved.prm"));
    rig.sim->faults().silent = true;
    rt.Commit(parm(), PARM_LOAD_FILE);
    EXPECT_FALSE(app.params.fromController());
    rig.op.clear();
    rig.op.queueFile(2, rig.path("other.prm"));
    rt.Commit(parm(), PARM_SAVE_FILE);
    EXPECT_EQ(rig.op.count("Nothing to Save"), 1);
    EXPECT_FALSE(fileExists("other.prm"));
}

} // namespace
