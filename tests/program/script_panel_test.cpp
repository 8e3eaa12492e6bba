// The script panel against the simulated controller: transfer both ways,
// the editing rule, files, and a run from start to its end.
#include "program/program.h"
#include "protocol/step_codec.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using program::StepBlockRegister;

namespace {

constexpr std::uint16_t kBand = 0x0036;

struct ScriptRig : TestRig {
    ScriptRig()
    {
        EXPECT_GE(connect(), 0);
        op.clear();
        clearWire();
        sim->faults() = sim::Faults{};
    }
    int script() const { return app.panels.script; }
    int fire(int control, int event = rt::EVENT_COMMIT) { return rt.FireEvent(script(), control, event); }
    void setStep(int k, std::uint16_t p1, std::uint16_t svRaw, std::uint16_t p2, std::uint16_t action,
                 std::uint16_t loops)
    {
        const std::uint16_t b = StepBlockRegister(k);
        sim->setReg(b, p1);
        sim->setReg(b + 1, svRaw);
        sim->setReg(b + 2, p2);
        sim->setReg(b + 3, action);
        sim->setReg(b + 4, loops);
    }
    // Fills the panel with a recognisable program.
    void fillPanel()
    {
        for (int k = 1; k <= 8; ++k) {
            rt.SetCtrlVal(script(), SCRIPT_SV(k), 10.0 * k + 0.5);
            rt.SetCtrlVal(script(), SCRIPT_PARAM1(k), 100 * k);
            rt.SetCtrlVal(script(), SCRIPT_PARAM2(k), 1000 + k);
            rt.SetCtrlVal(script(), SCRIPT_ACTION(k), k < 8 ? 44 + k : 52);
            rt.SetCtrlVal(script(), SCRIPT_LOOPS(k), 7 * k);
        }
        rt.SetCtrlVal(script(), SCRIPT_TOL_BAND, 2.5);
    }
    StepProgram panel() { return program::ProgramFromPanel(app); }
    // Message popups only (file dialogs are logged too).
    std::vector<rt::ScriptedOperator::Shown> messages() const
    {
        std::vector<rt::ScriptedOperator::Shown> out;
        for (const auto& s : op.shown())
            if (s.kind == "message")
                out.push_back(s);
        return out;
    }
};

void ExpectSamePanel(const StepProgram& a, const StepProgram& b)
{
    for (int k = 0; k < 8; ++k) {
        EXPECT_FLOAT_EQ(a.steps[k].sv, b.steps[k].sv) << "step " << k + 1;
        EXPECT_EQ(a.steps[k].param1, b.steps[k].param1) << "step " << k + 1;
        EXPECT_EQ(a.steps[k].param2, b.steps[k].param2) << "step " << k + 1;
        EXPECT_EQ(a.steps[k].action, b.steps[k].action) << "step " << k + 1;
        EXPECT_EQ(a.steps[k].loops, b.steps[k].loops) << "step " << k + 1;
    }
    EXPECT_FLOAT_EQ(a.tolBand, b.tolBand);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

// ---- read from the controller ----

TEST(ScriptRead, FillsPanelFromNineGoodAnswers)
{
    ScriptRig rig;
    rig.app.params.tempScale = 10.0f;
    rig.setStep(1, 30, 250, 60, 54, 0);
    rig.setStep(2, 1, static_cast<std::uint16_t>(-205), 2, 0x0136, 3);  // flags above the action byte
    rig.setStep(3, 0, 0, 0, 45, 9999);
    rig.setStep(4, 0, 0, 0, 52, 0);
    rig.setStep(5, 5, 5, 5, 54, 5);
    for (int k = 6; k <= 8; ++k)
        rig.setStep(k, 0, 0, 0, 52, 0);
    rig.sim->setReg(kBand, 15);
    rig.fire(SCRIPT_LOAD_CTRL);

    const auto wire = rig.wire();
    ASSERT_EQ(wire.size(), 9u);
    for (int k = 1; k <= 8; ++k) {
        EXPECT_EQ(wire[k - 1][1], 0x03);
        EXPECT_EQ(wire[k - 1][3], StepBlockRegister(k));
        EXPECT_EQ(wire[k - 1][5], 5);
    }
    EXPECT_EQ(Hex(wire[8]).substr(0, 17), "01 03 00 36 00 01");
    EXPECT_TRUE(rig.op.shown().empty());
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));

