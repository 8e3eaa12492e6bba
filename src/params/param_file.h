// Parameter files: 24 reals and 13 integers of the ParameterSet.
#pragma once

#include "params/parameter_set.h"

#include <string>

struct App;

namespace params {

// The one line a parameter file holds (no line end).
std::string FormatParameterFile(const ParameterSet& p);
// Parses a parameter file completely into *out (only on success). On failure
// returns false with the position (1..37) and a reason for the first bad field.
bool ParseParameterFile(const std::string& text, const ParameterSet& current, ParameterSet* out, int* badField,
                        std::string* reason);
// Asks for a file and saves the ParameterSet to it.
void SaveParameterFile(App& app);

} // namespace params
