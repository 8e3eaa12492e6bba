#include "app/overview.h"

#include "app/app.h"
#include "app/connection.h"
#include "app/port_lines.h"
#include "core/scan.h"
#include "formats/monitor_format.h"
#include "protocol/encoding.h"
#include "protocol/registers.h"
#include "link/transact.h"
#include "rt/table.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace overview {

namespace {

enum Column { kName, kPort, kAddress, kModel, kPv, kSv, kOutput, kState, kAlarm };

// A controller whose last sample is older than this shows as stale even
// while nothing has yet counted a miss (its polling stopped).
constexpr double kStaleAfter = 10.0;

const char* const kNoValue = "\xE2\x80\x94";  // an em dash

controllers::ControllerList& List(App& app)
{
    return app.controllers;
}

// Several controllers configured: the panels name the one they act on.
bool Several(const App& app)
{
    return app.controllers.size() > 1;
}

std::string Fixed1(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string ModelWord(const core::Identity& id)
{
    if (!id.known)
        return kNoValue;
    return id.model == comlink::kModelVexaMax ? "VEXAMAX" : "VEXA";
}

const char* StateWord(core::LinkState s)
{
    switch (s) {
    case core::LinkState::Online:
        return "online";
    case core::LinkState::Suspect:
        return "suspect";
    case core::LinkState::Offline:
        return "offline";
    }
    return "";
}

std::string AgeText(double seconds)
{
    if (seconds < 0)
        seconds = 0;
    if (seconds < 120)
        return std::to_string(static_cast<long>(seconds)) + " s ago";
    if (seconds < 7200)
        return std::to_string(static_cast<long>(seconds / 60)) + " min ago";
    return std::to_string(static_cast<long>(seconds / 3600)) + " h ago";
}

void SetStatus(App& app, const std::string& text)
{
    app.rt.SetCtrlVal(app.panels.overview, OVERVIEW_STATUS, text);
}

void Save(App& app)
{
    controllers::Save(app.controllers, app.settingsFile);
}

// Everything that depends on the list: the settings, the table, the titles.
void ListChanged(App& app)
{
    // Records may have gone; what was read of them goes too.
    app.overviewState.tempScales.clear();
    Save(app);
    Refresh(app);
    ShowTitles(app);
}

void ShowScanning(App& app, bool scanning)
{
    const int ov = app.panels.overview;
    rt::Runtime& rt = app.rt;
    rt.SetCtrlAttribute(ov, OVERVIEW_SCAN, rt::ATTR_DIMMED, scanning ? 1 : 0);
    rt.SetCtrlAttribute(ov, OVERVIEW_SCAN_CANCEL, rt::ATTR_DIMMED, scanning ? 0 : 1);
    rt.SetCtrlAttribute(ov, OVERVIEW_SCAN_TIMER, rt::ATTR_ENABLED, scanning ? 1 : 0);
}

void FinishScan(App& app, const std::string& why)
{
    State& s = app.overviewState;
    if (!s.scanning)
        return;
    s.scanning = false;
    ShowScanning(app, false);
    ports::EndScan(app);  // a scan of another port closes what it opened for itself
    comlink::Bus& line = app.bus;
    // A port the scan opened for itself is closed again, unless a controller
    // has been connected on it meanwhile.
    if (s.scanOpenedPort && !(app.bus.portOpen && app.bus.comPort == s.scanPort)) {
        // Nothing the scan asked for may reach the next user of the port.
        comlink::SettleLine(line);
        if (app.rt.IsComOpen(s.scanPort))
            app.rt.CloseCom(s.scanPort);
    }
    s.scanOpenedPort = false;
    std::string text = "Scan of port " + std::to_string(s.scanPort) + ", addresses " + std::to_string(s.scanFirst) +
                       " to " + std::to_string(s.scanLast) + ": " + why + "found " + std::to_string(s.scanFound) +
                       (s.scanFound == 1 ? " controller." : " controllers.");
    if (!s.scanGarbled.empty())
        text += " Garbled answers at address " + s.scanGarbled +
                ": two controllers may share an address there.";
    ListChanged(app);
    SetStatus(app, text);
    // Nothing was connected: the first controller found becomes the selected one.
    if (!app.bus.portOpen && app.controllers.selected < 0 && s.scanFound > 0) {
        const int first = app.controllers.find(s.scanPort, s.scanFirstFound);
        if (first >= 0)
            Select(app, first);
    }
}

} // namespace

std::string TitleLabel(const std::string& name, int address)
{
    if (name.empty())
        return "address " + std::to_string(address);
    return name + " [" + std::to_string(address) + "]";
}

std::string HistoryPrefix(const App& app)
{
    const controllers::ControllerList& list = app.controllers;
    if (list.size() <= 1)
        return {};
    const core::Controller* c = list.at(list.find(app.bus.comPort, app.controller.address));
    const int address = app.controller.address;
    return TitleLabel(c ? c->name : std::string(), address) + ": ";
}

void Restore(App& app)
{
    controllers::Load(&app.controllers, app.settingsFile);
    // The serial settings name the selected controller; the list follows them.
    if (app.settingsRestored)
        app.controllers.selected = app.controllers.find(app.bus.comPort, app.controller.address);
    ShowTitles(app);
}

void ShowAtStart(App& app)
{
    if (Several(app) && app.panels.overview > 0) {
        Refresh(app);
        app.rt.DisplayPanel(app.panels.overview);
        app.rt.SetCtrlAttribute(app.panels.overview, OVERVIEW_TIMER, rt::ATTR_ENABLED, 1);
    }
}

void NoteConnected(App& app, std::uint8_t model, std::uint8_t identLo)
{
    controllers::ControllerList& list = List(app);
    const int port = app.bus.comPort;
    const int address = app.controller.address;
    int at = list.find(port, address);
    if (at < 0) {
        if (list.size() <= 1) {
            // One controller: it is whatever the main panel connects to.
            list.entries.clear();
            list.selected = -1;
        }
        controllers::Add(list, port, address, "", &at);
    }
    list.selected = at;
    if (core::Controller* c = list.at(at)) {
        c->identity.known = true;
        c->identity.model = model;
        c->identity.identLo = identLo;
    }
    ListChanged(app);
}

namespace {

void Sampled(App& app, core::Controller* c, float sv, float pv)
{
    c->last.time = app.rt.clock().now();
    c->last.wallMillis = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    c->last.sv = sv;
    c->last.pv = pv;
    c->last.valid = true;
    c->last.fault = {};
    c->state = core::LinkState::Online;
    ++c->counters.rounds;
    ++c->counters.answered;
    c->counters.missedInRow = 0;
}

void Missed(core::Controller* c)
{
    ++c->counters.rounds;
    ++c->counters.missedInRow;
    c->last.valid = false;
    c->state = c->counters.missedInRow >= core::kOfflineAfterMisses ? core::LinkState::Offline
                                                                    : core::LinkState::Suspect;
}

// An offline controller is asked once every this many calls of PollOthers.
constexpr int kOfflineProbeEvery = 5;
// The wait for each answer of these reads, seconds.
constexpr double kOtherAnswerTimeout = 0.1;

} // namespace

void NoteSample(App& app, float sv, float pv)
{
    if (core::Controller* c = app.controllers.selectedController())
        Sampled(app, c, sv, pv);
}

void NoteMiss(App& app)
{
    if (core::Controller* c = app.controllers.selectedController())
        Missed(c);
}

void PollOthers(App& app)
{
    if (!Several(app) || !app.bus.portOpen)
        return;
    State& s = app.overviewState;
    const bool probeOffline = s.refreshes++ % kOfflineProbeEvery == 0;
    comlink::Bus& line = app.bus;
    controllers::ControllerList& list = app.controllers;
    for (int i = 0; i < list.size(); ++i) {
        core::Controller* c = list.at(i);
        if (i == list.selected || c->port != app.bus.comPort)
            continue;
        if (c->state == core::LinkState::Offline && !probeOffline)
            continue;
        if (ports::HoldOf(app, *c) != ports::Hold::None)
            continue;  // another controller answers there, or none: asked again by the reconnection timer
        comlink::TakeLinkBusy(line);
        // Its model, the first time it answers.
        if (!c->identity.known) {
            const core::ScanHit hit = core::ProbeAddress(line, c->address, kOtherAnswerTimeout);
            if (hit.kind == core::ScanHit::Kind::Found)
                c->identity = hit.identity;
        }
        bool ok = true;
        float scale = 0;
        if (const auto it = s.tempScales.find(c); it != s.tempScales.end()) {
            scale = it->second;
        } else {
            std::uint16_t code = 0;
            ok = core::ReadRegisterOnce(line, c->address, tecreg::kDecimalPnt, comlink::kPostWriteDelay,
                                        kOtherAnswerTimeout, &code);
            if (ok)
                scale = s.tempScales[c] = params::TempScaleFor(static_cast<std::int16_t>(code));
        }
        std::uint16_t sv = 0, pv = 0;
        ok = ok && core::ReadRegisterOnce(line, c->address, tecreg::kWorkingSv, comlink::kSvPostWriteDelay,
                                          kOtherAnswerTimeout, &sv);
        ok = ok && core::ReadRegisterOnce(line, c->address, tecreg::kPv, comlink::kPostWriteDelay,
                                          kOtherAnswerTimeout, &pv);
        comlink::ReleaseLinkBusy(line);
        if (ok)
            Sampled(app, c, monitor::RawToDisplay(sv, scale), monitor::RawToDisplay(pv, scale));
        else
            Missed(c);
        if (!app.bus.portOpen)
            return;
    }
}

int Select(App& app, int index)
{
    core::Controller* c = app.controllers.at(index);
    if (!c)
        return -1;
    rt::Runtime& rt = app.rt;
    const int parm = app.panels.parm;
    app.controllers.selected = index;
    Save(app);
    // The port the window leaves is closed before it takes another.
    if (app.bus.comPort != c->port && app.rt.IsComOpen(app.bus.comPort))
        app.rt.CloseCom(app.bus.comPort);
    // The main panel shows the controller's port and address, and the link is
    // made to it as selecting the port there makes it.
    app.bus.comPort = static_cast<std::uint16_t>(c->port);
    comlink::FillPortSelector(app);
    rt.SetCtrlVal(parm, PARM_COMPORT, c->port);
    rt.SetCtrlVal(parm, PARM_CTRL_ID, static_cast<int>(c->address));
    app.controller.address = c->address;
    // The debug panel's frames go to it too, until the operator types another address there.
    if (Several(app))
        rt.SetCtrlVal(app.panels.debug, DEBUG_ID, static_cast<int>(c->address));
    const int status = comlink::ConnectController(app);
    if (status < 0) {
        // The panels act on it all the same; the overview says it did not answer.
        c->state = core::LinkState::Offline;
        SetStatus(app, c->label() + " did not answer on port " + std::to_string(c->port) + ".");
    }
    Refresh(app);
    ShowTitles(app);
    return status;
}

void ShowTitles(App& app)
{
    const PanelSet& p = app.panels;
    State& s = app.overviewState;
    const core::Controller* selected = app.controllers.selectedController();
    for (int panel : {p.parm, p.debug, p.chart, p.script, p.pidhelp}) {
        if (panel <= 0)
            continue;
        if (!s.baseTitles.count(panel))
            s.baseTitles[panel] = rt::GetPanelTitle(app.rt, panel);
        std::string title = s.baseTitles[panel];
        if (Several(app) && selected)
            title += " \xE2\x80\x94 " + TitleLabel(selected->name, selected->address);
        rt::SetPanelTitle(app.rt, panel, title);
    }
}

void Refresh(App& app)
{
    const int ov = app.panels.overview;
    if (ov <= 0)
        return;
    rt::Runtime& rt = app.rt;
    const controllers::ControllerList& list = app.controllers;
    const int current = rt::GetTableCurrentRow(rt, ov, OVERVIEW_TABLE);
    rt::SetTableRowCount(rt, ov, OVERVIEW_TABLE, list.size());
    const double now = rt.clock().now();
    for (int i = 0; i < list.size(); ++i) {
        const core::Controller& c = *list.at(i);
        const bool selected = i == list.selected;
        const bool sampled = c.counters.answered > 0;
        const double age = now - c.last.time;
        std::vector<std::string> cells(9, kNoValue);
        cells[kName] = c.name.empty() ? std::string(kNoValue) : c.name;
        if (selected)
            cells[kName] = "\xE2\x96\xB6 " + cells[kName];  // a pointer: the panels act on this one
        cells[kPort] = std::to_string(c.port);
        cells[kAddress] = std::to_string(c.address);
        cells[kModel] = ModelWord(c.identity);
        if (sampled) {
            cells[kPv] = Fixed1(c.last.pv);
            cells[kSv] = Fixed1(c.last.sv);
        }
        const ParameterSet& params = selected ? app.params : c.params;
        if (params.fromController())
            cells[kOutput] = Fixed1(params.outputLevel) + " %";
        rt::RowMark mark = selected ? rt::RowMark::Selected : rt::RowMark::Normal;
        if (c.counters.rounds == 0 && !sampled) {
            cells[kState] = c.state == core::LinkState::Offline ? "offline, no answer yet" : "not polled";
            if (c.state == core::LinkState::Offline)
                mark = rt::RowMark::Offline;
        } else {
            std::string st = StateWord(c.state);
            st += sampled ? ", " + AgeText(age) : std::string(", no sample yet");
            if (c.counters.missedInRow > 0)
                st += ", missed " + std::to_string(c.counters.missedInRow);
            cells[kState] = st;
            if (c.state == core::LinkState::Offline)
                mark = rt::RowMark::Offline;
            else if (c.state == core::LinkState::Suspect || (sampled && age > kStaleAfter))
                mark = rt::RowMark::Stale;
        }
        // Not polled, and why: its port went away, another controller answers...
        if (const std::string why = ports::Why(app, c); !why.empty()) {
            cells[kState] = "offline, " + why + (sampled ? ", last sample " + AgeText(age) : std::string());
            mark = rt::RowMark::Offline;
        }
        if (selected && app.bus.portOpen)
            cells[kAlarm] = app.alarmStatus != 0 ? "ALARM" : "off";
        rt::SetTableRow(rt, ov, OVERVIEW_TABLE, i, cells, mark);
    }
    rt::FitTableColumns(rt, ov, OVERVIEW_TABLE);
    if (current >= 0 && current < list.size())
        rt::SetTableCurrentRow(rt, ov, OVERVIEW_TABLE, current);
}

} // namespace overview

