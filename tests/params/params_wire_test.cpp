// The parameter operations against the simulated controller, through the real
// panels: what goes on the wire, what the panel shows, what the operator is told.
#include "support/rig.h"

#include "params/param_file.h"
#include "params/params.h"
#include "protocol/encoding.h"
#include "protocol/modbus.h"
#include "rt/files.h"

#include <qcustomplot.h>

#include <QComboBox>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// "R 002A 1" for a read, "W 001C 0008" for a write.
std::string Summary(const std::vector<std::uint8_t>& rq)
{
    char buf[32];
    const unsigned reg = static_cast<unsigned>(rq[2] << 8 | rq[3]);
    const unsigned word = static_cast<unsigned>(rq[4] << 8 | rq[5]);
    if (rq[1] == 0x03)
        std::snprintf(buf, sizeof buf, "R %04X %u", reg, word);
    else
        std::snprintf(buf, sizeof buf, "W %04X %04X", reg, word);
    return buf;
}

std::vector<std::string> Wire(const TestRig& rig)
{
    std::vector<std::string> out;
    for (const auto& rq : rig.wire())
        out.push_back(Summary(rq));
    return out;
}

// Popups the operator saw, file dialogs left out.
std::vector<rt::ScriptedOperator::Shown> Messages(const TestRig& rig)
{
    std::vector<rt::ScriptedOperator::Shown> out;
    for (const auto& s : rig.op.shown())
        if (s.kind != "file")
            out.push_back(s);
    return out;
}

int Attr(TestRig& rig, int panel, int control, int attribute)
{
    int v = -1;
    rig.rt.GetCtrlAttribute(panel, control, attribute, &v);
    return v;
}

bool TimerOn(TestRig& rig, int control)
{
    return Attr(rig, rig.parm(), control, rt::ATTR_ENABLED) == 1;
}

struct Connected : ::testing::Test {
    TestRig rig;
    void SetUp() override
    {
        ASSERT_GE(rig.connect(), 0);
        ASSERT_EQ(rig.app.bus.portOpen, 1);
        // A known controller, whatever its factory settings.
        const std::uint16_t pid[23] = {80, 40, 6, 1000, 500, 200, 70, 40, 6, 1000, 500, 600,
                                       60, 35, 5, 1000, 500, 1000, 50, 30, 5, 1000, 500};
        for (int i = 0; i < 23; ++i)
            rig.sim->setReg(static_cast<std::uint16_t>(0x0003 + i), pid[i]);
        const std::pair<std::uint16_t, std::int16_t> regs[] = {
            {0x002A, 31}, {0x0000, 250}, {0x0001, 0}, {0x0002, 0}, {0x001A, 800}, {0x001C, 7}, {0x0021, 100},
            {0x0028, 0},  {0x0029, 0},   {0x002B, 0}, {0x002C, -200}, {0x002D, 1500}, {0x0030, 0}, {0x0031, 0},
            {0x0032, 0},  {0x005F, 1},   {0x1000, 250}};
        for (const auto& [r, v] : regs)
            rig.sim->setReg(r, static_cast<std::uint16_t>(v));
        ASSERT_TRUE(params::ReadAllParameters(rig.app));
        rig.clearWire();
        rig.op.clear();
    }
    int parm() { return rig.parm(); }
    void commit(int control) { rig.rt.Commit(parm(), control); }
};

const std::vector<std::string> kReadHead = {
    "R 002A 1", "R 0000 1", "R 001A 1", "R 0021 1", "R 0001 1", "R 0002 1", "R 0003 6", "R 0009 6",
    "R 000F 6", "R 0015 5", "R 0028 1", "R 0030 1", "R 0031 1", "R 002B 1", "R 0029 1", "R 002C 1",
    "R 002D 1", "R 0032 1", "R 001C 1",
};

// ---- read all ----

TEST_F(Connected, ReadAllOrderCountsAndPanel)
{
    commit(PARM_READ_ALL);
    std::vector<std::string> expected = kReadHead;
    for (const char* w : {"W 001C 0007", "W 0023 0007", "W 0020 0014", "W 0027 0014", "R 005F 1"})
        expected.push_back(w);
    EXPECT_EQ(Wire(rig), expected);
    EXPECT_TRUE(Messages(rig).empty());

    const ParameterSet& p = rig.app.params;
    EXPECT_EQ(p.decimalPnt, 31);
    EXPECT_EQ(p.tempScale, 10.0f);
    EXPECT_FLOAT_EQ(p.setValue, 25.0f);
    EXPECT_FLOAT_EQ(p.alarmHigh, 80.0f);
    EXPECT_FLOAT_EQ(p.rangeLow, -20.0f);
    EXPECT_FLOAT_EQ(p.pidP[3], 5.0f);
    EXPECT_EQ(p.pidI[2], 35);
    EXPECT_FLOAT_EQ(p.pidT4[0], 100.0f);
    EXPECT_FLOAT_EQ(p.pidBound[1], 60.0f);
    EXPECT_EQ(p.alarmWatch, 0);
    EXPECT_EQ(p.keypadValue, 1);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), 25.0);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_PID3_BOUND), 100.0);
    EXPECT_EQ(rig.intValue(parm(), PARM_PID4_I), 30);
    EXPECT_EQ(rig.intValue(rig.app.panels.debug, DEBUG_KEYPAD), 1);
    EXPECT_EQ(Attr(rig, parm(), PARM_SV, rt::ATTR_PRECISION), 1);
    // Alarm switch off: the alarm values and indicator are dimmed.
    EXPECT_TRUE(rig.dimmed(parm(), PARM_ALARM_HIGH));
    EXPECT_TRUE(rig.dimmed(parm(), PARM_ALARM_LED));
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
}

TEST_F(Connected, ReadAllWithAlarmSwitchOnReadsTheStatus)
{
    rig.sim->setReg(0x001C, 8);
    rig.sim->setReg(0x1000, 900);  // 90.0 degrees: above the high alarm
    commit(PARM_READ_ALL);
    std::vector<std::string> expected = kReadHead;
    for (const char* w : {"W 001C 0008", "W 0023 0009", "W 0020 0015", "W 0027 0015", "R 1003 1", "R 005F 1"})
        expected.push_back(w);
    EXPECT_EQ(Wire(rig), expected);
    EXPECT_EQ(rig.app.params.alarmWatch, 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_SW), 1);
    EXPECT_FALSE(rig.dimmed(parm(), PARM_ALARM_HIGH));
    EXPECT_FALSE(rig.dimmed(parm(), PARM_ALARM_LED));
    EXPECT_EQ(rig.app.alarmStatus, 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_LED), 1);
}

