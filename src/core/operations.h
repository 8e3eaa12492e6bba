// The controller's operations over a Bus, each on the controller at the
// address it is given, and the plain records: each sends
// exactly what the matching panel operation sends and reports what happened
// (values, refusals, silences). Nothing here knows a panel; the window
// program shows the results, the command-line program prints them.
#pragma once

#include "core/controller.h"
#include "link/transact.h"
#include "protocol/encoding.h"
#include "protocol/parameter_set.h"
#include "protocol/step_program.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace core {

using comlink::Answer;
using comlink::AnswerStatus;
using comlink::Bus;

// Outcome of one operation's transactions. A read or write without a proper
// answer stops the operation; a refused write is noted and the operation
// goes on.
struct OpLog {
    std::vector<std::uint16_t> refused;
    bool stopped = false;
    bool stoppedOnRead = false;
    std::uint16_t stopReg = 0;
    comlink::Fault fault;  // why it stopped (its reg is stopReg); None while it has not
    bool ok() const { return !stopped && refused.empty(); }
    void stop(std::uint16_t reg, bool onRead, const Answer& a);
};

// Reads `count` registers from `reg` (no preamble). True with the answer when
// it is complete, intact and answers the request; otherwise notes the stop.
bool ReadRegisters(Bus& bus, Address address, OpLog& op, std::uint16_t reg, int count, Answer* answer);
// Writes one register (no preamble). True when the controller echoed it or
// refused it (the refusal is noted); false, noting the stop, otherwise.
bool WriteRegister(Bus& bus, Address address, OpLog& op, std::uint16_t reg, std::uint16_t value);

// The status word's alarm bits (0 while a step program runs: the low byte
// then holds the segment). Read under the link-busy guard with the short
// preamble. False, changing nothing, on a bad or missing answer.
bool ReadAlarmStatus(Bus& bus, Address address, std::uint16_t* alarmStatus, Answer* answer = nullptr);

// The alarm switch: four alarm-mode writes, then, with the switch on, the
// status read.
struct AlarmSwitchResult {
    int writesDone = 0;        // 0..4 answered
    bool statusRead = false;   // with the switch on: the status answer was good
    std::uint16_t alarmStatus = 0;
};
bool ApplyAlarmSwitch(Bus& bus, Address address, OpLog& op, std::uint16_t on, AlarmSwitchResult* result);

// The read-all pass after its preamble: fills the ParameterSet in the pass's
// order and says how far it came. Fields not reached keep their values.
struct ReadAllResult {
    OpLog op;
    bool decimalRead = false;
    int headRead = 0;        // set value, high alarm, low alarm, output level
    bool ctrlFuncRead = false;
    int ctrlFunc = 0;        // shown, not stored
    int pidSetsRead = 0;
    int tailRead = 0;        // sensor, 0x30, 0x31, direction, unit, range low/high, filter
    bool alarmSwitchRead = false;
    AlarmSwitchResult alarm;
    bool alarmDone = false;  // the switch was written back (and the status read)
    bool keypadRead = false;
    bool complete() const { return keypadRead && op.ok(); }
};
ReadAllResult ReadAll(Bus& bus, Address address, ParameterSet& params);

// Checks that a value scales into a register of its class; otherwise fills
// *message with the field's limits ("The set value 40000.0 cannot be sent: ...").
bool CheckSendable(const char* field, params::EncClass cls, double value, float tempScale, std::string* message);
// Every value of the write-all pass, checked at the set's own decimal point.
bool CheckWriteAll(const ParameterSet& p, std::string* message);

// One answered write of the write-all pass and what became of it.
struct PassWrite {
    enum class Outcome { Taken, TakenWhenWrittenAgain, Refused };
    std::uint16_t reg = 0;
    std::uint16_t value = 0;
    Outcome outcome = Outcome::Taken;
};

