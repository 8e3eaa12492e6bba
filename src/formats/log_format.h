// The data log's text: its header line and one line per tick. Pure: the
// chart and tecctl's watch write the same lines.
#pragma once

#include <string>
#include <vector>

namespace monitor {

constexpr const char* kLogHeader = "  Date,       Time,     SV,    PV";
// The log line for a tick (no line end), with a decimal point whatever the locale.
std::string FormatLogLine(int month, int day, int year, const std::string& time, float sv, float pv);

// The log of several controllers, one line per round: the date and time as
// above, then SV and PV of each controller in the header's order. A reading
// that did not come leaves both its fields empty (never 0), so a spreadsheet
// shows a gap. One controller is logged in the format above.
struct LogController {
    std::string name;  // empty: none given
    int address = 0;
};
struct LogReading {
    bool valid = false;
    float sv = 0;
    float pv = 0;
};
// The name as a header shows it: commas and control characters (which would
// split or break the line) become spaces, leading and trailing blanks go.
std::string LogLabel(const std::string& name);
// "  Date,       Time,     SV stage-A [1], PV stage-A [1], SV [2], PV [2]".
std::string FormatSeveralLogHeader(const std::vector<LogController>& controllers);
// "12/8/2026, 21:30:00,  25.0,  24.8,," for a second controller that did not
// answer; readings in the header's order.
std::string FormatSeveralLogLine(int month, int day, int year, const std::string& time,
                                 const std::vector<LogReading>& readings);

} // namespace monitor
