// Controllers on ports other than the selected one. The window's own bus
// (App::bus) holds the selected controller's port; every other port with
// configured controllers gets a line of its own: a bus, opened through the
// run-time's port table as the window's is, and a poller whose rounds are
// asked on the same tick as the window's and whose samples go into the
// controller records of the list.
//
// A port that goes away takes only its own controllers offline, without a
// popup; the port is looked for once a second and when it is back each of
// its controllers is identified again: one that answers as before is polled
// again, one that does not stays offline and the overview says why.
//
// One owner per port: when the operator selects a controller on a line's
// port the line ends (its port is closed) before the window opens it, and
// the port the window leaves becomes a line at the next round.
#pragma once

#include "core/controller.h"
#include "core/poller.h"
#include "link/bus.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace rt {
class Runtime;
}
struct App;

namespace ports {

// Why a configured controller is not polled.
enum class Hold : std::uint8_t {
    None,
    PortLost,         // its port went away
    PortUnopened,     // its port could not be opened
    OtherController,  // another controller (or another device) answers at its address
    NoAnswer,         // its port is there but it does not answer
    Refused,          // it refuses to identify itself
};
// What the overview shows: "port lost", "another controller answers", "no answer"...
const char* HoldText(Hold hold);

// One port's line.
struct Line {
    Line(rt::Runtime& runtime, int portNumber);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    enum class State { Unopened, Open, Lost };
    rt::Runtime& rt;
    const int port;
    comlink::Bus bus;
    core::Poller poller{bus};
    int service = 0;
    State state = State::Unopened;
    std::string devicePath;  // the device behind the port, "" when it is no file
    std::string byIdPath;    // its /dev/serial/by-id name, "" when it has none
    // The poller's records, one per address ever polled on this line; they
    // live as long as the line so that a removed controller's record is
    // never polled after it is gone. Each round's results are copied into
    // the list's entries.
    std::map<int, std::unique_ptr<core::Controller>> records;
};

struct Held {
    Hold why = Hold::None;
    int retryIn = 0;    // ticks of the reconnection timer before it is identified again
    int retryWait = 0;  // the wait after the next try that goes unanswered (doubles, up to a limit)
};

struct Lines {
    std::vector<std::unique_ptr<Line>> lines;
    std::map<std::pair<int, int>, Held> holds;  // by port and address
    // The controllers beside the selected one on the window's port that
    // were identified since the window opened it (by port and address).
    std::set<std::pair<int, int>> identifiedOnWindow;
    std::map<int, std::function<void(int port, const core::Round&)>> roundSubscribers;
    int nextSubscriber = 1;
    // A scan of another port than the window's: the port, and the bus it
    // opened for itself when no line holds that port.
    int scanPort = 0;
    std::unique_ptr<Line> scanLine;
};

// Asks every other port's poller for a round of SV and PV (the line is made
// first when its port has none yet: opened, each controller identified and
// its decimal point read). The controllers beside the selected one on the
// window's port are identified (and their decimal points read) once, so
// that their return after a loss can be told from another controller's. A PV-only ask asks nothing while the chart plots:
// its own ticks ask then. Nothing with one controller configured.
void AskRounds(App& app, bool pvOnly);
// The window is about to open `port` for its own bus: the line on it (if
// any) finishes its exchange and closes the port.
void Release(App& app, int port);
// The run-time found `port` lost while idle. True when a line owned it.
bool PortLost(App& app, int port);
// One tick of the reconnection timer: lost ports are looked for, controllers
// that did not answer are asked again every few ticks, and while the
// window's own port is lost the other ports' rounds are asked from here.
void Try(App& app);
// The reconnection timer is needed for the lines (a port is lost, a
// controller is waited for).
bool NeedsTicks(const App& app);

// The selected port went away: the other controllers on it go offline.
void NoteSelectedLost(App& app);
// The selected port is back and its controller resumed: each other
// controller on it is identified again.
void NoteSelectedBack(App& app);

// A scan of `port`, another port than the window's, begins: it asks through
// the line that holds the port open, or through a bus opened for it alone
// (no line is made on that port until the scan ends). False when the port
// cannot be opened or its line has lost it.
bool BeginScan(App& app, int port);
// The bus of the scan begun by BeginScan, or null.
comlink::Bus* ScanBus(App& app);
// The scan ended: a port opened for it alone is settled and closed.
void EndScan(App& app);

// Why the controller is not polled (Hold::None: it is).
Hold HoldOf(const App& app, const core::Controller& c);
// The overview's words for it, "" when it is polled.
std::string Why(const App& app, const core::Controller& c);

// Calls fn with every other port's poller (the lines that exist now).
void ForEachPoller(App& app, const std::function<void(core::Poller&)>& fn);
// Called with the port and the round each time a round of another port's
// poller ends, whichever lines exist then. Returns an id for Unsubscribe.
int SubscribeRounds(App& app, std::function<void(int port, const core::Round&)> fn);
void UnsubscribeRounds(App& app, int id);

} // namespace ports
