#include "core/poller.h"

#include "protocol/registers.h"

#include <algorithm>
#include <limits>

namespace core {

namespace {

using comlink::AnswerStatus;

constexpr double kNever = std::numeric_limits<double>::infinity();
// How long a held link-busy flag is waited out, as the guarded transactions do.
constexpr double kBusyWaitLimit = 1.0;
// A settle gives up on a line that keeps talking after this many quiet spans.
constexpr double kSettleSpans = 3.0;

comlink::FaultKind KindOf(AnswerStatus status)
{
    switch (status) {
    case AnswerStatus::Good:
        return comlink::FaultKind::None;
    case AnswerStatus::Exception:
        return comlink::FaultKind::Refused;
    case AnswerStatus::Silent:
        return comlink::FaultKind::Silent;
    case AnswerStatus::Short:
        return comlink::FaultKind::Short;
    case AnswerStatus::BadCrc:
        return comlink::FaultKind::BadCrc;
    case AnswerStatus::Mismatch:
        return comlink::FaultKind::WrongAnswer;
    case AnswerStatus::NoPort:
        return comlink::FaultKind::PortGone;
    }
    return comlink::FaultKind::Silent;
}

} // namespace

Poller::Poller(comlink::Bus& bus) : m_bus(bus)
{
    m_bus.claim = [this] { finishExchange(); };
}

Poller::~Poller()
{
    m_bus.claim = nullptr;
}

void Poller::setControllers(std::vector<Controller*> controllers)
{
    m_nextControllers = std::move(controllers);
    m_controllersChanged = true;
}

void Poller::setInterval(double seconds)
{
    m_interval = seconds > 0 ? seconds : 0;
    m_nextRoundAt = m_bus.clock.now();
}

void Poller::requestRound(bool pvOnly)
{
    if (!m_requested)
        m_requestedPvOnly = pvOnly;
    else
        m_requestedPvOnly = m_requestedPvOnly && pvOnly;
    m_requested = true;
}

int Poller::subscribe(std::function<void(const Round&)> subscriber)
{
    const int id = m_nextSubscriber++;
    m_subscribers[id] = std::move(subscriber);
    return id;
}

void Poller::unsubscribe(int id)
{
    m_subscribers.erase(id);
}

bool Poller::inExchange() const
{
    return m_step == Step::Settling || m_step == Step::AttemptSettling || m_step == Step::AwaitAnswer;
}

bool Poller::busy() const
{
    return inExchange();
}

bool Poller::idle() const
{
    return m_step == Step::Idle && !m_requested;
}

void Poller::whenIdle(std::function<void()> op)
{
    m_idleOps.push_back(std::move(op));
    if (!m_inService && !inExchange())
        runIdleOps();
}

void Poller::runIdleOps()
{
    if (m_runningOps)
        return;
    m_runningOps = true;
    while (!m_idleOps.empty()) {
        std::function<void()> op = std::move(m_idleOps.front());
        m_idleOps.pop_front();
        if (m_step != Step::Idle)
            m_interrupted = true;
        op();
    }
    m_runningOps = false;
}

void Poller::finishExchange()
{
    if (m_inService || m_runningOps)
        return;  // our own transaction, or one run at a boundary already
    if (inExchange()) {
        m_inService = true;
        double at = 0;
        while (inExchange()) {
            if (!step(&at))
                m_bus.clock.sleepUntil(at);
        }
        m_inService = false;
    }
    // A read between its exchanges starts again from its preamble.
    if (m_step != Step::Idle && m_step != Step::Publish)
        m_interrupted = true;
}

double Poller::readTimeout() const
{
    return m_mode == Mode::Probe ? probeTimeout() : m_bus.ports.timeout(m_bus.comPort);
}

double Poller::probeTimeout() const
{
    // Long enough for the request and the answer to cross the wire twice.
    const double wire = 16 * 10.0 / std::max<double>(m_bus.baudRate, 1200.0);
    return std::max(0.02, 2 * wire);
}

double Poller::service()
{
    if (m_inService)
        return m_bus.clock.now() + kLookInterval;  // called from a subscriber or an op: the outer call goes on
    m_inService = true;
    double at = kNever;
    for (;;) {
        if (!inExchange() && !m_idleOps.empty()) {
            m_inService = false;
            runIdleOps();
            m_inService = true;
        }
        if (!step(&at))
            break;
    }
    m_inService = false;
    return at;
}

void Poller::portGone()
{
    // A loss found by the rounds is one found by timer-driven transactions,
    // which hold the link-busy flag while they run.
    const std::int32_t held = m_bus.linkBusy;
    m_bus.linkBusy = 1;
    comlink::PortWentAway(m_bus);
    m_bus.linkBusy = held;
}

bool Poller::step(double* at)
{
    const double now = m_bus.clock.now();

    // Someone else used the bus in the middle of a read: it starts again
    // from its settle and preamble, with the attempts it made counted.
    if (m_interrupted) {
        m_interrupted = false;
        if (m_step == Step::PreambleWait || m_step == Step::RetryPause || m_step == Step::AttemptBegin) {
            m_step = Step::BeginRead;
            m_busyWaitStart = -1;
        }
    }

    switch (m_step) {
    case Step::Idle: {
        const bool due = m_requested || (m_interval > 0 && now >= m_nextRoundAt);
        if (!due) {
            *at = m_interval > 0 ? m_nextRoundAt : kNever;
            return false;
        }
        if (m_bus.operations > 0) {
            *at = kNever;  // the operation's end calls again
            return false;
        }
        beginRound();
        return true;
    }
    case Step::BeginRead: {
        if (m_bus.operations > 0) {
            *at = kNever;
            return false;
        }
        if (m_bus.linkBusy != 0) {
            if (m_busyWaitStart < 0)
                m_busyWaitStart = now;
            if (now - m_busyWaitStart < kBusyWaitLimit) {
                *at = now + comlink::kBusyPollDelay;
                return false;
            }
        }
        m_busyWaitStart = -1;
        if (m_readStart < 0)
            m_readStart = now;
        m_afterSettle = Step::PreambleWait;
        m_step = Step::Settling;
        m_quiet = -1;  // not begun
        return true;
    }
    case Step::Settling:
    case Step::AttemptSettling:
        return settleStep(at);
    case Step::PreambleWait:
        if (now < m_waitUntil) {
            *at = m_waitUntil;
            return false;
        }
        m_step = Step::AttemptBegin;
        return true;
    case Step::AttemptBegin:
        return attemptBegin(at);
    case Step::AwaitAnswer:
        return awaitAnswer(at);
    case Step::ReadEnded:
        readEnded();
        return true;
    case Step::RetryPause:
        if (now < m_waitUntil) {
            *at = m_waitUntil;
            return false;
        }
        m_step = Step::AttemptBegin;
        return true;
    case Step::Publish: {
        m_step = Step::Idle;
        if (m_interval > 0)
            m_nextRoundAt = std::max(m_round.time + m_interval, now);
        const Round round = m_round;
        const auto subscribers = m_subscribers;
        for (const auto& [id, subscriber] : subscribers)
            if (m_subscribers.count(id))
                subscriber(round);
        return true;
    }
    }
    *at = kNever;
    return false;
}

void Poller::beginRound()
{
    if (m_controllersChanged) {
        m_controllers = m_nextControllers;
        m_controllersChanged = false;
        std::map<const Controller*, Backoff> kept;
        for (const Controller* c : m_controllers)
            if (m_backoff.count(c))
                kept[c] = m_backoff[c];
        m_backoff.swap(kept);
    }
    const double now = m_bus.clock.now();
    m_round = Round{};
    m_round.number = ++m_roundNumber;
    m_round.time = now;
    m_round.wallMillis = m_bus.clock.wallMillis();
    m_round.pvOnly = m_requested && m_requestedPvOnly;
    m_requested = false;
    m_requestedPvOnly = false;
    m_index = 0;
    if (m_controllers.empty()) {
        m_step = Step::Publish;
        return;
    }
    beginController();
}

void Poller::beginController()
{
    Controller& c = *m_controllers[m_index];
    m_sample = Sample{};
    m_sample.sv = c.last.sv;
    m_worst = AnswerStatus::Good;
    m_asked = true;
    const bool several = m_controllers.size() > 1;
    Mode mode = Mode::Verified;
    if (several && c.state == LinkState::Suspect)
        mode = Mode::Single;
    if (several && c.state == LinkState::Offline) {
        Backoff& b = m_backoff[&c];
        if (m_bus.clock.now() < b.nextProbe) {
            // Not asked this round: its last fault stands.
            m_asked = false;
            m_sample.fault = c.last.fault;
            controllerDone();
            return;
        }
        mode = Mode::Probe;
    }
    if (m_round.pvOnly) {
        m_pvPhase = true;
        beginRead(tecreg::kPv, comlink::kPostWriteDelay, mode);
    } else {
        m_pvPhase = false;
        beginRead(tecreg::kWorkingSv, comlink::kSvPostWriteDelay, mode);
    }
}

void Poller::beginRead(std::uint16_t reg, double postDelay, Mode mode)
{
    const Controller& c = *m_controllers[m_index];
    m_reg = reg;
    m_frame = comlink::ReadFrame(c.address, reg, 1);
    m_postDelay = postDelay;
    m_mode = mode;
    m_attempt = 0;
    m_readStart = -1;
    m_busyWaitStart = -1;
    m_readOk = false;
    m_step = Step::BeginRead;
}

// The link's settle, a look at a time: what arrives is dropped until the line
// has been quiet for the failed exchange's answer time, then the input is
// flushed. Before a read (Settling) it is followed by the preamble; before an
// attempt (AttemptSettling) by the attempt's own flush and request.
bool Poller::settleStep(double* at)
{
    io::PortTable& ports = m_bus.ports;
    const int port = m_bus.comPort;
    const double now = m_bus.clock.now();
    auto done = [&](bool flush) {
        if (flush)
            ports.flushInput(port);
        if (m_step == Step::Settling) {
            // The read's own time starts here, as the verified read's does.
            m_readStart = now;
            if (m_mode == Mode::Probe) {
                // A probe spends no preamble wait: it costs the line little.
                const int out = ports.isOpen(port) ? ports.flushOutput(port) : 0;
                const int in = ports.isOpen(port) ? ports.flushInput(port) : 0;
                if (out == io::PORT_ERR_LOST || in == io::PORT_ERR_LOST)
                    portGone();
                m_step = Step::AttemptBegin;
                return;
            }
            if (ports.isOpen(port)) {
                const int out = ports.flushOutput(port);
                const int in = ports.flushInput(port);
                if (out == io::PORT_ERR_LOST || in == io::PORT_ERR_LOST)
                    portGone();
            }
            m_waitUntil = now + comlink::kPreambleDelay;
            m_step = Step::PreambleWait;
        } else {
            m_step = Step::AttemptBegin;
            m_quiet = -2;  // settled: the attempt goes on to its request
        }
    };
    if (m_quiet == -1) {
        // Begin: take over the line's settle state, as SettleLine does.
        m_quiet = m_bus.settleQuiet;
        m_quietSince = m_bus.settleSince;
        m_bus.settleQuiet = 0;
        if (m_quiet <= 0 || !ports.isOpen(port) || ports.openId(port) != m_bus.settleOpenId) {
            done(false);
            return true;
        }
        m_giveUpAt = now + kSettleSpans * m_quiet;
    }
    const double left = m_quietSince + m_quiet - now;
    if (left <= 0) {
        done(true);
        return true;
    }
    const int dropped = ports.discardInput(port, 0.0);
    if (dropped == io::PORT_ERR_LOST) {
        portGone();
        done(false);
        return true;
    }
    if (dropped > 0) {
        if (now >= m_giveUpAt) {
            done(true);
            return true;
        }
        m_quietSince = now;
    }
    *at = std::min(m_quietSince + m_quiet, now + kLookInterval);
    return false;
}

// One attempt of the read, as Transact makes it: settle what an earlier
// failed exchange left, flush the input, send, wait, read.
bool Poller::attemptBegin(double* at)
{
    io::PortTable& ports = m_bus.ports;
    const int port = m_bus.comPort;
    if (m_bus.operations > 0) {
        m_interrupted = true;
        *at = kNever;
        return false;
    }
    auto noPort = [&] {
        std::fill(std::begin(m_bytes), std::end(m_bytes), 0);
        m_count = 0;
        m_status = AnswerStatus::NoPort;
        m_readFinal = true;
        m_step = Step::ReadEnded;
    };
    if (m_quiet != -2) {
        if (!ports.isOpen(port)) {
            ++m_attempt;
            noPort();
            return true;
        }
        m_step = Step::AttemptSettling;
        m_quiet = -1;
        return true;
    }
    m_quiet = -1;
    ++m_attempt;
    std::fill(std::begin(m_bytes), std::end(m_bytes), 0);
    m_count = 0;
    if (!ports.isOpen(port)) {
        noPort();
        return true;
    }
    if (ports.flushInput(port) == io::PORT_ERR_LOST) {
        portGone();
        noPort();
        return true;
    }
    if (ports.write(port, m_frame.b, 8) == io::PORT_ERR_LOST) {
        portGone();
        noPort();
        return true;
    }
    const double now = m_bus.clock.now();
    m_waitUntil = now + m_postDelay;
    m_deadline = m_waitUntil + readTimeout();
    m_step = Step::AwaitAnswer;
    *at = m_waitUntil;
    return false;
}

bool Poller::awaitAnswer(double* at)
{
    io::PortTable& ports = m_bus.ports;
    const int port = m_bus.comPort;
    const double now = m_bus.clock.now();
    if (now < m_waitUntil) {
        *at = m_waitUntil;
        return false;
    }
    const int expected = 8;
    const int got = ports.readAvailable(port, m_bytes + m_count, expected - m_count);
    if (got < 0) {
        if (got == io::PORT_ERR_LOST)
            portGone();
        std::fill(std::begin(m_bytes), std::end(m_bytes), 0);
        m_count = 0;
        m_status = AnswerStatus::NoPort;
        m_step = Step::ReadEnded;
        return true;
    }
    // A refusal ends the answer early: bytes after it belong to nothing and
    // go as the next flush would take them. Otherwise bytes are taken one
    // look at a time until the answer is whole or the time-out has passed.
    const int total = m_count + got;
    int end = m_count;
    while (end < total) {
        ++end;
        if (comlink::AnswerEnded(m_bytes, end, expected))
            break;
    }
    std::fill(m_bytes + end, m_bytes + total, 0);
    m_count = end;
    const bool whole = m_count > 0 && comlink::AnswerEnded(m_bytes, m_count, expected);
    if (!whole && now < m_deadline) {
        *at = std::min(m_deadline, now + kLookInterval);
        return false;
    }
    m_status = comlink::ClassifyAnswer(m_frame, m_bytes, m_count, expected);
    // An adapter that hears its own transmission hands back the request
    // first. The controller puts its own bytes after the function code, never
    // the register of SV or PV, so an answer that repeats the request byte
    // for byte is the echo and not a value.
    if (m_status == AnswerStatus::Good && std::equal(m_frame.b, m_frame.b + 8, m_bytes))
        m_status = AnswerStatus::Mismatch;
    // What the line needs before the next exchange, as after Transact; a
    // probe waited less for its answer, so its late answer is waited out for
    // that shorter time.
    double quiet = comlink::SettleQuietAfter(m_bus, m_status, m_postDelay, expected);
    if (m_mode == Mode::Probe && (m_status == AnswerStatus::Silent || m_status == AnswerStatus::Mismatch))
        quiet = m_postDelay + probeTimeout();
    m_bus.settleQuiet = quiet;
    if (quiet > 0) {
        m_bus.settleSince = now;
        m_bus.settleOpenId = ports.openId(port);
    }
    // Ops waiting for a boundary run before the answer is taken in.
    m_answerWallMillis = m_bus.clock.wallMillis();
    m_step = Step::ReadEnded;
    return true;
}

void Poller::readEnded()
{
    io::PortTable& ports = m_bus.ports;
    const int port = m_bus.comPort;
    const double now = m_bus.clock.now();
    const bool good = m_status == AnswerStatus::Good;
    bool final = good || m_status == AnswerStatus::NoPort || m_mode != Mode::Verified;
    if (!final) {
        const double attemptCost = comlink::kPreambleDelay + m_postDelay + comlink::kReadTimeout;
        final = m_attempt >= comlink::kPollAttempts ||
                now - m_readStart + attemptCost + m_bus.settleQuiet > comlink::kPollBudget;
    }
    if (!final) {
        ports.flushOutput(port);
        ports.flushInput(port);
        m_waitUntil = now + comlink::kPreambleDelay;
        m_step = Step::RetryPause;
        return;
    }
    Controller& c = *m_controllers[m_index];
    if (!good) {
        m_worst = m_status;
        m_sample.fault = comlink::Fault{KindOf(m_status), m_reg,
                                         m_status == AnswerStatus::Exception ? m_bytes[2] : std::uint8_t{0}, {}};
        controllerDone();
        return;
    }
    const auto raw = static_cast<std::int16_t>(comlink::RegisterValue(m_bytes, 0));
    const float scale = c.params.tempScale != 0 ? c.params.tempScale : 1.0f;
    const float value = static_cast<float>(raw) / scale;
    if (!m_pvPhase) {
        m_sample.sv = value;
        m_sample.haveSv = true;
        m_sample.svWallMillis = m_answerWallMillis;
        m_pvPhase = true;
        // An offline controller that answered its probe is read on at once.
        beginRead(tecreg::kPv, comlink::kPostWriteDelay, m_mode == Mode::Probe ? Mode::Single : m_mode);
        return;
    }
    m_sample.pv = value;
    m_sample.havePv = true;
    m_sample.valid = m_round.pvOnly || m_sample.haveSv;
    m_sample.time = now;
    m_sample.wallMillis = m_bus.clock.wallMillis();
    controllerDone();
}

void Poller::controllerDone()
{
    Controller& c = *m_controllers[m_index];
    const double now = m_bus.clock.now();
    if (m_asked) {
        ++c.counters.rounds;
        const bool answered = m_sample.valid || m_worst == AnswerStatus::Exception;
        if (m_sample.valid)
            ++c.counters.answered;
        if (m_worst == AnswerStatus::Exception)
            ++c.counters.refusals;
        if (answered) {
            if (c.state == LinkState::Offline)
                ++c.counters.reconnections;
            c.state = LinkState::Online;
            c.counters.missedInRow = 0;
            m_backoff.erase(&c);
        } else {
            const int kind = static_cast<int>(KindOf(m_worst)) - static_cast<int>(comlink::FaultKind::Silent);
            if (kind >= 0 && kind < comlink::kLinkFaultKinds)
                ++c.counters.misses[kind];
            ++c.counters.missedInRow;
            Backoff& b = m_backoff[&c];
            if (c.state == LinkState::Offline) {
                b.wait = std::min(kMaxBackoff, b.wait * 2);
                b.nextProbe = now + b.wait;
            } else if (c.counters.missedInRow >= kOfflineAfterMisses) {
                c.state = LinkState::Offline;
                b.wait = kFirstBackoff;
                b.nextProbe = now + b.wait;
            } else {
                c.state = LinkState::Suspect;
            }
        }
        c.last = m_sample;
    }
    RoundEntry entry;
    entry.address = c.address;
    entry.name = c.name;
    entry.sample = m_sample;
    entry.state = c.state;
    m_round.entries.push_back(std::move(entry));
    if (++m_index < m_controllers.size()) {
        beginController();
        return;
    }
    m_step = Step::Publish;
}

} // namespace core
