#include "app/port_lines.h"

#include "app/app.h"
#include "app/reconnect.h"
#include "core/connect.h"
#include "core/scan.h"
#include "link/transact.h"
#include "protocol/encoding.h"
#include "protocol/registers.h"

#include <algorithm>
#include <set>

namespace ports {

namespace {

constexpr double kOpenSettleDelay = 0.3;
// A controller that did not answer (or refused) when its port came back is
// asked again this many ticks apart: each try may cost a time-out.
// Each identification blocks the event loop for its answer's wait, so the
// wait doubles after every try that goes unanswered, up to the longest.
constexpr int kRetryTicks = 5;
constexpr int kLongestRetryTicks = 40;
// The wait for an identification's or a decimal point's answer; a controller
// that is there answers well within it.
constexpr double kAnswerTimeout = 0.1;

// The configured controllers on `port`, in list order.
std::vector<core::Controller*> EntriesOn(const App& app, int port)
{
    std::vector<core::Controller*> out;
    for (const auto& c : app.controllers.entries)
        if (c->port == port)
            out.push_back(c.get());
    return out;
}

core::Controller* EntryAt(const App& app, int port, int address)
{
    return app.controllers.at(app.controllers.find(port, address));
}

Line* FindLine(App& app, int port)
{
    for (const auto& l : app.lines.lines)
        if (l->port == port)
            return l.get();
    return nullptr;
}

// The window's own controller: the one on the window's bus at the panel's address.
bool IsSelected(const App& app, const core::Controller& c)
{
    return c.port == app.bus.comPort && c.address == app.controller.address;
}

void SetHold(App& app, int port, int address, Hold why)
{
    if (why == Hold::None) {
        app.lines.holds.erase({port, address});
        return;
    }
    Held& h = app.lines.holds[{port, address}];
    if (h.why == why && h.retryWait > 0) {
        // Asked again and still the same: asked less often.
        h.retryIn = h.retryWait;
        h.retryWait = std::min(kLongestRetryTicks, h.retryWait * 2);
        return;
    }
    h.why = why;
    h.retryIn = kRetryTicks;
    h.retryWait = 2 * kRetryTicks;
}

void UpdateTimer(App& app)
{
    if (app.panels.parm <= 0)
        return;
    const bool on = (app.reconnect.watching && app.reconnect.enabled) || NeedsTicks(app);
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_RECONNECT_TIMER, rt::ATTR_ENABLED, on ? 1 : 0);
}

std::string PortWords(int port)
{
    return "port " + std::to_string(port);
}

// Identifies the controller `entry` names on `bus` (open), and reads its
// decimal point when it is the controller it was: Hold::None, or why not.
// What was identified goes into the entry and into its line's record.
Hold Identify(comlink::Bus& bus, core::Controller& entry, core::Controller* record, comlink::Identity* seen)
{
    comlink::TakeLinkBusy(bus);
    const int port = bus.comPort;
    const double kept = bus.ports.timeout(port);
    bus.ports.setTimeout(port, kAnswerTimeout);
    const comlink::Identity id = comlink::Identify(bus, entry.address);
    if (bus.ports.isOpen(port))
        bus.ports.setTimeout(port, kept);
    *seen = id;
    Hold why = Hold::None;
    if (id.answer.status == comlink::AnswerStatus::NoPort) {
        why = Hold::PortLost;
    } else if (id.status == comlink::IdentifyStatus::Accepted) {
        const core::Identity& before = entry.identity;
        if (before.known && (before.model != id.model || before.identLo != id.identLo)) {
            why = Hold::OtherController;
        } else {
            std::uint16_t code = 0;
            if (core::ReadRegisterOnce(bus, entry.address, tecreg::kDecimalPnt, comlink::kPostWriteDelay,
                                       kAnswerTimeout, &code)) {
                const float scale = params::TempScaleFor(static_cast<std::int16_t>(code));
                entry.identity = core::Identity{true, id.model, id.identLo};
                entry.params.tempScale = scale;
                if (record) {
                    record->identity = entry.identity;
                    record->params.tempScale = scale;
                }
            } else {
                why = bus.portOpen ? Hold::NoAnswer : Hold::PortLost;
            }
        }
    } else if (id.answer.status == comlink::AnswerStatus::Exception) {
        why = Hold::Refused;
    } else if (id.answer.good()) {
        why = Hold::OtherController;  // an intact answer with a model code of no controller
    } else {
        why = Hold::NoAnswer;
    }
    comlink::ReleaseLinkBusy(bus);
    return why;
}

// What the history says of an identification; `back` when the controller
// was polled before its port went away.
void TellIdentified(App& app, const core::Controller& c, Hold why, const comlink::Identity& seen, bool back,
                    bool first)
{
    const std::string port = PortWords(c.port);
    switch (why) {
    case Hold::None:
        if (back)
            reconnect::AddHistoryAbout(app, c, "back with " + port + " (" +
                                                   reconnect::IdentityText(c.identity.model, c.identity.identLo) +
                                                   "), polled again");
        else if (first)
            reconnect::AddHistoryAbout(app, c, "connected on " + port + ", " +
                                                   reconnect::IdentityText(c.identity.model, c.identity.identLo));
        else
            reconnect::AddHistoryAbout(app, c, "answers again on " + port + ", polled again");
        return;
    case Hold::OtherController: {
        const std::string found = seen.status == comlink::IdentifyStatus::Accepted
                                      ? " (" + reconnect::IdentityText(seen.model, seen.identLo) + ")"
                                      : " (a device that is not a controller)";
        const std::string was =
            c.identity.known ? ", not the one polled before (" +
                                   reconnect::IdentityText(c.identity.model, c.identity.identLo) + ")"
                             : std::string();
        reconnect::AddHistoryAbout(app, c, "answers as another controller on " + port + found + was +
                                               ": not polled; select it to use it");
        return;
    }
    case Hold::NoAnswer:
    case Hold::Refused:
        if (first || back)
            reconnect::AddHistoryAbout(app, c, (back ? port + " is back but the controller " : "on " + port + " the controller ") +
                                                   (why == Hold::Refused ? "refuses to identify itself"
                                                                         : "does not answer") +
                                                   ": not polled; asking again every few seconds");
        return;
    case Hold::PortLost:
    case Hold::PortUnopened:
        return;  // told by the line
    }
}

void LineLost(App& app, int port);

bool Retried(Hold why)
{
    return why == Hold::NoAnswer || why == Hold::Refused;
}

// Opens the line's port as the window opens its own and lets the line settle.
bool OpenPort(App& app, Line& line)
{
    core::Controller none;
    core::ConnectOptions how;
    how.open = [&] {
        return app.rt.OpenComConfig(line.port, "", static_cast<long>(line.bus.baudRate), 0, 8, 1, 255, 255);
    };
    how.settle = kOpenSettleDelay;
    how.identify = false;
    line.bus.comPort = static_cast<std::uint16_t>(line.port);
    return !core::Connect(line.bus, none, how);
}

// Each controller on the line's (open) port identified: those that are the
// controllers they were are polled, the others held with the reason.
void IdentifyAll(App& app, Line& line, bool back, bool first)
{
    for (core::Controller* entry : EntriesOn(app, line.port)) {
        if (line.state != Line::State::Open)
            return;  // lost again meanwhile: told by the loss
        auto& record = line.records[entry->address];
        if (!record) {
            record = std::make_unique<core::Controller>(*entry);
            record->params = ParameterSet{};
            record->params.tempScale = entry->params.tempScale;
        }
        comlink::Identity seen;
        const Hold why = Identify(line.bus, *entry, record.get(), &seen);
        if (why == Hold::PortLost)
            LineLost(app, line.port);  // closed under it: lost all the same
        if (line.state != Line::State::Open)
            return;
        SetHold(app, line.port, entry->address, why);
        if (why == Hold::None) {
            if (back && record->state == core::LinkState::Offline)
                ++record->counters.reconnections;
            record->state = core::LinkState::Online;
            record->counters.missedInRow = 0;
        } else {
            record->state = core::LinkState::Offline;
        }
        entry->state = record->state;
        entry->counters = record->counters;
        TellIdentified(app, *entry, why, seen, back, first);
    }
}

// The port went away under the line: its controllers go offline, nothing else stops.
void LineLost(App& app, int port)
{
    Line* line = FindLine(app, port);
    if (!line || line->state == Line::State::Lost)
        return;
    const bool wasOpen = line->state == Line::State::Open;
    line->state = Line::State::Lost;
    line->poller.setControllers({});
    if (app.rt.IsComOpen(port))
        app.rt.CloseCom(port);
    for (core::Controller* entry : EntriesOn(app, port)) {
        entry->state = core::LinkState::Offline;
        entry->last.valid = false;
        if (auto it = line->records.find(entry->address); it != line->records.end())
            it->second->state = core::LinkState::Offline;
        SetHold(app, port, entry->address, Hold::PortLost);
        if (wasOpen)
            reconnect::AddHistoryAbout(app, *entry,
                                       "lost with " + PortWords(port) +
                                           (app.reconnect.enabled ? "; looking for it once a second"
                                                                  : "; automatic reconnection is off"));
    }
    UpdateTimer(app);
}

void RoundEnded(App& app, int port, const core::Round& round)
{
    Line* line = FindLine(app, port);
    if (!line)
        return;
    for (const core::RoundEntry& e : round.entries) {
        const auto it = line->records.find(e.address);
        core::Controller* entry = EntryAt(app, port, e.address);
        if (it == line->records.end() || !entry)
            continue;
        const core::Controller& r = *it->second;
        entry->last = r.last;
        entry->state = r.state;
        entry->counters = r.counters;
        entry->identity = r.identity;
        // Held meanwhile (its port went away during the round): it stays offline.
        if (HoldOf(app, *entry) != Hold::None)
            entry->state = core::LinkState::Offline;
    }
    const auto subscribers = app.lines.roundSubscribers;
    for (const auto& [id, fn] : subscribers)
        if (app.lines.roundSubscribers.count(id))
            fn(port, round);
}

Line& MakeLine(App& app, int port)
{
    auto made = std::make_unique<Line>(app.rt, port);
    Line& line = *made;
    line.bus.comPort = static_cast<std::uint16_t>(port);
    line.bus.baudRate = app.bus.baudRate;
    App* a = &app;
    line.bus.portLost = [a, port] { LineLost(*a, port); };
    Line* l = &line;
    line.service = app.rt.AddService([l] { return l->poller.service(); });
    line.poller.subscribe([a, port](const core::Round& round) { RoundEnded(*a, port, round); });
    line.devicePath = reconnect::DevicePathOf(app, port);
    line.byIdPath = line.devicePath.empty() ? std::string() : reconnect::FindById(line.devicePath);
    app.lines.lines.push_back(std::move(made));

    if (OpenPort(app, line)) {
        line.state = Line::State::Open;
        IdentifyAll(app, line, false, true);
        return line;
    }
    for (core::Controller* entry : EntriesOn(app, port)) {
        entry->state = core::LinkState::Offline;
        SetHold(app, port, entry->address, Hold::PortUnopened);
        reconnect::AddHistoryAbout(app, *entry, PortWords(port) + " cannot be opened" +
                                                    (app.reconnect.enabled ? "; looking for it once a second"
                                                                           : std::string()));
    }
    UpdateTimer(app);
    return line;
}

// The lines follow the list: one per port with configured controllers
// other than the window's, none with one controller configured; a
// controller added to an open line is identified at once.
void Sync(App& app)
{
    Lines& ls = app.lines;
    for (auto it = ls.holds.begin(); it != ls.holds.end();)
        it = app.controllers.find(it->first.first, it->first.second) < 0 ? ls.holds.erase(it) : std::next(it);
    std::set<int> wanted;
    if (app.controllers.size() > 1)
        for (const auto& c : app.controllers.entries)
            if (c->port != app.bus.comPort)
                wanted.insert(c->port);
    ls.lines.erase(std::remove_if(ls.lines.begin(), ls.lines.end(),
                                  [&](const std::unique_ptr<Line>& l) { return !wanted.count(l->port); }),
                   ls.lines.end());
    for (int port : wanted) {
        Line* line = FindLine(app, port);
        if (!line && ls.scanLine && ls.scanLine->port == port)
            continue;  // a scan holds the port; the line is made once it ends
        if (!line) {
            MakeLine(app, port);
            continue;
        }
        if (line->state != Line::State::Open)
            continue;
        for (core::Controller* entry : EntriesOn(app, port)) {
            if (line->records.count(entry->address) || line->state != Line::State::Open)
                continue;
            auto& record = line->records[entry->address];
            record = std::make_unique<core::Controller>(*entry);
            record->params = ParameterSet{};
            comlink::Identity seen;
            const Hold why = Identify(line->bus, *entry, record.get(), &seen);
            if (why == Hold::PortLost)
                LineLost(app, port);
            if (line->state != Line::State::Open)
                break;
            SetHold(app, port, entry->address, why);
            record->state = why == Hold::None ? core::LinkState::Online : core::LinkState::Offline;
            entry->state = record->state;
            TellIdentified(app, *entry, why, seen, false, true);
        }
    }
    // Those beside the selected one on the window's own port, once.
    if (app.controllers.size() > 1 && app.bus.portOpen && !app.reconnect.watching) {
        const int port = app.bus.comPort;
        for (core::Controller* entry : EntriesOn(app, port)) {
            const std::pair<int, int> key{port, entry->address};
            if (IsSelected(app, *entry) || ls.identifiedOnWindow.count(key) || HoldOf(app, *entry) != Hold::None)
                continue;
            comlink::Identity seen;
            const Hold why = Identify(app.bus, *entry, nullptr, &seen);
            if (why == Hold::PortLost || !app.bus.portOpen)
                break;
            ls.identifiedOnWindow.insert(key);
            SetHold(app, port, entry->address, why);
            if (why != Hold::None)
                entry->state = core::LinkState::Offline;
            TellIdentified(app, *entry, why, seen, false, true);
        }
    }
    UpdateTimer(app);
}

// A held controller on an open port asked again; true when it answers as before.
void Retry(App& app, int port, int address)
{
    core::Controller* entry = EntryAt(app, port, address);
    if (!entry)
        return;
    comlink::Bus* bus = nullptr;
    core::Controller* record = nullptr;
    if (port == app.bus.comPort) {
        if (!app.bus.portOpen || app.reconnect.watching || IsSelected(app, *entry))
            return;
        bus = &app.bus;
    } else {
        Line* line = FindLine(app, port);
        if (!line || line->state != Line::State::Open)
            return;
        bus = &line->bus;
        auto& r = line->records[address];
        if (!r) {
            r = std::make_unique<core::Controller>(*entry);
            r->params = ParameterSet{};
        }
        record = r.get();
    }
    comlink::Identity seen;
    const Hold why = Identify(*bus, *entry, record, &seen);
    if (why == Hold::PortLost) {
        if (record)
            LineLost(app, port);  // the window's own port is told by its own hook
        return;
    }
    const Hold before = HoldOf(app, *entry);
    SetHold(app, port, address, why);
    if (why == Hold::None) {
        entry->state = core::LinkState::Online;
        entry->counters.missedInRow = 0;
        if (record) {
            record->state = core::LinkState::Online;
            record->counters.missedInRow = 0;
        }
        TellIdentified(app, *entry, why, seen, false, false);
    } else if (why != before) {
        TellIdentified(app, *entry, why, seen, false, true);
    }
}

} // namespace

