#include "app/port_watch.h"

#include "app/app.h"
#include "app/port_lines.h"
#include "app/reconnect.h"

namespace comlink {

namespace {

constexpr const char* kLinkLostText = "Link lost";
constexpr const char* kNoAnswerText = "No answer";

void ShowStatus(App& app, const char* text, int visible)
{
    const PanelSet& p = app.panels;
    for (const auto& [panel, control] : {std::pair{p.parm, static_cast<int>(PARM_NO_ANSWER)},
                                         std::pair{p.chart, static_cast<int>(CHART_NO_ANSWER)}}) {
        app.rt.SetCtrlVal(panel, control, text);
        app.rt.SetCtrlAttribute(panel, control, rt::ATTR_VISIBLE, visible);
    }
}

} // namespace

void WatchPortLoss(App& app)
{
    App* a = &app;
    app.rt.SetComLostHandler([a](int port) {
        if (port == a->bus.comPort)
            MarkLinkLost(*a);
        else if (ports::PortLost(*a, port))
            return;  // another port's line: only its controllers go offline
        else if (a->rt.IsComOpen(port))
            a->rt.CloseCom(port);  // a port the link no longer uses
    });
}

void MarkLinkLost(App& app)
{
    rt::Runtime& rt = app.rt;
    comlink::Bus& bus = app.bus;
    const bool wasUp = bus.portOpen != 0 || rt.IsComOpen(bus.comPort);
    if (rt.IsComOpen(bus.comPort))
        rt.CloseCom(bus.comPort);
    bus.portOpen = 0;
    bus.openStatus = -1;
    if (wasUp)
        ShowLinkLost(app);
}

void ShowLinkLost(App& app)
{
    rt::Runtime& rt = app.rt;
    const PanelSet& p = app.panels;
    // The reconnection watch records what runs before it is stopped; it
    // starts once however often and by whichever way the loss is seen.
    reconnect::NoteLost(app);
    rt.SetCtrlAttribute(p.parm, PARM_PV_TIMER, rt::ATTR_ENABLED, 0);
    rt.SetCtrlAttribute(p.chart, CHART_TIMER, rt::ATTR_ENABLED, 0);
    rt.SetCtrlAttribute(p.parm, PARM_ALARM_TIMER, rt::ATTR_ENABLED, 0);
    rt.SetCtrlAttribute(p.parm, PARM_TUNE_TIMER, rt::ATTR_ENABLED, 0);
    rt.SetCtrlAttribute(p.script, SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, 0);
    rt.SetCtrlVal(p.parm, PARM_LINK_LED, 0);
    ShowStatus(app, kLinkLostText, 1);
}

void ClearLinkLost(App& app)
{
    ShowStatus(app, kNoAnswerText, 0);
}

} // namespace comlink
