// The step-program file's text. Pure.
#pragma once

#include "protocol/step_program.h"

#include <string>

namespace program {

// The step-program file text and its reader (41 numbers; integers 0..65535).
std::string FormatStepFile(const StepProgram& prog);
// ParseStepFile fills *out only when all 41 numbers are good (each action one
// the step program knows, the band not below 0) and nothing but white space
// follows them; otherwise it returns false with the 1-based position of the
// first bad field (41 for text after the band) and why.
bool ParseStepFile(const std::string& text, StepProgram* out, int* badField, std::string* reason);
// "field 12 (step 3 parameter 1)" for a 1-based file position.
std::string StepFieldDescription(int position);

} // namespace program
