// Bringing a controller onto a bare Bus: the opening, the wait after it, the
// identification at the controller's own address, and what a failure leaves.
// Also: an operation talks to the address it is given and takes no answer
// from another.
#include "core/connect.h"
#include "core/operations.h"
#include "support/hex.h"
#include "support/line_double.h"

#include <gtest/gtest.h>

namespace {

using comlink::FaultKind;
using Bytes = std::vector<std::uint8_t>;

struct Rig {
    Rig() : bus(ports, clock), wire(clock)
    {
        bus.comPort = 3;
        controller.address = 5;
        how.open = [this] { return ports.open(3, wire.factory()(), 19200); };
    }
    comlink::Fault connect() { return core::Connect(bus, controller, how); }
    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus;
    LineDouble wire;
    core::Controller controller;
    core::ConnectOptions how;
};

TEST(Connect, OpensWaitsAndIdentifiesTheControllerAtItsAddress)
{
    Rig rig;
    int openedAt = -1;
    rig.how.opened = [&] { openedAt = static_cast<int>(rig.wire.writes.size()); };
    rig.wire.queue(LineDouble::Sealed({0x05, 0x03, 0x00, 0x02, 0xF1, 0x2A}));
    const double t0 = rig.clock.now();
    const comlink::Fault fault = rig.connect();
    EXPECT_TRUE(fault.ok()) << comlink::Describe(fault);
    ASSERT_EQ(rig.wire.writes.size(), 1u);
    EXPECT_EQ(Hex(rig.wire.writes[0]), Hex(comlink::ReadFrame(5, 0x1F00, 1).b, 8));
    // The wait after opening, then the identification's preamble.
    EXPECT_NEAR(rig.wire.writeTimes[0] - t0, 0.3 + comlink::kPreambleDelay, 1e-9);
    EXPECT_EQ(openedAt, 0) << "told once open, before the first byte";
    EXPECT_TRUE(rig.controller.identity.known);
    EXPECT_EQ(rig.controller.identity.model, 0xF1);
    EXPECT_EQ(rig.controller.identity.identLo, 0x2A);
    EXPECT_TRUE(rig.ports.isOpen(3));
    EXPECT_EQ(rig.bus.portOpen, 1);
    EXPECT_EQ(rig.bus.openStatus, 0);
    EXPECT_DOUBLE_EQ(rig.ports.timeout(3), comlink::kReadTimeout);
}

TEST(Connect, AFailedIdentificationSaysWhyAndLeavesThePortClosed)
{
    struct Case {
        const char* what;
        Bytes answer;  // empty: silence
        FaultKind kind;
        const char* words;
    };
    const Case cases[] = {
        {"silence", {}, FaultKind::Silent, "no answer"},
        {"refusal", LineDouble::Sealed({0x05, 0x83, 0x02}), FaultKind::Refused, "a refusal (exception code 2)"},
        {"another address", LineDouble::Sealed({0x01, 0x03, 0x00, 0x02, 0xF0, 0x01}), FaultKind::WrongAnswer,
         "a wrong answer (not the answer to this request)"},
        {"another device", LineDouble::Sealed({0x05, 0x03, 0x00, 0x02, 0x12, 0x34}), FaultKind::WrongAnswer,
         "a wrong answer (model code 0x12)"},
        {"short", Bytes{0x05, 0x03, 0x00, 0x02, 0xF0}, FaultKind::Short, "a short answer (5 of 8 bytes)"},
        {"bad CRC", Bytes{0x05, 0x03, 0x00, 0x02, 0xF0, 0x01, 0x00, 0x00}, FaultKind::BadCrc,
         "an answer with a bad CRC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        rig.controller.identity.known = true;  // from an earlier connection
        if (c.answer.empty())
            rig.wire.queueSilence();
        else
            rig.wire.queue(c.answer);
        const comlink::Fault fault = rig.connect();
        EXPECT_EQ(fault.kind, c.kind);
        EXPECT_EQ(comlink::Describe(fault), c.words);
        EXPECT_FALSE(rig.controller.identity.known);
        EXPECT_FALSE(rig.ports.isOpen(3));
        EXPECT_EQ(rig.bus.portOpen, 0);
        EXPECT_EQ(rig.bus.openStatus, -1);
    }
}

TEST(Connect, APortThatDoesNotOpenSendsNothingAndDoesNotWait)
{
    Rig rig;
    rig.wire.refuseOpen = true;
    bool opened = false;
    rig.how.opened = [&] { opened = true; };
    const double t0 = rig.clock.now();
    const comlink::Fault fault = rig.connect();
    EXPECT_EQ(fault.kind, FaultKind::PortGone);
    EXPECT_LT(rig.bus.openStatus, 0);
    EXPECT_EQ(rig.bus.portOpen, 0);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(rig.wire.writes.empty());
    EXPECT_DOUBLE_EQ(rig.clock.now(), t0);
}

TEST(Connect, WithoutIdentificationOnlyOpensAndCanWaitForALateAnswerBeforeClosing)
{
    Rig rig;
    rig.how.identify = false;
    rig.how.settle = 0;
    EXPECT_TRUE(rig.connect().ok());
    EXPECT_TRUE(rig.ports.isOpen(3));
    EXPECT_TRUE(rig.wire.writes.empty());
    EXPECT_FALSE(rig.controller.identity.known);

    // A silent identification costs its answer time again when the port is
    // to be left quiet for the next program, and nothing without.
    double spent[2] = {};
    for (const bool settle : {false, true}) {
        Rig silent;
        silent.how.settle = 0;
        silent.how.settleBeforeClosing = settle;
        silent.wire.queueSilence();
        const double t0 = silent.clock.now();
        EXPECT_EQ(silent.connect().kind, FaultKind::Silent);
        spent[settle] = silent.clock.now() - t0;
    }
    EXPECT_NEAR(spent[1] - spent[0], comlink::kPostWriteDelay + comlink::kReadTimeout, 1e-6);
}

TEST(Connect, OperationsTalkToTheAddressTheyAreGivenAndTakeNoOtherAddresssAnswer)
{
    Rig rig;
    rig.how.identify = false;
    ASSERT_TRUE(rig.connect().ok());
    rig.wire.serve = true;
    rig.wire.regs = {{0x002A, 31}, {0x1000, 253}};
    ParameterSet p;
    ASSERT_TRUE(core::ReadAll(rig.bus, 9, p).complete());
    for (const Bytes& w : rig.wire.writes)
        EXPECT_EQ(w[0], 9) << Hex(w);

    // Controller 2's intact answer to a poll of controller 3 is no sample of 3.
    rig.wire.writes.clear();
    for (int k = 0; k < comlink::kPollAttempts; ++k)
        rig.wire.queue(LineDouble::ReadAnswer(2, 250));
    float pv = -1;
    EXPECT_FALSE(core::PollPV(rig.bus, 3, 10.0f, &pv));
    EXPECT_EQ(pv, -1);
    ASSERT_FALSE(rig.wire.writes.empty());
    EXPECT_EQ(rig.wire.writes[0][0], 3);

    // A stop carries the fault with what came: a short answer's byte counts.
    core::OpLog op;
    core::Answer a;
    rig.wire.queue(Bytes{0x03, 0x03, 0x00});
    EXPECT_FALSE(core::ReadRegisters(rig.bus, 3, op, 0x0000, 1, &a));
    EXPECT_EQ(op.fault.kind, FaultKind::Short);
    EXPECT_EQ(op.fault.reg, 0x0000);
    EXPECT_EQ(comlink::Describe(op.fault), "a short answer (3 of 8 bytes)");
}

} // namespace
