// The poller on the virtual clock, driven as an event loop drives it: its
// service, then a wait on the clock until the time it asked for. One
// controller's round against the chart's blocking reads, event for event;
// answers of another address, echoes and late ones never taken; online,
// suspect, offline and the probe's back-off; a transaction wanting the bus
// in the middle of an exchange.
#include "core/operations.h"
#include "core/poller.h"
#include "support/bus_double.h"
#include "support/line_double.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using Fault = BusDouble::Fault;

std::uint16_t Raw(double v)
{
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 10)));
}

// A bus with the several-station double on port 1.
struct Rig {
    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus{ports, clock};
    BusDouble wire{clock};
    core::Poller poller{bus};
    std::vector<std::unique_ptr<core::Controller>> controllers;
    std::vector<core::Round> rounds;

    explicit Rig(std::vector<core::Address> addresses)
    {
        EXPECT_EQ(ports.open(1, wire.factory()(), 19200), 0);
        ports.setTimeout(1, comlink::kReadTimeout);
        bus.comPort = 1;
        bus.portOpen = 1;
        std::vector<core::Controller*> list;
        for (core::Address a : addresses) {
            auto c = std::make_unique<core::Controller>();
            c->address = a;
            c->name = "stage " + std::to_string(a);
            c->params.tempScale = 10.0f;
            wire.stations[a].regs[0x1001] = Raw(a * 10.0);      // SV: ten times the address
            wire.stations[a].regs[0x1000] = Raw(a * 10.0 + 1);  // PV: one above
            list.push_back(c.get());
            controllers.push_back(std::move(c));
        }
        poller.setControllers(list);
        poller.subscribe([this](const core::Round& r) { rounds.push_back(r); });
    }
    core::Controller& at(std::size_t i) { return *controllers[i]; }
    // Rounds every `seconds`; without it each round is asked for when the
    // last one is done.
    void periodic(double seconds)
    {
        poller.setInterval(seconds);
        interval = seconds;
    }
    double interval = 0;
    // Services and waits until `n` more rounds were published; service
    // itself must never move the clock.
    void runRounds(std::size_t n)
    {
        const std::size_t target = rounds.size() + n;
        int calls = 0;
        while (rounds.size() < target) {
            if (interval == 0 && poller.idle())
                poller.requestRound();
            const double before = clock.now();
            const double next = poller.service();
            ASSERT_EQ(clock.now(), before) << "service waited";
            if (rounds.size() >= target)
                break;
            ASSERT_TRUE(std::isfinite(next)) << "nothing due with rounds asked for";
            ASSERT_GE(next, before);
            clock.sleepUntil(next);
            ASSERT_LT(++calls, 10000000);
        }
    }
};

