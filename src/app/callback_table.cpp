// The callback table: every callback of the system by the name that panel
// files give it.
#include "app/app.h"
#include "app/shell.h"
#include "app/connection.h"
#include "app/overview.h"
#include "app/port_watch.h"
#include "app/reconnect.h"
#include "monitor/monitor.h"
#include "params/params.h"
#include "pidcalc/pidcalc.h"
#include "program/program.h"

#include <cstring>

namespace {

struct CallbackEntry {
    const char* name;
    SystemCallback fn;
};

const CallbackEntry kCallbacks[] = {
    {"Info", &Info},
    {"Quit", &Quit},
    {"ExitParm", &ExitParm},
    {"Scrip_Help", &Scrip_Help},
    {"HelpSWfilter", &HelpSWfilter},
    {"HelpAlarm", &HelpAlarm},
    {"LoopMsg", &LoopMsg},
    {"LogCaution", &LogCaution},
    {"OpenDebugPanel", &OpenDebugPanel},
    {"QuitDebug", &QuitDebug},
    {"CheckFunc", &CheckFunc},
    {"WrtOn", &WrtOn},
    {"DecToHexConv", &DecToHexConv},
    {"HexToDecConv", &HexToDecConv},
    {"DebugPorting", &DebugPorting},
    {"SetComport", &SetComport},
    {"ChangeAddrID", &ChangeAddrID},
    {"ReconnectTick", &ReconnectTick},
    {"ShowLinkHistory", &ShowLinkHistory},
    {"OpenOverview", &OpenOverview},
    {"OverviewClose", &OverviewClose},
    {"OverviewAdd", &OverviewAdd},
    {"OverviewRename", &OverviewRename},
    {"OverviewRemove", &OverviewRemove},
    {"OverviewSelect", &OverviewSelect},
    {"OverviewScan", &OverviewScan},
    {"OverviewScanCancel", &OverviewScanCancel},
    {"OverviewScanTick", &OverviewScanTick},
    {"OverviewRefresh", &OverviewRefresh},
    {"OpenServer", &OpenServer},
    {"ServerClose", &ServerClose},
    {"ServerSwitch", &ServerSwitch},
    {"ServerCopy", &ServerCopy},
    {"ServerRefresh", &ServerRefresh},
    {"ReadAllParm", &ReadAllParm},
    {"SetSVParm", &SetSVParm},
    {"UpdateSensor", &UpdateSensor},
    {"SetOutputLevel", &SetOutputLevel},
    {"SetCF", &SetCF},
    {"SetDirRev", &SetDirRev},
    {"SetSensor", &SetSensor},
    {"SetDecimalPnt", &SetDecimalPnt},
    {"SetBand", &SetBand},
    {"SetAlarmSW", &SetAlarmSW},
    {"ChkAlarm", &ChkAlarm},
    {"CtrlEnableFn", &CtrlEnableFn},
    {"ChkAutoTUneOff", &ChkAutoTUneOff},
    {"ChkSrpOff", &ChkSrpOff},
    {"KeypadEnable", &KeypadEnable},
    {"WriteAllParm", &WriteAllParm},
    {"RdParmFromFile", &RdParmFromFile},
    {"updatePID", &updatePID},
    {"GetData", &GetData},
    {"ReadPV", &ReadPV},
    {"PVRd", &PVRd},
    {"OpenChartPanel", &OpenChartPanel},
    {"ChgYScale", &ChgYScale},
    {"CloseYscale", &CloseYscale},
    {"ClearChart", &ClearChart},
    {"Plot", &Plot},
    {"ChartExit", &ChartExit},
    {"LogFile", &LogFile},
    {"FileLogSetupExit", &FileLogSetupExit},
    {"LogFileOnOff", &LogFileOnOff},
    {"LogTimer", &LogTimer},
    {"ChartLive", &ChartLive},
    {"ChartRestoreY", &ChartRestoreY},
    {"ChartExport", &ChartExport},
    {"OpenLogViewer", &OpenLogViewer},
    {"RdCtrlScript", &RdCtrlScript},
    {"WtCtrlScript", &WtCtrlScript},
    {"OpenScriptPanel", &OpenScriptPanel},
    {"ExitScriptWin", &ExitScriptWin},
    {"ChkStep", &ChkStep},
    {"GetLoopCnt", &GetLoopCnt},
    {"StartStopSrp", &StartStopSrp},
    {"ScriptFileRd", &ScriptFileRd},
    {"ScriptFileWrt", &ScriptFileWrt},
    {"PidHelp1", &PidHelp1},
    {"PidHelp2", &PidHelp2},
    {"PidHelp3", &PidHelp3},
    {"PidHelp4", &PidHelp4},
    {"UpdatePidCalc", &UpdatePidCalc},
    {"PIDhelpExit", &PIDhelpExit},
};

} // namespace

namespace shell {

SystemCallback FindCallback(const std::string& name)
{
    for (const CallbackEntry& e : kCallbacks)
        if (name == e.name)
            return e.fn;
    return nullptr;
}

std::vector<std::string> CallbackNames()
{
    std::vector<std::string> out;
    for (const CallbackEntry& e : kCallbacks)
        out.emplace_back(e.name);
    return out;
}

void BindCallbacks(App& app)
{
    App* ctx = &app;
    app.rt.setCallbackResolver([ctx](const std::string& name) -> rt::CtrlCallback {
        SystemCallback fn = FindCallback(name);
        if (!fn)
            return {};
        return [ctx, fn](int panel, int control, int event, void* data, int e1, int e2) {
            return fn(*ctx, panel, control, event, data, e1, e2);
        };
    });
    comlink::WatchPortLoss(app);
}

} // namespace shell
