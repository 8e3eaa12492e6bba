// Looking for controllers on a line: the identity register of each address in
// a range is read once (nothing is ever written), with a wait per address
// far shorter than a transaction's read time-out, so a whole line of 247
// addresses is looked at in seconds.
#pragma once

#include "io/clock.h"
#include "io/port_table.h"
#include "link/fault.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tecctl {

struct Session;

// How long one address is listened to, at a baud rate.
struct ScanTiming {
    double window = 0;  // from the request being written to the end of a prompt answer
    double quiet = 0;   // the line must stay this long without a byte before the next address
};
ScanTiming ScanTimingFor(long baudRate);

struct ScanEntry {
    enum class Outcome {
        Found,     // an intact identity answer from this address
        Refused,   // an intact refusal from this address: a controller is there
        Garbled,   // something answered, but not intact: a possible duplicate address
    };
    int address = 0;
    Outcome outcome = Outcome::Found;
    std::uint8_t model = 0;    // Found
    std::uint8_t identLo = 0;  // Found
    std::uint8_t code = 0;     // Refused: the exception code
    comlink::FaultKind fault = comlink::FaultKind::None;  // Garbled: Short, BadCrc or WrongAnswer
    int carried = -1;          // Garbled with WrongAnswer: the address the answer carried
    int got = 0;               // Garbled with Short: the bytes that came
    bool late = false;         // the answer came after its window (while the line settled, or later)
    bool more = false;         // more bytes followed an intact answer: a second controller at the address?
    // Found or refused: a controller is there.
    bool present() const { return outcome != Outcome::Garbled; }
    // Anything that may be two controllers sharing the address.
    bool possibleDuplicate() const { return outcome == Outcome::Garbled || more; }
    // What was wrong with a garbled answer, for Describe().
    comlink::Fault garble() const;
};

struct ScanReport {
    std::vector<ScanEntry> entries;  // by address
    int first = 0, last = 0;
    int lastAsked = 0;        // the last address asked (below first: none)
    bool interrupted = false; // stop() said so before the range was done
    bool portLost = false;
    bool echoed = false;      // the adapter echoed the requests (skipped)
    double seconds = 0;       // on the clock
    int found() const;        // present entries
};

// Scans addresses first..last on the open port. stop() is asked before each
// address (and a request to end the program cuts a wait short). The port's
// read time-out is put back as it was.
ScanReport ScanAddresses(io::PortTable& ports, int port, io::Clock& clock, long baudRate, int first, int last,
                         const std::function<bool()>& stop);

// One line per entry: "address 1: model 0xF1 (VEXAMAX), identity 0x23". How
// late an answer came depends on the load of both ends; the line does not
// say (the JSON does).
std::string DescribeEntry(const ScanEntry& e);

// tecctl scan on the open port (nothing identified first): prints
// what it found, as text or JSON, and returns the exit status: EXIT_OK when a
// controller answered, EXIT_SILENT when none did, EXIT_INTERRUPTED after
// Ctrl-C (what was found so far is printed), EXIT_PORT for a port that went
// away; s.error says why.
int RunScan(Session& s, io::PortTable& ports, int port, io::Clock& clock, long baudRate, const std::string& device);

} // namespace tecctl
