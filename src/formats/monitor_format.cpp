// Pure conversions and text formats of monitoring: no panels, no port, no Qt.
#include "formats/chart_limits.h"
#include "formats/log_format.h"
#include "formats/monitor_format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace monitor {

float RawToDisplay(std::uint16_t raw, float tempScale)
{
    const auto value = static_cast<std::int16_t>(raw);
    return static_cast<float>(value) / tempScale;
}

bool AlarmTripped(float pv, std::uint16_t alarmWatch, float alarmHigh, float alarmLow)
{
    return alarmWatch != 0 && (pv > alarmHigh || pv < alarmLow);
}

namespace {

// printf's "%*.*f" with the C decimal point whatever the process locale says:
// files never take the desktop's decimal comma.
std::string FixedC(double v, int width, int decimals)
{
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string text = res.ec == std::errc() ? std::string(buf, res.ptr) : std::string("nan");
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    return text;
}

} // namespace

std::string FormatLogLine(int month, int day, int year, const std::string& time, float sv, float pv)
{
    // "%d/%d/%d, %s, %5.1f, %5.1f"
    return std::to_string(month) + "/" + std::to_string(day) + "/" + std::to_string(year) + ", " + time + ", " +
           FixedC(sv, 5, 1) + ", " + FixedC(pv, 5, 1);
}

std::string FormatScale(const ChartScale& s, const char* lineEnd)
{
    // "%lf %lf %d"
    return FixedC(s.yMax, 0, 6) + " " + FixedC(s.yMin, 0, 6) + " " + std::to_string(static_cast<int>(s.xPoints)) +
           lineEnd;
}

namespace {

const char* SkipBlanks(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')
        ++p;
    return p;
}

// strtod's reading of a number, with the C decimal point whatever the
// process locale says. *next is left at text when nothing reads.
double ParseDoubleC(const char* text, const char** next)
{
    const char* p = text;
    const bool plus = *p == '+';
    if (plus)
        ++p;
    if (*p == '+' || (plus && *p == '-'))
        return 0.0;
    const char* end = p;
    while (*end && !std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    double v = 0.0;
    const auto res = std::from_chars(p, end, v, std::chars_format::general);
    if (res.ec == std::errc::invalid_argument)
        return 0.0;
    if (res.ec == std::errc::result_out_of_range) {
        // As strtod does: an overflow reads as infinity, an underflow as zero.
        const bool negative = *p == '-';
        double magnitude = 0.0;
        for (const char* q = negative ? p + 1 : p; q < res.ptr; ++q)
            if (*q >= '1' && *q <= '9') {
                magnitude = 1.0;
                break;
            }
        const char* e = std::find_if(p, res.ptr, [](char c) { return c == 'e' || c == 'E'; });
        const bool big = e != res.ptr && e[1] != '-';
        v = big && magnitude > 0 ? HUGE_VAL : 0.0;
        if (negative)
            v = -v;
    }
    *next = res.ptr;
    return v;
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
        const char* next = p;
        const double v = ParseDoubleC(p, &next);
        if (next == p)
            return filled;
        *field = v;
        ++filled;
        p = SkipBlanks(next);
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
