#include "tecctl/commands.h"
#include "tecctl/command_parts.h"

#include "core/operations.h"
#include "formats/step_file_format.h"
#include "io/file_io.h"
#include "io/text_escape.h"
#include "params/param_file.h"
#include "protocol/step_codec.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <sys/stat.h>

namespace tecctl {

namespace {

using params::EncClass;
using tecreg::NamedParameter;

// ---- files ----

// Regular files of a settings file's size only, read without blocking; see
// io/file_io.h.
bool ReadTextFile(const std::string& path, std::string* text, std::string* error)
{
    std::string why;
    if (!io::ReadRegularFile(path, io::kSmallFileLimit, text, &why)) {
        *error = path + " cannot be read: " + why;
        return false;
    }
    return true;
}

// Written to a new file beside the target and renamed into place: a failed
// write leaves the target as it was, and the target keeps its permissions.
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error)
{
    std::string why;
    if (!io::WriteFileReplacing(path, text, &why)) {
        *error = path + " cannot be written: " + why;
        return false;
    }
    return true;
}

} // namespace

// ---- values ----

int Decimals(EncClass cls, float tempScale)
{
    switch (cls) {
    case EncClass::T:
        return tempScale == 1.0f ? 0 : 1;
    case EncClass::D:
        return 1;
    default:
        return 0;
    }
}

