// Controllers on two real serial devices: tecsim on two pseudo-terminals
// behind fixed link names. The window holds one; the other's tecsim is ended
// (its terminal and name go away) and started again with one of its two
// controllers replaced by another model: only that port's controllers go
// offline, the same one is polled again, the replaced one is not.
#include "app/controllers.h"
#include "app/port_lines.h"
#include "support/rig.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

bool StartSim(QProcess& p, const QString& link, const QStringList& more)
{
    const QString inSim = QString(TEC_BIN_DIR) + "/sim/tecsim";
    p.setProgram(QFile::exists(inSim) ? inSim : QString(TEC_BIN_DIR) + "/tecsim");
    p.setArguments(QStringList{"--link", link} + more);
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

TEST(PortLinesPty, AnotherPortsTecsimEndedAndStartedAgainTakesOnlyItsControllersOffline)
{
    TestRig rig;
    App& app = rig.app;
    QTemporaryDir dir;
    const QString link1 = dir.filePath("ttyA");
    const QString link2 = dir.filePath("ttyB");
    QProcess sim1, sim2;
    ASSERT_TRUE(StartSim(sim1, link1, {}));
    ASSERT_TRUE(StartSim(sim2, link2, {"--addresses", "2,3"}));
    rig.rt.ports().bindDevice(3, link1.toStdString());
    rig.rt.ports().bindDevice(4, link2.toStdString());
    app.settingsFile = rig.path("tecontrol.conf");
    controllers::Add(app.controllers, 3, 1, "Stage A");
    controllers::Add(app.controllers, 4, 2, "Stage B");
    controllers::Add(app.controllers, 4, 3, "Stage C");
    ASSERT_GE(rig.connect(3, 1), 0);
    const int parm = rig.parm();
    rig.rt.Commit(parm, PARM_PV_READ, 1);
    rig.rt.Tick(parm, PARM_PV_TIMER);
    auto entry = [&](int address) { return app.controllers.at(app.controllers.find(4, address)); };
    for (int address : {2, 3}) {
        ASSERT_TRUE(entry(address)->last.valid) << address;
        EXPECT_NEAR(entry(address)->last.pv, 25.0, 2.0) << address;
    }

    Stop(sim2);
    rig.op.clear();
    for (int i = 0; i < 3 && ports::Why(app, *entry(2)).empty(); ++i)
        rig.rt.Tick(parm, PARM_PV_TIMER);
    EXPECT_EQ(ports::Why(app, *entry(2)), "port lost");
    EXPECT_EQ(ports::Why(app, *entry(3)), "port lost");
    EXPECT_TRUE(Running(rig.rt, parm, PARM_PV_TIMER)) << "the window's own port reads on";
    EXPECT_EQ(rig.intValue(parm, PARM_LINK_LED), 1);
    ASSERT_TRUE(Running(rig.rt, parm, PARM_RECONNECT_TIMER));
    for (int i = 0; i < 3; ++i)
        rig.rt.Tick(parm, PARM_RECONNECT_TIMER);  // nothing there: nothing happens
    EXPECT_EQ(ports::Why(app, *entry(2)), "port lost");

    ASSERT_TRUE(StartSim(sim2, link2, {"--addresses", "2,3", "--ident-low", "3:40"}));
    for (int i = 0; i < 5 && ports::Why(app, *entry(2)) == "port lost"; ++i)
        rig.rt.Tick(parm, PARM_RECONNECT_TIMER);
    EXPECT_EQ(ports::Why(app, *entry(2)), "");
    EXPECT_EQ(ports::Why(app, *entry(3)), "another controller answers");
    entry(2)->last.valid = false;
    rig.rt.Tick(parm, PARM_PV_TIMER);
    EXPECT_TRUE(entry(2)->last.valid) << "read from the new tecsim";
    EXPECT_EQ(entry(3)->state, core::LinkState::Offline);
    EXPECT_TRUE(rig.op.shown().empty());
    Stop(sim1);
    Stop(sim2);
}

} // namespace
