// Register layout, encodings, the two row rules and the step indicators.
#include "protocol/step_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace program;

namespace {

// A 16-byte five-register answer holding the given register values.
std::vector<std::uint8_t> Answer5(std::uint16_t r0, std::uint16_t r1, std::uint16_t r2, std::uint16_t r3,
                                  std::uint16_t r4)
{
    std::vector<std::uint8_t> a(16, 0);
    a[0] = 0x01;
    a[1] = 0x03;
    const std::uint16_t regs[] = {r0, r1, r2, r3, r4};
    for (int k = 0; k < 5; ++k) {
        a[4 + 2 * k] = static_cast<std::uint8_t>(regs[k] >> 8);
        a[5 + 2 * k] = static_cast<std::uint8_t>(regs[k] & 0xFF);
    }
    return a;
}

} // namespace

TEST(StepRegisters, DecodeTakesRegisterOrderParam1SvParam2ActionLoops)
{
    const auto a = Answer5(1111, 250, 2222, 54, 3333);
    const StepRecord s = DecodeStep(a.data(), 10.0f);
    EXPECT_EQ(s.param1, 1111);
    EXPECT_FLOAT_EQ(s.sv, 25.0f);
    EXPECT_EQ(s.param2, 2222);
    EXPECT_EQ(s.action, 54);
    EXPECT_EQ(s.loops, 3333);
}

TEST(StepRegisters, EncodeWritesRegisterOrderWithActionWhole)
{
    StepRecord s;
    s.sv = 150.0f;
    s.param1 = 65535;
    s.param2 = 7;
    s.action = 0x0136;
    s.loops = 9999;
    std::uint16_t regs[kRegistersPerStep];
    EncodeStep(s, 1.0f, regs);
    EXPECT_EQ(regs[0], 65535);
    EXPECT_EQ(regs[1], 0x0096);
    EXPECT_EQ(regs[2], 7);
    EXPECT_EQ(regs[3], 0x0136);
    EXPECT_EQ(regs[4], 0x270F);  // 9999 loops = endless
    EncodeStep(s, 10.0f, regs);
    EXPECT_EQ(regs[1], 0x05DC);
}

TEST(StepRegisters, ActionHighByteIsDroppedOnRead)
{
    const auto a = Answer5(0, 0, 0, 0x0136, 0);
    EXPECT_EQ(DecodeStep(a.data(), 1.0f).action, 54);
}

TEST(StepRegisters, NegativeTemperatureRoundTrips)
{
    const std::uint16_t raw = EncodeTemperature(-20.5f, 10.0f);
    EXPECT_EQ(raw >> 8, 0xFF);
    EXPECT_EQ(raw & 0xFF, 0x33);
    const auto a = Answer5(0, raw, 0, 52, 0);
    EXPECT_FLOAT_EQ(DecodeStep(a.data(), 10.0f).sv, -20.5f);
    EXPECT_FLOAT_EQ(DecodeTemperature(0x0096, 1.0f), 150.0f);
    EXPECT_FLOAT_EQ(DecodeTemperature(0x05DC, 10.0f), 150.0f);
}

TEST(StepRegisters, RoundingAndRangeCheck)
{
    EXPECT_EQ(EncodeTemperature(0.25f, 10.0f), 2);  // 2.5 rounds to the even neighbour
    EXPECT_EQ(EncodeTemperature(0.35f, 10.0f), 4);  // 3.5 rounds to the even neighbour
    EXPECT_TRUE(TemperatureFits(3276.7f, 10.0f));
    EXPECT_FALSE(TemperatureFits(3276.8f, 10.0f));
    EXPECT_TRUE(TemperatureFits(-3276.8f, 10.0f));
    EXPECT_FALSE(TemperatureFits(-3276.9f, 10.0f));
    EXPECT_TRUE(TemperatureFits(32767.0f, 1.0f));
    EXPECT_FALSE(TemperatureFits(32768.0f, 1.0f));
    // Far beyond a register the scaled value saturates rather than overflow.
    for (float huge : {1e30f, -1e30f, 3.4e38f}) {
        EXPECT_FALSE(TemperatureFits(huge, 10.0f)) << huge;
        EXPECT_EQ(ScaledTemperature(huge, 10.0f) > 0, huge > 0) << huge;
    }
}

TEST(StepRules, StepRowRuleLooksAtOneStepAtATime)
{
    // Step 3 ends; step 4 is a loop, so row 5 stays open and step 4's loop
    // count is editable although row 4 itself is dimmed.
    std::uint16_t actions[kSteps] = {54, 44, 52, 45, 54, 52, 52, 52};
    const std::uint16_t copy[kSteps] = {54, 44, 52, 45, 54, 52, 52, 52};
    const RowStates st = StepRowRule(actions);
    EXPECT_FALSE(st.rowDimmed[2]);
    EXPECT_FALSE(st.rowDimmed[3]);
    EXPECT_TRUE(st.rowDimmed[4]);
    EXPECT_FALSE(st.rowDimmed[5]);
    EXPECT_FALSE(st.rowDimmed[6]);
    EXPECT_TRUE(st.rowDimmed[7]);
    EXPECT_TRUE(st.rowDimmed[8]);
    const bool loopsDimmed[] = {false, true, false, true, false, true, true, true, true};
    for (int k = 1; k <= kSteps; ++k)
        EXPECT_EQ(st.loopsDimmed[k], loopsDimmed[k]) << "step " << k;
    for (int k = 0; k < kSteps; ++k)
        EXPECT_EQ(actions[k], copy[k]);  // nothing filled in
}