using overview::State;

TEC_CALLBACK(OpenOverview)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int ov = app.panels.overview;
    if (ov <= 0)
        return 0;
    overview::Refresh(app);
    if (app.controllers.selected >= 0)
        rt::SetTableCurrentRow(app.rt, ov, OVERVIEW_TABLE, app.controllers.selected);
    // The add fields start at the port in use.
    if (app.bus.comPort > 0)
        app.rt.SetCtrlVal(ov, OVERVIEW_PORT, static_cast<int>(app.bus.comPort));
    app.rt.DisplayPanel(ov);
    app.rt.SetCtrlAttribute(ov, OVERVIEW_TIMER, rt::ATTR_ENABLED, 1);
    return 0;
}

TEC_CALLBACK(OverviewClose)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    if (app.overviewState.scanning)
        overview::FinishScan(app, "cancelled, ");
    app.rt.SetCtrlAttribute(app.panels.overview, OVERVIEW_TIMER, rt::ATTR_ENABLED, 0);
    app.rt.HidePanel(app.panels.overview);
    return 0;
}

TEC_CALLBACK(OverviewAdd)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int ov = app.panels.overview;
    int port = 0, address = 0;
    std::string name;
    app.rt.GetCtrlVal(ov, OVERVIEW_PORT, &port);
    app.rt.GetCtrlVal(ov, OVERVIEW_ADDRESS, &address);
    app.rt.GetCtrlVal(ov, OVERVIEW_NAME, &name);
    int at = -1;
    const std::string why = controllers::Add(app.controllers, port, address, name, &at);
    if (!why.empty()) {
        app.rt.MessagePopup("Add Controller", why);
        return 0;
    }
    overview::ListChanged(app);
    rt::SetTableCurrentRow(app.rt, ov, OVERVIEW_TABLE, at);
    app.rt.SetCtrlVal(ov, OVERVIEW_NAME, "");
    overview::SetStatus(app, "Added " + app.controllers.at(at)->label() + " on port " + std::to_string(port) +
                                 ", address " + std::to_string(address) + ".");
    return 0;
}

