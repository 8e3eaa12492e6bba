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
    // Operations in progress that send several requests (see OperationScope).
    // Whoever owns the line lets no timer-driven transaction in while one is
    // between its requests, even when a popup lets events through meanwhile.
    int operations = 0;
    // Called each time the last operation in progress has ended.
    std::function<void()> operationsEnded;
    // Set by an exchange that got no intact answer: (the rest of) its answer
    // may still be on its way, so the next request on the same opening of
    // the port first waits until the line has been quiet this long (seconds,
    // counted from settleSince) and flushes the input. 0 while settled.
    double settleQuiet = 0;
    double settleSince = 0;
    unsigned long settleOpenId = 0;
    // Called before a transaction or an operation starts on the line: whoever
    // runs exchanges step by step from the event loop (the poller) completes
    // the one in flight, so this one starts at a transaction boundary.
    std::function<void()> claim;
};

// Lets whoever has an exchange in flight complete it first (see claim).
inline void ClaimLine(Line& line)
{
    if (line.claim)
        line.claim();
}

// Marks an operation in progress on the line from its first request to its
// last: a read-all or write-all pass, a block of writes, a question asked
// between two requests. Scopes nest; end() finishes early, before the
// popup that reports the outcome, so that popup holds nothing back.
class OperationScope {
public:
    explicit OperationScope(Line& line) : m_line(&line)
    {
        ClaimLine(line);
        ++line.operations;
    }
    ~OperationScope() { end(); }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;
    void end()
    {
        Line* line = m_line;
        m_line = nullptr;
        if (line && --line->operations == 0 && line->operationsEnded)
            line->operationsEnded();
    }

private:
    Line* m_line;
};

} // namespace comlink
