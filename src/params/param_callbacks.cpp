// The main panel's parameter controls: the read-all and write-all buttons,
// the set value, the single settings, the function switches and their
// watches, and the PID block update.
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

using namespace params;

TEC_CALLBACK(ReadAllParm)
{
    if (event == rt::EVENT_COMMIT)
        ReadAllParameters(app);
    return 0;
}

TEC_CALLBACK(SetSVParm)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    if (!CheckRead(app, {{PARM_SV, "set value"}}))
        return 0;
    const float v = GetFloat(app, app.panels.parm, PARM_SV);
    if (!CheckSendable(app, "set value", EncClass::T, v, app.params.tempScale))
        return 0;
    // A value the controller did not take leaves the field showing the one it holds.
    const float held = app.params.setValue;
    app.params.setValue = v;
    if (!SendSetValue(app)) {
        app.params.setValue = held;
        app.rt.SetCtrlVal(app.panels.parm, PARM_SV, static_cast<double>(held));
    }
    return 0;
}

TEC_CALLBACK(UpdateSensor)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    struct Item {
        int control;
        std::uint16_t reg;
        EncClass cls;
        float ParameterSet::*field;
        const char* name;
    };
    const Item items[7] = {
        {PARM_RANGE_HI, reg::kRangeHigh, EncClass::T, &ParameterSet::rangeHigh, "range high"},
        {PARM_RANGE_LO, reg::kRangeLow, EncClass::T, &ParameterSet::rangeLow, "range low"},
        {PARM_REG30, reg::kReg30, EncClass::T, &ParameterSet::reg30, "register 0x0030 setting"},
        {PARM_REG31, reg::kReg31, EncClass::T, &ParameterSet::reg31, "register 0x0031 setting"},
        {PARM_SW_FILTER, reg::kSwFilter, EncClass::D, &ParameterSet::swFilter, "SW filter"},
        {PARM_ALARM_HIGH, reg::kAlarmHigh, EncClass::T, &ParameterSet::alarmHigh, "high alarm"},
        {PARM_ALARM_LOW, reg::kAlarmLow, EncClass::T, &ParameterSet::alarmLow, "low alarm"},
    };
    std::vector<std::pair<int, const char*>> shown;
    for (const Item& item : items)
        shown.emplace_back(item.control, item.name);
    if (!CheckRead(app, shown))
        return 0;
    // All seven are checked before the first is sent.
    float values[7];
    float held[7];
    for (int i = 0; i < 7; ++i) {
        held[i] = app.params.*items[i].field;
        values[i] = GetFloat(app, app.panels.parm, items[i].control);
        if (!CheckSendable(app, items[i].name, items[i].cls, values[i], app.params.tempScale))
            return 0;
    }
    comlink::SequencePreamble(app.bus);
    OpLog op;
    int sent = 0;
    for (int i = 0; i < 7; ++i) {
        app.params.*items[i].field = values[i];
        if (!core::WriteRegister(app.bus, app.controller.address, op, items[i].reg, Encode(items[i].cls, values[i], app.params.tempScale)))
            break;
        ++sent;
    }
    // Refused, unanswered and unsent fields go back to what the controller holds.
    for (int i = 0; i < 7; ++i) {
        const bool refused = std::find(op.refused.begin(), op.refused.end(), items[i].reg) != op.refused.end();
        if (!refused && i < sent)
            continue;
        app.params.*items[i].field = held[i];
        app.rt.SetCtrlVal(app.panels.parm, items[i].control, static_cast<double>(held[i]));
    }
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(SetOutputLevel)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    if (!CheckRead(app, {{PARM_OUTPUT_LEVEL, "output level"}}))
        return 0;
    const float v = GetFloat(app, app.panels.parm, PARM_OUTPUT_LEVEL);
    if (!CheckSendable(app, "output level", EncClass::D, v, app.params.tempScale))
        return 0;
    OpLog op;
    core::WriteRegister(app.bus, app.controller.address, op, reg::kOutputLevel, Encode(EncClass::D, v, app.params.tempScale));
    if (op.ok())
        app.params.outputLevel = v;
    else
        app.rt.SetCtrlVal(app.panels.parm, PARM_OUTPUT_LEVEL, static_cast<double>(app.params.outputLevel));
    ReportOutcome(app, op);
    return 0;
}