    const StepProgram p = rig.panel();
    EXPECT_EQ(p.steps[0].param1, 30);
    EXPECT_FLOAT_EQ(p.steps[0].sv, 25.0f);
    EXPECT_EQ(p.steps[0].param2, 60);
    EXPECT_FLOAT_EQ(p.steps[1].sv, -20.5f);
    EXPECT_EQ(p.steps[1].action, 54);
    EXPECT_EQ(p.steps[2].loops, 9999);
    EXPECT_FLOAT_EQ(p.tolBand, 1.5f);
    // Step-row rule: step 4 ends, so row 5 is dimmed, yet step 5's own 54
    // leaves row 6 open; no 52 is filled in.
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_SV(4)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_SV(5)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_ACTION(5)));
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_ACTION(6)));
    EXPECT_EQ(p.steps[4].action, 54);
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_LOOPS(3)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_LOOPS(1)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_LOOPS(5)));
}

TEST(ScriptRead, BadOrMissingAnswerLeavesPanelAndSaysSoOnce)
{
    const auto setFault = [](sim::Faults& f, int which) {
        if (which == 0)
            f.silent = true;
        else if (which == 1)
            f.badCrc = true;
        else if (which == 2)
            f.shortBy = 3;
        else
            f.exceptionCode = 2;
        f.remaining = 1;
    };
    for (int which = 0; which < 4; ++which) {
        ScriptRig rig;
        rig.fillPanel();
        const StepProgram before = rig.panel();
        for (int k = 1; k <= 8; ++k)
            rig.setStep(k, 9, 9, 9, 54, 9);
        setFault(rig.sim->faults(), which);
        rig.fire(SCRIPT_LOAD_CTRL);
        ExpectSamePanel(rig.panel(), before);
        EXPECT_EQ(rig.op.shown().size(), 1u) << which;
        EXPECT_EQ(rig.app.waitShown, 0);
        EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
        ASSERT_FALSE(rig.op.shown().empty());
        EXPECT_NE(rig.op.shown()[0].text.find("could not be read"), std::string::npos);
        EXPECT_NE(rig.op.shown()[0].text.find("step 1"), std::string::npos);
    }
}

TEST(ScriptRead, OpeningThePanelReadsTheProgram)
{
    ScriptRig rig;
    rig.setStep(1, 11, 22, 33, 47, 44);
    rig.rt.FireEvent(rig.parm(), PARM_OPEN_SCRIPT, rt::EVENT_COMMIT);
    EXPECT_TRUE(rig.rt.IsPanelVisible(rig.script()));
    EXPECT_EQ(rig.wire().size(), 9u);
    EXPECT_EQ(rig.panel().steps[0].loops, 44);
    rig.fire(SCRIPT_EXIT);
    EXPECT_FALSE(rig.rt.IsPanelVisible(rig.script()));
    EXPECT_EQ(rig.wire().size(), 9u);
}

// ---- write to the controller ----

