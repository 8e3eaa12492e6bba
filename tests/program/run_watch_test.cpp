// Starting, watching and stopping a program run on the simulated controller.
#include "program/program.h"
#include "protocol/step_codec.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <vector>

using program::StepBlockRegister;

namespace {

struct RunRig : TestRig {
    RunRig()
    {
        EXPECT_GE(connect(), 0);
        op.clear();
        // Two steps of 2 s ramp and 2 s soak each, then the end.
        for (int k = 1; k <= 8; ++k) {
            const std::uint16_t b = StepBlockRegister(k);
            sim->setReg(b, k <= 2 ? 2 : 0);
            sim->setReg(b + 1, 300);
            sim->setReg(b + 2, k <= 2 ? 2 : 0);
            sim->setReg(b + 3, k == 1 ? 54 : 52);
            sim->setReg(b + 4, 0);
        }
        sim->setReg(0x0036, 0);
        clearWire();
    }
    int script() const { return app.panels.script; }
    int lit() const
    {
        int found = -1;
        for (int i = 0; i < 16; ++i)
            if (intValue(script(), SCRIPT_STEP_LED(i)) != 0) {
                if (found >= 0)
                    return -2;  // more than one lit
                found = i;
            }
        return found;
    }
    bool timerOn() const
    {
        int on = 0;
        rt.GetCtrlAttribute(script(), SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, &on);
        return on != 0;
    }
    void tick(double seconds = 0.5)
    {
        clock.advance(seconds);
        rt.Tick(script(), SCRIPT_RUN_TIMER);
    }
    void start() { rt.Commit(script(), SCRIPT_RUN_SW, 1); }
};

} // namespace

TEST(ScriptRun, StartSendsRunCommandAndLocksTheMainPanel)
{
    RunRig rig;
    rig.rt.SetCtrlVal(rig.parm(), PARM_CTRL_LED, 1);
    rig.start();
    const auto wire = rig.wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(Hex(wire[0]).substr(0, 17), "01 06 00 02 00 05");
    EXPECT_TRUE(rig.timerOn());
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_LED), 0);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_FUNC), 0);
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_ALARM_SW));
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_OUTPUT_LEVEL));
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_OUTPUT_SET));
    int tuneTimer = 1;
    rig.rt.GetCtrlAttribute(rig.parm(), PARM_TUNE_TIMER, rt::ATTR_ENABLED, &tuneTimer);
    EXPECT_EQ(tuneTimer, 0);
    EXPECT_EQ(rig.sim->reg(0x0002), 5);
}

TEST(ScriptRun, WatchFollowsTheRunToItsNaturalEnd)
{
    RunRig rig;
    rig.start();
    std::vector<int> seen;
    for (int i = 0; i < 200 && rig.intValue(rig.script(), SCRIPT_RUN_SW) != 0; ++i) {
        rig.tick();
        const int l = rig.lit();
        ASSERT_NE(l, -2) << "two indicators lit";
        if (l >= 0 && (seen.empty() || seen.back() != l))
            seen.push_back(l);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));
    // The end: switch off, watch stopped, indicators dark, main panel usable.
    EXPECT_EQ(rig.intValue(rig.script(), SCRIPT_RUN_SW), 0);
    EXPECT_FALSE(rig.timerOn());
    EXPECT_EQ(rig.lit(), -1);
    EXPECT_EQ(rig.app.ctrlMode, 0);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_FUNC), 0);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_LED), 0);
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_ALARM_SW));
    EXPECT_TRUE(rig.op.shown().empty());
    // Every watch request was the status read.
    for (std::size_t i = 1; i < rig.wire().size(); ++i)
        EXPECT_EQ(Hex(rig.wire()[i]), "01 03 10 03 00 01 70 CA");
}

TEST(ScriptRun, SilentTicksChangeNothingAndThreeShowNoAnswer)
{
    RunRig rig;
    // After a tick without an answer the next waits for the line to fall
    // quiet; a longer soak keeps the run going through all of them.
    rig.sim->setReg(StepBlockRegister(2) + 2, 30);
    rig.start();
    rig.tick();
    rig.tick();
    const int litBefore = rig.lit();
    ASSERT_GE(litBefore, 0);
    rig.sim->faults().silent = true;
    rig.tick();
    rig.tick();
    EXPECT_FALSE(rig.visible(rig.script(), SCRIPT_NO_ANSWER));
    EXPECT_EQ(rig.lit(), litBefore);
    EXPECT_EQ(rig.intValue(rig.script(), SCRIPT_RUN_SW), 1);
    EXPECT_TRUE(rig.timerOn());
    rig.tick();
    EXPECT_TRUE(rig.visible(rig.script(), SCRIPT_NO_ANSWER));
    EXPECT_TRUE(rig.timerOn());
    rig.sim->faults() = sim::Faults{};
    rig.sim->faults().badCrc = true;
    rig.tick();
    EXPECT_TRUE(rig.visible(rig.script(), SCRIPT_NO_ANSWER));
    rig.sim->faults() = sim::Faults{};
    rig.tick(0.1);
    EXPECT_FALSE(rig.visible(rig.script(), SCRIPT_NO_ANSWER));
    EXPECT_GE(rig.lit(), 0);
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST(ScriptRun, StopSendsOneRequestAndClearsIndicators)
{
    RunRig rig;
    rig.start();
    rig.tick();
    ASSERT_GE(rig.lit(), 0);
    rig.clearWire();
    rig.rt.Commit(rig.script(), SCRIPT_RUN_SW, 0);
    const auto wire = rig.wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(Hex(wire[0]), "01 06 00 02 00 00 28 0A");
    EXPECT_EQ(rig.lit(), -1);
    EXPECT_FALSE(rig.timerOn());
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_ALARM_SW));
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_OUTPUT_LEVEL));
    EXPECT_EQ(rig.sim->reg(0x0002), 0);
}
