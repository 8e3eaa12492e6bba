// Transfer of the step program between the script panel and the controller,
// and the rule that shows a program on the panel.
#include "app/app.h"
#include "link/transact.h"
#include "program/program.h"
#include "program/script_panel.h"
#include "program/step_codec.h"

#include <cstdio>
#include <string>
#include <vector>

namespace program {

namespace {

constexpr double kReadPreambleDelay = 0.02;
constexpr double kStepReadDelay = 0.03;
constexpr const char* kTitle = "Step Program";

std::string Hex4(unsigned v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFFu);
    return buf;
}

std::string Outcome(const comlink::Answer& a)
{
    switch (a.status) {
    case comlink::AnswerStatus::Good:
        return "a good answer";
    case comlink::AnswerStatus::Exception:
        return "a refusal (exception answer)";
    case comlink::AnswerStatus::Silent:
        return "no answer";
    case comlink::AnswerStatus::Short:
        return "a short answer (" + std::to_string(a.count) + " bytes)";
    case comlink::AnswerStatus::BadCrc:
        return "an answer with a bad CRC";
    case comlink::AnswerStatus::NoPort:
        return "no answer: the serial port is not open";
    }
    return "an unexpected answer";
}

const char* RegisterField(int offset)
{
    static const char* const names[] = {"parameter 1", "set value", "parameter 2", "action", "loop count"};
    return names[offset];
}

// "step 3 action (register 0x0042)" or "tolerance band (register 0x0036)".
std::string RegisterDescription(std::uint16_t reg)
{
    if (reg == kBandRegister)
        return "tolerance band (register " + Hex4(reg) + ")";
    const int index = reg - kFirstStepRegister;
    return "step " + std::to_string(index / kRegistersPerStep + 1) + " " + RegisterField(index % kRegistersPerStep) +
           " (register " + Hex4(reg) + ")";
}

// A lost port is told once, by the link; the operation adds nothing to it.
bool AlreadyToldLost(const App& app, const comlink::Answer& a)
{
    return a.status == comlink::AnswerStatus::NoPort && app.portLostReported;
}

void SetDimmed(App& app, int control, bool dimmed)
{
    app.rt.SetCtrlAttribute(app.panels.script, control, rt::ATTR_DIMMED, dimmed ? 1 : 0);
}

void InstallWaitPopup(App& app)
{
    if (app.link.waitShown != 1)
        app.rt.InstallPopup(app.panels.wait);
    app.link.waitShown = 1;
}

void RemoveWaitPopup(App& app)
{
    app.link.waitShown = 0;
    app.rt.RemovePopup(0);
}

} // namespace

void ShowStepProgram(App& app, const StepProgram& prog)
{
    const int p = app.panels.script;
    std::uint16_t actions[kSteps];
    for (int k = 1; k <= kSteps; ++k) {
        const StepRecord& s = prog.steps[k - 1];
        app.rt.SetCtrlVal(p, SCRIPT_SV(k), static_cast<double>(s.sv));
        app.rt.SetCtrlVal(p, SCRIPT_PARAM1(k), static_cast<int>(s.param1));
        app.rt.SetCtrlVal(p, SCRIPT_PARAM2(k), static_cast<int>(s.param2));
        app.rt.SetCtrlVal(p, SCRIPT_ACTION(k), static_cast<int>(s.action));
        app.rt.SetCtrlVal(p, SCRIPT_LOOPS(k), static_cast<int>(s.loops));
        actions[k - 1] = s.action;
    }
    ApplyRowStates(app, StepRowRule(actions));
}

void ApplyRowStates(App& app, const RowStates& st)
{
    for (int k = 1; k <= kSteps; ++k) {
        if (k >= 2) {
            for (int control : {SCRIPT_SV(k), SCRIPT_PARAM1(k), SCRIPT_PARAM2(k), SCRIPT_ACTION(k)})
                SetDimmed(app, control, st.rowDimmed[k]);
        }
        SetDimmed(app, SCRIPT_LOOPS(k), st.loopsDimmed[k]);
    }
}

StepProgram ProgramFromPanel(App& app)
{
    const int p = app.panels.script;
    StepProgram prog;
    for (int k = 1; k <= kSteps; ++k) {
        StepRecord& s = prog.steps[k - 1];
        int v = 0;
        app.rt.GetCtrlVal(p, SCRIPT_SV(k), &s.sv);
        app.rt.GetCtrlVal(p, SCRIPT_PARAM1(k), &v);
        s.param1 = static_cast<std::uint16_t>(v);
        app.rt.GetCtrlVal(p, SCRIPT_PARAM2(k), &v);
        s.param2 = static_cast<std::uint16_t>(v);
        app.rt.GetCtrlVal(p, SCRIPT_ACTION(k), &v);
        s.action = static_cast<std::uint16_t>(v);
        app.rt.GetCtrlVal(p, SCRIPT_LOOPS(k), &v);
        s.loops = static_cast<std::uint16_t>(v);
    }
    app.rt.GetCtrlVal(p, SCRIPT_TOL_BAND, &prog.tolBand);
    return prog;
}

