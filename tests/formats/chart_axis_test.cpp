// The chart's clock arithmetic, time-axis ticks and min/max decimation.
#include "formats/chart_axis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
double At(int y, int mo, int d, int h, int mi, int s)
{
    return rt::CivilSeconds({y, mo, d, h, mi, s});
}

std::vector<std::string> Labels(double t0, double t1, int most = 10)
{
    std::vector<std::string> out;
    for (const rt::TimeTick& t : rt::TimeTicks(t0, t1, most))
        out.push_back(t.label);
    return out;
}
} // namespace

TEST(ChartClock, CivilSecondsRoundTripAcrossLeapDaysAndYearEnds)
{
    EXPECT_EQ(rt::DaysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(rt::DaysFromCivil(2000, 3, 1) - rt::DaysFromCivil(2000, 2, 28), 2);  // 2000 is a leap year
    EXPECT_EQ(rt::DaysFromCivil(2100, 3, 1) - rt::DaysFromCivil(2100, 2, 28), 1);  // 2100 is not
    EXPECT_TRUE(rt::IsValidDate(2012, 2, 29));
    EXPECT_FALSE(rt::IsValidDate(2013, 2, 29));
    EXPECT_FALSE(rt::IsValidDate(2013, 4, 31));
    EXPECT_FALSE(rt::IsValidDate(2013, 13, 1));
    EXPECT_DOUBLE_EQ(At(2013, 1, 1, 0, 0, 0) - At(2012, 12, 31, 23, 59, 59), 1.0);
    for (double t : {0.0, At(2012, 2, 29, 13, 5, 9), At(2026, 12, 31, 23, 59, 59), At(1969, 12, 31, 23, 0, 0)}) {
        const rt::CivilTime c = rt::CivilFromSeconds(t + 0.75);  // fractions are dropped
        EXPECT_DOUBLE_EQ(rt::CivilSeconds(c), t);
    }
}

// From seconds to a week on screen: the step grows, seconds leave the labels,
// and a week is labelled by dates.
TEST(ChartClock, TickLabelsFollowTheVisibleRange)
{
    const double t0 = At(2026, 12, 8, 14, 5, 0);
    EXPECT_EQ(Labels(t0 + 0.5, t0 + 4.5), (std::vector<std::string>{"14:05:01", "14:05:02", "14:05:03", "14:05:04"}));
    EXPECT_DOUBLE_EQ(rt::TimeTickStep(t0, t0 + 300, 10), 30);
    EXPECT_EQ(Labels(t0, t0 + 300).front(), "14:05:00");
    EXPECT_EQ(Labels(t0, t0 + 3600), (std::vector<std::string>{"14:10", "14:20", "14:30", "14:40", "14:50", "15:00"}));
    // Six hours: whole hours on the local clock.
    EXPECT_EQ(Labels(t0, t0 + 6 * 3600).front(), "15:00");
    const std::vector<std::string> week = Labels(At(2026, 12, 1, 0, 0, 0), At(2026, 12, 8, 0, 0, 0));
    EXPECT_EQ(week.front(), "2026-12-01");
    EXPECT_EQ(week.back(), "2026-12-08");
    EXPECT_EQ(week.size(), 8u);
    for (int most : {2, 5, 10, 20})
        for (double span : {3.0, 61.0, 3599.0, 86399.0, 604800.0, 40 * 86400.0})
            EXPECT_LE(rt::TimeTicks(t0, t0 + span, most).size(), static_cast<std::size_t>(most) + 1)
                << most << " ticks over " << span << " s";
    EXPECT_TRUE(rt::TimeTicks(t0, t0, 10).empty());
    EXPECT_TRUE(rt::TimeTicks(t0, NAN, 10).empty());
}

TEST(ChartClock, TheDateAppearsOnceTheRangeCrossesMidnight)
{
    const double before = At(2026, 12, 31, 23, 58, 0);
    EXPECT_EQ(Labels(before, before + 120, 4),
              (std::vector<std::string>{"23:58:00\n2026-12-31", "23:58:30", "23:59:00", "23:59:30",
                                        "00:00:00\n2027-01-01"}));
    const double day = At(2026, 12, 8, 18, 0, 0);
    const std::vector<std::string> overnight = Labels(day, day + 12 * 3600, 6);
    EXPECT_EQ(overnight.front(), "18:00\n2026-12-08");
    EXPECT_NE(std::find(overnight.begin(), overnight.end(), "00:00\n2026-12-09"), overnight.end());
    EXPECT_EQ(std::count_if(overnight.begin(), overnight.end(), [](auto& s) { return s.find('\n') != s.npos; }), 2);
    // Within one day no date at all.
    for (const std::string& s : Labels(day - 6 * 3600, day + 5 * 3600))
        EXPECT_EQ(s.find('\n'), std::string::npos) << s;
}

// A million noisy points with single-sample spikes into 200 columns: every
// column keeps its lowest and highest point, the output stays in time order
// and small, and a pause in recording breaks the line.
TEST(ChartDecimation, KeepsEveryColumnsMinimumAndMaximum)
{
    constexpr int kPoints = 1000000;
    constexpr int kColumns = 200;
    std::vector<double> t(kPoints), v(kPoints);
    for (int i = 0; i < kPoints; ++i) {
        t[i] = 1000.0 + i;
        v[i] = 50.0 + 10.0 * std::sin(i / 5000.0) + ((i * 7919LL) % 17) / 17.0;
    }
    v[123457] = 400.0;  // one-sample spikes
    v[876543] = -300.0;
    const double t0 = t[0], t1 = t[kPoints - 1];
    std::vector<rt::DrawPoint> out;
    rt::DecimateMinMax(t.data(), v.data(), kPoints, t0, t1, kColumns, 0, &out);
    ASSERT_LE(out.size(), 4u * kColumns + 4);
    EXPECT_TRUE(std::is_sorted(out.begin(), out.end(), [](auto& a, auto& b) { return a.t < b.t; }));
    const double width = (t1 - t0) / kColumns;
    std::vector<double> lo(kColumns + 1, 1e300), hi(kColumns + 1, -1e300), outLo = lo, outHi = hi;
    for (int i = 0; i < kPoints; ++i) {
        const int c = static_cast<int>((t[i] - t0) / width);
        lo[c] = std::min(lo[c], v[i]);
        hi[c] = std::max(hi[c], v[i]);
    }
    for (const rt::DrawPoint& p : out) {
        const int c = static_cast<int>((p.t - t0) / width);
        outLo[c] = std::min(outLo[c], p.v);
        outHi[c] = std::max(outHi[c], p.v);
    }
    EXPECT_EQ(outLo, lo);
    EXPECT_EQ(outHi, hi);

    // Block summaries give the very same points, pauses included.
    for (int i = 500000; i < kPoints; ++i)
        t[i] += 30;  // a pause inside one block of 64
    for (int i = 700032; i < kPoints; ++i)
        t[i] += 3600;  // and an hour's pause between two
    ASSERT_TRUE(std::is_sorted(t.begin(), t.end()));
    rt::TraceBlocks blocks;
    blocks.update(t.data(), v.data(), kPoints / 2);
    blocks.update(t.data(), v.data(), kPoints);
    ASSERT_EQ(blocks.low.size(), kPoints / rt::TraceBlocks::kBlock);
    std::vector<rt::DrawPoint> plain, fast;
    for (int columns : {3, 97, 800}) {
        rt::DecimateMinMax(t.data(), v.data(), kPoints, t[1234], t[kPoints - 99], columns, 5.0, &plain);
        rt::DecimateMinMax(t.data(), v.data(), kPoints, t[1234], t[kPoints - 99], columns, 5.0, &fast, &blocks);
        ASSERT_EQ(fast.size(), plain.size()) << columns;
        for (std::size_t k = 0; k < fast.size(); ++k) {
            EXPECT_EQ(fast[k].t, plain[k].t);
            EXPECT_TRUE(fast[k].v == plain[k].v || (std::isnan(fast[k].v) && std::isnan(plain[k].v)));
        }
    }
    EXPECT_EQ(std::count_if(fast.begin(), fast.end(), [](auto& p) { return std::isnan(p.v); }), 2);

    // A zoomed view takes one point beyond each edge so the line reaches them.
    rt::DecimateMinMax(t.data(), v.data(), kPoints, 5000.5, 5010.5, kColumns, 0, &out);
    ASSERT_EQ(out.size(), 12u);
    EXPECT_DOUBLE_EQ(out.front().t, 5000.0);
    EXPECT_DOUBLE_EQ(out.back().t, 5011.0);
    EXPECT_DOUBLE_EQ(out[3].v, v[4003]);

    // An hour without points between two runs: one break, in the pause.
    const double tt[] = {0, 1, 2, 3602, 3603};
    const double vv[] = {1, 2, 3, 4, 5};
    rt::DecimateMinMax(tt, vv, 5, 0, 3603, 800, 5.0, &out);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_TRUE(std::isnan(out[3].v));
    EXPECT_GT(out[3].t, 2);
    EXPECT_LT(out[3].t, 3602);
    rt::DecimateMinMax(tt, vv, 5, 0, 3603, 800, 0, &out);
    EXPECT_EQ(out.size(), 5u);
}

// Missing readings (NaN) are gaps: whatever the zoom, no line is drawn across
// a missing run wider than a pixel column, no point is made up inside one,
// block summaries give the very points a walk over each point gives, and each
// column keeps the lowest and highest reading it has.
TEST(ChartDecimation, AMissingReadingBreaksTheLineAndIsNeverAveragedAway)
{
    constexpr int kPoints = 200000;
    std::vector<double> t(kPoints), v(kPoints);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < kPoints; ++i) {
        t[i] = 1000.0 + i;
        v[i] = 50.0 + 10.0 * std::sin(i / 3000.0);
    }
    for (int i = 60000; i < 66000; ++i)
        v[i] = nan;  // an hour and a half without readings
    for (int i = 100000; i < kPoints; i += 97)
        v[i] = nan;  // a controller answering most rounds
    v[150000] = nan;
    v[150001] = 500;  // a spike right after a missing one
    v[kPoints - 1] = nan;
    rt::TraceBlocks blocks;
    blocks.update(t.data(), v.data(), kPoints);
    std::vector<rt::DrawPoint> plain, fast;
    for (int columns : {7, 300, 1000, 20000}) {
        const double t0 = t[0], t1 = t[kPoints - 1], width = (t1 - t0) / columns;
        rt::DecimateMinMax(t.data(), v.data(), kPoints, t0, t1, columns, 5.0, &plain);
        rt::DecimateMinMax(t.data(), v.data(), kPoints, t0, t1, columns, 5.0, &fast, &blocks);
        ASSERT_EQ(fast.size(), plain.size()) << columns;
        for (std::size_t k = 0; k < fast.size(); ++k) {
            ASSERT_EQ(fast[k].t, plain[k].t) << columns << " " << k;
            ASSERT_TRUE(fast[k].v == plain[k].v || (std::isnan(fast[k].v) && std::isnan(plain[k].v)));
        }
        ASSERT_LE(plain.size(), 10u * columns + 16);
        ASSERT_TRUE(std::is_sorted(plain.begin(), plain.end(), [](auto& a, auto& b) { return a.t < b.t; }));
        auto column = [&](double at) { return std::floor((at - t0) / width); };
        for (std::size_t k = 0; k + 1 < plain.size(); ++k) {
            const rt::DrawPoint& a = plain[k];
            const rt::DrawPoint& b = plain[k + 1];
            if (std::isnan(a.v) || std::isnan(b.v))
                continue;
            // A line from a to b: no missing reading between them, except within one pixel column.
            const auto from = static_cast<std::size_t>(a.t - 1000.0), to = static_cast<std::size_t>(b.t - 1000.0);
            ASSERT_EQ(v[from], a.v);  // every point drawn is a reading
            for (std::size_t i = from + 1; i < to; ++i)
                ASSERT_FALSE(std::isnan(v[i]) && column(a.t) != column(b.t))
                    << columns << ": a line from " << from << " to " << to << " across the gap at " << i;
        }
        // The long gap is one break at least, the spike is kept, the final missing reading ends the line.
        EXPECT_TRUE(std::any_of(plain.begin(), plain.end(),
                                [](auto& p) { return std::isnan(p.v) && p.t >= 61000 && p.t < 67000; }));
        EXPECT_TRUE(std::any_of(plain.begin(), plain.end(), [](auto& p) { return p.v == 500; }));
        EXPECT_TRUE(std::isnan(plain.back().v));
    }
}