TEST_F(Connected, DecimalPoint30ShowsWholeNumbers)
{
    rig.sim->setReg(0x002A, 30);
    commit(PARM_READ_ALL);
    EXPECT_EQ(rig.app.params.tempScale, 1.0f);
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 250.0f);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), 250.0);
    for (int c : {PARM_SV, PARM_PV, PARM_ALARM_LOW, PARM_RANGE_HI, PARM_REG31})
        EXPECT_EQ(Attr(rig, parm(), c, rt::ATTR_PRECISION), 0) << c;
    EXPECT_EQ(Attr(rig, rig.app.panels.chart, CHART_SV, rt::ATTR_PRECISION), 0);
    EXPECT_EQ(Attr(rig, rig.app.panels.script, SCRIPT_SV(8), rt::ATTR_PRECISION), 0);
    EXPECT_EQ(Attr(rig, rig.app.panels.script, SCRIPT_TOL_BAND, rt::ATTR_PRECISION), 0);
}

struct FunctionCase {
    int f;
    int tuneTimer;  // -1: unchanged
    int mode620;
    int outputSetDimmed;
};

class ReadAllFunction : public Connected, public ::testing::WithParamInterface<FunctionCase> {};

TEST_P(ReadAllFunction, ControlFunctionStep)
{
    const FunctionCase& c = GetParam();
    // A distinctive state before the pass, so that "unchanged" shows.
    rig.rt.SetCtrlAttribute(parm(), PARM_TUNE_TIMER, rt::ATTR_ENABLED, 1);
    rig.rt.SetCtrlAttribute(parm(), PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE, 1);
    rig.rt.SetCtrlAttribute(parm(), PARM_OUTPUT_SET, rt::ATTR_DIMMED, 0);
    rig.rt.SetCtrlVal(parm(), PARM_CTRL_LED, 0);
    rig.sim->setReg(0x0002, static_cast<std::uint16_t>(c.f));
    commit(PARM_READ_ALL);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), c.f);
    EXPECT_EQ(Attr(rig, parm(), PARM_TUNE_TIMER, rt::ATTR_ENABLED), c.tuneTimer < 0 ? 1 : c.tuneTimer);
    EXPECT_EQ(Attr(rig, parm(), PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE), c.mode620 < 0 ? 1 : c.mode620);
    EXPECT_EQ(rig.dimmed(parm(), PARM_OUTPUT_SET), c.outputSetDimmed < 0 ? false : c.outputSetDimmed == 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), c.f == 0 ? 0 : 1);
    if (c.f == 3) {  // editable exactly when it can be sent
        EXPECT_FALSE(rig.dimmed(parm(), PARM_OUTPUT_LEVEL));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReadAllFunction,
                         ::testing::Values(FunctionCase{0, 0, 0, 1}, FunctionCase{1, 1, 0, 1}, FunctionCase{3, 0, 1, 0},
                                           FunctionCase{4, 0, 0, 1}, FunctionCase{2, -1, -1, -1},
                                           FunctionCase{5, -1, -1, -1}));

TEST_F(Connected, ReadAllKeepsTheWaitPopupOfItsCaller)
{
    rig.rt.InstallPopup(rig.app.panels.wait);
    rig.app.waitShown = 1;
    EXPECT_TRUE(params::ReadAllParameters(rig.app));
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
}

struct ReadFault {
    const char* name;
    void (*apply)(sim::Faults&);
};

class ReadAllFault : public Connected, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(ReadAllFault, StopsAtFirstBadAnswerAndSendsNothing)
{
    rig.app.params.setValue = 12.5f;
    rig.app.params.decimalPnt = 31;
    rig.app.params.tempScale = 10.0f;
    GetParam().apply(rig.sim->faults());
    const double start = rig.clock.now();
    EXPECT_FALSE(params::ReadAllParameters(rig.app));
    EXPECT_LT(rig.clock.now() - start, 1.5);
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"R 002A 1"});
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Controller Not Answering");
    EXPECT_NE(Messages(rig)[0].text.find("0x002A"), std::string::npos) << Messages(rig)[0].text;
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 12.5f);
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadAllFault,
    ::testing::Values(ReadFault{"silent", [](sim::Faults& f) { f.silent = true; }},
                      ReadFault{"badCrc", [](sim::Faults& f) { f.badCrc = true; }},
                      ReadFault{"short", [](sim::Faults& f) { f.shortBy = 2; }},
                      ReadFault{"standard", [](sim::Faults& f) { f.standardReadAnswer = true; }},
                      ReadFault{"refused", [](sim::Faults& f) { f.exceptionCode = 2; }}),
    [](const ::testing::TestParamInfo<ReadFault>& i) { return std::string(i.param.name); });

// ---- write all ----

TEST_F(Connected, WriteAllOrderTermByTerm)
{
    ParameterSet& p = rig.app.params;
    p.decimalPnt = 31;
    p.setValue = 25.0f;
    p.alarmHigh = 80.0f;
    p.alarmLow = -5.0f;
    p.alarmWatch = 0;
    p.pidI[2] = 300;
    p.pidI[3] = 7;
    p.sensorType = 0x0102;
    p.rangeLow = -20.0f;
    p.rangeHigh = 150.0f;
    p.swFilter = 9.9f;
    p.outputLevel = 12.3f;
    ASSERT_TRUE(params::WriteAllParameters(rig.app));
    const std::vector<std::string> w = Wire(rig);
    ASSERT_EQ(w.size(), 37u);
    std::vector<std::string> regs;
    for (const std::string& s : w)
        regs.push_back(s.substr(0, 6));
    const std::vector<std::string> expected = {
        "W 002A", "W 0000", "W 001A", "W 0021", "W 001C", "W 0023", "W 0020", "W 0027", "W 0001", "W 0003",
        "W 0009", "W 000F", "W 0015", "W 0004", "W 000A", "W 0010", "W 0016", "W 0005", "W 000B", "W 0011",
        "W 0017", "W 0006", "W 000C", "W 0012", "W 0018", "W 0007", "W 000D", "W 0013", "W 0019", "W 0028",
        "W 0030", "W 0031", "W 002B", "W 0029", "W 002C", "W 002D", "W 0032"};
    EXPECT_EQ(regs, expected);
    EXPECT_EQ(w[0], "W 002A 001F");
    EXPECT_EQ(w[1], "W 0000 00FA");
    EXPECT_EQ(w[3], "W 0021 FFCE");
    EXPECT_EQ(w[8], "W 0001 007B");
    EXPECT_EQ(w[15], "W 0010 012C");
    EXPECT_EQ(w[16], "W 0016 0007");
    EXPECT_EQ(w[29], "W 0028 0002");
    EXPECT_EQ(w[36], "W 0032 0063");
    EXPECT_TRUE(Messages(rig).empty());
}

