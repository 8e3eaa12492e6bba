#include "core/operations.h"

#include "formats/param_limits.h"
#include "io/end_request.h"
#include "protocol/step_codec.h"

#include <algorithm>
#include <cstdio>

namespace core {

using namespace params;
using comlink::ModbusFrame;

void OpLog::stop(std::uint16_t reg, bool onRead, const Answer& a)
{
    stopped = true;
    stoppedOnRead = onRead;
    stopReg = reg;
    fault = comlink::FaultOf(a, reg);
}

bool ReadRegisters(Bus& bus, Address address, OpLog& op, std::uint16_t reg, int count, Answer* answer)
{
    const ModbusFrame frame = comlink::ReadFrame(address, reg, static_cast<std::uint16_t>(count));
    *answer = comlink::Transact(bus, frame, comlink::ReadAnswerLength(count));
    if (answer->good())
        return true;
    op.stop(reg, true, *answer);
    return false;
}

bool WriteRegister(Bus& bus, Address address, OpLog& op, std::uint16_t reg, std::uint16_t value)
{
    const ModbusFrame frame = comlink::WriteFrame(address, reg, value);
    const Answer a = comlink::Transact(bus, frame, 8);
    if (a.status == AnswerStatus::Exception) {
        op.refused.push_back(reg);
        return true;
    }
    if (a.good())
        return true;
    op.stop(reg, false, a);
    return false;
}

bool ReadAlarmStatus(Bus& bus, Address address, std::uint16_t* alarmStatus, Answer* answer)
{
    const ModbusFrame frame = comlink::ReadFrame(address, reg::kStatus, 1);
    const Answer a = comlink::GuardedTransact(bus, frame, comlink::ReadAnswerLength(1), true);
    if (answer)
        *answer = a;
    if (!a.good())
        return false;
    // While a step program runs (high byte non-zero) the low byte holds the
    // running segment times 15, whose low bits are not alarms.
    const bool running = a.bytes[4] != 0;
    *alarmStatus = running ? 0 : static_cast<std::uint16_t>(a.bytes[5] & 0x0F);
    return true;
}

bool ApplyAlarmSwitch(Bus& bus, Address address, OpLog& op, std::uint16_t on, AlarmSwitchResult* result)
{
    const comlink::OperationScope operation(bus);
    *result = AlarmSwitchResult{};
    const AlarmSwitchWrites writes = AlarmSwitchWritesFor(on != 0);
    for (const RegisterWrite& w : writes.w) {
        if (!WriteRegister(bus, address, op, w.reg, w.value))
            return false;
        ++result->writesDone;
    }
    if (!on)
        return true;
    // The status read is one of the operation's answers: a bad one stops it too.
    Answer a;
    if (!ReadAlarmStatus(bus, address, &result->alarmStatus, &a)) {
        op.stop(reg::kStatus, true, a);
        return false;
    }
    result->statusRead = true;
    return true;
}

namespace {

double DecodeAt(const Answer& a, int k, EncClass cls, float scale)
{
    return Decode(cls, a.bytes[4 + 2 * k], a.bytes[5 + 2 * k], scale);
}

struct SingleRead {
    std::uint16_t reg;
    EncClass cls;
    float ParameterSet::*real;
    std::int16_t ParameterSet::*integer;
};

void Store(ParameterSet& p, const SingleRead& s, const Answer& a)
{
    const double v = DecodeAt(a, 0, s.cls, p.tempScale);
    if (s.real)
        p.*s.real = static_cast<float>(v);
    else
        p.*s.integer = static_cast<std::int16_t>(v);
}

const SingleRead kHead[] = {
    {reg::kSetValue, EncClass::T, &ParameterSet::setValue, nullptr},
    {reg::kAlarmHigh, EncClass::T, &ParameterSet::alarmHigh, nullptr},
    {reg::kAlarmLow, EncClass::T, &ParameterSet::alarmLow, nullptr},
    {reg::kOutputLevel, EncClass::D, &ParameterSet::outputLevel, nullptr},
};

const SingleRead kTail[] = {
    {reg::kSensorType, EncClass::B, nullptr, &ParameterSet::sensorType},
    {reg::kReg30, EncClass::T, &ParameterSet::reg30, nullptr},
    {reg::kReg31, EncClass::T, &ParameterSet::reg31, nullptr},
    {reg::kDirRev, EncClass::B, nullptr, &ParameterSet::dirRev},
    {reg::kCfUnit, EncClass::B, nullptr, &ParameterSet::cfUnit},
    {reg::kRangeLow, EncClass::T, &ParameterSet::rangeLow, nullptr},
    {reg::kRangeHigh, EncClass::T, &ParameterSet::rangeHigh, nullptr},
    {reg::kSwFilter, EncClass::D, &ParameterSet::swFilter, nullptr},
};

bool ReadPidSet(Bus& bus, Address address, OpLog& op, ParameterSet& p, int n)
{
    const int count = n < 4 ? 6 : 5;
    Answer a;
    if (!ReadRegisters(bus, address, op, reg::PidRegister(n, 1), count, &a))
        return false;
    const int i = n - 1;
    p.pidP[i] = static_cast<float>(DecodeAt(a, 0, EncClass::D, p.tempScale));
    p.pidI[i] = static_cast<std::int16_t>(DecodeAt(a, 1, EncClass::I, p.tempScale));
    p.pidD[i] = static_cast<std::int16_t>(DecodeAt(a, 2, EncClass::I, p.tempScale));
    p.pidT4[i] = static_cast<float>(DecodeAt(a, 3, EncClass::D, p.tempScale));
    p.pidT5[i] = static_cast<float>(DecodeAt(a, 4, EncClass::D, p.tempScale));
    if (n < 4)
        p.pidBound[i] = static_cast<float>(DecodeAt(a, 5, EncClass::T, p.tempScale));
    return true;
}

bool ReadAllSteps(Bus& bus, Address address, ParameterSet& p, ReadAllResult& r)
{
    OpLog& op = r.op;
    Answer a;
    // The decimal point first, so that every temperature of this pass is
    // scaled by what the controller holds now.
    if (!ReadRegisters(bus, address, op, reg::kDecimalPnt, 1, &a))
        return false;
    p.decimalPnt = static_cast<std::int16_t>(a.bytes[5]);
    p.tempScale = TempScaleFor(p.decimalPnt);
    r.decimalRead = true;

    for (const SingleRead& s : kHead) {
        if (!ReadRegisters(bus, address, op, s.reg, 1, &a))
            return false;
        Store(p, s, a);
        ++r.headRead;
    }
    if (!ReadRegisters(bus, address, op, reg::kCtrlFunc, 1, &a))
        return false;
    r.ctrlFunc = a.bytes[5];
    r.ctrlFuncRead = true;

    for (int n = 1; n <= 4; ++n) {
        if (!ReadPidSet(bus, address, op, p, n))
            return false;
        ++r.pidSetsRead;
    }
    for (const SingleRead& s : kTail) {
        if (!ReadRegisters(bus, address, op, s.reg, 1, &a))
            return false;
        Store(p, s, a);
        ++r.tailRead;
    }
    // The switch is written back only once the controller has told us its state.
    if (!ReadRegisters(bus, address, op, reg::kAlarmSwitch, 1, &a))
        return false;
    p.alarmWatch = AlarmWatchFromByte(a.bytes[5]);
    r.alarmSwitchRead = true;
    if (!ApplyAlarmSwitch(bus, address, op, p.alarmWatch, &r.alarm))
        return false;
    r.alarmDone = true;

    if (!ReadRegisters(bus, address, op, reg::kKeypad, 1, &a))
        return false;
    p.keypadValue = static_cast<std::int16_t>(a.bytes[5]);
    r.keypadRead = true;
    return true;
}

} // namespace

ReadAllResult ReadAll(Bus& bus, Address address, ParameterSet& params)
{
    const comlink::OperationScope operation(bus);
    ReadAllResult r;
    ReadAllSteps(bus, address, params, r);
    params.tempScale = TempScaleFor(params.decimalPnt);
    // Every field has now been read on this link (a refused alarm-mode write
    // changes nothing that was read).
    if (r.keypadRead && !r.op.stopped)
        params.readSinceConnection = true;
    return r;
}

bool CheckSendable(const char* field, EncClass cls, double value, float tempScale, std::string* message)
{
    if (FitsRegister(cls, value, tempScale))
        return true;
    const int decimals = (cls == EncClass::T && tempScale == 1.0f) ? 0 : 1;
    char text[320];
    std::snprintf(text, sizeof text, "The %s %.*f cannot be sent: it must lie between %.*f and %.*f.\nNothing was sent.",
                  field, decimals + 1, value, decimals, LowestDisplayValue(cls, tempScale), decimals,
                  HighestDisplayValue(cls, tempScale));
    if (message)
        *message = text;
    return false;
}

bool CheckWriteAll(const ParameterSet& p, std::string* message)
{
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
        if (!CheckSendable(c.name, c.cls, c.value, scale, message))
            return false;
    return true;
}

namespace {

using Outcome = PassWrite::Outcome;

bool WriteAllSteps(Bus& bus, Address address, ParameterSet& p, WriteAllResult& r)
{
    OpLog& op = r.op;
    // Each answered write is kept with what the controller made of it.
    auto send = [&](std::uint16_t reg, std::uint16_t value) {
        const std::size_t before = op.refused.size();
        if (!WriteRegister(bus, address, op, reg, value))
            return false;
        r.writes.push_back({reg, value, op.refused.size() > before ? Outcome::Refused : Outcome::Taken});
        return true;
    };
    comlink::SequencePreamble(bus);
    if (!send(reg::kDecimalPnt, Encode(EncClass::B, p.decimalPnt, 1.0f)))
        return false;
    p.tempScale = TempScaleFor(p.decimalPnt);
    r.decimalWritten = true;
    const float ts = p.tempScale;
    if (!send(reg::kSetValue, Encode(EncClass::T, p.setValue, ts)) ||
        !send(reg::kAlarmHigh, Encode(EncClass::T, p.alarmHigh, ts)) ||
        !send(reg::kAlarmLow, Encode(EncClass::T, p.alarmLow, ts)))
        return false;
    r.alarmReached = true;
    const std::size_t before = op.refused.size();
    const bool switched = ApplyAlarmSwitch(bus, address, op, p.alarmWatch, &r.alarm);
    const AlarmSwitchWrites sw = AlarmSwitchWritesFor(p.alarmWatch != 0);
    for (int i = 0; i < r.alarm.writesDone; ++i) {
        const auto from = op.refused.begin() + static_cast<long>(before);
        const bool refused = std::find(from, op.refused.end(), sw.w[i].reg) != op.refused.end();
        r.writes.push_back({sw.w[i].reg, sw.w[i].value, refused ? Outcome::Refused : Outcome::Taken});
    }
    if (!switched)
        return false;
    if (!send(reg::kOutputLevel, Encode(EncClass::D, p.outputLevel, ts)))
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
            if (!send(reg::PidRegister(n, t), v))
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
        if (!send(w.reg, w.value))
            return false;
    return true;
}

// The refused writes once more, in the pass's order, now that the whole set
// (its range among it) is in; again while a round has one taken, since one
// value's limits may be another refused value.
void WriteRefusedAgain(Bus& bus, Address address, WriteAllResult& r)
{
    OpLog& op = r.op;
    for (bool taken = true; taken && !op.refused.empty();) {
        taken = false;
        for (PassWrite& w : r.writes) {
            if (w.outcome != Outcome::Refused)
                continue;
            OpLog again;
            if (!WriteRegister(bus, address, again, w.reg, w.value)) {
                op.stopped = true;
                op.stoppedOnRead = false;
                op.stopReg = again.stopReg;
                op.fault = again.fault;
                return;
            }
            if (again.refused.empty()) {
                w.outcome = Outcome::TakenWhenWrittenAgain;
                op.refused.erase(std::find(op.refused.begin(), op.refused.end(), w.reg));
                taken = true;
            }
        }
    }
}

// Every register of the write-all pass, in its order.
std::vector<std::uint16_t> PassRegisters()
{
    std::vector<std::uint16_t> regs = {reg::kDecimalPnt, reg::kSetValue, reg::kAlarmHigh, reg::kAlarmLow};
    for (const RegisterWrite& w : AlarmSwitchWritesFor(true).w)
        regs.push_back(w.reg);
    regs.push_back(reg::kOutputLevel);
    for (int t = 1; t <= 5; ++t)
        for (int n = 1; n <= 4; ++n)
            regs.push_back(reg::PidRegister(n, t));
    for (std::uint16_t r : {reg::kSensorType, reg::kReg30, reg::kReg31, reg::kDirRev, reg::kCfUnit, reg::kRangeLow,
                            reg::kRangeHigh, reg::kSwFilter})
        regs.push_back(r);
    return regs;
}

// "set value" for 0x0000 (set value); the four alarm-mode registers are the
// one field "alarm switch".
std::string FieldName(std::uint16_t r)
{
    const std::string full = tecreg::RegisterName(r);
    const auto open = full.find('(');
    return open == std::string::npos ? full : full.substr(open + 1, full.size() - open - 2);
}

// Adds a name once, keeping the order.
void AddName(std::vector<std::string>& list, const std::string& name)
{
    if (std::find(list.begin(), list.end(), name) == list.end())
        list.push_back(name);
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i)
        out += (i ? ", " : "") + names[i];
    return out;
}

} // namespace

