// A parameter set saved from one controller and loaded into another that
// started with other values: the second ends up holding the first's values,
// except the PID boundaries, which a file load does not send.
#include "support/rig.h"

#include "params/params.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Gives the simulated controller a recognisable parameter set.
void Program(TestRig& rig, std::int16_t sv, std::int16_t alarmHigh, std::int16_t term1, std::int16_t term2,
             std::int16_t boundary1, std::int16_t filter, std::int16_t unit, std::int16_t switchReg)
{
    rig.sim->setReg(0x002A, 31);
    rig.sim->setReg(0x0000, static_cast<std::uint16_t>(sv));
    rig.sim->setReg(0x001A, static_cast<std::uint16_t>(alarmHigh));
    rig.sim->setReg(0x0003, static_cast<std::uint16_t>(term1));
    rig.sim->setReg(0x0016, static_cast<std::uint16_t>(term2));
    rig.sim->setReg(0x0008, static_cast<std::uint16_t>(boundary1));
    rig.sim->setReg(0x0032, static_cast<std::uint16_t>(filter));
    rig.sim->setReg(0x0029, static_cast<std::uint16_t>(unit));
    rig.sim->setReg(0x001C, static_cast<std::uint16_t>(switchReg));
}

// Titles of the messages shown (file dialogs aside).
std::string Messages(const TestRig& rig)
{
    std::string out;
    for (const auto& s : rig.op.shown())
        if (s.kind != "file")
            out += s.title + "; ";
    return out;
}

} // namespace

TEST(ParameterTransfer, SetSavedFromOneControllerLoadsIntoAnother)
{
    TestRig first;
    Program(first, 375, 900, 65, 222, 310, 15, 1, 8);
    ASSERT_GE(first.connect(), 0);
    const std::string file = first.path("bench one.prm");  // a path with a space
    first.op.queueFile(2, file);
    first.rt.Commit(first.parm(), PARM_SAVE_FILE);
    ASSERT_EQ(Messages(first), "");

    TestRig second;
    Program(second, 200, 500, 30, 10, 450, 0, 0, 7);
    ASSERT_GE(second.connect(), 0);
    EXPECT_DOUBLE_EQ(second.value(second.parm(), PARM_SV), 20.0);
    second.op.queueFile(1, file);
    second.rt.Commit(second.parm(), PARM_LOAD_FILE);
    ASSERT_EQ(Messages(second), "");

    // The controller holds the first set now ...
    EXPECT_EQ(second.sim->reg(0x0000), 375);
    EXPECT_EQ(second.sim->reg(0x001A), 900);
    EXPECT_EQ(second.sim->reg(0x0003), 65);
    EXPECT_EQ(second.sim->reg(0x0016), 222);
    EXPECT_EQ(second.sim->reg(0x0032), 15);
    EXPECT_EQ(second.sim->reg(0x0029), 1);
    EXPECT_EQ(second.sim->reg(0x001C), 8) << "alarm switch on";
    // ... but keeps its own boundary, which the panel shows after the read-back.
    EXPECT_EQ(second.sim->reg(0x0008), 450);

    const int p = second.parm();
    EXPECT_DOUBLE_EQ(second.value(p, PARM_SV), 37.5);
    EXPECT_DOUBLE_EQ(second.value(p, PARM_ALARM_HIGH), 90.0);
    EXPECT_DOUBLE_EQ(second.value(p, PARM_PID_P(1)), 6.5);
    EXPECT_EQ(second.intValue(p, PARM_PID_I(4)), 222);
    EXPECT_DOUBLE_EQ(second.value(p, PARM_SW_FILTER), 1.5);
    EXPECT_EQ(second.intValue(p, PARM_CF_UNIT), 1);
    EXPECT_EQ(second.intValue(p, PARM_ALARM_SW), 1);
    EXPECT_DOUBLE_EQ(second.value(p, PARM_PID_BOUND(1)), 45.0);
    EXPECT_FLOAT_EQ(second.app.params.pidBound[0], 45.0f);
}
