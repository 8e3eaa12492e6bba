// What the controller takes for each parameter beyond fitting its register,
// for a whole set as the write-all pass leaves the controller. Pure.
#pragma once

#include "protocol/parameter_set.h"

#include <string>

namespace params {

// The limits of a whole set, checked in file order with the range first:
// range high above range low; the set value inside that range (the
// controller refuses a set value outside the range it holds; it takes alarm
// values anywhere); the output level -100..100 %; PID
// terms 1 and 5 from 0, term 4 0..100 %, terms 2 and 3 0..32767 s; the SW
// filter 0..9.9; the codes the controller knows: sensor 0..2, direction and
// unit 0..1, decimal point 30..31, alarm switch 0..1. False with the
// parameter file's position (1..37) of the first field that breaks them and
// why ("120.0 lies outside the file's range -20.0..100.0").
bool CheckParameterLimits(const ParameterSet& p, int* badField, std::string* reason);

} // namespace params
