// The window as the server of its controllers: `--serve [ADDR:]PORT` or the
// Server window's switch. The server runs on the window's event loop and
// reads only the records the window's rounds fill; a client's write waits
// for the next transaction boundary of its controller's port: the window's
// own queue, or the line of another port (never inside an exchange, never
// while an operation is between its requests), is sent exactly as `tecctl
// set` sends it, shows in the panels at once and is a line in the
// connection history naming the client.
#pragma once

#include "app/callback.h"

#include <memory>
#include <string>

struct App;

namespace server {
class Hub;
class HttpServer;
} // namespace server

namespace serve {

// The port served when none is named.
constexpr int kDefaultPort = 8080;
constexpr const char* kDefaultListen = "127.0.0.1:8080";

class Service;

// What the window keeps of its server; one per application.
struct State {
    State();
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    std::unique_ptr<Service> service;  // while serving
    std::string listen = kDefaultListen;  // what the Server window's address field shows
    std::string status;                // the Server window's last warning or failure
};

// The switch and the address as the program's settings keep them.
struct Setting {
    bool on = false;
    std::string listen = kDefaultListen;
};
Setting LoadSetting(const std::string& settingsFile);
// Writes the setting ("" writes nothing).
void SaveSetting(const Setting& setting, const std::string& settingsFile);

// Checks "[ADDR:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080"; port 0: any
// free one). True when it can be listened on; false with a reason.
bool CheckListen(const std::string& listen, std::string* error);
// The warning a non-loopback address gives, "" for a loopback one.
std::string ExposureWarning(const std::string& listen);

// Start-up, after connecting: serves on `commandLine` when --serve was given
// (it is not kept), else when the kept switch is on, at the kept address.
// A failure is told on stderr and in the Server window; the program goes on.
void StartAtLaunch(App& app, const std::string& commandLine);
// Starts serving (stopping a server that runs). Returns "" or why not. A
// warning for an address others can reach goes to stderr and the window.
std::string Start(App& app, const std::string& listen);
// Stops serving; the note naming the port goes.
void Stop(App& app);
bool Serving(const App& app);
// The hub and the listener while serving, else nullptr (for the tests).
server::Hub* ServedHub(App& app);
server::HttpServer* Listener(App& app);
// Client writes waiting for the window's queue.
int PendingWrites(const App& app);
// The URL and token served, "" when not serving.
std::string Url(const App& app);
std::string Token(const App& app);
// The list of configured controllers changed: the served list follows it
// before anything reads a record that may have gone.
void ControllersChanged(App& app);
// Fills the Server window from what is served.
void Refresh(App& app);

} // namespace serve

TEC_CALLBACK(OpenServer);
TEC_CALLBACK(ServerClose);
TEC_CALLBACK(ServerSwitch);
TEC_CALLBACK(ServerCopy);
TEC_CALLBACK(ServerRefresh);
