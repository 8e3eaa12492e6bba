// The timed reads of SV and PV: the chart tick and the main-panel PV tick.
#include "app/app.h"
#include "app/panel_state.h"
#include "app/port_lines.h"
#include "core/operations.h"
#include "core/poller.h"
#include "monitor/monitor.h"

namespace monitor {

namespace {

// The controller switches its output off by itself when its alarm trips with
// the alarm switch on; the panel is brought in line without sending anything
// and without running the selector's callback.
void MirrorAlarmShutdown(App& app, float pv)
{
    const ParameterSet& p = app.params;
    if (!AlarmTripped(pv, p.alarmWatch, p.alarmHigh, p.alarmLow))
        return;
    ShowControlFunction(app, 0);
    app.rt.SetCtrlVal(app.panels.parm, PARM_CTRL_LED, 0);
}

// A tick without an answer: the chart says so at once, the main panel by the
// rule it shares with the watches.
void ShowNoAnswer(App& app, bool chart)
{
    ++app.misses.poll;
    if (chart)
        app.rt.SetCtrlAttribute(app.panels.chart, CHART_NO_ANSWER, rt::ATTR_VISIBLE, 1);
    ShowNoAnswerSign(app);
}

void HideNoAnswer(App& app, bool chart)
{
    app.misses.poll = 0;
    if (chart)
        app.rt.SetCtrlAttribute(app.panels.chart, CHART_NO_ANSWER, rt::ATTR_VISIBLE, 0);
    ShowNoAnswerSign(app);
}

} // namespace

void ResetPollMisses(App& app)
{
    app.misses.poll = 0;
    ShowNoAnswerSign(app);
}

bool PollReadPV(App& app, float* pv)
{
    float value = 0;
    if (!core::PollPV(app.bus, app.controller.address, app.params.tempScale, &value))
        return false;
    MirrorAlarmShutdown(app, value);
    *pv = value;
    return true;
}

bool PollReadSV(App& app, float* sv)
{
    float value = 0;
    if (!core::PollSV(app.bus, app.controller.address, app.params.tempScale, &value))
        return false;
    // Write-all and the PID calculator work from the set value the controller
    // really holds, even when PARM_SV shows an unsent edit.
    app.params.setValue = value;
    *sv = value;
    return true;
}

void AskRound(App& app, bool pvOnly)
{
    // The other ports' rounds on the same tick.
    ports::AskRounds(app, pvOnly);
    core::Controller& c = app.controller;
    c.port = app.bus.comPort;
    app.poller.setControllers({&c});
    app.poller.requestRound(pvOnly);
    app.rt.WakeService(app.pollService);
}

void ShowRound(App& app, const core::Round& round)
{
    if (round.entries.empty())
        return;
    const core::Sample& s = round.entries.front().sample;
    if (round.pvOnly) {
        if (!s.havePv) {
            ShowNoAnswer(app, false);
            return;
        }
        MirrorAlarmShutdown(app, s.pv);
        HideNoAnswer(app, false);
        app.live.pv = s.pv;
        app.rt.SetCtrlVal(app.panels.parm, PARM_PV, static_cast<double>(s.pv));
        return;
    }
    // A round whose SV did not come is left without a point or a log line;
    // the next tick tries again.
    if (!s.haveSv) {
        ShowNoAnswer(app, true);
        overview::NoteMiss(app);
        return;
    }
    // Write-all and the PID calculator work from the set value the controller
    // really holds, even when PARM_SV shows an unsent edit.
    app.params.setValue = s.sv;
    app.live.sv = s.sv;
    if (!s.havePv) {
        ShowNoAnswer(app, true);
        overview::NoteMiss(app);
        return;
    }
    MirrorAlarmShutdown(app, s.pv);
    app.live.pv = s.pv;
    overview::NoteSample(app, s.sv, s.pv);
    HideNoAnswer(app, true);

    const float sv = s.sv;
    const float pv = s.pv;
    const std::string time = app.rt.TimeStr();
    int month = 0, day = 0, year = 0;
    app.rt.GetSystemDate(&month, &day, &year);

    const int chart = app.panels.chart;
    app.rt.SetCtrlVal(chart, CHART_SV, static_cast<double>(sv));
    app.rt.SetCtrlVal(chart, CHART_PV, static_cast<double>(pv));
    // The main panel's PV shows the chart's reading: one poll, two views.
    app.rt.SetCtrlVal(app.panels.parm, PARM_PV, static_cast<double>(pv));
    // Trace 1 is SV, trace 2 PV: the pair goes in as one two-element array.
    const float pair[2] = {app.live.sv, app.live.pv};
    app.rt.PlotStripChart(chart, CHART_STRIPCHART, pair, 2, 0, 0, rt::VAL_FLOAT);

    const std::string line = FormatLogLine(month, day, year, time, sv, pv);
    if (app.log.logging == 1)
        WriteLogLine(app, line);
}

} // namespace monitor

TEC_CALLBACK(GetData)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    monitor::AskRound(app, false);
    return 0;
}

TEC_CALLBACK(ReadPV)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    monitor::AskRound(app, true);
    return 0;
}

TEC_CALLBACK(PVRd)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    int on = 0;
    app.rt.GetCtrlVal(app.panels.parm, PARM_PV_READ, &on);
    on = on ? 1 : 0;
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_PV, rt::ATTR_DIMMED, on ? 0 : 1);
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_PV_TIMER, rt::ATTR_ENABLED, on);
    monitor::ResetPollMisses(app);
    return 0;
}
