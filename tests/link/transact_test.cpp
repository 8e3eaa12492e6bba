// The exchange and its variants against a scripted line on the virtual clock:
// exact bytes, exact waits.
#include "link/transact.h"
#include "support/hex.h"
#include "support/line_double.h"

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

// A bare Bus: the port table, the virtual clock and the line double; the
// port-lost hook only counts.
class TransactTest : public ::testing::Test {
protected:
    TransactTest() : bare(ports, clock), line(clock)
    {
        EXPECT_EQ(ports.open(kPort, line.factory()(), 19200), 0);
        ports.setTimeout(kPort, comlink::kReadTimeout);
        bare.comPort = kPort;
        bare.portOpen = 1;
        bare.portLost = [this] { ++lostCalls; };
    }
    comlink::Bus& app() { return bare; }
    double now() const { return clock.now(); }

    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bare;
    LineDouble line;
    int lostCalls = 0;
    const comlink::ModbusFrame pv = comlink::ReadFrame(1, 0x1000, 1);
};

TEST_F(TransactTest, GoodAnswerTakesPostDelayPlusArrival)
{
    line.queue(Sealed("01 03 00 02 00 FA"), 0.004);
    const double t0 = now();
    const Answer a = comlink::Transact(app(), pv, 8);
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
    ASSERT_TRUE(comlink::Transact(app(), pv, 8).good());

    // Only three bytes arrive: the rest of the buffer is zero, not the last answer.
    line.queue(Bytes("01 03 00"));
    const double t0 = now();
    Answer a = comlink::Transact(app(), pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Short);
    EXPECT_EQ(a.count, 3);
    for (int i = 3; i < 8; ++i)
        EXPECT_EQ(a.bytes[i], 0) << "byte " << i;
    EXPECT_NEAR(now() - t0, 0.05 + comlink::kReadTimeout, 1e-9);

    std::vector<std::uint8_t> bad = Sealed("01 03 00 02 12 34");
    bad[7] ^= 0xFF;
    line.queue(bad);
    a = comlink::Transact(app(), pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::BadCrc);
    EXPECT_FALSE(a.good());

    line.queueSilence();
    a = comlink::Transact(app(), pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Silent);
    EXPECT_EQ(a.count, 0);
}

TEST_F(TransactTest, RefusalsEndTheReadAsSoonAsTheyArrive)
{
    // Standard 5-byte form.
    line.queue(Sealed("01 83 02"), 0.004);
    double t0 = now();
    Answer a = comlink::Transact(app(), pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::Exception);
    EXPECT_EQ(a.count, 5);
    EXPECT_EQ(a.function(), 0x83);
    EXPECT_LT(now() - t0, 0.1);

    // The dialect's 8-byte form while a six-register block was asked for.
    line.queue(Sealed("01 83 00 02 00 00"), 0.004);
    t0 = now();
    a = comlink::Transact(app(), comlink::ReadFrame(1, 0x0003, 6), 18);
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
    const Answer a = comlink::Transact(app(), pv, 8);
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.reg(0), 0x2222);
    EXPECT_NEAR(now() - t0, 0.05, 1e-9);  // discarding adds no wait
    EXPECT_GE(line.flushIn, 1);
}

TEST_F(TransactTest, SequencePreambleFlushesBothQueuesAndWaits)
{
    const double t0 = now();
    comlink::SequencePreamble(app());
    EXPECT_EQ(line.flushOut, 1);
    EXPECT_EQ(line.flushIn, 1);
    EXPECT_NEAR(now() - t0, 0.05, 1e-9);
    EXPECT_TRUE(line.writes.empty());
}

TEST_F(TransactTest, GuardedVariantsTakeAndReleaseTheFlag)
{
    line.queue(Sealed("01 03 00 02 00 05"));
    double t0 = now();
    Answer a = comlink::GuardedTransact(app(), comlink::ReadFrame(1, 0x1003, 1), 8);
    EXPECT_TRUE(a.good());
    EXPECT_EQ(app().linkBusy, 0);
    EXPECT_NEAR(now() - t0, 0.10, 1e-9);  // preamble + post-write delay
    EXPECT_EQ(line.flushOut, 1);

    line.queue(Sealed("01 03 00 02 00 05"));
    t0 = now();
    a = comlink::GuardedTransact(app(), comlink::ReadFrame(1, 0x1003, 1), 8, true);
    EXPECT_TRUE(a.good());
    EXPECT_NEAR(now() - t0, 0.06, 1e-9);  // 0.01 s instead of the preamble
    EXPECT_EQ(line.flushOut, 1);          // the short preamble flushes nothing outgoing
    EXPECT_EQ(app().linkBusy, 0);
}

