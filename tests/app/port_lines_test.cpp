// Controllers on several ports in the window, on real panels (offscreen), a
// virtual clock and simulated controllers: the window's port holds the
// selected controller, another port's line its own. A port pulled out takes
// only its own controllers offline; when it is back each controller that
// answers as before is polled again and the others stay offline with the
// reason; the connection history names each controller.
#include "app/overview.h"
#include "app/port_lines.h"
#include "rt/table.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// A socket for an adapter with several controllers on its line: while it is
// out the device fails every call and cannot be opened; the controllers
// behind it can be swapped meanwhile.
struct Socket {
    std::vector<std::shared_ptr<sim::Controller>> controllers;
    bool plugged = true;
    std::function<void()> hangUp;  // pulls it out while no call runs (the run-time sees it idle)
    const void* hangUpDevice = nullptr;  // the device hangUp belongs to
};

class PluggedLine final : public io::SerialDevice {
public:
    PluggedLine(std::shared_ptr<Socket> socket, io::Clock& clock)
        : m_socket(std::move(socket)), m_inner(sim::MakeSimDevice(m_socket->controllers, clock))
    {
    }
    ~PluggedLine() override
    {
        if (m_socket->hangUpDevice == this) {
            m_socket->hangUp = nullptr;
            m_socket->hangUpDevice = nullptr;
        }
    }
    bool open(int baud) override { return m_socket->plugged && m_inner->open(baud); }
    void close() override { m_inner->close(); }
    void setLostHandler(std::function<void()> handler) override
    {
        m_socket->hangUpDevice = this;
        m_socket->hangUp = [this, handler] {
            m_socket->plugged = false;
            m_inner->close();
            handler();
        };
    }
    bool isOpen() const override { return m_inner->isOpen(); }
    int write(const std::uint8_t* d, int n) override { return m_socket->plugged ? m_inner->write(d, n) : -1; }
    int read(std::uint8_t* b, int max, double timeout, const io::AnswerComplete& done) override
    {
        return m_socket->plugged ? m_inner->read(b, max, timeout, done) : -1;
    }
    void flushInput() override { m_inner->flushInput(); }
    void flushOutput() override { m_inner->flushOutput(); }
    std::string description() const override { return "simulated controllers on a socket"; }

private:
    std::shared_ptr<Socket> m_socket;
    std::unique_ptr<io::SerialDevice> m_inner;
};

