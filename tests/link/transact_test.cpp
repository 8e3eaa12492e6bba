// The exchange and its variants against a scripted line on the virtual clock:
// exact bytes, exact waits.
#include "link/transact.h"
#include "support/rig.h"
#include "scripted_line.h"

#include <gtest/gtest.h>

namespace {

using comlink::Answer;
using comlink::AnswerStatus;

constexpr int kPort = 2;

std::vector<std::uint8_t> Sealed(const std::string& hex)
{
    std::vector<std::uint8_t> b = Bytes(hex);
    const comlink::Crc crc = comlink::CalcCRC16(b.data(), static_cast<int>(b.size()));
    b.push_back(crc.lo);
    b.push_back(crc.hi);
    return b;
}

class TransactTest : public ::testing::Test {
protected:
    TransactTest() : rig({}, false), line(rig.clock)
    {
        rig.rt.ports().bind(kPort, "scripted", line.factory());
        EXPECT_EQ(rig.rt.OpenComConfig(kPort, "", 19200, 0, 8, 1, 255, 255), 0);
        rig.rt.SetComTime(kPort, comlink::kReadTimeout);
        rig.app.link.comPort = kPort;
        rig.app.link.portOpen = 1;
        rig.app.link.ctrlID = 1;
    }
    App& app() { return rig.app; }
    double now() const { return rig.clock.now(); }

    TestRig rig;
    ScriptedLine line;
    const comlink::ModbusFrame pv = comlink::ReadFrame(1, 0x1000, 1);
};

TEST_F(TransactTest, GoodAnswerTakesPostDelayPlusArrival)
{
    line.queue(Sealed("01 03 00 02 00 FA"), 0.004);
    const double t0 = now();
    const Answer a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Good);
    EXPECT_EQ(a.count, 8);
    EXPECT_EQ(a.reg(0), 0x00FA);
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(Hex(line.writes[0]), "01 03 10 00 00 01 80 CA");
    EXPECT_NEAR(now() - t0, 0.05, 1e-9);  // the 4 ms arrival is inside the post-write delay
}

TEST_F(TransactTest, ShortAndGarbledAnswersAreNeverData)
{
    line.queue(Sealed("01 03 00 02 12 34"));
    ASSERT_TRUE(comlink::Transact(app().line, pv, 8).good());

    // Only three bytes arrive: the rest of the buffer is zero, not the last answer.
    line.queue(Bytes("01 03 00"));
    const double t0 = now();
    Answer a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Short);
    EXPECT_EQ(a.count, 3);
    for (int i = 3; i < 8; ++i)
        EXPECT_EQ(a.bytes[i], 0) << "byte " << i;
    EXPECT_NEAR(now() - t0, 0.05 + comlink::kReadTimeout, 1e-9);

    std::vector<std::uint8_t> bad = Sealed("01 03 00 02 12 34");
    bad[7] ^= 0xFF;
    line.queue(bad);
    a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::BadCrc);
    EXPECT_FALSE(a.good());

    line.queueSilence();
    a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Silent);
    EXPECT_EQ(a.count, 0);
}

TEST_F(TransactTest, RefusalsEndTheReadAsSoonAsTheyArrive)
{
    // Standard 5-byte form.
    line.queue(Sealed("01 83 02"), 0.004);
    double t0 = now();
    Answer a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Exception);
    EXPECT_EQ(a.count, 5);
    EXPECT_EQ(a.function(), 0x83);
    EXPECT_LT(now() - t0, 0.1);

    // The dialect's 8-byte form while a six-register block was asked for.
    line.queue(Sealed("01 83 00 02 00 00"), 0.004);
    t0 = now();
    a = comlink::Transact(app().line, comlink::ReadFrame(1, 0x0003, 6), 18);
    EXPECT_EQ(a.status, AnswerStatus::Exception);
    EXPECT_EQ(a.count, 8);
    EXPECT_LT(now() - t0, 0.1);
}

TEST_F(TransactTest, LateAnswerToAnEarlierRequestIsDiscarded)
{
    // An answer that came after its read timed out still sits in the queue.
    line.input = Sealed("01 03 00 02 11 11");
    line.inputReadyAt = now();
    line.queue(Sealed("01 03 00 02 22 22"));
    const double t0 = now();
    const Answer a = comlink::Transact(app().line, pv, 8);
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.reg(0), 0x2222);
    EXPECT_NEAR(now() - t0, 0.05, 1e-9);  // discarding adds no wait
    EXPECT_GE(line.flushIn, 1);
}

TEST_F(TransactTest, SequencePreambleFlushesBothQueuesAndWaits)
{
    const double t0 = now();
    comlink::SequencePreamble(app().line);
    EXPECT_EQ(line.flushOut, 1);
    EXPECT_EQ(line.flushIn, 1);
    EXPECT_NEAR(now() - t0, 0.05, 1e-9);
    EXPECT_TRUE(line.writes.empty());
}