TEST_F(Connected, WriteAllSendsTheDecimalPointFirstAndScalesByIt)
{
    ParameterSet& p = rig.app.params;
    ASSERT_EQ(p.tempScale, 10.0f);
    p.decimalPnt = 30;
    p.setValue = 25.0f;
    p.rangeLow = -20.0f;
    p.rangeHigh = 150.0f;
    ASSERT_TRUE(params::WriteAllParameters(rig.app));
    const std::vector<std::string> w = Wire(rig);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[0], "W 002A 001E");
    EXPECT_EQ(w[1], "W 0000 0019");
    EXPECT_EQ(p.tempScale, 1.0f);
    EXPECT_EQ(Attr(rig, parm(), PARM_SV, rt::ATTR_PRECISION), 0);
}

TEST_F(Connected, WriteAllWithSilentControllerStopsAtOnce)
{
    rig.sim->faults().silent = true;
    EXPECT_FALSE(params::WriteAllParameters(rig.app));
    EXPECT_EQ(Wire(rig).size(), 1u);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_NE(Messages(rig)[0].text.find("0x002A"), std::string::npos);
}

TEST_F(Connected, WriteAllRefusalsAreReportedOnceAtTheEnd)
{
    rig.app.params.setValue = 300.0f;  // outside the controller's range of -20..150
    rig.app.params.rangeLow = -20.0f;
    rig.app.params.rangeHigh = 150.0f;
    rig.app.params.decimalPnt = 31;
    EXPECT_TRUE(params::WriteAllParameters(rig.app));
    EXPECT_EQ(Wire(rig).size(), 37u);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Parameter Refused");
    EXPECT_NE(Messages(rig)[0].text.find("0x0000"), std::string::npos);
}

TEST_F(Connected, WriteAllRefusesOutOfRangeValuesBeforeSending)
{
    rig.app.params.decimalPnt = 31;
    rig.app.params.reg31 = 3276.8f;
    EXPECT_FALSE(params::WriteAllParameters(rig.app));
    EXPECT_TRUE(Wire(rig).empty());
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Value Out of Range");
}

// ---- set value ----

TEST_F(Connected, SetValueScaledAndRounded)
{
    rig.rt.SetCtrlVal(parm(), PARM_SV, 25.04);
    commit(PARM_SV_SEND);
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"W 0000 00FA"});
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 25.04f);
    EXPECT_TRUE(Messages(rig).empty());
}

TEST_F(Connected, SetValueRefusalShowsParameterError)
{
    const float held = rig.app.params.setValue;
    rig.rt.SetCtrlVal(parm(), PARM_SV, 200.0);  // above the range high of 150.0
    commit(PARM_SV_SEND);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Parameter Error");
    EXPECT_EQ(Messages(rig)[0].text, "The return byte has shown error!\nPlease check your Hi/Lo Limit.");
    // The record and the field keep what the controller holds.
    EXPECT_FLOAT_EQ(rig.app.params.setValue, held);
    EXPECT_FLOAT_EQ(static_cast<float>(rig.value(parm(), PARM_SV)), held);
    // A refusal in the short 5-byte form is the same refusal.
    rig.op.clear();
    rig.sim->faults().fiveByteException = true;
    rig.rt.SetCtrlVal(parm(), PARM_SV, 200.0);
    commit(PARM_SV_SEND);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Parameter Error");
}

TEST_F(Connected, SetValueOutsideTheRegisterIsNotSent)
{
    rig.rt.SetCtrlVal(parm(), PARM_SV, 3276.8);
    const float before = rig.app.params.setValue;
    commit(PARM_SV_SEND);
    EXPECT_TRUE(Wire(rig).empty());
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Value Out of Range");
    EXPECT_NE(Messages(rig)[0].text.find("-3276.8 and 3276.7"), std::string::npos) << Messages(rig)[0].text;
    EXPECT_FLOAT_EQ(rig.app.params.setValue, before);
}

TEST_F(Connected, SetValueWithoutAnswerIsReported)
{
    rig.sim->faults().silent = true;
    rig.rt.SetCtrlVal(parm(), PARM_SV, 30.0);
    commit(PARM_SV_SEND);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Controller Not Answering");
}

// ---- single settings ----

TEST_F(Connected, UpdateSensorSendsSevenWritesInOrder)
{
    rig.rt.SetCtrlVal(parm(), PARM_RANGE_HI, 150.0);
    rig.rt.SetCtrlVal(parm(), PARM_RANGE_LO, -10.0);
    rig.rt.SetCtrlVal(parm(), PARM_REG30, 1.5);
    rig.rt.SetCtrlVal(parm(), PARM_REG31, 0.0);
    rig.rt.SetCtrlVal(parm(), PARM_SW_FILTER, 9.9);
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_HIGH, 25.0);
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_LOW, 10.0);
    commit(PARM_SENSOR_UPDATE);
    const std::vector<std::string> expected = {"W 002D 05DC", "W 002C FF9C", "W 0030 000F", "W 0031 0000",
                                               "W 0032 0063", "W 001A 00FA", "W 0021 0064"};
    EXPECT_EQ(Wire(rig), expected);
    EXPECT_FLOAT_EQ(rig.app.params.rangeLow, -10.0f);
    EXPECT_FLOAT_EQ(rig.app.params.swFilter, 9.9f);
    EXPECT_FLOAT_EQ(rig.app.params.alarmHigh, 25.0f);
}

TEST_F(Connected, UpdateSensorAtWholeUnits)
{
    rig.sim->setReg(0x002A, 30);
    commit(PARM_READ_ALL);
    rig.clearWire();
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_HIGH, 25.0);
    commit(PARM_SENSOR_UPDATE);
    const std::vector<std::string> w = Wire(rig);
    ASSERT_EQ(w.size(), 7u);
    EXPECT_EQ(w[5], "W 001A 0019");
}

TEST_F(Connected, UpdateSensorChecksAllBeforeSendingAny)
{
    // The field allows 9999.9; at one decimal that is beyond the register.
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_HIGH, 5000.0);
    commit(PARM_SENSOR_UPDATE);
    EXPECT_TRUE(Wire(rig).empty());
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_NE(Messages(rig)[0].text.find("high alarm"), std::string::npos);
}