Line::Line(rt::Runtime& runtime, int portNumber)
    : rt(runtime), port(portNumber), bus(runtime.portTable(), runtime.clock())
{
}

Line::~Line()
{
    if (service)
        rt.RemoveService(service);
    bus.portLost = nullptr;
    if (state == State::Open && rt.IsComOpen(port)) {
        // Nothing the line asked for may reach the port's next owner.
        comlink::SettleLine(bus);
        if (rt.IsComOpen(port))
            rt.CloseCom(port);
    }
}

const char* HoldText(Hold hold)
{
    switch (hold) {
    case Hold::None:
        return "";
    case Hold::PortLost:
        return "port lost";
    case Hold::PortUnopened:
        return "port cannot be opened";
    case Hold::OtherController:
        return "another controller answers";
    case Hold::NoAnswer:
        return "no answer";
    case Hold::Refused:
        return "refuses to identify itself";
    }
    return "";
}

void AskRounds(App& app, bool pvOnly)
{
    Sync(app);
    // The chart's ticks ask while it plots; a PV tick adds no round then.
    if (pvOnly && app.plotting != 0)
        return;
    for (const auto& l : app.lines.lines) {
        Line& line = *l;
        if (line.state == Line::State::Open && !app.rt.IsComOpen(line.port))
            LineLost(app, line.port);  // closed without a word: lost all the same
        if (line.state != Line::State::Open)
            continue;
        std::vector<core::Controller*> polled;
        for (core::Controller* entry : EntriesOn(app, line.port)) {
            const auto it = line.records.find(entry->address);
            if (it == line.records.end() || HoldOf(app, *entry) != Hold::None)
                continue;
            it->second->name = entry->name;
            polled.push_back(it->second.get());
        }
        line.poller.setControllers(polled);
        if (polled.empty())
            continue;
        line.poller.requestRound(false);
        app.rt.WakeService(line.service);
    }
}