TEST_F(TransactTest, GuardedVariantsTakeAndReleaseTheFlag)
{
    line.queue(Sealed("01 03 00 02 00 05"));
    double t0 = now();
    Answer a = comlink::GuardedTransact(app().line, comlink::ReadFrame(1, 0x1003, 1), 8);
    EXPECT_TRUE(a.good());
    EXPECT_EQ(app().link.linkBusy, 0);
    EXPECT_NEAR(now() - t0, 0.10, 1e-9);  // preamble + post-write delay
    EXPECT_EQ(line.flushOut, 1);

    line.queue(Sealed("01 03 00 02 00 05"));
    t0 = now();
    a = comlink::GuardedTransact(app().line, comlink::ReadFrame(1, 0x1003, 1), 8, true);
    EXPECT_TRUE(a.good());
    EXPECT_NEAR(now() - t0, 0.06, 1e-9);  // 0.01 s instead of the preamble
    EXPECT_EQ(line.flushOut, 1);          // the short preamble flushes nothing outgoing
    EXPECT_EQ(app().link.linkBusy, 0);
}

TEST_F(TransactTest, ABusyFlagThatIsNeverReleasedDoesNotFreeze)
{
    app().link.linkBusy = 1;
    const double t0 = now();
    comlink::TakeLinkBusy(app().line);
    EXPECT_EQ(app().link.linkBusy, 1);
    EXPECT_LE(now() - t0, 1.05);
    EXPECT_GE(now() - t0, 0.99);
    comlink::ReleaseLinkBusy(app().line);
    EXPECT_EQ(app().link.linkBusy, 0);
}

TEST_F(TransactTest, PollReadRepeatsTheSameFrameUntilGood)
{
    std::vector<std::uint8_t> bad = Sealed("01 03 00 02 01 00");
    bad[6] ^= 0x55;
    line.queue(bad);
    line.queue(Sealed("01 03 00 02 01 00"));
    Answer a;
    ASSERT_TRUE(comlink::VerifiedPollRead(app().line, pv, 0.05, &a));
    EXPECT_EQ(a.reg(0), 0x0100);
    ASSERT_EQ(line.writes.size(), 2u);
    EXPECT_EQ(line.writes[0], line.writes[1]);
    EXPECT_EQ(app().link.linkBusy, 0);
}

TEST_F(TransactTest, PollReadOfAStandardAnswerGivesUpWithinBounds)
{
    line.repeatWhenEmpty = true;
    line.repeat.bytes = Sealed("01 03 02 00 FA");  // 7 bytes, standard layout
    const double t0 = now();
    Answer a;
    EXPECT_FALSE(comlink::VerifiedPollRead(app().line, pv, 0.05, &a));
    EXPECT_EQ(line.writes.size(), static_cast<size_t>(comlink::kPollAttempts));
    EXPECT_LE(now() - t0, comlink::kPollBudget);
    EXPECT_EQ(a.status, AnswerStatus::Short);
    EXPECT_EQ(app().link.linkBusy, 0);
}

TEST_F(TransactTest, PollReadOfASilentControllerGivesUpWithinBounds)
{
    const double t0 = now();
    Answer a;
    EXPECT_FALSE(comlink::VerifiedPollRead(app().line, comlink::ReadFrame(1, 0x1001, 1), 0.03, &a));
    EXPECT_LE(line.writes.size(), 3u);
    EXPECT_GE(line.writes.size(), 2u);
    EXPECT_LE(now() - t0, 3.5);
    EXPECT_EQ(a.status, AnswerStatus::Silent);
}

TEST_F(TransactTest, LostPortIsClosedAndReportedOnce)
{
    rig.rt.SetCtrlAttribute(rig.app.panels.parm, PARM_PV_TIMER, rt::ATTR_ENABLED, 1);
    line.lost = true;
    Answer a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::NoPort);
    EXPECT_EQ(app().link.portOpen, 0);
    EXPECT_EQ(app().link.openStatus, -1);
    EXPECT_FALSE(rig.rt.IsComOpen(kPort));
    EXPECT_EQ(rig.op.shown().size(), 1u);

    // Later requests neither touch the device nor tell the operator again,
    // and a poll read does not spin on the dead port.
    const int readsBefore = line.reads;
    const double t0 = now();
    Answer p;
    EXPECT_FALSE(comlink::VerifiedPollRead(app().line, pv, 0.05, &p));
    EXPECT_EQ(p.status, AnswerStatus::NoPort);
    EXPECT_EQ(line.reads, readsBefore);
    EXPECT_LT(now() - t0, 0.2);
    EXPECT_EQ(rig.op.shown().size(), 1u);
}

TEST_F(TransactTest, ClosedPortAnswersNothingAtOnce)
{
    rig.rt.CloseCom(kPort);
    app().link.portOpen = 0;
    const double t0 = now();
    const Answer a = comlink::Transact(app().line, pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::NoPort);
    EXPECT_EQ(now(), t0);
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST(RegisterName, NamesWhatTheOperatorKnows)
{
    EXPECT_EQ(tecreg::RegisterName(0x002A), "0x002A (decimal point)");
    EXPECT_EQ(tecreg::RegisterName(0x0009), "0x0009 (PID set 2 term 1)");
    EXPECT_EQ(tecreg::RegisterName(0x0008), "0x0008 (PID set 1 boundary)");
    EXPECT_EQ(tecreg::RegisterName(0x7777), "0x7777");
}

} // namespace