bool ReadStepProgram(App& app)
{
    InstallWaitPopup(app);
    const float scale = app.params.tempScale;
    const std::uint16_t id = app.link.ctrlID;
    app.rt.FlushOutQ(app.link.comPort);
    app.rt.FlushInQ(app.link.comPort);
    app.rt.Delay(kReadPreambleDelay);

    // Nothing reaches the panel until every answer has passed its check, so
    // a half-read program never mixes with the one shown.
    StepProgram prog;
    std::string failure;
    bool lostTold = false;  // the port went away and the operator was told so
    for (int k = 1; k <= kSteps && failure.empty(); ++k) {
        const std::uint16_t reg = StepBlockRegister(k);
        const comlink::Answer a =
            comlink::Transact(app, comlink::ReadFrame(id, reg, kRegistersPerStep), comlink::ReadAnswerLength(kRegistersPerStep),
                           kStepReadDelay);
        lostTold = AlreadyToldLost(app, a);
        if (!a.good())
            failure = "step " + std::to_string(k) + " (registers " + Hex4(reg) + " to " +
                      Hex4(reg + kRegistersPerStep - 1) + ") got " + Outcome(a);
        else
            prog.steps[k - 1] = DecodeStep(a.bytes, scale);
    }
    if (failure.empty()) {
        const comlink::Answer a =
            comlink::Transact(app, comlink::ReadFrame(id, kBandRegister, 1), comlink::ReadAnswerLength(1), comlink::kPostWriteDelay);
        lostTold = AlreadyToldLost(app, a);
        if (!a.good())
            failure = "the tolerance band (register " + Hex4(kBandRegister) + ") got " + Outcome(a);
        else
            prog.tolBand = DecodeTemperature(a.reg(0), scale);
    }

    RemoveWaitPopup(app);
    if (!failure.empty()) {
        if (lostTold)
            return false;
        app.rt.MessagePopup(kTitle, "The step program could not be read from the controller:\n" + failure +
                                        ".\nThe panel is unchanged.");
        return false;
    }
    app.rt.SetCtrlVal(app.panels.script, SCRIPT_TOL_BAND, static_cast<double>(prog.tolBand));
    ShowStepProgram(app, prog);
    return true;
}

bool WriteStepProgram(App& app)
{
    const StepProgram prog = ProgramFromPanel(app);
    const float scale = app.params.tempScale;

    // A set value too large for its register would arrive as a different
    // temperature, so such a program is not sent at all.
    for (int k = 1; k <= kSteps + 1; ++k) {
        const float v = k <= kSteps ? prog.steps[k - 1].sv : prog.tolBand;
        if (!TemperatureFits(v, scale)) {
            char value[32];
            std::snprintf(value, sizeof value, "%.1f", static_cast<double>(v));
            const std::string what = k <= kSteps ? "The set value of step " + std::to_string(k) : "The tolerance band";
            char range[80];
            std::snprintf(range, sizeof range, "%.1f to %.1f", -32768.0 / scale, 32767.0 / scale);
            app.rt.MessagePopup(kTitle, what + ", " + value + ", is outside what the controller can hold (" + range +
                                            ").\nNothing was written to the controller.");
            return false;
        }
    }

    struct Write {
        std::uint16_t reg;
        std::uint16_t value;
    };
    std::vector<Write> writes;
    for (int k = 1; k <= kSteps; ++k) {
        std::uint16_t regs[kRegistersPerStep];
        EncodeStep(prog.steps[k - 1], scale, regs);
        for (int i = 0; i < kRegistersPerStep; ++i)
            writes.push_back({static_cast<std::uint16_t>(StepBlockRegister(k) + i), regs[i]});
    }
    writes.push_back({kBandRegister, EncodeTemperature(prog.tolBand, scale)});

    comlink::SequencePreamble(app);
    std::vector<std::string> refused;
    for (const Write& w : writes) {
        const comlink::Answer a =
            comlink::Transact(app, comlink::WriteFrame(app.link.ctrlID, w.reg, w.value), 8, comlink::kPostWriteDelay);
        if (a.status == comlink::AnswerStatus::Exception) {
            refused.push_back(RegisterDescription(w.reg));
            continue;
        }
        if (!a.good()) {
            if (AlreadyToldLost(app, a))
                return false;
            app.rt.MessagePopup(kTitle, "The step program was not written completely:\n" + RegisterDescription(w.reg) +
                                            " got " + Outcome(a) +
                                            ".\nThe registers after it were not sent; write again once the "
                                            "controller answers.");
            return false;
        }
    }
    if (!refused.empty()) {
        std::string text = "The controller refused these registers of the step program:";
        for (const std::string& r : refused)
            text += "\n" + r;
        app.rt.MessagePopup(kTitle, text);
        return false;
    }
    return true;
}

} // namespace program

TEC_CALLBACK(RdCtrlScript)
{
    if (event == rt::EVENT_COMMIT)
        program::ReadStepProgram(app);
    else if (event == rt::EVENT_RIGHT_CLICK)
        app.rt.MessagePopup("<Load Frm Ctrl> Help",
                            "Read the script parameters from the controller and display them on the PC.");
    return 0;
}

TEC_CALLBACK(WtCtrlScript)
{
    if (event == rt::EVENT_COMMIT)
        program::WriteStepProgram(app);
    else if (event == rt::EVENT_RIGHT_CLICK)
        app.rt.MessagePopup("<Save to Ctrl> Help",
                            "Read the script parameters from the PC screen and save them to the controller.\n"
                            "\t\t\t\t\t\t  The controller will not be updated if parameters are changed on the PC "
                            "screen.\n"
                            "\t\t\t\t\t\t  Press this button after you change any parameters on the PC screen.\n"
                            "\t\t\t\t\t\t   ");
    return 0;
}
