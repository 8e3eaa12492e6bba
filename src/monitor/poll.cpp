// The timed reads of SV and PV: the chart tick and the main-panel PV tick,
// as rounds of the poller over every configured controller of the port.
#include "app/app.h"
#include "app/panel_state.h"
#include "app/port_lines.h"
#include "core/operations.h"
#include "core/poller.h"
#include "core/scan.h"
#include "link/transact.h"
#include "monitor/monitor.h"
#include "protocol/encoding.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

namespace monitor {

namespace {

// The wait for the answer of a controller's decimal point or identity, read
// once before its readings are taken; an unanswered read is tried again
// after a wait that doubles up to the longest.
constexpr double kScaleAnswerTimeout = 0.1;
constexpr double kScaleLongestWait = 10.0;
// A reading is drawn and logged when it is no older than this many chart
// intervals at the round's start; older ones are gaps.
constexpr double kFreshIntervals = 1.5;

// Each controller's traces: PV in a strong colour, SV in a lighter shade of
// it. The first pair is the panel's own.
struct TraceColours {
    int sv;
    int pv;
};
constexpr TraceColours kPalette[] = {
    {0xf0b400, 0x00c853}, {0x90caf9, 0x1565c0}, {0xef9a9a, 0xc62828}, {0xce93d8, 0x6a1b9a},
    {0xffcc80, 0xe65100}, {0x80deea, 0x00838f}, {0xbcaaa4, 0x4e342e}, {0xf48fb1, 0xad1457},
};
constexpr int kPaletteSize = static_cast<int>(sizeof kPalette / sizeof kPalette[0]);

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

void SetValueSeen(App& app, std::int64_t wallMillis)
{
    HeldSetValue& held = app.heldSv;
    if (!app.params.fromController()) {
        held = {};
        return;
    }
    if (held.wallMillis <= 0 || held.address != app.controller.address || held.value != app.params.setValue)
        held = {app.params.setValue, app.controller.address, wallMillis};
}

namespace {

// The SV a round read becomes the one the window holds, unless the window
// learnt one after the round read it (an operation came between the round's
// SV and PV reads and sent or read it): that one is the newer.
void TakeRoundSv(App& app, const core::Sample& s)
{
    HeldSetValue& held = app.heldSv;
    const std::int64_t readAt = core::SvReadMillis(s);
    if (held.wallMillis > 0 && held.address == app.controller.address && readAt < held.wallMillis)
        return;
    app.params.setValue = s.sv;
    if (app.params.fromController())
        held = {s.sv, app.controller.address, readAt};
}

} // namespace

bool PollReadSV(App& app, float* sv)
{
    float value = 0;
    if (!core::PollSV(app.bus, app.controller.address, app.params.tempScale, &value))
        return false;
    // Write-all and the PID calculator work from the set value the controller
    // really holds, even when PARM_SV shows an unsent edit.
    app.params.setValue = value;
    SetValueSeen(app, app.bus.clock.wallMillis());
    *sv = value;
    return true;
}

bool Several(const App& app)
{
    return app.controllers.size() > 1;
}

std::string TraceName(const char* what, const core::Controller& c, bool withPort)
{
    std::string name = std::string(what) + " ";
    const std::string label = LogLabel(c.name);
    if (!label.empty())
        name += label + " ";
    name += "[" + std::to_string(c.address);
    if (withPort)
        name += " on port " + std::to_string(c.port);
    return name + "]";
}

std::string LogHeaderFor(const App& app)
{
    if (!Several(app))
        return kLogHeader;
    std::vector<LogController> set;
    for (const auto& c : app.controllers.entries)
        set.push_back({c->name, c->address});
    return FormatSeveralLogHeader(set);
}

namespace {

// A read of the scale that went unanswered counts as the controller's miss,
// as a round's would.
void ScaleMissed(App& app, core::Controller& c)
{
    Rounds::Scale& scale = app.rounds.scales[&c];
    scale.nextTry = app.bus.clock.now() + scale.wait;
    scale.wait = std::min(kScaleLongestWait, scale.wait * 2);
    ++c.counters.rounds;
    ++c.counters.misses[0];  // silent
    ++c.counters.missedInRow;
    c.last.valid = false;
    c.last.fault = comlink::Fault{comlink::FaultKind::Silent, tecreg::kDecimalPnt, 0, {}};
    c.state = c.counters.missedInRow >= core::kOfflineAfterMisses ? core::LinkState::Offline
                                                                  : core::LinkState::Suspect;
}

// Reads the controller's decimal point (and its model, the first time it
// answers) at the poller's next transaction boundary: at once when the line
// is between exchanges. The read waits for its answers, so one is asked at
// a time: *asked says whether one is asked or waiting already.
void ReadScale(App& app, core::Controller& c, bool* asked)
{
    Rounds::Scale& scale = app.rounds.scales[&c];
    if (scale.pending)
        *asked = true;
    if (*asked || scale.known || app.bus.clock.now() < scale.nextTry || !app.bus.portOpen)
        return;
    *asked = true;
    scale.pending = true;
    const int port = c.port;
    const core::Address address = c.address;
    app.poller.whenIdle([&app, port, address] {
        // The list may have changed meanwhile: the record is looked up again.
        core::Controller* c = app.controllers.at(app.controllers.find(port, address));
        if (!c)
            return;
        Rounds::Scale& scale = app.rounds.scales[c];
        scale.pending = false;
        comlink::Bus& line = app.bus;
        if (scale.known || !line.portOpen || line.comPort != port)
            return;
        comlink::TakeLinkBusy(line);
        bool answered = true;
        if (!c->identity.known) {
            const core::ScanHit hit = core::ProbeAddress(line, address, kScaleAnswerTimeout);
            if (hit.kind == core::ScanHit::Kind::Found)
                c->identity = hit.identity;
            answered = hit.kind != core::ScanHit::Kind::Nothing;
        }
        std::uint16_t code = 0;
        answered = answered && core::ReadRegisterOnce(line, address, tecreg::kDecimalPnt, comlink::kPostWriteDelay,
                                                      kScaleAnswerTimeout, &code);
        comlink::ReleaseLinkBusy(line);
        if (!answered) {
            ScaleMissed(app, *c);
            return;
        }
        c->params.tempScale = params::TempScaleFor(static_cast<std::int16_t>(code));
        scale.known = true;
        scale.wait = 1.0;
    });
}

} // namespace

std::vector<core::Controller*> RoundControllers(App& app, bool readScales)
{
    core::Controller& own = app.controller;
    own.port = app.bus.comPort;
    if (!Several(app))
        return {&own};
    std::vector<core::Controller*> round;
    bool ownIn = false;
    bool scaleAsked = false;
    for (const auto& entry : app.controllers.entries) {
        core::Controller& c = *entry;
        if (c.port != own.port)
            continue;
        if (c.address == own.address) {
            if (!ownIn)
                round.push_back(&own);
            ownIn = true;
            continue;
        }
        // Held back (another controller answers there, or none): the
        // reconnection timer asks it again.
        if (ports::HoldOf(app, c) != ports::Hold::None)
            continue;
        // Identified on this port, its decimal point read with it.
        if (app.lines.identifiedOnWindow.count({c.port, c.address}))
            app.rounds.scales[&c].known = true;
        if (readScales)
            ReadScale(app, c, &scaleAsked);
        if (app.rounds.scales[&c].known)
            round.push_back(&c);
    }
    // The controller the panels act on is read even when it is not in the list.
    if (!ownIn)
        round.insert(round.begin(), &own);
    return round;
}

void AskRound(App& app, bool pvOnly)
{
    // The other ports' rounds on the same tick.
    ports::AskRounds(app, pvOnly);
    // With several controllers every round reads SV and PV of each, so that
    // the overview shows whole samples whichever tick asked.
    const bool several = Several(app);
    app.poller.setControllers(RoundControllers(app));
    app.poller.requestRound(pvOnly && !several);
    app.rt.WakeService(app.pollService);
}

namespace {

// The data log's section follows the configured set: when it changed since
// the section's header, a new header begins a new section.
bool EnsureLogSection(App& app)
{
    const std::string header = LogHeaderFor(app);
    if (app.rounds.logHeader == header)
        return true;
    if (!WriteLogLine(app, header))
        return false;
    app.rounds.logHeader = header;
    return true;
}

// The palette place of a controller: kept by port and address once given;
// a new one takes its list position's place unless another configured
// controller holds it, then the first free one.
int PalettePlace(App& app, int index)
{
    const core::Controller& c = *app.controllers.at(index);
    auto& kept = app.rounds.colours;
    const std::pair<int, int> key{c.port, c.address};
    if (const auto it = kept.find(key); it != kept.end())
        return it->second;
    std::set<int> taken;
    for (const auto& other : app.controllers.entries)
        if (const auto it = kept.find({other->port, other->address}); it != kept.end())
            taken.insert(it->second);
    int place = index % kPaletteSize;
    for (int i = 0; taken.count(place) && i < kPaletteSize; ++i)
        place = (index + i + 1) % kPaletteSize;
    kept[key] = place;
    return place;
}

// The chart's traces follow the configured set: SV and PV of each, in list
// order, the legend shown.
void ShowSeveralTraces(App& app)
{
    const controllers::ControllerList& list = app.controllers;
    std::vector<std::string> names;
    std::vector<int> colours;
    for (int i = 0; i < list.size(); ++i) {
        const core::Controller& c = *list.at(i);
        bool shared = false;
        for (const auto& other : list.entries)
            shared = shared || (other.get() != &c && other->address == c.address);
        const TraceColours& pair = kPalette[PalettePlace(app, i)];
        names.push_back(TraceName("SV", c, shared));
        colours.push_back(pair.sv);
        names.push_back(TraceName("PV", c, shared));
        colours.push_back(pair.pv);
    }
    if (names == app.rounds.traceNames)
        return;
    const int chart = app.panels.chart;
    if (app.rt.SetStripChartTraces(chart, CHART_STRIPCHART, names, colours) < 0)
        return;
    app.rt.SetStripChartLegend(chart, CHART_STRIPCHART, true);
    app.rounds.traceNames = std::move(names);
}

// Back to one controller: the panel's own two traces.
void ShowOwnTraces(App& app)
{
    if (app.rounds.traceNames.empty())
        return;
    const int chart = app.panels.chart;
    app.rt.SetStripChartTraces(chart, CHART_STRIPCHART, {"SV", "PV"},
                               {kPalette[0].sv, kPalette[0].pv});
    app.rt.SetStripChartLegend(chart, CHART_STRIPCHART, false);
    app.rounds.traceNames.clear();
}

// After a round nothing can hold the records taken out of the list before it.
void RoundEnded(App& app)
{
    app.rounds.retired.clear();
    overview::MirrorSelected(app);
    overview::KeepLastGood(app);
}

void ShowOneRound(App& app, const core::Round& round)
{
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
        return;
    }
    // Write-all and the PID calculator work from the set value the controller
    // really holds, even when PARM_SV shows an unsent edit.
    TakeRoundSv(app, s);
    app.live.sv = s.sv;
    if (!s.havePv) {
        ShowNoAnswer(app, true);
        return;
    }
    MirrorAlarmShutdown(app, s.pv);
    app.live.pv = s.pv;
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
    ShowOwnTraces(app);
    // Trace 1 is SV, trace 2 PV: the pair goes in as one two-element array.
    const float pair[2] = {app.live.sv, app.live.pv};
    app.rt.PlotStripChart(chart, CHART_STRIPCHART, pair, 2, 0, 0, rt::VAL_FLOAT);

