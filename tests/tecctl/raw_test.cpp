// tecctl's commands on a scripted line: an intact answer that is not the
// answer to the frame sent is a wrong answer, exit status 4; a stop says what
// came.
#include "link/transact.h"
#include "tecctl/commands.h"
#include "support/hex.h"
#include "support/line_double.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(TecctlRaw, AnIntactAnswerFromAnotherAddressIsAWrongAnswer)
{
    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus(ports, clock);
    LineDouble wire(clock);
    ASSERT_EQ(ports.open(1, wire.factory()(), 19200), 0);
    ports.setTimeout(1, comlink::kReadTimeout);
    bus.comPort = 1;
    bus.portOpen = 1;

    tecctl::Options o;
    o.command = "raw";
    o.args = {"01", "03", "10", "00", "00", "01"};
    for (const auto& [answer, words, status] :
         {std::tuple{"02 03 00 02 00 FA", "wrong answer", 4}, std::tuple{"01 03 00 02 00 FA", "good answer", 0}}) {
        tecctl::Session s(bus, 1, o);
        ASSERT_EQ(tecctl::Prepare(s), tecctl::EXIT_OK) << s.error;
        wire.queue(LineDouble::Sealed(Bytes(answer)));
        EXPECT_EQ(tecctl::RunCommand(s), status) << words;
        EXPECT_NE(s.text.find(std::string("\n") + words + "\n"), std::string::npos) << s.text;
        if (status != 0) {
            EXPECT_EQ(s.error, words);
        }
    }
}

} // namespace

namespace {

// A command stopped by a short answer says how much of it came.
TEST(TecctlStop, AShortAnswerIsToldWithTheBytesThatCame)
{
    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus(ports, clock);
    LineDouble wire(clock);
    ASSERT_EQ(ports.open(4, wire.factory()(), 19200), 0);
    ports.setTimeout(4, comlink::kReadTimeout);
    bus.comPort = 4;
    bus.portOpen = 1;

    tecctl::Options o;
    o.command = "get";
    o.args = {"sv"};
    tecctl::Session s(bus, 7, o);
    ASSERT_EQ(tecctl::Prepare(s), tecctl::EXIT_OK) << s.error;
    wire.queue({0x07, 0x03, 0x00});
    EXPECT_NE(tecctl::RunCommand(s), tecctl::EXIT_OK);
    EXPECT_NE(s.error.find("got a short answer (3 of 8 bytes)"), std::string::npos) << s.error;
    ASSERT_FALSE(wire.writes.empty());
    EXPECT_EQ(wire.writes[0][0], 0x07) << "the session's address";
}

} // namespace
