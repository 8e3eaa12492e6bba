// tecctl through the server of the program that holds the port: reads from
// what it serves (no token), writes through its write path with the user's
// token ($XDG_CONFIG_HOME/tecontrol/server-token).
#pragma once

#include "server/served_port.h"
#include "tecctl/commands.h"

#include <string>

namespace tecctl {

// The token file's path ("" when neither XDG_CONFIG_HOME nor HOME is set).
std::string ServerTokenPath();

// Runs s.o.command for the controller at `address` through the server the
// note names, after saying so on standard error. Fills s.text, s.json and
// s.error as RunCommand does and returns the exit status: a command that
// needs the port itself (save, load, program get|put, raw) is refused with
// EXIT_PORT, as are a server that does not answer and a refused token.
int RunThroughServer(Session& s, const server::ServedPort& held, int address);

} // namespace tecctl
