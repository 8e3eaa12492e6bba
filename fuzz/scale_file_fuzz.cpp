// XYscale.txt: the reader fills what it can and never more than three fields;
// a scale it calls usable is one the chart can show, and saving then reading
// a scale gives the same text again.
#include "check.h"
#include "formats/chart_limits.h"
#include "formats/monitor_format.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    ChartScale s{1.5, -2.5, 7};
    const int filled = monitor::ParseScale(text, &s);
    FUZZ_CHECK(filled >= 0 && filled <= 3);
    if (filled < 3)
        FUZZ_CHECK(s.xPoints == 7);
    if (filled < 2)
        FUZZ_CHECK(s.yMin == -2.5);
    if (monitor::ScaleIsUsable(s)) {
        FUZZ_CHECK(rt::StripChartRangeShowable(s.yMin, s.yMax));
        FUZZ_CHECK(s.xPoints >= 1 && s.xPoints <= rt::kStripChartMaxPoints);
    }
    const std::string saved = monitor::FormatScale(s, "\n");
    FUZZ_CHECK(!saved.empty() && saved.back() == '\n');
    ChartScale back{};
    if (monitor::ParseScale(saved, &back) == 3)
        FUZZ_CHECK(monitor::FormatScale(back, "\n") == saved);
    return 0;
}