    const std::string line = FormatLogLine(month, day, year, time, sv, pv);
    if (app.log.logging == 1 && EnsureLogSection(app))
        WriteLogLine(app, line);
}

// The selected controller's part of a round with several: the main panel's
// PV and, on a chart round, the chart's SV and PV readouts.
void ShowSelected(App& app, const core::Sample& s, bool chart)
{
    if (s.haveSv) {
        TakeRoundSv(app, s);
        app.live.sv = s.sv;
    }
    if (!s.havePv || (chart && !s.haveSv)) {
        ShowNoAnswer(app, chart);
        return;
    }
    MirrorAlarmShutdown(app, s.pv);
    app.live.pv = s.pv;
    HideNoAnswer(app, chart);
    app.rt.SetCtrlVal(app.panels.parm, PARM_PV, static_cast<double>(s.pv));
    if (chart) {
        app.rt.SetCtrlVal(app.panels.chart, CHART_SV, static_cast<double>(s.sv));
        app.rt.SetCtrlVal(app.panels.chart, CHART_PV, static_cast<double>(s.pv));
    }
}

void ShowSeveralRound(App& app, const core::Round& round)
{
    const core::RoundEntry* own = nullptr;
    for (const core::RoundEntry& e : round.entries)
        if (e.address == app.controller.address)
            own = &e;
    const bool chart = app.plotting == 1 && !round.pvOnly;
    int pvRead = 0;
    app.rt.GetCtrlAttribute(app.panels.parm, PARM_PV_TIMER, rt::ATTR_ENABLED, &pvRead);
    if (own && (chart || pvRead))
        ShowSelected(app, own->sample, chart);

    if (chart) {
        // Each configured controller's reading, from its record: a reading
        // from an earlier tick, or none, is a gap in its traces and empty
        // fields in its log line.
        double interval = 1.0;
        app.rt.GetCtrlAttribute(app.panels.chart, CHART_TIMER, rt::ATTR_INTERVAL, &interval);
        const auto oldest = round.wallMillis - static_cast<std::int64_t>(kFreshIntervals * interval * 1000.0);
        std::vector<LogReading> readings;
        std::vector<double> values;
        constexpr double kGap = std::numeric_limits<double>::quiet_NaN();
        for (const auto& entry : app.controllers.entries) {
            const core::Sample& last = entry->last;
            LogReading r;
            r.valid = last.valid && last.wallMillis >= oldest;
            r.sv = last.sv;
            r.pv = last.pv;
            readings.push_back(r);
            values.push_back(r.valid ? static_cast<double>(r.sv) : kGap);
            values.push_back(r.valid ? static_cast<double>(r.pv) : kGap);
        }
        ShowSeveralTraces(app);
        app.rt.PlotStripChart(app.panels.chart, CHART_STRIPCHART, values.data(), static_cast<int>(values.size()), 0,
                              0, rt::VAL_DOUBLE);
        if (app.log.logging == 1) {
            const std::string time = app.rt.TimeStr();
            int month = 0, day = 0, year = 0;
            app.rt.GetSystemDate(&month, &day, &year);
            if (EnsureLogSection(app))
                WriteLogLine(app, FormatSeveralLogLine(month, day, year, time, readings));
        }
    }
    if (app.rt.IsPanelVisible(app.panels.overview))
        overview::Refresh(app);
}

} // namespace

void ShowRound(App& app, const core::Round& round)
{
    RoundEnded(app);
    const bool quiet = app.rounds.quiet;
    app.rounds.quiet = false;
    // The server's own round while nothing of the window polls: no chart
    // point, no log line, no sign; the records hold its samples.
    if (quiet && !round.pvOnly && app.plotting != 1)
        return;
    if (round.entries.empty())
        return;
    if (Several(app))
        ShowSeveralRound(app, round);
    else
        ShowOneRound(app, round);
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
