// The link lost: an idle port that hangs up, and a poll that finds the port
// gone, both mark it on the panels without a popup.
#include "app/connection.h"
#include "app/port_watch.h"
#include "link/transact.h"
#include "support/line_double.h"
#include "support/rig.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace {

std::string Text(TestRig& rig, int panel, int control)
{
    std::string s;
    rig.rt.GetCtrlVal(panel, control, &s);
    return s;
}

bool TimerOn(TestRig& rig, int panel, int control)
{
    int v = 0;
    rig.rt.GetCtrlAttribute(panel, control, rt::ATTR_ENABLED, &v);
    return v != 0;
}

// The link as an accepted identification leaves it, on the given port.
void LinkUp(TestRig& rig, int port)
{
    ASSERT_EQ(rig.rt.OpenComConfig(port, "", 19200, 0, 8, 1, 255, 255), 0);
    rig.rt.SetComTime(port, 1.0);
    rig.app.bus.comPort = static_cast<std::uint16_t>(port);
    rig.app.bus.portOpen = 1;
    rig.app.bus.openStatus = 0;
    rig.app.controller.address = 1;
    rig.rt.SetCtrlVal(rig.parm(), PARM_LINK_LED, 1);
    rig.rt.SetCtrlAttribute(rig.app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, 1);
    rig.rt.SetCtrlAttribute(rig.parm(), PARM_ALARM_TIMER, rt::ATTR_ENABLED, 1);
}

void ExpectMarkedLost(TestRig& rig, int port)
{
    EXPECT_EQ(rig.app.bus.portOpen, 0);
    EXPECT_LT(rig.app.bus.openStatus, 0);
    EXPECT_FALSE(rig.rt.IsComOpen(port));
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 0);
    EXPECT_FALSE(TimerOn(rig, rig.app.panels.chart, CHART_TIMER));
    EXPECT_FALSE(TimerOn(rig, rig.parm(), PARM_ALARM_TIMER));
    for (const auto& [panel, control] : {std::pair{rig.parm(), static_cast<int>(PARM_NO_ANSWER)},
                                         std::pair{rig.app.panels.chart, static_cast<int>(CHART_NO_ANSWER)}}) {
        EXPECT_TRUE(rig.visible(panel, control));
        EXPECT_EQ(Text(rig, panel, control), "Link lost");
    }
    EXPECT_TRUE(rig.op.shown().empty()) << rig.op.shown().front().title;
}

#ifdef Q_OS_LINUX
TEST(PortWatch, IdlePortThatHangsUpIsMarkedLostWithinASecondWithoutAPopup)
{
    TestRig rig;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    rig.rt.ports().bindDevice(9, ::ptsname(master));
    LinkUp(rig, 9);

    ::close(master);  // the adapter is pulled
    QElapsedTimer t;
    t.start();
    while (rig.app.bus.portOpen && t.elapsed() < 3000) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_LT(t.elapsed(), 1000);
    ExpectMarkedLost(rig, 9);
}
#endif

TEST(PortWatch, PollThatFindsThePortGoneMarksItLostWithoutAPopupAndReconnectingClearsIt)
{
    TestRig rig;
    LineDouble line(rig.clock);
    rig.rt.ports().bind(2, "COM2  scripted", line.factory());
    LinkUp(rig, 2);
    rig.app.plotting = 1;
    line.lost = true;
    rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
    ExpectMarkedLost(rig, 2);

    // Later requests meet a closed port: nothing new is lost, nothing popped up.
    comlink::Transact(rig.app.bus, comlink::ReadFrame(1, 0x1000, 1), 8);
    EXPECT_TRUE(rig.op.shown().empty()) << "the port is closed: nothing new was lost";

    // Selecting the port again (the controller back) clears the status.
    line.lost = false;
    std::vector<std::uint8_t> ident = {0x01, 0x03, 0x00, 0x02, 0xF0, 0x01};
    const comlink::Crc crc = comlink::CalcCRC16(ident.data(), 6);
    ident.push_back(crc.lo);
    ident.push_back(crc.hi);
    line.queue(ident);
    comlink::FillPortSelector(rig.app);
    ASSERT_GE(rig.connect(2, 1), 0);
    EXPECT_FALSE(rig.visible(rig.parm(), PARM_NO_ANSWER));
    EXPECT_FALSE(rig.visible(rig.app.panels.chart, CHART_NO_ANSWER));
    EXPECT_EQ(Text(rig, rig.parm(), PARM_NO_ANSWER), "No answer");
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 1);
}

TEST(PortWatch, AnOperatorsOwnOperationIsToldByAPopupOnce)
{
    TestRig rig;
    LineDouble line(rig.clock);
    rig.rt.ports().bind(2, "COM2  scripted", line.factory());
    LinkUp(rig, 2);
    line.lost = true;
    comlink::Transact(rig.app.bus, comlink::ReadFrame(1, 0x1000, 1), 8);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.op.shown()[0].title, "Connection Lost");
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 0);
    EXPECT_TRUE(rig.visible(rig.parm(), PARM_NO_ANSWER));
}

} // namespace