WriteAllResult WriteAll(Bus& bus, Address address, ParameterSet& params)
{
    const comlink::OperationScope operation(bus);
    WriteAllResult r;
    if (WriteAllSteps(bus, address, params, r) && !r.op.refused.empty() &&
        params::CheckParameterLimits(params, nullptr, nullptr))
        WriteRefusedAgain(bus, address, r);
    return r;
}

std::string DescribeWriteAll(const WriteAllResult& r)
{
    if (r.op.ok())
        return {};
    const OpLog& op = r.op;
    std::vector<std::string> applied, refused, unanswered, unsent;
    auto in = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    if (op.stopped)
        unanswered.push_back(op.stoppedOnRead ? std::string("the alarm status read") : FieldName(op.stopReg));
    for (const PassWrite& w : r.writes)
        if (w.outcome == Outcome::Refused && !in(unanswered, FieldName(w.reg)))
            AddName(refused, FieldName(w.reg));
    for (const PassWrite& w : r.writes)
        if (!in(refused, FieldName(w.reg)) && !in(unanswered, FieldName(w.reg)))
            AddName(applied, FieldName(w.reg));
    // After a write without an answer the rest of the pass was not sent.
    if (op.stopped)
        for (std::uint16_t reg : PassRegisters()) {
            const std::string name = FieldName(reg);
            if (!in(applied, name) && !in(refused, name) && !in(unanswered, name))
                AddName(unsent, name);
        }
    std::string text;
    auto line = [&](const char* head, const std::string& names) {
        if (!names.empty())
            text += std::string(text.empty() ? "" : "\n") + head + names + ".";
    };
    line("Refused by the controller: ", Joined(refused));
    line("No answer to: ", Joined(unanswered));
    line("Not sent: ", Joined(unsent));
    if (!applied.empty())
        line("Applied: ", unsent.empty() && unanswered.empty() ? std::string("every other field") : Joined(applied));
    return text;
}

