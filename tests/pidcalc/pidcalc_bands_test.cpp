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
