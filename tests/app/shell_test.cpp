// Start-up, the two ways of ending, help popups, closing windows and the
// debug panel.
#include "support/line_double.h"
#include "app/help_texts.h"
#include "app/shell.h"
#include "link/transact.h"
#include "rt/files.h"
#include "support/rig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

constexpr int kPort = 2;

std::vector<std::uint8_t> Sealed(const std::string& hex)
{
    std::vector<std::uint8_t> b = Bytes(hex);
    const comlink::Crc crc = comlink::CalcCRC16(b.data(), static_cast<int>(b.size()));
    b.push_back(crc.lo);
    b.push_back(crc.hi);
    return b;
}

// Logging on, as the Log switch leaves it: the file open in the rig's folder.
void StartLogging(TestRig& rig)
{
    rig.app.log.logFile = std::make_shared<rt::TextLog>();
    ASSERT_TRUE(rig.app.log.logFile->open(rig.path("run.dat"), false));
    rig.app.log.logPath = rig.path("run.dat");
    rig.app.log.logging = 1;
}

// A rig whose link is open on a scripted line, as after an accepted identification.
class ShellTest : public ::testing::Test {
protected:
    ShellTest() : line(rig.clock)
    {
        rig.rt.ports().bind(kPort, "scripted", line.factory());
        EXPECT_EQ(rig.rt.OpenComConfig(kPort, "", 19200, 0, 8, 1, 255, 255), 0);
        rig.rt.SetComTime(kPort, 1.0);
        rig.app.bus.comPort = kPort;
        rig.app.bus.portOpen = 1;
        rig.app.bus.openStatus = 0;
        rig.app.controller.address = 1;
        rig.rt.SetCtrlAttribute(rig.parm(), PARM_PV_TIMER, rt::ATTR_ENABLED, 1);
        rig.rt.SetCtrlAttribute(rig.app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, 1);
    }
    bool timerOn(int panel, int control)
    {
        int v = 0;
        rig.rt.GetCtrlAttribute(panel, control, rt::ATTR_ENABLED, &v);
        return v != 0;
    }
    void exitParm() { rig.rt.FireEvent(rig.parm(), PARM_EXIT, rt::EVENT_COMMIT); }

    TestRig rig;
    LineDouble line;
};

TEST_F(ShellTest, ExitWithNothingRunningSendsOnlyTheStatusRequest)
{
    line.queue(Sealed("01 03 00 02 00 00"));
    exitParm();
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(Hex(line.writes[0]), Hex(comlink::ReadFrame(1, 0x1003, 1).b, 8));
    EXPECT_TRUE(rig.op.shown().empty());
    EXPECT_TRUE(rig.rt.quitRequested());
    EXPECT_FALSE(rig.rt.IsComOpen(kPort));
    EXPECT_FALSE(timerOn(rig.parm(), PARM_PV_TIMER));
}

TEST_F(ShellTest, ExitWhileRunningAsksAndCancelLeavesEverythingRunning)
{
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "Cancel");
        line.writes.clear();
        line.queue(Sealed("01 03 00 02 05 00"));
        if (escape)
            rig.op.queueEscape();
        else
            rig.op.queueButton(2);
        exitParm();
        EXPECT_EQ(line.writes.size(), 1u);
        EXPECT_FALSE(rig.rt.quitRequested());
        EXPECT_TRUE(rig.rt.IsComOpen(kPort));
        EXPECT_TRUE(timerOn(rig.parm(), PARM_PV_TIMER));
        EXPECT_TRUE(timerOn(rig.app.panels.chart, CHART_TIMER));
    }
    const rt::GenericPopup& ask = rig.op.lastGeneric();
    EXPECT_EQ(ask.title, "Program Ending");
    EXPECT_EQ(ask.text, "Ending program will trun off all running function including data logging!");
    EXPECT_EQ(ask.button1, "Ending Program");
    EXPECT_EQ(ask.button2, "Cancel");
    EXPECT_EQ(ask.button3, "");
    EXPECT_EQ(ask.focusButton, 2);
    EXPECT_EQ(ask.enterButton, 1);
    EXPECT_EQ(ask.escapeButton, 2);
}

