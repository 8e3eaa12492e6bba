// The open serial ports by number, with the RS-232 calls the controller link
// makes on them. No Qt: the window program's run-time and the command-line
// program share it, each resolving numbers to devices in its own way.
#pragma once

#include "io/serial_device.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace io {

// Error results (negative). The run-time layer reports the same numbers.
enum : int {
    PORT_ERR_OPEN = -3,      // the port cannot be opened
    PORT_ERR_CLOSED = -4,    // a call on a port that is not open
    PORT_ERR_LOST = -5,      // the device went away (unplugged, hung up, read errors)
    PORT_ERR_ARGUMENT = -7,  // a value the call does not take
    PORT_ERR_ENDING = -8,    // the program is ending: nothing more is sent
};

class PortTable {
public:
    // Sees every frame written (tx) and every answer read, with the count
    // asked for; for hex dumps.
    using Trace = std::function<void(int port, bool tx, const std::uint8_t* bytes, int count, int asked)>;

    PortTable() = default;
    ~PortTable();
    PortTable(const PortTable&) = delete;
    PortTable& operator=(const PortTable&) = delete;

    // Opens `device` as port `number` (closing whatever had that number).
    // Returns 0, or PORT_ERR_OPEN when there is no device or it does not open.
    int open(int number, std::unique_ptr<SerialDevice> device, long baudRate);
    // The time-out that bounds every read, seconds.
    int setTimeout(int number, double seconds);
    // The port's read time-out, seconds (0 for a port that is not open).
    double timeout(int number) const;
    int flushInput(int number);
    // Reads and drops what has arrived, waiting up to `seconds` for a first
    // byte; returns as soon as some came. Returns the count dropped (0: the
    // line stayed quiet that long), or a negative error. Traced as a read of
    // 0 bytes asked.
    int discardInput(int number, double seconds);
    int flushOutput(int number);
    // Returns the count written, or a negative error.
    int write(int number, const std::uint8_t* bytes, int count);
    // Reads until `count` bytes have come, `done` says the answer is whole, or
    // the time-out passed. Returns the count read, or a negative error.
    int read(int number, std::uint8_t* buffer, int count, const AnswerComplete& done);
    // Takes up to `count` bytes that have already arrived, without waiting:
    // the read of whoever waits on the event loop instead of in the call.
    // Returns the count taken (0: nothing yet), or a negative error. Only
    // reads that took bytes are traced.
    int readAvailable(int number, std::uint8_t* buffer, int count);
    // Gives the open ports' devices up to `seconds` of real time to receive
    // (see SerialDevice::waitReadable): for whoever waits on a simulated
    // clock with a real device behind a port.
    void waitReadable(double seconds);
    int close(int number);
    void closeAll();
    bool isOpen(int number) const;
    // Tells one opening of a port from another: a different number after the
    // port was closed and opened again, 0 while it is not open.
    unsigned long openId(int number) const;
    // True when the port's device went away; its calls fail until it is closed.
    bool isLost(int number) const;
    // Called with the port number when an open port's device tells, between
    // calls, that it went away (an idle port hung up or unplugged); the port
    // is marked lost by then.
    void setIdleLossHandler(std::function<void(int number)> handler) { m_idleLoss = std::move(handler); }
    void setTrace(Trace trace) { m_trace = std::move(trace); }
    // While the gate says so, writes send nothing and return PORT_ERR_ENDING:
    // an operation cut short by a request to end sends no more of its frames.
    void setWriteGate(std::function<bool()> holding) { m_holding = std::move(holding); }

private:
    struct Port {
        std::unique_ptr<SerialDevice> device;
        double timeout = 1.0;
        bool lost = false;
        unsigned long openId = 0;
    };
    Port* find(int number, int* err);
    void markLost(int number, const SerialDevice* device);

    std::map<int, Port> m_ports;
    unsigned long m_opens = 0;
    Trace m_trace;
    std::function<bool()> m_holding;
    std::function<void(int)> m_idleLoss;
};

} // namespace io
