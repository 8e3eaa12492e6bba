// The eight-step program: transfer, run control and files.
#pragma once

#include "app/callback.h"
#include "formats/step_file_format.h"

#include <cstdint>
#include <string>

struct App;

namespace program {

// Reads the program from the controller into the panel. Only a complete good
// read replaces the panel; otherwise the operator is told and the panel stays.
bool ReadStepProgram(App& app);
// Writes the panel's program to the controller (41 registers). Returns true
// when every write was answered and accepted; stops at the first write that
// gets no answer and reports refusals together at the end.
bool WriteStepProgram(App& app);
// The program shown on the panel / shows a program with the step-row rule.
StepProgram ProgramFromPanel(App& app);
void ShowStepProgram(App& app, const StepProgram& prog);

// The panels show a run started or ended elsewhere (by a client of the
// window's server), as if the run switch had been used, without sending:
// the run's watch starts or stops with it.
void ShowRunStarted(App& app);
void ShowRunEnded(App& app);

// Lights the indicator of a status word on the script panel (all others off).
void ShowStepIndicator(App& app, int index);

} // namespace program

TEC_CALLBACK(RdCtrlScript);
TEC_CALLBACK(WtCtrlScript);
TEC_CALLBACK(OpenScriptPanel);
TEC_CALLBACK(ExitScriptWin);
TEC_CALLBACK(ChkStep);
TEC_CALLBACK(GetLoopCnt);
TEC_CALLBACK(StartStopSrp);
TEC_CALLBACK(ChkSrpOff);
TEC_CALLBACK(ScriptFileRd);
TEC_CALLBACK(ScriptFileWrt);
