// Serves simulated controllers on a pseudo-terminal, the way controllers sit
// on the far end of a serial line: one on RS-232, several on an RS-485 bus.
#pragma once

#include "io/clock.h"
#include "sim/controller.h"
#include "sim/multidrop.h"
#include "sim/request_framer.h"

#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct ServeOptions {
    std::string logPath;     // traffic log; empty: none
    // Lines read from this descriptor while serving are handed to onCommand
    // (without their line end); -1: none. Its end stops the reading, not the
    // serving.
    int commandFd = -1;
    std::function<void(const std::string&)> onCommand;
};

class PtyServer {
public:
    // The controllers of `line` answer, on the line's timing; its faults may
    // change while serving.
    PtyServer(Multidrop& line, io::Clock& clock, const ServeOptions& options);
    ~PtyServer();

    // Creates the pseudo-terminal in raw mode. Returns false with a reason in
    // *error when it cannot be made or the log cannot be opened.
    bool open(std::string* error);
    // The slave path clients open, e.g. "/dev/pts/3".
    const std::string& slavePath() const { return m_slavePath; }
    // Serves requests until *stop becomes non-zero (set by a signal handler;
    // SIGINT and SIGTERM must be blocked by the caller, they are taken only
    // while waiting). Returns 0, or 1 when the terminal fails.
    int serve(volatile std::sig_atomic_t* stop);

private:
    void receive();
    void sendDue();
    void releaseExclusive();
    void readCommands();
    void log(const char* direction, const std::uint8_t* bytes, std::size_t count);

    Multidrop& m_line;
    io::Clock& m_clock;
    ServeOptions m_options;
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees a hang-up between clients
    std::string m_slavePath;
    std::string m_commandText;  // a command line not yet ended
    std::FILE* m_log = nullptr;
    RequestFramer m_framer;
    double m_lastReceived = 0;  // clock time of the last bytes from a client
    static constexpr double EXCLUSIVE_IDLE = 2.0;  // quiet seconds before exclusive mode is cleared
};

} // namespace sim
