// Automatic reconnection on real panels (offscreen), a virtual clock and the
// simulated controller behind a device that can be pulled out and put back.
#include "support/rig.h"

#include "monitor/monitor.h"
#include "rt/files.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

// The socket the adapter is plugged into: while it is out, the device fails
// every call as a pulled USB adapter does and cannot be opened; the
// controller behind it can be swapped while it is out.
struct Socket {
    std::shared_ptr<sim::Controller> controller;
    bool plugged = true;
    // Pulls the adapter while no call runs, as the device's hang-up tells it
    // between calls; empty while no device is open.
    std::function<void()> hangUp;
    const void* hangUpDevice = nullptr;  // the device hangUp belongs to
    int unplugAfterWrites = -1;          // >= 0: pulled out at the write after this many more
};

class PluggedDevice final : public io::SerialDevice {
public:
    PluggedDevice(std::shared_ptr<Socket> socket, io::Clock& clock)
        : m_socket(std::move(socket)), m_inner(sim::MakeSimDevice(m_socket->controller, clock))
    {
    }
    ~PluggedDevice() override
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
            m_inner->close();  // the device closes itself, then tells
            handler();
        };
    }
    bool isOpen() const override { return m_inner->isOpen(); }
    int write(const std::uint8_t* d, int n) override
    {
        if (m_socket->unplugAfterWrites >= 0 && m_socket->unplugAfterWrites-- == 0)
            m_socket->plugged = false;
        return m_socket->plugged ? m_inner->write(d, n) : -1;
    }
    int read(std::uint8_t* b, int max, double timeout, const io::AnswerComplete& done) override
    {
        return m_socket->plugged ? m_inner->read(b, max, timeout, done) : -1;
    }
    void flushInput() override { m_inner->flushInput(); }
    void flushOutput() override { m_inner->flushOutput(); }
    std::string description() const override { return "simulated controller on a socket"; }

private:
    std::shared_ptr<Socket> m_socket;
    std::unique_ptr<io::SerialDevice> m_inner;
};

class Reconnect : public ::testing::Test {
protected:
    TestRig rig;
    App& app = rig.app;
    rt::Runtime& rt = rig.rt;
    std::shared_ptr<Socket> socket = std::make_shared<Socket>();
    std::string logPath;

    void SetUp() override
    {
        socket->controller = rig.sim;
        auto s = socket;
        io::Clock* c = &rig.clock;
        rt.ports().bind(1, "COM1  socket", [s, c] { return std::make_unique<PluggedDevice>(s, *c); });
    }

