// The step program as the controller runs it: segments, loops, the tolerance
// band and the end of the run, as seen in the status word.
#include "sim_helpers.h"

#include <cmath>
#include <ctime>

namespace {

struct Step {
    int ramp, sv, soak, action, loops;
};

void Load(SimBench& s, const std::vector<Step>& steps, int band)
{
    s.write(0x0036, band);
    for (std::size_t k = 0; k < 8; ++k) {
        const Step st = k < steps.size() ? steps[k] : Step{0, 250, 0, 52, 0};
        const auto base = static_cast<std::uint16_t>(0x0037 + 5 * k);
        s.write(base, st.ramp);
        s.write(base + 1, st.sv);
        s.write(base + 2, st.soak);
        s.write(base + 3, st.action);
        s.write(base + 4, st.loops);
    }
}

// Polls the status word every `step` seconds until the run ends (or `limit`),
// returning the segments seen in order, repeats collapsed.
std::vector<int> Segments(SimBench& s, double limit, double step = 0.5)
{
    std::vector<int> seen;
    for (double t = 0; t < limit; t += step) {
        s.run(step);
        const std::uint16_t status = s.read(0x1003);
        if ((status >> 8) != 5)
            break;
        const int segment = (status & 0xFF) / 15;
        if (seen.empty() || seen.back() != segment)
            seen.push_back(segment);
    }
    return seen;
}

} // namespace

TEST(SimProgram, NestedLoopsVisitTheirStepsInOrderAndEnd)
{
    SimBench s;
    // 1 next; 2 next; 3 back to 2 once; 4 back to 1 once; 5 end.
    Load(s,
         {{3, 300, 3, 54, 0}, {3, 350, 3, 54, 0}, {3, 400, 3, 45, 1}, {3, 300, 3, 44, 1}, {3, 250, 3, 52, 0}},
         0);
    s.write(0x0002, 5);
    EXPECT_EQ(s.read(0x1003) >> 8, 5);
    const std::vector<int> steps{1, 2, 3, 2, 3, 4, 1, 2, 3, 2, 3, 4, 5};
    std::vector<int> expected;
    for (int k : steps) {
        expected.push_back(2 * (k - 1));
        expected.push_back(2 * (k - 1) + 1);
    }
    EXPECT_EQ(Segments(s, 400), expected);
    EXPECT_EQ(s.read(0x1003) >> 8, 0);
    EXPECT_EQ(s.function(), 0);
    EXPECT_EQ(s.readSigned(0x1001), 250) << "SV in use returns to the set value";
}

TEST(SimProgram, RampsAndSoaksWithTheStepSetValue)
{
    SimBench s;
    Load(s, {{20, 450, 30, 52, 0}}, 0);
    s.write(0x0002, 5);
    s.run(10);
    EXPECT_NEAR(s.readSigned(0x1001), 350, 3) << "half way up the ramp from 25.0 to 45.0";
    EXPECT_EQ(s.read(0x1003) & 0xFF, 0);
    s.run(15);
    EXPECT_EQ(s.readSigned(0x1001), 450);
    EXPECT_EQ(s.read(0x1003) & 0xFF, 15);
    s.run(30);
    EXPECT_EQ(s.read(0x1003), 0);
    EXPECT_EQ(s.function(), 0);
}

TEST(SimProgram, ToleranceBandHoldsTheStepUntilPvArrives)
{
    SimBench s;
    Load(s, {{1, 800, 5, 54, 0}, {1, 250, 5, 52, 0}}, 10);  // band 1.0
    s.write(0x0002, 5);
    s.run(20);
    EXPECT_EQ(s.read(0x1003) & 0xFF, 0) << "held at the end of the ramp";
    EXPECT_LT(s.pv(), 79.0);
    int segment = 0;
    double pvAtSoak = 0;
    for (int i = 0; i < 600 && segment == 0; ++i) {
        s.run(0.5);
        segment = (s.read(0x1003) & 0xFF) / 15;
        pvAtSoak = s.pv();
    }
    EXPECT_EQ(segment, 1);
    EXPECT_NEAR(pvAtSoak, 80.0, 1.1);
}

