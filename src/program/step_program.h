// The eight-step program as a plain record, and its file text. Pure: the
// controller core and tecctl use it without the panels.
#pragma once

#include <cstdint>
#include <string>

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