namespace {

// Stores a selector's value in its field and writes its register.
// After a PID update that did not all go through: each term refused, left
// unanswered or never sent goes back to what the controller holds.
void RestorePid(App& app, const ParameterSet& held, const OpLog& op)
{
    ParameterSet& p = app.params;
    const int parm = app.panels.parm;
    bool reachedStop = false;
    for (int n = 1; n <= 4; ++n) {
        const int i = n - 1;
        // The order the update sends: the boundary, then terms 1 to 5.
        for (int t : {6, 1, 2, 3, 4, 5}) {
            if (t == 6 && n == 4)
                continue;
            const std::uint16_t r = reg::PidRegister(n, t);
            reachedStop = reachedStop || (op.stopped && r == op.stopReg);
            const bool refused = std::find(op.refused.begin(), op.refused.end(), r) != op.refused.end();
            if (!reachedStop && !refused)
                continue;
            switch (t) {
            case 1: p.pidP[i] = held.pidP[i]; app.rt.SetCtrlVal(parm, PARM_PID_P(n), double(p.pidP[i])); break;
            case 2: p.pidI[i] = held.pidI[i]; app.rt.SetCtrlVal(parm, PARM_PID_I(n), int(p.pidI[i])); break;
            case 3: p.pidD[i] = held.pidD[i]; app.rt.SetCtrlVal(parm, PARM_PID_D(n), int(p.pidD[i])); break;
            case 4: p.pidT4[i] = held.pidT4[i]; app.rt.SetCtrlVal(parm, PARM_PID_T4(n), double(p.pidT4[i])); break;
            case 5: p.pidT5[i] = held.pidT5[i]; app.rt.SetCtrlVal(parm, PARM_PID_T5(n), double(p.pidT5[i])); break;
            default:
                p.pidBound[i] = held.pidBound[i];
                app.rt.SetCtrlVal(parm, PARM_PID_BOUND(n), double(p.pidBound[i]));
                break;
            }
        }
    }
}

// A choice the controller did not take goes back to the one it holds.
bool SendSelection(App& app, int control, std::int16_t ParameterSet::*field, std::uint16_t reg)
{
    const std::int16_t held = app.params.*field;
    app.params.*field = GetShort(app, app.panels.parm, control);
    OpLog op;
    core::WriteRegister(app.bus, app.controller.address, op, reg, Encode(EncClass::B, app.params.*field, app.params.tempScale));
    if (!op.ok()) {
        app.params.*field = held;
        app.rt.SetCtrlVal(app.panels.parm, control, static_cast<int>(held));
    }
    ReportOutcome(app, op);
    return op.ok();
}

} // namespace

TEC_CALLBACK(SetCF)
{
    if (event == rt::EVENT_COMMIT) {
        SendSelection(app, PARM_CF_UNIT, &ParameterSet::cfUnit, reg::kCfUnit);
        monitor::ShowUnit(app);  // the chart's axis names the unit
        ShowTemperatureUnit(app);
    }
    else if (event == rt::EVENT_RIGHT_CLICK)
        app.rt.MessagePopup(help::kSetCFTitle, help::kSetCFText);
    return 0;
}

TEC_CALLBACK(SetDirRev)
{
    if (event == rt::EVENT_COMMIT)
        SendSelection(app, PARM_DIR_REV, &ParameterSet::dirRev, reg::kDirRev);
    else if (event == rt::EVENT_RIGHT_CLICK)
        app.rt.MessagePopup(help::kSetDirRevTitle, help::kSetDirRevText);
    return 0;
}

TEC_CALLBACK(SetSensor)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    // The hardware switches must match; the operator reads this before anything is sent.
    app.rt.MessagePopup(help::kSetSensorTitle, help::kSetSensorText);
    SendSelection(app, PARM_SENSOR_TYPE, &ParameterSet::sensorType, reg::kSensorType);
    return 0;
}