TEC_CALLBACK(OverviewRename)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int ov = app.panels.overview;
    const int row = rt::GetTableCurrentRow(app.rt, ov, OVERVIEW_TABLE);
    std::string name;
    app.rt.GetCtrlVal(ov, OVERVIEW_NAME, &name);
    if (!controllers::Rename(app.controllers, row, name)) {
        overview::SetStatus(app, "Choose the row to rename first.");
        return 0;
    }
    overview::ListChanged(app);
    app.rt.SetCtrlVal(ov, OVERVIEW_NAME, "");
    return 0;
}

TEC_CALLBACK(OverviewRemove)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int ov = app.panels.overview;
    if (app.overviewState.scanning) {
        overview::SetStatus(app, "Wait for the scan to end, or cancel it.");
        return 0;
    }
    const int row = rt::GetTableCurrentRow(app.rt, ov, OVERVIEW_TABLE);
    if (row < 0) {
        overview::SetStatus(app, "Choose the row to remove first.");
        return 0;
    }
    const std::string label = app.controllers.at(row)->label();
    if (const std::string why = controllers::Remove(app.controllers, row); !why.empty()) {
        app.rt.MessagePopup("Remove Controller", why);
        return 0;
    }
    overview::ListChanged(app);
    overview::SetStatus(app, "Removed " + label + ".");
    return 0;
}

