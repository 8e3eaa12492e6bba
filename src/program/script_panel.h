// Helpers shared by the script panel's callbacks.
#pragma once

#include "protocol/step_codec.h"

struct App;

namespace program {

// Dims and undims the step rows and loop counts as the states say.
void ApplyRowStates(App& app, const RowStates& st);
// The actions currently shown in the eight action selectors.
void ActionsFromPanel(App& app, std::uint16_t actions[kSteps]);

} // namespace program