TEST_F(Connected, UpdateSensorStopsAtTheFirstUnansweredWrite)
{
    rig.sim->faults().silent = true;
    commit(PARM_SENSOR_UPDATE);
    EXPECT_EQ(Wire(rig).size(), 1u);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_NE(Messages(rig)[0].text.find("0x002D"), std::string::npos);
}

TEST_F(Connected, UpdateSensorRefusalsDoNotStopIt)
{
    rig.sim->faults().exceptionCode = 3;
    commit(PARM_SENSOR_UPDATE);
    EXPECT_EQ(Wire(rig).size(), 7u);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Parameter Refused");
    for (const char* r : {"0x002D", "0x002C", "0x0030", "0x0031", "0x0032", "0x001A", "0x0021"})
        EXPECT_NE(Messages(rig)[0].text.find(r), std::string::npos) << r;
}

TEST_F(Connected, OutputLevelInTenths)
{
    rig.rt.SetCtrlVal(parm(), PARM_OUTPUT_LEVEL, 12.3);
    commit(PARM_OUTPUT_SET);
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"W 0001 007B"});
}

TEST_F(Connected, SelectionsSendOnlyTheirLowByte)
{
    rig.rt.Commit(parm(), PARM_CF_UNIT, 0x0101);
    rig.rt.Commit(parm(), PARM_DIR_REV, 1);
    EXPECT_EQ(Wire(rig), (std::vector<std::string>{"W 0029 0001", "W 002B 0001"}));
    EXPECT_EQ(rig.app.params.cfUnit, 0x0101);
    EXPECT_EQ(rig.app.params.dirRev, 1);
}

TEST_F(Connected, SensorTypeShowsItsPopupFirst)
{
    rig.rt.FireEvent(parm(), PARM_SENSOR_TYPE, rt::EVENT_RIGHT_CLICK);
    EXPECT_TRUE(Messages(rig).empty());
    rig.rt.Commit(parm(), PARM_SENSOR_TYPE, 2);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Sensor Type Select");
    EXPECT_EQ(Messages(rig)[0].text,
              "Make sure to set hardware dip-switch too!\n\t\t\t\t   SW1             1      2       3       SW2.1    "
              "SW2.2\n\t\t\t\t   T/C             ON   OFF  OFF     ON         ON\n\t\t\t\t   PT100         ON   OFF  "
              "OFF\t    OFF        ON\n\t\t\t\t   Thermister   OFF  ON   ON\t     OFF        OFF");
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"W 0028 0002"});
    EXPECT_EQ(rig.app.params.sensorType, 2);
}

TEST_F(Connected, RightClickShowsHelpAndSendsNothing)
{
    struct Help {
        int panel;
        int control;
        const char* title;
        const char* text;  // nullptr: compared below
    };
    const Help helps[] = {
        {parm(), PARM_CF_UNIT, "<Fahrenheit/Celsius Unit Change> Help",
             "The program changes the PV value only, it does not the convert other parameter's format.\n"
             "\t\t\t\t\t\t  The user will need to convert all relative parameters to the proper values.\n"
             "\t\t\t\t\t\t  If you need to use in Fahrenheit, it is better to create another\n"
             "\t\t\t\t\t\t  set of parameter file"},
        {parm(), PARM_DIR_REV, "<Hot/Cold Direction Change> Help",
             "This reverse the logic thinking of the Hot/Cold control.\n"
             "\t\t\t\t\t\t  The controller maintains the temperature by auto adjusting the hot/cold power.\n"
             "\t\t\t\t\t\t  This switch only applys during the setup when the user realize the wiring\n"
             "\t\t\t\t\t\t  for control hot/cold is reversed. The wiring doesn't have to be changed\n"
             "\t\t\t\t\t\t  ;flipping this switch will do\n"},
        {parm(), PARM_DECIMAL_PNT, "<Decimal Point Selection> Help",
             "The program only change the PV value, it doesn't convert rest of the temperature parameters.\n"
             "\t\t\t\t\t\t  The user will need to convert all temperature related parameters to the proper values.\n"
             "\t\t\t\t\t\t  If you need to use between two types of decimal point, it's better to create\n"
             "\t\t\t\t\t\t  two sets of parameter files"},
        {parm(), PARM_ALARM_SW, "<Alarm Switch> Help",
             "ALSW at ON position: the amplifier will be disabled\n"
             "\t\t\t\tif PV value triggers the Hi/Low alarm.\n"
             "\n"
             "\t\t\t\tALSW at OFF position: the amplifier will be running\n"
             "\t\t\t\teven the Hi/Low alarm is triggered.\n"},
        {rig.app.panels.script, SCRIPT_TOL_BAND, "<Tolerance Band> Help", nullptr},
    };
    for (const Help& h : helps) {
        rig.op.clear();
        rig.rt.FireEvent(h.panel, h.control, rt::EVENT_RIGHT_CLICK);
        ASSERT_EQ(Messages(rig).size(), 1u) << h.title;
        EXPECT_EQ(Messages(rig)[0].title, h.title);
        if (h.text) {
            EXPECT_EQ(Messages(rig)[0].text, h.text) << h.title;
        }
    }
    EXPECT_TRUE(Wire(rig).empty());
    EXPECT_EQ(Messages(rig)[0].text,
              "Tolerance Band:\n\t\t\t\t\t\t  During the script running process,\n\t\t\t\t\t\t  if the PV doesn't reach "
              "same value as SV, it won't go to the next step.\n\t\t\t\t\t\t  Tol. Band is defined: if PV is reaching "
              "within SV +/- Tol.Band range,\n\t\t\t\t\t\t  then it is OK to go to the next step when time "
              "reached.\n\t\t\t\t\t\t  Put a large number (ex:200.00) to ignore the limitation.");
}

TEST_F(Connected, DecimalPointChangesTheScaleAfterTheWrite)
{
    rig.rt.Commit(parm(), PARM_DECIMAL_PNT, 30);
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"W 002A 001E"});
    EXPECT_EQ(rig.app.params.tempScale, 1.0f);
    EXPECT_EQ(Attr(rig, parm(), PARM_ALARM_HIGH, rt::ATTR_PRECISION), 0);
}

TEST_F(Connected, DecimalPointNotTakenIsUndone)
{
    rig.sim->faults().silent = true;
    rig.rt.Commit(parm(), PARM_DECIMAL_PNT, 30);
    EXPECT_EQ(rig.app.params.decimalPnt, 31);
    EXPECT_EQ(rig.app.params.tempScale, 10.0f);
    EXPECT_EQ(rig.intValue(parm(), PARM_DECIMAL_PNT), 31);
    EXPECT_EQ(rig.op.count("Controller Not Answering"), 1);
}

