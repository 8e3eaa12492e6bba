// The step-program file's exact text and its tolerant reader.
#include "formats/step_file_format.h"
#include "protocol/step_codec.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

using namespace program;

namespace {

StepProgram Sample()
{
    StepProgram p;
    for (int k = 0; k < kSteps; ++k) {
        StepRecord& s = p.steps[k];
        s.sv = 10.0f * static_cast<float>(k) - 20.5f;
        s.param1 = static_cast<std::uint16_t>(100 + k);
        s.param2 = static_cast<std::uint16_t>(65535 - k);
        s.action = static_cast<std::uint16_t>(k < 7 ? 44 + k : 52);
        s.loops = static_cast<std::uint16_t>(k == 0 ? 9999 : k);
    }
    p.tolBand = 1.5f;
    return p;
}

std::string Tabs8() { return std::string(8, '\t'); }

} // namespace

TEST(StepFileFormat, ExactTextOfOneStepAndTheBand)
{
    StepProgram p;
    for (StepRecord& s : p.steps) {
        s.sv = 25.0f;
        s.param1 = 10;
        s.param2 = 5;
        s.action = 54;
        s.loops = 0;
    }
    p.tolBand = -5.0f;
    std::string expected;
    for (int k = 0; k < 8; ++k)
        expected += "  25.0 10 5 54 0 " + Tabs8();
    expected += "  -5.0";
    EXPECT_EQ(FormatStepFile(p), expected);
}

TEST(StepFileFormat, RoundsToOneDecimalAndWritesUnsignedIntegers)
{
    StepProgram p;
    p.steps[0].sv = 1234.56f;
    p.steps[0].param1 = 65535;
    p.steps[1].sv = -5.0f;
    p.steps[2].sv = 12345.6f;  // wider than six characters
    const std::string text = FormatStepFile(p);
    EXPECT_EQ(text.rfind("1234.6 65535 0 0 0 " + Tabs8(), 0), 0u) << text;
    EXPECT_NE(text.find(Tabs8() + "  -5.0 0 0 0 0 " + Tabs8() + "12345.6 "), std::string::npos) << text;
    EXPECT_EQ(text.back(), '0');  // no line end after the band
}

TEST(StepFileFormat, IndependentOfTheProcessLocale)
{
    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old ? old : "C";
    const bool switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    StepProgram p = Sample();
    const std::string text = FormatStepFile(p);
    StepProgram back;
    const bool ok = ParseStepFile(text, &back, nullptr, nullptr);
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(text.find(','), std::string::npos);
    EXPECT_TRUE(ok);
    EXPECT_FLOAT_EQ(back.steps[0].sv, -20.5f);
    if (!switched)
        GTEST_LOG_(INFO) << "de_DE.UTF-8 not installed; checked in the current locale only";
}

TEST(StepFileRead, OnlyTheOrderOfNumbersMatters)
{
    // Field k holds k, but every action (field 4 of a step) is a known code.
    std::string text;
    for (int k = 1; k <= 41; ++k)
        text += std::to_string(k % 5 == 4 ? 44 + k / 5 : k) + (k % 3 == 0 ? "\r\n" : k % 2 ? " \t  " : "\n");
    StepProgram p;
    ASSERT_TRUE(ParseStepFile("\n\t " + text, &p, nullptr, nullptr));
    EXPECT_FLOAT_EQ(p.steps[0].sv, 1.0f);
    EXPECT_EQ(p.steps[0].param1, 2);
    EXPECT_EQ(p.steps[0].param2, 3);
    EXPECT_EQ(p.steps[0].action, 44);
    EXPECT_EQ(p.steps[7].action, 51);
    EXPECT_EQ(p.steps[0].loops, 5);
    EXPECT_FLOAT_EQ(p.steps[7].sv, 36.0f);
    EXPECT_EQ(p.steps[7].loops, 40);
    EXPECT_FLOAT_EQ(p.tolBand, 41.0f);
    // A leading plus sign is a number too.
    std::string plus = "+1.5" + text.substr(text.find(' '));
    ASSERT_TRUE(ParseStepFile(plus, &p, nullptr, nullptr));
    EXPECT_FLOAT_EQ(p.steps[0].sv, 1.5f);
}

TEST(StepFileRead, WhiteSpaceMayEndTheFile)
{
    StepProgram p;
    EXPECT_TRUE(ParseStepFile(FormatStepFile(Sample()) + "\r\n\t\n", &p, nullptr, nullptr));
    EXPECT_FLOAT_EQ(p.tolBand, 1.5f);
}

TEST(StepFileRead, BadFilesNameTheFirstBadFieldAndLeaveTheOutputAlone)
{
    const std::string good = FormatStepFile(Sample());
    struct Case {
        std::string text;
        int field;
        std::string reasonPart;
    };
    auto replaceField = [&](int position, const std::string& with) {
        std::string t;
        int pos = 0;
        std::size_t i = 0;
        while (i < good.size()) {
            while (i < good.size() && (good[i] == ' ' || good[i] == '\t'))
                t += good[i++];
            std::size_t start = i;
            while (i < good.size() && good[i] != ' ' && good[i] != '\t')
                ++i;
            if (i > start)
                t += (++pos == position) ? with : good.substr(start, i - start);
        }
        return t;
    };
    const Case cases[] = {
        {"", 1, "ends after 0 of 41"},
        {good.substr(0, good.rfind('\t') + 1), 41, "ends after 40 of 41"},
        {replaceField(12, "abc"), 12, "\"abc\" is not a whole number"},
        {replaceField(6, "1,5"), 6, "\"1,5\" is not a number"},
        {replaceField(2, "65536"), 2, "outside 0 to 65535"},
        {replaceField(3, "-1"), 3, "outside 0 to 65535"},
        {replaceField(4, "54.0"), 4, "not a whole number"},
        {replaceField(5, "99999999999999999999999"), 5, "outside 0 to 65535"},
        {replaceField(41, "nan"), 41, "not a number"},
        {replaceField(16, "1e999"), 16, "not a number"},
        {replaceField(40, "7x"), 40, "not a whole number"},
        // No register holds these at any decimal point: refused before any
        // conversion to an integer could overflow.
        {replaceField(1, "1e30"), 1, "\"1e30\" is outside -32768 to 32767"},
        {replaceField(36, "-32768.1"), 36, "outside -32768 to 32767"},
        {replaceField(41, "3.4e38"), 41, "outside -32768 to 32767"},
        // Only the actions the step program knows, a band from 0, and
        // nothing after the band but white space.
        {replaceField(4, "99"), 4, "\"99\" is not an action the step program knows (54 next, 44 to 51 loop, 52 end)"},
        {replaceField(39, "53"), 39, "not an action"},
        {replaceField(19, "0"), 19, "not an action"},
        {replaceField(41, "-0.1"), 41, "\"-0.1\" is below 0"},
        {good + " 7", 41, "the file goes on after its 41st number"},
        {good + "\n" + std::string(1, '\0'), 41, "goes on after"},
    };
    for (const Case& c : cases) {
        StepProgram out = Sample();
        out.tolBand = 77.0f;
        int bad = 0;
        std::string reason;
        EXPECT_FALSE(ParseStepFile(c.text, &out, &bad, &reason)) << c.text;
        EXPECT_EQ(bad, c.field) << c.text;
        EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << reason;
        EXPECT_FLOAT_EQ(out.tolBand, 77.0f);  // untouched
    }
}
