// tecctl's command line: one set of options, one command, its arguments.
// Pure: the tests and the fuzzers parse without a port.
#pragma once

#include "protocol/registers.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tecctl {

// Exit statuses.
enum Exit : int {
    EXIT_OK = 0,
    EXIT_USAGE = 2,
    EXIT_PORT = 3,       // the port cannot be opened
    EXIT_SILENT = 4,     // no answer, or identification refused
    EXIT_REFUSED = 5,    // the controller refused a value
    EXIT_FILE = 6,       // a file is malformed (nothing sent)
    EXIT_INTERRUPTED = 7, // a signal stopped a write part way (the message says what went out)
};

struct Options {
    // Connection. Without portNumber and portDevice the settings file decides.
    int portNumber = 0;        // --port N
    std::string portDevice;    // --port DEVICE (a path)
    int address = -1;          // --address A (1..255); with a list, its first address
    // --address LIST: every address in the order given (1..247 each, no
    // duplicates); one element for a single address, empty without --address.
    std::vector<int> addresses;
    // --name A=NAME: the operator's names of controllers, by address.
    std::vector<std::pair<int, std::string>> names;
    long baud = 0;             // --baud B
    bool simulate = false;
    bool json = false;
    bool help = false;
    bool version = false;
    bool round = false;        // --round: a value finer than its register holds is rounded, not refused
    bool direct = false;       // --direct: a held port is refused, never reached through its server

    std::string command;            // identify, scan, read, get, set, save, load, program, function, output, watch, raw
    std::vector<std::string> args;  // the command's arguments (watch options taken out)

    // watch
    double interval = 1.0;
    long count = 0;                 // 0: until interrupted
    std::string logPath;
    bool append = false;
    bool overwrite = false;         // an existing non-empty log is replaced only when asked

    // scan --range A-B
    int scanFirst = 1;
    int scanLast = 247;
    // serve (also interval, logPath, append, overwrite)
    std::string httpListen;         // --http [ADDR:]PORT
    std::string mqttBroker;         // --mqtt HOST[:PORT]
};

// Parses argv[1..]. False with a one-line reason on any usage error.
bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error);

// Several controllers: more than one address given.
inline bool SeveralControllers(const Options& o)
{
    return o.addresses.size() > 1;
}

// --address's value: one address (1..255, as the settings file allows) or a
// list of addresses and ranges ("1,2,5", "1-4", "1-3,7"), each 1..247 (the
// addresses a bus gives its controllers), none twice. False with a reason
// naming the part that is wrong.
bool ParseAddressList(const std::string& text, std::vector<int>* out, std::string* error);

// The name given for an address, or "" when none was.
std::string NameOf(const Options& o, int address);

// The process value: readable with `get pv` and shown by `read`, but no
// parameter (nothing writes it).
extern const char* const kProcessValueName;

// A coded value's word ("pid" for function 4, "F" for unit 1); nullptr for
// a parameter without words or a code without one.
const char* WordForCode(const std::string& name, int code);

// The values a parameter takes before any scale applies: a span (lo..hi) or,
// for codes, the list of codes. Temperatures also have to fit their register
// at the controller's scale (core::CheckSendable).
struct ValueRange {
    double lo = 0, hi = 0;
    std::vector<int> codes;  // non-empty: only these
};
ValueRange RangeOf(const tecreg::NamedParameter& p);
// "-100.0 to 100.0 %", "off (0), autotune (1), manual (3) or pid (4)".
std::string DescribeRange(const tecreg::NamedParameter& p);

// One NAME=VALUE of `set`, resolved against the register map.
struct Assignment {
    const tecreg::NamedParameter* param = nullptr;
    double value = 0;
    std::string text;   // as given, for messages
};
// Parses "sv=25.5" or "function=pid" (words case-insensitive, codes too);
// false with a reason for an unknown name, a value that is not a number, or
// one outside the parameter's range.
bool ParseAssignment(const std::string& text, Assignment* out, std::string* error);
// A control function by word ("off", "autotune", "manual", "pid") or code
// (0, 1, 3, 4); false with a reason otherwise.
bool ParseFunction(const std::string& text, int* code, std::string* error = nullptr);

// A value's resolution: temperatures go in steps of 1 / tempScale, tenths in
// steps of 0.1, the rest whole. A value on a step is kept; one between steps
// is refused naming the two nearest ("sv=37.55: finer than the decimal point
// allows; nearest 37.5 or 37.6") or, with round, moved to the nearest step
// (halves away from zero). *sent is the value to send.
bool CheckResolution(const Assignment& a, float tempScale, bool round, double* sent, std::string* error);
// "01 03 10 00 00 01" (6 bytes; 8 with a CRC, which is recomputed). Each
// byte two hex digits, optionally with 0x.
bool ParseRawFrame(const std::vector<std::string>& words, std::uint8_t frame[6], std::string* error);

// The step program's status word in words. Each step has two segments (the
// two indicators of its row on the script panel); the status word says which
// segment runs, not which pass of a loop.
struct ProgramState {
    bool running = false;
    std::string state;   // "running", "idle" or "unknown"
    int step = 0;        // 1..8 while running, else 0
    int segment = 0;     // 1..16 while running, else 0
    int half = 0;        // 1 or 2: the segment's place in its step
    std::string text;    // one line for the terminal
};
ProgramState DescribeRunStatus(int runMode, int segmentCode);

extern const char* const kUsage;

} // namespace tecctl
