// Late answers on the simulated controller, on the virtual clock: an answer
// that comes after its request was given up is dropped, never read as the
// answer of the request after it, and a line that answered intact costs
// nothing more.
#include "core/operations.h"
#include "sim/controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace {

using comlink::AnswerStatus;

constexpr std::uint16_t kSv = 0x0000;

class LateAnswer : public ::testing::Test {
protected:
    LateAnswer() : bus(ports, clock)
    {
        EXPECT_EQ(ports.open(1, sim::MakeSimDevice(controller, clock), 19200), 0);
        ports.setTimeout(1, comlink::kReadTimeout);
        bus.comPort = 1;
        bus.portOpen = 1;
        ports.setTrace([this](int, bool tx, const std::uint8_t* bytes, int count, int asked) {
            wire.push_back({tx, clock.now(), asked, std::vector<std::uint8_t>(bytes, bytes + std::max(count, 0))});
            if (onTrace)
                onTrace(wire.back());
        });
        controller->setReg(kSv, 100);
    }
    // The controller answers the next request `delay` seconds late.
    void lateOnce(double delay)
    {
        controller->faults().extraDelay = delay;
        controller->faults().remaining = 1;
    }
    struct Seen {
        bool tx;
        double at;
        int asked;  // 0: dropped while the line settled
        std::vector<std::uint8_t> bytes;
    };
    // When the first byte was dropped while the line settled, or -1.
    double droppedAt() const
    {
        for (const Seen& s : wire)
            if (!s.tx && s.asked == 0)
                return s.at;
        return -1;
    }
    // Everything dropped while the line settled.
    std::vector<std::uint8_t> dropped() const
    {
        std::vector<std::uint8_t> out;
        for (const Seen& s : wire)
            if (!s.tx && s.asked == 0)
                out.insert(out.end(), s.bytes.begin(), s.bytes.end());
        return out;
    }
    // The dropped answer's value, or -1 when not a whole one-register answer.
    int droppedValue() const
    {
        const std::vector<std::uint8_t> d = dropped();
        return d.size() == 8 ? comlink::RegisterValue(d.data(), 0) : -1;
    }

    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus;
    std::shared_ptr<sim::Controller> controller = std::make_shared<sim::Controller>(clock);
    std::vector<Seen> wire;
    std::function<void(const Seen&)> onTrace;
    const comlink::ModbusFrame readSv = comlink::ReadFrame(1, kSv, 1);
};

TEST_F(LateAnswer, TheNextRequestWaitsForTheLineToFallQuietAndTakesOnlyItsOwnAnswer)
{
    // Intact answers: nothing is added, not even on the clock.
    double t0 = clock.now();
    ASSERT_TRUE(comlink::Transact(bus, readSv, 8, comlink::kSvPostWriteDelay).good());
    EXPECT_NEAR(clock.now() - t0, comlink::kSvPostWriteDelay, 1e-9);
    controller->faults().exceptionCode = 2;
    controller->faults().remaining = 1;
    EXPECT_EQ(comlink::Transact(bus, readSv, 8).status, AnswerStatus::Exception);
    t0 = clock.now();
    ASSERT_TRUE(comlink::Transact(bus, readSv, 8, comlink::kSvPostWriteDelay).good());
    EXPECT_NEAR(clock.now() - t0, comlink::kSvPostWriteDelay, 1e-9) << "a refusal is an intact answer";

    // The answer to this request (100) comes 1.26 s late: given up on.
    lateOnce(1.26);
    const double sent = clock.now();
    EXPECT_EQ(comlink::Transact(bus, readSv, 8, comlink::kSvPostWriteDelay).status, AnswerStatus::Silent);
    controller->setReg(kSv, 200);
    // The same request again: its own answer is 200.
    const comlink::Answer a = comlink::Transact(bus, readSv, 8, comlink::kSvPostWriteDelay);
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.reg(0), 200);
    EXPECT_EQ(droppedValue(), 100);
    const double lateAt = droppedAt();
    EXPECT_NEAR(lateAt, sent + 1.26, 1e-9);
    // It was written once the line had been quiet for the answer's time
    // after the late bytes.
    const double quiet = comlink::kSvPostWriteDelay + comlink::kReadTimeout;
    ASSERT_GE(wire.size(), 2u);
    const Seen& second = wire[wire.size() - 2];
    ASSERT_TRUE(second.tx);
    EXPECT_GE(second.at, lateAt + quiet - 1e-9);
    EXPECT_LT(second.at, lateAt + quiet + 0.01);

    // Settled again: the next exchange costs its own time alone.
    t0 = clock.now();
    ASSERT_TRUE(comlink::Transact(bus, readSv, 8, comlink::kSvPostWriteDelay).good());
    EXPECT_NEAR(clock.now() - t0, comlink::kSvPostWriteDelay, 1e-9);
}

