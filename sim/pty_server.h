// Serves one simulated controller on a pseudo-terminal, the way a controller
// sits on the far end of an RS-232 line.
#pragma once

#include "io/clock.h"
#include "sim/controller.h"
#include "sim/request_framer.h"

#include <csignal>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace sim {

struct ServeOptions {
    bool wireTime = false;   // answer after the wire time of request and answer
    int baudRate = 19200;
    std::string logPath;     // traffic log; empty: none
};

class PtyServer {
public:
    PtyServer(Controller& controller, io::Clock& clock, const ServeOptions& options);
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
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        double due;
    };
    void receive();
    void sendDue();
    void releaseExclusive();
    void log(const char* direction, const std::uint8_t* bytes, std::size_t count);

    Controller& m_controller;
    io::Clock& m_clock;
    ServeOptions m_options;
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees a hang-up between clients
    std::string m_slavePath;
    std::FILE* m_log = nullptr;
    RequestFramer m_framer;
    std::deque<Outgoing> m_out;
    double m_lastReceived = 0;  // clock time of the last bytes from a client
    static constexpr double EXCLUSIVE_IDLE = 2.0;  // quiet seconds before exclusive mode is cleared
};

} // namespace sim
