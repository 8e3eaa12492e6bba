// Parameter files: 24 reals and 13 integers of the ParameterSet.
#pragma once

#include "params/parameter_set.h"

#include <string>

struct App;

namespace params {

// Number of fields in a parameter file: 24 reals, then 13 integers.
constexpr int kFileFields = 37;
constexpr int kFileReals = 24;

// The operator's name of file field n (1..37), e.g. "set value".
const char* FileFieldName(int field);

// The one line a parameter file holds (no line end).
std::string FormatParameterFile(const ParameterSet& p);
// Parses a parameter file completely into *out (only on success): any run of
// white space separates fields, reals take any number of decimals, and text
// after field 37 is ignored. Fields not in the file (keypadValue, tempScale)
// come from `current`. Fails on fewer than 37 numbers, a field that is not a
// number (or not finite), an integer outside -32768..32767, or a real whose
// scaled number would not fit its register at the file's own decimal point;
// it then returns false with the position (1..37) and a reason for the first
// bad field, and leaves *out alone.
bool ParseParameterFile(const std::string& text, const ParameterSet& current, ParameterSet* out, int* badField,
                        std::string* reason);
// Asks for a file and saves the ParameterSet to it; a failed save is reported.
void SaveParameterFile(App& app);
// Asks for a file, checks it completely, stores it, sends it and reads the
// controller back. A file that cannot be read or fails the check is reported
// and changes nothing.
void LoadParameterFile(App& app);

} // namespace params
