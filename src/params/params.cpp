// Reading and writing the controller's parameters: the read-all pass, the
// set-value write, the write-all pass, the single settings, the function
// switches and watches, and the PID block update.
#include "params/params.h"

#include "app/app.h"
#include "app/panel_state.h"
#include "monitor/monitor.h"
#include "link/transact.h"
#include "params/encoding.h"
#include "params/help_texts.h"
#include "params/param_ops.h"

#include <algorithm>
#include <cstdio>

namespace params {

namespace {

constexpr const char* kNoAnswerTitle = "Controller Not Answering";
// Control function 5 runs the step program.
constexpr int kStepProgramFunction = 5;
constexpr const char* kRefusedTitle = "Parameter Refused";
constexpr const char* kRangeTitle = "Value Out of Range";

std::string RegName(std::uint16_t reg)
{
    std::string name = comlink::RegisterName(reg);
    if (name.empty()) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%04X", reg);
        name = buf;
    }
    return name;
}

const char* StatusWords(const OpLog& op)
{
    if (op.wrongAnswer)
        return "gave a wrong answer to";
    switch (op.stopStatus) {
    case comlink::AnswerStatus::Short:
        return "gave an incomplete answer to";
    case comlink::AnswerStatus::BadCrc:
        return "gave a corrupted answer to";
    case comlink::AnswerStatus::Exception:
        return "refused";
    case comlink::AnswerStatus::NoPort:
        return "could not be reached (the port is not open) for";
    default:
        return "did not answer";
    }
}

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


double DecodeAt(const comlink::Answer& a, int k, EncClass cls, float scale)
{
    return Decode(cls, a.bytes[4 + 2 * k], a.bytes[5 + 2 * k], scale);
}

// The status word read under the link-busy guard: a 0.01 s wait instead of
// the preamble, no flush.
comlink::Answer AlarmStatusExchange(App& app)
{
    const comlink::ModbusFrame frame = comlink::ReadFrame(app.link.ctrlID, reg::kStatus, 1);
    return comlink::GuardedTransact(app, frame, comlink::ReadAnswerLength(1), true);
}

// Takes the alarm bits from a good status answer; a bad or wrong one changes
// nothing and gives false.
// While a step program runs (high byte non-zero) the low byte holds the
// running segment times 15, whose low bits are not alarms: no alarm is seen
// then. With the alarm switch on, an alarm ends the run, and the bits show
// at the next read.
bool TakeAlarmStatus(App& app, const comlink::Answer& a)
{
    const auto address = static_cast<std::uint8_t>(app.link.ctrlID & 0xFF);
    if (!a.good() || a.bytes[0] != address || a.bytes[1] != comlink::FN_READ)
        return false;
    const bool running = a.bytes[4] != 0;
    app.alarmStatus = running ? 0 : static_cast<std::uint16_t>(a.bytes[5] & 0x0F);
    if (app.alarmStatus != 0)
        app.rt.SetCtrlVal(app.panels.parm, PARM_ALARM_LED, 1);
    return true;
}

// One single-register step of the read-all pass.
struct SingleRead {
    std::uint16_t reg;
    EncClass cls;
    float ParameterSet::*real;
    std::int16_t ParameterSet::*integer;
    int control;
};

void StoreSingle(App& app, const SingleRead& s, const comlink::Answer& a)
{
    const double v = DecodeAt(a, 0, s.cls, app.params.tempScale);
    if (s.real) {
        app.params.*s.real = static_cast<float>(v);
        app.rt.SetCtrlVal(app.panels.parm, s.control, static_cast<double>(app.params.*s.real));
    } else {
        app.params.*s.integer = static_cast<std::int16_t>(v);
        app.rt.SetCtrlVal(app.panels.parm, s.control, static_cast<int>(app.params.*s.integer));
    }
}

bool ReadSingles(App& app, OpLog& op, const SingleRead* list, int n)
{
    comlink::Answer a;
    for (int i = 0; i < n; ++i) {
        if (!ReadRegisters(app, op, list[i].reg, 1, &a))
            return false;
        StoreSingle(app, list[i], a);
    }
    return true;
}

bool ReadPidSet(App& app, OpLog& op, int n)
{
    const int count = n < 4 ? 6 : 5;
    comlink::Answer a;
    if (!ReadRegisters(app, op, reg::PidRegister(n, 1), count, &a))
        return false;
    ParameterSet& p = app.params;
    const int i = n - 1;
    const int parm = app.panels.parm;
    p.pidP[i] = static_cast<float>(DecodeAt(a, 0, EncClass::D, p.tempScale));
    p.pidI[i] = static_cast<std::int16_t>(DecodeAt(a, 1, EncClass::I, p.tempScale));
    p.pidD[i] = static_cast<std::int16_t>(DecodeAt(a, 2, EncClass::I, p.tempScale));
    p.pidT4[i] = static_cast<float>(DecodeAt(a, 3, EncClass::D, p.tempScale));
    p.pidT5[i] = static_cast<float>(DecodeAt(a, 4, EncClass::D, p.tempScale));
    app.rt.SetCtrlVal(parm, PARM_PID_P(n), static_cast<double>(p.pidP[i]));
    app.rt.SetCtrlVal(parm, PARM_PID_I(n), static_cast<int>(p.pidI[i]));
    app.rt.SetCtrlVal(parm, PARM_PID_D(n), static_cast<int>(p.pidD[i]));
    app.rt.SetCtrlVal(parm, PARM_PID_T4(n), static_cast<double>(p.pidT4[i]));
    app.rt.SetCtrlVal(parm, PARM_PID_T5(n), static_cast<double>(p.pidT5[i]));
    if (n < 4) {
        p.pidBound[i] = static_cast<float>(DecodeAt(a, 5, EncClass::T, p.tempScale));
        app.rt.SetCtrlVal(parm, PARM_PID_BOUND(n), static_cast<double>(p.pidBound[i]));
    }
    return true;
}

// The transactions of the read-all pass; false where it stopped.
bool ReadAllPass(App& app, OpLog& op, std::uint16_t heldAlarmWatch)
{
    ParameterSet& p = app.params;
    const int parm = app.panels.parm;
    comlink::Answer a;

    // The decimal point first, so that every temperature of this pass is
    // scaled by what the controller holds now.
    if (!ReadRegisters(app, op, reg::kDecimalPnt, 1, &a))
        return false;
    p.decimalPnt = static_cast<std::int16_t>(a.bytes[5]);
    app.rt.SetCtrlVal(parm, PARM_DECIMAL_PNT, static_cast<int>(p.decimalPnt));
    ApplyDecimalPoint(app);

    const SingleRead head[] = {
        {reg::kSetValue, EncClass::T, &ParameterSet::setValue, nullptr, PARM_SV},
        {reg::kAlarmHigh, EncClass::T, &ParameterSet::alarmHigh, nullptr, PARM_ALARM_HIGH},
        {reg::kAlarmLow, EncClass::T, &ParameterSet::alarmLow, nullptr, PARM_ALARM_LOW},
        {reg::kOutputLevel, EncClass::D, &ParameterSet::outputLevel, nullptr, PARM_OUTPUT_LEVEL},
    };
    if (!ReadSingles(app, op, head, 4))
        return false;

    // The control function is shown, not stored.
    if (!ReadRegisters(app, op, reg::kCtrlFunc, 1, &a))
        return false;
    const int f = a.bytes[5];
    ShowControlFunction(app, f);
    ApplyControlFunctionState(app, f);
    app.rt.SetCtrlVal(parm, PARM_ALARM_SW, static_cast<int>(heldAlarmWatch));

    for (int n = 1; n <= 4; ++n)
        if (!ReadPidSet(app, op, n))
            return false;

    const SingleRead tail[] = {
        {reg::kSensorType, EncClass::B, nullptr, &ParameterSet::sensorType, PARM_SENSOR_TYPE},
        {reg::kReg30, EncClass::T, &ParameterSet::reg30, nullptr, PARM_REG30},
        {reg::kReg31, EncClass::T, &ParameterSet::reg31, nullptr, PARM_REG31},
        {reg::kDirRev, EncClass::B, nullptr, &ParameterSet::dirRev, PARM_DIR_REV},
        {reg::kCfUnit, EncClass::B, nullptr, &ParameterSet::cfUnit, PARM_CF_UNIT},
        {reg::kRangeLow, EncClass::T, &ParameterSet::rangeLow, nullptr, PARM_RANGE_LO},
        {reg::kRangeHigh, EncClass::T, &ParameterSet::rangeHigh, nullptr, PARM_RANGE_HI},
        {reg::kSwFilter, EncClass::D, &ParameterSet::swFilter, nullptr, PARM_SW_FILTER},
    };
    if (!ReadSingles(app, op, tail, 8))
        return false;

    // The switch is written back only once the controller has told us its state.
    if (!ReadRegisters(app, op, reg::kAlarmSwitch, 1, &a))
        return false;
    p.alarmWatch = AlarmWatchFromByte(a.bytes[5]);
    app.rt.SetCtrlVal(parm, PARM_ALARM_SW, static_cast<int>(p.alarmWatch));
    if (!ApplyAlarmSwitch(app, op, p.alarmWatch))
        return false;

    if (!ReadRegisters(app, op, reg::kKeypad, 1, &a))
        return false;
    p.keypadValue = static_cast<std::int16_t>(a.bytes[5]);
    app.rt.SetCtrlVal(app.panels.debug, DEBUG_KEYPAD, static_cast<int>(p.keypadValue));
    return true;
}

} // namespace

