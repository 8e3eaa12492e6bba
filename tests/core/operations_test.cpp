// The controller core on a bare Bus with the line double serving a register
// store: what each operation reads, writes and reports, with no panel. This
// test links the core alone.
#include "core/operations.h"
#include "core/param_changes.h"
#include "io/end_request.h"
#include "protocol/step_codec.h"
#include "support/hex.h"
#include "support/line_double.h"

#include <gtest/gtest.h>

namespace {

using core::AnswerStatus;

class Core : public ::testing::Test {
protected:
    Core() : bus(ports, clock), wire(clock)
    {
        wire.serve = true;
        EXPECT_EQ(ports.open(1, wire.factory()(), 19200), 0);
        bus.comPort = 1;
        bus.portOpen = 1;
        // A controller at one decimal: 25.0 degrees, alarms 80.0 / 10.0, switch off.
        wire.regs = {{0x002A, 31}, {0x0000, 250}, {0x001A, 800}, {0x0021, 100}, {0x0001, 125},
                     {0x0002, 4},  {0x0003, 80},  {0x0008, 200}, {0x001C, 7},   {0x002D, 1500},
                     {0x005F, 1}};
    }
    // The register of each request, in order.
    std::vector<int> registers() const
    {
        std::vector<int> r;
        for (const auto& w : wire.writes)
            r.push_back(w[2] << 8 | w[3]);
        return r;
    }

    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus;
    LineDouble wire;
};

TEST_F(Core, ReadAllFillsTheRecordsAtTheControllersScale)
{
    ParameterSet p;
    const core::ReadAllResult r = core::ReadAll(bus, 1, p);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(p.decimalPnt, 31);
    EXPECT_FLOAT_EQ(p.tempScale, 10.0f);
    EXPECT_FLOAT_EQ(p.setValue, 25.0f);
    EXPECT_FLOAT_EQ(p.alarmHigh, 80.0f);
    EXPECT_FLOAT_EQ(p.outputLevel, 12.5f);  // tenths, whatever the decimal point
    EXPECT_FLOAT_EQ(p.pidP[0], 8.0f);
    EXPECT_FLOAT_EQ(p.pidBound[0], 20.0f);
    EXPECT_FLOAT_EQ(p.rangeHigh, 150.0f);
    EXPECT_EQ(r.ctrlFunc, 4);
    EXPECT_EQ(p.alarmWatch, 0);
    EXPECT_EQ(p.keypadValue, 1);
    const std::vector<int> expected = {0x2A, 0x00, 0x1A, 0x21, 0x01, 0x02, 0x03, 0x09, 0x0F, 0x15, 0x28, 0x30, 0x31,
                                       0x2B, 0x29, 0x2C, 0x2D, 0x32, 0x1C, 0x1C, 0x23, 0x20, 0x27, 0x5F};
    EXPECT_EQ(registers(), expected);
    EXPECT_FALSE(ParameterSet{}.fromController()) << "a set nobody read is nobody's";
    EXPECT_TRUE(p.fromController());
    p.connectionMade();
    EXPECT_FALSE(p.fromController()) << "a new link must be read again";
}

TEST_F(Core, ReadAllStopsAtTheFirstBadAnswerAndKeepsWhatItHadNotReached)
{
    ParameterSet p;
    ASSERT_TRUE(core::ReadAll(bus, 1, p).complete());
    wire.writes.clear();
    p.connectionMade();
    p.pidP[0] = 3.5f;
    // The sixth request (control function) answers, the PID block does not.
    wire.faults = {LineDouble::Fault::Good, LineDouble::Fault::Good, LineDouble::Fault::Good, LineDouble::Fault::Good,
                   LineDouble::Fault::Good, LineDouble::Fault::Good, LineDouble::Fault::Silent};
    const core::ReadAllResult r = core::ReadAll(bus, 1, p);
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(r.headRead, 4);
    EXPECT_TRUE(r.ctrlFuncRead);
    EXPECT_EQ(r.pidSetsRead, 0);
    EXPECT_TRUE(r.op.stopped);
    EXPECT_TRUE(r.op.stoppedOnRead);
    EXPECT_EQ(r.op.stopReg, 0x0003);
    EXPECT_EQ(r.op.fault.kind, comlink::FaultKind::Silent);
    EXPECT_FLOAT_EQ(p.setValue, 25.0f);
    EXPECT_FLOAT_EQ(p.pidP[0], 3.5f);
    EXPECT_EQ(wire.writes.size(), 7u);  // nothing after the silent read
    EXPECT_FALSE(p.fromController()) << "part of the set was not read on this link";
}

TEST(ParamChanges, NameEachChangedValueInItsUnitAndNothingElse)
{
    ParameterSet before;
    before.decimalPnt = 31;
    before.setValue = 37.5f;
    before.pidI[1] = 120;
    before.alarmWatch = 0;
    ParameterSet after = before;
    EXPECT_TRUE(core::DescribeChanges(before, after).empty());
    after.setValue = 25.0f;
    after.pidI[1] = 90;
    after.alarmWatch = 1;
    const std::vector<std::string> lines = core::DescribeChanges(before, after);
    const std::vector<std::string> expected = {"set value 37.5 \u00B0C \u2192 25.0 \u00B0C",
                                               "PID set 2 I 120 s \u2192 90 s", "alarm switch off \u2192 on"};
    EXPECT_EQ(lines, expected);
    // Whole degrees and Fahrenheit, as the controller shows them after the change.
    after = before;
    after.decimalPnt = 30;
    after.cfUnit = 1;
    after.setValue = 99.0f;
    const std::vector<std::string> scaled = core::DescribeChanges(before, after);
    ASSERT_EQ(scaled.size(), 3u);
    EXPECT_EQ(scaled[0], "decimal point code 31 \u2192 30");
    EXPECT_EQ(scaled[1], "set value 37.5 \u00B0C \u2192 99 \u00B0F");
    EXPECT_EQ(scaled[2], "unit \u00B0C \u2192 \u00B0F");
}

TEST_F(Core, TheAlarmSwitchOnReadsTheStatusAfterItsWrites)
{
    wire.regs[0x1003] = 0x0003;  // not running, alarm bits 3
    core::OpLog op;
    core::AlarmSwitchResult r;
    ASSERT_TRUE(core::ApplyAlarmSwitch(bus, 1, op, 1, &r));
    EXPECT_EQ(r.writesDone, 4);
    EXPECT_TRUE(r.statusRead);
    EXPECT_EQ(r.alarmStatus, 3);
    EXPECT_EQ(registers(), (std::vector<int>{0x1C, 0x23, 0x20, 0x27, 0x1003}));
    // Written 8, 9, 21, 21: the controller's "on".
    EXPECT_EQ(wire.regs[0x001C], 8);
    EXPECT_EQ(wire.regs[0x0023], 9);
    // A running program's segment in the low byte is no alarm.
    wire.regs[0x1003] = 0x0512;
    std::uint16_t status = 99;
    ASSERT_TRUE(core::ReadAlarmStatus(bus, 1, &status));
    EXPECT_EQ(status, 0);
}

TEST_F(Core, TheSetValueWriteTellsRefusalFromSilenceAndFromAnotherAnswer)
{
    ParameterSet p;
    p.tempScale = 10.0f;
    p.setValue = 37.5f;
    core::OpLog op;
    EXPECT_EQ(core::SendSetValue(bus, 1, p, &op), core::SetValueOutcome::Sent);
    EXPECT_EQ(wire.regs[0x0000], 375);

    wire.queue(LineDouble::Sealed({0x01, 0x86, 0x03}));
    EXPECT_EQ(core::SendSetValue(bus, 1, p, &op), core::SetValueOutcome::Refused);
    EXPECT_FALSE(op.stopped);

    // An intact echo of another value is not the controller taking this one.
    wire.queue(LineDouble::Sealed({0x01, 0x06, 0x00, 0x00, 0x01, 0x78}));
    EXPECT_EQ(core::SendSetValue(bus, 1, p, &op), core::SetValueOutcome::NoAnswer);
    EXPECT_EQ(op.fault.kind, comlink::FaultKind::WrongAnswer);
    EXPECT_EQ(op.stopReg, 0x0000);
}

TEST_F(Core, PidUpdateReportsEachSetBeforeItsWritesAndTheEndBeforeTheClosingFlush)
{
    core::PidValues v;
    for (int i = 0; i < 4; ++i)
        v.p[i] = 5.0f + static_cast<float>(i);
    ParameterSet p;
    p.tempScale = 10.0f;
    std::vector<std::pair<int, std::size_t>> progress;  // (set, writes so far)
    int flushesAtEnd = -1;
    const core::OpLog op = core::UpdatePid(bus, 1, p, v, [&](int n) {
        progress.push_back({n, wire.writes.size()});
        if (n == 0)
            flushesAtEnd = wire.flushOut;
    });
    EXPECT_TRUE(op.ok());
    const std::vector<std::pair<int, std::size_t>> expected = {{1, 0}, {2, 6}, {3, 12}, {4, 18}, {0, 23}};
    EXPECT_EQ(progress, expected);
    EXPECT_EQ(flushesAtEnd, 1);
    EXPECT_EQ(wire.flushOut, 2);
    EXPECT_FLOAT_EQ(p.pidP[3], 8.0f);
    EXPECT_EQ(wire.regs[0x0015], 80);
}

TEST_F(Core, StepProgramWriteStopsAtTheFirstUnansweredWrite)
{
    StepProgram prog;
    for (StepRecord& s : prog.steps)
        s.sv = 30.0f;
    // The third write (step 1, parameter 2) is silent.
    wire.faults = {LineDouble::Fault::Good, LineDouble::Fault::Good, LineDouble::Fault::Silent};
    std::string failure;
    comlink::Fault failed;
    EXPECT_FALSE(core::WriteStepProgram(bus, 1, prog, 10.0f, &failure, &failed));
    EXPECT_EQ(failed.kind, comlink::FaultKind::Silent);
    EXPECT_EQ(failed.reg, 0x0039);
    EXPECT_EQ(wire.writes.size(), 3u);
    EXPECT_NE(failure.find("step 1 parameter 2 (register 0x0039)"), std::string::npos) << failure;

    // A band beyond any register is refused before anything is sent.
    prog.tolBand = 4000.0f;
    EXPECT_FALSE(core::CheckStepProgram(prog, 10.0f, &failure));
    EXPECT_NE(failure.find("tolerance band"), std::string::npos);
}

// What stopped a step-program transfer comes back as its fault, with the
// register of the request that got it: a refusal is told from a silence.
TEST_F(Core, StepProgramTransfersNameTheFaultThatStoppedThem)
{
    StepProgram prog;
    for (StepRecord& s : prog.steps)
        s.sv = 30.0f;
    std::string failure;
    comlink::Fault fault;
    // Writes 6 and 8 refused (code 3): the write goes on, the first refusal is the fault.
    wire.onWrite = [this](int i) {
        if (i == 5 || i == 7)
            wire.queue(LineDouble::Sealed({0x01, 0x86, 0x03}));
    };
    EXPECT_FALSE(core::WriteStepProgram(bus, 1, prog, 10.0f, &failure, &fault));
    EXPECT_EQ(wire.writes.size(), 41u);
    EXPECT_EQ(fault.kind, comlink::FaultKind::Refused);
    EXPECT_EQ(fault.reg, program::StepBlockRegister(2));
    EXPECT_EQ(fault.code, 3);
    EXPECT_NE(failure.find("refused"), std::string::npos) << failure;

    // The read: the third block refused with code 2; nothing is filled.
    wire.writes.clear();
    wire.onWrite = [this](int i) {
        if (i == 2)
            wire.queue(LineDouble::Sealed({0x01, 0x83, 0x02}));
    };
    StepProgram read;
    read.tolBand = 7.0f;
    EXPECT_FALSE(core::ReadStepProgram(bus, 1, 10.0f, &read, &failure, &fault));
    EXPECT_EQ(fault.kind, comlink::FaultKind::Refused);
    EXPECT_EQ(fault.reg, program::StepBlockRegister(3));
    EXPECT_EQ(fault.code, 2);
    EXPECT_FLOAT_EQ(read.tolBand, 7.0f);
    EXPECT_EQ(failure, "step 3 (registers 0x0041 to 0x0045) got " + comlink::Describe(fault));

    // A good read clears what an earlier one left; a port gone is told as such.
    wire.onWrite = nullptr;
    EXPECT_TRUE(core::ReadStepProgram(bus, 1, 10.0f, &read, &failure, &fault));
    EXPECT_TRUE(fault.ok());
    wire.writes.clear();
    wire.lostFromWrite = 4;
    EXPECT_FALSE(core::ReadStepProgram(bus, 1, 10.0f, &read, &failure, &fault));
    EXPECT_EQ(fault.kind, comlink::FaultKind::PortGone);
}

// A set within its own limits: one decimal, range -20.0..300.0, set value 120.0.
ParameterSet WideSet()
{
    ParameterSet p;
    p.decimalPnt = 31;
    p.setValue = 120.0f;
    p.alarmHigh = 250.0f;
    p.alarmLow = 10.0f;
    p.rangeLow = -20.0f;
    p.rangeHigh = 300.0f;
    return p;
}

TEST_F(Core, WriteAllWritesAValueTheOrderHadRefusedAgainOnceTheRangeIsIn)
{
    // The controller's own rule: a set value outside the range it holds is
    // refused. It holds -20.0..100.0 before the pass.
    wire.regs[0x002C] = static_cast<std::uint16_t>(-200);
    wire.regs[0x002D] = 1000;
    wire.onWrite = [this](int i) {
        const auto& rq = wire.writes[static_cast<std::size_t>(i)];
        const auto value = static_cast<std::int16_t>(rq[4] << 8 | rq[5]);
        if (rq[1] == 0x06 && rq[3] == 0x00 && rq[2] == 0x00 &&
            (value < static_cast<std::int16_t>(wire.regs[0x002C]) || value > static_cast<std::int16_t>(wire.regs[0x002D])))
            wire.queue(LineDouble::Sealed({0x01, 0x86, 0x03, 0x00, 0x00, 0x00}));
    };
    ParameterSet p = WideSet();
    core::WriteAllResult r = core::WriteAll(bus, 1, p);
    EXPECT_TRUE(r.complete());
    std::vector<int> regs = registers();
    ASSERT_EQ(regs.size(), 38u);  // the pass's 37, then the set value again
    EXPECT_EQ(regs[1], 0x00);
    EXPECT_EQ(regs[35], 0x2D);
    EXPECT_EQ(regs[37], 0x00);
    EXPECT_EQ(wire.writes[37], wire.writes[1]);
    EXPECT_EQ(wire.regs[0x0000], 1200);
    EXPECT_EQ(r.writes[1].outcome, core::PassWrite::Outcome::TakenWhenWrittenAgain);
    EXPECT_EQ(core::DescribeWriteAll(r), "");

    // A set value outside the set's own range is refused for good, and not
    // written again: the rest is applied and the operator is told exactly that.
    wire.writes.clear();
    wire.regs[0x002D] = 1000;
    p = WideSet();
    p.setValue = 350.0f;
    r = core::WriteAll(bus, 1, p);
    EXPECT_EQ(wire.writes.size(), 37u);
    EXPECT_EQ(r.op.refused, std::vector<std::uint16_t>{0x0000});
    EXPECT_EQ(core::DescribeWriteAll(r), "Refused by the controller: set value.\nApplied: every other field.");
}

TEST_F(Core, WriteAllThatStopsSaysWhatWasAppliedAndWhatNotSent)
{
    // The tenth write, PID set 1 term 1, gets no answer.
    wire.faults.assign(9, LineDouble::Fault::Good);
    wire.faults.push_back(LineDouble::Fault::Silent);
    ParameterSet p = WideSet();
    const core::WriteAllResult r = core::WriteAll(bus, 1, p);
    EXPECT_TRUE(r.op.stopped);
    const std::string text = core::DescribeWriteAll(r);
    EXPECT_NE(text.find("No answer to: PID set 1 term 1.\nNot sent: PID set 2 term 1, "), std::string::npos) << text;
    EXPECT_NE(text.find(", range high, SW filter.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nApplied: decimal point, set value, high alarm, low alarm, alarm switch, output level."),
              std::string::npos)
        << text;
}

TEST_F(Core, StepProgramsKeepToKnownActionsAndTheControllersSpan)
{
    const core::Span span{-20.0f, 150.0f};
    StepProgram prog;
    for (StepRecord& s : prog.steps) {
        s.sv = 30.0f;
        s.action = 54;
    }
    std::string why;
    EXPECT_TRUE(core::CheckStepProgram(prog, 10.0f, span, &why)) << why;
    prog.steps[4].sv = -20.1f;
    EXPECT_FALSE(core::CheckStepProgram(prog, 10.0f, span, &why));
    EXPECT_EQ(why, "The set value of step 5, -20.1, lies below the controller's range low, -20.0.\n"
                   "Nothing was written to the controller.");
    // No run reaches a step behind an ending one: its value is not the controller's concern.
    prog.steps[2].action = 52;
    EXPECT_TRUE(core::CheckStepProgram(prog, 10.0f, span, &why)) << why;
    prog.steps[7].action = 99;
    EXPECT_FALSE(core::CheckStepProgram(prog, 10.0f, span, &why));
    EXPECT_NE(why.find("The action of step 8, 99, is not one the step program knows"), std::string::npos) << why;
    prog.steps[7].action = 52;
    prog.tolBand = -1.0f;
    EXPECT_FALSE(core::CheckStepProgram(prog, 10.0f, span, &why));
}

TEST_F(Core, AStepProgramWriteStoppedByARequestToEndSaysHowFarItGot)
{
    StepProgram prog;
    std::string failure;
    int after = -1;
    EXPECT_FALSE(core::WriteStepProgram(bus, 1, prog, 10.0f, &failure, nullptr,
                                        [this] { return wire.writes.size() >= 14; }, &after));
    EXPECT_EQ(after, 14);
    EXPECT_EQ(wire.writes.size(), 14u);
    EXPECT_NE(failure.find("after 14 of 41 writes (the last: step 3 action (register 0x0044)): the controller holds "
                           "a partly written step program"),
              std::string::npos)
        << failure;

    // Without a predicate the request to end of a signal stops it.
    wire.writes.clear();
    wire.onWrite = [](int i) {
        if (i == 4)
            io::RequestEnd();
    };
    EXPECT_FALSE(core::WriteStepProgram(bus, 1, prog, 10.0f, &failure, nullptr, {}, &after));
    io::ClearEndRequest();
    EXPECT_EQ(after, 5);
    EXPECT_EQ(wire.writes.size(), 5u);
    EXPECT_TRUE(core::WriteStepProgram(bus, 1, prog, 10.0f, &failure, nullptr, {}, &after));
    EXPECT_EQ(after, -1);
}

} // namespace