TEST_F(TransactTest, ABusyFlagThatIsNeverReleasedDoesNotFreeze)
{
    app().linkBusy = 1;
    const double t0 = now();
    comlink::TakeLinkBusy(app());
    EXPECT_EQ(app().linkBusy, 1);
    EXPECT_LE(now() - t0, 1.05);
    EXPECT_GE(now() - t0, 0.99);
    comlink::ReleaseLinkBusy(app());
    EXPECT_EQ(app().linkBusy, 0);
}

TEST_F(TransactTest, PollReadRepeatsTheSameFrameUntilGood)
{
    std::vector<std::uint8_t> bad = Sealed("01 03 00 02 01 00");
    bad[6] ^= 0x55;
    line.queue(bad);
    line.queue(Sealed("01 03 00 02 01 00"));
    Answer a;
    ASSERT_TRUE(comlink::VerifiedPollRead(app(), pv, 0.05, &a));
    EXPECT_EQ(a.reg(0), 0x0100);
    ASSERT_EQ(line.writes.size(), 2u);
    EXPECT_EQ(line.writes[0], line.writes[1]);
    EXPECT_EQ(app().linkBusy, 0);
}

TEST_F(TransactTest, PollReadOfAStandardAnswerGivesUpWithinBounds)
{
    line.repeatWhenEmpty = true;
    line.repeat.bytes = Sealed("01 03 02 00 FA");  // 7 bytes, standard layout
    const double t0 = now();
    Answer a;
    EXPECT_FALSE(comlink::VerifiedPollRead(app(), pv, 0.05, &a));
    EXPECT_EQ(line.writes.size(), static_cast<size_t>(comlink::kPollAttempts));
    EXPECT_LE(now() - t0, comlink::kPollBudget);
    EXPECT_EQ(a.status, AnswerStatus::Short);
    EXPECT_EQ(app().linkBusy, 0);
}

TEST_F(TransactTest, PollReadOfASilentControllerGivesUpWithinBounds)
{
    const double t0 = now();
    Answer a;
    EXPECT_FALSE(comlink::VerifiedPollRead(app(), comlink::ReadFrame(1, 0x1001, 1), 0.03, &a));
    EXPECT_LE(line.writes.size(), 3u);
    EXPECT_GE(line.writes.size(), 2u);
    EXPECT_LE(now() - t0, 3.5);
    EXPECT_EQ(a.status, AnswerStatus::Silent);
}

TEST_F(TransactTest, LostPortIsClosedAndReportedOnce)
{
    line.lost = true;
    Answer a = comlink::Transact(app(), pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::NoPort);
    EXPECT_EQ(app().portOpen, 0);
    EXPECT_EQ(app().openStatus, -1);
    EXPECT_FALSE(ports.isOpen(kPort));
    EXPECT_EQ(lostCalls, 1);

    // Later requests neither touch the device nor tell the operator again,
    // and a poll read does not spin on the dead port.
    const int readsBefore = line.reads;
    const double t0 = now();
    Answer p;
    EXPECT_FALSE(comlink::VerifiedPollRead(app(), pv, 0.05, &p));
    EXPECT_EQ(p.status, AnswerStatus::NoPort);
    EXPECT_EQ(line.reads, readsBefore);
    EXPECT_LT(now() - t0, 0.2);
    EXPECT_EQ(lostCalls, 1);
}

TEST_F(TransactTest, ClosedPortAnswersNothingAtOnce)
{
    ports.close(kPort);
    app().portOpen = 0;
    const double t0 = now();
    const Answer a = comlink::Transact(app(), pv, 8);
    EXPECT_EQ(a.status, AnswerStatus::NoPort);
    EXPECT_EQ(now(), t0);
    EXPECT_EQ(lostCalls, 0);
}