    int parm() const { return app.panels.parm; }
    int chart() const { return app.panels.chart; }
    bool running(int panel, int timer) const
    {
        int v = 0;
        rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &v);
        return v != 0;
    }
    // Connects, opens the chart, starts a data log and plots.
    void startLoggedChart()
    {
        ASSERT_GE(rig.connect(1, 1), 0);
        rt.Commit(parm(), PARM_OPEN_CHART);
        logPath = rig.path("night.dat");
        rig.op.queueFile(2, logPath);
        rt.Commit(app.panels.logset, LOGSET_LOG_SW, 1);
        ASSERT_EQ(app.log.logging, 1);
        rt.Commit(chart(), CHART_PLOT, 1);
        ASSERT_TRUE(running(chart(), CHART_TIMER));
    }
    void chartSeconds(int n)
    {
        for (int i = 0; i < n; ++i) {
            rig.clock.advance(1.0);
            rt.Tick(chart(), CHART_TIMER);
        }
    }
    // Runs the reconnection timer once a second until the chart plots again;
    // the seconds it took, or -1 after `limit` seconds.
    int secondsUntilResumed(int limit)
    {
        for (int s = 1; s <= limit; ++s) {
            rig.clock.advance(1.0);
            rt.Tick(parm(), PARM_RECONNECT_TIMER);
            if (running(chart(), CHART_TIMER))
                return s;
        }
        return -1;
    }
    int historyCount(const std::string& what) const
    {
        return static_cast<int>(std::count_if(app.reconnect.history.begin(), app.reconnect.history.end(),
                                              [&](const std::string& l) { return l.find(what) != std::string::npos; }));
    }
    std::string status() const
    {
        std::string s;
        rt.GetCtrlVal(parm(), PARM_LINK_STATUS, &s);
        return s;
    }
    std::string noAnswer(int panel, int control) const
    {
        std::string s;
        rt.GetCtrlVal(panel, control, &s);
        return s;
    }
    // The "Link lost" sign on the main and chart panels and the status line
    // beside the LED tell the same state of the link at every moment.
    void expectDisplaysAgree(const char* when)
    {
        SCOPED_TRACE(when);
        const bool up = rig.intValue(parm(), PARM_LINK_LED) != 0;
        EXPECT_EQ(up, rt.IsComOpen(app.bus.comPort));
        for (const auto& [panel, control] : {std::pair{parm(), static_cast<int>(PARM_NO_ANSWER)},
                                             std::pair{chart(), static_cast<int>(CHART_NO_ANSWER)}}) {
            const bool linkLost = rig.visible(panel, control) && noAnswer(panel, control) == "Link lost";
            EXPECT_EQ(linkLost, !up) << "sign on panel " << panel;
        }
        const std::string st = status();
        const bool shown = rig.visible(parm(), PARM_LINK_STATUS);
        EXPECT_EQ(shown, !st.empty()) << st;
        const bool saysDown = st.rfind("Lost ", 0) == 0 || st.rfind("Port back", 0) == 0 ||
                              st.rfind("Other controller", 0) == 0;
        const bool saysUp = st.rfind("Back at", 0) == 0;
        EXPECT_TRUE(st.empty() || saysDown || saysUp) << st;
        if (up)
            EXPECT_FALSE(saysDown) << st;
        else
            EXPECT_FALSE(saysUp) << st;
        if (app.reconnect.watching)
            EXPECT_TRUE(saysDown) << "a running watch is told: " << st;
    }
    // The adapter hangs up while the port is idle: the run-time sees it from
    // the event loop, with no transaction running.
    void hangUpIdle()
    {
        rig.op.clear();
        ASSERT_TRUE(socket->hangUp);
        socket->hangUp();
        QElapsedTimer t;
        t.start();
        while (app.bus.portOpen != 0 && t.elapsed() < 2000) {
            QEventLoop loop;
            QTimer::singleShot(10, &loop, &QEventLoop::quit);
            loop.exec();
        }
        ASSERT_EQ(app.bus.portOpen, 0) << "the idle hang-up was not seen";
    }
    void unplugDuringTick()
    {
        rig.op.clear();
        socket->plugged = false;
        chartSeconds(1);  // the tick finds the adapter gone
        ASSERT_FALSE(running(chart(), CHART_TIMER));
        ASSERT_EQ(rig.intValue(parm(), PARM_LINK_LED), 0);
    }
};

struct LogLine {
    long long stamp = 0;  // seconds, comparable within a run
    double sv = 0, pv = 0;
};

// Every line after the header must be whole and in the data-log format;
// returns them parsed.
std::vector<LogLine> ReadLog(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(rt::ReadWholeFile(path, &text, nullptr, std::uint64_t{1} << 30));
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << "the last line is whole";
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line.rfind("  Date,", 0), 0u) << line;
    std::vector<LogLine> out;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0;
        float sv = 0, pv = 0;
        const int got = std::sscanf(line.c_str(), "%d/%d/%d, %d:%d:%d, %f, %f", &mo, &d, &y, &h, &mi, &s, &sv, &pv);
        EXPECT_EQ(got, 8) << "not a whole log line: '" << line << "'";
        char time[16];
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", h, mi, s);
        EXPECT_EQ(line, monitor::FormatLogLine(mo, d, y, time, sv, pv));
        out.push_back({((static_cast<long long>(y) * 13 + mo) * 32 + d) * 86400LL + h * 3600 + mi * 60 + s, sv, pv});
    }
    return out;
}

