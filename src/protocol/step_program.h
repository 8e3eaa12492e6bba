// The eight-step program as a plain record. Pure: the controller core and
// tecctl use it without the panels.
#pragma once

#include <cstdint>

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