TEST_F(TransactTest, AnIntactAnswerToAnotherRequestIsNeverData)
{
    struct Case {
        const char* what;
        comlink::ModbusFrame request;
        std::string answer;  // sealed before it is queued
    };
    const Case cases[] = {
        {"another address", pv, "02 03 00 02 00 FA"},
        {"another function", pv, "01 04 00 02 00 FA"},
        {"a write echo of another register", comlink::WriteFrame(1, 0x0000, 250), "01 06 00 01 00 FA"},
        {"a write echo of another value", comlink::WriteFrame(1, 0x0000, 250), "01 06 00 00 00 FB"},
        {"a read answer to a write", comlink::WriteFrame(1, 0x0000, 250), "01 03 00 02 00 FA"},
    };
    for (const Case& c : cases) {
        line.queue(Sealed(c.answer));
        const Answer a = comlink::Transact(app(), c.request, 8);
        EXPECT_EQ(a.status, AnswerStatus::Mismatch) << c.what;
        EXPECT_FALSE(a.good()) << c.what;
        // Whoever shows raw answers still sees what came.
        EXPECT_EQ(Hex(a.bytes, 6), c.answer) << c.what;
    }
    // The echo of the write itself is its good answer.
    const comlink::ModbusFrame sv = comlink::WriteFrame(1, 0x0000, 250);
    line.queue(std::vector<std::uint8_t>(sv.b, sv.b + 8));
    EXPECT_TRUE(comlink::Transact(app(), sv, 8).good());
}

TEST_F(TransactTest, PollReadRepeatsAnAnswerFromAnotherAddress)
{
    line.queue(Sealed("07 03 00 02 01 00"));
    line.queue(Sealed("01 03 00 02 00 64"));
    Answer a;
    ASSERT_TRUE(comlink::VerifiedPollRead(app(), pv, 0.05, &a));
    EXPECT_EQ(a.reg(0), 100);
    EXPECT_EQ(line.writes.size(), 2u);
}

TEST_F(TransactTest, IdentificationTellsAcceptedRefusedAndSilentApart)
{
    line.queue(Sealed("01 03 00 02 F1 2A"));
    comlink::Identity id = comlink::Identify(app(), 1);
    EXPECT_EQ(id.status, comlink::IdentifyStatus::Accepted);
    EXPECT_EQ(id.model, 0xF1);
    EXPECT_EQ(id.identLo, 0x2A);
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(Hex(line.writes[0]), "01 03 1F 00 00 01 83 DE");
    EXPECT_EQ(line.flushOut, 1);  // the flushed-sequence preamble

    line.queue(Sealed("01 03 00 02 00 2A"));
    EXPECT_EQ(comlink::Identify(app(), 1).status, comlink::IdentifyStatus::Refused);
    // The right model code from another address is no identification.
    line.queue(Sealed("05 03 00 02 F0 01"));
    EXPECT_EQ(comlink::Identify(app(), 1).status, comlink::IdentifyStatus::Refused);
    line.queueSilence();
    id = comlink::Identify(app(), 1);
    EXPECT_EQ(id.status, comlink::IdentifyStatus::Silent);
    EXPECT_EQ(id.model, 0);

    // A refusal in the standard 5-byte form: bytes 4 and 5 are no model code
    // (byte 4 is a CRC byte), nor are those of a garbled answer.
    line.queue(Sealed("01 83 02"));
    id = comlink::Identify(app(), 1);
    EXPECT_EQ(id.status, comlink::IdentifyStatus::Refused);
    EXPECT_EQ(id.answer.status, AnswerStatus::Exception);
    EXPECT_EQ(id.answer.exceptionCode(), 2);
    EXPECT_EQ(id.model, 0);
    EXPECT_EQ(id.identLo, 0);
    std::vector<std::uint8_t> garbled = Sealed("01 03 00 02 F1 2A");
    garbled[7] ^= 0xFF;
    line.queue(garbled);
    id = comlink::Identify(app(), 1);
    EXPECT_EQ(id.status, comlink::IdentifyStatus::Silent);
    EXPECT_EQ(id.answer.status, AnswerStatus::BadCrc);
    EXPECT_EQ(id.model, 0);
}

TEST(RegisterName, NamesWhatTheOperatorKnows)
{
    EXPECT_EQ(tecreg::RegisterName(0x002A), "0x002A (decimal point)");
    EXPECT_EQ(tecreg::RegisterName(0x0009), "0x0009 (PID set 2 term 1)");
    EXPECT_EQ(tecreg::RegisterName(0x0008), "0x0008 (PID set 1 boundary)");
    EXPECT_EQ(tecreg::RegisterName(0x7777), "0x7777");
}

} // namespace