// Port 1: "Stage A" at address 1 (the rig's controller, selected), and
// "Stage D" at address 4 beside it when `fourOnOne`. Port 2, on its own
// socket: "Stage B" at address 2 and "Stage C" at address 3.
class PortLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        app.settingsFile = rig.path("tecontrol.conf");
        port2->controllers = sim::MakeControllers(rig.clock, {2, 3});
        port2->controllers[0]->setReg(monitor::kPvRegister, 412);
        port2->controllers[1]->setReg(monitor::kPvRegister, 523);
        bindSocket(2, port2);
        controllers::Add(app.controllers, 1, 1, "Stage A");
        controllers::Add(app.controllers, 2, 2, "Stage B");
        controllers::Add(app.controllers, 2, 3, "Stage C");
    }
    void bindSocket(int port, std::shared_ptr<Socket> s)
    {
        io::Clock* c = &rig.clock;
        rt.ports().bind(port, "COM" + std::to_string(port) + "  socket",
                        [s, c] { return std::make_unique<PluggedLine>(s, *c); });
    }
    void startChart()
    {
        ASSERT_GE(rig.connect(1, 1), 0);
        ASSERT_EQ(app.controllers.selected, 0);
        rt.Commit(rig.parm(), PARM_OPEN_CHART);
        rt.Commit(app.panels.chart, CHART_PLOT, 1);
        ASSERT_TRUE(running(app.panels.chart, CHART_TIMER));
    }
    bool running(int panel, int timer) const
    {
        int v = 0;
        rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &v);
        return v != 0;
    }
    void chartSeconds(int n)
    {
        for (int i = 0; i < n; ++i) {
            rig.clock.advance(1.0);
            rt.Tick(app.panels.chart, CHART_TIMER);
        }
    }
    void reconnectSeconds(int n)
    {
        for (int i = 0; i < n; ++i) {
            rig.clock.advance(1.0);
            if (running(rig.parm(), PARM_RECONNECT_TIMER))
                rt.Tick(rig.parm(), PARM_RECONNECT_TIMER);
        }
    }
    core::Controller& entry(int port, int address) const
    {
        core::Controller* c = app.controllers.at(app.controllers.find(port, address));
        EXPECT_NE(c, nullptr);
        return *c;
    }
    int historyCount(const std::string& what) const
    {
        const auto& h = app.reconnect.history;
        return static_cast<int>(
            std::count_if(h.begin(), h.end(), [&](const std::string& l) { return l.find(what) != std::string::npos; }));
    }
    // Requests addressed to `address` among those the line's controllers heard.
    static int requestsTo(const Socket& s, int address)
    {
        const auto& r = s.controllers.front()->requests();
        return static_cast<int>(
            std::count_if(r.begin(), r.end(), [&](const std::vector<std::uint8_t>& f) { return f.at(0) == address; }));
    }
    std::string overviewState(int row)
    {
        overview::Refresh(app);
        return rt::GetTableCell(rt, app.panels.overview, OVERVIEW_TABLE, row, 7);
    }
    // Both controllers on port 2 give what they hold, from this tick.
    void expectPort2Read(const char* when)
    {
        SCOPED_TRACE(when);
        for (int address : {2, 3}) {
            const core::Controller& c = entry(2, address);
            EXPECT_EQ(c.state, core::LinkState::Online) << address;
            EXPECT_TRUE(c.last.valid) << address;
            const double pv = port2->controllers[static_cast<std::size_t>(address - 2)]->reg(monitor::kPvRegister) / 10.0;
            EXPECT_NEAR(c.last.pv, pv, 0.3) << address;  // the plant moves on; a wrong scale is off tenfold
            EXPECT_NEAR(c.last.time, rig.clock.now(), 0.9) << "sampled on this tick: " << address;
        }
    }

    TestRig rig;
    App& app = rig.app;
    rt::Runtime& rt = rig.rt;
    std::shared_ptr<Socket> port2 = std::make_shared<Socket>();
};

