// The simulated controller on the wire: dialect framing, refusals, addressing
// and injected faults.
#include "sim_helpers.h"

#include <cmath>

using Bytes = std::vector<std::uint8_t>;

namespace {

int Size(const Bytes& b)
{
    return static_cast<int>(b.size());
}

bool CrcOver(const Bytes& b, int n)
{
    const comlink::Crc crc = comlink::CalcCRC16(b.data(), n);
    return Size(b) >= n + 2 && b[n] == crc.lo && b[n + 1] == crc.hi;
}

} // namespace

TEST(SimAnswers, ReadsCarryTwoExtraBytesBeforeTheData)
{
    SimBench s;
    for (int n : {1, 5, 6, 20}) {
        const Bytes a = s.send(comlink::ReadFrame(1, 0x0003, static_cast<std::uint16_t>(n)));
        ASSERT_EQ(Size(a), 2 * n + 6) << n;
        EXPECT_TRUE(comlink::AnswerIsGood(a.data(), Size(a), 2 * n + 6));
        EXPECT_EQ(a[0], 0x01);
        EXPECT_EQ(a[1], 0x03);
        EXPECT_EQ(a[3], 2 * n);
        for (int k = 0; k < n; ++k)
            EXPECT_EQ(comlink::RegisterValue(a.data(), k), s.controller.reg(static_cast<std::uint16_t>(0x0003 + k)));
    }
    // The identity request of the worked example.
    const Bytes id = s.send(Bytes{0x01, 0x03, 0x1F, 0x00, 0x00, 0x01, 0x83, 0xDE});
    ASSERT_EQ(Size(id), 8);
    EXPECT_EQ(id[4], 0xF1);
    EXPECT_EQ(id[5], 0x23);
    EXPECT_TRUE(CrcOver(id, 6));
}

TEST(SimAnswers, FactoryValuesAreInTenths)
{
    SimBench s;
    EXPECT_EQ(s.read(0x002A), 31);
    EXPECT_EQ(s.readSigned(0x0000), 250);
    EXPECT_EQ(s.readSigned(0x001A), 800);
    EXPECT_EQ(s.readSigned(0x0021), 100);
    EXPECT_EQ(s.readSigned(0x002C), -200);
    EXPECT_EQ(s.readSigned(0x002D), 1500);
    EXPECT_EQ(s.read(0x001C), 7);
    EXPECT_EQ(s.read(0x005F), 1);
    EXPECT_EQ(s.readSigned(0x1000), 250);  // at ambient
    EXPECT_EQ(s.readSigned(0x1001), 250);
    EXPECT_EQ(s.read(0x1003), 0);
    // A model 0xF0 controller with its own identity low byte.
    sim::Config c;
    c.modelCode = 0xF0;
    c.identLow = 7;
    SimBench other(c);
    EXPECT_EQ(other.read(0x1F00), 0xF007);
}

TEST(SimAnswers, WritesAreEchoedAfterBeingApplied)
{
    SimBench s;
    s.write(0x0028, 2);
    EXPECT_EQ(s.read(0x0028), 2);
    s.write(0x0038, -205);  // step 1 set value, negative
    EXPECT_EQ(s.readSigned(0x0038), -205);
    s.write(0x0000, 1500);  // the range high itself is allowed
    EXPECT_EQ(s.readSigned(0x0000), 1500);
    EXPECT_EQ(s.readSigned(0x1001), 1500);
}