SetValueOutcome SendSetValue(Bus& bus, Address address, const ParameterSet& p, OpLog* op)
{
    const ModbusFrame frame =
        comlink::WriteFrame(address, reg::kSetValue, Encode(EncClass::T, p.setValue, p.tempScale));
    const Answer a = comlink::Transact(bus, frame, 8);
    // The controller's limit check answers with the function code + 0x80.
    if (a.count >= 2 && a.function() > 0x80)
        return SetValueOutcome::Refused;
    if (a.good())
        return SetValueOutcome::Sent;
    if (op)
        op->stop(reg::kSetValue, false, a);
    return SetValueOutcome::NoAnswer;
}

bool CheckPid(const PidValues& v, float ts, std::string* message)
{
    for (int n = 1; n <= 4; ++n) {
        const int i = n - 1;
        char name[32];
        if (n < 4) {
            std::snprintf(name, sizeof name, "PID set %d boundary", n);
            if (!CheckSendable(name, EncClass::T, v.bound[i], ts, message))
                return false;
        }
        const float terms[3] = {v.p[i], v.t4[i], v.t5[i]};
        const int termNo[3] = {1, 4, 5};
        for (int k = 0; k < 3; ++k) {
            std::snprintf(name, sizeof name, "PID set %d term %d", n, termNo[k]);
            if (!CheckSendable(name, EncClass::D, terms[k], ts, message))
                return false;
        }
    }
    return true;
}

