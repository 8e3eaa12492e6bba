// What the server serves: the controllers of the process that owns the port,
// the points each round kept, the rounds as they end, and the one way in for
// writes. The owner (the window, `tecctl serve`, a test) fills it; the HTTP
// side, the metrics and the MQTT publisher only read it and subscribe.
//
// Nothing here talks to a port. A write is handed to the owner's executor,
// which runs it on the owner's own queue at the next transaction boundary
// (never inside another exchange) and answers through the callback.
//
// Single-threaded: every call, and every callback, on the owner's thread.
#pragma once

#include "core/controller.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace server {

// One kept point of a controller's history: the round's wall time and its
// SV and PV; valid false when the round got no reading from it. A round of
// PV alone keeps a valid point whose SV was not read (svRead false, sv 0).
struct HistoryPoint {
    std::int64_t wallMillis = 0;
    float sv = 0;
    float pv = 0;
    bool valid = false;
    bool svRead = true;
};

// A round has ended: every controller record is up to date.
struct RoundNote {
    std::uint64_t number = 0;   // 1, 2, ... in this process
    double time = 0;            // the owner's monotonic seconds
    std::int64_t wallMillis = 0;
    double seconds = 0;         // how long the round's exchanges took (0: not measured)
};

// What the owner knows about a controller beyond its record.
struct ControllerExtra {
    bool alarmKnown = false;
    std::uint16_t alarmStatus = 0;  // the status word's alarm bits
    bool functionKnown = false;
    int function = 0;               // the control function last read or written
    std::int64_t paramsWallMillis = 0;  // when the last read-all came (0: none)
    // The newest set value known: read by a round, or written or read by the
    // owner outside the rounds, and the wall time it was (0: none known).
    float sv = 0;
    std::int64_t svWallMillis = 0;
};

// A write a client asks for.
struct WriteRequest {
    enum class Kind { Set, ProgramRun, ProgramStop, Function };
    Kind kind = Kind::Set;
    core::Address address = core::kFirstAddress;
    // Set: tecctl's NAME and VALUE texts ("sv", "37.5"; "function", "pid"),
    // in the order the client gave them. Function: one pair ("function", WORD).
    std::vector<std::pair<std::string, std::string>> values;
    bool round = false;       // a value finer than its register holds is rounded, not refused
    std::string client;       // who asked: the client's address, for the History line
};

struct WriteResult {
    enum class Status {
        Done,         // 200: every value taken
        BadInput,     // 400: nothing sent (unknown name, out of range, too fine)
        NotFound,     // 404: no controller at that address
        Offline,      // 409: the controller is offline; nothing sent
        Refused,      // 502: the controller refused a value (those before it were taken)
        NoAnswer,     // 502: no good answer
        Unavailable,  // 503: nobody executes writes in this process
    };
    Status status = Status::Done;
    std::string message;   // one line for the client when not Done
    // The JSON members that say what the controller now holds, as `tecctl
    // --json` prints them for the same command ("\"written\": {...}",
    // "\"program\": \"started\"", "\"function\": 4, \"word\": \"pid\"");
    // empty when nothing was taken.
    std::string document;
    // Set and Function: what the controller took, in the order written, by
    // tecctl's names with the values as sent (rounded when asked). Every
    // value when Done; when Refused or NoAnswer, those taken before the
    // failure (and, past a refused value other than the SV, those after it:
    // tecctl's set goes on). The program's run and stop: nothing.
    std::vector<std::pair<std::string, double>> taken;
};

using WriteDone = std::function<void(const WriteResult&)>;
using WriteExecutor = std::function<void(const WriteRequest&, WriteDone)>;

class Hub {
public:
    Hub() = default;
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // The controllers served, in the owner's order; owned by the owner, which
    // keeps them alive while set. Their history is kept by address.
    void setControllers(std::vector<const core::Controller*> controllers);
    const std::vector<const core::Controller*>& controllers() const { return m_controllers; }
    // Those left out because a controller before them in the owner's order
    // has their address (on another port).
    const std::vector<const core::Controller*>& unserved() const { return m_unserved; }
    // The controller at that address, or nullptr.
    const core::Controller* find(core::Address address) const;

