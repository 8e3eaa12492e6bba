// Every file the program writes or reads keeps the C decimal point whatever
// the desktop's locale says: under a decimal-comma locale the texts are the
// same bytes as under C, and C texts read back the same.
#include "app/connection.h"
#include "monitor/monitor.h"
#include "params/param_file.h"
#include "program/program.h"
#include "protocol/parameter_set.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

struct Texts {
    std::string log, scale, params, steps, settings;
};

ParameterSet SampleParameters()
{
    ParameterSet p;
    p.setValue = -12.5f;
    p.alarmHigh = 80.25f;
    p.alarmLow = -40.75f;
    p.outputLevel = -33.3f;
    p.pidP[2] = 12.7f;
    p.rangeLow = -199.9f;
    p.rangeHigh = 850.0f;
    p.swFilter = 0.5f;
    p.decimalPnt = 31;
    return p;
}

StepProgram SampleProgram()
{
    StepProgram prog;
    for (int k = 0; k < 8; ++k) {
        prog.steps[k].sv = -20.5f + 10.5f * static_cast<float>(k);
        prog.steps[k].param1 = static_cast<std::uint16_t>(10 * k);
        prog.steps[k].param2 = static_cast<std::uint16_t>(60 + k);
        prog.steps[k].action = 54;
    }
    prog.tolBand = 1.5f;
    return prog;
}

Texts Write()
{
    Texts t;
    t.log = monitor::FormatLogLine(1, 5, 2024, "08:15:00", -5.0f, 24.8f);
    t.scale = monitor::FormatScale(ChartScale{150.0, -0.5, 100}, "\n");
    t.params = params::FormatParameterFile(SampleParameters());
    t.steps = program::FormatStepFile(SampleProgram());
    t.settings = comlink::FormatComSettings(3, 115200, 7);
    return t;
}

// A locale whose decimal separator is a comma; the install script generates
// de_DE.UTF-8 where the machine lacks one.
const char* DecimalCommaLocale()
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',')
            return name;
    }
    return nullptr;
}

class FilesUnderDecimalComma : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_saved = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "C");
        m_c = Write();
        ASSERT_NE(DecimalCommaLocale(), nullptr) << "no decimal-comma locale: run scripts/install-deps.sh";
    }
    void TearDown() override { std::setlocale(LC_ALL, m_saved.c_str()); }

    std::string m_saved;
    Texts m_c;
};

TEST_F(FilesUnderDecimalComma, WrittenTextsAreTheBytesOfTheCLocale)
{
    const Texts t = Write();
    EXPECT_EQ(t.log, "1/5/2024, 08:15:00,  -5.0,  24.8");
    EXPECT_EQ(t.scale, "150.000000 -0.500000 100\n");
    EXPECT_EQ(t.log, m_c.log);
    EXPECT_EQ(t.scale, m_c.scale);
    EXPECT_EQ(t.params, m_c.params);
    EXPECT_EQ(t.steps, m_c.steps);
    EXPECT_EQ(t.settings, m_c.settings);
    EXPECT_EQ(t.params.find(','), std::string::npos) << t.params;
    EXPECT_EQ(t.steps.find(','), std::string::npos) << t.steps;
}

TEST_F(FilesUnderDecimalComma, CTextsReadBackTheSame)
{
    ChartScale s;
    EXPECT_EQ(monitor::ParseScale(m_c.scale, &s), 3);
    EXPECT_DOUBLE_EQ(s.yMax, 150.0);
    EXPECT_DOUBLE_EQ(s.yMin, -0.5);
    EXPECT_EQ(s.xPoints, 100);

    ParameterSet p;
    int bad = 0;
    std::string why;
    ASSERT_TRUE(params::ParseParameterFile(m_c.params, ParameterSet{}, &p, &bad, &why)) << bad << " " << why;
    EXPECT_FLOAT_EQ(p.alarmLow, -40.75f);
    EXPECT_FLOAT_EQ(p.swFilter, 0.5f);

    StepProgram prog;
    ASSERT_TRUE(program::ParseStepFile(m_c.steps, &prog, &bad, &why)) << bad << " " << why;
    EXPECT_FLOAT_EQ(prog.steps[7].sv, SampleProgram().steps[7].sv);
    EXPECT_FLOAT_EQ(prog.tolBand, 1.5f);

    std::uint16_t port = 0, id = 0;
    std::uint32_t baud = 0;
    ASSERT_TRUE(comlink::ParseComSettings(m_c.settings, &port, &baud, &id));
    EXPECT_EQ(baud, 115200u);
}

} // namespace
