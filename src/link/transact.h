// The write / wait / fixed-length read exchange and its variants.
#pragma once

#include "link/modbus.h"

#include <cstdint>
#include <string>

struct App;

namespace comlink {

// How an answer turned out. Only Good answers are taken as data.
enum class AnswerStatus {
    Good,       // full length, good CRC
    Exception,  // the controller refused the request (function + 0x80)
    Silent,     // nothing arrived within the time-out
    Short,      // fewer bytes than asked
    BadCrc,     // full length, wrong CRC
    NoPort,     // the port is not open, or was lost during the exchange
};

struct Answer {
    std::uint8_t bytes[32] = {};  // cleared before every read
    int count = 0;                // bytes received
    AnswerStatus status = AnswerStatus::Silent;
    bool good() const { return status == AnswerStatus::Good; }
    std::uint16_t reg(int k) const { return RegisterValue(bytes, k); }
    std::uint8_t function() const { return bytes[1]; }
};

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

// One exchange: the answer buffer is cleared, stale input discarded (a local
// flush, no delay), the frame written, `postDelay` waited and `answerLength`
// bytes read (or fewer: a short exception answer ends the read at once).
// A lost port is closed and reported once (see ReportPortLost).
Answer Transact(App& app, const ModbusFrame& frame, int answerLength, double postDelay = kPostWriteDelay);

// The sequence preamble: flush both queues, wait 0.05 s.
void SequencePreamble(App& app);

// Waits while linkBusy is set (0.01 s steps), then takes it.
void TakeLinkBusy(App& app);
void ReleaseLinkBusy(App& app);

// Guarded transaction: link-busy guard around the preamble and one exchange.
// With shortPreamble, a single 0.01 s wait replaces the preamble (no flush).
Answer GuardedTransact(App& app, const ModbusFrame& frame, int answerLength, bool shortPreamble = false);

// The verified poll read of one register under the guard: repeated (flush,
// 0.05 s, exchange) until an 8-byte answer with a good CRC arrives, at most
// kPollAttempts times and never much beyond kPollBudget. Returns true with
// the answer, or false when it gave up.
bool VerifiedPollRead(App& app, const ModbusFrame& frame, double postDelay, Answer* answer);

// Closes a port that went away, clears portOpen, sets openStatus to -1, stops
// the polling timers and tells the operator once.
void ReportPortLost(App& app);

// Human-readable register name for messages, e.g. "0x002A (decimal point)".
std::string RegisterName(std::uint16_t reg);

} // namespace comlink
