// Pure conversions and text formats of monitoring: no panels, no port, no Qt.
#include "monitor/monitor.h"
#include "rt/chart_limits.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace monitor {

const char* const kPlotHelpTitle = "<Plot> Help";
const char* const kPlotHelpText =
    "Chart plotting sync with the data log timer.\n\t\t\t\t\t\t  When Log switch(in the 'Log Setup') is ON and\n"
    "\t\t\t\t\t\t  the Plot button is ON, the data is logged; and the LED is on. \n"
    "\t\t\t\t\t\t  Data is not logged if Plot button is OFF.\n"
    "\t\t\t\t\t\t  If you need to change the plotting frequency, goto Log Setup\n"
    "\t\t\t\t\t\t  and use the Ringknub to set the timing.";
const char* const kChartExitHelpTitle = "<Chart Exit> Help";
const char* const kChartExitHelpText =
    "During data logging and plotting, if Exit is pressed,\n\t\t\t\tthe logging and plotting will be terminated.";
const char* const kLogSetupHelpTitle = "<Log Timer/File Setup> Help";
const char* const kLogSetupHelpText =
    "1. To change update rate on the strip chart.\n2. To change update rate to the log file.\n"
    "3. Setup filename for data logging.\n4. While plotting, data logging switch is disabled.\n";

float RawToDisplay(std::uint16_t raw, float tempScale)
{
    const auto value = static_cast<std::int16_t>(raw);
    return static_cast<float>(value) / tempScale;
}

bool AlarmTripped(float pv, std::uint16_t alarmWatch, float alarmHigh, float alarmLow)
{
    return alarmWatch != 0 && (pv > alarmHigh || pv < alarmLow);
}

std::string FormatLogLine(int month, int day, int year, const std::string& time, float sv, float pv)
{
    const char* format = "%d/%d/%d, %s, %5.1f, %5.1f";
    const double s = sv;
    const double p = pv;
    const int n = std::snprintf(nullptr, 0, format, month, day, year, time.c_str(), s, p);
    if (n <= 0)
        return {};
    std::string line(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, month, day, year, time.c_str(), s, p);
    line.resize(static_cast<std::size_t>(n));
    return line;
}

std::string FormatScale(const ChartScale& s, const char* lineEnd)
{
    const char* format = "%lf %lf %d";
    const int n = std::snprintf(nullptr, 0, format, s.yMax, s.yMin, static_cast<int>(s.xPoints));
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, s.yMax, s.yMin, static_cast<int>(s.xPoints));
    text.resize(static_cast<std::size_t>(n));
    return text + lineEnd;
}

namespace {

const char* SkipBlanks(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')
        ++p;
    return p;
}

} // namespace

// Reads as "%lf %lf %d" does, field by field, stopping at the first field that
// does not read; an integer out of range counts as unreadable instead of
// wrapping.
int ParseScale(const std::string& text, ChartScale* s)
{
    const char* p = SkipBlanks(text.c_str());
    char* end = nullptr;
    int filled = 0;

    double* fields[2] = {&s->yMax, &s->yMin};
    for (double* field : fields) {
        const double v = std::strtod(p, &end);
        if (end == p)
            return filled;
        *field = v;
        ++filled;
        p = SkipBlanks(end);
    }
    errno = 0;
    const long points = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || points < INT32_MIN || points > INT32_MAX)
        return filled;
    s->xPoints = static_cast<std::int32_t>(points);
    return filled + 1;
}

bool ScaleIsUsable(const ChartScale& s)
{
    return rt::StripChartRangeShowable(s.yMin, s.yMax) && rt::StripChartSpanShowable(s.xPoints);
}

ChartScale DefaultScale(double rangeLow, double rangeHigh)
{
    ChartScale s;
    if (std::isfinite(rangeLow) && std::isfinite(rangeHigh) && rangeLow < rangeHigh) {
        s.yMin = rangeLow;
        s.yMax = rangeHigh;
    } else {
        s.yMin = 0;
        s.yMax = 100;
    }
    s.xPoints = 300;
    return s;
}

} // namespace monitor
