// Start-up, the two ways of ending the program, the about box and the fixed
// help popups.
#include "app/shell.h"

#include "app/app.h"
#include "app/help_texts.h"
#include "app/connection.h"
#include "app/overview.h"
#include "link/transact.h"
#include "monitor/monitor.h"
#include "pidcalc/pidcalc.h"
#include "program/program.h"
#include "protocol/registers.h"

namespace {

constexpr std::uint16_t kStatusRegister = tecreg::kStatus;
constexpr std::uint16_t kControlFunctionRegister = tecreg::kCtrlFunc;

void StopPollTimers(App& app)
{
    app.rt.SetCtrlAttribute(app.panels.parm, PARM_PV_TIMER, rt::ATTR_ENABLED, 0);
    app.rt.SetCtrlAttribute(app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, 0);
}

void CloseLogIfOpen(App& app)
{
    if (app.log.logging)
        monitor::EndLogging(app);
}

void ClosePortIfOpen(App& app)
{
    if (app.bus.portOpen)
        app.rt.CloseCom(app.bus.comPort);
    app.bus.portOpen = 0;
}

void Help(App& app, int event, int wanted, const char* title, const char* text)
{
    if (event == wanted)
        app.rt.MessagePopup(title, text);
}

} // namespace

namespace shell {

bool LoadPanels(App& app)
{
    rt::Runtime& rt = app.rt;
    PanelSet& p = app.panels;
    p.parm = rt.LoadPanel(0, panelfiles::kParm, 1);
    if (p.parm < 0)
        return false;
    // Only the main panel is indispensable; a missing other panel leaves its
    // handle negative and every later call on it fails quietly.
    p.debug = rt.LoadPanel(0, panelfiles::kDebug, 1);
    p.chart = rt.LoadPanel(0, panelfiles::kChart, 1);
    p.yscale = rt.LoadPanel(p.chart, panelfiles::kChartY, 1);
    p.wait = rt.LoadPanel(0, panelfiles::kWait, 1);
    p.script = rt.LoadPanel(0, panelfiles::kScript, 1);
    p.pidhelp = rt.LoadPanel(0, panelfiles::kPidHelp, 1);
    p.logset = rt.LoadPanel(p.chart, panelfiles::kLogSetup, 1);
    p.overview = rt.LoadPanel(0, panelfiles::kOverview, 1);
    p.server = rt.LoadPanel(0, panelfiles::kServer, 1);
    return true;
}

int StartUp(App& app)
{
    return StartUp(app, 0);
}

int StartUp(App& app, int forcedPort)
{
    rt::Runtime& rt = app.rt;
    comlink::FillPortSelector(app);
    // Nothing may send before a controller has been identified.
    comlink::EnableLinkControls(app, 1);
    rt.DisplayPanel(app.panels.parm);
    comlink::RestoreComSettings(app);
    if (forcedPort > 0) {
        app.bus.comPort = static_cast<std::uint16_t>(forcedPort);
        rt.SetCtrlVal(app.panels.parm, PARM_COMPORT, forcedPort);
    }
    overview::Restore(app);
    const int status = comlink::ConnectController(app);
    overview::ShowAtStart(app);
    return status;
}

void InstallCloseHandlers(App& app)
{
    rt::Runtime& rt = app.rt;
    const PanelSet& p = app.panels;
    App* a = &app;
    auto bindTo = [&rt, a](int panel, SystemCallback fn, int control) {
        if (panel > 0)
            rt.setPanelCloseHandler(panel, [a, fn, panel, control] { fn(*a, panel, control, rt::EVENT_COMMIT, nullptr, 0, 0); });
    };
    bindTo(p.parm, &ExitParm, PARM_EXIT);
    bindTo(p.debug, &QuitDebug, DEBUG_QUIT);
    bindTo(p.chart, &ChartExit, CHART_EXIT);
    bindTo(p.script, &ExitScriptWin, SCRIPT_EXIT);
    bindTo(p.pidhelp, &PIDhelpExit, PIDHELP_EXIT);
    bindTo(p.overview, &OverviewClose, OVERVIEW_CLOSE);
    bindTo(p.server, &ServerClose, SERVER_CLOSE);
    // The two child panels sit inside the chart panel without a frame of their
    // own; should one get a frame, closing it is its close button.
    bindTo(p.yscale, &CloseYscale, YSCALE_CLOSE);
    bindTo(p.logset, &FileLogSetupExit, LOGSET_CLOSE);
    // The wait popup belongs to the operation that shows it.
    if (p.wait > 0)
        rt.setPanelCloseHandler(p.wait, [] {});
}

} // namespace shell

