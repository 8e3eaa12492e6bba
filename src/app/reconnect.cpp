#include "app/reconnect.h"

#include "app/app.h"
#include "app/overview.h"
#include "app/panel_state.h"
#include "app/port_lines.h"
#include "app/port_watch.h"
#include "core/connect.h"
#include "core/param_changes.h"
#include "link/transact.h"
#include "monitor/monitor.h"
#include "params/params.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace reconnect {

namespace {

namespace fs = std::filesystem;

constexpr double kOpenSettleDelay = 0.3;
// After a try that found the device but no answering controller, the next
// tries come this many ticks apart: each costs an identification time-out
// during which no event is dispatched.
constexpr int kTicksAfterSilence = 4;
// Lines the history popup shows, newest last.
constexpr std::size_t kHistoryShown = 40;

std::string Hex(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

std::string PortText(const LinkWatch& w)
{
    std::string s = "port " + std::to_string(w.port);
    if (!w.devicePath.empty())
        s += " (" + w.devicePath + ")";
    return s;
}

// The status line beside the link LED; "" hides it.
void ShowStatus(App& app, const std::string& text)
{
    const int parm = app.panels.parm;
    app.rt.SetCtrlVal(parm, PARM_LINK_STATUS, text);
    app.rt.SetCtrlAttribute(parm, PARM_LINK_STATUS, rt::ATTR_VISIBLE, text.empty() ? 0 : 1);
}

void RunWatchTimer(App& app, bool on)
{
    // The other ports' lines tick on the same timer.
    on = on || ports::NeedsTicks(app);
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_RECONNECT_TIMER, rt::ATTR_ENABLED, on ? 1 : 0);
}

bool TimerOn(App& app, int panel, int timer)
{
    int on = 0;
    app.rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &on);
    return on != 0;
}

void SetTimer(App& app, int panel, int timer, bool on)
{
    if (on)
        app.rt.SetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, 1);
}

void CloseLinkPort(App& app)
{
    if (app.rt.IsComOpen(app.bus.comPort))
        app.rt.CloseCom(app.bus.comPort);
    app.bus.portOpen = 0;
    app.bus.openStatus = -1;
}

void EndWatch(App& app)
{
    app.reconnect.watching = false;
    RunWatchTimer(app, false);
}

// Every parameter is read again after the link comes back: the controller's
// keypad or another program may have changed it meanwhile. No popup: the
// status line says it was done and the history names what changed.
void ReadAgain(App& app)
{
    const ParameterSet before = app.params;
    const bool wasComplete = before.fromController();
    app.params.connectionMade();
    std::string failure;
    // A loss during this read is told on the panels and in the history,
    // never in a popup: nobody may be at the desk.
    app.portLostReported = true;
    const bool done = params::ReadAllParametersQuietly(app, &failure);
    if (app.bus.portOpen == 0) {
        AddHistory(app, "Parameters not read again: the link went away during the reading");
        return;
    }
    app.portLostReported = false;
    const std::string at = "Back at " + app.rt.TimeStr();
    if (!done) {
        AddHistory(app, "Parameters not read again after the link came back: " + failure);
        ShowStatus(app, at + ", parameters not read; press Read all");
        return;
    }
    const std::vector<std::string> changes = core::DescribeChanges(before, app.params);
    if (!wasComplete)
        AddHistory(app, "Parameters read again (they had not all been read before the link went away)");
    else if (changes.empty())
        AddHistory(app, "Parameters read again: none changed while the link was away");
    else
        AddHistory(app, "Parameters read again: " + std::to_string(changes.size()) +
                            (changes.size() == 1 ? " value" : " values") + " changed while the link was away");
    if (wasComplete)
        for (const std::string& c : changes)
            AddHistory(app, "  Changed while away: " + c);
    ShowStatus(app, at + ", parameters read again");
}

