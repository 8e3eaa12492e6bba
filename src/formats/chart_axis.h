// Pure arithmetic of the strip chart: local clock time as plain seconds, time
// axis ticks and their labels, and min/max decimation of a trace for drawing.
// No Qt, no time zone: the chart's X coordinate is local civil time counted in
// seconds from 1970-01-01 00:00 local, the same clock the data log writes, so
// a log read back lands exactly where the live chart drew it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rt {

// A local date and time of day.
struct CivilTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Days from 1970-01-01 to the date (negative before it); proleptic Gregorian.
std::int64_t DaysFromCivil(int year, int month, int day);
// True when the date exists (month 1..12, day within that month, leap years counted).
bool IsValidDate(int year, int month, int day);
// Local civil seconds of a date and time, and back (fractions of a second are dropped).
double CivilSeconds(const CivilTime& c);
CivilTime CivilFromSeconds(double seconds);

// One labelled tick of the time axis.
struct TimeTick {
    double t = 0;       // civil seconds
    std::string label;  // "HH:MM:SS", "HH:MM", a date, or a time and the date on a second line
};

// Ticks for the visible range [t0, t1], at most about maxTicks of them, on
// round steps of local time (1 s up to 7 days). Labels carry seconds only when
// the step is below a minute, and the date ("2026-12-08") is added to the
// first tick and to the first tick of each day once the range crosses
// midnight; with steps of a day or more the label is the date alone. Empty
// when the range is empty or not finite.
std::vector<TimeTick> TimeTicks(double t0, double t1, int maxTicks);
// The step TimeTicks chooses, in seconds.
double TimeTickStep(double t0, double t1, int maxTicks);

// One point to draw.
struct DrawPoint {
    double t;
    double v;  // NaN breaks the line
};

// The points of one trace to draw across `columns` pixel columns spanning
// [t0, t1]. t is ascending. The points inside the range and one on either
// side are taken; when there are more than four per column, each column keeps
// its first, lowest, highest and last point in time order, so no spike is
// hidden and the line is drawn as it would be from every point. Where two
// neighbouring points lie more than `gap` seconds apart (gap > 0) a NaN point
// breaks the line, so a pause in recording is not drawn as a ramp. A NaN
// value is a missing reading: it breaks the line too, and no point is made up
// across it (a column holding one keeps the points on either side of its
// first missing run apart, and ends with a break when it ends in one).
// Summaries of whole blocks of a trace's points, so that decimating a week
// in view visits blocks instead of points: per block the index of its lowest
// and highest value, the time of its last point, the longest step in time
// within it or into it from the point before, and whether it holds a missing
// (NaN) value, which keeps it from standing for its points.
struct TraceBlocks {
    static constexpr std::size_t kBlock = 64;
    std::vector<std::size_t> low, high;
    // Their values, beside each other: a wide view compares these without
    // reaching into the points, whose blocks lie far apart in memory.
    std::vector<double> lowValue, highValue, lowTime, highTime, lastTime;
    std::vector<double> maxStep;
    std::vector<unsigned char> missing;
    // Summarises the whole blocks of the n points not summarised yet.
    void update(const double* t, const double* v, std::size_t n);
    void clear();
};

// With blocks (summaries of the same t and v), the same points come out, faster.
void DecimateMinMax(const double* t, const double* v, std::size_t n, double t0, double t1, int columns, double gap,
                    std::vector<DrawPoint>* out, const TraceBlocks* blocks = nullptr);

} // namespace rt