void Release(App& app, int port)
{
    Lines& ls = app.lines;
    // The operator's choice of the port takes what is there: nothing on it stays held.
    for (auto it = ls.holds.begin(); it != ls.holds.end();)
        it = it->first.first == port ? ls.holds.erase(it) : std::next(it);
    ls.identifiedOnWindow.clear();
    ls.lines.erase(std::remove_if(ls.lines.begin(), ls.lines.end(),
                                  [&](const std::unique_ptr<Line>& l) { return l->port == port; }),
                   ls.lines.end());
    UpdateTimer(app);
}

bool PortLost(App& app, int port)
{
    Line* line = FindLine(app, port);
    if (!line)
        return false;
    comlink::PortWentAway(line->bus);  // closes it and calls the line's own hook
    if (app.rt.IsComOpen(port))
        app.rt.CloseCom(port);
    return true;
}

void Try(App& app)
{
    if (!app.reconnect.enabled) {
        UpdateTimer(app);
        return;
    }
    // Lost ports looked for, and opened again when they are there.
    for (std::size_t i = 0; i < app.lines.lines.size(); ++i) {
        Line& line = *app.lines.lines[i];
        if (line.state == Line::State::Open)
            continue;
        if (!line.devicePath.empty()) {
            const std::string where = reconnect::LocateDevice(line.devicePath, line.byIdPath);
            if (where.empty())
                continue;  // not back yet
            if (where != line.devicePath) {
                // The same adapter under another name: the port number follows it.
                app.rt.ports().bindDevice(line.port, where);
                reconnect::AddHistory(app, "Port " + std::to_string(line.port) + " (" + line.byIdPath +
                                               ") is back as " + where);
                line.devicePath = where;
            }
        }
        if (!OpenPort(app, line))
            continue;
        const bool back = line.state == Line::State::Lost;
        line.state = Line::State::Open;
        IdentifyAll(app, line, back, !back);
    }
    // Controllers that did not answer, asked again every few ticks.
    std::vector<std::pair<int, int>> due;
    for (auto& [key, held] : app.lines.holds)
        if (Retried(held.why) && --held.retryIn <= 0)
            due.push_back(key);
    for (const auto& [port, address] : due)
        Retry(app, port, address);
    // While the window's own port is lost its ticks are stopped; the other
    // ports' controllers are read on from here, once a second, as the chart,
    // the PV reading or the overview read them.
    const bool overviewShown = app.panels.overview > 0 && app.rt.IsPanelVisible(app.panels.overview);
    if (app.reconnect.watching && (app.reconnect.chart || app.reconnect.pvPoll || overviewShown))
        AskRounds(app, false);
    UpdateTimer(app);
}