TEST_F(PortLines, AnotherPortIsPolledOnTheChartsTickAndItsLossTakesOnlyItsControllersOffline)
{
    startChart();
    chartSeconds(2);
    expectPort2Read("polled beside the window's port");
    ASSERT_TRUE(rt.IsComOpen(2));
    EXPECT_EQ(historyCount("Stage B [2]: connected on port 2, VEXAMAX, identity 35"), 1);
    EXPECT_FALSE(running(rig.parm(), PARM_RECONNECT_TIMER)) << "nothing to look for";

    // Port 2 pulled out: found by its next round.
    rig.op.clear();
    port2->plugged = false;
    const int points = rt.StripChartPointCount(app.panels.chart, CHART_STRIPCHART);
    chartSeconds(3);
    EXPECT_TRUE(rig.op.shown().empty()) << "no popup: " << rig.op.shown().front().title;
    for (int address : {2, 3}) {
        EXPECT_EQ(entry(2, address).state, core::LinkState::Offline) << address;
        EXPECT_FALSE(entry(2, address).last.valid) << address;
        EXPECT_EQ(ports::Why(app, entry(2, address)), "port lost");
    }
    EXPECT_EQ(historyCount("Stage B [2]: lost with port 2"), 1);
    EXPECT_EQ(historyCount("Stage C [3]: lost with port 2"), 1);
    // The window's port plots on as before; its controller is not held.
    EXPECT_TRUE(running(app.panels.chart, CHART_TIMER));
    EXPECT_EQ(rt.StripChartPointCount(app.panels.chart, CHART_STRIPCHART), points + 3);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 1);
    EXPECT_EQ(entry(1, 1).state, core::LinkState::Online);
    EXPECT_EQ(ports::Why(app, entry(1, 1)), "");
    EXPECT_FALSE(rig.visible(rig.parm(), PARM_LINK_STATUS)) << "the window's link status is its own port's";
    EXPECT_TRUE(running(rig.parm(), PARM_RECONNECT_TIMER));
    rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    EXPECT_EQ(overviewState(1).rfind("offline, port lost", 0), 0u) << overviewState(1);
    EXPECT_EQ(overviewState(0).rfind("online", 0), 0u) << overviewState(0);

    // Out for a while: looked for once a second, nothing said twice.
    reconnectSeconds(10);
    chartSeconds(2);
    EXPECT_EQ(historyCount("lost with port 2"), 2);
    EXPECT_EQ(entry(2, 2).state, core::LinkState::Offline);

    // Back: each identified again, then polled on the next tick.
    port2->plugged = true;
    port2->controllers[0]->setReg(monitor::kPvRegister, 430);
    reconnectSeconds(1);
    EXPECT_EQ(historyCount("Stage B [2]: back with port 2"), 1);
    EXPECT_EQ(historyCount("Stage C [3]: back with port 2"), 1);
    EXPECT_FALSE(running(rig.parm(), PARM_RECONNECT_TIMER)) << "the watch costs nothing once the port is back";
    chartSeconds(1);
    expectPort2Read("back");
    EXPECT_GE(entry(2, 2).counters.reconnections, 1u);
    EXPECT_EQ(overviewState(1).rfind("online", 0), 0u) << overviewState(1);
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST_F(PortLines, OneThatAnswersAsAnotherControllerOrNotAtAllStaysOfflineWithTheReason)
{
    startChart();
    chartSeconds(1);
    port2->plugged = false;
    chartSeconds(1);
    ASSERT_EQ(ports::Why(app, entry(2, 3)), "port lost");

    // While it was out Stage C was swapped for another model; Stage B powers up slowly.
    sim::Config other;
    other.address = 3;
    other.modelCode = 0xF0;
    port2->controllers[1] = std::make_shared<sim::Controller>(rig.clock, other);
    port2->controllers[0]->faults().silent = true;
    port2->plugged = true;
    reconnectSeconds(1);
    EXPECT_EQ(ports::Why(app, entry(2, 3)), "another controller answers");
    EXPECT_EQ(ports::Why(app, entry(2, 2)), "no answer");
    EXPECT_EQ(historyCount("Stage C [3]: answers as another controller on port 2 (VEXA, identity 35), not the one "
                           "polled before (VEXAMAX, identity 35)"),
              1);
    EXPECT_EQ(historyCount("Stage B [2]: port 2 is back but the controller does not answer"), 1);
    rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    EXPECT_EQ(overviewState(2).rfind("offline, another controller answers", 0), 0u) << overviewState(2);
    EXPECT_EQ(overviewState(1).rfind("offline, no answer", 0), 0u) << overviewState(1);

    // Neither is polled; the silent one is asked again every few seconds, the other one never.
    port2->controllers[0]->clearRequests();
    chartSeconds(3);
    EXPECT_EQ(requestsTo(*port2, 2), 0);
    EXPECT_EQ(requestsTo(*port2, 3), 0);
    EXPECT_TRUE(running(rig.parm(), PARM_RECONNECT_TIMER));
    reconnectSeconds(10);
    EXPECT_GE(requestsTo(*port2, 2), 1);
    EXPECT_LE(requestsTo(*port2, 2), 2) << "asked again only every few seconds";
    EXPECT_EQ(requestsTo(*port2, 3), 0);
    EXPECT_EQ(historyCount("does not answer"), 1) << "told once";

    // Stage B answers at last: polled again; Stage C stays out.
    port2->controllers[0]->faults().silent = false;
    reconnectSeconds(5);
    EXPECT_EQ(ports::Why(app, entry(2, 2)), "");
    EXPECT_EQ(historyCount("Stage B [2]: answers again on port 2"), 1);
    chartSeconds(1);
    EXPECT_TRUE(entry(2, 2).last.valid);
    EXPECT_EQ(entry(2, 3).state, core::LinkState::Offline);
    EXPECT_EQ(requestsTo(*port2, 3), 0);
    EXPECT_FALSE(running(rig.parm(), PARM_RECONNECT_TIMER)) << "nothing left to ask again";
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST_F(PortLines, AnIdleHangUpOfAnotherPortIsThatPortsLossOnly)
{
    startChart();
    chartSeconds(1);
    ASSERT_TRUE(port2->hangUp);
    port2->hangUp();
    QElapsedTimer t;
    t.start();
    while (ports::Why(app, entry(2, 2)).empty() && t.elapsed() < 2000) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_EQ(ports::Why(app, entry(2, 2)), "port lost");
    EXPECT_TRUE(rt.IsComOpen(1));
    EXPECT_TRUE(running(app.panels.chart, CHART_TIMER));
    EXPECT_EQ(app.reconnect.watching, false) << "the window's own link was not lost";
    port2->plugged = true;
    reconnectSeconds(1);
    chartSeconds(1);
    expectPort2Read("back after the hang-up");
}

TEST_F(PortLines, ALinesPortClosedUnderItIsTakenForLostAndOpenedAgain)
{
    startChart();
    chartSeconds(1);
    ASSERT_TRUE(rt.IsComOpen(2));
    rt.CloseCom(2);
    chartSeconds(1);
    EXPECT_EQ(ports::Why(app, entry(2, 3)), "port lost");
    reconnectSeconds(1);
    chartSeconds(1);
    expectPort2Read("opened again");
}

TEST_F(PortLines, SelectingAControllerOnAnotherPortHandsThatPortOver)
{
    startChart();
    chartSeconds(1);
    ASSERT_TRUE(rt.IsComOpen(2));
    rig.sim->clearRequests();
    ASSERT_GE(overview::Select(app, 1), 0);  // Stage B on port 2
    EXPECT_EQ(app.bus.comPort, 2);
    EXPECT_EQ(app.controller.address, 2);
    EXPECT_TRUE(rt.IsComOpen(2));
    EXPECT_FALSE(rt.IsComOpen(1)) << "the port the window left is closed until its line is made";
    EXPECT_TRUE(rig.op.shown().empty());
    // Port 1 becomes a line at the next tick: Stage A identified and polled there.
    rig.sim->setReg(monitor::kPvRegister, 377);
    chartSeconds(1);
    EXPECT_TRUE(rt.IsComOpen(1));
    EXPECT_EQ(rig.sim->requests().front(), (std::vector<std::uint8_t>{0x01, 0x03, 0x1F, 0x00, 0x00, 0x01, 0x83, 0xDE}))
        << "the line identifies Stage A first";
    EXPECT_TRUE(entry(1, 1).last.valid);
    EXPECT_NEAR(entry(1, 1).last.pv, 37.7, 0.051);
    EXPECT_TRUE(entry(2, 3).last.valid) << "Stage C, beside the selected one on the window's port";
    // And back: port 2 is a line again.
    ASSERT_GE(overview::Select(app, 0), 0);
    chartSeconds(1);
    expectPort2Read("after selecting back");
}

// The window's own port with two controllers: the one beside the selected
// one goes offline with it and is identified again when it comes back.
TEST_F(PortLines, TheOtherControllersOnTheWindowsPortComeBackWithIt)
{
    auto port1 = std::make_shared<Socket>();
    port1->controllers = {rig.sim, std::make_shared<sim::Controller>(rig.clock, [] {
                              sim::Config c;
                              c.address = 4;
                              return c;
                          }())};
    bindSocket(1, port1);
    controllers::Add(app.controllers, 1, 4, "Stage D");
    startChart();
    chartSeconds(1);
    port1->plugged = false;
    chartSeconds(1);
    ASSERT_TRUE(app.reconnect.watching);
    EXPECT_EQ(ports::Why(app, entry(1, 4)), "port lost");
    EXPECT_EQ(historyCount("Stage D [4]: lost with port 1"), 1);
    EXPECT_EQ(ports::Why(app, entry(2, 2)), "") << "another port's controllers are not held";
    // The window's ticks are stopped; the other port is read on from the reconnection timer.
    reconnectSeconds(1);
    expectPort2Read("while the window's port is out");

    sim::Config other;
    other.address = 4;
    other.identLow = 0x30;
    port1->controllers[1] = std::make_shared<sim::Controller>(rig.clock, other);
    port1->plugged = true;
    for (int s = 0; s < 5 && app.reconnect.watching; ++s)
        reconnectSeconds(1);
    ASSERT_FALSE(app.reconnect.watching);
    EXPECT_EQ(ports::Why(app, entry(1, 4)), "another controller answers");
    EXPECT_EQ(historyCount("Stage D [4]: answers as another controller on port 1 (VEXAMAX, identity 48)"), 1);
    EXPECT_EQ(entry(1, 4).state, core::LinkState::Offline);
    EXPECT_TRUE(rig.op.shown().empty());

    // The right one put back and the port pulled and replugged once more: it resumes.
    port1->plugged = false;
    chartSeconds(1);
    port1->controllers[1] = std::make_shared<sim::Controller>(rig.clock, [] {
        sim::Config c;
        c.address = 4;
        return c;
    }());
    port1->plugged = true;
    for (int s = 0; s < 5 && app.reconnect.watching; ++s)
        reconnectSeconds(1);
    EXPECT_EQ(ports::Why(app, entry(1, 4)), "");
    EXPECT_EQ(entry(1, 4).state, core::LinkState::Online);
    EXPECT_EQ(historyCount("Stage D [4]: back with port 1"), 1);
}

TEST_F(PortLines, AScanOfAnotherPortLeavesTheWindowsPortAndItsChartAlone)
{
    auto port3 = std::make_shared<Socket>();
    port3->controllers = sim::MakeControllers(rig.clock, {5});
    bindSocket(3, port3);
    startChart();
    chartSeconds(1);
    rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    const int ov = app.panels.overview;
    auto scan = [&](int port, int first, int last) {
        rt.SetCtrlVal(ov, OVERVIEW_PORT, port);
        rt.SetCtrlVal(ov, OVERVIEW_SCAN_FROM, first);
        rt.SetCtrlVal(ov, OVERVIEW_SCAN_TO, last);
        rt.Commit(ov, OVERVIEW_SCAN);
        for (int i = 0; i < 100 && app.overviewState.scanning; ++i)
            rt.Tick(ov, OVERVIEW_SCAN_TIMER);
        ASSERT_FALSE(app.overviewState.scanning);
    };
    scan(3, 4, 6);
    EXPECT_TRUE(rig.op.shown().empty()) << rig.op.shown().front().text;
    ASSERT_GE(app.controllers.find(3, 5), 0);
    const auto& heard = port3->controllers[0]->requests();
    ASSERT_EQ(heard.size(), 3u);
    for (const auto& f : heard)
        EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 1, f.begin() + 6),
                  (std::vector<std::uint8_t>{0x03, 0x1F, 0x00, 0x00, 0x01}))
            << "the scan only reads identities";
    EXPECT_FALSE(rt.IsComOpen(3)) << "closed after the scan until its line is made";
    EXPECT_EQ(app.bus.comPort, 1);
    EXPECT_TRUE(rt.IsComOpen(1));
    EXPECT_EQ(app.controllers.selected, 0) << "the window's controller stays selected";
    chartSeconds(1);
    EXPECT_TRUE(entry(3, 5).last.valid) << "the port found becomes a line";

    // A line's port is scanned through the line: nothing is closed under it.
    scan(2, 1, 4);
    EXPECT_EQ(app.controllers.size(), 4);
    EXPECT_TRUE(rt.IsComOpen(2));
    chartSeconds(1);
    expectPort2Read("after the scan of its port");
}

TEST_F(PortLines, OneControllerConfiguredMakesNoLine)
{
    app.controllers.entries.resize(1);
    startChart();
    chartSeconds(2);
    EXPECT_TRUE(app.lines.lines.empty());
    EXPECT_FALSE(rt.IsComOpen(2));
    EXPECT_TRUE(port2->controllers[0]->requests().empty()) << "nothing goes to another port";
}

} // namespace
