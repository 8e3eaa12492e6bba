// The in-process serial line: answers become readable when the controller
// says, and every wait is spent on the given clock.
#include "sim_helpers.h"

#include "sim/request_framer.h"

#include <memory>

namespace {

struct Line {
    io::VirtualClock clock;
    std::shared_ptr<sim::Controller> controller = std::make_shared<sim::Controller>(clock);
    std::unique_ptr<io::SerialDevice> device = sim::MakeSimDevice(controller, clock);
    Line() { device->open(19200); }
    int send(const comlink::ModbusFrame& f) { return device->write(f.b, 8); }
};

io::AnswerComplete Expect(int n)
{
    return [n](const std::uint8_t* b, int count) { return comlink::AnswerComplete(b, count, n); };
}

} // namespace

TEST(SimDevice, SilentControllerCostsTheTimeoutInVirtualTime)
{
    Line l;
    EXPECT_EQ(l.device->description(), "simulated controller");
    l.controller->faults().silent = true;
    l.send(comlink::ReadFrame(1, 0x1000, 1));
    std::uint8_t buf[8];
    const double before = l.clock.now();
    EXPECT_EQ(l.device->read(buf, 8, 1.0, Expect(8)), 0);
    EXPECT_DOUBLE_EQ(l.clock.now() - before, 1.0);
}

TEST(SimDevice, AnswersArriveWhenReadyAndEndEarlyWhenDone)
{
    Line l;
    std::uint8_t buf[32];
    // An answer that is ready at once costs no time.
    l.send(comlink::ReadFrame(1, 0x1000, 1));
    EXPECT_EQ(l.device->read(buf, 8, 1.0, Expect(8)), 8);
    EXPECT_DOUBLE_EQ(l.clock.now(), 0.0);

    // A late answer is waited for, not the whole time-out.
    l.controller->faults().extraDelay = 0.3;
    l.send(comlink::ReadFrame(1, 0x1000, 1));
    EXPECT_EQ(l.device->read(buf, 8, 1.0, Expect(8)), 8);
    EXPECT_NEAR(l.clock.now(), 0.3, 1e-12);

    // Later than the time-out: nothing now, the answer still comes later.
    l.controller->faults().extraDelay = 1.5;
    l.send(comlink::ReadFrame(1, 0x1000, 1));
    EXPECT_EQ(l.device->read(buf, 8, 1.0, Expect(8)), 0);
    EXPECT_NEAR(l.clock.now(), 1.3, 1e-12);
    EXPECT_EQ(l.device->read(buf, 8, 1.0, Expect(8)), 8);
    EXPECT_NEAR(l.clock.now(), 1.8, 1e-12);
    l.controller->faults() = {};

    // A 5-byte refusal completes a read that asked for 18 bytes.
    l.controller->faults().exceptionCode = 2;
    l.controller->faults().fiveByteException = true;
    const double t = l.clock.now();
    l.send(comlink::ReadFrame(1, 0x0003, 6));
    EXPECT_EQ(l.device->read(buf, 18, 1.0, Expect(18)), 5);
    EXPECT_DOUBLE_EQ(l.clock.now(), t);
    EXPECT_EQ(buf[1], 0x83);
}

TEST(SimDevice, PartialWritesQueuesAndFlushes)
{
    Line l;
    std::uint8_t buf[32];
    const comlink::ModbusFrame f = comlink::ReadFrame(1, 0x002A, 1);
    l.device->write(f.b, 3);
    EXPECT_EQ(l.controller->requests().size(), 0u) << "no request before all 8 bytes";
    l.device->write(f.b + 3, 5);
    ASSERT_EQ(l.controller->requests().size(), 1u);

    // Two answers queued: a short read takes the first bytes, the rest stays.
    l.send(comlink::ReadFrame(1, 0x002A, 1));
    EXPECT_EQ(l.device->read(buf, 5, 1.0, nullptr), 5);
    EXPECT_EQ(l.device->read(buf, 11, 1.0, nullptr), 11);
    EXPECT_EQ(buf[3], 0x01) << "the second answer starts at byte 3 of this read";
    EXPECT_EQ(buf[4], 0x03);
    EXPECT_EQ(buf[8], 0x1F);  // its value, 31

    l.send(comlink::ReadFrame(1, 0x1000, 1));
    l.device->flushInput();
    EXPECT_EQ(l.device->read(buf, 8, 0.5, Expect(8)), 0);
    // An answer still on its way is not in the input yet: it comes after a flush.
    l.controller->faults().extraDelay = 0.2;
    l.controller->faults().remaining = 1;
    l.send(comlink::ReadFrame(1, 0x1000, 1));
    l.device->flushInput();
    EXPECT_EQ(l.device->read(buf, 8, 0.5, Expect(8)), 8);

    l.device->write(f.b, 4);
    l.device->flushOutput();
    l.device->write(f.b, 8);
    EXPECT_EQ(l.device->read(buf, 8, 0.5, Expect(8)), 8) << "the flushed half-request is gone";

    l.device->close();
    EXPECT_FALSE(l.device->isOpen());
    EXPECT_EQ(l.device->write(f.b, 8), -1);
    EXPECT_EQ(l.device->read(buf, 8, 0.5, nullptr), -1);
}

