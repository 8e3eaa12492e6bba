// The application context: every record of the running system, owned in one
// place so that each test starts from a fresh one.
#pragma once

#include "app/controllers.h"
#include "app/overview.h"
#include "app/port_lines.h"
#include "app/reconnect.h"
#include "app/serve.h"
#include "core/controller.h"
#include "core/poller.h"
#include "link/bus.h"
#include "monitor/monitor.h"
#include "protocol/parameter_set.h"
#include "rt/runtime.h"

#include <cstdint>
#include <string>

// The handles of the eight panels.
struct PanelSet {
    int parm = 0;     // main parameter panel
    int debug = 0;
    int chart = 0;
    int yscale = 0;   // child of the chart panel
    int wait = 0;
    int script = 0;
    int pidhelp = 0;
    int logset = 0;   // child of the chart panel
    int overview = 0; // the controllers overview
    int server = 0;   // the Server window
};

// Consecutive bad answers seen by each watch; three in a row show "no answer".
struct WatchMisses {
    int alarm = 0;
    int tune = 0;
    int script = 0;
    int poll = 0;
};

struct App;
// Tells the operator, once, that the port went away and stops what polls it.
// Installed as the line's portLost hook.
void ReportPortLost(App& app);

struct App {
    explicit App(rt::Runtime& runtime) : rt(runtime), bus(runtime.portTable(), runtime.clock())
    {
        bus.portLost = [this] { ReportPortLost(*this); };
        // Timers keep their schedule while popups are open, but never come
        // between the requests of an operation (nor into a held link-busy
        // flag); those that fell due meanwhile tick once it has ended.
        bus.operationsEnded = [this] {
            rt.ResumeTicks();
            monitor::SetValueSeen(*this, bus.clock.wallMillis());
        };
        rt.SetTickGate([this] { return bus.operations == 0 && bus.linkBusy == 0; });
        // The chart's and the main panel's reads run through the poller from
        // the event loop; their rounds are shown as they end.
        pollService = rt.AddService([this] { return poller.service(); });
        poller.subscribe([this](const core::Round& round) { monitor::ShowRound(*this, round); });
    }
    ~App()
    {
        rt.RemoveService(pollService);
        rt.SetTickGate({});
    }
    App(const App&) = delete;
    App& operator=(const App&) = delete;
    rt::Runtime& rt;
    PanelSet panels;
    comlink::Bus bus;              // the port, the clock and the busy guard
    core::Controller controller;   // the one controller the window drives; its address is the panel's
    ParameterSet& params = controller.params;
    std::int32_t waitShown = 0;    // 1 while the wait popup is installed by a long operation
    bool settingsRestored = false; // the settings file was read at start-up
    core::Poller poller{bus};      // the rounds of the chart and the main panel's PV
    int pollService = 0;           // the run-time's service that drives the poller
    LiveSample live;
    monitor::HeldSetValue heldSv;  // the set value in params, and since when
    ChartScale scale;
    DataLog log;
    monitor::Rounds rounds;        // the rounds over several controllers, their chart traces and log sections
    std::int32_t plotting = 0;     // 1 while the Plot button is on
    std::int32_t ctrlMode = 0;     // control function PARM_CTRL_FUNC shows (see ShowControlFunction)
    std::uint16_t alarmStatus = 0; // alarm bits of the status word
    std::int16_t pidSet = 1;       // set shown by the PID calculator
    WatchMisses misses;
    bool portLostReported = false; // the operator has been told that the port went away
    reconnect::LinkWatch reconnect; // the watch that brings a lost link back
    controllers::ControllerList controllers; // the configured controllers; the selected one is the panels'
    overview::State overviewState;
    std::string settingsFile;      // where the controllers are kept ("" keeps nothing)
    ports::Lines lines;            // the controllers on other ports than the window's (last: ends first)
    // The window's server; after the lines, so it goes first: it reads the
    // records above.
    serve::State serving;
};

// Panel file names.
namespace panelfiles {
constexpr const char* kParm = "VEXA ParmSetup.uir";
constexpr const char* kDebug = "VEXA Debug.uir";
constexpr const char* kChart = "VEXA chart1.uir";
constexpr const char* kChartY = "VEXA chartY.uir";
constexpr const char* kWait = "VEXA wait.uir";
constexpr const char* kScript = "VEXA Script2.uir";
constexpr const char* kPidHelp = "VEXA PidHelp.uir";
constexpr const char* kLogSetup = "VEXA FileLogSetup.uir";
constexpr const char* kOverview = "VEXA Controllers.uir";
constexpr const char* kServer = "VEXA Server.uir";
} // namespace panelfiles