void Resume(App& app)
{
    LinkWatch& w = app.reconnect;
    const PanelSet& p = app.panels;
    EndWatch(app);
    app.portLostReported = false;
    app.rt.SetCtrlVal(p.parm, PARM_LINK_LED, 1);
    app.misses = WatchMisses{};
    // A poll the operator switched off while the link was down stays off.
    int pvSwitch = 0;
    app.rt.GetCtrlVal(p.parm, PARM_PV_READ, &pvSwitch);
    std::string resumed;
    auto add = [&resumed](bool on, const char* what) {
        if (on)
            resumed += std::string(resumed.empty() ? "" : ", ") + what;
    };
    const bool pv = w.pvPoll && pvSwitch != 0;
    const bool chart = w.chart && app.plotting != 0;
    SetTimer(app, p.parm, PARM_PV_TIMER, pv);
    SetTimer(app, p.chart, CHART_TIMER, chart);
    SetTimer(app, p.parm, PARM_ALARM_TIMER, w.alarm);
    SetTimer(app, p.parm, PARM_TUNE_TIMER, w.tune);
    SetTimer(app, p.script, SCRIPT_RUN_TIMER, w.script);
    add(pv, "PV reading");
    add(chart, "chart");
    add(chart && app.log.logging == 1, "data log");
    add(w.alarm, "alarm watch");
    add(w.tune, "auto-tune watch");
    add(w.script, "step program watch");
    comlink::ClearLinkLost(app);
    ShowNoAnswerSign(app);
    AddHistory(app, "Link back: " + PortText(w) + ", the same controller (" + IdentityText(w.model, w.identLo) +
                        "); resumed: " + (resumed.empty() ? std::string("nothing was running") : resumed));
    ReadAgain(app);
    // The other controllers on the port are each identified again.
    ports::NoteSelectedBack(app);
}

void AddHistoryLine(App& app, const std::string& prefix, const std::string& text)
{
    int month = 0, day = 0, year = 0;
    app.rt.GetSystemDate(&month, &day, &year);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, month, day);
    auto& h = app.reconnect.history;
    h.push_back(std::string(date) + " " + app.rt.TimeStr() + "  " + prefix + text);
    while (h.size() > static_cast<std::size_t>(kHistoryLimit))
        h.pop_front();
}

} // namespace

// The model label and the low byte as a number; a model code the program
// does not take is given in hexadecimal.
std::string IdentityText(std::uint8_t model, std::uint8_t identLo)
{
    const std::string name = model == comlink::kModelVexaMax ? "VEXAMAX"
                             : model == comlink::kModelVexa   ? "VEXA"
                                                              : "model " + Hex(model) + "h";
    return name + ", identity " + std::to_string(identLo);
}

std::string DevicePathOf(App& app, int port)
{
    const rt::PortEntry* e = app.rt.ports().find(port);
    if (!e || !e->factory)
        return {};
    const auto device = e->factory();
    const std::string d = device ? device->description() : std::string();
    return !d.empty() && d.front() == '/' ? d : std::string();
}