TEST_F(Connected, ToleranceBandIsATemperature)
{
    rig.rt.SetCtrlVal(rig.app.panels.script, SCRIPT_TOL_BAND, 1.5);
    rig.rt.Commit(rig.app.panels.script, SCRIPT_TOL_BAND);
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"W 0036 000F"});
}

TEST_F(Connected, AlarmSwitchOnAndOff)
{
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    EXPECT_EQ(Wire(rig), (std::vector<std::string>{"W 001C 0008", "W 0023 0009", "W 0020 0015", "W 0027 0015",
                                                   "R 1003 1"}));
    EXPECT_EQ(rig.app.params.alarmWatch, 1);
    EXPECT_FALSE(rig.dimmed(parm(), PARM_ALARM_LOW));
    rig.clearWire();
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_LED, 1);
    rig.rt.Commit(parm(), PARM_ALARM_SW, 0);
    EXPECT_EQ(Wire(rig), (std::vector<std::string>{"W 001C 0007", "W 0023 0007", "W 0020 0014", "W 0027 0014"}));
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_LED), 0);
    EXPECT_TRUE(rig.dimmed(parm(), PARM_ALARM_LED));
    EXPECT_TRUE(rig.dimmed(parm(), PARM_ALARM_HIGH));
}

// ---- alarm watch ----

TEST_F(Connected, AlarmWatchReactsOnceToAnAlarm)
{
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    ASSERT_TRUE(TimerOn(rig, PARM_ALARM_TIMER));
    rig.rt.Tick(parm(), PARM_ALARM_TIMER);  // no alarm: nothing changes
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_TRUE(TimerOn(rig, PARM_ALARM_TIMER));
    EXPECT_TRUE(rig.dimmed(parm(), PARM_ALARM_SW));

    rig.sim->setReg(0x1000, 900);
    rig.rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_LED), 1);
    EXPECT_FALSE(rig.dimmed(parm(), PARM_ALARM_SW));
    EXPECT_FALSE(TimerOn(rig, PARM_ALARM_TIMER));
}

TEST_F(Connected, AlarmWatchIgnoresBadAnswersAndShowsNoAnswerAfterThree)
{
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    rig.sim->setReg(0x1000, 900);
    rig.sim->faults().badCrc = true;
    for (int i = 0; i < 2; ++i)
        rig.rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
    rig.rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_TRUE(rig.visible(parm(), PARM_NO_ANSWER));
    // Nothing was taken from the garbled answers.
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_TRUE(TimerOn(rig, PARM_ALARM_TIMER));
    EXPECT_TRUE(Messages(rig).empty());
    rig.sim->faults() = sim::Faults{};
    rig.rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 0);
}

// ---- control function ----

struct EnableCase {
    int f;
    bool alarmOn;
};

class CtrlEnable : public Connected, public ::testing::WithParamInterface<EnableCase> {};

TEST_P(CtrlEnable, SendsTheFunctionAndSetsThePanel)
{
    const EnableCase c = GetParam();
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_SW, c.alarmOn ? 1 : 0);
    // Start from manual output so that every change shows.
    rig.rt.SetCtrlAttribute(parm(), PARM_TUNE_TIMER, rt::ATTR_ENABLED, 1);
    rig.rt.SetCtrlAttribute(parm(), PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE, 1);
    rig.rt.SetCtrlAttribute(parm(), PARM_OUTPUT_SET, rt::ATTR_DIMMED, 0);
    rig.rt.SetCtrlVal(parm(), PARM_TUNE_LED, 1);
    rig.rt.SetCtrlAttribute(parm(), PARM_ALARM_LED, rt::ATTR_DIMMED, 1);
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, c.f);

    ASSERT_EQ(rig.wire().size(), 1u);
    std::vector<std::uint8_t> expected = {0x01, 0x06, 0x00, 0x02, 0x00, static_cast<std::uint8_t>(c.f)};
    const comlink::Crc crc = comlink::CalcCRC16(expected.data(), 6);
    expected.push_back(crc.lo);
    expected.push_back(crc.hi);
    EXPECT_EQ(Hex(rig.wire()[0]), Hex(expected));
    EXPECT_EQ(rig.app.ctrlMode, c.f);
    EXPECT_EQ(rig.app.params.alarmWatch, c.alarmOn ? 1 : 0);

    const bool known = c.f == 0 || c.f == 1 || c.f == 3 || c.f == 4;
    EXPECT_EQ(TimerOn(rig, PARM_TUNE_TIMER), known ? c.f == 1 : true);
    EXPECT_EQ(Attr(rig, parm(), PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE), known ? (c.f == 3 ? 1 : 0) : 1);
    EXPECT_EQ(rig.dimmed(parm(), PARM_OUTPUT_SET), known ? c.f != 3 : false);
    EXPECT_EQ(rig.intValue(parm(), PARM_TUNE_LED), known ? (c.f == 1 ? 1 : 0) : 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), c.f == 0 ? 0 : 1);
    EXPECT_EQ(rig.dimmed(parm(), PARM_ALARM_SW), c.f != 0);
    EXPECT_EQ(TimerOn(rig, PARM_ALARM_TIMER), c.f != 0 && c.alarmOn);
    EXPECT_EQ(rig.dimmed(parm(), PARM_ALARM_LED), !(c.f != 0 && c.alarmOn));
    if (c.f == 0) {
        EXPECT_TRUE(rig.dimmed(parm(), PARM_OUTPUT_LEVEL));
    }
    if (c.f == 3) {
        EXPECT_FALSE(rig.dimmed(parm(), PARM_OUTPUT_LEVEL));
    }
}

INSTANTIATE_TEST_SUITE_P(Functions, CtrlEnable,
                         ::testing::Values(EnableCase{0, false}, EnableCase{0, true}, EnableCase{1, false},
                                           EnableCase{1, true}, EnableCase{2, false}, EnableCase{2, true},
                                           EnableCase{3, false}, EnableCase{3, true}, EnableCase{4, false},
                                           EnableCase{4, true}));

TEST_F(Connected, CtrlEnableNotTakenKeepsThePanel)
{
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 3);
    rig.sim->faults().silent = true;
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    EXPECT_EQ(rig.app.ctrlMode, 3);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 3);
    EXPECT_FALSE(rig.dimmed(parm(), PARM_OUTPUT_SET));
    EXPECT_EQ(rig.op.count("Controller Not Answering"), 1);
}