TEST_F(ShellTest, ExitConfirmedStopsTimersAndLogThenSendsStopThenCloses)
{
    for (bool enter : {true, false}) {
        SCOPED_TRACE(enter ? "Enter" : "Ending Program");
        TestRig fresh;  // each pass ends the program
        LineDouble wire(fresh.clock);
        fresh.rt.ports().bind(kPort, "scripted", wire.factory());
        ASSERT_EQ(fresh.rt.OpenComConfig(kPort, "", 19200, 0, 8, 1, 255, 255), 0);
        fresh.rt.SetComTime(kPort, 1.0);
        fresh.app.bus.comPort = kPort;
        fresh.app.bus.portOpen = 1;
        fresh.app.controller.address = 1;
        fresh.rt.SetCtrlAttribute(fresh.parm(), PARM_PV_TIMER, rt::ATTR_ENABLED, 1);
        fresh.rt.SetCtrlAttribute(fresh.app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, 1);
        StartLogging(fresh);

        bool timersOffAtStop = false, logClosedAtStop = false;
        wire.onWrite = [&](int index) {
            if (index != 1)
                return;
            int pv = 1, chart = 1;
            fresh.rt.GetCtrlAttribute(fresh.parm(), PARM_PV_TIMER, rt::ATTR_ENABLED, &pv);
            fresh.rt.GetCtrlAttribute(fresh.app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, &chart);
            timersOffAtStop = pv == 0 && chart == 0;
            logClosedAtStop = fresh.app.log.logging == 0;
        };
        wire.queue(Sealed("01 03 00 02 05 00"));
        wire.queue(Bytes("01 06 00 02 00 00 28 0A"));
        if (enter)
            fresh.op.queueEnter();
        else
            fresh.op.queueButton(1);
        const double t0 = fresh.clock.now();
        fresh.rt.FireEvent(fresh.parm(), PARM_EXIT, rt::EVENT_COMMIT);

        ASSERT_EQ(wire.writes.size(), 2u);
        EXPECT_EQ(Hex(wire.writes[0]), Hex(Sealed("01 03 10 03 00 01")));
        EXPECT_EQ(Hex(wire.writes[1]), "01 06 00 02 00 00 28 0A");
        // Flush and 0.05 s before the status request; its 0.05 s post-write
        // wait, then 0.05 s more before the stop request.
        EXPECT_NEAR(wire.writeTimes[0] - t0, 0.05, 1e-9);
        EXPECT_NEAR(wire.writeTimes[1] - wire.writeTimes[0], 0.10, 1e-9);
        EXPECT_TRUE(timersOffAtStop);
        EXPECT_TRUE(logClosedAtStop);
        EXPECT_EQ(wire.reads, 2) << "the stop request's echo is drained";
        EXPECT_FALSE(fresh.rt.IsComOpen(kPort));
        EXPECT_EQ(fresh.app.bus.portOpen, 0);
        EXPECT_TRUE(fresh.rt.quitRequested());
    }
}

TEST_F(ShellTest, ExitCancelledLeavesLoggingOn)
{
    StartLogging(rig);
    line.queue(Sealed("01 03 00 02 05 00"));
    rig.op.queueButton(2);
    exitParm();
    EXPECT_EQ(rig.app.log.logging, 1);
    ASSERT_TRUE(rig.app.log.logFile);
    EXPECT_TRUE(rig.app.log.logFile->isOpen());
    EXPECT_FALSE(rig.rt.quitRequested());
}

