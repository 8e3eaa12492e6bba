#include "app/panel_state.h"
#include "app/app.h"

namespace {

constexpr int kMissesShown = 3;

bool TimerRunning(App& app, int panel, int timer)
{
    int on = 0;
    app.rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &on);
    return on != 0;
}

} // namespace

void ShowControlFunction(App& app, int f)
{
    app.ctrlMode = f;
    app.rt.SetCtrlVal(app.panels.parm, PARM_CTRL_FUNC, f);
}

void ShowNoAnswerSign(App& app)
{
    // With the link down the sign says so ("Link lost"), whatever the counts.
    if (app.bus.portOpen == 0 && app.bus.openStatus < 0)
        return;
    const PanelSet& p = app.panels;
    const WatchMisses& m = app.misses;
    const bool polling = TimerRunning(app, p.parm, PARM_PV_TIMER) || TimerRunning(app, p.chart, CHART_TIMER);
    const bool show = (m.alarm >= kMissesShown && TimerRunning(app, p.parm, PARM_ALARM_TIMER)) ||
                      (m.tune >= kMissesShown && TimerRunning(app, p.parm, PARM_TUNE_TIMER)) ||
                      (m.script >= kMissesShown && TimerRunning(app, p.script, SCRIPT_RUN_TIMER)) ||
                      (m.poll >= kMissesShown && polling);
    app.rt.SetCtrlAttribute(p.parm, PARM_NO_ANSWER, rt::ATTR_VISIBLE, show ? 1 : 0);
}
