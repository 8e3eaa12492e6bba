#include "formats/param_format.h"

#include "support/example_file.h"

#include <gtest/gtest.h>

#include <clocale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

ParameterSet ExampleSet()
{
    ParameterSet p;
    p.setValue = 25;
    p.alarmHigh = 80;
    p.alarmLow = 10;
    p.outputLevel = 0;
    p.pidBound[0] = 30;
    p.pidBound[1] = 60;
    p.pidBound[2] = 90;
    const float terms1[4] = {5, 4, 3, 2};
    for (int n = 0; n < 4; ++n) {
        p.pidP[n] = terms1[n];
        p.pidT4[n] = 0;
        p.pidT5[n] = 100;
        p.pidI[n] = 120;
        p.pidD[n] = 30;
    }
    p.reg30 = 0;
    p.reg31 = 0;
    p.rangeLow = -20;
    p.rangeHigh = 150;
    p.swFilter = 0;
    p.sensorType = 1;
    p.dirRev = 0;
    p.cfUnit = 0;
    p.decimalPnt = 31;
    p.alarmWatch = 1;
    return p;
}

using example_file::kExampleLine;
using example_file::WithFields;

std::string WithField(int which, const std::string& token)
{
    return WithFields({{which, token}});
}

TEST(ParameterFileFormat, ExampleLineByteForByte)
{
    const std::string line = params::FormatParameterFile(ExampleSet());
    EXPECT_EQ(line.size(), 230u);
    EXPECT_EQ(line, kExampleLine);
}

TEST(ParameterFileFormat, WidthIsAMinimum)
{
    ParameterSet p = ExampleSet();
    p.setValue = -5.0f;
    p.alarmHigh = 10000.0f;
    p.alarmLow = 123456.78f;
    p.pidI[0] = -32768;
    p.alarmWatch = 0;
    const std::string line = params::FormatParameterFile(p);
    EXPECT_EQ(line.substr(0, 7), "  -5.00");
    EXPECT_EQ(line.substr(7, 10), " 10000.00 ");
    EXPECT_NE(line.find(" 123456.78 "), std::string::npos);
    EXPECT_NE(line.find(" -32768 30 "), std::string::npos);
    EXPECT_EQ(line.back(), '0');  // no line end after the alarm switch
}

TEST(ParameterFileFormat, PointEvenUnderACommaLocale)
{
    const char* chosen = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    if (!chosen)
        chosen = std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    if (!chosen)
        GTEST_SKIP() << "no comma locale installed";
    const std::string line = params::FormatParameterFile(ExampleSet());
    ParameterSet out;
    int bad = 0;
    std::string why;
    const bool ok = params::ParseParameterFile(line, ParameterSet{}, &out, &bad, &why);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(line, kExampleLine);
    ASSERT_TRUE(ok) << bad << " " << why;
    EXPECT_FLOAT_EQ(out.rangeLow, -20.0f);
}

TEST(ParameterFileParse, RoundTripsEveryField)
{
    ParameterSet p = ExampleSet();
    // Distinct values per field so that a swapped pair shows.
    for (int n = 0; n < 4; ++n) {
        p.pidP[n] = 1.5f + static_cast<float>(n);
        p.pidT4[n] = 10.25f + static_cast<float>(n);
        p.pidT5[n] = 20.5f + static_cast<float>(n);
        p.pidI[n] = static_cast<std::int16_t>(100 + n);
        p.pidD[n] = static_cast<std::int16_t>(200 + n);
    }
    p.reg30 = 1.25f;
    p.reg31 = -2.5f;
    p.swFilter = 9.9f;
    p.outputLevel = 12.3f;
    p.sensorType = 2;
    p.dirRev = 1;
    p.cfUnit = 1;
    ParameterSet current;
    current.keypadValue = 1;
    current.tempScale = 10.0f;
    ParameterSet out;
    ASSERT_TRUE(params::ParseParameterFile(params::FormatParameterFile(p), current, &out, nullptr, nullptr));
    EXPECT_EQ(params::FormatParameterFile(out), params::FormatParameterFile(p));
    EXPECT_FLOAT_EQ(out.pidT4[3], 13.25f);
    EXPECT_EQ(out.pidD[2], 202);
    EXPECT_EQ(out.sensorType, 2);
    EXPECT_EQ(out.keypadValue, 1);  // not in the file
    EXPECT_EQ(out.tempScale, 10.0f);
}