// The chart's two verified reads, blocking, against the poller's round of one
// controller on the same line double: the same flushes, requests and waits at
// the same times, and the same values, whether answers come at once, after
// a silent first attempt, with a bad CRC every time, or not at all.
TEST(PollerOneController, RoundIsTheChartTickEventForEvent)
{
    using Script = std::vector<LineDouble::Fault>;
    const Script scripts[] = {
        {},
        {LineDouble::Fault::Silent},
        {LineDouble::Fault::Good, LineDouble::Fault::BadCrc, LineDouble::Fault::BadCrc, LineDouble::Fault::BadCrc},
        {LineDouble::Fault::Silent, LineDouble::Fault::Silent, LineDouble::Fault::Silent},
        {LineDouble::Fault::SevenBytes, LineDouble::Fault::SwappedCrc},
    };
    struct Seen {
        int kind;
        double at;
        std::vector<std::uint8_t> bytes;
        bool operator==(const Seen& o) const { return kind == o.kind && std::abs(at - o.at) < 1e-9 && bytes == o.bytes; }
    };
    auto run = [](const Script& script, bool poller, float* sv, float* pv, bool* ok) {
        io::VirtualClock clock;
        io::PortTable ports;
        comlink::Bus bus{ports, clock};
        LineDouble line(clock);
        line.serve = true;
        line.regs[0x1001] = Raw(42.5);
        line.regs[0x1000] = Raw(-3.2);
        line.faults.assign(script.begin(), script.end());
        std::vector<Seen> seen;
        // Reads are left out: the poller looks for an answer more than once.
        line.onEvent = [&](const LineDouble::Event& e) {
            if (e.kind != LineDouble::Event::Read)
                seen.push_back({static_cast<int>(e.kind), e.at, e.bytes});
        };
        ports.open(1, line.factory()(), 19200);
        ports.setTimeout(1, comlink::kReadTimeout);
        bus.comPort = 1;
                bus.portOpen = 1;
        clock.advance(5.0);
        if (!poller) {
            *ok = core::PollSV(bus, 1, 10.0f, sv) && core::PollPV(bus, 1, 10.0f, pv);
        } else {
            core::Controller c;
            c.params.tempScale = 10.0f;
            core::Poller p(bus);
            p.setControllers({&c});
            core::Round got;
            p.subscribe([&](const core::Round& r) { got = r; });
            p.requestRound();
            for (double next = p.service(); std::isfinite(next); next = p.service())
                clock.sleepUntil(next);
            EXPECT_EQ(got.entries.size(), 1u);
            *ok = c.last.valid;
            *sv = c.last.sv;
            *pv = c.last.pv;
        }
        seen.push_back({-1, clock.now(), {}});  // when it was over
        return seen;
    };
    for (std::size_t i = 0; i < std::size(scripts); ++i) {
        float sv1 = 0, pv1 = 0, sv2 = 0, pv2 = 0;
        bool ok1 = false, ok2 = false;
        const auto blocking = run(scripts[i], false, &sv1, &pv1, &ok1);
        const auto polled = run(scripts[i], true, &sv2, &pv2, &ok2);
        EXPECT_EQ(ok1, ok2) << "script " << i;
        EXPECT_TRUE(blocking == polled) << "script " << i << ": " << blocking.size() << " events against "
                                        << polled.size();
        if (ok1) {
            EXPECT_FLOAT_EQ(sv2, sv1);
            EXPECT_FLOAT_EQ(pv2, pv1);
        }
    }
}

// Answers that are not the controller's own are never its sample: one of
// another address, the adapter's echo of the request, one that comes after
// the read gave up (and would land in the next controller's read), a bad
// CRC, a short one. The next round of everyone reads true values again.
TEST(PollerIsolation, OnlyAControllersOwnAnswerIsItsSample)
{
    for (Fault f : {Fault::OtherAddress, Fault::Echo, Fault::Late, Fault::BadCrc, Fault::Short}) {
        Rig rig({1, 2, 3});
        rig.wire.stations[2].fault = f;
        rig.runRounds(1);
        const core::Round& r = rig.rounds.back();
        ASSERT_EQ(r.entries.size(), 3u);
        EXPECT_TRUE(r.entries[0].sample.valid);
        EXPECT_FALSE(r.entries[1].sample.valid) << static_cast<int>(f);
        EXPECT_TRUE(r.entries[1].sample.fault.isLinkFailure());
        EXPECT_EQ(r.entries[1].state, core::LinkState::Suspect);
        EXPECT_TRUE(r.entries[2].sample.valid) << static_cast<int>(f) << " spilled into the next read";
        rig.wire.stations[2].fault = Fault::Good;
        rig.runRounds(1);
        for (const core::RoundEntry& e : rig.rounds.back().entries) {
            ASSERT_TRUE(e.sample.valid) << static_cast<int>(f) << " address " << int(e.address);
            EXPECT_FLOAT_EQ(e.sample.sv, e.address * 10.0f);
            EXPECT_FLOAT_EQ(e.sample.pv, e.address * 10.0f + 1);
            EXPECT_EQ(e.state, core::LinkState::Online);
        }
        for (const core::Round& round : rig.rounds) {
            for (const core::RoundEntry& e : round.entries) {
                if (e.sample.valid) {
                    EXPECT_FLOAT_EQ(e.sample.pv, e.address * 10.0f + 1) << "misattributed";
                }
            }
        }
    }
}

