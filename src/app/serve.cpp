#include "app/serve.h"

#include "app/app.h"
#include "app/overview.h"
#include "app/panel_state.h"
#include "app/port_lines.h"
#include "app/reconnect.h"
#include "monitor/monitor.h"
#include "params/params.h"
#include "program/program.h"
#include "server/http_server.h"
#include "server/hub.h"
#include "server/line_writes.h"
#include "server/render.h"
#include "server/served_port.h"
#include "server/token.h"
#include "tecctl/options.h"

#include <QHostAddress>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <set>

namespace serve {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
// While nothing else polls, the server asks a round this often (seconds of
// the window's clock), looking this often (milliseconds) whether one is due.
constexpr double kOwnRoundInterval = 1.0;
constexpr int kOwnRoundLookMs = 100;
// Control function 5 runs the step program.
constexpr int kStepProgramFunction = 5;

bool ParseListen(const std::string& text, QHostAddress* address, quint16* port, std::string* error)
{
    return server::ParseListenText(text, address, port, error);
}

std::int64_t WallMillis()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Say(const std::string& text)
{
    std::fprintf(stderr, "tecontrol: %s\n", text.c_str());
}

// Several controllers configured: History lines name the one they are about.
bool Several(const App& app)
{
    return app.controllers.size() > 1;
}

bool IsSelected(const App& app, const core::Controller& c)
{
    return &c == &app.controller || &c == app.controllers.selectedController();
}

// What the panels show of a value written under tecctl's name, for the
// controller they act on; the record already holds the value.
void ShowWrittenValue(App& app, const std::string& name)
{
    const ParameterSet& p = app.params;
    const int parm = app.panels.parm;
    rt::Runtime& rt = app.rt;
    const std::map<std::string, std::pair<int, float>> reals = {
        {"sv", {PARM_SV, p.setValue}},           {"alarm-high", {PARM_ALARM_HIGH, p.alarmHigh}},
        {"alarm-low", {PARM_ALARM_LOW, p.alarmLow}}, {"output", {PARM_OUTPUT_LEVEL, p.outputLevel}},
        {"reg30", {PARM_REG30, p.reg30}},        {"reg31", {PARM_REG31, p.reg31}},
        {"range-low", {PARM_RANGE_LO, p.rangeLow}}, {"range-high", {PARM_RANGE_HI, p.rangeHigh}},
        {"filter", {PARM_SW_FILTER, p.swFilter}}};
    const std::map<std::string, std::pair<int, int>> wholes = {
        {"sensor", {PARM_SENSOR_TYPE, p.sensorType}}, {"direction", {PARM_DIR_REV, p.dirRev}},
        {"unit", {PARM_CF_UNIT, p.cfUnit}}, {"decimal-point", {PARM_DECIMAL_PNT, p.decimalPnt}}};
    if (const auto it = reals.find(name); it != reals.end()) {
        rt.SetCtrlVal(parm, it->second.first, static_cast<double>(it->second.second));
        if (name == "sv") {
            // As the chart shows the set value the controller holds.
            app.live.sv = p.setValue;
        }
    } else if (const auto w = wholes.find(name); w != wholes.end()) {
        rt.SetCtrlVal(parm, w->second.first, w->second.second);
        if (name == "decimal-point")
            params::ApplyDecimalPoint(app);
        if (name == "unit") {
            monitor::ShowUnit(app);
            params::ShowTemperatureUnit(app);
        }
    } else if (name == "keypad") {
        rt.SetCtrlVal(app.panels.debug, DEBUG_KEYPAD, static_cast<int>(p.keypadValue));
    } else if (name == "alarm-switch") {
        rt.SetCtrlVal(parm, PARM_ALARM_SW, static_cast<int>(p.alarmWatch));
        rt.SetCtrlAttribute(parm, PARM_ALARM_HIGH, rt::ATTR_DIMMED, p.alarmWatch ? 0 : 1);
        rt.SetCtrlAttribute(parm, PARM_ALARM_LOW, rt::ATTR_DIMMED, p.alarmWatch ? 0 : 1);
    } else if (name.size() >= 6 && name.rfind("pid", 0) == 0 && name[4] == '.') {
        const int n = name[3] - '0';
        const std::string term = name.substr(5);
        if (n < 1 || n > 4)
            return;
        const int i = n - 1;
        if (term == "p")
            rt.SetCtrlVal(parm, PARM_PID_P(n), static_cast<double>(p.pidP[i]));
        else if (term == "i")
            rt.SetCtrlVal(parm, PARM_PID_I(n), static_cast<int>(p.pidI[i]));
        else if (term == "d")
            rt.SetCtrlVal(parm, PARM_PID_D(n), static_cast<int>(p.pidD[i]));
        else if (term == "t4")
            rt.SetCtrlVal(parm, PARM_PID_T4(n), static_cast<double>(p.pidT4[i]));
        else if (term == "t5")
            rt.SetCtrlVal(parm, PARM_PID_T5(n), static_cast<double>(p.pidT5[i]));
        else if (term == "bound" && n < 4)
            rt.SetCtrlVal(parm, PARM_PID_BOUND(n), static_cast<double>(p.pidBound[i]));
    }
}

std::string WhatWasAsked(const server::WriteRequest& request)
{
    using Kind = server::WriteRequest::Kind;
    if (request.kind == Kind::ProgramRun)
        return "started the step program";
    if (request.kind == Kind::ProgramStop)
        return "stopped the step program";
    std::string what = "set";
    for (const auto& [name, value] : request.values)
        what += " " + name + "=" + value;
    return what;
}

} // namespace

