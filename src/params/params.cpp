// Reading and writing the controller's parameters: the read-all pass, the
// set-value write, the write-all pass, the single settings, the function
// switches and watches, and the PID block update.
#include "params/params.h"

#include "app/app.h"
#include "app/panel_state.h"
#include "core/operations.h"
#include "link/transact.h"
#include "monitor/monitor.h"
#include "params/help_texts.h"
#include "params/param_ops.h"
#include "protocol/encoding.h"
#include "protocol/registers.h"

#include <algorithm>
#include <cstdio>

namespace params {

namespace {

constexpr const char* kNoAnswerTitle = "Controller Not Answering";
constexpr const char* kRefusedTitle = "Parameter Refused";
constexpr const char* kNotReadTitle = "Value Not Read";

std::string RegName(std::uint16_t reg)
{
    std::string name = tecreg::RegisterName(reg);
    if (name.empty()) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%04X", reg);
        name = buf;
    }
    return name;
}

} // namespace

void SetDimmed(App& app, int panel, int control, bool dimmed)
{
    app.rt.SetCtrlAttribute(panel, control, rt::ATTR_DIMMED, dimmed ? 1 : 0);
}

// The main panel's "no answer" sign: up while any watch has missed three
// answers in a row.
// Starting or stopping a watch starts its count of missed answers afresh: a
// stopped watch must not keep the "no answer" sign up.
void SetTimer(App& app, int panel, int control, bool running)
{
    app.rt.SetCtrlAttribute(panel, control, rt::ATTR_ENABLED, running ? 1 : 0);
    int* misses = control == PARM_TUNE_TIMER ? &app.misses.tune
                  : control == PARM_ALARM_TIMER ? &app.misses.alarm
                                                : nullptr;
    if (misses != nullptr && *misses != 0) {
        *misses = 0;
        ShowNoAnswerSign(app);
    }
}

float GetFloat(App& app, int panel, int control)
{
    float v = 0;
    app.rt.GetCtrlVal(panel, control, &v);
    return v;
}

short GetShort(App& app, int panel, int control)
{
    short v = 0;
    app.rt.GetCtrlVal(panel, control, &v);
    return v;
}

int GetInt(App& app, int panel, int control)
{
    int v = 0;
    app.rt.GetCtrlVal(panel, control, &v);
    return v;
}


// Shows the alarm switch's effect: the alarm fields follow the switch; once
// its four writes were answered the indicator follows, lit by alarm bits.
void ShowAlarmSwitch(App& app, std::uint16_t on, const core::AlarmSwitchResult& r)
{
    const int parm = app.panels.parm;
    SetDimmed(app, parm, PARM_ALARM_HIGH, !on);
    SetDimmed(app, parm, PARM_ALARM_LOW, !on);
    if (r.writesDone < 4)
        return;
    if (on) {
        SetDimmed(app, parm, PARM_ALARM_LED, false);
        if (r.statusRead) {
            app.alarmStatus = r.alarmStatus;
            if (app.alarmStatus != 0)
                app.rt.SetCtrlVal(parm, PARM_ALARM_LED, 1);
        }
    } else {
        app.rt.SetCtrlVal(parm, PARM_ALARM_LED, 0);
        SetDimmed(app, parm, PARM_ALARM_LED, true);
    }
}

