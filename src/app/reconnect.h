// Automatic reconnection: while the link is lost, the same device is looked
// for once a second; when it is back and the same controller answers, what
// was running goes on. Loss, return and refusals are told once each on the
// main panel's link status line and in a connection history, never in a
// modal popup, so an unattended run is never held by one.
#pragma once

#include "app/callback.h"

#include <cstdint>
#include <deque>
#include <string>

struct App;
namespace core {
struct Controller;
}

namespace reconnect {

// The state of the watch, one per application.
struct LinkWatch {
    bool enabled = true;       // automatic reconnection wanted (--no-reconnect clears it)
    bool watching = false;     // the link is lost and the watch runs
    bool known = false;        // a controller has been identified on this link
    std::uint8_t model = 0;    // identity of the controller last identified
    std::uint8_t identLo = 0;
    int port = 0;              // its port number
    std::string devicePath;    // the device behind the port, "" when it is no file
    std::string byIdPath;      // its /dev/serial/by-id name, "" when it has none
    // What ran when the link went away.
    bool pvPoll = false, chart = false, alarm = false, tune = false, script = false;
    bool silenceTold = false;  // a silent controller has been told once
    bool refusalTold = false;  // a refusing one likewise
    int skipTicks = 0;         // ticks left before the next try after a silent one
    std::deque<std::string> history;  // oldest first, bounded
};

constexpr int kHistoryLimit = 500;
constexpr const char* kByIdFolder = "/dev/serial/by-id";

// The name in byIdFolder that leads to the same device as `devicePath`, or "".
std::string FindById(const std::string& devicePath, const std::string& byIdFolder = kByIdFolder);
// Where the device is now: the target of `byIdPath` when that name exists,
// else `devicePath` when it exists, else "".
std::string LocateDevice(const std::string& devicePath, const std::string& byIdPath);

// A controller was identified and the link is up: its identity and device
// are remembered and any watch ends.
void NoteConnected(App& app, std::uint8_t model, std::uint8_t identLo);
// The operator selects a port: a running watch ends and nothing is
// watched until a controller is identified.
void NoteConnecting(App& app);
// The port went away (called before the timers that send are stopped):
// records what ran, tells the loss once and starts the watch.
void NoteLost(App& app);
// One try: finds the device, reopens it, identifies the controller and
// resumes, or tells why not. Called by the watch's timer once a second.
void Try(App& app);
// Adds a time-stamped line to the connection history.
void AddHistory(App& app, const std::string& text);
// The same for a line about one controller that need not be the selected
// one: with several configured it begins with that controller's name and
// address ("Stage A [2]: ").
void AddHistoryAbout(App& app, const core::Controller& about, const std::string& text);
// The identity as the main panel shows it ("VEXAMAX, identity 35").
std::string IdentityText(std::uint8_t model, std::uint8_t identLo);
// The file behind a port number when the port map binds it to one, else "".
std::string DevicePathOf(App& app, int port);

} // namespace reconnect

TEC_CALLBACK(ReconnectTick);
TEC_CALLBACK(ShowLinkHistory);