OpLog UpdatePid(Bus& bus, Address address, ParameterSet& ps, const PidValues& v, const std::function<void(int)>& progress)
{
    const comlink::OperationScope operation(bus);
    const float ts = ps.tempScale;
    comlink::SequencePreamble(bus);
    OpLog op;
    for (int n = 1; n <= 4 && !op.stopped; ++n) {
        const int i = n - 1;
        if (progress)
            progress(n);
        if (n < 4) {
            ps.pidBound[i] = v.bound[i];
            if (!WriteRegister(bus, address, op, reg::PidRegister(n, 6), Encode(EncClass::T, v.bound[i], ts)))
                break;
        }
        ps.pidP[i] = v.p[i];
        if (!WriteRegister(bus, address, op, reg::PidRegister(n, 1), Encode(EncClass::D, v.p[i], ts)))
            break;
        ps.pidI[i] = v.i[i];
        if (!WriteRegister(bus, address, op, reg::PidRegister(n, 2), Encode(EncClass::I, v.i[i], ts)))
            break;
        ps.pidD[i] = v.d[i];
        if (!WriteRegister(bus, address, op, reg::PidRegister(n, 3), Encode(EncClass::I, v.d[i], ts)))
            break;
        ps.pidT4[i] = v.t4[i];
        if (!WriteRegister(bus, address, op, reg::PidRegister(n, 4), Encode(EncClass::D, v.t4[i], ts)))
            break;
        ps.pidT5[i] = v.t5[i];
        if (!WriteRegister(bus, address, op, reg::PidRegister(n, 5), Encode(EncClass::D, v.t5[i], ts)))
            break;
    }
    if (progress)
        progress(0);
    comlink::SequencePreamble(bus);
    return op;
}

