// The simulated TE controller: the register map, the dialect's answers, a
// thermal plant under PID control, auto-tune, the step program, and fault
// injection. No Qt: it runs in-process (tests, --simulate) and behind a
// pseudo-terminal (tecsim).
#pragma once

#include "io/clock.h"
#include "io/serial_device.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

struct Config {
    std::uint8_t address = 1;       // the controller's address
    std::uint8_t modelCode = 0xF1;  // high byte of register 0x1F00
    std::uint8_t identLow = 0x23;   // low byte of register 0x1F00
    double speed = 1.0;             // plant time runs this many times faster than the clock
    int baudRate = 19200;           // for wire-time emulation
    bool emulateWireTime = false;   // answers arrive after the wire time of request and answer
    double ambient = 25.0;          // degrees
    std::uint32_t seed = 1;         // sensor noise
    double noise = 0.05;            // sensor noise amplitude in degrees C (uniform, +/-)
    // Requests kept for requests(); past this many the oldest half goes, so a
    // controller serving for days stays bounded (0: none kept).
    std::size_t requestRecordLimit = 250000;
};

// Faults injected into the answers.
struct Faults {
    bool silent = false;            // never answers
    bool badCrc = false;            // answers with a wrong CRC
    int shortBy = 0;                // answers this many bytes short
    bool standardReadAnswer = false;// answers reads in the standard 7-byte Modbus form
    double extraDelay = 0.0;        // seconds added before each answer
    int exceptionCode = 0;          // non-zero: refuses every request with this code
    bool fiveByteException = false; // refusals in the standard 5-byte form
    int answerAddress = 0;          // non-zero: answers carry this address instead (with a CRC that fits)
    int remaining = -1;             // faults apply to this many requests, then stop (-1: always)
};

class Controller {
public:
    Controller(io::Clock& clock, const Config& config = {});
    ~Controller();

    // Answers one 8-byte request (the plant is first advanced to the clock's
    // now). Returns the answer bytes (empty: no answer) and when they are
    // complete on the wire, in clock seconds.
    std::vector<std::uint8_t> handleRequest(const std::uint8_t* request, int count, double* readyAt = nullptr);
    // Advances the plant, the control functions and the step program to time t.
    void advanceTo(double t);

    std::uint16_t reg(std::uint16_t address) const;
    void setReg(std::uint16_t address, std::uint16_t value);
    Faults& faults();
    const Config& config() const;
    // Process value in degrees (unscaled), for tests.
    double processValue() const;
    // The requests received, oldest first, for tests: every one since the
    // last clearRequests() unless Config::requestRecordLimit was reached.
    const std::vector<std::vector<std::uint8_t>>& requests() const;
    void clearRequests();
    // The control output before the direction reversal, -1 (full cooling)
    // to 1 (full heating).
    double output() const;
    // Seconds of plant time since the controller was made (clock time x speed).
    double plantTime() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// Controllers at the given addresses, each with its own registers and plant:
// `base` with the address set and the seed moved on by one per controller
// (the first keeps base.seed), so their noises differ.
std::vector<std::shared_ptr<Controller>> MakeControllers(io::Clock& clock, const std::vector<std::uint8_t>& addresses,
                                                         const Config& base = {});

// Faults of the line rather than of a controller.
struct LineFaults {
    bool echo = false;  // the adapter hears its own requests: each comes back before any answer
};

// A serial device connected to the simulated controller: written requests are
// answered by it on the given clock.
std::unique_ptr<io::SerialDevice> MakeSimDevice(std::shared_ptr<Controller> controller, io::Clock& clock);
// The same for several controllers on one line (an RS-485 bus): every request
// reaches all of them, each answers only its own address, and their answers
// share the wire (see Multidrop). `line` may be kept to change its faults
// while the device is in use; null: a line without faults.
std::unique_ptr<io::SerialDevice> MakeSimDevice(std::vector<std::shared_ptr<Controller>> controllers,
                                                io::Clock& clock, std::shared_ptr<LineFaults> line = nullptr);

} // namespace sim
