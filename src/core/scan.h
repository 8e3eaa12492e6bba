// Looking for controllers on a line: one read of the identity register per
// address, never a write.
#pragma once

#include "core/controller.h"
#include "link/bus.h"

namespace core {

// How long a scan waits for each address's answer, seconds. An identity
// answer is 8 bytes (about 4 ms at 19200 baud); a controller that is there
// answers well within the wait after the request.
constexpr double kScanAnswerTimeout = 0.05;

struct ScanHit {
    enum class Kind {
        Nothing,  // no byte came
        Found,    // a controller of a known model
        Garbled,  // bytes came, but no whole intact answer: perhaps two controllers share the address
        Other,    // an intact answer that is no known controller's (another model, a refusal, another address)
    };
    Kind kind = Kind::Nothing;
    Identity identity;  // Found only
};

// Asks the controller at `address` on the line's open port for its identity
// once, waiting at most answerTimeout for the answer (the port's own time-out
// is put back afterwards). Sends the read request only.
ScanHit ProbeAddress(comlink::Bus& line, Address address, double answerTimeout = kScanAnswerTimeout);

// One read of one register of the controller at `address`, one attempt,
// waiting postDelay after the request and at most answerTimeout for the
// answer (the port's own time-out is put back afterwards). True with the
// value when an intact answer from that controller came.
bool ReadRegisterOnce(comlink::Bus& line, Address address, std::uint16_t reg, double postDelay,
                      double answerTimeout, std::uint16_t* value);

} // namespace core