bool NeedsTicks(const App& app)
{
    if (!app.reconnect.enabled)
        return false;
    for (const auto& l : app.lines.lines)
        if (l->state != Line::State::Open)
            return true;
    for (const auto& [key, held] : app.lines.holds)
        if (Retried(held.why))
            return true;
    return false;
}

void NoteSelectedLost(App& app)
{
    if (app.controllers.size() <= 1)
        return;
    const int port = app.bus.comPort;
    for (core::Controller* entry : EntriesOn(app, port)) {
        if (IsSelected(app, *entry))
            continue;
        entry->state = core::LinkState::Offline;
        entry->last.valid = false;
        SetHold(app, port, entry->address, Hold::PortLost);
        reconnect::AddHistoryAbout(app, *entry, "lost with " + PortWords(port));
    }
}

void NoteSelectedBack(App& app)
{
    if (app.controllers.size() <= 1)
        return;
    const int port = app.bus.comPort;
    for (core::Controller* entry : EntriesOn(app, port)) {
        if (!app.bus.portOpen)
            return;  // lost again: the watch tells it
        if (IsSelected(app, *entry))
            continue;
        comlink::Identity seen;
        const Hold why = Identify(app.bus, *entry, nullptr, &seen);
        if (why == Hold::PortLost)
            return;
        app.lines.identifiedOnWindow.insert({port, entry->address});
        SetHold(app, port, entry->address, why);
        if (why == Hold::None) {
            if (entry->state == core::LinkState::Offline)
                ++entry->counters.reconnections;
            entry->state = core::LinkState::Online;
            entry->counters.missedInRow = 0;
        } else {
            entry->state = core::LinkState::Offline;
        }
        TellIdentified(app, *entry, why, seen, true, false);
    }
    UpdateTimer(app);
}