TEC_CALLBACK(Info)
{
    Help(app, event, rt::EVENT_COMMIT, shell::text::kInfoTitle, shell::text::kInfoText);
    return 0;
}

TEC_CALLBACK(Quit)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    // The log file is closed properly so its last lines are never lost.
    CloseLogIfOpen(app);
    ClosePortIfOpen(app);
    app.rt.QuitUserInterface(0);
    return 0;
}

TEC_CALLBACK(ExitParm)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    rt::Runtime& rt = app.rt;
    comlink::Bus& bus = app.bus;
    // From the status read to the stop request, the question between them
    // included, no timer's transactions come in.
    const comlink::OperationScope operation(app.bus);

    int runMode = 0;
    if (bus.portOpen) {
        comlink::SequencePreamble(app.bus);
        const comlink::Answer status =
            comlink::Transact(app.bus, comlink::ReadFrame(app.controller.address, kStatusRegister, 1), 8, comlink::kPostWriteDelay);
        // Only a whole, checked answer says something runs; silence ends without asking.
        if (status.good())
            runMode = status.bytes[4];
    }

    if (runMode != 0 && bus.openStatus >= 0) {
        rt::GenericPopup ask;
        ask.title = shell::text::kEndingTitle;
        ask.text = shell::text::kEndingText;
        ask.button1 = shell::text::kEndingButton;
        ask.button2 = shell::text::kCancelButton;
        ask.focusButton = 2;
        ask.enterButton = 1;
        ask.escapeButton = 2;
        if (rt.GenericMessagePopup(ask) != 1)
            return 0;
        StopPollTimers(app);
        CloseLogIfOpen(app);
        rt.Delay(comlink::kPreambleDelay);
        comlink::Transact(app.bus, comlink::WriteFrame(app.controller.address, kControlFunctionRegister, 0), 8, comlink::kPostWriteDelay);
        ClosePortIfOpen(app);
        rt.QuitUserInterface(0);
        return 0;
    }

    StopPollTimers(app);
    CloseLogIfOpen(app);
    ClosePortIfOpen(app);
    rt.QuitUserInterface(0);
    return 0;
}

TEC_CALLBACK(Scrip_Help)
{
    Help(app, event, rt::EVENT_COMMIT, shell::text::kScripHelpTitle, shell::text::kScripHelpText);
    return 0;
}

TEC_CALLBACK(HelpSWfilter)
{
    Help(app, event, rt::EVENT_RIGHT_CLICK, shell::text::kSwFilterTitle, shell::text::kSwFilterText);
    return 0;
}

TEC_CALLBACK(HelpAlarm)
{
    Help(app, event, rt::EVENT_RIGHT_CLICK, shell::text::kAlarmTitle, shell::text::kAlarmText);
    return 0;
}

TEC_CALLBACK(LoopMsg)
{
    Help(app, event, rt::EVENT_RIGHT_CLICK, shell::text::kLoopTitle, shell::text::kLoopText);
    return 0;
}

TEC_CALLBACK(LogCaution)
{
    Help(app, event, rt::EVENT_RIGHT_CLICK, shell::text::kLogCautionTitle, shell::text::kLogCautionText);
    return 0;
}