TEST(SimAnswers, RefusalsComeInTheEightOrTheFiveByteForm)
{
    SimBench s;
    struct Case {
        Bytes request6;
        std::uint8_t function;
        std::uint8_t code;
    } cases[] = {
        {{0x01, 0x04, 0x00, 0x00, 0x00, 0x01}, 0x84, 0x01},  // unknown function
        {{0x01, 0x03, 0x01, 0x00, 0x00, 0x01}, 0x83, 0x02},  // no such register
        {{0x01, 0x03, 0x00, 0x5F, 0x00, 0x02}, 0x83, 0x02},  // block runs off the map
        {{0x01, 0x03, 0x1F, 0x00, 0x00, 0x02}, 0x83, 0x02},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x00}, 0x83, 0x03},  // zero registers
        {{0x01, 0x06, 0x10, 0x00, 0x00, 0x05}, 0x86, 0x02},  // PV is read-only
        {{0x01, 0x06, 0x00, 0x00, 0x05, 0xDD}, 0x86, 0x03},  // SV 150.1 above range high
        {{0x01, 0x06, 0x00, 0x00, 0xFF, 0x37}, 0x86, 0x03},  // SV -20.1 below range low
    };
    auto request = [](const Case& c) {
        Bytes rq = c.request6;
        const comlink::Crc crc = comlink::CalcCRC16(rq.data(), 6);
        rq.push_back(crc.lo);
        rq.push_back(crc.hi);
        return rq;
    };
    for (const Case& c : cases) {
        const Bytes a = s.send(request(c));
        ASSERT_EQ(Size(a), 8);
        EXPECT_EQ(a[0], 0x01);
        EXPECT_EQ(a[1], c.function);
        EXPECT_EQ(a[2], c.code);
        EXPECT_EQ(a[3] | a[4] | a[5], 0);
        EXPECT_TRUE(CrcOver(a, 6));
        EXPECT_TRUE(comlink::IsExceptionAnswer(a.data(), 8));
    }
    EXPECT_EQ(s.readSigned(0x0000), 250) << "a refused set value is not applied";

    // The short form applies to the controller's own refusals as well, not
    // only to injected ones.
    s.controller.faults().fiveByteException = true;
    for (const Case& c : cases) {
        const Bytes a = s.send(request(c));
        ASSERT_EQ(Size(a), 5) << int(c.function);
        EXPECT_EQ(a[0], 0x01);
        EXPECT_EQ(a[1], c.function);
        EXPECT_EQ(a[2], c.code);
        EXPECT_TRUE(CrcOver(a, 3));
        EXPECT_TRUE(comlink::IsExceptionAnswer(a.data(), 5));
    }
    EXPECT_EQ(s.readSigned(0x0000), 250);
    EXPECT_EQ(Size(s.send(comlink::WriteFrame(1, 0x0000, 300))), 8) << "a good write keeps its echo";

    // Counted: one short refusal, then the usual form again.
    s.controller.faults() = {};
    s.controller.faults().fiveByteException = true;
    s.controller.faults().remaining = 1;
    EXPECT_EQ(Size(s.send(comlink::WriteFrame(1, 0x0000, 2000))), 5);
    EXPECT_EQ(Size(s.send(comlink::WriteFrame(1, 0x0000, 2000))), 8);
}

// Every request the control program makes: reads with the count it asks
// for, and writes of each register it sets, answered in full.
TEST(SimAnswers, EveryRegisterTheProgramUsesIsThere)
{
    SimBench s;
    struct Read {
        std::uint16_t first;
        int count;
    };
    std::vector<Read> reads{{0x002A, 1}, {0x0000, 1}, {0x001A, 1}, {0x0021, 1}, {0x0001, 1}, {0x0002, 1},
                            {0x0003, 6}, {0x0009, 6}, {0x000F, 6}, {0x0015, 5}, {0x0028, 1}, {0x0030, 1},
                            {0x0031, 1}, {0x002B, 1}, {0x0029, 1}, {0x002C, 1}, {0x002D, 1}, {0x0032, 1},
                            {0x001C, 1}, {0x005F, 1}, {0x0036, 1}, {0x1000, 1}, {0x1001, 1}, {0x1003, 1},
                            {0x1F00, 1}};
    for (int k = 0; k < 8; ++k)
        reads.push_back({static_cast<std::uint16_t>(0x0037 + 5 * k), 5});
    for (const Read& r : reads) {
        const Bytes a = s.send(comlink::ReadFrame(1, r.first, static_cast<std::uint16_t>(r.count)));
        EXPECT_EQ(Size(a), 2 * r.count + 6) << std::hex << r.first;
        EXPECT_TRUE(comlink::AnswerIsGood(a.data(), Size(a), 2 * r.count + 6)) << std::hex << r.first;
    }

    // Writes: every parameter register, the alarm switch companions that are
    // only ever written, the step registers and the keypad.
    std::vector<std::uint16_t> writes{0x0000, 0x0001, 0x0002, 0x001A, 0x001C, 0x0020, 0x0021, 0x0023,
                                      0x0027, 0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x0030,
                                      0x0031, 0x0032, 0x0036, 0x005F};
    for (std::uint16_t r = 0x0003; r <= 0x0019; ++r)
        writes.push_back(r);
    for (std::uint16_t r = 0x0037; r <= 0x005E; ++r)
        writes.push_back(r);
    for (std::uint16_t r : writes) {
        const std::uint16_t held = s.controller.reg(r);
        const comlink::ModbusFrame f = comlink::WriteFrame(1, r, held);
        EXPECT_EQ(s.send(f), Bytes(f.b, f.b + 8)) << std::hex << r;
    }
    // The alarm switch and its companions hold what the program writes.
    const std::pair<std::uint16_t, std::uint16_t> on[] = {{0x001C, 8}, {0x0023, 9}, {0x0020, 21}, {0x0027, 21}};
    for (const auto& [r, v] : on) {
        s.write(r, v);
        EXPECT_EQ(s.read(r), v);
    }
    s.write(0x005F, 0x0101);
    EXPECT_EQ(s.read(0x005F), 0x0101);
}

