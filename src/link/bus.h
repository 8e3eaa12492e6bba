// What a transaction needs, and nothing more: one open port, the clock, the
// busy guard and the hook the program installs for a port that went away.
// A bus knows no controller address (each request carries its own), no panel
// and no parameter; whoever owns a Bus (the window program, the command-line
// program, a test) decides how a lost port is told.
#pragma once

#include "io/clock.h"
#include "io/port_table.h"

#include <cstdint>
#include <functional>

namespace comlink {

struct Bus {
    Bus(io::PortTable& portTable, io::Clock& busClock) : ports(portTable), clock(busClock) {}
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    io::PortTable& ports;
    io::Clock& clock;
    std::uint16_t comPort = 0;      // port number passed to every serial call
    std::uint32_t baudRate = 19200; // set only from the settings file
    std::uint16_t portOpen = 0;     // 1 once the port is open and the controller identified
    std::int32_t openStatus = 0;    // result of the last opening; negative: no link
    std::int32_t linkBusy = 0;      // taken by timer-driven transactions
    // Called once the bus has closed a port that went away (portOpen and
    // openStatus already cleared).
    std::function<void()> portLost;
    // Operations in progress that send several requests (see OperationScope).
    // Whoever owns the bus lets no timer-driven transaction in while one is
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
};

// Marks an operation in progress on the bus from its first request to its
// last: a read-all or write-all pass, a block of writes, a question asked
// between two requests. Scopes nest; end() finishes early, before the
// popup that reports the outcome, so that popup holds nothing back.
class OperationScope {
public:
    explicit OperationScope(Bus& bus) : m_bus(&bus) { ++bus.operations; }
    ~OperationScope() { end(); }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;
    void end()
    {
        Bus* bus = m_bus;
        m_bus = nullptr;
        if (bus && --bus->operations == 0 && bus->operationsEnded)
            bus->operationsEnded();
    }

private:
    Bus* m_bus;
};

} // namespace comlink
