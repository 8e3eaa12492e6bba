// What the parameter operations share: the outcome of one operation's
// transactions and how it is told to the operator. Internal to this folder.
#pragma once

#include "core/operations.h"
#include "protocol/encoding.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct App;

namespace params {

using core::OpLog;

// Control function 5 runs the step program.
constexpr int kStepProgramFunction = 5;
constexpr const char* kRangeTitle = "Value Out of Range";

// Panel helpers of the parameter controls.
void SetDimmed(App& app, int panel, int control, bool dimmed);
// Starts or stops a watch timer; starting or stopping one starts its count
// of missed answers afresh.
void SetTimer(App& app, int panel, int control, bool running);
float GetFloat(App& app, int panel, int control);
short GetShort(App& app, int panel, int control);
int GetInt(App& app, int panel, int control);
// True when the control shows "—" (no value read).
bool HasNoValue(App& app, int panel, int control);
// True when none of the fields shows "—"; otherwise tells the operator which
// one has not been read, so that a value never read is never sent.
bool CheckRead(App& app, const std::vector<std::pair<int, const char*>>& fields);
// Shows the alarm switch's effect on the alarm fields and indicator.
void ShowAlarmSwitch(App& app, std::uint16_t on, const core::AlarmSwitchResult& r);

// Tells the operator, in one popup, where the operation stopped and which
// writes were refused. Silent when all went well, and when the lost port has
// already been reported.
// `detail` (if any) follows, after a blank line.
void ReportOutcome(App& app, const OpLog& op, const std::string& detail = {});

// Checks that a value scales into a register; otherwise tells the operator the
// field's limits and returns false.
bool CheckSendable(App& app, const char* field, EncClass cls, double value, float tempScale);

// The alarm switch with the operation's log: a write or status read without a
// proper answer stops it.
bool ApplyAlarmSwitch(App& app, OpLog& op, std::uint16_t on);
// The write-all pass with the operation's log (no popup of its own).
bool WriteAllParameters(App& app, OpLog& op);
// The same with the pass's whole result (which fields were applied).
bool WriteAllParameters(App& app, core::WriteAllResult& result);

} // namespace params