bool BeginScan(App& app, int port)
{
    EndScan(app);
    if (Line* line = FindLine(app, port)) {
        if (line->state != Line::State::Open)
            return false;
        app.lines.scanPort = port;
        return true;
    }
    auto line = std::make_unique<Line>(app.rt, port);
    line->bus.baudRate = app.bus.baudRate;
    if (!OpenPort(app, *line))
        return false;
    line->state = Line::State::Open;
    app.lines.scanLine = std::move(line);
    app.lines.scanPort = port;
    return true;
}

comlink::Bus* ScanBus(App& app)
{
    Lines& ls = app.lines;
    if (ls.scanPort == 0)
        return nullptr;
    if (ls.scanLine)
        return &ls.scanLine->bus;
    Line* line = FindLine(app, ls.scanPort);
    return line ? &line->bus : nullptr;
}

void EndScan(App& app)
{
    app.lines.scanPort = 0;
    app.lines.scanLine.reset();  // settles and closes what it opened
}

Hold HoldOf(const App& app, const core::Controller& c)
{
    const auto it = app.lines.holds.find({c.port, c.address});
    return it == app.lines.holds.end() ? Hold::None : it->second.why;
}

std::string Why(const App& app, const core::Controller& c)
{
    return HoldText(HoldOf(app, c));
}

void ForEachPoller(App& app, const std::function<void(core::Poller&)>& fn)
{
    for (const auto& l : app.lines.lines)
        fn(l->poller);
}

int SubscribeRounds(App& app, std::function<void(int port, const core::Round&)> fn)
{
    const int id = app.lines.nextSubscriber++;
    app.lines.roundSubscribers[id] = std::move(fn);
    return id;
}

void UnsubscribeRounds(App& app, int id)
{
    app.lines.roundSubscribers.erase(id);
}

} // namespace ports
