// The eight-step program: transfer, run control and files.
#pragma once

#include "app/callback.h"

#include <cstdint>
#include <string>

struct App;

enum : int { ACTION_LOOP_FIRST = 44, ACTION_LOOP_LAST = 51, ACTION_END = 52, ACTION_NEXT = 54 };

struct StepRecord {
    std::uint16_t param1 = 0;
    float sv = 0;
    std::uint16_t param2 = 0;
    std::uint16_t action = 0;
    std::uint16_t loops = 0;
};

struct StepProgram {
    StepRecord steps[8];
    float tolBand = 0;
};

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
// The step-program file text and its reader (41 numbers; integers 0..65535).
std::string FormatStepFile(const StepProgram& prog);
// ParseStepFile fills *out only when all 41 numbers are good; otherwise it
// returns false with the 1-based position of the first bad field and why.
bool ParseStepFile(const std::string& text, StepProgram* out, int* badField, std::string* reason);
// "field 12 (step 3 parameter 1)" for a 1-based file position.
std::string StepFieldDescription(int position);

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