TEST(StepRules, ChainRuleFillsEndBehindAnEndingStep)
{
    std::uint16_t actions[kSteps] = {54, 44, 52, 45, 54, 46, 54, 54};
    const RowStates st = ChainRule(actions);
    const std::uint16_t expected[kSteps] = {54, 44, 52, 52, 52, 52, 52, 52};
    for (int k = 0; k < kSteps; ++k)
        EXPECT_EQ(actions[k], expected[k]) << "step " << k + 1;
    for (int k = 4; k <= 8; ++k)
        EXPECT_TRUE(st.rowDimmed[k]) << "row " << k;
    EXPECT_FALSE(st.rowDimmed[3]);
    for (int k = 3; k <= 8; ++k)
        EXPECT_TRUE(st.loopsDimmed[k]) << "loops " << k;
    EXPECT_FALSE(st.loopsDimmed[2]);
}

TEST(StepRules, NextOnStepEightOnlyDimsItsLoopCount)
{
    std::uint16_t actions[kSteps] = {54, 54, 54, 54, 54, 54, 54, 54};
    const RowStates row = StepRowRule(actions);
    const RowStates chain = ChainRule(actions);
    for (int k = 2; k <= kSteps; ++k) {
        EXPECT_FALSE(row.rowDimmed[k]);
        EXPECT_FALSE(chain.rowDimmed[k]);
    }
    EXPECT_TRUE(row.loopsDimmed[8]);
    EXPECT_TRUE(chain.loopsDimmed[8]);
    EXPECT_EQ(actions[7], 54);  // not turned into an end
}

TEST(StepRules, LoopAndNextOnStepTwo)
{
    std::uint16_t actions[kSteps] = {54, 47, 52, 52, 52, 52, 52, 52};
    RowStates st = ChainRule(actions);
    EXPECT_FALSE(st.loopsDimmed[2]);
    EXPECT_FALSE(st.rowDimmed[3]);
    EXPECT_TRUE(st.rowDimmed[4]);
    actions[1] = 54;
    st = ChainRule(actions);
    EXPECT_TRUE(st.loopsDimmed[2]);
    EXPECT_FALSE(st.rowDimmed[3]);
}

TEST(StepIndicators, SegmentCodesMapToSixteenIndicators)
{
    EXPECT_EQ(StepIndicatorIndex(5, 0), 0);
    EXPECT_EQ(StepIndicatorIndex(5, 15), 1);
    EXPECT_EQ(StepIndicatorIndex(5, 30), 2);
    EXPECT_EQ(StepIndicatorIndex(5, 44), 2);
    EXPECT_EQ(StepIndicatorIndex(5, 225), 15);
    EXPECT_EQ(StepIndicatorIndex(5, 239), 15);
    EXPECT_EQ(StepIndicatorIndex(5, 240), -1);  // one past the last indicator
    EXPECT_EQ(StepIndicatorIndex(5, 241), -1);
    EXPECT_EQ(StepIndicatorIndex(5, 255), -1);
    EXPECT_EQ(StepIndicatorIndex(0, 30), -1);
    EXPECT_EQ(StepIndicatorIndex(3, 30), -1);
}

TEST(StepRules, ReachableStepsFollowNextStepsAndLoopJumps)
{
    auto reached = [](const std::vector<std::pair<int, int>>& actionsAndLoops) {
        StepProgram p;
        for (StepRecord& s : p.steps)
            s.action = 99;  // unknown codes end a run
        for (std::size_t k = 0; k < actionsAndLoops.size(); ++k) {
            p.steps[k].action = static_cast<std::uint16_t>(actionsAndLoops[k].first);
            p.steps[k].loops = static_cast<std::uint16_t>(actionsAndLoops[k].second);
        }
        bool r[kSteps];
        ReachableSteps(p, r);
        std::string out;
        for (int k = 0; k < kSteps; ++k)
            if (r[k])
                out += std::to_string(k + 1);
        return out;
    };
    EXPECT_EQ(reached({{54, 0}, {44, 2}, {52, 0}}), "123");
    // A loop code may jump forward: 51 goes to step 8.
    EXPECT_EQ(reached({{54, 0}, {51, 1}, {52, 0}}), "1238");
    // Without a loop count it never jumps; at 9999 it never goes on.
    EXPECT_EQ(reached({{51, 0}, {52, 0}}), "12");
    EXPECT_EQ(reached({{44, 9999}, {54, 0}}), "1");
    EXPECT_EQ(reached({{54, 0}, {54, 0}, {54, 0}, {54, 0}, {54, 0}, {54, 0}, {54, 0}, {54, 0}}), "12345678");
    EXPECT_FALSE(ActionKnown(53));
    EXPECT_FALSE(ActionKnown(44 + 256));  // the whole value is written
    EXPECT_TRUE(ActionKnown(51));
}
