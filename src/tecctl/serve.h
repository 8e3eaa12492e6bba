// tecctl serve: poll, log and serve the identified controllers with no
// window, on Qt's event loop, until SIGINT or SIGTERM.
#pragma once

#include "tecctl/commands.h"

#include <string>

namespace tecctl {

// What the caller opened: the port number and the device (resolved or as
// given; "the simulated controller" under --simulate).
struct ServePort {
    int number = 1;
    std::string device;
    bool simulated = false;
};

// Checks serve's own arguments (the listen address, the broker) before the
// port is opened. EXIT_OK, or EXIT_USAGE with s.error set.
int PrepareServe(Session& s);
// Runs until *s.interrupted; returns the exit status (EXIT_OK after a
// signal), s.error saying why otherwise.
int Serve(Session& s, const ServePort& port);

} // namespace tecctl