namespace {

// Shows what the read-all pass read, in the pass's order, up to where it stopped.
void ShowReadAll(App& app, const core::ReadAllResult& r, std::uint16_t heldAlarmWatch)
{
    const ParameterSet& p = app.params;
    const int parm = app.panels.parm;
    if (!r.decimalRead)
        return;
    app.rt.SetCtrlVal(parm, PARM_DECIMAL_PNT, static_cast<int>(p.decimalPnt));
    ApplyDecimalPoint(app);
    const std::pair<int, float> head[] = {
        {PARM_SV, p.setValue}, {PARM_ALARM_HIGH, p.alarmHigh}, {PARM_ALARM_LOW, p.alarmLow},
        {PARM_OUTPUT_LEVEL, p.outputLevel}};
    for (int i = 0; i < r.headRead; ++i)
        app.rt.SetCtrlVal(parm, head[i].first, static_cast<double>(head[i].second));
    if (!r.ctrlFuncRead)
        return;
    ShowControlFunction(app, r.ctrlFunc);
    ApplyControlFunctionState(app, r.ctrlFunc);
    app.rt.SetCtrlVal(parm, PARM_ALARM_SW, static_cast<int>(heldAlarmWatch));
    for (int n = 1; n <= r.pidSetsRead; ++n) {
        const int i = n - 1;
        app.rt.SetCtrlVal(parm, PARM_PID_P(n), static_cast<double>(p.pidP[i]));
        app.rt.SetCtrlVal(parm, PARM_PID_I(n), static_cast<int>(p.pidI[i]));
        app.rt.SetCtrlVal(parm, PARM_PID_D(n), static_cast<int>(p.pidD[i]));
        app.rt.SetCtrlVal(parm, PARM_PID_T4(n), static_cast<double>(p.pidT4[i]));
        app.rt.SetCtrlVal(parm, PARM_PID_T5(n), static_cast<double>(p.pidT5[i]));
        if (n < 4)
            app.rt.SetCtrlVal(parm, PARM_PID_BOUND(n), static_cast<double>(p.pidBound[i]));
    }
    const std::pair<int, double> tail[] = {
        {PARM_SENSOR_TYPE, p.sensorType}, {PARM_REG30, p.reg30},        {PARM_REG31, p.reg31},
        {PARM_DIR_REV, p.dirRev},         {PARM_CF_UNIT, p.cfUnit},     {PARM_RANGE_LO, p.rangeLow},
        {PARM_RANGE_HI, p.rangeHigh},     {PARM_SW_FILTER, p.swFilter}};
    for (int i = 0; i < r.tailRead; ++i) {
        if (i == 0 || i == 3 || i == 4)  // selectors take integers
            app.rt.SetCtrlVal(parm, tail[i].first, static_cast<int>(tail[i].second));
        else
            app.rt.SetCtrlVal(parm, tail[i].first, tail[i].second);
    }
    if (!r.alarmSwitchRead)
        return;
    app.rt.SetCtrlVal(parm, PARM_ALARM_SW, static_cast<int>(p.alarmWatch));
    ShowAlarmSwitch(app, p.alarmWatch, r.alarm);
    if (r.keypadRead)
        app.rt.SetCtrlVal(app.panels.debug, DEBUG_KEYPAD, static_cast<int>(p.keypadValue));
}

} // namespace

// ---- shared by the operations ----

namespace {

std::string OutcomeText(const OpLog& op)
{
    std::string text;
    if (op.stopped) {
        text = std::string("The controller ") + comlink::DescribeAsDeed(op.fault) +
               (op.stoppedOnRead ? " the read of register " : " the write of register ") + RegName(op.stopReg) + ".\n";
        text += op.stoppedOnRead ? "The operation stopped there; the values not yet read keep their previous values."
                                 : "The operation stopped there; nothing after it was sent.";
    }
    if (!op.refused.empty()) {
        if (!text.empty())
            text += "\n\n";
        text += "The controller refused the value written to:";
        for (std::uint16_t r : op.refused)
            text += "\n" + RegName(r);
    }
    return text;
}

} // namespace

void ReportOutcome(App& app, const OpLog& op, const std::string& detail)
{
    if (!op.stopped && op.refused.empty())
        return;
    if (op.stopped && op.fault.kind == comlink::FaultKind::PortGone && app.portLostReported)
        return;
    std::string text = OutcomeText(op);
    if (!detail.empty())
        text += "\n\n" + detail;
    app.rt.MessagePopup(op.stopped ? kNoAnswerTitle : kRefusedTitle, text);
}

bool CheckSendable(App& app, const char* field, EncClass cls, double value, float tempScale)
{
    std::string text;
    if (core::CheckSendable(field, cls, value, tempScale, &text))
        return true;
    app.rt.MessagePopup(kRangeTitle, text);
    return false;
}

// ---- read all ----

bool ReadAllParameters(App& app)
{
    if (app.waitShown != 1) {
        app.rt.InstallPopup(app.panels.wait);
        app.waitShown = 1;
    }
    comlink::SequencePreamble(app.bus);
    const std::uint16_t heldAlarmWatch = app.params.alarmWatch;
    const core::ReadAllResult r = core::ReadAll(app.bus, app.controller.address, app.params);
    ShowReadAll(app, r, heldAlarmWatch);
    const OpLog& op = r.op;
    // A lost port has taken the popup down already, with its own message.
    if (app.waitShown)
        app.rt.RemovePopup(0);
    app.waitShown = 0;
    ApplyDecimalPoint(app);
    monitor::ShowUnit(app);
    ShowTemperatureUnit(app);
    ReportOutcome(app, op);
    return !op.stopped && op.refused.empty();
}

bool ReadAllParametersQuietly(App& app, std::string* failure)
{
    comlink::SequencePreamble(app.bus);
    const std::uint16_t heldAlarmWatch = app.params.alarmWatch;
    const core::ReadAllResult r = core::ReadAll(app.bus, app.controller.address, app.params);
    ShowReadAll(app, r, heldAlarmWatch);
    ApplyDecimalPoint(app);
    monitor::ShowUnit(app);
    ShowTemperatureUnit(app);
    // A refused alarm-mode write leaves every value read.
    if (!r.op.stopped)
        return true;
    if (failure)
        *failure = OutcomeText(r.op);
    return false;
}

