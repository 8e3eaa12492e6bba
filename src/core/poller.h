// The poller: rounds over every controller of one bus. A round reads SV, then
// PV, of each controller in turn, as the chart has always read its one
// controller (flush, the 0.05 s preamble, the SV read with its 0.03 s wait,
// the PV read with its 0.05 s wait), then hands the samples to its
// subscribers.
//
// It never waits in a call: service() does what is due at the bus clock's
// now and returns when it next needs a call, so a window calls it from its
// event loop and a command or a test calls it between waits on the clock.
//
// One controller that stops answering does not hold the others back: with
// several on the bus, a controller that missed a round (suspect) gets one
// attempt per read instead of the verified read's three, and one that missed
// kOfflineAfterMisses rounds in a row (offline) is only probed, once per
// back-off (doubling up to kMaxBackoff), with a short read. With one
// controller every read is the verified read, as it always was. An answer
// from another address, an echo, or one that comes late is never taken for
// the controller asked: the link's frame check and its settle after a
// failed exchange stand between them.
#pragma once

#include "core/controller.h"
#include "link/bus.h"
#include "link/transact.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace core {

struct RoundEntry {
    Address address = 0;
    std::string name;
    Sample sample;
    LinkState state = LinkState::Online;
};

struct Round {
    std::uint64_t number = 0;
    double time = 0;              // the bus clock's seconds when the round began
    std::int64_t wallMillis = 0;  // the wall time then
    std::vector<RoundEntry> entries;  // in the controllers' order
    bool pvOnly = false;          // a round that read PV alone (see requestRound)
};

class Poller {
public:
    // The first wait before an offline controller is probed again, and the
    // longest; the wait doubles after every probe that went unanswered.
    static constexpr double kFirstBackoff = 1.0;
    static constexpr double kMaxBackoff = 10.0;
    // How often an answer, or the quiet of a settling line, is looked for
    // while one is awaited.
    static constexpr double kLookInterval = 0.002;

    explicit Poller(comlink::Bus& bus);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Polled in this order from the next round on; each must stay alive until
    // a round has begun without it (or the poller is gone).
    void setControllers(std::vector<Controller*> controllers);
    // A round begins every `seconds` (or as soon as the last one is done, when
    // it took longer). 0, the default: rounds begin only when asked.
    void setInterval(double seconds);
    // Asks for a round now (once the one in progress is done): one of SV and
    // PV, or of PV alone. Asking again before it began asks once.
    void requestRound(bool pvOnly = false);

    // Does what is due now without waiting; returns the bus-clock time it next
    // needs a call (infinity: nothing until a round is asked for, or until an
    // operation holding the bus has ended).
    double service();

    int subscribe(std::function<void(const Round&)> subscriber);
    void unsubscribe(int id);

    // Runs op at the next transaction boundary (at once when no exchange is in
    // flight), never inside an exchange; the poller starts none while it runs.
    void whenIdle(std::function<void()> op);
    // Inside an exchange: a request is out and its answer not yet taken, or
    // the line is settling after a failed one.
    bool busy() const;
    // No round in progress and none asked for.
    bool idle() const;
    // Completes the exchange in flight, waiting on the bus clock: the bus's
    // claim, for a transaction that must start at a boundary now.
    void finishExchange();

private:
    enum class Mode { Verified, Single, Probe };
    enum class Step {
        Idle, BeginRead, Settling, PreambleWait, AttemptBegin, AttemptSettling, AwaitAnswer, ReadEnded,
        RetryPause, Publish
    };
    struct Backoff {
        double wait = kFirstBackoff;
        double nextProbe = 0;
    };

    // One step of the state machine at now; returns true to go on at once,
    // false with *at set to when the next step falls due.
    bool step(double* at);
    bool inExchange() const;
    void beginRound();
    void beginController();
    void beginRead(std::uint16_t reg, double postDelay, Mode mode);
    bool settleStep(double* at);
    bool attemptBegin(double* at);
    bool awaitAnswer(double* at);
    void readEnded();
    void controllerDone();
    void runIdleOps();
    void portGone();
    double readTimeout() const;
    double probeTimeout() const;

    comlink::Bus& m_bus;
    std::vector<Controller*> m_controllers;
    std::vector<Controller*> m_nextControllers;
    bool m_controllersChanged = false;
    std::map<const Controller*, Backoff> m_backoff;
    double m_interval = 0;
    double m_nextRoundAt = 0;
    bool m_requested = false;
    bool m_requestedPvOnly = false;
    std::map<int, std::function<void(const Round&)>> m_subscribers;
    int m_nextSubscriber = 1;
    std::deque<std::function<void()>> m_idleOps;
    bool m_inService = false;
    bool m_runningOps = false;
    bool m_interrupted = false;  // someone else used the bus in the middle of a read
    std::uint64_t m_roundNumber = 0;

    Step m_step = Step::Idle;
    Round m_round;
    std::size_t m_index = 0;      // the controller being read
    bool m_pvPhase = false;
    Sample m_sample;
    bool m_asked = false;         // this round asked the controller (an offline one may be skipped)
    comlink::AnswerStatus m_worst = comlink::AnswerStatus::Good;

    // The read in progress.
    comlink::ModbusFrame m_frame{};
    std::uint16_t m_reg = 0;
    double m_postDelay = 0;
    Mode m_mode = Mode::Verified;
    int m_attempt = 0;
    double m_readStart = 0;
    std::int64_t m_answerWallMillis = 0;  // the wall time the last answer was taken whole
    double m_waitUntil = 0;
    double m_deadline = 0;
    double m_busyWaitStart = -1;
    std::uint8_t m_bytes[32] = {};
    int m_count = 0;
    comlink::AnswerStatus m_status = comlink::AnswerStatus::Silent;
    bool m_readOk = false;
    bool m_readFinal = false;
    // The settle in progress.
    double m_quiet = 0;
    double m_quietSince = 0;
    double m_giveUpAt = 0;
    Step m_afterSettle = Step::Idle;
};

} // namespace core