TEST(ScriptWrite, SendsAll41RegistersInRegisterOrder)
{
    ScriptRig rig;
    rig.app.params.tempScale = 10.0f;
    rig.fillPanel();
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_SV(2), -20.5);
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_LOOPS(3), 9999);
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_ACTION(4), 0x0136);  // written whole
    rig.fire(SCRIPT_SAVE_CTRL);

    const auto wire = rig.wire();
    ASSERT_EQ(wire.size(), 41u);
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_EQ(wire[i][1], 0x06);
        EXPECT_EQ(wire[i][3], 0x37 + i);
    }
    EXPECT_EQ(wire[40][3], kBand);
    // Step 1: param1, sv x 10, param2, action, loops.
    EXPECT_EQ(Hex(wire[0]).substr(0, 17), "01 06 00 37 00 64");
    EXPECT_EQ(Hex(wire[1]).substr(0, 17), "01 06 00 38 00 69");
    EXPECT_EQ(Hex(wire[2]).substr(0, 17), "01 06 00 39 03 E9");
    EXPECT_EQ(Hex(wire[3]).substr(0, 17), "01 06 00 3A 00 2D");
    EXPECT_EQ(Hex(wire[4]).substr(0, 17), "01 06 00 3B 00 07");
    EXPECT_EQ(Hex(wire[6]).substr(12, 5), "FF 33");  // -20.5 at one decimal
    EXPECT_EQ(Hex(wire[14]).substr(12, 5), "27 0F"); // 9999 loops
    EXPECT_EQ(Hex(wire[18]).substr(12, 5), "01 36");
    EXPECT_EQ(Hex(wire[40]).substr(12, 5), "00 19"); // band 2.5
    EXPECT_TRUE(rig.op.shown().empty());
    EXPECT_EQ(rig.sim->reg(StepBlockRegister(8) + 3), 52);

    // Read back: the action loses its high byte, everything else returns.
    rig.clearWire();
    rig.fire(SCRIPT_LOAD_CTRL);
    const StepProgram p = rig.panel();
    EXPECT_FLOAT_EQ(p.steps[1].sv, -20.5f);
    EXPECT_EQ(p.steps[2].loops, 9999);
    EXPECT_EQ(p.steps[3].action, 54);
    EXPECT_FLOAT_EQ(p.tolBand, 2.5f);
}

TEST(ScriptWrite, StopsAtFirstUnansweredWrite)
{
    ScriptRig rig;
    rig.fillPanel();
    rig.sim->faults().silent = true;
    rig.fire(SCRIPT_SAVE_CTRL);
    EXPECT_EQ(rig.wire().size(), 1u);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_NE(rig.op.shown()[0].text.find("step 1 parameter 1"), std::string::npos) << rig.op.shown()[0].text;
}

TEST(ScriptWrite, RefusalsAreReportedTogetherAtTheEnd)
{
    ScriptRig rig;
    rig.fillPanel();
    rig.sim->faults().exceptionCode = 3;
    rig.sim->faults().remaining = 2;
    rig.fire(SCRIPT_SAVE_CTRL);
    EXPECT_EQ(rig.wire().size(), 41u);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    const std::string& text = rig.op.shown()[0].text;
    EXPECT_NE(text.find("step 1 parameter 1"), std::string::npos) << text;
    EXPECT_NE(text.find("step 1 set value"), std::string::npos) << text;
    EXPECT_EQ(text.find("step 1 parameter 2"), std::string::npos) << text;
}

TEST(ScriptWrite, SetValueTooLargeForItsRegisterSendsNothing)
{
    ScriptRig rig;
    rig.app.params.tempScale = 10.0f;
    rig.fillPanel();
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_SV(6), 4000.0);
    rig.fire(SCRIPT_SAVE_CTRL);
    EXPECT_TRUE(rig.wire().empty());
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_NE(rig.op.shown()[0].text.find("step 6"), std::string::npos);
}

// ---- editing ----