namespace {

// The fields that show what the controller holds, and the model and
// identity that name it.
const int kReadFields[] = {
    PARM_PV,        PARM_SV,         PARM_OUTPUT_LEVEL, PARM_ALARM_HIGH, PARM_ALARM_LOW, PARM_RANGE_HI,
    PARM_RANGE_LO,  PARM_REG30,      PARM_REG31,        PARM_SW_FILTER,  PARM_SENSOR_TYPE, PARM_CF_UNIT,
    PARM_DIR_REV,   PARM_DECIMAL_PNT, PARM_CTRL_FUNC,   PARM_IDENT_LO,
};

// Temperature fields of each panel, whose unit follows the controller's.
struct UnitField {
    int PanelSet::*panel;
    int control;
};
std::vector<UnitField> TemperatureFields()
{
    std::vector<UnitField> f;
    for (int c : std::initializer_list<int>{PARM_PV, PARM_SV, PARM_RANGE_HI, PARM_RANGE_LO, PARM_REG30, PARM_REG31,
                                            PARM_ALARM_HIGH, PARM_ALARM_LOW, PARM_PID_BOUND(1), PARM_PID_BOUND(2),
                                            PARM_PID_BOUND(3)})
        f.push_back({&PanelSet::parm, c});
    for (int c : {CHART_SV, CHART_PV})
        f.push_back({&PanelSet::chart, c});
    for (int c : {YSCALE_YMAX, YSCALE_YMIN})
        f.push_back({&PanelSet::yscale, c});
    for (int k = 1; k <= 8; ++k)
        f.push_back({&PanelSet::script, SCRIPT_SV(k)});
    f.push_back({&PanelSet::script, SCRIPT_TOL_BAND});
    for (int c : {PIDHELP_HI_A, PIDHELP_LO_A, PIDHELP_BAND1_A, PIDHELP_BAND2, PIDHELP_SV, PIDHELP_HI_B, PIDHELP_LO_B,
                  PIDHELP_BAND1_B, PIDHELP_BAND1_UP, PIDHELP_BAND1_DN, PIDHELP_BAND2_UP, PIDHELP_BAND2_DN})
        f.push_back({&PanelSet::pidhelp, c});
    return f;
}

} // namespace

bool HasNoValue(App& app, int panel, int control)
{
    int none = 0;
    return app.rt.GetCtrlAttribute(panel, control, rt::ATTR_NO_VALUE, &none) == 0 && none != 0;
}

// True when none of the fields shows "—"; otherwise tells the operator which
// one has not been read, so that a value never read is never sent.
bool CheckRead(App& app, const std::vector<std::pair<int, const char*>>& fields)
{
    for (const auto& [control, name] : fields) {
        if (!HasNoValue(app, app.panels.parm, control))
            continue;
        app.rt.MessagePopup(kNotReadTitle, std::string("The ") + name +
                                               " has not been read from the controller, so nothing was sent.\n"
                                               "Enter a value, or press Read all to read it from the controller.");
        return false;
    }
    return true;
}

void ShowNothingRead(App& app)
{
    const int parm = app.panels.parm;
    for (int c : kReadFields)
        app.rt.SetCtrlAttribute(parm, c, rt::ATTR_NO_VALUE, 1);
    for (int n = 1; n <= 4; ++n) {
        for (int c : {PARM_PID_P(n), PARM_PID_I(n), PARM_PID_D(n), PARM_PID_T4(n), PARM_PID_T5(n)})
            app.rt.SetCtrlAttribute(parm, c, rt::ATTR_NO_VALUE, 1);
        if (n < 4)
            app.rt.SetCtrlAttribute(parm, PARM_PID_BOUND(n), rt::ATTR_NO_VALUE, 1);
    }
    app.rt.SetCtrlVal(parm, PARM_MODEL, "");
    for (int c : {CHART_SV, CHART_PV})
        app.rt.SetCtrlAttribute(app.panels.chart, c, rt::ATTR_NO_VALUE, 1);
    ShowTemperatureUnit(app);
}

void ShowTemperatureUnit(App& app)
{
    const bool known = !HasNoValue(app, app.panels.parm, PARM_CF_UNIT);
    const std::string unit = !known ? " \u00B0" : app.params.cfUnit == 1 ? " \u00B0F" : " \u00B0C";
    for (const UnitField& f : TemperatureFields())
        app.rt.SetCtrlAttribute(app.panels.*f.panel, f.control, rt::ATTR_UNIT, unit);
}