// A change the controller does not take puts back what the selector showed
// just before, whoever set it: the read-all pass or a watch.
TEST_F(Connected, CtrlEnableNotTakenRestoresWhatTheSelectorShowed)
{
    rig.sim->setReg(0x0002, 4);
    commit(PARM_READ_ALL);
    ASSERT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    rig.sim->faults().silent = true;
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 3);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 1);

    // Auto-tune ends in PID control on the controller; the watch shows it.
    rig.sim->faults() = sim::Faults{};
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 1);
    rig.sim->setReg(0x0002, 4);
    rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    ASSERT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    rig.sim->faults().silent = true;
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
}

// The step program runs from the script panel, with its watch; the selector
// shows it but does not offer it.
TEST_F(Connected, StepProgramIsShownNotChosenInTheSelector)
{
    const auto* box = qobject_cast<const QComboBox*>(rig.rt.controlWidget(parm(), PARM_CTRL_FUNC));
    ASSERT_NE(box, nullptr);
    const int last = box->count() - 1;
    EXPECT_EQ(box->itemData(last).toInt(), 5);
    EXPECT_FALSE(box->model()->flags(box->model()->index(last, 0)) & Qt::ItemIsEnabled);
    for (int i = 0; i < last; ++i)
        EXPECT_TRUE(box->model()->flags(box->model()->index(i, 0)) & Qt::ItemIsEnabled) << i;

    rig.sim->setReg(0x0002, 5);
    commit(PARM_READ_ALL);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 5);

    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    rig.clearWire();
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 5);
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_EQ(rig.app.ctrlMode, 4);
}

// One rule for the main panel's sign: a running watch or poll that missed its
// last three answers raises it; a good answer from another does not hide it.
TEST_F(Connected, NoAnswerSignCountsEveryWatchOneWay)
{
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    rig.rt.Commit(parm(), PARM_PV_READ, 1);
    ASSERT_TRUE(TimerOn(rig, PARM_ALARM_TIMER));
    ASSERT_TRUE(TimerOn(rig, PARM_PV_TIMER));
    auto failPvTicks = [&](int n) {
        for (int i = 0; i < n; ++i) {
            rig.sim->faults().silent = true;
            rig.rt.Tick(parm(), PARM_PV_TIMER);
            rig.sim->faults() = sim::Faults{};
        }
    };
    failPvTicks(1);
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER)) << "one missed tick";
    failPvTicks(2);
    EXPECT_TRUE(rig.visible(parm(), PARM_NO_ANSWER)) << "three missed ticks";
    rig.rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_TRUE(rig.visible(parm(), PARM_NO_ANSWER)) << "the alarm watch answered, the poll did not";
    rig.rt.Tick(parm(), PARM_PV_TIMER);
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));

    // A poll that was stopped no longer counts.
    failPvTicks(3);
    ASSERT_TRUE(rig.visible(parm(), PARM_NO_ANSWER));
    rig.rt.Commit(parm(), PARM_PV_READ, 0);
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
}

TEST_F(Connected, AutoTuneWatchBlinksAndEnds)
{
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 1);
    ASSERT_TRUE(TimerOn(rig, PARM_TUNE_TIMER));
    rig.sim->setReg(0x0002, 1);
    const int led = rig.intValue(parm(), PARM_TUNE_LED);
    rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    EXPECT_NE(rig.intValue(parm(), PARM_TUNE_LED), led);
    rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    EXPECT_EQ(rig.intValue(parm(), PARM_TUNE_LED), led);
    EXPECT_TRUE(TimerOn(rig, PARM_TUNE_TIMER));

    rig.sim->setReg(0x0002, 4);
    rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    EXPECT_FALSE(TimerOn(rig, PARM_TUNE_TIMER));
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_EQ(rig.intValue(parm(), PARM_TUNE_LED), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 1);
}

TEST_F(Connected, AutoTuneWatchEndsOnZero)
{
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 1);
    rig.sim->setReg(0x0002, 0);
    rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    EXPECT_FALSE(TimerOn(rig, PARM_TUNE_TIMER));
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_TUNE_LED), 0);
}

TEST_F(Connected, AutoTuneWatchDoesNotTakeSilenceForTheEnd)
{
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 1);
    rig.sim->faults().silent = true;
    const int led = rig.intValue(parm(), PARM_TUNE_LED);
    for (int i = 0; i < 3; ++i)
        rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    EXPECT_TRUE(TimerOn(rig, PARM_TUNE_TIMER));
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_TUNE_LED), led);
    EXPECT_TRUE(rig.visible(parm(), PARM_NO_ANSWER));
    EXPECT_TRUE(Messages(rig).empty());
    rig.sim->faults() = sim::Faults{};
    rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
}

TEST_F(Connected, StoppedWatchNoLongerHoldsTheNoAnswerSign)
{
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 1);
    rig.sim->faults().silent = true;
    for (int i = 0; i < 3; ++i)
        rig.rt.Tick(parm(), PARM_TUNE_TIMER);
    ASSERT_TRUE(rig.visible(parm(), PARM_NO_ANSWER));
    // The controller is back and the operator switches control off: no watch is silent now.
    rig.sim->faults() = sim::Faults{};
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 0);
    EXPECT_FALSE(TimerOn(rig, PARM_TUNE_TIMER));
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
}

TEST_F(Connected, KeypadSendsItsLowByte)
{
    rig.rt.Commit(rig.app.panels.debug, DEBUG_KEYPAD, 0x0101);
    EXPECT_EQ(Wire(rig), std::vector<std::string>{"W 005F 0001"});
    EXPECT_EQ(rig.app.params.keypadValue, 0x0101);
}

// ---- PID update ----

TEST_F(Connected, PidUpdateWritesSetBySetWithIndicatorsOff)
{
    rig.rt.SetCtrlVal(parm(), PARM_PID1_BOUND, -5.0);
    rig.rt.SetCtrlVal(parm(), PARM_PID1_P, 12.34);
    rig.rt.SetCtrlVal(parm(), PARM_PID3_I, 300);
    rig.rt.SetCtrlVal(parm(), PARM_PID2_BOUND, 100.0);
    commit(PARM_PID_UPDATE);
    const std::vector<std::string> w = Wire(rig);
    ASSERT_EQ(w.size(), 23u);
    const char* regs[23] = {"0008", "0003", "0004", "0005", "0006", "0007", "000E", "0009", "000A", "000B", "000C", "000D",
                            "0014", "000F", "0010", "0011", "0012", "0013", "0015", "0016", "0017", "0018", "0019"};
    for (int i = 0; i < 23; ++i)
        EXPECT_EQ(w[static_cast<std::size_t>(i)].substr(2, 4), regs[i]) << i;
    EXPECT_EQ(w[0], "W 0008 FFCE");
    EXPECT_EQ(w[1], "W 0003 007B");
    EXPECT_EQ(w[6], "W 000E 03E8");
    EXPECT_EQ(w[14], "W 0010 012C");
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(rig.intValue(parm(), PARM_PID_LED(n)), 0);
    EXPECT_FLOAT_EQ(rig.app.params.pidBound[0], -5.0f);
    EXPECT_EQ(rig.app.params.pidI[2], 300);
}