TEST_F(Reconnect, PulledAdapterComesBackAndPlottingAndLoggingResumeInTheSameFile)
{
    startLoggedChart();
    chartSeconds(3);
    const int pointsBefore = rt.StripChartPointCount(chart(), CHART_STRIPCHART);
    rig.op.clear();

    expectDisplaysAgree("connected");
    unplugDuringTick();
    EXPECT_TRUE(running(parm(), PARM_RECONNECT_TIMER));
    EXPECT_NE(status().find("Lost "), std::string::npos) << status();
    expectDisplaysAgree("lost");
    // Thirty seconds out: nothing is logged, nothing plotted, nothing said twice.
    for (int s = 0; s < 30; ++s) {
        rig.clock.advance(1.0);
        rt.Tick(parm(), PARM_RECONNECT_TIMER);
        rt.Tick(chart(), CHART_TIMER);  // a late tick of the stopped chart changes nothing either
        expectDisplaysAgree("while out");
    }
    EXPECT_FALSE(running(chart(), CHART_TIMER));

    socket->plugged = true;
    const int took = secondsUntilResumed(10);
    ASSERT_GE(took, 1);
    EXPECT_LE(took, 5);
    EXPECT_EQ(rig.intValue(parm(), PARM_LINK_LED), 1);
    EXPECT_FALSE(running(parm(), PARM_RECONNECT_TIMER)) << "the watch costs nothing once the link is back";
    EXPECT_NE(status().find("Back at"), std::string::npos) << status();
    expectDisplaysAgree("back");
    chartSeconds(3);
    expectDisplaysAgree("plotting again");

    EXPECT_TRUE(rig.op.shown().empty()) << "no popup: " << rig.op.shown().front().title;
    EXPECT_EQ(historyCount("Link lost"), 1);
    EXPECT_EQ(historyCount("Link back"), 1);
    EXPECT_GE(historyCount("data log"), 1) << "the history says what was resumed";
    EXPECT_EQ(app.log.logging, 1);
    EXPECT_GT(rt.StripChartPointCount(chart(), CHART_STRIPCHART), pointsBefore);

    const std::vector<LogLine> lines = ReadLog(logPath);
    ASSERT_EQ(lines.size(), 6u) << "three lines before the pull, three after; none for the ticks without an answer";
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_LT(lines[i - 1].stamp, lines[i].stamp) << "line " << i;
    EXPECT_GE(lines[3].stamp - lines[2].stamp, 30) << "the gap shows in the time stamps";
    const double pv = rig.sim->reg(monitor::kPvRegister) / app.params.tempScale;
    EXPECT_NEAR(lines.back().pv, pv, 0.051) << "the value logged is what the controller holds";
}

TEST_F(Reconnect, TheSameFramesGoOnTheWireAfterTheReturn)
{
    startLoggedChart();
    chartSeconds(1);
    rig.clearWire();
    chartSeconds(1);
    const auto tickFrames = rig.wire();
    ASSERT_FALSE(tickFrames.empty());

    rig.clearWire();
    rt.Commit(parm(), PARM_READ_ALL);
    const auto readAll = rig.wire();

    unplugDuringTick();
    socket->plugged = true;
    rig.clearWire();
    ASSERT_GE(secondsUntilResumed(5), 1);
    auto back = rig.wire();
    ASSERT_EQ(back.size(), 1u + readAll.size()) << "the identification, then every parameter read again";
    EXPECT_EQ(back[0], (std::vector<std::uint8_t>{0x01, 0x03, 0x1F, 0x00, 0x00, 0x01, 0x83, 0xDE}));
    back.erase(back.begin());
    EXPECT_EQ(back, readAll);
    rig.clearWire();
    chartSeconds(1);
    EXPECT_EQ(rig.wire(), tickFrames);
}

TEST_F(Reconnect, ValuesChangedWhileAwayAreReadAgainAndNamedWithoutAPopup)
{
    startLoggedChart();
    chartSeconds(1);
    const double sv = rig.value(parm(), PARM_SV);
    unplugDuringTick();
    // Someone at the controller's keypad while the cable was out.
    const double changed = sv + 4.5;
    rig.sim->setReg(0x0000, static_cast<std::uint16_t>(std::lround(changed * app.params.tempScale)));
    socket->plugged = true;
    ASSERT_GE(secondsUntilResumed(5), 1);
    EXPECT_TRUE(rig.op.shown().empty()) << "no popup: " << rig.op.shown().front().title;
    EXPECT_NEAR(rig.value(parm(), PARM_SV), changed, 1e-4) << "the panel shows what the controller holds";
    EXPECT_NE(status().find("parameters read again"), std::string::npos) << status();
    EXPECT_EQ(historyCount("1 value changed while the link was away"), 1);
    const auto line = std::find_if(app.reconnect.history.begin(), app.reconnect.history.end(),
                                   [](const std::string& l) { return l.find("Changed while away: set value") != std::string::npos; });
    ASSERT_NE(line, app.reconnect.history.end());
    char shown[32];
    std::snprintf(shown, sizeof shown, "\u2192 %.1f \u00B0C", changed);
    EXPECT_NE(line->find(shown), std::string::npos) << *line;
    EXPECT_TRUE(app.params.fromController());
    expectDisplaysAgree("read again");
    EXPECT_EQ(historyCount("VEXAMAX, identity 35"), 2) << "connected and back, named as the panel names it";
}

