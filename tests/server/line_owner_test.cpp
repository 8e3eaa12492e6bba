// The headless line owner against tecsim on a pseudo-terminal, several
// controllers on the line: the hub gets every round with the answering
// controllers' readings while one is silent (which is only probed now and
// then), a write goes through between exchanges while the rounds run, and
// readings of a controller that never identified are not served.
#include "server/hub.h"
#include "server/line_owner.h"
#include "support/tecsim_child.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string TempDir()
{
    char name[] = "/tmp/line-owner-test-XXXXXX";
    const char* d = ::mkdtemp(name);
    return d ? d : "/tmp";
}

// Runs the event loop until done() holds or the deadline passed.
bool Spin(const std::function<bool()>& done, double seconds)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The requests tecsim got for one address, as hex, in order.
std::vector<std::string> To(const testsupport::TecsimChild& sim, int address)
{
    char prefix[4];
    std::snprintf(prefix, sizeof prefix, "%02X", address);
    std::vector<std::string> out;
    for (const std::string& r : sim.requests())
        if (r.compare(0, 2, prefix) == 0)
            out.push_back(r);
    return out;
}

TEST(LineOwner, RoundsGoOnWhileOneControllerIsSilentAndAWriteGoesThrough)
{
    const std::string dir = TempDir();
    testsupport::TecsimChild sim(dir, {"--addresses", "1-3", "--fault", "2:silent", "--set", "1:0x0000=100", "--set",
                                       "3:0x0000=300"});
    ASSERT_FALSE(sim.device.empty());
    server::Hub hub;
    server::LineOwner::Setup setup;
    setup.device = sim.device;
    setup.addresses = {1, 2, 3};
    setup.interval = 0.2;
    server::LineOwner owner(hub, setup);
    QString error;
    ASSERT_TRUE(owner.start(&error)) << error.toStdString();

    int rounds = 0, bothRead = 0;
    hub.subscribe([&](const server::RoundNote&) {
        ++rounds;
        bothRead += hub.find(1)->last.valid && hub.find(3)->last.valid ? 1 : 0;
    });
    ASSERT_TRUE(Spin([&] { return rounds >= 6; }, 60)) << rounds;

    // A write while the rounds run: done between two exchanges, and the
    // rounds after it read what it wrote.
    bool written = false;
    server::WriteRequest request;
    request.address = 3;
    request.values = {{"sv", "31.5"}};
    hub.submit(request, [&](const server::WriteResult& r) {
        EXPECT_EQ(r.status, server::WriteResult::Status::Done) << r.message;
        written = true;
    });
    ASSERT_TRUE(Spin([&] { return written; }, 30));
    const int after = rounds;
    ASSERT_TRUE(Spin([&] { return rounds >= after + 2 && rounds >= 15; }, 60)) << rounds;
    EXPECT_FLOAT_EQ(hub.find(3)->last.sv, 31.5f);
    EXPECT_FLOAT_EQ(hub.find(1)->last.sv, 10.0f);

    EXPECT_EQ(bothRead, rounds);
    const core::Controller& silent = *hub.find(2);
    EXPECT_EQ(silent.state, core::LinkState::Offline);
    EXPECT_FALSE(silent.last.valid);
    EXPECT_EQ(silent.last.fault.kind, comlink::FaultKind::Silent);
    // Identification at the start, then only the probe's one SV read now and
    // then: far fewer than one per round, never a PV read.
    const std::vector<std::string> asked = To(sim, 2);
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(asked[0].substr(0, 11), "02 03 1F 00");
    for (std::size_t k = 1; k < asked.size(); ++k)
        EXPECT_EQ(asked[k].substr(0, 11), "02 03 10 01") << k;
    EXPECT_LE(silent.counters.rounds, 6u);
    EXPECT_LT(asked.size(), static_cast<std::size_t>(rounds) / 2);
    EXPECT_EQ(silent.counters.answered, 0u);
    EXPECT_EQ(hub.find(1)->counters.answered, hub.find(1)->counters.rounds);
}

// A write the controller refuses part-way: the record takes exactly what
// the controller did (the rounds read SV and PV only, so nothing else would
// ever correct it).
TEST(LineOwner, AWriteRefusedPartWayKeepsWhatTheControllerTook)
{
    const std::string dir = TempDir();
    // The controller takes no set value above 50.0.
    testsupport::TecsimChild sim(dir, {"--set", "1:0x002D=500", "--set", "1:0x001A=700"});
    ASSERT_FALSE(sim.device.empty());
    server::Hub hub;
    server::LineOwner::Setup setup;
    setup.device = sim.device;
    setup.interval = 0.2;
    server::LineOwner owner(hub, setup);
    QString error;
    ASSERT_TRUE(owner.start(&error)) << error.toStdString();
    // The read-all of the start reaches the record on this thread.
    ASSERT_TRUE(Spin([&] { return hub.find(1)->params.fromController(); }, 30));
    ASSERT_FLOAT_EQ(hub.find(1)->params.alarmHigh, 70.0f);
    const float svBefore = hub.find(1)->params.setValue;

    server::WriteRequest request;
    request.values = {{"alarm-high", "60"}, {"sv", "55"}};
    bool answered = false;
    server::WriteResult result;
    hub.submit(request, [&](const server::WriteResult& r) {
        result = r;
        answered = true;
    });
    ASSERT_TRUE(Spin([&] { return answered; }, 30));
    EXPECT_EQ(result.status, server::WriteResult::Status::Refused) << result.message;
    ASSERT_EQ(result.taken.size(), 1u);
    EXPECT_EQ(result.taken[0].first, "alarm-high");
    EXPECT_NE(result.document.find("alarm-high"), std::string::npos) << result.document;
    EXPECT_FLOAT_EQ(hub.find(1)->params.alarmHigh, 60.0f);
    EXPECT_FLOAT_EQ(hub.find(1)->params.setValue, svBefore);
}

TEST(LineOwner, ReadingsOfAControllerThatDidNotIdentifyAreNotServed)
{
    const std::string dir = TempDir();
    // Address 2 answers every read, but as another model.
    testsupport::TecsimChild sim(dir, {"--addresses", "1,2", "--model", "2:0x12"});
    ASSERT_FALSE(sim.device.empty());
    server::Hub hub;
    server::LineOwner::Setup setup;
    setup.device = sim.device;
    setup.addresses = {1, 2};
    setup.interval = 0.2;
    server::LineOwner owner(hub, setup);
    QString error;
    ASSERT_TRUE(owner.start(&error)) << error.toStdString();
    int rounds = 0, served = 0;
    hub.subscribe([&](const server::RoundNote&) {
        ++rounds;
        served += hub.find(2)->last.valid ? 1 : 0;
    });
    ASSERT_TRUE(Spin([&] { return rounds >= 4; }, 60)) << rounds;
    EXPECT_EQ(served, 0);
    EXPECT_FALSE(hub.find(2)->identity.known);
    EXPECT_TRUE(hub.find(1)->last.valid);
    // Each time it answered a probe it was asked to identify again.
    int identifications = 0;
    for (const std::string& r : To(sim, 2))
        identifications += r.compare(0, 11, "02 03 1F 00") == 0 ? 1 : 0;
    EXPECT_GE(identifications, 2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