TEST_F(Connected, PidUpdateWithoutAnswerStopsAndTurnsIndicatorsOff)
{
    rig.sim->faults().silent = true;
    commit(PARM_PID_UPDATE);
    EXPECT_EQ(Wire(rig).size(), 1u);
    EXPECT_EQ(rig.op.count("Controller Not Answering"), 1);
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(rig.intValue(parm(), PARM_PID_LED(n)), 0);
}

// ---- parameter files ----

const char* const kExampleLine =
    "  25.00   80.00   10.00    0.00   30.00   60.00   90.00    5.00    0.00  100.00    4.00    0.00  100.00    "
    "3.00    0.00  100.00    2.00    0.00  100.00    0.00    0.00  -20.00  150.00    0.00 120 30 120 30 120 30 120 "
    "30 1 0 0 31 1";

TEST_F(Connected, SaveWritesTheOneLine)
{
    const std::string path = rig.path("set.prm");
    rig.op.queueFile(2, path);
    commit(PARM_SAVE_FILE);
    std::string text;
    ASSERT_TRUE(rt::ReadWholeFile(path, &text));
    EXPECT_EQ(text, params::FormatParameterFile(rig.app.params));
    ExpectFileRequest(rig.op.lastFileRequest(),
                      FileRequest("*.prm", "*.txt;*.prm;*.dat", "Load Parameter File", 0, true));
}

TEST_F(Connected, SaveFailureIsReported)
{
    rig.op.queueFile(2, rig.path("no-such-dir/set.prm"));
    commit(PARM_SAVE_FILE);
    EXPECT_EQ(rig.op.count("Parameter File Error"), 1);
}

TEST_F(Connected, CancelledDialogsDoNothing)
{
    commit(PARM_SAVE_FILE);
    commit(PARM_LOAD_FILE);
    EXPECT_TRUE(Wire(rig).empty());
    EXPECT_EQ(rig.op.count("Parameter File Error"), 0);
}

TEST_F(Connected, LoadSendsDecimalPointFirstAndReadsBack)
{
    // Saved at whole units, loaded while one decimal is shown.
    std::string line = kExampleLine;
    line.replace(line.find(" 31 1"), 5, " 30 1");
    const std::string path = rig.path("whole.prm");
    ASSERT_TRUE(rt::WriteFileAtomically(path, line));
    ASSERT_EQ(rig.app.params.tempScale, 10.0f);
    rig.op.queueFile(1, path);
    commit(PARM_LOAD_FILE);

    const std::vector<std::string> w = Wire(rig);
    ASSERT_GE(w.size(), 37u + 24u);
    EXPECT_EQ(w[0], "W 002A 001E");
    EXPECT_EQ(w[1], "W 0000 0019");
    // No boundary is sent.
    for (const std::string& s : w)
        for (const char* b : {"W 0008", "W 000E", "W 0014"})
            EXPECT_NE(s.substr(0, 6), b);
    ExpectFileRequest(rig.op.lastFileRequest(),
                      FileRequest("*.prm", "*.txt;*.prm;*.dat", "Load Parameter File", 3, false));

    // Read back: the controller's boundaries (factory 20.0, 60.0, 100.0 in
    // tenths, now read at whole units), not the file's 30, 60, 90.
    const ParameterSet& p = rig.app.params;
    EXPECT_EQ(p.tempScale, 1.0f);
    EXPECT_FLOAT_EQ(p.setValue, 25.0f);
    EXPECT_FLOAT_EQ(p.pidBound[0], 200.0f);
    EXPECT_FLOAT_EQ(p.pidBound[2], 1000.0f);
    EXPECT_EQ(p.pidI[1], 120);
    EXPECT_EQ(p.alarmWatch, 1);
    EXPECT_EQ(Attr(rig, parm(), PARM_SV, rt::ATTR_PRECISION), 0);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), 25.0);
    EXPECT_TRUE(Messages(rig).empty()) << Messages(rig)[0].title << ": " << Messages(rig)[0].text;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

struct BadLoad {
    const char* name;
    std::string text;
    const char* field;
};

class LoadBadFile : public Connected, public ::testing::WithParamInterface<BadLoad> {};

TEST_P(LoadBadFile, ChangesNothingAndSendsNothing)
{
    const std::string path = rig.path("bad.prm");
    ASSERT_TRUE(rt::WriteFileAtomically(path, GetParam().text));
    const std::string before = params::FormatParameterFile(rig.app.params);
    const double sv = rig.value(parm(), PARM_SV);
    rig.op.queueFile(1, path);
    commit(PARM_LOAD_FILE);
    EXPECT_TRUE(Wire(rig).empty());
    EXPECT_EQ(params::FormatParameterFile(rig.app.params), before);
    EXPECT_DOUBLE_EQ(rig.value(parm(), PARM_SV), sv);
    ASSERT_EQ(Messages(rig).size(), 1u);
    EXPECT_EQ(Messages(rig)[0].title, "Parameter File Error");
    EXPECT_NE(Messages(rig)[0].text.find(path), std::string::npos);
    EXPECT_NE(Messages(rig)[0].text.find(GetParam().field), std::string::npos) << Messages(rig)[0].text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadBadFile,
    ::testing::Values(BadLoad{"ten", "1 2 3 4 5 6 7 8 9 10", "field 11"},
                      BadLoad{"bigint", Replaced(kExampleLine, " 1 0 0 31 1", " 1 0 40000 31 1"), "field 35 "},
                      BadLoad{"scaled", Replaced(kExampleLine, "  25.00 ", "4000.00 "), "field 1 "}),
    [](const ::testing::TestParamInfo<BadLoad>& i) { return std::string(i.param.name); });

TEST_F(Connected, LoadOfUnreadableFileIsReported)
{
    rig.op.queueFile(1, rig.path("missing.prm"));
    commit(PARM_LOAD_FILE);
    EXPECT_TRUE(Wire(rig).empty());
    EXPECT_EQ(rig.op.count("Parameter File Error"), 1);
}

