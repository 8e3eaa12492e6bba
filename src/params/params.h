// Reading and writing the controller's parameters.
#pragma once

#include "app/callback.h"

#include <cstdint>
#include <string>

struct App;

namespace params {

// The read-all pass. Returns true when every answer was good; on the first bad
// or missing answer it stops (fields not yet read keep their values), removes
// the wait popup and tells the operator which register did not answer.
bool ReadAllParameters(App& app);
// tempScale and the display precision of the temperature controls from decimalPnt.
void ApplyDecimalPoint(App& app);
// Writes the four alarm-mode registers for the switch state and sets the alarm
// controls; with the switch on it then reads the alarm status. Returns false
// when a write or the status read got no proper answer (reported by the caller).
bool ApplyAlarmSwitch(App& app, std::uint16_t on);
// Reads the status word's alarm bits under the link-busy guard into
// app.alarmStatus (0 while a step program runs: the low byte then holds the
// segment) and lights the alarm indicator when they are non-zero. Returns
// false (and changes nothing) on a bad or missing answer.
bool ReadAlarmStatus(App& app);
// Sends the whole ParameterSet. Returns true when every write was answered.
bool WriteAllParameters(App& app);
// Writes setValue to register 0x0000 and reports a refusal. True when the
// controller took it.
bool SendSetValue(App& app);
// Control-function panel state after the read-all pass read f.
void ApplyControlFunctionState(App& app, int f);

// Every main-panel field that shows a controller value shows "—" (and the
// model label nothing) until it is read: at start and when another
// controller is connected.
void ShowNothingRead(App& app);
// Every temperature field names the unit read (" °C", " °F"); " °" while the
// unit has not been read.
void ShowTemperatureUnit(App& app);
// The read-all pass without the wait popup or any other popup, for the
// reconnection watch: true when every value was read; otherwise *failure
// says where it stopped.
bool ReadAllParametersQuietly(App& app, std::string* failure);

} // namespace params

TEC_CALLBACK(ReadAllParm);
TEC_CALLBACK(SetSVParm);
TEC_CALLBACK(UpdateSensor);
TEC_CALLBACK(SetOutputLevel);
TEC_CALLBACK(SetCF);
TEC_CALLBACK(SetDirRev);
TEC_CALLBACK(SetSensor);
TEC_CALLBACK(SetDecimalPnt);
TEC_CALLBACK(SetBand);
TEC_CALLBACK(SetAlarmSW);
TEC_CALLBACK(ChkAlarm);
TEC_CALLBACK(CtrlEnableFn);
TEC_CALLBACK(ChkAutoTUneOff);
TEC_CALLBACK(KeypadEnable);
TEC_CALLBACK(updatePID);
TEC_CALLBACK(WriteAllParm);
TEC_CALLBACK(RdParmFromFile);
