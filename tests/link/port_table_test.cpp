// The table of open ports under the link: a lost device fails every later
// call at once without being touched, writes are held while the program
// ends, and the trace sees what went out and came back.
#include "io/port_table.h"
#include "support/hex.h"
#include "support/line_double.h"

#include <gtest/gtest.h>

namespace {

TEST(PortTable, ALostDeviceFailsFastUntilItsPortIsClosed)
{
    io::VirtualClock clock;
    LineDouble wire(clock);
    io::PortTable ports;
    ASSERT_EQ(ports.open(3, wire.factory()(), 19200), 0);
    const std::uint8_t frame[8] = {1, 3, 0x10, 0, 0, 1, 0x80, 0xCA};
    wire.lost = true;
    EXPECT_EQ(ports.write(3, frame, 8), io::PORT_ERR_LOST);
    const int reads = wire.reads;
    std::uint8_t buf[8];
    EXPECT_EQ(ports.read(3, buf, 8, {}), io::PORT_ERR_LOST);
    EXPECT_EQ(ports.flushInput(3), io::PORT_ERR_LOST);
    EXPECT_EQ(wire.reads, reads);  // the dead device is not asked again
    EXPECT_EQ(clock.now(), 0.0);   // and nothing waits for it
    EXPECT_TRUE(ports.isOpen(3));  // until its owner closes the port
    EXPECT_EQ(ports.close(3), 0);
    EXPECT_EQ(ports.write(3, frame, 8), io::PORT_ERR_CLOSED);
    EXPECT_EQ(ports.open(0, wire.factory()(), 19200), io::PORT_ERR_OPEN);
    EXPECT_EQ(ports.open(4, wire.factory()(), 0), io::PORT_ERR_OPEN);
}

TEST(PortTable, WritesAreHeldWhileTheGateSaysSoAndTracedOtherwise)
{
    io::VirtualClock clock;
    LineDouble wire(clock);
    wire.serve = true;
    io::PortTable ports;
    ASSERT_EQ(ports.open(1, wire.factory()(), 19200), 0);
    std::vector<std::string> seen;
    ports.setTrace([&](int port, bool tx, const std::uint8_t* b, int n, int asked) {
        seen.push_back(std::to_string(port) + (tx ? " TX " : " RX ") + Hex(b, n) + " /" + std::to_string(asked));
    });
    bool ending = true;
    ports.setWriteGate([&] { return ending; });
    const std::uint8_t frame[8] = {1, 3, 0x10, 0, 0, 1, 0x80, 0xCA};
    EXPECT_EQ(ports.write(1, frame, 8), io::PORT_ERR_ENDING);
    EXPECT_TRUE(wire.writes.empty());
    ending = false;
    EXPECT_EQ(ports.write(1, frame, 8), 8);
    std::uint8_t buf[8];
    EXPECT_EQ(ports.read(1, buf, 8, {}), 8);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "1 TX 01 03 10 00 00 01 80 CA /8");
    EXPECT_EQ(seen[1].substr(0, 7), "1 RX 01");
}

} // namespace