TEC_CALLBACK(SetDecimalPnt)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(help::kSetDecimalPntTitle, help::kSetDecimalPntText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    const std::int16_t previous = app.params.decimalPnt;
    app.params.decimalPnt = GetShort(app, app.panels.parm, PARM_DECIMAL_PNT);
    OpLog op;
    core::WriteRegister(app.bus, app.controller.address, op, reg::kDecimalPnt, Encode(EncClass::B, app.params.decimalPnt, 1.0f));
    if (op.stopped || !op.refused.empty()) {
        // The scale must stay the controller's: a code it did not take is undone.
        app.params.decimalPnt = previous;
        app.rt.SetCtrlVal(app.panels.parm, PARM_DECIMAL_PNT, static_cast<int>(previous));
    } else {
        ApplyDecimalPoint(app);
    }
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(SetBand)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(help::kSetBandTitle, help::kSetBandText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    const float v = GetFloat(app, app.panels.script, SCRIPT_TOL_BAND);
    if (!CheckSendable(app, "tolerance band", EncClass::T, v, app.params.tempScale))
        return 0;
    OpLog op;
    core::WriteRegister(app.bus, app.controller.address, op, reg::kTolBand, Encode(EncClass::T, v, app.params.tempScale));
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(SetAlarmSW)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(help::kSetAlarmSWTitle, help::kSetAlarmSWText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    const std::uint16_t held = app.params.alarmWatch;
    app.params.alarmWatch = GetInt(app, app.panels.parm, PARM_ALARM_SW) != 0 ? 1 : 0;
    OpLog op;
    core::AlarmSwitchResult r;
    core::ApplyAlarmSwitch(app.bus, app.controller.address, op, app.params.alarmWatch, &r);
    // A switch none of whose four writes the controller took shows the one it holds.
    if (r.writesDone == 0 || (op.refused.size() == 4)) {
        app.params.alarmWatch = held;
        app.rt.SetCtrlVal(app.panels.parm, PARM_ALARM_SW, static_cast<int>(held));
        ShowAlarmSwitch(app, held, core::AlarmSwitchResult{});
    } else {
        ShowAlarmSwitch(app, app.params.alarmWatch, r);
    }
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(ChkAlarm)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    const int parm = app.panels.parm;
    if (!ReadAlarmStatus(app)) {
        ++app.misses.alarm;
        ShowNoAnswerSign(app);
        return 0;
    }
    app.misses.alarm = 0;
    ShowNoAnswerSign(app);
    if (app.alarmStatus == 0)
        return 0;
    // The controller has shut its output off; the panel follows, once.
    ShowControlFunction(app, 0);
    app.rt.SetCtrlVal(parm, PARM_CTRL_LED, 0);
    SetDimmed(app, parm, PARM_ALARM_SW, false);
    SetTimer(app, parm, PARM_ALARM_TIMER, false);
    return 0;
}

TEC_CALLBACK(CtrlEnableFn)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int parm = app.panels.parm;
    // What the selector showed before the operator's choice: every path that
    // sets the selector keeps it (ShowControlFunction).
    const int previousMode = app.ctrlMode;
    const int f = GetInt(app, parm, PARM_CTRL_FUNC);
    // The step program is started from the script panel, which also starts
    // its run watch; chosen here it would run unwatched. The selector only
    // shows it.
    if (f == kStepProgramFunction) {
        ShowControlFunction(app, previousMode);
        return 0;
    }
    app.params.alarmWatch = GetInt(app, parm, PARM_ALARM_SW) != 0 ? 1 : 0;

    OpLog op;
    core::WriteRegister(app.bus, app.controller.address, op, reg::kCtrlFunc, Encode(EncClass::B, f, 1.0f));
    if (op.stopped || !op.refused.empty()) {
        // The controller did not take the function: the panel keeps showing the one it runs.
        ShowControlFunction(app, previousMode);
        ReportOutcome(app, op);
        return 0;
    }
    app.ctrlMode = f;

    if (f == 1 || f == 3 || f == 4) {
        const bool manual = f == 3;
        SetTimer(app, parm, PARM_TUNE_TIMER, f == 1);
        app.rt.SetCtrlAttribute(parm, PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE, manual ? 1 : 0);
        SetDimmed(app, parm, PARM_OUTPUT_LEVEL, !manual);
        SetDimmed(app, parm, PARM_OUTPUT_SET, !manual);
        app.rt.SetCtrlVal(parm, PARM_TUNE_LED, f == 1 ? 1 : 0);
    }
    if (f == 0) {
        app.rt.SetCtrlVal(parm, PARM_CTRL_LED, 0);
        app.rt.SetCtrlVal(parm, PARM_TUNE_LED, 0);
        SetTimer(app, parm, PARM_TUNE_TIMER, false);
        app.rt.SetCtrlAttribute(parm, PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE, 0);
        SetDimmed(app, parm, PARM_OUTPUT_SET, true);
        SetDimmed(app, parm, PARM_OUTPUT_LEVEL, true);
        SetDimmed(app, parm, PARM_ALARM_SW, false);
        return 0;
    }
    app.rt.SetCtrlVal(parm, PARM_CTRL_LED, 1);
    SetDimmed(app, parm, PARM_ALARM_SW, true);
    if (app.params.alarmWatch != 0) {
        SetTimer(app, parm, PARM_ALARM_TIMER, true);
        SetDimmed(app, parm, PARM_ALARM_LED, false);
    }
    return 0;
}

TEC_CALLBACK(ChkAutoTUneOff)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    const int parm = app.panels.parm;
    int f = 0;
    if (!core::ReadControlFunction(app.bus, app.controller.address, &f)) {
        ++app.misses.tune;
        ShowNoAnswerSign(app);
        return 0;
    }
    app.misses.tune = 0;
    ShowNoAnswerSign(app);
    app.rt.SetCtrlVal(parm, PARM_TUNE_LED, GetInt(app, parm, PARM_TUNE_LED) == 0 ? 1 : 0);
    if (f == 4) {
        SetTimer(app, parm, PARM_TUNE_TIMER, false);
        ShowControlFunction(app, 4);
        app.rt.SetCtrlVal(parm, PARM_TUNE_LED, 0);
    } else if (f == 0) {
        SetTimer(app, parm, PARM_TUNE_TIMER, false);
        ShowControlFunction(app, 0);
        app.rt.SetCtrlVal(parm, PARM_CTRL_LED, 0);
        app.rt.SetCtrlVal(parm, PARM_TUNE_LED, 0);
    }
    return 0;
}