std::string FormatValue(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

namespace {

// The temperature unit as the unit register names it.
std::string TemperatureUnit(int cfUnit)
{
    return cfUnit == 1 ? "\u00B0F" : cfUnit == 0 ? "\u00B0C" : "degrees (unit code " + std::to_string(cfUnit) + ")";
}

std::string UnitText(const NamedParameter& p, int cfUnit)
{
    if (std::string(p.unit) == "temperature")
        return TemperatureUnit(cfUnit);
    return p.unit;
}

// One value for both outputs; a coded value prints its word and keeps its
// code in the document.
void Emit(Session& s, const NamedParameter& p, double value, float tempScale, int cfUnit)
{
    const int decimals = Decimals(p.cls, tempScale);
    const std::string unit = UnitText(p, cfUnit);
    const char* word = WordForCode(p.name, static_cast<int>(value));
    EmitValue(s, p, value, decimals, unit, word);
}

// The process value, marked as such: in the document beside "parameters".
void EmitPv(Session& s, double pv, float tempScale, int cfUnit)
{
    const int decimals = Decimals(EncClass::T, tempScale);
    s.json.beginObject("pv");
    s.json.number("value", pv, decimals);
    s.json.string("unit", TemperatureUnit(cfUnit));
    s.json.endObject();
    char line[160];
    std::snprintf(line, sizeof line, "%-14s %10s %s (process value)\n", kProcessValueName,
                  FormatValue(pv, decimals).c_str(), TemperatureUnit(cfUnit).c_str());
    s.text += line;
}

std::string OpFailure(const core::OpLog& op)
{
    if (op.stopped)
        return std::string(op.stoppedOnRead ? "the read of register " : "the write of register ") +
               tecreg::RegisterName(op.stopReg) + " got " + comlink::Describe(op.fault);
    std::string text = "the controller refused the value written to";
    for (std::size_t i = 0; i < op.refused.size(); ++i)
        text += (i ? ", " : " ") + tecreg::RegisterName(op.refused[i]);
    return text;
}

} // namespace

int OpStatus(Session& s, const core::OpLog& op)
{
    if (op.ok())
        return EXIT_OK;
    s.error = OpFailure(op);
    return op.stopped ? EXIT_SILENT : EXIT_REFUSED;
}

// The decimal point, read as the read-all pass reads it; the scale follows.
bool ReadScale(Session& s, core::OpLog& op, ParameterSet& p)
{
    core::Answer a;
    if (!core::ReadRegisters(s.bus, s.address, op, tecreg::kDecimalPnt, 1, &a))
        return false;
    p.decimalPnt = static_cast<std::int16_t>(a.bytes[5]);
    p.tempScale = params::TempScaleFor(p.decimalPnt);
    return true;
}

namespace {

// The temperature unit, read as the read-all pass reads it.
bool ReadUnit(Session& s, core::OpLog& op, ParameterSet& p)
{
    core::Answer a;
    if (!core::ReadRegisters(s.bus, s.address, op, tecreg::kCfUnit, 1, &a))
        return false;
    p.cfUnit = static_cast<std::int16_t>(a.bytes[5]);
    return true;
}

// The process value at the scale of p.
bool ReadPv(Session& s, core::OpLog& op, const ParameterSet& p, double* pv)
{
    core::Answer a;
    if (!core::ReadRegisters(s.bus, s.address, op, tecreg::kPv, 1, &a))
        return false;
    *pv = params::Decode(EncClass::T, a.bytes[4], a.bytes[5], p.tempScale);
    return true;
}

// The value a read-all pass left for a named parameter; false for one the
// pass does not read.
bool FieldOf(const ParameterSet& p, const core::ReadAllResult& r, const std::string& name, double* v)
{
    struct Real {
        const char* name;
        float ParameterSet::*field;
    };
    static const Real kReals[] = {
        {"sv", &ParameterSet::setValue},       {"alarm-high", &ParameterSet::alarmHigh},
        {"alarm-low", &ParameterSet::alarmLow}, {"output", &ParameterSet::outputLevel},
        {"reg30", &ParameterSet::reg30},       {"reg31", &ParameterSet::reg31},
        {"range-low", &ParameterSet::rangeLow}, {"range-high", &ParameterSet::rangeHigh},
        {"filter", &ParameterSet::swFilter},
    };
    for (const Real& f : kReals)
        if (name == f.name) {
            *v = p.*f.field;
            return true;
        }
    if (name.rfind("pid", 0) == 0 && name.size() >= 6) {
        const int i = name[3] - '1';
        const std::string term = name.substr(5);
        if (i < 0 || i > 3)
            return false;
        if (term == "p") *v = p.pidP[i];
        else if (term == "i") *v = p.pidI[i];
        else if (term == "d") *v = p.pidD[i];
        else if (term == "t4") *v = p.pidT4[i];
        else if (term == "t5") *v = p.pidT5[i];
        else if (term == "bound" && i < 3) *v = p.pidBound[i];
        else return false;
        return true;
    }
    if (name == "decimal-point") *v = p.decimalPnt;
    else if (name == "function") *v = r.ctrlFunc;
    else if (name == "sensor") *v = p.sensorType;
    else if (name == "direction") *v = p.dirRev;
    else if (name == "unit") *v = p.cfUnit;
    else if (name == "alarm-switch") *v = p.alarmWatch;
    else if (name == "keypad") *v = p.keypadValue;
    else return false;
    return true;
}

void EmitAll(Session& s, const ParameterSet& p, const core::ReadAllResult& r)
{
    s.json.integer("decimalPoint", p.decimalPnt);
    s.json.number("tempScale", p.tempScale, 1);
    s.json.beginObject("parameters");
    for (const NamedParameter& np : tecreg::NamedParameters()) {
        double v = 0;
        if (FieldOf(p, r, np.name, &v))
            Emit(s, np, v, p.tempScale, p.cfUnit);
    }
    s.json.endObject();
}

// The read-all pass with its preamble, as the panel's Read All sends it.
int ReadAllInto(Session& s, ParameterSet& p, core::ReadAllResult* r)
{
    comlink::SequencePreamble(s.bus);
    *r = core::ReadAll(s.bus, s.address, p);
    return OpStatus(s, r->op);
}

// ---- commands ----

int Read(Session& s)
{
    ParameterSet p;
    core::ReadAllResult r;
    const int status = ReadAllInto(s, p, &r);
    if (status != EXIT_OK)
        return status;
    // The process value after the pass, at the scale and in the unit it read.
    double pv = 0;
    if (!ReadPv(s, r.op, p, &pv))
        return OpStatus(s, r.op);
    EmitPv(s, pv, p.tempScale, p.cfUnit);
    EmitAll(s, p, r);
    return EXIT_OK;
}

int Get(Session& s)
{
    // One flushed sequence; the decimal point first when a temperature is asked.
    comlink::SequencePreamble(s.bus);
    core::OpLog op;
    ParameterSet p;
    bool needScale = false;
    for (const std::string& name : s.o.args)
        needScale = needScale || name == kProcessValueName || tecreg::FindParameter(name)->cls == EncClass::T;
    // Temperatures need the scale to be read and the unit to be named.
    if (needScale && (!ReadScale(s, op, p) || !ReadUnit(s, op, p)))
        return OpStatus(s, op);
    bool pvDone = false;
    for (const std::string& name : s.o.args) {
        if (name != kProcessValueName || pvDone)
            continue;
        double pv = 0;
        if (!ReadPv(s, op, p, &pv))
            return OpStatus(s, op);
        EmitPv(s, pv, p.tempScale, p.cfUnit);
        pvDone = true;
    }
    s.json.beginObject("parameters");
    for (const std::string& name : s.o.args) {
        if (name == kProcessValueName)
            continue;
        const NamedParameter& np = *tecreg::FindParameter(name);
        core::Answer a;
        if (!core::ReadRegisters(s.bus, s.address, op, np.reg, 1, &a)) {
            s.json.endObject();
            return OpStatus(s, op);
        }
        double v = params::Decode(np.cls, a.bytes[4], a.bytes[5], p.tempScale);
        if (np.reg == tecreg::kAlarmSwitch)
            v = params::AlarmWatchFromByte(a.bytes[5]);
        Emit(s, np, v, p.tempScale, p.cfUnit);
    }
    s.json.endObject();
    return EXIT_OK;
}

int Set(Session& s)
{
    // Single settings go without the preamble, as their panel commands do.
    core::OpLog op;
    ParameterSet p;
    bool needScale = false;
    for (const Assignment& a : s.assignments)
        needScale = needScale || a.param->cls == EncClass::T;
    if (needScale && (!ReadScale(s, op, p) || !ReadUnit(s, op, p)))
        return OpStatus(s, op);
    // Every value is checked at the scale it will be sent with before the first write.
    float scale = p.tempScale;
    for (Assignment& a : s.assignments) {
        std::string message;
        if (!CheckResolution(a, scale, s.o.round, &a.value, &s.error))
            return EXIT_USAGE;
        if (!core::CheckSendable(a.param->name.c_str(), a.param->cls, a.value, scale, &message)) {
            s.error = message.substr(0, message.find('\n'));
            return EXIT_USAGE;
        }
        if (a.param->reg == tecreg::kDecimalPnt)
            scale = params::TempScaleFor(static_cast<int>(a.value));
    }
    s.json.beginObject("written");
    for (const Assignment& a : s.assignments) {
        const NamedParameter& np = *a.param;
        if (np.reg == tecreg::kSetValue) {
            ParameterSet sv = p;
            sv.setValue = static_cast<float>(a.value);
            const core::SetValueOutcome out = core::SendSetValue(s.bus, s.address, sv, &op);
            if (out == core::SetValueOutcome::Refused) {
                s.json.endObject();
                s.error = "the controller refused set value " + FormatValue(a.value, Decimals(np.cls, p.tempScale)) +
                          ": check its high and low limits";
                return EXIT_REFUSED;
            }
            if (out == core::SetValueOutcome::NoAnswer)
                break;
        } else if (np.reg == tecreg::kAlarmSwitch) {
            core::AlarmSwitchResult r;
            if (!core::ApplyAlarmSwitch(s.bus, s.address, op, a.value != 0 ? 1 : 0, &r))
                break;
        } else if (np.reg == tecreg::kKeypad) {
            comlink::SequencePreamble(s.bus);  // the keypad switch sends as a sequence
            if (!core::WriteRegister(s.bus, s.address, op, np.reg, params::Encode(np.cls, a.value, 1.0f)))
                break;
        } else {
            if (!core::WriteRegister(s.bus, s.address, op, np.reg, params::Encode(np.cls, a.value, p.tempScale)))
                break;
            if (np.reg == tecreg::kDecimalPnt && op.refused.empty()) {
                p.decimalPnt = static_cast<std::int16_t>(a.value);
                p.tempScale = params::TempScaleFor(p.decimalPnt);
            }
            if (np.reg == tecreg::kCfUnit && (op.refused.empty() || op.refused.back() != np.reg))
                p.cfUnit = static_cast<std::int16_t>(a.value);
        }
        if (!op.refused.empty() && op.refused.back() == np.reg)
            continue;
        s.written.emplace_back(np.name, a.value);
        Emit(s, np, a.value, p.tempScale, needScale ? p.cfUnit : -1);
    }
    s.json.endObject();
    return OpStatus(s, op);
}

int Save(Session& s)
{
    ParameterSet p;
    core::ReadAllResult r;
    const int status = ReadAllInto(s, p, &r);
    if (status != EXIT_OK)
        return status;
    std::string error;
    if (!WriteTextFile(s.o.args[0], params::FormatParameterFile(p), &error)) {
        s.error = error;
        return EXIT_FILE;
    }
    s.json.string("file", s.o.args[0]);
    s.text += "saved " + s.o.args[0] + "\n";
    return EXIT_OK;
}

// Lines as one line of a message.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

int Load(Session& s)
{
    ParameterSet p = s.fileParams;
    const core::WriteAllResult w = core::WriteAll(s.bus, s.address, p);
    const int written = OpStatus(s, w.op);
    if (written != EXIT_OK)
        s.error = (w.op.stopped ? OpFailure(w.op) + "; the file was applied in part: "
                                : std::string("the file was applied in part: ")) +
                  OneLine(core::DescribeWriteAll(w));
    // Values the pass's order had the controller refuse, taken once the
    // file's own limits were in.
    std::vector<std::string> again;
    for (const core::PassWrite& pw : w.writes)
        if (pw.outcome == core::PassWrite::Outcome::TakenWhenWrittenAgain)
            again.push_back(tecreg::RegisterName(pw.reg));
    if (!again.empty()) {
        s.json.beginArray("writtenAgain");
        for (const std::string& name : again) {
            s.json.string(nullptr, name);
            s.text += "written again once the file's range was in: " + name + "\n";
        }
        s.json.endArray();
    }
    if (w.op.stopped)
        return written;
    // Read back what the controller now holds (the boundaries and the keypad
    // are not part of the write-all pass).
    ParameterSet back;
    core::ReadAllResult r;
    const std::string refusal = s.error;
    const int status = ReadAllInto(s, back, &r);
    if (status != EXIT_OK)
        return status;
    EmitAll(s, back, r);
    s.error = refusal;
    return written;
}

int ProgramCommand(Session& s)
{
    const std::string& sub = s.o.args[0];
    if (sub == "run" || sub == "stop") {
        const core::Answer a = core::StartStopProgram(s.bus, s.address, sub == "run");
        if (a.status == core::AnswerStatus::Exception) {
            s.error = "the controller refused to " + sub + " the step program";
            return EXIT_REFUSED;
        }
        if (!a.good()) {
            s.error = "the control function write got " + core::Describe(a);
            return EXIT_SILENT;
        }
        s.json.string("program", sub == "run" ? "started" : "stopped");
        s.text += sub == "run" ? "step program started\n" : "step program stopped\n";
        return EXIT_OK;
    }
    if (sub == "status") {
        core::RunStatus st;
        if (!core::ReadRunStatus(s.bus, s.address, &st)) {
            s.error = "the status word got no good answer";
            return EXIT_SILENT;
        }
        const ProgramState ps = DescribeRunStatus(st.runMode, st.segment);
        s.json.boolean("running", ps.running);
        s.json.string("state", ps.state);
        if (ps.step > 0) {
            s.json.integer("step", ps.step);
            s.json.integer("segment", ps.segment);
            s.json.integer("half", ps.half);
        }
        s.json.integer("runMode", st.runMode);
        s.json.integer("segmentCode", st.segment);
        s.json.integer("indicator", program::StepIndicatorIndex(st.runMode, st.segment));
        s.text += ps.text + "\n";
        return EXIT_OK;
    }
    // get and put need the controller's scale.
    comlink::SequencePreamble(s.bus);
    core::OpLog op;
    ParameterSet p;
    if (!ReadScale(s, op, p))
        return OpStatus(s, op);
    if (sub == "put") {
        // The span the step set values must keep to, as the controller holds it.
        core::Answer range;
        if (!core::ReadRegisters(s.bus, s.address, op, tecreg::kRangeLow, 2, &range))
            return OpStatus(s, op);
        const core::Span span{static_cast<float>(params::Decode(EncClass::T, range.bytes[4], range.bytes[5], p.tempScale)),
                              static_cast<float>(params::Decode(EncClass::T, range.bytes[6], range.bytes[7], p.tempScale))};
        std::string message;
        if (!core::CheckStepProgram(s.fileProgram, p.tempScale, span, &message)) {
            s.error = s.o.args[1] + ": " + message.substr(0, message.find('\n'));
            return EXIT_FILE;
        }
        int stoppedAfter = -1;
        comlink::Fault fault;
        if (!core::WriteStepProgram(s.bus, s.address, s.fileProgram, p.tempScale, &message, &fault,
                                    [&s] { return s.interrupted && *s.interrupted; }, &stoppedAfter)) {
            s.error = OneLine(message);
            if (stoppedAfter >= 0)
                return EXIT_INTERRUPTED;
            return fault.kind == comlink::FaultKind::Refused ? EXIT_REFUSED : EXIT_SILENT;
        }
        s.json.string("file", s.o.args[1]);
        s.text += "step program written from " + s.o.args[1] + "\n";
        return EXIT_OK;
    }
    StepProgram prog;
    std::string failure;
    comlink::Fault fault;
    if (!core::ReadStepProgram(s.bus, s.address, p.tempScale, &prog, &failure, &fault)) {
        s.error = "the step program could not be read: " + failure;
        return fault.kind == comlink::FaultKind::Refused ? EXIT_REFUSED : EXIT_SILENT;
    }
    const int d = Decimals(EncClass::T, p.tempScale);
    if (s.o.args.size() == 2) {
        std::string error;
        if (!WriteTextFile(s.o.args[1], program::FormatStepFile(prog), &error)) {
            s.error = error;
            return EXIT_FILE;
        }
        s.json.string("file", s.o.args[1]);
    }
    s.json.number("tolBand", prog.tolBand, d);
    s.json.beginArray("steps");
    s.text += "step        sv  param1  param2  action  loops\n";
    for (int k = 1; k <= program::kSteps; ++k) {
        const StepRecord& st = prog.steps[k - 1];
        s.json.beginObject();
        s.json.integer("step", k);
        s.json.number("sv", st.sv, d);
        s.json.integer("param1", st.param1);
        s.json.integer("param2", st.param2);
        s.json.integer("action", st.action);
        s.json.integer("loops", st.loops);
        s.json.endObject();
        char line[128];
        std::snprintf(line, sizeof line, "%4d %9s %7u %7u %7u %6u\n", k, FormatValue(st.sv, d).c_str(), st.param1,
                      st.param2, st.action, st.loops);
        s.text += line;
    }
    s.json.endArray();
    s.text += "band " + FormatValue(prog.tolBand, d) + "\n";
    return EXIT_OK;
}

int Function(Session& s)
{
    core::OpLog op;
    core::WriteRegister(s.bus, s.address, op, tecreg::kCtrlFunc, params::Encode(EncClass::B, s.function, 1.0f));
    const int status = OpStatus(s, op);
    if (status == EXIT_OK) {
        s.written.emplace_back("function", s.function);
        s.json.integer("function", s.function);
        s.json.string("word", WordForCode("function", s.function));
        s.text += std::string("control function ") + WordForCode("function", s.function) + "\n";
    }
    return status;
}

int Output(Session& s)
{
    core::OpLog op;
    core::WriteRegister(s.bus, s.address, op, tecreg::kOutputLevel, params::Encode(EncClass::D, s.level, 1.0f));
    const int status = OpStatus(s, op);
    if (status == EXIT_OK) {
        s.json.number("output", s.level, 1);
        s.text += "output level " + FormatValue(s.level, 1) + " %\n";
    }
    return status;
}


} // namespace

int ValueDecimals(tecreg::EncClass cls, float tempScale)
{
    return Decimals(cls, tempScale);
}

void EmitValue(Session& s, const tecreg::NamedParameter& p, double value, int decimals, const std::string& unit,
               const char* word)
{
    s.json.beginObject(p.name.c_str());
    s.json.number("value", value, decimals);
    if (word)
        s.json.string("word", word);
    s.json.string("unit", unit);
    s.json.integer("register", p.reg);
    s.json.endObject();
    char line[160];
    std::snprintf(line, sizeof line, "%-14s %10s %s", p.name.c_str(),
                  word ? word : FormatValue(value, decimals).c_str(), unit.c_str());
    std::string text = line;
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    s.text += text + "\n";
}

int Prepare(Session& s)
{
    const Options& o = s.o;
    const std::string& c = o.command;
    std::string text;
    if (c == "set") {
        for (const std::string& arg : o.args) {
            Assignment a;
            if (!ParseAssignment(arg, &a, &s.error))
                return EXIT_USAGE;
            // Values without a temperature scale are checked here; temperatures once the scale is read.
            std::string message;
            if (a.param->cls != EncClass::T && !CheckResolution(a, 1.0f, o.round, &a.value, &s.error))
                return EXIT_USAGE;
            if (a.param->cls != EncClass::T &&
                !core::CheckSendable(a.param->name.c_str(), a.param->cls, a.value, 1.0f, &message)) {
                s.error = message.substr(0, message.find('\n'));
                return EXIT_USAGE;
            }
            s.assignments.push_back(a);
        }
    } else if (c == "load") {
        if (!ReadTextFile(o.args[0], &text, &s.error))
            return EXIT_FILE;
        int bad = 0;
        std::string reason;
        if (!params::ParseParameterFile(text, ParameterSet{}, &s.fileParams, &bad, &reason)) {
            s.error = o.args[0] + ": field " + std::to_string(bad) + " (" + params::FileFieldName(bad) + "): " + reason;
            return EXIT_FILE;
        }
        std::string message;
        if (!core::CheckWriteAll(s.fileParams, &message)) {
            s.error = o.args[0] + ": " + message.substr(0, message.find('\n'));
            return EXIT_FILE;
        }
    } else if (c == "program" && o.args[0] == "put") {
        if (!ReadTextFile(o.args[1], &text, &s.error))
            return EXIT_FILE;
        int bad = 0;
        std::string reason;
        if (!program::ParseStepFile(text, &s.fileProgram, &bad, &reason)) {
            s.error = o.args[1] + ": " + program::StepFieldDescription(bad) + ": " + reason;
            return EXIT_FILE;
        }
    } else if (c == "function") {
        if (!ParseFunction(o.args[0], &s.function, &s.error))
            return EXIT_USAGE;
    } else if (c == "output") {
        Assignment a;
        if (!ParseAssignment("output=" + o.args[0], &a, &s.error) ||
            !CheckResolution(a, 1.0f, o.round, &a.value, &s.error))
            return EXIT_USAGE;
        std::string message;
        if (!core::CheckSendable("output level", EncClass::D, a.value, 1.0f, &message)) {
            s.error = message.substr(0, message.find('\n'));
            return EXIT_USAGE;
        }
        s.level = a.value;
    } else if ((c == "watch" || c == "serve") && !o.logPath.empty() && !o.append && !o.overwrite) {
        // A log already holding lines is not emptied unasked.
        struct stat st {};
        if (::stat(o.logPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            s.error = o.logPath + " already holds " + std::to_string(static_cast<long long>(st.st_size)) +
                      " bytes: add --append to continue it or --overwrite to replace it";
            return EXIT_USAGE;
        }
    } else if (c == "raw") {
        if (!ParseRawFrame(o.args, s.rawFrame, &s.error))
            return EXIT_USAGE;
    }
    return EXIT_OK;
}

int RunCommand(Session& s)
{
    const std::string& c = s.o.command;
    if (c == "identify") {
        s.text += "model code 0x" + [&] {
            char b[8];
            std::snprintf(b, sizeof b, "%02X", s.model);
            return std::string(b);
        }() + (s.model == comlink::kModelVexaMax ? " (VEXAMAX)" : "") + "\nidentity " + std::to_string(s.identLo) + "\n";
        return EXIT_OK;
    }
    if (c == "read")
        return Read(s);
    if (c == "get")
        return Get(s);
    if (c == "set")
        return Set(s);
    if (c == "save")
        return Save(s);
    if (c == "load")
        return Load(s);
    if (c == "program")
        return ProgramCommand(s);
    if (c == "function")
        return Function(s);
    if (c == "output")
        return Output(s);
    if (c == "watch")
        return Watch(s);
    if (c == "raw")
        return Raw(s);
    s.error = "unknown command";
    return EXIT_USAGE;
}

} // namespace tecctl
