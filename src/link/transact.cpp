#include "link/transact.h"

#include <algorithm>

namespace comlink {

namespace {

// Longest the link-busy guard waits. Delay dispatches no event, so a flag that
// is still set after this long belongs to a caller that can never release it
// while we wait; taking the link then is the only way not to freeze.
constexpr double kBusyWaitLimit = 1.0;

// Settling a line: at most this many quiet spans on a line that keeps
// talking. Wire time: 10 bits a byte (8N1), at no less than 1200 baud.
constexpr double kSettleSpans = 3.0;
constexpr double kBitsPerByte = 10.0;
constexpr double kSlowestBaud = 1200.0;

// An answer ends early when it is a refusal: in the standard 5-byte form, or
// in the dialect's 8-byte form while a longer block answer was expected.
bool ReadComplete(const std::uint8_t* bytes, int count, int expected)
{
    if (AnswerComplete(bytes, count, expected))
        return true;
    return expected > 8 && count == 8 && IsExceptionAnswer(bytes, 8);
}

AnswerStatus Classify(const ModbusFrame& request, const Answer& a, int expected)
{
    if (a.count <= 0)
        return AnswerStatus::Silent;
    if ((a.count == 5 || a.count == 8) && IsExceptionAnswer(a.bytes, a.count))
        return AnswerStatus::Exception;
    if (a.count < expected)
        return AnswerStatus::Short;
    if (!AnswerIsGood(a.bytes, a.count, expected))
        return AnswerStatus::BadCrc;
    if (expected >= 8 && !AnswerMatches(request, a.bytes))
        return AnswerStatus::Mismatch;
    return AnswerStatus::Good;
}

} // namespace

Fault FaultOf(const Answer& answer, std::uint16_t reg)
{
    Fault fault;
    fault.reg = reg;
    switch (answer.status) {
    case AnswerStatus::Good:
        fault.kind = FaultKind::None;
        break;
    case AnswerStatus::Exception:
        fault.kind = FaultKind::Refused;
        fault.code = answer.exceptionCode();
        break;
    case AnswerStatus::Silent:
        fault.kind = FaultKind::Silent;
        break;
    case AnswerStatus::Short:
        fault.kind = FaultKind::Short;
        fault.got = answer.count;
        fault.expected = answer.expected;
        break;
    case AnswerStatus::BadCrc:
        fault.kind = FaultKind::BadCrc;
        break;
    case AnswerStatus::Mismatch:
        fault.kind = FaultKind::WrongAnswer;
        break;
    case AnswerStatus::NoPort:
        fault.kind = FaultKind::PortGone;
        break;
    }
    return fault;
}

bool AnswerMatches(const ModbusFrame& request, const std::uint8_t* answer)
{
    if (answer[0] != request.b[0] || answer[1] != request.b[1])
        return false;
    // A write is answered by its echo.
    if (request.b[1] == FN_WRITE)
        return std::equal(request.b + 2, request.b + 6, answer + 2);
    return true;
}

AnswerStatus ClassifyAnswer(const ModbusFrame& request, const std::uint8_t* bytes, int count, int expected)
{
    Answer a;
    a.count = std::clamp(count, 0, static_cast<int>(sizeof a.bytes));
    std::copy(bytes, bytes + a.count, a.bytes);
    return Classify(request, a, expected);
}

bool AnswerEnded(const std::uint8_t* bytes, int count, int expected)
{
    return count >= expected || ReadComplete(bytes, count, expected);
}

double SettleQuietAfter(const Bus& bus, AnswerStatus status, double postDelay, int expected)
{
    if (status == AnswerStatus::Silent || status == AnswerStatus::Mismatch)
        return postDelay + bus.ports.timeout(bus.comPort);
    if (status == AnswerStatus::Short || status == AnswerStatus::BadCrc)
        return expected * kBitsPerByte / std::max<double>(bus.baudRate, kSlowestBaud);
    return 0;
}

Answer Transact(Bus& bus, const ModbusFrame& frame, int answerLength, double postDelay)
{
    ClaimBus(bus);
    Answer answer;  // zero-filled: bytes that never arrive read as 0
    const int expected = std::clamp(answerLength, 0, static_cast<int>(sizeof answer.bytes));
    io::PortTable& ports = bus.ports;
    const int port = bus.comPort;

    answer.expected = expected;
    if (!ports.isOpen(port)) {
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    // A late answer to an earlier request must never be taken for this one.
    SettleLine(bus);
    if (!ports.isOpen(port)) {
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    if (ports.flushInput(port) == io::PORT_ERR_LOST) {
        PortWentAway(bus);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    const int written = ports.write(port, frame.b, 8);
    if (written == io::PORT_ERR_LOST) {
        PortWentAway(bus);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    bus.clock.sleep(postDelay);
    const int got = ports.read(port, answer.bytes, expected, [expected](const std::uint8_t* b, int n) {
        return ReadComplete(b, n, expected);
    });
    if (got < 0) {
        if (got == io::PORT_ERR_LOST)
            PortWentAway(bus);
        std::fill(std::begin(answer.bytes), std::end(answer.bytes), 0);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    answer.count = got;
    answer.status = Classify(frame, answer, expected);
    // The answer's expected time: the whole wait for an answer not seen
    // (none came, or another request's), the wire time of the whole answer
    // for one that came garbled or cut short (its tail may still stream in).
    if (answer.status == AnswerStatus::Silent || answer.status == AnswerStatus::Mismatch)
        bus.settleQuiet = postDelay + ports.timeout(port);
    else if (answer.status == AnswerStatus::Short || answer.status == AnswerStatus::BadCrc)
        bus.settleQuiet = expected * kBitsPerByte / std::max<double>(bus.baudRate, kSlowestBaud);
    if (bus.settleQuiet > 0) {
        bus.settleSince = bus.clock.now();
        bus.settleOpenId = ports.openId(port);
    }
    return answer;
}

void SettleLine(Bus& bus)
{
    ClaimBus(bus);
    const double quiet = bus.settleQuiet;
    double quietSince = bus.settleSince;
    bus.settleQuiet = 0;
    io::PortTable& ports = bus.ports;
    const int port = bus.comPort;
    // A port closed since has nothing of the old exchange left to come.
    if (quiet <= 0 || !ports.isOpen(port) || ports.openId(port) != bus.settleOpenId)
        return;
    const double giveUpAt = bus.clock.now() + kSettleSpans * quiet;
    for (;;) {
        const double left = quietSince + quiet - bus.clock.now();
        if (left <= 0)
            break;  // quiet long enough: what came meanwhile goes with the flush
        const int dropped = ports.discardInput(port, left);
        if (dropped == io::PORT_ERR_LOST) {
            PortWentAway(bus);
            return;
        }
        if (dropped <= 0 || bus.clock.now() >= giveUpAt)
            break;
        quietSince = bus.clock.now();
    }
    ports.flushInput(port);
}

void SequencePreamble(Bus& bus)
{
    ClaimBus(bus);
    io::PortTable& ports = bus.ports;
    const int port = bus.comPort;
    if (ports.isOpen(port)) {
        const int out = ports.flushOutput(port);
        const int in = ports.flushInput(port);
        if (out == io::PORT_ERR_LOST || in == io::PORT_ERR_LOST)
            PortWentAway(bus);
    }
    bus.clock.sleep(kPreambleDelay);
}

void TakeLinkBusy(Bus& bus)
{
    ClaimBus(bus);
    const double start = bus.clock.now();
    while (bus.linkBusy != 0 && bus.clock.now() - start < kBusyWaitLimit)
        bus.clock.sleep(kBusyPollDelay);
    bus.linkBusy = 1;
}

void ReleaseLinkBusy(Bus& bus)
{
    bus.linkBusy = 0;
}

Answer GuardedTransact(Bus& bus, const ModbusFrame& frame, int answerLength, bool shortPreamble)
{
    TakeLinkBusy(bus);
    if (shortPreamble)
        bus.clock.sleep(kShortPreambleDelay);
    else
        SequencePreamble(bus);
    Answer answer = Transact(bus, frame, answerLength, kPostWriteDelay);
    ReleaseLinkBusy(bus);
    return answer;
}

bool VerifiedPollRead(Bus& bus, const ModbusFrame& frame, double postDelay, Answer* answer)
{
    TakeLinkBusy(bus);
    // What an earlier failed exchange left is waited out before the poll's
    // own time starts.
    SettleLine(bus);
    const double start = bus.clock.now();
    SequencePreamble(bus);
    // One more attempt costs the retry pause, the post-write delay and, at
    // worst, the whole read time-out.
    const double attemptCost = kPreambleDelay + postDelay + kReadTimeout;
    Answer last;
    bool ok = false;
    for (int attempt = 1; attempt <= kPollAttempts; ++attempt) {
        last = Transact(bus, frame, 8, postDelay);
        if (last.good()) {
            ok = true;
            break;
        }
        if (last.status == AnswerStatus::NoPort)
            break;  // closed or lost: repeating cannot help
        // The next attempt first waits for the line to settle.
        if (attempt == kPollAttempts || bus.clock.now() - start + attemptCost + bus.settleQuiet > kPollBudget)
            break;
        bus.ports.flushOutput(bus.comPort);
        bus.ports.flushInput(bus.comPort);
        bus.clock.sleep(kPreambleDelay);
    }
    ReleaseLinkBusy(bus);
    if (answer)
        *answer = last;
    return ok;
}

void PortWentAway(Bus& bus)
{
    if (bus.ports.isOpen(bus.comPort))
        bus.ports.close(bus.comPort);
    bus.portOpen = 0;
    bus.openStatus = -1;
    if (bus.portLost)
        bus.portLost();
}

Identity Identify(Bus& bus, std::uint8_t address)
{
    const ModbusFrame request = ReadFrame(address, tecreg::kIdentity, 1);
    SequencePreamble(bus);
    Identity id;
    id.answer = Transact(bus, request, ReadAnswerLength(1), kPostWriteDelay);
    // Only a whole answer with a good CRC identifies.
    if (id.answer.good()) {
        id.model = id.answer.bytes[4];
        id.identLo = id.answer.bytes[5];
        id.status = id.model == kModelVexa || id.model == kModelVexaMax ? IdentifyStatus::Accepted
                                                                       : IdentifyStatus::Refused;
    }
    else if (id.answer.status == AnswerStatus::Mismatch || id.answer.status == AnswerStatus::Exception)
        id.status = IdentifyStatus::Refused;
    else
        id.status = IdentifyStatus::Silent;
    return id;
}

} // namespace comlink