TEC_CALLBACK(KeypadEnable)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    app.params.keypadValue = GetShort(app, app.panels.debug, DEBUG_KEYPAD);
    comlink::SequencePreamble(app.bus);
    OpLog op;
    core::WriteRegister(app.bus, app.controller.address, op, reg::kKeypad, Encode(EncClass::B, app.params.keypadValue, 1.0f));
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(updatePID)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int parm = app.panels.parm;
    std::vector<std::pair<int, const char*>> shown;
    static const char* const kTerms[4][6] = {
        {"PID set 1 P", "PID set 1 I", "PID set 1 D", "PID set 1 term 4", "PID set 1 term 5", "PID set 1 boundary"},
        {"PID set 2 P", "PID set 2 I", "PID set 2 D", "PID set 2 term 4", "PID set 2 term 5", "PID set 2 boundary"},
        {"PID set 3 P", "PID set 3 I", "PID set 3 D", "PID set 3 term 4", "PID set 3 term 5", "PID set 3 boundary"},
        {"PID set 4 P", "PID set 4 I", "PID set 4 D", "PID set 4 term 4", "PID set 4 term 5", ""}};
    for (int n = 1; n <= 4; ++n) {
        const int controls[6] = {PARM_PID_P(n), PARM_PID_I(n), PARM_PID_D(n), PARM_PID_T4(n), PARM_PID_T5(n),
                                 n < 4 ? PARM_PID_BOUND(n) : 0};
        for (int t = 0; t < (n < 4 ? 6 : 5); ++t)
            shown.emplace_back(controls[t], kTerms[n - 1][t]);
    }
    if (!CheckRead(app, shown))
        return 0;
    core::PidValues v;
    for (int n = 1; n <= 4; ++n) {
        const int i = n - 1;
        if (n < 4)
            v.bound[i] = GetFloat(app, parm, PARM_PID_BOUND(n));
        v.p[i] = GetFloat(app, parm, PARM_PID_P(n));
        v.i[i] = GetShort(app, parm, PARM_PID_I(n));
        v.d[i] = GetShort(app, parm, PARM_PID_D(n));
        v.t4[i] = GetFloat(app, parm, PARM_PID_T4(n));
        v.t5[i] = GetFloat(app, parm, PARM_PID_T5(n));
    }
    // Every value is checked before the first is sent.
    std::string text;
    if (!core::CheckPid(v, app.params.tempScale, &text)) {
        app.rt.MessagePopup(kRangeTitle, text);
        return 0;
    }
    const ParameterSet held = app.params;
    // Each set's indicator lights as its writes begin; all go out together at the end.
    const OpLog op = core::UpdatePid(app.bus, app.controller.address, app.params, v, [&](int n) {
        if (n > 0) {
            app.rt.SetCtrlVal(parm, PARM_PID_LED(n), 1);
            return;
        }
        for (int k = 1; k <= 4; ++k)
            app.rt.SetCtrlVal(parm, PARM_PID_LED(k), 0);
    });
    if (!op.ok())
        RestorePid(app, held, op);
    ReportOutcome(app, op);
    return 0;
}
