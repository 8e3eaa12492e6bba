#include "formats/chart_limits.h"
#include "formats/log_format.h"
#include "formats/monitor_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace monitor;

TEST(RawToDisplay, SignedValuesUnderBothScales)
{
    EXPECT_FLOAT_EQ(RawToDisplay(0xFFFF, 10.0f), -0.1f);
    EXPECT_FLOAT_EQ(RawToDisplay(0xFFFF, 1.0f), -1.0f);
    EXPECT_FLOAT_EQ(RawToDisplay(0x8000, 10.0f), -3276.8f);
    EXPECT_FLOAT_EQ(RawToDisplay(0x8000, 1.0f), -32768.0f);
    EXPECT_FLOAT_EQ(RawToDisplay(0x7FFF, 10.0f), 3276.7f);
    EXPECT_FLOAT_EQ(RawToDisplay(250, 10.0f), 25.0f);
    EXPECT_FLOAT_EQ(RawToDisplay(static_cast<std::uint16_t>(-50), 10.0f), -5.0f);
}

TEST(AlarmTripped, ComparisonsAreStrict)
{
    // On the limits: no shutdown.
    EXPECT_FALSE(AlarmTripped(80.0f, 1, 80.0f, 10.0f));
    EXPECT_FALSE(AlarmTripped(10.0f, 1, 80.0f, 10.0f));
    // One display step outside.
    EXPECT_TRUE(AlarmTripped(80.1f, 1, 80.0f, 10.0f));
    EXPECT_TRUE(AlarmTripped(9.9f, 1, 80.0f, 10.0f));
    EXPECT_TRUE(AlarmTripped(81.0f, 1, 80.0f, 10.0f));
    // Any non-zero switch value counts as on.
    EXPECT_TRUE(AlarmTripped(100.0f, 0x0100, 80.0f, 10.0f));
}

TEST(AlarmTripped, SwitchOffNeverTrips)
{
    for (float pv : {-32768.0f, -1.0f, 45.0f, 3276.7f, 32767.0f})
        EXPECT_FALSE(AlarmTripped(pv, 0, 80.0f, 10.0f)) << pv;
}

TEST(LogFormat, HeaderIsThirtyThreeCharacters)
{
    const std::string header = kLogHeader;
    EXPECT_EQ(header.size(), 33u);
    EXPECT_EQ(header, std::string(2, ' ') + "Date," + std::string(7, ' ') + "Time," + std::string(5, ' ') + "SV," +
                          std::string(4, ' ') + "PV");
}

TEST(LogFormat, LinesHaveNoLeadingZerosAndFixedWidthValues)
{
    EXPECT_EQ(FormatLogLine(3, 7, 2012, "14:05:09", 25.0f, 24.8f), "3/7/2012, 14:05:09,  25.0,  24.8");
    EXPECT_EQ(FormatLogLine(1, 5, 2013, "00:00:00", -5.0f, 0.0f), "1/5/2013, 00:00:00,  -5.0,   0.0");
    EXPECT_EQ(FormatLogLine(12, 31, 2024, "23:59:59", 150.5f, 1000.0f), "12/31/2024, 23:59:59, 150.5, 1000.0");
}

TEST(LogFormat, LongestLineIsFortyCharacters)
{
    const std::string line = FormatLogLine(12, 28, 2013, "12:00:00", -32768.0f, -32768.0f);
    EXPECT_EQ(line, "12/28/2013, 12:00:00, -32768.0, -32768.0");
    EXPECT_EQ(line.size(), 40u);
}

TEST(LogFormat, SvOfMinusFiveIsFiveCharacters)
{
    const std::string line = FormatLogLine(1, 5, 2013, "08:15:00", RawToDisplay(static_cast<std::uint16_t>(-50), 10.0f),
                                           RawToDisplay(0xFFFF, 10.0f));
    EXPECT_EQ(line, "1/5/2013, 08:15:00,  -5.0,  -0.1");
}

TEST(ScaleFile, ExactText)
{
    ChartScale s;
    s.yMax = 120;
    s.yMin = -10;
    s.xPoints = 300;
    EXPECT_EQ(FormatScale(s, "\r\n"), "120.000000 -10.000000 300\r\n");
    EXPECT_EQ(FormatScale(s, "\n"), "120.000000 -10.000000 300\n");
    s = {150, 0, 100};
    EXPECT_EQ(FormatScale(s, "\n"), "150.000000 0.000000 100\n");
}