TEST(ParameterFileParse, AnyWhiteSpaceSeparates)
{
    std::string spread;
    int field = 0;
    for (char c : std::string(kExampleLine)) {
        if (c == ' ') {
            if (!spread.empty() && spread.back() != ' ' && spread.back() != '\t' && spread.back() != '\n') {
                ++field;
                spread += (field % 3 == 0) ? "\r\n" : (field % 3 == 1 ? "\t\t" : " \t ");
            }
        } else {
            spread += c;
        }
    }
    spread = "\n \t" + spread + "\n\n";
    ParameterSet one, many;
    ASSERT_TRUE(params::ParseParameterFile(kExampleLine, ParameterSet{}, &one, nullptr, nullptr));
    int bad = 0;
    std::string why;
    ASSERT_TRUE(params::ParseParameterFile(spread, ParameterSet{}, &many, &bad, &why)) << bad << " " << why;
    EXPECT_EQ(params::FormatParameterFile(one), params::FormatParameterFile(many));
    EXPECT_EQ(params::FormatParameterFile(one), kExampleLine);
}

TEST(ParameterFileParse, TolerantWhereTheReaderIs)
{
    ParameterSet out;
    ASSERT_TRUE(params::ParseParameterFile(WithFields({{1, "25.123456"}, {2, "+7"}, {3, "-1e1"}, {37, "0"}}),
                                           ParameterSet{}, &out, nullptr, nullptr));
    EXPECT_FLOAT_EQ(out.setValue, 25.123456f);
    EXPECT_FLOAT_EQ(out.alarmHigh, 7.0f);
    EXPECT_FLOAT_EQ(out.alarmLow, -10.0f);
    EXPECT_EQ(out.alarmWatch, 0);
    // Alarms beyond the range, or crossed, are what a controller may hold:
    // a file saved from it loads back.
    ASSERT_TRUE(params::ParseParameterFile(WithFields({{2, "-25"}, {3, "160"}}), ParameterSet{}, &out, nullptr, nullptr));
    EXPECT_FLOAT_EQ(out.alarmLow, 160.0f);
    // White space may end the file; nothing else may.
    ASSERT_TRUE(params::ParseParameterFile(std::string(kExampleLine) + "\r\n\n", ParameterSet{}, &out, nullptr, nullptr));
    EXPECT_EQ(out.alarmWatch, 1);
}

struct BadFile {
    std::string text;
    int field;
    const char* why;  // a piece of the reason
};

class BadFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadFileTest, RejectedWithFirstBadFieldAndNothingStored)
{
    const BadFile& c = GetParam();
    ParameterSet current = ExampleSet();
    current.setValue = 42.0f;
    ParameterSet out = current;
    out.setValue = -1.0f;  // must stay untouched
    int bad = 0;
    std::string why;
    EXPECT_FALSE(params::ParseParameterFile(c.text, current, &out, &bad, &why));
    EXPECT_EQ(bad, c.field) << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_FLOAT_EQ(out.setValue, -1.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFileTest,
    ::testing::Values(
        BadFile{"", 1, "0 of 37"}, BadFile{"   \n\t ", 1, "0 of 37"},
        BadFile{"1 2 3 4 5 6 7 8 9 10", 11, "10 of 37"},
        BadFile{std::string(kExampleLine).substr(0, 228), 37, "36 of 37"},
        BadFile{WithField(4, "abc"), 4, "not a number"}, BadFile{WithField(5, "1.5x"), 5, "not a number"},
        BadFile{WithField(6, "nan"), 6, "not a number"}, BadFile{WithField(7, "inf"), 7, "not a number"},
        BadFile{WithField(8, "1e40"), 8, "not a number"},
        BadFile{WithField(25, "12.5"), 25, "not a whole number"},
        BadFile{WithField(26, "32768"), 26, "-32768..32767"}, BadFile{WithField(33, "-32769"), 33, "-32768..32767"},
        BadFile{WithField(37, "99999999999999999999"), 37, "not a whole number"},
        // Scaled at the file's own decimal point (31: tenths of a degree).
        BadFile{WithField(1, "3276.8"), 1, "-3276.8..3276.7"},
        BadFile{WithField(24, "-3276.9"), 24, "-3276.8..3276.7"},
        // Far outside any register: refused before any conversion to an integer.
        BadFile{WithField(1, "1e30"), 1, "-3276.8..3276.7"}, BadFile{WithField(4, "-3e38"), 4, "-3276.8..3276.7"},
        // The earliest fault wins, whatever its kind.
        BadFile{WithField(2, "5000") + "", 2, "lies outside"},
        // Anything after the last field, a NUL included.
        BadFile{std::string(kExampleLine) + " 99 junk", 37, "goes on after its 37th number"},
        BadFile{std::string(kExampleLine) + std::string("\n\0", 2), 37, "goes on after"},
        BadFile{std::string(kExampleLine) + std::string(1, '\0'), 37, "not a whole number"},
        BadFile{WithField(4, "x") + " junk", 4, "not a number"},
        // What the controller would refuse or cannot use once the file is in:
        // the set value inside the file's own range, ...
        BadFile{WithField(1, "150.1"), 1, "150.1 lies outside the file's range -20.0..150.0"},
        BadFile{WithFields({{22, "150"}, {1, "150"}}), 23, "150.0 is not above range low 150.0"},
        // ... each field's own span, ...
        BadFile{WithField(4, "100.1"), 4, "100.1 lies outside -100.0..100.0"},
        BadFile{WithField(14, "-0.1"), 14, "outside 0.0..3276.7"},
        BadFile{WithField(12, "100.5"), 12, "outside 0.0..100.0"},
        BadFile{WithField(24, "10"), 24, "10.0 lies outside 0.0..9.9"},
        BadFile{WithField(30, "-1"), 30, "-1 lies outside 0..32767"},
        // ... and only codes the controller knows.
        BadFile{WithField(33, "3"), 33, "3 is not a code the controller knows"},
        BadFile{WithField(35, "2"), 35, "not a code"}, BadFile{WithField(36, "32"), 36, "30 for whole"},
        BadFile{WithField(37, "-1"), 37, "0 off or 1 on"}));

TEST(ParameterFileParse, ScaleFollowsTheFilesDecimalPoint)
{
    // With decimal point 30 a set value of 5000 is a whole-unit 5000.
    std::string whole = WithFields({{36, "30"}, {23, "6000"}});
    std::size_t first = whole.find("25.00");
    whole.replace(first, 5, "5000");
    ParameterSet out;
    int bad = 0;
    std::string why;
    EXPECT_TRUE(params::ParseParameterFile(whole, ParameterSet{}, &out, &bad, &why)) << why;
    EXPECT_FLOAT_EQ(out.setValue, 5000.0f);
    // The same value at one decimal place does not fit.
    std::string tenths = kExampleLine;
    tenths.replace(tenths.find("25.00"), 5, "5000");
    EXPECT_FALSE(params::ParseParameterFile(tenths, ParameterSet{}, &out, &bad, &why));
    EXPECT_EQ(bad, 1);
}

TEST(ParameterFileParse, EarliestFaultWinsWhateverItsKind)
{
    int bad = 0;
    std::string why;
    ParameterSet out;
    EXPECT_FALSE(params::ParseParameterFile(WithFields({{3, "4000"}, {30, "x"}}), ParameterSet{}, &out, &bad, &why));
    EXPECT_EQ(bad, 3) << why;
    // Without a usable decimal point no scale check can be made: the syntax fault is reported.
    EXPECT_FALSE(params::ParseParameterFile(WithFields({{3, "4000"}, {36, "3x"}}), ParameterSet{}, &out, &bad, &why));
    EXPECT_EQ(bad, 36);
}

} // namespace
