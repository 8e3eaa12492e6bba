// What the parameter operations share: the outcome of one operation's
// transactions and how it is told to the operator. Internal to this folder.
#pragma once

#include "link/transact.h"
#include "params/encoding.h"

#include <cstdint>
#include <string>
#include <vector>

struct App;

namespace params {

// Outcome of one operation's transactions. A read or write without a proper
// answer stops the operation; a refused write is noted and the operation
// goes on.
struct OpLog {
    std::vector<std::uint16_t> refused;
    bool stopped = false;
    bool stoppedOnRead = false;
    bool wrongAnswer = false;  // full and intact, but not the answer asked for
    std::uint16_t stopReg = 0;
    comlink::AnswerStatus stopStatus = comlink::AnswerStatus::Silent;
};

// Reads `count` registers from `reg`. True with the answer when it is complete,
// intact and from the right address and function; otherwise notes the stop.
bool ReadRegisters(App& app, OpLog& op, std::uint16_t reg, int count, comlink::Answer* answer);
// Writes one register. True when the controller echoed it or refused it (the
// refusal is noted); false, noting the stop, when no proper answer came.
bool WriteRegister(App& app, OpLog& op, std::uint16_t reg, std::uint16_t value);
// Tells the operator, in one popup, where the operation stopped and which
// writes were refused. Silent when all went well, and when the lost port has
// already been reported.
void ReportOutcome(App& app, const OpLog& op);

// Checks that a value scales into a register; otherwise tells the operator the
// field's limits and returns false.
bool CheckSendable(App& app, const char* field, EncClass cls, double value, float tempScale);

// The alarm switch with the operation's log: a write or status read without a
// proper answer stops it.
bool ApplyAlarmSwitch(App& app, OpLog& op, std::uint16_t on);
// The write-all pass with the operation's log (no popup of its own).
bool WriteAllParameters(App& app, OpLog& op);

} // namespace params
