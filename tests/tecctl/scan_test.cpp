// Scanning a line for controllers, on the in-process line and the virtual
// clock: what each address's answer is taken for, and that an answer is
// never credited to an address that did not give it.
#include "io/clock.h"
#include "sim/controller.h"
#include "tecctl/options.h"
#include "tecctl/scan.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Outcome = tecctl::ScanEntry::Outcome;

struct ScanLine {
    explicit ScanLine(const std::vector<std::uint8_t>& addresses)
    {
        sim::Config base;
        base.emulateWireTime = true;
        controllers = sim::MakeControllers(clock, addresses, base);
        ports.open(1, sim::MakeSimDevice(controllers, clock, line), 19200);
        ports.setTimeout(1, 1.0);
    }
    tecctl::ScanReport scan(int first, int last, std::function<bool()> stop = nullptr)
    {
        return tecctl::ScanAddresses(ports, 1, clock, 19200, first, last, stop);
    }
    sim::Controller& at(std::uint8_t address)
    {
        return **std::find_if(controllers.begin(), controllers.end(),
                              [address](const auto& c) { return c->config().address == address; });
    }

    io::VirtualClock clock;
    io::PortTable ports;
    std::shared_ptr<sim::LineFaults> line = std::make_shared<sim::LineFaults>();
    std::vector<std::shared_ptr<sim::Controller>> controllers;
};

const tecctl::ScanEntry* Entry(const tecctl::ScanReport& r, int address)
{
    for (const auto& e : r.entries)
        if (e.address == address)
            return &e;
    return nullptr;
}

} // namespace

TEST(Scan, FindsEachControllerAndFlagsGarbledAnswers)
{
    ScanLine l({1, 2, 3, 4, 6, 7, 10});
    l.at(1).setReg(0x1F00, 0xF042);
    l.at(2).faults().badCrc = true;
    l.at(3).faults().shortBy = 2;
    l.at(4).faults().answerAddress = 9;
    l.at(6).faults().exceptionCode = 2;
    l.at(7).faults().silent = true;
    const double readAt = l.ports.timeout(1);

    const tecctl::ScanReport r = l.scan(1, 12);
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(r.lastAsked, 12);
    ASSERT_EQ(r.entries.size(), 6u);
    EXPECT_EQ(r.found(), 3) << "1, 6 (refusing) and 10";
    const auto* one = Entry(r, 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->outcome, Outcome::Found);
    EXPECT_EQ(one->model, 0xF0);
    EXPECT_EQ(one->identLo, 0x42);
    EXPECT_FALSE(one->possibleDuplicate());
    EXPECT_EQ(tecctl::DescribeEntry(*one), "address 1: model 0xF0, identity 0x42");
    EXPECT_EQ(tecctl::DescribeEntry(*Entry(r, 10)), "address 10: model 0xF1 (VEXAMAX), identity 0x23");

    for (const auto& [address, fault] : {std::pair{2, comlink::FaultKind::BadCrc}, std::pair{3, comlink::FaultKind::Short},
                                         std::pair{4, comlink::FaultKind::WrongAnswer}}) {
        const auto* e = Entry(r, address);
        ASSERT_TRUE(e) << address;
        EXPECT_EQ(e->outcome, Outcome::Garbled) << address;
        EXPECT_EQ(e->fault, fault) << address;
        EXPECT_TRUE(e->possibleDuplicate()) << address;
    }
    EXPECT_EQ(tecctl::DescribeEntry(*Entry(r, 4)), "address 4: a wrong answer (carrying address 9): possible duplicate address");
    EXPECT_EQ(tecctl::DescribeEntry(*Entry(r, 2)), "address 2: an answer with a bad CRC: possible duplicate address");
    EXPECT_EQ(tecctl::DescribeEntry(*Entry(r, 3)), "address 3: a short answer (6 of 8 bytes): possible duplicate address");
    EXPECT_EQ(Entry(r, 6)->outcome, Outcome::Refused);
    EXPECT_EQ(Entry(r, 6)->code, 2);
    EXPECT_EQ(Entry(r, 7), nullptr);
    // Nothing written: every controller saw identity reads only.
    for (const auto& c : l.controllers)
        for (const auto& rq : c->requests())
            EXPECT_EQ(rq[1], 0x03);
    EXPECT_EQ(l.ports.timeout(1), readAt) << "the read time-out is put back";

    // An absent address costs its window and the settling, far below the
    // read time-out.
    const tecctl::ScanTiming t = tecctl::ScanTimingFor(19200);
    EXPECT_LT(t.window + t.quiet, 0.06);
    const tecctl::ScanReport empty = l.scan(200, 209);
    EXPECT_TRUE(empty.entries.empty());
    EXPECT_NEAR(empty.seconds, 10 * (t.window + t.quiet), 1e-6);
}