// ---- shared by the operations ----

bool ReadRegisters(App& app, OpLog& op, std::uint16_t reg, int count, comlink::Answer* answer)
{
    const comlink::ModbusFrame frame = comlink::ReadFrame(app.link.ctrlID, reg, static_cast<std::uint16_t>(count));
    *answer = comlink::Transact(app, frame, comlink::ReadAnswerLength(count));
    if (answer->good() && answer->bytes[0] == frame.b[0] && answer->bytes[1] == comlink::FN_READ)
        return true;
    op.stopped = true;
    op.stoppedOnRead = true;
    op.stopReg = reg;
    op.stopStatus = answer->status;
    op.wrongAnswer = answer->good();
    return false;
}

bool WriteRegister(App& app, OpLog& op, std::uint16_t reg, std::uint16_t value)
{
    const comlink::ModbusFrame frame = comlink::WriteFrame(app.link.ctrlID, reg, value);
    const comlink::Answer a = comlink::Transact(app, frame, 8);
    if (a.status == comlink::AnswerStatus::Exception) {
        op.refused.push_back(reg);
        return true;
    }
    if (a.good() && std::equal(frame.b, frame.b + 6, a.bytes))
        return true;
    op.stopped = true;
    op.stoppedOnRead = false;
    op.stopReg = reg;
    op.stopStatus = a.status;
    op.wrongAnswer = a.good();
    return false;
}

