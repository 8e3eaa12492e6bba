// TEMPORARY during parallel development: weak placeholders so that every
// folder links before all callbacks exist. Each folder's real definition
// overrides its placeholder. This file is deleted once all are defined.
#include "app/app.h"
#include "app/shell.h"
#include "link/connection.h"
#include "link/transact.h"
#include "monitor/monitor.h"
#include "params/params.h"
#include "pidcalc/pidcalc.h"
#include "program/program.h"

#define TEC_PENDING(name) __attribute__((weak)) TEC_CALLBACK(name) { return 0; }
TEC_PENDING(Info)
TEC_PENDING(Quit)
TEC_PENDING(ExitParm)
TEC_PENDING(Scrip_Help)
TEC_PENDING(HelpSWfilter)
TEC_PENDING(HelpAlarm)
TEC_PENDING(LoopMsg)
TEC_PENDING(LogCaution)
TEC_PENDING(OpenDebugPanel)
TEC_PENDING(QuitDebug)
TEC_PENDING(CheckFunc)
TEC_PENDING(WrtOn)
TEC_PENDING(DecToHexConv)
TEC_PENDING(HexToDecConv)
TEC_PENDING(DebugPorting)
TEC_PENDING(SetComport)
TEC_PENDING(ChangeAddrID)
TEC_PENDING(ReadAllParm)
TEC_PENDING(SetSVParm)
TEC_PENDING(UpdateSensor)
TEC_PENDING(SetOutputLevel)
TEC_PENDING(SetCF)
TEC_PENDING(SetDirRev)
TEC_PENDING(SetSensor)
TEC_PENDING(SetDecimalPnt)
TEC_PENDING(SetBand)
TEC_PENDING(SetAlarmSW)
TEC_PENDING(ChkAlarm)
TEC_PENDING(CtrlEnableFn)
TEC_PENDING(ChkAutoTUneOff)
TEC_PENDING(ChkSrpOff)
TEC_PENDING(KeypadEnable)
TEC_PENDING(WriteAllParm)
TEC_PENDING(RdParmFromFile)
TEC_PENDING(updatePID)
TEC_PENDING(GetData)
TEC_PENDING(ReadPV)
TEC_PENDING(PVRd)
TEC_PENDING(OpenChartPanel)
TEC_PENDING(ChgYScale)
TEC_PENDING(CloseYscale)
TEC_PENDING(ClearChart)
TEC_PENDING(Plot)
TEC_PENDING(ChartExit)
TEC_PENDING(LogFile)
TEC_PENDING(FileLogSetupExit)
TEC_PENDING(LogFileOnOff)
TEC_PENDING(LogTimer)
TEC_PENDING(RdCtrlScript)
TEC_PENDING(WtCtrlScript)
TEC_PENDING(OpenScriptPanel)
TEC_PENDING(ExitScriptWin)
TEC_PENDING(ChkStep)
TEC_PENDING(GetLoopCnt)
TEC_PENDING(StartStopSrp)
TEC_PENDING(ScriptFileRd)
TEC_PENDING(ScriptFileWrt)
TEC_PENDING(PidHelp1)
TEC_PENDING(PidHelp2)
TEC_PENDING(PidHelp3)
TEC_PENDING(PidHelp4)
TEC_PENDING(UpdatePidCalc)
TEC_PENDING(PIDhelpExit)

namespace params {
__attribute__((weak)) bool ReadAllParameters(App&) { return false; }
__attribute__((weak)) void ApplyDecimalPoint(App&) {}
__attribute__((weak)) bool ApplyAlarmSwitch(App&, std::uint16_t) { return false; }
__attribute__((weak)) bool WriteAllParameters(App&) { return false; }
} // namespace params
namespace monitor {
__attribute__((weak)) void EndLogging(App&) {}
} // namespace monitor
namespace comlink {
__attribute__((weak)) int ConnectController(App&) { return -1; }
__attribute__((weak)) void RestoreComSettings(App&) {}
__attribute__((weak)) void EnableLinkControls(App&, int) {}
__attribute__((weak)) void FillPortSelector(App&) {}
__attribute__((weak)) Answer Transact(App&, const ModbusFrame&, int, double) { return {}; }
__attribute__((weak)) void SequencePreamble(App&) {}
__attribute__((weak)) void TakeLinkBusy(App&) {}
__attribute__((weak)) void ReleaseLinkBusy(App&) {}
__attribute__((weak)) Answer GuardedTransact(App&, const ModbusFrame&, int, bool) { return {}; }
__attribute__((weak)) bool VerifiedPollRead(App&, const ModbusFrame&, double, Answer*) { return false; }
__attribute__((weak)) void ReportPortLost(App&) {}
__attribute__((weak)) std::string RegisterName(std::uint16_t) { return {}; }
} // namespace comlink
namespace shell {
__attribute__((weak)) bool LoadPanels(App&) { return false; }
__attribute__((weak)) int StartUp(App&) { return -1; }
__attribute__((weak)) void InstallCloseHandlers(App&) {}
} // namespace shell
