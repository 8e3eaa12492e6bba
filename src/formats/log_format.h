// The data log's text: its header line and one line per tick. Pure: the
// chart and tecctl's watch write the same lines.
#pragma once

#include <string>

namespace monitor {

constexpr const char* kLogHeader = "  Date,       Time,     SV,    PV";
// The log line for a tick (no line end), with a decimal point whatever the locale.
std::string FormatLogLine(int month, int day, int year, const std::string& time, float sv, float pv);

} // namespace monitor
