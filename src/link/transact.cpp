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

double SettleQuietAfter(const Line& line, AnswerStatus status, double postDelay, int expected)
{
    if (status == AnswerStatus::Silent || status == AnswerStatus::Mismatch)
        return postDelay + line.ports.timeout(line.link.comPort);
    if (status == AnswerStatus::Short || status == AnswerStatus::BadCrc)
        return expected * kBitsPerByte / std::max<double>(line.link.baudRate, kSlowestBaud);
    return 0;
}

Answer Transact(Line& line, const ModbusFrame& frame, int answerLength, double postDelay)
{
    ClaimLine(line);
    Answer answer;  // zero-filled: bytes that never arrive read as 0
    const int expected = std::clamp(answerLength, 0, static_cast<int>(sizeof answer.bytes));
    io::PortTable& ports = line.ports;
    const int port = line.link.comPort;

    answer.expected = expected;
    if (!ports.isOpen(port)) {
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    // A late answer to an earlier request must never be taken for this one.
    SettleLine(line);
    if (!ports.isOpen(port)) {
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    if (ports.flushInput(port) == io::PORT_ERR_LOST) {
        PortWentAway(line);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    const int written = ports.write(port, frame.b, 8);
    if (written == io::PORT_ERR_LOST) {
        PortWentAway(line);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    line.clock.sleep(postDelay);
    const int got = ports.read(port, answer.bytes, expected, [expected](const std::uint8_t* b, int n) {
        return ReadComplete(b, n, expected);
    });
    if (got < 0) {
        if (got == io::PORT_ERR_LOST)
            PortWentAway(line);
        std::fill(std::begin(answer.bytes), std::end(answer.bytes), 0);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    answer.count = got;
    answer.status = Classify(frame, answer, expected);
    // The answer's expected time: the whole wait for an answer not seen
    // (none came, or another request's), the wire time of the whole answer
    // for one that came garbled or cut short (its tail may still stream in).
    line.settleQuiet = SettleQuietAfter(line, answer.status, postDelay, expected);
    if (line.settleQuiet > 0) {
        line.settleSince = line.clock.now();
        line.settleOpenId = ports.openId(port);
    }
    return answer;
}

void SettleLine(Line& line)
{
    ClaimLine(line);
    const double quiet = line.settleQuiet;
    double quietSince = line.settleSince;
    line.settleQuiet = 0;
    io::PortTable& ports = line.ports;
    const int port = line.link.comPort;
    // A port closed since has nothing of the old exchange left to come.
    if (quiet <= 0 || !ports.isOpen(port) || ports.openId(port) != line.settleOpenId)
        return;
    const double giveUpAt = line.clock.now() + kSettleSpans * quiet;
    for (;;) {
        const double left = quietSince + quiet - line.clock.now();
        if (left <= 0)
            break;  // quiet long enough: what came meanwhile goes with the flush
        const int dropped = ports.discardInput(port, left);
        if (dropped == io::PORT_ERR_LOST) {
            PortWentAway(line);
            return;
        }
        if (dropped <= 0 || line.clock.now() >= giveUpAt)
            break;
        quietSince = line.clock.now();
    }
    ports.flushInput(port);
}

void SequencePreamble(Line& line)
{
    ClaimLine(line);
    io::PortTable& ports = line.ports;
    const int port = line.link.comPort;
    if (ports.isOpen(port)) {
        const int out = ports.flushOutput(port);
        const int in = ports.flushInput(port);
        if (out == io::PORT_ERR_LOST || in == io::PORT_ERR_LOST)
            PortWentAway(line);
    }
    line.clock.sleep(kPreambleDelay);
}

void TakeLinkBusy(Line& line)
{
    ClaimLine(line);
    const double start = line.clock.now();
    while (line.link.linkBusy != 0 && line.clock.now() - start < kBusyWaitLimit)
        line.clock.sleep(kBusyPollDelay);
    line.link.linkBusy = 1;
}

void ReleaseLinkBusy(Line& line)
{
    line.link.linkBusy = 0;
}

Answer GuardedTransact(Line& line, const ModbusFrame& frame, int answerLength, bool shortPreamble)
{
    TakeLinkBusy(line);
    if (shortPreamble)
        line.clock.sleep(kShortPreambleDelay);
    else
        SequencePreamble(line);
    Answer answer = Transact(line, frame, answerLength, kPostWriteDelay);
    ReleaseLinkBusy(line);
    return answer;
}

bool VerifiedPollRead(Line& line, const ModbusFrame& frame, double postDelay, Answer* answer)
{
    TakeLinkBusy(line);
    // What an earlier failed exchange left is waited out before the poll's
    // own time starts.
    SettleLine(line);
    const double start = line.clock.now();
    SequencePreamble(line);
    // One more attempt costs the retry pause, the post-write delay and, at
    // worst, the whole read time-out.
    const double attemptCost = kPreambleDelay + postDelay + kReadTimeout;
    Answer last;
    bool ok = false;
    for (int attempt = 1; attempt <= kPollAttempts; ++attempt) {
        last = Transact(line, frame, 8, postDelay);
        if (last.good()) {
            ok = true;
            break;
        }
        if (last.status == AnswerStatus::NoPort)
            break;  // closed or lost: repeating cannot help
        // The next attempt first waits for the line to settle.
        if (attempt == kPollAttempts || line.clock.now() - start + attemptCost + line.settleQuiet > kPollBudget)
            break;
        line.ports.flushOutput(line.link.comPort);
        line.ports.flushInput(line.link.comPort);
        line.clock.sleep(kPreambleDelay);
    }
    ReleaseLinkBusy(line);
    if (answer)
        *answer = last;
    return ok;
}

void PortWentAway(Line& line)
{
    ControllerLink& link = line.link;
    if (line.ports.isOpen(link.comPort))
        line.ports.close(link.comPort);
    link.portOpen = 0;
    link.openStatus = -1;
    if (line.portLost)
        line.portLost();
}

Identity Identify(Line& line)
{
    const ModbusFrame request = ReadFrame(line.link.ctrlID, tecreg::kIdentity, 1);
    SequencePreamble(line);
    Identity id;
    id.answer = Transact(line, request, ReadAnswerLength(1), kPostWriteDelay);
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
