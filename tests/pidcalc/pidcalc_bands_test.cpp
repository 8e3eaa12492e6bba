// Band widths of the PID calculator.
#include "pidcalc/pidcalc.h"

#include <gtest/gtest.h>

TEST(PidBands, WidthsFromSpanAndTerms)
{
    const pidcalc::Bands b = pidcalc::ComputeBands(100.0f, 0.0f, 5.0f, 50.0f);
    EXPECT_FLOAT_EQ(b.band1, 5.0f);
    EXPECT_FLOAT_EQ(b.band2, 2.5f);
    const pidcalc::Bands c = pidcalc::ComputeBands(150.0f, -50.0f, 12.5f, 20.0f);
    EXPECT_FLOAT_EQ(c.band1, 25.0f);
    EXPECT_FLOAT_EQ(c.band2, 5.0f);
}

TEST(PidBands, DegenerateInputsGiveZeroWidth)
{
    const pidcalc::Bands equal = pidcalc::ComputeBands(80.0f, 80.0f, 5.0f, 50.0f);
    EXPECT_EQ(equal.band1, 0.0f);
    EXPECT_EQ(equal.band2, 0.0f);
    const pidcalc::Bands noP = pidcalc::ComputeBands(100.0f, 0.0f, 0.0f, 50.0f);
    EXPECT_EQ(noP.band1, 0.0f);
    EXPECT_EQ(noP.band2, 0.0f);
    // A span given upside down gives a negative width, as the formula says.
    EXPECT_FLOAT_EQ(pidcalc::ComputeBands(0.0f, 100.0f, 5.0f, 50.0f).band1, -5.0f);
}