TEST_F(Reconnect, ALossWhileReadingAgainIsToldWithoutAPopupAndWatchedAgain)
{
    startLoggedChart();
    chartSeconds(1);
    unplugDuringTick();
    socket->plugged = true;
    socket->unplugAfterWrites = 3;  // the identification and two reads, then out again
    rig.clock.advance(1.0);
    rt.Tick(parm(), PARM_RECONNECT_TIMER);
    EXPECT_TRUE(rig.op.shown().empty()) << "no popup: " << rig.op.shown().front().title;
    EXPECT_EQ(historyCount("the link went away during the reading"), 1);
    EXPECT_TRUE(running(parm(), PARM_RECONNECT_TIMER)) << "looked for again";
    expectDisplaysAgree("lost while reading");
    socket->plugged = true;
    ASSERT_GE(secondsUntilResumed(10), 1);
    EXPECT_NE(status().find("parameters read again"), std::string::npos) << status();
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST_F(Reconnect, AnotherControllerOnThePortIsNotResumed)
{
    startLoggedChart();
    chartSeconds(2);
    unplugDuringTick();
    sim::Config other;
    other.identLow = 0x24;
    socket->controller = std::make_shared<sim::Controller>(rig.clock, other);
    socket->plugged = true;
    rig.op.clear();

    EXPECT_EQ(secondsUntilResumed(10), -1);
    EXPECT_FALSE(running(parm(), PARM_RECONNECT_TIMER)) << "the watch ends at a different controller";
    EXPECT_FALSE(rt.IsComOpen(1));
    EXPECT_EQ(rig.intValue(parm(), PARM_LINK_LED), 0);
    EXPECT_EQ(socket->controller->requests().size(), 1u) << "identified once, then left alone";
    EXPECT_NE(status().find("Other controller"), std::string::npos) << status();
    expectDisplaysAgree("another controller found");
    EXPECT_EQ(historyCount("not the one that was lost"), 1);
    EXPECT_TRUE(rig.op.shown().empty());
    EXPECT_EQ(ReadLog(logPath).size(), 2u);

    // Selecting the port takes the new controller up as the operator chose.
    ASSERT_GE(rig.connect(1, 1), 0);
    expectDisplaysAgree("the other controller selected");
    EXPECT_EQ(rig.intValue(parm(), PARM_IDENT_LO), 0x24);
    EXPECT_EQ(historyCount("Connected"), 2);
}

TEST_F(Reconnect, ASilentControllerIsToldOnceAndTakenUpWhenItAnswers)
{
    startLoggedChart();
    unplugDuringTick();
    rig.sim->faults().silent = true;  // powering up
    socket->plugged = true;
    rig.clearWire();
    EXPECT_EQ(secondsUntilResumed(20), -1);
    EXPECT_EQ(historyCount("does not answer"), 1);
    expectDisplaysAgree("silent");
    // Tries are spaced out while it stays silent: each costs a time-out.
    EXPECT_LE(rig.sim->requests().size(), 5u);
    EXPECT_GE(rig.sim->requests().size(), 3u);
    EXPECT_TRUE(running(parm(), PARM_RECONNECT_TIMER));
    rig.sim->faults().silent = false;
    // Then it refuses (still starting): not resumed, told once, tried again.
    rig.sim->faults().exceptionCode = 4;
    EXPECT_EQ(secondsUntilResumed(12), -1);
    EXPECT_EQ(historyCount("refuses"), 1);
    expectDisplaysAgree("refusing");
    EXPECT_TRUE(running(parm(), PARM_RECONNECT_TIMER));
    rig.sim->faults().exceptionCode = 0;
    const int took = secondsUntilResumed(10);
    EXPECT_GE(took, 1);
    EXPECT_LE(took, 5);
    EXPECT_TRUE(rig.op.shown().empty());
    EXPECT_EQ(historyCount("Link back"), 1);
}

TEST_F(Reconnect, NoReconnectLeavesTheLinkLost)
{
    app.reconnect.enabled = false;
    startLoggedChart();
    unplugDuringTick();
    EXPECT_FALSE(running(parm(), PARM_RECONNECT_TIMER));
    socket->plugged = true;
    rig.clearWire();
    EXPECT_EQ(secondsUntilResumed(10), -1);  // even a stray tick does nothing
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_FALSE(rt.IsComOpen(1));
    EXPECT_NE(status().find("select port"), std::string::npos) << status();
    expectDisplaysAgree("lost, no reconnection");
    // A timer's poll pops nothing up, watch or not (a modal popup would hold
    // an unattended run): the panels and the status line tell it.
    EXPECT_EQ(rig.op.count("Connection Lost"), 0);
}

TEST_F(Reconnect, HistoryButtonShowsTheLinesAndRightClickExplains)
{
    startLoggedChart();
    unplugDuringTick();
    socket->plugged = true;
    ASSERT_GE(secondsUntilResumed(5), 1);
    rig.op.clear();
    rt.FireEvent(parm(), PARM_LINK_HISTORY, rt::EVENT_COMMIT);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    const std::string& text = rig.op.shown()[0].text;
    const auto connected = text.find("Connected: port 1");
    const auto lost = text.find("Link lost: port 1");
    const auto back = text.find("Link back: port 1");
    EXPECT_NE(connected, std::string::npos) << text;
    EXPECT_LT(connected, lost);
    EXPECT_LT(lost, back);
    EXPECT_NE(back, std::string::npos) << text;
    rt.FireEvent(parm(), PARM_LINK_HISTORY, rt::EVENT_RIGHT_CLICK);
    ASSERT_EQ(rig.op.shown().size(), 2u);
    EXPECT_NE(rig.op.shown()[1].text.find("--no-reconnect"), std::string::npos);
}

// The main panel's PV reading comes back with the link, unless the operator
// switched it off while the link was down.
TEST_F(Reconnect, PvReadingResumesUnlessSwitchedOffMeanwhile)
{
    for (const bool switchOff : {false, true}) {
        ASSERT_GE(rig.connect(1, 1), 0);
        rt.Commit(parm(), PARM_PV_READ, 1);
        ASSERT_TRUE(running(parm(), PARM_PV_TIMER));
        socket->plugged = false;
        rig.clock.advance(1.0);
        rt.Tick(parm(), PARM_PV_TIMER);
        ASSERT_FALSE(running(parm(), PARM_PV_TIMER)) << switchOff;
        ASSERT_TRUE(running(parm(), PARM_RECONNECT_TIMER)) << switchOff;
        if (switchOff)
            rt.Commit(parm(), PARM_PV_READ, 0);
        socket->plugged = true;
        for (int s = 0; s < 5 && running(parm(), PARM_RECONNECT_TIMER); ++s) {
            rig.clock.advance(1.0);
            rt.Tick(parm(), PARM_RECONNECT_TIMER);
        }
        EXPECT_EQ(rig.intValue(parm(), PARM_LINK_LED), 1) << switchOff;
        EXPECT_EQ(running(parm(), PARM_PV_TIMER), !switchOff);
        if (!switchOff) {
            rig.sim->setReg(monitor::kPvRegister, 315);
            rig.clock.advance(1.0);
            rt.Tick(parm(), PARM_PV_TIMER);
            EXPECT_NEAR(rig.value(parm(), PARM_PV), 31.5, 0.6) << "the PV shown comes from the controller again";
        }
        EXPECT_FALSE(running(chart(), CHART_TIMER)) << "what did not run is not started";
    }
    EXPECT_EQ(historyCount("Link back"), 2);
}

TEST_F(Reconnect, SelectingAPortWhileLostEndsTheWatch)
{
    startLoggedChart();
    unplugDuringTick();
    ASSERT_TRUE(running(parm(), PARM_RECONNECT_TIMER));
    // The operator picks the port while the adapter is still out: told as before.
    EXPECT_LT(rig.connect(1, 1), 0);
    EXPECT_EQ(historyCount("ended: a port was selected"), 1);
    EXPECT_EQ(status(), "") << "nothing is retried any more";
    expectDisplaysAgree("port selected while out");
    EXPECT_FALSE(running(parm(), PARM_RECONNECT_TIMER));
    socket->plugged = true;
    EXPECT_EQ(secondsUntilResumed(5), -1) << "only the operator's selection connects now";
    EXPECT_GE(rig.connect(1, 1), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_LINK_LED), 1);
    expectDisplaysAgree("port selected again");
}

