// Transfer of the step program between the script panel and the controller,
// and the rule that shows a program on the panel.
#include "app/app.h"
#include "core/operations.h"
#include "program/program.h"
#include "program/script_panel.h"
#include "protocol/step_codec.h"

#include <cstdio>
#include <string>
#include <vector>

namespace program {

namespace {

constexpr const char* kTitle = "Step Program";

// A lost port is told once, by the link; the operation adds nothing to it.
bool AlreadyToldLost(const App& app, const comlink::Fault& failed)
{
    return failed.kind == comlink::FaultKind::PortGone && app.portLostReported;
}

void SetDimmed(App& app, int control, bool dimmed)
{
    app.rt.SetCtrlAttribute(app.panels.script, control, rt::ATTR_DIMMED, dimmed ? 1 : 0);
}

void InstallWaitPopup(App& app)
{
    if (app.waitShown != 1)
        app.rt.InstallPopup(app.panels.wait);
    app.waitShown = 1;
}

void RemoveWaitPopup(App& app)
{
    app.waitShown = 0;
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
    // Nothing reaches the panel until every answer has passed its check, so
    // a half-read program never mixes with the one shown.
    StepProgram prog;
    std::string failure;
    comlink::Fault failed;
    const bool read = core::ReadStepProgram(app.bus, app.controller.address, app.params.tempScale, &prog, &failure, &failed);
    RemoveWaitPopup(app);
    if (!read) {
        if (AlreadyToldLost(app, failed))
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
    std::string text;
    if (!core::CheckStepProgram(prog, app.params.tempScale, &text)) {
        app.rt.MessagePopup(kTitle, text);
        return false;
    }
    comlink::Fault failed;
    int stoppedAfter = -1;
    if (!core::WriteStepProgram(app.bus, app.controller.address, prog, app.params.tempScale, &text, &failed, {}, &stoppedAfter)) {
        if (stoppedAfter >= 0) {
            // The program is ending: its popups are no longer shown, so the
            // history keeps the word, and standard error carries it out.
            reconnect::AddHistory(app, text);
            std::fprintf(stderr, "tecontrol: %s\n", text.c_str());
            return false;
        }
        if (!AlreadyToldLost(app, failed))
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
