// What a transaction needs, and nothing more: the open ports, the one
// controller link, the clock, and the hook the program installs for a port
// that went away. The link knows no panel and no parameter; whoever owns a
// Line (the window program, the command-line program, a test) decides how a
// lost port is told.
#pragma once

#include "io/clock.h"
#include "io/port_table.h"
#include "link/controller_link.h"

#include <functional>

namespace comlink {

struct Line {
    Line(io::PortTable& portTable, io::Clock& lineClock) : ports(portTable), clock(lineClock) {}
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    io::PortTable& ports;
    io::Clock& clock;
    ControllerLink link;
    // Called once the link has closed a port that went away (portOpen and
    // openStatus already cleared).
    std::function<void()> portLost;
    // Set by an exchange that got no intact answer: (the rest of) its answer
    // may still be on its way, so the next request on the same opening of
    // the port first waits until the line has been quiet this long (seconds,
    // counted from settleSince) and flushes the input. 0 while settled.
    double settleQuiet = 0;
    double settleSince = 0;
    unsigned long settleOpenId = 0;
};

} // namespace comlink