TEST_F(LateAnswer, APollRetryTakesItsOwnAnswerWithinItsBudget)
{
    // The first attempt's answer (100) comes late; by the retry the
    // controller holds 200.
    lateOnce(1.26);
    onTrace = [this](const Seen& s) {
        if (s.tx)
            controller->setReg(kSv, 200);
    };
    const double t0 = clock.now();
    comlink::Answer a;
    ASSERT_TRUE(comlink::VerifiedPollRead(bus, readSv, comlink::kSvPostWriteDelay, &a));
    EXPECT_EQ(a.reg(0), 200);
    EXPECT_EQ(droppedValue(), 100);
    EXPECT_LE(clock.now() - t0, comlink::kPollBudget);
    EXPECT_EQ(controller->requests().size(), 2u);
}

TEST_F(LateAnswer, AWrongAnswerShortAnswerOrBadCrcAlsoSettlesTheLine)
{
    // A late answer to a read arrives while a write waits for its echo: a
    // wrong answer, after which the write's own echo (also late) is dropped.
    lateOnce(1.2);
    EXPECT_EQ(comlink::Transact(bus, readSv, 8).status, AnswerStatus::Silent);
    bus.settleQuiet = 0;  // as a line that does not settle would go on
    controller->faults().extraDelay = 0.2;
    controller->faults().remaining = 1;
    const comlink::ModbusFrame write = comlink::WriteFrame(1, 0x0031, 5);
    EXPECT_EQ(comlink::Transact(bus, write, 8).status, AnswerStatus::Mismatch);
    const comlink::Answer next = comlink::Transact(bus, readSv, 8);
    ASSERT_TRUE(next.good());
    EXPECT_EQ(next.reg(0), 100);

    // Short and garbled answers leave the line to settle too.
    controller->faults().shortBy = 2;
    controller->faults().remaining = 1;
    EXPECT_EQ(comlink::Transact(bus, readSv, 8).status, AnswerStatus::Short);
    EXPECT_GT(bus.settleQuiet, 0);
    controller->faults().badCrc = true;
    controller->faults().remaining = 1;
    EXPECT_EQ(comlink::Transact(bus, readSv, 8).status, AnswerStatus::BadCrc);
    EXPECT_GT(bus.settleQuiet, 0);
    EXPECT_TRUE(comlink::Transact(bus, readSv, 8).good());
    EXPECT_EQ(bus.settleQuiet, 0);
}

TEST_F(LateAnswer, SettlingBeforeClosingLeavesNothingForTheNextProgram)
{
    lateOnce(1.5);
    EXPECT_EQ(comlink::Transact(bus, readSv, 8).status, AnswerStatus::Silent);
    const double gaveUp = clock.now();
    comlink::SettleLine(bus);
    EXPECT_EQ(droppedValue(), 100);
    EXPECT_GE(clock.now(), droppedAt() + comlink::kPostWriteDelay + comlink::kReadTimeout - 1e-9);
    EXPECT_GT(clock.now(), gaveUp);
    // Nothing is left on the line, and a settled line is left alone.
    EXPECT_EQ(ports.discardInput(1, 5.0), 0);
    const double t0 = clock.now();
    comlink::SettleLine(bus);
    EXPECT_EQ(clock.now(), t0);
}

} // namespace