// The server of a serving window: the hub over the window's records, the
// listener, the queue of client writes and the note naming the held port.
class Service {
public:
    Service(App& app, std::string token) : m_app(app), m_token(std::move(token))
    {
        sync();
        m_hub.setExecutor([this](const server::WriteRequest& r, server::WriteDone done) { enqueue(r, std::move(done)); });
        m_hub.setOfflineReason([this](const core::Controller& c) { return heldWhy(c); });
        m_pollSubscription = app.poller.subscribe([this](const core::Round& round) { roundEnded(round); });
        // The other ports' rounds are asked on the window's tick and end
        // about with it; they feed the served rounds only while the window's
        // own port is lost and its poller has none.
        m_linesSubscription = ports::SubscribeRounds(app, [this](int, const core::Round& round) {
            if (!m_app.bus.portOpen)
                roundEnded(round);
        });
        m_writeService = app.rt.AddService([this] { return drain(); });
        // The note follows the port the window holds, also between rounds.
        m_noteTimer.setInterval(1000);
        // What the window's own operations read or wrote between rounds
        // (a read-all, a parameter sent from the panel) is served within
        // a second, also while nothing polls.
        QObject::connect(&m_noteTimer, &QTimer::timeout, [this] {
            sync();
            keepNote();
        });
        m_noteTimer.start();
        m_retry.setSingleShot(true);
        m_retry.setInterval(10);
        QObject::connect(&m_retry, &QTimer::timeout, [this] { m_app.rt.WakeService(m_writeService); });
        // Served values stay fresh while nothing of the window polls.
        m_lastRound = app.rt.clock().now();
        m_ownRounds.setInterval(kOwnRoundLookMs);
        QObject::connect(&m_ownRounds, &QTimer::timeout, [this] { askOwnRound(); });
        m_ownRounds.start();
    }