void ReportOutcome(App& app, const OpLog& op)
{
    if (!op.stopped && op.refused.empty())
        return;
    if (op.stopped && op.stopStatus == comlink::AnswerStatus::NoPort && app.portLostReported)
        return;
    std::string text;
    if (op.stopped) {
        text = std::string("The controller ") + StatusWords(op) +
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
    app.rt.MessagePopup(op.stopped ? kNoAnswerTitle : kRefusedTitle, text);
}

bool CheckSendable(App& app, const char* field, EncClass cls, double value, float tempScale)
{
    if (FitsRegister(cls, value, tempScale))
        return true;
    const int decimals = (cls == EncClass::T && tempScale == 1.0f) ? 0 : 1;
    char text[320];
    std::snprintf(text, sizeof text, "The %s %.*f cannot be sent: it must lie between %.*f and %.*f.\nNothing was sent.",
                  field, decimals + 1, value, decimals, LowestDisplayValue(cls, tempScale), decimals,
                  HighestDisplayValue(cls, tempScale));
    app.rt.MessagePopup(kRangeTitle, text);
    return false;
}

// ---- read all ----

bool ReadAllParameters(App& app)
{
    if (app.link.waitShown != 1) {
        app.rt.InstallPopup(app.panels.wait);
        app.link.waitShown = 1;
    }
    comlink::SequencePreamble(app);
    OpLog op;
    ReadAllPass(app, op, app.params.alarmWatch);
    // A lost port has taken the popup down already, with its own message.
    if (app.link.waitShown)
        app.rt.RemovePopup(0);
    app.link.waitShown = 0;
    ApplyDecimalPoint(app);
    monitor::ShowUnit(app);
    ReportOutcome(app, op);
    return !op.stopped && op.refused.empty();
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
    const int parm = app.panels.parm;
    SetDimmed(app, parm, PARM_ALARM_HIGH, !on);
    SetDimmed(app, parm, PARM_ALARM_LOW, !on);
    const AlarmSwitchWrites writes = AlarmSwitchWritesFor(on != 0);
    for (const RegisterWrite& w : writes.w)
        if (!WriteRegister(app, op, w.reg, w.value))
            return false;
    if (on) {
        SetDimmed(app, parm, PARM_ALARM_LED, false);
        // The status read is one of the operation's answers: a bad one stops it too.
        const comlink::Answer a = AlarmStatusExchange(app);
        if (!TakeAlarmStatus(app, a)) {
            op.stopped = true;
            op.stoppedOnRead = true;
            op.stopReg = reg::kStatus;
            op.stopStatus = a.status;
            op.wrongAnswer = a.good();
            return false;
        }
    } else {
        app.rt.SetCtrlVal(parm, PARM_ALARM_LED, 0);
        SetDimmed(app, parm, PARM_ALARM_LED, true);
    }
    return true;
}

bool ApplyAlarmSwitch(App& app, std::uint16_t on)
{
    OpLog op;
    return ApplyAlarmSwitch(app, op, on);
}

bool ReadAlarmStatus(App& app)
{
    return TakeAlarmStatus(app, AlarmStatusExchange(app));
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
    ParameterSet& p = app.params;
    const float scale = TempScaleFor(p.decimalPnt);  // the decimal point goes first
    struct Check {
        const char* name;
        EncClass cls;
        float value;
    };
    const Check checks[] = {
        {"set value", EncClass::T, p.setValue},       {"high alarm", EncClass::T, p.alarmHigh},
        {"low alarm", EncClass::T, p.alarmLow},       {"output level", EncClass::D, p.outputLevel},
        {"PID set 1 term 1", EncClass::D, p.pidP[0]}, {"PID set 2 term 1", EncClass::D, p.pidP[1]},
        {"PID set 3 term 1", EncClass::D, p.pidP[2]}, {"PID set 4 term 1", EncClass::D, p.pidP[3]},
        {"PID set 1 term 4", EncClass::D, p.pidT4[0]}, {"PID set 2 term 4", EncClass::D, p.pidT4[1]},
        {"PID set 3 term 4", EncClass::D, p.pidT4[2]}, {"PID set 4 term 4", EncClass::D, p.pidT4[3]},
        {"PID set 1 term 5", EncClass::D, p.pidT5[0]}, {"PID set 2 term 5", EncClass::D, p.pidT5[1]},
        {"PID set 3 term 5", EncClass::D, p.pidT5[2]}, {"PID set 4 term 5", EncClass::D, p.pidT5[3]},
        {"register 0x0030 setting", EncClass::T, p.reg30}, {"register 0x0031 setting", EncClass::T, p.reg31},
        {"range low", EncClass::T, p.rangeLow},       {"range high", EncClass::T, p.rangeHigh},
        {"SW filter", EncClass::D, p.swFilter},
    };
    for (const Check& c : checks)
        if (!CheckSendable(app, c.name, c.cls, c.value, scale))
            return false;

    comlink::SequencePreamble(app);
    if (!WriteRegister(app, op, reg::kDecimalPnt, Encode(EncClass::B, p.decimalPnt, 1.0f)))
        return false;
    ApplyDecimalPoint(app);
    const float ts = p.tempScale;
    if (!WriteRegister(app, op, reg::kSetValue, Encode(EncClass::T, p.setValue, ts)) ||
        !WriteRegister(app, op, reg::kAlarmHigh, Encode(EncClass::T, p.alarmHigh, ts)) ||
        !WriteRegister(app, op, reg::kAlarmLow, Encode(EncClass::T, p.alarmLow, ts)))
        return false;
    app.rt.SetCtrlVal(app.panels.parm, PARM_ALARM_SW, static_cast<int>(p.alarmWatch));
    if (!ApplyAlarmSwitch(app, op, p.alarmWatch))
        return false;
    if (!WriteRegister(app, op, reg::kOutputLevel, Encode(EncClass::D, p.outputLevel, ts)))
        return false;
    // Term by term across the four sets.
    for (int t = 1; t <= 5; ++t) {
        for (int n = 1; n <= 4; ++n) {
            const int i = n - 1;
            std::uint16_t v = 0;
            switch (t) {
            case 1: v = Encode(EncClass::D, p.pidP[i], ts); break;
            case 2: v = Encode(EncClass::I, p.pidI[i], ts); break;
            case 3: v = Encode(EncClass::I, p.pidD[i], ts); break;
            case 4: v = Encode(EncClass::D, p.pidT4[i], ts); break;
            default: v = Encode(EncClass::D, p.pidT5[i], ts); break;
            }
            if (!WriteRegister(app, op, reg::PidRegister(n, t), v))
                return false;
        }
    }
    const RegisterWrite tail[] = {
        {reg::kSensorType, Encode(EncClass::B, p.sensorType, ts)}, {reg::kReg30, Encode(EncClass::T, p.reg30, ts)},
        {reg::kReg31, Encode(EncClass::T, p.reg31, ts)},           {reg::kDirRev, Encode(EncClass::B, p.dirRev, ts)},
        {reg::kCfUnit, Encode(EncClass::B, p.cfUnit, ts)},         {reg::kRangeLow, Encode(EncClass::T, p.rangeLow, ts)},
        {reg::kRangeHigh, Encode(EncClass::T, p.rangeHigh, ts)},   {reg::kSwFilter, Encode(EncClass::D, p.swFilter, ts)},
    };
    for (const RegisterWrite& w : tail)
        if (!WriteRegister(app, op, w.reg, w.value))
            return false;
    return true;
}

bool WriteAllParameters(App& app)
{
    OpLog op;
    const bool done = WriteAllParameters(app, op);
    ReportOutcome(app, op);
    return done;
}

void SendSetValue(App& app)
{
    const ParameterSet& p = app.params;
    if (!CheckSendable(app, "set value", EncClass::T, p.setValue, p.tempScale))
        return;
    const comlink::ModbusFrame frame =
        comlink::WriteFrame(app.link.ctrlID, reg::kSetValue, Encode(EncClass::T, p.setValue, p.tempScale));
    const comlink::Answer a = comlink::Transact(app, frame, 8);
    if (a.count >= 2 && a.function() > 0x80) {
        app.rt.MessagePopup("Parameter Error", "The return byte has shown error!\nPlease check your Hi/Lo Limit.");
        return;
    }
    if (a.good() && std::equal(frame.b, frame.b + 6, a.bytes))
        return;
    OpLog op;
    op.stopped = true;
    op.stopReg = reg::kSetValue;
    op.stopStatus = a.status;
    op.wrongAnswer = a.good();
    ReportOutcome(app, op);
}

} // namespace params

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
    const float v = GetFloat(app, app.panels.parm, PARM_SV);
    if (!CheckSendable(app, "set value", EncClass::T, v, app.params.tempScale))
        return 0;
    app.params.setValue = v;
    SendSetValue(app);
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
    // All seven are checked before the first is sent.
    float values[7];
    for (int i = 0; i < 7; ++i) {
        values[i] = GetFloat(app, app.panels.parm, items[i].control);
        if (!CheckSendable(app, items[i].name, items[i].cls, values[i], app.params.tempScale))
            return 0;
    }
    comlink::SequencePreamble(app);
    OpLog op;
    for (int i = 0; i < 7; ++i) {
        app.params.*items[i].field = values[i];
        if (!WriteRegister(app, op, items[i].reg, Encode(items[i].cls, values[i], app.params.tempScale)))
            break;
    }
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(SetOutputLevel)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const float v = GetFloat(app, app.panels.parm, PARM_OUTPUT_LEVEL);
    if (!CheckSendable(app, "output level", EncClass::D, v, app.params.tempScale))
        return 0;
    OpLog op;
    WriteRegister(app, op, reg::kOutputLevel, Encode(EncClass::D, v, app.params.tempScale));
    ReportOutcome(app, op);
    return 0;
}