bool ReadControlFunction(Bus& bus, Address address, int* function)
{
    const ModbusFrame frame = comlink::ReadFrame(address, reg::kCtrlFunc, 1);
    const Answer a = comlink::GuardedTransact(bus, frame, comlink::ReadAnswerLength(1), false);
    if (!a.good())
        return false;
    *function = a.bytes[5];
    return true;
}

// ---- the step program ----

namespace {

constexpr double kStepPreambleDelay = 0.02;
constexpr double kStepReadDelay = 0.03;

std::string Hex4(unsigned v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFFu);
    return buf;
}

// "step 3 action (register 0x0042)" or "tolerance band (register 0x0036)".
std::string StepRegisterDescription(std::uint16_t reg)
{
    static const char* const names[] = {"parameter 1", "set value", "parameter 2", "action", "loop count"};
    if (reg == program::kBandRegister)
        return "tolerance band (register " + Hex4(reg) + ")";
    const int index = reg - program::kFirstStepRegister;
    return "step " + std::to_string(index / program::kRegistersPerStep + 1) + " " +
           names[index % program::kRegistersPerStep] + " (register " + Hex4(reg) + ")";
}

} // namespace

std::string Describe(const Answer& a)
{
    return comlink::Describe(comlink::FaultOf(a));
}

bool ReadStepProgram(Bus& bus, Address address, float scale, StepProgram* out, std::string* failure, comlink::Fault* fault)
{
    if (fault)
        *fault = {};
    const comlink::OperationScope operation(bus);
    bus.ports.flushOutput(bus.comPort);
    bus.ports.flushInput(bus.comPort);
    bus.clock.sleep(kStepPreambleDelay);

    StepProgram prog;
    for (int k = 1; k <= program::kSteps; ++k) {
        const std::uint16_t reg = program::StepBlockRegister(k);
        const Answer a = comlink::Transact(bus, comlink::ReadFrame(address, reg, program::kRegistersPerStep),
                                           comlink::ReadAnswerLength(program::kRegistersPerStep), kStepReadDelay);
        if (!a.good()) {
            if (fault)
                *fault = comlink::FaultOf(a, reg);
            *failure = "step " + std::to_string(k) + " (registers " + Hex4(reg) + " to " +
                       Hex4(reg + program::kRegistersPerStep - 1) + ") got " + Describe(a);
            return false;
        }
        prog.steps[k - 1] = program::DecodeStep(a.bytes, scale);
    }
    const Answer a = comlink::Transact(bus, comlink::ReadFrame(address, program::kBandRegister, 1),
                                       comlink::ReadAnswerLength(1), comlink::kPostWriteDelay);
    if (!a.good()) {
        if (fault)
            *fault = comlink::FaultOf(a, program::kBandRegister);
        *failure = "the tolerance band (register " + Hex4(program::kBandRegister) + ") got " + Describe(a);
        return false;
    }
    prog.tolBand = program::DecodeTemperature(a.reg(0), scale);
    *out = prog;
    return true;
}