TEC_CALLBACK(OverviewSelect)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    if (app.overviewState.scanning) {
        overview::SetStatus(app, "Wait for the scan to end, or cancel it.");
        return 0;
    }
    const int row = rt::GetTableCurrentRow(app.rt, app.panels.overview, OVERVIEW_TABLE);
    if (!app.controllers.at(row)) {
        overview::SetStatus(app, "Choose a row first.");
        return 0;
    }
    overview::Select(app, row);
    return 0;
}

TEC_CALLBACK(OverviewScan)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    State& s = app.overviewState;
    if (s.scanning)
        return 0;
    rt::Runtime& rt = app.rt;
    const int ov = app.panels.overview;
    int port = 0, first = 1, last = 247;
    rt.GetCtrlVal(ov, OVERVIEW_PORT, &port);
    rt.GetCtrlVal(ov, OVERVIEW_SCAN_FROM, &first);
    rt.GetCtrlVal(ov, OVERVIEW_SCAN_TO, &last);
    if (first > last)
        std::swap(first, last);
    comlink::Bus& link = app.bus;
    bool opened = false;
    if (port != link.comPort && (rt.IsComOpen(link.comPort) || rt.IsComOpen(port))) {
        // Another port than the window's: asked through its line, or opened for the scan alone.
        if (!ports::BeginScan(app, port)) {
            rt.MessagePopup("Scan", "Port " + std::to_string(port) + " cannot be opened.", rt.ComOpenProblem(port));
            return 0;
        }
    } else if (!rt.IsComOpen(port)) {
        // No controller is connected: the port is opened for the scan alone.
        link.comPort = static_cast<std::uint16_t>(port);
        if (rt.OpenComConfig(port, "", static_cast<long>(link.baudRate), 0, 8, 1, 255, 255) < 0) {
            rt.MessagePopup("Scan", "Port " + std::to_string(port) + " cannot be opened.", rt.ComOpenProblem(port));
            return 0;
        }
        rt.Delay(0.3);
        rt.SetXMode(port, 0);
        rt.SetCTSMode(port, 0);
        rt.SetComTime(port, comlink::kReadTimeout);
        opened = true;
    }
    std::map<int, std::string> titles = std::move(s.baseTitles);
    s = State{};
    s.baseTitles = std::move(titles);
    s.scanning = true;
    s.scanOpenedPort = opened;
    s.scanPort = port;
    s.scanFirst = first;
    s.scanNext = first;
    s.scanLast = last;
    rt::SetProgress(rt, ov, OVERVIEW_PROGRESS, 0, last - first + 1);
    overview::ShowScanning(app, true);
    overview::SetStatus(app, "Scanning port " + std::to_string(port) + ", addresses " + std::to_string(first) +
                                 " to " + std::to_string(last) + " (reads only)…");
    return 0;
}

