// The eight panel files against the callback table: every control that names
// a callback is bound, and every callback of the system is reachable from a
// panel.
#include "app/shell.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

TEST(PanelBinding, EveryNamedCallbackIsBoundAndEveryCallbackIsOnAPanel)
{
    TestRig rig;
    EXPECT_TRUE(rig.rt.unboundCallbacks().empty())
        << "first unknown callback: " << (rig.rt.unboundCallbacks().empty() ? "" : rig.rt.unboundCallbacks()[0]);

    const std::vector<std::string> table = shell::CallbackNames();
    EXPECT_EQ(table.size(), 84u);
    EXPECT_EQ(std::set<std::string>(table.begin(), table.end()).size(), 84u) << "names in the table are distinct";

    const std::vector<std::string> bound = rig.rt.boundCallbacks();
    const std::set<std::string> onPanels(bound.begin(), bound.end());
    for (const std::string& name : table)
        EXPECT_TRUE(onPanels.count(name)) << name << " is on no panel";
    EXPECT_EQ(onPanels.size(), 84u);
}

TEST(PanelBinding, AllEightPanelsLoadWithEveryControl)
{
    TestRig rig;
    const PanelSet& p = rig.app.panels;
    for (int handle : {p.parm, p.debug, p.chart, p.yscale, p.wait, p.script, p.pidhelp, p.logset})
        EXPECT_GT(handle, 0);
    // A control of each panel, including the per-step and per-set families.
    EXPECT_NE(rig.rt.controlWidget(p.parm, PARM_PID_BOUND(3)), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.parm, PARM_PID_LED(4)), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.debug, DEBUG_RX(7)), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.chart, CHART_STRIPCHART), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.yscale, YSCALE_XPOINTS), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.wait, WAIT_MSG), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.script, SCRIPT_LOOPS(8)), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.script, SCRIPT_STEP_LED(15)), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.pidhelp, PIDHELP_GRAPH), nullptr);
    EXPECT_NE(rig.rt.controlWidget(p.logset, LOGSET_INTERVAL), nullptr);
    // Controls live on their own panel only.
    EXPECT_EQ(rig.rt.controlWidget(p.parm, SCRIPT_SV(1)), nullptr);
}