TEST_F(ShellTest, ExitWithASilentOrGarbledStatusEndsWithoutAsking)
{
    std::vector<std::uint8_t> garbled = Sealed("01 03 00 02 05 00");
    garbled[7] ^= 0x01;
    line.queue(garbled);
    exitParm();
    EXPECT_TRUE(rig.op.shown().empty());
    EXPECT_TRUE(rig.rt.quitRequested());
    EXPECT_EQ(line.writes.size(), 1u);
}

TEST(Shell, QuitAndExitWithThePortNeverOpened)
{
    {
        TestRig rig;
        rig.rt.FireEvent(rig.parm(), PARM_QUIT, rt::EVENT_COMMIT);
        EXPECT_TRUE(rig.rt.quitRequested());
        EXPECT_TRUE(rig.op.shown().empty());
        EXPECT_TRUE(rig.wire().empty());
    }
    {
        TestRig rig;
        rig.rt.FireEvent(rig.parm(), PARM_EXIT, rt::EVENT_COMMIT);
        EXPECT_TRUE(rig.rt.quitRequested());
        EXPECT_TRUE(rig.op.shown().empty());
        EXPECT_TRUE(rig.wire().empty());
    }
}

TEST(Shell, QuitClosesAnOpenPortWithoutTraffic)
{
    TestRig rig;
    ASSERT_GE(rig.connect(), 0);
    rig.clearWire();
    rig.rt.FireEvent(rig.parm(), PARM_QUIT, rt::EVENT_COMMIT);
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_FALSE(rig.rt.IsComOpen(1));
    EXPECT_TRUE(rig.rt.quitRequested());
}

TEST(Shell, HelpPopupsAnswerOnlyTheirEvent)
{
    struct Case {
        SystemCallback fn;
        int helpEvent;
        const char* title;
        const char* text;  // as the operator must see it, written out here on its own
    };
    const Case cases[] = {
        {&Scrip_Help, rt::EVENT_COMMIT, "Step Programming Help",
         "Caution:\n\t\t\t\t1. After value is changed on the screen, be sure to press <Save to Ctrl> botton.\n"
         "\t\t\t\t2. Verify the saved condition by press <Load Frm Ctrl> botton.\n"
         "\t\t\t\t3. It CAN run multiple loops, loops within the loops.\n"
         "4. Type in loop no=9999 for infinitive loop.\n"},
        {&HelpSWfilter, rt::EVENT_RIGHT_CLICK, "<SW Filter> Help",
         "When sensor reading is unstable, it become difficult to process PID.\n"
         "\t\t\t\t\t\t  SW Filter is used to average the readings and stablize the system.\n"
         "\t\t\t\t\t\t  The lager the SW Filter number(Max: 9.9), the smoother the reading.\n"
         "\t\t\t\t\t\t  But it also slow down the PID response.\n"
         "\t\t\t\t\t\t  Under normal condition, the system should run at default number '0'."},
        {&HelpAlarm, rt::EVENT_RIGHT_CLICK, "<Alarm Value> Help",
         "Alarm relay turns on when process value (PV)\n"
         "\t\t\t\t\tis larger than the High_alarm value  or below the Low_alarm value specified."},
        {&LoopMsg, rt::EVENT_RIGHT_CLICK, "<Loop Number> Help",
         " When set loop number to 9999, it becomes infinite loop.\n"
         "\t\t\t\t  Loop count starting after the first cycle is completed\n"},
        {&LogCaution, rt::EVENT_RIGHT_CLICK, "<Data Update Timing> Help",
         " If you are planning to log data for a long period of time, make sure to\n"
         "\t\t\t  increase the log timing >1 Sec. Data logging is a time-consuming process.\n"
         "\t\t\t  Logging too frequent could resulted in file/program corruption.\n"},
        {&DebugPorting, rt::EVENT_RIGHT_CLICK, "<Debug Porting> Help",
         "Port Hex Number to the Send Byte Array Data1&Data2\n"},
    };
    TestRig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        rig.op.clear();
        for (int event : {int(rt::EVENT_COMMIT), int(rt::EVENT_RIGHT_CLICK), int(rt::EVENT_TIMER_TICK), 2}) {
            if (event != c.helpEvent)
                c.fn(rig.app, rig.parm(), 0, event, nullptr, 0, 0);
        }
        EXPECT_TRUE(rig.op.shown().empty());
        rig.op.clear();
        c.fn(rig.app, rig.parm(), 0, c.helpEvent, nullptr, 0, 0);
        ASSERT_EQ(rig.op.shown().size(), 1u);
        EXPECT_EQ(rig.op.shown()[0].title, c.title);
        EXPECT_EQ(rig.op.shown()[0].text, c.text);
    }

    // The about box answers a commit only.
    rig.op.clear();
    Info(rig.app, rig.parm(), PARM_INFO, rt::EVENT_RIGHT_CLICK, nullptr, 0, 0);
    EXPECT_TRUE(rig.op.shown().empty());
    Info(rig.app, rig.parm(), PARM_INFO, rt::EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.op.shown()[0].title, "TE Temperature Controller");
    EXPECT_NE(rig.op.shown()[0].text.find("Copyright"), std::string::npos);
}