std::string FindById(const std::string& devicePath, const std::string& byIdFolder)
{
    std::error_code ec;
    const fs::path target = fs::canonical(devicePath, ec);
    if (ec)
        return {};
    for (fs::directory_iterator it(byIdFolder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (fs::canonical(it->path(), ec2) == target && !ec2)
            return it->path().string();
    }
    return {};
}

std::string LocateDevice(const std::string& devicePath, const std::string& byIdPath)
{
    std::error_code ec;
    if (!byIdPath.empty()) {
        // The adapter's own name: it may come back under another tty number.
        const fs::path target = fs::canonical(byIdPath, ec);
        return ec ? std::string() : target.string();
    }
    if (!devicePath.empty() && fs::exists(devicePath, ec))
        return devicePath;
    return {};
}

void AddHistory(App& app, const std::string& text)
{
    AddHistoryLine(app, overview::HistoryPrefix(app), text);
}

void AddHistoryAbout(App& app, const core::Controller& about, const std::string& text)
{
    const std::string prefix =
        app.controllers.size() > 1 ? overview::TitleLabel(about.name, about.address) + ": " : std::string();
    AddHistoryLine(app, prefix, text);
}

void NoteConnected(App& app, std::uint8_t model, std::uint8_t identLo)
{
    LinkWatch& w = app.reconnect;
    EndWatch(app);
    w.known = true;
    w.model = model;
    w.identLo = identLo;
    w.port = app.bus.comPort;
    w.devicePath = DevicePathOf(app, w.port);
    w.byIdPath = w.devicePath.empty() ? std::string() : FindById(w.devicePath);
    AddHistory(app, "Connected: " + PortText(w) + ", " + IdentityText(model, identLo));
    ShowStatus(app, "");
}

void NoteConnecting(App& app)
{
    LinkWatch& w = app.reconnect;
    if (w.watching && w.enabled)
        AddHistory(app, "Reconnection of port " + std::to_string(w.port) + " ended: a port was selected");
    if (w.watching)
        ShowStatus(app, "");  // nothing is retried any more; "Link lost" stays until a link is made
    EndWatch(app);
    w.known = false;
}

void NoteLost(App& app)
{
    LinkWatch& w = app.reconnect;
    if (!w.known || w.watching)
        return;
    const PanelSet& p = app.panels;
    w.pvPoll = TimerOn(app, p.parm, PARM_PV_TIMER);
    w.chart = TimerOn(app, p.chart, CHART_TIMER);
    w.alarm = TimerOn(app, p.parm, PARM_ALARM_TIMER);
    w.tune = TimerOn(app, p.parm, PARM_TUNE_TIMER);
    w.script = TimerOn(app, p.script, SCRIPT_RUN_TIMER);
    w.watching = true;
    w.silenceTold = false;
    w.refusalTold = false;
    w.skipTicks = 0;
    AddHistory(app, "Link lost: " + PortText(w) + " went away" +
                        (w.enabled ? "; looking for it once a second" : "; automatic reconnection is off"));
    // Short: the line sits beside the LED; the history has the whole story.
    ShowStatus(app, "Lost " + app.rt.TimeStr() + (w.enabled ? std::string(", retrying") : std::string("; select port")));
    ports::NoteSelectedLost(app);
    RunWatchTimer(app, w.enabled);
}

void Try(App& app)
{
    LinkWatch& w = app.reconnect;
    if (!w.watching || !w.enabled) {
        RunWatchTimer(app, false);
        return;
    }
    if (w.skipTicks > 0) {
        --w.skipTicks;
        return;
    }
    rt::Runtime& rt = app.rt;
    comlink::Bus& bus = app.bus;
    if (!w.devicePath.empty()) {
        const std::string where = LocateDevice(w.devicePath, w.byIdPath);
        if (where.empty())
            return;  // not back yet
        if (where != w.devicePath) {
            // The same adapter under another name: the port number follows it.
            rt.ports().bindDevice(w.port, where);
            AddHistory(app, "Port " + std::to_string(w.port) + " (" + w.byIdPath + ") is back as " + where);
            w.devicePath = where;
        }
    }
    bus.comPort = w.port;
    int opening = 0;
    core::ConnectOptions how;
    how.open = [&] {
        return opening = rt.OpenComConfig(w.port, "", static_cast<long>(bus.baudRate), 0, 8, 1, 255, 255);
    };
    how.settle = kOpenSettleDelay;
    comlink::Identity id;
    how.identification = &id;
    const comlink::Fault fault = core::Connect(bus, app.controller, how);
    if (opening < 0)
        return;  // absent, or not yet usable (permissions are often set just after it appears)
    if (fault.kind == comlink::FaultKind::PortGone)
        return;  // lost again during the identification; the watch goes on
    if (!fault && id.model == w.model && id.identLo == w.identLo) {
        Resume(app);
        return;
    }
    CloseLinkPort(app);
    // Silence and refusals are what a controller still starting gives: it is
    // told once and tried again, more slowly.
    const bool refusal = fault.kind == comlink::FaultKind::Refused;
    if (id.status == comlink::IdentifyStatus::Silent || refusal) {
        w.skipTicks = kTicksAfterSilence;
        if (!(refusal ? w.refusalTold : w.silenceTold)) {
            (refusal ? w.refusalTold : w.silenceTold) = true;
            AddHistory(app, "Port " + std::to_string(w.port) + " is back but the controller " +
                                (refusal ? "refuses to identify itself" : "does not answer") +
                                ": not resumed; trying again every few seconds");
            ShowStatus(app, refusal ? "Port back, refused" : "Port back, no answer");
        }
        return;
    }
    // Another controller, or another device: nothing is resumed on it.
    EndWatch(app);
    w.known = false;
    const std::string found = id.status == comlink::IdentifyStatus::Accepted
                                  ? "another controller (" + IdentityText(id.model, id.identLo) + ")"
                                  : id.answer.good() ? "a device that is not the controller (model " + Hex(id.model) + "h)"
                                                     : "a device that is not the controller";
    AddHistory(app, "Port " + std::to_string(w.port) + " is back with " + found + ", not the one that was lost (" +
                        IdentityText(w.model, w.identLo) + "): nothing resumed; select the port to use it");
    ShowStatus(app, "Other controller, not used");
}

} // namespace reconnect

TEC_CALLBACK(ReconnectTick)
{
    if (event == rt::EVENT_TIMER_TICK) {
        reconnect::Try(app);
        ports::Try(app);
    }
    return 0;
}

TEC_CALLBACK(ShowLinkHistory)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup("Connection History",
                            "Shows when the link to the controller was made, lost and made again, and why a "
                            "controller that came back was not taken up.\nWhile the link is lost the program "
                            "looks for the same device once a second and resumes the PV reading, the chart, the "
                            "data log and the watches when the same controller answers (unless started with "
                            "--no-reconnect).");
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    const auto& h = app.reconnect.history;
    std::string text;
    const std::size_t first = h.size() > reconnect::kHistoryShown ? h.size() - reconnect::kHistoryShown : 0;
    for (std::size_t i = first; i < h.size(); ++i)
        text += h[i] + "\n";
    app.rt.MessagePopup("Connection History", text.empty() ? std::string("No connection yet.") : text);
    return 0;
}