    ~Service()
    {
        *m_alive = false;
        m_hub.setExecutor({});
        // Writes still waiting are answered while their clients can be told.
        while (!m_pending.empty()) {
            Pending p = std::move(m_pending.front());
            m_pending.pop_front();
            server::WriteResult r;
            r.status = server::WriteResult::Status::Unavailable;
            r.message = "the program stopped serving; nothing was sent";
            p.done(r);
        }
        m_http.reset();
        m_app.rt.RemoveService(m_writeService);
        m_app.poller.unsubscribe(m_pollSubscription);
        ports::UnsubscribeRounds(m_app, m_linesSubscription);
        for (const auto& [device, path] : m_notes)
            server::RemoveServedPort(path);
        m_hub.setControllers({});
    }

    bool listen(const QHostAddress& address, quint16 port, std::string* error)
    {
        m_http = std::make_unique<server::HttpServer>(m_hub, m_token);
        QString why;
        if (!m_http->start(address, port, &why)) {
            *error = why.toStdString();
            m_http.reset();
            return false;
        }
        // Programs on this computer reach it on the loopback address,
        // whatever else it listens on.
        m_localUrl = m_http->url();
        if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4)
            m_localUrl = "http://127.0.0.1:" + QString::number(m_http->port()) + "/";
        else if (address == QHostAddress::AnyIPv6)
            m_localUrl = "http://[::1]:" + QString::number(m_http->port()) + "/";
        keepNote();
        return true;
    }

    server::Hub& hub() { return m_hub; }
    int pending() const { return static_cast<int>(m_pending.size()); }
    server::HttpServer* http() { return m_http.get(); }
    const std::string& token() const { return m_token; }

    // The served list follows the window's: the configured controllers, or
    // the one the panels act on when none is configured. The selected entry
    // carries what the window has read of its controller.
    void sync()
    {
        App& app = m_app;
        std::vector<const core::Controller*> list;
        std::set<int> ports;
        if (app.controllers.entries.empty()) {
            list.push_back(&app.controller);
            ports.insert(app.controller.port);
        } else {
            for (const auto& c : app.controllers.entries) {
                list.push_back(c.get());
                ports.insert(c->port);
            }
            if (core::Controller* s = app.controllers.selectedController();
                s && s->address == app.controller.address) {
                s->params = app.controller.params;
                if (app.controller.identity.known)
                    s->identity = app.controller.identity;
            }
        }
        m_hub.setControllers(list);
        for (int port : ports) {
            const int n = port > 0 ? port : app.bus.comPort;
            const rt::PortEntry* e = app.rt.ports().find(n);
            m_hub.setPortName(port, !e ? std::string() : !e->devicePath.empty() ? e->devicePath : e->label);
        }
        // What the window itself knows of the controller it acts on.
        const core::Address a = app.controller.address;
        server::ControllerExtra& x = m_hub.extra(a);
        const bool read = app.params.fromController();
        if (read && !m_paramsSeen.count(a))
            m_paramsSeen[a] = WallMillis();
        else if (!read)
            m_paramsSeen.erase(a);
        x.functionKnown = read;
        x.function = app.ctrlMode;
        x.alarmKnown = read && app.bus.portOpen;
        x.alarmStatus = app.alarmStatus;
        x.paramsWallMillis = read ? m_paramsSeen[a] : 0;
        // The set value the window holds for its controller, when serving
        // starts and whenever it changed (it sent one, read all, or took a
        // round's): served with the time the window learnt it. One older
        // than the hub knows (a round's reading, or one read before serving
        // began) changes nothing there.
        if (read) {
            monitor::SetValueSeen(app, app.rt.clock().wallMillis());
            const monitor::HeldSetValue& held = app.heldSv;
            if (!m_windowSvKnown || m_windowSv != held.value || m_windowSvAddress != a)
                m_hub.noteSetValue(a, held.value, held.wallMillis);
            m_windowSv = held.value;
            m_windowSvAddress = a;
            m_windowSvKnown = true;
        } else {
            m_windowSvKnown = false;
        }
    }

    // Whether anything of the window asks rounds of its own: the chart's
    // tick, the main panel's PV read, the overview's timer (several
    // controllers).
    bool windowPolls() const
    {
        App& app = m_app;
        auto on = [&app](int panel, int timer) {
            int enabled = 0;
            app.rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &enabled);
            return enabled != 0;
        };
        return app.plotting != 0 || on(app.panels.chart, CHART_TIMER) || on(app.panels.parm, PARM_PV_TIMER) ||
               (monitor::Several(app) && on(app.panels.overview, OVERVIEW_TIMER));
    }

    // While the window serves and nothing else asks rounds on its port, a
    // full round once a second (the other ports' lines with it, as the
    // overview asks): never while a scan or an operation holds the bus, nor
    // while a round is under way or asked. The panels show nothing of it.
    void askOwnRound()
    {
        App& app = m_app;
        const double now = app.rt.clock().now();
        if (now < m_lastRound + kOwnRoundInterval)
            return;
        if (app.overviewState.scanning || app.bus.operations > 0 || app.bus.linkBusy > 0 || !app.poller.idle() ||
            windowPolls())
            return;
        m_lastRound = now;
        if (!app.bus.portOpen) {
            // The window's port is away: the other ports' lines are asked
            // alone, and their rounds feed the server.
            ports::AskRounds(app, false);
            return;
        }
        app.rounds.quiet = true;
        monitor::AskRound(app, false);
    }

    void roundEnded(const core::Round& round)
    {
        // Whoever asked it, the next round of the server's own is due a
        // second after this one began.
        m_lastRound = std::max(m_lastRound, round.time);
        // A round of PV alone feeds the served samples too: its PV is fresh,
        // its SV is the one last read or written, served with its own time.
        sync();
        // The round began at round.time and has just ended.
        m_hub.roundEnded(round.time, round.wallMillis, m_app.rt.clock().now() - round.time);
        keepNote();
    }

    // A note exists for each port the window holds while it serves: its
    // own and the other ports' lines that have their port open, each naming
    // its device, so that a script's tecctl on any of them goes through the
    // window instead of finding the port busy.
    void keepNote()
    {
        App& app = m_app;
        std::set<std::string> devices;
        if (m_http && app.bus.portOpen)
            if (const rt::PortEntry* e = app.rt.ports().find(app.bus.comPort); e && !e->devicePath.empty())
                devices.insert(e->devicePath);
        if (m_http)
            for (const auto& line : app.lines.lines)
                if (line->state == ports::Line::State::Open && !line->devicePath.empty())
                    devices.insert(line->devicePath);
        for (auto it = m_notes.begin(); it != m_notes.end();) {
            if (devices.count(it->first)) {
                ++it;
                continue;
            }
            server::RemoveServedPort(it->second);
            it = m_notes.erase(it);
        }
        for (const std::string& device : devices) {
            // Once per device: a note that could not be written is told once.
            if (m_notes.count(device))
                continue;
            std::string why;
            const std::string path = server::WriteServedPort(device, m_localUrl.toStdString(), &why);
            m_notes[device] = path;
            if (path.empty())
                Say("other programs will not find this server for " + device + ": " + why);
        }
    }

