// The script panel's life, the editing rule for the action codes, and the
// start, stop and watch of a program run on the controller.
#include "app/app.h"
#include "app/panel_state.h"
#include "core/operations.h"
#include "program/program.h"
#include "program/script_panel.h"
#include "protocol/step_codec.h"

#include <algorithm>

namespace program {

namespace {

// Bad answers in a row before the panel says that the controller is silent.
constexpr int kMissesShown = 3;

void SetParmDimmed(App& app, int control, int dimmed)
{
    app.rt.SetCtrlAttribute(app.panels.parm, control, rt::ATTR_DIMMED, dimmed);
}

void ClearMisses(App& app)
{
    app.misses.script = 0;
    app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_NO_ANSWER, rt::ATTR_VISIBLE, 0);
    ShowNoAnswerSign(app);
}

// The run has ended, by the switch or on the controller: the control
// function and the alarm switch become usable again.
void ReleaseMainPanel(App& app)
{
    SetParmDimmed(app, PARM_CTRL_FUNC, 0);
    SetParmDimmed(app, PARM_ALARM_SW, 0);
}

// The panels while a run starts: the control function and the alarm
// switch wait for its end.
void ShowRunStarting(App& app)
{
    const int parm = app.panels.parm;
    app.rt.SetCtrlVal(parm, PARM_TUNE_LED, 0);
    app.rt.SetCtrlVal(parm, PARM_CTRL_LED, 0);
    ShowControlFunction(app, 0);
    SetParmDimmed(app, PARM_CTRL_FUNC, 1);
    SetParmDimmed(app, PARM_ALARM_SW, 1);
    app.rt.SetCtrlAttribute(parm, PARM_TUNE_TIMER, rt::ATTR_ENABLED, 0);
    SetParmDimmed(app, PARM_OUTPUT_SET, 1);
    SetParmDimmed(app, PARM_OUTPUT_LEVEL, 1);
    app.rt.SetCtrlAttribute(parm, PARM_OUTPUT_LEVEL, rt::ATTR_CTRL_MODE, 0);
}

void StartRun(App& app)
{
    ShowRunStarting(app);
    core::StartStopProgram(app.bus, app.controller.address, true);
    ClearMisses(app);
    app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, 1);
}

void StopRun(App& app)
{
    core::StartStopProgram(app.bus, app.controller.address, false);
    app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, 0);
    ShowStepIndicator(app, -1);
    ClearMisses(app);
    ReleaseMainPanel(app);
}

} // namespace

void ShowRunStarted(App& app)
{
    ShowRunStarting(app);
    ClearMisses(app);
    app.rt.SetCtrlVal(app.panels.script, SCRIPT_RUN_SW, 1);
    app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, 1);
}

void ShowRunEnded(App& app)
{
    app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, 0);
    app.rt.SetCtrlVal(app.panels.script, SCRIPT_RUN_SW, 0);
    app.rt.SetCtrlVal(app.panels.parm, PARM_CTRL_LED, 0);
    ShowControlFunction(app, 0);
    ShowStepIndicator(app, -1);
    ClearMisses(app);
    ReleaseMainPanel(app);
}

void ActionsFromPanel(App& app, std::uint16_t actions[kSteps])
{
    for (int k = 1; k <= kSteps; ++k) {
        int v = 0;
        app.rt.GetCtrlVal(app.panels.script, SCRIPT_ACTION(k), &v);
        actions[k - 1] = static_cast<std::uint16_t>(v);
    }
}

void ShowStepIndicator(App& app, int index)
{
    for (int i = 0; i < kStepIndicators; ++i)
        app.rt.SetCtrlVal(app.panels.script, SCRIPT_STEP_LED(i), i == index ? 1 : 0);
}

} // namespace program

TEC_CALLBACK(OpenScriptPanel)
{
    if (event == rt::EVENT_COMMIT) {
        // Already open: brought forward, and the program being edited on it
        // is not replaced by the controller's.
        const bool shown = app.rt.IsPanelVisible(app.panels.script);
        app.rt.DisplayPanel(app.panels.script);
        if (!shown)
            program::ReadStepProgram(app);
    }
    return 0;
}

TEC_CALLBACK(ExitScriptWin)
{
    if (event == rt::EVENT_COMMIT)
        app.rt.HidePanel(app.panels.script);
    return 0;
}

TEC_CALLBACK(ChkStep)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    std::uint16_t before[program::kSteps];
    program::ActionsFromPanel(app, before);
    std::uint16_t after[program::kSteps];
    std::copy(before, before + program::kSteps, after);
    const program::RowStates st = program::ChainRule(after);
    for (int k = 1; k <= program::kSteps; ++k)
        if (after[k - 1] != before[k - 1])
            app.rt.SetCtrlVal(app.panels.script, SCRIPT_ACTION(k), static_cast<int>(after[k - 1]));
    program::ApplyRowStates(app, st);
    return 0;
}

// The loop count is taken from its field when the program is written or saved.
TEC_CALLBACK(GetLoopCnt)
{
    return 0;
}

TEC_CALLBACK(StartStopSrp)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    int on = 0;
    app.rt.GetCtrlVal(app.panels.script, SCRIPT_RUN_SW, &on);
    if (on != 0)
        program::StartRun(app);
    else
        program::StopRun(app);
    return 0;
}

TEC_CALLBACK(ChkSrpOff)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    core::RunStatus status;
    // A silent or garbled answer says nothing about the run: keep showing the
    // last state, and tell the operator once several ticks in a row failed.
    if (!core::ReadRunStatus(app.bus, app.controller.address, &status)) {
        if (++app.misses.script >= program::kMissesShown)
            app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_NO_ANSWER, rt::ATTR_VISIBLE, 1);
        ShowNoAnswerSign(app);
        return 0;
    }
    program::ClearMisses(app);
    const int runMode = status.runMode;
    const int segmentCode = status.segment;
    program::ShowStepIndicator(app, program::StepIndicatorIndex(runMode, segmentCode));
    if (runMode == program::kRunModeIdle) {
        app.rt.SetCtrlVal(app.panels.parm, PARM_CTRL_LED, 0);
        ShowControlFunction(app, 0);
        app.rt.SetCtrlVal(app.panels.script, SCRIPT_RUN_SW, 0);
        app.rt.SetCtrlAttribute(app.panels.script, SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, 0);
        program::ReleaseMainPanel(app);
    }
    return 0;
}