TEST(Shell, PanelFilesMainIsIndispensableOthersAreNot)
{
    QTemporaryDir dir;
    const QDir src(TEC_UI_DIR);
    for (const QString& f : src.entryList({"*.uir"}, QDir::Files))
        QFile::copy(src.filePath(f), dir.filePath(f));
    {
        QFile::remove(dir.filePath(panelfiles::kDebug));
        TestRig rig({}, false);
        rig.rt.setPanelSearchPath({dir.path().toStdString()});
        shell::BindCallbacks(rig.app);
        ASSERT_TRUE(shell::LoadPanels(rig.app));
        EXPECT_LT(rig.app.panels.debug, 0);
        EXPECT_GT(rig.app.panels.script, 0);
        EXPECT_GT(rig.app.panels.logset, 0);
        rig.rt.FireEvent(rig.parm(), PARM_OPEN_DEBUG, rt::EVENT_COMMIT);  // fails quietly
    }
    {
        QFile::remove(dir.filePath(panelfiles::kParm));
        TestRig rig({}, false);
        rig.rt.setPanelSearchPath({dir.path().toStdString()});
        EXPECT_FALSE(shell::LoadPanels(rig.app));
    }
}

TEST(Shell, ClosingWindowsByTheirFrame)
{
    TestRig rig;
    shell::InstallCloseHandlers(rig.app);
    rig.rt.FireEvent(rig.parm(), PARM_OPEN_DEBUG, rt::EVENT_COMMIT);
    ASSERT_TRUE(rig.rt.IsPanelVisible(rig.app.panels.debug));
    rig.rt.panelWidget(rig.app.panels.debug)->close();
    EXPECT_FALSE(rig.rt.IsPanelVisible(rig.app.panels.debug));
    EXPECT_FALSE(rig.rt.quitRequested());

    rig.rt.DisplayPanel(rig.parm());
    rig.rt.panelWidget(rig.parm())->close();
    EXPECT_TRUE(rig.rt.quitRequested()) << "closing the main window acts as Exit";
}

// ---- debug panel ----

class DebugPanelTest : public ShellTest {
protected:
    int dbg() const { return rig.app.panels.debug; }
    void set(int control, int v) { rig.rt.SetCtrlVal(dbg(), control, v); }
    int get(int control) { return rig.intValue(dbg(), control); }
    void fire(int control) { rig.rt.FireEvent(dbg(), control, rt::EVENT_COMMIT); }
};