private:
    struct Pending {
        server::WriteRequest request;
        server::WriteDone done;
    };

    void enqueue(const server::WriteRequest& request, server::WriteDone done)
    {
        m_pending.push_back({request, std::move(done)});
        m_app.rt.WakeService(m_writeService);
    }

    // Runs as the window's timers do: never inside an operation of the
    // window nor inside another callback (a popup's own loop aside). The
    // writes then wait for the exchange in flight on their port to end:
    // the window's poller for the window's port, a line's poller for
    // another port, so that a write to one port never waits for another.
    double drain()
    {
        std::vector<int> due;
        for (const Pending& p : m_pending) {
            const int port = portOf(p.request);
            if (!m_waiting.count(port) && std::find(due.begin(), due.end(), port) == due.end())
                due.push_back(port);
        }
        for (int port : due)
            if (!m_waiting.count(port))
                waitFor(port);
        return kNever;
    }

    // Where a port's writes go: the window's bus and poller, or a line's.
    struct Target {
        comlink::Bus* bus = nullptr;
        core::Poller* poller = nullptr;
        ports::Line* line = nullptr;
    };

    Target target(int port)
    {
        App& app = m_app;
        if (port == app.bus.comPort)
            return {&app.bus, &app.poller, nullptr};
        for (const auto& l : app.lines.lines)
            if (l->port == port)
                return {&l->bus, &l->poller, l.get()};
        return {};
    }

    // The port a controller's writes go to: the window's for the one the
    // panels act on when none is configured, and for an address in no record
    // (where it is told it is offline).
    int portOf(const core::Controller* c) const
    {
        return c && c != &m_app.controller && c->port > 0 ? c->port : m_app.bus.comPort;
    }
    int portOf(const server::WriteRequest& request) { return portOf(record(request.address)); }

    // Called when a poller drops a wait it never ran (its line ended).
    struct Dropped {
        std::function<void()> fn;
        ~Dropped()
        {
            if (fn)
                fn();
        }
    };

    // The port's writes run at its poller's next transaction boundary. A
    // line can end before that (its port handed to the window, lost for
    // good, its controllers removed): its poller then drops the wait, and
    // the writes are dispatched again from the event loop, never from
    // inside the line's end.
    void waitFor(int port)
    {
        const Target t = target(port);
        if (!t.poller) {
            runPending(port, nullptr);  // no line holds the port: each is told nothing was sent
            return;
        }
        m_waiting.insert(port);
        std::weak_ptr<bool> alive = m_alive;
        auto dropped = std::make_shared<Dropped>();
        dropped->fn = [this, alive, port] {
            const auto a = alive.lock();
            if (!a || !*a)
                return;
            m_waiting.erase(port);
            m_retry.start();
        };
        core::Poller* at = t.poller;
        t.poller->whenIdle([this, alive, dropped, port, at] {
            dropped->fn = nullptr;
            const auto a = alive.lock();
            if (!a || !*a)
                return;
            m_waiting.erase(port);
            runPending(port, at);
        });
    }

    // Runs the writes to `port` in the order they came, at the boundary of
    // the poller `at` (null: no poller holds the port). A write to a
    // controller with an earlier write still waiting (for another port, as
    // the list changed meanwhile) waits for that one.
    void runPending(int port, core::Poller* at)
    {
        for (;;) {
            std::size_t i = 0;
            std::set<core::Address> ahead;
            for (; i < m_pending.size(); ++i) {
                const server::WriteRequest& q = m_pending[i].request;
                if (portOf(q) == port && !ahead.count(q.address))
                    break;
                ahead.insert(q.address);
            }
            if (i == m_pending.size())
                break;
            const Target t = target(port);
            // The port changed hands while the writes waited, or an
            // operation began meanwhile (from a popup's loop): they wait
            // again.
            if (t.poller != at || (t.bus && (t.bus->operations > 0 || t.bus->linkBusy > 0))) {
                m_retry.start();
                return;
            }
            Pending p = std::move(m_pending[i]);
            m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(i));
            const server::WriteResult r = run(p.request);
            p.done(r);
        }
        // Writes held back behind another port's are dispatched again.
        for (const Pending& p : m_pending)
            if (!m_waiting.count(portOf(p.request))) {
                m_retry.start();
                return;
            }
    }

    core::Controller* record(core::Address address)
    {
        if (m_app.controllers.entries.empty())
            return m_app.controller.address == address ? &m_app.controller : nullptr;
        for (const auto& c : m_app.controllers.entries)
            if (c->address == address)
                return c.get();
        return nullptr;
    }

    server::WriteResult run(const server::WriteRequest& request)
    {
        App& app = m_app;
        server::WriteResult r;
        core::Controller* c = record(request.address);
        if (c && portOf(c) != app.bus.comPort) {
            r = runOnLine(*c, request);
        } else if (!c || !app.bus.portOpen) {
            r.status = server::WriteResult::Status::Offline;
            r.message = (c ? c->label() : "address " + std::to_string(request.address)) +
                        " is offline; nothing was sent";
        } else {
            {
                comlink::OperationScope scope(app.bus);
                r = server::RunWrite(app.bus, request);
            }
            show(*c, request, r);
        }
        note(c, request, r);
        return r;
    }

    // Why a controller is held, with its port ("port 2: port lost"); "" when it is not.
    std::string heldWhy(const core::Controller& c) const
    {
        const std::string why = ports::Why(m_app, c);
        return why.empty() ? why : "port " + std::to_string(c.port) + ": " + why;
    }

    // A write to a controller on another port than the window's, through
    // that port's line, at its poller's transaction boundary.
    server::WriteResult runOnLine(core::Controller& c, const server::WriteRequest& request)
    {
        server::WriteResult r;
        const Target t = target(c.port);
        ports::Line* line = t.line;
        std::string why;
        if (!line)
            why = "port not open";  // not yet made, or a scan holds it
        else if (line->state == ports::Line::State::Lost)
            why = ports::HoldText(ports::Hold::PortLost);
        else if (line->state == ports::Line::State::Unopened)
            why = ports::HoldText(ports::Hold::PortUnopened);
        else if (const ports::Hold hold = ports::HoldOf(m_app, c); hold != ports::Hold::None)
            why = ports::HoldText(hold);
        if (!why.empty()) {
            r.status = server::WriteResult::Status::Offline;
            r.message = c.label() + " is offline (port " + std::to_string(c.port) + ": " + why + "); nothing was sent";
            return r;
        }
        {
            comlink::OperationScope scope(line->bus);
            r = server::RunWrite(line->bus, request);
        }
        show(c, request, r);
        // The line's poller reads the controller into a record of its own,
        // with the temperature scale that record holds: a decimal point
        // written is the scale its next round reads with, also when a later
        // value of the write was refused.
        if (!r.taken.empty())
            if (const auto it = line->records.find(c.address); it != line->records.end())
                it->second->params.tempScale = c.params.tempScale;
        return r;
    }

    // What the write changed, in the panels at once: everything on success;
    // after a refusal or a silence part-way, exactly the values the
    // controller took (the answer's document lists the same).
    void show(core::Controller& c, const server::WriteRequest& request, const server::WriteResult& r)
    {
        App& app = m_app;
        using Kind = server::WriteRequest::Kind;
        const bool selected = IsSelected(app, c);
        const bool program = request.kind == Kind::ProgramRun || request.kind == Kind::ProgramStop;
        if (program ? r.status == server::WriteResult::Status::Done : !r.taken.empty()) {
            ParameterSet& params = selected ? app.params : c.params;
            server::ControllerExtra& x = m_hub.extra(c.address);
            int function = -1;
            if (program) {
                function = request.kind == Kind::ProgramRun ? kStepProgramFunction : 0;
                if (selected) {
                    if (request.kind == Kind::ProgramRun)
                        program::ShowRunStarted(app);
                    else
                        program::ShowRunEnded(app);
                }
            } else {
                for (const auto& [name, value] : r.taken) {
                    if (!server::ApplyWritten(&params, &function, name, value))
                        continue;
                    if (name == "sv")
                        m_hub.noteSetValue(c.address, static_cast<float>(value), app.rt.clock().wallMillis());
                    if (selected && name != "function")
                        ShowWrittenValue(app, name);
                }
                if (selected && function >= 0) {
                    ShowControlFunction(app, function);
                    params::ApplyControlFunctionState(app, function);
                }
            }
            if (function >= 0) {
                x.function = function;
                x.functionKnown = true;
            }
            if (selected)
                sync();  // the served record holds what was written at once
            else
                overview::Refresh(app);
        }
    }

    // The History line naming the client, the write and how it went.
    void note(const core::Controller* c, const server::WriteRequest& request, const server::WriteResult& r)
    {
        App& app = m_app;
        std::string line = "Client " + request.client + " " + WhatWasAsked(request);
        if (Several(app))
            line += " on " + overview::TitleLabel(c ? c->name : std::string(), request.address);
        if (r.status != server::WriteResult::Status::Done)
            line += ": " + (r.message.empty() ? std::string("not done") : r.message);
        reconnect::AddHistoryLine(app, line);
    }

    App& m_app;
    std::string m_token;
    server::Hub m_hub;
    std::unique_ptr<server::HttpServer> m_http;
    QString m_localUrl;
    int m_pollSubscription = 0;
    int m_linesSubscription = 0;
    int m_writeService = 0;
    std::deque<Pending> m_pending;
    std::set<int> m_waiting;  // ports whose writes wait for their poller
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::map<core::Address, std::int64_t> m_paramsSeen;
    std::map<std::string, std::string> m_notes;  // device -> the note's path ("" when it could not be written)
    QTimer m_noteTimer;
    QTimer m_retry;  // writes held back by an operation look again
    QTimer m_ownRounds;
    double m_lastRound = 0;  // when the last round began or the server last asked one
    // The set value the window last held for its controller.
    bool m_windowSvKnown = false;
    float m_windowSv = 0;
    core::Address m_windowSvAddress = 0;
};