// An idle port that hangs up (seen by the run-time, not by a transaction)
// starts the watch once, with what ran recorded before it was stopped, and
// the return clears "Link lost".
TEST_F(Reconnect, IdleHangUpStartsTheWatchOnceAndTheReturnClearsLinkLost)
{
    startLoggedChart();
    chartSeconds(2);
    rt.SetCtrlAttribute(parm(), PARM_ALARM_TIMER, rt::ATTR_ENABLED, 1);
    hangUpIdle();
    EXPECT_FALSE(rt.IsComOpen(1));
    EXPECT_FALSE(running(chart(), CHART_TIMER));
    EXPECT_FALSE(running(parm(), PARM_ALARM_TIMER));
    EXPECT_TRUE(running(parm(), PARM_RECONNECT_TIMER));
    EXPECT_EQ(historyCount("Link lost"), 1);
    EXPECT_TRUE(rig.op.shown().empty()) << rig.op.shown().front().title;
    expectDisplaysAgree("idle hang-up");
    // A poll ticking late meets the closed port: no second loss, no popup.
    rt.Tick(chart(), CHART_TIMER);
    rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_EQ(historyCount("Link lost"), 1);
    EXPECT_TRUE(rig.op.shown().empty()) << rig.op.shown().front().title;

    socket->plugged = true;
    const int took = secondsUntilResumed(10);
    ASSERT_GE(took, 1);
    EXPECT_LE(took, 5);
    EXPECT_TRUE(running(parm(), PARM_ALARM_TIMER)) << "what ran at the hang-up runs again";
    EXPECT_FALSE(rig.visible(parm(), PARM_NO_ANSWER));
    EXPECT_FALSE(rig.visible(chart(), CHART_NO_ANSWER));
    EXPECT_NE(noAnswer(parm(), PARM_NO_ANSWER), "Link lost");
    expectDisplaysAgree("back after the hang-up");
    EXPECT_EQ(historyCount("Link back"), 1);

    // A second hang-up is a second loss, told and watched once again.
    hangUpIdle();
    EXPECT_EQ(historyCount("Link lost"), 2);
    expectDisplaysAgree("second hang-up");
    socket->plugged = true;
    ASSERT_GE(secondsUntilResumed(5), 1);
    expectDisplaysAgree("back again");
}