TEST_F(Connected, LoadWithSilentControllerStopsWithOnePopup)
{
    const std::string path = rig.path("ok.prm");
    ASSERT_TRUE(rt::WriteFileAtomically(path, kExampleLine));
    rig.sim->faults().silent = true;
    rig.op.queueFile(1, path);
    const double start = rig.clock.now();
    commit(PARM_LOAD_FILE);
    EXPECT_EQ(Wire(rig).size(), 1u);
    ASSERT_EQ(Messages(rig).size(), 1u) << Messages(rig)[0].title << ": " << Messages(rig)[0].text;
    EXPECT_LT(rig.clock.now() - start, 1.5);
}

} // namespace

TEST_F(Connected, UnitFollowsOnTheChartAxisAtOnce)
{
    auto* plot = qobject_cast<QCustomPlot*>(rig.rt.controlWidget(rig.app.panels.chart, CHART_STRIPCHART));
    ASSERT_NE(plot, nullptr);
    EXPECT_EQ(plot->yAxis->label(), QString::fromUtf8("Temperature (\u00B0C)"));
    rig.rt.Commit(parm(), PARM_CF_UNIT, 1);
    EXPECT_EQ(rig.sim->reg(0x0029), 1);
    EXPECT_EQ(plot->yAxis->label(), QString::fromUtf8("Temperature (\u00B0F)"));
    // A read-all pass brings the controller's unit to the axis as well.
    rig.sim->setReg(0x0029, 0);
    ASSERT_TRUE(params::ReadAllParameters(rig.app));
    EXPECT_EQ(plot->yAxis->label(), QString::fromUtf8("Temperature (\u00B0C)"));
}

TEST_F(Connected, EverySettingChangedFromItsControlReadsBackTheSame)
{
    const int p = parm();
    auto set = [&](int control, double v) { rig.rt.SetCtrlVal(p, control, v); };
    // Set value.
    set(PARM_SV, 42.5);
    commit(PARM_SV_SEND);
    // Sensor group and alarms (the alarm fields take values while the switch is off too).
    set(PARM_RANGE_HI, 140.0);
    set(PARM_RANGE_LO, -15.5);
    set(PARM_REG30, 12.3);
    set(PARM_REG31, -4.0);
    set(PARM_SW_FILTER, 2.5);
    set(PARM_ALARM_HIGH, 75.5);
    set(PARM_ALARM_LOW, 5.0);
    commit(PARM_SENSOR_UPDATE);
    // Selectors.
    rig.rt.Commit(p, PARM_CF_UNIT, 1);
    rig.rt.Commit(p, PARM_DIR_REV, 1);
    rig.rt.Commit(p, PARM_SENSOR_TYPE, 2);
    // Manual output and its level.
    rig.rt.Commit(p, PARM_CTRL_FUNC, 3);
    set(PARM_OUTPUT_LEVEL, 12.3);
    commit(PARM_OUTPUT_SET);
    // The four PID sets.
    for (int n = 1; n <= 4; ++n) {
        set(PARM_PID_P(n), 3.0 + n);
        rig.rt.SetCtrlVal(p, PARM_PID_I(n), 100 + n);
        rig.rt.SetCtrlVal(p, PARM_PID_D(n), 10 + n);
        set(PARM_PID_T4(n), 90.0 + n);
        set(PARM_PID_T5(n), 40.0 + n);
        if (n <= 3)
            set(PARM_PID_BOUND(n), 25.0 * n);
    }
    commit(PARM_PID_UPDATE);
    // Control off again, then the alarm switch on (it can be changed only while control is off).
    rig.rt.Commit(p, PARM_CTRL_FUNC, 0);
    rig.rt.Commit(p, PARM_ALARM_SW, 1);
    rig.rt.Commit(rig.app.panels.debug, DEBUG_KEYPAD, 0);
    // The dip-switch reminder of the sensor type is the only message.
    ASSERT_EQ(rig.op.titles(), std::vector<std::string>{"Sensor Type Select"});
    rig.op.clear();

    // Scramble the panel, then read everything back from the controller.
    for (int c : {PARM_SV, PARM_RANGE_HI, PARM_RANGE_LO, PARM_REG30, PARM_REG31, PARM_SW_FILTER, PARM_ALARM_HIGH,
                  PARM_ALARM_LOW, PARM_OUTPUT_LEVEL})
        set(c, 0.0);
    commit(PARM_READ_ALL);
    ASSERT_TRUE(rig.op.shown().empty()) << rig.op.shown().front().title;

    EXPECT_DOUBLE_EQ(rig.value(p, PARM_SV), 42.5);
    EXPECT_DOUBLE_EQ(rig.value(p, PARM_RANGE_HI), 140.0);
    EXPECT_DOUBLE_EQ(rig.value(p, PARM_RANGE_LO), -15.5);
    EXPECT_NEAR(rig.value(p, PARM_REG30), 12.3, 1e-5);
    EXPECT_DOUBLE_EQ(rig.value(p, PARM_REG31), -4.0);
    EXPECT_DOUBLE_EQ(rig.value(p, PARM_SW_FILTER), 2.5);
    EXPECT_DOUBLE_EQ(rig.value(p, PARM_ALARM_HIGH), 75.5);
    EXPECT_DOUBLE_EQ(rig.value(p, PARM_ALARM_LOW), 5.0);
    EXPECT_EQ(rig.intValue(p, PARM_CF_UNIT), 1);
    EXPECT_EQ(rig.intValue(p, PARM_DIR_REV), 1);
    EXPECT_EQ(rig.intValue(p, PARM_SENSOR_TYPE), 2);
    EXPECT_NEAR(rig.value(p, PARM_OUTPUT_LEVEL), 12.3, 1e-5);
    EXPECT_EQ(rig.intValue(p, PARM_CTRL_FUNC), 0);
    EXPECT_EQ(rig.intValue(p, PARM_ALARM_SW), 1);
    EXPECT_EQ(rig.intValue(rig.app.panels.debug, DEBUG_KEYPAD), 0);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_DOUBLE_EQ(rig.value(p, PARM_PID_P(n)), 3.0 + n) << n;
        EXPECT_EQ(rig.intValue(p, PARM_PID_I(n)), 100 + n) << n;
        EXPECT_EQ(rig.intValue(p, PARM_PID_D(n)), 10 + n) << n;
        EXPECT_DOUBLE_EQ(rig.value(p, PARM_PID_T4(n)), 90.0 + n) << n;
        EXPECT_DOUBLE_EQ(rig.value(p, PARM_PID_T5(n)), 40.0 + n) << n;
        if (n <= 3)
            EXPECT_DOUBLE_EQ(rig.value(p, PARM_PID_BOUND(n)), 25.0 * n) << n;
    }
}