TEST(ScriptEdit, EndingStepFillsEndIntoLaterSteps)
{
    ScriptRig rig;
    rig.fillPanel();  // actions 45..51, 52: every row open
    rig.rt.Commit(rig.script(), SCRIPT_ACTION(3), 52);
    const StepProgram p = rig.panel();
    EXPECT_EQ(p.steps[1].action, 46);
    for (int k = 4; k <= 8; ++k) {
        EXPECT_EQ(p.steps[k - 1].action, 52) << k;
        EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_SV(k))) << k;
        EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_PARAM2(k))) << k;
    }
    for (int k = 3; k <= 8; ++k)
        EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_LOOPS(k))) << k;
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_SV(3)));
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_LOOPS(2)));

    // Opening row 4 again keeps its 52 until the operator changes it.
    rig.rt.Commit(rig.script(), SCRIPT_ACTION(3), 54);
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_SV(4)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_LOOPS(3)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_SV(5)));
    EXPECT_EQ(rig.panel().steps[3].action, 52);
    EXPECT_TRUE(rig.wire().empty());
}

// ---- files ----

TEST(ScriptFiles, SaveAndLoadRoundTrip)
{
    ScriptRig rig;
    rig.fillPanel();
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_SV(1), 1234.56);
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_PARAM1(2), 65535);
    const std::string path = rig.path("prog one.srp");
    rig.op.queueFile(2, path);
    rig.fire(SCRIPT_SAVE_PC);
    ExpectFileRequest(rig.op.lastFileRequest(), FileRequest("*.srp", "*.txt", "Load Parameter File", 0, true));

    const std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("1234.6 100 1001 45 7 \t\t\t\t\t\t\t\t  20.5 65535 ", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 7), "\t   2.5");

    const StepProgram saved = rig.panel();
    // Change the panel, then load the file back.
    for (int k = 1; k <= 8; ++k)
        rig.rt.SetCtrlVal(rig.script(), SCRIPT_PARAM2(k), 1);
    rig.rt.SetCtrlVal(rig.script(), SCRIPT_TOL_BAND, 0.0);
    rig.op.queueFile(1, path);
    rig.fire(SCRIPT_OPEN_PC);
    ExpectFileRequest(rig.op.lastFileRequest(), FileRequest("*.srp", "*.txt", "Load Parameter File", 3, false));
    StepProgram loaded = rig.panel();
    EXPECT_FLOAT_EQ(loaded.steps[0].sv, 1234.6f);
    loaded.steps[0].sv = saved.steps[0].sv;
    ExpectSamePanel(loaded, saved);
    EXPECT_TRUE(rig.messages().empty());
    EXPECT_TRUE(rig.wire().empty());
}

TEST(ScriptFiles, LoadShowsActionsAsStoredWithStepRowRule)
{
    ScriptRig rig;
    std::string text;
    const int actions[8] = {54, 52, 54, 47, 54, 54, 54, 54};
    for (int k = 1; k <= 8; ++k)
        text += std::to_string(k) + ".0\n" + std::to_string(k) + "\n2\n" + std::to_string(actions[k - 1]) + "\n0\n";
    text += "0.5";
    const std::string path = rig.path("lines.txt");
    std::ofstream(path) << text;
    rig.op.queueFile(1, path);
    rig.fire(SCRIPT_OPEN_PC);
    const StepProgram p = rig.panel();
    for (int k = 1; k <= 8; ++k)
        EXPECT_EQ(p.steps[k - 1].action, actions[k - 1]) << k;
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_SV(3)));
    EXPECT_FLOAT_EQ(p.steps[2].sv, 3.0f);
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_SV(4)));
    EXPECT_FALSE(rig.dimmed(rig.script(), SCRIPT_LOOPS(4)));
    EXPECT_TRUE(rig.dimmed(rig.script(), SCRIPT_LOOPS(8)));
    EXPECT_FLOAT_EQ(p.tolBand, 0.5f);
}

