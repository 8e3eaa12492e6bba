// What went wrong, in one vocabulary for every layer and every face: a link
// failure (the exchange got no usable answer), a refusal (the controller's
// exception answer), or bad input (a file or a value that cannot be used).
// Transactions report their answer's status; operations, the poller and the
// faces turn it into a Fault, and Describe() is the one place that puts a
// Fault into words.
#pragma once

#include <cstdint>
#include <string>

namespace comlink {

enum class FaultKind : std::uint8_t {
    None,         // nothing went wrong
    // The link.
    Silent,       // no byte of an answer came within the time-out
    Short,        // fewer bytes than the answer's length
    BadCrc,       // full length, wrong CRC
    WrongAnswer,  // full and intact, but not the answer to the request (another address, function or echo)
    PortGone,     // the port is not open, or went away during the exchange
    Busy,         // the port is held by another program
    // The controller.
    Refused,      // an exception answer (function + 0x80); code says which
    // The operator's input.
    BadInput,     // a value out of range, a malformed file; nothing was sent
};

// Kinds a controller's state and counters tell apart (the link failures).
constexpr int kLinkFaultKinds = 5;  // Silent, Short, BadCrc, WrongAnswer, PortGone

struct Fault {
    FaultKind kind = FaultKind::None;
    std::uint16_t reg = 0;     // the register of the request that failed, when one did
    std::uint8_t code = 0;     // Refused: the exception code
    std::string detail;        // BadInput, Busy: what exactly (a field and its limits, a file line, who holds the port)
    int got = 0;               // Short: the bytes that came
    int expected = 0;          // Short: the bytes the answer has

    bool ok() const { return kind == FaultKind::None; }
    bool isLinkFailure() const { return kind >= FaultKind::Silent && kind <= FaultKind::PortGone; }
    explicit operator bool() const { return !ok(); }
};

// The fault's words, for messages, logs and JSON, as a noun phrase: "no
// answer", "a short answer (5 of 8 bytes)", "an answer with a bad CRC", "a
// wrong answer (not the answer to this request)", "no answer: the serial
// port is not open", "a refusal (exception code 3)", or the input's own
// detail; "a good answer" for None.
std::string Describe(const Fault& fault);
// What the controller did to a request, to stand between "The controller"
// and "the read of register ...": "did not answer", "gave an incomplete
// answer to", "gave a corrupted answer to", "gave a wrong answer to",
// "refused", "could not be reached (the port is not open) for".
const char* DescribeAsDeed(const Fault& fault);
// The kind's short name for counters, metrics labels and JSON: "silent",
// "short", "bad_crc", "wrong_answer", "port_gone", "busy", "refused",
// "bad_input", "none".
const char* KindName(FaultKind kind);

} // namespace comlink