// A late answer is its own address's, while the line settles or even
// when it comes in the next address's time; never the next one's.
TEST(Scan, LateAnswersStayWithTheirAddress)
{
    ScanLine l({2, 5});
    const tecctl::ScanTiming t = tecctl::ScanTimingFor(19200);
    l.at(2).faults().extraDelay = t.window;  // in the settling after its window
    l.at(5).faults().extraDelay = 2.5 * (t.window + t.quiet);  // two addresses on
    const tecctl::ScanReport r = l.scan(1, 10);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].address, 2);
    EXPECT_EQ(r.entries[0].outcome, Outcome::Found);
    EXPECT_TRUE(r.entries[0].late);
    EXPECT_EQ(r.entries[1].address, 5);
    EXPECT_EQ(r.entries[1].outcome, Outcome::Found);
    EXPECT_TRUE(r.entries[1].late);
}

// An echoing adapter's copies of the requests are no answers; two
// controllers at one address answer twice, which is flagged; a stop ends the
// scan before the next address.
TEST(Scan, EchoesDuplicatesAndStopping)
{
    ScanLine l({3, 3, 6});
    l.line->echo = true;
    const tecctl::ScanReport r = l.scan(1, 8);
    EXPECT_TRUE(r.echoed);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].address, 3);
    EXPECT_EQ(r.entries[0].outcome, Outcome::Found);
    EXPECT_TRUE(r.entries[0].more);
    EXPECT_TRUE(r.entries[0].possibleDuplicate());
    EXPECT_EQ(r.entries[1].address, 6);
    EXPECT_FALSE(r.entries[1].possibleDuplicate());

    int asked = 0;
    const tecctl::ScanReport stopped = l.scan(1, 247, [&asked] { return ++asked > 4; });
    EXPECT_TRUE(stopped.interrupted);
    EXPECT_EQ(stopped.lastAsked, 4);
    EXPECT_EQ(stopped.found(), 1);
}

TEST(Scan, RangeOption)
{
    tecctl::Options o;
    std::string error;
    ASSERT_TRUE(tecctl::ParseOptions({"scan"}, &o, &error)) << error;
    EXPECT_EQ(o.scanFirst, 1);
    EXPECT_EQ(o.scanLast, 247);
    ASSERT_TRUE(tecctl::ParseOptions({"scan", "--range", "3-10"}, &o, &error)) << error;
    EXPECT_EQ(o.scanFirst, 3);
    EXPECT_EQ(o.scanLast, 10);
    ASSERT_TRUE(tecctl::ParseOptions({"scan", "--range", "7"}, &o, &error)) << error;
    EXPECT_EQ(o.scanFirst, 7);
    EXPECT_EQ(o.scanLast, 7);
    for (const char* bad : {"0-5", "5-3", "1-256", "1-", "-4", "a-b", ""})
        EXPECT_FALSE(tecctl::ParseOptions({"scan", "--range", bad}, &o, &error)) << bad;
    EXPECT_FALSE(tecctl::ParseOptions({"scan", "1-10"}, &o, &error)) << "the range only with --range";
    EXPECT_FALSE(tecctl::ParseOptions({"read", "--range", "1-10"}, &o, &error)) << "scan's option only";
}