bool CheckStepProgram(const StepProgram& prog, float scale, std::string* message)
{
    // A set value too large for its register would arrive as a different
    // temperature, so such a program is not sent at all.
    for (int k = 1; k <= program::kSteps + 1; ++k) {
        const float v = k <= program::kSteps ? prog.steps[k - 1].sv : prog.tolBand;
        if (program::TemperatureFits(v, scale))
            continue;
        char value[32];
        std::snprintf(value, sizeof value, "%.1f", static_cast<double>(v));
        const std::string what = k <= program::kSteps ? "The set value of step " + std::to_string(k) : "The tolerance band";
        char range[80];
        std::snprintf(range, sizeof range, "%.1f to %.1f", -32768.0 / scale, 32767.0 / scale);
        *message = what + ", " + value + ", is outside what the controller can hold (" + range +
                   ").\nNothing was written to the controller.";
        return false;
    }
    return true;
}

bool CheckStepProgram(const StepProgram& prog, float scale, const Span& span, std::string* message)
{
    if (!CheckStepProgram(prog, scale, message))
        return false;
    const int decimals = scale == 1.0f ? 0 : 1;
    auto text = [decimals](float v) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(v));
        return std::string(buf);
    };
    for (int k = 1; k <= program::kSteps; ++k) {
        const int action = prog.steps[k - 1].action;
        if (!program::ActionKnown(action)) {
            *message = "The action of step " + std::to_string(k) + ", " + std::to_string(action) +
                       ", is not one the step program knows (54 next, 44 to 51 loop, 52 end).\nNothing was written "
                       "to the controller.";
            return false;
        }
    }
    if (prog.tolBand < 0.0f) {
        *message = "The tolerance band, " + text(prog.tolBand) + ", is below 0.\nNothing was written to the controller.";
        return false;
    }
    // Steps no run can reach may hold anything; the others go where the
    // controller's span allows, compared as the registers it compares.
    bool reachable[program::kSteps];
    program::ReachableSteps(prog, reachable);
    const long low = program::ScaledTemperature(span.low, scale), high = program::ScaledTemperature(span.high, scale);
    for (int k = 1; k <= program::kSteps; ++k) {
        const float sv = prog.steps[k - 1].sv;
        const long raw = program::ScaledTemperature(sv, scale);
        if (!reachable[k - 1] || (raw >= low && raw <= high))
            continue;
        *message = "The set value of step " + std::to_string(k) + ", " + text(sv) + ", lies " +
                   (raw < low ? "below the controller's range low, " + text(span.low)
                              : "above the controller's range high, " + text(span.high)) +
                   ".\nNothing was written to the controller.";
        return false;
    }
    return true;
}

std::string StoppedStepWriteText(int sent)
{
    if (sent >= program::kProgramRegisters)
        return {};
    if (sent <= 0)
        return "The step program write was stopped by a request to end the program before its first write: the "
               "controller's program is unchanged.";
    // The registers go out in order: the band (0x0036) last, steps from 0x0037.
    const std::uint16_t last = static_cast<std::uint16_t>(program::kFirstStepRegister + sent - 1);
    return "The step program write was stopped by a request to end the program after " + std::to_string(sent) +
           " of " + std::to_string(program::kProgramRegisters) + " writes (the last: " +
           StepRegisterDescription(last) +
           "): the controller holds a partly written step program. Write the whole program again.";
}

