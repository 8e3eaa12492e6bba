// The chart's scale text and the monitored values' conversions. Pure.
#pragma once

#include <cstdint>
#include <string>

// The strip chart's scale, kept in XYscale.txt.
struct ChartScale {
    double yMax = 0;
    double yMin = 0;
    std::int32_t xPoints = 0;
};

namespace monitor {

constexpr const char* kScaleFile = "XYscale.txt";

// The tolerant reader of the scale text (fills what it can).
int ParseScale(const std::string& text, ChartScale* s);
// "%lf %lf %d\n" of the scale with an explicit line end.
std::string FormatScale(const ChartScale& s, const char* lineEnd);
// A register value taken as signed 16-bit and divided by the temperature scale.
float RawToDisplay(std::uint16_t raw, float tempScale);
// True when the alarm switch is on and PV lies strictly outside [low, high].
bool AlarmTripped(float pv, std::uint16_t alarmWatch, float alarmHigh, float alarmLow);
// True when the chart can show the scale as it is: bottom below top, both
// within the chart's limits, and a span of 1 to the points the chart holds.
bool ScaleIsUsable(const ChartScale& s);
// The scale used when no usable one is known: the sensor range when it is a
// range, else 0..100; 300 points.
ChartScale DefaultScale(double rangeLow, double rangeHigh);

} // namespace monitor
