// The parameter file's text: 24 reals and 13 integers of the ParameterSet. Pure.
#pragma once

#include "formats/param_limits.h"
#include "protocol/parameter_set.h"

#include <string>

namespace params {

// Number of fields in a parameter file: 24 reals, then 13 integers.
constexpr int kFileFields = 37;
constexpr int kFileReals = 24;

// The operator's name of file field n (1..37), e.g. "set value".
const char* FileFieldName(int field);

// The one line a parameter file holds (no line end).
std::string FormatParameterFile(const ParameterSet& p);
// Parses a parameter file completely into *out (only on success): any run of
// white space separates fields and reals take any number of decimals. Fields
// not in the file (keypadValue, tempScale) come from `current`. Fails on
// fewer than 37 numbers, anything but white space after the 37th, a field
// that is not a number (or not finite), an integer outside -32768..32767, a
// real whose scaled number would not fit its register at the file's own
// decimal point, or a value the controller would refuse or cannot use once
// the file is applied: range high not above range low, the set value or an
// alarm outside the file's own range, the low alarm above the high one, the
// output level outside -100..100 %, a PID term below 0 (term 4 above 100 %),
// the SW filter outside 0..9.9, or a code the controller does not know
// (sensor 0..2, direction and unit 0..1, decimal point 30..31, alarm switch
// 0..1). It then returns false with the position (1..37) and a reason for
// the first bad field, and leaves *out alone.
bool ParseParameterFile(const std::string& text, const ParameterSet& current, ParameterSet* out, int* badField,
                        std::string* reason);

} // namespace params