TEST(SimProgram, EndlessLoopRunsUntilStoppedAndARepeatedStartDoesNotRestart)
{
    SimBench s;
    Load(s, {{2, 300, 2, 54, 0}, {2, 320, 2, 44, 9999}}, 0);
    s.write(0x0002, 5);
    const std::vector<int> seen = Segments(s, 100);
    ASSERT_GE(seen.size(), 40u);
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], static_cast<int>(i % 4)) << i;
    EXPECT_EQ(s.read(0x1003) >> 8, 5);

    while ((s.read(0x1003) & 0xFF) / 15 != 2)
        s.run(0.5);
    s.write(0x0002, 5);
    s.run(0.5);
    EXPECT_GE((s.read(0x1003) & 0xFF) / 15, 2) << "writing 5 again keeps the run where it is";

    s.write(0x0002, 0);
    EXPECT_EQ(s.read(0x1003), 0);
    s.run(10);
    EXPECT_EQ(s.read(0x1003), 0);
    EXPECT_DOUBLE_EQ(s.controller.output(), 0.0);
}

TEST(SimProgram, AnAlarmWithTheSwitchOffLeavesTheSegmentCodeAlone)
{
    SimBench s;
    Load(s, {{2, 300, 2, 54, 0}, {2, 300, 2, 54, 0}, {2, 300, 2, 54, 0}, {2, 300, 2, 52, 0}}, 0);
    s.write(0x001A, 200);  // high alarm 20.0: PV 25 sets bit 0 throughout
    s.write(0x0002, 5);
    const std::vector<int> seen = Segments(s, 100);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(SimProgram, RunReportsSegmentsWithoutAlarmBitsAndAlarmsAfterTheEnd)
{
    SimBench s;
    // A high alarm below ambient: the alarm is on during the whole run, switch off.
    s.write(0x001A, 100);
    Load(s, {{5, 250, 40, 52, 0}}, 0);
    s.write(0x0002, 5);
    s.run(10);
    EXPECT_EQ(s.read(0x1003), (5 << 8) | 15) << "the soak segment alone, no alarm bits beside it";
    s.run(60);
    EXPECT_EQ(s.read(0x1003), 1) << "after the run the low byte shows the high alarm";

    // With the alarm switch on, the alarm ends the run and then shows.
    SimBench on;
    Load(on, {{5, 250, 600, 52, 0}}, 0);
    on.write(0x001C, 8);
    on.write(0x0002, 5);
    on.run(10);
    EXPECT_EQ(on.read(0x1003), (5 << 8) | 15);
    on.write(0x001A, 200);  // high alarm 20.0, below PV
    on.run(0.5);
    EXPECT_EQ(on.read(0x1003), 1);
    EXPECT_EQ(on.function(), 0);
    EXPECT_DOUBLE_EQ(on.controller.output(), 0.0);
}

// An hour of program, polled as the chart polls, costs milliseconds: the
// tests of every timer and watch run whole programs on the virtual clock.
TEST(SimProgram, AnHourLongRunEndsOnTimeAndCostsLittle)
{
    SimBench s;
    Load(s, {{600, 800, 1200, 54, 0}, {600, 300, 1200, 52, 0}}, 0);  // 2 x (10 min ramp + 20 min soak)
    const std::clock_t cpu = std::clock();
    s.write(0x0002, 5);
    int polls = 0;
    while (s.read(0x1003) >> 8 == 5 && s.clock.now() < 7200) {
        s.run(0.5);
        s.read(0x1001);
        s.read(0x1000);
        ++polls;
    }
    const double seconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
    EXPECT_NEAR(s.clock.now(), 3600.0, 1.0) << "ramps and soaks take their stated times";
    EXPECT_EQ(s.function(), 0);
    EXPECT_LT(seconds, 0.5) << polls << " polls";
}

TEST(SimProgram, SoakTimeCountsOnlyWhilePvIsInTheBand)
{
    SimBench s;
    Load(s, {{1, 250, 20, 52, 0}}, 10);  // hold 25.0 for 20 s within 1.0
    s.write(0x0002, 5);
    s.run(5);
    ASSERT_EQ(s.read(0x1003), (5 << 8) | 15) << "soaking";
    // A disturbance throws PV far out of the band: the soak clock stops.
    s.controller.setReg(0x1000, 800);
    s.run(30);
    ASSERT_GT(s.pv(), 26.0) << "still out of the band";
    EXPECT_EQ(s.read(0x1003), (5 << 8) | 15) << "20 s have passed in all, but not within the band";
    double ended = -1;
    for (int t = 0; t < 1200; ++t) {
        s.run(1);
        if (s.read(0x1003) >> 8 != 5) {
            ended = t;
            break;
        }
    }
    EXPECT_GT(ended, 0) << "the soak finishes once PV is back";
    EXPECT_NEAR(s.pv(), 25.0, 1.0);
    EXPECT_EQ(s.function(), 0);
}
