// Several simulated controllers on one line, as on an RS-485 bus: every
// request reaches all of them and each answers only its own address. What
// goes on the line in return (answers, and the adapter's echo of the request
// when the line has that fault) is queued here with the time its last byte is
// on the wire, for the in-process device and for tecsim alike.
//
// The wire is shared: with wire time, an answer that would overlap another
// controller's on the wire is held until that one has passed; one
// controller's answers come in the order of its requests. Without wire time
// (or with one controller) answers are ready when their controller says.
#pragma once

#include "sim/controller.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace sim {

class Multidrop {
public:
    struct Transmission {
        std::vector<std::uint8_t> bytes;
        double due = 0;   // clock time its last byte is on the wire
        int source = 0;   // index of the answering controller; kEcho for the adapter's echo
        double wire = 0;  // seconds its bytes take on the wire (0: not timed)
    };
    static constexpr int kEcho = -1;

    // wireBaud > 0: the line times the wire itself, from each request's first
    // byte at that baud rate (tecsim). 0: each controller's own readyAt
    // stands, with its wire time when its Config emulates it (in-process).
    Multidrop(std::vector<std::shared_ptr<Controller>> controllers, std::shared_ptr<LineFaults> line = nullptr,
              int wireBaud = 0);

    // Hands one request to the line: now is the clock time it is handed over,
    // firstByte when its first byte arrived.
    void request(const std::uint8_t* bytes, int count, double now, double firstByte);
    // Brings every controller's plant up to time t.
    void advanceTo(double t);

    // Takes the next transmission whose last byte is on the wire by `now`.
    bool takeDue(double now, Transmission* out);
    // When the next transmission is due; a negative number when none waits.
    double nextDue() const;
    bool empty() const { return m_queue.empty(); }
    void clear() { m_queue.clear(); }

    const std::vector<std::shared_ptr<Controller>>& controllers() const { return m_controllers; }
    // The controller at `address`; null when none is on the line.
    Controller* at(std::uint8_t address) const;
    LineFaults& lineFaults() { return *m_line; }

private:
    void queue(std::vector<std::uint8_t> bytes, double due, int source, double wireSeconds);

    std::vector<std::shared_ptr<Controller>> m_controllers;
    std::shared_ptr<LineFaults> m_line;
    int m_wireBaud;
    std::deque<Transmission> m_queue;  // by due time
    std::vector<double> m_lastDue;     // per controller
};

} // namespace sim