namespace {

// Stores a selector's value in its field and writes its register.
void SendSelection(App& app, int control, std::int16_t ParameterSet::*field, std::uint16_t reg)
{
    app.params.*field = GetShort(app, app.panels.parm, control);
    OpLog op;
    WriteRegister(app, op, reg, Encode(EncClass::B, app.params.*field, app.params.tempScale));
    ReportOutcome(app, op);
}

} // namespace

TEC_CALLBACK(SetCF)
{
    if (event == rt::EVENT_COMMIT) {
        SendSelection(app, PARM_CF_UNIT, &ParameterSet::cfUnit, reg::kCfUnit);
        monitor::ShowUnit(app);  // the chart's axis names the unit
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
    WriteRegister(app, op, reg::kDecimalPnt, Encode(EncClass::B, app.params.decimalPnt, 1.0f));
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
    WriteRegister(app, op, reg::kTolBand, Encode(EncClass::T, v, app.params.tempScale));
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
    app.params.alarmWatch = GetInt(app, app.panels.parm, PARM_ALARM_SW) != 0 ? 1 : 0;
    OpLog op;
    params::ApplyAlarmSwitch(app, op, app.params.alarmWatch);
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
    WriteRegister(app, op, reg::kCtrlFunc, Encode(EncClass::B, f, 1.0f));
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
    const comlink::ModbusFrame frame = comlink::ReadFrame(app.link.ctrlID, reg::kCtrlFunc, 1);
    const comlink::Answer a = comlink::GuardedTransact(app, frame, comlink::ReadAnswerLength(1), false);
    if (!a.good() || a.bytes[0] != frame.b[0] || a.bytes[1] != comlink::FN_READ) {
        ++app.misses.tune;
        ShowNoAnswerSign(app);
        return 0;
    }
    app.misses.tune = 0;
    ShowNoAnswerSign(app);
    app.rt.SetCtrlVal(parm, PARM_TUNE_LED, GetInt(app, parm, PARM_TUNE_LED) == 0 ? 1 : 0);
    const int f = a.bytes[5];
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
    comlink::SequencePreamble(app);
    OpLog op;
    WriteRegister(app, op, reg::kKeypad, Encode(EncClass::B, app.params.keypadValue, 1.0f));
    ReportOutcome(app, op);
    return 0;
}

TEC_CALLBACK(updatePID)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int parm = app.panels.parm;
    const float ts = app.params.tempScale;
    // Every value is checked before the first is sent.
    float bound[3], p[4], t4[4], t5[4];
    short iv[4], dv[4];
    for (int n = 1; n <= 4; ++n) {
        const int i = n - 1;
        char name[32];
        if (n < 4) {
            bound[i] = GetFloat(app, parm, PARM_PID_BOUND(n));
            std::snprintf(name, sizeof name, "PID set %d boundary", n);
            if (!CheckSendable(app, name, EncClass::T, bound[i], ts))
                return 0;
        }
        p[i] = GetFloat(app, parm, PARM_PID_P(n));
        iv[i] = GetShort(app, parm, PARM_PID_I(n));
        dv[i] = GetShort(app, parm, PARM_PID_D(n));
        t4[i] = GetFloat(app, parm, PARM_PID_T4(n));
        t5[i] = GetFloat(app, parm, PARM_PID_T5(n));
        const float* terms[3] = {&p[i], &t4[i], &t5[i]};
        const int termNo[3] = {1, 4, 5};
        for (int k = 0; k < 3; ++k) {
            std::snprintf(name, sizeof name, "PID set %d term %d", n, termNo[k]);
            if (!CheckSendable(app, name, EncClass::D, *terms[k], ts))
                return 0;
        }
    }

    comlink::SequencePreamble(app);
    OpLog op;
    ParameterSet& ps = app.params;
    for (int n = 1; n <= 4 && !op.stopped; ++n) {
        const int i = n - 1;
        app.rt.SetCtrlVal(parm, PARM_PID_LED(n), 1);
        if (n < 4) {
            ps.pidBound[i] = bound[i];
            if (!WriteRegister(app, op, reg::PidRegister(n, 6), Encode(EncClass::T, bound[i], ts)))
                break;
        }
        ps.pidP[i] = p[i];
        if (!WriteRegister(app, op, reg::PidRegister(n, 1), Encode(EncClass::D, p[i], ts)))
            break;
        ps.pidI[i] = iv[i];
        if (!WriteRegister(app, op, reg::PidRegister(n, 2), Encode(EncClass::I, iv[i], ts)))
            break;
        ps.pidD[i] = dv[i];
        if (!WriteRegister(app, op, reg::PidRegister(n, 3), Encode(EncClass::I, dv[i], ts)))
            break;
        ps.pidT4[i] = t4[i];
        if (!WriteRegister(app, op, reg::PidRegister(n, 4), Encode(EncClass::D, t4[i], ts)))
            break;
        ps.pidT5[i] = t5[i];
        if (!WriteRegister(app, op, reg::PidRegister(n, 5), Encode(EncClass::D, t5[i], ts)))
            break;
    }
    for (int n = 1; n <= 4; ++n)
        app.rt.SetCtrlVal(parm, PARM_PID_LED(n), 0);
    comlink::SequencePreamble(app);
    ReportOutcome(app, op);
    return 0;
}