TEST(ScaleFile, RoundTripWithEitherLineEnd)
{
    const ChartScale saved{120.5, -10.25, 86400};
    for (const char* end : {"\n", "\r\n"}) {
        ChartScale back;
        EXPECT_EQ(ParseScale(FormatScale(saved, end), &back), 3);
        EXPECT_DOUBLE_EQ(back.yMax, saved.yMax);
        EXPECT_DOUBLE_EQ(back.yMin, saved.yMin);
        EXPECT_EQ(back.xPoints, saved.xPoints);
    }
}

TEST(ScaleFile, ReaderAcceptsAnyWhiteSpace)
{
    ChartScale s;
    EXPECT_EQ(ParseScale("  90\t\t-5.5\r\n\r\n  60  \r\n", &s), 3);
    EXPECT_DOUBLE_EQ(s.yMax, 90);
    EXPECT_DOUBLE_EQ(s.yMin, -5.5);
    EXPECT_EQ(s.xPoints, 60);
}

TEST(ScaleFile, ShortFileFillsWhatItCanInOrder)
{
    const ChartScale before{200, 20, 500};
    ChartScale s = before;
    EXPECT_EQ(ParseScale("150 10", &s), 2);
    EXPECT_DOUBLE_EQ(s.yMax, 150);
    EXPECT_DOUBLE_EQ(s.yMin, 10);
    EXPECT_EQ(s.xPoints, 500);

    s = before;
    EXPECT_EQ(ParseScale("75 oops 12", &s), 1);
    EXPECT_DOUBLE_EQ(s.yMax, 75);
    EXPECT_DOUBLE_EQ(s.yMin, 20);
    EXPECT_EQ(s.xPoints, 500);

    s = before;
    EXPECT_EQ(ParseScale("", &s), 0);
    EXPECT_EQ(ParseScale("garbage", &s), 0);
    EXPECT_DOUBLE_EQ(s.yMax, 200);
}

TEST(ScaleFile, SpanOutsideIntegerRangeIsUnreadable)
{
    ChartScale s{1, 0, 7};
    EXPECT_EQ(ParseScale("100 0 99999999999999999999", &s), 2);
    EXPECT_EQ(s.xPoints, 7);
    EXPECT_EQ(ParseScale("100 0 4294967296", &s), 2);
    EXPECT_EQ(s.xPoints, 7);
    EXPECT_EQ(ParseScale("100 0 -2147483648", &s), 3);
    EXPECT_EQ(s.xPoints, INT32_MIN);
}

TEST(ScaleCheck, UsableScales)
{
    EXPECT_TRUE(ScaleIsUsable({100, 0, 1}));
    EXPECT_TRUE(ScaleIsUsable({-10, -20, 300}));
    EXPECT_FALSE(ScaleIsUsable({0, 0, 0}));       // a first run without a file
    EXPECT_FALSE(ScaleIsUsable({50, 50, 100}));    // bottom equal to top
    EXPECT_FALSE(ScaleIsUsable({0, 100, 100}));    // upside down
    EXPECT_FALSE(ScaleIsUsable({100, 0, 0}));
    EXPECT_FALSE(ScaleIsUsable({100, 0, -5}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(ScaleIsUsable({nan, 0, 100}));
    EXPECT_FALSE(ScaleIsUsable({inf, 0, 100}));
    // Beyond what the chart can show: taken once, these left the chart on
    // another range without a word.
    EXPECT_FALSE(ScaleIsUsable({1e308, -1e308, 100}));
    EXPECT_FALSE(ScaleIsUsable({1e-300, 0, 100}));
    EXPECT_FALSE(ScaleIsUsable({100, 0, 2147483647}));
    EXPECT_FALSE(ScaleIsUsable({100, 0, rt::kStripChartMaxPoints + 1}));
    EXPECT_TRUE(ScaleIsUsable({100, 0, rt::kStripChartMaxPoints}));
    EXPECT_TRUE(ScaleIsUsable({1e6, -1e6, 100}));
}

TEST(ScaleCheck, DefaultFollowsTheSensorRangeWhenThereIsOne)
{
    const ChartScale ranged = DefaultScale(-50, 150);
    EXPECT_DOUBLE_EQ(ranged.yMin, -50);
    EXPECT_DOUBLE_EQ(ranged.yMax, 150);
    EXPECT_EQ(ranged.xPoints, 300);
    EXPECT_TRUE(ScaleIsUsable(ranged));

    for (auto [lo, hi] : {std::pair{0.0, 0.0}, {100.0, 20.0}}) {
        const ChartScale d = DefaultScale(lo, hi);
        EXPECT_DOUBLE_EQ(d.yMin, 0);
        EXPECT_DOUBLE_EQ(d.yMax, 100);
        EXPECT_TRUE(ScaleIsUsable(d));
    }
}
