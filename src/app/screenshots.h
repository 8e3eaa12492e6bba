// Pictures of the panels for the README and the metainfo, taken by the
// program itself against the simulated controller, so they can be made again
// after every change of the panels (scripts/screenshots.sh).
#pragma once

#include <string>

struct App;

namespace shell {

// With the program started and connected: saves main-panel.png, then plots
// for `chartSeconds` of real time and saves chart.png, then fills in and
// sends a step program and saves step-program.png, then the overview of four
// simulated controllers on one line (one of them silent) as overview.png,
// all into `folder`; then ends as Quit does. Returns 0, or 1 when a picture could not be saved (the
// reason on standard error).
int TakeScreenshots(App& app, const std::string& folder, double chartSeconds);

} // namespace shell