// A silent controller among three: suspect after one missed round with one
// request per round, offline after three, then probed once per back-off
// (1, 2, 4, 8, then every 10 s); the others are read every round. When it
// answers again it is online at its next probe.
TEST(PollerIsolation, SilentControllerGoesSuspectThenOfflineAndIsProbedWithBackoff)
{
    Rig rig({1, 2, 3});
    rig.periodic(1.0);
    rig.wire.stations[2].fault = Fault::Silent;
    rig.runRounds(1);
    EXPECT_EQ(rig.at(1).state, core::LinkState::Suspect);
    // The verified read's attempts within its budget: two for silence.
    EXPECT_EQ(rig.wire.sentTo(2).size(), 2u) << "the first miss is a whole verified read";
    rig.runRounds(2);
    EXPECT_EQ(rig.at(1).state, core::LinkState::Offline);
    EXPECT_EQ(rig.wire.sentTo(2).size(), 4u) << "one attempt a round while suspect";
    EXPECT_EQ(rig.at(1).counters.missedInRow, 3);
    EXPECT_EQ(rig.at(1).counters.misses[0], 3u);

    const double offlineAt = rig.clock.now();
    const std::size_t before = rig.wire.sentTo(2).size();
    rig.runRounds(60);
    const auto probes = rig.wire.sentTo(2);
    std::vector<double> gaps;
    double last = offlineAt;
    for (std::size_t k = before; k < probes.size(); ++k) {
        gaps.push_back(probes[k].at - last);
        last = probes[k].at;
    }
    ASSERT_GE(gaps.size(), 6u);
    const double expected[] = {1, 2, 4, 8, 10, 10};
    for (std::size_t k = 0; k < 6; ++k)
        EXPECT_NEAR(gaps[k], expected[k], 1.1) << "probe " << k;
    for (std::size_t k = 0; k < gaps.size(); ++k)
        EXPECT_LE(gaps[k], 11.1);
    EXPECT_EQ(rig.at(1).state, core::LinkState::Offline);
    EXPECT_EQ(rig.at(0).counters.answered, rig.at(0).counters.rounds);
    EXPECT_EQ(rig.at(2).counters.answered, 63u);

    rig.wire.stations[2].fault = Fault::Good;
    rig.runRounds(12);
    EXPECT_EQ(rig.at(1).state, core::LinkState::Online);
    EXPECT_EQ(rig.at(1).counters.reconnections, 1u);
    EXPECT_TRUE(rig.rounds.back().entries[1].sample.valid);
    EXPECT_EQ(rig.ports.isOpen(1), true) << "a miss never closes the port";
}

// With one controller nothing is given up on: a silent one keeps its three
// attempts every round and is never left unasked.
TEST(PollerOneController, SilentControllerIsAskedEveryRoundInFull)
{
    Rig rig({4});
    rig.periodic(1.0);
    rig.wire.stations[4].fault = Fault::Silent;
    rig.runRounds(6);
    EXPECT_EQ(rig.at(0).state, core::LinkState::Offline);
    EXPECT_EQ(rig.wire.sentTo(4).size(), 12u);
}