    // The port's device as the operator knows it ("/dev/ttyUSB0"), for the
    // "port" label and the list; empty: the port number alone.
    void setPortName(int port, std::string name);
    std::string portName(int port) const;

    ControllerExtra& extra(core::Address address) { return m_extra[address]; }
    const ControllerExtra* findExtra(core::Address address) const;

    // The owner learnt the set value the controller holds at wallMillis (it
    // wrote it, or read it outside a round); an older one than known is
    // ignored. The rounds note theirs themselves.
    void noteSetValue(core::Address address, float sv, std::int64_t wallMillis);
    // The set value served for c and when it was read or written: the newer
    // of its last sample's (when that round read it) and the noted one.
    // False when none is known. A round of PV alone reads no SV: the one
    // served then is older than the sample, and says so by its own time.
    bool setValue(const core::Controller& c, float* sv, std::int64_t* wallMillis) const;

    // Keeps points for this long (seconds of wall time; default one day).
    void setHistorySpan(double seconds) { m_historySpanMillis = static_cast<std::int64_t>(seconds * 1000.0); }
    // The owner calls this once a round has ended: each controller's last
    // sample becomes a point (a miss is a point without values), then every
    // round subscriber is called.
    void roundEnded(double time, std::int64_t wallMillis, double seconds = 0);
    // Points of one controller with from <= wallMillis <= to, oldest first.
    std::vector<HistoryPoint> history(core::Address address, std::int64_t fromMillis, std::int64_t toMillis) const;
    std::uint64_t roundCount() const { return m_rounds; }
    const RoundNote& lastRound() const { return m_lastRound; }

    int subscribe(std::function<void(const RoundNote&)> callback);
    void unsubscribe(int id);

    // The write path. The owner installs the executor; without one every
    // write is answered Unavailable. submit() answers NotFound, a bad
    // "round" (BadInput) and Offline itself, without troubling the owner;
    // everything else (with "round" taken out) goes to the
    // executor, which calls done exactly once (possibly later). Writes
    // answered by the executor are also told to the write subscribers.
    void setExecutor(WriteExecutor executor) { m_executor = std::move(executor); }
    bool hasExecutor() const { return static_cast<bool>(m_executor); }
    // Words for why an offline controller is offline ("port 2: port lost"),
    // given in the answer to a write refused for it; "" or none: no reason.
    void setOfflineReason(std::function<std::string(const core::Controller&)> why) { m_offlineWhy = std::move(why); }
    void submit(const WriteRequest& asked, WriteDone done);
    int subscribeWrites(std::function<void(const WriteRequest&, const WriteResult&)> callback);
    void unsubscribeWrites(int id);

private:
    std::vector<const core::Controller*> m_controllers;
    std::vector<const core::Controller*> m_unserved;
    std::map<int, std::string> m_portNames;
    std::map<core::Address, ControllerExtra> m_extra;
    std::map<core::Address, std::deque<HistoryPoint>> m_history;
    std::int64_t m_historySpanMillis = 24LL * 3600 * 1000;
    std::uint64_t m_rounds = 0;
    RoundNote m_lastRound;
    int m_nextId = 1;
    std::map<int, std::function<void(const RoundNote&)>> m_roundSubscribers;
    std::map<int, std::function<void(const WriteRequest&, const WriteResult&)>> m_writeSubscribers;
    WriteExecutor m_executor;
    std::function<std::string(const core::Controller&)> m_offlineWhy;
};

// The status a write result answers with (200, 400, 404, 409, 502, 503).
int HttpStatus(WriteResult::Status status);

// A set's body may carry, beside the values, "round": true, as `tecctl set
// --round` asks: a value finer than its register holds is then rounded to
// the nearest it holds rather than refused. TakeRoundOption moves it from a
// Set's values to request->round; false with a reason for a value other
// than true or false. submit() applies it before the owner sees the write.
constexpr const char* kRoundMember = "round";
bool TakeRoundOption(WriteRequest* request, std::string* error);

} // namespace server