void ApplyDecimalPoint(App& app)
{
    app.params.tempScale = TempScaleFor(app.params.decimalPnt);
    const int p = PrecisionFor(app.params.decimalPnt);
    const int parm = app.panels.parm;
    for (int c : {PARM_RANGE_HI, PARM_RANGE_LO, PARM_PV, PARM_SV, PARM_REG30, PARM_REG31, PARM_ALARM_HIGH,
                  PARM_ALARM_LOW})
        app.rt.SetCtrlAttribute(parm, c, rt::ATTR_PRECISION, p);
    app.rt.SetCtrlAttribute(app.panels.chart, CHART_PV, rt::ATTR_PRECISION, p);
    app.rt.SetCtrlAttribute(app.panels.chart, CHART_SV, rt::ATTR_PRECISION, p);
    for (int k = 1; k <= 8; ++k)
        app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_SV(k), rt::ATTR_PRECISION, p);
    app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_TOL_BAND, rt::ATTR_PRECISION, p);
}

bool ApplyAlarmSwitch(App& app, OpLog& op, std::uint16_t on)
{
    core::AlarmSwitchResult r;
    const bool done = core::ApplyAlarmSwitch(app.bus, app.controller.address, op, on, &r);
    ShowAlarmSwitch(app, on, r);
    return done;
}

bool ApplyAlarmSwitch(App& app, std::uint16_t on)
{
    OpLog op;
    return ApplyAlarmSwitch(app, op, on);
}

bool ReadAlarmStatus(App& app)
{
    std::uint16_t status = 0;
    if (!core::ReadAlarmStatus(app.bus, app.controller.address, &status))
        return false;
    app.alarmStatus = status;
    if (status != 0)
        app.rt.SetCtrlVal(app.panels.parm, PARM_ALARM_LED, 1);
    return true;
}

void ApplyControlFunctionState(App& app, int f)
{
    const int parm = app.panels.parm;
    if (f == 0 || f == 1 || f == 3 || f == 4) {
        const bool tuning = f == 1;
        const bool manual = f == 3;
        SetTimer(app, parm, PARM_TUNE_TIMER, tuning);
        if (!tuning)
            app.rt.SetCtrlVal(parm, PARM_TUNE_LED, 0);
        // The level field is editable exactly when it can be sent.
        app.rt.SetCtrlAttribute(parm, PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE, manual ? 1 : 0);
        SetDimmed(app, parm, PARM_OUTPUT_LEVEL, !manual);
        SetDimmed(app, parm, PARM_OUTPUT_SET, !manual);
    }
    app.rt.SetCtrlVal(parm, PARM_CTRL_LED, f == 0 ? 0 : 1);
}

// ---- write all and the set value ----

bool WriteAllParameters(App& app, OpLog& op)
{
    core::WriteAllResult r;
    const bool answered = WriteAllParameters(app, r);
    op = r.op;
    return answered;
}

bool WriteAllParameters(App& app, core::WriteAllResult& r)
{
    std::string text;
    if (!core::CheckWriteAll(app.params, &text)) {
        app.rt.MessagePopup(kRangeTitle, text);
        return false;
    }
    r = core::WriteAll(app.bus, app.controller.address, app.params);
    if (r.decimalWritten)
        ApplyDecimalPoint(app);
    if (r.alarmReached) {
        app.rt.SetCtrlVal(app.panels.parm, PARM_ALARM_SW, static_cast<int>(app.params.alarmWatch));
        ShowAlarmSwitch(app, app.params.alarmWatch, r.alarm);
    }
    return !r.op.stopped;
}

bool WriteAllParameters(App& app)
{
    OpLog op;
    const bool done = WriteAllParameters(app, op);
    ReportOutcome(app, op);
    return done;
}

bool SendSetValue(App& app)
{
    const ParameterSet& p = app.params;
    if (!CheckSendable(app, "set value", EncClass::T, p.setValue, p.tempScale))
        return false;
    OpLog op;
    switch (core::SendSetValue(app.bus, app.controller.address, p, &op)) {
    case core::SetValueOutcome::Refused:
        app.rt.MessagePopup("Parameter Error", "The return byte has shown error!\nPlease check your Hi/Lo Limit.");
        return false;
    case core::SetValueOutcome::NoAnswer:
        ReportOutcome(app, op);
        return false;
    case core::SetValueOutcome::Sent:
        break;
    }
    // The window holds it from now: a round that read the SV before it was
    // sent does not take it back.
    monitor::SetValueSeen(app, app.bus.clock.wallMillis());
    return true;
}

} // namespace params