TEC_CALLBACK(OverviewScanCancel)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    overview::FinishScan(app, "cancelled at address " + std::to_string(app.overviewState.scanNext) + ", ");
    return 0;
}

TEC_CALLBACK(OverviewScanTick)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    State& s = app.overviewState;
    if (!s.scanning) {
        app.rt.SetCtrlAttribute(app.panels.overview, OVERVIEW_SCAN_TIMER, rt::ATTR_ENABLED, 0);
        return 0;
    }
    if (s.scanNext > s.scanLast) {
        overview::FinishScan(app, "");
        return 0;
    }
    comlink::Bus* other = ports::ScanBus(app);
    comlink::Bus& line = other ? *other : app.bus;
    const int address = s.scanNext;
    comlink::TakeLinkBusy(line);
    const core::ScanHit hit = core::ProbeAddress(line, static_cast<core::Address>(address));
    comlink::ReleaseLinkBusy(line);
    ++s.scanNext;
    rt::SetProgress(app.rt, app.panels.overview, OVERVIEW_PROGRESS, s.scanNext - s.scanFirst,
                    s.scanLast - s.scanFirst + 1);
    switch (hit.kind) {
    case core::ScanHit::Kind::Found: {
        int at = app.controllers.find(s.scanPort, address);
        if (at < 0)
            controllers::Add(app.controllers, s.scanPort, address, "", &at);
        if (core::Controller* c = app.controllers.at(at))
            c->identity = hit.identity;
        if (s.scanFound++ == 0)
            s.scanFirstFound = address;
        overview::Refresh(app);
        break;
    }
    case core::ScanHit::Kind::Garbled:
        s.scanGarbled += (s.scanGarbled.empty() ? "" : ", ") + std::to_string(address);
        break;
    case core::ScanHit::Kind::Other:
    case core::ScanHit::Kind::Nothing:
        break;
    }
    if (!app.rt.IsComOpen(s.scanPort)) {
        overview::FinishScan(app, "the port went away at address " + std::to_string(address) + ", ");
        return 0;
    }
    if (s.scanNext > s.scanLast)
        overview::FinishScan(app, "");
    return 0;
}

TEC_CALLBACK(OverviewRefresh)
{
    if (event != rt::EVENT_TIMER_TICK)
        return 0;
    if (!app.overviewState.scanning)
        overview::PollOthers(app);
    overview::Refresh(app);
    return 0;
}