// A transaction that wants the bus while the poller awaits an answer: the
// poller's exchange completes first (its answer is its own) and the
// transaction's request goes out after it; whenIdle runs nothing inside an
// exchange. One that comes during a read's preamble makes the read start
// its preamble again after it.
TEST(PollerBoundary, TransactionsAndIdleOpsWaitForTheExchangeInFlight)
{
    Rig rig({1, 2});
    rig.wire.stations[1].regs[0x0003] = 77;
    rig.poller.requestRound();
    // Up to controller 2's SV request.
    for (int guard = 0; rig.wire.sent.size() < 3; ++guard) {
        rig.clock.sleepUntil(rig.poller.service());
        ASSERT_LT(guard, 10000);
    }
    ASSERT_TRUE(rig.poller.busy());
    bool ranInside = true;
    std::size_t sentWhenRun = 0;
    rig.poller.whenIdle([&] {
        ranInside = rig.poller.busy();
        sentWhenRun = rig.wire.sent.size();
    });
    EXPECT_EQ(sentWhenRun, 0u) << "ran at once inside the exchange";
    const comlink::Answer a =
        comlink::GuardedTransact(rig.bus, comlink::ReadFrame(1, 0x0003, 1), comlink::ReadAnswerLength(1));
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.reg(0), 77);
    EXPECT_FALSE(rig.poller.busy());
    rig.runRounds(1);
    EXPECT_FALSE(ranInside);
    EXPECT_EQ(sentWhenRun, 4u);
    for (const core::RoundEntry& e : rig.rounds.back().entries) {
        ASSERT_TRUE(e.sample.valid);
        EXPECT_FLOAT_EQ(e.sample.sv, e.address * 10.0f);
        EXPECT_FLOAT_EQ(e.sample.pv, e.address * 10.0f + 1);
    }
    ASSERT_EQ(rig.wire.sent.size(), 5u);
    EXPECT_EQ(rig.wire.sent[3].bytes[3], 0x03);
    EXPECT_EQ(rig.wire.sent[4].bytes[0], 2);
    EXPECT_EQ(rig.wire.sent[4].bytes[3], 0x00);

    // In the preamble: flushed, waiting, nothing sent yet.
    rig.wire.sent.clear();
    rig.poller.requestRound();
    rig.clock.sleepUntil(rig.poller.service() - 0.02);
    ASSERT_TRUE(rig.wire.sent.empty());
    ASSERT_FALSE(rig.poller.busy());
    ASSERT_TRUE(comlink::GuardedTransact(rig.bus, comlink::ReadFrame(1, 0x0003, 1), 8).good());
    rig.runRounds(1);
    ASSERT_EQ(rig.wire.sent.size(), 5u);
    // The transaction's answer was read 0.05 s after its request; then the
    // whole preamble again.
    EXPECT_NEAR(rig.wire.sent[1].at - rig.wire.sent[0].at, comlink::kPostWriteDelay + comlink::kPreambleDelay, 1e-9);
    EXPECT_TRUE(rig.rounds.back().entries[0].sample.valid);
}

// Rounds begin every interval, or at once after one that took longer; a
// PV-only round reads PV alone and keeps the last SV.
TEST(PollerSchedule, IntervalAndPvOnlyRounds)
{
    Rig rig({1, 2});
    rig.periodic(0.5);
    rig.runRounds(3);
    ASSERT_EQ(rig.rounds.size(), 3u);
    // A round of two takes 2 x 0.18 s: within the interval.
    EXPECT_NEAR(rig.rounds[1].time - rig.rounds[0].time, 0.5, 1e-9);
    rig.wire.stations[1].fault = Fault::Silent;  // a round now takes over 2 s
    rig.runRounds(2);
    EXPECT_GT(rig.rounds[4].time - rig.rounds[3].time, 2.0);
    // The slow round's last answer ended it; the next began at once.
    EXPECT_NEAR(rig.rounds[4].time, rig.rounds[3].entries[1].sample.time, 1e-9);

    Rig pv({3});
    pv.runRounds(1);
    pv.wire.stations[3].regs[0x1000] = Raw(55.5);
    pv.poller.requestRound(true);
    pv.runRounds(1);
    EXPECT_TRUE(pv.rounds.back().pvOnly);
    EXPECT_EQ(pv.wire.sent.size(), 3u);
    EXPECT_FLOAT_EQ(pv.at(0).last.pv, 55.5f);
    EXPECT_FLOAT_EQ(pv.at(0).last.sv, 30.0f);
}

} // namespace
