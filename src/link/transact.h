// The write / wait / fixed-length read exchange and its variants.
#pragma once

#include "link/bus.h"
#include "link/fault.h"
#include "protocol/modbus.h"
#include "protocol/registers.h"

#include <cstdint>

namespace comlink {

// How an answer turned out. Only Good answers are taken as data.
enum class AnswerStatus {
    Good,       // full length, good CRC
    Exception,  // the controller refused the request (function + 0x80)
    Silent,     // nothing arrived within the time-out
    Short,      // fewer bytes than asked
    BadCrc,     // full length, wrong CRC
    Mismatch,   // full and intact, but not the answer to this request (address, function, echo)
    NoPort,     // the port is not open, or was lost during the exchange
};

struct Answer {
    std::uint8_t bytes[32] = {};  // cleared before every read
    int count = 0;                // bytes received
    int expected = 0;             // bytes asked for
    AnswerStatus status = AnswerStatus::Silent;
    bool good() const { return status == AnswerStatus::Good; }
    std::uint16_t reg(int k) const { return RegisterValue(bytes, k); }
    std::uint8_t function() const { return bytes[1]; }
    // An Exception answer's code (byte 2).
    std::uint8_t exceptionCode() const { return bytes[2]; }
};

// The fault an answer comes to: None for a Good one, Refused with its
// exception code, Short with the bytes that came and were asked for, and so
// on; `reg` is the register of the request it answered. The one mapping of
// answer statuses to faults.
Fault FaultOf(const Answer& answer, std::uint16_t reg = 0);

// Delays of the protocol, seconds.
constexpr double kPostWriteDelay = 0.05;
constexpr double kSvPostWriteDelay = 0.03;
constexpr double kPreambleDelay = 0.05;
constexpr double kShortPreambleDelay = 0.01;
constexpr double kBusyPollDelay = 0.01;
constexpr double kReadTimeout = 1.0;
// The verified poll read gives up after this many attempts or this long.
constexpr int kPollAttempts = 3;
constexpr double kPollBudget = 3.5;

// Whether an intact answer of the expected length answers this request: the
// same address and function and, for a write, the echo of register and value.
// Bytes 2 and 3 of a read answer are the dialect's own and are not examined.
bool AnswerMatches(const ModbusFrame& request, const std::uint8_t* answer);

// What Transact makes of the `count` bytes it read for `request` when
// `expected` were asked: Silent, Exception, Short, BadCrc, Mismatch or Good.
// For whoever reads an answer without waiting in the call (the poller).
AnswerStatus ClassifyAnswer(const ModbusFrame& request, const std::uint8_t* bytes, int count, int expected);
// Whether the bytes read so far end the answer: `expected` of them, or a
// refusal that is shorter.
bool AnswerEnded(const std::uint8_t* bytes, int count, int expected);
// The quiet the line needs after an exchange that ended with `status`
// (see SettleLine): 0 after an intact answer.
double SettleQuietAfter(const Bus& bus, AnswerStatus status, double postDelay, int expected);

// One exchange: the answer buffer is cleared, stale input discarded (a local
// flush, no delay), the frame written, `postDelay` waited and `answerLength`
// bytes read (or fewer: a short exception answer ends the read at once).
// A full answer with a good CRC that does not answer the request is Mismatch;
// its bytes are kept for whoever shows them. A lost port is closed and the
// line's portLost hook called.
//
// An exchange without an intact answer (Silent, Short, BadCrc, Mismatch)
// leaves the line unsettled: the next exchange first settles it (below), so
// an answer that comes late is dropped, never read as the next request's.
// After intact answers nothing is added: the bytes and times on the wire are
// those of the exchange alone.
Answer Transact(Bus& bus, const ModbusFrame& frame, int answerLength, double postDelay = kPostWriteDelay);

// Settles an unsettled line: waits until no byte has arrived for the failed
// exchange's answer time, counted from when it gave up and again from every
// byte that comes meanwhile (those are dropped), then flushes the input. That
// time is the post-write delay and the read time-out when no answer to the
// request was seen (Silent, Mismatch), the answer's wire time when it came
// garbled or short. Gives up waiting on a line that never falls quiet after a
// few such spans. Does nothing on a settled line or a port opened anew. The
// program calls it before closing a port, so nothing it asked for arrives for
// the next program on the port.
void SettleLine(Bus& bus);

// The sequence preamble: flush both queues, wait 0.05 s.
void SequencePreamble(Bus& bus);

// Waits while linkBusy is set (0.01 s steps), then takes it.
void TakeLinkBusy(Bus& bus);
void ReleaseLinkBusy(Bus& bus);

// Guarded transaction: link-busy guard around the preamble and one exchange.
// With shortPreamble, a single 0.01 s wait replaces the preamble (no flush).
Answer GuardedTransact(Bus& bus, const ModbusFrame& frame, int answerLength, bool shortPreamble = false);

// The verified poll read of one register under the guard: repeated (flush,
// 0.05 s, exchange) until an 8-byte answer with a good CRC arrives, at most
// kPollAttempts times and never much beyond kPollBudget. Returns true with
// the answer, or false when it gave up.
bool VerifiedPollRead(Bus& bus, const ModbusFrame& frame, double postDelay, Answer* answer);

// Closes a port that went away, clears portOpen, sets openStatus to -1 and
// calls the line's portLost hook.
void PortWentAway(Bus& bus);

// Identification: one read of the identity register of the controller at
// `address`, after the preamble.
enum class IdentifyStatus {
    Accepted,  // model code 0xF0 or 0xF1
    Refused,   // an intact answer, but another model code, a refusal, or not the identity answer
    Silent,    // no whole, intact answer (or the port is not open); answer.status says which
};
struct Identity {
    IdentifyStatus status = IdentifyStatus::Silent;
    // From a good identity answer only (bytes 4 and 5); 0 otherwise, so no
    // byte of a refusal or a garbled answer is ever shown as a model code.
    std::uint8_t model = 0;
    std::uint8_t identLo = 0;
    Answer answer;
};
constexpr std::uint8_t kModelVexa = 0xF0;
constexpr std::uint8_t kModelVexaMax = 0xF1;
Identity Identify(Bus& bus, std::uint8_t address);

} // namespace comlink