// ---- finding the same device again ----

TEST(DeviceIdentity, AUsbAdapterIsFoundByItsSerialNameUnderAnotherTtyNumber)
{
    namespace fs = std::filesystem;
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    fs::create_directory(root / "by-id");
    std::ofstream(root / "ttyUSB0") << "";
    std::ofstream(root / "ttyS0") << "";
    const fs::path link = root / "by-id" / "usb-FTDI_FT232R_A1B2C3-if00-port0";
    fs::create_symlink("../ttyUSB0", link);

    EXPECT_EQ(reconnect::FindById((root / "ttyUSB0").string(), (root / "by-id").string()), link.string());
    EXPECT_EQ(reconnect::FindById((root / "ttyS0").string(), (root / "by-id").string()), "");
    EXPECT_EQ(reconnect::FindById((root / "absent").string(), (root / "by-id").string()), "");
    EXPECT_EQ(reconnect::FindById((root / "ttyUSB0").string(), (root / "no-folder").string()), "");

    // Pulled: the name goes with the device.
    fs::remove(link);
    fs::remove(root / "ttyUSB0");
    EXPECT_EQ(reconnect::LocateDevice((root / "ttyUSB0").string(), link.string()), "");
    // Back as ttyUSB1: the adapter is followed, not the old path.
    std::ofstream(root / "ttyUSB1") << "";
    fs::create_symlink("../ttyUSB1", link);
    EXPECT_EQ(reconnect::LocateDevice((root / "ttyUSB0").string(), link.string()),
              fs::canonical(root / "ttyUSB1").string());
    // Another adapter that took ttyUSB0 is not it.
    std::ofstream(root / "ttyUSB0") << "";
    EXPECT_EQ(reconnect::LocateDevice((root / "ttyUSB0").string(), link.string()),
              fs::canonical(root / "ttyUSB1").string());
    // A device without a serial name is looked for by its path.
    EXPECT_EQ(reconnect::LocateDevice((root / "ttyS0").string(), ""), (root / "ttyS0").string());
    EXPECT_EQ(reconnect::LocateDevice((root / "ttyS1").string(), ""), "");
}

} // namespace