TEST(SimAnswers, SetValueLimitFollowsTheRange)
{
    SimBench s;
    s.write(0x002D, 600);
    EXPECT_EQ(s.send(comlink::WriteFrame(1, 0x0000, 601))[1], 0x86);
    s.write(0x0000, 600);
    EXPECT_EQ(s.readSigned(0x0000), 600);
}

TEST(SimAnswers, OnlyItsOwnAddressWithAGoodCrcIsAnswered)
{
    SimBench s;
    EXPECT_TRUE(s.send(comlink::WriteFrame(2, 0x0028, 3)).empty());
    EXPECT_EQ(s.controller.reg(0x0028), 0) << "a request to another address is not applied";

    comlink::ModbusFrame bad = comlink::WriteFrame(1, 0x0028, 3);
    bad.b[7] ^= 0x01;
    EXPECT_TRUE(s.send(bad).empty());
    EXPECT_EQ(s.controller.reg(0x0028), 0) << "a request with a bad CRC is not applied";
    EXPECT_TRUE(s.send(Bytes{0x01, 0x03, 0x10}).empty());

    EXPECT_TRUE(s.send(comlink::WriteFrame(0, 0x0028, 3)).empty());
    EXPECT_EQ(s.controller.reg(0x0028), 3) << "a broadcast write is applied";
    EXPECT_TRUE(s.send(comlink::ReadFrame(0, 0x0028, 1)).empty());

    EXPECT_EQ(s.controller.requests().size(), 5u) << "every request is recorded, answered or not";
    s.controller.clearRequests();
    EXPECT_TRUE(s.controller.requests().empty());

    sim::Config c;
    c.address = 0x05;
    SimBench five(c);
    EXPECT_TRUE(five.send(comlink::ReadFrame(1, 0x1000, 1)).empty());
    EXPECT_EQ(Size(five.send(comlink::ReadFrame(0x0105, 0x1000, 1))), 8);
}