TEST_F(DebugPanelTest, ChoosingTheFunctionPreparesTheRequest)
{
    set(DEBUG_REG_HI, 0x10);
    set(DEBUG_FUNC, 3);
    fire(DEBUG_FUNC);
    EXPECT_EQ(get(DEBUG_REG_HI), 0);
    EXPECT_EQ(get(DEBUG_DATA1), 0);
    EXPECT_EQ(get(DEBUG_DATA2), 1);
    EXPECT_TRUE(rig.dimmed(dbg(), DEBUG_DATA1));
    EXPECT_TRUE(rig.dimmed(dbg(), DEBUG_DATA2));
    EXPECT_TRUE(rig.dimmed(dbg(), DEBUG_RX3));

    set(DEBUG_REG_HI, 0x10);
    set(DEBUG_FUNC, 6);
    fire(DEBUG_FUNC);
    EXPECT_EQ(get(DEBUG_REG_HI), 0);
    EXPECT_EQ(get(DEBUG_DATA2), 0);
    EXPECT_FALSE(rig.dimmed(dbg(), DEBUG_DATA1));
    EXPECT_FALSE(rig.dimmed(dbg(), DEBUG_RX3));

    set(DEBUG_REG_HI, 0x10);
    set(DEBUG_DATA2, 7);
    set(DEBUG_FUNC, 0x10);
    fire(DEBUG_FUNC);
    EXPECT_EQ(get(DEBUG_REG_HI), 0x10);
    EXPECT_EQ(get(DEBUG_DATA2), 7);
}

TEST_F(DebugPanelTest, SendShowsRequestCrcAndAnswer)
{
    set(DEBUG_ID, 1);
    set(DEBUG_FUNC, 3);
    set(DEBUG_REG_HI, 0x10);
    set(DEBUG_REG_LO, 0x00);
    set(DEBUG_DATA1, 0);
    set(DEBUG_DATA2, 1);
    line.queue(Sealed("01 03 00 02 FF FB"));
    rig.app.params.tempScale = 10.0f;
    fire(DEBUG_SEND);
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(Hex(line.writes[0]), "01 03 10 00 00 01 80 CA");
    EXPECT_EQ(get(DEBUG_TX_CRC_LO), 0x80);
    EXPECT_EQ(get(DEBUG_TX_CRC_HI), 0xCA);
    const auto sent = Sealed("01 03 00 02 FF FB");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(get(DEBUG_RX(i)), sent[i]) << i;
    EXPECT_NEAR(rig.value(dbg(), DEBUG_RX_VALUE), -0.5, 1e-6);
    EXPECT_EQ(get(DEBUG_RX_CRC_LO), sent[6]);
    EXPECT_EQ(get(DEBUG_RX_CRC_HI), sent[7]);
}

TEST_F(DebugPanelTest, SendWaitsTwiceBeforeWritingAndShowsARefusalAsReceived)
{
    set(DEBUG_ID, 1);
    set(DEBUG_FUNC, 6);
    set(DEBUG_REG_HI, 0x00);
    set(DEBUG_REG_LO, 0x00);
    set(DEBUG_DATA1, 0x7F);
    set(DEBUG_DATA2, 0xFF);
    rig.rt.SetCtrlAttribute(dbg(), DEBUG_RX3, rt::ATTR_DIMMED, 1);
    line.queue(Sealed("01 86 03"), 0.004);  // standard 5-byte refusal
    rig.app.params.tempScale = 1.0f;
    const double t0 = rig.clock.now();
    fire(DEBUG_SEND);
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(line.flushOut, 1);
    // Flush and 0.05 s, then another 0.05 s before the write.
    EXPECT_NEAR(line.writeTimes[0] - t0, 0.10, 1e-9);
    // The refusal ends the read as soon as it is whole: no 1 s time-out.
    EXPECT_NEAR(rig.clock.now() - t0, 0.15, 1e-9);
    const auto refusal = Sealed("01 86 03");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(get(DEBUG_RX(i)), refusal[i]) << i;
    EXPECT_EQ(get(DEBUG_RX5), 0);
    EXPECT_FALSE(rig.dimmed(dbg(), DEBUG_RX3));
    // Bytes 4 and 5 read as a signed number: (CRC high byte, 0).
    EXPECT_NEAR(rig.value(dbg(), DEBUG_RX_VALUE), static_cast<std::int16_t>(refusal[4] << 8), 1e-6);

    // A write echo: the value in bytes 4 and 5, signed, divided by the factor.
    line.queue(Sealed("01 06 00 00 FF FB"));
    rig.app.params.tempScale = 1.0f;
    fire(DEBUG_SEND);
    EXPECT_NEAR(rig.value(dbg(), DEBUG_RX_VALUE), -5.0, 1e-6);
}

