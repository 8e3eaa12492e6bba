// What the parameter operations share: the outcome of one operation's
// transactions and how it is told to the operator. Internal to this folder.
#pragma once

#include "core/operations.h"
#include "protocol/encoding.h"

#include <cstdint>
#include <string>
#include <vector>

struct App;

namespace params {

using core::OpLog;

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