bool WriteStepProgram(Bus& bus, Address address, const StepProgram& prog, float scale, std::string* failure,
                      comlink::Fault* fault, const std::function<bool()>& stopAsked, int* stoppedAfter)
{
    if (fault)
        *fault = {};
    const comlink::OperationScope operation(bus);
    const std::function<bool()> stop = stopAsked ? stopAsked : [] { return io::EndRequested(); };
    if (stoppedAfter)
        *stoppedAfter = -1;
    auto stopped = [&](int sent) {
        if (stoppedAfter)
            *stoppedAfter = sent;
        *failure = StoppedStepWriteText(sent);
        return false;
    };
    struct Write {
        std::uint16_t reg;
        std::uint16_t value;
    };
    std::vector<Write> writes;
    for (int k = 1; k <= program::kSteps; ++k) {
        std::uint16_t regs[program::kRegistersPerStep];
        program::EncodeStep(prog.steps[k - 1], scale, regs);
        for (int i = 0; i < program::kRegistersPerStep; ++i)
            writes.push_back({static_cast<std::uint16_t>(program::StepBlockRegister(k) + i), regs[i]});
    }
    writes.push_back({program::kBandRegister, program::EncodeTemperature(prog.tolBand, scale)});

    comlink::SequencePreamble(bus);
    std::vector<std::string> refused;
    comlink::Fault firstRefusal;
    int sent = 0;
    for (const Write& w : writes) {
        if (stop())
            return stopped(sent);
        const Answer a =
            comlink::Transact(bus, comlink::WriteFrame(address, w.reg, w.value), 8, comlink::kPostWriteDelay);
        ++sent;
        if (a.status == AnswerStatus::Exception) {
            if (refused.empty())
                firstRefusal = comlink::FaultOf(a, w.reg);
            refused.push_back(StepRegisterDescription(w.reg));
            continue;
        }
        // A request to end cuts the wait for the answer short: the write went
        // out, whatever became of it.
        if (!a.good() && sent < program::kProgramRegisters && stop())
            return stopped(sent);
        if (!a.good()) {
            if (fault)
                *fault = comlink::FaultOf(a, w.reg);
            *failure = "The step program was not written completely:\n" + StepRegisterDescription(w.reg) + " got " +
                       Describe(a) +
                       ".\nThe registers after it were not sent; write again once the controller answers.";
            return false;
        }
    }
    if (!refused.empty()) {
        if (fault)
            *fault = firstRefusal;
        *failure = "The controller refused these registers of the step program:";
        for (const std::string& r : refused)
            *failure += "\n" + r;
        return false;
    }
    return true;
}

Answer StartStopProgram(Bus& bus, Address address, bool start)
{
    return comlink::Transact(bus,
                             comlink::WriteFrame(address, program::kControlFunctionRegister,
                                                 start ? program::kRunCommand : program::kStopCommand),
                             8, comlink::kPostWriteDelay);
}

bool ReadRunStatus(Bus& bus, Address address, RunStatus* status)
{
    const Answer a = comlink::GuardedTransact(bus, comlink::ReadFrame(address, program::kStatusRegister, 1),
                                              comlink::ReadAnswerLength(1));
    if (!a.good())
        return false;
    status->runMode = a.bytes[4];
    status->segment = a.bytes[5];
    return true;
}

// ---- the polls ----

namespace {

bool Poll(Bus& bus, Address address, std::uint16_t reg, double postDelay, float scale, float* value)
{
    const ModbusFrame frame = comlink::ReadFrame(address, reg, 1);
    Answer answer;
    if (!comlink::VerifiedPollRead(bus, frame, postDelay, &answer) || !answer.good())
        return false;
    *value = static_cast<float>(static_cast<std::int16_t>(answer.reg(0))) / scale;
    return true;
}

} // namespace

bool PollPV(Bus& bus, Address address, float tempScale, float* pv)
{
    return Poll(bus, address, reg::kPv, comlink::kPostWriteDelay, tempScale, pv);
}

bool PollSV(Bus& bus, Address address, float tempScale, float* sv)
{
    return Poll(bus, address, reg::kWorkingSv, comlink::kSvPostWriteDelay, tempScale, sv);
}

} // namespace core