// The write-all pass (preamble included): the decimal point first, then every
// field; tempScale follows the decimal point once it is written. The pass's
// order can make the controller refuse a value that the set's own limits
// admit (a set value above the range high it replaces, written before the new
// range): when the whole set is within its own limits (params::
// CheckParameterLimits), each refused value is written again once the pass
// is through, until a round takes none, so the controller ends up holding
// the whole set. A set the controller takes as it comes is sent exactly as
// the pass always sends it.
struct WriteAllResult {
    OpLog op;                      // op.refused: what the controller refused in the end
    bool decimalWritten = false;
    bool alarmReached = false;
    AlarmSwitchResult alarm;
    std::vector<PassWrite> writes;  // every answered write, in the pass's order
    bool complete() const { return op.ok(); }
};
WriteAllResult WriteAll(Bus& bus, Address address, ParameterSet& params);
// Which fields a write-all pass applied and which not, for the operator: ""
// when the whole set was applied; otherwise lines "Applied: ...", "Refused by
// the controller: ..." and "Not sent: ..." (each only when it has fields).
std::string DescribeWriteAll(const WriteAllResult& r);

// The set-value write of setValue (no preamble).
enum class SetValueOutcome { Sent, Refused, NoAnswer };
SetValueOutcome SendSetValue(Bus& bus, Address address, const ParameterSet& params, OpLog* op);

// The PID block: boundary, then terms 1..5, set by set (preamble before and
// after). Stores each value in the ParameterSet just before it is sent.
struct PidValues {
    float bound[3] = {};
    float p[4] = {};
    std::int16_t i[4] = {};
    std::int16_t d[4] = {};
    float t4[4] = {};
    float t5[4] = {};
};
bool CheckPid(const PidValues& v, float tempScale, std::string* message);
// `progress` (if given) is called with n before set n is written, and with 0
// once the writes are over, before the closing preamble.
OpLog UpdatePid(Bus& bus, Address address, ParameterSet& params, const PidValues& v, const std::function<void(int)>& progress = {});

// The control function read under the guard, as the auto-tune watch makes it.
bool ReadControlFunction(Bus& bus, Address address, int* function);

// ---- the step program ----

// The step-program read: eight 5-register reads and the band. Only a
// complete, good read fills *prog; otherwise *failure says what went wrong
// and *fault (if given) is the fault of the answer that stopped it, with its
// request's first register.
bool ReadStepProgram(Bus& bus, Address address, float tempScale, StepProgram* prog, std::string* failure,
                     comlink::Fault* fault = nullptr);
// A program whose set values or band do not fit a register is not sent.
bool CheckStepProgram(const StepProgram& prog, float tempScale, std::string* message);
// The controller's span as it holds it, in display units at its tempScale.
struct Span {
    float low = 0;
    float high = 0;
};
// As above, and every action must be one the step program knows, the band
// not below 0, and the set value of every step a run can reach inside the
// controller's span (compared as the register numbers it compares).
bool CheckStepProgram(const StepProgram& prog, float tempScale, const Span& span, std::string* message);
// The 41 writes after the preamble. False with *failure when a write got no
// answer (nothing after it sent) or some were refused; *fault (if given) is
// then that write's fault, or the first refusal (its register and code). A
// write stopped by a request to end leaves *fault None. `stop` (io::
// EndRequested when not given) is asked before each write and after a write
// without an answer: once it says yes the write ends there, *stoppedAfter (if
// given; -1 otherwise) says how many requests went out, and *failure is
// StoppedStepWriteText of that count.
bool WriteStepProgram(Bus& bus, Address address, const StepProgram& prog, float tempScale, std::string* failure,
                      comlink::Fault* fault = nullptr, const std::function<bool()>& stop = {},
                      int* stoppedAfter = nullptr);
// What a step-program write stopped by a request to end leaves behind, for
// `sent` of the 41 writes: "" when it was not stopped (sent is 41); otherwise
// one sentence ("The step program write was stopped after 14 of 41 writes
// ...").
std::string StoppedStepWriteText(int sent);
// Writes 5 (start) or 0 (stop) to the control function, no preamble.
Answer StartStopProgram(Bus& bus, Address address, bool start);
// The status word under the guard, as the run watch reads it.
struct RunStatus {
    int runMode = 0;
    int segment = 0;
};
bool ReadRunStatus(Bus& bus, Address address, RunStatus* status);

// ---- the polls ----

// Verified poll reads of PV (0.05 s) and SV (0.03 s) in display units.
bool PollPV(Bus& bus, Address address, float tempScale, float* pv);
bool PollSV(Bus& bus, Address address, float tempScale, float* sv);

// What an answer is called in messages ("no answer", "an answer with a bad
// CRC", ...): the words of its fault.
std::string Describe(const Answer& a);

} // namespace core
