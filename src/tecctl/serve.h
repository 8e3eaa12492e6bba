// tecctl serve: poll, log and serve the controllers of one port with no
// window, on Qt's event loop, until SIGINT or SIGTERM.
#pragma once

#include "tecctl/options.h"

#include <atomic>
#include <string>

namespace tecctl {

// Checks serve's own arguments (the listen address, the broker, the log)
// before anything is opened. EXIT_OK, or EXIT_USAGE with *error set.
int PrepareServe(const Options& o, std::string* error);

// Opens the device, identifies and reads every controller at `addresses`,
// then serves until *interrupted. Returns the exit status (EXIT_OK after a
// signal); *error says why otherwise.
int Serve(const Options& o, const std::string& device, long baud, const std::vector<int>& addresses,
          std::atomic<bool>* interrupted, std::string* error);

} // namespace tecctl