TEST(SimFramer, StrayBytesAreDroppedUntilTheCrcFits)
{
    sim::RequestFramer fr;
    const comlink::ModbusFrame f = comlink::ReadFrame(1, 0x1F00, 1);
    const std::uint8_t junk[] = {0xFF, 0x00, 0x13};
    fr.push(junk, 3, 1.0);
    fr.push(f.b, 5, 2.0);
    std::uint8_t out[8];
    double first = 0;
    EXPECT_FALSE(fr.next(out, &first));
    fr.push(f.b + 5, 3, 3.0);
    fr.push(f.b, 8, 4.0);
    ASSERT_TRUE(fr.next(out, &first));
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8), std::vector<std::uint8_t>(f.b, f.b + 8));
    EXPECT_DOUBLE_EQ(first, 2.0) << "timed from the request's first byte";
    EXPECT_EQ(fr.dropped(), 3);
    ASSERT_TRUE(fr.next(out, &first));
    EXPECT_DOUBLE_EQ(first, 4.0);
    EXPECT_FALSE(fr.next(out, &first));
    EXPECT_EQ(fr.buffered(), 0);
}

// Several controllers behind one in-process device, as on one RS-485 line.
TEST(SimDevice, SeveralControllersShareOneLine)
{
    io::VirtualClock clock;
    sim::Config base;
    base.emulateWireTime = true;
    auto controllers = sim::MakeControllers(clock, {1, 2, 5}, base);
    auto line = std::make_shared<sim::LineFaults>();
    auto device = sim::MakeSimDevice(controllers, clock, line);
    device->open(19200);
    EXPECT_EQ(controllers[2]->config().address, 5);
    EXPECT_EQ(controllers[1]->config().seed, base.seed + 1) << "each its own noise";
    std::uint8_t buf[32];
    const double wire16 = 16 * 10.0 / 19200;

    // Only the controller addressed answers, with its own registers.
    controllers[1]->setReg(0x0000, 321);
    for (const std::uint8_t address : {1, 2, 5}) {
        device->write(comlink::ReadFrame(address, 0x0000, 1).b, 8);
        ASSERT_EQ(device->read(buf, 8, 1.0, Expect(8)), 8) << int(address);
        EXPECT_EQ(buf[0], address);
        EXPECT_EQ(comlink::RegisterValue(buf, 0), address == 2 ? 321 : 250);
    }
    device->write(comlink::ReadFrame(3, 0x0000, 1).b, 8);
    EXPECT_EQ(device->read(buf, 8, 1.0, Expect(8)), 0) << "nobody at 3";

    // A late answer from 1 does not hold back 5's prompt one: the line
    // carries them in the order they are on the wire.
    controllers[0]->faults().extraDelay = 0.3;
    const double t = clock.now();
    device->write(comlink::ReadFrame(1, 0x1F00, 1).b, 8);
    device->write(comlink::ReadFrame(5, 0x1F00, 1).b, 8);
    ASSERT_EQ(device->read(buf, 8, 1.0, Expect(8)), 8);
    EXPECT_EQ(buf[0], 5);
    EXPECT_NEAR(clock.now() - t, wire16, 1e-9);
    ASSERT_EQ(device->read(buf, 8, 1.0, Expect(8)), 8);
    EXPECT_EQ(buf[0], 1);
    EXPECT_NEAR(clock.now() - t, 0.3 + wire16, 1e-9);
    controllers[0]->faults() = {};

    // Two answers due at once (two controllers asked together) take the
    // wire one after the other.
    const double u = clock.now();
    device->write(comlink::ReadFrame(1, 0x1F00, 1).b, 8);
    device->write(comlink::ReadFrame(2, 0x1F00, 1).b, 8);
    ASSERT_EQ(device->read(buf, 16, 1.0, nullptr), 16);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[8], 2);
    EXPECT_NEAR(clock.now() - u, wire16 + 8 * 10.0 / 19200, 1e-9);

    // An echoing adapter: the request comes back first, for any address.
    line->echo = true;
    const comlink::ModbusFrame id2 = comlink::ReadFrame(2, 0x1F00, 1);
    device->write(id2.b, 8);
    ASSERT_EQ(device->read(buf, 16, 1.0, nullptr), 16);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 8), std::vector<std::uint8_t>(id2.b, id2.b + 8));
    EXPECT_EQ(buf[8], 2);
    EXPECT_EQ(buf[12], 0xF1);
    device->write(comlink::ReadFrame(3, 0x1F00, 1).b, 8);
    EXPECT_EQ(device->read(buf, 16, 0.5, nullptr), 8) << "the echo alone";
    EXPECT_EQ(device->description(), "simulated controllers");
}
