// Parameter files: 24 reals and 13 integers of the ParameterSet.
#pragma once

#include "formats/param_format.h"

struct App;

namespace params {

// Asks for a file and saves the ParameterSet to it; a failed save is reported.
void SaveParameterFile(App& app);
// Asks for a file, checks it completely, stores it, sends it and reads the
// controller back. A file that cannot be read or fails the check is reported
// and changes nothing.
void LoadParameterFile(App& app);

} // namespace params
