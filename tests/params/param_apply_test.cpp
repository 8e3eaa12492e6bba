// A parameter file through the window's Load, against the simulated
// controller: checked against the controller's limits before anything is
// sent, applied whole (a value the pass's order had refused is written again
// once the file's range is in), and sent exactly as always when the
// controller takes it as it comes. A step-program write stopped by a request
// to end leaves word in the History.
#include "support/line_double.h"
#include "support/rig.h"

#include "io/end_request.h"
#include "rt/files.h"
#include "sim/controller.h"

#include "support/example_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// "R 002A 1" for a read, "W 001C 0008" for a write.
std::vector<std::string> Wire(const TestRig& rig)
{
    std::vector<std::string> out;
    for (const auto& rq : rig.wire()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, rq[1] == 0x03 ? "R %04X %u" : "W %04X %04X", rq[2] << 8 | rq[3],
                      rq[4] << 8 | rq[5]);
        out.push_back(buf);
    }
    return out;
}

using example_file::kExampleLine;
using example_file::WithFields;

// The write-all pass of the example file, as the wire carries it.
std::vector<std::string> ExamplePass()
{
    return {"W 002A 001F", "W 0000 00FA", "W 001A 0320", "W 0021 0064", "W 001C 0008", "W 0023 0009",
            "W 0020 0015", "W 0027 0015", "R 1003 1",    "W 0001 0000", "W 0003 0032", "W 0009 0028",
            "W 000F 001E", "W 0015 0014", "W 0004 0078", "W 000A 0078", "W 0010 0078", "W 0016 0078",
            "W 0005 001E", "W 000B 001E", "W 0011 001E", "W 0017 001E", "W 0006 0000", "W 000C 0000",
            "W 0012 0000", "W 0018 0000", "W 0007 03E8", "W 000D 03E8", "W 0013 03E8", "W 0019 03E8",
            "W 0028 0001", "W 0030 0000", "W 0031 0000", "W 002B 0000", "W 0029 0000", "W 002C FF38",
            "W 002D 05DC", "W 0032 0000"};
}

struct Load : ::testing::Test {
    TestRig rig;
    void SetUp() override { ASSERT_GE(rig.connect(), 0); }
    void load(const std::string& text)
    {
        const std::string path = rig.path("file.prm");
        ASSERT_TRUE(rt::WriteFileAtomically(path, text));
        rig.clearWire();
        rig.op.clear();
        rig.op.queueFile(1, path);
        rig.rt.Commit(rig.parm(), PARM_LOAD_FILE);
    }
    std::string messages() const
    {
        std::string out;
        for (const auto& s : rig.op.shown())
            if (s.kind != "file")
                out += s.title + ": " + s.text + "\n";
        return out;
    }
};

TEST_F(Load, AFileTheControllerTakesAsItComesGoesOutAsAlways)
{
    load(kExampleLine);
    const std::vector<std::string> w = Wire(rig);
    ASSERT_GT(w.size(), 39u);
    EXPECT_EQ(std::vector<std::string>(w.begin(), w.begin() + 38), ExamplePass());
    EXPECT_EQ(w[38], "R 002A 1");  // the read-back follows at once
    EXPECT_EQ(messages(), "");
}

TEST_F(Load, AFileWhoseRangeMustComeFirstIsAppliedWhole)
{
    // The controller holds range high 100.0; the file raises it to 300.0 and
    // sets 120.0, which the pass sends before the range.
    rig.sim->setReg(0x002D, 1000);
    load(WithFields({{1, "120.00"}, {23, "300.00"}}));
    const std::vector<std::string> w = Wire(rig);
    std::vector<std::string> expected = ExamplePass();
    expected[1] = "W 0000 04B0";   // refused: above the controller's 100.0
    expected[36] = "W 002D 0BB8";
    expected.push_back("W 0000 04B0");  // again, once the file's range is in
    expected.push_back("R 002A 1");
    ASSERT_GT(w.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(w.begin(), w.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_EQ(rig.sim->reg(0x0000), 1200);
    EXPECT_EQ(rig.sim->reg(0x002D), 3000);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 120.0);
    EXPECT_EQ(messages(), "");
}

TEST_F(Load, AFieldOutsideTheControllersLimitsIsNamedAndNothingSent)
{
    const std::pair<std::vector<std::pair<int, std::string>>, std::string> cases[] = {
        {{{1, "160"}}, "field 1 (set value): 160.0 lies outside the file's range -20.0..150.0"},
        {{{24, "12.5"}}, "field 24 (SW filter): 12.5 lies outside 0.0..9.9"},
        {{{36, "0"}}, "field 36 (decimal point): 0 is not a code the controller knows (30 for whole degrees or 31 "
                      "for tenths)"},
    };
    for (const auto& [fields, named] : cases) {
        load(WithFields(fields));
        EXPECT_TRUE(Wire(rig).empty());
        EXPECT_NE(messages().find("Parameter File Error: "), std::string::npos) << messages();
        EXPECT_NE(messages().find(named), std::string::npos) << messages();
    }
}

TEST(StepWrite, ARequestToEndPartWayLeavesWordInTheHistory)
{
    TestRig rig;
    // A tap between the port and the simulated controller raises the
    // request to end as the 14th write of the program goes out.
    LineDouble tap(rig.clock);
    auto sim = rig.sim;
    io::Clock* clock = &rig.clock;
    tap.inner = [sim, clock] { return sim::MakeSimDevice(sim, *clock); };
    rig.rt.ports().bind(1, "COM1  simulated controller", tap.factory());
    ASSERT_GE(rig.connect(), 0);
    const int before = static_cast<int>(tap.writes.size());
    tap.onWrite = [before](int i) {
        if (i - before == 13)
            io::RequestEnd();
    };
    rig.clearWire();
    rig.rt.FireEvent(rig.app.panels.script, SCRIPT_SAVE_CTRL, rt::EVENT_COMMIT);
    io::ClearEndRequest();
    EXPECT_EQ(rig.wire().size(), 14u);
    ASSERT_FALSE(rig.app.reconnect.history.empty());
    const std::string& last = rig.app.reconnect.history.back();
    EXPECT_NE(last.find("stopped by a request to end the program after 14 of 41 writes (the last: step 3 action "
                        "(register 0x0044)): the controller holds a partly written step program"),
              std::string::npos)
        << last;
}

} // namespace
