#include "link/transact.h"

#include "app/app.h"
#include "link/port_watch.h"

#include <algorithm>
#include <cstdio>

namespace comlink {

namespace {

// Longest the link-busy guard waits. Delay dispatches no event, so a flag that
// is still set after this long belongs to a caller that can never release it
// while we wait; taking the link then is the only way not to freeze.
constexpr double kBusyWaitLimit = 1.0;

// An answer ends early when it is a refusal: in the standard 5-byte form, or
// in the dialect's 8-byte form while a longer block answer was expected.
bool ReadComplete(const std::uint8_t* bytes, int count, int expected)
{
    if (AnswerComplete(bytes, count, expected))
        return true;
    return expected > 8 && count == 8 && IsExceptionAnswer(bytes, 8);
}

AnswerStatus Classify(const Answer& a, int expected)
{
    if (a.count <= 0)
        return AnswerStatus::Silent;
    if ((a.count == 5 || a.count == 8) && IsExceptionAnswer(a.bytes, a.count))
        return AnswerStatus::Exception;
    if (a.count < expected)
        return AnswerStatus::Short;
    if (!AnswerIsGood(a.bytes, a.count, expected))
        return AnswerStatus::BadCrc;
    return AnswerStatus::Good;
}

} // namespace

Answer Transact(App& app, const ModbusFrame& frame, int answerLength, double postDelay)
{
    Answer answer;  // zero-filled: bytes that never arrive read as 0
    const int expected = std::clamp(answerLength, 0, static_cast<int>(sizeof answer.bytes));
    rt::Runtime& rt = app.rt;
    const int port = app.link.comPort;

    if (!rt.IsComOpen(port)) {
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    // A late answer to an earlier request must never be taken for this one.
    if (rt.FlushInQ(port) == rt::RT_ERR_PORT_LOST) {
        ReportPortLost(app);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    const int written = rt.ComWrt(port, frame.b, 8);
    if (written == rt::RT_ERR_PORT_LOST) {
        ReportPortLost(app);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    rt.Delay(postDelay);
    const int got = rt.ComRdAnswer(port, answer.bytes, expected, [expected](const std::uint8_t* b, int n) {
        return ReadComplete(b, n, expected);
    });
    if (got < 0) {
        if (got == rt::RT_ERR_PORT_LOST)
            ReportPortLost(app);
        std::fill(std::begin(answer.bytes), std::end(answer.bytes), 0);
        answer.status = AnswerStatus::NoPort;
        return answer;
    }
    answer.count = got;
    answer.status = Classify(answer, expected);
    return answer;
}

void SequencePreamble(App& app)
{
    rt::Runtime& rt = app.rt;
    const int port = app.link.comPort;
    if (rt.IsComOpen(port)) {
        const int out = rt.FlushOutQ(port);
        const int in = rt.FlushInQ(port);
        if (out == rt::RT_ERR_PORT_LOST || in == rt::RT_ERR_PORT_LOST)
            ReportPortLost(app);
    }
    rt.Delay(kPreambleDelay);
}

void TakeLinkBusy(App& app)
{
    const double start = app.rt.clock().now();
    while (app.link.linkBusy != 0 && app.rt.clock().now() - start < kBusyWaitLimit)
        app.rt.Delay(kBusyPollDelay);
    app.link.linkBusy = 1;
}

void ReleaseLinkBusy(App& app)
{
    app.link.linkBusy = 0;
}

Answer GuardedTransact(App& app, const ModbusFrame& frame, int answerLength, bool shortPreamble)
{
    TakeLinkBusy(app);
    if (shortPreamble)
        app.rt.Delay(kShortPreambleDelay);
    else
        SequencePreamble(app);
    Answer answer = Transact(app, frame, answerLength, kPostWriteDelay);
    ReleaseLinkBusy(app);
    return answer;
}

bool VerifiedPollRead(App& app, const ModbusFrame& frame, double postDelay, Answer* answer)
{
    rt::Runtime& rt = app.rt;
    TakeLinkBusy(app);
    const double start = rt.clock().now();
    SequencePreamble(app);
    // One more attempt costs the retry pause, the post-write delay and, at
    // worst, the whole read time-out.
    const double attemptCost = kPreambleDelay + postDelay + kReadTimeout;
    Answer last;
    bool ok = false;
    for (int attempt = 1; attempt <= kPollAttempts; ++attempt) {
        last = Transact(app, frame, 8, postDelay);
        if (last.good()) {
            ok = true;
            break;
        }
        if (last.status == AnswerStatus::NoPort)
            break;  // closed or lost: repeating cannot help
        if (attempt == kPollAttempts || rt.clock().now() - start + attemptCost > kPollBudget)
            break;
        rt.FlushOutQ(app.link.comPort);
        rt.FlushInQ(app.link.comPort);
        rt.Delay(kPreambleDelay);
    }
    ReleaseLinkBusy(app);
    if (answer)
        *answer = last;
    return ok;
}

void ReportPortLost(App& app)
{
    rt::Runtime& rt = app.rt;
    ControllerLink& link = app.link;
    MarkLinkLost(app);
    if (app.portLostReported)
        return;
    app.portLostReported = true;
    // A timer's poll says it on the panels only: a modal popup would stop
    // every timer of an unattended run. An operator's own operation is told.
    if (link.linkBusy != 0)
        return;
    // A long operation may have its wait popup up; the message must not hide behind it.
    if (link.waitShown) {
        rt.RemovePopup(0);
        link.waitShown = 0;
    }
    rt.MessagePopup("Connection Lost",
                    "The connection to the controller was lost: the serial port " + std::to_string(link.comPort) +
                        " has gone away.\nReconnect the cable or adapter, then select the COM port again.");
}

std::string RegisterName(std::uint16_t reg)
{
    struct Named {
        std::uint16_t reg;
        const char* name;
    };
    static const Named kNames[] = {
        {0x0000, "set value"},        {0x0001, "output level"},     {0x0002, "control function"},
        {0x001A, "high alarm"},       {0x001C, "alarm switch"},     {0x0020, "alarm switch"},
        {0x0021, "low alarm"},        {0x0023, "alarm switch"},     {0x0027, "alarm switch"},
        {0x0028, "sensor type"},      {0x0029, "temperature unit"}, {0x002A, "decimal point"},
        {0x002B, "hot/cold direction"}, {0x002C, "range low"},      {0x002D, "range high"},
        {0x0030, "sensor setting 30"}, {0x0031, "sensor setting 31"}, {0x0032, "SW filter"},
        {0x0036, "tolerance band"},   {0x005F, "keypad enable"},    {0x1000, "process value"},
        {0x1001, "working set value"}, {0x1003, "status word"},     {0x1F00, "controller identity"},
    };
    std::string name;
    for (const Named& n : kNames) {
        if (n.reg == reg) {
            name = n.name;
            break;
        }
    }
    if (name.empty()) {
        if (reg >= 0x0003 && reg <= 0x0019) {
            const int set = (reg - 0x0003) / 6 + 1;
            const int term = (reg - 0x0003) % 6 + 1;
            name = term == 6 ? "PID set " + std::to_string(set) + " boundary"
                             : "PID set " + std::to_string(set) + " term " + std::to_string(term);
        } else if (reg >= 0x0037 && reg <= 0x005E) {
            name = "step " + std::to_string((reg - 0x0037) / 5 + 1);
        }
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(reg));
    return name.empty() ? std::string(hex) : std::string(hex) + " (" + name + ")";
}

} // namespace comlink
