// Reconnection through a real serial device: tecsim on a pseudo-terminal
// behind a fixed link name is ended (the terminal goes away) and started
// again under the same name; the PV reading must come back by itself.
#include "support/rig.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

bool StartSim(QProcess& p, const QString& link)
{
    const QString inSim = QString(TEC_BIN_DIR) + "/sim/tecsim";
    p.setProgram(QFile::exists(inSim) ? inSim : QString(TEC_BIN_DIR) + "/tecsim");
    p.setArguments({"--link", link, "--set", "0x1000=250"});
    p.start();
    if (!p.waitForStarted(5000))
        return false;
    for (int i = 0; i < 500 && !QFile::exists(link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return QFile::exists(link);
}

void Stop(QProcess& p)
{
    if (p.state() != QProcess::NotRunning) {
        p.terminate();
        if (!p.waitForFinished(3000)) {
            p.kill();
            p.waitForFinished(3000);
        }
    }
}

bool Running(rt::Runtime& rt, int panel, int timer)
{
    int v = 0;
    rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &v);
    return v != 0;
}

TEST(ReconnectPty, TecsimEndedAndStartedAgainUnderTheSameNameIsTakenUpAgain)
{
    TestRig rig;
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyTEC");
    QProcess sim;
    ASSERT_TRUE(StartSim(sim, link));
    rig.rt.ports().bindDevice(3, link.toStdString());
    ASSERT_GE(rig.connect(3, 1), 0);
    const int parm = rig.parm();
    rig.rt.Commit(parm, PARM_PV_READ, 1);
    rig.rt.Tick(parm, PARM_PV_TIMER);
    EXPECT_NEAR(rig.value(parm, PARM_PV), 25.0, 1.0);
    rig.op.clear();

    Stop(sim);  // the terminal and its name go away
    rig.rt.Tick(parm, PARM_PV_TIMER);
    ASSERT_FALSE(Running(rig.rt, parm, PARM_PV_TIMER));
    ASSERT_TRUE(Running(rig.rt, parm, PARM_RECONNECT_TIMER));
    for (int i = 0; i < 3; ++i)
        rig.rt.Tick(parm, PARM_RECONNECT_TIMER);  // nothing there: nothing happens
    EXPECT_TRUE(Running(rig.rt, parm, PARM_RECONNECT_TIMER));

    ASSERT_TRUE(StartSim(sim, link));
    for (int i = 0; i < 5 && Running(rig.rt, parm, PARM_RECONNECT_TIMER); ++i)
        rig.rt.Tick(parm, PARM_RECONNECT_TIMER);
    EXPECT_TRUE(Running(rig.rt, parm, PARM_PV_TIMER));
    EXPECT_EQ(rig.intValue(parm, PARM_LINK_LED), 1);
    rig.rt.SetCtrlVal(parm, PARM_PV, 0.0);
    rig.rt.Tick(parm, PARM_PV_TIMER);
    EXPECT_NEAR(rig.value(parm, PARM_PV), 25.0, 1.0) << "read from the new tecsim";
    EXPECT_TRUE(rig.op.shown().empty());
    Stop(sim);
    rig.rt.CloseCom(3);
}

} // namespace
