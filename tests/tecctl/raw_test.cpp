// tecctl's raw command on a scripted line: an intact answer that is not the
// answer to the frame sent is a wrong answer, exit status 4.
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
