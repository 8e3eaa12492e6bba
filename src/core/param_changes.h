// What differs between two readings of the controller's parameters, in the
// operator's words: the connection history names each value that changed
// while the link was away.
#pragma once

#include "protocol/parameter_set.h"

#include <string>
#include <vector>

namespace core {

// One line per field whose value differs, in the read-all pass's order:
// "set value 37.5 °C → 25.0 °C". Temperatures are shown at the decimal point
// and in the unit of the reading they belong to; empty when nothing changed.
std::vector<std::string> DescribeChanges(const ParameterSet& before, const ParameterSet& after);

} // namespace core
