// What a strip chart can show. No Qt here: the monitoring code checks a
// scale against these before it reaches the chart, and the chart refuses
// anything outside them rather than quietly showing something else.
#pragma once

#include <cmath>

namespace rt {

// Points held per trace (a week at one a second), and so the widest X span
// worth showing.
constexpr int kStripChartMaxPoints = 604800;
// The plotting library keeps an axis range only when both ends lie within
// this magnitude and its size is above kStripChartMinSpan (its own limits,
// checked again in the chart tests); anything else it silently ignores.
constexpr double kStripChartMaxMagnitude = 1e250;
constexpr double kStripChartMinSpan = 1e-280;

// True when a Y axis from min to max can be shown: both finite, min below max,
// within the magnitude and with a span the axis can resolve.
inline bool StripChartRangeShowable(double min, double max)
{
    return std::isfinite(min) && std::isfinite(max) && min < max && min > -kStripChartMaxMagnitude &&
           max < kStripChartMaxMagnitude && max - min > kStripChartMinSpan && max - min < kStripChartMaxMagnitude &&
           !(min > 0 && std::isinf(max / min)) && !(max < 0 && std::isinf(min / max));
}

// True for an X span of 1 to kStripChartMaxPoints points.
inline bool StripChartSpanShowable(long long points)
{
    return points >= 1 && points <= kStripChartMaxPoints;
}

} // namespace rt