TEST_F(DebugPanelTest, AddressZeroSendsAndReadsNothing)
{
    set(DEBUG_RX0, 0x55);
    set(DEBUG_ID, 0);
    set(DEBUG_FUNC, 6);
    line.queue(Sealed("00 06 00 02 00 00"));
    fire(DEBUG_SEND);
    EXPECT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(line.reads, 0);
    EXPECT_EQ(get(DEBUG_RX0), 0x55);
}

TEST_F(DebugPanelTest, TypedAddressStaysInForceForLaterRequests)
{
    rig.rt.SetCtrlVal(rig.parm(), PARM_CTRL_ID, 1);
    set(DEBUG_ID, 2);
    fire(DEBUG_SEND);
    EXPECT_EQ(rig.app.controller.address, 2);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_ID), 1);
    line.writes.clear();
    exitParm();  // any later request
    ASSERT_FALSE(line.writes.empty());
    EXPECT_EQ(line.writes[0][0], 0x02);
}

TEST_F(DebugPanelTest, SilentControllerShowsZeros)
{
    set(DEBUG_RX4, 0x77);
    set(DEBUG_ID, 1);
    fire(DEBUG_SEND);
    EXPECT_EQ(get(DEBUG_RX4), 0);
    const std::uint8_t zeros[6] = {};
    EXPECT_EQ(get(DEBUG_RX_CRC_LO), comlink::CalcCRC16(zeros, 6).lo);
}

TEST_F(DebugPanelTest, Converters)
{
    rig.app.params.tempScale = 10.0f;
    rig.rt.SetCtrlVal(dbg(), DEBUG_DEC, 25.36);
    fire(DEBUG_DEC_TO_HEX);
    EXPECT_EQ(get(DEBUG_HEX), 254);
    set(DEBUG_HEX, -5);
    fire(DEBUG_HEX_TO_DEC);
    EXPECT_NEAR(rig.value(dbg(), DEBUG_DEC), -0.5, 1e-6);

    rig.app.params.tempScale = 1.0f;
    rig.rt.SetCtrlVal(dbg(), DEBUG_DEC, 25.0);
    fire(DEBUG_DEC_TO_HEX);
    EXPECT_EQ(get(DEBUG_HEX), 25);
    set(DEBUG_HEX, -5);
    fire(DEBUG_HEX_TO_DEC);
    EXPECT_NEAR(rig.value(dbg(), DEBUG_DEC), -5.0, 1e-6);

    set(DEBUG_HEX, -2);
    fire(DEBUG_PORTING);
    EXPECT_EQ(get(DEBUG_DATA1), 0xFF);
    EXPECT_EQ(get(DEBUG_DATA2), 0xFE);
}

TEST_F(DebugPanelTest, OpeningSetsThePrecisionOfTheTemperature)
{
    for (int code : {30, 31}) {
        rig.app.params.decimalPnt = static_cast<std::int16_t>(code);
        rig.rt.FireEvent(rig.parm(), PARM_OPEN_DEBUG, rt::EVENT_COMMIT);
        EXPECT_TRUE(rig.rt.IsPanelVisible(dbg()));
        int precision = -1;
        rig.rt.GetCtrlAttribute(dbg(), DEBUG_DEC, rt::ATTR_PRECISION, &precision);
        EXPECT_EQ(precision, code - 30);
    }
    fire(DEBUG_QUIT);
    EXPECT_FALSE(rig.rt.IsPanelVisible(dbg()));
}

} // namespace