TEST(ScriptFiles, CancelAndBadFilesChangeNothing)
{
    ScriptRig rig;
    rig.fillPanel();
    const StepProgram before = rig.panel();
    const std::string keep = rig.path("keep.srp");
    std::ofstream(keep) << "untouched";

    rig.op.queueFile(0, keep);  // cancelled save
    rig.fire(SCRIPT_SAVE_PC);
    EXPECT_EQ(ReadFile(keep), "untouched");
    const std::string fresh = rig.path("fresh.srp");
    rig.op.queueFile(0, fresh);
    rig.fire(SCRIPT_SAVE_PC);
    EXPECT_FALSE(std::ifstream(fresh).good());
    rig.op.queueFile(0, keep);  // cancelled load
    rig.fire(SCRIPT_OPEN_PC);
    ExpectSamePanel(rig.panel(), before);
    EXPECT_TRUE(rig.messages().empty());

    struct Bad {
        const char* name;
        std::string text;
        const char* field;
    };
    std::string good;
    for (int i = 0; i < 40; ++i)
        good += "1 ";
    const Bad bads[] = {
        {"short.srp", "1 2 3", "field 4 (step 1 action)"},
        {"word.srp", "1 2 x " + good.substr(6) + "1", "field 3 (step 1 parameter 2)"},
        {"big.srp", "1 70000" + good.substr(3) + "1", "field 2 (step 1 parameter 1)"},
    };
    for (const Bad& b : bads) {
        rig.op.clear();
        const std::string path = rig.path(b.name);
        std::ofstream(path) << b.text;
        rig.op.queueFile(1, path);
        rig.fire(SCRIPT_OPEN_PC);
        ExpectSamePanel(rig.panel(), before);
        ASSERT_EQ(rig.messages().size(), 1u) << b.name;
        EXPECT_NE(rig.messages()[0].text.find(path), std::string::npos);
        EXPECT_NE(rig.messages()[0].text.find(b.field), std::string::npos) << rig.messages()[0].text;
    }
}

TEST(ScriptFiles, FailedSaveIsReported)
{
    ScriptRig rig;
    rig.op.queueFile(2, rig.path("no such folder/prog.srp"));
    rig.fire(SCRIPT_SAVE_PC);
    ASSERT_EQ(rig.messages().size(), 1u);
    EXPECT_NE(rig.messages()[0].text.find("could not be saved"), std::string::npos);
}

// ---- help texts ----

TEST(ScriptHelp, RightClickShowsExactTexts)
{
    ScriptRig rig;
    rig.fire(SCRIPT_LOAD_CTRL, rt::EVENT_RIGHT_CLICK);
    rig.fire(SCRIPT_SAVE_CTRL, rt::EVENT_RIGHT_CLICK);
    rig.fire(SCRIPT_SAVE_PC, rt::EVENT_RIGHT_CLICK);
    rig.fire(SCRIPT_OPEN_PC, rt::EVENT_RIGHT_CLICK);
    const auto& s = rig.op.shown();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].title, "<Load Frm Ctrl> Help");
    EXPECT_EQ(s[0].text, "Read the script parameters from the controller and display them on the PC.");
    EXPECT_EQ(s[1].title, "<Save to Ctrl> Help");
    EXPECT_EQ(s[1].text, "Read the script parameters from the PC screen and save them to the controller.\n\t\t\t\t\t\t  "
                         "The controller will not be updated if parameters are changed on the PC screen.\n\t\t\t\t\t\t  "
                         "Press this button after you change any parameters on the PC screen.\n\t\t\t\t\t\t   ");
    EXPECT_EQ(s[2].title, "<Save to PC> Help");
    EXPECT_EQ(s[2].text, "Save the script parameters on the PC screen to a file.");
    EXPECT_EQ(s[3].title, "<Open Frm PC> Help");
    EXPECT_EQ(s[3].text, "Read the script parameters from the previously saved file\n\t\t\t\t\t\t  in the PC and display "
                         "them on the PC.\n\t\t\t\t\t\t  This will not update parameters to the controller,\n"
                         "\t\t\t\t\t\t  Press <Save to Ctrl> button to save new parameters to the controller.");
    EXPECT_TRUE(rig.wire().empty());
}