State::State() = default;
State::~State() = default;

std::string Start(App& app, const std::string& listen)
{
    Stop(app);
    State& st = app.serving;
    st.listen = listen;
    st.status.clear();
    QHostAddress address;
    quint16 port = 0;
    std::string why;
    if (!ParseListen(listen, &address, &port, &why)) {
        st.status = "Cannot serve: " + why;
        return why;
    }
    std::string token;
    if (!server::LoadOrCreateToken(server::TokenPath(), &token, &why)) {
        why = "the server's token: " + why;
        st.status = "Cannot serve: " + why;
        return why;
    }
    // A client gone mid-answer is an error of that answer, never the end of
    // the program.
    std::signal(SIGPIPE, SIG_IGN);
    auto service = std::make_unique<Service>(app, token);
    if (!service->listen(address, port, &why)) {
        st.status = "Cannot serve: " + why;
        return why;
    }
    st.service = std::move(service);
    if (const std::string warning = ExposureWarning(listen); !warning.empty()) {
        Say(warning);
        st.status = warning;
    }
    Refresh(app);
    return {};
}

void Stop(App& app)
{
    app.serving.service.reset();
}

bool Serving(const App& app)
{
    return app.serving.service != nullptr;
}

server::Hub* ServedHub(App& app)
{
    return app.serving.service ? &app.serving.service->hub() : nullptr;
}

server::HttpServer* Listener(App& app)
{
    return app.serving.service ? app.serving.service->http() : nullptr;
}

int PendingWrites(const App& app)
{
    return app.serving.service ? app.serving.service->pending() : 0;
}

std::string Url(const App& app)
{
    return app.serving.service ? app.serving.service->http()->url().toStdString() : std::string();
}

std::string Token(const App& app)
{
    return app.serving.service ? app.serving.service->token() : std::string();
}

void ControllersChanged(App& app)
{
    if (app.serving.service)
        app.serving.service->sync();
}

void StartAtLaunch(App& app, const std::string& commandLine)
{
    const Setting kept = LoadSetting(app.settingsFile);
    app.serving.listen = kept.listen;
    const std::string listen = !commandLine.empty() ? commandLine : kept.on ? kept.listen : std::string();
    if (listen.empty())
        return;
    if (const std::string why = Start(app, listen); !why.empty())
        Say("cannot serve at " + listen + ": " + why);
    else
        Say("serving at " + Url(app));
}

} // namespace serve