TEST(SimFaults, EachFaultSpoilsTheAnswerItsOwnWay)
{
    SimBench s;
    const comlink::ModbusFrame pv = comlink::ReadFrame(1, 0x1000, 1);

    s.controller.faults().silent = true;
    EXPECT_TRUE(s.send(comlink::WriteFrame(1, 0x0028, 2)).empty());
    EXPECT_EQ(s.controller.reg(0x0028), 0) << "a silent controller hears nothing";
    s.controller.faults() = {};

    s.controller.faults().badCrc = true;
    Bytes a = s.send(pv);
    EXPECT_EQ(Size(a), 8);
    EXPECT_FALSE(comlink::AnswerIsGood(a.data(), 8, 8));
    s.controller.faults() = {};

    s.controller.faults().shortBy = 3;
    EXPECT_EQ(Size(s.send(pv)), 5);
    EXPECT_EQ(Size(s.send(comlink::ReadFrame(1, 0x0003, 6))), 15);
    s.controller.faults().shortBy = 40;
    EXPECT_TRUE(s.send(pv).empty());
    s.controller.faults() = {};

    s.controller.faults().standardReadAnswer = true;
    a = s.send(pv);
    ASSERT_EQ(Size(a), 7);
    EXPECT_EQ(a[2], 2);  // byte count
    EXPECT_EQ((a[3] << 8) | a[4], 250);
    EXPECT_TRUE(CrcOver(a, 5));
    EXPECT_FALSE(comlink::AnswerIsGood(a.data(), 7, 8));
    EXPECT_EQ(Size(s.send(comlink::WriteFrame(1, 0x0028, 1))), 8) << "writes keep their echo";
    s.controller.faults() = {};

    s.clock.advance(10.0);
    s.controller.faults().extraDelay = 0.4;
    EXPECT_EQ(Size(s.send(pv)), 8);
    EXPECT_DOUBLE_EQ(s.readyAt, 10.4);
    s.controller.faults() = {};

    s.controller.faults().exceptionCode = 4;
    a = s.send(comlink::WriteFrame(1, 0x0028, 2));
    ASSERT_EQ(Size(a), 8);
    EXPECT_EQ(a[1], 0x86);
    EXPECT_EQ(a[2], 4);
    EXPECT_EQ(s.controller.reg(0x0028), 1) << "a refused write is not applied";
    s.controller.faults().fiveByteException = true;
    a = s.send(pv);
    ASSERT_EQ(Size(a), 5);
    EXPECT_EQ(a[1], 0x83);
    EXPECT_TRUE(CrcOver(a, 3));
    EXPECT_TRUE(comlink::IsExceptionAnswer(a.data(), 5));
}

TEST(SimFaults, FaultsEndAfterTheirCount)
{
    SimBench s;
    const comlink::ModbusFrame pv = comlink::ReadFrame(1, 0x1000, 1);
    s.controller.faults().silent = true;
    s.controller.faults().remaining = 2;
    // A request to another address does not use up the count.
    EXPECT_TRUE(s.send(comlink::ReadFrame(2, 0x1000, 1)).empty());
    EXPECT_TRUE(s.send(pv).empty());
    EXPECT_TRUE(s.send(pv).empty());
    EXPECT_EQ(Size(s.send(pv)), 8);
    EXPECT_FALSE(s.controller.faults().silent);
    EXPECT_EQ(Size(s.send(pv)), 8);
}

TEST(SimFaults, WireTimeCoversRequestAndAnswer)
{
    sim::Config c;
    c.emulateWireTime = true;
    c.baudRate = 9600;
    SimBench s(c);
    s.clock.advance(2.0);
    s.send(comlink::ReadFrame(1, 0x0003, 6));  // 8 + 18 bytes
    EXPECT_NEAR(s.readyAt, 2.0 + 26 * 10.0 / 9600, 1e-12);
    s.controller.faults().extraDelay = 0.5;
    s.send(comlink::ReadFrame(1, 0x1000, 1));  // 8 + 8 bytes
    EXPECT_NEAR(s.readyAt, 2.5 + 16 * 10.0 / 9600, 1e-12);
}

TEST(SimAnswers, TheRequestRecordStaysBounded)
{
    sim::Config c;
    c.requestRecordLimit = 10;
    SimBench s(c);
    for (int i = 0; i < 25; ++i)
        s.send(comlink::WriteFrame(1, 0x0030, static_cast<std::uint16_t>(i)));
    const auto& kept = s.controller.requests();
    ASSERT_FALSE(kept.empty());
    EXPECT_LE(kept.size(), 10u);
    for (std::size_t k = 0; k < kept.size(); ++k)  // the newest, in order
        EXPECT_EQ(kept[k][5], 25 - kept.size() + k);

    c.requestRecordLimit = 0;
    SimBench none(c);
    EXPECT_EQ(none.read(0x1000), 250);
    EXPECT_TRUE(none.controller.requests().empty());
}
